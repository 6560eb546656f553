#include "imaging/SafeImage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool setWhy(QString *why, const QString &text)
{
    if (why)
        *why = text;
    return false;
}

QByteArray qtFormatName(SafeImage::Format f)
{
    return f == SafeImage::Format::Jpeg ? QByteArrayLiteral("jpeg") : QByteArrayLiteral("png");
}

bool isBelow(const QString &canonicalPath, const QString &canonicalRoot)
{
    if (canonicalPath.isEmpty() || canonicalRoot.isEmpty())
        return false;
    if (canonicalRoot == QLatin1String("/"))
        return canonicalPath.startsWith(QLatin1Char('/'));
    return canonicalPath.startsWith(canonicalRoot + QLatin1Char('/'));
}

// Where the open descriptor really is; empty when the system cannot tell.
QString openedPath(int fd)
{
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd));
    return target.startsWith(QLatin1Char('/')) ? target : QString();
}

int bytesPerPixel(QImage::Format format)
{
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    return depth > 0 ? qMax(1, (depth + 7) / 8) : 4;
}

// What the marker segments before the first scan of a JPEG say, and how many scans it has.
struct JpegLayout
{
    bool valid = false;
    bool progressive = false;
    int scans = 0;   // counted only for progressive pictures (0 otherwise)
};

// Walks the markers of a JPEG without decoding it. A progressive picture keeps every coefficient of
// the whole picture in memory and goes over all of them once per scan, so its scans are counted to
// the end of the file (the device is put back where it was).
JpegLayout jpegLayout(QIODevice *device, int maxScans)
{
    JpegLayout layout;
    if (device->isSequential())
        return layout;
    const qint64 start = device->pos();
    auto readByte = [device](uchar *c) { return device->getChar(reinterpret_cast<char *>(c)); };
    uchar a = 0, b = 0;
    if (!readByte(&a) || !readByte(&b) || a != 0xFF || b != 0xD8) {
        device->seek(start);
        return layout;
    }
    uchar c = 0;
    while (readByte(&c)) {
        if (c != 0xFF)
            continue; // entropy-coded data, or a stray byte between segments
        uchar marker = 0;
        do {
            if (!readByte(&marker))
                break;
        } while (marker == 0xFF); // fill bytes
        if (marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // a stuffed 0xFF or a restart marker inside the scan
        if (marker == 0xD9)
            break;
        if (marker == 0xD8 || marker == 0x01)
            continue;
        uchar hi = 0, lo = 0;
        if (!readByte(&hi) || !readByte(&lo))
            break;
        const int length = (hi << 8) | lo;
        if (length < 2)
            break;
        const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof && !layout.valid) {
            layout.valid = true;
            layout.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
        }
        if (marker == 0xDA) {
            if (!layout.progressive)
                break; // the header is all a sequential picture needs looked at
            if (++layout.scans > maxScans)
                break;
        }
        if (!device->seek(device->pos() + length - 2))
            break;
    }
    device->seek(start);
    return layout;
}

} // namespace

SafeImage::Format SafeImage::sniff(const QByteArray &head)
{
    if (head.size() >= 3 && uchar(head[0]) == 0xFF && uchar(head[1]) == 0xD8 && uchar(head[2]) == 0xFF)
        return Format::Jpeg;
    static const char png[] = "\x89PNG\r\n\x1a\n";
    if (head.startsWith(QByteArray::fromRawData(png, 8)))
        return Format::Png;
    return Format::Unknown;
}

SafeImage::Format SafeImage::formatForName(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return Format::Jpeg;
    if (suffix == QLatin1String("png"))
        return Format::Png;
    return Format::Unknown;
}

