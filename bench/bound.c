// bench_bound DIR: the single-thread bound of a backup's own work on a tree. Walks DIR (symbolic
// links are not followed), reads every regular file in 1 MiB blocks, takes each block's MD5 and
// deflates it at level 9 into a buffer, with one deflate state reset per block. Prints the seconds
// it took, then the bytes, files and compressed bytes. Exit 1 when a file cannot be read.
#define _XOPEN_SOURCE 700
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <zlib.h>

enum { kBlockBytes = 1 << 20 };

static unsigned char* block_in;
static unsigned char* block_out;
static uLong block_out_cap;
static z_stream deflater;
static EVP_MD_CTX* md_ctx;
static EVP_MD* md5;
static uint64_t total_bytes, total_files, packed_bytes;
static int read_failures;

// Hashes and compresses block_in[0, size). Returns 0, or -1 when the library refuses.
static int block_process(size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned digest_len = 0;
  if (!EVP_DigestInit_ex(md_ctx, md5, NULL) || !EVP_DigestUpdate(md_ctx, block_in, size) ||
      !EVP_DigestFinal_ex(md_ctx, digest, &digest_len))
    return -1;
  if (deflateReset(&deflater) != Z_OK) return -1;
  deflater.next_in = block_in;
  deflater.avail_in = (uInt)size;
  deflater.next_out = block_out;
  deflater.avail_out = (uInt)block_out_cap;
  if (deflate(&deflater, Z_FINISH) != Z_STREAM_END) return -1;
  packed_bytes += deflater.total_out;
  return 0;
}

// Reads up to one block; a short read before the end of the file must not cut a block short,
// or the bound would hash and compress more, smaller blocks than a backup does.
static ssize_t block_read(int fd) {
  size_t have = 0;
  while (have < kBlockBytes) {
    ssize_t n = read(fd, block_in + have, kBlockBytes - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    have += (size_t)n;
  }
  return (ssize_t)have;
}

static int visit(const char* path, const struct stat* st, int type, struct FTW* where) {
  (void)where;
  if (type != FTW_F || !S_ISREG(st->st_mode)) return 0;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "bench_bound: %s: %s\n", path, strerror(errno));
    read_failures++;
    return 0;
  }
  ssize_t n;
  while ((n = block_read(fd)) > 0) {
    if (block_process((size_t)n) != 0) {
      fprintf(stderr, "bench_bound: MD5 or deflate failed\n");
      close(fd);
      return 1;  // stops the walk: the library itself is broken
    }
    total_bytes += (uint64_t)n;
  }
  if (n < 0) {
    fprintf(stderr, "bench_bound: %s: %s\n", path, strerror(errno));
    read_failures++;
  }
  close(fd);
  total_files++;
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench_bound DIR\n");
    return 2;
  }
  // Fetched once: an implicit fetch per digest would add a provider look-up per block.
  md5 = EVP_MD_fetch(NULL, "MD5", NULL);
  md_ctx = EVP_MD_CTX_new();
  block_in = malloc(kBlockBytes);
  block_out_cap = compressBound(kBlockBytes);
  block_out = malloc(block_out_cap);
  if (!md5 || !md_ctx || !block_in || !block_out ||
      deflateInit(&deflater, Z_BEST_COMPRESSION) != Z_OK) {
    fprintf(stderr, "bench_bound: cannot set up MD5 or deflate\n");
    return 1;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int walk = nftw(argv[1], visit, 64, FTW_PHYS);
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (walk != 0) {
    if (walk < 0) fprintf(stderr, "bench_bound: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  double seconds =
      (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("%.3f s  %llu bytes  %llu files  %llu compressed\n", seconds,
         (unsigned long long)total_bytes, (unsigned long long)total_files,
         (unsigned long long)packed_bytes);
  deflateEnd(&deflater);
  EVP_MD_CTX_free(md_ctx);
  EVP_MD_free(md5);
  free(block_in);
  free(block_out);
  return read_failures ? 1 : 0;
}
