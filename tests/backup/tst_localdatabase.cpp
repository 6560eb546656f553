#include "backup/LocalDataBase.h"
#include "backup/TransferMonitor.h"

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <functional>
#include <memory>
#include <vector>

namespace {

const QString kCreateTable =
    QStringLiteral("create table albumlist(id integer primary key autoincrement,filename varchar,localpath varchar,"
                   "filesize integer,md5 varchar,fromdev varchar,createtime varchar,lastratio integer,"
                   "smallmd5 varchar,isExist integer,mobilefilepath varchar)");

QString md5Of(int i)
{
    return QString::number(i, 16).rightJustified(32, QLatin1Char('0'));
}

// A connection of the test's own, to look at the file from outside the class.
class RawDb
{
public:
    explicit RawDb(const QString &path) : m_name(QStringLiteral("raw#%1").arg(++s_counter))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawDb()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    QVariantList row(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        QVariantList out;
        if (q.exec(sql) && q.next()) {
            for (int i = 0; i < q.record().count(); ++i)
                out.append(q.value(i));
        }
        return out;
    }
    bool exec(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        return q.exec(sql);
    }
    bool hasTable()
    {
        return row(QStringLiteral("select count(*) from sqlite_master where type='table' and name='albumlist'"))
                   .value(0)
                   .toInt() == 1;
    }

private:
    static int s_counter;
    QString m_name;
};
int RawDb::s_counter = 0;

int insertSimple(LocalDataBase &db, const QString &name, const QString &md5, const QString &localpath = QString(),
                 const QString &mobile = QString())
{
    return db.insertRecord(name, localpath.isEmpty() ? QStringLiteral("/nowhere/") + name : localpath, 1234, md5,
                           QStringLiteral("dev"), 1, QString(), QStringLiteral("2020-01-01"), mobile);
}

struct Emission
{
    int order;
    QString filename;
};

} // namespace

class TestLocalDataBase : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void firstLookupCreatesFileAndTable_data();
    void firstLookupCreatesFileAndTable();
    void countOnNewFileLeavesTableUncreated();
    void schemaAndRowLayout();
    void insertReturnsRowCount();
    void openFailureResults();

    void checkMd5OrNameRules();
    void caseInsensitiveNamesMatchQtComparison();
    void fileNameAndMd5CaseRules();
    void findMobileRecordRules();
    void rowsWrittenElsewhere();

    void scanUpdatesIsExistAndEmitsExisting();
    void scanOfEmptyOrMissingTable();
    void startScanRunsInBackgroundAndDestructionWaits();
    void destroyThenRemoveFile();
    void writeAheadLogEndsInOneFile();
    void queuedRowsAreInEveryDownloadCopy();
    void emptyMd5NeverCountsAsRecorded();
    void failedRowIsReportedForThePhonePage();

    void unicodeFileNamesStaySeparate();
    void twoObjectsOnOneFile();
    void callsFromSeveralThreads();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestLocalDataBase::initTestCase()
{
    // Qt's complaints about connections used from the wrong thread, or removed while in use.
    TestSupport::catchMessages(
        {QStringLiteral("QSqlDatabase"), QStringLiteral("does not belong"), QStringLiteral("still in use")});
}

void TestLocalDataBase::cleanup()
{
    m_dir.reset();
    const QStringList warnings = TestSupport::takeCaughtMessages();
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    // Every object removed its connections.
    const QStringList names = QSqlDatabase::connectionNames();
    for (const QString &n : names)
        QVERIFY2(n.startsWith(QLatin1String("raw#")), qPrintable(n));
}

void TestLocalDataBase::firstLookupCreatesFileAndTable_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<int>("expected");
    QTest::newRow("isFileNameExist") << 0 << 0;
    QTest::newRow("checkMd5OrName") << 1 << 3;
    QTest::newRow("isMd5Exist") << 2 << 0;
    QTest::newRow("findMobileRecord") << 3 << -1;
    QTest::newRow("insertRecord") << 4 << 1;
}

