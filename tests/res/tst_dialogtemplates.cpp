// The templates fix the operator's layout; a typo in one rectangle or style value
// would silently move or change a control, so every value is checked here against
// an independent copy of the layout table.
#include "dialogtemplate.h"
#include "resource.h"

#include <QtTest>

using namespace ondrel;

Q_DECLARE_METATYPE(ondrel::ControlKind)

class TestDialogTemplates : public QObject
{
    Q_OBJECT
private slots:
    void formHeader();
    void formControls_data();
    void formControls();
    void aboutHeader();
    void aboutControls_data();
    void aboutControls();

private:
    static void addColumns();
    static void checkItem(const DialogTemplate& tmpl);
};

void TestDialogTemplates::addColumns()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("id");
    QTest::addColumn<ControlKind>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<quint32>("style");
}

void TestDialogTemplates::checkItem(const DialogTemplate& tmpl)
{
    QFETCH(int, index);
    QFETCH(int, id);
    QFETCH(ControlKind, kind);
    QFETCH(QString, caption);
    QFETCH(QRect, rect);
    QFETCH(quint32, style);
    QVERIFY(index < static_cast<int>(tmpl.items.size()));
    const DialogItem& item = tmpl.items[index];
    QCOMPARE(item.id, id);
    QCOMPARE(item.kind, kind);
    // A null caption is not compared: text that is ours to word is checked on
    // its own (aboutHeader).
    if (kind != ControlKind::Icon && !caption.isNull())
        QCOMPARE(item.caption, caption);
    QCOMPARE(item.rect, rect);
    QCOMPARE(item.style, style);
    QCOMPARE(item.exStyle, quint32(0));
}

void TestDialogTemplates::formHeader()
{
    const DialogTemplate& t = OndrelFormTemplate();
    QCOMPARE(t.id, 101);
    QCOMPARE(t.size, QSize(320, 200));
    QCOMPARE(t.fontFace, QStringLiteral("MS Sans Serif"));
    QCOMPARE(t.pointSize, 8);
    QCOMPARE(t.style, quint32(0x40000040));
    QCOMPARE(t.exStyle, quint32(0));
    QVERIFY(t.caption.isEmpty());
    QCOMPARE(int(t.items.size()), 19);
    QCOMPARE(t.items[0].classId, QStringLiteral("{648A5600-2C6E-101B-82B6-000000000014}"));
}

void TestDialogTemplates::formControls_data()
{
    addColumns();
    using K = ControlKind;
    const int none = 65535;
    struct Row
    {
        int id;
        K kind;
        const char* caption;
        QRect rect;
        quint32 style;
    };
    const Row rows[] = {
        {1002, K::CustomSite, "", {267, 150, 25, 23}, 0x50010000},
        {none,
         K::StaticText,
         "Check Kv,mA and X-Ray to Enable X-Rays",
         {78, 14, 139, 8},
         0x50020000},
        {1012, K::CheckBox, "80.5 KV", {31, 40, 41, 10}, 0x50010003},
        {1013, K::CheckBox, "1.1mA", {89, 40, 36, 10}, 0x50010003},
        {1014, K::CheckBox, "X-Ray On/Off", {142, 40, 59, 10}, 0x50010003},
        {none, K::GroupBox, "X-Ray Program", {21, 24, 189, 40}, 0x50000007},
        {1000, K::Edit, "", {74, 78, 53, 14}, 0x50810080},
        {1001, K::Edit, "", {74, 97, 53, 14}, 0x50810080},
        {1015, K::Edit, "", {77, 116, 53, 14}, 0x50810080},
        {none, K::StaticText, "Kv Monitor", {30, 80, 35, 8}, 0x50020000},
        {none, K::StaticText, "uA monitor", {33, 100, 34, 8}, 0x50020000},
        {none, K::StaticText, "Temperature monitor", {11, 118, 66, 8}, 0x50020000},
        {none, K::GroupBox, "Monitor", {9, 70, 218, 66}, 0x50000007},
        {1016, K::Edit, "", {245, 32, 40, 14}, 0x50810080},
        {none, K::StaticText, "Version", {251, 20, 24, 8}, 0x50020000},
        {none, K::GroupBox, "Faults", {15, 145, 223, 40}, 0x50000007},
        {1017, K::Edit, "", {73, 154, 40, 14}, 0x50810080},
        {none, K::StaticText, "Check Faults", {24, 156, 42, 8}, 0x50020000},
        {1018, K::PushButton, "Clear Faults", {132, 153, 50, 14}, 0x50010000},
    };
    int index = 0;
    for (const Row& r : rows) {
        QTest::addRow("%d: %d %s", index + 1, r.id, r.caption)
            << index << r.id << r.kind << QString::fromLatin1(r.caption) << r.rect << r.style;
        ++index;
    }
}

void TestDialogTemplates::formControls()
{
    checkItem(OndrelFormTemplate());
}

void TestDialogTemplates::aboutHeader()
{
    const DialogTemplate& t = AboutBoxTemplate();
    QCOMPARE(t.id, 100);
    QCOMPARE(t.caption, QStringLiteral("Brevane"));
    QCOMPARE(t.size, QSize(235, 55));
    QCOMPARE(t.fontFace, QStringLiteral("MS Sans Serif"));
    QCOMPARE(t.pointSize, 8);
    QCOMPARE(t.style, quint32(0x80C800C0));
    QCOMPARE(int(t.items.size()), 4);
    // The second line is ours to word, but it must say something and fit one line.
    QVERIFY(!t.items[2].caption.trimmed().isEmpty());
    QVERIFY(!t.items[2].caption.contains(QLatin1Char('\n')));
}

void TestDialogTemplates::aboutControls_data()
{
    addColumns();
    using K = ControlKind;
    QTest::newRow("icon") << 0 << 65535 << K::Icon << QString() << QRect(11, 17, 20, 20)
                          << quint32(0x50000003);
    QTest::newRow("title") << 1 << 65535 << K::StaticText << QStringLiteral("Brevane 1.0")
                           << QRect(40, 10, 119, 8) << quint32(0x50020080);
    QTest::newRow("second line") << 2 << 65535 << K::StaticText << QString()
                                 << QRect(40, 25, 119, 8) << quint32(0x50020000);
    QTest::newRow("OK") << 3 << 1 << K::PushButton << QStringLiteral("OK") << QRect(178, 7, 50, 14)
                        << quint32(0x50030001);
}

void TestDialogTemplates::aboutControls()
{
    checkItem(AboutBoxTemplate());
}

QTEST_APPLESS_MAIN(TestDialogTemplates)
#include "tst_dialogtemplates.moc"
