// The storage root: its marker, the choice at start, and phones' files refused (size 0, nothing
// written anywhere) while the root's disk is unmounted or too full. The mount cases run on tmpfs
// in a mount namespace of the test's own (main() runs itself again under `unshare -m`).
#include "backup/FileServer.h"
#include "backup/StorageRoot.h"
#include "backup/TransferMonitor.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"
#include "wire/Records.h"
#include "tests/support/LoopbackPhone.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>

#include <cstdlib>
#include <vector>
#include <unistd.h>

using TestSupport::filesUnder;

namespace {

constexpr qint64 GiB = qint64(1) << 30;
const char kInNamespace[] = "VANTEO_TEST_MOUNT_NS";

bool inOwnMountNamespace()
{
    return qEnvironmentVariableIsSet(kInNamespace);
}

QString value(const QString &key)
{
    return ReadWriteSetting::getInstance()->getGlobalValue(key);
}

void store(const QString &key, const QString &text)
{
    ReadWriteSetting::getInstance()->setGlobalValue(key, text);
}

bool mountTmpfs(const QString &at, const QByteArray &options)
{
    return ::mount("vanteo-test", QFile::encodeName(at).constData(), "tmpfs", 0, options.constData()) == 0;
}

bool bind(const QString &from, const QString &to)
{
    return ::mount(QFile::encodeName(from).constData(), QFile::encodeName(to).constData(), nullptr, MS_BIND, nullptr) ==
        0;
}

bool unmount(const QString &at)
{
    return ::umount2(QFile::encodeName(at).constData(), 0) == 0;
}

// Sends one file and returns the stored size the PC acknowledged (-1: no acknowledgement).
qint64 sendFile(quint16 port, const QByteArray &content, const QByteArray &name)
{
    TestSupport::LoopbackPhone phone;
    if (!phone.connectTo(port))
        return -1;
    Records::FileHeader h;
    h.fileSize = content.size();
    h.ratio = 1;
    h.name = "n";
    h.mobilePath = "/DCIM/" + name;
    h.md5 = TestSupport::md5Hex(content).toLatin1();
    h.createTime = "2019-05-01T08:30:00";
    phone.write(Records::encodeFileHeader(h) + content);
    const QByteArray record = phone.bytes(Records::kSize, 10000);
    Records::FileAck ack;
    if (record.isEmpty() || !Records::decodeFileAck(record.constData(), &ack))
        return -1;
    return ack.storedSize;
}

} // namespace

class TestStorageRoot : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void roomFor_data();
    void roomFor();
    void markerDecidesPresence();
    void resolveAtStart_data();
    void resolveAtStart();
    void filesWaitWhileTheDiskIsUnmounted();
    void fullRootRefusesFiles();
    void fullAutomaticRootWithPhonesAsksBeforeMoving_data();
    void fullAutomaticRootWithPhonesAsksBeforeMoving();

private:
    std::unique_ptr<QTemporaryDir> m_programDir;
    std::unique_ptr<QTemporaryDir> m_work;
};

void TestStorageRoot::init()
{
    m_programDir = TestSupport::makeProgramDir();
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    // Room known in advance, whatever the machine's disk holds (tmpfs takes memory only as used).
    if (inOwnMountNamespace())
        QVERIFY(mountTmpfs(m_work->path(), "size=8g"));
    StorageRoot::setActive(QString(), QString());
}

void TestStorageRoot::cleanup()
{
    StorageRoot::setActive(QString(), QString());
    StorageVolumes::clearVolumesForTests();
    if (inOwnMountNamespace())
        ::umount2(QFile::encodeName(m_work->path()).constData(), MNT_DETACH);
}

void TestStorageRoot::roomFor_data()
{
    QTest::addColumn<qint64>("free");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("room");
    // The reserve is 1 GiB, or twice the file when that is more.
    QTest::newRow("plenty") << 50 * GiB << qint64(5 << 20) << true;
    QTest::newRow("exactly the reserve left") << GiB + (1 << 20) << qint64(1 << 20) << true;
    QTest::newRow("a byte under the reserve") << GiB + (1 << 20) - 1 << qint64(1 << 20) << false;
    QTest::newRow("big file: twice its size left") << 3 * GiB << GiB << true;
    QTest::newRow("big file: less than twice") << 3 * GiB - 1 << GiB << false;
    QTest::newRow("free space unknown") << qint64(-1) << qint64(1) << false;
}

