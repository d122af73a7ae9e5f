// The server's store: a folder that survives restarts.
//   segments/<2 hex>/<32 hex>   content of each segment (uncompressed), named by its MD5
//   catalogs/<8 hex>/links      digests linked to the catalog, one 32-hex line each, appended
//   catalogs/<8 hex>/finalize   the catalog's finalize message as received (72 bytes)
//   catalogs/<8 hex>/links-lost present once links it answered could not be written: the
//                               catalog is never finalized
//   next_catalog_id             the next catalog id to hand out (decimal)
//   unsynced                    present while segments may be in place but not yet durable
//   segments/<2 hex>/.upload-N  uploads in progress, beside the segment they become, where the
//                               file system cannot write a file before it has a name
//
// What is durable when (unless syncing is off, see set_segment_sync):
// - A segment is written to an unnamed file of its folder (or a temp file there) and given its
//   name when its upload checks out, so a reader never sees part of one. The segments put in
//   place since the last sync form a group, made durable together by one syncfs of the store's
//   file system (data, names and folders): at the latest before a catalog finalize is answered,
//   when the group reaches kSyncGroupSegments segments or kSyncGroupBytes bytes, when its first
//   segment has waited kSyncGroupAgeMs (sync_if_due), and at shutdown.
// - Until then a crash may lose a segment of the group, or leave it under its name with fewer
//   bytes than its name promises. `unsynced` is made durable before the first segment of a group
//   is renamed and removed once no group is waiting; a store opened with it checks every segment
//   renamed since it was made and removes those whose content does not match their name, so that
//   a damaged segment is never counted as held (nor linked by a digest a client cached).
// - Links are appended without a sync of their own; the sync before a finalize covers them. They
//   wait in memory until links_flush, which a connection calls before its replies leave: a link
//   that was answered has reached the file, and survives the server (not the machine) crashing.
//
// The store keeps the digest and size of every segment in place in memory (read at open, added
// at each rename), so a query or upload header costs no look-up in the file system. A segment put
// in place by another server on the same store since this one opened it is found by a link (one
// stat), but not by a query or upload header: the client then uploads it again.
// - A finalize record is written only after that sync, atomically and synced itself: a finalized
//   catalog never names a segment or a link that a crash can lose.
// - Before it, the catalog segment the record names and every digest of the catalog's links file
//   are looked up among the segments in place (in memory for those read at open or renamed into
//   place since, else one stat in segments/):
//   an upload is answered before its segment is written, and a server killed meanwhile has
//   answered links to segments it never wrote. Only the store can tell, and it still can after a
//   restart, when the client resends its finalize. A segment whose write failed is missing the
//   same way, until an upload of it succeeds.
// - The segments in place are read from disk at open: after a restart a segment that was only
//   queued is not held, so its query says so and a link to it is refused.
// - next_catalog_id is synced before an id is handed out, and a catalog's folder when it is made.
// A failed sync cannot be repaired in place (the kernel may have dropped the data): from then on
// every finalize is refused, until the server is restarted and the store checked.
// Safe to use from every connection thread at once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include <absl/container/flat_hash_map.h>

#include "digest.h"
#include "platform/unique_fd.h"

namespace vl::ref {

constexpr size_t kFinalizeSize = 72;

// A segment's file while its upload is written. An unnamed file (O_TMPFILE) costs its folder one
// entry, the segment's name, where a temp file costs a name added and removed as well: a quarter
// of the kernel's time per segment.
struct SegmentFile {
  UniqueFd fd;
  std::string temp_name;  // empty for an unnamed file
};

// A group is synced when it reaches this many segments or bytes (larger groups share the cost of a
// sync more widely, and lose more at a crash),
constexpr size_t kSyncGroupSegments = 1000;
constexpr uint64_t kSyncGroupBytes = 64ull << 20;
// or when its first segment has waited this long: a client that never finalizes does not leave
// its segments unsynced for long.
constexpr uint64_t kSyncGroupAgeMs = 5000;

class Store {
 public:
  // Opens the store at dir, creating its folders (0700), removing unfinished uploads and checking
  // the segments of an unsynced group (see above). Returns false and sets *error when the folder
  // cannot be made or opened or next_catalog_id cannot be read. Main thread, before serving.
  bool open(const std::string& dir, std::string* error);
  // Uses an existing store for reading only (nothing is created or cleaned up, so a server may
  // be running on it). False when dir is not a store.
  bool attach(const std::string& dir);
  const std::string& dir() const { return dir_; }
  // Whether segments are synced at all (default). Switched off only for throw-away stores of
  // benchmarks, where syncing would measure the disk instead of the client; the catalog id
  // counter and finalize records are still synced. Set before serving.
  void set_segment_sync(bool on) { segment_sync_ = on; }
  bool segment_sync() const { return segment_sync_; }

  std::string segment_path(const Digest& d) const;
  // True when the segment is held. From memory, or one stat when memory does not know it.
  bool has_segment(const Digest& d);
  // True when the segment is held with the given size, from memory only (see above).
  bool has_segment(const Digest& d, uint64_t size) const;

