// bench_organise generate <dir> [count] [seed]
//     Writes a photo library of about count files: JPEGs of 1.5-4 MB with EXIF dates over
//     2008-2024 (most DateTimeOriginal, some DateTime only, some none), 10% content duplicates
//     under other names, same names with other content in other folders, PNGs (dated by an
//     eXIf chunk, a "Creation Time" text or nothing), MP4/MOV videos (dated by mvhd, by
//     QuickTime's creationdate in the camera's zone, or nothing), thumbnails under 40000 bytes
//     and sidecar files. <dir>/expected-folders.tsv says where each file belongs.
// bench_organise generate-heic <dir> [count] [seed]
//     Writes count phone photos as HEIC (made once by heif-enc, dated by exiftool, then each given
//     its own EXIF DateTimeOriginal over 2008-2024 and 1.5-4 MB in a trailing 'free' box) and
//     <dir>/expected-folders.tsv.
// bench_organise run <source> <outroot> [rounds] [program folder]
//     Times, in alternating rounds, (1) the folder search plus organise of <source> into
//     <outroot>/ours, (2) md5sum plus cp of the same picture and video files (the floor), the
//     same followed by a sync of the copies (ours makes every copy durable before recording it) and
//     (3) exiftool -o <out>/ '-Directory<DateTimeOriginal'. Prints files/s, MB/s and the
//     median ratios, checks every organised file's folder against expected-folders.tsv, and
//     writes <outroot>/organise-list.txt: source -> target, or why a file was skipped. Each
//     tool's output is deleted after its round; the last of ours is kept.
// bench_organise dates <source> [rounds]
//     The date step alone: our capture-time reading of every picture and video against exiftool
//     printing each one's DateTimeOriginal, both over the same files, one process each.
// bench_organise stopstart <outroot> [cycles]
//     The local album page, clicked: start a folder search over a slow source (reads
//     throttled to 16 MB/s), stop it mid-hash or mid-copy, start again at once. Prints the
//     longest GUI-thread stall against an idle baseline of the same length, the longest click,
//     and how long the stopped run's workers took to end.
#include "fileops/FileOps.h"
#include "localalbum/LocalOrganiser.h"
#include "localalbum/pages/LocalForm.h"
#include "platform/AppPaths.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/ExifJpeg.h"
#include "tests/support/ToolPictures.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QHash>
#include <QSet>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtEndian>

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

QString monthFolder(const char *kind, const QDate &d)
{
    return QString::fromUtf8(kind) +
        QStringLiteral("/%1/%2").arg(d.year(), 4, 10, QLatin1Char('0')).arg(d.month(), 2, 10, QLatin1Char('0'));
}

