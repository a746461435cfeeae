// Shared by the layer's own files.
#pragma once

#include "winposix/api.h"
#include "winposix/testctl.h"

namespace winposix {

// Counts the call and says whether a test arranged for it to fail.
bool ShouldFail(FailPoint point);

// Puts the emulated version record back to its default.
void ResetVersion();

} // namespace winposix
