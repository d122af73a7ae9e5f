#include "ui/qt/profile_editor_dialog.h"

#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QValidator>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/fs.h"
#include "stores/profile_db.h"
#include "ui/qt/qt_backend.h"
#include "ui/qt/qt_util.h"
#include "ui/qt/rule_editor_dialog.h"
#include "ui/qt/throttling_fields.h"

namespace vl {
namespace {

QLineEdit* text_box(QWidget* parent, int id) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(ctl_name(id));
  e->setMinimumWidth(dlu_x(parent, 130));
  return e;
}

// Refuses a change that would make the text longer than max_bytes once stored (UTF-8 bytes),
// so that a login or password is never cut silently on OK: "é" counts 2 of the 31 bytes.
class ByteLimit : public QValidator {
 public:
  ByteLimit(size_t max_bytes, QObject* parent) : QValidator(parent), max_bytes_(max_bytes) {}
  State validate(QString& input, int&) const override {
    return ss(input).size() <= max_bytes_ ? Acceptable : Invalid;
  }

 private:
  size_t max_bytes_;
};

}  // namespace

ProfileEditorDialog::ProfileEditorDialog(QWidget* owner, ProfileSettings* profile, EditorMode mode)
    : QDialog(owner, dialog_flags(true)), profile_(profile), mode_(mode) {
  setWindowTitle(mode == EditorMode::edit ? QStringLiteral("Edit Backup Profile")
                                           : QStringLiteral("New Backup Profile"));

  auto* profile_group = new QGroupBox(QStringLiteral("Profile"), this);
  tag_ = text_box(this, 1005);
  description_ = text_box(this, 1004);
  // Wide enough for a description of 64 characters of ordinary text, shown whole.
  description_->setMinimumWidth(description_->fontMetrics().averageCharWidth() * 64 * 9 / 8 +
                                dlu_x(this, 8));
  auto* profile_form = new QFormLayout(profile_group);
  profile_form->addRow(QStringLiteral("Tag Name:"), tag_);
  profile_form->addRow(QStringLiteral("Profile Description:"), description_);

  auto* connection_group = new QGroupBox(QStringLiteral("Connection"), this);
  login_ = text_box(this, 1046);
  password_ = text_box(this, 1047);
  password_->setEchoMode(QLineEdit::Password);
  login_->setValidator(new ByteLimit(kLoginRead, login_));
  password_->setValidator(new ByteLimit(kPasswordRead, password_));
  server_ = text_box(this, 1048);
  port_ = text_box(this, 1049);
  port_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), port_));
  auto* connection_form = new QFormLayout(connection_group);
  connection_form->addRow(QStringLiteral("Login Name:"), login_);
  connection_form->addRow(QStringLiteral("Password:"), password_);
  connection_form->addRow(QStringLiteral("Server:"), server_);
  connection_form->addRow(QStringLiteral("Port:"), port_);

  throttling_ = new ThrottlingFields(this);

  auto* rules_group = new QGroupBox(QStringLiteral("Include / Exclude"), this);
  rules_ = new QTreeWidget(this);
  rules_->setObjectName(ctl_name(1001));
  rules_->setColumnCount(5);
  rules_->setHeaderLabels({QStringLiteral("Mode"), QStringLiteral("Path / File"),
                           QStringLiteral("Type"), QStringLiteral("Files"), QStringLiteral("Size")});
  // The widths of the original layout, widened where the font would clip a heading or "Exclude".
  const int widths[5] = {50, 500, 50, 50, 50};
  QFontMetrics metrics = rules_->fontMetrics();
  for (int i = 0; i < 5; ++i) {
    int needed = metrics.horizontalAdvance(rules_->headerItem()->text(i)) + 16;
    if (i == 0) needed = std::max(needed, metrics.horizontalAdvance(QStringLiteral("Exclude")) + 16);
    rules_->setColumnWidth(i, std::max(widths[i], needed));
  }
  rules_->header()->setStretchLastSection(false);
  rules_->setRootIsDecorated(false);
  rules_->setUniformRowHeights(true);
  rules_->setSelectionMode(QAbstractItemView::SingleSelection);
  rules_->setAllColumnsShowFocus(true);
  rules_->viewport()->installEventFilter(this);
  auto* add = button(this, 1053, "Add");
  edit_ = button(this, 1055, "Edit");
  edit_->setEnabled(false);
  remove_ = button(this, 1054, "Remove");
  remove_->setEnabled(false);
  auto* refresh = button(this, 1064, "Refresh");
  refresh->setEnabled(false);
  auto* rule_buttons = new QVBoxLayout;
  for (QPushButton* b : {add, edit_, remove_, refresh}) rule_buttons->addWidget(b);
  rule_buttons->addStretch(1);
  auto* rules_layout = new QHBoxLayout(rules_group);
  rules_layout->addWidget(rules_, 1);
  rules_layout->addLayout(rule_buttons);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(ctl_name(1));
  ok->setDefault(true);
  auto* cancel = button(this, 2, "Cancel");
  auto* dialog_buttons = new QVBoxLayout;
  dialog_buttons->addWidget(ok);
  dialog_buttons->addWidget(cancel);
  dialog_buttons->addStretch(1);

  auto* left = new QVBoxLayout;
  left->addWidget(profile_group);
  left->addWidget(connection_group);
  left->addStretch(1);
  auto* top = new QGridLayout(this);
  top->addLayout(left, 0, 0);
  top->addWidget(throttling_, 0, 1);
  top->addLayout(dialog_buttons, 0, 2);
  top->addWidget(rules_group, 1, 0, 1, 3);
  top->setRowStretch(1, 1);
  top->setColumnStretch(0, 1);

  connect(ok, &QPushButton::clicked, this, &ProfileEditorDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(add, &QPushButton::clicked, this, [this] { rule_add(); });
  connect(edit_, &QPushButton::clicked, this, [this] { rule_edit(); });
  connect(remove_, &QPushButton::clicked, this, [this] { rule_remove(); });
  connect(rules_, &QTreeWidget::itemDoubleClicked, this, [this] { rule_edit(); });
  // A rule chosen with the keyboard enables Edit and Remove as a click on it does.
  connect(rules_, &QTreeWidget::itemSelectionChanged, this, [this] {
    bool on_row = selected_row() >= 0;
    edit_->setEnabled(on_row);
    remove_->setEnabled(on_row);
  });

  // Show the record.
  throttling_->show_values(throttle_values_of(*profile_));
  server_->setText(qs(profile_->server));
  port_->setText(QString::number(profile_->port));
  login_->setText(qs(profile_->login));
  password_->setText(qs(profile_->password));
  tag_->setText(qs(profile_->tag));
  description_->setText(qs(profile_->description));
  for (const RuleRow& row : profile_rule_rows(*profile_)) {
    auto* item = new QTreeWidgetItem(rules_);
    item->setText(0, qs(row.mode));
    item->setText(1, qs(row.path));
  }
  if (mode_ == EditorMode::edit) tag_->setEnabled(false);
  shown_ = input();

  resize(sizeHint().expandedTo(QSize(dlu_x(this, 512), dlu_y(this, 327))));
}

