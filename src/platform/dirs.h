// The installation and data directories (process-wide), and path building with "/".
#pragma once

#include <string>
#include <vector>

namespace vl {

// The data directory: root of every database and run log. Start-up sets it from the settings
// file; tests set it directly. Not thread-safe against concurrent setting (set once, read often).
const std::string& data_dir();
void data_dir_set(const std::string& dir);

// The installation directory: holds "ca.crt".
const std::string& install_dir();
void install_dir_set(const std::string& dir);

// The CA file named by the settings (CA_File), "" when none is.
const std::string& ca_file();
void ca_file_set(const std::string& path);

// Joins with one "/" between the parts (no "/" added after an empty part or one ending in "/").
std::string path_join(const std::string& a, const std::string& b);
std::string path_join(const std::string& a, const std::string& b, const std::string& c);

// "<data>/Profiles/<tag>": the directory of one profile (its database, catalogs and logs).
std::string profile_dir(const std::string& tag);

// Of the data directory, "<data>/Profiles" and (for a non-empty tag) the profile's directory, in
// that order, those that exist and that users other than the owner may write to (group or
// others): they can plant links and files at the names the client writes next.
std::vector<std::string> data_dirs_open_to_others(const std::string& tag);

}  // namespace vl
