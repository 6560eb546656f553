#include "link/CmdServer.h"

#include "backup/LocalDataBase.h"
#include "backup/StorageRoot.h"
#include "link/CmdClientThread.h"
#include "link/DeviceName.h"
#include "wire/Records.h"
#include "wire/TcpSocket.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <cstring>
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

// Whether a phone's first record names a device the user has authorised.
bool namesAuthorisedPhone(const QByteArray &first)
{
    Records::Command cmd;
    if (first.size() < Records::kSize || !Records::decodeCommand(first.constData(), &cmd) ||
        cmd.type != Records::Device || cmd.length <= 0)
        return false;
    const QString name = DeviceName::fromUtf8(cmd.payload);
    return DeviceName::isValid(name) && ReadWriteSetting::getInstance()->userExists(name);
}

// What the connection has received and nobody has read yet, up to want bytes.
QByteArray peekAt(int fd, int want)
{
    QByteArray bytes(want, Qt::Uninitialized);
    const ssize_t got = want > 0 ? ::recv(fd, bytes.data(), size_t(want), MSG_PEEK | MSG_DONTWAIT) : 0;
    bytes.resize(got > 0 ? int(got) : 0);
    return bytes;
}
} // namespace

CmdServer::CmdServer(QObject *parent, int maxPending, QString savepath)
    : QTcpServer(parent), m_maxPending(maxPending), m_savepath(std::move(savepath))
{
    setMaxPendingConnections(m_maxPending);
    connect(this, &CmdServer::ClientClosed, this, &CmdServer::ClientClosedSlot);
    // QTcpServer stops accepting for good after a failed accept (no descriptor left, say).
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        qCWarning(lcCmdServer) << "accept failed:" << error << errorString();
        QTimer::singleShot(kAcceptRetryMs, this, [this] { resumeAccepting(); });
    });
}

bool CmdServer::listenForPhones(quint16 port)
{
    if (!listen(QHostAddress::Any, port))
        return false;
    // Qt listens with a backlog of 50; listening again only changes the backlog.
    if (::listen(int(socketDescriptor()), SOMAXCONN) != 0)
        qCWarning(lcCmdServer) << "cannot enlarge the listen backlog:" << strerror(errno);
    return true;
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
    if (CmdClientThread *stale = m_clients.take(int(handle)))
        endConnection(stale);
    // Refused connections are closed before anything is set up for them. A phone names itself the
    // moment it is connected, so its first record is often here already.
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const bool known = ::getpeername(int(handle), reinterpret_cast<sockaddr *>(&from), &fromLength) == 0;
    const QHostAddress peer = known ? plainAddress(QHostAddress(reinterpret_cast<sockaddr *>(&from))) : QHostAddress();
    const QByteArray first = known ? peekAt(int(handle), Records::kSize) : QByteArray();
    const bool household = namesAuthorisedPhone(first);
    if (!isListening() || !known || !makeRoom(peer, household)) {
        qCWarning(lcCmdServer) << "refused a connection from" << peer.toString() << "(no room)";
        ::close(int(handle));
        return;
    }
    enableKeepAlive(handle);
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
    Peer entry;
    entry.address = peer;
    entry.serial = ++m_serial;
    entry.spoke = !first.isEmpty();
    entry.household = household;
    entry.checked = household || first.size() >= Records::kSize;
    m_peers.insert(thread, entry);
    // The first record is kept until it is whole, so an eviction can tell a phone from a stranger
    // before the connection's own thread has decoded it.
    connect(socket, &TcpSocket::UpdateByte, thread, [this, thread](const QByteArray &bytes) {
        auto it = m_peers.find(thread);
        if (it == m_peers.end())
            return;
        it->spoke = true;
        if (it->checked)
            return;
        it->head += bytes.left(Records::kSize - it->head.size());
        if (it->head.size() >= Records::kSize) {
            it->household = namesAuthorisedPhone(it->head);
            it->checked = true;
            it->head.clear();
        }
    });
    QTimer::singleShot(m_limits.nameTimeoutMs, thread, [this, thread] { nameTimedOut(thread); });
    qCDebug(lcCmdServer) << "phone connected from" << peer.toString() << "as" << handle;
}

