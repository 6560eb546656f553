#include "imaging/HeifFile.h"

#include "fileops/FileOps.h"

#include "imaging/SafeImage.h"

#include <QFile>
#include <QIODevice>
#include <QVector>
#include <QtEndian>

#include <libheif/heif.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxTopLevelBoxes = 1024;
constexpr int kMaxProperties = 4096;
// A side libheif may see declared; the pixel budgets decide well below it.
constexpr int kMaxSide = 65535;

bool setWhy(QString *why, const QString &text)
{
    if (why)
        *why = text;
    return false;
}

quint32 be32(const QByteArray &b, int at)
{
    return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(b.constData()) + at);
}

struct Box
{
    QByteArray type;
    int start = 0; // payload
    int end = 0;
};

// The boxes inside [from, to) of an in-memory box; stops at the first that does not fit.
QVector<Box> childrenOf(const QByteArray &b, int from, int to)
{
    QVector<Box> out;
    int at = from;
    while (at + 8 <= to && out.size() < kMaxProperties) {
        const quint32 size = be32(b, at);
        if (size < 8 || size > quint32(to - at))
            break;
        out.append(Box{b.mid(at + 4, 4), at + 8, at + int(size)});
        at += int(size);
    }
    return out;
}

const Box *find(const QVector<Box> &boxes, const char *type)
{
    for (const Box &box : boxes) {
        if (box.type == type)
            return &box;
    }
    return nullptr;
}

// Reads H.265's bit syntax from an RBSP (emulation prevention removed).
class Bits
{
public:
    explicit Bits(QByteArray rbsp) : m_b(std::move(rbsp)) { }
    bool ok() const { return m_ok; }
    quint32 u(int n)
    {
        quint32 v = 0;
        for (int i = 0; i < n; ++i) {
            if (m_at >= qint64(m_b.size()) * 8) {
                m_ok = false;
                return 0;
            }
            v = (v << 1) | ((uchar(m_b.at(int(m_at / 8))) >> (7 - m_at % 8)) & 1);
            ++m_at;
        }
        return v;
    }
    quint32 ue()
    {
        int zeros = 0;
        while (m_ok && u(1) == 0) {
            if (++zeros > 31) {
                m_ok = false;
                return 0;
            }
        }
        return quint32((quint64(1) << zeros) - 1 + u(zeros));
    }

private:
    QByteArray m_b;
    qint64 m_at = 0;
    bool m_ok = true;
};

// The coded size a sequence parameter set NAL unit declares; invalid when it cannot be read.
QSize spsSize(const QByteArray &nal)
{
    QByteArray rbsp;
    rbsp.reserve(nal.size());
    int zeros = 0;
    for (int i = 2; i < nal.size(); ++i) { // after the 2-byte NAL header
        const char c = nal.at(i);
        if (zeros >= 2 && c == 3) {
            zeros = 0;
            continue;
        }
        zeros = c == 0 ? zeros + 1 : 0;
        rbsp.append(c);
    }
    Bits bits(rbsp);
    bits.u(4); // sps_video_parameter_set_id
    const int subLayers = int(bits.u(3));
    bits.u(1);
    bits.u(96); // general profile, tier and level
    QVector<bool> profilePresent, levelPresent;
    for (int i = 0; i < subLayers; ++i) {
        profilePresent.append(bits.u(1));
        levelPresent.append(bits.u(1));
    }
    if (subLayers > 0) {
        for (int i = subLayers; i < 8; ++i)
            bits.u(2);
    }
    for (int i = 0; i < subLayers; ++i) {
        if (profilePresent.at(i))
            bits.u(88);
        if (levelPresent.at(i))
            bits.u(8);
    }
    bits.ue();          // sps_seq_parameter_set_id
    if (bits.ue() == 3) // chroma_format_idc
        bits.u(1);
    const quint32 width = bits.ue();
    const quint32 height = bits.ue();
    if (!bits.ok() || width == 0 || height == 0 || width > quint32(kMaxSide) || height > quint32(kMaxSide))
        return QSize();
    return QSize(int(width), int(height));
}

// Bytes per stored pixel of a planar decode: luma plus both chroma planes at their subsampling.
double planarBytes(int bitDepth, int chromaFormat)
{
    static const double chromaShare[] = {0, 0.25, 0.5, 1};
    return (bitDepth > 8 ? 2 : 1) * (1 + 2 * chromaShare[chromaFormat & 3]);
}

