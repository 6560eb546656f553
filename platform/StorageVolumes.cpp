#include "platform/StorageVolumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QStorageInfo>

#include <unistd.h>

namespace {

QMutex s_mutex;
bool s_injected = false;
QList<StorageVolumes::Volume> s_volumes;

QString withSlash(QString path)
{
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

// File systems that hold files on a local disk. Everything else (proc, tmpfs, cgroup,
// squashfs images, network shares ...) is no place for a photo archive.
bool isLocalDiskFileSystem(const QByteArray &type, const QString &rootPath)
{
    static const QSet<QByteArray> local = {"ext2",     "ext3",   "ext4",     "xfs",     "btrfs", "f2fs",  "jfs",
                                           "reiserfs", "nilfs2", "bcachefs", "zfs",     "vfat",  "msdos", "exfat",
                                           "ntfs",     "ntfs3",  "fuseblk",  "hfsplus", "apfs",  "udf"};
    if (local.contains(type))
        return true;
    // In a container the root file system is an overlay; it is still the machine's disk.
    return type == "overlay" && rootPath == QLatin1String("/");
}

bool userCanWrite(const QString &dir)
{
    const QFileInfo fi(dir);
    return fi.isDir() && ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0;
}

QList<StorageVolumes::Volume> mountedCandidates()
{
    const QString home = QDir::homePath();
    const QString homeRoot = QStorageInfo(home).rootPath();
    const bool homeUsable = !home.isEmpty() && home != QLatin1String("/") && userCanWrite(home);

    QList<StorageVolumes::Volume> list;
    QList<QByteArray> devices; // parallel to list: one entry per device (bind mounts repeat it)
    for (const QStorageInfo &v : QStorageInfo::mountedVolumes()) {
        if (!v.isValid() || !v.isReady() || v.isReadOnly())
            continue;
        const QString root = v.rootPath();
        if (!isLocalDiskFileSystem(v.fileSystemType(), root))
            continue;
        if (root == QLatin1String("/boot") || root.startsWith(QLatin1String("/boot/")))
            continue;
        const bool holdsHome = homeUsable && root == homeRoot;
        const QString path = withSlash(holdsHome ? home : root);
        if (!holdsHome && !userCanWrite(root))
            continue;
        const StorageVolumes::Volume entry{path, v.bytesAvailable()};
        const int same = devices.indexOf(v.device());
        if (same >= 0) {
            // The same disk mounted twice: one entry, the home folder if it lies there.
            if (holdsHome)
                list[same] = entry;
            continue;
        }
        list.append(entry);
        devices.append(v.device());
    }
    return list;
}

} // namespace

namespace StorageVolumes {

QList<Volume> volumes()
{
    {
        QMutexLocker lock(&s_mutex);
        if (s_injected)
            return s_volumes;
    }
    return mountedCandidates();
}

qint64 freeBytes(const QString &path)
{
    if (path.isEmpty())
        return -1;
    {
        QMutexLocker lock(&s_mutex);
        if (s_injected) {
            const QString p = withSlash(QDir::cleanPath(path));
            const Volume *best = nullptr;
            for (const Volume &v : qAsConst(s_volumes)) {
                if (p.startsWith(v.path) && (!best || v.path.size() > best->path.size()))
                    best = &v;
            }
            return best ? best->freeBytes : -1;
        }
    }
    if (!QFileInfo::exists(path))
        return -1;
    const QStorageInfo info(path);
    if (!info.isValid() || !info.isReady())
        return -1;
    // What the user can still write: blocks kept back for root do not count.
    return info.bytesAvailable();
}

qint64 freeSpaceGiB(const QString &path)
{
    const qint64 bytes = freeBytes(path);
    return bytes > 0 ? (bytes >> 30) : 0;
}

QString largestFreeRoot()
{
    QString best;
    qint64 bestGiB = 0;
    for (const Volume &v : volumes()) {
        if (v.freeBytes <= 0)
            continue;
        const qint64 gib = v.freeBytes >> 30;
        if (gib > bestGiB) {
            bestGiB = gib;
            best = withSlash(v.path);
        }
    }
    return best;
}

void setVolumesForTests(const QList<Volume> &list)
{
    QMutexLocker lock(&s_mutex);
    s_injected = true;
    s_volumes.clear();
    for (const Volume &v : list)
        s_volumes.append({withSlash(v.path), v.freeBytes});
}

void clearVolumesForTests()
{
    QMutexLocker lock(&s_mutex);
    s_injected = false;
    s_volumes.clear();
}

} // namespace StorageVolumes
