// The string table, accelerators, toolbar slots and version record against the
// texts the operator sees; every expectation here is written out literally.
#include "stringtable.h"

#include <QTest>

using namespace ondrel;

class TestStringTable : public QObject
{
    Q_OBJECT
private slots:
    void commandPrompts_data();
    void commandPrompts();
    void plainStrings_data();
    void plainStrings();
    void recentFileEntries();
    void unusedPromptsHaveTooltips();
    void documentString();
    void accelerators();
    void toolbarSlots();
    void versionRecord();
};

// Menu items and buttons are checked on the frame's actions; these are the
// strings no menu shows.
void TestStringTable::commandPrompts_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("tooltip");
    auto row = [](const char* name, int id, const char* prompt, const char* tip) {
        QTest::newRow(name) << id << QString::fromLatin1(prompt) << QString::fromLatin1(tip);
    };
    row("Next Pane", 57680, "Switch to the next window pane", "Next Pane");
    row("Prev Pane", 57681, "Switch back to the previous window pane", "Previous Pane");
    row("Cancel Preview", 61445, "Close print preview mode", "Cancel Preview");
    row("Recent file", 57616, "Open this document", "");
    row("no such id", 57615, "", "");
}

void TestStringTable::commandPrompts()
{
    QFETCH(int, id);
    QFETCH(QString, prompt);
    QFETCH(QString, tooltip);
    QCOMPARE(PromptOf(id), prompt);
    QCOMPARE(TooltipOf(id), tooltip);
}

void TestStringTable::plainStrings_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("text");
    auto row = [](const char* name, int id, const char* text) {
        QTest::newRow(name) << id << QString::fromLatin1(text);
    };
    row("app title", 57344, "Ondrel");
    row("idle", 57345, "Ready");
    row("EXT", 59136, "EXT");
    row("CAP", 59137, "CAP");
    row("NUM", 59138, "NUM");
    row("SCRL", 59139, "SCRL");
    row("OVR", 59140, "OVR");
    row("REC", 59141, "REC");
    row("size", 61184, "Change the window size");
    row("move", 61185, "Change the window position");
    row("minimize", 61186, "Reduce the window to an icon");
    row("maximize", 61187, "Enlarge the window to full size");
    row("next window", 61188, "Switch to the next document window");
    row("prev window", 61189, "Switch to the previous document window");
    row("close", 61190, "Close the active window and prompts to save the documents");
    row("restore", 61202, "Restore the window to normal size");
    row("task list", 61203, "Activate Task List");
    row("print direct has none", 57608, "");
    row("between window strings", 61191, "");
}

void TestStringTable::plainStrings()
{
    QFETCH(int, id);
    QFETCH(QString, text);
    QCOMPARE(LoadString(id), text);
}

void TestStringTable::recentFileEntries()
{
    for (int id = 57616; id <= 57631; ++id)
        QCOMPARE(LoadString(id), QStringLiteral("Open this document"));
    QVERIFY(LoadString(57632) != QStringLiteral("Open this document"));
}

void TestStringTable::unusedPromptsHaveTooltips()
{
    // Held although nothing sends them: a prompt line and a tooltip each.
    for (int id : {57602, 57605, 57632, 57633, 57636, 57640, 57641, 57642, 57644, 57653}) {
        QVERIFY2(!PromptOf(id).isEmpty(), qPrintable(QString::number(id)));
        QVERIFY2(!TooltipOf(id).isEmpty(), qPrintable(QString::number(id)));
    }
}

void TestStringTable::documentString()
{
    QCOMPARE(LoadString(128),
             QStringLiteral("Ondrel\n\nOndrel\n\n\nOndrel.Document\nOndrel Document"));
    const QStringList fields{"Ondrel", "", "Ondrel", "", "", "Ondrel.Document", "Ondrel Document"};
    for (int i = 0; i < fields.size(); ++i)
        QCOMPARE(DocStringField(i), fields.at(i));
    QCOMPARE(DocStringField(7), QString());
}

void TestStringTable::accelerators()
{
    const QList<QPair<QString, int>> expected{
        {"Ctrl+N", 57600},    {"Ctrl+O", 57601},   {"Ctrl+S", 57603},
        {"Ctrl+P", 57607},    {"Ctrl+Z", 57643},   {"Ctrl+X", 57635},
        {"Ctrl+C", 57634},    {"Ctrl+V", 57637},   {"Alt+Backspace", 57643},
        {"Shift+Del", 57635}, {"Ctrl+Ins", 57634}, {"Shift+Ins", 57637},
        {"F6", 57680},        {"Shift+F6", 57681},
    };
    const auto& table = MainAccelerators();
    QCOMPARE(int(table.size()), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(table[i].keys.toString(QKeySequence::PortableText), expected[i].first);
        QCOMPARE(table[i].commandId, expected[i].second);
    }
}

void TestStringTable::toolbarSlots()
{
    const std::vector<int> expected{57600, 57601, 57603, 0, 57635, 57634,
                                    57637, 0,     57607, 0, 57664};
    QCOMPARE(ToolbarSlots(), expected);
}

void TestStringTable::versionRecord()
{
    const VersionRecord& v = Version();
    QCOMPARE(v.fileVersion, QStringLiteral("1.0.0.1"));
    QCOMPARE(v.productVersion, QStringLiteral("1.0.0.1"));
    const QStringList keys{"Comments",     "CompanyName",    "FileDescription", "FileVersion",
                           "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
                           "PrivateBuild", "ProductName",    "ProductVersion",  "SpecialBuild"};
    QCOMPARE(int(v.strings.size()), keys.size());
    for (int i = 0; i < keys.size(); ++i)
        QCOMPARE(v.strings[i].first, keys.at(i));
    QCOMPARE(v.Value("FileDescription"), QStringLiteral("Brevane"));
    QCOMPARE(v.Value("FileVersion"), QStringLiteral("1, 0, 0, 1"));
    QCOMPARE(v.Value("OriginalFilename"), QStringLiteral("Brevane.EXE"));
    QCOMPARE(v.Value("ProductName"), QStringLiteral("Brevane"));
    QCOMPARE(v.Value("ProductVersion"), QStringLiteral("1, 0, 0, 1"));
    QVERIFY(!v.Value("LegalCopyright").isEmpty());
    for (const char* empty :
         {"Comments", "CompanyName", "LegalTrademarks", "PrivateBuild", "SpecialBuild"})
        QCOMPARE(v.Value(empty), QString());
}

QTEST_GUILESS_MAIN(TestStringTable)
#include "tst_stringtable.moc"
