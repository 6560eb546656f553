#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

class QIODevice;
class QTcpServer;
class QTcpSocket;

// A small blocking FTP client (RFC 959 over QTcpSocket, passive data connections only).
// Every operation blocks the calling thread on socket waits and reports 0 / -1; it emits
// no signals. The crash-report worker uses it to store dump files on the vendor's server.
// The client and its sockets belong to the thread that created it and are used only there.
class FTP_Client : public QObject
{
    Q_OBJECT
public:
    static constexpr int kControlConnectMs = 500;
    static constexpr int kDataConnectMs = 1000;
    static constexpr int kDefaultWaitMs = 30000;
    static constexpr int kBlockSize = 8192;

    explicit FTP_Client(QObject *parent = nullptr);
    ~FTP_Client() override;

    // Upper bound of every wait for a reply or for written data (30 s unless tests shorten it).
    void setWaitTimeout(int ms);
    int waitTimeout() const { return m_waitMs; }

    // When *flag becomes true (set from any thread), every pending and later wait gives up
    // within about 100 ms, so the owner of a worker thread can end it quickly.
    void setAbortFlag(const std::atomic<bool> *flag) { m_abortFlag = flag; }

    // --- operations behind the slots; public so they can be used and tested one by one ---
    int Login(const QString &user, const QString &passwd);
    // Opens a fresh passive data connection (PASV, then the announced address, else the
    // control server's address with the announced port).
    int PassiveConnect();
    // Working directory, or empty text when the server does not answer 257 with a quoted path.
    QString PWD();
    // Creates a folder; *created receives the quoted path of the reply.
    int MKD(const QString &name, QString *created = nullptr);
    int RMD(const QString &name);
    // Lists path (the working directory when empty); *lines receives the listing.
    int LIST(const QString &path, QStringList *lines = nullptr);
    // Fetches remote file name into folder + "/" + its base name. The local file is replaced
    // only when the whole transfer succeeded.
    int RETR(const QString &folder, const QString &name);
    // Stores the local file under its base name.
    int STOR(const QString &localPath);
    // Stores size bytes read from source under remoteName; -1 when source ends early.
    int storeData(QIODevice *source, qint64 size, const QString &remoteName);

    // The listing of the last RefreshFileList / AddFolder.
    QStringList fileList() const { return m_fileList; }
    QString lastCommand() const { return m_lastCommand; }
    QString transferMode() const { return m_transferMode; }
    QTcpSocket *controlSocket() const { return m_control; }

    struct PassiveAddress
    {
        QString host;
        quint16 port = 0;
        int numbers = 0; // how many of the six numbers held a digit
    };
    // Reads "227 ... (h1,h2,h3,h4,p1,p2)": everything up to the first space is skipped, digits
    // accumulate into six numbers and a comma moves to the next one once a digit was seen.
    static PassiveAddress parsePassiveReply(const QByteArray &reply);

    // A command argument must not carry a line break, or it could smuggle in a second command.
    static bool isSafeArgument(const QString &text);

public slots:
    int ConnectFTP(QString server, int port, QString user, QString passwd);
    QString RecvLine(QTcpSocket *socket);
    QStringList RecvAll(QTcpSocket *socket);
    int SendLine(QTcpSocket *socket, QString str);
    int RefreshFileList();
    int Delete();
    int AddFolder();
    int Upload(QString fileName);
    int Download();
    int ClearTaskList();
    int Quit();

private:
    bool aborted() const;
    bool waitForLine(QTcpSocket *socket);
    bool waitForData(QTcpSocket *socket);
    bool waitUntilWritten(QTcpSocket *socket);
    QByteArray readUntilClosed(QTcpSocket *socket);
    void dropDataSocket();
    void closeDataSocket();
    static QString quotedPath(const QString &reply);
    static bool isTransferStart(const QString &reply);

    QString m_server;
    QString m_user;
    QString m_password;
    QTcpSocket *m_control = nullptr;
    QTcpSocket *m_data = nullptr;
    QTcpServer *m_dataServer = nullptr; // active transfers only; no operation sets them up
    QString m_lastCommand;
    QString m_transferMode = QStringLiteral("IDLE");
    QStringList m_taskList;
    QStringList m_fileList;
    int m_waitMs = kDefaultWaitMs;
    const std::atomic<bool> *m_abortFlag = nullptr;
};
