#include "localalbum/LocalOrganiser.h"

#include "backup/LocalDataBase.h"
#include "localalbum/BackThread.h"
#include "localalbum/ExifTime.h"
#include "localalbum/FileMd5.h"
#include "platform/AppPaths.h"
#include "platform/SearchEngine.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QThreadPool>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcOrganiser, "vanteo.localalbum.organiser")

namespace {

constexpr qint64 kMinFileSize = 40000;
constexpr int kManyResults = 1000;
std::atomic<bool> g_failCopies{false};

const QString kOutputFolder = QStringLiteral("万特相册");
const QString kPicturePattern = QStringLiteral("*.jpg|*.png|*.jpeg|*.JPG|*.PNG|*.JPEG");
const QString kVideoPattern = QStringLiteral("*.avi|*.AVI|*.mov|*.MOV|*.mp4|*.MP4|*.flv|*.FLV|*.mpg|*.MPG");

QString statusNumber(const char *prefix, int n)
{
    return QString::fromUtf8(prefix) + QString::number(n);
}

enum class CopyResult { Ok, Failed, Exists, Stopped };

// Copies src next to target under a temporary name, gives it the source's times, then moves it
// to target without ever replacing a file there. Nothing is left behind on failure.
CopyResult copyIntoPlace(const QString &src, const QString &target, const std::atomic<bool> &stop)
{
    if (g_failCopies)
        return CopyResult::Failed;
    const QByteArray srcName = QFile::encodeName(src);
    const QByteArray targetName = QFile::encodeName(target);
    const QByteArray folder = QFile::encodeName(QFileInfo(target).absolutePath());
    const int in = ::open(srcName.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return CopyResult::Failed;
    struct stat st;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return CopyResult::Failed;
    }
    QByteArray tmpName;
    int out = -1;
    for (int attempt = 0; attempt < 16 && out < 0; ++attempt) {
        tmpName = folder + "/.vanteo-copy-" + QByteArray::number(QRandomGenerator::global()->generate64(), 16) + ".part";
        out = ::open(tmpName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (out < 0 && errno != EEXIST)
            break;
    }
    if (out < 0) {
        ::close(in);
        return CopyResult::Failed;
    }
    CopyResult result = CopyResult::Ok;
    bool kernelCopy = true;
    static thread_local QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 done = 0;
    while (result == CopyResult::Ok) {
        if (stop) {
            result = CopyResult::Stopped;
            break;
        }
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in, nullptr, out, nullptr, 8 << 20, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) && done == 0) {
                kernelCopy = false;
                continue;
            }
        } else {
            n = ::read(in, buffer.data(), size_t(buffer.size()));
            for (ssize_t written = 0; n > 0 && written < n;) {
                const ssize_t w = ::write(out, buffer.constData() + written, size_t(n - written));
                if (w <= 0) {
                    n = -1;
                    break;
                }
                written += w;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            result = CopyResult::Failed;
        else if (n == 0)
            break;
        else
            done += n;
    }
    if (result == CopyResult::Ok && done != st.st_size)
        result = CopyResult::Failed; // the source changed or was cut short while copying
    if (result == CopyResult::Ok) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
    }
    if (::close(out) != 0 && result == CopyResult::Ok)
        result = CopyResult::Failed;
    ::close(in);
    if (result == CopyResult::Ok) {
        // Never replace: the name is checked free under the organiser's lock, but another
        // program may still have put a file there.
        if (::renameat2(AT_FDCWD, tmpName.constData(), AT_FDCWD, targetName.constData(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST) {
                result = CopyResult::Exists;
            } else if (::link(tmpName.constData(), targetName.constData()) == 0) {
                ::unlink(tmpName.constData());
                return CopyResult::Ok;
            } else if (errno == EEXIST) {
                result = CopyResult::Exists;
            } else if (QFile::exists(target)) { // neither call supported (FAT, exFAT, some fuse)
                result = CopyResult::Exists;
            } else if (::rename(tmpName.constData(), targetName.constData()) != 0) {
                result = CopyResult::Failed;
            }
        }
    }
    if (result != CopyResult::Ok)
        ::unlink(tmpName.constData());
    return result;
}

} // namespace

