// The one place where the console's observers meet each view: the exposure
// record and the MQTT publisher when the command line asked for them, and the
// frame's trend window, which collects from the start whatever the command line
// says. Nothing else connects a view's readings or events.
#pragma once

#include <QObject>
#include <QString>

namespace ondrel {

class CExposureRecord;
class CMainFrame;
class CMqttPublisher;
class COndrelView;

class CConsoleObservers : public QObject
{
    Q_OBJECT
public:
    // Either may be null; both must outlive every view attached here.
    CConsoleObservers(CExposureRecord* record, CMqttPublisher* telemetry);

    // The view's readings and events to each observer, their messages to the
    // frame's status bar.
    void Attach(COndrelView* view, CMainFrame* frame);

private:
    void OnRecordStopped(CMainFrame* frame, const QString& message);

    CExposureRecord* m_record;
    CMqttPublisher* m_telemetry;
    bool m_recordStopSaid = false;
};

} // namespace ondrel
