#pragma once

#include "localalbum/AlbumLedger.h"
#include "localalbum/CaptureTime.h"
#include "localalbum/FoundFile.h"
#include "localalbum/OrganiseReport.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace FileOps {
class StagedFile;
}

// Where and how a run organises.
struct OrganiseOptions
{
    QString root;        // the storage root (ends with "/")
    int folderDepth = 1; // date folders below the kind folder: yyyy[/MM[/dd]]
};

// Organises the files of one run into "<root>万特相册/本地/照片|视频/yyyy[/MM[/dd]]": checks each
// source, dates it, chooses its target name (clash names for taken names, content already at the
// target recognised), and stages its copy, hashing the bytes as they are copied; a batch of
// staged copies is then made durable together and recorded. One object per worker thread.
class FileOrganiser
{
public:
    struct Target
    {
        QString name;
        QString path;
        bool alreadyThere = false; // the same content already lies at path
    };
    // One file on its way: settled (out says how), or staged (or found at its target) and
    // waiting for its batch to be made durable and recorded.
    struct Pending
    {
        explicit Pending(AlbumLedger &ledger) : claim(ledger) { }
        ~Pending();
        // Still to be made durable and recorded by finishBatch.
        bool waitsForBatch() const { return staged || alreadyThere; }

        OrganiseEntry out;
        FoundFile entry;
        AlbumLedger::Claim claim;
        Target target;
        std::unique_ptr<FileOps::StagedFile> staged;
        CaptureTime shot;
        QString md5; // empty until known (from the search, the copy, or a look at the target)
        QDateTime modified;
        qint64 size = 0;
        bool alreadyThere = false;
        bool committed = false;
        bool known = false; // content the album holds already (the all-disk search lists it again)
        bool hashFailed = false;
    };

    FileOrganiser(AlbumLedger &ledger, const OrganiseOptions &options, const std::atomic<bool> &stop);
    ~FileOrganiser();

    std::unique_ptr<Pending> prepare(const FoundFile &entry);
    // Makes the batch's copies durable and records them; recorded(entry, rows) for each row added.
    void finishBatch(std::vector<std::unique_ptr<Pending>> &batch,
                     const std::function<void(const FoundFile &, int rows)> &recorded);

    // Makes every copy fail (tests of the failure path).
    static void setFailCopiesForTests(bool fail);
    // Hidden name prefix of copies under way (removed after a crash by the next run).
    static const QByteArray &stagingPrefix();

private:
    bool checkSource(Pending &p);
    bool claim(Pending &p, const QString &fileName, AlbumLedger::State *state);
    // Content the album holds already: a duplicate, not copied.
    void settleKnown(Pending &p);
    bool placeAndChoose(Pending &p, const QString &base, const QString &fileName, AlbumLedger::State state,
                        QString *dateFolder);
    bool chooseTarget(Pending &p, const QString &dateFolder, const QString &fileName, bool plainFree, QString *why);
    bool earlierClashCopy(Pending &p, const QString &dateFolder, const QString &fileName);
    // Does the regular file at path hold the source's content? Hashes the source at most once.
    bool sameContent(Pending &p, const QString &path, qint64 size);
    void stageCopy(Pending &p, const QString &dateFolder);
    void takeCopy(Pending &p, std::unique_ptr<FileOps::StagedFile> staged, const QString &copiedMd5);
    void changedSinceSearch(Pending &p, const QString &copiedMd5);
    void commitBatch(std::vector<std::unique_ptr<Pending>> &batch);
    QString outputBase() const;
    QStringList dateFoldersFor(const CaptureTime &shot) const;

    AlbumLedger &m_ledger;
    const OrganiseOptions m_options;
    const std::atomic<bool> &m_stop;
};
