// The mobile users page: the device table, online state from status messages and the 40 s
// refresh, backup counts, deleting a device, the live transfer panel and opening a backup folder.
#include "link/pages/MobileForm.h"

#include "backup/LocalDataBase.h"
#include "backup/TransferMonitor.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UrlCatcher.h"

#include <QtTest>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QPushButton>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>

namespace {

const QString kOnline = QStringLiteral("在线");
const QString kOffline = QStringLiteral("离线");

void addDevice(const QString &name, const QString &time = QStringLiteral("2026-01-02 03:04:05"))
{
    ReadWriteSetting::getInstance()->addUser(name, QStringLiteral("D:/万特相册/") + name, time);
}

QStringList deviceNames()
{
    QStringList names;
    const QList<UserEntry> users = ReadWriteSetting::getInstance()->getUserList();
    for (const UserEntry &u : users)
        names << u.name;
    return names;
}

int rowOf(const MobileForm &form, const QString &name)
{
    const QStandardItemModel *m = form.model();
    for (int r = 0; r < m->rowCount(); ++r) {
        if (m->item(r, MobileForm::ColName)->text() == name)
            return r;
    }
    return -1;
}

QString cellText(const MobileForm &form, const QString &name, int column)
{
    const int row = rowOf(form, name);
    return row < 0 ? QStringLiteral("<no row>") : form.model()->item(row, column)->text();
}

QString stateOf(const MobileForm &form, const QString &name)
{
    return cellText(form, name, MobileForm::ColState);
}

QString statusInfo(const MobileForm &form)
{
    return form.findChild<QLabel *>(QStringLiteral("labelStatusInfo"))->text();
}

QTableView *table(const MobileForm &form)
{
    return form.findChild<QTableView *>(QStringLiteral("tableUsersView"));
}

void selectDevice(MobileForm &form, const QString &name)
{
    table(form)->setCurrentIndex(form.model()->index(rowOf(form, name), 0));
}

} // namespace

class TestMobileForm : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void tableShowsDeviceList();
    void looksAndTexts();
    void noDevices();
    void statusMessagesKeepDeviceOnline();
    void offlineMessageActsAtOnce();
    void refreshTimerRunsTheRefresh();
    void newDeviceAppearsOnline();
    void messagesForUnknownDevices();
    void recordCountMessages();
    void countsFromAlbumDatabase();
    void deleteDevice();
    void deleteCancelled();
    void deleteLastDevice();
    void contextMenuOffersDelete();
    void activityWording();
    void transferPanelFollowsTheMonitor();
    void openBackupFolder();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestMobileForm::init()
{
    m_dir = TestSupport::makeProgramDir();
    QVERIFY(m_dir && m_dir->isValid());
    Dialogs::setNonInteractive(true);
    Dialogs::clearRecords();
}

void TestMobileForm::cleanup()
{
    QCOMPARE(Dialogs::pendingAnswers(), 0);
    m_dir.reset();
}

void TestMobileForm::tableShowsDeviceList()
{
    addDevice(QStringLiteral("Pixel 7"), QStringLiteral("2026-03-01 10:00:00"));
    addDevice(QStringLiteral("小米手机"), QStringLiteral("2026-03-02 11:30:00"));
    addDevice(QStringLiteral("iPhone"), QStringLiteral("2026-03-03 12:45:00"));
    MobileForm form;
    const QStandardItemModel *m = form.model();
    QCOMPARE(m->columnCount(), 5);
    QStringList headers;
    for (int c = 0; c < m->columnCount(); ++c)
        headers << m->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(headers, QStringLiteral("用户名,备份数量,备份路径,最近访问时间,当前状态").split(QLatin1Char(',')));

    QCOMPARE(m->rowCount(), 3);
    const QStringList expectedNames{QStringLiteral("Pixel 7"), QStringLiteral("小米手机"), QStringLiteral("iPhone")};
    for (int r = 0; r < 3; ++r) {
        QCOMPARE(m->item(r, 0)->text(), expectedNames.at(r));
        QCOMPARE(m->item(r, 1)->text(), QStringLiteral("0")); // no database file
        QCOMPARE(m->item(r, 2)->text(), QStringLiteral("D:/万特相册/") + expectedNames.at(r));
        QCOMPARE(m->item(r, 4)->text(), kOffline);
        for (int c = 0; c < 5; ++c) {
            QCOMPARE(Qt::Alignment(m->item(r, c)->textAlignment()), Qt::Alignment(Qt::AlignCenter));
            QVERIFY(!(m->item(r, c)->flags() & Qt::ItemIsEditable));
        }
    }
    QCOMPARE(m->item(1, 3)->text(), QStringLiteral("2026-03-02 11:30:00"));
    QCOMPARE(statusInfo(form), QStringLiteral("用户数量: 3"));

    // A later change of the list is not shown until a forced reload.
    addDevice(QStringLiteral("Galaxy"));
    form.loadUsers(false);
    QCOMPARE(m->rowCount(), 3);
    form.loadUsers(true);
    QCOMPARE(m->rowCount(), 4);
    QCOMPARE(statusInfo(form), QStringLiteral("用户数量: 4"));
}

