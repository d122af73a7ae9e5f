#include "tree_verify.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/fs.h"

namespace vl::ref {
namespace {

// Drops "." and empty components; keeps everything else as written (no symlink resolution).
std::string normalize(const std::string& path) {
  std::string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(start, slash - start);
    if (!part.empty() && part != ".") out += (out.empty() && path[0] != '/' ? "" : "/") + part;
    start = slash + 1;
  }
  if (out.empty() && !path.empty() && path[0] == '/') out = "/";
  return out;
}

// The names in dir, sorted; *ok is false when dir cannot be opened.
std::vector<std::string> sorted_names(const std::string& dir, bool* ok) {
  std::vector<std::string> names;
  DirReader r(dir);
  *ok = r.ok();
  std::string name;
  while (r.next(&name))
    if (name != "." && name != "..") names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

std::string child(const std::string& rel, const std::string& name) {
  return rel.empty() ? name : rel + "/" + name;
}

struct Comparer {
  std::string source;    // absolute, normalized
  std::string restored;  // restored + source
  std::set<std::string> ignore;
  VerifyReport report;

  std::string src(const std::string& rel) const {
    return rel.empty() ? source : (source == "/" ? "/" + rel : source + "/" + rel);
  }
  std::string dst(const std::string& rel) const {
    return rel.empty() ? restored : restored + "/" + rel;
  }
  void differ(const std::string& text) { report.differences.push_back(text); }
  std::string shown(const std::string& rel) const { return rel.empty() ? source : src(rel); }

  void compare_file(const std::string& rel, uint64_t size);
  void walk_source(const std::string& rel);
  void walk_restored(const std::string& rel);
};

void Comparer::compare_file(const std::string& rel, uint64_t size) {
  FilePtr a = file_open(src(rel), "rb");
  if (!a) {
    differ("cannot read source file " + shown(rel));
    return;
  }
  FilePtr b = file_open(dst(rel), "rb");
  if (!b) {
    differ("cannot read restored file " + shown(rel));
    return;
  }
  std::vector<char> ba(65536), bb(65536);
  uint64_t offset = 0;
  for (;;) {
    size_t na = std::fread(ba.data(), 1, ba.size(), a.get());
    size_t nb = std::fread(bb.data(), 1, bb.size(), b.get());
    size_t common = std::min(na, nb);
    auto mismatch = std::mismatch(ba.begin(), ba.begin() + static_cast<long>(common), bb.begin());
    if (mismatch.first != ba.begin() + static_cast<long>(common)) {
      differ("content differs: " + shown(rel) + " (first at byte " +
             std::to_string(offset + static_cast<uint64_t>(mismatch.first - ba.begin())) + ")");
      return;
    }
    offset += common;
    if (na != nb) {
      differ("size differs: " + shown(rel) + " (source " + std::to_string(size) +
             " bytes, restored differs from byte " + std::to_string(offset) + ")");
      return;
    }
    if (na == 0) break;
  }
  ++report.files;
  report.bytes += offset;
}

void Comparer::walk_source(const std::string& rel) {
  FileStat s, d;
  if (!file_stat(src(rel), &s)) {
    differ("cannot stat source " + shown(rel));
    return;
  }
  if (s.kind == FileKind::special) {
    ++report.skipped;
    return;
  }
  bool have = file_stat(dst(rel), &d);
  if (!have) {
    differ("missing in restored tree: " + shown(rel));
    return;
  }
  if (d.kind != s.kind) {
    differ("kind differs: " + shown(rel));
    return;
  }
  if (s.kind == FileKind::regular) {
    compare_file(rel, s.size);
    return;
  }
  ++report.directories;
  bool listed = false;
  std::vector<std::string> names = sorted_names(src(rel), &listed);
  // Compared as empty, a folder that cannot be listed would match whatever was restored.
  if (!listed) differ("cannot list source folder " + shown(rel));
  for (const std::string& name : names) {
    std::string r = child(rel, name);
    if (!ignore.count(r)) walk_source(r);
  }
}

void Comparer::walk_restored(const std::string& rel) {
  bool listed = false;
  std::vector<std::string> names = sorted_names(dst(rel), &listed);
  if (!listed) differ("cannot list restored folder " + shown(rel));
  for (const std::string& name : names) {
    std::string r = child(rel, name);
    if (ignore.count(r)) {
      differ("excluded but restored: " + shown(r));
      continue;
    }
    FileStat s, d;
    bool in_source = file_stat(src(r), &s) && s.kind != FileKind::special;
    if (!in_source) {
      differ("not in the source: " + shown(r));
      continue;
    }
    if (file_stat(dst(r), &d) && d.kind == FileKind::directory && s.kind == FileKind::directory)
      walk_restored(r);
  }
}

}  // namespace

VerifyReport verify_trees(const VerifyOptions& options) {
  Comparer c;
  std::string source = options.source;
  if (source.empty() || source[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd)) source = std::string(cwd) + "/" + source;
  }
  c.source = normalize(source);
  c.restored = normalize(options.restored) + (c.source == "/" ? "" : c.source);
  for (const std::string& i : options.ignore) {
    std::string n = normalize(i);
    while (!n.empty() && n[0] == '/') n.erase(0, 1);
    if (!n.empty()) c.ignore.insert(n);
  }
  c.walk_source("");
  FileStat d;
  if (file_stat(c.restored, &d) && d.kind == FileKind::directory) c.walk_restored("");
  return c.report;
}

int verify_run(const VerifyOptions& options) {
  VerifyReport r = verify_trees(options);
  return command_report(
      r.differences, "",
      "compared " +
          counts_text({{r.directories, "directories"}, {r.files, "files"}, {r.bytes, "bytes"}}) +
          "; " + counts_text({{r.skipped, "special items skipped"}}) + "; " +
          counts_text({{r.differences.size(), "differences"}}));
}

}  // namespace vl::ref
