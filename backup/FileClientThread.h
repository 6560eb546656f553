#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>
#include <vector>

class IncomingFile;
namespace Records {
struct FileHeader;
struct FileAck;
} // namespace Records

// The worker of one file connection. It owns the connection's descriptor and does all of the
// connection's work on its own thread: reads 255-byte type-31 headers and the content after each,
// stores the file inside the device folder, reports it with recvImageInfo (on this thread, so a
// directly connected receiver queues its album row first) and only then answers the phone (the
// acknowledgement, and the thumbnail when asked, in one write): a database the phone downloads after
// an acknowledgement holds that file. A file is acknowledged as stored only once it is whole,
// matches the md5 the phone announced and lies flushed on disk under its final name.
//
// recvImageInfo's writeStatus: 1 stored, 0 an identical file was already there (nothing written),
// kNotStored the content could not be stored or did not match its md5 (the phone must send it again).
class FileClientThread : public QThread
{
    Q_OBJECT
public:
    static constexpr int kNotStored = -1;
    static constexpr int kReadBlock = 1024 * 1024;
    // A phone that takes no answer for this long is gone.
    static constexpr int kWriteTimeoutMs = 30000;
    // Added to the nice value of a worker's thread while at least kBusyConnections are open.
    static constexpr int kNiceIncrement = 2;
    static constexpr int kBusyConnections = 3;

    // Takes over the connected descriptor (closed by the destructor).
    explicit FileClientThread(qintptr descriptor, QObject *parent = nullptr);
    ~FileClientThread() override; // stops and waits for run(), then closes the descriptor

    void setSavePath(QString path);
    // The phone's name, for the transfer monitor; empty: nothing is reported there.
    void setDeviceName(QString name);
    int sockid() const { return m_sockid; }
    // Asks run() to end promptly (a blocked read or write is woken); a file being received is dropped.
    void stop();

    static QString fileMd5(const QString &path);
    // Workers alive in the process.
    static int instanceCount();

    // Where a file with this mobile path, md5 and create time goes inside saveFolder (empty text when
    // the name is not one the phone may use); *fileName gets the bare name.
    static QString destinationFolder(const QString &saveFolder, const QString &mobilePath, const QString &md5,
                                     const QString &createTime, QString *fileName);

    // Socket options for a connection the PC receives files or commands on: its own small answers
    // leave at once (no Nagle), and the phone's last partial segment of a file is acknowledged at
    // once instead of after the delayed-acknowledgement timer.
    static void setLowDelay(int descriptor);
    static void ackPromptly(int descriptor);

signals:
    // Emitted on the worker's thread right before the phone is answered. smallFileMd5: md5 of the
    // thumbnail that is sent, if any.
    void recvImageInfo(int sockid, int ratio, QString fullImageName, QString strMd5, QString smallFileMd5,
                       QString createTime, int writeStatus, QString mobileFilePath);

protected:
    void run() override;

private:
    enum class Read { Ok, Ended };
    // Makes at least n bytes available in the input buffer; Ended when stopped or the peer is gone.
    Read need(int n);
    // Reads more from the descriptor (waiting for it); false when stopped, on end or on error.
    bool readMore();
    // False only when stopped or when the phone takes nothing for kWriteTimeoutMs.
    bool writeAll(const QByteArray &bytes);
    // Moves size bytes of content to file (or drops them when file is null).
    bool takeContent(qint64 size, IncomingFile *file, const QString &fileName);
    bool receiveFile(const Records::FileHeader &header);
    // One file the phone announced: its header with the texts decoded, and where it is to go.
    struct Announced
    {
        const Records::FileHeader &header;
        QString mobilePath, md5, createTime;
        QString folder, fileName, destination;
    };
    // The whole content has arrived in file: checked against the announced md5 and the storage root,
    // then given its name in the folder, and the phone answered either way.
    bool keepReceived(const Announced &a, IncomingFile *file);
    void yieldToTheGuiWhenBusy();
    static Records::FileAck notStoredAck(const Records::FileHeader &header, const QString &md5,
                                         const QString &mobilePath);
    // Reports, then acknowledges (and sends the thumbnail); why: what the page says of a file not stored.
    bool answer(const Records::FileHeader &header, const QString &path, const QString &md5, const QString &createTime,
                int writeStatus, const QString &mobilePath, const QString &why = QString());

    const int m_fd;
    const int m_sockid;
    QString m_savePath;
    QString m_device;
    std::atomic<bool> m_stop{false};
    std::vector<char> m_in;
    int m_begin = 0; // first unread byte in m_in
    int m_end = 0;   // one past the last received byte
    bool m_peerGone = false;
    bool m_niced = false;
};
