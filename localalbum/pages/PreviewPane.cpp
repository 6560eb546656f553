#include "localalbum/pages/PreviewPane.h"

#include "imaging/SafeImage.h"
#include "localalbum/CaptureTime.h"
#include "localalbum/LocalOrganiser.h"
#include "localalbum/pages/DateSourceLabel.h"

#include <QFileInfo>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QLoggingCategory>
#include <QScreen>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThreadPool>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

Q_LOGGING_CATEGORY(lcPreview, "vanteo.localalbum.preview", QtWarningMsg)

namespace {

// Never deleted: a job stuck on a hung disk must not hold up the page's or the program's end.
QThreadPool *previewPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(2);
        p->setExpiryTimeout(5000);
        return p;
    }();
    return pool;
}

// The newest album record naming path as its copy or as its source.
bool lookUp(const QString &dbPath, const QString &path, QString *source, QString *organised)
{
    if (dbPath.isEmpty() || !QFileInfo::exists(dbPath))
        return false;
    static std::atomic<quint64> connections{0};
    const QString name = QStringLiteral("vanteo-preview-%1").arg(++connections);
    bool found = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dbPath);
        // Read-only, so the preview can never create or change the album's database.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=500"));
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("select localpath, fromdev from albumlist where localpath = ? or fromdev = ? "
                                     "order by id desc limit 1"));
            q.addBindValue(path);
            q.addBindValue(path);
            if (q.exec() && q.next()) {
                *organised = q.value(0).toString();
                *source = q.value(1).toString();
                found = true;
            }
        } else {
            qCDebug(lcPreview) << "album database not readable" << dbPath;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return found;
}

QString sizeText(qint64 size)
{
    if (size < 0)
        return QStringLiteral("文件不存在");
    const QLocale locale;
    // Word joiners: a narrow pane may break the line before the unit, never inside it.
    return QStringLiteral("%1（%2 字\u2060节）")
        .arg(locale.formattedDataSize(size, 1, QLocale::DataSizeTraditionalFormat), locale.toString(size));
}

QLineEdit *pathField(QWidget *parent)
{
    // Read-only fields: a long path scrolls instead of widening the page, and can be copied.
    auto *e = new QLineEdit(parent);
    e->setReadOnly(true);
    e->setFrame(false);
    e->setFocusPolicy(Qt::ClickFocus);
    return e;
}

} // namespace

PreviewPane::PreviewPane(QWidget *parent) : QWidget(parent), m_latest(std::make_shared<std::atomic<quint64>>(0))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The pane asks for a useful width but needs none (see minimumSizeHint()).
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("previewPicture"));
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setWordWrap(true); // its notes fit a narrow pane
    m_picture->setMinimumSize(0, 90);
    // The picture follows the space the layout gives, never the other way round.
    m_picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_picture->setFrameShape(QFrame::StyledPanel);
    layout->addWidget(m_picture, 1);

    m_details = new QWidget(this);
    auto *details = new QVBoxLayout(m_details);
    details->setContentsMargins(0, 0, 0, 0);
    auto *form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_time = new QLabel(m_details);
    m_timeSource = new QLabel(m_details);
    m_size = new QLabel(m_details);
    m_source = pathField(m_details);
    m_organised = pathField(m_details);
    // The pane's width follows the window, never the text shown: no window that widens on a click.
    for (QLabel *l : {m_time, m_timeSource, m_size}) {
        l->setWordWrap(true);
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    m_time->setObjectName(QStringLiteral("previewTime"));
    m_timeSource->setObjectName(QStringLiteral("previewTimeSource"));
    m_size->setObjectName(QStringLiteral("previewSize"));
    m_source->setObjectName(QStringLiteral("previewSource"));
    m_organised->setObjectName(QStringLiteral("previewOrganised"));
    form->addRow(QStringLiteral("拍摄时间："), m_time);
    form->addRow(QStringLiteral("时间来源："), m_timeSource);
    form->addRow(QStringLiteral("文件大小："), m_size);
    details->addLayout(form);
    // The paths get the pane's whole width, each under its name.
    details->addWidget(new QLabel(QStringLiteral("源文件："), m_details));
    details->addWidget(m_source);
    details->addWidget(new QLabel(QStringLiteral("整理后："), m_details));
    details->addWidget(m_organised);
    layout->addWidget(m_details);
    clear();
}

PreviewPane::~PreviewPane()
{
    // Running jobs see they are stale and stop early; their results go nowhere.
    m_latest->store(++m_requests);
}

QSize PreviewPane::sizeHint() const
{
    return QSize(300, QWidget::sizeHint().height());
}

QSize PreviewPane::minimumSizeHint() const
{
    // No width of its own: the page still fits an 800-pixel screen, and a larger or maximised
    // window gives the picture the room it has.
    return QSize(0, QWidget::minimumSizeHint().height());
}

void PreviewPane::clear()
{
    m_latest->store(++m_requests);
    m_data = PreviewData();
    m_picture->setPixmap(QPixmap());
    m_picture->setText(QStringLiteral("选择一行查看预览"));
    for (QLabel *l : {m_time, m_timeSource, m_size})
        l->clear();
    m_source->clear();
    m_organised->clear();
}

bool PreviewPane::hasPicture() const
{
    return !m_data.image.isNull();
}

