#include "FileClientThread.h"

#include "backup/FileServer.h"
#include "backup/IncomingFile.h"
#include "backup/StoragePlan.h"
#include "backup/StorageRoot.h"
#include "backup/TransferMonitor.h"
#include "fileops/FileOps.h"
#include "wire/Records.h"
#include "wire/TcpSocket.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcFileClient, "vanteo.backup.fileclient")

namespace {
// Longest single wait before the worker looks at its stop flag again (stop() also wakes it at once).
constexpr int kPollMs = 1000;
// Progress goes to the transfer monitor in steps of this many bytes, not per read.
constexpr qint64 kProgressStep = 1024 * 1024;
std::atomic<int> g_instances{0};
std::atomic<int> g_receiving{0}; // workers whose connection is open
} // namespace

FileClientThread::FileClientThread(qintptr descriptor, QObject *parent)
    : QThread(parent), m_fd(int(descriptor)), m_sockid(int(descriptor))
{
    ++g_instances;
    setObjectName(QStringLiteral("FileClient-%1").arg(m_sockid));
    if (m_fd >= 0) {
        const int flags = ::fcntl(m_fd, F_GETFL);
        ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
        setLowDelay(m_fd);
        enableKeepAlive(m_fd);
    }
}

FileClientThread::~FileClientThread()
{
    stop();
    wait();
    if (m_fd >= 0)
        ::close(m_fd);
    --g_instances;
}

void FileClientThread::setSavePath(QString path)
{
    m_savePath = path;
}

void FileClientThread::setDeviceName(QString name)
{
    m_device = name;
}

void FileClientThread::stop()
{
    if (m_stop.exchange(true))
        return;
    // Wakes a read or write blocked in poll(); the descriptor itself stays ours until the destructor.
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

int FileClientThread::instanceCount()
{
    return g_instances.load();
}

QString FileClientThread::fileMd5(const QString &path)
{
    return IncomingFile::fileMd5(path);
}

QString FileClientThread::destinationFolder(const QString &saveFolder, const QString &mobilePath, const QString &md5,
                                            const QString &createTime, QString *fileName)
{
    return StoragePlan::destinationFolder(saveFolder, mobilePath, md5, createTime, fileName);
}

void FileClientThread::setLowDelay(int descriptor)
{
    int one = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ackPromptly(descriptor);
}

void FileClientThread::ackPromptly(int descriptor)
{
    // A phone's socket keeps Nagle on: the last partial segment of a file waits until everything
    // before it is acknowledged, and the file is answered only once it is whole. Linux turns quick
    // acknowledgements off again after our answers (interactive mode), so this is renewed per read.
    int one = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool FileClientThread::readMore()
{
    if (m_begin == m_end)
        m_begin = m_end = 0;
    if (m_end == int(m_in.size())) {
        std::memmove(m_in.data(), m_in.data() + m_begin, size_t(m_end - m_begin));
        m_end -= m_begin;
        m_begin = 0;
    }
    while (!m_stop) {
        const ssize_t n = ::recv(m_fd, m_in.data() + m_end, m_in.size() - size_t(m_end), 0);
        if (n > 0) {
            m_end += int(n);
            ackPromptly(m_fd);
            return true;
        }
        if (n == 0) {
            m_peerGone = true;
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            if (!m_stop)
                qCDebug(lcFileClient) << "connection" << m_sockid << "read failed:" << std::strerror(errno);
            return false;
        }
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, kPollMs);
    }
    return false;
}

FileClientThread::Read FileClientThread::need(int n)
{
    while (m_end - m_begin < n) {
        if (m_in.size() - size_t(m_begin) < size_t(n)) {
            std::memmove(m_in.data(), m_in.data() + m_begin, size_t(m_end - m_begin));
            m_end -= m_begin;
            m_begin = 0;
        }
        if (!readMore())
            return Read::Ended;
    }
    return Read::Ok;
}

bool FileClientThread::writeAll(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    QElapsedTimer waited;
    waited.start();
    while (left > 0) {
        if (m_stop)
            return false;
        const ssize_t n = ::send(m_fd, data, size_t(left), MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            left -= n;
            waited.restart();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // The phone has gone; what it sent before going is still read and stored.
            qCDebug(lcFileClient) << "connection" << m_sockid << "write failed:" << std::strerror(errno);
            return true;
        }
        if (waited.elapsed() > kWriteTimeoutMs) {
            qCWarning(lcFileClient) << "connection" << m_sockid << "took no answer for" << kWriteTimeoutMs << "ms";
            return false;
        }
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, kPollMs);
    }
    return true;
}

