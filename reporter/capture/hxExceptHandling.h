#pragma once

// The handling flow: every interception point and the freeze watch hand their failure to
// EnterExceptionHandling, which writes a request into a pipe and waits; the handler thread
// processes one request at a time (exception object, pausing, automatic actions, the exception
// box) and decides whether the program goes on, restarts or closes.

#include "hxExceptObject.h"
#include "hxExceptSupport.h"

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

// One request, written whole into the pipe and read whole by the handler thread.
struct THandlingRequest {
    UINT_PTR Event;            // manual-reset event set when done; 0 asks the handler thread to stop
    UINT_PTR ThreadId;
    UINT_PTR Kind;             // TExceptionKind
    UINT_PTR ExceptObject;
    UINT_PTR ExceptAddress;
    UINT_PTR CanContinue;
    UINT_PTR StackPointer;
    UINT_PTR FramePointer;
    UINT_PTR ContextRecord;    // CONTEXT* on the failing thread's stack, or 0
    UINT_PTR ReportTarget;     // std::string* that receives the report instead of a box, or 0
    UINT_PTR Source;
    UINT_PTR Extra1;
    UINT_PTR Extra2;
    UINT_PTR Reserved;
    UINT_PTR HeldStack;        // const TDAPreStackItems* of a held (frozen) thread, or 0
};
static_assert(sizeof(THandlingRequest) == 15 * sizeof(void*), "the request holds pointer-sized cells");

// Where a failure came from.
enum THandlingSource : int {
    hsFreeze = 1,
    hsRtlShowException = 3,
    hsAppShowException = 4,
    hsAppHandleException = 5,
    hsRuntimeError = 11,
    hsThreadExit = 13,
    hsSystemException = 14,
    hsHandledException = 15,
};

// The box's actions, in the order of its buttons.
enum TReportAction : int { raSend = 0, raSave, raPrint, raShow, raContinue, raRestart, raClose };

// The exception box as the handling flow drives it.
class IHxExceptionBox : public IUnknown {
public:
    virtual HWND Window() = 0;
    // The details control takes its own navigation keys.
    virtual bool IsDetailsControl(HWND window) = 0;
    // The box's countdown was interrupted: show it again without one.
    virtual bool WantsShowAgain() = 0;
};
__CRT_UUID_DECL(IHxExceptionBox, 0x0e5d6a1c, 0x47b2, 0x4f93, 0xa8, 0x0d, 0x61, 0x2c, 0xe4, 0x97, 0x3b, 0x55)

// What the delivery side lends the handling flow; each may be missing.
struct THandlingServices {
    // Builds and shows the box: a style other than 0 makes the plain box, style 2 adds its
    // Details button; beep for the first box of an exception.
    Microsoft::WRL::ComPtr<IHxExceptionBox> (*CreateExceptionBox)(IVQException* exception, bool plainStyle,
                                                                  bool styleIsTwo, bool beep) = nullptr;
    bool (*SaveBugReport)(const std::string& fileName, const std::string& report, HWND owner, bool noDialog,
                          IVQException* exception) = nullptr;
    bool (*SendBugReport)(const std::string& report, const TNVBitmapPtr& screenShot, HWND owner, bool silent,
                          bool background, IVQException* exception) = nullptr;
    // Shows an assistant modally; true when it ended with OK (its outputs then apply to the report).
    bool (*RunAssistant)(IUnknown* assistant, HWND parent, IVQException* exception) = nullptr;
    // Both end the process; without them it ends with the codes 2 and 1.
    void (*RestartApplication)() = nullptr;
    void (*CloseApplication)() = nullptr;
};
void SetHandlingServices(const THandlingServices& services) noexcept;
THandlingServices HandlingServices() noexcept;

// The failing thread's way into handling; returns when handling has ended (unless the program
// was closed or restarted). ReportTarget receives the report text instead of a box.
void EnterExceptionHandling(const TExceptionParams& params, std::string* reportTarget = nullptr);

