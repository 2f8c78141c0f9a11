// Whether the console can open a window at all. Without a display Qt aborts with
// its generic platform-plugin message, which tells an operator on ssh or a
// headless box nothing about what to do.
#pragma once

#include <QString>

namespace ondrel {

// True when the platform chosen by -platform or QT_QPA_PLATFORM (or Qt's
// default) can show windows here. Otherwise false, with *message set to the
// text for stderr: what is missing and how to run without a display.
bool CheckGraphicalSession(int argc, char** argv, QString* message);

// Exit code when there is no graphical session.
inline constexpr int kNoDisplayExitCode = 1;

} // namespace ondrel
