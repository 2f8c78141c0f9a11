#include "ptyend.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace ondrel {

namespace {

// Short slices, so a deadline is kept without a timed poll on the whole of it.
constexpr int kSliceMs = 50;

int SliceOf(const QDeadlineTimer& deadline)
{
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, kSliceMs));
}

} // namespace

CPtyEnd::CPtyEnd()
{
    char name[256] = {};
    if (::openpty(&m_fd, &m_slave, name, nullptr, nullptr) != 0) {
        m_fd = m_slave = -1;
        return;
    }
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
}

CPtyEnd::CPtyEnd(const std::string& device)
{
    m_fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return;
    termios t{};
    if (::tcgetattr(m_fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(m_fd, TCSANOW, &t);
    }
}

CPtyEnd::~CPtyEnd()
{
    Close();
    DropOwnSlave();
}

void CPtyEnd::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void CPtyEnd::DropOwnSlave()
{
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}

bool CPtyEnd::Send(const QByteArray& bytes, int deadlineMs)
{
    QDeadlineTimer deadline(deadlineMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (deadline.hasExpired())
            return false;
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, SliceOf(deadline));
    }
    return true;
}

QByteArray CPtyEnd::Read(qsizetype n, int deadlineMs)
{
    QByteArray out;
    QDeadlineTimer deadline(deadlineMs);
    while (out.size() < n && !deadline.hasExpired()) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, SliceOf(deadline)) <= 0)
            continue;
        char buf[512];
        ssize_t got = ::read(m_fd, buf, size_t(std::min<qsizetype>(n - out.size(), sizeof buf)));
        if (got > 0)
            out.append(buf, got);
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

QByteArray CPtyEnd::Drain()
{
    QByteArray out;
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
            return out;
        char buf[512];
        ssize_t got = ::read(m_fd, buf, sizeof buf);
        if (got <= 0)
            return out;
        out.append(buf, got);
    }
}

QByteArray CPtyEnd::Exchange(const QByteArray& frame, qsizetype replyLength)
{
    if (!Send(frame))
        return {};
    return Read(replyLength);
}

bool CPtyEnd::WaitHangup(int deadlineMs)
{
    QDeadlineTimer deadline(deadlineMs);
    while (!deadline.hasExpired()) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, SliceOf(deadline)) <= 0)
            continue;
        if (p.revents & (POLLHUP | POLLERR))
            return true;
        char c;
        ssize_t got = ::read(m_fd, &c, 1);
        if (got == 0 || (got < 0 && errno == EIO))
            return true;
    }
    return false;
}

termios CPtyEnd::Termios() const
{
    termios t{};
    ::tcgetattr(m_fd, &t);
    return t;
}

} // namespace ondrel