void TestLocalDataBase::firstLookupCreatesFileAndTable()
{
    QFETCH(int, op);
    QFETCH(int, expected);
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("phone.db"));
    {
        LocalDataBase db(file);
        QVERIFY(!QFile::exists(file)); // nothing is touched before the first operation
        int result = 0;
        switch (op) {
        case 0: result = db.isFileNameExist(QStringLiteral("a.jpg")); break;
        case 1: result = db.checkMd5OrName(QStringLiteral("a.jpg"), md5Of(1)); break;
        case 2: result = db.isMd5Exist(md5Of(1)); break;
        case 3: result = db.findMobileRecord(QStringLiteral("/DCIM/a.jpg"), md5Of(1)); break;
        case 4: result = insertSimple(db, QStringLiteral("a.jpg"), md5Of(1)); break;
        }
        QCOMPARE(result, expected);
    }
    QVERIFY(QFile::exists(file));
    RawDb raw(file);
    QVERIFY(raw.hasTable());
}

void TestLocalDataBase::countOnNewFileLeavesTableUncreated()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("new.db"));
    {
        LocalDataBase db(file);
        QCOMPARE(db.openDataBase(), 0);
        QCOMPARE(db.countExistFiles(), 0);
        db.deleteAllRecords(); // fails silently without a table, creates nothing
        QCOMPARE(db.countExistFiles(), 0);
    }
    RawDb raw(file);
    QVERIFY(!raw.hasTable());
}

void TestLocalDataBase::schemaAndRowLayout()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("layout.db"));
    {
        LocalDataBase db(file);
        QCOMPARE(db.insertRecord(QStringLiteral("IMG_1.jpg"), QStringLiteral("D:/万特相册/p/IMG_1.jpg"), 5000000000LL,
                                 QStringLiteral("ABCDEF0123456789abcdef0123456789"), QStringLiteral("张三的手机"), 7,
                                 QStringLiteral("small"), QStringLiteral("2021-05-06 07:08:09"),
                                 QStringLiteral("/DCIM/IMG_1.jpg")),
                 1);
        QCOMPARE(insertSimple(db, QStringLiteral("IMG_2.jpg"), md5Of(2)), 2);
    }
    RawDb raw(file);
    // The phone reads rows by position: the table statement must stay as it is.
    // (SQLite keeps the statement as given, apart from upper-casing its first two words.)
    const QString sql = raw.row(QStringLiteral("select sql from sqlite_master where type='table' and name='albumlist'"))
                            .value(0)
                            .toString();
    QCOMPARE(sql.left(13).toLower(), kCreateTable.left(13));
    QCOMPARE(sql.mid(13), kCreateTable.mid(13));
    // Only plain indexes with built-in collations: any SQLite can keep writing the file.
    const QVariantList first = raw.row(QStringLiteral("select * from albumlist order by id limit 1"));
    QCOMPARE(first.size(), 11);
    QCOMPARE(first.at(0).toInt(), 1);
    QCOMPARE(first.at(1).toString(), QStringLiteral("IMG_1.jpg"));
    QCOMPARE(first.at(2).toString(), QStringLiteral("D:/万特相册/p/IMG_1.jpg"));
    QCOMPARE(first.at(3).toLongLong(), 5000000000LL);
    QCOMPARE(first.at(4).toString(), QStringLiteral("ABCDEF0123456789abcdef0123456789"));
    QCOMPARE(first.at(5).toString(), QStringLiteral("张三的手机"));
    QCOMPARE(first.at(6).toString(), QStringLiteral("2021-05-06 07:08:09"));
    QCOMPARE(first.at(7).toInt(), 7);
    QCOMPARE(first.at(8).toString(), QStringLiteral("small"));
    QCOMPARE(first.at(9).toInt(), 1);
    QCOMPARE(first.at(10).toString(), QStringLiteral("/DCIM/IMG_1.jpg"));
    // Missing texts are stored as empty texts, not NULL.
    QCOMPARE(raw.row(QStringLiteral("select count(*) from albumlist where smallmd5 is null or mobilefilepath is null"))
                 .value(0)
                 .toInt(),
             0);
    QCOMPARE(raw.row(QStringLiteral("select max(id) from albumlist")).value(0).toInt(), 2);
    const QVariantList schema = raw.row(
        QStringLiteral("select group_concat(sql, ';') from sqlite_master where type='index' and sql is not null"));
    QVERIFY(!schema.value(0).toString().isEmpty());
    for (const QString &part : schema.value(0).toString().split(QLatin1Char(';'))) {
        QVERIFY2(!part.contains(QLatin1Char('(')) || part.count(QLatin1Char('(')) == 1, qPrintable(part));
        QVERIFY2(!part.contains(QLatin1String("collate")) || part.contains(QLatin1String("collate nocase")),
                 qPrintable(part));
    }
}

