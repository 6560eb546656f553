#include "localalbum/LocalOrganiser.h"

#include "backup/LocalDataBase.h"
#include "fileops/FileOps.h"
#include "localalbum/AlbumLedger.h"
#include "localalbum/BackThread.h"
#include "localalbum/FileOrganiser.h"
#include "localalbum/MediaRules.h"
#include "localalbum/MediaSearch.h"
#include "platform/AppPaths.h"
#include "platform/SearchEngine.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>

#include <array>

Q_LOGGING_CATEGORY(lcOrganiser, "vanteo.localalbum.organiser")

namespace {

constexpr int kManyResults = 1000;
// A staged copy untouched this long is a crash's leftover; one being written changes all the time.
constexpr qint64 kStaleCopySecs = 600;
// A batch of copies made durable together: bounded in files, bytes and age, so that rows keep
// appearing and a stop loses little.
constexpr int kBatchFiles = 32; // each holds an open file until its batch ends
constexpr qint64 kBatchBytes = 512ll << 20;
constexpr qint64 kBatchMs = 1000;

const QString kPicturePattern =
    QStringLiteral("*.jpg|*.png|*.jpeg|*.JPG|*.PNG|*.JPEG|*.heic|*.HEIC|*.heif|*.HEIF|*.avif|*.AVIF|*.webp|*.WEBP");
const QString kVideoPattern =
    QStringLiteral("*.avi|*.AVI|*.mov|*.MOV|*.mp4|*.MP4|*.flv|*.FLV|*.mpg|*.MPG|*.m4v|*.M4V|*.3gp|*.3GP");

QString statusNumber(const char *prefix, int n)
{
    return QString::fromUtf8(prefix) + QString::number(n);
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

void removeLeftoverCopies(const QString &root)
{
    QString r = root.isEmpty() ? QDir::homePath() + QLatin1Char('/') : root;
    if (!r.endsWith(QLatin1Char('/')))
        r += QLatin1Char('/');
    FileOps::removeStaleStaged(QFile::encodeName(r + MediaRules::albumFolderName()), FileOrganiser::stagingPrefix(),
                               kStaleCopySecs);
}

} // namespace

// One search and the organising of what it found. Its settings are fixed when it starts, its
// list when its workers start; its counts are atomic.
struct LocalOrganiser::Run
{
    quint64 id = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> userStopped{false};
    std::atomic<int> jobs{0};
    OrganiseOptions options;
    bool pictures = true;
    bool videos = false;
    bool showKnown = false;
    std::vector<FoundFile> list;
    std::atomic<size_t> next{0};
    std::atomic<int> lastPercent{0};
    std::array<std::atomic<int>, 6> counts{};
    std::atomic<int> picturesLeftOut{0};
    std::atomic<int> videosLeftOut{0};

    OrganiseSummary summary() const
    {
        OrganiseSummary s;
        auto n = [this](OrganiseEntry::Result r) { return counts[size_t(r)].load(); };
        s.copied = n(OrganiseEntry::Result::Copied);
        s.duplicates = n(OrganiseEntry::Result::Duplicate);
        s.tooSmall = n(OrganiseEntry::Result::TooSmall);
        s.otherType = n(OrganiseEntry::Result::OtherType);
        s.failed = n(OrganiseEntry::Result::Failed);
        s.folders = n(OrganiseEntry::Result::FolderSkipped);
        s.picturesLeftOut = picturesLeftOut;
        s.videosLeftOut = videosLeftOut;
        s.stopped = userStopped;
        return s;
    }
};

LocalOrganiser::LocalOrganiser(const QString &savePath, QObject *parent, const QString &dbPath)
    : QObject(parent), m_ledger(std::make_unique<AlbumLedger>(
                           dbPath.isEmpty() ? AppPaths::dataFile(QStringLiteral("localfiles.db")) : dbPath)),
      m_current(std::make_shared<Run>()), m_savePath(savePath)
{
    registerMetaTypes();
}

LocalOrganiser::~LocalOrganiser()
{
    m_closing = true;
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
    m_ledger.reset();
}

// --- control ---

void LocalOrganiser::readMediaSettings()
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    setMedia(settings->isOn(SettingsKeys::LocalPicture), settings->isOn(SettingsKeys::LocalVideo));
}

