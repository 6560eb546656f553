#pragma once

#include <QCache>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <atomic>
#include <functional>

// Thumbnails of pictures on disk, shared with file managers through the per-user thumbnail cache
// ($XDG_CACHE_HOME/thumbnails/normal or large: a PNG named after the md5 of the file's URI, carrying
// the URI and the file's modification time). A thumbnail whose recorded time or size no longer
// matches the file is made again. Pictures are decoded only through SafeImage.
//
// Requests are answered off the calling thread by a small pool of its own; the newest request is
// served first, so what the user scrolled to now comes before what they scrolled past, and requests
// for items no longer shown can be withdrawn. Decoded thumbnails are kept in a memory cache bounded
// by bytes. Use from the thread that owns the object (the GUI thread); the signals arrive there.
class ThumbnailCache : public QObject
{
    Q_OBJECT
public:
    enum class Flavor { Normal, Large }; // 128 and 256 pixels, the cache folder's two sizes

    struct Options
    {
        Flavor flavor = Flavor::Normal;
        int threads = 2;
        qint64 memoryBytes = 48LL * 1024 * 1024;
        bool useDisk = true; // false: decode every time, nothing read or written on disk
        QString cacheHome;   // empty: $XDG_CACHE_HOME, else ~/.cache
    };

    // What one pass of the pipeline gave, for callers on any thread.
    struct Result
    {
        enum Kind { Made, FromDisk, Missing, Refused };
        Kind kind = Refused;
        QImage image;
        QString why;
    };

    explicit ThumbnailCache(QObject *parent = nullptr);
    ThumbnailCache(const Options &options, QObject *parent = nullptr);
    // Drops every queued request and waits for the ones being decoded.
    ~ThumbnailCache() override;

    // The process-wide cache, made on first use and owned by the application object.
    static ThumbnailCache *shared();

    // The thumbnail when it is in memory now; never touches the disk.
    QImage cached(const QString &path) const;
    // Queues path unless it is in memory or queued already; thumbnailReady or thumbnailFailed follows.
    void request(const QString &path);
    // Withdraws queued requests (ones being decoded finish and are still reported).
    void cancel(const QString &path);
    void cancelIf(const std::function<bool(const QString &)> &drop);
    void cancelAll();
    int pendingCount() const;
    // Empties the memory cache (benchmarks, low memory).
    void clearMemory();

    int edge() const { return edgeFor(m_options.flavor); }
    const Options &options() const { return m_options; }

    // --- The pipeline itself, usable on any thread ---
    static int edgeFor(Flavor flavor) { return flavor == Flavor::Large ? 256 : 128; }
    // file:// URI of an absolute path, escaped the way the other users of the cache escape it.
    static QByteArray uriFor(const QString &absolutePath);
    // <cacheHome>/thumbnails
    static QString thumbnailRoot(const QString &cacheHome = QString());
    // Where the thumbnail of path lives: <root>/normal|large/<md5 of uri>.png
    static QString thumbnailPath(const QString &absolutePath, Flavor flavor, const QString &cacheHome = QString());
    // Where a failure to thumbnail path is recorded, so it is not tried again until the file changes.
    static QString failurePath(const QString &absolutePath, const QString &cacheHome = QString());
    // Disk cache first (when useDisk), else decode, scale and store.
    static Result load(const QString &path, const Options &options);

signals:
    void thumbnailReady(const QString &path);
    void thumbnailFailed(const QString &path, bool missing, const QString &why);

private:
    void drain();
    void deliver(const QString &path, const Result &result);
    void startWorkers();

    Options m_options;
    QThreadPool m_pool;
    QCache<QString, QImage> m_memory; // owner thread only

    mutable QMutex m_lock; // guards the four below; never held across I/O
    QStringList m_queue;   // newest last
    QSet<QString> m_queued;
    QSet<QString> m_inFlight; // taken by a worker, not yet delivered
    int m_workers = 0;
    std::atomic<bool> m_stopping{false};
};
