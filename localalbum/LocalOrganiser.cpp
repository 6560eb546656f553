#include "localalbum/LocalOrganiser.h"

#include "backup/LocalDataBase.h"
#include "backup/StoragePlan.h"
#include "backup/StorageRoot.h"
#include "fileops/FileOps.h"
#include "localalbum/BackThread.h"
#include "platform/AppPaths.h"
#include "platform/SearchEngine.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextCodec>
#include <QThreadPool>

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcOrganiser, "vanteo.localalbum.organiser")

namespace {

constexpr qint64 kMinFileSize = 40000;
constexpr int kManyResults = 1000;
constexpr int kMaxFolderDepth = 200;
// A staged copy untouched this long is a crash's leftover; one being written changes all the time.
constexpr qint64 kStaleCopySecs = 600;
// A batch of copies made durable together: bounded in files, bytes and age, so that rows keep
// appearing and a stop loses little.
constexpr int kBatchFiles = 32; // each holds an open file until its batch ends
constexpr qint64 kBatchBytes = 512ll << 20;
constexpr qint64 kBatchMs = 1000;
constexpr int kMaxFolderSyncs = 4;
std::atomic<bool> g_failCopies{false};

const QString kOutputFolder = QStringLiteral("万特相册");
const QString kPicturePattern =
    QStringLiteral("*.jpg|*.png|*.jpeg|*.JPG|*.PNG|*.JPEG|*.heic|*.HEIC|*.heif|*.HEIF|*.avif|*.AVIF|*.webp|*.WEBP");
const QString kVideoPattern =
    QStringLiteral("*.avi|*.AVI|*.mov|*.MOV|*.mp4|*.MP4|*.flv|*.FLV|*.mpg|*.MPG|*.m4v|*.M4V|*.3gp|*.3GP");

QString statusNumber(const char *prefix, int n)
{
    return QString::fromUtf8(prefix) + QString::number(n);
}

QString suffixOf(const QByteArray &rawPath)
{
    const int slash = rawPath.lastIndexOf('/');
    const int dot = rawPath.lastIndexOf('.');
    if (dot <= slash + 1) // no dot, or a hidden name without a suffix
        return QString();
    return QString::fromLatin1(rawPath.mid(dot + 1));
}

QByteArray fileNameOf(const QByteArray &rawPath)
{
    return rawPath.mid(rawPath.lastIndexOf('/') + 1);
}

// The program's own trees, 万特相册 on any storage root (the organised copies and the phones'
// backups), are never searched: copying them into 本地 would double them on every run.
bool isAlbumFolderName(const QByteArray &name)
{
    static const QByteArray album = QFile::encodeName(kOutputFolder);
    return name == album;
}

bool isInsideAlbumTree(const QString &folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return (canonical.isEmpty() ? QDir::cleanPath(folder) : canonical)
        .split(QLatin1Char('/'), Qt::SkipEmptyParts)
        .contains(kOutputFolder);
}

bool isValidLocalName(const QByteArray &raw)
{
    return QFile::encodeName(QFile::decodeName(raw)) == raw;
}

QString symlinkReason()
{
    return QStringLiteral("符号链接，不跟随");
}

void registerMetaTypes()
{
    static const bool done = [] {
        qRegisterMetaType<OrganiseEntry>("OrganiseEntry");
        qRegisterMetaType<OrganiseSummary>("OrganiseSummary");
        return true;
    }();
    Q_UNUSED(done)
}

} // namespace

// One search and the organising of what it found.
struct LocalOrganiser::Run
{
    quint64 id = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> userStopped{false};
    std::atomic<int> jobs{0};
    std::atomic<int> totalFound{0};
    std::atomic<int> lastPercent{0};
    QStringList folders;

    mutable QMutex listMutex;
    std::deque<FoundFile> found;       // listMutex
    QHash<QString, QString> foundMd5s; // md5 (lower case) -> the first source found with it; listMutex

    QMutex summaryMutex;
    OrganiseSummary summary; // summaryMutex
};

// What organiseFile holds while a file is in flight: its content's md5, the target name and
// path. Released on every way out.
class LocalOrganiser::Reservation
{
public:
    explicit Reservation(LocalOrganiser &o) : m_o(o) { }
    ~Reservation()
    {
        QMutexLocker lock(&m_o.m_dbMutex);
        releaseLocked();
    }
    Reservation(const Reservation &) = delete;
    Reservation &operator=(const Reservation &) = delete;

    // All of these expect m_dbMutex to be held.
    void holdMd5(const QString &md5)
    {
        m_o.m_inFlightMd5s.insert(md5);
        m_md5 = md5;
    }
    void holdTarget(const QString &name, const QString &path)
    {
        releaseTargetLocked();
        m_o.m_inFlightNames.append(name);
        m_o.m_inFlightPaths.insert(path);
        m_name = name;
        m_path = path;
    }
    void releaseTargetLocked()
    {
        if (!m_name.isNull())
            m_o.m_inFlightNames.removeOne(m_name);
        if (!m_path.isNull())
            m_o.m_inFlightPaths.remove(m_path);
        m_name = QString();
        m_path = QString();
    }
    void releaseLocked()
    {
        releaseTargetLocked();
        if (!m_md5.isNull())
            m_o.m_inFlightMd5s.remove(m_md5);
        m_md5 = QString();
    }

private:
    LocalOrganiser &m_o;
    QString m_md5;
    QString m_name;
    QString m_path;
};

