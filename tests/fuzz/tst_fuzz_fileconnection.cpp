// The file connection reader, driven from outside: a phone's file server on loopback gets mutated
// streams (headers with edge lengths and hostile names and paths, wrong sizes, cut transfers,
// garbage) in random pieces, many connections in turn. Nothing may crash, nothing may be written
// outside the device folder, and a well-formed file afterwards is still stored and acknowledged.
// The seed is printed; VANTEO_FUZZ_SEED repeats a run.
#include "Mutator.h"

#include "backup/FileServer.h"
#include "wire/Records.h"
#include "tests/support/LoopbackPhone.h"
#include "tests/support/TestSupport.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using TestSupport::waitFor;

namespace {

} // namespace

class TstFuzzFileConnection : public QObject
{
    Q_OBJECT
private slots:
    void serverSurvivesMutatedStreams();

private:
    QByteArray fuzzedStream(Fuzz::Mutator &m);
};

QByteArray TstFuzzFileConnection::fuzzedStream(Fuzz::Mutator &m)
{
    static const QByteArray names[] = {
        "IMG_1.jpg", "..",         "../../escape.jpg",   "/etc/passwd", "a/../../b.png", "",         "2021",
        "temp",      ".vt-x.part", QByteArray(200, 'n'), "x\0y.jpg",    "\xff\xfe.jpg",  "IMG_1.svg"};
    static const QByteArray times[] = {"2021-03-04T05:06:07",  "",          "garbage", "9999-99-99T99:99:99", "../..",
                                       "-0001-01-01T00:00:00", "2021-03-04"};
    QByteArray stream;
    const int files = 1 + m.below(3);
    for (int f = 0; f < files; ++f) {
        if (m.below(12) == 0) {
            stream += m.randomBytes(m.below(3 * Records::kSize));
            continue;
        }
        const QByteArray content = m.randomBytes(m.below(4) == 0 ? m.below(70000) : m.below(600));
        Records::FileHeader h;
        h.fileSize = content.size();
        h.ratio = m.below(4) == 0 ? m.interestingLength() : m.below(5);
        const QByteArray name = names[m.below(int(sizeof names / sizeof names[0]))];
        h.name = name.left(60);
        h.mobilePath = QByteArray("/storage/emulated/0/DCIM/" + name).left(120);
        h.md5 = m.below(5) == 0 ? QByteArray()
            : m.below(4) == 0   ? m.randomBytes(32).toHex().left(32)
                                : TestSupport::md5Hex(content).toLatin1();
        if (!h.md5.isEmpty())
            h.createTime = times[m.below(int(sizeof times / sizeof times[0]))];
        QByteArray header = Records::encodeFileHeader(h);
        if (header.isEmpty())
            header = QByteArray(Records::kSize, '\0');
        if (m.below(3) == 0)
            m.mutate(&header, 3);
        stream += header;
        // The content, whole, cut short or followed by more than announced.
        switch (m.below(6)) {
        case 0: stream += content.left(m.below(content.size() + 1)); return stream;
        case 1: stream += content + m.randomBytes(m.below(300)); break;
        default: stream += content; break;
        }
    }
    return stream;
}

void TstFuzzFileConnection::serverSurvivesMutatedStreams()
{
    const quint64 seed = Fuzz::seedFromEnvironment();
    qInfo("seed %llu (VANTEO_FUZZ_SEED=%llu repeats this run)", seed, seed);
    Fuzz::Mutator m(seed);

    QTemporaryDir home;
    QTemporaryDir root;
    QVERIFY(home.isValid() && root.isValid());
    qputenv("HOME", home.path().toUtf8());
    auto programDir = TestSupport::makeProgramDir();
    const QString device = root.path() + QStringLiteral("/万特相册/fuzz");
    QVERIFY(QDir().mkpath(device));
    FileServer server(nullptr, 100);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    server.setSavePath(device);

    Fuzz::Budget budget(120, 40);
    while (budget.next()) {
        const QByteArray stream = fuzzedStream(m);
        TestSupport::LoopbackPhone phone;
        if (!phone.connectTo(server.serverPort(), QHostAddress(), 3000))
            QFAIL(qPrintable(QStringLiteral("connection %1 not accepted (seed %2)").arg(budget.done()).arg(seed)));
        // In random pieces, reading whatever comes back meanwhile.
        for (int at = 0; at < stream.size();) {
            const int piece = qMin(stream.size() - at, 1 + m.below(m.below(2) ? 300 : 20000));
            phone.socket().write(stream.constData() + at, piece);
            at += piece;
            waitFor([&] { return phone.socket().bytesToWrite() == 0; }, 2000);
            phone.socket().readAll();
        }
        // Give the server a moment to answer, or to close on us; then go.
        waitFor([&] { return phone.socket().bytesAvailable() >= Records::kSize || !phone.connected(); }, 100);
        phone.socket().abort();
    }
    qInfo("%d connections", budget.done());

    // Still serving: a well-formed file is stored whole and acknowledged with its size.
    const QByteArray content = m.randomBytes(5000);
    Records::FileHeader h;
    h.fileSize = content.size();
    h.ratio = 1;
    h.name = "final.jpg";
    h.mobilePath = "/storage/emulated/0/DCIM/final.jpg";
    h.md5 = TestSupport::md5Hex(content).toLatin1();
    h.createTime = "2022-02-02T02:02:02";
    TestSupport::LoopbackPhone phone;
    QVERIFY(phone.connectTo(server.serverPort(), QHostAddress(), 3000));
    phone.write(Records::encodeFileHeader(h) + content);
    const QByteArray reply = phone.bytes(Records::kSize, 10000);
    QVERIFY2(!reply.isEmpty(), qPrintable(QStringLiteral("no acknowledgement (seed %1)").arg(seed)));
    Records::FileAck ack;
    QVERIFY(Records::decodeFileAck(reply.constData(), &ack));
    QCOMPARE(ack.storedSize, content.size());
    QCOMPARE(ack.md5, h.md5);
    QVERIFY(QFile::exists(device + QStringLiteral("/2022/02/final.jpg")));

    // Nothing outside the device folder.
    for (const QString &file : TestSupport::filesUnder(root.path()))
        QVERIFY2(QDir(root.path()).filePath(file).startsWith(device + QLatin1Char('/')),
                 qPrintable(file + QStringLiteral(" (seed %1)").arg(seed)));
    for (const QString &file : TestSupport::filesUnder(home.path()))
        QVERIFY2(false, qPrintable(file + QStringLiteral(" written outside (seed %1)").arg(seed)));
}

QTEST_MAIN(TstFuzzFileConnection)
#include "tst_fuzz_fileconnection.moc"
