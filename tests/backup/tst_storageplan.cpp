// Where a phone's file is stored and under what name: the folder layout never blocked by a file, and
// earlier copies of a name recognised without reading them again.
#include "backup/FileClientThread.h"
#include "backup/IncomingFile.h"
#include "backup/StoragePlan.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <utime.h>

using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const QString kMd5 = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString kMay2021 = QStringLiteral("2021-05-04T10:00:00");

// Stores content as the file server does; the path it ends at, empty when it could not be stored.
QString store(const QString &device, const QString &mobilePath, const QByteArray &content, const QString &time)
{
    QString fileName;
    const QString folder =
        FileClientThread::destinationFolder(device, mobilePath, TestSupport::md5Hex(content), time, &fileName);
    IncomingFile file;
    if (folder.isEmpty() || !file.open(folder))
        return QString();
    file.write(content.constData(), content.size());
    QString finalPath;
    return file.commit(fileName, &finalPath) == IncomingFile::Outcome::Failed ? QString() : finalPath;
}

} // namespace

class TestStoragePlan : public QObject
{
    Q_OBJECT

private slots:
    void layoutNamesStayFree_data();
    void layoutNamesStayFree();
    void aFileInTheWayNeverBlocksForGood();
    void deviceFolderOfEveryLayoutFolder();
    void earlierCopiesAreRecognisedWithoutRereading();
    void leftoversRemovedOnlyWhenOursAndOld();
};

void TestStoragePlan::layoutNamesStayFree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("md5");
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("folder"); // inside the device folder
    QTest::addColumn<QString>("fileName");
    QTest::newRow("year, bad time") << "2021" << kMd5 << "yesterday"
                                    << ""
                                    << "2021(1)";
    QTest::newRow("temp, bad time") << "temp" << kMd5 << "yesterday"
                                    << ""
                                    << "temp(1)";
    QTest::newRow("TEMP, bad time") << "TEMP" << kMd5 << "yesterday"
                                    << ""
                                    << "TEMP(1)";
    QTest::newRow("year with suffix") << "2021.jpg" << kMd5 << "yesterday"
                                      << ""
                                      << "2021.jpg";
    QTest::newRow("five digits") << "20210" << kMd5 << "yesterday"
                                 << ""
                                 << "20210";
    QTest::newRow("year, in its month") << "2021" << kMd5 << kMay2021 << "/2021/05"
                                        << "2021";
    QTest::newRow("temp, in temp") << "temp"
                                   << "" << kMay2021 << "/temp"
                                   << "temp";
    QTest::newRow("photo") << "IMG_1.jpg" << kMd5 << kMay2021 << "/2021/05"
                           << "IMG_1.jpg";
    QTest::newRow("no time") << "IMG_1.jpg" << kMd5 << ""
                             << "/temp"
                             << "IMG_1.jpg";
}

void TestStoragePlan::layoutNamesStayFree()
{
    QFETCH(QString, name);
    QFETCH(QString, md5);
    QFETCH(QString, time);
    QFETCH(QString, folder);
    QFETCH(QString, fileName);
    QTemporaryDir dir;
    QString chosen;
    QCOMPARE(FileClientThread::destinationFolder(dir.path(), QStringLiteral("/DCIM/") + name, md5, time, &chosen),
             dir.path() + folder);
    QCOMPARE(chosen, fileName);
}

void TestStoragePlan::aFileInTheWayNeverBlocksForGood()
{
    QTemporaryDir dir;
    const QString device = dir.path();
    // Left by earlier versions, or by hand: files where the layout wants folders.
    QVERIFY(writeFile(device + QStringLiteral("/2021"), "a file named 2021"));
    QVERIFY(writeFile(device + QStringLiteral("/temp"), "a file named temp"));
    QVERIFY(writeFile(device + QStringLiteral("/2022/06"), "a file named 06"));
    QVERIFY(QFile::link(device + QStringLiteral("/nowhere"), device + QStringLiteral("/2023")));

    // The attack itself: a file named like the year, sent with a time that cannot be read.
    QCOMPARE(store(device, QStringLiteral("/DCIM/2024"), "named 2024", QStringLiteral("x")),
             device + QStringLiteral("/2024(1)"));
    const struct
    {
        QString time;
        QString md5;
    } cases[] = {{kMay2021, kMd5},
                 {QStringLiteral("2022-06-01T08:00:00"), kMd5},
                 {QStringLiteral("2023-01-01T08:00:00"), kMd5},
                 {QStringLiteral("2024-03-01T08:00:00"), kMd5},
                 {kMay2021, QString()}};
    for (int round = 0; round < 2; ++round) {
        for (const auto &c : cases) {
            const QByteArray content = "photo " + c.time.toUtf8() + c.md5.toUtf8() + QByteArray::number(round);
            const QString mobilePath = QStringLiteral("/DCIM/IMG_%1.jpg").arg(round);
            QString fileName;
            const QString folder = FileClientThread::destinationFolder(
                device, mobilePath, c.md5.isEmpty() ? QString() : TestSupport::md5Hex(content), c.time, &fileName);
            const QString stored = store(device, mobilePath, content, c.md5.isEmpty() ? QString() : c.time);
            QVERIFY2(!stored.isEmpty(), qPrintable(c.time + QLatin1Char(' ') + folder));
            QCOMPARE(readFile(stored), content);
            QVERIFY(stored.startsWith(device + QLatin1Char('/')));
            QCOMPARE(StoragePlan::deviceFolderOf(stored), device);
        }
    }
    QCOMPARE(readFile(device + QStringLiteral("/2021")), QByteArray("a file named 2021"));
    QCOMPARE(readFile(device + QStringLiteral("/temp")), QByteArray("a file named temp"));
    QCOMPARE(readFile(device + QStringLiteral("/2022/06")), QByteArray("a file named 06"));
    QVERIFY(QFileInfo(device + QStringLiteral("/2024/03/IMG_0.jpg")).isFile()); // an unblocked year as usual
}

