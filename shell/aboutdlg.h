// CAboutDlg: the about box, built from template 100.
#pragma once

#include <QDialog>

namespace ondrel {

class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

protected:
    // The base exchange only: the box binds no control.
    virtual void DoDataExchange() {}
};

} // namespace ondrel
