#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QString>
#include <QTcpSocket>

#include <atomic>
#include <functional>
#include <memory>

class CFifoBuffer;
class QThread;

// The socket of one accepted connection, command or file. It does no framing: every chunk it reads
// goes out through UpdateByte, in order, and a broken connection is reported with TcpRecvError.
//
// No received byte is ever dropped. With a room provider set (attachRing does that), readData()
// hands out at most room() bytes; when there is no room it stops reading. Qt's own read buffer is
// bounded (kReadBufferSize), so the rest stays in the kernel and TCP flow control slows the phone.
// resumeReading() carries on once the consumer has made room.
//
// Draining after the peer closed: the peer's close is noticed only after everything it sent has
// reached Qt's buffer. TcpRecvError then comes while bytes may still wait in Qt's buffer (held back
// for lack of room) and in the consumer's ring. Those bytes are still delivered: do not close()
// or delete the socket on TcpRecvError, keep taking records from the ring; every get() that frees
// room makes the socket deliver more (through resumeReading()), even though the peer is gone.
// drained() turns true once the peer is gone and every received byte has been emitted through
// UpdateByte; a consumer is done when drained() is true and its ring holds no complete unit.
class TcpSocket : public QTcpSocket
{
    Q_OBJECT
public:
    static constexpr qint64 kReadBufferSize = 256 * 1024;

    explicit TcpSocket(int socketDescriptor, QObject *parent = nullptr);
    ~TcpSocket() override; // closing flag, then disconnectFromHost(): no TcpRecvError from here on

    int sockid() const; // the descriptor given at construction

    // Back-pressure: readData() emits UpdateByte with at most room() bytes; with no room it stops
    // reading until resumeReading(). Without a provider every available byte is emitted at once.
    void setRoomProvider(std::function<qint64()> room);

    // Thread-safe: true once the peer has gone (or the connection failed) and every byte received
    // has been emitted through UpdateByte.
    bool drained() const;
    // Thread-safe: true while reading is held back for lack of room.
    bool isReadingPaused() const;

signals:
    void UpdateText(QString);
    void UpdateByte(QByteArray);
    void UpdateMaximum(int);
    void UpdatePercent(int);
    void TcpRecvError(int);
    void sockDisConnect(int, QString, ushort, QThread *);

public slots:
    void sendData(QString strContent); // UTF-8 up to the first NUL, nothing added
    void resumeReading();              // safe to invoke queued from any thread

protected slots:
    void readData();
    void receive_error(QAbstractSocket::SocketError);

private:
    friend void attachRing(TcpSocket *socket, CFifoBuffer *ring);

    // TCP keepalive on a connected socket: a phone that walks out of Wi-Fi range, or a PC that slept,
    // leaves connections that no FIN or RST ever ends; after a minute of silence a few probes find
    // them dead and the socket reports an error instead of holding its place for ever.
    void enableKeepAlive(qintptr descriptor);
    struct Gate;

    void peerGone();
    void updateDrained();

    const int m_sockid;
    bool m_closing = false;
    bool m_peerGone = false;
    bool m_inRead = false;
    std::atomic<bool> m_drained{false};
    std::function<qint64()> m_room;
    std::shared_ptr<Gate> m_gate;
};

// Wires a socket to a ring: room = the ring's free space, and the ring's space listener queues
// resumeReading() when the socket is paused and the reader has made enough room. After this, a
// consumer slot connected to UpdateByte that puts each chunk into the ring always fits. The ring
// may be released before the socket goes (the socket then stops reading); the socket may go first.
void attachRing(TcpSocket *socket, CFifoBuffer *ring);

// TCP keepalive on a connected socket: a phone that walks out of Wi-Fi range, or a PC that slept,
// leaves connections that no FIN or RST ever ends; after a minute of silence a few probes find
// them dead and the socket reports an error instead of holding its place for ever.
void enableKeepAlive(qintptr descriptor);
