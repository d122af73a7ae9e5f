#include "run/run_notice.h"

#include "base/format.h"
#include "base/product.h"

namespace vl {
namespace {

// "1 file", "1,024 files".
std::string counted(uint64_t n, const char* singular, const char* plural) {
  return count_format(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace

DesktopNotice run_end_notice(const RunContext& ctx) {
  const RunStats& s = ctx.stats;
  const uint32_t warnings = s.warnings, errors = s.errors;
  const bool completed = ctx.outcome == kRunCompleted;
  const bool cancelled = ctx.outcome == kRunCancelled;

  DesktopNotice n;
  n.app_name = kProductName;
  n.icon = "vornlake";  // the icon and the desktop entry the package installs
  n.desktop_entry = "vornlake";
  n.summary = "Backup " + ctx.entry_tag;
  if (completed && errors > 0) {
    n.summary += " completed with " + counted(errors, "error", "errors");
    if (warnings > 0) n.summary += " and " + counted(warnings, "warning", "warnings");
  } else if (completed && warnings > 0) {
    n.summary += " completed with " + counted(warnings, "warning", "warnings");
  } else {
    n.summary += completed ? " completed" : cancelled ? " cancelled" : " failed";
  }
  n.urgent = !cancelled && (!completed || errors > 0);

  if (!completed && !cancelled && !ctx.status_text.empty()) n.body = ctx.status_text + "\n";
  n.body += counted(s.files, "file", "files") + ", " + counted(s.bytes_total, "byte", "bytes") +
            ", " + counted(warnings, "warning", "warnings") + ", " +
            counted(errors, "error", "errors");
  if ((warnings > 0 || errors > 0) && !ctx.log_path.empty()) n.body += "\nRun log: " + ctx.log_path;
  return n;
}

}  // namespace vl
