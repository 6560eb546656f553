#include "link/pages/PhoneAlbumView.h"

#include "fileops/MediaType.h"
#include "imaging/ThumbnailCache.h"
#include "link/DeviceName.h"
#include "link/pages/PhoneAlbumModel.h"
#include "platform/Dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPointer>
#include <QKeyEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr int kSpacing = 6;
constexpr int kCellWidth = 140;
constexpr int kImageBox = 128;
constexpr int kCellHeight = kImageBox + 26;
// A month's header is a tile beside its first thumbnails: a month of one or two photos shares its
// row with the next months instead of taking a band of its own.
constexpr int kHeaderWidth = 92;
// Rows read before the rest: several screens even when the window is maximised.
constexpr int kFirstPart = 600;

// Paints thumbnails and month tiles. A size never asks for a thumbnail.
class AlbumDelegate : public QStyledItemDelegate
{
public:
    explicit AlbumDelegate(QListView *view) : QStyledItemDelegate(view), m_view(view) { }

    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &index) const override
    {
        if (index.data(PhoneAlbumModel::KindRole).toInt() == PhoneAlbumModel::Header)
            return QSize(kHeaderWidth, kCellHeight);
        return QSize(kCellWidth, kCellHeight);
    }

    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        p->save();
        const QRect r = option.rect;
        if (index.data(PhoneAlbumModel::KindRole).toInt() == PhoneAlbumModel::Header) {
            QFont f = option.font;
            f.setBold(true);
            f.setPointSizeF(f.pointSizeF() * 1.15);
            p->setFont(f);
            const QRect tile = r.adjusted(1, 4, -1, -4);
            p->setRenderHint(QPainter::Antialiasing);
            p->setPen(Qt::NoPen);
            p->setBrush(QColor(0xe6, 0xee, 0xfa));
            p->drawRoundedRect(tile, 6, 6);
            p->setBrush(QColor(0x20, 0x50, 0xa0));
            p->drawRect(QRect(tile.left(), tile.top() + 6, 4, tile.height() - 12));
            // "2024年5月  （3 个）": the month, then its count on the next line.
            const QStringList parts = index.data().toString().split(QStringLiteral("  "));
            p->setPen(QColor(0x20, 0x50, 0xa0));
            p->drawText(tile.adjusted(8, 0, -2, 0), Qt::AlignCenter | Qt::TextWordWrap, parts.join(QLatin1Char('\n')));
            p->restore();
            return;
        }
        if (option.state & QStyle::State_Selected) {
            p->setRenderHint(QPainter::Antialiasing);
            p->setPen(Qt::NoPen);
            p->setBrush(option.palette.color(QPalette::Highlight).lighter(160));
            p->drawRoundedRect(r.adjusted(1, 1, -1, -1), 6, 6);
        }
        const QRect box(r.left() + (r.width() - kImageBox) / 2, r.top() + 4, kImageBox, kImageBox);
        const int state = index.data(PhoneAlbumModel::StateRole).toInt();
        if (state == PhoneAlbumModel::Pending) {
            const QImage image = index.data(PhoneAlbumModel::ThumbnailRole).value<QImage>();
            if (image.isNull()) {
                p->fillRect(box.adjusted(8, 8, -8, -8), QColor(0xee, 0xee, 0xee));
            } else {
                QRect target(QPoint(), image.size().scaled(box.size(), Qt::KeepAspectRatio).boundedTo(image.size()));
                target.moveCenter(box.center());
                p->drawImage(target, image);
            }
        } else {
            paintPlaceholder(p, box.adjusted(8, 8, -8, -8), state);
        }
        QFont small = option.font;
        small.setPointSizeF(small.pointSizeF() * 0.9);
        p->setFont(small);
        p->setPen(state == PhoneAlbumModel::Missing ? QColor(0xb0, 0x20, 0x20) : option.palette.color(QPalette::Text));
        const QRect textRect(r.left() + 2, box.bottom() + 3, r.width() - 4, r.bottom() - box.bottom() - 3);
        const QString name = QFontMetrics(small).elidedText(index.data().toString(), Qt::ElideMiddle, textRect.width());
        p->drawText(textRect, Qt::AlignHCenter | Qt::AlignTop, name);
        p->restore();
    }

