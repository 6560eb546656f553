#include "platform/QuitSignals.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcQuitSignals, "vanteo.platform.quitsignals")

namespace {

int g_pipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte into the pipe, read by the event loop.
void onQuitSignal(int sig)
{
    const int saved = errno;
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[0], &byte, 1);
    errno = saved;
}

} // namespace

bool QuitSignals::install()
{
    if (g_pipe[0] >= 0)
        return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
        qCWarning(lcQuitSignals) << "no socket pair for stop requests";
        return false;
    }
    auto *notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier](int fd) {
        char byte = 0;
        if (::read(fd, &byte, 1) == 1) {
            qCInfo(lcQuitSignals) << "stop requested by signal" << int(byte);
            notifier->setEnabled(false);
            QCoreApplication::quit();
        }
    });

    struct sigaction sa = {};
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    // The first request shuts down in order; the default action is back for a second one.
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    bool ok = true;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ok = ::sigaction(sig, &sa, nullptr) == 0 && ok;
    return ok;
}
