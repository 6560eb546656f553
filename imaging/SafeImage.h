#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

class QIODevice;

// The one way this program decodes a picture it did not make itself. Only JPEG, PNG, HEIF (HEIC and
// AVIF, through libheif) and still WebP (libwebp) are read, the format is taken from the content and
// must agree with the file name's type, what decoding will hold in memory is worked out from the
// header before any decoding, and the decode is scaled while it runs where the format allows (HEIF
// decodes whole, or a thumbnail stored in the file when that covers the size asked for). The decoder
// is given the file without its text (PNG text chunks, JPEG comments, APPn segments past a small
// total, WebP's EXIF, XMP and colour profile chunks; libheif is never asked for metadata), so a
// picture's memory is bounded by its pixels and no text of the source reaches the image. Formats that
// can pull in other files (SVG and the like) are never used.
class SafeImage
{
public:
    enum class Format { Unknown, Jpeg, Png, Heif, Webp };

    // Pixels held at once: the decoder's output (a JPEG decodes at 1/8 to 8/8 of each side, a PNG
    // scaled while read or whole) and the scaled copy made of it.
    static constexpr qint64 kMaxPixels = 100LL * 1000 * 1000;
    // Pixels stored, which bounds the decoding work: a 200-megapixel phone photo and some room.
    static constexpr qint64 kMaxStoredPixels = 250LL * 1000 * 1000;
    // Bytes held decoded at once, and for PNG also the bytes inflated, which every stored row is
    // whether the picture is scaled while read or decoded whole: a 50-megapixel screenshot in 8-bit
    // colour fits, one at 16 bits or much larger does not.
    static constexpr qint64 kMaxDecodeBytes = 256LL * 1000 * 1000;
    // A progressive JPEG, or a sequential one with more than one scan, holds the coefficients of the
    // whole stored picture and is gone over once per scan: it gets a quarter of the pixel budget,
    // and encoders write about ten scans, never this many.
    static constexpr int kMaxProgressiveScans = 100;
    // Metadata segments of a JPEG handed to the decoder (EXIF orientation, colour profile).
    static constexpr qint64 kMaxJpegAppBytes = 1024LL * 1024;
    // A text chunk named in Options::keepText is kept only up to this size.
    static constexpr qint64 kMaxKeptTextChunk = 16 * 1024;

    struct Options
    {
        QSize fitWithin;               // scaled to fit inside this size, aspect kept; invalid: full size
        int divisor = 0;               // > 1: each side of the stored picture divided by it (a side
                                       // that becomes 0 refuses); takes precedence over fitWithin
        qint64 maxPixels = kMaxPixels; // held decoded at once, checked before decoding
        qint64 maxDecodeBytes = kMaxDecodeBytes;
        bool applyOrientation = true; // EXIF orientation of JPEGs
        QString insideFolder;         // when set, the file must lie inside this folder (links resolved)
        QStringList keepText;         // PNG text chunks with these keywords (the first of each, small
                                      // ones) reach the image; all other text is dropped unread
    };

    // The format the first bytes announce.
    static Format sniff(const QByteArray &head);
    // The format a file name's suffix stands for (jpg, jpeg, png, heic, heif, avif, webp; any case).
    static Format formatForName(const QString &fileName);

    // Opens path without following a link at its last component, only when it is a regular file (and
    // inside options.insideFolder when that is set, judged by where the opened file really lies), and
    // decodes it. A null image when refused; *why says why.
    static QImage load(const QString &path, const Options &options, QString *why = nullptr);
    // Decodes from an open random-access device; expected is the format the caller's name implies
    // (Unknown: any allowed).
    static QImage read(QIODevice *device, Format expected, const Options &options, QString *why = nullptr);
};
