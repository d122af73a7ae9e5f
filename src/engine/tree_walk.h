// The walk of one include rule: exclude tests, one run-log line per item, directories recorded in
// the catalog, regular files handed to file_process. Worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "run/run_context.h"
#include "platform/fs.h"
#include "stores/catalog.h"

namespace vl {

class CatalogRows;
struct RunPipeline;

// Visits prefix + "/" + name through the walk's pipeline and, for a directory, everything below
// it (depth-first, never following symbolic links, paths of any length, no folder held open
// while it descends; the entries of a folder are stat'ed in the folder that was listed, not by
// their full paths). A folder that cannot be listed or searched, a path the kernel refuses as too
// long, and an item listed (prefix not empty) but gone are logged and counted in warnings. Paths
// in the log are shown by log_name. Returns 1 when it found the run cancelled on entry, else 0.
int tree_walk(RunContext& ctx, RunPipeline& pipe, const std::string& prefix,
              const std::string& name);

#ifdef VORNLAKE_FAULT_HOOKS
// Test builds only: the number of folder levels the walk enters below an include path (0 sets
// the default back), so that tests reach the limit without a tree thousands deep.
void tree_walk_depth_max_set(int levels);
#endif

// Stats, counts and records one directory (prefix + name) in the catalog. Logs a warning and
// counts it when the directory cannot be stat'ed. Always returns 0.
int directory_record(RunContext& ctx, CatalogRows& rows, const std::string& prefix,
                     const std::string& name);

// Fills the run dialog's file-status fields (Directory, Filename, Size, Sent, block text and the
// progress bar) for the item being visited. Nothing without a run dialog.
void file_status_show(const std::string& path, uint64_t size);

// Writes the directories count into its field.
void directories_show(uint64_t count);

// The run-log text of one item: "<A><name> : <size> : <kind> (<letters>)" without a line break,
// for the attribute word attr and an item that is special (neither directory nor regular file);
// the path as log_name shows it.
std::string walk_item_text(const std::string& dir_part, const std::string& name, uint64_t size,
                           uint32_t attr, bool special);

}  // namespace vl
