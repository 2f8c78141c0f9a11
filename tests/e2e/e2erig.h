// The real console against the simulated generator: COndrelView in a main window
// with a status bar, the real CMSComm over QSerialPort on the simulator's pty,
// and the real monotonic wait. Nothing is faked, so every missing reply costs
// the full 3.7 s; the waits here are generous deadlines on conditions, never
// sleeps.
#pragma once

#include "commandframe.h"
#include "consolestate.h"
#include "frames.h"
#include "generatorsim.h"
#include "modalanswerer.h"
#include "mscomm.h"
#include "ondrelview.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QStatusBar>
#include <QTest>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ondrel::e2e {

using Frames = QList<QByteArray>;

// Deadlines for conditions, not expected durations: a poll against silence takes
// two waits of 3.7 s, an X-ray switch-on three, and CI may run under sanitizers.
inline constexpr int kShortDeadlineMs = 5000;
inline constexpr int kLongDeadlineMs = 40000;

inline QByteArray NoFaultReply()
{
    return QByteArray(frames::kNoFaultReply);
}

// A monitor reply holding the given four-digit fields.
inline QByteArray MonitorReply(const char* kv, const char* ua, const char* temp)
{
    return QByteArray("\x02") + kv + ' ' + ua + ' ' + temp + " 0000\r";
}

// The simulator's "next TEXT" for arbitrary bytes: everything outside printable
// ASCII (and the backslash) goes as \xHH, so STX, CR, NUL and 0x80-0xFF survive
// the text command line.
inline std::string NextCommand(const QByteArray& reply)
{
    std::string text = "next ";
    for (char ch : reply) {
        const auto c = static_cast<unsigned char>(ch);
        if (c > 0x20 && c < 0x7F && c != '\\') {
            text += ch;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            text += buf;
        }
    }
    return text;
}

// Counts the timer messages the view receives, to let a few poll ticks pass
// without sleeping for a guessed time.
class CTickCounter : public QObject
{
public:
    int ticks = 0;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Timer)
            ++ticks;
        return QObject::eventFilter(watched, event);
    }
};

// The simulator's traffic, kept for a failing test's report. It must outlive the
// simulator, which logs its last line as it stops.
struct CSimLog
{
    std::mutex mutex;
    std::vector<std::string> lines;
};

class CE2ERig
{
public:
    CModalAnswerer answerer;
    CSimLog simLog;
    sim::CGeneratorSim generator;
    QMainWindow window;
    COndrelView* view = nullptr;
    CTickCounter tickCounter;
    QStringList statusMessages;
    // Frames that reached the generator while a time-out box was up and the poll
    // ticks went on (see WatchBoxes).
    int sentWhileBoxUp = 0;
    int ticksWhileBoxUp = 0;

