#include "localalbum/ExifTime.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

#include <libexif/exif-data.h>

namespace ExifTime {

QString normalise(const QByteArray &value)
{
    static const QRegularExpression re(
        QStringLiteral("^\\s*(\\d{4})\\D+(\\d{1,2})\\D+(\\d{1,2})[ T](\\d{1,2})\\D+(\\d{1,2})\\D+(\\d{1,2})"));
    const QRegularExpressionMatch m = re.match(QString::fromLatin1(value));
    if (!m.hasMatch())
        return QString();
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return QString();
    return QDateTime(date, time).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

QString shotTime(const QString &path)
{
    // The file system's own encoding, so that names with Chinese characters open.
    ExifData *data = exif_data_new_from_file(QFile::encodeName(path).constData());
    if (!data)
        return QString();
    static const ExifTag tags[] = {EXIF_TAG_DATE_TIME_DIGITIZED, EXIF_TAG_DATE_TIME_ORIGINAL, EXIF_TAG_DATE_TIME};
    static const ExifIfd ifds[] = {EXIF_IFD_0, EXIF_IFD_1, EXIF_IFD_EXIF, EXIF_IFD_GPS, EXIF_IFD_INTEROPERABILITY};
    ExifEntry *entry = nullptr;
    for (ExifTag tag : tags) {
        for (ExifIfd ifd : ifds) {
            entry = exif_content_get_entry(data->ifd[ifd], tag);
            if (entry)
                break;
        }
        if (entry)
            break;
    }
    QString result;
    if (entry) {
        char buf[1024] = {0};
        if (exif_entry_get_value(entry, buf, sizeof buf) && buf[0])
            result = normalise(QByteArray(buf));
    }
    exif_data_unref(data);
    return result;
}

} // namespace ExifTime
