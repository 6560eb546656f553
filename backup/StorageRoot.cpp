#include "backup/StorageRoot.h"

#include "fileops/FileOps.h"
#include "platform/AppPaths.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QStorageInfo>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcStorageRoot, "vanteo.backup.storageroot")

namespace StorageRoot {

QString withSlash(QString path)
{
    if (!path.isEmpty() && !path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

QString albumOf(const QString &root)
{
    return root + AppPaths::albumFolderName();
}

} // namespace StorageRoot

namespace {

using StorageRoot::albumOf;
using StorageRoot::withSlash;

const QString kSaveDrive = SettingsKeys::SaveDrive.name;
const QString kChosen = SettingsKeys::SaveDriveChosen.name;
const QString kId = SettingsKeys::SaveDriveId.name;
const QString kMarkerName = QStringLiteral(".vanteoalbum-root");
constexpr int kMaxMarkerBytes = 128;

QMutex s_mutex;
QString s_root; // ends with "/"; empty: no root configured
QString s_id;
bool s_moving = false;
bool s_switched = false; // the user switched roots in this process
QString s_retired;       // a root the archive was moved away from (ends with "/")

bool validId(const QByteArray &id)
{
    if (id.isEmpty() || id.size() > 64)
        return false;
    for (char c : id) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

QString gib(qint64 bytes)
{
    return QStringLiteral("%1 GB").arg(double(qMax<qint64>(bytes, 0)) / double(qint64(1) << 30), 0, 'f', 2);
}

// Free bytes the user can write on the file system that holds path; -1 when unknown.
qint64 freeAt(const QString &path)
{
    struct statvfs s
    { };
    if (::statvfs(QFile::encodeName(path).constData(), &s) != 0)
        return -1;
    return qint64(s.f_bavail) * qint64(s.f_frsize);
}

bool deviceOf(const QString &path, dev_t *dev)
{
    struct stat st
    { };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    *dev = st.st_dev;
    return true;
}

// A root under a mount point of /etc/fstab that is not mounted now is the bare folder on the
// disk below: nothing of the archive is there, whatever it holds.
bool underUnmountedFstabTarget(const QString &root)
{
    QFile fstab(QStringLiteral("/etc/fstab"));
    if (!fstab.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = fstab.read(256 * 1024);
    const QString cleanRoot = QDir::cleanPath(root);
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.simplified();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 2 || !fields.at(1).startsWith('/'))
            continue;
        QByteArray target = fields.at(1);
        target.replace("\\040", " ");
        const QString t = QDir::cleanPath(QString::fromUtf8(target));
        if (t == QLatin1String("/") || (cleanRoot != t && !cleanRoot.startsWith(t + QLatin1Char('/'))))
            continue;
        if (QStorageInfo(t).rootPath() != t)
            return true;
    }
    return false;
}

// An earlier version's archive: 万特相册 with folders in it (phones', 本地), on a mounted disk.
bool earlierArchiveAt(const QString &root)
{
    const QDir album(albumOf(root));
    if (!album.exists() || album.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks).isEmpty())
        return false;
    return !underUnmountedFstabTarget(root);
}

QString missingWhy(const QString &root)
{
    return QStringLiteral("备份位置不可用：%1（磁盘未连接？也可在参数设置中另选备份位置）").arg(root);
}

bool phonesUnder(const QString &root)
{
    const QString album = albumOf(root) + QLatin1Char('/');
    const QList<UserEntry> users = ReadWriteSetting::getInstance()->getUserList();
    for (const UserEntry &u : users) {
        if (withSlash(u.path).startsWith(album))
            return true;
    }
    return false;
}

// Takes target as the program's own choice (or none) and prepares it.
QString chooseAutomatically(ReadWriteSetting *settings)
{
    const QString target = withSlash(StorageVolumes::largestFreeRoot());
    settings->setGlobalValue(kSaveDrive, target);
    settings->removeGlobalKey(kChosen);
    settings->removeGlobalKey(kId);
    QString id;
    if (!target.isEmpty()) {
        QString why;
        id = StorageRoot::establish(target, &why);
        if (id.isEmpty())
            qCWarning(lcStorageRoot).noquote() << "cannot prepare" << target << why;
        else
            settings->setGlobalValue(kId, id);
    }
    StorageRoot::setActive(target, id);
    return target;
}

} // namespace

namespace StorageRoot {

QString markerPath(const QString &root)
{
    return albumOf(withSlash(root)) + QLatin1Char('/') + kMarkerName;
}

QString markerId(const QString &root)
{
    const int fd =
        ::open(QFile::encodeName(markerPath(root)).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QString();
    struct stat st
    { };
    QByteArray bytes(kMaxMarkerBytes, '\0');
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = ::read(fd, bytes.data(), size_t(bytes.size()));
    ::close(fd);
    if (n <= 0)
        return QString();
    bytes.truncate(int(n));
    const QByteArray id = bytes.split('\n').value(0).trimmed();
    return validId(id) ? QString::fromLatin1(id) : QString();
}

bool roomFor(qint64 freeBytes, qint64 size)
{
    size = qMax<qint64>(size, 0);
    const qint64 reserve = qMax(kReserveBytes, 2 * size);
    return freeBytes >= 0 && freeBytes - size >= reserve;
}

void setActive(const QString &root, const QString &id)
{
    QMutexLocker lock(&s_mutex);
    s_root = withSlash(root);
    s_id = id;
    if (s_root.isEmpty()) { // no root at all: nothing of an earlier move counts either
        s_moving = s_switched = false;
        s_retired.clear();
    }
}

QString activeRoot()
{
    QMutexLocker lock(&s_mutex);
    return s_root;
}

void beginMove()
{
    QMutexLocker lock(&s_mutex);
    s_moving = true;
}

void finishMove(const QString &from, const QString &to, const QString &toId)
{
    QMutexLocker lock(&s_mutex);
    s_moving = false;
    s_switched = true;
    s_retired = withSlash(from);
    s_root = withSlash(to);
    s_id = toId;
}

void cancelMove()
{
    QMutexLocker lock(&s_mutex);
    s_moving = false;
}

bool moving()
{
    QMutexLocker lock(&s_mutex);
    return s_moving;
}

QString inUse(const QString &startRoot)
{
    QMutexLocker lock(&s_mutex);
    return s_switched ? s_root : startRoot;
}

Verdict check(const QString &path, qint64 size)
{
    QString root;
    QString expected;
    {
        QMutexLocker lock(&s_mutex);
        root = s_root;
        expected = s_id;
    }
    QString retired;
    {
        QMutexLocker lock(&s_mutex);
        if (s_moving)
            return {State::Moving, QStringLiteral("正在把存档移动到新的备份位置，完成后再保存")};
        retired = s_retired;
    }
    const QString target = withSlash(QDir::cleanPath(path));
    if (!retired.isEmpty() && target.startsWith(retired) && (root.isEmpty() || !target.startsWith(root)))
        return {State::Moved, QStringLiteral("存档已移动到 %1").arg(root)};
    if (root.isEmpty() || !target.startsWith(root))
        return {};
    const QString album = albumOf(root);
    const QString id = markerId(root);
    if (id.isEmpty())
        return {State::Missing, missingWhy(root)};
    if (!expected.isEmpty() && id != expected)
        return {State::Foreign, QStringLiteral("备份位置不是原来的存档：%1（请在参数设置中重新选择）").arg(root)};
    // The folder written to must lie on the marker's file system: a disk unmounted since the marker
    // was read leaves the bare mount point, where the folder is missing or on another device.
    dev_t markerDev = 0;
    dev_t folderDev = 0;
    QString existing = QDir::cleanPath(path);
    while (existing.size() > album.size() && !QFileInfo::exists(existing))
        existing = QFileInfo(existing).path();
    if (!deviceOf(markerPath(root), &markerDev) || !deviceOf(existing, &folderDev) || markerDev != folderDev)
        return {State::Missing, missingWhy(root)};
    const qint64 free = freeAt(album);
    if (!roomFor(free, size)) {
        return {State::Full,
                QStringLiteral("空间不足：备份位置 %1 只剩 %2，需保留 %3")
                    .arg(root, gib(free), gib(qMax(kReserveBytes, 2 * qMax<qint64>(size, 0))))};
    }
    return {};
}

bool absent(const QString &path, QString *why)
{
    const Verdict v = check(path, 0);
    if (v.state == State::Ready || v.state == State::Full)
        return false;
    if (why)
        *why = v.why;
    return true;
}

QString establish(const QString &rootIn, QString *why)
{
    const QString root = withSlash(rootIn);
    if (root.isEmpty() || !QFileInfo(root).isDir()) {
        if (why)
            *why = QStringLiteral("文件夹不存在：%1").arg(root);
        return QString();
    }
    const QString existing = markerId(root);
    if (!existing.isEmpty())
        return existing;
    const QString album = albumOf(root);
    if (!QFileInfo(album).isDir() && !QDir().mkdir(album)) {
        if (why)
            *why = QStringLiteral("无法创建 %1").arg(album);
        return QString();
    }
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!FileOps::writeReplacing(QFile::encodeName(markerPath(root)), id.toLatin1() + '\n',
                                 FileOps::SyncPolicy::FileAndFolder, 0644, why))
        return QString();
    qCInfo(lcStorageRoot).noquote() << "marked" << root << "as the storage root" << id;
    return id;
}

QString resolve(const AskMove &askMove)
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    const QString stored = withSlash(settings->getGlobalValue(kSaveDrive));
    if (stored.isEmpty())
        return chooseAutomatically(settings);
    const bool chosen = settings->getGlobalValue(kChosen) == QLatin1String("1");
    QString storedId = settings->getGlobalValue(kId);

