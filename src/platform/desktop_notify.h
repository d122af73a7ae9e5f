// Desktop notifications over the user's session bus: how a run that nobody watched in a window (a
// timer, cron) tells the desktop user that it has ended. The only code that knows D-Bus.
#pragma once

#include <string>

namespace vl {

struct DesktopNotice {
  std::string app_name;       // the sender's name, as the notification server shows it
  std::string icon;           // an icon theme name or an absolute file path; "" for none
  std::string desktop_entry;  // the desktop file's name without ".desktop"; "" for none
  std::string summary;        // one line of plain text
  std::string body;           // plain text, lines separated by "\n"
  bool urgent = false;        // critical urgency: most servers keep it shown until dismissed
};

// How long a notification may hold up the end of the run: connecting, the bus's greeting and the
// server's answer together. A server that answers at all answers within milliseconds.
constexpr int kDesktopNotifyTimeoutMs = 2000;

// The address of the user's session bus: $DBUS_SESSION_BUS_ADDRESS when set and not empty, else
// "unix:path=$XDG_RUNTIME_DIR/bus" (the path escaped as bus addresses require) when that file is
// a socket, else "" (no session bus). Any thread.
std::string session_bus_address();

// Sends one notification (org.freedesktop.Notifications.Notify) on the session bus. Texts are
// passed as plain text: bytes that are not UTF-8 become "\xNN", and the body is escaped for
// servers that read markup. Returns true when the notification server accepted it; false when
// there is no session bus (nothing is attempted then), or the bus or the server refused, failed or
// did not answer within timeout_ms. Prints nothing and never blocks longer than timeout_ms.
// Any one thread at a time (the bus connection is its own and closed before returning).
bool desktop_notify(const DesktopNotice& notice, int timeout_ms = kDesktopNotifyTimeoutMs);

}  // namespace vl
