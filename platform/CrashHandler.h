#pragma once

#include <QString>

// Crash reports: a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) writes
// <dump folder>/dump-YYYYMMDD-HHMMSS.dmp (local time) with the signal, the time and a
// backtrace, then the process ends the way it would have without the handler. Nothing is
// written while a debugger is attached. The report writer only uses async-signal-safe calls;
// everything it needs (folder, local-time offset, the unwinder) is prepared at install().
namespace CrashHandler {

// The folder of the running executable, read from /proc/self/exe; usable before the
// application object exists. Empty when it cannot be read.
QString executableDir();

// Arms the handler; dumpDir (normally program folder + "/dump") is created now.
// Returns false when the folder path is too long or cannot be created (no reports then).
bool install(const QString &dumpDir);

// Formats the report path for a local time given as seconds since 1970-01-01 00:00 local.
// Writes at most size bytes including the terminating zero; returns false when it does not fit.
// Used by the handler; public so the calendar arithmetic can be checked.
bool formatDumpPath(char *out, int size, const char *dumpDir, long long localSeconds);

} // namespace CrashHandler
