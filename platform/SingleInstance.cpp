#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QSharedMemory>
#include <QStandardPaths>
#include <QTextCodec>
#include <QTimer>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcInstance, "vanteo.instance")

namespace {
// The whole conversation: the second start writes the request, the running copy answers.
const QByteArray kRequest("activate\n");
const QByteArray kAnswer("ok\n");
// A client that says nothing useful within this time is dropped.
constexpr int kClientTimeoutMs = 3000;

// The folder, when it is (or can be made) a folder of this user's that nobody else can enter.
bool makePrivate(const QString &path)
{
    if (path.isEmpty() || !QDir().mkpath(path))
        return false;
    struct stat st
    { };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    return (st.st_mode & 077) == 0 || ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}
} // namespace

SingleInstance::SingleInstance(const QString &key) : m_key(key)
{
}

SingleInstance::~SingleInstance()
{
    m_server.reset(); // closing removes the socket file
    m_memory.reset(); // detaching the last user removes the segment
    if (m_lock)
        m_lock->unlock();
}

QString SingleInstance::privateFolder()
{
    // Qt checks the runtime folder's owner and mode and answers empty when they are wrong.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (makePrivate(runtime))
        return runtime;
    const QString own =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/vanteoalbum-run");
    if (makePrivate(own))
        return own;
    qCWarning(lcInstance) << "no private folder for the single-instance lock (tried" << runtime << "and" << own << ")";
    return QString();
}

QString SingleInstance::lockFilePath() const
{
    return privateFolder() + QLatin1Char('/') + m_key + QStringLiteral(".lock");
}

bool SingleInstance::lockProvesLiveCopy() const
{
    // QLockFile found the recorded process alive; the record must also be a real one of ours.
    qint64 pid = 0;
    QString host, app;
    struct stat st
    { };
    const QByteArray path = QFile::encodeName(lockFilePath());
    return m_lock->getLockInfo(&pid, &host, &app) && pid > 0 && ::lstat(path.constData(), &st) == 0 &&
        S_ISREG(st.st_mode) && st.st_uid == ::getuid();
}

bool SingleInstance::acquire()
{
    if (m_held)
        return true;

    bool locked = false;
    if (!privateFolder().isEmpty()) {
        m_lock = std::make_unique<QLockFile>(lockFilePath());
        // Never stale by age: a copy may run for weeks. A lock whose holder died is still
        // recognised (the process is gone) and taken over.
        m_lock->setStaleLockTime(0);
        for (int attempt = 0; attempt < 2 && !locked; ++attempt) {
            locked = m_lock->tryLock(0);
            if (locked || m_lock->error() != QLockFile::LockFailedError)
                break;
            if (lockProvesLiveCopy()) {
                qCInfo(lcInstance) << "another copy runs";
                m_lock.reset();
                return false;
            }
            qCWarning(lcInstance) << "removing a lock file that proves nothing:" << lockFilePath();
            QFile::remove(lockFilePath());
        }
    }
    if (!locked) {
        // Better two copies than none: a lock that cannot be taken is no proof of another copy.
        qCWarning(lcInstance) << "cannot take the single-instance lock; starting without it";
        m_lock.reset();
    }

    m_memory = std::make_unique<QSharedMemory>(m_key);
    if (m_memory->attach(QSharedMemory::ReadWrite)) {
        // We hold the lock (or cannot tell), so the segment is a dead copy's or a stranger's.
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
    return privateFolder() + QLatin1Char('/') + m_key + QStringLiteral(".sock");
}

bool SingleInstance::listenForActivation(std::function<void()> onActivate)
{
    return listenForRequests(std::move(onActivate), ControlHandler());
}

const QStringList &SingleInstance::controlCommands()
{
    static const QStringList commands{QStringLiteral("pending"), QStringLiteral("approve"), QStringLiteral("refuse")};
    return commands;
}

namespace {

bool takesArgument(const QString &command)
{
    return command != QLatin1String("pending");
}

// The argument of a control command: strict UTF-8 without control characters (a device name
// never has one; a newline would end the request early).
bool validArgument(const QByteArray &bytes, QString *text)
{
    QTextCodec::ConverterState state;
    *text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0 || text->isEmpty())
        return false;
    for (const QChar c : qAsConst(*text)) {
        if (c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

// The answer to one request line (without its "\n"); empty: drop the client unanswered.
QByteArray answerRequest(const QByteArray &line, bool canActivate, const SingleInstance::ControlHandler &onControl)
{
    if (line == kRequest.chopped(1))
        return canActivate ? kAnswer : QByteArrayLiteral("no-window\n");
    const int space = line.indexOf(' ');
    const QString command = QString::fromLatin1(space < 0 ? line : line.left(space));
    if (!SingleInstance::controlCommands().contains(command))
        return QByteArray();
    const QByteArray rawArgument = space < 0 ? QByteArray() : line.mid(space + 1);
    QString argument;
    if (takesArgument(command) ? !validArgument(rawArgument, &argument) : space >= 0)
        return QByteArrayLiteral("error bad request\n");
    if (!onControl)
        return QByteArrayLiteral("error not served by this copy\n");
    qCInfo(lcInstance) << "control request:" << command << argument;
    return onControl(command, argument);
}

} // namespace

bool SingleInstance::listenForRequests(std::function<void()> onActivate, ControlHandler onControl)
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
    QObject::connect(raw, &QLocalServer::newConnection, raw, [raw, onActivate, onControl] {
        while (QLocalSocket *client = raw->nextPendingConnection()) {
            QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            // A peer that never sends a whole request is not kept open.
            QTimer::singleShot(kClientTimeoutMs, client, [client] { client->abort(); });
            auto pending = std::make_shared<QByteArray>();
            QObject::connect(client, &QLocalSocket::readyRead, client, [client, pending, onActivate, onControl] {
                if (client->property("answered").toBool()) {
                    client->readAll(); // one request per connection
                    return;
                }
                // Never more than one request's worth is held.
                pending->append(client->read(kMaxRequest - pending->size()));
                const int end = pending->indexOf('\n');
                if (end < 0) {
                    if (pending->size() >= kMaxRequest)
                        client->abort();
                    return;
                }
                const QByteArray line = pending->left(end);
                const QByteArray answer = answerRequest(line, bool(onActivate), onControl);
                if (answer.isEmpty()) {
                    client->abort();
                    return;
                }
                client->setProperty("answered", true);
                client->write(answer);
                client->flush();
                client->disconnectFromServer();
                if (line == kRequest.chopped(1) && onActivate) {
                    qCInfo(lcInstance) << "a second start asks this copy to come forward";
                    onActivate();
                }
            });
        }
    });
    m_server = std::move(server);
    return true;
}

bool SingleInstance::sendControl(const QString &command, const QString &argument, QByteArray *answer,
                                 int timeoutMs) const
{
    answer->clear();
    if (!controlCommands().contains(command))
        return false;
    QByteArray request = command.toLatin1();
    if (!argument.isEmpty())
        request += ' ' + argument.toUtf8();
    request += '\n';
    if (request.size() > kMaxRequest)
        return false;
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;
    socket.write(request);
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return false;
    constexpr int kMaxAnswer = 64 * 1024;
    // The running copy closes the connection after its answer.
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired() && answer->size() < kMaxAnswer) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        answer->append(socket.read(kMaxAnswer - answer->size()));
    }
    answer->append(socket.read(kMaxAnswer - answer->size()));
    return answer->endsWith('\n');
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
