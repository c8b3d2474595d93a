#include "hxExceptPause.h"

#include "hxExceptSupport.h"
#include "hxExclusive.h"
#include "hxTools.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace {

std::atomic<TFireHandlersProc> gFireHandlers{nullptr};
std::atomic<THookMessageRetrievalProc> gHookMessageRetrieval{nullptr};
std::atomic<TFreezeHandler> gFreezeHandler{nullptr};

// ---- Handler window ----

std::atomic<HWND> gHandlerWindow{nullptr};
std::atomic<UINT> gHandlerMessage{0};
std::atomic<DWORD> gHandlerThread{0};
std::atomic<DWORD> gTableMainThread{0};

void HandlerWindowMessage(HWND, UINT, WPARAM wParam, LRESULT& result, LPARAM lParam)
{
    WaitIfPaused();
    if (wParam == 0 && lParam != 0)
        if (TFireHandlersProc fire = gFireHandlers.load())
            fire(lParam);
    result = HandlerAnswer;
}

void WakeMainThread() noexcept
{
    if (HWND window = gHandlerWindow.load())
        PostMessageA(window, gHandlerMessage.load(), 1, 0);
}

// ---- Pausing ----

// Guards the paused-thread list and the gate changes; the waits happen outside it.
SRWLOCK gPauseLock = SRWLOCK_INIT;
std::atomic<bool> gPausedOnce{false};
std::vector<DWORD>* gPausedThreads = nullptr;   // under gPauseLock; never freed (used up to process end)
HANDLE gMainGate = nullptr;                      // manual reset: signalled = run
HANDLE gOtherGate = nullptr;
// Follows gMainGate's state, changed under gPauseLock, so that an open gate costs the main thread's
// message retrieval no lock and no wait.
std::atomic<bool> gMainGateClosed{false};
bool gPauseLasts = false;                        // under gPauseLock
// Unpause requests not repaused yet, under gPauseLock: the main gate stays open while there are any,
// also into a pause that began meanwhile.
int gMainGateHolds = 0;
// Nested waits of this thread for its own handling (a failure inside a message it answers meanwhile).
thread_local int tOwnHandlingWaits = 0;

