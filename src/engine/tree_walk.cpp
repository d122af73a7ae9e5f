#include "engine/tree_walk.h"

#include <cinttypes>
#include <string>
#include <vector>

#include "engine/catalog_rows.h"
#include "engine/file_process.h"
#include "engine/run_pipeline.h"
#include "engine/rule_match.h"
#include "run/run_control.h"
#include "run/run_log.h"
#include "run/run_texts.h"
#include "run/status.h"
#include "platform/clock.h"
#include "platform/file_read.h"
#include "platform/fs.h"
#include "stores/catalog.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl {

// Each folder level of the walk takes a frame of the worker's stack; a tree deep enough to use it
// up would crash every run that reaches it. Folders nested deeper than this below an include
// path (their paths are at least 8 KiB long) are logged as too long instead of entered.
constexpr int kWalkDepthMax = 4096;
static int g_walk_depth_max = kWalkDepthMax;
static thread_local int t_walk_depth = 0;

#ifdef VORNLAKE_FAULT_HOOKS
void tree_walk_depth_max_set(int levels) { g_walk_depth_max = levels > 0 ? levels : kWalkDepthMax; }
#endif

static bool ends_with_slash(const std::string& s) { return !s.empty() && s.back() == '/'; }

void directories_show(uint64_t count) { counter_show(kCtlDirectories, count); }

// The file's status lines (folder, name, size, progress) are shown together or not at all.
void file_status_show(const std::string& path, uint64_t size) {
  if (!run_view_shows(kCtlFilename)) return;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    run_view_text(kCtlDirectory, "");
    run_view_text(kCtlFilename, path);
  } else {
    run_view_text(kCtlDirectory, path.substr(0, slash + 1));
    run_view_text(kCtlFilename, path.substr(slash + 1));
  }
  if (size != 0) {
    counter_show(kCtlSize, size);
    run_view_text(kCtlSent, "0 ");
  } else {
    run_view_text(kCtlSize, "");
    run_view_text(kCtlSent, "");
    run_view_text(kCtlBlockText, "Block 0 of 0 (0%)");
    run_view_progress_pos(kCtlFileProgress, 0);
  }
  run_view_progress_pos(kCtlFileProgress, 0);
  run_view_progress_range(kCtlFileProgress, 0, 1);
}

std::string walk_item_text(const std::string& dir_part, const std::string& name, uint64_t size,
                           uint32_t attr, bool special) {
  std::string text = log_name(dir_part + name) + " : " + std::to_string(size) + " : ";
  if (attr & kAttrDirectory)
    text += "Dir";
  else if (special || (attr & kAttrOffline))
    text += "Unknown";
  else
    text += "File";
  text += " (";
  if (attr & kAttrArchive) text += "A";
  if (attr & kAttrHidden) text += "H";
  if (attr & kAttrReadOnly) text += "R";
  if (attr & kAttrSystem) text += "S";
  text += ")";
  return text;
}

// The exclude test before an item: directory rules against the item's directory part, path rules
// against its full path. Logs the exclusion and returns true on the first match.
static bool excluded_before(RunContext& ctx, const std::string& dir_part, const std::string& full) {
  for (const ProfileRule& rule : ctx.profile->exclude_rules) {
    if (rule.path.empty()) continue;
    if (ends_with_slash(rule.path)) {
      if (rule_match(dir_part, rule.path)) {
        run_log(ctx, "Excluding files in this directory.\n");
        return true;
      }
    } else if (rule_match(full, rule.path)) {
      run_log(ctx, "Excluding: %s\n", log_name(full).c_str());
      return true;
    }
  }
  return false;
}

// Counts and records directory d, of status st, in the catalog.
static void directory_row(RunContext& ctx, CatalogRows& rows, std::string d, const FileStat& st) {
  directories_show(++ctx.stats.directories);
  if (st.kind != FileKind::directory) return;
  if (d.size() > 1 && ends_with_slash(d)) d.pop_back();  // the root keeps its slash
  const uint8_t attr = static_cast<uint8_t>(file_attributes_of(st, path_last_component(d)) & 0xFF);
  rows.directory(d, filespec_record(st, 1, attr), kFileBlockSize);
}

int directory_record(RunContext& ctx, CatalogRows& rows, const std::string& prefix,
                     const std::string& name) {
  const std::string d = prefix + name;
  FileStat st;
  if (!file_stat(d, &st)) {
    run_log(ctx, "Warning: Failed to stat directory: %s\n", log_name(d).c_str());
    ++ctx.stats.warnings;
    return 0;
  }
  directory_row(ctx, rows, d, st);
  return 0;
}

