// Upload throughput over loopback TLS to the reference server: 256 MiB each of random, nearly
// zero and text-like 1 MiB blocks as new segments, then the same blocks again as duplicates
// (query and link only). Prints MB/s, segments/s and where the time goes. The server keeps a
// throw-away store without fsync, so the figures are the client's and the connection's.
//
// Usage: bench_upload_bench [MiB per kind, default 256] [random|zero|text]
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "connection/connect.h"
#include "connection/identifiers.h"
#include "base/md5.h"
#include "connection/retry.h"
#include "codec/segment_compress.h"
#include "connection/segment_upload.h"
#include "connection/transport.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"

namespace {

constexpr uint32_t kBlock = 1048576;

// Monotonic milliseconds with microsecond resolution.
double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string dir_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

std::string self_dir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  return dir_of(std::string(buf, static_cast<size_t>(n)));
}

int run_wait(const std::vector<std::string>& argv) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> a;
    for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    ::execv(a[0], a.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Server {
  pid_t pid = -1;
  int port = 0;
  ~Server() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

bool server_start(Server* s, const std::string& bin, const std::string& certs, const std::string& store) {
  int out[2];
  if (::pipe(out) != 0) return false;
  s->pid = ::fork();
  if (s->pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<std::string> argv = {bin, "serve", "--store", store, "--cert", certs + "/server.crt",
                                     "--key", certs + "/server.key", "--port", "0",
                                     "--account", "alice:secret", "--profile", "bench:1", "--no-fsync"};
    std::vector<char*> a;
    for (auto& x : argv) a.push_back(x.data());
    a.push_back(nullptr);
    ::execv(a[0], a.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  size_t colon = line.rfind(':');
  if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) return false;
  s->port = std::atoi(line.c_str() + colon + 1);
  return s->port > 0;
}

enum class Kind { random, zero, text };

// Block i of a kind: distinct per block, so every block is a new segment on the first pass.
void block_fill(Kind kind, uint32_t i, std::vector<uint8_t>& b) {
  std::mt19937_64 rng(i * 3 + static_cast<uint32_t>(kind) + 1);
  switch (kind) {
    case Kind::random:
      for (size_t k = 0; k < b.size(); k += 8) {
        uint64_t v = rng();
        std::memcpy(&b[k], &v, 8);
      }
      break;
    case Kind::zero:
      std::fill(b.begin(), b.end(), 0);
      std::memcpy(&b[0], &i, sizeof i);
      break;
    case Kind::text: {
      // Words of a 4096-word vocabulary, drawn with a skewed (roughly Zipf) frequency, in lines
      // of about 70 characters: compresses like prose or source text, not like a repeated phrase.
      static const std::vector<std::string> vocabulary = [] {
        std::mt19937 wr(99);
        std::vector<std::string> v;
        for (int w = 0; w < 4096; ++w) {
          std::string word;
          size_t len = 2 + wr() % 9;
          for (size_t c = 0; c < len; ++c) word += static_cast<char>('a' + wr() % 26);
          v.push_back(word);
        }
        return v;
      }();
      size_t k = 0, line = 0;
      while (k < b.size()) {
        double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        const std::string& w = vocabulary[static_cast<size_t>(std::pow(4096.0, u)) - 1];
        std::string piece = w + (line + w.size() > 70 ? "\n" : " ");
        line = piece.back() == '\n' ? 0 : line + piece.size();
        size_t n = std::min(piece.size(), b.size() - k);
        std::memcpy(&b[k], piece.data(), n);
        k += n;
      }
      break;
    }
  }
}

const char* kind_name(Kind k) {
  return k == Kind::random ? "random" : k == Kind::zero ? "zero" : "text";
}

struct Figures {
  double md5_ms = 0, compress_ms = 0, store_ms = 0;
};

Figures pass(vl::RunContext& ctx, Kind kind, uint32_t blocks, bool measure_compress) {
  Figures f;
  std::vector<uint8_t> b(kBlock), packed(vl::compress_capacity(kBlock));
  uint8_t digest[16];
  for (uint32_t i = 0; i < blocks; ++i) {
    block_fill(kind, i, b);
    double t0 = now_ms();
    vl::md5_digest(b.data(), b.size(), digest);
    double t1 = now_ms();
    if (measure_compress) {
      size_t len = 0;
      vl::segment_compress(b.data(), kBlock, packed.data(), packed.size(), &len);
    }
    double t2 = now_ms();
    vl::server_seg_store(ctx, digest, b.data(), kBlock);
    double t3 = now_ms();
    f.md5_ms += t1 - t0;
    f.compress_ms += t2 - t1;
    f.store_ms += t3 - t2;
  }
  return f;
}

void print(const char* label, Kind kind, uint32_t blocks, const Figures& f, bool with_compress) {
  double s = f.store_ms / 1000.0;
  double mib = blocks;
  std::printf("%-10s %-6s %6u MiB  store %7.2f s  %8.1f MB/s  %7.1f segs/s  md5 %6.2f s",
              label, kind_name(kind), blocks, s, mib * 1.048576 / s, blocks / s, f.md5_ms / 1000.0);
  if (with_compress)
    std::printf("  compress %6.2f s  network+server %6.2f s", f.compress_ms / 1000.0,
                (f.store_ms - f.compress_ms) / 1000.0);
  std::printf("\n");
  std::fflush(stdout);
}

// Small segments (the blocks of small files): compress2's per-call set-up against the deflate
// state kept per thread. Same output bytes; only the time differs.
void compress_setup_figures() {
  constexpr int kCount = 20000;
  std::vector<uint8_t> b(kBlock), packed(vl::compress_capacity(kBlock));
  block_fill(Kind::text, 1, b);
  const uint32_t size = 2048;
  double t0 = now_ms();
  for (int i = 0; i < kCount; ++i) {
    uLongf len = packed.size();
    compress2(packed.data(), &len, b.data() + (i % 256) * 4096, size, 9);
  }
  double t1 = now_ms();
  for (int i = 0; i < kCount; ++i) {
    size_t len = 0;
    vl::segment_compress(b.data() + (i % 256) * 4096, size, packed.data(), packed.size(), &len);
  }
  double t2 = now_ms();
  std::printf("%d segments of %u bytes: compress2 %.2f s, kept deflate state %.2f s\n", kCount, size,
              (t1 - t0) / 1000.0, (t2 - t1) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
  vl::owner_only_umask();
  ::signal(SIGPIPE, SIG_IGN);
  uint32_t blocks = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 256;
  if (blocks == 0) blocks = 256;
  std::string only = argc > 2 ? argv[2] : "";  // random, zero or text: that kind alone

  char tmpl[] = "/tmp/vornlake-upload-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  std::string tmp = tmpl;
  std::string certs = tmp + "/certs";
  std::string source_dir = dir_of(dir_of(__FILE__));
  if (run_wait({source_dir + "/scripts/make-certs", certs}) != 0) {
    std::fprintf(stderr, "make-certs failed\n");
    return 1;
  }
  int rc = 1;
  {
    Server server;
    if (!server_start(&server, self_dir() + "/vornlake-refserver", certs, tmp + "/store")) {
      std::fprintf(stderr, "reference server did not start\n");
    } else {
      vl::install_dir_set(certs);
      vl::data_dir_set(tmp);
      vl::RunContext ctx;
      ctx.profile = std::make_unique<vl::ProfileSettings>();
      ctx.profile->tag = "bench";
      ctx.profile->server = "127.0.0.1";
      ctx.profile->port = static_cast<uint16_t>(server.port);
      ctx.profile->login = "alice";
      ctx.profile->password = "secret";
      if (vl::ssl_init() == 0 && vl::server_connect(ctx) == 0 && vl::server_get_profile_id(ctx) == 0 &&
          vl::server_alloc_catalog_id(ctx) == 0) {
        std::printf("upload over loopback TLS, %u blocks of 1 MiB per kind\n", blocks);
        for (Kind k : {Kind::random, Kind::zero, Kind::text}) {
          if (!only.empty() && only != kind_name(k)) continue;
          uint64_t stored_before = ctx.stats.bytes_stored, packed_before = ctx.stats.bytes_compressed;
          Figures f = pass(ctx, k, blocks, true);
          print("new", k, blocks, f, true);
          std::printf("%-10s %-6s payload %.1f%% of content\n", "", kind_name(k),
                      100.0 * static_cast<double>(ctx.stats.bytes_compressed - packed_before) /
                          static_cast<double>(ctx.stats.bytes_stored - stored_before));
          f = pass(ctx, k, blocks, false);
          print("duplicate", k, blocks, f, false);
        }
        if (only.empty()) compress_setup_figures();
        std::printf("segments %u, stored %u, duped %u\n", ctx.stats.segs.load(),
                    ctx.stats.segs_stored.load(), ctx.stats.segs_duped.load());
        vl::server_disconnect(ctx);
        rc = 0;
      } else {
        std::fprintf(stderr, "could not connect to the reference server\n");
      }
      vl::ssl_shutdown();
    }
  }
  ::nftw(tmp.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); },
         32, FTW_DEPTH | FTW_PHYS);
  return rc;
}
