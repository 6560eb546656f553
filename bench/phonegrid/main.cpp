// Opening and scrolling a phone's album window over 20,000 backed-up photos.
//
// Generates (once, kept in the folder) real 640x480 JPEGs spread over three years, a few recorded
// but gone from the disk and a few videos, and the phone's album database with their rows. Then,
// in alternating rounds, each with a fresh thumbnail cache object:
//   cached    the per-user thumbnail cache on disk is warm (as at a second opening)
//   decode    the same window decoding every thumbnail from the photo, no disk cache
// Each round prints the time until the first screen shows all its thumbnails and until the whole
// album is listed (both from the window's construction); while the grid is scrolled from top to
// bottom one screen per 16 ms frame, the longest gap between ticks of a 5 ms GUI timer, the same
// without the time the GUI thread was runnable but waiting for a CPU (on a loaded machine, time
// other processes took), and the longest CPU time of one paint of the view; then the time until
// the last screen is complete and the round's peak memory (VmHWM, reset before each round).
// Medians of the rounds are printed at the end, after one thumbnail's cost from the disk cache
// against decoding it from the photo.
//
// Usage: QT_QPA_PLATFORM=offscreen bench_phonegrid [--dir D] [--count N] [--rounds R]
//        xvfb-run -a env QT_QPA_PLATFORM=xcb bench_phonegrid --screenshot OUTDIR [--dir D]
#include "bench/BenchSupport.h"

#include "backup/LocalDataBase.h"
#include "imaging/ThumbnailCache.h"
#include "link/pages/PhoneAlbumModel.h"
#include "link/pages/PhoneAlbumView.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QtMath>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QThreadPool>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <malloc.h>
#include <ctime>

