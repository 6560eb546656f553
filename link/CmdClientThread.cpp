#include "link/CmdClientThread.h"

#include "backup/FileServer.h"
#include "backup/LocalDataBase.h"
#include "link/DeviceName.h"
#include "wire/CFifoBuffer.h"
#include "wire/Records.h"
#include "wire/TcpSocket.h"
#include "settings/ReadWriteSetting.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QHostInfo>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QTemporaryFile>

#include <sys/socket.h>

Q_LOGGING_CATEGORY(lcCmdConn, "vanteo.link.cmdconnection")

namespace {
// Bytes of a database reply allowed to wait in the socket before more are read from disk.
constexpr qint64 kStreamWindow = 64 * 1024;
} // namespace

CmdClientThread::CmdClientThread(TcpSocket *socket)
    : QThread(nullptr), m_socket(socket), m_sockid(socket ? socket->sockid() : -1)
{
    setObjectName(QStringLiteral("cmdconn-%1").arg(m_sockid));
    connect(this, &CmdClientThread::recvQueryDBSignal, this, &CmdClientThread::recvQueryDBSlot);
    m_ring = new CFifoBuffer;
    m_ring->init(kRingSize);
    if (m_socket) {
        // The socket hands over only what fits into the ring, so no received byte is dropped.
        attachRing(m_socket, m_ring);
        connect(m_socket, &QIODevice::bytesWritten, this, &CmdClientThread::sendPending);
    }
}

CmdClientThread::~CmdClientThread()
{
    shutdown();
    m_stream.reset();
    delete m_ring;
    m_ring = nullptr;
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->close();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
}

void CmdClientThread::shutdown()
{
    m_stop = true;
    {
        QMutexLocker lock(&m_pauseMutex);
        m_pauseWake.wakeAll();
    }
    if (m_ring)
        m_ring->wakeAll();
    wait();
    if (m_socket)
        disconnect(m_socket, nullptr, this, nullptr);
    delete m_fileServer;
    m_fileServer = nullptr;
    {
        QMutexLocker lock(&m_recordMutex);
        delete m_database;
        m_database = nullptr;
    }
    if (m_ring)
        m_ring->freeBuffer();
}

void CmdClientThread::insertByteLine(QByteArray data)
{
    if (!m_ring || data.isEmpty())
        return;
    // attachRing makes the socket offer no more than the free space, so this always fits.
    if (m_ring->put(data.constData(), data.size()) != 0)
        qCWarning(lcCmdConn) << "connection" << m_sockid << "ring refused" << data.size() << "bytes";
}

void CmdClientThread::onFinished(int sockid)
{
    Q_UNUSED(sockid)
    if (m_finished)
        return;
    m_finished = true;
    m_stop = true;
    {
        QMutexLocker lock(&m_pauseMutex);
        m_pauseWake.wakeAll();
    }
    if (m_ring)
        m_ring->wakeAll();
    emit tcpThreadFinish(m_socket, m_devName);
}

void CmdClientThread::run()
{
    char record[Records::kSize];
    while (!m_stop) {
        if (!m_ring->waitForData(Records::kSize, kPollMs))
            continue;
        if (m_stop)
            break;
        int len = Records::kSize;
        if (m_ring->get(record, &len) != Records::kSize)
            continue;
        dispatch(record);
        // One record per poll: the phone sees its records answered 50 ms apart.
        pauseBetweenRecords();
    }
}

void CmdClientThread::pauseBetweenRecords()
{
    QDeadlineTimer pause(kPollMs);
    QMutexLocker lock(&m_pauseMutex);
    while (!m_stop && !pause.hasExpired())
        m_pauseWake.wait(&m_pauseMutex, pause);
}

void CmdClientThread::dispatch(const char *record)
{
    Records::Command cmd;
    if (!Records::decodeCommand(record, &cmd)) {
        qCDebug(lcCmdConn) << "connection" << m_sockid << "ignored a record with length" << cmd.length;
        return;
    }
    switch (cmd.type) {
    case Records::Device:
        if (cmd.length > 0)
            emit recvDeviceSignal(m_sockid, DeviceName::fromUtf8(cmd.payload));
        break;
    case Records::QueryDatabase:
        if (cmd.length > 0)
            emit recvQueryDBSignal(m_sockid, DeviceName::fromUtf8(cmd.payload));
        break;
    case Records::QueryFilePort: emit queryFilePort(); break;
    case Records::Status7:
    case Records::Offline:
    case Records::Status9:
        if (cmd.length > 0) {
            const int nul = cmd.payload.indexOf('\0');
            const QByteArray text = nul >= 0 ? cmd.payload.left(nul) : cmd.payload;
            emit recvPublicInfo(m_sockid, cmd.type, QString::fromLatin1(text));
        }
        break;
    default: break;
    }
}

