// The segment dialogue of a run: queries, uploads and links over the run's sessions, each with up
// to `window` requests in flight and its replies read in order. One session (the main one,
// ctx.conn) with a window of 1 is the strict one-at-a-time dialogue.
//
// Every message is one server_send (one TLS record) and every reply one server_receive. An
// upload's data messages follow only its header's 0x00 reply, and nothing else is sent on that
// session between an upload header and its reply (the server reads the data right after
// answering it): so one session uploads at most one block per round trip, and a run at a distance
// opens extra sessions (sessions_open) to have several header exchanges in flight at once.
//
// New requests go to the session with the least work; the requests of one content (digest) stay
// on one session until its dialogue ends, so that a query answered "not held" while the same
// content is being uploaded counts as held, as it would have been had they gone one at a time,
// and a link follows its upload. A link refused on an extra session is sent again on the main
// one; when the main one takes it before any extra session has taken one, the server links only
// from the session that allocated the catalog, and every later link goes on the main session,
// each once its upload is complete. After any failure (a send or receive that fails, a reply of
// the wrong kind) the main session is recovered (server_recover; no goodbye while an upload
// header is unanswered) and every unanswered request is sent again, in order, an upload from its
// query; an extra session is reconnected once at once, else dropped, its requests going to the
// main session.
//
// Worker thread only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "connection/connect.h"
#include "platform/worker_thread.h"
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
  bool relinked = false;  // refused on an extra session, sent again on the main one
  bool pinned = false;    // counted in the session pin of its digest
  bool requery = false;   // a link asked again as a query after a break, to follow an upload
  SegmentPayload sent;
};

// The number of requests kept in flight per session: the settings file's Request_Window (default
// 32). Set once at start-up, read by the worker.
void request_window_set(int window);
int request_window();

// The sessions a run uploads over: the settings file's Upload_Sessions (default
// kUploadSessionsDefault). Set once at start-up, read by the worker.
void upload_sessions_set(int sessions);
int upload_sessions();

class Dialogue {
 public:
  Dialogue(RunContext& ctx, int window);
  // abandon(), then sessions_close().
  ~Dialogue();
  Dialogue(const Dialogue&) = delete;
  Dialogue& operator=(const Dialogue&) = delete;

  // Starts opening up to `extra` sessions beside the main one, unless the server is next door
  // (its login answered within 2 ms: there are no round trips to save), all at once on threads
  // of their own (greeting and login, no profile or catalog request), and returns: the dialogue
  // takes each into its work once it is open, while the main session goes on. One that cannot be
  // opened (refused, busy, TLS, no thread) is left out for the run, with a line in the run log
  // when the sessions close. Before the walk.
  void sessions_open(int extra);

  // Waits for the sessions still being opened, says goodbye on every extra session and lets it
  // go; the main session stays. Writes the dialogue's notes to the run log. Call once nothing is
  // in flight (after drain) or the run is ending.
  void sessions_close();

  // Abandons what is still in flight: releases the payloads, tells each segment, closes slots.
  void abandon();

  // Queues the segment (its query, or its link when link_only) and sends what the sessions allow,
  // reading the replies that have arrived (waiting for one only when `window` requests are
  // queued behind full windows or upload headers). Returns 0; 1 when the run was cancelled or the
  // main session could not be restored (a refused login), after which nothing more is sent.
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
  // True once a payload read from a file could not be read: the dialogue stopped, and the
  // segment ended abandoned (a new connection would fail the same way).
  bool payload_unreadable() const { return unreadable_; }

  // Requests sent and not yet answered, over every session, and replies read so far.
  size_t in_flight() const;
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

  using DigestKey = std::array<uint8_t, 16>;
  struct DigestKeyHash {
    size_t operator()(const DigestKey& k) const;
  };

  // One session and its requests.
  struct Lane {
    ServerConnection* conn = nullptr;
    int index = 0;  // 0: the main session
    std::deque<Request> followups;   // called for by replies; sent before anything else
    std::deque<Request> pinned;      // fresh requests of a content this session has in hand
    std::deque<Request> unanswered;
    std::deque<Request> parked;      // links for the main session, waiting for their upload
    // Digests whose upload is queued or under way here: a query for the same content answered
    // "not held" meanwhile (it was sent before the upload) counts as held. The link goes out
    // behind the upload, so the server has it.
    std::unordered_map<DigestKey, int, DigestKeyHash> uploading;
    bool barrier = false;         // an upload header awaits its reply
    bool barrier_before = false;  // ... and did before this pump
    size_t unflushed = 0;         // requests sent since the last flush
  };

