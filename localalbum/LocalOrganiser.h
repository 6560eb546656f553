#pragma once

#include "localalbum/FoundFile.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

class BackThread;
class LocalDataBase;

// The worker half of the local album page: the two searches that collect pictures and videos
// (all disks through the search engine, or the folders the user listed), and the organise
// workers that copy each new file into "万特相册/本地/照片|视频/yyyy[/MM[/dd]]" under the
// root and record it in localfiles.db. Every job runs on QThreadPool::globalInstance(); the
// object counts its jobs and its destructor stops and waits for all of them, so no job ever
// touches a destroyed owner. Signals are emitted from pool threads (queued to receivers in the
// GUI thread).
//
// The page (LocalForm) drives it with startFolderSearch() or startAllDiskSearch();
// requestStop() stops a search, which still ends with sendSearchFinish() once the workers
// have seen the stop (an all-disk search stopped before its organisers start ends silently,
// or with searchCleared() when it had read every result).
class LocalOrganiser : public QObject
{
    Q_OBJECT
public:
    // dbPath empty: the program folder's "localfiles.db".
    explicit LocalOrganiser(const QString &savePath, QObject *parent = nullptr, const QString &dbPath = QString());
    ~LocalOrganiser() override;

    // --- Page-facing control (GUI thread) ---
    void readMediaSettings();
    // Both wait for the jobs of an earlier, stopped search first, so that no old worker takes
    // entries from a list that a new search is filling, then set the numbering: the folder
    // search sets m_order to the number of organised files and m_showDuplicates false, the
    // all-disk search m_order 0 and m_showDuplicates true. False when the object is closing.
    bool startFolderSearch(const QStringList &folders);
    bool startAllDiskSearch();
    // Sets m_stopSearch and wakes a search blocked in the engine.
    void requestStop();
    // Waits until no search, organise worker or start-up query runs; false on timeout.
    bool waitForWorkers(int timeoutMs = -1);
    int activeJobs() const;
    // Creates and starts BackThread (once per life).
    void startBackQuery();
    // Empties m_foundFiles (under m_listMutex).
    void clearFoundFiles();
    int foundCount() const;

    // --- Workers (pool threads; public so they can be driven directly) ---
    void searchAllDisks();
    void searchFolders();
    int walkFolder(const QString &folder);
    QByteArray fileMd5(const QString &path);
    bool isMd5Listed(const QString &md5);
    void pickSaveDrive();
    void organiseWorker();
    int organiseFile(FoundFile *entry);
    QString exifShotTime(const QString &path);
    bool ensureFolder(const QString &path);
    // Starts count organise workers over m_foundFiles.
    void startOrganisers(int count);
    // Appends an entry (searches and tests).
    void appendFound(const QString &filePath, const QString &md5);

    // The all-disk skip rules: the organiser's own output, system trees, trash and hidden
    // folders (see the definition).
    static bool isSkippedPath(const QString &path);
    // Does a file name's suffix belong to the selected media?
    static bool isPictureSuffix(const QString &suffix);
    static bool isVideoSuffix(const QString &suffix);
    // Makes every copy fail (tests of the failure path).
    static void setFailCopiesForTests(bool fail);

    // --- State shared by the page and the workers ---
    QString m_savePath;              // root (ends with "/"); set before a search starts
    LocalDataBase *m_localDb = nullptr;
    int m_order = 0;                 // guarded by m_orderMutex while workers run
    std::deque<std::unique_ptr<FoundFile>> m_foundFiles; // guarded by m_listMutex
    std::atomic<bool> m_stopSearch{false};
    mutable QMutex m_listMutex;
    QMutex m_dbCallMutex;
    QMutex m_orderMutex;
    std::atomic<int> m_folderDepth{1};
    std::atomic<bool> m_backQueryDone{false};
    std::atomic<int> m_totalFound{0};
    std::atomic<int> m_lastPercent{0};
    std::atomic<int> m_expectedTotal{0};
    std::atomic<bool> m_pictures{true};
    std::atomic<bool> m_videos{false};
    std::atomic<bool> m_showDuplicates{false};
    BackThread *m_backThread = nullptr;
    QSemaphore m_backQuerySem{0};

signals:
    void setFileName(int order, QString filename);
    void sendSearchFinish();
    void setCurrentStatus(QString status, bool bShowLoading);
    void setCurrentPercent(int percent);
    // The all-disk search was stopped after reading every result: the page clears its table
    // and page label (it owns them).
    void searchCleared();

private:
    bool runJob(std::function<void()> job);
    void backQueryFinished();
    QString dateFolderFor(const QString &kindFolder, const QString &shotTime) const;
    // Target names in flight: reserved from the name checks to the insert of one file.
    bool nameInFlight(const QString &name, Qt::CaseSensitivity cs) const;

    QStringList m_folders; // captured when the folder search starts
    QSet<QString> m_foundMd5s; // md5 of every entry of m_foundFiles (lower case); m_listMutex
    // Guarded by m_dbCallMutex.
    QSet<QString> m_inFlightPaths;
    QStringList m_inFlightNames;
    QSet<QString> m_inFlightMd5s;

    // Set by the destructor only: a stop lets a worker finish the file it is copying, the
    // owner's end does not wait for a long video.
    std::atomic<bool> m_abortCopies{false};
    mutable QMutex m_jobMutex;
    QWaitCondition m_jobsDone;
    int m_jobs = 0;
    bool m_closing = false;
};
