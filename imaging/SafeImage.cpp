#include "imaging/SafeImage.h"

#include "fileops/MediaType.h"
#include "imaging/HeifFile.h"
#include "imaging/WebpFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QSet>
#include <QVector>
#include <QtEndian>
#include <QtMath>

#include <algorithm>
#include <memory>

#include <libheif/heif.h>
#include <webp/decode.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool setWhy(QString *why, const QString &text)
{
    if (why)
        *why = text;
    return false;
}

QByteArray qtFormatName(SafeImage::Format f)
{
    return f == SafeImage::Format::Jpeg ? QByteArrayLiteral("jpeg") : QByteArrayLiteral("png");
}

bool isBelow(const QString &canonicalPath, const QString &canonicalRoot)
{
    if (canonicalPath.isEmpty() || canonicalRoot.isEmpty())
        return false;
    if (canonicalRoot == QLatin1String("/"))
        return canonicalPath.startsWith(QLatin1Char('/'));
    return canonicalPath.startsWith(canonicalRoot + QLatin1Char('/'));
}

// Where the open descriptor really is; empty when the system cannot tell.
QString openedPath(int fd)
{
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd));
    return target.startsWith(QLatin1Char('/')) ? target : QString();
}

int bytesPerPixel(QImage::Format format)
{
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    return depth > 0 ? qMax(1, (depth + 7) / 8) : 4;
}

// Smooth scaling works on these formats as they are; any other is first copied into one of them.
bool scalesWithoutCopy(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64_Premultiplied: return true;
    default: return false;
    }
}

// The size libjpeg decodes a picture to when Qt's reader is asked for target: the stored size times
// M/8, M the smallest that is not below the target.
QSize jpegDecodedSize(const QSize &stored, const QSize &target)
{
    if (target == stored)
        return stored;
    const double f = qMin(double(stored.width()) / target.width(), double(stored.height()) / target.height());
    const int m = qBound(1, qCeil(8 / f), 8);
    return QSize(int((qint64(stored.width()) * m + 7) / 8), int((qint64(stored.height()) * m + 7) / 8));
}

qint64 pixelsOf(const QSize &size)
{
    return qint64(size.width()) * size.height();
}

// Pieces of a source device presented as one random-access stream: the file as the decoder is
// allowed to see it.
class SplicedDevice : public QIODevice
{
public:
    struct Piece
    {
        qint64 from; // in the source
        qint64 length;
    };

    SplicedDevice(QIODevice *source, QVector<Piece> pieces) : m_source(source), m_pieces(std::move(pieces))
    {
        m_starts.reserve(m_pieces.size());
        for (const Piece &p : qAsConst(m_pieces)) {
            m_starts.append(m_size);
            m_size += p.length;
        }
    }

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        qint64 at = pos();
        qint64 done = 0;
        while (done < maxSize && at < m_size) {
            const int i = int(std::upper_bound(m_starts.cbegin(), m_starts.cend(), at) - m_starts.cbegin()) - 1;
            const qint64 within = at - m_starts.at(i);
            const qint64 want = qMin(maxSize - done, m_pieces.at(i).length - within);
            const qint64 from = m_pieces.at(i).from + within;
            if (m_source->pos() != from && !m_source->seek(from))
                break;
            const qint64 got = m_source->read(data + done, want);
            if (got <= 0)
                break;
            done += got;
            at += got;
        }
        return done;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QIODevice *m_source;
    QVector<Piece> m_pieces;
    QVector<qint64> m_starts;
    qint64 m_size = 0;
};

// What the decoder will be given, and what the walk over the file found on the way.
struct Layout
{
    QVector<SplicedDevice::Piece> pieces;
    int droppedPieces = 0;
    // JPEG: the whole picture's coefficients are held (progressive, or more than one scan), and how
    // many scans it has (counted only then).
    bool wholeImageCoefficients = false;
    int scans = 0;
    bool interlaced = false; // PNG
};

// Text is left out of what the decoder gets; a picture made of more pieces than this is not a photo.
constexpr int kMaxDroppedPieces = 4096;

