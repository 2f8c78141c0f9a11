// The main window's two bars as the resources describe them: the toolbar of
// command buttons cut from one image strip, and the status bar with its
// message pane (the lock indicators and the REC pane have units of their own).
#pragma once

#include "frameactions.h"

class QLabel;
class QStatusBar;
class QToolBar;
class QWidget;

namespace ondrel {

// Null when the strip is not the size the buttons need.
QToolBar* MakeToolBar(QWidget* frame, const CommandActions& actions);

// The bar with the message pane, which says the idle message again whenever a
// menu prompt that covered it goes.
QStatusBar* MakeStatusBar(QWidget* frame, QLabel** messagePane);

} // namespace ondrel
