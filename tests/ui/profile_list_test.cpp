// The profile list driven as a user would: rows, the buttons' states after clicks, New, Edit,
// Delete with its question, the editor's questions and refusals, opening a profile for a run,
// About and Help.
#include <sys/stat.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTextBrowser>
#include <QPushButton>
#include <cstdlib>

#include "run/run_context.h"
#include "qt_test_support.h"
#include "platform/dirs.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "ui/qt/main_window.h"
#include "ui/qt/profile_editor_dialog.h"
#include "ui/qt/profile_list_dialog.h"
#include "ui/qt/schedule.h"

namespace vl::test {
namespace {

class ProfileListTest : public QtTest {
 protected:
  void SetUp() override {
    QtTest::SetUp();
    profile_entry_running = nullptr;
  }
  void TearDown() override {
    run_context_clear(run_context());
    profile_entry_running = nullptr;
    QtTest::TearDown();
  }
  static void store(const char* tag, const char* description, const char* login = "alice") {
    ProfileSettings p;
    p.tag = tag;
    p.description = description;
    p.server = "localhost";
    p.port = 5420;
    p.login = login;
    p.password = "secret";
    ASSERT_EQ(profile_create(p), 0);
  }
  std::unique_ptr<ProfileListDialog> open() {
    EXPECT_EQ(config_load_profiles(), 0);
    auto d = std::make_unique<ProfileListDialog>(nullptr);
    d->show();
    QApplication::processEvents();
    list_ = control<QTreeWidget>(d.get(), 1001);
    return d;
  }
  // OK, Edit, Delete enabled, as "111", "000"...
  static std::string states(const QWidget* d) {
    std::string s;
    for (int id : {1, 1055, 1033}) s += ctl<QPushButton>(d, id)->isEnabled() ? '1' : '0';
    return s;
  }

  QTreeWidget* list_ = nullptr;
};

TEST_F(ProfileListTest, RowsAndButtonStates) {
  store("weekly", "Whole disk");
  store("daily", "Documents");
  // A run log of weekly's: Last Run tells when and how it ended; daily never ran.
  write_file(profile_dir("weekly") + "/0000002a.log",
             "Backup Stats:\nWarnings:       0\nErrors:         2\n");
  auto d = open();
  EXPECT_EQ(d->windowTitle(), "Corvantis Online Backup");
  auto rows = rows_of(list_);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"daily", "Documents", "", "off"}));
  EXPECT_EQ(rows[1][2].substr(16), " \xC2\xB7 2 errors") << rows[1][2];
  EXPECT_GE(list_->columnWidth(2), list_->fontMetrics().horizontalAdvance(qs(rows[1][2])));
  auto* header = list_->headerItem();
  EXPECT_EQ(header->text(0), "Tag");
  EXPECT_EQ(header->text(1), "Description");
  EXPECT_EQ(header->text(2), "Last Run");
  EXPECT_EQ(header->text(3), "Schedule");
  EXPECT_EQ(states(d.get()), "000");
  for (int id : {2, 1002, 1035, 1036}) EXPECT_TRUE(ctl<QPushButton>(d.get(), id)->isEnabled()) << id;

  click_row(list_, 1);
  EXPECT_EQ(states(d.get()), "111");
  click_empty(list_);
  EXPECT_EQ(states(d.get()), "000");
  // Enter on a focused button activates it, as Space does.
  auto* new_button = ctl<QPushButton>(d.get(), 1002);
  new_button->setFocus();
  bool editor = false;
  on_next_modal([&editor](QWidget* w) {
    editor = qobject_cast<ProfileEditorDialog*>(w) != nullptr;
    press(w, 2);
  });
  key(new_button, Qt::Key_Return);
  EXPECT_TRUE(editor);
  // A row chosen with the keyboard enables them as a click does; Enter runs it.
  list_->setFocus();
  key(list_, Qt::Key_Home);
  EXPECT_EQ(states(d.get()), "111");
  key(list_, Qt::Key_Return);
  EXPECT_EQ(d->result(), QDialog::Accepted);
  EXPECT_NE(profile_entry_running, nullptr);
}

