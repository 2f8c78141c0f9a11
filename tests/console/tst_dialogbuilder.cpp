// The built form must keep the operator's layout: positions within one dialog
// unit, Tab order as in the template, clicks reaching the controls under the
// group boxes, and labels naming their read-outs.
#include "dialogbuilder.h"
#include "resource.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

using namespace ondrel;

namespace {

std::unique_ptr<QWidget> BuildForm()
{
    auto host = std::make_unique<QWidget>();
    BuildDialog(OndrelFormTemplate(), host.get());
    return host;
}

QWidget* ByIndex(QWidget* host, int index)
{
    const auto children = host->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* w : children) {
        if (w->property("templateIndex").toInt() == index && w->property("controlId").isValid())
            return w;
    }
    return nullptr;
}

bool WithinOneUnit(const QRectF& got, const QRect& want)
{
    return qAbs(got.x() - want.x()) <= 1 && qAbs(got.y() - want.y()) <= 1 &&
           qAbs(got.width() - want.width()) <= 1 && qAbs(got.height() - want.height()) <= 1;
}

bool ShowActive(QWidget* w)
{
    w->show();
    w->activateWindow();
    return QTest::qWaitForWindowActive(w);
}

} // namespace

class TestDialogBuilder : public QObject
{
    Q_OBJECT
private slots:
    void builtGeometry_data();
    void builtGeometry();
    void tabOrder();
    void clickTogglesCheckBox_data();
    void clickTogglesCheckBox();
    void childAtFindsControl_data();
    void childAtFindsControl();
    void groupBoxesStayBelow();
    void nothingMovesOnResize();
    void accessibleNames_data();
    void accessibleNames();
    void staticTextAmpersand_data();
    void staticTextAmpersand();
    void aboutBox();
    void lookupById();
};

void TestDialogBuilder::builtGeometry_data()
{
    QTest::addColumn<int>("index");
    const auto& items = OndrelFormTemplate().items;
    for (int i = 0; i < int(items.size()); ++i)
        QTest::addRow("%d: %d %s", i + 1, items[i].id, qPrintable(items[i].caption)) << i;
}

void TestDialogBuilder::builtGeometry()
{
    QFETCH(int, index);
    auto host = BuildForm();
    const DialogUnits units(host->font());
    QWidget* w = ByIndex(host.get(), index);
    QVERIFY(w);
    const DialogItem& item = OndrelFormTemplate().items[index];
    QCOMPARE(w->property("controlId").toInt(), item.id);
    const QRectF back = units.ToDialogUnits(w->geometry());
    QVERIFY2(WithinOneUnit(back, item.rect), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                            .arg(back.x())
                                                            .arg(back.y())
                                                            .arg(back.width())
                                                            .arg(back.height())));
    const QRectF form = units.ToDialogUnits(QRect(QPoint(0, 0), host->size()));
    QVERIFY(WithinOneUnit(form, QRect(0, 0, 320, 200)));
    QCOMPARE(host->minimumSize(), host->maximumSize());
}

void TestDialogBuilder::tabOrder()
{
    auto host = BuildForm();
    QVERIFY(ShowActive(host.get()));
    QList<int> expected;
    if (DialogItemWidget(host.get(), IDC_MSCOMM)->focusPolicy() & Qt::TabFocus)
        expected << IDC_MSCOMM;
    expected << 1012 << 1013 << 1014 << 1000 << 1001 << 1015 << 1016 << 1017 << 1018;

    QList<int> chain;
    for (QWidget* w = host->nextInFocusChain(); w != host.get(); w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(host.get()))
            chain << w->property("controlId").toInt();
    }
    QCOMPARE(chain, expected);

    DialogItemWidget(host.get(), expected.first())->setFocus(Qt::TabFocusReason);
    QList<int> tabbed;
    for (int i = 0; i < expected.size(); ++i) {
        QWidget* focus = QApplication::focusWidget();
        QVERIFY(focus);
        tabbed << focus->property("controlId").toInt();
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QCOMPARE(tabbed, expected);
    QCOMPARE(QApplication::focusWidget()->property("controlId").toInt(), expected.first());
}

