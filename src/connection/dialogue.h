// The segment dialogue of a run: queries, uploads and links on the one TLS connection, with up
// to `window` requests in flight and their replies read in order. A window of 1 is the strict
// one-at-a-time dialogue.
//
// Every message is one server_send (one TLS record) and every reply one server_receive. An
// upload's data messages follow only its header's 0x00 reply, and nothing else is sent between
// an upload header and its reply (the server reads the data right after answering it). After
// any failure (a send or receive that fails, a reply of the wrong kind) the connection is
// recovered (server_recover; no goodbye while an upload header is unanswered) and every
// unanswered request is sent again, in order, an upload from its query.
//
// Worker thread only.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "run/run_context.h"
#include "run/run_log.h"

namespace vl {

// What goes out as a segment's upload: the level-9 zlib stream or the raw content, from memory or
// from a file read from its start.
struct SegmentPayload {
  bool compressed = false;
  uint32_t len = 0;
  const uint8_t* bytes = nullptr;
  FILE* file = nullptr;
};

// How a segment's dialogue ended.
enum class SegmentEnd {
  linked,        // held by the server and linked to the run's catalog
  link_refused,  // held, but the server refused the link: the block is not in the backup
  abandoned,     // the run was cancelled or the connection could not be restored
};

// One segment to make sure of: held by the server (query, then upload when it is not) and linked
// to the run's catalog. The callbacks run on the worker thread.
struct Segment {
  uint8_t digest[16] = {};
  uint32_t size = 0;
  // A block the cache says the server holds: only the link is sent (and not counted in segs).
  bool link_only = false;
  // The payload, asked for when the upload header is about to be sent (this may wait for a
  // compression thread). False when it cannot be had (the run was cancelled).
  std::function<bool(SegmentPayload*)> payload;
  // The payload is no longer needed: the server holds the segment, or the segment is abandoned.
  std::function<void()> release;
  // Called once when the segment's last reply has been read, or when it is abandoned; it may
  // append to `slot` before the slot is closed.
  std::function<void(Segment&, SegmentEnd)> ended;
  // Where the segment's texts go (" exists.\n", " upload... OK\n"); closed after `ended`.
  LogSlot slot = kNoLogSlot;

  // Kept by the dialogue.
  bool counted = false;        // counted in segs
  bool payload_ready = false;  // payload fetched and counted as stored
  bool released = false;
  bool link_queued = false;
  SegmentPayload sent;
};

// The number of requests kept in flight: the settings file's Request_Window (default 32). Set once
// at start-up, read by the worker.
void request_window_set(int window);
int request_window();

class Dialogue {
 public:
  Dialogue(RunContext& ctx, int window);
  // abandon().
  ~Dialogue();

  // Abandons what is still in flight: releases the payloads, tells each segment, closes slots.
  void abandon();
  Dialogue(const Dialogue&) = delete;
  Dialogue& operator=(const Dialogue&) = delete;

  // Queues the segment (its query, or its link when link_only) and sends what the window allows,
  // reading the replies that have arrived (waiting for one only when `window` requests are
  // queued behind a full window or an upload header). Returns 0; 1 when the run was cancelled or the connection could
  // not be restored (a refused login), after which the dialogue sends nothing more.
  int submit(std::shared_ptr<Segment> seg);

  // Reads the replies that have arrived and sends what they call for, without waiting. The worker
  // calls it now and then while it reads files, so the server is not kept waiting for the data
  // of an upload it has accepted. 0 or 1 as submit.
  int poll();

  // Reads replies (and sends what they call for) until nothing is in flight. 0 or 1 as submit.
  int drain();

  // Reads replies until done() holds or nothing is in flight. 0 or 1 as submit.
  int wait_until(const std::function<bool()>& done);

  // True once a refused login ended the dialogue (the run must end as failed).
  bool login_refused() const { return refused_; }

  // Requests sent and not yet answered, and replies read so far.
  size_t in_flight() const { return unanswered_.size(); }
  uint64_t replies_read() const { return replies_; }

 private:
  enum class Step { query, upload, link };
  struct Request {
    Step step;
    std::shared_ptr<Segment> seg;
    bool data_sent = false;  // upload: header answered 0x00 and data messages sent
  };
  // Results of one step: done, cancelled or unrecoverable (kStop), or a failed exchange.
  enum Result { kOk = 0, kStop = 1, kFailed = -1 };

  Result send(Request& r);
  Result read_reply();
  // read_reply, then every reply already read from the socket with it.
  Result read_replies();
  Result send_data(Request& r);
  // Sends what the window allows, reading replies to make room; a reply that has not arrived is
  // waited for only while `window` fresh requests are queued.
  Result pump();
  int recover();
  void release(Segment& seg);
  void end(Request& r, SegmentEnd how);
  void queue_link(const std::shared_ptr<Segment>& seg);

  // Digests whose upload is queued or under way: a query for the same content answered "not
  // held" meanwhile (it was sent before the upload) counts as held, as it would have been had
  // the queries gone one at a time. The link goes out behind the upload, so the server has it.
  using DigestKey = std::array<uint8_t, 16>;
  struct DigestKeyHash {
    size_t operator()(const DigestKey& k) const;
  };
  std::unordered_map<DigestKey, int, DigestKeyHash> uploading_;
  void uploading_add(const Segment& seg, int delta);
  bool uploading(const Segment& seg) const;

  RunContext& ctx_;
  size_t window_;
  std::deque<Request> followups_;   // called for by replies; sent before fresh ones
  std::deque<Request> fresh_;
  std::deque<Request> unanswered_;
  bool barrier_ = false;  // an upload header awaits its reply
  bool stopped_ = false;
  uint64_t replies_ = 0;
  bool refused_ = false;
};

}  // namespace vl
