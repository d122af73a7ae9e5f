#include "support/recording_port.h"

namespace vl {

void RecordingBackend::message_box(BoxOwner owner, const std::string& text,
                                   const std::string& caption) {
  RecordedBox box{owner, text, caption};
  {
    std::lock_guard<std::mutex> lock(mu_);
    boxes_.push_back(box);
  }
  if (on_box) on_box(box);
}

void RecordingBackend::set_text(int control, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    writes_.push_back({control, text});
    text_[control] = text;
  }
  if (on_text) on_text(control, text);
}

void RecordingBackend::set_enabled(int control, bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  enabled_[control] = enabled ? 1 : 0;
}

void RecordingBackend::set_progress_range(int control, uint32_t, uint32_t high) {
  std::lock_guard<std::mutex> lock(mu_);
  high_[control] = high;
}

void RecordingBackend::set_progress_pos(int control, uint32_t pos) {
  std::lock_guard<std::mutex> lock(mu_);
  pos_[control] = pos;
}

std::vector<RecordedBox> RecordingBackend::boxes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return boxes_;
}

std::vector<std::string> RecordingBackend::texts(int control) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const auto& w : writes_)
    if (w.control == control) out.push_back(w.text);
  return out;
}

std::string RecordingBackend::text(int control) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = text_.find(control);
  return it == text_.end() ? std::string() : it->second;
}

int RecordingBackend::enabled(int control) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = enabled_.find(control);
  return it == enabled_.end() ? -1 : it->second;
}

uint32_t RecordingBackend::progress_pos(int control) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = pos_.find(control);
  return it == pos_.end() ? 0 : it->second;
}

uint32_t RecordingBackend::progress_high(int control) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = high_.find(control);
  return it == high_.end() ? 0 : it->second;
}

void RecordingBackend::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  boxes_.clear();
  writes_.clear();
  text_.clear();
  enabled_.clear();
  pos_.clear();
  high_.clear();
}

}  // namespace vl
