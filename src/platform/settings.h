// The settings file that stands in for the installer's registry key: "Name=Value" lines giving
// Install_Dir and Data_Dir.
#pragma once

#include <string>

namespace vl {

// Requests kept in flight on the connection unless the settings say otherwise.
constexpr int kRequestWindowDefault = 32;
constexpr int kRequestWindowMax = 256;
// Sessions a run uploads over unless the settings say otherwise.
constexpr int kUploadSessionsDefault = 16;
constexpr int kUploadSessionsMax = 32;
// Minutes an unattended run keeps retrying an unreachable server (0: for ever).
constexpr int kRetryLimitMinutesDefault = 60;
constexpr int kRetryLimitMinutesMax = 525600;
// Runs whose catalogs and run logs stay in a profile's folder (0: every run's).
constexpr int kKeepRunsDefault = 10;
constexpr int kKeepRunsMax = 100000;

struct Settings {
  std::string install_dir;
  std::string data_dir;
  // Requests kept in flight on the one connection; 1 is the strict one-at-a-time dialogue.
  int request_window = kRequestWindowDefault;
  int retry_limit_minutes = kRetryLimitMinutesDefault;
  // Sessions a run uploads over; 1 is the one connection.
  int upload_sessions = kUploadSessionsDefault;
  // The CA file the server's certificate is checked against ("" when not set: see ca_source.h).
  std::string ca_file;
  int keep_runs = kKeepRunsDefault;
};

// Reads one settings file. Returns true when both directories were found, each not empty and at
// most 255 bytes long as written, and the optional numbers are in range: Request_Window 1 to 256,
// Retry_Limit_Minutes 0 to 525600, Upload_Sessions 1 to 32. A value beginning with "~/" starts at
// the user's home ($HOME, else the password database), so one system-wide file serves every user. Blank lines and lines
// starting with "#" are ignored. A number out of range or not a number gives false with
// *bad_value (when given) naming the setting, the value and the accepted range. CA_File is
// optional: empty counts as not set, "~/" expands, a value longer than 255 bytes is named in
// *bad_value as unreadable.
// Keep_Runs: 0 to 100000.
bool settings_read_file(const std::string& path, Settings* out, std::string* bad_value = nullptr);

// The user's own folder of the product's settings: $XDG_CONFIG_HOME/corvantis, else
// $HOME/.config/corvantis; "" when neither variable is set.
std::string user_config_dir();

// The file that start-up reads: $VORNLAKE_SETTINGS when set (and then only that file), else
// $XDG_CONFIG_HOME/corvantis/online-backup.conf (~/.config when unset), else
// /etc/corvantis/online-backup.conf. Returns true when one was read successfully; *bad_value as
// for settings_read_file.
bool settings_load(Settings* out, std::string* bad_value = nullptr);

}  // namespace vl
