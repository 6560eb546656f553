#include "app/Headless.h"

#include "app/Startup.h"
#include "app/VanteoUI.h"
#include "link/CmdServer.h"
#include "link/NetBroadCast.h"
#include "platform/AppPaths.h"
#include "platform/QuitSignals.h"
#include "platform/SingleInstance.h"
#include "settings/ReadWriteSetting.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThreadPool>

#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcHeadless, "vanteo.headless")

namespace {

const QString kKey = QStringLiteral("vanteoalbum");
// Not a failure a restart would mend (the user unit does not restart on it).
constexpr int kAlreadyRunning = 4;

const char kUsage[] = "usage: vanteoalbum [--headless | --pending | --approve NAME | --refuse NAME]\n"
                      "  --headless      serve phones without a window (logs to standard error)\n"
                      "  --pending       list the new phones waiting for approval\n"
                      "  --approve NAME  let that phone back up here\n"
                      "  --refuse NAME   refuse that phone\n";

struct Request
{
    bool headless = false;
    QString command; // a control command, or empty
    QString argument;
    bool help = false;
    bool bad = false;
};

// Only these options are taken; anything else is a mistake, not a window option.
Request parse(const QStringList &args)
{
    Request r;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--headless")) {
            r.headless = true;
        } else if (a == QLatin1String("--pending") && r.command.isEmpty()) {
            r.command = QStringLiteral("pending");
        } else if ((a == QLatin1String("--approve") || a == QLatin1String("--refuse")) && r.command.isEmpty() &&
                   i + 1 < args.size()) {
            r.command = a.mid(2);
            r.argument = args.at(++i);
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            r.help = true;
        } else {
            r.bad = true;
        }
    }
    if (r.headless && !r.command.isEmpty())
        r.bad = true;
    return r;
}

// One line per message on standard error, for a terminal or the journal (which takes a "<n>"
// priority prefix when it reads a service's output).
void logLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const bool journal = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    QByteArray line;
    if (journal) {
        const char *priority = type == QtDebugMsg ? "<7>"
            : type == QtInfoMsg                   ? "<6>"
            : type == QtWarningMsg                ? "<4>"
                                                  : "<3>";
        line = priority;
    } else if (type == QtWarningMsg) {
        line = "warning: ";
    } else if (type == QtCriticalMsg || type == QtFatalMsg) {
        line = "error: ";
    }
    if (context.category && std::strcmp(context.category, "default") != 0)
        line += QByteArray(context.category) + ": ";
    QString text = message;
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line += text.toUtf8() + '\n';
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.constData(), size_t(line.size()));
    if (type == QtFatalMsg)
        ::abort();
}

// The address announced: the stored choice of the network page (an index into the list), kept
// while it exists when the network changes.
void chooseAddress(NetBroadCast *broadcaster, const QStringList &list, const QString &previous)
{
    if (list.isEmpty()) {
        qCWarning(lcHeadless) << "no network address to announce; waiting for a network";
        return;
    }
    int index = previous.isEmpty() ? -1 : list.indexOf(previous);
    if (index < 0) {
        index = ReadWriteSetting::getInstance()->number(SettingsKeys::LocalIP);
        if (index < 0 || index >= list.size())
            index = 0;
    }
    broadcaster->setIP(list.at(index));
    qCInfo(lcHeadless).noquote() << "announcing" << list.at(index) << "port" << broadcaster->getPort();
}

int control(const Request &r)
{
    QByteArray answer;
    if (!SingleInstance(kKey).sendControl(r.command, r.argument, &answer)) {
        std::fputs("vanteoalbum: no running copy answers (start it, e.g. with --headless)\n", stderr);
        return 3;
    }
    if (answer.startsWith("ok\n")) {
        std::fputs(answer.mid(3).constData(), stdout);
        return 0;
    }
    std::fprintf(stderr, "vanteoalbum: %s", answer.startsWith("error ") ? answer.mid(6).constData() : "bad answer\n");
    return 1;
}

