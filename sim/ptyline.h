// The simulator's end of the line: a pseudo-terminal pair in raw mode at 9600
// baud, opened again after a pulled cable, and the symbolic link that gives the
// console a fixed path to it.
#pragma once

#include <string>
#include <sys/types.h>

namespace ondrel::sim {

class CPtyLine
{
public:
    explicit CPtyLine(std::string linkPath) : m_linkPath(std::move(linkPath)) {}
    ~CPtyLine() { Close(); } // the link stays: RemoveLink decides
    CPtyLine(const CPtyLine&) = delete;
    CPtyLine& operator=(const CPtyLine&) = delete;

    // A new pair; the previous one must be closed. False with *error set.
    bool Open(std::string* error);
    void Close();
    bool IsOpen() const { return m_master >= 0; }
    int MasterFd() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }

    ssize_t Write(const char* data, std::size_t n);

    const std::string& LinkPath() const { return m_linkPath; }
    bool LinkMade() const { return m_linkMade; }
    // Points the link at the slave; false with *error set. No link path: nothing to do.
    bool MakeLink(std::string* error);
    void RemoveLink();

private:
    int m_master = -1;
    int m_slave = -1; // ours: keeps the master readable while no console is attached
    std::string m_slavePath;
    std::string m_linkPath;
    bool m_linkMade = false;
};

} // namespace ondrel::sim
