#include "fleetwindow.h"

#include "rowsaccessible.h"
#include "tiledelegate.h"
#include "trendwindow.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTimeZone>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace ondrel::fleet {

using namespace std::chrono_literals;

void CTileOrder::SetByName(bool byName)
{
    m_byName = byName;
    invalidate();
    sort(0);
}

bool CTileOrder::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    if (!m_byName) {
        const int a = left.data(CFleetModel::AttentionRole).toInt();
        const int b = right.data(CFleetModel::AttentionRole).toInt();
        if (a != b)
            return a < b;
    }
    return QString::localeAwareCompare(left.data(CFleetModel::NameRole).toString(),
                                       right.data(CFleetModel::NameRole).toString()) < 0;
}

CFleetWindow::CFleetWindow(CFleetModel* model, QWidget* parent)
    : QMainWindow(parent), m_model(model)
{
    setWindowTitle(QStringLiteral("Fleet - Ondrel"));
    resize(1024, 700);

    m_order = new CTileOrder(this);
    m_order->setSourceModel(model);
    m_order->setFilterRole(CFleetModel::NameRole);
    m_order->setFilterCaseSensitivity(Qt::CaseInsensitive);
    // Sorted again as a whole when the model tells of changes, a few times a
    // second at most, rather than row by row as each message comes.
    m_order->setDynamicSortFilter(false);
    m_order->sort(0);
    connect(model, &QAbstractItemModel::dataChanged, m_order, [this] { m_order->sort(0); });

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    auto* bar = new QHBoxLayout;
    auto* filterLabel = new QLabel(QStringLiteral("&Filter:"), central);
    m_filter = new QLineEdit(central);
    m_filter->setPlaceholderText(QStringLiteral("names containing..."));
    m_filter->setClearButtonEnabled(true);
    m_filter->setAccessibleName(QStringLiteral("Filter names"));
    filterLabel->setBuddy(m_filter);
    auto* sortLabel = new QLabel(QStringLiteral("&Sort:"), central);
    m_sort = new QComboBox(central);
    m_sort->addItems({QStringLiteral("Needs attention first"), QStringLiteral("By name")});
    m_sort->setAccessibleName(QStringLiteral("Sort"));
    sortLabel->setBuddy(m_sort);
    bar->addWidget(filterLabel);
    bar->addWidget(m_filter, 1);
    bar->addWidget(sortLabel);
    bar->addWidget(m_sort);
    layout->addLayout(bar);

    auto* splitter = new QSplitter(Qt::Horizontal, central);
    m_tiles = new QListView(splitter);
    MakeRowsAccessible(m_tiles);
    m_tiles->setViewMode(QListView::IconMode);
    m_tiles->setResizeMode(QListView::Adjust);
    m_tiles->setMovement(QListView::Static);
    m_tiles->setWrapping(true);
    m_tiles->setUniformItemSizes(true);
    m_tiles->setGridSize(QSize(CTileDelegate::kWidth, CTileDelegate::kHeight));
    m_tiles->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tiles->setItemDelegate(new CTileDelegate(m_tiles));
    m_tiles->setModel(m_order);
    m_tiles->setAccessibleName(QStringLiteral("Generators"));

    auto* alarmPane = new QWidget(splitter);
    auto* alarmLayout = new QVBoxLayout(alarmPane);
    alarmLayout->setContentsMargins(0, 0, 0, 0);
    auto* alarmLabel = new QLabel(QStringLiteral("&Alarms"), alarmPane);
    m_alarmList = new QListView(alarmPane);
    MakeRowsAccessible(m_alarmList);
    m_alarmList->setModel(model->Alarms());
    m_alarmList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_alarmList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_alarmList->setAccessibleName(QStringLiteral("Alarms"));
    alarmLabel->setBuddy(m_alarmList);
    auto* buttons = new QHBoxLayout;
    m_ack = new QPushButton(QStringLiteral("A&cknowledge"), alarmPane);
    m_ackAll = new QPushButton(QStringLiteral("Acknowledge A&ll"), alarmPane);
    buttons->addWidget(m_ack);
    buttons->addWidget(m_ackAll);
    alarmLayout->addWidget(alarmLabel);
    alarmLayout->addWidget(m_alarmList, 1);
    alarmLayout->addLayout(buttons);
    splitter->addWidget(m_tiles);
    splitter->addWidget(alarmPane);
    splitter->setStretchFactor(0, 4);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);

    m_summary = new QLabel(this);
    m_summary->setTextFormat(Qt::PlainText);
    m_link = new QLabel(this);
    m_link->setTextFormat(Qt::PlainText);
    statusBar()->addWidget(m_summary, 1);
    statusBar()->addPermanentWidget(m_link);

    connect(m_filter, &QLineEdit::textChanged, m_order,
            [this](const QString& text) { m_order->setFilterFixedString(text); });
    connect(m_sort, &QComboBox::currentIndexChanged, m_order,
            [this](int i) { m_order->SetByName(i == 1); });
    connect(m_tiles, &QListView::doubleClicked, this, [this](const QModelIndex& index) {
        OpenTrend(index.data(CFleetModel::NameRole).toString());
    });
    connect(m_tiles, &QListView::activated, this, [this](const QModelIndex& index) {
        OpenTrend(index.data(CFleetModel::NameRole).toString());
    });
    connect(m_ack, &QPushButton::clicked, this, &CFleetWindow::AcknowledgeSelected);
    // Acknowledging is for the alarms the operator picked, never a guess at one.
    m_ack->setEnabled(false);
    const auto picked = [this] {
        m_ack->setEnabled(m_alarmList->selectionModel()->hasSelection());
    };
    connect(m_alarmList->selectionModel(), &QItemSelectionModel::selectionChanged, this, picked);
    connect(model->Alarms(), &QAbstractItemModel::rowsRemoved, this, picked);
    connect(m_ackAll, &QPushButton::clicked, this, [this] { m_model->AcknowledgeAll(); });
    connect(model, &CFleetModel::summaryChanged, this, &CFleetWindow::UpdateSummary);
    connect(model, &CFleetModel::readingReceived, this, &CFleetWindow::OnReading);
    connect(model, &CFleetModel::eventReceived, this, &CFleetWindow::OnEvent);
    // Time alone turns a tile stale and ages its read-outs.
    connect(&m_refresh, &QTimer::timeout, model, &CFleetModel::Refresh);
    m_refresh.start(500ms);
    UpdateSummary();
}

