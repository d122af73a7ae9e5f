// The catalog rows of a run's walk, written by a thread of their own: the worker hands over each
// directory, file and block and goes on reading and talking to the server while SQLite works on
// another core. Rows are written in the order they were handed over, with the same statements as
// when the worker writes them itself, so the catalog holds exactly the same rows.
//
// A file is named by the ticket catalog_rows_file returns; the row's id is known only to the
// writer, which maps tickets to ids. A file the catalog refuses (its path is recorded already)
// maps to 0, and its blocks and size are not recorded, as the catalog's own calls do with id 0.
//
// Without catalog_rows_start every call writes at once, on the caller's thread, and a ticket is
// the row's id. Worker thread only.
#pragma once

#include <cstdint>
#include <string>

#include "run/run_context.h"
#include "stores/catalog.h"

namespace vl {

// Starts the writer thread for the open catalog; it takes the profile's thread priority and
// registers in ctx.helper_tids. Does nothing when no catalog is open.
void catalog_rows_start(RunContext& ctx);

// Writes every row still queued and stops the writer thread. Before catalog_complete,
// catalog_finish and catalog_close. Does nothing when none was started.
void catalog_rows_stop();

// Queues (or writes) one row. Returns the file's ticket, 0 when no catalog is open.
uint32_t catalog_rows_file(const std::string& path, const FilespecRecord& rec, uint32_t blocksize);
void catalog_rows_directory(const std::string& path, const FilespecRecord& rec, uint32_t blocksize);
void catalog_rows_size(uint32_t ticket, uint64_t size);
void catalog_rows_block(uint32_t ticket, uint64_t offset, uint32_t size, const uint8_t digest[16]);

}  // namespace vl
