#pragma once

#include "link/pages/PhoneAlbumModel.h"

#include <QString>
#include <QVector>
#include <QWidget>

class QAbstractButton;
class QAbstractItemView;
class QLabel;
class QListView;
class ThumbnailCache;

// One phone's backups as a thumbnail grid, grouped by month of capture, newest first, in a window
// of its own. The album database is read on a worker thread; thumbnails come from the shared
// cache as items are shown, and requests for items scrolled away are withdrawn. Double-click (or
// Enter) opens a file with the desktop's program for it; files recorded but gone are marked.
class PhoneAlbumView : public QWidget
{
    Q_OBJECT
public:
    PhoneAlbumView(const QString &deviceName, const QString &databasePath, ThumbnailCache *cache = nullptr,
                   QWidget *parent = nullptr);
    ~PhoneAlbumView() override;

    // The window of deviceName under owner, raised when open already, else made and shown.
    static PhoneAlbumView *showFor(const QString &deviceName, QWidget *owner);
    // Wires a list of phones to their albums: the button opens the current row's phone, as does a
    // double-click on a row; the phone's name is read from nameColumn. Windows belong to owner.
    static void attach(QWidget *owner, QAbstractItemView *phones, QAbstractButton *button, int nameColumn);

    QString deviceName() const { return m_deviceName; }
    PhoneAlbumModel *model() const { return m_model; }
    QListView *listView() const { return m_view; }
    // True once the whole album is listed (its newest part is shown before).
    bool isLoaded() const { return m_loaded; }
    // Opens the file shown at row with the desktop's program; false (and says why) when it is
    // gone or not a kind of file a photo album opens.
    bool openRow(int row);

signals:
    void loaded(int photos);

protected:
    // Esc closes the window.
    void keyPressEvent(QKeyEvent *event) override;

private:
    void showEntries(QVector<PhoneAlbumModel::Entry> entries, bool whole, const QString &error);
    void onScrolled();
    void showStatus();

    QString m_deviceName;
    ThumbnailCache *m_cache;
    PhoneAlbumModel *m_model;
    QListView *m_view;
    QLabel *m_title;
    QLabel *m_status;
    QString m_notice;
    bool m_loaded = false;
    bool m_cancelQueued = false;
};
