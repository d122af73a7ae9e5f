// The catalog of one backup run: "<data>/Profiles/<tag>/<%08x catalog id>.cat", a fresh SQLite
// database recording every directory, file and block of the run, a copy of the profile's
// settings without the password, and facts about the run. It is uploaded to the server when the
// run completes. Paths are keys by their exact bytes and are never cut.
//
// The backup worker thread opens, finishes and closes the catalog. The walk's rows are written by
// the engine's catalog-row writer thread (CatalogRows, from its start to its stop), during which
// the worker makes no catalog call of its own; without that thread the worker writes them itself.
// One thread at a time, handed over by the writer thread's start and join: the calls take no lock.
//
// While it is open a transaction is always in progress: the rows of a run are committed together
// by catalog_finish (or catalog_close). When no catalog is open (it could not be created, or it
// was closed) every operation does nothing and returns 0, and the run goes on; catalog_complete
// tells whether the catalog holds the run.
#pragma once

#include <cstdint>
#include <string>

#include "run/run_context.h"

namespace vl {

// What the walk and the block processing know about one directory or file.
struct FilespecRecord {
  uint8_t type;  // 1 directory, 2 file
  uint8_t attr;
  uint32_t mode, owner, group;
  uint64_t size;
  uint32_t t_access, t_change, t_modify;
};

constexpr uint8_t kCatalogDirectory = 1;
constexpr uint8_t kCatalogFile = 2;

// Creates the catalog of ctx.catalog_id in the directory of ctx.profile's tag (an older file of
// that name is deleted), records its path in ctx.catalog_path, creates the schema, copies the
// profile's settings and writes the opening facts. Returns 0 when ready (opening facts that
// could not be written, which give no box, leave it open but incomplete), 1 on a reported
// failure (the catalog then stays closed and incomplete).
int catalog_open(RunContext& ctx);

// The schema and the settings copy of the open catalog (parts of catalog_open). 0, or 1 after
// the box of the failing step.
int catalog_init_tables(RunContext& ctx);
int catalog_init_config(RunContext& ctx);

// The id of the row recorded for path, 0 when there is none (or on a reported failure).
uint32_t catalog_filespec_find(const std::string& path);

// Records path with rec; its parent is the row of the text before the last "/" ("/" for a path
// directly below the root; none for "/" itself and for a path without "/"). Returns the new id,
// 0 when the path is already recorded or on a reported failure.
uint32_t catalog_filespec_insert(const std::string& path, const FilespecRecord& rec,
                                 uint32_t blocksize);

// Sets the size recorded for filespec_id (a file that ended before the size the walk saw is
// recorded with the bytes that were read, so that its row adds up to its blocks). Failures are
// reported and make the catalog incomplete. Returns 0, 1 on failure.
int catalog_filespec_size_set(uint32_t filespec_id, uint64_t size);

// Records one block of filespec_id (nothing for id 0). Failures are reported. Returns 0.
int catalog_seg_insert(uint32_t filespec_id, uint64_t offset, uint32_t size,
                       const uint8_t digest[16]);

// Commits the run's rows, writes its times (ctx.t_start, now) and counters, marks the catalog
// finished and commits. Returns 0 (also with no catalog open), 1 when a statement or a commit
// failed (the catalog is then incomplete).
int catalog_finish(RunContext& ctx);

// Commits and closes the open catalog (unfinished unless catalog_finish ran). Returns 0 (also
// with none open), 1 when the commit or the close failed (the catalog is then incomplete).
int catalog_close();

bool catalog_is_open();

// Whether the catalog of the last catalog_open holds the whole run: false when that open failed
// (schema, settings copy, opening facts) or when since then a row could not be recorded
// (catalog_filespec_insert failing other than for a path already recorded, catalog_seg_insert),
// or a commit, catalog_finish or catalog_close failed; true otherwise. A full disk is the usual
// cause. Still valid after catalog_close, until the next catalog_open; false before any open.
// An incomplete catalog must not be uploaded: the server would keep a record of the run that
// lacks part of its files. Worker thread.
bool catalog_complete();

}  // namespace vl
