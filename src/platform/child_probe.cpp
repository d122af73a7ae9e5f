#include "platform/child_probe.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vl {

int child_probe(const std::function<int()>& body, int timeout_ms) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // A probe that aborts is an answer, not a crash: no core file, no complaint on the user's
    // terminal or in a timer's log.
    const struct rlimit no_core = {0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) ::dup2(null_fd, 2);
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code & 0xff);  // not exit(): the parent's atexit handlers and statics are its own
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vl
