#include "ftp/FTP_Client.h"

#include "platform/Dialogs.h"
#include "tests/ftp/FtpTestServers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

using TestSupport::patternBytes;

namespace {

const QString kUser = QStringLiteral("tester");
const QString kPassword = QStringLiteral("secretsecret");

// Greeting and the one-step login most scripts start with.
void greetAndLogin(FakeFtpServer &f, QTcpSocket &c)
{
    f.reply(c, "220 fake ready");
    f.expect(c);
    f.reply(c, "230 logged in");
}

} // namespace

class TestFtpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void passiveReply_data();
    void passiveReply();
    void loginReplies_data();
    void loginReplies();
    void silentServerIsBounded();
    void abortFlagEndsWait();
    void connectArguments();
    void storeOverPassive_data();
    void storeOverPassive();
    void shortSourceFails();
    void realServerRoundTrips();
    void realServerRefusesWrongPassword();
    void lineBreaksAreRefused();
};

void TestFtpClient::initTestCase()
{
    Dialogs::setNonInteractive(true);
}

void TestFtpClient::passiveReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("numbers");
    QTest::newRow("usual") << QByteArray("227 Entering Passive Mode (192,168,1,5,31,64).\r\n") << "192.168.1.5" << 8000
                           << 6;
    QTest::newRow("no parentheses") << QByteArray("227 =127,0,0,1,4,1") << "127.0.0.1" << 1025 << 6;
    QTest::newRow("digits before the first space") << QByteArray("227(9,9) 10,0,0,1,0,21") << "10.0.0.1" << 21 << 6;
    QTest::newRow("leading commas") << QByteArray("227 x,,1,2,3,4,5,6") << "1.2.3.4" << 1286 << 6;
    QTest::newRow("digits after the sixth") << QByteArray("227 (1,2,3,4,5,6,7,8)") << "1.2.3.4" << 1286 << 6;
    QTest::newRow("port kept to 16 bits") << QByteArray("227 (1,2,3,4,300,1)") << "1.2.3.4" << 11265 << 6;
    QTest::newRow("too few") << QByteArray("227 (1,2,3)") << "1.2.3.0" << 0 << 3;
    QTest::newRow("no space") << QByteArray("227(1,2,3,4,5,6)") << "0.0.0.0" << 0 << 0;
}

void TestFtpClient::passiveReply()
{
    QFETCH(QByteArray, reply);
    const FTP_Client::PassiveAddress a = FTP_Client::parsePassiveReply(reply);
    QTEST(a.host, "host");
    QTEST(int(a.port), "port");
    QTEST(a.numbers, "numbers");
}

void TestFtpClient::loginReplies_data()
{
    QTest::addColumn<QByteArrayList>("replies"); // greeting, then one per command
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("commands");
    const QString user = QStringLiteral("USER ") + kUser;
    const QString pass = QStringLiteral("PASS ") + kPassword;
    QTest::newRow("full login") << QByteArrayList{"220 hi", "331 pw", "230 ok", "200 binary", "215 UNIX"} << 0
                                << QStringList{user, pass, QStringLiteral("TYPE I"), QStringLiteral("SYST")};
    QTest::newRow("multi-line PASS reply")
        << QByteArrayList{"220 hi", "331 pw", "230-Welcome\r\n230-to us\r\n230 ok", "200 binary", "215 UNIX"} << 0
        << QStringList{user, pass, QStringLiteral("TYPE I"), QStringLiteral("SYST")};
    QTest::newRow("230 at USER") << QByteArrayList{"220 hi", "230 no password needed"} << 0 << QStringList{user};
    QTest::newRow("530 at USER") << QByteArrayList{"220 hi", "530 go away"} << -1 << QStringList{user};
    QTest::newRow("530 at PASS") << QByteArrayList{"220 hi", "331 pw", "530 wrong"} << -1 << QStringList{user, pass};
    QTest::newRow("no 220") << QByteArrayList{"421 busy"} << -1 << QStringList{};
    QTest::newRow("multi-line greeting") << QByteArrayList{"220-first\r\n220-second\r\n220 ready", "230 ok"} << 0
                                         << QStringList{user};
}

