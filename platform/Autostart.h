#pragma once

#include <QString>

// Start at login, the freedesktop way: a desktop entry in $XDG_CONFIG_HOME/autostart that starts
// the program minimised, by the absolute path of the running executable.
namespace Autostart {

QString entryPath();
bool isEnabled();
// Writes or removes the entry; false when that failed.
bool setEnabled(bool on, const QString &executable);

} // namespace Autostart
