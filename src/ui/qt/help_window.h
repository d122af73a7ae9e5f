// Help: the desktop user's manual in a window of its own. GUI thread.
#pragma once

#include <QDialog>
#include <QString>

namespace vl {

// The desktop help as HTML: making a profile, running and scheduling it, reading Last Run and
// the run log, the server's certificate, and where restores happen (on the service, not here).
QString desktop_help_html();

// A window showing html read-only, wrapped to its width, with a Close button.
class HelpWindow : public QDialog {
  Q_OBJECT

 public:
  HelpWindow(QWidget* owner, const QString& html);
};

}  // namespace vl
