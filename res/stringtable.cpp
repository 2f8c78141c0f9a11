#include "stringtable.h"

#include "resource.h"

#include <QHash>

// Pulls the compiled-in resources (icons, toolbar bitmap) into every program that
// uses the string table: the resource object of a static library is dropped by
// the linker unless something refers to it.
static void InitResourcesOnce()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(res);
        return true;
    }();
    Q_UNUSED(done);
}

namespace {
struct ResourceLoader
{
    ResourceLoader() { InitResourcesOnce(); }
} g_resourceLoader;
} // namespace

namespace ondrel {

void InitResources()
{
    InitResourcesOnce();
}

namespace {

const QHash<int, QString>& Table()
{
    static const QHash<int, QString> table = [] {
        QHash<int, QString> t;
        t.insert(IDR_MAINFRAME,
                 QStringLiteral("Ondrel\n\nOndrel\n\n\nOndrel.Document\nOndrel Document"));
        t.insert(AFX_IDS_APP_TITLE, QStringLiteral("Ondrel"));
        t.insert(AFX_IDS_IDLEMESSAGE, QStringLiteral("Ready"));
        t.insert(ID_FILE_NEW, QStringLiteral("Create a new document\nNew"));
        t.insert(ID_FILE_OPEN, QStringLiteral("Open an existing document\nOpen"));
        t.insert(ID_FILE_CLOSE, QStringLiteral("Close the active document\nClose"));
        t.insert(ID_FILE_SAVE, QStringLiteral("Save the active document\nSave"));
        t.insert(ID_FILE_SAVE_AS,
                 QStringLiteral("Save the active document with a new name\nSave As"));
        t.insert(ID_FILE_PAGE_SETUP, QStringLiteral("Change the printing options\nPage Setup"));
        t.insert(ID_FILE_PRINT_SETUP,
                 QStringLiteral("Change the printer and printing options\nPrint Setup"));
        t.insert(ID_FILE_PRINT, QStringLiteral("Print the active document\nPrint"));
        t.insert(ID_FILE_PRINT_PREVIEW, QStringLiteral("Display full pages\nPrint Preview"));
        for (int id = ID_FILE_MRU_FILE1; id <= ID_FILE_MRU_FILE16; ++id)
            t.insert(id, QStringLiteral("Open this document"));
        t.insert(ID_EDIT_CLEAR, QStringLiteral("Erase the selection\nErase"));
        t.insert(ID_EDIT_CLEAR_ALL, QStringLiteral("Erase everything\nErase All"));
        t.insert(ID_EDIT_COPY,
                 QStringLiteral("Copy the selection and put it on the Clipboard\nCopy"));
        t.insert(ID_EDIT_CUT, QStringLiteral("Cut the selection and put it on the Clipboard\nCut"));
        t.insert(ID_EDIT_FIND, QStringLiteral("Find the specified text\nFind"));
        t.insert(ID_EDIT_PASTE, QStringLiteral("Insert Clipboard contents\nPaste"));
        t.insert(ID_EDIT_REPEAT, QStringLiteral("Repeat the last action\nRepeat"));
        t.insert(ID_EDIT_REPLACE,
                 QStringLiteral("Replace specific text with different text\nReplace"));
        t.insert(ID_EDIT_SELECT_ALL, QStringLiteral("Select the entire document\nSelect All"));
        t.insert(ID_EDIT_UNDO, QStringLiteral("Undo the last action\nUndo"));
        t.insert(ID_EDIT_REDO, QStringLiteral("Redo the previously undone action\nRedo"));
        t.insert(ID_WINDOW_SPLIT, QStringLiteral("Split the active window into panes\nSplit"));
        t.insert(
            ID_APP_ABOUT,
            QStringLiteral("Display program information, version number and copyright\nAbout"));
        t.insert(ID_APP_EXIT,
                 QStringLiteral("Quit the application; prompts to save documents\nExit"));
        t.insert(ID_NEXT_PANE, QStringLiteral("Switch to the next window pane\nNext Pane"));
        t.insert(ID_PREV_PANE,
                 QStringLiteral("Switch back to the previous window pane\nPrevious Pane"));
        t.insert(ID_INDICATOR_EXT, QStringLiteral("EXT"));
        t.insert(ID_INDICATOR_CAPS, QStringLiteral("CAP"));
        t.insert(ID_INDICATOR_NUM, QStringLiteral("NUM"));
        t.insert(ID_INDICATOR_SCRL, QStringLiteral("SCRL"));
        t.insert(ID_INDICATOR_OVR, QStringLiteral("OVR"));
        t.insert(ID_INDICATOR_REC, QStringLiteral("REC"));
        t.insert(ID_VIEW_TOOLBAR, QStringLiteral("Show or hide the toolbar\nToggle ToolBar"));
        t.insert(ID_VIEW_STATUS_BAR,
                 QStringLiteral("Show or hide the status bar\nToggle StatusBar"));
        t.insert(
            ID_VIEW_TREND,
            QStringLiteral("Show or hide the live trend of kV, \u00b5A and temperature\nTrend"));
        t.insert(AFX_IDS_SCSIZE, QStringLiteral("Change the window size"));
        t.insert(AFX_IDS_SCSIZE + 1, QStringLiteral("Change the window position"));
        t.insert(AFX_IDS_SCSIZE + 2, QStringLiteral("Reduce the window to an icon"));
        t.insert(AFX_IDS_SCSIZE + 3, QStringLiteral("Enlarge the window to full size"));
        t.insert(AFX_IDS_SCSIZE + 4, QStringLiteral("Switch to the next document window"));
        t.insert(AFX_IDS_SCSIZE + 5, QStringLiteral("Switch to the previous document window"));
        t.insert(AFX_IDS_SCSIZE + 6,
                 QStringLiteral("Close the active window and prompts to save the documents"));
        t.insert(AFX_IDS_SCSIZE + 18, QStringLiteral("Restore the window to normal size"));
        t.insert(AFX_IDS_SCSIZE + 19, QStringLiteral("Activate Task List"));
        t.insert(AFX_IDS_PREVIEW_CLOSE, QStringLiteral("Close print preview mode\nCancel Preview"));
        return t;
    }();
    return table;
}

} // namespace

QString LoadString(int id)
{
    return Table().value(id);
}

QString PromptOf(int commandId)
{
    return LoadString(commandId).section(QLatin1Char('\n'), 0, 0);
}

QString TooltipOf(int commandId)
{
    const QString text = LoadString(commandId);
    const int lf = text.indexOf(QLatin1Char('\n'));
    return lf < 0 ? QString() : text.mid(lf + 1);
}

QString DocStringField(int index)
{
    const QStringList fields = LoadString(IDR_MAINFRAME).split(QLatin1Char('\n'));
    return index >= 0 && index < fields.size() ? fields.at(index) : QString();
}

const std::vector<MenuPopup>& MainMenu()
{
    static const std::vector<MenuPopup> menu = {
        {QStringLiteral("&File"),
         {
             {QStringLiteral("&New\tCtrl+N"), ID_FILE_NEW},
             {QStringLiteral("&Open...\tCtrl+O"), ID_FILE_OPEN},
             {QStringLiteral("&Save\tCtrl+S"), ID_FILE_SAVE},
             {QStringLiteral("Save &As..."), ID_FILE_SAVE_AS},
             {QString(), ID_SEPARATOR},
             {QStringLiteral("&Print...\tCtrl+P"), ID_FILE_PRINT},
             {QStringLiteral("Print Pre&view"), ID_FILE_PRINT_PREVIEW},
             {QStringLiteral("P&rint Setup..."), ID_FILE_PRINT_SETUP},
             {QString(), ID_SEPARATOR},
             {QStringLiteral("Recent File"), ID_FILE_MRU_FILE1, true},
             {QString(), ID_SEPARATOR},
             {QStringLiteral("E&xit"), ID_APP_EXIT},
         }},
        {QStringLiteral("&Edit"),
         {
             {QStringLiteral("&Undo\tCtrl+Z"), ID_EDIT_UNDO},
             {QString(), ID_SEPARATOR},
             {QStringLiteral("Cu&t\tCtrl+X"), ID_EDIT_CUT},
             {QStringLiteral("&Copy\tCtrl+C"), ID_EDIT_COPY},
             {QStringLiteral("&Paste\tCtrl+V"), ID_EDIT_PASTE},
         }},
        {QStringLiteral("&View"),
         {
             {QStringLiteral("&Toolbar"), ID_VIEW_TOOLBAR},
             {QStringLiteral("&Status Bar"), ID_VIEW_STATUS_BAR},
             {QStringLiteral("T&rend"), ID_VIEW_TREND},
         }},
        {QStringLiteral("&Help"),
         {
             {QStringLiteral("&About Brevane..."), ID_APP_ABOUT},
         }},
    };
    return menu;
}

const std::vector<Accelerator>& MainAccelerators()
{
    static const std::vector<Accelerator> table = {
        {QKeySequence(Qt::CTRL | Qt::Key_N), ID_FILE_NEW},
        {QKeySequence(Qt::CTRL | Qt::Key_O), ID_FILE_OPEN},
        {QKeySequence(Qt::CTRL | Qt::Key_S), ID_FILE_SAVE},
        {QKeySequence(Qt::CTRL | Qt::Key_P), ID_FILE_PRINT},
        {QKeySequence(Qt::CTRL | Qt::Key_Z), ID_EDIT_UNDO},
        {QKeySequence(Qt::CTRL | Qt::Key_X), ID_EDIT_CUT},
        {QKeySequence(Qt::CTRL | Qt::Key_C), ID_EDIT_COPY},
        {QKeySequence(Qt::CTRL | Qt::Key_V), ID_EDIT_PASTE},
        {QKeySequence(Qt::ALT | Qt::Key_Backspace), ID_EDIT_UNDO},
        {QKeySequence(Qt::SHIFT | Qt::Key_Delete), ID_EDIT_CUT},
        {QKeySequence(Qt::CTRL | Qt::Key_Insert), ID_EDIT_COPY},
        {QKeySequence(Qt::SHIFT | Qt::Key_Insert), ID_EDIT_PASTE},
        {QKeySequence(Qt::Key_F6), ID_NEXT_PANE},
        {QKeySequence(Qt::SHIFT | Qt::Key_F6), ID_PREV_PANE},
    };
    return table;
}

const std::vector<int>& ToolbarSlots()
{
    static const std::vector<int> toolbar = {
        ID_FILE_NEW,   ID_FILE_OPEN, ID_FILE_SAVE,  ID_SEPARATOR, ID_EDIT_CUT,  ID_EDIT_COPY,
        ID_EDIT_PASTE, ID_SEPARATOR, ID_FILE_PRINT, ID_SEPARATOR, ID_APP_ABOUT,
    };
    return toolbar;
}

QString VersionRecord::Value(const QString& key) const
{
    for (const auto& [k, v] : strings) {
        if (k == key)
            return v;
    }
    return QString();
}

const VersionRecord& Version()
{
    static const VersionRecord record = {
        QStringLiteral("1.0.0.1"),
        QStringLiteral("1.0.0.1"),
        {
            {QStringLiteral("Comments"), QString()},
            {QStringLiteral("CompanyName"), QString()},
            {QStringLiteral("FileDescription"), QStringLiteral("Brevane")},
            {QStringLiteral("FileVersion"), QStringLiteral("1, 0, 0, 1")},
            {QStringLiteral("InternalName"), QStringLiteral("Brevane")},
            {QStringLiteral("LegalCopyright"),
             QStringLiteral("Copyright (C) 2026 the Ondrel developers")},
            {QStringLiteral("LegalTrademarks"), QString()},
            {QStringLiteral("OriginalFilename"), QStringLiteral("Brevane.EXE")},
            {QStringLiteral("PrivateBuild"), QString()},
            {QStringLiteral("ProductName"), QStringLiteral("Brevane")},
            {QStringLiteral("ProductVersion"), QStringLiteral("1, 0, 0, 1")},
            {QStringLiteral("SpecialBuild"), QString()},
        },
    };
    return record;
}

} // namespace ondrel