void CmdClientThread::setDevName(QString devName)
{
    QMutexLocker lock(&m_recordMutex);
    m_devName = devName;
    delete m_database;
    m_database = nullptr;
    if (DeviceName::isValid(devName))
        m_database = new LocalDataBase(DeviceName::databasePath(devName));
}

void CmdClientThread::setAuthorization(bool bValue)
{
    m_configured = true;
    m_authorised = bValue;
    sendAuthorizationReply(bValue);
}

void CmdClientThread::sendAuthorizationReply(bool authorised)
{
    writeRecord(Records::encodeAuthReply(authorised, QHostInfo::localHostName().toLatin1()));
}

void CmdClientThread::startFileServer()
{
    if (!m_portQueryConnected) {
        connect(this, &CmdClientThread::queryFilePort, this, &CmdClientThread::queryFilePortSlot);
        m_portQueryConnected = true;
    }
    // A refused phone gets no file server (its port query is answered with 0), and a repeated
    // device record never starts a second one.
    if (!m_authorised || m_fileServer)
        return;
    m_fileServer = new FileServer(this, 100);
    if (m_socket)
        m_fileServer->setAllowedPeer(m_socket->peerAddress());
    m_fileServer->listen(QHostAddress::Any, 0);
    m_fileServer->setSavePath(m_savePath);
    m_fileServer->setDeviceName(m_devName);
    m_filePort = m_fileServer->serverPort();
    // Direct: the album row is queued on the file connection's thread before the phone's acknowledgement.
    connect(m_fileServer, &FileServer::updateImageInfo, this, &CmdClientThread::updateImageInfoSlot,
            Qt::DirectConnection);
    qCDebug(lcCmdConn) << "connection" << m_sockid << "file server on port" << m_filePort;
}

void CmdClientThread::queryFilePortSlot()
{
    writeRecord(Records::encodeFilePortReply(m_filePort));
}

void CmdClientThread::sendPublicAck()
{
    writeRecord(Records::encodeBare(Records::Status9));
}

void CmdClientThread::sendDeleteNotice()
{
    writeRecord(Records::encodeBare(Records::DeleteNotice));
}

void CmdClientThread::recvQueryDBSlot(int sockid, QString devName)
{
    Q_UNUSED(sockid)
    enqueue(QByteArray(), devName);
}

void CmdClientThread::writeRecord(const QByteArray &record)
{
    if (record.size() != Records::kSize || !m_socket)
        return;
    enqueue(record, QString());
}

void CmdClientThread::enqueue(const QByteArray &record, const QString &databaseOf)
{
    if (m_dropped || !m_socket)
        return;
    if (m_queue.size() >= kMaxQueuedReplies) {
        dropConnection("too many replies waiting");
        return;
    }
    m_queue.append(Outgoing{record, databaseOf});
    sendPending();
}

void CmdClientThread::sendPending()
{
    if (m_sending)
        return; // called from inside the loop below (a write can signal synchronously)
    m_sending = true;
    while (!m_dropped && m_socket) {
        if (m_stream) {
            pumpDatabase();
            if (m_stream)
                break; // the rest follows as the peer reads
            continue;
        }
        if (m_queue.isEmpty())
            break;
        if (m_socket->bytesToWrite() > kMaxUnsentBytes) {
            dropConnection("peer does not read its replies");
            break;
        }
        const Outgoing next = m_queue.takeFirst();
        if (next.record.isEmpty())
            startDatabaseStream(next.databaseOf);
        else
            m_socket->write(next.record.constData(), next.record.size());
    }
    m_sending = false;
}

