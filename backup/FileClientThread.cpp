#include "FileClientThread.h"

#include "backup/IncomingFile.h"
#include "backup/StoragePlan.h"
#include "wire/CFifoBuffer.h"
#include "wire/Records.h"
#include "wire/TcpSocket.h"

#include <QDateTime>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcFileClient, "vanteo.backup.fileclient")

namespace {
// Content moves from the ring to the file in blocks of up to this size.
constexpr int kBlock = 0x100000;
// Longest pause before the worker looks at its stop flag and the connection again.
constexpr int kWaitMs = 50;
std::atomic<int> g_instances{0};
} // namespace

FileClientThread::FileClientThread(TcpSocket *socket, QObject *parent)
    : QThread(nullptr), m_socket(socket), m_sockid(socket ? socket->sockid() : -1), m_ring(new CFifoBuffer)
{
    Q_UNUSED(parent)
    ++g_instances;
    setObjectName(QStringLiteral("FileClient-%1").arg(m_sockid));
    m_ring->init(kRingSize);
    if (m_socket)
        attachRing(m_socket, m_ring);
}

FileClientThread::~FileClientThread()
{
    stop();
    wait();
    delete m_ring;
    --g_instances;
    if (m_socket) {
        m_socket->close();
        m_socket->deleteLater();
    }
}

void FileClientThread::setSavePath(QString path)
{
    m_savePath = path;
}

void FileClientThread::stop()
{
    m_stop = true;
    m_ring->wakeAll();
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

void FileClientThread::insertByteLine(QByteArray data)
{
    // attachRing only lets the socket hand out what fits, so this fails only after run() released the ring.
    if (m_ring->put(data.constData(), data.size()) != 0 && !m_stop)
        qCWarning(lcFileClient) << "connection" << m_sockid << "lost" << data.size() << "bytes";
}

void FileClientThread::onFinished(int sockid)
{
    Q_UNUSED(sockid)
    stop();
    emit tcpThreadFinish(m_socket);
}

FileClientThread::Wait FileClientThread::waitForBytes(int n)
{
    for (;;) {
        if (m_stop)
            return Wait::Ended;
        // Read before looking at the ring: once drained, every byte of the peer is already in it.
        const bool drained = !m_socket || m_socket->drained();
        if (m_ring->dataSize() >= n)
            return Wait::Ready;
        if (drained)
            return Wait::Ended;
        m_ring->waitForData(n, kWaitMs);
    }
}

bool FileClientThread::takeContent(qint64 size, QByteArray &buffer, IncomingFile *file)
{
    while (size > 0) {
        if (m_stop)
            return false;
        const int want = int(qMin<qint64>(size, buffer.size()));
        if (m_ring->dataSize() < want)
            m_ring->waitForData(want, kWaitMs);
        int n = qMin(want, m_ring->dataSize());
        if (n == 0) {
            if (waitForBytes(1) == Wait::Ended)
                return false;
            continue;
        }
        m_ring->get(buffer.data(), &n);
        if (file)
            file->write(buffer.constData(), n);
        size -= n;
    }
    return true;
}

bool FileClientThread::skipContent(qint64 size, QByteArray &buffer)
{
    return takeContent(size, buffer, nullptr) && !m_stop;
}

bool FileClientThread::receiveFile(const Records::FileHeader &header, QByteArray &buffer)
{
    // With explicit sizes: an embedded NUL must reach the name check, not cut the text short.
    const QString mobilePath = QString::fromUtf8(header.mobilePath.constData(), header.mobilePath.size());
    const QString md5 = QString::fromUtf8(header.md5.constData(), header.md5.size());
    const QString createTime = QString::fromUtf8(header.createTime.constData(), header.createTime.size());

    QString fileName;
    const QString folder = header.name.isEmpty()
        ? QString()
        : destinationFolder(m_savePath, mobilePath, md5, createTime, &fileName);
    if (folder.isEmpty()) {
        // Refused without an answer; its content is skipped so the next header is found where it is.
        qCWarning(lcFileClient) << "connection" << m_sockid << "refused a file header for" << mobilePath;
        return skipContent(header.fileSize, buffer);
    }
    const QString destination = folder + QLatin1Char('/') + fileName;
    auto report = [&](const QString &path, int writeStatus) {
        emit recvImageInfo(m_sockid, header.ratio, path, md5, createTime, writeStatus, mobilePath);
    };

    if (m_savePath.isEmpty()) {
        qCWarning(lcFileClient) << "connection" << m_sockid << "has no device folder";
        if (!skipContent(header.fileSize, buffer))
            return false;
        report(destination, kNotStored);
        return true;
    }

    // The phone sends a file again when it never saw the acknowledgement: keep the stored copy.
    const QString identical = IncomingFile::findIdentical(folder, fileName, md5);
    if (!identical.isEmpty()) {
        if (!skipContent(header.fileSize, buffer))
            return false;
        report(identical, 0);
        return true;
    }

    IncomingFile file;
    QString why;
    const bool writable = file.open(folder, &why);
    if (!writable)
        qCWarning(lcFileClient) << "connection" << m_sockid << why;
    if (!takeContent(header.fileSize, buffer, writable ? &file : nullptr))
        return false; // the unfinished file is dropped with `file`

    if (!writable) {
        report(destination, kNotStored);
        return true;
    }
    if (!md5.isEmpty() && file.md5Hex().compare(md5, Qt::CaseInsensitive) != 0) {
        qCWarning(lcFileClient) << "connection" << m_sockid << "md5 mismatch for" << mobilePath << "announced" << md5
                                << "received" << file.md5Hex();
        file.discard();
        report(destination, kNotStored);
        return true;
    }
    QString finalPath;
    switch (file.commit(fileName, &finalPath, &why)) {
    case IncomingFile::Outcome::Stored:
        report(finalPath, 1);
        break;
    case IncomingFile::Outcome::Duplicate:
        report(finalPath, 0);
        break;
    case IncomingFile::Outcome::Failed:
        qCWarning(lcFileClient) << "connection" << m_sockid << "could not store" << destination << why;
        report(destination, kNotStored);
        break;
    }
    return true;
}

void FileClientThread::run()
{
    QByteArray buffer(kBlock, Qt::Uninitialized);
    char record[Records::kSize];
    while (!m_stop) {
        if (waitForBytes(Records::kSize) == Wait::Ended)
            break;
        int len = Records::kSize;
        m_ring->get(record, &len);
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
        if (!receiveFile(header, buffer))
            break;
    }
    m_stop = true; // later chunks have nowhere to go; the server frees this worker once it has finished
    m_ring->freeBuffer();
}
