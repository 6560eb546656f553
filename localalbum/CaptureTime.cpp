#include "localalbum/CaptureTime.h"

#include "fileops/MediaType.h"
#include "imaging/HeifFile.h"
#include "imaging/WebpFile.h"
#include "localalbum/ExifTime.h"

#include <QFile>
#include <QRegularExpression>
#include <QtEndian>

#include <libexif/exif-data.h>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString CaptureTime::text() const
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QString();
}

namespace CaptureTimes {

namespace {

// Bounds for what a container may make us walk: every box or chunk advances at least its
// header, so these only cap the work a crafted file can cause.
constexpr int kMaxBoxes = 4096;
constexpr int kMaxDepth = 6;
constexpr int kMaxChunks = 100000;
constexpr qint64 kMaxTextChunk = 64 * 1024;
constexpr qint64 kMaxExifChunk = 1024 * 1024;
constexpr qint64 kMaxKeysBox = 256 * 1024;

class Fd
{
public:
    explicit Fd(const QByteArray &path)
        : m_fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) // a pipe must not block
    {
        struct stat st;
        if (m_fd >= 0 && ::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode))
            m_size = st.st_size;
    }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    qint64 size() const { return m_size; }
    // Exactly n bytes at offset, or an empty array.
    QByteArray readAt(qint64 offset, qint64 n) const
    {
        if (m_fd < 0 || offset < 0 || n <= 0 || offset > m_size || n > m_size - offset)
            return QByteArray();
        QByteArray out(int(n), Qt::Uninitialized);
        qint64 done = 0;
        while (done < n) {
            const ssize_t r = ::pread(m_fd, out.data() + done, size_t(n - done), off_t(offset + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return QByteArray();
            done += r;
        }
        return out;
    }

private:
    int m_fd = -1;
    qint64 m_size = -1;
};

quint32 be32(const QByteArray &b, int at)
{
    return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(b.constData()) + at);
}

quint64 be64(const QByteArray &b, int at)
{
    return qFromBigEndian<quint64>(reinterpret_cast<const uchar *>(b.constData()) + at);
}

// --- EXIF (JPEG files and PNG eXIf chunks) ---

CaptureTime fromExifData(ExifData *data)
{
    CaptureTime result;
    if (!data)
        return result;
    struct Tag
    {
        ExifTag tag;
        const char *name;
    };
    static const Tag tags[] = {{EXIF_TAG_DATE_TIME_DIGITIZED, "EXIF DateTimeDigitized"},
                               {EXIF_TAG_DATE_TIME_ORIGINAL, "EXIF DateTimeOriginal"},
                               {EXIF_TAG_DATE_TIME, "EXIF DateTime"}};
    static const ExifIfd ifds[] = {EXIF_IFD_0, EXIF_IFD_1, EXIF_IFD_EXIF, EXIF_IFD_GPS, EXIF_IFD_INTEROPERABILITY};
    for (const Tag &t : tags) {
        ExifEntry *entry = nullptr;
        for (ExifIfd ifd : ifds) {
            entry = exif_content_get_entry(data->ifd[ifd], t.tag);
            if (entry)
                break;
        }
        if (!entry)
            continue;
        // The first tag present decides; an unreadable value does not fall through to the next.
        char buf[1024] = {0};
        if (exif_entry_get_value(entry, buf, sizeof buf) && buf[0]) {
            const QString text = ExifTime::normalise(QByteArray(buf));
            if (!text.isEmpty()) {
                result.time = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
                result.source = QString::fromLatin1(t.name);
            }
        }
        break;
    }
    return result;
}

// The TIFF structure alone (PNG eXIf, HEIF Exif item, WebP EXIF chunk); libexif wants the APP1
// header before it.
CaptureTime exifOfTiff(const QByteArray &tiff)
{
    if (tiff.isEmpty())
        return CaptureTime();
    const QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
    ExifData *ed =
        exif_data_new_from_data(reinterpret_cast<const unsigned char *>(app1.constData()), unsigned(app1.size()));
    const CaptureTime t = fromExifData(ed);
    if (ed)
        exif_data_unref(ed);
    return t;
}

CaptureTime exifOfFile(const QByteArray &rawPath)
{
    ExifData *data = exif_data_new_from_file(rawPath.constData());
    const CaptureTime t = fromExifData(data);
    if (data)
        exif_data_unref(data);
    return t;
}

// --- ISO base media (MP4, MOV) ---

struct Box
{
    QByteArray type;
    qint64 start = 0; // payload
    qint64 end = 0;   // one past the payload
};

// The boxes directly inside [start, end), in order; stops at the first malformed header.
QList<Box> boxesIn(const Fd &f, qint64 start, qint64 end, bool topLevel, int *budget)
{
    QList<Box> out;
    qint64 at = start;
    while (at + 8 <= end && (*budget)-- > 0) {
        const QByteArray h = f.readAt(at, 8);
        if (h.size() != 8)
            break;
        quint64 size = be32(h, 0);
        qint64 header = 8;
        if (size == 1) {
            const QByteArray large = f.readAt(at + 8, 8);
            if (large.size() != 8)
                break;
            size = be64(large, 0);
            header = 16;
        } else if (size == 0) {
            if (!topLevel)
                break;
            size = quint64(end - at); // to the end of the file
        }
        if (size < quint64(header) || size > quint64(end - at))
            break; // hostile or truncated: nothing after it can be placed
        out.append(Box{h.mid(4, 4), at + header, at + qint64(size)});
        at += qint64(size);
    }
    return out;
}

const Box *findBox(const QList<Box> &boxes, const char *type)
{
    for (const Box &b : boxes) {
        if (b.type == type)
            return &b;
    }
    return nullptr;
}

QDateTime mvhdTime(const Fd &f, const Box &mvhd)
{
    const QByteArray head = f.readAt(mvhd.start, qMin<qint64>(12, mvhd.end - mvhd.start));
    if (head.size() < 8)
        return QDateTime();
    quint64 seconds = 0;
    if (head.at(0) == 1) {
        if (head.size() < 12)
            return QDateTime();
        seconds = be64(head, 4);
    } else {
        seconds = be32(head, 4);
    }
    // Seconds since 1904-01-01 UTC. Zero (unset) and values before 1970 (a writer counting
    // from 1970 or nothing at all) say nothing about the capture.
    constexpr quint64 k1904To1970 = 2082844800ull;
    if (seconds <= k1904To1970 + 86400 || seconds > k1904To1970 + 4102444800ull) // up to 2100
        return QDateTime();
    return QDateTime::fromSecsSinceEpoch(qint64(seconds - k1904To1970), Qt::UTC).toLocalTime();
}

// moov/meta: QuickTime writes it as a plain box, ISO as a full box (4 bytes of version and
// flags first); the first child's type tells which.
QList<Box> metaChildren(const Fd &f, const Box &meta, int *budget)
{
    const QByteArray probe = f.readAt(meta.start, qMin<qint64>(12, meta.end - meta.start));
    qint64 start = meta.start;
    if (probe.size() == 12 && probe.mid(4, 4) != "hdlr" && probe.mid(8, 4) == "hdlr")
        start += 4;
    else if (probe.size() >= 4 && be32(probe, 0) == 0)
        start += 4;
    return boxesIn(f, start, meta.end, false, budget);
}

QDateTime quickTimeCreationDate(const Fd &f, const QList<Box> &metaBoxes, int *budget)
{
    const Box *keys = findBox(metaBoxes, "keys");
    const Box *ilst = findBox(metaBoxes, "ilst");
    if (!keys || !ilst || keys->end - keys->start > kMaxKeysBox)
        return QDateTime();
    const QByteArray k = f.readAt(keys->start, keys->end - keys->start);
    if (k.size() < 8)
        return QDateTime();
    const quint32 count = be32(k, 4);
    quint32 wanted = 0;
    int at = 8;
    for (quint32 i = 1; i <= count && at + 8 <= k.size(); ++i) {
        const quint32 size = be32(k, at);
        if (size < 8 || size > quint32(k.size() - at))
            break;
        if (k.mid(at + 8, int(size) - 8) == "com.apple.quicktime.creationdate") {
            wanted = i;
            break;
        }
        at += int(size);
    }
    if (wanted == 0)
        return QDateTime();
    for (const Box &item : boxesIn(f, ilst->start, ilst->end, false, budget)) {
        if (be32(item.type, 0) != wanted)
            continue;
        for (const Box &data : boxesIn(f, item.start, item.end, false, budget)) {
            if (data.type != "data" || data.end - data.start < 8 || data.end - data.start > kMaxTextChunk)
                continue;
            const QByteArray d = f.readAt(data.start, data.end - data.start);
            if (d.size() < 8 || be32(d, 0) != 1) // type 1: UTF-8 text
                continue;
            const QDateTime t = parseText(d.mid(8));
            if (t.isValid())
                return t;
        }
    }
    return QDateTime();
}

CaptureTime fromIsoMedia(const Fd &f)
{
    CaptureTime result;
    int budget = kMaxBoxes;
    const QList<Box> top = boxesIn(f, 0, f.size(), true, &budget);
    const Box *moov = findBox(top, "moov");
    if (!moov)
        return result;
    const QList<Box> inMoov = boxesIn(f, moov->start, moov->end, false, &budget);
    // The creationdate key carries the zone the camera was in; look in moov/meta, then
    // moov/udta/meta.
    QList<const Box *> metas;
    if (const Box *meta = findBox(inMoov, "meta"))
        metas.append(meta);
    QList<Box> inUdta;
    if (const Box *udta = findBox(inMoov, "udta")) {
        inUdta = boxesIn(f, udta->start, udta->end, false, &budget);
        if (const Box *meta = findBox(inUdta, "meta"))
            metas.append(meta);
    }
    for (const Box *meta : qAsConst(metas)) {
        const QDateTime t = quickTimeCreationDate(f, metaChildren(f, *meta, &budget), &budget);
        if (t.isValid()) {
            result.time = t;
            result.source = QStringLiteral("QuickTime creationdate");
            return result;
        }
    }
    if (const Box *mvhd = findBox(inMoov, "mvhd")) {
        result.time = mvhdTime(f, *mvhd);
        if (result.time.isValid())
            result.source = QStringLiteral("mvhd");
    }
    return result;
}

// --- PNG ---

CaptureTime fromPng(const Fd &f)
{
    CaptureTime result;
    QDateTime textTime;
    qint64 at = 8;
    for (int n = 0; n < kMaxChunks && at + 12 <= f.size(); ++n) {
        const QByteArray h = f.readAt(at, 8);
        if (h.size() != 8)
            break;
        const quint32 length = be32(h, 0);
        const QByteArray type = h.mid(4, 4);
        if (length > 0x7fffffffu || qint64(length) + 12 > f.size() - at)
            break; // truncated or hostile
        const qint64 data = at + 8;
        if (type == "eXIf" && length <= kMaxExifChunk) {
            CaptureTime t = exifOfTiff(f.readAt(data, length));
            if (t.isValid()) {
                t.source = QStringLiteral("PNG eXIf");
                return t;
            }
        } else if ((type == "tEXt" || type == "iTXt") && !textTime.isValid() && length <= kMaxTextChunk) {
            const QByteArray d = f.readAt(data, length);
            const int nul = d.indexOf('\0');
            if (nul > 0 && d.left(nul) == "Creation Time") {
                QByteArray value;
                if (type == "tEXt") {
                    value = d.mid(nul + 1);
                } else if (d.size() > nul + 2 && d.at(nul + 1) == 0) { // iTXt, not compressed
                    const int lang = d.indexOf('\0', nul + 3);
                    const int translated = lang < 0 ? -1 : d.indexOf('\0', lang + 1);
                    if (translated >= 0)
                        value = d.mid(translated + 1);
                }
                textTime = parseText(value);
            }
        } else if (type == "IEND") {
            break;
        }
        at += qint64(length) + 12;
    }
    if (textTime.isValid()) {
        result.time = textTime;
        result.source = QStringLiteral("PNG Creation Time");
    }
    return result;
}

} // namespace