void CmdClientThread::startDatabaseStream(const QString &devName)
{
    // Albums are read by authorised phones only. Only a valid device name may become a path, so
    // nothing but the program folder's phone databases can be read; anything else is answered as
    // "no database".
    const QString path = m_authorised && DeviceName::isValid(devName) ? DeviceName::databasePath(devName) : QString();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        m_socket->write(Records::encodeDatabaseReply(0));
        return;
    }
    auto snapshot = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/vanteo-db-XXXXXX"));
    // A copy taken now holds every row of the files acknowledged so far (rows still queued are
    // committed first); the original may gain rows while the reply is on its way.
    const bool ok = snapshot->open() && LocalDataBase::copyConsistent(path, snapshot.get()) && snapshot->flush() &&
        snapshot->seek(0);
    if (!ok) {
        // "No database" would tell the phone that nothing of it is here; a closed connection
        // makes it ask again later.
        qCWarning(lcCmdConn) << "connection" << m_sockid << "cannot copy" << path
                             << "for the phone:" << snapshot->errorString();
        dropConnection("the album database could not be copied");
        return;
    }
    m_streamLeft = snapshot->size() & 0xffffffffLL;
    m_socket->write(Records::encodeDatabaseReply(quint32(m_streamLeft)));
    m_stream = std::move(snapshot);
}

void CmdClientThread::pumpDatabase()
{
    if (!m_stream || !m_socket)
        return;
    QByteArray chunk(kDatabaseChunk, Qt::Uninitialized);
    while (m_streamLeft > 0 && m_socket->bytesToWrite() < kStreamWindow) {
        const qint64 want = qMin<qint64>(kDatabaseChunk, m_streamLeft);
        const qint64 n = m_stream->read(chunk.data(), want);
        if (n <= 0) {
            // The copy is ours and cannot shrink; keep the promised length all the same.
            QByteArray zeros(int(want), '\0');
            m_socket->write(zeros);
            m_streamLeft -= want;
            continue;
        }
        m_socket->write(chunk.constData(), n);
        m_streamLeft -= n;
    }
    if (m_streamLeft <= 0) {
        m_stream.reset();
        m_streamLeft = 0;
    }
}

void CmdClientThread::resetSocket()
{
    if (!m_socket)
        return;
    const qintptr fd = m_socket->socketDescriptor();
    if (fd >= 0) {
        const linger reset{1, 0};
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    m_socket->abort();
}

void CmdClientThread::dropConnection(const char *why)
{
    if (m_dropped)
        return;
    m_dropped = true;
    qCWarning(lcCmdConn) << "connection" << m_sockid << "closed:" << why;
    m_queue.clear();
    m_stream.reset();
    m_streamLeft = 0;
    resetSocket();
    // Reported from the event loop: the caller may be deep inside this object's own slots.
    QMetaObject::invokeMethod(
        this, [this] { onFinished(m_sockid); }, Qt::QueuedConnection);
}

void CmdClientThread::updateImageInfoSlot(int ratio, QString fullImageName, QString strMd5, QString smallFileMd5,
                                          QString createTime, QString mobileFilePath)
{
    // Called on a file connection's thread, right before the phone is acknowledged (directly
    // connected): once the row is queued here, every database copy the phone downloads holds it.
    // The file and settings are read before the lock is taken; the lock covers the queueing only.
    const QFileInfo info(fullImageName);
    LocalDataBase::PendingRow row;
    row.filename = info.fileName();
    row.localpath = fullImageName;
    row.filesize = info.size();
    row.md5 = strMd5;
    row.lastratio = ratio;
    row.smallmd5 = smallFileMd5;
    row.createtime = createTime;
    row.mobilefilepath = mobileFilePath;
    // Content already backed up is not recorded again (去重复); the file stays where the file
    // connection put it; it may well be the recorded copy itself.
    row.skipKnownMd5 = ReadWriteSetting::getInstance()->isOn(SettingsKeys::DoubleFile);

    QMutexLocker lock(&m_recordMutex);
    // Authorisation is settled before the file server starts and never changes while it runs.
    if (!m_database || !m_authorised)
        return;
    row.fromdev = m_devName;
    // Written by the database's own writer, in short transactions. The database (and its writer)
    // goes before this object, so the answer, delivered on this object's thread, finds it alive.
    const QString device = m_devName;
    m_database->recordLater(row, this, [this, device](const LocalDataBase::RowResult &r) {
        switch (r.outcome) {
        case LocalDataBase::RowOutcome::Inserted:
            emit updateRecvFileName(r.filename);
            emit updateDatabaseNumber(m_sockid, r.rows, device);
            break;
        case LocalDataBase::RowOutcome::SkippedKnownMd5: emit updateRecvFileName(r.filename); break;
        case LocalDataBase::RowOutcome::AlreadyRecorded:
        case LocalDataBase::RowOutcome::Failed: // logged and shown on the phone page by the database
            break;
        }
    });
}
