#include "settings/pages/SettingsForm.h"

#include "backup/StorageRoot.h"
#include "platform/Dialogs.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

QString value(const QString &key)
{
    return ReadWriteSetting::getInstance()->getGlobalValue(key);
}

void store(const QString &key, const QString &text)
{
    ReadWriteSetting::getInstance()->setGlobalValue(key, text);
}

template <typename T> T *child(QWidget *form, const QString &name)
{
    T *w = form->findChild<T *>(name);
    if (!w)
        qFatal("no child %s", qPrintable(name));
    return w;
}

} // namespace

class TestSettingsForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void emptyStoreWritesDefaults();
    void storedValues_data();
    void storedValues();
    void unusableValuesAreNotRewritten();
    void checkBoxesStoreTheirState();
    void resetDialogs_data();
    void resetDialogs();
    void checkUpdateBox();
    void displayPaths_data();
    void displayPaths();
    void controlsAndPicture();
    void storageRootIsChosenByTheUser();
    void storageRootTakesTheArchiveAlong();

private:
    std::unique_ptr<QTemporaryDir> m_programDir;
};

void TestSettingsForm::initTestCase()
{
    // A misspelt object name or slot silently loses a by-name connection; Qt only warns.
    TestSupport::catchMessages({QStringLiteral("connectSlotsByName")});
    Dialogs::setNonInteractive(true);
}

void TestSettingsForm::init()
{
    m_programDir = TestSupport::makeProgramDir();
    QVERIFY(m_programDir->isValid());
    Dialogs::clearRecords();
    TestSupport::takeCaughtMessages();
}

void TestSettingsForm::emptyStoreWritesDefaults()
{
    SettingsForm form(nullptr, QStringLiteral("/media/data/"));
    QCOMPARE(value(QStringLiteral("doubleFile")), QStringLiteral("0"));
    QCOMPARE(value(QStringLiteral("localPicture")), QStringLiteral("2"));
    QCOMPARE(value(QStringLiteral("localVideo")), QStringLiteral("0"));
    QCOMPARE(value(QStringLiteral("doubleName")), QString()); // shown checked, never stored
    QVERIFY(child<QCheckBox>(&form, QStringLiteral("checkLocalPicture"))->isChecked());
    QVERIFY(!child<QCheckBox>(&form, QStringLiteral("checkLocalVideo"))->isChecked());
    QVERIFY(!child<QCheckBox>(&form, QStringLiteral("checkBoxDoubleFile"))->isChecked());
    QVERIFY(child<QCheckBox>(&form, QStringLiteral("checkBoxDoubleName"))->isChecked());
    QVERIFY(Dialogs::records().isEmpty());
    const QStringList slotWarnings = TestSupport::takeCaughtMessages();
    QVERIFY2(slotWarnings.isEmpty(), qPrintable(slotWarnings.join(QLatin1Char('\n'))));
}

void TestSettingsForm::storedValues_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("checked");

    const QString pic = QStringLiteral("checkLocalPicture");
    const QString vid = QStringLiteral("checkLocalVideo");
    const QString dbl = QStringLiteral("checkBoxDoubleFile");
    // A checked box is stored again in its slot's own form: "2" for the organiser options, "1" for doubleFile.
    QTest::newRow("picture 1 by hand") << pic << "localPicture"
                                       << "1"
                                       << "2" << true;
    QTest::newRow("picture 2") << pic << "localPicture"
                               << "2"
                               << "2" << true;
    QTest::newRow("picture 0") << pic << "localPicture"
                               << "0"
                               << "0" << false;
    QTest::newRow("picture abc") << pic << "localPicture"
                                 << "abc"
                                 << "abc" << false;
    QTest::newRow("video 1 by hand") << vid << "localVideo"
                                     << "1"
                                     << "2" << true;
    QTest::newRow("video abc") << vid << "localVideo"
                               << "abc"
                               << "abc" << false;
    QTest::newRow("video negative") << vid << "localVideo"
                                    << "-2"
                                    << "-2" << false;
    QTest::newRow("doubleFile 1") << dbl << "doubleFile"
                                  << "1"
                                  << "1" << true;
    QTest::newRow("doubleFile 7") << dbl << "doubleFile"
                                  << "7"
                                  << "1" << true;
    QTest::newRow("doubleFile abc") << dbl << "doubleFile"
                                    << "abc"
                                    << "abc" << false;
}

