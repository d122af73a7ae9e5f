#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/long_path.h"

namespace vl {

namespace {

FsFailure failure_of(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return FsFailure::missing;
    case EACCES:
    case EPERM:
      return FsFailure::denied;
    case ENAMETOOLONG:
      return FsFailure::too_long;
    default:
      return FsFailure::other;
  }
}

void failure_set(FsFailure* why, FsFailure value) {
  if (why) *why = value;
}

}  // namespace

static void file_stat_fill(const struct stat& st, FileStat* out) {
  out->dev = static_cast<uint64_t>(st.st_dev);
  out->ino = static_cast<uint64_t>(st.st_ino);
  if (S_ISDIR(st.st_mode))
    out->kind = FileKind::directory;
  else if (S_ISREG(st.st_mode))
    out->kind = FileKind::regular;
  else
    out->kind = FileKind::special;
  out->mode = static_cast<uint32_t>(st.st_mode);
  out->owner = static_cast<uint32_t>(st.st_uid);
  out->group = static_cast<uint32_t>(st.st_gid);
  out->size = static_cast<uint64_t>(st.st_size);
  out->t_access = static_cast<uint32_t>(st.st_atime);
  out->t_change = static_cast<uint32_t>(st.st_ctime);
  out->change_ns = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
                   static_cast<uint64_t>(st.st_ctim.tv_nsec);
  out->t_modify = static_cast<uint32_t>(st.st_mtime);
}

// lstat of name in folder (AT_FDCWD: name is a path), as file_stat reports it.
static bool stat_at(int folder, const std::string& name, FileStat* out, FsFailure* why) {
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    failure_set(why, failure_of(errno));
    return false;
  }
  failure_set(why, FsFailure::none);
  file_stat_fill(st, out);
  return true;
}

bool file_stat(const std::string& path, FileStat* out, FsFailure* why) {
  if (!path_is_long(path)) return stat_at(AT_FDCWD, path, out, why);
  std::string last;
  UniqueFd folder = path_folder_open(path, &last);
  if (!folder.ok()) {
    failure_set(why, failure_of(errno));
    return false;
  }
  return stat_at(folder.get(), last, out, why);
}

bool file_stat_at(const UniqueFd& folder, const std::string& name, FileStat* out,
                  FsFailure* why) {
  return stat_at(folder.get(), name, out, why);
}

bool fd_stat(const UniqueFd& fd, FileStat* out) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return false;
  file_stat_fill(st, out);
  return true;
}

std::string path_last_component(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p == "/") return p;
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

uint32_t file_attributes_of(const FileStat& st, const std::string& name) {
  uint32_t attr = 0;
  if (st.kind == FileKind::directory) attr |= kAttrDirectory;
  if (st.kind == FileKind::regular) attr |= kAttrArchive;
  if ((st.mode & S_IWUSR) == 0) attr |= kAttrReadOnly;
  if (name.size() > 1 && name[0] == '.' && name != "..") attr |= kAttrHidden;
  return attr;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool dir_create_private(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0; }

bool dir_create_all_private(const std::string& path) {
  if (path.empty()) return false;
  std::string part;
  bool ok = true;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      part = path.substr(0, i);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) ok = false;
    }
  }
  return ok;
}

