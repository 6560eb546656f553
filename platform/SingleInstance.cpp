#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QSharedMemory>
#include <QTimer>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcInstance, "vanteo.instance")

namespace {
// The whole conversation: the second start writes the request, the running copy answers.
const QByteArray kRequest("activate\n");
const QByteArray kAnswer("ok\n");
// A client that says nothing useful within this time is dropped.
constexpr int kClientTimeoutMs = 3000;
} // namespace

SingleInstance::SingleInstance(const QString &key)
    : m_key(key)
{
}

SingleInstance::~SingleInstance()
{
    m_server.reset(); // closing removes the socket file
    m_memory.reset(); // detaching the last user removes the segment
    if (m_lock)
        m_lock->unlock();
}

QString SingleInstance::lockFilePath() const
{
    return QDir::tempPath() + QLatin1Char('/') + m_key + QLatin1Char('-') + QString::number(::getuid())
        + QStringLiteral(".lock");
}

bool SingleInstance::acquire()
{
    if (m_held)
        return true;

    m_lock = std::make_unique<QLockFile>(lockFilePath());
    // Never stale by age: a copy may run for weeks. A lock whose holder died is still
    // recognised (the process is gone) and taken over.
    m_lock->setStaleLockTime(0);
    const bool locked = m_lock->tryLock(0);
    const QLockFile::LockError lockError = m_lock->error();
    if (!locked && lockError == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host, app;
        m_lock->getLockInfo(&pid, &host, &app);
        qCInfo(lcInstance) << "another copy runs, pid" << pid;
        m_lock.reset();
        return false;
    }

    m_memory = std::make_unique<QSharedMemory>(m_key);
    if (m_memory->attach(QSharedMemory::ReadWrite)) {
        if (!locked) {
            // The lock cannot be used here (no writable temporary folder): the marker alone decides.
            qCWarning(lcInstance) << "lock file unusable:" << lockFilePath() << "- trusting the marker";
            m_memory.reset();
            return false;
        }
        // We hold the lock, so nobody alive owns this segment: a copy crashed with it.
        qCInfo(lcInstance) << "removing a stale marker" << m_key;
        m_memory->detach();
    }
    if (!m_memory->create(1, QSharedMemory::ReadWrite))
        qCWarning(lcInstance) << "cannot create the marker" << m_key << m_memory->errorString();
    m_held = true;
    return true;
}

QString SingleInstance::socketPath() const
{
    return QDir::tempPath() + QLatin1Char('/') + m_key + QLatin1Char('-') + QString::number(::getuid())
        + QStringLiteral(".sock");
}

bool SingleInstance::listenForActivation(std::function<void()> onActivate)
{
    if (!m_held)
        return false;
    if (m_server)
        return true;
    auto server = std::make_unique<QLocalServer>();
    // Only this user may ask; the lock we hold says any socket file there is a dead copy's.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketPath());
    if (!server->listen(socketPath())) {
        qCWarning(lcInstance) << "cannot listen on" << socketPath() << server->errorString();
        return false;
    }
    QLocalServer *raw = server.get();
    QObject::connect(raw, &QLocalServer::newConnection, raw, [raw, onActivate] {
        while (QLocalSocket *client = raw->nextPendingConnection()) {
            QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            // A peer that never sends the request is not kept open.
            QTimer::singleShot(kClientTimeoutMs, client, [client] { client->abort(); });
            QObject::connect(client, &QLocalSocket::readyRead, client, [client, onActivate] {
                // Only the fixed request counts; anything longer or different is dropped unread.
                if (client->bytesAvailable() < kRequest.size())
                    return;
                const QByteArray request = client->read(kRequest.size());
                if (request != kRequest) {
                    client->abort();
                    return;
                }
                qCInfo(lcInstance) << "a second start asks this copy to come forward";
                client->write(kAnswer);
                client->flush();
                client->disconnectFromServer();
                if (onActivate)
                    onActivate();
            });
        }
    });
    m_server = std::move(server);
    return true;
}

bool SingleInstance::askRunningCopyToActivate(int timeoutMs) const
{
    // Blocking, with a deadline: this runs before the second copy has any window or event loop.
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(int(deadline.remainingTime()))) {
        qCInfo(lcInstance) << "the running copy does not answer:" << socket.errorString();
        return false;
    }
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return false;
    QByteArray answer;
    while (answer.size() < kAnswer.size() && !deadline.hasExpired()) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        answer += socket.read(kAnswer.size() - answer.size());
    }
    return answer == kAnswer;
}
