// The stress programs a launcher runs, one per processor, and what it knows of each.
#pragma once

#include <stdint.h>

constexpr uint32_t kMostInstances = 32;

struct Instance {
  uint32_t processor;
  void* process; // null once the launcher has let it go
  uint32_t processId;
  bool ended;          // it ended by itself
  uint32_t exitCode;   // when ended
  uint64_t busyUnits;  // user + kernel time at the last look, 100-ns units
  uint32_t lastShare;  // percent over the last interval
  uint64_t firstUnits; // processor time when the run began
};

struct Instances {
  Instance list[kMostInstances];
  uint32_t count;
};

// Starts commandLine (the program and the arguments after the affinity argument) once for each
// processor of mask, each with "-Affinity:" of its one bit; a new console each unless shared.
// Says for each what started, or why not. False when none started.
bool StartInstances(Instances* all, const char* program, const char* arguments, uint32_t mask,
                    bool sharedConsole);

// Looks at each running instance: an ended one is reported now; false once none runs.
bool PollInstances(Instances* all, uint32_t* firstFailure);

// Updates each running instance's share of its processor over the last intervalMs; false
// where processor times cannot be read (Windows 95, 98, Me).
bool MeasureShares(Instances* all, uint32_t intervalMs);

// Ends every instance still running and reports each with its average share over runMs.
void StopInstances(Instances* all, uint32_t runMs);
