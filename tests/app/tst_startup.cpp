// Start-up: the two pending resets, the process walk, and the single-instance guard with its
// box, in this process and with the real program started twice.
#include "app/Startup.h"
#include "backup/LocalDataBase.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "platform/SingleInstance.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QtTest>

#include <csignal>
#include <unistd.h>

class TestStartup : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    ReadWriteSetting *store() { return ReadWriteSetting::getInstance(); }
    QString file(const QString &name) const { return m_dir->filePath(name); }

private slots:
    void init()
    {
        m_dir = TestSupport::makeProgramDir();
        Dialogs::clearRecords();
        Dialogs::setNonInteractive(true);
    }

    void localReset()
    {
        QVERIFY(TestSupport::writeFile(file(QStringLiteral("localfiles.db")), "db"));
        QVERIFY(TestSupport::writeFile(file(QStringLiteral("localfiles.db-wal")), "log"));
        QVERIFY(TestSupport::writeFile(file(QStringLiteral("localfiles.db-shm")), "shm"));
        QVERIFY(TestSupport::writeFile(file(QStringLiteral("phone.db")), "db"));
        store()->setGlobalValue(QStringLiteral("saveDrive"), QStringLiteral("/old/"));
        store()->setGlobalValue(QStringLiteral("localReset"), QStringLiteral("1"));
        applyLocalReset();
        QVERIFY(!QFile::exists(file(QStringLiteral("localfiles.db"))));
        QVERIFY(!QFile::exists(file(QStringLiteral("localfiles.db-wal"))));
        QVERIFY(!QFile::exists(file(QStringLiteral("localfiles.db-shm"))));
        QVERIFY(QFile::exists(file(QStringLiteral("phone.db"))));
        QCOMPARE(store()->getGlobalValue(QStringLiteral("localReset")), QStringLiteral("0"));
        QVERIFY(!TestSupport::readFile(file(QStringLiteral("global.xml"))).contains("saveDrive"));
        // Done once: a second start changes nothing.
        store()->setGlobalValue(QStringLiteral("saveDrive"), QStringLiteral("/new/"));
        applyLocalReset();
        QCOMPARE(store()->getGlobalValue(QStringLiteral("saveDrive")), QStringLiteral("/new/"));
    }

    void remoteReset()
    {
        store()->addUser(QStringLiteral("小米"), QStringLiteral("/p/1"), QStringLiteral("t"));
        store()->addUser(QStringLiteral("pixel"), QStringLiteral("/p/2"), QStringLiteral("t"));
        // A device name that points out of the program folder must not reach that file.
        store()->addUser(QStringLiteral("../outside"), QStringLiteral("/p/3"), QStringLiteral("t"));
        QTemporaryDir outer;
        const QString inner = outer.filePath(QStringLiteral("prog"));
        QVERIFY(QDir().mkpath(inner));
        QVERIFY(TestSupport::writeFile(outer.filePath(QStringLiteral("outside.db")), "keep"));
        AppPaths::setProgramDirOverride(inner);
        ReadWriteSetting::resetInstanceForTests();
        QVERIFY(QFile::copy(file(QStringLiteral("global.xml")), inner + QStringLiteral("/global.xml")));
        for (const char *n : {"小米.db", "pixel.db", "localfiles.db", "photo.jpg"})
            QVERIFY(TestSupport::writeFile(inner + QLatin1Char('/') + QString::fromUtf8(n), "x"));
        store()->setGlobalValue(QStringLiteral("remoteReset"), QStringLiteral("2"));

        QCOMPARE(applyRemoteReset(), 3);
        QVERIFY(!QFile::exists(inner + QStringLiteral("/小米.db")));
        QVERIFY(!QFile::exists(inner + QStringLiteral("/pixel.db")));
        QVERIFY(QFile::exists(inner + QStringLiteral("/localfiles.db")));
        QVERIFY(QFile::exists(inner + QStringLiteral("/photo.jpg")));
        QVERIFY(QFile::exists(outer.filePath(QStringLiteral("outside.db"))));
        QVERIFY(store()->getUserList().isEmpty());
        QCOMPARE(store()->getGlobalValue(QStringLiteral("remoteReset")), QStringLiteral("0"));
    }

    void resetNoticeSaysWhatWasDone()
    {
        QVERIFY(Startup::resetNotice(false, -1).isEmpty());
        const QString local = Startup::resetNotice(true, -1);
        QVERIFY(local.contains(QStringLiteral("本地相册数据库已清空")));
        QVERIFY(!local.contains(QStringLiteral("移动设备")));
        const QString phones = Startup::resetNotice(false, 3);
        QVERIFY2(phones.contains(QStringLiteral("已删除 3 部手机的授权和相册数据库")), qPrintable(phones));
        QVERIFY(phones.contains(QStringLiteral("已备份的照片和视频仍在原处")));
        // Pending with an empty phone list is still a reset done.
        QVERIFY(!Startup::resetNotice(false, 0).isEmpty());
    }

    void unreadableSettingsRecoverPhonesFromTheirDatabases()
    {
        const QString root = m_dir->filePath(QStringLiteral("drive/"));
        const QString folder = root + QStringLiteral("万特相册/小米");
        QVERIFY(QDir().mkpath(folder));
        {
            LocalDataBase db(file(QStringLiteral("小米.db")));
            QVERIFY(db.insertRecord(QStringLiteral("a.jpg"), folder + QStringLiteral("/2021/05/a.jpg"), 1,
                                    QStringLiteral("m"), QStringLiteral("小米"), 0, QString(), QString(),
                                    QStringLiteral("/p/a.jpg")) >= 0);
            LocalDataBase empty(file(QStringLiteral("pixel.db")));
            QVERIFY(empty.insertRecord(QStringLiteral("b.jpg"), QString(), 1, QStringLiteral("n"),
                                       QStringLiteral("pixel"), 0, QString(), QString(), QString()) >= 0);
        }
        QVERIFY(TestSupport::writeFile(file(QStringLiteral("global.xml")), "<parameter><glo"));
        ReadWriteSetting::resetInstanceForTests();

        const QString notice = Startup::recoverBrokenSettings();
        QVERIFY2(notice.contains(QStringLiteral("global.xml.broken-")) &&
                     notice.contains(QStringLiteral("pixel、小米")) && notice.contains(root),
                 qPrintable(notice));
        const QList<UserEntry> users = store()->getUserList();
        QCOMPARE(users.size(), 2);
        QCOMPARE(users.at(0).name + users.at(0).path, QStringLiteral("pixel"));
        QCOMPARE(users.at(1).name + users.at(1).path, QStringLiteral("小米") + folder);
        QCOMPARE(store()->getGlobalValue(QStringLiteral("saveDrive")), root);
        // A readable file is nothing to recover.
        ReadWriteSetting::resetInstanceForTests();
        QVERIFY(Startup::recoverBrokenSettings().isEmpty());
    }

    void remoteResetWithoutUsers()
    {
        store()->setGlobalValue(QStringLiteral("remoteReset"), QStringLiteral("1"));
        applyRemoteReset();
        QCOMPARE(store()->getGlobalValue(QStringLiteral("remoteReset")), QStringLiteral("0"));
        QVERIFY(store()->getUserList().isEmpty());
    }

    void markerThatIsNotANumber()
    {
        QVERIFY(TestSupport::writeFile(file(QStringLiteral("localfiles.db")), "db"));
        store()->addUser(QStringLiteral("a"), QStringLiteral("/a"), QStringLiteral("t"));
        QVERIFY(TestSupport::writeFile(file(QStringLiteral("a.db")), "db"));
        store()->setGlobalValue(QStringLiteral("localReset"), QStringLiteral("yes"));
        store()->setGlobalValue(QStringLiteral("remoteReset"), QStringLiteral("yes"));
        applyLocalReset();
        applyRemoteReset();
        QVERIFY(QFile::exists(file(QStringLiteral("localfiles.db"))));
        QVERIFY(QFile::exists(file(QStringLiteral("a.db"))));
        QCOMPARE(store()->getUserList().size(), 1);
        QCOMPARE(store()->getGlobalValue(QStringLiteral("localReset")), QStringLiteral("yes"));
        QCOMPARE(store()->getGlobalValue(QStringLiteral("remoteReset")), QStringLiteral("yes"));
    }

    void qtDialogsInChinese()
    {
        // The folder dialog of the local album page is Qt's own; its texts come from Qt's catalogue.
        QVERIFY(Startup::installQtTranslations());
        const QString label = QCoreApplication::translate("QFileDialog", "Directory:");
        QVERIFY2(label != QLatin1String("Directory:") && !label.isEmpty(), qPrintable(label));
    }

    void processWalk()
    {
        const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(findProcess(self));
        QVERIFY(!findProcess(self.toUpper()));
        QVERIFY(!findProcess(QStringLiteral("Everything.exe")));
    }

    void secondCopyBoxInProcess()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(tmp.path()));
        SingleInstance first(QStringLiteral("vanteoalbum"));
        QVERIFY(Startup::claimSingleInstance(&first));
        QVERIFY(Dialogs::records().isEmpty());

        SingleInstance second(QStringLiteral("vanteoalbum"));
        Dialogs::setNextAnswer(Dialogs::Ok);
        // The first copy does not answer on its socket: the box is the fallback.
        QVERIFY(!Startup::claimSingleInstance(&second));
        QCOMPARE(Dialogs::records().size(), 1);
        const Dialogs::Record box = Dialogs::records().first();
        QCOMPARE(box.icon, Dialogs::Information);
        QCOMPARE(box.title, QStringLiteral("万特相册"));
        QCOMPARE(box.text, QStringLiteral("应用程序已经启动"));
        QCOMPARE(box.buttons.size(), 1);
        QCOMPARE(Dialogs::pendingAnswers(), 0);
        qunsetenv("TMPDIR");
        qunsetenv("XDG_RUNTIME_DIR");
    }

    void realProgramTwice()
    {
        // The program is placed in a folder of its own, which becomes its program folder.
        QTemporaryDir prog;
        QTemporaryDir tmp;
        const QString exe = prog.filePath(QStringLiteral("vanteoalbum"));
        const QString built = TestSupport::binDir() + QStringLiteral("/vanteoalbum");
        QVERIFY2(QFile::exists(built), qPrintable(built));
        if (::link(QFile::encodeName(built).constData(), QFile::encodeName(exe).constData()) != 0)
            QVERIFY(QFile::copy(built, exe));
        // A local reset is pending: it must be done before the window chooses the storage root.
        QVERIFY(TestSupport::writeFile(prog.filePath(QStringLiteral("localfiles.db")), "db"));
        QVERIFY(
            TestSupport::writeFile(prog.filePath(QStringLiteral("global.xml")),
                                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<parameter><global>"
                                   "<localReset>1</localReset><saveDrive>/gone/</saveDrive></global></parameter>\n"));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VANTEO_NONINTERACTIVE"), QStringLiteral("1"));
        const auto start = [&](QProcess *p) {
            p->setProcessEnvironment(env);
            p->setWorkingDirectory(tmp.path());
            p->start(exe, {});
            return p->waitForStarted(5000);
        };
        const QString xml = prog.filePath(QStringLiteral("global.xml"));
        const auto windowUp = [&] {
            const QByteArray s = TestSupport::readFile(xml);
            return s.contains("<localReset>0</localReset>") && s.contains("<saveDrive>") && !s.contains("/gone/");
        };

        QProcess first;
        QVERIFY(start(&first));
        QVERIFY2(TestSupport::waitFor(windowUp, 30000), TestSupport::readFile(xml).constData());
        QVERIFY(!QFile::exists(prog.filePath(QStringLiteral("localfiles.db"))));
        QVERIFY(QDir(prog.filePath(QStringLiteral("dump"))).exists());
        // The start after the reset says what it did.
        QByteArray firstErr;
        const auto firstSaid = [&](const QString &text) {
            return TestSupport::waitFor(
                [&] {
                    firstErr += first.readAllStandardError();
                    return QString::fromUtf8(firstErr).contains(text);
                },
                20000);
        };
        QVERIFY2(firstSaid(QStringLiteral("本地相册数据库已清空")), firstErr.constData());

        // A second start brings the first forward and shows no box.
        QProcess second;
        QVERIFY(start(&second));
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        const QString err = QString::fromUtf8(second.readAllStandardError());
        QVERIFY2(!err.contains(QStringLiteral("应用程序已经启动")), qPrintable(err));
        QVERIFY2(firstSaid(QStringLiteral("a second start asks this copy to come forward")), firstErr.constData());
        QCOMPARE(first.state(), QProcess::Running);

        // A first copy that cannot answer (stopped): the box, after a bounded wait.
        ::kill(pid_t(first.processId()), SIGSTOP);
        QProcess blocked;
        QVERIFY(start(&blocked));
        QVERIFY(blocked.waitForFinished(20000));
        QCOMPARE(blocked.exitCode(), 0);
        const QString blockedErr = QString::fromUtf8(blocked.readAllStandardError());
        QVERIFY2(blockedErr.contains(QStringLiteral("应用程序已经启动")), qPrintable(blockedErr));
        ::kill(pid_t(first.processId()), SIGCONT);

        // The first copy dies without cleaning up; the next start is not blocked by its marker.
        first.kill();
        QVERIFY(first.waitForFinished(5000));
        QProcess third;
        QVERIFY(start(&third));
        QVERIFY(!third.waitForFinished(3000));
        const QString thirdErr = QString::fromUtf8(third.readAllStandardError());
        QVERIFY2(!thirdErr.contains(QStringLiteral("应用程序已经启动")), qPrintable(thirdErr));
        third.terminate();
        QVERIFY(third.waitForFinished(5000));

        // Remove the marker the killed copies left.
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(tmp.path()));
        {
            SingleInstance sweep(QStringLiteral("vanteoalbum"));
            QVERIFY(sweep.acquire());
        }
        qunsetenv("TMPDIR");
        qunsetenv("XDG_RUNTIME_DIR");
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
