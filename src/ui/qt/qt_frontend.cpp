#include "ui/qt/qt_frontend.h"

#include <QApplication>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>
#include <memory>

#include "platform/child_probe.h"
#include "platform/display_probe.h"
#include "ui/qt/main_window.h"
#include "ui/qt/profile_list_dialog.h"
#include "ui/qt/qt_backend.h"
#include "ui/qt/run_dialog.h"

namespace vl {
namespace {

std::unique_ptr<QApplication> g_app;
std::unique_ptr<QtBackend> g_qt_backend;

// A display server that accepts the connection and then says nothing holds the probe this long.
constexpr int kDisplayProbeMs = 5000;

}  // namespace

bool qt_display_opens() {
  if (!display_available()) return false;
  return child_probe(
             [] {
               int argc = 1;
               char name[] = "vornlake";
               char* argv[] = {name, nullptr};
               QGuiApplication app(argc, argv);
               return 0;
             },
             kDisplayProbeMs) == 0;
}

bool qt_frontend_init(int& argc, char** argv) {
  if (g_app) return true;
  if (!display_available()) return false;
  g_app = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  g_qt_backend = std::make_unique<QtBackend>();
  ui_backend_set(g_qt_backend.get());
  // A start-up that ends early (missing settings, a store that cannot be opened) returns without
  // the shutdown call; the application must still go before the statics it relies on.
  static bool registered = false;
  if (!registered) registered = std::atexit(qt_frontend_shutdown) == 0;
  return true;
}

int qt_run_interactive() {
  MainWindow main_window;  // never shown
  std::string last_tag;
  bool login_refused = false;
  for (;;) {
    // A new list each time, so that Last Run and Schedule show what the run just did.
    ProfileListDialog list(nullptr);
    if (!last_tag.empty()) list.select_tag(last_tag);
    if (login_refused)
      QTimer::singleShot(0, &list, [&list, last_tag] { list.login_failed_offer(last_tag); });
    if (list.exec() != QDialog::Accepted) return 0;  // Cancel: the program ends
    // The list closed after a successful open_profile: the run dialog follows, and the list
    // comes back when it closes.
    RunContext& ctx = run_context();
    {
      RunDialog run(ctx, profile_entry_running, nullptr);
      run.exec();
    }
    last_tag = profile_entry_running ? profile_entry_running->tag : std::string();
    login_refused = ctx.conn.login_refused || ctx.abort == kAbortLoginRefused;
    run_context_clear(ctx);
    profile_entry_running = nullptr;
  }
}

int qt_run_unattended(RunContext& ctx, ProfileListEntry* entry) {
  ctx.unattended = true;  // a /run:TAG start: it gives up a server it cannot reach
  RunDialog run(ctx, entry, nullptr);
  run.exec();
  return run_exit_code(ctx);
}

void qt_frontend_shutdown() {
  ui_backend_set(nullptr);
  g_qt_backend.reset();
  g_app.reset();
}

}  // namespace vl
