#include "viewprint.h"

#include "ondrelview.h"
#include "shellservices.h"

#include <QMessageBox>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>

namespace ondrel {

namespace {

// One page: the form's content is never printed, so there is nothing to
// paginate.
constexpr int kPageCount = 1;

} // namespace

CViewPrinting::CViewPrinting(COndrelView* view, QWidget* dialogParent, Seams seams,
                             IShellServices* services)
    : m_view(view), m_dialogParent(dialogParent), m_seams(std::move(seams)), m_services(services)
{}

CViewPrinting::~CViewPrinting() = default;

QPrinter& CViewPrinting::Printer()
{
    if (m_services)
        return m_services->Printer();
    if (!m_ownPrinter)
        m_ownPrinter = std::make_unique<QPrinter>();
    return *m_ownPrinter;
}

void CViewPrinting::ShowError(const QString& text)
{
    if (m_services)
        m_services->ShowError(text);
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
    QPrinter& printer = Printer();
    if (!OnPreparePrinting(printer, Mode::Preview))
        return;
    QPrintPreviewDialog preview(&printer, m_dialogParent);
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested, &preview, [this](QPrinter* p) {
        QString error;
        if (!RunPageLoop(*p, &error))
            ShowError(error);
    });
    preview.exec();
}

bool CViewPrinting::OnPreparePrinting(QPrinter& printer, Mode mode)
{
    if (m_seams.prepare && m_seams.prepare(printer))
        return true;
    if (mode != Mode::Dialog)
        return true;
    QPrintDialog dialog(&printer, m_dialogParent);
    return dialog.exec() == QDialog::Accepted;
}

void CViewPrinting::Print(Mode mode)
{
    QPrinter& printer = Printer();
    if (!OnPreparePrinting(printer, mode))
        return; // cancelled: nothing is printed
    QString error;
    if (!RunPageLoop(printer, &error))
        ShowError(error);
}

bool CViewPrinting::RunPageLoop(QPrinter& printer, QString* error)
{
    if (!PrintPages(m_view, printer, error))
        return false;
    if (m_seams.pageLoopRun)
        m_seams.pageLoopRun();
    return true;
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
