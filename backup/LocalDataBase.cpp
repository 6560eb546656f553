#include "backup/LocalDataBase.h"

#include "backup/FileClientThread.h"
#include "backup/TransferMonitor.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QHostInfo>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVector>
#include <unordered_map>

#include <sys/resource.h>

Q_LOGGING_CATEGORY(lcAlbumDb, "vanteo.albumdb", QtWarningMsg)

namespace {

// The phone reads this table by column position: never change the statement.
const char kCreateTable[] =
    "create table albumlist(id integer primary key autoincrement,filename varchar,localpath varchar,"
    "filesize integer,md5 varchar,fromdev varchar,createtime varchar,lastratio integer,"
    "smallmd5 varchar,isExist integer,mobilefilepath varchar)";

// Plain column indexes with SQLite's built-in NOCASE collation only: any SQLite, including the
// phone's, can still open and write the file (expression indexes or our own collations in the
// schema would make it unreadable or unwritable elsewhere). The isExist index is the smallest
// one, so it also makes count(*) cheap.
const char *const kIndexNames[] = {"albumlist_md5_nocase", "albumlist_filename_nocase", "albumlist_isexist"};
const char *const kCreateIndexes[] = {
    "create index if not exists albumlist_md5_nocase on albumlist(md5 collate nocase)",
    "create index if not exists albumlist_filename_nocase on albumlist(filename collate nocase)",
    "create index if not exists albumlist_isexist on albumlist(isExist)",
};

// At most this many index probes per case-insensitive look-up before falling back to one
// range scan per probe prefix.
constexpr int kMaxProbes = 32;

// Characters that Qt's case-insensitive comparison treats as equal to a given one, for every
// character that has such partners (built once from Qt's own case folding).
const QHash<uint, QVector<uint>> &foldClasses()
{
    static const QHash<uint, QVector<uint>> classes = [] {
        QHash<uint, QVector<uint>> byFold;
        for (uint cp = 0; cp <= 0x10FFFF; ++cp) {
            if (cp >= 0xD800 && cp <= 0xDFFF)
                continue;
            const uint folded = QChar::toCaseFolded(cp);
            if (folded != cp)
                byFold[folded].append(cp);
        }
        QHash<uint, QVector<uint>> result;
        for (auto it = byFold.cbegin(); it != byFold.cend(); ++it) {
            QVector<uint> members = it.value();
            if (QChar::toCaseFolded(it.key()) == it.key())
                members.append(it.key());
            for (uint m : qAsConst(members))
                result.insert(m, members);
        }
        return result;
    }();
    return classes;
}

// SQLite's NOCASE folds A-Z only.
uint nocaseKey(uint cp)
{
    return (cp >= 'A' && cp <= 'Z') ? cp + ('a' - 'A') : cp;
}

QString fromCodePoints(const QVector<uint> &cps)
{
    return QString::fromUcs4(cps.constData(), cps.size());
}

// Index probes for "column equals value ignoring case": every NOCASE key a matching row can
// have, or, when there are too many, every NOCASE key prefix a matching row must start with.
struct Probes
{
    QVector<QVector<uint>> keys;
    bool whole = true;
};

Probes probesFor(const QString &value)
{
    const QHash<uint, QVector<uint>> &classes = foldClasses();
    Probes probes;
    probes.keys.append(QVector<uint>());
    const QVector<uint> cps = value.toUcs4();
    for (uint cp : cps) {
        QVector<uint> variants;
        const auto it = classes.constFind(cp);
        if (it == classes.cend()) {
            variants.append(nocaseKey(cp));
        } else {
            for (uint member : it.value()) {
                const uint key = nocaseKey(member);
                if (!variants.contains(key))
                    variants.append(key);
            }
        }
        if (probes.keys.size() * variants.size() > kMaxProbes) {
            probes.whole = false;
            break;
        }
        QVector<QVector<uint>> next;
        next.reserve(probes.keys.size() * variants.size());
        for (const QVector<uint> &prefix : qAsConst(probes.keys)) {
            for (uint v : qAsConst(variants)) {
                QVector<uint> extended = prefix;
                extended.append(v);
                next.append(extended);
            }
        }
        probes.keys = next;
    }
    return probes;
}

// The smallest string above every string that starts with prefix (under NOCASE it may lie
// higher still, which only widens the range); empty when there is none.
QString upperBound(QVector<uint> prefix)
{
    while (!prefix.isEmpty()) {
        uint last = prefix.takeLast();
        if (last < 0x10FFFF) {
            ++last;
            if (last == 0xD800)
                last = 0xE000;
            prefix.append(last);
            return fromCodePoints(prefix);
        }
    }
    return QString();
}

// Stored values are never bound as NULL: rows read back by position then give empty texts.
QString text(const QString &s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

// SQL for "column equals :name exactly". A stored NULL reads back as an empty text, so an
// empty value matches it too.
QString exactClause(const QString &column, const QString &placeholder, const QString &value)
{
    if (value.isEmpty())
        return QStringLiteral("(%1 = '' or %1 is null)").arg(column);
    return QStringLiteral("%1 = %2").arg(column, placeholder);
}

// Whether some row's column equals value under Qt's case-insensitive comparison (and, when
// exactColumn is given, that row's exactColumn equals exactValue exactly). Index probes find
// the candidates, the comparison itself is Qt's; a failed query counts as not found.
bool existsIgnoringCase(QSqlDatabase &db, const QString &column, const QString &value,
                        const QString &exactColumn = QString(), const QString &exactValue = QString())
{
    QString extra;
    if (!exactColumn.isEmpty())
        extra = QStringLiteral(" and ") + exactClause(exactColumn, QStringLiteral(":exact"), exactValue);

    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (value.isEmpty()) {
        // Only '' equals '' under NOCASE too; written so the index answers it.
        if (!q.prepare(QStringLiteral("select 1 from albumlist where (%1 = '' collate nocase or %1 is null)%2 limit 1")
                           .arg(column, extra)))
            return false;
        if (!exactColumn.isEmpty() && !exactValue.isEmpty())
            q.bindValue(QStringLiteral(":exact"), exactValue);
        return q.exec() && q.next();
    }

    const Probes probes = probesFor(value);
    const QString where = probes.whole
        ? QStringLiteral("%1 = :lo collate nocase").arg(column)
        : QStringLiteral("%1 >= :lo collate nocase and %1 < :hi collate nocase").arg(column);
    const QString whereOpen = QStringLiteral("%1 >= :lo collate nocase").arg(column);
    for (const QVector<uint> &key : probes.keys) {
        const QString hi = probes.whole ? QString() : upperBound(key);
        const bool open = !probes.whole && hi.isEmpty();
        if (!q.prepare(
                QStringLiteral("select %1 from albumlist where %2%3").arg(column, open ? whereOpen : where, extra)))
            return false;
        q.bindValue(QStringLiteral(":lo"), fromCodePoints(key));
        if (!probes.whole && !open)
            q.bindValue(QStringLiteral(":hi"), hi);
        if (!exactColumn.isEmpty() && !exactValue.isEmpty())
            q.bindValue(QStringLiteral(":exact"), exactValue);
        if (!q.exec())
            return false;
        while (q.next()) {
            if (QString::compare(q.value(0).toString(), value, Qt::CaseInsensitive) == 0)
                return true;
        }
        q.finish();
    }
    return false;
}

// Whether some row already holds this content. A file sent without an md5 says nothing about its
// content, so an empty md5 never matches (rows of other md5-less files included).
bool md5Recorded(QSqlDatabase &db, const QString &md5)
{
    return !md5.isEmpty() && existsIgnoringCase(db, QStringLiteral("md5"), md5);
}

// The same, for a row that also came from this phone path.
bool md5RecordedFor(QSqlDatabase &db, const QString &md5, const QString &mobilePath)
{
    return !md5.isEmpty() &&
        existsIgnoringCase(db, QStringLiteral("md5"), md5, QStringLiteral("mobilefilepath"), mobilePath);
}

// How long the album writer gathers rows before a commit, and how many rows are enough.
constexpr int kBatchWindowMs = 100;
constexpr int kBatchRows = 256;

// Background work, like the file connections that feed it: the GUI thread goes first. Once per
// pool thread (a raised nice value cannot be lowered again).
void backgroundPriority()
{
    static thread_local bool lowered = false;
    if (lowered)
        return;
    lowered = true;
    ::setpriority(PRIO_PROCESS, 0, ::getpriority(PRIO_PROCESS, 0) + FileClientThread::kNiceIncrement);
}

QAtomicInteger<quint64> objectCounter;
QAtomicInteger<quint64> threadConnectionCounter;

// Every live object, so a copy of a file can first commit the rows queued for it, and the mutex of
// every file in use. Guarded by registryMutex, taken after a file's mutex when both are held:
// making an object never waits for a commit.
QMutex registryMutex;
QList<LocalDataBase *> &liveObjects()
{
    static QList<LocalDataBase *> objects;
    return objects;
}

} // namespace

// The connections of one object, one per calling thread. Shared with the thread-end hooks,
// which may run after the object is gone. Guarded by the file's mutex.
struct LocalDataBase::Connections
{
    struct Entry
    {
        QString name;
        QSqlDatabase db;
        QMetaObject::Connection threadEndHook;
    };
    std::unordered_map<QThread *, std::unique_ptr<Entry>> byThread;
    bool closed = false;

