#pragma once

#include <QImage>
#include <QSize>
#include <QString>

class QIODevice;

// The one way this program decodes a picture it did not make itself. Only JPEG and PNG are read, the
// format is taken from the content and must agree with the file name's type, the pixel count is checked
// from the header before any decoding, and the decode is scaled while it runs. Formats that can pull in
// other files (SVG and the like) are never used.
class SafeImage
{
public:
    enum class Format { Unknown, Jpeg, Png };

    static constexpr qint64 kMaxPixels = 100LL * 1000 * 1000;
    // PNG is always decoded at full size before it is scaled, so its decoded bytes are bounded too: about
    // 32 megapixels of 8-bit colour (a phone's screenshots are a few), half that at 16 bits.
    static constexpr qint64 kMaxFullDecodeBytes = 128LL * 1000 * 1000;
    // A progressive JPEG holds all its coefficients in memory and is gone over once per scan: it gets a
    // quarter of the pixel budget, and encoders write about ten scans, never this many.
    static constexpr int kMaxProgressiveScans = 100;

    struct Options
    {
        QSize fitWithin;                 // scaled to fit inside this size, aspect kept; invalid: full size
        int divisor = 0;                 // > 1: each side of the stored picture divided by it (a side
                                         // that becomes 0 refuses); takes precedence over fitWithin
        qint64 maxPixels = kMaxPixels;   // of the picture as stored, checked before decoding
        qint64 maxFullDecodeBytes = kMaxFullDecodeBytes;
        bool applyOrientation = true;    // EXIF orientation of JPEGs
        QString insideFolder;            // when set, the file must lie inside this folder (links resolved)
    };

    // The format the first bytes announce.
    static Format sniff(const QByteArray &head);
    // The format a file name's suffix stands for (jpg, jpeg, png; any case).
    static Format formatForName(const QString &fileName);

    // Opens path without following a link at its last component, only when it is a regular file (and
    // inside options.insideFolder when that is set, judged by where the opened file really lies), and
    // decodes it. A null image when refused; *why says why.
    static QImage load(const QString &path, const Options &options, QString *why = nullptr);
    // Decodes from an open device; expected is the format the caller's name implies (Unknown: any allowed).
    static QImage read(QIODevice *device, Format expected, const Options &options, QString *why = nullptr);
};
