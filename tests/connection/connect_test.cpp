// Connect, TLS and login against the reference server, and the transport's edge cases.
#include "connection/connect.h"
#include "connection/ca_source.h"

#include <openssl/ssl.h>

#include "connection/messages.h"
#include "net_fixture.h"
#include "platform/clock.h"
#include "platform/socket_wait.h"

namespace vl {
namespace {

using test::RefServer;
using test::trace_of;
using test::trace_wait;

class ConnectTest : public test::NetTest {};

TEST_F(ConnectTest, LoginMessageOnTheWireAndGoodbye) {
  std::string login32(32, 'q');
  RefServer server({"--account", login32 + ":secret", "--profile", "daily:7"});
  use(server);
  ctx_.profile->login = login32;
  ASSERT_EQ(server_open(ctx_), 0);
  EXPECT_EQ(statuses(), (std::vector<std::string>{"Connecting...", "Establishing SSL Session...",
                                                  "Logging In...", "Login Successful!"}));
  EXPECT_NE(ctx_.conn.ssl, nullptr);
  auto logins = trace_of(server, 'C', "0008");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].len, 76);
  auto bytes = test::hex_bytes(logins[0].hex);
  auto expected = login_message_build(login32, "secret");
  EXPECT_EQ(bytes, std::vector<uint8_t>(expected.begin(), expected.end()));
  EXPECT_EQ(bytes[41], 'q');
  EXPECT_EQ(bytes[42], 0);
  // Every byte is counted: greeting and login reply in, login out.
  EXPECT_EQ(ctx_.stats.net_tx_bytes.load(), 76u);
  EXPECT_GE(ctx_.stats.net_rx_bytes.load(), 13u);

  EXPECT_EQ(server_disconnect(ctx_), 0);
  EXPECT_EQ(ctx_.conn.ssl, nullptr);
  EXPECT_EQ(trace_wait(server, 'C', "000f", 1).size(), 1u);
  // Without a connection: nothing sent, nothing counted.
  uint64_t tx = ctx_.stats.net_tx_bytes;
  EXPECT_EQ(server_disconnect(ctx_), 0);
  EXPECT_EQ(ctx_.stats.net_tx_bytes.load(), tx);
  EXPECT_EQ(server_send(ctx_, "x", 1, 20), -1);
  char buf[8];
  EXPECT_EQ(server_receive(ctx_, buf, sizeof buf, 20), -1);
  EXPECT_EQ(ctx_.stats.net_tx_bytes.load(), tx);
}

TEST_F(ConnectTest, IpLiteralIsVerifiedAgainstTheCertificateAddress) {
  RefServer server;
  use(server);
  ctx_.profile->server = "127.0.0.1";
  EXPECT_EQ(server_open(ctx_), 0);
}

TEST_F(ConnectTest, MalformedGreetingEndsWithServerErrorAndGoodbyeWithoutLogin) {
  for (const char* fault : {"--greeting-short", "--greeting-bad"}) {
    SCOPED_TRACE(fault);
    RefServer server({fault, "1"});
    use(server);
    ui_.clear();
    EXPECT_EQ(server_open(ctx_), 1);
    EXPECT_EQ(statuses().back(), "Server Error!");
    EXPECT_EQ(ctx_.conn.ssl, nullptr);
    EXPECT_EQ(trace_wait(server, 'C', "000f", 1).size(), 1u);
    EXPECT_TRUE(trace_of(server, 'C', "0008").empty());
    // The fault used up: the next attempt logs in.
    EXPECT_EQ(server_reopen(ctx_), 0);
    EXPECT_EQ(trace_of(server, 'C', "0008").size(), 1u);
    connection_drop(ctx_.conn);
  }
}

