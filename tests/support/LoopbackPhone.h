#pragma once

// A phone's end of a TCP connection to a server on this machine. Waits run the event loop, as the
// server may live on the test's own thread. Bytes stay in the socket until asked for, so a test can
// stop reading and let replies pile up at the server.

#include "TestSupport.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace TestSupport {

class LoopbackPhone
{
public:
    // from: a loopback address of its own (127.0.0.x), to play another device.
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress(), int timeoutMs = 5000)
    {
        if (!from.isNull() && !m_socket.bind(from))
            return false;
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return waitFor([this] { return connected(); }, timeoutMs);
    }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    // True once the server has closed the connection (within timeoutMs).
    bool closedByPeer(int timeoutMs = 5000)
    {
        return waitFor([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }
    void write(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    // The next n bytes, or an empty array when they have not all come within timeoutMs.
    QByteArray bytes(int n, int timeoutMs = 5000)
    {
        waitFor([&] { return m_buffer.size() + m_socket.bytesAvailable() >= n; }, timeoutMs);
        m_buffer += m_socket.readAll();
        if (m_buffer.size() < n)
            return QByteArray();
        const QByteArray out = m_buffer.left(n);
        m_buffer.remove(0, n);
        return out;
    }
    // Everything the server sent that no bytes() call has taken yet.
    QByteArray unread()
    {
        m_buffer += m_socket.readAll();
        return m_buffer;
    }
    // True when nothing arrives for ms milliseconds.
    bool silentFor(int ms)
    {
        waitFor([] { return false; }, ms);
        return m_buffer.isEmpty() && m_socket.bytesAvailable() == 0;
    }
    void close()
    {
        m_socket.disconnectFromHost();
        waitFor([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, 3000);
    }
    QTcpSocket &socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
};

} // namespace TestSupport