void TestDialogBuilder::clickTogglesCheckBox_data()
{
    QTest::addColumn<int>("id");
    QTest::newRow("80.5 KV") << IDC_CHECK_KV;
    QTest::newRow("1.1mA") << IDC_CHECK_MA;
    QTest::newRow("X-Ray On/Off") << IDC_CHECK_XRAY;
}

// The click goes through the window, as a user's would, so a group box on top
// of the check box would receive it instead.
void TestDialogBuilder::clickTogglesCheckBox()
{
    QFETCH(int, id);
    auto host = BuildForm();
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host.get()));
    auto* box = qobject_cast<QCheckBox*>(DialogItemWidget(host.get(), id));
    QVERIFY(box);
    QVERIFY(!box->isChecked());
    QSignalSpy clicked(box, &QCheckBox::clicked);
    const QRect r = box->geometry();
    const QPoint onCaption(r.x() + r.width() * 2 / 3, r.center().y());
    QTest::mouseClick(host->windowHandle(), Qt::LeftButton, Qt::NoModifier, onCaption);
    QTRY_COMPARE(clicked.count(), 1);
    QVERIFY(box->isChecked());
}

void TestDialogBuilder::childAtFindsControl_data()
{
    QTest::addColumn<int>("id");
    for (int id : {1012, 1013, 1014, 1000, 1001, 1015, 1016, 1017, 1018})
        QTest::addRow("%d", id) << id;
}

void TestDialogBuilder::childAtFindsControl()
{
    QFETCH(int, id);
    auto host = BuildForm();
    QWidget* w = DialogItemWidget(host.get(), id);
    QVERIFY(w);
    QWidget* hit = host->childAt(w->geometry().center());
    while (hit && hit->parentWidget() != host.get())
        hit = hit->parentWidget();
    QCOMPARE(hit, w);
}

// Each group box is drawn under every control (it stands after the controls it
// frames in the template) and lets clicks through even where it overlaps them.
void TestDialogBuilder::groupBoxesStayBelow()
{
    auto host = BuildForm();
    const QObjectList stack = host->children(); // bottom to top
    int highestBox = -1;
    int lowestControl = stack.size();
    for (int i = 0; i < stack.size(); ++i) {
        if (auto* box = qobject_cast<QGroupBox*>(stack[i])) {
            QVERIFY(box->testAttribute(Qt::WA_TransparentForMouseEvents));
            highestBox = i;
        } else if (stack[i]->property("controlId").isValid()) {
            lowestControl = std::min(lowestControl, i);
        }
    }
    QVERIFY(highestBox >= 0);
    QVERIFY(highestBox < lowestControl);
}

void TestDialogBuilder::nothingMovesOnResize()
{
    QWidget parent;
    auto* layout = new QVBoxLayout(&parent);
    auto* host = new QWidget;
    BuildDialog(OndrelFormTemplate(), host);
    layout->addWidget(host);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    const QSize size = host->size();
    QList<QRect> before;
    for (QWidget* w : host->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        before << w->geometry();
    for (const QSize& s : {QSize(1200, 900), QSize(120, 90), QSize(700, 300)}) {
        parent.resize(s);
        QCoreApplication::processEvents();
        QCOMPARE(host->size(), size);
        QList<QRect> after;
        for (QWidget* w : host->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
            after << w->geometry();
        QCOMPARE(after, before);
    }
}

void TestDialogBuilder::accessibleNames_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("name");
    QTest::newRow("kV") << IDC_KV_MONITOR << "Kv Monitor";
    QTest::newRow("uA") << IDC_UA_MONITOR << "uA monitor";
    QTest::newRow("temperature") << IDC_TEMP_MONITOR << "Temperature monitor";
    QTest::newRow("version (label above)") << IDC_VERSION << "Version";
    QTest::newRow("faults") << IDC_FAULTS << "Check Faults";
    QTest::newRow("X-ray check box") << IDC_CHECK_XRAY << "X-Ray On/Off";
    QTest::newRow("clear button") << IDC_CLEAR_FAULTS << "Clear Faults";
}

void TestDialogBuilder::accessibleNames()
{
    QFETCH(int, id);
    QFETCH(QString, name);
    auto host = BuildForm();
    QWidget* w = DialogItemWidget(host.get(), id);
    QVERIFY(w);
    if (QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w))
        QCOMPARE(iface->text(QAccessible::Name), name);
    else
        QCOMPARE(w->accessibleName(), name);
    if (qobject_cast<QLineEdit*>(w)) {
        QLabel* buddyOf = nullptr;
        for (QLabel* label : host->findChildren<QLabel*>()) {
            if (label->buddy() == w)
                buddyOf = label;
        }
        QVERIFY(buddyOf);
        QCOMPARE(buddyOf->text(), name);
    }
}

