#pragma once

#include <QByteArray>
#include <QString>

// One file found by a search. Its content is hashed at the search only when another found or
// recorded file has its size (only then can the content repeat); the others get their md5 from
// the bytes copied.
struct FoundFile
{
    QByteArray rawPath;      // the path's bytes as on disk, for opening (names need not be valid UTF-8)
    QString filePath;        // the path for display and the album record
    QString md5;             // 32 lower-case hex digits; empty when not hashed
    qint64 size = -1;        // as the search saw it; -1 when not known
    bool unreadable = false; // hashing it failed: it is reported, not copied
};