struct Declared
{
    QSize largest;
    qint64 largestPixels = 0;
    QVector<QSize> coded;
    double planarBytesPerPixel = 0;
};

// hvcC: the chroma format and depths in its fixed part, then arrays of parameter set NAL units.
bool readHvcC(const QByteArray &b, const Box &box, Declared *d)
{
    const QByteArray c = b.mid(box.start, box.end - box.start);
    if (c.size() < 23)
        return false;
    d->planarBytesPerPixel = qMax(d->planarBytesPerPixel, planarBytes((uchar(c.at(17)) & 7) + 8, uchar(c.at(16)) & 3));
    int at = 23;
    bool sawSps = false;
    for (int a = 0; a < uchar(c.at(22)); ++a) {
        if (at + 3 > c.size())
            return false;
        const int type = uchar(c.at(at)) & 0x3f;
        const int count = qFromBigEndian<quint16>(reinterpret_cast<const uchar *>(c.constData()) + at + 1);
        at += 3;
        for (int n = 0; n < count; ++n) {
            if (at + 2 > c.size())
                return false;
            const int length = qFromBigEndian<quint16>(reinterpret_cast<const uchar *>(c.constData()) + at);
            if (at + 2 + length > c.size())
                return false;
            if (type == 33) {
                const QSize s = spsSize(c.mid(at + 2, length));
                if (!s.isValid())
                    return false;
                d->coded.append(s);
                sawSps = true;
            }
            at += 2 + length;
        }
    }
    return sawSps;
}

// The boxes libheif parses ahead of any picture data, read and checked by us first.
bool checkBoxes(QIODevice *device, Declared *d, QString *why)
{
    const qint64 size = device->size();
    qint64 at = 0;
    QByteArray meta;
    for (int n = 0; n < kMaxTopLevelBoxes && at + 8 <= size && meta.isEmpty(); ++n) {
        if (!device->seek(at))
            break;
        const QByteArray h = device->read(16);
        if (h.size() < 8)
            break;
        qint64 boxSize = be32(h, 0);
        qint64 header = 8;
        if (boxSize == 1 && h.size() == 16) {
            boxSize = qint64(qFromBigEndian<quint64>(reinterpret_cast<const uchar *>(h.constData()) + 8) &
                             0x7fffffffffffffffull);
            header = 16;
        } else if (boxSize == 0) {
            boxSize = size - at;
        }
        if (boxSize < header || boxSize > size - at)
            return setWhy(why, QStringLiteral("HEIF box beyond the end of the file"));
        if (h.mid(4, 4) == "meta") {
            if (boxSize - header > HeifFile::kMaxMetaBytes)
                return setWhy(why, QStringLiteral("HEIF meta box too large"));
            device->seek(at + header);
            meta = device->read(boxSize - header);
            if (meta.size() != boxSize - header)
                return setWhy(why, QStringLiteral("cannot read the HEIF meta box"));
        }
        at += boxSize;
    }
    if (meta.size() < 4)
        return setWhy(why, QStringLiteral("no HEIF meta box"));
    const QVector<Box> inMeta = childrenOf(meta, 4, meta.size()); // a full box: version and flags first
    const Box *iprp = find(inMeta, "iprp");
    const QVector<Box> inIprp = iprp ? childrenOf(meta, iprp->start, iprp->end) : QVector<Box>();
    const Box *ipco = find(inIprp, "ipco");
    if (!ipco)
        return setWhy(why, QStringLiteral("no HEIF item properties"));
    for (const Box &p : childrenOf(meta, ipco->start, ipco->end)) {
        if (p.type == "ispe" && p.end - p.start >= 12) {
            const QSize s(int(qMin<quint32>(be32(meta, p.start + 4), kMaxSide + 1)),
                          int(qMin<quint32>(be32(meta, p.start + 8), kMaxSide + 1)));
            d->largest = d->largest.expandedTo(s);
            d->largestPixels = qMax(d->largestPixels, qint64(s.width()) * s.height());
        } else if (p.type == "hvcC") {
            if (!readHvcC(meta, p, d))
                return setWhy(why, QStringLiteral("unreadable HEVC configuration"));
        } else if (p.type == "av1C" && p.end - p.start >= 4) {
            // seq_profile, then high_bitdepth, twelve_bit, monochrome and the subsampling flags.
            const uchar flags = uchar(meta.at(p.start + 2));
            const int depth = (flags & 0x40) ? ((flags & 0x20) ? 12 : 10) : 8;
            const int chroma = (flags & 0x10) ? 0 : (flags & 0x08) ? ((flags & 0x04) ? 1 : 2) : 3;
            d->planarBytesPerPixel = qMax(d->planarBytesPerPixel, planarBytes(depth, chroma));
        }
    }
    if (d->largest.isEmpty())
        return setWhy(why, QStringLiteral("no picture size in the header"));
    // Coded sizes are rounded up to whole coding blocks of at most 64 pixels.
    for (const QSize &c : qAsConst(d->coded)) {
        if (c.width() > d->largest.width() + 64 || c.height() > d->largest.height() + 64)
            return setWhy(
                why,
                QStringLiteral("coded picture too large for its declared size (%1x%2)").arg(c.width()).arg(c.height()));
    }
    if (d->planarBytesPerPixel == 0)
        d->planarBytesPerPixel = planarBytes(16, 3);
    return true;
}

