#include "platform/dirs.h"

#include <sys/stat.h>

namespace vl {
namespace {
std::string g_data_dir;
std::string g_install_dir;
std::string g_ca_file;
}  // namespace

const std::string& data_dir() { return g_data_dir; }
void data_dir_set(const std::string& dir) { g_data_dir = dir; }
const std::string& install_dir() { return g_install_dir; }
void install_dir_set(const std::string& dir) { g_install_dir = dir; }
const std::string& ca_file() { return g_ca_file; }
void ca_file_set(const std::string& path) { g_ca_file = path; }

std::string path_join(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (a.back() == '/') return a + b;
  return a + "/" + b;
}

std::string path_join(const std::string& a, const std::string& b, const std::string& c) {
  return path_join(path_join(a, b), c);
}

std::string profile_dir(const std::string& tag) {
  return path_join(data_dir(), "Profiles", tag);
}

std::vector<std::string> data_dirs_open_to_others(const std::string& tag) {
  std::vector<std::string> dirs{data_dir(), path_join(data_dir(), "Profiles")};
  if (!tag.empty()) dirs.push_back(profile_dir(tag));
  std::vector<std::string> open;
  for (const std::string& dir : dirs) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)))
      open.push_back(dir);
  }
  return open;
}

}  // namespace vl
