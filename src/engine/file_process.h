// Block processing of one regular file: catalog record, cache decision, links of cached digests
// or a read in 1 MiB blocks with MD5, pending cache entries, catalog segments, and each block
// handed to the run's dialogue with the server. A file's cache entry is completed only once the
// server has answered for every one of its blocks. Worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fs.h"
#include "run/run_context.h"

namespace vl {

class BlockPipeline;
class Dialogue;

constexpr uint32_t kFileBlockSize = 1048576;

// What files are sent through during a walk: the dialogue with the server and the blocks in
// flight. Set by the worker for the duration of its walk; nullptr afterwards.
struct BlockRoute {
  Dialogue* dialogue = nullptr;
  BlockPipeline* blocks = nullptr;
};
void block_route_set(const BlockRoute* route);

// file_process results besides 0 (done, whatever became of the file).
constexpr int kFileCancelled = 1;  // the run was cancelled, or the dialogue cannot go on
constexpr int kFileRunFailed = 2;  // no memory for a block: the run must end as failed

// Processes prefix + name; seen is what the walk's lstat found (nullptr: stat it here). Returns
// 0, kFileCancelled or kFileRunFailed.
int file_process(RunContext& ctx, const std::string& prefix, const std::string& name,
                 const FileStat* seen = nullptr);

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
