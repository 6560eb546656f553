#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

class QIODevice;
struct heif_context;
struct heif_image_handle;

// A HEIF file (HEIC, AVIF) opened through libheif after its own boxes were looked at: libheif is
// handed only files whose 'meta' box is small and whose coded pictures are no larger than the
// sizes the file declares, so no allocation it makes is sized by a number the budget never saw.
class HeifFile
{
public:
    // The 'meta' box holds item lists and properties: a few KB for a 48-tile phone photo.
    static constexpr qint64 kMaxMetaBytes = 1024 * 1024;
    // An Exif item read for its dates; EXIF in JPEG is bounded by its segment's 64 KB.
    static constexpr qint64 kMaxExifBytes = 1024 * 1024;

    HeifFile() = default;
    ~HeifFile();
    HeifFile(const HeifFile &) = delete;
    HeifFile &operator=(const HeifFile &) = delete;

    // The device must stay open, random-access, while this object lives. False (with *why) when the
    // file is refused or libheif cannot read it.
    bool open(QIODevice *device, QString *why = nullptr);

    heif_context *context() const { return m_context; }
    heif_image_handle *primary() const { return m_primary; }

    // What the boxes say about every coded picture (primary, grid tiles, thumbnails, alpha): the
    // largest declared size, and per stored pixel the most bytes a planar decode of any holds.
    qint64 largestDeclaredPixels() const { return m_largestDeclared; }
    double planarBytesPerPixel() const { return m_planarBytesPerPixel; }

    // The primary picture's Exif item as the TIFF structure libexif reads after "Exif\0\0"; empty
    // when there is none or it is larger than kMaxExifBytes.
    QByteArray exifTiff() const;

    // Exif of the HEIF file at rawPath (a name's bytes as on disk), opened without following a link.
    static QByteArray exifTiffOfFile(const QByteArray &rawPath);

private:
    heif_context *m_context = nullptr;
    heif_image_handle *m_primary = nullptr;
    qint64 m_largestDeclared = 0;
    double m_planarBytesPerPixel = 3;
};
