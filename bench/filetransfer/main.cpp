// Receiving a phone's files over loopback: the file server (verified, fsync'ed, renamed into place) against
// a plain socket-to-file sink with the same framing that only computes the md5 of what it writes.
// Each file is acknowledged before the next is sent, as the phone does. Runs alternate between the two.
//
//   bench_filetransfer [--quick] [--runs N] [--dir FOLDER] [--sink-fsync]
#include "backup/FileServer.h"
#include "wire/Records.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Scenario
{
    const char *label;
    qint64 fileSize;
    int files;
    double target;  // least acceptable ratio to the sink
};

bool sendAll(int fd, const char *data, qint64 len)
{
    while (len > 0) {
        const ssize_t n = ::send(fd, data, size_t(len), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        len -= n;
    }
    return true;
}

bool recvAll(int fd, char *data, qint64 len)
{
    while (len > 0) {
        const ssize_t n = ::recv(fd, data, size_t(len), 0);
        if (n <= 0)
            return false;
        data += n;
        len -= n;
    }
    return true;
}

// Content of every file: the block repeated up to the file size.
QByteArray md5Of(const QByteArray &block, qint64 size)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    for (qint64 left = size; left > 0; left -= block.size())
        hash.addData(block.constData(), int(qMin<qint64>(left, block.size())));
    return hash.result().toHex();
}

// The phone: sends every file and waits for its acknowledgement. Returns seconds, or -1 on failure.
double runPhone(quint16 port, const Scenario &s, const QByteArray &block, const QByteArray &md5)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    QElapsedTimer timer;
    timer.start();
    bool ok = true;
    for (int i = 0; ok && i < s.files; ++i) {
        Records::FileHeader h;
        h.fileSize = qint32(s.fileSize);
        h.ratio = 1;
        h.name = "n";
        h.mobilePath = "/sdcard/DCIM/bench_" + QByteArray::number(i) + ".bin";
        h.md5 = md5;
        h.createTime = "2019-05-01T08:30:00";
        const QByteArray record = Records::encodeFileHeader(h);
        ok = sendAll(fd, record.constData(), record.size());
        for (qint64 left = s.fileSize; ok && left > 0; left -= block.size())
            ok = sendAll(fd, block.constData(), qMin<qint64>(left, block.size()));
        char ack[Records::kSize];
        Records::FileAck a;
        ok = ok && recvAll(fd, ack, sizeof ack) && Records::decodeFileAck(ack, &a) && a.storedSize == h.fileSize;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    ::close(fd);
    return ok ? seconds : -1;
}

// The baseline: one blocking thread that reads the same records, writes each file and its md5, and
// acknowledges it. No temporary name, no verification, no flush to disk unless asked (--sink-fsync: the
// file and its folder are flushed, as the server does, to show what the server costs beyond that).
class Sink
{
public:
    Sink(const QString &folder, bool sync) : m_folder(folder), m_sync(sync)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(m_listen, 4);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~Sink()
    {
        m_thread.join();
        ::close(m_listen);
    }
    quint16 port() const { return m_port; }
    bool ok() const { return m_ok; }

private:
    void serve()
    {
        const int fd = ::accept(m_listen, nullptr, nullptr);
        QDir().mkpath(m_folder);
        std::vector<char> buffer(1 << 20);
        char record[Records::kSize];
        while (recvAll(fd, record, sizeof record)) {
            Records::FileHeader h;
            if (Records::decodeFileHeader(record, &h) != Records::HeaderCheck::Ok) {
                m_ok = false;
                break;
            }
            const QByteArray path = QFile::encodeName(m_folder) + '/' + h.mobilePath.mid(h.mobilePath.lastIndexOf('/') + 1);
            const int out = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            QCryptographicHash hash(QCryptographicHash::Md5);
            qint64 left = h.fileSize;
            while (left > 0) {
                const ssize_t n = ::recv(fd, buffer.data(), size_t(qMin<qint64>(left, qint64(buffer.size()))), 0);
                if (n <= 0)
                    break;
                hash.addData(buffer.data(), int(n));
                if (::write(out, buffer.data(), size_t(n)) != n)
                    m_ok = false;
                left -= n;
            }
            if (m_sync)
                ::fsync(out);
            ::close(out);
            if (m_sync) {
                // The same durability as the server: the new directory entry reaches the disk too.
                const int dir = ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                ::fsync(dir);
                ::close(dir);
            }
            if (left > 0 || hash.result().toHex() != h.md5)
                m_ok = false;
            Records::FileAck a;
            a.ratio = h.ratio;
            a.storedSize = h.fileSize;
            a.mobilePath = h.mobilePath;
            a.md5 = h.md5;
            const QByteArray ack = Records::encodeFileAck(a);
            if (!sendAll(fd, ack.constData(), ack.size()))
                break;
        }
        ::close(fd);
    }