bool file_remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool dir_remove(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

bool file_rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

void file_make_private(const std::string& path) {
  // Not through a link: a link planted at the name would hand the mode to its target.
  ::fchmodat(AT_FDCWD, path.c_str(), 0600, AT_SYMLINK_NOFOLLOW);
}

std::string path_folder_resolved(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return path;
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  char* real = ::realpath(folder.c_str(), nullptr);
  if (!real) return path;
  std::string out(real);
  std::free(real);
  if (out.back() != '/') out += '/';
  return out + path.substr(slash + 1);
}

void owner_only_umask() { ::umask(077); }

#ifdef VORNLAKE_FAULT_HOOKS
namespace {

FaultPaths g_open_fail;
FaultPaths g_read_fail;

ssize_t failing_read(void*, char*, size_t) {
  errno = EIO;
  return -1;
}

int failing_close(void*) { return 0; }

}  // namespace

void FaultPaths::add(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  paths_.insert(path);
}

bool FaultPaths::has(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  return paths_.count(path) != 0;
}

void fs_fault_open_fail_add(const std::string& path) { g_open_fail.add(path); }
void fs_fault_read_fail_add(const std::string& path) { g_read_fail.add(path); }
bool fs_fault_read_fails(const std::string& path) { return g_read_fail.has(path); }
bool fs_fault_open_fails(const std::string& path) { return g_open_fail.has(path); }

#endif  // VORNLAKE_FAULT_HOOKS

// A path named by the test hook fails as a denied open would.
static bool open_fault(const std::string& path) {
#ifdef VORNLAKE_FAULT_HOOKS
  if (g_open_fail.has(path)) {
    errno = EACCES;
    return true;
  }
#else
  (void)path;
#endif
  return false;
}

// open(2) of a path of any length; no test hook.
static UniqueFd open_any_length(const std::string& path, int flags) {
  if (!path_is_long(path)) return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC, 0600));
  std::string last;
  UniqueFd folder = path_folder_open(path, &last);
  if (!folder.ok()) return UniqueFd();
  return UniqueFd(::openat(folder.get(), last.c_str(), flags | O_CLOEXEC, 0600));
}

UniqueFd path_open(const std::string& path, int flags, FsFailure* why) {
  UniqueFd fd;
  if (!open_fault(path)) fd = open_any_length(path, flags);
  failure_set(why, fd.ok() ? FsFailure::none : failure_of(errno));
  return fd;
}

UniqueFd file_create_new(const std::string& path) {
  return open_any_length(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW);
}

// open(flags) with O_NOATIME, and without it when the kernel refuses the flag (EPERM: not the
// file's owner).
template <class Open>
static UniqueFd open_noatime(int flags, Open open) {
  errno = 0;
  UniqueFd fd = open(flags | O_NOATIME);
  if (!fd.ok() && errno == EPERM) {
    errno = 0;
    fd = open(flags);
  }
  return fd;
}

UniqueFd path_open_noatime(const std::string& path, int flags, FsFailure* why) {
  return open_noatime(flags, [&](int f) { return path_open(path, f, why); });
}

UniqueFd path_base_open(const std::string& path) {
  return open_any_length(path, O_PATH | O_DIRECTORY);
}

