#include "tests/support/ServerProcess.h"

#include <QDeadlineTimer>
#include <QFile>

namespace TestSupport {

PythonServerProcess::PythonServerProcess(const QString &portPrefix, LineHandler onLine)
    : m_portPrefix(portPrefix), m_onLine(std::move(onLine))
{
}

PythonServerProcess::~PythonServerProcess()
{
    stop();
}

bool PythonServerProcess::start(const QString &script, const QStringList &args, QProcess::ProcessChannelMode mode,
                                QString *error)
{
    // The system's interpreter: the first python3 on PATH may be a build without ssl or pyftpdlib.
    const QString python = QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                             : QStringLiteral("python3");
    m_process.setProcessChannelMode(mode);
    m_process.start(python, QStringList{script} + args);
    if (!m_process.waitForStarted(5000)) {
        *error = QStringLiteral("python3 did not start");
        return false;
    }
    QDeadlineTimer deadline(15000);
    while (m_port == 0 && !deadline.hasExpired()) {
        if (!readLines(100) && m_process.state() != QProcess::Running)
            break;
    }
    if (m_port == 0) {
        *error = QStringLiteral("%1 did not listen").arg(script);
        const QByteArray stderrText = m_process.readAllStandardError();
        if (!stderrText.isEmpty())
            *error += QStringLiteral(": ") + QString::fromLocal8Bit(stderrText);
        return false;
    }
    return true;
}

bool PythonServerProcess::readLines(int ms)
{
    if (!m_process.canReadLine() && ms > 0)
        m_process.waitForReadyRead(ms);
    bool any = false;
    while (m_process.canReadLine()) {
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        any = true;
        if (line.startsWith(m_portPrefix))
            m_port = line.mid(m_portPrefix.size()).toUShort();
        else if (m_onLine)
            m_onLine(line);
    }
    return any;
}

void PythonServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

} // namespace TestSupport
