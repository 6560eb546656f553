// Paints the loading animation of the local album page (resources/image/loading.gif): twelve
// dots on a ring, a bright head running round with a fading tail, 12 frames at 80 ms.
// Qt reads GIF but can't write it, so the file is written here: a 16-colour palette (index 0
// transparent) and uncompressed LZW (a clear code every few literals keeps the code size fixed).
// Usage: QT_QPA_PLATFORM=offscreen art_loading <output.gif>

#include <QtMath>
#include <QSaveFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTextStream>

namespace {

constexpr int kSide = 40;
constexpr int kFrames = 12;
constexpr int kDelayCs = 8;     // hundredths of a second per frame
constexpr int kMinCodeSize = 4; // 16 colours
const QColor kLight(214, 226, 250);
const QColor kInk(36, 99, 200);

QColor paletteColour(int i)
{
    const qreal t = qreal(i - 1) / 14.0;
    return QColor(int(kLight.red() + (kInk.red() - kLight.red()) * t),
                  int(kLight.green() + (kInk.green() - kLight.green()) * t),
                  int(kLight.blue() + (kInk.blue() - kLight.blue()) * t));
}

// Coverage of the dots (0..255) for one frame.
QImage paintFrame(int frame)
{
    QImage img(kSide, kSide, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::black);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QPointF centre(kSide / 2.0, kSide / 2.0);
    const qreal radius = kSide * 0.36;
    for (int d = 0; d < kFrames; ++d) {
        const int age = (frame - d + kFrames) % kFrames; // 0: the head
        const qreal level = qMax(0.25, 1.0 - age * 0.09);
        const qreal dot = kSide * (age == 0 ? 0.085 : 0.07);
        const qreal angle = 2 * M_PI * d / kFrames - M_PI / 2;
        p.setBrush(QColor::fromRgbF(level, level, level));
        p.drawEllipse(centre + QPointF(qCos(angle) * radius, qSin(angle) * radius), dot, dot);
    }
    return img;
}

QByteArray indices(const QImage &img)
{
    QByteArray out;
    out.reserve(kSide * kSide);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            const int v = qRed(img.pixel(x, y));
            out.append(char(v < 24 ? 0 : 1 + (v - 24) * 14 / (255 - 24)));
        }
    }
    return out;
}

void putShort(QByteArray &b, int v)
{
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

// LZW data of one frame without compression: every pixel is a literal code of kMinCodeSize + 1
// bits; a clear code before the table grows far enough to widen the codes.
QByteArray lzwLiterals(const QByteArray &pixels)
{
    const int codeBits = kMinCodeSize + 1;
    const int clear = 1 << kMinCodeSize;
    const int end = clear + 1;
    const int perClear = (1 << kMinCodeSize) - 4;
    QByteArray bytes;
    quint32 acc = 0;
    int bits = 0;
    auto put = [&](int code) {
        acc |= quint32(code) << bits;
        bits += codeBits;
        while (bits >= 8) {
            bytes.append(char(acc & 0xff));
            acc >>= 8;
            bits -= 8;
        }
    };
    for (int i = 0; i < pixels.size(); ++i) {
        if (i % perClear == 0)
            put(clear);
        put(quint8(pixels.at(i)));
    }
    put(end);
    if (bits > 0)
        bytes.append(char(acc & 0xff));
    // Sub-blocks of at most 255 bytes, then the terminator.
    QByteArray blocks;
    for (int i = 0; i < bytes.size(); i += 255) {
        const QByteArray part = bytes.mid(i, 255);
        blocks.append(char(part.size()));
        blocks.append(part);
    }
    blocks.append(char(0));
    return blocks;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: art_loading <output.gif>\n";
        return 2;
    }
    QByteArray gif("GIF89a");
    putShort(gif, kSide);
    putShort(gif, kSide);
    gif.append(char(0x80 | ((kMinCodeSize - 1) << 4) | (kMinCodeSize - 1))); // global table, 16 entries
    gif.append(char(0));                                                     // background index
    gif.append(char(0));                                                     // aspect
    for (int i = 0; i < (1 << kMinCodeSize); ++i) {
        const QColor c = i == 0 ? QColor(255, 255, 255) : paletteColour(i);
        gif.append(char(c.red()));
        gif.append(char(c.green()));
        gif.append(char(c.blue()));
    }
    // Loop for ever.
    gif.append("\x21\xff\x0bNETSCAPE2.0\x03\x01", 16);
    putShort(gif, 0);
    gif.append(char(0));
    for (int f = 0; f < kFrames; ++f) {
        gif.append("\x21\xf9\x04", 3);
        gif.append(char((2 << 2) | 1)); // restore to background, transparent index given
        putShort(gif, kDelayCs);
        gif.append(char(0)); // transparent index
        gif.append(char(0));
        gif.append(char(0x2c));
        putShort(gif, 0);
        putShort(gif, 0);
        putShort(gif, kSide);
        putShort(gif, kSide);
        gif.append(char(0)); // no local table, not interlaced
        gif.append(char(kMinCodeSize));
        gif.append(lzwLiterals(indices(paintFrame(f))));
    }
    gif.append(char(0x3b));

    QSaveFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(gif) != gif.size() || !out.commit()) {
        QTextStream(stderr) << "cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