void TestDialogBuilder::staticTextAmpersand_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<quint32>("style");
    QTest::addColumn<bool>("withEdit");
    QTest::addColumn<QString>("shown");
    QTest::newRow("no prefix keeps &")
        << "R&&D & Co" << quint32(0x50020080) << false << "R&&D & Co";
    QTest::newRow("mnemonic, no target")
        << "&Port && line" << quint32(0x50020000) << false << "Port & line";
    QTest::newRow("mnemonic for edit") << "&Port" << quint32(0x50020000) << true << "&Port";
    QTest::newRow("no prefix beside edit") << "A&B" << quint32(0x50020080) << true << "A&B";
}

void TestDialogBuilder::staticTextAmpersand()
{
    QFETCH(QString, caption);
    QFETCH(quint32, style);
    QFETCH(bool, withEdit);
    QFETCH(QString, shown);
    DialogTemplate t{1, QSize(100, 30), QString(), "MS Sans Serif", 8, 0x40000040, 0, {}};
    t.items.push_back({IDC_STATIC, ControlKind::StaticText, caption, QRect(4, 6, 30, 8), style});
    if (withEdit)
        t.items.push_back({77, ControlKind::Edit, QString(), QRect(40, 4, 40, 14), 0x50810080});
    QWidget host;
    BuildDialog(t, &host);
    auto* label = qobject_cast<QLabel*>(DialogItemWidget(&host, IDC_STATIC));
    QVERIFY(label);
    QCOMPARE(label->text(), shown);
    const bool mnemonic = withEdit && !(style & SS_NOPREFIX);
    QCOMPARE(label->buddy() != nullptr, mnemonic);
    if (withEdit)
        QCOMPARE(DialogItemWidget(&host, 77)->accessibleName(), StripMnemonic(caption));
}

void TestDialogBuilder::aboutBox()
{
    QDialog dialog;
    const QSize size = BuildDialog(AboutBoxTemplate(), &dialog);
    const DialogUnits units(dialog.font());
    QVERIFY(WithinOneUnit(units.ToDialogUnits(QRect(QPoint(0, 0), size)), QRect(0, 0, 235, 55)));
    QCOMPARE(dialog.size(), size);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Brevane"));

    auto* icon = qobject_cast<QLabel*>(ByIndex(&dialog, 0));
    QVERIFY(icon);
    const QPixmap pixmap = icon->pixmap();
    QVERIFY(pixmap.isNull() ||
            (pixmap.width() <= icon->width() && pixmap.height() <= icon->height()));

    auto* ok = qobject_cast<QPushButton*>(DialogItemWidget(&dialog, IDOK));
    QVERIFY(ok);
    QVERIFY(ok->isDefault());
    connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_Return);
    QTRY_COMPARE(dialog.result(), int(QDialog::Accepted));
}

void TestDialogBuilder::lookupById()
{
    auto host = BuildForm();
    QCOMPARE(DialogItemWidget(host.get(), 4242), nullptr);
    QCOMPARE(DialogItemWidget(nullptr, IDC_FAULTS), nullptr);
    QCOMPARE(DialogItemWidget(host.get(), IDC_FAULTS)->objectName(), QStringLiteral("IDC_FAULTS"));
    // The first null-id control in template order, although group boxes were restacked.
    auto* first = qobject_cast<QLabel*>(DialogItemWidget(host.get(), IDC_STATIC));
    QVERIFY(first);
    QCOMPARE(first->text(), OndrelFormTemplate().items[1].caption);
    auto* site = qobject_cast<CCommSite*>(DialogItemWidget(host.get(), IDC_MSCOMM));
    QVERIFY(site);
    QCOMPARE(site->focusPolicy(), Qt::NoFocus);
    QCOMPARE(site->ClassId(), OndrelFormTemplate().items[0].classId);
}

QTEST_MAIN(TestDialogBuilder)
#include "tst_dialogbuilder.moc"
