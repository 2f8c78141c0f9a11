#include "termination.h"

#include "hurriedclock.h"
#include "ondrelview.h"
#include "stderrwriter.h"
#include "termsignals.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>

namespace ondrel {

namespace {

// How often a signal that came during an operator command looks again whether
// the command has unwound.
constexpr std::chrono::milliseconds kSignalRetry{50};

} // namespace

CTermination::CTermination(std::function<COndrelView*()> view, QObject* parent)
    : QObject(parent), m_view(std::move(view)), m_signals(std::make_unique<CTerminationSignals>())
{
    connect(m_signals.get(), &CTerminationSignals::received, this, &CTermination::OnSignal);
    if (m_signals->IsWatching())
        m_clock = std::make_unique<CHurriedWaitClock>(*m_signals);
}

CTermination::~CTermination() = default;

CWaitClock* CTermination::WaitClock() const
{
    return m_clock.get();
}

void CTermination::OnSignal(int signalNumber)
{
    if (m_terminating) {
        // Told twice: whatever the first signal still waits for is given up.
        EndEventLoops();
        return;
    }
    m_terminating = true;
    m_exitCode = 128 + signalNumber;
    if (COndrelView* view = m_view())
        view->StopForExit();
    CarryOut();
}

void CTermination::CarryOut()
{
    if (m_loopsEnded)
        return;
    COndrelView* view = m_view();
    if (view && view->InOperatorExchange()) {
        // The command unwinds from the box that was closed for it, sending nothing
        // more; ENBL0 must come after it, never in the middle of a switch-on.
        QTimer::singleShot(kSignalRetry, this, [this] { CarryOut(); });
        return;
    }
    if (view && view->XraysMayBeOn() && !view->SwitchOffXrays(COndrelView::Prompt::Never))
        WriteStderr(QStringLiteral("ondrel: %1 (ENBL0): X-rays may still be on\n")
                        .arg(QString::fromLatin1(COndrelView::kTimeOutText)));
    EndEventLoops();
}

void CTermination::EndEventLoops()
{
    m_loopsEnded = true;
    // exit() rather than closing the window: closing would ask the operator. It
    // ends every loop that runs, a box's included; during start-up no loop may
    // run yet, so the code is also left for the main loop's first turn.
    QCoreApplication::exit(m_exitCode);
    QTimer::singleShot(0, this, [this] { QCoreApplication::exit(m_exitCode); });
}

} // namespace ondrel
