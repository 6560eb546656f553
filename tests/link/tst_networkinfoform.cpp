// The network information page: choosing the announced address, the QR code as shown on the
// page, and the page without any usable network.
#include "link/pages/NetWorkInfoForm.h"

#include "link/NetBroadCast.h"
#include "settings/ReadWriteSetting.h"
#include "tests/link/QrDecode.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

#include <QtTest>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPainter>
#include <QUdpSocket>

namespace {

const QStringList kThree{QStringLiteral("192.168.1.10"), QStringLiteral("10.0.0.5"), QStringLiteral("172.16.3.4")};

QString storedLocalIP()
{
    return ReadWriteSetting::getInstance()->getGlobalValue(QStringLiteral("localIP"));
}

template <typename T> T *child(const QWidget &form, const char *name)
{
    return form.findChild<T *>(QLatin1String(name));
}

QImage qrImage(const NetWorkInfoForm &form)
{
    return child<QLabel>(form, "label_QRcode")->pixmap(Qt::ReturnByValue).toImage();
}

QString connection(const QString &ip)
{
    return QStringLiteral("{HostName:PC1,IP:") + ip + QStringLiteral(",Port:50000}");
}

} // namespace

class TestNetWorkInfoForm : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void firstStartWritesIndex();
    void storedIndex_data();
    void storedIndex();
    void choosingAnotherAddress();
    void shownCodeScans();
    void noNetwork();
    void followsNetworkChanges();
    void picksUpARealNewAddress();
    void looksAndTexts();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestNetWorkInfoForm::init()
{
    m_dir = TestSupport::makeProgramDir();
    QVERIFY(m_dir && m_dir->isValid());
    NetBroadCast *b = NetBroadCast::getInstance();
    b->setLocalIPListForTests(kThree);
    b->setHostNameForTests(QStringLiteral("PC1"));
    b->setPort(50000);
    b->setIP(QStringLiteral("198.51.100.1"));
}

void TestNetWorkInfoForm::cleanup()
{
    m_dir.reset();
}

