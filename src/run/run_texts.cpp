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

namespace {

// The length of the well-formed UTF-8 sequence at s[i] (2 to 4), or 0.
size_t utf8_sequence(const std::string& s, size_t i) {
  const unsigned char b = static_cast<unsigned char>(s[i]);
  size_t n = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

std::string log_name(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  auto escape = [&](std::string& out, unsigned char b) {
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  };
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const unsigned char b = static_cast<unsigned char>(name[i]);
    // A character (one byte, or a well-formed UTF-8 sequence) or a stray byte, and whether it
    // is a control: 0x01 to 0x1F and 0x7F, U+0080 to U+009F (C2 80 to C2 9F), and stray bytes
    // 0x80 to 0x9F, which an 8-bit terminal takes as controls too.
    const size_t seq = b < 0x80 ? 1 : utf8_sequence(name, i);
    const size_t n = seq == 0 ? 1 : seq;
    const bool control =
        seq == 1   ? (b >= 0x01 && b <= 0x1F) || b == 0x7F
        : seq == 0 ? b <= 0x9F
                   : seq == 2 && b == 0xC2 && static_cast<unsigned char>(name[i + 1]) <= 0x9F;
    for (size_t k = 0; control && k < n; ++k) escape(out, static_cast<unsigned char>(name[i + k]));
    if (!control) out.append(name, i, n);
    i += n;
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
