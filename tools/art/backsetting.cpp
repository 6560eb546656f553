// Paints the illustration of the settings page (resources/image/backsetting.png):
// a PC and a phone on a soft blue card, linked by a dotted arc, with a photo and a gear.
// Usage: QT_QPA_PLATFORM=offscreen art_backsetting <output.png>

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

namespace {

const QColor kInk(36, 99, 180);
const QColor kInkSoft(120, 164, 222);
const QColor kPaper(255, 255, 255);
const QColor kAccent(255, 176, 59);
const QColor kLeaf(88, 176, 120);

void drawPhotoCard(QPainter &p, const QRectF &r, qreal angle)
{
    p.save();
    p.translate(r.center());
    p.rotate(angle);
    const QRectF card(-r.width() / 2, -r.height() / 2, r.width(), r.height());
    p.setPen(QPen(QColor(0, 0, 0, 30), 1));
    p.setBrush(kPaper);
    p.drawRoundedRect(card, 4, 4);
    const QRectF pic = card.adjusted(6, 6, -6, -14);
    p.setPen(Qt::NoPen);
    QLinearGradient sky(pic.topLeft(), pic.bottomLeft());
    sky.setColorAt(0, QColor(170, 212, 255));
    sky.setColorAt(1, QColor(222, 238, 255));
    p.setBrush(sky);
    p.drawRect(pic);
    p.setBrush(kAccent);
    p.drawEllipse(QPointF(pic.right() - pic.width() * 0.25, pic.top() + pic.height() * 0.3), pic.height() * 0.13,
                  pic.height() * 0.13);
    QPainterPath hills;
    hills.moveTo(pic.bottomLeft());
    hills.lineTo(pic.left() + pic.width() * 0.35, pic.top() + pic.height() * 0.45);
    hills.lineTo(pic.left() + pic.width() * 0.55, pic.top() + pic.height() * 0.7);
    hills.lineTo(pic.left() + pic.width() * 0.7, pic.top() + pic.height() * 0.55);
    hills.lineTo(pic.bottomRight());
    hills.closeSubpath();
    p.setBrush(kLeaf);
    p.drawPath(hills);
    p.restore();
}

void drawGear(QPainter &p, const QPointF &c, qreal radius, const QColor &colour)
{
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth; ++i) {
        p.save();
        p.translate(c);
        p.rotate(360.0 / teeth * i);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(-radius * 0.18, -radius * 1.12, radius * 0.36, radius * 0.5), 2, 2);
        p.restore();
    }
    p.setBrush(colour);
    p.drawEllipse(c, radius * 0.82, radius * 0.82);
    p.setBrush(kPaper);
    p.drawEllipse(c, radius * 0.34, radius * 0.34);
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: art_backsetting <output.png>\n";
        return 2;
    }

    // Drawn on a 400 x 230 grid and scaled, so the picture fits beside the page's controls.
    const qreal scale = 0.9;
    QImage img(qRound(400 * scale), qRound(230 * scale), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);

    // Card.
    const QRectF card(4, 4, 392, 222);
    QLinearGradient bg(card.topLeft(), card.bottomRight());
    bg.setColorAt(0, QColor(236, 245, 255));
    bg.setColorAt(1, QColor(214, 232, 252));
    p.setPen(Qt::NoPen);
    p.setBrush(bg);
    p.drawRoundedRect(card, 14, 14);

    // Monitor on the right.
    const QRectF screen(210, 40, 160, 104);
    p.setBrush(kInk);
    p.drawRoundedRect(screen, 8, 8);
    const QRectF glass = screen.adjusted(8, 8, -8, -8);
    p.setBrush(kPaper);
    p.drawRoundedRect(glass, 3, 3);
    // A small grid of pictures on the screen: the organised album.
    const qreal gap = 6;
    const qreal tw = (glass.width() - 4 * gap) / 3;
    const qreal th = (glass.height() - 3 * gap) / 2;
    for (int row = 0; row < 2; ++row) {
        for (int col = 0; col < 3; ++col) {
            const QRectF t(glass.left() + gap + col * (tw + gap), glass.top() + gap + row * (th + gap), tw, th);
            p.setBrush((row + col) % 2 ? QColor(204, 226, 250) : QColor(186, 214, 246));
            p.drawRoundedRect(t, 2, 2);
        }
    }
    p.setBrush(kInk);
    QPainterPath stand;
    stand.moveTo(screen.center().x() - 14, screen.bottom());
    stand.lineTo(screen.center().x() + 14, screen.bottom());
    stand.lineTo(screen.center().x() + 20, screen.bottom() + 22);
    stand.lineTo(screen.center().x() - 20, screen.bottom() + 22);
    stand.closeSubpath();
    p.drawPath(stand);
    p.drawRoundedRect(QRectF(screen.center().x() - 42, screen.bottom() + 20, 84, 8), 4, 4);

    // Phone on the left.
    const QRectF phone(44, 62, 62, 116);
    p.setBrush(kInk);
    p.drawRoundedRect(phone, 10, 10);
    const QRectF phoneGlass = phone.adjusted(5, 12, -5, -14);
    p.setBrush(kPaper);
    p.drawRoundedRect(phoneGlass, 3, 3);
    p.setBrush(kInkSoft);
    p.drawEllipse(QPointF(phone.center().x(), phone.bottom() - 7), 3.5, 3.5);
    drawPhotoCard(p, QRectF(phoneGlass.left() + 6, phoneGlass.top() + 14, phoneGlass.width() - 12, 52), -4);

    // Dotted arc from phone to PC: the backup over the local network.
    QPen dots(kInkSoft, 4, Qt::DotLine, Qt::RoundCap);
    p.setPen(dots);
    p.setBrush(Qt::NoBrush);
    QPainterPath arc;
    arc.moveTo(phone.right() + 8, phone.top() + 16);
    arc.cubicTo(QPointF(140, 10), QPointF(190, 14), QPointF(screen.left() - 6, screen.top() + 14));
    p.drawPath(arc);
    // Arrow head at the PC end.
    p.setPen(Qt::NoPen);
    p.setBrush(kInkSoft);
    QPainterPath head;
    const QPointF tip(screen.left() - 2, screen.top() + 16);
    head.moveTo(tip);
    head.lineTo(tip + QPointF(-13, -9));
    head.lineTo(tip + QPointF(-11, 5));
    head.closeSubpath();
    p.drawPath(head);

    // A loose photo and a gear between them: pictures being put in order.
    drawPhotoCard(p, QRectF(128, 96, 64, 56), 8);
    drawGear(p, QPointF(168, 176), 17, kAccent);

    p.end();
    if (!img.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        QTextStream(stderr) << "cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
