#include "IncomingFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Clash names tried before giving up; a folder never holds that many versions of one name.
constexpr int kMaxNumbered = 10000;

// The hidden name a file has while it arrives: ".vt-" + 16 hex digits + ".part", never a phone's name.
const QByteArray kPartPrefix = QByteArrayLiteral(".vt-");

// What identifies a file's content without reading it: a write or a replacement changes one of these.
struct FileStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;

    bool operator==(const FileStamp &o) const
    {
        return device == o.device && inode == o.inode && size == o.size && modifiedNs == o.modifiedNs &&
            changedNs == o.changedNs;
    }
};

// The stamp of a regular file (links followed, as the md5 is read through them); size -1 otherwise.
// *exists tells whether anything is there at all, from the same look.
FileStamp stampOf(const QString &path, bool *exists = nullptr)
{
    FileStamp stamp;
    struct stat st
    { };
    const bool found = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    if (exists)
        *exists = found;
    if (!found || !S_ISREG(st.st_mode))
        return stamp;
    stamp.device = quint64(st.st_dev);
    stamp.inode = quint64(st.st_ino);
    stamp.size = qint64(st.st_size);
    stamp.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.changedNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return stamp;
}

// md5s of stored files, shared by every connection. Bounded: emptied when full, which only costs a re-read.
class Md5Memo
{
public:
    static constexpr int kMaxEntries = 8192;

    QString find(const QString &path, const FileStamp &stamp)
    {
        QMutexLocker locker(&m_mutex);
        const auto it = m_entries.constFind(path);
        return it != m_entries.cend() && it->stamp == stamp ? it->md5 : QString();
    }
    void remember(const QString &path, const FileStamp &stamp, const QString &md5)
    {
        if (stamp.size < 0 || md5.isEmpty())
            return;
        QMutexLocker locker(&m_mutex);
        if (m_entries.size() >= kMaxEntries)
            m_entries.clear();
        m_entries.insert(path, Entry{stamp, md5});
    }

private:
    struct Entry
    {
        FileStamp stamp;
        QString md5;
    };
    QMutex m_mutex;
    QHash<QString, Entry> m_entries;
};

Md5Memo &md5Memo()
{
    static Md5Memo memo;
    return memo;
}

// The md5 of a file with the given stamp, read only when not known; the stamp is taken again after the
// read, so a file that changed meanwhile is not remembered.
QString md5ForStamp(const QString &path, const FileStamp &stamp)
{
    if (stamp.size < 0)
        return QString();
    QString md5 = md5Memo().find(path, stamp);
    if (!md5.isEmpty())
        return md5;
    md5 = IncomingFile::fileMd5(path);
    if (stampOf(path) == stamp)
        md5Memo().remember(path, stamp, md5);
    return md5;
}

} // namespace

IncomingFile::IncomingFile() : m_staged(kPartPrefix)
{
}

IncomingFile::~IncomingFile()
{
    discard();
}

bool IncomingFile::open(const QString &folder, QString *why)
{
    discard();
    m_folder = folder;
    m_hash.reset();
    m_written = 0;
    m_failed = false;
    if (!QDir().mkpath(folder)) {
        if (why)
            *why = QStringLiteral("cannot create folder %1").arg(folder);
        return false;
    }
    QString reason;
    if (!m_staged.create(QFile::encodeName(folder), &reason)) {
        if (why)
            *why = QStringLiteral("%1: %2").arg(folder, reason);
        return false;
    }
    return true;
}

