// The verify command: compares a source tree with its restored copy, byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace vl::ref {

struct VerifyReport {
  uint64_t directories = 0;  // source directories compared
  uint64_t files = 0;        // source regular files compared
  uint64_t bytes = 0;
  uint64_t skipped = 0;      // symbolic links, FIFOs, sockets, devices of the source
  std::vector<std::string> differences;  // empty when the trees match
};

// Compares the source tree (options.source, made absolute) with options.restored + that path.
// Never follows symbolic links. Every source directory and regular file must be in the restored
// tree with the same kind and bytes; anything in the restored tree that the source lacks (or has
// only as a special item) is a difference; paths named by options.ignore (relative to the source)
// must be absent from the restored tree and are not compared. Main thread.
VerifyReport verify_trees(const VerifyOptions& options);

// Runs verify_trees and prints each difference and a summary to stdout. Returns 0 when the trees
// match, else 1.
int verify_run(const VerifyOptions& options);

}  // namespace vl::ref