void TestLocalDataBase::insertReturnsRowCount()
{
    m_dir = std::make_unique<QTemporaryDir>();
    LocalDataBase db(path(QStringLiteral("count.db")));
    for (int i = 1; i <= 25; ++i)
        QCOMPARE(insertSimple(db, QStringLiteral("f%1.jpg").arg(i), md5Of(i)), i);
    db.deleteAllRecords();
    QCOMPARE(db.countExistFiles(), 0);
    QCOMPARE(insertSimple(db, QStringLiteral("again.jpg"), md5Of(1)), 1);
    QCOMPARE(db.countExistFiles(), 1);
}

void TestLocalDataBase::openFailureResults()
{
    m_dir = std::make_unique<QTemporaryDir>();
    LocalDataBase db(path(QStringLiteral("no/such/folder/x.db")));
    QCOMPARE(db.openDataBase(), -1);
    QCOMPARE(db.checkMd5OrName(QStringLiteral("a"), md5Of(1)), -1);
    QCOMPARE(insertSimple(db, QStringLiteral("a"), md5Of(1)), -1);
    QCOMPARE(db.countExistFiles(), 0);
}

void TestLocalDataBase::checkMd5OrNameRules()
{
    m_dir = std::make_unique<QTemporaryDir>();
    LocalDataBase db(path(QStringLiteral("local.db")));
    insertSimple(db, QStringLiteral("First.JPG"), md5Of(1));   // row A
    insertSimple(db, QStringLiteral("Ärger-É.png"), md5Of(2)); // row B
    for (int i = 3; i < 40; ++i)
        insertSimple(db, QStringLiteral("other%1.jpg").arg(i), md5Of(i));

    // md5 of one row and name of another: the md5 wins.
    QCOMPARE(db.checkMd5OrName(QStringLiteral("Ärger-É.png"), md5Of(1)), 1);
    QCOMPARE(db.checkMd5OrName(QStringLiteral("new.jpg"), md5Of(7).toUpper()), 1);
    // Name only, in any case, including non-ASCII letters; the very first row counts too.
    QCOMPARE(db.checkMd5OrName(QStringLiteral("first.jpg"), md5Of(999)), 2);
    QCOMPARE(db.checkMd5OrName(QStringLiteral("äRGER-é.PNG"), md5Of(999)), 2);
    QCOMPARE(db.checkMd5OrName(QStringLiteral("ärger-e.png"), md5Of(999)), 3);
    QCOMPARE(db.checkMd5OrName(QStringLiteral("first.jpg "), md5Of(999)), 3);
    QCOMPARE(db.checkMd5OrName(QStringLiteral("first"), md5Of(999)), 3);
    QCOMPARE(db.checkMd5OrName(QString(), QString()), 3);
}

