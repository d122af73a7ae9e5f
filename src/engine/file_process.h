// Block processing of one regular file: catalog record, cache decision, reuse of cached digests
// or a read in 1 MiB blocks with MD5, pending cache entries, catalog segments and the upload of
// every block. Worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "run/run_context.h"

namespace vl {

constexpr uint32_t kFileBlockSize = 1048576;

// Processes prefix + name. Returns 1 when it stopped because the run was cancelled, else 0.
int file_process(RunContext& ctx, const std::string& prefix, const std::string& name);

// "Block %u of %u (%u%%)".
std::string block_progress_text(uint32_t block, uint32_t blocks, uint32_t percent);

// Block progress while handling blocks: the k-th display of a loop (k from 0) shows block k at
// 100*k/n percent.
struct BlockProgress {
  uint32_t blocks = 0;
  uint32_t accumulator = static_cast<uint32_t>(-100);
  // Shows block index k and its percentage in the run dialog.
  void show(uint32_t k);
};

void files_show(uint64_t count);
void files_skipped_show(uint64_t count);
void bytes_total_show(uint64_t count);
void bytes_skipped_show(uint64_t count);

}  // namespace vl
