#pragma once

#include "bench/BenchSupport.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <QtEndian>
#include <functional>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

// Pictures made by hand for the decoding tests (header only): big ones cheap to make, and hostile ones.
namespace TestPictures {

// image as a file of format ("jpeg", "png", ...), as Qt's writer makes it.
inline QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return bytes;
}

// One PNG chunk: length, type, data, CRC.
inline QByteArray pngChunk(const char *type, const QByteArray &data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian(quint32(data.size()), chunk.data());
    chunk.append(type, 4).append(data);
    const uLong crc =
        crc32(crc32(0L, nullptr, 0), reinterpret_cast<const Bytef *>(chunk.constData() + 4), uInt(chunk.size() - 4));
    QByteArray tail(4, '\0');
    qToBigEndian(quint32(crc), tail.data());
    return chunk + tail;
}

// A zTXt chunk holding keyword and `inflated` bytes of text, deflated to about a thousandth.
inline QByteArray zTxtChunk(const QByteArray &keyword, int inflated)
{
    const QByteArray text(inflated, 'A');
    QByteArray packed(int(compressBound(uLong(inflated))), '\0');
    uLongf packedSize = uLongf(packed.size());
    compress2(reinterpret_cast<Bytef *>(packed.data()), &packedSize, reinterpret_cast<const Bytef *>(text.constData()),
              uLong(text.size()), 9);
    packed.resize(int(packedSize));
    return pngChunk("zTXt", keyword + QByteArray(1, '\0') + QByteArray(1, '\0') + packed);
}

// An 8-bit RGB PNG of one colour, w x h, made without ever holding its pixels; extraChunks go between
// the header and the pixels.
inline QByteArray flatPng(quint32 w, quint32 h, const QByteArray &extraChunks = QByteArray())
{
    QByteArray header(13, '\0');
    qToBigEndian(w, header.data());
    qToBigEndian(h, header.data() + 4);
    header[8] = 8; // bit depth
    header[9] = 2; // RGB
    QByteArray row(int(1 + w * 3), '\0');
    for (int i = 1; i < row.size(); ++i)
        row[i] = char(0x40 + (i % 3) * 0x40);
    QByteArray idat;
    z_stream z{};
    deflateInit(&z, 1);
    char out[1 << 16];
    for (quint32 y = 0; y <= h; ++y) {
        z.next_in = reinterpret_cast<Bytef *>(row.data());
        z.avail_in = y < h ? uInt(row.size()) : 0;
        const int flush = y < h ? Z_NO_FLUSH : Z_FINISH;
        do {
            z.next_out = reinterpret_cast<Bytef *>(out);
            z.avail_out = sizeof out;
            deflate(&z, flush);
            idat.append(out, int(sizeof out - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + extraChunks + pngChunk("IDAT", idat) +
        pngChunk("IEND", QByteArray());
}

// A baseline (sequential) JPEG of one grey, w x h, three full-resolution components. Its Huffman tables
// hold one one-bit code each, so every block is two zero bits and the file is about w * h / 85 bytes.
// scanPerComponent: one scan per component instead of one interleaved scan.
inline QByteArray flatJpeg(quint16 w, quint16 h, bool scanPerComponent = false)
{
    auto segment = [](uchar marker, const QByteArray &body) -> QByteArray {
        QByteArray s(4, '\0');
        s[0] = char(0xFF);
        s[1] = char(marker);
        qToBigEndian(quint16(body.size() + 2), s.data() + 2);
        return s + body;
    };
    QByteArray jpeg("\xFF\xD8", 2);
    jpeg += segment(0xDB, QByteArray(1, '\0') + QByteArray(64, '\1'));
    QByteArray frame(6, '\0');
    frame[0] = 8;
    qToBigEndian(h, frame.data() + 1);
    qToBigEndian(w, frame.data() + 3);
    frame[5] = 3;
    for (char id = 1; id <= 3; ++id)
        frame += QByteArray(1, id) + QByteArray("\x11\x00", 2);
    jpeg += segment(0xC0, frame);
    QByteArray oneCode(17, '\0');
    oneCode[0] = 1; // one code of one bit, for symbol 0: DC difference 0, or end of block
    jpeg += segment(0xC4, QByteArray(1, '\x00') + oneCode);
    jpeg += segment(0xC4, QByteArray(1, '\x10') + oneCode);
    const qint64 blocks = qint64((w + 7) / 8) * ((h + 7) / 8);
    auto scan = [&](const QByteArray &ids, qint64 blockCount) -> QByteArray {
        QByteArray body(1, char(ids.size()));
        for (const char id : ids)
            body += QByteArray(1, id) + QByteArray(1, '\0');
        body += QByteArray("\x00\x3F\x00", 3);
        return segment(0xDA, body) + QByteArray(int((blockCount * 2 + 7) / 8), '\0');
    };
    if (scanPerComponent) {
        for (char id = 1; id <= 3; ++id)
            jpeg += scan(QByteArray(1, id), blocks);
    } else {
        jpeg += scan(QByteArray("\1\2\3", 3), blocks * 3);
    }
    return jpeg + QByteArray("\xFF\xD9", 2);
}

// This process's peak resident memory while work runs, in KiB (-1 when /proc can't tell). The peak
// is first brought down to what the process holds now, where the system allows it. (Not measured in
// a forked child: Qt's smooth scaling waits on worker threads a fork does not copy.)
inline qint64 peakKiBDuring(const std::function<void()> &work)
{
    const int clear = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (clear >= 0) {
        (void)!::write(clear, "5", 1);
        ::close(clear);
    }
    work();
    return BenchSupport::vmHwmKiB();
}

} // namespace TestPictures
