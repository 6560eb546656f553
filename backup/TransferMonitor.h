#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

// What each phone is doing right now, for the 手机相册 page. The receiving side reports from any
// thread (file workers, command connections); the page reads a snapshot whenever changed() arrives.
// Reports are cheap: one short lock, no I/O, and changed() is emitted at most every 200 ms per phone
// (plus at once when a file starts, ends or fails).
class TransferMonitor : public QObject
{
    Q_OBJECT
public:
    struct Activity
    {
        bool connected = false;
        bool busy = false;             // a file is arriving
        int filesThisSession = 0;      // stored or already there, since the phone connected
        int duplicatesThisSession = 0; // of those, already on the PC
        int failedThisSession = 0;
        qint64 bytesThisSession = 0;
        QString currentFile;
        qint64 currentSize = 0;
        qint64 currentReceived = 0;
        double bytesPerSecond = 0; // over the last few seconds
        QString lastError;         // e.g. a file that could not be stored or recorded
        QDateTime lastErrorTime;
        QDateTime lastFileEnded;
    };

    static TransferMonitor *instance();

    void phoneConnected(const QString &device);
    void phoneDisconnected(const QString &device);
    void fileStarted(const QString &device, const QString &fileName, qint64 size);
    void bytesReceived(const QString &device, qint64 bytes);
    void fileStored(const QString &device, const QString &fileName, bool alreadyThere);
    void fileFailed(const QString &device, const QString &fileName, const QString &why);
    // The file is on disk but its album row could not be written (recorded when the phone sends it again).
    void recordFailed(const QString &device, const QString &fileName, const QString &why);

    Activity activity(const QString &device) const;
    QStringList devices() const;
    void forget(const QString &device);

signals:
    void changed(const QString &device);

private:
    explicit TransferMonitor(QObject *parent = nullptr);
    struct State
    {
        Activity a;
        QElapsedTimer sinceEmit;
        QElapsedTimer rateClock;
        qint64 rateBytes = 0;
    };
    // Call with m_mutex held; returns whether changed() is due.
    bool touch(State &s, bool force);
    void notify(const QString &device, bool due);

    mutable QMutex m_mutex;
    QHash<QString, State> m_states;
};
