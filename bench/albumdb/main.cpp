// Times the album database operations that run once per received or organised file, at 1,000
// and at 100,000 rows, and fails when a call at 100,000 rows costs more than 3 times as much
// as at 1,000 rows. Also times one whole-table read for comparison (what a look-up that walks
// every row would cost).
//
// Usage: bench_albumdb [folder for the database file] (default: a temporary folder)

#include "backup/LocalDataBase.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <functional>
#include <vector>

namespace {

constexpr int kSmall = 1000;
constexpr int kLarge = 100000;
constexpr int kLookupCalls = 3000;
constexpr int kInsertCalls = 150;
constexpr double kMaxRatio = 3.0;

QString md5Of(int i)
{
    return QString::fromLatin1(QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Md5).toHex());
}

// Every tenth name has non-ASCII letters, as photos renamed by users do.
QString nameOf(int i)
{
    if (i % 10 == 0)
        return QStringLiteral("Été_Überfahrt_%1.JPG").arg(i);
    return QStringLiteral("IMG_%1.jpg").arg(i, 8, 10, QLatin1Char('0'));
}

QString mobilePathOf(int i)
{
    return QStringLiteral("/storage/emulated/0/DCIM/Camera/") + nameOf(i);
}

// Adds rows [from, to) in one transaction through a connection of its own.
bool fill(const QString &file, int from, int to)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
        db.setDatabaseName(file);
        if (db.open() && db.transaction()) {
            QSqlQuery q(db);
            ok = q.prepare(QStringLiteral("insert into albumlist values(?,?,?,?,?,?,?,?,?,?,?)"));
            for (int i = from; ok && i < to; ++i) {
                q.bindValue(1, nameOf(i));
                q.bindValue(2, QString(QStringLiteral("D:/万特相册/bench/") + nameOf(i)));
                q.bindValue(3, qlonglong(1000000 + i));
                q.bindValue(4, md5Of(i));
                q.bindValue(5, QStringLiteral("bench"));
                q.bindValue(6, QStringLiteral("2024-01-01 00:00:00"));
                q.bindValue(7, 1);
                q.bindValue(8, QStringLiteral(""));
                q.bindValue(9, 1);
                q.bindValue(10, mobilePathOf(i));
                ok = q.exec();
            }
            ok = db.commit() && ok;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return ok;
}

double medianMicros(int calls, const std::function<void(int)> &call)
{
    std::vector<qint64> ns;
    ns.reserve(size_t(calls));
    QElapsedTimer t;
    for (int i = 0; i < calls; ++i) {
        t.start();
        call(i);
        ns.push_back(t.nsecsElapsed());
    }
    std::nth_element(ns.begin(), ns.begin() + calls / 2, ns.end());
    return double(ns[size_t(calls / 2)]) / 1000.0;
}

struct Figures
{
    double checkMd5OrName = 0;
    double isMd5Exist = 0;
    double findMobileRecord = 0;
    double insertRecord = 0;
    double wholeTableRead = 0;
};