    void drop(QThread *thread)
    {
        const auto it = byThread.find(thread);
        if (it == byThread.end())
            return;
        std::unique_ptr<Entry> entry = std::move(it->second);
        byThread.erase(it);
        QObject::disconnect(entry->threadEndHook);
        const QString name = entry->name;
        entry->db.close();
        entry.reset(); // the last handle must be gone before the name is removed
        QSqlDatabase::removeDatabase(name);
    }

    void dropAll()
    {
        while (!byThread.empty())
            drop(byThread.begin()->first);
        closed = true;
    }
};

LocalDataBase::LocalDataBase(const QString &path)
    : QObject(nullptr), m_dbName(path), m_connections(std::make_shared<Connections>())
{
    m_hostName = QHostInfo::localHostName();
    // Several objects may use one file at once (a page counting while a connection records),
    // so each gets connection names of its own.
    m_connectionPrefix = path + QLatin1Char('#') + QString::number(++objectCounter);
    m_mutex = mutexFor(path);
    m_pool.setMaxThreadCount(2);
    QMutexLocker registry(&registryMutex);
    liveObjects().append(this);
}

LocalDataBase::~LocalDataBase()
{
    m_destroying = true;
    {
        // A commit task under way commits what is queued without waiting for more.
        QMutexLocker queue(&m_queueMutex);
        m_writerStop = true;
        m_queueWake.wakeAll();
    }
    // Scans and commits, running or still queued, end (a scan stops at its next row).
    m_pool.waitForDone();
    QMutexLocker lock(m_mutex.get());
    commitQueuedLocked(); // rows queued while the tasks ended
    {
        QMutexLocker registry(&registryMutex);
        liveObjects().removeAll(this);
    }
    m_connections->dropAll();
    m_opened = false;
}

QSqlDatabase *LocalDataBase::connectionForCurrentThread()
{
    QThread *thread = QThread::currentThread();
    auto &slot = m_connections->byThread[thread];
    if (slot)
        return &slot->db;
    slot = std::make_unique<Connections::Entry>();
    slot->name = m_connectionPrefix + QLatin1Char('@') + QString::number(++threadConnectionCounter);
    slot->db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), slot->name);
    // A pool thread that ends takes its connection with it.
    std::weak_ptr<Connections> weak = m_connections;
    slot->threadEndHook = QObject::connect(
        thread, &QThread::finished, thread,
        [weak, thread, mutex = m_mutex]() {
            const std::shared_ptr<Connections> connections = weak.lock();
            if (!connections)
                return;
            QMutexLocker lock(mutex.get());
            connections->drop(thread);
        },
        Qt::DirectConnection);
    return &slot->db;
}

