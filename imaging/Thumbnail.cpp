#include "imaging/Thumbnail.h"

#include "imaging/SafeImage.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageWriter>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcThumbnail, "vanteo.imaging.thumbnail")

namespace Thumbnail {

QByteArray make(const QString &path, int ratio, const QString &deviceFolder)
{
    // The phone is sent thumbnails in its own JPEG or PNG only; other types get the acknowledgement alone.
    const SafeImage::Format format = SafeImage::formatForName(path);
    if (ratio <= 1 || (format != SafeImage::Format::Jpeg && format != SafeImage::Format::Png))
        return QByteArray();
    SafeImage::Options options;
    options.divisor = ratio;
    options.insideFolder = deviceFolder;
    QString why;
    const QImage image = SafeImage::load(path, options, &why);
    if (image.isNull()) {
        qCInfo(lcThumbnail) << "no thumbnail for" << path << why;
        return QByteArray();
    }
    // Encoded in memory: a temporary file beside the photo could clash with one of the phone's own files.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, QFileInfo(path).suffix().toLower().toLatin1());
    if (!writer.write(image))
        return QByteArray();
    return bytes;
}

} // namespace Thumbnail
