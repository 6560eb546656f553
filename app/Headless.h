#pragma once

#include <QByteArray>
#include <QString>

class CmdServer;

// The program without a window, for a server or a user service: `vanteoalbum --headless` needs no
// display (a QCoreApplication, no widgets). It announces itself, serves phones and logs to
// standard error, one line per message. New device names wait, as they wait for the window's
// question, until they are answered from a shell: `vanteoalbum --pending` lists them,
// `--approve NAME` / `--refuse NAME` answer one; these talk to the running copy (headless or
// not) over its user-only local socket.
namespace Headless {

// True when the command line asks for one of these modes; decided before any application object
// exists, since a QApplication without a display would end the program.
bool wanted(int argc, char *argv[]);

// Runs the mode asked for; returns the exit code. For the control commands: 0 done, 1 refused by
// the running copy (no such name waits), 2 bad command line, 3 no running copy answers. The
// headless program: 0 after a stop by signal, 1 when it cannot serve, 4 when another copy runs.
int run(int argc, char *argv[]);

// The running copy's side of the control commands, for the window and the headless program
// alike: "ok\n" followed by one name per line for "pending"; "ok\n" or "error <why>\n" for
// "approve" and "refuse".
QByteArray answerControl(CmdServer *server, const QString &command, const QString &argument);

} // namespace Headless
