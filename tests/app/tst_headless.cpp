// The program without a display, laid out as an installed program (no global.xml beside it, so
// its settings and data go to the XDG folders): in network and IPC namespaces of its own, with no
// DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM, `--headless` announces itself; a phone with a new
// name waits, `--pending` lists it from a shell, `--approve` lets it through and its files are
// stored; SIGTERM ends the program with 0 and no crash report.
#include "tests/link/E2eSupport.h"

#include "platform/AppPaths.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kNotListening = 77;
constexpr int kPhotos = 20;
#ifdef VANTEO_SANITIZED
constexpr int kWaitSeconds = 120; // every single wait of the script, and the phone's
#else
constexpr int kWaitSeconds = 40;
#endif

// Runs inside `unshare -n -i`: a veth pair with a host route for the limited broadcast, as in
// tst_e2e_program. The control commands are separate starts of the same program, as from a shell.
const char kScript[] = R"SH(
set -u
ip link set lo up
ip link add hlA type veth peer name hlB || exit 90
ip addr add 10.232.0.1/24 dev hlA
ip addr add 10.232.0.2/24 dev hlB
ip link set hlA up
ip link set hlB up
ip route add 255.255.255.255/32 dev hlA
cd "$WORK"
"$PROG" --headless 2>"$OUT/program.log" &
APP=$!
alive() { local s; s=$(awk '{print $3}' /proc/$APP/stat 2>/dev/null); [ -n "$s" ] && [ "$s" != Z ]; }
ports() { ss -ltnpH 2>/dev/null | grep "pid=$APP," | awk '{print $4}' | sed 's/.*://' | sort -u; }
ticks=$((WAIT * 5))
for i in $(seq 1 $ticks); do [ -n "$(ports)" ] && break; alive || break; sleep 0.2; done
if [ -z "$(ports)" ]; then kill -KILL $APP 2>/dev/null; wait $APP 2>/dev/null; exit 77; fi

"$PHONESIM" --name "$NAME" --dir "$PHONE" --discover-timeout "$WAIT" --timeout "$WAIT" --check-db \
  >"$OUT/sim.log" 2>&1 &
SIM=$!
: >"$OUT/pending"
for i in $(seq 1 $ticks); do
  "$PROG" --pending >"$OUT/pending" 2>>"$OUT/control.log" && grep -qxF "$NAME" "$OUT/pending" && break
  sleep 0.2
done
"$PROG" --approve "$NAME" >>"$OUT/control.log" 2>&1; echo $? >"$OUT/approve"
# Answered: the name waits no longer.
"$PROG" --approve "$NAME" >>"$OUT/control.log" 2>&1; echo $? >"$OUT/approve-again"
wait $SIM; echo $? >"$OUT/simrc"
"$PROG" --pending >"$OUT/pending-after" 2>>"$OUT/control.log"

kill -TERM $APP
( sleep "$WAIT"; kill -KILL $APP 2>/dev/null ) &
watchdog=$!
wait $APP; echo $? >"$OUT/exit"
kill $watchdog 2>/dev/null; wait $watchdog 2>/dev/null
exit 0
)SH";

using E2e::text;

} // namespace

class TstHeadless : public QObject
{
    Q_OBJECT
private slots:
    void newPhoneApprovedFromTheShell();
};