int generate(const QString &dir, int count, quint32 seed)
{
    QRandomGenerator rng(seed);
    const QByteArray base = makeJpeg(320, 240, seed);
    const QStringList folders = {QStringLiteral("Camera/DCIM/100CANON"),
                                 QStringLiteral("Camera/DCIM/101CANON"),
                                 QStringLiteral("Phone backup/DCIM/Camera"),
                                 QStringLiteral("Holiday 2015"),
                                 QStringLiteral("家庭照片/2019"),
                                 QStringLiteral("Old laptop/My Pictures"),
                                 QStringLiteral("WhatsApp Images")};
    QStringList written;
    QHash<QString, QDateTime> exifShotOf; // JPEGs written with a date tag
    QStringList expected;                 // "relative path<TAB>kind/yyyy/MM", or "-" when not organised
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
        QString belongs = QStringLiteral("-");
        QDateTime tagged;                      // the EXIF date a JPEG carries
        if (kind < 10 && !written.isEmpty()) { // duplicate content under another name
            const QString from = written.at(int(rng.bounded(written.size())));
            QFile f(from);
            f.open(QIODevice::ReadOnly);
            data = f.readAll();
            path = folder + QStringLiteral("/copy of ") + QFileInfo(from).fileName();
            // Whichever of the two is organised goes by its EXIF date, or by its own file time.
            tagged = exifShotOf.value(from);
            belongs = monthFolder("照片", (tagged.isValid() ? tagged : mtime).date());
        } else if (kind < 13) { // thumbnails
            path = folder + QStringLiteral("/thumbnails/thumb_") + counter + QStringLiteral(".jpg");
            data = padTo(base, 5000 + int(rng.bounded(30000)), rng.generate());
        } else if (kind < 16) { // screenshots: PNG dated by eXIf, by a text chunk, or not at all
            path = folder + QStringLiteral("/Screenshot_") + QString::number(i) + QStringLiteral(".png");
            const int how = int(rng.bounded(3));
            const QList<DateTag> tags = how == 0
                ? QList<DateTag>{{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, exifDate(shot)}}
                : QList<DateTag>{};
            const QByteArray text =
                how == 1 ? shot.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1() : QByteArray();
            data = padTo(makePng(64, 48, rng.generate(), tags, text, rng.bounded(2)), 200000 + int(rng.bounded(800000)),
                         rng.generate());
            belongs = monthFolder("照片", (how == 2 ? mtime : shot).date());
        } else if (kind < 19) { // videos: mvhd (UTC), QuickTime creationdate in the camera's zone, or nothing
            const bool mov = rng.bounded(2);
            path = folder + QStringLiteral("/VID_") + counter + (mov ? QStringLiteral(".MOV") : QStringLiteral(".mp4"));
            const int how = int(rng.bounded(3));
            const int zoneHours = int(rng.bounded(25)) - 12;
            const QDateTime wall(shot.date(), shot.time(), Qt::OffsetFromUTC, zoneHours * 3600);
            QByteArray creation;
            qint64 utc = 0;
            if (how == 0) {
                utc = QDateTime(shot.date(), shot.time(), Qt::UTC).toSecsSinceEpoch();
                belongs = monthFolder("视频", QDateTime::fromSecsSinceEpoch(utc, Qt::UTC).toLocalTime().date());
            } else if (how == 1) {
                utc = wall.toSecsSinceEpoch();
                creation = wall.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1() +
                    (zoneHours < 0 ? "-" : "+") + QByteArray::number(qAbs(zoneHours)).rightJustified(2, '0') + "00";
                belongs = monthFolder("视频", shot.date());
            } else {
                belongs = monthFolder("视频", mtime.date());
            }
            data = makeMovie(utc, creation, 5000000 + int(rng.bounded(15000000)), rng.generate(), rng.bounded(2), mov);
        } else if (kind < 20) { // sidecars
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
            path = folder + (rng.bounded(2) ? QStringLiteral("/IMG_") : QStringLiteral("/DSC_")) + counter +
                (rng.bounded(4) ? QStringLiteral(".JPG") : QStringLiteral(".jpg"));
            data = padTo(withExif(base, tags), 1500000 + int(rng.bounded(2500000)), rng.generate());
            if (!tags.isEmpty())
                tagged = shot;
            belongs = monthFolder("照片", (tags.isEmpty() ? mtime : shot).date());
        }
        while (QFile::exists(path))
            path.insert(path.lastIndexOf(QLatin1Char('.')), QLatin1Char('_'));
        if (!writeBytes(path, data, mtime)) {
            out() << "cannot write " << path << "\n";
            return 1;
        }
        bytes += data.size();
        expected << path.mid(dir.size() + 1) + QLatin1Char('\t') + belongs;
        if (path.endsWith(QLatin1String("jpg"), Qt::CaseInsensitive) && data.size() > 1000000) {
            written << path;
            if (tagged.isValid())
                exifShotOf.insert(path, tagged);
        }
    }
    QFile list(dir + QStringLiteral("/expected-folders.tsv"));
    if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        list.write(expected.join(QLatin1Char('\n')).toUtf8() + '\n') < 0) {
        out() << "cannot write " << list.fileName() << "\n";
        return 1;
    }
    out() << "wrote " << count << " files, " << bytes / 1000000 << " MB under " << dir << "\n";
    return 0;
}

