// The profile editor driven as a user would: typing, the rules list with its buttons and the
// rule editor, OK's checks with their boxes, and what lands in the profile database.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "qt_test_support.h"
#include "stores/profile_db.h"
#include "ui/qt/profile_editor_dialog.h"
#include "ui/qt/rule_editor_dialog.h"

namespace vl::test {
namespace {

class ProfileEditorTest : public QtTest {
 protected:
  void SetUp() override {
    QtTest::SetUp();
    rec_ = profile_new_defaults();
  }
  // Opens the editor on rec_ (not modally, so the test can act between steps).
  std::unique_ptr<ProfileEditorDialog> open(EditorMode mode) {
    auto dialog = std::make_unique<ProfileEditorDialog>(nullptr, rec_.get(), mode);
    dialog->show();
    QApplication::processEvents();
    return dialog;
  }
  static void type(const QWidget* dialog, int id, const char* text) {
    control<QLineEdit>(dialog, id)->setText(QString::fromUtf8(text));
  }
  static void fill_connection(const QWidget* dialog) {
    type(dialog, 1046, "alice");
    type(dialog, 1047, "secret");
    type(dialog, 1048, "localhost");
  }
  // Adds a rule through Add and the rule editor.
  static void add_rule(const QWidget* dialog, const char* path, bool include) {
    on_next_modal([path, include](QWidget* w) {
      auto* editor = qobject_cast<RuleEditorDialog*>(w);
      ASSERT_NE(editor, nullptr);
      EXPECT_EQ(control<QLineEdit>(editor, 1059)->text(), "");
      EXPECT_EQ(control<QComboBox>(editor, 1061)->currentIndex(), 0) << "Add starts as Include";
      control<QLineEdit>(editor, 1059)->setText(QString::fromUtf8(path));
      control<QComboBox>(editor, 1061)->setCurrentIndex(include ? 0 : 1);
      press(editor, 1);
    });
    press(dialog, 1053);
  }

  std::unique_ptr<ProfileSettings> rec_;
};

TEST_F(ProfileEditorTest, NewProfileStoredWithFoldedTagAndRulesInRowOrder) {
  auto dialog = open(EditorMode::create);
  EXPECT_EQ(dialog->windowTitle(), "New Backup Profile");
  EXPECT_EQ(control<QLineEdit>(dialog.get(), 1048)->text(), qs(kDefaultServerHost));
  EXPECT_EQ(control<QLineEdit>(dialog.get(), 1049)->text(), "5420");
  EXPECT_EQ(control<QLineEdit>(dialog.get(), 1047)->echoMode(), QLineEdit::Password);
  EXPECT_EQ(control<QComboBox>(dialog.get(), 1035)->currentText(), "Below Normal");
  EXPECT_EQ(control<QComboBox>(dialog.get(), 1038)->currentText(), "KB/s (kilobytes/sec)");
  EXPECT_EQ(control<QLineEdit>(dialog.get(), 1036)->text(), "50");

  // A description of 64 characters is shown whole: with the cursor at its end, its first
  // character is still at the box's left edge.
  const QString description = "Documents, mail and photos of the family (MWQ), every night, 9pm";
  ASSERT_EQ(description.size(), 64);
  auto* description_box = control<QLineEdit>(dialog.get(), 1004);
  description_box->setText(description);
  description_box->setCursorPosition(64);
  description_box->repaint();  // the box scrolls to its cursor when it paints
  EXPECT_EQ(description_box->cursorPositionAt(QPoint(3, description_box->height() / 2)), 0);

  type(dialog.get(), 1005, "My-Backup_2");
  type(dialog.get(), 1004, "Documents and mail");
  fill_connection(dialog.get());
  add_rule(dialog.get(), "*.tmp", false);
  add_rule(dialog.get(), "/home/alice", true);
  add_rule(dialog.get(), "/srv", true);
  auto* rules = control<QTreeWidget>(dialog.get(), 1001);
  ASSERT_EQ(rows_of(rules).size(), 3u);
  EXPECT_EQ(rows_of(rules)[0], (std::vector<std::string>{"Exclude", "*.tmp", "", "", ""}))
      << "new rows are appended last, whatever their mode";
  EXPECT_EQ(rows_of(rules)[2][1], "/srv");

  // A folder that is not there is named before anything is stored; No (the default) goes back.
  answer_ = false;
  press(dialog.get(), 1);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].caption, "Folder Not Found");
  EXPECT_TRUE(boxes_[0].question);
  EXPECT_NE(boxes_[0].text.find("\n    /home/alice\n"), std::string::npos) << boxes_[0].text;
  EXPECT_EQ(boxes_[0].text.find("/srv"), std::string::npos) << "it exists";
  EXPECT_FALSE(dialog->stored());
  boxes_.clear();
  answer_ = true;
  press(dialog.get(), 1);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_TRUE(dialog->stored());
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(rec_->tag, "my-backup_2");