TEST_F(ProfileListTest, NewAppendsTheRowLastAndDisablesTheButtons) {
  store("daily", "Documents");
  store("weekly", "Whole disk");
  auto d = open();
  click_row(list_, 0);

  on_next_modal([](QWidget* w) {
    ASSERT_NE(qobject_cast<ProfileEditorDialog*>(w), nullptr);
    EXPECT_TRUE(ctl<QLineEdit>(w, 1005)->isEnabled()) << "new mode";
    ctl<QLineEdit>(w, 1005)->setText("Archive");
    ctl<QLineEdit>(w, 1004)->setText("Old photos");
    ctl<QLineEdit>(w, 1046)->setText("alice");
    ctl<QLineEdit>(w, 1047)->setText("secret");
    press(w, 1);
  });
  press(d.get(), 1002);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(rows_of(list_).back(), (std::vector<std::string>{"archive", "Old photos", "", "off"}))
      << "not sorted into place";
  EXPECT_EQ(states(d.get()), "000");
  ASSERT_EQ(profile_list.size(), 3u) << "the list of entries is rebuilt";
  EXPECT_EQ(profile_list[0]->tag, "archive");

  // Cancelling the editor adds no row.
  on_next_modal([](QWidget* w) { press(w, 2); });
  press(d.get(), 1002);
  EXPECT_EQ(rows_of(list_).size(), 3u);

  // The new row is found by its tag and can be run.
  click_row(list_, 2);
  press(d.get(), 1);
  EXPECT_EQ(d->result(), QDialog::Accepted);
  ASSERT_NE(profile_entry_running, nullptr);
  EXPECT_EQ(profile_entry_running->tag, "archive");
  ASSERT_NE(run_context().profile, nullptr);
  EXPECT_EQ(run_context().profile->description, "Old photos");
}

TEST_F(ProfileListTest, EditChangesTheDescriptionCellOnlyWhenStored) {
  store("daily", "Documents");
  auto d = open();
  click_row(list_, 0);
  on_next_modal([](QWidget* w) { press(w, 2); });
  press(d.get(), 1055);
  EXPECT_EQ(rows_of(list_)[0][1], "Documents");

  on_next_modal([](QWidget* w) {
    EXPECT_FALSE(ctl<QLineEdit>(w, 1005)->isEnabled()) << "edit mode";
    EXPECT_EQ(ctl<QLineEdit>(w, 1004)->text(), "Documents");
    ctl<QLineEdit>(w, 1004)->setText("Documents and mail");
    press(w, 1);
  });
  press(d.get(), 1055);
  EXPECT_EQ(rows_of(list_)[0][1], "Documents and mail");
  EXPECT_EQ(states(d.get()), "111") << "Edit keeps the buttons' state";
  ASSERT_EQ(profile_list.size(), 1u);
  EXPECT_EQ(profile_list[0]->description, "Documents and mail");
  d->reject();
}

TEST_F(ProfileListTest, DeleteAsksFirst) {
  store("daily", "Documents");
  store("weekly", "Whole disk");
  auto d = open();
  click_row(list_, 0);
  answer_ = false;
  press(d.get(), 1033);
  // What goes and what stays is said; the logs and catalogs stay unless ticked.
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text.rfind("Delete the backup profile daily?\n\nIts settings and saved password "
                                 "are removed. Its run logs and catalogs in\n" + profile_dir("daily") +
                                 "\nare kept", 0), 0u) << boxes_[0].text;
  EXPECT_EQ(boxes_[0].check, "Also remove its run logs and catalogs");
  EXPECT_EQ(rows_of(list_).size(), 2u) << "No keeps it";
  answer_ = true;
  write_file(profile_dir("daily") + "/0000002a.log", "log");
  store("daily", "Documents");  // a second save: the first becomes .cfg.bak, with the password
  press(d.get(), 1033);
  EXPECT_EQ(rows_of(list_), (std::vector<std::vector<std::string>>{{"weekly", "Whole disk", "", "off"}}));
  EXPECT_EQ(states(d.get()), "000");
  EXPECT_FALSE(file_exists(profile_db_path("daily")));
  EXPECT_FALSE(file_exists(profile_db_path("daily") + ".bak"));
  EXPECT_TRUE(file_exists(profile_dir("daily") + "/0000002a.log"));
  ASSERT_EQ(profile_list.size(), 1u);
  EXPECT_EQ(profile_list[0]->tag, "weekly");
  // Ticked: the folder goes too.
  click_row(list_, 0);
  on_box_ = [](const QtBox& b) { *b.checked = true; };
  press(d.get(), 1033);
  on_box_ = nullptr;
  EXPECT_FALSE(file_exists(profile_dir("weekly")));
  d->reject();
}