bool FileClientThread::takeContent(qint64 size, IncomingFile *file, const QString &fileName)
{
    Q_UNUSED(fileName)
    qint64 unreported = 0;
    auto report = [&] {
        if (unreported > 0 && !m_device.isEmpty())
            TransferMonitor::instance()->bytesReceived(m_device, unreported);
        unreported = 0;
    };
    while (size > 0) {
        if (m_begin == m_end && !readMore()) {
            report();
            return false;
        }
        const int n = int(qMin<qint64>(size, m_end - m_begin));
        if (file)
            file->write(m_in.data() + m_begin, n);
        m_begin += n;
        size -= n;
        unreported += n;
        if (unreported >= kProgressStep)
            report();
    }
    report();
    return true;
}

Records::FileAck FileClientThread::notStoredAck(const Records::FileHeader &header, const QString &md5,
                                                const QString &mobilePath)
{
    Records::FileAck ack;
    ack.ratio = header.ratio;
    ack.storedSize = 0; // the phone keeps the file and offers it again later
    ack.mobilePath = mobilePath.toUtf8();
    ack.md5 = md5.toUtf8();
    return ack;
}

bool FileClientThread::answer(const Records::FileHeader &header, const QString &path, const QString &md5,
                              const QString &createTime, int writeStatus, const QString &mobilePath, const QString &why)
{
    const bool stored = writeStatus >= 0;
    Records::FileAck ack = notStoredAck(header, md5, mobilePath);
    if (stored)
        ack.storedSize = qint32(QFileInfo(path).size()); // the low 32 bits, as the record holds
    // The acknowledgement and the thumbnail leave in one write: a second small write would wait for
    // the phone to acknowledge the first (Nagle on its side or ours, delayed acknowledgements on its).
    QByteArray out = Records::encodeFileAck(ack);
    QString smallFileMd5;
    if (stored && header.ratio > 1) {
        const QByteArray thumbnail = makeThumbnail(path, header.ratio);
        if (!thumbnail.isEmpty()) {
            Records::ThumbnailHeader th;
            th.size = qint32(thumbnail.size());
            th.name = QFileInfo(path).fileName().toLatin1();
            const QByteArray record = Records::encodeThumbnailHeader(th);
            if (!record.isEmpty()) {
                smallFileMd5 = QString::fromLatin1(FileOps::Md5Stream::of(thumbnail).toHex());
                out += record;
                out += thumbnail;
            }
        }
    }
    // Reported before the phone hears of it: the album row is queued by then, so a database the phone
    // downloads after this acknowledgement holds the file. A stored file is reported even when the
    // phone has gone meanwhile: it lies on disk.
    emit recvImageInfo(m_sockid, header.ratio, path, md5, smallFileMd5, createTime, writeStatus, mobilePath);
    const bool sent = writeAll(out);
    if (!m_device.isEmpty()) {
        const QString name = QFileInfo(path).fileName();
        if (stored)
            TransferMonitor::instance()->fileStored(m_device, name, writeStatus == 0);
        else
            TransferMonitor::instance()->fileFailed(m_device, name,
                                                    why.isEmpty() ? QStringLiteral("未能保存，手机会重新发送") : why);
    }
    return sent;
}

bool FileClientThread::receiveFile(const Records::FileHeader &header)
{
    // With explicit sizes: an embedded NUL must reach the name check, not cut the text short.
    const QString mobilePath = QString::fromUtf8(header.mobilePath.constData(), header.mobilePath.size());
    const QString md5 = QString::fromUtf8(header.md5.constData(), header.md5.size());
    const QString createTime = QString::fromUtf8(header.createTime.constData(), header.createTime.size());

    QString fileName;
    const QString folder =
        header.name.isEmpty() ? QString() : destinationFolder(m_savePath, mobilePath, md5, createTime, &fileName);
    if (folder.isEmpty()) {
        // A name that is never stored: its content is skipped so the next header is found where it is,
        // and the phone hears "not stored" instead of waiting for an answer for ever.
        qCWarning(lcFileClient) << "connection" << m_sockid << "refused a file header for" << mobilePath;
        if (!takeContent(header.fileSize, nullptr, QString()))
            return false;
        return writeAll(Records::encodeFileAck(notStoredAck(header, md5, mobilePath)));
    }
    const QString destination = folder + QLatin1Char('/') + fileName;
    if (!m_device.isEmpty())
        TransferMonitor::instance()->fileStarted(m_device, fileName, header.fileSize);

    if (m_savePath.isEmpty()) {
        qCWarning(lcFileClient) << "connection" << m_sockid << "has no device folder";
        if (!takeContent(header.fileSize, nullptr, fileName))
            return false;
        return answer(header, destination, md5, createTime, kNotStored, mobilePath);
    }

    // Nothing is written while the storage root is not there (an empty mount point is not the disk)
    // or would be left without its reserve: the phone keeps the file and sends it again later.
    const StorageRoot::Verdict root = StorageRoot::check(folder, header.fileSize);
    const auto refuse = [&](const QString &why) {
        qCWarning(lcFileClient).noquote() << "connection" << m_sockid << "stores nothing:" << why;
        if (!takeContent(header.fileSize, nullptr, fileName))
            return false;
        return answer(header, destination, md5, createTime, kNotStored, mobilePath, why);
    };
    if (!root.ok() && root.state != StorageRoot::State::Full)
        return refuse(root.why);

    // The phone sends a file again when it never saw the acknowledgement: keep the stored copy.
    const QString identical = IncomingFile::findIdentical(folder, fileName, md5);
    if (!identical.isEmpty()) {
        if (!takeContent(header.fileSize, nullptr, fileName))
            return false;
        return answer(header, identical, md5, createTime, 0, mobilePath);
    }
    if (!root.ok())
        return refuse(root.why);

    IncomingFile file;
    QString why;
    const bool writable = file.open(folder, &why);
    if (!writable)
        qCWarning(lcFileClient) << "connection" << m_sockid << why;
    if (!takeContent(header.fileSize, writable ? &file : nullptr, fileName))
        return false; // the unfinished file is dropped with `file`

    if (!writable)
        return answer(header, destination, md5, createTime, kNotStored, mobilePath);
    return keepReceived({header, mobilePath, md5, createTime, folder, fileName, destination}, &file);
}

