#include "settings/pages/SettingsForm.h"

#include "platform/Autostart.h"
#include "ui_SettingsForm.h"

#include "backup/ArchiveMove.h"
#include "backup/StorageRoot.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"

#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QStyle>
#include <QCoreApplication>
#include <QSignalBlocker>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QProgressDialog>
#include <QPushButton>

#include <utility>

namespace {

template <typename W> void setPointSize(QWidget *root, int points)
{
    const QList<W *> widgets = root->findChildren<W *>();
    for (W *w : widgets) {
        QFont f = w->font();
        f.setPointSize(points);
        w->setFont(f);
    }
}

void setBlueText(QWidget *w)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, Qt::blue); // all colour groups
    w->setPalette(p);
}

// The check-box slots store a flag as "1" (checked) or "0" (unchecked); a partly checked
// state leaves it alone. Returns the new flag, or the old one for a partly checked box.
int storeFlag(const SettingKey &key, int state, int current)
{
    if (state == Qt::PartiallyChecked)
        return current;
    const int flag = state == Qt::Checked ? 1 : 0;
    ReadWriteSetting::getInstance()->setNumber(key, flag);
    return flag;
}

// Writes key's fallback when nothing is stored, so global.xml lists every option of the page.
void storeFallback(ReadWriteSetting *store, const SettingKey &key)
{
    if (!store->isStored(key))
        store->setValue(key, key.fallback);
}

// The middle of a path gives way when it does not fit; the whole path stays in the tool tip,
// from which the text is made again whenever the box changes size.
void showElided(QLineEdit *edit)
{
    const int margins = edit->textMargins().left() + edit->textMargins().right() +
        2 * edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, edit) + 4;
    const QString path = edit->toolTip();
    edit->setText(edit->fontMetrics().elidedText(path, Qt::ElideMiddle, qMax(0, edit->width() - margins)));
    edit->setCursorPosition(0);
}

} // namespace

SettingsForm::SettingsForm(QWidget *parent, QString savepath)
    : QWidget(parent), ui(new Ui::SettingsForm), m_savePath(std::move(savepath))
{
    ui->setupUi(this);
    ui->label_picture->setPixmap(QPixmap(QStringLiteral(":/image/backsetting.png")));
    // The picture only decorates: on a small screen it gives up its edges before the page grows.
    ui->label_picture->setMinimumSize(1, 1);
    applyLooks();
    readStoredOptions();
    showFixedValues();
    showStorageRoot();
    showPendingResets();
}

SettingsForm::~SettingsForm()
{
    delete ui;
}

void SettingsForm::applyLooks()
{
    const QList<QGroupBox *> groups = findChildren<QGroupBox *>();
    for (QGroupBox *g : groups)
        setBlueText(g);
    setBlueText(ui->pushBtnCheckUpdate);

    const int points = 10;
    setPointSize<QGroupBox>(this, points);
    setPointSize<QLabel>(this, points);
    setPointSize<QCheckBox>(this, points);
    setPointSize<QLineEdit>(this, points);
    setPointSize<QListWidget>(this, points);
    setPointSize<QPushButton>(this, points);
    QPalette pending = ui->labelResetPending->palette();
    pending.setColor(QPalette::WindowText, Qt::darkRed);
    ui->labelResetPending->setPalette(pending);
    ui->labelResetPending->setMinimumHeight(ui->labelResetPending->fontMetrics().lineSpacing());
    // Hidden while nothing waits, but its room is kept: the page does not move when a reset is asked for.
    QSizePolicy cancelPolicy = ui->pushButtonCancelReset->sizePolicy();
    cancelPolicy.setRetainSizeWhenHidden(true);
    ui->pushButtonCancelReset->setSizePolicy(cancelPolicy);
}

