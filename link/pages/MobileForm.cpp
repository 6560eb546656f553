#include "link/pages/MobileForm.h"
#include "ui_MobileForm.h"

#include "backup/LocalDataBase.h"
#include "link/DeviceName.h"
#include "link/pages/PhoneAlbumView.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QStandardItemModel>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

namespace {

const QString kOnline = QStringLiteral("在线");
const QString kOffline = QStringLiteral("离线");
constexpr int kTypeOffline = 8;
// Invisible; no line may break on either side of it.
constexpr QChar kWordJoiner(0x2060);

void setLook(QWidget *w, int points, const QColor &colour)
{
    QFont f = w->font();
    f.setPointSize(points);
    w->setFont(f);
    if (colour.isValid()) {
        QPalette p = w->palette();
        p.setColor(QPalette::WindowText, colour);
        w->setPalette(p);
    }
}

QStandardItem *cell(const QString &text)
{
    auto *item = new QStandardItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    // The table only reports; an edited name or count would change nothing and mislead.
    item->setEditable(false);
    return item;
}

QString megabytesPerSecond(double bytesPerSecond)
{
    return QString::number(bytesPerSecond / 1048576.0, 'f', 1) + QStringLiteral(" MB/s");
}

// A session with a failed file is not "complete": the phone sends that file again next time.
QString sessionEnd(const TransferMonitor::Activity &a)
{
    return a.failedThisSession > 0 ? QStringLiteral("备份结束，") : QStringLiteral("备份完成，");
}

QString sessionCounts(const TransferMonitor::Activity &a)
{
    QString text = QStringLiteral("本次收到 %1 个文件").arg(a.filesThisSession);
    if (a.duplicatesThisSession > 0)
        text += QStringLiteral("（其中 %1 个电脑上已有）").arg(a.duplicatesThisSession);
    if (a.failedThisSession > 0)
        text += QStringLiteral("，失败 %1 个").arg(a.failedThisSession);
    return text;
}

} // namespace

MobileForm::MobileForm(QWidget *parent)
    : QWidget(parent), ui(new Ui::MobileForm), m_model(new QStandardItemModel(0, ColumnCount, this)),
      m_menu(new QMenu(this)), m_timer(new QTimer(this)), m_panelTimer(new QTimer(this)), m_panelTick(new QTimer(this))
{
    ui->setupUi(this);
    setupTable();
    applyLooks();

    QAction *remove = m_menu->addAction(QStringLiteral("删除"));
    connect(remove, &QAction::triggered, this, &MobileForm::onDelete);
    QAction *open = m_menu->addAction(QStringLiteral("打开文件夹"));
    connect(open, &QAction::triggered, this, &MobileForm::openBackupFolder);
    connect(ui->pushOpenFolder, &QPushButton::clicked, this, &MobileForm::openBackupFolder);
    // 查看相册, and a double-click on a row: the phone's backups as a thumbnail grid.
    auto *album = new QPushButton(QStringLiteral("查看相册"), this);
    album->setObjectName(QStringLiteral("pushOpenAlbum"));
    album->setToolTip(QStringLiteral("以缩略图查看所选手机备份的照片"));
    ui->horizontalLayoutStatus->insertWidget(ui->horizontalLayoutStatus->indexOf(ui->pushOpenFolder), album);
    PhoneAlbumView::attach(this, ui->tableUsersView, album, ColName);
    connect(m_menu->addAction(QStringLiteral("查看相册")), &QAction::triggered, album, &QPushButton::click);
    connect(ui->tableUsersView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &MobileForm::updateFolderButton);
    connect(m_model, &QAbstractItemModel::modelReset, this, &MobileForm::updateFolderButton);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &MobileForm::updateFolderButton);
    updateFolderButton();

    // Reports come from the receiving threads; the panel is redrawn from the GUI thread, at
    // most every kPanelRepaintMs whatever the number of reports.
    m_panelTimer->setSingleShot(true);
    m_panelTimer->setInterval(kPanelRepaintMs);
    connect(m_panelTimer, &QTimer::timeout, this, &MobileForm::updateTransferPanel);
    m_panelTick->setInterval(1000);
    connect(m_panelTick, &QTimer::timeout, this, &MobileForm::updateTransferPanel);
    connect(TransferMonitor::instance(), &TransferMonitor::changed, this, &MobileForm::onTransferChanged);
    updateTransferPanel();
    connect(this, &MobileForm::sendUserNumber, this, &MobileForm::onRecvUserNumberSlot);

    loadUsers(false);

    m_timer->setInterval(kRefreshMs);
    connect(m_timer, &QTimer::timeout, this, &MobileForm::timerUpDate);
    m_timer->start();
}

