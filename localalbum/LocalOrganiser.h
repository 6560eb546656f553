#pragma once

#include "localalbum/CaptureTime.h"
#include "localalbum/FoundFile.h"
#include "localalbum/OrganiseReport.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class AlbumLedger;
class MediaSearch;
class BackThread;
class LocalDataBase;

// The worker half of the local album page: the two searches that collect pictures and videos
// (all disks through the search engine, or the folders the user listed), and the organise
// workers that copy each new file into "万特相册/本地/照片|视频/yyyy[/MM[/dd]]" under the
// root and record it in localfiles.db. The steps are MediaSearch (collecting, dropping repeated
// content), FileOrganiser (dating, choosing the target, copying) and AlbumLedger (what is
// recorded or in flight); this class runs them as jobs of its own thread pool and reports.
//
// Each search is a run with its own list, stop flag and summary; the list is handed to the
// workers by value once the search has collected it. Starting a search stops the run before it
// and never waits for it: its workers abandon what they are doing within a fraction of a second
// (copies and hashes check the stop between blocks, a partial copy is removed) and, from the
// moment the new run starts (or detachRun() is called), nothing of the old run reaches the page:
// no signal, no file of its list organised. Only the destructor waits, for jobs that all end
// promptly.
//
// Every file a search finds is reported once with fileReported() (copied, duplicate, too
// small, not a regular file, or failed with its reason), as is every folder it could not read,
// and a run that ends emits runFinished(). The folder search follows no link and never enters
// 万特相册 (the program's own copies and phones' backups). A copy's md5 is hashed from the bytes
// copied; a file changed since the search is reported, not recorded. Signals are emitted from
// pool threads (queued to receivers in the GUI thread); a receiver connected directly must not
// call back into this object.
class LocalOrganiser : public QObject
{
    Q_OBJECT
public:
    // dbPath empty: the program folder's "localfiles.db".
    explicit LocalOrganiser(const QString &savePath, QObject *parent = nullptr, const QString &dbPath = QString());
    ~LocalOrganiser() override;

    // --- Page-facing control (GUI thread); nothing here waits for a worker ---
    // Reads which media to organise from the settings.
    void readMediaSettings();
    void setMedia(bool pictures, bool videos);
    bool picturesSelected() const { return m_pictures; }
    bool videosSelected() const { return m_videos; }
    // Start a new run (stopping the one before). The folder search numbers its rows after the
    // organised files and hides known content; the all-disk search numbers from 0 and lists
    // known content again. False when the object is closing.
    bool startFolderSearch(const QStringList &folders);
    bool startAllDiskSearch();
    // Organises files found by other means as a run of its own with the given number of
    // workers, numbering rows from order(). A file's md5, when given, is taken as its content's
    // at the time it was found.
    bool startOrganising(const QList<FoundFile> &files, int workers = 1);
    // Stops the current run: its search, hashes and copies end within a fraction of a second.
    // It still ends with sendSearchFinish() and runFinished(stopped) unless detached first.
    void requestStop();
    // Stops the current run and cuts it off from the page: once this returns, none of its
    // signals is emitted any more (the page then handles what is already queued).
    void detachRun();
    bool isStopped() const;
    // Jobs of every run still winding down (tests, diagnostics).
    int activeJobs() const { return m_activeJobs; }
    // Waits until no job of any run is left; false on timeout. Tests and the destructor only.
    bool waitForWorkers(int timeoutMs = -1);
    // Creates and starts BackThread (once per life).
    void startBackQuery();
    // Files recorded as existing in the album database (a short database call).
    int countExistFiles();
    // For connecting to the listing's signals and starting it; owned here.
    LocalDataBase *database() const;

    QString savePath() const { return m_savePath; }
    void setSavePath(const QString &root) { m_savePath = root; }
    // The root with the most free space (the home folder when none has room).
    void pickSaveDrive();
    int order() const;
    void setOrder(int order);
    bool showDuplicates() const { return m_showDuplicates; }
    void setShowDuplicates(bool show) { m_showDuplicates = show; }
    int folderDepth() const { return m_folderDepth; }
    void setFolderDepth(int depth) { m_folderDepth = depth; }

    // The all-disk skip rules: the organiser's own output, system trees, trash and hidden
    // folders (see MediaRules).
    static bool isSkippedPath(const QString &path);
    // Does a file name's suffix belong to the selected media?
    static bool isPictureSuffix(const QString &suffix);
    static bool isVideoSuffix(const QString &suffix);
    // Makes every copy fail (tests of the failure path).
    static void setFailCopiesForTests(bool fail);
    // Hidden name prefix of copies under way (removed after a crash by the next run).
    static const QByteArray &stagingPrefix();

signals:
    void setFileName(int order, QString filename);
    void sendSearchFinish();
    void setCurrentStatus(QString status, bool bShowLoading);
    void setCurrentPercent(int percent);
    // The all-disk search was stopped after reading every result: the page clears its table
    // and page label (it owns them).
    void searchCleared();
    // What became of one file a search found (every one, once).
    void fileReported(const OrganiseEntry &entry);
    // A run ended, every file of it handled or the run stopped.
    void runFinished(const OrganiseSummary &summary);

private:
    struct Run;

    std::shared_ptr<Run> currentRun() const;
    std::shared_ptr<Run> newRun();
    bool runJob(const std::shared_ptr<Run> &run, std::function<void()> job);
    void jobEnded(const std::shared_ptr<Run> &run);
    // Emits through emitter only while run is the page's current run (m_gate held).
    bool emitForRun(const Run &run, const std::function<void()> &emitter);
    void report(Run &run, const OrganiseEntry &entry);
    void showRow(Run &run, const QString &path);
    void backQueryFinished();

    // A folder search's list collected: repeated content dropped, the workers started.
    void searchFolders(const std::shared_ptr<Run> &run, std::vector<FoundFile> found);
    void searchAllDisks(const std::shared_ptr<Run> &run);
    // Queries the engine and hands its results to search; the number of results, -1 when stopped first.
    int readEngine(Run &run, MediaSearch &search);
    void endAllDiskSearch(const std::shared_ptr<Run> &run, std::vector<FoundFile> found, int results);
    void startWorkers(const std::shared_ptr<Run> &run, std::vector<FoundFile> found, int workers);
    void workOn(const std::shared_ptr<Run> &run);
    void showProgress(Run &run, size_t taken);

    std::unique_ptr<AlbumLedger> m_ledger;
    QThreadPool m_pool;
    std::atomic<int> m_activeJobs{0};
    std::atomic<bool> m_closing{false};

    // The gate between the runs and the page: which run is current (also read without it, through
    // the atomic shared_ptr functions), whether it is cut off, and the row numbering. Held while
    // a run's signal is emitted, so that a detached run is silent once detachRun() returns.
    mutable QMutex m_gate;
    std::shared_ptr<Run> m_current;
    bool m_detached = false;
    int m_order = 0;
    quint64 m_runCount = 0;

    // Settings taken by each run as it starts (GUI thread); the searches set the folder depth.
    QString m_savePath; // root (ends with "/")
    std::atomic<int> m_folderDepth{1};
    std::atomic<bool> m_pictures{true};
    std::atomic<bool> m_videos{false};
    std::atomic<bool> m_showDuplicates{false};

    std::atomic<bool> m_backQueryDone{false};
    BackThread *m_backThread = nullptr;
    QSemaphore m_backQuerySem{0};
};