class TShared {
public:
    explicit TShared(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~TShared() { ReleaseSRWLockShared(&lock_); }
    TShared(const TShared&) = delete;
    TShared& operator=(const TShared&) = delete;

private:
    SRWLOCK& lock_;
};

// A duplicate of a gate, so that a wait survives the gate being closed at finalisation.
HANDLE DuplicateGate(HANDLE gate) noexcept
{
    HANDLE copy = nullptr;
    if (gate && !DuplicateHandle(GetCurrentProcess(), gate, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
        copy = nullptr;
    return copy;
}

void WaitOnGate(HANDLE copy) noexcept
{
    if (copy) {
        WaitForSingleObject(copy, INFINITE);
        CloseHandle(copy);
    }
}

// ---- Freeze watch ----

using TCreateThread = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                      LPDWORD);

constexpr int DefaultFreezeTimeout = 60000;
constexpr int FreezeMissLimit = 10;
// Stack candidates are collected into reserved room while the frozen thread is suspended.
constexpr std::size_t ReservedStackItems = 16384;

struct TFreezeWatch {
    HWND Window = nullptr;
    UINT PingMessage = 0;
    HANDLE Thread = nullptr;
    DWORD ThreadId = 0;
    HANDLE StopEvent = nullptr;
    HANDLE IdleGate = nullptr;          // manual reset: signalled while no exception is handled
    HANDLE MainThread = nullptr;        // suspend, resume, context
    DWORD MainThreadId = 0;
    int TimeoutMs = DefaultFreezeTimeout;
};

SRWLOCK gWatchLock = SRWLOCK_INIT;      // guards gWatch's fields, the busy count and gWatchReports
TFreezeWatch gWatch;
// The watch has handed a freeze to the handling and waits for it.
bool gWatchReports = false;
std::atomic<bool> gWatchStarted{false};
int gBusyCount = -1;
std::atomic<int> gFreezeMisses{0};

void FreezePingHandler(HWND, UINT, WPARAM wParam, LRESULT& result, LPARAM)
{
    HWND answerTo = reinterpret_cast<HWND>(wParam);
    if (answerTo)
        PostMessageA(answerTo, WM_NULL, HandlerAnswer, HandlerAnswer);
    else if (DWORD watchThread = FreezeWatchThreadId())
        PostThreadMessageA(watchThread, WM_NULL, HandlerAnswer, HandlerAnswer);
    result = HandlerAnswer;
}

bool DrainAnswers() noexcept
{
    bool answered = false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        if (!msg.hwnd && msg.message == WM_NULL && msg.wParam == static_cast<WPARAM>(HandlerAnswer) &&
            msg.lParam == HandlerAnswer)
            answered = true;
    return answered;
}

// Suspends the frozen thread only while its registers and stack candidates are copied, with no
// allocation meanwhile, since it may hold the heap's lock.
void CaptureFrozenThread(const TFreezeWatch& watch, TFreezeInfo& info) noexcept
{
    info.ThreadId = watch.MainThreadId;
    if (!watch.MainThread || SuspendThread(watch.MainThread) == static_cast<DWORD>(-1))
        return;
    info.Context.ContextFlags = CONTEXT_FULL;
    if (GetThreadContext(watch.MainThread, &info.Context)) {
        info.ContextValid = true;
#ifdef _WIN64
        const std::uintptr_t sp = info.Context.Rsp, fp = info.Context.Rbp;
#else
        const std::uintptr_t sp = info.Context.Esp, fp = info.Context.Ebp;
#endif
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(reinterpret_cast<const void*>(sp), &region, sizeof region) == sizeof region &&
            region.State == MEM_COMMIT) {
            info.StackBottom = sp;
            info.StackTop = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
            try {
                PreCollectStackItems(fp, info.StackBottom, info.StackTop, 0, true, info.StackItems, &info.Context);
            } catch (...) {
                info.StackItems.clear();
            }
        }
    }
    ResumeThread(watch.MainThread);
}

// The main thread answered since the last look, or the watch is being stopped because the
// program ends: either way the main thread runs again. Otherwise the report begins, in one step
// with the look at the stop signal, so that a stop sees either the signal taken or the report.
bool FreezeEnded(const TFreezeWatch& watch) noexcept
{
    if (DrainAnswers())
        return true;
    TExclusive lock(gWatchLock);
    if (WaitForSingleObject(watch.StopEvent, 0) != WAIT_TIMEOUT)
        return true;
    gWatchReports = true;
    return false;
}

// False when the freeze had ended by the time the frozen thread's state was taken: that state would
// show a running thread (one already ending the program, say), so nothing is reported.
bool ReportFreeze(const TFreezeWatch& watch) noexcept
{
    TFreezeHandler handler = gFreezeHandler.load();
    if (!handler)
        return true;
    try {
        auto info = std::make_unique<TFreezeInfo>();
        info->StackItems.reserve(ReservedStackItems);
        CaptureFrozenThread(watch, *info);
        if (FreezeEnded(watch))
            return false;
        handler(*info);
    } catch (...) {
        // Nothing may unwind out of the watch thread.
    }
    TExclusive lock(gWatchLock);
    gWatchReports = false;
    return true;
}

DWORD WINAPI FreezeWatchThreadProc(void*)
{
    // The queue exists before the first ping, so that no answer is lost.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

    TFreezeWatch watch;
    {
        TShared lock(gWatchLock);
        watch = gWatch;
    }

    // Only the first watch of a process pings; the others wait here until they are stopped.
    HANDLE freezeMutex = nullptr;
    if (THxThreadTable* table = ModuleThreadTable().Table())
        freezeMutex = table->FreezeMutex;
    bool ownsMutex = false;
    if (freezeMutex) {
        HANDLE waits[2] = {watch.StopEvent, freezeMutex};
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0 + 1 || wait == WAIT_ABANDONED_0 + 1)
            ownsMutex = true;
        else
            return 0;
    }

