#include "wire/CFifoBuffer.h"
#include "wire/TcpSocket.h"

#include "tests/support/TestSupport.h"

#include <QtTest>
#include <QTcpServer>

#include <atomic>
#include <memory>
#include <thread>

using TestSupport::waitFor;

namespace {

// Hands out accepted descriptors the way the command and file servers do.
class DescriptorServer : public QTcpServer
{
public:
    QList<qintptr> pending;

protected:
    void incomingConnection(qintptr handle) override { pending << handle; }
};

// A byte pattern without short periods, so a lost, doubled or swapped piece shows at its offset.
inline char patternByte(qint64 i)
{
    return char((i ^ (i >> 11) ^ (i >> 19) ^ (i >> 27)) & 0xff);
}

QByteArray patternBlock(qint64 start, int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        b[i] = patternByte(start + i);
    return b;
}

// Sends `total` pattern bytes from its own thread as fast as the connection takes them, then closes.
class Sender
{
public:
    Sender(quint16 port, qint64 total, int block)
    {
        m_thread = std::thread([this, port, total, block] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            if (!s.waitForConnected(5000))
                return;
            m_connected = true;
            qint64 sent = 0;
            QElapsedTimer t;
            t.start();
            while (sent < total && !m_stop && t.elapsed() < 120000) {
                const int n = int(qMin<qint64>(block, total - sent));
                s.write(patternBlock(sent, n));
                sent += n;
                // Keep our own write buffer small: the point is to push against the receiver.
                while (s.bytesToWrite() > 4 * block && !m_stop && s.state() == QAbstractSocket::ConnectedState)
                    s.waitForBytesWritten(100);
            }
            while (s.bytesToWrite() > 0 && !m_stop && s.state() == QAbstractSocket::ConnectedState)
                s.waitForBytesWritten(100);
            m_sent = sent;
            s.disconnectFromHost();
            if (s.state() != QAbstractSocket::UnconnectedState)
                s.waitForDisconnected(5000);
            m_done = true;
        });
    }
    ~Sender()
    {
        m_stop = true;
        m_thread.join();
    }
    bool done() const { return m_done; }
    bool connected() const { return m_connected; }
    qint64 sent() const { return m_sent; }

private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_connected{false};
    std::atomic<qint64> m_sent{0};
};

// A connection's worker: takes pieces out of the ring, checks them against the pattern, optionally
// sleeping to be slower than the sender.
class SlowReader
{
public:
    SlowReader(CFifoBuffer *ring, qint64 expected, int piece, int sleepEveryBytes)
    {
        m_thread = std::thread([=] {
            QByteArray buf(piece, '\0');
            qint64 sinceSleep = 0;
            QElapsedTimer t;
            t.start();
            while (m_received < expected && !m_stop && t.elapsed() < 120000) {
                int n = int(qMin<qint64>(piece, expected - m_received));
                if (!ring->waitForData(n, 50))
                    continue;
                if (ring->get(buf.data(), &n) < 0)
                    continue;
                const qint64 at = m_received;
                for (int i = 0; i < n; ++i) {
                    if (buf.at(i) != patternByte(at + i) && m_firstBad < 0)
                        m_firstBad = at + i;
                }
                m_received += n;
                sinceSleep += n;
                if (sleepEveryBytes > 0 && sinceSleep >= sleepEveryBytes) {
                    sinceSleep = 0;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }
    ~SlowReader()
    {
        m_stop = true;
        m_thread.join();
    }
    qint64 received() const { return m_received; }
    qint64 firstBad() const { return m_firstBad; }

private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_received{0};
    std::atomic<qint64> m_firstBad{-1};
};

} // namespace

class TestTcpSocket : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void sendData_data();
    void sendData();
    void deliversEveryByteInOrder();
    void peerCloseIsReportedOnceAndEverythingIsDrained();
    void destroyingWithPeerConnectedReportsNothing();
    void ringAndSocketMayGoInEitherOrder();
    void twoHundredMiBThroughOneMiBRingToSlowReader();

private:
    // A connected pair: our TcpSocket on the server side, a plain client socket on the other.
    bool connectPair(QTcpSocket *client);
    DescriptorServer *m_server = nullptr;
    TcpSocket *m_socket = nullptr;
};

void TestTcpSocket::init()
{
    m_server = new DescriptorServer;
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
}

void TestTcpSocket::cleanup()
{
    delete m_socket;
    m_socket = nullptr;
    delete m_server;
    m_server = nullptr;
}

bool TestTcpSocket::connectPair(QTcpSocket *client)
{
    client->connectToHost(QHostAddress::LocalHost, m_server->serverPort());
    if (!waitFor([&] { return !m_server->pending.isEmpty(); }))
        return false;
    m_socket = new TcpSocket(int(m_server->pending.takeFirst()));
    return waitFor([&] { return client->state() == QAbstractSocket::ConnectedState; }) &&
        m_socket->state() == QAbstractSocket::ConnectedState;
}

void TestTcpSocket::sendData_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("plain") << QStringLiteral("hello") << QByteArray("hello");
    QTest::newRow("chinese as utf-8") << QStringLiteral("万特相册") << QStringLiteral("万特相册").toUtf8();
    QTest::newRow("stops at the first NUL") << QString::fromUtf8("before\0after", 12) << QByteArray("before");
    QTest::newRow("NUL first writes nothing") << QString::fromUtf8("\0abc", 4) << QByteArray();
    QTest::newRow("empty writes nothing") << QString() << QByteArray();
}

void TestTcpSocket::sendData()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    QTcpSocket client;
    QVERIFY(connectPair(&client));
    m_socket->sendData(text);
    m_socket->write("|"); // marks the end, so "nothing" can be seen
    QByteArray got;
    QVERIFY(waitFor([&] {
        got += client.readAll();
        return got.endsWith('|');
    }));
    QCOMPARE(got, wire + '|');
}

