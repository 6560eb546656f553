#pragma once

// A helper server written in Python, run as a child process for a test. The script prints one
// line "<prefix><port>" once it listens; every other line it prints goes to the owner's handler.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

namespace TestSupport {

class PythonServerProcess
{
public:
    using LineHandler = std::function<void(const QString &line)>;

    PythonServerProcess(const QString &portPrefix, LineHandler onLine);
    ~PythonServerProcess();
    PythonServerProcess(const PythonServerProcess &) = delete;
    PythonServerProcess &operator=(const PythonServerProcess &) = delete;

    // Runs script with args under the system's python3 and waits up to 15 s for the port line.
    // False (with *error) when python3 does not start or the script does not listen in time.
    bool start(const QString &script, const QStringList &args, QProcess::ProcessChannelMode mode, QString *error);

    quint16 port() const { return m_port; }

    // Handles the complete lines printed so far, first waiting up to ms for one when none is
    // ready. True when at least one line was read.
    bool readLines(int ms);

    // Closes the script's input (its cue to quit) and waits; kills it if it does not end.
    void stop();

    QProcess &process() { return m_process; }

private:
    QString m_portPrefix;
    LineHandler m_onLine;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace TestSupport
