#pragma once

// Pictures made at run time for the organiser's tests and benchmark: a small JPEG from QImage,
// an APP1 EXIF segment built with libexif holding chosen date tags, and padding to an exact size.

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRandomGenerator>

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <cstdlib>
#include <cstring>

namespace ExifJpeg {

struct DateTag
{
    ExifIfd ifd;
    ExifTag tag;
    QByteArray value; // "yyyy:MM:dd hh:mm:ss"; for EXIF_TAG_ORIENTATION its number ("6")
};

// w x h pixels of noise that depends on seed (hardly compressible, so sizes stay large).
inline QImage noiseImage(int w, int h, quint32 seed)
{
    QImage img(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < h; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = rng.generate() | 0xff000000u;
    }
    return img;
}

// A JPEG of w x h pixels whose content depends on seed.
inline QByteArray makeJpeg(int w, int h, quint32 seed, int quality = 90)
{
    const QImage img = noiseImage(w, h, seed);
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
        if (t.tag == EXIF_TAG_ORIENTATION && e->data && e->size >= 2) {
            exif_set_short(e->data, EXIF_BYTE_ORDER_INTEL, ExifShort(t.value.toUShort()));
        } else if (e->data && e->size >= 20) {
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

// --- Containers with capture times: MP4/MOV boxes and PNG chunks ---

// One ISO media box: 32-bit size, type, payload.
inline QByteArray box(const char *type, const QByteArray &payload)
{
    QByteArray b;
    const quint32 size = quint32(payload.size() + 8);
    b.append(char(size >> 24)).append(char(size >> 16)).append(char(size >> 8)).append(char(size));
    b.append(type, 4);
    return b + payload;
}

inline QByteArray be32(quint32 v)
{
    QByteArray b;
    b.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
    return b;
}

// A movie whose mvhd says utc (seconds since 1970; 0 writes 0) and, when creationDate is not
// empty, with QuickTime's keys/ilst creationdate (e.g. "2019-05-12T10:20:30+0800"). mdat holds
// mdatBytes pseudo-random bytes after the moov box (moovFirst) or before it.
inline QByteArray makeMovie(qint64 utc, const QByteArray &creationDate, int mdatBytes, quint32 seed,
                            bool moovFirst = true, bool quickTime = false)
{
    QByteArray mvhd = be32(0) + be32(utc ? quint32(utc + 2082844800ll) : 0u) + be32(0) + be32(1000) + be32(0);
    mvhd.append(QByteArray(80, '\0'));
    QByteArray moov = box("mvhd", mvhd);
    if (!creationDate.isEmpty()) {
        const QByteArray key = "com.apple.quicktime.creationdate";
        QByteArray keys = be32(0) + be32(2) + be32(8 + 4) + "mdtaabcd" + be32(quint32(8 + key.size())) + "mdta" + key;
        QByteArray data = box("data", be32(1) + be32(0) + creationDate);
        QByteArray ilst = box("ilst", be32(8 + data.size()) + be32(2) + data);
        QByteArray hdlr = box("hdlr", be32(0) + be32(0) + "mdta" + QByteArray(12, '\0') + QByteArray(1, '\0'));
        moov.append(box("meta", hdlr + box("keys", keys) + ilst));
    }
    QByteArray payload;
    QRandomGenerator rng(seed);
    payload.resize(mdatBytes);
    for (int i = 0; i < mdatBytes; ++i)
        payload[i] = char(rng.generate() & 0xff);
    const QByteArray ftyp = box("ftyp",
                                quickTime ? QByteArray(QByteArray("qt  ") + be32(0) + "qt  ")
                                          : QByteArray(QByteArray("isom") + be32(512) + "isommp41"));
    const QByteArray moovBox = box("moov", moov);
    const QByteArray mdat = box("mdat", payload);
    return moovFirst ? ftyp + moovBox + mdat : ftyp + mdat + moovBox;
}

inline QByteArray pngChunk(const char *type, const QByteArray &data)
{
    QByteArray typed = QByteArray(type, 4) + data;
    // CRC-32 as the PNG format defines it; readers here ignore it, others may not.
    quint32 crc = 0xffffffffu;
    for (char ch : typed) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return be32(quint32(data.size())) + typed + be32(crc ^ 0xffffffffu);
}

// A w x h PNG with, optionally, an eXIf chunk holding tags and a tEXt "Creation Time" chunk
// holding creationTime (placed after the image data when textAfterData).
inline QByteArray makePng(int w, int h, quint32 seed, const QList<DateTag> &exifTags, const QByteArray &creationTime,
                          bool textAfterData = false)
{
    const QImage img = noiseImage(w, h, seed);
    QByteArray png;
    QBuffer buf(&png);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG", 0);
    // Right after IHDR (8-byte signature + 25-byte chunk) go the chunks that describe the picture.
    QByteArray extra;
    if (!exifTags.isEmpty())
        extra += pngChunk("eXIf", exifSegment(exifTags).mid(4 + 6)); // the TIFF structure alone
    QByteArray text;
    if (!creationTime.isEmpty())
        text = pngChunk("tEXt", QByteArray("Creation Time") + '\0' + creationTime);
    png.insert(33, textAfterData ? extra : extra + text);
    if (textAfterData)
        png.insert(png.size() - 12, text); // before IEND
    return png;
}

} // namespace ExifJpeg
