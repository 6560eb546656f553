#include "app/VanteoUI.h"

#include "app/BackupNotifications.h"
#include "app/TrayIcon.h"
#include "platform/DesktopNotifier.h"
#include "ui_VanteoUI.h"

#include "app/IconHelper.h"
#include "app/UserHelperForm.h"
#include "backup/StorageRoot.h"
#include "link/CmdServer.h"
#include "link/NetBroadCast.h"
#include "link/pages/MobileForm.h"
#include "link/pages/NetWorkInfoForm.h"
#include "localalbum/pages/LocalForm.h"
#include "platform/Dialogs.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"
#include "settings/pages/SettingsForm.h"
#include "update/UpdateNetwork.h"
#include "update/UpdateSchedule.h"

#include <QDateTime>

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QKeyEvent>
#include <climits>
#include <QGuiApplication>
#include <QScreen>
#include <QStackedWidget>
#include <QToolButton>

namespace {

const SettingKey kUpdateTime = SettingsKeys::UpdateTime;
// "x,y,width,height,maximised" of the window when it was last closed.
const SettingKey kWindowGeometry = SettingsKeys::WindowGeometry;
// Room for the local album's list beside a useful preview; smaller screens get all they have.
constexpr QSize kDefaultWindowSize(1100, 720);

const char kNavStyle[] = "QToolButton:checked{color:rgb(255, 0, 0);                     border-style:solid;"
                         "background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,                     "
                         "stop:0 rgb(226,236,241),stop: 0.3 rgb(190,190,190),stop: 1 rgb(160,160,160));}";

} // namespace

VanteoUI::VanteoUI(QWidget *parent) : QDialog(parent), ui(new Ui::VanteoUI)
{
    ui->setupUi(this);
    const QString savepath = getSaveDrive();
    createServices(savepath);
    initForm(savepath);
    setWindowIcon(QIcon(QStringLiteral(":/image/logo.png")));
    restoreWindowGeometry();
    createTrayAndNotifications();
    startDailyUpdateCheck();
}

VanteoUI::~VanteoUI()
{
    saveWindowGeometry();
    destroyPages();
    delete stackedWidget;
    delete ui;
}

QString VanteoUI::getSaveDrive()
{
    // Moving a root that holds phones' backups splits their archive: only with the user's yes.
    const auto askMove = [](const QString &from, qint64 fromFree, const QString &to, qint64 toFree) {
        const QString text =
            QStringLiteral("备份位置 %1 只剩 %2 GB。\n\n改用 %3（剩余 %4 GB）吗？已备份的文件留在原处，"
                           "手机的备份从此分在两处。\n\n取消：继续使用原位置（空间不足时手机的文件不会被保存）。")
                .arg(from)
                .arg(fromFree >> 30)
                .arg(to)
                .arg(toFree >> 30);
        return Dialogs::message(nullptr, Dialogs::QuestionIcon, QStringLiteral("备份位置空间不足"), text,
                                Dialogs::Ok | Dialogs::Cancel,
                                {{Dialogs::Ok, QStringLiteral("确定")}, {Dialogs::Cancel, QStringLiteral("取消")}}) ==
            Dialogs::Ok;
    };
    return StorageRoot::resolve(askMove);
}

int VanteoUI::freeSpaceGiB(const QString &path)
{
    return static_cast<int>(qMin<qint64>(StorageVolumes::freeSpaceGiB(path), INT_MAX));
}

QString VanteoUI::findLargestFreeDrive()
{
    return StorageVolumes::largestFreeRoot();
}

