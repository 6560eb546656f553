#pragma once

#include <QMutex>
#include <QWaitCondition>
#include <functional>
#include <memory>

// The lock of one byte ring. Not recursive in use: no ring operation calls another while holding it.
class CFifoLock
{
public:
    CFifoLock();
    virtual ~CFifoLock();
    void lock();
    void unlock();

private:
    friend class CFifoBuffer;
    QMutex m_mutex;
};

// The byte ring that hands received bytes from the socket's thread (the only writer) to a connection's
// worker thread (the only reader). It holds at most capacity - 1 bytes, so full and empty differ;
// put and get move all the bytes asked for or none.
class CFifoBuffer
{
public:
    CFifoBuffer();
    ~CFifoBuffer();
    CFifoBuffer(const CFifoBuffer &) = delete;
    CFifoBuffer &operator=(const CFifoBuffer &) = delete;

    void init(int size); // allocates size bytes (size > 0); holds at most size - 1
    int capacity() const;
    int dataSize();                     // bytes held
    int freeSpace();                    // capacity - 1 - bytes held (0 without storage)
    int put(const char *data, int len); // all or nothing: 0, or -1 (nothing put) when it does not fit
    int get(char *dst, int *len);       // all or nothing: returns *len, or -1 with *len = 0
    void freeBuffer();                  // releases the storage; later puts fail, gets find nothing

    // Reader side: blocks up to timeoutMs until at least minBytes are held (woken by put and wakeAll);
    // returns dataSize() >= minBytes.
    bool waitForData(int minBytes, int timeoutMs);
    void wakeAll(); // wakes waiting readers (used when stopping)

    // Called by get() on the reader's thread, without the lock held, after it freed space.
    // Used to resume a socket that stopped reading because the ring was full.
    void setSpaceListener(std::function<void()> listener);
    // Called by freeBuffer() and the destructor before the storage goes, without the lock held.
    // Lets a socket attached to this ring stop asking it for room.
    void setReleaseListener(std::function<void()> listener);

private:
    int heldLocked() const;
    void releaseStorage();

    int m_capacity = 0;
    char *m_storage = nullptr;
    int m_read = 0;  // index of the next byte to take
    int m_write = 0; // index where the next byte goes
    CFifoLock *m_lock;
    QWaitCondition m_dataArrived;
    int m_wakeGeneration = 0; // bumped by wakeAll so that waiting readers return
    // Shared pointers so get() can take the listener out of the lock without allocating.
    std::shared_ptr<const std::function<void()>> m_spaceListener;
    std::shared_ptr<const std::function<void()>> m_releaseListener;
};