QDateTime parseText(const QByteArray &value)
{
    const QString s = QString::fromUtf8(value).trimmed();
    if (s.isEmpty())
        return QDateTime();
    static const QRegularExpression iso(
        QStringLiteral("^(\\d{4})\\D(\\d{1,2})\\D(\\d{1,2})[ T](\\d{1,2}):?(\\d{2})(?::?(\\d{2})(?:[.,]\\d+)?)?\\s*"
                       "(Z|[+-]\\d{2}(?::?\\d{2})?)?$"));
    const QRegularExpressionMatch m = iso.match(s);
    if (m.hasMatch()) {
        const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
        if (!date.isValid() || !time.isValid())
            return QDateTime();
        const QString zone = m.captured(7);
        if (zone.isEmpty())
            return QDateTime(date, time, Qt::LocalTime);
        if (zone == QLatin1String("Z"))
            return QDateTime(date, time, Qt::UTC).toLocalTime();
        const QString digits = QString(zone.mid(1)).remove(QLatin1Char(':'));
        const int hours = digits.left(2).toInt();
        const int minutes = digits.size() >= 4 ? digits.mid(2, 2).toInt() : 0;
        if (hours > 14 || minutes > 59)
            return QDateTime();
        const int offset = (hours * 3600 + minutes * 60) * (zone.at(0) == QLatin1Char('-') ? -1 : 1);
        return QDateTime(date, time, Qt::OffsetFromUTC, offset);
    }
    const QDateTime rfc = QDateTime::fromString(s, Qt::RFC2822Date);
    if (rfc.isValid())
        return rfc;
    return QDateTime();
}

