// The state of the Caps, Num and Scroll Lock keys for the status-bar indicators.
// Qt has no portable way to read it; on X11 the XKB indicator state tells.
#pragma once

#include <optional>

namespace ondrel {

struct LockKeys
{
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

// Empty where the platform does not let us read the keys (e.g. Wayland,
// offscreen, or a build without libX11).
std::optional<LockKeys> ReadLockKeys();

} // namespace ondrel
