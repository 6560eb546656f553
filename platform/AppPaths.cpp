#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex s_mutex;
QString s_override;
} // namespace

namespace AppPaths {

QString programDir()
{
    {
        QMutexLocker lock(&s_mutex);
        if (!s_override.isEmpty())
            return s_override;
    }
    return QCoreApplication::applicationDirPath();
}

QString programFile(const QString &name)
{
    return programDir() + QLatin1Char('/') + name;
}

void setProgramDirOverride(const QString &dir)
{
    QMutexLocker lock(&s_mutex);
    s_override = dir;
    while (s_override.size() > 1 && s_override.endsWith(QLatin1Char('/')))
        s_override.chop(1);
}

} // namespace AppPaths
