#pragma once

#include <QByteArray>

class QIODevice;

// The chunks of a WebP file (RIFF), walked without decoding: what the decoder is given and where
// the EXIF chunk lies.
namespace WebpFile {

// An EXIF chunk read for its dates; EXIF in JPEG is bounded by its segment's 64 KB.
constexpr qint64 kMaxExifBytes = 1024 * 1024;

struct Layout
{
    bool valid = false;
    bool animated = false;
    // A still picture rebuilt from its picture chunks alone (VP8X with the metadata flags cleared,
    // ALPH, then VP8 or VP8L): colour profiles, EXIF and XMP never reach the decoder. Empty when
    // the picture chunks add up to more than maxPictureBytes, or when picture is false.
    QByteArray picture;
    qint64 pictureBytes = 0; // what picture holds or would hold
    bool lossless = false;
    qint64 exifAt = -1; // the EXIF chunk's data, in the file
    qint64 exifLength = 0;
};

// Walks device from its start; reads the picture chunks only when picture is set.
Layout walk(QIODevice *device, bool picture, qint64 maxPictureBytes);

// The TIFF structure of the EXIF chunk of the WebP file at rawPath (a name's bytes as on disk);
// empty when there is none or it is larger than kMaxExifBytes.
QByteArray exifTiffOfFile(const QByteArray &rawPath);

} // namespace WebpFile
