#include "link/NetBroadCast.h"

#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

#include <QtTest>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <unistd.h>

using TestSupport::waitFor;

Q_DECLARE_METATYPE(QList<NetInterfaceInfo>)

namespace {

NetInterfaceInfo lan(const QString &mac, const QStringList &addresses)
{
    NetInterfaceInfo i;
    i.up = i.running = i.canBroadcast = i.canMulticast = true;
    i.hardwareAddress = mac;
    for (const QString &a : addresses)
        i.addresses << QHostAddress(a);
    return i;
}

QList<QHostAddress> addrs(const QStringList &texts)
{
    QList<QHostAddress> out;
    for (const QString &t : texts)
        out << QHostAddress(t);
    return out;
}

using TestSupport::inPrivateNetNamespace;
using TestSupport::runCommand;

} // namespace

class TestNetBroadCast : public QObject
{
    Q_OBJECT
private slots:
    void datagramText_data();
    void datagramText();
    void addressSelection_data();
    void addressSelection();
    void realDatagramsOverVeth();
    void cleanupTestCase();

private:
    QString m_vethA;
    QString m_vethB;
};

void TestNetBroadCast::datagramText_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("plain") << QStringLiteral("DESKTOP-7") << QStringLiteral("192.168.1.20") << 40123
                           << QByteArray("{\n"
                                         "    \"HostName\": \"DESKTOP-7\",\n"
                                         "    \"IP\": \"192.168.1.20\",\n"
                                         "    \"PCFunction\": \"vanteoServer\",\n"
                                         "    \"Port\": 40123,\n"
                                         "    \"Protocol\": \"TCP\"\n"
                                         "}\n");
    QTest::newRow("no address, default port") << QStringLiteral("pc") << QString() << 23333
                                              << QByteArray("{\n"
                                                            "    \"HostName\": \"pc\",\n"
                                                            "    \"IP\": \"\",\n"
                                                            "    \"PCFunction\": \"vanteoServer\",\n"
                                                            "    \"Port\": 23333,\n"
                                                            "    \"Protocol\": \"TCP\"\n"
                                                            "}\n");
    QTest::newRow("quote and backslash") << QStringLiteral("my \"pc\"\\x") << QStringLiteral("10.0.0.1") << 1
                                         << QByteArray("{\n"
                                                       "    \"HostName\": \"my \\\"pc\\\"\\\\x\",\n"
                                                       "    \"IP\": \"10.0.0.1\",\n"
                                                       "    \"PCFunction\": \"vanteoServer\",\n"
                                                       "    \"Port\": 1,\n"
                                                       "    \"Protocol\": \"TCP\"\n"
                                                       "}\n");
    QTest::newRow("chinese as utf-8, slash kept")
        << QStringLiteral("张三的电脑/书房") << QStringLiteral("10.0.0.1") << 65535
        << (QByteArray("{\n    \"HostName\": \"") + QStringLiteral("张三的电脑/书房").toUtf8() +
            QByteArray("\",\n"
                       "    \"IP\": \"10.0.0.1\",\n"
                       "    \"PCFunction\": \"vanteoServer\",\n"
                       "    \"Port\": 65535,\n"
                       "    \"Protocol\": \"TCP\"\n"
                       "}\n"));
    QTest::newRow("control characters")
        << QString::fromLatin1("a\nb\tc\rd\be\ff\x01g\x1fh\x7f\0", 17) << QStringLiteral("1.2.3.4") << 0
        << QByteArray("{\n"
                      "    \"HostName\": \"a\\nb\\tc\\rd\\be\\ff\\u0001g\\u001fh\x7f\\u0000\",\n"
                      "    \"IP\": \"1.2.3.4\",\n"
                      "    \"PCFunction\": \"vanteoServer\",\n"
                      "    \"Port\": 0,\n"
                      "    \"Protocol\": \"TCP\"\n"
                      "}\n");
}