  auto loaded = profile_load("my-backup_2", true);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->description, "Documents and mail");
  EXPECT_EQ(loaded->server, "localhost");
  ASSERT_EQ(loaded->include_rules.size(), 2u);
  EXPECT_EQ(loaded->include_rules[0].path, "/home/alice");
  EXPECT_EQ(loaded->include_rules[1].path, "/srv");
  ASSERT_EQ(loaded->exclude_rules.size(), 1u);
  EXPECT_EQ(loaded->exclude_rules[0].path, "*.tmp");

  // Opened again, the includes come first.
  rec_ = std::move(loaded);
  auto again = open(EditorMode::edit);
  EXPECT_EQ(rows_of(control<QTreeWidget>(again.get(), 1001))[0][1], "/home/alice");
  EXPECT_EQ(rows_of(control<QTreeWidget>(again.get(), 1001))[2][1], "*.tmp");
  again->reject();
}

TEST_F(ProfileEditorTest, RefusedInputKeepsTheDialogOpenAndStoresNothing) {
  auto dialog = open(EditorMode::create);
  fill_connection(dialog.get());
  // The focus goes back to the field each box is about.
  struct Step {
    int id;
    const char* text;
    const char* expected;
    int focus;
  } steps[] = {
      {1005, "", "Unable to create profile|A profile tag must be entered!", 1005},
      {1005, "My Backup",
       "Unable to create profile|Profile tags may only consist of letters, numbers,\ndashes or "
       "underscores.", 1005},
      {1005, "daily", nullptr, 0},
      {1042, "10001", "Delay Error|Maximum delay between files is 10000ms (10 seconds)", 1042},
      {1043, "10001", "Delay Error|Maximum delay between files is 10000ms (10 seconds)", 1042},
      {1042, "10000", "Delay Error|Maximum delay between blocks is 10000ms (10 seconds)", 1043},
      {1043, "0", nullptr, 0},
      {1036, "0", nullptr, 0},
  };
  for (const Step& s : steps) {
    type(dialog.get(), s.id, s.text);
    if (!s.expected) continue;
    boxes_.clear();
    press(dialog.get(), 1);
    ASSERT_EQ(box_texts(), std::vector<std::string>{s.expected}) << s.text;
    EXPECT_EQ(boxes_[0].owner, dialog.get());
    EXPECT_EQ(dialog->focusWidget(), ctl<QWidget>(dialog.get(), s.focus)) << s.expected;
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->stored());
  }
  EXPECT_EQ(control<QLineEdit>(dialog.get(), 1005)->text(), "daily");

  // A zero TX rate only matters once TX is enabled.
  control<QCheckBox>(dialog.get(), 1040)->setChecked(true);
  boxes_.clear();
  press(dialog.get(), 1);
  EXPECT_EQ(box_texts(), std::vector<std::string>{"TX Rate Error|TX throttle rate value must be at least 1"});
  control<QCheckBox>(dialog.get(), 1041)->setChecked(true);
  type(dialog.get(), 1037, "0");
  type(dialog.get(), 1036, "3");
  boxes_.clear();
  press(dialog.get(), 1);
  EXPECT_EQ(box_texts(), std::vector<std::string>{"RX Rate Error|RX throttle rate value must be at least 1"});
  EXPECT_FALSE(file_exists(profile_db_path("daily")));

  // The check boxes never disable the rate boxes or the unit lists.
  control<QCheckBox>(dialog.get(), 1040)->setChecked(false);
  EXPECT_TRUE(control<QLineEdit>(dialog.get(), 1036)->isEnabled());
  EXPECT_TRUE(control<QComboBox>(dialog.get(), 1038)->isEnabled());
  dialog->reject();
  EXPECT_FALSE(dialog->stored());
}

