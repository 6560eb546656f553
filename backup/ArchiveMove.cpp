#include "backup/ArchiveMove.h"

#include "backup/StorageRoot.h"
#include "fileops/FileOps.h"
#include "platform/AppPaths.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <iterator>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcArchiveMove, "vanteo.backup.archivemove")

namespace {

const QByteArray kStagePrefix = QByteArrayLiteral(".vanteo-move-");
const QString kMarkerName = QStringLiteral(".vanteoalbum-root");
constexpr int kMaxDepth = 64;
constexpr qint64 kMaxJournalBytes = 1 << 20;

// A file being written (a phone's transfer, an organiser's or this move's copy, a settings file):
// never moved; what is left of it when its writer went is removed at the next start.
bool isStaged(const QByteArray &name)
{
    static const QByteArray prefixes[] = {kStagePrefix, QByteArrayLiteral(".vt-"), QByteArrayLiteral(".vanteo-copy-"),
                                          QByteArrayLiteral(".vanteo-")};
    return std::any_of(std::begin(prefixes), std::end(prefixes),
                       [&](const QByteArray &prefix) { return FileOps::isStagedName(name, prefix); });
}

using StorageRoot::albumOf;
using StorageRoot::withSlash;

QByteArray enc(const QString &path)
{
    return QFile::encodeName(path);
}

bool lstatOf(const QByteArray &path, struct stat *st)
{
    return ::lstat(path.constData(), st) == 0;
}

bool isRegular(const QString &path)
{
    struct stat st
    { };
    return lstatOf(enc(path), &st) && S_ISREG(st.st_mode);
}

bool exists(const QString &path)
{
    struct stat st
    { };
    return lstatOf(enc(path), &st);
}

// The top-level names of an album folder that are moved: folders and files, never a link, the
// marker, or a name that does not survive the trip through text.
QStringList entriesOf(const QString &album)
{
    QStringList names;
    DIR *d = ::opendir(enc(album).constData());
    if (!d)
        return names;
    while (const struct dirent *e = ::readdir(d)) {
        const QByteArray raw(e->d_name);
        if (raw == "." || raw == ".." || isStaged(raw))
            continue;
        const QString name = QFile::decodeName(raw);
        struct stat st
        { };
        if (name == kMarkerName || QFile::encodeName(name) != raw || !lstatOf(enc(album) + '/' + raw, &st))
            continue;
        if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))
            names << name;
    }
    ::closedir(d);
    names.sort();
    return names;
}

struct Listing
{
    QVector<QPair<QByteArray, qint64>> files; // relative path, size
    QVector<QByteArray> dirs;                 // parents before their children
};

// The names in the folder at path (never through a link), "." and ".." aside.
bool namesIn(const QByteArray &path, QVector<QByteArray> *names)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    while (const struct dirent *e = ::readdir(d)) {
        const QByteArray name(e->d_name);
        if (name != "." && name != "..")
            names->append(name);
    }
    ::closedir(d);
    return true;
}

// Lists the regular files and folders below base/rel, never through a link.
void listTree(const QByteArray &base, const QByteArray &rel, int depth, Listing *out)
{
    struct stat st
    { };
    if (!lstatOf(base + '/' + rel, &st))
        return;
    if (S_ISREG(st.st_mode)) {
        if (!isStaged(rel.mid(rel.lastIndexOf('/') + 1)))
            out->files.append({rel, qint64(st.st_size)});
        return;
    }
    if (!S_ISDIR(st.st_mode) || depth > kMaxDepth)
        return;
    out->dirs.append(rel);
    QVector<QByteArray> names;
    if (!namesIn(base + '/' + rel, &names))
        return;
    std::sort(names.begin(), names.end());
    for (const QByteArray &name : qAsConst(names))
        listTree(base, rel + '/' + name, depth + 1, out);
}

Listing listEntries(const QString &album, const QStringList &entries)
{
    Listing out;
    for (const QString &entry : entries)
        listTree(enc(album), enc(entry), 0, &out);
    return out;
}

// Removes path and everything below it, never through a link (a link itself is removed).
bool removeTree(const QByteArray &path, int depth = 0)
{
    struct stat st
    { };
    if (!lstatOf(path, &st))
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(path.constData()) == 0;
    bool ok = depth <= kMaxDepth;
    QVector<QByteArray> names;
    if (!ok || !namesIn(path, &names))
        return false;
    for (const QByteArray &name : qAsConst(names))
        ok = removeTree(path + '/' + name, depth + 1) && ok;
    return ::rmdir(path.constData()) == 0 && ok;
}

