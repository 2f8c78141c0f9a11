// The form and the about box exactly as the operator has always seen them: every
// position, size and style value here is part of the console's fixed layout, so
// changes belong in the tests' tables too.
#include "dialogtemplate.h"
#include "resource.h"

namespace ondrel {

namespace {

const QString kCommClassId = QStringLiteral("{648A5600-2C6E-101B-82B6-000000000014}");

constexpr quint32 kStaticText = 0x50020000;
constexpr quint32 kCheckBox = 0x50010003;
constexpr quint32 kGroupBox = 0x50000007;
constexpr quint32 kEdit = 0x50810080;

DialogItem Item(int id, ControlKind kind, const char* caption, int x, int y, int w, int h,
                quint32 style, const char* name = "")
{
    DialogItem item{id, kind, QString::fromLatin1(caption), QRect(x, y, w, h), style};
    item.name = QString::fromLatin1(name);
    return item;
}

DialogTemplate MakeFormTemplate()
{
    using K = ControlKind;
    DialogTemplate t{IDD_ONDREL_FORM,
                     QSize(320, 200),
                     QString(),
                     QStringLiteral("MS Sans Serif"),
                     8,
                     0x40000040,
                     0,
                     {}};
    DialogItem comm =
        Item(IDC_MSCOMM, K::CustomSite, "", 267, 150, 25, 23, 0x50010000, "IDC_MSCOMM");
    comm.classId = kCommClassId;
    t.items = {
        comm,
        Item(IDC_STATIC, K::StaticText, "Check Kv,mA and X-Ray to Enable X-Rays", 78, 14, 139, 8,
             kStaticText),
        Item(IDC_CHECK_KV, K::CheckBox, "80.5 KV", 31, 40, 41, 10, kCheckBox, "IDC_CHECK_KV"),
        Item(IDC_CHECK_MA, K::CheckBox, "1.1mA", 89, 40, 36, 10, kCheckBox, "IDC_CHECK_MA"),
        Item(IDC_CHECK_XRAY, K::CheckBox, "X-Ray On/Off", 142, 40, 59, 10, kCheckBox,
             "IDC_CHECK_XRAY"),
        Item(IDC_STATIC, K::GroupBox, "X-Ray Program", 21, 24, 189, 40, kGroupBox),
        Item(IDC_KV_MONITOR, K::Edit, "", 74, 78, 53, 14, kEdit, "IDC_KV_MONITOR"),
        Item(IDC_UA_MONITOR, K::Edit, "", 74, 97, 53, 14, kEdit, "IDC_UA_MONITOR"),
        Item(IDC_TEMP_MONITOR, K::Edit, "", 77, 116, 53, 14, kEdit, "IDC_TEMP_MONITOR"),
        Item(IDC_STATIC, K::StaticText, "Kv Monitor", 30, 80, 35, 8, kStaticText),
        Item(IDC_STATIC, K::StaticText, "uA monitor", 33, 100, 34, 8, kStaticText),
        Item(IDC_STATIC, K::StaticText, "Temperature monitor", 11, 118, 66, 8, kStaticText),
        Item(IDC_STATIC, K::GroupBox, "Monitor", 9, 70, 218, 66, kGroupBox),
        Item(IDC_VERSION, K::Edit, "", 245, 32, 40, 14, kEdit, "IDC_VERSION"),
        Item(IDC_STATIC, K::StaticText, "Version", 251, 20, 24, 8, kStaticText),
        Item(IDC_STATIC, K::GroupBox, "Faults", 15, 145, 223, 40, kGroupBox),
        Item(IDC_FAULTS, K::Edit, "", 73, 154, 40, 14, kEdit, "IDC_FAULTS"),
        Item(IDC_STATIC, K::StaticText, "Check Faults", 24, 156, 42, 8, kStaticText),
        Item(IDC_CLEAR_FAULTS, K::PushButton, "Clear Faults", 132, 153, 50, 14, 0x50010000,
             "IDC_CLEAR_FAULTS"),
    };
    return t;
}

DialogTemplate MakeAboutBoxTemplate()
{
    using K = ControlKind;
    DialogTemplate t{IDD_ABOUTBOX,
                     QSize(235, 55),
                     QStringLiteral("Brevane"),
                     QStringLiteral("MS Sans Serif"),
                     8,
                     0x80C800C0,
                     0,
                     {}};
    // The icon item names resource 128 by number; the builder supplies the picture.
    DialogItem icon = Item(IDC_STATIC, K::Icon, "", 11, 17, 20, 20, 0x50000003);
    icon.caption = QString::number(IDR_MAINFRAME);
    t.items = {
        icon,
        Item(IDC_STATIC, K::StaticText, "Brevane 1.0", 40, 10, 119, 8, 0x50020080),
        Item(IDC_STATIC, K::StaticText, "Copyright (C) 2026 Ondrel developers", 40, 25, 119, 8,
             0x50020000),
        Item(IDOK, K::PushButton, "OK", 178, 7, 50, 14, 0x50030001, "IDOK"),
    };
    return t;
}

} // namespace

const DialogTemplate& OndrelFormTemplate()
{
    static const DialogTemplate form = MakeFormTemplate();
    return form;
}

const DialogTemplate& AboutBoxTemplate()
{
    static const DialogTemplate about = MakeAboutBoxTemplate();
    return about;
}

} // namespace ondrel
