// Throughput of the local stores on a scratch data directory: catalog rows (files, then
// segments, committed by catalog_finish), the cache queue with its batched flushes, and cache
// look-ups with their digests, block by block and with one query per file. Prints rows per
// second for each; no pass or fail.
#include <ftw.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "stores/catalog.h"
#include "stores/config_db.h"
#include "stores/md5cache.h"
#include "stores/profile_db.h"

namespace {

constexpr int kCatalogFiles = 100000;
constexpr int kFilesPerDir = 100;
constexpr int kCatalogSegs = 1000000;
constexpr int kCacheFiles = 100000;
constexpr uint32_t kBlock = 1048576;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void report(const char* what, long long rows, double s) {
  std::printf("%-44s %9lld rows %8.2f s %10.0f rows/s\n", what, rows, s, rows / s);
}

void digest_for(uint64_t n, uint8_t d[16]) {
  for (int i = 0; i < 16; ++i) d[i] = static_cast<uint8_t>((n >> ((i % 8) * 8)) ^ (i * 37));
}

std::string file_path(int i) {
  return "/bench/dir" + std::to_string(i / kFilesPerDir) + "/file-" + std::to_string(i) + ".dat";
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  vl::owner_only_umask();
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vornlake-bench-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) return 1;
  std::string dir = buf.data();
  vl::data_dir_set(dir);
  if (vl::md5cache_open() != 0 || vl::config_open() != 0) return 1;

  vl::ProfileSettings p;
  p.tag = "bench";
  p.server = "localhost";
  p.port = 5420;
  p.login = "bench";
  p.password = "bench";
  p.include_rules = {{"/bench"}};
  if (vl::profile_create(p) != 0) return 1;
  vl::RunContext ctx;
  ctx.profile = vl::profile_load("bench", false);
  ctx.catalog_id = 1;
  if (vl::catalog_open(ctx) != 0) return 1;

  std::printf("stores benchmark, data directory %s\n", dir.c_str());
  vl::FilespecRecord dir_rec{1, 0x10, 040755, 1000, 1000, 4096, 1, 2, 3};
  vl::FilespecRecord file_rec{2, 0, 0100644, 1000, 1000, 4 * uint64_t(kBlock), 1, 2, 3};
  vl::catalog_filespec_insert("/bench", dir_rec, kBlock);
  for (int d = 0; d < kCatalogFiles / kFilesPerDir; ++d)
    vl::catalog_filespec_insert("/bench/dir" + std::to_string(d), dir_rec, kBlock);

  auto t0 = std::chrono::steady_clock::now();
  std::vector<uint32_t> ids;
  ids.reserve(kCatalogFiles);
  for (int i = 0; i < kCatalogFiles; ++i) ids.push_back(vl::catalog_filespec_insert(file_path(i), file_rec, kBlock));
  report("catalog file rows (catalog_filespec_insert)", kCatalogFiles, seconds_since(t0));

  t0 = std::chrono::steady_clock::now();
  uint8_t digest[16];
  const int segs_per_file = kCatalogSegs / kCatalogFiles;
  for (int i = 0; i < kCatalogSegs; ++i) {
    digest_for(static_cast<uint64_t>(i), digest);
    vl::catalog_seg_insert(ids[i / segs_per_file], uint64_t(i % segs_per_file) * kBlock, kBlock, digest);
  }
  report("catalog segment rows (catalog_seg_insert)", kCatalogSegs, seconds_since(t0));
  t0 = std::chrono::steady_clock::now();
  vl::catalog_finish(ctx);
  vl::catalog_close();
  std::printf("%-44s %24.2f s\n", "catalog finish and close (the commit)", seconds_since(t0));

  t0 = std::chrono::steady_clock::now();
  long long blocks = 0;
  for (int i = 0; i < kCacheFiles; ++i) {
    int n = 1 + i % 4;
    vl::PendingCacheFile* f =
        vl::md5cache_pending_file_new(file_path(i), uint64_t(n) * kBlock, kBlock, 1000, 2000);
    for (int b = 0; b < n; ++b) {
      digest_for(static_cast<uint64_t>(i) * 4 + b, digest);
      vl::md5cache_pending_block_add(f, uint64_t(b) * kBlock, kBlock, digest);
    }
    blocks += n;
    vl::md5cache_pending_file_done(f);
    if (vl::md5cache_flush_due()) vl::md5cache_flush();
  }
  vl::md5cache_flush();
  double s = seconds_since(t0);
  report("cache files queued and flushed", kCacheFiles, s);
  report("  their blocks", blocks, s);

  // Every cached file looked up by its path, its digests read by `digests_of` (a count).
  auto look_up = [&](const char* what,
                     const std::function<long long(uint32_t, uint32_t)>& digests_of) {
    auto start = std::chrono::steady_clock::now();
    long long found = 0, digests = 0;
    for (int i = 0; i < kCacheFiles; ++i) {
      uint32_t id = vl::md5cache_filespec_find(file_path(i));
      if (!id) continue;
      vl::CacheFileInfo info;
      vl::md5cache_filespec_getdata(id, &info);
      ++found;
      digests += digests_of(id, info.blocksize);
    }
    double took = seconds_since(start);
    report("cache path look-ups (find + getdata)", found, took);
    report(what, digests, took);
  };
  look_up("  their digests (get_md5 + get_size)", [&](uint32_t id, uint32_t blocksize) {
    long long n = 0;
    for (uint64_t off = 0; vl::md5cache_segs_get_md5(id, off, digest) == 0; off += blocksize) {
      vl::md5cache_segs_get_size(id, off);
      ++n;
    }
    return n;
  });
  vl::md5cache_read_end();
  look_up("  their digests (blocks_get, one query)", [](uint32_t id, uint32_t blocksize) {
    return static_cast<long long>(vl::md5cache_blocks_get(id, blocksize).size());
  });
  vl::md5cache_read_end();

  vl::md5cache_close();
  vl::config_close();
  ::nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
