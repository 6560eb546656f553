#pragma once

#include <QIcon>
#include <QObject>

class QMenu;
class QSystemTrayIcon;

// The tray icon: the state at a glance (idle, receiving from N phones, a problem) in its icon and
// tool tip, and a menu with 打开主窗口, the phones now connected, and 退出. Follows the transfer
// monitor; made only where the desktop has a tray.
class TrayIcon : public QObject
{
    Q_OBJECT
public:
    explicit TrayIcon(const QIcon &appIcon, QObject *parent = nullptr);
    ~TrayIcon() override;

    static bool isAvailable();
    QSystemTrayIcon *icon() const { return m_tray; }
    QString stateText() const;

signals:
    void openWindowRequested();
    void quitRequested();

private:
    void refresh();
    void rebuildMenu();

    QIcon m_appIcon;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_menu = nullptr;
    QString m_state;
};
