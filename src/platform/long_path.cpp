#include "platform/long_path.h"

#include <fcntl.h>
#include <limits.h>

#include <cerrno>

namespace vl {

bool path_is_long(const std::string& path) { return path.size() >= PATH_MAX; }

UniqueFd path_folder_open(const std::string& path, std::string* last) {
  if (path.empty()) {
    errno = ENOENT;
    return UniqueFd();
  }
  // "dir/" names the folder itself (through a link, as the kernel would): its last is ".".
  const size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  last->assign(slash == std::string::npos ? path : path.substr(slash + 1));
  if (last->empty()) last->push_back('.');
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();

  UniqueFd current;
  size_t pos = 0;
  while (pos < folder.size()) {
    size_t end = folder.size();
    if (end - pos >= PATH_MAX) {
      // The longest piece that ends before a "/" and stays below PATH_MAX.
      end = folder.rfind('/', pos + PATH_MAX - 1);
      if (end == std::string::npos || end <= pos) {
        errno = ENAMETOOLONG;
        return UniqueFd();
      }
    }
    const std::string piece = folder.substr(pos, end - pos);
    const int base = current.ok() ? current.get() : AT_FDCWD;
    int fd = ::openat(base, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return UniqueFd();
    current.reset(fd);
    pos = end;
    while (pos < folder.size() && folder[pos] == '/') ++pos;
  }
  return current;
}

}  // namespace vl
