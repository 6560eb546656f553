#include "platform/OpenFileLimit.h"

#include <QLoggingCategory>

#include <sys/resource.h>

Q_LOGGING_CATEGORY(lcOpenFileLimit, "vanteo.platform.openfiles")

namespace OpenFileLimit {

long long raiseToHard()
{
    struct rlimit limit
    { };
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != limit.rlim_max) {
        struct rlimit wanted = limit;
        wanted.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &wanted) == 0)
            limit = wanted;
        else
            qCWarning(lcOpenFileLimit) << "cannot raise the open-file limit to" << qulonglong(limit.rlim_max);
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : (long long)(limit.rlim_cur);
}

} // namespace OpenFileLimit
