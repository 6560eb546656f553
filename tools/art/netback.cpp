// Paints the backdrop of the QR code on the network page (resources/image/netback.png):
// a soft blue card with the four corner marks of a scanner's viewfinder. The page puts the
// QR code, on its own white square, in the middle of it.
// Usage: QT_QPA_PLATFORM=offscreen art_netback <output.png>

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

namespace {

constexpr int kSide = 330; // the white QR square of the page is 268 wide, centred
const QColor kInk(36, 99, 180);
const QColor kInkSoft(120, 164, 222);

void drawCorner(QPainter &p, const QPointF &corner, qreal dx, qreal dy, qreal length)
{
    QPainterPath path;
    path.moveTo(corner.x(), corner.y() + dy * length);
    path.lineTo(corner);
    path.lineTo(corner.x() + dx * length, corner.y());
    p.drawPath(path);
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: art_netback <output.png>\n";
        return 2;
    }

    QImage img(kSide, kSide, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);

    // The card.
    QLinearGradient card(0, 0, kSide, kSide);
    card.setColorAt(0, QColor(236, 245, 255));
    card.setColorAt(1, QColor(200, 222, 248));
    p.setPen(QPen(QColor(0, 0, 0, 28), 1));
    p.setBrush(card);
    QPainterPath cardShape;
    cardShape.addRoundedRect(QRectF(0.5, 0.5, kSide - 1, kSide - 1), 22, 22);
    p.drawPath(cardShape);
    p.setClipPath(cardShape);

    // Two faint rings for depth.
    p.setPen(Qt::NoPen);
    QRadialGradient glow(QPointF(kSide * 0.2, kSide * 0.15), kSide * 0.5);
    glow.setColorAt(0, QColor(255, 255, 255, 150));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(glow);
    p.drawEllipse(QPointF(kSide * 0.2, kSide * 0.15), kSide * 0.5, kSide * 0.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(kInkSoft.red(), kInkSoft.green(), kInkSoft.blue(), 70), 10));
    p.drawEllipse(QPointF(kSide * 0.92, kSide * 0.94), kSide * 0.28, kSide * 0.28);

    // Viewfinder corners just outside the QR square.
    const qreal inset = 12;
    const qreal length = 44;
    p.setPen(QPen(kInk, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    drawCorner(p, QPointF(inset, inset), 1, 1, length);
    drawCorner(p, QPointF(kSide - inset, inset), -1, 1, length);
    drawCorner(p, QPointF(inset, kSide - inset), 1, -1, length);
    drawCorner(p, QPointF(kSide - inset, kSide - inset), -1, -1, length);
    p.end();

    const QString out = QString::fromLocal8Bit(argv[1]);
    if (!img.save(out, "PNG")) {
        QTextStream(stderr) << "cannot write " << out << "\n";
        return 1;
    }
    return 0;
}
