#include "platform/dirs.h"

namespace vl {
namespace {
std::string g_data_dir;
std::string g_install_dir;
}  // namespace

const std::string& data_dir() { return g_data_dir; }
void data_dir_set(const std::string& dir) { g_data_dir = dir; }
const std::string& install_dir() { return g_install_dir; }
void install_dir_set(const std::string& dir) { g_install_dir = dir; }

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

}  // namespace vl