void VanteoUI::initForm(QString savepath)
{
    m_savePath = savepath;

    // 1-2: frameless, dragged by the application-wide filter.
    setProperty("form", true);
    setProperty("canMove", true);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint);

    // Window buttons drawn with the icon font.
    IconHelper *icons = IconHelper::getInstance();
    icons->setIcon(ui->btnMenu_Min, QChar(0xF068), 9);
    icons->setIcon(ui->btnMenu_Max, QChar(0xF067), 9);
    icons->setIcon(ui->btnMenu_Close, QChar(0xF00D), 9);

    // The title bar catches double-clicks.
    ui->widgetTitle->installEventFilter(this);
    ui->widgetTitle->setProperty("form", QStringLiteral("title"));
    ui->widgetTop->setProperty("nav", QStringLiteral("top"));

    // Title text.
    ui->labTitle->setText(QStringLiteral("万特相册"));
    ui->labTitle->setFont(QFont(QStringLiteral("Microsoft Yahei"), 23));
    QPalette pal = ui->labTitle->palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(g, ui->labTitle->backgroundRole(), Qt::blue);
        pal.setColor(g, ui->labTitle->foregroundRole(), Qt::blue);
    }
    ui->labTitle->setPalette(pal);

    // Colours of the title bar and the navigation buttons.
    ui->widgetTitle->setAttribute(Qt::WA_StyledBackground, true);
    ui->widgetTitle->setStyleSheet(QStringLiteral("background-color: rgb(100,100, 100)"));
    const QList<QToolButton *> navButtons = ui->widgetTop->findChildren<QToolButton *>();
    for (QToolButton *b : navButtons)
        b->setStyleSheet(QString::fromUtf8(kNavStyle));

    // The pages.
    createPages(savepath);

    // The stack, in page-index order.
    stackedWidget = new QStackedWidget;
    const QList<QWidget *> inIndexOrder{localForm, mobileForm, netWorkInfoForm, settingsForm, userHelperForm};
    for (QWidget *page : inIndexOrder)
        stackedWidget->addWidget(page);
    ui->hMainLayout->setContentsMargins(0, 0, 0, 0);
    ui->hMainLayout->setSpacing(0);
    ui->hMainLayout->addWidget(stackedWidget);

    // Window title and the underline of pressed, hovered and checked buttons.
    setWindowTitle(ui->labTitle->text());
    setStyleSheet(QStringLiteral("QToolButton:pressed,QToolButton:hover,QToolButton:checked,QLabel:hover{"
                                 "border-width:0px 0px %1px 0px;}")
                      .arg(3));

    // Navigation buttons.
    for (QToolButton *b : navButtons) {
        b->setIconSize(QSize(32, 32));
        b->setMinimumWidth(85);
        b->setCheckable(true);
        connect(b, &QToolButton::clicked, this, &VanteoUI::buttonClick);
    }

    // Start on the local album.
    ui->btnLocal->click();

    // The command server talks to the phone page.
    connectPages();
}

void VanteoUI::createServices(const QString &savepath)
{
    // The broadcaster announces the command server's port, chosen by the system at each start.
    NetBroadCast *broadcaster = NetBroadCast::getInstance();
    cmdServer = new CmdServer(this, 20, savepath);
    connect(cmdServer, &CmdServer::UpdateRemoteInfo, this, &VanteoUI::onRecvRemoteMsg);
    cmdServer->listenForPhones();
    broadcaster->setPort(cmdServer->serverPort());
    broadcaster->startBroadcast();
}

void VanteoUI::createTrayAndNotifications()
{
    m_notifications = new BackupNotifications(new DesktopNotifier(this), this);
    connect(m_notifications, &BackupNotifications::approvalClicked, this, &VanteoUI::bringToFront);
    connect(cmdServer, &CmdServer::approvalAsked, m_notifications, &BackupNotifications::approvalAsked);
    if (!TrayIcon::isAvailable())
        return;
    m_tray = new TrayIcon(windowIcon(), this);
    connect(m_tray, &TrayIcon::openWindowRequested, this, &VanteoUI::bringToFront);
    connect(m_tray, &TrayIcon::quitRequested, this, &VanteoUI::quitProgram);
    // Closing the window keeps the program in the tray; it ends through 退出 only.
    QApplication::setQuitOnLastWindowClosed(false);
}

