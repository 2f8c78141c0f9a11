#include "ondrelview.h"

#include "busypointer.h"
#include "consolestate.h"
#include "dialogbuilder.h"
#include "dialogtemplate.h"
#include "exchange.h"
#include "replyparse.h"
#include "resource.h"
#include "stderrwriter.h"
#include "topics.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimerEvent>
#include <QVariant>
#include <exception>
#include <stdexcept>

namespace ondrel {

const char* const COndrelView::kTimeOutText = "TimeOut...Restart Application";
const char* const COndrelView::kReadingsStoppedText = "Generator not responding: readings stopped";

namespace {

// The application name, which captions every message box of the console.
const char* const kAppName = "Ondrel";
const char* const kPortSettings = "9600,N,8,1";
constexpr short kCommPort = 1;
constexpr int kPollPeriodMs = kDefaultPeriodMs;

// Runs one piece of a handler and turns whatever it throws into a message, so that
// nothing thrown by the port ever unwinds into the event loop.
template <class F> bool Guarded(F&& body, QString* error)
{
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        *error = QString::fromUtf8(e.what());
    } catch (...) {
        *error = QStringLiteral("Unexpected failure on the generator link");
    }
    if (error->isEmpty())
        *error = QStringLiteral("Failure on the generator link");
    return false;
}

template <class T> T* BindControl(QWidget* form, int id)
{
    T* control = qobject_cast<T*>(DialogItemWidget(form, id));
    if (!control)
        throw std::runtime_error(QStringLiteral("The form has no control %1 of the expected kind")
                                     .arg(id)
                                     .toStdString());
    return control;
}

bool IsChecked(const QCheckBox* box)
{
    return box->checkState() == Qt::Checked;
}

// A frame as an operator reads it: "\x02VP0805\r" is VP0805.
QString Mnemonic(const QByteArray& frame)
{
    QByteArray text = frame;
    if (text.startsWith('\x02'))
        text.remove(0, 1);
    if (text.endsWith('\r'))
        text.chop(1);
    return QString::fromLatin1(text);
}

} // namespace

COndrelView::COndrelView(QWidget* parent) : COndrelView(CViewContext(), parent) {}

COndrelView::COndrelView(const CViewContext& context, QWidget* parent)
    : QScrollArea(parent), m_comm(nullptr, context.port)
{
    // Observers on other threads receive readings and events through queued connections.
    RegisterTelemetryMetaTypes();
    m_form = new QWidget;
    const QSize formSize = BuildDialog(OndrelFormTemplate(), m_form);
    m_form->resize(formSize);
    setWidgetResizable(false);
    setWidget(m_form); // the scroll range is the form's size
    m_wait.SetLongWaitHook(&ShowBusyPointer);

    // The view's event table: fixed for its life, like the form it routes.
    if (auto* xray = qobject_cast<QAbstractButton*>(DialogItemWidget(m_form, IDC_CHECK_XRAY)))
        connect(xray, &QAbstractButton::clicked, this, [this] { OnXrayOnOff(); });
    if (auto* clear = qobject_cast<QAbstractButton*>(DialogItemWidget(m_form, IDC_CLEAR_FAULTS)))
        connect(clear, &QAbstractButton::clicked, this, [this] { OnClearFaults(); });
}

COndrelView::~COndrelView()
{
    // The application's exit destroys the view without closing it.
    AnnounceStop();
}

void COndrelView::Announce(EventKind kind, const QString& detail)
{
    ConsoleEvent event;
    event.time = TelemetryNow();
    event.kind = kind;
    event.detail = detail;
    emit consoleEvent(event);
}

void COndrelView::AnnounceStop()
{
    // Closing and then destroying the view is one stop.
    if (!Bound() || m_stopAnnounced)
        return;
    m_stopAnnounced = true;
    Announce(EventKind::Stop);
}

void COndrelView::DoDataExchange()
{
    // Bind into locals first: a form missing a control leaves the view unbound
    // rather than half bound.
    QLineEdit* faults = BindControl<QLineEdit>(m_form, IDC_FAULTS);
    QLineEdit* temperature = BindControl<QLineEdit>(m_form, IDC_TEMP_MONITOR);
    QLineEdit* microamps = BindControl<QLineEdit>(m_form, IDC_UA_MONITOR);
    QLineEdit* kilovolts = BindControl<QLineEdit>(m_form, IDC_KV_MONITOR);
    QCheckBox* xray = BindControl<QCheckBox>(m_form, IDC_CHECK_XRAY);
    QCheckBox* current = BindControl<QCheckBox>(m_form, IDC_CHECK_MA);
    QCheckBox* voltage = BindControl<QCheckBox>(m_form, IDC_CHECK_KV);
    QLineEdit* version = BindControl<QLineEdit>(m_form, IDC_VERSION);
    // The port itself is m_comm; the form only carries its site.
    BindControl<QWidget>(m_form, IDC_MSCOMM);

    m_editFaults = faults;
    m_editTemperature = temperature;
    m_editMicroamps = microamps;
    m_editKilovolts = kilovolts;
    m_checkXray = xray;
    m_checkCurrent = current;
    m_checkVoltage = voltage;
    m_editVersion = version;
}