MobileForm::~MobileForm()
{
    delete ui;
}

void MobileForm::setupTable()
{
    m_model->setHorizontalHeaderLabels(
        QStringLiteral("用户名,备份数量,备份路径,最近访问时间,当前状态").split(QLatin1Char(',')));
    QTableView *view = ui->tableUsersView;
    view->setModel(m_model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setAlternatingRowColors(true);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    view->verticalHeader()->hide();
    view->installEventFilter(this);
}

void MobileForm::applyLooks()
{
    setLook(ui->labelReadme, 13, Qt::red);
    setLook(ui->labelUsers, 11, Qt::blue);
    setLook(ui->labelStatus, 11, Qt::darkYellow);
    setLook(ui->labelStatusInfo, 11, QColor());
    setLook(ui->labelTransferTitle, 11, Qt::blue);
    setLook(ui->labelTransfer, 10, QColor());
    ui->labelTransfer->setMinimumHeight(ui->labelTransfer->fontMetrics().lineSpacing() * 3);
}

int MobileForm::countBackups(QString devName)
{
    // The name comes from the device list; one that could not be a file name has no database.
    if (!DeviceName::isValid(devName))
        return 0;
    const QString path = DeviceName::databasePath(devName);
    if (!QFile::exists(path))
        return 0;
    LocalDataBase db(path);
    return qMax(0, db.countExistFiles());
}

void MobileForm::loadUsers(bool force)
{
    if (m_loaded && !force)
        return;
    const QList<UserEntry> users = ReadWriteSetting::getInstance()->getUserList();

    // A reload (a new phone was accepted) must not make the phones already shown online look
    // offline until their next status message: they keep what they showed.
    QSet<QString> shownOnline;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        if (m_model->item(row, ColState)->text() == kOnline)
            shownOnline.insert(m_model->item(row, ColName)->text());
    }
    // The table mirrors the device list, an empty one included.
    m_model->removeRows(0, m_model->rowCount());
    emit sendUserNumber(users.size());

    for (const UserEntry &user : users) {
        const bool online = shownOnline.contains(user.name);
        QList<QStandardItem *> row{cell(user.name), cell(QString::number(countBackups(user.name))), cell(user.path),
                                   cell(user.time), cell(online ? kOnline : kOffline)};
        row.at(ColPath)->setToolTip(user.path);
        m_model->appendRow(row);
        if (!m_status.contains(user.name))
            m_status.insert(user.name, 0);
    }
    // A single phone is the one every button means: chosen already.
    if (m_model->rowCount() == 1 && !ui->tableUsersView->currentIndex().isValid())
        ui->tableUsersView->setCurrentIndex(m_model->index(0, ColName));
    m_loaded = true;
}

void MobileForm::refreshUser(QString devName, bool force)
{
    loadUsers(force);
    if (devName.isEmpty())
        return;
    // A known phone that comes back was given a new visit time (and folder) in the device list;
    // show them without reloading the whole table.
    const int row = rowOf(devName);
    if (!force && row >= 0) {
        const QList<UserEntry> users = ReadWriteSetting::getInstance()->getUserList();
        for (const UserEntry &user : users) {
            if (user.name != devName)
                continue;
            for (const auto &cell : {qMakePair(int(ColPath), user.path), qMakePair(int(ColTime), user.time)}) {
                QStandardItem *item = m_model->item(row, cell.first);
                if (item->text() != cell.second)
                    item->setText(cell.second);
            }
            break;
        }
    }
    onRecvPublicMsg(9, devName);
}

void MobileForm::showState(int row, bool online)
{
    QStandardItem *item = m_model->item(row, ColState);
    const QString text = online ? kOnline : kOffline;
    if (item->text() != text)
        item->setText(text); // announces the change to the view
}

