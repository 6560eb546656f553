// Crash reports: the file name's calendar arithmetic, and real crashes of a child process
// (this program started again with "crash <kind> <dump folder>").
#include "platform/CrashHandler.h"

#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/ptrace.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// Not instrumented: the undefined-behaviour checker would stop the child before the real crash.
extern "C" Q_DECL_EXPORT __attribute__((noinline, no_sanitize_undefined)) void vanteoCrashHere(int kind)
{
    volatile int zero = 0;
    volatile int seven = 7;
    switch (kind) {
    case SIGSEGV: {
        volatile int *p = nullptr;
        *p = 1;
        break;
    }
    case SIGFPE: std::printf("%d\n", seven / zero); break;
    case SIGILL: __builtin_trap();
    case SIGABRT: std::abort();
    default: ::raise(kind);
    }
}

namespace {

// Child side: arm the handler and crash. With "traced", a forked tracer first attaches to us
// (as a debugger would) and passes every signal on.
int runChild(const char *kind, const char *dumpDir)
{
    if (!CrashHandler::install(QString::fromLocal8Bit(dumpDir)))
        return 3;
    int sig = SIGSEGV;
    if (!std::strcmp(kind, "abort"))
        sig = SIGABRT;
    else if (!std::strcmp(kind, "fpe"))
        sig = SIGFPE;
    else if (!std::strcmp(kind, "ill"))
        sig = SIGILL;
    else if (!std::strcmp(kind, "bus"))
        sig = SIGBUS;
    if (!std::strcmp(kind, "traced")) {
        const pid_t parent = ::getpid();
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
        const pid_t tracer = ::fork();
        if (tracer == 0) {
            if (::ptrace(PTRACE_SEIZE, parent, nullptr, nullptr) != 0)
                ::_exit(1);
            int status = 0;
            while (::waitpid(parent, &status, __WALL) == parent) {
                if (WIFEXITED(status) || WIFSIGNALED(status))
                    ::_exit(0);
                const int s = WIFSTOPPED(status) ? WSTOPSIG(status) : 0;
                ::ptrace(PTRACE_CONT, parent, nullptr, reinterpret_cast<void *>(static_cast<long>(s)));
            }
            ::_exit(0);
        }
        for (int i = 0; i < 300 && TestSupport::procStatus("TracerPid") <= 0; ++i)
            ::usleep(10000);
        if (TestSupport::procStatus("TracerPid") <= 0)
            return 4; // no permission to trace here
    }
    vanteoCrashHere(sig);
    return 5;
}

} // namespace

class TestCrashHandler : public QObject
{
    Q_OBJECT

private:
    QStringList dumps(const QString &dir) const
    {
        return QDir(dir).entryList({QStringLiteral("*")}, QDir::Files, QDir::Name);
    }

    QProcess *crash(const QString &kind, const QString &dir)
    {
        auto *p = new QProcess(this);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("crash"), kind, dir});
        return p;
    }

