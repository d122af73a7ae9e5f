#include "ui/qt/main_window.h"

#include <QAction>
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStyle>

#include "base/product.h"
#include "ui/qt/qt_util.h"

namespace vl {

QString about_version_text() {
  return QString::fromUtf8(kVersionText);
}

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner, dialog_flags(false)) {
  setWindowTitle(QStringLiteral("About Tarnhollow"));
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_DriveNetIcon).pixmap(32, 32));
  auto* version = new QLabel(QStringLiteral("Tarnhollow vx.xx"), this);
  version->setObjectName(ctl_name(1045));
  auto* line1 = new QLabel(QStringLiteral("Corvantis Online Backup for Linux"), this);
  auto* line2 = new QLabel(QStringLiteral("Deduplicating block-level backup to your online store."),
                           this);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(ctl_name(1));
  ok->setDefault(true);
  auto* grid = new QGridLayout(this);
  grid->addWidget(icon, 0, 0, 3, 1, Qt::AlignTop);
  grid->addWidget(version, 0, 1);
  grid->addWidget(line1, 1, 1);
  grid->addWidget(line2, 2, 1);
  grid->addWidget(ok, 0, 2, Qt::AlignTop);
  connect(ok, &QPushButton::clicked, this, [this] { done(1); });
  // Initialisation writes the version over the template's placeholder.
  version->setText(about_version_text());
}

void AboutDialog::reject() { done(2); }

MainWindow::MainWindow() {
  setWindowTitle(QStringLiteral("vornlake"));
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  QAction* exit = file->addAction(QStringLiteral("E&xit"));
  exit->setObjectName(QStringLiteral("action_105"));
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  QAction* about_action = help->addAction(QStringLiteral("&About ..."));
  about_action->setObjectName(QStringLiteral("action_104"));
  about_action->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_Question),
                              QKeySequence(Qt::ALT | Qt::Key_Slash)});
  connect(about_action, &QAction::triggered, this, [this] { about(); });
  // Destroying the main window ends the message loop with code 0.
  connect(exit, &QAction::triggered, this, [this] {
    close();
    QCoreApplication::exit(0);
  });
}

void MainWindow::about() {
  AboutDialog dialog(this);
  dialog.exec();
}

}  // namespace vl
