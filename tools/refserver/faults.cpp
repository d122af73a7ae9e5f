#include "faults.h"

namespace vl::ref {

bool Faults::take(uint32_t FaultPlan::*counter) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t& left = plan_.*counter;
  if (left == 0) return false;
  --left;
  return true;
}

bool Faults::message_drops() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ++messages_ == plan_.drop_after_messages;
}

bool Faults::upload_drops() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ++uploads_ == plan_.drop_in_upload;
}

bool Faults::login_nth_refused() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ++logins_ == plan_.login_refuse_nth;
}

bool Faults::dies_at(MessageType type) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = plan_.die_after.find(type);
  return it != plan_.die_after.end() && ++seen_[type] == it->second;
}

ReplyFault Faults::reply_fault(MessageType type) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto take_from = [type](std::map<MessageType, uint32_t>& counters) {
    auto it = counters.find(type);
    if (it == counters.end() || it->second == 0) return false;
    --it->second;
    return true;
  };
  if (take_from(plan_.stall_reply)) return ReplyFault::stall;
  if (take_from(plan_.wrong_header)) return ReplyFault::wrong_header;
  if (take_from(plan_.short_reply)) return ReplyFault::short_reply;
  if (take_from(plan_.long_reply)) return ReplyFault::long_reply;
  return ReplyFault::none;
}

}  // namespace vl::ref