// The case-insensitive look-ups must agree exactly with Qt's comparison over every row, also
// for letters whose case partners lie outside ASCII (Kelvin sign, long s, sharp s, Greek sigma)
// and for names with so many such letters that the look-up falls back to prefix ranges.
void TestLocalDataBase::caseInsensitiveNamesMatchQtComparison()
{
    m_dir = std::make_unique<QTemporaryDir>();
    LocalDataBase db(path(QStringLiteral("fold.db")));
    const QVector<uint> alphabet = {'a',  'B',  'k',    'K',     0x212A,  's',   'S',    0x17F, 0xC9,
                                    0xE9, 0xDF, 0x1E9E, 0x3A3,   0x3C3,   0x3C2, 0x5F20, '_',   '%',
                                    '[',  '@',  'Z',    0x10400, 0x10428, 0x130, 'i',    'I',   0x131};
    QRandomGenerator rng(20261208);
    auto randomName = [&](int maxLen) {
        QVector<uint> cps;
        const int len = 1 + int(rng.bounded(maxLen));
        for (int i = 0; i < len; ++i)
            cps.append(alphabet.at(int(rng.bounded(alphabet.size()))));
        return QString::fromUcs4(cps.constData(), cps.size());
    };
    auto flipCase = [&](const QString &s) {
        QString out;
        for (uint cp : s.toUcs4()) {
            const uint c = rng.bounded(3) == 0 ? QChar::toUpper(cp) : (rng.bounded(2) ? QChar::toLower(cp) : cp);
            out += QString::fromUcs4(&c, 1);
        }
        return out;
    };
    QStringList stored;
    for (int i = 0; i < 300; ++i) {
        stored.append(randomName(i < 150 ? 4 : 14));
        insertSimple(db, stored.last(), md5Of(i));
    }
    int matches = 0;
    for (int i = 0; i < 1500; ++i) {
        const QString probe =
            (i % 2) ? flipCase(stored.at(int(rng.bounded(stored.size())))) : randomName(i % 3 ? 4 : 14);
        bool expected = false;
        for (const QString &s : qAsConst(stored))
            expected = expected || QString::compare(s, probe, Qt::CaseInsensitive) == 0;
        matches += expected ? 1 : 0;
        QCOMPARE(db.checkMd5OrName(probe, md5Of(100000)), expected ? 2 : 3);
        QCOMPARE(db.isFileNameExist(probe), stored.contains(probe));
    }
    QVERIFY(matches > 700);
    // Every letter here has two or three case forms: far more combinations than index probes.
    const QString many = QStringLiteral("ſsKkÉéßẞσςΣ") + QStringLiteral("ÉÉÉÉÉÉÉÉ.jpg");
    insertSimple(db, many, md5Of(5000));
    QCOMPARE(db.checkMd5OrName(QStringLiteral("SSkKéÉẞßΣσσ") + QStringLiteral("ééééééééé.JPG").mid(1), md5Of(100000)),
             2);
    QCOMPARE(db.checkMd5OrName(QStringLiteral("SSkKéÉẞßΣσσ") + QStringLiteral("ééééééééX.JPG").mid(1), md5Of(100000)),
             3);
}

void TestLocalDataBase::fileNameAndMd5CaseRules()
{
    m_dir = std::make_unique<QTemporaryDir>();
    LocalDataBase db(path(QStringLiteral("rules.db")));
    insertSimple(db, QStringLiteral("Photo_É.jpg"), QStringLiteral("0123456789abcdef0123456789abcdef"));
    QVERIFY(db.isFileNameExist(QStringLiteral("Photo_É.jpg")));
    QVERIFY(!db.isFileNameExist(QStringLiteral("PHOTO_É.JPG")));
    QVERIFY(!db.isFileNameExist(QStringLiteral("Photo_é.jpg")));
    QVERIFY(!db.isFileNameExist(QStringLiteral("Photo_É")));
    QVERIFY(db.isMd5Exist(QStringLiteral("0123456789ABCDEF0123456789ABCDEF")));
    QVERIFY(db.isMd5Exist(QStringLiteral("0123456789abcdef0123456789abcdef")));
    QVERIFY(!db.isMd5Exist(QStringLiteral("0123456789abcdef0123456789abcde")));
    QVERIFY(!db.isMd5Exist(QString()));
}

void TestLocalDataBase::findMobileRecordRules()
{
    m_dir = std::make_unique<QTemporaryDir>();
    LocalDataBase db(path(QStringLiteral("mobile.db")));
    const QString md5 = QStringLiteral("ffeeddccbbaa99887766554433221100");
    insertSimple(db, QStringLiteral("a.jpg"), md5, QString(), QStringLiteral("/DCIM/Camera/A.jpg"));
    insertSimple(db, QStringLiteral("b.jpg"), md5Of(2), QString(), QStringLiteral("/DCIM/Camera/B.jpg"));
    QCOMPARE(db.findMobileRecord(QStringLiteral("/DCIM/Camera/A.jpg"), md5), 0);
    QCOMPARE(db.findMobileRecord(QStringLiteral("/DCIM/Camera/A.jpg"), md5.toUpper()), 0);
    QCOMPARE(db.findMobileRecord(QStringLiteral("/dcim/camera/a.jpg"), md5), -1);
    // md5 and path must belong to the same row.
    QCOMPARE(db.findMobileRecord(QStringLiteral("/DCIM/Camera/B.jpg"), md5), -1);
    QCOMPARE(db.findMobileRecord(QStringLiteral("/DCIM/Camera/B.jpg"), md5Of(2)), 0);
    QCOMPARE(db.findMobileRecord(QString(), md5), -1);
}

