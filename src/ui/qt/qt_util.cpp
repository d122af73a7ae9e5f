#include "ui/qt/qt_util.h"

#include <QLineEdit>

namespace vl {

void focus_control(QWidget* dialog, int id) {
  QWidget* field = id != 0 ? dialog->findChild<QWidget*>(ctl_name(id)) : nullptr;
  if (!field) return;
  field->setFocus(Qt::OtherFocusReason);
  if (auto* edit = qobject_cast<QLineEdit*>(field)) edit->selectAll();
}

namespace {

constexpr char32_t kEscapeBase = 0xDC00;  // a stray byte b is shown as U+DC00 + b

// The code point of the valid UTF-8 sequence at s[i], with *len its length; -1 when the bytes
// there are not one (stray continuation byte, overlong form, surrogate, beyond U+10FFFF, cut).
long utf8_at(const std::string& s, size_t i, size_t* len) {
  auto b = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = b(i);
  size_t n;
  char32_t cp;
  char32_t least;
  if (lead < 0x80) {
    *len = 1;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, cp = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, cp = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, cp = lead & 0x07, least = 0x10000;
  } else {
    return -1;
  }
  if (i + n > s.size()) return -1;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *len = n;
  return static_cast<long>(cp);
}

void utf8_append(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

QString qs(const std::string& s) {
  QString out;
  out.reserve(static_cast<qsizetype>(s.size()));
  for (size_t i = 0; i < s.size();) {
    size_t len = 1;
    long cp = utf8_at(s, i, &len);
    if (cp < 0) {
      out.append(QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(s[i]))));
      i += 1;
      continue;
    }
    char32_t c = static_cast<char32_t>(cp);
    if (c >= 0x10000)
      out.append(QString::fromUcs4(&c, 1));
    else
      out.append(QChar(static_cast<char16_t>(c)));
    i += len;
  }
  return out;
}

std::string ss(const QString& s) {
  std::string out;
  out.reserve(static_cast<size_t>(s.size()));
  for (qsizetype i = 0; i < s.size(); ++i) {
    char16_t u = s[i].unicode();
    if (QChar::isHighSurrogate(u) && i + 1 < s.size() &&
        QChar::isLowSurrogate(s[i + 1].unicode())) {
      utf8_append(&out, QChar::surrogateToUcs4(u, s[i + 1].unicode()));
      ++i;
    } else if (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF) {
      out.push_back(static_cast<char>(u - kEscapeBase));
    } else if (QChar::isSurrogate(u)) {
      utf8_append(&out, 0xFFFD);  // a lone surrogate that stands for no byte
    } else {
      utf8_append(&out, u);
    }
  }
  return out;
}

}  // namespace vl
