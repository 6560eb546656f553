#pragma once

#include <QByteArray>
#include <QString>

// Capture time of a picture from its EXIF tags (libexif stays behind this face).
namespace ExifTime {

// "yyyy-MM-dd hh:mm:ss" from the first of DateTimeDigitized (0x9004), DateTimeOriginal (0x9003)
// and DateTime (0x0132) found, each looked for in IFD 0, IFD 1, EXIF, GPS and Interoperability
// in that order; empty when the file holds no EXIF data, none of the tags, or an invalid date.
QString shotTime(const QString &path);

// Reads an EXIF or ISO 8601 date and time ("2019:05:12 10:20:30", "2019-05-12T10:20:30"):
// a four-digit year, any non-digit separators, a space or "T" before the time. Returns
// "yyyy-MM-dd hh:mm:ss", or empty text when the value is not a valid date and time.
QString normalise(const QByteArray &value);

} // namespace ExifTime
