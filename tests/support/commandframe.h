// A command's frame as the bytes that go on the line, for comparing with what a
// port or the generator received.
#pragma once

#include "frames.h"

#include <QByteArray>

namespace ondrel {

inline QByteArray Frame(const frames::Command& c)
{
    return QByteArray(c.frame);
}

} // namespace ondrel
