// The desktop notification: no bus, a bus that never answers, and a real private session bus
// (dbus-daemon) with a notification server of the test's own at the end of an unattended run.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/format.h"
#include "e2e_support.h"
#include "platform/clock.h"
#include "platform/desktop_notify.h"

namespace vl::test {
namespace {

// A private session bus listening at dir/bus, and a notification server on it that records the
// summary and body of every Notify call and answers it, on a thread of its own.
class NotificationBus {
 public:
  NotificationBus() {
    // The policy of the packaged session bus; with less, the bus leaves callers without answers.
    write_file(dir_ / "bus.conf", "<busconfig><type>session</type><listen>unix:path=" + dir_ / "bus" +
                                      "</listen><policy context=\"default\"><allow send_destination="
                                      "\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
                                      "own=\"*\"/></policy></busconfig>\n");
    // --fork returns once the bus listens; it prints the address, then the daemon's pid.
    ProcessResult p = run_process({"/usr/bin/dbus-daemon", "--config-file=" + dir_ / "bus.conf",
                                   "--fork", "--print-pid", "--print-address"});
    address_ = p.out.substr(0, p.out.find('\n'));
    daemon_ = std::atoi(p.out.c_str() + address_.size());
    EXPECT_GT(daemon_, 0) << "dbus-daemon (scripts/setup installs it): " << p.err;
    EXPECT_GE(sd_bus_new(&bus_), 0);
    EXPECT_GE(sd_bus_set_address(bus_, address_.c_str()), 0);
    EXPECT_GE(sd_bus_set_bus_client(bus_, 1), 0);
    EXPECT_GE(sd_bus_start(bus_), 0);
    EXPECT_GE(sd_bus_add_object(bus_, nullptr, "/org/freedesktop/Notifications", on_call, this), 0);
    EXPECT_GE(sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0), 0);
    thread_ = std::thread([this] {
      while (!stop_ && sd_bus_process(bus_, nullptr) >= 0) sd_bus_wait(bus_, 20000);
    });
  }
  ~NotificationBus() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
    if (daemon_ > 0) ::kill(daemon_, SIGTERM);
  }
  const std::string& address() const { return address_; }
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> lock(mu_);
    return got_;
  }

 private:
  static int on_call(sd_bus_message* m, void* self, sd_bus_error*) {
    const char *app, *icon, *summary, *body;
    uint32_t replaces = 0;
    if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body) < 0) return -EINVAL;
    auto* bus = static_cast<NotificationBus*>(self);
    std::lock_guard<std::mutex> lock(bus->mu_);
    bus->got_.push_back(std::string(summary) + "|" + body);
    return sd_bus_reply_method_return(m, "u", 7u);
  }

  TempDir dir_;
  std::string address_;
  pid_t daemon_ = -1;
  sd_bus* bus_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<std::string> got_;
};

TEST(DesktopNotify, NoBusOrASilentOneCostsTheRunNothing) {
  TempDir dir;
  const std::string odd = dir / "a,b;c";  // characters that end a bus address
  ::mkdir(odd.c_str(), 0700);
  ::mkdir((dir / "file").c_str(), 0700);
  write_file(dir / "file/bus", "");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("XDG_RUNTIME_DIR", (dir / "file").c_str(), 1);
  EXPECT_EQ(session_bus_address(), "") << "not a socket";
  EXPECT_FALSE(desktop_notify({"app", "", "", "s", "b", false}));
  // A bus socket whose listener never accepts: the notification gives up at its time limit.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (odd + "/bus").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  ::setenv("XDG_RUNTIME_DIR", odd.c_str(), 1);
  EXPECT_EQ(session_bus_address(), "unix:path=" + dir.path() + "/a%2cb%3bc/bus");
  const uint64_t start_ms = clock_monotonic_ms();
  EXPECT_FALSE(desktop_notify({"app", "", "", "s", "b", false}, 100));
  EXPECT_LT(clock_monotonic_ms() - start_ms, 1000u);
  ::close(fd);
  ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(DesktopNotify, AnUnattendedRunEndsWithOneNotification) {
  NotificationBus bus;
  Installation inst;
  const std::string s = inst.source();
  write_file(s + "/locked.bin", "locked\n");
  write_file(s + "/fine.txt", "fine\n");
  RefServer server({"--account", "alice:secret", "--profile", "daily:7"});
  inst.profile("daily", server.port(), {s});
  std::vector<std::string> env = inst.env();
  env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
  env.push_back("VORNLAKE_TEST_OPEN_FAIL=" + s + "/locked.bin");
  ProcessResult p = run_process({bin_path("vornlake"), "/run:daily"}, env);
  ASSERT_EQ(p.status, 2) << p.err;
  // The counts are those of the run log's statistics.
  const std::string log = inst.data() + "/Profiles/daily/00000001.log";
  uint64_t files = 0, bytes = 0;
  for (const auto& line : read_lines(log)) {
    if (line.rfind("Files:", 0) == 0) files = std::stoull(line.substr(6));
    if (line.rfind("Bytes:", 0) == 0) bytes = std::stoull(line.substr(6));
  }
  EXPECT_EQ(bus.received(), std::vector<std::string>{"Backup daily completed with 1 warning|" +
                                                     count_format(files) + " files, " +
                                                     count_format(bytes) +
                                                     " bytes, 1 warning, 0 errors\nRun log: " + log});
  // Bytes that are not UTF-8 would make the bus drop the message; markup characters in a path
  // would be read as markup.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
  EXPECT_TRUE(desktop_notify({"app", "", "", "caf\xC3\xA9\xFF", "<b> & \x01 \xED\xA0\x80", true}));
  EXPECT_EQ(bus.received().back(), "caf\xC3\xA9\\xFF|&lt;b&gt; &amp; \\x01 \\xED\\xA0\\x80");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace vl::test