void LocalOrganiser::setMedia(bool pictures, bool videos)
{
    m_pictures = pictures;
    m_videos = videos;
}

LocalDataBase *LocalOrganiser::database() const
{
    return m_ledger->database();
}

void LocalOrganiser::pickSaveDrive()
{
    QString root = StorageVolumes::largestFreeRoot();
    if (root.isEmpty())
        root = QDir::homePath() + QLatin1Char('/');
    setSavePath(root);
}

int LocalOrganiser::order() const
{
    QMutexLocker lock(&m_gate);
    return m_order;
}

void LocalOrganiser::setOrder(int order)
{
    QMutexLocker lock(&m_gate);
    m_order = order;
}

std::shared_ptr<LocalOrganiser::Run> LocalOrganiser::currentRun() const
{
    return std::atomic_load(&m_current);
}

std::shared_ptr<LocalOrganiser::Run> LocalOrganiser::newRun()
{
    if (m_savePath.isEmpty())
        pickSaveDrive();
    auto run = std::make_shared<Run>();
    run->options = OrganiseOptions{m_savePath, m_folderDepth};
    run->pictures = m_pictures;
    run->videos = m_videos;
    run->showKnown = m_showDuplicates;
    // The pool grows with the global one (tests let more workers race).
    m_pool.setMaxThreadCount(qMax(2, QThreadPool::globalInstance()->maxThreadCount()));
    QMutexLocker lock(&m_gate);
    m_current->stop = true;
    run->id = ++m_runCount;
    std::atomic_store(&m_current, run);
    m_detached = false;
    return run;
}

bool LocalOrganiser::runJob(const std::shared_ptr<Run> &run, std::function<void()> job)
{
    if (m_closing)
        return false;
    ++m_activeJobs;
    ++run->jobs;
    m_pool.start([this, run, job] {
        job();
        jobEnded(run);
        --m_activeJobs;
    });
    return true;
}

void LocalOrganiser::jobEnded(const std::shared_ptr<Run> &run)
{
    if (--run->jobs != 0)
        return;
    const OrganiseSummary summary = run->summary();
    emitForRun(*run, [&] { emit runFinished(summary); });
}

bool LocalOrganiser::emitForRun(const Run &run, const std::function<void()> &emitter)
{
    QMutexLocker lock(&m_gate);
    if (m_detached || m_current.get() != &run)
        return false;
    emitter();
    return true;
}

bool LocalOrganiser::waitForWorkers(int timeoutMs)
{
    return m_pool.waitForDone(timeoutMs);
}

bool LocalOrganiser::startFolderSearch(const QStringList &folders)
{
    m_showDuplicates = false;
    const std::shared_ptr<Run> run = newRun();
    setOrder(countExistFiles()); // new rows continue after the files already organised
    return runJob(run, [this, run, folders] {
        removeLeftoverCopies(run->options.root);
        MediaSearch search(run->pictures, run->videos, run->stop, [&](const OrganiseEntry &e) { report(*run, e); });
        for (const QString &folder : folders) {
            if (run->stop)
                break;
            search.searchFolder(folder);
        }
        run->picturesLeftOut += search.picturesLeftOut();
        run->videosLeftOut += search.videosLeftOut();
        searchFolders(run, search.takeFound());
    });
}

bool LocalOrganiser::startAllDiskSearch()
{
    m_showDuplicates = true; // files organised before are listed again
    const std::shared_ptr<Run> run = newRun();
    setOrder(0);
    return runJob(run, [this, run] { searchAllDisks(run); });
}

