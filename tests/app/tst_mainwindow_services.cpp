// What the main window creates and connects: the pages in their places, the command server
// and the broadcaster, the mobile page's connections, and the once-a-day update check.
#include "app/AppInit.h"
#include "app/VanteoUI.h"
#include "link/CmdServer.h"
#include "link/NetBroadCast.h"
#include "link/pages/MobileForm.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QToolButton>
#include <QtTest>

namespace {

constexpr qint64 GiB = qint64(1) << 30;
const char kTimeFormat[] = "yyyy-MM-dd hh:mm:ss";

QString secondsAgo(qint64 s)
{
    return QDateTime::currentDateTime().addSecs(-s).toString(QLatin1String(kTimeFormat));
}

} // namespace

class TestMainWindowServices : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QTemporaryDir> m_root;

    ReadWriteSetting *settings() { return ReadWriteSetting::getInstance(); }

private slots:
    void initTestCase()
    {
        Dialogs::setNonInteractive(true);
        qApp->installEventFilter(AppInit::getInstance());
    }

    void init()
    {
        m_dir = TestSupport::makeProgramDir();
        m_root = std::make_unique<QTemporaryDir>();
        StorageVolumes::setVolumesForTests({{m_root->path() + QLatin1Char('/'), 10 * GiB}});
        Dialogs::clearRecords();
    }

    void cleanup() { StorageVolumes::clearVolumesForTests(); }

    void pagesSitAtTheirIndices()
    {
        VanteoUI w;
        QStackedWidget *stack = w.pages();
        QCOMPARE(stack->count(), int(VanteoUI::PageCount));
        const char *classes[] = {"LocalForm", "MobileForm", "NetWorkInfoForm", "SettingsForm", "UserHelperForm"};
        for (int i = 0; i < VanteoUI::PageCount; ++i)
            QCOMPARE(stack->widget(i)->metaObject()->className(), classes[i]);
        // The local album page comes first.
        QCOMPARE(stack->currentIndex(), int(VanteoUI::PageLocal));
    }

    void broadcastAnnouncesTheListeningPort()
    {
        VanteoUI w;
        QVERIFY(w.commandServer());
        QVERIFY(w.commandServer()->isListening());
        QVERIFY(w.commandServer()->serverPort() != 0);
        QCOMPARE(NetBroadCast::getInstance()->getPort(), int(w.commandServer()->serverPort()));
    }

    void firstStartStoresTheTimeAndDoesNotCheck()
    {
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        VanteoUI w;
        QVERIFY(!w.updateChecker());
        const QDateTime stored =
            QDateTime::fromString(settings()->getGlobalValue(QStringLiteral("updateTime")), QLatin1String(kTimeFormat));
        QVERIFY(stored.isValid());
        QVERIFY(stored >= before);
        QVERIFY(stored <= QDateTime::currentDateTime().addSecs(1));
    }

    void dailyCheck_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("checks");
        QTest::newRow("an hour ago") << secondsAgo(3600) << false;
        QTest::newRow("just under a day") << secondsAgo(86390) << false;
        QTest::newRow("just over a day") << secondsAgo(86410) << true;
        QTest::newRow("a week ago") << secondsAgo(7 * 86400) << true;
        QTest::newRow("unreadable") << QStringLiteral("yesterday") << true;
        QTest::newRow("in the future") << QDateTime::currentDateTime().addDays(3).toString(QLatin1String(kTimeFormat))
                                       << true;
    }

    void dailyCheck()
    {
        QFETCH(QString, stored);
        QFETCH(bool, checks);
        settings()->setGlobalValue(QStringLiteral("updateTime"), stored);
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        VanteoUI w;
        QCOMPARE(w.updateChecker() != nullptr, checks);
        const QString after = settings()->getGlobalValue(QStringLiteral("updateTime"));
        if (checks) {
            // The time is stored before the request goes out.
            QVERIFY(QDateTime::fromString(after, QLatin1String(kTimeFormat)) >= before);
        } else {
            QCOMPARE(after, stored);
        }
    }

    void acceptedPhoneSwitchesToTheMobilePage()
    {
        const QString name = QStringLiteral("张三的手机");
        settings()->addUser(name, m_root->path() + QStringLiteral("/万特相册/") + name, secondsAgo(0));
        VanteoUI w;
        auto *settingsButton = w.findChild<QToolButton *>(QStringLiteral("btnSetting"));
        settingsButton->click();
        QCOMPARE(w.pages()->currentIndex(), int(VanteoUI::PageSetting));

        emit w.commandServer()->UpdateRemoteInfo(name, true);

        QCOMPARE(w.pages()->currentIndex(), int(VanteoUI::PageMobile));
        const QList<QToolButton *> nav =
            w.findChild<QWidget *>(QStringLiteral("widgetTop"))->findChildren<QToolButton *>();
        for (QToolButton *b : nav)
            QCOMPARE(b->isChecked(), b->text() == QStringLiteral("手机相册"));
        QStandardItemModel *model = w.mobilePage()->model();
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->item(0, MobileForm::ColName)->text(), name);
        QCOMPARE(model->item(0, MobileForm::ColState)->text(), QStringLiteral("在线"));

        // Status and counts from the server reach the page.
        emit w.commandServer()->UpdateDBNumberInfo(42, name);
        QCOMPARE(model->item(0, MobileForm::ColCount)->text(), QStringLiteral("42"));
        emit w.commandServer()->UpdatePublicInfo(8, name);
        QCOMPARE(model->item(0, MobileForm::ColState)->text(), QStringLiteral("离线"));
    }

    void deletingOnThePageWipesTheDatabaseOfAnOfflinePhone()
    {
        const QString name = QStringLiteral("phone-b");
        settings()->addUser(name, m_root->path() + QStringLiteral("/万特相册/") + name, secondsAgo(0));
        const QString db = AppPaths::programFile(name + QStringLiteral(".db"));
        QVERIFY(TestSupport::writeFile(db, QByteArray()));
        VanteoUI w;
        emit w.mobilePage()->sendDeleteInfo(name);
        QVERIFY(!QFile::exists(db));
    }

    void closingTheWindowDestroysThePagesCleanly()
    {
        auto *w = new VanteoUI;
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        w->findChild<QToolButton *>(QStringLiteral("btnNetInfo"))->click();
        QCOMPARE(w->pages()->currentIndex(), int(VanteoUI::PageNetInfo));
        delete w; // must not crash or hang with every page and service alive
    }
};

QTEST_MAIN(TestMainWindowServices)
#include "tst_mainwindow_services.moc"
