// Dialog templates as data: the form and the about box are laid out in dialog
// units, and a builder turns them into widgets for the font in use.
#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <vector>

namespace ondrel {

enum class ControlKind { StaticText, CheckBox, Edit, GroupBox, PushButton, Icon, CustomSite };

struct DialogItem
{
    int id; // IDC_STATIC for controls nothing refers to
    ControlKind kind;
    QString caption;
    QRect rect; // x, y, width, height in dialog units
    quint32 style;
    quint32 exStyle = 0;
    QString classId = {}; // for a custom site: the class identifier it stands for
};

struct DialogTemplate
{
    int id;
    QSize size; // dialog units
    QString caption;
    QString fontFace;
    int pointSize;
    quint32 style;
    quint32 exStyle;
    std::vector<DialogItem> items; // template order = creation, stacking and Tab order
};

const DialogTemplate& OndrelFormTemplate(); // IDD_ONDREL_FORM
const DialogTemplate& AboutBoxTemplate();   // IDD_ABOUTBOX

} // namespace ondrel
