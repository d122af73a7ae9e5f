// The server's store: a folder that survives restarts.
//   segments/<2 hex>/<32 hex>   content of each segment (uncompressed), named by its MD5
//   catalogs/<8 hex>/links      digests linked to the catalog, one 32-hex line each, appended
//   catalogs/<8 hex>/finalize   the catalog's finalize message as received (72 bytes)
//   next_catalog_id             the next catalog id to hand out (decimal)
//   tmp/                        uploads in progress
// Whole files are written atomically (temp file, fsync, rename, fsync of the folder). Safe to use
// from every connection thread at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "digest.h"
#include "unique_fd.h"

namespace vl::ref {

constexpr size_t kFinalizeSize = 72;

class Store {
 public:
  // Opens the store at dir, creating its folders (0700). Returns false and sets *error when the
  // folder cannot be made or next_catalog_id cannot be read.
  bool open(const std::string& dir, std::string* error);
  // Uses an existing store for reading only (nothing is created or cleaned up, so a server may
  // be running on it). False when dir is not a store.
  bool attach(const std::string& dir);
  const std::string& dir() const { return dir_; }
  // Whether segments are fsync'ed before they count as stored (default). Switched off only for
  // throw-away stores of benchmarks, where one sync per segment would measure the disk instead
  // of the client. The catalog id counter is always synced. Set before serving.
  void set_segment_sync(bool on) { segment_sync_ = on; }
  bool segment_sync() const { return segment_sync_; }

  std::string segment_path(const Digest& d) const;
  // True when the segment is held (with the given size when size_known).
  bool has_segment(const Digest& d) const;
  bool has_segment(const Digest& d, uint64_t size) const;

  // Creates an empty owner-only temp file for an upload; returns its descriptor (none on
  // failure) and sets *path.
  UniqueFd temp_create(std::string* path) const;
  // Moves a finished, fsync'ed temp file into place as segment d. False on failure.
  bool segment_commit(const std::string& temp_path, const Digest& d);

  // Hands out a new catalog id (1 upward, never reused: persisted before it is returned).
  // False when it cannot be persisted or the ids are exhausted.
  bool catalog_alloc(uint32_t* id);
  // True when the id has been handed out.
  bool catalog_exists(uint32_t id) const;
  // Appends a link line. False on a write failure.
  bool link_add(uint32_t id, const Digest& d);
  // Replaces the finalize record of the catalog.
  bool finalize_write(uint32_t id, const uint8_t* record);

  // Readers (restore): the linked digests as hex (empty when none), the finalize record.
  std::set<std::string> links_read(uint32_t id) const;
  bool finalize_read(uint32_t id, std::string* record) const;
  std::string catalog_dir(uint32_t id) const;

 private:
  std::string dir_;
  uint32_t next_id_ = 1;
  bool segment_sync_ = true;
  mutable std::mutex mutex_;
};

// Writes content to path atomically (temp file in the same folder, fsync, rename, fsync of the
// folder). False on failure, leaving the old file as it was.
bool write_file_atomic(const std::string& path, const std::string& content);

// fsync of a folder, so that a rename in it survives a crash.
void dir_sync(const std::string& dir);

}  // namespace vl::ref
