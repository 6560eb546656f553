// Thumbnails of what a phone sent: only its own JPEG or PNG, within the pixel budget, read from a regular
// file inside its device folder; valid photos keep the thumbnail they always had.
#include "backup/FileServer.h"
#include "imaging/SafeImage.h"
#include "imaging/Thumbnail.h"
#include "tests/support/TestPictures.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ToolPictures.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtEndian>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using TestSupport::waitFor;
using TestSupport::writeFile;

namespace {

using TestPictures::encoded;

QImage pattern(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x * 7 % 256, y * 5 % 256, (x ^ y) % 256));
    return image;
}

// The thumbnail as it has always been made for a valid photo.
QByteArray referenceThumbnail(const QString &path, int ratio)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    reader.setScaledSize(QSize(full.width() / ratio, full.height() / ratio));
    return encoded(reader.read(), QFileInfo(path).suffix().toLower().toLatin1().constData());
}

QByteArray svgShowing(const QString &href)
{
    return QStringLiteral("<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                          "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"64\" height=\"64\">"
                          "<image x=\"0\" y=\"0\" width=\"64\" height=\"64\" xlink:href=\"%1\"/></svg>\n")
        .arg(href)
        .toUtf8();
}

// A real picture whose header is rewritten to claim w x h: the budget must refuse it from the header alone.
QByteArray pngClaiming(quint32 w, quint32 h, quint8 bitDepth)
{
    const QByteArray png = encoded(pattern(8, 8), "png");
    // Signature (8), IHDR length and type (8), then width, height, bit depth, colour type.
    QByteArray header = png.mid(16, 13);
    qToBigEndian(w, header.data());
    qToBigEndian(h, header.data() + 4);
    header[8] = char(bitDepth);
    header[9] = char(bitDepth == 16 ? 6 : 2);
    return png.left(8) + TestPictures::pngChunk("IHDR", header) + png.mid(33);
}

QByteArray progressiveJpeg(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.write(image);
    return bytes;
}

QByteArray jpegClaiming(quint16 w, quint16 h, bool progressive = false)
{
    QByteArray jpeg = progressive ? progressiveJpeg(pattern(16, 16)) : encoded(pattern(16, 16), "jpeg");
    const int sof = jpeg.indexOf(QByteArray(progressive ? "\xFF\xC2" : "\xFF\xC0", 2));
    Q_ASSERT(sof > 0);
    qToBigEndian(h, jpeg.data() + sof + 5);
    qToBigEndian(w, jpeg.data() + sof + 7);
    return jpeg;
}

// HEIF with every declared size (ispe) rewritten: the decoder must go by what the boxes say.
QByteArray heifDeclaring(QByteArray heif, quint32 w, quint32 h)
{
    for (int at = heif.indexOf("ispe"); at > 0 && !heif.isEmpty(); at = heif.indexOf("ispe", at + 4)) {
        qToBigEndian(w, heif.data() + at + 8);
        qToBigEndian(h, heif.data() + at + 12);
    }
    return heif;
}

// A WebP whose frame header claims w x h (lossy: 14-bit sides; lossless: sides minus one).
QByteArray webpClaiming(QByteArray webp, quint32 w, quint32 h)
{
    if (webp.isEmpty())
        return webp;
    const int lossy = webp.indexOf("VP8 ");
    if (lossy > 0) {
        qToLittleEndian(quint16(w), webp.data() + lossy + 8 + 6);
        qToLittleEndian(quint16(h), webp.data() + lossy + 8 + 8);
        return webp;
    }
    const int lossless = webp.indexOf("VP8L");
    const quint32 bits = qFromLittleEndian<quint32>(webp.constData() + lossless + 9);
    qToLittleEndian((bits & 0xf0000000u) | (w - 1) | ((h - 1) << 14), webp.data() + lossless + 9);
    return webp;
}

QImage flat(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(qRgb(200, 40, 10));
    return image;
}