void TestMobileForm::looksAndTexts()
{
    MobileForm form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
    auto label = [&](const char *name) { return form.findChild<QLabel *>(QLatin1String(name)); };
    QCOMPARE(
        label("labelReadme")->text(),
        QStringLiteral(
            "【用法】参照网络信息将移动设备和当前电脑进行连接，在移动设备上选择备份，就可以完成照片和视频的备份。"));
    QCOMPARE(label("labelReadme")->font().pointSize(), 13);
    QCOMPARE(label("labelReadme")->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(label("labelUsers")->text(), QStringLiteral("【用户列表】"));
    QCOMPARE(label("labelUsers")->font().pointSize(), 11);
    QCOMPARE(label("labelUsers")->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QCOMPARE(label("labelStatus")->text(), QStringLiteral("【状态】"));
    QCOMPARE(label("labelStatus")->palette().color(QPalette::WindowText), QColor(Qt::darkYellow));
    QCOMPARE(label("labelStatusInfo")->font().pointSize(), 11);

    QTableView *view = table(form);
    QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(view->selectionMode(), QAbstractItemView::SingleSelection);
    QVERIFY(view->alternatingRowColors());
    QVERIFY(view->verticalHeader()->isHidden());
    QCOMPARE(view->horizontalHeader()->sectionResizeMode(2), QHeaderView::Stretch);

    QCOMPARE(form.refreshTimer()->interval(), 40000);
    QVERIFY(form.refreshTimer()->isActive());
    QStringList menu;
    for (const QAction *a : form.contextMenu()->actions())
        menu << a->text();
    QCOMPARE(menu, (QStringList{QStringLiteral("删除"), QStringLiteral("打开文件夹"), QStringLiteral("查看相册")}));
}

void TestMobileForm::noDevices()
{
    MobileForm form;
    QCOMPARE(form.model()->rowCount(), 0);
    QCOMPARE(statusInfo(form), QStringLiteral("未发现备份用户"));
    form.onRecvUserNumberSlot(2);
    QCOMPARE(statusInfo(form), QStringLiteral("用户数量: 2"));
    form.onRecvUserNumberSlot(0);
    QCOMPARE(statusInfo(form), QStringLiteral("未发现备份用户"));
}

// A time line in seconds: phone A sends status 9 every 30 s until t = 180; phone B sends
// status 7 at 5, 45 and 85 s; the page refreshes every 40 s. B's messages arrive right after
// refreshes that cleared A's status and must not make A flicker to offline.
void TestMobileForm::statusMessagesKeepDeviceOnline()
{
    const QString a = QStringLiteral("A"), b = QStringLiteral("B");
    addDevice(a);
    addDevice(b);
    MobileForm form;
    form.refreshTimer()->stop();
    const QSet<int> bTimes{5, 45, 85};
    for (int t = 0; t <= 320; t += 5) {
        if (t > 0 && t % 40 == 0)
            form.timerUpDate();
        if (t % 30 == 0 && t <= 180)
            form.onRecvPublicMsg(9, a);
        if (bTimes.contains(t))
            form.onRecvPublicMsg(7, b);

        // A's last message is at 180: online through the refresh at 200, offline at 240.
        const QString wantA = t < 240 ? kOnline : kOffline;
        // B's last message is at 85: online through 120, offline at the refresh at 160.
        const QString wantB = (t >= 5 && t < 160) ? kOnline : kOffline;
        QVERIFY2(stateOf(form, a) == wantA, qPrintable(QStringLiteral("A at t=%1").arg(t)));
        QVERIFY2(stateOf(form, b) == wantB, qPrintable(QStringLiteral("B at t=%1").arg(t)));
    }
}

void TestMobileForm::offlineMessageActsAtOnce()
{
    addDevice(QStringLiteral("A"));
    addDevice(QStringLiteral("B"));
    MobileForm form;
    form.onRecvPublicMsg(9, QStringLiteral("A"));
    form.onRecvPublicMsg(9, QStringLiteral("B"));
    form.onRecvPublicMsg(8, QStringLiteral("A"));
    QCOMPARE(stateOf(form, QStringLiteral("A")), kOffline);
    QCOMPARE(stateOf(form, QStringLiteral("B")), kOnline);
    // The refresh agrees: the offline message cleared A's status.
    form.timerUpDate();
    QCOMPARE(stateOf(form, QStringLiteral("A")), kOffline);
    QCOMPARE(stateOf(form, QStringLiteral("B")), kOnline);
    // A phone that reconnects is online again at once.
    form.onRecvPublicMsg(9, QStringLiteral("A"));
    QCOMPARE(stateOf(form, QStringLiteral("A")), kOnline);
}

void TestMobileForm::refreshTimerRunsTheRefresh()
{
    addDevice(QStringLiteral("A"));
    MobileForm form;
    form.onRecvPublicMsg(9, QStringLiteral("A"));
    form.refreshTimer()->start(10);
    // The first tick keeps A (a message arrived before it); the second one drops it.
    QVERIFY(TestSupport::waitFor([&] { return stateOf(form, QStringLiteral("A")) == kOffline; }, 3000));
}

void TestMobileForm::newDeviceAppearsOnline()
{
    addDevice(QStringLiteral("A"));
    addDevice(QStringLiteral("B"));
    MobileForm form;
    form.onRecvPublicMsg(9, QStringLiteral("A"));

    // The command server has just added C to the device list and accepted it.
    addDevice(QStringLiteral("C"));
    form.refreshUser(QStringLiteral("C"), true);
    QCOMPARE(form.model()->rowCount(), 3);
    QCOMPARE(stateOf(form, QStringLiteral("C")), kOnline);
    // The reload does not hide that A is connected, nor invent that B is.
    QCOMPARE(stateOf(form, QStringLiteral("A")), kOnline);
    QCOMPARE(stateOf(form, QStringLiteral("B")), kOffline);
    QCOMPARE(statusInfo(form), QStringLiteral("用户数量: 3"));

    form.timerUpDate();
    QCOMPARE(stateOf(form, QStringLiteral("A")), kOnline);
    QCOMPARE(stateOf(form, QStringLiteral("C")), kOnline);
    form.timerUpDate();
    QCOMPARE(stateOf(form, QStringLiteral("A")), kOffline);
    QCOMPARE(stateOf(form, QStringLiteral("C")), kOffline);

    // A known phone reconnecting: no reload, but its row shows the visit time and folder the
    // command server has just stored, and it is marked online.
    ReadWriteSetting::getInstance()->updateUser(QStringLiteral("B"), QStringLiteral("E:/x"),
                                                QStringLiteral("2030-01-01 00:00:00"));
    form.refreshUser(QStringLiteral("B"), false);
    QCOMPARE(stateOf(form, QStringLiteral("B")), kOnline);
    QCOMPARE(cellText(form, QStringLiteral("B"), MobileForm::ColTime), QStringLiteral("2030-01-01 00:00:00"));
    QCOMPARE(cellText(form, QStringLiteral("B"), MobileForm::ColPath), QStringLiteral("E:/x"));
    QCOMPARE(form.model()->rowCount(), 3);
    // An empty name marks nobody.
    form.refreshUser(QString(), false);
    QCOMPARE(form.model()->rowCount(), 3);
}

void TestMobileForm::messagesForUnknownDevices()
{
    addDevice(QStringLiteral("A"));
    MobileForm form;
    form.onRecvPublicMsg(9, QStringLiteral("ghost"));
    form.onRecvPublicMsg(9, QStringLiteral("a")); // names are case-sensitive
    form.onRecvDBNumberMsg(17, QStringLiteral("ghost"));
    QCOMPARE(form.model()->rowCount(), 1);
    QCOMPARE(stateOf(form, QStringLiteral("A")), kOffline);
    QCOMPARE(cellText(form, QStringLiteral("A"), MobileForm::ColCount), QStringLiteral("0"));
}

void TestMobileForm::recordCountMessages()
{
    addDevice(QStringLiteral("A"));
    addDevice(QStringLiteral("B"));
    MobileForm form;
    form.onRecvDBNumberMsg(42, QStringLiteral("A"));
    QCOMPARE(cellText(form, QStringLiteral("A"), MobileForm::ColCount), QStringLiteral("42"));
    QCOMPARE(cellText(form, QStringLiteral("B"), MobileForm::ColCount), QStringLiteral("0"));
}

void TestMobileForm::countsFromAlbumDatabase()
{
    const QString files = m_dir->path() + QStringLiteral("/files");
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths << files + QStringLiteral("/IMG_%1.jpg").arg(i);
        QVERIFY(TestSupport::writeFile(paths.last(), QByteArray("jpeg") + QByteArray::number(i)));
    }
    {
        LocalDataBase db(AppPaths::programFile(QStringLiteral("相机.db")));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(db.insertRecord(QStringLiteral("IMG_%1.jpg").arg(i), paths.at(i), 5,
                                     QStringLiteral("%1").arg(i, 32, 10, QLatin1Char('0')), QStringLiteral("相机"), 1,
                                     QString(), QStringLiteral("2026-01-01 00:00:00"),
                                     QStringLiteral("/dcim/%1").arg(i)),
                     i + 1);
        }
        // One file went missing and a scan has noticed it.
        QVERIFY(QFile::remove(paths.at(1)));
        db.scanExistFiles();
    }
    addDevice(QStringLiteral("相机"));
    addDevice(QStringLiteral("NoDatabase"));
    MobileForm form;
    QCOMPARE(form.countBackups(QStringLiteral("相机")), 2);
    QCOMPARE(cellText(form, QStringLiteral("相机"), MobileForm::ColCount), QStringLiteral("2"));
    QCOMPARE(cellText(form, QStringLiteral("NoDatabase"), MobileForm::ColCount), QStringLiteral("0"));
    QVERIFY(!QFile::exists(AppPaths::programFile(QStringLiteral("NoDatabase.db")))); // not created by the count
    // A name that can't be a file name never reaches the file system.
    QCOMPARE(form.countBackups(QStringLiteral("../相机")), 0);
}

