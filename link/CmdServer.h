#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class CmdClientThread;
class QThread;
class TcpSocket;

// The TCP server phones connect to first. Each connection gets a TcpSocket and a
// CmdClientThread; the server decides whether a phone may back up here (asking the user about
// a phone it does not know), keeps the device list, tells the pages about devices, and removes a
// connection (and, when the user deleted the device, its album database) when the phone goes.
// Lives on the GUI thread; every slot runs there.
//
// Any device on the network reaches this port, so connections are bounded: per peer address and
// in total (a newcomer takes the place of the oldest connection that is not an authorised phone,
// or is closed at once), a connection must name itself within a time-out, and new names are put
// to the user one at a time, the others waiting in a bounded queue. The bounds are for strangers:
// connections that name an authorised phone do not count toward their address's share (phones
// behind one router), and a phone that names itself again from the same address replaces its
// older connections, which a dropped Wi-Fi link may have left behind without a FIN.
class CmdServer : public QTcpServer
{
    Q_OBJECT
public:
    struct Limits
    {
        int perAddress = 4;        // command connections from one address
        int total = 64;            // command connections in all
        int nameTimeoutMs = 15000; // until a valid device record (type 1)
        int waitingQuestions = 8;  // new names waiting behind the open authorisation question
    };

    CmdServer(QObject *parent, int maxPending, QString savepath);
    ~CmdServer() override;

    // listen() with a backlog the system's maximum: under a flood of connections a phone's SYN
    // must find room in the queue rather than be dropped.
    bool listenForPhones(quint16 port = 0);

    QString savePath() const { return m_savepath; }
    int connectionCount() const { return m_clients.size(); }
    // The live connection with that descriptor, or null.
    CmdClientThread *connection(int sockid) const { return m_clients.value(sockid); }
    QList<CmdClientThread *> connections() const { return m_clients.values(); }
    void setLimits(const Limits &limits) { m_limits = limits; }
    Limits limits() const { return m_limits; }
    // New names waiting behind the open authorisation question.
    int waitingNames() const { return m_waiting.size(); }

    // Empties the phone's album database and removes its file (the folder and the received files
    // stay). Returns false when the name is not one that could have a database.
    static bool wipeDeviceDatabase(const QString &devName);

signals:
    void connectClient(int, QString, ushort);
    void readData(int, QString, ushort, QByteArray);
    void sockDisConnect(int, QString, ushort);
    void sentData(QByteArray, int);
    void sentDisConnect(int i);
    void UpdateText(QString);
    void UpdateMaximum(int);
    void UpdatePercent(int);
    void createNewTask(TcpSocket *);
    void UpdateRemoteInfo(QString devName, bool isNewUser);
    void UpdatePublicInfo(int type, QString devName);
    void UpdateDBNumberInfo(int num, QString devName);
    void ClientClosed(int socket, QString devName);
    // A new name is put to the user now.
    void approvalAsked(const QString &devName, const QString &address);

public slots:
    void clear();
    // From the mobile users page: the user deleted this device.
    void recvDeleteSlot(QString devName);

protected slots:
    void sockDisConnectSlot(int handle, QString ip, ushort prot, QThread *th);
    void threadFinished(TcpSocket *tcpsocket, QString devName);
    void recvDeviceSlot(int sockid, QString devName);
    void recvPublicInfoSlot(int sockid, int type, QString devName);
    void recvDatabaseNumberSlot(int sockid, int num, QString devName);
    void ClientClosedSlot(int sockid, QString devName);

protected:
    void incomingConnection(qintptr handle) override;

private:
    // The connection that raised a queued signal, when it is still the one listed under sockid
    // (a descriptor may be reused by a later connection).
    CmdClientThread *senderConnection(int sockid) const;
    void destroyConnection(CmdClientThread *thread);
    struct Peer;
    // Room for one more connection from peer: false when every connection in the way is an
    // authorised phone or waits for the user's answer. A household newcomer (its first record names
    // an authorised phone) is not held to its address's share.
    bool makeRoom(const QHostAddress &peer, bool household);
    void drainAcceptTokens();
    bool evictable(CmdClientThread *thread, Peer &peer);
    void evict(CmdClientThread *thread, const char *why);
    // Ends a connection taken off the table, wiping the device's database when the user deleted it.
    void endConnection(CmdClientThread *thread);
    void nameTimedOut(CmdClientThread *thread);
    // Whether the connection is an authorised phone's, or its first record, received so far,
    // names one.
    bool household(CmdClientThread *thread, Peer &peer);
    // The same phone come back: its older connections from that address are let go.
    void replaceOlderConnections(CmdClientThread *thread, const QString &devName);

    // Authorisation of new names, one question at a time. A question belongs to a name, not to a
    // connection: it stays open until the user answers, and the answer applies to every
    // connection waiting under that name (or, with none left, to the phone's next one).
    struct Asking
    {
        QString devName;
        QString address;
    };
    void askOrQueue(CmdClientThread *thread, const QString &devName);
    void ask(const Asking &asking);
    void askNext();
    void answered(bool authorised);
    // Configures every live connection waiting under devName.
    void decide(const QString &devName, bool authorised, bool isNewUser);
    // The connection goes: a queued name nobody waits for any more is dropped; an open question
    // stays.
    void forgetQuestion(CmdClientThread *thread);
    void configure(CmdClientThread *thread, const QString &devName, bool authorised, bool isNewUser);
    void recordDevice(const QString &devName, const QString &folder, bool isNewUser);

    QHash<int, CmdClientThread *> m_clients;
    int m_maxPending;
    QString m_savepath;
    Limits m_limits;
    // Peer address (IPv4 form when mapped), order of arrival, whether it has sent anything and the
    // first bytes it sent, for every listed connection. Silent connections give way first, oldest
    // first; household ones never.
    struct Peer
    {
        QHostAddress address;
        quint64 serial = 0;
        bool spoke = false;
        bool household = false;
        bool checked = false; // household decided from a whole first record
        QByteArray head;      // what it sent, up to one record
    };
    QHash<CmdClientThread *, Peer> m_peers;
    quint64 m_serial = 0;
    // Connections whose device record waits for the user's answer (asked or queued), with the name.
    QHash<CmdClientThread *, QString> m_deciding;
    Asking m_asking;
    int m_questionId = 0;
    QList<Asking> m_waiting;

public:
    // New names waiting for the user's answer: the one asked now, then those queued behind it.
    QStringList pendingNames() const;
    // Answers for a waiting name as the question's 确定 (ok) or 取消 would; a queued name is
    // answered without waiting for its turn. False when the name waits for no answer.
    bool answer(const QString &devName, bool ok);
};
