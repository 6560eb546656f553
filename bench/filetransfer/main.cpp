// Receiving phones' files over loopback, sent the way a phone app sends them: Nagle left on, the
// 255-byte header written on its own, the content by sendfile(), the next file only once the
// acknowledgement has been read. The program (command server, file servers, album databases, all
// in this process, the main thread standing in for the GUI thread) against a durable sink that
// keeps the same promise with nothing else: content to a hidden temporary name, md5 of the stream
// checked, fsync, rename, folder fsync, then the acknowledgement. Rounds alternate between the two;
// figures are medians. During the ten-phone set every phone also measures type-9 status round
// trips on its command connection.
//
//   bench_filetransfer [--quick] [--runs N] [--dir FOLDER] [--only 100k|3m|1g|ten] [--nodelay] [--plain-sink]
//                      [--verbose]
//
// --nodelay makes the sender set TCP_NODELAY (which a phone does not): shows what Nagle costs.
// --plain-sink: the sink without the program's socket options (TCP_NODELAY, quick acknowledgements).
// --verbose: every type-9 answer slower than 50 ms, with when it was asked.
#include "link/CmdServer.h"
#include "platform/AppPaths.h"
#include "settings/ReadWriteSetting.h"
#include "wire/Records.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Set
{
    const char *key;
    const char *label;
    qint64 fileSize;
    int files; // per phone
    int phones;
    double target; // least acceptable ratio to the sink
};

bool g_nodelay = false;
bool g_plainSink = false;

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

// Each phone has an address of its own (127.0.0.10 + phone), as on a LAN: the program caps
// connections per address.
int connectTo(quint16 port, int phone)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 9 + quint32(phone));
    ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    if (g_nodelay) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

// A file of size random bytes (made once per size) and its md5.
struct Source
{
    QString path;
    QByteArray md5;
};

Source makeSource(const QString &folder, qint64 size)
{
    Source s;
    s.path = folder + QStringLiteral("/source-%1.bin").arg(size);
    QFile f(s.path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!f.open(QIODevice::WriteOnly))
        return s;
    QByteArray block(4 << 20, Qt::Uninitialized);
    quint32 x = quint32(size) * 2654435761u + 1;
    for (qint64 left = size; left > 0;) {
        for (int i = 0; i < block.size(); i += 4) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            memcpy(block.data() + i, &x, 4);
        }
        const int n = int(qMin<qint64>(left, block.size()));
        f.write(block.constData(), n);
        hash.addData(block.constData(), n);
        left -= n;
    }
    f.close();
    s.md5 = hash.result().toHex();
    return s;
}

