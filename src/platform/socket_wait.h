// Sockets: waiting with poll (select breaks on descriptors of 1024 and above), small writes sent
// at once, and a TCP connection made without blocking past a deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vl {

// Waits until fd is writable (for_write) or readable, at most timeout_ms milliseconds, or until
// wake_fd (a WakeFd's, when >= 0) is readable. Returns > 0 when ready, 0 on time-out,
// kSocketWaitWoken when woken, other values < 0 on error. Interrupted waits are resumed.
constexpr int kSocketWaitWoken = -2;
int socket_wait_ms(int fd, bool for_write, int timeout_ms, int wake_fd = -1);

// Waits until one of fds[0..n) is readable (or closed, or failed), at most timeout_ms
// milliseconds, or until wake_fd (when >= 0) is readable. Returns the index of such a descriptor,
// kSocketWaitWoken when woken, -1 on time-out or error. Interrupted waits are resumed.
int sockets_wait_readable_ms(const int* fds, size_t n, int timeout_ms, int wake_fd = -1);

// Sends small writes at once (TCP_NODELAY). A request written after a run of data messages would
// otherwise wait for the peer's delayed acknowledgement, about 40 ms per exchange.
bool socket_no_delay(int fd);

// Why a connection attempt failed.
enum class ConnectFailure { none, cancelled, unresolved, refused, timed_out, unreachable };

// Resolves host and connects to port over TCP without blocking: each address in turn, each for its
// share of the time left (connect_share_ms), until the monotonic deadline_ms (clock_monotonic_ms); `cancelled` is asked whenever wake_fd (>= 0) is
// readable, or every 100 ms without one (every 50 ms while the name is looked up, which a slow
// name server cannot hold up: the look-up runs on a thread of its own, left to finish alone).
// Returns the connected, non-blocking descriptor (the caller owns it), or -1 with *failure (and
// *error_text, the system's words for it) set. Any thread.
int tcp_connect(const std::string& host, uint16_t port, uint64_t deadline_ms,
                const std::function<bool()>& cancelled, ConnectFailure* failure,
                std::string* error_text, int wake_fd = -1);

// The time one connect attempt is given of left_ms, the time left, with addresses_left addresses
// still to try (this one included): an even share, at least 2000 ms, never more than left_ms; the
// last address has all that is left. One address that drops packets then leaves time for the next.
uint64_t connect_share_ms(uint64_t left_ms, size_t addresses_left);

// Test builds: every name look-up counts as running for at least this long (a name server that
// does not answer), so that a cancel or the deadline meets it. 0 turns it off.
void net_fault_lookup_delay_set(int ms);

}  // namespace vl
