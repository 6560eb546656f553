#include "ftp/FTP_Client.h"

#include "fileops/FileOps.h"

#include "platform/Dialogs.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>

Q_LOGGING_CATEGORY(lcFtp, "vanteo.ftp")

namespace {

// Long waits are cut into slices so an abort request is noticed quickly.
constexpr int kSliceMs = 100;

int sliceOf(const QDeadlineTimer &deadline)
{
    const qint64 left = deadline.remainingTime();
    return int(qBound<qint64>(0, left, kSliceMs));
}

bool startsWith(const QString &reply, const char *code)
{
    return reply.startsWith(QLatin1String(code));
}

} // namespace

FTP_Client::FTP_Client(QObject *parent) : QObject(parent), m_control(new QTcpSocket(this))
{
}

FTP_Client::~FTP_Client()
{
    // Sockets are children; closing them here keeps it on the thread that used them.
    if (m_data)
        m_data->abort();
    m_control->abort();
}

void FTP_Client::setWaitTimeout(int ms)
{
    m_waitMs = qMax(1, ms);
}

bool FTP_Client::aborted() const
{
    return m_abortFlag && m_abortFlag->load();
}

bool FTP_Client::isSafeArgument(const QString &text)
{
    return !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n'));
}

// ---------------------------------------------------------------------------------------------
// Waiting

bool FTP_Client::waitForLine(QTcpSocket *socket)
{
    QDeadlineTimer deadline(m_waitMs);
    while (!socket->canReadLine()) {
        if (aborted() || deadline.hasExpired() || socket->state() != QAbstractSocket::ConnectedState)
            return socket->bytesAvailable() > 0;
        socket->waitForReadyRead(sliceOf(deadline));
    }
    return true;
}

bool FTP_Client::waitForData(QTcpSocket *socket)
{
    QDeadlineTimer deadline(m_waitMs);
    while (socket->bytesAvailable() == 0) {
        if (aborted() || deadline.hasExpired() || socket->state() != QAbstractSocket::ConnectedState)
            return false;
        socket->waitForReadyRead(sliceOf(deadline));
    }
    return true;
}

bool FTP_Client::waitUntilWritten(QTcpSocket *socket)
{
    QDeadlineTimer deadline(m_waitMs);
    while (socket->bytesToWrite() > 0) {
        if (aborted() || deadline.hasExpired() || socket->state() != QAbstractSocket::ConnectedState)
            return false;
        socket->waitForBytesWritten(sliceOf(deadline));
    }
    return true;
}

