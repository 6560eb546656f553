#include "wire/CFifoBuffer.h"
#include "wire/Records.h"
#include "tests/support/TestSupport.h"

#include <QtTest>

#include <atomic>
#include <deque>
#include <random>
#include <thread>

using TestSupport::patternBytes;

namespace {

QByteArray take(CFifoBuffer &ring, int n)
{
    QByteArray b(n, '\0');
    int len = n;
    if (ring.get(b.data(), &len) != n || len != n)
        return QByteArray("<get failed>");
    return b;
}

} // namespace

class TestFifoBuffer : public QObject
{
    Q_OBJECT
private slots:
    void wrapping_data();
    void wrapping();
    void fullRingRefusesOneMoreAndStaysUnchanged();
    void getIsAllOrNothing();
    void matchesAQueueOverRandomOperations();
    void recordsAcrossChunks_data();
    void recordsAcrossChunks();
    void waitForData();
    void listeners();
    void freedRingRefusesEverything();
};

void TestFifoBuffer::wrapping_data()
{
    // capacity, bytes put and taken first (moves both positions), then a put and a get of `len`.
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("advance");
    QTest::addColumn<int>("len");
    QTest::newRow("put ends exactly at the end of the block") << 16 << 10 << 6;
    QTest::newRow("put and get across the end") << 16 << 10 << 9;
    QTest::newRow("put starts at the last byte") << 16 << 15 << 15;
    QTest::newRow("put starts at the first byte") << 16 << 0 << 15;
    QTest::newRow("one byte before the end") << 16 << 10 << 5;
    QTest::newRow("smallest ring") << 2 << 1 << 1;
}

void TestFifoBuffer::wrapping()
{
    QFETCH(int, capacity);
    QFETCH(int, advance);
    QFETCH(int, len);
    CFifoBuffer ring;
    ring.init(capacity);
    QCOMPARE(ring.put(patternBytes(advance, 1).constData(), advance), 0);
    QCOMPARE(take(ring, advance), patternBytes(advance, 1));
    QCOMPARE(ring.dataSize(), 0);

    const QByteArray data = patternBytes(len, 2);
    QCOMPARE(ring.put(data.constData(), len), 0);
    QCOMPARE(ring.dataSize(), len);
    QCOMPARE(ring.freeSpace(), capacity - 1 - len);
    // The write position went where it should: a second put fills exactly the rest, and everything
    // comes back in order.
    const QByteArray more = patternBytes(capacity - 1 - len, 3);
    QCOMPARE(ring.put(more.constData(), more.size()), 0);
    QCOMPARE(ring.dataSize(), capacity - 1);
    QCOMPARE(take(ring, len), data);
    QCOMPARE(take(ring, more.size()), more);
    QCOMPARE(ring.dataSize(), 0);
}

void TestFifoBuffer::fullRingRefusesOneMoreAndStaysUnchanged()
{
    CFifoBuffer ring;
    ring.init(32);
    QCOMPARE(ring.put(patternBytes(20, 1).constData(), 20), 0);
    QCOMPARE(take(ring, 20), patternBytes(20, 1)); // the held bytes now straddle the end
    const QByteArray full = patternBytes(31, 4);
    QCOMPARE(ring.put(full.constData(), 31), 0);
    QCOMPARE(ring.dataSize(), 31);
    QCOMPARE(ring.freeSpace(), 0);

    const char one = 'Z';
    QCOMPARE(ring.put(&one, 1), -1);
    QCOMPARE(ring.dataSize(), 31);
    QCOMPARE(take(ring, 31), full);

    // A chunk larger than the room is refused whole, never in part.
    QCOMPARE(ring.put(patternBytes(31, 5).constData(), 31), 0);
    QCOMPARE(ring.put(patternBytes(32, 6).constData(), 32), -1);
    QCOMPARE(ring.put(patternBytes(40, 6).constData(), 40), -1);
    QCOMPARE(take(ring, 31), patternBytes(31, 5));
}

void TestFifoBuffer::getIsAllOrNothing()
{
    CFifoBuffer ring;
    ring.init(64);
    QCOMPARE(ring.put("abcdef", 6), 0);
    char dst[16] = {};
    int len = 7;
    QCOMPARE(ring.get(dst, &len), -1);
    QCOMPARE(len, 0);
    QCOMPARE(ring.dataSize(), 6);
    len = 6;
    QCOMPARE(ring.get(dst, &len), 6);
    QCOMPARE(QByteArray(dst, 6), QByteArray("abcdef"));
    len = 1;
    QCOMPARE(ring.get(dst, &len), -1);
    QCOMPARE(len, 0);
}

