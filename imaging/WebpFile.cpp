#include "imaging/WebpFile.h"

#include "fileops/FileOps.h"

#include <QFile>
#include <QVector>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace WebpFile {

namespace {

constexpr int kMaxChunks = 4096;

struct Piece
{
    qint64 at; // the chunk's header
    qint64 length;
};

} // namespace

Layout walk(QIODevice *device, bool picture, qint64 maxPictureBytes)
{
    Layout layout;
    const qint64 fileSize = device->size();
    if (!device->seek(0))
        return layout;
    const QByteArray riff = device->read(12);
    if (riff.size() < 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WEBP")
        return layout;
    const qint64 end = qMin(fileSize, qint64(qFromLittleEndian<quint32>(riff.constData() + 4)) + 8);
    QVector<Piece> pieces;
    bool sawPicture = false;
    qint64 at = 12;
    for (int n = 0; n < kMaxChunks && at + 8 <= end; ++n) {
        if (!device->seek(at))
            break;
        const QByteArray h = device->read(8);
        if (h.size() < 8)
            break;
        const QByteArray type = h.left(4);
        const qint64 size = qFromLittleEndian<quint32>(h.constData() + 4);
        if (size > end - at - 8)
            break; // truncated: what came before stands
        if (type == "ANIM" || type == "ANMF") {
            layout.animated = true;
        } else if (type == "EXIF" && layout.exifAt < 0) {
            layout.exifAt = at + 8;
            layout.exifLength = size;
        } else if (!sawPicture && (type == "VP8X" || type == "ALPH" || type == "VP8 " || type == "VP8L")) {
            pieces.append({at, 8 + size});
            layout.pictureBytes += 8 + size + (size & 1);
            if (type == "VP8 " || type == "VP8L") {
                sawPicture = true;
                layout.lossless = type == "VP8L";
            }
        }
        at += 8 + size + (size & 1);
    }
    layout.valid = sawPicture || layout.animated;
    if (!picture || !sawPicture || layout.pictureBytes > maxPictureBytes)
        return layout;
    QByteArray out = QByteArray("RIFF\0\0\0\0WEBP", 12);
    for (const Piece &p : qAsConst(pieces)) {
        device->seek(p.at);
        QByteArray chunk = device->read(p.length);
        if (chunk.size() != p.length)
            return layout;
        if (chunk.startsWith("VP8X") && chunk.size() > 8)
            chunk[8] = char(uchar(chunk.at(8)) & ~0x2c); // no ICC profile, EXIF or XMP follows
        if (chunk.size() & 1)
            chunk.append('\0');
        out += chunk;
    }
    qToLittleEndian<quint32>(quint32(out.size() - 8), out.data() + 4);
    layout.picture = out;
    return layout;
}

QByteArray exifTiffOfFile(const QByteArray &rawPath)
{
    const int fd = FileOps::openRegularFile(rawPath);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return {};
    }
    const Layout layout = walk(&file, false, 0);
    if (layout.exifAt < 0 || layout.exifLength < 8 || layout.exifLength > kMaxExifBytes || !file.seek(layout.exifAt))
        return {};
    QByteArray tiff = file.read(layout.exifLength);
    // Some writers keep JPEG's APP1 prefix in the chunk.
    if (tiff.startsWith(QByteArray("Exif\0\0", 6)))
        tiff.remove(0, 6);
    return tiff;
}

} // namespace WebpFile
