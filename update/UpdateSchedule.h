#pragma once

#include <QDateTime>
#include <QString>

// When the daily update check is due. The last check time is kept as local time text.
namespace UpdateSchedule {

// Format of the stored check time.
inline const char *timeFormat()
{
    return "yyyy-MM-dd hh:mm:ss";
}

// True when now is more than 86400 s after lastText, counted as an unsigned 32-bit difference of
// the Unix times: unreadable text and a time in the future wrap to a large difference.
bool isCheckDue(const QString &lastText, const QDateTime &now);

} // namespace UpdateSchedule
