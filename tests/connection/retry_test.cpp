// The retry loops: countdown tables and status sequences on the fast clock, cancel and pause
// during a countdown, and the request pattern after a dropped connection.
#include "connection/retry.h"

#include "connection/messages.h"
#include "run/run_control.h"
#include "run/status.h"
#include "net_fixture.h"

namespace vl {
namespace {

using test::RefServer;

TEST(RetryDelay, Table) {
  struct Case {
    int n;
    uint32_t seconds;
  } cases[] = {{-3, 5}, {0, 5},   {1, 5},   {2, 10},  {5, 10},  {6, 20},
               {10, 20}, {11, 60}, {20, 60}, {21, 300}, {1000000, 300}};
  for (const auto& c : cases) EXPECT_EQ(retry_delay(c.n), c.seconds) << c.n;
}

std::vector<std::string> countdown(const std::string& fmt_head, int number, int from) {
  std::vector<std::string> out;
  for (int s = from; s >= 1; --s)
    out.push_back(fmt_head + std::to_string(number) + " in " + std::to_string(s) + "s");
  return out;
}

void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

class RetryTest : public test::NetTest {};

// One segment query through the request pattern: 0 when the server holds the segment.
int query(RunContext& ctx, const uint8_t digest[16], uint32_t size) {
  auto request = seg_query_build(digest, size);
  uint8_t buf[kReplyCap];
  int n = server_request(
      ctx, request.data(), static_cast<int>(request.size()), buf, kReplyCap,
      [](const uint8_t* b, int len) { return reply_is(b, len, kGroupSegment, kCodeSegQueryReply, 3); },
      "Kicking Ass!");
  return n >= 0 && buf[2] == 0xFF ? 0 : 1;
}

TEST_F(RetryTest, FirstConnectionCountdownsUntilCancel) {
  test::ClosedPort closed;
  ctx_.profile->port = static_cast<uint16_t>(closed.port());
  ui_.on_text = [&](int control, const std::string& text) {
    if (control == kCtlStatus && text == "Retry connect #3 in 7s") ctx_.cancel = 1;
  };
  EXPECT_EQ(server_connect(ctx_), 1);
  ui_.on_text = nullptr;

  std::vector<std::string> attempt = {"Connecting...", "Connect Failed!", "Connection Failed!"};
  std::vector<std::string> expected = attempt;
  append(expected, countdown("Retry connect #", 1, 5));
  expected.push_back("Retry Connect..");
  append(expected, attempt);
  append(expected, countdown("Retry connect #", 2, 5));
  expected.push_back("Retry Connect #2..");
  append(expected, attempt);
  append(expected, {"Retry connect #3 in 10s", "Retry connect #3 in 9s", "Retry connect #3 in 8s",
                    "Retry connect #3 in 7s"});
  EXPECT_EQ(statuses(), expected);
  EXPECT_EQ(ui_.enabled(kCtlButtonPause), 0);
  EXPECT_EQ(ctx_.conn.ssl, nullptr);
  // 0.5 + 5 + 0.5 | 0.5 + 5 + 1 + 0.5 | 0.5 + 3 seconds of the fast clock.
  EXPECT_EQ(clock_fast_elapsed_ms(), 16500u);
}

TEST_F(RetryTest, PauseFreezesACountdown) {
  test::ClosedPort closed;
  ctx_.profile->port = static_cast<uint16_t>(closed.port());
  int paused_sleeps = 0;
  ui_.on_text = [&](int control, const std::string& text) {
    if (control != kCtlStatus) return;
    if (text == "Retry connect #1 in 3s" && paused_sleeps == 0) ctx_.pause = 1;
    if (text == "Retry connect #2 in 5s") ctx_.cancel = 1;
  };
  int resumable = 0;  // the paused sleeps with Pause (then reading Resume) enabled
  clock_sleep_observer_set([&](uint32_t ms) {
    if (ctx_.pause == 0 || ms != 100) return;
    resumable += ui_.enabled(kCtlButtonPause) == 1;
    if (++paused_sleeps == 50) ctx_.pause = 0;
  });
  EXPECT_EQ(server_connect(ctx_), 1);
  ui_.on_text = nullptr;
  EXPECT_EQ(paused_sleeps, 50);
  EXPECT_EQ(resumable, 50);
  EXPECT_EQ(ui_.enabled(kCtlButtonPause), 0);
  auto st = statuses();
  auto at = std::find(st.begin(), st.end(), "Retry connect #1 in 3s");
  ASSERT_NE(at, st.end());
  ASSERT_GE(st.end() - at, 4);
  EXPECT_EQ(*(at + 1), "Paused...");
  EXPECT_EQ(*(at + 2), "Retry connect #1 in 3s");
  EXPECT_EQ(*(at + 3), "Retry connect #1 in 2s");
}

TEST_F(RetryTest, BusyIsRetriedButARefusedLoginEndsTheLoop) {
  RefServer server({"--login-busy", "1", "--login-refuse", "1"});
  use(server);
  EXPECT_EQ(server_connect(ctx_), kReconnectRefused);
  EXPECT_EQ(ui_.enabled(kCtlButtonPause), 0);
  EXPECT_EQ(ctx_.conn.ssl, nullptr);
  auto st = statuses();
  EXPECT_EQ(std::count(st.begin(), st.end(), "Server Busy!"), 1);
  EXPECT_EQ(std::count(st.begin(), st.end(), "Connection Failed!"), 1);
  EXPECT_EQ(st.back(), "Login Failed!");
  EXPECT_EQ(ui_.text(kCtlLastAttempt), "Last attempt: localhost:" + std::to_string(server.port()) +
                                           " is busy");
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(test::trace_of(server, 'C', "0008").size(), 2u);
  // The next connection logs in and clears the cause.
  EXPECT_EQ(server_connect(ctx_), kReconnectOk);
  EXPECT_EQ(ui_.text(kCtlLastAttempt), "");
}

TEST_F(RetryTest, ReconnectFailingOnceThenSucceeding) {
  RefServer server({"--login-busy", "1"});
  use(server);
  EXPECT_EQ(server_reconnect(ctx_), 0);
  std::vector<std::string> expected = {"Reconnecting..", "Establishing SSL Session...",
                                       "Logging In...", "Server Busy!", "Reconnect Failed!"};
  append(expected, countdown("Reconnect Try #", 2, 5));
  append(expected, {"Reconnecting #2..", "Establishing SSL Session...", "Logging In...",
                    "Login Successful!", "Reconnected!"});
  EXPECT_EQ(statuses(), expected);
  EXPECT_EQ(ui_.enabled(kCtlButtonPause), 1);
}

TEST_F(RetryTest, ReconnectCountdownsGrowAndCancelLeavesPauseDisabled) {
  test::ClosedPort closed;
  ctx_.profile->port = static_cast<uint16_t>(closed.port());
  ui_.on_text = [&](int control, const std::string& text) {
    if (control == kCtlStatus && text == "Reconnect Try #23 in 300s") ctx_.cancel = 1;
  };
  EXPECT_EQ(server_reconnect(ctx_), 1);
  ui_.on_text = nullptr;
  auto st = statuses();
  // A reconnection attempt sets no status of its own when the TCP connection fails.
  EXPECT_EQ(std::count(st.begin(), st.end(), "Connect Failed!"), 0);
  auto starts = [&](const std::string& head) {
    return std::find(st.begin(), st.end(), head) != st.end();
  };
  EXPECT_TRUE(starts("Reconnect Try #2 in 5s"));
  EXPECT_FALSE(starts("Reconnect Try #2 in 6s"));
  EXPECT_TRUE(starts("Reconnect Try #3 in 10s"));
  EXPECT_TRUE(starts("Reconnect Try #7 in 20s"));
  EXPECT_TRUE(starts("Reconnect Try #12 in 60s"));
  EXPECT_TRUE(starts("Reconnect Try #21 in 60s"));
  EXPECT_TRUE(starts("Reconnect Try #22 in 300s"));  // after the 21st failed attempt
  EXPECT_TRUE(starts("Reconnecting #22.."));
  EXPECT_EQ(st.back(), "Reconnect Try #23 in 300s");
  EXPECT_EQ(ui_.enabled(kCtlButtonPause), 0);
}

TEST_F(RetryTest, DroppedConnectionIsReconnectedByTheRequest) {
  // The server drops the connection after its 3rd client message (login is the 1st).
  RefServer server({"--drop-after-messages", "3"});
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  ctx_.catalog_id = 5;
  const uint8_t digest[16] = {1, 2, 3};
  EXPECT_EQ(query(ctx_, digest, 10), 1);  // message 2: answered
  ui_.clear();
  EXPECT_EQ(query(ctx_, digest, 10), 1);  // message 3: dropped, asked again
  EXPECT_EQ(test::trace_of(server, 'C', "8000").size(), 3u);
  auto st = statuses();
  EXPECT_EQ(st.front(), "Reconnecting..");
  EXPECT_EQ(st.back(), "Kicking Ass!");
}

TEST_F(RetryTest, ARequestFailingRightAfterAReconnectWaitsBeforeTheNextAttempt) {
  // Every query reply has the wrong header three times: the first failure reconnects at once,
  // each following one (no reply accepted since the reconnect) counts down first, growing.
  RefServer server({"--wrong-header", "8001:3"});
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  ui_.clear();
  const uint8_t digest[16] = {4};
  EXPECT_EQ(query(ctx_, digest, 10), 1);
  auto st = statuses();
  auto has = [&](const char* text) { return std::find(st.begin(), st.end(), text) != st.end(); };
  EXPECT_TRUE(has("Reconnect Try #2 in 5s"));
  EXPECT_TRUE(has("Reconnect Try #3 in 10s"));
  EXPECT_FALSE(has("Reconnect Try #4 in 10s"));
  EXPECT_EQ(std::count(st.begin(), st.end(), "Reconnected!"), 3);
  EXPECT_EQ(test::trace_of(server, 'C', "8000").size(), 4u);
  // A reply accepted resets the back-off: the next failure reconnects at once.
  EXPECT_EQ(ctx_.conn.failed_exchanges, 0);
}

TEST_F(RetryTest, LongPauseDropsTheConnectionAndTheNextRequestReconnects) {
  RefServer server;
  use(server);
  ASSERT_EQ(server_open(ctx_), 0);
  status_set(ctx_, "Kicking Ass!");
  ctx_.pause = 1;
  int sleeps = 0;
  clock_sleep_observer_set([&](uint32_t) {
    if (++sleeps == 1250) ctx_.pause = 0;
  });
  pause_wait(ctx_);
  clock_sleep_observer_set(nullptr);
  EXPECT_EQ(ctx_.conn.ssl, nullptr);
  EXPECT_EQ(test::trace_wait(server, 'C', "000f", 1).size(), 1u);
  EXPECT_EQ(ctx_.status_text, "Kicking Ass!");
  const uint8_t digest[16] = {9};
  EXPECT_EQ(query(ctx_, digest, 1), 1);
  EXPECT_NE(ctx_.conn.ssl, nullptr);
  EXPECT_EQ(test::trace_of(server, 'C', "8000").size(), 1u);
}

}  // namespace
}  // namespace vl
