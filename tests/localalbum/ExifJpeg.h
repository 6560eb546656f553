#pragma once

// Pictures made at run time for the organiser's tests and benchmark: a small JPEG from QImage,
// an APP1 EXIF segment built with libexif holding chosen date tags, and padding to an exact size.

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRandomGenerator>

#include <libexif/exif-data.h>

#include <cstdlib>
#include <cstring>

namespace ExifJpeg {

struct DateTag
{
    ExifIfd ifd;
    ExifTag tag;
    QByteArray value; // "yyyy:MM:dd hh:mm:ss"
};


// A JPEG of w x h pixels whose content depends on seed.
inline QByteArray makeJpeg(int w, int h, quint32 seed, int quality = 90)
{
    QImage img(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < h; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = rng.generate() | 0xff000000u;
    }
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPEG", quality);
    return out;
}

// The bytes of an APP1 segment (marker and length included) holding the given tags.
inline QByteArray exifSegment(const QList<DateTag> &tags)
{
    ExifData *ed = exif_data_new();
    exif_data_unset_option(ed, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_byte_order(ed, EXIF_BYTE_ORDER_INTEL);
    for (const DateTag &t : tags) {
        ExifEntry *e = exif_entry_new();
        exif_content_add_entry(ed->ifd[t.ifd], e);
        exif_entry_initialize(e, t.tag);
        if (e->data && e->size >= 20) {
            std::memset(e->data, 0, e->size);
            std::memcpy(e->data, t.value.constData(), size_t(qMin(t.value.size(), 19)));
        }
        exif_entry_unref(e);
    }
    unsigned char *data = nullptr;
    unsigned int size = 0;
    exif_data_save_data(ed, &data, &size);
    QByteArray seg("\xff\xe1", 2);
    seg.append(char(((size + 2) >> 8) & 0xff));
    seg.append(char((size + 2) & 0xff));
    seg.append(reinterpret_cast<const char *>(data), int(size));
    std::free(data);
    exif_data_unref(ed);
    return seg;
}

// jpeg with an EXIF segment right after its start-of-image marker.
inline QByteArray withExif(const QByteArray &jpeg, const QList<DateTag> &tags)
{
    if (tags.isEmpty())
        return jpeg;
    return jpeg.left(2) + exifSegment(tags) + jpeg.mid(2);
}

// Pads with bytes after the end of the image (readers ignore them) to exactly size bytes.
inline QByteArray padTo(QByteArray bytes, int size, quint32 seed)
{
    QRandomGenerator rng(seed);
    while (bytes.size() < size)
        bytes.append(char(rng.generate() & 0xff));
    bytes.truncate(qMax(size, 0));
    return bytes;
}

} // namespace ExifJpeg
