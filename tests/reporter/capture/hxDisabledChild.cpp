// A program whose reporter is switched off by its settings. It starts the reporter as the
// program would, registers a handled-exception handler and catches an exception, asks its own
// trace export for a report and writes to standard output:
//   hooks <0|1>
//   handled <count of handled exceptions heard>
// followed by the report text.

#include "hxExcept.h"
#include "hxExceptHandling.h"
#include "hxExceptPlugins.h"
#include "hxTypes.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <thread>

namespace {

int gHandledHeard = 0;

void HearHandled(IVQException*)
{
    ++gHandledHeard;
}

}  // namespace

int main()
{
    // The report's line ends go out as they are.
    _setmode(_fileno(stdout), _O_BINARY);
    std::printf("hooks %d\n", InitExceptionHooks() ? 1 : 0);
    RegisterHandledExceptionHandler(HearHandled);
    try {
        throw HxException("caught while switched off");
    } catch (const HxException&) {
    }
    std::printf("handled %d\n", gHandledHeard);
    constexpr DWORD viewSize = 1 << 20;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, viewSize, TraceMappingName);
    if (!mapping)
        return 2;
    const char* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view) {
        // Called from another thread, as a calling program's remote thread would.
        std::thread caller([] { hxTraceProcess(static_cast<int>(viewSize)); });
        caller.join();
        std::fputs(view, stdout);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    DoneExceptionHooks();
    return view ? 0 : 3;
}