// True when path lies in one of the entries of album (or is one).
bool underEntries(const QString &path, const QString &album, const QStringList &entries)
{
    if (!path.startsWith(album + QLatin1Char('/')))
        return false;
    const QString rest = path.mid(album.size() + 1);
    for (const QString &entry : entries) {
        if (rest == entry || rest.startsWith(entry + QLatin1Char('/')))
            return true;
    }
    return false;
}

// Points the rows of one album database whose file lies in the entries of fromAlbum at the same
// file under toAlbum, where that file is: one transaction. False when the database can't be changed.
bool rewriteDatabase(const QString &dbPath, const QString &fromAlbum, const QString &toAlbum,
                     const QStringList &entries)
{
    static std::atomic<int> serial{0};
    const QString name = QStringLiteral("archive-move-%1").arg(serial.fetch_add(1));
    bool ok = false;
    int changed = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dbPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (db.open()) {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("select name from sqlite_master where type='table' and name='albumlist'")))
                ok = false;
            else if (!q.next())
                ok = true; // no album table: nothing points anywhere
            else if (db.transaction()) {
                ok = q.exec(QStringLiteral("select id, localpath from albumlist"));
                QVector<QPair<qint64, QString>> moves;
                while (ok && q.next()) {
                    const QString path = q.value(1).toString();
                    const QString moved = toAlbum + path.mid(fromAlbum.size());
                    if (underEntries(path, fromAlbum, entries) && isRegular(moved))
                        moves.append({q.value(0).toLongLong(), moved});
                }
                QSqlQuery update(db);
                ok = ok && update.prepare(QStringLiteral("update albumlist set localpath = ? where id = ?"));
                for (int i = 0; ok && i < moves.size(); ++i) {
                    update.addBindValue(moves.at(i).second);
                    update.addBindValue(moves.at(i).first);
                    ok = update.exec();
                }
                ok = ok ? db.commit() : (db.rollback(), false);
                changed = ok ? moves.size() : 0;
            }
            q.finish();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    qCInfo(lcArchiveMove).noquote() << (ok ? "pointed" : "could not point") << changed << "rows of" << dbPath << "at"
                                    << toAlbum;
    return ok;
}

bool rewriteRows(const QString &fromAlbum, const QString &toAlbum, const QStringList &entries)
{
    bool ok = true;
    const QFileInfoList databases =
        QDir(AppPaths::dataDir()).entryInfoList({QStringLiteral("*.db")}, QDir::Files | QDir::NoSymLinks);
    for (const QFileInfo &db : databases)
        ok = rewriteDatabase(db.filePath(), fromAlbum, toAlbum, entries) && ok;
    return ok;
}

void rewriteUsers(const QString &fromAlbum, const QString &toAlbum, const QStringList &entries)
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    for (const UserEntry &user : settings->getUserList()) {
        const QString path = QDir::cleanPath(user.path);
        if (underEntries(path, fromAlbum, entries))
            settings->updateUser(user.name, toAlbum + path.mid(fromAlbum.size()), QString());
    }
}

// --- the journal ---

struct Journal
{
    QString from, to;    // roots, ending with "/"
    QString phase;       // "copy" until the switch-over, then "switched"
    QStringList entries; // top-level names being moved
    bool createdAlbum = false;
    bool hadMarker = false;
    QString oldDrive, oldChosen, oldId; // the settings before the move

    QString fromAlbum() const { return albumOf(from); }
    QString toAlbum() const { return albumOf(to); }
};

bool writeJournal(const Journal &j)
{
    QJsonObject o;
    o.insert(QStringLiteral("from"), j.from);
    o.insert(QStringLiteral("to"), j.to);
    o.insert(QStringLiteral("phase"), j.phase);
    o.insert(QStringLiteral("entries"), QJsonArray::fromStringList(j.entries));
    o.insert(QStringLiteral("createdAlbum"), j.createdAlbum);
    o.insert(QStringLiteral("hadMarker"), j.hadMarker);
    o.insert(QStringLiteral("oldDrive"), j.oldDrive);
    o.insert(QStringLiteral("oldChosen"), j.oldChosen);
    o.insert(QStringLiteral("oldId"), j.oldId);
    QString why;
    if (FileOps::writeReplacing(enc(ArchiveMove::journalPath()), QJsonDocument(o).toJson(),
                                FileOps::SyncPolicy::FileAndFolder, 0600, &why))
        return true;
    qCWarning(lcArchiveMove).noquote() << "cannot write the journal:" << why;
    return false;
}

