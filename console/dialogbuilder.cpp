#include "dialogbuilder.h"
#include "panelcache.h"
#include "resource.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVariant>
#include <qdrawutil.h>

#include <algorithm>
#include <cmath>
#include <limits>

// The icon lives in the resource library, which is linked statically: its
// resources are only registered when someone asks for them.
static void EnsureResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(res);
        return true;
    }();
    Q_UNUSED(done);
}

namespace ondrel {

namespace {

const char kControlId[] = "controlId";
const char kTemplateIndex[] = "templateIndex";

// The stand-in for "MS Sans Serif": same role (the platform's plain dialog face),
// metrics close enough that the fixed layout keeps its proportions.
const QString kStandInFamily = QStringLiteral("DejaVu Sans");

// Window edges are converted one by one, so neighbours that touch in dialog units
// still touch in pixels and a width never drifts by more than one rounding step.
int EdgeToPixels(int dlu, double base, int divisor)
{
    return static_cast<int>(std::lround(dlu * base / divisor));
}

QString ObjectNameFor(const DialogItem& item, int index)
{
    if (!item.name.isEmpty())
        return item.name;
    if (item.id == IDC_STATIC)
        return QStringLiteral("static%1").arg(index);
    return QStringLiteral("ctl%1").arg(item.id);
}

Qt::Alignment StaticAlignment(quint32 style)
{
    switch (style & SS_TYPEMASK) {
    case SS_CENTER:
        return Qt::AlignHCenter | Qt::AlignTop;
    case SS_RIGHT:
        return Qt::AlignRight | Qt::AlignTop;
    default:
        return Qt::AlignLeft | Qt::AlignTop;
    }
}

// Drawn as the platform's dialogs draw a group box: the frame line runs through
// the middle of the title, so the frame sits where the template put it rather than
// a full text line lower, where it would cut through the framed controls.
class CGroupFrame : public QGroupBox
{
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent* /*event*/) override
    {
        QPainter p(this);
        const QFontMetrics metrics(font());
        // An etched line, as the platform's dialogs frame a group; the widget style's
        // own group frame would add a margin of its own above the line.
        qDrawShadeRect(&p, rect().adjusted(0, metrics.height() / 2, 0, 0), palette(), true, 1, 0);
        if (title().isEmpty())
            return;
        const int inset = metrics.height() / 2;
        const int pad = 2;
        const QString text = StripMnemonic(title());
        const QRect textRect(inset, 0, metrics.horizontalAdvance(text) + 2 * pad, metrics.height());
        p.fillRect(textRect, palette().brush(backgroundRole()));
        p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::WindowText));
        p.drawText(textRect.adjusted(pad, 0, 0, 0),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    }
};

// The stand-in font runs a little wider than the template's face for some words;
// a label that would clip its text gets a slightly smaller font instead.
void FitLabelFont(QLabel* label, int width)
{
    QFont font = label->font();
    if (font.pointSizeF() <= 0)
        return;
    const QString shown = label->buddy() ? StripMnemonic(label->text()) : label->text();
    const qreal smallest = std::max<qreal>(6.0, font.pointSizeF() - 2.0);
    while (font.pointSizeF() - 0.5 >= smallest &&
           QFontMetricsF(font).horizontalAdvance(shown) > width) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        label->setFont(font);
    }
}

QWidget* CreateIcon(QWidget* host, const QSize& size)
{
    EnsureResources();
    auto* label = new QLabel(host);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QIcon icon;
    icon.addFile(QStringLiteral(":/res/mainframe32.xpm"));
    icon.addFile(QStringLiteral(":/res/mainframe16.xpm"));
    // A missing picture leaves the place empty rather than failing the dialog.
    if (!icon.availableSizes().isEmpty())
        label->setPixmap(icon.pixmap(size));
    return label;
}

QWidget* CreateControl(const DialogItem& item, QWidget* host, const QSize& pixelSize)
{
    switch (item.kind) {
    case ControlKind::StaticText: {
        auto* label = new QLabel(host);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(StaticAlignment(item.style));
        // Without a buddy QLabel would show '&' literally; a mnemonic with no target
        // just loses its underline. Labels that get a buddy receive the raw caption.
        label->setText((item.style & SS_NOPREFIX) ? item.caption : StripMnemonic(item.caption));
        return label;
    }
    case ControlKind::CheckBox:
        return new QCheckBox(item.caption, host);
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(host);
        edit->setFrame((item.style & WS_BORDER) != 0);
        edit->setReadOnly((item.style & ES_READONLY) != 0);
        edit->setText(item.caption);
        // A read-out's panel covers its whole rectangle: a new reading then
        // repaints the field alone, not the form behind it, and only its digits
        // are drawn afresh.
        edit->setAttribute(Qt::WA_OpaquePaintEvent);
        if (QStyle* style = PanelCacheStyle())
            edit->setStyle(style);
        return edit;
    }
    case ControlKind::GroupBox: {
        auto* box = new CGroupFrame(item.caption, host);
        // The box is drawn over the controls it frames; it must never take their clicks.
        box->setAttribute(Qt::WA_TransparentForMouseEvents);
        return box;
    }
    case ControlKind::PushButton: {
        auto* button = new QPushButton(item.caption, host);
        button->setAutoDefault(false);
        if (item.style & BS_DEFPUSHBUTTON)
            button->setDefault(true);
        return button;
    }
    case ControlKind::Icon:
        return CreateIcon(host, pixelSize);
    case ControlKind::CustomSite:
        return new CCommSite(item.classId, host);
    }
    return new QWidget(host);
}

