// The empty document through the File commands: saving writes empty files (and
// asks before emptying one with content), opening ignores content, the
// recent-file list, and printing empty pages.
#include "doctemplate.h"
#include "filebytes.h"
#include "ondreldoc.h"
#include "recentfilelist.h"
#include "shellrig.h"
#include "viewprint.h"

#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace ondrel;

namespace {

// Root writes anywhere: for as long as this lives, the thread has only the file
// permissions of an ordinary user.
class CWithoutFileOverride
{
public:
    CWithoutFileOverride()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_lowered = ::syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~CWithoutFileOverride()
    {
        if (m_lowered)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    CWithoutFileOverride(const CWithoutFileOverride&) = delete;
    CWithoutFileOverride& operator=(const CWithoutFileOverride&) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2] = {};
    bool m_lowered = false;
};

} // namespace

class TestDocument : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void saveWritesAnEmptyFile_data();
    void saveWritesAnEmptyFile();
    void failedSaveKeepsTheOldContent();
    void refusedSave_data();
    void refusedSave();
    void openIgnoresContent();
    void refusedOpen_data();
    void refusedOpen();
    void newStartsAgain();
    void recentListKeepsFourWithoutDuplicates();
    void recentListSurvivesARestart();
    void recentEntryOpensItsFile();
    void vanishedRecentFileLeavesTheList();
    void printing_data();
    void printing();
    void cancelledPrintPrintsNothing();
    void printSetup();

private:
    QString Path(const QString& name) const { return m_dir->filePath(name); }
    QString Fifo();
    CRecentFileList* Recent() const { return CShellRig::App()->RecentFileList(); }
    COndrelDoc* Doc() const { return CShellRig::App()->Document(); }
    QStringList RecentMenu() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CShellRig> m_rig;
};

void TestDocument::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_rig = std::make_unique<CShellRig>();
    QVERIFY(m_rig->Start());
    while (Recent()->Size() > 0)
        Recent()->Remove(0);
    m_rig->answerer.Clear();
}

void TestDocument::cleanup()
{
    m_rig.reset();
    m_dir.reset();
}

QString TestDocument::Fifo()
{
    const QString path = Path("fifo");
    if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
        qWarning("mkfifo failed");
    return path;
}

QStringList TestDocument::RecentMenu() const
{
    CMainFrame* frame = CShellRig::Frame();
    QStringList texts;
    for (int i = 0; i < 4; ++i) {
        QAction* action = frame->Action(57616 + i);
        if (action->isVisible())
            texts << action->text() + (action->isEnabled() ? "" : " (grey)");
    }
    return texts;
}

void TestDocument::saveWritesAnEmptyFile_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<bool>("openFirst"); // the document already has a file of its own
    QTest::addColumn<int>("dialogs");    // file dialogs expected
    QTest::addColumn<QString>("file");   // what is at the path: "new", "empty" or "content"
    QTest::addColumn<QString>("answer"); // to the question; "" takes the default
    struct Way
    {
        const char* name;
        int command;
        bool openFirst;
        int dialogs;
    };
    const Way ways[] = {{"Save, untitled", 57603, false, 1},
                        {"Save As", 57604, false, 1},
                        {"Save over the opened file", 57603, true, 0},
                        {"Save As from an opened file", 57604, true, 1}};
    for (const Way& way : ways) {
        for (const char* file : {"new", "empty", "content"}) {
            for (const char* answer : {"Yes", ""}) {
                if (QByteArray(file) != "content" && *answer == '\0')
                    continue; // no question, nothing to answer
                QTest::addRow("%s, %s file, %s", way.name, file, *answer ? answer : "default")
                    << way.command << way.openFirst << way.dialogs << file << answer;
            }
        }
    }
}

