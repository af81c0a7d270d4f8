// One libFuzzer program per target: the build names the target (DCLOAD_FUZZ_TARGET).
#include "fuzz/FuzzTargets.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {
const FuzzTarget* gTarget = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Sessions start timers, which want an application object; it lives as long as the
    // process, so leak checks see it as reachable.
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = { name, nullptr };
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
    gTarget = FindFuzzTarget(DCLOAD_FUZZ_TARGET);
    if (!gTarget) {
        std::fprintf(stderr, "no fuzz target named %s\n", DCLOAD_FUZZ_TARGET);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        gTarget->run(data, size);
    } catch (const FuzzFinding& e) {
        std::fprintf(stderr, "FUZZ FINDING in %s: %s\n", gTarget->name, e.what());
        std::abort();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "FUZZ FINDING in %s: unexpected exception: %s\n", gTarget->name, e.what());
        std::abort();
    }
    return 0;
}