bool TakesFocus(ControlKind kind)
{
    return kind == ControlKind::CheckBox || kind == ControlKind::Edit ||
           kind == ControlKind::PushButton;
}

// The label of an edit box: a static text on the same row ending left of it, or
// failing that one directly above it; the nearest wins. Distances in dialog units.
int FindLabelFor(const DialogTemplate& tmpl, int editIndex)
{
    const QRect edit = tmpl.items[editIndex].rect;
    constexpr int kMaxGapLeft = 20;
    constexpr int kMaxGapAbove = 10;
    int best = -1;
    int bestGap = std::numeric_limits<int>::max();
    for (int pass = 0; pass < 2 && best < 0; ++pass) {
        for (int i = 0; i < static_cast<int>(tmpl.items.size()); ++i) {
            const DialogItem& item = tmpl.items[i];
            if (item.kind != ControlKind::StaticText || item.caption.isEmpty())
                continue;
            const QRect r = item.rect;
            int gap = -1;
            if (pass == 0) {
                const int midY = r.y() + r.height() / 2;
                const int right = r.x() + r.width();
                if (midY >= edit.y() && midY < edit.y() + edit.height() && right <= edit.x())
                    gap = edit.x() - right;
                if (gap > kMaxGapLeft)
                    gap = -1;
            } else {
                const int bottom = r.y() + r.height();
                const bool overlaps =
                    r.x() < edit.x() + edit.width() && edit.x() < r.x() + r.width();
                if (overlaps && bottom <= edit.y())
                    gap = edit.y() - bottom;
                if (gap > kMaxGapAbove)
                    gap = -1;
            }
            if (gap >= 0 && gap < bestGap) {
                best = i;
                bestGap = gap;
            }
        }
    }
    return best;
}

} // namespace

QFont DialogFont(const DialogTemplate& tmpl)
{
    const int points = tmpl.pointSize > 0 ? tmpl.pointSize : 8;
    if (QFontDatabase::families().contains(kStandInFamily, Qt::CaseInsensitive))
        return QFont(kStandInFamily, points);
    QFont font;
    font.setStyleHint(QFont::SansSerif);
    font.setFamilies({QStringLiteral("Sans Serif")});
    font.setPointSize(points);
    return font;
}

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetricsF metrics(font);
    static const QString letters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX = metrics.horizontalAdvance(letters) / letters.size();
    baseY = metrics.height();
    // A font without metrics (no font engine at all) must not divide by zero later.
    if (!(baseX > 0))
        baseX = 1;
    if (!(baseY > 0))
        baseY = 1;
}

QRect DialogUnits::ToPixels(const QRect& dlu) const
{
    const int left = EdgeToPixels(dlu.x(), baseX, 4);
    const int top = EdgeToPixels(dlu.y(), baseY, 8);
    const int right = EdgeToPixels(dlu.x() + dlu.width(), baseX, 4);
    const int bottom = EdgeToPixels(dlu.y() + dlu.height(), baseY, 8);
    return QRect(left, top, right - left, bottom - top);
}

QRectF DialogUnits::ToDialogUnits(const QRect& px) const
{
    return QRectF(px.x() * 4 / baseX, px.y() * 8 / baseY, px.width() * 4 / baseX,
                  px.height() * 8 / baseY);
}

QSize DialogUnits::ToPixels(const QSize& dlu) const
{
    return ToPixels(QRect(QPoint(0, 0), dlu)).size();
}

QString StripMnemonic(const QString& caption)
{
    QString out;
    out.reserve(caption.size());
    for (int i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size())
            ++i;
        else if (caption[i] == QLatin1Char('&'))
            continue;
        out += caption[i];
    }
    return out;
}

