// The connection QR code: its text, its picture and whether a real decoder reads it back.
#include "link/NetBroadCast.h"
#include "tests/link/QrDecode.h"

#include <QtTest>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>

namespace {

// The symbol has no quiet zone of its own; put a white border around it as the page does.
QImage withMargin(const QImage &code, int margin)
{
    QImage framed(code.width() + 2 * margin, code.height() + 2 * margin, QImage::Format_RGB32);
    framed.fill(Qt::white);
    QPainter p(&framed);
    p.drawImage(margin, margin, code);
    return framed;
}

} // namespace

class TestQrCode : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void connectionText();
    void emptyTextGivesNullPicture();
    void picture_data();
    void picture();
    void createQrCodeUsesHostAndPort();

private:
    QTemporaryDir m_dir;
};

void TestQrCode::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestQrCode::connectionText()
{
    QCOMPARE(NetBroadCast::connectionText(QStringLiteral("PC1"), QStringLiteral("192.168.1.10"), 50000),
             QStringLiteral("{HostName:PC1,IP:192.168.1.10,Port:50000}"));
    // No quoting or escaping: the phone reads the fields between the fixed markers.
    QCOMPARE(NetBroadCast::connectionText(QStringLiteral("客厅 电脑"), QString(), 0),
             QStringLiteral("{HostName:客厅 电脑,IP:,Port:0}"));
}

void TestQrCode::emptyTextGivesNullPicture()
{
    QVERIFY(NetBroadCast::makeQrPixmap(QString()).isNull());
}

void TestQrCode::picture_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QStringLiteral("{HostName:PC1,IP:192.168.1.10,Port:50000}");
    QTest::newRow("chinese host") << QStringLiteral("{HostName:王家的电脑,IP:10.0.0.27,Port:41234}");
    QTest::newRow("long host")
        << QStringLiteral("{HostName:%1,IP:172.16.254.254,Port:65535}").arg(QString(60, QLatin1Char('h')));
}

void TestQrCode::picture()
{
    QFETCH(QString, text);
    const QPixmap pixmap = NetBroadCast::makeQrPixmap(text);
    QVERIFY(!pixmap.isNull());
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(image.width(), 200);
    QCOMPARE(image.height(), 200);

    // Only black and white, scaled without smoothing; no quiet zone, so the finder pattern's
    // dark corner is the very first pixel.
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y) & 0xffffff;
            if (c != 0x000000 && c != 0xffffff)
                QFAIL(qPrintable(QStringLiteral("grey pixel at %1,%2").arg(x).arg(y)));
        }
    }
    QCOMPARE(image.pixel(0, 0) & 0xffffff, 0x000000u);
    QCOMPARE(image.pixel(199, 0) & 0xffffff, 0x000000u);
    QCOMPARE(image.pixel(0, 199) & 0xffffff, 0x000000u);

    // At most 200/21 pixels a module, so 40 pixels are more than the four modules a reader needs.
    QCOMPARE(QrDecode::decode(withMargin(image, 40), m_dir.path()), text);
}

void TestQrCode::createQrCodeUsesHostAndPort()
{
    NetBroadCast *b = NetBroadCast::getInstance();
    b->setHostNameForTests(QStringLiteral("客厅电脑"));
    b->setPort(50000);
    const QImage image = b->createQrCode(QStringLiteral("192.168.1.10")).toImage();
    QCOMPARE(QrDecode::decode(withMargin(image, 40), m_dir.path()),
             QStringLiteral("{HostName:客厅电脑,IP:192.168.1.10,Port:50000}"));
}

QTEST_MAIN(TestQrCode)
#include "tst_qrcode.moc"
