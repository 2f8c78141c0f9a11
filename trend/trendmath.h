// The trend's arithmetic, apart from any drawing: which of a quantity's readings
// a chart draws, and the value axis that holds them.
#pragma once

#include "trendmodel.h"

#include <QList>
#include <QPointF>
#include <deque>
#include <vector>

namespace ondrel {

// About this many ticks on a value axis.
inline constexpr int kValueTicks = 5;

struct AxisRange
{
    double from = 0;
    double to = 0;
    int ticks = 0;
};

// The range from low to high (low < high) widened to round ticks, 1, 2, 2.5 or
// 5 times a power of ten apart, about `ticks` of them.
AxisRange NiceRange(double low, double high, int ticks);

struct TrendLines
{
    // One line per unbroken run of numbers, points as (msecs, value). Each keeps
    // what a pixel column can show: the column's lowest and highest point in
    // time order, and the run's first and last point.
    std::vector<QList<QPointF>> runs;
    // Room around the lowest and the highest value, never below zero for
    // read-outs that are not, and 0 to 1 with nothing to show.
    AxisRange values;
};

// The lines of `quantity` from `begin` (msecs) on, for a time axis to `end`
// that is `columns` pixels wide. Samples are in time order.
TrendLines LinesOf(const std::deque<CTrendModel::Sample>& samples, CTrendModel::Quantity quantity,
                   qint64 begin, qint64 end, double columns);

} // namespace ondrel
