#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <functional>
#include <memory>

// Helpers shared by the test programs.
namespace TestSupport {

// A temporary folder that acts as the program folder (global.xml, databases, dump/).
// The settings store is reset so the next getInstance() uses it. Kept alive by the caller.
std::unique_ptr<QTemporaryDir> makeProgramDir();

// Points the program folder at dir (and resets the settings store).
void useProgramDir(const QString &dir);

// Runs the event loop until pred() holds or timeoutMs pass; returns pred().
bool waitFor(const std::function<bool()> &pred, int timeoutMs = 5000);

// Writes bytes to a file, creating its folder; returns success.
bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

// Every file below root (hidden ones too), relative to it, sorted.
QStringList filesUnder(const QString &root);

// The md5 of bytes as 32 lower-case hex digits.
QString md5Hex(const QByteArray &bytes);

// size bytes that never repeat with a short period (each seed its own), for content checks.
QByteArray patternBytes(int size, int seed = 0);

// Every row sql returns from the SQLite file at dbPath, each as its columns in order; on failure
// an empty list, and error (if given) says why.
QList<QVariantList> queryRows(const QString &dbPath, const QString &sql, QString *error = nullptr);

// From now on collects Qt's messages (from any thread) that contain any of words; every message
// still goes on to the handler before. takeCaughtMessages() returns and forgets those collected.
void catchMessages(const QStringList &words);
QStringList takeCaughtMessages();

// The first number of a field of /proc/self/status ("VmHWM", "Threads", "TracerPid"); -1 when
// it is not there.
qint64 procStatus(const QByteArray &field);

// Folder of the built programs (build/bin), from the test environment.
QString binDir();

// True when `unshare -n -i` works here (root, or a user namespace), for tests that run the real
// program in network and IPC namespaces of its own.
bool canUnshareNetworkAndIpc();

// Copies the built program into programDir (it keeps global.xml and its databases beside itself).
bool installProgramCopy(const QString &programDir);

} // namespace TestSupport
