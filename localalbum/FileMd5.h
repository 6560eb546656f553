#pragma once

#include <QByteArray>
#include <QString>

// md5 of a file's whole content (OpenSSL's implementation, several times faster than Qt's
// portable one, which matters when every picture on a disk is hashed).
namespace FileMd5 {

// The 16-byte digest; empty for a folder or a file that can't be opened. A file of 0 bytes
// gives the digest of no data. Reads up to the size the file had when it was opened.
QByteArray digest(const QString &path);

// 32 lower-case hex digits, or empty text as above.
QString hex(const QString &path);

} // namespace FileMd5
