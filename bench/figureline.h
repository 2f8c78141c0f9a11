// One benchmark figure a line, beside its goal and whether it was met.
#pragma once

#include <QString>
#include <cstdio>

namespace ondrel::bench {

inline const char* Verdict(bool met)
{
    return met ? "met" : "NOT MET";
}

inline void Line(const char* figure, const QString& value, const char* goal, bool met)
{
    std::printf("  %-40s %-36s goal %-11s %s\n", figure, qPrintable(value), goal, Verdict(met));
    std::fflush(stdout);
}

} // namespace ondrel::bench
