// The real program against the phone simulator, on a veth pair of a network namespace of its own:
// the simulator hears the program's broadcast, backs up a folder of generated photos with
// thumbnails and downloads the album database; the program is stopped with SIGTERM, started again
// and the same folder backed up once more. The test then checks the stored tree, every file's
// content, every row, the announced port and that the second backup stored and recorded nothing.
#include "E2eSupport.h"

#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int kNotListening = 77;
constexpr int kGeneratedPhotos = 200;

// The whole run happens inside `unshare -n -i` (own network and IPC namespaces, so neither the
// veth pair nor the single-instance marker touch anything else). The limited broadcast needs a
// route; a host route through one end of the pair keeps everything else unreachable.
// Each phase starts the program, notes the TCP ports it listens on before any phone comes, runs
// phonesim, then ends the program with SIGTERM and notes its exit status. Every wait is bounded.
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
APP=
alive() { local s; s=$(awk '{print $3}' /proc/$APP/stat 2>/dev/null); [ -n "$s" ] && [ "$s" != Z ]; }
ports() { ss -ltnpH 2>/dev/null | grep "pid=$APP," | awk '{print $4}' | sed 's/.*://' | sort -u; }
stop_app() {
  kill -TERM $APP 2>/dev/null
  ( sleep 20; kill -KILL $APP 2>/dev/null ) &
  local watchdog=$!
  wait $APP
  echo $? >"$OUT/exit$1"
  kill $watchdog 2>/dev/null
  wait $watchdog 2>/dev/null
}
phase() {
  local n=$1; shift
  echo "=== start $n" >>program.log
  QT_QPA_PLATFORM=offscreen VANTEO_NONINTERACTIVE=1 ./vanteoalbum >>program.log 2>&1 &
  APP=$!
  for i in $(seq 1 150); do [ -n "$(ports)" ] && break; alive || break; sleep 0.2; done
  if [ -z "$(ports)" ]; then kill -KILL $APP 2>/dev/null; wait $APP 2>/dev/null; exit 77; fi
  ports >"$OUT/ports$n"
  "$PHONESIM" "$@" --save-db "$OUT/db$n.db" --thumbs "$OUT/thumbs$n" >"$OUT/sim$n.log" 2>&1
  echo $? >"$OUT/simrc$n"
  stop_app $n
}
phase 1 "$@"
phase 2 "$@"
exit 0
)SH";

// Every row of albumlist by column position (0 is the id), ordered by id.
QList<QVariantList> readRows(const QString &file, QString *error)
{
    return TestSupport::queryRows(file, QStringLiteral("select * from albumlist order by id"), error);
}

using E2e::text;

} // namespace

class TstE2eProgram : public QObject
{
    Q_OBJECT
private slots:
    void backupStopStartAndBackupAgain();
};