int LocalDataBase::openDataBase()
{
    QMutexLocker lock(m_mutex.get());
    return openLocked() ? 0 : -1;
}

QSqlDatabase *LocalDataBase::openLocked()
{
    QSqlDatabase *db = connectionForCurrentThread();
    if (db->isOpen())
        return db;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0)
            QThread::msleep(500);
        db->setHostName(m_hostName);
        // The real path, Unicode and all: phones named in Chinese must not share one file.
        db->setDatabaseName(m_dbName);
        if (db->open()) {
            m_opened = true;
            if (m_writeAheadLog) {
                QSqlQuery pragma(*db);
                if (!pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
                    !pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
                    qCWarning(lcAlbumDb) << "no write-ahead log for" << m_dbName << pragma.lastError().text();
            }
            return db;
        }
    }
    qCWarning(lcAlbumDb) << "cannot open" << m_dbName << db->lastError().text();
    return nullptr;
}

LocalDataBase::TableCheck LocalDataBase::checkTable(QSqlDatabase &db, bool create)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("select count(*) from sqlite_master where type='table' and name='%1'")
                    .arg(QStringLiteral("albumlist"))) ||
        !q.next())
        return TableCheck::NoAnswer;
    const bool exists = q.value(0).toInt() > 0;
    q.finish();
    if (!exists) {
        if (!create)
            return TableCheck::Missing;
        if (!q.exec(QLatin1String(kCreateTable))) {
            qCWarning(lcAlbumDb) << "cannot create table in" << m_dbName << q.lastError().text();
            return TableCheck::CreateFailed;
        }
    }
    ensureIndexes(db);
    return TableCheck::Ready;
}