// Decodes content, reporting the process's peak memory meanwhile in *peakKiB.
QImage decode(QByteArray content, const SafeImage::Options &options, QString *why, qint64 *peakKiB)
{
    QImage image;
    *peakKiB = TestPictures::peakKiBDuring([&] {
        QBuffer buffer(&content);
        buffer.open(QIODevice::ReadOnly);
        image = SafeImage::read(&buffer, SafeImage::Format::Unknown, options, why);
    });
    return image;
}

// Everything the program does with an untrusted picture stays under this, whatever the picture.
constexpr qint64 kPeakKiB = 400 * 1024;

} // namespace

class TestSafeImage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void validPhotosKeepTheirThumbnail_data();
    void validPhotosKeepTheirThumbnail();
    void onlyItsOwnJpegOrPng_data();
    void onlyItsOwnJpegOrPng();
    void pixelBudgetFromTheHeader_data();
    void pixelBudgetFromTheHeader();
    void noTextReachesThePicture_data();
    void noTextReachesThePicture();
    void aFifoNeverBlocks();
    void onlyRegularFilesInsideTheDeviceFolder();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_phone;  // this phone's device folder
    QString m_other;  // another phone's
    QString m_secret; // a picture elsewhere on the PC
};

void TestSafeImage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_phone = m_dir->filePath(QStringLiteral("万特相册/phone"));
    m_other = m_dir->filePath(QStringLiteral("万特相册/other"));
    m_secret = m_dir->filePath(QStringLiteral("home/secret.png"));
    QVERIFY(writeFile(m_secret, encoded(pattern(64, 64), "png")));
    QVERIFY(writeFile(m_other + QStringLiteral("/2021/05/IMG_1.jpg"), encoded(pattern(64, 48), "jpeg")));
    QVERIFY(QDir().mkpath(m_phone + QStringLiteral("/2021/05")));
}

void TestSafeImage::validPhotosKeepTheirThumbnail_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("ratio");
    QTest::newRow("jpg /2") << "IMG_1.jpg" << QByteArray("jpeg") << 2;
    QTest::newRow("JPEG /3") << "IMG_2.JPEG" << QByteArray("jpeg") << 3;
    QTest::newRow("png /2") << "Screenshot.png" << QByteArray("png") << 2;
    QTest::newRow("png /5") << "Screenshot2.PNG" << QByteArray("png") << 5;
}

void TestSafeImage::validPhotosKeepTheirThumbnail()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    QFETCH(int, ratio);
    const QString path = m_phone + QStringLiteral("/2021/05/") + name;
    QVERIFY(writeFile(path, encoded(pattern(301, 199), format.constData())));
    const QByteArray thumbnail = makeThumbnail(path, ratio);
    QVERIFY(!thumbnail.isEmpty());
    QCOMPARE(thumbnail, referenceThumbnail(path, ratio));
    QCOMPARE(QImage::fromData(thumbnail).size(), QSize(301 / ratio, 199 / ratio));
}

void TestSafeImage::onlyItsOwnJpegOrPng_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    // %1 is the temporary folder of the test row.
    QTest::newRow("svg as png, a picture elsewhere") << "IMG.png" << svgShowing(QStringLiteral("%1/home/secret.png"));
    QTest::newRow("svg as jpg, other phone")
        << "IMG.jpg" << svgShowing(QStringLiteral("%1/万特相册/other/2021/05/IMG_1.jpg"));
    QTest::newRow("png named jpg") << "IMG.jpg" << encoded(pattern(32, 32), "png");
    QTest::newRow("jpeg named png") << "IMG.png" << encoded(pattern(32, 32), "jpeg");
    QTest::newRow("gif named png") << "IMG.png"
                                   << QByteArray::fromBase64(
                                          "R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7");
    QTest::newRow("bmp named jpg") << "IMG.jpg" << encoded(pattern(32, 32), "bmp");
    QTest::newRow("jpeg named heic") << "IMG.heic" << encoded(pattern(32, 32), "jpeg");
    // Read for the album windows, never sent back: the phone gets the acknowledgement alone.
    QTest::newRow("heic") << "IMG.heic" << ToolPictures::heif(pattern(64, 48));
    QTest::newRow("webp") << "IMG.webp" << ToolPictures::webp(pattern(64, 48));
}