// Schedule: the Schedule column follows the user's timers; the dialog sets them with
// vornlake-schedule, and without a user manager offers the crontab line instead.
TEST_F(ProfileListTest, ScheduleColumnAndDialog) {
  store("daily", "Documents");
  FakeSystemd systemd(dir_.path());
  auto d = open();
  EXPECT_EQ(rows_of(list_)[0][3], "off");
  auto schedule = [&d, this](const char* choice) {
    click_row(list_, 0);
    on_next_modal([choice](QWidget* w) {
      auto* combo = w->findChild<QComboBox*>("schedule_choice");
      combo->setCurrentIndex(combo->findText(choice));
      qobject_cast<QDialog*>(w)->accept();
    });
    press(d.get(), kCtlSchedule);
  };
  schedule("hourly");
  EXPECT_TRUE(boxes_.empty()) << box_texts()[0];
  EXPECT_EQ(rows_of(list_)[0][3], "hourly \xC2\xB7 next 2026-12-10 02:13");
  schedule("off");
  EXPECT_EQ(rows_of(list_)[0][3], "off");
  {
    FakeSystemd none(dir_ / "no-manager", true);
    schedule("weekly");
  }
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].copy, "30 2 * * 0 VORNLAKE_UI=console vornlake /run:daily");
  EXPECT_NE(boxes_[0].text.find("loginctl enable-linger"), std::string::npos);
  EXPECT_EQ(rows_of(list_)[0][3], "off");
  d->reject();
  // A tag the editor does not make reaches the shell as one word, and cron keeps its `%`.
  EXPECT_EQ(schedule_cron_line("it's 100%", Schedule::hourly),
            "0 * * * * VORNLAKE_UI=console vornlake '/run:it'\\''s 100\\%'");
}

TEST_F(ProfileListTest, ProfileThatCannotBeOpenedKeepsTheListOpen) {
  store("daily", "Documents", "");
  auto d = open();
  double_click_empty(list_);
  EXPECT_TRUE(boxes_.empty()) << "a double click on empty space does nothing";
  EXPECT_TRUE(d->isVisible());

  double_click_row(list_, 0);
  EXPECT_EQ(box_texts(), (std::vector<std::string>{
                             "Backup Profile Error|No login specified in backup profile!",
                             "Unable to open profile|daily"}));
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(profile_entry_running, nullptr);
  EXPECT_EQ(rows_of(list_).size(), 1u);
  d->reject();
  EXPECT_EQ(d->result(), QDialog::Rejected);
}

TEST_F(ProfileListTest, EmptyListSaysHowToStartHelpShowsTheManualAbout) {
  auto d = open();
  EXPECT_EQ(states(d.get()), "000");
  auto* hint = d->findChild<QLabel*>("empty_hint");
  EXPECT_EQ(hint->text(), "No backup profiles yet: press New to make one.");
  EXPECT_TRUE(hint->isVisible());

  // Help: the desktop's own page, not the command line's manual.
  std::string shown;
  on_next_modal([&shown](QWidget* w) {
    EXPECT_EQ(w->windowTitle(), "Corvantis Online Backup Help");
    shown = ss(w->findChild<QTextBrowser*>("help_text")->toPlainText());
    qobject_cast<QDialog*>(w)->reject();
  });
  press(d.get(), 1036);
  for (const char* part : {"Making a profile", "Running and scheduling", "run log", "Restores happen on the service"})
    EXPECT_NE(shown.find(part), std::string::npos) << part;
  EXPECT_TRUE(boxes_.empty());

  bool about = false;
  on_next_modal([&about](QWidget* w) {
    about = true;
    EXPECT_EQ(w->windowTitle(), "About Tarnhollow");
    EXPECT_EQ(ctl<QLabel>(w, 1045)->text(), "v0.09.0001");
    EXPECT_NE(w->parentWidget(), nullptr) << "owned by the list";
    press(w, 1);
  });
  press(d.get(), 1035);
  EXPECT_TRUE(about);
  d->reject();
}

