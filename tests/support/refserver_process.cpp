#include "support/refserver_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/clock.h"

extern char** environ;

namespace vl::test {
namespace {

constexpr int kStartTimeoutMs = 20000;

bool names(const std::vector<std::string>& args, const std::string& option) {
  for (const auto& a : args)
    if (a == option || a.rfind(option + "=", 0) == 0) return true;
  return false;
}

int exit_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Waits (real time, whatever the test clock) until the child's stdout reaches its end, which
// happens when it exits. False on time-out.
bool wait_stdout_end(int fd, uint64_t timeout_ms) {
  uint64_t start = clock_monotonic_ms();
  for (;;) {
    uint64_t spent = clock_monotonic_ms() - start;
    if (spent >= timeout_ms) return false;
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(timeout_ms - spent));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR)) return true;
  }
}

}  // namespace

std::string test_certs_dir() {
  static TempDir dir;
  // Initialised once, also when several threads ask; a failure is retried by the next call.
  static const std::string certs = [] {
    std::string target = dir / "certs";
    ProcessResult r = run_process({"/bin/sh", source_path("scripts/make-certs"), target});
    if (r.status != 0)
      throw std::runtime_error("scripts/make-certs failed (" + std::to_string(r.status) +
                               "): " + r.err);
    return target;
  }();
  return certs;
}

RefServer::RefServer(std::vector<std::string> args, std::string store, bool other_ca) {
  std::string certs = test_certs_dir();
  dir_ = std::make_unique<TempDir>();
  store_ = store.empty() ? *dir_ / "store" : store;
  trace_path_ = *dir_ / "trace";
  stderr_path_ = *dir_ / "stderr";
  std::string prefix = other_ca ? "other-" : "";
  std::vector<std::string> argv = {bin_path("vornlake-refserver"), "serve",
                                   "--store",    store_,
                                   "--cert",     certs + "/" + prefix + "server.crt",
                                   "--key",      certs + "/" + prefix + "server.key",
                                   "--trace",    trace_path_};
  if (!names(args, "--account")) argv.insert(argv.end(), {"--account", "alice:secret"});
  if (!names(args, "--profile")) argv.insert(argv.end(), {"--profile", "daily:7"});
  if (!names(args, "--port")) argv.insert(argv.end(), {"--port", "0"});
  argv.insert(argv.end(), args.begin(), args.end());

  int out_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  int err_fd = ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out_pipe[1], 1);
    if (err_fd >= 0) ::dup2(err_fd, 2);
    int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd >= 0) ::dup2(null_fd, 0);
    ::execve(cargv[0], cargv.data(), environ);
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  if (err_fd >= 0) ::close(err_fd);
  out_fd_ = out_pipe[0];
  if (pid_ < 0) {
    ::close(out_fd_);
    throw std::runtime_error("fork failed");
  }

  // Read stdout up to the first line break, for at most 20 s.
  std::string line;
  uint64_t start = clock_monotonic_ms();
  while (line.find('\n') == std::string::npos) {
    uint64_t spent = clock_monotonic_ms() - start;
    if (spent >= kStartTimeoutMs) break;
    struct pollfd pfd = {out_fd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(kStartTimeoutMs - spent));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buf[256];
    ssize_t n = ::read(out_fd_, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  const std::string expected = "listening on 127.0.0.1:";
  size_t at = line.find(expected);
  if (line.find('\n') != std::string::npos && at == 0)
    port_ = std::atoi(line.c_str() + expected.size());
  if (port_ <= 0) {
    int status = stop();
    throw std::runtime_error("vornlake-refserver did not start (status " + std::to_string(status) +
                             ", stdout \"" + line + "\"): " + stderr_text());
  }
}

RefServer::~RefServer() {
  // A server that dies, leaks or trips a sanitizer fails the test that ran it.
  int status = stop();
  std::string err = stderr_text();
  if ((status != 0 && !crashed_) || err.find("Sanitizer") != std::string::npos ||
      err.find("runtime error:") != std::string::npos)
    ADD_FAILURE() << "vornlake-refserver ended with status " << status << ":\n" << err;
}

bool RefServer::crash(int timeout_ms) {
  bool by_itself = timeout_ms > 0 && pid_ > 0 && wait_stdout_end(out_fd_, static_cast<uint64_t>(timeout_ms));
  if (pid_ > 0 && !by_itself) ::kill(pid_, SIGKILL);
  crashed_ = stop() == 128 + SIGKILL;
  return crashed_ && (timeout_ms == 0 || by_itself);
}

std::vector<std::string> RefServer::trace() const { return read_lines(trace_path_); }

std::string RefServer::stderr_text() const { return read_file(stderr_path_); }

int RefServer::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    if (!wait_stdout_end(out_fd_, 20000)) ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = exit_status(status);
    pid_ = -1;
  }
  if (out_fd_ >= 0) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
  return status_;
}

}  // namespace vl::test
