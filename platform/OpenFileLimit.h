#pragma once

// The number of descriptors the program may hold. Desktops often start programs with a soft
// limit of 1024 while the hard limit is far higher; every phone connection, file and database
// takes descriptors, so the program asks for what it is allowed at start.
namespace OpenFileLimit {

// Raises the soft RLIMIT_NOFILE to the hard limit. Returns the soft limit in force afterwards
// (-1 when it cannot be read).
long long raiseToHard();

} // namespace OpenFileLimit
