#include "qt_test_support.h"

#include <sys/stat.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/dirs.h"
#include "stores/config_db.h"

namespace vl::test {

// The offscreen platform's notes about what it cannot do are noise in the test output.
static void quiet_messages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (message.contains(QStringLiteral("propagateSizeHints")) ||
      message.contains(QStringLiteral("XDG_RUNTIME_DIR")))
    return;
  std::fprintf(stderr, "Qt %d: %s\n", static_cast<int>(type), message.toLocal8Bit().constData());
}

void qt_app() {
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quiet_messages);
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    auto* a = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return a;
  }();
  (void)app;
}

void QtTest::SetUp() {
  StoreTest::SetUp();
  qt_app();
  // Timers and their drop-ins are looked for here, not in the home of whoever runs the tests.
  ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
  ASSERT_EQ(config_open(), 0);
  backend_ = std::make_unique<QtBackend>();
  ui_backend_set(backend_.get());
  qt_box_hook_set([this](const QtBox& box) {
    boxes_.push_back(box);
    if (on_box_) on_box_(box);
    return answer_;
  });
}

void QtTest::TearDown() {
  qt_box_hook_set(nullptr);
  ui_backend_set(nullptr);
  QApplication::processEvents();
  backend_.reset();
  config_free_profiles();
  config_close();
  ::unsetenv("XDG_CONFIG_HOME");
  StoreTest::TearDown();
}

std::vector<std::string> QtTest::box_texts() const {
  std::vector<std::string> out;
  for (const QtBox& b : boxes_) out.push_back(b.caption + "|" + b.text);
  return out;
}

FakeSystemd::FakeSystemd(const std::string& dir, bool no_manager) : path_(std::getenv("PATH")) {
  ::mkdir(dir.c_str(), 0700);
  ::mkdir((dir + "/fakebin").c_str(), 0700);
  const std::string systemctl = dir + "/fakebin/systemctl";
  write_file(systemctl, std::string("#!/bin/sh\n") + (no_manager ? "echo 'Failed to connect to bus' >&2; exit 1\n" : "") +
                            "wants=\"$XDG_CONFIG_HOME/systemd/user/timers.target.wants\"\n"
                            "for unit; do :; done\n"
                            "case \" $* \" in\n"
                            "  *' show '*) echo 'Thu 2026-12-10 02:13:44 UTC' ;;\n"
                            "  *' enable '*) mkdir -p \"$wants\" && ln -sf /dev/null \"$wants/$unit\" ;;\n"
                            "  *' disable '*) rm -f \"$wants/$unit\" ;;\n"
                            "esac\n");
  ::chmod(systemctl.c_str(), 0700);
  write_file(dir + "/fake-settings.conf", "Install_Dir=" + dir + "\nData_Dir=" + data_dir() + "\n");
  ::setenv("PATH", (dir + "/fakebin:" + path_).c_str(), 1);
  ::setenv("VORNLAKE_SETTINGS", (dir + "/fake-settings.conf").c_str(), 1);
}

FakeSystemd::~FakeSystemd() {
  ::setenv("PATH", path_.c_str(), 1);
  ::unsetenv("VORNLAKE_SETTINGS");
}

void on_next_modal(std::function<void(QWidget*)> act) {
  QPointer<QWidget> before = QApplication::activeModalWidget();
  auto* timer = new QTimer;
  auto started = std::chrono::steady_clock::now();
  QObject::connect(timer, &QTimer::timeout, [timer, before, act, started] {
    QWidget* now = QApplication::activeModalWidget();
    if (now && now != before.data() && now->isVisible()) {
      timer->stop();
      timer->deleteLater();
      act(now);
      return;
    }
    if (std::chrono::steady_clock::now() - started > std::chrono::seconds(30)) {
      ADD_FAILURE() << "no modal dialog opened";
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(5);
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

static void mouse(QWidget* target, QEvent::Type type, QPoint pos) {
  Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, QPointF(pos), QPointF(target->mapToGlobal(pos)), Qt::LeftButton, buttons,
                    Qt::NoModifier);
  QApplication::sendEvent(target, &event);
}

static void click_at(QTreeWidget* list, QPoint pos, bool twice) {
  QWidget* vp = list->viewport();
  mouse(vp, QEvent::MouseButtonPress, pos);
  mouse(vp, QEvent::MouseButtonRelease, pos);
  if (twice) {
    mouse(vp, QEvent::MouseButtonDblClick, pos);
    mouse(vp, QEvent::MouseButtonRelease, pos);
  }
  QApplication::processEvents();
}

static QPoint row_point(QTreeWidget* list, int row) {
  QTreeWidgetItem* item = list->topLevelItem(row);
  EXPECT_NE(item, nullptr) << "row " << row;
  return item ? list->visualItemRect(item).center() : QPoint();
}

static QPoint empty_point(QTreeWidget* list) {
  int bottom = 0;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    bottom = std::max(bottom, list->visualItemRect(list->topLevelItem(i)).bottom());
  QPoint p(list->viewport()->width() / 4, bottom + 10);
  EXPECT_LT(p.y(), list->viewport()->height()) << "list too small for an empty click";
  EXPECT_EQ(list->itemAt(p), nullptr);
  return p;
}

void click_row(QTreeWidget* list, int row) { click_at(list, row_point(list, row), false); }
void double_click_row(QTreeWidget* list, int row) { click_at(list, row_point(list, row), true); }
void click_empty(QTreeWidget* list) { click_at(list, empty_point(list), false); }
void double_click_empty(QTreeWidget* list) { click_at(list, empty_point(list), true); }

void key(QWidget* target, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(target, &release);
  QApplication::processEvents();
}

std::vector<std::string> tab_chain(QWidget* first) {
  std::vector<std::string> names;
  QWidget* w = first;
  do {
    if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisible())
      names.push_back(w->objectName().toStdString());
    w = w->nextInFocusChain();
  } while (w && w != first);
  return names;
}

void press(const QWidget* dialog, int id) {
  auto* b = ctl<QAbstractButton>(dialog, id);
  ASSERT_NE(b, nullptr) << "button " << id;
  ASSERT_TRUE(b->isEnabled()) << "button " << id << " is disabled";
  b->click();
}

std::vector<std::vector<std::string>> rows_of(const QTreeWidget* list) {
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    std::vector<std::string> row;
    for (int c = 0; c < list->columnCount(); ++c) row.push_back(ss(list->topLevelItem(i)->text(c)));
    rows.push_back(row);
  }
  return rows;
}

}  // namespace vl::test
