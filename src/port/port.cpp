#include "port/port.h"

#include <atomic>

namespace vl {
namespace {

class SilentBackend : public UiBackend {
 public:
  void message_box(BoxOwner, const std::string&, const std::string&) override {}
  void set_text(int, const std::string&) override {}
  void set_enabled(int, bool) override {}
  void set_progress_range(int, uint32_t, uint32_t) override {}
  void set_progress_pos(int, uint32_t) override {}
};

SilentBackend g_silent;
std::atomic<UiBackend*> g_port_backend{&g_silent};
std::atomic<bool> g_run_view{false};

}  // namespace

void ui_backend_set(UiBackend* backend) { g_port_backend.store(backend ? backend : &g_silent); }

void message_box(BoxOwner owner, const std::string& text, const std::string& caption) {
  g_port_backend.load()->message_box(owner, text, caption);
}

void run_view_open() { g_run_view.store(true); }
void run_view_close() { g_run_view.store(false); }
bool run_view_exists() { return g_run_view.load(); }

void run_view_text(int control, const std::string& text) {
  if (g_run_view.load()) g_port_backend.load()->set_text(control, text);
}

bool run_view_shows(int control) {
  return g_run_view.load() && g_port_backend.load()->shows_text(control);
}

void run_view_enable(int control, bool enabled) {
  if (g_run_view.load()) g_port_backend.load()->set_enabled(control, enabled);
}

void run_view_progress_range(int control, uint32_t low, uint32_t high) {
  if (g_run_view.load()) g_port_backend.load()->set_progress_range(control, low, high);
}

void run_view_progress_pos(int control, uint32_t pos) {
  if (g_run_view.load()) g_port_backend.load()->set_progress_pos(control, pos);
}

}  // namespace vl
