// The program the launcher tests start.
//   LaunchHelper <exit code> [event name]  waits until the named event is set, then exits
//                                          with the code
//   LaunchHelper show                      exits with the show command it was started with
//                                          (100 when it got none)

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

// A test that died never sets the event: the helper does not outlive it by much.
constexpr DWORD kLongestWaitMs = 60000;
constexpr int kGaveUp = 98;

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc < 2)
        return 99;
    if (std::strcmp(__argv[1], "show") == 0) {
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        GetStartupInfoA(&startup);
        return startup.dwFlags & STARTF_USESHOWWINDOW ? startup.wShowWindow : 100;
    }
    const int code = std::atoi(__argv[1]);
    if (__argc >= 3) {
        HANDLE gate = OpenEventA(SYNCHRONIZE, FALSE, __argv[2]);
        if (!gate)
            return 97;
        const DWORD rc = WaitForSingleObject(gate, kLongestWaitMs);
        CloseHandle(gate);
        if (rc != WAIT_OBJECT_0)
            return kGaveUp;
    }
    return code;
}
