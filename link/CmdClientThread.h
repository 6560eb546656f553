#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <memory>

class CFifoBuffer;
class FileServer;
class LocalDataBase;
class QTemporaryFile;
class TcpSocket;

// One phone's command connection. The worker loop cuts the received bytes into 255-byte records
// and turns each into a signal (at most one record per 50 ms); every reply, the phone's album
// database and the phone's own file server are handled on the thread the object lives in (the
// GUI thread), reached through queued signals.
class CmdClientThread : public QThread
{
    Q_OBJECT
public:
    static constexpr int kRingSize = 0x600000;
    static constexpr int kPollMs = 50;
    static constexpr int kDatabaseChunk = 1500;
    // Replies allowed to wait behind a database reply, and reply bytes allowed to wait in the
    // socket for a peer that does not read: a peer that asks faster than it reads loses its
    // connection. A phone asks for one database at a time and reads what it asked for.
    static constexpr int kMaxQueuedReplies = 64;
    static constexpr qint64 kMaxUnsentBytes = 256 * 1024;

    explicit CmdClientThread(TcpSocket *socket);
    ~CmdClientThread() override;

    TcpSocket *socket() const { return m_socket; }
    int sockid() const { return m_sockid; }

    QString getDevName() const { return m_devName; }
    bool getDeleteFlag() const { return m_deleteFlag; }
    void setDeleteFlag(bool on) { m_deleteFlag = on; }
    // Stores the name and opens the phone's album database (program folder + "/" + name + ".db").
    void setDevName(QString devName);
    void setSavePath(QString savePath) { m_savePath = savePath; }
    QString savePath() const { return m_savePath; }
    // Starts this connection's file server, once, and only for an authorised phone; from now on
    // type-3 queries are answered (port 0 when no file server runs).
    void startFileServer();
    void sendPublicAck();
    void sendDeleteNotice();
    // A type-1 reply that changes nothing (answers a repeated device record).
    void sendAuthorizationReply(bool authorised);

    // The connection has answered its first type-1 record; later ones don't configure it again.
    bool isConfigured() const { return m_configured; }
    bool isAuthorised() const { return m_authorised; }
    int filePort() const { return m_filePort; }
    FileServer *fileServer() const { return m_fileServer; }

    // Ends the connection from our side (the socket is aborted at once); the server hears of it
    // like of a phone that went. Idempotent.
    void dropConnection(const char *why);
    // Closes the socket with a reset: what waits unsent for a peer that does not read is thrown
    // away at once instead of being kept by the system until that peer reads or times out.
    void resetSocket();
    bool isDropped() const { return m_dropped; }

    // Stops the worker loop and waits for it, then releases the file server and the album
    // database, so the phone's database file can be wiped right after. Idempotent.
    void shutdown();

signals:
    void tcpThreadFinish(TcpSocket *socket, QString devName);
    void sendMessage(QString);
    void recvDeviceSignal(int sockid, QString devName);
    void recvPublicInfo(int sockid, int type, QString devName);
    void recvQueryDBSignal(int sockid, QString devName);
    void queryFilePort();
    void updateRecvFileName(QString fileName);
    void updateDatabaseNumber(int sockid, int num, QString devName);

public slots:
    void insertByteLine(QByteArray data);
    void onFinished(int sockid);
    void setAuthorization(bool bValue);
    void queryFilePortSlot();
    void recvQueryDBSlot(int sockid, QString devName);
    void updateImageInfoSlot(int ratio, QString fullImageName, QString strMd5, QString smallFileMd5, QString createTime,
                             QString mobileFilePath);

protected:
    void run() override;

private:
    void dispatch(const char *record);
    void pauseBetweenRecords();
    // Replies leave in order; while a database file is being streamed, later replies wait for it.
    void writeRecord(const QByteArray &record);
    void enqueue(const QByteArray &record, const QString &databaseOf);
    // Sends what is queued, in a loop (never by recursion), until the queue is empty or a
    // database reply waits for the socket to drain; bytesWritten brings it back.
    void sendPending();
    void startDatabaseStream(const QString &devName);
    void pumpDatabase();

    struct Outgoing
    {
        QByteArray record;  // a reply record, or
        QString databaseOf; // a database to stream (when record is empty)
    };

    TcpSocket *m_socket = nullptr;
    const int m_sockid;
    QString m_savePath;
    QString m_devName;
    CFifoBuffer *m_ring = nullptr;
    FileServer *m_fileServer = nullptr;
    int m_filePort = 0;
    QMutex m_recordMutex;
    LocalDataBase *m_database = nullptr;
    bool m_deleteFlag = false;
    std::atomic<bool> m_stop{false};
    bool m_finished = false;
    bool m_configured = false;
    bool m_authorised = false;
    bool m_portQueryConnected = false;
    bool m_dropped = false;
    bool m_sending = false;

    // Wakes the pause between records when stopping.
    QMutex m_pauseMutex;
    QWaitCondition m_pauseWake;

    // Database streaming (GUI thread only).
    std::unique_ptr<QTemporaryFile> m_stream;
    qint64 m_streamLeft = 0;
    QList<Outgoing> m_queue;
};
