#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/fs.h"
#include "unique_fd.h"

namespace vl::ref {
namespace {

std::string id_hex(uint32_t id) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", id);
  return buf;
}

bool make_dir(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// Parses a whole decimal text (with an optional line break) into *out.
bool parse_u64(const std::string& text, uint64_t* out) {
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  if (t.empty() || t.size() > 19) return false;
  uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

bool read_small_file(const std::string& path, std::string* out, size_t limit) {
  FilePtr f = file_open(path, "rb");
  if (!f) return false;
  out->assign(limit + 1, '\0');
  size_t n = std::fread(out->data(), 1, limit + 1, f.get());
  if (std::ferror(f.get()) || n > limit) return false;
  out->resize(n);
  return true;
}

}  // namespace

void dir_sync(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

bool write_file_atomic(const std::string& path, const std::string& content) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string tmpl = path + ".tmp-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd) return false;
  bool ok = fd.write_all(content.data(), content.size()) && ::fsync(fd.get()) == 0;
  ok = fd.close() && ok;
  if (ok) ok = ::rename(name.data(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(name.data());
    return false;
  }
  dir_sync(folder);
  return true;
}

bool Store::open(const std::string& dir, std::string* error) {
  dir_ = dir;
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  if (!dir_create_all_private(dir_) && !file_exists(dir_)) {
    *error = "cannot create the store folder " + dir_;
    return false;
  }
  for (const char* sub : {"segments", "catalogs", "tmp"}) {
    if (!make_dir(dir_ + "/" + sub)) {
      *error = "cannot create " + dir_ + "/" + sub + ": " + std::strerror(errno);
      return false;
    }
  }
  // Uploads that were in progress when the server last stopped are never finished.
  {
    DirReader tmp(dir_ + "/tmp");
    std::string name;
    while (tmp.next(&name))
      if (name != "." && name != "..") ::unlink((dir_ + "/tmp/" + name).c_str());
  }
  uint64_t next = 1;
  std::string text;
  std::string next_path = dir_ + "/next_catalog_id";
  if (file_exists(next_path)) {
    if (!read_small_file(next_path, &text, 64) || !parse_u64(text, &next) || next == 0 ||
        next > 0xFFFFFFFFull + 1) {
      *error = "unreadable " + next_path;
      return false;
    }
  }
  // A lost counter file must not make the server hand out an id twice.
  DirReader catalogs(dir_ + "/catalogs");
  std::string name;
  while (catalogs.next(&name)) {
    if (name.size() != 8) continue;
    char* end = nullptr;
    unsigned long id = std::strtoul(name.c_str(), &end, 16);
    if (end && *end == '\0' && id + 1 > next) next = id + 1;
  }
  next_id_ = next > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(next);
  return true;
}

bool Store::attach(const std::string& dir) {
  dir_ = dir;
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  struct stat st;
  return ::stat((dir_ + "/segments").c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         ::stat((dir_ + "/catalogs").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Store::segment_path(const Digest& d) const {
  std::string hex = digest_hex(d);
  return dir_ + "/segments/" + hex.substr(0, 2) + "/" + hex;
}

bool Store::has_segment(const Digest& d) const {
  struct stat st;
  return ::stat(segment_path(d).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Store::has_segment(const Digest& d, uint64_t size) const {
  struct stat st;
  return ::stat(segment_path(d).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         static_cast<uint64_t>(st.st_size) == size;
}

UniqueFd Store::temp_create(std::string* path) const {
  std::string tmpl = dir_ + "/tmp/upload-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd) *path = name.data();
  return fd;
}

bool Store::segment_commit(const std::string& temp_path, const Digest& d) {
  std::string hex = digest_hex(d);
  std::string folder = dir_ + "/segments/" + hex.substr(0, 2);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!make_dir(folder)) return false;
  if (::rename(temp_path.c_str(), (folder + "/" + hex).c_str()) != 0) return false;
  if (segment_sync_) dir_sync(folder);
  return true;
}

std::string Store::catalog_dir(uint32_t id) const { return dir_ + "/catalogs/" + id_hex(id); }

bool Store::catalog_alloc(uint32_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (next_id_ == 0) return false;
  uint32_t given = next_id_;
  uint64_t next = static_cast<uint64_t>(given) + 1;
  if (!write_file_atomic(dir_ + "/next_catalog_id", std::to_string(next) + "\n")) return false;
  next_id_ = next > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(next);
  if (!make_dir(catalog_dir(given))) return false;
  dir_sync(dir_ + "/catalogs");
  *id = given;
  return true;
}

bool Store::catalog_exists(uint32_t id) const {
  struct stat st;
  return id != 0 && ::stat(catalog_dir(id).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Store::link_add(uint32_t id, const Digest& d) {
  std::string line = digest_hex(d) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  UniqueFd fd(::open((catalog_dir(id) + "/links").c_str(),
                     O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!fd) return false;
  bool ok = fd.write_all(line.data(), line.size());
  return fd.close() && ok;
}

bool Store::finalize_write(uint32_t id, const uint8_t* record) {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_file_atomic(catalog_dir(id) + "/finalize",
                           std::string(reinterpret_cast<const char*>(record), kFinalizeSize));
}

std::set<std::string> Store::links_read(uint32_t id) const {
  std::set<std::string> links;
  FilePtr f = file_open(catalog_dir(id) + "/links", "r");
  if (!f) return links;
  char line[128];
  while (std::fgets(line, sizeof line, f.get())) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (!s.empty()) links.insert(s);
  }
  return links;
}

bool Store::finalize_read(uint32_t id, std::string* record) const {
  return read_small_file(catalog_dir(id) + "/finalize", record, 4096);
}

}  // namespace vl::ref
