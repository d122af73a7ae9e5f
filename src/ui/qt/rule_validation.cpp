#include "ui/qt/rule_validation.h"

#include "platform/fs.h"

namespace vl {

constexpr size_t kPathRead = 259;
constexpr size_t kRowPathRead = 254;

static const char* const kRuleCaption = "Can't Add Include/Exclude";

static int fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

int text_compare_nocase(const std::string& a, const std::string& b) {
  // Both texts end at their terminator, as the C strings they stand for.
  size_t i = 0;
  for (;; ++i) {
    int ca = i < a.size() ? fold(static_cast<unsigned char>(a[i])) : 0;
    int cb = i < b.size() ? fold(static_cast<unsigned char>(b[i])) : 0;
    if (ca == 0 || ca != cb) return ca - cb;
  }
}

bool rule_check(const std::string& typed, bool include, const std::vector<RuleRow>& rows,
                int changed_row, std::string* path, DialogMessage* error) {
  *path = text_limit(typed, kPathRead);
  if (path->empty()) {
    *error = {"Error - A filespec must be entered.  If you don't want to\n"
              "add a filespec, use the Cancel button instead.",
              kRuleCaption};
    return false;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    if (static_cast<int>(i) == changed_row) continue;
    if (text_compare_nocase(*path, text_limit(rows[i].path, kRowPathRead)) == 0) {
      *error = {"Error - An existing include/exclude rule already has this\n"
                "path or filename listed as an include or exclude.",
                kRuleCaption};
      return false;
    }
  }
  if (include && path->find_first_of("*?") != std::string::npos) {
    *error = {"Error - Wildcards (* and ?) are supported only in exclude rules.\n"
              "Include rules do not yet support wildcards.",
              kRuleCaption};
    return false;
  }
  return true;
}

bool folder_choice_acceptable(const std::string& path) {
  FileStat st;
  return !path.empty() && file_stat(path, &st) && st.kind == FileKind::directory;
}

std::string folder_chooser_start(const std::string& typed, const std::string& home) {
  std::string path = typed;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  while (!path.empty()) {
    if (folder_choice_acceptable(path)) return path;
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) break;
    path = slash == 0 ? (path == "/" ? std::string() : std::string("/")) : path.substr(0, slash);
  }
  return home;
}

}  // namespace vl
