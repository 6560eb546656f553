// Moving the archive to a newly chosen storage root: the whole move, a move cut at each point
// and recovered at the next start, a stop, and moves that are refused. Whatever happens, every
// file is somewhere with its content and every album row that pointed at a file still does.
#include "backup/ArchiveMove.h"
#include "backup/LocalDataBase.h"
#include "backup/StorageRoot.h"
#include "fileops/FileOps.h"
#include "platform/AppPaths.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 GiB = qint64(1) << 30;
const QString kPhone = QStringLiteral("phone-A");

QString albumOf(const QString &root)
{
    return root + AppPaths::albumFolderName() + QLatin1Char('/');
}

QString setting(const QString &key)
{
    return ReadWriteSetting::getInstance()->getGlobalValue(key);
}

QStringList databases()
{
    return {AppPaths::dataFile(kPhone + QStringLiteral(".db")), AppPaths::dataFile(QStringLiteral("localfiles.db"))};
}

QStringList rowPaths()
{
    QStringList paths;
    for (const QString &db : databases()) {
        for (const QVariantList &row : TestSupport::queryRows(db, QStringLiteral("select localpath from albumlist")))
            paths << row.value(0).toString();
    }
    return paths;
}

StorageRoot::State stateAt(const QString &root)
{
    return StorageRoot::check(albumOf(root) + kPhone, 0).state;
}

} // namespace

class TestArchiveMove : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void moveOrCut_data();
    void moveOrCut();
    void stopRollsBack();
    void fileArrivingDuringTheCopyMovesToo();
    void refused_data();
    void refused();

private:
    void checkArchiveAt(const QString &root);

    std::unique_ptr<QTemporaryDir> m_programDir;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_old, m_new, m_outside, m_stale, m_partial;
    QMap<QString, QByteArray> m_content; // below 万特相册
};

// An archive at old/: a phone's folder, the local album and a stray file, with the phone's and
// the local album's rows, a row of a file long gone, and a link to a file outside the archive.
void TestArchiveMove::init()
{
    m_programDir = TestSupport::makeProgramDir();
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    m_old = m_work->path() + QStringLiteral("/old/");
    m_new = m_work->path() + QStringLiteral("/new/");
    m_outside = m_work->path() + QStringLiteral("/outside.jpg");
    QVERIFY(QDir().mkpath(m_old) && QDir().mkpath(m_new));
    QVERIFY(TestSupport::writeFile(m_outside, "not part of the archive"));
    QString why;
    QVERIFY2(StorageRoot::choose(m_old, &why), qPrintable(why));
    StorageRoot::setActive(m_old, setting(QStringLiteral("saveDriveId")));
    StorageVolumes::setVolumesForTests({{m_new, 100 * GiB}, {m_old, 100 * GiB}});

    m_content = {{kPhone + QStringLiteral("/2023/VID_1.mp4"), TestSupport::patternBytes(1200000, 1)},
                 {kPhone + QStringLiteral("/2024/05/IMG_1.jpg"), TestSupport::patternBytes(300000, 2)},
                 {kPhone + QStringLiteral("/2024/05/IMG_2.jpg"), TestSupport::patternBytes(200000, 3)},
                 {QStringLiteral("本地/照片/2024/a.jpg"), TestSupport::patternBytes(50000, 4)},
                 {QStringLiteral("本地/视频/empty.mov"), QByteArray()},
                 {QStringLiteral("说明.txt"), QByteArrayLiteral("stray")}};
    LocalDataBase phoneDb(databases().at(0));
    LocalDataBase localDb(databases().at(1));
    for (auto it = m_content.cbegin(); it != m_content.cend(); ++it) {
        const QString path = albumOf(m_old) + it.key();
        QVERIFY(TestSupport::writeFile(path, it.value()));
        LocalDataBase &db = it.key().startsWith(kPhone) ? phoneDb : localDb;
        QVERIFY(db.insertRecord(QFileInfo(path).fileName(), path, it.value().size(), TestSupport::md5Hex(it.value()),
                                kPhone, 100, QString(), QString(), QStringLiteral("/DCIM/") + it.key()) > 0);
    }
    m_stale = albumOf(m_old) + kPhone + QStringLiteral("/gone.jpg");
    QVERIFY(phoneDb.insertRecord(QStringLiteral("gone.jpg"), m_stale, 1, QString(), kPhone, 100, QString(), QString(),
                                 QStringLiteral("/DCIM/gone.jpg")) > 0);
    QVERIFY(QFile::link(m_outside, albumOf(m_old) + kPhone + QStringLiteral("/link.jpg")));
    // A phone's transfer under way: never moved, never removed.
    m_partial = albumOf(m_old) + kPhone + QStringLiteral("/.vt-0123456789abcdef.part");
    QVERIFY(TestSupport::writeFile(m_partial, "half a picture"));
    ReadWriteSetting::getInstance()->addUser(kPhone, albumOf(m_old) + kPhone, QStringLiteral("2024-01-01 00:00:00"));
}

