#pragma once

#include <QString>

#include <functional>

// The storage root (saveDrive): the folder under which 万特相册 holds the phones' backups and the
// organised local album. A root is known by a marker file in its 万特相册 folder holding an id,
// written when the root is first used; without the marker the root is not there (an empty mount
// point is not the disk), and nothing is written anywhere until it is back.
//
// At start, resolve() decides the root (see there) and makes it the active one; every write under
// the active root asks check() first, per file, so receiving resumes by itself once the disk is back.
namespace StorageRoot {

// Free space a write must leave: this, or twice the file's size when that is larger.
constexpr qint64 kReserveBytes = qint64(1) << 30;
// An automatically chosen root is replaced at start when it has less than this free.
constexpr qint64 kAutomaticMinimumBytes = qint64(2) << 30;

enum class State {
    Ready,   // marker found (with the expected id) and room enough
    Missing, // no marker: the disk or share is not there
    Foreign, // a marker with another id: another archive is mounted there
    Full,    // the write would leave less than the reserve
    Moving,  // the archive is being moved to another root: nothing is written anywhere meanwhile
    Moved,   // under a root this process moved the archive away from
};

struct Verdict
{
    State state = State::Ready;
    QString why; // for the user, in Chinese; empty when Ready
    bool ok() const { return state == State::Ready; }
};

// path with a trailing "/" (empty stays empty).
QString withSlash(QString path);
// "<root>万特相册"; root ends with "/".
QString albumOf(const QString &root);

// "<root>万特相册/.vanteoalbum-root"; root ends with "/".
QString markerPath(const QString &root);
// The id in the marker at root; empty when there is no readable marker (never follows a link).
QString markerId(const QString &root);

// True when a file of size bytes may be written with freeBytes free.
bool roomFor(qint64 freeBytes, qint64 size);

// The root this process writes under, and the id its marker must hold (empty: any marker).
// An empty root means none is configured: check() then lets every write through.
void setActive(const QString &root, const QString &id);
QString activeRoot();

// The archive move (ArchiveMove): while it runs, check() answers Moving for every path, so nothing
// is written into a half-moved folder. finishMove() makes to the active root and refuses the old
// one (Moved) for the rest of the process; cancelMove() leaves the active root as it was.
void beginMove();
void finishMove(const QString &from, const QString &to, const QString &toId);
void cancelMove();
bool moving();
// The root a part of the program that learnt startRoot at start should use now: the active root
// once the user switched roots in this process, else startRoot.
QString inUse(const QString &startRoot);

// Before writing size bytes to path (a folder at or below the active root): is the root there
// (marker present with the expected id, and path on the marker's file system) with room for it?
// Paths outside the active root are not judged. Safe on any thread; no lock is held over the I/O.
Verdict check(const QString &path, qint64 size);
// True when the root of path is not there (Missing or Foreign) or is being moved or was moved
// away from (Moving, Moved), with the reason in *why.
bool absent(const QString &path, QString *why);

// Creates <root>万特相册 (root itself must exist) and its marker unless a marker is there;
// returns the marker's id, empty on failure (*why says why).
QString establish(const QString &root, QString *why = nullptr);

// Decides the storage root at start from global.xml (saveDrive, saveDriveChosen, saveDriveId) and
// makes it active:
// - a root the user chose is kept, whatever its state;
// - a root the program chose is kept when phones have folders there (recorded in global.xml); when
//   it has less than 2 GiB free, askMove (if given) is asked whether to move to the volume with the
//   most free space, and only a yes moves; a root the program chose without phones' files there is
//   chosen again by the automatic rule when it is gone or has less than 2 GiB;
// - with no root (first start, local reset): the home folder's disk or the writable local volume
//   with the most free space.
// A root found with 万特相册 and phone folders but no marker (an earlier version's archive) gets its
// marker here; a fresh choice gets 万特相册 and the marker. Returns the root ("" when none).
using AskMove = std::function<bool(const QString &from, qint64 fromFree, const QString &to, qint64 toFree)>;
QString resolve(const AskMove &askMove = {});

// The user's choice from 参数设置: stores it (saveDrive, saveDriveChosen=1, saveDriveId) and prepares
// its marker. False with *why when the folder is not a writable folder. *id gets the marker's id.
bool choose(const QString &folder, QString *why, QString *id = nullptr);
// choose() and, on success, makes the folder the active root at once.
bool switchTo(const QString &folder, QString *why);

} // namespace StorageRoot
