#pragma once

#include <QThread>

#include <atomic>

// Makes one blocking query of the search engine when the local album page is created, so the
// first all-disk search can wait until the engine's index is ready. Nothing reads its result.
class BackThread : public QThread
{
    Q_OBJECT
public:
    BackThread();
    // Recorded only; run() ends when the query returns (stop the engine or abort its queries).
    void stop();

protected:
    void run() override;

private:
    std::atomic<bool> m_stopRequested{false};
};
