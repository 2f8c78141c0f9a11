#include "ondreldoc.h"

#include "resource.h"
#include "shellservices.h"
#include "stringtable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSaveFile>

namespace ondrel {

namespace {

// FIFOs, sockets and devices could block an open or swallow a save; only plain
// files (and paths that do not exist yet, for saving) are documents.
QString NotAPlainFile(const QFileInfo& info)
{
    if (info.isDir())
        return QStringLiteral("it is a folder");
    if (info.exists() && !info.isFile())
        return QStringLiteral("it is not a regular file");
    return QString();
}

// A document holds nothing, so saving over a file with content empties it: that
// content was not written by Ondrel and goes only with the operator's consent.
// The save dialog does not ask about replacing; this is the one question.
bool ConfirmEmptying(const QFileInfo& info, QWidget* parent)
{
    if (!info.isFile() || info.size() == 0)
        return true;
    QMessageBox box(QMessageBox::Question, DocStringField(0),
                    QStringLiteral("%1 is not empty. Saving an Ondrel document would leave it "
                                   "empty. Replace its content?")
                        .arg(info.fileName()),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace

COndrelDoc::COndrelDoc(IShellServices* services, QObject* parent)
    : QObject(parent), m_title(UntitledTitle()), m_services(services)
{}

COndrelDoc::~COndrelDoc() = default;

QString COndrelDoc::UntitledTitle()
{
    return QStringLiteral("Untitled");
}

bool COndrelDoc::OnNewDocument()
{
    m_pathName.clear();
    SetTitle(UntitledTitle());
    return true;
}

bool COndrelDoc::OnOpenDocument(const QString& path, QString* error)
{
    const QFileInfo info(path);
    const QString shownPath = QDir::toNativeSeparators(path);
    if (!info.exists()) {
        *error = QStringLiteral("Cannot open \"%1\": the file does not exist.").arg(shownPath);
        return false;
    }
    if (const QString why = NotAPlainFile(info); !why.isEmpty()) {
        *error = QStringLiteral("Cannot open \"%1\": %2.").arg(shownPath, why);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot open \"%1\": %2.").arg(shownPath, file.errorString());
        return false;
    }
    Serialize(file, false);
    return true;
}

bool COndrelDoc::OnSaveDocument(const QString& path, QString* error)
{
    const QFileInfo info(path);
    const QString shownPath = QDir::toNativeSeparators(path);
    if (const QString why = NotAPlainFile(info); !why.isEmpty()) {
        *error = QStringLiteral("Cannot save to \"%1\": %2.").arg(shownPath, why);
        return false;
    }
    // Written beside the old file and renamed over it: a failure at any step
    // leaves the old content whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("Cannot save to \"%1\": %2.").arg(shownPath, file.errorString());
        return false;
    }
    Serialize(file, true);
    if (!file.commit()) {
        *error = QStringLiteral("Cannot save to \"%1\": %2.").arg(shownPath, file.errorString());
        return false;
    }
    return true;
}

void COndrelDoc::Serialize(QIODevice& archive, bool storing)
{
    // Nothing to exchange either way: the console keeps no data, so a stored
    // document is empty and a loaded one's content is not looked at.
    Q_UNUSED(archive);
    Q_UNUSED(storing);
}

void COndrelDoc::SetPathName(const QString& path)
{
    m_pathName = QFileInfo(path).absoluteFilePath();
    SetTitle(QFileInfo(m_pathName).fileName());
    emit pathNameChanged(m_pathName);
}

void COndrelDoc::SetTitle(const QString& title)
{
    if (m_title == title)
        return;
    m_title = title;
    emit titleChanged(m_title);
}

bool COndrelDoc::OnFileSave()
{
    if (m_pathName.isEmpty())
        return OnFileSaveAs();
    return DoSave(m_pathName);
}

bool COndrelDoc::OnFileSaveAs()
{
    const QString suggestion = m_pathName.isEmpty() ? m_title : m_pathName;
    const QString path =
        m_services ? m_services->PromptFileName(IShellServices::FileDialog::Save, suggestion)
                   : QString();
    if (path.isEmpty())
        return false;
    return DoSave(path);
}

bool COndrelDoc::DoSave(const QString& path, bool replacePath)
{
    if (!ConfirmEmptying(QFileInfo(path), m_services ? m_services->DialogParent() : nullptr))
        return false;
    QString error;
    if (!OnSaveDocument(path, &error)) {
        if (m_services)
            m_services->ShowError(error);
        return false;
    }
    if (replacePath)
        SetPathName(path);
    return true;
}

} // namespace ondrel
