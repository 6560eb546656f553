#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

#include <deque>
#include <utility>

// Hands file names from worker threads to the GUI thread in order, a slice at a time. A database
// listing sends 100,000 names in well under a second; one queued call per name would be handled
// in one long burst and freeze the window, so the names are collected here and passed on in
// slices of at most a few milliseconds, with the event loop running in between.
class FileNameFeed : public QObject
{
    Q_OBJECT
public:
    explicit FileNameFeed(QObject *parent = nullptr);

    // Any thread.
    void push(int order, const QString &filename);
    // GUI thread: passes on every name collected so far, now.
    void flush();
    int pending() const;
    // Longest time one slice may take (ms).
    void setSliceMs(int ms) { m_sliceMs = ms; }

signals:
    void fileName(int order, QString filename);

private:
    void deliver(bool all);

    mutable QMutex m_mutex;
    std::deque<std::pair<int, QString>> m_queue; // m_mutex
    bool m_scheduled = false;                    // m_mutex: a delivery is posted
    int m_sliceMs = 8;
};
