// The program on a desktop, against real services the test starts: an X server (Xvfb) with a tray
// host (trayer), a private D-Bus session bus and a notification daemon (dunst). Closing the window
// keeps the program in the tray and says so once; phones' sessions and problems are notified; the
// tray follows the transfers; start at login is a valid autostart entry.
#include "app/BackupNotifications.h"
#include "app/TrayIcon.h"
#include "app/VanteoUI.h"
#include "backup/TransferMonitor.h"
#include "platform/Autostart.h"
#include "platform/DesktopNotifier.h"
#include "platform/Dialogs.h"
#include "platform/StorageVolumes.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// The services, started before QApplication so it connects to them. Each is ended at exit.
struct Desktop
{
    QList<pid_t> pids;
    QString skip;

    static QString which(const char *tool) { return QStandardPaths::findExecutable(QString::fromLatin1(tool)); }

    // Starts program with args; with readLine, returns its first output line.
    QByteArray spawn(const QString &program, const QStringList &args, bool readLine)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        qint64 pid = 0;
        if (!readLine) {
            p.setProgram(program);
            p.setArguments(args);
            p.setStandardOutputFile(QProcess::nullDevice());
            if (p.startDetached(&pid))
                pids << pid_t(pid);
            return QByteArray();
        }
        // Tools that print where they listen, then keep running: read that line through a pipe.
        int fds[2];
        if (::pipe(fds) != 0)
            return QByteArray();
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            QList<QByteArray> argv8{QFile::encodeName(program)};
            for (const QString &a : args)
                argv8 << a.toLocal8Bit();
            std::vector<char *> argv;
            for (QByteArray &a : argv8)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        pids << child;
        QByteArray line;
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(fds[0]);
        return line.trimmed();
    }

    bool start()
    {
        for (const char *tool : {"Xvfb", "trayer", "dbus-daemon", "dunst", "dunstctl"}) {
            if (which(tool).isEmpty())
                skip = QStringLiteral("%1 is not installed (scripts/deps.sh installs it)").arg(QLatin1String(tool));
        }
        if (!skip.isEmpty())
            return false;
        const QByteArray display =
            spawn(which("Xvfb"),
                  {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                   QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")},
                  true);
        const QByteArray bus =
            spawn(which("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")}, true);
        if (display.isEmpty() || bus.isEmpty()) {
            skip = QStringLiteral("cannot start Xvfb or dbus-daemon");
            return false;
        }
        qputenv("DISPLAY", ":" + display);
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        qputenv("QT_QPA_PLATFORM", "xcb");
        spawn(which("dunst"), {}, false);
        spawn(which("trayer"), {}, false);
        return true;
    }

    ~Desktop()
    {
        for (pid_t pid : qAsConst(pids))
            ::kill(pid, SIGTERM);
    }
};

Desktop *g_desktop = nullptr;