void TestMobileForm::deleteDevice()
{
    addDevice(QStringLiteral("A"));
    addDevice(QStringLiteral("B"));
    addDevice(QStringLiteral("C"));
    MobileForm form;
    form.onRecvPublicMsg(9, QStringLiteral("B"));
    QSignalSpy deleted(&form, &MobileForm::sendDeleteInfo);
    selectDevice(form, QStringLiteral("B"));

    Dialogs::setNextAnswer(Dialogs::Ok);
    form.onDelete();

    QCOMPARE(rowOf(form, QStringLiteral("B")), -1);
    QCOMPARE(form.model()->rowCount(), 2);
    QCOMPARE(deviceNames(), (QStringList{QStringLiteral("A"), QStringLiteral("C")}));
    QCOMPARE(deleted.size(), 1);
    QCOMPARE(deleted.first().first().toString(), QStringLiteral("B"));
    QCOMPARE(statusInfo(form), QStringLiteral("用户数量: 2"));

    const QList<Dialogs::Record> asked = Dialogs::records();
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked.first().icon, Dialogs::Information);
    QCOMPARE(asked.first().title, QStringLiteral("删除"));
    QCOMPARE(asked.first().text, QStringLiteral("删除 B 所有备份信息?"));
    QVERIFY(asked.first().buttons.contains(QStringLiteral("确 定")));
    QVERIFY(asked.first().buttons.contains(QStringLiteral("取 消")));

    // The next refresh does not bring it back, nor does a reload.
    form.timerUpDate();
    form.loadUsers(true);
    QCOMPARE(rowOf(form, QStringLiteral("B")), -1);
}