void TestArchiveMove::cleanup()
{
    FileOps::setReadThrottleForTests(0);
    StorageRoot::setActive(QString(), QString());
    StorageVolumes::clearVolumesForTests();
}

// Every file whole at root, every row that pointed at a file pointing at its copy there, the phone's
// folder and saveDrive there, no journal; the other root holds none of the archive's files.
void TestArchiveMove::checkArchiveAt(const QString &root)
{
    const QString other = root == m_old ? m_new : m_old;
    for (auto it = m_content.cbegin(); it != m_content.cend(); ++it) {
        QCOMPARE(TestSupport::readFile(albumOf(root) + it.key()), it.value());
        QVERIFY2(!QFileInfo::exists(albumOf(other) + it.key()), qPrintable(it.key()));
    }
    QStringList rows = rowPaths();
    QVERIFY(rows.removeOne(m_stale)); // a row of nothing is left as it was
    QCOMPARE(rows.size(), m_content.size());
    for (const QString &path : qAsConst(rows)) {
        QVERIFY2(path.startsWith(albumOf(root)), qPrintable(path));
        QCOMPARE(TestSupport::readFile(path), m_content.value(path.mid(albumOf(root).size())));
    }
    QCOMPARE(ReadWriteSetting::getInstance()->getUserList().value(0).path, albumOf(root) + kPhone);
    QCOMPARE(setting(QStringLiteral("saveDrive")), root);
    QVERIFY(!QFileInfo::exists(ArchiveMove::journalPath()));
    QCOMPARE(TestSupport::readFile(m_outside), QByteArrayLiteral("not part of the archive"));
    QCOMPARE(TestSupport::readFile(m_partial), QByteArrayLiteral("half a picture"));
}

void TestArchiveMove::moveOrCut_data()
{
    QTest::addColumn<ArchiveMove::Step>("killAt");
    QTest::addColumn<int>("afterFiles");
    QTest::addColumn<bool>("moved");
    QTest::addColumn<bool>("diskAway"); // the root the recovery needs is not there at the first start
    QTest::newRow("whole move") << ArchiveMove::Step::None << -1 << true << false;
    QTest::newRow("killed after two files") << ArchiveMove::Step::None << 2 << false << false;
    QTest::newRow("killed once copied") << ArchiveMove::Step::Copied << -1 << false << false;
    QTest::newRow("killed once rows rewritten") << ArchiveMove::Step::Rewritten << -1 << false << false;
    QTest::newRow("killed once rows rewritten, old disk away") << ArchiveMove::Step::Rewritten << -1 << false << true;
    QTest::newRow("killed after the switch-over") << ArchiveMove::Step::Switched << -1 << true << false;
    QTest::newRow("killed after the switch-over, new disk away") << ArchiveMove::Step::Switched << -1 << true << true;
}

