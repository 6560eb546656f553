#pragma once

#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;
class QSharedMemory;

// Keeps a second copy of the program from running. The shared-memory segment named by the
// key is the marker other copies look for; on Linux it survives a copy that crashed, so a
// lock file (released by the kernel when its holder dies) tells a live copy from a stale
// marker. Both live in the user's temporary folder (QDir::tempPath(), i.e. $TMPDIR).
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
    // The second start's side: asks the running copy to come forward and waits, at most
    // timeoutMs, for its answer. False when no copy answered (then the caller says it runs).
    bool askRunningCopyToActivate(int timeoutMs = 3000) const;

    QString lockFilePath() const;
    QString socketPath() const;

private:
    QString m_key;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<QSharedMemory> m_memory;
    std::unique_ptr<QLocalServer> m_server;
    bool m_held = false;
};