void LocalDataBase::ensureIndexes(QSqlDatabase &db)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    const QString names =
        QStringLiteral("'%1','%2','%3'")
            .arg(QLatin1String(kIndexNames[0]), QLatin1String(kIndexNames[1]), QLatin1String(kIndexNames[2]));
    if (q.exec(QStringLiteral("select count(*) from sqlite_master where type='index' and name in (%1)").arg(names)) &&
        q.next() && q.value(0).toInt() == 3)
        return;
    q.finish();
    // Look-ups stay correct without them (only slower), e.g. on a read-only file.
    for (const char *statement : kCreateIndexes) {
        if (!q.exec(QLatin1String(statement)))
            qCDebug(lcAlbumDb) << "cannot create index in" << m_dbName << q.lastError().text();
    }
}

QSqlDatabase *LocalDataBase::openReadyLocked(bool create)
{
    QSqlDatabase *db = openLocked();
    return db && checkTable(*db, create) == TableCheck::Ready ? db : nullptr;
}

void LocalDataBase::deleteAllRecords()
{
    QMutexLocker lock(m_mutex.get());
    QSqlDatabase *db = openLocked();
    if (!db)
        return;
    QSqlQuery q(*db);
    q.exec(QStringLiteral("delete from albumlist"));
}

bool LocalDataBase::isFileNameExist(const QString &filename)
{
    QMutexLocker lock(m_mutex.get());
    QSqlDatabase *db = openReadyLocked(true);
    if (!db)
        return false;
    QSqlQuery q(*db);
    q.setForwardOnly(true);
    // The NOCASE term lets the index find the candidates; the second one decides exactly.
    if (filename.isEmpty())
        return q.exec(QStringLiteral(
                   "select 1 from albumlist where filename = '' collate nocase or filename is null limit 1")) &&
            q.next();
    if (!q.prepare(
            QStringLiteral("select 1 from albumlist where filename = :f collate nocase and filename = :f limit 1")))
        return false;
    q.bindValue(QStringLiteral(":f"), filename);
    return q.exec() && q.next();
}

int LocalDataBase::checkMd5OrName(const QString &filename, const QString &md5)
{
    QMutexLocker lock(m_mutex.get());
    QSqlDatabase *db = openLocked();
    if (!db)
        return -1;
    switch (checkTable(*db, true)) {
    case TableCheck::CreateFailed: return -1;
    case TableCheck::NoAnswer:
    case TableCheck::Missing: return 3;
    case TableCheck::Ready: break;
    }
    // An md5 match anywhere wins over a name match anywhere.
    if (md5Recorded(*db, md5))
        return 1;
    if (existsIgnoringCase(*db, QStringLiteral("filename"), filename))
        return 2;
    return 3;
}

bool LocalDataBase::isMd5Exist(const QString &md5)
{
    QMutexLocker lock(m_mutex.get());
    QSqlDatabase *db = openReadyLocked(true);
    if (!db)
        return false;
    return md5Recorded(*db, md5);
}

