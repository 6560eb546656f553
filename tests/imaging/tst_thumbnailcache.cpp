#include "imaging/ThumbnailCache.h"
#include "tests/support/TestPictures.h"
#include "tests/support/TestSupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

class TstThumbnailCache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void storedWhereFileManagersLookWithItsStamp();
    void changedFileGetsNewThumbnail();
    void hostileFilesAreRefusedAndRemembered();
    void thumbnailsCarryNoTextOfTheirSource_data();
    void thumbnailsCarryNoTextOfTheirSource();
    void missingFileIsReportedAsMissing();
    void cancelledRequestsAreNotDecoded();

private:
    QString photo(const QString &name, const QColor &colour, const QSize &size = QSize(640, 480));
    QString cacheHome() const { return m_home.path() + QStringLiteral("/cache"); }
    QString normalDir() const { return cacheHome() + QStringLiteral("/thumbnails/normal"); }

    QTemporaryDir m_home;
    QString m_photos;
};

void TstThumbnailCache::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheHome()));
    m_photos = m_home.path() + QStringLiteral("/相册 2024");
    QVERIFY(QDir().mkpath(m_photos));
}

QString TstThumbnailCache::photo(const QString &name, const QColor &colour, const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    const QString path = m_photos + QLatin1Char('/') + name;
    if (!image.save(path, "JPEG", 90))
        return {};
    return path;
}

void TstThumbnailCache::storedWhereFileManagersLookWithItsStamp()
{
    const QString path = photo(QStringLiteral("照片 1.jpg"), Qt::red);
    QVERIFY(!path.isEmpty());

    ThumbnailCache cache;
    QSignalSpy ready(&cache, &ThumbnailCache::thumbnailReady);
    cache.request(path);
    QVERIFY(TestSupport::waitFor([&] { return ready.count() == 1; }));
    QCOMPARE(ready.at(0).at(0).toString(), path);
    const QImage shown = cache.cached(path);
    QCOMPARE(shown.size(), QSize(128, 96)); // scaled to the 128 box, aspect kept

    // Named after the md5 of the escaped file URI, as every user of the shared cache computes it.
    const QByteArray uri = QUrl::fromLocalFile(path).toEncoded();
    QVERIFY(uri.endsWith("%E7%85%A7%E7%89%87%201.jpg"));
    const QString stored = normalDir() + QLatin1Char('/') +
        QString::fromLatin1(QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex()) + QStringLiteral(".png");
    QCOMPARE(ThumbnailCache::thumbnailPath(path, ThumbnailCache::Flavor::Normal), stored);
    QImageReader reader(stored, "png");
    const QImage onDisk = reader.read();
    QVERIFY2(!onDisk.isNull(), qPrintable(stored));
    QCOMPARE(onDisk.text(QStringLiteral("Thumb::URI")).toUtf8(), uri);
    QCOMPARE(onDisk.text(QStringLiteral("Thumb::MTime")),
             QString::number(QFileInfo(path).lastModified().toSecsSinceEpoch()));
    QCOMPARE(onDisk.size(), QSize(128, 96));

    // Private to the user; no temporary file left beside it.
    QCOMPARE(QFile::permissions(stored) & 0x0777, QFile::ReadUser | QFile::WriteUser);
    const auto dirPerms = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    QCOMPARE(QFile::permissions(normalDir()) & 0x0777, dirPerms);
    QCOMPARE(QFile::permissions(cacheHome() + QStringLiteral("/thumbnails")) & 0x0777, dirPerms);
    QCOMPARE(QFile::permissions(cacheHome()) & 0x0777, dirPerms); // made here, so private too
    QCOMPARE(QDir(normalDir()).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(stored).fileName()});

    // A second opening reads the stored thumbnail instead of decoding the photo.
    ThumbnailCache::Options o;
    QCOMPARE(ThumbnailCache::load(path, o).kind, ThumbnailCache::Result::FromDisk);
}

