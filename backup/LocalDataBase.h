#pragma once

#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QObject>
#include <QThreadPool>
#include <QWaitCondition>
#include <atomic>
#include <functional>
#include <memory>

class QIODevice;
class QSqlDatabase;

// One album database file with its table albumlist (one row per stored file): a phone's
// "<device>.db" or the local album's "localfiles.db". The phone downloads this file and reads
// its rows by column position, so the table layout must never change.
//
// Every operation holds the file's mutex (shared by all objects on that file) for its whole duration. Operations may be
// called from any thread; each calling thread gets its own SQLite connection to the file
// (Qt connections belong to the thread that made them), closed when that thread ends or when
// the object is destroyed. Work off the caller's thread (scans, commits of queued rows) runs on the
// object's own thread pool, at a lower priority than the GUI thread.
class LocalDataBase : public QObject
{
    Q_OBJECT
public:
    // Opens nothing yet; the file is created by the first operation.
    explicit LocalDataBase(const QString &path);
    // Waits for every background scan of this object (a running one stops at its next row and
    // still sends its end marker) and commits every queued row, then closes all of its connections.
    ~LocalDataBase() override;

    // 0 when the calling thread's connection is open, -1 when the file can't be opened.
    int openDataBase();
    // Removes every row; the table itself is neither checked nor created.
    void deleteAllRecords();
    // True when some row's filename equals filename exactly (case-sensitive).
    bool isFileNameExist(const QString &filename);
    // An empty md5 (a file sent without one) never matches a row in the look-ups below.
    // 1: some row has this md5 (any case); else 2: some row has this file name (any case);
    // else 3. -1 when the database can't be opened.
    int checkMd5OrName(const QString &filename, const QString &md5);
    // True when some row has this md5 (any case).
    bool isMd5Exist(const QString &md5);
    // The file sizes of rows that have an md5; -1 among them when some such row's size is not known.
    QSet<qint64> recordedSizes();
    // 0 when one row has this md5 (any case) and exactly this phone path, else -1.
    int findMobileRecord(const QString &mobilefilepath, const QString &md5);
    // Adds a row with isExist = 1; returns the number of rows afterwards, 0 when the insert
    // or the count fails, -1 when the database can't be opened.
    int insertRecord(const QString &filename, const QString &localpath, qint64 filesize, const QString &md5,
                     const QString &fromdev, int lastratio, const QString &smallmd5, const QString &createtime,
                     const QString &mobilefilepath);
    // Rows whose file existed at the last scan; 0 without a table (which is not created).
    int countExistFiles();
    // Where one recorded file is kept on this PC (empty when none is recorded).
    QString anyLocalPath();

    // A received file to record, with the checks insertRecord's callers make first.
    struct PendingRow
    {
        QString filename, localpath, md5, fromdev, smallmd5, createtime, mobilefilepath;
        qint64 filesize = 0;
        int lastratio = 0;
        bool skipKnownMd5 = false; // not recorded when some row already has this md5
    };
    enum class RowOutcome { Inserted, AlreadyRecorded, SkippedKnownMd5, Failed };
    struct RowResult
    {
        RowOutcome outcome = RowOutcome::Failed;
        QString filename;
        int rows = 0; // rows in the table afterwards
        QString why;  // for Failed
    };
    // Records the row off the caller's thread: a task on this object's pool commits the rows queued
    // meanwhile in one transaction (a commit costs several disk syncs with the rollback journal a
    // phone's file keeps, whatever the number of rows). A row already recorded for this phone path
    // and md5 is not added again. done runs queued on context's thread (dropped if context is gone).
    // Every queued row is committed before the destructor returns and before copyConsistent() copies.
    void recordLater(const PendingRow &row, QObject *context, std::function<void(const RowResult &)> done);
    // Commits what is queued now, on the calling thread.
    void flushPending();
    // Copies the database file at path to out as one self-contained, consistent file: rows queued on
    // any object for that file are committed first, and no commit runs while it is copied.
    static bool copyConsistent(const QString &path, QIODevice *out);

    // Commits go to a write-ahead log that is not flushed to disk on every row: an organiser
    // recording thousands of copies then costs no disk syncs per row. A power cut may lose the
    // last rows (never corrupt the file); the copies they describe are found and recorded again
    // at the next run. Only for databases no phone downloads (the local album's): a phone's
    // file must stay one self-contained file. Call before the first operation.
    void setWriteAheadLog(bool on) { m_writeAheadLog = on; }
    // Checks every row's file, updates isExist and emits setFileName(order, localpath) for each
    // existing file, then setFileName(count, "") as the end marker. the file's mutex is held only to read
    // the rows and to write the changes, not while the files are looked at.
    void scanExistFiles();
    // Runs scanExistFiles on this object's pool.
    void startScan();

signals:
    void setFileName(int order, QString filename);
    void setViewUpdate(bool bValue);

private:
    struct Connections;
    enum class TableCheck { Ready, Missing, NoAnswer, CreateFailed };

    // All of these expect m_mutex to be held.
    QSqlDatabase *connectionForCurrentThread();
    QSqlDatabase *openLocked();
    TableCheck checkTable(QSqlDatabase &db, bool create);
    // openLocked() when the album table is there (made first if create), else null.
    QSqlDatabase *openReadyLocked(bool create);
    void ensureIndexes(QSqlDatabase &db);
    void scan();
    struct Queued
    {
        PendingRow row;
        QObject *context;
        std::function<void(const RowResult &)> done;
    };
    // Commits queued rows, a batch at a time, until none is left; runs on m_pool.
    void drainQueue();
    // Takes and commits every queued row; expects m_mutex to be held.
    void commitQueuedLocked();
    RowResult recordLocked(QSqlDatabase &db, const PendingRow &row);

    // The mutex of the file at path, shared by every object using that file.
    static std::shared_ptr<QMutex> mutexFor(const QString &path);

    std::shared_ptr<QMutex> m_mutex; // the file's: held by every operation

    QMutex m_queueMutex;
    QWaitCondition m_queueWake;
    QList<Queued> m_queue;
    bool m_writerStop = false; // set by the destructor: commit what is queued without waiting for more
    bool m_draining = false;   // a drainQueue task is queued or running

    QString m_hostName;
    QString m_dbName;
    QString m_connectionPrefix;
    std::shared_ptr<Connections> m_connections;
    bool m_opened = false;
    bool m_writeAheadLog = false;
    std::atomic<bool> m_destroying{false};
    // A scan and the commits can run side by side; a further scan waits for its turn. Declared last,
    // so it is gone (its threads with it) before anything its tasks use.
    QThreadPool m_pool;
};
