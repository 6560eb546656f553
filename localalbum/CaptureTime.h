#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// When a picture or video was taken, and where that was read. The time is the wall-clock time
// the date folders are chosen by: EXIF and PNG text times as written (local), a QuickTime
// creationdate in its own zone, the mvhd time (UTC) and the file time in local time.
struct CaptureTime
{
    QDateTime time; // invalid when nothing could be read, not even the file's time
    QString source; // "EXIF DateTimeOriginal", "mvhd", "PNG Creation Time", "配对照片", "文件名", "文件时间", ...

    bool isValid() const { return time.isValid(); }
    // "yyyy-MM-dd hh:mm:ss", as the album records store it; empty when invalid.
    QString text() const;
};

namespace CaptureTimes {

// The time written in the file itself, chosen by its content (not its suffix):
// - JPEG (and anything else libexif reads): DateTimeDigitized, then DateTimeOriginal, then
//   DateTime, each looked for in IFD 0, IFD 1, EXIF, GPS and Interoperability; the first tag
//   found decides, an invalid value gives nothing.
// - MP4/MOV: QuickTime's com.apple.quicktime.creationdate (with its zone), else the mvhd
//   creation time.
// - PNG: an eXIf chunk (as for JPEG), else a tEXt/iTXt "Creation Time".
// - HEIC/HEIF/AVIF: the primary picture's Exif item; WebP: its EXIF chunk (both as for JPEG).
// rawPath holds the name's bytes as on disk (need not be valid UTF-8). Never reads more than a
// few boxes or chunks of a large file; hostile sizes and truncation give an invalid result.
CaptureTime embedded(const QByteArray &rawPath);

// embedded(); else, for a video (mov, mp4, m4v, 3gp), what is embedded in a still of the same
// base name in the same folder (a Live Photo's pair, "配对照片"); else the date in the file's name
// ("文件名", see fromFileName); else the file's modification time ("文件时间").
CaptureTime read(const QByteArray &rawPath);
CaptureTime read(const QString &path);

// The moment a file name says it was made, in local time: mmexport<ms> and wx_camera_<ms>
// (milliseconds since 1970), yyyyMMdd_hhmmss and yyyyMMdd-hhmmss anywhere in the name (IMG_, VID_,
// PXL_ with optional milliseconds, Screenshot_), yyyy-MM-dd hh.mm.ss (dots, dashes or colons).
// Invalid outside 1990 to tomorrow.
QDateTime fromFileName(const QString &fileName);

// Text times of PNG chunks and QuickTime keys: ISO 8601 or EXIF form with an optional zone
// ("2019-05-12T10:20:30+0800", "2019:05:12 10:20:30", "...Z"), or RFC 1123 as the PNG
// format suggests ("Sun, 12 May 2019 10:20:30 +0800"). Invalid when none fits.
QDateTime parseText(const QByteArray &value);

} // namespace CaptureTimes