void TestFtpClient::loginReplies()
{
    QFETCH(QByteArrayList, replies);
    QFETCH(QStringList, commands);
    FakeFtpServer fake([replies](FakeFtpServer &f, QTcpSocket &c) {
        f.reply(c, replies.first());
        for (int i = 1; i < replies.size(); ++i) {
            if (f.expect(c).isEmpty())
                return;
            f.reply(c, replies.at(i));
        }
        // Anything the client sends after the script would be a fault; record it.
        f.expect(c, 300);
    });
    QVERIFY(fake.listen());
    FTP_Client client;
    client.setWaitTimeout(2000);
    QTEST(client.ConnectFTP(QStringLiteral("127.0.0.1"), fake.port(), kUser, kPassword), "result");
    client.controlSocket()->abort();
    QVERIFY(fake.wait(5000));
    QCOMPARE(fake.commands(), commands);
}

void TestFtpClient::silentServerIsBounded()
{
    // PASS is never answered: no line at all is a failed login, after the (short) wait only.
    FakeFtpServer fake([](FakeFtpServer &f, QTcpSocket &c) {
        f.reply(c, "220 hi");
        f.expect(c);
        f.reply(c, "331 pw");
        f.expect(c);
        f.waitClosed(c);
    });
    QVERIFY(fake.listen());
    FTP_Client client;
    client.setWaitTimeout(300);
    QElapsedTimer t;
    t.start();
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), fake.port(), kUser, kPassword), -1);
    QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(client.lastCommand(), QStringLiteral("PASS"));
    client.controlSocket()->abort();
    QVERIFY(fake.wait(5000));
}

void TestFtpClient::abortFlagEndsWait()
{
    // The greeting never comes; the full 30 s wait is cut short from another thread.
    FakeFtpServer fake([](FakeFtpServer &f, QTcpSocket &c) { f.waitClosed(c); });
    QVERIFY(fake.listen());
    std::atomic<bool> abort{false};
    FTP_Client client;
    QCOMPARE(client.waitTimeout(), 30000);
    client.setAbortFlag(&abort);
    std::thread setter([&abort] {
        QThread::msleep(200);
        abort = true;
    });
    QElapsedTimer t;
    t.start();
    const int result = client.ConnectFTP(QStringLiteral("127.0.0.1"), fake.port(), kUser, kPassword);
    setter.join();
    QCOMPARE(result, -1);
    QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    client.controlSocket()->abort();
    QVERIFY(fake.wait(5000));
}

void TestFtpClient::connectArguments()
{
    Dialogs::clearRecords();
    FTP_Client client;
    QCOMPARE(client.ConnectFTP(QString(), 70000, kUser, kPassword), -1);
    const QList<Dialogs::Record> records = Dialogs::records();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.at(0).title, QStringLiteral("Warning"));
    QCOMPARE(records.at(0).text, QStringLiteral("You must input an address in IP/Domain."));
    QCOMPARE(records.at(1).text, QStringLiteral("The port number is out of range. [1~65535]"));

    // Nobody listens: the 500 ms connect wait ends it.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    QElapsedTimer t;
    t.start();
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), closedPort, kUser, kPassword), -1);
    QVERIFY(t.elapsed() < 2000);

    // Without a connection every command fails at once.
    QCOMPARE(client.PWD(), QString());
    QCOMPARE(client.Upload(QStringLiteral("/etc/hostname")), -1);
    QCOMPARE(client.Upload(QString()), 0);
    QCOMPARE(client.Quit(), -1);
}

void TestFtpClient::storeOverPassive_data()
{
    QTest::addColumn<QByteArray>("announced");
    QTest::addColumn<QByteArray>("finalReply");
    QTest::addColumn<int>("result");
    QTest::newRow("226") << QByteArray("127,0,0,1") << QByteArray("226 done") << 0;
    QTest::newRow("451") << QByteArray("127,0,0,1") << QByteArray("451 local error") << -1;
    // The announced address has no listener; the control server's address with the port has.
    QTest::newRow("unreachable address") << QByteArray("127,0,0,2") << QByteArray("226 done") << 0;
    QTest::newRow("125 start") << QByteArray("127,0,0,1") << QByteArray("226 done") << 0;
}