// Look-ups mix hits and misses; names are asked in another case than stored.
Figures measure(LocalDataBase &db, const QString &file, int rows, int *nextId, bool *wrong)
{
    Figures f;
    QRandomGenerator rng(static_cast<quint32>(rows));
    auto pick = [&] { return int(rng.bounded(rows)); };
    volatile int sink = 0;
    f.checkMd5OrName = medianMicros(kLookupCalls, [&](int i) {
        const int r = pick();
        int got = 0;
        switch (i % 3) {
        case 0:
            got = db.checkMd5OrName(QStringLiteral("new.jpg"), md5Of(r).toUpper());
            *wrong |= got != 1;
            break;
        case 1:
            got = db.checkMd5OrName(nameOf(r).toUpper(), md5Of(-1 - r));
            *wrong |= got != 2;
            break;
        default:
            got = db.checkMd5OrName(QStringLiteral("nothing_%1.jpg").arg(r), md5Of(-1 - r));
            *wrong |= got != 3;
            break;
        }
        sink = sink + got;
    });
    f.isMd5Exist = medianMicros(kLookupCalls, [&](int i) {
        const int r = pick();
        const bool hit = i % 2 == 0;
        const bool got = db.isMd5Exist(hit ? md5Of(r).toUpper() : md5Of(-1 - r));
        *wrong |= got != hit;
    });
    f.findMobileRecord = medianMicros(kLookupCalls, [&](int i) {
        const int r = pick();
        const bool hit = i % 2 == 0;
        const int got = db.findMobileRecord(mobilePathOf(r), hit ? md5Of(r) : md5Of(-1 - r));
        *wrong |= got != (hit ? 0 : -1);
    });
    const int before = *nextId;
    f.insertRecord = medianMicros(kInsertCalls, [&](int i) {
        const int n = before + i;
        const int got = db.insertRecord(nameOf(n), QStringLiteral("D:/万特相册/bench/") + nameOf(n), 1, md5Of(n),
                                        QStringLiteral("bench"), 1, QString(), QStringLiteral("2024"), mobilePathOf(n));
        *wrong |= got != n + 1;
    });
    *nextId = before + kInsertCalls;

    // For comparison: one walk over every row, as a look-up without indexes needs.
    QSqlDatabase raw = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("walk"));
    raw.setDatabaseName(file);
    raw.open();
    f.wholeTableRead = medianMicros(5, [&](int) {
        QSqlQuery q(raw);
        q.setForwardOnly(true);
        q.exec(QStringLiteral("select * from albumlist"));
        int n = 0;
        while (q.next())
            n += q.value(4).toString().compare(QStringLiteral("x"), Qt::CaseInsensitive) == 0 ? 1 : 0;
        sink = sink + n;
    });
    raw.close();
    raw = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("walk"));
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTemporaryDir tmp(argc > 1 ? QString::fromLocal8Bit(argv[1]) + QStringLiteral("/albumdb-XXXXXX")
                               : QDir::tempPath() + QStringLiteral("/albumdb-XXXXXX"));
    if (!tmp.isValid()) {
        out << "cannot create a temporary folder\n";
        return 2;
    }
    const QString file = tmp.filePath(QStringLiteral("bench.db"));

    bool wrong = false;
    Figures small;
    Figures large;
    {
        LocalDataBase db(file);
        db.isMd5Exist(QString()); // creates the table and its indexes
        if (!fill(file, 0, kSmall)) {
            out << "cannot fill the database\n";
            return 2;
        }
        int nextId = kSmall;
        small = measure(db, file, kSmall, &nextId, &wrong);
        if (!fill(file, nextId, kLarge)) {
            out << "cannot fill the database\n";
            return 2;
        }
        nextId = kLarge;
        large = measure(db, file, kLarge, &nextId, &wrong);
    }

    out << "album database, median microseconds per call (" << kLookupCalls << " look-ups, " << kInsertCalls
        << " inserts per size)\n";
    out << QStringLiteral("%1 %2 %3 %4\n")
               .arg(QStringLiteral("operation"), -20)
               .arg(QStringLiteral("1,000 rows"), 12)
               .arg(QStringLiteral("100,000 rows"), 14)
               .arg(QStringLiteral("ratio"), 8);
    bool missed = false;
    auto line = [&](const char *name, double a, double b, bool target) {
        const double ratio = a > 0 ? b / a : 0;
        const bool fail = target && ratio > kMaxRatio;
        missed |= fail;
        out << QStringLiteral("%1 %2 %3 %4%5\n")
                   .arg(QLatin1String(name), -20)
                   .arg(a, 12, 'f', 1)
                   .arg(b, 14, 'f', 1)
                   .arg(ratio, 8, 'f', 2)
                   .arg(target ? (fail ? QStringLiteral("  MISSED (max %1)").arg(kMaxRatio) : QStringLiteral("  ok"))
                               : QStringLiteral("  (reference)"));
    };
    line("checkMd5OrName", small.checkMd5OrName, large.checkMd5OrName, true);
    line("isMd5Exist", small.isMd5Exist, large.isMd5Exist, true);
    line("findMobileRecord", small.findMobileRecord, large.findMobileRecord, true);
    line("insertRecord", small.insertRecord, large.insertRecord, true);
    line("whole-table read", small.wholeTableRead, large.wholeTableRead, false);
    if (wrong)
        out << "WRONG RESULTS from the album database\n";
    out << (missed || wrong ? "FAILED\n" : "PASSED\n");
    out.flush();
    return missed || wrong ? 1 : 0;
}
