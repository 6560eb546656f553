#include "IncomingFile.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <io.h>
#endif

Q_LOGGING_CATEGORY(lcIncoming, "vanteo.backup.incoming")

namespace {

// Clash names tried before giving up; a folder never holds that many versions of one name.
constexpr int kMaxNumbered = 10000;

bool syncFile(QFile &file)
{
    if (!file.flush())
        return false;
#if defined(Q_OS_UNIX)
    return ::fsync(file.handle()) == 0;
#elif defined(Q_OS_WIN)
    return ::_commit(file.handle()) == 0;
#else
    return true;
#endif
}

// Makes a rename durable: the new directory entry must reach the disk too.
void syncFolder(const QString &folder)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(folder)
#endif
}

enum class MoveResult { Moved, Exists, Failed };

// Renames without ever replacing an existing file (QFile::rename falls back to copy-and-truncate).
MoveResult moveNoReplace(const QString &from, const QString &to)
{
#ifdef Q_OS_LINUX
    const QByteArray src = QFile::encodeName(from);
    const QByteArray dst = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, src.constData(), AT_FDCWD, dst.constData(), RENAME_NOREPLACE) == 0)
        return MoveResult::Moved;
    if (errno == EEXIST)
        return MoveResult::Exists;
    if (errno != EINVAL && errno != ENOSYS)
        return MoveResult::Failed;
    // File systems without RENAME_NOREPLACE: a hard link is created only when the name is free.
    if (::link(src.constData(), dst.constData()) == 0) {
        ::unlink(src.constData());
        return MoveResult::Moved;
    }
    if (errno == EEXIST)
        return MoveResult::Exists;
    if (errno != EPERM && errno != EOPNOTSUPP)
        return MoveResult::Failed;
    // No hard links either (FAT drives): check, then rename; the window between the two is tiny.
    if (QFileInfo::exists(to))
        return MoveResult::Exists;
    return ::rename(src.constData(), dst.constData()) == 0 ? MoveResult::Moved : MoveResult::Failed;
#else
    if (QFileInfo::exists(to))
        return MoveResult::Exists;
    return QDir().rename(from, to) ? MoveResult::Moved : MoveResult::Failed;
#endif
}

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
        return device == o.device && inode == o.inode && size == o.size && modifiedNs == o.modifiedNs
            && changedNs == o.changedNs;
    }
};

// The stamp of a regular file (links followed, as the md5 is read through them); size -1 otherwise.
// *exists tells whether anything is there at all, from the same look.
FileStamp stampOf(const QString &path, bool *exists = nullptr)
{
    FileStamp stamp;
#ifdef Q_OS_UNIX
    struct stat st {};
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
#else
    const QFileInfo info(path);
    if (exists)
        *exists = info.exists();
    if (!info.isFile())
        return stamp;
    stamp.size = info.size();
    stamp.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
    stamp.changedNs = info.metadataChangeTime().toMSecsSinceEpoch() * 1000000;
#endif
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

IncomingFile::IncomingFile() : m_hash(QCryptographicHash::Md5) {}

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
    // A short hidden name: never a name a phone could send, and short enough for any file system.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString name = QStringLiteral(".vt-%1.part")
                                 .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        m_file.setFileName(folder + QLatin1Char('/') + name);
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return true;
        if (m_file.error() != QFileDevice::OpenError || !QFileInfo::exists(m_file.fileName()))
            break;
    }
    if (why)
        *why = QStringLiteral("cannot create a file in %1: %2").arg(folder, m_file.errorString());
    return false;
}

bool IncomingFile::write(const char *data, qint64 len)
{
    if (m_failed || !m_file.isOpen())
        return false;
    m_hash.addData(data, int(len));
    qint64 done = 0;
    while (done < len) {
        const qint64 n = m_file.write(data + done, len - done);
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
    if (!m_file.isOpen())
        return fail(QStringLiteral("nothing to commit"));
    if (m_failed)
        return fail(QStringLiteral("write failed: %1").arg(m_file.errorString()));
    if (!syncFile(m_file))
        return fail(QStringLiteral("flush to disk failed: %1").arg(m_file.errorString()));
    m_file.close();

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
        switch (moveNoReplace(m_file.fileName(), candidate)) {
        case MoveResult::Moved:
            syncFolder(m_folder);
            md5Memo().remember(candidate, stampOf(candidate), md5);
            *finalPath = candidate;
            m_file.setFileName(QString());
            return Outcome::Stored;
        case MoveResult::Exists:
            continue; // appeared meanwhile (or a dangling link): the next name
        case MoveResult::Failed:
            return fail(QStringLiteral("cannot rename to %1").arg(candidate));
        }
    }
    return fail(QStringLiteral("no free name for %1").arg(fileName));
}

void IncomingFile::discard()
{
    if (m_file.fileName().isEmpty())
        return;
    m_file.close();
    if (!m_file.remove())
        qCWarning(lcIncoming) << "could not remove" << m_file.fileName() << m_file.errorString();
    m_file.setFileName(QString());
}

QString IncomingFile::findIdentical(const QString &folder, const QString &fileName, const QString &md5,
                                   qint64 size)
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    // Up to the size at opening, so a file that grows meanwhile gives a stable answer.
    qint64 left = file.size();
    QByteArray block(256 * 1024, Qt::Uninitialized);
    while (left > 0) {
        const qint64 n = file.read(block.data(), qMin<qint64>(left, block.size()));
        if (n <= 0)
            break;
        hash.addData(block.constData(), int(n));
        left -= n;
    }
    return QString::fromLatin1(hash.result().toHex());
}

bool IncomingFile::isPartialName(const QString &name)
{
    static const QRegularExpression partial(QStringLiteral("^\\.vt-[0-9a-f]{16}\\.part$"));
    return partial.match(name).hasMatch();
}

int IncomingFile::removeStaleParts(const QString &folder, qint64 olderThanSecs)
{
    return removePartsBefore(folder, QDateTime::currentDateTimeUtc().addSecs(-olderThanSecs));
}

int IncomingFile::removePartsBefore(const QString &folder, const QDateTime &limit)
{
    if (folder.isEmpty() || !limit.isValid())
        return 0;
    int removed = 0;
    QDirIterator it(folder, {QStringLiteral(".vt-*.part")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (!isPartialName(info.fileName()) || info.lastModified().toUTC() >= limit.toUTC())
            continue;
        if (QFile::remove(info.filePath())) {
            ++removed;
            qCInfo(lcIncoming) << "removed the leftover of a cut transfer" << info.filePath();
        }
    }
    return removed;
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
