#include "imaging/ThumbnailCache.h"

#include "fileops/FileOps.h"

#include "imaging/SafeImage.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QPointer>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcThumbs, "vanteo.thumbnails", QtWarningMsg)

namespace {

// Names the failure records' folder; a new version may succeed where this one failed.
const char kFailFolder[] = "fail/vanteoalbum-1";
const char kSoftware[] = "vanteoalbum";

// A cached thumbnail is at most 256 x 256; anything much larger there is not one.
constexpr qint64 kMaxCachedPixels = 1024LL * 1024;

struct FileStamp
{
    bool exists = false;
    qint64 mtime = 0;
    qint64 size = 0;
};

FileStamp stampOf(const QString &path)
{
    FileStamp s;
    struct stat st
    { };
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        s.exists = true;
        s.mtime = qint64(st.st_mtime);
        s.size = qint64(st.st_size);
    }
    return s;
}

QString cacheHomeOr(const QString &cacheHome)
{
    if (!cacheHome.isEmpty())
        return cacheHome;
    // A relative XDG_CACHE_HOME is invalid and must be ignored.
    const QString env = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!env.isEmpty() && QDir::isAbsolutePath(env))
        return env;
    return QDir::homePath() + QStringLiteral("/.cache");
}

QString md5Name(const QByteArray &uri)
{
    return QString::fromLatin1(QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex()) + QStringLiteral(".png");
}

// What a thumbnail costs the memory cache: its pixels and any text it carries.
qint64 bytesHeld(const QImage &image)
{
    qint64 bytes = image.sizeInBytes();
    for (const QString &key : image.textKeys())
        bytes += (key.size() + image.text(key).size()) * qint64(sizeof(QChar));
    return bytes;
}

// True when image carries exactly this file's identity.
bool stampMatches(const QImage &image, const QByteArray &uri, const FileStamp &stamp)
{
    if (image.text(QStringLiteral("Thumb::URI")).toUtf8() != uri)
        return false;
    if (image.text(QStringLiteral("Thumb::MTime")) != QString::number(stamp.mtime))
        return false;
    // Optional in the format, but when present it catches a rewrite within the same second.
    const QString size = image.text(QStringLiteral("Thumb::Size"));
    return size.isEmpty() || size == QString::number(stamp.size);
}

// The cache folders are private to the user: made 0700. An existing folder is left as it is.
bool makePrivateDir(const QString &path)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0 || errno == EEXIST)
        return QFileInfo(path).isDir();
    return false;
}

bool ensureFolder(const QString &root, const QString &sub)
{
    // A cache home made here is private too, as the base directory rules ask.
    const QString home = QFileInfo(root).absolutePath();
    if (!QFileInfo(home).isDir() && (!QDir().mkpath(QFileInfo(home).absolutePath()) || !makePrivateDir(home)))
        return false;
    if (!makePrivateDir(root))
        return false;
    QString path = root;
    for (const QString &part : sub.split(QLatin1Char('/'))) {
        path += QLatin1Char('/') + part;
        if (!makePrivateDir(path))
            return false;
    }
    return true;
}

// Replaced in one step, so a reader (another program included) sees either the old file or the
// whole new one; 0600 from the start, as the thumbnail folders are private.
bool writeAtomically(const QString &finalPath, const QByteArray &bytes)
{
    return FileOps::writeReplacing(QFile::encodeName(finalPath), bytes, FileOps::SyncPolicy::None, 0600);
}

QByteArray encodePng(QImage image, const QByteArray &uri, const FileStamp &stamp)
{
    image.setText(QStringLiteral("Thumb::URI"), QString::fromLatin1(uri));
    image.setText(QStringLiteral("Thumb::MTime"), QString::number(stamp.mtime));
    image.setText(QStringLiteral("Thumb::Size"), QString::number(stamp.size));
    image.setText(QStringLiteral("Software"), QString::fromLatin1(kSoftware));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return {};
    return bytes;
}

