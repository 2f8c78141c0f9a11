#include "qserialdevice.h"

#include "parity.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace ondrel {

namespace {

// A flush that makes no progress for this long means the line is stuck (flow
// control held off by a dead peer); give up rather than hang the console.
constexpr std::chrono::milliseconds kWriteStall{2000};

QString SystemReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

bool SetError(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

QString PortReason(const QSerialPort& port)
{
    const QString text = port.errorString();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

} // namespace

// Marks a call of ours into QSerialPort: errors it reports then are handled by
// the caller, not by the event-loop handler.
class CQSerialDevice::CallGuard
{
public:
    explicit CallGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~CallGuard() { --m_depth; }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

private:
    int& m_depth;
};

CQSerialDevice::CQSerialDevice()
{
    // A line that hangs up while the event loop runs leaves the read notifier
    // firing forever (each read returns nothing and reports an error), and the
    // console would spin at full load. Drop the descriptor and remember why.
    QObject::connect(
        &m_port, &QSerialPort::errorOccurred, &m_port, [this](QSerialPort::SerialPortError code) {
            if (m_inCall > 0)
                return;
            if (code == QSerialPort::ReadError)
                Lose(QStringLiteral("the device hung up"));
            else if (code == QSerialPort::ResourceError || code == QSerialPort::WriteError)
                Lose(PortReason(m_port));
        });
}

CQSerialDevice::~CQSerialDevice()
{
    Close();
}

bool CQSerialDevice::Lose(const QString& reason, QString* error)
{
    if (m_lost.isEmpty())
        m_lost = reason;
    if (m_port.isOpen()) {
        CallGuard guard(m_inCall);
        m_port.close();
    }
    return SetError(error, m_lost);
}

bool CQSerialDevice::Usable(QString* error)
{
    if (!m_lost.isEmpty())
        return SetError(error, m_lost);
    if (!m_port.isOpen())
        return SetError(error, QStringLiteral("port not open"));
    return true;
}

bool CQSerialDevice::Open(const QString& path, const LineSettings& settings, QString* error)
{
    CallGuard guard(m_inCall);
    if (IsOpen())
        return SetError(error, QStringLiteral("already open"));

    // QSerialPort's own texts for a missing or forbidden node are vague, so ask the
    // system first: these are the reasons an operator can act on.
    const QByteArray native = QFile::encodeName(path);
    if (::access(native.constData(), F_OK) != 0 || ::access(native.constData(), R_OK | W_OK) != 0)
        return SetError(error, SystemReason(errno));

    m_port.setPortName(path);
    if (!Apply(settings, error))
        return false;
    m_port.clearError();
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError code = m_port.error();
        QString reason = PortReason(m_port);
        // A lock file held by someone else or an exclusive tty both end up here.
        if (code == QSerialPort::PermissionError)
            reason = QStringLiteral("in use by another program (%1)").arg(reason);
        m_port.close();
        return SetError(error, reason);
    }
    m_port.clearError();
    if (!VerifyFraming(settings, error)) {
        m_port.close();
        return false;
    }
    // Characters that reached the line before we opened it cannot answer anything
    // this console sent; left in place they would overshoot the first reply's count
    // and time it out, so a restart would not bring the console back.
    DiscardInput();
    return true;
}

void CQSerialDevice::DiscardInput()
{
    if (m_port.isOpen())
        ::tcflush(m_port.handle(), TCIFLUSH);
}

void CQSerialDevice::Close()
{
    CallGuard guard(m_inCall);
    DisarmWake();
    m_lost.clear();
    if (m_port.isOpen()) {
        // Closing the port empties its receive buffer, as closing the control's
        // does; the kernel keeps a pty's queue while anyone else holds the line open.
        DiscardInput();
        m_port.close();
    }
}

bool CQSerialDevice::IsOpen() const
{
    // A lost line stays open for the caller until it closes it, so every further
    // use reports why instead of a bare "not open".
    return m_port.isOpen() || !m_lost.isEmpty();
}

bool CQSerialDevice::Apply(const LineSettings& s, QString* error)
{
    QSerialPort::StopBits stop = QSerialPort::OneStop;
    switch (s.stopBits) {
    case StopBits::One:
        stop = QSerialPort::OneStop;
        break;
    case StopBits::OneAndHalf:
        // termios has no 1.5 stop bits; QSerialPort would refuse it with a vague text.
        return SetError(error, QStringLiteral("1.5 stop bits are not supported on this system"));
    case StopBits::Two:
        stop = QSerialPort::TwoStop;
        break;
    }
    const auto data = static_cast<QSerialPort::DataBits>(s.dataBits);

    m_port.clearError();
    if (!m_port.setBaudRate(s.baud) || !m_port.setParity(FormsOf(s.parity).port) ||
        !m_port.setDataBits(data) || !m_port.setStopBits(stop) ||
        !m_port.setFlowControl(QSerialPort::NoFlowControl))
        return SetError(error, QStringLiteral("settings refused: %1").arg(PortReason(m_port)));
    if (m_port.isOpen() && !VerifyFraming(s, error))
        return false;
    m_wake.LineSet(s);
    return true;
}

// Some devices (a pty, for one) accept a character format and quietly keep their
// own; a generator spoken to in the wrong format reads garbage, so look.
bool CQSerialDevice::VerifyFraming(const LineSettings& s, QString* error)
{
    termios t{};
    if (::tcgetattr(m_port.handle(), &t) != 0)
        return SetError(error, SystemReason(errno));
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if ((t.c_cflag & CSIZE) != sizes[s.dataBits - 5])
        return SetError(error,
                        QStringLiteral("the device does not take %1 data bits").arg(s.dataBits));
    const ParityForms& parity = FormsOf(s.parity);
    const tcflag_t want = parity.cflag;
    const tcflag_t mask = (want & PARENB) ? (PARENB | PARODD | CMSPAR) : PARENB;
    if ((t.c_cflag & mask) != want)
        return SetError(
            error,
            QStringLiteral("the device does not take %1 parity").arg(QLatin1String(parity.name)));
    if (bool(t.c_cflag & CSTOPB) != (s.stopBits == StopBits::Two))
        return SetError(error, QStringLiteral("the device does not take %1 stop bits")
                                   .arg(s.stopBits == StopBits::Two ? 2 : 1));
    return true;
}

bool CQSerialDevice::Configure(const LineSettings& settings, QString* error)
{
    CallGuard guard(m_inCall);
    if (!Usable(error))
        return false;
    return Apply(settings, error);
}

bool CQSerialDevice::Write(const QByteArray& bytes, QString* error)
{
    CallGuard guard(m_inCall);
    if (!Usable(error))
        return false;
    // Straight to the descriptor: QSerialPort would only queue the frame, arm its
    // write notifier and have the event loop come round once more after the
    // poll for nothing. Its queue is empty, as nothing else writes through it.
    const int fd = m_port.handle();
    const char* next = bytes.constData();
    qint64 left = bytes.size();
    int idleRounds = 0;
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written > 0) {
            next += written;
            left -= written;
            idleRounds = 0;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return Lose(errno == EIO ? QStringLiteral("the device hung up") : SystemReason(errno),
                        error);
        // The kernel's queue is full (flow control held off by a dead peer, or
        // a slow line): wait for room, but never hang the console on it.
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, int(kWriteStall.count()));
        if (ready < 0 && errno != EINTR)
            return SetError(error, SystemReason(errno));
        if (ready == 0)
            return SetError(error, QStringLiteral("the line accepts no data"));
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return Lose(QStringLiteral("the device hung up"), error);
        if (++idleRounds > 100)
            return SetError(error, QStringLiteral("the line accepts no data"));
    }
    m_wake.FrameSent();
    return true;
}

