#include "link/CmdServer.h"

#include "backup/LocalDataBase.h"
#include "link/CmdClientThread.h"
#include "link/DeviceName.h"
#include "wire/TcpSocket.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>

Q_LOGGING_CATEGORY(lcCmdServer, "vanteo.link.cmdserver")

CmdServer::CmdServer(QObject *parent, int maxPending, QString savepath)
    : QTcpServer(parent)
    , m_maxPending(maxPending)
    , m_savepath(std::move(savepath))
{
    setMaxPendingConnections(m_maxPending);
    const QString album = m_savepath + QStringLiteral("/万特相册/");
    if (!m_savepath.isEmpty() && !QDir(album).exists())
        QDir().mkdir(QDir::cleanPath(album));
    connect(this, &CmdServer::ClientClosed, this, &CmdServer::ClientClosedSlot);
}

CmdServer::~CmdServer()
{
    emit sentDisConnect(-1);
    close();
    // Every connection's worker is stopped and waited for before the server goes.
    const QList<CmdClientThread *> threads = m_clients.values();
    m_clients.clear();
    for (CmdClientThread *t : threads)
        delete t;
}

void CmdServer::incomingConnection(qintptr handle)
{
    auto *socket = new TcpSocket(int(handle), nullptr);
    connect(socket, &TcpSocket::sockDisConnect, this, &CmdServer::sockDisConnectSlot);
    auto *thread = new CmdClientThread(socket);
    connect(thread, &CmdClientThread::tcpThreadFinish, this, &CmdServer::threadFinished);
    thread->start(QThread::InheritPriority);
    connect(socket, &TcpSocket::UpdateByte, thread, &CmdClientThread::insertByteLine);
    connect(socket, &TcpSocket::TcpRecvError, thread, &CmdClientThread::onFinished);
    connect(thread, &CmdClientThread::recvDeviceSignal, this, &CmdServer::recvDeviceSlot);
    connect(thread, &CmdClientThread::recvPublicInfo, this, &CmdServer::recvPublicInfoSlot);
    connect(socket, &TcpSocket::UpdateMaximum, this, &CmdServer::UpdateMaximum);
    connect(thread, &CmdClientThread::updateRecvFileName, this, &CmdServer::UpdateText);
    connect(thread, &CmdClientThread::updateDatabaseNumber, this, &CmdServer::recvDatabaseNumberSlot);

    // A listed connection under the same descriptor has lost its socket already (the system
    // reuses a descriptor only once it was closed): end it properly instead of leaking it.
    CmdClientThread *stale = m_clients.value(int(handle));
    m_clients.insert(int(handle), thread);
    if (stale) {
        const bool wipe = stale->getDeleteFlag();
        const QString name = stale->getDevName();
        destroyConnection(stale);
        if (wipe)
            wipeDeviceDatabase(name);
    }
    qCDebug(lcCmdServer) << "phone connected from" << socket->peerAddress().toString() << "as" << handle;
}

CmdClientThread *CmdServer::senderConnection(int sockid) const
{
    CmdClientThread *listed = m_clients.value(sockid);
    QObject *from = sender();
    // Called directly (not through a signal of a connection): trust the descriptor.
    if (!from || from == this)
        return listed;
    return from == listed ? listed : nullptr;
}

void CmdServer::destroyConnection(CmdClientThread *thread)
{
    m_deciding.remove(thread);
    thread->shutdown();
    // Possibly called from within the thread object's own signal; it goes once that returns.
    thread->deleteLater();
}

void CmdServer::clear()
{
    const QList<CmdClientThread *> threads = m_clients.values();
    m_clients.clear();
    for (CmdClientThread *t : threads)
        destroyConnection(t);
}

void CmdServer::sockDisConnectSlot(int handle, QString ip, ushort prot, QThread *th)
{
    Q_UNUSED(ip)
    Q_UNUSED(prot)
    Q_UNUSED(th)
    // A thread taken off the table would run on with no owner; end it too.
    if (CmdClientThread *t = m_clients.take(handle))
        destroyConnection(t);
}

void CmdServer::threadFinished(TcpSocket *tcpsocket, QString devName)
{
    emit UpdatePublicInfo(8, devName);
    emit ClientClosed(tcpsocket ? tcpsocket->sockid() : -1, devName);
}

