#pragma once

#include <QString>

// Where the program keeps its own files. Two layouts:
// - portable: a global.xml lies beside the executable (a copy run from a folder of its own, and
//   every installation of earlier versions). Everything stays in that folder, the program folder:
//   global.xml, the album databases, localfiles.db and dump/.
// - installed: anywhere else (bin/ of a prefix). The settings (global.xml) go to
//   $XDG_CONFIG_HOME/vanteoalbum, the album databases and dump/ to $XDG_DATA_HOME/vanteoalbum.
// The layout is decided once, at the first question, so a global.xml written later beside the
// executable does not move anything in a running program. Tests point the program folder
// elsewhere before anything reads it; an override always means portable in that folder.
namespace AppPaths {

enum class Layout { Portable, Installed };

struct Folders
{
    Layout layout = Layout::Portable;
    QString config; // holds global.xml
    QString data;   // holds the databases and dump/
};

// The folders for an executable in exeDir, from the environment now (XDG_CONFIG_HOME,
// XDG_DATA_HOME, HOME); nothing is created. Public so the rule can be checked on its own.
Folders foldersFor(const QString &exeDir);

// The folders of this process (the override, else foldersFor() the executable's folder). Usable
// before the application object exists.
Folders folders();
bool isPortable();

// The folder of global.xml / of the databases and dump/, without a trailing "/". An installed
// program's folders are created (mode 0700) on first use.
QString configDir();
QString dataDir();
// Joins a name to those folders with "/".
QString configFile(const QString &name);
QString dataFile(const QString &name);
// Crash reports.
inline QString dumpDir()
{
    return dataDir() + QStringLiteral("/dump");
}

// Older names of dataDir()/dataFile(): what was kept "in the program folder" is data, except
// global.xml.
inline QString programDir()
{
    return dataDir();
}
inline QString programFile(const QString &name)
{
    return dataFile(name);
}

// For tests and tools: use another folder as the (portable) program folder; empty goes back to
// the folders of the executable.
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
