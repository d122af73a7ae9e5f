#include "platform/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/fs.h"

namespace vl {

namespace {

constexpr size_t kValueMax = 255;

std::string home_dir() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return std::string();
}

// A directory value as the program uses it; false when it counts as missing or unreadable.
bool directory_value(const std::string& value, std::string* out) {
  if (value.empty() || value.size() > kValueMax) return false;
  if (value.rfind("~/", 0) == 0) {
    std::string home = home_dir();
    if (home.empty()) return false;
    *out = home + value.substr(1);
  } else {
    *out = value;
  }
  return true;
}

// The optional numbers: name, accepted range, and where the value goes.
struct NumberSetting {
  const char* name;
  int min;
  int max;
  int Settings::*field;
};
const NumberSetting kNumbers[] = {
    {"Request_Window", 1, kRequestWindowMax, &Settings::request_window},
    {"Retry_Limit_Minutes", 0, kRetryLimitMinutesMax, &Settings::retry_limit_minutes},
    {"Upload_Sessions", 1, kUploadSessionsMax, &Settings::upload_sessions},
    {"Keep_Runs", 0, kKeepRunsMax, &Settings::keep_runs},
};

bool number_value(const std::string& value, int min, int max, int* out) {
  if (value.empty() || value.size() > 9) return false;
  int n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < min || n > max) return false;
  *out = n;
  return true;
}

}  // namespace

bool settings_read_file(const std::string& path, Settings* out, std::string* bad_value) {
  std::ifstream in(path);
  if (!in) return false;
  bool have_install = false, have_data = false;
  std::string line;
  Settings s;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (name == "Install_Dir") {
      have_install = directory_value(value, &s.install_dir);
      if (!have_install && !value.empty()) return false;
    } else if (name == "Data_Dir") {
      have_data = directory_value(value, &s.data_dir);
      if (!have_data && !value.empty()) return false;
    } else if (name == "CA_File") {
      if (!value.empty() && !directory_value(value, &s.ca_file)) {
        if (bad_value)
          *bad_value = "CA_File=" + value.substr(0, 40) + "... in " + path +
                       " is not valid: it must be a path of at most 255 bytes.";
        return false;
      }
    } else {
      for (const NumberSetting& n : kNumbers) {
        if (name != n.name || number_value(value, n.min, n.max, &(s.*n.field))) continue;
        if (bad_value)
          *bad_value = name + "=" + value.substr(0, 40) + " in " + path +
                       " is not valid: it must be a whole number from " + std::to_string(n.min) +
                       " to " + std::to_string(n.max) + ".";
        return false;
      }
    }
  }
  if (!have_install || !have_data) return false;
  *out = s;
  return true;
}

std::string user_config_dir() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    return std::string(xdg) + "/corvantis";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.config/corvantis";
  return std::string();
}

bool settings_load(Settings* out, std::string* bad_value) {
  if (const char* explicit_path = std::getenv("VORNLAKE_SETTINGS"))
    return settings_read_file(explicit_path, out, bad_value);
  const std::string config = user_config_dir();
  const std::string user_file = config.empty() ? config : config + "/online-backup.conf";
  if (!user_file.empty() && file_exists(user_file))
    return settings_read_file(user_file, out, bad_value);
  return settings_read_file("/etc/corvantis/online-backup.conf", out, bad_value);
}

}  // namespace vl
