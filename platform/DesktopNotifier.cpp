#include "platform/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>
#include <QVariantMap>

Q_LOGGING_CATEGORY(lcNotify, "vanteo.notify")

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCInfo(lcNotify) << "no session bus: notifications are not shown";
        return;
    }
    m_connected = true;
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this, SLOT(onClosed(uint, uint)));
}

void DesktopNotifier::notify(const QString &summary, const QString &body, const QString &key)
{
    if (!m_connected)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // "default" is the action of a click on the notification itself.
    const QStringList actions = key.isEmpty() ? QStringList() : QStringList{QStringLiteral("default"), summary};
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("vanteoalbum")}};
    call << QStringLiteral("万特相册") << uint(0) << QStringLiteral("vanteoalbum") << summary << body << actions
         << hints << -1;
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, key] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            qCInfo(lcNotify) << "notification not shown:" << reply.error().message();
            emit shown(0);
            return;
        }
        if (!key.isEmpty())
            m_keys.insert(reply.value(), key);
        emit shown(reply.value());
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString &action)
{
    const QString key = m_keys.value(id);
    if (!key.isEmpty() && action == QLatin1String("default"))
        emit activated(key);
}

void DesktopNotifier::onClosed(uint id, uint reason)
{
    Q_UNUSED(reason)
    m_keys.remove(id);
}
