#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

// The file-name search engine behind the all-disk search: an in-process index of the names of
// every file on the mounted local volumes. The calls mirror what the all-disk search needs:
// is the engine answering, a pattern of "*.ext" alternatives separated by "|", a blocking
// query sorted by path, and each result's folder and file name.
//
// Volumes: the mount points of /proc/self/mountinfo whose file system type is a disk file system
// (ext2/3/4, xfs, btrfs, f2fs, vfat, exfat, ntfs, ntfs3, fuseblk, hfs(+), jfs, reiserfs, zfs,
// bcachefs, nilfs2, udf, iso9660, overlay). Pseudo file systems (proc, sysfs, devtmpfs, tmpfs,
// cgroup, ...), network file systems (nfs, cifs, sshfs, ...) and other fuse mounts are not
// indexed, nor mounts under /proc, /sys or /dev. The same part of a file system mounted twice
// (bind mounts) is indexed once; a walk never crosses into another mount, so each file is listed
// once. Symbolic links are not followed.
//
// Each thread has its own search state (pattern, sort) and results, so a query on one thread
// never replaces the results another thread is reading. An empty pattern matches nothing.
namespace SearchEngine {

// Start-up: starts building the index in the background (the engine's launch). A process that
// exits without stop() (exit() from anywhere) has the thread stopped and joined on its way out.
void start();
// Ends the engine: stops a running build, wakes blocked queries (they fail) and joins the thread.
void stop();
bool isRunning();

// Asks for a fresh index; false when the engine does not answer (not started). The next
// query(true) waits for that index.
bool updateAllFolderIndexes();
void setSort(int sort); // 3: by path, ascending (the default); 1: by name, ascending
void setSearch(const QString &pattern);
// Runs the query set with setSearch(). With wait, blocks until the index asked for is built;
// without, uses the index built so far. False when the engine is not running, or when it was
// stopped, abortQueries() was called while waiting, or *cancel is (or becomes) true: a cancel
// set before the call is never missed, unlike abortQueries().
bool query(bool wait, const std::atomic<bool> *cancel = nullptr);
int numResults();
QString resultFileName(int index);
QString resultPath(int index); // containing folder, without a trailing separator ("/" for the root)
// The result's full path as the file system's bytes (names need not be valid UTF-8).
QByteArray resultRawPath(int index);
void reset();   // clears the calling thread's search state and results
void cleanUp(); // same as reset(); the engine keeps running until stop()

// Makes every query blocked in query(true) return false now (a page that stops its search).
void abortQueries();

// Number of files and folders in the current index (diagnostics, tests).
int indexedFileCount();
// Indexes alive: the engine's own and any a thread's results still hold (tests: after a search
// ends, only the engine's own is left).
int liveIndexes();

// Tests: index these folders instead of the mounted volumes (an empty list restores the
// volumes). A running engine rebuilds its index.
void setRootsForTests(const QStringList &roots);

// The volumes the engine indexes when no test roots are set.
QStringList indexedVolumes();

} // namespace SearchEngine