    DWORD interval = static_cast<DWORD>(watch.TimeoutMs / 10);
    for (;;) {
        HANDLE waits[2] = {watch.StopEvent, watch.IdleGate};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        PostMessageA(watch.Window, watch.PingMessage, 0, 0);
        if (WaitForSingleObject(watch.StopEvent, interval) != WAIT_TIMEOUT)
            break;
        if (DrainAnswers()) {
            gFreezeMisses = 0;
            interval = static_cast<DWORD>(watch.TimeoutMs / 10);
            continue;
        }
        if (gFreezeMisses.fetch_add(1) + 1 >= FreezeMissLimit) {
            const bool reported = ReportFreeze(watch);
            gFreezeMisses = 0;
            interval = reported ? interval + interval / 2 : static_cast<DWORD>(watch.TimeoutMs / 10);
        }
    }
    if (ownsMutex)
        ReleaseMutex(freezeMutex);
    return 0;
}

void CloseWatchHandles(TFreezeWatch& watch) noexcept
{
    for (HANDLE handle : {watch.Thread, watch.StopEvent, watch.IdleGate, watch.MainThread})
        if (handle)
            CloseHandle(handle);
    watch = TFreezeWatch{};
}

} // namespace

void SetFireHandlers(TFireHandlersProc proc) noexcept
{
    gFireHandlers = proc;
}

void SetHookMessageRetrieval(THookMessageRetrievalProc proc) noexcept
{
    gHookMessageRetrieval = proc;
}

void SetFreezeHandler(TFreezeHandler handler) noexcept
{
    gFreezeHandler = handler;
}

// ---- Hidden handler window ----

bool StartHandlerWindow() noexcept
{
    if (gHandlerWindow.load())
        return true;
    const UINT message = RegisterWindowMessageA("hxExceptHandlerMessage");
    if (!message)
        return false;
    HWND window = AddMsgHandler(message, HandlerWindowMessage);
    if (!window)
        return false;
    gHandlerMessage = message;
    gHandlerThread = GetCurrentThreadId();
    gHandlerWindow = window;
    return true;
}

void StopHandlerWindow() noexcept
{
    if (!gHandlerWindow.exchange(nullptr))
        return;
    RemoveMsgHandler(gHandlerMessage.load(), HandlerWindowMessage, gHandlerThread.load());
    gHandlerThread = 0;
}

HWND HandlerWindow() noexcept
{
    return gHandlerWindow.load();
}

UINT HandlerMessage() noexcept
{
    return gHandlerMessage.load();
}

void SetTableMainThreadId(DWORD threadId) noexcept
{
    gTableMainThread = threadId;
}

DWORD PauseMainThreadId() noexcept
{
    if (DWORD id = gTableMainThread.load())
        return id;
    if (DWORD id = gHandlerThread.load())
        return id;
    const std::vector<DWORD> threads = GetThreadList();
    return threads.empty() ? 0 : threads.front();
}

// ---- Pausing ----

void PauseOtherThreads(bool pause, DWORD keepRunning) noexcept
{
    if (pause && !gPausedOnce.exchange(true))
        if (THookMessageRetrievalProc hook = gHookMessageRetrieval.load())
            hook();
    if (!gPausedOnce.load())
        return;
    const DWORD current = GetCurrentThreadId();
    const DWORD mainThread = PauseMainThreadId();
    {
        TExclusive lock(gPauseLock);
        try {
            if (!gPausedThreads)
                gPausedThreads = new std::vector<DWORD>();
        } catch (...) {
        }
        if (gPausedThreads)
            gPausedThreads->clear();
        if (pause) {
            for (HANDLE* gate : {&gMainGate, &gOtherGate})
                if (!*gate)
                    *gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            ResetEvent(gOtherGate);
            // The main thread goes on until an unpause from before is repaused.
            const bool closeMain = gMainGateHolds == 0;
            if (closeMain)
                ResetEvent(gMainGate);
            gMainGateClosed.store(closeMain, std::memory_order_release);
            gPauseLasts = true;
        }
    }
    if (pause) {
        for (DWORD id : GetThreadList()) {
            if (id == current || id == mainThread || id == keepRunning || !IsReporterThread(id))
                continue;
            TExclusive lock(gPauseLock);
            try {
                if (gPausedThreads)
                    gPausedThreads->push_back(id);
            } catch (...) {
            }
        }
    } else {
        TExclusive lock(gPauseLock);
        for (HANDLE gate : {gMainGate, gOtherGate})
            if (gate)
                SetEvent(gate);
        gMainGateClosed.store(false, std::memory_order_release);
        gPauseLasts = false;
    }
    WakeMainThread();
}

