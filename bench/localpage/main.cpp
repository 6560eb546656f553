// Opening the local album page over an album of N organised files (default 100,000).
//
// The database listing checks every file and sends each one to the page; the page must stay
// responsive meanwhile and end up with the whole list. Three runs, each in a child process of
// its own so that peak memory (VmHWM) is its own:
//   baseline  the bare listing: LocalDataBase::startScan with a queued no-op receiver
//   perfile   a table, page label and page box fed by one queued call per file, as a page
//             without the name feed would be
//   page      LocalForm itself, shown, from its construction to the end marker
// Each prints the time to the end marker, the longest gap between ticks of a 10 ms timer on
// the GUI thread while the list arrives, and VmHWM; "start" is the time until the listing runs
// (for the page: its constructor and first paint, which no design can spread out).
//
// Usage: QT_QPA_PLATFORM=offscreen bench_localpage [files]
#include "bench/BenchSupport.h"

#include "backup/LocalDataBase.h"
#include "localalbum/pages/LocalForm.h"
#include "localalbum/pages/TableViewPage.h"
#include "platform/AppPaths.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace {

QTextStream out(stdout);

using BenchSupport::vmHwmKiB;

// Longest gap between ticks of a 10 ms timer on the GUI thread.
class Heartbeat : public QObject
{
public:
    Heartbeat()
    {
        m_timer.setInterval(10);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longest = qMax(m_longest, now - m_last);
            m_last = now;
        });
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_longest = 0;
        m_timer.start();
    }
    // Counts the gap still open at the end too.
    double longestMs()
    {
        const qint64 now = m_clock.nsecsElapsed();
        return double(qMax(m_longest, now - m_last)) / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

bool makeAlbum(const QString &dir, int files)
{
    const QString tree = dir + QStringLiteral("/organised");
    QStringList paths;
    paths.reserve(files);
    for (int i = 0; i < files; ++i) {
        const QString folder = tree + QStringLiteral("/%1").arg(i / 1000, 3, 10, QLatin1Char('0'));
        if (i % 1000 == 0 && !QDir().mkpath(folder))
            return false;
        const QString p = folder + QStringLiteral("/IMG_%1.jpg").arg(i, 6, 10, QLatin1Char('0'));
        QFile f(p);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        paths << p;
    }
    const QString dbPath = dir + QStringLiteral("/localfiles.db");
    {
        // The table as the album database makes it, then one transaction for all rows.
        LocalDataBase db(dbPath);
        if (db.insertRecord(QStringLiteral("IMG_000000.jpg"), paths.first(), 0, QStringLiteral("0"),
                            QStringLiteral("/src"), 1, QString(), QStringLiteral("2020-01-01 00:00:00"),
                            QString()) != 1)
            return false;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
        db.setDatabaseName(dbPath);
        if (!db.open() || !db.transaction())
            return false;
        QSqlQuery q(db);
        if (!q.prepare(
                QStringLiteral("insert into albumlist values(NULL,?,?,0,?,'/src','2020-01-01 00:00:00',1,'',1,'')")))
            return false;
        for (int i = 1; i < files; ++i) {
            q.addBindValue(QFileInfo(paths.at(i)).fileName());
            q.addBindValue(paths.at(i));
            q.addBindValue(QStringLiteral("%1").arg(i, 32, 16, QLatin1Char('0')));
            if (!q.exec()) {
                out << "insert failed: " << q.lastError().text() << "\n";
                return false;
            }
        }
        q.finish();
        if (!db.commit())
            return false;
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return true;
}

struct Result
{
    double constructMs = 0; // until the listing runs (the page's constructor and first show)
    double ms = 0;
    double stallMs = 0;
    int files = 0;
};

// In the program the main window has painted Chinese text before the page opens; the fonts'
// first load is not the page's cost.
void warmUpFonts()
{
    QLabel warm(QStringLiteral("已整理文件总数 页码 1/1 开始全盘搜索 total"));
    warm.show();
    warm.grab();
    QCoreApplication::processEvents();
}

// Starts the listing as the page does and runs events until the receiver sets done; the times
// count from t, which the caller started together with beat. Deletes db.
void scanToEnd(LocalDataBase *db, const QElapsedTimer &t, Heartbeat &beat, const bool &done, Result &r)
{
    db->countExistFiles();
    db->startScan();
    r.constructMs = double(t.nsecsElapsed()) / 1e6;
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    r.ms = double(t.nsecsElapsed()) / 1e6;
    r.stallMs = beat.longestMs();
    delete db;
}

Result runBaseline(const QString &dir)
{
    Result r;
    QObject receiver;
    bool done = false;
    auto *db = new LocalDataBase(dir + QStringLiteral("/localfiles.db"));
    QObject::connect(
        db, &LocalDataBase::setFileName, &receiver,
        [&](int order, const QString &name) {
            if (name.isEmpty()) {
                r.files = order;
                done = true;
            }
        },
        Qt::QueuedConnection);
    Heartbeat beat;
    QElapsedTimer t;
    beat.start();
    t.start();
    scanToEnd(db, t, beat, done, r);
    return r;
}

// What the page does per file (append, page label, page box), fed one queued call per file.
Result runPerFile(const QString &dir)
{
    Result r;
    warmUpFonts();
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *table = new TableViewPage(&window);
    auto *label = new QLabel(&window);
    auto *box = new QComboBox(&window);
    layout->addWidget(table);
    layout->addWidget(label);
    layout->addWidget(box);
    window.resize(800, 520);
    window.show();
    QCoreApplication::processEvents();
    int pageItems = 0;
    bool done = false;
    Heartbeat beat;
    QElapsedTimer t;
    beat.start();
    t.start();
    auto *db = new LocalDataBase(dir + QStringLiteral("/localfiles.db"));
    QObject::connect(
        db, &LocalDataBase::setFileName, &window,
        [&](int order, const QString &name) {
            if (!name.isEmpty())
                table->appendFile(order, name);
            const int pages = table->totalPage();
            label->setText(QStringLiteral("页码 %1/%2").arg(table->getCurrentPage()).arg(pages));
            while (pageItems < pages)
                box->addItem(QString::number(++pageItems));
            if (name.isEmpty()) {
                r.files = table->getFileNumbers();
                done = true;
            }
        },
        Qt::QueuedConnection);
    scanToEnd(db, t, beat, done, r);
    return r;
}

Result runPage(const QString &dir)
{
    Result r;
    AppPaths::setProgramDirOverride(dir);
    warmUpFonts();
    bool done = false;
    Heartbeat beat;
    QElapsedTimer t;
    beat.start();
    t.start();
    auto *page = new LocalForm(nullptr, dir + QStringLiteral("/root/"));
    QObject::connect(page, &LocalForm::signalDbFileName, page, [&](int order, const QString &name) {
        if (name.isEmpty()) {
            r.files = order;
            done = true;
        }
    });
    page->resize(800, 520);
    page->show();
    QCoreApplication::processEvents(); // the first paint
    r.constructMs = double(t.nsecsElapsed()) / 1e6;
    beat.start(); // stalls while the list arrives
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    r.ms = double(t.nsecsElapsed()) / 1e6;
    r.stallMs = beat.longestMs();
    const int shown = page->findChild<TableViewPage *>()->getFileNumbers();
    if (shown != r.files)
        out << "page holds " << shown << " of " << r.files << " files\n";
    r.files = shown;
    delete page;
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args.at(1) == QLatin1String("--run")) {
        const QString mode = args.at(2);
        const QString dir = args.at(3);
        Result r;
        if (mode == QLatin1String("baseline"))
            r = runBaseline(dir);
        else if (mode == QLatin1String("perfile"))
            r = runPerFile(dir);
        else
            r = runPage(dir);
        out << r.ms << ' ' << r.stallMs << ' ' << vmHwmKiB() << ' ' << r.files << ' ' << r.constructMs << Qt::endl;
        return 0;
    }

    const int files = args.size() > 1 ? args.at(1).toInt() : 100000;
    QTemporaryDir dir;
    QElapsedTimer prep;
    prep.start();
    if (files < 1 || !makeAlbum(dir.path(), files)) {
        out << "cannot make the album\n";
        return 1;
    }
    out << "album of " << files << " organised files made in " << prep.elapsed() << " ms\n";
    out << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
               .arg(QStringLiteral("run"), -10)
               .arg(QStringLiteral("start (ms)"), 11)
               .arg(QStringLiteral("to end (ms)"), 12)
               .arg(QStringLiteral("stall (ms)"), 11)
               .arg(QStringLiteral("VmHWM (MiB)"), 12)
               .arg(QStringLiteral("files"), 8);
    bool ok = true;
    for (const char *mode : {"baseline", "perfile", "page"}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--run"), QLatin1String(mode), dir.path()});
        if (!child.waitForFinished(600000)) {
            out << mode << ": did not finish\n";
            return 1;
        }
        const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split('\n').last().split(' ');
        if (f.size() < 5) {
            out << mode << ": no figures\n";
            return 1;
        }
        out << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                   .arg(QLatin1String(mode), -10)
                   .arg(f.at(4).toDouble(), 11, 'f', 1)
                   .arg(f.at(0).toDouble(), 12, 'f', 0)
                   .arg(f.at(1).toDouble(), 11, 'f', 1)
                   .arg(f.at(2).toDouble() / 1024, 12, 'f', 1)
                   .arg(f.at(3).toInt(), 8);
        ok = ok && f.at(3).toInt() == files;
        out.flush();
    }
    out << (ok ? "every run received the whole list\n" : "a run lost files\n");
    return ok ? 0 : 1;
}
