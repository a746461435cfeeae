// The file object's operation counters (RuntimeState.IoStats), switched on by an option before
// main and reported once after it.
#pragma once

// Starts counting when the I/O statistics option is given, and turns on the slow-read switch
// when its option is given. A second call changes nothing that is already on.
void EnableIoStats();

// One trace line with the ten counters, then counting stops. Nothing when counting is off.
void ReportIoStats();
