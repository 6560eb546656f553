#include "update/DownLoadManager.h"

#include "fileops/FileOps.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <cerrno>
#include <cstring>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcDownload, "vanteo.download")

namespace {
// Staged downloads older than this are leftovers of a run that was killed mid-transfer.
constexpr qint64 kStaleStagedSecs = 24 * 3600;
} // namespace

const char DownLoadManager::kStagingPrefix[] = ".vt-dl-";

DownLoadManager::DownLoadManager(QObject *parent) : QObject(parent), m_nam(new QNetworkAccessManager(this))
{
}

// The access manager goes with us and takes any reply with it; a staged file goes too.
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
    m_target = fileName;
    // The file at the target stays as it is until the new one is whole.
    const QByteArray folder = QFile::encodeName(QFileInfo(fileName).absolutePath());
    FileOps::removeStaleStaged(folder, kStagingPrefix, kStaleStagedSecs);
    m_staged = std::make_unique<FileOps::StagedFile>(kStagingPrefix);
    QString why;
    if (!m_staged->create(folder, &why)) {
        qCWarning(lcDownload) << "cannot download to" << fileName << why;
        m_staged.reset();
        m_stopped = true;
        failSoon(type);
        return;
    }

    QNetworkRequest request(url);
    // Follows a move to an equally safe place (an https installer must not come over http).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    m_reply = m_nam->get(request);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownLoadManager::onDownloadProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &DownLoadManager::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &DownLoadManager::onFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &DownLoadManager::onError);
}

void DownLoadManager::failSoon(int type)
{
    // From the event loop, like every other completion: the caller is still inside downloadFile().
    QMetaObject::invokeMethod(
        this, [this, type] { emit signalReplyFinished(0, type, QString()); }, Qt::QueuedConnection);
}

QString DownLoadManager::stagingPath() const
{
    return m_staged ? QFile::decodeName(m_staged->path()) : QString();
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

// Appends what the reply holds to the staged file; bytes that were read but not written spoil the
// transfer.
bool DownLoadManager::appendBuffered()
{
    if (!m_reply || m_reply->bytesAvailable() <= 0)
        return !m_writeFailed;
    const QByteArray data = m_reply->readAll();
    if (m_writeFailed || !m_staged || m_staged->fd() < 0)
        return false;
    const char *p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(m_staged->fd(), p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            qCWarning(lcDownload) << "cannot write" << stagingPath() << std::strerror(errno);
            m_writeFailed = true;
            return false;
        }
        p += n;
        left -= n;
    }
    m_written += data.size();
    return true;
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
    // Bytes still buffered in the reply are written now.
    if (ok && !appendBuffered())
        ok = false;
    // An empty body is no download.
    if (ok && m_staged && m_written > 0) {
        QString why;
        // Durable before it takes the name: a power cut leaves the old file or the whole new one.
        if (m_staged->commitReplacing(QFile::encodeName(m_target), FileOps::SyncPolicy::FileAndFolder, &why) ==
            FileOps::MoveResult::Moved)
            finalName = m_target;
        else
            qCWarning(lcDownload) << "cannot put the download in place at" << m_target << why;
    }
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
    if (m_staged)
        m_staged->discard();
    m_staged.reset();
    m_written = 0;
}