LocalOrganiser::LocalOrganiser(const QString &savePath, QObject *parent, const QString &dbPath)
    : QObject(parent)
    , m_savePath(savePath)
{
    m_localDb = new LocalDataBase(dbPath.isEmpty() ? AppPaths::programFile(QStringLiteral("localfiles.db")) : dbPath);
    m_localDb->setWriteAheadLog(true);
}

LocalOrganiser::~LocalOrganiser()
{
    {
        QMutexLocker lock(&m_jobMutex);
        m_closing = true;
    }
    m_abortCopies = true;
    requestStop();
    waitForWorkers();
    if (m_backThread) {
        m_backThread->stop();
        while (!m_backThread->wait(100))
            SearchEngine::abortQueries();
        delete m_backThread;
        m_backThread = nullptr;
    }
    {
        QMutexLocker lock(&m_dbCallMutex);
        delete m_localDb;
        m_localDb = nullptr;
    }
    clearFoundFiles();
}

void LocalOrganiser::readMediaSettings()
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    const QString pictures = settings->getGlobalValue(QStringLiteral("localPicture"));
    m_pictures = pictures.isEmpty() ? true : ReadWriteSetting::toInt(pictures) > 0;
    const QString videos = settings->getGlobalValue(QStringLiteral("localVideo"));
    m_videos = videos.isEmpty() ? false : ReadWriteSetting::toInt(videos) > 0;
}

bool LocalOrganiser::runJob(std::function<void()> job)
{
    {
        QMutexLocker lock(&m_jobMutex);
        if (m_closing)
            return false;
        ++m_jobs;
    }
    QThreadPool::globalInstance()->start([this, job] {
        job();
        QMutexLocker lock(&m_jobMutex);
        if (--m_jobs == 0)
            m_jobsDone.wakeAll();
    });
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
    waitForWorkers();
    {
        // New rows continue after the files already organised.
        QMutexLocker lock(&m_dbCallMutex);
        m_order = m_localDb ? m_localDb->countExistFiles() : 0;
    }
    m_showDuplicates = false;
    m_expectedTotal = 0;
    m_folders = folders;
    m_stopSearch = false;
    return runJob([this] { searchFolders(); });
}

bool LocalOrganiser::startAllDiskSearch()
{
    waitForWorkers();
    m_order = 0;
    m_showDuplicates = true; // files organised before are listed again
    m_stopSearch = false;
    return runJob([this] { searchAllDisks(); });
}

void LocalOrganiser::requestStop()
{
    m_stopSearch = true;
    SearchEngine::abortQueries();
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
    QMutexLocker lock(&m_listMutex);
    m_foundFiles.clear();
    m_foundMd5s.clear();
}

int LocalOrganiser::foundCount() const
{
    QMutexLocker lock(&m_listMutex);
    return int(m_foundFiles.size());
}

void LocalOrganiser::appendFound(const QString &filePath, const QString &md5)
{
    QMutexLocker lock(&m_listMutex);
    m_foundFiles.push_back(std::make_unique<FoundFile>(FoundFile{filePath, md5}));
    if (!md5.isEmpty())
        m_foundMd5s.insert(md5.toLower());
}

bool LocalOrganiser::isPictureSuffix(const QString &suffix)
{
    const QString s = suffix.toLower();
    return s == QLatin1String("jpg") || s == QLatin1String("jpeg") || s == QLatin1String("png");
}

bool LocalOrganiser::isVideoSuffix(const QString &suffix)
{
    static const QStringList videos = {QStringLiteral("avi"), QStringLiteral("mov"), QStringLiteral("mp4"),
                                       QStringLiteral("flv"), QStringLiteral("mpg")};
    return videos.contains(suffix.toLower());
}

void LocalOrganiser::setFailCopiesForTests(bool fail)
{
    g_failCopies = fail;
}

bool LocalOrganiser::isSkippedPath(const QString &path)
{
    // The Windows words are matched with either separator.
    const QString p = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    const Qt::CaseSensitivity ci = Qt::CaseInsensitive;
    if (p.contains(kOutputFolder, ci))
        return true;
    if (p.contains(QLatin1String("Users/Administrator"), ci) && !p.contains(QLatin1String("Users/Administrator/Pictures"), ci))
        return true;
    if (p.contains(QLatin1String("Program Files"), ci) || p.contains(QLatin1String("Android Studio"), ci)
        || p.contains(QLatin1String("$RECYCLE.BIN"), ci))
        return true;
    // System trees. Removable drives mounted under /run/media stay.
    static const QStringList systemTrees = {
        QStringLiteral("/usr"), QStringLiteral("/proc"), QStringLiteral("/sys"), QStringLiteral("/dev"),
        QStringLiteral("/run"), QStringLiteral("/boot"), QStringLiteral("/etc"), QStringLiteral("/var"),
        QStringLiteral("/opt"), QStringLiteral("/snap")};
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
    m_savePath = StorageVolumes::largestFreeRoot();
    if (m_savePath.isEmpty())
        m_savePath = QDir::homePath() + QLatin1Char('/');
}