int generateHeic(const QString &dir, int count, quint32 seed)
{
    QRandomGenerator rng(seed);
    QImage picture(1024, 768, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb((x * 3 + y) & 0xff, (y * 5) & 0xff, (x ^ y) & 0xff));
    const QDateTime placeholder(QDate(2000, 1, 1), QTime(0, 0));
    const QByteArray base =
        ToolPictures::withExifDate(ToolPictures::heif(picture), QStringLiteral("heic"), placeholder);
    const QByteArray mark = exifDate(placeholder);
    if (base.isEmpty() || !base.contains(mark)) {
        out() << "cannot make a HEIC: " << ToolPictures::missingTools() << "\n";
        return 1;
    }
    QStringList expected;
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        const QDateTime shot = QDateTime(QDate(2008, 1, 1), QTime(0, 0))
                                   .addSecs(qint64(rng.bounded(17 * 365)) * 86400 + rng.bounded(86400));
        QByteArray data = base;
        data.replace(mark, exifDate(shot));
        QByteArray free(1500000 + int(rng.bounded(2500000)), Qt::Uninitialized);
        for (int k = 0; k < free.size(); k += 4)
            qToBigEndian(rng.generate(), free.data() + qMin(k, free.size() - 4));
        qToBigEndian(quint32(free.size()), free.data());
        free.replace(4, 4, "free");
        data += free;
        const QString rel =
            QStringLiteral("iPhone/DCIM/%1APPLE/IMG_%2.HEIC").arg(100 + i / 200).arg(i, 4, 10, QLatin1Char('0'));
        if (!writeBytes(dir + QLatin1Char('/') + rel, data, shot.addDays(rng.bounded(400)))) {
            out() << "cannot write " << rel << "\n";
            return 1;
        }
        bytes += data.size();
        expected << rel + QLatin1Char('\t') + monthFolder("照片", shot.date());
    }
    QFile list(dir + QStringLiteral("/expected-folders.tsv"));
    if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        list.write(expected.join(QLatin1Char('\n')).toUtf8() + '\n') < 0)
        return 1;
    out() << "wrote " << count << " HEIC files, " << bytes / 1000000 << " MB under " << dir << "\n";
    return 0;
}

