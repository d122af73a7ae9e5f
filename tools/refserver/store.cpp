#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"

namespace vl::ref {
namespace {

constexpr const char* kUnsyncedMark = "unsynced";
// In a catalog's folder once links it answered could not be written.
constexpr const char* kLinksLostMark = "links-lost";
// Uploads in progress are written beside their segment under this prefix, which no digest has.
constexpr const char* kUploadPrefix = ".upload-";
// Open links files kept for appending; more catalogs at once than this reopen their files.
constexpr size_t kOpenLinkFiles = 16;
// A catalog's links are written out when this many bytes wait (else at links_flush).
constexpr size_t kLinksWaitingMax = 32768;
// The mark's time and a segment's rename both come from the clock; this much slack keeps a clock
// step between them from hiding a segment from the check.
constexpr int64_t kMarkSlackS = 60;
// Checks of a catalog's links before its finalize gives up, when links keep coming meanwhile.
constexpr int kFinalizeRounds = 3;

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

std::string prefix_hex(uint8_t prefix) { return bytes_hex(&prefix, 1); }

// "ab/abcd...": a segment's path below segments/.
std::string segment_name(const Digest& d) {
  std::string hex = digest_hex(d);
  return hex.substr(0, 2) + "/" + hex;
}

}  // namespace

bool dir_sync(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && ::fsync(fd.get()) == 0;
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
  return dir_sync(folder);
}

bool Store::open(const std::string& dir, std::string* error) {
  dir_ = dir;
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  if (!dir_create_all_private(dir_) && !file_exists(dir_)) {
    *error = "cannot create the store folder " + dir_;
    return false;
  }
  for (const char* sub : {"segments", "catalogs"}) {
    if (!make_dir(dir_ + "/" + sub)) {
      *error = "cannot create " + dir_ + "/" + sub + ": " + std::strerror(errno);
      return false;
    }
  }
  root_fd_.reset(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  segments_fd_.reset(::open((dir_ + "/segments").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd_ || !segments_fd_) {
    *error = "cannot open the folders of " + dir_ + ": " + std::strerror(errno);
    return false;
  }
  recover_unsynced();
  unnamed_ = unnamed_files_work();
  index_read();  // and removes the uploads left unfinished when the server last stopped
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
    if (!end || *end != '\0' || id == 0 || id > 0xFFFFFFFFul) continue;
    catalogs_.insert(static_cast<uint32_t>(id));
    if (id + 1 > next) next = id + 1;
  }
  next_id_ = next > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(next);
  return true;
}

// A crash before a group was synced may have left some of its segments short or empty under
// their names; were they kept, a query could count them as held, or a client link one by a
// digest it cached. Every segment renamed since the mark was made is checked.
void Store::recover_unsynced() {
  struct stat mark;
  if (::fstatat(root_fd_.get(), kUnsyncedMark, &mark, 0) != 0) return;
  std::string segments = dir_ + "/segments";
  DirReader folders(segments);
  std::string folder;
  while (folders.next(&folder)) {
    if (folder.size() != 2 || folder == "..") continue;
    DirReader files(segments + "/" + folder);
    std::string name;
    while (files.next(&name)) {
      std::string path = segments + "/" + folder + "/" + name;
      Digest want, got;
      uint64_t size = 0;
      struct stat st;
      if (!digest_parse(name, &want) || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
          st.st_ctim.tv_sec < mark.st_ctim.tv_sec - kMarkSlackS)
        continue;
      if (md5_of_file(path, &got, &size) == FileRead::ok && got == want) continue;
      std::fprintf(stderr, "refserver: removing segment %s, left incomplete by a crash\n",
                   name.c_str());
      ::unlink(path.c_str());
    }
  }
  ::unlinkat(root_fd_.get(), kUnsyncedMark, 0);
}

bool Store::attach(const std::string& dir) {
  dir_ = dir;
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  struct stat st;
  return ::stat((dir_ + "/segments").c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         ::stat((dir_ + "/catalogs").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Store::segment_path(const Digest& d) const {
  return dir_ + "/segments/" + segment_name(d);
}

// Every segment in place, into the index.
void Store::index_read() {
  std::string segments = dir_ + "/segments";
  DirReader folders(segments);
  std::string folder;
  while (folders.next(&folder)) {
    if (folder.size() != 2 || folder == "..") continue;
    DirReader files(segments + "/" + folder);
    const int folder_fd = files.fd();
    if (folder_fd < 0) continue;
    std::string name;
    while (files.next(&name)) {
      if (name.compare(0, std::strlen(kUploadPrefix), kUploadPrefix) == 0) {
        ::unlinkat(folder_fd, name.c_str(), 0);
        continue;
      }
      Digest d;
      struct stat st;
      if (digest_parse(name, &d) && name.compare(0, 2, folder) == 0 &&
          ::fstatat(folder_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(st.st_mode))
        index_[d] = static_cast<uint64_t>(st.st_size);
    }
  }
}

void Store::index_add(const Digest& d, uint64_t size) {
  std::lock_guard<std::mutex> lock(index_mutex_);
  index_[d] = size;
}

bool Store::has_segment(const Digest& d) {
  {
    std::lock_guard<std::mutex> lock(index_mutex_);
    if (index_.count(d)) return true;
  }
  struct stat st;
  if (::fstatat(segments_fd_.get(), segment_name(d).c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode))
    return false;
  index_add(d, static_cast<uint64_t>(st.st_size));
  return true;
}

bool Store::has_segment(const Digest& d, uint64_t size) const {
  std::lock_guard<std::mutex> lock(index_mutex_);
  auto it = index_.find(d);
  return it != index_.end() && it->second == size;
}

// Created in the segment's own folder rather than one folder for every upload: the file system
// then takes each new file's inode near its folder, where one shared folder has it search ever
// further (and, beside many files just deleted, test each free inode it passes).
SegmentFile Store::temp_create(const Digest& d) {
  SegmentFile f;
  int folder;
  {
    std::lock_guard<std::mutex> lock(group_mutex_);
    folder = folder_fd(d[0]);
  }
  if (folder < 0) return f;
  if (unnamed_) {
    f.fd.reset(::openat(folder, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600));
    return f;
  }
  for (;;) {
    f.temp_name = temp_name_next();
    f.fd.reset(
        ::openat(folder, f.temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (f.fd || errno != EEXIST) return f;  // EEXIST: another server's upload on this store
  }
}

void Store::temp_remove(const Digest& d, SegmentFile& f) {
  f.fd.reset();
  if (f.temp_name.empty()) return;
  std::lock_guard<std::mutex> lock(group_mutex_);
  int folder = folder_fd(d[0]);
  if (folder >= 0) ::unlinkat(folder, f.temp_name.c_str(), 0);
  f.temp_name.clear();
}

std::string Store::temp_name_next() { return kUploadPrefix + std::to_string(++temp_count_); }

bool Store::name_unnamed(int fd, int folder, const std::string& name) {
  // Naming an open file by its descriptor alone (AT_EMPTY_PATH) needs a privilege; its /proc link
  // does not.
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Whether an unnamed file can be made in segments/ and then named (a file system without
// O_TMPFILE, or no /proc, says no). The name it gets is removed again.
bool Store::unnamed_files_work() {
  UniqueFd fd(::openat(segments_fd_.get(), ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600));
  if (!fd) return false;
  const std::string probe = kUploadPrefix + std::string("probe");
  ::unlinkat(segments_fd_.get(), probe.c_str(), 0);
  if (!name_unnamed(fd.get(), segments_fd_.get(), probe)) return false;
  ::unlinkat(segments_fd_.get(), probe.c_str(), 0);
  return true;
}

// The descriptor of segments/<prefix>, made and opened on first use and kept. Under group_mutex_.
int Store::folder_fd(uint8_t prefix) {
  UniqueFd& fd = folders_[prefix];
  if (!fd) {
    std::string name = prefix_hex(prefix);
    if (::mkdirat(segments_fd_.get(), name.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    fd.reset(::openat(segments_fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  return fd.get();
}

bool Store::segment_commit(SegmentFile& f, const Digest& d, uint64_t size) {
  std::string hex = digest_hex(d);
  bool due = false;
  if (!f.temp_name.empty() && !f.fd.close()) return false;
  {
    std::lock_guard<std::mutex> lock(group_mutex_);
    int folder = folder_fd(d[0]);
    if (folder < 0) return false;
    if (has_segment(d, size)) {
      // Held already (another session's upload of it won the race): the file in place may be
      // durable by now, where this one would be a new unsynced file under its name.
      f.fd.reset();
      if (!f.temp_name.empty()) ::unlinkat(folder, f.temp_name.c_str(), 0);
      f.temp_name.clear();
      return true;
    }
    if (segment_sync_ && !marked_) {
      // The mark must be durable before any segment of the group can be.
      UniqueFd mark(::openat(root_fd_.get(), kUnsyncedMark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
      if (!mark || ::fsync(root_fd_.get()) != 0) return false;
      marked_ = true;
    }
    if (f.temp_name.empty() && !name_unnamed(f.fd.get(), folder, hex)) {
      // A file of that name already (another server's on this store): replaced, as a rename
      // replaces it, by way of a temp name.
      if (errno != EEXIST) return false;
      f.temp_name = temp_name_next();
      if (!name_unnamed(f.fd.get(), folder, f.temp_name)) {
        f.temp_name.clear();
        return false;
      }
    }
    if (!f.temp_name.empty()) {
      if (::renameat(folder, f.temp_name.c_str(), folder, hex.c_str()) != 0) return false;
      f.temp_name.clear();
    }
    // An unnamed file is closed once named: naming needs it open.
    if (f.fd && !f.fd.close()) {
      ::unlinkat(folder, hex.c_str(), 0);
      return false;
    }
    index_add(d, size);
    if (!segment_sync_) return true;
    if (group_.segments++ == 0) group_.since_ms = clock_monotonic_ms();
    group_.bytes += size;
    due = group_.segments >= kSyncGroupSegments || group_.bytes >= kSyncGroupBytes;
  }
  // The segment is in place either way; a failed sync shows at the next finalize.
  if (due) sync_pending();
  return true;
}

bool Store::sync_pending() {
  if (!segment_sync_) return true;
  std::lock_guard<std::mutex> sync_lock(sync_mutex_);
  {
    std::lock_guard<std::mutex> lock(group_mutex_);
    group_ = Group();
  }
  // One syncfs makes the data and names of the whole group durable, with the links appended
  // meanwhile: one write of each inode table block and one cache flush, where a sync of each file
  // and folder would cost one of each per file. It reports write errors since Linux 5.8.
  if (!sync_failed_ && ::syncfs(root_fd_.get()) != 0) {
    sync_failed_ = true;
    std::fprintf(stderr, "refserver: cannot sync the store (%s); every finalize is refused from "
                         "now on\n", std::strerror(errno));
  }
  std::lock_guard<std::mutex> lock(group_mutex_);
  if (!sync_failed_ && marked_ && group_.segments == 0) {
    ::unlinkat(root_fd_.get(), kUnsyncedMark, 0);
    marked_ = false;
  }
  return !sync_failed_;
}

void Store::sync_if_due() {
  {
    std::lock_guard<std::mutex> lock(group_mutex_);
    if (group_.segments == 0 || clock_monotonic_ms() - group_.since_ms < kSyncGroupAgeMs) return;
  }
  sync_pending();
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
  catalogs_.insert(given);
  *id = given;
  return true;
}

bool Store::catalog_exists(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return catalogs_.count(id) != 0;
}

// The open links file of catalog id (opened, and made, on first use). Under links_mutex_.
Store::LinksFile* Store::links_file(uint32_t id) {
  auto it = link_files_.find(id);
  if (it != link_files_.end()) return &it->second;
  UniqueFd fd(::open((catalog_dir(id) + "/links").c_str(),
                     O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!fd) return nullptr;
  // A server killed in the middle of an append leaves a line without its end; the next line
  // joined to it would name no segment, and the link it answered would be lost.
  struct stat st;
  char last = '\n';
  if (::fstat(fd.get(), &st) != 0 ||
      (st.st_size > 0 && ::pread(fd.get(), &last, 1, st.st_size - 1) != 1) ||
      (last != '\n' && !fd.write_all("\n", 1)))
    return nullptr;
  if (link_files_.size() >= kOpenLinkFiles) {
    // The file to close goes out with its waiting lines.
    auto old = link_files_.begin();
    links_write(old->first, old->second);
    link_files_.erase(old);
  }
  return &link_files_.emplace(id, LinksFile{std::move(fd), {}}).first->second;
}

// Writes the waiting lines of catalog id's file; lines that cannot be written are noted as lost.
// Under links_mutex_.
bool Store::links_write(uint32_t id, LinksFile& file) {
  bool ok = file.waiting.empty() || file.fd.write_all(file.waiting.data(), file.waiting.size());
  if (!ok) {
    std::fprintf(stderr, "refserver: links of catalog %u, answered as recorded, were lost: %s\n",
                 id, std::strerror(errno));
    links_lost_.insert(id);
    // On disk as well: after a restart the client resends its finalize, and memory has forgotten.
    UniqueFd mark(::open((catalog_dir(id) + "/" + kLinksLostMark).c_str(),
                         O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (!mark || !dir_sync(catalog_dir(id)))
      std::fprintf(stderr, "refserver: cannot record the lost links of catalog %u: %s\n", id,
                   std::strerror(errno));
  }
  file.waiting.clear();
  return ok;
}

bool Store::link_add(uint32_t id, const Digest& d) {
  std::lock_guard<std::mutex> lock(links_mutex_);
  LinksFile* file = links_file(id);
  if (!file) return false;
  file->waiting += digest_hex(d);
  file->waiting += '\n';
  links_waiting_ = true;
  if (file->waiting.size() < kLinksWaitingMax || links_write(id, *file)) return true;
  link_files_.erase(id);  // the next link opens the file afresh
  return false;
}

void Store::links_flush() {
  std::lock_guard<std::mutex> lock(links_mutex_);
  if (!links_waiting_) return;
  links_waiting_ = false;
  for (auto it = link_files_.begin(); it != link_files_.end();) {
    if (links_write(it->first, it->second)) ++it;
    else it = link_files_.erase(it);  // the next link opens the file afresh
  }
}

// Bytes of catalog id's links recorded so far, in its file and waiting. Under links_mutex_.
uint64_t Store::links_recorded(uint32_t id) {
  auto it = link_files_.find(id);
  struct stat st;
  bool in_file = it != link_files_.end() ? ::fstat(it->second.fd.get(), &st) == 0
                                         : ::stat((catalog_dir(id) + "/links").c_str(), &st) == 0;
  uint64_t size = in_file ? static_cast<uint64_t>(st.st_size) : 0;
  return it != link_files_.end() ? size + it->second.waiting.size() : size;
}

bool Store::links_lost(uint32_t id) {
  return links_lost_.count(id) || file_exists(catalog_dir(id) + "/" + kLinksLostMark);
}

bool Store::segment_in_place(const Digest& d) {
  {
    // Read from the store at open or renamed into place since: on disk with that size.
    std::lock_guard<std::mutex> lock(index_mutex_);
    if (index_.count(d)) return true;
  }
  struct stat st;
  if (::fstatat(segments_fd_.get(), segment_name(d).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    return false;
  std::lock_guard<std::mutex> lock(index_mutex_);
  auto [it, added] = index_.emplace(d, static_cast<uint64_t>(st.st_size));
  return added || it->second == static_cast<uint64_t>(st.st_size);
}

bool Store::links_in_place(uint32_t id, uint64_t* checked) {
  *checked = 0;
  UniqueFd fd(::open((catalog_dir(id) + "/links").c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errno == ENOENT;  // nothing linked
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  uint64_t missing = 0;
  std::string first_missing, text;
  std::vector<char> buf(65536);
  std::vector<Digest> lines;
  for (;;) {
    ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.append(buf.data(), static_cast<size_t>(n));
    size_t start = 0, end;
    lines.clear();
    // A last line without its end is still being appended: the round after this one checks it.
    while ((end = text.find('\n', start)) != std::string::npos) {
      Digest d;
      // A line that names no segment is the start of one a crash cut short, never answered.
      if (digest_parse(std::string_view(text).substr(start, end - start), &d)) lines.push_back(d);
      *checked += end - start + 1;
      start = end + 1;
    }
    text.erase(0, start);
    {
      // The digests memory knows, under one lock for the piece read; the others cost a stat.
      std::lock_guard<std::mutex> lock(index_mutex_);
      std::erase_if(lines, [this](const Digest& d) { return index_.contains(d); });
    }
    for (const Digest& d : lines) {
      if (!segment_in_place(d) && missing++ == 0) first_missing = digest_hex(d);
    }
  }
  if (missing == 0) return true;
  std::fprintf(stderr, "refserver: catalog %u links %llu segments that are not in the store "
               "(%s first); its finalize is refused\n", id,
               static_cast<unsigned long long>(missing), first_missing.c_str());
  return false;
}

bool Store::finalize_write(uint32_t id, const uint8_t* record) {
  // The catalog's own segment, as the record names it: a crash may have taken it with its group
  // while the client, which was answered, resends the finalize.
  Digest catalog;
  std::memcpy(catalog.data(), record + 6, catalog.size());
  uint64_t catalog_size = le64(record + 22);
  if (!has_segment(catalog) || !has_segment(catalog, catalog_size)) {
    std::fprintf(stderr, "refserver: the catalog segment %s (%llu bytes) of catalog %u is not in "
                 "the store; its finalize is refused\n", digest_hex(catalog).c_str(),
                 static_cast<unsigned long long>(catalog_size), id);
    return false;
  }
  // Other connections may link to the catalog while it is checked: the record is written only
  // when the last check covered every link recorded by then.
  for (int round = 0; round < kFinalizeRounds; ++round) {
    links_flush();
    {
      std::lock_guard<std::mutex> lock(links_mutex_);
      if (links_lost(id)) return false;
      links_file(id);  // ends a line cut short before a restart, which the check counts as unfinished
    }
    uint64_t checked = 0;
    if (lost_ || !links_in_place(id, &checked) || !sync_pending()) return false;
    std::lock_guard<std::mutex> lock(links_mutex_);
    if (links_lost(id) || links_recorded(id) != checked) continue;
    return write_file_atomic(catalog_dir(id) + "/finalize",
                             std::string(reinterpret_cast<const char*>(record), kFinalizeSize));
  }
  std::fprintf(stderr, "refserver: catalog %u was still being linked after %d checks; its finalize "
               "is refused\n", id, kFinalizeRounds);
  return false;
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