class LayoutBuilder
{
public:
    LayoutBuilder(QIODevice *device, Layout *layout) : m_layout(layout), m_keepFrom(device->pos()) { }
    // Leaves out [from, to) of the source.
    bool drop(qint64 from, qint64 to)
    {
        if (from > m_keepFrom)
            m_layout->pieces.append({m_keepFrom, from - m_keepFrom});
        m_keepFrom = qMax(m_keepFrom, to);
        return ++m_layout->droppedPieces <= kMaxDroppedPieces;
    }
    void finish(qint64 end)
    {
        if (end > m_keepFrom)
            m_layout->pieces.append({m_keepFrom, end - m_keepFrom});
    }

private:
    Layout *m_layout;
    qint64 m_keepFrom;
};

// PNG is chunks of length, type, data and CRC after an 8-byte signature. The text chunks (tEXt, zTXt,
// iTXt) are ancillary, so the stream stays valid without them; libpng would inflate every zTXt and
// iTXt (up to 8 MB each, any number of them) and Qt copies all of it into the picture.
bool pngLayout(QIODevice *device, const QStringList &keepText, Layout *layout)
{
    const qint64 start = device->pos();
    const qint64 end = device->size();
    LayoutBuilder builder(device, layout);
    QSet<QString> kept;
    qint64 at = start + 8;
    while (at + 12 <= end && device->seek(at)) {
        const QByteArray head = device->read(8);
        if (head.size() < 8)
            break;
        const qint64 length = qFromBigEndian<quint32>(head.constData());
        const QByteArray type = head.mid(4);
        const qint64 next = at + 12 + length;
        if (type == "tEXt" || type == "zTXt" || type == "iTXt") {
            bool keep = false;
            if (!keepText.isEmpty() && length <= SafeImage::kMaxKeptTextChunk) {
                const QByteArray data = device->read(qMin<qint64>(length, 80));
                const int nul = data.indexOf('\0');
                const QString keyword = nul > 0 ? QString::fromLatin1(data.left(nul)) : QString();
                keep = keepText.contains(keyword) && !kept.contains(keyword);
                if (keep)
                    kept.insert(keyword);
            }
            if (!keep && !builder.drop(at, next))
                return false;
        }
        if (type == "IHDR" && length >= 13) {
            const QByteArray header = device->read(13);
            layout->interlaced = header.size() == 13 && header.at(12) != 0;
        }
        if (type == "IEND")
            break;
        at = next;
    }
    builder.finish(end);
    device->seek(start);
    return true;
}

// Walks the marker segments of a JPEG without decoding it. Comments are left out (Qt makes them the
// picture's text), and APPn segments once they add up to more than the decoder needs for orientation
// and colour profile. When the first scan does not hold every component (progressive, or sequential
// with a scan per component), libjpeg keeps the coefficients of the whole picture and goes over them
// once per scan, so the scans are counted to the end of the file; otherwise the walk ends there.
bool jpegLayout(QIODevice *device, Layout *layout)
{
    const qint64 start = device->pos();
    const qint64 end = device->size();
    LayoutBuilder builder(device, layout);
    auto readByte = [device](uchar *c) { return device->getChar(reinterpret_cast<char *>(c)); };
    qint64 appBytes = 0;
    int frameComponents = 0;
    bool progressive = false;
    bool ok = true;
    uchar c = 0;
    device->seek(start + 2);
    while (ok && readByte(&c)) {
        if (c != 0xFF)
            continue; // entropy-coded data, or a stray byte between segments
        qint64 markerAt = device->pos() - 1;
        uchar marker = 0;
        do {
            markerAt = device->pos() - 1;
            if (!readByte(&marker))
                break;
        } while (marker == 0xFF); // fill bytes
        if (marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // a stuffed 0xFF or a restart marker inside the scan
        if (marker == 0xD9)
            break;
        if (marker == 0xD8 || marker == 0x01)
            continue;
        uchar hi = 0, lo = 0;
        if (!readByte(&hi) || !readByte(&lo))
            break;
        const int length = (hi << 8) | lo;
        if (length < 2)
            break;
        const qint64 next = device->pos() + length - 2;
        const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof && frameComponents == 0) {
            progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            uchar frame[6] = {};
            for (uchar &b : frame) {
                if (!readByte(&b))
                    break;
            }
            frameComponents = qMax(1, int(frame[5]));
        } else if (marker == 0xFE) {
            ok = builder.drop(markerAt, next);
        } else if (marker >= 0xE0 && marker <= 0xEF) {
            appBytes += length;
            if (appBytes > SafeImage::kMaxJpegAppBytes)
                ok = builder.drop(markerAt, next);
        } else if (marker == 0xDA) {
            uchar inScan = 0;
            if (!readByte(&inScan))
                break;
            if (layout->scans == 0)
                layout->wholeImageCoefficients = progressive || int(inScan) < frameComponents;
            ++layout->scans;
            if (!layout->wholeImageCoefficients || layout->scans > SafeImage::kMaxProgressiveScans)
                break; // a single scan holds nothing more to look at
        }
        if (!device->seek(next))
            break;
    }
    if (!layout->wholeImageCoefficients)
        layout->scans = 0;
    builder.finish(end);
    device->seek(start);
    return ok;
}