QByteArray LocalOrganiser::fileMd5(const QString &path)
{
    return FileMd5::digest(path);
}

bool LocalOrganiser::isMd5Listed(const QString &md5)
{
    if (md5.isEmpty())
        return false;
    QMutexLocker lock(&m_listMutex);
    if (m_stopSearch)
        return false;
    return m_foundMd5s.contains(md5.toLower());
}

int LocalOrganiser::walkFolder(const QString &folder)
{
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    int handled = 0;
    for (const QFileInfo &info : entries) {
        if (m_stopSearch)
            return -1;
        ++handled;
        if (info.isDir()) {
            if (!info.isSymLink()) // a link to a parent would never end
                walkFolder(info.absoluteFilePath());
            continue;
        }
        const QString suffix = info.suffix();
        if ((m_pictures && isPictureSuffix(suffix)) || (m_videos && isVideoSuffix(suffix))) {
            const QString path = info.absoluteFilePath();
            const QString md5 = QString::fromLatin1(fileMd5(path).toHex());
            if (!isMd5Listed(md5))
                appendFound(path, md5);
        }
    }
    return handled;
}

void LocalOrganiser::searchFolders()
{
    for (const QString &folder : qAsConst(m_folders))
        walkFolder(folder);
    if (m_savePath.isEmpty())
        pickSaveDrive();
    const int found = foundCount();
    m_totalFound = found;
    m_lastPercent = 0;
    emit setCurrentPercent(0);
    emit setCurrentStatus(QStringLiteral("开始搜索"), true);
    m_folderDepth = 2;
    startOrganisers(found <= kManyResults ? 1 : 10);
}

void LocalOrganiser::searchAllDisks()
{
    if (m_savePath.isEmpty())
        pickSaveDrive();
    int results = 0;
    int found = 0;
    if (SearchEngine::updateAllFolderIndexes()) {
        SearchEngine::setSort(3);
        QString pattern;
        if (m_pictures && m_videos)
            pattern = kPicturePattern + QLatin1Char('|') + kVideoPattern;
        else if (m_pictures)
            pattern = kPicturePattern;
        else if (m_videos)
            pattern = kVideoPattern;
        else
            return;
        SearchEngine::setSearch(pattern);
        if (m_stopSearch)
            return;
        SearchEngine::query(true);
        if (m_stopSearch)
            return;
        emit setCurrentStatus(QStringLiteral("开始分析磁盘目录"), true);
        if (m_backThread && !m_backQueryDone) {
            while (!m_backQuerySem.tryAcquire(1, 100)) {
                if (m_stopSearch)
                    return;
            }
        }
        emit setCurrentStatus(QStringLiteral("分析磁盘目录结束"), false);
        emit setCurrentStatus(QStringLiteral("分析文件信息"), true);
        results = SearchEngine::numResults();
        int last = 0;
        for (int i = 0; i < results; ++i) {
            if (m_stopSearch) {
                SearchEngine::reset();
                return;
            }
            const int percent = int((100ull * unsigned(i)) / unsigned(results));
            if (percent != last) {
                emit setCurrentPercent(percent);
                last = percent;
            }
            QString full = SearchEngine::resultPath(i);
            if (!full.endsWith(QLatin1Char('/')))
                full += QLatin1Char('/');
            full += SearchEngine::resultFileName(i);
            if (isSkippedPath(full))
                continue;
            const QString md5 = QString::fromLatin1(fileMd5(full).toHex());
            if (!md5.isEmpty() && !isMd5Listed(md5)) {
                appendFound(full, md5);
                ++found;
            }
        }
        SearchEngine::reset(); // the results are read; free them
    }
    if (m_stopSearch) {
        clearFoundFiles();
        m_lastPercent = 0;
        emit setCurrentPercent(0);
        emit searchCleared();
        return;
    }
    if (found > 0)
        emit setCurrentStatus(QStringLiteral("磁盘文件总数") + QString::number(found), false);
    m_expectedTotal = 0;
    m_totalFound = foundCount();
    m_lastPercent = 0;
    emit setCurrentPercent(0);
    m_folderDepth = results <= kManyResults ? 1 : 2;
    startOrganisers(results <= kManyResults ? 1 : 10);
}

