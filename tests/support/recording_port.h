// The recording back-end of the UI port (tests): keeps every message box and every run-view
// write, in order, and the current text, state and progress of each control. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "port/port.h"

namespace vl {

struct RecordedBox {
  BoxOwner owner;
  std::string text;
  std::string caption;
};

struct RecordedWrite {
  int control;
  std::string text;
};

class RecordingBackend : public UiBackend {
 public:
  void message_box(BoxOwner owner, const std::string& text, const std::string& caption) override;
  void set_text(int control, const std::string& text) override;
  void set_enabled(int control, bool enabled) override;
  void set_progress_range(int control, uint32_t low, uint32_t high) override;
  void set_progress_pos(int control, uint32_t pos) override;

  std::vector<RecordedBox> boxes() const;
  // Every text written to one control, in order.
  std::vector<std::string> texts(int control) const;
  std::string text(int control) const;
  // -1 when never set, else 0 or 1.
  int enabled(int control) const;
  uint32_t progress_pos(int control) const;
  uint32_t progress_high(int control) const;
  void clear();

  // Called (on the calling thread, outside the lock) after each message box is recorded.
  std::function<void(const RecordedBox&)> on_box;
  // Called after each text write.
  std::function<void(int, const std::string&)> on_text;

 private:
  mutable std::mutex mu_;
  std::vector<RecordedBox> boxes_;
  std::vector<RecordedWrite> writes_;
  std::map<int, std::string> text_;
  std::map<int, int> enabled_;
  std::map<int, uint32_t> pos_;
  std::map<int, uint32_t> high_;
};

}  // namespace vl
