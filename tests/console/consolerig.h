// One console on a fake port and a virtual clock: a fresh view with every flag
// back at its program-start value, the modal boxes answered, the status bar
// recorded.
#pragma once

#include "commandframe.h"
#include "consolestate.h"
#include "fakeport.h"
#include "frames.h"
#include "modalanswerer.h"
#include "ondrelview.h"
#include "virtualclock.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimerEvent>
#include <algorithm>
#include <memory>

namespace ondrel {

struct CConsoleRig
{
    CVirtualClock clock; // must outlive the port inside the view
    CModalAnswerer answerer;
    QStringList status;
    // Everything the view announced, in order, as AnnouncedText renders it; before
    // the view, which announces its stop while it is destroyed.
    QStringList announced;
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
        QObject::connect(view.get(), &COndrelView::readingTaken, [this](const Reading& r) {
            announced << QStringLiteral("reading %1|%2|%3|%4|%5")
                             .arg(r.kilovolts, r.microamps, r.temperature, r.faults,
                                  Printable(r.faultReply));
        });
        QObject::connect(view.get(), &COndrelView::consoleEvent, [this](const ConsoleEvent& e) {
            announced << (EventKindName(e.kind) + QLatin1Char(' ') + e.detail).trimmed();
        });
    }

    // Bytes with the control and 8-bit ones as \xHH, so that a table can spell them.
    static QString Printable(const QByteArray& bytes)
    {
        QString text;
        for (const char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u > 0x7e)
                text += QStringLiteral("\\x") +
                        QString::number(u, 16).rightJustified(2, QLatin1Char('0')).toUpper();
            else
                text += QLatin1Char(c);
        }
        return text;
    }

    // Answers every command frame, the operator ones with a reply of their own
    // length, except the one whose mnemonic is `unanswered`.
    void AnswerAll(const QByteArray& flt = frames::kNoFaultReply,
                   const QByteArray& mon = "\x02"
                                           "0805 1100 0250 0000\r",
                   const QByteArray& unanswered = QByteArray())
    {
        std::vector<std::pair<QByteArray, QByteArray>> table{
            {Frame(frames::kReadVersion), frames::kVersion2000Reply},
            {Frame(frames::kReadFaults), flt},
            {Frame(frames::kReadMonitor), mon}};
        for (const auto& c :
             {frames::kVoltage805, frames::kVoltageZero, frames::kCurrent1100, frames::kCurrentZero,
              frames::kEnable, frames::kDisable, frames::kClearFaults})
            table.emplace_back(Frame(c), QByteArray(c.replyLength, 'k'));
        if (!unanswered.isEmpty())
            table.erase(std::remove_if(table.begin(), table.end(),
                                       [&](const auto& row) {
                                           return row.first == '\x02' + unanswered + '\r';
                                       }),
                        table.end());
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