void LocalOrganiser::startOrganisers(int count)
{
    for (int i = 0; i < count; ++i)
        runJob([this] { organiseWorker(); });
}

void LocalOrganiser::organiseWorker()
{
    emit setCurrentStatus(QStringLiteral("正在整理文件"), true);
    while (!m_stopSearch) {
        std::unique_ptr<FoundFile> entry;
        int remaining = 0;
        {
            QMutexLocker lock(&m_listMutex);
            if (!m_foundFiles.empty()) {
                entry = std::move(m_foundFiles.front());
                m_foundFiles.pop_front();
                if (!entry->md5.isEmpty())
                    m_foundMd5s.remove(entry->md5.toLower());
            }
            remaining = int(m_foundFiles.size());
        }
        const int total = m_totalFound;
        if (total > 0) {
            const int percent = (total - remaining) * 100 / total;
            if (percent >= 1 && percent <= 99 && percent != m_lastPercent) {
                m_lastPercent = percent;
                emit setCurrentPercent(percent);
            }
        }
        if (!entry)
            break;
        organiseFile(entry.get());
    }
    if (!m_stopSearch) {
        m_lastPercent = 100;
        emit setCurrentPercent(100);
    }
    int count = 0;
    {
        QMutexLocker lock(&m_dbCallMutex);
        if (m_localDb)
            count = m_localDb->countExistFiles();
    }
    emit setCurrentStatus(statusNumber("已整理文件总数: ", count), false);
    emit sendSearchFinish();
}

bool LocalOrganiser::ensureFolder(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    return QDir().mkpath(path);
}

QString LocalOrganiser::exifShotTime(const QString &path)
{
    return ExifTime::shotTime(path);
}

bool LocalOrganiser::nameInFlight(const QString &name, Qt::CaseSensitivity cs) const
{
    for (const QString &n : m_inFlightNames) {
        if (n.compare(name, cs) == 0)
            return true;
    }
    return false;
}

