// A whole backup in one process: the command server (with the file servers it starts) against the
// phone simulator, which connects to the given port, sends a folder of generated photos, checks
// every acknowledgement and downloads the album database.
#include "E2eSupport.h"

#include "link/CmdServer.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using TestSupport::waitFor;

class TstE2eBackup : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void backupOfAFolder();
    void refusedPhoneStoresNothing();

private:
    // Runs phonesim against the server; returns its exit code (-1: did not finish) and output.
    int phonesim(const QStringList &args, QString *output, int timeoutMs = 90000);

    std::unique_ptr<QTemporaryDir> m_programDir;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<CmdServer> m_server;
    QString m_savePath;
};

void TstE2eBackup::init()
{
    m_server.reset();
    m_programDir = TestSupport::makeProgramDir();
    m_work = std::make_unique<QTemporaryDir>();
    m_savePath = m_work->path() + QStringLiteral("/drive/");
    QDir().mkpath(m_savePath);
    Dialogs::setNonInteractive(true);
    Dialogs::clearRecords();
    m_server = std::make_unique<CmdServer>(nullptr, 20, m_savePath);
    QVERIFY(m_server->listen(QHostAddress::Any, 0));
}

int TstE2eBackup::phonesim(const QStringList &args, QString *output, int timeoutMs)
{
    const QString exe = TestSupport::binDir() + QStringLiteral("/phonesim");
    if (!QFileInfo(exe).isExecutable())
        return -2;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(exe,
            QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                        QString::number(m_server->serverPort()), QStringLiteral("--timeout"), QStringLiteral("20")} +
                args);
    // The server runs on this thread: keep its events going while the phone works.
    const bool done = waitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    if (!done) {
        p.kill();
        p.waitForFinished(3000);
    }
    *output = QString::fromUtf8(p.readAll());
    return done && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void TstE2eBackup::backupOfAFolder()
{
    const QString name = QStringLiteral("测试手机");
    ReadWriteSetting::getInstance()->addUser(name, QString(), QString());
    const QString phoneDir = m_work->path() + QStringLiteral("/phone");
    const QList<E2e::Photo> photos = E2e::writePhonePhotos(phoneDir);
    const QString downloaded = m_work->path() + QStringLiteral("/downloaded.db");

    QString out;
    const int code = phonesim({QStringLiteral("--name"), name, QStringLiteral("--dir"), phoneDir,
                               QStringLiteral("--ratio"), QStringLiteral("4"), QStringLiteral("--status"),
                               QStringLiteral("--check-db"), QStringLiteral("--save-db"), downloaded},
                              &out);
    if (code == -2)
        QSKIP("phonesim is not built");
    QVERIFY2(code == 0, qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("status 9 acknowledged")), qPrintable(out));
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("summary: files=(\\d+) acked=(\\d+) thumbnails=(\\d+)")).match(out);
    QVERIFY2(m.hasMatch(), qPrintable(out));
    QCOMPARE(m.captured(1).toInt(), photos.size());
    QCOMPARE(m.captured(2).toInt(), photos.size());
    int images = 0;
    for (const E2e::Photo &p : photos)
        images += p.image ? 1 : 0;
    QCOMPARE(m.captured(3).toInt(), images);

    // The stored tree: year/month folders from EXIF or the file time, nothing else (no thumbnails).
    const QString folder = m_savePath + QStringLiteral("万特相册/") + name;
    QStringList expected;
    for (const E2e::Photo &p : photos)
        expected << E2e::storedPath(folder, p).mid(folder.size() + 1);
    expected.sort();
    QCOMPARE(E2e::tree(folder), expected);
    for (const E2e::Photo &p : photos)
        QCOMPARE(TestSupport::readFile(E2e::storedPath(folder, p)), p.content);

    // The rows, in the phone's downloaded copy and in the program folder's database.
    QVERIFY(QFileInfo::exists(AppPaths::programFile(name + QStringLiteral(".db"))));
    QCOMPARE(TestSupport::readFile(downloaded),
             TestSupport::readFile(AppPaths::programFile(name + QStringLiteral(".db"))));
    QString error;
    const QList<QVariantList> rows =
        TestSupport::queryRows(downloaded, QStringLiteral("select * from albumlist"), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    for (const QVariantList &row : rows) {
        const QString mobile = row.at(10).toString();
        const E2e::Photo *match = nullptr;
        for (const E2e::Photo &p : photos) {
            if (mobile == QStringLiteral("/storage/emulated/0/DCIM/") + p.relative)
                match = &p;
        }
        QVERIFY2(match, qPrintable(mobile));
        QCOMPARE(row.at(1).toString(), QFileInfo(match->relative).fileName());
        QCOMPARE(row.at(2).toString(), E2e::storedPath(folder, *match));
        QCOMPARE(row.at(3).toLongLong(), qint64(match->content.size()));
        QCOMPARE(row.at(4).toString(), TestSupport::md5Hex(match->content));
        QCOMPARE(row.at(5).toString(), name);
        QCOMPARE(row.at(6).toString(), match->taken.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
        QCOMPARE(row.at(7).toInt(), 4);
        QCOMPARE(row.at(9).toInt(), 1);
    }
    QCOMPARE(rows.size(), photos.size());

    // Sending the same folder again stores nothing new and adds no row.
    const QByteArray dbBefore = TestSupport::readFile(AppPaths::programFile(name + QStringLiteral(".db")));
    QVERIFY(waitFor([&] { return m_server->connectionCount() == 0; }));
    QVERIFY2(phonesim({QStringLiteral("--name"), name, QStringLiteral("--dir"), phoneDir, QStringLiteral("--check-db"),
                       QStringLiteral("--quiet")},
                      &out) == 0,
             qPrintable(out));
    QCOMPARE(E2e::tree(folder), expected);
    QCOMPARE(TestSupport::readFile(AppPaths::programFile(name + QStringLiteral(".db"))).size(), dbBefore.size());
    QVERIFY(Dialogs::records().isEmpty());
}

void TstE2eBackup::refusedPhoneStoresNothing()
{
    const QString phoneDir = m_work->path() + QStringLiteral("/phone");
    E2e::writePhonePhotos(phoneDir);
    ReadWriteSetting::getInstance();
    const QStringList programFiles = QDir(m_programDir->path()).entryList(QDir::Files);
    Dialogs::setNextAnswer(Dialogs::Cancel);
    QString out;
    const int code = phonesim({QStringLiteral("--name"), QStringLiteral("Stranger"), QStringLiteral("--dir"), phoneDir,
                               QStringLiteral("--expect-refused"), QStringLiteral("--download-db")},
                              &out);
    if (code == -2)
        QSKIP("phonesim is not built");
    QVERIFY2(code == 0, qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("file port 0")), qPrintable(out));
    QCOMPARE(Dialogs::records().size(), 1);
    QVERIFY(ReadWriteSetting::getInstance()->getUserList().isEmpty());
    QCOMPARE(E2e::tree(m_savePath), QStringList());
    QCOMPARE(QDir(m_programDir->path()).entryList(QDir::Files), programFiles);
}

QTEST_MAIN(TstE2eBackup)
#include "tst_e2e_backup.moc"