void TstE2eProgram::backupStopStartAndBackupAgain()
{
    const QString program = TestSupport::binDir() + QStringLiteral("/vanteoalbum");
    const QString phonesim = TestSupport::binDir() + QStringLiteral("/phonesim");
    if (!QFileInfo(program).isExecutable() || !QFileInfo(phonesim).isExecutable())
        QSKIP("the program or phonesim is not built");
    if (!TestSupport::canUnshareNetworkAndIpc())
        QSKIP("needs root for a network namespace of its own (scripts/test runs the suite as root)");

    // A program folder of its own: the program keeps global.xml and the databases beside itself.
    auto programDir = TestSupport::makeProgramDir();
    QTemporaryDir work;
    QVERIFY(programDir->isValid() && work.isValid());
    const QString name = QStringLiteral("e2e-手机");
    const QString folder = E2e::setUpProgram(programDir->path(), work.path(), name);
    QVERIFY(!folder.isEmpty());

    // 200 small photos spread over four months, plus the odd ones: no EXIF, a "video", an empty file.
    const QString phoneDir = work.path() + QStringLiteral("/phone");
    QList<E2e::Photo> photos = E2e::writeGeneratedPhotos(phoneDir, kGeneratedPhotos);
    photos += E2e::writePhonePhotos(phoneDir);
    const QString out = work.path() + QStringLiteral("/out");
    QDir().mkpath(out);

    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PROGRAM_DIR"), programDir->path());
    env.insert(QStringLiteral("PHONESIM"), phonesim);
    env.insert(QStringLiteral("OUT"), out);
    // The single-instance lock lives in the runtime folder: a program the user runs elsewhere must not
    // stop this one.
    QDir().mkpath(work.path() + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("TMPDIR"), work.path() + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), work.path() + QStringLiteral("/tmp"));
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("unshare"),
              {QStringLiteral("-n"), QStringLiteral("-i"), QStringLiteral("bash"), QStringLiteral("-c"),
               QString::fromLatin1(kScript), QStringLiteral("e2e"), QStringLiteral("--name"), name,
               QStringLiteral("--dir"), phoneDir, QStringLiteral("--ratio"), QStringLiteral("4"),
               QStringLiteral("--discover-timeout"), QStringLiteral("15"), QStringLiteral("--timeout"),
               QStringLiteral("20"), QStringLiteral("--status"), QStringLiteral("--check-db")});
    QVERIFY(run.waitForFinished(200000));
    const QString log = QString::fromUtf8(run.readAll()) + QStringLiteral("\n--- program log ---\n") +
        text(programDir->path() + QStringLiteral("/program.log"));
    QVERIFY2(run.exitCode() != kNotListening, qPrintable(QStringLiteral("the program never listened\n") + log));
    QVERIFY2(run.exitCode() == 0, qPrintable(log));

    const QString dbPath = programDir->path() + QLatin1Char('/') + name + QStringLiteral(".db");
    QList<QVariantList> firstRows;
    for (int n = 1; n <= 2; ++n) {
        const QString phase = QString::number(n);
        const QString sim = text(out + QStringLiteral("/sim") + phase + QStringLiteral(".log"));
        QVERIFY2(text(out + QStringLiteral("/simrc") + phase) == QLatin1String("0"), qPrintable(sim + log));
        QVERIFY2(sim.contains(QStringLiteral("files=%1 acked=%1").arg(photos.size())), qPrintable(sim));
        QVERIFY2(sim.contains(QStringLiteral("failures=0")), qPrintable(sim));
        qInfo().noquote() << "backup" << n << sim.mid(sim.lastIndexOf(QStringLiteral("summary:")));

        // The port in the broadcast is the one the program listens on (its only one before a phone comes).
        const QRegularExpressionMatch found =
            QRegularExpression(QStringLiteral("found PC .* at 10\\.231\\.0\\.\\d+:(\\d+)")).match(sim);
        QVERIFY2(found.hasMatch(), qPrintable(sim));
        QCOMPARE(text(out + QStringLiteral("/ports") + phase), found.captured(1));

        // SIGTERM ends the program through its event loop: exit status 0 and no crash report.
        QVERIFY2(text(out + QStringLiteral("/exit") + phase) == QLatin1String("0"),
                 qPrintable(QStringLiteral("exit status %1\n").arg(text(out + QStringLiteral("/exit") + phase)) + log));
        QVERIFY2(QDir(programDir->path() + QStringLiteral("/dump")).entryList(QDir::Files).isEmpty(), qPrintable(log));

        QString error;
        const QList<QVariantList> rows = readRows(out + QStringLiteral("/db") + phase + QStringLiteral(".db"), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        if (n == 1) {
            firstRows = rows;
        } else {
            // Nothing recorded twice: the same rows, ids included, and the program's own file agrees.
            QCOMPARE(rows, firstRows);
            QCOMPARE(readRows(dbPath, &error), firstRows);
        }
    }

    // The stored tree: every file once, under the year and month of its capture, no "(1)" copies.
    QStringList expected;
    for (const E2e::Photo &p : qAsConst(photos))
        expected << E2e::storedPath(folder, p).mid(folder.size() + 1);
    expected.sort();
    const QStringList stored = E2e::tree(folder);
    QCOMPARE(stored.size(), photos.size());
    QCOMPARE(stored, expected);
    QVERIFY(stored.filter(QStringLiteral("(1)")).isEmpty());
    QCOMPARE(QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("2018"), QStringLiteral("2019"), QStringLiteral("2020"),
                          QStringLiteral("2021"), QStringLiteral("2023")}));
    QCOMPARE(QDir(folder + QStringLiteral("/2023")).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("01"), QStringLiteral("02"), QStringLiteral("03"), QStringLiteral("04")}));
    for (const E2e::Photo &p : qAsConst(photos))
        QCOMPARE(TestSupport::md5Hex(TestSupport::readFile(E2e::storedPath(folder, p))),
                 TestSupport::md5Hex(p.content));

    // Every row, by column position, against what was sent.
    QCOMPARE(firstRows.size(), photos.size());
    QHash<QString, QVariantList> byPhonePath;
    for (const QVariantList &row : qAsConst(firstRows))
        byPhonePath.insert(row.at(10).toString(), row);
    QCOMPARE(byPhonePath.size(), photos.size());
    for (const E2e::Photo &p : qAsConst(photos)) {
        const QString phonePath = QStringLiteral("/storage/emulated/0/DCIM/") + p.relative;
        QVERIFY2(byPhonePath.contains(phonePath), qPrintable(phonePath));
        const QVariantList row = byPhonePath.value(phonePath);
        const QString where = E2e::storedPath(folder, p);
        QCOMPARE(row.at(1).toString(), QFileInfo(p.relative).fileName());
        QCOMPARE(row.at(2).toString(), where);
        QCOMPARE(row.at(3).toLongLong(), qint64(p.content.size()));
        QCOMPARE(row.at(4).toString(), TestSupport::md5Hex(p.content));
        QCOMPARE(row.at(5).toString(), name);
        QCOMPARE(row.at(6).toString(), p.taken.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
        QCOMPARE(row.at(7).toInt(), 4);
        QCOMPARE(row.at(9).toInt(), 1);
        const QString smallMd5 = row.at(8).toString();
        if (p.image) {
            // The thumbnail the phone received is the one recorded, and a quarter of the photo's size.
            const QString thumbFile = out + QStringLiteral("/thumbs1/") + QFileInfo(p.relative).fileName();
            const QByteArray thumb = TestSupport::readFile(thumbFile);
            QVERIFY2(!thumb.isEmpty(), qPrintable(thumbFile));
            QCOMPARE(smallMd5, TestSupport::md5Hex(thumb));
            const QImage full = QImage::fromData(p.content);
            const QImage small = QImage::fromData(thumb);
            QCOMPARE(small.width(), full.width() / 4);
        } else {
            QVERIFY2(smallMd5.isEmpty(), qPrintable(p.relative));
        }
    }

    // The program took the device as known (no dialog) and noted its visit.
    const QList<UserEntry> users = ReadWriteSetting::getInstance()->getUserList();
    QCOMPARE(users.size(), 1);
    QCOMPARE(users.at(0).name, name);
    QCOMPARE(users.at(0).path, folder);
}

QTEST_MAIN(TstE2eProgram)
#include "tst_e2e_program.moc"