void TstThumbnailCache::changedFileGetsNewThumbnail()
{
    const QString path = photo(QStringLiteral("changed.jpg"), Qt::red);
    ThumbnailCache::Options o;
    ThumbnailCache::Result first = ThumbnailCache::load(path, o);
    QCOMPARE(first.kind, ThumbnailCache::Result::Made);
    QVERIFY(qRed(first.image.pixel(64, 48)) > 200);

    // Rewritten with other content; its time moves on.
    QVERIFY(!photo(QStringLiteral("changed.jpg"), Qt::blue).isEmpty());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    const QDateTime later = QDateTime::currentDateTime().addSecs(60);
    QVERIFY(f.setFileTime(later, QFileDevice::FileModificationTime));
    f.close();

    const ThumbnailCache::Result second = ThumbnailCache::load(path, o);
    QCOMPARE(second.kind, ThumbnailCache::Result::Made);
    QVERIFY(qBlue(second.image.pixel(64, 48)) > 200);
    QImageReader reader(ThumbnailCache::thumbnailPath(path, ThumbnailCache::Flavor::Normal), "png");
    const QImage onDisk = reader.read();
    QCOMPARE(onDisk.text(QStringLiteral("Thumb::MTime")), QString::number(later.toSecsSinceEpoch()));
    QVERIFY(qBlue(onDisk.pixel(64, 48)) > 200);
    QCOMPARE(ThumbnailCache::load(path, o).kind, ThumbnailCache::Result::FromDisk);
}

void TstThumbnailCache::hostileFilesAreRefusedAndRemembered()
{
    // A JPEG whose header claims 49152 x 49152 pixels.
    QByteArray bomb = TestSupport::readFile(photo(QStringLiteral("seed.jpg"), Qt::green, QSize(16, 16)));
    const int sof = bomb.indexOf("\xFF\xC0");
    QVERIFY(sof > 0);
    bomb[sof + 5] = bomb[sof + 7] = char(0xC0);
    bomb[sof + 6] = bomb[sof + 8] = 0;
    QImage png(8, 8, QImage::Format_RGB32);
    png.fill(Qt::white);
    QVERIFY(png.save(m_photos + QStringLiteral("/png-as.jpg"), "PNG"));
    QVERIFY(TestSupport::writeFile(m_photos + QStringLiteral("/bomb.jpg"), bomb));
    QVERIFY(TestSupport::writeFile(m_photos + QStringLiteral("/script.jpg"), "#!/bin/sh\necho hi\n"));
    QVERIFY(TestSupport::writeFile(m_photos + QStringLiteral("/clip.gif"), "GIF89a......"));
    QVERIFY(QFile::link(photo(QStringLiteral("target.jpg"), Qt::red), m_photos + QStringLiteral("/link.jpg")));

    const QStringList names{QStringLiteral("bomb.jpg"), QStringLiteral("png-as.jpg"), QStringLiteral("script.jpg"),
                            QStringLiteral("clip.gif"), QStringLiteral("link.jpg")};
    ThumbnailCache::Options o;
    for (const QString &name : names) {
        const QString path = m_photos + QLatin1Char('/') + name;
        const ThumbnailCache::Result r = ThumbnailCache::load(path, o);
        QVERIFY2(r.kind == ThumbnailCache::Result::Refused && r.image.isNull(), qPrintable(name));
        QVERIFY2(!QFile::exists(ThumbnailCache::thumbnailPath(path, ThumbnailCache::Flavor::Normal)), qPrintable(name));
        QVERIFY2(QFile::exists(ThumbnailCache::failurePath(path)), qPrintable(name));
        // Not decoded again while the file is unchanged.
        QCOMPARE(ThumbnailCache::load(path, o).why, QStringLiteral("failed before, file unchanged"));
    }

    // The same name with a real photo and a new time is tried again.
    const QString bombPath = m_photos + QStringLiteral("/bomb.jpg");
    QVERIFY(QFile::remove(bombPath));
    QVERIFY(!photo(QStringLiteral("bomb.jpg"), Qt::red).isEmpty());
    QFile f(bombPath);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(120), QFileDevice::FileModificationTime));
    f.close();
    QCOMPARE(ThumbnailCache::load(bombPath, o).kind, ThumbnailCache::Result::Made);
}

