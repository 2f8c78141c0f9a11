#include "panelcache.h"

#include <QApplication>
#include <QPaintEngine>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QPointer>
#include <QStyleFactory>
#include <QStyleOptionFrame>
#include <algorithm>

namespace ondrel {

namespace {
// Every field of a form in each of its states, with room to spare.
constexpr size_t kMaxLooks = 32;
} // namespace

CPanelCacheStyle::CPanelCacheStyle(QStyle* base) : QProxyStyle(base) {}

void CPanelCacheStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                     QPainter* painter, const QWidget* widget) const
{
    const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
    // A rounded, antialiased frame costs the raster engine far more than the
    // digits inside it; a copy of it costs next to nothing. A printed or scaled
    // form gets the style's own drawing: a screen pixmap would print blurred.
    const QPaintEngine* engine = painter->paintEngine();
    if (element != PE_PanelLineEdit || !frame || option->rect.isEmpty() ||
        option->rect.width() > 2000 || option->rect.height() > 400 || !engine ||
        engine->type() != QPaintEngine::Raster ||
        painter->worldTransform().type() > QTransform::TxTranslate) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const Look look{option->rect.size(),
                    quint64(option->palette.cacheKey()),
                    uint(option->state),
                    uint(frame->features),
                    frame->lineWidth,
                    int(option->direction),
                    painter->device() ? painter->device()->devicePixelRatio() : 1.0};
    QPixmap panel;
    auto known = std::find_if(m_looks.begin(), m_looks.end(),
                              [&look](const auto& entry) { return entry.first == look; });
    // The pixmap cache may have dropped it since; then it is drawn again.
    if (known == m_looks.end() || !QPixmapCache::find(known->second, &panel)) {
        panel = QPixmap(option->rect.size() * look.ratio);
        panel.setDevicePixelRatio(look.ratio);
        panel.fill(Qt::transparent);
        QStyleOptionFrame at = *frame;
        at.rect = QRect(QPoint(0, 0), option->rect.size());
        QPainter p(&panel);
        QProxyStyle::drawPrimitive(element, &at, &p, widget);
        p.end();
        if (known != m_looks.end()) {
            known->second = QPixmapCache::insert(panel);
        } else {
            if (m_looks.size() >= kMaxLooks)
                m_looks.erase(m_looks.begin());
            m_looks.emplace_back(look, QPixmapCache::insert(panel));
        }
    }
    painter->drawPixmap(option->rect.topLeft(), panel);
}

QStyle* PanelCacheStyle()
{
    static QPointer<CPanelCacheStyle> shared;
    if (!shared && qApp) {
        QStyle* base = QStyleFactory::create(QApplication::style()->name());
        if (!base)
            return nullptr;
        shared = new CPanelCacheStyle(base);
        shared->setParent(qApp);
    }
    return shared;
}

} // namespace ondrel
