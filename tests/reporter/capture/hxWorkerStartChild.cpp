// A program whose reporter starts on a worker thread, as a reporter in a library that a worker
// loads would. It writes to standard output:
//   hooks <0|1>
//   main <same|other>     whether the reporter takes the program's own main thread for its main thread

#include "hxExcept.h"
#include "hxExceptPause.h"

#include <windows.h>

#include <cstdio>
#include <thread>

int main()
{
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE checked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!started || !checked)
        return 2;
    bool hooks = false;
    // The worker stays until the main thread has looked, so its hidden window is still there.
    std::thread worker([&] {
        hooks = InitExceptionHooks();
        SetEvent(started);
        WaitForSingleObject(checked, INFINITE);
    });
    WaitForSingleObject(started, INFINITE);
    std::printf("hooks %d\nmain %s\n", hooks ? 1 : 0, PauseMainThreadId() == GetCurrentThreadId() ? "same" : "other");
    std::fflush(stdout);
    SetEvent(checked);
    worker.join();
    DoneExceptionHooks();
    CloseHandle(started);
    CloseHandle(checked);
    return 0;
}
