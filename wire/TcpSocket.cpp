#include "wire/TcpSocket.h"

#include "wire/CFifoBuffer.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

Q_LOGGING_CATEGORY(lcTcpSocket, "vanteo.link.socket", QtWarningMsg)

// Shared between a socket and the ring it feeds, so that either can go first: the reader's thread
// reaches the socket only through here, under the mutex, and only while the socket still exists.
struct TcpSocket::Gate
{
    QMutex mutex;
    TcpSocket *socket = nullptr;
    CFifoBuffer *ring = nullptr;
    int resumeAt = 1; // free bytes that make a paused socket read again
    std::atomic<bool> paused{false};
};

TcpSocket::TcpSocket(int socketDescriptor, QObject *parent)
    : QTcpSocket(parent), m_sockid(socketDescriptor), m_gate(std::make_shared<Gate>())
{
    m_gate->socket = this;
    // Bounded, so that bytes we can't hand on stay in the kernel and the sender is slowed down.
    setReadBufferSize(kReadBufferSize);
    if (!setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite))
        qCWarning(lcTcpSocket) << "cannot adopt descriptor" << socketDescriptor << errorString();
    connect(this, &QTcpSocket::readyRead, this, &TcpSocket::readData);
    connect(this, &QAbstractSocket::errorOccurred, this, &TcpSocket::receive_error);
    connect(this, &QAbstractSocket::disconnected, this, &TcpSocket::peerGone);
}

TcpSocket::~TcpSocket()
{
    // The flag goes first: disconnecting may itself report an error, and nobody must hear it
    // from an object that is going away.
    m_closing = true;
    {
        QMutexLocker locker(&m_gate->mutex);
        m_gate->socket = nullptr;
    }
    disconnect(this, &QAbstractSocket::errorOccurred, this, &TcpSocket::receive_error);
    disconnect(this, &QTcpSocket::readyRead, this, &TcpSocket::readData);
    disconnect(this, &QAbstractSocket::disconnected, this, &TcpSocket::peerGone);
    disconnectFromHost();
}

int TcpSocket::sockid() const
{
    return m_sockid;
}

void TcpSocket::setRoomProvider(std::function<qint64()> room)
{
    m_room = std::move(room);
}

bool TcpSocket::drained() const
{
    return m_drained.load();
}

bool TcpSocket::isReadingPaused() const
{
    return m_gate->paused.load();
}

void TcpSocket::sendData(QString strContent)
{
    QByteArray bytes = strContent.toUtf8();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    if (!bytes.isEmpty())
        write(bytes);
}

void TcpSocket::resumeReading()
{
    m_gate->paused.store(false);
    readData();
}

void TcpSocket::readData()
{
    if (m_inRead)
        return; // a consumer that spins the event loop inside UpdateByte must not reorder chunks
    m_inRead = true;
    for (;;) {
        const qint64 available = bytesAvailable();
        if (available <= 0)
            break;
        qint64 n = available;
        if (m_room) {
            qint64 room = m_room();
            if (room <= 0) {
                m_gate->paused.store(true);
                // The reader may have made room before it could see the flag; look once more.
                room = m_room();
                if (room <= 0)
                    break;
                m_gate->paused.store(false);
            }
            n = qMin(n, room);
        }
        n = qMin<qint64>(n, 64 * 1024 * 1024);
        QByteArray chunk(int(n), Qt::Uninitialized);
        const qint64 got = read(chunk.data(), n);
        if (got <= 0)
            break;
        if (got < n)
            chunk.truncate(int(got));
        emit UpdateByte(chunk);
    }
    m_inRead = false;
    updateDrained();
}

void TcpSocket::receive_error(QAbstractSocket::SocketError)
{
    if (m_closing)
        return;
    m_peerGone = true;
    updateDrained();
    emit TcpRecvError(m_sockid);
}

void TcpSocket::peerGone()
{
    m_peerGone = true;
    updateDrained();
}

void TcpSocket::updateDrained()
{
    if (m_peerGone && !m_drained.load() && bytesAvailable() <= 0)
        m_drained.store(true);
}

void attachRing(TcpSocket *socket, CFifoBuffer *ring)
{
    const std::shared_ptr<TcpSocket::Gate> gate = socket->m_gate;
    {
        QMutexLocker locker(&gate->mutex);
        gate->ring = ring;
        // Resume only once a useful amount is free, not after every 255-byte record taken.
        gate->resumeAt = qMax(1, qMin(64 * 1024, (ring->capacity() - 1) / 2));
    }
    socket->setRoomProvider([gate]() -> qint64 {
        QMutexLocker locker(&gate->mutex);
        return gate->ring ? gate->ring->freeSpace() : 0;
    });
    ring->setSpaceListener([gate]() {
        if (!gate->paused.load())
            return;
        QMutexLocker locker(&gate->mutex);
        if (!gate->socket || !gate->ring || gate->ring->freeSpace() < gate->resumeAt)
            return;
        if (gate->paused.exchange(false))
            QMetaObject::invokeMethod(gate->socket, &TcpSocket::resumeReading, Qt::QueuedConnection);
    });
    ring->setReleaseListener([gate]() {
        QMutexLocker locker(&gate->mutex);
        gate->ring = nullptr;
    });
}

void enableKeepAlive(qintptr descriptor)
{
    // Idle 60 s, then 4 probes 10 s apart: a vanished peer is let go after about 100 s.
    const int fd = int(descriptor);
    const int on = 1, idle = 60, interval = 10, probes = 4;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}
