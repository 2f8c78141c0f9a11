// Dialog templates as data: the form and the about box are laid out in dialog
// units, and a builder turns them into widgets for the font in use.
#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <vector>

namespace ondrel {

// Window and control style bits as the templates store them.
inline constexpr quint32 WS_CHILD = 0x40000000;
inline constexpr quint32 WS_VISIBLE = 0x10000000;
inline constexpr quint32 WS_DISABLED = 0x08000000;
inline constexpr quint32 WS_BORDER = 0x00800000;
inline constexpr quint32 WS_GROUP = 0x00020000;
inline constexpr quint32 WS_TABSTOP = 0x00010000;
inline constexpr quint32 SS_TYPEMASK = 0x0000001F;
inline constexpr quint32 SS_LEFT = 0x00000000;
inline constexpr quint32 SS_CENTER = 0x00000001;
inline constexpr quint32 SS_RIGHT = 0x00000002;
inline constexpr quint32 SS_ICON = 0x00000003;
inline constexpr quint32 SS_NOPREFIX = 0x00000080;
inline constexpr quint32 BS_DEFPUSHBUTTON = 0x00000001;
inline constexpr quint32 BS_AUTOCHECKBOX = 0x00000003;
inline constexpr quint32 BS_GROUPBOX = 0x00000007;
inline constexpr quint32 ES_AUTOHSCROLL = 0x00000080;
inline constexpr quint32 ES_READONLY = 0x00000800;

enum class ControlKind
{
    StaticText,
    CheckBox,
    Edit,
    GroupBox,
    PushButton,
    Icon,
    CustomSite
};

struct DialogItem
{
    int id; // IDC_STATIC for controls nothing refers to
    ControlKind kind;
    QString caption;
    QRect rect; // x, y, width, height in dialog units
    quint32 style;
    quint32 exStyle = 0;
    QString classId = {}; // for a custom site: the class identifier it stands for
    QString name = {};    // symbolic name of the id ("IDC_FAULTS"); empty for the null id
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
