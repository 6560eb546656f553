#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QTcpServer>

class FileClientThread;
class QThread;
class TcpSocket;

// The file server of one phone: its command connection creates it, lets it listen and tells the phone
// the port. Each file connection gets a TcpSocket and a FileClientThread that stores the files; the
// server acknowledges each file to the phone, sends a thumbnail when asked and reports stored files with
// updateImageInfo. Only the phone's own address may connect once setAllowedPeer() has been called.
//
// Use from the command connection (all on its thread):
//   auto *server = new FileServer(this, 100);
//   server->listen(QHostAddress::Any, 0);
//   server->setSavePath(deviceFolder);
//   server->setAllowedPeer(commandSocket->peerAddress());
//   connect(server, &FileServer::updateImageInfo, this, &CmdClientThread::updateImageInfoSlot);
//   filePort = server->serverPort();
class FileServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit FileServer(QObject *parent = nullptr, int maxPending = 100);
    ~FileServer() override;  // stops and waits for every worker

    void setSavePath(QString path);
    // Only connections from this address are served (an IPv4-mapped IPv6 address counts as the IPv4 one);
    // others are closed at once. A null address (the default) lets every address in.
    void setAllowedPeer(const QHostAddress &address);
    int workerCount() const { return m_workers.size(); }

signals:
    void connectClient(int, QString, ushort);
    void readData(int, QString, ushort, QByteArray);
    void sockDisConnect(int, QString, ushort);
    void sentData(QByteArray, int);
    void sentDisConnect(int i);
    void updateImageInfo(int ratio, QString fullImageName, QString strMd5, QString smallFileMd5, QString createTime,
                         QString mobileFilePath);
    void UpdateText(QString);
    void UpdateMaximum(int);
    void UpdatePercent(int);
    void createNewTask(TcpSocket *);

public slots:
    void clear();

protected slots:
    void sockDisConnectSlot(int handle, QString ip, ushort prot, QThread *th);
    void threadFinished(TcpSocket *tcpsocket, QString devName);
    void recvImageInfoSlot(int sockid, int ratio, QString fullImageName, QString strMd5, QString createTime,
                           int writeStatus, QString mobileFilePath);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void retire(FileClientThread *worker);
    FileClientThread *workerFor(int sockid) const;
    static QHostAddress normalised(const QHostAddress &address);

    QHash<int, FileClientThread *> m_clients;  // by socket descriptor, as the phone's reports name them
    QSet<FileClientThread *> m_workers;         // every running worker, owned (a descriptor may be reused)
    int m_maxPending;
    QMutex m_mutex;
    QString m_savePath;
    QHostAddress m_allowedPeer;
};

// The thumbnail the phone asked for: the image at path (orientation applied) scaled down to width / ratio
// by height / ratio and encoded in the format of the file's suffix; empty when there is none to make.
QByteArray makeThumbnail(const QString &path, int ratio);
