// The file-name engine over an injected tree: matching, order, each file once, refresh, stop.
#include "platform/SearchEngine.h"
#include "tests/support/RawNames.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

using TestSupport::writeFile;

namespace {

// The child of exitWhileSearching: the engine indexes root while another thread searches over and
// over, then the process exits without stopping the engine, as it does when Qt ends it for a lost
// display. Its status is the one given to exit(), not an abort.
int exitWhileSearching(const char *root)
{
    SearchEngine::setRootsForTests({QString::fromLocal8Bit(root)});
    SearchEngine::start();
    std::atomic<int> searches{0};
    std::thread([&searches] {
        SearchEngine::setSearch(QStringLiteral("*.jpg"));
        while (SearchEngine::updateAllFolderIndexes() && SearchEngine::query(true))
            ++searches;
    }).detach();
    while (searches < 3)
        std::this_thread::yield();
    std::exit(7);
}

} // namespace

class TestSearchEngine : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_tree;

    QStringList queryAll(const QString &pattern)
    {
        SearchEngine::setSort(3);
        SearchEngine::setSearch(pattern);
        if (!SearchEngine::query(true))
            return {QStringLiteral("<query failed>")};
        QStringList out;
        for (int i = 0; i < SearchEngine::numResults(); ++i)
            out << SearchEngine::resultPath(i) + QLatin1Char('/') + SearchEngine::resultFileName(i);
        return out;
    }

