#include "connection/dialogue.h"

#include <atomic>
#include <cstring>

#include "connection/messages.h"
#include "connection/retry.h"
#include "connection/transport.h"
#include "platform/settings.h"
#include "run/run_control.h"
#include "run/status.h"

namespace vl {

namespace {

constexpr const char* kStatusWorking = "Kicking Ass!";
constexpr int kStatusReplyMin = 3;
constexpr int kUploadHeaderReplyMin = 7;
// Requests that may sit in the write buffer while the worker goes on (a dozen queries or links).
constexpr size_t kFlushBytes = 512;

}  // namespace

static std::atomic<int> g_request_window{kRequestWindowDefault};

void request_window_set(int window) { g_request_window = window < 1 ? 1 : window; }
int request_window() { return g_request_window.load(); }

Dialogue::Dialogue(RunContext& ctx, int window)
    : ctx_(ctx), window_(window < 1 ? 1 : static_cast<size_t>(window)) {}

Dialogue::~Dialogue() { abandon(); }

void Dialogue::abandon() {
  for (auto* q : {&unanswered_, &followups_, &fresh_}) {
    for (Request& r : *q) end(r, SegmentEnd::abandoned);
    q->clear();
  }
}

// The digest as a key: no string to allocate for every look-up.
static std::array<uint8_t, 16> digest_key(const Segment& seg) {
  std::array<uint8_t, 16> k;
  std::memcpy(k.data(), seg.digest, k.size());
  return k;
}

size_t Dialogue::DigestKeyHash::operator()(const DigestKey& k) const {
  size_t h;
  std::memcpy(&h, k.data(), sizeof h);  // a digest's bytes are spread evenly as they are
  return h;
}

void Dialogue::uploading_add(const Segment& seg, int delta) {
  auto it = uploading_.find(digest_key(seg));
  if (it == uploading_.end()) {
    if (delta > 0) uploading_.emplace(digest_key(seg), delta);
    return;
  }
  it->second += delta;
  if (it->second <= 0) uploading_.erase(it);
}

bool Dialogue::uploading(const Segment& seg) const {
  return uploading_.count(digest_key(seg)) != 0;
}

void Dialogue::release(Segment& seg) {
  if (seg.released) return;
  seg.released = true;
  if (seg.release) seg.release();
}

// The segment's dialogue is over: payload released, owner told, slot closed. A segment may be in
// several queued requests (an upload and its link); only its last request ends it.
void Dialogue::end(Request& r, SegmentEnd how) {
  Segment& seg = *r.seg;
  if (how == SegmentEnd::abandoned && r.step != Step::link && seg.link_queued) return;
  release(seg);
  if (seg.ended) seg.ended(seg, how);
  run_log_close(ctx_, seg.slot);
  seg.ended = nullptr;
}

void Dialogue::queue_link(const std::shared_ptr<Segment>& seg) {
  if (seg->link_queued) return;
  seg->link_queued = true;
  followups_.push_back({Step::link, seg});
}

Dialogue::Result Dialogue::send(Request& r) {
  Segment& seg = *r.seg;
  RunStats& st = ctx_.stats;
  int n = 0;
  switch (r.step) {
    case Step::query: {
      if (!seg.counted) {
        seg.counted = true;
        ++st.segs;
        stat_show(st, StatField::segs);
      }
      auto m = seg_query_build(seg.digest, seg.size);
      n = server_send(ctx_, m.data(), static_cast<int>(m.size()), kTimeoutS);
      break;
    }
    case Step::link: {
      auto m = seg_link_build(seg.digest, ctx_.catalog_id);
      n = server_send(ctx_, m.data(), static_cast<int>(m.size()), kTimeoutS);
      break;
    }
    case Step::upload: {
      if (!seg.payload_ready) {
        if (!seg.payload || !seg.payload(&seg.sent)) return kStop;
        seg.payload_ready = true;
        st.bytes_stored += seg.size;
        ++st.segs_stored;
        st.bytes_compressed += seg.sent.len;
        stat_show(st, StatField::segs_stored);
        stat_show(st, StatField::bytes_compressed);
        stat_show(st, StatField::bytes_stored);
      }
      auto m = upload_header_build(seg.digest, seg.size, seg.sent.compressed, seg.sent.len);
      n = server_send(ctx_, m.data(), static_cast<int>(m.size()), kTimeoutS);
      break;
    }
  }
  if (n <= 0) return ctx_.cancel == 1 ? kStop : kFailed;
  if (r.step == Step::upload) barrier_ = ctx_.conn.header_unanswered = true;
  unanswered_.push_back(r);
  return kOk;
}

// The data messages of an upload whose header was answered 0x00, at most 4096 payload bytes
// each, with the pause point after each message.
Dialogue::Result Dialogue::send_data(Request& r) {
  const SegmentPayload& p = r.seg->sent;
  if (p.file && std::fseek(p.file, 0, SEEK_SET) != 0) return kFailed;
  uint8_t message[2 + kSegDataMax];
  message[0] = kGroupSegment;
  message[1] = kCodeSegData;
  for (uint32_t off = 0; off < p.len;) {
    uint32_t piece = p.len - off < kSegDataMax ? p.len - off : static_cast<uint32_t>(kSegDataMax);
    if (p.file) {
      if (std::fread(message + 2, 1, piece, p.file) != piece) return kFailed;
    } else {
      std::memcpy(message + 2, p.bytes + off, piece);
    }
    if (server_send(ctx_, message, static_cast<int>(piece + 2), kTimeoutS) <= 0)
      return ctx_.cancel == 1 ? kStop : kFailed;
    off += piece;
    ctx_.stats.file_bytes_sent += piece;
    stat_show(ctx_.stats, StatField::file_bytes_sent);
    pause_wait(ctx_);
    if (ctx_.cancel == 1) return kStop;
  }
  return kOk;
}

Dialogue::Result Dialogue::read_reply() {
  Request& r = unanswered_.front();
  Segment& seg = *r.seg;
  uint8_t code = kCodeSegLinkReply;
  int min_len = kStatusReplyMin;
  int cap = kReplyCap;
  if (r.step == Step::query) {
    code = kCodeSegQueryReply;
  } else if (r.step == Step::upload) {
    code = r.data_sent ? kCodeSegUploadComplete : kCodeSegUploadHeaderReply;
    min_len = r.data_sent ? kStatusReplyMin : kUploadHeaderReplyMin;
    cap = kUploadReplyCap;
  }
  uint8_t buf[kUploadReplyCap];
  int n = server_receive(ctx_, buf, cap, kTimeoutS);
  if (ctx_.cancel == 1) return kStop;
  if (!reply_is(buf, n, kGroupSegment, code, min_len)) return kFailed;
  server_reply_accepted(ctx_);
  ++replies_;
  RunStats& st = ctx_.stats;

  switch (r.step) {
    case Step::query: {
      Request done = r;
      unanswered_.pop_front();
      if (buf[2] == 0xFF || uploading(seg)) {
        run_log_append(ctx_, seg.slot, " exists.\n");
        if (!seg.payload_ready) {  // counted as stored already when an upload went before
          st.bytes_duped += seg.size;
          ++st.segs_duped;
          stat_show(st, StatField::segs_duped);
        }
        release(seg);
        queue_link(done.seg);
      } else {
        uploading_add(seg, 1);
        followups_.push_back({Step::upload, done.seg});
      }
      return kOk;
    }
    case Step::upload: {
      if (r.data_sent) {
        run_log_append(ctx_, seg.slot, "OK\n");
        release(seg);
        uploading_add(seg, -1);
        unanswered_.pop_front();
        return kOk;
      }
      ctx_.conn.header_unanswered = false;  // the reply is read, whatever it says
      switch (buf[6]) {
        case 0x00: {
          barrier_ = false;
          run_log_append(ctx_, seg.slot, " upload... ");
          Result res = send_data(r);
          if (res != kOk) return res;
          r.data_sent = true;
          // The link goes out behind the data, without waiting for the upload's own reply.
          queue_link(r.seg);
          return kOk;
        }
        case 0xFF: {
          barrier_ = false;
          run_log_append(ctx_, seg.slot, " exists (blah!)\n");
          release(seg);
          uploading_add(seg, -1);
          std::shared_ptr<Segment> held = r.seg;
          unanswered_.pop_front();
          queue_link(held);
          return kOk;
        }
        default:
          run_log_append(ctx_, seg.slot, " Unknown error\n");
          return kFailed;
      }
    }
    case Step::link: {
      Request done = r;
      unanswered_.pop_front();
      end(done, buf[2] == 0x00 ? SegmentEnd::linked : SegmentEnd::link_refused);
      return kOk;
    }
  }
  return kFailed;
}

// Reconnects and puts every unanswered request back in front of the queue, in order. Returns 0,
// or 1 when the run must stop (cancelled, or the login refused).
int Dialogue::recover() {
  int r = server_recover(ctx_, kStatusWorking);
  if (r != kReconnectOk) {
    refused_ = r == kReconnectRefused;
    stopped_ = true;
    return 1;
  }
  barrier_ = false;
  // A failed upload attempt starts again from its query, as the one-at-a-time dialogue does; its
  // link, already queued behind the data, is queued again behind the new upload.
  for (Request& r : unanswered_) {
    if (r.step != Step::upload) continue;
    uploading_add(*r.seg, -1);
    r.step = Step::query;
    r.data_sent = false;
    r.seg->link_queued = false;
  }
  auto relinked = [](const Request& r) {
    return r.step == Step::link && !r.seg->link_only && !r.seg->link_queued;
  };
  std::erase_if(unanswered_, relinked);
  std::erase_if(followups_, relinked);
  for (auto it = unanswered_.rbegin(); it != unanswered_.rend(); ++it) followups_.push_front(*it);
  unanswered_.clear();
  return 0;
}

// The replies that arrived together are taken in together: requests then leave in batches rather
// than one per reply, and an upload header's reply among them is not left waiting (the server
// waits for that upload's data) while the worker goes on with the next file.
Dialogue::Result Dialogue::read_replies() {
  Result r = read_reply();
  while (r == kOk && !unanswered_.empty() && server_reply_buffered(ctx_)) r = read_reply();
  return r;
}

Dialogue::Result Dialogue::pump() {
  const bool barrier_before = barrier_;
  for (;;) {
    if (stopped_ || ctx_.cancel == 1) return kStop;
    std::deque<Request>* queue = !followups_.empty() ? &followups_ : !fresh_.empty() ? &fresh_ : nullptr;
    if (!queue) break;
    if (barrier_ || unanswered_.size() >= window_) {
      // A reply that has not arrived yet is waited for only when the queue is long: otherwise
      // the worker reads and digests the next files while the server works.
      if (fresh_.size() < window_) {
        // An upload header sent just now cannot have been answered yet.
        if (barrier_ && !barrier_before) break;
        int ready = server_reply_ready(ctx_, kTimeoutS);
        if (ready == 0) break;
        if (ready < 0) {
          if (ctx_.cancel == 1) return kStop;
          if (recover() != 0) return kStop;
          continue;
        }
      }
      Result r = read_replies();
      if (r == kStop) return kStop;
      if (r == kFailed && recover() != 0) return kStop;
      continue;
    }
    Request next = queue->front();
    queue->pop_front();
    Result r = send(next);
    if (r == kOk) continue;
    followups_.push_front(next);  // not sent: it keeps its place
    if (r == kStop) return kStop;
    if (recover() != 0) return kStop;
  }
  // What the server is to answer next leaves now; a few requests may wait for company.
  if (!unanswered_.empty() && (barrier_ || server_unflushed(ctx_) >= kFlushBytes)) {
    if (server_flush(ctx_, kTimeoutS) <= 0) {
      if (ctx_.cancel == 1) return kStop;
      if (recover() != 0) return kStop;
      return pump();
    }
  }
  return kOk;
}

int Dialogue::submit(std::shared_ptr<Segment> seg) {
  if (stopped_) return 1;
  fresh_.push_back({seg->link_only ? Step::link : Step::query, seg});
  if (seg->link_only) seg->link_queued = true;
  return pump() == kOk ? 0 : 1;
}

int Dialogue::poll() {
  // Between files only an upload header's reply is worth a look: the server waits for the data.
  while (barrier_ && !stopped_) {
    int ready = server_reply_ready(ctx_, kTimeoutS);
    if (ready == 0) return 0;
    Result r = ready < 0 ? (ctx_.cancel == 1 ? kStop : kFailed) : read_replies();
    if (r == kStop) {
      stopped_ = true;
      return 1;
    }
    if (r == kFailed && recover() != 0) return 1;
    if (!barrier_) return pump() == kOk ? 0 : 1;
  }
  return stopped_ ? 1 : 0;
}

int Dialogue::wait_until(const std::function<bool()>& done) {
  for (;;) {
    if (pump() != kOk) return 1;
    if (done && done()) return 0;
    if (unanswered_.empty()) return 0;
    Result r = read_replies();
    if (r == kStop) {
      stopped_ = true;
      return 1;
    }
    if (r == kFailed && recover() != 0) return 1;
  }
}

int Dialogue::drain() { return wait_until(nullptr); }

}  // namespace vl
