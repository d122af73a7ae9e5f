// The pause point, the status line, the run log and the allowance refill of timer 1.
#include "run/run_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "run/run_log.h"
#include "run/status.h"
#include "platform/clock.h"
#include "platform/thread_priority.h"
#include "support/test_support.h"
#include "port/controls.h"
#include "port/port.h"

namespace vl {
namespace {

class RunControlTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    run_view_open();
    ctx_.profile = std::make_unique<ProfileSettings>();
  }
  RunContext ctx_;
};

TEST_F(RunControlTest, StatusSetRemembersTextAlsoWithoutRunView) {
  status_set(ctx_, "Connecting...");
  EXPECT_EQ(ui_.text(kCtlStatus), "Connecting...");
  run_view_close();
  status_set(ctx_, "Kicking Ass!");
  EXPECT_EQ(ctx_.status_text, "Kicking Ass!");
  EXPECT_EQ(ui_.texts(kCtlStatus).size(), 1u);
  counter_show(kCtlFiles, 1000);
  EXPECT_TRUE(ui_.texts(kCtlFiles).empty());
  run_view_open();
  counter_show(kCtlFiles, 1000);
  EXPECT_EQ(ui_.text(kCtlFiles), "1,000 ");
}

TEST_F(RunControlTest, RunLogWritesOnlyWhenOpen) {
  run_log(ctx_, "nothing %d\n", 1);  // no log: must not crash
  ctx_.log.reset(std::tmpfile());
  ASSERT_TRUE(ctx_.log);
  run_log(ctx_, "(%d/%d) ", 1, 2);
  run_log(ctx_, " exists.\n");
  std::fflush(ctx_.log.get());
  std::rewind(ctx_.log.get());
  char buf[64] = {};
  size_t n = std::fread(buf, 1, sizeof buf - 1, ctx_.log.get());
  EXPECT_EQ(std::string(buf, n), "(1/2)  exists.\n");
}

TEST_F(RunControlTest, PauseWaitReturnsAtOnceWhenNotPaused) {
  status_set(ctx_, "Kicking Ass!");
  pause_wait(ctx_);
  EXPECT_EQ(ui_.texts(kCtlStatus).size(), 1u);
  EXPECT_EQ(clock_fast_elapsed_ms(), 0u);
}

TEST_F(RunControlTest, PauseShowsPausedAndRestoresTheSavedStatus) {
  status_set(ctx_, "Kicking Ass!");
  ctx_.pause = 1;
  std::atomic<int> sleeps{0};
  clock_sleep_observer_set([&](uint32_t ms) {
    EXPECT_EQ(ms, 100u);
    if (++sleeps == 30) ctx_.pause = 0;  // Resume after three seconds
  });
  pause_wait(ctx_);
  EXPECT_EQ(sleeps.load(), 30);
  EXPECT_EQ(ui_.texts(kCtlStatus),
            (std::vector<std::string>{"Kicking Ass!", "Paused...", "Kicking Ass!"}));
  EXPECT_EQ(ctx_.status_text, "Kicking Ass!");
}

TEST_F(RunControlTest, CancelEndsThePauseWithinOnePass) {
  status_set(ctx_, "Kicking Ass!");
  ctx_.pause = 1;
  int sleeps = 0;
  clock_sleep_observer_set([&](uint32_t) {
    if (++sleeps == 5) ctx_.cancel = 1;
  });
  pause_wait(ctx_);
  EXPECT_EQ(sleeps, 5);
  EXPECT_EQ(ctx_.pause.load(), 1);
  EXPECT_EQ(ui_.text(kCtlStatus), "Kicking Ass!");
}

// The delays between files and blocks (up to 10 s) give way to a pause or a cancel within 100 ms.
TEST_F(RunControlTest, DelaysEndWithinATenthOfASecondOfAPauseOrCancel) {
  for (bool pause : {true, false}) {
    std::vector<uint32_t> slept;
    clock_sleep_observer_set([&](uint32_t ms) {
      slept.push_back(ms);
      if (slept.size() == 3) pause ? void(ctx_.pause = 1) : void(ctx_.cancel = 1);
    });
    run_delay_ms(ctx_, 10000);
    EXPECT_EQ(slept, (std::vector<uint32_t>{100, 100, 100}));
    ctx_.pause = 0;
    ctx_.cancel = 0;
  }
  std::vector<uint32_t> slept;
  clock_sleep_observer_set([&](uint32_t ms) { slept.push_back(ms); });
  run_delay_ms(ctx_, 250);
  EXPECT_EQ(slept, (std::vector<uint32_t>{100, 100, 50}));
  clock_sleep_observer_set({});
}

