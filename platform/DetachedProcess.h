#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// Starts a program that outlives us (an installer that replaces our own files, for example).
// Tests replace the starter to see what would have been started without starting it.
namespace DetachedProcess {

using Starter =
    std::function<bool(const QString &program, const QStringList &arguments, const QString &workingDirectory)>;

// Starts program detached (QProcess::startDetached); true when the start succeeded.
bool start(const QString &program, const QStringList &arguments = {}, const QString &workingDirectory = {});

// Tests: route start() to starter instead; an empty function restores the real start.
void setStarterForTests(Starter starter);

} // namespace DetachedProcess