private slots:
    void dumpName_data()
    {
        QTest::addColumn<qint64>("secs");
        QTest::newRow("epoch") << qint64(0);
        QTest::newRow("leap day 2000") << qint64(951782400 + 3600 * 13 + 61);
        QTest::newRow("leap day 2024 end") << qint64(1709251199);
        QTest::newRow("new year 2027") << qint64(1798761600);
        QTest::newRow("last second 2099") << qint64(4102444799);
        for (qint64 s = 1000000007; s < 4000000000; s += 123456789)
            QTest::newRow(qPrintable(QString::number(s))) << s;
    }

    void dumpName()
    {
        QFETCH(qint64, secs);
        char buf[256];
        QVERIFY(CrashHandler::formatDumpPath(buf, sizeof buf, "/p/dump", secs));
        const QString expected = QStringLiteral("/p/dump/dump-") +
            QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(QStringLiteral("yyyyMMdd-HHmmss")) +
            QStringLiteral(".dmp");
        QCOMPARE(QString::fromLatin1(buf), expected);
    }

    void dumpNameTooLong()
    {
        char buf[20];
        QVERIFY(!CrashHandler::formatDumpPath(buf, sizeof buf, "/a/long/dump/folder", 0));
    }

    void realCrash_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("signalText");
        QTest::newRow("segv") << "segv"
                              << "signal: 11 (SIGSEGV)";
        QTest::newRow("abort") << "abort"
                               << "signal: 6 (SIGABRT)";
        QTest::newRow("fpe") << "fpe"
                             << "signal: 8 (SIGFPE)";
        QTest::newRow("ill") << "ill"
                             << "signal: 4 (SIGILL)";
        QTest::newRow("bus") << "bus"
                             << "signal: 7 (SIGBUS)";
    }

    void realCrash()
    {
        QFETCH(QString, kind);
        QFETCH(QString, signalText);
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(QStringLiteral("prog/dump"));
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QProcess *p = crash(kind, dir);
        QVERIFY(p->waitForFinished(20000));
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);
        // The process still dies of its signal after the report.
        QCOMPARE(p->exitStatus(), QProcess::CrashExit);

        const QStringList files = dumps(dir);
        QCOMPARE(files.size(), 1);
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^dump-(\\d{8}-\\d{6})\\.dmp$")).match(files.first());
        QVERIFY2(m.hasMatch(), qPrintable(files.first()));
        const QDateTime stamp = QDateTime::fromString(m.captured(1), QStringLiteral("yyyyMMdd-HHmmss"));
        QVERIFY2(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after, qPrintable(m.captured(1)));

        const QString report = QString::fromUtf8(TestSupport_readAll(QDir(dir).filePath(files.first())));
        QVERIFY2(report.contains(signalText), qPrintable(report));
        QVERIFY(report.contains(QStringLiteral("time: ") + stamp.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
        const int bt = report.indexOf(QStringLiteral("backtrace:\n"));
        QVERIFY(bt > 0);
        QVERIFY2(report.mid(bt).count(QLatin1Char('\n')) >= 4, qPrintable(report));
        // The unwinding went through the signal frame up to main().
        QVERIFY2(report.contains(QStringLiteral("(main+")), qPrintable(report));
        if (kind == QLatin1String("segv"))
            QVERIFY2(report.contains(QStringLiteral("vanteoCrashHere")), qPrintable(report));
    }

    void sameSecondReplacesReport()
    {
        // Reports named for the coming seconds already exist and are long: the crash's report
        // replaces its file completely.
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(QStringLiteral("dump"));
        QVERIFY(QDir().mkpath(dir));
        const QDateTime now = QDateTime::currentDateTime();
        QByteArray old(64 * 1024, 'X');
        for (int s = -1; s < 8; ++s) {
            const QString name = QStringLiteral("dump-") + now.addSecs(s).toString(QStringLiteral("yyyyMMdd-HHmmss")) +
                QStringLiteral(".dmp");
            QFile f(QDir(dir).filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(old);
        }
        QProcess *p = crash(QStringLiteral("segv"), dir);
        QVERIFY(p->waitForFinished(20000));
        int replaced = 0;
        for (const QString &f : dumps(dir)) {
            const QByteArray content = TestSupport_readAll(QDir(dir).filePath(f));
            if (!content.startsWith("XXXX")) {
                ++replaced;
                QVERIFY(!content.contains("XXXX"));
                QVERIFY(content.contains("SIGSEGV"));
            }
        }
        QCOMPARE(replaced, 1);
    }

    void noReportUnderDebugger()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(QStringLiteral("dump"));
        QProcess *p = crash(QStringLiteral("traced"), dir);
        QVERIFY(p->waitForFinished(20000));
        if (p->exitStatus() == QProcess::NormalExit && p->exitCode() == 4)
            QSKIP("tracing a process is not permitted here");
        QCOMPARE(p->exitStatus(), QProcess::CrashExit);
        QVERIFY(QDir(dir).exists());         // armed ...
        QCOMPARE(dumps(dir), QStringList()); // ... but silent while traced
    }

private:
    static QByteArray TestSupport_readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

int main(int argc, char *argv[])
{
    if (argc == 4 && !std::strcmp(argv[1], "crash"))
        return runChild(argv[2], argv[3]);
    QCoreApplication app(argc, argv);
    TestCrashHandler t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_crashhandler.moc"
