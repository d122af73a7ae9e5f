#include "connection/catalog_upload.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>

#include "base/md5.h"
#include "connection/messages.h"
#include "connection/retry.h"
#include "connection/segment_upload.h"
#include "run/run_log.h"
#include "run/status.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace vl {

// Standard output: the only place these texts go.
static void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

int server_catalog_upload(RunContext& ctx) {
  FilePtr f = file_open(ctx.catalog_path, "rb");
  if (!f) {
    say("Failed to open catalog!\n");
    return 1;
  }
  if (std::fseek(f.get(), 0, SEEK_END) != 0) {
    say("Failed to read catalog!\n");
    return 1;
  }
  off_t end = ftello(f.get());
  // The segment's size travels as 32 bits: a larger file could only be stored cut short.
  if (end < 0 || static_cast<uint64_t>(end) > UINT32_MAX) {
    say("Failed to read catalog!\n");
    return 1;
  }
  const uint32_t size = static_cast<uint32_t>(end);
  run_log(ctx, "\nPreparing catalog (%" PRIu32 " bytes)... ", size);
  std::unique_ptr<uint8_t[]> content(new (std::nothrow) uint8_t[size ? size : 1]);
  if (!content) {
    f.reset();
    say("Memory allocation failure!\n");
    return 1;
  }
  std::rewind(f.get());
  size_t got = std::fread(content.get(), 1, size, f.get());
  f.reset();
  if (got < size) {
    say("Failed to read catalog!\n");
    return 1;
  }
  FinalizeFields fields;
  md5_digest(content.get(), size, fields.digest);
  say("\nCatalog");
  server_seg_store(ctx, fields.digest, content.get(), size);
  content.reset();
  say("Finalizing catalog... ");

  const RunStats& st = ctx.stats;
  fields.catalog_id = ctx.catalog_id;
  fields.catalog_size = size;
  fields.time = static_cast<uint32_t>(clock_now());
  fields.files = st.files;
  fields.directories = st.directories;
  fields.special_files = st.special_files;
  fields.bytes_total = st.bytes_total;
  fields.bytes_stored = st.bytes_stored;
  fields.bytes_compressed = st.bytes_compressed;
  auto message = finalize_message_build(fields);
  uint8_t reply[kReplyCap];
  int n = server_request(
      ctx, message.data(), static_cast<int>(message.size()), reply, kReplyCap,
      [](const uint8_t* b, int len) {
        return reply_is(b, len, kGroupCatalog, kCodeCatalogFinalizeReply, 3);
      },
      "Kicking Ass!");
  if (n < 0) return 1;
  ctx.stats.bytes_total += size;
  stat_show(ctx.stats, StatField::bytes_total);
  return 0;
}

}  // namespace vl