// The handler thread's id is told to the exception objects (HandlerThreadId).
bool StartHandlerThread() noexcept;
void StopHandlerThread() noexcept;
// The handler thread, a report calculation thread, or a thread that runs registered handlers for
// them: the handling under way cannot end while the calling thread waits for it.
bool HandlingWaitsForCurrentThread() noexcept;
// Returns when the handler thread has finished every request handed to it so far, answering
// messages sent to the calling thread's windows meanwhile; at once on a thread that the handling
// waits for, and under the loader lock.
void WaitForHandlingToEnd() noexcept;

// Runs on the handler thread (or on the failing thread under the loader lock).
void ProcessException(const THandlingRequest& request);

void FinishExceptionHandling(IVQException* exception, bool closing);
void AutoSaveOnce(IVQException* exception, bool final);
// 0: no, 1: yes; n >= 2: ten recorded exceptions, none more than n seconds ago.
bool IsAutoActionDue(int value) noexcept;
// An action no handler claims shows its assistant when a parent is given; true when the action
// is taken care of (an assistant that did not end with OK cancels it).
bool FireActionHandlers(IVQException* exception, TReportAction action, HWND parent);
// A registered exception handler runs at stage 4 and so wants the complete report.
bool HandlersNeedReport() noexcept;

// ---- Registered handlers ----

// Process-wide lists per kind, each entry a procedure or a method (an object and a function that
// takes it first). An entry flagged for the main thread runs there through the hidden window while
// the handler thread waits; when the main thread does not answer (or for a freeze) it runs on the
// handler thread. Handlers run only when the exception's handlers are enabled.
enum THandlerKind : int { hkException = 0, hkAction = 1, hkHandledException = 2 };

// Exception handlers run once at their stage (1 to 4) of every exception and freeze; a stage-4
// handler sees the complete report, which the handling then waits for before the program goes on
// or ends. Handled-exception handlers hear of exceptions the program caught (kind 2, source 15).
using TExceptionHandlerProc = void (*)(IVQException* exception);
using TExceptionHandlerMethod = void (*)(void* object, IVQException* exception);
// An action handler that sets handled takes the action over: the built-in one does not run.
using TActionHandlerProc = void (*)(IVQException* exception, TReportAction action, bool& handled);
using TActionHandlerMethod = void (*)(void* object, IVQException* exception, TReportAction action, bool& handled);

// Registering an entry again changes its flags; false for a stage outside 1 to 4 or no procedure.
bool RegisterExceptionHandler(TExceptionHandlerProc proc, int stage, bool inMainThread = false);
bool RegisterExceptionHandler(void* object, TExceptionHandlerMethod method, int stage, bool inMainThread = false);
bool UnregisterExceptionHandler(TExceptionHandlerProc proc);
bool UnregisterExceptionHandler(void* object, TExceptionHandlerMethod method);
bool RegisterActionHandler(TActionHandlerProc proc, bool inMainThread = false);
bool RegisterActionHandler(void* object, TActionHandlerMethod method, bool inMainThread = false);
bool UnregisterActionHandler(TActionHandlerProc proc);
bool UnregisterActionHandler(void* object, TActionHandlerMethod method);
bool RegisterHandledExceptionHandler(TExceptionHandlerProc proc, bool inMainThread = false);
bool RegisterHandledExceptionHandler(void* object, TExceptionHandlerMethod method, bool inMainThread = false);
bool UnregisterHandledExceptionHandler(TExceptionHandlerProc proc);
bool UnregisterHandledExceptionHandler(void* object, TExceptionHandlerMethod method);
// Empties every list (the reporter's end).
void ClearRegisteredHandlers() noexcept;
// Cheap enough for the end of every catch.
bool HandledExceptionHandlersRegistered() noexcept;
// The calling thread is inside EnterExceptionHandling: a catch in the reporter's own work there
// is no handled exception of the program.
bool InExceptionHandlingHere() noexcept;
// Registered handlers are running on the main thread now; a failure there is not handled.
bool MainThreadRunsHandlers() noexcept;

int RunExceptionBox(int style, bool beep, IVQException* exception);
int ShowExceptionBox(IVQException* exception);

// The times of the last ten exceptions, newest first.
TExceptionHistory ExceptionHistory() noexcept;
void SetExceptionHistory(const TExceptionHistory& history) noexcept;

// Address space kept back for handling a failure that ran out of memory.
void ReserveEmergencyMemory() noexcept;
void ReleaseEmergencyMemory() noexcept;