// Every organised file in the folder its generator meant, every file meant to be organised
// organised (or its content under another name); returns the number of faults.
int checkFolders(const QString &src, const QString &oursOut, const QString &programDir)
{
    QFile list(src + QStringLiteral("/expected-folders.tsv"));
    if (!list.open(QIODevice::ReadOnly)) {
        out() << "no expected-folders.tsv in the source: folders not checked\n";
        return 0;
    }
    QHash<QString, QString> belongs;
    for (const QByteArray &line : list.readAll().split('\n')) {
        const int tab = line.indexOf('\t');
        if (tab > 0)
            belongs.insert(src + QLatin1Char('/') + QString::fromUtf8(line.left(tab)),
                           QString::fromUtf8(line.mid(tab + 1)));
    }
    QHash<QString, QString> targetOf;
    QSet<QString> md5s;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(programDir + QStringLiteral("/localfiles.db"));
        if (db.open()) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("select fromdev, localpath, md5 from albumlist"));
            while (q.next()) {
                targetOf.insert(q.value(0).toString(), q.value(1).toString());
                md5s.insert(q.value(2).toString());
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    const QString base = oursOut + QStringLiteral("/万特相册/本地/");
    int faults = 0, checked = 0;
    auto fault = [&](const QString &what) {
        if (++faults <= 20)
            out() << "  check failed: " << what << "\n";
    };
    for (auto it = targetOf.constBegin(); it != targetOf.constEnd(); ++it) {
        const QString want = belongs.value(it.key());
        const QString folder = QFileInfo(it.value()).path();
        if (want.isEmpty() || want == QLatin1String("-"))
            fault(it.key() + QLatin1String(" was organised but should not have been"));
        else if (folder != base + want)
            fault(it.key() + QLatin1String(" is in ") + folder.mid(base.size()) + QLatin1String(", generated for ") +
                  want);
        else if (!QFileInfo(it.value()).isFile())
            fault(it.value() + QLatin1String(" is missing"));
        else
            ++checked;
    }
    for (auto it = belongs.constBegin(); it != belongs.constEnd(); ++it) {
        if (it.value() == QLatin1String("-") || targetOf.contains(it.key()))
            continue;
        QFile f(it.key());
        f.open(QIODevice::ReadOnly);
        QCryptographicHash h(QCryptographicHash::Md5);
        h.addData(&f);
        if (!md5s.contains(QString::fromLatin1(h.result().toHex())))
            fault(it.key() + QLatin1String(" was neither organised nor a copy of an organised file"));
    }
    out() << "check: " << checked << " organised files in the folders they were generated for, " << faults
          << " faults\n";
    return faults;
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
    const QString programDir =
        programArg.isEmpty() ? root + QStringLiteral("/program") : QDir(programArg).absolutePath();
    out() << "database: " << programDir << "/localfiles.db\n";
    const QString floorOut = root + QStringLiteral("/floor");
    const QString exifOut = root + QStringLiteral("/exiftool");
    QString find =
        QStringLiteral(
            "find %1 -type f \\( -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.png' -o -iname '*.avi' "
            "-o -iname '*.mov' -o -iname '*.mp4' -o -iname '*.flv' -o -iname '*.mpg' -o -iname '*.heic' "
            "-o -iname '*.heif' -o -iname '*.avif' -o -iname '*.webp' -o -iname '*.m4v' -o -iname '*.3gp' \\) -print0")
            .arg(shellQuote(src));
    const QString floorCmd =
        QStringLiteral("mkdir -p %2 && %1 | xargs -0 md5sum > /dev/null && %1 | xargs -0 cp --backup=numbered -t %2")
            .arg(find, shellQuote(floorOut));
    // The same, made durable as ours is: the copies reach the disk before the tool ends.
    const QString floorSyncCmd = floorCmd + QStringLiteral(" && sync -f %1").arg(shellQuote(floorOut));
    const QString exifCmd = QStringLiteral("exiftool -q -q -r -o %1/ '-Directory<DateTimeOriginal' -d %1/%Y/%m "
                                           "-ext jpg -ext jpeg -ext png -ext avi -ext mov -ext mp4 -ext flv -ext mpg "
                                           "-ext heic -ext heif -ext avif -ext webp -ext m4v -ext 3gp %2")
                                .arg(shellQuote(exifOut), shellQuote(src));
    QList<double> ours, floor, floorSync, exif;
    QString sync = QStringLiteral("sync");
    for (int r = 0; r < rounds; ++r) {
        QDir(oursOut).removeRecursively();
        runShell(sync);
        ours << runOurs(src, oursOut, programDir);
        runShell(sync);
        floor << runShell(floorCmd);
        QDir(floorOut).removeRecursively();
        runShell(sync);
        floorSync << runShell(floorSyncCmd);
        QDir(floorOut).removeRecursively();
        runShell(sync);
        exif << runShell(exifCmd);
        QDir(exifOut).removeRecursively();
        out() << QStringLiteral("round %1: ours %2 s, md5sum+cp %3 s, md5sum+cp+sync %4 s, exiftool %5 s\n")
                     .arg(r + 1)
                     .arg(ours.last(), 0, 'f', 2)
                     .arg(floor.last(), 0, 'f', 2)
                     .arg(floorSync.last(), 0, 'f', 2)
                     .arg(exif.last(), 0, 'f', 2);
        out().flush();
    }
    auto line = [&](const char *name, double secs) {
        out() << QStringLiteral("%1 %2 s  %3 files/s  %4 MB/s\n")
                     .arg(QString::fromLatin1(name), -14)
                     .arg(secs, 7, 'f', 2)
                     .arg(c.files.size() / secs, 8, 'f', 1)
                     .arg(mb / secs, 7, 'f', 1);
    };
    const double o = median(ours), fl = median(floor), fs = median(floorSync), ex = median(exif);
    out() << "medians of " << rounds << " alternating rounds over the same " << c.files.size() << " files:\n";
    line("ours", o);
    line("md5sum+cp", fl);
    line("md5sum+cp+sync", fs);
    line("exiftool", ex);
    out() << QStringLiteral("ours / floor throughput: %1 (target >= 1.0)\n").arg(fl / o, 0, 'f', 2);
    out() << QStringLiteral("ours / durable floor (md5sum+cp+sync) throughput: %1\n").arg(fs / o, 0, 'f', 2);
    out() << QStringLiteral("ours / exiftool throughput: %1 (target > 1)\n").arg(ex / o, 0, 'f', 2);
    writeList(src, programDir, root + QStringLiteral("/organise-list.txt"));
    return checkFolders(src, oursOut, programDir) == 0 ? 0 : 1;
}

