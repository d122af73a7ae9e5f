// Removing chosen files from one folder without ever reaching outside it: the folder is opened
// once, refusing a symbolic link as its last component, and everything after (the listing, the
// stat of each entry, the removals) is done relative to that descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vl {

// A regular file directly in the folder, as lstat sees it.
struct FolderFile {
  std::string name;
  int64_t mtime_ns = 0;
};

// Which of the listed files to remove.
using FolderChoice = std::function<std::vector<std::string>(const std::vector<FolderFile>&)>;

// Lists the regular files of the folder at path (links, folders and every other kind are left
// out, and so is an entry that cannot be stat'ed), hands the list to choose, and removes each
// name it returns that is still a regular file. Returns the number of files removed (their names
// appended to *removed when given); -1 when the folder cannot be opened (missing, a link,
// denied), with nothing removed. Any thread.
int folder_prune(const std::string& path, const FolderChoice& choose,
                 std::vector<std::string>* removed = nullptr);

}  // namespace vl
