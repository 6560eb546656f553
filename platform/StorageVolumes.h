#pragma once

#include <QList>
#include <QString>

// The places a storage root can be chosen from, with their free space: the mounted local
// volumes that hold a real, writable file system. The volume that holds the user's home is
// represented by the home folder itself, since that is where the user may write.
// Every root ends with "/".
namespace StorageVolumes {

struct Volume
{
    QString path;          // root ending with "/"
    qint64 freeBytes = -1; // bytes the user can still write; negative when the query failed
};

// The candidates in mount-table order (or the injected list).
QList<Volume> volumes();

// Free bytes on the volume that holds path; -1 when the query fails.
qint64 freeBytes(const QString &path);

// Whole GiB free on the volume that holds path (remainder dropped); 0 when the query fails.
qint64 freeSpaceGiB(const QString &path);

// The candidate with the most whole GiB free; an earlier one wins a tie; empty when no
// candidate has at least 1 GiB free.
QString largestFreeRoot();

// Tests: use these volumes instead of the mounted ones (freeBytes() then answers for a path
// from the injected volume whose path is its longest prefix). clear...() restores the real list.
void setVolumesForTests(const QList<Volume> &volumes);
void clearVolumesForTests();

} // namespace StorageVolumes