void WaitIfPaused() noexcept
{
    if (!gPausedOnce.load() || tOwnHandlingWaits > 0)
        return;
    const DWORD lastError = GetLastError();
    const DWORD current = GetCurrentThreadId();
    const bool mainThread = current == PauseMainThreadId();
    HANDLE gate = nullptr;
    // A gate closed after this look holds the next message, as one closed after the wait always did.
    if (!mainThread || gMainGateClosed.load(std::memory_order_acquire)) {
        TShared lock(gPauseLock);
        if (mainThread)
            gate = DuplicateGate(gMainGate);
        else if (gOtherGate && gPausedThreads &&
                 std::find(gPausedThreads->begin(), gPausedThreads->end(), current) != gPausedThreads->end())
            gate = DuplicateGate(gOtherGate);
    }
    WaitOnGate(gate);
    SetLastError(lastError);
}

TOwnHandlingWait::TOwnHandlingWait() noexcept
{
    ++tOwnHandlingWaits;
}

TOwnHandlingWait::~TOwnHandlingWait()
{
    --tOwnHandlingWaits;
}

bool UnpauseMainThread() noexcept
{
    TExclusive lock(gPauseLock);
    if (!gMainGate || !gPauseLasts)
        return false;
    // A caller that finds the gate held open by another joins it, so that it repauses too.
    if (gMainGateHolds++ == 0) {
        SetEvent(gMainGate);
        gMainGateClosed.store(false, std::memory_order_release);
    }
    return true;
}

void RepauseMainThread() noexcept
{
    {
        TExclusive lock(gPauseLock);
        if (gMainGateHolds == 0 || --gMainGateHolds > 0)
            return;
        // A pause released meanwhile (by the handling, while a send or a handler still needed the
        // main thread) is not closed again: nothing would open it.
        if (!gMainGate || !gPauseLasts)
            return;
        ResetEvent(gMainGate);
        gMainGateClosed.store(true, std::memory_order_release);
    }
    WakeMainThread();
}

void FinalizePause() noexcept
{
    TExclusive lock(gPauseLock);
    for (HANDLE* gate : {&gMainGate, &gOtherGate})
        if (*gate) {
            SetEvent(*gate);
            CloseHandle(*gate);
            *gate = nullptr;
        }
    gMainGateClosed.store(false, std::memory_order_release);
    gPauseLasts = false;
    gMainGateHolds = 0;
    if (gPausedThreads)
        gPausedThreads->clear();
}

bool IsReporterThread(DWORD threadId) noexcept
{
    THxThreadTable* table = ModuleThreadTable().Table();
    if (!table || !table->ListMutex)
        return false;
    const DWORD wait = WaitForSingleObject(table->ListMutex, 50);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        return false;
    const void* creator = nullptr;
    for (const THxThreadEntry* entry = table->Head; entry; entry = entry->Next)
        if (entry->ThreadId == threadId) {
            creator = entry->CreatorAddress;
            break;
        }
    ReleaseMutex(table->ListMutex);
    if (!creator)
        return false;
    HMODULE module = ModuleOfAddress(creator);
    return module && FindResourceA(module, "EXCEPT", "HX") != nullptr;
}

// ---- Freeze watch ----

int FreezeTimeoutMs(int setting) noexcept
{
    if (setting <= 0)
        return DefaultFreezeTimeout;
    if (setting < 1000)
        return setting * 1000;
    return setting;
}

