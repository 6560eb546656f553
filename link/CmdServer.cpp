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
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCmdServer, "vanteo.link.cmdserver")

namespace {
QHostAddress plainAddress(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}
// Accepting again after the system ran out of descriptors for a moment.
constexpr int kAcceptRetryMs = 500;
} // namespace

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
    // QTcpServer stops accepting for good after a failed accept (no descriptor left, say).
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        qCWarning(lcCmdServer) << "accept failed:" << error << errorString();
        QTimer::singleShot(kAcceptRetryMs, this, [this] { resumeAccepting(); });
    });
}

CmdServer::~CmdServer()
{
    if (m_questionId)
        Dialogs::cancel(m_questionId);
    m_questionId = 0;
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
    // Qt accepts in a loop until no connection waits; peers that reconnect as fast as they are
    // closed would hold the GUI thread in that loop and no phone would be read. A token per
    // accepted descriptor in the pending list ends the loop after maxPendingConnections(); the
    // drain, posted behind the events already waiting, lets Qt accept again.
    if (!hasPendingConnections())
        QMetaObject::invokeMethod(this, &CmdServer::drainAcceptTokens, Qt::QueuedConnection);
    addPendingConnection(new QTcpSocket);

    // A listed connection under the same descriptor has lost its socket already (the system
    // reuses a descriptor only once it was closed): end it properly instead of leaking it.
    if (CmdClientThread *stale = m_clients.take(int(handle))) {
        const bool wipe = stale->getDeleteFlag();
        const QString name = stale->getDevName();
        destroyConnection(stale);
        if (wipe)
            wipeDeviceDatabase(name);
    }
    // Refused connections are closed before anything is set up for them.
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const bool known = ::getpeername(int(handle), reinterpret_cast<sockaddr *>(&from), &fromLength) == 0;
    const QHostAddress peer = known ? plainAddress(QHostAddress(reinterpret_cast<sockaddr *>(&from))) : QHostAddress();
    if (!isListening() || !known || !makeRoom(peer)) {
        qCWarning(lcCmdServer) << "refused a connection from" << peer.toString() << "(no room)";
        ::close(int(handle));
        return;
    }
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

    m_clients.insert(int(handle), thread);
    // A phone names itself the moment it is connected, so its record is often here already;
    // looking now keeps it from being taken for an idle connection while others queue up.
    char first = 0;
    const bool spoke = ::recv(int(handle), &first, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    m_peers.insert(thread, Peer{peer, ++m_serial, spoke});
    connect(socket, &TcpSocket::UpdateByte, thread, [this, thread] {
        auto it = m_peers.find(thread);
        if (it != m_peers.end())
            it->spoke = true;
    });
    QTimer::singleShot(m_limits.nameTimeoutMs, thread, [this, thread] { nameTimedOut(thread); });
    qCDebug(lcCmdServer) << "phone connected from" << peer.toString() << "as" << handle;
}

void CmdServer::drainAcceptTokens()
{
    while (QTcpSocket *token = nextPendingConnection())
        delete token;
}

bool CmdServer::evictable(CmdClientThread *thread) const
{
    return !thread->isAuthorised() && !m_deciding.contains(thread);
}

bool CmdServer::makeRoom(const QHostAddress &peer)
{
    // Twice: first among the peer's own connections, then among all.
    for (int pass = 0; pass < 2; ++pass) {
        const bool sameAddress = pass == 0;
        const int limit = sameAddress ? m_limits.perAddress : m_limits.total;
        int count = 0;
        CmdClientThread *oldest = nullptr;
        Peer oldestPeer;
        for (auto it = m_peers.cbegin(); it != m_peers.cend(); ++it) {
            if (sameAddress && it->address != peer)
                continue;
            ++count;
            if (!evictable(it.key()))
                continue;
            if (!oldest || (it->spoke == oldestPeer.spoke ? it->serial < oldestPeer.serial : !it->spoke)) {
                oldest = it.key();
                oldestPeer = *it;
            }
        }
        if (count < limit)
            continue;
        if (!oldest)
            return false;
        evict(oldest, sameAddress ? "too many connections from its address" : "too many connections");
    }
    return true;
}

void CmdServer::evict(CmdClientThread *thread, const char *why)
{
    qCInfo(lcCmdServer) << "closing connection" << thread->sockid() << "from"
                        << m_peers.value(thread).address.toString() << ":" << why;
    m_clients.remove(thread->sockid());
    thread->resetSocket();
    destroyConnection(thread);
}

void CmdServer::nameTimedOut(CmdClientThread *thread)
{
    if (m_clients.value(thread->sockid()) != thread || m_deciding.contains(thread))
        return;
    // A device record with a valid name was answered (authorised or refused by the user).
    if (thread->isConfigured() && DeviceName::isValid(thread->getDevName()))
        return;
    evict(thread, "no valid device record in time");
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
    forgetQuestion(thread);
    m_peers.remove(thread);
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

    // A record for a connection that is no longer listed configures nothing and asks nobody.
    if (!thread || m_clients.value(thread->sockid()) != thread)
        return;
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    if (settings->userExists(devName)) {
        configure(thread, devName, true, false);
        return;
    }
    askOrQueue(thread, devName);
}

void CmdServer::configure(CmdClientThread *thread, const QString &devName, bool authorised, bool isNewUser)
{
    const QString folder = DeviceName::deviceFolder(m_savepath, devName);
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    if (authorised) {
        if (!QDir(folder).exists() && !QDir().mkpath(folder))
            qCWarning(lcCmdServer) << "cannot create" << folder;
        if (isNewUser)
            settings->addUser(devName, folder, DeviceName::nowText());
        else
            settings->updateUser(devName, folder, DeviceName::nowText());
        emit UpdateRemoteInfo(devName, isNewUser);
    }
    thread->setDevName(devName);
    thread->setAuthorization(authorised);
    thread->setSavePath(folder);
    thread->startFileServer();
}

void CmdServer::askOrQueue(CmdClientThread *thread, const QString &devName)
{
    m_deciding.insert(thread);
    const QString address = m_peers.value(thread).address.toString();
    if (m_questionId) {
        if (m_waiting.size() >= m_limits.waitingQuestions) {
            // Nobody can answer that many: refused without a dialog.
            qCWarning(lcCmdServer) << "refused" << address << "without asking: too many phones waiting";
            m_deciding.remove(thread);
            configure(thread, devName, false, false);
            return;
        }
        m_waiting.append(Asking{thread, devName, address});
        return;
    }
    m_asking = Asking{thread, devName, address};
    Dialogs::Question q;
    q.icon = Dialogs::Information;
    q.title = QStringLiteral("授权");
    q.text = QStringLiteral("你确定授权给 ") + devName + QStringLiteral(" 备份?\n(手机地址: ") + address
             + QStringLiteral(")");
    q.buttons = Dialogs::Ok | Dialogs::Cancel;
    q.labels = {{Dialogs::Ok, QStringLiteral("确 定")}, {Dialogs::Cancel, QStringLiteral("取 消")}};
    // Cancel or closing the box: not authorised.
    m_questionId = Dialogs::ask(q, this, [this](Dialogs::StandardButton answer) { answered(answer == Dialogs::Ok); });
}

void CmdServer::answered(bool authorised)
{
    const Asking asked = m_asking;
    m_asking = Asking();
    m_questionId = 0;
    CmdClientThread *thread = asked.thread.data();
    if (thread && m_clients.value(thread->sockid()) == thread) {
        m_deciding.remove(thread);
        // The same name may have been accepted meanwhile on another connection.
        const bool known = ReadWriteSetting::getInstance()->userExists(asked.devName);
        configure(thread, asked.devName, authorised || known, authorised && !known);
    }
    askNext();
}

void CmdServer::askNext()
{
    while (!m_questionId && !m_waiting.isEmpty()) {
        const Asking next = m_waiting.takeFirst();
        CmdClientThread *thread = next.thread.data();
        if (!thread || m_clients.value(thread->sockid()) != thread)
            continue;
        m_deciding.remove(thread);
        if (ReadWriteSetting::getInstance()->userExists(next.devName))
            configure(thread, next.devName, true, false);
        else
            askOrQueue(thread, next.devName);
    }
}

void CmdServer::forgetQuestion(CmdClientThread *thread)
{
    m_deciding.remove(thread);
    for (int i = m_waiting.size() - 1; i >= 0; --i) {
        if (m_waiting.at(i).thread == thread || !m_waiting.at(i).thread)
            m_waiting.removeAt(i);
    }
    if (m_questionId && m_asking.thread == thread) {
        // The phone has gone: its question closes as refused, and the next one is shown.
        Dialogs::cancel(m_questionId);
        m_questionId = 0;
        m_asking = Asking();
        QTimer::singleShot(0, this, [this] { askNext(); });
    }
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
