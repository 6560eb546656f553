#include "update/UpdateNetwork.h"

#include "fileops/FileOps.h"
#include "platform/AppPaths.h"
#include "platform/DetachedProcess.h"
#include "platform/Dialogs.h"
#include "update/DownLoadManager.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QFile>
#include <QLoggingCategory>
#include <QUrl>

Q_LOGGING_CATEGORY(lcUpdate, "vanteo.update")

UpdateNetwork::UpdateNetwork(QObject *parent) : QObject(parent), m_exit([](int code) { QCoreApplication::exit(code); })
{
    connect(this, &UpdateNetwork::signalFileDownload, this, &UpdateNetwork::getInstallFile);
    connect(this, &UpdateNetwork::signalDWFinished, this, &UpdateNetwork::downloadFileFinishSlot);
}

UpdateNetwork::~UpdateNetwork()
{
    if (m_manager)
        m_manager->closeDownload();
}

QString UpdateNetwork::defaultUpdateUrl()
{
    return QLatin1String("https://") + QLatin1String(VANTEO_UPDATE_HOST) + QLatin1String("/update/win64/update.xml");
}

void UpdateNetwork::setCurrentVersion(int code, const QString &name)
{
    m_currentCode = code;
    m_currentName = name;
}

void UpdateNetwork::setExitHandler(std::function<void(int)> handler)
{
    m_exit = std::move(handler);
}

QString UpdateNetwork::localFileName(const QString &url)
{
    // The last segment of the URL's path: a query ("?v=2") or fragment is no part of the name. Kept
    // as it was sent (percent-encoded), and checked both ways below.
    const QUrl parsed(url);
    if (!parsed.isValid())
        return QString();
    const QString name = parsed.fileName(QUrl::FullyEncoded);
    // What a server would make of the name decides, so "%2e%2e" and "..%5Cx" are caught as well.
    const QString decoded = QUrl::fromPercentEncoding(name.toUtf8());
    for (const QString &n : {name, decoded}) {
        if (n.isEmpty() || n == QLatin1String(".") || n == QLatin1String(".."))
            return QString();
        // Windows drops trailing dots and spaces, which could turn the name into its folder.
        if (n.endsWith(QLatin1Char('.')) || n.endsWith(QLatin1Char(' ')))
            return QString();
        for (const QChar c : n) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control ||
                QStringLiteral("/\\:*?\"<>|").contains(c))
                return QString();
        }
    }
    return name;
}

DownLoadManager *UpdateNetwork::newManager()
{
    auto *manager = new DownLoadManager(this);
    connect(manager, &DownLoadManager::signalDownloadProcess, this, &UpdateNetwork::onDownloadProcess);
    connect(manager, &DownLoadManager::signalReplyFinished, this, &UpdateNetwork::onReplyFinished);
    return manager;
}

void UpdateNetwork::startDownload(int type, const QString &url)
{
    if (m_manager->url().toString() != url)
        m_manager->resetProgress();
    const QString name = localFileName(url);
    m_manager->downloadFile(type, QUrl(url), AppPaths::programFile(name));
}

void UpdateNetwork::checkUpdate(const QString &url)
{
    if (localFileName(url).isEmpty()) {
        qCWarning(lcUpdate) << "refusing to save" << url << "under its last path segment";
        return;
    }
    if (!m_manager)
        m_manager = newManager();
    startDownload(UpdateFileType, url);
}

void UpdateNetwork::onDownloadProcess(qlonglong bytesReceived, qlonglong bytesTotal)
{
    Q_UNUSED(bytesReceived)
    Q_UNUSED(bytesTotal)
}

void UpdateNetwork::onReplyFinished(int statusCode, int type, QString filename)
{
    if (statusCode <= 0)
        return;
    if (type == UpdateFileType)
        parseUpdateFile(filename);
    else if (type == InstallerType)
        emit signalDWFinished(filename);
}