void TestStoragePlan::deviceFolderOfEveryLayoutFolder()
{
    const QString d = QStringLiteral("/r/万特相册/phone");
    for (const QString &inside :
         {QStringLiteral("/2021/05/a.jpg"), QStringLiteral("/temp/a.jpg"), QStringLiteral("/a.jpg"),
          QStringLiteral("/2021(1)/05/a.jpg"), QStringLiteral("/2022/06(2)/a.jpg"), QStringLiteral("/temp(1)/a.jpg")})
        QCOMPARE(StoragePlan::deviceFolderOf(d + inside), d);
    QCOMPARE(StoragePlan::deviceFolderOf(QStringLiteral("/r/万特相册/12/a.jpg")), QStringLiteral("/r/万特相册/12"));
}

void TestStoragePlan::earlierCopiesAreRecognisedWithoutRereading()
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    // Same size, different content: only the md5 tells them apart.
    const QList<QByteArray> contents{QByteArray(5000, 'a'), QByteArray(5000, 'b'), QByteArray(5000, 'c')};
    for (const QByteArray &content : contents) {
        IncomingFile file;
        QVERIFY(file.open(folder));
        QVERIFY(file.write(content.constData(), content.size()));
        QString stored;
        QCOMPARE(file.commit(QStringLiteral("IMG.jpg"), &stored), IncomingFile::Outcome::Stored);
    }
    const QString second = folder + QStringLiteral("/IMG(1).jpg");
    QCOMPARE(IncomingFile::findIdentical(folder, QStringLiteral("IMG.jpg"), TestSupport::md5Hex(contents[1])), second);
    QCOMPARE(IncomingFile::findIdentical(folder, QStringLiteral("IMG.jpg"), TestSupport::md5Hex(contents[1]).toUpper(),
                                         5000),
             second);
    QVERIFY(IncomingFile::findIdentical(folder, QStringLiteral("IMG.jpg"), TestSupport::md5Hex(contents[1]), 4999)
                .isEmpty());

    // Known md5s are only reused for the file as it was: rewritten in place with the same size and the
    // same modification time, it is read again.
    struct stat before
    { };
    QVERIFY(::stat(QFile::encodeName(second).constData(), &before) == 0);
    const QByteArray replaced(5000, 'z');
    QVERIFY(writeFile(second, replaced));
    struct utimbuf times
    {
        before.st_atime, before.st_mtime
    };
    QVERIFY(::utime(QFile::encodeName(second).constData(), &times) == 0);
    QVERIFY(IncomingFile::findIdentical(folder, QStringLiteral("IMG.jpg"), TestSupport::md5Hex(contents[1])).isEmpty());
    QCOMPARE(IncomingFile::findIdentical(folder, QStringLiteral("IMG.jpg"), TestSupport::md5Hex(replaced)), second);
    QCOMPARE(IncomingFile::knownMd5(second), TestSupport::md5Hex(replaced));

    // Committing again recognises the duplicate and numbers a new content past all of them.
    IncomingFile again;
    QVERIFY(again.open(folder));
    QVERIFY(again.write(contents[2].constData(), contents[2].size()));
    QString at;
    QCOMPARE(again.commit(QStringLiteral("IMG.jpg"), &at), IncomingFile::Outcome::Duplicate);
    QCOMPARE(at, folder + QStringLiteral("/IMG(2).jpg"));
    IncomingFile fresh;
    QVERIFY(fresh.open(folder));
    QVERIFY(fresh.write(contents[1].constData(), contents[1].size()));
    QCOMPARE(fresh.commit(QStringLiteral("IMG.jpg"), &at), IncomingFile::Outcome::Stored);
    QCOMPARE(at, folder + QStringLiteral("/IMG(3).jpg"));
}

void TestStoragePlan::leftoversRemovedOnlyWhenOursAndOld()
{
    QTemporaryDir dir;
    const QString old = dir.filePath(QStringLiteral("2021/05/.vt-0123456789abcdef.part"));
    const QString fresh = dir.filePath(QStringLiteral("temp/.vt-fedcba9876543210.part"));
    const QStringList notOurs{dir.filePath(QStringLiteral(".vt-notours.part")),
                              dir.filePath(QStringLiteral("2021/05/IMG_1.jpg")),
                              dir.filePath(QStringLiteral("2021/05/.vt-0123456789ABCDEF.part"))};
    for (const QString &path : QStringList{old} + notOurs)
        QVERIFY(writeFile(path, "x"));
    const QDateTime started = QDateTime::currentDateTimeUtc();
    for (const QString &path : QStringList{old} + notOurs) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(started.addSecs(-60), QFileDevice::FileModificationTime));
    }
    QVERIFY(writeFile(fresh, "still arriving"));
    QVERIFY(QFile::link(old, dir.filePath(QStringLiteral(".vt-00000000000000aa.part"))));

    QCOMPARE(IncomingFile::removePartsBefore(dir.path(), started), 1);
    QVERIFY(!QFile::exists(old));
    QVERIFY(QFile::exists(fresh));
    for (const QString &path : notOurs)
        QVERIFY2(QFile::exists(path), qPrintable(path));
}

QTEST_GUILESS_MAIN(TestStoragePlan)
#include "tst_storageplan.moc"
