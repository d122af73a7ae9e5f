// Reading a regular file the walk has seen: opened without following a final symbolic link and
// without blocking (a FIFO swapped in between the walk's lstat and the open must not hang the
// run), checked by fstat, and read straight into the caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fs.h"
#include "platform/unique_fd.h"

namespace vl {

// Reads up to n bytes from fd, going on after short reads and interruptions: fewer than n only at
// the end of the file or on an error (then *error is set). Any thread.
size_t fd_read_full(int fd, void* buf, size_t n, bool* error);

// Opens the folder at path for openat-style look-ups (never through a final symbolic link, nor
// through any below `base`; access time left alone where allowed). None when it cannot be
// opened. Any thread.
UniqueFd folder_open(const std::string& path, const PathBase& base = {});

// Opens the entry name of folder for reading as ReadFile does (no link followed, no blocking, no
// controlling terminal, access time left alone where allowed). None on failure. Any thread.
UniqueFd folder_entry_open(const UniqueFd& folder, const std::string& name);

// Asks the kernel to read the first `bytes` of fd in the background. Any thread.
void fd_read_soon(const UniqueFd& fd, uint64_t bytes);

// Reads n bytes at offset from fd, going on after short reads and interruptions. Returns the bytes
// read: fewer than n at the end of the file or on any failure. Any thread.
size_t fd_read_at(int fd, uint64_t offset, void* buf, size_t n);

// Reads n bytes at offset from the regular file at path, opened as ReadFile opens it. Returns the
// bytes read: fewer than n at the end of the file or on any failure. Any thread.
size_t file_read_at(const std::string& path, uint64_t offset, void* buf, size_t n,
                    const PathBase& base = {});

// Blocks the calling thread has had read from a disk so far (0 when unknown).
long thread_blocks_read();

class ReadFile {
 public:
  ReadFile() = default;
  ~ReadFile();
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;

  // Opens path (of any length) with O_NOFOLLOW and O_NONBLOCK (and O_NOATIME where the kernel
  // allows it: reading leaves the access time alone) and fstat's what was opened into *opened.
  // Below `base`, no symbolic link is followed at any level (path_open_beneath). Returns 0, or
  // the errno of the failure (ELOOP when path is now a symbolic link).
  int open(const std::string& path, FileStat* opened, const PathBase& base = {});

  // Reads up to n bytes, going on after short reads: fewer than n only at the end of the file or
  // on an error (then error() is true). Worker thread.
  size_t read(void* buf, size_t n);
  bool error() const { return error_; }

  // fstat of the open file now (size and modification time after the read). False on failure.
  bool stat_now(FileStat* out) const;

 private:
  UniqueFd fd_;
  bool error_ = false;
  bool fail_reads_ = false;   // test hook: every read fails
  int change_after_read_ = 0; // test hook after the first read: +1 grows, -1 shrinks, 2 rewritten
};

#ifdef VORNLAKE_FAULT_HOOKS
// Test builds only: the file at path changes under the reader after its first read (grows by
// 4096 bytes, or shrinks to half), or is replaced by `swap` (a symbolic link to swap, or a FIFO
// when swap is "fifo") right before it is opened.
void fs_fault_grow_on_read_add(const std::string& path);
void fs_fault_shrink_on_read_add(const std::string& path);
// After the first read, the file's first byte is changed and its modification time put back.
void fs_fault_rewrite_on_read_add(const std::string& path);
void fs_fault_swap_on_open_add(const std::string& path, const std::string& swap);
// Whether any of these faults, or a failing open or read, is set for path: a reader of its own
// leaves such a path to ReadFile, which meets the fault.
bool fs_fault_hooked(const std::string& path);
#endif

}  // namespace vl
