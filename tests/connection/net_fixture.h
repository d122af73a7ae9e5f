// Shared by the connection tests that talk to the reference server over TLS on 127.0.0.1: a run
// context with a profile for the server, the CA of the test certificates as the installation's
// ca.crt, and the server's trace parsed into messages.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "connection/connect.h"
#include "connection/identifiers.h"
#include "connection/transport.h"
#include "run/run_context.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"
#include "support/refserver_process.h"
#include "support/test_support.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl::test {

// One line of the server's trace: "<conn> <C|S> <GGCC> <length> [<hex>]".
struct TraceMsg {
  int conn = 0;
  char dir = 0;
  std::string type;
  int len = 0;
  std::string hex;
};

inline std::vector<TraceMsg> trace_parse(const std::vector<std::string>& lines) {
  std::vector<TraceMsg> out;
  for (const auto& line : lines) {
    std::istringstream in(line);
    TraceMsg m;
    in >> m.conn >> m.dir >> m.type >> m.len >> m.hex;
    out.push_back(m);
  }
  return out;
}

inline std::vector<TraceMsg> trace_of(const RefServer& server, char dir, const std::string& type) {
  std::vector<TraceMsg> out;
  for (const auto& m : trace_parse(server.trace()))
    if (m.dir == dir && m.type == type) out.push_back(m);
  return out;
}

// The server traces a message after it has read it: waits (real time, at most 5 s) until the
// trace holds at least `count` messages of a type.
inline std::vector<TraceMsg> trace_wait(const RefServer& server, char dir, const std::string& type,
                                        size_t count) {
  for (int i = 0; i < 500; ++i) {
    auto found = trace_of(server, dir, type);
    if (found.size() >= count) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return trace_of(server, dir, type);
}

inline std::vector<uint8_t> hex_bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  return out;
}

// A port on 127.0.0.1 with nothing listening: bound and kept, so no one else takes it meanwhile.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class NetTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    install_dir_set(test_certs_dir());
    ASSERT_EQ(ssl_init(), 0);
    run_view_open();
    ctx_.profile = std::make_unique<ProfileSettings>();
    ctx_.profile->tag = "daily";
    ctx_.profile->server = "localhost";
    ctx_.profile->login = "alice";
    ctx_.profile->password = "secret";
    ctx_.long_pause_hook = [](RunContext& c) { server_disconnect(c); };
  }
  void TearDown() override {
    connection_drop(ctx_.conn);
    ssl_shutdown();
    StoreTest::TearDown();
  }
  void use(const RefServer& server) { ctx_.profile->port = static_cast<uint16_t>(server.port()); }
  // Connects to server, gets the profile and catalog ids, opens a run log, forgets the UI writes.
  void start_run(const RefServer& server) {
    use(server);
    ASSERT_EQ(server_open(ctx_), 0);
    ASSERT_EQ(server_get_profile_id(ctx_), 0);
    ASSERT_EQ(server_alloc_catalog_id(ctx_), 0);
    ctx_.log = file_open(dir_.path() + "/run.log", "w+");
    ui_.clear();
  }
  std::vector<std::string> statuses() const { return ui_.texts(kCtlStatus); }
  // The statuses written since the index `from`.
  std::vector<std::string> statuses_from(size_t from) const {
    auto all = statuses();
    return std::vector<std::string>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
  }

  RunContext ctx_;
};

}  // namespace vl::test