int MobileForm::rowOf(const QString &devName) const
{
    for (int row = 0; row < m_model->rowCount(); ++row) {
        if (m_model->item(row, ColName)->text() == devName)
            return row;
    }
    return -1;
}

void MobileForm::onRecvPublicMsg(int type, QString devName)
{
    const bool online = type != kTypeOffline;
    m_status.insert(devName, online ? 1 : 0);
    // Only this phone's rows change. The other rows keep their state until the next refresh:
    // one whose status was just cleared by a refresh is still within its 40 s and must not
    // flicker to offline because another phone spoke.
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QString name = m_model->item(row, ColName)->text();
        if (name == devName)
            showState(row, online);
        else if (!m_status.contains(name))
            m_status.insert(name, 0);
    }
}

void MobileForm::timerUpDate()
{
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QString name = m_model->item(row, ColName)->text();
        if (!m_status.contains(name))
            m_status.insert(name, 0);
        showState(row, m_status.value(name) >= 1);
    }
    for (auto it = m_status.begin(); it != m_status.end(); ++it)
        it.value() = 0;
}

void MobileForm::onRecvDBNumberMsg(int num, QString devName)
{
    for (int row = 0; row < m_model->rowCount(); ++row) {
        if (m_model->item(row, ColName)->text() == devName)
            m_model->item(row, ColCount)->setText(QString::number(num));
    }
}

void MobileForm::onDelete()
{
    const QModelIndex current = ui->tableUsersView->currentIndex();
    if (!current.isValid())
        return;
    const QString name = m_model->item(current.row(), ColName)->text();
    const Dialogs::StandardButton answer = Dialogs::message(
        nullptr, Dialogs::Information, QStringLiteral("删除"),
        QStringLiteral("删除 ") + name + QStringLiteral(" 所有备份信息?"), Dialogs::Ok | Dialogs::Cancel,
        {{Dialogs::Ok, QStringLiteral("确 定")}, {Dialogs::Cancel, QStringLiteral("取 消")}});
    if (answer != Dialogs::Ok)
        return;

    // The table may have been reloaded while the question was open (a phone accepted
    // meanwhile), so the row is found again by name rather than by its old position.
    const int row = rowOf(name);
    if (row >= 0)
        m_model->removeRow(row);
    ReadWriteSetting *store = ReadWriteSetting::getInstance();
    store->removeUser(name);
    m_status.remove(name);
    emit sendDeleteInfo(name);
    emit sendUserNumber(store->getUserList().size());
}

void MobileForm::onRecvUserNumberSlot(int num)
{
    ui->labelStatusInfo->setText(num > 0 ? QStringLiteral("用户数量: ") + QString::number(num)
                                         : QStringLiteral("未发现备份用户"));
}

bool MobileForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->tableUsersView && event->type() == QEvent::ContextMenu &&
        ui->tableUsersView->currentIndex().isValid()) {
        m_menu->popup(static_cast<QContextMenuEvent *>(event)->globalPos());
    }
    return QWidget::eventFilter(watched, event);
}

bool MobileForm::isSending(const TransferMonitor::Activity &a, const QDateTime &now)
{
    if (!a.connected)
        return false;
    return a.busy || (a.lastFileEnded.isValid() && a.lastFileEnded.msecsTo(now) < kFinishedAfterMs);
}

QStringList MobileForm::sendingPhones()
{
    TransferMonitor *monitor = TransferMonitor::instance();
    const QDateTime now = QDateTime::currentDateTime();
    QStringList phones;
    const QStringList devices = monitor->devices();
    for (const QString &device : devices) {
        if (isSending(monitor->activity(device), now))
            phones << device;
    }
    phones.sort();
    return phones;
}

