// Thumbnails of what a phone sent: only its own JPEG or PNG, within the pixel budget, read from a regular
// file inside its device folder; valid photos keep the thumbnail they always had.
#include "backup/FileServer.h"
#include "imaging/SafeImage.h"
#include "imaging/Thumbnail.h"
#include "tests/support/TestSupport.h"

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

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return bytes;
}

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
    QByteArray png = encoded(pattern(8, 8), "png");
    // Signature (8), IHDR length and type (8), then width, height, bit depth; the CRC is not checked
    // before the size is read, but is kept right anyway.
    qToBigEndian(w, png.data() + 16);
    qToBigEndian(h, png.data() + 20);
    png[24] = char(bitDepth);
    png[25] = char(bitDepth == 16 ? 6 : 2);
    quint32 c = 0xffffffffu;
    for (int i = 12; i < 29; ++i) {
        c ^= uchar(png[i]);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    qToBigEndian(c ^ 0xffffffffu, png.data() + 29);
    return png;
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
    void aFifoNeverBlocks();
    void onlyRegularFilesInsideTheDeviceFolder();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_phone;   // this phone's device folder
    QString m_other;   // another phone's
    QString m_secret;  // a picture elsewhere on the PC
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
    QTest::newRow("svg as jpg, other phone") << "IMG.jpg" << svgShowing(QStringLiteral("%1/万特相册/other/2021/05/IMG_1.jpg"));
    QTest::newRow("png named jpg") << "IMG.jpg" << encoded(pattern(32, 32), "png");
    QTest::newRow("jpeg named png") << "IMG.png" << encoded(pattern(32, 32), "jpeg");
    QTest::newRow("gif named png") << "IMG.png" << QByteArray::fromBase64("R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7");
    QTest::newRow("bmp named jpg") << "IMG.jpg" << encoded(pattern(32, 32), "bmp");
    QTest::newRow("jpeg named heic") << "IMG.heic" << encoded(pattern(32, 32), "jpeg");
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
    QTest::addColumn<bool>("allowed");
    QTest::newRow("png 30000x30000") << pngClaiming(30000, 30000, 8) << false;
    QTest::newRow("png 10001x10000") << pngClaiming(10001, 10000, 8) << false;
    QTest::newRow("png 6000x6000") << pngClaiming(6000, 6000, 8) << false; // decoded whole before scaling
    QTest::newRow("png 16-bit 4001x4000") << pngClaiming(4001, 4000, 16) << false;
    QTest::newRow("jpeg 20000x20000") << jpegClaiming(20000, 20000) << false;
    QTest::newRow("progressive jpeg 6000x5000") << jpegClaiming(6000, 5000, true) << false;
    QTest::newRow("progressive jpeg 40x40") << progressiveJpeg(pattern(40, 40)) << true;
    QTest::newRow("png 16-bit 40x40") << encoded(pattern(40, 40).convertToFormat(QImage::Format_RGBA64), "png") << true;
}

void TestSafeImage::pixelBudgetFromTheHeader()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, allowed);
    QBuffer buffer(&content);
    buffer.open(QIODevice::ReadOnly);
    SafeImage::Options options;
    options.divisor = 2;
    QString why;
    // Refused before any pixel is decoded, so even a header claiming 900 megapixels costs nothing.
    const QImage image = SafeImage::read(&buffer, SafeImage::Format::Unknown, options, &why);
    if (allowed) {
        QCOMPARE(image.size(), QSize(20, 20));
    } else {
        QVERIFY(image.isNull());
        QVERIFY2(why.contains(QStringLiteral("too large")), qPrintable(why));
    }
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
