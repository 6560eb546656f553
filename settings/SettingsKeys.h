#pragma once

#include <QLatin1String>

// One value kept in the <global> element of global.xml: its element name (stored files rely on
// these exact spellings, never rename one) and the text that counts when none is stored.
struct SettingKey
{
    QLatin1String name;
    QLatin1String fallback;
};

// Every setting of the program, read and written through ReadWriteSetting's typed accessors.
namespace SettingsKeys {

// Keep a copy of a received file whose name is already taken ("1") instead of skipping it ("0").
constexpr SettingKey DoubleFile{QLatin1String("doubleFile"), QLatin1String("0")};
// The 去重名 box, which the page shows checked.
constexpr SettingKey DoubleName{QLatin1String("doubleName"), QLatin1String("1")};
// Organise pictures / videos: a number above 0 means on (the page stores a check state, 0 or 2).
constexpr SettingKey LocalPicture{QLatin1String("localPicture"), QLatin1String("2")};
constexpr SettingKey LocalVideo{QLatin1String("localVideo"), QLatin1String("0")};
// Resets asked for on the settings page, carried out at the next start: 1 or more means pending.
constexpr SettingKey LocalReset{QLatin1String("localReset"), QLatin1String("0")};
constexpr SettingKey RemoteReset{QLatin1String("remoteReset"), QLatin1String("0")};
// The storage root (with a trailing slash), whether the user chose it, and its marker's id.
constexpr SettingKey SaveDrive{QLatin1String("saveDrive"), QLatin1String("")};
constexpr SettingKey SaveDriveChosen{QLatin1String("saveDriveChosen"), QLatin1String("0")};
constexpr SettingKey SaveDriveId{QLatin1String("saveDriveId"), QLatin1String("")};
// Index of the network address the phones are shown.
constexpr SettingKey LocalIP{QLatin1String("localIP"), QLatin1String("0")};
// When the update check last ran, and the main window's "x,y,width,height,maximised".
constexpr SettingKey UpdateTime{QLatin1String("updateTime"), QLatin1String("")};
constexpr SettingKey WindowGeometry{QLatin1String("windowGeometry"), QLatin1String("")};
// The local album's folders (a JSON array) and whether it searches them only ("1") or every disk.
constexpr SettingKey LocalFolders{QLatin1String("localFolders"), QLatin1String("[]")};
constexpr SettingKey LocalFolderMode{QLatin1String("localMode"), QLatin1String("0")};

} // namespace SettingsKeys