void TestStorageRoot::roomFor()
{
    QFETCH(qint64, free);
    QFETCH(qint64, size);
    QFETCH(bool, room);
    QCOMPARE(StorageRoot::roomFor(free, size), room);
}

void TestStorageRoot::markerDecidesPresence()
{
    const QString root = m_work->path() + QStringLiteral("/root/");
    QVERIFY(QDir().mkpath(root));
    const QString device = root + QStringLiteral("万特相册/phone");
    const QString id = StorageRoot::establish(root);
    QVERIFY(!id.isEmpty());
    QCOMPARE(StorageRoot::markerId(root), id);
    QCOMPARE(StorageRoot::establish(root), id); // an existing marker is kept
    StorageRoot::setActive(root, id);
    QVERIFY(StorageRoot::check(device, 1).ok() || StorageRoot::check(device, 1).state == StorageRoot::State::Full);
    QVERIFY(StorageRoot::check(m_work->path() + QStringLiteral("/elsewhere"), 1).ok()); // not judged

    // Another archive's marker, a marker that is a link, no marker: the root is not there.
    QVERIFY(TestSupport::writeFile(StorageRoot::markerPath(root), "0123-other\n"));
    QCOMPARE(StorageRoot::check(device, 1).state, StorageRoot::State::Foreign);
    QVERIFY(TestSupport::writeFile(m_work->path() + QStringLiteral("/real"), id.toLatin1()));
    QVERIFY(QFile::remove(StorageRoot::markerPath(root)));
    QVERIFY(QFile::link(m_work->path() + QStringLiteral("/real"), StorageRoot::markerPath(root)));
    QCOMPARE(StorageRoot::check(device, 1).state, StorageRoot::State::Missing);
    QVERIFY(QFile::remove(StorageRoot::markerPath(root)));
    QString why;
    QVERIFY(StorageRoot::absent(device, &why));
    QVERIFY2(why.contains(QStringLiteral("备份位置不可用")) && why.contains(root), qPrintable(why));
    QVERIFY(!QFileInfo::exists(device));
}

void TestStorageRoot::resolveAtStart_data()
{
    QTest::addColumn<QString>("stored");   // saveDrive: "" none, "old" a folder, "gone" a missing one
    QTest::addColumn<bool>("chosen");      // saveDriveChosen=1
    QTest::addColumn<QString>("album");    // at old: "" nothing, "phones" 万特相册 with a phone folder, "marked"
    QTest::addColumn<bool>("phoneListed"); // a phone recorded under old
    QTest::addColumn<QString>("expected"); // "old", "auto", "gone"
    QTest::addColumn<bool>("markerAtOld");

    QTest::newRow("first start: automatic") << "" << false << "" << false << "auto" << false;
    QTest::newRow("earlier version's archive gets its marker") << "old" << false << "phones" << true << "old" << true;
    QTest::newRow("chosen root, disk unplugged: kept, nothing made") << "old" << true << "" << false << "old" << false;
    QTest::newRow("chosen root gone: kept") << "gone" << true << "" << false << "gone" << false;
    QTest::newRow("automatic root with phones, unplugged: kept") << "old" << false << "" << true << "old" << false;
    QTest::newRow("automatic root without phones, gone: chosen again")
        << "gone" << false << "" << false << "auto" << false;
    QTest::newRow("marked automatic root") << "old" << false << "marked" << false << "old" << true;
    QTest::newRow("never-marked automatic root with room: kept, marked")
        << "old" << false << "bare" << false << "old" << true;
}