void TestFtpClient::storeOverPassive()
{
    QFETCH(QByteArray, announced);
    QFETCH(QByteArray, finalReply);
    const QByteArray start = QByteArray(QTest::currentDataTag()) == "125 start" ? "125 already open" : "150 go";
    FakeFtpServer fake([=](FakeFtpServer &f, QTcpSocket &c) {
        greetAndLogin(f, c);
        if (f.expect(c) != QLatin1String("PASV"))
            return;
        auto data = f.passive(c, announced);
        if (!f.expect(c).startsWith(QLatin1String("STOR ")))
            return;
        f.reply(c, start);
        f.receiveData(*data);
        f.reply(c, finalReply);
        f.waitClosed(c);
    });
    QVERIFY(fake.listen());

    QTemporaryDir dir;
    const QByteArray content = patternBytes(20000);
    const QString path = dir.filePath(QStringLiteral("dump-20260101-120000.dmp"));
    QVERIFY(TestSupport::writeFile(path, content));

    FTP_Client client;
    client.setWaitTimeout(5000);
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), fake.port(), kUser, kPassword), 0);
    QTEST(client.Upload(path), "result");
    QCOMPARE(client.transferMode(), QStringLiteral("PASV"));
    QCOMPARE(client.lastCommand(), QStringLiteral("STOR"));
    client.controlSocket()->abort();
    QVERIFY(fake.wait(5000));
    QCOMPARE(fake.commands().mid(1),
             (QStringList{QStringLiteral("PASV"), QStringLiteral("STOR dump-20260101-120000.dmp")}));
    QCOMPARE(fake.dataReceived().size(), content.size());
    QVERIFY(fake.dataReceived() == content);
}

void TestFtpClient::shortSourceFails()
{
    // The source ends at 10,000 of the 20,000 bytes it had when opened.
    FakeFtpServer fake([](FakeFtpServer &f, QTcpSocket &c) {
        greetAndLogin(f, c);
        f.expect(c);
        auto data = f.passive(c, "127,0,0,1");
        f.expect(c);
        f.reply(c, "150 go");
        f.receiveData(*data);
        f.reply(c, "226 done"); // the server can't tell; the client must
        if (f.expect(c) == QLatin1String("PWD"))
            f.reply(c, "257 \"/\" is current");
        f.waitClosed(c);
    });
    QVERIFY(fake.listen());
    FTP_Client client;
    client.setWaitTimeout(5000);
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), fake.port(), kUser, kPassword), 0);
    QBuffer source;
    source.setData(patternBytes(10000));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(client.storeData(&source, 20000, QStringLiteral("short.dmp")), -1);
    // The control connection is still in step.
    QCOMPARE(client.PWD(), QStringLiteral("/"));
    client.controlSocket()->abort();
    QVERIFY(fake.wait(5000));
    QVERIFY(fake.dataReceived().size() <= 10000);
}

