#include "platform/Autostart.h"

#include "fileops/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcAutostart, "vanteo.autostart")

namespace {
// The Exec key's quoting: the path in double quotes with ", `, $ and \ escaped.
QString quotedExec(const QString &path)
{
    QString quoted;
    for (const QChar c : path) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    // A desktop entry's string values escape the backslash once more.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}
} // namespace

namespace Autostart {

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
        QStringLiteral("/autostart/vanteoalbum.desktop");
}

bool isEnabled()
{
    return QFileInfo(entryPath()).isFile();
}

bool setEnabled(bool on, const QString &executable)
{
    const QString path = entryPath();
    if (!on) {
        if (!QFileInfo::exists(path) || QFile::remove(path))
            return true;
        qCWarning(lcAutostart) << "cannot remove" << path;
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    const QByteArray entry = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=万特相册\n"
                             "Comment=接收手机备份的照片和视频\n"
                             "Exec=" +
        quotedExec(QFileInfo(executable).absoluteFilePath()).toUtf8() +
        " --minimized\n"
        "Icon=vanteoalbum\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    QString why;
    if (!FileOps::writeReplacing(QFile::encodeName(path), entry, FileOps::SyncPolicy::FileAndFolder, 0644, &why)) {
        qCWarning(lcAutostart) << "cannot write" << path << why;
        return false;
    }
    return true;
}

} // namespace Autostart