TEST_F(ConnectTest, LoginReplies) {
  RefServer server({"--login-busy", "1", "--login-refuse", "2", "--login-odd", "1"});
  use(server);
  EXPECT_EQ(server_open(ctx_), 1);
  EXPECT_EQ(statuses().back(), "Server Busy!");
  EXPECT_EQ(ctx_.conn.ssl, nullptr);

  // A refusal is told apart from a failed attempt (the run ends with its one box, shown by the
  // worker), on a first connection and a reconnection alike.
  ui_.clear();
  EXPECT_EQ(server_open(ctx_), kAttemptRefused);
  EXPECT_EQ(statuses().back(), "Login Failed!");
  EXPECT_EQ(server_last_failure(), "localhost:" + std::to_string(server.port()) +
                                       " refused the login or password");
  ui_.clear();
  EXPECT_EQ(server_reopen(ctx_), kAttemptRefused);
  EXPECT_EQ(statuses().back(), "Login Failed!");
  EXPECT_TRUE(ui_.boxes().empty());
  auto st = statuses();
  EXPECT_EQ(std::count(st.begin(), st.end(), "Connecting..."), 0);

  // Result 0x07 counts as accepted and leaves "Logging In..." on the status line.
  ui_.clear();
  EXPECT_EQ(server_open(ctx_), 0);
  EXPECT_EQ(statuses().back(), "Logging In...");
  EXPECT_NE(ctx_.conn.ssl, nullptr);
  // Refused and busy attempts never said goodbye.
  server_disconnect(ctx_);
  EXPECT_EQ(trace_wait(server, 'C', "000f", 1).size(), 1u);
}

TEST_F(ConnectTest, CertificateOfAnotherAuthorityNeverReceivesTheLogin) {
  RefServer server({}, "", true);
  use(server);
  EXPECT_EQ(server_open(ctx_), 1);
  EXPECT_EQ(statuses().back(), "SSL Session Failed!");
  EXPECT_EQ(ui_.text(kCtlStatusReason), "unable to get local issuer certificate");
  EXPECT_EQ(ctx_.conn.ssl, nullptr);
  EXPECT_EQ(server_reopen(ctx_), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (const auto& m : test::trace_parse(server.trace())) EXPECT_NE(m.type, "0008");
}

TEST_F(ConnectTest, ServerNameMustMatchTheCertificate) {
  // "127.1" reaches 127.0.0.1 but is a host name that the certificate (localhost, 127.0.0.1)
  // does not carry.
  RefServer server;
  use(server);
  ctx_.profile->server = "127.1";
  EXPECT_EQ(server_open(ctx_), 1);
  EXPECT_EQ(statuses().back(), "SSL Session Failed!");
  // Why, in the TLS library's words beside the status, and as the attempt's cause.
  EXPECT_EQ(ui_.text(kCtlStatusReason), "hostname mismatch");
  EXPECT_EQ(server_last_failure(), "the certificate does not match the host name 127.1");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(trace_of(server, 'C', "0008").empty());
}

TEST_F(ConnectTest, SslInitReportsAMissingCaList) {
  // The first place that applies; a CA_File named is never passed over.
  const CaPlaces places{"", "/i/ca.crt", "/u/ca.crt", "/s/cert.pem", "/s/certs"};
  CaPlaces named = places;
  named.configured = "/n/ca.crt";
  const struct {
    const CaPlaces& places;
    CaPresence found;
    CaKind kind;
    const char* path;
  } choices[] = {{places, {true, true, true}, CaKind::file, "/i/ca.crt"},
                 {places, {false, true, true}, CaKind::file, "/u/ca.crt"},
                 {places, {false, false, true}, CaKind::system, ""},
                 {places, {false, false, false}, CaKind::none, ""},
                 {named, {true, true, true}, CaKind::file, "/n/ca.crt"}};
  for (const auto& c : choices) {
    CaChoice choice = ca_choose(c.places, c.found);
    EXPECT_EQ(choice.kind, c.kind) << c.path;
    EXPECT_EQ(choice.path, c.path);
  }
  install_dir_set(dir_.path());
  ::setenv("SSL_CERT_FILE", "/vl-none/cert.pem", 1);
  ::setenv("SSL_CERT_DIR", "/vl-none", 1);
  ::setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
  EXPECT_EQ(ssl_init(), 2);
  ::unsetenv("SSL_CERT_FILE");
  ::unsetenv("SSL_CERT_DIR");
  ::unsetenv("XDG_CONFIG_HOME");
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text.rfind("Failed to load CA list!\n", 0), 0u);
  EXPECT_NE(ui_.boxes()[0].text.find(dir_ / "corvantis/ca.crt"), std::string::npos);
  EXPECT_EQ(ui_.boxes()[0].caption, "OpenSSL Init Error");
  // Without a context no attempt can succeed (and none crashes).
  ctx_.profile->port = 1;
  EXPECT_EQ(server_open(ctx_), 1);
}

