#include "ui/qt/qt_backend.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QGridLayout>
#include <QPushButton>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include "ui/qt/qt_util.h"
#include "ui/qt/run_dialog.h"

namespace vl {
namespace {

std::function<bool(const QtBox&)> g_box_hook;
QPointer<RunDialog> g_run_dialog;

bool on_gui_thread() { return QThread::currentThread() == qApp->thread(); }

QWidget* owner_widget(BoxOwner owner) {
  switch (owner) {
    case BoxOwner::run_dialog: return g_run_dialog.data();
    case BoxOwner::dialog: return QApplication::activeModalWidget();
    case BoxOwner::none: break;
  }
  return nullptr;
}

}  // namespace

void qt_box_hook_set(std::function<bool(const QtBox&)> hook) { g_box_hook = std::move(hook); }

std::unique_ptr<QMessageBox> qt_message_box_make(QWidget* owner, const QtBox& b) {
  auto box = std::make_unique<QMessageBox>(
      QMessageBox::NoIcon, qs(b.caption), qs(b.text),
      b.question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
  box->setTextFormat(Qt::PlainText);
  box->setWindowModality(Qt::ApplicationModal);
  if (b.question) {
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
  }
  if (!b.check.empty()) {
    auto* check = new QCheckBox(qs(b.check), box.get());
    check->setChecked(b.checked && *b.checked);
    box->setCheckBox(check);
  }
  if (!b.copy.empty()) {
    QPushButton* copy = box->addButton(QStringLiteral("Copy"), QMessageBox::ActionRole);
    // The box closes on any of its buttons: this one only copies.
    copy->disconnect();
    const QString text = qs(b.copy);
    QObject::connect(copy, &QPushButton::clicked, [text] { QApplication::clipboard()->setText(text); });
    box->setDefaultButton(QMessageBox::Ok);
  }
  // The title bar's font is the window manager's, commonly bold and a little larger than the
  // dialog's; its icon and buttons take about six character heights besides.
  QFont title_font = box->font();
  title_font.setBold(true);
  QFontMetrics title(title_font);
  int needed = title.horizontalAdvance(qs(b.caption)) * 6 / 5 + 6 * title.height();
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
    grid->addItem(new QSpacerItem(needed, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  return box;
}

void qt_message_box(QWidget* owner, const std::string& text, const std::string& caption) {
  if (g_box_hook) {
    g_box_hook(QtBox{owner, text, caption});
    return;
  }
  qt_message_box_make(owner, QtBox{owner, text, caption})->exec();
}

bool qt_question(QWidget* owner, const std::string& text, const std::string& caption) {
  QtBox b{owner, text, caption, true};
  if (g_box_hook) return g_box_hook(b);
  return qt_message_box_make(owner, b)->exec() == QMessageBox::Yes;
}

bool qt_question_check(QWidget* owner, const std::string& text, const std::string& caption,
                       const std::string& check, bool* checked) {
  QtBox b{owner, text, caption, true, check, checked};
  if (g_box_hook) return g_box_hook(b);
  std::unique_ptr<QMessageBox> box = qt_message_box_make(owner, b);
  const bool yes = box->exec() == QMessageBox::Yes;
  if (checked && box->checkBox()) *checked = box->checkBox()->isChecked();
  return yes;
}

void qt_copy_box(QWidget* owner, const std::string& text, const std::string& caption,
                 const std::string& copy) {
  QtBox b{owner, text, caption};
  b.copy = copy;
  if (g_box_hook) {
    g_box_hook(b);
    return;
  }
  qt_message_box_make(owner, b)->exec();
}

void qt_run_dialog_set(RunDialog* dialog) { g_run_dialog = dialog; }
RunDialog* qt_run_dialog() { return g_run_dialog.data(); }

QtBackend::QtBackend() = default;

template <class F>
void QtBackend::on_gui(F&& f) {
  if (on_gui_thread())
    f();
  else
    QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
}

void QtBackend::message_box(BoxOwner owner, const std::string& text, const std::string& caption) {
  auto show = [owner, &text, &caption] { qt_message_box(owner_widget(owner), text, caption); };
  if (on_gui_thread())
    show();
  else
    // The worker waits here until the box has been dismissed on the GUI thread.
    QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
}

void QtBackend::set_text(int control, const std::string& text) {
  on_gui([control, text] {
    if (RunDialog* d = g_run_dialog.data()) d->control_text(control, qs(text));
  });
}

void QtBackend::set_enabled(int control, bool enabled) {
  on_gui([control, enabled] {
    if (RunDialog* d = g_run_dialog.data()) d->control_enable(control, enabled);
  });
}

void QtBackend::set_progress_range(int control, uint32_t low, uint32_t high) {
  on_gui([control, low, high] {
    if (RunDialog* d = g_run_dialog.data()) d->control_range(control, low, high);
  });
}

void QtBackend::set_progress_pos(int control, uint32_t pos) {
  on_gui([control, pos] {
    if (RunDialog* d = g_run_dialog.data()) d->control_pos(control, pos);
  });
}

}  // namespace vl
