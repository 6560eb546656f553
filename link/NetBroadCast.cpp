#include "link/NetBroadCast.h"

#include <QHostInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QPixmap>
#include <QTimer>
#include <QUdpSocket>

#include <qrencode.h>

#include <memory>

Q_LOGGING_CATEGORY(lcBroadcast, "vanteo.link.broadcast")

namespace {

// Virtual adapters of a desktop virtualisation product; phones can't reach the PC through them.
const QLatin1String kExcludedMac1("00:50:56:C0:00:01");
const QLatin1String kExcludedMac2("00:50:56:C0:00:08");

bool isLinkLocal(const QHostAddress &address)
{
    return address.isInSubnet(QHostAddress(QStringLiteral("169.254.0.0")), 16);
}

} // namespace

NetInterfaceInfo NetInterfaceInfo::fromInterface(const QNetworkInterface &iface)
{
    NetInterfaceInfo info;
    const QNetworkInterface::InterfaceFlags flags = iface.flags();
    info.up = flags.testFlag(QNetworkInterface::IsUp);
    info.running = flags.testFlag(QNetworkInterface::IsRunning);
    info.canBroadcast = flags.testFlag(QNetworkInterface::CanBroadcast);
    info.canMulticast = flags.testFlag(QNetworkInterface::CanMulticast);
    info.loopback = flags.testFlag(QNetworkInterface::IsLoopBack);
    info.hardwareAddress = iface.hardwareAddress();
    const QList<QNetworkAddressEntry> entries = iface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries)
        info.addresses << entry.ip();
    return info;
}

NetBroadCast *NetBroadCast::getInstance()
{
    static NetBroadCast *instance = new NetBroadCast;
    return instance;
}

NetBroadCast::NetBroadCast(QObject *parent)
    : QObject(parent), m_watchTimer(new QTimer(this)), m_timer(new QTimer(this)),
      m_hostName(QHostInfo::localHostName()), m_socket(new QUdpSocket(this))
{
    m_timer->setInterval(kIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &NetBroadCast::broadcastDatagram);
    m_watchTimer->setInterval(kWatchMs);
    connect(m_watchTimer, &QTimer::timeout, this, &NetBroadCast::checkNetworkNow);
    const QStringList chosen = selectAddresses(machineInterfaces(), resolveLocalHost(m_hostName));
    if (!chosen.isEmpty())
        m_ip = chosen.last();
}

void NetBroadCast::setPort(int port)
{
    m_port = port;
}

int NetBroadCast::getPort() const
{
    return m_port;
}

void NetBroadCast::startBroadcast()
{
    m_timer->start(kIntervalMs);
}

bool NetBroadCast::isBroadcasting() const
{
    return m_timer->isActive();
}

void NetBroadCast::setIP(QString ip)
{
    m_ip = ip;
}

QString NetBroadCast::getIP() const
{
    return m_ip;
}

QString NetBroadCast::getHostName() const
{
    return m_hostName;
}

QStringList NetBroadCast::getLocalIPList() const
{
    if (m_ipListFixed)
        return m_fixedIPList;
    return selectAddresses(machineInterfaces(), resolveLocalHost(m_hostName));
}

void NetBroadCast::startWatchingNetwork(const QStringList &shownList)
{
    m_watchedList = shownList;
    m_watchedCandidates = m_ipListFixed ? m_fixedIPList : candidateAddresses(machineInterfaces());
    m_watchTimer->start();
}

bool NetBroadCast::isWatchingNetwork() const
{
    return m_watchTimer->isActive();
}

void NetBroadCast::publishIfChanged(const QStringList &list)
{
    if (list == m_watchedList)
        return;
    m_watchedList = list;
    qCInfo(lcBroadcast) << "network changed; addresses now" << list;
    emit localIPListChanged(list);
}

void NetBroadCast::checkNetworkNow()
{
    if (m_ipListFixed) {
        publishIfChanged(m_fixedIPList);
        return;
    }
    const QStringList candidates = candidateAddresses(machineInterfaces());
    if (candidates == m_watchedCandidates)
        return;
    m_watchedCandidates = candidates;
    if (m_lookupId >= 0) {
        m_lookAgain = true;
        return;
    }
    // The resolver may have to ask the network; the answer comes back through the event loop.
    m_lookupId = QHostInfo::lookupHost(m_hostName, this, [this](const QHostInfo &info) {
        m_lookupId = -1;
        publishIfChanged(selectAddresses(machineInterfaces(), info.addresses()));
        if (m_lookAgain) {
            m_lookAgain = false;
            m_watchedCandidates = QStringList{QString()}; // no real list: the look below resolves again
            checkNetworkNow();
        }
    });
}

void NetBroadCast::setDestinationForTests(const QHostAddress &address, quint16 port)
{
    m_destination = address;
    m_destinationPort = port;
}

void NetBroadCast::setLocalIPListForTests(const QStringList &addresses)
{
    m_ipListFixed = true;
    m_fixedIPList = addresses;
}

