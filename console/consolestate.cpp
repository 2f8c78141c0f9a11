#include "consolestate.h"

namespace ondrel {

int g_ready = 0;
int g_polling = 0;
int g_linkFailed = 0;

QByteArray g_faultReply;
QByteArray g_noFaultReply;

void ResetConsoleState()
{
    g_ready = 0;
    g_polling = 0;
    g_linkFailed = 0;
    g_faultReply.clear();
    g_noFaultReply.clear();
}

} // namespace ondrel