// Changing a box here fires its slot, which stores the value again in the slot's own form
// (a stored "1" for localPicture becomes "2"). Text that is not a number counts as 0 and,
// as the boxes start unchecked, is then left as it is.
void SettingsForm::readStoredOptions()
{
    ReadWriteSetting *store = ReadWriteSetting::getInstance();
    using namespace SettingsKeys;

    storeFallback(store, DoubleFile);
    m_doubleFile = store->isOn(DoubleFile) ? 1 : 0;
    ui->checkBoxDoubleFile->setChecked(m_doubleFile == 1);

    storeFallback(store, LocalPicture);
    ui->checkLocalPicture->setChecked(store->isOn(LocalPicture));

    // The autostart entry itself is the setting: the desktop may remove it too.
    {
        const QSignalBlocker quiet(ui->checkBoxAutostart);
        ui->checkBoxAutostart->setChecked(Autostart::isEnabled());
    }

    storeFallback(store, LocalVideo);
    ui->checkLocalVideo->setChecked(store->isOn(LocalVideo));
}

// Display only: the organiser and the backups use these fixed places and filters.
void SettingsForm::showFixedValues()
{
    // A long root may not fit: the path is shortened in its middle, whole in the tool tip.
    auto showPath = [this](QLineEdit *edit, const QString &path) {
        edit->setToolTip(path);
        showElided(edit);
        edit->installEventFilter(this);
    };
    const QString album = m_savePath + QStringLiteral("万特相册");
    showPath(ui->lineEditLocalPicture, album + QStringLiteral("/本地/照片"));
    showPath(ui->lineEditLocalVideo, album + QStringLiteral("/本地/视频"));
    showPath(ui->lineEditMobileBackupPath, album);

    ui->listWidgetLocalPicture->clear();
    ui->listWidgetLocalPicture->addItems({QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"), QStringLiteral("*.png"),
                                          QStringLiteral("*.heic"), QStringLiteral("*.heif"), QStringLiteral("*.avif"),
                                          QStringLiteral("*.webp")});
    ui->listWidgetLocalVideo->clear();
    ui->listWidgetLocalVideo->addItems({QStringLiteral("*.avi"), QStringLiteral("*.mov"), QStringLiteral("*.mp4"),
                                        QStringLiteral("*.flv"), QStringLiteral("*.mpg"), QStringLiteral("*.m4v"),
                                        QStringLiteral("*.3gp")});
}

void SettingsForm::showStorageRoot()
{
    const QString root = m_savePath;
    QString text;
    if (root.isEmpty()) {
        text = QStringLiteral("未设置");
    } else {
        const StorageRoot::Verdict v = StorageRoot::check(root, 0);
        const qint64 free = StorageVolumes::freeBytes(root);
        text = root;
        if (v.state == StorageRoot::State::Missing || v.state == StorageRoot::State::Foreign)
            text += QStringLiteral("（%1）").arg(v.why);
        else if (free >= 0)
            text += QStringLiteral("（剩余 %1 GB）").arg(double(free) / double(qint64(1) << 30), 0, 'f', 1);
    }
    ui->labelStorageRoot->setText(text);
    ui->labelStorageRoot->setToolTip(root);
    const QString next = ReadWriteSetting::getInstance()->value(SettingsKeys::SaveDrive);
    const bool pending = !next.isEmpty() && QDir::cleanPath(next) != QDir::cleanPath(root);
    ui->labelStorageRootNote->setText(
        pending ? QStringLiteral("已改为 %1，重新启动后生效").arg(next)
                : QStringLiteral("手机备份和本地整理都存放在此处的“万特相册”文件夹中；更改后立即生效，"
                                 "已备份的文件可以一并移过去。"));
}

void SettingsForm::on_pushButtonStorageRoot_clicked()
{
    if (m_move)
        return;
    const QString current = ReadWriteSetting::getInstance()->value(SettingsKeys::SaveDrive);
    const QString dir = Dialogs::existingDirectory(
        this, QStringLiteral("选择备份位置"), current.isEmpty() ? QDir::homePath() : current, Dialogs::ShowDirsOnly);
    if (dir.isEmpty())
        return;
    const QString from = StorageRoot::inUse(m_savePath);
    if (QDir::cleanPath(dir) != QDir::cleanPath(from) && ArchiveMove::hasArchive(from) &&
        !StorageRoot::absent(from, nullptr)) {
        const int answer =
            Dialogs::choice(this, Dialogs::QuestionIcon, QStringLiteral("备份位置"),
                            QStringLiteral("%1%2 中有已备份的文件（手机的文件夹和本地相册）。\n\n把它们移动到 %3 吗？"
                                           "移动期间手机暂停备份，完成后从新位置继续；每个文件核对无误后才删除原来的。")
                                .arg(from, AppPaths::albumFolderName(), dir),
                            {{QStringLiteral("移动"), Dialogs::AcceptRole},
                             {QStringLiteral("不移动，只改位置"), Dialogs::ActionRole},
                             {QStringLiteral("取消"), Dialogs::RejectRole}});
        if (answer == 0) {
            startArchiveMove(from, dir);
            return;
        }
        if (answer != 1)
            return;
    }
    // No archive to move (or the user keeps it where it is): the new root counts at once.
    QString why;
    if (!StorageRoot::switchTo(dir, &why)) {
        Dialogs::message(this, Dialogs::Warning, QStringLiteral("备份位置"),
                         QStringLiteral("不能使用这个文件夹作为备份位置。\n\n%1").arg(why));
        return;
    }
    m_savePath = StorageRoot::activeRoot();
    showFixedValues();
    showStorageRoot();
}

