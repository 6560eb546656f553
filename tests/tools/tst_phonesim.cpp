// The phone simulator is a checker: against a fake PC that gets things wrong on purpose it must
// fail, and it must find the PC by its broadcast when the announced address is empty.
#include "wire/Records.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

using TestSupport::waitFor;

namespace {

// A PC that answers the command records and acknowledges files, with one fault on request.
class FakePc : public QObject
{
public:
    enum Fault { None, WrongMd5, WrongSize, WrongPath, NoAck, Refuse, ExtraAck };

    explicit FakePc(Fault fault) : m_fault(fault)
    {
        m_cmd.listen(QHostAddress::LocalHost, 0);
        m_files.listen(QHostAddress::LocalHost, 0);
        connect(&m_cmd, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = m_cmd.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, this, [this, s] { onCommand(s); });
        });
        connect(&m_files, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = m_files.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, this, [this, s] { onFile(s); });
        });
    }
    quint16 port() const { return m_cmd.serverPort(); }
    int filesReceived = 0;
    QByteArray name;

private:
    void onCommand(QTcpSocket *s)
    {
        m_cmdBuffer += s->readAll();
        while (m_cmdBuffer.size() >= Records::kSize) {
            Records::Command c;
            const bool ok = Records::decodeCommand(m_cmdBuffer.constData(), &c);
            m_cmdBuffer.remove(0, Records::kSize);
            if (!ok)
                continue;
            if (c.type == Records::Device) {
                name = c.payload;
                s->write(Records::encodeAuthReply(m_fault != Refuse, "fakepc"));
            } else if (c.type == Records::QueryFilePort) {
                s->write(Records::encodeFilePortReply(m_fault == Refuse ? 0 : m_files.serverPort()));
            } else if (c.type == Records::QueryDatabase) {
                s->write(Records::encodeDatabaseReply(0));
            } else if (c.type == Records::Status9) {
                s->write(Records::encodeBare(Records::Status9));
            }
        }
    }
    void onFile(QTcpSocket *s)
    {
        m_fileBuffer += s->readAll();
        for (;;) {
            if (m_left < 0) {
                if (m_fileBuffer.size() < Records::kSize)
                    return;
                if (Records::decodeFileHeader(m_fileBuffer.constData(), &m_header) != Records::HeaderCheck::Ok)
                    return;
                m_fileBuffer.remove(0, Records::kSize);
                m_left = m_header.fileSize;
            }
            const int take = int(qMin<qint64>(m_left, m_fileBuffer.size()));
            m_content += m_fileBuffer.left(take);
            m_fileBuffer.remove(0, take);
            m_left -= take;
            if (m_left > 0)
                return;
            ++filesReceived;
            Records::FileAck ack;
            ack.ratio = m_header.ratio;
            ack.storedSize = m_content.size() + (m_fault == WrongSize ? 1 : 0);
            ack.mobilePath = m_fault == WrongPath ? QByteArray("/elsewhere") : m_header.mobilePath;
            ack.md5 = m_fault == WrongMd5 ? QByteArray(32, '0') : m_header.md5;
            if (m_fault != NoAck)
                s->write(Records::encodeFileAck(ack));
            if (m_fault == ExtraAck)
                s->write(Records::encodeFileAck(ack));
            m_content.clear();
            m_left = -1;
        }
    }

    Fault m_fault;
    QTcpServer m_cmd;
    QTcpServer m_files;
    QByteArray m_cmdBuffer;
    QByteArray m_fileBuffer;
    Records::FileHeader m_header;
    qint64 m_left = -1;
    QByteArray m_content;
};

} // namespace

class TstPhoneSim : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void checksEveryAcknowledgement_data();
    void checksEveryAcknowledgement();
    void findsThePcByItsBroadcast();

private:
    int run(const QStringList &args, QString *out, const std::function<void()> &tick = {});
    QString m_exe;
    QTemporaryDir m_dir;
};

void TstPhoneSim::initTestCase()
{
    m_exe = TestSupport::binDir() + QStringLiteral("/phonesim");
    if (!QFileInfo(m_exe).isExecutable())
        QSKIP("phonesim is not built");
    QVERIFY(TestSupport::writeFile(m_dir.path() + QStringLiteral("/a.jpg"), QByteArray(70000, 'a')));
    QVERIFY(TestSupport::writeFile(m_dir.path() + QStringLiteral("/sub/b.mp4"), QByteArray(5, 'b')));
}

