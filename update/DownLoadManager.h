#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
namespace FileOps {
class StagedFile;
}

// Downloads one URL at a time with a GET request. The bytes go into a hidden staged file beside the
// target as they arrive (the file operations' staging); only a whole, error-free transfer takes the
// target's name, made durable first and replacing a file there in one step, so an earlier download
// stays whole until then and stays untouched by a failed one. Completion hands back the caller's
// type number unchanged. A request made while a transfer runs is dropped, but its type replaces the
// stored one.
class DownLoadManager : public QObject
{
    Q_OBJECT
public:
    explicit DownLoadManager(QObject *parent = nullptr);
    ~DownLoadManager() override;

    void downloadFile(int type, const QUrl &url, const QString &fileName);
    QUrl url() const;
    // Aborts the running transfer, if any; no signal follows it.
    void stopWork();
    void resetProgress();
    // stopWork(), resetProgress(), and the staged file is deleted.
    void closeDownload();

    // Progress of the running (or last) transfer.
    qlonglong bytesReceived() const { return m_bytesReceived; }
    qlonglong bytesTotal() const { return m_bytesTotal; }
    bool isRunning() const { return !m_stopped; }
    // Where the running transfer's bytes go until it is whole (empty when none is staged).
    QString stagingPath() const;
    // The hidden names of staged downloads start with this.
    static const char kStagingPrefix[];

signals:
    void signalDownloadProcess(qlonglong bytesReceived, qlonglong bytesTotal);
    // status 1 success, 0 failure; fileName is the target, or empty on failure.
    void signalReplyFinished(int status, int type, QString fileName);
    void signalDownloadError();

private slots:
    void onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void onReadyRead();
    void onFinished();
    void onError(QNetworkReply::NetworkError code);

private:
    bool appendBuffered();
    void removeTempFile();
    void failSoon(int type);

    QNetworkAccessManager *m_nam = nullptr;
    QNetworkReply *m_reply = nullptr;
    QUrl m_url;
    QString m_target;
    std::unique_ptr<FileOps::StagedFile> m_staged;
    int m_type = 0;
    qlonglong m_bytesReceived = 0;
    qlonglong m_bytesTotal = 0;
    bool m_stopped = true;
    bool m_writeFailed = false;
    qint64 m_written = 0; // bytes in the staged file
};