void TestSafeImage::onlyItsOwnJpegOrPng()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QString path = m_phone + QStringLiteral("/2021/05/") + name;
    QVERIFY(writeFile(path, content.replace("%1", m_dir->path().toUtf8())));
    QVERIFY(makeThumbnail(path, 2).isEmpty());
}

void TestSafeImage::pixelBudgetFromTheHeader_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("divisor");
    QTest::addColumn<QSize>("box");
    QTest::addColumn<QSize>("expected"); // empty: refused
    const QSize none;
    const QSize refused;
    // Headers claiming more than the data holds: refused before any pixel is decoded.
    QTest::newRow("png 30000x30000") << pngClaiming(30000, 30000, 8) << 2 << none << refused;
    QTest::newRow("png 10001x10000") << pngClaiming(10001, 10000, 8) << 2 << none << refused;
    QTest::newRow("png 9000x9000") << pngClaiming(9000, 9000, 8) << 2 << none << refused;         // inflated whole
    QTest::newRow("png 16-bit 4001x4000") << pngClaiming(4001, 4000, 16) << 2 << none << refused; // decoded whole
    QTest::newRow("jpeg 20000x20000") << jpegClaiming(20000, 20000) << 2 << none << refused;
    QTest::newRow("progressive jpeg 6000x5000") << jpegClaiming(6000, 5000, true) << 2 << none << refused;
    // Sequential, but the first scan holds one component: libjpeg keeps every coefficient, as for
    // a progressive picture.
    QTest::newRow("jpeg scan per component 6000x5000")
        << TestPictures::flatJpeg(6000, 5000, true) << 0 << QSize(128, 128) << refused;
    // Budgeted by what is decoded: a 200-megapixel photo at full size is refused, its thumbnail is
    // decoded at 1/8.
    const QByteArray photo200 = TestPictures::flatJpeg(16320, 12240);
    QTest::newRow("jpeg 200 MP full size") << photo200 << 0 << none << refused;
    QTest::newRow("jpeg 200 MP thumbnail") << photo200 << 0 << QSize(128, 128) << QSize(128, 96);
    QTest::newRow("jpeg 200 MP /8") << photo200 << 8 << none << QSize(2040, 1530);
    QTest::newRow("jpeg 108 MP thumbnail")
        << TestPictures::flatJpeg(12000, 9000) << 0 << QSize(256, 256) << QSize(256, 192);
    const QByteArray screenshot = TestPictures::flatPng(1080, 46000);
    QTest::newRow("png screenshot 1080x46000") << screenshot << 0 << QSize(256, 256) << QSize(6, 256);
    QTest::newRow("png screenshot 1080x46000 /2") << screenshot << 2 << none << QSize(540, 23000);
    QTest::newRow("progressive jpeg 40x40") << progressiveJpeg(pattern(40, 40)) << 2 << none << QSize(20, 20);
    QTest::newRow("png 16-bit 40x40") << encoded(pattern(40, 40).convertToFormat(QImage::Format_RGBA64), "png") << 2
                                      << none << QSize(20, 20);
    // HEIF and WebP made at test time (empty when the encoders are missing: skipped).
    const QByteArray heic = ToolPictures::heif(flat(320, 240));
    QTest::newRow("heic fit 128") << heic << 0 << QSize(128, 128) << QSize(128, 96);
    QTest::newRow("heic /2") << heic << 2 << none << QSize(160, 120);
    QTest::newRow("heic with a stored thumbnail, fit 64")
        << ToolPictures::heif(flat(320, 240), QStringLiteral("heic"), {QStringLiteral("-t"), QStringLiteral("96")}) << 0
        << QSize(64, 64) << QSize(64, 48);
    QTest::newRow("avif /4") << ToolPictures::heif(flat(320, 240), QStringLiteral("avif")) << 4 << none
                             << QSize(80, 60);
    QTest::newRow("heic declaring 30000x30000") << heifDeclaring(heic, 30000, 30000) << 0 << QSize(128, 128) << refused;
    QTest::newRow("heic coded larger than declared") << heifDeclaring(heic, 64, 48) << 0 << QSize(32, 32) << refused;
    const QByteArray lossy = ToolPictures::webp(flat(320, 240));
    const QByteArray lossless = ToolPictures::webp(flat(320, 240), true);
    QTest::newRow("webp /2") << lossy << 2 << none << QSize(160, 120);
    QTest::newRow("webp lossless fit 128") << lossless << 0 << QSize(128, 128) << QSize(128, 96);
    QTest::newRow("webp with exif, fit 128")
        << ToolPictures::withExifDate(lossy, QStringLiteral("webp"), QDateTime(QDate(2021, 5, 1), QTime(8, 0))) << 0
        << QSize(128, 128) << QSize(128, 96);
    QTest::newRow("webp claiming 16383x16383") << webpClaiming(lossy, 16383, 16383) << 0 << QSize(128, 128) << refused;
    QTest::newRow("webp lossless claiming 12000x12000")
        << webpClaiming(lossless, 12000, 12000) << 0 << QSize(128, 128) << refused;
}