  // Creates an empty owner-only file for an upload of segment d in d's folder: unnamed where the
  // file system allows (a crash leaves nothing of it), else a temp file. Its fd is none on failure.
  SegmentFile temp_create(const Digest& d);
  // Closes f and removes it when it is a temp file (a file put in place is left alone).
  void temp_remove(const Digest& d, SegmentFile& f);
  // Puts the finished file f into place as segment d of size bytes, closing it, and adds it to
  // the group waiting for a sync, syncing the group when it is full. A segment already held with
  // that size is left as it is and f dropped. False when the segment could not be put in place
  // (f is then left to the caller's temp_remove).
  bool segment_commit(SegmentFile& f, const Digest& d, uint64_t size);
  // Makes every segment put in place and every link appended so far durable. False when a sync
  // failed, now or earlier. Returns at once when syncing is off.
  bool sync_pending();
  // Syncs the waiting group when its first segment has waited kSyncGroupAgeMs. Any thread.
  void sync_if_due();

  // Hands out a new catalog id (1 upward, never reused: persisted before it is returned).
  // False when it cannot be persisted or the ids are exhausted.
  bool catalog_alloc(uint32_t* id);
  // True when the id has been handed out.
  bool catalog_exists(uint32_t id) const;
  // Appends a link line to the catalog's links waiting in memory, writing them out when they
  // grow large. False on a write failure.
  bool link_add(uint32_t id, const Digest& d);
  // Writes every link waiting in memory to its file. A catalog whose links could not be written
  // has lost links that were answered: its finalize is refused from then on, after a restart too.
  void links_flush();
  // A segment whose upload was answered as stored could not be written after all: every finalize
  // is refused until a restart, since a catalog may link it (after it, the check of each
  // catalog's links finds it missing).
  void segment_lost() { lost_ = true; }
  // links_flush, a check that every segment the catalog links, and the catalog segment the record
  // names (digest and size), is in place (see above) and sync_pending, then replaces the catalog's
  // finalize record. False when the flush, a check or the sync fails (no record is written then),
  // a segment was lost, or a link of the catalog was.
  // Call it once the writer has written what it was given (SegmentWriter::wait_written).
  bool finalize_write(uint32_t id, const uint8_t* record);

  // Readers (restore): the linked digests as hex (empty when none), the finalize record.
  std::set<std::string> links_read(uint32_t id) const;
  bool finalize_read(uint32_t id, std::string* record) const;
  std::string catalog_dir(uint32_t id) const;

 private:
  // Segments put in place since the last sync.
  struct Group {
    size_t segments = 0;
    uint64_t bytes = 0;
    uint64_t since_ms = 0;  // when its first segment was put in place
  };

  struct DigestHash {
    size_t operator()(const Digest& d) const {
      size_t h;
      std::memcpy(&h, d.data(), sizeof h);  // an MD5 is spread evenly enough as it is
      return h;
    }
  };
  // A catalog's links file, open for appending, and the lines not yet written to it.
  struct LinksFile {
    UniqueFd fd;
    std::string waiting;
  };

  int folder_fd(uint8_t prefix);
  bool unnamed_files_work();
  // Gives the open unnamed file fd the name `name` in folder; false (errno set) when it cannot.
  bool name_unnamed(int fd, int folder, const std::string& name);
  std::string temp_name_next();  // a new ".upload-N" name
  LinksFile* links_file(uint32_t id);
  bool links_write(uint32_t id, LinksFile& file);
  void recover_unsynced();
  void index_read();
  void index_add(const Digest& d, uint64_t size);
  bool segment_in_place(const Digest& d);
  // Whether every segment linked in catalog id's file is in place; *checked: the bytes of the
  // file that were checked (its whole lines).
  bool links_in_place(uint32_t id, uint64_t* checked);
  uint64_t links_recorded(uint32_t id);
  // Whether answered links of catalog id could not be written, now or before a restart. Under
  // links_mutex_.
  bool links_lost(uint32_t id);

  std::string dir_;
  bool segment_sync_ = true;
  UniqueFd root_fd_, segments_fd_;
  std::atomic<uint64_t> temp_count_{0};
  bool unnamed_ = false;  // uploads are written to unnamed files; set at open

  mutable std::mutex mutex_;  // the catalog ids
  uint32_t next_id_ = 1;
  std::set<uint32_t> catalogs_;

  std::mutex links_mutex_;
  std::map<uint32_t, LinksFile> link_files_;  // a few open links files, appended to
  bool links_waiting_ = false;                // some file has lines waiting
  std::set<uint32_t> links_lost_;             // catalogs with answered links not written (and
                                              // marked so on disk, where that could be done)

  mutable std::mutex index_mutex_;
  // Segments in place, and their sizes: one look-up per query, upload header and link, and one
  // per link at each finalize, so the table is flat (a look-up is one cache miss, not two).
  absl::flat_hash_map<Digest, uint64_t, DigestHash> index_;

  std::mutex group_mutex_;  // the waiting group, the folders, the unsynced mark
  Group group_;
  std::array<UniqueFd, 256> folders_;  // segments/<2 hex>, made and opened once, when first needed
  bool marked_ = false;               // `unsynced` exists

  std::mutex sync_mutex_;  // one group sync at a time; held while syncing
  bool sync_failed_ = false;
  std::atomic<bool> lost_{false};
};

// Writes content to path atomically (temp file in the same folder, fsync, rename, fsync of the
// folder). False on failure, leaving the old file as it was.
bool write_file_atomic(const std::string& path, const std::string& content);

// fsync of a folder, so that a rename in it survives a crash. False when it cannot be synced.
bool dir_sync(const std::string& dir);

}  // namespace vl::ref