QSet<qint64> LocalDataBase::recordedSizes()
{
    QMutexLocker lock(m_mutex.get());
    QSet<qint64> sizes;
    QSqlDatabase *db = openReadyLocked(true);
    if (!db)
        return sizes;
    QSqlQuery q(*db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("select distinct filesize from albumlist where md5 is not null and md5 <> ''"))) {
        sizes.insert(-1);
        return sizes;
    }
    while (q.next()) {
        bool ok = false;
        const qint64 size = q.value(0).toLongLong(&ok);
        sizes.insert(ok && size >= 0 ? size : -1);
    }
    return sizes;
}

int LocalDataBase::findMobileRecord(const QString &mobilefilepath, const QString &md5)
{
    QMutexLocker lock(m_mutex.get());
    QSqlDatabase *db = openReadyLocked(true);
    if (!db)
        return -1;
    return md5RecordedFor(*db, md5, mobilefilepath) ? 0 : -1;
}

int LocalDataBase::insertRecord(const QString &filename, const QString &localpath, qint64 filesize, const QString &md5,
                                const QString &fromdev, int lastratio, const QString &smallmd5,
                                const QString &createtime, const QString &mobilefilepath)
{
    QMutexLocker lock(m_mutex.get());
    QSqlDatabase *db = openLocked();
    if (!db)
        return -1;
    if (checkTable(*db, true) != TableCheck::Ready)
        return 0;
    QSqlQuery q(*db);
    if (!q.prepare(QStringLiteral("insert into albumlist values(?,?,?,?,?,?,?,?,?,?,?)")))
        return 0;
    // Position 0 (id) stays unbound: SQLite assigns the next id.
    q.bindValue(1, text(filename));
    q.bindValue(2, text(localpath));
    q.bindValue(3, QVariant::fromValue<qlonglong>(filesize));
    q.bindValue(4, text(md5));
    q.bindValue(5, text(fromdev));
    q.bindValue(6, text(createtime));
    q.bindValue(7, lastratio);
    q.bindValue(8, text(smallmd5));
    q.bindValue(9, 1);
    q.bindValue(10, text(mobilefilepath));
    if (!q.exec()) {
        qCWarning(lcAlbumDb) << "insert failed in" << m_dbName << q.lastError().text();
        return 0;
    }
    if (!q.exec(QStringLiteral("select count(*) from albumlist")) || !q.next())
        return 0;
    return q.value(0).toInt();
}

int LocalDataBase::countExistFiles()
{
    QMutexLocker lock(m_mutex.get());
    QSqlDatabase *db = openReadyLocked(false);
    if (!db)
        return 0;
    QSqlQuery q(*db);
    q.setForwardOnly(true);
    // The same as "select count(*) from albumlist where isExist=1", but the total comes from the
    // b-tree page headers and the rows that are not 1 (few) from the isExist index.
    if (!q.exec(QStringLiteral("select (select count(*) from albumlist)"
                               " - (select count(*) from albumlist where isExist is null)"
                               " - (select count(*) from albumlist where isExist < 1)"
                               " - (select count(*) from albumlist where isExist > 1)")) ||
        !q.next())
        return 0;
    return q.value(0).toInt();
}

void LocalDataBase::scanExistFiles()
{
    scan();
}

void LocalDataBase::startScan()
{
    if (m_destroying)
        return;
    m_pool.start([this] {
        backgroundPriority();
        scan();
    });
}

