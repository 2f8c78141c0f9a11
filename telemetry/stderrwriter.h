// Ondrel's one way to standard error: whole lines in the locale's
// encoding, flushed at once so that they reach a terminal or a log in order
// with the other streams, from any thread.
#pragma once

#include <QString>

namespace ondrel {

void WriteStderr(const QString& text);

} // namespace ondrel
