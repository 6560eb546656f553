#pragma once

#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class LocalDataBase;

// The album's record of organised files (localfiles.db) and what the organise workers hold in
// flight: contents, target names and paths. A worker claims here before it copies and records
// here after, so two workers never take one name or store one content twice. One lock, held
// only for these look-ups, never while a file is read or written.
class AlbumLedger
{
public:
    explicit AlbumLedger(const QString &dbPath);
    ~AlbumLedger();
    AlbumLedger(const AlbumLedger &) = delete;
    AlbumLedger &operator=(const AlbumLedger &) = delete;

    // What one file holds while in flight; released on every way out.
    class Claim
    {
    public:
        explicit Claim(AlbumLedger &ledger) : m_ledger(ledger) { }
        ~Claim();
        Claim(const Claim &) = delete;
        Claim &operator=(const Claim &) = delete;
        bool holdsContent() const { return !m_md5.isNull(); }
        // Gives up the target name and path (another candidate is tried).
        void releaseTarget();

    private:
        friend class AlbumLedger;
        void releaseTargetLocked();
        AlbumLedger &m_ledger;
        QString m_md5;
        QString m_name;
        QString m_path;
    };

    // Known: the content is recorded or in flight. NameTaken / Free: whether fileName is (any
    // case); the content is then held by claim. With md5 empty (not hashed yet) only the name is
    // looked at. NoDatabase: the database can't be opened.
    enum class State { Known, NameTaken, Free, NoDatabase };
    State claimContent(Claim &claim, const QString &fileName, const QString &md5);
    // Holds md5 for claim; false when it is recorded or in flight (the file is a duplicate).
    bool claimMd5(Claim &claim, const QString &md5);
    // Recorded or in flight (no claim made).
    bool isContentKnown(const QString &md5);
    // Holds a target name and path for claim unless recorded or in flight. A plain name held by
    // another file in flight sets *plainInFlight when asked (the file then takes a clash name).
    bool holdTarget(Claim &claim, const QString &name, const QString &path, bool *plainInFlight = nullptr);
    // Holds a clash-named copy lying in the folder unless it is recorded or in flight.
    bool holdFoundCopy(Claim &claim, const QString &name, const QString &path);
    // The row for a copy; returns the rows afterwards (<= 0: not recorded).
    int record(const QString &name, const QString &path, qint64 size, const QString &md5, const QString &source,
               const QString &captureText);
    int countExistFiles();
    // Sizes of the recorded contents (-1 among them: some size not known).
    QSet<qint64> recordedSizes();
    LocalDataBase *database() const { return m_db.get(); }

private:
    bool nameInFlightLocked(const QString &name) const;
    // Makes name/path the claim's target (the one it held before is released); m_mutex held.
    void holdLocked(Claim &claim, const QString &name, const QString &path);

    QMutex m_mutex;
    std::unique_ptr<LocalDataBase> m_db;
    QSet<QString> m_paths;
    QStringList m_names;
    QSet<QString> m_md5s;
};