namespace {

QTextStream out(stdout);
const QString kDevice = QStringLiteral("bench-phone");

using BenchSupport::vmHwmKiB;

// Peak memory from here on: writing 5 to clear_refs resets VmHWM to the current RSS.
void resetPeak()
{
    // Memory freed by the previous round goes back to the system first, so it is not counted again.
    malloc_trim(0);
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// Time the calling thread has spent runnable but waiting for a CPU (the scheduler's own count):
// on a loaded machine, the part of a stall that other processes took.
qint64 runqueueWaitNs()
{
    QFile f(QStringLiteral("/proc/thread-self/schedstat"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() : 0;
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll().split(' ').mid(0, 3).join(' ')) : QString();
}

double median(QVector<double> v)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v.at(v.size() / 2) : (v.at(v.size() / 2 - 1) + v.at(v.size() / 2)) / 2;
}

// A landscape that differs from photo to photo: sky, sun, hills and a few houses.
QImage paintPhoto(int i)
{
    QImage img(640, 480, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const int hue = (i * 37) % 360;
    QLinearGradient sky(0, 0, 0, 300);
    sky.setColorAt(0, QColor::fromHsv(200 + (i % 40), 150, 230));
    sky.setColorAt(1, QColor::fromHsv((hue + 20) % 360, 60, 250));
    p.fillRect(img.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 220 - (i % 60), 120));
    p.drawEllipse(QPointF(80 + (i * 53) % 480, 60 + (i * 17) % 120), 34, 34);
    for (int layer = 0; layer < 3; ++layer) {
        QPainterPath hill;
        hill.moveTo(0, 480);
        for (int x = 0; x <= 640; x += 40) {
            const double y = 260 + layer * 60 + 40 * qSin((x + i * 13 + layer * 90) / (70.0 + layer * 25));
            hill.lineTo(x, y);
        }
        hill.lineTo(640, 480);
        p.setBrush(QColor::fromHsv((90 + hue / 4 + layer * 15) % 360, 120 + layer * 30, 170 - layer * 40));
        p.drawPath(hill);
    }
    for (int h = 0; h < 1 + i % 4; ++h) {
        const int x = 60 + ((i + h * 131) * 71) % 520, y = 330 + (h * 23) % 60;
        p.setBrush(QColor::fromHsv((hue + h * 90) % 360, 160, 220));
        p.drawRect(x, y, 46, 36);
        p.setBrush(QColor(150, 50, 40));
        p.drawPolygon(QPolygonF({QPointF(x - 6, y), QPointF(x + 23, y - 24), QPointF(x + 52, y)}));
    }
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setPixelSize(22);
    p.setFont(f);
    p.drawText(QRect(0, 440, 630, 34), Qt::AlignRight, QStringLiteral("IMG_%1").arg(i, 5, 10, QLatin1Char('0')));
    return img;
}

struct Album
{
    QString dbPath;
    QStringList photos; // the ones present on disk
};

// Every 100th file is recorded but absent; every 250th is a video.
Album prepare(const QString &dir, int count)
{
    Album album;
    album.dbPath = dir + QStringLiteral("/program/") + kDevice + QStringLiteral(".db");
    const QDateTime newest(QDate(2026, 11, 30), QTime(18, 0));
    struct Row
    {
        QString name, path, time;
        bool present, video;
    };
    QVector<Row> rows(count);
    for (int i = 0; i < count; ++i) {
        Row &r = rows[i];
        const QDateTime t = newest.addSecs(-qint64(i) * 4700);
        r.video = i % 250 == 7;
        r.present = i % 100 != 3;
        r.name = QStringLiteral("%1_%2.%3")
                     .arg(QLatin1String(r.video ? "VID" : "IMG"))
                     .arg(i, 5, 10, QLatin1Char('0'))
                     .arg(QLatin1String(r.video ? "mp4" : "jpg"));
        r.path = dir + QStringLiteral("/photos/") + t.toString(QStringLiteral("yyyy/MM/")) + r.name;
        r.time = t.toString(Qt::ISODate);
        if (r.present && !r.video)
            album.photos << r.path;
    }

    // Photos first, on the pool; existing ones are kept from an earlier run.
    QElapsedTimer clock;
    clock.start();
    std::atomic<int> made{0};
    QThreadPool pool;
    pool.setMaxThreadCount(QThread::idealThreadCount());
    for (int start = 0; start < count; start += 200) {
        pool.start([&rows, &made, start, count] {
            for (int i = start; i < qMin(count, start + 200); ++i) {
                const Row &r = rows.at(i);
                if (!r.present || QFile::exists(r.path))
                    continue;
                QDir().mkpath(QFileInfo(r.path).absolutePath());
                if (r.video) {
                    QFile f(r.path);
                    if (f.open(QIODevice::WriteOnly))
                        f.write(QByteArray(50000, 'v'));
                } else {
                    paintPhoto(i).save(r.path, "JPEG", 82);
                }
                ++made;
            }
        });
    }
    pool.waitForDone();
    if (made > 0)
        out << "generated " << made << " files in " << clock.elapsed() / 1000.0 << " s" << Qt::endl;

    if (QFile::exists(album.dbPath))
        return album;
    QDir().mkpath(QFileInfo(album.dbPath).absolutePath());
    {
        // The table as the program makes it, then the rows in one transaction.
        LocalDataBase db(album.dbPath);
        db.insertRecord(rows.at(0).name, rows.at(0).path, 1, QStringLiteral("0"), kDevice, 1, QString(),
                        rows.at(0).time, QStringLiteral("/DCIM/") + rows.at(0).name);
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-fill"));
        db.setDatabaseName(album.dbPath);
        db.open();
        db.transaction();
        QSqlQuery q(db);
        q.prepare(QStringLiteral("insert into albumlist values(null,?,?,?,?,?,?,?,?,1,?)"));
        for (int i = 1; i < count; ++i) {
            const Row &r = rows.at(i);
            const QVariantList values{r.name,
                                      r.path,
                                      300000 + i,
                                      QString::number(i),
                                      kDevice,
                                      r.time,
                                      4,
                                      QString(),
                                      QString(QStringLiteral("/DCIM/") + r.name)};
            for (int v = 0; v < values.size(); ++v)
                q.bindValue(v, values.at(v));
            if (!q.exec())
                out << "insert failed: " << q.lastError().text() << Qt::endl;
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-fill"));
    return album;
}

// True when every photo item on screen shows its thumbnail or its final placeholder.
bool screenComplete(PhoneAlbumView &view)
{
    if (view.model()->rowCount() == 0)
        return false;
    QListView *list = view.listView();
    PhoneAlbumModel *model = view.model();
    const QRect shown = list->viewport()->rect();
    const QModelIndex first =
        list->indexAt(QPoint(12, 12)).isValid() ? list->indexAt(QPoint(12, 12)) : list->indexAt(QPoint(12, 50));
    int row = first.isValid() ? qMax(0, first.row() - 12) : 0;
    for (; row < model->rowCount(); ++row) {
        const QRect r = list->visualRect(model->index(row));
        if (r.top() > shown.bottom())
            break;
        if (!r.intersects(shown))
            continue;
        const PhoneAlbumModel::Entry &e = model->entry(row);
        if (e.kind == PhoneAlbumModel::Photo && e.state == PhoneAlbumModel::Pending &&
            model->cache()->cached(e.path).isNull())
            return false;
    }
    return true;
}

// Runs the event loop (sleeping when it has nothing to do, as a real one does) until done() holds,
// checked every millisecond.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    loop.exec();
    return done();
}

// The longest CPU time the view spent painting itself once (its own work, whatever the load).
class PaintClock : public QObject
{
public:
    double longestMs = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint)
            return false;
        timespec a{}, b{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        static_cast<QWidget *>(watched)->removeEventFilter(this);
        QCoreApplication::sendEvent(watched, event);
        watched->installEventFilter(this);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        longestMs = qMax(longestMs, (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6);
        return true;
    }
};

struct Round
{
    double listMs = -1;
    double firstScreenMs = -1;
    double stallMs = -1;
    double ownMs = -1;
    double paintMs = -1;
    double scrollMs = -1;
    double lastScreenMs = -1;
    qint64 peakKiB = -1;
};

Round runRound(const QString &dbPath, bool useDisk)
{
    Round r;
    QCoreApplication::processEvents();
    resetPeak();
    ThumbnailCache::Options o;
    o.useDisk = useDisk;
    ThumbnailCache cache(o);

    QElapsedTimer clock;
    clock.start();
    PhoneAlbumView view(kDevice, dbPath, &cache);
    view.resize(1000, 720);
    view.show();
    if (!waitUntil([&] { return screenComplete(view); }, 30000)) {
        out << "first screen never completed" << Qt::endl;
        return r;
    }
    view.listView()->viewport()->repaint();
    r.firstScreenMs = clock.nsecsElapsed() / 1e6;
    waitUntil([&] { return view.isLoaded(); }, 30000);
    r.listMs = clock.nsecsElapsed() / 1e6;

    // Scroll one screen per frame, and listen for the GUI thread's heartbeat meanwhile.
    QScrollBar *bar = view.listView()->verticalScrollBar();
    QElapsedTimer beat;
    qint64 last = 0, longest = 0, lastWait = runqueueWaitNs(), longestOwn = 0;
    QTimer heart;
    heart.setTimerType(Qt::PreciseTimer);
    heart.setInterval(5);
    QObject::connect(&heart, &QTimer::timeout, [&] {
        const qint64 now = beat.nsecsElapsed();
        const qint64 wait = runqueueWaitNs();
        longest = qMax(longest, now - last);
        longestOwn = qMax(longestOwn, now - last - (wait - lastWait));
        last = now;
        lastWait = wait;
    });
    PaintClock paints;
    view.listView()->viewport()->installEventFilter(&paints);
    QTimer step;
    step.setTimerType(Qt::PreciseTimer);
    step.setInterval(16);
    QObject::connect(&step, &QTimer::timeout, [&] { bar->setValue(bar->value() + bar->pageStep()); });
    beat.start();
    heart.start();
    step.start();
    const bool reached = waitUntil([&] { return bar->value() >= bar->maximum(); }, 120000);
    step.stop();
    r.scrollMs = beat.nsecsElapsed() / 1e6;
    const bool completed = waitUntil([&] { return screenComplete(view); }, 30000);
    heart.stop();
    r.lastScreenMs = beat.nsecsElapsed() / 1e6 - r.scrollMs;
    r.stallMs = double(qMax(longest, beat.nsecsElapsed() - last)) / 1e6;
    r.ownMs = double(longestOwn) / 1e6;
    r.paintMs = paints.longestMs;
    if (!reached || !completed)
        out << "scroll did not finish" << Qt::endl;
    r.peakKiB = vmHwmKiB();
    return r;
}

int screenshots(const Album &album, const QString &outDir)
{
    QDir().mkpath(outDir);
    ThumbnailCache cache;
    PhoneAlbumView view(kDevice, album.dbPath, &cache);
    view.resize(1000, 720);
    view.show();
    waitUntil([&] { return screenComplete(view); }, 30000);
    QTimer::singleShot(300, [] {});
    waitUntil([] { return false; }, 300);
    view.grab().save(outDir + QStringLiteral("/phonegrid-top.png"));
    // Down to a month boundary with a missing file and a video on screen.
    PhoneAlbumModel *m = view.model();
    int target = 0;
    for (int row = 0; row < m->rowCount(); ++row) {
        if (m->entry(row).kind == PhoneAlbumModel::Header && row > 700) {
            target = row;
            break;
        }
    }
    view.listView()->scrollTo(m->index(target), QAbstractItemView::PositionAtCenter);
    view.listView()->setCurrentIndex(m->index(target + 2));
    waitUntil([&] { return screenComplete(view); }, 30000);
    waitUntil([] { return false; }, 300);
    view.grab().save(outDir + QStringLiteral("/phonegrid-month.png"));
    out << "screenshots in " << outDir << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QString dir = QDir::tempPath() + QStringLiteral("/vanteo-bench-phonegrid");
    int count = 20000;
    int rounds = 3;
    QString shots;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args.at(i);
        const QString next = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (a == QLatin1String("--dir") && !next.isEmpty())
            dir = args.at(++i);
        else if (a == QLatin1String("--count") && next.toInt() > 0)
            count = args.at(++i).toInt();
        else if (a == QLatin1String("--rounds") && next.toInt() > 0)
            rounds = args.at(++i).toInt();
        else if (a == QLatin1String("--screenshot") && !next.isEmpty())
            shots = args.at(++i);
        else {
            out << "usage: bench_phonegrid [--dir D] [--count N] [--rounds R] [--screenshot OUTDIR]" << Qt::endl;
            return 2;
        }
    }
    // The thumbnails go to a cache of the benchmark's own, never the user's.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir + QStringLiteral("/cache")));
    const Album album = prepare(dir, count);
    if (!shots.isEmpty())
        return screenshots(album, shots);
    // Warm the disk cache: what the first opening of this phone leaves behind.
    QElapsedTimer clock;
    clock.start();
    {
        std::atomic<int> made{0};
        QThreadPool pool;
        pool.setMaxThreadCount(2);
        ThumbnailCache::Options o;
        for (int start = 0; start < album.photos.size(); start += 100) {
            pool.start([&album, &made, &o, start] {
                for (int i = start; i < qMin(album.photos.size(), start + 100); ++i) {
                    if (ThumbnailCache::load(album.photos.at(i), o).kind == ThumbnailCache::Result::Made)
                        ++made;
                }
            });
        }
        pool.waitForDone();
        out << "disk cache: " << made << " of " << album.photos.size() << " thumbnails made in "
            << clock.elapsed() / 1000.0 << " s (2 threads)" << Qt::endl;
    }

    // One thumbnail's cost on one thread: read from the disk cache against decoded from the photo.
    {
        QVector<double> each[2];
        const int n = qMin(300, album.photos.size());
        for (int round = 0; round < 6; ++round) {
            const bool disk = round % 2 == 0;
            ThumbnailCache::Options o;
            o.useDisk = disk;
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < n; ++i)
                ThumbnailCache::load(album.photos.at((round / 2) * n + i), o);
            each[disk ? 0 : 1] << t.nsecsElapsed() / 1e6 / n;
        }
        out << "one thumbnail (median of 3 alternating rounds of " << n << "): from the disk cache "
            << QString::number(median(each[0]), 'f', 2) << " ms, decoded from the 640x480 JPEG "
            << QString::number(median(each[1]), 'f', 2) << " ms" << Qt::endl;
    }

    out << "photos " << count << " (" << album.photos.size() << " on disk), window 1000x720, " << rounds
        << " alternating rounds" << Qt::endl;
    out << "load average at start: " << loadAverage() << Qt::endl;
    out << "round  variant  whole-list-ms  first-screen-ms  longest-stall-ms  without-CPU-wait  paint-cpu-ms  "
           "scroll-ms  last-screen-ms  peak-MiB"
        << Qt::endl;
    QVector<double> list[2], first[2], stall[2], own[2], paint[2], last[2], peak[2];
    for (int round = 0; round < rounds; ++round) {
        for (int v = 0; v < 2; ++v) {
            const bool cached = (round % 2 == 0) ? v == 0 : v == 1;
            const Round r = runRound(album.dbPath, cached);
            const int k = cached ? 0 : 1;
            list[k] << r.listMs;
            first[k] << r.firstScreenMs;
            stall[k] << r.stallMs;
            own[k] << r.ownMs;
            paint[k] << r.paintMs;
            last[k] << r.lastScreenMs;
            peak[k] << r.peakKiB / 1024.0;
            out << qSetFieldWidth(0) << round + 1 << "      " << (cached ? "cached " : "decode ") << "  "
                << QString::number(r.listMs, 'f', 1).rightJustified(13) << "  "
                << QString::number(r.firstScreenMs, 'f', 1).rightJustified(15) << "  "
                << QString::number(r.stallMs, 'f', 1).rightJustified(16) << "  "
                << QString::number(r.ownMs, 'f', 1).rightJustified(16) << "  "
                << QString::number(r.paintMs, 'f', 1).rightJustified(13) << "  "
                << QString::number(r.scrollMs, 'f', 0).rightJustified(9) << "  "
                << QString::number(r.lastScreenMs, 'f', 1).rightJustified(14) << "  "
                << QString::number(r.peakKiB / 1024.0, 'f', 1).rightJustified(8) << Qt::endl;
        }
    }
    out << "load average at end: " << loadAverage() << Qt::endl;
    const char *names[2] = {"cached", "decode"};
    for (int k = 0; k < 2; ++k) {
        out << "median " << names[k] << ": first screen " << QString::number(median(first[k]), 'f', 1)
            << " ms, longest stall " << QString::number(median(stall[k]), 'f', 1)
            << " ms (not counting time waiting for a CPU: " << QString::number(median(own[k]), 'f', 1)
            << " ms; longest paint, CPU time " << QString::number(median(paint[k]), 'f', 1) << " ms), last screen "
            << QString::number(median(last[k]), 'f', 1) << " ms, peak " << QString::number(median(peak[k]), 'f', 1)
            << " MiB, whole album listed " << QString::number(median(list[k]), 'f', 1) << " ms" << Qt::endl;
    }
    const bool ok = median(first[0]) <= 300 && median(stall[0]) <= 50;
    out << "targets (first screen <= 300 ms warm, stall <= 50 ms): " << (ok ? "met" : "NOT met") << Qt::endl;
    return ok ? 0 : 1;
}
