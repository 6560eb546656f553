#pragma once

// Two FTP servers for the tests, both on loopback only:
// - PyFtpServer: a real server (pyftpdlib, tests/ftp/ftpserver.py) in a child process.
// - FakeFtpServer: a scripted control connection on a thread of its own, for replies a real
//   server won't give. The client under test blocks its thread, so the fake must not share it.

#include "tests/support/ServerProcess.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QSemaphore>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <functional>
#include <memory>

class PyFtpServer
{
public:
    // Starts the server over root; false (with *error) when it does not listen within 15 s.
    bool start(const QString &root, const QString &user, const QString &password, QString *error)
    {
        QString why;
        if (m_server.start(QStringLiteral(VANTEO_FTPSERVER_PY),
                           {QStringLiteral("--root"), root, QStringLiteral("--user"), user,
                            QStringLiteral("--password"), password},
                           QProcess::SeparateChannels, &why))
            return true;
        *error = QStringLiteral("FTP server did not start (pyftpdlib missing? run scripts/deps.sh): ") + why;
        return false;
    }

    quint16 port() const { return m_server.port(); }

    // Names of the stored files in the order the server received them; waits up to ms for count.
    QStringList received(int count, int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        while (m_received.size() < count && !deadline.hasExpired())
            m_server.readLines(50);
        m_server.readLines(0);
        return m_received;
    }

    void stop() { m_server.stop(); }

private:
    QStringList m_received;
    TestSupport::PythonServerProcess m_server{QStringLiteral("LISTENING "), [this](const QString &line) {
                                                  if (line.startsWith(QLatin1String("RECEIVED ")))
                                                      m_received << line.mid(9);
                                              }};
};

class FakeFtpServer : public QThread
{
public:
    using Script = std::function<void(FakeFtpServer &, QTcpSocket &)>;

    explicit FakeFtpServer(Script script) : m_script(std::move(script)) { }
    ~FakeFtpServer() override { wait(15000); }

    // Starts the thread and waits until it listens.
    bool listen()
    {
        start();
        return m_ready.tryAcquire(1, 5000) && m_port != 0;
    }
    quint16 port() const { return m_port; }

    QStringList commands() const
    {
        QMutexLocker lock(&m_mutex);
        return m_commands;
    }
    QByteArray dataReceived() const
    {
        QMutexLocker lock(&m_mutex);
        return m_data;
    }
    bool connected() const { return m_connected.available() > 0; }

    // --- for scripts (server thread) ---

    // The next command line from the client, recorded; empty when none comes within ms.
    QString expect(QTcpSocket &c, int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        while (!c.canReadLine() && !deadline.hasExpired() && c.state() == QAbstractSocket::ConnectedState)
            c.waitForReadyRead(50);
        if (!c.canReadLine())
            return QString();
        const QString line = QString::fromUtf8(c.readLine()).remove(QStringLiteral("\r\n"));
        QMutexLocker lock(&m_mutex);
        m_commands << line;
        return line;
    }

    void reply(QTcpSocket &c, const QByteArray &line)
    {
        c.write(line + "\r\n");
        c.waitForBytesWritten(2000);
    }

    // Waits until the client closes the control connection (bounded).
    void waitClosed(QTcpSocket &c, int ms = 10000)
    {
        QDeadlineTimer deadline(ms);
        while (c.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            c.waitForReadyRead(50);
            c.readAll();
        }
    }

    // Answers PASV with a data listener on 127.0.0.1 announced as announcedHost ("127,0,0,1").
    std::unique_ptr<QTcpServer> passive(QTcpSocket &c, const QByteArray &announcedHost)
    {
        auto data = std::make_unique<QTcpServer>();
        data->listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
        const quint16 p = data->serverPort();
        reply(c,
              "227 Entering Passive Mode (" + announcedHost + "," + QByteArray::number(p / 256) + "," +
                  QByteArray::number(p % 256) + ").");
        return data;
    }

    // Accepts the data connection and reads until the client closes it.
    void receiveData(QTcpServer &data)
    {
        if (!data.hasPendingConnections() && !data.waitForNewConnection(5000))
            return;
        std::unique_ptr<QTcpSocket> s(data.nextPendingConnection());
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (s->bytesAvailable() == 0 && s->state() != QAbstractSocket::ConnectedState)
                break;
            s->waitForReadyRead(50);
            const QByteArray chunk = s->readAll();
            QMutexLocker lock(&m_mutex);
            m_data += chunk;
        }
    }

    QSemaphore checkpoint; // released by scripts at interesting moments
    QSemaphore go;         // released by tests to let a script continue

protected:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
        m_port = server.serverPort();
        m_ready.release();
        if (!server.waitForNewConnection(10000))
            return;
        std::unique_ptr<QTcpSocket> c(server.nextPendingConnection());
        m_connected.release();
        m_script(*this, *c);
        c->abort();
    }

private:
    Script m_script;
    QSemaphore m_ready;
    QSemaphore m_connected;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QStringList m_commands;
    QByteArray m_data;
};