TEST_F(RunControlTest, LongPauseDisconnectsOnTheTwelveHundredthPass) {
  status_set(ctx_, "Kicking Ass!");
  ctx_.pause = 1;
  int sleeps = 0;
  std::string status_before;
  clock_sleep_observer_set([&](uint32_t) {
    ++sleeps;
    if (sleeps == 1199) status_before = ctx_.status_text;
    if (sleeps == 1500) ctx_.pause = 0;
  });
  pause_wait(ctx_);
  EXPECT_EQ(status_before, "Paused...");
  EXPECT_EQ(ui_.texts(kCtlStatus),
            (std::vector<std::string>{"Kicking Ass!", "Paused...", "Paused (Disconnected)...",
                                      "Kicking Ass!"}));
}

TEST_F(RunControlTest, SavedStatusIsCutTo255Characters) {
  status_set(ctx_, std::string(300, 'x'));
  ctx_.pause = 1;
  clock_sleep_observer_set([&](uint32_t) { ctx_.pause = 0; });
  pause_wait(ctx_);
  EXPECT_EQ(ui_.text(kCtlStatus), std::string(255, 'x'));
}

TEST_F(RunControlTest, ThreadPriorityWithoutWorkerChangesNothing) {
  EXPECT_EQ(thread_priority_apply(ctx_, 2), -1);
  // With a worker, the priority is set for that thread alone and the platform's answer returns.
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::thread worker([&] {
    tid = thread_id_current();
    while (!done) std::this_thread::yield();
  });
  while (tid == 0) std::this_thread::yield();
  ctx_.worker_tid = tid.load();
  ctx_.worker_active = true;
  EXPECT_EQ(thread_priority_apply(ctx_, 1), 1);
  errno = 0;
  EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load())), 10);
  EXPECT_NE(::getpriority(PRIO_PROCESS, static_cast<id_t>(thread_id_current())), 10);
  done = true;
  worker.join();
  ctx_.worker_active = false;
}

TEST(AllowanceIncrement, TenthOfTheLimitWhileBelowHalf) {
  // 100 KB/s: +10240 per tick while below 51200.
  EXPECT_EQ(allowance_increment(0, 102400), 10240);
  EXPECT_EQ(allowance_increment(51199, 102400), 10240);
  EXPECT_EQ(allowance_increment(51200, 102400), 0);
  EXPECT_EQ(allowance_increment(-4098, 102400), 10240);
  // 50 B/s: at least 10 per tick, not 5.
  EXPECT_EQ(allowance_increment(0, 50), 10);
  EXPECT_EQ(allowance_increment(24, 50), 10);
  EXPECT_EQ(allowance_increment(25, 50), 0);
  // A limit of 0 (a wrapped product) still refills the minimum while the allowance is negative.
  EXPECT_EQ(allowance_increment(-1, 0), 10);
  EXPECT_EQ(allowance_increment(0, 0), 0);
}

TEST_F(RunControlTest, RefillRaisesOnlyThrottledDirections) {
  ProfileSettings& p = *ctx_.profile;
  p.tx_throttle = 1;
  p.tx_rate = 100;
  p.tx_rate_unit = 1;
  p.tx_allowance = -5000;
  p.rx_throttle = 0;
  p.rx_rate = 100;
  p.rx_rate_unit = 0;
  p.rx_allowance = -5000;
  for (int tick = 0; tick < 20; ++tick) allowance_refill(ctx_);
  // -5000 + 6 * 10240 = 56440 >= 51200: the refill stops there.
  EXPECT_EQ(p.tx_allowance.load(), 56440);
  EXPECT_EQ(p.rx_allowance.load(), -5000);
  p.rx_throttle = 1;
  allowance_refill(ctx_);
  EXPECT_EQ(p.rx_allowance.load(), -4990);
  ctx_.profile.reset();
  allowance_refill(ctx_);  // no profile: nothing to refill, no crash
}

}  // namespace
}  // namespace vl