// False when there is no journal, or none that makes sense (then it is left for a look by hand).
bool readJournal(Journal *j)
{
    const int fd = FileOps::openRegularFile(enc(ArchiveMove::journalPath()));
    if (fd < 0)
        return false;
    QFile file;
    QByteArray bytes;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        bytes = file.read(kMaxJournalBytes);
    else
        ::close(fd);
    const QJsonObject o = QJsonDocument::fromJson(bytes).object();
    j->from = withSlash(o.value(QStringLiteral("from")).toString());
    j->to = withSlash(o.value(QStringLiteral("to")).toString());
    j->phase = o.value(QStringLiteral("phase")).toString();
    j->entries.clear();
    for (const QJsonValue &v : o.value(QStringLiteral("entries")).toArray()) {
        const QString name = v.toString();
        if (!name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
            name != QLatin1String(".."))
            j->entries << name;
    }
    j->createdAlbum = o.value(QStringLiteral("createdAlbum")).toBool();
    j->hadMarker = o.value(QStringLiteral("hadMarker")).toBool();
    j->oldDrive = o.value(QStringLiteral("oldDrive")).toString();
    j->oldChosen = o.value(QStringLiteral("oldChosen")).toString();
    j->oldId = o.value(QStringLiteral("oldId")).toString();
    const bool absolute = j->from.startsWith(QLatin1Char('/')) && j->to.startsWith(QLatin1Char('/'));
    const bool phase = j->phase == QLatin1String("copy") || j->phase == QLatin1String("switched");
    if (!absolute || !phase || j->from == j->to) {
        qCWarning(lcArchiveMove) << "the journal" << ArchiveMove::journalPath() << "makes no sense; left alone";
        return false;
    }
    return true;
}

void removeJournal()
{
    const QByteArray path = enc(ArchiveMove::journalPath());
    ::unlink(path.constData());
    FileOps::syncFolder(FileOps::parentFolder(path));
}

void restoreSetting(const SettingKey &key, const QString &value)
{
    if (value.isEmpty())
        ReadWriteSetting::getInstance()->remove(key);
    else
        ReadWriteSetting::getInstance()->setValue(key, value);
}

// Before the switch-over: everything points back at the old root, which is whole, and the new
// copies go (only the entries the journal names, which were not there before the move).
void restoreSettings(const Journal &j)
{
    restoreSetting(SettingsKeys::SaveDrive, j.oldDrive);
    restoreSetting(SettingsKeys::SaveDriveChosen, j.oldChosen);
    restoreSetting(SettingsKeys::SaveDriveId, j.oldId);
}

void rollBack(const Journal &j)
{
    rewriteRows(j.toAlbum(), j.fromAlbum(), j.entries);
    rewriteUsers(j.toAlbum(), j.fromAlbum(), j.entries);
    restoreSettings(j);
    for (const QString &entry : j.entries)
        removeTree(enc(j.toAlbum() + QLatin1Char('/') + entry));
    if (!j.hadMarker)
        ::unlink(enc(StorageRoot::markerPath(j.to)).constData());
    if (j.createdAlbum)
        ::rmdir(enc(j.toAlbum()).constData());
    FileOps::syncFileSystem(enc(j.to));
    removeJournal();
    qCInfo(lcArchiveMove).noquote() << "rolled back the move from" << j.from << "to" << j.to;
}