CaptureTime embedded(const QByteArray &rawPath)
{
    const Fd f(rawPath);
    const QByteArray magic = f.readAt(0, qMin<qint64>(MediaType::kHeadBytes, f.size()));
    if (magic.size() >= 8 && magic.startsWith("\x89PNG\r\n\x1a\n"))
        return fromPng(f);
    if (magic.size() >= 12 && magic.startsWith("RIFF") && magic.mid(8, 4) == "WEBP")
        return exifOfTiff(WebpFile::exifTiffOfFile(rawPath));
    if (magic.mid(4, 4) == "ftyp" && MediaType::sniff(magic) == MediaType::Kind::Picture)
        return exifOfTiff(HeifFile::exifTiffOfFile(rawPath)); // HEIC, HEIF, AVIF
    if (magic.size() >= 8) {
        static const QByteArray iso[] = {"ftyp", "moov", "mdat", "wide", "free", "skip", "pnot"};
        for (const QByteArray &t : iso) {
            if (magic.mid(4, 4) == t)
                return fromIsoMedia(f);
        }
    }
    if (magic.size() < 2 || f.size() < 0)
        return CaptureTime();
    return exifOfFile(rawPath);
}

QDateTime fromFileName(const QString &fileName)
{
    // Milliseconds since 1970 (chat programs), or a date and time written out: cameras' IMG_/VID_/PXL_
    // yyyyMMdd_hhmmss (Pixel adds milliseconds), screenshots' yyyyMMdd-hhmmss, and yyyy-MM-dd hh.mm.ss
    // with dots, dashes or colons.
    static const QRegularExpression millis(QStringLiteral("(?:mmexport|wx_camera_)(\\d{13})(?!\\d)"));
    static const QRegularExpression written(
        QStringLiteral("(?<!\\d)(\\d{4})(\\d{2})(\\d{2})[_-](\\d{2})(\\d{2})(\\d{2})(?:\\d{3})?(?!\\d)|"
                       "(?<!\\d)(\\d{4})-(\\d{2})-(\\d{2})[ _-](\\d{2})[.:-](\\d{2})[.:-](\\d{2})(?!\\d)"));
    QDateTime t;
    const QRegularExpressionMatch ms = millis.match(fileName);
    if (ms.hasMatch()) {
        t = QDateTime::fromMSecsSinceEpoch(ms.captured(1).toLongLong());
    } else {
        const QRegularExpressionMatch m = written.match(fileName);
        if (m.hasMatch()) {
            const int o = m.capturedStart(1) >= 0 ? 1 : 7;
            const QDate date(m.captured(o).toInt(), m.captured(o + 1).toInt(), m.captured(o + 2).toInt());
            const QTime time(m.captured(o + 3).toInt(), m.captured(o + 4).toInt(), m.captured(o + 5).toInt());
            if (date.isValid() && time.isValid())
                t = QDateTime(date, time, Qt::LocalTime);
        }
    }
    // A number that only looks like a date (a counter, a hash) lands outside the years of cameras.
    if (!t.isValid() || t.date() < QDate(1990, 1, 1) || t.date() > QDate::currentDate().addDays(1))
        return QDateTime();
    return t;
}

