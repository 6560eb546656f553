#pragma once

#include <QString>

// What the phone tells the PC about a file before sending it.
namespace PhotoInfo {

// MD5 of the whole content, 32 lower-case hex digits; empty when the file can't be read.
QString md5Of(const QString &path);

// Capture time as "yyyy-MM-ddThh:mm:ss": EXIF DateTimeOriginal when the file has one,
// else the file's modification time (local time).
QString createTimeOf(const QString &path);

// The EXIF DateTimeOriginal alone, in the same format; empty when there is none.
QString exifDateTimeOriginal(const QString &path);

} // namespace PhotoInfo
