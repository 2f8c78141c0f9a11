// Renders the running console, against the built-in simulated generator with
// X-rays on, into a PNG for the README. Run through docs/screenshot.sh so the
// picture comes from a real X server (Xvfb) rather than a test platform.
#include "mainfrm.h"
#include "ondrelapp.h"
#include "ondrelview.h"

#include <QCheckBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QTextStream>
#include <QThread>

namespace {

// Lets the console's timer run until the kV read-out shows the ramp has
// settled near its set point, or the deadline passes.
bool WaitForKilovolts(ondrel::COndrelView* view, const QString& prefix, int seconds)
{
    QDeadlineTimer deadline(seconds * 1000);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (view->m_editKilovolts->text().startsWith(prefix))
            return true;
        QThread::msleep(20);
    }
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: ondrel-screenshot OUTPUT.png\n";
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);

    ondrel::COndrelApp app(argc, argv);
    if (!app.InitInstance({QStringLiteral("ondrel"), QStringLiteral("--simulate")}))
        return app.ExitCode();
    ondrel::CMainFrame* frame = app.MainWindow();
    ondrel::COndrelView* view = frame ? frame->View() : nullptr;
    if (!view) {
        err << "the console did not start\n";
        return 1;
    }

    // What an operator does: choose both presets, then switch X-rays on.
    view->m_checkVoltage->click();
    view->m_checkCurrent->click();
    view->m_checkXray->click();
    if (!WaitForKilovolts(view, QStringLiteral("080."), 10)) {
        err << "the simulated generator did not reach 80.5 kV\n";
        return 1;
    }
    // A few more ticks so temperature and current have moved as well.
    QDeadlineTimer settle(1500);
    while (!settle.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    if (!frame->grab().save(output)) {
        err << "cannot write " << output << "\n";
        return 1;
    }
    return 0;
}
