// The console's module-level state: one console per process, touched only by the
// user-interface thread, so plain ints serve as the exchange flags.
#pragma once

#include <QByteArray>

namespace ondrel {

extern int g_ready;      // the version read is done and no operator exchange runs
extern int g_polling;    // a status poll is running
extern int g_linkFailed; // a poll timed out: polling has stopped for good

extern QByteArray g_faultReply;
extern QByteArray g_noFaultReply;

// Back to program-start state, for tests that run several consoles in one process.
void ResetConsoleState();

} // namespace ondrel
