#include "tiledelegate.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace ondrel::fleet {

QColor StateColour(State state)
{
    switch (state) {
    case State::ContactLostXrayOn:
    case State::Fault:
        return QColor(0xc6, 0x28, 0x28);
    case State::NotResponding:
        return QColor(0xe6, 0x7e, 0x00);
    case State::Stale:
        return QColor(0xb5, 0x8b, 0x00);
    case State::XraysOn:
        return QColor(0xd8, 0x5c, 0x00);
    case State::Ready:
        return QColor(0x2e, 0x7d, 0x32);
    case State::Offline:
    case State::Unknown:
        break;
    }
    return QColor(0x75, 0x75, 0x75);
}

void PaintStateMark(QPainter* painter, const QRectF& box, State state)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QColor colour = StateColour(state);
    painter->setPen(QPen(colour, 2));
    painter->setBrush(colour);
    const QRectF r = box.adjusted(2, 2, -2, -2);
    auto triangle = [&r] {
        QPainterPath path;
        path.moveTo(r.center().x(), r.top());
        path.lineTo(r.right(), r.bottom());
        path.lineTo(r.left(), r.bottom());
        path.closeSubpath();
        return path;
    };
    switch (state) {
    case State::Ready:
        painter->drawEllipse(r);
        break;
    case State::XraysOn:
        painter->drawPath(triangle());
        break;
    case State::ContactLostXrayOn: {
        painter->drawPath(triangle());
        painter->setPen(QPen(Qt::white, 2.5));
        painter->drawLine(QPointF(r.center().x(), r.top() + r.height() * 0.35),
                          QPointF(r.center().x(), r.top() + r.height() * 0.7));
        painter->drawPoint(QPointF(r.center().x(), r.top() + r.height() * 0.85));
        break;
    }
    case State::Fault: {
        QPainterPath path;
        path.moveTo(r.center().x(), r.top());
        path.lineTo(r.right(), r.center().y());
        path.lineTo(r.center().x(), r.bottom());
        path.lineTo(r.left(), r.center().y());
        path.closeSubpath();
        painter->drawPath(path);
        break;
    }
    case State::NotResponding:
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(r.adjusted(1, 1, -1, -1));
        break;
    case State::Offline:
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(r.adjusted(1, 1, -1, -1));
        break;
    case State::Stale:
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(r.adjusted(1, 1, -1, -1));
        painter->setBrush(colour);
        painter->drawPie(r.adjusted(1, 1, -1, -1), 90 * 16, 180 * 16);
        break;
    case State::Unknown: {
        painter->setBrush(Qt::NoBrush);
        QFont f = painter->font();
        f.setBold(true);
        f.setPixelSize(int(r.height()));
        painter->setFont(f);
        painter->drawText(r, Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    }
    painter->restore();
}

QSize CTileDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(kWidth, kHeight);
}

void CTileDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const
{
    painter->save();
    const QPalette& pal = option.palette;
    const auto state = State(index.data(CFleetModel::StateRole).toInt());
    const bool greyed = index.data(CFleetModel::GreyedRole).toBool();
    const QRect tile = option.rect.adjusted(3, 3, -3, -3);
    const bool selected = option.state & QStyle::State_Selected;

    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(
        QPen(selected ? pal.color(QPalette::Highlight) : StateColour(state), selected ? 3 : 2));
    painter->setBrush(greyed ? pal.color(QPalette::Window) : pal.color(QPalette::Base));
    painter->drawRoundedRect(tile, 4, 4);
    painter->setRenderHint(QPainter::Antialiasing, false);

    const QColor text = greyed ? pal.color(QPalette::Disabled, QPalette::Text)
                               : pal.color(QPalette::Active, QPalette::Text);
    QFont base = option.font;
    QFont bold = base;
    bold.setBold(true);
    const QFontMetrics fm(base);
    const int line = fm.height();
    const int left = tile.left() + 8;
    const int width = tile.width() - 16;
    int y = tile.top() + 6;

    auto textLine = [&](const QString& s, const QFont& font, const QColor& colour) {
        painter->setFont(font);
        painter->setPen(colour);
        const QFontMetrics m(font);
        painter->drawText(QRect(left, y, width, line), Qt::AlignLeft | Qt::AlignVCenter,
                          m.elidedText(s, Qt::ElideRight, width));
        y += line;
    };

    textLine(index.data(CFleetModel::NameRole).toString(), bold, pal.color(QPalette::Text));
    // The mark and the word side by side, in the state's colour, never greyed:
    // the state is what is known now, unlike the read-outs.
    const QRectF mark(left, y + 1, line - 2, line - 2);
    PaintStateMark(painter, mark, state);
    painter->setFont(bold);
    painter->setPen(StateColour(state).darker(120));
    painter->drawText(
        QRect(left + line + 4, y, width - line - 4, line), Qt::AlignLeft | Qt::AlignVCenter,
        QFontMetrics(bold).elidedText(index.data(CFleetModel::StateTextRole).toString(),
                                      Qt::ElideRight, width - line - 4));
    y += line + 2;

    // One reading, so one age for all three read-outs.
    const QStringList readouts = index.data(CFleetModel::ReadoutTextsRole).toStringList();
    const QString age = index.data(CFleetModel::ReadingAgeRole).toString();
    textLine(readouts.isEmpty() ? QStringLiteral("no reading yet")
                                : readouts.mid(0, 2).join(QStringLiteral("   ")),
             base, text);
    if (readouts.size() > 2)
        textLine(readouts.at(2) + (age.isEmpty() ? QString() : QStringLiteral("   (%1)").arg(age)),
                 base, text);
    QStringList small;
    for (const int role : {int(CFleetModel::VersionRole), int(CFleetModel::BeamTimeRole)}) {
        const QString s = index.data(role).toString();
        if (!s.isEmpty())
            small << s;
    }
    textLine(small.join(QStringLiteral(", ")), base, pal.color(QPalette::Text));
    textLine(index.data(CFleetModel::LastHeardRole).toString(), base, pal.color(QPalette::Text));
    const QStringList notes = index.data(CFleetModel::NotesRole).toStringList();
    if (!notes.isEmpty())
        textLine(notes.join(QStringLiteral(", ")), bold, StateColour(State::Fault));
    const QStringList events = index.data(CFleetModel::EventsRole).toStringList();
    for (const QString& e : events) {
        if (y + line > tile.bottom() - 2)
            break;
        textLine(e, base, pal.color(QPalette::Disabled, QPalette::Text).darker(130));
    }
    painter->restore();
}

} // namespace ondrel::fleet
