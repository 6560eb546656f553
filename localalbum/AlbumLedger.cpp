#include "localalbum/AlbumLedger.h"

#include "backup/LocalDataBase.h"

AlbumLedger::AlbumLedger(const QString &dbPath) : m_db(std::make_unique<LocalDataBase>(dbPath))
{
    m_db->setWriteAheadLog(true);
}

AlbumLedger::~AlbumLedger() = default;

AlbumLedger::Claim::~Claim()
{
    QMutexLocker lock(&m_ledger.m_mutex);
    releaseTargetLocked();
    if (!m_md5.isNull())
        m_ledger.m_md5s.remove(m_md5);
}

void AlbumLedger::Claim::releaseTarget()
{
    QMutexLocker lock(&m_ledger.m_mutex);
    releaseTargetLocked();
}

void AlbumLedger::Claim::releaseTargetLocked()
{
    if (!m_name.isNull())
        m_ledger.m_names.removeOne(m_name);
    if (!m_path.isNull())
        m_ledger.m_paths.remove(m_path);
    m_name = QString();
    m_path = QString();
}

AlbumLedger::State AlbumLedger::claimContent(Claim &claim, const QString &fileName, const QString &md5)
{
    QMutexLocker lock(&m_mutex);
    const int state = m_db->checkMd5OrName(fileName, md5);
    if (state < 0)
        return State::NoDatabase;
    if (state == 1 || (!md5.isEmpty() && m_md5s.contains(md5)))
        return State::Known;
    if (!md5.isEmpty()) {
        m_md5s.insert(md5);
        claim.m_md5 = md5;
    }
    return state == 2 ? State::NameTaken : State::Free;
}

bool AlbumLedger::claimMd5(Claim &claim, const QString &md5)
{
    QMutexLocker lock(&m_mutex);
    if (claim.m_md5 == md5)
        return true;
    if (m_md5s.contains(md5) || m_db->isMd5Exist(md5))
        return false;
    if (!claim.m_md5.isNull())
        m_md5s.remove(claim.m_md5);
    m_md5s.insert(md5);
    claim.m_md5 = md5;
    return true;
}

bool AlbumLedger::isContentKnown(const QString &md5)
{
    QMutexLocker lock(&m_mutex);
    return m_md5s.contains(md5) || m_db->isMd5Exist(md5);
}

bool AlbumLedger::nameInFlightLocked(const QString &name) const
{
    for (const QString &n : m_names) {
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool AlbumLedger::holdTarget(Claim &claim, const QString &name, const QString &path, bool *plainInFlight)
{
    QMutexLocker lock(&m_mutex);
    if (plainInFlight && nameInFlightLocked(name)) {
        *plainInFlight = true;
        return false;
    }
    if (m_db->isFileNameExist(name) || nameInFlightLocked(name) || m_paths.contains(path))
        return false;
    holdLocked(claim, name, path);
    return true;
}

void AlbumLedger::holdLocked(Claim &claim, const QString &name, const QString &path)
{
    claim.releaseTargetLocked();
    m_names.append(name);
    m_paths.insert(path);
    claim.m_name = name;
    claim.m_path = path;
}

bool AlbumLedger::holdFoundCopy(Claim &claim, const QString &name, const QString &path)
{
    QMutexLocker lock(&m_mutex);
    if (m_db->isFileNameExist(name) || m_paths.contains(path))
        return false;
    holdLocked(claim, name, path);
    return true;
}

int AlbumLedger::record(const QString &name, const QString &path, qint64 size, const QString &md5,
                        const QString &source, const QString &captureText)
{
    return m_db->insertRecord(name, path, size, md5, source, 1, QString(), captureText, QString());
}

int AlbumLedger::countExistFiles()
{
    return m_db->countExistFiles();
}

QSet<qint64> AlbumLedger::recordedSizes()
{
    return m_db->recordedSizes();
}
