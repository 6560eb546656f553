#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>

#include <atomic>

// The file operations every part of the program that stores a user's file shares: content is
// staged under a hidden name beside its destination, made durable, then moved to its real name
// without ever replacing a file; leftovers of a crash are removed at the next start; one md5.
//
// Paths are the file system's bytes (QFile::encodeName of a QString, or a name read from a
// folder as it is), so names that are not valid in the locale's encoding still open. Every
// long operation takes an optional stop flag, checked between blocks of at most 1 MiB, so a
// stop is seen within a fraction of a second even on a slow disk.
namespace FileOps {

// --- md5 ---

// md5 of bytes handed over piece by piece, e.g. content while it streams in (OpenSSL's EVP).
class Md5Stream
{
public:
    Md5Stream();
    ~Md5Stream();
    Md5Stream(const Md5Stream &) = delete;
    Md5Stream &operator=(const Md5Stream &) = delete;

    void reset();
    void add(const char *data, qint64 len);
    // The 16-byte digest of everything added so far; adding may go on afterwards.
    QByteArray result() const;
    static QByteArray of(const QByteArray &data);

private:
    struct Context;
    Context *m_ctx;
};

// The 16-byte md5 of a file's content up to the size it had when opened (OpenSSL's EVP
// implementation). Empty for anything but a regular file, a file that can't be opened or read, and when *stop
// became true meanwhile (*stopped then tells it apart, when given).
QByteArray md5(const QByteArray &path, const std::atomic<bool> *stop = nullptr, bool *stopped = nullptr);
// 32 lower-case hex digits of md5(), or empty text.
QString md5Hex(const QString &path, const std::atomic<bool> *stop = nullptr);

// Opens path for reading only when it is a regular file, never through a link and without
// blocking on a FIFO put in its place. Returns the descriptor (the caller closes it), or -1.
int openRegularFile(const QByteArray &path);

// --- no-replace rename and durability ---

enum class MoveResult { Moved, Exists, Failed };

// Renames from to to unless something (a file, folder or dangling link) is at to. Uses
// renameat2(RENAME_NOREPLACE); where the file system lacks it, link + unlink; where hard links
// are missing too (FAT), a check right before a plain rename.
MoveResult renameNoReplace(const QByteArray &from, const QByteArray &to);

// What reaches the disk before a staged file takes its name.
enum class SyncPolicy {
    None,          // nothing forced (the caller's data can be made again)
    FileAndFolder, // the content before the rename, the folder's new entry after it
};
// fsync of a folder, so that a rename or new entry in it survives a power cut.
bool syncFolder(const QByteArray &folder);
// syncfs of the file system holding path: everything written to it so far becomes durable
// with one flush (cheaper than syncing many folders one by one).
bool syncFileSystem(const QByteArray &path);
// The folder part of a path ("." for a bare name).
QByteArray parentFolder(const QByteArray &path);

// --- staging ---

// A hidden temporary file in the destination's folder. Its name is prefix + 16 hex digits +
// ".part"; prefix starts with a dot. The file is removed unless commit() moved it.
class StagedFile
{
public:
    explicit StagedFile(const QByteArray &prefix);
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    // Creates a fresh staged file in folder (which must exist). False with *why on failure.
    bool create(const QByteArray &folder, QString *why = nullptr);
    int fd() const { return m_fd; }
    const QByteArray &path() const { return m_path; }
    // Waits until the content is written to the device (not flushed from its cache): a batch of
    // staged files written out this way, committed with SyncPolicy::None and then made durable
    // by one syncFolder() of their folders, costs one flush instead of one per file.
    bool writeOut();
    // Applies policy, closes the file and moves it to target without replacing anything there.
    // On Exists and Failed the staged file is still there (discard() or the destructor drops it).
    MoveResult commit(const QByteArray &target, SyncPolicy policy, QString *why = nullptr);
    // The same, but a file at target is replaced in one step (rename(2)): a reader finds the old
    // file or the new one, never neither. For files the program itself owns (a downloaded
    // installer), never for a user's. Moved or Failed; on Failed the staged file is still there.
    MoveResult commitReplacing(const QByteArray &target, SyncPolicy policy, QString *why = nullptr);
    void discard();

private:
    // Applies policy and closes the file; false with *why when that fails.
    bool finishWriting(SyncPolicy policy, QString *why);

    QByteArray m_prefix;
    QByteArray m_folder;
    QByteArray m_path;
    int m_fd = -1;
};

// Writes bytes to path through a staged file in its folder and replaces what is there in one step:
// a reader finds the old content or the whole new one. mode is applied before anything is
// written. For files the program owns (settings, thumbnails, desktop entries), never a user's.
bool writeReplacing(const QByteArray &path, const QByteArray &bytes, SyncPolicy policy, mode_t mode = 0644,
                    QString *why = nullptr);

// True for a name StagedFile makes with this prefix.
bool isStagedName(const QByteArray &name, const QByteArray &prefix);
// Removes staged files of this prefix below folder (recursively, never following links) whose
// last change is older than olderThanSecs: what a crash or a power cut left. A file being
// written changes all the time, so it is never that old. Returns how many were removed.
int removeStaleStaged(const QByteArray &folder, const QByteArray &prefix, qint64 olderThanSecs);

// --- copy ---

enum class CopyResult { Copied, Exists, Stopped, Failed };

// Copies the regular file src into a new staged file in folder, with src's times, and starts
// its writeback; the caller commits it (or lets it go). On anything but Copied nothing is left.
// src is not followed when it is a link (Failed), and the copy's permissions never exceed
// src's (nor 0644 and the umask).
// With md5 given, the bytes are hashed as they are copied (one read of the source) and *md5 gets
// the 16-byte digest of exactly what the copy holds.
CopyResult copyToStaged(const QByteArray &src, StagedFile &staged, const QByteArray &folder,
                        const std::atomic<bool> *stop = nullptr, QString *why = nullptr, QByteArray *md5 = nullptr);

// Copies the regular file src to target through a staged file in target's folder: the copy
// gets src's times, then policy is applied and it takes its name only when target is free.
// Nothing is left behind unless it is Copied. *why says what failed.
CopyResult copyNoReplace(const QByteArray &src, const QByteArray &target, const QByteArray &stagingPrefix,
                         SyncPolicy policy, const std::atomic<bool> *stop = nullptr, QString *why = nullptr);

// --- tests and benchmarks ---

// Makes every read of md5() and copyNoReplace() as slow as a disk delivering bytesPerSecond
// (each read blocks for its share, like a real one); 0 turns it off.
void setReadThrottleForTests(qint64 bytesPerSecond);

} // namespace FileOps