void TestArchiveMove::moveOrCut()
{
    QFETCH(ArchiveMove::Step, killAt);
    QFETCH(int, afterFiles);
    QFETCH(bool, moved);
    QFETCH(bool, diskAway);
    const bool killed = killAt != ArchiveMove::Step::None || afterFiles >= 0;
    {
        ArchiveMove move(m_old, m_new);
        move.killForTests(killAt, afterFiles);
        QSignalSpy progress(&move, &ArchiveMove::progress);
        QCOMPARE(move.run(), killed ? ArchiveMove::Outcome::Failed : ArchiveMove::Outcome::Moved);
        if (!killed) {
            // At once, without a restart: the old root refuses, the new one takes files.
            QCOMPARE(StorageRoot::activeRoot(), m_new);
            QCOMPARE(stateAt(m_old), StorageRoot::State::Moved);
            QCOMPARE(stateAt(m_new), StorageRoot::State::Ready);
            QCOMPARE(StorageRoot::inUse(m_old), m_new);
            const QVariantList last = progress.constLast();
            QCOMPARE(last.value(0).toLongLong(), qint64(m_content.size()));
            QCOMPARE(last.value(1).toLongLong(), qint64(m_content.size()));
            QCOMPARE(last.value(2).toLongLong(), qint64(1750005));
        }
    }
    if (killed) {
        // The next start: the journal decides, before the root is resolved.
        QVERIFY(QFileInfo::exists(ArchiveMove::journalPath()));
        StorageRoot::setActive(QString(), QString());
        if (diskAway) {
            // Unplugged: the journal waits, nothing is removed, the absent root takes nothing.
            const QString marker = StorageRoot::markerPath(moved ? m_new : m_old);
            const QStringList before = TestSupport::filesUnder(m_work->path());
            QVERIFY(QFile::rename(marker, marker + QStringLiteral(".away")));
            QVERIFY(ArchiveMove::recover().contains(QStringLiteral("不可用")));
            QVERIFY(QFileInfo::exists(ArchiveMove::journalPath()));
            StorageRoot::resolve();
            QVERIFY(!StorageRoot::check(StorageRoot::activeRoot(), 0).ok());
            QVERIFY(QFile::rename(marker + QStringLiteral(".away"), marker));
            QCOMPARE(TestSupport::filesUnder(m_work->path()), before);
        }
        QVERIFY(!ArchiveMove::recover().isEmpty());
        QCOMPARE(StorageRoot::resolve(), moved ? m_new : m_old);
        QVERIFY(ArchiveMove::recover().isEmpty());
    }
    checkArchiveAt(moved ? m_new : m_old);
    if (moved) {
        QCOMPARE(StorageRoot::markerId(m_new), setting(QStringLiteral("saveDriveId")));
        QStringList expected = m_content.keys();
        expected << QStringLiteral(".vanteoalbum-root"); // no staged leftover, no link taken along
        expected.sort();
        QCOMPARE(TestSupport::filesUnder(albumOf(m_new)), expected);
    } else {
        QVERIFY(!QFileInfo::exists(albumOf(m_new))); // the new place as it was before
        QCOMPARE(stateAt(m_old), StorageRoot::State::Ready);
    }
}

void TestArchiveMove::stopRollsBack()
{
    // A disk slow enough that the first file (the 1.2 MB video) reports its progress.
    FileOps::setReadThrottleForTests(8 << 20);
    ArchiveMove move(m_old, m_new);
    QList<StorageRoot::State> during;
    // On the worker's thread, so the stop lands before the next file whatever the machine's load.
    connect(
        &move, &ArchiveMove::progress, this,
        [&](qint64 filesDone, qint64, qint64, qint64) {
            during << stateAt(m_old) << stateAt(m_new);
            if (filesDone >= 1)
                move.stop();
        },
        Qt::DirectConnection);
    bool done = false;
    ArchiveMove::Outcome outcome = ArchiveMove::Outcome::Moved;
    connect(&move, &ArchiveMove::finished, this, [&](ArchiveMove::Outcome o) {
        outcome = o;
        done = true;
    });
    move.start();
    QVERIFY(TestSupport::waitFor([&] { return done; }, 60000));
    FileOps::setReadThrottleForTests(0);
    QCOMPARE(outcome, ArchiveMove::Outcome::Stopped);
    QVERIFY(!during.isEmpty());
    for (StorageRoot::State s : qAsConst(during))
        QCOMPARE(s, StorageRoot::State::Moving);
    checkArchiveAt(m_old);
    QVERIFY(!QFileInfo::exists(albumOf(m_new)));
    QCOMPARE(StorageRoot::activeRoot(), m_old);
    QCOMPARE(stateAt(m_old), StorageRoot::State::Ready);
}