struct LocalOrganiser::Target
{
    QString name;
    QString path;
    bool alreadyThere = false; // the same content already lies at path
};

// One file on its way: everything decided, its copy staged (or the same content found at the
// target), waiting for its batch to be made durable and recorded.
struct LocalOrganiser::Pending
{
    explicit Pending(LocalOrganiser &o) : reservation(o) { }
    OrganiseEntry out;
    FoundFile entry;
    Reservation reservation;
    Target target;
    std::unique_ptr<FileOps::StagedFile> staged;
    CaptureTime shot;
    QString md5;
    qint64 size = 0;
    bool alreadyThere = false;
    bool committed = false;
};

LocalOrganiser::LocalOrganiser(const QString &savePath, QObject *parent, const QString &dbPath)
    : QObject(parent), m_savePath(savePath)
{
    registerMetaTypes();
    m_localDb = new LocalDataBase(dbPath.isEmpty() ? AppPaths::dataFile(QStringLiteral("localfiles.db")) : dbPath);
    m_localDb->setWriteAheadLog(true);
    m_current = std::make_shared<Run>();
}

LocalOrganiser::~LocalOrganiser()
{
    {
        QMutexLocker lock(&m_jobMutex);
        m_closing = true;
    }
    detachRun();
    // Every job sees its run's stop within a fraction of a second.
    waitForWorkers();
    if (m_backThread) {
        m_backThread->stop();
        while (!m_backThread->wait(100))
            SearchEngine::abortQueries();
        delete m_backThread;
        m_backThread = nullptr;
    }
    {
        QMutexLocker lock(&m_dbMutex);
        delete m_localDb;
        m_localDb = nullptr;
    }
}

// --- control ---

void LocalOrganiser::readMediaSettings()
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    const QString pictures = settings->getGlobalValue(QStringLiteral("localPicture"));
    const QString videos = settings->getGlobalValue(QStringLiteral("localVideo"));
    setMedia(pictures.isEmpty() ? true : ReadWriteSetting::toInt(pictures) > 0,
             videos.isEmpty() ? false : ReadWriteSetting::toInt(videos) > 0);
}

void LocalOrganiser::setMedia(bool pictures, bool videos)
{
    m_pictures = pictures;
    m_videos = videos;
}

QString LocalOrganiser::savePath() const
{
    QMutexLocker lock(&m_configMutex);
    return m_savePath;
}

void LocalOrganiser::setSavePath(const QString &root)
{
    QMutexLocker lock(&m_configMutex);
    m_savePath = root;
}

int LocalOrganiser::order() const
{
    QMutexLocker lock(&m_runMutex);
    return m_order;
}

void LocalOrganiser::setOrder(int order)
{
    QMutexLocker lock(&m_runMutex);
    m_order = order;
}

std::shared_ptr<LocalOrganiser::Run> LocalOrganiser::currentRun() const
{
    QMutexLocker lock(&m_runMutex);
    return m_current;
}

std::shared_ptr<LocalOrganiser::Run> LocalOrganiser::newRun()
{
    auto run = std::make_shared<Run>();
    QMutexLocker lock(&m_runMutex);
    m_current->stop = true;
    run->id = ++m_runCount;
    m_current = run;
    m_detached = false;
    return run;
}

bool LocalOrganiser::runJob(const std::shared_ptr<Run> &run, std::function<void()> job)
{
    {
        QMutexLocker lock(&m_jobMutex);
        if (m_closing)
            return false;
        ++m_jobs;
    }
    ++run->jobs;
    QThreadPool::globalInstance()->start([this, run, job] {
        job();
        jobEnded(run);
        QMutexLocker lock(&m_jobMutex);
        if (--m_jobs == 0)
            m_jobsDone.wakeAll();
    });
    return true;
}

void LocalOrganiser::jobEnded(const std::shared_ptr<Run> &run)
{
    if (--run->jobs != 0)
        return;
    OrganiseSummary summary;
    {
        QMutexLocker lock(&run->summaryMutex);
        run->summary.stopped = run->userStopped || run->summary.stopped;
        summary = run->summary;
    }
    emitForRun(*run, [&] { emit runFinished(summary); });
}

bool LocalOrganiser::emitForRun(const Run &run, const std::function<void()> &emitter)
{
    QMutexLocker lock(&m_runMutex);
    if (m_detached || m_current.get() != &run)
        return false;
    emitter();
    return true;
}

bool LocalOrganiser::waitForWorkers(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeoutMs));
    QMutexLocker lock(&m_jobMutex);
    while (m_jobs > 0) {
        if (!m_jobsDone.wait(&m_jobMutex, deadline))
            return m_jobs == 0;
    }
    return true;
}

int LocalOrganiser::activeJobs() const
{
    QMutexLocker lock(&m_jobMutex);
    return m_jobs;
}

