#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QTcpServer>

class CmdClientThread;
class QThread;
class TcpSocket;

// The TCP server phones connect to first. Each connection gets a TcpSocket and a
// CmdClientThread; the server decides whether a phone may back up here (asking the user about
// a phone it does not know), keeps the device list, tells the pages about devices, and removes a
// connection (and, when the user deleted the device, its album database) when the phone goes.
// Lives on the GUI thread; every slot runs there.
class CmdServer : public QTcpServer
{
    Q_OBJECT
public:
    CmdServer(QObject *parent, int maxPending, QString savepath);
    ~CmdServer() override;

    QString savePath() const { return m_savepath; }
    int connectionCount() const { return m_clients.size(); }
    // The live connection with that descriptor, or null.
    CmdClientThread *connection(int sockid) const { return m_clients.value(sockid); }
    QList<CmdClientThread *> connections() const { return m_clients.values(); }

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

    QHash<int, CmdClientThread *> m_clients;
    int m_maxPending;
    QString m_savepath;
    // Connections whose device record waits for the user's answer.
    QSet<CmdClientThread *> m_deciding;
};