QSize BuildDialog(const DialogTemplate& tmpl, QWidget* host)
{
    if (!host)
        return QSize();
    const QFont font = DialogFont(tmpl);
    host->setFont(font);
    const DialogUnits units(font);

    const int count = static_cast<int>(tmpl.items.size());
    std::vector<QWidget*> widgets(count, nullptr);
    for (int i = 0; i < count; ++i) {
        const DialogItem& item = tmpl.items[i];
        const QRect geometry = units.ToPixels(item.rect);
        QWidget* w = CreateControl(item, host, geometry.size());
        w->setObjectName(ObjectNameFor(item, i));
        w->setProperty(kControlId, item.id);
        w->setProperty(kTemplateIndex, i);
        w->setGeometry(geometry);
        w->setEnabled((item.style & WS_DISABLED) == 0);
        if (!TakesFocus(item.kind))
            w->setFocusPolicy(Qt::NoFocus);
        else
            w->setFocusPolicy((item.style & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
        if ((item.style & WS_VISIBLE) == 0)
            w->setVisible(false);
        widgets[i] = w;
    }

    // Group boxes go to the bottom, keeping their own order among themselves.
    for (int i = count - 1; i >= 0; --i) {
        if (tmpl.items[i].kind == ControlKind::GroupBox)
            widgets[i]->lower();
    }

    QWidget* previous = nullptr;
    for (int i = 0; i < count; ++i) {
        if ((widgets[i]->focusPolicy() & Qt::TabFocus) == 0)
            continue;
        if (previous)
            QWidget::setTabOrder(previous, widgets[i]);
        previous = widgets[i];
    }

    for (int i = 0; i < count; ++i) {
        const DialogItem& item = tmpl.items[i];
        if (item.kind == ControlKind::CheckBox || item.kind == ControlKind::PushButton) {
            widgets[i]->setAccessibleName(StripMnemonic(item.caption));
            continue;
        }
        if (item.kind != ControlKind::Edit)
            continue;
        const int labelIndex = FindLabelFor(tmpl, i);
        if (labelIndex < 0)
            continue;
        const DialogItem& labelItem = tmpl.items[labelIndex];
        widgets[i]->setAccessibleName(StripMnemonic(labelItem.caption));
        if ((labelItem.style & SS_NOPREFIX) == 0) {
            auto* label = static_cast<QLabel*>(widgets[labelIndex]);
            label->setBuddy(widgets[i]);
            label->setText(labelItem.caption);
        }
    }

    for (int i = 0; i < count; ++i) {
        if (tmpl.items[i].kind == ControlKind::StaticText)
            FitLabelFont(static_cast<QLabel*>(widgets[i]), widgets[i]->width());
    }

    if (!tmpl.caption.isEmpty())
        host->setWindowTitle(tmpl.caption);
    const QSize size = units.ToPixels(tmpl.size);
    host->setFixedSize(size);
    return size;
}

QWidget* DialogItemWidget(QWidget* host, int id)
{
    if (!host)
        return nullptr;
    QWidget* found = nullptr;
    int foundIndex = std::numeric_limits<int>::max();
    const auto children = host->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* child : children) {
        const QVariant childId = child->property(kControlId);
        if (!childId.isValid() || childId.toInt() != id)
            continue;
        const int index = child->property(kTemplateIndex).toInt();
        if (index < foundIndex) {
            found = child;
            foundIndex = index;
        }
    }
    return found;
}

CCommSite::CCommSite(const QString& classId, QWidget* parent) : QWidget(parent), m_classId(classId)
{
    setFocusPolicy(Qt::NoFocus);
    setProperty("classId", classId);
    setAccessibleName(QStringLiteral("Communications port"));
}

void CCommSite::paintEvent(QPaintEvent* /*event*/)
{
    // A nine-pin port shell seen from the front, scaled into the site.
    const qreal side = std::min(width(), height()) - 2;
    if (side < 8)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal w = side;
    const qreal h = side * 0.55;
    const QPointF origin((width() - w) / 2, (height() - h) / 2);
    QPainterPath shell;
    shell.moveTo(origin);
    shell.lineTo(origin + QPointF(w, 0));
    shell.lineTo(origin + QPointF(w * 0.85, h));
    shell.lineTo(origin + QPointF(w * 0.15, h));
    shell.closeSubpath();
    p.setPen(QPen(palette().color(QPalette::WindowText), 1));
    p.setBrush(palette().color(QPalette::Button));
    p.drawPath(shell);
    p.setBrush(palette().color(QPalette::WindowText));
    const qreal pin = std::max<qreal>(1.0, side / 14);
    for (int row = 0; row < 2; ++row) {
        const int pins = row == 0 ? 5 : 4;
        const qreal y = origin.y() + h * (row == 0 ? 0.33 : 0.68);
        const qreal span = w * (row == 0 ? 0.6 : 0.45);
        const qreal x0 = origin.x() + (w - span) / 2;
        for (int k = 0; k < pins; ++k)
            p.drawEllipse(QPointF(x0 + span * k / (pins - 1), y), pin, pin);
    }
}

} // namespace ondrel
