#include "exchange.h"

#include "mscomm.h"

#include <cerrno>
#include <ctime>

namespace ondrel {

namespace {

// Sleeps to absolute deadlines on the monotonic clock: each 1 ms step ends at
// start + k ms however late the previous one woke, so oversleeping does not add
// up over 3701 steps.
class CDeadlineSleep : public CMillisecondSleep
{
public:
    void Begin() override { clock_gettime(CLOCK_MONOTONIC, &m_start); }

    void Sleep(int k) override
    {
        timespec deadline = m_start;
        const long long ns = static_cast<long long>(deadline.tv_nsec) + k * 1000000LL;
        deadline.tv_sec += static_cast<time_t>(ns / 1000000000LL);
        deadline.tv_nsec = static_cast<long>(ns % 1000000000LL);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
    }

private:
    timespec m_start{};
};

CMillisecondSleep* g_sleep = nullptr;

CMillisecondSleep& DefaultSleep()
{
    // One per thread: a wait's start time must not be shared with another thread's wait.
    thread_local CDeadlineSleep sleep;
    return sleep;
}

} // namespace

void SetMillisecondSleep(CMillisecondSleep* sleep)
{
    g_sleep = sleep;
}

CMillisecondSleep& CurrentMillisecondSleep()
{
    return g_sleep ? *g_sleep : DefaultSleep();
}

bool WaitForReply(CMSComm& comm, int n)
{
    CMillisecondSleep& sleep = CurrentMillisecondSleep();
    sleep.Begin();
    int counter = 0;
    for (;;) {
        if (comm.GetInBufferCount() == n)
            return true;
        ++counter;
        sleep.Sleep(counter);
        // No look after the last sleep: a reply that lands during it is missed,
        // exactly as the generator's operators have always seen it.
        if (counter > kWaitLimit)
            return false;
    }
}

QByteArray ReplyText(const QVariant& input)
{
    switch (input.typeId()) {
    case QMetaType::QString:
        return input.toString().toLatin1();
    case QMetaType::QByteArray:
        return input.toByteArray();
    default:
        return {};
    }
}

} // namespace ondrel
