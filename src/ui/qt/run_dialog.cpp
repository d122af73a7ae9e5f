#include "ui/qt/run_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>
#include <climits>
#include <system_error>
#include <type_traits>

#include "base/product.h"
#include "run/run_control.h"
#include "run/run_notice.h"
#include "engine/run_session.h"
#include "platform/clock.h"
#include "port/controls.h"
#include "port/port.h"
#include "ui/qt/qt_backend.h"
#include "ui/qt/qt_util.h"
#include "ui/qt/text_viewer.h"
#include "ui/qt/throttling_dialog.h"

namespace vl {
namespace {

// A label for paths: keeps its whole text but draws it shortened in the middle when it does
// not fit, so that a long path neither widens the dialog nor hides its file name.
class PathLabel : public QLabel {
 public:
  explicit PathLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumWidth(dlu_x(parent, 60));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QRect r = contentsRect();
    QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, r.width());
    p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter, shown);
  }
};

QLabel* caption_label(const char* text) { return new QLabel(QString::fromUtf8(text)); }

QLabel* value_label(QWidget* parent) {
  auto* l = new QLabel(parent);
  l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  l->setMinimumWidth(dlu_x(parent, 56));
  return l;
}

}  // namespace

template <class W>
W* RunDialog::add(int id, W* widget) {
  // Run texts hold names from the tree and the server: a name that looks like markup is shown
  // as it is, never read as markup (an image in it would have the label open the file named).
  if constexpr (std::is_base_of_v<QLabel, W>) widget->setTextFormat(Qt::PlainText);
  widget->setObjectName(ctl_name(id));
  controls_.insert(id, widget);
  return widget;
}

RunDialog::RunDialog(RunContext& ctx, const ProfileListEntry* entry, QWidget* owner)
    : QDialog(owner, dialog_flags(true)), ctx_(ctx) {
  build();
  run_view_open();
  qt_run_dialog_set(this);
  run_dialog_init(ctx_, entry);
  run_worker_start(ctx_);

  connect(&refill_timer_, &QTimer::timeout, this, [this] {
    allowance_refill(ctx_);
    end_watch();
  });
  connect(&totals_timer_, &QTimer::timeout, this, [this] { totals_show(ctx_); });
  connect(&rates_timer_, &QTimer::timeout, this, [this] { rates_show(ctx_); });
  refill_timer_.start(100);
  totals_timer_.start(1000);
  rates_timer_.start(5000);
}

RunDialog::~RunDialog() {
  refill_timer_.stop();
  totals_timer_.stop();
  rates_timer_.stop();
  if (run_worker_running(ctx_)) {
    run_cancel(ctx_);
    // The worker may be waiting for a box on this thread: keep serving events until it ends.
    while (run_worker_running(ctx_)) {
      QApplication::processEvents(QEventLoop::AllEvents, 50);
      sleep_ms(10);
    }
  }
  run_worker_join(ctx_);
  if (notify_thread_.joinable()) notify_thread_.join();
  if (qt_run_dialog() == this) qt_run_dialog_set(nullptr);
  run_view_close();
}

