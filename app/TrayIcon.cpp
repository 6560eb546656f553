#include "app/TrayIcon.h"

#include "backup/TransferMonitor.h"

#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace {
// The program's icon with a dot in a corner: green while receiving, red for a problem.
QIcon withDot(const QIcon &icon, const QColor &colour)
{
    QPixmap pixmap = icon.pixmap(64, 64);
    if (pixmap.isNull()) {
        pixmap = QPixmap(64, 64);
        pixmap.fill(Qt::transparent);
    }
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 4));
    p.setBrush(colour);
    p.drawEllipse(QRect(34, 34, 28, 28));
    return QIcon(pixmap);
}
} // namespace

TrayIcon::TrayIcon(const QIcon &appIcon, QObject *parent)
    : QObject(parent), m_appIcon(appIcon), m_tray(new QSystemTrayIcon(this)), m_menu(new QMenu)
{
    m_tray->setContextMenu(m_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            emit openWindowRequested();
    });
    // The menu shows the phones as they are when it opens.
    connect(m_menu, &QMenu::aboutToShow, this, &TrayIcon::rebuildMenu);
    connect(TransferMonitor::instance(), &TransferMonitor::changed, this, &TrayIcon::refresh);
    rebuildMenu();
    refresh();
    m_tray->show();
}

TrayIcon::~TrayIcon()
{
    delete m_menu;
}

bool TrayIcon::isAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QString TrayIcon::stateText() const
{
    return m_state;
}

void TrayIcon::refresh()
{
    TransferMonitor *monitor = TransferMonitor::instance();
    int receiving = 0;
    QString problem;
    for (const QString &device : monitor->devices()) {
        const TransferMonitor::Activity a = monitor->activity(device);
        if (a.connected && a.busy)
            ++receiving;
        // A problem of a phone still connected, or one it left behind in its last session.
        if (a.failedThisSession > 0 && !a.lastError.isEmpty())
            problem = device + QStringLiteral("：") + a.lastError;
    }
    if (!problem.isEmpty()) {
        m_state = QStringLiteral("有问题 — ") + problem;
        m_tray->setIcon(withDot(m_appIcon, QColor(0xd0, 0x30, 0x30)));
    } else if (receiving > 0) {
        m_state = QStringLiteral("正在接收 %1 部手机的文件").arg(receiving);
        m_tray->setIcon(withDot(m_appIcon, QColor(0x30, 0xa0, 0x40)));
    } else {
        m_state = QStringLiteral("空闲，等待手机备份");
        m_tray->setIcon(m_appIcon);
    }
    m_tray->setToolTip(QStringLiteral("万特相册 — ") + m_state);
}

void TrayIcon::rebuildMenu()
{
    m_menu->clear();
    m_menu->addAction(QStringLiteral("打开主窗口"), this, &TrayIcon::openWindowRequested);
    m_menu->addSeparator();
    TransferMonitor *monitor = TransferMonitor::instance();
    QStringList phones;
    for (const QString &device : monitor->devices()) {
        const TransferMonitor::Activity a = monitor->activity(device);
        if (a.connected)
            phones << (a.busy ? device + QStringLiteral("（正在接收）") : device);
    }
    if (phones.isEmpty())
        m_menu->addAction(QStringLiteral("没有手机连接"))->setEnabled(false);
    for (const QString &phone : qAsConst(phones))
        m_menu->addAction(phone)->setEnabled(false);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("退出"), this, &TrayIcon::quitRequested);
}
