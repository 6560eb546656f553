#include "FileServer.h"

#include "backup/FileClientThread.h"
#include "backup/IncomingFile.h"
#include "backup/StoragePlan.h"
#include "imaging/Thumbnail.h"
#include "wire/Records.h"
#include "wire/TcpSocket.h"

#include <QBuffer>
#include <QThreadPool>
#include <QtConcurrent>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QMutexLocker>

Q_LOGGING_CATEGORY(lcFileServer, "vanteo.backup.fileserver")

namespace {
constexpr int kThumbnailPiece = 1500;
}

QByteArray makeThumbnail(const QString &path, int ratio)
{
    return Thumbnail::make(path, ratio, StoragePlan::deviceFolderOf(path));
}

FileServer::FileServer(QObject *parent, int maxPending) : QTcpServer(parent), m_maxPending(maxPending)
{
    setMaxPendingConnections(maxPending);
    const QString productHome = QDir::homePath() + QStringLiteral("/万特相册/");
    if (!QDir(productHome).exists())
        QDir().mkdir(productHome);
}

FileServer::~FileServer()
{
    QMutexLocker locker(&m_mutex);
    for (FileClientThread *worker : qAsConst(m_workers))
        worker->stop();
    for (FileClientThread *worker : qAsConst(m_workers))
        delete worker; // waits for run() to return
    m_workers.clear();
    m_clients.clear();
}

void FileServer::setSavePath(QString path)
{
    m_savePath = path;
    // Leftovers of transfers cut by a power loss or a hard kill; an hour old, so a transfer of the
    // same phone that is still arriving over another connection is never touched.
    QtConcurrent::run(QThreadPool::globalInstance(), [path] { IncomingFile::removeStaleParts(path, 3600); });
}

void FileServer::setAllowedPeer(const QHostAddress &address)
{
    m_allowedPeer = address.isNull() ? QHostAddress() : normalised(address);
}

QHostAddress FileServer::normalised(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4);
    QHostAddress plain(address);
    plain.setScopeId(QString());
    return plain;
}

void FileServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new TcpSocket(int(socketDescriptor), nullptr);
    if (!m_allowedPeer.isNull() && normalised(socket->peerAddress()) != m_allowedPeer) {
        qCWarning(lcFileServer) << "refused a file connection from" << socket->peerAddress();
        socket->abort();
        delete socket;
        return;
    }
    connect(socket, &TcpSocket::sockDisConnect, this, &FileServer::sockDisConnectSlot);

    auto *worker = new FileClientThread(socket, nullptr);
    worker->setSavePath(m_savePath);
    connect(socket, &TcpSocket::UpdateByte, worker, &FileClientThread::insertByteLine);
    connect(worker, &FileClientThread::sendMessage, socket, &TcpSocket::sendData);
    connect(worker, &FileClientThread::recvImageInfo, this, &FileServer::recvImageInfoSlot);
    connect(socket, &TcpSocket::UpdateMaximum, this, &FileServer::UpdateMaximum);
    connect(socket, &TcpSocket::UpdatePercent, this, &FileServer::UpdatePercent);
    // A worker ends when its phone has gone and everything it sent is handled, or on a broken stream.
    connect(worker, &QThread::finished, this, [this, worker] { retire(worker); });

    m_workers.insert(worker);
    m_clients.insert(int(socketDescriptor), worker);
    worker->start(QThread::InheritPriority);
}

void FileServer::retire(FileClientThread *worker)
{
    if (!m_workers.remove(worker))
        return;
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (it.value() == worker)
            it = m_clients.erase(it);
        else
            ++it;
    }
    // Reports it sent before finishing were delivered before this; deleting later keeps sender() valid.
    worker->deleteLater();
}

void FileServer::clear()
{
    // Only forgets the descriptors; the workers stay owned and are still stopped by the destructor.
    m_clients.clear();
}

void FileServer::sockDisConnectSlot(int handle, QString ip, ushort prot, QThread *th)
{
    Q_UNUSED(ip)
    Q_UNUSED(prot)
    Q_UNUSED(th)
    m_clients.remove(handle);
}

void FileServer::threadFinished(TcpSocket *tcpsocket, QString devName)
{
    Q_UNUSED(devName)
    if (tcpsocket)
        m_clients.remove(tcpsocket->sockid());
}

FileClientThread *FileServer::workerFor(int sockid) const
{
    // The report's own sender is exact even when a newer connection got the same descriptor.
    auto *fromSender = qobject_cast<FileClientThread *>(sender());
    if (fromSender && m_workers.contains(fromSender))
        return fromSender;
    return m_clients.value(sockid, nullptr);
}

void FileServer::recvImageInfoSlot(int sockid, int ratio, QString fullImageName, QString strMd5, QString createTime,
                                   int writeStatus, QString mobileFilePath)
{
    // Acknowledgement and thumbnail of one file go out together, never interleaved with another file's.
    QMutexLocker locker(&m_mutex);
    const bool stored = writeStatus >= 0;
    const qint64 storedSize = stored ? QFileInfo(fullImageName).size() : 0;
    FileClientThread *worker = workerFor(sockid);
    TcpSocket *socket = worker ? worker->socket() : nullptr;

    if (socket) {
        Records::FileAck ack;
        ack.ratio = ratio;
        ack.storedSize = qint32(storedSize); // the low 32 bits, as the record holds
        ack.mobilePath = mobileFilePath.toUtf8();
        ack.md5 = strMd5.toUtf8();
        const QByteArray record = Records::encodeFileAck(ack);
        if (!record.isEmpty())
            socket->write(record);
    }
    if (!stored)
        return; // the phone keeps its copy and sends it again

    QString smallFileMd5;
    if (ratio > 1) {
        const QByteArray thumbnail = makeThumbnail(fullImageName, ratio);
        if (!thumbnail.isEmpty()) {
            smallFileMd5 = QString::fromLatin1(QCryptographicHash::hash(thumbnail, QCryptographicHash::Md5).toHex());
            Records::ThumbnailHeader th;
            th.size = qint32(thumbnail.size());
            th.name = QFileInfo(fullImageName).fileName().toLatin1();
            const QByteArray record = Records::encodeThumbnailHeader(th);
            if (socket && !record.isEmpty()) {
                socket->write(record);
                for (int at = 0; at < thumbnail.size(); at += kThumbnailPiece)
                    socket->write(thumbnail.constData() + at, qMin(kThumbnailPiece, thumbnail.size() - at));
            }
        }
    }
    emit updateImageInfo(ratio, fullImageName, strMd5, smallFileMd5, createTime, mobileFilePath);
}
