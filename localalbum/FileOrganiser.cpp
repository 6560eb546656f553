#include "localalbum/FileOrganiser.h"

#include "backup/StoragePlan.h"
#include "backup/StorageRoot.h"
#include "fileops/FileOps.h"
#include "localalbum/MediaRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTextCodec>

#include <sys/stat.h>

namespace {

constexpr qint64 kMinFileSize = 40000;
constexpr int kMaxFolderSyncs = 4;
std::atomic<bool> g_failCopies{false};

bool isValidLocalName(const QByteArray &raw)
{
    return QFile::encodeName(QFile::decodeName(raw)) == raw;
}

bool ensureFolder(const QString &path)
{
    return QFileInfo(path).isDir() || QDir().mkpath(path);
}

QString hex(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex());
}

// The copy's name: the source's, or for a name that is not valid in the local encoding its
// readable form (*note says so).
QString targetNameFor(const QByteArray &rawPath, QString *note)
{
    const QByteArray raw = MediaRules::fileNameOf(rawPath);
    if (isValidLocalName(raw))
        return QFile::decodeName(raw);
    // Names from Windows archives are mostly GBK; anything else keeps its readable part.
    QString name;
    if (QTextCodec *gbk = QTextCodec::codecForName("GB18030")) {
        QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull);
        const QString converted = gbk->toUnicode(raw.constData(), raw.size(), &state);
        // The decoder puts U+FFFD for bytes it cannot map without always counting them invalid.
        if (state.invalidChars == 0 && !converted.contains(QChar(0)) &&
            !converted.contains(QChar(QChar::ReplacementCharacter)))
            name = converted;
    }
    if (name.isEmpty())
        name = QFile::decodeName(raw).replace(QChar(QChar::ReplacementCharacter), QLatin1Char('_'));
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    *note = QStringLiteral("文件名不是有效的 UTF-8，副本改名为 %1").arg(name);
    return name;
}

} // namespace

FileOrganiser::Pending::~Pending() = default;

FileOrganiser::FileOrganiser(AlbumLedger &ledger, const OrganiseOptions &options, const std::atomic<bool> &stop)
    : m_ledger(ledger), m_options(options), m_stop(stop)
{
}

FileOrganiser::~FileOrganiser() = default;

void FileOrganiser::setFailCopiesForTests(bool fail)
{
    g_failCopies = fail;
}

const QByteArray &FileOrganiser::stagingPrefix()
{
    static const QByteArray prefix = QByteArrayLiteral(".vanteo-copy-");
    return prefix;
}

QString FileOrganiser::outputBase() const
{
    // The root is a prefix; a configured folder without its separator still gets one, and an
    // empty root means the home folder, never the process's current folder.
    QString root = m_options.root;
    if (root.isEmpty())
        root = QDir::homePath() + QLatin1Char('/');
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    return root + MediaRules::albumFolderName() + QStringLiteral("/本地");
}

