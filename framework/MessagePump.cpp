#include "MessagePump.h"

#include "SysUtils.h"
#include "Thread.h"

void ProcessMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    CheckSynchronize();
}

bool PumpMessagesUntil(HANDLE handle, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    HANDLE handles[2] = {handle, SyncEvent()};
    for (;;) {
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            ULONGLONG now = GetTickCount64();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        DWORD rc = MsgWaitForMultipleObjects(2, handles, FALSE, wait, QS_ALLINPUT);
        if (rc == WAIT_OBJECT_0)
            return true;
        if (rc == WAIT_TIMEOUT)
            return false;
        if (rc == WAIT_FAILED)
            RaiseLastOSError();
        ProcessMessages();
    }
}
