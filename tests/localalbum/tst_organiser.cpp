// Searching, de-duplicating and organising pictures and videos into the dated output tree.
#include "localalbum/CaptureTime.h"
#include "localalbum/ExifTime.h"
#include "localalbum/LocalOrganiser.h"
#include "platform/AppPaths.h"
#include "platform/SearchEngine.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/ExifJpeg.h"
#include "fileops/FileOps.h"
#include "tests/support/RawNames.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ToolPictures.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ExifJpeg;
using TestSupport::filesUnder;
using TestSupport::md5Hex;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

struct Row
{
    QString filename, localpath, md5, fromdev, createtime;
    qint64 filesize = 0;
};

QList<Row> rows(const QString &dbPath)
{
    QList<Row> out;
    const QString sql =
        QStringLiteral("select filename,localpath,md5,fromdev,createtime,filesize from albumlist order by id");
    for (const QVariantList &r : TestSupport::queryRows(dbPath, sql))
        out.append({r.at(0).toString(), r.at(1).toString(), r.at(2).toString(), r.at(3).toString(), r.at(4).toString(),
                    r.at(5).toLongLong()});
    return out;
}

QDateTime mtime(int y, int mo, int d)
{
    return QDateTime(QDate(y, mo, d), QTime(8, 9, 10));
}

// A chain of levels folders below base, each named by 250 bytes: too deep for any path to name
// its lower part, so opening those by path fails for root too.
const QByteArray kDeepName(250, 'd');

bool makeDeepChain(const QString &base, int levels)
{
    int fd = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < levels && fd >= 0; ++i) {
        ::mkdirat(fd, kDeepName.constData(), 0755);
        const int sub = ::openat(fd, kDeepName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = sub;
    }
    return fd >= 0 && ::close(fd) == 0;
}