// The size a picture of size shown is decoded to for options (aspect kept); shown itself when it
// would not shrink. Invalid when a divisor leaves nothing.
QSize targetSize(const QSize &shown, const SafeImage::Options &options)
{
    QSize target = shown;
    if (options.divisor > 1)
        target = QSize(shown.width() / options.divisor, shown.height() / options.divisor);
    else if (options.fitWithin.isValid())
        target = shown.scaled(options.fitWithin, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    if (target.isEmpty())
        return QSize();
    return target.width() >= shown.width() && target.height() >= shown.height() ? shown : target;
}

using HeifHandle = std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle *)>;

// The smallest thumbnail item of the primary picture that still covers target at the picture's
// aspect; null when none does.
HeifHandle coveringThumbnail(heif_image_handle *primary, const QSize &shown, const QSize &target)
{
    HeifHandle thumbnail(nullptr, heif_image_handle_release);
    heif_item_id ids[4] = {};
    const int n = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids, 4);
    for (int i = 0; i < n; ++i) {
        heif_image_handle *t = nullptr;
        if (heif_image_handle_get_thumbnail(primary, ids[i], &t).code != heif_error_Ok)
            continue;
        const QSize size(heif_image_handle_get_width(t), heif_image_handle_get_height(t));
        const bool covers = size.width() >= target.width() && size.height() >= target.height() &&
            qAbs(double(size.width()) * shown.height() / (double(size.height()) * shown.width()) - 1) < 0.02;
        if (covers &&
            (!thumbnail ||
             pixelsOf(size) <
                 heif_image_handle_get_width(thumbnail.get()) * qint64(heif_image_handle_get_height(thumbnail.get()))))
            thumbnail.reset(t);
        else
            heif_image_handle_release(t);
    }
    return thumbnail;
}

// The pixels decoding chosen produces: the size before rotation and cropping is what the codec decodes.
qint64 heifDecodedPixels(const heif_image_handle *chosen)
{
    const QSize decodedSize(heif_image_handle_get_width(chosen), heif_image_handle_get_height(chosen));
    const QSize coded(heif_image_handle_get_ispe_width(chosen), heif_image_handle_get_ispe_height(chosen));
    return qMax(pixelsOf(coded), pixelsOf(decodedSize));
}

