#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>

class CFifoBuffer;
class IncomingFile;
class TcpSocket;
namespace Records { struct FileHeader; }

// The worker of one file connection. The socket (server's thread) puts every received chunk into a
// 10 MiB ring; run() takes a 255-byte type-31 header and then the file's content from it, stores the
// file inside the device folder and reports it with recvImageInfo. A file is reported only once it is
// whole, matches the md5 the phone announced and lies on disk under its final name.
//
// recvImageInfo's writeStatus: 1 stored, 0 an identical file was already there (nothing written),
// kNotStored the content could not be stored or did not match its md5 (the phone must send it again).
class FileClientThread : public QThread
{
    Q_OBJECT
public:
    static constexpr int kRingSize = 0xa00000;
    static constexpr int kNotStored = -1;

    FileClientThread(TcpSocket *socket, QObject *parent = nullptr);
    ~FileClientThread() override;  // stops and waits for run(), then lets the socket go

    void setSavePath(QString path);
    TcpSocket *socket() const { return m_socket; }
    int sockid() const { return m_sockid; }
    // Asks run() to end promptly; a file being received is dropped.
    void stop();

    static QString fileMd5(const QString &path);
    // Workers alive in the process (their rings with them).
    static int instanceCount();

    // Where a file with this mobile path, md5 and create time goes inside saveFolder (empty text when
    // the name is not one the phone may use); *fileName gets the bare name.
    static QString destinationFolder(const QString &saveFolder, const QString &mobilePath, const QString &md5,
                                     const QString &createTime, QString *fileName);

signals:
    void tcpThreadFinish(TcpSocket *);
    void sendMessage(QString);
    void recvDeviceSignal(int, QString);
    void recvImageInfo(int sockid, int ratio, QString fullImageName, QString strMd5, QString createTime,
                       int writeStatus, QString mobileFilePath);
    void recvQueryDBSignal(int, QString);

public slots:
    void insertByteLine(QByteArray data);
    void onFinished(int sockid);

protected:
    void run() override;

private:
    enum class Wait { Ready, Ended };
    // Waits (in slices of at most 50 ms) until the ring holds n bytes; Ended when stopped or when the
    // peer is gone and everything it sent has been taken.
    Wait waitForBytes(int n);
    // Reads one file's content (and stores it unless the header is refused); false when the
    // connection ended or the worker was stopped before the content was complete.
    bool receiveFile(const Records::FileHeader &header, QByteArray &buffer);
    // Takes size bytes of content off the ring, handing them to file unless it is null; false
    // when stopped or when the peer ended first.
    bool takeContent(qint64 size, QByteArray &buffer, IncomingFile *file);
    bool skipContent(qint64 size, QByteArray &buffer);

    TcpSocket *m_socket;
    const int m_sockid;
    QString m_savePath;
    CFifoBuffer *m_ring;
    std::atomic<bool> m_stop{false};
};
