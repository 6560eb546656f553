#include "FileServer.h"

#include "backup/FileClientThread.h"
#include "backup/IncomingFile.h"
#include "backup/StoragePlan.h"
#include "backup/TransferMonitor.h"
#include "imaging/Thumbnail.h"

#include <QDir>
#include <QLoggingCategory>
#include <QThreadPool>
#include <QtConcurrent>

#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcFileServer, "vanteo.backup.fileserver")

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
    for (FileClientThread *worker : qAsConst(m_workers))
        worker->stop();
    for (FileClientThread *worker : qAsConst(m_workers))
        delete worker; // waits for run() to return
    m_workers.clear();
    if (!m_device.isEmpty())
        TransferMonitor::instance()->phoneDisconnected(m_device);
}

void FileServer::setSavePath(QString path)
{
    m_savePath = path;
    // Leftovers of transfers cut by a power loss or a hard kill; an hour old, so a transfer of the
    // same phone that is still arriving over another connection is never touched.
    QtConcurrent::run(QThreadPool::globalInstance(), [path] { IncomingFile::removeStaleParts(path, 3600); });
}

void FileServer::setDeviceName(const QString &name)
{
    if (name == m_device)
        return;
    if (!m_device.isEmpty())
        TransferMonitor::instance()->phoneDisconnected(m_device);
    m_device = name;
    if (!m_device.isEmpty())
        TransferMonitor::instance()->phoneConnected(m_device);
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
    const int fd = int(socketDescriptor);
    if (!m_allowedPeer.isNull()) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        const bool known = ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0;
        const QHostAddress from = known ? QHostAddress(reinterpret_cast<sockaddr *>(&peer)) : QHostAddress();
        if (!known || normalised(from) != m_allowedPeer) {
            qCWarning(lcFileServer) << "refused a file connection from" << from;
            ::close(fd);
            return;
        }
    }
    // A phone sends over one connection (two while it reconnects): more are not a phone's, and
    // each would cost a thread and descriptors.
    constexpr int kMaxFileConnections = 8;
    if (m_workers.size() >= kMaxFileConnections) {
        qCWarning(lcFileServer) << "refused a file connection: already" << m_workers.size();
        ::close(fd);
        return;
    }
    // The worker reads, stores and answers on its own thread: no file's bytes pass through this one.
    auto *worker = new FileClientThread(socketDescriptor, nullptr);
    worker->setSavePath(m_savePath);
    worker->setDeviceName(m_device);
    connect(worker, &FileClientThread::recvImageInfo, this, &FileServer::recvImageInfoSlot, Qt::DirectConnection);
    // A worker ends when its phone has gone and everything it sent is handled, or on a broken stream.
    connect(worker, &QThread::finished, this, [this, worker] { retire(worker); });
    m_workers.insert(worker);
    worker->start(QThread::InheritPriority);
}

void FileServer::retire(FileClientThread *worker)
{
    if (!m_workers.remove(worker))
        return;
    // Reports it sent before finishing were delivered before this; deleting later keeps sender() valid.
    worker->deleteLater();
}

void FileServer::clear()
{
}

void FileServer::recvImageInfoSlot(int sockid, int ratio, QString fullImageName, QString strMd5, QString smallFileMd5,
                                   QString createTime, int writeStatus, QString mobileFilePath)
{
    Q_UNUSED(sockid)
    if (writeStatus < 0)
        return; // the phone keeps its copy and sends it again
    emit updateImageInfo(ratio, fullImageName, strMd5, smallFileMd5, createTime, mobileFilePath);
}