// The planes and the interleaved colour are both held at the peak, or the decoded picture and
// its scaled copy.
bool heifWithinBudget(const HeifFile &heif, const heif_image_handle *chosen, const QSize &target,
                      const SafeImage::Options &options, const QString &dimensions, QString *why)
{
    const QSize decodedSize(heif_image_handle_get_width(chosen), heif_image_handle_get_height(chosen));
    const qint64 pixels = heifDecodedPixels(chosen);
    const qint64 held = pixels + (decodedSize != target ? pixelsOf(target) : 0);
    if (held > options.maxPixels)
        return setWhy(why, QStringLiteral("picture too large (%1)").arg(dimensions));
    const bool alpha = heif_image_handle_has_alpha_channel(chosen);
    const double planar = heif.planarBytesPerPixel() + (alpha ? 2 : 0);
    qint64 bytes = qint64(pixels * planar) + pixels * 4;
    if (decodedSize != target)
        bytes = qMax(bytes, pixels * (alpha ? 8 : 4) + pixelsOf(target) * 4);
    if (bytes > options.maxDecodeBytes)
        return setWhy(why, QStringLiteral("picture too large to decode (%1)").arg(dimensions));
    return true;
}

// The decoded RGBA plane as a picture of target size; takes decoded over. At most pixels were
// allowed for.
QImage heifImage(heif_image *decoded, qint64 pixels, bool alpha, const QSize &target, QString *why)
{
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(decoded, heif_channel_interleaved, &stride);
    const QSize size(heif_image_get_width(decoded, heif_channel_interleaved),
                     heif_image_get_height(decoded, heif_channel_interleaved));
    if (!plane || size.isEmpty() || pixelsOf(size) > pixels || stride < size.width() * 4) {
        heif_image_release(decoded);
        setWhy(why, QStringLiteral("HEIF: decoded picture does not match its header"));
        return {};
    }
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    // RGBA bytes become the BGRA Qt's 32-bit formats hold, in place, so scaling copies nothing more.
    for (int y = 0; y < size.height(); ++y) {
        uint8_t *p = plane + qint64(y) * stride;
        for (int x = 0; x < size.width(); ++x, p += 4)
            std::swap(p[0], p[2]);
    }
    const QImage::Format format = alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
#else
    const QImage::Format format = alpha ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888;
#endif
    QImage image(
        plane, size.width(), size.height(), stride, format,
        [](void *img) { heif_image_release(static_cast<heif_image *>(img)); }, decoded);
    if (size != target)
        return image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

// HEIF holds its picture as coded tiles libheif decodes into whole planes, then converts to
// interleaved colour: both are held at the peak. A thumbnail item that still covers the target is
// decoded instead of the picture. Rotation and mirroring in the file are always applied.
QImage readHeif(QIODevice *device, const SafeImage::Options &options, QString *why)
{
    HeifFile heif;
    if (!heif.open(device, why))
        return {};
    const QSize shown(heif_image_handle_get_width(heif.primary()), heif_image_handle_get_height(heif.primary()));
    if (shown.isEmpty()) {
        setWhy(why, QStringLiteral("no picture size in the header"));
        return {};
    }
    const QString dimensions = QStringLiteral("%1x%2").arg(shown.width()).arg(shown.height());
    const QSize target = targetSize(shown, options);
    if (!target.isValid()) {
        setWhy(why, QStringLiteral("picture too small to divide by %1").arg(options.divisor));
        return {};
    }
    HeifHandle thumbnail(nullptr, heif_image_handle_release);
    if (target != shown)
        thumbnail = coveringThumbnail(heif.primary(), shown, target);
    const heif_image_handle *chosen = thumbnail ? thumbnail.get() : heif.primary();
    if (!heifWithinBudget(heif, chosen, target, options, dimensions, why))
        return {};
    std::unique_ptr<heif_decoding_options, void (*)(heif_decoding_options *)> decoding(heif_decoding_options_alloc(),
                                                                                       heif_decoding_options_free);
    decoding->convert_hdr_to_8bit = 1;
    heif_image *decoded = nullptr;
    const heif_error e =
        heif_decode_image(chosen, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, decoding.get());
    if (e.code != heif_error_Ok || !decoded) {
        setWhy(why, QStringLiteral("HEIF: ") + QString::fromUtf8(e.message));
        return {};
    }
    return heifImage(decoded, heifDecodedPixels(chosen), heif_image_handle_has_alpha_channel(chosen), target, why);
}

// libwebp scales lossy pictures while it decodes them, row by row, into the target; lossless ones
// are decoded whole first. An alpha plane is held at the stored size.
QImage readWebp(QIODevice *device, const SafeImage::Options &options, QString *why)
{
    const WebpFile::Layout layout = WebpFile::walk(device, true, options.maxDecodeBytes);
    if (layout.animated) {
        setWhy(why, QStringLiteral("animated WebP"));
        return {};
    }
    if (!layout.valid) {
        setWhy(why, QStringLiteral("no WebP picture"));
        return {};
    }
    if (layout.picture.isEmpty()) {
        setWhy(why, QStringLiteral("picture too large to decode"));
        return {};
    }
    const auto *data = reinterpret_cast<const uint8_t *>(layout.picture.constData());
    const size_t dataSize = size_t(layout.picture.size());
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(data, dataSize, &features) != VP8_STATUS_OK || features.width <= 0 || features.height <= 0) {
        setWhy(why, QStringLiteral("no picture size in the header"));
        return {};
    }
    const QSize stored(features.width, features.height);
    const QString dimensions = QStringLiteral("%1x%2").arg(stored.width()).arg(stored.height());
    const qint64 pixels = pixelsOf(stored);
    if (pixels > SafeImage::kMaxStoredPixels) {
        setWhy(why, QStringLiteral("picture too large (%1)").arg(dimensions));
        return {};
    }
    const QSize target = targetSize(stored, options);
    if (!target.isValid()) {
        setWhy(why, QStringLiteral("picture too small to divide by %1").arg(options.divisor));
        return {};
    }
    const qint64 held = pixelsOf(target) + (layout.lossless ? pixels : 0);
    const qint64 bytes = layout.pictureBytes + pixelsOf(target) * 4 +
        (layout.lossless          ? pixels * 4
             : features.has_alpha ? pixels
                                  : 0);
    if (held > options.maxPixels) {
        setWhy(why, QStringLiteral("picture too large (%1)").arg(dimensions));
        return {};
    }
    if (bytes > options.maxDecodeBytes) {
        setWhy(why, QStringLiteral("picture too large to decode (%1)").arg(dimensions));
        return {};
    }
    QImage image(target, features.has_alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    if (image.isNull()) {
        setWhy(why, QStringLiteral("out of memory"));
        return {};
    }
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        setWhy(why, QStringLiteral("WebP decoder unavailable"));
        return {};
    }
    if (target != stored) {
        config.options.use_scaling = 1;
        config.options.scaled_width = target.width();
        config.options.scaled_height = target.height();
    }
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    config.output.colorspace = features.has_alpha ? MODE_bgrA : MODE_BGRA;
#else
    config.output.colorspace = features.has_alpha ? MODE_Argb : MODE_ARGB;
#endif
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = image.bits();
    config.output.u.RGBA.stride = image.bytesPerLine();
    config.output.u.RGBA.size = size_t(image.sizeInBytes());
    const VP8StatusCode status = WebPDecode(data, dataSize, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
        setWhy(why, QStringLiteral("WebP decode failed (%1)").arg(int(status)));
        return {};
    }
    return image;
}

