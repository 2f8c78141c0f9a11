#include "aboutdlg.h"

#include "dialogbuilder.h"
#include "mainicon.h"
#include "resource.h"

#include <QPushButton>

namespace ondrel {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    const DialogTemplate& tmpl = AboutBoxTemplate();
    setWindowTitle(tmpl.caption);
    setWindowIcon(MainIcon());
    setModal(true);
    setFixedSize(BuildDialog(tmpl, this));
    // OK closes the box; Escape and the close box reject it, which is all the
    // same to the caller.
    if (auto* ok = qobject_cast<QPushButton*>(DialogItemWidget(this, IDOK))) {
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
        ok->setDefault(true);
        ok->setFocus();
    }
    DoDataExchange();
}

} // namespace ondrel
