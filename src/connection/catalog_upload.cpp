#include "connection/catalog_upload.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stop_token>
#include <system_error>
#include <thread>

#include "base/md5.h"
#include "codec/parallel_deflate.h"
#include "connection/dialogue.h"
#include "connection/messages.h"
#include "connection/retry.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "run/run_control.h"
#include "run/run_log.h"
#include "run/status.h"

namespace vl {

namespace {

// Standard output: the only place these texts go.
// A step of the catalog's upload: on standard output, and in the run log.
void say(RunContext& ctx, const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
  run_log(ctx, "%s", text);
}

// The compressed copy of the catalog, removed when the upload is over.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)), file_(file_open_new(path_)) {}
  ~TempFile() {
    file_.reset();
    file_remove(path_);
  }
  FILE* get() const { return file_.get(); }

 private:
  std::string path_;
  FilePtr file_;
};

// The digest of the whole file, read in pieces. False on a read error, or once `stop` is
// requested.
bool file_digest(FILE* f, uint8_t digest[16], const std::stop_token& stop) {
  Md5Stream md5;
  uint8_t buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (stop.stop_requested()) return false;
    md5.update(buf, got);
  }
  if (std::ferror(f)) return false;
  md5.finish(digest);
  return true;
}

// The finalize message, resent unchanged after a reconnection until the server answers it. Only
// a status 0x00 means the server holds a restorable backup: it refuses one whose segments it
// does not all hold (lost in a crash, say), and that run must not read as completed.
int finalize(RunContext& ctx, const FinalizeFields& fields) {
  auto message = finalize_message_build(fields);
  uint8_t reply[kReplyCap];
  int n = server_request(
      ctx, message.data(), static_cast<int>(message.size()), reply, kReplyCap,
      [](const uint8_t* b, int len) {
        return reply_is(b, len, kGroupCatalog, kCodeCatalogFinalizeReply, 3);
      },
      "Kicking Ass!");
  if (n < 0) return 1;
  if (reply[2] != 0x00) {
    say(ctx, "refused by the server!\n");
    return 1;
  }
  return 0;
}

}  // namespace

int server_catalog_upload(RunContext& ctx, bool* finalize_sent,
                          const std::function<void()>& meanwhile) {
  if (finalize_sent) *finalize_sent = false;
  FilePtr f = file_open(ctx.catalog_path, "rb");
  if (!f) {
    say(ctx, "Failed to open catalog!\n");
    return 1;
  }
  if (std::fseek(f.get(), 0, SEEK_END) != 0) {
    say(ctx, "Failed to read catalog!\n");
    return 1;
  }
  off_t end = ftello(f.get());
  // The segment's size travels as 32 bits: a larger file could only be stored cut short.
  if (end < 0 || static_cast<uint64_t>(end) > UINT32_MAX) {
    say(ctx, "Failed to read catalog!\n");
    return 1;
  }
  const uint32_t size = static_cast<uint32_t>(end);
  run_log(ctx, "\nPreparing catalog (%" PRIu32 " bytes)... ", size);

  // Neither the catalog nor its compressed form is held in memory: the stream is written to a
  // scratch file as the catalog is read, while a thread of its own reads it for the digest.
  // The level-9 stream of a large catalog takes seconds even on every core (its bytes are those
  // of one-shot compression), so it has a thread of its own too, and the caller's other ending
  // steps (the block-hash cache's last batch) run meanwhile instead of after the upload.
  // Made before any thread starts: a failure to make it (out of memory) then leaves no thread
  // unjoined behind it.
  TempFile packed(ctx.catalog_path + ".z");
  FinalizeFields fields;
  bool digested = false;
  std::thread digest;
  try {
    digest = std::thread([&] {
      helper_thread_register(ctx, kHelperSlotCatalogDigest);
      // An exception that left the thread would end the process: the digest fails instead.
      try {
        FilePtr again = file_open(ctx.catalog_path, "rb");
        digested = again && file_digest(again.get(), fields.digest, ctx.cancel.token());
      } catch (...) {  // std::bad_alloc, or any other
        digested = false;
      }
    });
  } catch (const std::system_error&) {
    say(ctx, "Failed to read catalog!\n");
    return 1;
  }
  uint64_t packed_len = 0;
  std::rewind(f.get());
  // Its parsing threads join the run's table, so that a change of priority reaches them too.
  CompressControl control{ctx.cancel.token(), [&ctx](unsigned i) {
                            if (i < kHelperSlotCatalog) helper_thread_register(ctx, static_cast<int>(i));
                          }};
  bool packed_ok = false;
  auto pack = [&] {
    try {
      packed_ok = packed.get() && file_compress(f.get(), size, packed.get(), &packed_len, control);
    } catch (...) {  // std::bad_alloc, or any other
      packed_ok = false;
    }
  };
  std::thread packer;
  try {
    packer = std::thread([&] {
      helper_thread_register(ctx, kHelperSlotCatalogPack);
      pack();
    });
  } catch (...) {  // no thread to be had: the stream is made here
    pack();
  }
  // The threads use this frame: they are joined before anything leaves it.
  std::exception_ptr failed;
  try {
    if (meanwhile) meanwhile();
  } catch (...) {
    failed = std::current_exception();
  }
  if (packer.joinable()) packer.join();
  digest.join();
  // The threads are gone, on every path.
  for (int i = 0; i < kHelperSlotCatalog; i++) ctx.helper_tids[i] = 0;
  ctx.helper_tids[kHelperSlotCatalogPack] = 0;
  ctx.helper_tids[kHelperSlotCatalogDigest] = 0;
  if (failed) std::rethrow_exception(failed);
  // A cancel ends the digest and the stream within a piece's work: the run ends as cancelled.
  if (ctx.cancel == 1) return 1;
  if (!digested) {
    say(ctx, "Failed to read catalog!\n");
    return 1;
  }
  if (!packed_ok) {
    say(ctx, "Failed to compress catalog!\n");
    return 1;
  }
  auto seg = std::make_shared<Segment>();
  std::memcpy(seg->digest, fields.digest, 16);
  seg->size = size;
  // Sent raw unless the level-9 stream is no longer than the content.
  const bool compressed = packed_len <= size;
  seg->payload = [&](SegmentPayload* p) {
    p->compressed = compressed;
    p->len = compressed ? static_cast<uint32_t>(packed_len) : size;
    p->bytes = nullptr;
    p->file = compressed ? packed.get() : f.get();
    return true;
  };
  SegmentEnd how = SegmentEnd::abandoned;
  seg->ended = [&how](Segment&, SegmentEnd e) { how = e; };
  say(ctx, "\nCatalog");
  seg->slot = run_log_reserve(ctx);  // after the line it ends
  bool unreadable = false;
  {
    Dialogue dialogue(ctx, 1);
    if (dialogue.submit(seg) == 0) dialogue.drain();
    unreadable = dialogue.payload_unreadable();
  }
  if (unreadable) say(ctx, "Failed to read catalog!\n");
  if (how != SegmentEnd::linked) return 1;
  say(ctx, "Finalizing catalog... ");

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
  if (finalize_sent) *finalize_sent = true;
  if (finalize(ctx, fields) != 0) return 1;
  ctx.stats.bytes_total += size;
  stat_show(ctx.stats, StatField::bytes_total);
  return 0;
}

}  // namespace vl
