// A pane of its own at the right of the status bar, beside the lock indicators:
// made only on first use, so that a console that never needs it has the bar it
// always had, and left alone by whatever the message pane says meanwhile.
#pragma once

#include <QString>

class QLabel;
class QStatusBar;

namespace ondrel {

class CStatusPane
{
public:
    // `widest` is the longest text the pane will show, which sets its width.
    CStatusPane(QStatusBar* bar, QString objectName, QString widest)
        : m_bar(bar), m_objectName(std::move(objectName)), m_widest(std::move(widest))
    {}

    void Show(const QString& text, const QString& toolTip);
    void Hide();
    // Null until first shown.
    QLabel* Label() const { return m_label; }

private:
    bool Make();

    QStatusBar* m_bar;
    const QString m_objectName;
    const QString m_widest;
    QLabel* m_label = nullptr; // owned by the bar
};

} // namespace ondrel
