// A program that fails on purpose with the interception entries installed, for the tests of the
// paths that end a process. Each handled failure writes one line to standard output:
//   handled <source> <class> <same|other thread> <message>
// and the close request writes "closing" and returns, so that the entry ends the process itself.
//   hxEntriesChild write | abort | terminate | escape | overflow | worker-overflow
// "name-debugged" instead names its thread the way programs tell a debugger while the process
// counts as debugged, and writes "named <shown name>".

#include "hxExceptEntries.h"
#include "hxExceptHandling.h"
#include "hxExceptSettings.h"
#include "hxExceptSupport.h"

#include "HandlingTestSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

#include <winternl.h>

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

// The process's own flag that the system's debugger test reads.
void SetBeingDebugged(bool debugged)
{
    using TQuery = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<TQuery>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION info{};
    if (query && query(GetCurrentProcess(), ProcessBasicInformation, &info, sizeof info, nullptr) == 0 &&
        info.PebBaseAddress)
        info.PebBaseAddress->BeingDebugged = debugged ? TRUE : FALSE;
}

int NameUnderDebugger()
{
    DWORD mainThread = 0;
    if (ModuleThreadTable().Open(mainThread) != TThreadTableResult::Opened)
        return 12;
    SetBeingDebugged(true);
    const ULONG_PTR cells[4] = {0x1000, reinterpret_cast<ULONG_PTR>("named while debugged"), 0xFFFFFFFF, 0};
    RaiseException(ThreadNamingCode, 0, 4, cells);
    SetBeingDebugged(false);
    std::printf("named %s\n", GetThreadName(GetCurrentThreadId(), false).c_str());
    ModuleThreadTable().Close();
    return 0;
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
    if (std::strcmp(argv[1], "name-debugged") == 0)
        return NameUnderDebugger();
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