private slots:
    void initTestCase()
    {
        const QString t = m_tree.path();
        writeFile(t + QStringLiteral("/IMG.JPG"), "a");
        writeFile(t + QStringLiteral("/a.Jpeg"), "b");
        writeFile(t + QStringLiteral("/x.jpg.bak"), "c");
        writeFile(t + QStringLiteral("/b/deep/z.png"), "d");
        writeFile(t + QStringLiteral("/b/deep/clip.MP4"), "e");
        writeFile(t + QStringLiteral("/.cache/thumb.jpg"), "f");
        writeFile(t + QStringLiteral("/照片/家.jpg"), "g");
        writeFile(t + QStringLiteral("/A/c.jpg"), "h");
        QVERIFY(QFile::link(t, t + QStringLiteral("/b/loop"))); // a link back to the root is not followed
        QVERIFY(QFile::link(t + QStringLiteral("/IMG.JPG"), t + QStringLiteral("/link.jpg")));
        SearchEngine::setRootsForTests({t, t + QStringLiteral("/b")}); // a nested root is not listed twice
    }

    void notStartedDoesNotAnswer()
    {
        QVERIFY(!SearchEngine::isRunning());
        QVERIFY(!SearchEngine::updateAllFolderIndexes());
        SearchEngine::setSearch(QStringLiteral("*.jpg"));
        QVERIFY(!SearchEngine::query(true));
        QCOMPARE(SearchEngine::numResults(), 0);
    }

    void findsEachFileOnceInPathOrder()
    {
        SearchEngine::start();
        QVERIFY(SearchEngine::isRunning());
        QVERIFY(SearchEngine::updateAllFolderIndexes());
        const QString t = m_tree.path();
        const QStringList got = queryAll(QStringLiteral("*.jpg|*.png|*.jpeg|*.JPG|*.PNG|*.JPEG"));
        const QStringList expected = {t + QStringLiteral("/a.Jpeg"),           t + QStringLiteral("/IMG.JPG"),
                                      t + QStringLiteral("/.cache/thumb.jpg"), t + QStringLiteral("/A/c.jpg"),
                                      t + QStringLiteral("/b/deep/z.png"),     t + QStringLiteral("/照片/家.jpg")};
        QCOMPARE(got, expected);
        QCOMPARE(queryAll(QStringLiteral("*.mp4")), QStringList{t + QStringLiteral("/b/deep/clip.MP4")});
        QCOMPARE(queryAll(QString()), QStringList()); // an empty pattern matches nothing
        QCOMPARE(queryAll(QStringLiteral("家")),
                 QStringList{t + QStringLiteral("/照片/家.jpg")}); // no wildcard: part of the name
        QCOMPARE(SearchEngine::resultFileName(5), QString());      // out of range
    }

    void refreshSeesNewFiles()
    {
        const QString t = m_tree.path();
        writeFile(t + QStringLiteral("/new/n.jpg"), "n");
        QVERIFY(SearchEngine::updateAllFolderIndexes());
        QVERIFY(queryAll(QStringLiteral("*.jpg")).contains(t + QStringLiteral("/new/n.jpg")));
        QFile::remove(t + QStringLiteral("/new/n.jpg"));
        QVERIFY(SearchEngine::updateAllFolderIndexes());
        QVERIFY(!queryAll(QStringLiteral("*.jpg")).contains(t + QStringLiteral("/new/n.jpg")));
    }

    void threadsKeepTheirOwnResults()
    {
        SearchEngine::setSearch(QStringLiteral("*.png"));
        QVERIFY(SearchEngine::query(true));
        QCOMPARE(SearchEngine::numResults(), 1);
        auto other = std::async(std::launch::async, [] {
            SearchEngine::setSearch(QStringLiteral("*.jpg|*.jpeg"));
            SearchEngine::query(true);
            const int n = SearchEngine::numResults();
            SearchEngine::reset();
            return n;
        });
        QCOMPARE(other.get(), 5);
        QCOMPARE(SearchEngine::numResults(), 1);
        QCOMPARE(SearchEngine::resultFileName(0), QStringLiteral("z.png"));
    }

    void stopWakesBlockedQueriesAndRestarts()
    {
        // A query blocked on a requested index is released by abortQueries() and by stop().
        SearchEngine::setRootsForTests({m_tree.path()});
        QVERIFY(SearchEngine::updateAllFolderIndexes());
        SearchEngine::abortQueries();
        SearchEngine::stop();
        QVERIFY(!SearchEngine::isRunning());
        QVERIFY(!SearchEngine::query(true));
        SearchEngine::start();
        QCOMPARE(queryAll(QStringLiteral("*.png")).size(), 1);
        SearchEngine::stop();
    }

    void volumesAreDiskFileSystems()
    {
        const QStringList volumes = SearchEngine::indexedVolumes();
        for (const QString &v : volumes) {
            QVERIFY2(!v.startsWith(QLatin1String("/proc")) && !v.startsWith(QLatin1String("/sys")) &&
                         !v.startsWith(QLatin1String("/dev")),
                     qPrintable(v));
        }
        QCOMPARE(QSet<QString>(volumes.begin(), volumes.end()).size(), volumes.size());
    }

    void exitWhileSearching()
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("exit-while-searching"), m_tree.path()});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 7);
    }

    void cancelBeforeTheQueryAndRawNames()
    {
        const QByteArray folder = QFile::encodeName(m_tree.path()) + "/raw";
        const QByteArray raw = folder + "/" + RawNames::gbkName() + ".jpg";
        QVERIFY(RawNames::writeRaw(raw, "r"));
        SearchEngine::setRootsForTests({m_tree.path()});
        SearchEngine::start();
        QVERIFY(SearchEngine::updateAllFolderIndexes());
        SearchEngine::setSearch(QStringLiteral("*.jpg"));
        // A stop that lands before the query starts waiting is seen: no wait for the rebuild.
        std::atomic<bool> cancel{true};
        QVERIFY(!SearchEngine::query(true, &cancel));
        QCOMPARE(SearchEngine::numResults(), 0);
        cancel = false;
        QVERIFY(SearchEngine::query(true, &cancel));
        QList<QByteArray> found;
        for (int i = 0; i < SearchEngine::numResults(); ++i)
            found << SearchEngine::resultRawPath(i);
        QVERIFY(found.contains(raw)); // the name's bytes as on disk, not a lossy conversion
        SearchEngine::reset();
        SearchEngine::stop();
        QCOMPARE(SearchEngine::liveIndexes(), 0); // nothing holds an index once reset and stopped
        RawNames::removeTreeRaw(folder);
    }
};

int main(int argc, char *argv[])
{
    if (argc == 3 && !std::strcmp(argv[1], "exit-while-searching"))
        return exitWhileSearching(argv[2]);
    QCoreApplication app(argc, argv);
    TestSearchEngine t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_searchengine.moc"