// A cache file made by anyone (another program too): decoded as untrusted and only when it is
// the thumbnail of this very file state.
QImage readStamped(const QString &cachePath, const QByteArray &uri, const FileStamp &stamp)
{
    if (!QFileInfo::exists(cachePath))
        return {};
    SafeImage::Options o;
    o.maxPixels = kMaxCachedPixels;
    o.applyOrientation = false;
    // Another program's thumbnail may carry any text: only the stamp is read from it.
    o.keepText =
        QStringList{QStringLiteral("Thumb::URI"), QStringLiteral("Thumb::MTime"), QStringLiteral("Thumb::Size")};
    const QImage image = SafeImage::load(cachePath, o);
    if (image.isNull() || !stampMatches(image, uri, stamp))
        return {};
    return image;
}

} // namespace

ThumbnailCache::ThumbnailCache(QObject *parent) : ThumbnailCache(Options(), parent)
{
}

ThumbnailCache::ThumbnailCache(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_options.threads = qMax(1, m_options.threads);
    m_pool.setMaxThreadCount(m_options.threads);
    m_memory.setMaxCost(int(qMax<qint64>(1, m_options.memoryBytes / 1024)));
}

ThumbnailCache::~ThumbnailCache()
{
    m_stopping = true;
    cancelAll();
    m_pool.waitForDone();
}

ThumbnailCache *ThumbnailCache::shared()
{
    static QPointer<ThumbnailCache> instance;
    if (!instance && QCoreApplication::instance())
        instance = new ThumbnailCache(QCoreApplication::instance());
    return instance;
}

QImage ThumbnailCache::cached(const QString &path) const
{
    const QImage *image = m_memory.object(path);
    return image ? *image : QImage();
}

void ThumbnailCache::request(const QString &path)
{
    if (path.isEmpty() || m_memory.contains(path))
        return;
    QMutexLocker locker(&m_lock);
    if (m_inFlight.contains(path))
        return;
    if (m_queued.contains(path)) {
        // Asked again means shown again: serve it before what was asked earlier.
        m_queue.removeOne(path);
        m_queue.append(path);
        return;
    }
    m_queue.append(path);
    m_queued.insert(path);
    if (m_workers < m_options.threads) {
        ++m_workers;
        m_pool.start([this] { drain(); });
    }
}

void ThumbnailCache::cancel(const QString &path)
{
    QMutexLocker locker(&m_lock);
    if (m_queued.remove(path))
        m_queue.removeOne(path);
}

void ThumbnailCache::cancelIf(const std::function<bool(const QString &)> &drop)
{
    // The test may be slow (it asks the view); it runs on a copy, outside the lock.
    QStringList queued;
    {
        QMutexLocker locker(&m_lock);
        queued = m_queue;
    }
    QStringList dropped;
    for (const QString &path : qAsConst(queued)) {
        if (drop(path))
            dropped.append(path);
    }
    if (dropped.isEmpty())
        return;
    QMutexLocker locker(&m_lock);
    for (const QString &path : qAsConst(dropped)) {
        if (m_queued.remove(path))
            m_queue.removeOne(path);
    }
}

void ThumbnailCache::cancelAll()
{
    QMutexLocker locker(&m_lock);
    m_queue.clear();
    m_queued.clear();
}

int ThumbnailCache::pendingCount() const
{
    QMutexLocker locker(&m_lock);
    return m_queue.size() + m_inFlight.size();
}

void ThumbnailCache::clearMemory()
{
    m_memory.clear();
}

void ThumbnailCache::drain()
{
    for (;;) {
        QString path;
        {
            QMutexLocker locker(&m_lock);
            if (m_stopping || m_queue.isEmpty()) {
                --m_workers;
                return;
            }
            path = m_queue.takeLast();
            m_queued.remove(path);
            m_inFlight.insert(path);
        }
        const Result result = load(path, m_options);
        if (m_stopping)
            continue;
        QMetaObject::invokeMethod(
            this, [this, path, result] { deliver(path, result); }, Qt::QueuedConnection);
    }
}

void ThumbnailCache::deliver(const QString &path, const Result &result)
{
    {
        QMutexLocker locker(&m_lock);
        m_inFlight.remove(path);
    }
    if (result.kind == Result::Made || result.kind == Result::FromDisk) {
        const int cost = int(qMax<qint64>(1, bytesHeld(result.image) / 1024));
        m_memory.insert(path, new QImage(result.image), cost);
        emit thumbnailReady(path);
    } else {
        emit thumbnailFailed(path, result.kind == Result::Missing, result.why);
    }
}

