#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Small helpers shared by the benchmark programs (header only).
namespace BenchSupport {

// This process's peak resident memory in KiB, -1 when /proc can't tell.
inline qint64 vmHwmKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace BenchSupport