void removeDeepChain(const QString &base)
{
    std::vector<int> fds{::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    while (fds.back() >= 0)
        fds.push_back(::openat(fds.back(), kDeepName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    fds.pop_back();
    for (size_t k = fds.size(); k-- > 1;) {
        ::close(fds[k]);
        ::unlinkat(fds[k - 1], kDeepName.constData(), AT_REMOVEDIR);
    }
    if (!fds.empty() && fds[0] >= 0)
        ::close(fds[0]);
}

bool setMtime(const QString &path, const QDateTime &t)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && f.setFileTime(t, QFileDevice::FileModificationTime);
}

// An ISO media file (HEIF) made size bytes long by a trailing 'free' box.
QByteArray padBoxes(const QByteArray &bytes, int size)
{
    QByteArray free(qMax(8, size - bytes.size()), '\0');
    qToBigEndian(quint32(free.size()), free.data());
    free.replace(4, 4, "free");
    return bytes + free;
}

} // namespace

class TestOrganiser : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_program;
    std::unique_ptr<QTemporaryDir> m_src;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<LocalOrganiser> m_org;
    quint32 m_seed = 1;

    QString out() const { return m_root->path() + QStringLiteral("/万特相册/本地"); }
    QString db() const { return AppPaths::programFile(QStringLiteral("localfiles.db")); }

    // A JPEG of exactly size bytes with the given tags, unique content.
    QString jpeg(const QString &rel, int size, const QList<DateTag> &tags = {})
    {
        const QString path = m_src->path() + QLatin1Char('/') + rel;
        ++m_seed;
        writeFile(path, padTo(withExif(makeJpeg(16, 16, m_seed), tags), size, m_seed));
        return path;
    }
    QString plain(const QString &rel, int size, const QDateTime &t)
    {
        const QString path = m_src->path() + QLatin1Char('/') + rel;
        ++m_seed;
        writeFile(path, padTo(QByteArray("plain"), size, m_seed));
        setMtime(path, t);
        return path;
    }
    // Organises the given files (md5s as a search found them, when given) with workers and waits for them.
    void organise(const QStringList &paths, const QStringList &md5s = {}, int workers = 1)
    {
        QList<FoundFile> files;
        for (int i = 0; i < paths.size(); ++i)
            files.append(FoundFile{QFile::encodeName(paths.at(i)), paths.at(i), md5s.value(i)});
        QVERIFY(m_org->startOrganising(files, workers));
        QVERIFY(m_org->waitForWorkers(200000));
    }

    // Runs a folder search over folders to its end; the reports and the summary it gave.
    OrganiseSummary searchFolders(const QStringList &folders, QList<OrganiseEntry> *reports = nullptr)
    {
        QSignalSpy summaries(m_org.get(), &LocalOrganiser::runFinished);
        QSignalSpy entries(m_org.get(), &LocalOrganiser::fileReported);
        if (!m_org->startFolderSearch(folders) || !TestSupport::waitFor([&] { return summaries.size() == 1; }, 60000))
            return OrganiseSummary{-1, -1, -1, -1, -1, false};
        if (reports) {
            for (const QList<QVariant> &e : qAsConst(entries))
                reports->append(e.at(0).value<OrganiseEntry>());
        }
        return summaries.at(0).at(0).value<OrganiseSummary>();
    }
    QList<QByteArray> stagedCopies() const
    {
        QList<QByteArray> out;
        for (const QByteArray &f : RawNames::filesUnderRaw(QFile::encodeName(m_root->path())))
            if (f.contains(LocalOrganiser::stagingPrefix()))
                out << f;
        return out;
    }

private slots:
    void init()
    {
        m_program = TestSupport::makeProgramDir();
        m_src = std::make_unique<QTemporaryDir>();
        m_root = std::make_unique<QTemporaryDir>();
        LocalOrganiser::setFailCopiesForTests(false);
        m_org = std::make_unique<LocalOrganiser>(m_root->path() + QLatin1Char('/'));
        m_org->setFolderDepth(2);
    }
    void cleanup()
    {
        m_org.reset();
        LocalOrganiser::setFailCopiesForTests(false);
        FileOps::setReadThrottleForTests(0);
        // Names that are not UTF-8, and paths too long to name, are beyond QTemporaryDir's reach.
        removeDeepChain(m_src->path() + QStringLiteral("/deep"));
        RawNames::removeTreeRaw(QFile::encodeName(m_src->path()));
        RawNames::removeTreeRaw(QFile::encodeName(m_root->path()));
    }

    void stopEndsCopiesAndHashesAndStartNeverWaits()
    {
        // A big video on a slow disk: hashing or copying it would take half a minute.
        const QString big = m_src->path() + QStringLiteral("/slow/clip.mp4");
        QVERIFY(writeFile(big, QByteArray(32 * 1024 * 1024, 'v')));
        const QString a = jpeg(QStringLiteral("fast/a.jpg"), 45000);
        const QString b = jpeg(QStringLiteral("fast/b.jpg"), 46000);
        m_org->setMedia(true, true);
        FileOps::setReadThrottleForTests(1024 * 1024);

        // Mid-hash: a new search starts at once, and the old one's file never reaches it.
        QSignalSpy summaries(m_org.get(), &LocalOrganiser::runFinished);
        QVERIFY(m_org->startFolderSearch({m_src->path() + QStringLiteral("/slow")}));
        QVERIFY(m_org->activeJobs() > 0);
        QList<OrganiseEntry> reports;
        const OrganiseSummary fast = searchFolders({m_src->path() + QStringLiteral("/fast")}, &reports);
        QCOMPARE(fast.copied, 2);
        QCOMPARE(reports.size(), 2);
        QCOMPARE(summaries.size(), 1); // the detached run's end is not the page's business
        QVERIFY(m_org->waitForWorkers(5000));
        QCOMPARE(filesUnder(out()).filter(QStringLiteral("clip.mp4")), QStringList());
        QCOMPARE(rows(db()).size(), 2);

        // Mid-copy: the stop ends the copy, the partial copy goes, the run ends as stopped.
        QSignalSpy entries(m_org.get(), &LocalOrganiser::fileReported);
        summaries.clear();
        QVERIFY(m_org->startOrganising({FoundFile{QFile::encodeName(big), big, QString()}}));
        QVERIFY(TestSupport::waitFor([&] { return !stagedCopies().isEmpty(); }, 10000));
        m_org->requestStop();
        QVERIFY(m_org->waitForWorkers(5000));
        QVERIFY(TestSupport::waitFor([&] { return summaries.size() == 1; }, 5000));
        QVERIFY(summaries.at(0).at(0).value<OrganiseSummary>().stopped);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.at(0).at(0).value<OrganiseEntry>().result, OrganiseEntry::Result::Failed);
        QCOMPARE(stagedCopies(), QList<QByteArray>());
        QCOMPARE(rows(db()).size(), 2);
    }

    void everyFoundFileIsReported()
    {
        const QString t = m_src->path() + QStringLiteral("/tree");
        const QString ok = jpeg(QStringLiteral("tree/ok.jpg"), 45000,
                                {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2019:05:12 10:20:30"}});
        jpeg(QStringLiteral("tree/tiny.jpg"), 1000);
        writeFile(t + QStringLiteral("/dup1.png"), padTo(QByteArray(), 41000, 7));
        writeFile(t + QStringLiteral("/sub/dup2.png"), padTo(QByteArray(), 41000, 7));
        QVERIFY(::mkfifo(QFile::encodeName(t + QStringLiteral("/pipe.jpg")).constData(), 0644) ==
                0); // must not hang the search
        // A name that is not valid UTF-8 (GBK from a Windows archive), in a folder named so too.
        const QByteArray rawFolder = QFile::encodeName(t) + "/" + RawNames::gbkName();
        const QByteArray raw = rawFolder + "/" + RawNames::gbkName() + ".jpg";
        const QByteArray rawContent =
            padTo(withExif(makeJpeg(16, 16, 77), {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2018:03:04 05:06:07"}}),
                  47000, 77);
        QVERIFY(RawNames::writeRaw(raw, rawContent));

        QList<OrganiseEntry> reports;
        const OrganiseSummary summary = searchFolders({t}, &reports);
        QCOMPARE(summary.copied, 3);     // ok.jpg, one of the PNGs, the GBK-named one
        QCOMPARE(summary.duplicates, 1); // the other PNG
        QCOMPARE(summary.tooSmall, 1);
        QCOMPARE(summary.otherType, 1); // the pipe
        QCOMPARE(summary.failed, 0);
        QCOMPARE(reports.size(), 6);
        QHash<QByteArray, OrganiseEntry> byRaw;
        for (const OrganiseEntry &e : qAsConst(reports))
            byRaw.insert(e.rawSource, e);
        const OrganiseEntry okEntry = byRaw.value(QFile::encodeName(ok));
        QCOMPARE(okEntry.dateSource, QStringLiteral("EXIF DateTimeOriginal"));
        QCOMPARE(okEntry.target, out() + QStringLiteral("/照片/2019/05/ok.jpg"));
        // The raw name opens; its copy takes the converted name, which the report notes.
        const OrganiseEntry rawEntry = byRaw.value(raw);
        QCOMPARE(rawEntry.result, OrganiseEntry::Result::Copied);
        QCOMPARE(rawEntry.target, out() + QStringLiteral("/照片/2018/03/照片.jpg"));
        QVERIFY2(rawEntry.reason.contains(QStringLiteral("UTF-8")), qPrintable(rawEntry.reason));
        QCOMPARE(readFile(rawEntry.target), rawContent);
        QCOMPARE(rows(db()).size(), 3);
    }

    void undecodableNamesGetUnderscores()
    {
        // Neither UTF-8 nor GBK: the bytes that mean nothing become '_'.
        const QByteArray raw = QFile::encodeName(m_src->path()) + "/odd/\xff" + "x.jpg";
        const QByteArray content =
            padTo(withExif(makeJpeg(16, 16, 78), {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2017:01:02 03:04:05"}}),
                  47000, 78);
        QVERIFY(RawNames::writeRaw(raw, content));
        QList<OrganiseEntry> reports;
        QCOMPARE(searchFolders({m_src->path() + QStringLiteral("/odd")}, &reports).copied, 1);
        QCOMPARE(reports.first().target, out() + QStringLiteral("/照片/2017/01/_x.jpg"));
        QCOMPARE(readFile(reports.first().target), content);
    }

    void videosAndPngsDatedByTheirContainers()
    {
        const QDateTime utc(QDate(2016, 2, 3), QTime(12, 0, 0), Qt::UTC);
        const QString mp4 = m_src->path() + QStringLiteral("/c/a.mp4");
        const QString mov = m_src->path() + QStringLiteral("/c/b.MOV");
        const QString png = m_src->path() + QStringLiteral("/c/c.png");
        writeFile(mp4, makeMovie(utc.toSecsSinceEpoch(), QByteArray(), 50000, 1, false));
        writeFile(mov, makeMovie(utc.toSecsSinceEpoch(), "2015-12-31T23:30:00-0500", 50000, 2, true, true));
        writeFile(png, padTo(makePng(8, 8, 3, {}, "2014:07:08 09:10:11"), 50000, 3));
        for (const QString &p : {mp4, mov, png})
            setMtime(p, mtime(2020, 1, 1)); // the day they were copied
        m_org->setMedia(true, true);
        QList<OrganiseEntry> reports;
        QCOMPARE(searchFolders({m_src->path() + QStringLiteral("/c")}, &reports).copied, 3);
        const QString mp4Month = utc.toLocalTime().toString(QStringLiteral("yyyy/MM"));
        QStringList expected = {QStringLiteral("照片/2014/07/c.png"),
                                QStringLiteral("视频/") + mp4Month + QStringLiteral("/a.mp4"),
                                QStringLiteral("视频/2015/12/b.MOV")};
        expected.sort();
        QCOMPARE(filesUnder(out()), expected); // the camera's own zone decides, not this machine's
        QStringList sources;
        for (const OrganiseEntry &e : qAsConst(reports))
            sources << e.dateSource;
        sources.sort();
        QCOMPARE(sources,
                 QStringList({QStringLiteral("PNG Creation Time"), QStringLiteral("QuickTime creationdate"),
                              QStringLiteral("mvhd")}));
        QStringList created;
        for (const Row &r : rows(db()))
            created << r.createtime;
        QVERIFY2(created.contains(QStringLiteral("2015-12-31 23:30:00")) &&
                     created.contains(QStringLiteral("2014-07-08 09:10:11")),
                 qPrintable(created.join(QLatin1Char(','))));
    }

    void sizeLimitIs40000Bytes()
    {
        const QString small = jpeg(QStringLiteral("small.jpg"), 39999);
        const QString ok = jpeg(QStringLiteral("ok.jpg"), 40000);
        QSignalSpy names(m_org.get(), &LocalOrganiser::setFileName);
        organise({small, ok});
        QCOMPARE(names.size(), 1);
        QCOMPARE(names.at(0).at(1).toString(), ok);
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), 1);
        QCOMPARE(r.at(0).filesize, 40000);
        QCOMPARE(r.at(0).fromdev, ok);
        QCOMPARE(r.at(0).md5, md5Hex(readFile(ok)));
        QCOMPARE(readFile(r.at(0).localpath), readFile(ok));
    }

    void exifDateDecidesTheFolder()
    {
        const QString orig = jpeg(QStringLiteral("IMG_0001.JPG"), 50000,
                                  {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2019:05:12 10:20:30"}});
        const QString dtOnly =
            jpeg(QStringLiteral("dt.jpg"), 50000, {{EXIF_IFD_0, EXIF_TAG_DATE_TIME, "2011:01:02 03:04:05"}});
        // DateTimeDigitized is looked for first.
        const QString both = jpeg(QStringLiteral("both.jpeg"), 50000,
                                  {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2001:01:01 00:00:00"},
                                   {EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_DIGITIZED, "2002:02:02 02:02:02"}});
        const QString zero = jpeg(QStringLiteral("zero.jpg"), 50000,
                                  {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "0000:00:00 00:00:00"}});
        setMtime(zero, mtime(2016, 7, 8));
        QCOMPARE(CaptureTimes::embedded(QFile::encodeName(orig)).text(), QStringLiteral("2019-05-12 10:20:30"));
        QCOMPARE(CaptureTimes::embedded(QFile::encodeName(both)).text(), QStringLiteral("2002-02-02 02:02:02"));
        organise({orig, dtOnly, both, zero});
        QCOMPARE(filesUnder(out()),
                 QStringList({QStringLiteral("照片/2002/02/both.jpeg"), QStringLiteral("照片/2011/01/dt.jpg"),
                              QStringLiteral("照片/2016/07/zero.jpg"), QStringLiteral("照片/2019/05/IMG_0001.JPG")}));
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), 4);
        QCOMPARE(r.at(0).filename, QStringLiteral("IMG_0001.JPG"));
        QCOMPARE(r.at(0).localpath, out() + QStringLiteral("/照片/2019/05/IMG_0001.JPG"));
        QCOMPARE(r.at(0).createtime, QStringLiteral("2019-05-12 10:20:30"));
        QCOMPARE(r.at(3).createtime, QStringLiteral("2016-07-08 08:09:10"));
        // The copy keeps the source's modification time.
        QCOMPARE(QFileInfo(out() + QStringLiteral("/照片/2016/07/zero.jpg")).lastModified(), mtime(2016, 7, 8));
    }

    void exifTextForms_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("exif") << QByteArray("2019:05:12 10:20:30") << "2019-05-12 10:20:30";
        QTest::newRow("iso T") << QByteArray("2019-05-12T10:20:30") << "2019-05-12 10:20:30";
        QTest::newRow("unset clock") << QByteArray("0000:00:00 00:00:00") << "";
        QTest::newRow("blank") << QByteArray("    :  :     :  :  ") << "";
        QTest::newRow("month 13") << QByteArray("2019:13:12 10:20:30") << "";
        QTest::newRow("date only") << QByteArray("2019:05:12") << "";
    }
    void exifTextForms()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        QCOMPARE(ExifTime::normalise(value), expected);
    }

    void captureTimeFromContainers()
    {
        const QDateTime mvhdUtc(QDate(2018, 3, 4), QTime(23, 30, 0), Qt::UTC);
        const QList<DateTag> exif = {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2017:06:07 08:09:10"}};
        struct Case
        {
            const char *name;
            QByteArray bytes;
            const char *source;
            QDateTime time;
        };
        QByteArray truncated = makeMovie(mvhdUtc.toSecsSinceEpoch(), QByteArray(), 100, 1);
        truncated.chop(60); // mdat claims more than the file holds; moov came first and still counts
        QByteArray hostile = makeMovie(mvhdUtc.toSecsSinceEpoch(), QByteArray(), 100, 1, false);
        hostile.replace(hostile.indexOf("moov") - 4, 4, QByteArray("\xff\xff\xff\xf0", 4)); // moov beyond the end
        QByteArray largeSize = box("ftyp", "isom");
        largeSize += QByteArray("\0\0\0\1moov\xff\xff\xff\xff\xff\xff\xff\xff", 16);
        QByteArray zeroChild = makeMovie(mvhdUtc.toSecsSinceEpoch(), QByteArray(), 10, 1);
        zeroChild.replace(zeroChild.indexOf("mvhd") - 4, 4, QByteArray(4, '\0')); // size 0 inside moov
        QByteArray pngBadChunk = makePng(8, 8, 3, {}, "2001-01-01T00:00:00");
        pngBadChunk.replace(8, 4, QByteArray("\x7f\xff\xff\xff", 4)); // IHDR claims 2 GiB
        const QList<Case> cases = {
            {"mvhd", makeMovie(mvhdUtc.toSecsSinceEpoch(), QByteArray(), 1000, 1), "mvhd", mvhdUtc.toLocalTime()},
            {"moov after mdat", makeMovie(mvhdUtc.toSecsSinceEpoch(), QByteArray(), 1000, 1, false), "mvhd",
             mvhdUtc.toLocalTime()},
            {"creationdate with zone",
             makeMovie(mvhdUtc.toSecsSinceEpoch(), "2019-05-12T10:20:30+0800", 1000, 2, true, true),
             "QuickTime creationdate", QDateTime(QDate(2019, 5, 12), QTime(10, 20, 30), Qt::OffsetFromUTC, 8 * 3600)},
            {"mvhd unset", makeMovie(0, QByteArray(), 1000, 1), "文件时间", QDateTime()},
            {"truncated mdat", truncated, "mvhd", mvhdUtc.toLocalTime()},
            {"moov size beyond the end", hostile, "文件时间", QDateTime()},
            {"64-bit size beyond the end", largeSize, "文件时间", QDateTime()},
            {"size 0 inside moov", zeroChild, "文件时间", QDateTime()},
            {"png eXIf before text", makePng(8, 8, 3, exif, "2001-01-01T00:00:00"), "PNG eXIf",
             QDateTime(QDate(2017, 6, 7), QTime(8, 9, 10))},
            {"png text after the image", makePng(8, 8, 4, {}, "Sat, 12 May 2018 10:20:30 +0200", true),
             "PNG Creation Time", QDateTime(QDate(2018, 5, 12), QTime(10, 20, 30), Qt::OffsetFromUTC, 2 * 3600)},
            {"png chunk beyond the end", pngBadChunk, "文件时间", QDateTime()},
            {"jpeg", withExif(makeJpeg(8, 8, 5), exif), "EXIF DateTimeOriginal",
             QDateTime(QDate(2017, 6, 7), QTime(8, 9, 10))},
        };
        for (const Case &c : cases) {
            const QString path = m_src->path() + QStringLiteral("/c.bin");
            writeFile(path, c.bytes);
            setMtime(path, mtime(2011, 1, 1));
            const CaptureTime t = CaptureTimes::read(path);
            QVERIFY2(t.source == QString::fromUtf8(c.source), c.name);
            const QDateTime expected = c.time.isValid() ? c.time : mtime(2011, 1, 1);
            QVERIFY2(t.time == expected && t.time.offsetFromUtc() == expected.offsetFromUtc(),
                     qPrintable(QString::fromUtf8(c.name) + QStringLiteral(": ") + t.time.toString(Qt::ISODate)));
            QCOMPARE(t.text(), expected.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        }
    }

    // Pictures of the newer types with their EXIF, a Live Photo's dateless video beside its still,
    // and names that carry the moment they were made: each dated and placed by the folder search.
    void newTypesPairsAndNamedDates()
    {
        if (!ToolPictures::missingTools().isEmpty())
            QSKIP(qPrintable(ToolPictures::missingTools()));
        const QImage picture(64, 48, QImage::Format_RGB32);
        const QDateTime shot(QDate(2019, 3, 4), QTime(10, 10, 10));
        const QByteArray heic = ToolPictures::heif(picture);
        struct Case
        {
            QString name;
            QByteArray bytes;
            QString folder; // under 本地; empty: the file time's (2011/01)
            QString source;
        };
        const QString exif = QStringLiteral("EXIF DateTimeOriginal");
        const QString named = QStringLiteral("文件名");
        const QDateTime ms = QDateTime::fromMSecsSinceEpoch(1620828000123);
        const QString msFolder = ms.toString(QStringLiteral("yyyy/MM"));
        const QList<Case> cases = {
            {QStringLiteral("IMG_0100.HEIC"),
             padBoxes(ToolPictures::withExifDate(heic, QStringLiteral("heic"), shot), 50000),
             QStringLiteral("照片/2019/03"), exif},
            {QStringLiteral("IMG_0100.MOV"), makeMovie(0, QByteArray(), 50000, 1), QStringLiteral("视频/2019/03"),
             QStringLiteral("配对照片")},
            {QStringLiteral("IMG_0200.avif"),
             padBoxes(ToolPictures::withExifDate(ToolPictures::heif(picture, QStringLiteral("avif")),
                                                 QStringLiteral("avif"), shot.addYears(1)),
                      50000),
             QStringLiteral("照片/2020/03"), exif},
            {QStringLiteral("sticker.webp"),
             padTo(ToolPictures::withExifDate(ToolPictures::webp(picture), QStringLiteral("webp"), shot.addYears(-1)),
                   50000, 3),
             QStringLiteral("照片/2018/03"), exif},
            {QStringLiteral("IMG_20230708_090000.heic"), padBoxes(heic, 50000), QStringLiteral("照片/2023/07"), named},
            {QStringLiteral("mmexport1620828000123.jpg"), padTo(makeJpeg(16, 16, 4), 50000, 4),
             QStringLiteral("照片/") + msFolder, named},
            {QStringLiteral("wx_camera_1620828000123.jpg"), padTo(makeJpeg(16, 16, 5), 50000, 5),
             QStringLiteral("照片/") + msFolder, named},
            {QStringLiteral("IMG_20190304_101010.jpg"), padTo(makeJpeg(16, 16, 6), 50000, 6),
             QStringLiteral("照片/2019/03"), named},
            {QStringLiteral("PXL_20210102_030405123.jpg"), padTo(makeJpeg(16, 16, 7), 50000, 7),
             QStringLiteral("照片/2021/01"), named},
            {QStringLiteral("Screenshot_20220301-101010.png"), padTo(makePng(8, 8, 8, {}, QByteArray()), 50000, 8),
             QStringLiteral("照片/2022/03"), named},
            {QStringLiteral("2017-08-09 10.11.12.jpg"), padTo(makeJpeg(16, 16, 9), 50000, 9),
             QStringLiteral("照片/2017/08"), named},
            {QStringLiteral("VID_20200115_120000.mp4"), makeMovie(0, QByteArray(), 50000, 10),
             QStringLiteral("视频/2020/01"), named},
            {QStringLiteral("clip.m4v"), makeMovie(0, QByteArray(), 50000, 11), QStringLiteral("视频/2011/01"),
             QStringLiteral("文件时间")},
            {QStringLiteral("call.3gp"), makeMovie(0, QByteArray(), 50000, 12), QStringLiteral("视频/2011/01"),
             QStringLiteral("文件时间")},
            // Numbers that only look like dates.
            {QStringLiteral("IMG_20991231_101010.jpg"), padTo(makeJpeg(16, 16, 13), 50000, 13),
             QStringLiteral("照片/2011/01"), QStringLiteral("文件时间")},
            {QStringLiteral("IMG_19800101_000000.jpg"), padTo(makeJpeg(16, 16, 14), 50000, 14),
             QStringLiteral("照片/2011/01"), QStringLiteral("文件时间")},
            {QStringLiteral("IMG_20190230_101010.jpg"), padTo(makeJpeg(16, 16, 15), 50000, 15),
             QStringLiteral("照片/2011/01"), QStringLiteral("文件时间")},
            {QStringLiteral("DSC_201903041010101.jpg"), padTo(makeJpeg(16, 16, 16), 50000, 16),
             QStringLiteral("照片/2011/01"), QStringLiteral("文件时间")},
        };
        for (const Case &c : cases) {
            QVERIFY2(c.bytes.size() >= 50000, qPrintable(c.name));
            const QString path = m_src->path() + QStringLiteral("/phone/") + c.name;
            QVERIFY(writeFile(path, c.bytes));
            QVERIFY(setMtime(path, mtime(2011, 1, 20)));
        }
        m_org->setMedia(true, true);
        QList<OrganiseEntry> reports;
        searchFolders({m_src->path()}, &reports);
        for (const Case &c : cases) {
            const auto it = std::find_if(reports.cbegin(), reports.cend(), [&](const OrganiseEntry &e) {
                return e.source.endsWith(QStringLiteral("/") + c.name);
            });
            QVERIFY2(it != reports.cend(), qPrintable(c.name + QStringLiteral(" not reported")));
            QCOMPARE(it->target, out() + QStringLiteral("/") + c.folder + QStringLiteral("/") + c.name);
            QCOMPARE(it->dateSource, c.source);
        }
    }

    void captureTextForms_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("expected"); // ISO 8601 with the offset kept; empty: rejected
        QTest::newRow("zone with colon") << QByteArray("2019-05-12T10:20:30+08:00") << "2019-05-12T10:20:30+08:00";
        QTest::newRow("negative zone") << QByteArray("2019-05-12T10:20:30-0530") << "2019-05-12T10:20:30-05:30";
        QTest::newRow("rfc 1123") << QByteArray("Sun, 12 May 2019 10:20:30 +0800") << "2019-05-12T10:20:30+08:00";
        QTest::newRow("no seconds, no zone") << QByteArray("2019:05:12 10:20") << "2019-05-12T10:20:00";
        QTest::newRow("zone out of range") << QByteArray("2019-05-12T10:20:30+2500") << "";
        QTest::newRow("february 30") << QByteArray("2019-02-30 10:20:30") << "";
        QTest::newRow("words") << QByteArray("yesterday") << "";
    }
    void captureTextForms()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        const QDateTime t = CaptureTimes::parseText(value);
        QCOMPARE(t.isValid() ? t.toString(Qt::ISODate) : QString(), expected);
    }

    void fileTimeForPngsVideosAndDepth()
    {
        const QString png = plain(QStringLiteral("shot.PNG"), 45000, mtime(2015, 3, 4));
        const QString mov = plain(QStringLiteral("clip.mov"), 45000, mtime(2014, 11, 30));
        const QString other = plain(QStringLiteral("raw.xyz"), 45000, mtime(2013, 1, 9));
        const QString jpg = plain(QStringLiteral("a.JPG"), 45000, mtime(2012, 6, 7)); // no EXIF at all
        m_org->setFolderDepth(3);
        organise({png, mov, other, jpg});
        QCOMPARE(filesUnder(out()),
                 QStringList({QStringLiteral("照片/2012/06/07/a.JPG"), QStringLiteral("照片/2015/03/04/shot.PNG"),
                              QStringLiteral("视频/2013/01/09/raw.xyz"), QStringLiteral("视频/2014/11/30/clip.mov")}));
        m_org->setFolderDepth(1);
        organise({plain(QStringLiteral("y.mp4"), 45000, mtime(2010, 2, 2))});
        QVERIFY(QFile::exists(out() + QStringLiteral("/视频/2010/y.mp4")));
        QCOMPARE(rows(db()).at(1).createtime, QStringLiteral("2014-11-30 08:09:10"));
    }

    void sameNameOtherContentIsRenamed()
    {
        const QString first = jpeg(QStringLiteral("a/IMG_0001.JPG"), 41000,
                                   {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2019:05:12 10:20:30"}});
        const QString second = jpeg(QStringLiteral("b/IMG_0001.JPG"), 42000,
                                    {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2019:05:12 10:20:30"}});
        setMtime(second, QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5)));
        organise({first, second});
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), 2);
        QVERIFY2(QRegularExpression(QStringLiteral("^2020-01-02-03-04-05-1[0-8]-IMG_0001\\.JPG$"))
                     .match(r.at(1).filename)
                     .hasMatch(),
                 qPrintable(r.at(1).filename));
        QCOMPARE(readFile(r.at(0).localpath), readFile(first));
        QCOMPARE(readFile(r.at(1).localpath), readFile(second));
    }

    void clashCopiesAreFoundAgainAfterTheAlbumIsReset()
    {
        // Two different files of one name: the second is stored under a clash name with a number
        // drawn at random. With the album's records gone, later runs find both copies on disk.
        jpeg(QStringLiteral("a/DSC_1001.jpg"), 41000,
             {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2019:05:12 10:20:30"}});
        jpeg(QStringLiteral("b/DSC_1001.jpg"), 42000,
             {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2019:05:12 10:20:30"}});
        const QStringList folders{m_src->path() + QStringLiteral("/a"), m_src->path() + QStringLiteral("/b")};
        QCOMPARE(searchFolders(folders).copied, 2);
        const QStringList copies = filesUnder(out());
        QCOMPARE(copies.size(), 2);
        for (int reset = 0; reset < 3; ++reset) {
            m_org.reset();
            QVERIFY(QFile::remove(db()));
            m_org = std::make_unique<LocalOrganiser>(m_root->path() + QLatin1Char('/'));
            m_org->setFolderDepth(2);
            QList<OrganiseEntry> reports;
            const OrganiseSummary summary = searchFolders(folders, &reports);
            QCOMPARE(summary.copied, 0);
            QCOMPARE(summary.duplicates, 2);
            QCOMPARE(filesUnder(out()), copies);
            QCOMPARE(rows(db()).size(), 2); // both recorded again, each at its own copy
            for (const OrganiseEntry &e : qAsConst(reports)) {
                QVERIFY2(copies.contains(QDir(out()).relativeFilePath(e.target)) &&
                             readFile(e.target) == readFile(e.source),
                         qPrintable(e.target));
                QVERIFY2(e.reason.contains(QStringLiteral("相同内容已在目标位置")), qPrintable(e.reason));
            }
        }
    }

    void foreignFileAtTargetIsNeverOverwritten()
    {
        const QString src = jpeg(QStringLiteral("IMG_7.JPG"), 43000,
                                 {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2018:08:08 08:08:08"}});
        setMtime(src, QDateTime(QDate(2018, 8, 9), QTime(1, 2, 3)));
        const QString squatter = out() + QStringLiteral("/照片/2018/08/IMG_7.JPG");
        writeFile(squatter, "someone else's file");
        organise({src});
        QCOMPARE(readFile(squatter), QByteArray("someone else's file"));
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^2018-08-09-01-02-03-2[0-8]-IMG_7\\.JPG$"))
                     .match(r.at(0).filename)
                     .hasMatch(),
                 qPrintable(r.at(0).filename));
        QCOMPARE(readFile(r.at(0).localpath), readFile(src));

        // The same content already lying there is recorded as it is, not copied again.
        const QString twin = jpeg(QStringLiteral("IMG_8.JPG"), 43000,
                                  {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2018:08:08 08:08:08"}});
        writeFile(out() + QStringLiteral("/照片/2018/08/IMG_8.JPG"), readFile(twin));
        organise({twin});
        QCOMPARE(rows(db()).size(), 2);
        QCOMPARE(rows(db()).at(1).localpath, out() + QStringLiteral("/照片/2018/08/IMG_8.JPG"));
        QCOMPARE(filesUnder(out()).size(), 3);
    }

    void knownContentSkippedOrShown()
    {
        const QString a = jpeg(QStringLiteral("a.jpg"), 44000);
        organise({a});
        QCOMPARE(rows(db()).size(), 1);
        const QString copy = m_src->path() + QStringLiteral("/again/other-name.jpg");
        writeFile(copy, readFile(a));

        // Folder mode: nothing at all.
        QSignalSpy names(m_org.get(), &LocalOrganiser::setFileName);
        QSignalSpy status(m_org.get(), &LocalOrganiser::setCurrentStatus);
        m_org->setOrder(7);
        organise({copy});
        QCOMPARE(names.size(), 0);
        // All-disk mode: a row in the table, its order number in the status, no copy, no record.
        m_org->setShowDuplicates(true);
        status.clear();
        organise({copy});
        QCOMPARE(names.size(), 1);
        QCOMPARE(names.at(0).at(0).toInt(), 7);
        QCOMPARE(names.at(0).at(1).toString(), copy);
        QCOMPARE(status.at(1).at(0).toString(), QStringLiteral("已整理文件: 8"));
        QCOMPARE(rows(db()).size(), 1);
        QCOMPARE(filesUnder(out()).size(), 1);
    }

    void failedCopyLeavesNoRow()
    {
        const QString a = jpeg(QStringLiteral("a.jpg"), 44000);
        LocalOrganiser::setFailCopiesForTests(true);
        QSignalSpy names(m_org.get(), &LocalOrganiser::setFileName);
        organise({a});
        QCOMPARE(names.size(), 0);
        QCOMPARE(rows(db()).size(), 0);
        QCOMPARE(filesUnder(out()), QStringList());
        // No folder to be had (files stand in the way of every variant of the year): no row either.
        LocalOrganiser::setFailCopiesForTests(false);
        const QString b = plain(QStringLiteral("b.png"), 44000, mtime(2017, 4, 4));
        for (int n = 0; n < 100; ++n)
            writeFile(out() + (n ? QStringLiteral("/照片/2017(%1)").arg(n) : QStringLiteral("/照片/2017")), "x");
        organise({b});
        QCOMPARE(rows(db()).size(), 0);
        // Once possible, the file is organised: nothing hid it.
        QFile::remove(out() + QStringLiteral("/照片/2017"));
        organise({a, b});
        QCOMPARE(rows(db()).size(), 2);
    }

    void fileChangedAfterTheSearch_data()
    {
        QTest::addColumn<bool>("toKnownContent");
        QTest::addColumn<int>("result");
        QTest::newRow("new content") << false << int(OrganiseEntry::Result::Failed);
        QTest::newRow("content already organised") << true << int(OrganiseEntry::Result::Duplicate);
    }
    void fileChangedAfterTheSearch()
    {
        QFETCH(bool, toKnownContent);
        QFETCH(int, result);
        const QString known = jpeg(QStringLiteral("known.jpg"), 44000);
        organise({known});
        const QString a = jpeg(QStringLiteral("a.jpg"), 45000);
        const QString searched = md5Hex(readFile(a));
        // Rewritten in place between the search and the copy.
        QVERIFY(writeFile(a, toKnownContent ? readFile(known) : padTo(makeJpeg(16, 16, 999), 46000, 999)));
        QSignalSpy entries(m_org.get(), &LocalOrganiser::fileReported);
        organise({a}, {searched});
        QCOMPARE(entries.size(), 1);
        const OrganiseEntry e = entries.at(0).at(0).value<OrganiseEntry>();
        QCOMPARE(int(e.result), result);
        QVERIFY2(e.reason.contains(QStringLiteral("搜索后被改动")), qPrintable(e.reason));
        QCOMPARE(rows(db()).size(), 1);
        QCOMPARE(filesUnder(out()).size(), 1);
        // Later runs take the file as it is now, and only once.
        organise({a});
        organise({a});
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), toKnownContent ? 1 : 2);
        QCOMPARE(r.last().md5, md5Hex(readFile(a)));
        QCOMPARE(filesUnder(out()).size(), r.size());
    }

    void aNonFolderInTheLayoutIsSteppedAround_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<bool>("link");
        QTest::addColumn<QString>("folder");
        QTest::newRow("kind") << "照片" << false << "照片(1)/2019/05";
        QTest::newRow("year") << "照片/2019" << false << "照片/2019(1)/05";
        QTest::newRow("month") << "照片/2019/05" << false << "照片/2019/05(1)";
        QTest::newRow("dangling link as year") << "照片/2019" << true << "照片/2019(1)/05";
    }
    void aNonFolderInTheLayoutIsSteppedAround()
    {
        QFETCH(QString, blocker);
        QFETCH(bool, link);
        QFETCH(QString, folder);
        if (link) {
            QVERIFY(QDir().mkpath(QFileInfo(out() + QStringLiteral("/") + blocker).absolutePath()));
            QVERIFY(QFile::link(m_src->path() + QStringLiteral("/nowhere"), out() + QStringLiteral("/") + blocker));
        } else {
            QVERIFY(writeFile(out() + QStringLiteral("/") + blocker, "not a folder"));
        }
        const QList<DateTag> may = {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2019:05:12 10:20:30"}};
        const QString a = jpeg(QStringLiteral("a.jpg"), 44000, may);
        const QString b = jpeg(QStringLiteral("b.jpg"), 45000, may);
        organise({a});
        organise({b}); // and again: the file is never in the way for good
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), 2);
        QCOMPARE(r.at(0).localpath, out() + QStringLiteral("/") + folder + QStringLiteral("/a.jpg"));
        QCOMPARE(r.at(1).localpath, out() + QStringLiteral("/") + folder + QStringLiteral("/b.jpg"));
        QCOMPARE(readFile(r.at(1).localpath), readFile(b));
    }

    void failedInsertRemovesTheCopy()
    {
        {
            QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
            d.setDatabaseName(db());
            QVERIFY(d.open());
            QSqlQuery q(d);
            QVERIFY(q.exec(QStringLiteral(
                "create table albumlist(id integer primary key autoincrement,filename varchar,localpath varchar,"
                "filesize integer,md5 varchar,fromdev varchar,createtime varchar,lastratio integer,"
                "smallmd5 varchar,isExist integer,mobilefilepath varchar)")));
            QVERIFY(q.exec(QStringLiteral(
                "create trigger refuse before insert on albumlist begin select raise(abort, 'full'); end")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("setup"));
        QSignalSpy names(m_org.get(), &LocalOrganiser::setFileName);
        organise({jpeg(QStringLiteral("a.jpg"), 44000)});
        QCOMPARE(names.size(), 0);
        QCOMPARE(rows(db()).size(), 0);
        QVERIFY(QDir(out() + QStringLiteral("/照片")).exists()); // it got as far as the copy
        QCOMPARE(filesUnder(out()), QStringList());              // no unrecorded copy left behind
    }

    void workerSignalsOverEmptyList()
    {
        QSignalSpy status(m_org.get(), &LocalOrganiser::setCurrentStatus);
        QSignalSpy percent(m_org.get(), &LocalOrganiser::setCurrentPercent);
        QSignalSpy finished(m_org.get(), &LocalOrganiser::sendSearchFinish);
        organise({});
        QCOMPARE(status.size(), 2);
        QCOMPARE(status.at(0), QList<QVariant>({QStringLiteral("正在整理文件"), true}));
        QCOMPARE(status.at(1), QList<QVariant>({QStringLiteral("已整理文件总数: 0"), false}));
        QCOMPARE(percent.size(), 1);
        QCOMPARE(percent.at(0).at(0).toInt(), 100);
        QCOMPARE(finished.size(), 1);
    }

    void tenWorkersTakeEachFileOnce()
    {
        QThreadPool::globalInstance()->setMaxThreadCount(10);
        QStringList paths;
        const QByteArray body = padTo(QByteArray(), 40000, 99);
        for (int i = 0; i < 1500; ++i) {
            // Some names repeat with other content, so workers race for the same names.
            const QString p = m_src->path() + QStringLiteral("/d%1/IMG_%2.JPG").arg(i % 3).arg(i / 3);
            QByteArray b = body;
            std::memcpy(b.data(), &i, sizeof i);
            writeFile(p, b);
            paths << p;
        }
        QMutex lock;
        QList<int> orders;
        QStringList shown;
        int finishes = 0;
        connect(
            m_org.get(), &LocalOrganiser::setFileName, m_org.get(),
            [&](int order, const QString &name) {
                QMutexLocker l(&lock);
                orders << order;
                shown << name;
            },
            Qt::DirectConnection);
        connect(
            m_org.get(), &LocalOrganiser::sendSearchFinish, m_org.get(),
            [&] {
                QMutexLocker l(&lock);
                ++finishes;
            },
            Qt::DirectConnection);
        QSignalSpy summaries(m_org.get(), &LocalOrganiser::runFinished);
        QSignalSpy reports(m_org.get(), &LocalOrganiser::fileReported);
        organise(paths, {}, 10);
        QThreadPool::globalInstance()->setMaxThreadCount(QThread::idealThreadCount());
        QCOMPARE(finishes, 10);
        QCOMPARE(orders.size(), 1500);
        QCOMPARE(QSet<int>(orders.begin(), orders.end()).size(), 1500);
        QCOMPARE(*std::max_element(orders.begin(), orders.end()), 1499);
        QCOMPARE(QSet<QString>(shown.begin(), shown.end()).size(), 1500);
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), 1500);
        QSet<QString> targets;
        QHash<QString, int> plainNames;
        for (const Row &row : r) {
            targets.insert(row.localpath);
            if (row.filename.startsWith(QStringLiteral("IMG_")))
                ++plainNames[row.filename];
        }
        QCOMPARE(targets.size(), 1500);
        // Of three same-named files organised side by side, one keeps the plain name: a file
        // renamed for a clash never holds on to the name it does not use.
        QCOMPARE(plainNames.size(), 500);
        for (auto it = plainNames.constBegin(); it != plainNames.constEnd(); ++it)
            QVERIFY2(it.value() == 1, qPrintable(it.key()));
        QCOMPARE(filesUnder(out()).size(), 1500); // no temporary file left either
        // One report per file and one summary for the run, once the last worker ended.
        QVERIFY(TestSupport::waitFor([&] { return summaries.size() == 1; }, 5000));
        QCOMPARE(reports.size(), 1500);
        const OrganiseSummary summary = summaries.at(0).at(0).value<OrganiseSummary>();
        QCOMPARE(summary.copied, 1500);
        QVERIFY(!summary.stopped);
    }

    void folderSearchEndToEnd()
    {
        const QString t = m_src->path();
        jpeg(QStringLiteral("tree/IMG.JPG"), 41000);
        jpeg(QStringLiteral("tree/sub/a.Jpeg"), 41000);
        writeFile(t + QStringLiteral("/tree/x.jpg.bak"), padTo(QByteArray(), 41000, 5));
        writeFile(t + QStringLiteral("/tree/sub/deeper/clip.MP4"), padTo(QByteArray(), 41000, 6));
        writeFile(t + QStringLiteral("/tree/dup1.png"), padTo(QByteArray(), 41000, 7));
        writeFile(t + QStringLiteral("/tree/sub/dup2.png"), padTo(QByteArray(), 41000, 7));
        writeFile(t + QStringLiteral("/tree/tiny.jpg"), "tiny");
        m_org->readMediaSettings(); // no settings: pictures, no videos
        QVERIFY(m_org->picturesSelected());
        QVERIFY(!m_org->videosSelected());
        m_org->setFolderDepth(1);
        QStringList statuses;
        QList<int> percents;
        int finished = 0;
        connect(m_org.get(), &LocalOrganiser::setCurrentStatus, this, [&](const QString &s, bool) { statuses << s; });
        connect(m_org.get(), &LocalOrganiser::setCurrentPercent, this, [&](int p) { percents << p; });
        connect(m_org.get(), &LocalOrganiser::sendSearchFinish, this, [&] { ++finished; });
        QSignalSpy summaries(m_org.get(), &LocalOrganiser::runFinished);
        QVERIFY(m_org->startFolderSearch({t + QStringLiteral("/tree")}));
        QVERIFY(TestSupport::waitFor([&] { return finished == 1 && summaries.size() == 1; }, 20000));
        QVERIFY(m_org->waitForWorkers(5000));
        // The video left out is counted, not reported as a file.
        QCOMPARE(summaries.at(0).at(0).value<OrganiseSummary>().videosLeftOut, 1);
        QCOMPARE(summaries.at(0).at(0).value<OrganiseSummary>().picturesLeftOut, 0);
        QCOMPARE(m_org->folderDepth(), 2);
        QCOMPARE(statuses.first(), QStringLiteral("开始搜索"));
        QCOMPARE(statuses.at(1), QStringLiteral("正在整理文件"));
        QCOMPARE(statuses.last(), QStringLiteral("已整理文件总数: 3"));
        QCOMPARE(percents.first(), 0);
        QCOMPARE(percents.last(), 100);
        const QStringList files = filesUnder(out());
        QCOMPARE(files.size(), 3); // IMG.JPG, a.Jpeg and one of the two equal PNGs
        QVERIFY(files.filter(QStringLiteral("IMG.JPG")).size() == 1 &&
                files.filter(QStringLiteral("a.Jpeg")).size() == 1);

        // With videos selected the clip is found too; its row number follows the three rows.
        ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localVideo"), QStringLiteral("1"));
        m_org->readMediaSettings();
        QList<int> orders;
        connect(m_org.get(), &LocalOrganiser::setFileName, this, [&](int order, const QString &) { orders << order; });
        finished = 0;
        QVERIFY(m_org->startFolderSearch({t + QStringLiteral("/tree")}));
        QVERIFY(TestSupport::waitFor([&] { return finished == 1; }, 20000));
        QVERIFY(m_org->waitForWorkers(5000));
        QCOMPARE(filesUnder(out()).filter(QStringLiteral("视频/")).size(), 1);
        QCOMPARE(rows(db()).size(), 4);
        QCOMPARE(orders, QList<int>{3});
    }

    void folderSearchLeavesTheAlbumTreesAlone_data()
    {
        QTest::addColumn<QString>("listed");
        QTest::addColumn<int>("copied");
        QTest::newRow("storage root inside the listed folder") << "" << 1;
        QTest::newRow("a phone's folder listed") << "/万特相册/小米" << 0;
    }
    void folderSearchLeavesTheAlbumTreesAlone()
    {
        QFETCH(QString, listed);
        QFETCH(int, copied);
        // The storage root lies in the searched tree, with a phone's backup and earlier copies.
        m_org->setSavePath(m_src->path() + QStringLiteral("/"));
        jpeg(QStringLiteral("万特相册/小米/2019/05/phone.jpg"), 41000);
        jpeg(QStringLiteral("万特相册/本地/照片/2018/03/old.jpg"), 42000);
        jpeg(QStringLiteral("mine/b.jpg"), 43000);
        for (int round = 0; round < 2; ++round) {
            QList<OrganiseEntry> reports;
            const OrganiseSummary summary = searchFolders({m_src->path() + listed}, &reports);
            QCOMPARE(summary.copied, round == 0 ? copied : 0);
            for (const OrganiseEntry &e : qAsConst(reports))
                QVERIFY2(!e.source.contains(QStringLiteral("万特相册")) ||
                             e.result == OrganiseEntry::Result::FolderSkipped,
                         qPrintable(e.source));
        }
        QCOMPARE(rows(db()).size(), copied);
    }

    void foldersNotReadAreReported_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "/missing"
                                 << "文件夹不存在";
        QTest::newRow("a file listed") << "/photos/a.jpg"
                                       << "不是文件夹";
        QTest::newRow("unreadable subfolder") << "/deep"
                                              << "无法读取文件夹";
    }
    void foldersNotReadAreReported()
    {
        QFETCH(QString, folder);
        QFETCH(QString, reason);
        jpeg(QStringLiteral("photos/a.jpg"), 41000);
        QVERIFY(QDir().mkpath(m_src->path() + QStringLiteral("/deep")));
        QVERIFY(makeDeepChain(m_src->path() + QStringLiteral("/deep"), 18));
        QList<OrganiseEntry> reports;
        const OrganiseSummary summary =
            searchFolders({m_src->path() + folder, m_src->path() + QStringLiteral("/photos")}, &reports);
        QCOMPARE(summary.copied, 1); // the other folder is searched all the same
        QCOMPARE(summary.folders, 1);
        QCOMPARE(reports.size(), 2);
        const OrganiseEntry skipped =
            reports.at(0).result == OrganiseEntry::Result::FolderSkipped ? reports.at(0) : reports.at(1);
        QCOMPARE(skipped.result, OrganiseEntry::Result::FolderSkipped);
        QVERIFY2(skipped.reason.startsWith(reason), qPrintable(skipped.reason));
        QVERIFY2(skipped.source.startsWith(m_src->path() + folder), qPrintable(skipped.source));
    }

    void linksAreNeverFollowed()
    {
        const QString secret = jpeg(QStringLiteral("outside/secret.jpg"), 41000);
        jpeg(QStringLiteral("outside/more/other.jpg"), 42000);
        const QString real = jpeg(QStringLiteral("list/real.jpg"), 43000);
        const QString list = m_src->path() + QStringLiteral("/list");
        QVERIFY(QFile::link(secret, list + QStringLiteral("/link.jpg")));
        QVERIFY(QFile::link(m_src->path() + QStringLiteral("/outside"), list + QStringLiteral("/linkdir")));
        QVERIFY(QFile::link(real, list + QStringLiteral("/inside.jpg")));
        const OrganiseSummary summary = searchFolders({list});
        QCOMPARE(summary.copied, 1);
        QCOMPARE(summary.otherType, 2); // the two links named as pictures
        // A link handed to the organiser (put in a file's place after the search) is not followed either.
        organise({list + QStringLiteral("/link.jpg")}, {md5Hex(readFile(secret))});
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), 1);
        QCOMPARE(r.at(0).fromdev, real);
    }

    void copiesNeverGrantMoreThanTheSource_data()
    {
        QTest::addColumn<int>("source");
        QTest::addColumn<int>("copy");
        QTest::newRow("private") << 0600 << 0600;
        QTest::newRow("owner read only") << 0400 << 0400;
        QTest::newRow("group") << 0640 << 0640;
        QTest::newRow("everyone reads") << 0644 << 0644;
        QTest::newRow("everyone writes") << 0666 << 0644;
        QTest::newRow("executable") << 0755 << 0644;
    }
    void copiesNeverGrantMoreThanTheSource()
    {
        QFETCH(int, source);
        QFETCH(int, copy);
        const mode_t mask = ::umask(022);
        const QString a = jpeg(QStringLiteral("a.jpg"), 44000);
        QVERIFY(::chmod(QFile::encodeName(a).constData(), mode_t(source)) == 0);
        organise({a});
        ::umask(mask);
        const QList<Row> r = rows(db());
        QCOMPARE(r.size(), 1);
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(r.at(0).localpath).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), copy);
    }

    void allDiskSearchThroughTheEngine()
    {
        const QString t = m_src->path();
        const QString keep = jpeg(QStringLiteral("disk/Pictures/keep.jpg"), 41000);
        jpeg(QStringLiteral("disk/.cache/thumbnails/t.jpg"), 41000);
        jpeg(QStringLiteral("disk/万特相册/本地/照片/2019/o.jpg"), 41000);
        jpeg(QStringLiteral("disk/.local/share/Trash/files/gone.jpg"), 41000);
        jpeg(QStringLiteral("disk/.Trash-0/files/gone2.jpg"), 41000);
        const QString known = jpeg(QStringLiteral("disk/known.png"), 41000);
        organise({known});
        QCOMPARE(rows(db()).size(), 1);
        SearchEngine::setRootsForTests({t + QStringLiteral("/disk")});
        SearchEngine::start();
        m_org->startBackQuery();
        m_org->setOrder(0);
        m_org->setShowDuplicates(true);
        QStringList statuses, shown;
        int finished = 0;
        connect(m_org.get(), &LocalOrganiser::setCurrentStatus, this, [&](const QString &s, bool) { statuses << s; });
        connect(m_org.get(), &LocalOrganiser::setFileName, this, [&](int, const QString &f) { shown << f; });
        connect(m_org.get(), &LocalOrganiser::sendSearchFinish, this, [&] { ++finished; });
        QVERIFY(m_org->startAllDiskSearch());
        QVERIFY(TestSupport::waitFor([&] { return finished == 1; }, 20000));
        QVERIFY(m_org->waitForWorkers(5000));
        SearchEngine::stop();
        QCOMPARE(m_org->folderDepth(), 1);
        QCOMPARE(statuses.mid(0, 4),
                 QStringList({QStringLiteral("开始分析磁盘目录"), QStringLiteral("分析磁盘目录结束"),
                              QStringLiteral("分析文件信息"), QStringLiteral("磁盘文件总数2")}));
        QStringList expected = {known, keep};
        expected.sort();
        shown.sort();
        QCOMPARE(shown, expected); // the known file is shown, not copied
        QCOMPARE(rows(db()).size(), 2);
        QVERIFY(QFile::exists(out() + QStringLiteral("/照片/") +
                              QString::number(QFileInfo(keep).lastModified().date().year()) +
                              QStringLiteral("/keep.jpg")));
    }

    void skipRules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("skipped");
        QTest::newRow("admin desktop") << "C:\\Users\\Administrator\\Desktop\\a.jpg" << true;
        QTest::newRow("admin pictures") << "C:\\Users\\Administrator\\Pictures\\a.jpg" << false;
        QTest::newRow("program files any case") << "C:\\program files\\x\\a.jpg" << true;
        QTest::newRow("own output") << "/home/u/万特相册/本地/照片/a.jpg" << true;
        QTest::newRow("a phone's backup") << "/media/u/USB/万特相册/小米/2019/05/a.jpg" << true;
        QTest::newRow("recycle bin") << "/media/u/USB/$RECYCLE.BIN/a.jpg" << true;
        QTest::newRow("thumbnail cache") << "/home/u/.cache/thumbnails/large/a.png" << true;
        QTest::newRow("user trash") << "/home/u/.local/share/Trash/files/a.jpg" << true;
        QTest::newRow("volume trash") << "/media/u/USB/.Trash-1000/files/a.jpg" << true;
        QTest::newRow("system tree") << "/usr/share/backgrounds/a.jpg" << true;
        QTest::newRow("var") << "/var/lib/a.jpg" << true;
        QTest::newRow("removable under run") << "/run/media/u/USB/DCIM/a.jpg" << false;
        QTest::newRow("other run") << "/run/user/1000/a.jpg" << true;
        QTest::newRow("home pictures") << "/home/u/Pictures/2019/a.jpg" << false;
        QTest::newRow("hidden file itself") << "/home/u/Pictures/.a.jpg" << false;
        QTest::newRow("usr lookalike") << "/usrdata/a.jpg" << false;
        QTest::newRow("user folder named Trash") << "/home/u/Pictures/Trash/a.jpg" << false;
        QTest::newRow("fsck leftovers") << "/media/u/USB/lost+found/#123.jpg" << true;
    }
    void skipRules()
    {
        QFETCH(QString, path);
        QFETCH(bool, skipped);
        QCOMPARE(LocalOrganiser::isSkippedPath(path), skipped);
    }

    void md5OfFiles()
    {
        const QString empty = m_src->path() + QStringLiteral("/empty.jpg");
        writeFile(empty, QByteArray());
        const auto fileMd5 = [](const QString &path) { return FileOps::md5(QFile::encodeName(path)); };
        QCOMPARE(QString::fromLatin1(fileMd5(empty).toHex()), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
        QVERIFY(fileMd5(m_src->path() + QStringLiteral("/missing.jpg")).isEmpty());
        QVERIFY(fileMd5(m_src->path()).isEmpty());
        const QByteArray big = padTo(QByteArray(), 300000, 3);
        writeFile(m_src->path() + QStringLiteral("/big.jpg"), big);
        QCOMPARE(fileMd5(m_src->path() + QStringLiteral("/big.jpg")),
                 QCryptographicHash::hash(big, QCryptographicHash::Md5));
    }

    void saveDriveChoice()
    {
        const qint64 gib = qint64(1) << 30;
        StorageVolumes::setVolumesForTests({{QStringLiteral("/a/"), gib * 9 / 10}, {QStringLiteral("/b/"), gib * 120}});
        m_org->setSavePath(QString());
        m_org->pickSaveDrive();
        QCOMPARE(m_org->savePath(), QStringLiteral("/b/"));
        StorageVolumes::setVolumesForTests({{QStringLiteral("/a/"), gib * 9 / 10}});
        m_org->pickSaveDrive();
        QCOMPARE(m_org->savePath(), QDir::homePath() + QStringLiteral("/")); // never the current folder
        StorageVolumes::clearVolumesForTests();
    }
};

QTEST_MAIN(TestOrganiser)
#include "tst_organiser.moc"
