// The rule editor on a rules list: rows appended and changed, its three refusals, and the two
// choosers that fill the path box.
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

#include "qt_test_support.h"
#include "ui/qt/folder_chooser.h"
#include "ui/qt/rule_editor_dialog.h"

namespace vl::test {
namespace {

class RuleEditorTest : public QtTest {
 protected:
  void SetUp() override {
    QtTest::SetUp();
    list_ = std::make_unique<QTreeWidget>();  // after the QApplication
    rules_ = list_.get();
    rules_->setColumnCount(5);
    for (auto [mode, path] : {std::pair{"Include", "/home/data"}, std::pair{"Exclude", "*.bak"}}) {
      auto* item = new QTreeWidgetItem(rules_);
      item->setText(0, mode);
      item->setText(1, path);
    }
  }
  std::unique_ptr<RuleEditorDialog> open(RuleAction action, bool include, const std::string& path,
                                         int row = -1) {
    auto d = std::make_unique<RuleEditorDialog>(nullptr, rules_, action, include, path, row);
    d->show();
    QApplication::processEvents();
    return d;
  }
  // Types path in mode and presses OK; returns the box, "" when none.
  std::string ok_with(RuleEditorDialog* d, const char* path, int mode) {
    boxes_.clear();
    control<QLineEdit>(d, 1059)->setText(QString::fromUtf8(path));
    control<QComboBox>(d, 1061)->setCurrentIndex(mode);
    press(d, 1);
    if (boxes_.empty()) return "";
    EXPECT_EQ(boxes_[0].owner, d);
    return boxes_[0].text;
  }