void TestDocument::saveWritesAnEmptyFile()
{
    QFETCH(int, command);
    QFETCH(bool, openFirst);
    QFETCH(int, dialogs);
    QFETCH(QString, file);
    QFETCH(QString, answer);
    const QString target = Path("saved.ond");
    const QByteArray old = file == "content" ? "old content that must not go unasked" : "";
    WriteFile(target, old);
    if (openFirst) {
        QString error;
        QVERIFY(CShellRig::App()->OpenDocumentFile(target, &error));
    }
    if (file == "new")
        QVERIFY(QFile::remove(target));
    m_rig->answerer.Clear();
    m_rig->answerer.SetAnswer([&](const AnsweredBox&, int) { return answer; });
    m_rig->nextFileName = target;
    m_rig->fileDialogs = 0;
    m_rig->Run(command);

    const bool asked = file == "content";
    const bool written = !asked || answer == "Yes";
    QCOMPARE(m_rig->fileDialogs, dialogs);
    QCOMPARE(m_rig->answerer.Texts(),
             asked ? QStringList{"saved.ond is not empty. Saving an Ondrel document would leave "
                                 "it empty. Replace its content?"}
                   : QStringList{});
    if (asked) {
        QCOMPARE(m_rig->answerer.Titles(), QStringList{"Ondrel"});
        QCOMPARE(m_rig->answerer.Boxes().first().buttons, QMessageBox::Yes | QMessageBox::No);
    }
    QCOMPARE(ReadAll(target), written ? QByteArray() : old);
    const bool named = written || openFirst;
    QCOMPARE(CShellRig::Frame()->windowTitle(),
             named ? QStringLiteral("saved.ond - Ondrel") : QStringLiteral("Untitled - Ondrel"));
    QCOMPARE(Recent()->Files(), named ? QStringList{target} : QStringList{});
    QVERIFY(!Doc()->IsModified());
}

void TestDocument::failedSaveKeepsTheOldContent()
{
    const QString folder = Path("locked");
    QVERIFY(QDir().mkdir(folder));
    const QString target = folder + "/report.txt";
    WriteFile(target, "keep me");
    QString error;
    QVERIFY(CShellRig::App()->OpenDocumentFile(target, &error));
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    bool enforced = false;
    {
        CWithoutFileOverride asOrdinaryUser;
        QFile probe(folder + "/probe");
        enforced = !probe.open(QIODevice::WriteOnly);
        if (enforced) {
            m_rig->answerer.Clear();
            m_rig->answerer.SetAnswer([](const AnsweredBox&, int) { return QString("Yes"); });
            m_rig->Run(57603);
        }
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!enforced)
        QSKIP("this user may write into a read-only folder");

    QCOMPARE(m_rig->answerer.Count(), 2); // the question, then the failure
    const QString failure = m_rig->answerer.Texts().at(1);
    QVERIFY2(failure.startsWith(QStringLiteral("Cannot save to \"%1\": ").arg(target)) &&
                 failure.size() > target.size() + 20,
             qPrintable(failure));
    QCOMPARE(ReadAll(target), QByteArray("keep me"));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"report.txt"});
}

void TestDocument::refusedSave_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing folder") << "nofolder/x.ond"
                                    << "Cannot save to";
    QTest::newRow("a folder") << "."
                              << "it is a folder";
    QTest::newRow("a fifo") << "fifo"
                            << "not a regular file";
}

void TestDocument::refusedSave()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);
    const QString path = target == "fifo" ? Fifo() : Path(target);
    m_rig->nextFileName = path;
    m_rig->Run(57604);

    QCOMPARE(m_rig->answerer.Count(), 1);
    QVERIFY2(m_rig->answerer.Texts().first().contains(reason),
             qPrintable(m_rig->answerer.Texts().first()));
    QCOMPARE(CShellRig::Frame()->windowTitle(), QStringLiteral("Untitled - Ondrel"));
    QVERIFY(Doc()->GetPathName().isEmpty());
    QCOMPARE(Recent()->Size(), 0);
}