// Walks the file for what the decoder is given; false (why set) when the file is too broken up.
bool walkLayout(QIODevice *device, SafeImage::Format format, const SafeImage::Options &options, Layout *layout,
                QString *why)
{
    bool walked = false;
    switch (format) {
    case SafeImage::Format::Jpeg: walked = jpegLayout(device, layout); break;
    case SafeImage::Format::Png: walked = pngLayout(device, options.keepText, layout); break;
    case SafeImage::Format::Heif:
    case SafeImage::Format::Webp:
    case SafeImage::Format::Unknown: break;
    }
    return walked || setWhy(why, QStringLiteral("more than %1 pieces of text").arg(kMaxDroppedPieces));
}

// What the stored size and the walk alone rule out, before any target is chosen.
bool storedWithinLimits(const QSize &stored, const Layout &layout, const SafeImage::Options &options,
                        const QString &dimensions, QString *why)
{
    const qint64 pixels = pixelsOf(stored);
    if (pixels > SafeImage::kMaxStoredPixels)
        return setWhy(why, QStringLiteral("picture too large (%1)").arg(dimensions));
    if (layout.wholeImageCoefficients && pixels > options.maxPixels / 4)
        return setWhy(why, QStringLiteral("progressive picture too large (%1)").arg(dimensions));
    if (layout.scans > SafeImage::kMaxProgressiveScans)
        return setWhy(why, QStringLiteral("more than %1 scans").arg(SafeImage::kMaxProgressiveScans));
    return true;
}