bool LocalOrganiser::startFolderSearch(const QStringList &folders)
{
    const std::shared_ptr<Run> run = newRun();
    run->folders = folders;
    setOrder(countExistFiles()); // new rows continue after the files already organised
    m_showDuplicates = false;
    m_expectedTotal = 0;
    return runJob(run, [this, run] { searchFolders(run); });
}

bool LocalOrganiser::startAllDiskSearch()
{
    const std::shared_ptr<Run> run = newRun();
    setOrder(0);
    m_showDuplicates = true; // files organised before are listed again
    return runJob(run, [this, run] { searchAllDisks(run); });
}

void LocalOrganiser::requestStop()
{
    const std::shared_ptr<Run> run = currentRun();
    run->userStopped = true;
    run->stop = true;
    SearchEngine::abortQueries();
}

void LocalOrganiser::detachRun()
{
    requestStop();
    QMutexLocker lock(&m_runMutex);
    m_detached = true;
}

bool LocalOrganiser::isStopped() const
{
    return currentRun()->stop;
}

void LocalOrganiser::startBackQuery()
{
    if (m_backThread)
        return;
    m_backThread = new BackThread();
    // Direct: released on the query's own thread, so a search waiting for it never depends on
    // the GUI thread's event loop.
    connect(m_backThread, &QThread::finished, this, &LocalOrganiser::backQueryFinished, Qt::DirectConnection);
    m_backThread->start(QThread::InheritPriority);
}

void LocalOrganiser::backQueryFinished()
{
    m_backQueryDone = true;
    m_backQuerySem.release(1);
}

void LocalOrganiser::clearFoundFiles()
{
    const std::shared_ptr<Run> run = currentRun();
    QMutexLocker lock(&run->listMutex);
    run->found.clear();
    run->foundMd5s.clear();
}

int LocalOrganiser::foundCount() const
{
    const std::shared_ptr<Run> run = currentRun();
    QMutexLocker lock(&run->listMutex);
    return int(run->found.size());
}

int LocalOrganiser::countExistFiles()
{
    QMutexLocker lock(&m_dbMutex);
    return m_localDb ? m_localDb->countExistFiles() : 0;
}

void LocalOrganiser::appendFound(const QString &filePath, const QString &md5)
{
    appendFound(QFile::encodeName(filePath), md5);
}

void LocalOrganiser::appendFound(const QByteArray &rawPath, const QString &md5)
{
    const std::shared_ptr<Run> run = currentRun();
    QMutexLocker lock(&run->listMutex);
    run->found.push_back(FoundFile{rawPath, QFile::decodeName(rawPath), md5});
    if (!md5.isEmpty() && !run->foundMd5s.contains(md5.toLower()))
        run->foundMd5s.insert(md5.toLower(), QFile::decodeName(rawPath));
    run->totalFound = int(run->found.size());
}

// --- rules ---

bool LocalOrganiser::isPictureSuffix(const QString &suffix)
{
    static const QStringList pictures = {QStringLiteral("jpg"),  QStringLiteral("jpeg"), QStringLiteral("png"),
                                         QStringLiteral("heic"), QStringLiteral("heif"), QStringLiteral("avif"),
                                         QStringLiteral("webp")};
    return pictures.contains(suffix.toLower());
}

bool LocalOrganiser::isVideoSuffix(const QString &suffix)
{
    static const QStringList videos = {QStringLiteral("avi"), QStringLiteral("mov"), QStringLiteral("mp4"),
                                       QStringLiteral("flv"), QStringLiteral("mpg"), QStringLiteral("m4v"),
                                       QStringLiteral("3gp")};
    return videos.contains(suffix.toLower());
}

void LocalOrganiser::setFailCopiesForTests(bool fail)
{
    g_failCopies = fail;
}

const QByteArray &LocalOrganiser::stagingPrefix()
{
    static const QByteArray prefix = QByteArrayLiteral(".vanteo-copy-");
    return prefix;
}

bool LocalOrganiser::isSkippedPath(const QString &path)
{
    // The Windows words are matched with either separator.
    const QString p = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    const Qt::CaseSensitivity ci = Qt::CaseInsensitive;
    if (p.contains(kOutputFolder, ci))
        return true;
    if (p.contains(QLatin1String("Users/Administrator"), ci) &&
        !p.contains(QLatin1String("Users/Administrator/Pictures"), ci))
        return true;
    if (p.contains(QLatin1String("Program Files"), ci) || p.contains(QLatin1String("Android Studio"), ci) ||
        p.contains(QLatin1String("$RECYCLE.BIN"), ci))
        return true;
    // System trees. Removable drives mounted under /run/media stay.
    static const QStringList systemTrees = {QStringLiteral("/usr"), QStringLiteral("/proc"), QStringLiteral("/sys"),
                                            QStringLiteral("/dev"), QStringLiteral("/run"),  QStringLiteral("/boot"),
                                            QStringLiteral("/etc"), QStringLiteral("/var"),  QStringLiteral("/opt"),
                                            QStringLiteral("/snap")};
    for (const QString &tree : systemTrees) {
        if (p.startsWith(tree + QLatin1Char('/')) || p == tree) {
            if (tree == QLatin1String("/run") && p.startsWith(QLatin1String("/run/media/")))
                continue;
            return true;
        }
    }
    // Hidden folders: thumbnail caches, the trash (~/.local/share/Trash, .Trash-1000 on other
    // volumes), and fsck's leftovers.
    const QStringList parts = p.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < parts.size(); ++i) {
        if (parts.at(i).startsWith(QLatin1Char('.')) || parts.at(i) == QLatin1String("lost+found"))
            return true;
    }
    return false;
}

