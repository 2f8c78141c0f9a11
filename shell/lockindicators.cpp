#include "lockindicators.h"

#include "lockkeys.h"
#include "resource.h"
#include "stringtable.h"

#include <QLabel>
#include <QStatusBar>
#include <QTimer>

namespace ondrel {

namespace {

constexpr int kLockKeyPollMs = 250;
constexpr int kIndicators[] = {ID_INDICATOR_CAPS, ID_INDICATOR_NUM, ID_INDICATOR_SCRL};

} // namespace

CLockIndicators::CLockIndicators(QStatusBar* bar) : QObject(bar)
{
    for (int id : kIndicators) {
        auto* label = new QLabel(LoadString(id), bar);
        label->setObjectName(QStringLiteral("indicator%1").arg(id));
        label->setProperty("indicatorId", id);
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(LoadString(id)) + 8);
        bar->addPermanentWidget(label);
        m_indicators[id] = label;
    }
    if (ReadLockKeys()) {
        m_timer = new QTimer(this);
        connect(m_timer, &QTimer::timeout, this, &CLockIndicators::Update);
        m_timer->start(kLockKeyPollMs);
        Update();
    } else {
        for (const auto& [id, label] : m_indicators) {
            label->setEnabled(false);
            label->setToolTip(QStringLiteral("The lock keys cannot be read on this platform"));
        }
    }
}

QLabel* CLockIndicators::Indicator(int indicatorId) const
{
    const auto it = m_indicators.find(indicatorId);
    return it == m_indicators.end() ? nullptr : it->second;
}

void CLockIndicators::Update()
{
    const std::optional<LockKeys> keys = ReadLockKeys();
    m_indicators[ID_INDICATOR_CAPS]->setEnabled(keys && keys->caps);
    m_indicators[ID_INDICATOR_NUM]->setEnabled(keys && keys->num);
    m_indicators[ID_INDICATOR_SCRL]->setEnabled(keys && keys->scroll);
}

} // namespace ondrel
