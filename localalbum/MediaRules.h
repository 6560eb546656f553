#pragma once

#include <QByteArray>
#include <QString>

// Which files and folders the local searches take: the media suffixes, the all-disk skip rules
// and the program's own album trees, which are never searched.
namespace MediaRules {

// "万特相册": the program's own tree on every storage root.
const QString &albumFolderName();
bool isPictureSuffix(const QString &suffix);
bool isVideoSuffix(const QString &suffix);
// The suffix of a path's file name (empty for none, or for a hidden name without one).
QString suffixOf(const QByteArray &rawPath);
QByteArray fileNameOf(const QByteArray &rawPath);
// Is a file of this name one of the media chosen?
bool isWanted(const QByteArray &rawPath, bool pictures, bool videos);
// The all-disk skip rules: the organiser's own output, system trees, trash and hidden folders.
bool isSkippedPath(const QString &path);
// A folder entry named 万特相册 (never entered), and a folder lying inside such a tree.
bool isAlbumFolderName(const QByteArray &name);
bool isInsideAlbumTree(const QString &folder);

} // namespace MediaRules
