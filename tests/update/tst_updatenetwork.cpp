// The update check against a real HTTPS server on loopback: update.xml, the version compare, the
// installer download and its md5, the prompt, and the detached start followed by the exit.
#include "update/UpdateNetwork.h"

#include "HttpsTestServer.h"
#include "platform/AppPaths.h"
#include "platform/DetachedProcess.h"
#include "platform/Dialogs.h"
#include "tests/support/TestSupport.h"
#include "update/DownLoadManager.h"

#include <QDir>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString kXmlPath = QStringLiteral("/update/win64/update.xml");

using Fields = QList<QPair<QString, QString>>;

QByteArray updateXml(const Fields &fields)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n";
    for (const auto &f : fields)
        xml += "  <" + f.first.toUtf8() + ">" + f.second.toHtmlEscaped().toUtf8() + "</" + f.first.toUtf8() + ">\n";
    return xml + "</update>\n";
}

struct Started
{
    QString program;
    QString workingDirectory;
};

} // namespace

class TestUpdateNetwork : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_server;
    std::unique_ptr<QTemporaryDir> m_programDir;
    QByteArray m_installer;
    QList<Started> m_started;
    QList<int> m_exits;

    // Every field with a valid answer; tests change what they look at.
    Fields fields(const QString &code = QStringLiteral("101"))
    {
        return {{QStringLiteral("versionCode"), code},
                {QStringLiteral("versionName"), QStringLiteral("2.0.0")},
                {QStringLiteral("md5"), TestSupport::md5Hex(m_installer)},
                {QStringLiteral("content"), QStringLiteral("fixes")},
                {QStringLiteral("url"), m_server.url(QStringLiteral("/dl/setup.sh"))},
                {QStringLiteral("size"), QString::number(m_installer.size())},
                {QStringLiteral("isForce"), QStringLiteral("false")},
                {QStringLiteral("isIgnorable"), QStringLiteral("false")},
                {QStringLiteral("isSilent"), QStringLiteral("false")},
                {QStringLiteral("hasUpdate"), QStringLiteral("true")}};
    }

    static void set(Fields &f, const QString &name, const QString &value)
    {
        for (auto &p : f)
            if (p.first == name)
                p.second = value;
    }

    void publish(const Fields &f) { QVERIFY(TestSupport::writeFile(m_server.root() + kXmlPath, updateXml(f))); }

    std::unique_ptr<UpdateNetwork> makeChecker()
    {
        auto net = std::make_unique<UpdateNetwork>();
        net->setCurrentVersion(100, QStringLiteral("1.0.0"));
        net->setExitHandler([this](int code) { m_exits << code; });
        return net;
    }

    // Fetches update.xml; returns once it is stored and read (what follows it is then decided).
    bool fetchUpdateXml(UpdateNetwork *net)
    {
        net->checkUpdate(m_server.url(kXmlPath));
        const QString xml = AppPaths::programFile(QStringLiteral("update.xml"));
        return TestSupport::waitFor([&] { return QFile::exists(xml) || !net->downloadManager()->isRunning(); },
                                    15000) &&
            QFile::exists(xml);
    }

    int installerRequests() { return m_server.requests().filter(QStringLiteral("setup")).size(); }

    // Runs a check that is expected to start the installer download; waits for the prompt to be decided.
    void runToPrompt(UpdateNetwork *net)
    {
        QSignalSpy announced(net, &UpdateNetwork::signalFileDownload);
        QSignalSpy saved(net, &UpdateNetwork::signalDWFinished);
        QVERIFY(fetchUpdateXml(net));
        QCOMPARE(announced.count(), 1);
        QVERIFY(saved.wait(15000));
    }

    QString installerPath() const { return AppPaths::programFile(QStringLiteral("setup.sh")); }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
        Dialogs::setNonInteractive(true);
        DetachedProcess::setStarterForTests(
            [this](const QString &program, const QStringList &, const QString &workingDirectory) {
                m_started << Started{program, workingDirectory};
                return true;
            });
    }

    void cleanupTestCase() { DetachedProcess::setStarterForTests({}); }

    void init()
    {
        m_programDir = TestSupport::makeProgramDir();
        QVERIFY(m_programDir->isValid());
        // A different installer each time, so nothing passes by accident.
        m_installer = "#!/bin/sh\n# " + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + "\nexit 0\n";
        QVERIFY(TestSupport::writeFile(m_server.root() + QStringLiteral("/dl/setup.sh"), m_installer));
        Dialogs::clearRecords();
        m_started.clear();
        m_exits.clear();
    }

    void defaultUrl()
    {
        QCOMPARE(UpdateNetwork::defaultUpdateUrl(),
                 QStringLiteral("https://" VANTEO_UPDATE_HOST "/update/win64/update.xml"));
    }

    // Only a newer code leads to a download.
    void versionCompare_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("downloads");
        QTest::newRow("same 100") << "100" << false;
        QTest::newRow("older 99") << "99" << false;
        QTest::newRow("not a number") << "v101" << false;
        QTest::newRow("newer 101") << "101" << true;
    }

    void versionCompare()
    {
        QFETCH(QString, code);
        QFETCH(bool, downloads);
        publish(fields(code));
        auto net = makeChecker();
        const int before = installerRequests();
        if (downloads) {
            runToPrompt(net.get());
            QVERIFY(TestSupport::readFile(installerPath()) == m_installer);
            QCOMPARE(m_started.size(), 1);
        } else {
            QSignalSpy announced(net.get(), &UpdateNetwork::signalFileDownload);
            QVERIFY(fetchUpdateXml(net.get()));
            QTest::qWait(300);
            QCOMPARE(announced.count(), 0);
            QCOMPARE(installerRequests(), before);
            QVERIFY(!QFile::exists(installerPath()));
            QVERIFY(Dialogs::records().isEmpty());
            QVERIFY(m_started.isEmpty());
        }
        QCOMPARE(net->versionCode(), code);
    }

    // Exactly ten recognised elements, counted with repeats; anything else blocks the download.
    void elementCount_data()
    {
        QTest::addColumn<QStringList>("drop");
        QTest::addColumn<QStringList>("twice");
        QTest::addColumn<bool>("downloads");
        QTest::newRow("hasUpdate missing") << QStringList{QStringLiteral("hasUpdate")} << QStringList{} << false;
        QTest::newRow("size missing") << QStringList{QStringLiteral("size")} << QStringList{} << false;
        QTest::newRow("content twice, hasUpdate missing")
            << QStringList{QStringLiteral("hasUpdate")} << QStringList{QStringLiteral("content")} << true;
        QTest::newRow("content twice, none missing")
            << QStringList{} << QStringList{QStringLiteral("content")} << false;
        QTest::newRow("other element ignored") << QStringList{} << QStringList{QStringLiteral("extra")} << true;
    }

    void elementCount()
    {
        QFETCH(QStringList, drop);
        QFETCH(QStringList, twice);
        QFETCH(bool, downloads);
        Fields f;
        for (const auto &p : fields())
            if (!drop.contains(p.first))
                f << p;
        for (const QString &name : twice)
            f << qMakePair(name, QStringLiteral("again"));
        publish(f);
        auto net = makeChecker();
        QSignalSpy announced(net.get(), &UpdateNetwork::signalFileDownload);
        QVERIFY(fetchUpdateXml(net.get()));
        QCOMPARE(announced.count(), downloads ? 1 : 0);
        if (downloads)
            QVERIFY(TestSupport::waitFor([&] { return !m_started.isEmpty(); }, 15000));
        else
            QVERIFY(!net->downloadManager()->isRunning());
    }

    // The prompt, and what each answer does. md5 text in upper case matches.
    void prompt_data()
    {
        QTest::addColumn<QString>("isForce");
        QTest::addColumn<int>("answer"); // index of the clicked button, -1 closed
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<bool>("installs");
        const QStringList both{QStringLiteral("取消"), QStringLiteral("确定")};
        const QStringList okOnly{QStringLiteral("确定")};
        QTest::newRow("True, 取消") << "True" << 0 << both << false;
        QTest::newRow("True, closed (Escape)") << "True" << -1 << both << false;
        QTest::newRow("True, 确定") << "True" << 1 << both << true;
        QTest::newRow("TRUE, 确定") << "TRUE" << 1 << both << true;
        QTest::newRow("false, 确定") << "false" << 0 << okOnly << true;
        QTest::newRow("false, closed") << "false" << -1 << okOnly << true;
        QTest::newRow("empty, closed") << "" << -1 << okOnly << true;
        QTest::newRow("yes, closed") << "yes" << -1 << okOnly << true;
    }

    void prompt()
    {
        QFETCH(QString, isForce);
        QFETCH(int, answer);
        QFETCH(QStringList, buttons);
        QFETCH(bool, installs);
        Fields f = fields();
        set(f, QStringLiteral("isForce"), isForce);
        set(f, QStringLiteral("md5"), TestSupport::md5Hex(m_installer).toUpper());
        publish(f);
        Dialogs::setNextChoice(answer);
        auto net = makeChecker();
        runToPrompt(net.get());

        const QList<Dialogs::Record> records = Dialogs::records();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0).kind, QStringLiteral("choice"));
        QCOMPARE(records.at(0).icon, Dialogs::Warning);
        QCOMPARE(records.at(0).title, QStringLiteral("有新的版本:2.0.0"));
        QCOMPARE(records.at(0).text, QStringLiteral("当前版本：1.0.0，确定更新？"));
        QCOMPARE(records.at(0).buttons, buttons);
        QCOMPARE(Dialogs::pendingAnswers(), 0);

        QVERIFY(TestSupport::readFile(installerPath()) == m_installer);
        if (installs) {
            QCOMPARE(m_started.size(), 1);
            QCOMPARE(m_started.at(0).program, installerPath());
            QCOMPARE(m_exits, QList<int>{0});
        } else {
            QVERIFY(m_started.isEmpty());
            QVERIFY(m_exits.isEmpty());
        }
    }

    // An installer that does not match its md5 is never offered, and neither is one without an md5.
    void md5Mismatch_data()
    {
        QTest::addColumn<QString>("md5");
        QTest::addColumn<bool>("fetched");
        QTest::newRow("other md5") << TestSupport::md5Hex("something else") << true;
        QTest::newRow("md5 of an empty file") << TestSupport::md5Hex(QByteArray()) << true;
        QTest::newRow("empty md5") << "" << false;
        QTest::newRow("blank md5") << "  " << false;
    }

    void md5Mismatch()
    {
        QFETCH(QString, md5);
        QFETCH(bool, fetched);
        Fields f = fields();
        set(f, QStringLiteral("md5"), md5);
        publish(f);
        auto net = makeChecker();
        const int before = installerRequests();
        QSignalSpy saved(net.get(), &UpdateNetwork::signalDWFinished);
        QVERIFY(fetchUpdateXml(net.get()));
        if (fetched)
            QVERIFY(saved.wait(15000));
        else
            QTest::qWait(300);
        QCOMPARE(installerRequests() - before, fetched ? 1 : 0);
        QVERIFY(Dialogs::records().isEmpty());
        QVERIFY(m_started.isEmpty());
        QVERIFY(m_exits.isEmpty());
    }

    // An installer URL with a query is fetched and saved under its path's name, replacing an earlier
    // download there; nothing staged is left beside it.
    void installerUrlWithQuery()
    {
        QVERIFY(TestSupport::writeFile(installerPath(), "an earlier download"));
        Fields f = fields();
        set(f, QStringLiteral("url"), m_server.url(QStringLiteral("/dl/setup.sh?v=2")));
        publish(f);
        auto net = makeChecker();
        runToPrompt(net.get());
        QVERIFY(TestSupport::readFile(installerPath()) == m_installer);
        QCOMPARE(m_server.requests().filter(QStringLiteral("setup")).last(), QStringLiteral("/dl/setup.sh?v=2"));
        QCOMPARE(m_started.size(), 1);
        QCOMPARE(TestSupport::filesUnder(m_programDir->path()).filter(QStringLiteral(".part")), QStringList());
    }

    // The installer is saved only under a plain file name inside the program folder.
    void localName_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "https://h/a/setup.exe"
                               << "setup.exe";
        QTest::newRow("percent-encoded space kept as sent") << "https://h/vanteo%20setup.exe"
                                                            << "vanteo%20setup.exe";
        QTest::newRow("no path") << "https://h"
                                 << "";
        QTest::newRow("empty") << "https://h/dir/"
                               << "";
        QTest::newRow("dot") << "https://h/."
                             << "";
        QTest::newRow("dot dot") << "https://h/.."
                                 << "";
        QTest::newRow("encoded dot dot") << "https://h/%2e%2E"
                                         << "";
        QTest::newRow("encoded slash") << "https://h/..%2Fsetup.exe"
                                       << "";
        QTest::newRow("encoded backslash") << "https://h/..%5csetup.exe"
                                           << "";
        QTest::newRow("backslash") << "https://h/..\\..\\setup.exe"
                                   << "";
        QTest::newRow("drive") << "https://h/C:setup.exe"
                               << "";
        QTest::newRow("control char") << "https://h/set%0Aup.exe"
                                      << "";
        QTest::newRow("nul") << "https://h/setup.exe%00.txt"
                             << "";
        QTest::newRow("query") << "https://host/path/setup.exe?v=2"
                               << "setup.exe";
        QTest::newRow("query with a slash") << "https://h/setup.exe?next=/a/b.exe"
                                            << "setup.exe";
        QTest::newRow("fragment") << "https://h/setup.exe#part"
                                  << "setup.exe";
        QTest::newRow("query, bad name") << "https://h/..%2Fsetup.exe?v=2"
                                         << "";
        QTest::newRow("trailing dot") << "https://h/setup.exe."
                                      << "";
    }

    void localName()
    {
        QFETCH(QString, url);
        QFETCH(QString, name);
        QCOMPARE(UpdateNetwork::localFileName(url), name);
    }

    // A hostile update.xml gets nothing fetched or written for a name that is not plain.
    void hostileInstallerUrl_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("dot dot") << "/dl/..";
        QTest::newRow("encoded traversal") << "/dl/..%2F..%2Fevil.sh";
        QTest::newRow("encoded backslash") << "/dl/..%5Cevil.sh";
        QTest::newRow("empty name") << "/dl/";
    }

    void hostileInstallerUrl()
    {
        QFETCH(QString, path);
        Fields f = fields();
        set(f, QStringLiteral("url"), m_server.url(path));
        publish(f);
        auto net = makeChecker();
        QPointer<DownLoadManager> first;
        const int before = m_server.requests().size();
        QVERIFY(fetchUpdateXml(net.get()));
        first = net->downloadManager();
        QTest::qWait(300);
        QCOMPARE(m_server.requests().size() - before, 1); // update.xml only
        QCOMPARE(net->downloadManager(), first.data());
        QDir parent(QFileInfo(m_programDir->path()).absolutePath());
        QVERIFY(!parent.exists(QStringLiteral("evil.sh")));
        QCOMPARE(QDir(m_programDir->path()).entryList(QDir::Files), QStringList{QStringLiteral("update.xml")});
        QVERIFY(Dialogs::records().isEmpty());
        QVERIFY(m_started.isEmpty());
    }

    // A failed update.xml leaves everything as it was.
    void updateXmlFails()
    {
        publish(fields());
        auto net = makeChecker();
        net->checkUpdate(m_server.url(QStringLiteral("/error500/update.xml")));
        QVERIFY(TestSupport::waitFor([&] { return !net->downloadManager()->isRunning(); }, 15000));
        QTest::qWait(200);
        QCOMPARE(QDir(m_programDir->path()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(Dialogs::records().isEmpty());
    }

    // The installer comes through a new manager; the old one is gone once control is back.
    void newManagerForInstaller()
    {
        publish(fields());
        auto net = makeChecker();
        net->checkUpdate(m_server.url(kXmlPath));
        QPointer<DownLoadManager> first = net->downloadManager();
        QSignalSpy saved(net.get(), &UpdateNetwork::signalDWFinished);
        QVERIFY(saved.wait(15000));
        QVERIFY(first.isNull());
        QVERIFY(net->downloadManager());
        QCOMPARE(net->downloadManager()->url(), QUrl(m_server.url(QStringLiteral("/dl/setup.sh"))));
    }

    // Destroyed mid-download of the installer: the staged file goes with it.
    void destroyedMidDownload()
    {
        QByteArray big(300 * 1024, 'x');
        QVERIFY(TestSupport::writeFile(m_server.root() + QStringLiteral("/dl/big.sh"), big));
        Fields f = fields();
        set(f, QStringLiteral("url"), m_server.url(QStringLiteral("/slow/dl/big.sh")));
        set(f, QStringLiteral("md5"), TestSupport::md5Hex(big));
        publish(f);
        auto net = makeChecker();
        net->checkUpdate(m_server.url(kXmlPath));
        QString temp;
        QVERIFY(TestSupport::waitFor(
            [&] {
                DownLoadManager *manager = net->downloadManager();
                temp = manager && manager->url().path().endsWith(QLatin1String("big.sh")) ? manager->stagingPath()
                                                                                          : QString();
                return QFileInfo(temp).size() > 0;
            },
            15000));
        net.reset();
        QVERIFY(!QFile::exists(temp));
        QVERIFY(!QFile::exists(AppPaths::programFile(QStringLiteral("big.sh"))));
        QTest::qWait(200);
        QVERIFY(!QFile::exists(temp));
    }

    // The real detached start: the installer script runs on its own and leaves its marker.
    void realInstallerRuns()
    {
        const QString marker = m_programDir->filePath(QStringLiteral("installed.marker"));
        m_installer = "#!/bin/sh\necho installed > '" + marker.toUtf8() + "'\n";
        QVERIFY(TestSupport::writeFile(m_server.root() + QStringLiteral("/dl/setup.sh"), m_installer));
        publish(fields());
        DetachedProcess::setStarterForTests({});
        auto net = makeChecker();
        runToPrompt(net.get());
        DetachedProcess::setStarterForTests([this](const QString &program, const QStringList &, const QString &dir) {
            m_started << Started{program, dir};
            return true;
        });
        QCOMPARE(m_exits, QList<int>{0});
        // The shell creates the marker before it writes to it: wait for the whole line.
        QVERIFY2(TestSupport::waitFor([&] { return TestSupport::readFile(marker) == "installed\n"; }, 10000),
                 QByteArray("the installer did not run: " + TestSupport::readFile(marker)).constData());
    }
};

QTEST_MAIN(TestUpdateNetwork)
#include "tst_updatenetwork.moc"
