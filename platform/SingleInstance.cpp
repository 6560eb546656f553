#include "platform/SingleInstance.h"

#include <QDir>
#include <QLockFile>
#include <QLoggingCategory>
#include <QSharedMemory>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcInstance, "vanteo.instance")

SingleInstance::SingleInstance(const QString &key)
    : m_key(key)
{
}

SingleInstance::~SingleInstance()
{
    m_memory.reset(); // detaching the last user removes the segment
    if (m_lock)
        m_lock->unlock();
}

QString SingleInstance::lockFilePath() const
{
    return QDir::tempPath() + QLatin1Char('/') + m_key + QLatin1Char('-') + QString::number(::getuid())
        + QStringLiteral(".lock");
}

bool SingleInstance::acquire()
{
    if (m_held)
        return true;

    m_lock = std::make_unique<QLockFile>(lockFilePath());
    // Never stale by age: a copy may run for weeks. A lock whose holder died is still
    // recognised (the process is gone) and taken over.
    m_lock->setStaleLockTime(0);
    const bool locked = m_lock->tryLock(0);
    const QLockFile::LockError lockError = m_lock->error();
    if (!locked && lockError == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host, app;
        m_lock->getLockInfo(&pid, &host, &app);
        qCInfo(lcInstance) << "another copy runs, pid" << pid;
        m_lock.reset();
        return false;
    }

    m_memory = std::make_unique<QSharedMemory>(m_key);
    if (m_memory->attach(QSharedMemory::ReadWrite)) {
        if (!locked) {
            // The lock cannot be used here (no writable temporary folder): the marker alone decides.
            qCWarning(lcInstance) << "lock file unusable:" << lockFilePath() << "- trusting the marker";
            m_memory.reset();
            return false;
        }
        // We hold the lock, so nobody alive owns this segment: a copy crashed with it.
        qCInfo(lcInstance) << "removing a stale marker" << m_key;
        m_memory->detach();
    }
    if (!m_memory->create(1, QSharedMemory::ReadWrite))
        qCWarning(lcInstance) << "cannot create the marker" << m_key << m_memory->errorString();
    m_held = true;
    return true;
}