void TestTcpSocket::deliversEveryByteInOrder()
{
    QTcpSocket client;
    QVERIFY(connectPair(&client));
    QCOMPARE(m_socket->sockid(), int(m_socket->socketDescriptor()));
    QByteArray got;
    int chunks = 0;
    connect(m_socket, &TcpSocket::UpdateByte, this, [&](const QByteArray &b) {
        got += b;
        ++chunks;
    });
    const QByteArray sent = patternBlock(0, 3 * 1024 * 1024 + 17);
    client.write(sent);
    QVERIFY(waitFor([&] { return got.size() >= sent.size(); }, 20000));
    QVERIFY(got == sent);
    QVERIFY(chunks > 1);
}

void TestTcpSocket::peerCloseIsReportedOnceAndEverythingIsDrained()
{
    // The peer writes a lot more than the ring and Qt's buffer hold and closes at once; the reader
    // is slow, so most bytes are still waiting when the close is noticed.
    const qint64 total = 4 * 1024 * 1024 + 123;
    CFifoBuffer ring;
    ring.init(64 * 1024);
    auto sender = std::make_unique<Sender>(m_server->serverPort(), total, 32 * 1024);
    QVERIFY(waitFor([&] { return !m_server->pending.isEmpty(); }));
    m_socket = new TcpSocket(int(m_server->pending.takeFirst()));
    attachRing(m_socket, &ring);
    int refused = 0;
    connect(m_socket, &TcpSocket::UpdateByte, this, [&](const QByteArray &b) {
        if (ring.put(b.constData(), b.size()) != 0)
            ++refused;
    });
    QSignalSpy errors(m_socket, &TcpSocket::TcpRecvError);
    qint64 pendingAtError = -1;
    connect(m_socket, &TcpSocket::TcpRecvError, this,
            [&] { pendingAtError = m_socket->bytesAvailable() + ring.dataSize(); });
    m_socket->resumeReading();
    // Let the peer finish and close before the reader takes anything.
    QVERIFY(waitFor([&] { return m_socket->isReadingPaused(); }, 10000));
    auto reader = std::make_unique<SlowReader>(&ring, total, 1500, 16 * 1024);
    QVERIFY(waitFor([&] { return reader->received() == total && m_socket->drained(); }, 60000));
    QVERIFY(waitFor([&] { return sender->done(); }));
    QCOMPARE(sender->sent(), total);
    QCOMPARE(reader->firstBad(), qint64(-1));
    QCOMPARE(refused, 0);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), m_socket->sockid());
    QVERIFY2(pendingAtError > 0, "the close came after everything was read, so draining was not exercised");
    QCOMPARE(ring.dataSize(), 0);
    QCOMPARE(m_socket->bytesAvailable(), qint64(0));
}

void TestTcpSocket::destroyingWithPeerConnectedReportsNothing()
{
    QTcpSocket client;
    QVERIFY(connectPair(&client));
    QSignalSpy errors(m_socket, &TcpSocket::TcpRecvError);
    QSignalSpy clientGone(&client, &QTcpSocket::disconnected);
    client.write("still here");
    QVERIFY(waitFor([&] { return m_socket->bytesAvailable() > 0 || !m_socket->isReadingPaused(); }));
    delete m_socket;
    m_socket = nullptr;
    QVERIFY(waitFor([&] { return clientGone.count() == 1; }));
    QTest::qWait(50);
    QCOMPARE(errors.count(), 0);
}

