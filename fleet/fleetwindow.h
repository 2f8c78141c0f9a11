// "Fleet - Ondrel": every generator under the root as a tile in a grid that
// reflows with the window's width, the alarm list beside it and the summary in
// the status bar. It only shows what the model says and drives nothing: nothing
// here can publish to the broker.
#pragma once

#include "fleetmodel.h"

#include <QHash>
#include <QMainWindow>
#include <QSortFilterProxyModel>
#include <QTimer>
#include <deque>

class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;

namespace ondrel {
class CTrendWindow;
}

namespace ondrel::fleet {

// Needs attention first (state, then name) or by name, and the filter box.
class CTileOrder : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void SetByName(bool byName);
    bool ByName() const { return m_byName; }

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    bool m_byName = false;
};

class CFleetWindow : public QMainWindow
{
    Q_OBJECT
public:
    // What a generator's trend gets before its window is first opened: the
    // latest readings (about two minutes at five a second) and events.
    static constexpr int kBacklogReadings = 600;
    static constexpr int kBacklogEvents = 100;

    explicit CFleetWindow(CFleetModel* model, QWidget* parent = nullptr);
    ~CFleetWindow() override;

    QListView* Tiles() const { return m_tiles; }
    QListView* AlarmList() const { return m_alarmList; }
    QLineEdit* FilterBox() const { return m_filter; }
    QComboBox* SortBox() const { return m_sort; }
    QPushButton* AcknowledgeButton() const { return m_ack; }
    QPushButton* AcknowledgeAllButton() const { return m_ackAll; }
    QLabel* SummaryLabel() const { return m_summary; }
    QLabel* LinkLabel() const { return m_link; }
    CTileOrder* Order() const { return m_order; }

    // The broker link's messages ("Fleet: connected to HOST:PORT", ...).
    void SetLinkMessage(const QString& text);
    // The trend of one generator, made and shown on first use.
    CTrendWindow* OpenTrend(const QString& name);
    CTrendWindow* Trend(const QString& name) const { return m_trends.value(name); }

private:
    struct Sample
    {
        qint64 ms;
        float value[3];
        quint8 has; // bit i: value[i] is a number
    };
    struct Backlog
    {
        std::deque<Sample> readings;
        std::deque<ConsoleEvent> events;
    };

    void OnReading(const QString& name, const Reading& reading);
    void OnEvent(const QString& name, const ConsoleEvent& event);
    void UpdateSummary();
    void AcknowledgeSelected();

    CFleetModel* m_model;
    CTileOrder* m_order = nullptr;
    QListView* m_tiles = nullptr;
    QListView* m_alarmList = nullptr;
    QLineEdit* m_filter = nullptr;
    QComboBox* m_sort = nullptr;
    QPushButton* m_ack = nullptr;
    QPushButton* m_ackAll = nullptr;
    QLabel* m_summary = nullptr;
    QLabel* m_link = nullptr;
    QTimer m_refresh;
    QHash<QString, CTrendWindow*> m_trends;
    QHash<QString, Backlog> m_backlogs;
};

} // namespace ondrel::fleet