namespace {

// The folder whose entries the walk visits. It is held open to stat them by name, so that a link
// swapped in along its path after the listing is not followed (a full path's lstat protects only
// its last component). It is let go while the walk descends into one of them, so that the walk
// holds one descriptor however deep it goes, and opened again after, as long as it is still the
// folder that was listed; otherwise the entries left count as gone.
struct WalkFolder {
  const std::string& path;
  uint64_t dev = 0;
  uint64_t ino = 0;
  UniqueFd fd;

  void open(const PathBase& base) {
    fd = folder_open(path, base);
    FileStat st;
    if (fd.ok() && !(fd_stat(fd, &st) && st.dev == dev && st.ino == ino)) fd.reset();
  }
};

}  // namespace

// tree_walk of prefix + name, an entry of `folder` when there is one.
static int walk_item(RunContext& ctx, RunPipeline& pipe, const std::string& prefix,
                     const std::string& name_in, WalkFolder* folder) {
  pipe.read_ahead.passed();
  int32_t delay = ctx.profile->file_delay_ms;
  if (delay > 0) run_delay_ms(ctx, static_cast<uint32_t>(delay));
  pause_wait(ctx);
  if (ctx.cancel == 1) return 1;

  std::string name = name_in;
  if (name.size() > 1 && ends_with_slash(name)) name.pop_back();
  std::string dir_part = prefix;
  if (!dir_part.empty() && !ends_with_slash(dir_part)) dir_part += "/";
  const std::string full = dir_part + name;

  if (excluded_before(ctx, dir_part, full)) return 0;

  FileStat st;
  FsFailure why = FsFailure::none;
  const bool stated = folder ? folder->fd.ok() && file_stat_at(folder->fd, name, &st, &why)
                             : file_stat(full, &st, &why);
  if (!stated) {
    // What the kernel refuses as too long is there all the same: saying "Doesn't exist?" would
    // hide that it is left out.
    if (why == FsFailure::too_long) {
      run_log(ctx, "Warning: Path too long: %s\n", log_name(full).c_str());
      ++ctx.stats.warnings;
    } else {
      run_log(ctx, "%s : Doesn't exist?\n", log_name(full).c_str());
      // Listed a moment ago and gone now: it is left out of the backup all the same. (A missing
      // include path was counted when its folders were recorded.)
      if (!prefix.empty()) ++ctx.stats.warnings;
    }
    return 0;
  }
  const uint32_t attr = file_attributes_of(st, path_last_component(name));
  const bool special = st.kind == FileKind::special;

  file_status_show(full, st.size);
  run_log(ctx, "%s", walk_item_text(dir_part, name, st.size, attr, special).c_str());

  if (attr & kAttrDirectory) {
    run_log(ctx, "\n");
    if (name == "." || name == "..") return 0;
    directory_row(ctx, pipe.rows, full, st);
    std::string listed = full;
    if (!ends_with_slash(listed)) listed += "/";
    for (const ProfileRule& rule : ctx.profile->exclude_rules) {
      if (!rule.path.empty() && rule_match(listed, rule.path)) {
        run_log(ctx, "Excluding files in this directory.\n");
        return 0;
      }
    }
    // The folder is read whole and closed before its entries are visited: a walk that kept one
    // open per level lost, without a word, every folder below the descriptor limit.
    std::vector<std::string> entries;
    std::vector<char> regular;
    if (t_walk_depth >= g_walk_depth_max) {
      why = FsFailure::too_long;
    } else if (dir_list(full, &entries, &why, &regular, pipe.base)) {
      why = FsFailure::none;
    }
    pipe.read_ahead.folder(full, entries, regular, pipe.base);
    if (why != FsFailure::none) {
      run_log(ctx,
              why == FsFailure::too_long ? "Warning: Path too long: %s\n"
                                         : "Warning: Failed to open directory: %s\n",
              log_name(full).c_str());
      ++ctx.stats.warnings;
    }
    if (folder) folder->fd.reset();
    WalkFolder here{full, st.dev, st.ino, {}};
    if (!entries.empty()) here.open(pipe.base);
    ++t_walk_depth;
    for (const std::string& entry : entries) {
      const bool held = here.fd.ok();
      walk_item(ctx, pipe, full, entry, &here);
      if (held && !here.fd.ok()) here.open(pipe.base);  // let go for a descent: once again
    }
    pipe.read_ahead.folder_done();
    --t_walk_depth;
    return 0;
  }

  if (special) {
    // Links, FIFOs, sockets and devices are never opened: a FIFO would hang the run.
    run_log(ctx, "\n");
    ++ctx.stats.special_files;
    return 0;
  }
  file_process(ctx, pipe, dir_part, name, &st);
  return 0;
}

int tree_walk(RunContext& ctx, RunPipeline& pipe, const std::string& prefix,
              const std::string& name) {
  return walk_item(ctx, pipe, prefix, name, nullptr);
}

}  // namespace vl