void TestFtpClient::realServerRoundTrips()
{
    QTemporaryDir root;
    QTemporaryDir local;
    PyFtpServer server;
    QString error;
    QVERIFY2(server.start(root.path(), kUser, kPassword, &error), qPrintable(error));

    FTP_Client client;
    client.setWaitTimeout(5000);
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), server.port(), kUser, kPassword), 0);
    QCOMPARE(client.lastCommand(), QStringLiteral("SYST"));
    QCOMPARE(client.PWD(), QStringLiteral("/"));

    // Folders
    QString created;
    QCOMPARE(client.MKD(QStringLiteral("reports"), &created), 0);
    QCOMPARE(created, QStringLiteral("/reports"));
    QVERIFY(QFileInfo(root.filePath(QStringLiteral("reports"))).isDir());
    QCOMPARE(client.MKD(QStringLiteral("reports")), -1); // exists already
    QStringList lines;
    QCOMPARE(client.LIST(QString(), &lines), 0);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().endsWith(QLatin1String(" reports")), qPrintable(lines.first()));

    // A 20,000-byte upload arrives byte-exact.
    const QByteArray content = patternBytes(20000);
    const QString path = local.filePath(QStringLiteral("dump-20260102-030405.dmp"));
    QVERIFY(TestSupport::writeFile(path, content));
    QCOMPARE(client.Upload(path), 0);
    QCOMPARE(server.received(1), QStringList{QStringLiteral("dump-20260102-030405.dmp")});
    QVERIFY(TestSupport::readFile(root.filePath(QStringLiteral("dump-20260102-030405.dmp"))) == content);

    // An empty file, and one that can't be opened (no STOR is sent for it).
    const QString empty = local.filePath(QStringLiteral("empty.dmp"));
    QVERIFY(TestSupport::writeFile(empty, QByteArray()));
    QCOMPARE(client.Upload(empty), 0);
    QCOMPARE(QFileInfo(root.filePath(QStringLiteral("empty.dmp"))).size(), 0);
    QCOMPARE(client.Upload(local.filePath(QStringLiteral("missing.dmp"))), -1);
    QCOMPARE(client.lastCommand(), QStringLiteral("STOR")); // from the upload before
    QVERIFY(!QFile::exists(root.filePath(QStringLiteral("missing.dmp"))));

    // Download it again; a failed download leaves an existing local file alone.
    QTemporaryDir back;
    QCOMPARE(client.RETR(back.path(), QStringLiteral("dump-20260102-030405.dmp")), 0);
    QVERIFY(TestSupport::readFile(back.filePath(QStringLiteral("dump-20260102-030405.dmp"))) == content);
    QVERIFY(TestSupport::writeFile(back.filePath(QStringLiteral("keep.txt")), "mine"));
    QCOMPARE(client.RETR(back.path(), QStringLiteral("keep.txt")), -1);
    QCOMPARE(TestSupport::readFile(back.filePath(QStringLiteral("keep.txt"))), QByteArray("mine"));
    QCOMPARE(client.Download(), -1); // no remote name

    // The listing of the folder, and the folder dialog.
    Dialogs::setNextText(QStringLiteral("from dialog"));
    QCOMPARE(client.AddFolder(), 0);
    QVERIFY(QFileInfo(root.filePath(QStringLiteral("from dialog"))).isDir());
    QCOMPARE(client.fileList().size(), 4);
    Dialogs::clearRecords();
    QCOMPARE(client.Delete(), 0);
    QCOMPARE(Dialogs::records().size(), 1);
    QCOMPARE(Dialogs::records().first().title, QStringLiteral("Info"));
    QCOMPARE(Dialogs::records().first().text, QStringLiteral("Delete file hasn't been implemented."));

    QCOMPARE(client.RMD(QStringLiteral("reports")), 0);
    QVERIFY(!QFile::exists(root.filePath(QStringLiteral("reports"))));
    QCOMPARE(client.RMD(QStringLiteral("reports")), -1);
    QCOMPARE(client.ClearTaskList(), 0);

    QCOMPARE(client.Quit(), 0);
    QVERIFY(!client.controlSocket()->isOpen());
}

void TestFtpClient::realServerRefusesWrongPassword()
{
    QTemporaryDir root;
    PyFtpServer server;
    QString error;
    QVERIFY2(server.start(root.path(), kUser, kPassword, &error), qPrintable(error));
    FTP_Client client;
    client.setWaitTimeout(5000);
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), server.port(), kUser, QStringLiteral("wrong")), -1);
    QCOMPARE(client.lastCommand(), QStringLiteral("PASS"));
    // A second connect on the same client works.
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), server.port(), kUser, kPassword), 0);
}

void TestFtpClient::lineBreaksAreRefused()
{
    QTemporaryDir root;
    QTemporaryDir local;
    QVERIFY(TestSupport::writeFile(root.filePath(QStringLiteral("keep.txt")), "server copy"));
    PyFtpServer server;
    QString error;
    QVERIFY2(server.start(root.path(), kUser, kPassword, &error), qPrintable(error));
    FTP_Client client;
    client.setWaitTimeout(5000);
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), server.port(), kUser, kPassword), 0);

    const QString injected = QStringLiteral("x\r\nDELE keep.txt");
    QCOMPARE(client.MKD(injected), -1);
    QCOMPARE(client.RMD(QStringLiteral("x\nDELE keep.txt")), -1);
    QCOMPARE(client.RETR(local.path(), injected), -1);
    QCOMPARE(client.LIST(injected), -1);
    // A local file name may hold line breaks on this system.
    const QString evil = local.filePath(QStringLiteral("a\r\nDELE keep.txt"));
    QVERIFY(TestSupport::writeFile(evil, "dump"));
    QCOMPARE(client.Upload(evil), -1);
    QCOMPARE(client.SendLine(client.controlSocket(), injected), -1);
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), server.port(), kUser + QStringLiteral("\r\nDELE keep.txt"),
                               kPassword),
             -1);

    QCOMPARE(TestSupport::readFile(root.filePath(QStringLiteral("keep.txt"))), QByteArray("server copy"));
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("keep.txt")});
    // The session is still usable.
    QCOMPARE(client.ConnectFTP(QStringLiteral("127.0.0.1"), server.port(), kUser, kPassword), 0);
    QCOMPARE(client.PWD(), QStringLiteral("/"));
}

QTEST_MAIN(TestFtpClient)
#include "tst_ftpclient.moc"