void TestStorageRoot::resolveAtStart()
{
    QFETCH(QString, stored);
    QFETCH(bool, chosen);
    QFETCH(QString, album);
    QFETCH(bool, phoneListed);
    QFETCH(QString, expected);
    QFETCH(bool, markerAtOld);

    const QString old = m_work->path() + QStringLiteral("/old/");
    const QString gone = m_work->path() + QStringLiteral("/gone/");
    const QString automatic = m_work->path() + QStringLiteral("/auto/");
    QVERIFY(QDir().mkpath(old) && QDir().mkpath(automatic));
    // The automatic choice sees one big volume; the old root itself lies on the real disk.
    StorageVolumes::setVolumesForTests({{automatic, 500 * GiB}});
    const QMap<QString, QString> paths{{QStringLiteral("old"), old},
                                       {QStringLiteral("gone"), gone},
                                       {QStringLiteral("auto"), automatic}};
    if (!stored.isEmpty())
        store(QStringLiteral("saveDrive"), paths.value(stored));
    if (chosen)
        store(QStringLiteral("saveDriveChosen"), QStringLiteral("1"));
    if (album == QLatin1String("phones"))
        QVERIFY(QDir().mkpath(old + QStringLiteral("万特相册/phone/2019/05")));
    QString oldId;
    if (album == QLatin1String("marked")) {
        oldId = StorageRoot::establish(old);
        store(QStringLiteral("saveDriveId"), oldId);
    } else if (!stored.isEmpty() && album.isEmpty()) {
        store(QStringLiteral("saveDriveId"), QStringLiteral("id-of-the-unplugged-disk"));
    }
    if (phoneListed)
        ReadWriteSetting::getInstance()->addUser(QStringLiteral("phone"), old + QStringLiteral("万特相册/phone"),
                                                 QStringLiteral("2024-01-01 00:00:00"));
    const bool roomy = QStorageInfo(old).bytesAvailable() >= StorageRoot::kAutomaticMinimumBytes;
    if (!roomy && !chosen && stored == QLatin1String("old"))
        QSKIP("the test folder's disk has less than 2 GiB free");

    int asked = 0;
    const QString root = StorageRoot::resolve([&](const QString &, qint64, const QString &, qint64) {
        ++asked;
        return false;
    });
    QCOMPARE(root, paths.value(expected));
    QCOMPARE(value(QStringLiteral("saveDrive")), root);
    QCOMPARE(StorageRoot::activeRoot(), root);
    QCOMPARE(asked, 0);
    QCOMPARE(!StorageRoot::markerId(old).isEmpty(), markerAtOld);
    if (expected == QLatin1String("auto")) {
        QVERIFY(!StorageRoot::markerId(automatic).isEmpty());
        QCOMPARE(value(QStringLiteral("saveDriveId")), StorageRoot::markerId(automatic));
        QCOMPARE(value(QStringLiteral("saveDriveChosen")), QString());
    } else if (markerAtOld) {
        QCOMPARE(value(QStringLiteral("saveDriveId")), StorageRoot::markerId(old));
        QVERIFY(StorageRoot::check(old + QStringLiteral("万特相册/phone"), 1).state != StorageRoot::State::Missing);
    } else {
        // Not there: nothing was made where it should be, and nothing is written there.
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("万特相册")));
        QCOMPARE(StorageRoot::check(root + QStringLiteral("万特相册/phone"), 1).state, StorageRoot::State::Missing);
    }
}

void TestStorageRoot::filesWaitWhileTheDiskIsUnmounted()
{
    if (!inOwnMountNamespace())
        QSKIP("needs a mount namespace of its own (root: the test runs itself under unshare -m)");
    // The "disk" is a tmpfs; mounting it at the root and unmounting it is a bind mount of it.
    const QString disk = m_work->path() + QStringLiteral("/disk");
    const QString root = m_work->path() + QStringLiteral("/mnt/");
    QVERIFY(QDir().mkpath(disk) && QDir().mkpath(root));
    QVERIFY(mountTmpfs(disk, "size=1100m"));
    QVERIFY(bind(disk, root));
    QVERIFY(StorageRoot::choose(root, nullptr));
    StorageRoot::setActive(root, value(QStringLiteral("saveDriveId")));

    FileServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    server.setSavePath(root + QStringLiteral("万特相册/phone"));
    server.setDeviceName(QStringLiteral("phone"));

    QCOMPARE(sendFile(server.serverPort(), QByteArray(1000, 'a'), "a.jpg"), 1000);
    QVERIFY(unmount(root));
    QCOMPARE(sendFile(server.serverPort(), QByteArray(1000, 'b'), "b.jpg"), 0);
    QCOMPARE(filesUnder(root), QStringList()); // nothing in the bare mount point
    const QString error = TransferMonitor::instance()->activity(QStringLiteral("phone")).lastError;
    QVERIFY2(error.contains(QStringLiteral("备份位置不可用")), qPrintable(error));

    QVERIFY(bind(disk, root)); // the disk is back, marker and all: receiving resumes
    QCOMPARE(sendFile(server.serverPort(), QByteArray(1000, 'b'), "b.jpg"), 1000);
    QCOMPARE(filesUnder(root + QStringLiteral("万特相册/phone")),
             (QStringList{QStringLiteral("2019/05/a.jpg"), QStringLiteral("2019/05/b.jpg")}));
    QVERIFY(unmount(root));
    QVERIFY(unmount(disk));
}

