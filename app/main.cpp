#include "app/AppInit.h"
#include "app/Startup.h"
#include "app/VanteoUI.h"
#include "platform/CrashHandler.h"
#include "platform/QuitSignals.h"
#include "platform/SearchEngine.h"
#include "platform/SingleInstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // First, so that a crash in any later step is reported.
    CrashHandler::install(CrashHandler::executableDir() + QStringLiteral("/dump"));

    QApplication app(argc, argv);
    Startup::setupTextAndFont();
    app.installEventFilter(AppInit::getInstance());
    // SIGTERM/SIGINT/SIGHUP close the program like its close button instead of killing it.
    QuitSignals::install();
    Startup::applyAutomationMode();

    SingleInstance guard(QStringLiteral("vanteoalbum"));
    if (!Startup::claimSingleInstance(&guard))
        return 0;

    SearchEngine::start();

    // The resets take effect before the window reads saveDrive and its pages open the databases.
    applyLocalReset();
    applyRemoteReset();

    int code = 0;
    {
        VanteoUI window;
        window.show();
        code = app.exec();
    }
    // Normally the local album page has ended the engine already; its indexing thread must not
    // outlive main().
    SearchEngine::stop();
    return code;
}
