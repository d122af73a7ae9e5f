// The block-hash cache "md5cache.dat" in the data directory: for every file read in full, its
// size, modification time, block size, the time of that reading and the MD5 digest and length of
// each block. Knowledge from a run is queued in memory (the pending entries) and written in
// batches, one transaction each.
//
// Paths are keys by their exact bytes: two files whose names differ only in case are two rows.
// Threads: the backup worker during a run, the user-interface thread at start-up and shutdown;
// never both at once. Batches taken from the queue may be written meanwhile by one other thread,
// on a connection of its own (md5cache_batch_write).
//
// Two processes (runs of two profiles) may share the file. Look-ups share one read transaction
// for a batch of them; every write takes the write lock before it reads anything, so that it
// waits for the other process instead of failing; the file is kept in write-ahead-log mode, in
// which a reader never holds up the other process's writes.
#pragma once

#include <cstdint>
#include <list>
#include <stop_token>
#include <string>
#include <vector>

#include "base/md5.h"

namespace vl {

struct CacheFileInfo {
  uint64_t size;
  uint32_t t_modify;
  uint32_t t_lastcheck;
  uint32_t blocksize;
};

// One block of a file: where it lies, its length and its MD5 digest.
struct CacheBlock {
  uint64_t offset;
  uint32_t size;
  uint8_t digest[16];
};
using PendingCacheBlock = CacheBlock;

// Where a pending file stands: still being read (or cancelled), complete (read to its end and
// every block with the server: only these are written), or dropped (its digests are not kept).
enum class PendingState { reading, complete, dropped };

// A file being read: its blocks are queued until it is complete and the queue is flushed.
struct PendingCacheFile {
  std::string path;  // in full
  uint32_t id;       // filespec id, set during the flush
  uint64_t size;
  uint32_t blocksize;
  uint32_t t_modify;
  uint32_t t_lastcheck;
  PendingState state;
  std::vector<PendingCacheBlock> blocks;
};

// Complete entries taken out of the queue, to be written on another thread.
using CacheBatch = std::list<PendingCacheFile>;

// A flush writes when a file completes and at least this many files or blocks are pending.
// Each flush is one write transaction with its sync; batches of a few dozen files made the
// flushes a large part of a run over many small files. The blocks bound the queue's memory
// (about 40 bytes a block) and what a crash loses: only a cache, read again by the next run.
constexpr uint32_t kFlushFiles = 4096;
constexpr uint32_t kFlushBlocks = 16384;

// Look-ups made in one read transaction before it is ended and a new one begun.
constexpr uint32_t kReadBatchLookups = 256;

// Opens the cache, creating its tables when the file is new or lost its version record. A file
// SQLite finds malformed is moved aside to "<path>.damaged" (replacing an older one) and a new
// cache is started; the notice of that goes to stderr and to md5cache_notice_take. Returns 0
// when ready, 1 on a reported failure. Start-up, before the configuration database.
int md5cache_open();

// The notice of a damaged cache that md5cache_open moved aside, once ("" when there is none or
// it was taken). For the run log. Any thread that uses the cache.
std::string md5cache_notice_take();

// Ends the read transaction the look-ups share, if one is open. Call it before work that may
// take long (a slow server, a pause): the batch would otherwise keep its snapshot through it.
// Writes and the flush end it themselves. Worker thread.
void md5cache_read_end();

// Writes the pending entries, then closes the cache. Returns 0; nothing happens when closed.
int md5cache_close();

// A run's walk begins: when the cache holds no file at all, the look-ups of this walk are skipped
// (md5cache_filespec_find answers 0 without a query) until the next md5cache_flush. The rows the
// walk writes meanwhile are of files it has read already. Worker thread.
void md5cache_walk_begin();

// The filespec id of path, 0 when there is none or on a reported failure.
uint32_t md5cache_filespec_find(const std::string& path);

// Fills *info with the row of id (zeroed first). Returns 0 when read, also after a reported
// prepare or bind failure; 1 when there is no such row or the step failed.
int md5cache_filespec_getdata(uint32_t id, CacheFileInfo* info);

// Updates the row of path (keeping its id) or inserts a new one (then *inserted is set, when
// given). Returns the id, 0 on a reported failure.
uint32_t md5cache_filespec_insert(const std::string& path, uint64_t size, uint32_t blocksize,
                                  uint32_t t_modify, uint32_t t_lastcheck,
                                  bool* inserted = nullptr);

// Deletes every block row of file_id. A cancel through `cancel` ends a wait for the cache's lock
// (another connection's) and fails the removal without a box. Returns 0, 1 on a failure.
int md5cache_segs_delete_all(uint32_t file_id, std::stop_token cancel = {});

// Replaces the block row of file_id at offset. Returns 1 when removing the old row failed, 0
// otherwise (also after a reported failure of the insert).
int md5cache_segs_insert(uint32_t file_id, uint64_t offset, uint32_t size, const uint8_t digest[16]);

// Fills digest (zeroed first) from the block of file_id at offset. Returns 0 when found;
// non-zero when there is no such block, its stored digest is not 32 hexadecimal characters, or
// the query failed (reported).
int md5cache_segs_get_md5(uint32_t file_id, uint64_t offset, uint8_t digest[16]);

// The length of the block of file_id at offset, 0 when there is none or on a reported failure.
uint32_t md5cache_segs_get_size(uint32_t file_id, uint64_t offset);

// The cached blocks of file_id with one query, as the per-offset look-ups give them: from offset
// 0 on, blocksize apart, ending before the first offset without a block or the first digest
// that is not 32 hexadecimal characters (blocksize 0: at most the block at 0). A failing query
// is reported under "SQL Error in md5cache_blocks_get" and ends the list there. Worker thread.
std::vector<CacheBlock> md5cache_blocks_get(uint32_t file_id, uint32_t blocksize);

// Queues a new pending file (counts as one pending file). The entry stays valid until the next
// flush.
PendingCacheFile* md5cache_pending_file_new(const std::string& path, uint64_t size,
                                            uint32_t blocksize, uint32_t t_modify,
                                            uint32_t t_lastcheck);

// Appends a block to f (counts as one pending block). Returns it, valid until the next block is
// added to f or the flush; nullptr (and nothing queued) when f is nullptr.
PendingCacheBlock* md5cache_pending_block_add(PendingCacheFile* f, uint64_t offset, uint32_t size,
                                              const uint8_t digest[16]);

// Marks f complete: the flush writes it.
void md5cache_pending_file_done(PendingCacheFile* f);

// Marks f finished without its digests being kept: the next take lets go of it.
void md5cache_pending_file_drop(PendingCacheFile* f);

// Takes the complete entries out of the queue and lets go of the dropped ones; entries still
// being read stay queued (and valid) and are all that the pending counts count afterwards.
// Worker thread.
CacheBatch md5cache_pending_take();

// Writes a taken batch as md5cache_flush writes the queue, on a connection of its own (opened on
// first use, closed by md5cache_close), so that the worker's look-ups need not wait. Call from
// one thread at a time; the worker, when it calls it itself, ends its read transaction first
// (md5cache_read_end). A cancel requested through `cancel` ends a wait for the cache's lock, and
// the batch is let go. Returns 0.
int md5cache_batch_write(CacheBatch& batch, std::stop_token cancel = {});

// Writes every complete pending file (its row, its blocks replacing the earlier ones) in one
// write transaction and releases the whole queue, incomplete entries without a write. Failures
// are reported and the flush goes on; a commit that fails is reported under "SQL Error in
// md5cache_flush" (the batch is lost, the lock released). With the cache closed the queue is
// only released. `cancel` as for md5cache_batch_write. Returns 0.
int md5cache_flush(std::stop_token cancel = {});

// True when at least kFlushFiles files or kFlushBlocks blocks are pending: time to write them.
bool md5cache_flush_due();

#ifdef VORNLAKE_FAULT_HOOKS
// Test builds only: the number of pending files that makes a flush due (0: kFlushFiles), so that
// a small tree exercises the batches of a large one.
void md5cache_flush_files_set(uint32_t files);
#endif

// Pending counts since the last flush (tests).
uint32_t md5cache_pending_files();
uint32_t md5cache_pending_blocks();

}  // namespace vl