std::vector<RuleRow> ProfileEditorDialog::rows() const {
  std::vector<RuleRow> rows;
  for (int i = 0; i < rules_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = rules_->topLevelItem(i);
    rows.push_back({ss(item->text(0)), ss(item->text(1))});
  }
  return rows;
}

ProfileEditorInput ProfileEditorDialog::input() const {
  ProfileEditorInput in;
  in.tag = ss(tag_->text());
  in.description = ss(description_->text());
  in.login = ss(login_->text());
  in.password = ss(password_->text());
  in.server = ss(server_->text());
  in.port = ss(port_->text());
  in.throttle = throttling_->input();
  in.rows = rows();
  return in;
}

void ProfileEditorDialog::accept() {
  ProfileEditorInput in = input();
  DialogMessage error;
  if (!profile_editor_collect(in, mode_, profile_, &error)) {
    qt_message_box(this, error.text, error.caption);
    focus_control(this, error.control);
    return;
  }
  // A folder that is not there is left out of every run with a warning: say so now.
  const std::vector<std::string> doubtful = include_paths_doubtful(in.rows, file_exists);
  if (!doubtful.empty()) {
    std::string text = "These folders to back up do not exist or are not full paths (beginning "
                       "with \"/\"):\n";
    for (const std::string& path : doubtful) text += "\n    " + path;
    text += "\n\nA run leaves them out with a warning. Save the profile all the same?";
    if (!qt_question(this, text, "Folder Not Found")) {
      rules_->setFocus(Qt::OtherFocusReason);
      return;
    }
  }
  if (profile_create(*profile_) != 0) return;  // the store has reported why
  stored_ = true;
  QDialog::accept();
}

void ProfileEditorDialog::reject() {
  if (input() != shown_ &&
      !qt_question(this, "Discard the changes made to this backup profile?", ss(windowTitle())))
    return;
  QDialog::reject();
}

bool ProfileEditorDialog::eventFilter(QObject* watched, QEvent* event) {
  // A mouse click on the list: a row enables Edit and Remove, empty space disables them.
  if (watched == rules_->viewport() && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    bool on_row = rules_->itemAt(mouse->position().toPoint()) != nullptr;
    edit_->setEnabled(on_row);
    remove_->setEnabled(on_row);
  }
  return QDialog::eventFilter(watched, event);
}

int ProfileEditorDialog::selected_row() const {
  QList<QTreeWidgetItem*> selected = rules_->selectedItems();
  if (selected.isEmpty()) return -1;
  return rules_->indexOfTopLevelItem(selected.first());
}

void ProfileEditorDialog::rule_add() {
  RuleEditorDialog editor(this, rules_, RuleAction::add, true, std::string(), -1);
  editor.exec();
}

void ProfileEditorDialog::rule_edit() {
  int row = selected_row();
  if (row < 0) return;
  QTreeWidgetItem* item = rules_->topLevelItem(row);
  bool include = item->text(0) == QString::fromUtf8(kModeInclude);
  std::string path = text_limit(ss(item->text(1)), 259);
  RuleEditorDialog editor(this, rules_, RuleAction::change, include, path, row);
  editor.exec();
}

void ProfileEditorDialog::rule_remove() {
  int row = selected_row();
  if (row < 0) return;
  // Remove leaves Edit and Remove as they are: its own change of selection is not the user's.
  QSignalBlocker quiet(rules_);
  delete rules_->takeTopLevelItem(row);
  rules_->clearSelection();
  rules_->setCurrentItem(nullptr);
}

bool profile_editor_run(QWidget* owner, ProfileSettings* profile, EditorMode mode) {
  ProfileEditorDialog editor(owner, profile, mode);
  editor.exec();
  return editor.stored();
}

}  // namespace vl