  // A session being opened on a thread of its own; `done` once its attempt has ended.
  struct Opening {
    std::unique_ptr<ServerConnection> conn = std::make_unique<ServerConnection>();
    int number = 0, total = 0;
    int result = kAttemptFailed;
    std::string cause;
    std::atomic<bool> done{false};
    WorkerThread thread;
  };
  // Takes the sessions whose opening has ended (all of them, waiting, when `wait`) into the
  // dialogue's lanes, or notes why one was left out.
  void sessions_adopt(bool wait);
  std::vector<std::unique_ptr<Opening>> openings_;
  // Sessions were asked for: requests are pinned from the first one on, so that a content's
  // requests stay together once a session opens beside the main one.
  bool several_ = false;

  // Where links go: not known yet, any session, or the main session only.
  enum class LinkRoute { unknown, any, main_only };

  Result send(Lane& l, Request& r);
  Result send_data(Lane& l, Request& r);
  Result payload_unreadable_stop();
  Result read_reply(Lane& l);
  Result read_link_reply(Lane& l, bool taken);
  // read_reply, then every reply already read from the socket with it.
  Result read_replies(Lane& l);
  // Sends what the lane's own queues and then the fresh queue allow. kStop, or kOk.
  Result send_all();
  Result send_own(Lane& l);
  Result send_fresh(Lane& l, size_t upto);
  Lane* least_loaded();
  // Whether the lane takes fresh requests: with several sessions, only while it has fewer than
  // kLaneAhead queries and uploads in hand, so that no session sits on a queue of uploads another
  // could send (links cost no round trip of their own and are not counted).
  static constexpr size_t kLaneAhead = 4;
  bool takes_fresh(const Lane& l) const;
  // Whether the lane may send a request now: no upload header unanswered, room in its window.
  bool lane_open(const Lane& l) const { return !l.barrier && l.unanswered.size() < window_; }
  // Reads the replies that have arrived (wait_ms: how long to wait for one); 1 when some were
  // read, 0 when none had arrived, -1 when the dialogue must stop. skip_new_barriers: lanes whose
  // header went out in this pump are not looked at.
  int read_arrived(int wait_ms, bool skip_new_barriers);
  // Sends what the window allows, reading replies to make room; a reply that has not arrived is
  // waited for only while `window` fresh requests are queued.
  Result pump();
  void flush_lanes();
  // True when the lane has a query (or upload) in its write buffer and none written out and
  // unanswered.
  bool query_waits(const Lane& l) const;
  // After a failure on the lane: 0 when its requests are queued again (on it, or on the main
  // session when an extra one is dropped); 1 when the run must stop.
  int recover(Lane& l);
  int recover_main(Lane& l);
  // Makes q (requests of lane l, in order) ready to be sent again after a break; the uploads
  // among its first reset_upto requests start again from their query.
  void requeue(Lane& l, std::deque<Request>& q, size_t reset_upto);
  void release(Segment& seg);
  void end(Request& r, SegmentEnd how);
  void queue_link(Lane& l, const std::shared_ptr<Segment>& seg);
  void unpark(Lane& l);
  void pin(Lane& l, Segment& seg);
  void unpin(Segment& seg);

  void uploading_add(Lane& l, const Segment& seg, int delta);
  bool uploading(const Lane& l, const Segment& seg) const;

  RunContext& ctx_;
  size_t window_;
  std::vector<std::unique_ptr<Lane>> lanes_;  // lanes_[0] is the main session
  std::deque<Request> fresh_;                 // not yet given to a session
  struct Pin {
    size_t lane;
    int count;
  };
  std::unordered_map<DigestKey, Pin, DigestKeyHash> pins_;
  LinkRoute route_ = LinkRoute::unknown;
  size_t next_lane_ = 0;  // where the search for the least loaded lane starts
  bool stopped_ = false;
  uint64_t replies_ = 0;
  bool refused_ = false;
  bool unreadable_ = false;
  std::vector<std::string> notes_;  // run-log lines written when the sessions close
};

}  // namespace vl
