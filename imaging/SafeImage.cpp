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

bool isInside(const QString &path, const QString &folder)
{
    const QString root = QFileInfo(folder).canonicalFilePath();
    const QString parent = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
    if (root.isEmpty() || parent.isEmpty())
        return false;
    return parent == root || parent.startsWith(root + QLatin1Char('/'));
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
    if (!options.insideFolder.isEmpty() && !isInside(path, options.insideFolder)) {
        setWhy(why, QStringLiteral("outside its folder"));
        return {};
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
    QImageReader reader(device, qtFormatName(actual));
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty()) {
        setWhy(why, QStringLiteral("no picture size in the header"));
        return {};
    }
    if (qint64(stored.width()) * stored.height() > options.maxPixels) {
        setWhy(why, QStringLiteral("picture too large (%1x%2)").arg(stored.width()).arg(stored.height()));
        return {};
    }
    // Orientation is applied after decoding, so the target box is rotated with it.
    reader.setAutoTransform(options.applyOrientation);
    if (options.fitWithin.isValid()) {
        QSize box = options.fitWithin;
        if (options.applyOrientation && (reader.transformation() & QImageIOHandler::TransformationRotate90))
            box.transpose();
        const QSize scaled = stored.scaled(box, Qt::KeepAspectRatio);
        if (scaled.width() < stored.width() || scaled.height() < stored.height())
            reader.setScaledSize(scaled.expandedTo(QSize(1, 1)));
    }
    QImage image = reader.read();
    if (image.isNull())
        setWhy(why, reader.errorString());
    return image;
}
