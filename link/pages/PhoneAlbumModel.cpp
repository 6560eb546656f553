#include "link/pages/PhoneAlbumModel.h"

#include "imaging/ThumbnailCache.h"

#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <algorithm>
#include <atomic>

Q_LOGGING_CATEGORY(lcPhoneAlbum, "vanteo.phonealbum", QtWarningMsg)

namespace {

// By the name alone; QFileInfo would cost more than the rest of a row for 20,000 rows.
QString suffixOf(const QString &path)
{
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || path.indexOf(QLatin1Char('/'), dot) >= 0)
        return QString();
    return path.mid(dot + 1).toLower();
}

bool isVideoName(const QString &path)
{
    static const QStringList kinds{QStringLiteral("mp4"), QStringLiteral("mov"),  QStringLiteral("avi"),
                                   QStringLiteral("3gp"), QStringLiteral("mkv"),  QStringLiteral("flv"),
                                   QStringLiteral("mpg"), QStringLiteral("mpeg"), QStringLiteral("m4v"),
                                   QStringLiteral("webm")};
    return kinds.contains(suffixOf(path));
}

bool isPictureName(const QString &path)
{
    static const QStringList kinds{QStringLiteral("jpg"),  QStringLiteral("jpeg"), QStringLiteral("png"),
                                   QStringLiteral("heic"), QStringLiteral("heif"), QStringLiteral("avif"),
                                   QStringLiteral("webp")};
    return kinds.contains(suffixOf(path));
}

int digits(const QString &text, int from, int count)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const QChar c = text.at(i);
        if (!c.isDigit())
            return -1;
        value = value * 10 + c.digitValue();
    }
    return value;
}

// The capture time as the phone's clock showed it. The phone sends ISO 8601 (rows written by older
// versions used the device list's "yyyy-MM-dd hh:mm:ss"). Kept as wall-clock time in a UTC value:
// it is only shown and compared, and this way neither needs the time zone rules, which would cost
// more than everything else for 20,000 rows.
QDateTime parseTime(const QString &text)
{
    if (text.size() >= 19 && text.at(4) == QLatin1Char('-') && text.at(7) == QLatin1Char('-') &&
        (text.at(10) == QLatin1Char('T') || text.at(10) == QLatin1Char(' ')) && text.at(13) == QLatin1Char(':') &&
        text.at(16) == QLatin1Char(':') && (text.size() == 19 || !text.at(19).isDigit())) {
        const QDate d(digits(text, 0, 4), digits(text, 5, 2), digits(text, 8, 2));
        const QTime t(digits(text, 11, 2), digits(text, 14, 2), digits(text, 17, 2));
        if (d.isValid() && t.isValid())
            return QDateTime(d, t, Qt::UTC);
    }
    QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid())
        t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return t.isValid() ? QDateTime(t.date(), t.time(), Qt::UTC) : QDateTime();
}

QString monthTitle(const QDateTime &t, int count)
{
    const QString when = t.isValid() ? QStringLiteral("%1年%2月").arg(t.date().year()).arg(t.date().month())
                                     : QStringLiteral("拍摄时间不明");
    return QStringLiteral("%1  （%2 个）").arg(when).arg(count);
}

int monthKey(const QDateTime &t)
{
    return t.isValid() ? t.date().year() * 12 + t.date().month() : -1;
}

} // namespace

PhoneAlbumModel::PhoneAlbumModel(ThumbnailCache *cache, QObject *parent) : QAbstractListModel(parent), m_cache(cache)
{
    connect(m_cache, &ThumbnailCache::thumbnailReady, this, &PhoneAlbumModel::onReady);
    connect(m_cache, &ThumbnailCache::thumbnailFailed, this, &PhoneAlbumModel::onFailed);
}

