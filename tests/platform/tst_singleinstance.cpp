// The single-instance guard: a live copy blocks a second one, in this process and from
// another process, and is asked to come forward; a marker left by a copy that died does not block.
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
// printing "activated" for each.
int runChild(int argc, char *argv[])
{
    const char *mode = argv[2];
    auto *guard = new SingleInstance(kKey);
    if (!guard->acquire())
        return 2;
    if (!std::strcmp(mode, "die"))
        ::_exit(0);
    if (!std::strcmp(mode, "serve")) {
        QCoreApplication app(argc, argv);
        if (!guard->listenForActivation([] {
                std::printf("activated\n");
                std::fflush(stdout);
            }))
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

    QProcess *child(const char *mode)
    {
        auto *p = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), m_tmp->path());
        p->setProcessEnvironment(env);
        p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("child"), QString::fromLatin1(mode)});
        return p;
    }

private slots:
    void init()
    {
        // The marker and the lock live in the temporary folder; each test gets its own.
        m_tmp = std::make_unique<QTemporaryDir>();
        qputenv("TMPDIR", QFile::encodeName(m_tmp->path()));
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
            QVERIFY(first.lockFilePath().startsWith(m_tmp->path()));
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
