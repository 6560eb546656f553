#include "platform/CrashHandler.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kPathSize = 4096;
char s_dumpDir[kPathSize] = {0};
long s_utcOffset = 0; // seconds to add to UTC for local time, taken at install
std::atomic<int> s_inHandler{0};
char s_altStack[64 * 1024];

const int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// --- async-signal-safe helpers: no allocation, no locks, no stdio ---

int appendStr(char *buf, int pos, int size, const char *s)
{
    while (*s && pos < size - 1)
        buf[pos++] = *s++;
    buf[pos] = '\0';
    return pos;
}

int appendNum(char *buf, int pos, int size, unsigned long long v, int width = 0, int base = 10)
{
    char tmp[32];
    int n = 0;
    do {
        const int d = static_cast<int>(v % base);
        tmp[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        v /= base;
    } while (v && n < 31);
    while (n < width && n < 31)
        tmp[n++] = '0';
    while (n > 0 && pos < size - 1)
        buf[pos++] = tmp[--n];
    buf[pos] = '\0';
    return pos;
}

void writeAll(int fd, const char *s, int len)
{
    while (len > 0) {
        const ssize_t w = ::write(fd, s, static_cast<size_t>(len));
        if (w <= 0)
            return;
        s += w;
        len -= static_cast<int>(w);
    }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(long long z, int *y, int *m, int *d)
{
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

const char *signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

// TracerPid of /proc/self/status is not 0 while a debugger is attached.
bool debuggerAttached()
{
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    int len = 0;
    ssize_t r;
    while (len < static_cast<int>(sizeof buf) - 1 &&
           (r = ::read(fd, buf + len, sizeof buf - 1 - static_cast<size_t>(len))) > 0)
        len += static_cast<int>(r);
    ::close(fd);
    buf[len] = '\0';
    const char *key = "TracerPid:";
    const char *p = std::strstr(buf, key);
    if (!p)
        return false;
    p += std::strlen(key);
    while (*p == ' ' || *p == '\t')
        ++p;
    return *p >= '1' && *p <= '9';
}

void writeReport(int sig, siginfo_t *info)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long local = static_cast<long long>(now.tv_sec) + s_utcOffset;

    char path[kPathSize + 64];
    if (!CrashHandler::formatDumpPath(path, sizeof path, s_dumpDir, local))
        return;
    // The same second twice: the later report replaces the earlier one.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;

    char line[512];
    int n = appendStr(line, 0, sizeof line, "crash report\nsignal: ");
    n = appendNum(line, n, sizeof line, static_cast<unsigned>(sig));
    n = appendStr(line, n, sizeof line, " (");
    n = appendStr(line, n, sizeof line, signalName(sig));
    n = appendStr(line, n, sizeof line, ")\ncode: ");
    const int code = info ? info->si_code : 0;
    if (code < 0)
        n = appendStr(line, n, sizeof line, "-");
    n = appendNum(line, n, sizeof line, static_cast<unsigned>(code < 0 ? -code : code));
    n = appendStr(line, n, sizeof line, "\naddress: 0x");
    n = appendNum(line, n, sizeof line, reinterpret_cast<unsigned long long>(info ? info->si_addr : nullptr), 0, 16);
    n = appendStr(line, n, sizeof line, "\npid: ");
    n = appendNum(line, n, sizeof line, static_cast<unsigned long long>(::getpid()));
    int y, mo, d;
    const long long days = (local >= 0 ? local : local - 86399) / 86400;
    const long long secs = local - days * 86400;
    civilFromDays(days, &y, &mo, &d);
    n = appendStr(line, n, sizeof line, "\ntime: ");
    n = appendNum(line, n, sizeof line, static_cast<unsigned>(y), 4);
    n = appendStr(line, n, sizeof line, "-");
    n = appendNum(line, n, sizeof line, static_cast<unsigned>(mo), 2);
    n = appendStr(line, n, sizeof line, "-");
    n = appendNum(line, n, sizeof line, static_cast<unsigned>(d), 2);
    n = appendStr(line, n, sizeof line, " ");
    n = appendNum(line, n, sizeof line, static_cast<unsigned>(secs / 3600), 2);
    n = appendStr(line, n, sizeof line, ":");
    n = appendNum(line, n, sizeof line, static_cast<unsigned>(secs / 60 % 60), 2);
    n = appendStr(line, n, sizeof line, ":");
    n = appendNum(line, n, sizeof line, static_cast<unsigned>(secs % 60), 2);
    n = appendStr(line, n, sizeof line, "\nbacktrace:\n");
    writeAll(fd, line, n);

    void *frames[128];
    const int count = ::backtrace(frames, 128);
    ::backtrace_symbols_fd(frames, count, fd);
    ::fsync(fd);
    ::close(fd);
}

void onFatalSignal(int sig, siginfo_t *info, void *)
{
    // SA_RESETHAND has put the default action back for this signal; a second fault while
    // writing (or in another thread) just ends the process.
    if (s_inHandler.exchange(1) == 0 && !debuggerAttached())
        writeReport(sig, info);
    ::signal(sig, SIG_DFL);
    ::raise(sig); // SA_NODEFER: delivered now, with the default action
    ::_exit(128 + sig);
}

} // namespace

namespace CrashHandler {

QString executableDir()
{
    char buf[kPathSize];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return QString();
    buf[n] = '\0';
    const QString exe = QFile::decodeName(QByteArray(buf, static_cast<int>(n)));
    return exe.left(exe.lastIndexOf(QLatin1Char('/')));
}

bool formatDumpPath(char *out, int size, const char *dumpDir, long long localSeconds)
{
    const long long days = (localSeconds >= 0 ? localSeconds : localSeconds - 86399) / 86400;
    const long long secs = localSeconds - days * 86400;
    int y, m, d;
    civilFromDays(days, &y, &m, &d);
    int n = appendStr(out, 0, size, dumpDir);
    n = appendStr(out, n, size, "/dump-");
    n = appendNum(out, n, size, static_cast<unsigned>(y), 4);
    n = appendNum(out, n, size, static_cast<unsigned>(m), 2);
    n = appendNum(out, n, size, static_cast<unsigned>(d), 2);
    n = appendStr(out, n, size, "-");
    n = appendNum(out, n, size, static_cast<unsigned>(secs / 3600), 2);
    n = appendNum(out, n, size, static_cast<unsigned>(secs / 60 % 60), 2);
    n = appendNum(out, n, size, static_cast<unsigned>(secs % 60), 2);
    n = appendStr(out, n, size, ".dmp");
    // A path cut short by the buffer would name another file: refuse it.
    return n < size - 1;
}

bool install(const QString &dumpDir)
{
    QString dir = QDir::cleanPath(dumpDir);
    const QByteArray encoded = QFile::encodeName(dir);
    if (dir.isEmpty() || encoded.size() >= kPathSize - 64)
        return false;
    if (!QDir().mkpath(dir))
        return false;
    std::memcpy(s_dumpDir, encoded.constData(), static_cast<size_t>(encoded.size()) + 1);

    // The local-time offset is taken now: localtime_r may lock and read files, which a
    // signal handler must not do. A change of daylight-saving time while running is not followed.
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    s_utcOffset = local.tm_gmtoff;

    // The first backtrace() loads the unwinder (which allocates); do it here, not in the handler.
    void *frames[4];
    ::backtrace(frames, 4);

    // A stack of its own, so a stack overflow can still be reported.
    stack_t ss{};
    ss.ss_sp = s_altStack;
    ss.ss_size = sizeof s_altStack;
    ::sigaltstack(&ss, nullptr);

    struct sigaction sa
    { };
    sa.sa_sigaction = onFatalSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND | SA_NODEFER;
    for (int sig : kSignals)
        ::sigaction(sig, &sa, nullptr);
    return true;
}

} // namespace CrashHandler
