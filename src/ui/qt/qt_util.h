// Small helpers shared by the Qt dialogs: control names, text conversion, dialog units.
#pragma once

#include <QPushButton>

#include <QFontMetrics>
#include <QString>
#include <QWidget>
#include <string>

namespace vl {

// Every control that has a numeric identifier is named "ctl_<id>", so that the run view and the
// tests find it by its identifier.
inline QString ctl_name(int id) { return QStringLiteral("ctl_%1").arg(id); }

template <class W>
W* ctl(const QWidget* parent, int id) {
  return parent->findChild<W*>(ctl_name(id));
}

// Texts are bytes in the core (paths, rules, passwords); the widgets show them as UTF-8. The
// conversion is lossless: a byte that is not part of valid UTF-8 becomes the lone surrogate
// U+DC00 + byte, which valid UTF-8 never yields, and turns back into that byte. Otherwise a
// profile holding such bytes (a file name in an older encoding, a password) would be stored
// with U+FFFD in their place when the editor's OK is pressed: the rule would stop matching and
// the password stop working. Any thread.
QString qs(const std::string& s);
std::string ss(const QString& s);

// Pixels of n horizontal / vertical dialog units in the widget's font (a unit is a quarter of
// the average character width and an eighth of the character height).
inline int dlu_x(const QWidget* w, int n) { return n * w->fontMetrics().averageCharWidth() / 4; }
inline int dlu_y(const QWidget* w, int n) { return n * w->fontMetrics().height() / 8; }

// Window flags of the dialogs: title bar with close box, with or without a minimise box.
// A push button of a dialog, named after its control id. Enter activates it while it has the
// focus, as Space does; elsewhere Enter goes to the dialog's default button.
inline QPushButton* button(QWidget* parent, int id, const char* label) {
  auto* b = new QPushButton(QString::fromUtf8(label), parent);
  b->setObjectName(ctl_name(id));
  b->setAutoDefault(true);
  return b;
}

// After an error box about a field: the field named by its control identifier (0: none) gets
// the focus back, its text selected for typing over.
void focus_control(QWidget* dialog, int id);

inline Qt::WindowFlags dialog_flags(bool minimise) {
  Qt::WindowFlags f = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                      Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (minimise) f |= Qt::WindowMinimizeButtonHint;
  return f;
}

}  // namespace vl
