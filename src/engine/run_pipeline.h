// Everything a run's walk sends files through, with its threads, in one object: built at the
// start of the walk, passed to the walk and to the processing of each file, and taken down in
// one order on every path.
//
// The threads of a run:
//
// | thread              | owner                   | queue bound                     | stops                                  | its failure reaches the run       |
// |---------------------|-------------------------|---------------------------------|----------------------------------------|-----------------------------------|
// | worker              | run_session (ctx)       | -                               | ends its run; joined by the UI thread  | it ends the run itself            |
// | catalog-row writer  | RunPipeline::rows       | 8,192 rows (about 2 MiB)        | finish(): rows written; cancel: let go | run_abort (kAbortRunThread)       |
// | cache writer        | RunPipeline::cache      | 2 hand-overs of 4,096 files     | ~RunPipeline: queue written            | run_abort (kAbortRunThread)       |
// | read-ahead          | RunPipeline::read_ahead | 256 entries ahead, 512 results  | finish(): at once                      | run_abort (kAbortRunThread)       |
// | compression (0-4)   | RunPipeline::blocks     | 512 block buffers, 16 MiB       | finish(): block in hand finished       | run_abort (kAbortRunThread)       |
// | catalog digest      | server_catalog_upload   | - (reads the catalog once)      | joined before the upload ends          | the upload fails                  |
// | session opening     | Dialogue::sessions_open | - (one login each, at most 31)  | joined when adopted, or at finish()    | that session is left out (log)    |
// | catalog compression | server_catalog_upload   | - (reads the catalog once)      | joined before the upload ends          | the upload fails                  |
// | its parsing (0-3)   | file_compress           | a piece per thread, and one     | joined before the compression ends     | the compression fails             |
//
// - Every helper takes the profile's priority (helper_thread_register) and can be started or
//   fail without ending the process: a thread that cannot be had, or an exception (an allocation
//   that fails) on any of them, ends the run as failed, with its words in the run log and the box.
// - The first failure wins (ctx.abort, run_abort_text); it sets cancel as well.
// - A cancel wakes every wait at once: the pipeline's condition variables wait on the cancel's
//   stop token, socket waits and sleeps poll its descriptor, and the cache's lock waits give up.
//   The worker never waits for a writer once the run is cancelled.
//
// Worker thread only.
#pragma once

#include <deque>
#include <functional>

#include "connection/dialogue.h"
#include "engine/block_pipeline.h"
#include "engine/cache_writer.h"
#include "engine/catalog_rows.h"
#include "engine/read_ahead.h"
#include "run/run_context.h"

namespace vl {

struct RunPipeline {
  // Builds every part; no thread runs yet (a walk without start() does its work on the worker:
  // the tests' walks).
  explicit RunPipeline(RunContext& ctx);
  // Abandons what is still in flight, then stops every thread, the cache writer last once its
  // queue is written, and writes the cache's last complete entries (cache_end).
  ~RunPipeline();
  RunPipeline(const RunPipeline&) = delete;
  RunPipeline& operator=(const RunPipeline&) = delete;

  // Starts the threads. Returns 0; 1 when one cannot be started, after the failure is recorded
  // (run_abort) and the run log says which.
  int start();

  // The end of the walk: every answer waited for (not after a cancel), what is in flight
  // abandoned, the read-ahead and compression stopped, the catalog's rows written, and the
  // cache's complete entries handed over; the cache writer goes on beside the catalog's
  // compression (cache_end).
  void finish();

  // Stops the cache writer once its queue is written and writes the cache's last complete
  // entries (md5cache_flush): after finish(), while the catalog's stream is made. The destructor
  // does it otherwise; a second call does nothing.
  void cache_end();

  // The walk goes under the include rule's folder at path next: it is opened (into roots) and
  // becomes base; when it cannot be opened, base has no descriptor (the walk finds it missing).
  void walk_under(const std::string& path);

  // Sends again, in full, the cached blocks whose link the server refused (queued in heals), at
  // most kHealsInFlightMax at a time. Returns 0; 1 when the dialogue cannot go on. Worker
  // thread, between files.
  int heal_pending();

  RunContext& ctx;
  // The folders of the include rules, open for the whole run (the read-ahead and the heals may
  // still use one after the walk has moved on), and the one the walk is under: below it, listings
  // and reads follow no symbolic link at any level.
  std::vector<UniqueFd> roots;
  PathBase base;
  // Declared in this order, they are taken down in the other: the dialogue first, which gives
  // back the blocks still in flight before the compression threads stop.
  CatalogRows rows;
  CacheWriter cache;
  ReadAhead read_ahead;
  BlockPipeline blocks;
  Dialogue dialogue;
  // Blocks to send again: each returns 0, or kFileCancelled when the dialogue cannot go on.
  std::deque<std::function<int()>> heals;
  // Blocks sent again and not yet ended (worker thread). Each holds its content and its
  // compressed form outside the block buffers' bound, so only a few are sent at a time.
  static constexpr int kHealsInFlightMax = 8;
  int heals_in_flight = 0;

 private:
  bool cache_ended_ = false;
};

}  // namespace vl
