#include "app/Startup.h"

#include "backup/ArchiveMove.h"
#include "backup/IncomingFile.h"
#include "backup/LocalDataBase.h"
#include "link/DeviceName.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "platform/SingleInstance.h"
#include "settings/ReadWriteSetting.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QTextCodec>
#include <QTimer>
#include <QTranslator>
#include <QtConcurrent>

Q_LOGGING_CATEGORY(lcStartup, "vanteo.startup")

namespace {

// A device name comes from the phone; only a plain file name may be deleted in the program
// folder (a name such as "../x" must not reach files elsewhere).
bool removeInProgramDir(const QString &fileName)
{
    if (fileName.isEmpty() || fileName.contains(QLatin1Char('/')) || fileName.contains(QLatin1Char('\\')) ||
        fileName == QLatin1String(".") || fileName == QLatin1String("..")) {
        qCWarning(lcStartup) << "not deleting" << fileName;
        return false;
    }
    const QString path = AppPaths::dataFile(fileName);
    if (!QFileInfo(path).isFile())
        return false;
    if (!QFile::remove(path)) {
        qCWarning(lcStartup) << "cannot delete" << path;
        return false;
    }
    return true;
}

} // namespace

bool applyLocalReset()
{
    if (!ReadWriteSetting::getInstance()->isOn(SettingsKeys::LocalReset))
        return false;
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    removeInProgramDir(QStringLiteral("localfiles.db"));
    // Its write-ahead log must go too, or it would be replayed into the next, new database.
    removeInProgramDir(QStringLiteral("localfiles.db-wal"));
    removeInProgramDir(QStringLiteral("localfiles.db-shm"));
    settings->setNumber(SettingsKeys::LocalReset, 0);
    settings->remove(SettingsKeys::SaveDrive);
    return true;
}

int applyRemoteReset()
{
    if (!ReadWriteSetting::getInstance()->isOn(SettingsKeys::RemoteReset))
        return -1;
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    const QList<UserEntry> users = settings->getUserList();
    // With their logs: a stale log beside a new database would bring back rows of the old one.
    for (const UserEntry &user : users) {
        for (const char *suffix : {".db", ".db-wal", ".db-shm", ".db-journal"})
            removeInProgramDir(user.name + QLatin1String(suffix));
    }
    if (!users.isEmpty())
        settings->clearUsers();
    settings->setNumber(SettingsKeys::RemoteReset, 0);
    return users.size();
}

bool findProcess(const QString &exeName)
{
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        bool isPid = false;
        it.fileName().toLongLong(&isPid);
        if (!isPid)
            continue;
        // The executable's own name; a process whose executable cannot be read (another
        // user's, a kernel thread) is compared by its first argument.
        QString name = QFileInfo(QFile::symLinkTarget(it.filePath() + QStringLiteral("/exe"))).fileName();
        if (name.isEmpty()) {
            QFile cmdline(it.filePath() + QStringLiteral("/cmdline"));
            if (cmdline.open(QIODevice::ReadOnly)) {
                const QByteArray arg0 = cmdline.readAll().split('\0').value(0);
                name = QFileInfo(QString::fromUtf8(arg0)).fileName();
            }
        }
        if (!name.isEmpty() && name == exeName)
            return true;
    }
    return false;
}

namespace Startup {

bool claimSingleInstance(SingleInstance *guard)
{
    if (guard->acquire())
        return true;
    // The running copy shows its window; the box is only for a copy that does not answer.
    if (guard->askRunningCopyToActivate()) {
        qCInfo(lcStartup) << "already running: its window was brought forward";
        return false;
    }
    Dialogs::message(nullptr, Dialogs::Information, QStringLiteral("万特相册"), QStringLiteral("应用程序已经启动"),
                     Dialogs::Ok);
    return false;
}

void setupTextAndFont()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    // The font the program is designed for is a Windows font; elsewhere a font with the
    // Chinese glyphs stands in for it.
    const QString family = QStringLiteral("Microsoft Yahei");
    QFont::insertSubstitutions(family,
                               {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                                QStringLiteral("Source Han Sans SC"), QStringLiteral("WenQuanYi Zen Hei")});
    QApplication::setFont(QFont(family, 9));
}

