// Help: the user manual in a scrollable window of its own. GUI thread.
#pragma once

#include <QDialog>
#include <QString>

namespace vl {

// The user manual as plain text: the installed man page vornlake(1) as man(1) renders it (run
// directly, without a shell, for at most 10 seconds), or, when no page is installed, the
// README.md of the source tree the program was built from. Empty when neither can be read.
QString manual_text();

// A window showing text read-only in a fixed-pitch font, with a Close button.
class HelpWindow : public QDialog {
  Q_OBJECT

 public:
  HelpWindow(QWidget* owner, const QString& text);
};

}  // namespace vl