void TstHeadless::newPhoneApprovedFromTheShell()
{
    const QString phonesim = TestSupport::binDir() + QStringLiteral("/phonesim");
    if (!QFileInfo(phonesim).isExecutable())
        QSKIP("phonesim is not built");
    if (!TestSupport::canUnshareNetworkAndIpc())
        QSKIP("needs root for namespaces of its own (scripts/test runs the suite as root)");

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const auto dir = [&work](const QString &name) {
        const QString path = work.path() + QLatin1Char('/') + name;
        QDir().mkpath(path);
        return path;
    };
    // The program alone in its folder, like an installed one.
    const QString prog = dir(QStringLiteral("prefix/bin"));
    QVERIFY(TestSupport::installProgramCopy(prog));
    const QString configDir = dir(QStringLiteral("config")) + QStringLiteral("/vanteoalbum");
    const QString dataDir = dir(QStringLiteral("data")) + QStringLiteral("/vanteoalbum");
    const QString runtime = dir(QStringLiteral("runtime"));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString drive = dir(QStringLiteral("drive")) + QLatin1Char('/');
    const QString out = dir(QStringLiteral("out"));
    const QString name = QStringLiteral("新手机 A");

    // The settings the program will find in its XDG folder: where to store, and no update check.
    QVERIFY(QDir().mkpath(configDir));
    TestSupport::useProgramDir(configDir);
    ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("saveDrive"), drive);
    ReadWriteSetting::getInstance()->setGlobalValue(
        QStringLiteral("updateTime"), QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));

    const QString phoneDir = dir(QStringLiteral("phone"));
    const QList<E2e::Photo> photos = E2e::writeGeneratedPhotos(phoneDir, kPhotos);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(display));
    env.insert(QStringLiteral("HOME"), dir(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), work.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), work.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("TMPDIR"), runtime);
    env.insert(QStringLiteral("WORK"), work.path());
    env.insert(QStringLiteral("PROG"), prog + QStringLiteral("/vanteoalbum"));
    env.insert(QStringLiteral("PHONESIM"), phonesim);
    env.insert(QStringLiteral("PHONE"), phoneDir);
    env.insert(QStringLiteral("NAME"), name);
    env.insert(QStringLiteral("OUT"), out);
    env.insert(QStringLiteral("WAIT"), QString::number(kWaitSeconds));
    QProcess run;
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("unshare"),
              {QStringLiteral("-n"), QStringLiteral("-i"), QStringLiteral("bash"), QStringLiteral("-c"),
               QString::fromLatin1(kScript)});
    QVERIFY(run.waitForFinished(6 * kWaitSeconds * 1000));
    const QString log = QString::fromUtf8(run.readAll()) + QStringLiteral("\n--- program ---\n") +
        text(out + QStringLiteral("/program.log")) + QStringLiteral("\n--- control ---\n") +
        text(out + QStringLiteral("/control.log")) + QStringLiteral("\n--- phone ---\n") +
        text(out + QStringLiteral("/sim.log"));
    QVERIFY2(run.exitCode() != kNotListening, qPrintable(QStringLiteral("the program never listened\n") + log));
    QVERIFY2(run.exitCode() == 0, qPrintable(log));

    // The waiting phone was listed, approved once, and then waited no longer.
    QVERIFY2(text(out + QStringLiteral("/pending")) == name, qPrintable(log));
    QVERIFY2(text(out + QStringLiteral("/approve")) == QLatin1String("0"), qPrintable(log));
    QVERIFY2(text(out + QStringLiteral("/approve-again")) == QLatin1String("1"), qPrintable(log));
    QVERIFY2(text(out + QStringLiteral("/pending-after")).isEmpty(), qPrintable(log));

    // The phone found the PC by its broadcast and every file was acknowledged and recorded.
    const QString sim = text(out + QStringLiteral("/sim.log"));
    QVERIFY2(text(out + QStringLiteral("/simrc")) == QLatin1String("0"), qPrintable(log));
    QVERIFY2(sim.contains(QStringLiteral("found PC")), qPrintable(sim));
    QVERIFY2(sim.contains(QStringLiteral("files=%1 acked=%1").arg(kPhotos)), qPrintable(sim));
    const QString folder = drive + AppPaths::albumFolderName() + QLatin1Char('/') + name;
    QCOMPARE(E2e::tree(folder).size(), photos.size());
    for (const E2e::Photo &p : photos)
        QCOMPARE(TestSupport::md5Hex(TestSupport::readFile(E2e::storedPath(folder, p))),
                 TestSupport::md5Hex(p.content));

    // SIGTERM: an orderly end.
    QVERIFY2(text(out + QStringLiteral("/exit")) == QLatin1String("0"), qPrintable(log));
    QVERIFY2(QDir(dataDir + QStringLiteral("/dump")).entryList(QDir::Files).isEmpty(), qPrintable(log));
    QVERIFY2(QFileInfo(dataDir + QLatin1Char('/') + name + QStringLiteral(".db")).isFile(), qPrintable(log));

    // The approval was kept in the XDG settings, and nothing was written beside the program.
    TestSupport::useProgramDir(configDir);
    const QList<UserEntry> users = ReadWriteSetting::getInstance()->getUserList();
    QCOMPARE(users.size(), 1);
    QCOMPARE(users.at(0).name, name);
    QCOMPARE(users.at(0).path, folder);
    QCOMPARE(QDir(prog).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{QStringLiteral("vanteoalbum")});
    // One line per message, without a display anywhere.
    const QString programLog = text(out + QStringLiteral("/program.log"));
    QVERIFY2(programLog.contains(QStringLiteral("approved from the command line")), qPrintable(programLog));
    QVERIFY2(!programLog.contains(QStringLiteral("display")), qPrintable(programLog));
}

QTEST_GUILESS_MAIN(TstHeadless)
#include "tst_headless.moc"
