// The trend window as the main window hosts it: made hidden with the frame and
// collecting from then on (its observers are attached with the others), shown
// and hidden by View > Trend, whose check mark follows the window however it
// was shown or closed.
#pragma once

class QAction;
class QWidget;

namespace ondrel {

class CTrendWindow;

class CTrendHost
{
public:
    CTrendHost(QWidget* frame, QAction* item);

    CTrendWindow* Window() const { return m_window; }
    bool Shown() const;
    void Toggle();

private:
    CTrendWindow* m_window; // a child window: goes with the frame
};

} // namespace ondrel
