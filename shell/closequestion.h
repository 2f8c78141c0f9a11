// The question before the main window closes while the X-Ray On/Off box is
// checked: closing would leave the generator enabled with nobody watching.
#pragma once

class QWidget;

namespace ondrel {

enum class CloseAnswer
{
    SwitchOffAndClose, // the default
    CloseAnyway,
    Cancel // Escape, and a box closed without an answer
};

CloseAnswer AskBeforeClosingWithXrays(QWidget* parent);

} // namespace ondrel
