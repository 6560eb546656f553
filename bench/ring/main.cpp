// Loopback throughput of the receive path every connection uses (TcpSocket -> UpdateByte -> ring ->
// worker thread taking 1500-byte pieces), against the floor of a plain QTcpSocket whose bytes are
// read and thrown away, in the same run. The ring path copies every byte twice more (into the ring,
// out of it) and takes a lock per 1500-byte piece. Target: at least a third of the floor, which on
// any machine is far above what a phone sends over Wi-Fi.
#include "wire/CFifoBuffer.h"
#include "wire/TcpSocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

const qint64 kTotal = 512LL * 1024 * 1024;

class DescriptorServer : public QTcpServer
{
public:
    qintptr pending = -1;

protected:
    void incomingConnection(qintptr handle) override { pending = handle; }
};

void sendAll(quint16 port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return;
    const QByteArray block(256 * 1024, 'x');
    qint64 sent = 0;
    while (sent < kTotal && s.state() == QAbstractSocket::ConnectedState) {
        s.write(block);
        sent += block.size();
        while (s.bytesToWrite() > 1024 * 1024 && s.state() == QAbstractSocket::ConnectedState)
            s.waitForBytesWritten(100);
    }
    while (s.bytesToWrite() > 0 && s.state() == QAbstractSocket::ConnectedState)
        s.waitForBytesWritten(100);
    s.disconnectFromHost();
    if (s.state() != QAbstractSocket::UnconnectedState)
        s.waitForDisconnected(5000);
}

bool spin(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    return done();
}

// Milliseconds for kTotal bytes through a plain socket; -1 on failure.
qint64 runPlain()
{
    DescriptorServer server;
    server.listen(QHostAddress::LocalHost, 0);
    std::thread sender(sendAll, server.serverPort());
    QElapsedTimer t;
    t.start();
    qint64 got = 0;
    std::unique_ptr<QTcpSocket> socket;
    spin([&] { return server.pending >= 0; }, 5000);
    socket = std::make_unique<QTcpSocket>();
    socket->setSocketDescriptor(server.pending);
    QByteArray sink(256 * 1024, '\0');
    QObject::connect(socket.get(), &QTcpSocket::readyRead, [&] {
        while (socket->bytesAvailable() > 0)
            got += socket->read(sink.data(), sink.size());
    });
    const bool ok = spin([&] { return got >= kTotal; }, 120000);
    const qint64 ms = t.elapsed();
    socket.reset();
    sender.join();
    return ok ? ms : -1;
}

// Milliseconds for kTotal bytes through TcpSocket, a ring of ringSize and a worker thread.
qint64 runRing(int ringSize)
{
    DescriptorServer server;
    server.listen(QHostAddress::LocalHost, 0);
    std::thread sender(sendAll, server.serverPort());
    QElapsedTimer t;
    t.start();
    spin([&] { return server.pending >= 0; }, 5000);
    CFifoBuffer ring;
    ring.init(ringSize);
    auto socket = std::make_unique<TcpSocket>(int(server.pending));
    attachRing(socket.get(), &ring);
    int refused = 0;
    QObject::connect(socket.get(), &TcpSocket::UpdateByte, [&](const QByteArray &b) {
        if (ring.put(b.constData(), b.size()) != 0)
            ++refused;
    });
    std::atomic<qint64> got{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buf[1500];
        while (got < kTotal && !stop) {
            int n = int(qMin<qint64>(sizeof buf, kTotal - got));
            if (ring.waitForData(n, 50) && ring.get(buf, &n) > 0)
                got += n;
        }
    });
    socket->resumeReading();
    const bool ok = spin([&] { return got >= kTotal; }, 120000);
    const qint64 ms = t.elapsed();
    stop = true;
    reader.join();
    socket.reset();
    sender.join();
    if (refused > 0)
        std::printf("  ring refused %d chunks\n", refused);
    return ok && refused == 0 ? ms : -1;
}

double mibPerS(qint64 ms)
{
    return ms > 0 ? double(kTotal) / (1024.0 * 1024.0) / (double(ms) / 1000.0) : 0.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("bench_ring: %lld MiB over loopback, best of 3\n", kTotal / (1024 * 1024));
    qint64 plain = -1, command = -1, file = -1;
    for (int i = 0; i < 3; ++i) {
        const qint64 p = runPlain(), c = runRing(0x600000), f = runRing(0xa00000);
        if (p > 0 && (plain < 0 || p < plain))
            plain = p;
        if (c > 0 && (command < 0 || c < command))
            command = c;
        if (f > 0 && (file < 0 || f < file))
            file = f;
    }
    std::printf("  plain socket, bytes discarded (floor): %6lld ms  %8.1f MiB/s\n", plain, mibPerS(plain));
    std::printf("  TcpSocket + 6 MiB ring + worker:       %6lld ms  %8.1f MiB/s\n", command, mibPerS(command));
    std::printf("  TcpSocket + 10 MiB ring + worker:      %6lld ms  %8.1f MiB/s\n", file, mibPerS(file));
    const bool pass = plain > 0 && command > 0 && file > 0 && mibPerS(command) >= mibPerS(plain) / 3 &&
        mibPerS(file) >= mibPerS(plain) / 3;
    std::printf("target: ring paths at least a third of the floor: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