CFleetWindow::~CFleetWindow() = default;

void CFleetWindow::UpdateSummary()
{
    const QString text = m_model->Summary();
    m_summary->setText(text);
    m_summary->setAccessibleName(text);
}

void CFleetWindow::SetLinkMessage(const QString& text)
{
    m_link->setText(text);
    m_link->setAccessibleName(text);
}

void CFleetWindow::AcknowledgeSelected()
{
    // Taken whole first: each acknowledgement may remove or move rows.
    QList<QPair<QString, qint64>> picked;
    for (const QModelIndex& index : m_alarmList->selectionModel()->selectedIndexes())
        picked.append({index.data(CAlarmModel::PrefixRole).toString(),
                       index.data(CAlarmModel::RaiseRole).toLongLong()});
    for (const auto& [prefix, raise] : picked)
        m_model->Acknowledge(prefix, raise);
}

void CFleetWindow::OnReading(const QString& name, const Reading& reading)
{
    if (CTrendWindow* trend = m_trends.value(name)) {
        trend->AddReading(reading);
        return;
    }
    Backlog& b = m_backlogs[name];
    Sample s{reading.time.toMSecsSinceEpoch(), {0, 0, 0}, 0};
    const std::optional<double>* values[3] = {&reading.kilovoltsValue, &reading.microampsValue,
                                              &reading.temperatureValue};
    for (int i = 0; i < 3; ++i) {
        if (*values[i]) {
            s.value[i] = float(**values[i]);
            s.has |= quint8(1u << i);
        }
    }
    b.readings.push_back(s);
    if (int(b.readings.size()) > kBacklogReadings)
        b.readings.pop_front();
}

void CFleetWindow::OnEvent(const QString& name, const ConsoleEvent& event)
{
    if (CTrendWindow* trend = m_trends.value(name)) {
        trend->AddEvent(event);
        return;
    }
    Backlog& b = m_backlogs[name];
    b.events.push_back(event);
    if (int(b.events.size()) > kBacklogEvents)
        b.events.pop_front();
}

CTrendWindow* CFleetWindow::OpenTrend(const QString& name)
{
    if (name.isEmpty())
        return nullptr;
    CTrendWindow* trend = m_trends.value(name);
    if (!trend) {
        trend = new CTrendWindow(this);
        trend->SetGeneratorName(name);
        m_trends.insert(name, trend);
        // What came before the window, in time order across readings and events.
        const Backlog b = m_backlogs.take(name);
        auto r = b.readings.begin();
        auto e = b.events.begin();
        while (r != b.readings.end() || e != b.events.end()) {
            if (e == b.events.end() ||
                (r != b.readings.end() && r->ms <= e->time.toMSecsSinceEpoch())) {
                Reading reading;
                reading.time = QDateTime::fromMSecsSinceEpoch(r->ms, QTimeZone::utc());
                std::optional<double>* values[3] = {
                    &reading.kilovoltsValue, &reading.microampsValue, &reading.temperatureValue};
                for (int i = 0; i < 3; ++i)
                    if (r->has & (1u << i))
                        *values[i] = double(r->value[i]);
                trend->AddReading(reading);
                ++r;
            } else {
                trend->AddEvent(*e);
                ++e;
            }
        }
    }
    trend->show();
    trend->raise();
    trend->activateWindow();
    return trend;
}

} // namespace ondrel::fleet
