#include "closequestion.h"

#include "stringtable.h"

#include <QMessageBox>
#include <QPushButton>

namespace ondrel {

CloseAnswer AskBeforeClosingWithXrays(QWidget* parent)
{
    QMessageBox box(QMessageBox::Warning, DocStringField(0),
                    QStringLiteral("X-rays may still be on. Switch them off before closing?"),
                    QMessageBox::NoButton, parent);
    QPushButton* switchOff =
        box.addButton(QStringLiteral("Switch Off and Close"), QMessageBox::AcceptRole);
    QPushButton* closeAnyway =
        box.addButton(QStringLiteral("Close Anyway"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(switchOff);
    box.setEscapeButton(cancel);
    box.exec();
    const QAbstractButton* answer = box.clickedButton();
    if (answer == switchOff)
        return CloseAnswer::SwitchOffAndClose;
    if (answer == closeAnyway)
        return CloseAnswer::CloseAnyway;
    return CloseAnswer::Cancel;
}

} // namespace ondrel