bool COndrelView::Bound() const
{
    return m_editFaults && m_editTemperature && m_editMicroamps && m_editKilovolts && m_checkXray &&
           m_checkCurrent && m_checkVoltage && m_editVersion;
}

void COndrelView::OnInitialUpdate()
{
    QString error;
    const bool ok = Guarded(
        [this] {
            DoDataExchange();
            FitFrameToForm();
            // After New or Open the port is already open and the revision already
            // shown: reopening would fail on our own handle.
            if (!m_comm.GetPortOpen() && OpenPort())
                ReadVersion();
        },
        &error);
    if (!ok) {
        EndCommand();
        ReportFailure(error);
    }
    // One timer for the life of the view, even when the port failed: a tick with
    // g_linkFailed set costs nothing. A later start-up (New, Open) retries a port
    // that failed to open, so the operator commands can work again; polling, once
    // stopped, stays stopped for the process, as after a timed-out poll.
    if (m_timerId == 0 && !m_stoppedForExit)
        m_timerId = startTimer(kPollPeriodMs);
}

void COndrelView::FitFrameToForm()
{
    QWidget* frame = window();
    if (QLayout* layout = frame->layout())
        layout->activate();
    // The view's own size rather than its viewport's: before the first show the
    // viewport has not been laid out yet, while the view has its final geometry.
    const int border = 2 * frameWidth();
    const QSize fit = frame->size() - size() + m_form->size() + QSize(border, border);
    const QSize target = frame->size().boundedTo(fit); // shrink only
    if (target != frame->size())
        frame->resize(target);
}

bool COndrelView::OpenPort()
{
    QString error;
    const bool opened = Guarded(
        [this] {
            m_comm.SetCommPort(kCommPort);
            m_comm.SetSettings(QString::fromLatin1(kPortSettings));
            m_comm.SetInputLen(1);
            m_comm.SetInputMode(0);
            m_comm.SetPortOpen(true);
        },
        &error);
    if (opened) {
        Announce(EventKind::Start,
                 QStringLiteral("%1 %2").arg(m_comm.DevicePath(), m_comm.GetSettings()));
        return true;
    }

    const QString device = m_comm.DevicePath();
    Announce(EventKind::PortError,
             error.contains(device) ? error : QStringLiteral("%1: %2").arg(device, error));
    QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kAppName), error, QMessageBox::Ok,
                    window());
    const QString advice =
        PortOpenAdvice(error, m_portLister ? m_portLister() : QList<SerialPortEntry>());
    box.setInformativeText(advice);
    // Started from a terminal, the operator may never see the box.
    WriteStderr(QStringLiteral("ondrel: %1\n%2").arg(error, advice));
    RunBox(box);
    // Without a port every poll would fail anyway; stopping polling here keeps the
    // console usable (the operator commands still report their own failures).
    g_linkFailed = 1;
    EndCommand();
    ShowReadingsStopped(error);
    return false;
}

void COndrelView::ShowTimeOutBox()
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kAppName),
                    QString::fromLatin1(kTimeOutText), QMessageBox::Ok, window());
    RunBox(box);
}

int COndrelView::RunBox(QMessageBox& box)
{
    m_runningBox = &box;
    const int answer = box.exec();
    m_runningBox = nullptr;
    return answer;
}

bool COndrelView::WaitForReply(int n)
{
    return ondrel::WaitForReply(m_comm, n, m_wait);
}

QByteArray COndrelView::CommandExchange(const frames::Command& command)
{
    if (m_abandonCommand) {
        // Never sent is never answered: a switch-off cut short confirms nothing.
        m_unanswered << Mnemonic(QByteArray(command.frame));
        return QByteArray();
    }
    m_comm.SetOutput(QVariant(QString::fromLatin1(command.frame)));
    m_comm.SetInputLen(static_cast<short>(command.replyLength));
    if (!WaitForReply(command.replyLength)) {
        Announce(EventKind::Timeout, Mnemonic(QByteArray(command.frame)));
        m_unanswered << Mnemonic(QByteArray(command.frame));
        m_commandTimedOut = true;
        if (m_prompt == Prompt::Always)
            ShowTimeOutBox();
    }
    // Read even after a time-out: whatever part of the reply came is taken, so it
    // does not spoil the next exchange's count.
    return ReplyText(m_comm.GetInput());
}