// The profile editor opened from the list: its caption, the question before typed changes are
// thrown away, and the port's refusals.
TEST_F(ProfileListTest, EditorCaptionQuestionsAndPortRefusals) {
  store("daily", "Documents");
  const std::string discard =
      "Edit Backup Profile|Discard the changes made to this backup profile?";
  const std::string port = "Port Error|The port must be a number from 1 to 65535.";
  struct Case {
    int id;  // the box typed into, 0 for none
    const char* typed;
    int close;  // a button, or Esc
    bool answer;
    std::vector<std::string> boxes;
    bool stays_open;
  } cases[] = {
      {0, "", 2, true, {}, false},
      {0, "", Qt::Key_Escape, true, {}, false},
      {1004, "Mail", Qt::Key_Escape, false, {discard}, true},
      {1004, "Mail", 2, true, {discard}, false},
      {1004, "Documents", 2, true, {}, false},  // typed back as it was
      {1049, "0", 1, true, {port}, true},
      {1049, "65536", 1, true, {port}, true},
      {1049, "abc", 1, true, {}, false},  // not taken: the port stays 5420
      {1049, "65535", 1, true, {}, false},
  };
  auto d = open();
  for (const Case& c : cases) {
    boxes_.clear();
    on_next_modal([&](QWidget* w) {
      EXPECT_EQ(w->windowTitle(), "Edit Backup Profile");
      if (c.id) {
        ctl<QLineEdit>(w, c.id)->selectAll();
        ctl<QLineEdit>(w, c.id)->insert(c.typed);  // as typed: the box's validator applies
      }
      answer_ = c.answer;
      if (c.close == Qt::Key_Escape)
        key(w, c.close);
      else
        press(w, c.close);
      EXPECT_EQ(box_texts(), c.boxes) << c.typed;
      EXPECT_EQ(w->isVisible(), c.stays_open) << c.typed;
      answer_ = true;
      if (w->isVisible()) qobject_cast<QDialog*>(w)->done(QDialog::Rejected);
    });
    click_row(list_, 0);
    press(d.get(), 1055);
  }
  auto stored = profile_load("daily", true);
  EXPECT_EQ(stored->description, "Documents") << "nothing thrown away was stored";
  EXPECT_EQ(stored->port, 65535);
  d->reject();
}

TEST_F(ProfileListTest, MessageBoxesAreWideEnoughForTheirCaption) {
  for (const QtBox& b : {QtBox{nullptr, "Backup Completed!", "Corvantis Online Backup"},
                         QtBox{nullptr, "Connect Failed!", "Backup Failure", true}}) {
    auto box = qt_message_box_make(nullptr, b);
    box->show();
    QApplication::processEvents();
    // The caption in a bold title font, with room for the window's icon and buttons.
    QFont title = box->font();
    title.setBold(true);
    EXPECT_GE(box->width(), QFontMetrics(title).horizontalAdvance(qs(b.caption)) + 100)
        << b.caption;
    EXPECT_EQ(box->buttons().size(), b.question ? 2 : 1);
  }
}

TEST(MainWindowTest, MenuAndAccelerators) {
  qt_app();
  MainWindow w;
  EXPECT_EQ(w.windowTitle(), "vornlake");
  EXPECT_FALSE(w.isVisible());
  auto* about = w.findChild<QAction*>("action_104");
  auto* exit = w.findChild<QAction*>("action_105");
  ASSERT_NE(about, nullptr);
  ASSERT_NE(exit, nullptr);
  EXPECT_EQ(about->text(), "&About ...");
  EXPECT_EQ(exit->text(), "E&xit");
  EXPECT_EQ(about->shortcuts(), (QList<QKeySequence>{QKeySequence(Qt::ALT | Qt::Key_Question),
                                                      QKeySequence(Qt::ALT | Qt::Key_Slash)}));
  EXPECT_EQ(about_version_text(), "v0.09.0001");
}

}  // namespace
}  // namespace vl::test