    QString id = markerId(stored);
    if (id.isEmpty() && storedId.isEmpty() && earlierArchiveAt(stored))
        id = establish(stored); // the upgrade: this version's marker on the archive found where saveDrive says
    if (!id.isEmpty() && storedId.isEmpty()) {
        storedId = id;
        settings->setGlobalValue(kId, id);
    }
    const bool present = !id.isEmpty() && id == storedId;
    const qint64 free = present ? freeAt(albumOf(stored)) : -1;

    if (chosen || phonesUnder(stored)) {
        // Never split silently: moving on needs the user's yes.
        if (present && !chosen && free < kAutomaticMinimumBytes && askMove) {
            const QString target = withSlash(StorageVolumes::largestFreeRoot());
            const qint64 targetFree = target.isEmpty() ? -1 : StorageVolumes::freeBytes(target);
            if (!target.isEmpty() && target != stored && targetFree > free && askMove(stored, free, target, targetFree))
                return chooseAutomatically(settings);
        }
        if (!present)
            qCWarning(lcStorageRoot).noquote() << "the storage root" << stored << "is not there; nothing is stored";
        setActive(stored, storedId);
        return stored;
    }
    if (present && free >= kAutomaticMinimumBytes) {
        setActive(stored, storedId);
        return stored;
    }
    // Never marked (written into global.xml by hand, or an earlier version's root without phones):
    // kept as before while it has room, now with its marker.
    if (!present && storedId.isEmpty() && QFileInfo(stored).isDir() && !underUnmountedFstabTarget(stored) &&
        freeAt(stored) >= kAutomaticMinimumBytes) {
        id = establish(stored);
        if (!id.isEmpty()) {
            settings->setGlobalValue(kId, id);
            setActive(stored, id);
            return stored;
        }
    }
    return chooseAutomatically(settings);
}

bool choose(const QString &folder, QString *why, QString *idOut)
{
    const QString root = withSlash(QDir::cleanPath(folder));
    const QFileInfo fi(root);
    if (folder.isEmpty() || !fi.isDir() || ::access(QFile::encodeName(root).constData(), W_OK | X_OK) != 0) {
        if (why)
            *why = QStringLiteral("无法写入文件夹：%1").arg(root);
        return false;
    }
    const QString id = establish(root, why);
    if (id.isEmpty())
        return false;
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    settings->setGlobalValue(kSaveDrive, root);
    settings->setGlobalValue(kChosen, QStringLiteral("1"));
    settings->setGlobalValue(kId, id);
    if (idOut)
        *idOut = id;
    return true;
}

bool switchTo(const QString &folder, QString *why)
{
    QString id;
    if (!choose(folder, why, &id))
        return false;
    QMutexLocker lock(&s_mutex);
    s_switched = true;
    s_root = withSlash(QDir::cleanPath(folder));
    s_id = id;
    return true;
}

} // namespace StorageRoot
