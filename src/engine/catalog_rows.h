// The catalog rows of a run's walk, written by a thread of their own: the worker hands over each
// directory, file and block and goes on reading and talking to the server while SQLite works on
// another core. Rows are written in the order they were handed over, with the same statements as
// when the worker writes them itself, so the catalog holds exactly the same rows.
//
// A file is named by the ticket file() returns; the row's id is known only to the writer, which
// maps tickets to ids. A file the catalog refuses (its path is recorded already) maps to 0, and
// its blocks and size are not recorded, as the catalog's own calls do with id 0.
//
// Without start() every call writes at once, on the caller's thread, and a ticket is the row's
// id. Worker thread only, except where said.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/fs.h"
#include "run/run_context.h"
#include "stores/catalog.h"

namespace vl {

// The size of the blocks files are cut into, and the block size every catalog row records.
constexpr uint32_t kFileBlockSize = 1048576;

// The catalog record of an item stat'ed as st: type 1 for a directory, 2 for a file.
FilespecRecord filespec_record(const FileStat& st, uint8_t type, uint8_t attr);

struct CatalogRow;
template <class T>
class WorkerQueue;

class CatalogRows {
 public:
  explicit CatalogRows(RunContext& ctx);
  ~CatalogRows();  // stop()
  CatalogRows(const CatalogRows&) = delete;
  CatalogRows& operator=(const CatalogRows&) = delete;

  // Starts the writer thread for the open catalog (none when no catalog is open); it takes the
  // profile's priority and reports a failure of its own to the run (run_abort). False, with
  // *error, when the thread cannot be started.
  bool start(std::string* error);

  // Writes the rows still queued and stops the writer; a cancelled run's rows are let go (its
  // catalog is never uploaded). Before catalog_complete, catalog_finish and catalog_close.
  void stop();

  // Queues (or writes) one row. Returns the file's ticket, 0 when no catalog is open. A row
  // handed over after a cancel is let go: the worker never waits for the writer then.
  uint32_t file(const std::string& path, const FilespecRecord& rec, uint32_t blocksize);
  void directory(const std::string& path, const FilespecRecord& rec, uint32_t blocksize);
  void size(uint32_t ticket, uint64_t size);
  void block(uint32_t ticket, uint64_t offset, uint32_t size, const uint8_t digest[16]);

 private:
  uint32_t submit(CatalogRow&& row);
  void write(const CatalogRow& row);  // the writer thread

  uint32_t id_of(uint32_t ticket) const;  // the writer

  // Writer: the newest file row's ticket and row id (0: not recorded). One worker hands a file's
  // block and size rows over before the next file's row, so no other ticket is ever looked up: a
  // map of every ticket grew with the tree.
  RunContext& ctx_;
  std::unique_ptr<WorkerQueue<CatalogRow>> queue_;
  uint32_t next_ticket_ = 1;  // worker
  uint32_t last_ticket_ = 0;  // writer
  uint32_t last_id_ = 0;      // writer
};

}  // namespace vl
