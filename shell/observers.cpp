#include "observers.h"

#include "mainfrm.h"
#include "mqttpublisher.h"
#include "ondrelview.h"
#include "record.h"
#include "stderrwriter.h"
#include "trendwindow.h"

namespace ondrel {

CConsoleObservers::CConsoleObservers(CExposureRecord* record, CMqttPublisher* telemetry)
    : m_record(record), m_telemetry(telemetry)
{}

void CConsoleObservers::Attach(COndrelView* view, CMainFrame* frame)
{
    // Direct connections throughout: the record only formats the row and hands
    // it to its own writer thread, publishing queues the JSON for the client's
    // thread, and the trend only stores the sample while it is hidden.
    if (m_record) {
        connect(view, &COndrelView::readingTaken, m_record, &CExposureRecord::OnReading);
        connect(view, &COndrelView::consoleEvent, m_record, &CExposureRecord::OnEvent);
        frame->ShowRecording();
        connect(
            m_record, &CExposureRecord::stopped, frame,
            [this, frame](const QString& message) { OnRecordStopped(frame, message); },
            Qt::QueuedConnection);
        // The record may have failed already (its header, on a full disk): queued
        // like the signal, so that the console's own start-up messages come first.
        if (!m_record->Recording())
            QMetaObject::invokeMethod(
                frame,
                [this, frame, text = m_record->StoppedMessage()] { OnRecordStopped(frame, text); },
                Qt::QueuedConnection);
    }
    if (m_telemetry) {
        connect(view, &COndrelView::readingTaken, m_telemetry, &CMqttPublisher::PublishReading);
        connect(view, &COndrelView::consoleEvent, m_telemetry, &CMqttPublisher::PublishEvent);
        connect(m_telemetry, &CMqttPublisher::statusMessage, frame, &CMainFrame::SetMessageText,
                Qt::UniqueConnection);
    }
    if (CTrendWindow* trend = frame->TrendWindow()) {
        connect(view, &COndrelView::readingTaken, trend, &CTrendWindow::AddReading);
        connect(view, &COndrelView::consoleEvent, trend, &CTrendWindow::AddEvent);
    }
}

void CConsoleObservers::OnRecordStopped(CMainFrame* frame, const QString& message)
{
    frame->SetMessageText(message);
    frame->ShowRecordingStopped(message);
    // The status bar's message goes with the next one; the terminal keeps it.
    if (!m_recordStopSaid)
        WriteStderr(QStringLiteral("ondrel: %1\n").arg(message));
    m_recordStopSaid = true;
}

} // namespace ondrel
