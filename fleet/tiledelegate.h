// Paints one generator's tile straight from the model's roles: no widget per
// tile, so a thousand generators cost a thousand rectangles, and only those in
// sight are painted. The state is a word and a shape, never a colour alone.
#pragma once

#include "fleetmodel.h"

#include <QStyledItemDelegate>

namespace ondrel::fleet {

class CTileDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    static constexpr int kWidth = 272;
    static constexpr int kHeight = 178;

    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The state's mark, drawn in `box`: filled circle (Ready), triangle (X-rays
// on), triangle with a bar (contact lost, X-rays may be on), diamond (Fault),
// hollow square (Not responding), hollow circle (Offline), half-filled circle
// (Stale), question mark (Unknown).
void PaintStateMark(QPainter* painter, const QRectF& box, State state);
QColor StateColour(State state);

} // namespace ondrel::fleet
