#include "fileops/FileOps.h"

#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcFileOps, "vanteo.fileops")

namespace FileOps {

namespace {

// Small enough that one block takes a fraction of a second on the slowest disk worth using,
// large enough that the calls cost nothing next to the bytes.
constexpr size_t kBlock = 1 << 20;
constexpr size_t kHashBlock = 256 * 1024;
constexpr int kMaxTreeDepth = 64;

std::atomic<qint64> g_throttle{0};

bool stopping(const std::atomic<bool> *stop)
{
    return stop && stop->load(std::memory_order_relaxed);
}

void throttle(ssize_t n)
{
    const qint64 rate = g_throttle.load(std::memory_order_relaxed);
    if (rate <= 0 || n <= 0)
        return;
    const qint64 ns = qint64(n) * 1000000000LL / rate;
    struct timespec ts
    {
        time_t(ns / 1000000000LL), long(ns % 1000000000LL)
    };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

ssize_t readSome(int fd, char *buf, size_t n)
{
    for (;;) {
        const ssize_t r = ::read(fd, buf, n);
        if (r < 0 && errno == EINTR)
            continue;
        throttle(r);
        return r;
    }
}

bool writeAll(int fd, const char *buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, buf + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += size_t(w);
    }
    return true;
}

QString errnoText(const char *what, int err)
{
    return QString::fromUtf8(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
}

QByteArray folderOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

int removeStaleIn(int dirFd, const QByteArray &where, const QByteArray &prefix, time_t limit, int depth)
{
    DIR *d = ::fdopendir(dirFd);
    if (!d) {
        ::close(dirFd);
        return 0;
    }
    int removed = 0;
    while (struct dirent *e = ::readdir(d)) {
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        struct stat st;
        if (::fstatat(::dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth >= kMaxTreeDepth)
                continue;
            const int sub = ::openat(::dirfd(d), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                removed += removeStaleIn(sub, where + '/' + name, prefix, limit, depth + 1);
        } else if (S_ISREG(st.st_mode) && isStagedName(QByteArray(name), prefix) && st.st_mtime < limit) {
            if (::unlinkat(::dirfd(d), name, 0) == 0) {
                ++removed;
                qCInfo(lcFileOps) << "removed the leftover of a cut copy" << QFile::decodeName(where + '/' + name);
            }
        }
    }
    ::closedir(d);
    return removed;
}

} // namespace

struct Md5Stream::Context
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Md5Stream::Md5Stream() : m_ctx(new Context)
{
    reset();
}

Md5Stream::~Md5Stream()
{
    delete m_ctx;
}

void Md5Stream::reset()
{
    if (m_ctx->ctx)
        EVP_DigestInit_ex(m_ctx->ctx, EVP_md5(), nullptr);
}

void Md5Stream::add(const char *data, qint64 len)
{
    if (m_ctx->ctx && len > 0)
        EVP_DigestUpdate(m_ctx->ctx, data, size_t(len));
}

QByteArray Md5Stream::result() const
{
    // Finishing a copy leaves this stream open for more bytes.
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> copy(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!m_ctx->ctx || !copy || EVP_MD_CTX_copy_ex(copy.get(), m_ctx->ctx) != 1 ||
        EVP_DigestFinal_ex(copy.get(), md, &len) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(md), int(len));
}

QByteArray Md5Stream::of(const QByteArray &data)
{
    Md5Stream s;
    s.add(data.constData(), data.size());
    return s.result();
}

QByteArray md5(const QByteArray &path, const std::atomic<bool> *stop, bool *stopped)
{
    if (stopped)
        *stopped = false;
    // Non-blocking open: a pipe or device under a picture's name must not hang the caller.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return QByteArray();
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return QByteArray();
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Md5Stream digest;
    static thread_local std::unique_ptr<char[]> buffer(new char[kHashBlock]);
    const qint64 size = st.st_size;
    qint64 done = 0;
    bool ok = true;
    while (done < size) {
        if (stopping(stop)) {
            if (stopped)
                *stopped = true;
            ok = false;
            break;
        }
        const ssize_t n = readSome(fd, buffer.get(), size_t(qMin<qint64>(qint64(kHashBlock), size - done)));
        if (n < 0) {
            ok = false; // an unreadable file has no md5 to trust
            break;
        }
        if (n == 0)
            break; // cut short meanwhile: the digest of what a reader of the file sees now
        digest.add(buffer.get(), n);
        done += n;
    }
    ::close(fd);
    return ok ? digest.result() : QByteArray();
}

QString md5Hex(const QString &path, const std::atomic<bool> *stop)
{
    return QString::fromLatin1(md5(QFile::encodeName(path), stop).toHex());
}

MoveResult renameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return MoveResult::Moved;
    if (errno == EEXIST)
        return MoveResult::Exists;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return MoveResult::Failed;
    // A hard link is made only when the name is free.
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return MoveResult::Moved;
    }
    if (errno == EEXIST)
        return MoveResult::Exists;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
        return MoveResult::Failed;
    // Neither (FAT, exFAT, some fuse): check, then rename; the window between the two is tiny.
    struct stat st;
    if (::lstat(to.constData(), &st) == 0)
        return MoveResult::Exists;
    return ::rename(from.constData(), to.constData()) == 0 ? MoveResult::Moved : MoveResult::Failed;
}

bool syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

StagedFile::StagedFile(const QByteArray &prefix) : m_prefix(prefix)
{
}

StagedFile::~StagedFile()
{
    discard();
}

bool StagedFile::create(const QByteArray &folder, QString *why)
{
    discard();
    m_folder = folder;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray name = m_prefix +
            QByteArray::number(QRandomGenerator::global()->generate64(), 16).rightJustified(16, '0') + ".part";
        const QByteArray path = folder + '/' + name;
        m_fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (m_fd >= 0) {
            m_path = path;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    if (why)
        *why = errnoText("cannot create a file in the target folder", errno);
    return false;
}

MoveResult StagedFile::commit(const QByteArray &target, SyncPolicy policy, QString *why)
{
    if (m_path.isEmpty()) {
        if (why)
            *why = QStringLiteral("nothing staged");
        return MoveResult::Failed;
    }
    if (!finishWriting(policy, why))
        return MoveResult::Failed;
    const MoveResult r = renameNoReplace(m_path, target);
    if (r == MoveResult::Moved) {
        m_path.clear();
        if (policy == SyncPolicy::FileAndFolder)
            syncFolder(folderOf(target));
    } else if (why) {
        *why = r == MoveResult::Exists ? QStringLiteral("the target name was taken meanwhile")
                                       : errnoText("cannot rename into place", errno);
    }
    return r;
}

MoveResult StagedFile::commitReplacing(const QByteArray &target, SyncPolicy policy, QString *why)
{
    if (m_path.isEmpty()) {
        if (why)
            *why = QStringLiteral("nothing staged");
        return MoveResult::Failed;
    }
    if (!finishWriting(policy, why))
        return MoveResult::Failed;
    if (::rename(m_path.constData(), target.constData()) != 0) {
        if (why)
            *why = errnoText("cannot rename into place", errno);
        return MoveResult::Failed;
    }
    m_path.clear();
    if (policy == SyncPolicy::FileAndFolder)
        syncFolder(folderOf(target));
    return MoveResult::Moved;
}

int openRegularFile(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st
    { };
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeReplacing(const QByteArray &path, const QByteArray &bytes, SyncPolicy policy, mode_t mode, QString *why)
{
    StagedFile staged(QByteArrayLiteral(".vanteo-"));
    if (!staged.create(folderOf(path), why))
        return false;
    if (::fchmod(staged.fd(), mode) != 0) {
        if (why)
            *why = errnoText("cannot set the permissions", errno);
        return false;
    }
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t n = ::write(staged.fd(), bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (why)
                *why = errnoText("cannot write", n < 0 ? errno : ENOSPC);
            return false;
        }
        done += n;
    }
    return staged.commitReplacing(path, policy, why) == MoveResult::Moved;
}

bool StagedFile::finishWriting(SyncPolicy policy, QString *why)
{
    if (m_fd < 0)
        return true;
    const bool synced = policy == SyncPolicy::None || ::fdatasync(m_fd) == 0;
    const int err = errno;
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    if (!synced || !closed) {
        if (why)
            *why = errnoText("writing to disk failed", synced ? errno : err);
        return false;
    }
    return true;
}

bool StagedFile::writeOut()
{
    if (m_fd < 0)
        return false;
    return ::sync_file_range(m_fd, 0, 0,
                             SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) == 0;
}

void StagedFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_path.isEmpty()) {
        if (::unlink(m_path.constData()) != 0 && errno != ENOENT)
            qCWarning(lcFileOps) << "could not remove" << QFile::decodeName(m_path) << std::strerror(errno);
        m_path.clear();
    }
}

