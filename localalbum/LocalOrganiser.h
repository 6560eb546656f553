#pragma once

#include "localalbum/CaptureTime.h"
#include "localalbum/FoundFile.h"
#include "localalbum/OrganiseReport.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QSemaphore>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class BackThread;
class LocalDataBase;

// The worker half of the local album page: the two searches that collect pictures and videos
// (all disks through the search engine, or the folders the user listed), and the organise
// workers that copy each new file into "万特相册/本地/照片|视频/yyyy[/MM[/dd]]" under the
// root and record it in localfiles.db. Every job runs on QThreadPool::globalInstance().
//
// Each search is a run with its own list, stop flag and summary. Starting a search stops the
// run before it and never waits for it: its workers abandon what they are doing within a
// fraction of a second (copies and hashes check the stop between blocks, a partial copy is
// removed) and, from the moment the new run starts (or detachRun() is called), nothing of the
// old run reaches the page: no signal, no file of its list organised. Only the destructor
// waits, for jobs that all end promptly.
//
// Every file a search finds is reported once with fileReported() (copied, duplicate, too
// small, not a regular file, or failed with its reason), as is every folder it could not read,
// and a run that ends emits runFinished(). The folder search follows no link and never enters
// 万特相册 (the program's own copies and phones' backups). A copy's md5 is hashed from the bytes
// copied; a file changed since the search is reported, not recorded. Signals are emitted from pool threads (queued to
// receivers in the GUI thread).
class LocalOrganiser : public QObject
{
    Q_OBJECT
public:
    // dbPath empty: the program folder's "localfiles.db".
    explicit LocalOrganiser(const QString &savePath, QObject *parent = nullptr, const QString &dbPath = QString());
    ~LocalOrganiser() override;

    // --- Page-facing control (GUI thread); nothing here waits for a worker ---
    void readMediaSettings();
    void setMedia(bool pictures, bool videos);
    bool picturesSelected() const { return m_pictures; }
    bool videosSelected() const { return m_videos; }
    // Start a new run (stopping the one before). The folder search numbers its rows after the
    // organised files and hides known content; the all-disk search numbers from 0 and lists
    // known content again. False when the object is closing.
    bool startFolderSearch(const QStringList &folders);
    bool startAllDiskSearch();
    // Stops the current run: its search, hashes and copies end within a fraction of a second.
    // It still ends with sendSearchFinish() and runFinished(stopped) unless detached first.
    void requestStop();
    // Stops the current run and cuts it off from the page: once this returns, none of its
    // signals is emitted any more (the page then handles what is already queued).
    void detachRun();
    bool isStopped() const;
    // Jobs of every run still winding down (tests, diagnostics).
    int activeJobs() const;
    // Waits until no job of any run is left; false on timeout. Tests and the destructor only.
    bool waitForWorkers(int timeoutMs = -1);
    // Creates and starts BackThread (once per life).
    void startBackQuery();
    // Empties the current run's list of found files.
    void clearFoundFiles();
    int foundCount() const;
    // Files recorded as existing in the album database (a short database call).
    int countExistFiles();
    // For connecting to the listing's signals and starting it; owned here.
    LocalDataBase *database() const { return m_localDb; }

    QString savePath() const;
    void setSavePath(const QString &root);
    int order() const;
    void setOrder(int order);
    bool showDuplicates() const { return m_showDuplicates; }
    void setShowDuplicates(bool show) { m_showDuplicates = show; }
    int expectedTotal() const { return m_expectedTotal; }
    void setExpectedTotal(int total) { m_expectedTotal = total; }
    int folderDepth() const { return m_folderDepth; }
    void setFolderDepth(int depth) { m_folderDepth = depth; }

    // --- Steps (pool threads; public so tests can drive them on their own thread) ---
    // Takes entries from the current run's list until it is empty or the run stops.
    void organiseWorker();
    // Starts count organise workers over the current run's list.
    void startOrganisers(int count);
    // Appends an entry to the current run's list; the path as text or as the name's bytes.
    void appendFound(const QString &filePath, const QString &md5);
    void appendFound(const QByteArray &rawPath, const QString &md5);
    // Organises one file of the current run and returns what became of it.
    OrganiseEntry organiseFile(const FoundFile &entry);
    QByteArray fileMd5(const QString &path);
    // Capture time of a file as the album records it ("yyyy-MM-dd hh:mm:ss"), empty when the
    // file holds none (the file time is not looked at).
    QString exifShotTime(const QString &path);
    bool ensureFolder(const QString &path);
    void pickSaveDrive();

