#include "localalbum/BackThread.h"

#include "platform/SearchEngine.h"

BackThread::BackThread() : QThread(nullptr)
{
    setObjectName(QStringLiteral("BackThread"));
}

void BackThread::stop()
{
    m_stopRequested = true;
}

void BackThread::run()
{
    SearchEngine::query(true);
    SearchEngine::reset();
}
