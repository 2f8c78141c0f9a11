// COndrelView: the control form and the console logic behind it.
#pragma once

#include "exchange.h"
#include "frames.h"
#include "model.h"
#include "mscomm.h"
#include "portadvice.h"

#include <QByteArray>
#include <QPointer>
#include <QScrollArea>
#include <QString>
#include <QStringList>

class QCheckBox;
class QLineEdit;
class QMessageBox;
class QPainter;
class QPrinter;

namespace ondrel {

// What a console is given from outside when it is made.
struct CViewContext
{
    // The device the generator's port stands for; empty: the first serial port.
    QString port;
};

class COndrelView : public QScrollArea
{
    Q_OBJECT
public:
    explicit COndrelView(QWidget* parent = nullptr);
    explicit COndrelView(const CViewContext& context, QWidget* parent = nullptr);
    ~COndrelView() override;

    // Start-up: binds the controls, fits the frame, opens the port, reads the
    // firmware revision and starts the 200 ms poll. Runs again after New/Open;
    // a repeated run leaves an open port and the running timer alone.
    void OnInitialUpdate();

    // Operations of the console.
    void ReadVersion();
    bool WaitForReply(int n);
    void PollStatus();
    void OnXrayOnOff();
    void OnClearFaults();

    // Whether a missing reply to an operator command opens the time-out box.
    enum class Prompt
    {
        Always,
        Never
    };

    // Closing with X-rays on: the X-Ray On/Off box is checked, or the last ENBL0
    // went unanswered; switching off is the operator's own unchecking (ENBL0;
    // with Prompt::Never a time-out is only announced, for a process that ends
    // without a person to click); an operator command whose exchanges are
    // unfinished (its time-out box is up). SwitchOffXrays is false when ENBL0 got
    // no reply.
    bool XraysMayBeOn() const;
    // Since when X-rays may be on for want of an answer to ENBL0; invalid once
    // an ENBL0 was answered, or before any went unanswered.
    QDateTime OffUnansweredSince() const { return m_offUnansweredSince; }
    bool SwitchOffXrays(Prompt prompt = Prompt::Always);
    bool InOperatorExchange() const;
    // For a process that is ending: no poll starts any more, the box the view
    // has open is closed as if answered, and the running command sends none of
    // its remaining frames (a switch-on cut short must not enable the generator
    // after its ENBL0).
    void StopForExit();
    // Where the serial ports offered after a failed open come from.
    void SetPortLister(SerialPortLister lister) { m_portLister = std::move(lister); }

    // Print hooks: the page loop runs, the pages stay empty.
    void OnBeginPrinting(QPainter* painter, QPrinter* printer);
    void OnPrint(QPainter* painter, QPrinter* printer, int page);
    void OnEndPrinting(QPainter* painter, QPrinter* printer);

    QWidget* Form() const { return m_form; }
    bool TimerRunning() const { return m_timerId != 0; }

    // The operator's time-out message, shared by the version read and the commands.
    static const char* const kTimeOutText;
    // Tooltip and status text of read-outs that no longer update.
    static const char* const kReadingsStoppedText;

    // Bound controls, in binding order.
    QLineEdit* m_editFaults = nullptr;
    QLineEdit* m_editTemperature = nullptr;
    QLineEdit* m_editMicroamps = nullptr;
    QLineEdit* m_editKilovolts = nullptr;
    QCheckBox* m_checkXray = nullptr;
    QCheckBox* m_checkCurrent = nullptr;
    QCheckBox* m_checkVoltage = nullptr;
    QLineEdit* m_editVersion = nullptr;
    CMSComm m_comm;
    // The clock and the busy pointer of this console's waits; tests give it a virtual clock.
    CWaitContext m_wait;

signals:
    // Text for the frame's status-bar message pane.
    void statusMessage(const QString& text);
    // For observers, at the moment the form changes: a completed poll, and each
    // console event. Receivers must not block; the view keeps nothing of either.
    void readingTaken(const ondrel::Reading& reading);
    void consoleEvent(const ondrel::ConsoleEvent& event);
    // ENBL0 went unanswered (since that time), or an ENBL0 was answered at last
    // (an invalid time).
    void offUnanswered(const QDateTime& since);

protected:
    void DoDataExchange();
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool Bound() const;
    void FitFrameToForm();
    bool OpenPort();
    // Version read and operator commands: a missing reply shows the time-out box,
    // and the reply is read regardless.
    QByteArray CommandExchange(const frames::Command& command);
    // Status poll: a missing reply is reported as false and nothing is read.
    bool PollExchange(const QByteArray& frame, int replyLength, QByteArray* reply);
    // Each true when its reply came and its fields were written.
    bool PollFaults();
    bool PollMonitor();
    void ShowTimeOutBox();
    void ShowReadingsStopped(const QString& statusText);
    void ReportFailure(const QString& text);
    void ReleaseDeadPort();
    void Announce(EventKind kind, const QString& detail = QString());
    void AnnounceStop();
    void EndCommand();
    void SetOffConfirmed(bool confirmed);
    int RunBox(QMessageBox& box);

    QWidget* m_form = nullptr;
    // The running operator command's state, for an ending process to cut short.
    Prompt m_prompt = Prompt::Always;
    bool m_commandTimedOut = false;
    QStringList m_unanswered; // the running command's frames without a reply
    QDateTime m_offUnansweredSince;
    bool m_abandonCommand = false;
    bool m_stoppedForExit = false;
    QPointer<QMessageBox> m_runningBox;
    bool m_stopAnnounced = false;
    int m_timerId = 0;
    SerialPortLister m_portLister = SystemSerialPorts;
};

} // namespace ondrel
