// Renders the console with its trend window open, against the built-in
// simulated generator in real time: a while with X-rays off, X-rays on for a
// minute, then the generator goes silent and the next poll times out. Run
// through docs/trendshot.sh so the picture comes from a real X server (Xvfb).
#include "generatorsim.h"
#include "mainfrm.h"
#include "ondrelapp.h"
#include "ondrelview.h"
#include "resource.h"
#include "trendwindow.h"

#include <QAction>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPainter>
#include <QPixmap>
#include <QTextStream>
#include <QTimer>

namespace {

// Runs the event loop (the console's poll) for `seconds`, or until `done`.
bool RunFor(double seconds, const std::function<bool()>& done = {})
{
    QDeadlineTimer deadline(qint64(seconds * 1000));
    while (!deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(std::min<qint64>(100, deadline.remainingTime()), &loop,
                           &QEventLoop::quit);
        loop.exec();
        if (done && done())
            return true;
    }
    return !done;
}

} // namespace

int main(int argc, char* argv[])
{
    QTextStream err(stderr);
    if (argc != 2 && argc != 4) {
        err << "usage: ondrel-trendshot OUTPUT.png [SECONDS_OFF SECONDS_ON]\n";
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    const double secondsOff = argc == 4 ? QByteArray(argv[2]).toDouble() : 120;
    const double secondsOn = argc == 4 ? QByteArray(argv[3]).toDouble() : 60;

    ondrel::COndrelApp app(argc, argv);
    if (!app.InitInstance({QStringLiteral("ondrel"), QStringLiteral("--simulate")}))
        return app.ExitCode();
    ondrel::CMainFrame* frame = app.MainWindow();
    ondrel::COndrelView* view = frame ? frame->View() : nullptr;
    ondrel::CTrendWindow* trend = frame ? frame->TrendWindow() : nullptr;
    if (!view || !trend || !app.Simulator()) {
        err << "the console did not start\n";
        return 1;
    }
    frame->move(0, 0);
    frame->Action(ondrel::ID_VIEW_TREND)->trigger();
    trend->move(frame->frameGeometry().right() + 10, 0);

    RunFor(secondsOff);
    view->m_checkVoltage->click();
    view->m_checkCurrent->click();
    view->m_checkXray->click();
    RunFor(secondsOn);
    app.Simulator()->Command("silent on");
    if (!RunFor(30, [trend] { return !trend->Model().StoppedText().isEmpty(); })) {
        err << "the readings did not stop\n";
        return 1;
    }
    RunFor(5, [trend] { return !trend->RefreshPending(); });

    const QPixmap console = frame->grab();
    const QPixmap charts = trend->grab();
    QPixmap both(console.width() + 10 + charts.width(),
                 std::max(console.height(), charts.height()));
    both.fill(Qt::darkGray);
    QPainter painter(&both);
    painter.drawPixmap(0, 0, console);
    painter.drawPixmap(console.width() + 10, 0, charts);
    painter.end();
    if (!both.save(output)) {
        err << "cannot write " << output << "\n";
        return 1;
    }
    return 0;
}
