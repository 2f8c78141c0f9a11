// What a benchmark measures of its own process: CPU time, a /proc/self/status
// figure (VmRSS, VmHWM), and a percentile of what it timed.
#pragma once

#include <QByteArray>
#include <QFile>
#include <algorithm>
#include <sys/resource.h>
#include <vector>

namespace ondrel::bench {

inline double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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