void SettingsForm::startArchiveMove(const QString &from, const QString &to)
{
    m_move = new ArchiveMove(from, to, this);
    m_moveProgress = new QProgressDialog(this);
    m_moveProgress->setWindowTitle(QStringLiteral("移动存档"));
    m_moveProgress->setLabelText(QStringLiteral("正在统计要移动的文件…"));
    m_moveProgress->setCancelButtonText(QStringLiteral("停止"));
    m_moveProgress->setRange(0, 1000);
    m_moveProgress->setAutoClose(false);
    m_moveProgress->setAutoReset(false);
    m_moveProgress->setMinimumDuration(0);
    m_moveProgress->setWindowModality(Qt::WindowModal);
    // The dialog hides itself when stopped; the page says what happens meanwhile.
    connect(m_moveProgress, &QProgressDialog::canceled, m_move, [this] {
        ui->labelStorageRootNote->setText(QStringLiteral("正在停止，删除新位置已复制的文件…"));
        m_move->stop();
    });
    connect(m_move, &ArchiveMove::progress, this, &SettingsForm::archiveMoveProgress);
    connect(m_move, &ArchiveMove::finished, this, [this](ArchiveMove::Outcome outcome, const QString &message) {
        archiveMoveFinished(int(outcome), message);
    });
    ui->pushButtonStorageRoot->setEnabled(false);
    ui->labelStorageRootNote->setText(QStringLiteral("正在把存档移动到 %1，手机暂停备份。").arg(to));
    m_moveProgress->show();
    m_move->start();
}

void SettingsForm::archiveMoveProgress(qint64 filesDone, qint64 filesTotal, qint64 bytesDone, qint64 bytesTotal)
{
    if (!m_moveProgress || m_moveProgress->wasCanceled())
        return;
    const auto mib = [](qint64 bytes) { return QString::number(double(bytes) / double(1 << 20), 'f', 1); };
    m_moveProgress->setLabelText(QStringLiteral("已移动 %1 / %2 个文件，%3 / %4 MB")
                                     .arg(filesDone)
                                     .arg(filesTotal)
                                     .arg(mib(bytesDone), mib(bytesTotal)));
    m_moveProgress->setValue(bytesTotal > 0 ? int(bytesDone * 1000 / bytesTotal) : 0);
}

void SettingsForm::archiveMoveFinished(int outcome, const QString &message)
{
    m_moveProgress->deleteLater();
    m_moveProgress = nullptr;
    m_move->deleteLater(); // its thread has sent its last signal
    m_move = nullptr;
    ui->pushButtonStorageRoot->setEnabled(true);
    const bool moved = outcome == int(ArchiveMove::Outcome::Moved);
    if (moved) {
        m_savePath = StorageRoot::activeRoot();
        showFixedValues();
    }
    showStorageRoot();
    Dialogs::message(this,
                     moved || outcome == int(ArchiveMove::Outcome::Stopped) ? Dialogs::Information : Dialogs::Warning,
                     QStringLiteral("移动存档"), message.isEmpty() ? QStringLiteral("移动未完成。") : message);
}

void SettingsForm::on_checkBoxDoubleFile_stateChanged(int state)
{
    m_doubleFile = storeFlag(SettingsKeys::DoubleFile, state, m_doubleFile);
}

