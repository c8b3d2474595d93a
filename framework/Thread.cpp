#include "Thread.h"

#include <deque>

namespace {

// Static initialisation runs on the program's first thread.
const DWORD gMainThreadID = GetCurrentThreadId();

struct TSyncRequest {
    const TThreadMethod* method;
    std::exception_ptr error;
    bool done = false;
};

// Guards the queue and every request's done flag.
SRWLOCK gSyncLock = SRWLOCK_INIT;
CONDITION_VARIABLE gSyncDone = CONDITION_VARIABLE_INIT;
std::deque<TSyncRequest*> gSyncQueue;
bool gMainWaitsOnSyncEvent = false;
// Auto-reset: a wait that sees it takes the signal, and CheckSynchronize then runs
// whatever is queued. A signal left over from calls already run costs one empty check.
const TUniqueHandle gSyncEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr));

constexpr UINT WM_RUN_SYNCHRONIZED = WM_APP + 1;

// A message-only window of the main thread, so that a GetMessage loop wakes up
// when a worker queues a call.
class TSyncWindow {
public:
    ~TSyncWindow() {
        if (!window_)
            return;
        CheckSynchronize();  // nobody must stay blocked on a call that will never run
        DestroyWindow(window_);
    }

    void Ensure() {
        if (window_ || GetCurrentThreadId() != gMainThreadID)
            return;
        WNDCLASSA wc{};
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "TThreadSyncWindow";
        RegisterClassA(&wc);
        window_ = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                  nullptr);
    }

    void Wake() {
        HWND window = window_;
        if (window && !posted_.exchange(true) && !PostMessageA(window, WM_RUN_SYNCHRONIZED, 0, 0))
            posted_ = false;  // the event stays set; waits on it still see the call
    }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> posted_{false};
};

TSyncWindow gSyncWindow;

LRESULT CALLBACK TSyncWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_RUN_SYNCHRONIZED)
        return DefWindowProcA(window, message, wParam, lParam);
    gSyncWindow.posted_ = false;
    CheckSynchronize();
    return 0;
}

class TSyncLockGuard {
public:
    TSyncLockGuard() { AcquireSRWLockExclusive(&gSyncLock); }
    ~TSyncLockGuard() { ReleaseSRWLockExclusive(&gSyncLock); }
    TSyncLockGuard(const TSyncLockGuard&) = delete;
    TSyncLockGuard& operator=(const TSyncLockGuard&) = delete;
};

void NameThread(const std::string& name) {
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto setDescription = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (!setDescription)
        return;
    std::wstring wide(name.begin(), name.end());
    setDescription(GetCurrentThread(), wide.c_str());
}

}  // namespace

DWORD MainThreadID() { return gMainThreadID; }

HANDLE SyncEvent() { return gSyncEvent.Get(); }

TSyncEventWait::TSyncEventWait() {
    TSyncLockGuard lock;
    gMainWaitsOnSyncEvent = true;
}

TSyncEventWait::~TSyncEventWait() {
    TSyncLockGuard lock;
    gMainWaitsOnSyncEvent = false;
}

bool CheckSynchronize() {
    if (GetCurrentThreadId() != gMainThreadID)
        return false;
    std::deque<TSyncRequest*> batch;
    {
        TSyncLockGuard lock;
        batch.swap(gSyncQueue);
    }
    for (TSyncRequest* request : batch) {
        try {
            (*request->method)();
        } catch (...) {
            request->error = std::current_exception();
        }
        {
            TSyncLockGuard lock;
            request->done = true;
        }
        WakeAllConditionVariable(&gSyncDone);
    }
    return !batch.empty();
}

void TThread::Synchronize(const TThreadMethod& method) {
    if (GetCurrentThreadId() == gMainThreadID) {
        method();
        return;
    }
    TSyncRequest request{&method, nullptr};
    bool mainWaits;
    {
        TSyncLockGuard lock;
        gSyncQueue.push_back(&request);
        mainWaits = gMainWaitsOnSyncEvent;
    }
    SetEvent(gSyncEvent.Get());
    // A main thread that left its wait after this checks the queue before anything else.
    if (!mainWaits)
        gSyncWindow.Wake();
    {
        TSyncLockGuard lock;
        while (!request.done)
            SleepConditionVariableSRW(&gSyncDone, &gSyncLock, INFINITE, 0);
    }
    if (request.error)
        std::rethrow_exception(request.error);
}

TThread::TThread(std::string name) : name_(std::move(name)) {
    gSyncWindow.Ensure();
    handle_.Reset(CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, &threadId_));
    if (!handle_)
        RaiseLastOSError();
}

TThread::~TThread() {
    if (!handle_ || GetCurrentThreadId() == threadId_)
        return;
    if (!started_) {
        abandoned_ = true;
        ResumeThread(handle_.Get());
        WaitForSingleObject(handle_.Get(), INFINITE);
        return;
    }
    StopAndWait();
}

void TThread::StopAndWait() {
    if (!started_ || Exited() || GetCurrentThreadId() == threadId_)
        return;
    Terminate();
    WaitFor();
}

bool TThread::Exited() const { return WaitForSingleObject(handle_.Get(), 0) == WAIT_OBJECT_0; }

void TThread::Start() {
    if (started_.exchange(true))
        throw EThread("Cannot call Start on a running or finished thread");
    if (ResumeThread(handle_.Get()) == static_cast<DWORD>(-1))
        RaiseLastOSError();
}

DWORD TThread::WaitFor() {
    if (!started_)
        throw EThread("Cannot wait for a thread that was never started");
    if (GetCurrentThreadId() == threadId_)
        throw EThread("A thread cannot wait for itself");
    if (GetCurrentThreadId() == gMainThreadID) {
        HANDLE handles[2] = {handle_.Get(), gSyncEvent.Get()};
        for (;;) {
            DWORD rc = MsgWaitForMultipleObjects(2, handles, FALSE, INFINITE, QS_SENDMESSAGE);
            if (rc == WAIT_OBJECT_0)
                break;
            if (rc == WAIT_OBJECT_0 + 1) {
                CheckSynchronize();
            } else if (rc == WAIT_OBJECT_0 + 2) {
                MSG msg;  // peeking delivers messages sent from other threads
                PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
            } else {
                RaiseLastOSError();
            }
        }
    } else if (WaitForSingleObject(handle_.Get(), INFINITE) == WAIT_FAILED) {
        RaiseLastOSError();
    }
    DWORD code = 0;
    GetExitCodeThread(handle_.Get(), &code);
    return code;
}

void TThread::DoTerminate() {
    if (OnTerminate)
        Synchronize([this] { OnTerminate(this); });
}

DWORD WINAPI TThread::ThreadProc(void* parameter) {
    auto* thread = static_cast<TThread*>(parameter);
    if (thread->abandoned_)
        return 0;
    NameThread(thread->name_);
    if (!thread->terminated_) {
        try {
            thread->Execute();
        } catch (...) {
            thread->fatalException_ = std::current_exception();
        }
    }
    const bool freeThread = thread->FreeOnTerminate;
    const DWORD result = thread->returnValue_;
    thread->finished_ = true;
    try {
        thread->DoTerminate();
    } catch (...) {
        // An OnTerminate handler's error has nowhere to go on this thread.
    }
    if (freeThread)
        delete thread;
    return result;
}