QStringList FileOrganiser::dateFoldersFor(const CaptureTime &shot) const
{
    const QDate date = shot.time.date();
    QStringList parts{QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0'))};
    if (m_options.folderDepth >= 2)
        parts << QStringLiteral("%1").arg(date.month(), 2, 10, QLatin1Char('0'));
    if (m_options.folderDepth >= 3)
        parts << QStringLiteral("%1").arg(date.day(), 2, 10, QLatin1Char('0'));
    return parts;
}

std::unique_ptr<FileOrganiser::Pending> FileOrganiser::prepare(const FoundFile &entry)
{
    auto p = std::make_unique<Pending>(m_ledger);
    OrganiseEntry &out = p->out;
    out.rawSource = entry.rawPath;
    out.source = entry.filePath;
    p->entry = entry;
    const QString base = outputBase();
    if (StorageRoot::absent(base, &out.reason)) // an unplugged disk's bare mount point is no place for copies
        return p;
    ensureFolder(base);
    if (!checkSource(*p))
        return p;
    p->md5 = entry.md5.toLower();
    QString note;
    const QString fileName = targetNameFor(entry.rawPath, &note);
    AlbumLedger::State state = AlbumLedger::State::Free;
    QString dateFolder;
    if (!claim(*p, fileName, &state) || !placeAndChoose(*p, base, fileName, state, &dateFolder))
        return p;
    QStringList notes;
    if (!note.isEmpty())
        notes << note;
    if (p->target.name != fileName)
        notes << QStringLiteral("重名，保存为 ") + p->target.name;
    if (p->target.alreadyThere) {
        // Its md5 is known now (the target was compared with it).
        if (!m_ledger.claimMd5(p->claim, p->md5)) {
            settleKnown(*p);
            return p;
        }
        notes << QStringLiteral("相同内容已在目标位置，未再复制");
        p->alreadyThere = true;
        out.reason = notes.join(QStringLiteral("；"));
        return p;
    }
    out.reason = notes.join(QStringLiteral("；"));
    if (g_failCopies) {
        out.reason = QStringLiteral("复制失败（测试）");
        return p;
    }
    stageCopy(*p, dateFolder);
    return p;
}

bool FileOrganiser::checkSource(Pending &p)
{
    OrganiseEntry &out = p.out;
    struct stat st;
    if (::lstat(p.entry.rawPath.constData(), &st) != 0) {
        out.result = OrganiseEntry::Result::Failed;
        out.reason = QStringLiteral("文件已不存在或无法访问");
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        out.result = OrganiseEntry::Result::OtherType;
        out.reason = QStringLiteral("符号链接，不跟随");
        return false;
    }
    out.size = st.st_size;
    if (!S_ISREG(st.st_mode)) {
        out.result = OrganiseEntry::Result::OtherType;
        out.reason = QStringLiteral("不是普通文件");
        return false;
    }
    if (st.st_size < kMinFileSize) {
        out.result = OrganiseEntry::Result::TooSmall;
        out.reason = QStringLiteral("小于 40000 字节");
        return false;
    }
    // A file the search could not read has no md5 to record and would fail to copy.
    if (p.entry.unreadable) {
        out.result = OrganiseEntry::Result::Failed;
        out.reason = QStringLiteral("无法读取文件内容");
        return false;
    }
    p.size = st.st_size;
    p.modified = QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000);
    return true;
}

void FileOrganiser::settleKnown(Pending &p)
{
    p.out.result = OrganiseEntry::Result::Duplicate;
    p.out.reason = QStringLiteral("相同内容已整理过");
    p.out.target.clear();
    p.known = true;
}

bool FileOrganiser::claim(Pending &p, const QString &fileName, AlbumLedger::State *state)
{
    *state = m_ledger.claimContent(p.claim, fileName, p.md5);
    if (*state == AlbumLedger::State::NoDatabase) {
        settleKnown(p);
        p.out.reason = QStringLiteral("相册数据库无法打开");
        return false;
    }
    if (*state == AlbumLedger::State::Known) {
        settleKnown(p);
        return false;
    }
    return true;
}

bool FileOrganiser::placeAndChoose(Pending &p, const QString &base, const QString &fileName, AlbumLedger::State state,
                                   QString *dateFolder)
{
    OrganiseEntry &out = p.out;
    p.shot = CaptureTimes::read(p.entry.rawPath);
    out.captureTime = p.shot.time;
    out.dateSource = p.shot.source;
    const QStringList layout =
        QStringList{MediaRules::isPictureSuffix(MediaRules::suffixOf(p.entry.rawPath)) ? QStringLiteral("照片")
                                                                                       : QStringLiteral("视频")} +
        dateFoldersFor(p.shot);
    // A file (or link) lying where a layout folder belongs is stepped around as on the phone side:
    // "2019(1)" and so on, never in the way of every later run.
    *dateFolder = StoragePlan::placeFolders(base, layout);
    out.result = OrganiseEntry::Result::Failed;
    if (dateFolder->isEmpty()) {
        out.reason = QStringLiteral("无法创建文件夹 ") + base + QLatin1Char('/') + layout.join(QLatin1Char('/'));
        return false;
    }
    QString why;
    if (!chooseTarget(p, *dateFolder, fileName, state == AlbumLedger::State::Free, &why)) {
        out.reason = why;
        return false;
    }
    out.target = p.target.path;
    if (!ensureFolder(*dateFolder)) {
        out.reason = QStringLiteral("无法创建文件夹 ") + *dateFolder;
        return false;
    }
    return true;
}

