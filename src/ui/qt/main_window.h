// The hidden main window with its menu and accelerators, and the About box. GUI thread.
#pragma once

#include <QDialog>
#include <QMainWindow>

namespace vl {

// "About Tarnhollow": an icon, the version label (control 1045), two lines of text, OK.
class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* owner);
  // Esc and the close box end the dialog with 2, OK with 1.
  void reject() override;
};

// The main window: never shown. "&File" / "E&xit" ends the program (quit with code 0);
// "&Help" / "&About ..." and the accelerators Alt+? and Alt+/ show the About box.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  MainWindow();
  void about();
};

// The About box's version label text: "v0.09.0001".
QString about_version_text();

}  // namespace vl
