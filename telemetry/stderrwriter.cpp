#include "stderrwriter.h"

#include <QByteArray>
#include <cstdio>

namespace ondrel {

void WriteStderr(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace ondrel
