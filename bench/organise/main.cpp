// bench_organise generate <dir> [count] [seed]
//     Writes a photo library of about count files: JPEGs of 1.5-4 MB with EXIF dates over
//     2008-2024 (most DateTimeOriginal, some DateTime only, some none), 10% content duplicates
//     under other names, same names with other content in other folders, a few PNGs and
//     videos, thumbnails under 40000 bytes and sidecar files.
// bench_organise run <source> <outroot> [rounds] [program folder]
//     Times, in alternating rounds, (1) the folder search plus organise of <source> into
//     <outroot>/ours, (2) md5sum plus cp of the same picture and video files (the floor) and
//     (3) exiftool -o <out>/ '-Directory<DateTimeOriginal'. Prints files/s, MB/s and the
//     median ratios, and writes <outroot>/organise-list.txt: source -> target, or why a file
//     was skipped. Each tool's output is deleted after its round; the last of ours is kept.
#include "localalbum/LocalOrganiser.h"
#include "platform/AppPaths.h"
#include "settings/ReadWriteSetting.h"
#include "tests/localalbum/ExifJpeg.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

using namespace ExifJpeg;

namespace {

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

bool writeBytes(const QString &path, const QByteArray &bytes, const QDateTime &mtime)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        return false;
    f.setFileTime(mtime, QFileDevice::FileModificationTime);
    return true;
}

QByteArray exifDate(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy:MM:dd hh:mm:ss")).toLatin1();
}

int generate(const QString &dir, int count, quint32 seed)
{
    QRandomGenerator rng(seed);
    const QByteArray base = makeJpeg(320, 240, seed);
    const QStringList folders = {"Camera/DCIM/100CANON", "Camera/DCIM/101CANON", "Phone backup/DCIM/Camera",
                                 "Holiday 2015", "家庭照片/2019", "Old laptop/My Pictures", "WhatsApp Images"};
    QStringList written;
    qint64 bytes = 0;
    auto randomTime = [&] {
        const QDateTime start(QDate(2008, 1, 1), QTime(0, 0));
        return start.addSecs(qint64(rng.bounded(17 * 365)) * 86400 + rng.bounded(86400));
    };
    for (int i = 0; i < count; ++i) {
        const QString folder = dir + QLatin1Char('/') + folders.at(int(rng.bounded(folders.size())));
        const int kind = int(rng.bounded(100));
        const QDateTime shot = randomTime();
        const QDateTime mtime = shot.addDays(rng.bounded(400));
        // Camera counters repeat, so equal names with other content turn up in other folders.
        const QString counter = QStringLiteral("%1").arg(rng.bounded(400), 4, 10, QLatin1Char('0'));
        QString path;
        QByteArray data;
        if (kind < 10 && !written.isEmpty()) { // duplicate content under another name
            const QString from = written.at(int(rng.bounded(written.size())));
            QFile f(from);
            f.open(QIODevice::ReadOnly);
            data = f.readAll();
            path = folder + QStringLiteral("/copy of ") + QFileInfo(from).fileName();
        } else if (kind < 13) { // thumbnails
            path = folder + QStringLiteral("/thumbnails/thumb_") + counter + QStringLiteral(".jpg");
            data = padTo(base, 5000 + int(rng.bounded(30000)), rng.generate());
        } else if (kind < 15) { // screenshots
            path = folder + QStringLiteral("/Screenshot_") + QString::number(i) + QStringLiteral(".png");
            data = padTo(QByteArray("\x89PNG\r\n\x1a\n", 8), 200000 + int(rng.bounded(800000)), rng.generate());
        } else if (kind < 16) { // videos
            path = folder + QStringLiteral("/VID_") + counter + (rng.bounded(2) ? QStringLiteral(".mp4") : QStringLiteral(".MOV"));
            data = padTo(QByteArray("\0\0\0\x18" "ftypmp42", 12), 5000000 + int(rng.bounded(15000000)), rng.generate());
        } else if (kind < 17) { // sidecars
            path = folder + QStringLiteral("/IMG_") + counter + QStringLiteral(".xmp");
            data = "<x:xmpmeta/>";
        } else {
            QList<DateTag> tags;
            if (kind < 80) {
                tags << DateTag{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, exifDate(shot)};
                if (rng.bounded(2))
                    tags << DateTag{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_DIGITIZED, exifDate(shot)};
            } else if (kind < 90) {
                tags << DateTag{EXIF_IFD_0, EXIF_TAG_DATE_TIME, exifDate(shot)};
            }
            path = folder + (rng.bounded(2) ? QStringLiteral("/IMG_") : QStringLiteral("/DSC_")) + counter
                   + (rng.bounded(4) ? QStringLiteral(".JPG") : QStringLiteral(".jpg"));
            data = padTo(withExif(base, tags), 1500000 + int(rng.bounded(2500000)), rng.generate());
        }
        while (QFile::exists(path))
            path.insert(path.lastIndexOf(QLatin1Char('.')), QLatin1Char('_'));
        if (!writeBytes(path, data, mtime)) {
            out() << "cannot write " << path << "\n";
            return 1;
        }
        bytes += data.size();
        if (path.endsWith(QLatin1String("jpg"), Qt::CaseInsensitive) && data.size() > 1000000)
            written << path;
    }
    out() << "wrote " << count << " files, " << bytes / 1000000 << " MB under " << dir << "\n";
    return 0;
}