int dates(const QString &srcArg, int rounds)
{
    const QString src = QDir(srcArg).absolutePath();
    const Candidates c = candidates(src);
    QList<double> ours, exif;
    int dated = 0;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        dated = 0;
        for (const QString &f : c.files)
            dated += CaptureTimes::embedded(QFile::encodeName(f)).isValid() ? 1 : 0;
        ours << t.elapsed() / 1000.0;
        exif << runShell(
            QStringLiteral("exiftool -q -q -r -p '$DateTimeOriginal' -ext jpg -ext jpeg -ext png -ext heic "
                           "-ext heif -ext avif -ext webp -ext mov -ext mp4 %1 > /dev/null")
                .arg(shellQuote(src)));
    }
    const double o = median(ours), ex = median(exif);
    out() << QStringLiteral("dates of %1 files (%2 found in the files), medians of %3 rounds: ours %4 s (%5 files/s), "
                            "exiftool %6 s (%7 files/s); ours / exiftool throughput: %8\n")
                 .arg(c.files.size())
                 .arg(dated)
                 .arg(rounds)
                 .arg(o, 0, 'f', 3)
                 .arg(c.files.size() / o, 0, 'f', 0)
                 .arg(ex, 0, 'f', 3)
                 .arg(c.files.size() / ex, 0, 'f', 0)
                 .arg(ex / o, 0, 'f', 1);
    return 0;
}

