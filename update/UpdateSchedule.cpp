#include "update/UpdateSchedule.h"

namespace UpdateSchedule {

bool isCheckDue(const QString &lastText, const QDateTime &now)
{
    const QDateTime last = QDateTime::fromString(lastText, QLatin1String(timeFormat()));
    const quint32 lastSecs = last.isValid() ? quint32(last.toSecsSinceEpoch()) : quint32(0xffffffffu);
    const quint32 diff = quint32(now.toSecsSinceEpoch()) - lastSecs;
    return diff > 86400u;
}

} // namespace UpdateSchedule
