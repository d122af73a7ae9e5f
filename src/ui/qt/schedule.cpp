#include "ui/qt/schedule.h"

#include <algorithm>

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <cstdlib>
#include <fstream>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "ui/qt/qt_util.h"

namespace vl {

const char* schedule_name(Schedule s) {
  switch (s) {
    case Schedule::hourly: return "hourly";
    case Schedule::daily: return "daily";
    case Schedule::weekly: return "weekly";
    case Schedule::off: break;
  }
  return "off";
}

std::string systemd_user_dir() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    return std::string(xdg) + "/systemd/user";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.config/systemd/user";
}

Schedule schedule_of(const std::string& unit_dir, const std::string& tag) {
  const std::string timer = "vornlake@" + tag + ".timer";
  FileStat st;
  if (!file_stat(path_join(unit_dir, "timers.target.wants", timer), &st)) return Schedule::off;
  std::ifstream dropin(path_join(unit_dir, timer + ".d", "schedule.conf"));
  Schedule s = Schedule::daily;
  std::string line;
  while (std::getline(dropin, line)) {
    if (line == "OnCalendar=hourly") s = Schedule::hourly;
    else if (line == "OnCalendar=weekly") s = Schedule::weekly;
    else if (line == "OnCalendar=daily") s = Schedule::daily;
  }
  return s;
}

std::string schedule_next_text(const std::string& value) {
  // "Thu 2026-12-10 02:13:44 UTC": the date and the minute.
  const size_t date = value.find(' ');
  if (date == std::string::npos || value.size() < date + 17) return std::string();
  const std::string when = value.substr(date + 1, 16);
  if (when[4] != '-' || when[7] != '-' || when[10] != ' ' || when[13] != ':') return std::string();
  return when;
}

std::string schedule_column_text(Schedule s, const std::string& next) {
  std::string text = schedule_name(s);
  if (s != Schedule::off && !next.empty()) text += " \xC2\xB7 next " + next;
  return text;
}

std::string schedule_cron_line(const std::string& tag, Schedule s) {
  const char* when = s == Schedule::hourly ? "0 * * * *" : s == Schedule::weekly ? "30 2 * * 0" : "30 2 * * *";
  // The line goes to a shell: a tag of anything but letters, digits, dashes and underscores (not
  // one the editor makes) is quoted. Cron itself ends the command at a `%` (quoted or not) unless
  // a backslash precedes it, and takes the backslash away.
  const bool plain = std::all_of(tag.begin(), tag.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  });
  std::string arg = "/run:" + tag;
  if (!plain) {
    std::string quoted = "'";
    for (char c : arg)
      quoted += c == '\'' ? std::string("'\\''") : c == '%' ? std::string("\\%") : std::string(1, c);
    arg = quoted + "'";
  }
  return std::string(when) + " VORNLAKE_UI=console vornlake " + arg;
}

namespace {

// Runs program with args, no shell; the exit status, or -1 when it did not start or end in time.
int run_program(const QString& program, const QStringList& args, int timeout_ms, QByteArray* out,
                QByteArray* err) {
  QProcess p;
  p.start(program, args);
  if (!p.waitForStarted(timeout_ms)) return -1;
  if (!p.waitForFinished(timeout_ms)) {
    p.kill();
    p.waitForFinished(1000);
    return -1;
  }
  if (out) *out = p.readAllStandardOutput();
  if (err) *err = p.readAllStandardError();
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace

std::string schedule_next_run(const std::string& tag) {
  QByteArray out;
  const QStringList args = {QStringLiteral("--user"), QStringLiteral("show"),
                            QStringLiteral("-p"), QStringLiteral("NextElapseUSecRealtime"),
                            QStringLiteral("--value"), qs("vornlake@" + tag + ".timer")};
  if (run_program(QStringLiteral("systemctl"), args, 3000, &out, nullptr) != 0) return std::string();
  return schedule_next_text(out.trimmed().toStdString());
}

ScheduleResult schedule_set(const std::string& tag, Schedule s) {
  const QString name = QStringLiteral("vornlake-schedule");
  QString program = QStandardPaths::findExecutable(name, {QCoreApplication::applicationDirPath()});
  if (program.isEmpty()) program = QStandardPaths::findExecutable(name);
  ScheduleResult r;
  if (program.isEmpty()) {
    r.errors = "vornlake-schedule was not found beside this program or on the PATH.";
    return r;
  }
  QByteArray err;
  r.status = run_program(program, {qs(tag), QString::fromUtf8(schedule_name(s))}, 30000, nullptr, &err);
  r.errors = err.toStdString();
  if (r.status < 0 && r.errors.empty()) r.errors = "vornlake-schedule did not end.";
  return r;
}

}  // namespace vl
