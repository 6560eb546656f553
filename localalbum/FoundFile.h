#pragma once

#include <QByteArray>
#include <QString>

// One file found by a search: where it lies and the md5 of its content (32 lower-case hex
// digits; empty when the file could not be read).
struct FoundFile
{
    QByteArray rawPath; // the path's bytes as on disk, for opening (names need not be valid UTF-8)
    QString filePath;   // the path for display and the album record
    QString md5;
};