void LocalDataBase::scan()
{
    struct Row
    {
        qint64 id;
        int isExist;
        QString localpath;
    };
    QVector<Row> rows;
    bool ready = false;
    {
        QMutexLocker lock(m_mutex.get());
        if (QSqlDatabase *db = openReadyLocked(false)) {
            ready = true;
            QSqlQuery q(*db);
            q.setForwardOnly(true);
            if (q.exec(QStringLiteral("select * from albumlist"))) {
                while (q.next())
                    rows.append({q.value(0).toLongLong(), q.value(9).toInt(), q.value(2).toString()});
            }
        }
    }
    if (!ready)
        return;

    // The existence checks touch every disk the album spans (a sleeping drive takes seconds):
    // no lock is held meanwhile, so the organiser and the page's count go on.
    int order = 0;
    QVector<QPair<qint64, int>> changes;
    for (const Row &row : qAsConst(rows)) {
        if (m_destroying)
            break;
        if (row.localpath.isEmpty())
            continue;
        if (QFile::exists(row.localpath)) {
            emit setFileName(order, row.localpath);
            ++order;
            if (row.isExist == 0)
                changes.append({row.id, 1});
        } else if (row.isExist == 1) {
            changes.append({row.id, 0});
        }
    }

    if (!changes.isEmpty()) {
        QMutexLocker lock(m_mutex.get());
        if (QSqlDatabase *db = openReadyLocked(false)) {
            // One commit for all changes instead of one per row.
            const bool inTransaction = db->transaction();
            QSqlQuery update(*db);
            if (update.prepare(QStringLiteral("update albumlist set isExist = :exist where id = :id"))) {
                for (const auto &change : qAsConst(changes)) {
                    update.bindValue(QStringLiteral(":exist"), change.second);
                    update.bindValue(QStringLiteral(":id"), change.first);
                    update.exec();
                }
            }
            update.finish();
            if (inTransaction && !db->commit()) {
                qCWarning(lcAlbumDb) << "scan update failed in" << m_dbName << db->lastError().text();
                db->rollback();
            }
        }
    }
    emit setFileName(order, QString());
}

void LocalDataBase::recordLater(const PendingRow &row, QObject *context, std::function<void(const RowResult &)> done)
{
    QMutexLocker queue(&m_queueMutex);
    m_queue.append(Queued{row, context, std::move(done)});
    // Once stopping, the destructor commits what is queued.
    if (!m_draining && !m_writerStop) {
        m_draining = true;
        m_pool.start([this] {
            backgroundPriority();
            drainQueue();
        });
    }
    m_queueWake.wakeAll();
}

void LocalDataBase::drainQueue()
{
    for (;;) {
        {
            QMutexLocker queue(&m_queueMutex);
            if (m_queue.isEmpty()) {
                m_draining = false; // the next recordLater starts another task
                return;
            }
            // The rows of the next few files join this commit (nobody waits for them; a download
            // commits what is queued first): far fewer disk syncs competing with the files' own.
            const QDeadlineTimer window(kBatchWindowMs);
            while (!m_writerStop && m_queue.size() < kBatchRows && !window.hasExpired())
                m_queueWake.wait(&m_queueMutex, window);
        }
        QMutexLocker lock(m_mutex.get());
        commitQueuedLocked();
    }
}

void LocalDataBase::flushPending()
{
    QMutexLocker lock(m_mutex.get());
    commitQueuedLocked();
}

LocalDataBase::RowResult LocalDataBase::recordLocked(QSqlDatabase &db, const PendingRow &row)
{
    RowResult result;
    result.filename = row.filename;
    if (row.skipKnownMd5 && md5Recorded(db, row.md5)) {
        result.outcome = RowOutcome::SkippedKnownMd5;
        return result;
    }
    if (md5RecordedFor(db, row.md5, row.mobilefilepath)) {
        result.outcome = RowOutcome::AlreadyRecorded;
        return result;
    }
    QSqlQuery q(db);
    if (!q.prepare(QStringLiteral("insert into albumlist values(?,?,?,?,?,?,?,?,?,?,?)"))) {
        result.why = q.lastError().text();
        return result;
    }
    q.bindValue(1, text(row.filename));
    q.bindValue(2, text(row.localpath));
    q.bindValue(3, QVariant::fromValue<qlonglong>(row.filesize));
    q.bindValue(4, text(row.md5));
    q.bindValue(5, text(row.fromdev));
    q.bindValue(6, text(row.createtime));
    q.bindValue(7, row.lastratio);
    q.bindValue(8, text(row.smallmd5));
    q.bindValue(9, 1);
    q.bindValue(10, text(row.mobilefilepath));
    if (!q.exec()) {
        result.why = q.lastError().text();
        return result;
    }
    result.outcome = RowOutcome::Inserted;
    return result;
}