int TstPhoneSim::run(const QStringList &args, QString *out, const std::function<void()> &tick)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(m_exe, args);
    // The fake PC runs on this thread.
    const bool done = waitFor(
        [&] {
            if (tick)
                tick();
            return p.state() == QProcess::NotRunning;
        },
        60000);
    if (!done) {
        p.kill();
        p.waitForFinished(3000);
    }
    *out = QString::fromUtf8(p.readAll());
    return done ? p.exitCode() : -1;
}

void TstPhoneSim::checksEveryAcknowledgement_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::newRow("all right") << int(FakePc::None) << 0 << "failures=0";
    QTest::newRow("wrong md5") << int(FakePc::WrongMd5) << 1 << "md5";
    QTest::newRow("wrong size") << int(FakePc::WrongSize) << 1 << "stored size";
    QTest::newRow("wrong path") << int(FakePc::WrongPath) << 1 << "phone path";
    QTest::newRow("no acknowledgement") << int(FakePc::NoAck) << 1 << "not acknowledged";
    QTest::newRow("acknowledged twice") << int(FakePc::ExtraAck) << 1 << "FAIL:";
    QTest::newRow("refused") << int(FakePc::Refuse) << 3 << "refused";
}

void TstPhoneSim::checksEveryAcknowledgement()
{
    QFETCH(int, fault);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    FakePc pc(static_cast<FakePc::Fault>(fault));
    QString out;
    const int code = run({QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                          QString::number(pc.port()), QStringLiteral("--name"), QStringLiteral("模拟"),
                          QStringLiteral("--dir"), m_dir.path(), QStringLiteral("--timeout"), QStringLiteral("2"),
                          QStringLiteral("--status"), QStringLiteral("--download-db")},
                         &out);
    QVERIFY2(code == exitCode, qPrintable(out));
    QVERIFY2(out.contains(says), qPrintable(out));
    QCOMPARE(QString::fromUtf8(pc.name), QStringLiteral("模拟"));
    if (fault != FakePc::Refuse)
        QCOMPARE(pc.filesReceived, 2);
}

void TstPhoneSim::findsThePcByItsBroadcast()
{
    FakePc pc(FakePc::None);
    QUdpSocket udp;
    // A PC that could not choose an address announces "": the datagram's source is used. The
    // host name is our own, so broadcasts of other tests on this machine are passed over.
    const QByteArray host = "fakepc-" + QByteArray::number(QCoreApplication::applicationPid());
    const QByteArray datagram = "{\n    \"HostName\": \"" + host +
        "\",\n    \"IP\": \"\",\n    \"PCFunction\": \"vanteoServer\",\n"
        "    \"Port\": " +
        QByteArray::number(pc.port()) + ",\n    \"Protocol\": \"TCP\"\n}\n";
    const QByteArray other = "{\"PCFunction\": \"somethingElse\", \"IP\": \"10.0.0.1\", \"Port\": 1}";
    const QByteArray otherPc =
        "{\"HostName\": \"another\", \"PCFunction\": \"vanteoServer\", \"IP\": \"127.0.0.1\", \"Port\": 1}";
    // To the loopback broadcast address, so that another socket on port 18888 (another test of the
    // suite) does not take the datagram from phonesim.
    QElapsedTimer every;
    every.start();
    QString out;
    const int code = run({QStringLiteral("--name"), QStringLiteral("bc"), QStringLiteral("--dir"), m_dir.path(),
                          QStringLiteral("--pc-name"), QString::fromLatin1(host), QStringLiteral("--discover-timeout"),
                          QStringLiteral("20"), QStringLiteral("--timeout"), QStringLiteral("5")},
                         &out, [&] {
                             if (every.elapsed() < 200)
                                 return;
                             every.restart();
                             udp.writeDatagram(other, QHostAddress(QStringLiteral("127.255.255.255")), 18888);
                             udp.writeDatagram(otherPc, QHostAddress(QStringLiteral("127.255.255.255")), 18888);
                             udp.writeDatagram(datagram, QHostAddress(QStringLiteral("127.255.255.255")), 18888);
                         });
    QVERIFY2(code == 0, qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("found PC %1 at 127.0.0.1:%2").arg(QString::fromLatin1(host)).arg(pc.port())),
             qPrintable(out));
    QCOMPARE(pc.filesReceived, 2);
}

QTEST_MAIN(TstPhoneSim)
#include "tst_phonesim.moc"