int LocalOrganiser::organiseFile(FoundFile *entry)
{
    // The root is a prefix; a configured folder without its separator still gets one, and an
    // empty root means the home folder, never the process's current folder.
    QString root = m_savePath.isEmpty() ? QDir::homePath() + QLatin1Char('/') : m_savePath;
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    const QString base = root + kOutputFolder + QStringLiteral("/本地");
    ensureFolder(base);

    const QFileInfo info(entry->filePath);
    if (!info.exists() || !info.isFile() || info.size() < kMinFileSize)
        return -1;
    // A file that could not be read has no md5 to record and would fail to copy.
    if (entry->md5.isEmpty())
        return -1;
    if (!m_localDb)
        return 0;
    const QString fileName = info.fileName();
    const QString md5 = entry->md5.toLower();

    // First check, and reservation of the content and the name until the insert, so that two
    // workers never take the same file or the same name.
    int state = 3;
    {
        QMutexLocker lock(&m_dbCallMutex);
        if (!m_localDb)
            return -1;
        state = m_localDb->checkMd5OrName(fileName, md5);
        if (state >= 2 && m_inFlightMd5s.contains(md5))
            state = 1;
        if (state == 3 && nameInFlight(fileName, Qt::CaseInsensitive))
            state = 2;
        if (state >= 2) {
            m_inFlightMd5s.insert(md5);
            m_inFlightNames.append(fileName);
        }
    }
    if (state < 2) {
        if (!m_showDuplicates)
            return -1;
        int n = 0;
        {
            QMutexLocker lock(&m_orderMutex);
            n = m_order++;
            emit setFileName(n, info.filePath());
        }
        emit setCurrentStatus(statusNumber("已整理文件: ", n + 1), true);
        return -1;
    }
    auto release = [&](const QString &name, const QString &target) {
        m_inFlightMd5s.remove(md5);
        m_inFlightNames.removeOne(fileName);
        if (!name.isEmpty())
            m_inFlightNames.removeOne(name);
        if (!target.isEmpty())
            m_inFlightPaths.remove(target);
    };

    QString shot = exifShotTime(entry->filePath);
    if (shot.isEmpty())
        shot = info.lastModified().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::sscanf(shot.toLatin1().constData(), "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
    const QString yyyy = QStringLiteral("%1").arg(year, 4, 10, QLatin1Char('0'));
    const QString mm = QStringLiteral("%1").arg(month, 2, 10, QLatin1Char('0'));
    const QString dd = QStringLiteral("%1").arg(day, 2, 10, QLatin1Char('0'));
    const QString kind = base + (isPictureSuffix(info.suffix()) ? QStringLiteral("/照片") : QStringLiteral("/视频"));
    const int depth = m_folderDepth;
    QString dateFolder = kind + QLatin1Char('/') + yyyy;
    if (depth >= 2)
        dateFolder += QLatin1Char('/') + mm;
    if (depth >= 3)
        dateFolder += QLatin1Char('/') + dd;
    const QString stamp = info.lastModified().toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss-"));
    auto clashName = [&](int number) { return stamp + QString::number(number) + QLatin1Char('-') + fileName; };

    QString name = state == 2 ? clashName(int(QRandomGenerator::global()->bounded(9u)) + 10) : fileName;
    QString target;
    bool alreadyThere = false; // the same content already lies at the target
    {
        QMutexLocker lock(&m_dbCallMutex);
        if (!m_localDb) {
            release(QString(), QString());
            return -1;
        }
        m_inFlightNames.removeOne(fileName);
        // A name is free when no record, no other worker and no file of other content holds it.
        auto taken = [&](const QString &candidate) {
            const QString path = dateFolder + QLatin1Char('/') + candidate;
            if (m_localDb->isFileNameExist(candidate) || nameInFlight(candidate, Qt::CaseInsensitive)
                || m_inFlightPaths.contains(path))
                return true;
            if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
                if (QFileInfo(path).isFile() && !QFileInfo(path).isSymLink() && FileMd5::hex(path) == md5) {
                    alreadyThere = true;
                    return false;
                }
                return true;
            }
            return false;
        };
        if (taken(name)) {
            const int first = int(QRandomGenerator::global()->bounded(9u));
            bool placed = false;
            // 20 to 28 first, from a random start; further numbers only when all nine are taken.
            for (int k = 0; k < 80 && !placed; ++k) {
                const int number = k < 9 ? 20 + (first + k) % 9 : 20 + k;
                name = clashName(number);
                placed = !taken(name);
            }
            if (!placed) {
                m_inFlightMd5s.remove(md5);
                return -1;
            }
        }
        target = dateFolder + QLatin1Char('/') + name;
        m_inFlightNames.append(name);
        m_inFlightPaths.insert(target);
    }
    auto releaseLocked = [&] {
        QMutexLocker lock(&m_dbCallMutex);
        m_inFlightMd5s.remove(md5);
        m_inFlightNames.removeOne(name);
        m_inFlightPaths.remove(target);
    };

    if (!ensureFolder(dateFolder)) {
        releaseLocked();
        return -1;
    }
    bool copied = false;
    if (!alreadyThere) {
        const CopyResult result = copyIntoPlace(entry->filePath, target, m_abortCopies);
        if (result != CopyResult::Ok) {
            qCDebug(lcOrganiser) << "copy failed" << entry->filePath << target << int(result);
            releaseLocked();
            return -1;
        }
        copied = true;
    }

    int rows = 0;
    {
        QMutexLocker lock(&m_dbCallMutex);
        if (m_localDb)
            rows = m_localDb->insertRecord(name, target, info.size(), md5, entry->filePath, 1, QString(), shot, QString());
        if (rows <= 0 && copied)
            QFile::remove(target); // no file without its record either: the next run takes it again
        m_inFlightMd5s.remove(md5);
        m_inFlightNames.removeOne(name);
        m_inFlightPaths.remove(target);
    }
    if (rows <= 0)
        return 0;
    int n = 0;
    {
        QMutexLocker lock(&m_orderMutex);
        n = m_order++;
        emit setFileName(n, info.filePath());
    }
    emit setCurrentStatus(statusNumber("已整理文件: ", rows), true);
    return 0;
}