bool installQtTranslations()
{
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qt_zh_CN"), QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

void removeTransferLeftovers()
{
    // Phones may connect while the walk runs: only what was last written before this start is a leftover
    // (two seconds earlier still, as FAT drives keep times to two seconds).
    const QDateTime limit = QDateTime::currentDateTimeUtc().addSecs(-2);
    QStringList folders;
    for (const UserEntry &user : ReadWriteSetting::getInstance()->getUserList())
        folders << user.path;
    QtConcurrent::run(QThreadPool::globalInstance(), [folders, limit] {
        for (const QString &folder : folders)
            IncomingFile::removePartsBefore(folder, limit);
    });
}

QString resetNotice(bool localDone, int phonesReset)
{
    QStringList done;
    if (localDone)
        done << QStringLiteral("本地参数：本地相册数据库已清空，存储位置已重新选择。已整理的照片和视频仍在原处。");
    if (phonesReset >= 0)
        done << QStringLiteral("移动设备参数：已删除 %1 部手机的授权和相册数据库。已备份的照片和视频仍在原处；"
                               "手机再次连接时需要重新授权。")
                    .arg(phonesReset);
    if (done.isEmpty())
        return QString();
    return QStringLiteral("按您的要求，本次启动完成了重置：\n\n") + done.join(QStringLiteral("\n\n"));
}

QString recoverBrokenSettings()
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    const QString kept = settings->brokenFileKept();
    if (kept.isEmpty())
        return QString();
    // The phones come back from their album databases beside global.xml, and the storage root
    // from where their files lie, so the archive is not split by a root chosen afresh.
    const QString mark = QLatin1Char('/') + AppPaths::albumFolderName() + QLatin1Char('/');
    QStringList phones;
    QString root;
    const QFileInfoList databases =
        QDir(AppPaths::dataDir()).entryInfoList({QStringLiteral("*.db")}, QDir::Files, QDir::Name);
    for (const QFileInfo &db : databases) {
        const QString name = db.completeBaseName();
        const QString path = LocalDataBase(db.filePath()).anyLocalPath();
        const int at = path.indexOf(mark);
        if (at >= 0 && root.isEmpty())
            root = path.left(at + 1);
        if (!DeviceName::isValid(name))
            continue;
        const QString folder = at >= 0 && path.midRef(at + mark.size()).startsWith(name + QLatin1Char('/'))
            ? path.left(at + mark.size() + name.size())
            : QString();
        settings->addUser(name, folder, DeviceName::nowText());
        phones << name;
    }
    const bool rootBack = !root.isEmpty() && QFileInfo(root).isDir();
    if (rootBack)
        settings->setValue(SettingsKeys::SaveDrive, root);
    QString text = QStringLiteral("设置文件 global.xml 无法读取，已另存为 %1，并新建了设置文件。\n\n")
                       .arg(QFileInfo(kept).fileName());
    text += phones.isEmpty() ? QStringLiteral("没有找到可恢复的手机授权，手机再次连接时需要重新授权。")
                             : QStringLiteral("已从相册数据库恢复 %1 部手机的授权：%2。")
                                   .arg(phones.size())
                                   .arg(phones.join(QStringLiteral("、")));
    text +=
        rootBack ? QStringLiteral("\n\n存储位置已恢复为 %1。").arg(root) : QStringLiteral("\n\n存储位置将重新选择。");
    text += QStringLiteral("其他设置已恢复为默认值，请到参数设置检查。");
    return text;
}

bool recoverArchiveMove()
{
    const QString note = ArchiveMove::recover();
    if (note.isEmpty())
        return false;
    qCWarning(lcStartup).noquote() << note;
    QTimer::singleShot(0, QCoreApplication::instance(), [note] {
        Dialogs::message(nullptr, Dialogs::Information, QStringLiteral("移动存档"), note, Dialogs::Ok);
    });
    return true;
}

void applyAutomationMode()
{
    if (QGuiApplication::platformName() == QLatin1String("offscreen") &&
        qEnvironmentVariableIntValue("VANTEO_NONINTERACTIVE") == 1) {
        Dialogs::setNonInteractive(true);
        QLoggingCategory::setFilterRules(QStringLiteral("vanteo.*.info=true"));
    }
}

} // namespace Startup