// The page's start button clicked during a slow copy: stop, then start again at once.
int stopStart(const QString &rootArg, int cycles)
{
    const QString root = QDir(rootArg).absolutePath();
    const QString src = root + QStringLiteral("/stopstart-source");
    const QString outRoot = root + QStringLiteral("/stopstart-out");
    const QString programDir = root + QStringLiteral("/stopstart-program");
    for (const QString &d : {src, outRoot, programDir}) {
        QDir(d).removeRecursively();
        QDir().mkpath(d);
    }
    const QDateTime shot(QDate(2019, 5, 12), QTime(10, 20, 30));
    writeBytes(src + QStringLiteral("/VID_big.mp4"), makeMovie(shot.toSecsSinceEpoch(), QByteArray(), 48 << 20, 1),
               shot);
    for (int i = 0; i < 3; ++i)
        writeBytes(src + QStringLiteral("/IMG_%1.JPG").arg(i), padTo(makeJpeg(64, 48, quint32(i)), 300000, quint32(i)),
                   shot);
    AppPaths::setProgramDirOverride(programDir);
    ReadWriteSetting::resetInstanceForTests();
    ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localVideo"), QStringLiteral("1"));
    ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localPicture"), QStringLiteral("1"));

    LocalForm page(nullptr, outRoot + QLatin1Char('/'));
    page.show();
    page.findChild<QCheckBox *>(QStringLiteral("checkDirBox"))->setChecked(true);
    auto *list = page.findChild<QListWidget *>(QStringLiteral("listDirWidget"));
    list->clear();
    new QListWidgetItem(src, list);
    auto *button = page.findChild<QPushButton *>(QStringLiteral("pushStartSearchButton"));
    LocalOrganiser *org = page.organiser();

    // The GUI thread's stalls: the longest gap between ticks of a 2 ms timer.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, worstGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        worstGap = qMax(worstGap, now - lastTick);
        lastTick = now;
    });
    auto spin = [&](const std::function<bool()> &done, int timeoutMs) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < timeoutMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    };
    auto staged = [&] {
        QDirIterator it(outRoot, {QStringLiteral(".vanteo-copy-*")}, QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        return it.hasNext();
    };
    qint64 worstClick = 0;
    auto click = [&] {
        QElapsedTimer t;
        t.start();
        button->click();
        worstClick = qMax(worstClick, t.nsecsElapsed());
    };

    // Baseline: the same loop, idle, as long as the clicked part takes at most.
    lastTick = clock.nsecsElapsed();
    ticker.start(2);
    spin([] { return false; }, 1500);
    const qint64 idleGap = worstGap;

    FileOps::setReadThrottleForTests(16 << 20); // 48 MB take 3 s to hash and 3 s to copy
    worstGap = 0;
    worstClick = 0;
    QList<qint64> stopLatencies;
    int missed = 0;
    for (int c = 0; c < cycles; ++c) {
        click(); // start
        const bool midCopy = c % 2 == 1;
        if (midCopy ? !spin(staged, 15000) : (spin([] { return false; }, 400), false)) {
            ++missed;
        }
        click(); // stop
        if (c % 4 < 2) {
            click(); // and start again at once: nothing may wait for the stopped run
            spin([] { return false; }, 300);
            click(); // stop the new run
        }
        QElapsedTimer t;
        t.start();
        if (!spin([&] { return org->activeJobs() == 0; }, 10000))
            ++missed;
        stopLatencies << t.elapsed();
    }
    ticker.stop();
    FileOps::setReadThrottleForTests(0);
    std::sort(stopLatencies.begin(), stopLatencies.end());
    out() << QStringLiteral("idle baseline: longest GUI stall %1 ms over 1.5 s\n").arg(idleGap / 1e6, 0, 'f', 1);
    out() << QStringLiteral("%1 stop/start cycles during a slow hash or copy (16 MB/s): longest GUI stall %2 ms "
                            "(target < 50), longest click %3 ms\n")
                 .arg(cycles)
                 .arg(worstGap / 1e6, 0, 'f', 1)
                 .arg(worstClick / 1e6, 0, 'f', 1);
    out() << QStringLiteral("stopped runs ended %1 ms (median) / %2 ms (worst) after the stop click (target < 200)\n")
                 .arg(stopLatencies.value(stopLatencies.size() / 2))
                 .arg(stopLatencies.value(stopLatencies.size() - 1));
    if (missed > 0)
        out() << missed << " cycles did not reach a copy or did not end\n";
    const bool ok = worstGap < 50000000 && stopLatencies.value(stopLatencies.size() - 1) < 200 && missed == 0;
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args.at(1) == QLatin1String("generate"))
        return generate(args.at(2), args.size() > 3 ? args.at(3).toInt() : 600,
                        args.size() > 4 ? args.at(4).toUInt() : 7);
    if (args.size() >= 3 && args.at(1) == QLatin1String("generate-heic"))
        return generateHeic(args.at(2), args.size() > 3 ? args.at(3).toInt() : 300,
                            args.size() > 4 ? args.at(4).toUInt() : 7);
    if (args.size() >= 4 && args.at(1) == QLatin1String("ours")) { // ours alone, once (profiling)
        const QString root = QDir(args.at(3)).absolutePath();
        QDir(root + QStringLiteral("/ours")).removeRecursively();
        const double secs =
            runOurs(QDir(args.at(2)).absolutePath(), root + QStringLiteral("/ours"), root + QStringLiteral("/program"));
        out() << "ours " << secs << " s\n";
        writeList(QDir(args.at(2)).absolutePath(), root + QStringLiteral("/program"),
                  root + QStringLiteral("/organise-list.txt"));
        return 0;
    }
    if (args.size() >= 3 && args.at(1) == QLatin1String("dates"))
        return dates(args.at(2), args.size() > 3 ? qMax(1, args.at(3).toInt()) : 3);
    if (args.size() >= 3 && args.at(1) == QLatin1String("stopstart"))
        return stopStart(args.at(2), args.size() > 3 ? qMax(2, args.at(3).toInt()) : 8);
    if (args.size() >= 4 && args.at(1) == QLatin1String("run"))
        return run(args.at(2), args.at(3), args.size() > 4 ? qMax(1, args.at(4).toInt()) : 3,
                   args.size() > 5 ? args.at(5) : QString());
    std::fprintf(stderr,
                 "usage: bench_organise generate <dir> [count=600] [seed]\n"
                 "       bench_organise generate-heic <dir> [count=300] [seed]\n"
                 "       bench_organise run <source> <outroot> [rounds=3] [program folder for localfiles.db]\n"
                 "       bench_organise ours <source> <outroot>   (the organiser alone, once)\n"
                 "       bench_organise dates <source> [rounds=3]\n"
                 "       bench_organise stopstart <outroot> [cycles=8]\n");
    return 2;
}
