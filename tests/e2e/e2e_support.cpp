#include "e2e_support.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <csignal>
#include <cctype>
#include <chrono>
#include <random>
#include <thread>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"

namespace vl::test {

Installation::Installation() {
  dir_create_private(install());
  dir_create_private(data());
  dir_create_private(source());
  write_file(install() + "/ca.crt", read_file(test_certs_dir() + "/ca.crt"));
  write_file(settings(), "# test installation\nInstall_Dir=" + install() + "\nData_Dir=" + data() + "\n");
}

void Installation::profile(const std::string& tag, int port, const std::vector<std::string>& includes,
                           const std::vector<std::string>& excludes, int block_delay_ms,
                           const std::function<void(ProfileSettings&)>& tweak) {
  const std::string saved = data_dir();
  data_dir_set(data());
  ProfileSettings p;
  p.tag = tag;
  p.description = "End-to-end profile " + tag;
  p.server = "localhost";
  p.port = static_cast<uint16_t>(port);
  p.login = "alice";
  p.password = "secret";
  p.thread_priority = 1;
  p.tx_rate_unit = 1;
  p.rx_rate_unit = 1;
  p.block_delay_ms = block_delay_ms;
  for (const auto& r : includes) p.include_rules.push_back({r});
  for (const auto& r : excludes) p.exclude_rules.push_back({r});
  if (tweak) tweak(p);
  EXPECT_EQ(config_open(), 0);
  EXPECT_EQ(profile_create(p), 0);
  config_close();
  data_dir_set(saved);
}

std::vector<std::string> Installation::env() const {
  // No session bus: a test run must not notify the desktop of whoever runs the tests.
  return {"VORNLAKE_SETTINGS=" + settings(), "VORNLAKE_UI=console", "VORNLAKE_TEST_FAST_CLOCK=1",
          "DBUS_SESSION_BUS_ADDRESS=", "XDG_RUNTIME_DIR="};
}

RunResult Installation::run(const std::vector<std::string>& args, const std::string& tag,
                            const std::vector<std::string>& extra_env, int max_open_files) {
  std::vector<std::string> argv{bin_path("vornlake")};
  if (max_open_files > 0)
    argv = {"/bin/sh", "-c", "ulimit -n " + std::to_string(max_open_files) + " && exec \"$0\" \"$@\"",
            bin_path("vornlake")};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> environment = env();
  environment.insert(environment.end(), extra_env.begin(), extra_env.end());
  ProcessResult p = run_process(argv, environment);
  RunResult r;
  r.status = p.status;
  r.err = p.err;
  r.out = p.out;
  namespace fs = std::filesystem;
  std::string newest;
  fs::file_time_type newest_time;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(data() + "/Profiles/" + tag, ec)) {
    if (e.path().extension() != ".log") continue;
    auto t = e.last_write_time();
    if (newest.empty() || t > newest_time || (t == newest_time && e.path().string() > newest)) {
      newest = e.path().string();
      newest_time = t;
    }
  }
  if (!newest.empty()) {
    r.log = read_file(newest);
    r.log_lines = read_lines(newest);
    r.catalog_id = static_cast<uint32_t>(std::stoul(fs::path(newest).stem().string(), nullptr, 16));
  }
  return r;
}

std::string Installation::restore_and_verify(const RefServer& server, uint32_t id,
                                             const std::vector<std::string>& ignore,
                                             const std::string& unrestorable) {
  std::string out = root() + "/restore-" + std::to_string(++restores_);
  ProcessResult r = run_process({bin_path("vornlake-refserver"), "restore", "--store", server.store(),
                                 "--catalog", std::to_string(id), "--out", out});
  std::vector<std::string> left_out = ignore;
  if (r.status != 0 && !unrestorable.empty()) {
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with("problem: ") && !line.starts_with("problem: " + source() + "/" + unrestorable + "/"))
        return "restore failed:\n" + r.out + r.err;
    remove_tree(out + source() + "/" + unrestorable);  // what it wrote before the paths grew too long
    left_out.push_back(unrestorable);
  } else if (r.status != 0) {
    return "restore failed:\n" + r.out + r.err;
  }
  std::vector<std::string> argv{bin_path("vornlake-refserver"), "verify", "--source", source(),
                                "--restored", out};
  for (const auto& i : left_out) {
    argv.push_back("--ignore");
    argv.push_back(i);
  }
  ProcessResult v = run_process(argv);
  if (v.status != 0) return "verify failed:\n" + v.out + v.err;
  return "";
}

void age_file(const std::string& path, int age_seconds) {
  struct timeval tv[2];
  tv[0].tv_sec = tv[1].tv_sec = std::time(nullptr) - age_seconds;
  tv[0].tv_usec = tv[1].tv_usec = 0;
  ::lutimes(path.c_str(), tv);
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

bool has_line(const RunResult& r, const std::string& line) {
  return std::find(r.log_lines.begin(), r.log_lines.end(), line) != r.log_lines.end();
}

std::string line_of(const RunResult& r, const std::string& path) {
  for (const auto& l : r.log_lines)
    if (l.rfind(path + " : ", 0) == 0) return l;
  return "";
}

int64_t query_int(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  int64_t v = -1;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return v;
}

std::string catalog_file(const Installation& inst, uint32_t id, const std::string& tag) {
  char name[16];
  std::snprintf(name, sizeof name, "%08x.cat", id);
  return inst.data() + "/Profiles/" + tag + "/" + name;
}

size_t count_trace(const std::vector<std::string>& trace, size_t from, const std::string& kind) {
  std::string upper = kind;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  size_t n = 0;
  for (size_t i = from; i < trace.size(); ++i)
    if (trace[i].find(" C " + kind + " ") != std::string::npos ||
        trace[i].find(" C " + upper + " ") != std::string::npos)
      ++n;
  return n;
}

std::vector<std::string> with(std::vector<std::string> env, const std::string& extra) {
  env.push_back(extra);
  return env;
}

bool wait_for_text(const std::string& file, const std::string& text, int max_ms) {
  for (int waited = 0; waited < max_ms; waited += 20) {
    if (read_file(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

ClientRun::ClientRun(const Installation& inst, const std::string& name)
    : err(inst.root() + "/" + name + ".err"),
      pid(spawn({bin_path("vornlake"), "/run:daily"}, inst.env(), err + ".out", err)) {}

ClientRun::~ClientRun() {
  if (pid > 0 && ::kill(pid, SIGKILL) == 0) wait_exit(pid);
}

int ClientRun::wait(int max_ms) {
  for (int waited = 0, status = 0; waited < max_ms; waited += 20) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

}  // namespace vl::test
