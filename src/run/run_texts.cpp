#include "run/run_texts.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/dirs.h"

namespace vl {

std::string format_text_v(const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
  return out;
}

std::string format_text(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string out = format_text_v(fmt, ap);
  va_end(ap);
  return out;
}

std::string log_name(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const unsigned char b = static_cast<unsigned char>(c);
    if ((b >= 0x01 && b <= 0x1F) || b == 0x7F) {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::string open_folder_warning(const std::string& dir) {
  return "Warning: The " + std::string(dir == data_dir() ? "data" : "profile") + " folder " +
         log_name(dir) +
         " can be written by other users; run logs and catalogs there could be tampered with.";
}

std::string run_log_path(const std::string& tag, uint32_t catalog_id) {
  char name[16];
  std::snprintf(name, sizeof name, "%08x.log", catalog_id);
  return path_join(profile_dir(tag), name);
}

std::string start_time_text(int32_t t) {
  time_t tt = static_cast<time_t>(t);
  char buf[64] = {0};
  if (!ctime_r(&tt, buf)) return std::string();
  std::string text(buf);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string completion_block(const RunStats& s, int32_t seconds) {
  std::string out;
  out += "\nBackup completed!\n";
  out += "\nBackup Stats:\n";
  out += "----------------------------------------------\n";
  out += format_text("Directories:    %u\n", s.directories.load());
  out += format_text("Special Files:  %u\n", s.special_files.load());
  out += format_text("Files:          %u\n", s.files.load());
  out += "\n";
  out += format_text("Bytes:          %" PRIu64 "\n", s.bytes_total.load());
  out += format_text("Bytes Skipped:  %" PRIu64 "\n", s.bytes_skipped.load());
  out += format_text("Bytes Stored:   %" PRIu64 "\n", s.bytes_stored.load());
  out += format_text("Bytes Compr'd:  %" PRIu64 "\n", s.bytes_compressed.load());
  out += "\n";
  out += format_text("Segs:           %u\n", s.segs.load());
  out += format_text("Segs Stored:    %u\n", s.segs_stored.load());
  out += format_text("Segs Duped:     %u\n", s.segs_duped.load());
  out += "\n";
  out += format_text("Files Scanned:  %u\n", s.files_scanned.load());
  out += format_text("Files Skipped:  %u\n", s.files_skipped.load());
  out += format_text("Warnings:       %u\n", s.warnings.load());
  out += format_text("Errors:         %u\n", s.errors.load());
  out += "\n";
  out += format_text("Backup completed in %0.1f minutes.\n", static_cast<double>(seconds) * (1.0 / 60.0));
  out += "\n";
  return out;
}

}  // namespace vl
