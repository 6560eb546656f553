#pragma once

// Network set-up for tests that need a LAN: they run inside `unshare -n` (scripts/test), where
// they may add a veth pair without touching the machine's own network.

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <unistd.h>

namespace TestSupport {

// Runs a command to its end (10 s at most); on failure error says what failed and why.
inline bool runCommand(const QString &program, const QStringList &args, QString *error = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error = program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QLatin1String(": ") +
                QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        return false;
    }
    return true;
}

// True inside a network namespace of our own without a default route (`unshare -n`). Anywhere
// else (a default route, or the namespace of process 1) a test must not add interfaces.
inline bool inPrivateNetNamespace()
{
    const QString self = QFileInfo(QStringLiteral("/proc/self/ns/net")).symLinkTarget();
    const QString init = QFileInfo(QStringLiteral("/proc/1/ns/net")).symLinkTarget();
    if (self.isEmpty() || self == init)
        return false;
    QFile routes(QStringLiteral("/proc/net/route"));
    if (!routes.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = routes.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 1 && fields.at(1) == "00000000")
            return false;
    }
    return true;
}

// Why a veth pair cannot be made here, or empty when it can.
inline QString vethUnavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral(
            "needs root to create a veth pair (scripts/test runs the suite as root inside unshare -n)");
    if (!inPrivateNetNamespace())
        return QStringLiteral("not inside a private network namespace; run it under unshare -n (as scripts/test does)");
    return QString();
}

// A veth pair, both ends up, each with an IPv4 address (a/24 and b/24); removed when destroyed.
class VethPair
{
public:
    VethPair(const QString &nameA, const QString &nameB) : m_a(nameA), m_b(nameB) { }
    ~VethPair()
    {
        if (m_created)
            runCommand(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("del"), m_a});
    }
    VethPair(const VethPair &) = delete;
    VethPair &operator=(const VethPair &) = delete;

    bool create(const QString &addressA, const QString &addressB, QString *error)
    {
        const QString ip = QStringLiteral("ip");
        if (!runCommand(ip,
                        {QStringLiteral("link"), QStringLiteral("add"), m_a, QStringLiteral("type"),
                         QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), m_b},
                        error))
            return false;
        m_created = true;
        return runCommand(ip,
                          {QStringLiteral("addr"), QStringLiteral("add"), addressA + QStringLiteral("/24"),
                           QStringLiteral("dev"), m_a},
                          error) &&
            runCommand(ip,
                       {QStringLiteral("addr"), QStringLiteral("add"), addressB + QStringLiteral("/24"),
                        QStringLiteral("dev"), m_b},
                       error) &&
            runCommand(ip, {QStringLiteral("link"), QStringLiteral("set"), m_a, QStringLiteral("up")}, error) &&
            runCommand(ip, {QStringLiteral("link"), QStringLiteral("set"), m_b, QStringLiteral("up")}, error);
    }

    // Removes the pair now (both ends go with either).
    bool remove(QString *error)
    {
        if (!m_created)
            return true;
        m_created = false;
        return runCommand(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("del"), m_a}, error);
    }

private:
    QString m_a;
    QString m_b;
    bool m_created = false;
};

} // namespace TestSupport
