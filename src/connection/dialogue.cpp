#include "connection/dialogue.h"

#include <atomic>
#include <cstring>
#include <unordered_set>

#include "base/teardown.h"
#include "connection/connect.h"
#include "connection/messages.h"
#include "connection/retry.h"
#include "connection/transport.h"
#include "platform/settings.h"
#include "platform/worker_thread.h"
#include "run/run_control.h"
#include "run/status.h"

namespace vl {

namespace {

constexpr const char* kStatusWorking = "Kicking Ass!";
constexpr int kStatusReplyMin = 3;
constexpr int kUploadHeaderReplyMin = 7;
// Requests that may sit in the write buffer while the worker goes on (a dozen queries or links).
constexpr size_t kFlushBytes = 512;
// A server whose login was answered within this many milliseconds is next door: the run keeps to
// one session.
constexpr uint32_t kNearMs = 2;

// A failed attempt's cause for the run log.
std::string reason_text(const std::string& cause) {
  return cause.empty() ? "no reason given" : cause;
}

}  // namespace

static std::atomic<int> g_request_window{kRequestWindowDefault};
static std::atomic<int> g_upload_sessions{kUploadSessionsDefault};

void request_window_set(int window) { g_request_window = window < 1 ? 1 : window; }
int request_window() { return g_request_window.load(); }

void upload_sessions_set(int sessions) { g_upload_sessions = sessions < 1 ? 1 : sessions; }
int upload_sessions() { return g_upload_sessions.load(); }

Dialogue::Dialogue(RunContext& ctx, int window)
    : ctx_(ctx), window_(window < 1 ? 1 : static_cast<size_t>(window)) {
  lanes_.push_back(std::make_unique<Lane>());
  lanes_[0]->conn = &ctx.conn;
}

Dialogue::~Dialogue() {
  // The sessions still opening are joined whatever the abandon met.
  teardown_step([this] { abandon(); });
  teardown_step([this] { sessions_close(); });
}

void Dialogue::abandon() {
  for (auto& l : lanes_) {
    for (auto* q : {&l->unanswered, &l->followups, &l->pinned, &l->parked}) {
      for (Request& r : *q) end(r, SegmentEnd::abandoned);
      q->clear();
    }
  }
  for (Request& r : fresh_) end(r, SegmentEnd::abandoned);
  fresh_.clear();
}

size_t Dialogue::in_flight() const {
  size_t n = 0;
  for (const auto& l : lanes_) n += l->unanswered.size();
  return n;
}

void Dialogue::sessions_open(int extra) {
  // Sessions buy round trips: a server next door has none to sell, and there one session leaves
  // the cores to the compression threads (and to the server, when it shares the machine).
  if (extra <= 0 || stopped_ || ctx_.cancel == 1 || ctx_.conn.login_ms < kNearMs) return;
  several_ = true;
  for (int i = 0; i < extra; ++i) {
    auto o = std::make_unique<Opening>();
    o->number = i + 2;
    o->total = extra + 1;
    o->conn->unthrottled = true;
    Opening* op = o.get();
    std::string error;
    if (!o->thread.start(
            "upload session",
            [this, op] {
              op->result = session_open(ctx_, *op->conn, &op->cause);
              op->done = true;
            },
            [op](const std::string& why) {
              op->cause = why;
              op->done = true;
            },
            &error)) {
      o->cause = error;
      o->done = true;
    }
    openings_.push_back(std::move(o));
  }
}

void Dialogue::sessions_adopt(bool wait) {
  std::erase_if(openings_, [&](std::unique_ptr<Opening>& o) {
    if (!wait && !o->done) return false;
    o->thread.join();
    if (o->result == kAttemptOk && !stopped_ && ctx_.cancel != 1) {
      o->conn->unthrottled = false;
      auto lane = std::make_unique<Lane>();
      lane->conn = o->conn.get();
      lane->index = static_cast<int>(lanes_.size());
      lanes_.push_back(std::move(lane));
      ctx_.upload_sessions.push_back(std::move(o->conn));
    } else if (o->result == kAttemptOk) {
      server_disconnect(ctx_, *o->conn);
    } else if (ctx_.cancel != 1) {
      notes_.push_back("Upload session " + std::to_string(o->number) + " of " +
                       std::to_string(o->total) + " could not be opened (" +
                       reason_text(o->cause) + "); the run went on without it.");
    }
    return true;
  });
}

void Dialogue::sessions_close() {
  sessions_adopt(true);
  for (size_t i = 1; i < lanes_.size(); ++i) server_disconnect(ctx_, *lanes_[i]->conn);
  if (lanes_.size() > 1) lanes_.resize(1);
  ctx_.upload_sessions.clear();
  for (const std::string& note : notes_) run_log(ctx_, "%s\n", note.c_str());
  notes_.clear();
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

void Dialogue::uploading_add(Lane& l, const Segment& seg, int delta) {
  auto it = l.uploading.find(digest_key(seg));
  if (it == l.uploading.end()) {
    if (delta > 0) l.uploading.emplace(digest_key(seg), delta);
    return;
  }
  it->second += delta;
  if (it->second <= 0) l.uploading.erase(it);
}

bool Dialogue::uploading(const Lane& l, const Segment& seg) const {
  return l.uploading.count(digest_key(seg)) != 0;
}

void Dialogue::pin(Lane& l, Segment& seg) {
  if (!several_ || seg.pinned) return;
  seg.pinned = true;
  auto [it, added] = pins_.try_emplace(digest_key(seg), Pin{static_cast<size_t>(l.index), 0});
  ++it->second.count;
}

void Dialogue::unpin(Segment& seg) {
  if (!seg.pinned) return;
  seg.pinned = false;
  auto it = pins_.find(digest_key(seg));
  if (it != pins_.end() && --it->second.count <= 0) pins_.erase(it);
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
  unpin(seg);
  if (seg.ended) seg.ended(seg, how);
  run_log_close(ctx_, seg.slot);
  seg.ended = nullptr;
}

void Dialogue::queue_link(Lane& l, const std::shared_ptr<Segment>& seg) {
  if (seg->link_queued) return;
  seg->link_queued = true;
  if (l.index != 0 && route_ == LinkRoute::main_only) {
    // The main session may send it only once the server holds the content.
    if (uploading(l, *seg)) l.parked.push_back({Step::link, seg});
    else lanes_[0]->followups.push_back({Step::link, seg});
    return;
  }
  l.followups.push_back({Step::link, seg});
}

void Dialogue::unpark(Lane& l) {
  Lane& main = *lanes_[0];
  std::erase_if(l.parked, [&](Request& r) {
    if (uploading(l, *r.seg)) return false;
    main.followups.push_back(r);
    return true;
  });
}

Dialogue::Result Dialogue::send(Lane& l, Request& r) {
  Segment& seg = *r.seg;
  RunStats& st = ctx_.stats;
  ServerConnection& conn = *l.conn;
  int n = 0;
  switch (r.step) {
    case Step::query: {
      if (!seg.counted) {
        seg.counted = true;
        ++st.segs;
        stat_show(st, StatField::segs);
      }
      auto m = seg_query_build(seg.digest, seg.size);
      n = server_send(ctx_, conn, m.data(), static_cast<int>(m.size()), kTimeoutS);
      break;
    }
    case Step::link: {
      auto m = seg_link_build(seg.digest, ctx_.catalog_id);
      n = server_send(ctx_, conn, m.data(), static_cast<int>(m.size()), kTimeoutS);
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
      n = server_send(ctx_, conn, m.data(), static_cast<int>(m.size()), kTimeoutS);
      break;
    }
  }
  if (n <= 0) return ctx_.cancel == 1 ? kStop : kFailed;
  if (r.step == Step::upload) l.barrier = conn.upload_open = true;
  pin(l, seg);
  ++l.unflushed;
  l.unanswered.push_back(r);
  return kOk;
}

// The data messages of an upload whose header was answered 0x00, at most 4096 payload bytes
// each, with the pause point after each message.
Dialogue::Result Dialogue::send_data(Lane& l, Request& r) {
  const SegmentPayload& p = r.seg->sent;
  if (p.file && std::fseek(p.file, 0, SEEK_SET) != 0) return payload_unreadable_stop();
  uint8_t message[2 + kSegDataMax];
  message[0] = kGroupSegment;
  message[1] = kCodeSegData;
  for (uint32_t off = 0; off < p.len;) {
    uint32_t piece = p.len - off < kSegDataMax ? p.len - off : static_cast<uint32_t>(kSegDataMax);
    if (p.file) {
      if (std::fread(message + 2, 1, piece, p.file) != piece) return payload_unreadable_stop();
    } else {
      std::memcpy(message + 2, p.bytes + off, piece);
    }
    if (server_send(ctx_, *l.conn, message, static_cast<int>(piece + 2), kTimeoutS) <= 0)
      return ctx_.cancel == 1 ? kStop : kFailed;
    off += piece;
    ctx_.stats.file_bytes_sent += piece;
    stat_show(ctx_.stats, StatField::file_bytes_sent);
    pause_wait(ctx_);
    if (ctx_.cancel == 1) return kStop;
  }
  return kOk;
}

// A payload file that cannot be read fails the same way on every new connection, so it is not a
// broken connection to recover from: the dialogue stops (its segments end abandoned), and the
// session, left in the middle of an upload (upload_open), is closed by its owner without a
// goodbye, which the server would read as the upload's data.
Dialogue::Result Dialogue::payload_unreadable_stop() {
  unreadable_ = true;
  stopped_ = true;
  return kStop;
}

// Reads the reply to the lane's oldest request and acts on it. Only a reply that brings a
// segment forward (held, uploaded, linked or refused) counts as accepted for the back-off: a
// server that answers queries but fails every upload is not reconnected to at once for ever.
Dialogue::Result Dialogue::read_reply(Lane& l) {
  Request& r = l.unanswered.front();
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
  l.unflushed = 0;  // the receive writes out what is buffered first
  int n = server_receive(ctx_, *l.conn, buf, cap, kTimeoutS);
  if (ctx_.cancel == 1) return kStop;
  if (!reply_is(buf, n, kGroupSegment, code, min_len)) return kFailed;
  ++replies_;
  RunStats& st = ctx_.stats;

  switch (r.step) {
    case Step::query: {
      Request done = r;
      l.unanswered.pop_front();
      if (seg.requery) {
        // A link asked again after a break (requeue): its answer was given and logged before.
        seg.requery = false;
        queue_link(l, done.seg);
        return kOk;
      }
      if (buf[2] == 0xFF || uploading(l, seg)) {
        server_reply_accepted(*l.conn);
        run_log_append(ctx_, seg.slot, " exists.\n");
        if (!seg.payload_ready) {  // counted as stored already when an upload went before
          st.bytes_duped += seg.size;
          ++st.segs_duped;
          stat_show(st, StatField::segs_duped);
        }
        release(seg);
        queue_link(l, done.seg);
      } else {
        uploading_add(l, seg, 1);
        l.followups.push_back({Step::upload, done.seg});
      }
      return kOk;
    }
    case Step::upload: {
      if (r.data_sent) {
        server_reply_accepted(*l.conn);
        run_log_append(ctx_, seg.slot, "OK\n");
        release(seg);
        uploading_add(l, seg, -1);
        l.unanswered.pop_front();
        if (!l.parked.empty()) unpark(l);
        return kOk;
      }
      // Until its data are all out (0x00), the upload stays open: a failure meanwhile closes
      // the connection without a goodbye.
      l.conn->upload_open = buf[6] == 0x00;
      switch (buf[6]) {
        case 0x00: {
          l.barrier = false;
          run_log_append(ctx_, seg.slot, " upload... ");
          Result res = send_data(l, r);
          if (res != kOk) return res;
          l.conn->upload_open = false;
          r.data_sent = true;
          // The link goes out behind the data, without waiting for the upload's own reply.
          queue_link(l, r.seg);
          return kOk;
        }
        case 0xFF: {
          server_reply_accepted(*l.conn);
          l.barrier = false;
          run_log_append(ctx_, seg.slot, " exists (blah!)\n");
          release(seg);
          uploading_add(l, seg, -1);
          std::shared_ptr<Segment> held = r.seg;
          l.unanswered.pop_front();
          queue_link(l, held);
          if (!l.parked.empty()) unpark(l);
          return kOk;
        }
        default:
          run_log_append(ctx_, seg.slot, " Unknown error\n");
          return kFailed;
      }
    }
    case Step::link:
      server_reply_accepted(*l.conn);  // a refusal is an answer too
      return read_link_reply(l, buf[2] == 0x00);
  }
  return kFailed;
}

// A link's answer. One refused on an extra session goes again on the main one: a server may link
// only from the session that allocated the catalog, and the main session's answer then tells.
Dialogue::Result Dialogue::read_link_reply(Lane& l, bool taken) {
  Request done = l.unanswered.front();
  l.unanswered.pop_front();
  Segment& seg = *done.seg;
  if (l.index != 0) {
    if (!taken && !seg.relinked) {
      seg.relinked = true;
      lanes_[0]->followups.push_back(done);
      return kOk;
    }
    if (taken && route_ == LinkRoute::unknown) route_ = LinkRoute::any;
  } else if (taken && seg.relinked && route_ == LinkRoute::unknown) {
    route_ = LinkRoute::main_only;
    notes_.push_back(
        "Note: The server links segments only on the session that allocated the catalog; every "
        "link went over that session.");
  }
  end(done, taken ? SegmentEnd::linked : SegmentEnd::link_refused);
  return kOk;
}

// After a break: the upload attempts in q start again from their query, as the one-at-a-time
// dialogue does, and their links, already queued behind the data, are queued again behind the new
// upload. A link that was to follow one of those uploads (the same content, answered "exists"
// while it was under way) is asked again as a query, so that it goes out behind the new upload
// too. Only the uploads among the first reset_upto requests start again: on the main session the
// ones not sent yet (its followups) keep their place.
void Dialogue::requeue(Lane& l, std::deque<Request>& q, size_t reset_upto) {
  std::unordered_set<DigestKey, DigestKeyHash> reset;
  for (size_t i = 0; i < q.size() && i < reset_upto; ++i) {
    Request& r = q[i];
    if (r.step != Step::upload) continue;
    if (l.index == 0) uploading_add(l, *r.seg, -1);
    reset.insert(digest_key(*r.seg));
    r.step = Step::query;
    r.data_sent = false;
    r.seg->link_queued = false;
  }
  std::erase_if(q, [](const Request& r) {
    return r.step == Step::link && !r.seg->link_only && !r.seg->link_queued;
  });
  for (Request& r : q) {
    if (r.step != Step::link || r.seg->link_only || r.seg->relinked) continue;
    if (reset.count(digest_key(*r.seg)) == 0) continue;
    r.step = Step::query;
    r.seg->link_queued = false;
    r.seg->requery = true;
  }
}

// Reconnects the main session and puts every unanswered request back in front of its queue, in
// order. Returns 0, or 1 when the run must stop (cancelled, or the login refused).
int Dialogue::recover_main(Lane& l) {
  int r = server_recover(ctx_, kStatusWorking);
  if (r != kReconnectOk) {
    refused_ = r == kReconnectRefused;
    stopped_ = true;
    return 1;
  }
  l.barrier = false;
  l.unflushed = 0;
  const size_t sent = l.unanswered.size();
  std::deque<Request> all = std::move(l.unanswered);
  l.unanswered.clear();
  for (Request& q : l.followups) all.push_back(q);
  requeue(l, all, sent);
  l.followups = std::move(all);
  return 0;
}

int Dialogue::recover(Lane& l) {
  if (l.index == 0) return recover_main(l);
  if (ctx_.cancel == 1) {
    stopped_ = true;
    return 1;
  }
  server_disconnect(ctx_, *l.conn);
  // Every request of the session from its start: uploads from their query, links of those
  // dropped (queued again behind the new upload).
  std::deque<Request> all;
  for (auto* q : {&l.unanswered, &l.followups, &l.pinned, &l.parked}) {
    for (Request& r : *q) all.push_back(r);
    q->clear();
  }
  l.uploading.clear();
  l.barrier = false;
  l.unflushed = 0;
  requeue(l, all, all.size());
  // A session that fails again before a request went through since it reconnected is not
  // reconnected at once once more: it is dropped, and the main session, which waits before each
  // such attempt, takes its requests.
  const bool again = l.conn->failed_exchanges > 0;
  ++l.conn->failed_exchanges;
  std::string cause = "it failed again before a request went through";
  const int opened = again ? kAttemptFailed : session_open(ctx_, *l.conn, &cause);
  if (ctx_.cancel == 1) {
    for (Request& r : all) l.followups.push_back(r);  // abandoned with the rest
    stopped_ = true;
    return 1;
  }
  if (opened == kAttemptOk) {
    l.followups = std::move(all);
    return 0;
  }
  // Dropped: the main session takes its requests, and the contents it had in hand.
  Lane& main = *lanes_[0];
  for (Request& r : all) main.followups.push_back(r);
  notes_.push_back("Note: Upload session " + std::to_string(l.index + 1) + " was lost (" +
                   reason_text(cause) + "); its requests went over the main session.");
  const size_t gone = static_cast<size_t>(l.index);
  for (size_t i = gone + 1; i < lanes_.size(); ++i) lanes_[i]->index = static_cast<int>(i - 1);
  for (auto& [digest, p] : pins_) {
    if (p.lane == gone) p.lane = 0;
    else if (p.lane > gone) --p.lane;
  }
  lanes_.erase(lanes_.begin() + static_cast<std::ptrdiff_t>(gone));
  if (next_lane_ >= lanes_.size()) next_lane_ = 0;
  return 0;
}

// The replies that arrived together are taken in together: requests then leave in batches rather
// than one per reply, and an upload header's reply among them is not left waiting (the server
// waits for that upload's data) while the worker goes on with the next file.
Dialogue::Result Dialogue::read_replies(Lane& l) {
  Result r = read_reply(l);
  while (r == kOk && !l.unanswered.empty() && server_reply_buffered(*l.conn)) r = read_reply(l);
  return r;
}

Dialogue::Result Dialogue::send_own(Lane& l) {
  for (;;) {
    if (stopped_ || ctx_.cancel == 1) return kStop;
    if (!lane_open(l)) return kOk;
    std::deque<Request>* queue = !l.followups.empty() ? &l.followups
                                 : !l.pinned.empty()  ? &l.pinned
                                                      : nullptr;
    if (!queue) return kOk;
    // With several sessions, fresh queries ride ahead of an upload header, which holds the
    // session for a round trip: their answers come back with its reply, and the session has its
    // next upload ready instead of asking then.
    if (lanes_.size() > 1 && queue->front().step == Step::upload) {
      Result r = send_fresh(l, window_ - 1);
      if (r != kOk) return r;
    }
    Request next = queue->front();
    queue->pop_front();
    Result r = send(l, next);
    if (r == kOk) continue;
    l.followups.push_front(next);  // not sent: it keeps its place
    if (r == kStop) return kStop;
    return kFailed;
  }
}

bool Dialogue::takes_fresh(const Lane& l) const {
  // Alone (no session being opened either), a session takes what its window allows.
  if (lanes_.size() < 2 && openings_.empty()) return true;
  size_t ahead = 0;
  for (const auto* q : {&l.unanswered, &l.followups, &l.pinned}) {
    for (const Request& r : *q) {
      if (r.step != Step::link && ++ahead >= kLaneAhead) return false;
    }
  }
  return true;
}

// The lane that can send now with the least work in hand; the search starts after the lane that
// took the last request, so that equal lanes take turns.
Dialogue::Lane* Dialogue::least_loaded() {
  Lane* best = nullptr;
  size_t best_load = 0;
  const size_t n = lanes_.size();
  for (size_t k = 0; k < n; ++k) {
    Lane& l = *lanes_[(next_lane_ + k) % n];
    if (!lane_open(l) || !takes_fresh(l)) continue;
    const size_t load = l.unanswered.size() + l.followups.size() + l.pinned.size();
    if (!best || load < best_load) {
      best = &l;
      best_load = load;
    }
  }
  if (best) next_lane_ = (static_cast<size_t>(best->index) + 1) % n;
  return best;
}

// Sends fresh requests on the lane until it has `upto` in flight: a request of a content another
// session has in hand goes to that session's queue instead. A request that cannot be sent keeps
// its place at the front of the lane's followups.
Dialogue::Result Dialogue::send_fresh(Lane& l, size_t upto) {
  while (!fresh_.empty() && l.unanswered.size() < upto && takes_fresh(l)) {
    Request next = fresh_.front();
    fresh_.pop_front();
    // A server that links only on the main session gets every link there.
    if (next.step == Step::link && l.index != 0 && route_ == LinkRoute::main_only) {
      lanes_[0]->pinned.push_back(next);
      continue;
    }
    if (lanes_.size() > 1) {
      auto it = pins_.find(digest_key(*next.seg));
      if (it != pins_.end() && it->second.lane != static_cast<size_t>(l.index)) {
        lanes_[it->second.lane]->pinned.push_back(next);
        continue;
      }
    }
    Result r = send(l, next);
    if (r == kOk) continue;
    l.followups.push_front(next);
    return r;
  }
  return kOk;
}

Dialogue::Result Dialogue::send_all() {
  for (;;) {
    bool failed = false;
    for (size_t i = 0; i < lanes_.size(); ++i) {
      Lane& l = *lanes_[i];
      Result r = send_own(l);
      if (r == kStop) return kStop;
      if (r == kFailed) {
        if (recover(l) != 0) return kStop;
        failed = true;
        break;  // the lanes may have changed
      }
    }
    if (failed) continue;
    while (!fresh_.empty()) {
      Lane* l = least_loaded();
      if (!l) return kOk;
      Result r = send_fresh(*l, l->unanswered.size() + 1);
      if (r == kOk) continue;
      if (r == kStop) return kStop;
      if (recover(*l) != 0) return kStop;
      failed = true;
      break;
    }
    if (failed) continue;
    // The pinned requests just queued behind a lane that can still send.
    bool more = false;
    for (auto& l : lanes_)
      more = more || (!l->pinned.empty() && lane_open(*l));
    if (!more) return kOk;
  }
}

int Dialogue::read_arrived(int wait_ms, bool skip_new_barriers) {
  std::vector<ServerConnection*> conns;
  std::vector<Lane*> waiting;
  for (auto& l : lanes_) {
    if (l->unanswered.empty()) continue;
    // An upload header sent just now cannot have been answered yet.
    if (skip_new_barriers && l->barrier && !l->barrier_before) continue;
    conns.push_back(l->conn);
    waiting.push_back(l.get());
  }
  if (conns.empty()) return 0;
  int k = server_reply_wait_any(ctx_, conns.data(), conns.size(), wait_ms);
  if (k == kReplyWaitCancelled) return -1;
  for (Lane* w : waiting) w->unflushed = 0;  // written out by the look
  if (k == kReplyWaitNone && wait_ms == 0) return 0;
  // Nothing within the exchange time-out: the first session waited for has failed.
  Lane& l = *waiting[k == kReplyWaitNone ? 0 : static_cast<size_t>(k)];
  Result r = k == kReplyWaitNone ? kFailed : read_replies(l);
  if (r == kStop) return -1;
  if (r == kFailed && recover(l) != 0) return -1;
  return 1;
}

bool Dialogue::query_waits(const Lane& l) const {
  const size_t n = l.unanswered.size();
  const size_t first_unflushed = n - (l.unflushed < n ? l.unflushed : n);
  bool waiting = false;
  for (size_t i = 0; i < n; ++i) {
    if (l.unanswered[i].step == Step::link) continue;
    if (i < first_unflushed) return false;
    waiting = true;
  }
  return waiting;
}

void Dialogue::flush_lanes() {
  const bool several = lanes_.size() > 1;
  for (size_t i = 0; i < lanes_.size(); ++i) {
    Lane& l = *lanes_[i];
    if (l.unanswered.empty()) continue;
    if (server_unflushed(*l.conn) == 0) {
      l.unflushed = 0;
      continue;
    }
    // What the server is to answer next leaves now; a few requests may wait for company. With
    // several sessions, a query leaves at once when the session has no query or upload in the
    // server's hands: its answer is what the session's next upload waits for.
    const bool due = l.barrier || server_unflushed(*l.conn) >= kFlushBytes ||
                     (several && query_waits(l));
    if (!due) continue;
    if (server_flush(ctx_, *l.conn, kTimeoutS) > 0) {
      l.unflushed = 0;
      continue;
    }
    if (ctx_.cancel == 1 || recover(l) != 0) {
      stopped_ = true;
      return;
    }
    pump();
    return;
  }
}

Dialogue::Result Dialogue::pump() {
  if (!openings_.empty()) sessions_adopt(false);
  for (auto& l : lanes_) l->barrier_before = l->barrier;
  bool looked = false;
  for (;;) {
    if (stopped_ || ctx_.cancel == 1) return kStop;
    if (send_all() == kStop) return kStop;
    bool waiting = !fresh_.empty();
    for (auto& l : lanes_) waiting = waiting || !l->followups.empty() || !l->pinned.empty();
    if (!waiting) {
      // With several sessions the replies that have arrived are taken in as they come: a session
      // is not full before its answers are read.
      if (lanes_.size() > 1 && !looked) {
        looked = true;
        int got = read_arrived(0, true);
        if (got < 0) return kStop;
        if (got > 0) continue;
      }
      break;
    }
    // A reply that has not arrived yet is waited for only when the queue is long: otherwise
    // the worker reads and digests the next files while the server works.
    int got = read_arrived(0, true);
    if (got < 0) return kStop;
    if (got > 0) continue;
    // Requests queued behind a session (pinned) count too: they wait as the fresh ones do.
    size_t queued = fresh_.size();
    for (auto& l : lanes_) queued += l->pinned.size();
    if (queued < window_ * lanes_.size()) break;
    if (read_arrived(kTimeoutS * 1000, false) < 0) return kStop;
  }
  flush_lanes();
  return stopped_ || ctx_.cancel == 1 ? kStop : kOk;
}

int Dialogue::submit(std::shared_ptr<Segment> seg) {
  if (stopped_) return 1;
  fresh_.push_back({seg->link_only ? Step::link : Step::query, seg});
  if (seg->link_only) seg->link_queued = true;
  return pump() == kOk ? 0 : 1;
}

int Dialogue::poll() {
  // Between files only an upload header's reply is worth a look: the server waits for the data.
  bool cleared = false;
  if (!openings_.empty()) {
    sessions_adopt(false);
    cleared = lanes_.size() > 1;  // a session just opened can take what waits
  }
  for (size_t i = 0; i < lanes_.size() && !stopped_; ++i) {
    Lane* l = lanes_[i].get();
    while (l->barrier && !stopped_) {
      ServerConnection* conn = l->conn;
      int k = server_reply_wait_any(ctx_, &conn, 1, 0);
      if (k == kReplyWaitNone) break;
      Result r = k == kReplyWaitCancelled ? kStop : read_replies(*l);
      if (r == kStop) {
        stopped_ = true;
        return 1;
      }
      if (r == kFailed) {
        if (recover(*l) != 0) return 1;
        cleared = true;
        break;  // the lanes may have changed
      }
      if (!l->barrier) cleared = true;
    }
  }
  if (stopped_) return 1;
  return cleared ? (pump() == kOk ? 0 : 1) : 0;
}

int Dialogue::wait_until(const std::function<bool()>& done) {
  for (;;) {
    if (pump() != kOk) return 1;
    if (done && done()) return 0;
    if (in_flight() == 0) return 0;
    if (read_arrived(kTimeoutS * 1000, false) < 0) {
      stopped_ = true;
      return 1;
    }
  }
}

int Dialogue::drain() { return wait_until(nullptr); }

}  // namespace vl
