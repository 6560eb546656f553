#include "backup/MUploadThread.h"

#include "ftp/FTP_Client.h"
#include "platform/AppPaths.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcUpload, "vanteo.upload")

MUploadThread::MUploadThread(QObject *parent) : QThread(parent), m_host(QStringLiteral(VANTEO_FTP_HOST))
{
    setObjectName(QStringLiteral("MUploadThread"));
}

MUploadThread::~MUploadThread()
{
    if (!stopAndWait(kStopWaitMs)) {
        // Only the system's host name lookup can't be cut short; once it returns, run() sees
        // the abort and ends. Destroying a running thread would crash, so wait it out.
        qCWarning(lcUpload) << "crash report upload still busy; waiting for it to end";
        wait();
    }
}

void MUploadThread::stop()
{
    m_stop = true;
}

bool MUploadThread::stopAndWait(int ms)
{
    m_stop = true;
    m_abort = true;
    return wait(QDeadlineTimer(ms));
}

void MUploadThread::setServer(const QString &host, quint16 port)
{
    m_host = host;
    m_port = port;
}

void MUploadThread::run()
{
    const QString dumpDir = AppPaths::programDir() + QStringLiteral("/dump/");
    if (!QDir(dumpDir).exists())
        return;
    const QFileInfoList dumps = QDir(dumpDir).entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Time);
    // Nothing to send needs no name lookup and no connection.
    if (dumps.isEmpty() || m_stop)
        return;

    const QHostInfo info = QHostInfo::fromName(m_host);
    if (info.addresses().isEmpty()) {
        qCDebug(lcUpload) << "cannot resolve" << m_host << info.errorString();
        return;
    }
    const QString address = info.addresses().first().toString();
    qCDebug(lcUpload) << "crash reports go to" << address;

    // The client and its sockets are made here so they belong to this thread.
    FTP_Client client;
    client.setAbortFlag(&m_abort);
    if (m_waitMs > 0)
        client.setWaitTimeout(m_waitMs);
    bool connected = false;
    for (const QFileInfo &dump : dumps) {
        if (m_stop || m_abort)
            break;
        if (!connected) {
            connected = true;
            if (client.ConnectFTP(address, m_port, QStringLiteral(VANTEO_FTP_USER),
                                  QStringLiteral(VANTEO_FTP_PASSWORD)) != 0) {
                qCDebug(lcUpload) << "login at" << address << m_port << "failed";
                return; // every upload would fail; the dumps stay for the next start
            }
        }
        if (client.Upload(dump.absoluteFilePath()) == 0) {
            if (!QFile::remove(dump.absoluteFilePath()))
                qCDebug(lcUpload) << "sent but could not remove" << dump.fileName();
        }
    }
}