void TestFifoBuffer::matchesAQueueOverRandomOperations()
{
    std::mt19937 rng(20261208);
    for (int capacity : {2, 3, 17, 255, 256, 1000}) {
        CFifoBuffer ring;
        ring.init(capacity);
        std::deque<char> model;
        int next = 0;
        for (int step = 0; step < 5000; ++step) {
            const int n = int(rng() % uint(capacity + 2));
            if (rng() % 2) {
                QByteArray b(n, Qt::Uninitialized);
                for (char &c : b)
                    c = char(next++);
                const bool fits = int(model.size()) + n <= capacity - 1;
                QCOMPARE(ring.put(b.constData(), n), fits ? 0 : -1);
                if (fits)
                    model.insert(model.end(), b.begin(), b.end());
            } else {
                QByteArray b(n, '\0');
                int len = n;
                const bool enough = int(model.size()) >= n;
                QCOMPARE(ring.get(b.data(), &len), enough ? n : -1);
                QCOMPARE(len, enough ? n : 0);
                if (enough) {
                    QCOMPARE(b, QByteArray(std::string(model.begin(), model.begin() + n).c_str(), n));
                    model.erase(model.begin(), model.begin() + n);
                }
            }
            QCOMPARE(ring.dataSize(), int(model.size()));
        }
    }
}

void TestFifoBuffer::recordsAcrossChunks_data()
{
    QTest::addColumn<QList<int>>("chunkSizes"); // how the network cut the stream; the last repeats
    QTest::newRow("one record per chunk") << QList<int>{255};
    QTest::newRow("two records in one chunk") << QList<int>{510};
    QTest::newRow("split in two") << QList<int>{100, 155};
    QTest::newRow("single bytes") << QList<int>{1};
    QTest::newRow("odd pieces across records") << QList<int>{254, 2, 300, 7};
    QTest::newRow("big chunk with a tail") << QList<int>{1000, 3};
}

void TestFifoBuffer::recordsAcrossChunks()
{
    QFETCH(QList<int>, chunkSizes);
    QList<QByteArray> sent;
    QByteArray stream;
    for (int i = 0; i < 9; ++i) {
        sent << Records::encodeCommand(qint16(1 + i % 3), QStringLiteral("手机%1").arg(i).toUtf8());
        stream += sent.last();
    }
    // The ring is small so that reading and writing go round it several times.
    CFifoBuffer ring;
    ring.init(1024);
    QList<QByteArray> received;
    int pos = 0;
    int chunk = 0;
    while (pos < stream.size()) {
        const int n = qMin(chunkSizes.at(qMin(chunk, chunkSizes.size() - 1)), stream.size() - pos);
        ++chunk;
        QCOMPARE(ring.put(stream.constData() + pos, n), 0);
        pos += n;
        char rec[Records::kSize];
        while (ring.dataSize() >= Records::kSize) {
            int len = Records::kSize;
            QCOMPARE(ring.get(rec, &len), Records::kSize);
            received << QByteArray(rec, Records::kSize);
        }
    }
    QCOMPARE(received, sent);
    Records::Command c;
    QVERIFY(Records::decodeCommand(received.at(4).constData(), &c));
    QCOMPARE(QString::fromUtf8(c.payload), QStringLiteral("手机4"));
}

void TestFifoBuffer::waitForData()
{
    CFifoBuffer ring;
    ring.init(4096);
    QElapsedTimer t;
    t.start();
    QVERIFY(!ring.waitForData(1, 50));
    QVERIFY(t.elapsed() >= 40);

    // A put from another thread wakes the reader once enough is held.
    std::thread writer([&ring] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ring.put("12345", 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ring.put("67890", 5);
    });
    t.restart();
    const bool got = ring.waitForData(10, 5000);
    writer.join();
    QVERIFY(got);
    QVERIFY(t.elapsed() < 4000);

    // wakeAll releases a reader that would otherwise wait the whole time.
    std::atomic<bool> result{true};
    std::thread reader([&] { result = ring.waitForData(1000, 10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.restart();
    ring.wakeAll();
    reader.join();
    QVERIFY(!result);
    QVERIFY(t.elapsed() < 5000);
}

void TestFifoBuffer::listeners()
{
    CFifoBuffer ring;
    ring.init(64);
    int spaceCalls = 0;
    int releaseCalls = 0;
    ring.setSpaceListener([&] {
        ++spaceCalls;
        // Called without the lock held: the listener may look at the ring.
        QVERIFY(ring.freeSpace() >= 0);
    });
    ring.setReleaseListener([&] { ++releaseCalls; });
    char dst[8];
    int len = 4;
    QCOMPARE(ring.get(dst, &len), -1);
    QCOMPARE(spaceCalls, 0); // nothing freed
    ring.put("abcdefgh", 8);
    len = 4;
    ring.get(dst, &len);
    QCOMPARE(spaceCalls, 1);
    ring.freeBuffer();
    QCOMPARE(releaseCalls, 1);
}

void TestFifoBuffer::freedRingRefusesEverything()
{
    CFifoBuffer ring;
    ring.init(64);
    ring.put("abc", 3);
    ring.freeBuffer();
    QCOMPARE(ring.dataSize(), 0);
    QCOMPARE(ring.freeSpace(), 0);
    QCOMPARE(ring.put("x", 1), -1);
    char c;
    int len = 1;
    QCOMPARE(ring.get(&c, &len), -1);
    QVERIFY(!ring.waitForData(1, 10));
    ring.init(8); // usable again after a new init
    QCOMPARE(ring.put("1234567", 7), 0);
    QCOMPARE(ring.freeSpace(), 0);
}

QTEST_GUILESS_MAIN(TestFifoBuffer)
#include "tst_fifobuffer.moc"
