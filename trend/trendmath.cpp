#include "trendmath.h"

#include <algorithm>
#include <cmath>

namespace ondrel {

namespace {

// Ten minutes of readings are some five points a pixel column; drawing them all
// costs without showing more.
class CColumnThinner
{
public:
    CColumnThinner(qint64 begin, double msecsPerColumn)
        : m_begin(begin), m_msecsPerColumn(msecsPerColumn)
    {}

    void Start(QList<QPointF>* out)
    {
        m_out = out;
        m_count = 0;
    }

    void Add(const QPointF& point)
    {
        m_last = point;
        if (m_out->isEmpty()) {
            m_out->append(point);
            return;
        }
        const qint64 column = qint64(std::floor((point.x() - m_begin) / m_msecsPerColumn));
        if (m_count > 0 && column != m_column)
            Flush();
        if (m_count++ == 0) {
            m_column = column;
            m_low = m_high = point;
        } else if (point.y() < m_low.y()) {
            m_low = point;
        } else if (point.y() > m_high.y()) {
            m_high = point;
        }
    }

    void Finish()
    {
        Flush();
        if (m_out->last() != m_last)
            m_out->append(m_last);
    }

private:
    void Flush()
    {
        if (m_count == 0)
            return;
        const bool lowFirst = m_low.x() <= m_high.x();
        m_out->append(lowFirst ? m_low : m_high);
        if (m_low != m_high)
            m_out->append(lowFirst ? m_high : m_low);
        m_count = 0;
    }

    qint64 m_begin;
    double m_msecsPerColumn;
    QList<QPointF>* m_out = nullptr;
    qint64 m_column = 0;
    int m_count = 0;
    QPointF m_low, m_high, m_last;
};

} // namespace

AxisRange NiceRange(double low, double high, int ticks)
{
    const double rough = (high - low) / (ticks - 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double step = magnitude * 10;
    for (double factor : {1.0, 2.0, 2.5, 5.0}) {
        if (rough <= magnitude * factor) {
            step = magnitude * factor;
            break;
        }
    }
    const double from = std::floor(low / step) * step;
    const double to = std::ceil(high / step) * step;
    return {from, to, int(std::lround((to - from) / step)) + 1};
}

TrendLines LinesOf(const std::deque<CTrendModel::Sample>& samples, CTrendModel::Quantity quantity,
                   qint64 begin, qint64 end, double columns)
{
    auto it = std::lower_bound(
        samples.begin(), samples.end(), begin,
        [](const CTrendModel::Sample& sample, qint64 msecs) { return sample.msecs < msecs; });

    TrendLines lines;
    std::vector<QList<QPointF>>& runs = lines.runs;
    CColumnThinner thinner(begin, double(end - begin) / columns);
    bool open = false;
    double low = HUGE_VAL;
    double high = -HUGE_VAL;
    for (; it != samples.end(); ++it) {
        const std::optional<double>& value = it->value[quantity];
        if (open && (!value || it->breakBefore)) {
            thinner.Finish();
            open = false;
        }
        if (!value)
            continue;
        if (!open) {
            runs.emplace_back();
            thinner.Start(&runs.back());
            open = true;
        }
        thinner.Add(QPointF(it->msecs, *value));
        low = std::min(low, *value);
        high = std::max(high, *value);
    }
    if (open)
        thinner.Finish();

    if (runs.empty()) {
        low = 0;
        high = 1;
    }
    const double pad = high > low ? (high - low) * 0.1 : std::max(1.0, std::abs(high) * 0.05);
    // Read-outs are never negative; an axis below zero would suggest they were.
    lines.values =
        NiceRange(low >= 0 ? std::max(0.0, low - pad) : low - pad, high + pad, kValueTicks);
    return lines;
}

} // namespace ondrel
