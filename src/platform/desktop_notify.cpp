#include "platform/desktop_notify.h"

#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/clock.h"

namespace vl {
namespace {

struct BusClose {
  // No flush: it waits without a limit, and a bus that stopped reading would hold the run.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// A path as a bus address value: bytes other than [-0-9A-Za-z_/.\*] are written as %XX, or a
// comma or semicolon in $XDG_RUNTIME_DIR would end the address early.
std::string address_escape(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                 c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*';
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02x", c);
    out += plain ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out;
}

// The length of the UTF-8 sequence at s[i] when it encodes a character the bus accepts (shortest
// form; no surrogate, noncharacter or value above U+10FFFF), else 0. The bus drops the whole
// message for one such byte, and a profile's tag or path may hold any bytes.
size_t utf8_sequence(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(i);
  size_t len = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                : (lead & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  uint32_t c = len == 1 ? lead : lead & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ||
      (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE)
    return 0;
  return len;
}

// Text the bus and the server take as it is meant: invalid UTF-8 and control characters (other
// than the line break) as "\xNN"; with markup, the three characters a markup parser reads as its
// own escaped.
std::string plain_text(const std::string& s, bool markup) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8_sequence(s, i);
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (len == 0 || (len == 1 && ((c < 0x20 && c != '\n') || c == 0x7F))) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
      ++i;
      continue;
    }
    if (markup && c == '&') out += "&amp;";
    else if (markup && c == '<') out += "&lt;";
    else if (markup && c == '>') out += "&gt;";
    else out.append(s, i, len);
    i += len;
  }
  return out;
}

struct Answer {
  bool done = false;
  bool ok = false;
};

// Called by sd_bus_process with the server's reply, an error, or the bus's own timeout error.
int on_answer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* answer = static_cast<Answer*>(userdata);
  answer->done = true;
  answer->ok = !sd_bus_message_is_method_error(reply, nullptr);
  return 0;
}

}  // namespace

std::string session_bus_address() {
  std::string address = env("DBUS_SESSION_BUS_ADDRESS");
  if (!address.empty()) return address;
  std::string runtime = env("XDG_RUNTIME_DIR");
  if (runtime.empty()) return "";
  std::string path = runtime + "/bus";
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return "";
  return "unix:path=" + address_escape(path);
}

bool desktop_notify(const DesktopNotice& notice, int timeout_ms) {
  const std::string address = session_bus_address();
  if (address.empty() || timeout_ms <= 0) return false;
  const uint64_t deadline_ms = clock_monotonic_ms() + static_cast<uint64_t>(timeout_ms);

  sd_bus* raw_bus = nullptr;
  if (sd_bus_new(&raw_bus) < 0) return false;
  BusPtr bus(raw_bus);
  // sd_bus_start only begins connecting and greeting; the loop below waits for them with the rest.
  if (sd_bus_set_address(bus.get(), address.c_str()) < 0 ||
      sd_bus_set_bus_client(bus.get(), 1) < 0 || sd_bus_start(bus.get()) < 0)
    return false;

  sd_bus_message* raw_message = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &raw_message, "org.freedesktop.Notifications",
                                     "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications", "Notify") < 0)
    return false;
  MessagePtr message(raw_message);
  const uint8_t urgency = notice.urgent ? 2 : 1;
  const int32_t expire_default = -1;
  const std::string app_name = plain_text(notice.app_name, false);
  const std::string icon = plain_text(notice.icon, false);
  const std::string summary = plain_text(notice.summary, false);
  const std::string body = plain_text(notice.body, true);
  const std::string entry = plain_text(notice.desktop_entry, false);
  int r = sd_bus_message_append(message.get(), "susssas", app_name.c_str(), 0u, icon.c_str(),
                                summary.c_str(), body.c_str(), 0);
  if (r >= 0) r = sd_bus_message_open_container(message.get(), 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(message.get(), "{sv}", "urgency", "y", urgency);
  if (r >= 0 && !entry.empty())
    r = sd_bus_message_append(message.get(), "{sv}", "desktop-entry", "s", entry.c_str());
  if (r >= 0) r = sd_bus_message_close_container(message.get());
  if (r >= 0) r = sd_bus_message_append(message.get(), "i", expire_default);
  if (r < 0) return false;

  Answer answer;
  sd_bus_slot* raw_slot = nullptr;
  if (sd_bus_call_async(bus.get(), &raw_slot, message.get(), on_answer, &answer,
                        static_cast<uint64_t>(timeout_ms) * 1000) < 0)
    return false;
  SlotPtr slot(raw_slot);
  while (!answer.done) {
    r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) return false;
    if (r > 0) continue;  // more may be ready at once
    const uint64_t now_ms = clock_monotonic_ms();
    if (now_ms >= deadline_ms) return false;
    if (sd_bus_wait(bus.get(), (deadline_ms - now_ms) * 1000) < 0) return false;
  }
  return answer.ok;
}

}  // namespace vl
