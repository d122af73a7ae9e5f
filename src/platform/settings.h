// The settings file that stands in for the installer's registry key: "Name=Value" lines giving
// Install_Dir and Data_Dir.
#pragma once

#include <string>

namespace vl {

struct Settings {
  std::string install_dir;
  std::string data_dir;
};

// Reads one settings file. Returns true when both values were found and each is at most 255
// bytes long; blank lines and lines starting with "#" are ignored.
bool settings_read_file(const std::string& path, Settings* out);

// The file that start-up reads: $VORNLAKE_SETTINGS when set (and then only that file), else
// $XDG_CONFIG_HOME/corvantis/online-backup.conf (~/.config when unset), else
// /etc/corvantis/online-backup.conf. Returns true when one was read successfully.
bool settings_load(Settings* out);

}  // namespace vl
