#include "platform/display_probe.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vl {
namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// Whether a local X server answers on display number n (its socket, in the file system or in
// the abstract namespace).
bool x_socket_answers(const std::string& number) {
  std::string path = "/tmp/.X11-unix/X" + number;
  for (bool abstract : {true, false}) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) {
      ::close(fd);
      return false;
    }
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    if (ok) return true;
  }
  return false;
}

bool wayland_available() {
  std::string wayland = env("WAYLAND_DISPLAY");
  if (wayland.empty()) return false;
  std::string path = wayland[0] == '/' ? wayland : env("XDG_RUNTIME_DIR") + "/" + wayland;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool x_available() {
  std::string display = env("DISPLAY");
  size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;  // a remote display: left to the plugin
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  return !number.empty() && x_socket_answers(number);
}

}  // namespace

// A platform named explicitly is trusted unless it is one of the two display servers.
bool display_available() {
  std::string platform = env("QT_QPA_PLATFORM");
  if (platform.rfind("xcb", 0) == 0) return x_available();
  if (platform.rfind("wayland", 0) == 0) return wayland_available();
  if (!platform.empty()) return true;
  return wayland_available() || x_available();
}

}  // namespace vl
