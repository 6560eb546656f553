#include "platform/SearchEngine.h"

// Placeholder until the engine is built: it never answers, so the all-disk search ends with
// no results.
namespace SearchEngine {

void start() {}
void stop() {}
bool isRunning() { return false; }
bool updateAllFolderIndexes() { return false; }
void setSort(int) {}
void setSearch(const QString &) {}
bool query(bool) { return false; }
int numResults() { return 0; }
QString resultFileName(int) { return QString(); }
QString resultPath(int) { return QString(); }
void reset() {}
void cleanUp() {}
void setRootsForTests(const QStringList &) {}

} // namespace SearchEngine