void TestMobileForm::deleteCancelled()
{
    addDevice(QStringLiteral("A"));
    addDevice(QStringLiteral("B"));
    MobileForm form;
    QSignalSpy deleted(&form, &MobileForm::sendDeleteInfo);
    selectDevice(form, QStringLiteral("A"));
    Dialogs::setNextAnswer(Dialogs::Cancel);
    form.onDelete();
    QCOMPARE(form.model()->rowCount(), 2);
    QCOMPARE(deviceNames().size(), 2);
    QCOMPARE(deleted.size(), 0);
    QCOMPARE(statusInfo(form), QStringLiteral("用户数量: 2"));

    // No current row: nothing is asked.
    Dialogs::clearRecords();
    table(form)->setCurrentIndex(QModelIndex());
    form.onDelete();
    QVERIFY(Dialogs::records().isEmpty());
}

void TestMobileForm::deleteLastDevice()
{
    addDevice(QStringLiteral("A"));
    MobileForm form;
    selectDevice(form, QStringLiteral("A"));
    Dialogs::setNextAnswer(Dialogs::Ok);
    form.onDelete();
    QCOMPARE(form.model()->rowCount(), 0);
    QVERIFY(deviceNames().isEmpty());
    QCOMPARE(statusInfo(form), QStringLiteral("未发现备份用户"));
}

