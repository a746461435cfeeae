// Failures arranged from outside a process of the Linux layer: a test that starts the whole
// program sets them in its environment, since it cannot call FailNth in the new process.
//
// CALVISTO_FAIL="Point:n[:persistent][,Point:n...]" arranges FailNth(Point, n, persistent) when
// the process starts; Point is a FailPoint's name (VirtualAlloc, HeapAlloc, CreateFileA,
// CreateFileMappingA, MapViewOfFile, CreateThread). Malformed entries are ignored.
//
// CALVISTO_FAIL_REPORT names a file that ExitProcess writes (replaces) just before the process
// ends: one line "Point calls armed reached" per point, where calls is CallCount(Point), armed
// the n arranged (0 for none) and reached 1 when the arranged failure happened. A process that
// ends otherwise (a signal) writes nothing.
#pragma once

namespace winposix {

// Called once by the process start, before the runtime's entry point.
void ArmFailuresFromEnvironment();
// Called by ExitProcess; uses only plain system calls.
void WriteFailureReport();

} // namespace winposix