QVector<PhoneAlbumModel::Entry> PhoneAlbumModel::readAlbum(const QString &databasePath, QString *error, int limit)
{
    static std::atomic<int> serial{0};
    const QString connection = QStringLiteral("phonealbum-%1").arg(serial.fetch_add(1));
    QVector<Entry> photos;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(databasePath);
        // Read-only: this connection never writes, and the phone's own copy of the file is never touched.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=3000"));
        if (!QFileInfo::exists(databasePath) || !db.open()) {
            if (error)
                *error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            const QString order = limit > 0 ? QStringLiteral(" order by createtime desc, id desc limit %1").arg(limit)
                                            : QStringLiteral(" order by id desc");
            if (!q.exec(QStringLiteral("select filename, localpath, filesize, createtime, isExist from albumlist") +
                        order)) {
                if (error)
                    *error = q.lastError().text();
            }
            while (q.next()) {
                Entry e;
                e.path = q.value(1).toString();
                if (e.path.isEmpty())
                    continue;
                e.text = q.value(0).toString();
                if (e.text.isEmpty())
                    e.text = QFileInfo(e.path).fileName();
                e.size = q.value(2).toLongLong();
                e.time = parseTime(q.value(3).toString());
                if (q.value(4).toInt() < 1) {
                    e.state = Missing;
                } else if (!isPictureName(e.path)) {
                    // Not decoded, so its presence is checked here.
                    e.state = !QFileInfo::exists(e.path) ? Missing : isVideoName(e.path) ? Video : Unreadable;
                }
                photos.append(e);
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);

    std::stable_sort(photos.begin(), photos.end(), [](const Entry &a, const Entry &b) {
        if (a.time.isValid() != b.time.isValid())
            return a.time.isValid();
        return a.time > b.time;
    });
    QVector<Entry> out;
    out.reserve(photos.size() + photos.size() / 20 + 8);
    for (int i = 0; i < photos.size();) {
        const int key = monthKey(photos.at(i).time);
        int end = i;
        while (end < photos.size() && monthKey(photos.at(end).time) == key)
            ++end;
        Entry header;
        header.kind = Header;
        header.time = photos.at(i).time;
        header.text = monthTitle(header.time, end - i);
        out.append(header);
        for (; i < end; ++i)
            out.append(photos.at(i));
    }
    return out;
}

void PhoneAlbumModel::setEntries(QVector<Entry> entries)
{
    beginResetModel();
    m_entries = std::move(entries);
    m_rowsOfPath.clear();
    m_photos = 0;
    m_missing = 0;
    for (int row = 0; row < m_entries.size(); ++row)
        countEntry(row);
    endResetModel();
    emit missingCountChanged(m_missing);
}

void PhoneAlbumModel::countEntry(int row)
{
    const Entry &e = m_entries.at(row);
    if (e.kind != Photo)
        return;
    ++m_photos;
    if (e.state == Missing)
        ++m_missing;
    else if (e.state == Pending)
        m_rowsOfPath.insert(e.path, row);
}

void PhoneAlbumModel::completeEntries(QVector<Entry> entries)
{
    const int shown = m_entries.size();
    bool prefix = entries.size() >= shown;
    for (int row = 0; prefix && row < shown; ++row) {
        const Entry &a = m_entries.at(row), &b = entries.at(row);
        prefix = a.kind == b.kind && a.path == b.path && (a.kind == Header || a.time == b.time);
    }
    // Rows past the shown ones continue its last month or start older ones; only header counts change.
    if (!prefix) {
        setEntries(std::move(entries));
        return;
    }
    for (int row = 0; row < shown; ++row) {
        if (m_entries.at(row).kind == Header && m_entries.at(row).text != entries.at(row).text) {
            m_entries[row].text = entries.at(row).text;
            emit dataChanged(index(row), index(row), {Qt::DisplayRole});
        }
    }
    if (entries.size() == shown)
        return;
    beginInsertRows(QModelIndex(), shown, entries.size() - 1);
    const int missingBefore = m_missing;
    for (int row = shown; row < entries.size(); ++row) {
        m_entries.append(entries.at(row));
        countEntry(row);
    }
    endInsertRows();
    if (m_missing != missingBefore)
        emit missingCountChanged(m_missing);
}

int PhoneAlbumModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_entries.size();
}

Qt::ItemFlags PhoneAlbumModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (m_entries.at(index.row()).kind == Header)
        return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QVariant PhoneAlbumModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return {};
    const Entry &e = m_entries.at(index.row());
    switch (role) {
    case Qt::DisplayRole: return e.text;
    case KindRole: return e.kind;
    case PathRole: return e.path;
    case StateRole: return e.state;
    case CaptureTimeRole: return e.time;
    case Qt::ToolTipRole:
        if (e.kind == Header)
            return {};
        return QStringLiteral("%1\n%2\n%3%4")
            .arg(e.text,
                 e.time.isValid() ? e.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                                  : QStringLiteral("拍摄时间不明"),
                 QLocale::system().formattedDataSize(e.size),
                 e.state == Missing ? QStringLiteral("\n文件已不在磁盘上：") + e.path : QString());
    case ThumbnailRole: {
        if (e.kind != Photo || e.state != Pending)
            return {};
        const QImage image = m_cache->cached(e.path);
        if (image.isNull())
            m_cache->request(e.path);
        return image;
    }
    default: return {};
    }
}

void PhoneAlbumModel::onReady(const QString &path)
{
    for (auto it = m_rowsOfPath.constFind(path); it != m_rowsOfPath.cend() && it.key() == path; ++it) {
        const QModelIndex i = index(it.value());
        emit dataChanged(i, i, {ThumbnailRole});
    }
}

void PhoneAlbumModel::onFailed(const QString &path, bool missing, const QString &why)
{
    const QList<int> rows = m_rowsOfPath.values(path);
    if (rows.isEmpty())
        return;
    qCDebug(lcPhoneAlbum) << "no thumbnail for" << path << why;
    m_rowsOfPath.remove(path);
    for (const int row : rows) {
        m_entries[row].state = missing ? Missing : Unreadable;
        if (missing)
            ++m_missing;
        const QModelIndex i = index(row);
        emit dataChanged(i, i, {StateRole, ThumbnailRole});
    }
    if (missing)
        emit missingCountChanged(m_missing);
}