void UpdateNetwork::parseUpdateFile(const QString &filename)
{
    QFile file(filename);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QDomDocument doc;
    if (!doc.setContent(&file))
        return;
    const QDomElement root = doc.documentElement();
    if (!root.hasChildNodes())
        return;

    const struct
    {
        const char *tag;
        QString UpdateNetwork::*field;
    } fields[] = {
        {"versionCode", &UpdateNetwork::m_versionCode},
        {"versionName", &UpdateNetwork::m_versionName},
        {"md5", &UpdateNetwork::m_md5},
        {"content", &UpdateNetwork::m_content},
        {"url", &UpdateNetwork::m_url},
        {"size", &UpdateNetwork::m_size},
        {"isForce", &UpdateNetwork::m_isForce},
        {"isIgnorable", &UpdateNetwork::m_isIgnorable},
        {"isSilent", &UpdateNetwork::m_isSilent},
        {"hasUpdate", &UpdateNetwork::m_hasUpdate},
    };
    // Counts matches, not distinct names: a repeated element stands in for a missing one.
    int count = 0;
    for (QDomElement e = root.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        for (const auto &f : fields) {
            if (e.tagName() != QLatin1String(f.tag))
                continue;
            this->*f.field = e.text();
            ++count;
            if (f.field == &UpdateNetwork::m_versionCode)
                m_announcedCode = m_versionCode.toInt();
            else if (f.field == &UpdateNetwork::m_md5)
                m_installerMd5 = m_md5;
        }
    }
    if (count != 10 || m_currentCode >= m_announcedCode)
        return;
    // Without an md5 nothing could vouch for the installer, so it is not even fetched.
    if (m_installerMd5.trimmed().isEmpty()) {
        qCWarning(lcUpdate) << "update" << m_versionCode << "announces no md5; ignored";
        return;
    }
    emit signalFileDownload(m_url);
}

void UpdateNetwork::getInstallFile(QString url)
{
    const QString scheme = QUrl(url).scheme().toLower();
    if (localFileName(url).isEmpty() || (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        qCWarning(lcUpdate) << "refusing installer URL" << url;
        return;
    }
    // The old manager is still delivering the completion of update.xml: dispose of it later.
    if (m_manager) {
        m_manager->closeDownload();
        disconnect(m_manager, nullptr, this, nullptr);
        m_manager->deleteLater();
    }
    m_manager = newManager();
    startDownload(InstallerType, url);
}

void UpdateNetwork::downloadFileFinishSlot(QString filename)
{
    if (m_installerMd5.isEmpty())
        return;
    const QString md5 = FileOps::md5Hex(filename);
    if (md5.isEmpty() || md5.compare(m_installerMd5, Qt::CaseInsensitive) != 0) {
        qCWarning(lcUpdate) << "installer" << filename << "does not match its md5; not installed";
        return;
    }
    promptInstall(filename);
}

void UpdateNetwork::promptInstall(const QString &filename)
{
    const QString title = QStringLiteral("有新的版本:") + m_versionName;
    const QString text = QStringLiteral("当前版本：") + m_currentName + QStringLiteral("，确定更新？");
    if (m_isForce.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
        const int clicked = Dialogs::choice(
            nullptr, Dialogs::Warning, title, text,
            {{QStringLiteral("取消"), Dialogs::RejectRole}, {QStringLiteral("确定"), Dialogs::AcceptRole}});
        if (clicked == 1)
            install(filename);
        return;
    }
    Dialogs::choice(nullptr, Dialogs::Warning, title, text, {{QStringLiteral("确定"), Dialogs::AcceptRole}});
    install(filename);
}

void UpdateNetwork::install(const QString &filename)
{
    // A download carries no execute permission where the file system keeps one.
    QFile::setPermissions(filename, QFile::permissions(filename) | QFile::ExeOwner | QFile::ExeUser);
    DetachedProcess::start(filename, {}, AppPaths::programDir());
    if (m_exit)
        m_exit(0);
}
