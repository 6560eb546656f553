// `cmake --install` into a prefix of its own: the program, its desktop entry, icons, AppStream
// metainfo and user unit land where desktops and systemd look, and each passes its own checker
// (desktop-file-validate, appstreamcli, systemd-analyze).
#include "tests/support/TestSupport.h"

#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    int code = -1;
    QString output;
    QString command;
    QString report() const { return command + QLatin1Char('\n') + output; }
};

Run run(const QString &program, const QStringList &args, const QProcessEnvironment &env = {})
{
    QProcess p;
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(120000))
        return {-1, QStringLiteral("did not end"), program};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAll()),
            program + QLatin1Char(' ') + args.join(QLatin1Char(' '))};
}

// The "key=value" lines of a desktop entry or unit file.
QHash<QString, QString> keys(const QString &path)
{
    QHash<QString, QString> out;
    const QStringList lines = QString::fromUtf8(TestSupport::readFile(path)).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0 && !line.startsWith(QLatin1Char('#')))
            out.insert(line.left(eq), line.mid(eq + 1));
    }
    return out;
}

} // namespace

class TstInstall : public QObject
{
    Q_OBJECT
private slots:
    void installsIntoAPrefix();
};

void TstInstall::installsIntoAPrefix()
{
    for (const char *tool : {"cmake", "desktop-file-validate", "appstreamcli", "systemd-analyze"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QFAIL(qPrintable(QStringLiteral("%1 is missing (scripts/deps.sh installs it)").arg(QLatin1String(tool))));
    }
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString prefix = tmp.path() + QStringLiteral("/prefix");
    const QString build = QDir::cleanPath(TestSupport::binDir() + QStringLiteral("/.."));
    const Run install =
        run(QStringLiteral("cmake"), {QStringLiteral("--install"), build, QStringLiteral("--prefix"), prefix});
    QVERIFY2(install.code == 0, qPrintable(install.report()));

    const QString bin = prefix + QStringLiteral("/bin/vanteoalbum");
    const QString desktop = prefix + QStringLiteral("/share/applications/vanteoalbum.desktop");
    const QString metainfo = prefix + QStringLiteral("/share/metainfo/cn.vanteo.vanteoalbum.metainfo.xml");
    const QString unit = prefix + QStringLiteral("/share/systemd/user/vanteoalbum.service");
    const QString hicolor = prefix + QStringLiteral("/share/icons/hicolor/");
    QVERIFY(QFileInfo(bin).isExecutable());
    QVERIFY(QFileInfo(hicolor + QStringLiteral("scalable/apps/vanteoalbum.svg")).isFile());

    // Each file passes its checker without a complaint.
    const Run desktopCheck = run(QStringLiteral("desktop-file-validate"), {desktop});
    QVERIFY2(desktopCheck.code == 0 && !desktopCheck.output.contains(QStringLiteral("error")) &&
                 !desktopCheck.output.contains(QStringLiteral("warning")),
             qPrintable(desktopCheck.report()));
    const Run metainfoCheck =
        run(QStringLiteral("appstreamcli"),
            {QStringLiteral("validate"), QStringLiteral("--no-net"), QStringLiteral("--pedantic"), metainfo});
    QVERIFY2(metainfoCheck.code == 0, qPrintable(metainfoCheck.report()));
    QVERIFY2(!metainfoCheck.output.contains(QStringLiteral("E:")) &&
                 !metainfoCheck.output.contains(QStringLiteral("W:")),
             qPrintable(metainfoCheck.report()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QTemporaryDir runtime; // the user manager's checks want a runtime folder of their own
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    const Run unitCheck =
        run(QStringLiteral("systemd-analyze"), {QStringLiteral("--user"), QStringLiteral("verify"), unit}, env);
    QVERIFY2(unitCheck.code == 0, qPrintable(unitCheck.report()));

    // What the desktop, AppStream and systemd read from them.
    const QHash<QString, QString> entry = keys(desktop);
    QCOMPARE(entry.value(QStringLiteral("Name")), QStringLiteral("万特相册"));
    QCOMPARE(entry.value(QStringLiteral("Name[zh_CN]")), QStringLiteral("万特相册"));
    QCOMPARE(entry.value(QStringLiteral("Exec")), QStringLiteral("vanteoalbum"));
    QCOMPARE(entry.value(QStringLiteral("Icon")), QStringLiteral("vanteoalbum"));
    QVERIFY(entry.value(QStringLiteral("Categories")).split(QLatin1Char(';')).contains(QStringLiteral("Photography")));
    QVERIFY(
        TestSupport::readFile(metainfo).contains("<launchable type=\"desktop-id\">vanteoalbum.desktop</launchable>"));
    const QHash<QString, QString> service = keys(unit);
    QCOMPARE(service.value(QStringLiteral("ExecStart")), bin + QStringLiteral(" --headless"));
    QCOMPARE(service.value(QStringLiteral("Restart")), QStringLiteral("on-failure"));
    QCOMPARE(service.value(QStringLiteral("WantedBy")), QStringLiteral("default.target"));

    // Every hicolor size, rendered from the logo: transparent corners around an opaque tile.
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString path = hicolor + QStringLiteral("%1x%1/apps/vanteoalbum.png").arg(size);
        const QImage icon(path);
        QVERIFY2(icon.size() == QSize(size, size), qPrintable(path));
        QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(icon.pixel(size / 2, size / 2)), 255);
    }

    // The installed program runs from there without a display.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    const Run help = run(bin, {QStringLiteral("--help")}, env);
    QVERIFY2(help.code == 0 && help.output.contains(QStringLiteral("--headless")), qPrintable(help.report()));
}

QTEST_GUILESS_MAIN(TstInstall)
#include "tst_install.moc"
