#pragma once

#include <QByteArray>
#include <QString>

// A phone names itself on its command connection; that name becomes a folder under the
// storage root, a file name in the program folder (name + ".db") and a device-list entry.
// Everything that turns a received name into a path goes through here first.
namespace DeviceName {

constexpr int kMaxUtf8Bytes = 200;

// Why a name was refused (for logs and tests); Ok when it may be used.
enum class Check { Ok, Empty, DotName, Separator, ControlChar, NotUtf8, TooLong, Reserved };

// Decodes the name bytes of a command record; bytes that are not valid UTF-8 become U+FFFD,
// which check() refuses, so a name is used only when it decodes exactly.
QString fromUtf8(const QByteArray &bytes);

// Empty, "." and "..", "/" or "\", NUL and other control characters, undecodable bytes,
// more than 200 UTF-8 bytes, and names whose database file would be the local album's
// own "localfiles.db" or folder "本地" are refused.
Check check(const QString &name);
inline bool isValid(const QString &name)
{
    return check(name) == Check::Ok;
}
const char *describe(Check c);

// The phone's folder: storage root + "万特相册/" + name (the root ends with "/").
QString deviceFolder(const QString &savePath, const QString &name);

// The phone's album database: program folder + "/" + name + ".db".
QString databasePath(const QString &name);

// Current local time in the device list's format.
QString nowText();

} // namespace DeviceName
