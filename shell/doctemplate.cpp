#include "doctemplate.h"

#include "mainfrm.h"
#include "ondreldoc.h"
#include "ondrelview.h"

namespace ondrel {

CSingleDocTemplate::CSingleDocTemplate(int resourceId, Classes classes)
    : m_resourceId(resourceId), m_classes(std::move(classes))
{}

CSingleDocTemplate::~CSingleDocTemplate()
{
    CloseAllDocuments();
}

void CSingleDocTemplate::CloseAllDocuments()
{
    // The frame goes first: its view may still talk to the port while it closes.
    m_view = nullptr;
    m_frame.reset();
    m_document.reset();
}

bool CSingleDocTemplate::CreateFrameAndView(QString* error)
{
    m_frame.reset(m_classes.createFrame());
    if (!m_frame || !m_frame->LoadFrame(m_resourceId)) {
        m_frame.reset();
        *error = QStringLiteral("The main window could not be created.");
        return false;
    }
    m_view = m_classes.createView(m_frame.get());
    m_frame->SetView(m_view);
    return true;
}

COndrelDoc* CSingleDocTemplate::OpenDocumentFile(const QString& path, QString* error)
{
    const bool created = !m_document;
    if (created) {
        m_document.reset(m_classes.createDocument());
        if (!CreateFrameAndView(error)) {
            m_document.reset();
            return nullptr;
        }
        m_frame->SetDocument(m_document.get());
    }

    bool ok;
    if (path.isEmpty()) {
        ok = m_document->OnNewDocument();
        if (!ok)
            *error = QStringLiteral("A new document could not be made.");
    } else {
        ok = m_document->OnOpenDocument(path, error);
        if (ok)
            m_document->SetPathName(path);
    }
    if (!ok) {
        if (created)
            CloseAllDocuments();
        return nullptr;
    }
    InitialUpdateFrame();
    return m_document.get();
}

void CSingleDocTemplate::InitialUpdateFrame()
{
    m_frame->UpdateFrameTitle();
    if (m_view)
        m_view->OnInitialUpdate();
}

} // namespace ondrel
