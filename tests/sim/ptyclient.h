// The console's end of the simulator's line, as a plain raw termios client, so
// the tests see exactly the bytes a real serial port would.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <string>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

class PtyClient
{
public:
    explicit PtyClient(const std::string& path)
    {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        termios t{};
        if (tcgetattr(m_fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~PtyClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    bool IsOpen() const { return m_fd >= 0; }

    bool Send(const QByteArray& bytes, int deadlineMs = 10000)
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
            ::poll(&p, 1, 50);
        }
        return true;
    }

    // Reads until n bytes have arrived or the deadline passes; returns what came.
    QByteArray Read(qsizetype n, int deadlineMs = 10000)
    {
        QByteArray out;
        QDeadlineTimer deadline(deadlineMs);
        while (out.size() < n && !deadline.hasExpired()) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[512];
            ssize_t got = ::read(m_fd, buf, size_t(std::min<qsizetype>(n - out.size(), 512)));
            if (got > 0)
                out.append(buf, got);
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
        return out;
    }

    // Whatever is waiting now, without waiting for more.
    QByteArray Drain()
    {
        QByteArray out;
        char buf[512];
        ssize_t got;
        while ((got = ::read(m_fd, buf, sizeof buf)) > 0)
            out.append(buf, got);
        return out;
    }

    QByteArray Exchange(const QByteArray& frame, qsizetype replyLength)
    {
        if (!Send(frame))
            return {};
        return Read(replyLength);
    }

    // True once the other end has gone away (the cable was pulled).
    bool WaitHangup(int deadlineMs = 10000)
    {
        QDeadlineTimer deadline(deadlineMs);
        while (!deadline.hasExpired()) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
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

private:
    int m_fd = -1;
};
