// Turns a dialog template into child widgets, converting dialog units to pixels
// by the rule for the template's font.
#pragma once

#include "dialogtemplate.h"

#include <QFont>
#include <QRect>
#include <QWidget>

namespace ondrel {

// The font that stands in for the template's face and size on this platform.
QFont DialogFont(const DialogTemplate& tmpl);

// Horizontal base unit = average width of A-Z a-z; vertical = the font's height.
struct DialogUnits
{
    double baseX;
    double baseY;
    explicit DialogUnits(const QFont& font);
    QRect ToPixels(const QRect& dlu) const;
    QRectF ToDialogUnits(const QRect& px) const;
    QSize ToPixels(const QSize& dlu) const;
};

// Creates the template's controls on `host` in template order (creation, stacking
// and Tab order). Each control carries its id in the dynamic property "controlId"
// and its place in the template (0-based) in "templateIndex". Object names are the
// id's symbolic name where the template gives one ("IDC_FAULTS", "IDOK"), "ctl<id>"
// for other ids and "static<index>" for controls with the null id. Group boxes lie
// under all other controls and let clicks through. Edit boxes take the accessible
// name of the label left of them or directly above them, which becomes their buddy.
// The host gets the dialog font, a fixed size and, if the template has one, its
// caption as window title. Returns the pixel size of the whole template.
QSize BuildDialog(const DialogTemplate& tmpl, QWidget* host);

// The child of `host` created for control `id`, or nullptr. Of several controls
// with the same id (the null id) the first in template order.
QWidget* DialogItemWidget(QWidget* host, int id);

// The caption as a label shows it when '&' marks a mnemonic ("&&" is one '&').
QString StripMnemonic(const QString& caption);

// Stands at the place of a hosted control (the communications control): it shows
// a small port glyph, never takes focus and carries the class id in "classId".
class CCommSite : public QWidget
{
    Q_OBJECT
public:
    explicit CCommSite(const QString& classId, QWidget* parent = nullptr);
    QString ClassId() const { return m_classId; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_classId;
};

} // namespace ondrel
