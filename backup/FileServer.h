#pragma once

#include <QHostAddress>
#include <QSet>
#include <QString>
#include <QTcpServer>

class FileClientThread;

// The file server of one phone: its command connection creates it, lets it listen and tells the phone
// the port. Each file connection is handed, descriptor and all, to a FileClientThread that reads it,
// stores the files and answers the phone on its own thread; the server only accepts, checks the peer
// and relays each stored file as updateImageInfo, emitted on that connection's thread before the
// phone gets its acknowledgement. A receiver connected with Qt::DirectConnection (which must then be
// thread-safe) records the file before the phone hears of it; one connected the usual way hears of
// it later on its own thread. Only the phone's own address may connect once setAllowedPeer() has
// been called.
//
// Use from the command connection (all on its thread):
//   auto *server = new FileServer(this, 100);
//   server->listen(QHostAddress::Any, 0);
//   server->setSavePath(deviceFolder);
//   server->setDeviceName(name);
//   server->setAllowedPeer(commandSocket->peerAddress());
//   connect(server, &FileServer::updateImageInfo, this, &CmdClientThread::updateImageInfoSlot,
//           Qt::DirectConnection);
//   filePort = server->serverPort();
class FileServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit FileServer(QObject *parent = nullptr, int maxPending = 100);
    ~FileServer() override; // stops and waits for every worker

    void setSavePath(QString path);
    // The phone's name: its activity is reported to the transfer monitor under it.
    void setDeviceName(const QString &name);
    QString deviceName() const { return m_device; }
    // Only connections from this address are served (an IPv4-mapped IPv6 address counts as the IPv4 one);
    // others are closed at once. A null address (the default) lets every address in.
    void setAllowedPeer(const QHostAddress &address);
    int workerCount() const { return m_workers.size(); }

signals:
    // A file stored (or found already there), about to be acknowledged; emitted on the file
    // connection's thread, not for files that were not stored.
    void updateImageInfo(int ratio, QString fullImageName, QString strMd5, QString smallFileMd5, QString createTime,
                         QString mobileFilePath);

public slots:
    void clear();

protected slots:
    // Called on the worker's own thread, before the phone is answered.
    void recvImageInfoSlot(int sockid, int ratio, QString fullImageName, QString strMd5, QString smallFileMd5,
                           QString createTime, int writeStatus, QString mobileFilePath);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void retire(FileClientThread *worker);
    static QHostAddress normalised(const QHostAddress &address);

    QSet<FileClientThread *> m_workers; // every running worker, owned
    int m_maxPending;
    QString m_savePath;
    QString m_device;
    QHostAddress m_allowedPeer;
};

// The thumbnail the phone asked for: the image at path (orientation applied) scaled down to width / ratio
// by height / ratio and encoded in the format of the file's suffix; empty when there is none to make.
// Called on file connection threads, never on the GUI thread.
QByteArray makeThumbnail(const QString &path, int ratio);
