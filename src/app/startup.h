// Process start after the runtime is up: program-wide state and its clean-up, the main
// window with its creation handler, the message loop. Also the check that a display is
// there at all. User-interface thread only.
#pragma once

#include <QIcon>
#include <QString>
#include <optional>
#include <string>

namespace app {

// Runs the program until the main window is closed or start-up ends it; returns the
// exit code (0 on every path the user can take). homeUrl replaces the start page.
// With TMBL_EXIT_WHEN_SHOWN set in the environment (installation checks), it prints
// "shown: <data folder>" once the main window is up and returns 0 at once.
int runProgram(const QString& homeUrl = {});

// The name of the desktop entry and of the icon in the icon theme ("yunsuo-mailbox"),
// and the program's icon: the theme's, else yunsuo-mailbox.png in the program folder.
// installApplicationIdentity gives both to the application and thereby to every window.
QIcon applicationIcon();
void installApplicationIdentity();

// The clean-up routine: releases the program-wide state. Registered by runProgram to
// run when the application object goes; safe to call more than once.
void releaseProgramState();

// Has the record library's run-time error report shown in the program's message box
// (error icon) before the library ends the process.
void installRuntimeErrorReport();

// Why no window could be shown on this machine, or nothing when a display seems
// reachable. Reads the environment; no Qt involved, so it can run before the
// application object exists.
std::optional<std::string> displayProblem();

}  // namespace app
