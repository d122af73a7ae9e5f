// File-system access for the walk, the block reader and the stores. Never follows symbolic links.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace vl {

// Attribute bits as the catalog keeps them (low byte of the attribute word).
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrOffline = 0x1000;

enum class FileKind { directory, regular, special };

// What lstat reports about one item. dev and ino tell whether a file opened later is the item
// that was stat'ed.
struct FileStat {
  FileKind kind = FileKind::special;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t mode = 0;
  uint32_t owner = 0;
  uint32_t group = 0;
  uint64_t size = 0;
  uint32_t t_access = 0;
  uint32_t t_change = 0;
  uint32_t t_modify = 0;
  // The inode's change time to the nanosecond: any write moves it, also one whose modification
  // time is put back afterwards, and also within the second of an earlier look.
  uint64_t change_ns = 0;
};

// Why an item could not be stat'ed, opened or listed.
enum class FsFailure {
  none,
  missing,   // no such item, or a component along the path is not a folder
  denied,    // permissions (or the test hook)
  too_long,  // the kernel refuses the path as too long even piece by piece
  other,
};

// lstat of path, of any length (see long_path.h). Returns true and fills *out, or false when the
// item cannot be stat'ed, with the reason in *why when given. Any thread.
bool file_stat(const std::string& path, FileStat* out, FsFailure* why = nullptr);

// lstat of name, an entry of the folder open as `folder` (any descriptor of it, O_PATH too): no
// symbolic link is followed. As file_stat otherwise. Any thread.
bool file_stat_at(const UniqueFd& folder, const std::string& name, FileStat* out,
                  FsFailure* why = nullptr);

// fstat of an open descriptor, in the same terms as file_stat: compare dev and ino with the
// walk's file_stat to know that the file opened is the one that was stat'ed. Returns false when
// fstat fails. Any thread.
bool fd_stat(const UniqueFd& fd, FileStat* out);

// Opens path, of any length, with open(2)'s flags (O_CLOEXEC is always added; a file created gets
// mode 0600). With O_NOFOLLOW a symbolic link as the last component is refused; links along the
// way are followed as in a whole path. Returns the descriptor, or none with the reason in *why
// when given. Fails like a denied open for a path named by the test hook. Any thread.
UniqueFd path_open(const std::string& path, int flags, FsFailure* why = nullptr);

// Creates path as a new, empty file (mode 0600) open for reading and writing. Anything that
// already stands at the name, a symbolic link included, fails it (O_EXCL): nothing planted at the
// name of a file that must be new is ever written through. Returns none with errno set. No test
// hook applies. Any thread.
UniqueFd file_create_new(const std::string& path);

// path_open for reading that leaves the access time alone (O_NOATIME) where the kernel allows it:
// to the file's owner, or to a process that may act for every owner. Others open it as usual.
UniqueFd path_open_noatime(const std::string& path, int flags, FsFailure* why = nullptr);
// The same for name in the open folder (O_CLOEXEC is added); no test hook applies.
UniqueFd openat_noatime(const UniqueFd& folder, const std::string& name, int flags);

// A folder a walk starts from, held open (O_PATH) while the walk is under it, and the length of
// its path. A path below it is opened relative to it and through no symbolic link at any level:
// a folder swapped for a link after the walk listed it cannot lead a listing or a read outside
// the tree. fd < 0 (the default): paths are opened whole, as the kernel resolves them.
struct PathBase {
  int fd = -1;
  size_t len = 0;  // the part of a full path below it that it stands for
};

// Opens path as a PathBase's folder (O_PATH, following links in the path itself, which the user
// named). None with errno set. Any thread.
UniqueFd path_base_open(const std::string& path);

// path_open_noatime of path, a path below base (or base's folder itself), reached from base.fd
// through no symbolic link (ELOOP or EXDEV where one stands in the way). A base without a
// descriptor opens the path whole. Test hooks as path_open. Any thread.
UniqueFd path_open_beneath(const PathBase& base, const std::string& path, int flags,
                           FsFailure* why = nullptr);

// The name an item's attributes are judged by: the text after the last "/" once trailing ones
// are dropped ("/" for the root).
std::string path_last_component(const std::string& path);