void TestTcpSocket::ringAndSocketMayGoInEitherOrder()
{
    // The socket goes first while the ring is full: a later get must not touch it.
    {
        QTcpSocket client;
        QVERIFY(connectPair(&client));
        CFifoBuffer ring;
        ring.init(1024);
        attachRing(m_socket, &ring);
        connect(m_socket, &TcpSocket::UpdateByte, this,
                [&](const QByteArray &b) { QCOMPARE(ring.put(b.constData(), b.size()), 0); });
        client.write(patternBlock(0, 100000));
        QVERIFY(waitFor([&] { return m_socket->isReadingPaused(); }));
        QCOMPARE(ring.dataSize(), 1023);
        delete m_socket;
        m_socket = nullptr;
        char buf[1023];
        int len = 1023;
        QCOMPARE(ring.get(buf, &len), 1023);
        QCoreApplication::processEvents();
    }
    // The ring goes first: the socket stops reading and does not touch the freed ring.
    {
        QTcpSocket client;
        QVERIFY(connectPair(&client));
        auto ring = std::make_unique<CFifoBuffer>();
        ring->init(1024);
        attachRing(m_socket, ring.get());
        qint64 got = 0;
        connect(m_socket, &TcpSocket::UpdateByte, this, [&](const QByteArray &b) { got += b.size(); });
        ring.reset();
        client.write(patternBlock(0, 5000));
        QTest::qWait(100);
        QCOMPARE(got, qint64(0));
        QVERIFY(m_socket->isReadingPaused());
    }
}

void TestTcpSocket::twoHundredMiBThroughOneMiBRingToSlowReader()
{
    const qint64 total = 200LL * 1024 * 1024;
    const qint64 rssBefore = TestSupport::procStatus("VmRSS");
    const qint64 hwmBefore = TestSupport::procStatus("VmHWM");
    QVERIFY(rssBefore > 0 && hwmBefore > 0);

    CFifoBuffer ring;
    ring.init(1024 * 1024);
    auto sender = std::make_unique<Sender>(m_server->serverPort(), total, 64 * 1024);
    QVERIFY(waitFor([&] { return !m_server->pending.isEmpty(); }));
    m_socket = new TcpSocket(int(m_server->pending.takeFirst()));
    attachRing(m_socket, &ring);
    int refused = 0;
    connect(m_socket, &TcpSocket::UpdateByte, this, [&](const QByteArray &b) {
        if (ring.put(b.constData(), b.size()) != 0)
            ++refused;
    });
    m_socket->resumeReading();
    // 1 ms pause per 64 KiB read: at most ~60 MiB/s, well below what loopback carries.
    auto reader = std::make_unique<SlowReader>(&ring, total, 1500, 64 * 1024);
    int pausedSamples = 0;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] { pausedSamples += m_socket->isReadingPaused() ? 1 : 0; });
    sampler.start(5);

    QElapsedTimer t;
    t.start();
    QVERIFY(waitFor([&] { return reader->received() == total; }, 80000));
    const qint64 ms = t.elapsed();
    QVERIFY(waitFor([&] { return sender->done() && m_socket->drained(); }, 10000));
    sampler.stop();

    const qint64 rssAfter = TestSupport::procStatus("VmRSS");
    const qint64 hwmAfter = TestSupport::procStatus("VmHWM");
    qInfo("200 MiB in %lld ms (%.1f MiB/s); paused samples %d; VmRSS %lld -> %lld KiB, VmHWM %lld -> %lld KiB", ms,
          200.0 * 1000.0 / qMax<qint64>(ms, 1), pausedSamples, rssBefore, rssAfter, hwmBefore, hwmAfter);
    QCOMPARE(sender->sent(), total);
    QCOMPARE(reader->firstBad(), qint64(-1));
    QCOMPARE(refused, 0);
    QCOMPARE(ring.dataSize(), 0);
    QVERIFY2(pausedSamples > 0, "the reader was never the bottleneck, so back-pressure was not exercised");
#ifndef VANTEO_SANITIZED // the address sanitizer's quarantine keeps freed buffers resident
    QVERIFY2(hwmAfter - hwmBefore < 64 * 1024, "peak memory grew by 64 MiB or more");
    QVERIFY2(rssAfter - rssBefore < 64 * 1024, "memory grew by 64 MiB or more");
#endif
}

QTEST_GUILESS_MAIN(TestTcpSocket)
#include "tst_tcpsocket.moc"