// The size the reader is asked for; invalid (why set) when a divisor leaves nothing. Orientation is
// applied after decoding, so the target box is rotated with it.
QSize readerTarget(const QImageReader &reader, const QSize &stored, const SafeImage::Options &options, QString *why)
{
    QSize target = stored;
    if (options.divisor > 1) {
        target = QSize(stored.width() / options.divisor, stored.height() / options.divisor);
        if (target.isEmpty()) {
            setWhy(why, QStringLiteral("picture too small to divide by %1").arg(options.divisor));
            return {};
        }
    } else if (options.fitWithin.isValid()) {
        QSize box = options.fitWithin;
        if (options.applyOrientation && (reader.transformation() & QImageIOHandler::TransformationRotate90))
            box.transpose();
        target = stored.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    }
    if (target.width() >= stored.width() && target.height() >= stored.height())
        target = stored;
    return target;
}

// What the decode holds at its peak, from what the decoder allocates. A JPEG decodes at the
// reduced size libjpeg's DCT scaling reaches. Qt reads an 8-bit colour PNG that is not interlaced
// row by row into the scaled picture; any other PNG is decoded whole, and smooth scaling copies
// it into 32-bit colour first unless it is already in a format it scales directly.
bool decodeWithinBudget(SafeImage::Format actual, QImage::Format format, bool interlaced, const QSize &stored,
                        const QSize &target, const SafeImage::Options &options, const QString &dimensions, QString *why)
{
    const qint64 pixels = pixelsOf(stored);
    const bool scaledWhileRead = actual == SafeImage::Format::Jpeg ||
        (!interlaced && (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32));
    QSize decoded = stored;
    if (actual == SafeImage::Format::Jpeg)
        decoded = jpegDecodedSize(stored, target);
    else if (scaledWhileRead)
        decoded = target;
    const qint64 held = pixelsOf(decoded) + (decoded != target ? pixelsOf(target) : 0);
    if (held > options.maxPixels)
        return setWhy(why, QStringLiteral("picture too large (%1)").arg(dimensions));
    qint64 bytes = held * 4; // JPEG decodes into 32-bit colour (8-bit for grey)
    if (actual == SafeImage::Format::Png) {
        const int depth = bytesPerPixel(format);
        if (scaledWhileRead) {
            // Little is held, but every stored row is still inflated and filtered: bounded alike.
            bytes = qMax(bytes, pixels * depth);
        } else {
            bytes = pixels * depth;
            if (target != stored) {
                if (!scalesWithoutCopy(format))
                    bytes += pixels * (depth > 4 ? 8 : 4);
                bytes += pixelsOf(target) * qMax(4, depth);
            }
        }
    }
    if (bytes > options.maxDecodeBytes)
        return setWhy(why, QStringLiteral("picture too large to decode (%1)").arg(dimensions));
    return true;
}

} // namespace

