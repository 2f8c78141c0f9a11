#include "lockkeys.h"

#include <QGuiApplication>

#ifdef ONDREL_HAVE_X11
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#endif

namespace ondrel {

std::optional<LockKeys> ReadLockKeys()
{
#ifdef ONDREL_HAVE_X11
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return std::nullopt;
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (!display)
        return std::nullopt;
    // By name rather than by bit: keymaps do not agree on which indicator bit is
    // which. The atoms are looked up once; the poll then costs one request each.
    static const Atom caps = XInternAtom(display, "Caps Lock", False);
    static const Atom num = XInternAtom(display, "Num Lock", False);
    static const Atom scroll = XInternAtom(display, "Scroll Lock", False);
    auto named = [display](Atom atom) {
        Bool on = False;
        if (!XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr))
            return false;
        return on == True;
    };
    LockKeys keys;
    keys.caps = named(caps);
    keys.num = named(num);
    keys.scroll = named(scroll);
    return keys;
#else
    return std::nullopt;
#endif
}

} // namespace ondrel
