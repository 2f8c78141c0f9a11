// libFuzzer entry of the reply path. A broken invariant aborts, so libFuzzer keeps
// the input as a crash; the steps taken up to it go to stderr beside the reason.
#include "replyharness.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ondrel::fuzz::ReplyRun run = ondrel::fuzz::RunReplyInput(data, size);
    if (!run.violation.isEmpty()) {
        std::fprintf(stderr, "reply path: %s\n", qPrintable(run.violation));
        for (const QString& line : run.trace)
            std::fprintf(stderr, "  after: %s\n", qPrintable(line));
        std::abort();
    }
    return 0;
}