  std::unique_ptr<QTreeWidget> list_;
  QTreeWidget* rules_ = nullptr;
};

TEST_F(RuleEditorTest, RefusalsKeepTheEditorOpenThenTheRowIsAppended) {
  auto d = open(RuleAction::add, true, "");
  EXPECT_EQ(d->windowTitle(), "Include / Exclude");
  auto* mode = control<QComboBox>(d.get(), 1061);
  EXPECT_EQ(tab_chain(control<QLineEdit>(d.get(), 1059)),
            (std::vector<std::string>{"ctl_1059", "ctl_1061", "ctl_1063", "ctl_1060", "ctl_1",
                                      "ctl_2"}));
  ASSERT_EQ(mode->count(), 2);
  EXPECT_EQ(mode->itemText(0), "Include");
  EXPECT_EQ(mode->itemText(1), "Exclude");

  EXPECT_NE(ok_with(d.get(), "", 1).find("A filespec must be entered."), std::string::npos);
  EXPECT_EQ(boxes_[0].caption, "Can't Add Include/Exclude");
  EXPECT_NE(ok_with(d.get(), "/HOME/Data", 1).find("already has this\npath"), std::string::npos);
  EXPECT_NE(ok_with(d.get(), "/srv/*.log", 0).find("Wildcards (* and ?)"), std::string::npos);
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(control<QLineEdit>(d.get(), 1059)->text(), "/srv/*.log") << "the text stays as typed";
  EXPECT_EQ(rules_->topLevelItemCount(), 2);

  EXPECT_EQ(ok_with(d.get(), "/srv/*.log", 1), "");
  EXPECT_FALSE(d->isVisible());
  ASSERT_EQ(rules_->topLevelItemCount(), 3);
  EXPECT_EQ(rules_->topLevelItem(2)->text(0), "Exclude");
  EXPECT_EQ(rules_->topLevelItem(2)->text(1), "/srv/*.log");

  auto again = open(RuleAction::add, true, "");
  EXPECT_EQ(ok_with(again.get(), "/etc", 0), "");
  EXPECT_EQ(rules_->topLevelItem(3)->text(0), "Include") << "appended last whatever the mode";
}

TEST_F(RuleEditorTest, ChangeRewritesItsRowAndSkipsItInTheDuplicateTest) {
  auto d = open(RuleAction::change, false, "*.bak", 1);
  EXPECT_EQ(control<QComboBox>(d.get(), 1061)->currentIndex(), 1);
  EXPECT_EQ(control<QLineEdit>(d.get(), 1059)->text(), "*.bak");
  EXPECT_NE(ok_with(d.get(), "/home/DATA", 1), "") << "another row's path";
  EXPECT_EQ(ok_with(d.get(), "*.BAK", 1), "");
  EXPECT_EQ(rules_->topLevelItemCount(), 2);
  EXPECT_EQ(rules_->topLevelItem(1)->text(1), "*.BAK");

  auto cancelled = open(RuleAction::change, true, "/home/data", 0);
  control<QLineEdit>(cancelled.get(), 1059)->setText("/elsewhere");
  press(cancelled.get(), 2);
  EXPECT_EQ(rules_->topLevelItem(0)->text(1), "/home/data") << "Cancel changes nothing";
}

TEST_F(RuleEditorTest, BrowsePathOpensAtTheRulesFolderAndAcceptsOnlyRealFolders) {
  ::mkdir((dir_ / "photos").c_str(), 0700);
  ASSERT_EQ(::symlink((dir_ / "photos").c_str(), (dir_ / "link").c_str()), 0);
  write_file(dir_ / "note.txt", "x");
  auto d = open(RuleAction::add, true, "");
  auto current = [](QWidget* w) {
    auto* tree = w->findChild<QTreeView*>("folder_tree");
    return ss(static_cast<const QFileSystemModel*>(tree->model())->filePath(tree->currentIndex()));
  };

  on_next_modal([this, current](QWidget* w) {
    auto* chooser = qobject_cast<FolderChooser*>(w);
    ASSERT_NE(chooser, nullptr);
    auto* typed = w->findChild<QLineEdit*>("folder_path");
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(current(w), ss(QDir::homePath())) << "a new rule opens at home";
    EXPECT_EQ(typed->text(), QDir::homePath());
    EXPECT_GT(w->width(), 400);
    EXPECT_GT(w->height(), 400);
    chooser->select(dir_ / "link");
    EXPECT_FALSE(control<QPushButton>(w, 1)->isEnabled()) << "a symbolic link";
    chooser->select(dir_ / "note.txt");
    EXPECT_FALSE(control<QPushButton>(w, 1)->isEnabled()) << "not a folder";
    w->findChild<QPushButton*>("folder_home")->click();
    EXPECT_EQ(current(w), ss(QDir::homePath()));
    // Typed (or pasted) into the box: the tree follows a folder, OK takes what was typed.
    typed->selectAll();
    typed->insert(qs(dir_ / "photos/"));
    EXPECT_TRUE(control<QPushButton>(w, 1)->isEnabled());
    EXPECT_EQ(current(w), dir_ / "photos");
    press(w, 1);
  });
  press(d.get(), 1060);
  EXPECT_EQ(ss(control<QLineEdit>(d.get(), 1059)->text()), dir_ / "photos");

  on_next_modal([this, current](QWidget* w) {
    EXPECT_EQ(current(w), dir_ / "photos") << "opens at the folder in the path box";
    press(w, 2);
  });
  press(d.get(), 1060);
  EXPECT_EQ(ss(control<QLineEdit>(d.get(), 1059)->text()), dir_ / "photos") << "cancel keeps the box";
  d->reject();
}

TEST_F(RuleEditorTest, BrowseFileTakesAnyFileEvenOneThatDoesNotExist) {
  auto d = open(RuleAction::add, false, "keep me");
  const std::string wanted = dir_ / "not-yet-there.db";
  on_next_modal([&wanted](QWidget* w) {
    auto* chooser = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(chooser, nullptr);
    EXPECT_EQ(chooser->windowTitle(), "Browse Path / File");
    EXPECT_EQ(chooser->nameFilters(), QStringList{"*.* (*)"});
    chooser->selectFile(qs(wanted));
    static_cast<QDialog*>(chooser)->accept();
  });
  press(d.get(), 1063);
  EXPECT_EQ(ss(control<QLineEdit>(d.get(), 1059)->text()), wanted);
  EXPECT_FALSE(file_exists(wanted)) << "no test file is created";

  on_next_modal([](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
  press(d.get(), 1063);
  EXPECT_EQ(ss(control<QLineEdit>(d.get(), 1059)->text()), wanted);
  d->reject();
}

}  // namespace
}  // namespace vl::test
