#pragma once

#include <QDialog>
#include <QRect>
#include <QString>
#include <QStringList>

class BackupNotifications;
class CmdServer;
class TrayIcon;
class LocalForm;
class MobileForm;
class NetWorkInfoForm;
class SettingsForm;
class UpdateNetwork;
class UserHelperForm;
class QStackedWidget;
class QToolButton;

namespace Ui {
class VanteoUI;
}

// The program's only top-level window: a frameless dialog with its own title bar, six
// navigation buttons, three window buttons drawn with the icon font, and a stack of five pages.
class VanteoUI : public QDialog
{
    Q_OBJECT
public:
    // Page indices of the stack.
    enum Page { PageLocal = 0, PageMobile = 1, PageNetInfo = 2, PageSetting = 3, PageHelp = 4, PageCount = 5 };

    explicit VanteoUI(QWidget *parent = nullptr);
    ~VanteoUI() override;

    // The storage root, decided at start and made active for every write (StorageRoot::resolve): a
    // root the user chose, or one holding phones' backups, is never replaced silently (the second
    // asks before moving on at less than 2 GiB free); otherwise the automatic choice.
    static QString getSaveDrive();
    // Whole GiB free on the volume that holds path; 0 when it cannot be read.
    static int freeSpaceGiB(const QString &path);
    // The volume with the most whole GiB free (earlier wins ties), or "" when none has 1 GiB.
    static QString findLargestFreeDrive();

    QString savePath() const { return m_savePath; }
    QStackedWidget *pages() const { return stackedWidget; }
    bool isMaximizedByTitle() const { return m_maximized; }
    CmdServer *commandServer() const { return cmdServer; }
    MobileForm *mobilePage() const { return mobileForm; }
    UpdateNetwork *updateChecker() const { return updateNetwork; }

    // The time of the last update check ("yyyy-MM-dd hh:mm:ss"); stores the current time when
    // none is stored or when force is set.
    static QString getUpdateTime(bool force);

    // What a user's close would cut short now, one sentence each (a phone sending files, an
    // organise run); empty when nothing runs.
    QStringList runningWork() const;
    // Brings the window to the front (a second start of the program asks for it).
    void bringToFront();
    // 用户退出 and the tray's 退出: asks while work runs, then ends the program.
    void quitProgram();
    // Null where the desktop has no tray.
    TrayIcon *tray() const { return m_tray; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Esc must not end the program: the window is a dialog only for its frame.
    void keyPressEvent(QKeyEvent *event) override;
    // A user's close (the close button, the window manager) hides the window where there is a
    // tray; otherwise, and for 用户退出, it asks first while work runs. A stop by signal ends the
    // event loop instead and never comes here.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void initForm(QString savepath);
    void buttonClick();
    void on_btnMenu_Min_clicked();
    void on_btnMenu_Max_clicked();
    void on_btnMenu_Close_clicked();
    void onRecvRemoteMsg(QString devName, bool isNewUser);

private:
    void toggleMaximized();
    // The window's place and size as last closed (global.xml), else a default that fits the screen.
    void restoreWindowGeometry();
    void saveWindowGeometry();
    void checkOnly(QToolButton *button);

    // --- the window's services and pages ---
    void createServices(const QString &savepath); // broadcaster and command server
    void createTrayAndNotifications();
    void createPages(const QString &savepath); // the five pages
    void connectPages();                       // command server <-> phone page
    void startDailyUpdateCheck();
    void destroyPages(); // destruction, before the frame's own
    // False when work runs and the user chose to keep the program open.
    bool confirmClose();

    Ui::VanteoUI *ui;
    QStackedWidget *stackedWidget = nullptr;

    // The five pages, owned by the window.
    LocalForm *localForm = nullptr;
    MobileForm *mobileForm = nullptr;
    UserHelperForm *userHelperForm = nullptr;
    SettingsForm *settingsForm = nullptr;
    NetWorkInfoForm *netWorkInfoForm = nullptr;

    // The server phones connect to; a child of the window.
    CmdServer *cmdServer = nullptr;
    // The daily update check; null unless one was started at this start.
    UpdateNetwork *updateNetwork = nullptr;

    TrayIcon *m_tray = nullptr;
    BackupNotifications *m_notifications = nullptr;
    bool m_quitting = false;

    QString m_savePath;
    bool m_maximized = false;
    QRect m_normalGeometry;
};
