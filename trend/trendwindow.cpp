#include "trendwindow.h"

#include "trendmath.h"

#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QDir>
#include <QFileDialog>
#include <QGraphicsLineItem>
#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>

namespace ondrel {

namespace {

struct StripLook
{
    const char* axisTitle;
    const char* accessibleName;
    QColor color;
};

const StripLook kLooks[CTrendModel::QuantityCount] = {
    {"kV", "kV trend", QColor(0x1f, 0x5f, 0xbf)},
    {"\u00b5A", "\u00b5A trend", QColor(0x2a, 0x8a, 0x2a)},
    {"Temperature", "Temperature trend", QColor(0xc0, 0x50, 0x10)},
};

// Space around each plot area, the same in all three charts so that one moment
// stands at the same x in each; the last chart adds room for the time labels.
constexpr qreal kPlotLeft = 72;
constexpr qreal kPlotRight = 32;
constexpr qreal kPlotTop = 12;
constexpr qreal kPlotBottom = 8;
constexpr qreal kTimeLabels = 32;

// Above the plot background, under the grid and the lines.
constexpr qreal kShadeZ = 1.5;
// Above the lines.
constexpr qreal kMarkZ = 20;

const QColor kShadeColor(255, 190, 0, 70);
const QColor kMarkColor(0xc0, 0x10, 0x10);

// A chart view whose plot area is placed by hand (see kPlotLeft).
class CStripView : public QChartView
{
public:
    CStripView(QChart* chart, bool timeLabels, std::function<void()> placed)
        : QChartView(chart), m_bottom(kPlotBottom + (timeLabels ? kTimeLabels : 0)),
          m_placed(std::move(placed))
    {}

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QChartView::resizeEvent(event);
        const QSizeF size = chart()->size();
        chart()->setPlotArea(QRectF(kPlotLeft, kPlotTop, size.width() - kPlotLeft - kPlotRight,
                                    size.height() - kPlotTop - m_bottom));
        m_placed();
    }

private:
    qreal m_bottom;
    std::function<void()> m_placed;
};

QString DefaultFileName()
{
    return QDir::home().filePath(
        QStringLiteral("trend-%1.png")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
}

} // namespace

CTrendWindow::CTrendWindow(QWidget* owner) : QWidget(owner, Qt::Window)
{
    setWindowTitle(QStringLiteral("Trend - Ondrel"));
    setAttribute(Qt::WA_DeleteOnClose, false);

    m_charts = new QWidget(this);
    auto* chartsLayout = new QVBoxLayout(m_charts);
    chartsLayout->setContentsMargins(0, 0, 0, 0);
    chartsLayout->setSpacing(0);
    for (int q = 0; q < CTrendModel::QuantityCount; ++q) {
        Strip& strip = m_strips[q];
        const bool last = q == CTrendModel::QuantityCount - 1;
        strip.chart = new QChart;
        strip.chart->legend()->hide();
        strip.chart->setMargins(QMargins(0, 0, 0, 0));
        strip.chart->setBackgroundRoundness(0);
        strip.time = new QDateTimeAxis;
        strip.time->setFormat(QStringLiteral("HH:mm:ss"));
        strip.time->setTickCount(6);
        strip.time->setLabelsVisible(last);
        strip.values = new QValueAxis;
        strip.values->setTitleText(QString::fromUtf8(kLooks[q].axisTitle));
        strip.values->setLabelFormat(QStringLiteral("%.1f"));
        strip.values->setTickCount(kValueTicks);
        strip.chart->addAxis(strip.time, Qt::AlignBottom);
        strip.chart->addAxis(strip.values, Qt::AlignLeft);
        // An axis without a series from the start is never drawn.
        AddLine(strip, CTrendModel::Quantity(q));

        strip.stopped = new QGraphicsSimpleTextItem(strip.chart);
        strip.stopped->setZValue(kMarkZ);
        QFont bold = strip.stopped->font();
        bold.setBold(true);
        strip.stopped->setFont(bold);
        strip.stopped->setBrush(kMarkColor);
        strip.stopped->hide();

        strip.view = new CStripView(strip.chart, last, [this, q] {
            if (Drawing())
                LayoutDecorations(m_strips[q]);
        });
        strip.view->setAccessibleName(QString::fromUtf8(kLooks[q].accessibleName));
        strip.view->setMinimumHeight(120);
        chartsLayout->addWidget(strip.view, 1);
    }

    auto* save = new QPushButton(QStringLiteral("Save Image..."), this);
    connect(save, &QPushButton::clicked, this, &CTrendWindow::OnSaveImage);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(save);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_charts, 1);
    layout->addLayout(buttons);
    resize(760, 560);

    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(kRefreshPeriod);
    connect(&m_refreshTimer, &QTimer::timeout, this, &CTrendWindow::Refresh);
}