void TestMobileForm::contextMenuOffersDelete()
{
    addDevice(QStringLiteral("A"));
    addDevice(QStringLiteral("B"));
    MobileForm form;
    form.resize(780, 500);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTableView *view = table(form);
    QWidget *viewport = view->viewport();

    // Without a current row the menu stays closed.
    view->setCurrentIndex(QModelIndex());
    const QPoint at = view->visualRect(form.model()->index(1, 0)).center();
    QContextMenuEvent none(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &none);
    QVERIFY(!form.contextMenu()->isVisible());

    // A right click on the viewport reaches the form's filter through the view.
    selectDevice(form, QStringLiteral("B"));
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &click);
    QVERIFY(TestSupport::waitFor([&] { return form.contextMenu()->isVisible(); }, 2000));

    Dialogs::setNextAnswer(Dialogs::Ok);
    form.contextMenu()->actions().first()->trigger();
    form.contextMenu()->hide();
    QCOMPARE(deviceNames(), QStringList{QStringLiteral("A")});
    QCOMPARE(form.model()->rowCount(), 1);
}

// The rule behind 备份中 / 备份完成 / 空闲, on fixed times.
void TestMobileForm::activityWording()
{
    const QDateTime now = QDateTime::currentDateTime();
    TransferMonitor::Activity a;
    a.connected = true;
    QCOMPARE(MobileForm::describeActivity(QStringLiteral("P"), a, now), QStringList{QStringLiteral("P：空闲")});

    a.busy = true;
    a.currentFile = QStringLiteral("IMG_0003.jpg");
    a.currentSize = 4000;
    a.currentReceived = 1000;
    a.filesThisSession = 2;
    a.duplicatesThisSession = 1;
    a.bytesPerSecond = 12.5 * 1048576;
    QVERIFY(MobileForm::isSending(a, now));
    QCOMPARE(
        MobileForm::describeActivity(QStringLiteral("P"), a, now).first(),
        QStringLiteral("P：备份中，本次收到 2 个文件（其中 1 个电脑上已有），当前文件 IMG_0003.jpg（25%），12.5 MB/s"));

    // Between two files the phone is still sending; after kFinishedAfterMs without a file it is done.
    a.busy = false;
    a.lastFileEnded = now.addMSecs(-(MobileForm::kFinishedAfterMs - 1000));
    QVERIFY(MobileForm::isSending(a, now));
    a.lastFileEnded = now.addMSecs(-(MobileForm::kFinishedAfterMs + 1000));
    QVERIFY(!MobileForm::isSending(a, now));
    a.failedThisSession = 1;
    a.lastError = QStringLiteral("IMG_0004.jpg: 磁盘空间不足");
    a.lastErrorTime = QDateTime(now.date(), QTime(10, 20, 30));
    QCOMPARE(MobileForm::describeActivity(QStringLiteral("P"), a, now),
             (QStringList{QStringLiteral("P：备份结束，本次收到 2 个文件（其中 1 个电脑上已有），失败 1 个"),
                          QStringLiteral("最近的错误（10:20:30）：IMG_0004.jpg: 磁盘空间不足")}));

    // A disconnected phone never counts as sending, whatever it did last; gone inside a file,
    // the page says that file was cut.
    a.connected = false;
    a.busy = true;
    QVERIFY(!MobileForm::isSending(a, now));
    QCOMPARE(MobileForm::describeActivity(QStringLiteral("P"), a, now).first(),
             QStringLiteral("P：连接中断，IMG_0003.jpg 未收完（手机下次连接时会重新发送），本次收到 2 个文件（其中 1 "
                            "个电脑上已有），失败 1 个"));
    a.currentReceived = a.currentSize;
    QCOMPARE(MobileForm::describeActivity(QStringLiteral("P"), a, now).first(),
             QStringLiteral("P：备份结束，本次收到 2 个文件（其中 1 个电脑上已有），失败 1 个，已断开"));
    a.failedThisSession = 0;
    QCOMPARE(MobileForm::describeActivity(QStringLiteral("P"), a, now).first(),
             QStringLiteral("P：备份完成，本次收到 2 个文件（其中 1 个电脑上已有），已断开"));
}