// One phone's file connection: every file as the app sends it; seconds from connect to the last
// acknowledgement, -1 on any failure (refused file, wrong acknowledgement, connection lost).
double sendFiles(quint16 port, int phone, const Set &set, const Source &src)
{
    // A phone's CPU is not the PC's: on loopback the sender's share of the copying would otherwise
    // compete with the program's GUI thread as no real phone does. Both legs alike.
    ::setpriority(PRIO_PROCESS, 0, 5);
    const int fd = connectTo(port, phone);
    if (fd < 0)
        return -1;
    const int in = ::open(QFile::encodeName(src.path).constData(), O_RDONLY | O_CLOEXEC);
    QElapsedTimer timer;
    timer.start();
    bool ok = in >= 0;
    for (int i = 0; ok && i < set.files; ++i) {
        Records::FileHeader h;
        h.fileSize = qint32(set.fileSize);
        h.ratio = 1;
        h.name = "n";
        h.mobilePath = "/storage/emulated/0/DCIM/p" + QByteArray::number(phone) + "_" + QByteArray::number(i) + ".jpg";
        h.md5 = src.md5;
        h.createTime = "2019-05-01T08:30:00";
        const QByteArray record = Records::encodeFileHeader(h);
        ok = sendAll(fd, record.constData(), record.size());
        off_t offset = 0;
        while (ok && offset < set.fileSize) {
            const ssize_t n = ::sendfile(fd, in, &offset, size_t(set.fileSize - offset));
            ok = n > 0;
        }
        char ack[Records::kSize];
        Records::FileAck a;
        ok = ok && recvAll(fd, ack, sizeof ack) && Records::decodeFileAck(ack, &a) && a.storedSize == h.fileSize &&
            a.md5 == h.md5;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (in >= 0)
        ::close(in);
    ::close(fd);
    return ok ? seconds : -1;
}

// The baseline: a thread per connection that keeps the program's promise and does nothing else.
class DurableSink
{
public:
    DurableSink(const QString &folder, int connections) : m_folder(folder)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(m_listen, 64);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        for (int i = 0; i < connections; ++i)
            m_threads.emplace_back([this, i] { serve(i); });
    }
    ~DurableSink()
    {
        for (std::thread &t : m_threads)
            t.join();
        ::close(m_listen);
    }
    quint16 port() const { return m_port; }
    bool ok() const { return m_ok; }

private:
    void serve(int index)
    {
        const int fd = ::accept(m_listen, nullptr, nullptr);
        // The same socket options as the program's file connections, so that the baseline is what
        // the disk allows, not the Nagle / delayed-acknowledgement wait (--plain-sink shows that).
        const int one = 1;
        if (!g_plainSink)
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const QByteArray folder = QFile::encodeName(m_folder + QStringLiteral("/%1/2019/05").arg(index));
        QDir().mkpath(QFile::decodeName(folder));
        const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::vector<char> buffer(1 << 20);
        char record[Records::kSize];
        int serial = 0;
        while (recvAll(fd, record, sizeof record)) {
            Records::FileHeader h;
            if (Records::decodeFileHeader(record, &h) != Records::HeaderCheck::Ok) {
                m_ok = false;
                break;
            }
            const QByteArray part = folder + "/.sink-" + QByteArray::number(serial++) + ".part";
            const QByteArray final = folder + '/' + h.mobilePath.mid(h.mobilePath.lastIndexOf('/') + 1);
            const int out = ::open(part.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            QCryptographicHash hash(QCryptographicHash::Md5);
            qint64 left = h.fileSize;
            while (left > 0) {
                const ssize_t n = ::recv(fd, buffer.data(), size_t(qMin<qint64>(left, qint64(buffer.size()))), 0);
                if (n <= 0)
                    break;
                if (!g_plainSink)
                    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
                hash.addData(buffer.data(), int(n));
                if (::write(out, buffer.data(), size_t(n)) != n)
                    m_ok = false;
                left -= n;
            }
            const bool good = left == 0 && hash.result().toHex() == h.md5 && ::fsync(out) == 0;
            ::close(out);
            if (!good || ::rename(part.constData(), final.constData()) != 0 || ::fsync(dir) != 0) {
                m_ok = false;
                break;
            }
            Records::FileAck a;
            a.ratio = h.ratio;
            a.storedSize = h.fileSize;
            a.mobilePath = h.mobilePath;
            a.md5 = h.md5;
            const QByteArray ack = Records::encodeFileAck(a);
            if (!sendAll(fd, ack.constData(), ack.size()))
                break;
        }
        ::close(dir);
        ::close(fd);
    }

    QString m_folder;
    int m_listen = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_ok{true};
    std::vector<std::thread> m_threads;
};

QString phoneName(int i)
{
    return QStringLiteral("benchphone%1").arg(i);
}

// The phone's command connection: names itself (already authorised) and asks for the file port.
int openCommand(quint16 port, int phone, int *filePort)
{
    const int fd = connectTo(port, phone);
    if (fd < 0)
        return -1;
    char rec[Records::kSize];
    bool authorised = false;
    QByteArray host;
    const QByteArray name = Records::encodeCommand(Records::Device, phoneName(phone).toUtf8());
    const QByteArray query = Records::encodeCommand(Records::QueryFilePort, QByteArray());
    if (!sendAll(fd, name.constData(), name.size()) || !recvAll(fd, rec, sizeof rec) ||
        !Records::decodeAuthReply(rec, &authorised, &host) || !authorised ||
        !sendAll(fd, query.constData(), query.size()) || !recvAll(fd, rec, sizeof rec) ||
        !Records::decodeFilePortReply(rec, filePort) || *filePort <= 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct ProgramLeg
{
    double seconds = -1;                            // the slowest phone
    std::vector<double> rttMs;                      // type-9 round trips
    std::vector<double> rttAtMs;                    // when each was sent, from the start of sending
    double longestStallMs = 0;                      // of the thread standing in for the GUI thread, while sending
    double guiRunMs = 0, guiWaitMs = 0, wallMs = 0; // that thread on a CPU, waiting for one, in all
};

// This thread's time on a CPU and waiting in the run queue (ns), and its time slices.
QVector<qint64> schedStat()
{
    QFile f(QStringLiteral("/proc/thread-self/schedstat"));
    QVector<qint64> v;
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray &x : f.readAll().trimmed().split(' '))
            v.append(x.toLongLong());
    return v;
}

ProgramLeg runProgram(const QString &work, const Set &set, const Source &src, bool probe)
{
    ProgramLeg leg;
    const QString drive = work + QStringLiteral("/program/");
    QDir().mkpath(drive);
    CmdServer server(nullptr, 100, drive);
    if (!server.listen(QHostAddress::LocalHost, 0))
        return leg;
    int recorded = 0;
    QObject::connect(&server, &CmdServer::UpdateText, [&recorded] { ++recorded; });

    QEventLoop loop;
    // How late a 5 ms timer fires on this (the GUI) thread: its longest stall.
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (sinceTick.isValid())
            leg.longestStallMs = std::max(leg.longestStallMs, sinceTick.nsecsElapsed() / 1e6 - 5);
        sinceTick.start();
    });
    ticker.start();
    QElapsedTimer clock;
    clock.start();
    const QVector<qint64> schedBefore = schedStat();
    std::atomic<int> running{set.phones};
    std::atomic<bool> failed{false};
    std::atomic<bool> sending{true};
    std::atomic<int> ready{0}; // phones named and told their file port
    std::vector<double> seconds(size_t(set.phones), -1);
    std::mutex rttMutex;
    std::vector<std::thread> phones;
    const quint16 cmdPort = server.serverPort();
    for (int p = 0; p < set.phones; ++p) {
        phones.emplace_back([&, p] {
            int filePort = 0;
            const int cmd = openCommand(cmdPort, p, &filePort);
            ++ready;
            // The phones start sending together, once every one is set up.
            while (ready < set.phones && !failed)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (cmd < 0) {
                failed = true;
            } else {
                std::thread prober;
                std::atomic<bool> done{false};
                if (probe) {
                    prober = std::thread([&, cmd] {
                        const QByteArray nine = Records::encodeCommand(Records::Status9, phoneName(p).toUtf8());
                        // An unanswered status fails the run instead of hanging it.
                        timeval limit{10, 0};
                        ::setsockopt(cmd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                        char rec[Records::kSize];
                        while (!done && sending) {
                            QElapsedTimer t;
                            t.start();
                            const double at = clock.nsecsElapsed() / 1e6;
                            if (!sendAll(cmd, nine.constData(), nine.size()))
                                break;
                            bool answered = false;
                            while (!answered && recvAll(cmd, rec, sizeof rec))
                                answered = Records::type(rec) == Records::Status9;
                            if (!answered) {
                                failed = true;
                                break;
                            }
                            {
                                std::lock_guard<std::mutex> lock(rttMutex);
                                leg.rttMs.push_back(t.nsecsElapsed() / 1e6);
                                leg.rttAtMs.push_back(at);
                            }
                            std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        }
                    });
                }
                seconds[size_t(p)] = sendFiles(quint16(filePort), p, set, src);
                done = true;
                if (prober.joinable())
                    prober.join();
                ::close(cmd);
            }
            if (--running == 0)
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
    }
    loop.exec();
    ticker.stop();
    const QVector<qint64> schedAfter = schedStat();
    if (schedBefore.size() == 3 && schedAfter.size() == 3)
        leg.guiRunMs = (schedAfter[0] - schedBefore[0]) / 1e6, leg.guiWaitMs = (schedAfter[1] - schedBefore[1]) / 1e6,
        leg.wallMs = clock.nsecsElapsed() / 1e6;
    sending = false;
    for (std::thread &t : phones)
        t.join();
    // Every file must also get its album row (the phone does not wait for that).
    QElapsedTimer rows;
    rows.start();
    const int expected = set.files * set.phones;
    while (recorded < expected && rows.elapsed() < 60000) {
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (failed || recorded < expected) {
        std::fprintf(stderr, "program: %s, %d of %d rows\n", failed ? "a phone failed" : "rows missing", recorded,
                     expected);
        return leg;
    }
    double worst = 0;
    for (double s : seconds) {
        if (s < 0)
            return leg;
        worst = std::max(worst, s);
    }
    leg.seconds = worst;
    return leg;
}

double runSink(const QString &work, const Set &set, const Source &src)
{
    DurableSink sink(work + QStringLiteral("/sink"), set.phones);
    std::vector<double> seconds(size_t(set.phones), -1);
    std::vector<std::thread> phones;
    for (int p = 0; p < set.phones; ++p)
        phones.emplace_back([&, p] { seconds[size_t(p)] = sendFiles(sink.port(), p, set, src); });
    for (std::thread &t : phones)
        t.join();
    double worst = 0;
    for (double s : seconds) {
        if (s < 0)
            return -1;
        worst = std::max(worst, s);
    }
    return sink.ok() ? worst : -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool quick = args.contains(QStringLiteral("--quick"));
    g_nodelay = args.contains(QStringLiteral("--nodelay"));
    g_plainSink = args.contains(QStringLiteral("--plain-sink"));
    const bool verbose = args.contains(QStringLiteral("--verbose"));
    int runs = 3;
    QString base = QDir::tempPath();
    QString only;
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--runs"))
            runs = qMax(1, args.at(i + 1).toInt());
        else if (args.at(i) == QLatin1String("--dir"))
            base = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--only"))
            only = args.at(i + 1);
    }
    QTemporaryDir work(base + QStringLiteral("/bench_filetransfer-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot create a folder under %s\n", qPrintable(base));
        return 2;
    }
    // Program folder (settings, album databases) and home folder inside the scratch folder.
    qputenv("HOME", work.path().toUtf8());
    QDir().mkpath(work.path() + QStringLiteral("/progdir"));
    AppPaths::setProgramDirOverride(work.path() + QStringLiteral("/progdir"));
    ReadWriteSetting::resetInstanceForTests();
    for (int p = 0; p < 10; ++p)
        ReadWriteSetting::getInstance()->addUser(phoneName(p),
                                                 work.path() + QStringLiteral("/program/万特相册/") + phoneName(p),
                                                 QStringLiteral("2020-01-01 00:00:00"));

    const std::vector<Set> sets = quick ? std::vector<Set>{{"100k", "200 x 100 KB", 100000, 200, 1, 0.6},
                                                           {"3m", "40 x 3 MB", 3000000, 40, 1, 0.8},
                                                           {"1g", "one 256 MiB file", 256LL << 20, 1, 1, 0.9},
                                                           {"ten", "10 phones x 20 x 300 KB", 300000, 20, 10, 0.7}}
                                        : std::vector<Set>{{"100k", "1,000 x 100 KB", 100000, 1000, 1, 0.6},
                                                           {"3m", "200 x 3 MB", 3000000, 200, 1, 0.8},
                                                           {"1g", "one 1 GiB file", 1LL << 30, 1, 1, 0.9},
                                                           {"ten", "10 phones x 100 x 300 KB", 300000, 100, 10, 0.7}};

    std::printf("loopback, phone-like sender (Nagle %s, header then sendfile, one ack awaited per file);\n"
                "durable sink baseline%s; median of %d alternating rounds\n",
                g_nodelay ? "OFF: sender sets TCP_NODELAY" : "on",
                g_plainSink ? " (plain socket)" : " (low-delay socket like the program's)", runs);
    std::printf("%-26s %10s %10s %10s %10s %7s %7s\n", "set", "prog MB/s", "prog f/s", "sink MB/s", "sink f/s", "ratio",
                "target");
    std::fflush(stdout);
    bool allMet = true;
    for (const Set &set : sets) {
        if (!only.isEmpty() && only != QLatin1String(set.key))
            continue;
        const Source src = makeSource(work.path(), set.fileSize);
        const bool probe = set.phones > 1;
        std::vector<double> program, sink, rtt, stalls;
        bool failed = false;
        for (int r = 0; r < runs && !failed; ++r) {
            for (int leg = 0; leg < 2 && !failed; ++leg) {
                const bool programLeg = (leg == 0) == (r % 2 == 0);
                double t;
                if (programLeg) {
                    ProgramLeg result = runProgram(work.path(), set, src, probe);
                    t = result.seconds;
                    stalls.push_back(result.longestStallMs);
                    if (verbose)
                        std::printf("  GUI thread: %.0f ms on a CPU, %.0f ms waiting for one, of %.0f ms\n",
                                    result.guiRunMs, result.guiWaitMs, result.wallMs);
                    if (verbose && probe) {
                        for (size_t k = 0; k < result.rttMs.size(); ++k)
                            if (result.rttMs[k] > 50)
                                std::printf("  slow type-9 answer: %.0f ms, sent at %.0f ms\n", result.rttMs[k],
                                            result.rttAtMs[k]);
                    }
                    rtt.insert(rtt.end(), result.rttMs.begin(), result.rttMs.end());
                } else {
                    t = runSink(work.path(), set, src);
                }
                QDir(work.path() + QStringLiteral("/program")).removeRecursively();
                QDir(work.path() + QStringLiteral("/sink")).removeRecursively();
                for (int p = 0; p < set.phones; ++p)
                    QFile::remove(AppPaths::programFile(phoneName(p) + QStringLiteral(".db")));
                ::sync(); // no write-back of one leg slows the next
                if (t <= 0) {
                    std::printf("%-26s %s round %d failed\n", set.label, programLeg ? "program" : "sink", r + 1);
                    failed = true;
                }
                (programLeg ? program : sink).push_back(t);
            }
        }
        QFile::remove(src.path);
        if (failed) {
            allMet = false;
            continue;
        }
        const double mb = double(set.fileSize) * set.files * set.phones / 1e6;
        const double files = double(set.files) * set.phones;
        const double tp = median(program), ts = median(sink);
        const double ratio = ts / tp;
        bool met = ratio >= set.target;
        std::printf("%-26s %10.1f %10.1f %10.1f %10.1f %7.2f %7.2f %s\n", set.label, mb / tp, files / tp, mb / ts,
                    files / ts, ratio, set.target, met ? "ok" : "BELOW TARGET");
        std::printf("%-26s longest stall of the GUI thread while receiving: median %.0f ms, worst %.0f ms\n", "",
                    median(stalls), percentile(stalls, 1.0));
        if (probe) {
            const double p99 = percentile(rtt, 0.99);
            std::printf("%-26s type-9 round trip during the run: n=%zu median %.1f ms p99 %.1f ms max %.1f ms "
                        "(target p99 < 100 ms) %s\n",
                        "", rtt.size(), percentile(rtt, 0.5), p99, percentile(rtt, 1.0),
                        p99 < 100 ? "ok" : "ABOVE TARGET");
            met = met && p99 < 100 && !rtt.empty();
        }
        std::fflush(stdout);
        allMet = allMet && met;
    }
    return allMet ? 0 : 1;
}
