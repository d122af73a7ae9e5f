// vornlake-mkprofile: writes a backup profile from the command line, exactly as the profile editor
// saves one (for scripted set-ups, the demo and the end-to-end tests).
//
//   vornlake-mkprofile --tag TAG --server HOST --login NAME [--password-file FILE] [--port N]
//       [--description TEXT] [--include PATH]... [--exclude RULE]... [--priority 0-4]
//       [--file-delay MS] [--block-delay MS] [--tx-rate N --tx-unit 0-5] [--rx-rate N --rx-unit 0-5]
//
// The password comes from --password-file, else the first line of standard input (asked for with
// "Password: " and the echo off at a terminal): a password on
// the command line (--password, kept for old scripts) can be read by every local user in the
// process list. The settings file is found as the client finds it ($VORNLAKE_SETTINGS ...).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "platform/settings.h"
#include "platform/std_descriptors.h"
#include "platform/terminal.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "ui/console/console_port.h"
#include "port/port.h"

namespace {

const char kUsage[] =
    "usage: vornlake-mkprofile --tag TAG --server HOST --login NAME [--password-file FILE]\n"
    "         [--port N] [--description TEXT] [--include PATH]... [--exclude RULE]...\n"
    "         [--priority 0-4] [--file-delay MS] [--block-delay MS]\n"
    "         [--tx-rate N --tx-unit 0-5] [--rx-rate N --rx-unit 0-5]\n";

// A usage error: what was wrong, then the usage text, on standard error; exit status 2.
int usage(const std::string& why) {
  if (!why.empty()) std::fprintf(stderr, "vornlake-mkprofile: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

// The first line of a stream, without its line break. False when nothing could be read.
bool first_line(FILE* in, std::string* out) {
  char buf[256];
  if (!in || !std::fgets(buf, sizeof buf, in)) return false;
  *out = buf;
  while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
  return true;
}

bool number(const char* text, long min, long max, long* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vl;
  std_descriptors_ensure();  // a closed stderr must not be the database file's descriptor
  owner_only_umask();
  ConsoleBackend console;
  ui_backend_set(&console);
  std::string password_file;
  std::unique_ptr<ProfileSettings> profile = profile_new_defaults();
  ProfileSettings& p = *profile;
  p.server.clear();  // the server is not guessed on the command line
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    std::fputs("Writes a backup profile as the desktop's editor saves one. The password comes from\n"
               "--password-file, else standard input (asked for, without echo, at a terminal).\n"
               "See vornlake-mkprofile(1).\n",
               stdout);
    return 0;
  }
  // The ranges of the numbered options, to name them when a value is refused.
  const struct {
    const char* name;
    const char* range;
  } ranges[] = {{"--port", "1 to 65535"},           {"--priority", "0 to 4"},
                {"--file-delay", "0 to 10000"},     {"--block-delay", "0 to 10000"},
                {"--tx-rate", "1 to 2147483647"},   {"--tx-unit", "0 to 5"},
                {"--rx-rate", "1 to 2147483647"},   {"--rx-unit", "0 to 5"}};
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    bool known = opt == "--tag" || opt == "--server" || opt == "--login" || opt == "--password" ||
                 opt == "--password-file" || opt == "--description" || opt == "--include" ||
                 opt == "--exclude";
    const char* range = nullptr;
    for (const auto& r : ranges)
      if (opt == r.name) range = r.range;
    if (!known && !range) return usage("unknown option " + opt);
    if (i + 1 >= argc) return usage(opt + " needs a value");
    const char* val = argv[++i];
    long n = 0;
    if (opt == "--tag") p.tag = val;
    else if (opt == "--server") p.server = val;
    else if (opt == "--login") p.login = val;
    else if (opt == "--password") p.password = val;
    else if (opt == "--password-file") password_file = val;
    else if (opt == "--description") p.description = val;
    else if (opt == "--include") p.include_rules.push_back({val});
    else if (opt == "--exclude") p.exclude_rules.push_back({val});
    else if (opt == "--port" && number(val, 1, 65535, &n)) p.port = static_cast<uint16_t>(n);
    else if (opt == "--priority" && number(val, 0, 4, &n)) p.thread_priority = static_cast<uint32_t>(n);
    else if (opt == "--file-delay" && number(val, 0, 10000, &n)) p.file_delay_ms = static_cast<int32_t>(n);
    else if (opt == "--block-delay" && number(val, 0, 10000, &n)) p.block_delay_ms = static_cast<int32_t>(n);
    else if (opt == "--tx-rate" && number(val, 1, 0x7fffffff, &n)) { p.tx_rate = static_cast<int32_t>(n); p.tx_throttle = 1; }
    else if (opt == "--tx-unit" && number(val, 0, 5, &n)) p.tx_rate_unit = static_cast<uint32_t>(n);
    else if (opt == "--rx-rate" && number(val, 1, 0x7fffffff, &n)) { p.rx_rate = static_cast<int32_t>(n); p.rx_throttle = 1; }
    else if (opt == "--rx-unit" && number(val, 0, 5, &n)) p.rx_rate_unit = static_cast<uint32_t>(n);
    else return usage(opt + " " + val + ": must be a whole number from " + range);
  }
  if (p.tag.empty() || p.server.empty() || p.login.empty())
    return usage("--tag, --server and --login are needed");
  if (!password_file.empty()) {
    FilePtr f = file_open(password_file, "r");
    if (!first_line(f.get(), &p.password)) {
      std::fprintf(stderr, "vornlake-mkprofile: cannot read the password from %s\n", password_file.c_str());
      return 1;
    }
  } else if (p.password.empty() && is_terminal(stdin)) {
    // Typed by a person: asked for, and not shown on the screen.
    if (!terminal_read_secret("Password: ", &p.password)) return usage("no password was typed");
  } else if (p.password.empty() && !first_line(stdin, &p.password)) {
    return usage("no password: give --password-file FILE or the password on standard input");
  }
  if (p.password.empty()) return usage("the password is empty");
  if (p.tag.size() > kTagMax || p.server.size() > kServerMax || p.login.size() > kLoginMax ||
      p.password.size() > kPasswordMax || p.description.size() > kDescriptionMax) {
    std::fprintf(stderr, "vornlake-mkprofile: a value is longer than its field\n");
    return 2;
  }
  for (char c : p.tag) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
      std::fprintf(stderr, "vornlake-mkprofile: a tag holds lower-case letters, digits, '-' and '_'\n");
      return 2;
    }
  }
  Settings settings;
  if (!settings_load(&settings)) {
    std::fprintf(stderr, "vornlake-mkprofile: no settings file (Install_Dir, Data_Dir)\n");
    return 1;
  }
  install_dir_set(settings.install_dir);
  data_dir_set(settings.data_dir);
  dir_create_all_private(settings.data_dir);
  if (config_open() != 0) return 1;
  int rc = profile_create(p);
  config_close();
  ui_backend_set(nullptr);
  return rc == 0 ? 0 : 1;
}