void LocalOrganiser::pickSaveDrive()
{
    QString root = StorageVolumes::largestFreeRoot();
    if (root.isEmpty())
        root = QDir::homePath() + QLatin1Char('/');
    setSavePath(root);
}

QByteArray LocalOrganiser::fileMd5(const QString &path)
{
    return FileOps::md5(QFile::encodeName(path));
}

QString LocalOrganiser::exifShotTime(const QString &path)
{
    return CaptureTimes::embedded(QFile::encodeName(path)).text();
}

bool LocalOrganiser::ensureFolder(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    return QDir().mkpath(path);
}

// --- reporting ---

void LocalOrganiser::report(Run &run, const OrganiseEntry &entry)
{
    {
        QMutexLocker lock(&run.summaryMutex);
        run.summary.count(entry.result);
    }
    if (entry.result == OrganiseEntry::Result::Failed && !run.stop)
        qCWarning(lcOrganiser) << "not organised:" << entry.source << entry.reason;
    emitForRun(run, [&] { emit fileReported(entry); });
}

void LocalOrganiser::showRow(Run &run, const QString &path)
{
    int n = -1;
    emitForRun(run, [&] {
        n = m_order++;
        emit setFileName(n, path);
    });
    if (n >= 0)
        emitForRun(run, [&] { emit setCurrentStatus(statusNumber("已整理文件: ", n + 1), true); });
}

// --- searches ---

void LocalOrganiser::removeLeftoverCopies(const QString &root)
{
    QString r = root.isEmpty() ? QDir::homePath() + QLatin1Char('/') : root;
    if (!r.endsWith(QLatin1Char('/')))
        r += QLatin1Char('/');
    FileOps::removeStaleStaged(QFile::encodeName(r + kOutputFolder), stagingPrefix(), kStaleCopySecs);
}

bool LocalOrganiser::consider(Run &run, const QByteArray &rawPath)
{
    bool stopped = false;
    const QString md5 = QString::fromLatin1(FileOps::md5(rawPath, &run.stop, &stopped).toHex());
    if (stopped)
        return false;
    QString firstSource;
    {
        QMutexLocker lock(&run.listMutex);
        if (!md5.isEmpty())
            firstSource = run.foundMd5s.value(md5);
        if (firstSource.isEmpty()) {
            // Unreadable files go on the list too: the organiser reports why they were left.
            run.found.push_back(FoundFile{rawPath, QFile::decodeName(rawPath), md5});
            if (!md5.isEmpty())
                run.foundMd5s.insert(md5, QFile::decodeName(rawPath));
            return true;
        }
    }
    OrganiseEntry e;
    e.result = OrganiseEntry::Result::Duplicate;
    e.rawSource = rawPath;
    e.source = QFile::decodeName(rawPath);
    e.target = firstSource;
    e.reason = QStringLiteral("与本次搜索到的另一文件内容相同");
    report(run, e);
    return false;
}

void LocalOrganiser::reportFolder(Run &run, const QByteArray &folder, const QString &reason)
{
    OrganiseEntry e;
    e.result = OrganiseEntry::Result::FolderSkipped;
    e.rawSource = folder;
    e.source = QFile::decodeName(folder);
    e.reason = reason;
    qCWarning(lcOrganiser) << "folder not searched:" << e.source << reason;
    report(run, e);
}

