#include "engine/backup_worker.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <thread>

#include "base/product.h"
#include "connection/catalog_upload.h"
#include "connection/identifiers.h"
#include "connection/retry.h"
#include "connection/transport.h"
#include "engine/run_pipeline.h"
#include "platform/worker_thread.h"
#include "run/last_run.h"
#include "run/run_control.h"
#include "run/run_log.h"
#include "run/run_retention.h"
#include "run/run_texts.h"
#include "run/status.h"
#include "engine/tree_walk.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "stores/catalog.h"
#include "stores/md5cache.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl {

namespace {

const char* const kCaption = kProductName;
const char kFailureCaption[] = "Backup Failure";
const char kCatalogNotStored[] = "Backup completed, but the catalog could not be stored on the server!";

struct Ending {
  std::string text;
  std::string caption;
  BoxOwner owner = BoxOwner::none;
  RunOutcome outcome = kRunFailed;
};

Ending fail(RunContext& ctx, const std::string& status, const std::string& text) {
  status_set(ctx, status);
  run_controls_done();
  return {text, kFailureCaption, BoxOwner::none, kRunFailed};
}

// A run that ends before its catalog reached the server: connection and catalog let go, the last
// line of the run log (when there is one) written, the status and the controls of the end.
Ending end_early(RunContext& ctx, const char* log_line, const char* status, Ending end) {
  server_disconnect(ctx);
  catalog_close();
  if (ctx.log) {
    run_log(ctx, "%s", log_line);
    ctx.log.reset();
  }
  if (ctx.t_start != 0) ctx.t_end = clock_now();
  status_set(ctx, status);
  run_controls_done();
  return end;
}

// A refused login never fixes itself: the run ends after its one box, whichever step met it.
Ending login_failed(RunContext& ctx) {
  return end_early(ctx, "\n\nBackup failed!\n", "Login Failed!",
                   {"Login failed!", kFailureCaption, BoxOwner::none, kRunFailed});
}

// The user's cancel, at any point before the server answered the catalog's finalize.
Ending cancelled(RunContext& ctx) {
  return end_early(ctx, "\n\nBackup cancelled!\n", "Backup Cancelled!",
                   {"Backup Cancelled!", kCaption, BoxOwner::none, kRunCancelled});
}

void write_header(RunContext& ctx) {
  const ProfileSettings& p = *ctx.profile;
  run_log(ctx, "Corvantis Network Backup Log\n");
  run_log(ctx, "Backup Set:  %s\n", ctx.entry_tag.c_str());
  run_log(ctx, "Description: %s\n", ctx.entry_description.c_str());
  run_log(ctx, "\n");
  run_log(ctx, "Server:      %s:%d\n", p.server.c_str(), static_cast<int>(p.port));
  run_log(ctx, "Login:       %s", p.login.c_str());
  run_log(ctx, "\n");
  run_log(ctx, "Catalog ID:  %08x\n", ctx.catalog_id);
  run_log(ctx, "----------------------------------------------------------------------\n\n");
  run_log(ctx, "Commencing backup..\n\n");
}

// The status line and box of a run that ended with items left out or errors keep their first
// line and add a second, so that the user looks at the run log.
std::string with_counts(const std::string& first, const RunStats& s) {
  if (s.errors > 0) return first + "\n" + format_text("%u errors; see the run log.", s.errors.load());
  if (s.warnings > 0)
    return first + "\n" +
           format_text("%u items could not be backed up; see the run log.", s.warnings.load());
  return first;
}

// The walk of every include rule through the pipeline; returns when every answer is in, or the
// run was cancelled or aborted.
void walk_all(RunContext& ctx, RunPipeline& pipe) {
  if (pipe.start() == 0) {
    pipe.dialogue.sessions_open(upload_sessions() - 1);
    md5cache_walk_begin();
    for (const ProfileRule& rule : ctx.profile->include_rules) {
      include_path_record(ctx, pipe.rows, rule.path);
      pipe.walk_under(rule.path);
      if (tree_walk(ctx, pipe, "", rule.path) != 0 || ctx.cancel == 1) break;
    }
  }
  pipe.finish();
}

// A run that stopped by itself: the box says why, the run failed.
Ending aborted(RunContext& ctx) {
  if (ctx.abort == kAbortLoginRefused) return login_failed(ctx);
  const std::string why = run_abort_text(ctx);
  const bool said = ctx.abort == kAbortRunThread || ctx.abort == kAbortServerLost;
  if (said) run_log(ctx, "Error: %s\n", why.c_str());
  return end_early(ctx, "\n\nBackup failed!\n", "Backup Failed!",
                   {said ? "Backup failed!\n" + why : "Memory alloc failure for file buffer!",
                    kFailureCaption, BoxOwner::none, kRunFailed});
}

// Everything after the connection is up: catalog, log, walk, and the end of the run.
Ending run_body(RunContext& ctx) {
  ctx.t_start = clock_now();
  run_view_text(kCtlStartTime, start_time_text(ctx.t_start));

  // The catalogs and logs of runs beyond Keep_Runs go before this run adds its own: the server
  // holds each catalog once it is stored, and a large tree leaves hundreds of megabytes a run.
  const int pruned = retention_apply(profile_dir(ctx.profile->tag), ctx.catalog_id);

  status_set(ctx, "Creating Backup Catalog...");
  catalog_open(ctx);

  status_set(ctx, "Creating Backup Log...");
  const std::string log_path = run_log_path(ctx.profile->tag, ctx.catalog_id);
  // Its name is predictable: a link planted there is replaced, never written through.
  ctx.log = file_open_new(log_path);
  if (!ctx.log) {
    ctx.t_end = clock_now();
    server_disconnect(ctx);
    catalog_close();
    return fail(ctx, "Problem Creating Backup Log!",
                "Couldn't open backup log file for writing:\n" + log_path);
  }
  write_header(ctx);
  if (pruned > 0)
    run_log(ctx, "Removed the catalogs and run logs of %d older run%s (Keep_Runs=%d).\n", pruned,
            pruned == 1 ? "" : "s", keep_runs());
  if (std::string notice = md5cache_notice_take(); !notice.empty())
    run_log(ctx, "%s\n", notice.c_str());
  for (const std::string& dir : data_dirs_open_to_others(ctx.profile->tag))
    run_log(ctx, "%s\n", open_folder_warning(dir).c_str());
  ctx.log_path = log_path;
  run_view_enable(kCtlButtonLogs, true);

  status_set(ctx, "Kicking Ass!");
  // The cache's last batch is written while the catalog is compressed: the pipeline is taken
  // down when the run ends, however it ends.
  RunPipeline pipe(ctx);
  walk_all(ctx, pipe);

  if (ctx.abort != kAbortNone) return aborted(ctx);
  if (ctx.cancel == 1) return cancelled(ctx);

  // A finalize tells the server that a restorable backup exists: a catalog that could not be
  // written whole is never uploaded.
  bool complete = catalog_complete();
  if (catalog_finish(ctx) != 0) complete = false;
  if (catalog_close() != 0) complete = false;
  complete = complete && catalog_complete();
  bool stored = false;
  if (!complete) {
    ++ctx.stats.errors;
    run_log(ctx, "Error: The catalog could not be written completely; it was not stored on the "
                 "server.\n");
  } else {
    // A catalog that did not reach the server leaves the run without a restorable record: the
    // run must not read as a success. Cancelled before the server said so, it is a cancel.
    bool finalize_sent = false;
    stored = server_catalog_upload(ctx, &finalize_sent, [&pipe] { pipe.cache_end(); }) == 0;
    if (!stored && ctx.conn.login_refused) return login_failed(ctx);
    if (!stored && ctx.cancel == 1) {
      if (finalize_sent)
        run_log(ctx, "\nThe catalog's finalize was sent but not answered: the server may hold "
                     "the catalog all the same.\n");
      // A run that gave up by itself (the server lost for too long, a helper thread that failed)
      // set the cancel word too: it ends as failed, with its reason, not as the user's cancel.
      if (ctx.abort != kAbortNone) return aborted(ctx);
      return cancelled(ctx);
    }
    if (!stored) {
      ++ctx.stats.errors;
      run_log(ctx, "\nError: The catalog could not be stored on the server.\n");
    }
  }
  server_disconnect(ctx);
  run_log(ctx, "%s", completion_block(ctx.stats, clock_now() - ctx.t_start).c_str());
  ctx.log.reset();
  ctx.t_end = clock_now();
  if (!stored) {
    const std::string text = with_counts(kCatalogNotStored, ctx.stats);
    status_set(ctx, text);
    run_controls_done();
    return {text, kFailureCaption, BoxOwner::run_dialog, kRunCatalogFailed};
  }
  const std::string text = with_counts("Backup Completed!", ctx.stats);
  status_set(ctx, text);
  run_controls_done();
  return {text, kCaption, BoxOwner::run_dialog, kRunCompleted};
}

// A step before the backup proper that did not succeed. A refused login and a cancel are named
// as what they are; anything else is the step's own failure.
Ending early_end(RunContext& ctx, const std::string& status, const std::string& text) {
  if (ctx.conn.login_refused) return login_failed(ctx);
  if (ctx.abort == kAbortServerLost) return aborted(ctx);
  if (ctx.cancel == 1) return cancelled(ctx);
  return fail(ctx, status, text);
}

Ending run_all(RunContext& ctx) {
  status_set(ctx, "Preparing...");
  run_sleep_ms(ctx, 250);
  status_set(ctx, "Connecting...");
  if (server_connect(ctx) != kReconnectOk)
    return early_end(ctx, "Connect Failed!", "Unable to connect to backup server!");
  status_set(ctx, "Retrieving Profile ID...");
  if (server_get_profile_id(ctx) != 0)
    return early_end(ctx, "Profile Retrieval Problem!",
                     "Unable to retrieve backup profile ID from server.\nNote: The profile must "
                     "already be manually set up on the server.");
  status_set(ctx, "Allocating Catalog ID...");
  if (server_alloc_catalog_id(ctx) != 0)
    return early_end(ctx, "Problem Allocating Catalog ID!",
                     "Unable to allocate a backup catalog on the server.");
  return run_body(ctx);
}

}  // namespace

