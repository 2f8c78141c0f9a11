#include "framebars.h"

#include "resource.h"
#include "stringtable.h"

#include <QAction>
#include <QLabel>
#include <QPixmap>
#include <QStatusBar>
#include <QToolBar>

namespace ondrel {

namespace {

constexpr QSize kButtonImage(16, 15);
constexpr int kToolbarImages = 8;

} // namespace

QToolBar* MakeToolBar(QWidget* frame, const CommandActions& actions)
{
    const QPixmap strip(QStringLiteral(":/res/toolbar.xpm"));
    if (strip.size() != QSize(kButtonImage.width() * kToolbarImages, kButtonImage.height()))
        return nullptr;

    auto* bar = new QToolBar(frame);
    bar->setObjectName(QString::number(ID_VIEW_TOOLBAR));
    bar->setProperty("childId", ID_VIEW_TOOLBAR);
    bar->setWindowTitle(QStringLiteral("Standard"));
    bar->setIconSize(kButtonImage);
    bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    bar->setMovable(true);
    bar->setFloatable(true);
    int image = 0;
    for (int id : ToolbarSlots()) {
        if (id == ID_SEPARATOR) {
            bar->addSeparator();
            continue;
        }
        QAction* action = actions.at(id);
        action->setIcon(QIcon(strip.copy(image * kButtonImage.width(), 0, kButtonImage.width(),
                                         kButtonImage.height())));
        ++image;
        bar->addAction(action);
    }
    return bar;
}

QStatusBar* MakeStatusBar(QWidget* frame, QLabel** messagePane)
{
    auto* bar = new QStatusBar(frame);
    bar->setObjectName(QString::number(ID_VIEW_STATUS_BAR));
    bar->setProperty("childId", ID_VIEW_STATUS_BAR);

    auto* pane = new QLabel(LoadString(AFX_IDS_IDLEMESSAGE), bar);
    pane->setObjectName(QStringLiteral("messagePane"));
    bar->addWidget(pane, 1);
    QObject::connect(bar, &QStatusBar::messageChanged, pane, [pane](const QString& message) {
        if (message.isEmpty())
            pane->setText(LoadString(AFX_IDS_IDLEMESSAGE));
    });
    *messagePane = pane;
    return bar;
}

} // namespace ondrel
