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
// and Tab order). Each control carries its id in the dynamic property "controlId".
// Returns the pixel size of the whole template.
QSize BuildDialog(const DialogTemplate& tmpl, QWidget* host);

// The child of `host` created for control `id`, or nullptr.
QWidget* DialogItemWidget(QWidget* host, int id);

} // namespace ondrel
