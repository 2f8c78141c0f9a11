// The whole console, as the program starts it, driven by a test in another
// process: the child's standard input takes "click" (the X-Ray box), "close"
// (the window) and "pane" (answered "pane TEXT | TOOL TIP", or "pane none", for
// the X-ray pane); every box is answered with its default button after the child
// said "box TEXT". The child says "ready" once started.
#pragma once

#include <QStringList>

namespace ondrel::testing {

// Runs the application with `arguments` (the program's, without its name);
// returns its exit code, 90 when it could not start.
int RunConsoleWithHands(int argc, char* argv[], const QStringList& arguments);

} // namespace ondrel::testing