bool StartFreezeWatch(int timeoutMs) noexcept
{
    if (gWatchStarted.exchange(true))
        return false;
    const UINT ping = RegisterWindowMessageA("hxExceptFreezePing");
    HWND window = ping ? AddMsgHandler(ping, FreezePingHandler) : nullptr;
    TFreezeWatch watch;
    watch.Window = window;
    watch.PingMessage = ping;
    watch.TimeoutMs = FreezeTimeoutMs(timeoutMs);
    watch.MainThreadId = GetCurrentThreadId();
    watch.MainThread = OpenThreadHandle(watch.MainThreadId, THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT |
                                                              THREAD_QUERY_INFORMATION);
    watch.StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    watch.IdleGate = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (!window || !watch.StopEvent || !watch.IdleGate) {
        if (window)
            RemoveMsgHandler(ping, FreezePingHandler);
        CloseWatchHandles(watch);
        gWatchStarted = false;
        return false;
    }
    {
        TExclusive lock(gWatchLock);
        gWatch = watch;
        gBusyCount = -1;
        gFreezeMisses = 0;
        // Created suspended: the id is known before the first ping can be answered. The system's
        // own CreateThread: a wrapped one would enter a creator in the thread table, and a thread
        // with a creator is paused, in its next PeekMessage, while an exception is handled.
        const auto create = SystemProc<TCreateThread>("kernel32.dll", "CreateThread");
        gWatch.Thread =
            create ? create(nullptr, 0, FreezeWatchThreadProc, nullptr, CREATE_SUSPENDED, &gWatch.ThreadId) : nullptr;
        watch = gWatch;
    }
    if (!watch.Thread) {
        StopFreezeWatch();
        return false;
    }
    SetThreadPriority(watch.Thread, THREAD_PRIORITY_HIGHEST);
    SetThreadInfo(watch.ThreadId, nullptr, "-");
    ResumeThread(watch.Thread);
    return true;
}

void StopFreezeWatch(bool waitForReport) noexcept
{
    if (!gWatchStarted.load())
        return;
    TFreezeWatch watch;
    bool reports = false;
    {
        TExclusive lock(gWatchLock);
        watch = gWatch;
        if (watch.StopEvent)
            SetEvent(watch.StopEvent);
        reports = gWatchReports;
    }
    // A report that waits for a handling which waits for the caller is left where it is, with
    // its handles: the program is ending from inside that handling.
    const bool leave = watch.Thread && reports && !waitForReport;
    if (watch.Thread && !leave) {
        // A report under way is finished first; the handling it waits for may need this thread's
        // windows. Under the loader lock no thread can end, so the watch is stopped instead.
        if (IsLoaderLockHeld())
            TerminateThread(watch.Thread, 1);
        else
            WaitAnsweringSentMessages(watch.Thread);
    }
    if (watch.Window)
        RemoveMsgHandler(watch.PingMessage, FreezePingHandler, watch.MainThreadId);
    if (watch.ThreadId)
        SetThreadInfo(watch.ThreadId);
    {
        TExclusive lock(gWatchLock);
        if (leave)
            gWatch = TFreezeWatch{};
        else
            CloseWatchHandles(gWatch);
        gBusyCount = -1;
    }
    gFreezeMisses = 0;
    gWatchStarted = false;
}

bool FreezeWatchRunning() noexcept
{
    TShared lock(gWatchLock);
    return gWatch.Thread != nullptr;
}

DWORD FreezeWatchThreadId() noexcept
{
    TShared lock(gWatchLock);
    return gWatch.ThreadId;
}

void ResetFreezeMisses() noexcept
{
    gFreezeMisses = 0;
}

void SetHandlingBusy(bool busy) noexcept
{
    TExclusive lock(gWatchLock);
    if (!gWatch.Thread || GetCurrentThreadId() == gWatch.ThreadId)
        return;
    if (busy) {
        gFreezeMisses = 0;
        if (++gBusyCount == 0)
            ResetEvent(gWatch.IdleGate);
    } else {
        if (--gBusyCount < 0) {
            gBusyCount = -1;
            SetEvent(gWatch.IdleGate);
        }
        gFreezeMisses = 0;
    }
}
