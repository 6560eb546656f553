// Draws the logo and the navigation icons of the main window as 64 x 64 PNG files.
// The committed images in resources/image/ were made with it; run it again after a change.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <cstdio>
#include <functional>

namespace {

constexpr int kSize = 64;

QImage canvas()
{
    QImage img(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void tile(QPainter &p, const QColor &top, const QColor &bottom)
{
    QLinearGradient g(0, 0, 0, kSize);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(2, 2, kSize - 4, kSize - 4), 12, 12);
}

QPen whitePen(qreal width)
{
    return QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A photo: a frame with a sun and two hills.
void photo(QPainter &p, const QRectF &r)
{
    p.setPen(whitePen(3));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r, 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(r.left() + r.width() * 0.72, r.top() + r.height() * 0.3), r.width() * 0.09, r.width() * 0.09);
    QPainterPath hills;
    hills.moveTo(r.left() + 3, r.bottom() - 3);
    hills.lineTo(r.left() + r.width() * 0.35, r.top() + r.height() * 0.42);
    hills.lineTo(r.left() + r.width() * 0.58, r.top() + r.height() * 0.7);
    hills.lineTo(r.left() + r.width() * 0.72, r.top() + r.height() * 0.56);
    hills.lineTo(r.right() - 3, r.bottom() - 3);
    hills.closeSubpath();
    p.drawPath(hills);
}

void drawLogo(QPainter &p)
{
    tile(p, QColor(66, 165, 245), QColor(21, 101, 192));
    photo(p, QRectF(12, 16, 40, 32));
}

void drawLocal(QPainter &p)
{
    tile(p, QColor(255, 183, 77), QColor(239, 108, 0));
    // A folder holding a photo.
    QPainterPath folder;
    folder.moveTo(10, 20);
    folder.lineTo(26, 20);
    folder.lineTo(30, 25);
    folder.lineTo(54, 25);
    folder.lineTo(54, 50);
    folder.lineTo(10, 50);
    folder.closeSubpath();
    p.setPen(whitePen(3));
    p.setBrush(Qt::NoBrush);
    p.drawPath(folder);
    photo(p, QRectF(20, 30, 24, 16));
}

void drawMobile(QPainter &p)
{
    tile(p, QColor(102, 187, 106), QColor(46, 125, 50));
    p.setPen(whitePen(3));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(21, 9, 22, 46), 5, 5);
    p.drawLine(QPointF(28, 14), QPointF(36, 14));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(32, 48), 2.5, 2.5);
}

void drawNetwork(QPainter &p)
{
    tile(p, QColor(38, 198, 218), QColor(0, 131, 143));
    // Signal waves over a dot.
    p.setPen(whitePen(4));
    p.setBrush(Qt::NoBrush);
    const QPointF c(32, 46);
    for (int i = 1; i <= 3; ++i) {
        const qreal r = 9.0 * i;
        p.drawArc(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 45 * 16, 90 * 16);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(c, 4, 4);
}

void drawConfig(QPainter &p)
{
    tile(p, QColor(144, 164, 174), QColor(69, 90, 100));
    // A gear: eight teeth around a ring.
    const QPointF c(32, 32);
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const qreal a0 = (i - 0.5) * M_PI / teeth;
        const qreal a1 = (i + 0.5) * M_PI / teeth;
        const qreal r = (i % 2 == 0) ? 22 : 16;
        const QPointF p0 = c + QPointF(qCos(a0) * r, qSin(a0) * r);
        const QPointF p1 = c + QPointF(qCos(a1) * r, qSin(a1) * r);
        if (i == 0)
            gear.moveTo(p0);
        else
            gear.lineTo(p0);
        gear.lineTo(p1);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, 7, 7);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(gear.subtracted(hole));
}

void drawExit(QPainter &p)
{
    tile(p, QColor(239, 83, 80), QColor(198, 40, 40));
    // A power symbol.
    p.setPen(whitePen(5));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(16, 17, 32, 32), 120 * 16, -240 * 16);
    p.drawLine(QPointF(32, 11), QPointF(32, 31));
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: vanteo_art <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const std::pair<const char *, std::function<void(QPainter &)>> images[] = {
        {"logo.png", drawLogo},          {"main_local.png", drawLocal},
        {"main_mobile.png", drawMobile}, {"main_network.png", drawNetwork},
        {"main_config.png", drawConfig}, {"main_exit.png", drawExit},
    };
    for (const auto &image : images) {
        QImage img = canvas();
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        image.second(p);
        p.end();
        const QString path = out.filePath(QLatin1String(image.first));
        if (!img.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