// Reports from a receiving thread reach the panel through the throttle.
void TestMobileForm::transferPanelFollowsTheMonitor()
{
    const QString phone = QStringLiteral("panel-phone <b>");
    TransferMonitor *monitor = TransferMonitor::instance();
    MobileForm form;
    QCOMPARE(form.transferText(), QStringLiteral("没有手机连接。"));

    QThread worker;
    QObject reporter;
    reporter.moveToThread(&worker);
    worker.start();
    QMetaObject::invokeMethod(&reporter, [monitor, phone] {
        monitor->phoneConnected(phone);
        monitor->fileStarted(phone, QStringLiteral("VID_0001.mp4"), 1000000);
        for (int i = 0; i < 500; ++i)
            monitor->bytesReceived(phone, 1000);
    });
    // The name is shown as text, not markup.
    QVERIFY2(TestSupport::waitFor([&] { return form.transferText().contains(phone + QStringLiteral("：备份中")); }),
             qPrintable(form.transferText()));
    QVERIFY(TestSupport::waitFor([&] { return form.transferText().contains(QStringLiteral("VID_0001.mp4（50%）")); }));

    QMetaObject::invokeMethod(&reporter, [monitor, phone] {
        for (int i = 0; i < 500; ++i)
            monitor->bytesReceived(phone, 1000);
        monitor->fileStored(phone, QStringLiteral("VID_0001.mp4"), false);
        monitor->fileFailed(phone, QStringLiteral("IMG_9.jpg"), QStringLiteral("无法写入"));
    });
    worker.quit();
    worker.wait();
    QVERIFY(TestSupport::waitFor([&] { return form.transferText().contains(QStringLiteral("IMG_9.jpg: 无法写入")); }));
    QCOMPARE(MobileForm::sendingPhones(), QStringList{phone});
    // Nothing more arrives: the page says so by itself.
    QVERIFY2(TestSupport::waitFor(
                 [&] { return form.transferText().contains(QStringLiteral("备份结束，本次收到 1 个文件，失败 1 个")); },
                 MobileForm::kFinishedAfterMs + 3000),
             qPrintable(form.transferText()));
    QVERIFY(MobileForm::sendingPhones().isEmpty());
    monitor->phoneDisconnected(phone);
    QVERIFY(TestSupport::waitFor([&] { return form.transferText().contains(QStringLiteral("失败 1 个，已断开")); }));
    monitor->forget(phone);
    form.updateTransferPanel();
    QCOMPARE(form.transferText(), QStringLiteral("没有手机连接。"));
}

void TestMobileForm::openBackupFolder()
{
    TestSupport::UrlCatcher catcher;
    const QString folder = m_dir->filePath(QStringLiteral("万特相册/Pixel 7"));
    QVERIFY(QDir().mkpath(folder));
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Pixel 7"), folder, QStringLiteral("t"));
    addDevice(QStringLiteral("gone"));
    MobileForm form;
    auto *button = form.findChild<QPushButton *>(QStringLiteral("pushOpenFolder"));
    QVERIFY(!button->isEnabled()); // no phone chosen yet

    selectDevice(form, QStringLiteral("Pixel 7"));
    QVERIFY(button->isEnabled());
    button->click();
    form.contextMenu()->actions().at(1)->trigger();
    QCOMPARE(form.contextMenu()->actions().at(1)->text(), QStringLiteral("打开文件夹"));
    QCOMPARE(catcher.urls, (QList<QUrl>{QUrl::fromLocalFile(folder), QUrl::fromLocalFile(folder)}));
    QVERIFY(Dialogs::records().isEmpty());

    // A folder that is not there is said, not opened.
    selectDevice(form, QStringLiteral("gone"));
    button->click();
    QCOMPARE(catcher.urls.size(), 2);
    QCOMPARE(Dialogs::records().size(), 1);
    QVERIFY(Dialogs::records().first().text.contains(QStringLiteral("备份文件夹不存在")));
}

QTEST_MAIN(TestMobileForm)
#include "tst_mobileform.moc"
