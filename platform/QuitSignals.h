#pragma once

// A request to stop the process (SIGTERM from a logout, `kill` or a service manager, SIGINT from
// Ctrl+C in the terminal, SIGHUP when the terminal goes away) ends the Qt event loop, so the
// program leaves the way it does when the window is closed: connections and their threads are
// stopped, half-received files removed, the databases closed and the single-instance marker
// released. A second such signal while the program is still shutting down ends it at once.
namespace QuitSignals {

// Call once, after the application object exists. Returns false when the handlers cannot be set
// (the signals then keep their default action).
bool install();

} // namespace QuitSignals