// Removes the old copies of files that are at the new place with the same content (by md5 unless
// verified is given), then the folders left empty; the old marker goes once nothing else is left.
// False when a stop cut it short.
bool removeOldCopies(const Journal &j, const QVector<QByteArray> *verified, const std::atomic<bool> *stop)
{
    const QByteArray from = enc(j.fromAlbum());
    const QByteArray to = enc(j.toAlbum());
    QVector<QByteArray> files = verified ? *verified : QVector<QByteArray>();
    const Listing old = listEntries(j.fromAlbum(), j.entries);
    if (!verified) {
        for (const auto &f : old.files) {
            const QByteArray copy = FileOps::md5(to + '/' + f.first, stop);
            if (!copy.isEmpty() && copy == FileOps::md5(from + '/' + f.first, stop))
                files.append(f.first);
        }
    }
    for (const QByteArray &rel : qAsConst(files)) {
        if (stop && stop->load())
            return false;
        struct stat st
        { };
        if (lstatOf(from + '/' + rel, &st) && S_ISREG(st.st_mode))
            ::unlink(QByteArray(from + '/' + rel).constData());
    }
    for (int i = old.dirs.size() - 1; i >= 0; --i)
        ::rmdir(QByteArray(from + '/' + old.dirs.at(i)).constData());
    if (entriesOf(j.fromAlbum()).isEmpty()) {
        ::unlink(enc(StorageRoot::markerPath(j.from)).constData());
        ::rmdir(from.constData());
    }
    return true;
}

// After the switch-over: the rows and phones point at the new copies, the old ones go.
bool finishSwitched(const Journal &j, const QVector<QByteArray> *verified, const std::atomic<bool> *stop)
{
    rewriteRows(j.fromAlbum(), j.toAlbum(), j.entries);
    rewriteUsers(j.fromAlbum(), j.toAlbum(), j.entries);
    if (!removeOldCopies(j, verified, stop))
        return false;
    // Rows recorded meanwhile for files that were moved follow them too.
    rewriteRows(j.fromAlbum(), j.toAlbum(), j.entries);
    removeJournal();
    qCInfo(lcArchiveMove).noquote() << "finished the move from" << j.from << "to" << j.to;
    return true;
}

QString gib(qint64 bytes)
{
    return QStringLiteral("%1 GB").arg(double(qMax<qint64>(bytes, 0)) / double(qint64(1) << 30), 0, 'f', 2);
}

} // namespace

ArchiveMove::ArchiveMove(const QString &from, const QString &to, QObject *parent)
    : QObject(parent), m_from(withSlash(QDir::cleanPath(from))), m_to(withSlash(QDir::cleanPath(to))),
      m_fromAlbum(albumOf(m_from)), m_toAlbum(albumOf(m_to))
{
    qRegisterMetaType<ArchiveMove::Outcome>();
}

ArchiveMove::~ArchiveMove()
{
    stop();
    if (m_thread)
        m_thread->wait();
}

bool ArchiveMove::hasArchive(const QString &root)
{
    return !root.isEmpty() && !entriesOf(albumOf(withSlash(QDir::cleanPath(root)))).isEmpty();
}

QString ArchiveMove::journalPath()
{
    return AppPaths::configFile(QStringLiteral("archive-move.json"));
}

QString ArchiveMove::recover()
{
    Journal j;
    if (!readJournal(&j))
        return QString();
    // Nothing is undone or finished without the archive it relies on (an unplugged disk): the
    // journal waits for a start where it is there, and the configured root, absent, takes nothing.
    if (j.phase == QLatin1String("copy")) {
        if (StorageRoot::markerId(j.from).isEmpty()) {
            restoreSettings(j);
            return QStringLiteral("上次把存档从 %1 移动到 %2 时程序意外退出。%1 现在不可用，"
                                  "连接后重新启动程序即可撤销这次移动。")
                .arg(j.from, j.to);
        }
        rollBack(j);
        return QStringLiteral("上次把存档从 %1 移动到 %2 时程序意外退出。移动已撤销，存档仍在 %1。").arg(j.from, j.to);
    }
    if (StorageRoot::markerId(j.to).isEmpty())
        return QStringLiteral(
                   "上次把存档从 %1 移动到 %2 时程序意外退出。%2 现在不可用，连接后重新启动程序即可完成这次移动。")
            .arg(j.from, j.to);
    // The settings may not have reached the disk before the cut.
    if (ReadWriteSetting::getInstance()->value(SettingsKeys::SaveDrive) != j.to)
        StorageRoot::choose(j.to, nullptr);
    finishSwitched(j, nullptr, nullptr);
    return QStringLiteral("上次把存档从 %1 移动到 %2 时程序意外退出。移动已完成，备份位置为 %2。").arg(j.from, j.to);
}

void ArchiveMove::start()
{
    if (m_thread)
        return;
    m_thread.reset(QThread::create([this] {
        const Outcome outcome = run();
        emit finished(outcome, m_message);
    }));
    m_thread->start();
}

void ArchiveMove::stop()
{
    m_stop = true;
}