void TestDocument::openIgnoresContent()
{
    const QString path = Path("anything.bin");
    static const char raw[] = "\x01\x02 not a document at all \xff";
    const QByteArray content(raw, sizeof raw - 1);
    WriteFile(path, content);
    m_rig->nextFileName = path;
    m_rig->Run(57601);

    QCOMPARE(CShellRig::Frame()->windowTitle(), QStringLiteral("anything.bin - Ondrel"));
    QCOMPARE(Doc()->GetPathName(), path);
    QCOMPARE(ReadAll(path), content);
    QCOMPARE(Recent()->Files(), QStringList{path});
    QCOMPARE(RecentMenu(), QStringList{"&1 anything.bin"});
    // The view's start-up ran again: against the missing port it says so again.
    QCOMPARE(m_rig->answerer.Count(), 1);
    QVERIFY(m_rig->answerer.Texts().first().contains(QLatin1String(kMissingPort)));
}

void TestDocument::refusedOpen_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "gone.ond"
                             << "does not exist";
    QTest::newRow("a folder") << "."
                              << "it is a folder";
    QTest::newRow("a fifo (would block)") << "fifo"
                                          << "not a regular file";
}

void TestDocument::refusedOpen()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);
    const QString current = Path("current.ond");
    WriteFile(current, "");
    QString error;
    QVERIFY(CShellRig::App()->OpenDocumentFile(current, &error));
    m_rig->answerer.Clear();

    const QString path = target == "fifo" ? Fifo() : Path(target);
    m_rig->nextFileName = path;
    m_rig->Run(57601);

    QCOMPARE(m_rig->answerer.Count(), 1);
    QVERIFY2(m_rig->answerer.Texts().first().contains(reason),
             qPrintable(m_rig->answerer.Texts().first()));
    QCOMPARE(m_rig->answerer.Titles().first(), QStringLiteral("Ondrel"));
    QCOMPARE(Doc()->GetPathName(), current);
    QCOMPARE(CShellRig::Frame()->windowTitle(), QStringLiteral("current.ond - Ondrel"));
    QCOMPARE(Recent()->Files(), QStringList{current});
}

void TestDocument::newStartsAgain()
{
    const QString path = Path("a.ond");
    WriteFile(path, "");
    QString error;
    COndrelDoc* before = CShellRig::App()->OpenDocumentFile(path, &error);
    QVERIFY(before);
    m_rig->answerer.Clear();

    m_rig->Run(57600);
    QCOMPARE(Doc(), before); // one document, re-initialised
    QVERIFY(Doc()->GetPathName().isEmpty());
    QCOMPARE(CShellRig::Frame()->windowTitle(), QStringLiteral("Untitled - Ondrel"));
    QCOMPARE(m_rig->answerer.Count(), 1); // the view's start-up ran again
    QCOMPARE(Recent()->Files(), QStringList{path});
}

void TestDocument::recentListKeepsFourWithoutDuplicates()
{
    QStringList paths;
    for (int i = 1; i <= 6; ++i) {
        paths << Path(QStringLiteral("f%1.ond").arg(i));
        WriteFile(paths.last(), "");
    }
    QString error;
    for (const QString& path : paths)
        QVERIFY(CShellRig::App()->OpenDocumentFile(path, &error));
    QCOMPARE(Recent()->Files(), (QStringList{paths[5], paths[4], paths[3], paths[2]}));

    // Opening one again moves it to the top instead of listing it twice.
    QVERIFY(CShellRig::App()->OpenDocumentFile(paths[3], &error));
    QCOMPARE(Recent()->Files(), (QStringList{paths[3], paths[5], paths[4], paths[2]}));
    QCOMPARE(RecentMenu(), (QStringList{"&1 f4.ond", "&2 f6.ond", "&3 f5.ond", "&4 f3.ond"}));

    // The same name in two folders: the full paths tell them apart.
    QDir(m_dir->path()).mkdir("sub");
    const QString twin = Path("sub/f4.ond");
    WriteFile(twin, "");
    QVERIFY(CShellRig::App()->OpenDocumentFile(twin, &error));
    QCOMPARE(RecentMenu().first(), "&1 " + twin);
}

