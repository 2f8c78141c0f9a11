#include "fakeport.h"

#include "virtualclock.h"

#include <algorithm>

namespace ondrel {

namespace {

bool Fail(const QString& text, QString* error)
{
    if (text.isEmpty())
        return false;
    if (error)
        *error = text;
    return true;
}

} // namespace

CFakePort::CFakePort(CVirtualClock* clock) : m_clock(clock) {}

CFakePort::~CFakePort()
{
    DisarmWake();
}

qint64 CFakePort::Now() const
{
    return m_clock ? m_clock->Now() : 0;
}

void CFakePort::Arrive(const QByteArray& bytes, qint64 atMs)
{
    // Insert after every byte due at or before atMs, so bytes scheduled for the
    // same moment keep the order they were scheduled in.
    auto pos = std::upper_bound(m_input.begin(), m_input.end(), atMs,
                                [](qint64 t, const Arrival& a) { return t < a.atMs; });
    std::vector<Arrival> add;
    add.reserve(size_t(bytes.size()));
    for (char c : bytes)
        add.push_back({atMs, c});
    m_input.insert(pos, add.begin(), add.end());
}

void CFakePort::ArriveSpread(const QByteArray& bytes, qint64 firstAtMs, qint64 msPerByte)
{
    for (int i = 0; i < bytes.size(); ++i)
        Arrive(bytes.mid(i, 1), firstAtMs + i * msPerByte);
}

void CFakePort::CancelScheduled()
{
    m_input.resize(size_t(ArrivedCount()));
}

void CFakePort::ClearInput()
{
    m_input.clear();
}

void CFakePort::AnswerFrames(std::vector<std::pair<QByteArray, QByteArray>> table, qint64 delayMs)
{
    SetResponder([this, table = std::move(table), delayMs](const QByteArray& frame) {
        for (const auto& [request, reply] : table) {
            if (request == frame) {
                ArriveIn(reply, delayMs);
                return;
            }
        }
    });
}

void CFakePort::HangUp(const QString& text)
{
    m_countError = text;
    m_readError = text;
    m_writeError = text;
}

int CFakePort::ArrivedCount() const
{
    const qint64 now = Now();
    auto end = std::upper_bound(m_input.begin(), m_input.end(), now,
                                [](qint64 t, const Arrival& a) { return t < a.atMs; });
    return int(end - m_input.begin());
}

QByteArray CFakePort::Pending() const
{
    QByteArray out;
    const int n = ArrivedCount();
    for (int i = 0; i < n; ++i)
        out.append(m_input[size_t(i)].byte);
    return out;
}

int CFakePort::ScheduledCount() const
{
    return int(m_input.size()) - ArrivedCount();
}

void CFakePort::ResetCallCounts()
{
    m_countCalls = 0;
    m_readCalls = 0;
}

bool CFakePort::Open(const QString& path, const LineSettings& settings, QString* error)
{
    ++m_openCalls;
    m_lastOpenPath = path;
    m_openSettings = settings;
    if (Fail(m_openError, error))
        return false;
    m_open = true;
    m_current = settings;
    return true;
}

void CFakePort::Close()
{
    ++m_closeCalls;
    m_open = false;
}

bool CFakePort::Configure(const LineSettings& settings, QString* error)
{
    m_configured.append(settings);
    if (Fail(m_configureError, error))
        return false;
    m_current = settings;
    return true;
}

bool CFakePort::Write(const QByteArray& bytes, QString* error)
{
    if (Fail(m_writeError, error))
        return false;
    if (!m_open)
        return !Fail(QStringLiteral("Bad file descriptor"), error);
    m_written.append(bytes);
    if (m_responder) {
        // Copy first: the responder may replace itself.
        Responder responder = m_responder;
        responder(bytes);
    }
    return true;
}

qint64 CFakePort::BytesAvailable(QString* error)
{
    ++m_countCalls;
    if (Fail(m_countError, error))
        return -1;
    if (!m_open)
        return Fail(QStringLiteral("Bad file descriptor"), error) ? -1 : 0;
    return ArrivedCount();
}

QByteArray CFakePort::Read(qint64 maxBytes, QString* error)
{
    ++m_readCalls;
    if (Fail(m_readError, error))
        return {};
    if (!m_open) {
        Fail(QStringLiteral("Bad file descriptor"), error);
        return {};
    }
    const qint64 n = std::min<qint64>(std::max<qint64>(maxBytes, 0), ArrivedCount());
    QByteArray out;
    out.reserve(int(n));
    for (qint64 i = 0; i < n; ++i)
        out.append(m_input[size_t(i)].byte);
    m_input.erase(m_input.begin(), m_input.begin() + n);
    return out;
}

InputWake CFakePort::ArmWake(qint64 count)
{
    ++m_armCalls;
    if (!m_open || !m_wakeSupported)
        return {};
    m_wakeArmed = true;
    m_wakeCount = count;
    if (m_clock) {
        m_clock->SetInputWake([this]() -> std::optional<qint64> {
            if (m_wakeCount <= 0 || qint64(m_input.size()) < m_wakeCount)
                return std::nullopt;
            return m_input[size_t(m_wakeCount - 1)].atMs;
        });
    }
    return {-1, 0, true};
}

void CFakePort::DisarmWake()
{
    if (!m_wakeArmed)
        return;
    m_wakeArmed = false;
    if (m_clock)
        m_clock->SetInputWake(nullptr);
}

} // namespace ondrel