TEST_F(ProfileEditorTest, ExistingTagRefusedInNewModeOnly) {
  rec_->tag = "daily";
  rec_->login = "alice";
  rec_->password = "secret";
  rec_->server = "localhost";
  ASSERT_EQ(profile_create(*rec_), 0);

  auto fresh = profile_new_defaults();
  ProfileEditorDialog dialog(nullptr, fresh.get(), EditorMode::create);
  dialog.show();
  type(&dialog, 1005, "DAILY");
  fill_connection(&dialog);
  press(&dialog, 1);
  EXPECT_EQ(box_texts(), std::vector<std::string>{"Unable to create profile|A profile with that tag name already exists!"});
  EXPECT_FALSE(dialog.stored());
  dialog.reject();
}

TEST_F(ProfileEditorTest, EditModeShowsTheRecordAndStoresChanges) {
  rec_->tag = "daily";
  rec_->description = "Old";
  rec_->login = "alice";
  rec_->password = "secret";
  rec_->server = "localhost";
  rec_->port = 6000;
  rec_->thread_priority = 0;
  rec_->tx_throttle = 1;
  rec_->tx_rate = 20;
  rec_->tx_rate_unit = 4;
  rec_->rx_rate_unit = 17;
  rec_->block_delay_ms = 25;
  rec_->include_rules = {{"/a"}, {"/b"}};
  rec_->exclude_rules = {{"/a/tmp"}};
  auto dialog = open(EditorMode::edit);
  EXPECT_EQ(dialog->windowTitle(), "Edit Backup Profile");
  EXPECT_FALSE(control<QLineEdit>(dialog.get(), 1005)->isEnabled());
  EXPECT_EQ(control<QLineEdit>(dialog.get(), 1005)->text(), "daily");
  EXPECT_EQ(control<QLineEdit>(dialog.get(), 1049)->text(), "6000");
  EXPECT_EQ(control<QComboBox>(dialog.get(), 1035)->currentText(), "Idle");
  EXPECT_TRUE(control<QCheckBox>(dialog.get(), 1040)->isChecked());
  EXPECT_FALSE(control<QCheckBox>(dialog.get(), 1041)->isChecked());
  EXPECT_EQ(control<QComboBox>(dialog.get(), 1038)->currentText(), "kbps (kilobits/sec)");
  EXPECT_EQ(control<QComboBox>(dialog.get(), 1039)->currentIndex(), 1) << "unknown unit";
  EXPECT_EQ(control<QLineEdit>(dialog.get(), 1043)->text(), "25");
  EXPECT_EQ(rows_of(control<QTreeWidget>(dialog.get(), 1001)),
            (std::vector<std::vector<std::string>>{{"Include", "/a", "", "", ""},
                                                   {"Include", "/b", "", "", ""},
                                                   {"Exclude", "/a/tmp", "", "", ""}}));

  // Clearing a checked box stores the flag as 0; the tag is not tested for being taken.
  control<QCheckBox>(dialog.get(), 1040)->setChecked(false);
  type(dialog.get(), 1004, "New");
  press(dialog.get(), 1);
  ASSERT_TRUE(dialog->stored()) << (boxes_.empty() ? "" : box_texts()[0]);
  auto loaded = profile_load("daily", true);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->tx_throttle.load(), 0);
  EXPECT_EQ(loaded->description, "New");
  EXPECT_EQ(loaded->port, 6000);
  EXPECT_EQ(loaded->thread_priority.load(), 0u);
  EXPECT_EQ(loaded->rx_rate_unit.load(), 1u);
}

TEST_F(ProfileEditorTest, RulesListButtonsFollowClicks) {
  rec_->include_rules = {{"/a"}, {"/b"}, {"/c"}};
  auto dialog = open(EditorMode::create);
  auto* rules = control<QTreeWidget>(dialog.get(), 1001);
  auto* edit = control<QPushButton>(dialog.get(), 1055);
  auto* remove = control<QPushButton>(dialog.get(), 1054);
  auto* refresh = control<QPushButton>(dialog.get(), 1064);
  EXPECT_FALSE(edit->isEnabled());
  EXPECT_FALSE(remove->isEnabled());
  EXPECT_FALSE(refresh->isEnabled());

  click_row(rules, 1);
  EXPECT_TRUE(edit->isEnabled());
  EXPECT_TRUE(remove->isEnabled());
  click_empty(rules);
  EXPECT_FALSE(edit->isEnabled());
  EXPECT_FALSE(remove->isEnabled());

  // A rule chosen with the keyboard enables them as a click does.
  rules->setFocus();
  key(rules, Qt::Key_Down);
  ASSERT_EQ(rules->selectedItems().size(), 1);
  EXPECT_TRUE(edit->isEnabled());
  EXPECT_TRUE(remove->isEnabled());

  click_row(rules, 1);
  press(dialog.get(), 1054);
  EXPECT_EQ(rows_of(rules).size(), 2u);
  EXPECT_EQ(rows_of(rules)[1][1], "/c");
  EXPECT_TRUE(remove->isEnabled()) << "Remove leaves the buttons as they are";
  // Nothing selected any more: Remove and Edit do nothing.
  press(dialog.get(), 1054);
  press(dialog.get(), 1055);
  EXPECT_EQ(rows_of(rules).size(), 2u);
  EXPECT_FALSE(refresh->isEnabled());
  dialog->reject();
}