QByteArray ThumbnailCache::uriFor(const QString &absolutePath)
{
    // Escaped byte by byte like the other users of the cache do, so the md5 names agree.
    static const char safe[] = "!$&'()*+,-./:=@_~";
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray raw = QFile::encodeName(QDir::cleanPath(absolutePath));
    QByteArray uri("file://");
    uri.reserve(7 + raw.size() * 3);
    for (const char c : raw) {
        const uchar u = uchar(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || (u && strchr(safe, c))) {
            uri.append(c);
        } else {
            uri.append('%');
            uri.append(hex[u >> 4]);
            uri.append(hex[u & 15]);
        }
    }
    return uri;
}

QString ThumbnailCache::thumbnailRoot(const QString &cacheHome)
{
    return cacheHomeOr(cacheHome) + QStringLiteral("/thumbnails");
}

QString ThumbnailCache::thumbnailPath(const QString &absolutePath, Flavor flavor, const QString &cacheHome)
{
    return thumbnailRoot(cacheHome) +
        (flavor == Flavor::Large ? QStringLiteral("/large/") : QStringLiteral("/normal/")) +
        md5Name(uriFor(absolutePath));
}

QString ThumbnailCache::failurePath(const QString &absolutePath, const QString &cacheHome)
{
    return thumbnailRoot(cacheHome) + QLatin1Char('/') + QLatin1String(kFailFolder) + QLatin1Char('/') +
        md5Name(uriFor(absolutePath));
}

ThumbnailCache::Result ThumbnailCache::load(const QString &path, const Options &options)
{
    Result result;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const FileStamp stamp = stampOf(absolute);
    if (!stamp.exists) {
        result.kind = Result::Missing;
        result.why = QStringLiteral("file is gone");
        return result;
    }
    const int edge = edgeFor(options.flavor);
    const QByteArray uri = uriFor(absolute);
    const QString root = thumbnailRoot(options.cacheHome);
    const QString sub = options.flavor == Flavor::Large ? QStringLiteral("large") : QStringLiteral("normal");
    const QString cachePath = root + QLatin1Char('/') + sub + QLatin1Char('/') + md5Name(uri);
    const QString failPath = root + QLatin1Char('/') + QLatin1String(kFailFolder) + QLatin1Char('/') + md5Name(uri);

    if (options.useDisk) {
        // The cache's own files are never thumbnailed (that would feed on itself).
        if (absolute.startsWith(root + QLatin1Char('/'))) {
            result.why = QStringLiteral("inside the thumbnail cache");
            return result;
        }
        QImage image = readStamped(cachePath, uri, stamp);
        if (!image.isNull()) {
            if (image.width() > edge || image.height() > edge)
                image = image.scaled(edge, edge, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            result.kind = Result::FromDisk;
            result.image = image;
            return result;
        }
        if (!readStamped(failPath, uri, stamp).isNull()) {
            result.why = QStringLiteral("failed before, file unchanged");
            return result;
        }
    }

    SafeImage::Options o;
    o.fitWithin = QSize(edge, edge);
    QString why;
    QImage image = SafeImage::load(absolute, o, &why);
    if (image.isNull()) {
        result.why = why;
        qCDebug(lcThumbs) << "no thumbnail for" << absolute << why;
        if (options.useDisk && ensureFolder(root, QLatin1String(kFailFolder))) {
            QImage mark(1, 1, QImage::Format_ARGB32);
            mark.fill(Qt::transparent);
            const QByteArray bytes = encodePng(mark, uri, stamp);
            if (!bytes.isEmpty())
                writeAtomically(failPath, bytes);
        }
        return result;
    }
    // In case a reader ignored the size it was asked for.
    if (image.width() > edge || image.height() > edge)
        image = image.scaled(edge, edge, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    if (options.useDisk) {
        if (!ensureFolder(root, sub)) {
            qCWarning(lcThumbs) << "cannot make the thumbnail folder" << root;
        } else {
            const QByteArray bytes = encodePng(image, uri, stamp);
            if (bytes.isEmpty() || !writeAtomically(cachePath, bytes))
                qCWarning(lcThumbs) << "cannot store thumbnail" << cachePath;
        }
    }
    result.kind = Result::Made;
    result.image = image;
    return result;
}