void TestNetWorkInfoForm::firstStartWritesIndex()
{
    QVERIFY(storedLocalIP().isEmpty());
    NetWorkInfoForm form(nullptr);
    QCOMPARE(storedLocalIP(), QStringLiteral("0"));
    QComboBox *combo = child<QComboBox>(form, "ipListComboBox");
    QCOMPARE(combo->count(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(combo->itemText(i), kThree.at(i));
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(child<QLineEdit>(form, "netLocalIP")->text(), kThree.at(0));
    QCOMPARE(child<QLineEdit>(form, "netLocalPort")->text(), QStringLiteral("50000"));
    QCOMPARE(NetBroadCast::getInstance()->getIP(), kThree.at(0));
    QCOMPARE(qrImage(form), NetBroadCast::makeQrPixmap(connection(kThree.at(0))).toImage());
}

void TestNetWorkInfoForm::storedIndex_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("selected");
    QTest::newRow("second") << QStringLiteral("1") << 1;
    QTest::newRow("last") << QStringLiteral("2") << 2;
    QTest::newRow("past the end") << QStringLiteral("5") << 0;
    QTest::newRow("just past the end") << QStringLiteral("3") << 0;
    QTest::newRow("negative") << QStringLiteral("-1") << 0;
    QTest::newRow("not a number") << QStringLiteral("eth0") << 0;
}

// The stored index is read, never rewritten at start-up, even when it can't be used.
void TestNetWorkInfoForm::storedIndex()
{
    QFETCH(QString, stored);
    QFETCH(int, selected);
    ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localIP"), stored);
    NetWorkInfoForm form(nullptr);
    QCOMPARE(child<QComboBox>(form, "ipListComboBox")->currentIndex(), selected);
    QCOMPARE(form.currentIP(), kThree.at(selected));
    QCOMPARE(child<QLineEdit>(form, "netLocalIP")->text(), kThree.at(selected));
    QCOMPARE(NetBroadCast::getInstance()->getIP(), kThree.at(selected));
    QCOMPARE(storedLocalIP(), stored);
}

void TestNetWorkInfoForm::choosingAnotherAddress()
{
    NetWorkInfoForm form(nullptr);
    QComboBox *combo = child<QComboBox>(form, "ipListComboBox");
    const QImage before = qrImage(form);

    // The page announces through the broadcaster; catch its next datagram on loopback.
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
    NetBroadCast *b = NetBroadCast::getInstance();
    b->setDestinationForTests(QHostAddress::LocalHost, receiver.localPort());

    combo->setCurrentIndex(2);
    emit combo->activated(2); // what the combo box sends when the user picks an entry

    QCOMPARE(storedLocalIP(), QStringLiteral("2"));
    QCOMPARE(form.currentIP(), kThree.at(2));
    QCOMPARE(child<QLineEdit>(form, "netLocalIP")->text(), kThree.at(2));
    QCOMPARE(child<QLineEdit>(form, "netLocalPort")->text(), QStringLiteral("50000"));
    QCOMPARE(b->getIP(), kThree.at(2));
    const QImage after = qrImage(form);
    QVERIFY(after != before);
    QCOMPARE(QrDecode::decode(child<QLabel>(form, "label_QRcode")->grab().toImage(), m_dir->path()),
             connection(kThree.at(2)));

    b->broadcastDatagram();
    QVERIFY(TestSupport::waitFor([&] { return receiver.hasPendingDatagrams(); }, 3000));
    const QJsonObject sent = QJsonDocument::fromJson(receiver.receiveDatagram().data()).object();
    QCOMPARE(sent.value(QStringLiteral("IP")).toString(), kThree.at(2));
    QCOMPARE(sent.value(QStringLiteral("Port")).toInt(), 50000);
    b->setDestinationForTests(QHostAddress(QHostAddress::Broadcast), NetBroadCast::kBroadcastPort);

    // The choice is remembered for the next start.
    NetWorkInfoForm next(nullptr);
    QCOMPARE(next.currentIP(), kThree.at(2));
}

// What the page shows must scan as it is, against the background picture: the white margin
// of the code's label is its quiet zone.
void TestNetWorkInfoForm::shownCodeScans()
{
    NetBroadCast::getInstance()->setHostNameForTests(QStringLiteral("书房的电脑"));
    ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localIP"), QStringLiteral("1"));
    NetWorkInfoForm form(nullptr);
    form.resize(798, 520);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QLabel *code = child<QLabel>(form, "label_QRcode");
    QCOMPARE(code->size(), QSize(268, 268));
    QCOMPARE(QrDecode::decode(form.grab().toImage(), m_dir->path()),
             QStringLiteral("{HostName:书房的电脑,IP:10.0.0.5,Port:50000}"));
}

void TestNetWorkInfoForm::noNetwork()
{
    NetBroadCast *b = NetBroadCast::getInstance();
    b->setLocalIPListForTests({});
    ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localIP"), QStringLiteral("1"));
    NetWorkInfoForm form(nullptr);
    QComboBox *combo = child<QComboBox>(form, "ipListComboBox");
    QCOMPARE(combo->count(), 0);
    QVERIFY(!combo->isEnabled());
    QCOMPARE(child<QLineEdit>(form, "netLocalIP")->text(), QStringLiteral("未发现网络"));
    QLabel *code = child<QLabel>(form, "label_QRcode");
    QVERIFY(code->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(code->text(), QStringLiteral("未发现可用的网络，\n请连接局域网"));
    QCOMPARE(child<QLineEdit>(form, "netLocalPort")->text(), QStringLiteral("50000"));
    // The broadcaster keeps announcing what it had; the stored choice is left for a later start.
    QCOMPARE(b->getIP(), QStringLiteral("198.51.100.1"));
    QCOMPARE(storedLocalIP(), QStringLiteral("1"));
    emit combo->activated(0);
    QCOMPARE(b->getIP(), QStringLiteral("198.51.100.1"));
    QCOMPARE(storedLocalIP(), QStringLiteral("1"));
}

// The list, the code and the broadcast follow the network without a restart; the user's address
// stays chosen while it exists.
void TestNetWorkInfoForm::followsNetworkChanges()
{
    NetBroadCast *b = NetBroadCast::getInstance();
    NetWorkInfoForm form(nullptr);
    QVERIFY(b->isWatchingNetwork());
    QComboBox *combo = child<QComboBox>(form, "ipListComboBox");
    QLabel *code = child<QLabel>(form, "label_QRcode");
    combo->setCurrentIndex(1);
    emit combo->activated(1);
    QCOMPARE(b->getIP(), kThree.at(1));

    // An address comes, another goes: the chosen one moves to index 0, and stays chosen.
    const QStringList changed{QStringLiteral("10.0.0.5"), QStringLiteral("192.168.7.20")};
    b->setLocalIPListForTests(changed);
    QVERIFY(TestSupport::waitFor([&] { return form.addressList() == changed; }, 3 * NetBroadCast::kWatchMs));
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(form.currentIP(), QStringLiteral("10.0.0.5"));
    QCOMPARE(b->getIP(), QStringLiteral("10.0.0.5"));
    QCOMPARE(storedLocalIP(), QStringLiteral("0"));

    // The chosen address goes: the stored choice's index, and the code and broadcast follow.
    b->setLocalIPListForTests({QStringLiteral("192.168.7.20")});
    b->checkNetworkNow();
    QCOMPARE(form.currentIP(), QStringLiteral("192.168.7.20"));
    QCOMPARE(b->getIP(), QStringLiteral("192.168.7.20"));
    QCOMPARE(qrImage(form), NetBroadCast::makeQrPixmap(connection(QStringLiteral("192.168.7.20"))).toImage());

    // All gone, then back.
    b->setLocalIPListForTests({});
    b->checkNetworkNow();
    QVERIFY(!combo->isEnabled());
    QVERIFY(code->pixmap(Qt::ReturnByValue).isNull());
    b->setLocalIPListForTests({QStringLiteral("172.16.9.9")});
    b->checkNetworkNow();
    QVERIFY(combo->isEnabled());
    QCOMPARE(child<QLineEdit>(form, "netLocalIP")->text(), QStringLiteral("172.16.9.9"));
    QCOMPARE(qrImage(form), NetBroadCast::makeQrPixmap(connection(QStringLiteral("172.16.9.9"))).toImage());
    QCOMPARE(code->margin(), (268 - 200) / 2);
}

// The machine's own interfaces: a veth pair made while the page is open shows up by itself.
void TestNetWorkInfoForm::picksUpARealNewAddress()
{
    const QString why = TestSupport::vethUnavailableReason();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    NetBroadCast *b = NetBroadCast::getInstance();
    b->clearLocalIPListForTests();
    NetWorkInfoForm form(nullptr);
    QVERIFY(!form.addressList().contains(QStringLiteral("10.79.0.1")));

    const QString suffix = QString::number(getpid() % 100000);
    TestSupport::VethPair veth(QStringLiteral("niA") + suffix, QStringLiteral("niB") + suffix);
    QString error;
    QVERIFY2(veth.create(QStringLiteral("10.79.0.1"), QStringLiteral("10.79.0.2"), &error), qPrintable(error));
    QVERIFY2(TestSupport::waitFor([&] { return form.addressList().contains(QStringLiteral("10.79.0.1")); }, 10000),
             qPrintable(form.addressList().join(QLatin1Char(' '))));
    QVERIFY(!form.currentIP().isEmpty());
    QCOMPARE(b->getIP(), form.currentIP());

    QVERIFY2(veth.remove(&error), qPrintable(error));
    QVERIFY(TestSupport::waitFor([&] { return !form.addressList().contains(QStringLiteral("10.79.0.1")); }, 10000));
    b->setLocalIPListForTests(kThree);
}

void TestNetWorkInfoForm::looksAndTexts()
{
    NetWorkInfoForm form(nullptr);
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
    QCOMPARE(child<QLabel>(form, "useNote")->text(),
             QStringLiteral(
                 "用法：\n\n1. 移动设备可使用左边信息和当前设备连接。\n\n2. 请保证移动设备和当前设备在同一局域网。"
                 "\n\n3. 可手动输入IP地址和端口Port连接当前设备。\n\n4. 可扫描二维码自动连接当前设备。"));
    QCOMPARE(child<QLabel>(form, "label_connectInfo")->text(), QStringLiteral("扫描二维码，连接电脑      "));
    QCOMPARE(child<QLabel>(form, "labelIpList")->text(), QStringLiteral(" IP地址列表："));
    QCOMPARE(child<QLabel>(form, "label_ip")->text(), QStringLiteral("本机   IP:"));
    QCOMPARE(child<QLabel>(form, "label_port")->text(), QStringLiteral("本机 Port:"));
    for (const char *name : {"useNote", "label_connectInfo", "labelIpList", "label_ip", "label_port"}) {
        QLabel *l = child<QLabel>(form, name);
        QCOMPARE(l->font().pointSize(), 11);
        QCOMPARE(l->palette().color(QPalette::WindowText), QColor(Qt::blue));
    }
    for (const char *name : {"netLocalIP", "netLocalPort"}) {
        QLineEdit *e = child<QLineEdit>(form, name);
        QVERIFY(!e->isEnabled());
        QCOMPARE(e->font().pointSize(), 11);
        QCOMPARE(e->palette().color(QPalette::Disabled, QPalette::WindowText), QColor(Qt::darkRed));
        QCOMPARE(e->palette().color(QPalette::Disabled, QPalette::Text), QColor(Qt::darkRed));
    }
    QLabel *code = child<QLabel>(form, "label_QRcode");
    QCOMPARE(code->minimumSize(), QSize(200, 200));
    QCOMPARE(code->maximumSize(), QSize(268, 268));
    QCOMPARE(code->alignment(), Qt::AlignCenter);
    QVERIFY(!child<QLabel>(form, "labelNetBg")->pixmap(Qt::ReturnByValue).isNull());
}

QTEST_MAIN(TestNetWorkInfoForm)
#include "tst_networkinfoform.moc"
