#pragma once

#include <QString>

// One file found by a search: where it lies and the md5 of its content (32 lower-case hex
// digits; empty when the file could not be read).
struct FoundFile
{
    QString filePath;
    QString md5;
};