QImage SafeImage::load(const QString &path, const Options &options, QString *why)
{
    const Format expected = formatForName(path);
    if (expected == Format::Unknown) {
        setWhy(why, QStringLiteral("not a JPEG or PNG name"));
        return {};
    }
    QString root;
    if (!options.insideFolder.isEmpty()) {
        root = QFileInfo(options.insideFolder).canonicalFilePath();
        // Checked before opening as well, so nothing outside is even opened where /proc can tell us.
        const QString parent = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
        if (parent != root && !isBelow(parent, root)) {
            setWhy(why, QStringLiteral("outside its folder"));
            return {};
        }
    }
    // O_NONBLOCK so a FIFO put in the file's place cannot block the open; the fstat below refuses it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setWhy(why, QStringLiteral("cannot open"));
        return {};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        setWhy(why, QStringLiteral("not a regular file"));
        return {};
    }
    if (!root.isEmpty()) {
        // A folder on the way swapped for a link between the check above and the open.
        const QString real = openedPath(fd);
        if (!real.isEmpty() && !isBelow(real, root)) {
            ::close(fd);
            setWhy(why, QStringLiteral("outside its folder"));
            return {};
        }
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        setWhy(why, QStringLiteral("cannot open"));
        return {};
    }
    return read(&file, expected, options, why);
}

QImage SafeImage::read(QIODevice *device, Format expected, const Options &options, QString *why)
{
    const Format actual = sniff(device->peek(8));
    if (actual == Format::Unknown) {
        setWhy(why, QStringLiteral("content is neither JPEG nor PNG"));
        return {};
    }
    if (expected != Format::Unknown && actual != expected) {
        setWhy(why, QStringLiteral("content does not match the file's type"));
        return {};
    }
    // Looked at before the reader moves on in the device.
    const JpegLayout layout = actual == Format::Jpeg ? jpegLayout(device, kMaxProgressiveScans) : JpegLayout();
    // With the format named and detection off, Qt looks only for a handler of that name, and the content
    // has just been seen to start as that format, so no other decoder (SVG, ...) ever gets these bytes.
    QImageReader reader(device, qtFormatName(actual));
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty()) {
        setWhy(why, QStringLiteral("no picture size in the header"));
        return {};
    }
    const qint64 pixels = qint64(stored.width()) * stored.height();
    if (pixels > options.maxPixels) {
        setWhy(why, QStringLiteral("picture too large (%1x%2)").arg(stored.width()).arg(stored.height()));
        return {};
    }
    if (actual == Format::Jpeg) {
        if (layout.progressive && pixels > options.maxPixels / 4) {
            setWhy(why, QStringLiteral("progressive picture too large (%1x%2)").arg(stored.width()).arg(stored.height()));
            return {};
        }
        if (layout.scans > kMaxProgressiveScans) {
            setWhy(why, QStringLiteral("more than %1 scans").arg(kMaxProgressiveScans));
            return {};
        }
    }
    if (actual == Format::Png && pixels * bytesPerPixel(reader.imageFormat()) > options.maxFullDecodeBytes) {
        setWhy(why, QStringLiteral("picture too large to decode (%1x%2)").arg(stored.width()).arg(stored.height()));
        return {};
    }
    // Orientation is applied after decoding, so the target box is rotated with it.
    reader.setAutoTransform(options.applyOrientation);
    QSize scaled = stored;
    if (options.divisor > 1) {
        scaled = QSize(stored.width() / options.divisor, stored.height() / options.divisor);
        if (scaled.isEmpty()) {
            setWhy(why, QStringLiteral("picture too small to divide by %1").arg(options.divisor));
            return {};
        }
    } else if (options.fitWithin.isValid()) {
        QSize box = options.fitWithin;
        if (options.applyOrientation && (reader.transformation() & QImageIOHandler::TransformationRotate90))
            box.transpose();
        scaled = stored.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    }
    if (scaled.width() < stored.width() || scaled.height() < stored.height())
        reader.setScaledSize(scaled);
    QImage image = reader.read();
    if (image.isNull())
        setWhy(why, reader.errorString());
    return image;
}
