#include "platform/folder_prune.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs.h"

namespace vl {

namespace {

bool regular_at(int dir_fd, const char* name, struct stat* st) {
  return ::fstatat(dir_fd, name, st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st->st_mode);
}

}  // namespace

int folder_prune(const std::string& path, const FolderChoice& choose,
                 std::vector<std::string>* removed) {
  DirReader dir(path, O_NOFOLLOW);
  if (!dir.ok()) return -1;
  const int fd = dir.fd();
  std::vector<FolderFile> files;
  std::string entry;
  while (dir.next(&entry)) {
    struct stat st;
    if (!regular_at(fd, entry.c_str(), &st)) continue;
    files.push_back({entry, int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec});
  }
  int count = 0;
  for (const std::string& name : choose(files)) {
    // Only a plain name in this folder, and only while it is still a regular file: unlinkat never
    // follows a link, and a name with "/" could reach another folder.
    struct stat st;
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
      continue;
    if (!regular_at(fd, name.c_str(), &st)) continue;
    if (::unlinkat(fd, name.c_str(), 0) != 0) continue;
    ++count;
    if (removed) removed->push_back(name);
  }
  return count;
}

}  // namespace vl