void NetBroadCast::clearLocalIPListForTests()
{
    m_ipListFixed = false;
    m_fixedIPList.clear();
}

void NetBroadCast::setHostNameForTests(const QString &hostName)
{
    m_hostName = hostName;
}

QString NetBroadCast::connectionText(const QString &hostName, const QString &ip, int port)
{
    return QLatin1String("{HostName:") + hostName + QLatin1String(",IP:") + ip + QLatin1String(",Port:") +
        QString::number(port) + QLatin1Char('}');
}

QPixmap NetBroadCast::createQrCode(QString ip)
{
    return makeQrPixmap(connectionText(m_hostName, ip, m_port));
}

QPixmap NetBroadCast::makeQrPixmap(QString text)
{
    if (text.isEmpty())
        return QPixmap();
    const QByteArray utf8 = text.toUtf8();
    // Version 1 is only the smallest start; the library grows the symbol as the text needs.
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString(utf8.constData(), 1, QR_ECLEVEL_L, QR_MODE_8, 1), &QRcode_free);
    if (!code || code->width <= 0)
        return QPixmap();

    const int width = code->width;
    QImage image(width, width, QImage::Format_Indexed8);
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(0, 0, 0)});
    image.fill(0);
    const unsigned char *module = code->data;
    for (int y = 0; y < width; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < width; ++x, ++module) {
            if (*module & 1) // the lowest bit marks a dark module
                line[x] = 1;
        }
    }
    return QPixmap::fromImage(image.scaledToWidth(200, Qt::FastTransformation));
}

void NetBroadCast::broadcastDatagram()
{
    // A failed send is simply repeated at the next tick.
    m_socket->writeDatagram(datagramPayload(m_hostName, m_ip, m_port), m_destination, m_destinationPort);
}

QString NetBroadCast::jsonString(const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        const ushort u = c.unicode();
        switch (u) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            if (u < 0x20) {
                out += QLatin1String("\\u00");
                out += QLatin1Char(hex[u >> 4]);
                out += QLatin1Char(hex[u & 0xf]);
            } else {
                out += c;
            }
        }
    }
    out += QLatin1Char('"');
    return out;
}

QByteArray NetBroadCast::datagramPayload(const QString &hostName, const QString &ip, int port)
{
    const QList<QPair<QString, QString>> members = {
        {QStringLiteral("HostName"), jsonString(hostName)},
        {QStringLiteral("IP"), jsonString(ip)},
        {QStringLiteral("PCFunction"), jsonString(QStringLiteral("vanteoServer"))},
        {QStringLiteral("Port"), QString::number(port)},
        {QStringLiteral("Protocol"), jsonString(QStringLiteral("TCP"))},
    };
    QString text = QStringLiteral("{\n");
    for (int i = 0; i < members.size(); ++i) {
        text += QLatin1String("    ") + jsonString(members.at(i).first) + QLatin1String(": ") + members.at(i).second;
        if (i + 1 < members.size())
            text += QLatin1Char(',');
        text += QLatin1Char('\n');
    }
    text += QLatin1String("}\n");
    return text.toUtf8();
}

QStringList NetBroadCast::candidateAddresses(const QList<NetInterfaceInfo> &interfaces)
{
    QStringList candidates;
    for (const NetInterfaceInfo &iface : interfaces) {
        if (!iface.up || !iface.running || !iface.canBroadcast || !iface.canMulticast || iface.loopback)
            continue;
        if (iface.hardwareAddress == kExcludedMac1 || iface.hardwareAddress == kExcludedMac2)
            continue;
        for (const QHostAddress &address : iface.addresses) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol)
                candidates << address.toString();
        }
    }
    return candidates;
}

QStringList NetBroadCast::selectAddresses(const QList<NetInterfaceInfo> &interfaces,
                                          const QList<QHostAddress> &resolved)
{
    const QStringList candidates = candidateAddresses(interfaces);
    QStringList chosen;
    for (const QHostAddress &address : resolved) {
        if (address.protocol() != QAbstractSocket::IPv4Protocol || isLinkLocal(address))
            continue;
        const QString text = address.toString();
        if (candidates.contains(text))
            chosen << text;
    }
    // On Linux the host name usually resolves to a loopback address only (Debian maps it to
    // 127.0.1.1 in /etc/hosts), so the resolver names none of the adapters: the adapters' own
    // addresses are offered then, or the PC would announce no address at all.
    if (chosen.isEmpty()) {
        for (const QString &text : candidates) {
            if (!isLinkLocal(QHostAddress(text)))
                chosen << text;
        }
    }
    return chosen;
}

QList<NetInterfaceInfo> NetBroadCast::machineInterfaces()
{
    QList<NetInterfaceInfo> infos;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all)
        infos << NetInterfaceInfo::fromInterface(iface);
    return infos;
}

QList<QHostAddress> NetBroadCast::resolveLocalHost(const QString &hostName)
{
    return QHostInfo::fromName(hostName).addresses();
}