CTrendWindow::~CTrendWindow() = default;

QChartView* CTrendWindow::ChartView(CTrendModel::Quantity quantity) const
{
    return m_strips.at(quantity).view;
}

void CTrendWindow::AddReading(const Reading& reading)
{
    m_model.AddReading(reading);
    ScheduleRefresh();
}

void CTrendWindow::AddEvent(const ConsoleEvent& event)
{
    m_model.AddEvent(event);
    ScheduleRefresh();
}

bool CTrendWindow::Drawing() const
{
    return isVisible() && !isMinimized();
}

void CTrendWindow::ScheduleRefresh()
{
    if (Drawing() && !m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void CTrendWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Refresh();
    emit visibilityChanged(true);
}

void CTrendWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    m_refreshTimer.stop();
    emit visibilityChanged(isVisible());
}

void CTrendWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    if (isMinimized())
        m_refreshTimer.stop();
    else if (Drawing())
        Refresh();
}

void CTrendWindow::Refresh()
{
    if (m_model.Revision() == m_drawnRevision)
        return;
    m_drawnRevision = m_model.Revision();
    ++m_refreshes;
    m_end = m_model.EndMsecs().value_or(QDateTime::currentMSecsSinceEpoch());
    m_begin = m_end - kShown.count();
    for (int q = 0; q < CTrendModel::QuantityCount; ++q) {
        Strip& strip = m_strips[q];
        strip.time->setRange(QDateTime::fromMSecsSinceEpoch(m_begin),
                             QDateTime::fromMSecsSinceEpoch(m_end));
        RefreshLines(strip, CTrendModel::Quantity(q));
        LayoutDecorations(strip);
    }
}

void CTrendWindow::RefreshLines(Strip& strip, CTrendModel::Quantity quantity)
{
    const double columns = std::max(strip.chart->plotArea().width(), 100.0);
    const TrendLines lines = LinesOf(m_model.Samples(), quantity, m_begin, m_end, columns);
    const std::vector<QList<QPointF>>& runs = lines.runs;

    while (strip.lines.size() < runs.size())
        AddLine(strip, quantity);
    for (size_t i = 0; i < strip.lines.size(); ++i) {
        QLineSeries* series = strip.lines[i];
        if (i < runs.size()) {
            // A lone number between gaps has no line to show it.
            series->setPointsVisible(runs[i].size() == 1);
            series->replace(runs[i]);
        } else if (series->count() > 0) {
            series->clear();
        }
    }

    const AxisRange& range = lines.values;
    // A new range lays out the labels and every line again: only when it changed.
    if (range.from != strip.values->min() || range.to != strip.values->max()) {
        strip.values->setTickCount(range.ticks);
        strip.values->setRange(range.from, range.to);
    }
}

void CTrendWindow::AddLine(Strip& strip, CTrendModel::Quantity quantity)
{
    auto* series = new QLineSeries;
    series->setPen(QPen(kLooks[quantity].color, 1));
    strip.chart->addSeries(series);
    series->attachAxis(strip.time);
    series->attachAxis(strip.values);
    strip.lines.push_back(series);
}

