#pragma once

#include "localalbum/FoundFile.h"
#include "localalbum/OrganiseReport.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <vector>

// Collects the pictures and videos of one search, on the thread that runs it, which owns what is
// collected: listed folders are walked (no link followed, no 万特相册 entered), or the search
// engine's results are handed in one by one. Only names and stat data are read here.
class MediaSearch
{
public:
    using Reporter = std::function<void(const OrganiseEntry &)>;

    MediaSearch(bool pictures, bool videos, const std::atomic<bool> &stop, Reporter report);

    // A folder the user listed and everything below it.
    void searchFolder(const QString &folder);
    // A file found by other means (the search engine).
    void addFile(const QByteArray &rawPath);
    // The files found, in the order found.
    std::vector<FoundFile> takeFound() { return std::move(m_found); }
    int picturesLeftOut() const { return m_picturesLeftOut; }
    int videosLeftOut() const { return m_videosLeftOut; }

    // Drops repeated content from found (the first found of it stays; the others are reported),
    // reading as little as it can: only files whose size another found file or a recorded one
    // (recordedSizes, -1 among them for "any") shares are hashed. False when stopped meanwhile.
    static bool dropRepeats(std::vector<FoundFile> &found, const QSet<qint64> &recordedSizes,
                            const std::atomic<bool> &stop, const Reporter &report);

private:
    struct Listing;
    void walk(const QByteArray &folder, int depth);
    bool list(const QByteArray &folder, Listing *out);
    void take(const QByteArray &rawPath, qint64 size);
    void reportFolder(const QByteArray &folder, const QString &reason);

    const bool m_pictures;
    const bool m_videos;
    const std::atomic<bool> &m_stop;
    Reporter m_report;
    std::vector<FoundFile> m_found;
    int m_picturesLeftOut = 0;
    int m_videosLeftOut = 0;
};