    // The all-disk skip rules: the organiser's own output, system trees, trash and hidden
    // folders (see the definition).
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
    class Reservation;
    struct Target;
    struct Pending;

    std::shared_ptr<Run> currentRun() const;
    std::shared_ptr<Run> newRun();
    bool runJob(const std::shared_ptr<Run> &run, std::function<void()> job);
    void jobEnded(const std::shared_ptr<Run> &run);
    // Emits through emitter only while run is the page's current run (m_runMutex held).
    bool emitForRun(const Run &run, const std::function<void()> &emitter);
    void report(Run &run, const OrganiseEntry &entry);
    void showRow(Run &run, const QString &path);
    void backQueryFinished();

    void searchFolders(const std::shared_ptr<Run> &run);
    void searchAllDisks(const std::shared_ptr<Run> &run);
    void walkFolder(Run &run, const QByteArray &folder, int depth);
    void reportFolder(Run &run, const QByteArray &folder, const QString &reason);
    bool consider(Run &run, const QByteArray &rawPath);
    void removeLeftoverCopies(const QString &root);
    void workOn(const std::shared_ptr<Run> &run);
    OrganiseEntry organise(Run &run, const FoundFile &entry);

    // The steps of organiseFile().
    bool checkSource(const FoundFile &entry, OrganiseEntry &out, qint64 *size, QDateTime *modified);
    int claimContent(Reservation &reservation, const QString &fileName, const QString &md5);
    QString targetNameFor(const QByteArray &rawPath, QString *note) const;
    bool chooseTarget(Reservation &reservation, const QString &dateFolder, const QString &name, int state,
                      const QDateTime &modified, qint64 size, const QString &md5, Target *target, QString *why);
    // The same content under one of name's clash names in dateFolder, held by reservation.
    bool earlierClashCopy(Reservation &reservation, const QString &dateFolder, const QString &name, qint64 size,
                          const QString &md5, Target *target);
    std::unique_ptr<Pending> prepare(Run &run, const FoundFile &entry);
    // A copy whose content is not what the search hashed: reported, never recorded.
    void changedSinceSearch(Pending &p, const QString &fileName, const QString &copiedMd5);
    void finishBatch(Run &run, std::vector<std::unique_ptr<Pending>> &batch);
    int recordCopy(const Target &target, const FoundFile &entry, qint64 size, const CaptureTime &shot,
                   const QString &md5, bool copied);
    QString outputBase() const;
    // The date folders below the kind folder: yyyy[/MM[/dd]] by the folder depth.
    QStringList dateFoldersFor(const CaptureTime &shot) const;

    LocalDataBase *m_localDb = nullptr; // deleted under m_dbMutex by the destructor
    // Guards the database calls and the names, paths and contents reserved by files in flight;
    // never held while a file is read or written.
    QMutex m_dbMutex;
    QSet<QString> m_inFlightPaths;
    QStringList m_inFlightNames;
    QSet<QString> m_inFlightMd5s;

    // The page's current run, whether it is cut off, and the row numbering.
    mutable QRecursiveMutex m_runMutex;
    std::shared_ptr<Run> m_current;
    bool m_detached = false;
    int m_order = 0;
    quint64 m_runCount = 0;

    mutable QMutex m_configMutex;
    QString m_savePath; // root (ends with "/"); m_configMutex
    std::atomic<int> m_folderDepth{1};
    std::atomic<int> m_expectedTotal{0};
    std::atomic<bool> m_pictures{true};
    std::atomic<bool> m_videos{false};
    std::atomic<bool> m_showDuplicates{false};
    std::atomic<bool> m_backQueryDone{false};
    BackThread *m_backThread = nullptr;
    QSemaphore m_backQuerySem{0};

    mutable QMutex m_jobMutex;
    QWaitCondition m_jobsDone;
    int m_jobs = 0;
    bool m_closing = false;
};