void TestSettingsForm::storedValues()
{
    QFETCH(QString, box);
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(QString, after);
    QFETCH(bool, checked);

    store(key, stored);
    SettingsForm form(nullptr, QString());
    QCOMPARE(child<QCheckBox>(&form, box)->isChecked(), checked);
    QCOMPARE(value(key), after);
}

// Values that count as 0 leave their box unchecked, so nothing at all is written.
void TestSettingsForm::unusableValuesAreNotRewritten()
{
    store(QStringLiteral("doubleFile"), QStringLiteral("0"));
    store(QStringLiteral("localPicture"), QStringLiteral("off"));
    store(QStringLiteral("localVideo"), QStringLiteral("abc"));
    const QString path = ReadWriteSetting::getInstance()->filePath();
    const QDateTime before = QFileInfo(path).fileTime(QFileDevice::FileModificationTime);
    QThread::msleep(30);

    SettingsForm form(nullptr, QString());
    QCOMPARE(QFileInfo(path).fileTime(QFileDevice::FileModificationTime), before);
    QCOMPARE(value(QStringLiteral("localVideo")), QStringLiteral("abc"));
    QVERIFY(!child<QCheckBox>(&form, QStringLiteral("checkLocalPicture"))->isChecked());
}

void TestSettingsForm::checkBoxesStoreTheirState()
{
    SettingsForm form(nullptr, QString());
    auto *video = child<QCheckBox>(&form, QStringLiteral("checkLocalVideo"));
    video->click();
    QCOMPARE(value(QStringLiteral("localVideo")), QStringLiteral("2"));
    video->click();
    QCOMPARE(value(QStringLiteral("localVideo")), QStringLiteral("0"));

    auto *picture = child<QCheckBox>(&form, QStringLiteral("checkLocalPicture"));
    picture->click();
    QCOMPARE(value(QStringLiteral("localPicture")), QStringLiteral("0"));

    // Disabled on the page, but their slots still keep the store in step with them.
    auto *doubleFile = child<QCheckBox>(&form, QStringLiteral("checkBoxDoubleFile"));
    doubleFile->setChecked(true);
    QCOMPARE(value(QStringLiteral("doubleFile")), QStringLiteral("1"));
    doubleFile->setCheckState(Qt::PartiallyChecked);
    QCOMPARE(value(QStringLiteral("doubleFile")), QStringLiteral("1"));
    doubleFile->setChecked(false);
    QCOMPARE(value(QStringLiteral("doubleFile")), QStringLiteral("0"));

    auto *doubleName = child<QCheckBox>(&form, QStringLiteral("checkBoxDoubleName"));
    doubleName->setChecked(false);
    QCOMPARE(value(QStringLiteral("doubleName")), QStringLiteral("0"));
    doubleName->setChecked(true);
    QCOMPARE(value(QStringLiteral("doubleName")), QStringLiteral("1"));
}

void TestSettingsForm::resetDialogs_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("otherKey");
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QString>("pendingName");
    // Each question says what goes, and that the photos stay.
    QTest::newRow("local") << "localResetButton"
                           << "localReset"
                           << "remoteReset"
                           << QStringList{QStringLiteral("本地相册数据库"), QStringLiteral("备份位置也将重新选择"),
                                          QStringLiteral("照片和视频不会删除"), QStringLiteral("（程序重启后生效）")}
                           << QStringLiteral("本地参数");
    QTest::newRow("remote") << "remoteResetButton"
                            << "remoteReset"
                            << "localReset"
                            << QStringList{QStringLiteral("已授权手机的列表"), QStringLiteral("相册数据库"),
                                           QStringLiteral("照片和视频不会删除"), QStringLiteral("（程序重启后生效）")}
                            << QStringLiteral("移动设备参数");
}

