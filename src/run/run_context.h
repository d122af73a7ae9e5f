// The records every part of a run shares: RunStats (the counters), ServerConnection (the TLS
// connection), RunControl (cancel, pause, worker thread) and RunContext, the process-wide record
// of the run in progress.
//
// Layer: run/ may include platform/, base/ and port/, nothing above. Results follow the
// system's convention: 0 for success, non-zero (usually 1) for failure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/atomic_field.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "platform/thread_priority.h"
#include "run/cancel_flag.h"
#include "run/profile_records.h"

typedef struct ssl_st SSL;

namespace vl {

// The counters of one run. Written by the worker, read by the run view's timers.
struct RunStats {
  AtomicField<uint64_t> bytes_total{0};
  AtomicField<uint32_t> files{0};
  AtomicField<uint32_t> directories{0};
  AtomicField<uint32_t> special_files{0};
  AtomicField<uint64_t> bytes_skipped{0};
  AtomicField<uint64_t> bytes_stored{0};
  AtomicField<uint64_t> bytes_compressed{0};
  AtomicField<uint64_t> bytes_duped{0};
  AtomicField<uint32_t> segs{0};
  AtomicField<uint32_t> segs_stored{0};
  AtomicField<uint32_t> segs_duped{0};
  AtomicField<uint32_t> warnings{0};
  AtomicField<uint32_t> errors{0};
  AtomicField<uint32_t> files_scanned{0};
  AtomicField<uint32_t> files_skipped{0};
  // Every byte written to and read from the connection.
  AtomicField<uint64_t> net_tx_bytes{0};
  AtomicField<uint64_t> net_rx_bytes{0};
  // Payload bytes of the current file sent so far.
  AtomicField<uint64_t> file_bytes_sent{0};
  // Previous samples of the network totals for the rate display, and the rates they gave.
  AtomicField<uint64_t> net_tx_sample{0};
  AtomicField<uint64_t> net_rx_sample{0};
  AtomicField<uint32_t> net_tx_rate{0};
  AtomicField<uint32_t> net_rx_rate{0};
};

// The TLS connection of the run: set after a successful connection attempt, empty otherwise. The
// SSL object owns the socket's BIO, so releasing it closes the socket. The connection layer
// creates it with its own release function, which keeps this layer free of the TLS library.
using SslRelease = void (*)(SSL*);
using SslOwner = std::unique_ptr<SSL, SslRelease>;
struct ServerConnection {
  SslOwner ssl{nullptr, nullptr};
  // Exchanges that failed since a reply was last accepted (the connection layer's back-off),
  // and when the first of them failed (clock_now).
  int failed_exchanges = 0;
  int32_t failing_since = 0;
  // The server refused the login or password, at the start or on a reconnection: the run ends
  // with the login named as its cause, whichever step met it.
  bool login_refused = false;
  // An upload header was sent and its data are not all out yet (its reply may still be unread):
  // the server reads the upload's data next, so not even a goodbye may go out on this connection.
  bool upload_open = false;
  // A session being opened off the worker: its greeting and login are counted in the network
  // totals but never held by the throttle, whose wait is the worker's pause point.
  bool unthrottled = false;
  // Milliseconds from the login's sending to its answer: how far away the server is.
  uint32_t login_ms = 0;
};

// How a run ended: still running, completed, completed without its catalog on the server,
// failed before the walk, or cancelled.
enum RunOutcome : int32_t {
  kRunGoing = 0,
  kRunCompleted = 1,
  kRunCatalogFailed = 2,
  kRunFailed = 3,
  kRunCancelled = 4,
};

// Run-log texts that wait behind a slot whose text is not known yet (run_log.h). Worker only.
struct RunLogPiece {
  std::string text;
  bool open;
};
struct RunLogQueue {
  std::deque<RunLogPiece> pieces;
  uint64_t first_id = 1;  // the slot number of pieces.front()
};

// Why a run stopped by itself: cancel is set as well, so that every loop ends at once, and the
// run ends as failed rather than cancelled.
enum RunAbort : int32_t {
  kAbortNone = 0,
  kAbortNoMemory = 1,       // a block buffer could not be had
  kAbortLoginRefused = 2,   // the server refused the login or password on reconnecting
  kAbortRunThread = 3,      // a thread of the run could not be started, or failed (memory)
  kAbortServerLost = 4,     // an unattended run gave up a server it could not reach or use
};

// The first reason a run failed by itself, with its words for the run log and the box; later
// reasons are dropped. Any thread (run_abort, run_abort_text).
struct RunError {
  mutable std::mutex mu;
  std::string text;
};

// The slots of ctx.helper_tids that the catalog's writer thread, the read-ahead thread, the
// cache's writer thread and the catalog upload's digest thread take. The catalog upload's
// compression thread takes the writer's slot, and its parsing threads the block compression's
// slots (below kHelperSlotCatalog): those threads have stopped before the upload begins.
constexpr int kHelperSlotCatalog = 4;
constexpr int kHelperSlotCatalogPack = kHelperSlotCatalog;
constexpr int kHelperSlotReadAhead = 5;
constexpr int kHelperSlotCache = 6;
constexpr int kHelperSlotCatalogDigest = 7;

struct RunContext {
  std::unique_ptr<ProfileSettings> profile;
  // Held while the profile is open for a run: a second run of the same profile refuses to start.
  FileLock run_lock;
  // The profile entry being run: its tag and description name the run's files and fill the run
  // dialog's header (the profile's own when the run was not started from an entry).
  std::string entry_tag;
  std::string entry_description;
  FilePtr log;
  RunLogQueue log_queue;
  // The run log's path, set by the worker before it enables the Logs button.
  std::string log_path;
  std::string catalog_path;
  AtomicField<int32_t> t_start{0};
  AtomicField<int32_t> t_end{0};
  uint32_t catalog_id = 0;
  uint32_t server_profile_id = 0;
  RunStats stats;
  // The main session: connect, profile and catalog, uploads, the catalog's upload and finalize.
  ServerConnection conn;
  // The run's extra upload sessions, opened by the dialogue after the catalog is allocated and
  // closed at the end of the walk; a long pause closes them with the main one. Worker thread.
  std::vector<std::unique_ptr<ServerConnection>> upload_sessions;
  // RunControl: set by the user-interface thread (cancel wakes every wait of the run).
  CancelFlag cancel;
  AtomicField<int32_t> pause{0};
  // Set with cancel by run_abort (RunAbort), the first reason only, and its words.
  AtomicField<int32_t> abort{0};
  RunError abort_error;
  // No person watches the run (a timer's, cron's, or a /run:TAG start): it gives up a server it
  // cannot reach after the retry limit, where an interactive run keeps trying. Set by the
  // front-end before the worker starts.
  bool unattended = false;
  // The worker: running while worker_active is true; worker_tid is its kernel thread id.
  AtomicField<bool> worker_active{false};
  AtomicField<ThreadId> worker_tid{0};
  // The run's other threads (compression in slots 0-3, the others in the kHelperSlot* slots), 0
  // where none: the profile's priority applies to them as to the worker.
  AtomicField<ThreadId> helper_tids[8];
  std::thread worker_thread;
  // Last text written to the status line (the worker saves and restores it around a pause).
  std::string status_text;
  // How the run ended, set by the worker before its final message box (RunOutcome).
  AtomicField<int32_t> outcome{0};
  // Called by the pause point once a pause has lasted about two minutes, to give up the
  // connection the server would time out. Installed by the engine, which knows the connection;
  // none (nothing happens) until then. Worker thread.
  void (*long_pause_hook)(RunContext&) = nullptr;
  // Called as the worker begins a wait that may last (a pause, a reconnect's countdown), to let
  // go of what others may be waiting for meanwhile (the block-hash cache's read). Installed by
  // the engine; none until then. Worker thread.
  void (*long_wait_hook)(RunContext&) = nullptr;

  RunContext() = default;
  ~RunContext();
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;
};

// Returns the context to its cleared state: no profile, no log, no connection, counters zero.
// The worker must have ended (its thread is joined here; asserted not active). UI thread.
void run_context_clear(RunContext& ctx);

// The exit code of an ended unattended run, in every front-end: 0 completed with no warnings and
// no errors; 2 completed, but items were left out (warnings); 3 failed, cancelled, or completed
// with errors. (1, could not start, is the shell's.)
int run_exit_code(const RunContext& ctx);

// The process-wide run context.
RunContext& run_context();

}  // namespace vl