CaptureTime read(const QByteArray &rawPath)
{
    CaptureTime t = embedded(rawPath);
    if (t.isValid())
        return t;
    const int slash = rawPath.lastIndexOf('/');
    const QByteArray name = rawPath.mid(slash + 1);
    const int dot = name.lastIndexOf('.');
    const QByteArray suffix = dot > 0 ? name.mid(dot + 1).toLower() : QByteArray();
    // A Live Photo's video carries no date of its own as often as not; its still beside it does.
    static const QList<QByteArray> videos = {"mov", "mp4", "m4v", "3gp"};
    if (videos.contains(suffix)) {
        static const QList<QByteArray> stills = {"heic", "jpg", "jpeg", "heif", "png", "avif", "webp"};
        const QByteArray base = rawPath.left(slash + 1 + dot + 1);
        for (const QByteArray &still : stills) {
            for (const QByteArray &s : {still, still.toUpper()}) {
                const QByteArray still = base + s;
                struct stat st;
                if (::stat(still.constData(), &st) != 0 || !S_ISREG(st.st_mode))
                    continue;
                const CaptureTime paired = embedded(still);
                if (paired.isValid())
                    return CaptureTime{paired.time, QStringLiteral("配对照片")};
            }
        }
    }
    t.time = fromFileName(QFile::decodeName(name));
    if (t.time.isValid()) {
        t.source = QStringLiteral("文件名");
        return t;
    }
    struct stat st;
    if (::stat(rawPath.constData(), &st) == 0) {
        t.time = QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000);
        t.source = QStringLiteral("文件时间");
    }
    return t;
}

CaptureTime read(const QString &path)
{
    return read(QFile::encodeName(path));
}

} // namespace CaptureTimes
