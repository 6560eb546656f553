#pragma once

#include <QString>
#include <QStringList>

// The file-name search engine behind the all-disk search: an index of the names of every
// file on the mounted local volumes. The calls mirror what the all-disk search needs:
// is the engine answering, a pattern of "*.ext" alternatives separated by "|", a blocking
// query sorted by path, and each result's folder and file name.
namespace SearchEngine {

// Start-up: starts building the index in the background (the engine's launch).
void start();
// Ends the engine (page destruction).
void stop();
bool isRunning();

// Refreshes the index; false when the engine does not answer (not started).
bool updateAllFolderIndexes();
void setSort(int sort); // 3: by path, ascending
void setSearch(const QString &pattern);
// Runs the query set with setSearch(); with wait, blocks until the results are available.
bool query(bool wait);
int numResults();
QString resultFileName(int index);
QString resultPath(int index); // containing folder, without a trailing separator
void reset();
void cleanUp();

// Tests: index these folders instead of the mounted volumes.
void setRootsForTests(const QStringList &roots);

} // namespace SearchEngine
