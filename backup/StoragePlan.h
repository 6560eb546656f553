#pragma once

#include <QString>
#include <QStringList>

// Where a phone's file goes inside its device folder: yyyy/MM by the capture time it announces, temp/
// when it announces no md5 or no time, the device folder itself when the time cannot be read. The
// folder names of that layout are kept for the layout: a file never takes one at the top, and a
// non-folder already lying where a layout folder belongs is stepped around, never in the way for good.
namespace StoragePlan {

// The folder for a file (it may not exist yet) and, in *fileName, the name to store it under; an
// empty folder when the phone path does not end in a name a phone may use.
QString destinationFolder(const QString &deviceFolder, const QString &mobilePath, const QString &md5,
                          const QString &createTime, QString *fileName);

// True for a name the layout uses at the top of a device folder: four digits (a year) or "temp"
// (in any case, for the drives that ignore it).
bool isLayoutName(const QString &name);

// base with the layout folders parts appended one by one, each as the first of name, name(1),
// name(2) ... that is a folder or free (a file or link in the way is stepped around). Empty when
// every variant of one is blocked. The folders are not made.
QString placeFolders(const QString &base, const QStringList &parts);

// The device folder a path made by destinationFolder lies in.
QString deviceFolderOf(const QString &storedPath);

} // namespace StoragePlan