bool isMedia(const QString &path)
{
    const QString s = QFileInfo(path).suffix();
    return LocalOrganiser::isPictureSuffix(s) || LocalOrganiser::isVideoSuffix(s);
}

struct Candidates
{
    QStringList files;
    qint64 bytes = 0;
};

Candidates candidates(const QString &src)
{
    Candidates c;
    QDirIterator it(src, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        if (isMedia(p)) {
            c.files << p;
            c.bytes += QFileInfo(p).size();
        }
    }
    return c;
}

double runOurs(const QString &src, const QString &outRoot, const QString &programDir)
{
    QDir(programDir).removeRecursively();
    QDir().mkpath(programDir);
    AppPaths::setProgramDirOverride(programDir);
    ReadWriteSetting::resetInstanceForTests();
    ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localVideo"), QStringLiteral("1"));
    QElapsedTimer t;
    t.start();
    {
        LocalOrganiser org(outRoot + QLatin1Char('/'));
        org.readMediaSettings();
        org.startFolderSearch({src});
        org.waitForWorkers();
    }
    return t.elapsed() / 1000.0;
}

double runShell(const QString &script)
{
    QElapsedTimer t;
    t.start();
    const int rc = QProcess::execute(QStringLiteral("bash"), {QStringLiteral("-c"), script});
    if (rc != 0)
        out() << "command ended with " << rc << ": " << script << "\n";
    return t.elapsed() / 1000.0;
}

QString shellQuote(const QString &s)
{
    return QLatin1Char('\'') + QString(s).replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v.at(v.size() / 2);
}