// Rows written by older versions or other tools may hold NULL where we write empty texts;
// read back they are empty texts, and the look-ups treat them so.
void TestLocalDataBase::rowsWrittenElsewhere()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("nulls.db"));
    {
        RawDb raw(file);
        QVERIFY(raw.exec(kCreateTable));
        QVERIFY(raw.exec(QStringLiteral("insert into albumlist(filename,md5,isExist) values(null,'ABC',1)")));
    }
    LocalDataBase db(file);
    QCOMPARE(db.findMobileRecord(QString(), QStringLiteral("abc")), 0);
    QVERIFY(db.isFileNameExist(QString()));
    QCOMPARE(db.checkMd5OrName(QStringLiteral(""), md5Of(1)), 2);
    QCOMPARE(db.countExistFiles(), 1);

    // The count agrees with "isExist=1" whatever else others stored there.
    RawDb raw(file);
    for (const char *value : {"null", "0", "1", "2", "-1", "'1'", "1.0", "1.5", "'abc'", "x'01'", "1"})
        QVERIFY(raw.exec(QStringLiteral("insert into albumlist(isExist) values(%1)").arg(QLatin1String(value))));
    const int expected = raw.row(QStringLiteral("select count(*) from albumlist where isExist=1")).value(0).toInt();
    QCOMPARE(expected, 5);
    QCOMPARE(db.countExistFiles(), expected);
}

void TestLocalDataBase::scanUpdatesIsExistAndEmitsExisting()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("scan.db"));
    QStringList files;
    for (int i = 0; i < 6; ++i) {
        files.append(path(QStringLiteral("photos/p%1.jpg").arg(i)));
        QVERIFY(TestSupport::writeFile(files.last(), "x"));
    }
    LocalDataBase db(file);
    for (int i = 0; i < 6; ++i)
        insertSimple(db, QStringLiteral("p%1.jpg").arg(i), md5Of(i), files.at(i));
    QVERIFY(QFile::remove(files.at(1)));
    QVERIFY(QFile::remove(files.at(4)));

    std::vector<Emission> seen;
    connect(
        &db, &LocalDataBase::setFileName, this,
        [&seen](int order, const QString &name) {
            seen.push_back({order, name});
        },
        Qt::DirectConnection);
    db.scanExistFiles();
    QCOMPARE(int(seen.size()), 5);
    const int expectedFiles[] = {0, 2, 3, 5};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(seen[i].order, i);
        QCOMPARE(seen[i].filename, files.at(expectedFiles[i]));
    }
    QCOMPARE(seen[4].order, 4);
    QVERIFY(seen[4].filename.isEmpty());
    QCOMPARE(db.countExistFiles(), 4);

    // Restoring a file brings it back.
    QVERIFY(TestSupport::writeFile(files.at(4), "x"));
    seen.clear();
    db.scanExistFiles();
    QCOMPARE(int(seen.size()), 6);
    QCOMPARE(seen[3].filename, files.at(4));
    QCOMPARE(seen[5].order, 5);
    QCOMPARE(db.countExistFiles(), 5);
    RawDb raw(file);
    QCOMPARE(raw.row(QStringLiteral("select isExist from albumlist where id=2")).value(0).toInt(), 0);
    QCOMPARE(raw.row(QStringLiteral("select isExist from albumlist where id=5")).value(0).toInt(), 1);
}

void TestLocalDataBase::scanOfEmptyOrMissingTable()
{
    m_dir = std::make_unique<QTemporaryDir>();
    std::vector<Emission> seen;
    {
        LocalDataBase db(path(QStringLiteral("missing.db")));
        connect(
            &db, &LocalDataBase::setFileName, this,
            [&seen](int order, const QString &name) {
                seen.push_back({order, name});
            },
            Qt::DirectConnection);
        db.scanExistFiles(); // no table: nothing at all, and no table made
        QVERIFY(seen.empty());
        QCOMPARE(db.isMd5Exist(md5Of(1)), false); // creates the empty table
        db.scanExistFiles();
    }
    QCOMPARE(int(seen.size()), 1);
    QCOMPARE(seen[0].order, 0);
    QVERIFY(seen[0].filename.isEmpty());
    QVERIFY(!seen[0].filename.isNull() || seen[0].filename.isEmpty());
}

