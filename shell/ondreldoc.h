// COndrelDoc: the document of the single-document application. The console keeps
// no data, so the document holds nothing and is never modified; it exists for
// the File commands and the window title.
#pragma once

#include <QObject>
#include <QString>

class QIODevice;

namespace ondrel {

class IShellServices;

class COndrelDoc : public QObject
{
    Q_OBJECT
public:
    // `services` lends the save dialog and the boxes; without them Save As is
    // cancelled and failures go unreported.
    explicit COndrelDoc(IShellServices* services = nullptr, QObject* parent = nullptr);
    ~COndrelDoc() override;

    // New-document step: empties the document and clears its path and title.
    virtual bool OnNewDocument();
    // Opens `path` to prove it is readable and ignores what it holds. On failure
    // *error says why and the document is unchanged.
    virtual bool OnOpenDocument(const QString& path, QString* error);
    // Writes an empty file at `path`, whole or not at all. On failure *error
    // says why and the document is unchanged.
    virtual bool OnSaveDocument(const QString& path, QString* error);
    // Archive exchange: there is nothing to store or load.
    virtual void Serialize(QIODevice& archive, bool storing);

    bool IsModified() const { return false; }
    QString GetPathName() const { return m_pathName; }
    QString GetTitle() const { return m_title; }
    void SetPathName(const QString& path);
    void SetTitle(const QString& title);

    // File Save / Save As commands: ask for a name where needed, write, report
    // a failure in a message box. True when the file was written.
    bool OnFileSave();
    bool OnFileSaveAs();
    // Saves under `path`, after asking whether a file with content may be
    // emptied; with `replacePath` the document takes the new name.
    bool DoSave(const QString& path, bool replacePath = true);

    // The default name of a document that has no file yet.
    static QString UntitledTitle();

signals:
    void titleChanged(const QString& title);
    // A file became the document's own (after Open or Save): the recent-file
    // list wants to know.
    void pathNameChanged(const QString& path);

private:
    QString m_pathName;
    QString m_title;
    IShellServices* m_services;
};

} // namespace ondrel
