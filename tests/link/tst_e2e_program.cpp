// The real program against the phone simulator, on a veth pair of a network namespace of its own:
// the simulator hears the program's broadcast, backs up a folder of generated photos and downloads
// the album database; the test then checks the stored tree, the contents and the rows.
#include "E2eSupport.h"

#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int kNotListening = 77;

// The whole run happens inside `unshare -n -i` (own network and IPC namespaces, so neither the
// veth pair nor the single-instance marker touch anything else). The limited broadcast needs a
// route; a host route through one end of the pair keeps everything else unreachable.
const char kScript[] = R"SH(
set -u
ip link set lo up
ip link add e2eA type veth peer name e2eB || exit 90
ip addr add 10.231.0.1/24 dev e2eA
ip addr add 10.231.0.2/24 dev e2eB
ip link set e2eA up
ip link set e2eB up
ip route add 255.255.255.255/32 dev e2eA
cd "$PROGRAM_DIR"
QT_QPA_PLATFORM=offscreen VANTEO_NONINTERACTIVE=1 ./vanteoalbum >program.log 2>&1 &
APP=$!
listening() { ss -ltnpH 2>/dev/null | grep -q "pid=$APP,"; }
for i in $(seq 1 100); do listening && break; kill -0 $APP 2>/dev/null || break; sleep 0.2; done
if ! listening; then kill $APP 2>/dev/null; wait $APP 2>/dev/null; exit 77; fi
"$PHONESIM" "$@"
RC=$?
kill $APP 2>/dev/null
wait $APP 2>/dev/null
exit $RC
)SH";
} // namespace

class TstE2eProgram : public QObject
{
    Q_OBJECT
private slots:
    void backupThroughTheProgram();
};

void TstE2eProgram::backupThroughTheProgram()
{
    const QString program = TestSupport::binDir() + QStringLiteral("/vanteoalbum");
    const QString phonesim = TestSupport::binDir() + QStringLiteral("/phonesim");
    if (!QFileInfo(program).isExecutable() || !QFileInfo(phonesim).isExecutable())
        QSKIP("the program or phonesim is not built");
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("-i"), QStringLiteral("true")});
    if (!probe.waitForFinished(5000) || probe.exitCode() != 0)
        QSKIP("needs root for a network namespace of its own (scripts/test runs the suite as root)");

    // A program folder of its own: the program keeps global.xml and the databases beside itself.
    auto programDir = TestSupport::makeProgramDir();
    QTemporaryDir work;
    QVERIFY(programDir->isValid() && work.isValid());
    QVERIFY(QFile::copy(program, programDir->path() + QStringLiteral("/vanteoalbum")));
    QFile::setPermissions(programDir->path() + QStringLiteral("/vanteoalbum"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString savePath = work.path() + QStringLiteral("/drive/");
    QDir().mkpath(savePath);
    const QString name = QStringLiteral("e2e-手机");
    const QString folder = savePath + QStringLiteral("万特相册/") + name;
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    settings->setGlobalValue(QStringLiteral("saveDrive"), savePath);
    settings->setGlobalValue(QStringLiteral("updateTime"), now);
    settings->addUser(name, folder, now);

    const QString phoneDir = work.path() + QStringLiteral("/phone");
    const QList<E2e::Photo> photos = E2e::writePhonePhotos(phoneDir);
    const QString downloaded = work.path() + QStringLiteral("/downloaded.db");

    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PROGRAM_DIR"), programDir->path());
    env.insert(QStringLiteral("PHONESIM"), phonesim);
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("unshare"),
              {QStringLiteral("-n"), QStringLiteral("-i"), QStringLiteral("bash"), QStringLiteral("-c"),
               QString::fromLatin1(kScript), QStringLiteral("e2e"), QStringLiteral("--name"), name,
               QStringLiteral("--dir"), phoneDir, QStringLiteral("--ratio"), QStringLiteral("4"),
               QStringLiteral("--discover-timeout"), QStringLiteral("15"), QStringLiteral("--timeout"),
               QStringLiteral("20"), QStringLiteral("--status"), QStringLiteral("--check-db"),
               QStringLiteral("--save-db"), downloaded});
    QVERIFY(run.waitForFinished(120000));
    const QString out = QString::fromUtf8(run.readAll());
    const QString log = QString::fromUtf8(TestSupport::readFile(programDir->path() + QStringLiteral("/program.log")));
    if (run.exitCode() == kNotListening)
        QSKIP("the program does not listen for phones yet (its window does not create the command server)");
    QVERIFY2(run.exitCode() == 0, qPrintable(out + QStringLiteral("\n--- program log ---\n") + log));
    QVERIFY2(out.contains(QStringLiteral("found PC")), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("failures=0")), qPrintable(out));

    QStringList expected;
    for (const E2e::Photo &p : photos)
        expected << E2e::storedPath(folder, p).mid(folder.size() + 1);
    expected.sort();
    QCOMPARE(E2e::tree(folder), expected);
    for (const E2e::Photo &p : photos)
        QCOMPARE(TestSupport::readFile(E2e::storedPath(folder, p)), p.content);

    const QString dbPath = programDir->path() + QLatin1Char('/') + name + QStringLiteral(".db");
    QCOMPARE(TestSupport::readFile(downloaded), TestSupport::readFile(dbPath));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("e2e"));
        db.setDatabaseName(downloaded);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("select localpath, md5, fromdev, mobilefilepath from albumlist")));
        QStringList rows;
        while (q.next())
            rows << q.value(3).toString() + QLatin1Char('|') + q.value(0).toString() + QLatin1Char('|')
                        + q.value(1).toString() + QLatin1Char('|') + q.value(2).toString();
        QStringList want;
        for (const E2e::Photo &p : photos)
            want << QStringLiteral("/storage/emulated/0/DCIM/") + p.relative + QLatin1Char('|')
                        + E2e::storedPath(folder, p) + QLatin1Char('|') + E2e::md5Hex(p.content) + QLatin1Char('|')
                        + name;
        rows.sort();
        want.sort();
        QCOMPARE(rows, want);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("e2e"));

    // The program took the device as known (no dialog) and noted its visit.
    const QList<UserEntry> users = ReadWriteSetting::getInstance()->getUserList();
    QCOMPARE(users.size(), 1);
    QCOMPARE(users.at(0).name, name);
    QCOMPARE(users.at(0).path, folder);
}

QTEST_MAIN(TstE2eProgram)
#include "tst_e2e_program.moc"
