#include "ui/qt/profile_list_dialog.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "base/product.h"
#include "engine/open_profile.h"
#include "platform/dirs.h"
#include "run/last_run.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "ui/qt/help_window.h"
#include "ui/qt/main_window.h"
#include "ui/qt/profile_editor_dialog.h"
#include "ui/qt/profile_validation.h"
#include "ui/qt/qt_backend.h"
#include "ui/qt/qt_util.h"
#include "ui/qt/schedule.h"
#include "ui/qt/schedule_dialog.h"

namespace vl {
namespace {

// The banner across the top of the list.
class Banner : public QWidget {
 public:
  explicit Banner(QWidget* parent) : QWidget(parent) { setFixedHeight(dlu_y(parent, 58)); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QLinearGradient sky(0, 0, width(), height());
    sky.setColorAt(0, QColor(0x12, 0x2b, 0x4a));
    sky.setColorAt(1, QColor(0x1f, 0x7a, 0x8c));
    p.fillRect(rect(), sky);
    p.setRenderHint(QPainter::Antialiasing);
    QFont title = font();
    title.setPixelSize(height() * 2 / 5);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    QRect text_area = rect().adjusted(height() / 3, 0, 0, -height() / 6);
    p.drawText(text_area, Qt::AlignLeft | Qt::AlignVCenter, QString::fromUtf8(kProductName));
    QFont sub = font();
    sub.setPixelSize(qMax(10, height() / 6));
    p.setFont(sub);
    p.setPen(QColor(0xd8, 0xee, 0xf2));
    p.drawText(rect().adjusted(height() / 3, 0, 0, -height() / 8), Qt::AlignLeft | Qt::AlignBottom,
               QStringLiteral("Block-level online backup"));
  }
};

}  // namespace

ProfileListDialog::ProfileListDialog(QWidget* owner) : QDialog(owner, dialog_flags(true)) {
  setWindowTitle(QString::fromUtf8(kProductName));

  list_ = new QTreeWidget(this);
  list_->setObjectName(ctl_name(1001));
  list_->setColumnCount(4);
  list_->setHeaderLabels({QStringLiteral("Tag"), QStringLiteral("Description"),
                          QStringLiteral("Last Run"), QStringLiteral("Schedule")});
  list_->setColumnWidth(0, 90);
  list_->setColumnWidth(1, 230);
  // Last Run: the original 118 pixels, widened to hold a date and the longest ending,
  // "could not connect", whole.
  list_->setColumnWidth(
      2, std::max(118, list_->fontMetrics().horizontalAdvance(
                           QString::fromUtf8("2026-12-07 21:14 \xC2\xB7 could not connect")) + 16));
  list_->setColumnWidth(3, list_->fontMetrics().horizontalAdvance(
                              QString::fromUtf8("weekly \xC2\xB7 next 2026-12-07 21:14")) + 16);
  list_->header()->setStretchLastSection(false);
  // Every column shown whole, without a horizontal scroll bar.
  int columns_width = 0;
  for (int c = 0; c < 4; ++c) columns_width += list_->columnWidth(c);
  list_->setMinimumWidth(columns_width + 2 * list_->frameWidth() +
                         list_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setAllColumnsShowFocus(true);
  list_->viewport()->installEventFilter(this);
  list_->installEventFilter(this);
  // Said in the empty list itself, where a first-time user looks.
  empty_hint_ = new QLabel(QStringLiteral("No backup profiles yet: press New to make one."),
                           list_->viewport());
  empty_hint_->setObjectName(QStringLiteral("empty_hint"));
  empty_hint_->setAlignment(Qt::AlignCenter);
  (new QVBoxLayout(list_->viewport()))->addWidget(empty_hint_);
  for (const auto& entry : profile_list) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(0, qs(entry->tag));
    item->setText(1, qs(entry->description));
    row_update(item);
  }
  empty_hint_update();

  ok_ = button(this, 1, "OK");
  ok_->setDefault(true);
  auto* cancel = button(this, 2, "Cancel");
  auto* new_button = button(this, 1002, "New");
  edit_ = button(this, 1055, "Edit");
  delete_ = button(this, 1033, "Delete");
  schedule_ = button(this, kCtlSchedule, "Schedule");
  auto* about_button = button(this, 1035, "About");
  auto* help_button = button(this, 1036, "Help");
  buttons_enable(false);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(ok_);
  buttons->addWidget(cancel);
  buttons->addSpacing(dlu_x(this, 16));
  buttons->addWidget(new_button);
  buttons->addWidget(edit_);
  buttons->addWidget(delete_);
  buttons->addWidget(schedule_);
  buttons->addSpacing(dlu_x(this, 16));
  buttons->addWidget(about_button);
  buttons->addWidget(help_button);
  buttons->addStretch(1);

  auto* body = new QVBoxLayout;
  body->addWidget(new QLabel(QStringLiteral("Select backup profile to run:"), this));
  body->addWidget(list_, 1);
  body->addLayout(buttons);
  auto* top = new QVBoxLayout(this);
  top->setContentsMargins(0, 0, 0, 0);
  top->addWidget(new Banner(this));
  auto* inner = new QWidget(this);
  inner->setLayout(body);
  top->addWidget(inner, 1);

  connect(ok_, &QPushButton::clicked, this, &ProfileListDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(new_button, &QPushButton::clicked, this, [this] { profile_new(); });
  connect(edit_, &QPushButton::clicked, this, [this] { profile_edit(); });
  connect(delete_, &QPushButton::clicked, this, [this] { profile_delete_selected(); });
  connect(schedule_, &QPushButton::clicked, this, [this] { schedule_selected(); });
  connect(about_button, &QPushButton::clicked, this, [this] { about(); });
  connect(help_button, &QPushButton::clicked, this, [this] { help(); });
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { accept(); });
  // A row chosen with the keyboard enables the buttons as a click on it does; the dialog's own
  // changes (Delete) set the buttons themselves.
  connect(list_, &QTreeWidget::itemSelectionChanged, this,
          [this] { buttons_enable(selected_row() >= 0); });

  resize(sizeHint().expandedTo(QSize(dlu_x(this, 427), dlu_y(this, 209))));
}

void ProfileListDialog::empty_hint_update() {
  empty_hint_->setVisible(list_->topLevelItemCount() == 0);
}

void ProfileListDialog::buttons_enable(bool enabled) {
  ok_->setEnabled(enabled);
  edit_->setEnabled(enabled);
  delete_->setEnabled(enabled);
  schedule_->setEnabled(enabled);
}

void ProfileListDialog::row_update(QTreeWidgetItem* item) {
  const std::string tag = ss(item->text(0));
  item->setText(2, qs(last_run_text(profile_dir(tag))));
  const Schedule s = schedule_of(systemd_user_dir(), tag);
  item->setText(3, qs(schedule_column_text(s, s == Schedule::off ? "" : schedule_next_run(tag))));
}

void ProfileListDialog::select_tag(const std::string& tag) {
  for (int row = 0; row < list_->topLevelItemCount(); ++row) {
    if (ss(list_->topLevelItem(row)->text(0)) != tag) continue;
    list_->setCurrentItem(list_->topLevelItem(row));
    list_->topLevelItem(row)->setSelected(true);
    list_->setFocus();
    return;
  }
}

void ProfileListDialog::login_failed_offer(const std::string& tag) {
  select_tag(tag);
  if (selected_row() < 0) return;
  if (qt_question(this,
                  "The server refused the login or password of the backup profile " + tag +
                      ".\n\nOpen the profile to check its login, password and server?",
                  "Login Failed"))
    profile_edit();
}

void ProfileListDialog::schedule_selected() {
  const int row = selected_row();
  if (row < 0) return;
  QTreeWidgetItem* item = list_->topLevelItem(row);
  const std::string tag = ss(item->text(0));
  ScheduleDialog dialog(this, tag, schedule_of(systemd_user_dir(), tag));
  dialog.exec();
  row_update(item);
}

int ProfileListDialog::selected_row() const {
  QList<QTreeWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return -1;
  return list_->indexOfTopLevelItem(selected.first());
}

bool ProfileListDialog::eventFilter(QObject* watched, QEvent* event) {
  // A mouse click on the list: a row enables OK, Edit and Delete, empty space disables them.
  if (watched == list_->viewport() && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    buttons_enable(list_->itemAt(mouse->position().toPoint()) != nullptr);
  }
  // Enter on a row runs it, as a double click does, whatever state OK was left in by New.
  if (watched == list_ && event->type() == QEvent::KeyPress) {
    int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && selected_row() >= 0) {
      accept();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void ProfileListDialog::accept() {
  int row = selected_row();
  if (row < 0) return;
  ProfileListEntry* entry = profile_entry_of_row(ss(list_->topLevelItem(row)->text(0)));
  if (!entry) return;
  profile_entry_running = entry;
  if (open_profile(entry) != 0) {
    profile_entry_running = nullptr;
    return;
  }
  QDialog::accept();
}

void ProfileListDialog::profile_new() {
  std::unique_ptr<ProfileSettings> profile = profile_new_defaults();
  if (profile_editor_run(this, profile.get(), EditorMode::create)) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(0, qs(profile->tag));
    item->setText(1, qs(profile->description));
    // A tag used before keeps its folder of run logs when its profile is deleted.
    row_update(item);
  }
  profile_free(profile);
  buttons_enable(false);
  empty_hint_update();
  config_load_profiles();
}

void ProfileListDialog::profile_edit() {
  int row = selected_row();
  if (row < 0) return;
  ProfileListEntry* entry = profile_entry_of_row(ss(list_->topLevelItem(row)->text(0)));
  if (!entry) return;
  std::unique_ptr<ProfileSettings> profile = profile_load(entry->tag, false);
  if (profile) {
    if (profile_editor_run(this, profile.get(), EditorMode::edit))
      list_->topLevelItem(row)->setText(1, qs(profile->description));
    profile_free(profile);
  }
  config_load_profiles();
}

void ProfileListDialog::profile_delete_selected() {
  int row = selected_row();
  if (row < 0) return;
  const std::string tag = ss(list_->topLevelItem(row)->text(0));
  // The profile's settings go with it: ask first, and say what stays behind.
  bool history = false;
  if (!qt_question_check(this,
                         "Delete the backup profile " + tag + "?\n\nIts settings and saved "
                         "password are removed. Its run logs and catalogs in\n" +
                             profile_dir(tag) +
                             "\nare kept unless you tick the box below. The backups stored on "
                             "the server are not touched.",
                         "Delete Backup Profile", "Also remove its run logs and catalogs",
                         &history))
    return;
  // A timer left behind would start a run of a profile that no longer exists.
  if (schedule_of(systemd_user_dir(), tag) != Schedule::off) schedule_set(tag, Schedule::off);
  if (profile_delete(tag, history) != 0)
    qt_message_box(this, "Not every file of the profile could be removed from\n" + profile_dir(tag),
                   "Delete Backup Profile");
  delete list_->takeTopLevelItem(row);
  list_->clearSelection();
  list_->setCurrentItem(nullptr);
  buttons_enable(false);
  empty_hint_update();
  config_load_profiles();
}

void ProfileListDialog::about() {
  AboutDialog dialog(this);
  dialog.exec();
}

void ProfileListDialog::help() {
  HelpWindow window(this, desktop_help_html());
  window.exec();
}

}  // namespace vl
