#include "localalbum/pages/FileNameFeed.h"

#include <QElapsedTimer>
#include <QMetaObject>

FileNameFeed::FileNameFeed(QObject *parent) : QObject(parent)
{
}

void FileNameFeed::push(int order, const QString &filename)
{
    QMutexLocker lock(&m_mutex);
    m_queue.emplace_back(order, filename);
    if (m_scheduled)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(
        this, [this] { deliver(false); }, Qt::QueuedConnection);
}

void FileNameFeed::flush()
{
    deliver(true);
}

int FileNameFeed::pending() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_queue.size());
}

void FileNameFeed::deliver(bool all)
{
    QElapsedTimer slice;
    slice.start();
    std::deque<std::pair<int, QString>> batch;
    for (;;) {
        if (batch.empty()) {
            QMutexLocker lock(&m_mutex);
            if (m_queue.empty()) {
                if (!all)
                    m_scheduled = false;
                return;
            }
            // Take at most a few thousand at a time so pushes never wait long for the lock.
            const size_t n = std::min<size_t>(m_queue.size(), 4096);
            batch.insert(batch.end(), std::make_move_iterator(m_queue.begin()),
                         std::make_move_iterator(m_queue.begin() + std::ptrdiff_t(n)));
            m_queue.erase(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(n));
        }
        const std::pair<int, QString> item = std::move(batch.front());
        batch.pop_front();
        emit fileName(item.first, item.second);
        if (!all && slice.elapsed() >= m_sliceMs)
            break;
    }
    // Out of time: the rest goes back in front, and the next slice comes after pending events.
    QMutexLocker lock(&m_mutex);
    m_queue.insert(m_queue.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
    if (m_queue.empty()) {
        m_scheduled = false;
        return;
    }
    QMetaObject::invokeMethod(
        this, [this] { deliver(false); }, Qt::QueuedConnection);
}
