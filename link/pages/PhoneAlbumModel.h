#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QHash>
#include <QVector>

class ThumbnailCache;

// A phone's backups as one flat list for a wrapping grid: a header item per month of capture
// (newest month first) followed by that month's files, newest first. Thumbnails are asked of the
// cache only when the view paints an item, so a list of tens of thousands costs nothing until shown.
class PhoneAlbumModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        KindRole = Qt::UserRole + 1, // Kind
        PathRole,                    // the stored file
        StateRole,                   // State
        ThumbnailRole,               // QImage; asking for it queues the decode when not in memory
        CaptureTimeRole,             // QDateTime (invalid: unknown)
    };
    enum Kind { Header, Photo };
    enum State { Pending, Missing, Unreadable, Video };

    struct Entry
    {
        Kind kind = Photo;
        QString text; // header: month and count; photo: file name
        QString path;
        QDateTime time;
        qint64 size = 0;
        State state = Pending;
    };

    explicit PhoneAlbumModel(ThumbnailCache *cache, QObject *parent = nullptr);

    // Reads the album database (read-only, in a connection of the calling thread's own) and
    // returns its rows grouped and ordered for display. With a limit, only the newest rows by the
    // recorded time text (what fills the first screens quickly). Meant for a worker thread.
    static QVector<Entry> readAlbum(const QString &databasePath, QString *error = nullptr, int limit = 0);
    void setEntries(QVector<Entry> entries);
    // The whole list after a first part was shown: when it begins with what is shown, the rest is
    // appended (no reset: what the user looks at or chose stays), else the list is replaced.
    void completeEntries(QVector<Entry> entries);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    const Entry &entry(int row) const { return m_entries.at(row); }
    // Rows whose thumbnail is still to come for path (none once it failed).
    QList<int> pendingRowsOf(const QString &path) const { return m_rowsOfPath.values(path); }
    int photoCount() const { return m_photos; }
    int missingCount() const { return m_missing; }
    ThumbnailCache *cache() const { return m_cache; }

signals:
    void missingCountChanged(int count);

private:
    // Adds a photo row to the counts and, while its file is not looked at yet, to m_rowsOfPath.
    void countEntry(int row);
    void onReady(const QString &path);
    void onFailed(const QString &path, bool missing, const QString &why);

    ThumbnailCache *m_cache;
    QVector<Entry> m_entries;
    QMultiHash<QString, int> m_rowsOfPath;
    int m_photos = 0;
    int m_missing = 0;
};