TEST_F(ProfileEditorTest, DoubleClickChangesTheRowInPlace) {
  rec_->include_rules = {{"/a"}, {"/b"}};
  rec_->exclude_rules = {{"/a/tmp"}};
  auto dialog = open(EditorMode::create);
  auto* rules = control<QTreeWidget>(dialog.get(), 1001);

  bool opened = false;
  on_next_modal([&opened](QWidget* w) {
    opened = true;
    EXPECT_EQ(control<QLineEdit>(w, 1059)->text(), "/a/tmp");
    EXPECT_EQ(control<QComboBox>(w, 1061)->currentText(), "Exclude");
    control<QLineEdit>(w, 1059)->setText("/A/TMP");  // same path but for case: its own row
    press(w, 1);
  });
  double_click_row(rules, 2);
  EXPECT_TRUE(opened);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(rows_of(rules)[2][1], "/A/TMP");

  on_next_modal([](QWidget* w) {
    control<QComboBox>(w, 1061)->setCurrentIndex(1);
    control<QLineEdit>(w, 1059)->setText("/b2");
    press(w, 1);
  });
  click_row(rules, 0);
  press(dialog.get(), 1055);
  EXPECT_EQ(rows_of(rules)[0][0], "Exclude");
  EXPECT_EQ(rows_of(rules)[0][1], "/b2");
  EXPECT_EQ(rows_of(rules).size(), 3u);

  // A double click on empty space opens nothing (a dialog would hang the test here).
  double_click_empty(rules);
  dialog->reject();
  EXPECT_FALSE(dialog->stored());
}

TEST_F(ProfileEditorTest, BytesThatAreNotUtf8SurviveOkAndLimitsCountBytes) {
  for (const char* bytes : {"M\xfcsik", "\xc0\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80"})
    EXPECT_EQ(ss(qs(bytes)), bytes) << bytes;
  rec_->tag = "daily";
  rec_->description = "Fotos f\xfcr Oma";
  rec_->login = "alice";
  rec_->password = "s\xe9" "cr\xea" "t";
  rec_->server = "localhost";
  rec_->include_rules = {{"/home/alice/M\xfcsik"}};
  ASSERT_EQ(profile_create(*rec_), 0);
  rec_ = profile_load("daily", true);
  auto dialog = open(EditorMode::edit);
  // The rule editor's OK on an untouched path keeps its bytes too.
  on_next_modal([](QWidget* w) { press(w, 1); });
  double_click_row(control<QTreeWidget>(dialog.get(), 1001), 0);
  press(dialog.get(), 1);
  ASSERT_TRUE(dialog->stored()) << (boxes_.empty() ? "" : box_texts()[0]);
  auto loaded = profile_load("daily", true);
  EXPECT_EQ(loaded->description, "Fotos f\xfcr Oma");
  EXPECT_EQ(loaded->password, "s\xe9" "cr\xea" "t");
  EXPECT_EQ(loaded->include_rules.at(0).path, "/home/alice/M\xfcsik");

  // Login and password refuse typing beyond 31 bytes: "é" is two of them.
  for (int id : {1046, 1047}) {
    auto* box = control<QLineEdit>(dialog.get(), id);
    box->setText(QString(30, 'a'));
    box->insert(QString::fromUtf8("\xc3\xa9"));
    box->insert("bc");
    EXPECT_EQ(box->text(), QString(30, 'a')) << id;
    box->insert("b");
    EXPECT_EQ(box->text().size(), 31) << id;
  }
}

}  // namespace
}  // namespace vl::test
