#include "viewprint.h"

#include "ondrelapp.h"
#include "ondrelview.h"

#include <QMessageBox>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>

namespace ondrel {

namespace {

QString g_pdfOutputForTest;
int g_pageLoopsRun = 0;

// One page: the form's content is never printed, so there is nothing to
// paginate.
constexpr int kPageCount = 1;

} // namespace

CViewPrinting::CViewPrinting(COndrelView* view, QWidget* dialogParent)
    : m_view(view), m_dialogParent(dialogParent)
{}

void CViewPrinting::SetPdfOutputForTest(const QString& path)
{
    g_pdfOutputForTest = path;
}

int CViewPrinting::PageLoopsRun()
{
    return g_pageLoopsRun;
}

void CViewPrinting::OnFilePrint()
{
    Print(Mode::Dialog);
}

void CViewPrinting::OnFilePrintDirect()
{
    Print(Mode::Direct);
}

void CViewPrinting::OnFilePrintPreview()
{
    QPrinter& printer = COndrelApp::Printer();
    if (!OnPreparePrinting(printer, Mode::Preview))
        return;
    QPrintPreviewDialog preview(&printer, m_dialogParent);
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested, &preview, [this](QPrinter* p) {
        QString error;
        if (!PrintPages(m_view, *p, &error))
            COndrelApp::ShowError(error);
    });
    preview.exec();
}

bool CViewPrinting::OnPreparePrinting(QPrinter& printer, Mode mode)
{
    if (!g_pdfOutputForTest.isEmpty()) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(g_pdfOutputForTest);
        return true;
    }
    if (mode != Mode::Dialog)
        return true;
    QPrintDialog dialog(&printer, m_dialogParent);
    return dialog.exec() == QDialog::Accepted;
}

void CViewPrinting::Print(Mode mode)
{
    QPrinter& printer = COndrelApp::Printer();
    if (!OnPreparePrinting(printer, mode))
        return; // cancelled: nothing is printed
    QString error;
    if (!PrintPages(m_view, printer, &error))
        COndrelApp::ShowError(error);
}

bool CViewPrinting::PrintPages(COndrelView* view, QPrinter& printer, QString* error)
{
    QPainter painter;
    if (!painter.begin(&printer)) {
        *error = printer.outputFormat() == QPrinter::PdfFormat && printer.outputFileName().isEmpty()
                     ? QStringLiteral("There is no printer to print to. Choose \"Print to File\" "
                                      "in the Print dialog instead.")
                     : QStringLiteral("The printer \"%1\" cannot be used.")
                           .arg(printer.printerName().isEmpty() ? printer.outputFileName()
                                                                : printer.printerName());
        return false;
    }
    ++g_pageLoopsRun;
    if (view)
        view->OnBeginPrinting(&painter, &printer);
    for (int page = 1; page <= kPageCount; ++page) {
        if (page > 1)
            printer.newPage();
        if (view)
            view->OnPrint(&painter, &printer, page);
    }
    if (view)
        view->OnEndPrinting(&painter, &printer);
    painter.end();
    return true;
}

} // namespace ondrel
