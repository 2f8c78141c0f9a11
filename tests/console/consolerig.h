// One console on a fake port and a virtual clock: a fresh view with every flag
// back at its program-start value, the modal boxes answered, the status bar
// recorded.
#pragma once

#include "consolestate.h"
#include "fakeport.h"
#include "frames.h"
#include "modalanswerer.h"
#include "ondrelview.h"
#include "virtualclock.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimerEvent>
#include <memory>

namespace ondrel {

inline QByteArray Frame(const frames::Command& c)
{
    return QByteArray(c.frame);
}

struct CConsoleRig
{
    CVirtualClock clock; // must outlive the port inside the view
    CModalAnswerer answerer;
    QStringList status;
    std::unique_ptr<COndrelView> view;
    CFakePort* port = nullptr;

    CConsoleRig()
    {
        ResetConsoleState();
        view = std::make_unique<COndrelView>();
        view->m_wait.SetClock(&clock);
        auto owned = std::make_unique<CFakePort>(&clock);
        port = owned.get();
        view->m_comm.SetDevice(std::move(owned));
        QObject::connect(view.get(), &COndrelView::statusMessage,
                         [this](const QString& text) { status << text; });
    }

    // Answers every command frame, the operator ones with a reply of their own length.
    void AnswerAll(const QByteArray& flt = frames::kNoFaultReply,
                   const QByteArray& mon = "\x02"
                                           "0805 1100 0250 0000\r")
    {
        std::vector<std::pair<QByteArray, QByteArray>> table{
            {Frame(frames::kReadVersion), frames::kVersion2000Reply},
            {Frame(frames::kReadFaults), flt},
            {Frame(frames::kReadMonitor), mon}};
        for (const auto& c :
             {frames::kVoltage805, frames::kVoltageZero, frames::kCurrent1100, frames::kCurrentZero,
              frames::kEnable, frames::kDisable, frames::kClearFaults})
            table.emplace_back(Frame(c), QByteArray(c.replyLength, 'k'));
        port->AnswerFrames(table);
    }

    // Started against a generator that answers, with the start-up's frames forgotten.
    void StartAnswered()
    {
        AnswerAll();
        view->OnInitialUpdate();
        port->ClearWritten();
    }

    // A tick as the event loop delivers it.
    void Tick()
    {
        QTimerEvent tick(1);
        QCoreApplication::sendEvent(view.get(), &tick);
    }
};

} // namespace ondrel
