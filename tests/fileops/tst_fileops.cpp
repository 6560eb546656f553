// Staging, no-replace rename, leftover cleanup, md5 and abortable copies over raw byte paths.
#include "fileops/FileOps.h"
#include "tests/support/RawNames.h"
#include "tests/support/TestSupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using RawNames::readRaw;
using RawNames::writeRaw;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const QByteArray kPrefix = ".vanteo-copy-";
const QByteArray kGbk = RawNames::gbkName();

QList<QByteArray> entries(const QString &dir)
{
    return RawNames::filesUnderRaw(QFile::encodeName(dir));
}

// A temporary folder whose raw-named files are removed with it.
struct RawDir
{
    QTemporaryDir dir;
    QString path() const { return dir.path(); }
    ~RawDir() { RawNames::removeTreeRaw(QFile::encodeName(dir.path())); }
};

} // namespace

class TestFileOps : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { FileOps::setReadThrottleForTests(0); }

    void md5OfRawNamesAndFailures()
    {
        RawDir dir;
        const QByteArray d = QFile::encodeName(dir.path());
        QByteArray content(3 * 1024 * 1024 + 17, Qt::Uninitialized);
        for (int i = 0; i < content.size(); ++i)
            content[i] = char(i * 7 + i / 1000);
        QVERIFY(writeRaw(d + "/" + kGbk + ".jpg", content));
        QCOMPARE(FileOps::md5(d + "/" + kGbk + ".jpg"), QCryptographicHash::hash(content, QCryptographicHash::Md5));
        QVERIFY(writeRaw(d + "/empty", QByteArray()));
        QCOMPARE(FileOps::md5Hex(dir.path() + QStringLiteral("/empty")),
                 QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
        QVERIFY(FileOps::md5(d + "/missing").isEmpty());
        QVERIFY(FileOps::md5(d).isEmpty());
        // A stop seen between blocks gives no digest, and says why.
        std::atomic<bool> stop{true};
        bool stopped = false;
        QVERIFY(FileOps::md5(d + "/" + kGbk + ".jpg", &stop, &stopped).isEmpty());
        QVERIFY(stopped);
    }

    void renameNeverReplaces()
    {
        RawDir dir;
        const QByteArray d = QFile::encodeName(dir.path());
        QVERIFY(writeRaw(d + "/a", "a"));
        QVERIFY(writeRaw(d + "/b", "b"));
        QCOMPARE(FileOps::renameNoReplace(d + "/a", d + "/b"), FileOps::MoveResult::Exists);
        QCOMPARE(readRaw(d + "/b"), QByteArray("b"));
        QVERIFY(::symlink("nowhere", QByteArray(d + "/dangling").constData()) == 0);
        QCOMPARE(FileOps::renameNoReplace(d + "/a", d + "/dangling"), FileOps::MoveResult::Exists);
        QCOMPARE(FileOps::renameNoReplace(d + "/a", d + "/" + kGbk), FileOps::MoveResult::Moved);
        QCOMPARE(readRaw(d + "/" + kGbk), QByteArray("a"));
        QCOMPARE(FileOps::renameNoReplace(d + "/gone", d + "/c"), FileOps::MoveResult::Failed);
    }

    void writeReplacingIsWholeOrNothing()
    {
        RawDir dir;
        const QByteArray d = QFile::encodeName(dir.path());
        QVERIFY(writeRaw(d + "/f", "old"));
        QVERIFY(FileOps::writeReplacing(d + "/f", "new content", FileOps::SyncPolicy::FileAndFolder, 0600));
        QCOMPARE(readRaw(d + "/f"), QByteArray("new content"));
        struct stat st
        { };
        QVERIFY(::stat(QByteArray(d + "/f").constData(), &st) == 0 && (st.st_mode & 0777) == 0600);
        // A failure leaves what was there, and nothing beside it.
        QVERIFY(::mkdir(QByteArray(d + "/dir").constData(), 0755) == 0);
        QString why;
        QVERIFY(!FileOps::writeReplacing(d + "/dir", "x", FileOps::SyncPolicy::None, 0644, &why));
        QVERIFY(!why.isEmpty());
        QVERIFY(!FileOps::writeReplacing(d + "/missing/f", "x", FileOps::SyncPolicy::None));
        QCOMPARE(RawNames::filesUnderRaw(d), QList<QByteArray>{"f"});
    }

    void copyKeepsTimesAndNeverReplaces()
    {
        RawDir dir;
        const QByteArray d = QFile::encodeName(dir.path());
        const QByteArray src = d + "/" + kGbk + ".mov";
        QVERIFY(writeRaw(src, QByteArray(2 * 1024 * 1024 + 3, 'v')));
        struct utimbuf times
        {
            1000000000, 1262304000
        }; // 2010-01-01
        QVERIFY(::utime(src.constData(), &times) == 0);
        QVERIFY(QDir().mkpath(dir.path() + QStringLiteral("/out")));
        QString why;
        QCOMPARE(FileOps::copyNoReplace(src, d + "/out/" + kGbk + ".mov", kPrefix, FileOps::SyncPolicy::FileAndFolder,
                                        nullptr, &why),
                 FileOps::CopyResult::Copied);
        QCOMPARE(readRaw(d + "/out/" + kGbk + ".mov"), readRaw(src));
        struct stat st;
        QVERIFY(::stat(QByteArray(d + "/out/" + kGbk + ".mov").constData(), &st) == 0);
        QCOMPARE(qint64(st.st_mtime), qint64(1262304000));
        QVERIFY(writeFile(dir.path() + QStringLiteral("/out/taken.mov"), "someone else's"));
        QCOMPARE(FileOps::copyNoReplace(src, d + "/out/taken.mov", kPrefix, FileOps::SyncPolicy::None, nullptr, &why),
                 FileOps::CopyResult::Exists);
        QCOMPARE(readFile(dir.path() + QStringLiteral("/out/taken.mov")), QByteArray("someone else's"));
        QCOMPARE(
            FileOps::copyNoReplace(d + "/missing", d + "/out/x", kPrefix, FileOps::SyncPolicy::None, nullptr, &why),
            FileOps::CopyResult::Failed);
        QVERIFY(!why.isEmpty());
        QCOMPARE(entries(dir.path() + QStringLiteral("/out")).size(), 2); // no staged file left by either
    }

    void stopEndsSlowCopyAndHashSoon()
    {
        RawDir dir;
        const QByteArray d = QFile::encodeName(dir.path());
        QVERIFY(writeRaw(d + "/big", QByteArray(64 * 1024 * 1024, 'x')));
        FileOps::setReadThrottleForTests(8 * 1024 * 1024); // a slow disk: the whole file takes 8 s
        for (int kind = 0; kind < 2; ++kind) {
            std::atomic<bool> stop{false};
            qint64 stoppedAfterMs = -1;
            FileOps::CopyResult result = FileOps::CopyResult::Copied;
            QByteArray digest = "unset";
            std::thread worker([&] {
                if (kind == 0)
                    result = FileOps::copyNoReplace(d + "/big", d + "/copy", kPrefix, FileOps::SyncPolicy::None, &stop);
                else
                    digest = FileOps::md5(d + "/big", &stop);
            });
            // Once the work is under way (a staged file exists, or some time was spent hashing).
            QVERIFY(TestSupport::waitFor([&] { return kind == 1 || entries(dir.path()).size() == 2; }, 5000));
            QTest::qWait(kind == 1 ? 300 : 0);
            QElapsedTimer t;
            t.start();
            stop = true;
            worker.join();
            stoppedAfterMs = t.elapsed();
            QVERIFY2(stoppedAfterMs < 200, qPrintable(QString::number(stoppedAfterMs)));
            if (kind == 0)
                QCOMPARE(result, FileOps::CopyResult::Stopped);
            else
                QVERIFY(digest.isEmpty());
            QCOMPARE(entries(dir.path()), QList<QByteArray>{"big"}); // the partial copy is gone
        }
    }

    void staleStagedFilesRemoved()
    {
        QTemporaryDir dir;
        const QString d = dir.path();
        const QString old = d + QStringLiteral("/2019/05/.vanteo-copy-0123456789abcdef.part");
        const QString fresh = d + QStringLiteral("/2019/.vanteo-copy-fedcba9876543210.part");
        const QString lookalike = d + QStringLiteral("/2019/05/.vanteo-copy-notmine.part");
        const QString other = d + QStringLiteral("/2019/05/.vt-0123456789abcdef.part");
        for (const QString &p : {old, fresh, lookalike, other})
            QVERIFY(writeFile(p, "x"));
        const QDateTime hourAgo = QDateTime::currentDateTime().addSecs(-3600);
        for (const QString &p : {old, lookalike, other}) {
            QFile f(p);
            QVERIFY(f.open(QIODevice::ReadWrite) && f.setFileTime(hourAgo, QFileDevice::FileModificationTime));
        }
        // A link out of the tree is not followed.
        QTemporaryDir outside;
        QVERIFY(writeFile(outside.path() + QStringLiteral("/.vanteo-copy-0123456789abcdef.part"), "y"));
        QFile f(outside.path() + QStringLiteral("/.vanteo-copy-0123456789abcdef.part"));
        QVERIFY(f.open(QIODevice::ReadWrite) && f.setFileTime(hourAgo, QFileDevice::FileModificationTime));
        QVERIFY(QFile::link(outside.path(), d + QStringLiteral("/link")));
        QCOMPARE(FileOps::removeStaleStaged(QFile::encodeName(d), kPrefix, 600), 1);
        QVERIFY(!QFile::exists(old));
        QVERIFY(QFile::exists(fresh) && QFile::exists(lookalike) && QFile::exists(other));
        QVERIFY(QFile::exists(outside.path() + QStringLiteral("/.vanteo-copy-0123456789abcdef.part")));
    }
};

QTEST_GUILESS_MAIN(TestFileOps)
#include "tst_fileops.moc"
