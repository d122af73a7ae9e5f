// Renders every dialog to PNG files for a person to look at (scripts/screenshots). Runs only when
// VL_SCREENSHOT_DIR names the output folder; skipped in the normal suite.
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <cstdlib>

#include "run_fixture.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "ui/port/controls.h"
#include "ui/qt/folder_chooser.h"
#include "ui/qt/main_window.h"
#include "ui/qt/profile_editor_dialog.h"
#include "ui/qt/profile_list_dialog.h"
#include "ui/qt/rule_editor_dialog.h"
#include "ui/qt/throttling_dialog.h"

namespace vl::test {
namespace {

class Screenshots : public RunFixture {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("VL_SCREENSHOT_DIR");
    if (!dir || !*dir) GTEST_SKIP() << "VL_SCREENSHOT_DIR not set";
    out_ = dir;
    RunFixture::SetUp();
  }
  void shot(QWidget* w, const char* name) {
    w->show();
    QApplication::processEvents();
    std::string path = out_ + "/" + name + ".png";
    EXPECT_TRUE(w->grab().save(QString::fromStdString(path))) << path;
  }
  std::string out_;
};

TEST_F(Screenshots, EveryDialog) {
  for (auto [tag, description] : {std::pair{"daily", "Documents and mail, every night"},
                                  std::pair{"weekly-full", "The whole home folder"}}) {
    ProfileSettings p;
    p.tag = tag;
    p.description = description;
    p.server = "localhost";
    p.login = "alice";
    p.password = "secret";
    ASSERT_EQ(profile_create(p), 0);
  }
  ASSERT_EQ(config_load_profiles(), 0);
  {
    ProfileListDialog list;
    auto* rows = ctl<QTreeWidget>(&list, 1001);
    list.show();
    QApplication::processEvents();
    click_row(rows, 0);
    shot(&list, "profile-list");
    AboutDialog about(&list);
    shot(&about, "about");
  }
  {
    auto rec = profile_load("daily", true);
    rec->include_rules = {{"/home/alice/Documents"}, {"/home/alice/Mail"}};
    rec->exclude_rules = {{"*.tmp"}, {"/home/alice/Documents/cache/"}};
    rec->tx_throttle = 1;
    rec->tx_rate = 512;
    ProfileEditorDialog editor(nullptr, rec.get(), EditorMode::edit);
    shot(&editor, "profile-editor");
    auto* rules = ctl<QTreeWidget>(&editor, 1001);
    RuleEditorDialog rule(&editor, rules, RuleAction::change, true, "/home/alice/Documents", 0);
    shot(&rule, "rule-editor");
    FolderChooser chooser(&rule, source_);
    shot(&chooser, "folder-chooser");
  }
  RefServer server({"--delay-ms", "40"});
  start(server, "Documents and mail, every night");
  ASSERT_NE(dialog_, nullptr);
  ASSERT_TRUE(wait_until([this] { return text(kCtlFiles) != "0 " || finished(); }));
  wait_until([this] { return text(kCtlNetTx) != "0 "; }, 3000);
  shot(dialog_.get(), "run-dialog-running");
  {
    ThrottlingDialog throttling(run_context(), dialog_.get());
    shot(&throttling, "throttling");
  }
  press(dialog_.get(), kCtlButtonPause);
  wait_until([this] { return text(kCtlStatus).startsWith("Paused"); }, 3000);
  shot(dialog_.get(), "run-dialog-paused");
  press(dialog_.get(), kCtlButtonPause);
  ASSERT_TRUE(wait_until([this] { return finished(); }, 120000));
  wait_until([this] { return !text(kCtlElapsed).isEmpty(); }, 3000);
  shot(dialog_.get(), "run-dialog-done");
  dialog_->control_text(kCtlStatus,
                        "Backup completed, but the catalog could not be stored on the server!");
  shot(dialog_.get(), "run-dialog-long-status");
}

}  // namespace
}  // namespace vl::test
