#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

class DesktopNotifier;
class QTimer;

// What the user hears about phones without looking at the window: a phone's backup finished (its
// counts and size, once the phone has been gone a few seconds, so a dropped Wi-Fi link does not end
// a session), files that could not be stored (at most once a minute per phone), and a new phone
// asking to be approved (clicking it brings the question forward).
class BackupNotifications : public QObject
{
    Q_OBJECT
public:
    explicit BackupNotifications(DesktopNotifier *notifier, QObject *parent = nullptr);

    // Quiet time after a phone's connection ends before its session counts as finished.
    void setSessionEndDelay(int ms) { m_endDelayMs = ms; }

    void approvalAsked(const QString &devName, const QString &address);
    // Once: the window was closed into the tray.
    void keptRunningInTray();

signals:
    // The user clicked the notification of a phone waiting for approval.
    void approvalClicked();

private:
    void onChanged(const QString &device);
    void sessionEnded(const QString &device);

    struct Session
    {
        bool connected = false;
        int files = 0;
        int duplicates = 0;
        int failed = 0;
        qint64 bytes = 0;
        // What the current connection had counted at the last report.
        int lastFiles = 0, lastDuplicates = 0, lastFailed = 0;
        qint64 lastBytes = 0;
        QElapsedTimer sinceFailureNotice;
        QTimer *end = nullptr;
    };
    DesktopNotifier *m_notifier;
    QHash<QString, Session> m_sessions;
    int m_endDelayMs = 5000;
    bool m_trayNoticeGiven = false;
};