void TestNetBroadCast::datagramText()
{
    QFETCH(QString, host);
    QFETCH(QString, ip);
    QFETCH(int, port);
    QFETCH(QByteArray, expected);
    const QByteArray text = NetBroadCast::datagramPayload(host, ip, port);
    QCOMPARE(text, expected);
    // Whatever the host name, a phone's JSON parser reads back the same values.
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(text, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(o.value(QLatin1String("HostName")).toString(), host);
    QCOMPARE(o.value(QLatin1String("IP")).toString(), ip);
    QCOMPARE(o.value(QLatin1String("Port")).toInt(-1), port);
}

void TestNetBroadCast::addressSelection_data()
{
    QTest::addColumn<QList<NetInterfaceInfo>>("interfaces");
    QTest::addColumn<QStringList>("resolved");
    QTest::addColumn<QStringList>("offered");

    const QString mac = QStringLiteral("3C:7C:3F:11:22:33");
    const QString vm1 = QStringLiteral("00:50:56:C0:00:01");
    const QString vm8 = QStringLiteral("00:50:56:C0:00:08");

    QTest::newRow("one adapter") << QList<NetInterfaceInfo>{lan(mac, {QStringLiteral("192.168.1.20")})}
                                 << QStringList{QStringLiteral("192.168.1.20")}
                                 << QStringList{QStringLiteral("192.168.1.20")};
    QTest::newRow("only the two virtual adapters: nothing")
        << QList<NetInterfaceInfo>{lan(vm1, {QStringLiteral("192.168.56.1")}),
                                   lan(vm8, {QStringLiteral("192.168.200.1")})}
        << QStringList{QStringLiteral("192.168.56.1"), QStringLiteral("192.168.200.1")} << QStringList();
    QTest::newRow("hardware address compared exactly, case included")
        << QList<NetInterfaceInfo>{lan(QStringLiteral("00:50:56:c0:00:01"), {QStringLiteral("192.168.56.1")})}
        << QStringList{QStringLiteral("192.168.56.1")} << QStringList{QStringLiteral("192.168.56.1")};
    QTest::newRow("link-local dropped") << QList<NetInterfaceInfo>{lan(
                                               mac, {QStringLiteral("169.254.3.4"), QStringLiteral("10.1.1.5")})}
                                        << QStringList{QStringLiteral("169.254.3.4"), QStringLiteral("10.1.1.5")}
                                        << QStringList{QStringLiteral("10.1.1.5")};
    QTest::newRow("resolver and interfaces must agree")
        << QList<NetInterfaceInfo>{lan(mac, {QStringLiteral("10.1.1.5"), QStringLiteral("10.9.9.9")})}
        << QStringList{QStringLiteral("172.16.0.7"), QStringLiteral("10.1.1.5")}
        << QStringList{QStringLiteral("10.1.1.5")};
    QTest::newRow("host name on loopback only (Linux): the adapters' addresses")
        << QList<NetInterfaceInfo>{lan(mac, {QStringLiteral("169.254.3.4"), QStringLiteral("10.1.1.5")}),
                                   lan(vm1, {QStringLiteral("192.168.56.1")}),
                                   lan(QStringLiteral("3C:7C:3F:11:22:44"), {QStringLiteral("192.168.1.9")})}
        << QStringList{QStringLiteral("127.0.1.1")}
        << QStringList{QStringLiteral("10.1.1.5"), QStringLiteral("192.168.1.9")};
    QTest::newRow("host name not resolved: the adapters' addresses")
        << QList<NetInterfaceInfo>{lan(mac, {QStringLiteral("10.1.1.5")})} << QStringList()
        << QStringList{QStringLiteral("10.1.1.5")};
    QTest::newRow("resolver order, not interface order")
        << QList<NetInterfaceInfo>{lan(mac, {QStringLiteral("10.0.0.1")}),
                                   lan(QStringLiteral("3C:7C:3F:11:22:44"), {QStringLiteral("192.168.1.9")})}
        << QStringList{QStringLiteral("192.168.1.9"), QStringLiteral("10.0.0.1")}
        << QStringList{QStringLiteral("192.168.1.9"), QStringLiteral("10.0.0.1")};
    QTest::newRow("IPv6 ignored on both sides")
        << QList<NetInterfaceInfo>{lan(
               mac, {QStringLiteral("fe80::1"), QStringLiteral("2001:db8::5"), QStringLiteral("10.0.0.1")})}
        << QStringList{QStringLiteral("2001:db8::5"), QStringLiteral("10.0.0.1")}
        << QStringList{QStringLiteral("10.0.0.1")};

    auto without = [&](void (*clear)(NetInterfaceInfo &)) {
        NetInterfaceInfo i = lan(mac, {QStringLiteral("10.0.0.1")});
        clear(i);
        return QList<NetInterfaceInfo>{i};
    };
    const QStringList one{QStringLiteral("10.0.0.1")};
    QTest::newRow("down") << without([](NetInterfaceInfo &i) { i.up = false; }) << one << QStringList();
    QTest::newRow("not running") << without([](NetInterfaceInfo &i) { i.running = false; }) << one << QStringList();
    QTest::newRow("no broadcast") << without([](NetInterfaceInfo &i) { i.canBroadcast = false; }) << one
                                  << QStringList();
    QTest::newRow("no multicast") << without([](NetInterfaceInfo &i) { i.canMulticast = false; }) << one
                                  << QStringList();
    QTest::newRow("loopback") << without([](NetInterfaceInfo &i) { i.loopback = true; }) << one << QStringList();
    QTest::newRow("no interfaces, no resolver") << QList<NetInterfaceInfo>() << QStringList() << QStringList();
}

void TestNetBroadCast::addressSelection()
{
    QFETCH(QList<NetInterfaceInfo>, interfaces);
    QFETCH(QStringList, resolved);
    QFETCH(QStringList, offered);
    QCOMPARE(NetBroadCast::selectAddresses(interfaces, addrs(resolved)), offered);
}

void TestNetBroadCast::realDatagramsOverVeth()
{
    if (geteuid() != 0)
        QSKIP("needs root to create a veth pair (scripts/test runs the suite as root inside unshare -n)");
    if (!inPrivateNetNamespace())
        QSKIP("not inside a private network namespace; run it under unshare -n (as scripts/test does)");

    // Names unique per process: other tests may share this namespace.
    const QString suffix = QString::number(getpid() % 100000);
    m_vethA = QStringLiteral("nbA") + suffix;
    m_vethB = QStringLiteral("nbB") + suffix;
    QString error;
    if (!runCommand(QStringLiteral("ip"),
                    {QStringLiteral("link"), QStringLiteral("add"), m_vethA, QStringLiteral("type"),
                     QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), m_vethB},
                    &error)) {
        m_vethA.clear();
        QSKIP(qPrintable(QStringLiteral("cannot create a veth pair: ") + error));
    }
    QVERIFY2(runCommand(QStringLiteral("ip"),
                        {QStringLiteral("addr"), QStringLiteral("add"), QStringLiteral("10.77.0.1/24"),
                         QStringLiteral("broadcast"), QStringLiteral("10.77.0.255"), QStringLiteral("dev"), m_vethA},
                        &error),
             qPrintable(error));
    QVERIFY2(runCommand(QStringLiteral("ip"),
                        {QStringLiteral("addr"), QStringLiteral("add"), QStringLiteral("10.77.0.2/24"),
                         QStringLiteral("broadcast"), QStringLiteral("10.77.0.255"), QStringLiteral("dev"), m_vethB},
                        &error),
             qPrintable(error));
    for (const QString &dev : {m_vethA, m_vethB})
        QVERIFY2(runCommand(QStringLiteral("ip"),
                            {QStringLiteral("link"), QStringLiteral("set"), dev, QStringLiteral("up")}, &error),
                 qPrintable(error));
    // The limited broadcast needs a route; a host route keeps every other destination unreachable.
    QVERIFY2(runCommand(QStringLiteral("ip"),
                        {QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("255.255.255.255/32"),
                         QStringLiteral("dev"), m_vethA},
                        &error),
             qPrintable(error));

    // The veth pair qualifies as a LAN adapter; loopback does not.
    QStringList candidates;
    QVERIFY(waitFor(
        [&] {
            candidates = NetBroadCast::candidateAddresses(NetBroadCast::machineInterfaces());
            return candidates.contains(QStringLiteral("10.77.0.1")) && candidates.contains(QStringLiteral("10.77.0.2"));
        },
        10000));
    QVERIFY(!candidates.contains(QStringLiteral("127.0.0.1")));

    NetBroadCast *b = NetBroadCast::getInstance();
    QCOMPARE(b, NetBroadCast::getInstance());
    QCOMPARE(b->getPort(), 23333);
    QCOMPARE(b->getHostName(), QHostInfo::localHostName());
    b->setPort(45678);
    b->setIP(QStringLiteral("10.77.0.1"));
    QCOMPARE(b->getIP(), QStringLiteral("10.77.0.1"));

    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress::AnyIPv4, NetBroadCast::kBroadcastPort,
                          QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
    // Other tests in this namespace may broadcast too; only datagrams carrying our port count.
    auto nextDatagram = [&](int timeoutMs) {
        QNetworkDatagram d;
        waitFor(
            [&] {
                while (receiver.hasPendingDatagrams() && !d.isValid()) {
                    const QNetworkDatagram candidate = receiver.receiveDatagram();
                    if (candidate.data().contains("\"Port\": 45678,"))
                        d = candidate;
                }
                return d.isValid();
            },
            timeoutMs);
        return d;
    };

    // The program's own destination, 255.255.255.255:18888, on the first tick 3 s after the start.
    QElapsedTimer t;
    t.start();
    b->startBroadcast();
    QVERIFY(b->isBroadcasting());
    QNetworkDatagram d = nextDatagram(6000);
    const qint64 firstMs = t.elapsed();
    QVERIFY2(d.isValid(), "no datagram on port 18888");
    QVERIFY2(firstMs >= 2500 && firstMs <= 5000, qPrintable(QString::number(firstMs)));
    QCOMPARE(d.data(), NetBroadCast::datagramPayload(QHostInfo::localHostName(), QStringLiteral("10.77.0.1"), 45678));
    QCOMPARE(d.destinationAddress().toString(), QStringLiteral("255.255.255.255"));
    QVERIFY(QStringList({QStringLiteral("10.77.0.1"), QStringLiteral("10.77.0.2")})
                .contains(QHostAddress(d.senderAddress().toIPv4Address()).toString()));

    // A new choice goes out from the next tick on, here to the subnet broadcast of the pair.
    b->setDestinationForTests(QHostAddress(QStringLiteral("10.77.0.255")), NetBroadCast::kBroadcastPort);
    b->setIP(QStringLiteral("10.77.0.2"));
    t.restart();
    d = nextDatagram(6000);
    QVERIFY2(d.isValid(), "no second datagram");
    QVERIFY2(t.elapsed() <= 4000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(d.data(), NetBroadCast::datagramPayload(QHostInfo::localHostName(), QStringLiteral("10.77.0.2"), 45678));
    QCOMPARE(d.destinationAddress().toString(), QStringLiteral("10.77.0.255"));
}

void TestNetBroadCast::cleanupTestCase()
{
    // Deleting one end removes the pair, its addresses and the route through it.
    if (!m_vethA.isEmpty())
        runCommand(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("del"), m_vethA});
}

QTEST_GUILESS_MAIN(TestNetBroadCast)
#include "tst_netbroadcast.moc"
