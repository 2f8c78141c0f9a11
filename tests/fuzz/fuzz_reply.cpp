// libFuzzer entry of the reply path. A broken invariant aborts, so libFuzzer keeps
// the input as a crash; the steps taken up to it go to stderr beside the reason.
#include "replyharness.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// One input allocates a few kilobytes and frees them all: a small quarantine still
// catches any use after free within it, while the default 256 MB made every run
// fault in fresh pages, a fifth of the fuzzer's time.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Without the trace: formatting it costs more than a short exchange.
    if (ondrel::fuzz::RunReplyInput(data, size, false).violation.isEmpty())
        return 0;
    const ondrel::fuzz::ReplyRun run = ondrel::fuzz::RunReplyInput(data, size, true);
    std::fprintf(stderr, "reply path: %s\n", qPrintable(run.violation));
    for (const QString& line : run.trace)
        std::fprintf(stderr, "  after: %s\n", qPrintable(line));
    std::abort();
}