// A phone's file that passed its check just before the move began lands in the old folder while
// the copy runs: it is moved too, and its row follows it.
void TestArchiveMove::fileArrivingDuringTheCopyMovesToo()
{
    FileOps::setReadThrottleForTests(8 << 20);
    const QString late = kPhone + QStringLiteral("/2024/06/IMG_late.jpg");
    const QByteArray bytes = TestSupport::patternBytes(1000, 9);
    ArchiveMove move(m_old, m_new);
    connect(
        &move, &ArchiveMove::progress, this,
        [&](qint64 filesDone) {
            if (filesDone != 1 || m_content.contains(late))
                return;
            QVERIFY(TestSupport::writeFile(albumOf(m_old) + late, bytes));
            LocalDataBase db(databases().at(0));
            QVERIFY(db.insertRecord(QStringLiteral("IMG_late.jpg"), albumOf(m_old) + late, bytes.size(),
                                    TestSupport::md5Hex(bytes), kPhone, 100, QString(), QString(),
                                    QStringLiteral("/DCIM/late.jpg")) > 0);
            m_content.insert(late, bytes);
        },
        Qt::DirectConnection);
    QCOMPARE(move.run(), ArchiveMove::Outcome::Moved);
    QVERIFY(m_content.contains(late));
    checkArchiveAt(m_new);
}

void TestArchiveMove::refused_data()
{
    QTest::addColumn<QString>("to");
    QTest::addColumn<qint64>("free");
    QTest::addColumn<QString>("taken");
    QTest::addColumn<QString>("why");
    const qint64 archive = 1750005;
    QTest::newRow("no room for archive and reserve")
        << QString() << archive + StorageRoot::kReserveBytes - 1 << QString() << QStringLiteral("空间不足");
    QTest::newRow("the phone's folder there already") << QString() << 100 * GiB << kPhone << QStringLiteral("同名");
    QTest::newRow("inside the old album") << QStringLiteral("本地") << 100 * GiB << QString() << QStringLiteral("不能");
}

void TestArchiveMove::refused()
{
    QFETCH(QString, to);
    QFETCH(qint64, free);
    QFETCH(QString, taken);
    QFETCH(QString, why);
    const QString target = to.isEmpty() ? m_new : albumOf(m_old) + to + QLatin1Char('/');
    StorageVolumes::setVolumesForTests({{target, free}, {m_old, 100 * GiB}});
    if (!taken.isEmpty())
        QVERIFY(QDir().mkpath(albumOf(m_new) + taken));
    const QStringList before = TestSupport::filesUnder(m_work->path());
    ArchiveMove move(m_old, target);
    QCOMPARE(move.run(), ArchiveMove::Outcome::Refused);
    QVERIFY2(move.message().contains(why), qPrintable(move.message()));
    QCOMPARE(TestSupport::filesUnder(m_work->path()), before);
    QVERIFY(!QFileInfo::exists(ArchiveMove::journalPath()));
    QCOMPARE(stateAt(m_old), StorageRoot::State::Ready);
    checkArchiveAt(m_old);
}

QTEST_GUILESS_MAIN(TestArchiveMove)
#include "tst_archivemove.moc"
