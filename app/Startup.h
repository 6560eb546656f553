#pragma once

#include <QString>

class SingleInstance;

// The start-up steps that run before the main window, kept apart from main() so they can be
// checked on their own.

// The pending reset of the local album: localfiles.db is deleted, the marker set back to "0"
// and saveDrive forgotten, so the window chooses the storage root afresh. True when one was done.
bool applyLocalReset();

// The pending reset of the phones: every listed phone's album database is deleted, the device
// list cleared and the marker set back to "0". The phones' received files are not touched.
// Returns how many phones were removed, or -1 when no reset was pending.
int applyRemoteReset();

// True when a running process's executable is named exeName (exact, case-sensitive).
bool findProcess(const QString &exeName);

namespace Startup {

// The single-instance check: true when this copy may go on; otherwise the running copy was
// asked to bring its window forward or, when it did not answer, the "应用程序已经启动" box has
// been shown (through the dialog seam), and the program should end with 0.
bool claimSingleInstance(SingleInstance *guard);

// Program-wide text codec and font ("Microsoft Yahei" 9 pt, with a CJK font standing in for it
// where it is not installed).
void setupTextAndFont();

// Qt's own dialogs (the folder dialog of 增加目录, the file dialog's buttons) in Chinese, from the
// system's Qt translations (Debian: qttranslations5-l10n). False when they are not installed.
bool installQtTranslations();

// Removes, in the background, the partial files that transfers cut by a crash or a power loss left in
// every listed phone's folder; nothing written after the start is touched.
void removeTransferLeftovers();

// What the resets done at this start removed, for the user (empty when none was done).
// phonesReset as returned by applyRemoteReset().
QString resetNotice(bool localDone, int phonesReset);

// When global.xml could not be read at start (it was kept aside and a fresh one written): the
// phone list is recovered from the album databases and the storage root from where their files
// lie. Returns what was lost and recovered, for the user (empty when the file was fine).
QString recoverBrokenSettings();

// A move of the archive to another storage root that a crash cut: rolled back (before its
// switch-over) or finished (after it), before the root is resolved. The note for the user is
// logged and shown through the dialog seam once the event loop runs. True when one was found.
bool recoverArchiveMove();

// When the program runs on the offscreen platform with VANTEO_NONINTERACTIVE=1 (automated checks),
// dialogs are not shown but logged and answered as closed.
void applyAutomationMode();

} // namespace Startup