void CTrendWindow::LayoutDecorations(Strip& strip)
{
    const QRectF plot = strip.chart->plotArea();
    if (plot.width() <= 0 || m_end <= m_begin)
        return;
    const double scale = plot.width() / double(m_end - m_begin);
    auto xOf = [&](qint64 msecs) {
        return plot.left() + std::clamp(double(msecs - m_begin) * scale, 0.0, plot.width());
    };

    size_t shade = 0;
    for (const CTrendModel::Span& span : m_model.XraySpans()) {
        const qint64 end = span.end.value_or(m_end);
        if (end < m_begin || span.begin > m_end)
            continue;
        if (shade == strip.shades.size()) {
            auto* item = new QGraphicsRectItem(strip.chart);
            item->setPen(Qt::NoPen);
            item->setBrush(kShadeColor);
            item->setZValue(kShadeZ);
            strip.shades.push_back(item);
        }
        const double left = xOf(span.begin);
        strip.shades[shade]->setRect(left, plot.top(), std::max(1.0, xOf(end) - left),
                                     plot.height());
        strip.shades[shade]->show();
        ++shade;
    }
    for (; shade < strip.shades.size(); ++shade)
        strip.shades[shade]->hide();

    size_t mark = 0;
    qreal labelRight = -1;
    int row = 0;
    for (const CTrendModel::Marker& marker : m_model.Markers()) {
        if (marker.msecs < m_begin || marker.msecs > m_end)
            continue;
        if (mark == strip.marks.size()) {
            auto* line = new QGraphicsLineItem(strip.chart);
            line->setPen(QPen(kMarkColor, 1.5, Qt::DashLine));
            line->setZValue(kMarkZ);
            auto* label = new QGraphicsSimpleTextItem(strip.chart);
            label->setBrush(kMarkColor);
            label->setZValue(kMarkZ);
            strip.marks.push_back(line);
            strip.labels.push_back(label);
        }
        const double x = xOf(marker.msecs);
        strip.marks[mark]->setLine(x, plot.top(), x, plot.bottom());
        QGraphicsSimpleTextItem* label = strip.labels[mark];
        label->setText(marker.label);
        // Right of its line, or left of it at the plot's end; labels that would
        // overlap the one before go a row lower.
        const qreal width = label->boundingRect().width();
        const qreal left = x + 3 + width <= plot.right() ? x + 3 : x - 3 - width;
        row = left <= labelRight ? row + 1 : 0;
        label->setPos(left, plot.top() + 2 + row * label->boundingRect().height());
        labelRight = left + width;
        strip.marks[mark]->show();
        label->show();
        ++mark;
    }
    for (; mark < strip.marks.size(); ++mark) {
        strip.marks[mark]->hide();
        strip.labels[mark]->hide();
    }

    const QString stopped = m_model.StoppedText();
    strip.stopped->setVisible(!stopped.isEmpty());
    if (!stopped.isEmpty()) {
        strip.stopped->setText(stopped);
        const QRectF box = strip.stopped->boundingRect();
        strip.stopped->setPos(plot.center().x() - box.width() / 2,
                              plot.bottom() - box.height() - 4);
    }
}

bool CTrendWindow::SaveImage(const QString& path, QString* error)
{
    Refresh();
    const QImage image = m_charts->grab().toImage();
    QImageWriter writer(path, "png");
    if (!writer.write(image)) {
        *error = writer.errorString();
        return false;
    }
    return true;
}

void CTrendWindow::OnSaveImage()
{
    const QString suggestion = DefaultFileName();
    const QString path =
        m_prompt ? m_prompt(this, suggestion)
                 : QFileDialog::getSaveFileName(this, QStringLiteral("Save Image"), suggestion,
                                                QStringLiteral("PNG images (*.png)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!SaveImage(path, &error)) {
        QMessageBox::warning(this, QStringLiteral("Ondrel"),
                             QStringLiteral("The image could not be saved to %1: %2")
                                 .arg(QDir::toNativeSeparators(path), error));
    }
}

void CTrendWindow::SetGeneratorName(const QString& name)
{
    setWindowTitle(QStringLiteral("Trend - %1 - Ondrel").arg(name));
}

} // namespace ondrel