void ArchiveMove::report(bool force)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!force && now - m_lastReport < 100)
        return;
    m_lastReport = now;
    emit progress(m_filesDone, m_files.size(), m_bytesDone, m_bytesTotal);
}

// Decides whether the move can be made; nothing is changed on disk.
bool ArchiveMove::prepare()
{
    const QString toClean = QDir::cleanPath(m_to);
    if (m_from == m_to || m_toAlbum.startsWith(m_fromAlbum + QLatin1Char('/')) ||
        m_fromAlbum.startsWith(m_toAlbum + QLatin1Char('/'))) {
        m_message =
            QStringLiteral("新的备份位置不能是原位置，也不能在原来的“%1”文件夹里。").arg(AppPaths::albumFolderName());
        return false;
    }
    if (!QFileInfo(toClean).isDir() || ::access(enc(toClean).constData(), W_OK | X_OK) != 0) {
        m_message = QStringLiteral("无法写入文件夹：%1").arg(m_to);
        return false;
    }
    struct stat st
    { };
    if (lstatOf(enc(m_toAlbum), &st) && !S_ISDIR(st.st_mode)) { // a link there would lead the copies elsewhere
        m_message = QStringLiteral("新位置的 %1 不是普通文件夹。").arg(m_toAlbum);
        return false;
    }
    m_entries = entriesOf(m_fromAlbum);
    for (const QString &entry : qAsConst(m_entries)) {
        if (exists(m_toAlbum + QLatin1Char('/') + entry)) {
            m_message = QStringLiteral("新位置已有同名的文件夹或文件：%1。请先处理它，或另选位置。")
                            .arg(m_toAlbum + QLatin1Char('/') + entry);
            return false;
        }
    }
    const Listing listing = listEntries(m_fromAlbum, m_entries);
    m_files.clear();
    m_bytesTotal = 0;
    for (const auto &f : listing.files) {
        m_files.append({f.first, f.second, false});
        m_bytesTotal += f.second;
    }
    const qint64 free = StorageVolumes::freeBytes(m_to);
    if (free < 0 || free - m_bytesTotal < StorageRoot::kReserveBytes) {
        m_message = QStringLiteral("新位置空间不足：存档共 %1（%2 个文件），%3 只剩 %4，还需另留 %5。")
                        .arg(gib(m_bytesTotal))
                        .arg(m_files.size())
                        .arg(m_to, gib(free), gib(StorageRoot::kReserveBytes));
        return false;
    }
    return true;
}

bool ArchiveMove::copyOne(File &file)
{
    const QByteArray src = enc(m_fromAlbum) + '/' + file.rel;
    const QByteArray dst = enc(m_toAlbum) + '/' + file.rel;
    const QByteArray folder = FileOps::parentFolder(dst);
    if (!QDir().mkpath(QFile::decodeName(folder))) {
        m_message = QStringLiteral("无法创建文件夹：%1").arg(QFile::decodeName(folder));
        return false;
    }
    FileOps::StagedFile staged(kStagePrefix);
    QByteArray md5;
    QString why;
    const FileOps::CopyResult copied = FileOps::copyToStaged(src, staged, folder, &m_stop, &why, &md5);
    if (copied == FileOps::CopyResult::Stopped)
        return false;
    const bool placed = copied == FileOps::CopyResult::Copied &&
        staged.commit(dst, FileOps::SyncPolicy::None, &why) == FileOps::MoveResult::Moved;
    // Read back from the new place: what a later reader will get.
    const bool same = placed && FileOps::md5(dst, &m_stop) == md5;
    if (!same) {
        if (placed)
            ::unlink(dst.constData());
        if (!m_stop)
            m_message = QStringLiteral("复制 %1 失败：%2")
                            .arg(QFile::decodeName(src), why.isEmpty() ? QStringLiteral("校验不一致") : why);
        return false;
    }
    file.verified = true;
    m_bytesDone += file.size;
    ++m_filesDone;
    report(false);
    return true;
}

// Copies what is not copied yet; *copied counts the files of this pass.
bool ArchiveMove::copyPass(int *copied)
{
    *copied = 0;
    for (File &file : m_files) {
        if (file.verified)
            continue;
        if (m_stop || (m_killAfterFiles >= 0 && m_filesDone >= m_killAfterFiles))
            return false;
        if (!copyOne(file))
            return false;
        ++*copied;
    }
    return true;
}

