#pragma once

#include "fileops/FileOps.h"

#include <QDateTime>
#include <QString>

// One file arriving from a phone. The content goes to a temporary name beside its destination and its md5
// is computed while it streams in; only commit() gives it a real name, after the bytes are flushed to disk.
// Until then nothing lies under the destination name, so an interrupted or corrupted transfer can never be
// mistaken for a stored file. A destination that already holds other content is never overwritten.
class IncomingFile
{
public:
    enum class Outcome { Stored, Duplicate, Failed };

    IncomingFile();
    ~IncomingFile(); // discards what was not committed
    IncomingFile(const IncomingFile &) = delete;
    IncomingFile &operator=(const IncomingFile &) = delete;

    // Creates the folder if needed and opens a fresh temporary file in it.
    bool open(const QString &folder, QString *why = nullptr);
    bool isOpen() const { return m_staged.fd() >= 0; }
    bool write(const char *data, qint64 len); // false once a write has failed
    QString md5Hex() const;                   // of everything written so far (lower case)
    qint64 size() const { return m_written; }

    // Flushes the content to disk and moves it to fileName in the folder: under that name when it is free,
    // at an existing file of identical content (Duplicate, the temporary copy is dropped), or else under the
    // first free name "stem(n).ext". *finalPath is where the content now lies.
    Outcome commit(const QString &fileName, QString *finalPath, QString *why = nullptr);
    void discard();

    // Among fileName, "stem(1).ext", "stem(2).ext" ... in folder (up to the first missing one): the path of a
    // file whose md5 equals md5 (case-insensitive), or an empty text. With size >= 0 only files of that
    // size are compared. Known md5s are reused (see knownMd5), so a run of same-name arrivals costs the
    // same per file as distinct names.
    static QString findIdentical(const QString &folder, const QString &fileName, const QString &md5, qint64 size = -1);
    // "IMG_1.jpg", 2 -> "IMG_1(2).jpg"; n = 0 gives the name itself.
    static QString numberedName(const QString &fileName, int n);
    // md5 of a file's whole content as lower-case hex; empty when it can't be read.
    static QString fileMd5(const QString &path);
    // fileMd5, remembered for the file as it is now (identity, size, modification and change times), so
    // an unchanged file is read once; a file changed in any way is read again.
    static QString knownMd5(const QString &path);
    // True for the hidden name a file has while it is still arriving.
    static bool isPartialName(const QString &name);
    // Removes the leftovers of transfers cut by a power loss or a hard kill: partial files below
    // folder untouched for olderThanSecs. Returns how many were removed.
    static int removeStaleParts(const QString &folder, qint64 olderThanSecs);
    // The same for partial files last modified before limit (at start-up: before this program started).
    static int removePartsBefore(const QString &folder, const QDateTime &limit);
    // A file name a phone may use: not empty, ".", "..", and without "/", "\", NUL or control characters.
    static bool isSafeFileName(const QString &name);

private:
    QString m_folder;
    FileOps::StagedFile m_staged;
    FileOps::Md5Stream m_hash;
    qint64 m_written = 0;
    bool m_failed = false;
};
