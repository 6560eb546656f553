#pragma once

#include <QHash>
#include <QObject>
#include <QString>

// Desktop notifications through the freedesktop notification service on the session bus
// (org.freedesktop.Notifications), so they reach the user with or without a tray. Calls never
// wait for the service: without a session bus or a service, nothing is shown.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject *parent = nullptr);

    // Shows a notification. With a key, clicking it emits activated(key).
    void notify(const QString &summary, const QString &body, const QString &key = QString());

signals:
    void activated(const QString &key);
    // The service answered a notify() (id > 0), or refused it (id 0); for tests and logs.
    void shown(uint id);

private slots:
    // Slots of the service's signals, connected by name as QtDBus requires.
    void onActionInvoked(uint id, const QString &action);
    void onClosed(uint id, uint reason);

private:
    bool m_connected = false;
    QHash<uint, QString> m_keys; // notification id -> key, while it is shown
};