void LocalOrganiser::walkFolder(Run &run, const QByteArray &folder, int depth)
{
    DIR *d = ::opendir(folder.constData());
    if (!d) {
        const int err = errno;
        reportFolder(run, folder,
                     err == ENOENT        ? QStringLiteral("文件夹不存在")
                         : err == ENOTDIR ? QStringLiteral("不是文件夹")
                                          : QStringLiteral("无法读取文件夹：") + qt_error_string(err));
        return;
    }
    QList<QByteArray> files;
    QList<QByteArray> subfolders;
    QList<QByteArray> links;
    for (;;) {
        errno = 0;
        struct dirent *e = ::readdir(d);
        if (!e) {
            if (errno != 0)
                reportFolder(run, folder, QStringLiteral("无法读取文件夹：") + qt_error_string(errno));
            break;
        }
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        const QByteArray path = folder + (folder.endsWith('/') ? "" : "/") + name;
        struct stat st;
        if (::fstatat(::dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (S_ISDIR(st.st_mode)) {
            if (!isAlbumFolderName(QByteArray(name)))
                subfolders.append(path);
        } else if (S_ISLNK(st.st_mode)) {
            links.append(path); // never followed: it could lead anywhere, out of the folder or back up
        } else {
            files.append(path);
        }
    }
    ::closedir(d);
    auto wanted = [this](const QByteArray &path) {
        const QString suffix = suffixOf(path);
        return (m_pictures && isPictureSuffix(suffix)) || (m_videos && isVideoSuffix(suffix));
    };
    for (const QByteArray &path : qAsConst(links)) {
        if (wanted(path)) {
            OrganiseEntry e;
            e.result = OrganiseEntry::Result::OtherType;
            e.rawSource = path;
            e.source = QFile::decodeName(path);
            e.reason = symlinkReason();
            report(run, e);
        }
    }
    int picturesLeft = 0;
    int videosLeft = 0;
    for (const QByteArray &path : qAsConst(files)) {
        if (run.stop)
            break;
        if (wanted(path)) {
            consider(run, path);
        } else {
            // A kind the settings leave out is counted, so the summary can say why it was not organised.
            const QString suffix = suffixOf(path);
            picturesLeft += isPictureSuffix(suffix) ? 1 : 0;
            videosLeft += isVideoSuffix(suffix) ? 1 : 0;
        }
    }
    if (picturesLeft > 0 || videosLeft > 0) {
        QMutexLocker lock(&run.summaryMutex);
        run.summary.picturesLeftOut += picturesLeft;
        run.summary.videosLeftOut += videosLeft;
    }
    if (run.stop)
        return;
    if (depth >= kMaxFolderDepth)
        return;
    for (const QByteArray &path : qAsConst(subfolders)) {
        if (run.stop)
            return;
        walkFolder(run, path, depth + 1);
    }
}

void LocalOrganiser::searchFolders(const std::shared_ptr<Run> &run)
{
    if (savePath().isEmpty())
        pickSaveDrive();
    removeLeftoverCopies(savePath());
    for (const QString &folder : qAsConst(run->folders)) {
        if (run->stop)
            break;
        if (isInsideAlbumTree(folder)) {
            reportFolder(*run, QFile::encodeName(QDir::cleanPath(folder)),
                         QStringLiteral("属于万特相册自己的文件夹（手机备份或已整理的文件），不整理"));
            continue;
        }
        walkFolder(*run, QFile::encodeName(QDir::cleanPath(folder)), 0);
    }
    int found = 0;
    {
        QMutexLocker lock(&run->listMutex);
        found = int(run->found.size());
    }
    run->totalFound = found;
    run->lastPercent = 0;
    emitForRun(*run, [&] {
        emit setCurrentPercent(0);
        emit setCurrentStatus(QStringLiteral("开始搜索"), true);
    });
    m_folderDepth = 2;
    const int workers = found <= kManyResults ? 1 : 10;
    for (int i = 0; i < workers; ++i)
        runJob(run, [this, run] { workOn(run); });
}

void LocalOrganiser::searchAllDisks(const std::shared_ptr<Run> &run)
{
    if (savePath().isEmpty())
        pickSaveDrive();
    removeLeftoverCopies(savePath());
    // The calling thread's results hold the whole index: freed on every way out.
    struct EngineResults
    {
        ~EngineResults() { SearchEngine::reset(); }
    } engineResults;
    int results = 0;
    int found = 0;
    bool readAll = false;
    const bool pictures = m_pictures;
    const bool videos = m_videos;
    if ((pictures || videos) && SearchEngine::updateAllFolderIndexes()) {
        SearchEngine::setSort(3);
        SearchEngine::setSearch(pictures && videos ? kPicturePattern + QLatin1Char('|') + kVideoPattern
                                    : pictures     ? kPicturePattern
                                                   : kVideoPattern);
        // The run's stop is handed over: a stop landing before the query starts waiting is seen too.
        SearchEngine::query(true, &run->stop);
        if (run->stop)
            return;
        emitForRun(*run, [&] { emit setCurrentStatus(QStringLiteral("开始分析磁盘目录"), true); });
        if (m_backThread && !m_backQueryDone) {
            while (!m_backQuerySem.tryAcquire(1, 50)) {
                if (run->stop)
                    return;
            }
        }
        emitForRun(*run, [&] {
            emit setCurrentStatus(QStringLiteral("分析磁盘目录结束"), false);
            emit setCurrentStatus(QStringLiteral("分析文件信息"), true);
        });
        results = SearchEngine::numResults();
        int last = 0;
        for (int i = 0; i < results && !run->stop; ++i) {
            const int percent = int((100ull * unsigned(i)) / unsigned(results));
            if (percent != last) {
                emitForRun(*run, [&] { emit setCurrentPercent(percent); });
                last = percent;
            }
            const QByteArray raw = SearchEngine::resultRawPath(i);
            if (isSkippedPath(QFile::decodeName(raw)))
                continue;
            if (consider(*run, raw))
                ++found;
        }
        readAll = !run->stop;
    }
    SearchEngine::reset(); // the results are read; free them before organising
    if (run->stop) {
        if (!readAll)
            return; // stopped half-way: ends silently
        {
            QMutexLocker lock(&run->listMutex);
            run->found.clear();
            run->foundMd5s.clear();
        }
        run->lastPercent = 0;
        emitForRun(*run, [&] {
            emit setCurrentPercent(0);
            emit searchCleared();
        });
        return;
    }
    if (found > 0)
        emitForRun(*run,
                   [&] { emit setCurrentStatus(QStringLiteral("磁盘文件总数") + QString::number(found), false); });
    m_expectedTotal = 0;
    {
        QMutexLocker lock(&run->listMutex);
        run->totalFound = int(run->found.size());
    }
    run->lastPercent = 0;
    emitForRun(*run, [&] { emit setCurrentPercent(0); });
    m_folderDepth = results <= kManyResults ? 1 : 2;
    const int workers = results <= kManyResults ? 1 : 10;
    for (int i = 0; i < workers; ++i)
        runJob(run, [this, run] { workOn(run); });
}

void LocalOrganiser::startOrganisers(int count)
{
    const std::shared_ptr<Run> run = currentRun();
    for (int i = 0; i < count; ++i)
        runJob(run, [this, run] { workOn(run); });
}

void LocalOrganiser::organiseWorker()
{
    workOn(currentRun());
}

void LocalOrganiser::workOn(const std::shared_ptr<Run> &run)
{
    emitForRun(*run, [&] { emit setCurrentStatus(QStringLiteral("正在整理文件"), true); });
    // Copies are made durable a batch at a time: one flush of the disk for many files.
    std::vector<std::unique_ptr<Pending>> batch;
    qint64 batchBytes = 0;
    QElapsedTimer batchAge;
    auto finish = [&] {
        finishBatch(*run, batch);
        for (const std::unique_ptr<Pending> &p : batch)
            report(*run, p->out);
        batch.clear();
        batchBytes = 0;
    };
    while (!run->stop) {
        FoundFile entry;
        bool have = false;
        int remaining = 0;
        {
            QMutexLocker lock(&run->listMutex);
            if (!run->found.empty()) {
                entry = std::move(run->found.front());
                run->found.pop_front();
                have = true;
            }
            remaining = int(run->found.size());
        }
        const int total = run->totalFound;
        if (total > 0) {
            const int percent = (total - remaining) * 100 / total;
            if (percent >= 1 && percent <= 99 && percent != run->lastPercent) {
                run->lastPercent = percent;
                emitForRun(*run, [&] { emit setCurrentPercent(percent); });
            }
        }
        if (!have)
            break;
        std::unique_ptr<Pending> p = prepare(*run, entry);
        if (!p->staged && !p->alreadyThere) {
            report(*run, p->out); // settled without a copy
            continue;
        }
        if (batch.empty())
            batchAge.start();
        batchBytes += p->size;
        batch.push_back(std::move(p));
        if (int(batch.size()) >= kBatchFiles || batchBytes >= kBatchBytes || batchAge.elapsed() >= kBatchMs)
            finish();
    }
    finish();
    if (!run->stop) {
        run->lastPercent = 100;
        emitForRun(*run, [&] { emit setCurrentPercent(100); });
    }
    const int count = countExistFiles();
    emitForRun(*run, [&] {
        emit setCurrentStatus(statusNumber("已整理文件总数: ", count), false);
        emit sendSearchFinish();
    });
}

// --- organising one file ---

QString LocalOrganiser::outputBase() const
{
    // The root is a prefix; a configured folder without its separator still gets one, and an
    // empty root means the home folder, never the process's current folder.
    QString root = savePath();
    if (root.isEmpty())
        root = QDir::homePath() + QLatin1Char('/');
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    return root + kOutputFolder + QStringLiteral("/本地");
}

QStringList LocalOrganiser::dateFoldersFor(const CaptureTime &shot) const
{
    const QDate date = shot.time.date();
    QStringList parts{QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0'))};
    const int depth = m_folderDepth;
    if (depth >= 2)
        parts << QStringLiteral("%1").arg(date.month(), 2, 10, QLatin1Char('0'));
    if (depth >= 3)
        parts << QStringLiteral("%1").arg(date.day(), 2, 10, QLatin1Char('0'));
    return parts;
}

bool LocalOrganiser::checkSource(const FoundFile &entry, OrganiseEntry &out, qint64 *size, QDateTime *modified)
{
    struct stat st;
    if (::lstat(entry.rawPath.constData(), &st) != 0) {
        out.result = OrganiseEntry::Result::Failed;
        out.reason = QStringLiteral("文件已不存在或无法访问");
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        out.result = OrganiseEntry::Result::OtherType;
        out.reason = symlinkReason();
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
    // A file that could not be read has no md5 to record and would fail to copy.
    if (entry.md5.isEmpty()) {
        out.result = OrganiseEntry::Result::Failed;
        out.reason = QStringLiteral("无法读取文件内容");
        return false;
    }
    *size = st.st_size;
    *modified = QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000);
    return true;
}

// 1: the content is recorded or in flight; 2: the name is recorded or in flight; 3: neither;
// -1: no database. On 2 and 3 the content is held by reservation; a name is held only once
// chosen, so a plain name nobody uses stays free for a same-named file.
int LocalOrganiser::claimContent(Reservation &reservation, const QString &fileName, const QString &md5)
{
    QMutexLocker lock(&m_dbMutex);
    if (!m_localDb)
        return -1;
    int state = m_localDb->checkMd5OrName(fileName, md5);
    if (state >= 2 && m_inFlightMd5s.contains(md5))
        state = 1;
    if (state >= 2)
        reservation.holdMd5(md5);
    return state;
}

QString LocalOrganiser::targetNameFor(const QByteArray &rawPath, QString *note) const
{
    const QByteArray raw = fileNameOf(rawPath);
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

bool LocalOrganiser::earlierClashCopy(Reservation &reservation, const QString &dateFolder, const QString &fileName,
                                      qint64 size, const QString &md5, Target *target)
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
        if (info.size() != size || !clash.match(name).hasMatch())
            continue;
        const QString path = dateFolder + QLatin1Char('/') + name;
        {
            QMutexLocker lock(&m_dbMutex);
            if (!m_localDb || m_localDb->isFileNameExist(name) || m_inFlightPaths.contains(path))
                continue;
            reservation.holdTarget(name, path);
        }
        const QByteArray rawPath = QFile::encodeName(path);
        struct stat st;
        if (::lstat(rawPath.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            FileOps::md5(rawPath).toHex() == md5.toLatin1()) {
            *target = Target{name, path, true};
            return true;
        }
        QMutexLocker lock(&m_dbMutex);
        reservation.releaseTargetLocked();
    }
    return false;
}

bool LocalOrganiser::chooseTarget(Reservation &reservation, const QString &dateFolder, const QString &fileName,
                                  int state, const QDateTime &modified, qint64 size, const QString &md5, Target *target,
                                  QString *why)
{
    const QString stamp = modified.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss-"));
    auto clashName = [&](int number) { return stamp + QString::number(number) + QLatin1Char('-') + fileName; };
    auto nameInFlight = [&](const QString &name) {
        for (const QString &n : qAsConst(m_inFlightNames)) {
            if (n.compare(name, Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    };
    // The first candidate: the plain name, or 10 to 18 when a record or another file in
    // flight has it; then 20 to 28 from a random start, further numbers only when all nine
    // are taken.
    const int first = int(QRandomGenerator::global()->bounded(9u));
    bool lookedForEarlier = false;
    for (int k = -1; k < 80; ++k) {
        // Before a clash name is drawn: the same content under an earlier clash name is that copy.
        if (!lookedForEarlier && (k >= 0 || state != 3)) {
            lookedForEarlier = true;
            if (earlierClashCopy(reservation, dateFolder, fileName, size, md5, target))
                return true;
        }
        QString name;
        if (k < 0)
            name = state == 3 ? fileName : clashName(int(QRandomGenerator::global()->bounded(9u)) + 10);
        else
            name = clashName(k < 9 ? 20 + (first + k) % 9 : 20 + k);
        const QString path = dateFolder + QLatin1Char('/') + name;
        {
            QMutexLocker lock(&m_dbMutex);
            if (!m_localDb) {
                *why = QStringLiteral("相册数据库已关闭");
                return false;
            }
            if (k < 0 && state == 3 && nameInFlight(name)) {
                // A same-named file is being organised right now: this one takes a clash name.
                state = 2;
                --k;
                continue;
            }
            if (m_localDb->isFileNameExist(name) || nameInFlight(name) || m_inFlightPaths.contains(path))
                continue;
            reservation.holdTarget(name, path);
        }
        // The name is ours now; what lies on disk is looked at without any lock held.
        const QByteArray rawPath = QFile::encodeName(path);
        struct stat st;
        if (::lstat(rawPath.constData(), &st) != 0) {
            *target = Target{name, path, false};
            return true;
        }
        if (S_ISREG(st.st_mode) && FileOps::md5(rawPath).toHex() == md5.toLatin1()) {
            *target = Target{name, path, true};
            return true;
        }
        QMutexLocker lock(&m_dbMutex);
        reservation.releaseTargetLocked();
    }
    *why = QStringLiteral("找不到空闲的目标文件名");
    return false;
}

int LocalOrganiser::recordCopy(const Target &target, const FoundFile &entry, qint64 size, const CaptureTime &shot,
                               const QString &md5, bool copied)
{
    QMutexLocker lock(&m_dbMutex);
    int rows = 0;
    if (m_localDb)
        rows = m_localDb->insertRecord(target.name, target.path, size, md5, entry.filePath, 1, QString(), shot.text(),
                                       QString());
    if (rows <= 0 && copied)
        QFile::remove(target.path); // no file without its record either: the next run takes it again
    return rows;
}

OrganiseEntry LocalOrganiser::organiseFile(const FoundFile &entry)
{
    return organise(*currentRun(), entry);
}

OrganiseEntry LocalOrganiser::organise(Run &run, const FoundFile &entry)
{
    std::vector<std::unique_ptr<Pending>> one;
    one.push_back(prepare(run, entry));
    finishBatch(run, one);
    return one.front()->out;
}

std::unique_ptr<LocalOrganiser::Pending> LocalOrganiser::prepare(Run &run, const FoundFile &entry)
{
    auto p = std::make_unique<Pending>(*this);
    OrganiseEntry &out = p->out;
    out.rawSource = entry.rawPath;
    out.source = entry.filePath;
    p->entry = entry;
    const QString base = outputBase();
    if (StorageRoot::absent(base, &out.reason)) // an unplugged disk's bare mount point is no place for copies
        return p;
    ensureFolder(base);

    QDateTime modified;
    if (!checkSource(entry, out, &p->size, &modified))
        return p;
    p->md5 = entry.md5.toLower();
    QString note;
    const QString fileName = targetNameFor(entry.rawPath, &note);

    const int state = claimContent(p->reservation, fileName, p->md5);
    if (state < 2) {
        out.result = OrganiseEntry::Result::Duplicate;
        out.reason = state < 0 ? QStringLiteral("相册数据库无法打开") : QStringLiteral("相同内容已整理过");
        if (m_showDuplicates)
            showRow(run, entry.filePath);
        return p;
    }

    p->shot = CaptureTimes::read(entry.rawPath);
    out.captureTime = p->shot.time;
    out.dateSource = p->shot.source;
    const QStringList layout =
        QStringList{isPictureSuffix(suffixOf(entry.rawPath)) ? QStringLiteral("照片") : QStringLiteral("视频")} +
        dateFoldersFor(p->shot);
    // A file (or link) lying where a layout folder belongs is stepped around as on the phone side:
    // "2019(1)" and so on, never in the way of every later run.
    const QString dateFolder = StoragePlan::placeFolders(base, layout);

    QString why;
    out.result = OrganiseEntry::Result::Failed;
    if (dateFolder.isEmpty()) {
        out.reason = QStringLiteral("无法创建文件夹 ") + base + QLatin1Char('/') + layout.join(QLatin1Char('/'));
        return p;
    }
    if (!chooseTarget(p->reservation, dateFolder, fileName, state, modified, p->size, p->md5, &p->target, &why)) {
        out.reason = why;
        return p;
    }
    out.target = p->target.path;
    if (!ensureFolder(dateFolder)) {
        out.reason = QStringLiteral("无法创建文件夹 ") + dateFolder;
        return p;
    }
    QStringList notes;
    if (!note.isEmpty())
        notes << note;
    if (p->target.name != fileName)
        notes << QStringLiteral("重名，保存为 ") + p->target.name;
    if (p->target.alreadyThere) {
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
    auto staged = std::make_unique<FileOps::StagedFile>(stagingPrefix());
    QByteArray copiedMd5;
    switch (FileOps::copyToStaged(entry.rawPath, *staged, QFile::encodeName(dateFolder), &run.stop, &why, &copiedMd5)) {
    case FileOps::CopyResult::Copied:
        // The row records what the copy holds: a file rewritten since the search is not what was
        // found, and recording the search's md5 for it would let the next run store it again.
        if (QString::fromLatin1(copiedMd5.toHex()) != p->md5) {
            changedSinceSearch(*p, fileName, QString::fromLatin1(copiedMd5.toHex()));
            break;
        }
        if (struct stat copied; ::fstat(staged->fd(), &copied) == 0)
            p->size = copied.st_size;
        p->staged = std::move(staged);
        break;
    case FileOps::CopyResult::Stopped: out.reason = QStringLiteral("整理已停止"); break;
    case FileOps::CopyResult::Exists:
    case FileOps::CopyResult::Failed: out.reason = QStringLiteral("复制失败：") + why; break;
    }
    return p;
}

void LocalOrganiser::changedSinceSearch(Pending &p, const QString &fileName, const QString &copiedMd5)
{
    int state = -1;
    {
        QMutexLocker lock(&m_dbMutex);
        if (m_localDb)
            state = m_localDb->checkMd5OrName(fileName, copiedMd5);
        if (m_inFlightMd5s.contains(copiedMd5))
            state = 1;
    }
    p.out.target.clear();
    if (state == 1) {
        p.out.result = OrganiseEntry::Result::Duplicate;
        p.out.reason = QStringLiteral("文件在搜索后被改动，改动后的内容已整理过");
        return;
    }
    p.out.result = OrganiseEntry::Result::Failed;
    p.out.reason = QStringLiteral("文件在搜索后被改动，未整理（请重新整理）");
}

void LocalOrganiser::finishBatch(Run &run, std::vector<std::unique_ptr<Pending>> &batch)
{
    // The copies are written out, take their names, and one sync of each folder makes names and
    // content durable together before any record is made: a power cut never leaves a record of
    // a file that is not all there, and a batch costs one flush of the disk, not one per file.
    QSet<QByteArray> folders;
    for (const std::unique_ptr<Pending> &p : batch) {
        if (!p->staged)
            continue;
        QString why;
        if (run.stop) {
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
    for (const std::unique_ptr<Pending> &p : batch) {
        if (!p->committed && !p->alreadyThere)
            continue;
        const int rows = recordCopy(p->target, p->entry, p->size, p->shot, p->md5, p->committed);
        if (rows <= 0) {
            p->out.result = OrganiseEntry::Result::Failed;
            p->out.reason = QStringLiteral("无法写入相册数据库");
            continue;
        }
        // Content found in place is recorded now but was not copied: the counts say what was written.
        p->out.result = p->committed ? OrganiseEntry::Result::Copied : OrganiseEntry::Result::Duplicate;
        emitForRun(run, [&] {
            const int n = m_order++;
            emit setFileName(n, p->entry.filePath);
            emit setCurrentStatus(statusNumber("已整理文件: ", rows), true);
        });
    }
    // The reservations go with the batch.
}
