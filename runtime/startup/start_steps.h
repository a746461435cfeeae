// The start-up's optional steps between the processor identification and main. Each is ruled
// by a runtime option and writes its trace lines to the diagnostic channel; the entry routine
// runs them once, in the order declared here.
#pragma once

// Makes RuntimeState.RuntimeTag readable: the label of the processor-class lines.
void SetRuntimeTag();

// With the display option, "<tag>: <class in 8 hex digits>". The processor-class option then
// replaces the class with its value when that is wholly numeric and not 0, and shows the new
// class in the same form when the first line was shown.
void ShowProcessorClass();

// A fixed notice; its option is never traced as a lookup.
void ShowNotice();

// Args (a null entry as an empty line), then "===" and the option list when it has entries.
void DumpArguments();

// Takes the start's tick count and process times for the "Time:" line at exit.
void StartTiming();

// "Start: " and the local time, when the time-stamp option asks for "Start: " and "End: ".
void ShowStartStamp();

// Changes the current directory to the option's value when that names a directory.
void EnterWorkingDirectory();

// True when main is to be skipped.
bool MainSkipped();

// Sleeps as long as the start-delay option's value says; a malformed value does not sleep.
void ApplyStartDelay();
