#include "frameactions.h"

#include "recentfilelist.h"
#include "resource.h"
#include "stringtable.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QWidget>
#include <vector>

namespace ondrel {

namespace {

// Commands the frame offers although no menu item, button or key sends them.
constexpr int kUnboundCommands[] = {ID_FILE_PRINT_DIRECT};

} // namespace

CommandActions MakeCommandActions(QWidget* frame, const std::function<void(int)>& run)
{
    std::vector<int> ids;
    std::map<int, QString> captions;
    for (const MenuPopup& popup : MainMenu()) {
        for (const MenuItem& item : popup.items) {
            if (item.commandId == ID_SEPARATOR)
                continue;
            ids.push_back(item.commandId);
            captions[item.commandId] = item.caption;
        }
    }
    for (int id = ID_FILE_MRU_FILE1 + 1; id < ID_FILE_MRU_FILE1 + kRecentFileCount; ++id)
        ids.push_back(id);
    for (int id : ToolbarSlots())
        ids.push_back(id);
    for (const Accelerator& accel : MainAccelerators())
        ids.push_back(accel.commandId);
    for (int id : kUnboundCommands)
        ids.push_back(id);

    CommandActions actions;
    for (int id : ids) {
        if (id == ID_SEPARATOR || actions.count(id))
            continue;
        const auto caption = captions.find(id);
        auto* action =
            new QAction(caption != captions.end() ? caption->second : TooltipOf(id), frame);
        action->setProperty("commandId", id);
        action->setStatusTip(PromptOf(id));
        action->setToolTip(TooltipOf(id));
        action->setIconVisibleInMenu(false);
        QList<QKeySequence> keys;
        for (const Accelerator& accel : MainAccelerators()) {
            if (accel.commandId == id)
                keys << accel.keys;
        }
        action->setShortcuts(keys);
        frame->addAction(action);
        QObject::connect(action, &QAction::triggered, frame, [run, id] { run(id); });
        actions[id] = action;
    }
    for (int id : {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_VIEW_TREND})
        actions[id]->setCheckable(true);
    return actions;
}

std::map<QString, QMenu*> MakeMenus(QMenuBar* bar, const CommandActions& actions,
                                    const std::function<void()>& opening)
{
    std::map<QString, QMenu*> popups;
    for (const MenuPopup& popup : MainMenu()) {
        QMenu* menu = bar->addMenu(popup.caption);
        popups[popup.caption] = menu;
        for (const MenuItem& item : popup.items) {
            if (item.commandId == ID_SEPARATOR) {
                menu->addSeparator();
                continue;
            }
            menu->addAction(actions.at(item.commandId));
            if (item.commandId == ID_FILE_MRU_FILE1) {
                // The one "Recent File" item stands for the whole list.
                for (int i = 1; i < kRecentFileCount; ++i)
                    menu->addAction(actions.at(ID_FILE_MRU_FILE1 + i));
            }
        }
        QObject::connect(menu, &QMenu::aboutToShow, bar, opening);
    }
    return popups;
}

} // namespace ondrel
