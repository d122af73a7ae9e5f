#include "ui/qt/help_window.h"

#include <QDialogButtonBox>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "ui/qt/qt_util.h"

namespace vl {

QString desktop_help_html() {
  return QStringLiteral(R"(
<h2>Corvantis Online Backup</h2>
<p>This program copies your folders to your Corvantis Online Backup server, block by block, and
sends only what the server does not hold yet.</p>

<h3>Making a profile</h3>
<p>A <b>backup profile</b> says what to back up and where to. Press <b>New</b> in the profile list
and fill in:</p>
<ul>
<li><b>Tag Name</b>: a short name (letters, digits, "-" and "_"). The server's administrator must
have created a profile of the <i>same tag</i> for your account on the server, else a run ends with
"Unable to retrieve backup profile ID from server."</li>
<li><b>Login Name</b>, <b>Password</b>, <b>Server</b> and <b>Port</b> (usually 5420): from your
server's administrator.</li>
<li><b>Add</b> the folders to back up (Include) and what to leave out (Exclude, such as
<tt>*.tmp</tt>). Folders are written as full paths, such as <tt>/home/you/Documents</tt>; the editor
warns about one that does not exist.</li>
</ul>
<p><b>Edit</b> changes the selected profile, <b>Delete</b> removes it.</p>

<h3>Running and scheduling</h3>
<p>Select a profile and press <b>OK</b> (or double-click it) to run it now. The run window shows
what is being sent; <b>Pause</b>, <b>Throttling</b> and <b>Cancel</b> act on the run. When the
window is closed you are back in the list.</p>
<p><b>Schedule</b> runs the selected profile by itself: hourly, daily or weekly, while you are
logged in. The list's Schedule column shows the choice and the next run. A run that nobody watches
ends with a desktop notification. On a computer where timers are not available, the Schedule
window gives a line for your crontab instead.</p>

<h3>Reading the result</h3>
<p>The <b>Last Run</b> column tells when each profile last ran and how it ended: completed, with
a number of warnings (items that could not be read and were left out), failed, could not connect,
login failed, or cancelled.</p>
<p>Every run writes a <b>run log</b>; press <b>Logs</b> in the run window to read it. It lists each
file with its blocks ("upload... OK", "exists." when the server already had it, "skipped." when
unchanged), lines beginning with "Warning:" for items left out, and the run's statistics at the
end. The logs are kept in your data folder, under <tt>Profiles/TAG/</tt>.</p>

<h3>The server's certificate</h3>
<p>The server proves who it is with its certificate. A server with a publicly trusted certificate
needs nothing. For a server whose certificate is signed by your organisation's own authority, save
that authority's certificate (from your administrator) as
<tt>~/.config/corvantis/ca.crt</tt>, or name it in the settings file with <tt>CA_File=</tt>.</p>

<h3>Restoring files</h3>
<p>This program only makes backups. Restores happen <b>on the service</b>: ask your Corvantis
Online Backup provider or your server's administrator for the files of a given run (the run log
names its catalog id).</p>

<p>The command line (<tt>vornlake /run:TAG</tt>, <tt>vornlake-mkprofile</tt>,
<tt>vornlake-schedule</tt>) is described in the manual pages, <tt>man vornlake</tt>.</p>
)");
}

HelpWindow::HelpWindow(QWidget* owner, const QString& html) : QDialog(owner, dialog_flags(true)) {
  setWindowTitle(QStringLiteral("Corvantis Online Backup Help"));
  auto* view = new QTextBrowser(this);
  view->setObjectName(QStringLiteral("help_text"));
  view->setOpenLinks(false);
  view->setHtml(html);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  auto* top = new QVBoxLayout(this);
  top->addWidget(view, 1);
  top->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  resize(dlu_x(this, 300), dlu_y(this, 280));
}

}  // namespace vl