void run_controls_done() {
  run_view_enable(kCtlButtonCancel, true);
  run_view_enable(kCtlButtonThrottling, false);
  run_view_enable(kCtlButtonPause, false);
  run_view_text(kCtlButtonCancel, "Close");
}

int include_path_record(RunContext& ctx, CatalogRows& rows, const std::string& path) {
  // Each leading part that ends before a "/" is a directory along the path; the empty text
  // before a leading "/" is none.
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '/' && i > 0) directory_record(ctx, rows, path.substr(0, i), "");
  }
  if (!path.empty()) directory_record(ctx, rows, path, "");
  return 0;
}

void backup_worker(RunContext& ctx) {
  // A run started without a profile entry (tests, tools) is named after its profile.
  if (ctx.entry_tag.empty() && ctx.profile) {
    ctx.entry_tag = ctx.profile->tag;
    ctx.entry_description = ctx.profile->description;
  }
  Ending end;
  try {
    end = run_all(ctx);
  } catch (...) {
    // Nothing ends the process from here: the run ends as failed, and says why.
    try {
      run_abort(ctx, kAbortRunThread,
                "The worker thread failed: " + exception_reason(std::current_exception()));
      end = aborted(ctx);
    } catch (...) {  // out of memory even for the words: failed all the same
      end.outcome = kRunFailed;
    }
  }
  ctx.outcome = end.outcome;
  try {
    // Before the box: the list shows this end once the run dialog is closed, however the run
    // ended.
    run_end_record(ctx);
    message_box(end.owner, end.text, end.caption);
  } catch (...) {  // the record or the box could not be made: the outcome stands
  }
  ctx.worker_active = false;
}

}  // namespace vl
