#include "wire/CFifoBuffer.h"

#include <QDeadlineTimer>

#include <cstring>

CFifoLock::CFifoLock() = default;

CFifoLock::~CFifoLock() = default;

void CFifoLock::lock()
{
    m_mutex.lock();
}

void CFifoLock::unlock()
{
    m_mutex.unlock();
}

CFifoBuffer::CFifoBuffer() : m_lock(new CFifoLock)
{
}

CFifoBuffer::~CFifoBuffer()
{
    releaseStorage();
    delete m_lock;
}

void CFifoBuffer::init(int size)
{
    if (size <= 0)
        return;
    char *block = new char[size_t(size)];
    m_lock->lock();
    delete[] m_storage;
    m_storage = block;
    m_capacity = size;
    m_read = 0;
    m_write = 0;
    m_lock->unlock();
}

int CFifoBuffer::capacity() const
{
    return m_capacity;
}

int CFifoBuffer::heldLocked() const
{
    const int held = m_write - m_read;
    return held < 0 ? held + m_capacity : held;
}

int CFifoBuffer::dataSize()
{
    m_lock->lock();
    const int held = heldLocked();
    m_lock->unlock();
    return held;
}

int CFifoBuffer::freeSpace()
{
    m_lock->lock();
    const int room = m_capacity > 0 ? m_capacity - 1 - heldLocked() : 0;
    m_lock->unlock();
    return room;
}

int CFifoBuffer::put(const char *data, int len)
{
    if (len < 0)
        return -1;
    m_lock->lock();
    if (!m_storage || len > m_capacity - 1 - heldLocked()) {
        m_lock->unlock();
        return -1;
    }
    const int toEnd = m_capacity - m_write;
    if (len < toEnd) {
        memcpy(m_storage + m_write, data, size_t(len));
        m_write += len;
    } else {
        // Reaches or passes the end of the block: the rest goes to its start.
        memcpy(m_storage + m_write, data, size_t(toEnd));
        memcpy(m_storage, data + toEnd, size_t(len - toEnd));
        m_write = len - toEnd;
    }
    m_dataArrived.wakeAll();
    m_lock->unlock();
    return 0;
}

int CFifoBuffer::get(char *dst, int *len)
{
    const int want = *len;
    m_lock->lock();
    if (want < 0 || !m_storage || heldLocked() < want) {
        m_lock->unlock();
        *len = 0;
        return -1;
    }
    const int toEnd = m_capacity - m_read;
    if (want < toEnd) {
        memcpy(dst, m_storage + m_read, size_t(want));
        m_read += want;
    } else {
        memcpy(dst, m_storage + m_read, size_t(toEnd));
        memcpy(dst + toEnd, m_storage, size_t(want - toEnd));
        m_read = want - toEnd;
    }
    const std::shared_ptr<const std::function<void()>> listener = m_spaceListener;
    m_lock->unlock();
    if (listener && want > 0)
        (*listener)();
    return want;
}

void CFifoBuffer::releaseStorage()
{
    m_lock->lock();
    const std::shared_ptr<const std::function<void()>> listener = m_releaseListener;
    m_lock->unlock();
    if (listener)
        (*listener)();
    m_lock->lock();
    delete[] m_storage;
    m_storage = nullptr;
    m_capacity = 0;
    m_read = 0;
    m_write = 0;
    m_dataArrived.wakeAll();
    m_lock->unlock();
}

void CFifoBuffer::freeBuffer()
{
    releaseStorage();
}

bool CFifoBuffer::waitForData(int minBytes, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    m_lock->lock();
    const int generation = m_wakeGeneration;
    while (heldLocked() < minBytes && m_storage && generation == m_wakeGeneration) {
        if (!m_dataArrived.wait(&m_lock->m_mutex, deadline))
            break;
    }
    const bool enough = heldLocked() >= minBytes;
    m_lock->unlock();
    return enough;
}

void CFifoBuffer::wakeAll()
{
    m_lock->lock();
    ++m_wakeGeneration;
    m_dataArrived.wakeAll();
    m_lock->unlock();
}

void CFifoBuffer::setSpaceListener(std::function<void()> listener)
{
    m_lock->lock();
    m_spaceListener = listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
    m_lock->unlock();
}

void CFifoBuffer::setReleaseListener(std::function<void()> listener)
{
    m_lock->lock();
    m_releaseListener = listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
    m_lock->unlock();
}