bool FileOrganiser::sameContent(Pending &p, const QString &path, qint64 size)
{
    if (size != p.size)
        return false;
    if (p.md5.isEmpty()) {
        if (p.hashFailed)
            return false;
        bool stopped = false;
        p.md5 = hex(FileOps::md5(p.entry.rawPath, &m_stop, &stopped));
        p.hashFailed = p.md5.isEmpty();
        if (p.hashFailed)
            return false;
    }
    return hex(FileOps::md5(QFile::encodeName(path))) == p.md5;
}

bool FileOrganiser::earlierClashCopy(Pending &p, const QString &dateFolder, const QString &fileName)
{
    // Clash names carry a number drawn afresh on every run: once the album's records are gone
    // (local reset), the copy made under an earlier number is found only by looking at the folder.
    const QRegularExpression clash(
        QStringLiteral("^\\d{4}(-\\d{2}){5}-\\d+-%1$").arg(QRegularExpression::escape(fileName)),
        QRegularExpression::CaseInsensitiveOption);
    const QFileInfoList entries =
        QDir(dateFolder).entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &info : entries) {
        const QString name = info.fileName();
        if (info.size() != p.size || !clash.match(name).hasMatch())
            continue;
        const QString path = dateFolder + QLatin1Char('/') + name;
        if (!m_ledger.holdFoundCopy(p.claim, name, path))
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            sameContent(p, path, st.st_size)) {
            p.target = Target{name, path, true};
            return true;
        }
        p.claim.releaseTarget();
    }
    return false;
}

bool FileOrganiser::chooseTarget(Pending &p, const QString &dateFolder, const QString &fileName, bool plainFree,
                                 QString *why)
{
    const QString stamp = p.modified.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss-"));
    auto clashName = [&](int number) { return QString(stamp + QString::number(number) + QLatin1Char('-') + fileName); };
    // The first candidate: the plain name, or 10 to 18 when a record or another file in
    // flight has it; then 20 to 28 from a random start, further numbers only when all nine
    // are taken.
    const int first = int(QRandomGenerator::global()->bounded(9u));
    bool lookedForEarlier = false;
    for (int k = -1; k < 80; ++k) {
        // Before a clash name is drawn: the same content under an earlier clash name is that copy.
        if (!lookedForEarlier && (k >= 0 || !plainFree)) {
            lookedForEarlier = true;
            if (earlierClashCopy(p, dateFolder, fileName))
                return true;
        }
        QString name;
        if (k < 0)
            name = plainFree ? fileName : clashName(int(QRandomGenerator::global()->bounded(9u)) + 10);
        else
            name = clashName(k < 9 ? 20 + (first + k) % 9 : 20 + k);
        const QString path = dateFolder + QLatin1Char('/') + name;
        bool plainInFlight = false;
        if (!m_ledger.holdTarget(p.claim, name, path, k < 0 && plainFree ? &plainInFlight : nullptr)) {
            if (plainInFlight) {
                // A same-named file is being organised right now: this one takes a clash name.
                plainFree = false;
                --k;
            }
            continue;
        }
        // The name is ours now; what lies on disk is looked at without any lock held.
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            p.target = Target{name, path, false};
            return true;
        }
        if (S_ISREG(st.st_mode) && sameContent(p, path, st.st_size)) {
            p.target = Target{name, path, true};
            return true;
        }
        p.claim.releaseTarget();
    }
    *why = QStringLiteral("找不到空闲的目标文件名");
    return false;
}

void FileOrganiser::stageCopy(Pending &p, const QString &dateFolder)
{
    auto staged = std::make_unique<FileOps::StagedFile>(stagingPrefix());
    QByteArray copiedMd5;
    QString why;
    switch (FileOps::copyToStaged(p.entry.rawPath, *staged, QFile::encodeName(dateFolder), &m_stop, &why, &copiedMd5)) {
    case FileOps::CopyResult::Copied: takeCopy(p, std::move(staged), hex(copiedMd5)); break;
    case FileOps::CopyResult::Stopped: p.out.reason = QStringLiteral("整理已停止"); break;
    case FileOps::CopyResult::Exists:
    case FileOps::CopyResult::Failed: p.out.reason = QStringLiteral("复制失败：") + why; break;
    }
}