void CmdServer::ClientClosedSlot(int sockid, QString devName)
{
    CmdClientThread *thread = m_clients.value(sockid);
    if (!thread)
        return;
    m_clients.remove(sockid);
    const bool wipe = thread->getDeleteFlag();
    // Waits for the worker (it notices its stop flag at once) instead of a fixed pause, and
    // closes the album database so the file can be removed right after.
    destroyConnection(thread);
    if (!wipe)
        return;
    // Another live connection of the same device still uses the database: it is wiped when
    // that one ends (it was flagged as well) or kept, if the device was admitted again.
    for (CmdClientThread *other : qAsConst(m_clients)) {
        if (other->getDevName() == devName && other->isAuthorised())
            return;
    }
    wipeDeviceDatabase(devName);
}

void CmdServer::recvDeviceSlot(int sockid, QString devName)
{
    CmdClientThread *thread = senderConnection(sockid);
    if (thread && m_deciding.contains(thread))
        return; // the first device record of this connection is still being decided
    if (thread && thread->isConfigured()) {
        // A connection keeps the name it was configured with: the same name gets the same
        // answer again, another name is refused; nothing else changes.
        const bool same = devName == thread->getDevName() && thread->isAuthorised();
        thread->sendAuthorizationReply(same);
        return;
    }
    const DeviceName::Check check = DeviceName::check(devName);
    if (check != DeviceName::Check::Ok) {
        qCWarning(lcCmdServer) << "refused a device name:" << DeviceName::describe(check);
        if (thread) {
            thread->setAuthorization(false);
            thread->startFileServer();
        }
        return;
    }

    const QString folder = DeviceName::deviceFolder(m_savepath, devName);
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    bool authorised = false;
    bool isNewUser = false;
    QPointer<CmdClientThread> guard(thread);
    if (settings->userExists(devName)) {
        authorised = true;
        if (!QDir(folder).exists() && !QDir().mkpath(folder))
            qCWarning(lcCmdServer) << "cannot create" << folder;
        settings->updateUser(devName, folder, DeviceName::nowText());
    } else {
        if (thread)
            m_deciding.insert(thread);
        // Modal: the GUI thread keeps serving other connections while the user decides.
        const QMessageBox::StandardButton answer = Dialogs::message(
            nullptr, QMessageBox::Information, QStringLiteral("授权"),
            QStringLiteral("你确定授权给 ") + devName + QStringLiteral(" 备份?"),
            QMessageBox::Ok | QMessageBox::Cancel,
            {{QMessageBox::Ok, QStringLiteral("确 定")}, {QMessageBox::Cancel, QStringLiteral("取 消")}});
        m_deciding.remove(thread);
        if (answer == QMessageBox::Ok) {
            authorised = true;
            isNewUser = true;
            if (!QDir(folder).exists() && !QDir().mkpath(folder))
                qCWarning(lcCmdServer) << "cannot create" << folder;
            settings->addUser(devName, folder, DeviceName::nowText());
        }
    }
    if (authorised)
        emit UpdateRemoteInfo(devName, isNewUser);

    // The phone may have gone while the user was asked.
    if (!guard || !m_clients.values().contains(guard.data()))
        return;
    guard->setDevName(devName);
    guard->setAuthorization(authorised);
    guard->setSavePath(folder);
    guard->startFileServer();
}

void CmdServer::recvPublicInfoSlot(int sockid, int type, QString devName)
{
    emit UpdatePublicInfo(type, devName);
    if (type == 9) {
        if (CmdClientThread *thread = senderConnection(sockid))
            thread->sendPublicAck();
    }
}

void CmdServer::recvDatabaseNumberSlot(int sockid, int num, QString devName)
{
    Q_UNUSED(sockid)
    emit UpdateDBNumberInfo(num, devName);
}

void CmdServer::recvDeleteSlot(QString devName)
{
    // Every live connection of that device is told; the database goes when the last one ends.
    bool connected = false;
    for (CmdClientThread *thread : qAsConst(m_clients)) {
        if (thread->getDevName() == devName && thread->isAuthorised()) {
            thread->setDeleteFlag(true);
            thread->sendDeleteNotice();
            connected = true;
        }
    }
    if (!connected)
        wipeDeviceDatabase(devName);
}

bool CmdServer::wipeDeviceDatabase(const QString &devName)
{
    if (!DeviceName::isValid(devName))
        return false;
    const QString path = DeviceName::databasePath(devName);
    if (!QFile::exists(path))
        return true;
    {
        LocalDataBase db(path);
        db.deleteAllRecords();
    }
    if (!QFile::remove(path)) {
        qCWarning(lcCmdServer) << "cannot remove" << path;
        return false;
    }
    return true;
}
