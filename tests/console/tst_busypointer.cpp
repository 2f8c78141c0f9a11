// The busy pointer of a long wait, read back from a real X server through a
// connection of the test's own: what the server shows is what the operator sees,
// and since the console's thread stays blocked in the wait, the change must reach
// the server without the event loop's help.
#include "consolerig.h"

#include <QCursor>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QTimer>
#include <QtTest>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <vector>

using namespace ondrel;

namespace {

struct CursorImage
{
    int width = 0;
    int height = 0;
    int xhot = 0;
    int yhot = 0;
    std::vector<unsigned long> pixels;
    bool operator==(const CursorImage& o) const
    {
        return width == o.width && height == o.height && xhot == o.xhot && yhot == o.yhot &&
               pixels == o.pixels;
    }
    bool operator!=(const CursorImage& o) const { return !(*this == o); }
};

class CServerView
{
public:
    CServerView() : m_display(XOpenDisplay(nullptr)) {}
    ~CServerView()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    bool Ok() const
    {
        int event = 0, error = 0;
        return m_display && XFixesQueryExtension(m_display, &event, &error);
    }

    void MovePointerTo(const QPoint& global)
    {
        XWarpPointer(m_display, None, DefaultRootWindow(m_display), 0, 0, 0, 0, global.x(),
                     global.y());
        XSync(m_display, False);
    }

    CursorImage Cursor()
    {
        CursorImage out;
        if (XFixesCursorImage* image = XFixesGetCursorImage(m_display)) {
            out.width = image->width;
            out.height = image->height;
            out.xhot = image->xhot;
            out.yhot = image->yhot;
            out.pixels.assign(image->pixels, image->pixels + image->width * image->height);
            XFree(image);
        }
        return out;
    }

    // Looks without running any event loop of ours, until the server shows
    // expected (or, with differ, anything but it).
    bool Shows(const CursorImage& expected, bool differ = false)
    {
        QDeadlineTimer deadline(5000);
        do {
            if ((Cursor() == expected) != differ)
                return true;
        } while (!deadline.hasExpired());
        return false;
    }

private:
    Display* m_display;
};

} // namespace

class TestBusyPointer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void busyWhileASilentPollWaits();
};

void TestBusyPointer::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server (ctest runs this under xvfb-run)");
}

void TestBusyPointer::busyWhileASilentPollWaits()
{
    CServerView server;
    QVERIFY2(server.Ok(), "no X server with the XFIXES extension");

    CConsoleRig rig;
    rig.StartAnswered();
    rig.view->resize(400, 300);
    rig.view->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.view.get()));
    server.MovePointerTo(rig.view->mapToGlobal(QPoint(3, 3)));
    QTRY_VERIFY(rig.view->underMouse());
    QCoreApplication::processEvents();
    const CursorImage normal = server.Cursor();

    // What Qt's busy pointer looks like on this server.
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    QVERIFY(server.Shows(normal, true));
    const CursorImage busy = server.Cursor();
    QGuiApplication::restoreOverrideCursor();
    QVERIFY(server.Shows(normal));

    // The generator falls silent: the tick's exchanges each wait 3.701 s.
    rig.port->SetResponder(nullptr);
    bool messageHandled = false;
    QTimer::singleShot(0, rig.view.get(), [&messageHandled] { messageHandled = true; });
    bool normalEarly = false, busyLater = false, messagesDuringWait = false;
    const qint64 start = rig.clock.Now();
    rig.clock.At(start + 100, [&] { normalEarly = server.Shows(normal); });
    rig.clock.At(start + 300, [&] {
        busyLater = server.Shows(busy);
        messagesDuringWait = messageHandled;
    });
    rig.Tick();

    QVERIFY2(normalEarly, "busy before the wait was long");
    QVERIFY2(busyLater, "no busy pointer during a long wait");
    QVERIFY2(!messagesDuringWait, "window messages were processed inside the wait");
    QCOMPARE(g_linkFailed, 1);
    QVERIFY2(server.Shows(normal), "the busy pointer stayed after the wait");
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

QTEST_MAIN(TestBusyPointer)
#include "tst_busypointer.moc"
