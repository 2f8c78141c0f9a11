// What a benchmark measures of its own process: CPU time (and another's), a /proc/self/status
// figure (VmRSS, VmHWM), and a percentile of what it timed.
#pragma once

#include <QByteArray>
#include <QFile>
#include <algorithm>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace ondrel::bench {

inline double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Another process's CPU time, user and system, from /proc; -1 when it has gone.
inline double ProcessCpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    // The command's name, in parentheses, may hold spaces: count from after it.
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// In kB; -1 when the field cannot be read.
inline long StatusKb(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    return -1;
}

template <typename T> T Percentile(std::vector<T> v, double p)
{
    if (v.empty())
        return T();
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

} // namespace ondrel::bench
