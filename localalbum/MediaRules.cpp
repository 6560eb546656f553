#include "localalbum/MediaRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace MediaRules {

const QString &albumFolderName()
{
    static const QString name = QStringLiteral("万特相册");
    return name;
}

bool isPictureSuffix(const QString &suffix)
{
    static const QStringList pictures = {QStringLiteral("jpg"),  QStringLiteral("jpeg"), QStringLiteral("png"),
                                         QStringLiteral("heic"), QStringLiteral("heif"), QStringLiteral("avif"),
                                         QStringLiteral("webp")};
    return pictures.contains(suffix.toLower());
}

bool isVideoSuffix(const QString &suffix)
{
    static const QStringList videos = {QStringLiteral("avi"), QStringLiteral("mov"), QStringLiteral("mp4"),
                                       QStringLiteral("flv"), QStringLiteral("mpg"), QStringLiteral("m4v"),
                                       QStringLiteral("3gp")};
    return videos.contains(suffix.toLower());
}

QString suffixOf(const QByteArray &rawPath)
{
    const int slash = rawPath.lastIndexOf('/');
    const int dot = rawPath.lastIndexOf('.');
    if (dot <= slash + 1) // no dot, or a hidden name without a suffix
        return QString();
    return QString::fromLatin1(rawPath.mid(dot + 1));
}

QByteArray fileNameOf(const QByteArray &rawPath)
{
    return rawPath.mid(rawPath.lastIndexOf('/') + 1);
}

bool isWanted(const QByteArray &rawPath, bool pictures, bool videos)
{
    const QString suffix = suffixOf(rawPath);
    return (pictures && isPictureSuffix(suffix)) || (videos && isVideoSuffix(suffix));
}

bool isAlbumFolderName(const QByteArray &name)
{
    static const QByteArray album = QFile::encodeName(albumFolderName());
    return name == album;
}

bool isInsideAlbumTree(const QString &folder)
{
    // The organised copies and the phones' backups: copying them into 本地 would double them on every run.
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return (canonical.isEmpty() ? QDir::cleanPath(folder) : canonical)
        .split(QLatin1Char('/'), Qt::SkipEmptyParts)
        .contains(albumFolderName());
}

namespace {

bool isSystemTree(const QString &p)
{
    // Removable drives mounted under /run/media stay.
    static const QStringList systemTrees = {QStringLiteral("/usr"), QStringLiteral("/proc"), QStringLiteral("/sys"),
                                            QStringLiteral("/dev"), QStringLiteral("/run"),  QStringLiteral("/boot"),
                                            QStringLiteral("/etc"), QStringLiteral("/var"),  QStringLiteral("/opt"),
                                            QStringLiteral("/snap")};
    for (const QString &tree : systemTrees) {
        if (p.startsWith(tree + QLatin1Char('/')) || p == tree) {
            if (tree == QLatin1String("/run") && p.startsWith(QLatin1String("/run/media/")))
                continue;
            return true;
        }
    }
    return false;
}

} // namespace

bool isSkippedPath(const QString &path)
{
    // The Windows words are matched with either separator.
    const QString p = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    const Qt::CaseSensitivity ci = Qt::CaseInsensitive;
    if (p.contains(albumFolderName(), ci))
        return true;
    if (p.contains(QLatin1String("Users/Administrator"), ci) &&
        !p.contains(QLatin1String("Users/Administrator/Pictures"), ci))
        return true;
    if (p.contains(QLatin1String("Program Files"), ci) || p.contains(QLatin1String("Android Studio"), ci) ||
        p.contains(QLatin1String("$RECYCLE.BIN"), ci))
        return true;
    if (isSystemTree(p))
        return true;
    // Hidden folders: thumbnail caches, the trash (~/.local/share/Trash, .Trash-1000 on other
    // volumes), and fsck's leftovers.
    const QStringList parts = p.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < parts.size(); ++i) {
        if (parts.at(i).startsWith(QLatin1Char('.')) || parts.at(i) == QLatin1String("lost+found"))
            return true;
    }
    return false;
}

} // namespace MediaRules
