// The instructions one status poll costs the console, for callgrind: the console
// as the operator has it (main frame, form, offscreen), polling the simulator with
// its own 200 ms timer. Collection runs from a tick to the end of the last one, so
// the figure holds the timer, both exchanges and the read-outs' repaint. The first
// ticks are left out: start-up's exchanges can hold the loop past the first tick,
// and the window's first full paint would then be counted as a poll's.
//
//   valgrind --tool=callgrind --collect-atstart=no bench_pollcost --port DEVICE [--ticks N]
//
// bench/callgrind_poll.sh starts the simulator, runs this and prints the figure.
#include "consolestate.h"
#include "mainfrm.h"
#include "modalanswerer.h"
#include "mscomm.h"
#include "observers.h"
#include "ondrelview.h"
#include "resource.h"

#include <QApplication>
#include <QLineEdit>
#include <QTimerEvent>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <valgrind/callgrind.h>

using namespace ondrel;

namespace {

// Counts the view's ticks and switches collection on at the first one after the
// warm-up and off once the last has been handled, i.e. when the tick after it comes.
class CTickWindow : public QObject
{
public:
    static constexpr int kWarmUp = 3;
    explicit CTickWindow(int ticks) : m_ticks(ticks) {}
    int seen = 0;
    // Paint events inside the window, by the widget that got them: where the
    // repaint's instructions go.
    std::map<QString, int> paints;
    rusage first{}, last{};

    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == QEvent::Paint && seen >= kWarmUp + 1 && seen <= kWarmUp + m_ticks) {
            const QString name = watched->objectName();
            ++paints[QString::fromLatin1(watched->metaObject()->className()) +
                     (name.isEmpty() ? QString() : QLatin1Char(' ') + name)];
            return false;
        }
        if (e->type() != QEvent::Timer || watched != m_view)
            return false;
        ++seen;
        if (seen == kWarmUp + 1) {
            getrusage(RUSAGE_SELF, &first);
            CALLGRIND_TOGGLE_COLLECT;
        } else if (seen == kWarmUp + m_ticks + 1) {
            CALLGRIND_TOGGLE_COLLECT;
            getrusage(RUSAGE_SELF, &last);
            QCoreApplication::quit();
            return true;
        }
        return false;
    }

    QObject* m_view = nullptr;

private:
    int m_ticks;
};

} // namespace

int main(int argc, char** argv)
{
    int ticks = 50;
    const char* port = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port = argv[++i];
        else if (std::strcmp(argv[i], "--ticks") == 0 && i + 1 < argc)
            ticks = std::atoi(argv[++i]);
        else
            ticks = 0;
    }
    if (!port || ticks < 1 || ticks > 100000) {
        std::fprintf(stderr, "usage: bench_pollcost --port DEVICE [--ticks N]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    ResetConsoleState();
    CMainFrame frame;
    if (!frame.LoadFrame(IDR_MAINFRAME)) {
        std::fprintf(stderr, "bench_pollcost: the main frame could not be created\n");
        return 1;
    }
    auto* view = new COndrelView(CViewContext{QString::fromLocal8Bit(port)}, &frame);
    frame.SetView(view);
    CConsoleObservers observers(nullptr, nullptr);
    observers.Attach(view, &frame); // the trend, as the console has it
    frame.show();
    {
        CModalAnswerer answerer;
        view->OnInitialUpdate();
        if (answerer.Count() > 0 || view->m_editVersion->text() != QLatin1String("2000")) {
            std::fprintf(stderr, "bench_pollcost: the simulator did not answer at start-up\n");
            return 1;
        }
    }
    CTickWindow window(ticks);
    window.m_view = view;
    app.installEventFilter(&window);
    app.exec();
    app.removeEventFilter(&window);
    if (g_linkFailed != 0) {
        std::fprintf(stderr, "bench_pollcost: a poll timed out; the figure is void\n");
        return 1;
    }
    std::printf("ticks %d\n", ticks);
    const auto ms = [](const timeval& a, const timeval& b) {
        return double(b.tv_sec - a.tv_sec) * 1e3 + double(b.tv_usec - a.tv_usec) / 1e3;
    };
    // Without valgrind these are the run's own figures: CPU split by where it went,
    // and how often the thread gave up the processor (each wake-up is one).
    std::printf("a tick: user %.3f ms, system %.3f ms, %.1f voluntary context switches\n",
                ms(window.first.ru_utime, window.last.ru_utime) / ticks,
                ms(window.first.ru_stime, window.last.ru_stime) / ticks,
                double(window.last.ru_nvcsw - window.first.ru_nvcsw) / ticks);
    for (const auto& [widget, count] : window.paints)
        std::printf("paints of %s: %.2f a tick\n", qPrintable(widget), double(count) / ticks);
    return 0;
}
