#include "PhotoInfo.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <libexif/exif-data.h>

namespace PhotoInfo {

QString md5Of(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    char buf[4096];
    for (;;) {
        const qint64 n = f.read(buf, sizeof buf);
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        hash.addData(buf, int(n));
    }
    return QString::fromLatin1(hash.result().toHex());
}

QString exifDateTimeOriginal(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    ExifData *data = exif_data_new_from_file(native.constData());
    if (!data)
        return QString();
    QString result;
    if (ExifEntry *entry = exif_content_get_entry(data->ifd[EXIF_IFD_EXIF], EXIF_TAG_DATE_TIME_ORIGINAL)) {
        char value[64] = {0};
        exif_entry_get_value(entry, value, sizeof value - 1);
        const QDateTime dt =
            QDateTime::fromString(QString::fromLatin1(value).trimmed(), QStringLiteral("yyyy:MM:dd HH:mm:ss"));
        if (dt.isValid())
            result = dt.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    }
    exif_data_unref(data);
    return result;
}

QString createTimeOf(const QString &path)
{
    const QString exif = exifDateTimeOriginal(path);
    if (!exif.isEmpty())
        return exif;
    return QFileInfo(path).lastModified().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

} // namespace PhotoInfo
