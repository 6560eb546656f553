#include "TestSupport.h"

#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QThread>

namespace TestSupport {

std::unique_ptr<QTemporaryDir> makeProgramDir()
{
    auto dir = std::make_unique<QTemporaryDir>();
    if (dir->isValid())
        useProgramDir(dir->path());
    return dir;
}

void useProgramDir(const QString &dir)
{
    AppPaths::setProgramDirOverride(dir);
    // The settings store keeps its path from its first use; tests start it afresh.
    ReadWriteSetting::resetInstanceForTests();
}

bool waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

QStringList filesUnder(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
}

QString md5Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QByteArray patternBytes(int size, int seed)
{
    QByteArray b(size, Qt::Uninitialized);
    quint32 x = 2166136261u ^ quint32(seed);
    for (int i = 0; i < size; ++i) {
        x = x * 16777619u + 1;
        b[i] = char(x >> 24);
    }
    return b;
}

QList<QVariantList> queryRows(const QString &dbPath, const QString &sql, QString *error)
{
    QList<QVariantList> rows;
    const QString connection = QStringLiteral("testsupport-rows-") + dbPath;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(dbPath);
        if (!db.open()) {
            if (error)
                *error = db.lastError().text();
        } else if (QSqlQuery q(db); !q.exec(sql)) {
            if (error)
                *error = q.lastError().text();
        } else {
            while (q.next()) {
                QVariantList row;
                for (int i = 0; i < q.record().count(); ++i)
                    row << q.value(i);
                rows << row;
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return rows;
}

namespace {
QMutex s_caughtMutex;
QStringList s_catchWords;
QStringList s_caught;
QtMessageHandler s_previousHandler = nullptr;

void catchMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&s_caughtMutex);
        for (const QString &word : qAsConst(s_catchWords)) {
            if (message.contains(word)) {
                s_caught << message;
                break;
            }
        }
    }
    if (s_previousHandler)
        s_previousHandler(type, context, message);
}
} // namespace

void catchMessages(const QStringList &words)
{
    {
        QMutexLocker lock(&s_caughtMutex);
        s_catchWords = words;
        s_caught.clear();
    }
    const QtMessageHandler previous = qInstallMessageHandler(catchMessage);
    if (previous != catchMessage)
        s_previousHandler = previous;
}

QStringList takeCaughtMessages()
{
    QMutexLocker lock(&s_caughtMutex);
    QStringList out;
    out.swap(s_caught);
    return out;
}

qint64 procStatus(const QByteArray &field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QString binDir()
{
    const QByteArray env = qgetenv("VANTEO_BIN_DIR");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../../bin");
}

bool canUnshareNetworkAndIpc()
{
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("-i"), QStringLiteral("true")});
    return probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

bool installProgramCopy(const QString &programDir)
{
    const QString program = binDir() + QStringLiteral("/vanteoalbum");
    const QString copy = programDir + QStringLiteral("/vanteoalbum");
    return QFile::copy(program, copy) &&
        QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace TestSupport
