// Where the program keeps its files: beside the executable when a global.xml lies there (a portable
// copy, and every installation of earlier versions), otherwise in the XDG folders; a test's
// override is always portable.
#include "platform/AppPaths.h"

#include <QTemporaryDir>
#include <QtTest>

class TstAppPaths : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;

    QString path(const QString &relative) const { return m_tmp.path() + QLatin1Char('/') + relative; }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        qputenv("HOME", QFile::encodeName(path(QStringLiteral("home"))));
    }

    void layoutRule_data()
    {
        QTest::addColumn<QString>("besideExe");    // what lies at <exe dir>/global.xml
        QTest::addColumn<QByteArray>("configVar"); // XDG_CONFIG_HOME (unset when empty)
        QTest::addColumn<QByteArray>("dataVar");   // XDG_DATA_HOME
        QTest::addColumn<bool>("portable");
        QTest::addColumn<QString>("config"); // expected, relative to the temporary folder
        QTest::addColumn<QString>("data");

        const QByteArray cfg = QFile::encodeName(path(QStringLiteral("cfg")));
        const QByteArray dat = QFile::encodeName(path(QStringLiteral("dat")));
        QTest::newRow("global.xml beside: portable, XDG ignored") << "file" << cfg << dat << true << "bin"
                                                                  << "bin";
        QTest::newRow("nothing beside: XDG folders") << "" << cfg << dat << false << "cfg/vanteoalbum"
                                                     << "dat/vanteoalbum";
        QTest::newRow("XDG unset: home defaults")
            << "" << QByteArray() << QByteArray() << false << "home/.config/vanteoalbum"
            << "home/.local/share/vanteoalbum";
        QTest::newRow("relative XDG values are ignored")
            << "" << QByteArray("rel/cfg") << QByteArray("rel/dat") << false << "home/.config/vanteoalbum"
            << "home/.local/share/vanteoalbum";
        QTest::newRow("a folder named global.xml is no settings file")
            << "dir" << cfg << dat << false << "cfg/vanteoalbum"
            << "dat/vanteoalbum";
    }

    void layoutRule()
    {
        QFETCH(QString, besideExe);
        QFETCH(QByteArray, configVar);
        QFETCH(QByteArray, dataVar);
        QFETCH(bool, portable);
        QFETCH(QString, config);
        QFETCH(QString, data);

        const QString exeDir = path(QStringLiteral("bin"));
        QDir(exeDir).removeRecursively();
        QVERIFY(QDir().mkpath(exeDir));
        const QString xml = exeDir + QStringLiteral("/global.xml");
        if (besideExe == QLatin1String("file")) {
            QFile f(xml);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (besideExe == QLatin1String("dir")) {
            QVERIFY(QDir().mkpath(xml));
        }
        configVar.isEmpty() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", configVar);
        dataVar.isEmpty() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", dataVar);

        // A trailing slash on the executable's folder changes nothing.
        const AppPaths::Folders f = AppPaths::foldersFor(exeDir + QLatin1Char('/'));
        QCOMPARE(f.layout == AppPaths::Layout::Portable, portable);
        QCOMPARE(f.config, path(config));
        QCOMPARE(f.data, path(data));
        // Deciding creates nothing.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("cfg"))) && !QFileInfo::exists(path(QStringLiteral("dat"))));
    }

    // This test program has no global.xml beside it: it is laid out as an installed program, whose
    // folders are made on first use for this user only; an override then means portable there.
    void processFolders()
    {
        const QByteArray cfg = QFile::encodeName(path(QStringLiteral("pcfg")));
        const QByteArray dat = QFile::encodeName(path(QStringLiteral("pdat")));
        qputenv("XDG_CONFIG_HOME", cfg);
        qputenv("XDG_DATA_HOME", dat);
        QVERIFY(!AppPaths::isPortable());
        QCOMPARE(AppPaths::configFile(QStringLiteral("global.xml")),
                 path(QStringLiteral("pcfg/vanteoalbum/global.xml")));
        QCOMPARE(AppPaths::dataFile(QStringLiteral("a.db")), path(QStringLiteral("pdat/vanteoalbum/a.db")));
        QCOMPARE(AppPaths::dumpDir(), path(QStringLiteral("pdat/vanteoalbum/dump")));
        const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        for (const QString &dir :
             {path(QStringLiteral("pcfg/vanteoalbum")), path(QStringLiteral("pdat/vanteoalbum"))}) {
            QVERIFY2(QFileInfo(dir).isDir(), qPrintable(dir));
            QCOMPARE(QFile::permissions(dir) & (ownerOnly | QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther),
                     ownerOnly);
        }
        // The decision is kept: the environment changing later moves nothing.
        qputenv("XDG_DATA_HOME", QFile::encodeName(path(QStringLiteral("elsewhere"))));
        QCOMPARE(AppPaths::dataDir(), path(QStringLiteral("pdat/vanteoalbum")));

        AppPaths::setProgramDirOverride(path(QStringLiteral("prog/")));
        QVERIFY(AppPaths::isPortable());
        QCOMPARE(AppPaths::configFile(QStringLiteral("global.xml")), path(QStringLiteral("prog/global.xml")));
        QCOMPARE(AppPaths::dataFile(QStringLiteral("a.db")), path(QStringLiteral("prog/a.db")));
        AppPaths::setProgramDirOverride(QString());
        QCOMPARE(AppPaths::dataDir(), path(QStringLiteral("pdat/vanteoalbum")));
    }
};

QTEST_GUILESS_MAIN(TstAppPaths)
#include "tst_apppaths.moc"