namespace {

// rel (relative, no "." or ".." from a walk) opened from `base` one component at a time, none of
// them through a link: where openat2 is missing, or rel is too long to hand over whole.
UniqueFd openat_by_components(int base, const std::string& rel, int flags) {
  UniqueFd current;
  int at = base;
  size_t pos = 0;
  for (;;) {
    const size_t slash = rel.find('/', pos);
    if (slash == std::string::npos) break;
    const std::string piece = rel.substr(pos, slash - pos);
    pos = slash + 1;
    if (piece.empty()) continue;
    const int fd = ::openat(at, piece.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return UniqueFd();
    current.reset(fd);
    at = fd;
  }
  const std::string last = pos < rel.size() ? rel.substr(pos) : std::string(".");
  return UniqueFd(::openat(at, last.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd openat_beneath(int base, const std::string& rel, int flags) {
  struct open_how how = {};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  const long fd = ::syscall(SYS_openat2, base, rel.c_str(), &how, sizeof how);
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
  if (errno != ENOSYS && errno != ENAMETOOLONG) return UniqueFd();
  return openat_by_components(base, rel, flags);
}

}  // namespace

UniqueFd path_open_beneath(const PathBase& base, const std::string& path, int flags,
                           FsFailure* why) {
  if (base.fd < 0 || path.size() < base.len) return path_open_noatime(path, flags, why);
  size_t from = base.len;
  while (from < path.size() && path[from] == '/') ++from;
  const std::string rel = from < path.size() ? path.substr(from) : std::string(".");
  UniqueFd fd;
  if (!open_fault(path))
    fd = open_noatime(flags, [&](int f) { return openat_beneath(base.fd, rel, f); });
  failure_set(why, fd.ok() ? FsFailure::none : failure_of(errno));
  return fd;
}

UniqueFd openat_noatime(const UniqueFd& folder, const std::string& name, int flags) {
  return open_noatime(
      flags, [&](int f) { return UniqueFd(::openat(folder.get(), name.c_str(), f | O_CLOEXEC)); });
}

FilePtr file_open(const std::string& path, const char* mode) {
  if (open_fault(path)) return FilePtr();
#ifdef VORNLAKE_FAULT_HOOKS
  if (mode[0] == 'r' && g_read_fail.has(path) && file_exists(path)) {
    cookie_io_functions_t io = {failing_read, nullptr, nullptr, failing_close};
    return FilePtr(::fopencookie(nullptr, mode, io));
  }
#endif
  int flags = 0;
  bool plus = std::strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r':
      flags = plus ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      // Never through a link: truncating the target of a link planted at the name would destroy
      // another file, whoever owns it.
      flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | O_NOFOLLOW;
      if (std::strchr(mode, 'x')) flags |= O_EXCL;
      break;
    case 'a':
      flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      break;
    default:
      return FilePtr();
  }
  UniqueFd fd = path_open(path, flags);
  if (!fd.ok()) return FilePtr();
  const std::string stream_mode(mode, std::strcspn(mode, "x"));  // fdopen knows no "x"
  FILE* f = ::fdopen(fd.get(), stream_mode.c_str());
  if (!f) return FilePtr();
  fd.release();  // the stream owns it now
  return FilePtr(f);
}

bool stream_empty(FILE* f) {
  if (std::fflush(f) != 0 || ::ftruncate(::fileno(f), 0) != 0) return false;
  std::rewind(f);
  return true;
}

FilePtr file_open_new(const std::string& path) {
  file_remove(path);
  return file_open(path, "w+x");
}

namespace {

// opendir of a path of any length (extra_flags: O_NOFOLLOW or 0); the reason of a failure in *why.
DIR* dir_open(const std::string& path, int extra_flags, FsFailure* why, const PathBase& base = {}) {
  UniqueFd fd = path_open_beneath(base, path, O_RDONLY | O_DIRECTORY | extra_flags, why);
  if (!fd.ok()) return nullptr;
  DIR* dir = ::fdopendir(fd.get());
  if (!dir) {
    failure_set(why, failure_of(errno));
    return nullptr;
  }
  fd.release();  // the stream owns it now
  return dir;
}

// The next entry name of dir; false at the end (errno 0) or on a failed read (errno set).
bool dir_next(DIR* dir, std::string* name, bool* regular = nullptr) {
  errno = 0;
  struct dirent* e = ::readdir(dir);
  if (!e) return false;
  *name = e->d_name;
  if (regular) *regular = e->d_type == DT_REG;
  return true;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

bool dir_list(const std::string& path, std::vector<std::string>* names, FsFailure* why,
              std::vector<char>* regular, const PathBase& base) {
  names->clear();
  if (regular) regular->clear();
  // Not through a link: the walk lists what it has just stat'ed as a folder, and a folder swapped
  // for a link in between must not bring the link's target into the backup.
  std::unique_ptr<DIR, DirCloser> dir(dir_open(path, O_NOFOLLOW, why, base));
  if (!dir) return false;
  // A folder that may be read but not searched lists names none of which can be stat'ed: each
  // would read as missing, and the folder's contents would drop out of the backup unexplained.
  if (::faccessat(::dirfd(dir.get()), ".", X_OK, AT_EACCESS) != 0) {
    failure_set(why, failure_of(errno));
    return false;
  }
  std::string name;
  bool is_regular = false;
  while (dir_next(dir.get(), &name, &is_regular)) {
    if (name == "." || name == "..") continue;
    names->push_back(name);
    if (regular) regular->push_back(is_regular);
  }
  if (errno != 0) {
    failure_set(why, failure_of(errno));
    return false;
  }
  return true;
}

DirReader::DirReader(const std::string& path, int open_flags)
    : dir_(dir_open(path, open_flags, nullptr)) {}

DirReader::~DirReader() {
  if (dir_) ::closedir(static_cast<DIR*>(dir_));
}

int DirReader::fd() const { return dir_ ? ::dirfd(static_cast<DIR*>(dir_)) : -1; }

bool DirReader::next(std::string* name) { return dir_ && dir_next(static_cast<DIR*>(dir_), name); }

}  // namespace vl