void SettingsForm::on_checkBoxAutostart_toggled(bool on)
{
    if (Autostart::setEnabled(on, QCoreApplication::applicationFilePath()))
        return;
    Dialogs::message(this, Dialogs::Warning, QStringLiteral("开机自动启动"),
                     QStringLiteral("无法%1自动启动项：\n%2")
                         .arg(on ? QStringLiteral("写入") : QStringLiteral("删除"), Autostart::entryPath()),
                     Dialogs::Ok);
    const QSignalBlocker quiet(ui->checkBoxAutostart);
    ui->checkBoxAutostart->setChecked(Autostart::isEnabled());
}

void SettingsForm::on_checkBoxDoubleName_stateChanged(int state)
{
    m_doubleName = storeFlag(SettingsKeys::DoubleName, state, m_doubleName);
}

// The local album page reads these as "greater than 0 means on".
void SettingsForm::on_checkLocalPicture_stateChanged(int state)
{
    ReadWriteSetting::getInstance()->setNumber(SettingsKeys::LocalPicture, state);
}

void SettingsForm::on_checkLocalVideo_stateChanged(int state)
{
    ReadWriteSetting::getInstance()->setNumber(SettingsKeys::LocalVideo, state);
}

void SettingsForm::confirmReset(const SettingKey &key, const QString &text)
{
    const Dialogs::StandardButton answer =
        Dialogs::message(nullptr, Dialogs::Information, QStringLiteral("重置"), text, Dialogs::Ok | Dialogs::Cancel,
                         {{Dialogs::Ok, QStringLiteral("确 定")}, {Dialogs::Cancel, QStringLiteral("取 消")}},
                         Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    // The reset itself happens at the next start.
    if (answer == Dialogs::Ok)
        ReadWriteSetting::getInstance()->setNumber(key, 1);
    showPendingResets();
}

void SettingsForm::showPendingResets()
{
    ReadWriteSetting *store = ReadWriteSetting::getInstance();
    // The start-up reads the markers the same way: a number of 1 or more.
    QStringList resets;
    if (store->isOn(SettingsKeys::LocalReset))
        resets << QStringLiteral("本地参数");
    if (store->isOn(SettingsKeys::RemoteReset))
        resets << QStringLiteral("移动设备参数");
    // Always in the layout (empty when nothing waits), so the page does not grow when one is asked for.
    ui->labelResetPending->setText(
        resets.isEmpty()
            ? QString()
            : QStringLiteral("等待重启：%1重置将在程序下次启动时进行。").arg(resets.join(QStringLiteral("和"))));
    ui->pushButtonCancelReset->setVisible(!resets.isEmpty());
}

// Withdraws every reset still waiting for the next start; nothing was removed yet.
void SettingsForm::on_pushButtonCancelReset_clicked()
{
    ReadWriteSetting *store = ReadWriteSetting::getInstance();
    for (const SettingKey &key : {SettingsKeys::LocalReset, SettingsKeys::RemoteReset}) {
        if (store->isOn(key))
            store->setNumber(key, 0);
    }
    showPendingResets();
}

bool SettingsForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize) {
        if (auto *edit = qobject_cast<QLineEdit *>(watched))
            showElided(edit);
    }
    return QWidget::eventFilter(watched, event);
}

void SettingsForm::on_localResetButton_clicked()
{
    confirmReset(SettingsKeys::LocalReset,
                 QStringLiteral("重置本地参数将删除本地相册数据库（已整理文件的记录），备份位置也将重新选择。\n"
                                "已整理和已备份的照片和视频不会删除；已授权的手机不受影响。\n"
                                "（程序重启后生效）"));
}

void SettingsForm::on_remoteResetButton_clicked()
{
    confirmReset(SettingsKeys::RemoteReset,
                 QStringLiteral("重置移动设备参数将删除已授权手机的列表和每部手机的相册数据库。\n"
                                "已备份到电脑上的照片和视频不会删除；手机再次连接时需要重新授权。\n"
                                "（程序重启后生效）"));
}

// The button is disabled by the form; no request is made.
void SettingsForm::on_pushBtnCheckUpdate_clicked()
{
    Dialogs::message(this, Dialogs::Warning, QStringLiteral("版本信息"),
                     QStringLiteral("当前版本号：1.0.0\n已经是最新版本"), Dialogs::Ok);
}
