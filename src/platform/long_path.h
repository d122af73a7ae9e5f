// Paths of PATH_MAX bytes or more. The kernel refuses such a path whole (ENAMETOOLONG), yet a
// deep tree holds them, and a walk that took the refusal for "not there" lost the subtree. They
// are reached by openat from folder to folder instead. Any thread.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace vl {

// Whether path is too long to be handed to the kernel whole.
bool path_is_long(const std::string& path);

// Opens the folder that holds path's last component (O_PATH, close-on-exec) and sets *last to
// that component: "/a/b" opens "/a" with "b", "b" opens "." with "b", "/a/b/" opens "/a/b" with
// ".". A long folder is opened in pieces of fewer than PATH_MAX bytes cut at "/", each with openat
// relative to the one before, holding at most two descriptors at a time; symbolic links along
// the folder are followed as in a whole path. Returns no descriptor, with errno set, when a piece
// cannot be opened or one component alone is too long (ENAMETOOLONG).
UniqueFd path_folder_open(const std::string& path, std::string* last);

}  // namespace vl