bool ArchiveMove::copyAll()
{
    // A file a phone finished while the first pass ran (it passed its check before the move began)
    // is picked up by the next one; one still later stays where it is, with its row.
    QSet<QByteArray> known;
    for (const File &f : qAsConst(m_files))
        known.insert(f.rel);
    for (int pass = 0;; ++pass) {
        int copied = 0;
        if (!copyPass(&copied))
            return false;
        if (pass == 2 || (pass > 0 && copied == 0))
            break;
        const Listing again = listEntries(m_fromAlbum, m_entries);
        for (const auto &f : again.files) {
            if (!known.contains(f.first)) {
                known.insert(f.first);
                m_files.append({f.first, f.second, false});
                m_bytesTotal += f.second;
            }
        }
    }
    report(true);
    return FileOps::syncFileSystem(enc(m_toAlbum));
}

ArchiveMove::Outcome ArchiveMove::rollBackNow(Outcome outcome)
{
    Journal j;
    if (readJournal(&j))
        rollBack(j);
    StorageRoot::cancelMove();
    if (outcome == Outcome::Stopped)
        m_message = QStringLiteral("已停止：存档仍在 %1，新位置的副本已删除。").arg(m_from);
    return outcome;
}

ArchiveMove::Outcome ArchiveMove::run()
{
    StorageRoot::beginMove();
    if (!prepare()) {
        StorageRoot::cancelMove();
        return Outcome::Refused;
    }
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    Journal j;
    j.from = m_from;
    j.to = m_to;
    j.phase = QStringLiteral("copy");
    j.entries = m_entries;
    j.createdAlbum = !exists(m_toAlbum);
    j.hadMarker = !StorageRoot::markerId(m_to).isEmpty();
    j.oldDrive = settings->value(SettingsKeys::SaveDrive);
    j.oldChosen = settings->value(SettingsKeys::SaveDriveChosen);
    j.oldId = settings->value(SettingsKeys::SaveDriveId);
    if (!writeJournal(j)) {
        StorageRoot::cancelMove();
        m_message = QStringLiteral("无法写入记录文件 %1").arg(journalPath());
        return Outcome::Failed;
    }
    qCInfo(lcArchiveMove).noquote() << "moving" << m_files.size() << "files," << m_bytesTotal << "bytes from"
                                    << m_fromAlbum << "to" << m_toAlbum;
    report(true);
    if (!copyAll()) {
        if (m_killAfterFiles >= 0 && m_filesDone >= m_killAfterFiles)
            return Outcome::Failed;
        return rollBackNow(m_stop ? Outcome::Stopped : Outcome::Failed);
    }
    if (killedAt(Step::Copied))
        return Outcome::Failed;
    return switchOver();
}

ArchiveMove::Outcome ArchiveMove::switchOver()
{
    if (!rewriteRows(m_fromAlbum, m_toAlbum, m_entries)) {
        m_message = QStringLiteral("无法修改相册数据库，移动已撤销。");
        return rollBackNow(Outcome::Failed);
    }
    rewriteUsers(m_fromAlbum, m_toAlbum, m_entries);
    if (killedAt(Step::Rewritten))
        return Outcome::Failed;
    QString why, id;
    Journal j;
    if (m_stop || !StorageRoot::choose(m_to, &why, &id) || !readJournal(&j)) {
        if (!m_stop)
            m_message = QStringLiteral("无法使用新位置：%1。移动已撤销。").arg(why);
        return rollBackNow(m_stop ? Outcome::Stopped : Outcome::Failed);
    }
    j.phase = QStringLiteral("switched");
    if (!writeJournal(j)) { // the switch-over point: from here on the move is finished, never undone
        m_message = QStringLiteral("无法写入记录文件 %1，移动已撤销。").arg(journalPath());
        return rollBackNow(Outcome::Failed);
    }
    StorageRoot::finishMove(m_from, m_to, id);
    if (killedAt(Step::Switched))
        return Outcome::Failed;
    QVector<QByteArray> verified;
    for (const File &f : qAsConst(m_files)) {
        if (f.verified)
            verified.append(f.rel);
    }
    if (!finishSwitched(j, &verified, &m_stop))
        qCInfo(lcArchiveMove) << "stopped removing the old copies; the next start goes on";
    m_message = QStringLiteral("已把 %1 个文件（%2）移动到 %3。").arg(m_filesDone).arg(gib(m_bytesDone), m_toAlbum);
    return Outcome::Moved;
}
