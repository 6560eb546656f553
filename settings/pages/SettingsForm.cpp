#include "settings/pages/SettingsForm.h"

#include "platform/Autostart.h"
#include "ui_SettingsForm.h"

#include "backup/StorageRoot.h"
#include "platform/Dialogs.h"
#include "platform/StorageVolumes.h"
#include "settings/ReadWriteSetting.h"

#include <QCheckBox>
#include <QDir>
#include <QCoreApplication>
#include <QSignalBlocker>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>

#include <utility>

namespace {

const QString kDoubleFile = QStringLiteral("doubleFile");
const QString kDoubleName = QStringLiteral("doubleName");
const QString kLocalPicture = QStringLiteral("localPicture");
const QString kLocalVideo = QStringLiteral("localVideo");
const QString kLocalReset = QStringLiteral("localReset");
const QString kRemoteReset = QStringLiteral("remoteReset");

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
int storeFlag(const QString &key, int state, int current)
{
    if (state == Qt::PartiallyChecked)
        return current;
    const int flag = state == Qt::Checked ? 1 : 0;
    ReadWriteSetting::getInstance()->setGlobalValue(key, QString::number(flag));
    return flag;
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
}

// Changing a box here fires its slot, which stores the value again in the slot's own form
// (a stored "1" for localPicture becomes "2"). Text that is not a number counts as 0 and,
// as the boxes start unchecked, is then left as it is.
void SettingsForm::readStoredOptions()
{
    ReadWriteSetting *store = ReadWriteSetting::getInstance();

    const QString doubleFile = store->getGlobalValue(kDoubleFile);
    if (!doubleFile.isEmpty()) {
        m_doubleFile = ReadWriteSetting::toInt(doubleFile) >= 1 ? 1 : 0;
        ui->checkBoxDoubleFile->setChecked(m_doubleFile == 1);
    } else {
        m_doubleFile = 0;
        store->setGlobalValue(kDoubleFile, QStringLiteral("0"));
        ui->checkBoxDoubleFile->setChecked(false);
    }

    const QString picture = store->getGlobalValue(kLocalPicture);
    if (!picture.isEmpty()) {
        ui->checkLocalPicture->setChecked(ReadWriteSetting::toInt(picture) >= 1);
    } else {
        store->setGlobalValue(kLocalPicture, QStringLiteral("2"));
        ui->checkLocalPicture->setChecked(true);
    }

    // The autostart entry itself is the setting: the desktop may remove it too.
    {
        const QSignalBlocker quiet(ui->checkBoxAutostart);
        ui->checkBoxAutostart->setChecked(Autostart::isEnabled());
    }

    const QString video = store->getGlobalValue(kLocalVideo);
    if (!video.isEmpty()) {
        ui->checkLocalVideo->setChecked(ReadWriteSetting::toInt(video) >= 1);
    } else {
        store->setGlobalValue(kLocalVideo, QStringLiteral("0"));
        ui->checkLocalVideo->setChecked(false);
    }
}

// Display only: the organiser and the backups use these fixed places and filters.
void SettingsForm::showFixedValues()
{
    // A long root may not fit: show the start of the path and the whole path as a tool tip.
    auto showPath = [](QLineEdit *edit, const QString &path) {
        edit->setText(path);
        edit->setCursorPosition(0);
        edit->setToolTip(path);
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
    const QString next = ReadWriteSetting::getInstance()->getGlobalValue(QStringLiteral("saveDrive"));
    const bool pending = !next.isEmpty() && QDir::cleanPath(next) != QDir::cleanPath(root);
    ui->labelStorageRootNote->setText(
        pending ? QStringLiteral("已改为 %1，重新启动后生效（已备份的文件留在原处，不会移动）").arg(next)
                : QStringLiteral("手机备份和本地整理都存放在此处的“万特相册”文件夹中。"));
}

void SettingsForm::on_pushButtonStorageRoot_clicked()
{
    const QString current = ReadWriteSetting::getInstance()->getGlobalValue(QStringLiteral("saveDrive"));
    const QString dir = Dialogs::existingDirectory(
        this, QStringLiteral("选择备份位置"), current.isEmpty() ? QDir::homePath() : current, Dialogs::ShowDirsOnly);
    if (dir.isEmpty())
        return;
    QString why;
    if (!StorageRoot::choose(dir, &why)) {
        Dialogs::message(this, Dialogs::Warning, QStringLiteral("备份位置"),
                         QStringLiteral("不能使用这个文件夹作为备份位置。\n\n%1").arg(why));
        return;
    }
    // The root in use chosen again (its archive marked anew): it counts at once.
    const QString chosen = ReadWriteSetting::getInstance()->getGlobalValue(QStringLiteral("saveDrive"));
    if (QDir::cleanPath(chosen) == QDir::cleanPath(m_savePath))
        StorageRoot::setActive(m_savePath, StorageRoot::markerId(m_savePath));
    showStorageRoot();
}

void SettingsForm::on_checkBoxDoubleFile_stateChanged(int state)
{
    m_doubleFile = storeFlag(kDoubleFile, state, m_doubleFile);
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
    m_doubleName = storeFlag(kDoubleName, state, m_doubleName);
}

// The local album page reads these as "greater than 0 means on".
void SettingsForm::on_checkLocalPicture_stateChanged(int state)
{
    ReadWriteSetting::getInstance()->setGlobalValue(kLocalPicture, QString::number(state));
}

void SettingsForm::on_checkLocalVideo_stateChanged(int state)
{
    ReadWriteSetting::getInstance()->setGlobalValue(kLocalVideo, QString::number(state));
}

void SettingsForm::confirmReset(const QString &key, const QString &text)
{
    const Dialogs::StandardButton answer =
        Dialogs::message(nullptr, Dialogs::Information, QStringLiteral("重置"), text, Dialogs::Ok | Dialogs::Cancel,
                         {{Dialogs::Ok, QStringLiteral("确 定")}, {Dialogs::Cancel, QStringLiteral("取 消")}},
                         Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    // The reset itself happens at the next start.
    if (answer == Dialogs::Ok)
        ReadWriteSetting::getInstance()->setGlobalValue(key, QStringLiteral("1"));
    showPendingResets();
}

void SettingsForm::showPendingResets()
{
    ReadWriteSetting *store = ReadWriteSetting::getInstance();
    // The start-up reads the markers the same way: a number of 1 or more.
    auto pending = [store](const QString &key) {
        const QString value = store->getGlobalValue(key);
        return !value.isEmpty() && ReadWriteSetting::toInt(value) >= 1;
    };
    QStringList resets;
    if (pending(kLocalReset))
        resets << QStringLiteral("本地参数");
    if (pending(kRemoteReset))
        resets << QStringLiteral("移动设备参数");
    // Always in the layout (empty when nothing waits), so the page does not grow when one is asked for.
    ui->labelResetPending->setText(
        resets.isEmpty()
            ? QString()
            : QStringLiteral("等待重启：%1重置将在程序下次启动时进行。").arg(resets.join(QStringLiteral("和"))));
}

void SettingsForm::on_localResetButton_clicked()
{
    confirmReset(kLocalReset, QStringLiteral("重置本地参数(程序重启后生效）"));
}

void SettingsForm::on_remoteResetButton_clicked()
{
    confirmReset(kRemoteReset,
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
