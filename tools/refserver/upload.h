// Receiving one segment upload: the payload arrives in pieces, is inflated when flagged compressed,
// digested and kept (in memory up to kHeldInMemoryMax bytes of content, else in a temp file of the
// store) as it comes; only a payload that checks out (length as announced, inflates to exactly the
// announced size, MD5 as announced) is moved into the store. Used by one connection thread; a
// content kept in a temp file is digested and written by a thread of the upload's own, while the
// connection's thread reads and inflates the pieces after it.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "digest.h"
#include "platform/worker_queue.h"
#include "store.h"

namespace vl::ref {

struct UploadHeader {
  Digest digest{};
  uint32_t size = 0;          // uncompressed size
  uint8_t compressed = 0;     // 1 compressed, 0 raw
  uint8_t level = 0;          // 9 when compressed, 0 otherwise
  uint32_t payload_size = 0;  // bytes that follow in data messages
};

// Parses the 28-byte upload header message. Returns an empty text when it is well formed, else
// the reason (flag other than 0 or 1, wrong level, raw payload whose length differs from the size,
// compressed payload longer than the content).
std::string upload_header_parse(const uint8_t* msg, size_t len, UploadHeader* out);

// Contents up to this size are kept in memory until they are stored.
constexpr uint32_t kHeldInMemoryMax = 4u << 20;
// A larger one is handed to the disk's writeback in steps of this many bytes as it is written.
constexpr uint64_t kWriteBackBytes = 4u << 20;
// Content inflated but not yet digested and written, beyond which the connection waits.
constexpr size_t kSinkQueuedMax = 16u << 20;

// What one connection's uploads use one after another: the inflater (reset for each upload, not
// set up and freed again), its output buffer and the digest.
struct UploadTools {
  UploadTools();
  ~UploadTools();
  UploadTools(const UploadTools&) = delete;
  UploadTools& operator=(const UploadTools&) = delete;
  z_stream zs{};
  bool zs_ready = false;
  std::vector<uint8_t> out;
  Md5 md5;
};

class UploadReceiver {
 public:
  // tools serves this upload until the receiver is gone.
  UploadReceiver(Store& store, const UploadHeader& header, UploadTools& tools);
  ~UploadReceiver();  // removes the temp file unless committed
  // False when the upload cannot even start (no temp file, no inflater): answer it as an error.
  bool ready() const { return (in_memory_ || file_.fd) && (!header_.compressed || zs_ready_); }
  UploadReceiver(const UploadReceiver&) = delete;
  UploadReceiver& operator=(const UploadReceiver&) = delete;

  // Takes the next piece of payload. False (with *error) when the upload is bad: more payload than
  // announced, not a zlib stream, content beyond the announced size, or a write failure.
  bool feed(const uint8_t* data, size_t size, std::string* error);
  // True when the whole announced payload has arrived.
  bool payload_complete() const { return received_ == header_.payload_size; }
  // Checks the finished upload and moves it into the store, or, for a content held in memory,
  // leaves that to the caller (take_held). False (with *error) when it does not check out or
  // cannot be stored; nothing is stored then.
  bool finish(std::string* error);
  // True after a finish() that left the content, held in memory, to be stored by the caller.
  bool store_pending() const { return in_memory_ && checked_ && !committed_; }
  // Hands that content over; the upload then counts as stored.
  std::vector<uint8_t> take_held();
  const UploadHeader& header() const { return header_; }

 private:
  bool write_content(const uint8_t* data, size_t size, std::string* error);
  // Digests content and writes it to the temp file (on the sink's thread when there is one).
  void sink(const uint8_t* data, size_t size);
  // Waits for the sink's thread to digest and write everything given to it, then stops it.
  // False (with *error) when it failed.
  bool sink_finish(std::string* error);
  std::string sink_failure();

  Store& store_;
  UploadHeader header_;
  SegmentFile file_;  // large uploads: written here as they come
  bool committed_ = false;
  bool in_memory_ = false;
  bool checked_ = false;
  std::vector<uint8_t> held_;  // the content, when held in memory
  bool failed_ = false;
  uint64_t received_ = 0;   // payload bytes
  uint64_t content_ = 0;    // uncompressed bytes
  uint64_t written_back_ = 0;  // content handed to the disk's writeback so far (temp file)
  uint64_t sunk_ = 0;          // content digested and written to the temp file so far
  std::unique_ptr<WorkerQueue<std::vector<uint8_t>>> sink_;
  std::mutex sink_mu_;
  std::string sink_error_;  // why the sink's thread failed
  Md5& md5_;
  z_stream& zs_;
  bool zs_ready_ = false;
  bool zs_ended_ = false;   // the zlib stream has reached its end
  std::vector<uint8_t>& out_;
};

}  // namespace vl::ref