// Attribute word for an item already stat'ed, named by its last path component.
uint32_t file_attributes_of(const FileStat& st, const std::string& name);

bool file_exists(const std::string& path);

// Creates a directory with mode 0700. Returns true when created (false also when it exists).
bool dir_create_private(const std::string& path);

// Creates every missing directory along path, each with mode 0700.
bool dir_create_all_private(const std::string& path);

bool file_remove(const std::string& path);
// Removes an empty folder; true when it is gone.
bool dir_remove(const std::string& path);
bool file_rename(const std::string& from, const std::string& to);

// Restricts an existing file to its owner (0600); a symbolic link at path is left alone.
void file_make_private(const std::string& path);

// path with its folder part made the real path (links along the way followed, as an open
// follows them) and its last component as given; a path without "/" or whose folder cannot be
// resolved is returned unchanged. For SQLite's refusal of links (SQLITE_OPEN_NOFOLLOW), which
// would otherwise also refuse a data folder reached through a link.
std::string path_folder_resolved(const std::string& path);

// Sets the process umask so that everything created from now on is owner-only.
void owner_only_umask();

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// fopen with the C modes "r", "rb", "w", "w+", "a", and "wx", "w+x" (the file must not exist
// yet), for a path of any length; files created here get mode 0600. A "w" mode refuses a symbolic
// link at the last component (O_NOFOLLOW) instead of truncating its target.
FilePtr file_open(const std::string& path, const char* mode);

// Empties the stream f, opened for writing, and puts it back at its start. False on failure.
bool stream_empty(FILE* f);

// A new file at path, opened "w+": what stands at the name is removed first (a symbolic link
// itself, never its target), then the file is created exclusively, so that a link or file
// planted there in between fails the open rather than being written through. Null when it cannot
// be created (a folder at the name). The test hook applies as for file_open.
FilePtr file_open_new(const std::string& path);

#ifdef VORNLAKE_FAULT_HOOKS
// The paths a fault hook is set for: any thread may add to the list and ask about it.
class FaultPaths {
 public:
  void add(const std::string& path);
  bool has(const std::string& path) const;

 private:
  mutable std::mutex mu_;
  std::set<std::string> paths_;
};

// Fault injection (test builds only): file_open, path_open, dir_list and DirReader fail as denied
// for a path added with fs_fault_open_fail_add (a file or a folder); file_open returns a stream
// whose every read fails for a path added with fs_fault_read_fail_add.
void fs_fault_open_fail_add(const std::string& path);
void fs_fault_read_fail_add(const std::string& path);
// Whether reads of path are to fail: for code that reads a path_open descriptor itself.
bool fs_fault_read_fails(const std::string& path);
bool fs_fault_open_fails(const std::string& path);
#endif

// Reads the entry names of the folder at path, of any length, into *names in readdir order
// without "." and "..", and closes the folder before it returns: a caller that visits the
// entries afterwards holds no descriptor while it descends. A symbolic link as the last
// component is not followed. Returns false with the reason in *why when the folder cannot be
// opened, may not be searched (its entries could not be stat'ed or opened; *names is left
// empty) or a read fails part way (*names holds what was read). With `regular`, also tells for
// each name whether the folder lists it as a regular file (its entry's type, no stat; false where
// the file system does not say). Any thread.
// Below `base` (when it has a descriptor), the folder is reached as path_open_beneath does.
bool dir_list(const std::string& path, std::vector<std::string>* names, FsFailure* why,
              std::vector<char>* regular = nullptr, const PathBase& base = {});

// Reads a directory's entry names one by one (readdir order, "." and ".." included); the path
// may be of any length. Holds the folder open while it lives. open_flags are added to the open
// (O_NOFOLLOW: not through a link).
class DirReader {
 public:
  explicit DirReader(const std::string& path, int open_flags = 0);
  ~DirReader();
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;

  bool ok() const { return dir_ != nullptr; }
  // The folder's descriptor, for calls relative to it (-1 when it could not be opened).
  int fd() const;
  // Returns false at the end of the listing.
  bool next(std::string* name);

 private:
  void* dir_;
};

}  // namespace vl