QStringList MobileForm::describeActivity(const QString &device, const TransferMonitor::Activity &a,
                                         const QDateTime &now)
{
    QStringList lines;
    const bool hadFiles = a.filesThisSession + a.failedThisSession > 0;
    QString line = device + QStringLiteral("：");
    if (isSending(a, now)) {
        line += QStringLiteral("备份中，") + sessionCounts(a);
        if (a.busy && !a.currentFile.isEmpty()) {
            line += QStringLiteral("，当前文件 ") + a.currentFile;
            if (a.currentSize > 0)
                line += QStringLiteral("（%1%）").arg(qBound<qint64>(0, a.currentReceived * 100 / a.currentSize, 100));
        }
        line += QStringLiteral("，") + megabytesPerSecond(a.bytesPerSecond);
    } else if (a.connected) {
        line += hadFiles ? sessionEnd(a) + sessionCounts(a) : QStringLiteral("空闲");
    } else if (!a.currentFile.isEmpty() && a.currentReceived < a.currentSize) {
        // The connection ended inside a file: its part was removed, the phone sends it again.
        line +=
            QStringLiteral("连接中断，%1 未收完（手机下次连接时会重新发送），").arg(a.currentFile) + sessionCounts(a);
    } else if (hadFiles) {
        line += sessionEnd(a) + sessionCounts(a) + QStringLiteral("，已断开");
    } else {
        line += QStringLiteral("已断开");
    }
    lines << line;
    if (!a.lastError.isEmpty()) {
        lines << QStringLiteral("最近的错误（%1）：%2")
                     .arg(a.lastErrorTime.toString(QStringLiteral("HH:mm:ss")), a.lastError);
    }
    return lines;
}

void MobileForm::onTransferChanged(const QString &)
{
    if (!m_panelTimer->isActive())
        m_panelTimer->start();
}

void MobileForm::updateTransferPanel()
{
    TransferMonitor *monitor = TransferMonitor::instance();
    const QDateTime now = QDateTime::currentDateTime();
    QStringList devices = monitor->devices();
    devices.sort();
    QStringList html;
    bool anyConnected = false;
    for (const QString &device : devices) {
        const TransferMonitor::Activity a = monitor->activity(device);
        // A phone that came and went without sending anything has nothing to tell.
        if (!a.connected && a.filesThisSession + a.failedThisSession == 0 && a.lastError.isEmpty())
            continue;
        anyConnected = anyConnected || a.connected;
        const QStringList lines = describeActivity(device, a, now);
        QString first = lines.first().toHtmlEscaped();
        // A speed stays whole on its line: never "4.6 MB/" above "s".
        first.replace(QStringLiteral(" MB/s"), QStringLiteral("&nbsp;MB/%1s").arg(kWordJoiner));
        html << QStringLiteral("<div>%1</div>").arg(first);
        for (int i = 1; i < lines.size(); ++i)
            html << QStringLiteral("<div style=\"color:#b00000\">%1</div>").arg(lines.at(i).toHtmlEscaped());
    }
    const QString text = html.isEmpty() ? QStringLiteral("没有手机连接。") : html.join(QString());
    if (ui->labelTransfer->text() != text)
        ui->labelTransfer->setText(text);
    if (anyConnected && !m_panelTick->isActive())
        m_panelTick->start();
    else if (!anyConnected && m_panelTick->isActive())
        m_panelTick->stop();
}

QString MobileForm::transferText() const
{
    QTextDocument doc;
    doc.setHtml(ui->labelTransfer->text());
    return doc.toPlainText().remove(kWordJoiner);
}

QString MobileForm::currentFolder() const
{
    const QModelIndex current = ui->tableUsersView->currentIndex();
    if (!current.isValid() || current.row() >= m_model->rowCount())
        return QString();
    return m_model->item(current.row(), ColPath)->text();
}

void MobileForm::updateFolderButton()
{
    ui->pushOpenFolder->setEnabled(!currentFolder().isEmpty());
}

void MobileForm::openBackupFolder()
{
    const QString folder = currentFolder();
    if (folder.isEmpty())
        return;
    if (!QFileInfo(folder).isDir()) {
        Dialogs::message(this, Dialogs::Information, QStringLiteral("打开文件夹"),
                         QStringLiteral("备份文件夹不存在：\n") + QDir::toNativeSeparators(folder), Dialogs::Ok);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
        Dialogs::message(this, Dialogs::Warning, QStringLiteral("打开文件夹"),
                         QStringLiteral("无法打开文件夹：\n") + QDir::toNativeSeparators(folder) +
                             QStringLiteral("\n请用文件管理器打开它。"),
                         Dialogs::Ok);
    }
}
