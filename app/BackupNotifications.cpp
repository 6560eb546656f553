#include "app/BackupNotifications.h"

#include "backup/TransferMonitor.h"
#include "platform/DesktopNotifier.h"

#include <QLocale>
#include <QTimer>

namespace {
constexpr qint64 kFailureNoticeEveryMs = 60 * 1000;
const QString kApprovalKey = QStringLiteral("approval");
} // namespace

BackupNotifications::BackupNotifications(DesktopNotifier *notifier, QObject *parent)
    : QObject(parent), m_notifier(notifier)
{
    connect(TransferMonitor::instance(), &TransferMonitor::changed, this, &BackupNotifications::onChanged);
    connect(m_notifier, &DesktopNotifier::activated, this, [this](const QString &key) {
        if (key == kApprovalKey)
            emit approvalClicked();
    });
}

void BackupNotifications::approvalAsked(const QString &devName, const QString &address)
{
    m_notifier->notify(QStringLiteral("新手机请求备份"),
                       QStringLiteral("%1（%2）请求备份到这台电脑，请确认是否授权。").arg(devName, address),
                       kApprovalKey);
}

void BackupNotifications::keptRunningInTray()
{
    if (m_trayNoticeGiven)
        return;
    m_trayNoticeGiven = true;
    m_notifier->notify(QStringLiteral("万特相册仍在运行"),
                       QStringLiteral("窗口已关闭到托盘，手机仍可随时备份。要退出程序，请在托盘菜单中选择“退出”。"));
}

void BackupNotifications::onChanged(const QString &device)
{
    const TransferMonitor::Activity a = TransferMonitor::instance()->activity(device);
    Session &s = m_sessions[device];
    if (!s.end) {
        s.end = new QTimer(this);
        s.end->setSingleShot(true);
        connect(s.end, &QTimer::timeout, this, [this, device] { sessionEnded(device); });
    }
    // A new connection starts its counts at zero; what the session saw before stays.
    if (a.connected && !s.connected) {
        s.end->stop();
        s.lastFiles = s.lastDuplicates = s.lastFailed = 0;
        s.lastBytes = 0;
    }
    s.files += qMax(0, a.filesThisSession - s.lastFiles);
    s.duplicates += qMax(0, a.duplicatesThisSession - s.lastDuplicates);
    const int newFailures = qMax(0, a.failedThisSession - s.lastFailed);
    s.failed += newFailures;
    s.bytes += qMax<qint64>(0, a.bytesThisSession - s.lastBytes);
    s.lastFiles = a.filesThisSession;
    s.lastDuplicates = a.duplicatesThisSession;
    s.lastFailed = a.failedThisSession;
    s.lastBytes = a.bytesThisSession;

    if (newFailures > 0 && !a.lastError.isEmpty() &&
        (!s.sinceFailureNotice.isValid() || s.sinceFailureNotice.elapsed() >= kFailureNoticeEveryMs)) {
        s.sinceFailureNotice.start();
        m_notifier->notify(QStringLiteral("手机的文件无法保存"), QStringLiteral("%1：%2").arg(device, a.lastError));
    }
    if (s.connected && !a.connected)
        s.end->start(m_endDelayMs);
    s.connected = a.connected;
}

void BackupNotifications::sessionEnded(const QString &device)
{
    Session &s = m_sessions[device];
    if (s.connected || (s.files == 0 && s.failed == 0))
        return;
    QString body =
        QStringLiteral("%1：收到 %2 个文件，共 %3").arg(device).arg(s.files).arg(QLocale().formattedDataSize(s.bytes));
    if (s.duplicates > 0)
        body += QStringLiteral("（其中 %1 个电脑上已有）").arg(s.duplicates);
    if (s.failed > 0)
        body += QStringLiteral("；%1 个文件未能保存，手机会再次发送").arg(s.failed);
    body += QStringLiteral("。");
    m_notifier->notify(QStringLiteral("手机备份完成"), body);
    s.files = s.duplicates = s.failed = 0;
    s.bytes = 0;
}
