// The main window's commands as actions, built from the resources: one action
// per command of the menu, the toolbar, the accelerators and the recent-file
// slots, with its caption, prompt, tool tip and keys; and the menu bar's
// popups that list them.
#pragma once

#include <QString>
#include <functional>
#include <map>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace ondrel {

using CommandActions = std::map<int, QAction*>;

// Owned by `frame`, which also carries them, so that their keys work for
// commands that stand in no menu (F6) and while the menu is hidden. Each
// triggers `run` with its command id.
CommandActions MakeCommandActions(QWidget* frame, const std::function<void(int)>& run);

// The popups in the resources' order, by caption; `opening` runs as any opens.
std::map<QString, QMenu*> MakeMenus(QMenuBar* bar, const CommandActions& actions,
                                    const std::function<void()>& opening);

} // namespace ondrel