    QString m_folder;
    bool m_sync;
    int m_listen = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_ok{true};
    std::thread m_thread;
};

double runServer(const QString &folder, const Scenario &s, const QByteArray &block, const QByteArray &md5)
{
    FileServer server(nullptr, 100);
    if (!server.listen(QHostAddress::LocalHost, 0))
        return -1;
    server.setSavePath(folder);
    int stored = 0;
    QObject::connect(&server, &FileServer::updateImageInfo, [&stored] { ++stored; });
    QEventLoop loop;
    double seconds = -1;
    std::thread phone([&] {
        seconds = runPhone(server.serverPort(), s, block, md5);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    phone.join();
    return stored == s.files ? seconds : -1;
}

double runSink(const QString &folder, const Scenario &s, const QByteArray &block, const QByteArray &md5, bool sync)
{
    Sink sink(folder, sync);
    const double seconds = runPhone(sink.port(), s, block, md5);
    return sink.ok() ? seconds : -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool quick = args.contains(QStringLiteral("--quick"));
    const bool sinkSync = args.contains(QStringLiteral("--sink-fsync"));
    int runs = quick ? 3 : 5;
    QString base = QDir::tempPath();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--runs"))
            runs = qMax(1, args.at(i + 1).toInt());
        else if (args.at(i) == QLatin1String("--dir"))
            base = args.at(i + 1);
    }
    QTemporaryDir work(base + QStringLiteral("/bench_filetransfer-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot create a folder under %s\n", qPrintable(base));
        return 2;
    }
    // The server makes a product folder in the home folder; keep it inside the scratch folder.
    qputenv("HOME", work.path().toUtf8());

    const std::vector<Scenario> scenarios = quick
        ? std::vector<Scenario>{{"(a) one 256 MiB file", 256LL << 20, 1, 0.6},
                                {"(b) 100 files of 3 MB", 3000000, 100, 0.6},
                                {"(c) 500 files of 100 KB", 100000, 500, 0.3}}
        : std::vector<Scenario>{{"(a) one 1 GiB file", 1LL << 30, 1, 0.6},
                                {"(b) 500 files of 3 MB", 3000000, 500, 0.6},
                                {"(c) 2000 files of 100 KB", 100000, 2000, 0.3}};

    QByteArray block(16 << 20, Qt::Uninitialized);
    quint32 x = 12345;
    for (int i = 0; i < block.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        block[i] = char(x >> 24);
    }

    std::printf("file transfer over loopback, median of %d alternating runs, sink %s fsync\n", runs,
                sinkSync ? "with" : "without");
    std::printf("%-26s %12s %12s %12s %12s %8s %8s\n", "scenario", "server MB/s", "server f/s", "sink MB/s",
                "sink f/s", "ratio", "target");
    bool allMet = true;
    for (const Scenario &s : scenarios) {
        const QByteArray md5 = md5Of(block, s.fileSize);
        std::vector<double> server, sink;
        bool failed = false;
        for (int r = 0; r < runs && !failed; ++r) {
            for (int leg = 0; leg < 2; ++leg) {
                const bool serverLeg = (leg == 0) == (r % 2 == 0);
                const QString folder = work.path() + (serverLeg ? QStringLiteral("/server") : QStringLiteral("/sink"));
                const double t = serverLeg ? runServer(folder, s, block, md5) : runSink(folder, s, block, md5, sinkSync);
                QDir(folder).removeRecursively();
                ::sync(); // no write-back of one leg slows the next
                if (t <= 0) {
                    std::printf("%-26s %s run %d failed\n", s.label, serverLeg ? "server" : "sink", r + 1);
                    failed = true;
                    break;
                }
                (serverLeg ? server : sink).push_back(t);
            }
        }
        if (failed) {
            allMet = false;
            continue;
        }
        const double mb = double(s.fileSize) * s.files / 1e6;
        const double ts = median(server), tk = median(sink);
        const double ratio = tk / ts;
        std::printf("%-26s %12.1f %12.1f %12.1f %12.1f %8.2f %8.2f %s\n", s.label, mb / ts, s.files / ts, mb / tk,
                    s.files / tk, ratio, s.target, ratio >= s.target ? "ok" : "BELOW TARGET");
        std::fflush(stdout);
        allMet = allMet && ratio >= s.target;
    }
    return allMet ? 0 : 1;
}
