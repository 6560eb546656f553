#include "platform/SearchEngine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcSearchEngine, "vanteo.searchengine")

namespace SearchEngine {
namespace {

constexpr quint32 kNoParent = 0xffffffffu;
constexpr int kMaxDepth = 200;

// Names are kept once, as the file system's bytes, in one pool; folders refer to their parent,
// so a path is stored only as its last component.
std::atomic<int> g_liveIndexes{0};

struct Index
{
    Index() { ++g_liveIndexes; }
    ~Index() { --g_liveIndexes; }
    Index(const Index &) = delete;
    Index &operator=(const Index &) = delete;

    struct Dir
    {
        quint32 parent;
        quint32 off;
        quint32 len;
    };
    struct File
    {
        quint32 dir;
        quint32 off;
        quint32 len;
    };
    std::string pool;
    std::vector<Dir> dirs;
    std::vector<File> files;

    quint32 addName(const char *name, size_t len)
    {
        const quint32 off = quint32(pool.size());
        pool.append(name, len);
        return off;
    }
    std::string dirPath(quint32 d) const
    {
        const Dir &dir = dirs[d];
        std::string own = pool.substr(dir.off, dir.len);
        if (dir.parent == kNoParent)
            return own;
        std::string parent = dirPath(dir.parent);
        if (parent.empty() || parent.back() != '/')
            parent += '/';
        return parent + own;
    }
};

struct Engine
{
    std::mutex mutex;
    std::condition_variable cond;
    std::thread thread;
    bool running = false;
    bool stopping = false;
    quint64 requested = 0;
    quint64 building = 0; // target of the build under way, 0 when idle
    quint64 built = 0;
    quint64 aborts = 0;
    std::shared_ptr<const Index> index;
    QStringList testRoots;
    std::atomic<bool> cancelBuild{false};
};

// Never destroyed: a query or a caller on another thread may still reach it while the process
// exits. The builder thread is stopped and joined by Teardown below.
Engine &engine()
{
    static Engine *e = new Engine;
    return *e;
}

struct QueryState
{
    QString pattern;
    int sort = 3;
    std::shared_ptr<const Index> index;
    std::vector<quint32> results;
};

QueryState &state()
{
    thread_local QueryState s;
    return s;
}

// Disk file systems; everything else (pseudo, memory, network, other fuse) is not indexed.
const std::set<std::string> &diskFileSystems()
{
    static const std::set<std::string> types = {
        "ext2",    "ext3", "ext4",    "xfs", "btrfs",    "f2fs", "vfat",     "msdos",  "exfat", "ntfs",    "ntfs3",
        "fuseblk", "hfs",  "hfsplus", "jfs", "reiserfs", "zfs",  "bcachefs", "nilfs2", "udf",   "iso9660", "overlay"};
    return types;
}

std::string unescapeMountField(const std::string &s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const std::string oct = s.substr(i + 1, 3);
            if (oct.size() == 3 && std::all_of(oct.begin(), oct.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out += char(std::stoi(oct, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

bool isUnder(const std::string &path, const std::string &prefix)
{
    if (prefix == "/")
        return true;
    return path == prefix ||
        (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 && path[prefix.size()] == '/');
}

struct Mount
{
    std::string device; // major:minor
    std::string root;   // the part of the file system that is mounted
    std::string point;
};

std::vector<std::string> volumeRoots()
{
    std::vector<Mount> mounts;
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        const int dash = fields.indexOf("-");
        if (dash < 6 || dash + 1 >= fields.size())
            continue;
        const std::string type = fields.at(dash + 1).toStdString();
        if (!diskFileSystems().count(type))
            continue;
        Mount m{fields.at(2).toStdString(), unescapeMountField(fields.at(3).toStdString()),
                unescapeMountField(fields.at(4).toStdString())};
        if (m.point != "/" && (isUnder(m.point, "/proc") || isUnder(m.point, "/sys") || isUnder(m.point, "/dev")))
            continue;
        struct stat st;
        if (::stat(m.point.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue; // bind-mounted single files
        mounts.push_back(m);
    }
    // Shortest mount points first, so that of two mounts of the same part the first is kept.
    std::stable_sort(mounts.begin(), mounts.end(),
                     [](const Mount &a, const Mount &b) { return a.point.size() < b.point.size(); });
    std::vector<Mount> kept;
    for (const Mount &m : mounts) {
        bool covered = false;
        for (const Mount &k : kept) {
            if (k.device == m.device && isUnder(m.root, k.root)) {
                covered = true;
                break;
            }
        }
        if (!covered)
            kept.push_back(m);
    }
    std::vector<std::string> roots;
    for (const Mount &m : kept)
        roots.push_back(m.point);
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    return roots;
}

class Builder
{
public:
    Builder(Index &index, const std::set<std::string> &roots, std::atomic<bool> &cancel)
        : m_index(index), m_roots(roots), m_cancel(cancel)
    {
    }

    void walkRoot(const std::string &root)
    {
        const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return;
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return;
        }
        Index::Dir dir{kNoParent, m_index.addName(root.data(), root.size()), quint32(root.size())};
        m_index.dirs.push_back(dir);
        std::string path = root;
        walkDir(fd, quint32(m_index.dirs.size() - 1), path, st.st_dev, 0);
    }

private:
    // Takes ownership of fd.
    void walkDir(int fd, quint32 dirIdx, std::string &path, dev_t dev, int depth)
    {
        DIR *d = ::fdopendir(fd);
        if (!d) {
            ::close(fd);
            return;
        }
        std::vector<std::string> subdirs;
        while (struct dirent *e = ::readdir(d)) {
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            unsigned char type = e->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
            }
            const size_t len = strlen(name);
            if (type == DT_REG)
                m_index.files.push_back({dirIdx, m_index.addName(name, len), quint32(len)});
            else if (type == DT_DIR)
                subdirs.emplace_back(name, len);
        }
        if (depth < kMaxDepth) {
            for (const std::string &name : subdirs) {
                if (m_cancel.load(std::memory_order_relaxed))
                    break;
                const size_t keep = path.size();
                if (path.back() != '/')
                    path += '/';
                path += name;
                if (!m_roots.count(path)) { // another root is walked on its own
                    const int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                    struct stat st;
                    if (sub >= 0 && ::fstat(sub, &st) == 0 && st.st_dev == dev) {
                        m_index.dirs.push_back(
                            {dirIdx, m_index.addName(name.data(), name.size()), quint32(name.size())});
                        walkDir(sub, quint32(m_index.dirs.size() - 1), path, dev, depth + 1);
                    } else if (sub >= 0) {
                        ::close(sub); // a mount point of another file system
                    }
                }
                path.resize(keep);
            }
        }
        ::closedir(d);
    }

    Index &m_index;
    const std::set<std::string> &m_roots;
    std::atomic<bool> &m_cancel;
};

std::shared_ptr<const Index> buildIndex(const QStringList &testRoots, std::atomic<bool> &cancel)
{
    std::vector<std::string> roots;
    if (testRoots.isEmpty()) {
        roots = volumeRoots();
    } else {
        for (const QString &r : testRoots) {
            QString clean = QDir::cleanPath(QFileInfo(r).absoluteFilePath());
            roots.push_back(QFile::encodeName(clean).toStdString());
        }
        std::sort(roots.begin(), roots.end());
        roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    }
    const std::set<std::string> rootSet(roots.begin(), roots.end());
    auto index = std::make_shared<Index>();
    Builder builder(*index, rootSet, cancel);
    for (const std::string &root : roots) {
        if (cancel.load())
            break;
        builder.walkRoot(root);
    }
    index->pool.shrink_to_fit();
    index->dirs.shrink_to_fit();
    index->files.shrink_to_fit();
    qCDebug(lcSearchEngine) << "indexed" << index->files.size() << "files in" << index->dirs.size() << "folders";
    return index;
}

void builderLoop()
{
    Engine &e = engine();
    std::unique_lock<std::mutex> lock(e.mutex);
    for (;;) {
        e.cond.wait(lock, [&] { return e.stopping || e.requested > e.built; });
        if (e.stopping)
            return;
        const quint64 target = e.requested;
        const QStringList roots = e.testRoots;
        e.building = target;
        e.cancelBuild = false;
        lock.unlock();
        std::shared_ptr<const Index> index = buildIndex(roots, e.cancelBuild);
        lock.lock();
        e.building = 0;
        if (e.stopping)
            return;
        if (e.cancelBuild)
            continue; // the roots changed meanwhile; build again
        e.index = std::move(index);
        e.built = target;
        e.cond.notify_all();
    }
}

// One alternative of a pattern: a "*.ext" suffix compared byte-wise (ASCII case folded), or a
// general wildcard expression.
struct Alternative
{
    QByteArray suffix; // lower case, with the dot; empty for a general expression
    QRegularExpression expr;
};

std::vector<Alternative> compilePattern(const QString &pattern)
{
    std::vector<Alternative> alts;
    const QStringList parts = pattern.split(QLatin1Char('|'), Qt::SkipEmptyParts);
    for (QString part : parts) {
        part = part.trimmed();
        if (part.isEmpty())
            continue;
        Alternative alt;
        const QString tail = part.mid(1);
        bool plainSuffix = part.startsWith(QLatin1String("*.")) && !tail.contains(QLatin1Char('*')) &&
            !tail.contains(QLatin1Char('?'));
        for (const QChar c : tail)
            plainSuffix = plainSuffix && c.unicode() < 128;
        if (plainSuffix) {
            alt.suffix = tail.toLatin1().toLower();
        } else {
            // Without a wildcard the alternative matches anywhere in the name.
            const QString wild = (part.contains(QLatin1Char('*')) || part.contains(QLatin1Char('?')))
                ? part
                : QLatin1Char('*') + part + QLatin1Char('*');
            alt.expr = QRegularExpression(QRegularExpression::wildcardToRegularExpression(wild),
                                          QRegularExpression::CaseInsensitiveOption);
        }
        alts.push_back(alt);
    }
    return alts;
}

bool matches(const std::vector<Alternative> &alts, const char *name, quint32 len)
{
    for (const Alternative &alt : alts) {
        if (!alt.suffix.isEmpty()) {
            const int n = alt.suffix.size();
            if (len < quint32(n))
                continue;
            const char *tail = name + len - n;
            bool eq = true;
            for (int i = 0; i < n && eq; ++i) {
                char c = tail[i];
                if (c >= 'A' && c <= 'Z')
                    c = char(c - 'A' + 'a');
                eq = c == alt.suffix.at(i);
            }
            if (eq)
                return true;
        } else if (alt.expr.match(QFile::decodeName(QByteArray(name, int(len)))).hasMatch()) {
            return true;
        }
    }
    return false;
}

// Reorders items stably by less, which compares positions in items (keys kept in vectors beside it).
template <typename Less> void sortByPosition(std::vector<quint32> &items, Less less)
{
    std::vector<quint32> order(items.size());
    for (quint32 k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(), less);
    std::vector<quint32> sorted;
    sorted.reserve(items.size());
    for (quint32 k : order)
        sorted.push_back(items[k]);
    items.swap(sorted);
}

} // namespace

// Stops and joins the builder thread when the process exits without stop() (exit() called from
// anywhere, e.g. by Qt when the display connection breaks): a joinable std::thread at static
// teardown would end the process in std::terminate. Made in start(), after every static the
// builder uses, so it goes before them.
namespace {
struct Teardown
{
    ~Teardown() { stop(); }
};
} // namespace

void start()
{
    diskFileSystems();
    static Teardown teardown;
    Engine &e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    if (e.running)
        return;
    e.running = true;
    e.stopping = false;
    e.cancelBuild = false;
    e.requested = e.built + 1;
    e.thread = std::thread(builderLoop);
}

void stop()
{
    Engine &e = engine();
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(e.mutex);
        if (!e.running)
            return;
        e.stopping = true;
        e.running = false;
        e.cancelBuild = true;
        e.index.reset();
        e.built = e.requested;
        t = std::move(e.thread);
        e.cond.notify_all();
    }
    if (t.joinable())
        t.join();
}

bool isRunning()
{
    Engine &e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    return e.running;
}

bool updateAllFolderIndexes()
{
    Engine &e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    if (!e.running)
        return false;
    // A build asked for and not yet begun serves this request too; one under way may have
    // passed folders that changed since, so another follows it.
    if (e.requested <= e.built || e.requested == e.building)
        e.requested = std::max(e.requested, e.built) + 1;
    e.cond.notify_all();
    return true;
}

void setSort(int sort)
{
    state().sort = sort;
}

void setSearch(const QString &pattern)
{
    state().pattern = pattern;
}

bool query(bool wait, const std::atomic<bool> *cancel)
{
    Engine &e = engine();
    QueryState &s = state();
    s.results.clear();
    s.index.reset();
    std::shared_ptr<const Index> index;
    {
        std::unique_lock<std::mutex> lock(e.mutex);
        if (!e.running)
            return false;
        if (wait) {
            const quint64 target = e.requested;
            const quint64 aborts = e.aborts;
            auto cancelled = [&] { return cancel && cancel->load(); };
            // A cancel flag has no one to notify the condition: looked at every few milliseconds.
            while (e.running && e.aborts == aborts && e.built < target && !cancelled())
                e.cond.wait_for(lock, std::chrono::milliseconds(cancel ? 20 : 1000));
            if (!e.running || e.aborts != aborts || cancelled())
                return false;
        }
        index = e.index;
    }
    if (!index)
        return true;
    const std::vector<Alternative> alts = compilePattern(s.pattern);
    if (alts.empty()) {
        s.index = index;
        return true;
    }
    std::vector<quint32> found;
    for (quint32 i = 0; i < index->files.size(); ++i) {
        const Index::File &f = index->files[i];
        if (matches(alts, index->pool.data() + f.off, f.len))
            found.push_back(i);
    }
    auto nameOf = [&](quint32 i) {
        const Index::File &f = index->files[i];
        return QFile::decodeName(QByteArray(index->pool.data() + f.off, int(f.len)));
    };
    if (s.sort == 1) {
        std::vector<QString> names;
        names.reserve(found.size());
        for (quint32 i : found)
            names.push_back(nameOf(i));
        sortByPosition(found,
                       [&](quint32 a, quint32 b) { return names[a].compare(names[b], Qt::CaseInsensitive) < 0; });
    } else {
        // By path: folder first, then name; each folder's path is built once.
        std::unordered_map<quint32, QString> folders;
        std::vector<QString> names;
        std::vector<const QString *> dirs;
        names.reserve(found.size());
        dirs.reserve(found.size());
        for (quint32 i : found) {
            const quint32 d = index->files[i].dir;
            auto it = folders.find(d);
            if (it == folders.end())
                it = folders.emplace(d, QFile::decodeName(QByteArray::fromStdString(index->dirPath(d)))).first;
            dirs.push_back(&it->second);
            names.push_back(nameOf(i));
        }
        sortByPosition(found, [&](quint32 a, quint32 b) {
            const int c = dirs[a]->compare(*dirs[b], Qt::CaseInsensitive);
            if (c != 0)
                return c < 0;
            return names[a].compare(names[b], Qt::CaseInsensitive) < 0;
        });
    }
    s.index = index;
    s.results = std::move(found);
    return true;
}

int numResults()
{
    return int(state().results.size());
}

QString resultFileName(int index)
{
    const QueryState &s = state();
    if (index < 0 || size_t(index) >= s.results.size() || !s.index)
        return QString();
    const Index::File &f = s.index->files[s.results[size_t(index)]];
    return QFile::decodeName(QByteArray(s.index->pool.data() + f.off, int(f.len)));
}

QString resultPath(int index)
{
    const QueryState &s = state();
    if (index < 0 || size_t(index) >= s.results.size() || !s.index)
        return QString();
    const Index::File &f = s.index->files[s.results[size_t(index)]];
    return QFile::decodeName(QByteArray::fromStdString(s.index->dirPath(f.dir)));
}

QByteArray resultRawPath(int index)
{
    const QueryState &s = state();
    if (index < 0 || size_t(index) >= s.results.size() || !s.index)
        return QByteArray();
    const Index::File &f = s.index->files[s.results[size_t(index)]];
    QByteArray path = QByteArray::fromStdString(s.index->dirPath(f.dir));
    if (!path.endsWith('/'))
        path += '/';
    return path + QByteArray(s.index->pool.data() + f.off, int(f.len));
}

void reset()
{
    QueryState &s = state();
    s.pattern.clear();
    s.sort = 3;
    s.results.clear();
    s.results.shrink_to_fit();
    s.index.reset();
}

void cleanUp()
{
    reset();
}

void abortQueries()
{
    Engine &e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    ++e.aborts;
    e.cond.notify_all();
}

int liveIndexes()
{
    return g_liveIndexes.load();
}

int indexedFileCount()
{
    Engine &e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    return e.index ? int(e.index->files.size()) : 0;
}

void setRootsForTests(const QStringList &roots)
{
    Engine &e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    e.testRoots = roots;
    if (e.running) {
        e.requested = std::max(e.requested, e.built) + 1;
        e.cancelBuild = e.building != 0; // a build over the old roots is of no use
        e.cond.notify_all();
    }
}

QStringList indexedVolumes()
{
    QStringList out;
    for (const std::string &r : volumeRoots())
        out << QFile::decodeName(QByteArray::fromStdString(r));
    return out;
}

} // namespace SearchEngine
