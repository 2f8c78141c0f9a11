#include "ptyline.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace ondrel::sim {

bool CPtyLine::Open(std::string* error)
{
    int mfd = posix_openpt(O_RDWR | O_NOCTTY);
    if (mfd < 0) {
        *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    if (grantpt(mfd) != 0 || unlockpt(mfd) != 0) {
        *error = std::string("cannot unlock the pseudo-terminal: ") + std::strerror(errno);
        close(mfd);
        return false;
    }
    char name[128];
    if (ptsname_r(mfd, name, sizeof name) != 0) {
        *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        close(mfd);
        return false;
    }
    fcntl(mfd, F_SETFD, FD_CLOEXEC);
    fcntl(mfd, F_SETFL, fcntl(mfd, F_GETFL) | O_NONBLOCK);
    int sfd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (sfd < 0) {
        *error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        close(mfd);
        return false;
    }
    termios t{};
    if (tcgetattr(sfd, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(sfd, TCSANOW, &t);
    }
    m_master = mfd;
    m_slave = sfd;
    m_slavePath = name;
    return true;
}

void CPtyLine::Close()
{
    if (m_master >= 0)
        close(m_master);
    if (m_slave >= 0)
        close(m_slave);
    m_master = m_slave = -1;
}

ssize_t CPtyLine::Write(const char* data, std::size_t n)
{
    if (m_master < 0) {
        errno = EBADF;
        return -1;
    }
    return write(m_master, data, n);
}

bool CPtyLine::MakeLink(std::string* error)
{
    if (m_linkPath.empty())
        return true;
    const std::string& path = m_linkPath;
    struct stat st
    {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // Made beside the target name and renamed over it, so the path never
    // goes missing while it is repointed.
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(m_slavePath.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        *error = "cannot make the link " + path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    m_linkMade = true;
    return true;
}

// Removes the link only while it still points at our line, so a second
// simulator that took the name over keeps it.
void CPtyLine::RemoveLink()
{
    if (!m_linkMade)
        return;
    m_linkMade = false;
    char buf[256];
    ssize_t n = readlink(m_linkPath.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, std::size_t(n)) == m_slavePath)
        unlink(m_linkPath.c_str());
}

} // namespace ondrel::sim