void VanteoUI::createPages(const QString &savepath)
{
    localForm = new LocalForm(this, savepath);
    mobileForm = new MobileForm(this);
    userHelperForm = new UserHelperForm(this);
    settingsForm = new SettingsForm(this, savepath);
    // The network page reads the command port once, so it comes after the server listens.
    netWorkInfoForm = new NetWorkInfoForm(this);
}

void VanteoUI::connectPages()
{
    connect(cmdServer, &CmdServer::UpdatePublicInfo, mobileForm, &MobileForm::onRecvPublicMsg);
    connect(cmdServer, &CmdServer::UpdateDBNumberInfo, mobileForm, &MobileForm::onRecvDBNumberMsg);
    connect(mobileForm, &MobileForm::sendDeleteInfo, cmdServer, &CmdServer::recvDeleteSlot);
}

QString VanteoUI::getUpdateTime(bool force)
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    const QString stored = settings->value(kUpdateTime);
    if (!stored.isEmpty() && !force)
        return stored;
    const QString now = QDateTime::currentDateTime().toString(QLatin1String(UpdateSchedule::timeFormat()));
    settings->setValue(kUpdateTime, now);
    return now;
}

void VanteoUI::startDailyUpdateCheck()
{
    // The first start only stores the time, so it never checks.
    if (!UpdateSchedule::isCheckDue(getUpdateTime(false), QDateTime::currentDateTime()))
        return;
    // The time is stored before the request, so a failing check is not retried before tomorrow.
    getUpdateTime(true);
    updateNetwork = new UpdateNetwork(this);
    updateNetwork->setCurrentVersion(100, QStringLiteral("1.0.0"));
    updateNetwork->checkUpdate(UpdateNetwork::defaultUpdateUrl());
}

void VanteoUI::destroyPages()
{
    // The update checker first (it removes a half-downloaded installer), then the pages.
    delete updateNetwork;
    updateNetwork = nullptr;
    const auto destroy = [this](QWidget *page) {
        if (stackedWidget && page)
            stackedWidget->removeWidget(page);
        delete page;
    };
    destroy(localForm);
    localForm = nullptr;
    destroy(mobileForm);
    mobileForm = nullptr;
    destroy(netWorkInfoForm);
    netWorkInfoForm = nullptr;
    destroy(userHelperForm);
    userHelperForm = nullptr;
    destroy(settingsForm);
    settingsForm = nullptr;
}

void VanteoUI::checkOnly(QToolButton *button)
{
    const QList<QToolButton *> navButtons = ui->widgetTop->findChildren<QToolButton *>();
    for (QToolButton *b : navButtons)
        b->setChecked(b == button);
}

void VanteoUI::buttonClick()
{
    auto *button = qobject_cast<QToolButton *>(sender());
    if (!button)
        return;
    const QString text = button->text();
    if (text == QStringLiteral("用户退出")) {
        // A quit the user called off leaves the page as it was, its button still marked.
        button->setChecked(false);
        quitProgram();
        return;
    }
    checkOnly(button);

    if (text == QStringLiteral("本地相册"))
        stackedWidget->setCurrentIndex(PageLocal);
    else if (text == QStringLiteral("手机相册"))
        stackedWidget->setCurrentIndex(PageMobile);
    else if (text == QStringLiteral("网络信息"))
        stackedWidget->setCurrentIndex(PageNetInfo);
    else if (text == QStringLiteral("参数设置"))
        stackedWidget->setCurrentIndex(PageSetting);
    else if (text == QStringLiteral("使用说明"))
        stackedWidget->setCurrentIndex(PageHelp);
}

void VanteoUI::onRecvRemoteMsg(QString devName, bool isNewUser)
{
    checkOnly(ui->btnMobile);
    stackedWidget->setCurrentIndex(PageMobile);
    // A new device makes the page reload its whole list.
    mobileForm->refreshUser(devName, isNewUser);
}

