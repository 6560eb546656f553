#include "platform/DetachedProcess.h"

#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>

Q_LOGGING_CATEGORY(lcDetached, "vanteo.detached")

namespace {
QMutex s_mutex;
DetachedProcess::Starter s_starter;
} // namespace

namespace DetachedProcess {

bool start(const QString &program, const QStringList &arguments, const QString &workingDirectory)
{
    Starter starter;
    {
        QMutexLocker lock(&s_mutex);
        starter = s_starter;
    }
    if (starter)
        return starter(program, arguments, workingDirectory);
    const bool ok = QProcess::startDetached(program, arguments, workingDirectory);
    if (!ok)
        qCWarning(lcDetached) << "could not start" << program;
    return ok;
}

void setStarterForTests(Starter starter)
{
    QMutexLocker lock(&s_mutex);
    s_starter = std::move(starter);
}

} // namespace DetachedProcess
