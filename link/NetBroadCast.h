#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkInterface;
class QPixmap;
class QTimer;
class QUdpSocket;

// What the address selection needs to know about one network interface. Filled from
// QNetworkInterface for the real machine; tests fabricate it.
struct NetInterfaceInfo
{
    bool up = false;
    bool running = false;
    bool canBroadcast = false;
    bool canMulticast = false;
    bool loopback = false;
    QString hardwareAddress;
    QList<QHostAddress> addresses;

    static NetInterfaceInfo fromInterface(const QNetworkInterface &iface);
};

// Announces the PC to phones on the local network: every 3 seconds one UDP datagram to the limited
// broadcast address, port 18888, with a small JSON text naming the host, the chosen IPv4 address and
// the command server's port. It also owns the choice of that address and the list the user may
// pick from on the network page.
class NetBroadCast : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kBroadcastPort = 18888;
    static constexpr int kIntervalMs = 3000;
    // How often the interfaces are looked at for a changed network.
    static constexpr int kWatchMs = 2500;

    static NetBroadCast *getInstance();

    void setPort(int port);
    int getPort() const;
    void startBroadcast();
    void setIP(QString ip);
    QString getIP() const;
    QString getHostName() const;
    // The addresses the user may choose from, in resolver order (looked up afresh on each call).
    QStringList getLocalIPList() const;

    // Follows network changes: every kWatchMs the interfaces' addresses are read (cheap, no
    // name lookup); when they differ from the last look, the list is made again (the host name
    // resolved without blocking) and localIPListChanged() is emitted if it changed. The list
    // given is the one the caller shows now.
    void startWatchingNetwork(const QStringList &shownList);
    bool isWatchingNetwork() const;
    // One look now instead of at the next tick (tests, and the page when it is shown).
    void checkNetworkNow();

    // The datagram text for these values, exactly as it goes out (UTF-8).
    static QByteArray datagramPayload(const QString &hostName, const QString &ip, int port);
    // A JSON string literal (with its quotes) for text.
    static QString jsonString(const QString &text);

    // IPv4 texts of the interfaces that may carry the announcement, in interface order.
    static QStringList candidateAddresses(const QList<NetInterfaceInfo> &interfaces);
    // The resolver's IPv4 addresses, in its order, that are not link-local and are candidates;
    // when the resolver names no candidate, the candidates that are not link-local, in interface
    // order. The startup address is the last of them.
    static QStringList selectAddresses(const QList<NetInterfaceInfo> &interfaces, const QList<QHostAddress> &resolved);
    static QList<NetInterfaceInfo> machineInterfaces();

    // Tests only: where datagrams go (the program always uses 255.255.255.255:18888).
    void setDestinationForTests(const QHostAddress &address, quint16 port);
    bool isBroadcasting() const;

    // The text a phone reads from the QR code: {HostName:<host>,IP:<ip>,Port:<port>}, no quotes.
    static QString connectionText(const QString &hostName, const QString &ip, int port);
    // The QR picture of the connection text for ip with this host name and port.
    QPixmap createQrCode(QString ip);
    // The QR symbol of text, 200 pixels wide, black on white, without a quiet zone (whoever
    // shows it supplies the white margin). A null pixmap for empty text or when encoding fails.
    static QPixmap makeQrPixmap(QString text);

    // Tests only: a fixed address list instead of the machine's (an empty list included), and
    // a fixed host name. clearLocalIPListForTests() goes back to the machine's list.
    void setLocalIPListForTests(const QStringList &addresses);
    void clearLocalIPListForTests();
    void setHostNameForTests(const QString &hostName);

signals:
    void localIPListChanged(const QStringList &addresses);

public slots:
    void broadcastDatagram();

private:
    explicit NetBroadCast(QObject *parent = nullptr);
    static QList<QHostAddress> resolveLocalHost(const QString &hostName);
    void publishIfChanged(const QStringList &list);

    QTimer *m_watchTimer;
    QStringList m_watchedList;       // the list last published (or shown at the start)
    QStringList m_watchedCandidates; // the interfaces' addresses at the last look
    int m_lookupId = -1;             // a host name lookup in flight
    bool m_lookAgain = false;        // the interfaces changed again during that lookup

    QTimer *m_timer;
    QString m_ip;
    QString m_hostName;
    int m_port = 23333;
    QUdpSocket *m_socket;
    QHostAddress m_destination = QHostAddress(QHostAddress::Broadcast);
    quint16 m_destinationPort = kBroadcastPort;
    bool m_ipListFixed = false;
    QStringList m_fixedIPList;
};
