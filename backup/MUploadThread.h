#pragma once

#include <QString>
#include <QThread>

#include <atomic>

// Sends the crash dumps in the program folder's "dump" folder to the vendor's FTP server,
// newest first, and deletes each dump the server stored. Runs once per object.
//
// Owner's contract: start() it, and just delete it when done (or call stopAndWait()). The
// destructor stops it, cuts every pending FTP wait short and waits for run() to end, so the
// object is never destroyed while run() still uses its client.
class MUploadThread : public QThread
{
    Q_OBJECT
public:
    static constexpr quint16 kFtpPort = 8117;
    static constexpr int kStopWaitMs = 5000;

    explicit MUploadThread(QObject *parent = nullptr);
    ~MUploadThread() override;

    // No further dump is started; the one in progress finishes.
    void stop();

    // Stops, ends any pending FTP wait at once and waits up to ms for run() to return.
    // True when the thread is no longer running.
    bool stopAndWait(int ms = kStopWaitMs);

    // For tests: another server than the built-in one. Call before start().
    void setServer(const QString &host, quint16 port);
    void setWaitTimeout(int ms) { m_waitMs = ms; }

protected:
    void run() override;

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_abort{false};
    QString m_host;
    quint16 m_port = kFtpPort;
    int m_waitMs = 0; // 0: the client's own
};