QString dunstctl(const QStringList &args)
{
    QProcess p;
    p.start(Desktop::which("dunstctl"), args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

int dunstCount(const char *what)
{
    return dunstctl({QStringLiteral("count"), QLatin1String(what)}).toInt();
}

// What dunst has shown, once it shows all of the expected notifications: closes them, then reads
// its history.
QString shownNotifications(int expected)
{
    TestSupport::waitFor([expected] { return dunstCount("displayed") + dunstCount("history") >= expected; }, 10000);
    for (int i = 0; i < 50; ++i) {
        dunstctl({QStringLiteral("close-all")});
        if (dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}) == QLatin1String("0") &&
            dunstctl({QStringLiteral("count"), QStringLiteral("waiting")}) == QLatin1String("0"))
            break;
    }
    return dunstctl({QStringLiteral("history")});
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    void init()
    {
        if (!g_desktop->skip.isEmpty())
            QSKIP(qPrintable(g_desktop->skip));
        m_dir = TestSupport::makeProgramDir();
        StorageVolumes::setVolumesForTests({{QStringLiteral("/vol/a/"), qint64(10) << 30}});
        Dialogs::setNonInteractive(true);
        Dialogs::clearRecords();
    }

    void closingKeepsTheProgramInTheTray()
    {
        // trayer takes the tray selection a moment after it starts.
        QTRY_VERIFY_WITH_TIMEOUT(TrayIcon::isAvailable(), 10000);
        VanteoUI w;
        QVERIFY(w.tray());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!QApplication::quitOnLastWindowClosed());
        // The window manager's close, like the title bar's ×: hidden, not ended, and said once.
        QSignalSpy shown(w.findChild<DesktopNotifier *>(), &DesktopNotifier::shown);
        QVERIFY(w.close() == false);
        QVERIFY(!w.isVisible());
        QVERIFY(shown.wait(10000));
        QVERIFY(shown.first().first().toUInt() > 0);
        w.bringToFront();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.close();
        QVERIFY(!shown.wait(300));
        QCOMPARE(shownNotifications(1).count(QStringLiteral("\"万特相册仍在运行\"")), 1);
        QVERIFY(Dialogs::records().isEmpty());
    }

    void trayAndNotificationsFollowThePhones()
    {
        TrayIcon tray(QIcon(QStringLiteral(":/image/logo.png")));
        DesktopNotifier notifier;
        BackupNotifications notes(&notifier);
        notes.setSessionEndDelay(0);
        QSignalSpy shown(&notifier, &DesktopNotifier::shown);
        TransferMonitor *monitor = TransferMonitor::instance();
        const QString phone = QStringLiteral("桌面测试手机");

        monitor->phoneConnected(phone);
        monitor->fileStarted(phone, QStringLiteral("a.jpg"), 100);
        QTRY_VERIFY(tray.stateText().contains(QStringLiteral("正在接收 1 部手机")));
        tray.icon()->contextMenu()->aboutToShow();
        QStringList items;
        for (QAction *a : tray.icon()->contextMenu()->actions())
            items << a->text();
        QVERIFY2(items.contains(phone + QStringLiteral("（正在接收）")) &&
                     items.first() == QStringLiteral("打开主窗口") && items.last() == QStringLiteral("退出"),
                 qPrintable(items.join(QLatin1Char('|'))));
        monitor->bytesReceived(phone, 100);
        monitor->fileStored(phone, QStringLiteral("a.jpg"), false);
        monitor->fileStored(phone, QStringLiteral("b.jpg"), true);
        monitor->fileFailed(phone, QStringLiteral("c.jpg"), QStringLiteral("磁盘空间不足"));
        QTRY_VERIFY(tray.stateText().contains(QStringLiteral("磁盘空间不足")));
        monitor->phoneDisconnected(phone);
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 2, 10000);
        const QString texts = shownNotifications(2);
        QVERIFY2(texts.contains(QStringLiteral("手机的文件无法保存")) &&
                     texts.contains(phone + QStringLiteral("：c.jpg: 磁盘空间不足")),
                 qPrintable(texts));
        QVERIFY2(texts.contains(QStringLiteral("手机备份完成")) &&
                     texts.contains(phone + QStringLiteral("：收到 2 个文件")) &&
                     texts.contains(QStringLiteral("其中 1 个电脑上已有")),
                 qPrintable(texts));
        monitor->forget(phone);
    }

    void startAtLogin()
    {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        const QString exe = config.filePath(QStringLiteral("my \"programs\"/vanteoalbum"));
        QVERIFY(Autostart::setEnabled(true, exe));
        QCOMPARE(Autostart::entryPath(), config.filePath(QStringLiteral("autostart/vanteoalbum.desktop")));
        QVERIFY(Autostart::isEnabled());
        const QString validator = Desktop::which("desktop-file-validate");
        if (!validator.isEmpty()) {
            QProcess check;
            check.start(validator, {Autostart::entryPath()});
            QVERIFY(check.waitForFinished(10000));
            QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput().constData());
        }
        const QString entry = QString::fromUtf8(TestSupport::readFile(Autostart::entryPath()));
        QVERIFY2(entry.contains(QStringLiteral("Exec=\"") + config.path() +
                                QStringLiteral("/my \\\\\"programs\\\\\"/vanteoalbum\" --minimized")),
                 qPrintable(entry));
        QVERIFY(Autostart::setEnabled(false, exe));
        QVERIFY(!Autostart::isEnabled());
        qunsetenv("XDG_CONFIG_HOME");
    }
};

int main(int argc, char **argv)
{
    Desktop desktop;
    g_desktop = &desktop;
    if (!desktop.start())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestDesktop test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktop.moc"
