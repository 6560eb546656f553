#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

class QAbstractSocket;
class QTcpSocket;

// Plays a phone against the PC program: finds it (broadcast or given address), names itself,
// asks for the file port, sends a folder of files and checks every acknowledgement, can download
// its album database and list it. Every wait is bounded by the time-out.
class PhoneSim
{
public:
    enum Exit { Ok = 0, Failed = 1, Usage = 2, Refused = 3, Unreachable = 4 };

    struct Options
    {
        QString host; // empty: listen for the broadcast
        int port = 0;
        QString name;
        QString dir; // files to send (recursively); empty: none
        int ratio = 1;
        int timeoutMs = 30000; // each wait
        int discoverMs = 15000;
        QString pcName; // take only broadcasts of this host name
        QString mobilePrefix = QStringLiteral("/storage/emulated/0/DCIM/");
        bool status = false; // send status 7 and 9, expect the 9 acknowledged
        bool downloadDb = false;
        QString dbName; // device whose database is asked for (default: name)
        QString saveDb; // where the downloaded database goes (default: temporary)
        bool listDb = false;
        bool checkDb = false;       // every file sent must have its row
        bool expectRefused = false; // success means: flag 0 and file port 0
        QString thumbsDir;          // keep received thumbnails here
        bool quiet = false;
        int holdMs = 0; // keep the command connection open this long before leaving
        bool waitDeleteNotice = false;
    };

    explicit PhoneSim(const Options &options);
    int run();

private:
    struct Sent
    {
        QString path;
        QByteArray mobilePath;
        QByteArray md5;
        qint64 size = 0;
        bool acked = false;
    };

    bool discover();
    bool connectCommand();
    bool sendCommand(qint16 type, const QByteArray &payload);
    // Reads command records until one of this type arrives (others are reported and skipped).
    bool waitForCommandRecord(qint16 type, QByteArray *record);
    bool readExact(QTcpSocket *socket, QByteArray *buffer, int n, QByteArray *out, QDeadlineTimer deadline);
    bool sendFiles(int filePort);
    bool processFileReplies(QTcpSocket *socket, QByteArray *buffer, QList<Sent> *pending, int *acked);
    bool downloadDatabase();
    bool listDatabase(const QString &path);
    void fail(const QString &why);
    void note(const QString &text);

    Options m_opt;
    QHostAddress m_host;
    int m_port = 0;
    QTcpSocket *m_cmd = nullptr;
    QByteArray m_cmdBuffer;
    QTextStream m_out;
    QTextStream m_err;
    QStringList m_failures;
    QList<Sent> m_sent;

    // Thumbnail being read from the file connection.
    qint64 m_thumbLeft = 0;
    QByteArray m_thumbName;
    QByteArray m_thumbData;

    // Figures for the summary.
    int m_total = 0;
    int m_files = 0;
    int m_acked = 0;
    int m_thumbnails = 0;
    qint64 m_bytes = 0;
    double m_seconds = 0;
    bool m_deleteNotice = false;
    QString m_dbPath;
};
