// File-system access for the walk, the block reader and the stores. Never follows symbolic links.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

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
};

// lstat of path. Returns true and fills *out, or false when the item cannot be stat'ed.
bool file_stat(const std::string& path, FileStat* out);

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
bool file_rename(const std::string& from, const std::string& to);

// Restricts an existing file to its owner (0600).
void file_make_private(const std::string& path);

// Sets the process umask so that everything created from now on is owner-only.
void owner_only_umask();

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// fopen with the C modes "r", "rb", "w", "w+", "a"; files created here get mode 0600.
FilePtr file_open(const std::string& path, const char* mode);

#ifdef VORNLAKE_FAULT_HOOKS
// Fault injection (test builds only): file_open fails for a path added with
// fs_fault_open_fail_add, and returns a stream whose every read fails for a path added with
// fs_fault_read_fail_add.
void fs_fault_open_fail_add(const std::string& path);
void fs_fault_read_fail_add(const std::string& path);
#endif

// Reads a directory's entry names one by one (readdir order, "." and ".." included).
class DirReader {
 public:
  explicit DirReader(const std::string& path);
  ~DirReader();
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;

  bool ok() const { return dir_ != nullptr; }
  // Returns false at the end of the listing.
  bool next(std::string* name);

 private:
  void* dir_;
};

}  // namespace vl