private:
    static void paintPlaceholder(QPainter *p, const QRect &box, int state)
    {
        p->setRenderHint(QPainter::Antialiasing);
        if (state == PhoneAlbumModel::Video) {
            p->fillRect(box, QColor(0x30, 0x34, 0x3c));
            const QPointF c = box.center();
            p->setPen(Qt::NoPen);
            p->setBrush(QColor(0xf0, 0xf0, 0xf0));
            p->drawPolygon(QPolygonF({c + QPointF(-14, -18), c + QPointF(-14, 18), c + QPointF(18, 0)}));
            p->setPen(QColor(0xf0, 0xf0, 0xf0));
            p->drawText(box.adjusted(0, 0, 0, -6), Qt::AlignHCenter | Qt::AlignBottom, QStringLiteral("视频"));
            return;
        }
        p->fillRect(box, QColor(0xf2, 0xf2, 0xf2));
        p->setPen(QPen(QColor(0xbb, 0xbb, 0xbb), 1, Qt::DashLine));
        p->setBrush(Qt::NoBrush);
        p->drawRect(box.adjusted(0, 0, -1, -1));
        if (state == PhoneAlbumModel::Missing) {
            // A red mark: the file is recorded but no longer on the disk.
            const QRectF mark(box.center().x() - 18, box.center().y() - 26, 36, 36);
            p->setPen(QPen(QColor(0xd0, 0x30, 0x30), 3));
            p->drawEllipse(mark);
            p->drawLine(mark.topLeft() + QPointF(10, 10), mark.bottomRight() - QPointF(10, 10));
            p->drawLine(mark.topRight() + QPointF(-10, 10), mark.bottomLeft() + QPointF(10, -10));
            p->drawText(box.adjusted(0, 0, 0, -8), Qt::AlignHCenter | Qt::AlignBottom, QStringLiteral("文件缺失"));
        } else {
            p->setPen(QColor(0x80, 0x80, 0x80));
            p->drawText(box, Qt::AlignCenter, QStringLiteral("无法预览"));
        }
    }

    QListView *m_view;
};

// What an album may hand to the desktop to open: pictures and videos only, never a link or
// anything that could run. A phone names its files, and the desktop's opener goes by content, so
// the content must be a picture or video this program knows, of the kind its name says.
bool mayOpen(const QString &path, QString *why)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile()) {
        *why = QStringLiteral("文件已不在磁盘上");
        return false;
    }
    const MediaType::Kind named = MediaType::kindForName(path);
    if (named == MediaType::Kind::Unknown) {
        *why = QStringLiteral("不打开这种类型的文件");
        return false;
    }
    if (MediaType::sniffFile(path) != named) {
        *why = named == MediaType::Kind::Picture ? QStringLiteral("文件内容不是可识别的图片，未打开")
                                                 : QStringLiteral("文件内容不是可识别的视频，未打开");
        return false;
    }
    return true;
}

} // namespace

PhoneAlbumView::PhoneAlbumView(const QString &deviceName, const QString &databasePath, ThumbnailCache *cache,
                               QWidget *parent)
    : QWidget(parent, Qt::Window), m_deviceName(deviceName), m_cache(cache ? cache : ThumbnailCache::shared()),
      m_model(new PhoneAlbumModel(m_cache, this)), m_view(new QListView(this)), m_title(new QLabel(this)),
      m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("phoneAlbum"));
    setWindowTitle(QStringLiteral("手机相册 - ") + deviceName);
    resize(1000, 720);

    m_title->setText(QStringLiteral("【%1】的备份").arg(deviceName));
    QFont f = m_title->font();
    f.setPointSize(12);
    f.setBold(true);
    m_title->setFont(f);

    m_view->setModel(m_model);
    m_view->setItemDelegate(new AlbumDelegate(m_view));
    m_view->setViewMode(QListView::ListMode);
    m_view->setFlow(QListView::LeftToRight);
    m_view->setWrapping(true);
    m_view->setResizeMode(QListView::Adjust);
    m_view->setMovement(QListView::Static);
    m_view->setSpacing(kSpacing);
    m_view->setUniformItemSizes(false);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_view->verticalScrollBar()->setSingleStep(kCellHeight / 3);
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 8);
    layout->addWidget(m_title);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_status);

    connect(m_view, &QListView::activated, this, [this](const QModelIndex &index) { openRow(index.row()); });
    connect(m_view->verticalScrollBar(), &QScrollBar::valueChanged, this, &PhoneAlbumView::onScrolled);
    connect(m_model, &PhoneAlbumModel::missingCountChanged, this, &PhoneAlbumView::showStatus);

    m_status->setText(QStringLiteral("正在读取相册…"));
    // The newest rows first, so the first screen does not wait for the whole album; then all of it.
    QPointer<PhoneAlbumView> self(this);
    QThreadPool::globalInstance()->start([self, databasePath] {
        QString error;
        QVector<PhoneAlbumModel::Entry> first = PhoneAlbumModel::readAlbum(databasePath, &error, kFirstPart);
        int firstPhotos = 0;
        for (const PhoneAlbumModel::Entry &e : qAsConst(first))
            firstPhotos += e.kind == PhoneAlbumModel::Photo;
        const bool whole = firstPhotos < kFirstPart;
        QMetaObject::invokeMethod(
            qApp,
            [self, first = std::move(first), whole, error]() mutable {
                if (self)
                    self->showEntries(std::move(first), whole, error);
            },
            Qt::QueuedConnection);
        if (whole)
            return;
        QVector<PhoneAlbumModel::Entry> all = PhoneAlbumModel::readAlbum(databasePath, &error);
        QMetaObject::invokeMethod(
            qApp,
            [self, all = std::move(all), error]() mutable {
                if (self)
                    self->showEntries(std::move(all), true, error);
            },
            Qt::QueuedConnection);
    });
}