void LocalDataBase::commitQueuedLocked()
{
    QList<Queued> batch;
    {
        QMutexLocker queue(&m_queueMutex);
        batch.swap(m_queue);
    }
    if (batch.isEmpty())
        return;

    QVector<RowResult> results(batch.size());
    QString failure;
    QSqlDatabase *db = openLocked();
    if (!db)
        failure = QStringLiteral("cannot open %1").arg(m_dbName);
    else if (checkTable(*db, true) != TableCheck::Ready)
        failure = QStringLiteral("no album table in %1").arg(m_dbName);
    const bool inTransaction = failure.isEmpty() && db->transaction();
    bool inserted = false;
    for (int i = 0; i < batch.size(); ++i) {
        if (failure.isEmpty()) {
            results[i] = recordLocked(*db, batch.at(i).row);
        } else {
            results[i].filename = batch.at(i).row.filename;
            results[i].why = failure;
        }
        inserted = inserted || results.at(i).outcome == RowOutcome::Inserted;
    }
    if (inTransaction && !db->commit()) {
        const QString why = db->lastError().text();
        db->rollback();
        for (RowResult &r : results) {
            if (r.outcome == RowOutcome::Inserted) {
                r.outcome = RowOutcome::Failed;
                r.why = why;
            }
        }
        inserted = false;
    }
    int rows = 0;
    if (inserted) {
        QSqlQuery q(*db);
        if (q.exec(QStringLiteral("select count(*) from albumlist")) && q.next())
            rows = q.value(0).toInt();
    }
    for (int i = 0; i < batch.size(); ++i) {
        RowResult &r = results[i];
        r.rows = rows;
        if (r.outcome == RowOutcome::Failed) {
            // The file itself is safe on disk; the phone page shows the warning, and the file is
            // recorded when the phone, not finding it in the album, sends it again.
            qCWarning(lcAlbumDb) << "could not record" << batch.at(i).row.localpath << "in" << m_dbName << r.why;
            if (!batch.at(i).row.fromdev.isEmpty())
                TransferMonitor::instance()->recordFailed(batch.at(i).row.fromdev, r.filename,
                                                          QStringLiteral("已保存，但未能写入相册记录：%1").arg(r.why));
        }
        const Queued &q = batch.at(i);
        if (q.context && q.done) {
            const auto done = q.done;
            QMetaObject::invokeMethod(
                q.context, [done, r] { done(r); }, Qt::QueuedConnection);
        }
    }
}

bool LocalDataBase::copyConsistent(const QString &path, QIODevice *out)
{
    const std::shared_ptr<QMutex> mutex = mutexFor(path);
    QMutexLocker lock(mutex.get());
    // An object leaves the list only with its file's mutex held, after its last commit.
    QList<LocalDataBase *> users;
    {
        QMutexLocker registry(&registryMutex);
        for (LocalDataBase *object : qAsConst(liveObjects())) {
            if (object->m_mutex == mutex)
                users.append(object);
        }
    }
    for (LocalDataBase *object : qAsConst(users))
        object->commitQueuedLocked();
    // Every operation holds the file's mutex, so no transaction is open and no journal is pending: the file
    // alone is the whole database.
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QByteArray buf(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = source.read(buf.data(), buf.size());
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (out->write(buf.constData(), n) != n)
            return false;
    }
}

std::shared_ptr<QMutex> LocalDataBase::mutexFor(const QString &path)
{
    // One per file, not one for all: phones' databases are written at the same time without
    // waiting for each other's disk syncs.
    static QHash<QString, std::weak_ptr<QMutex>> mutexes;
    const QString key = QFileInfo(path).absoluteFilePath();
    QMutexLocker registry(&registryMutex);
    std::shared_ptr<QMutex> mutex = mutexes.value(key).lock();
    if (!mutex) {
        mutex = std::make_shared<QMutex>();
        mutexes.insert(key, mutex);
    }
    return mutex;
}

QString LocalDataBase::anyLocalPath()
{
    QMutexLocker lock(m_mutex.get());
    QSqlDatabase *db = openReadyLocked(false);
    if (!db)
        return QString();
    QSqlQuery q(*db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("select localpath from albumlist where localpath <> '' limit 1")) || !q.next())
        return QString();
    return q.value(0).toString();
}