void FileOrganiser::takeCopy(Pending &p, std::unique_ptr<FileOps::StagedFile> staged, const QString &copiedMd5)
{
    qint64 copiedSize = -1;
    if (struct stat copied; ::fstat(staged->fd(), &copied) == 0)
        copiedSize = copied.st_size;
    // The row records what the copy holds. A file rewritten since the search is not what was
    // found (its md5, or for a file not hashed then its size, differs): it is reported, not recorded.
    const bool changed = p.md5.isEmpty() ? (p.entry.size >= 0 && copiedSize != p.entry.size) : copiedMd5 != p.md5;
    if (changed) {
        changedSinceSearch(p, copiedMd5);
        return;
    }
    // Content hashed only now is claimed now: stored already (or by a file in flight), the copy goes.
    if (!m_ledger.claimMd5(p.claim, copiedMd5)) {
        settleKnown(p);
        return;
    }
    p.md5 = copiedMd5;
    if (copiedSize >= 0)
        p.size = copiedSize;
    p.staged = std::move(staged);
}

void FileOrganiser::changedSinceSearch(Pending &p, const QString &copiedMd5)
{
    p.out.target.clear();
    if (m_ledger.isContentKnown(copiedMd5)) {
        p.out.result = OrganiseEntry::Result::Duplicate;
        p.out.reason = QStringLiteral("文件在搜索后被改动，改动后的内容已整理过");
        return;
    }
    p.out.result = OrganiseEntry::Result::Failed;
    p.out.reason = QStringLiteral("文件在搜索后被改动，未整理（请重新整理）");
}

void FileOrganiser::commitBatch(std::vector<std::unique_ptr<Pending>> &batch)
{
    // The copies are written out, take their names, and one sync of each folder makes names and
    // content durable together before any record is made: a power cut never leaves a record of
    // a file that is not all there, and a batch costs one flush of the disk, not one per file.
    QSet<QByteArray> folders;
    for (const std::unique_ptr<Pending> &p : batch) {
        if (!p->staged)
            continue;
        QString why;
        if (m_stop) {
            p->staged.reset(); // removes the staged copy
            p->out.reason = QStringLiteral("整理已停止");
            continue;
        }
        const QByteArray target = QFile::encodeName(p->target.path);
        if (!p->staged->writeOut()) {
            p->staged.reset();
            p->out.reason = QStringLiteral("复制失败：写入磁盘失败");
            continue;
        }
        const FileOps::MoveResult moved = p->staged->commit(target, FileOps::SyncPolicy::None, &why);
        p->staged.reset();
        if (moved == FileOps::MoveResult::Moved) {
            p->committed = true;
            folders.insert(FileOps::parentFolder(target));
        } else {
            p->out.reason = (moved == FileOps::MoveResult::Exists ? QStringLiteral("目标位置已被其他文件占用：")
                                                                  : QStringLiteral("复制失败：")) +
                why;
        }
    }
    // Date folders are many and a batch spreads over them: past a few, one sync of the whole
    // file system costs less than one per folder.
    if (folders.size() > kMaxFolderSyncs) {
        FileOps::syncFileSystem(*folders.begin());
    } else {
        for (const QByteArray &folder : qAsConst(folders))
            FileOps::syncFolder(folder);
    }
}

void FileOrganiser::finishBatch(std::vector<std::unique_ptr<Pending>> &batch,
                                const std::function<void(const FoundFile &, int rows)> &recorded)
{
    commitBatch(batch);
    for (const std::unique_ptr<Pending> &p : batch) {
        if (!p->committed && !p->alreadyThere)
            continue;
        const int rows =
            m_ledger.record(p->target.name, p->target.path, p->size, p->md5, p->entry.filePath, p->shot.text());
        if (rows <= 0) {
            if (p->committed)
                QFile::remove(p->target.path); // no file without its record either: the next run takes it again
            p->out.result = OrganiseEntry::Result::Failed;
            p->out.reason = QStringLiteral("无法写入相册数据库");
            continue;
        }
        // Content found in place is recorded now but was not copied: the counts say what was written.
        p->out.result = p->committed ? OrganiseEntry::Result::Copied : OrganiseEntry::Result::Duplicate;
        recorded(p->entry, rows);
    }
    // The claims go with the batch.
}