void TestSafeImage::pixelBudgetFromTheHeader()
{
    QFETCH(QByteArray, content);
    QFETCH(int, divisor);
    QFETCH(QSize, box);
    QFETCH(QSize, expected);
    if (content.isEmpty())
        QSKIP(qPrintable(ToolPictures::missingTools()));
    SafeImage::Options options;
    options.divisor = divisor;
    options.fitWithin = box;
    QString why;
    qint64 peak = 0;
    const QImage image = decode(content, options, &why, &peak);
    if (expected.isEmpty()) {
        QVERIFY(image.isNull());
        QVERIFY2(why.contains(QStringLiteral("too large")), qPrintable(why));
        return;
    }
    QCOMPARE(image.size(), expected);
    if (SafeImage::sniff(content) == SafeImage::Format::Heif || SafeImage::sniff(content) == SafeImage::Format::Webp) {
        // Colours in Qt's order whatever order the decoder writes.
        const QColor c = image.pixelColor(image.width() / 2, image.height() / 2);
        QVERIFY2(qAbs(c.red() - 200) < 16 && qAbs(c.green() - 40) < 16 && qAbs(c.blue() - 10) < 16,
                 qPrintable(c.name()));
    }
#ifndef VANTEO_SANITIZED // the address sanitizer's quarantine keeps freed buffers resident
    QVERIFY2(peak < kPeakKiB, qPrintable(QString::number(peak)));
#endif
}

void TestSafeImage::noTextReachesThePicture_data()
{
    QTest::addColumn<QByteArray>("content");
    QImage described = pattern(64, 48);
    described.setText(QStringLiteral("Comment"), QStringLiteral("short"));            // tEXt
    described.setText(QStringLiteral("Description"), QString(200, QLatin1Char('d'))); // zTXt
    described.setText(QStringLiteral("Title"),
                      QStringLiteral("万特相册 phone ") + QString(60, QLatin1Char('t'))); // iTXt
    QTest::newRow("png text chunks") << encoded(described, "png");
    QTest::newRow("jpeg comments") << encoded(described, "jpeg");
    // Each chunk inflates to 7.9 MB of text, under libpng's limit for one chunk.
    const QByteArray chunk = TestPictures::zTxtChunk("Comment", 7900 * 1000);
    QByteArray chunks;
    for (int i = 0; i < 40; ++i)
        chunks += chunk;
    QTest::newRow("png 40 zTXt of 7.9 MB") << TestPictures::flatPng(300, 300, chunks);
}