void VanteoUI::restoreWindowGeometry()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(QPoint(), kDefaultWindowSize);
    QRect shown;
    bool maximised = false;
    const QStringList parts = ReadWriteSetting::getInstance()->value(kWindowGeometry).split(QLatin1Char(','));
    if (parts.size() == 5) {
        int v[4];
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i)
            v[i] = parts.at(i).trimmed().toInt(&ok);
        if (ok && v[2] > 0 && v[3] > 0) {
            shown = QRect(v[0], v[1], v[2], v[3]);
            maximised = parts.at(4).trimmed() == QLatin1String("1");
        }
    }
    // A size remembered on a larger screen, or a place on a screen that is gone, is brought back
    // onto this one; nothing remembered: the default size, centred.
    if (!shown.isValid() || !available.intersects(shown)) {
        shown = QRect(QPoint(), kDefaultWindowSize);
        shown.moveCenter(available.center());
    }
    shown.setSize(shown.size().boundedTo(available.size()).expandedTo(minimumSizeHint()));
    shown.moveLeft(
        qBound(available.left(), shown.left(), qMax(available.left(), available.right() - shown.width() + 1)));
    shown.moveTop(qBound(available.top(), shown.top(), qMax(available.top(), available.bottom() - shown.height() + 1)));
    setGeometry(shown);
    if (maximised)
        toggleMaximized();
}

void VanteoUI::saveWindowGeometry()
{
    const QRect r = m_maximized ? m_normalGeometry : geometry();
    if (!r.isValid())
        return;
    const QString value =
        QStringLiteral("%1,%2,%3,%4,%5").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).arg(m_maximized ? 1 : 0);
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    if (settings->value(kWindowGeometry) != value)
        settings->setValue(kWindowGeometry, value);
}

void VanteoUI::toggleMaximized()
{
    if (m_maximized) {
        setGeometry(m_normalGeometry);
    } else {
        m_normalGeometry = geometry();
        if (QScreen *screen = QGuiApplication::primaryScreen())
            setGeometry(screen->availableGeometry());
    }
    // Dragging is off while maximised.
    setProperty("canMove", m_maximized);
    m_maximized = !m_maximized;
}

bool VanteoUI::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->widgetTitle && event->type() == QEvent::MouseButtonDblClick) {
        toggleMaximized();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void VanteoUI::on_btnMenu_Min_clicked()
{
    showMinimized();
}

void VanteoUI::on_btnMenu_Max_clicked()
{
    toggleMaximized();
}

void VanteoUI::on_btnMenu_Close_clicked()
{
    close();
}

QStringList VanteoUI::runningWork() const
{
    QStringList work;
    const QStringList phones = MobileForm::sendingPhones();
    for (const QString &phone : phones)
        work << phone + QStringLiteral(" 正在备份，退出将中断备份。");
    if (localForm && localForm->isSearching())
        work << QStringLiteral("本地相册正在搜索和整理文件，退出将中断整理。");
    return work;
}

bool VanteoUI::confirmClose()
{
    const QStringList work = runningWork();
    if (work.isEmpty())
        return true;
    const Dialogs::StandardButton answer = Dialogs::message(
        this, Dialogs::Warning, QStringLiteral("退出"),
        work.join(QLatin1Char('\n')) + QStringLiteral("\n\n确定要退出吗？"), Dialogs::Ok | Dialogs::Cancel,
        {{Dialogs::Ok, QStringLiteral("退 出")}, {Dialogs::Cancel, QStringLiteral("取 消")}});
    return answer == Dialogs::Ok;
}

void VanteoUI::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void VanteoUI::closeEvent(QCloseEvent *event)
{
    saveWindowGeometry();
    if (m_tray && !m_quitting) {
        // Into the tray: phones go on being served.
        event->ignore();
        hide();
        m_notifications->keptRunningInTray();
        return;
    }
    if (!m_quitting && !confirmClose()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
    if (m_tray)
        QCoreApplication::quit(); // the last window closing no longer does it
}

void VanteoUI::quitProgram()
{
    if (!confirmClose())
        return;
    m_quitting = true;
    if (!close())
        m_quitting = false;
}

void VanteoUI::bringToFront()
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}
