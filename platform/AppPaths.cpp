#include "platform/AppPaths.h"

#include "platform/CrashHandler.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>

Q_LOGGING_CATEGORY(lcPaths, "vanteo.platform.paths")

namespace {

const QString kSubfolder = QStringLiteral("/vanteoalbum");

QMutex s_mutex;
QString s_override;
bool s_decided = false;
AppPaths::Folders s_folders;
bool s_configMade = false;
bool s_dataMade = false;

// An XDG base folder: the variable when it holds an absolute path (relative ones are to be
// ignored), else the default under the home folder.
QString xdgBase(const char *variable, const QString &fallback)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::homePath() + fallback;
}

QString trimmed(QString dir)
{
    while (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    return dir;
}

// An installed program's folder holds the phones' names and databases: this user's only.
void makeFolder(const QString &dir)
{
    const bool existed = QFileInfo(dir).isDir();
    if (!QDir().mkpath(dir)) {
        qCWarning(lcPaths) << "cannot create" << dir;
        return;
    }
    if (!existed)
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

namespace AppPaths {

Folders foldersFor(const QString &exeDir)
{
    const QString dir = trimmed(exeDir);
    if (!dir.isEmpty() && QFileInfo(dir + QStringLiteral("/global.xml")).isFile())
        return {Layout::Portable, dir, dir};
    return {Layout::Installed, xdgBase("XDG_CONFIG_HOME", QStringLiteral("/.config")) + kSubfolder,
            xdgBase("XDG_DATA_HOME", QStringLiteral("/.local/share")) + kSubfolder};
}

Folders folders()
{
    QMutexLocker lock(&s_mutex);
    if (!s_override.isEmpty())
        return {Layout::Portable, s_override, s_override};
    if (!s_decided) {
        s_folders = foldersFor(CrashHandler::executableDir());
        s_decided = true;
    }
    return s_folders;
}

bool isPortable()
{
    return folders().layout == Layout::Portable;
}

QString configDir()
{
    const Folders f = folders();
    if (f.layout == Layout::Installed) {
        QMutexLocker lock(&s_mutex);
        if (!s_configMade) {
            makeFolder(f.config);
            s_configMade = true;
        }
    }
    return f.config;
}

QString dataDir()
{
    const Folders f = folders();
    if (f.layout == Layout::Installed) {
        QMutexLocker lock(&s_mutex);
        if (!s_dataMade) {
            makeFolder(f.data);
            s_dataMade = true;
        }
    }
    return f.data;
}

QString configFile(const QString &name)
{
    return configDir() + QLatin1Char('/') + name;
}

QString dataFile(const QString &name)
{
    return dataDir() + QLatin1Char('/') + name;
}

void setProgramDirOverride(const QString &dir)
{
    QMutexLocker lock(&s_mutex);
    s_override = trimmed(dir);
}

} // namespace AppPaths
