// The console input records the layer keeps per terminal descriptor between reads.
#pragma once

namespace winposix {

// Drops the records still queued for a descriptor that is being closed, so a later terminal
// opened under the same number does not receive them.
void ForgetConsoleInput(int fd);

} // namespace winposix