void PreviewPane::showFile(const QString &path, const OrganiseEntry &known)
{
    const quint64 request = ++m_requests;
    m_latest->store(request);
    m_picture->setPixmap(QPixmap());
    m_picture->setText(QStringLiteral("正在读取…"));

    // Decoded once at the largest size the pane can take on this screen (at most 2560 pixels a
    // side, about 26 MB), so resizing only rescales.
    QSize fit(1920, 1920);
    if (QScreen *s = screen())
        fit = (s->availableSize() * s->devicePixelRatio()).boundedTo(QSize(2560, 2560));

    const std::shared_ptr<std::atomic<quint64>> latest = m_latest;
    const QString dbPath = m_dbPath;
    const QString root = m_organisedRoot;
    auto *watcher = new QFutureWatcher<PreviewData>(this);
    connect(watcher, &QFutureWatcher<PreviewData>::finished, this, [this, watcher] {
        const PreviewData data = watcher->result();
        watcher->deleteLater();
        if (!data.stale && data.request == m_requests)
            present(data);
    });
    watcher->setFuture(QtConcurrent::run(previewPool(), [=] {
        if (latest->load() != request) {
            PreviewData stale;
            stale.request = request;
            stale.stale = true;
            return stale;
        }
        PreviewData data = gather(path, known, dbPath, root, fit);
        data.request = request;
        return data;
    }));
}

PreviewData PreviewPane::gather(const QString &path, const OrganiseEntry &known, const QString &dbPath,
                                const QString &organisedRoot, const QSize &fit)
{
    PreviewData d;
    d.shown = path;
    if (!known.source.isEmpty()) {
        d.source = known.source;
        if (known.result == OrganiseEntry::Result::Copied || known.result == OrganiseEntry::Result::Duplicate)
            d.organised = known.target;
        // Content organised in an earlier run: its copy is the one the album records for this source.
        QString recordedSource;
        if (d.organised.isEmpty() && known.result == OrganiseEntry::Result::Duplicate)
            lookUp(dbPath, known.source, &recordedSource, &d.organised);
    } else if (!lookUp(dbPath, path, &d.source, &d.organised)) {
        const bool underRoot = !organisedRoot.isEmpty() && path.startsWith(organisedRoot + QLatin1Char('/'));
        (underRoot ? d.organised : d.source) = path;
    }

    // A source moved or deleted since is still shown from its organised copy.
    QFileInfo info(path);
    if (!info.isFile() && !d.organised.isEmpty() && QFileInfo(d.organised).isFile())
        info = QFileInfo(d.organised);
    const QString file = info.filePath();
    d.size = info.isFile() ? info.size() : -1;
    d.video = LocalOrganiser::isVideoSuffix(info.suffix());

    if (known.captureTime.isValid()) {
        d.captureTime = known.captureTime;
        d.timeSource = known.dateSource;
    } else if (d.size >= 0) {
        // The source's own time is the one the organiser went by; a copy's file time may differ.
        const QString timeFile = !d.source.isEmpty() && QFileInfo(d.source).isFile() ? d.source : file;
        const CaptureTime t = CaptureTimes::read(timeFile);
        d.captureTime = t.time;
        d.timeSource = t.source;
    }

    if (d.size < 0) {
        d.why = QStringLiteral("文件不存在");
    } else if (d.video) {
        d.why = QStringLiteral("视频文件");
    } else {
        SafeImage::Options options;
        options.fitWithin = fit;
        // JPEGs are decoded at the reduced size; a PNG is decoded whole before it is scaled, so
        // its budget is kept to about 120 MB of pixels per preview.
        if (SafeImage::formatForName(file) == SafeImage::Format::Png)
            options.maxPixels = qMin(options.maxPixels, qint64(30) * 1000 * 1000);
        QString why;
        d.image = SafeImage::load(file, options, &why);
        if (d.image.isNull()) {
            qCDebug(lcPreview) << "no preview" << file << why;
            d.why = QStringLiteral("无法显示此图片");
        }
    }
    return d;
}

void PreviewPane::present(const PreviewData &data)
{
    m_data = data;
    m_time->setText(data.captureTime.isValid() ? data.captureTime.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                                               : QStringLiteral("未知"));
    m_timeSource->setText(data.timeSource.isEmpty() ? QStringLiteral("未知") : dateSourceLabel(data.timeSource));
    m_size->setText(sizeText(data.size));
    m_source->setText(data.source.isEmpty() ? QStringLiteral("未记录") : data.source);
    m_organised->setText(data.organised.isEmpty() ? QStringLiteral("未整理") : data.organised);
    // The end of a path that does not fit: the file name and its date folders.
    m_source->setCursorPosition(m_source->text().size());
    m_organised->setCursorPosition(m_organised->text().size());
    m_source->setToolTip(data.source);
    m_organised->setToolTip(data.organised);
    updatePicture();
    emit previewShown(data.shown);
}

void PreviewPane::updatePicture()
{
    if (m_data.image.isNull()) {
        m_picture->setPixmap(QPixmap());
        if (m_data.video && m_data.size >= 0)
            m_picture->setText(QStringLiteral("视频文件\n%1").arg(sizeText(m_data.size)));
        else
            m_picture->setText(m_data.shown.isEmpty() ? QStringLiteral("选择一行查看预览") : m_data.why);
        return;
    }
    const qreal dpr = devicePixelRatioF();
    const QSize box = m_picture->contentsRect().size() * dpr;
    QImage shown = m_data.image;
    // Never enlarged: a small picture is shown at its own size.
    if (box.isValid() && (shown.width() > box.width() || shown.height() > box.height()))
        shown = shown.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPixmap pixmap = QPixmap::fromImage(shown);
    pixmap.setDevicePixelRatio(dpr);
    m_picture->setPixmap(pixmap);
}

void PreviewPane::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // In a window too narrow for the texts only the picture is shown; they come back with the room.
    m_details->setVisible(width() >= kDetailsWidth);
    if (!m_data.image.isNull())
        updatePicture();
}
