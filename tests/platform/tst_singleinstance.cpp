// The single-instance guard: a live copy blocks a second one, in this process and from
// another process, and is asked to come forward; a marker left by a copy that died, or a lock
// planted by someone else, does not block.
#include "platform/SingleInstance.h"

#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const QString kKey = QStringLiteral("vanteoalbum");

// Child side: "hold" takes the marker and keeps it until killed; "die" takes it and ends
// without releasing anything, like a crash; "serve" holds it and answers second starts,
// printing "activated" for each; "control" serves the control commands too, answering each with
// "ok", then "<command>|<argument>".
int runChild(int argc, char *argv[])
{
    const char *mode = argv[2];
    auto *guard = new SingleInstance(kKey);
    if (!guard->acquire())
        return 2;
    if (!std::strcmp(mode, "die"))
        ::_exit(0);
    if (!std::strcmp(mode, "serve") || !std::strcmp(mode, "control")) {
        QCoreApplication app(argc, argv);
        const auto activated = [] {
            std::printf("activated\n");
            std::fflush(stdout);
        };
        const auto echo = [](const QString &command, const QString &argument) -> QByteArray {
            return "ok\n" + (command + QLatin1Char('|') + argument).toUtf8() + '\n';
        };
        if (!std::strcmp(mode, "serve") ? !guard->listenForActivation(activated)
                                        : !guard->listenForRequests(activated, echo))
            return 3;
        std::printf("held\n");
        std::fflush(stdout);
        return app.exec();
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<QTemporaryDir> m_runtime;

    QProcess *child(const char *mode)
    {
        auto *p = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), m_tmp->path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime->path());
        p->setProcessEnvironment(env);
        p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("child"), QString::fromLatin1(mode)});
        return p;
    }

