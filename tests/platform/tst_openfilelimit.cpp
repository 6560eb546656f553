// The soft open-file limit is raised to the hard one (a desktop often starts programs at 1024).
#include "platform/OpenFileLimit.h"

#include <QtTest>

#include <sys/resource.h>

class TstOpenFileLimit : public QObject
{
    Q_OBJECT
private slots:
    void softLimitRaisedToHard();
};

void TstOpenFileLimit::softLimitRaisedToHard()
{
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max < 64)
        QSKIP("no finite hard limit to raise to");
    rlimit low = limit;
    low.rlim_cur = 32;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
    QCOMPARE(OpenFileLimit::raiseToHard(), (long long)(limit.rlim_max));
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &low), 0);
    QCOMPARE(low.rlim_cur, limit.rlim_max);
    // Already at the hard limit: nothing changes.
    QCOMPARE(OpenFileLimit::raiseToHard(), (long long)(limit.rlim_max));
}

QTEST_APPLESS_MAIN(TstOpenFileLimit)
#include "tst_openfilelimit.moc"