void TestSafeImage::noTextReachesThePicture()
{
    QFETCH(QByteArray, content);
    SafeImage::Options options;
    options.fitWithin = QSize(128, 128);
    QString why;
    qint64 peak = 0;
    const QImage image = decode(content, options, &why, &peak);
    QVERIFY2(!image.isNull(), qPrintable(why));
    QCOMPARE(image.textKeys(), QStringList());
#ifndef VANTEO_SANITIZED
    QVERIFY2(peak < kPeakKiB, qPrintable(QString::number(peak)));
#endif
}

void TestSafeImage::aFifoNeverBlocks()
{
    const QString fifo = m_phone + QStringLiteral("/2021/05/IMG_9.jpg");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QFuture<QByteArray> made = QtConcurrent::run([fifo] { return makeThumbnail(fifo, 2); });
    const bool finished = waitFor([&] { return made.isFinished(); }, 5000);
    if (!finished) {
        // Let the blocked reader go before failing.
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        made.waitForFinished();
    }
    QVERIFY(finished);
    QVERIFY(made.result().isEmpty());
}

void TestSafeImage::onlyRegularFilesInsideTheDeviceFolder()
{
    const QString othersPhoto = m_other + QStringLiteral("/2021/05/IMG_1.jpg");
    // The file itself a link to another phone's photo, or to a picture anywhere.
    const QString linked = m_phone + QStringLiteral("/2021/05/IMG_1.jpg");
    QVERIFY(QFile::link(othersPhoto, linked));
    QVERIFY(makeThumbnail(linked, 2).isEmpty());
    const QString linkedPng = m_phone + QStringLiteral("/2021/05/IMG_2.png");
    QVERIFY(QFile::link(m_secret, linkedPng));
    QVERIFY(makeThumbnail(linkedPng, 2).isEmpty());
    // A folder on the way a link into another phone's folder.
    QVERIFY(QFile::link(m_other + QStringLiteral("/2021"), m_phone + QStringLiteral("/2022")));
    QVERIFY(makeThumbnail(m_phone + QStringLiteral("/2022/05/IMG_1.jpg"), 2).isEmpty());
    // "../" out of the device folder.
    const QString dotted = m_phone + QStringLiteral("/2021/05/../../../other/2021/05/IMG_1.jpg");
    QVERIFY(Thumbnail::make(dotted, 2, m_phone).isEmpty());
    // A folder in the photo's place.
    QVERIFY(QDir().mkpath(m_phone + QStringLiteral("/2021/05/DIR.jpg")));
    QVERIFY(makeThumbnail(m_phone + QStringLiteral("/2021/05/DIR.jpg"), 2).isEmpty());

    // The same photo is fine where it belongs, in any of the layout's folders.
    QVERIFY(!makeThumbnail(othersPhoto, 2).isEmpty());
    QVERIFY(!Thumbnail::make(othersPhoto, 2, m_other).isEmpty());
    QVERIFY(QDir().mkpath(m_phone + QStringLiteral("/temp")));
    QVERIFY(QFile::copy(othersPhoto, m_phone + QStringLiteral("/temp/IMG_1.jpg")));
    QVERIFY(!makeThumbnail(m_phone + QStringLiteral("/temp/IMG_1.jpg"), 2).isEmpty());
    QVERIFY(QFile::copy(othersPhoto, m_phone + QStringLiteral("/IMG_1.jpg")));
    QVERIFY(!makeThumbnail(m_phone + QStringLiteral("/IMG_1.jpg"), 2).isEmpty());
}

QTEST_GUILESS_MAIN(TestSafeImage)
#include "tst_safeimage.moc"
