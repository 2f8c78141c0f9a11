// What the application lends the windows it makes: the printer, the file
// dialogs, message boxes, the recent-file list (kept in the profile settings)
// and its own command table. Handed to the frame, the document and the print
// code when they are made, so that none of them reaches back up for the
// application object.
#pragma once

#include <QString>

class QPrinter;
class QWidget;

namespace ondrel {

class CRecentFileList;

class IShellServices
{
public:
    enum class FileDialog
    {
        Open,
        Save
    };

    virtual ~IShellServices() = default;

    // The printer that Print Setup configures and the print commands use.
    virtual QPrinter& Printer() = 0;
    // The open and save dialogs; empty when cancelled.
    virtual QString PromptFileName(FileDialog kind, const QString& suggestion) = 0;
    // A modal error box owned by the main window.
    virtual void ShowError(const QString& text) = 0;
    // What owns a question box: the main window, or nothing before it exists.
    virtual QWidget* DialogParent() const = 0;
    // Null when the profile settings have not been read.
    virtual CRecentFileList* RecentFileList() const = 0;
    // The application's command table; with run false only asks whether the
    // command is handled there.
    virtual bool OnCmdMsg(int commandId, bool run) = 0;
};

} // namespace ondrel