    explicit CE2ERig(sim::Options options = {}) : generator(WithoutNoise(std::move(options)))
    {
        ResetConsoleState();
        generator.SetLogSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(simLog.mutex);
            simLog.lines.push_back(line);
        });
        view = new COndrelView;
        window.setCentralWidget(view);
        window.statusBar();
        QObject::connect(view, &COndrelView::statusMessage, &window, [this](const QString& text) {
            statusMessages << text;
            window.statusBar()->showMessage(text);
        });
        view->installEventFilter(&tickCounter);
    }

    ~CE2ERig()
    {
        // The simulator's traffic tells more about a failure than any assertion.
        if (QTest::currentTestFailed()) {
            std::lock_guard<std::mutex> lock(simLog.mutex);
            for (const std::string& line : simLog.lines)
                qInfo("sim: %s", line.c_str());
            for (const QString& message : statusMessages)
                qInfo("status bar: %s", qPrintable(message));
        }
    }

    // Starts the generator and points port 1 at it (or at `portPath` when given).
    bool StartGenerator(std::string* error, const QString& portPath = QString())
    {
        if (!generator.Start(error))
            return false;
        view->m_comm.SetPortOverride(portPath.isEmpty() ? SlavePath() : portPath);
        return true;
    }

    QString SlavePath() const { return QString::fromStdString(generator.SlavePath()); }

    // The framework's order: the initial update (with its boxes) before the
    // main window is first shown.
    void StartConsole()
    {
        view->OnInitialUpdate();
        window.show();
    }

    // One control command; empty when the simulator accepted it, else its answer.
    QString Inject(const std::string& command)
    {
        const std::string answer = generator.Command(command);
        return answer.rfind("ok", 0) == 0 ? QString() : QString::fromStdString(answer);
    }

    Frames Received() const
    {
        Frames out;
        for (const std::string& f : generator.ReceivedFrames())
            out << QByteArray::fromStdString(f);
        return out;
    }
    Frames ReceivedSince(int mark) const { return Received().mid(mark); }
    // The simulator reads on its own thread: a wait that ended on characters
    // already waiting can return before the frame it sent has been read there.
    bool WaitForReceived(int count)
    {
        return WaitFor([&] { return ReceivedCount() >= count; }, kShortDeadlineMs);
    }
    int ReceivedCount() const { return int(generator.ReceivedFrames().size()); }
    int ReceivedCount(const frames::Command& c) const { return int(Received().count(Frame(c))); }

    bool WaitFor(const std::function<bool()>& condition, int deadlineMs = kLongDeadlineMs)
    {
        return QTest::qWaitFor(condition, deadlineMs);
    }

    // Lets n more timer messages reach the view.
    bool WaitTicks(int n, int deadlineMs = kShortDeadlineMs)
    {
        const int target = tickCounter.ticks + n;
        return QTest::qWaitFor([&] { return tickCounter.ticks >= target; }, deadlineMs);
    }

    // While each box is up, lets two ticks pass and counts what was sent meanwhile:
    // the poll must stay off while an operator exchange is unfinished.
    void WatchBoxes()
    {
        answerer.SetWhileShown([this](QWidget*, int) {
            const int before = ReceivedCount();
            const int ticks = tickCounter.ticks;
            WaitTicks(2);
            ticksWhileBoxUp += tickCounter.ticks - ticks;
            sentWhileBoxUp += ReceivedCount() - before;
        });
    }

    // Characters waiting at the console's port; -1 when the port cannot say.
    // Callers run inside the event loop (a box's), where nothing may throw.
    int Waiting()
    {
        try {
            return view->m_comm.GetInBufferCount();
        } catch (const CCommError&) {
            return -1;
        }
    }

    QString StatusText() { return window.statusBar()->currentMessage(); }

    QList<QLineEdit*> ReadOuts() const
    {
        return {view->m_editFaults, view->m_editKilovolts, view->m_editMicroamps,
                view->m_editTemperature};
    }
    QStringList ReadOutTexts() const
    {
        QStringList texts;
        for (QLineEdit* field : ReadOuts())
            texts << field->text();
        return texts;
    }

    // Readings from the simulator as it starts: output off, ambient temperature.
    static QStringList IdleReadings()
    {
        return {QStringLiteral("No Error"), QStringLiteral("000.0"), QStringLiteral("0000"),
                QStringLiteral("025.0")};
    }

    bool PollingShows(const QStringList& texts) const { return ReadOutTexts() == texts; }

    // The texts as the operator reads them, so that a changed text fails here.
    static QString TimeOutText() { return QStringLiteral("TimeOut...Restart Application"); }
    static QString StoppedText()
    {
        return QStringLiteral("Generator not responding: readings stopped");
    }

private:
    static sim::Options WithoutNoise(sim::Options options)
    {
        // Exact readings make the fields comparable.
        options.startCommands.insert(options.startCommands.begin(), "noise off");
        return options;
    }
};

} // namespace ondrel::e2e

// Asserts what a console whose poll has stopped for good shows: the last texts
// greyed with the tooltip, and the flags left so that operator commands still run.
#define E2E_VERIFY_READINGS_STOPPED(rig, lastTexts)                                                \
    do {                                                                                           \
        QCOMPARE(g_linkFailed, 1);                                                                 \
        QCOMPARE(g_ready, 1);                                                                      \
        QCOMPARE(g_polling, 0);                                                                    \
        QCOMPARE((rig).ReadOutTexts(), (lastTexts));                                               \
        for (QLineEdit * field : (rig).ReadOuts()) {                                               \
            QVERIFY(!field->isEnabled());                                                          \
            QCOMPARE(field->toolTip(), (rig).StoppedText());                                       \
        }                                                                                          \
    } while (false)
