// The settings store over global.xml: document layout, keys, the device list, damaged files
// and writes that fail.
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QDomDocument>
#include <QDir>
#include <QRegularExpression>
#include <QtConcurrent>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

ino_t inodeOf(const QString &path)
{
    struct stat st
    { };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

int countOf(const QByteArray &xml, const QByteArray &tag)
{
    return xml.count("<" + tag + ">") + xml.count("<" + tag + "/>");
}

} // namespace

Q_DECLARE_METATYPE(const SettingKey *)

class TestReadWriteSetting : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString xmlPath() const { return m_dir->filePath(QStringLiteral("global.xml")); }
    ReadWriteSetting *store() { return ReadWriteSetting::getInstance(); }
    void useFile(const QByteArray &content)
    {
        QVERIFY(TestSupport::writeFile(xmlPath(), content));
        ReadWriteSetting::resetInstanceForTests();
    }

private slots:
    void init()
    {
        m_dir = TestSupport::makeProgramDir();
        QVERIFY(m_dir->isValid());
    }

    void firstStartCreatesEmptyDocument()
    {
        QVERIFY(!QFile::exists(xmlPath()));
        QCOMPARE(store()->getGlobalValue(QStringLiteral("saveDrive")), QString());
        QDomDocument doc;
        QVERIFY(doc.setContent(TestSupport::readFile(xmlPath())));
        QCOMPARE(doc.firstChild().nodeName(), QStringLiteral("xml"));
        const QDomElement root = doc.documentElement();
        QCOMPARE(root.tagName(), QStringLiteral("parameter"));
        QCOMPARE(root.childNodes().size(), 1);
        QCOMPARE(root.firstChildElement().tagName(), QStringLiteral("global"));
        QVERIFY(!root.firstChildElement().hasChildNodes());
        QVERIFY(TestSupport::readFile(xmlPath()).startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") ||
                TestSupport::readFile(xmlPath()).startsWith("<?xml version='1.0' encoding='UTF-8'?>"));
    }

    void valuesAndKeys()
    {
        store()->setGlobalValue(QStringLiteral("saveDrive"), QString());
        store()->setGlobalValue(QStringLiteral("saveDrive"), QStringLiteral("E:/"));
        QCOMPARE(countOf(TestSupport::readFile(xmlPath()), "saveDrive"), 1);
        QCOMPARE(store()->getGlobalValue(QStringLiteral("saveDrive")), QStringLiteral("E:/"));
        // Keys are case-sensitive.
        QCOMPARE(store()->getGlobalValue(QStringLiteral("savedrive")), QString());
        // Chinese text survives the round trip.
        store()->setGlobalValue(QStringLiteral("saveDrive"), QStringLiteral("/媒体/照片/"));
        ReadWriteSetting::resetInstanceForTests();
        QCOMPARE(store()->getGlobalValue(QStringLiteral("saveDrive")), QStringLiteral("/媒体/照片/"));

        store()->setGlobalValue(QStringLiteral("localIP"), QStringLiteral("2"));
        store()->removeGlobalKey(QStringLiteral("saveDrive"));
        QCOMPARE(countOf(TestSupport::readFile(xmlPath()), "saveDrive"), 0);
        QCOMPARE(store()->getGlobalValue(QStringLiteral("localIP")), QStringLiteral("2"));

        QCOMPARE(ReadWriteSetting::toInt(QStringLiteral("yes")), 0);
        QCOMPARE(ReadWriteSetting::toInt(QStringLiteral("2")), 2);
        QCOMPARE(ReadWriteSetting::toInt(QString()), 0);
    }

    // The table's names are those of files already written: a renamed key would lose the setting.
    void typedAccessFallsBack_data()
    {
        QTest::addColumn<const SettingKey *>("key");
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("stored"); // as found in global.xml; empty: no such element
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("on");
        const auto row = [](const SettingKey &key, const char *element, const char *stored, const char *value,
                            bool on) {
            QTest::addRow("%s=%s", element, stored)
                << &key << QString::fromUtf8(element) << QString::fromUtf8(stored) << QString::fromUtf8(value) << on;
        };
        using namespace SettingsKeys;
        row(LocalPicture, "localPicture", "", "2", true);
        row(LocalPicture, "localPicture", "0", "0", false);
        row(LocalVideo, "localVideo", "", "0", false);
        row(LocalVideo, "localVideo", "abc", "abc", false);
        row(DoubleFile, "doubleFile", "7", "7", true);
        row(LocalReset, "localReset", "1", "1", true);
        row(RemoteReset, "remoteReset", "", "0", false);
        row(SaveDrive, "saveDrive", "/媒体/", "/媒体/", false);
        row(LocalIP, "localIP", "2", "2", true);
        row(LocalFolders, "localFolders", "", "[]", false);
        row(LocalFolderMode, "localMode", "1", "1", true);
    }
    void typedAccessFallsBack()
    {
        QFETCH(const SettingKey *, key);
        QFETCH(QString, element);
        QFETCH(QString, stored);
        QFETCH(QString, value);
        QFETCH(bool, on);
        const QByteArray tag = element.toUtf8();
        useFile("<parameter><global>" +
                (stored.isEmpty() ? QByteArray() : "<" + tag + ">" + stored.toUtf8() + "</" + tag + ">") +
                "</global></parameter>");
        QCOMPARE(store()->value(*key), value);
        QCOMPARE(store()->isOn(*key), on);
        QCOMPARE(store()->isStored(*key), !stored.isEmpty());
        // Written back under the same element, and gone again on removal.
        store()->setNumber(*key, 5);
        QCOMPARE(store()->getGlobalValue(element), QStringLiteral("5"));
        store()->remove(*key);
        QCOMPARE(store()->value(*key), QString(key->fallback));
        QCOMPARE(countOf(TestSupport::readFile(xmlPath()), tag), 0);
    }

    void severalGlobalElements()
    {
        // Reads search every global element in order; writes go to the first one.
        useFile("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<parameter><global><a>1</a></global>"
                "<global><b>2</b></global></parameter>\n");
        QCOMPARE(store()->getGlobalValue(QStringLiteral("b")), QStringLiteral("2"));
        store()->setGlobalValue(QStringLiteral("b"), QStringLiteral("3"));
        QDomDocument doc;
        QVERIFY(doc.setContent(TestSupport::readFile(xmlPath())));
        const QDomElement first = doc.documentElement().firstChildElement(QStringLiteral("global"));
        QCOMPARE(first.firstChildElement(QStringLiteral("b")).text(), QStringLiteral("3"));
        QCOMPARE(first.nextSiblingElement(QStringLiteral("global")).firstChildElement(QStringLiteral("b")).text(),
                 QStringLiteral("2"));
    }

    void deviceList()
    {
        store()->addUser(QStringLiteral("小米"), QStringLiteral("/p/小米"), QStringLiteral("2024-01-01 10:00:00"));
        store()->addUser(QStringLiteral("小米"), QStringLiteral("/other"), QStringLiteral("2025-01-01 10:00:00"));
        store()->addUser(QStringLiteral("pixel"), QStringLiteral("/p/pixel"), QStringLiteral("2024-02-02 10:00:00"));
        QList<UserEntry> users = store()->getUserList();
        QCOMPARE(users.size(), 2);
        QCOMPARE(users.at(0).path, QStringLiteral("/p/小米"));
        QVERIFY(store()->userExists(QStringLiteral("pixel")));
        QVERIFY(!store()->userExists(QStringLiteral("PIXEL")));

        // An empty path leaves the path; the time changes.
        store()->updateUser(QStringLiteral("pixel"), QString(), QStringLiteral("2026-03-03 03:03:03"));
        users = store()->getUserList();
        QCOMPARE(users.at(1).path, QStringLiteral("/p/pixel"));
        QCOMPARE(users.at(1).time, QStringLiteral("2026-03-03 03:03:03"));

        // Removing an absent name does not rewrite the file.
        const QByteArray before = TestSupport::readFile(xmlPath());
        const ino_t inode = inodeOf(xmlPath());
        store()->removeUser(QStringLiteral("nobody"));
        QCOMPARE(inodeOf(xmlPath()), inode);
        QCOMPARE(TestSupport::readFile(xmlPath()), before);

        store()->removeUser(QStringLiteral("小米"));
        QCOMPARE(store()->getUserList().size(), 1);
        store()->addUser(QStringLiteral("a"), QStringLiteral("/a"), QStringLiteral("t"));
        store()->addUser(QStringLiteral("b"), QStringLiteral("/b"), QStringLiteral("t"));
        QCOMPARE(store()->getUserList().size(), 3);
        store()->clearUsers();
        QVERIFY(store()->getUserList().isEmpty());
        QCOMPARE(countOf(TestSupport::readFile(xmlPath()), "user"), 0);
    }

    void shortUserEntry()
    {
        // The second entry has only two children: skipped by the list, and it stops an update
        // before anything is saved (also the change already made to the first entry).
        useFile("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<parameter><global/>"
                "<user><name>a</name><path>/a</path><time>t1</time></user>"
                "<user><name>b</name><path>/b</path></user>"
                "<user><name>c</name><path>/c</path><time>t3</time></user></parameter>\n");
        const QList<UserEntry> users = store()->getUserList();
        QCOMPARE(users.size(), 2);
        QCOMPARE(users.at(1).name, QStringLiteral("c"));

        const QByteArray before = TestSupport::readFile(xmlPath());
        store()->updateUser(QStringLiteral("a"), QStringLiteral("/new"), QStringLiteral("t9"));
        QCOMPARE(TestSupport::readFile(xmlPath()), before);
        QCOMPARE(store()->getUserList().at(0).path, QStringLiteral("/a"));
    }

    void damagedFileIsKeptAsideAndReplaced_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("junk") << QByteArray("this is not xml <<< \x01\x02 {\"a\":1}");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated") << QByteArray("<?xml version=\"1.0\"?><parameter><global><saveDrive>/x/</save");
        QTest::newRow("another document") << QByteArray("<html><body/></html>");
    }

    void damagedFileIsKeptAsideAndReplaced()
    {
        QFETCH(QByteArray, content);
        useFile(content);
        // Kept byte for byte under a dated name; a fresh file takes its place and is used again.
        const QString kept = store()->brokenFileKept();
        QVERIFY(QFileInfo(kept).fileName().startsWith(QStringLiteral("global.xml.broken-")));
        QCOMPARE(TestSupport::readFile(kept), content);
        QVERIFY(store()->getUserList().isEmpty());
        store()->setGlobalValue(QStringLiteral("saveDrive"), QStringLiteral("/x/"));
        store()->addUser(QStringLiteral("a"), QStringLiteral("/a"), QStringLiteral("t"));
        ReadWriteSetting::resetInstanceForTests();
        QCOMPARE(store()->getGlobalValue(QStringLiteral("saveDrive")), QStringLiteral("/x/"));
        QVERIFY(store()->userExists(QStringLiteral("a")));
        QVERIFY(store()->brokenFileKept().isEmpty());
    }

    void deletedFileIsNotRecreated()
    {
        store()->setGlobalValue(QStringLiteral("a"), QStringLiteral("1"));
        QVERIFY(QFile::remove(xmlPath()));
        QCOMPARE(store()->getGlobalValue(QStringLiteral("a")), QString());
        store()->setGlobalValue(QStringLiteral("a"), QStringLiteral("2"));
        QVERIFY(!QFile::exists(xmlPath()));
    }

    void failedWriteKeepsOldFile()
    {
        store()->addUser(QStringLiteral("phone"), QStringLiteral("/p"), QStringLiteral("t"));
        store()->setGlobalValue(QStringLiteral("doubleFile"), QStringLiteral("1"));
        const QByteArray before = TestSupport::readFile(xmlPath());
        QVERIFY(before.size() > 64);

        // A full disk, also for root: no file of this process may grow past 64 bytes.
        struct rlimit old
        { };
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 64;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        store()->setGlobalValue(QStringLiteral("doubleFile"), QStringLiteral("0"));
        store()->addUser(QStringLiteral("second"), QStringLiteral("/s"), QStringLiteral("t"));
        store()->clearUsers();
        ::setrlimit(RLIMIT_FSIZE, &old);
        ::signal(SIGXFSZ, oldHandler);

        QCOMPARE(TestSupport::readFile(xmlPath()), before);
        QCOMPARE(store()->getGlobalValue(QStringLiteral("doubleFile")), QStringLiteral("1"));
        QCOMPARE(store()->getUserList().size(), 1);
        // No temporary file is left behind.
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("global.xml")});
    }

    void operationsFromSeveralThreadsAreWhole()
    {
        // Each operation is a read-change-write; without the store's lock, concurrent adds
        // would overwrite each other's entries.
        const auto add = [](const QString &prefix) {
            for (int i = 0; i < 25; ++i)
                ReadWriteSetting::getInstance()->addUser(prefix + QString::number(i), QStringLiteral("/p"),
                                                         QStringLiteral("t"));
        };
        store();
        QFuture<void> a = QtConcurrent::run(add, QStringLiteral("a"));
        QFuture<void> b = QtConcurrent::run(add, QStringLiteral("b"));
        a.waitForFinished();
        b.waitForFinished();
        QCOMPARE(store()->getUserList().size(), 50);
    }
};

QTEST_GUILESS_MAIN(TestReadWriteSetting)
#include "tst_readwritesetting.moc"