bool LocalOrganiser::startOrganising(const QList<FoundFile> &files, int workers)
{
    const std::shared_ptr<Run> run = newRun();
    std::vector<FoundFile> list(files.cbegin(), files.cend());
    // The workers are started by a job, as after a search: this returns at once.
    return runJob(run, [this, run, list, workers]() mutable { startWorkers(run, std::move(list), workers); });
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
    QMutexLocker lock(&m_gate);
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

int LocalOrganiser::countExistFiles()
{
    return m_ledger->countExistFiles();
}

bool LocalOrganiser::isPictureSuffix(const QString &suffix)
{
    return MediaRules::isPictureSuffix(suffix);
}

bool LocalOrganiser::isVideoSuffix(const QString &suffix)
{
    return MediaRules::isVideoSuffix(suffix);
}

bool LocalOrganiser::isSkippedPath(const QString &path)
{
    return MediaRules::isSkippedPath(path);
}

void LocalOrganiser::setFailCopiesForTests(bool fail)
{
    FileOrganiser::setFailCopiesForTests(fail);
}

const QByteArray &LocalOrganiser::stagingPrefix()
{
    return FileOrganiser::stagingPrefix();
}

// --- reporting ---

void LocalOrganiser::report(Run &run, const OrganiseEntry &entry)
{
    ++run.counts[size_t(entry.result)];
    if (entry.result == OrganiseEntry::Result::Failed && !run.stop)
        qCWarning(lcOrganiser) << "not organised:" << entry.source << entry.reason;
    emitForRun(run, [&] { emit fileReported(entry); });
}

void LocalOrganiser::showRow(Run &run, const QString &path)
{
    emitForRun(run, [&] {
        const int n = m_order++;
        emit setFileName(n, path);
        emit setCurrentStatus(statusNumber("已整理文件: ", n + 1), true);
    });
}

// --- searches ---

void LocalOrganiser::searchFolders(const std::shared_ptr<Run> &run, std::vector<FoundFile> found)
{
    MediaSearch::dropRepeats(found, m_ledger->recordedSizes(), run->stop,
                             [&](const OrganiseEntry &e) { report(*run, e); });
    emitForRun(*run, [&] {
        emit setCurrentPercent(0);
        emit setCurrentStatus(QStringLiteral("开始搜索"), true);
    });
    m_folderDepth = 2;
    run->options.folderDepth = 2;
    const int workers = int(found.size()) <= kManyResults ? 1 : 10;
    startWorkers(run, std::move(found), workers);
}

int LocalOrganiser::readEngine(Run &run, MediaSearch &search)
{
    if (!(run.pictures || run.videos) || !SearchEngine::updateAllFolderIndexes())
        return 0;
    SearchEngine::setSort(3);
    SearchEngine::setSearch(run.pictures && run.videos ? kPicturePattern + QLatin1Char('|') + kVideoPattern
                                : run.pictures         ? kPicturePattern
                                                       : kVideoPattern);
    // The run's stop is handed over: a stop landing before the query starts waiting is seen too.
    SearchEngine::query(true, &run.stop);
    if (run.stop)
        return -1;
    emitForRun(run, [&] { emit setCurrentStatus(QStringLiteral("开始分析磁盘目录"), true); });
    if (m_backThread && !m_backQueryDone) {
        while (!m_backQuerySem.tryAcquire(1, 50)) {
            if (run.stop)
                return -1;
        }
    }
    emitForRun(run, [&] {
        emit setCurrentStatus(QStringLiteral("分析磁盘目录结束"), false);
        emit setCurrentStatus(QStringLiteral("分析文件信息"), true);
    });
    const int results = SearchEngine::numResults();
    int last = 0;
    for (int i = 0; i < results && !run.stop; ++i) {
        const int percent = int((100ull * unsigned(i)) / unsigned(results));
        if (percent != last) {
            emitForRun(run, [&] { emit setCurrentPercent(percent); });
            last = percent;
        }
        const QByteArray raw = SearchEngine::resultRawPath(i);
        if (!MediaRules::isSkippedPath(QFile::decodeName(raw)))
            search.addFile(raw);
    }
    return run.stop ? -1 : results;
}

void LocalOrganiser::searchAllDisks(const std::shared_ptr<Run> &run)
{
    removeLeftoverCopies(run->options.root);
    MediaSearch search(run->pictures, run->videos, run->stop, [&](const OrganiseEntry &e) { report(*run, e); });
    int results = 0;
    {
        // The calling thread's results hold the whole index: freed before organising.
        struct EngineResults
        {
            ~EngineResults() { SearchEngine::reset(); }
        } engineResults;
        results = readEngine(*run, search);
    }
    std::vector<FoundFile> found = search.takeFound();
    if (results < 0 ||
        !MediaSearch::dropRepeats(found, m_ledger->recordedSizes(), run->stop,
                                  [&](const OrganiseEntry &e) { report(*run, e); }))
        return; // stopped half-way: ends silently
    endAllDiskSearch(run, std::move(found), results);
}

void LocalOrganiser::endAllDiskSearch(const std::shared_ptr<Run> &run, std::vector<FoundFile> found, int results)
{
    run->lastPercent = 0;
    if (run->stop) {
        emitForRun(*run, [&] {
            emit setCurrentPercent(0);
            emit searchCleared();
        });
        return;
    }
    if (!found.empty())
        emitForRun(*run, [&] {
            emit setCurrentStatus(QStringLiteral("磁盘文件总数") + QString::number(found.size()), false);
        });
    emitForRun(*run, [&] { emit setCurrentPercent(0); });
    m_folderDepth = results <= kManyResults ? 1 : 2;
    run->options.folderDepth = m_folderDepth;
    startWorkers(run, std::move(found), results <= kManyResults ? 1 : 10);
}

// --- organising ---

void LocalOrganiser::startWorkers(const std::shared_ptr<Run> &run, std::vector<FoundFile> found, int workers)
{
    // Handed over before any worker starts; the workers only read it.
    run->list = std::move(found);
    run->lastPercent = 0;
    for (int i = 0; i < workers; ++i)
        runJob(run, [this, run] { workOn(run); });
}

void LocalOrganiser::showProgress(Run &run, size_t taken)
{
    const size_t total = run.list.size();
    if (total == 0)
        return;
    const int percent = int(qMin(taken, total) * 100 / total);
    if (percent >= 1 && percent <= 99 && run.lastPercent.exchange(percent) != percent)
        emitForRun(run, [&] { emit setCurrentPercent(percent); });
}

void LocalOrganiser::workOn(const std::shared_ptr<Run> &run)
{
    emitForRun(*run, [&] { emit setCurrentStatus(QStringLiteral("正在整理文件"), true); });
    FileOrganiser organiser(*m_ledger, run->options, run->stop);
    // Copies are made durable a batch at a time: one flush of the disk for many files.
    std::vector<std::unique_ptr<FileOrganiser::Pending>> batch;
    qint64 batchBytes = 0;
    QElapsedTimer batchAge;
    auto finish = [&] {
        organiser.finishBatch(batch, [&](const FoundFile &entry, int rows) {
            emitForRun(*run, [&] {
                emit setFileName(m_order++, entry.filePath);
                emit setCurrentStatus(statusNumber("已整理文件: ", rows), true);
            });
        });
        for (const std::unique_ptr<FileOrganiser::Pending> &p : batch)
            report(*run, p->out);
        batch.clear();
        batchBytes = 0;
    };
    while (!run->stop) {
        const size_t i = run->next++;
        showProgress(*run, i + 1);
        if (i >= run->list.size())
            break;
        std::unique_ptr<FileOrganiser::Pending> p = organiser.prepare(run->list[i]);
        if (p->known && run->showKnown)
            showRow(*run, p->entry.filePath);
        if (!p->waitsForBatch()) {
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