void TestStorageRoot::fullRootRefusesFiles()
{
    if (!inOwnMountNamespace())
        QSKIP("needs a mount namespace of its own (root: the test runs itself under unshare -m)");
    const QString root = m_work->path() + QStringLiteral("/small/");
    QVERIFY(QDir().mkpath(root));
    // Just over the reserve: a small file fits, a filler of 16 MiB takes the root under it.
    QVERIFY(mountTmpfs(root, "size=1040m"));
    QVERIFY(StorageRoot::choose(root, nullptr));
    StorageRoot::setActive(root, value(QStringLiteral("saveDriveId")));
    FileServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    server.setSavePath(root + QStringLiteral("万特相册/phone"));
    server.setDeviceName(QStringLiteral("phone"));

    QCOMPARE(sendFile(server.serverPort(), QByteArray(2000, 'a'), "a.jpg"), 2000);
    const QString filler = root + QStringLiteral("filler");
    QVERIFY(
        TestSupport::runCommand(QStringLiteral("fallocate"), {QStringLiteral("-l"), QStringLiteral("24M"), filler}));
    QCOMPARE(sendFile(server.serverPort(), QByteArray(2000, 'b'), "b.jpg"), 0);
    const QString error = TransferMonitor::instance()->activity(QStringLiteral("phone")).lastError;
    QVERIFY2(error.contains(QStringLiteral("空间不足")), qPrintable(error));
    QCOMPARE(filesUnder(root + QStringLiteral("万特相册/phone")), QStringList{QStringLiteral("2019/05/a.jpg")});
    // The same file again is acknowledged as stored: nothing needs writing.
    QCOMPARE(sendFile(server.serverPort(), QByteArray(2000, 'a'), "a.jpg"), 2000);
    QVERIFY(QFile::remove(filler));
    QCOMPARE(sendFile(server.serverPort(), QByteArray(2000, 'b'), "b.jpg"), 2000);
    QVERIFY(unmount(root));
}

void TestStorageRoot::fullAutomaticRootWithPhonesAsksBeforeMoving_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("cancel: kept") << false;
    QTest::newRow("ok: moved") << true;
}

void TestStorageRoot::fullAutomaticRootWithPhonesAsksBeforeMoving()
{
    QFETCH(bool, yes);
    if (!inOwnMountNamespace())
        QSKIP("needs a mount namespace of its own (root: the test runs itself under unshare -m)");
    const QString root = m_work->path() + QStringLiteral("/small/");
    const QString big = m_work->path() + QStringLiteral("/big/");
    QVERIFY(QDir().mkpath(root) && QDir().mkpath(big));
    QVERIFY(mountTmpfs(root, "size=64m"));
    const QString id = StorageRoot::establish(root);
    store(QStringLiteral("saveDrive"), root);
    store(QStringLiteral("saveDriveId"), id);
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("phone"), root + QStringLiteral("万特相册/phone"),
                                             QStringLiteral("2024-01-01 00:00:00"));
    StorageVolumes::setVolumesForTests({{big, 500 * GiB}});
    QString askedFrom, askedTo;
    const QString chosen = StorageRoot::resolve([&](const QString &from, qint64, const QString &to, qint64) {
        askedFrom = from;
        askedTo = to;
        return yes;
    });
    QCOMPARE(askedFrom, root);
    QCOMPARE(askedTo, big);
    QCOMPARE(chosen, yes ? big : root);
    QCOMPARE(value(QStringLiteral("saveDrive")), chosen);
    QCOMPARE(StorageRoot::markerId(root), id); // the old archive is left as it is
    QVERIFY(unmount(root));
}

int main(int argc, char **argv)
{
    // Once more under a mount namespace of its own, where the tmpfs cases may mount.
    if (!inOwnMountNamespace() && ::geteuid() == 0) {
        std::vector<char *> args{const_cast<char *>("unshare"), const_cast<char *>("-m"),
                                 const_cast<char *>("--propagation"), const_cast<char *>("private")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::setenv(kInNamespace, "1", 1);
        ::execvp("unshare", args.data());
        ::unsetenv(kInNamespace); // no unshare here: the mount cases are skipped
    }
    QCoreApplication app(argc, argv);
    TestStorageRoot test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_storageroot.moc"
