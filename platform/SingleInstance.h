#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;
class QSharedMemory;

// Keeps a second copy of the program from running. A lock file (released by the kernel when its
// holder dies) tells a live copy from a dead one; the shared-memory segment named by the key is a
// marker beside it that other copies may look for, never proof on its own. The lock and the
// activation socket live in the user's private runtime folder ($XDG_RUNTIME_DIR, else a 0700
// folder of the user's own under the cache folder), never in the shared temporary folder, where
// another user could plant them. A lock file that proves nothing (not ours, no live pid) is
// removed and taken, never counted as another copy.
class SingleInstance
{
public:
    explicit SingleInstance(const QString &key);
    ~SingleInstance(); // releases the marker and the lock

    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when this process now holds the marker; false when another live copy holds it.
    // A marker left by a copy that died is removed and taken over.
    bool acquire();
    bool isHeld() const { return m_held; }

    // The copy holding the marker listens on a local socket beside the lock file; a second
    // start connects there and asks it to bring its window forward. Needs a running event loop
    // in the holder; onActivate runs in the thread that called this. False when it cannot listen.
    bool listenForActivation(std::function<void()> onActivate);

    // The control commands a later start may send besides "activate": "pending", "approve NAME",
    // "refuse NAME". The handler gets the command and its argument (checked: UTF-8, no control
    // characters, present exactly when the command takes one) and returns the answer, lines
    // ending in "\n". Anything else on the socket, or a line longer than kMaxRequest bytes, is
    // dropped unanswered.
    using ControlHandler = std::function<QByteArray(const QString &command, const QString &argument)>;
    static constexpr int kMaxRequest = 1024;
    static const QStringList &controlCommands();
    // As listenForActivation(), and serves the control commands with onControl. Without
    // onActivate (no window), "activate" is answered "no-window", so the asker says the program
    // runs. Without onControl, control commands are answered "error ...".
    bool listenForRequests(std::function<void()> onActivate, ControlHandler onControl);
    // The asking side: sends one control request and gives the whole answer (at most 64 KiB).
    // False when no copy answered within timeoutMs or the request is not one of ours.
    bool sendControl(const QString &command, const QString &argument, QByteArray *answer, int timeoutMs = 5000) const;
    // The second start's side: asks the running copy to come forward and waits, at most
    // timeoutMs, for its answer. False when no copy answered (then the caller says it runs).
    bool askRunningCopyToActivate(int timeoutMs = 3000) const;

    QString lockFilePath() const;
    QString socketPath() const;
    // The private folder both live in, created if needed; empty when there is none.
    static QString privateFolder();

private:
    bool lockProvesLiveCopy() const;

    QString m_key;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<QSharedMemory> m_memory;
    std::unique_ptr<QLocalServer> m_server;
    bool m_held = false;
};
