#include "backup/TransferMonitor.h"

#include <QMutexLocker>

namespace {
constexpr qint64 kEmitEveryMs = 200;
constexpr qint64 kRateWindowMs = 2000;
} // namespace

TransferMonitor::TransferMonitor(QObject *parent) : QObject(parent)
{
}

TransferMonitor *TransferMonitor::instance()
{
    // Lives as long as the process; reports may come from worker threads up to the very end.
    static TransferMonitor *monitor = new TransferMonitor;
    return monitor;
}

bool TransferMonitor::touch(State &s, bool force)
{
    if (!s.rateClock.isValid())
        s.rateClock.start();
    const qint64 elapsed = s.rateClock.elapsed();
    if (elapsed >= kRateWindowMs) {
        s.a.bytesPerSecond = s.rateBytes * 1000.0 / double(elapsed);
        s.rateBytes = 0;
        s.rateClock.restart();
    } else if (s.a.bytesPerSecond == 0 && elapsed >= 250) {
        s.a.bytesPerSecond = s.rateBytes * 1000.0 / double(elapsed);
    }
    if (force || !s.sinceEmit.isValid() || s.sinceEmit.elapsed() >= kEmitEveryMs) {
        s.sinceEmit.start();
        return true;
    }
    return false;
}

void TransferMonitor::notify(const QString &device, bool due)
{
    if (due)
        emit changed(device);
}

void TransferMonitor::phoneConnected(const QString &device)
{
    QMutexLocker lock(&m_mutex);
    State &s = m_states[device];
    s = State();
    s.a.connected = true;
    const bool due = touch(s, true);
    lock.unlock();
    notify(device, due);
}

void TransferMonitor::phoneDisconnected(const QString &device)
{
    QMutexLocker lock(&m_mutex);
    auto it = m_states.find(device);
    if (it == m_states.end())
        return;
    it->a.connected = false;
    it->a.busy = false;
    it->a.bytesPerSecond = 0;
    const bool due = touch(*it, true);
    lock.unlock();
    notify(device, due);
}

void TransferMonitor::fileStarted(const QString &device, const QString &fileName, qint64 size)
{
    QMutexLocker lock(&m_mutex);
    State &s = m_states[device];
    s.a.connected = true;
    s.a.busy = true;
    s.a.currentFile = fileName;
    s.a.currentSize = size;
    s.a.currentReceived = 0;
    const bool due = touch(s, true);
    lock.unlock();
    notify(device, due);
}

void TransferMonitor::bytesReceived(const QString &device, qint64 bytes)
{
    QMutexLocker lock(&m_mutex);
    State &s = m_states[device];
    s.a.bytesThisSession += bytes;
    s.a.currentReceived += bytes;
    s.rateBytes += bytes;
    const bool due = touch(s, false);
    lock.unlock();
    notify(device, due);
}

void TransferMonitor::fileStored(const QString &device, const QString &fileName, bool alreadyThere)
{
    QMutexLocker lock(&m_mutex);
    State &s = m_states[device];
    ++s.a.filesThisSession;
    if (alreadyThere)
        ++s.a.duplicatesThisSession;
    s.a.busy = false;
    s.a.currentFile = fileName;
    s.a.lastFileEnded = QDateTime::currentDateTime();
    const bool due = touch(s, true);
    lock.unlock();
    notify(device, due);
}

void TransferMonitor::fileFailed(const QString &device, const QString &fileName, const QString &why)
{
    QMutexLocker lock(&m_mutex);
    State &s = m_states[device];
    ++s.a.failedThisSession;
    s.a.busy = false;
    s.a.lastError = fileName.isEmpty() ? why : QStringLiteral("%1: %2").arg(fileName, why);
    s.a.lastErrorTime = QDateTime::currentDateTime();
    s.a.lastFileEnded = s.a.lastErrorTime;
    const bool due = touch(s, true);
    lock.unlock();
    notify(device, due);
}

void TransferMonitor::recordFailed(const QString &device, const QString &fileName, const QString &why)
{
    QMutexLocker lock(&m_mutex);
    State &s = m_states[device];
    s.a.lastError = QStringLiteral("%1: %2").arg(fileName, why);
    s.a.lastErrorTime = QDateTime::currentDateTime();
    const bool due = touch(s, true);
    lock.unlock();
    notify(device, due);
}

TransferMonitor::Activity TransferMonitor::activity(const QString &device) const
{
    QMutexLocker lock(&m_mutex);
    return m_states.value(device).a;
}

QStringList TransferMonitor::devices() const
{
    QMutexLocker lock(&m_mutex);
    return m_states.keys();
}

void TransferMonitor::forget(const QString &device)
{
    QMutexLocker lock(&m_mutex);
    m_states.remove(device);
}
