#include "ui/qt/help_window.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "ui/qt/qt_util.h"

namespace vl {
namespace {

QString man_page() {
  QProcess man;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
  env.remove(QStringLiteral("MAN_KEEP_FORMATTING"));
  man.setProcessEnvironment(env);
  man.setProcessChannelMode(QProcess::SeparateChannels);
  man.start(QStringLiteral("man"),
            {QStringLiteral("-P"), QStringLiteral("cat"), QStringLiteral("vornlake")});
  if (!man.waitForFinished(10000)) {
    man.kill();
    man.waitForFinished(1000);
    return QString();
  }
  if (man.exitStatus() != QProcess::NormalExit || man.exitCode() != 0) return QString();
  QString text = QString::fromLocal8Bit(man.readAllStandardOutput());
  // Bold and underline as a terminal draws them, by overstriking, should the pager's filter
  // have left them in.
  text.remove(QRegularExpression(QStringLiteral(".\\x08")));
  return text;
}

QString readme() {
#ifdef VL_README_PATH
  QFile file(QStringLiteral(VL_README_PATH));
  if (file.open(QIODevice::ReadOnly)) return QString::fromUtf8(file.readAll());
#endif
  return QString();
}

}  // namespace

QString manual_text() {
  QString text = man_page();
  if (text.trimmed().isEmpty()) text = readme();
  return text;
}

HelpWindow::HelpWindow(QWidget* owner, const QString& text) : QDialog(owner, dialog_flags(true)) {
  setWindowTitle(QStringLiteral("Corvantis Online Backup Help"));
  auto* view = new QPlainTextEdit(this);
  view->setObjectName(QStringLiteral("help_text"));
  view->setReadOnly(true);
  view->setLineWrapMode(QPlainTextEdit::NoWrap);
  view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  view->setPlainText(text);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  auto* top = new QVBoxLayout(this);
  top->addWidget(view, 1);
  top->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  // Room for the 80 columns man(1) was asked for.
  QFontMetrics fixed(view->font());
  resize(fixed.horizontalAdvance(QString(86, QLatin1Char('m'))), fixed.lineSpacing() * 36);
}

}  // namespace vl