bool isStagedName(const QByteArray &name, const QByteArray &prefix)
{
    if (name.size() != prefix.size() + 16 + 5 || !name.startsWith(prefix) || !name.endsWith(".part"))
        return false;
    for (int i = prefix.size(); i < prefix.size() + 16; ++i) {
        const char c = name.at(i);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

int removeStaleStaged(const QByteArray &folder, const QByteArray &prefix, qint64 olderThanSecs)
{
    if (folder.isEmpty() || prefix.isEmpty())
        return 0;
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    return removeStaleIn(fd, folder, prefix, ::time(nullptr) - time_t(olderThanSecs), 0);
}

CopyResult copyToStaged(const QByteArray &src, StagedFile &staged, const QByteArray &folder,
                        const std::atomic<bool> *stop, QString *why, QByteArray *md5)
{
    auto fail = [&](CopyResult r, const QString &reason) {
        if (why)
            *why = reason;
        staged.discard();
        return r;
    };
    // A link is never followed: what it points to was not chosen by whoever listed src.
    const int in = ::open(src.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (in < 0)
        return fail(CopyResult::Failed, errnoText("cannot open the source", errno));
    struct InGuard
    {
        int fd;
        ~InGuard() { ::close(fd); }
    } inGuard{in};
    struct stat st;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode))
        return fail(CopyResult::Failed, QStringLiteral("the source is not a regular file"));
    ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    QString reason;
    if (!staged.create(folder, &reason))
        return fail(CopyResult::Failed, reason);
    const int out = staged.fd();
    // The copy never grants more than the source does: a private file stays private.
    struct stat created;
    if (::fstat(out, &created) != 0 || ::fchmod(out, created.st_mode & st.st_mode & 0644) != 0)
        return fail(CopyResult::Failed, errnoText("cannot set the copy's permissions", errno));
    // The kernel copies without passing the bytes through here, and may share blocks; a
    // throttled (test) source reads through the buffer so each read pays its time, and a hashed
    // one so the digest is of the very bytes written.
    bool kernelCopy = g_throttle.load() <= 0 && !md5;
    Md5Stream digest;
    static thread_local std::unique_ptr<char[]> buffer(new char[kBlock]);
    qint64 done = 0;
    for (;;) {
        if (stopping(stop))
            return fail(CopyResult::Stopped, QStringLiteral("stopped"));
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in, nullptr, out, nullptr, kBlock, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) && done == 0) {
                kernelCopy = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
        } else {
            n = readSome(in, buffer.get(), kBlock);
            if (n > 0 && !writeAll(out, buffer.get(), size_t(n)))
                return fail(CopyResult::Failed, errnoText("writing the copy failed", errno));
            if (n > 0 && md5)
                digest.add(buffer.get(), n);
        }
        if (n < 0)
            return fail(CopyResult::Failed, errnoText("reading the source failed", errno));
        if (n == 0)
            break;
        done += n;
    }
    if (done != st.st_size)
        return fail(CopyResult::Failed, QStringLiteral("the source changed size while it was copied"));
    if (md5)
        *md5 = digest.result();
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
    // Writeback starts now, so a later sync finds most of it on its way.
    ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
    return CopyResult::Copied;
}

CopyResult copyNoReplace(const QByteArray &src, const QByteArray &target, const QByteArray &stagingPrefix,
                         SyncPolicy policy, const std::atomic<bool> *stop, QString *why)
{
    StagedFile staged(stagingPrefix);
    const CopyResult copied = copyToStaged(src, staged, folderOf(target), stop, why);
    if (copied != CopyResult::Copied)
        return copied;
    switch (staged.commit(target, policy, why)) {
    case MoveResult::Moved: return CopyResult::Copied;
    case MoveResult::Exists: return CopyResult::Exists;
    case MoveResult::Failed: break;
    }
    return CopyResult::Failed;
}

bool syncFileSystem(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}

QByteArray parentFolder(const QByteArray &path)
{
    return folderOf(path);
}

void setReadThrottleForTests(qint64 bytesPerSecond)
{
    g_throttle = bytesPerSecond;
}

} // namespace FileOps