qint64 CQSerialDevice::KernelQueued(QString* error)
{
    const int fd = m_port.handle();
    if (fd < 0) {
        SetError(error, QStringLiteral("the device is gone"));
        return -1;
    }
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0) {
        Lose(SystemReason(errno), error);
        return -1;
    }
    return queued;
}

qint64 CQSerialDevice::BytesAvailable(QString* error)
{
    CallGuard guard(m_inCall);
    if (!Usable(error))
        return -1;
    const qint64 queued = KernelQueued(error);
    if (queued < 0)
        return -1;
    return m_port.bytesAvailable() + queued;
}

QByteArray CQSerialDevice::Read(qint64 maxBytes, QString* error)
{
    CallGuard guard(m_inCall);
    if (!Usable(error))
        return {};
    if (maxBytes <= 0)
        return {};
    // Older bytes first: whatever an event loop has already moved into QSerialPort.
    QByteArray out = m_port.read(std::min(maxBytes, m_port.bytesAvailable()));
    qint64 want = maxBytes - out.size();
    if (want <= 0)
        return out;

    const qint64 queued = KernelQueued(error);
    if (queued < 0)
        return {};
    want = std::min(want, queued);
    const int fd = m_port.handle();
    const qint64 start = out.size();
    out.resize(int(start + want));
    qint64 got = 0;
    while (got < want) {
        const ssize_t r = ::read(fd, out.data() + start + got, size_t(want - got));
        if (r > 0) {
            got += r;
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Lose(SystemReason(errno), error);
            return {};
        } else {
            // Nothing more right now (a raw tty returns 0 when empty): never block.
            break;
        }
    }
    out.resize(int(start + got));
    return out;
}

InputWake CQSerialDevice::ArmWake(qint64 count)
{
    CallGuard guard(m_inCall);
    if (!m_lost.isEmpty() || !m_port.isOpen())
        return {};
    const int fd = m_port.handle();
    // The tty counts only what it holds itself, not what QSerialPort has taken.
    const qint64 target = count - m_port.bytesAvailable();
    if (target <= 0)
        return {fd, 0, true};
    QString ignored;
    const qint64 queued = KernelQueued(&ignored);
    if (queued < 0)
        return {}; // the next look reports why
    return m_wake.Arm(fd, target, queued);
}

void CQSerialDevice::DisarmWake()
{
    CallGuard guard(m_inCall);
    // A line that hung up has no settings left to put back.
    m_wake.Disarm(m_port.isOpen() ? m_port.handle() : -1);
}

} // namespace ondrel