SafeImage::Format SafeImage::sniff(const QByteArray &head)
{
    if (head.size() >= 3 && uchar(head[0]) == 0xFF && uchar(head[1]) == 0xD8 && uchar(head[2]) == 0xFF)
        return Format::Jpeg;
    static const char png[] = "\x89PNG\r\n\x1a\n";
    if (head.startsWith(QByteArray::fromRawData(png, 8)))
        return Format::Png;
    if (head.size() >= 12 && head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        return Format::Webp;
    if (head.mid(4, 4) == "ftyp" && MediaType::sniff(head) == MediaType::Kind::Picture)
        return Format::Heif;
    return Format::Unknown;
}

SafeImage::Format SafeImage::formatForName(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return Format::Jpeg;
    if (suffix == QLatin1String("png"))
        return Format::Png;
    if (suffix == QLatin1String("heic") || suffix == QLatin1String("heif") || suffix == QLatin1String("avif"))
        return Format::Heif;
    if (suffix == QLatin1String("webp"))
        return Format::Webp;
    return Format::Unknown;
}

QImage SafeImage::load(const QString &path, const Options &options, QString *why)
{
    const Format expected = formatForName(path);
    if (expected == Format::Unknown) {
        setWhy(why, QStringLiteral("not the name of a picture type read here"));
        return {};
    }
    QString root;
    if (!options.insideFolder.isEmpty()) {
        root = QFileInfo(options.insideFolder).canonicalFilePath();
        // Checked before opening as well, so nothing outside is even opened where /proc can tell us.
        const QString parent = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
        if (parent != root && !isBelow(parent, root)) {
            setWhy(why, QStringLiteral("outside its folder"));
            return {};
        }
    }
    // O_NONBLOCK so a FIFO put in the file's place cannot block the open; the fstat below refuses it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setWhy(why, QStringLiteral("cannot open"));
        return {};
    }
    struct stat st
    { };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        setWhy(why, QStringLiteral("not a regular file"));
        return {};
    }
    if (!root.isEmpty()) {
        // A folder on the way swapped for a link between the check above and the open.
        const QString real = openedPath(fd);
        if (!real.isEmpty() && !isBelow(real, root)) {
            ::close(fd);
            setWhy(why, QStringLiteral("outside its folder"));
            return {};
        }
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        setWhy(why, QStringLiteral("cannot open"));
        return {};
    }
    return read(&file, expected, options, why);
}

QImage SafeImage::read(QIODevice *device, Format expected, const Options &options, QString *why)
{
    const Format actual = sniff(device->peek(MediaType::kHeadBytes));
    if (actual == Format::Unknown) {
        setWhy(why, QStringLiteral("content is not a picture type read here"));
        return {};
    }
    if (expected != Format::Unknown && actual != expected) {
        setWhy(why, QStringLiteral("content does not match the file's type"));
        return {};
    }
    if (device->isSequential()) {
        setWhy(why, QStringLiteral("not a file"));
        return {};
    }
    if (actual == Format::Heif)
        return readHeif(device, options, why);
    if (actual == Format::Webp)
        return readWebp(device, options, why);
    // Every decode goes through here: the decoder reads the file as its format's walk left it.
    Layout layout;
    if (!walkLayout(device, actual, options, &layout, why))
        return {};
    SplicedDevice spliced(device, layout.pieces);
    spliced.open(QIODevice::ReadOnly);

    // With the format named and detection off, Qt looks only for a handler of that name, and the content
    // has just been seen to start as that format, so no other decoder (SVG, ...) ever gets these bytes.
    QImageReader reader(&spliced, qtFormatName(actual));
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty()) {
        setWhy(why, QStringLiteral("no picture size in the header"));
        return {};
    }
    const QString dimensions = QStringLiteral("%1x%2").arg(stored.width()).arg(stored.height());
    if (!storedWithinLimits(stored, layout, options, dimensions, why))
        return {};
    reader.setAutoTransform(options.applyOrientation);
    const QSize target = readerTarget(reader, stored, options, why);
    if (!target.isValid())
        return {};
    const QImage::Format format = actual == Format::Png ? reader.imageFormat() : QImage::Format_RGB32;
    if (!decodeWithinBudget(actual, format, layout.interlaced, stored, target, options, dimensions, why))
        return {};
    if (target != stored)
        reader.setScaledSize(target);
    QImage image = reader.read();
    if (image.isNull())
        setWhy(why, reader.errorString());
    return image;
}
