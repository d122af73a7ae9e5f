// Waiting for a socket with poll (select breaks on descriptors of 1024 and above).
#pragma once

namespace vl {

// Waits until fd is writable (for_write) or readable, at most timeout_s seconds.
// Returns > 0 when ready, 0 on time-out, < 0 on error. Interrupted waits are resumed.
int socket_wait(int fd, bool for_write, int timeout_s);

}  // namespace vl