int64_t readerPosition(void *device)
{
    return static_cast<QIODevice *>(device)->pos();
}

int readerRead(void *data, size_t size, void *device)
{
    return static_cast<QIODevice *>(device)->read(static_cast<char *>(data), qint64(size)) == qint64(size) ? 0 : 1;
}

int readerSeek(int64_t position, void *device)
{
    return static_cast<QIODevice *>(device)->seek(position) ? 0 : 1;
}

heif_reader_grow_status readerWait(int64_t target, void *device)
{
    return target > static_cast<QIODevice *>(device)->size() ? heif_reader_grow_status_size_beyond_eof
                                                             : heif_reader_grow_status_size_reached;
}

const heif_reader kReader = {1, readerPosition, readerRead, readerSeek, readerWait};

} // namespace

HeifFile::~HeifFile()
{
    if (m_primary)
        heif_image_handle_release(m_primary);
    if (m_context)
        heif_context_free(m_context);
}

bool HeifFile::open(QIODevice *device, QString *why)
{
    if (device->isSequential())
        return setWhy(why, QStringLiteral("not a file"));
    Declared declared;
    if (!checkBoxes(device, &declared, why))
        return false;
    m_largestDeclared = declared.largestPixels;
    m_planarBytesPerPixel = declared.planarBytesPerPixel;
    if (m_largestDeclared > SafeImage::kMaxStoredPixels)
        return setWhy(
            why,
            QStringLiteral("picture too large (%1x%2)").arg(declared.largest.width()).arg(declared.largest.height()));
    device->seek(0);
    m_context = heif_context_alloc();
    heif_context_set_maximum_image_size_limit(m_context, kMaxSide);
    heif_context_set_max_decoding_threads(m_context, 0); // callers decode on their own worker threads
    heif_error e = heif_context_read_from_reader(m_context, &kReader, device, nullptr);
    if (e.code == heif_error_Ok)
        e = heif_context_get_primary_image_handle(m_context, &m_primary);
    if (e.code != heif_error_Ok)
        return setWhy(why, QStringLiteral("HEIF: ") + QString::fromUtf8(e.message));
    return true;
}

QByteArray HeifFile::exifTiff() const
{
    if (!m_primary)
        return {};
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(m_primary, "Exif", &id, 1) < 1)
        return {};
    const size_t size = heif_image_handle_get_metadata_size(m_primary, id);
    if (size < 8 || size > size_t(kMaxExifBytes))
        return {};
    QByteArray data(int(size), Qt::Uninitialized);
    if (heif_image_handle_get_metadata(m_primary, id, data.data()).code != heif_error_Ok)
        return {};
    // The item starts with the offset of the TIFF header from the end of these 4 bytes.
    const quint32 offset = be32(data, 0);
    if (offset > quint32(data.size() - 8))
        return {};
    return data.mid(4 + int(offset));
}

QByteArray HeifFile::exifTiffOfFile(const QByteArray &rawPath)
{
    const int fd = FileOps::openRegularFile(rawPath);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return {};
    }
    HeifFile heif;
    return heif.open(&file) ? heif.exifTiff() : QByteArray();
}
