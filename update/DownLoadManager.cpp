#include "update/DownLoadManager.h"

#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

Q_LOGGING_CATEGORY(lcDownload, "vanteo.download")

namespace {
const QString kTempSuffix = QStringLiteral("_tmp");
}

DownLoadManager::DownLoadManager(QObject *parent)
    : QObject(parent)
    , m_nam(new QNetworkAccessManager(this))
{
}

// The access manager goes with us and takes any reply with it; files are left as they are.
DownLoadManager::~DownLoadManager() = default;

void DownLoadManager::downloadFile(int type, const QUrl &url, const QString &fileName)
{
    m_type = type;
    if (!m_stopped)
        return;

    // A finished reply is kept until the next transfer (its owner may still be reading it).
    if (m_reply) {
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    m_stopped = false;
    m_writeFailed = false;
    m_url = url;
    m_tempFileName = fileName + kTempSuffix;
    if (QFile::exists(fileName))
        QFile::remove(fileName);
    removeTempFile();

    QNetworkRequest request(url);
    // Follows a move to an equally safe place (an https installer must not come over http).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    m_reply = m_nam->get(request);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownLoadManager::onDownloadProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &DownLoadManager::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &DownLoadManager::onFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &DownLoadManager::onError);
}

QUrl DownLoadManager::url() const
{
    return m_url;
}

void DownLoadManager::stopWork()
{
    m_stopped = true;
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    disconnect(reply, &QNetworkReply::downloadProgress, this, &DownLoadManager::onDownloadProgress);
    disconnect(reply, &QNetworkReply::readyRead, this, &DownLoadManager::onReadyRead);
    disconnect(reply, &QNetworkReply::finished, this, &DownLoadManager::onFinished);
    disconnect(reply, &QNetworkReply::errorOccurred, this, &DownLoadManager::onError);
    // A reply that failed has ended already (aborting it once more only draws a warning from Qt).
    if (reply->error() == QNetworkReply::NoError)
        reply->abort();
    reply->deleteLater();
}

void DownLoadManager::resetProgress()
{
    m_bytesReceived = 0;
    m_bytesTotal = 0;
}

void DownLoadManager::closeDownload()
{
    stopWork();
    resetProgress();
    removeTempFile();
}

void DownLoadManager::onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    if (m_stopped)
        return;
    m_bytesReceived = bytesReceived;
    m_bytesTotal = bytesTotal;
    emit signalDownloadProcess(bytesReceived, bytesTotal);
}

void DownLoadManager::onReadyRead()
{
    if (m_stopped)
        return;
    appendBuffered();
}

// Appends what the reply holds to the temporary file. When the file cannot be opened the bytes stay
// in the reply for a later call; bytes that were read but not written spoil the transfer.
bool DownLoadManager::appendBuffered()
{
    if (!m_reply || m_reply->bytesAvailable() <= 0)
        return true;
    QFile file(m_tempFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const QByteArray data = m_reply->readAll();
    if (file.write(data) != data.size() || !file.flush()) {
        qCWarning(lcDownload) << "cannot write" << m_tempFileName << file.errorString();
        m_writeFailed = true;
    }
    file.close();
    return !m_writeFailed;
}

void DownLoadManager::onFinished()
{
    m_stopped = true;
    QString finalName;
    bool ok = m_reply && m_reply->error() == QNetworkReply::NoError;
    if (ok) {
        // A page other than the file itself (an unfollowed redirect, for instance) is no download.
        const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
            ok = false;
    }
    // Bytes still buffered (the temporary file could not be opened earlier) get a last chance.
    if (ok && (!appendBuffered() || (m_reply && m_reply->bytesAvailable() > 0)))
        ok = false;
    if (ok && QFile::exists(m_tempFileName)) {
        finalName = m_tempFileName.left(m_tempFileName.lastIndexOf(kTempSuffix));
        // The target was deleted at the start; something may have put a file there since.
        if (QFile::exists(finalName))
            QFile::remove(finalName);
        if (!QFile::rename(m_tempFileName, finalName)) {
            qCWarning(lcDownload) << "cannot rename" << m_tempFileName << "to" << finalName;
            finalName.clear();
        }
    }
    if (finalName.isEmpty())
        removeTempFile();
    emit signalReplyFinished(finalName.isEmpty() ? 0 : 1, m_type, finalName);
}

void DownLoadManager::onError(QNetworkReply::NetworkError code)
{
    qCInfo(lcDownload) << "transfer of" << m_url.toString() << "failed:" << code;
    stopWork();
    resetProgress();
    removeTempFile();
    emit signalDownloadError();
}

void DownLoadManager::removeTempFile()
{
    if (!m_tempFileName.isEmpty() && QFile::exists(m_tempFileName))
        QFile::remove(m_tempFileName);
}
