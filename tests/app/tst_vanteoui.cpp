// The main window frame: widget tree, navigation, window buttons, maximise toggle, dragging
// and the choice of the storage root.
#include "app/AppInit.h"
#include "app/IconHelper.h"
#include "app/VanteoUI.h"
#include "backup/TransferMonitor.h"
#include "localalbum/pages/LocalForm.h"
#include "platform/Dialogs.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QToolButton>
#include <QtTest>

Q_DECLARE_METATYPE(StorageVolumes::Volume)

namespace {

constexpr qint64 GiB = qint64(1) << 30;

void sendMouse(QWidget *w, QEvent::Type type, const QPoint &global, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent e(type, w->mapFromGlobal(global), global, button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

} // namespace

class TestVanteoUI : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    template <typename T> T *child(QWidget *w, const char *name) { return w->findChild<T *>(QLatin1String(name)); }

private slots:
    void initTestCase() { qApp->installEventFilter(AppInit::getInstance()); }

    void init()
    {
        m_dir = TestSupport::makeProgramDir();
        StorageVolumes::setVolumesForTests({{QStringLiteral("/vol/a/"), 10 * GiB}});
        Dialogs::setNonInteractive(true);
        Dialogs::clearRecords();
    }

    void cleanup()
    {
        StorageVolumes::clearVolumesForTests();
        QCOMPARE(Dialogs::pendingAnswers(), 0);
    }

    void frame()
    {
        VanteoUI w;
        QVERIFY(w.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(w.windowTitle(), QStringLiteral("万特相册"));
        QVERIFY(w.property("canMove").toBool());
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.savePath(), QStringLiteral("/vol/a/"));

        const QStringList names = {QStringLiteral("btnLocal"),   QStringLiteral("btnMobile"),
                                   QStringLiteral("btnNetInfo"), QStringLiteral("btnSetting"),
                                   QStringLiteral("btnNote"),    QStringLiteral("btnExit")};
        const QStringList texts = {QStringLiteral("本地相册"), QStringLiteral("手机相册"), QStringLiteral("网络信息"),
                                   QStringLiteral("参数设置"), QStringLiteral("使用说明"), QStringLiteral("用户退出")};
        QWidget *top = child<QWidget>(&w, "widgetTop");
        QVERIFY(top);
        const QList<QToolButton *> nav = top->findChildren<QToolButton *>();
        QCOMPARE(nav.size(), 6);
        for (int i = 0; i < 6; ++i) {
            auto *b = child<QToolButton>(&w, qPrintable(names.at(i)));
            QVERIFY2(b, qPrintable(names.at(i)));
            QCOMPARE(b->text(), texts.at(i));
            QVERIFY(!b->icon().isNull());
            QVERIFY(b->isCheckable());
            QCOMPARE(b->iconSize(), QSize(32, 32));
            QCOMPARE(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        }

        // Window buttons: icon-font glyphs at 9 points.
        const QString family = IconHelper::getInstance()->iconFont().family();
        QVERIFY(IconHelper::getInstance()->fontId() >= 0);
        QCOMPARE(IconHelper::getInstance(), IconHelper::getInstance());
        const QList<QPair<const char *, ushort>> glyphs = {{"btnMenu_Min", 0xF068},
                                                           {"btnMenu_Max", 0xF067},
                                                           {"btnMenu_Close", 0xF00D}};
        for (const auto &g : glyphs) {
            auto *b = child<QPushButton>(&w, g.first);
            QVERIFY(b);
            QCOMPARE(b->text(), QString(QChar(g.second)));
            QCOMPARE(b->font().family(), family);
            QCOMPARE(b->font().pointSize(), 9);
            QCOMPARE(b->focusPolicy(), Qt::NoFocus);
        }
        QCOMPARE(child<QPushButton>(&w, "btnMenu_Min")->toolTip(), QStringLiteral("最小化"));
        QCOMPARE(child<QPushButton>(&w, "btnMenu_Close")->toolTip(), QStringLiteral("关闭"));
        QVERIFY(child<QPushButton>(&w, "btnMenu_Max")->toolTip().isEmpty());

        QCOMPARE(w.pages()->count(), 5);
        QCOMPARE(w.pages()->currentIndex(), 0);
        QVERIFY(child<QToolButton>(&w, "btnLocal")->isChecked());
    }

    void navigation_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("page");
        QTest::newRow("mobile") << "btnMobile" << 1;
        QTest::newRow("network") << "btnNetInfo" << 2;
        QTest::newRow("settings") << "btnSetting" << 3;
        QTest::newRow("help") << "btnNote" << 4;
        QTest::newRow("local") << "btnLocal" << 0;
    }

    void navigation()
    {
        QFETCH(QString, button);
        QFETCH(int, page);
        VanteoUI w;
        if (button == QLatin1String("btnLocal"))
            child<QToolButton>(&w, "btnNote")->click();
        auto *b = child<QToolButton>(&w, qPrintable(button));
        b->click();
        QCOMPARE(w.pages()->currentIndex(), page);
        // The clicked button alone is checked (clicking it again keeps it checked).
        b->click();
        for (QToolButton *other : child<QWidget>(&w, "widgetTop")->findChildren<QToolButton *>())
            QCOMPARE(other->isChecked(), other == b);
    }

    void exitClosesWindow()
    {
        VanteoUI w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        child<QToolButton>(&w, "btnExit")->click();
        QVERIFY(!w.isVisible());
        QVERIFY(Dialogs::records().isEmpty()); // nothing ran: no question
    }

    void escapeNeverCloses()
    {
        VanteoUI w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // From the window itself and from a focused child (the event reaches the dialog).
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(w.isVisible());
        auto *page = w.pages()->currentWidget();
        QTest::keyClick(page, Qt::Key_Escape);
        QVERIFY(w.isVisible());
        QVERIFY(Dialogs::records().isEmpty());
    }

    void closeDuringBackupAsks()
    {
        TransferMonitor *monitor = TransferMonitor::instance();
        const QString phone = QStringLiteral("小米手机");
        monitor->phoneConnected(phone);
        monitor->fileStarted(phone, QStringLiteral("IMG_0001.jpg"), 4000000);
        VanteoUI w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        // "No" keeps the program open, from both the exit button and the close button, on the page
        // it showed.
        child<QToolButton>(&w, "btnMobile")->click();
        Dialogs::setNextAnswer(Dialogs::Cancel);
        child<QToolButton>(&w, "btnExit")->click();
        QVERIFY(w.isVisible());
        QCOMPARE(w.pages()->currentIndex(), int(VanteoUI::PageMobile));
        QVERIFY(child<QToolButton>(&w, "btnMobile")->isChecked());
        QVERIFY(!child<QToolButton>(&w, "btnExit")->isChecked());
        Dialogs::setNextAnswer(Dialogs::Cancel);
        child<QPushButton>(&w, "btnMenu_Close")->click();
        QVERIFY(w.isVisible());
        QCOMPARE(Dialogs::records().size(), 2);
        const Dialogs::Record question = Dialogs::records().first();
        QCOMPARE(question.icon, Dialogs::Warning);
        QVERIFY2(question.text.contains(phone + QStringLiteral(" 正在备份，退出将中断备份。")),
                 qPrintable(question.text));
        QCOMPARE(question.buttons.size(), 2);

        // A phone between two files still counts; one that has finished does not.
        monitor->fileStored(phone, QStringLiteral("IMG_0001.jpg"), false);
        QCOMPARE(w.runningWork().size(), 1);
        monitor->phoneDisconnected(phone);
        QVERIFY(w.runningWork().isEmpty());

        monitor->phoneConnected(phone);
        monitor->fileStarted(phone, QStringLiteral("IMG_0002.jpg"), 4000000);
        Dialogs::setNextAnswer(Dialogs::Ok);
        child<QToolButton>(&w, "btnExit")->click();
        QVERIFY(!w.isVisible());
        QCOMPARE(Dialogs::records().size(), 3);
        monitor->forget(phone);
    }

    void closeDuringOrganiseAsks()
    {
        VanteoUI w;
        auto *local = w.findChild<LocalForm *>();
        QVERIFY(local);
        QTemporaryDir source; // empty: the run ends as soon as the event loop runs
        child<QCheckBox>(local, "checkDirBox")->click();
        Dialogs::setNextDirectory(source.path());
        child<QPushButton>(local, "pushAddDirButton")->click();
        child<QPushButton>(local, "pushStartSearchButton")->click();
        QVERIFY(local->isSearching());

        Dialogs::setNextAnswer(Dialogs::Cancel);
        QVERIFY(!w.close());
        QVERIFY2(
            Dialogs::records().last().text.contains(QStringLiteral("本地相册正在搜索和整理文件，退出将中断整理。")),
            qPrintable(Dialogs::records().last().text));
        QVERIFY(TestSupport::waitFor([&] { return !local->isSearching(); }, 10000));
        QVERIFY(w.runningWork().isEmpty());
    }

    void remoteMessageShowsMobilePage()
    {
        VanteoUI w;
        child<QToolButton>(&w, "btnSetting")->click();
        QVERIFY(QMetaObject::invokeMethod(&w, "onRecvRemoteMsg", Q_ARG(QString, QStringLiteral("phone")),
                                          Q_ARG(bool, true)));
        QCOMPARE(w.pages()->currentIndex(), 1);
        QVERIFY(child<QToolButton>(&w, "btnMobile")->isChecked());
        QVERIFY(!child<QToolButton>(&w, "btnSetting")->isChecked());
    }

    void maximiseToggle()
    {
        VanteoUI w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Smaller than the screen, but not below what the title bar needs.
        const QRect normal(QPoint(3, 7), w.minimumSizeHint().expandedTo(QSize(0, 300)));
        w.setGeometry(normal);
        QTRY_COMPARE(w.geometry(), normal);
        QWidget *title = child<QWidget>(&w, "widgetTitle");
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(available != normal);

        QTest::mouseDClick(title, Qt::LeftButton);
        QTRY_COMPARE(w.geometry(), available);
        QVERIFY(w.isMaximizedByTitle());
        QVERIFY(!w.property("canMove").toBool());

        // No dragging while maximised.
        const QPoint grab = w.pos() + QPoint(50, 10);
        sendMouse(&w, QEvent::MouseButtonPress, grab, Qt::LeftButton, Qt::LeftButton);
        sendMouse(&w, QEvent::MouseMove, grab + QPoint(40, 40), Qt::NoButton, Qt::LeftButton);
        sendMouse(&w, QEvent::MouseButtonRelease, grab + QPoint(40, 40), Qt::LeftButton, Qt::NoButton);
        QCOMPARE(w.geometry(), available);

        QTest::mouseDClick(title, Qt::LeftButton);
        QTRY_COMPARE(w.geometry(), normal);
        QVERIFY(w.property("canMove").toBool());

        // The maximise button shares the state.
        child<QPushButton>(&w, "btnMenu_Max")->click();
        QTRY_COMPARE(w.geometry(), available);
        QTest::mouseDClick(title, Qt::LeftButton);
        QTRY_COMPARE(w.geometry(), normal);
    }

    void windowGeometryIsRememberedWithinTheScreen()
    {
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        const QSize fresh = QSize(1100, 720).boundedTo(available.size());
        ReadWriteSetting *settings = ReadWriteSetting::getInstance();
        QRect left;
        {
            VanteoUI w;
            QCOMPARE(w.size(), fresh.expandedTo(w.minimumSizeHint()));
            QVERIFY(available.contains(w.geometry()));
            left = QRect(available.topLeft() + QPoint(20, 30), w.minimumSizeHint().expandedTo(QSize(0, 500)));
            w.setGeometry(left);
        } // remembered when the window goes
        {
            VanteoUI w;
            QCOMPARE(w.geometry(), left);
        }
        // Larger than this screen, off every screen, or unreadable: brought back onto the screen.
        for (const char *stored : {"-50,-40,9000,7000,0", "30000,30000,900,600,0", "a,b,c", "0,0,0,0,0"}) {
            settings->setGlobalValue(QStringLiteral("windowGeometry"), QString::fromLatin1(stored));
            VanteoUI w;
            QVERIFY2(available.contains(w.geometry()), stored);
        }
        // Maximised when it was closed maximised, with its normal size kept for the way back.
        settings->setGlobalValue(QStringLiteral("windowGeometry"), QStringLiteral("40,50,900,600,1"));
        VanteoUI w;
        QVERIFY(w.isMaximizedByTitle());
        QCOMPARE(w.geometry(), available);
    }

    void dragFilter()
    {
        QWidget w;
        w.setProperty("canMove", true);
        w.setGeometry(100, 100, 200, 150);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QPoint start = w.pos();
        const QPoint grab = start + QPoint(20, 20);

        // The right button does not start a drag.
        sendMouse(&w, QEvent::MouseButtonPress, grab, Qt::RightButton, Qt::RightButton);
        QVERIFY(!AppInit::getInstance()->isPressed());
        sendMouse(&w, QEvent::MouseMove, grab + QPoint(30, 30), Qt::NoButton, Qt::RightButton);
        QCOMPARE(w.pos(), start);
        sendMouse(&w, QEvent::MouseButtonRelease, grab, Qt::RightButton, Qt::NoButton);

        // The left button drags; the window keeps its offset to the mouse.
        sendMouse(&w, QEvent::MouseButtonPress, grab, Qt::LeftButton, Qt::LeftButton);
        QVERIFY(AppInit::getInstance()->isPressed());
        sendMouse(&w, QEvent::MouseMove, grab + QPoint(30, 40), Qt::NoButton, Qt::LeftButton);
        QTRY_COMPARE(w.pos(), start + QPoint(30, 40));

        // Releasing ends the drag: later moves do nothing.
        sendMouse(&w, QEvent::MouseButtonRelease, grab + QPoint(30, 40), Qt::LeftButton, Qt::NoButton);
        QVERIFY(!AppInit::getInstance()->isPressed());
        sendMouse(&w, QEvent::MouseMove, grab + QPoint(90, 90), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(w.pos(), start + QPoint(30, 40));

        // A widget without the property is left alone.
        QWidget plain;
        plain.setGeometry(10, 10, 100, 100);
        plain.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plain));
        const QPoint p0 = plain.pos();
        sendMouse(&plain, QEvent::MouseButtonPress, p0 + QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
        sendMouse(&plain, QEvent::MouseMove, p0 + QPoint(50, 50), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(plain.pos(), p0);
    }

    // Roots the program chose, with no phones' files there and not marked: the automatic rule. Marked,
    // chosen and phones' roots are decided with real folders and mounts in tst_storageroot.
    void storageRoot_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QList<StorageVolumes::Volume>>("volumes");
        QTest::addColumn<QString>("expected");
        using V = StorageVolumes::Volume;
        const QList<V> twoOld = {{QStringLiteral("/old/"), 2 * GiB - GiB / 10}, {QStringLiteral("/big/"), 50 * GiB}};
        QTest::newRow("stored with 1.9 GiB: new choice") << "/old/" << twoOld << "/big/";
        QTest::newRow("stored, no longer mounted") << "/usb/" << twoOld << "/big/";
        QTest::newRow("nothing stored") << "" << twoOld << "/big/";
        QTest::newRow("tie: first listed")
            << "" << QList<V>{{QStringLiteral("/x/"), 7 * GiB + 5}, {QStringLiteral("/y/"), 7 * GiB + GiB / 2}}
            << "/x/";
        QTest::newRow("no volume with 1 GiB") << "/old/" << QList<V>{{QStringLiteral("/old/"), GiB / 2}} << "";
    }

    void storageRoot()
    {
        QFETCH(QString, stored);
        QFETCH(QList<StorageVolumes::Volume>, volumes);
        QFETCH(QString, expected);
        StorageVolumes::setVolumesForTests(volumes);
        if (!stored.isEmpty())
            ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("saveDrive"), stored);
        QCOMPARE(VanteoUI::getSaveDrive(), expected);
        // The choice is stored, also when it is empty.
        const QByteArray xml = TestSupport::readFile(m_dir->filePath(QStringLiteral("global.xml")));
        QVERIFY(xml.contains("saveDrive"));
        QCOMPARE(ReadWriteSetting::getInstance()->getGlobalValue(QStringLiteral("saveDrive")), expected);
        QCOMPARE(VanteoUI::freeSpaceGiB(QStringLiteral("/nowhere")), 0);
    }
};

QTEST_MAIN(TestVanteoUI)
#include "tst_vanteoui.moc"