void TestLocalDataBase::startScanRunsInBackgroundAndDestructionWaits()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("slow.db"));
    const QString photo = path(QStringLiteral("p.jpg"));
    QVERIFY(TestSupport::writeFile(photo, "x"));
    {
        LocalDataBase db(file);
        for (int i = 0; i < 200; ++i)
            insertSimple(db, QStringLiteral("p%1.jpg").arg(i), md5Of(i), photo);
    }

    // Queued to the GUI thread, as the local album page receives it.
    auto db = std::make_unique<LocalDataBase>(file);
    std::vector<Emission> queued;
    const QMetaObject::Connection toQueued =
        connect(db.get(), &LocalDataBase::setFileName, this, [&queued](int order, const QString &name) {
            queued.push_back({order, name});
        });
    db->startScan();
    QVERIFY(TestSupport::waitFor([&] { return !queued.empty() && queued.back().filename.isEmpty(); }));
    QCOMPARE(int(queued.size()), 201);
    QCOMPARE(queued.back().order, 200);
    // The next scan's emissions must not reach `queued` after this function has returned.
    disconnect(toQueued);

    // Destroyed while a slow receiver keeps its scan busy: the destructor returns only after
    // the end marker was sent, and no emission follows.
    QMutex mutex;
    std::vector<Emission> direct;
    QAtomicInt started;
    connect(
        db.get(), &LocalDataBase::setFileName, this,
        [&](int order, const QString &name) {
            started.storeRelease(1);
            QThread::msleep(5);
            QMutexLocker lock(&mutex);
            direct.push_back({order, name});
        },
        Qt::DirectConnection);
    db->startScan();
    QVERIFY(TestSupport::waitFor([&] { return started.loadAcquire() == 1; }));
    db.reset();
    QMutexLocker lock(&mutex);
    QVERIFY(!direct.empty());
    QVERIFY(direct.back().filename.isEmpty());
    QCOMPARE(direct.back().order, int(direct.size()) - 1);

    // Scans still queued behind running ones are waited for too: each sends its end marker.
    auto another = std::make_unique<LocalDataBase>(file);
    QAtomicInt ends;
    connect(
        another.get(), &LocalDataBase::setFileName, this,
        [&ends](int, const QString &name) {
            if (name.isEmpty())
                ends.ref();
            QThread::msleep(1);
        },
        Qt::DirectConnection);
    for (int i = 0; i < 4; ++i)
        another->startScan();
    another.reset();
    QCOMPARE(ends.loadAcquire(), 4);
}

void TestLocalDataBase::destroyThenRemoveFile()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("wipe.db"));
    {
        LocalDataBase db(file);
        insertSimple(db, QStringLiteral("a.jpg"), md5Of(1));
        // A connection made by another thread is closed by the destructor as well.
        std::unique_ptr<QThread> worker(QThread::create([&db] { db.isMd5Exist(md5Of(1)); }));
        worker->start();
        QVERIFY(worker->wait(10000));
        db.startScan();
        db.deleteAllRecords();
    }
    QVERIFY(QFile::remove(file));
    QVERIFY(!QFile::exists(file));
}

void TestLocalDataBase::writeAheadLogEndsInOneFile()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("local.db"));
    {
        LocalDataBase db(file);
        db.setWriteAheadLog(true);
        for (int i = 0; i < 20; ++i)
            QCOMPARE(insertSimple(db, QStringLiteral("f%1.jpg").arg(i), md5Of(i)), i + 1);
        QVERIFY(QFile::exists(file + QStringLiteral("-wal")));
        QVERIFY(db.isMd5Exist(md5Of(7)));
    }
    // Closing folds the log back: the file alone holds every row.
    QVERIFY(!QFile::exists(file + QStringLiteral("-wal")));
    QTemporaryDir copyDir;
    const QString copy = copyDir.filePath(QStringLiteral("copy.db"));
    QVERIFY(QFile::copy(file, copy));
    LocalDataBase reopened(copy);
    QCOMPARE(reopened.countExistFiles(), 20);
}

