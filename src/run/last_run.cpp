#include "run/last_run.h"

#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"

namespace vl {
namespace {

// How much of a log's end is read. Everything that tells how a run ended (the cancel line, the
// catalog's fate and the statistics block) is written after the walk, within the last few
// hundred bytes; a log of a large tree runs to many megabytes of item lines before that.
constexpr long kTailBytes = 64 * 1024;

bool is_run_log_name(const std::string& name) {
  if (name.size() != 12 || name.compare(8, 4, ".log") != 0) return false;
  for (size_t i = 0; i < 8; ++i) {
    char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The value of a statistics line "<label>   N" when line starts with label, else -1.
long stat_value(const std::string& line, const char* label) {
  std::string l(label);
  if (line.compare(0, l.size(), l) != 0) return -1;
  size_t i = l.size();
  while (i < line.size() && line[i] == ' ') ++i;
  if (i == line.size()) return -1;
  long v = 0;
  for (; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    v = v * 10 + (line[i] - '0');
    if (v > 0xFFFFFFFFL) return -1;
  }
  return v;
}

std::string count_text(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string log_tail(const std::string& path) {
  FilePtr f = file_open(path, "rb");
  if (!f) return std::string();
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return std::string();
  long size = std::ftell(f.get());
  if (size < 0) return std::string();
  long start = size > kTailBytes ? size - kTailBytes : 0;
  if (std::fseek(f.get(), start, SEEK_SET) != 0) return std::string();
  std::string text(static_cast<size_t>(size - start), '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f.get()));
  // A tail that starts inside a line drops that line's beginning.
  if (start > 0) {
    size_t nl = text.find('\n');
    text.erase(0, nl == std::string::npos ? text.size() : nl + 1);
  }
  return text;
}

// The record's time and words; false when there is none or it does not read as one.
bool record_read(const std::string& profile_dir, uint32_t* t_end, std::string* word) {
  FilePtr f = file_open(path_join(profile_dir, kLastRunFile), "r");
  char line[96];
  if (!f || !std::fgets(line, sizeof line, f.get())) return false;
  std::string text(line);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const size_t blank = text.find(' ');
  if (blank == 0 || blank == std::string::npos || blank + 1 == text.size()) return false;
  uint64_t t = 0;
  for (size_t i = 0; i < blank; ++i) {
    if (text[i] < '0' || text[i] > '9' || t > 0xFFFFFFFFull) return false;
    t = t * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (t > 0xFFFFFFFFull) return false;
  *t_end = static_cast<uint32_t>(t);
  *word = text.substr(blank + 1);
  return true;
}

std::string when_text(uint32_t t_end) {
  time_t t = static_cast<time_t>(t_end);
  struct tm local;
  char when[32];
  if (!localtime_r(&t, &local) || std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local) == 0)
    return std::string();
  return when;
}

}  // namespace

std::string run_end_word(RunOutcome outcome, bool login_refused, bool server_lost,
                         uint32_t warnings, uint32_t errors) {
  if (outcome == kRunCancelled) return "cancelled";
  if (outcome == kRunCompleted || outcome == kRunCatalogFailed) {
    // A catalog that did not reach the server is an error even if no count says so.
    if (outcome == kRunCatalogFailed && errors == 0) errors = 1;
    if (errors > 0) return count_text(errors, "error", "errors");
    if (warnings > 0) return count_text(warnings, "warning", "warnings");
    return "completed";
  }
  if (login_refused) return "login failed";
  if (server_lost) return "could not connect";
  return "failed";
}

int run_end_record(const RunContext& ctx) {
  const std::string tag = ctx.entry_tag.empty() && ctx.profile ? ctx.profile->tag : ctx.entry_tag;
  if (tag.empty()) return 1;
  const std::string dir = profile_dir(tag);
  const RunOutcome outcome = static_cast<RunOutcome>(ctx.outcome.load());
  // Not one run gets to the server: a connection that failed before any request was answered.
  const bool server_lost = ctx.abort == kAbortServerLost ||
                           ctx.status_text.rfind("Connect Failed!", 0) == 0;
  const std::string word =
      run_end_word(outcome, ctx.conn.login_refused || ctx.abort == kAbortLoginRefused, server_lost,
                   ctx.stats.warnings, ctx.stats.errors);
  const int32_t t_end = ctx.t_end != 0 ? ctx.t_end.load() : clock_now();
  const std::string path = path_join(dir, kLastRunFile);
  const std::string fresh = path + ".new";
  FilePtr f = file_open_new(fresh);
  if (!f) return 1;
  const bool written = std::fprintf(f.get(), "%u %s\n", static_cast<uint32_t>(t_end), word.c_str()) > 0 &&
                       std::fflush(f.get()) == 0;
  f.reset();
  if (!written || !file_rename(fresh, path)) {
    file_remove(fresh);
    return 1;
  }
  return 0;
}

std::string run_log_ending(const std::string& log_text) {
  bool cancelled = false;
  bool stats = false;     // a "Backup Stats:" line was seen
  bool stats_end = false; // ... and its "Errors:" line, the last count of the block
  bool catalog_lost = false;
  long warnings = 0;
  long errors = 0;
  size_t pos = 0;
  while (pos < log_text.size()) {
    size_t end = log_text.find('\n', pos);
    if (end == std::string::npos) end = log_text.size();
    std::string line = log_text.substr(pos, end - pos);
    pos = end + 1;
    if (line == "Backup cancelled!") {
      cancelled = true;
    } else if (line == "Backup Stats:") {
      // The counts belong to the last block (item lines above it never look like one).
      stats = true;
      stats_end = false;
      warnings = errors = 0;
    } else if (line.compare(0, 19, "Error: The catalog ") == 0) {
      catalog_lost = true;
    } else if (stats) {
      long v = stat_value(line, "Warnings:");
      if (v >= 0) warnings = v;
      v = stat_value(line, "Errors:");
      if (v >= 0) {
        errors = v;
        stats_end = true;
      }
    }
  }
  if (cancelled) return "cancelled";
  // A block cut short (a full disk) tells nothing reliable either.
  if (!stats_end) return "failed";
  // A catalog that did not reach the server is an error even if a count says otherwise.
  if (catalog_lost && errors == 0) errors = 1;
  if (errors > 0) return count_text(errors, "error", "errors");
  if (warnings > 0) return count_text(warnings, "warning", "warnings");
  return "completed";
}

std::string last_run_text(const std::string& profile_dir) {
  DirReader dir(profile_dir);
  if (!dir.ok()) return std::string();
  std::string newest;
  uint32_t newest_t = 0;
  std::string name;
  while (dir.next(&name)) {
    if (!is_run_log_name(name)) continue;
    FileStat st;
    if (!file_stat(path_join(profile_dir, name), &st) || st.kind != FileKind::regular) continue;
    // Equal times: the larger name, so that the choice does not follow the listing's order.
    if (newest.empty() || st.t_modify > newest_t || (st.t_modify == newest_t && name > newest)) {
      newest = name;
      newest_t = st.t_modify;
    }
  }
  uint32_t t_end = 0;
  std::string word;
  if (record_read(profile_dir, &t_end, &word) && (newest.empty() || t_end >= newest_t)) {
    const std::string when = when_text(t_end);
    return when.empty() ? when : when + " \xC2\xB7 " + word;
  }
  if (newest.empty()) return std::string();
  const std::string when = when_text(newest_t);
  if (when.empty()) return when;
  return when + " \xC2\xB7 " + run_log_ending(log_tail(path_join(profile_dir, newest)));
}

}  // namespace vl
