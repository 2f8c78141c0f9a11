// The view's print commands: Print (with the print dialog), print-without-dialog
// and Print Preview. They run the page loop over the view's print hooks; the
// hooks draw nothing, so the pages come out empty.
#pragma once

#include <QString>

class QPrinter;
class QWidget;

namespace ondrel {

class COndrelView;

class CViewPrinting
{
public:
    enum class Mode
    {
        Dialog,
        Direct,
        Preview
    };

    // `dialogParent` owns the print and preview dialogs (the main window).
    CViewPrinting(COndrelView* view, QWidget* dialogParent);

    void OnFilePrint();        // Print: the print dialog first
    void OnFilePrintDirect();  // print-without-dialog: the current printer
    void OnFilePrintPreview(); // Print Preview

    // The print preparation: shows the print dialog for Mode::Dialog; false
    // cancels the job.
    bool OnPreparePrinting(QPrinter& printer, Mode mode);

    // The page loop: begin printing, one page, end printing. False (with *error)
    // when the printer cannot be drawn on.
    static bool PrintPages(COndrelView* view, QPrinter& printer, QString* error);

    // Tests: print to this PDF file instead of a printer and show no dialog.
    static void SetPdfOutputForTest(const QString& path);
    // How many page loops have run so far (each runs the hooks once per page).
    static int PageLoopsRun();

private:
    void Print(Mode mode);

    COndrelView* m_view;
    QWidget* m_dialogParent;
};

} // namespace ondrel
