// CTrendWindow: "Trend - Ondrel", three strip charts (kV, µA, temperature) on
// one time axis over the last minutes, with X-ray-on spans shaded and
// time-outs marked. It keeps collecting while hidden but draws only while
// shown, and then at most once per refresh period, however fast readings come.
#pragma once

#include "model.h"
#include "trendmodel.h"

#include <QTimer>
#include <QWidget>
#include <array>
#include <chrono>
#include <functional>
#include <vector>

class QChart;
class QChartView;
class QDateTimeAxis;
class QGraphicsLineItem;
class QGraphicsRectItem;
class QGraphicsSimpleTextItem;
class QLineSeries;
class QValueAxis;

namespace ondrel {

class CTrendWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kShown = std::chrono::minutes(10);
    static constexpr std::chrono::milliseconds kRefreshPeriod = std::chrono::seconds(1);

    // A top-level window owned by `owner`; starts hidden.
    explicit CTrendWindow(QWidget* owner);
    ~CTrendWindow() override;

    // "Trend - NAME - Ondrel", for a window that shows one of many generators.
    void SetGeneratorName(const QString& name);

    void AddReading(const ondrel::Reading& reading);
    void AddEvent(const ondrel::ConsoleEvent& event);

    const CTrendModel& Model() const { return m_model; }
    QChartView* ChartView(CTrendModel::Quantity quantity) const;
    // The three charts together: what Save Image writes.
    QWidget* Charts() const { return m_charts; }
    // How often the charts were redrawn from the model.
    int Refreshes() const { return m_refreshes; }
    bool RefreshPending() const { return m_refreshTimer.isActive(); }

    // Writes a PNG of the three charts as they stand now.
    bool SaveImage(const QString& path, QString* error);
    // Asks for the image's file name ("" = cancelled); tests answer instead.
    using FileNamePrompt = std::function<QString(QWidget* parent, const QString& suggestion)>;
    void SetFileNamePrompt(FileNamePrompt prompt) { m_prompt = std::move(prompt); }
    void OnSaveImage();

signals:
    void visibilityChanged(bool visible);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct Strip
    {
        QChartView* view = nullptr;
        QChart* chart = nullptr;
        QDateTimeAxis* time = nullptr;
        QValueAxis* values = nullptr;
        std::vector<QLineSeries*> lines; // one per unbroken run of numbers
        std::vector<QGraphicsRectItem*> shades;
        std::vector<QGraphicsLineItem*> marks;
        std::vector<QGraphicsSimpleTextItem*> labels;
        QGraphicsSimpleTextItem* stopped = nullptr;
    };

    bool Drawing() const;
    void ScheduleRefresh();
    void Refresh();
    void RefreshLines(Strip& strip, CTrendModel::Quantity quantity);
    void AddLine(Strip& strip, CTrendModel::Quantity quantity);
    void LayoutDecorations(Strip& strip);

    CTrendModel m_model;
    QWidget* m_charts = nullptr;
    std::array<Strip, CTrendModel::QuantityCount> m_strips;
    QTimer m_refreshTimer;
    quint64 m_drawnRevision = ~quint64(0);
    qint64 m_begin = 0; // the time axis as last drawn
    qint64 m_end = 0;
    int m_refreshes = 0;
    FileNamePrompt m_prompt;
};

} // namespace ondrel
