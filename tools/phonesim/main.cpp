// phonesim: a stand-in for the phone app, for trying the PC program without a phone.
#include "PhoneSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostInfo>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("phonesim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays a phone: finds the PC by its broadcast (or --host/--port), names itself, "
                       "sends a folder of files, checks every acknowledgement and can download its album database."));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("PC address (skips the broadcast)."),
                                  QStringLiteral("ip"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("PC command port."), QStringLiteral("port"));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("Device name (UTF-8)."),
                                  QStringLiteral("name"), QStringLiteral("phonesim-") + QHostInfo::localHostName());
    const QCommandLineOption dir(QStringLiteral("dir"), QStringLiteral("Folder whose files are sent (recursively)."),
                                 QStringLiteral("folder"));
    const QCommandLineOption ratio(QStringLiteral("ratio"),
                                   QStringLiteral("Thumbnail divisor asked for (1 or less: no thumbnails)."),
                                   QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Seconds any single wait may take."),
                                     QStringLiteral("s"), QStringLiteral("30"));
    const QCommandLineOption discover(QStringLiteral("discover-timeout"),
                                      QStringLiteral("Seconds to listen for the broadcast."), QStringLiteral("s"),
                                      QStringLiteral("15"));
    const QCommandLineOption pcName(QStringLiteral("pc-name"),
                                    QStringLiteral("Take only the broadcast of the PC with this host name."),
                                    QStringLiteral("host name"));
    const QCommandLineOption prefix(QStringLiteral("mobile-prefix"),
                                    QStringLiteral("Phone folder the files claim to come from."),
                                    QStringLiteral("path"), QStringLiteral("/storage/emulated/0/DCIM/"));
    const QCommandLineOption status(QStringLiteral("status"),
                                    QStringLiteral("Send status records 7 and 9 and expect 9 acknowledged."));
    const QCommandLineOption download(QStringLiteral("download-db"),
                                      QStringLiteral("Download the album database after sending."));
    const QCommandLineOption dbName(QStringLiteral("db-name"),
                                    QStringLiteral("Device whose database is asked for (default: --name)."),
                                    QStringLiteral("name"));
    const QCommandLineOption saveDb(QStringLiteral("save-db"), QStringLiteral("Keep the downloaded database here."),
                                    QStringLiteral("file"));
    const QCommandLineOption listDb(QStringLiteral("list-db"), QStringLiteral("Print the database's rows."));
    const QCommandLineOption checkDb(QStringLiteral("check-db"),
                                     QStringLiteral("Fail unless every file sent has its row in the database."));
    const QCommandLineOption refused(QStringLiteral("expect-refused"),
                                     QStringLiteral("Succeed only when refused with file port 0."));
    const QCommandLineOption thumbs(QStringLiteral("thumbs"), QStringLiteral("Keep received thumbnails here."),
                                    QStringLiteral("folder"));
    const QCommandLineOption hold(QStringLiteral("hold"),
                                  QStringLiteral("Stay connected this many seconds before leaving."),
                                  QStringLiteral("s"), QStringLiteral("0"));
    const QCommandLineOption waitDelete(QStringLiteral("wait-delete-notice"),
                                        QStringLiteral("Stay connected until the PC deletes this device."));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Print only failures and the summary."));
    parser.addOptions({host,     port,   name,   dir,    ratio,   timeout, discover, pcName, prefix,     status,
                       download, dbName, saveDb, listDb, checkDb, refused, thumbs,   hold,   waitDelete, quiet});
    parser.process(app);

    PhoneSim::Options o;
    o.host = parser.value(host);
    o.port = parser.value(port).toInt();
    o.name = parser.value(name);
    o.dir = parser.value(dir);
    o.ratio = parser.value(ratio).toInt();
    o.timeoutMs = qMax(1, parser.value(timeout).toInt()) * 1000;
    o.discoverMs = qMax(1, parser.value(discover).toInt()) * 1000;
    o.pcName = parser.value(pcName);
    o.mobilePrefix = parser.value(prefix);
    o.status = parser.isSet(status);
    o.downloadDb = parser.isSet(download) || parser.isSet(listDb) || parser.isSet(checkDb) || parser.isSet(saveDb);
    o.dbName = parser.value(dbName);
    o.saveDb = parser.value(saveDb);
    o.listDb = parser.isSet(listDb);
    o.checkDb = parser.isSet(checkDb);
    o.expectRefused = parser.isSet(refused);
    o.thumbsDir = parser.value(thumbs);
    o.holdMs = qMax(0, parser.value(hold).toInt()) * 1000;
    o.waitDeleteNotice = parser.isSet(waitDelete);
    o.quiet = parser.isSet(quiet);
    if (!o.host.isEmpty() && !parser.isSet(port)) {
        fprintf(stderr, "--host needs --port\n");
        return PhoneSim::Usage;
    }
    return PhoneSim(o).run();
}
