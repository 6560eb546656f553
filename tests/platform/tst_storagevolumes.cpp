// The candidate volumes for the storage root and the free-space rule.
#include "platform/StorageVolumes.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

Q_DECLARE_METATYPE(StorageVolumes::Volume)

namespace {
constexpr qint64 GiB = qint64(1) << 30;
}

class TestStorageVolumes : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { StorageVolumes::clearVolumesForTests(); }

    void mountedVolumes()
    {
        const QList<StorageVolumes::Volume> list = StorageVolumes::volumes();
        QVERIFY(!list.isEmpty());
        QStringList paths;
        for (const auto &v : list) {
            QVERIFY2(v.path.endsWith(QLatin1Char('/')), qPrintable(v.path));
            QVERIFY2(QFileInfo(v.path).isDir() && QFileInfo(v.path).isWritable(), qPrintable(v.path));
            QVERIFY(!v.path.startsWith(QLatin1String("/proc")) && !v.path.startsWith(QLatin1String("/sys")) &&
                    !v.path.startsWith(QLatin1String("/dev")));
            QVERIFY(!paths.contains(v.path));
            paths << v.path;
        }
        // The volume of the home folder is the home folder.
        const QString home = QDir::homePath() + QLatin1Char('/');
        if (QFileInfo(home).isWritable() && home != QLatin1String("//"))
            QVERIFY2(paths.contains(home), qPrintable(paths.join(QLatin1Char(' '))));
        QVERIFY(StorageVolumes::freeBytes(QDir::homePath()) >= 0);
        QCOMPARE(StorageVolumes::freeBytes(QStringLiteral("/no/such/folder/at/all")), qint64(-1));
        QCOMPARE(StorageVolumes::freeSpaceGiB(QStringLiteral("/no/such/folder/at/all")), qint64(0));
    }

    void choice_data()
    {
        QTest::addColumn<QList<StorageVolumes::Volume>>("volumes");
        QTest::addColumn<QString>("expected");
        using V = StorageVolumes::Volume;
        QTest::newRow("most free") << QList<V>{{QStringLiteral("/a"), 3 * GiB},
                                               {QStringLiteral("/b"), 9 * GiB},
                                               {QStringLiteral("/c"), 5 * GiB}}
                                   << QStringLiteral("/b/");
        QTest::newRow("tie in whole GiB: first")
            << QList<V>{{QStringLiteral("/a/"), 4 * GiB + GiB / 2}, {QStringLiteral("/b/"), 4 * GiB + 10}} << "/a/";
        QTest::newRow("below 1 GiB is never chosen")
            << QList<V>{{QStringLiteral("/a/"), GiB - 1}, {QStringLiteral("/b/"), 0}} << QStringLiteral("");
        QTest::newRow("failed query skipped")
            << QList<V>{{QStringLiteral("/a/"), -1}, {QStringLiteral("/b/"), GiB}} << QStringLiteral("/b/");
        QTest::newRow("none") << QList<V>{} << "";
    }

    void choice()
    {
        QFETCH(QList<StorageVolumes::Volume>, volumes);
        QFETCH(QString, expected);
        StorageVolumes::setVolumesForTests(volumes);
        QCOMPARE(StorageVolumes::largestFreeRoot(), expected);
    }

    void injectedFreeSpace()
    {
        StorageVolumes::setVolumesForTests(
            {{QStringLiteral("/"), 10 * GiB}, {QStringLiteral("/media/usb"), 2 * GiB - 1}});
        QCOMPARE(StorageVolumes::freeSpaceGiB(QStringLiteral("/media/usb/")), qint64(1));
        QCOMPARE(StorageVolumes::freeSpaceGiB(QStringLiteral("/media/usb/photos")), qint64(1));
        QCOMPARE(StorageVolumes::freeSpaceGiB(QStringLiteral("/media/usbother")), qint64(10));
        QCOMPARE(StorageVolumes::freeSpaceGiB(QString()), qint64(0));
    }
};

QTEST_GUILESS_MAIN(TestStorageVolumes)
#include "tst_storagevolumes.moc"
