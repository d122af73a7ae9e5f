#include "platform/settings.h"

#include <cstdlib>
#include <fstream>

#include "platform/fs.h"

namespace vl {

bool settings_read_file(const std::string& path, Settings* out) {
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
      if (value.size() > 255) return false;
      s.install_dir = value;
      have_install = true;
    } else if (name == "Data_Dir") {
      if (value.size() > 255) return false;
      s.data_dir = value;
      have_data = true;
    }
  }
  if (!have_install || !have_data) return false;
  *out = s;
  return true;
}

bool settings_load(Settings* out) {
  if (const char* explicit_path = std::getenv("VORNLAKE_SETTINGS"))
    return settings_read_file(explicit_path, out);
  std::string user_file;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    user_file = std::string(xdg) + "/corvantis/online-backup.conf";
  else if (const char* home = std::getenv("HOME"); home && *home)
    user_file = std::string(home) + "/.config/corvantis/online-backup.conf";
  if (!user_file.empty() && file_exists(user_file)) return settings_read_file(user_file, out);
  return settings_read_file("/etc/corvantis/online-backup.conf", out);
}

}  // namespace vl