bool FileClientThread::keepReceived(const Announced &a, IncomingFile *file)
{
    if (!a.md5.isEmpty() && file->md5Hex().compare(a.md5, Qt::CaseInsensitive) != 0) {
        qCWarning(lcFileClient) << "connection" << m_sockid << "md5 mismatch for" << a.mobilePath << "announced"
                                << a.md5 << "received" << file->md5Hex();
        file->discard();
        return answer(a.header, a.destination, a.md5, a.createTime, kNotStored, a.mobilePath);
    }
    // The disk may have gone, or an archive move begun, while the content arrived: a name is given
    // only on the root's own disk and never in a folder being moved.
    const StorageRoot::Verdict still = StorageRoot::check(a.folder, 0);
    if (!still.ok() && still.state != StorageRoot::State::Full) {
        file->discard();
        qCWarning(lcFileClient).noquote() << "connection" << m_sockid << "dropped" << a.destination << still.why;
        return answer(a.header, a.destination, a.md5, a.createTime, kNotStored, a.mobilePath, still.why);
    }
    QString finalPath;
    QString why;
    switch (file->commit(a.fileName, &finalPath, &why)) {
    case IncomingFile::Outcome::Stored: return answer(a.header, finalPath, a.md5, a.createTime, 1, a.mobilePath);
    case IncomingFile::Outcome::Duplicate: return answer(a.header, finalPath, a.md5, a.createTime, 0, a.mobilePath);
    case IncomingFile::Outcome::Failed: break;
    }
    qCWarning(lcFileClient) << "connection" << m_sockid << "could not store" << a.destination << why;
    return answer(a.header, a.destination, a.md5, a.createTime, kNotStored, a.mobilePath);
}

void FileClientThread::yieldToTheGuiWhenBusy()
{
    // With several phones sending, the workers together keep every core busy; the GUI thread (and
    // the command connections it answers) must still get a CPU at once when it wakes. One or two
    // connections leave room, and run at full priority. On Linux the nice value is per thread, and
    // without privileges it can only be raised, so this happens at most once per connection.
    if (m_niced || g_receiving.load() < kBusyConnections)
        return;
    m_niced = true;
    ::setpriority(PRIO_PROCESS, 0, ::getpriority(PRIO_PROCESS, 0) + kNiceIncrement);
}

void FileClientThread::run()
{
    ++g_receiving;
    m_in.resize(kReadBlock);
    while (!m_stop) {
        if (need(Records::kSize) == Read::Ended)
            break;
        const char *record = m_in.data() + m_begin;
        m_begin += Records::kSize;
        Records::FileHeader header;
        QString why;
        const Records::HeaderCheck check = Records::decodeFileHeader(record, &header, &why);
        if (check == Records::HeaderCheck::WrongType) {
            qCDebug(lcFileClient) << "connection" << m_sockid << "dropped a record of type" << Records::type(record);
            continue;
        }
        if (check == Records::HeaderCheck::Malformed) {
            // Where its content ends is unknown, so nothing after it can be trusted: the connection ends.
            qCWarning(lcFileClient) << "connection" << m_sockid << "sent a malformed file header:" << why;
            break;
        }
        if (header.fileSize < 0) {
            qCWarning(lcFileClient) << "connection" << m_sockid << "dropped a header with size" << header.fileSize;
            continue;
        }
        yieldToTheGuiWhenBusy();
        if (!receiveFile(header))
            break;
    }
    --g_receiving;
    // The phone learns at once that nothing more is read; the server frees this worker once finished.
    ::shutdown(m_fd, SHUT_RDWR);
    std::vector<char>().swap(m_in);
}
