// Waiting for a socket with poll (select breaks on descriptors of 1024 and above).
#pragma once

namespace vl {

// Waits until fd is writable (for_write) or readable, at most timeout_s seconds.
// Returns > 0 when ready, 0 on time-out, < 0 on error. Interrupted waits are resumed.
int socket_wait(int fd, bool for_write, int timeout_s);

// Sends small writes at once (TCP_NODELAY). A request written after a run of data messages would
// otherwise wait for the peer's delayed acknowledgement, about 40 ms per exchange.
bool socket_no_delay(int fd);

}  // namespace vl