namespace {
LocalDataBase::PendingRow phoneRow(int i, const QString &device = QStringLiteral("dev"))
{
    LocalDataBase::PendingRow row;
    row.filename = QStringLiteral("f%1.jpg").arg(i);
    row.localpath = QStringLiteral("/nowhere/") + row.filename;
    row.filesize = 1234;
    row.md5 = md5Of(i);
    row.fromdev = device;
    row.createtime = QStringLiteral("2020-01-01");
    row.mobilefilepath = QStringLiteral("/DCIM/") + row.filename;
    return row;
}
} // namespace

void TestLocalDataBase::queuedRowsAreInEveryDownloadCopy()
{
    // Rows are written in batches off the caller's thread, yet a copy for a download holds every row
    // queued before it, on its own (the phone gets one file), and no row is lost when the object goes.
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("phone.db"));
    QObject context;
    QVector<LocalDataBase::RowResult> results;
    auto collect = [&](const LocalDataBase::RowResult &r) { results.append(r); };
    QTemporaryDir copies;
    {
        LocalDataBase db(file);
        for (int round = 0; round < 10; ++round) {
            for (int i = 0; i < 20; ++i)
                db.recordLater(phoneRow(round * 20 + i), &context, collect);
            const QString copy = copies.filePath(QStringLiteral("copy%1.db").arg(round));
            QFile out(copy);
            QVERIFY(out.open(QIODevice::WriteOnly));
            QVERIFY(LocalDataBase::copyConsistent(file, &out));
            out.close();
            RawDb raw(copy);
            QCOMPARE(raw.row(QStringLiteral("select count(*) from albumlist")).value(0).toInt(), (round + 1) * 20);
        }
        // The same phone path and md5 again, and a known md5 when duplicates are not wanted.
        db.recordLater(phoneRow(3), &context, collect);
        LocalDataBase::PendingRow known = phoneRow(4);
        known.mobilefilepath = QStringLiteral("/DCIM/elsewhere.jpg");
        known.skipKnownMd5 = true;
        db.recordLater(known, &context, collect);
        db.recordLater(phoneRow(200), &context, collect); // left to the destructor
    }
    RawDb raw(file);
    QCOMPARE(raw.row(QStringLiteral("select count(*) from albumlist")).value(0).toInt(), 201);
    QVERIFY(TestSupport::waitFor([&] { return results.size() == 203; }));
    for (int i = 0; i < 200; ++i)
        QCOMPARE(int(results.at(i).outcome), int(LocalDataBase::RowOutcome::Inserted));
    QCOMPARE(results.at(199).rows, 200);
    QCOMPARE(int(results.at(200).outcome), int(LocalDataBase::RowOutcome::AlreadyRecorded));
    QCOMPARE(int(results.at(201).outcome), int(LocalDataBase::RowOutcome::SkippedKnownMd5));
    QCOMPARE(int(results.at(202).outcome), int(LocalDataBase::RowOutcome::Inserted));
}

void TestLocalDataBase::emptyMd5NeverCountsAsRecorded()
{
    // Files sent without an md5, with duplicates skipped: each one is recorded, whether it comes from
    // another phone path or the same one, and no look-up takes an empty md5 for known content.
    m_dir = std::make_unique<QTemporaryDir>();
    QObject context;
    QVector<LocalDataBase::RowResult> results;
    LocalDataBase db(path(QStringLiteral("nomd5.db")));
    for (int i : {1, 2, 2}) {
        LocalDataBase::PendingRow row = phoneRow(i);
        row.md5.clear();
        row.skipKnownMd5 = true;
        db.recordLater(row, &context, [&](const LocalDataBase::RowResult &r) { results.append(r); });
    }
    QVERIFY(TestSupport::waitFor([&] { return results.size() == 3; }));
    for (const LocalDataBase::RowResult &r : qAsConst(results))
        QCOMPARE(int(r.outcome), int(LocalDataBase::RowOutcome::Inserted));
    QVERIFY(!db.isMd5Exist(QString()));
    QCOMPARE(db.checkMd5OrName(QStringLiteral("new.jpg"), QString()), 3);
    QCOMPARE(db.findMobileRecord(QStringLiteral("/DCIM/f1.jpg"), QString()), -1);
}