private slots:
    void init()
    {
        // The lock lives in the private runtime folder; each test gets its own, and its own
        // temporary and cache folders.
        m_runtime.reset();
        m_tmp.reset();
        qunsetenv("TMPDIR");
        m_tmp = std::make_unique<QTemporaryDir>();
        m_runtime = std::make_unique<QTemporaryDir>();
        qputenv("TMPDIR", QFile::encodeName(m_tmp->path()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_tmp->path() + QStringLiteral("/cache")));
    }

    void cleanup()
    {
        // Remove whatever marker a killed child left in the system.
        SingleInstance sweep(kKey);
        sweep.acquire();
    }

    void secondGuardInThisProcess()
    {
        {
            SingleInstance first(kKey);
            QVERIFY(first.acquire());
            QVERIFY(first.lockFilePath().startsWith(m_runtime->path() + QLatin1Char('/')));
            SingleInstance second(kKey);
            QVERIFY(!second.acquire());
            QVERIFY(!second.isHeld());
        }
        SingleInstance again(kKey);
        QVERIFY(again.acquire());
    }

    void liveCopyInAnotherProcess()
    {
        QProcess *p = child("hold");
        QVERIFY(p->waitForReadyRead(10000));
        QCOMPARE(p->readLine().trimmed(), QByteArray("held"));
        {
            SingleInstance second(kKey);
            QVERIFY(!second.acquire());
        }
        // The copy is killed: its marker and lock file stay behind, stale.
        p->kill();
        QVERIFY(p->waitForFinished(5000));
        SingleInstance after(kKey);
        QVERIFY(after.acquire());
    }

    void secondStartBringsTheFirstForward()
    {
        QProcess *p = child("serve");
        QVERIFY(p->waitForReadyRead(10000));
        QCOMPARE(p->readLine().trimmed(), QByteArray("held"));
        SingleInstance second(kKey);
        QVERIFY(!second.acquire());
        QVERIFY(second.askRunningCopyToActivate(5000));
        QVERIFY(p->bytesAvailable() || p->waitForReadyRead(5000));
        QCOMPARE(p->readLine().trimmed(), QByteArray("activated"));

        // A stranger's bytes get no answer and do not activate it.
        QLocalSocket stranger;
        stranger.connectToServer(second.socketPath());
        QVERIFY(stranger.waitForConnected(5000));
        stranger.write(QByteArray(4096, 'x'));
        QVERIFY(stranger.waitForDisconnected(5000));
        QVERIFY(stranger.readAll().isEmpty());
        QVERIFY(second.askRunningCopyToActivate(5000));
        QVERIFY(p->bytesAvailable() || p->waitForReadyRead(5000));
        QCOMPARE(p->readLine().trimmed(), QByteArray("activated"));
        p->kill();
        QVERIFY(p->waitForFinished(5000));
    }

    // The socket's protocol: one bounded line; the control commands with a checked argument are
    // handed on, everything else is answered with an error or dropped unanswered.
    void controlRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer"); // empty: dropped without an answer
        QTest::newRow("pending") << QByteArray("pending\n") << QByteArray("ok\npending|\n");
        QTest::newRow("approve, UTF-8 name")
            << QByteArray("approve 我的手机\n") << QByteArray("ok\napprove|我的手机\n");
        QTest::newRow("refuse, name with a space") << QByteArray("refuse a b\n") << QByteArray("ok\nrefuse|a b\n");
        QTest::newRow("activate still answers") << QByteArray("activate\n") << QByteArray("ok\n");
        const QByteArray bad("error bad request\n");
        QTest::newRow("approve without a name") << QByteArray("approve\n") << bad;
        QTest::newRow("approve, empty name") << QByteArray("approve \n") << bad;
        QTest::newRow("pending with an argument") << QByteArray("pending x\n") << bad;
        QTest::newRow("control character") << QByteArray("approve a\x01b\n") << bad;
        QTest::newRow("not UTF-8") << QByteArray("approve \xff\xfe\n") << bad;
        QTest::newRow("unknown command") << QByteArray("shutdown\n") << QByteArray();
        QTest::newRow("activate with an argument") << QByteArray("activate now\n") << QByteArray();
        QTest::newRow("no end of line within the limit")
            << QByteArray("approve ") + QByteArray(SingleInstance::kMaxRequest, 'n') + '\n'
            << QByteArray();
    }

    void controlRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QProcess *p = child("control");
        QVERIFY(p->waitForReadyRead(10000));
        QCOMPARE(p->readLine().trimmed(), QByteArray("held"));
        QLocalSocket client;
        client.connectToServer(SingleInstance(kKey).socketPath());
        QVERIFY(client.waitForConnected(5000));
        client.write(request);
        QVERIFY(client.waitForBytesWritten(5000));
        QByteArray got;
        while (client.state() == QLocalSocket::ConnectedState && client.waitForReadyRead(5000))
            got += client.readAll();
        got += client.readAll();
        QCOMPARE(got, answer);
        QCOMPARE(client.state(), QLocalSocket::UnconnectedState);

        // The asking side's helper, on the same copy; it refuses to send what is not ours.
        QByteArray reply;
        QVERIFY(SingleInstance(kKey).sendControl(QStringLiteral("approve"), QStringLiteral("手机 1"), &reply));
        QCOMPARE(reply, QByteArray("ok\napprove|手机 1\n"));
        QVERIFY(!SingleInstance(kKey).sendControl(QStringLiteral("shutdown"), QString(), &reply));
        p->kill();
        QVERIFY(p->waitForFinished(5000));
    }

    void controlWithoutHandlerOrCopy()
    {
        QByteArray reply;
        // Nobody listens.
        QVERIFY(!SingleInstance(kKey).sendControl(QStringLiteral("pending"), QString(), &reply, 2000));
        // A copy that serves only activation says so.
        QProcess *p = child("serve");
        QVERIFY(p->waitForReadyRead(10000));
        QVERIFY(SingleInstance(kKey).sendControl(QStringLiteral("pending"), QString(), &reply));
        QVERIFY2(reply.startsWith("error "), reply.constData());
        p->kill();
        QVERIFY(p->waitForFinished(5000));
    }

    void copyThatDoesNotAnswer()
    {
        // A copy that holds the marker but does not listen: the ask fails, and in time.
        QProcess *p = child("hold");
        QVERIFY(p->waitForReadyRead(10000));
        SingleInstance second(kKey);
        QVERIFY(!second.acquire());
        QVERIFY(!second.askRunningCopyToActivate(2000));
        p->kill();
        QVERIFY(p->waitForFinished(5000));
    }

    void plantedLockDoesNotBlock_data()
    {
        QTest::addColumn<QByteArray>("pid");
        QTest::addColumn<bool>("foreignOwner");
        QTest::addColumn<bool>("foreignRuntimeFolder");
        const QByteArray live = QByteArray::number(QCoreApplication::applicationPid());
        QTest::newRow("pid 0") << QByteArray("0") << false << false;
        QTest::newRow("another user's, naming a live process") << live << true << false;
        QTest::newRow("runtime folder of another user") << live << false << true;
    }

    void plantedLockDoesNotBlock()
    {
        QFETCH(QByteArray, pid);
        QFETCH(bool, foreignOwner);
        QFETCH(bool, foreignRuntimeFolder);
        if ((foreignOwner || foreignRuntimeFolder) && ::getuid() != 0)
            QSKIP("needs root to play another user");
        if (foreignRuntimeFolder) {
            // Qt refuses a runtime folder that is not the user's; the guard uses one of its own.
            QVERIFY(::chown(QFile::encodeName(m_runtime->path()).constData(), 65534, 65534) == 0);
        }
        // Where the guard looks, naming a process that QLockFile finds alive (this one).
        const QString planted = foreignRuntimeFolder ? m_runtime->path() + QStringLiteral("/vanteoalbum.lock")
                                                     : SingleInstance(kKey).lockFilePath();
        QFile file(planted);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(pid + '\n' + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + '\n' +
                   QSysInfo::machineHostName().toUtf8() + '\n');
        file.close();
        if (foreignOwner)
            QVERIFY(::chown(QFile::encodeName(planted).constData(), 65534, 65534) == 0);

        SingleInstance guard(kKey);
        QVERIFY(guard.acquire());
        QVERIFY(!guard.lockFilePath().startsWith(m_tmp->path() + QStringLiteral("/vanteoalbum")));
        QVERIFY(!guard.lockFilePath().startsWith(QDir::tempPath() + QStringLiteral("/vanteoalbum")));
        // Always in a folder of this user's that nobody else may enter.
        const QFileInfo folder(QFileInfo(guard.lockFilePath()).path());
        QVERIFY(folder.ownerId() == ::getuid() &&
                folder.permissions() ==
                    (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser |
                     QFile::ExeUser));
        // And the guard it took works.
        SingleInstance second(kKey);
        QVERIFY(!second.acquire());
    }

    void staleMarkerOfACrashedCopy()
    {
        QProcess *p = child("die");
        QVERIFY(p->waitForFinished(10000));
        QCOMPARE(p->exitCode(), 0);

        const QString lockPath = SingleInstance(kKey).lockFilePath();
        QVERIFY(QFile::exists(lockPath));
        // The dead copy's segment is still there: attaching works. Keep it attached, so the
        // guard cannot simply remove it and must still start.
        QSharedMemory stale(kKey);
        QVERIFY(stale.attach());

        SingleInstance guard(kKey);
        QVERIFY(guard.acquire());
        // And now a live copy holds it again.
        SingleInstance second(kKey);
        QVERIFY(!second.acquire());
    }
};

int main(int argc, char *argv[])
{
    if (argc == 3 && !std::strcmp(argv[1], "child"))
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestSingleInstance t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_singleinstance.moc"
