#pragma once

// Keeping the program still while an exception is handled, the main thread's hidden handler
// window and the freeze watch that pings it.

#include "hxStackTrace.h"

#include <windows.h>

#include <cstdint>

// What every handler of the hidden window returns; also wParam and lParam of a ping's answer.
inline constexpr LRESULT HandlerAnswer = 777;

// ---- Replaceable links to the handling flow ----

// Runs the registered exception or action handlers for a handler-parameter record in the main thread.
using TFireHandlersProc = void (*)(LPARAM handlerParams);
void SetFireHandlers(TFireHandlersProc proc) noexcept;
// Hooks message retrieval in all loaded modules; called once, on the first pause.
using THookMessageRetrievalProc = void (*)();
void SetHookMessageRetrieval(THookMessageRetrievalProc proc) noexcept;

// A freeze as the watch hands it over: kind 1 ("freeze"), source 1, continuable, no exception
// object or address. Context and stack candidates were read while the frozen thread was suspended.
struct TFreezeInfo {
    static constexpr int Kind = 1;
    static constexpr int Source = 1;
    static constexpr bool Continuable = true;
    DWORD ThreadId = 0;
    bool ContextValid = false;
    CONTEXT Context{};
    std::uintptr_t StackBottom = 0;
    std::uintptr_t StackTop = 0;
    TDAPreStackItems StackItems;
};
using TFreezeHandler = void (*)(const TFreezeInfo& freeze);
void SetFreezeHandler(TFreezeHandler handler) noexcept;

// ---- Hidden handler window ----

// Registers the handler message on the calling (main) thread's message-handler window.
bool StartHandlerWindow() noexcept;
void StopHandlerWindow() noexcept;
HWND HandlerWindow() noexcept;
UINT HandlerMessage() noexcept;
// The thread that pauses on the main gate: the main thread the thread table named at start-up,
// else the handler window's thread, else the oldest thread.
DWORD PauseMainThreadId() noexcept;
// Kept from the start-up (0 forgets it): a reporter started on a worker still knows the main thread.
void SetTableMainThreadId(DWORD threadId) noexcept;

// ---- Pausing ----

// Pause: closes both gates and lists the other reporter-carrying threads except the caller,
// the main thread and keepRunning; release: opens the gates. Both wake the main thread.
void PauseOtherThreads(bool pause, DWORD keepRunning) noexcept;
// Blocks the calling thread while its gate is closed; the last-error value stays unchanged.
void WaitIfPaused() noexcept;
// While a thread waits for the handling of its own failure no gate holds it: that handling may need
// it to answer messages, the pause's own wake-up among them.
class TOwnHandlingWait {
public:
    TOwnHandlingWait() noexcept;
    ~TOwnHandlingWait();
    TOwnHandlingWait(const TOwnHandlingWait&) = delete;
    TOwnHandlingWait& operator=(const TOwnHandlingWait&) = delete;
};
// Opens the main gate while a pause lasts (false when none does) until the matching repause;
// callers on several threads share the opening, and the last one to repause closes the gate, only
// while the pause lasts.
bool UnpauseMainThread() noexcept;
void RepauseMainThread() noexcept;
// Opens and closes both gates and forgets the paused threads, so that no thread stays blocked.
void FinalizePause() noexcept;

// The thread's table entry names a creating address in a module with the "HX"/"EXCEPT" resource.
bool IsReporterThread(DWORD threadId) noexcept;

// ---- Freeze watch ----

// Milliseconds of a FreezeTimeout setting: values below 1000 are seconds; 0 or less is the default.
int FreezeTimeoutMs(int setting) noexcept;

// Starts the watch once, pinging the calling (main) thread's handler window; timeoutMs as given
// by FreezeTimeoutMs. False when it could not start or already runs. The watch thread has no
// creator in the thread table, so it is never paused.
bool StartFreezeWatch(int timeoutMs) noexcept;
// Signals the watch to end and waits for it: a report under way is finished first, while the
// calling thread answers messages sent to its windows. A freeze whose thread answers, or whose
// watch is signalled, by the time its state has been taken is not reported. Under the loader lock
// the watch is ended instead. Without waitForReport (the caller is a thread that the handling waits
// for) a report under way is left to the handling, and its watch with it.
void StopFreezeWatch(bool waitForReport = true) noexcept;
bool FreezeWatchRunning() noexcept;
DWORD FreezeWatchThreadId() noexcept;
// Brackets the handling of an exception: no pings while any is handled.
void SetHandlingBusy(bool busy) noexcept;
// Unanswered pings so far are forgotten.
void ResetFreezeMisses() noexcept;
