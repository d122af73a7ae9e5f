// The restore command: rebuilds the directories and files of a finished catalog from the store,
// verifying everything on the way, so that a test can prove a backup holds the data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace vl::ref {

struct RestoreReport {
  uint64_t directories = 0;
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t segments = 0;
  std::vector<std::string> problems;  // empty when everything restored and verified
};

// Restores catalog options.catalog of options.store under options.out: reads the catalog's
// finalize record, checks the catalog segment (size, MD5), opens a read-only copy of it with
// SQLite and rebuilds every filespec row (type 1 directories, type 2 files from their segs rows:
// contiguous from offset 0, sizes adding up to the file's size, each segment's MD5 as recorded,
// each segment linked to the catalog unless link_check is off). Paths with ".." components or NUL
// bytes are refused; every path lands below out. A file with a problem is not left behind.
// Reads the store only, so a server may be running on it. Main thread.
RestoreReport restore_catalog(const RestoreOptions& options);

// Runs restore_catalog and prints each problem and a summary to stdout. Returns 0 when there was
// no problem, else 1.
int restore_run(const RestoreOptions& options);

// The path below out for a catalog path: out joined with its components ("." and empty ones
// dropped). False when the path has a ".." component or a NUL byte.
bool restore_target(const std::string& out, const std::string& catalog_path, std::string* target);

}  // namespace vl::ref