void TestDocument::recentListSurvivesARestart()
{
    QCOMPARE(RecentMenu(), QStringList{"Recent File (grey)"});
    const QString a = Path("a&b.ond");
    const QString b = Path("b.ond");
    WriteFile(a, "");
    WriteFile(b, "");
    QString error;
    QVERIFY(CShellRig::App()->OpenDocumentFile(a, &error));
    QVERIFY(CShellRig::App()->OpenDocumentFile(b, &error));

    QVERIFY(m_rig->Start()); // a fresh start reads the list back
    QCOMPARE(Recent()->Files(), (QStringList{b, a}));
    QCOMPARE(RecentMenu(), (QStringList{"&1 b.ond", "&2 a&&b.ond"}));
    QCOMPARE(CShellRig::Frame()->windowTitle(), QStringLiteral("Untitled - Ondrel"));

    // Stored under the historic key, one entry a line.
    QSettings settings;
    QCOMPARE(settings.organizationName(), QStringLiteral("Local AppWizard-Generated Applications"));
    QCOMPARE(settings.applicationName(), QStringLiteral("Ondrel"));
    QCOMPARE(settings.value("Recent File List/File1").toString(), b);
    QCOMPARE(settings.value("Recent File List/File2").toString(), a);
}

void TestDocument::recentEntryOpensItsFile()
{
    const QString a = Path("a.ond");
    const QString b = Path("b.ond");
    WriteFile(a, "");
    WriteFile(b, "");
    QString error;
    QVERIFY(CShellRig::App()->OpenDocumentFile(a, &error));
    QVERIFY(CShellRig::App()->OpenDocumentFile(b, &error));
    m_rig->Run(57617); // "&2 a.ond"
    QCOMPARE(Doc()->GetPathName(), a);
    QCOMPARE(Recent()->Files(), (QStringList{a, b}));
}

void TestDocument::vanishedRecentFileLeavesTheList()
{
    const QString a = Path("a.ond");
    WriteFile(a, "");
    QString error;
    QVERIFY(CShellRig::App()->OpenDocumentFile(a, &error));
    m_rig->Run(57600);
    QFile::remove(a);
    m_rig->answerer.Clear();

    m_rig->Run(57616);
    QCOMPARE(m_rig->answerer.Count(), 1);
    QVERIFY(m_rig->answerer.Texts().first().contains("does not exist"));
    QCOMPARE(Recent()->Size(), 0);
    QCOMPARE(RecentMenu(), QStringList{"Recent File (grey)"});
    QVERIFY(Doc()->GetPathName().isEmpty());
}

void TestDocument::printing_data()
{
    QTest::addColumn<int>("command");
    QTest::newRow("Print") << 57607;
    QTest::newRow("print without dialog") << 57608;
}

void TestDocument::printing()
{
    QFETCH(int, command);
    const QString pdf = Path("out.pdf");
    m_rig->pdfOutput = pdf;
    const int loops = m_rig->pageLoops;
    m_rig->Run(command);

    QCOMPARE(m_rig->pageLoops, loops + 1);
    const QByteArray bytes = ReadAll(pdf);
    QVERIFY(bytes.startsWith("%PDF"));
    // One page, and nothing drawn on it: its content stream is empty.
    QCOMPARE(bytes.count("/Type /Page\n"), 1);
    QCOMPARE(m_rig->answerer.Count(), 0);
}

void TestDocument::cancelledPrintPrintsNothing()
{
    const int loops = m_rig->pageLoops;
    m_rig->Run(57607); // the print dialog comes up and is cancelled
    QCOMPARE(m_rig->answerer.Count(), 1);
    QVERIFY(!m_rig->answerer.Boxes().first().isMessageBox);
    QCOMPARE(m_rig->pageLoops, loops);

    m_rig->answerer.Clear();
    m_rig->Run(57609); // the preview runs the page loop to show its pages
    QCOMPARE(m_rig->answerer.Count(), 1);
    QVERIFY(m_rig->pageLoops > loops);
}

void TestDocument::printSetup()
{
    m_rig->Run(57606);
    QCOMPARE(m_rig->answerer.Count(), 1);
    QVERIFY(!m_rig->answerer.Boxes().first().isMessageBox);
    QVERIFY(CShellRig::Frame()->isVisible());
}

ONDREL_SHELL_TEST_MAIN(TestDocument)
#include "tst_document.moc"
