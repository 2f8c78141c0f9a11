// CSingleDocTemplate: ties the one document, the main frame and the form view
// together. It creates them on the first New or Open, re-uses them afterwards,
// and gives the view its initial update each time.
#pragma once

#include <QString>
#include <functional>
#include <memory>

namespace ondrel {

class COndrelDoc;
class COndrelView;
class CMainFrame;

class CSingleDocTemplate
{
public:
    // The "class descriptors": how to create each of the three.
    struct Classes
    {
        std::function<COndrelDoc*()> createDocument;
        std::function<CMainFrame*()> createFrame;
        std::function<COndrelView*(CMainFrame* frame)> createView;
    };

    CSingleDocTemplate(int resourceId, Classes classes);
    ~CSingleDocTemplate();
    CSingleDocTemplate(const CSingleDocTemplate&) = delete;
    CSingleDocTemplate& operator=(const CSingleDocTemplate&) = delete;

    // An empty path makes a new document. On failure *error says why; a document
    // that was already open stays as it was, and a first document that fails takes
    // its frame with it (so no window is left over).
    COndrelDoc* OpenDocumentFile(const QString& path, QString* error);

    // Destroys the frame (with the view) and the document.
    void CloseAllDocuments();

    int ResourceId() const { return m_resourceId; }
    COndrelDoc* Document() const { return m_document.get(); }
    CMainFrame* Frame() const { return m_frame.get(); }
    COndrelView* View() const { return m_view; }

private:
    bool CreateFrameAndView(QString* error);
    void InitialUpdateFrame();

    int m_resourceId;
    Classes m_classes;
    std::unique_ptr<COndrelDoc> m_document;
    std::unique_ptr<CMainFrame> m_frame;
    COndrelView* m_view = nullptr; // owned by the frame
};

} // namespace ondrel
