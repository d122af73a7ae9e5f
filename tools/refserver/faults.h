// Deterministic fault injection for the server: what the command line asked for, and the counters
// that say when each fault happens. Every counter counts over the server's whole lifetime, all
// connections together. Safe to use from every connection thread at once.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace vl::ref {

// A message type as the command line names it: group byte << 8 | code byte (e.g. 0x0110).
using MessageType = uint16_t;

struct FaultPlan {
  uint64_t drop_after_messages = 0;  // close after this client message (0: never)
  uint64_t drop_in_upload = 0;       // close inside this segment upload (0: never)
  uint32_t greeting_short = 0;
  uint32_t greeting_bad = 0;
  uint32_t login_busy = 0;
  uint32_t login_refuse = 0;
  uint64_t login_refuse_nth = 0;    // refuse only this login (0: none)
  uint32_t login_odd = 0;
  uint32_t catalog_refuse = 0;
  uint32_t upload_exists = 0;
  uint32_t upload_error = 0;
  uint32_t query_has = 0;
  uint32_t link_refuse = 0;         // UINT32_MAX (--link-refuse-all): every link
  uint32_t delay_ms = 0;             // before every reply
  std::map<MessageType, uint32_t> short_reply;
  std::map<MessageType, uint32_t> long_reply;  // 300 zero bytes beyond the reply, in its record
  std::map<MessageType, uint32_t> wrong_header;
  std::map<MessageType, uint32_t> stall_reply;
  std::map<MessageType, uint32_t> die_after;  // the server's own kill -9 at this client message
};

enum class ReplyFault { none, stall, wrong_header, short_reply, long_reply };

class Faults {
 public:
  explicit Faults(const FaultPlan& plan) : plan_(plan) {}

  // Takes one occurrence of a counted fault: true (and one less left) while any are left.
  // Pass a member of the plan held by this object, e.g. take(&FaultPlan::login_busy).
  bool take(uint32_t FaultPlan::*counter);

  // Counts a client message; true when the connection must be dropped at this one.
  bool message_drops();
  // Counts a segment upload whose data will follow; true when this one must be cut short.
  bool upload_drops();
  // Counts a login; true when it is the one --login-refuse-nth names.
  bool login_nth_refused();
  // Counts a client message of this type; true when the server must die at this one.
  bool dies_at(MessageType type);
  // The fault to apply to the next reply of this type (at most one per reply).
  ReplyFault reply_fault(MessageType type);

  uint32_t delay_ms() const { return plan_.delay_ms; }

 private:
  std::mutex mutex_;
  FaultPlan plan_;
  uint64_t messages_ = 0;
  uint64_t uploads_ = 0;
  uint64_t logins_ = 0;
  std::map<MessageType, uint32_t> seen_;  // client messages of each type named by die_after
};

}  // namespace vl::ref
