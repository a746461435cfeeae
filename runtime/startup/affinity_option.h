// The process-affinity option: restricts the whole process to a mask at start-up.
#pragma once

// Applies the option's mask on the NT family with SetProcessAffinityMask (0 is passed on as
// given). An absent, empty or not wholly numeric value, another platform or a missing function
// does nothing, silently.
void ApplyAffinityOption();
