#include "backup/StoragePlan.h"

#include "backup/IncomingFile.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

namespace {

// Numbered variants of a blocked layout folder tried before the file goes to the top instead.
constexpr int kMaxFolderVariants = 100;

const QString kTemp = QStringLiteral("temp");

bool isFolderOrFree(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return info.isDir(); // a dangling link blocks the name as much as a file does
    return !info.exists() || info.isDir();
}

bool matches(const QString &pattern, const QString &text)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

} // namespace

namespace StoragePlan {

QString placeFolders(const QString &base, const QStringList &parts)
{
    QString folder = base;
    for (const QString &part : parts) {
        QString chosen;
        for (int n = 0; n < kMaxFolderVariants && chosen.isEmpty(); ++n) {
            const QString candidate = folder + QLatin1Char('/') + IncomingFile::numberedName(part, n);
            if (isFolderOrFree(candidate))
                chosen = candidate;
        }
        if (chosen.isEmpty())
            return QString();
        folder = chosen;
    }
    return folder;
}

bool isLayoutName(const QString &name)
{
    return name.compare(kTemp, Qt::CaseInsensitive) == 0 || matches(QStringLiteral("[0-9]{4}"), name);
}

QString destinationFolder(const QString &deviceFolder, const QString &mobilePath, const QString &md5,
                          const QString &createTime, QString *fileName)
{
    const QString name = mobilePath.mid(mobilePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (!IncomingFile::isSafeFileName(name))
        return QString();
    QStringList parts;
    if (md5.isEmpty() || createTime.isEmpty()) {
        parts = QStringList{kTemp};
    } else {
        const QDateTime created = QDateTime::fromString(createTime, Qt::ISODate);
        // A create time that is not ISO 8601 (or has no four-digit year) puts the file straight into the
        // device folder.
        if (created.isValid() && created.date().year() >= 1 && created.date().year() <= 9999)
            parts = QStringList{created.toString(QStringLiteral("yyyy")), created.toString(QStringLiteral("MM"))};
    }
    const QString folder = parts.isEmpty() ? QString() : placeFolders(deviceFolder, parts);
    if (!folder.isEmpty()) {
        *fileName = name;
        return folder;
    }
    *fileName = isLayoutName(name) ? IncomingFile::numberedName(name, 1) : name;
    return deviceFolder;
}

QString deviceFolderOf(const QString &storedPath)
{
    static const QString numbered = QStringLiteral("(\\([0-9]+\\))?");
    const QFileInfo parent(QFileInfo(storedPath).absolutePath());
    const QString parentName = parent.fileName();
    if (matches(QStringLiteral("temp") + numbered, parentName))
        return parent.absolutePath();
    if (matches(QStringLiteral("[0-9]{2}") + numbered, parentName)) {
        const QFileInfo year(parent.absolutePath());
        if (matches(QStringLiteral("[0-9]{4}") + numbered, year.fileName()))
            return year.absolutePath();
    }
    return parent.absoluteFilePath();
}

} // namespace StoragePlan
