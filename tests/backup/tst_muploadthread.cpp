#include "backup/MUploadThread.h"

#include "tests/ftp/FtpTestServers.h"
#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A dump with a modification time minutesAgo minutes in the past.
QString writeDump(const QString &programDir, const QString &name, const QByteArray &content, int minutesAgo)
{
    const QString path = programDir + QStringLiteral("/dump/") + name;
    if (!TestSupport::writeFile(path, content))
        return QString();
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return QString();
    f.setFileTime(QDateTime::currentDateTime().addSecs(-60 * minutesAgo), QFileDevice::FileModificationTime);
    return path;
}

QByteArray bytesOf(char c, int size)
{
    return QByteArray(size, c);
}

} // namespace

class TestMUploadThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void noDumpFolderNoConnection();
    void uploadsNewestFirstAndRemoves();
    void refusedLoginKeepsDumps();
    void unresolvedHostKeepsDumps();
    void stopLetsCurrentUploadFinish();
    void deletingWhileServerIsSilent();

private:
    std::unique_ptr<QTemporaryDir> m_programDir;
};

void TestMUploadThread::initTestCase()
{
    // Qt's complaints about sockets used from a thread they don't belong to.
    TestSupport::catchMessages(
        {QStringLiteral("QSocketNotifier"), QStringLiteral("another thread"), QStringLiteral("different thread")});
}

void TestMUploadThread::init()
{
    m_programDir = TestSupport::makeProgramDir();
    QVERIFY(m_programDir->isValid());
}

void TestMUploadThread::cleanup()
{
    QCOMPARE(TestSupport::takeCaughtMessages(), QStringList());
    m_programDir.reset();
}

void TestMUploadThread::noDumpFolderNoConnection()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    MUploadThread worker;
    worker.setServer(QStringLiteral("127.0.0.1"), listener.serverPort());
    worker.start();
    QVERIFY(worker.wait(5000));
    QVERIFY(!listener.waitForNewConnection(200));

    // An empty folder: no connection either.
    QVERIFY(QDir().mkpath(m_programDir->filePath(QStringLiteral("dump"))));
    MUploadThread again;
    again.setServer(QStringLiteral("127.0.0.1"), listener.serverPort());
    again.start();
    QVERIFY(again.wait(5000));
    QVERIFY(!listener.waitForNewConnection(200));
}

void TestMUploadThread::uploadsNewestFirstAndRemoves()
{
    QTemporaryDir root;
    PyFtpServer server;
    QString error;
    QVERIFY2(server.start(root.path(), QStringLiteral(VANTEO_FTP_USER), QStringLiteral(VANTEO_FTP_PASSWORD), &error),
             qPrintable(error));

    // The older dump has the later name: order must come from the file times.
    const QByteArray older = bytesOf('o', 30000);
    const QByteArray newer = bytesOf('n', 12345);
    const QString olderPath = writeDump(m_programDir->path(), QStringLiteral("dump-20260102-000000.dmp"), older, 60);
    const QString newerPath = writeDump(m_programDir->path(), QStringLiteral("dump-20260101-000000.dmp"), newer, 5);
    QVERIFY(!olderPath.isEmpty() && !newerPath.isEmpty());

    MUploadThread worker;
    worker.setServer(QStringLiteral("127.0.0.1"), server.port());
    worker.start(QThread::InheritPriority);
    QVERIFY(worker.wait(20000));

    QCOMPARE(server.received(2),
             (QStringList{QStringLiteral("dump-20260101-000000.dmp"), QStringLiteral("dump-20260102-000000.dmp")}));
    QVERIFY(TestSupport::readFile(root.filePath(QStringLiteral("dump-20260102-000000.dmp"))) == older);
    QVERIFY(TestSupport::readFile(root.filePath(QStringLiteral("dump-20260101-000000.dmp"))) == newer);
    QVERIFY(!QFile::exists(olderPath));
    QVERIFY(!QFile::exists(newerPath));
}

