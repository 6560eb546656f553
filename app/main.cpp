#include "app/AppInit.h"
#include "app/Headless.h"
#include "app/Startup.h"
#include "app/VanteoUI.h"
#include "platform/AppPaths.h"
#include "platform/CrashHandler.h"
#include "platform/Dialogs.h"
#include "platform/pages/WidgetDialogs.h"
#include "platform/OpenFileLimit.h"
#include "platform/QuitSignals.h"
#include "platform/SearchEngine.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QThreadPool>
#include <QTimer>

int main(int argc, char *argv[])
{
    // First, so that a crash in any later step is reported.
    CrashHandler::install(AppPaths::dumpDir());
    // Before anything opens descriptors: phones on the network may hold many connections.
    OpenFileLimit::raiseToHard();
    // Without a window (a server, a user service) and the shell's control commands: no display needed.
    if (Headless::wanted(argc, argv))
        return Headless::run(argc, argv);

    QApplication app(argc, argv);
    WidgetDialogs dialogs;
    Dialogs::setPresenter(&dialogs);
    Startup::setupTextAndFont();
    Startup::installQtTranslations();
    app.installEventFilter(AppInit::getInstance());
    // SIGTERM/SIGINT/SIGHUP close the program like its close button instead of killing it.
    QuitSignals::install();
    Startup::applyAutomationMode();

    SingleInstance guard(QStringLiteral("vanteoalbum"));
    if (!Startup::claimSingleInstance(&guard))
        return 0;

    // The searches, up to ten organise workers and the album listing share Qt's global pool. The
    // workers mostly wait on the disk, so they get threads of their own even on a two-core PC,
    // and a listing is never queued behind them.
    QThreadPool::globalInstance()->setMaxThreadCount(qMax(QThreadPool::globalInstance()->maxThreadCount(), 16));

    SearchEngine::start();

    Startup::removeTransferLeftovers();
    // The resets and the recovery of unreadable settings take effect before the window reads
    // saveDrive and its pages open the databases.
    const QString recovered = Startup::recoverBrokenSettings();
    Startup::recoverArchiveMove();
    const bool localReset = applyLocalReset();
    const int phonesReset = applyRemoteReset();

    int code = 0;
    {
        VanteoUI window;
        // --minimized (start at login): into the tray, or minimised where there is none.
        if (!app.arguments().contains(QStringLiteral("--minimized")))
            window.show();
        else if (!window.tray())
            window.showMinimized();
        // A second start brings the window forward; --pending/--approve/--refuse answer its question.
        guard.listenForRequests([&window] { window.bringToFront(); },
                                [&window](const QString &command, const QString &argument) {
                                    return Headless::answerControl(window.commandServer(), command, argument);
                                });
        const QString resetNote = Startup::resetNotice(localReset, phonesReset);
        // Once the window is up, so the notes stand in front of it.
        if (!recovered.isEmpty()) {
            QTimer::singleShot(0, &window, [&window, recovered] {
                Dialogs::message(&window, Dialogs::Warning, QStringLiteral("设置已重建"), recovered, Dialogs::Ok);
            });
        }
        if (!resetNote.isEmpty()) {
            QTimer::singleShot(0, &window, [&window, resetNote] {
                Dialogs::message(&window, Dialogs::Information, QStringLiteral("重置完成"), resetNote, Dialogs::Ok);
            });
        }
        code = app.exec();
    }
    // Normally the local album page has ended the engine already; its indexing thread must not
    // outlive main().
    SearchEngine::stop();
    return code;
}
