// A program that fails on purpose with the interception entries installed, for the tests of the
// paths that end a process. Each handled failure writes one line to standard output:
//   handled <source> <class> <same|other thread> <message>
// and the close request writes "closing" and returns, so that the entry ends the process itself.
//   hxEntriesChild write | abort | terminate | escape | overflow | worker-overflow

#include "hxExceptEntries.h"
#include "hxExceptHandling.h"
#include "hxExceptSettings.h"

#include "HandlingTestSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

namespace {

DWORD gFailingThread = 0;

bool PrintHandled(const std::string&, const std::string&, HWND, bool, IVQException* exception)
{
    std::printf("handled %d %s %s %s\n", exception->GetSource(), exception->GetExceptClass().c_str(),
                exception->GetExceptThreadId() == gFailingThread ? "same" : "other",
                exception->GetExceptMessage().c_str());
    std::fflush(stdout);
    return true;
}

void PrintClosing()
{
    std::printf("closing\n");
    std::fflush(stdout);
}

__attribute__((noinline)) int Recurse(volatile char* previous, unsigned depth)
{
    volatile char buffer[512];
    buffer[0] = static_cast<char>(previous ? previous[0] + 1 : 0);
    if (depth == 0)
        return buffer[0];
    return Recurse(buffer, depth - 1) + buffer[1];
}

[[noreturn]] void Fail(const char* mode)
{
    if (std::strcmp(mode, "write") == 0) {
        // An address the compiler cannot know.
        volatile std::uintptr_t nowhere = 0;
        *reinterpret_cast<volatile int*>(nowhere) = 1;
    } else if (std::strcmp(mode, "abort") == 0) {
        std::abort();
    } else if (std::strcmp(mode, "terminate") == 0) {
        std::terminate();
    } else if (std::strcmp(mode, "escape") == 0) {
        throw std::runtime_error("escaped");
    } else if (std::strcmp(mode, "overflow") == 0) {
        std::printf("depth %d\n", Recurse(nullptr, 0xFFFFFFFF));
    }
    std::exit(20);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 10;
    const THandlingSettingsScope settings;
    THandlingServices services;
    services.SaveBugReport = PrintHandled;
    services.CloseApplication = PrintClosing;
    SetHandlingServices(services);
    if (!StartHandlerThread())
        return 11;
    InstallInterceptionEntries();
    if (std::strcmp(argv[1], "worker-overflow") == 0) {
        std::thread worker([] {
            gFailingThread = GetCurrentThreadId();
            Fail("overflow");
        });
        worker.join();
        return 21;
    }
    gFailingThread = GetCurrentThreadId();
    Fail(argv[1]);
}
