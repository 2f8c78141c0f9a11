// libFuzzer entry of what the fleet reads from a broker. A broken invariant
// aborts, so libFuzzer keeps the input as a crash.
#include "payloadharness.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString broken = ondrel::fuzz::RunPayloadInput(data, size);
    if (broken.isEmpty())
        return 0;
    std::fprintf(stderr, "fleet payloads: %s\n", qPrintable(broken));
    std::abort();
}