void PhoneAlbumView::showEntries(QVector<PhoneAlbumModel::Entry> entries, bool whole, const QString &error)
{
    if (m_model->rowCount() > 0)
        m_model->completeEntries(std::move(entries));
    else
        m_model->setEntries(std::move(entries));
    if (!whole)
        return;
    m_loaded = true;
    if (!error.isEmpty() && m_model->photoCount() == 0)
        m_notice = QStringLiteral("没有可读的备份记录");
    showStatus();
    emit loaded(m_model->photoCount());
}

PhoneAlbumView::~PhoneAlbumView()
{
    // What this window asked for and no longer needs.
    const PhoneAlbumModel *model = m_model;
    m_cache->cancelIf([model](const QString &path) { return !model->pendingRowsOf(path).isEmpty(); });
}

PhoneAlbumView *PhoneAlbumView::showFor(const QString &deviceName, QWidget *owner)
{
    const QList<PhoneAlbumView *> open = owner->findChildren<PhoneAlbumView *>(QString(), Qt::FindDirectChildrenOnly);
    for (PhoneAlbumView *view : open) {
        if (view->deviceName() == deviceName) {
            view->showNormal();
            view->raise();
            view->activateWindow();
            return view;
        }
    }
    auto *view = new PhoneAlbumView(deviceName, DeviceName::databasePath(deviceName), nullptr, owner);
    view->setAttribute(Qt::WA_DeleteOnClose);
    view->show();
    return view;
}

void PhoneAlbumView::attach(QWidget *owner, QAbstractItemView *phones, QAbstractButton *button, int nameColumn)
{
    const auto open = [owner, phones, nameColumn](const QModelIndex &index) {
        if (!index.isValid())
            return;
        const QString name = index.sibling(index.row(), nameColumn).data().toString();
        // The name comes from the device list; one that could not be a file name has no album.
        if (DeviceName::isValid(name))
            showFor(name, owner);
    };
    const auto enable = [phones, button] { button->setEnabled(phones->currentIndex().isValid()); };
    connect(button, &QAbstractButton::clicked, owner, [phones, open] { open(phones->currentIndex()); });
    connect(phones, &QAbstractItemView::doubleClicked, owner, open);
    connect(phones->selectionModel(), &QItemSelectionModel::currentChanged, button, enable);
    connect(phones->model(), &QAbstractItemModel::modelReset, button, enable);
    connect(phones->model(), &QAbstractItemModel::rowsRemoved, button, enable);
    enable();
}

void PhoneAlbumView::keyPressEvent(QKeyEvent *event)
{
    // A window of its own, closed like a dialog.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool PhoneAlbumView::openRow(int row)
{
    if (row < 0 || row >= m_model->rowCount() || m_model->entry(row).kind != PhoneAlbumModel::Photo)
        return false;
    const PhoneAlbumModel::Entry &e = m_model->entry(row);
    QString why;
    if (!mayOpen(e.path, &why)) {
        m_notice = e.text + QStringLiteral("：") + why;
        showStatus();
        Dialogs::message(this, Dialogs::Warning, QStringLiteral("无法打开文件"), m_notice);
        return false;
    }
    const bool ok = QDesktopServices::openUrl(QUrl::fromLocalFile(e.path));
    m_notice = ok ? QString() : e.text + QStringLiteral("：没有能打开它的程序");
    showStatus();
    return ok;
}

void PhoneAlbumView::onScrolled()
{
    // Scrolling fires many times per frame; one sweep per turn of the event loop is enough.
    if (m_cancelQueued)
        return;
    m_cancelQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_cancelQueued = false;
        const QRect shown = m_view->viewport()->rect();
        m_cache->cancelIf([this, shown](const QString &path) {
            const QList<int> rows = m_model->pendingRowsOf(path);
            if (rows.isEmpty())
                return false; // another window's request
            for (const int row : rows) {
                if (m_view->visualRect(m_model->index(row)).intersects(shown))
                    return false;
            }
            return true;
        });
    });
}

void PhoneAlbumView::showStatus()
{
    if (!m_loaded)
        return;
    QString text;
    if (m_model->photoCount() == 0) {
        text = QStringLiteral("这部手机还没有备份的文件。");
    } else {
        text = QStringLiteral("共 %1 个文件").arg(m_model->photoCount());
        if (m_model->missingCount() > 0)
            text += QStringLiteral("，已发现 %1 个不在磁盘上（红色标记）").arg(m_model->missingCount());
        text += QStringLiteral("。双击打开文件。");
    }
    if (!m_notice.isEmpty())
        text += QStringLiteral("  ") + m_notice;
    m_status->setText(text);
}
