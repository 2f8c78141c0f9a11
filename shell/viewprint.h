// The view's print commands: Print (with the print dialog), print-without-dialog
// and Print Preview. They run the page loop over the view's print hooks; the
// hooks draw nothing, so the pages come out empty.
#pragma once

#include <QString>
#include <functional>
#include <memory>

class QPrinter;
class QWidget;

namespace ondrel {

class COndrelView;
class IShellServices;

class CViewPrinting
{
public:
    enum class Mode
    {
        Dialog,
        Direct,
        Preview
    };

    struct Seams
    {
        // Prepares the printer in place of the print dialog (a file to print to,
        // say); false leaves the printer and the dialog as they are.
        std::function<bool(QPrinter& printer)> prepare;
        // Told each time a page loop has run.
        std::function<void()> pageLoopRun;
    };

    // `dialogParent` owns the print and preview dialogs (the main window);
    // `services` lends the printer and the error box. Without them the job
    // gets a printer of its own and failures go unreported.
    CViewPrinting(COndrelView* view, QWidget* dialogParent, Seams seams = {},
                  IShellServices* services = nullptr);
    ~CViewPrinting();

    void OnFilePrint();        // Print: the print dialog first
    void OnFilePrintDirect();  // print-without-dialog: the current printer
    void OnFilePrintPreview(); // Print Preview

    // The print preparation: shows the print dialog for Mode::Dialog; false
    // cancels the job.
    bool OnPreparePrinting(QPrinter& printer, Mode mode);

    // The page loop: begin printing, one page, end printing. False (with *error)
    // when the printer cannot be drawn on.
    static bool PrintPages(COndrelView* view, QPrinter& printer, QString* error);

private:
    void Print(Mode mode);
    bool RunPageLoop(QPrinter& printer, QString* error);
    QPrinter& Printer();
    void ShowError(const QString& text);

    COndrelView* m_view;
    QWidget* m_dialogParent;
    Seams m_seams;
    IShellServices* m_services;
    std::unique_ptr<QPrinter> m_ownPrinter;
};

} // namespace ondrel