void TestMUploadThread::refusedLoginKeepsDumps()
{
    QTemporaryDir root;
    PyFtpServer server;
    QString error;
    QVERIFY2(server.start(root.path(), QStringLiteral(VANTEO_FTP_USER), QStringLiteral("not-the-password"), &error),
             qPrintable(error));
    const QString a = writeDump(m_programDir->path(), QStringLiteral("dump-a.dmp"), "a", 10);
    const QString b = writeDump(m_programDir->path(), QStringLiteral("dump-b.dmp"), "b", 5);

    MUploadThread worker;
    worker.setServer(QStringLiteral("127.0.0.1"), server.port());
    worker.start();
    QVERIFY(worker.wait(20000));
    QVERIFY(QFile::exists(a));
    QVERIFY(QFile::exists(b));
    QCOMPARE(server.received(1, 300), QStringList());
    QCOMPARE(QDir(root.path()).entryList(QDir::Files), QStringList());
}

void TestMUploadThread::unresolvedHostKeepsDumps()
{
    const QString a = writeDump(m_programDir->path(), QStringLiteral("dump-a.dmp"), "a", 10);
    MUploadThread worker;
    worker.setServer(QString(), 8117); // resolves to nothing, without asking any name server
    worker.start();
    QVERIFY(worker.wait(10000));
    QVERIFY(QFile::exists(a));
}

void TestMUploadThread::stopLetsCurrentUploadFinish()
{
    FakeFtpServer fake([](FakeFtpServer &f, QTcpSocket &c) {
        f.reply(c, "220 hi");
        f.expect(c);
        f.reply(c, "331 pw");
        f.expect(c);
        f.reply(c, "230 ok");
        f.expect(c);
        f.reply(c, "200 binary");
        f.expect(c);
        f.reply(c, "215 UNIX");
        f.expect(c);
        auto data = f.passive(c, "127,0,0,1");
        f.expect(c);
        f.reply(c, "150 go");
        f.receiveData(*data);
        f.checkpoint.release(); // the first file is on its way
        f.go.tryAcquire(1, 5000);
        f.reply(c, "226 stored");
        f.expect(c, 1000); // a second STOR's PASV would show up here
        f.waitClosed(c);
    });
    QVERIFY(fake.listen());
    const QString older = writeDump(m_programDir->path(), QStringLiteral("dump-old.dmp"), "old", 10);
    const QString newer = writeDump(m_programDir->path(), QStringLiteral("dump-new.dmp"), "new", 5);

    MUploadThread worker;
    worker.setServer(QStringLiteral("127.0.0.1"), fake.port());
    worker.start();
    QVERIFY(fake.checkpoint.tryAcquire(1, 10000));
    worker.stop();
    fake.go.release();
    QVERIFY(worker.wait(10000));
    QVERIFY(fake.wait(10000));

    QVERIFY(!QFile::exists(newer));
    QVERIFY(QFile::exists(older));
    const QStringList commands = fake.commands();
    QCOMPARE(commands.filter(QStringLiteral("STOR")), QStringList{QStringLiteral("STOR dump-new.dmp")});
    QCOMPARE(commands.last(), QStringLiteral("STOR dump-new.dmp"));
    QCOMPARE(fake.dataReceived(), QByteArray("new"));
}

void TestMUploadThread::deletingWhileServerIsSilent()
{
    // The server accepts but never greets: the client would wait 30 s; deleting the worker
    // must cut that short and still wait for run() to end.
    FakeFtpServer fake([](FakeFtpServer &f, QTcpSocket &c) { f.waitClosed(c); });
    QVERIFY(fake.listen());
    const QString dump = writeDump(m_programDir->path(), QStringLiteral("dump-a.dmp"), "a", 1);

    auto worker = std::make_unique<MUploadThread>();
    worker->setServer(QStringLiteral("127.0.0.1"), fake.port());
    worker->start();
    QVERIFY(TestSupport::waitFor([&fake] { return fake.connected(); }, 5000));
    QVERIFY(worker->isRunning());
    QElapsedTimer t;
    t.start();
    worker.reset();
    QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(fake.wait(10000));
    QVERIFY(QFile::exists(dump));
}

QTEST_MAIN(TestMUploadThread)
#include "tst_muploadthread.moc"
