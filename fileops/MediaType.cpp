#include "fileops/MediaType.h"

#include "fileops/FileOps.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MediaType {

namespace {

bool at(const QByteArray &head, int offset, const char *magic, int len)
{
    return head.size() >= offset + len && std::memcmp(head.constData() + offset, magic, size_t(len)) == 0;
}

quint32 bigEndian32(const QByteArray &head, int offset)
{
    const auto *p = reinterpret_cast<const uchar *>(head.constData() + offset);
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

quint32 littleEndian32(const QByteArray &head, int offset)
{
    const auto *p = reinterpret_cast<const uchar *>(head.constData() + offset);
    return (quint32(p[3]) << 24) | (quint32(p[2]) << 16) | (quint32(p[1]) << 8) | quint32(p[0]);
}

Kind brandKind(const QByteArray &brand)
{
    static const QList<QByteArray> pictures{"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm",
                                            "hevs", "mif1", "mif2", "msf1", "avif", "avis"};
    static const QList<QByteArray> videos{"isom", "iso2", "iso3", "iso4", "iso5", "iso6", "iso8", "iso9", "mp41",
                                          "mp42", "mp71", "avc1", "qt  ", "M4V ", "M4VH", "M4VP", "3gp4", "3gp5",
                                          "3gp6", "3gp7", "3gp8", "3gp9", "3g2a", "3g2b", "3g2c", "3gg6", "3ge6",
                                          "3ge7", "3gs7", "MSNV", "f4v ", "dash", "XAVC", "CAEP"};
    if (pictures.contains(brand))
        return Kind::Picture;
    if (videos.contains(brand))
        return Kind::Video;
    return Kind::Unknown;
}

// An ISO media file: the major brand decides, else the compatible brands the box lists within
// the bytes at hand (a HEIF picture may name "mif1" first and "heic" among them).
Kind isoMediaKind(const QByteArray &head)
{
    const quint32 boxSize = bigEndian32(head, 0);
    if (boxSize < 16 || boxSize % 4 != 0)
        return Kind::Unknown;
    const Kind major = brandKind(head.mid(8, 4));
    if (major != Kind::Unknown)
        return major;
    const int end = int(qMin<quint32>(boxSize, quint32(head.size())));
    Kind found = Kind::Unknown;
    for (int i = 16; i + 4 <= end; i += 4) {
        const Kind k = brandKind(head.mid(i, 4));
        if (k == Kind::Picture)
            return k;
        if (k == Kind::Video)
            found = k;
    }
    return found;
}

} // namespace

Kind sniff(const QByteArray &head)
{
    if (at(head, 0, "\xFF\xD8\xFF", 3) || at(head, 0, "\x89PNG\r\n\x1A\n", 8) || at(head, 0, "GIF87a", 6) ||
        at(head, 0, "GIF89a", 6))
        return Kind::Picture;
    if (at(head, 0, "RIFF", 4)) {
        if (at(head, 8, "WEBP", 4))
            return Kind::Picture;
        if (at(head, 8, "AVI ", 4))
            return Kind::Video;
        return Kind::Unknown;
    }
    // BMP: "BM" alone says little; the reserved words are zero and the info header has a known size.
    if (at(head, 0, "BM", 2) && head.size() >= 18 && littleEndian32(head, 6) == 0) {
        static const QList<quint32> infoSizes{12, 40, 52, 56, 64, 108, 124};
        if (infoSizes.contains(littleEndian32(head, 14)))
            return Kind::Picture;
    }
    if (at(head, 4, "ftyp", 4))
        return isoMediaKind(head);
    // QuickTime files older than the 'ftyp' box start with one of its own atoms.
    if (head.size() >= 8 && (at(head, 4, "moov", 4) || at(head, 4, "mdat", 4) || at(head, 4, "wide", 4)))
        return Kind::Video;
    if (at(head, 0, "\x1A\x45\xDF\xA3", 4) || at(head, 0, "FLV\x01", 4) || at(head, 0, "\x00\x00\x01\xBA", 4) ||
        at(head, 0, "\x00\x00\x01\xB3", 4))
        return Kind::Video;
    return Kind::Unknown;
}

Kind kindForName(const QString &fileName)
{
    static const QStringList pictures{QStringLiteral("jpg"),  QStringLiteral("jpeg"), QStringLiteral("png"),
                                      QStringLiteral("gif"),  QStringLiteral("bmp"),  QStringLiteral("webp"),
                                      QStringLiteral("heic"), QStringLiteral("heif"), QStringLiteral("avif")};
    static const QStringList videos{QStringLiteral("mp4"), QStringLiteral("mov"),  QStringLiteral("avi"),
                                    QStringLiteral("3gp"), QStringLiteral("mkv"),  QStringLiteral("flv"),
                                    QStringLiteral("mpg"), QStringLiteral("mpeg"), QStringLiteral("m4v"),
                                    QStringLiteral("webm")};
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot < fileName.lastIndexOf(QLatin1Char('/')))
        return Kind::Unknown;
    const QString suffix = fileName.mid(dot + 1).toLower();
    if (pictures.contains(suffix))
        return Kind::Picture;
    if (videos.contains(suffix))
        return Kind::Video;
    return Kind::Unknown;
}

Kind sniffFile(const QString &path)
{
    const int fd = FileOps::openRegularFile(QFile::encodeName(path));
    if (fd < 0)
        return Kind::Unknown;
    char buf[kHeadBytes];
    ssize_t n = -1;
    do {
        n = ::read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n > 0 ? sniff(QByteArray(buf, int(n))) : Kind::Unknown;
}

} // namespace MediaType