void CmdServer::drainAcceptTokens()
{
    while (QTcpSocket *token = nextPendingConnection())
        delete token;
}

bool CmdServer::household(CmdClientThread *thread, Peer &peer)
{
    if (thread->isAuthorised() || peer.household)
        return true;
    if (peer.checked)
        return false;
    // The rest of the first record may still lie unread in the system's buffer.
    const QByteArray first = peer.head + peekAt(thread->sockid(), Records::kSize - peer.head.size());
    if (!first.isEmpty())
        peer.spoke = true;
    return first.size() >= Records::kSize && namesAuthorisedPhone(first);
}

bool CmdServer::evictable(CmdClientThread *thread, Peer &peer)
{
    return !m_deciding.contains(thread) && !household(thread, peer);
}

bool CmdServer::makeRoom(const QHostAddress &peer, bool household)
{
    // Twice: first among the peer's own connections, then among all. Phones of the household
    // do not count toward their address's share, and a newcomer that names one is not held to it.
    for (int pass = 0; pass < 2; ++pass) {
        const bool sameAddress = pass == 0;
        if (sameAddress && household)
            continue;
        const int limit = sameAddress ? m_limits.perAddress : m_limits.total;
        int count = 0;
        CmdClientThread *oldest = nullptr;
        Peer oldestPeer;
        for (auto it = m_peers.begin(); it != m_peers.end(); ++it) {
            if (sameAddress && it->address != peer)
                continue;
            const bool canGo = evictable(it.key(), *it);
            if (sameAddress && !canGo && !m_deciding.contains(it.key()))
                continue; // an authorised phone
            ++count;
            if (!canGo)
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
    endConnection(thread);
}

void CmdServer::endConnection(CmdClientThread *thread)
{
    const bool wipe = thread->getDeleteFlag();
    const QString name = thread->getDevName();
    destroyConnection(thread);
    if (wipe)
        wipeDeviceDatabase(name);
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
    replaceOlderConnections(thread, devName);
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    if (settings->userExists(devName)) {
        configure(thread, devName, true, false);
        return;
    }
    askOrQueue(thread, devName);
}

void CmdServer::replaceOlderConnections(CmdClientThread *thread, const QString &devName)
{
    const QHostAddress from = m_peers.value(thread).address;
    QList<CmdClientThread *> older;
    for (CmdClientThread *other : qAsConst(m_clients)) {
        if (other == thread || m_peers.value(other).address != from)
            continue;
        const QString name = other->isConfigured() ? other->getDevName() : m_deciding.value(other);
        if (name == devName)
            older.append(other);
    }
    for (CmdClientThread *other : qAsConst(older))
        evict(other, "the same phone connected again");
}

void CmdServer::configure(CmdClientThread *thread, const QString &devName, bool authorised, bool isNewUser)
{
    const QString folder = DeviceName::deviceFolder(StorageRoot::inUse(m_savepath), devName);
    if (authorised)
        recordDevice(devName, folder, isNewUser);
    thread->setDevName(devName);
    thread->setAuthorization(authorised);
    thread->setSavePath(folder);
    thread->startFileServer();
}

void CmdServer::recordDevice(const QString &devName, const QString &folder, bool isNewUser)
{
    // Never on a bare mount point: while the storage root is not there, nothing is made under it.
    QString why;
    if (StorageRoot::absent(folder, &why))
        qCWarning(lcCmdServer) << "not creating" << folder << ":" << why;
    else if (!QDir(folder).exists() && !QDir().mkpath(folder))
        qCWarning(lcCmdServer) << "cannot create" << folder;
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    if (isNewUser)
        settings->addUser(devName, folder, DeviceName::nowText());
    else
        settings->updateUser(devName, folder, DeviceName::nowText());
    emit UpdateRemoteInfo(devName, isNewUser);
}

void CmdServer::askOrQueue(CmdClientThread *thread, const QString &devName)
{
    m_deciding.insert(thread, devName);
    // The same name waiting twice (a phone that tried again) is one question.
    if (m_questionId && m_asking.devName == devName)
        return;
    for (const Asking &waiting : qAsConst(m_waiting)) {
        if (waiting.devName == devName)
            return;
    }
    const Asking asking{devName, m_peers.value(thread).address.toString()};
    if (!m_questionId) {
        ask(asking);
        return;
    }
    if (m_waiting.size() >= m_limits.waitingQuestions) {
        // Nobody can answer that many: refused without a dialog.
        qCWarning(lcCmdServer) << "refused" << asking.address << "without asking: too many phones waiting";
        m_deciding.remove(thread);
        configure(thread, devName, false, false);
        return;
    }
    m_waiting.append(asking);
}

void CmdServer::ask(const Asking &asking)
{
    m_asking = asking;
    Dialogs::Question q;
    q.icon = Dialogs::Information;
    q.title = QStringLiteral("授权");
    q.text = QStringLiteral("你确定授权给 %1 备份？\n（手机地址：%2）").arg(asking.devName, asking.address);
    q.buttons = Dialogs::Ok | Dialogs::Cancel;
    q.labels = {{Dialogs::Ok, QStringLiteral("确 定")}, {Dialogs::Cancel, QStringLiteral("取 消")}};
    // Cancel or closing the box: not authorised.
    m_questionId = Dialogs::ask(q, this, [this](Dialogs::StandardButton answer) { answered(answer == Dialogs::Ok); });
    emit approvalAsked(asking.devName, asking.address);
}

void CmdServer::answered(bool authorised)
{
    const QString devName = m_asking.devName;
    m_asking = Asking();
    m_questionId = 0;
    // The same name may have been accepted meanwhile on another connection.
    const bool known = ReadWriteSetting::getInstance()->userExists(devName);
    decide(devName, authorised || known, authorised && !known);
    askNext();
}

void CmdServer::decide(const QString &devName, bool authorised, bool isNewUser)
{
    QList<CmdClientThread *> waiting;
    for (auto it = m_deciding.cbegin(); it != m_deciding.cend(); ++it) {
        if (it.value() == devName)
            waiting.append(it.key());
    }
    for (CmdClientThread *thread : qAsConst(waiting))
        m_deciding.remove(thread);
    if (waiting.isEmpty() && isNewUser) {
        // The phone went while the user decided: its next connection is let in without asking.
        recordDevice(devName, DeviceName::deviceFolder(StorageRoot::inUse(m_savepath), devName), true);
        return;
    }
    for (CmdClientThread *thread : qAsConst(waiting)) {
        configure(thread, devName, authorised, isNewUser);
        isNewUser = false;
    }
}

void CmdServer::askNext()
{
    while (!m_questionId && !m_waiting.isEmpty()) {
        const Asking next = m_waiting.takeFirst();
        if (ReadWriteSetting::getInstance()->userExists(next.devName))
            decide(next.devName, true, false);
        else
            ask(next);
    }
}

void CmdServer::forgetQuestion(CmdClientThread *thread)
{
    const QString devName = m_deciding.take(thread);
    // An open question stays until the user answers it; a queued name nobody waits for any
    // more was never shown and is dropped (the phone's next connection queues it again).
    if (devName.isEmpty() || (m_questionId && m_asking.devName == devName) ||
        std::find(m_deciding.cbegin(), m_deciding.cend(), devName) != m_deciding.cend())
        return;
    for (int i = m_waiting.size() - 1; i >= 0; --i) {
        if (m_waiting.at(i).devName == devName)
            m_waiting.removeAt(i);
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

QStringList CmdServer::pendingNames() const
{
    QStringList names;
    if (m_questionId)
        names << m_asking.devName;
    for (const Asking &waiting : m_waiting)
        names << waiting.devName;
    return names;
}

bool CmdServer::answer(const QString &devName, bool ok)
{
    if (m_questionId && m_asking.devName == devName)
        return Dialogs::answer(m_questionId, ok ? Dialogs::Ok : Dialogs::Cancel);
    for (int i = 0; i < m_waiting.size(); ++i) {
        if (m_waiting.at(i).devName != devName)
            continue;
        m_waiting.removeAt(i);
        const bool known = ReadWriteSetting::getInstance()->userExists(devName);
        decide(devName, ok || known, ok && !known);
        return true;
    }
    return false;
}
