// The CAP, NUM and SCRL panes of the status bar: lit while their lock key is
// on, looked at four times a second; greyed, with a tool tip saying why, where
// the platform does not tell.
#pragma once

#include <QObject>
#include <map>

class QLabel;
class QStatusBar;
class QTimer;

namespace ondrel {

class CLockIndicators : public QObject
{
    Q_OBJECT
public:
    // Adds the three panes to the right of `bar`, in that order.
    explicit CLockIndicators(QStatusBar* bar);

    // ID_INDICATOR_CAPS, _NUM or _SCRL; null for any other id.
    QLabel* Indicator(int indicatorId) const;

private:
    void Update();

    std::map<int, QLabel*> m_indicators;
    QTimer* m_timer = nullptr;
};

} // namespace ondrel