// A data connection ends when the server closes it; everything up to then is the payload.
QByteArray FTP_Client::readUntilClosed(QTcpSocket *socket)
{
    QByteArray bytes;
    QDeadlineTimer deadline(m_waitMs);
    for (;;) {
        bytes += socket->readAll();
        if (socket->state() != QAbstractSocket::ConnectedState) {
            bytes += socket->readAll();
            break;
        }
        if (aborted() || deadline.hasExpired())
            break;
        if (socket->waitForReadyRead(sliceOf(deadline)))
            deadline.setRemainingTime(m_waitMs); // the wait bounds silence, not the whole transfer
    }
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Lines on the control connection

QString FTP_Client::RecvLine(QTcpSocket *socket)
{
    if (!socket || !socket->isOpen())
        return QString();
    if (!waitForLine(socket))
        return QString();
    const QByteArray first = socket->readLine(8192);
    // A multi-line reply ("123-" ... "123 ") is cut to its first line: its other lines are
    // consumed here. A following reply that came in the same read stays for the next call.
    if (first.size() >= 4 && first.at(3) == '-') {
        const QByteArray end = first.left(3) + ' ';
        for (;;) {
            if (!waitForLine(socket))
                break;
            const QByteArray line = socket->readLine(8192);
            if (line.startsWith(end) || line.isEmpty())
                break;
        }
    }
    return QString::fromLatin1(first);
}

QStringList FTP_Client::RecvAll(QTcpSocket *socket)
{
    QStringList lines;
    if (!socket || !socket->isOpen())
        return lines;
    if (!waitForData(socket))
        return lines;
    // Take what arrived; a reply still missing its line end gets the rest of the wait.
    QByteArray bytes = socket->readAll();
    QDeadlineTimer deadline(m_waitMs);
    while (!bytes.endsWith("\r\n") && !aborted() && !deadline.hasExpired() &&
           socket->state() == QAbstractSocket::ConnectedState) {
        if (socket->waitForReadyRead(sliceOf(deadline)))
            bytes += socket->readAll();
    }
    QStringList pieces = QString::fromUtf8(bytes).split(QStringLiteral("\r\n"));
    pieces.removeLast(); // what follows the last line end is not a line
    return pieces;
}

int FTP_Client::SendLine(QTcpSocket *socket, QString str)
{
    if (!socket || !socket->isOpen())
        return -1;
    if (!isSafeArgument(str)) {
        qCWarning(lcFtp) << "refusing a command line with a line break";
        return -1;
    }
    waitUntilWritten(socket);
    const QByteArray bytes = str.toUtf8() + "\r\n";
    if (socket->write(bytes) != bytes.size())
        return -1;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Connect and login

int FTP_Client::ConnectFTP(QString server, int port, QString user, QString passwd)
{
    m_server = server;
    m_lastCommand = QStringLiteral("Welcome");
    bool usable = true;
    if (server.isEmpty()) {
        Dialogs::message(nullptr, Dialogs::Warning, QStringLiteral("Warning"),
                         QStringLiteral("You must input an address in IP/Domain."), Dialogs::Ok);
        usable = false;
    }
    if (port < 1 || port > 65535) {
        Dialogs::message(nullptr, Dialogs::Warning, QStringLiteral("Warning"),
                         QStringLiteral("The port number is out of range. [1~65535]"), Dialogs::Ok);
        usable = false;
    }
    m_user = user;
    m_password = passwd;
    if (m_control->isOpen() || m_control->state() != QAbstractSocket::UnconnectedState)
        m_control->abort();
    // A port outside 1..65535 would wrap to some other port; there is nothing sensible to reach.
    if (!usable)
        return -1;

    m_control->connectToHost(server, quint16(port), QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    if (!m_control->waitForConnected(kControlConnectMs)) {
        m_control->abort();
        return -1;
    }
    const QString greeting = RecvLine(m_control);
    if (!startsWith(greeting, "220")) {
        qCDebug(lcFtp) << "no greeting:" << greeting.trimmed();
        return -1;
    }
    return Login(user, passwd);
}

int FTP_Client::Login(const QString &user, const QString &passwd)
{
    if (!isSafeArgument(user) || !isSafeArgument(passwd))
        return -1;
    if (SendLine(m_control, QStringLiteral("USER ") + user) != 0)
        return -1;
    m_lastCommand = QStringLiteral("USER");
    const QString reply = RecvLine(m_control);
    if (reply.isEmpty())
        return -1; // no answer at all is no login
    if (startsWith(reply, "2"))
        return 0;
    if (startsWith(reply, "4") || startsWith(reply, "5"))
        return -1;

    if (SendLine(m_control, QStringLiteral("PASS ") + passwd) != 0)
        return -1;
    m_lastCommand = QStringLiteral("PASS");
    const QStringList lines = RecvAll(m_control);
    if (lines.isEmpty() || !lines.last().startsWith(QLatin1Char('2')))
        return -1;

    SendLine(m_control, QStringLiteral("TYPE I"));
    m_lastCommand = QStringLiteral("TYPE");
    RecvLine(m_control);
    SendLine(m_control, QStringLiteral("SYST"));
    m_lastCommand = QStringLiteral("SYST");
    RecvLine(m_control);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Passive data connection

FTP_Client::PassiveAddress FTP_Client::parsePassiveReply(const QByteArray &reply)
{
    int numbers[6] = {0, 0, 0, 0, 0, 0};
    int index = 0;
    bool digitSeen = false;
    const int space = reply.indexOf(' ');
    for (int i = space < 0 ? reply.size() : space + 1; i < reply.size() && index < 6; ++i) {
        const char c = reply.at(i);
        if (c >= '0' && c <= '9') {
            // Capped so a run of digits cannot overflow; such a number is no address anyway.
            numbers[index] = qMin(numbers[index] * 10 + (c - '0'), 1000000);
            digitSeen = true;
        } else if (c == ',' && digitSeen) {
            ++index;
            digitSeen = false;
        }
    }
    PassiveAddress address;
    address.numbers = index + (index < 6 && digitSeen ? 1 : 0);
    address.host = QStringLiteral("%1.%2.%3.%4").arg(numbers[0]).arg(numbers[1]).arg(numbers[2]).arg(numbers[3]);
    address.port = quint16(numbers[4] * 256 + numbers[5]);
    return address;
}

void FTP_Client::dropDataSocket()
{
    if (!m_data)
        return;
    m_data->abort();
    delete m_data;
    m_data = nullptr;
}

void FTP_Client::closeDataSocket()
{
    if (!m_data)
        return;
    if (m_data->state() == QAbstractSocket::ConnectedState) {
        m_data->disconnectFromHost();
        if (m_data->state() != QAbstractSocket::UnconnectedState)
            m_data->waitForDisconnected(kDataConnectMs);
    }
    m_data->close();
}

int FTP_Client::PassiveConnect()
{
    m_transferMode = QStringLiteral("PASV");
    if (SendLine(m_control, QStringLiteral("PASV")) != 0)
        return -1;
    const QString reply = RecvLine(m_control);
    if (!startsWith(reply, "227"))
        return -1;
    const PassiveAddress address = parsePassiveReply(reply.toLatin1());

    dropDataSocket();
    m_data = new QTcpSocket(this);
    m_data->connectToHost(address.host, address.port, QIODevice::ReadWrite);
    if (!m_data->waitForConnected(kDataConnectMs)) {
        // Servers behind NAT announce an address nobody outside can reach.
        qCDebug(lcFtp) << "passive address" << address.host << "unreachable, using" << m_server;
        m_data->abort();
        m_data->connectToHost(m_server, address.port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
        if (!m_data->waitForConnected(kDataConnectMs)) {
            dropDataSocket();
            return -1;
        }
    }
    return 0;
}

bool FTP_Client::isTransferStart(const QString &reply)
{
    // 125 "connection already open" is what a server says when our passive connection was
    // accepted before the command arrived; 150 when it was not yet. Both start the transfer.
    return startsWith(reply, "150") || startsWith(reply, "125");
}

// ---------------------------------------------------------------------------------------------
// Commands

QString FTP_Client::quotedPath(const QString &reply)
{
    const int first = reply.indexOf(QLatin1Char('"'));
    if (first < 0)
        return QString();
    const int second = reply.indexOf(QLatin1Char('"'), first + 1);
    if (second < 0)
        return QString();
    return reply.mid(first + 1, second - first - 1);
}

QString FTP_Client::PWD()
{
    if (SendLine(m_control, QStringLiteral("PWD")) != 0)
        return QString();
    m_lastCommand = QStringLiteral("PWD");
    const QString reply = RecvLine(m_control);
    if (!startsWith(reply, "257"))
        return QString();
    return quotedPath(reply);
}

int FTP_Client::MKD(const QString &name, QString *created)
{
    if (!isSafeArgument(name) || SendLine(m_control, QStringLiteral("MKD ") + name) != 0)
        return -1;
    m_lastCommand = QStringLiteral("MKD");
    const QString reply = RecvLine(m_control);
    if (!startsWith(reply, "2"))
        return -1;
    if (created)
        *created = quotedPath(reply);
    return 0;
}

int FTP_Client::RMD(const QString &name)
{
    if (!isSafeArgument(name) || SendLine(m_control, QStringLiteral("RMD ") + name) != 0)
        return -1;
    m_lastCommand = QStringLiteral("RMD");
    return startsWith(RecvLine(m_control), "2") ? 0 : -1;
}

int FTP_Client::LIST(const QString &path, QStringList *lines)
{
    if (!isSafeArgument(path))
        return -1;
    QString target = path;
    if (target.isEmpty()) {
        target = PWD();
        if (target.isEmpty())
            return -1;
    }
    if (PassiveConnect() != 0)
        return -1;
    if (SendLine(m_control, QStringLiteral("LIST ") + target) != 0)
        return -1;
    m_lastCommand = QStringLiteral("LIST");
    if (!isTransferStart(RecvLine(m_control))) {
        dropDataSocket();
        return -1;
    }
    QStringList listing = QString::fromUtf8(readUntilClosed(m_data)).split(QStringLiteral("\r\n"));
    listing.removeLast();
    closeDataSocket();
    if (lines)
        *lines = listing;
    return startsWith(RecvLine(m_control), "2") ? 0 : -1;
}

int FTP_Client::RETR(const QString &folder, const QString &name)
{
    // The local file stays inside folder whatever the remote name holds.
    const QString localName = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    if (!isSafeArgument(name) || localName.isEmpty() || localName == QLatin1String("..") ||
        localName == QLatin1String("."))
        return -1;
    if (PassiveConnect() != 0)
        return -1;
    if (SendLine(m_control, QStringLiteral("RETR ") + name) != 0)
        return -1;
    m_lastCommand = QStringLiteral("RETR");
    if (!isTransferStart(RecvLine(m_control))) {
        dropDataSocket();
        return -1;
    }
    const QByteArray content = readUntilClosed(m_data);
    closeDataSocket();
    if (!startsWith(RecvLine(m_control), "2"))
        return -1;
    // Put in place only when complete, so a failed transfer never replaces a file already there.
    const QByteArray local = QFile::encodeName(folder + QLatin1Char('/') + localName);
    return FileOps::writeReplacing(local, content, FileOps::SyncPolicy::FileAndFolder) ? 0 : -1;
}

int FTP_Client::STOR(const QString &localPath)
{
    const QString remoteName = localPath.mid(localPath.lastIndexOf(QLatin1Char('/')) + 1);
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcFtp) << "cannot open" << localPath;
        return -1;
    }
    return storeData(&file, file.size(), remoteName);
}

int FTP_Client::storeData(QIODevice *source, qint64 size, const QString &remoteName)
{
    if (remoteName.isEmpty() || !isSafeArgument(remoteName))
        return -1;
    if (PassiveConnect() != 0)
        return -1;
    m_lastCommand = QStringLiteral("STOR");
    if (SendLine(m_control, QStringLiteral("STOR ") + remoteName) != 0) {
        dropDataSocket();
        return -1;
    }
    if (!isTransferStart(RecvLine(m_control))) {
        dropDataSocket();
        return -1;
    }
    m_control->flush();

    qint64 sent = 0;
    bool complete = true;
    while (sent < size) {
        if (!waitUntilWritten(m_data)) {
            complete = false;
            break;
        }
        const QByteArray block = source->read(qMin<qint64>(kBlockSize, size - sent));
        if (block.isEmpty()) {
            complete = false; // the file shrank since it was opened
            break;
        }
        if (m_data->write(block) != block.size()) {
            complete = false;
            break;
        }
        sent += block.size();
    }
    if (complete)
        complete = waitUntilWritten(m_data);
    if (complete) {
        m_data->flush();
        closeDataSocket();
    } else {
        // A reset tells the server the file is incomplete; its reply is still read so the
        // control connection stays in step.
        qCDebug(lcFtp) << "upload of" << remoteName << "ended after" << sent << "of" << size << "bytes";
        m_data->abort();
    }
    const QString reply = RecvLine(m_control);
    return complete && startsWith(reply, "2") ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Slots

int FTP_Client::RefreshFileList()
{
    QStringList lines;
    if (LIST(QString(), &lines) == 0)
        m_fileList = lines;
    return 0;
}

int FTP_Client::Delete()
{
    Dialogs::message(nullptr, Dialogs::Information, QStringLiteral("Info"),
                     QStringLiteral("Delete file hasn't been implemented."), Dialogs::Ok);
    return 0;
}

int FTP_Client::AddFolder()
{
    bool ok = false;
    const QString name =
        Dialogs::text(nullptr, QStringLiteral("Create new Folder"), QStringLiteral("Please input new folder name"),
                      QStringLiteral("new folder"), &ok);
    if (ok) {
        MKD(name);
        RefreshFileList();
    }
    return 0;
}

int FTP_Client::Upload(QString fileName)
{
    if (fileName.isEmpty())
        return 0;
    return STOR(fileName);
}

int FTP_Client::Download()
{
    return RETR(QString(), QString());
}

int FTP_Client::ClearTaskList()
{
    m_taskList.clear();
    return 0;
}

int FTP_Client::Quit()
{
    if (SendLine(m_control, QStringLiteral("QUIT")) != 0)
        return -1;
    if (!startsWith(RecvLine(m_control), "2"))
        return -1;
    m_control->disconnectFromHost();
    if (m_control->state() != QAbstractSocket::UnconnectedState)
        m_control->waitForDisconnected(kDataConnectMs);
    m_control->close();
    return 0;
}