void TestSettingsForm::resetDialogs()
{
    QFETCH(QString, button);
    QFETCH(QString, key);
    QFETCH(QString, otherKey);
    QFETCH(QStringList, says);
    QFETCH(QString, pendingName);

    store(otherKey, QStringLiteral("0"));
    SettingsForm form(nullptr, QString());
    auto *reset = child<QPushButton>(&form, button);
    auto *pending = child<QLabel>(&form, QStringLiteral("labelResetPending"));
    auto *cancelPending = child<QPushButton>(&form, QStringLiteral("pushButtonCancelReset"));
    QVERIFY(pending->text().isEmpty());
    QVERIFY(cancelPending->isHidden());

    // Cancel, and a box closed without an answer, change nothing.
    Dialogs::setNextAnswer(Dialogs::Cancel);
    reset->click();
    reset->click();
    QCOMPARE(value(key), QString());
    QVERIFY(pending->text().isEmpty());

    Dialogs::setNextAnswer(Dialogs::Ok);
    reset->click();
    QCOMPARE(value(key), QStringLiteral("1"));
    // Pending until the restart: on the page now, and on a page opened later.
    QVERIFY2(pending->text().contains(pendingName), qPrintable(pending->text()));
    {
        SettingsForm later(nullptr, QString());
        auto *laterPending = child<QLabel>(&later, QStringLiteral("labelResetPending"));
        QVERIFY(laterPending->text().contains(pendingName));
    }
    // Withdrawn from the page: nothing waits any more.
    QVERIFY(!cancelPending->isHidden());
    cancelPending->click();
    QCOMPARE(value(key), QStringLiteral("0"));
    QVERIFY(pending->text().isEmpty());
    QVERIFY(cancelPending->isHidden());
    Dialogs::setNextAnswer(Dialogs::Ok);
    reset->click();
    QCOMPARE(value(key), QStringLiteral("1"));
    store(key, QStringLiteral("0"));
    Dialogs::setNextAnswer(Dialogs::Cancel);
    reset->click();
    QCOMPARE(value(key), QStringLiteral("0"));
    QCOMPARE(value(otherKey), QStringLiteral("0"));

    const QList<Dialogs::Record> records = Dialogs::records();
    QCOMPARE(records.size(), 5);
    for (const Dialogs::Record &r : records) {
        QCOMPARE(r.icon, Dialogs::Information);
        QCOMPARE(r.title, QStringLiteral("重置"));
        for (const QString &part : says)
            QVERIFY2(r.text.contains(part), qPrintable(r.text));
        QCOMPARE(r.buttons, (QStringList{QStringLiteral("确 定"), QStringLiteral("取 消")}));
    }
}

void TestSettingsForm::checkUpdateBox()
{
    SettingsForm form(nullptr, QString());
    auto *update = child<QPushButton>(&form, QStringLiteral("pushBtnCheckUpdate"));
    QVERIFY(!update->isEnabled());
    update->click(); // disabled: nothing happens
    QVERIFY(Dialogs::records().isEmpty());

    QVERIFY(QMetaObject::invokeMethod(&form, "on_pushBtnCheckUpdate_clicked"));
    const QList<Dialogs::Record> records = Dialogs::records();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().icon, Dialogs::Warning);
    QCOMPARE(records.first().title, QStringLiteral("版本信息"));
    QCOMPARE(records.first().text, QStringLiteral("当前版本号：1.0.0\n已经是最新版本"));
}

void TestSettingsForm::displayPaths_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("pictures");
    QTest::addColumn<QString>("videos");
    QTest::addColumn<QString>("backups");
    QTest::addColumn<bool>("elided");
    QTest::newRow("empty root") << ""
                                << "万特相册/本地/照片"
                                << "万特相册/本地/视频"
                                << "万特相册" << false;
    QTest::newRow("mount point") << "/media/data/"
                                 << "/media/data/万特相册/本地/照片"
                                 << "/media/data/万特相册/本地/视频"
                                 << "/media/data/万特相册" << false;
    const QString deep = QStringLiteral("/media/") + QString(30, QLatin1Char('d')).repeated(6) + QLatin1Char('/');
    QTest::newRow("long root") << deep << deep + QStringLiteral("万特相册/本地/照片")
                               << deep + QStringLiteral("万特相册/本地/视频") << deep + QStringLiteral("万特相册")
                               << true;
}

