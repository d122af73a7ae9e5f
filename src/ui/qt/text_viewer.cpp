#include "ui/qt/text_viewer.h"

#include <QProcess>
#include <QStandardPaths>

#include "ui/qt/qt_util.h"

namespace vl {
namespace {

// The trimmed standard output of xdg-mime with args; "" when it fails or takes too long.
QString xdg_mime(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral("xdg-mime"), args);
  if (!p.waitForStarted(3000)) return QString();
  if (!p.waitForFinished(3000)) {
    p.kill();
    p.waitForFinished(1000);
    return QString();
  }
  if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) return QString();
  return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

}  // namespace

bool text_viewer_available(const std::string& path) {
  if (QStandardPaths::findExecutable(QStringLiteral("xdg-mime")).isEmpty()) return true;
  const QString type = xdg_mime({QStringLiteral("query"), QStringLiteral("filetype"), qs(path)});
  if (!type.isEmpty() &&
      !xdg_mime({QStringLiteral("query"), QStringLiteral("default"), type}).isEmpty())
    return true;
  return !xdg_mime({QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("text/plain")})
              .isEmpty();
}

}  // namespace vl
