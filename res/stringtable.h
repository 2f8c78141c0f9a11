// The string table, the menu, the accelerators, the toolbar slots and the version record.
#pragma once

#include <QKeySequence>
#include <QString>
#include <vector>

namespace ondrel {

// Makes the compiled-in images (":/res/...") available; harmless to call again.
void InitResources();

// Empty for an id the table does not hold.
QString LoadString(int id);
// A command string's status-bar prompt (before the line feed) and tooltip (after it).
QString PromptOf(int commandId);
QString TooltipOf(int commandId);
// The field of the document string 128 (0 window title, 1 document name, 2 new-file
// type, 3 filter name, 4 extension, 5 registry file type, 6 registry type name).
QString DocStringField(int index);

struct MenuItem
{
    QString caption; // with & mnemonics and the tab-separated key text; empty for a separator
    int commandId;   // 0 for a separator
    bool grayed = false;
};

struct MenuPopup
{
    QString caption;
    std::vector<MenuItem> items;
};

const std::vector<MenuPopup>& MainMenu(); // menu 128

struct Accelerator
{
    QKeySequence keys;
    int commandId;
};

const std::vector<Accelerator>& MainAccelerators(); // table 128, stored order

// Toolbar 128: command ids in slot order, 0 for a separator.
const std::vector<int>& ToolbarSlots();

struct VersionRecord
{
    QString fileVersion;                              // "1.0.0.1"
    QString productVersion;                           // "1.0.0.1"
    std::vector<std::pair<QString, QString>> strings; // string block 040904b0, key order
    QString Value(const QString& key) const;
};

const VersionRecord& Version();

} // namespace ondrel