TEST_F(ConnectTest, CancelIsSeenBeforeTheSocketIsTouched) {
  RefServer server;
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  size_t lines = server.trace().size();
  uint64_t tx = ctx_.stats.net_tx_bytes;
  ctx_.cancel = 1;
  uint8_t query[22] = {0x80, 0x00};
  EXPECT_EQ(server_send(ctx_, query, 22, 20), 0);
  // Counted before the loop, whatever the outcome.
  EXPECT_EQ(ctx_.stats.net_tx_bytes.load(), tx + 22);
  uint8_t buf[256];
  EXPECT_EQ(server_receive(ctx_, buf, sizeof buf, 20), 0);
  // The goodbye is not sent either: the disconnect only releases.
  server_disconnect(ctx_);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server.trace().size(), lines);
}

TEST_F(ConnectTest, InvalidDescriptorIsReported) {
  // A connect BIO that never connected has no descriptor.
  SSL_CTX* c = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(c);
  BIO* bio = BIO_new_connect("127.0.0.1:1");
  SSL_set_bio(ssl, bio, bio);
  connection_set(ctx_.conn, ssl);
  EXPECT_EQ(server_send(ctx_, "ab", 2, 20), 0);
  char buf[4];
  EXPECT_EQ(server_receive(ctx_, buf, 4, 20), 0);
  ASSERT_EQ(ui_.boxes().size(), 2u);
  EXPECT_EQ(ui_.boxes()[0].text, "Error - fd of BIO is not valid!");
  EXPECT_EQ(ui_.boxes()[0].caption, "Blah!");
  EXPECT_EQ(ctx_.stats.net_tx_bytes.load(), 0u);
  connection_drop(ctx_.conn);
  SSL_CTX_free(c);
}

// A name server that does not answer holds up neither a cancel nor the deadline; a name that
// resolves still gets to its address (nothing listens on port 1: refused, not unresolved).
TEST(ConnectLookup, ASlowLookupEndsAtACancelOrTheDeadline) {
  struct Case {
    const char* what;
    int lookup_delay_ms;
    int cancel_after_ms;  // -1: never
    uint64_t deadline_ms;
    ConnectFailure want;
  } cases[] = {
      {"cancelled", 60000, 200, 60000, ConnectFailure::cancelled},
      {"past the deadline", 60000, -1, 200, ConnectFailure::timed_out},
      {"answered", 0, -1, 10000, ConnectFailure::refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    net_fault_lookup_delay_set(c.lookup_delay_ms);
    const uint64_t start = clock_monotonic_ms();
    ConnectFailure failure = ConnectFailure::none;
    std::string text;
    int fd = tcp_connect(
        "localhost", 1, start + c.deadline_ms,
        [&] {
          return c.cancel_after_ms >= 0 &&
                 clock_monotonic_ms() - start >= static_cast<uint64_t>(c.cancel_after_ms);
        },
        &failure, &text);
    net_fault_lookup_delay_set(0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(failure, c.want) << text;
    EXPECT_LT(clock_monotonic_ms() - start, 2000u);
  }
}

// Each address of a name gets a share of the time left, so that one that drops packets leaves
// time for the next; the last one gets all that is left.
TEST(ConnectLookup, EachAddressGetsAShareOfTheTimeLeft) {
  struct Case {
    const char* what;
    uint64_t left_ms;
    size_t addresses_left;
    uint64_t want_ms;
  } cases[] = {
      {"the only address", 30000, 1, 30000},
      {"the first of two", 30000, 2, 15000},
      {"the first of three", 30000, 3, 10000},
      {"at least the minimum", 5000, 4, 2000},
      {"no more than is left", 1500, 3, 1500},
      {"nothing left", 0, 2, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(connect_share_ms(c.left_ms, c.addresses_left), c.want_ms) << c.what;
}

}  // namespace
}  // namespace vl
