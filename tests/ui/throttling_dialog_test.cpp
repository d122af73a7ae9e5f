// The throttling dialog on a running profile's record: Apply stores all nine fields or none,
// Cancel keeps what Apply stored, and the refill timer's work follows the TX box at once.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include "run/run_control.h"
#include "qt_test_support.h"
#include "ui/qt/throttle_values.h"
#include "ui/qt/throttling_dialog.h"

namespace vl::test {
namespace {

class ThrottlingDialogTest : public QtTest {
 protected:
  void SetUp() override {
    QtTest::SetUp();
    ctx_.profile = std::make_unique<ProfileSettings>();
    ProfileSettings& p = *ctx_.profile;
    p.thread_priority = 1;
    p.file_delay_ms = 10;
    p.block_delay_ms = 20;
    p.tx_throttle = 1;
    p.tx_rate = 100;
    p.tx_rate_unit = 1;
    p.rx_throttle = 0;
    p.rx_rate = 50;
    p.rx_rate_unit = 1;
  }
  std::unique_ptr<ThrottlingDialog> open() {
    auto d = std::make_unique<ThrottlingDialog>(ctx_, nullptr);
    d->show();
    QApplication::processEvents();
    return d;
  }
  static void type(const QWidget* d, int id, const char* text) {
    control<QLineEdit>(d, id)->setText(QString::fromUtf8(text));
  }
  ThrottleValues now() const { return throttle_values_of(*ctx_.profile); }

  RunContext ctx_;
};

bool same(const ThrottleValues& a, const ThrottleValues& b) {
  return a.thread_priority == b.thread_priority && a.file_delay_ms == b.file_delay_ms &&
         a.block_delay_ms == b.block_delay_ms && a.tx_throttle == b.tx_throttle &&
         a.tx_rate == b.tx_rate && a.tx_rate_unit == b.tx_rate_unit &&
         a.rx_throttle == b.rx_throttle && a.rx_rate == b.rx_rate && a.rx_rate_unit == b.rx_rate_unit;
}

TEST_F(ThrottlingDialogTest, ShowsTheRunningValues) {
  ctx_.profile->thread_priority = 9;
  ctx_.profile->rx_rate_unit = 6;
  auto d = open();
  EXPECT_EQ(d->windowTitle(), "Backup Throttling");
  EXPECT_EQ(control<QComboBox>(d.get(), 1035)->currentText(), "Below Normal");
  EXPECT_EQ(control<QLineEdit>(d.get(), 1042)->text(), "10");
  EXPECT_EQ(control<QLineEdit>(d.get(), 1043)->text(), "20");
  EXPECT_TRUE(control<QCheckBox>(d.get(), 1040)->isChecked());
  EXPECT_EQ(control<QLineEdit>(d.get(), 1036)->text(), "100");
  EXPECT_FALSE(control<QCheckBox>(d.get(), 1041)->isChecked());
  EXPECT_EQ(control<QComboBox>(d.get(), 1039)->currentIndex(), 1);
  d->reject();
}

TEST_F(ThrottlingDialogTest, RefusedApplyChangesNoneOfTheNineFields) {
  const ThrottleValues before = now();
  auto d = open();
  // Every field changed, all valid but the delay between files.
  control<QComboBox>(d.get(), 1035)->setCurrentIndex(0);
  type(d.get(), 1042, "10001");
  type(d.get(), 1043, "5");
  control<QCheckBox>(d.get(), 1040)->setChecked(false);
  type(d.get(), 1036, "7");
  control<QComboBox>(d.get(), 1038)->setCurrentIndex(2);
  control<QCheckBox>(d.get(), 1041)->setChecked(true);
  type(d.get(), 1037, "9");
  control<QComboBox>(d.get(), 1039)->setCurrentIndex(0);
  press(d.get(), 1044);
  ASSERT_EQ(box_texts(), std::vector<std::string>{"Delay Error|Maximum delay between files is 10000ms (10 seconds)"});
  EXPECT_EQ(boxes_[0].owner, d.get());
  EXPECT_TRUE(same(now(), before));

  press(d.get(), 1);
  EXPECT_TRUE(d->isVisible()) << "OK with a refused value keeps the dialog open";
  EXPECT_TRUE(same(now(), before));

  type(d.get(), 1042, "0");
  control<QCheckBox>(d.get(), 1041)->setChecked(true);
  type(d.get(), 1037, "0");
  boxes_.clear();
  press(d.get(), 1044);
  EXPECT_EQ(box_texts(), std::vector<std::string>{"RX Rate Error|RX throttle rate value must be at least 1"});
  EXPECT_TRUE(same(now(), before));
  d->reject();
}

TEST_F(ThrottlingDialogTest, ApplyThenCancelKeepsTheAppliedValues) {
  auto d = open();
  control<QComboBox>(d.get(), 1035)->setCurrentIndex(4);  // Idle
  type(d.get(), 1043, "250");
  control<QComboBox>(d.get(), 1038)->setCurrentIndex(0);
  press(d.get(), 1044);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_TRUE(d->isVisible()) << "Apply stays open";
  type(d.get(), 1043, "999");
  press(d.get(), 2);
  EXPECT_FALSE(d->isVisible());
  EXPECT_EQ(ctx_.profile->thread_priority.load(), 0u);
  EXPECT_EQ(ctx_.profile->block_delay_ms.load(), 250);
  EXPECT_EQ(ctx_.profile->tx_rate_unit.load(), 0u);

  // Opened again, it shows what Apply stored; OK stores and closes.
  auto again = open();
  EXPECT_EQ(control<QLineEdit>(again.get(), 1043)->text(), "250");
  type(again.get(), 1042, "1");
  press(again.get(), 1);
  EXPECT_FALSE(again->isVisible());
  EXPECT_EQ(ctx_.profile->file_delay_ms.load(), 1);
}

TEST_F(ThrottlingDialogTest, TxOffStopsTheRefillAndLeavesTheAllowanceAlone) {
  ctx_.profile->tx_allowance = 0;
  allowance_refill(ctx_);
  const int32_t refilled = ctx_.profile->tx_allowance.load();
  EXPECT_EQ(refilled, 10240) << "100 KB/s refills a tenth per tick";

  auto d = open();
  control<QCheckBox>(d.get(), 1040)->setChecked(false);
  press(d.get(), 1);
  EXPECT_EQ(ctx_.profile->tx_throttle.load(), 0);
  EXPECT_EQ(ctx_.profile->tx_allowance.load(), refilled) << "the dialog never touches allowances";
  allowance_refill(ctx_);
  EXPECT_EQ(ctx_.profile->tx_allowance.load(), refilled) << "no refill while TX is off";
}

}  // namespace
}  // namespace vl::test
