// A profile's schedule as the desktop shows and sets it: the systemd user timer
// vornlake@TAG.timer that vornlake-schedule enables, its drop-in, its next run, and the crontab
// line for a machine without a user manager. GUI thread.
#pragma once

#include <string>

namespace vl {

enum class Schedule { off, hourly, daily, weekly };

// "off", "hourly", "daily", "weekly": the Schedule column's word and vornlake-schedule's argument.
const char* schedule_name(Schedule s);

// The folder of the user's own systemd units: $XDG_CONFIG_HOME/systemd/user, else
// $HOME/.config/systemd/user.
std::string systemd_user_dir();

// What vornlake-schedule left for tag below unit_dir: off unless the timer's link in
// timers.target.wants exists; then the drop-in's last OnCalendar (hourly or weekly), else daily.
Schedule schedule_of(const std::string& unit_dir, const std::string& tag);

// "2026-12-10 02:13" from systemctl's "Thu 2026-12-10 02:13:44 UTC" (NextElapseUSecRealtime);
// "" for an empty or unrecognised value. Pure.
std::string schedule_next_text(const std::string& systemctl_value);

// The Schedule column: "off", or "daily · next 2026-12-10 02:13" (the name alone when the next
// run is not known). Pure.
std::string schedule_column_text(Schedule s, const std::string& next);

// "30 2 * * * VORNLAKE_UI=console vornlake /run:TAG" with the minutes, hours and days of s. Pure.
std::string schedule_cron_line(const std::string& tag, Schedule s);

// The timer's next run, asked of the user manager (systemctl --user show, run without a shell,
// at most 3 seconds): schedule_next_text of it, "" when it cannot be had.
std::string schedule_next_run(const std::string& tag);

// How vornlake-schedule ended: its exit status (-1 when it could not be run or did not end in 30
// seconds) and what it printed on standard error.
struct ScheduleResult {
  int status = -1;
  std::string errors;
};

// Exit status of vornlake-schedule when no systemd user manager runs for the user.
constexpr int kScheduleNoManager = 4;

// Runs "vornlake-schedule TAG NAME" (found beside this program, else on $PATH) without a shell.
ScheduleResult schedule_set(const std::string& tag, Schedule s);

}  // namespace vl
