#include "restore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "digest.h"
#include "platform/fs.h"
#include "store.h"
#include "platform/unique_fd.h"

namespace vl::ref {
namespace {

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtFinalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

// A private temp folder removed with its contents on destruction.
class TempFolder {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vornlake-restore-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempFolder() {
    if (path_.empty()) return;
    DirReader r(path_);
    std::string name;
    while (r.next(&name))
      if (name != "." && name != "..") ::unlink((path_ + "/" + name).c_str());
    ::rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool split_components(const std::string& path, std::vector<std::string>* parts) {
  if (path.find('\0') != std::string::npos) return false;
  parts->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(start, slash - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts->push_back(part);
    start = slash + 1;
  }
  return true;
}

std::string join(const std::string& out, const std::vector<std::string>& parts, size_t count) {
  std::string path = out;
  for (size_t i = 0; i < count; ++i) path += "/" + parts[i];
  return path;
}

// Makes out/parts[0]/.../parts[count-1], each a real directory (a symbolic link or a file in
// the way is a problem, never followed). Returns "" or the problem.
std::string make_dirs(const std::string& out, const std::vector<std::string>& parts,
                      size_t count) {
  for (size_t i = 1; i <= count; ++i) {
    std::string path = join(out, parts, i);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return path + " exists and is not a directory";
      continue;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
      return "cannot create " + path + ": " + std::strerror(errno);
  }
  return "";
}

bool copy_file(const std::string& from, const std::string& to) {
  FilePtr in = file_open(from, "rb");
  FilePtr out = file_open(to, "w");
  if (!in || !out) return false;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in.get())) > 0)
    if (std::fwrite(buf, 1, n, out.get()) != n) return false;
  return !std::ferror(in.get()) && std::fflush(out.get()) == 0;
}

std::string column_text(sqlite3_stmt* s, int col) {
  const void* p = sqlite3_column_blob(s, col);
  int n = sqlite3_column_bytes(s, col);
  return p && n > 0 ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : "";
}

struct Restorer {
  const RestoreOptions& options;
  Store store;
  std::set<std::string> links;
  RestoreReport report;

  void problem(const std::string& text) { report.problems.push_back(text); }
  bool open_catalog(Db* db, TempFolder& temp);
  void restore_rows(sqlite3* db);
  std::string restore_file(sqlite3* db, int64_t id, const std::string& target, uint64_t size,
                           uint64_t* segments, bool* created);
};

bool Restorer::open_catalog(Db* db, TempFolder& temp) {
  if (!store.attach(options.store)) {
    problem("no store at " + options.store);
    return false;
  }
  std::string record;
  if (!store.finalize_read(options.catalog, &record)) {
    problem("catalog " + std::to_string(options.catalog) + " has no finalize record");
    return false;
  }
  const uint8_t* r = reinterpret_cast<const uint8_t*>(record.data());
  if (record.size() != kFinalizeSize || r[0] != 0x02 || r[1] != 0x23 ||
      le32(r + 2) != options.catalog) {
    problem("the finalize record of catalog " + std::to_string(options.catalog) + " is malformed");
    return false;
  }
  Digest digest;
  std::memcpy(digest.data(), r + 6, 16);
  uint64_t size = le64(r + 22);
  if (options.link_check && !links.count(digest_hex(digest)))
    problem("the catalog segment " + digest_hex(digest) + " is not linked to the catalog");
  Digest got;
  uint64_t got_size = 0;
  std::string seg = store.segment_path(digest);
  if (md5_of_file(seg, &got, &got_size) != FileRead::ok) {
    problem("the catalog segment " + digest_hex(digest) + " is not in the store");
    return false;
  }
  if (got_size != size || got != digest) {
    problem("the catalog segment " + digest_hex(digest) + " does not match its finalize record (" +
            std::to_string(got_size) + " bytes, MD5 " + digest_hex(got) + ")");
    return false;
  }
  if (temp.path().empty() || !copy_file(seg, temp.path() + "/catalog.db")) {
    problem("cannot copy the catalog to a temp folder");
    return false;
  }
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2((temp.path() + "/catalog.db").c_str(), &raw, SQLITE_OPEN_READONLY,
                           nullptr);
  db->reset(raw);
  if (rc != SQLITE_OK) {
    problem("the catalog segment is not a database");
    return false;
  }
  // A catalog is only sent once the run has finished it.
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(raw, "select type from vornlake_info", -1, &s, nullptr) != SQLITE_OK) {
    problem("the catalog has no vornlake_info table: " + std::string(sqlite3_errmsg(raw)));
    return false;
  }
  Stmt info(s);
  if (sqlite3_step(s) != SQLITE_ROW || sqlite3_column_int64(s, 0) != 128)
    problem("the catalog is not marked finished (vornlake_info type 128)");
  if (sqlite3_prepare_v2(raw, "select misc from catinfo where type=21", -1, &s, nullptr) ==
      SQLITE_OK) {
    Stmt own_id(s);
    if (sqlite3_step(s) != SQLITE_ROW ||
        column_text(s, 0) != std::to_string(options.catalog))
      problem("the catalog does not record its own id " + std::to_string(options.catalog));
  } else {
    problem("the catalog has no catinfo table");
  }
  return true;
}

