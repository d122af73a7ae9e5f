#include "engine/backup_worker.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "base/product.h"
#include "connection/catalog_upload.h"
#include "connection/identifiers.h"
#include "connection/retry.h"
#include "connection/transport.h"
#include "run/run_log.h"
#include "run/run_texts.h"
#include "run/status.h"
#include "engine/tree_walk.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "stores/catalog.h"
#include "stores/md5cache.h"
#include "ui/port/controls.h"
#include "ui/port/port.h"

namespace vl {

namespace {

const char* const kCaption = kProductName;
const char kFailureCaption[] = "Backup Failure";
const char kCatalogNotStored[] = "Backup completed, but the catalog could not be stored on the server!";

struct Ending {
  std::string text;
  std::string caption;
  BoxOwner owner;
  RunOutcome outcome;
};

Ending fail(RunContext& ctx, const std::string& status, const std::string& text) {
  status_set(ctx, status);
  run_controls_done();
  return {text, kFailureCaption, BoxOwner::none, kRunFailed};
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

// Everything after the connection is up: catalog, log, walk, and the end of the run.
Ending run_body(RunContext& ctx) {
  ctx.t_start = clock_now();
  run_view_text(kCtlStartTime, start_time_text(ctx.t_start));

  status_set(ctx, "Creating Backup Catalog...");
  catalog_open(ctx);

  status_set(ctx, "Creating Backup Log...");
  const std::string log_path = run_log_path(ctx.profile->tag, ctx.catalog_id);
  ctx.log = file_open(log_path, "w+");
  if (!ctx.log) {
    ctx.t_end = clock_now();
    server_disconnect(ctx);
    catalog_close();
    return fail(ctx, "Problem Creating Backup Log!",
                "Couldn't open backup log file for writing:\n" + log_path);
  }
  write_header(ctx);
  ctx.log_path = log_path;
  run_view_enable(kCtlButtonLogs, true);

  status_set(ctx, "Kicking Ass!");
  for (const ProfileRule& rule : ctx.profile->include_rules) {
    include_path_record(ctx, rule.path);
    if (tree_walk(ctx, "", rule.path) != 0) break;
  }
  md5cache_flush();

  if (ctx.cancel == 1) {
    server_disconnect(ctx);
    catalog_close();
    run_log(ctx, "\n\nBackup cancelled!\n");
    ctx.log.reset();
    ctx.t_end = clock_now();
    status_set(ctx, "Backup Cancelled!");
    run_controls_done();
    return {"Backup Cancelled!", kCaption, BoxOwner::none, kRunCancelled};
  }

  catalog_finish(ctx);
  catalog_close();
  const bool catalog_stored = server_catalog_upload(ctx) == 0;
  const bool cancelled_late = ctx.cancel == 1;
  // A catalog that did not reach the server leaves the run without a restorable record: the run
  // must not read as a plain success.
  if (!catalog_stored && !cancelled_late) ++ctx.stats.errors;
  server_disconnect(ctx);
  run_log(ctx, "%s", completion_block(ctx.stats, clock_now() - ctx.t_start).c_str());
  ctx.log.reset();
  ctx.t_end = clock_now();
  if (!catalog_stored && !cancelled_late) {
    status_set(ctx, kCatalogNotStored);
    run_controls_done();
    return {kCatalogNotStored, kFailureCaption, BoxOwner::run_dialog, kRunCatalogFailed};
  }
  status_set(ctx, "Backup Completed!");
  run_controls_done();
  return {"Backup Completed!", kCaption, BoxOwner::run_dialog,
          catalog_stored ? kRunCompleted : kRunCancelled};
}

Ending run_all(RunContext& ctx) {
  status_set(ctx, "Preparing...");
  sleep_ms(250);
  status_set(ctx, "Connecting...");
  if (server_connect(ctx) != 0)
    return fail(ctx, "Connect Failed!", "Unable to connect to backup server!");
  status_set(ctx, "Retrieving Profile ID...");
  if (server_get_profile_id(ctx) != 0)
    return fail(ctx, "Profile Retrieval Problem!",
                "Unable to retrieve backup profile ID from server.\nNote: The profile must "
                "already be manually set up on the server.");
  status_set(ctx, "Allocating Catalog ID...");
  if (server_alloc_catalog_id(ctx) != 0)
    return fail(ctx, "Problem Allocating Catalog ID!",
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

int include_path_record(RunContext& ctx, const std::string& path) {
  // Each leading part that ends before a "/" is a directory along the path; the empty text
  // before a leading "/" is none.
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '/' && i > 0) directory_record(ctx, path.substr(0, i), "");
  }
  if (!path.empty()) directory_record(ctx, path, "");
  return 0;
}

void backup_worker(RunContext& ctx) {
  // A run started without a profile entry (tests, tools) is named after its profile.
  if (ctx.entry_tag.empty() && ctx.profile) {
    ctx.entry_tag = ctx.profile->tag;
    ctx.entry_description = ctx.profile->description;
  }
  Ending end = run_all(ctx);
  ctx.outcome = end.outcome;
  message_box(end.owner, end.text, end.caption);
  ctx.worker_active = false;
}

}  // namespace vl
