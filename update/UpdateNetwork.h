#pragma once

#include <QObject>
#include <QString>

#include <functional>

class DownLoadManager;

// Looks for a newer version of the program and installs it: downloads update.xml, compares its
// version code with ours, downloads the installer it names into the program folder, checks the
// installer's md5, asks the user, then starts the installer detached and ends the program.
// Every failure is silent.
class UpdateNetwork : public QObject
{
    Q_OBJECT
public:
    enum DownloadType { UpdateFileType = 0, InstallerType = 1 };

    explicit UpdateNetwork(QObject *parent = nullptr);
    ~UpdateNetwork() override; // closes the transfer; no temporary file stays behind

    // "https://" + the update server + "/update/win64/update.xml".
    static QString defaultUpdateUrl();

    void setCurrentVersion(int code, const QString &name);
    void checkUpdate(const QString &url);

    // The name a download of url is saved under in the program folder (the last segment of its path,
    // without query or fragment), or empty when that is not a plain file name and nothing may be
    // written for it.
    static QString localFileName(const QString &url);

    // Tests: what ends the program once the installer was started (QCoreApplication::exit by default).
    void setExitHandler(std::function<void(int)> handler);

    // What was read from update.xml.
    QString versionCode() const { return m_versionCode; }
    QString versionName() const { return m_versionName; }
    QString isForce() const { return m_isForce; }
    QString installerUrl() const { return m_url; }
    int announcedVersionCode() const { return m_announcedCode; }
    DownLoadManager *downloadManager() const { return m_manager; }

signals:
    void signalFileDownload(QString url);
    void signalDWFinished(QString filename);

public slots:
    void onDownloadProcess(qlonglong bytesReceived, qlonglong bytesTotal);
    void onReplyFinished(int statusCode, int type, QString filename);
    void getInstallFile(QString url);
    void downloadFileFinishSlot(QString filename);

private:
    void parseUpdateFile(const QString &filename);
    void promptInstall(const QString &filename);
    void install(const QString &filename);
    DownLoadManager *newManager();
    void startDownload(int type, const QString &url);

    QString m_versionCode;
    QString m_versionName;
    QString m_md5;
    QString m_content;
    QString m_url;
    QString m_size;
    QString m_isForce;
    QString m_isIgnorable;
    QString m_isSilent;
    QString m_hasUpdate;
    QString m_installerMd5;
    int m_announcedCode = 100;
    int m_currentCode = 100;
    QString m_currentName;
    DownLoadManager *m_manager = nullptr;
    std::function<void(int)> m_exit;
};