void writeList(const QString &src, const QString &programDir, const QString &listPath)
{
    QHash<QString, QString> targetOf; // source -> target
    QHash<QString, QString> byMd5;    // md5 -> organised source
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("list"));
        db.setDatabaseName(programDir + QStringLiteral("/localfiles.db"));
        if (db.open()) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("select fromdev, localpath, md5 from albumlist"));
            while (q.next()) {
                targetOf.insert(q.value(0).toString(), q.value(1).toString());
                byMd5.insert(q.value(2).toString(), q.value(0).toString());
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("list"));
    QFile f(listPath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    QTextStream s(&f);
    s.setCodec("UTF-8");
    QStringList all;
    QDirIterator it(src, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        all << it.next();
    all.sort();
    int organised = 0, skipped = 0;
    for (const QString &p : all) {
        const QFileInfo info(p);
        if (targetOf.contains(p)) {
            s << p << " -> " << targetOf.value(p) << "\n";
            ++organised;
            continue;
        }
        ++skipped;
        QString why;
        if (!isMedia(p)) {
            why = QStringLiteral("not a picture or video");
        } else if (info.isHidden()) {
            why = QStringLiteral("hidden");
        } else if (info.size() < 40000) {
            why = QStringLiteral("smaller than 40000 bytes");
        } else {
            QFile file(p);
            file.open(QIODevice::ReadOnly);
            QCryptographicHash h(QCryptographicHash::Md5);
            h.addData(&file);
            const QString md5 = QString::fromLatin1(h.result().toHex());
            why = byMd5.contains(md5) ? QStringLiteral("same content as ") + byMd5.value(md5)
                                      : QStringLiteral("not organised (unreadable or failed to copy)");
        }
        s << p << " skipped: " << why << "\n";
    }
    out() << "list of " << organised << " organised and " << skipped << " skipped files: " << listPath << "\n";
}

int run(const QString &srcArg, const QString &rootArg, int rounds, const QString &programArg)
{
    const QString src = QDir(srcArg).absolutePath();
    const QString root = QDir(rootArg).absolutePath();
    QDir().mkpath(root);
    const Candidates c = candidates(src);
    if (c.files.isEmpty()) {
        out() << "no pictures or videos under " << src << "\n";
        return 1;
    }
    const double mb = c.bytes / 1e6;
    out() << c.files.size() << " picture/video files, " << qRound(mb) << " MB\n";
    const QString oursOut = root + QStringLiteral("/ours");
    // The program folder holds localfiles.db; another place (a RAM disk) shows what the
    // database's per-insert commits cost.
    const QString programDir = programArg.isEmpty() ? root + QStringLiteral("/program") : QDir(programArg).absolutePath();
    out() << "database: " << programDir << "/localfiles.db\n";
    const QString floorOut = root + QStringLiteral("/floor");
    const QString exifOut = root + QStringLiteral("/exiftool");
    QString find = QStringLiteral("find %1 -type f \\( -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.png' -o -iname '*.avi' "
                                  "-o -iname '*.mov' -o -iname '*.mp4' -o -iname '*.flv' -o -iname '*.mpg' \\) -print0")
                       .arg(shellQuote(src));
    const QString floorCmd = QStringLiteral("mkdir -p %2 && %1 | xargs -0 md5sum > /dev/null && %1 | xargs -0 cp --backup=numbered -t %2")
                                 .arg(find, shellQuote(floorOut));
    const QString exifCmd = QStringLiteral("exiftool -q -q -r -o %1/ '-Directory<DateTimeOriginal' -d %1/%Y/%m "
                                           "-ext jpg -ext jpeg -ext png -ext avi -ext mov -ext mp4 -ext flv -ext mpg %2")
                                .arg(shellQuote(exifOut), shellQuote(src));
    QList<double> ours, floor, exif;
    QString sync = QStringLiteral("sync");
    for (int r = 0; r < rounds; ++r) {
        QDir(oursOut).removeRecursively();
        runShell(sync);
        ours << runOurs(src, oursOut, programDir);
        runShell(sync);
        floor << runShell(floorCmd);
        QDir(floorOut).removeRecursively();
        runShell(sync);
        exif << runShell(exifCmd);
        QDir(exifOut).removeRecursively();
        out() << QStringLiteral("round %1: ours %2 s, md5sum+cp %3 s, exiftool %4 s\n")
                     .arg(r + 1).arg(ours.last(), 0, 'f', 2).arg(floor.last(), 0, 'f', 2).arg(exif.last(), 0, 'f', 2);
        out().flush();
    }
    auto line = [&](const char *name, double secs) {
        out() << QStringLiteral("%1 %2 s  %3 files/s  %4 MB/s\n")
                     .arg(QString::fromLatin1(name), -14).arg(secs, 7, 'f', 2)
                     .arg(c.files.size() / secs, 8, 'f', 1).arg(mb / secs, 7, 'f', 1);
    };
    const double o = median(ours), fl = median(floor), ex = median(exif);
    out() << "medians of " << rounds << " alternating rounds over the same " << c.files.size() << " files:\n";
    line("ours", o);
    line("md5sum+cp", fl);
    line("exiftool", ex);
    out() << QStringLiteral("ours / floor throughput: %1 (target >= 0.7)\n").arg(fl / o, 0, 'f', 2);
    out() << QStringLiteral("ours / exiftool throughput: %1 (target > 1)\n").arg(ex / o, 0, 'f', 2);
    writeList(src, programDir, root + QStringLiteral("/organise-list.txt"));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args.at(1) == QLatin1String("generate"))
        return generate(args.at(2), args.size() > 3 ? args.at(3).toInt() : 600, args.size() > 4 ? args.at(4).toUInt() : 7);
    if (args.size() >= 4 && args.at(1) == QLatin1String("ours")) { // ours alone, once (profiling)
        const QString root = QDir(args.at(3)).absolutePath();
        QDir(root + QStringLiteral("/ours")).removeRecursively();
        const double secs = runOurs(QDir(args.at(2)).absolutePath(), root + QStringLiteral("/ours"), root + QStringLiteral("/program"));
        out() << "ours " << secs << " s\n";
        writeList(QDir(args.at(2)).absolutePath(), root + QStringLiteral("/program"), root + QStringLiteral("/organise-list.txt"));
        return 0;
    }
    if (args.size() >= 4 && args.at(1) == QLatin1String("run"))
        return run(args.at(2), args.at(3), args.size() > 4 ? qMax(1, args.at(4).toInt()) : 3,
                   args.size() > 5 ? args.at(5) : QString());
    std::fprintf(stderr, "usage: bench_organise generate <dir> [count=600] [seed]\n"
                         "       bench_organise run <source> <outroot> [rounds=3] [program folder for localfiles.db]\n"
                         "       bench_organise ours <source> <outroot>   (the organiser alone, once)\n");
    return 2;
}
