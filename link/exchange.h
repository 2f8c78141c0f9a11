// The bounded wait for a fixed-length reply, and the pieces of one exchange.
#pragma once

#include <QByteArray>
#include <QVariant>

namespace ondrel {

class CMSComm;

// The 1 ms sleep of the wait. The k-th Sleep of one wait (k = 1, 2, ...) must not
// return before Begin() + k ms: sleeping against a deadline keeps the whole wait
// near 3.7 s, where plain 1 ms sleeps drift to 4 s and more.
class CMillisecondSleep
{
public:
    virtual ~CMillisecondSleep() = default;
    virtual void Begin() = 0;
    virtual void Sleep(int k) = 0;
};

// The sleep every wait uses. Tests install a virtual clock; nullptr restores the
// real monotonic one.
void SetMillisecondSleep(CMillisecondSleep* sleep);
CMillisecondSleep& CurrentMillisecondSleep();

inline constexpr int kWaitLimit = 3700;

// True as soon as exactly n characters wait in the receive buffer; false after
// the limit. Reads the count at most kWaitLimit + 1 times and removes nothing.
bool WaitForReply(CMSComm& comm, int n);

// The reply as 8-bit text, byte for byte (each 16-bit unit below 256 becomes that byte).
QByteArray ReplyText(const QVariant& input);

} // namespace ondrel