bool COndrelView::PollExchange(const QByteArray& frame, int replyLength, QByteArray* reply)
{
    m_comm.SetOutput(QVariant(QString::fromLatin1(frame)));
    m_comm.SetInputLen(static_cast<short>(replyLength));
    if (!WaitForReply(replyLength)) {
        Announce(EventKind::Timeout, Mnemonic(frame));
        return false;
    }
    *reply = ReplyText(m_comm.GetInput());
    return true;
}

void COndrelView::ReadVersion()
{
    if (!Bound())
        return;
    g_ready = 0;
    QString error;
    const bool ok = Guarded(
        [this] {
            const QByteArray reply = CommandExchange(frames::kReadVersion);
            if (reply == QByteArray(frames::kVersion2000Reply))
                m_editVersion->setText(QStringLiteral("2000"));
            else
                m_editVersion->setText(QString::fromLatin1(reply));
            Announce(EventKind::Version, m_editVersion->text());
        },
        &error);
    EndCommand();
    if (!ok)
        ReportFailure(error);
}

bool COndrelView::PollFaults()
{
    g_faultReply = QByteArray(frames::kReadFaults.frame);
    QByteArray reply;
    if (!PollExchange(g_faultReply, frames::kReadFaults.replyLength, &reply)) {
        g_linkFailed = 1; // the monitor query of this tick still runs
        return false;
    }
    g_faultReply = reply;
    g_noFaultReply = QByteArray(frames::kNoFaultReply);
    // Emptied and set only when the verdict changes: the field never shows the
    // empty text either way, and an unchanged one then costs no repaint.
    const QString verdict = FaultVerdictText(g_faultReply);
    if (m_editFaults->text() != verdict) {
        m_editFaults->setText(QString());
        m_editFaults->setText(verdict);
    }
    return true;
}

bool COndrelView::PollMonitor()
{
    QByteArray r;
    if (!PollExchange(QByteArray(frames::kReadMonitor.frame), frames::kReadMonitor.replyLength,
                      &r)) {
        g_linkFailed = 1;
        return false;
    }
    const std::optional<MonitorFields> fields = MonitorFieldsFrom(r);
    if (!fields)
        return false; // a reply too short to read: the last readings stay
    // A read-out whose text stays costs nothing, and a selection the operator
    // made in it to copy a reading survives the next poll.
    for (const auto& [field, text] : {std::pair{m_editKilovolts, &fields->kilovolts},
                                      std::pair{m_editMicroamps, &fields->microamps},
                                      std::pair{m_editTemperature, &fields->temperature}})
        if (field->text() != *text)
            field->setText(*text);
    return true;
}

void COndrelView::PollStatus()
{
    const int failedBefore = g_linkFailed;
    QString error;
    bool ok = true;
    if (g_ready == 1 && g_linkFailed == 0 && Bound()) {
        g_polling = 1;
        ok = Guarded(
            [this] {
                const bool faultsShown = PollFaults();
                // A reading is only what this poll put on the form, never a
                // read-out left over from an earlier one.
                if (PollMonitor() && faultsShown)
                    emit readingTaken(Reading::FromForm(
                        TelemetryNow(), m_editKilovolts->text(), m_editMicroamps->text(),
                        m_editTemperature->text(), m_editFaults->text(), g_faultReply));
            },
            &error);
        // A port that fails a property call fails it on every tick: treat it as a
        // generator that stopped answering, so the status bar gets one message
        // instead of five a second and the read-outs are marked stale.
        if (!ok) {
            g_linkFailed = 1;
            ReleaseDeadPort();
        }
    }
    g_polling = 0;
    if (failedBefore == 0 && g_linkFailed == 1) {
        const QString stopped = QString::fromLatin1(kReadingsStoppedText);
        Announce(EventKind::ReadingsStopped, ok ? QString() : error);
        ShowReadingsStopped(ok ? stopped : QStringLiteral("%1 (%2)").arg(stopped, error));
    }
}

void COndrelView::ShowReadingsStopped(const QString& statusText)
{
    // The last readings stay readable but must not pass for live ones.
    for (QLineEdit* field : {m_editKilovolts, m_editMicroamps, m_editTemperature, m_editFaults}) {
        if (!field)
            continue;
        field->setEnabled(false);
        field->setToolTip(QString::fromLatin1(kReadingsStoppedText));
    }
    emit statusMessage(statusText);
}

