#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <memory>

class QThread;

// Moves the archive from one storage root to another: everything in <from>万特相册 but its marker
// (the phones' folders, 本地, whatever else lies there) is copied to <to>万特相册, each copy read
// back and compared by md5; then the album databases' localpath values and the phones' folders
// in global.xml are rewritten, to becomes the configured and active root, and only then are the
// verified old copies removed. Phones are refused (StorageRoot::Moving) while it runs.
//
// A journal beside global.xml says from, to and the phase, so a move cut by a crash is rolled
// back at the next start (before the switch-over: the new copies go, nothing else changed) or
// finished (after it: old copies removed only where the new copy has the same md5). A row is
// pointed at a new path only when the file is there, so no row ever points at nothing.
class ArchiveMove : public QObject
{
    Q_OBJECT
public:
    enum class Outcome { Moved, Refused, Stopped, Failed };
    Q_ENUM(Outcome)
    // Points of run(); the switch-over is between Rewritten and Switched.
    enum class Step { None, Copied, Rewritten, Switched };
    Q_ENUM(Step)

    // Roots end with "/" (added when missing).
    ArchiveMove(const QString &from, const QString &to, QObject *parent = nullptr);
    // Stops a running move and waits for it (a stop after the switch-over leaves the rest to recover()).
    ~ArchiveMove() override;

    // True when <root>万特相册 holds something to move (anything but the marker).
    static bool hasArchive(const QString &root);
    // The journal, beside global.xml.
    static QString journalPath();
    // At start, before the storage root is resolved: finishes or rolls back a move a crash cut.
    // Returns a note for the user (Chinese), empty when there was nothing to do.
    static QString recover();

    // run() on a thread of its own; finished() tells the outcome.
    void start();
    // Before the switch-over the move is rolled back; after it, removing the old copies stops.
    void stop();
    // The move on the calling thread; message() says why it was refused or failed.
    Outcome run();
    QString message() const { return m_message; }

    // Tests: run() returns at step, or after copying afterFiles files, as if the process were killed.
    void killForTests(Step step, int afterFiles = -1)
    {
        m_killAt = step;
        m_killAfterFiles = afterFiles;
    }

signals:
    void progress(qint64 filesDone, qint64 filesTotal, qint64 bytesDone, qint64 bytesTotal);
    void finished(ArchiveMove::Outcome outcome, const QString &message);

private:
    struct File
    {
        QByteArray rel; // below 万特相册, without a leading "/"
        qint64 size = 0;
        bool verified = false;
    };
    bool prepare();
    bool copyAll();
    bool copyPass(int *copied);
    bool copyOne(File &file);
    Outcome rollBackNow(Outcome outcome);
    Outcome switchOver();
    bool killedAt(Step step) const { return m_killAt == step; }
    void report(bool force);

    QString m_from, m_to;           // roots, ending with "/"
    QString m_fromAlbum, m_toAlbum; // their 万特相册 folders, without a trailing "/"
    QStringList m_entries;          // top-level names moved
    QVector<File> m_files;
    qint64 m_bytesTotal = 0;
    qint64 m_bytesDone = 0;
    int m_filesDone = 0;
    qint64 m_lastReport = 0;
    QString m_message;
    std::atomic<bool> m_stop{false};
    Step m_killAt = Step::None;
    int m_killAfterFiles = -1;
    std::unique_ptr<QThread> m_thread;
};