// Writes one file from its segments. Returns "" or the problem; *segments counts those written,
// *created says whether target was opened (and so is this restore's to remove).
std::string Restorer::restore_file(sqlite3* db, int64_t id, const std::string& target,
                                   uint64_t size, uint64_t* segments, bool* created) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, "select offset, size, md5 from segs where filespec_id=? order by offset",
                         -1, &s, nullptr) != SQLITE_OK)
    return std::string("cannot read segs: ") + sqlite3_errmsg(db);
  Stmt segs(s);
  sqlite3_bind_int64(s, 1, id);
  UniqueFd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) return "cannot create: " + std::string(std::strerror(errno));
  *created = true;
  std::string write_error;
  auto write_out = [&out, &write_error](const char* data, size_t n) {
    if (out.write_all(data, n)) return true;
    write_error = std::strerror(errno);
    return false;
  };
  uint64_t expected_offset = 0;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    int64_t offset = sqlite3_column_int64(s, 0);
    int64_t seg_size = sqlite3_column_int64(s, 1);
    std::string hex = column_text(s, 2);
    if (offset < 0 || static_cast<uint64_t>(offset) != expected_offset)
      return "segment at offset " + std::to_string(offset) + ", expected " +
             std::to_string(expected_offset);
    if (seg_size < 0) return "segment of negative size";
    Digest digest;
    if (!digest_parse(hex, &digest)) return "segment digest \"" + hex + "\" is not 32 hex digits";
    if (options.link_check && !links.count(hex))
      return "segment " + hex + " is not linked to the catalog";
    Digest actual;
    uint64_t got = 0;
    switch (md5_of_file(store.segment_path(digest), &actual, &got, write_out)) {
      case FileRead::cannot_open: return "segment " + hex + " is not in the store";
      case FileRead::cannot_read: return "cannot read segment " + hex;
      case FileRead::sink_failed: return "cannot write: " + write_error;
      case FileRead::ok: break;
    }
    if (got != static_cast<uint64_t>(seg_size))
      return "segment " + hex + " holds " + std::to_string(got) + " bytes, the catalog says " +
             std::to_string(seg_size);
    if (actual != digest) return "segment " + hex + " has the MD5 " + digest_hex(actual);
    expected_offset += static_cast<uint64_t>(seg_size);
    ++*segments;
  }
  if (rc != SQLITE_DONE) return std::string("cannot read segs: ") + sqlite3_errmsg(db);
  if (expected_offset != size)
    return "segments cover " + std::to_string(expected_offset) + " bytes of " +
           std::to_string(size);
  if (::fsync(out.get()) != 0 || !out.close())
    return "cannot write: " + std::string(std::strerror(errno));
  return "";
}

void Restorer::restore_rows(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, "select id, filename_full, type, size from filespec order by id", -1,
                         &s, nullptr) != SQLITE_OK) {
    problem(std::string("cannot read filespec: ") + sqlite3_errmsg(db));
    return;
  }
  Stmt rows(s);
  if (!dir_create_all_private(options.out) && !file_exists(options.out)) {
    problem("cannot create " + options.out);
    return;
  }
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    int64_t id = sqlite3_column_int64(s, 0);
    std::string path = column_text(s, 1);
    int64_t type = sqlite3_column_int64(s, 2);
    int64_t size = sqlite3_column_int64(s, 3);
    std::vector<std::string> parts;
    if (!split_components(path, &parts)) {
      problem("refused path \"" + path + "\" (a \"..\" component or a NUL byte)");
      continue;
    }
    if (type == 1) {
      std::string err = make_dirs(options.out, parts, parts.size());
      if (!err.empty()) problem(path + ": " + err);
      else ++report.directories;
    } else if (type == 2) {
      if (parts.empty() || size < 0) {
        problem("file row \"" + path + "\" has no name or a negative size");
        continue;
      }
      std::string err = make_dirs(options.out, parts, parts.size() - 1);
      std::string target = join(options.out, parts, parts.size());
      uint64_t segments = 0;
      bool created = false;
      if (err.empty())
        err = restore_file(db, id, target, static_cast<uint64_t>(size), &segments, &created);
      if (!err.empty()) {
        // A file that does not hold what was backed up is not left behind. Only one this restore
        // opened: when a folder of the path was refused, the path may lead outside the output.
        if (created) ::unlink(target.c_str());
        problem(path + ": " + err);
      } else {
        ++report.files;
        report.bytes += static_cast<uint64_t>(size);
        report.segments += segments;
      }
    } else {
      problem(path + ": unknown type " + std::to_string(type));
    }
  }
  if (rc != SQLITE_DONE) problem(std::string("cannot read filespec: ") + sqlite3_errmsg(db));
}

}  // namespace

bool restore_target(const std::string& out, const std::string& catalog_path, std::string* target) {
  std::vector<std::string> parts;
  if (!split_components(catalog_path, &parts)) return false;
  *target = join(out, parts, parts.size());
  return true;
}

RestoreReport restore_catalog(const RestoreOptions& options) {
  Restorer r{options, {}, {}, {}};
  r.store.attach(options.store);
  r.links = r.store.links_read(options.catalog);
  TempFolder temp;
  Db db;
  if (r.open_catalog(&db, temp)) r.restore_rows(db.get());
  return r.report;
}

int restore_run(const RestoreOptions& options) {
  RestoreReport r = restore_catalog(options);
  char id[16];
  std::snprintf(id, sizeof id, "%08x", options.catalog);
  return command_report(r.problems, "problem: ",
                        std::string("restored catalog ") + id + ": " +
                            counts_text({{r.directories, "directories"}, {r.files, "files"},
                                         {r.bytes, "bytes"}, {r.segments, "segments"}}) +
                            "; " + counts_text({{r.problems.size(), "problems"}}));
}

}  // namespace vl::ref