void COndrelView::OnXrayOnOff()
{
    if (!Bound())
        return;
    // A click is handled only between timer messages, so a poll has always ended
    // here; g_polling can only be 1 if a poll was cut short, and waiting for it
    // would hang the one thread that could clear it.
    g_polling = 0;
    g_ready = 0;
    QString error;
    const bool ok = Guarded(
        [this] {
            // Both presets are read at the click, even when switching off.
            const frames::Command& voltage =
                IsChecked(m_checkVoltage) ? frames::kVoltage805 : frames::kVoltageZero;
            const frames::Command& current =
                IsChecked(m_checkCurrent) ? frames::kCurrent1100 : frames::kCurrentZero;
            m_unanswered.clear();
            if (IsChecked(m_checkXray)) {
                CommandExchange(voltage);
                CommandExchange(current);
                CommandExchange(frames::kEnable);
                if (m_abandonCommand)
                    return;
                // Recorded as on whatever was answered: X-rays may well be on,
                // and the record must not claim the generator took every frame.
                QString detail = QStringList{Mnemonic(QByteArray(voltage.frame)),
                                             Mnemonic(QByteArray(current.frame)),
                                             Mnemonic(QByteArray(frames::kEnable.frame))}
                                     .join(QLatin1Char(' '));
                if (!m_unanswered.isEmpty())
                    detail += QStringLiteral("; unanswered ") + m_unanswered.join(QLatin1Char(' '));
                Announce(EventKind::XrayOn, detail);
            } else {
                CommandExchange(frames::kDisable);
                SetOffConfirmed(m_unanswered.isEmpty());
            }
        },
        &error);
    EndCommand();
    if (!ok)
        ReportFailure(error);
}

void COndrelView::OnClearFaults()
{
    if (!Bound())
        return;
    g_polling = 0; // see OnXrayOnOff
    g_ready = 0;
    QString error;
    const bool ok = Guarded(
        [this] {
            CommandExchange(frames::kClearFaults);
            Announce(EventKind::ClearFaults);
        },
        &error);
    EndCommand();
    if (!ok)
        ReportFailure(error);
}

void COndrelView::SetOffConfirmed(bool confirmed)
{
    // Only the generator's answer to ENBL0 says X-rays are off; until one comes,
    // everything the console tells others goes on treating them as on.
    if (confirmed) {
        Announce(EventKind::XrayOff);
        if (m_offUnansweredSince.isValid()) {
            m_offUnansweredSince = QDateTime();
            emit offUnanswered(QDateTime());
        }
        return;
    }
    Announce(EventKind::XrayOffUnanswered, Mnemonic(QByteArray(frames::kDisable.frame)));
    if (!m_offUnansweredSince.isValid()) {
        m_offUnansweredSince = TelemetryNow();
        emit offUnanswered(m_offUnansweredSince);
    }
}

bool COndrelView::XraysMayBeOn() const
{
    return (m_checkXray && IsChecked(m_checkXray)) || m_offUnansweredSince.isValid();
}

bool COndrelView::SwitchOffXrays(Prompt prompt)
{
    if (!Bound())
        return true;
    m_prompt = prompt;
    m_commandTimedOut = false;
    m_checkXray->setChecked(false);
    OnXrayOnOff();
    m_prompt = Prompt::Always;
    return !m_commandTimedOut;
}

bool COndrelView::InOperatorExchange() const
{
    return g_ready == 0;
}

void COndrelView::StopForExit()
{
    m_stoppedForExit = true;
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
    if (InOperatorExchange())
        m_abandonCommand = true;
    if (m_runningBox)
        m_runningBox->done(QMessageBox::Ok);
}

void COndrelView::EndCommand()
{
    g_ready = 1;
    m_abandonCommand = false;
}

void COndrelView::ReportFailure(const QString& text)
{
    ReleaseDeadPort();
    emit statusMessage(text);
}

void COndrelView::ReleaseDeadPort()
{
    // A line that hung up (cable pulled, adapter unplugged) never comes back on
    // the same handle. Letting go of it is what lets New, a repeated start-up,
    // open the port afresh instead of skipping a port it takes for open.
    if (!m_comm.GetPortOpen())
        return;
    try {
        m_comm.GetInBufferCount();
    } catch (const std::exception&) {
        try {
            m_comm.SetPortOpen(false);
        } catch (const std::exception&) {
        }
    }
}

void COndrelView::OnBeginPrinting(QPainter* painter, QPrinter* printer)
{
    Q_UNUSED(painter);
    Q_UNUSED(printer);
}

void COndrelView::OnPrint(QPainter* painter, QPrinter* printer, int page)
{
    Q_UNUSED(painter);
    Q_UNUSED(printer);
    Q_UNUSED(page);
}

void COndrelView::OnEndPrinting(QPainter* painter, QPrinter* printer)
{
    Q_UNUSED(painter);
    Q_UNUSED(printer);
}

void COndrelView::timerEvent(QTimerEvent* event)
{
    // Any timer message of the view is a poll tick; PollStatus guards itself.
    PollStatus();
    QScrollArea::timerEvent(event);
}

void COndrelView::closeEvent(QCloseEvent* event)
{
    AnnounceStop();
    QString error;
    if (!Guarded([this] { m_comm.SetPortOpen(false); }, &error))
        ReportFailure(error);
    QScrollArea::closeEvent(event);
}

} // namespace ondrel
