// Read-outs whose text changes five times a second: the style draws each field's
// frame and background once per look (size, state, palette) and then only copies it.
#pragma once

#include <QPixmapCache>
#include <QProxyStyle>
#include <vector>

namespace ondrel {

// Draws line-edit panels from a pixmap cache and everything else as its base
// style does, so a field looks exactly as it would without it.
class CPanelCacheStyle : public QProxyStyle
{
public:
    explicit CPanelCacheStyle(QStyle* base);

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;

private:
    // Everything of an option that changes how a panel looks.
    struct Look
    {
        QSize size;
        quint64 palette = 0;
        uint state = 0;
        uint features = 0;
        int lineWidth = 0;
        int direction = 0;
        qreal ratio = 1;
        bool operator==(const Look& o) const
        {
            return size == o.size && palette == o.palette && state == o.state &&
                   features == o.features && lineWidth == o.lineWidth && direction == o.direction &&
                   ratio == o.ratio;
        }
    };
    // A handful of looks (enabled, disabled, focused ...): a short list beats a
    // string key built for every paint.
    mutable std::vector<std::pair<Look, QPixmapCache::Key>> m_looks;
};

// The application's one instance over its current style, deleted with the
// application (after every widget that uses it); nullptr when the style cannot
// be made twice, and the field then simply keeps the application's own.
QStyle* PanelCacheStyle();

} // namespace ondrel
