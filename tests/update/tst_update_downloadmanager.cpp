// Downloads over real HTTPS on loopback: staging and atomic replacement, failures, aborting, one transfer
// at a time.
#include "update/DownLoadManager.h"

#include "HttpsTestServer.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

class TestDownLoadManager : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_server;
    QByteArray m_content;
    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
        m_content = TestSupport::patternBytes(1024 * 1024);
        QVERIFY(TestSupport::writeFile(m_server.root() + QStringLiteral("/pkg.bin"), m_content));
        QVERIFY(TestSupport::writeFile(m_server.root() + QStringLiteral("/small.bin"), m_content.left(60 * 1024)));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    // A whole transfer replaces an earlier file at the target and leaves nothing staged.
    void success_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("target");
        QTest::newRow("plain") << "/pkg.bin"
                               << "pkg.bin";
        QTest::newRow("folder with _tmp") << "/pkg.bin"
                                          << "a_tmp/pkg.bin";
        QTest::newRow("name ending in _tmp") << "/pkg.bin"
                                             << "b_tmp/pkg_tmp";
        QTest::newRow("redirect followed") << "/redirect/pkg.bin"
                                           << "pkg.bin";
    }

    void success()
    {
        QFETCH(QString, path);
        QFETCH(QString, target);
        const QString file = m_dir->filePath(target);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QVERIFY(TestSupport::writeFile(file, "old"));

        DownLoadManager manager;
        QSignalSpy finished(&manager, &DownLoadManager::signalReplyFinished);
        QSignalSpy progress(&manager, &DownLoadManager::signalDownloadProcess);
        QSignalSpy errors(&manager, &DownLoadManager::signalDownloadError);
        manager.downloadFile(3, QUrl(m_server.url(path)), file);
        QVERIFY(manager.isRunning());
        QCOMPARE(manager.url(), QUrl(m_server.url(path)));
        QVERIFY(finished.wait(15000));

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 1);
        QCOMPARE(finished.at(0).at(1).toInt(), 3);
        QCOMPARE(finished.at(0).at(2).toString(), file);
        QCOMPARE(errors.count(), 0);
        QVERIFY(!manager.isRunning());
        QCOMPARE(TestSupport::filesUnder(m_dir->path()), QStringList{target});
        QVERIFY(TestSupport::readFile(file) == m_content);
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), qlonglong(m_content.size()));
        QCOMPARE(manager.bytesReceived(), qlonglong(m_content.size()));
    }

    // An error leaves an earlier file at the target as it was and nothing staged, and only
    // signalDownloadError is emitted.
    void failure_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("server error 500") << "/error500/pkg.bin";
        QTest::newRow("connection dropped mid-body") << "/drop/pkg.bin";
        QTest::newRow("not found") << "/no-such-file";
        QTest::newRow("nobody listening") << "https://127.0.0.1:1/pkg.bin";
    }

    void failure()
    {
        QFETCH(QString, path);
        const QString file = m_dir->filePath(QStringLiteral("pkg.bin"));
        QVERIFY(TestSupport::writeFile(file, "old"));

        DownLoadManager manager;
        QSignalSpy finished(&manager, &DownLoadManager::signalReplyFinished);
        QSignalSpy errors(&manager, &DownLoadManager::signalDownloadError);
        const QString url = path.startsWith(QLatin1String("https:")) ? path : m_server.url(path);
        manager.downloadFile(4, QUrl(url), file);
        // The partial file is there while the body comes in (the drop follows 0.3 s after its half).
        bool sawTemp = false;
        QVERIFY(TestSupport::waitFor(
            [&] {
                sawTemp = sawTemp || QFileInfo(manager.stagingPath()).size() > 0;
                return errors.count() > 0;
            },
            15000));
        QTest::qWait(200);

        QCOMPARE(errors.count(), 1);
        QCOMPARE(finished.count(), 0);
        QVERIFY(!manager.isRunning());
        QCOMPARE(manager.bytesReceived(), qlonglong(0));
        QCOMPARE(TestSupport::filesUnder(m_dir->path()), QStringList{QStringLiteral("pkg.bin")});
        QVERIFY(TestSupport::readFile(file) == "old");
        if (path.startsWith(QLatin1String("/drop/")))
            QVERIFY2(sawTemp, "no partial data arrived before the drop");
    }

    // An empty body is no download.
    void emptyBody()
    {
        const QString file = m_dir->filePath(QStringLiteral("empty.bin"));
        DownLoadManager manager;
        QSignalSpy finished(&manager, &DownLoadManager::signalReplyFinished);
        manager.downloadFile(2, QUrl(m_server.url(QStringLiteral("/empty"))), file);
        QVERIFY(finished.wait(15000));
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QCOMPARE(finished.at(0).at(1).toInt(), 2);
        QCOMPARE(finished.at(0).at(2).toString(), QString());
        QCOMPARE(TestSupport::filesUnder(m_dir->path()), QStringList());
    }

    // closeDownload mid-transfer: aborted without a signal, the staged file deleted; the same
    // object then carries the next transfer.
    void closeMidTransfer()
    {
        const QString file = m_dir->filePath(QStringLiteral("pkg.bin"));
        DownLoadManager manager;
        QSignalSpy finished(&manager, &DownLoadManager::signalReplyFinished);
        QSignalSpy errors(&manager, &DownLoadManager::signalDownloadError);
        QSignalSpy progress(&manager, &DownLoadManager::signalDownloadProcess);
        manager.downloadFile(1, QUrl(m_server.url(QStringLiteral("/slow/pkg.bin"))), file);
        const QString temp = manager.stagingPath();
        QVERIFY(QFileInfo(temp).absolutePath() == m_dir->path());
        QVERIFY(TestSupport::waitFor([&] { return QFileInfo(temp).size() > 0; }, 15000));

        manager.closeDownload();
        QVERIFY(!manager.isRunning());
        QCOMPARE(manager.bytesReceived(), qlonglong(0));
        QCOMPARE(manager.bytesTotal(), qlonglong(0));
        QVERIFY(!QFile::exists(temp));
        const int progressSeen = progress.count();
        QTest::qWait(500);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(progress.count(), progressSeen);
        QCOMPARE(TestSupport::filesUnder(m_dir->path()), QStringList());

        manager.downloadFile(6, QUrl(m_server.url(QStringLiteral("/small.bin"))), file);
        QVERIFY(finished.wait(15000));
        QCOMPARE(finished.at(0).at(0).toInt(), 1);
        QCOMPARE(finished.at(0).at(1).toInt(), 6);
        QVERIFY(TestSupport::readFile(file) == m_content.left(60 * 1024));
    }

    // A second request while one runs is dropped, but its type is the one reported.
    void secondRequestDropped()
    {
        const QString first = m_dir->filePath(QStringLiteral("first.bin"));
        const QString second = m_dir->filePath(QStringLiteral("second.bin"));
        const int before = m_server.requests().size();
        DownLoadManager manager;
        QSignalSpy finished(&manager, &DownLoadManager::signalReplyFinished);
        manager.downloadFile(5, QUrl(m_server.url(QStringLiteral("/slow/small.bin"))), first);
        manager.downloadFile(7, QUrl(m_server.url(QStringLiteral("/pkg.bin"))), second);
        QCOMPARE(manager.url(), QUrl(m_server.url(QStringLiteral("/slow/small.bin"))));
        QVERIFY(finished.wait(15000));
        QTest::qWait(200);

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 1);
        QCOMPARE(finished.at(0).at(1).toInt(), 7);
        QCOMPARE(finished.at(0).at(2).toString(), first);
        QCOMPARE(TestSupport::filesUnder(m_dir->path()), QStringList{QStringLiteral("first.bin")});
        QCOMPARE(m_server.requests().mid(before), QStringList{QStringLiteral("/slow/small.bin")});
    }
};

QTEST_GUILESS_MAIN(TestDownLoadManager)
#include "tst_update_downloadmanager.moc"