void TestLocalDataBase::failedRowIsReportedForThePhonePage()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("blocked.db"));
    QVERIFY(QDir().mkpath(file)); // a folder where the database file should be
    const QString device = QStringLiteral("失败的手机");
    TransferMonitor::instance()->phoneConnected(device);
    QObject context;
    QVector<LocalDataBase::RowResult> results;
    {
        LocalDataBase db(file);
        db.recordLater(phoneRow(1, device), &context, [&](const LocalDataBase::RowResult &r) { results.append(r); });
        QVERIFY(TestSupport::waitFor([&] { return results.size() == 1; }));
    }
    QCOMPARE(int(results.at(0).outcome), int(LocalDataBase::RowOutcome::Failed));
    QVERIFY(!results.at(0).why.isEmpty());
    const TransferMonitor::Activity activity = TransferMonitor::instance()->activity(device);
    QVERIFY(activity.lastError.contains(QStringLiteral("f1.jpg")));
    QVERIFY(activity.lastErrorTime.isValid());
}

void TestLocalDataBase::unicodeFileNamesStaySeparate()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString zhang = path(QStringLiteral("张三的手机.db"));
    const QString li = path(QStringLiteral("李四的手机.db"));
    {
        LocalDataBase a(zhang);
        LocalDataBase b(li);
        QCOMPARE(insertSimple(a, QStringLiteral("a.jpg"), md5Of(1)), 1);
        QCOMPARE(insertSimple(b, QStringLiteral("b.jpg"), md5Of(2)), 1);
        QCOMPARE(insertSimple(b, QStringLiteral("c.jpg"), md5Of(3)), 2);
        QVERIFY(!a.isMd5Exist(md5Of(2)));
        QVERIFY(b.isMd5Exist(md5Of(2)));
    }
    QVERIFY(QFile::exists(zhang));
    QVERIFY(QFile::exists(li));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).size(), 2);
    LocalDataBase again(zhang);
    QCOMPARE(again.countExistFiles(), 1);
}

// A page counting while a command connection holds the same file: neither disturbs the other.
void TestLocalDataBase::twoObjectsOnOneFile()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("shared.db"));
    LocalDataBase holder(file);
    QCOMPARE(insertSimple(holder, QStringLiteral("a.jpg"), md5Of(1)), 1);
    {
        LocalDataBase counter(file);
        QCOMPARE(counter.countExistFiles(), 1);
        QCOMPARE(insertSimple(holder, QStringLiteral("b.jpg"), md5Of(2)), 2);
        QCOMPARE(counter.countExistFiles(), 2);
        QVERIFY(counter.isMd5Exist(md5Of(2)));
    }
    QCOMPARE(insertSimple(holder, QStringLiteral("c.jpg"), md5Of(3)), 3);
    QVERIFY(holder.isMd5Exist(md5Of(1)));
}

void TestLocalDataBase::callsFromSeveralThreads()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString file = path(QStringLiteral("threads.db"));
    LocalDataBase db(file);
    LocalDataBase other(file);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    QAtomicInt failures;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(QThread::create([&, t] {
            LocalDataBase &target = (t % 2) ? other : db;
            for (int i = 0; i < kPerThread; ++i) {
                const int n = t * 1000 + i;
                if (target.insertRecord(QStringLiteral("t%1.jpg").arg(n), QStringLiteral("/x"), 1, md5Of(n),
                                        QStringLiteral("dev"), 1, QString(), QString(), QString()) <= 0)
                    failures.ref();
                if (!db.isMd5Exist(md5Of(n)) ||
                    other.checkMd5OrName(QStringLiteral("T%1.JPG").arg(n), md5Of(99999)) != 2)
                    failures.ref();
            }
        }));
        threads.back()->start();
    }
    // The owner's thread keeps working meanwhile.
    for (int i = 0; i < 20; ++i)
        QVERIFY(db.countExistFiles() >= 0);
    for (auto &t : threads)
        QVERIFY(t->wait(60000));
    QCOMPARE(failures.loadRelaxed(), 0);
    QCOMPARE(db.countExistFiles(), kThreads * kPerThread);
    QCOMPARE(insertSimple(other, QStringLiteral("last.jpg"), md5Of(123456)), kThreads * kPerThread + 1);
    // The threads have ended, and their connections with them.
    threads.clear();
    const QStringList names = QSqlDatabase::connectionNames();
    int ours = 0;
    for (const QString &n : names)
        ours += n.startsWith(file) ? 1 : 0;
    QCOMPARE(ours, 2); // one per object, for this thread
}

QTEST_MAIN(TestLocalDataBase)
#include "tst_localdatabase.moc"