void TestSettingsForm::displayPaths()
{
    QFETCH(QString, root);
    QFETCH(QString, pictures);
    QFETCH(QString, videos);
    QFETCH(QString, backups);
    QFETCH(bool, elided);

    SettingsForm form(nullptr, root);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QList<QPair<QString, QString>> boxes{{QStringLiteral("lineEditLocalPicture"), pictures},
                                               {QStringLiteral("lineEditLocalVideo"), videos},
                                               {QStringLiteral("lineEditMobileBackupPath"), backups}};
    for (const auto &box : boxes) {
        auto *edit = child<QLineEdit>(&form, box.first);
        const QString path = box.second;
        const QString text = edit->text();
        QCOMPARE(edit->toolTip(), path);
        QCOMPARE(text != path, elided);
        // Both ends of the path stay, around an ellipsis, within the box.
        const int cut = text.indexOf(QChar(0x2026));
        QCOMPARE(cut >= 0, elided);
        QVERIFY2(path.startsWith(text.left(qMax(cut, 0))) && path.endsWith(text.mid(cut + 1)), qPrintable(text));
        QVERIFY(edit->fontMetrics().horizontalAdvance(text) < edit->width());
    }
}

void TestSettingsForm::controlsAndPicture()
{
    SettingsForm form(nullptr, QString());
    QCOMPARE(form.size(), QSize(910, 650));

    // Only the organiser options, start at login, the storage root and the resets can be used.
    const QStringList enabled{QStringLiteral("checkLocalPicture"),    QStringLiteral("checkLocalVideo"),
                              QStringLiteral("checkBoxAutostart"),    QStringLiteral("localResetButton"),
                              QStringLiteral("remoteResetButton"),    QStringLiteral("pushButtonStorageRoot"),
                              QStringLiteral("pushButtonCancelReset")};
    const QList<QAbstractButton *> buttons = form.findChildren<QAbstractButton *>();
    QCOMPARE(buttons.size(), 20);
    for (QAbstractButton *b : buttons)
        QVERIFY2(b->isEnabled() == enabled.contains(b->objectName()), qPrintable(b->objectName()));
    const QList<QLineEdit *> edits = form.findChildren<QLineEdit *>();
    for (QLineEdit *e : edits)
        QVERIFY2(!e->isEnabled(), qPrintable(e->objectName()));

    auto items = [](QListWidget *list) {
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        return texts;
    };
    QCOMPARE(items(child<QListWidget>(&form, QStringLiteral("listWidgetLocalPicture"))).join(QLatin1Char(' ')),
             QStringLiteral("*.jpg *.jpeg *.png *.heic *.heif *.avif *.webp"));
    QCOMPARE(items(child<QListWidget>(&form, QStringLiteral("listWidgetLocalVideo"))).join(QLatin1Char(' ')),
             QStringLiteral("*.avi *.mov *.mp4 *.flv *.mpg *.m4v *.3gp"));

    QVERIFY(!child<QLabel>(&form, QStringLiteral("label_picture"))->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(child<QPushButton>(&form, QStringLiteral("localResetButton"))->font().pointSize(), 10);
}

void TestSettingsForm::storageRootIsChosenByTheUser()
{
    QTemporaryDir work;
    const QString inUse = work.path() + QStringLiteral("/inuse/");
    const QString other = work.path() + QStringLiteral("/other");
    QVERIFY(QDir().mkpath(inUse) && QDir().mkpath(other + QStringLiteral("/万特相册/phone")));
    const QString inUseId = StorageRoot::establish(inUse);
    StorageRoot::setActive(inUse, inUseId);
    store(QStringLiteral("saveDrive"), inUse);
    SettingsForm form(nullptr, inUse);
    QLabel *shown = child<QLabel>(&form, QStringLiteral("labelStorageRoot"));
    QVERIFY2(shown->text().startsWith(inUse) && shown->text().contains(QStringLiteral("剩余")),
             qPrintable(shown->text()));

    // Cancelled, then a folder that cannot be used: nothing changes.
    Dialogs::setNextDirectory(QString());
    child<QPushButton>(&form, QStringLiteral("pushButtonStorageRoot"))->click();
    Dialogs::setNextDirectory(work.path() + QStringLiteral("/missing"));
    Dialogs::setNextAnswer(Dialogs::Ok);
    child<QPushButton>(&form, QStringLiteral("pushButtonStorageRoot"))->click();
    QCOMPARE(value(QStringLiteral("saveDrive")), inUse);
    QCOMPARE(value(QStringLiteral("saveDriveChosen")), QString());

    // A folder holding an earlier archive, with none in use to move: marked, the user's choice, in use at once.
    Dialogs::setNextDirectory(other);
    child<QPushButton>(&form, QStringLiteral("pushButtonStorageRoot"))->click();
    QCOMPARE(value(QStringLiteral("saveDrive")), other + QLatin1Char('/'));
    QCOMPARE(value(QStringLiteral("saveDriveChosen")), QStringLiteral("1"));
    QVERIFY(!value(QStringLiteral("saveDriveId")).isEmpty());
    QCOMPARE(StorageRoot::markerId(other), value(QStringLiteral("saveDriveId")));
    QCOMPARE(StorageRoot::activeRoot(), other + QLatin1Char('/'));
    QVERIFY(shown->text().startsWith(other + QLatin1Char('/')));
    QVERIFY(!child<QLabel>(&form, QStringLiteral("labelStorageRootNote"))
                 ->text()
                 .contains(QStringLiteral("重新启动后生效")));
    StorageRoot::setActive(QString(), QString());
}

// The archive moved from the page: asked through the seam, done off the GUI thread, in use at once.
void TestSettingsForm::storageRootTakesTheArchiveAlong()
{
    QTemporaryDir work;
    const QString from = work.path() + QStringLiteral("/from/");
    const QString to = work.path() + QStringLiteral("/to/");
    const QString photo = QStringLiteral("万特相册/phone/IMG_1.jpg");
    QVERIFY(QDir().mkpath(to) && TestSupport::writeFile(from + photo, "picture"));
    QString why;
    QVERIFY2(StorageRoot::choose(from, &why), qPrintable(why));
    StorageRoot::setActive(from, StorageRoot::markerId(from));
    StorageVolumes::setVolumesForTests({{to, qint64(100) << 30}});
    SettingsForm form(nullptr, from);
    Dialogs::clearRecords();
    Dialogs::setNextDirectory(to);
    Dialogs::setNextChoice(0); // 移动
    Dialogs::setNextAnswer(Dialogs::Ok);
    child<QPushButton>(&form, QStringLiteral("pushButtonStorageRoot"))->click();
    QVERIFY(TestSupport::waitFor(
        [] {
            return !Dialogs::records().isEmpty() && Dialogs::records().constLast().title == QStringLiteral("移动存档");
        },
        30000));
    QVERIFY2(Dialogs::records().constLast().icon == Dialogs::Information,
             qPrintable(Dialogs::records().constLast().text));
    QCOMPARE(TestSupport::readFile(to + photo), QByteArrayLiteral("picture"));
    QVERIFY(!QFileInfo::exists(from + photo));
    QCOMPARE(StorageRoot::activeRoot(), to);
    QVERIFY(child<QLabel>(&form, QStringLiteral("labelStorageRoot"))->text().startsWith(to));
    QVERIFY(child<QPushButton>(&form, QStringLiteral("pushButtonStorageRoot"))->isEnabled());
    StorageVolumes::clearVolumesForTests();
    StorageRoot::setActive(QString(), QString());
}

QTEST_MAIN(TestSettingsForm)
#include "tst_settingsform.moc"
