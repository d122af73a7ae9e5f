// Block processing of one regular file: catalog record, cache decision, links of cached digests
// or a read in 1 MiB blocks with MD5, pending cache entries, catalog segments, and each block
// handed to the run's dialogue with the server. A file's cache entry is completed only once the
// server has answered for every one of its blocks. Worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/block_source.h"
#include "platform/fs.h"
#include "run/run_context.h"

namespace vl {

struct RunPipeline;

// Processes prefix + name through the walk's pipeline; seen is what the walk's lstat found
// (nullptr: stat it here). Returns 0, kFileCancelled or kFileRunFailed (block_source.h).
int file_process(RunContext& ctx, RunPipeline& pipe, const std::string& prefix,
                 const std::string& name, const FileStat* seen = nullptr);

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
