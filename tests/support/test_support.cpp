#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"

extern char** environ;

namespace vl::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vornlake-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() { remove_tree(path_); }

// Removes path and everything below it, read-only folders too, whatever the paths' length: each
// item goes by its name in its opened parent, and no folder is held open while it descends.
void remove_tree(const std::string& path) {
  FileStat st;
  if (!file_stat(path, &st)) return;
  const size_t slash = path.rfind('/');
  const std::string parent = slash == 0 ? "/" : slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);  // npos + 1 is 0
  std::vector<std::string> names;
  FsFailure why;
  if (st.kind == FileKind::directory) {
    ::chmod(path.c_str(), 0700);  // lets a non-root owner empty a read-only folder
    dir_list(path, &names, &why);
  }
  for (const std::string& n : names) remove_tree(path + "/" + n);
  if (UniqueFd up = path_open(parent, O_RDONLY | O_DIRECTORY); up.ok())
    ::unlinkat(up.get(), name.c_str(), st.kind == FileKind::directory ? AT_REMOVEDIR : 0);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool file_appears(const std::string& path, int timeout_ms) {
  for (int waited = 0; !file_exists(path); ++waited) {
    if (waited >= timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string bin_path(const std::string& name) { return std::string(VL_BIN_DIR) + "/" + name; }

std::string source_path(const std::string& relative) {
  return std::string(VL_SOURCE_DIR) + "/" + relative;
}

std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) env_strings.push_back(*e);
  for (const auto& entry : extra) {
    std::string name = entry.substr(0, entry.find('=') + 1);
    for (auto it = env_strings.begin(); it != env_strings.end();) {
      if (it->compare(0, name.size(), name) == 0)
        it = env_strings.erase(it);
      else
        ++it;
    }
    env_strings.push_back(entry);
  }
  return env_strings;
}

// argv/envp arrays pointing into `strings` (which must outlive them), ending with nullptr.
static std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_file, const std::string& err_file) {
  std::vector<std::string> env_strings = environment_with(env);
  std::vector<char*> cargv = c_strings(argv), cenv = c_strings(env_strings);
  pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  return pid;
}

int wait_exit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

ProcessResult run_at_terminal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                              const std::string& prompt, const std::string& typed) {
  ProcessResult result;
  std::vector<std::string> env_strings = environment_with(env);
  std::vector<char*> cargv = c_strings(argv), cenv = c_strings(env_strings);
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return result;
  if (pid == 0) {
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool typed_yet = false;
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    struct pollfd fd = {master, POLLIN, 0};
    if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) {
      ::kill(pid, SIGKILL);  // never left behind
      ::waitpid(pid, nullptr, 0);
      ::close(master);
      return result;
    }
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO: the program has closed the terminal
    result.out.append(buf, static_cast<size_t>(n));
    if (!typed_yet && result.out.find(prompt) != std::string::npos) {
      typed_yet = true;
      ssize_t w = ::write(master, typed.data(), typed.size());
      (void)w;
    }
  }
  ::close(master);
  result.status = wait_exit(pid);
  return result;
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::string& stdin_text) {
  ProcessResult result;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0 || ::pipe(in_pipe) != 0) return result;
  std::vector<std::string> env_strings = environment_with(env);
  std::vector<char*> cargv = c_strings(argv), cenv = c_strings(env_strings);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::close(in_pipe[0]); ::close(in_pipe[1]);
    ::close(out_pipe[0]); ::close(out_pipe[1]);
    ::close(err_pipe[0]); ::close(err_pipe[1]);
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (!stdin_text.empty()) {
    ssize_t w = ::write(in_pipe[1], stdin_text.data(), stdin_text.size());
    (void)w;
  }
  ::close(in_pipe[1]);
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_count = 2;
  char buf[4096];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  result.status = wait_exit(pid);
  return result;
}

void StoreTest::SetUp() {
  data_dir_set(dir_.path());
  ui_backend_set(&ui_);
  clock_fast_set(true);
}

void StoreTest::TearDown() {
  ui_backend_set(nullptr);
  run_view_close();
  clock_sleep_observer_set(nullptr);
  clock_fast_set(false);
}

}  // namespace vl::test
