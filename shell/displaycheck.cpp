#include "displaycheck.h"

#include <QByteArray>
#include <QList>
#include <cstdlib>
#include <cstring>

#ifdef ONDREL_HAVE_X11
#include <X11/Xlib.h>
#endif

namespace ondrel {

namespace {

QByteArray Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? QByteArray(value) : QByteArray();
}

// The platform named on the command line wins over the environment, as in Qt.
QByteArray ChosenPlatform(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if ((std::strcmp(arg, "-platform") == 0 || std::strcmp(arg, "--platform") == 0) &&
            i + 1 < argc)
            return QByteArray(argv[i + 1]);
        if (std::strncmp(arg, "-platform=", 10) == 0)
            return QByteArray(arg + 10);
    }
    return Env("QT_QPA_PLATFORM");
}

bool X11Reachable(const QByteArray& display)
{
#ifdef ONDREL_HAVE_X11
    Display* connection = XOpenDisplay(display.constData());
    if (!connection)
        return false;
    XCloseDisplay(connection);
#else
    Q_UNUSED(display);
#endif
    return true;
}

} // namespace

bool CheckGraphicalSession(int argc, char** argv, QString* message)
{
    // Only the platforms that need a display server are checked; offscreen,
    // vnc, eglfs and the like take care of themselves.
    const QByteArray platform = ChosenPlatform(argc, argv);
    const QByteArray name = platform.split(':').value(0);
    const bool wantsX11 = name.isEmpty() || name == "xcb";
    const bool wantsWayland = name.isEmpty() || name.startsWith("wayland");
    if (!wantsX11 && !wantsWayland)
        return true;

    QString problem;
    const QByteArray display = Env("DISPLAY");
    if (wantsWayland && !Env("WAYLAND_DISPLAY").isEmpty())
        return true;
    if (wantsX11 && !display.isEmpty()) {
        if (X11Reachable(display))
            return true;
        problem = QStringLiteral("the X display %1 cannot be reached")
                      .arg(QString::fromLocal8Bit(display));
    } else {
        problem = name.isEmpty() || (wantsX11 && wantsWayland)
                      ? QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set")
                  : wantsX11 ? QStringLiteral("DISPLAY is not set")
                             : QStringLiteral("WAYLAND_DISPLAY is not set");
    }
    *message = QStringLiteral(
                   "ondrel: the console needs a graphical session, and there is none here (%1).\n"
                   "Start it from a desktop session, or over ssh with X forwarding (ssh -X).\n"
                   "To run it without a display (no window is shown), use the offscreen platform:\n"
                   "  QT_QPA_PLATFORM=offscreen ondrel --simulate\n")
                   .arg(problem);
    return false;
}

} // namespace ondrel