bool IncomingFile::write(const char *data, qint64 len)
{
    if (m_failed || !isOpen())
        return false;
    m_hash.add(data, len);
    qint64 done = 0;
    while (done < len) {
        const ssize_t n = ::write(m_staged.fd(), data + done, size_t(len - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_failed = true;
            return false;
        }
        done += n;
    }
    m_written += len;
    return true;
}

QString IncomingFile::md5Hex() const
{
    return QString::fromLatin1(m_hash.result().toHex());
}

IncomingFile::Outcome IncomingFile::commit(const QString &fileName, QString *finalPath, QString *why)
{
    auto fail = [&](const QString &reason) {
        if (why)
            *why = reason;
        discard();
        return Outcome::Failed;
    };
    if (!isOpen())
        return fail(QStringLiteral("nothing to commit"));
    if (m_failed)
        return fail(QStringLiteral("write failed"));

    const QString md5 = md5Hex();
    for (int n = 0; n < kMaxNumbered; ++n) {
        const QString candidate = m_folder + QLatin1Char('/') + numberedName(fileName, n);
        bool taken = false;
        const FileStamp stamp = stampOf(candidate, &taken);
        if (taken) {
            // Only a file of the same size can hold the same content.
            if (stamp.size == m_written && md5ForStamp(candidate, stamp) == md5) {
                *finalPath = candidate;
                discard();
                return Outcome::Duplicate;
            }
            continue;
        }
        // The content reaches the disk before it takes the name, and the new name after.
        QString reason;
        switch (m_staged.commit(QFile::encodeName(candidate), FileOps::SyncPolicy::FileAndFolder, &reason)) {
        case FileOps::MoveResult::Moved:
            md5Memo().remember(candidate, stampOf(candidate), md5);
            *finalPath = candidate;
            return Outcome::Stored;
        case FileOps::MoveResult::Exists: continue; // appeared meanwhile (or a dangling link): the next name
        case FileOps::MoveResult::Failed: return fail(QStringLiteral("%1: %2").arg(candidate, reason));
        }
    }
    return fail(QStringLiteral("no free name for %1").arg(fileName));
}

void IncomingFile::discard()
{
    m_staged.discard();
}

QString IncomingFile::findIdentical(const QString &folder, const QString &fileName, const QString &md5, qint64 size)
{
    if (md5.isEmpty())
        return QString();
    for (int n = 0; n < kMaxNumbered; ++n) {
        const QString candidate = folder + QLatin1Char('/') + numberedName(fileName, n);
        bool taken = false;
        const FileStamp stamp = stampOf(candidate, &taken);
        if (!taken)
            break;
        if (size >= 0 && stamp.size != size)
            continue;
        if (md5ForStamp(candidate, stamp).compare(md5, Qt::CaseInsensitive) == 0)
            return candidate;
    }
    return QString();
}

QString IncomingFile::knownMd5(const QString &path)
{
    return md5ForStamp(path, stampOf(path));
}

QString IncomingFile::numberedName(const QString &fileName, int n)
{
    if (n == 0)
        return fileName;
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString tag = QStringLiteral("(%1)").arg(n);
    if (dot <= 0) // no suffix, or a hidden name such as ".profile"
        return fileName + tag;
    return fileName.left(dot) + tag + fileName.mid(dot);
}

QString IncomingFile::fileMd5(const QString &path)
{
    return FileOps::md5Hex(path);
}

bool IncomingFile::isPartialName(const QString &name)
{
    return FileOps::isStagedName(QFile::encodeName(name), kPartPrefix);
}

int IncomingFile::removeStaleParts(const QString &folder, qint64 olderThanSecs)
{
    return FileOps::removeStaleStaged(QFile::encodeName(folder), kPartPrefix, olderThanSecs);
}

int IncomingFile::removePartsBefore(const QString &folder, const QDateTime &limit)
{
    if (!limit.isValid())
        return 0;
    return removeStaleParts(folder, qMax<qint64>(0, limit.secsTo(QDateTime::currentDateTimeUtc())));
}

bool IncomingFile::isSafeFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    // Reserved for files still arriving (and cleaned up as leftovers).
    if (isPartialName(name))
        return false;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7f || c == QLatin1Char('/') || c == QLatin1Char('\\'))
            return false;
    }
    return true;
}