void RunDialog::build() {
  setWindowTitle(QString::fromUtf8(kProductName));

  // Header: the profile being run, the version and a notice.
  auto* header = new QGridLayout;
  header->addWidget(caption_label("Profile Name:"), 0, 0);
  header->addWidget(add(kCtlProfileName, new PathLabel(this)), 0, 1);
  header->addWidget(caption_label("Tag Name:"), 1, 0);
  header->addWidget(add(kCtlTagName, new PathLabel(this)), 1, 1);
  auto* version = add(kCtlVersion, new QLabel(this));
  version->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  header->addWidget(version, 0, 2);
  auto* notice = new QLabel(ctx_.unattended ? QStringLiteral("Closing this window ends the program.")
                                            : QStringLiteral("Closing this window returns to the list."),
                            this);
  notice->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  header->addWidget(notice, 1, 2);
  header->setColumnStretch(1, 1);

  // The status line, centred, in a 22-pixel Arial (or the metric-compatible face installed).
  auto* status = add(kCtlStatus, new QLabel(this));
  QFont status_font;
  status_font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
  status_font.setPixelSize(22);
  status->setFont(status_font);
  status->setAlignment(Qt::AlignCenter);
  status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  // Room for two lines: a final status carries a second one after "\n" when the run had warnings
  // or errors. The longest first line ("Backup completed, but the catalog could not be stored on
  // the server!") sets the least width, so that no status needs a third line; a longer text
  // wraps rather than being cut off at both ends.
  status->setWordWrap(true);
  status->setFixedHeight(2 * QFontMetrics(status_font).lineSpacing() + dlu_y(this, 4));
  status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  const QString longest =
      QStringLiteral("Backup completed, but the catalog could not be stored on the server!");
  status->setMinimumWidth(QFontMetrics(status_font).horizontalAdvance(longest) +
                          2 * status->frameWidth() + dlu_x(this, 8));

  // While a connection is being retried: what the last attempt ran into.
  auto* last_attempt = add(kCtlLastAttempt, new QLabel(this));
  last_attempt->setAlignment(Qt::AlignCenter);
  last_attempt->setWordWrap(true);
  last_attempt->hide();

  // The file being handled.
  auto* file_group = new QGroupBox(QStringLiteral("File Status"), this);
  auto* file = new QGridLayout(file_group);
  file->addWidget(caption_label("Directory:"), 0, 0);
  file->addWidget(add(kCtlDirectory, new PathLabel(this)), 0, 1, 1, 4);
  file->addWidget(caption_label("Filename:"), 1, 0);
  file->addWidget(add(kCtlFilename, new PathLabel(this)), 1, 1, 1, 4);
  file->addWidget(caption_label("Size:"), 2, 0);
  file->addWidget(add(kCtlSize, value_label(this)), 2, 1);
  file->addWidget(caption_label("Sent:"), 2, 2, Qt::AlignRight);
  file->addWidget(add(kCtlSent, value_label(this)), 2, 3);
  auto* progress = add(kCtlFileProgress, new QProgressBar(this));
  progress->setTextVisible(false);
  progress->setRange(0, 1);
  progress->setValue(0);
  file->addWidget(progress, 3, 0, 1, 4);
  auto* block_text = add(kCtlBlockText, new QLabel(this));
  block_text->setMinimumWidth(dlu_x(this, 80));
  file->addWidget(block_text, 3, 4);
  file->setColumnStretch(4, 1);

  // Totals of the run in three columns, then the network.
  auto* totals_group = new QGroupBox(QStringLiteral("Backup Totals"), this);
  auto* totals = new QGridLayout(totals_group);
  struct Counter {
    const char* caption;
    int id;
    int row;
    int column;
  };
  const Counter counters[] = {
      {"Directories:", kCtlDirectories, 0, 0},     {"Files:", kCtlFiles, 1, 0},
      {"Files Skipped:", kCtlFilesSkipped, 2, 0},  {"Bytes Total:", kCtlBytesTotal, 0, 1},
      {"Bytes Skipped:", kCtlBytesSkipped, 1, 1},  {"Bytes Stored:", kCtlBytesStored, 2, 1},
      {"Bytes Compressed:", kCtlBytesCompressed, 3, 1},
      {"Blocks Total:", kCtlBlocksTotal, 0, 2},    {"Blocks Stored:", kCtlBlocksStored, 1, 2},
      {"Blocks Duped:", kCtlBlocksDuped, 2, 2},
  };
  for (const Counter& c : counters) {
    totals->addWidget(caption_label(c.caption), c.row, c.column * 2);
    totals->addWidget(add(c.id, value_label(this)), c.row, c.column * 2 + 1);
  }

  auto* net_group = new QGroupBox(QStringLiteral("Network"), this);
  auto* net = new QGridLayout(net_group);
  net->addWidget(caption_label("Net TX:"), 0, 0);
  net->addWidget(add(kCtlNetTx, value_label(this)), 0, 1);
  net->addWidget(caption_label("TX Rate:"), 0, 2);
  net->addWidget(add(kCtlTxRate, value_label(this)), 0, 3);
  net->addWidget(caption_label("Start Time:"), 0, 4);
  net->addWidget(add(kCtlStartTime, new QLabel(this)), 0, 5);
  net->addWidget(caption_label("Net RX:"), 1, 0);
  net->addWidget(add(kCtlNetRx, value_label(this)), 1, 1);
  net->addWidget(caption_label("RX Rate:"), 1, 2);
  net->addWidget(add(kCtlRxRate, value_label(this)), 1, 3);
  net->addWidget(caption_label("Elapsed:"), 1, 4);
  net->addWidget(add(kCtlElapsed, new QLabel(this)), 1, 5);
  net->setColumnStretch(5, 1);

  auto* pause = add(kCtlButtonPause, new QPushButton(QStringLiteral("Pause"), this));
  pause->setEnabled(false);
  auto* throttling = add(kCtlButtonThrottling, new QPushButton(QStringLiteral("Throttling"), this));
  auto* logs = add(kCtlButtonLogs, new QPushButton(QStringLiteral("Logs"), this));
  logs->setEnabled(false);
  auto* cancel = add(kCtlButtonCancel, new QPushButton(QStringLiteral("Cancel"), this));
  // Enter activates the focused button; there is no default one.
  for (QPushButton* b : {pause, throttling, logs, cancel}) b->setAutoDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(pause);
  buttons->addWidget(throttling);
  buttons->addWidget(logs);
  buttons->addStretch(1);
  buttons->addWidget(cancel);

  auto* top = new QVBoxLayout(this);
  top->addLayout(header);
  top->addWidget(status);
  top->addWidget(last_attempt);
  top->addWidget(file_group);
  top->addWidget(totals_group);
  top->addWidget(net_group);
  top->addLayout(buttons);

  connect(pause, &QPushButton::clicked, this, [this] { pause_clicked(); });
  connect(throttling, &QPushButton::clicked, this, [this] { throttling_clicked(); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
  connect(logs, &QPushButton::clicked, this, [this] { logs_clicked(); });
  resize(sizeHint().expandedTo(QSize(dlu_x(this, 360), 0)));
}

void RunDialog::control_text(int id, const QString& text) {
  // The reason behind the status line has no control of its own: it is the line's tooltip.
  // A tooltip takes markup whenever its text looks like it: it gets the text escaped.
  const auto tip = [&text] {
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap);
  };
  if (id == kCtlStatusReason) {
    controls_.value(kCtlStatus)->setToolTip(tip());
    return;
  }
  QWidget* w = controls_.value(id);
  if (auto* label = qobject_cast<QLabel*>(w)) {
    label->setText(text);
    if (dynamic_cast<PathLabel*>(label)) label->setToolTip(tip());
    if (id == kCtlLastAttempt) label->setVisible(!text.isEmpty());
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(text);
  }
}

void RunDialog::control_enable(int id, bool enabled) {
  if (QWidget* w = controls_.value(id)) w->setEnabled(enabled);
}

void RunDialog::control_range(int id, uint32_t low, uint32_t high) {
  auto* bar = qobject_cast<QProgressBar*>(controls_.value(id));
  if (!bar) return;
  progress_shift_ = 0;
  while ((high >> progress_shift_) > static_cast<uint32_t>(INT_MAX)) ++progress_shift_;
  bar->setRange(static_cast<int>(low >> progress_shift_), static_cast<int>(high >> progress_shift_));
}

void RunDialog::control_pos(int id, uint32_t pos) {
  if (auto* bar = qobject_cast<QProgressBar*>(controls_.value(id)))
    bar->setValue(static_cast<int>(pos >> progress_shift_));
}

void RunDialog::reject() {
  if (run_worker_running(ctx_)) {
    run_cancel(ctx_);
    return;
  }
  done(2);
}

void RunDialog::pause_clicked() {
  run_pause_toggle(ctx_);  // relabels the button itself: "Resume" while paused
}

void RunDialog::logs_clicked() {
  // The worker enables Logs only once the log exists and its path is set.
  if (ctx_.log_path.empty()) return;
  QUrl url = QUrl::fromLocalFile(qs(ctx_.log_path));
  // A desktop without a program for text files opens nothing and says nothing: ask it first.
  const bool opened = log_opener_ ? log_opener_(url)
                                  : text_viewer_available(ctx_.log_path) && QDesktopServices::openUrl(url);
  if (!opened)
    qt_copy_box(this,
                "No program to show the run log was found on this desktop. The log is the "
                "text file\n\n" + ctx_.log_path + "\n\nOpen it with a text editor or a file "
                "manager.",
                "Log Viewer Error", ctx_.log_path);
}

void RunDialog::end_watch() {
  if (notified_) return;
  if (ctx_.outcome == kRunGoing) {
    // A window that is minimised or hidden is not looked at, whatever the platform says of it.
    const QWidget* active = QApplication::activeWindow();
    watched_ = active && active->isVisible() && !active->isMinimized();
    return;
  }
  notified_ = true;
  // The user looked at the run as it ended: the run dialog and its box say everything.
  if (watched_) return;
  const DesktopNotice notice = run_end_notice(ctx_);
  if (notifier_) {
    notifier_(notice);
    return;
  }
  // A notice that cannot be sent (no thread, no memory) is left out; it never ends the program.
  try {
    notify_thread_ = std::thread([notice] {
      try {
        desktop_notify(notice);
      } catch (...) {
      }
    });
  } catch (const std::system_error&) {
  }
}

void RunDialog::throttling_clicked() {
  ThrottlingDialog dialog(ctx_, this);
  dialog.exec();
}

}  // namespace vl