void TstThumbnailCache::thumbnailsCarryNoTextOfTheirSource_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QSize>("size");
    QImage described(640, 480, QImage::Format_RGB32);
    described.fill(Qt::darkCyan);
    described.setText(QStringLiteral("Comment"), QStringLiteral("where I live"));
    described.setText(QStringLiteral("Description"), QString(300, QLatin1Char('d')));
    described.setText(QStringLiteral("Title"), QStringLiteral("相册 ") + QString(60, QLatin1Char('t')));
    auto encoded = [&](const char *format) { return TestPictures::encoded(described, format); };
    QTest::newRow("png with text chunks") << "described.png" << encoded("PNG") << QSize(128, 96);
    QTest::newRow("jpeg with comments") << "described.jpg" << encoded("JPEG") << QSize(128, 96);
    const QByteArray bomb = TestPictures::zTxtChunk("Comment", 7900 * 1000);
    QTest::newRow("png with 20 zTXt of 7.9 MB")
        << "bomb.png" << TestPictures::flatPng(300, 300, bomb.repeated(20)) << QSize(128, 128);
    QTest::newRow("png screenshot 1080x46000")
        << "screenshot.png" << TestPictures::flatPng(1080, 46000) << QSize(3, 128);
}

void TstThumbnailCache::thumbnailsCarryNoTextOfTheirSource()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QSize, size);
    const QString path = m_photos + QLatin1Char('/') + name;
    QVERIFY(TestSupport::writeFile(path, content));
    ThumbnailCache::Options o;
    const ThumbnailCache::Result made = ThumbnailCache::load(path, o);
    QCOMPARE(made.kind, ThumbnailCache::Result::Made);
    QCOMPARE(made.image.size(), size);
    QCOMPARE(made.image.textKeys(), QStringList());
    // The shared thumbnail carries what the cache writes itself, nothing of the source.
    QImageReader reader(ThumbnailCache::thumbnailPath(path, ThumbnailCache::Flavor::Normal), "png");
    QStringList onDisk = reader.read().textKeys();
    onDisk.sort();
    QCOMPARE(onDisk,
             (QStringList{QStringLiteral("Software"), QStringLiteral("Thumb::MTime"), QStringLiteral("Thumb::Size"),
                          QStringLiteral("Thumb::URI")}));
    const ThumbnailCache::Result fromDisk = ThumbnailCache::load(path, o);
    QCOMPARE(fromDisk.kind, ThumbnailCache::Result::FromDisk);
    QStringList kept = fromDisk.image.textKeys();
    kept.sort();
    QCOMPARE(
        kept,
        (QStringList{QStringLiteral("Thumb::MTime"), QStringLiteral("Thumb::Size"), QStringLiteral("Thumb::URI")}));
}

void TstThumbnailCache::missingFileIsReportedAsMissing()
{
    ThumbnailCache cache;
    QSignalSpy failed(&cache, &ThumbnailCache::thumbnailFailed);
    const QString gone = m_photos + QStringLiteral("/gone.jpg");
    cache.request(gone);
    QVERIFY(TestSupport::waitFor([&] { return failed.count() == 1; }));
    QCOMPARE(failed.at(0).at(0).toString(), gone);
    QCOMPARE(failed.at(0).at(1).toBool(), true);
    QVERIFY(cache.cached(gone).isNull());
}

void TstThumbnailCache::cancelledRequestsAreNotDecoded()
{
    QStringList paths;
    for (int i = 0; i < 30; ++i)
        paths << photo(QStringLiteral("many%1.jpg").arg(i), QColor::fromHsv(i * 12, 200, 200), QSize(1600, 1200));
    ThumbnailCache::Options o;
    o.threads = 1;
    o.useDisk = false;
    ThumbnailCache cache(o);
    QSignalSpy ready(&cache, &ThumbnailCache::thumbnailReady);
    for (const QString &p : qAsConst(paths))
        cache.request(p);
    // Newest first: the last one asked for is what the user looks at now.
    cache.cancelIf([&](const QString &p) { return p != paths.last(); });
    QVERIFY(TestSupport::waitFor([&] { return cache.pendingCount() == 0; }));
    // At most the one a worker had already taken besides the one kept.
    QVERIFY2(ready.count() <= 2, qPrintable(QString::number(ready.count())));
    QVERIFY(!cache.cached(paths.last()).isNull());
}

QTEST_MAIN(TstThumbnailCache)
#include "tst_thumbnailcache.moc"
