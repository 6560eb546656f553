#pragma once

#include <QString>

// The program folder holds global.xml, the album databases, the dump folder and
// the search engine. Tests point it at a temporary folder before anything reads it.
namespace AppPaths {

// The program folder without a trailing "/": applicationDirPath() unless overridden.
QString programDir();

// Joins a name to the program folder with "/".
QString programFile(const QString &name);

// For tests and tools: use another folder as the program folder (empty restores the default).
void setProgramDirOverride(const QString &dir);

// The folder under the storage root that holds every album, and the local album's folder in it
// (beside one folder per phone).
inline QString albumFolderName()
{
    return QStringLiteral("万特相册");
}
inline QString localAlbumFolderName()
{
    return QStringLiteral("本地");
}

} // namespace AppPaths
