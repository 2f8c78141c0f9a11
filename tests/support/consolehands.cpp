#include "consolehands.h"

#include "consolechild.h"
#include "mainfrm.h"
#include "modalanswerer.h"
#include "ondrelapp.h"
#include "ondrelview.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <unistd.h>

namespace ondrel::testing {

namespace {

class CChildHands : public QObject
{
public:
    explicit CChildHands(CMainFrame* frame)
        : m_frame(frame), m_stdin(STDIN_FILENO, QSocketNotifier::Read)
    {
        m_answerer.SetWhileShown([](QWidget* w, int) {
            if (auto* box = qobject_cast<QMessageBox*>(w))
                Say("box " + box->text().toLocal8Bit());
        });
        connect(&m_stdin, &QSocketNotifier::activated, this, [this] {
            char buffer[64];
            const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
            const QByteArray words = count > 0 ? QByteArray(buffer, int(count)) : QByteArray();
            // Not from here: a command's box runs a loop of its own.
            if (words.contains("click"))
                QTimer::singleShot(0, m_frame->View()->m_checkXray, &QCheckBox::click);
            if (words.contains("close"))
                QTimer::singleShot(0, m_frame, &QWidget::close);
            if (words.contains("pane")) {
                const QLabel* pane = m_frame->XrayPane();
                Say("pane " + (pane && !pane->isHidden()
                                   ? (pane->text() + " | " + pane->toolTip()).toLocal8Bit()
                                   : QByteArray("none")));
            }
        });
    }

private:
    CMainFrame* m_frame;
    CModalAnswerer m_answerer;
    QSocketNotifier m_stdin;
};

} // namespace

int RunConsoleWithHands(int argc, char* argv[], const QStringList& arguments)
{
    COndrelApp app(argc, argv);
    app.WatchTerminationSignals();
    if (!app.InitInstance(QStringList{QStringLiteral("ondrel")} + arguments))
        return 90;
    CChildHands hands(app.MainWindow());
    Say("ready");
    return app.exec();
}

} // namespace ondrel::testing