int serve()
{
    QLoggingCategory::setFilterRules(QStringLiteral("vanteo.*.info=true"));
    // SIGTERM (systemctl stop), SIGINT and SIGHUP end the event loop; everything is then closed in order.
    QuitSignals::install();

    SingleInstance guard(kKey);
    if (!guard.acquire()) {
        qCCritical(lcHeadless) << "another copy of the program runs for this user";
        return kAlreadyRunning;
    }
    qCInfo(lcHeadless).noquote() << "settings" << AppPaths::configFile(QStringLiteral("global.xml")) << "data"
                                 << AppPaths::dataDir();
    QThreadPool::globalInstance()->setMaxThreadCount(qMax(QThreadPool::globalInstance()->maxThreadCount(), 16));

    Startup::removeTransferLeftovers();
    const QString recovered = Startup::recoverBrokenSettings();
    Startup::recoverArchiveMove();
    if (!recovered.isEmpty())
        qCWarning(lcHeadless).noquote() << recovered;
    const bool localReset = applyLocalReset();
    const int phonesReset = applyRemoteReset();
    const QString resetNote = Startup::resetNotice(localReset, phonesReset);
    if (!resetNote.isEmpty())
        qCInfo(lcHeadless).noquote() << resetNote;

    const QString savePath = VanteoUI::getSaveDrive();
    if (savePath.isEmpty())
        qCWarning(lcHeadless) << "no volume with enough free space for the albums";
    else
        qCInfo(lcHeadless).noquote() << "storing under" << savePath + AppPaths::albumFolderName();

    auto server = std::make_unique<CmdServer>(nullptr, 20, savePath);
    if (!server->listenForPhones()) {
        qCCritical(lcHeadless) << "cannot listen for phones:" << server->errorString();
        return 1;
    }
    QObject::connect(server.get(), &CmdServer::UpdateRemoteInfo, server.get(), [](const QString &name, bool isNew) {
        qCInfo(lcHeadless).noquote() << (isNew ? "new phone approved:" : "phone connected:") << name;
    });

    NetBroadCast *broadcaster = NetBroadCast::getInstance();
    broadcaster->setPort(server->serverPort());
    const QStringList addresses = broadcaster->getLocalIPList();
    chooseAddress(broadcaster, addresses, QString());
    QObject::connect(
        broadcaster, &NetBroadCast::localIPListChanged, broadcaster,
        [broadcaster](const QStringList &list) { chooseAddress(broadcaster, list, broadcaster->getIP()); });
    broadcaster->startWatchingNetwork(addresses);
    broadcaster->startBroadcast();

    CmdServer *raw = server.get();
    guard.listenForRequests({}, [raw](const QString &command, const QString &argument) {
        return Headless::answerControl(raw, command, argument);
    });
    qCInfo(lcHeadless) << "serving phones on port" << server->serverPort();

    const int code = QCoreApplication::exec();
    qCInfo(lcHeadless) << "stopping";
    // Phones first: their connections end and half-received files are removed before the
    // databases and the marker go.
    server.reset();
    qCInfo(lcHeadless) << "stopped";
    return code;
}

} // namespace

namespace Headless {

bool wanted(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"--headless", "--pending", "--approve", "--refuse", "--help", "-h"}) {
            if (!std::strcmp(argv[i], option))
                return true;
        }
    }
    return false;
}

int run(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Request r = parse(QCoreApplication::arguments());
    if (r.help || r.bad) {
        std::fputs(kUsage, r.bad ? stderr : stdout);
        return r.bad ? 2 : 0;
    }
    if (!r.command.isEmpty())
        return control(r);
    qInstallMessageHandler(logLine);
    return serve();
}

QByteArray answerControl(CmdServer *server, const QString &command, const QString &argument)
{
    if (!server)
        return QByteArrayLiteral("error no phone service runs\n");
    if (command == QLatin1String("pending")) {
        QByteArray out("ok\n");
        const QStringList names = server->pendingNames();
        for (const QString &name : names)
            out += name.toUtf8() + '\n';
        return out;
    }
    const bool ok = command == QLatin1String("approve");
    if (!server->answer(argument, ok))
        return QByteArrayLiteral("error no phone of that name waits for an answer\n");
    qCInfo(lcHeadless).noquote() << (ok ? "approved from the command line:" : "refused from the command line:")
                                 << argument;
    return QByteArrayLiteral("ok\n");
}

} // namespace Headless
