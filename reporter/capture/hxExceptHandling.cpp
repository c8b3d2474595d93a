#include "hxExceptHandling.h"

#include "hxExceptPause.h"
#include "hxExceptSections.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

std::mutex gServicesLock;
THandlingServices gServices;

THandlingServices Services()
{
    std::lock_guard<std::mutex> lock(gServicesLock);
    return gServices;
}

// ---- Registered handlers ----

using TAnyProc = void (*)();

struct THandlerEntry {
    TAnyProc Code = nullptr;
    void* Object = nullptr;
    bool IsMethod = false;
    bool InMainThread = false;
    int Stage = 0;   // exception handlers only

    bool Is(TAnyProc code, void* object, bool isMethod) const
    {
        return Code == code && Object == object && IsMethod == isMethod;
    }
};

std::mutex gHandlerLock;
using THandlerLists = std::array<std::vector<THandlerEntry>, 3>;
// Made on first use and never destroyed: a catch or failure in a static destructor that runs after
// the reporter's end still finds the lists (emptied then).
THandlerLists& Handlers()
{
    static THandlerLists* const lists = new THandlerLists();
    return *lists;
}
std::atomic<int> gActionHandlerCount{0};
std::atomic<int> gHandledHandlerCount{0};
std::atomic<int> gStage4HandlerCount{0};
// The thread that runs registered handlers for the hidden window now, or 0.
std::atomic<DWORD> gHandlersRunOn{0};

void CountEntries()
{
    gActionHandlerCount = static_cast<int>(Handlers()[hkAction].size());
    gHandledHandlerCount = static_cast<int>(Handlers()[hkHandledException].size());
    int stage4 = 0;
    for (const THandlerEntry& entry : Handlers()[hkException])
        stage4 += entry.Stage == 4;
    gStage4HandlerCount = stage4;
}

bool Register(THandlerKind kind, TAnyProc code, void* object, bool isMethod, bool inMainThread, int stage = 0)
{
    if (!code || (kind == hkException && (stage < 1 || stage > 4)))
        return false;
    std::lock_guard<std::mutex> lock(gHandlerLock);
    std::vector<THandlerEntry>& list = Handlers()[kind];
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const THandlerEntry& entry) { return entry.Is(code, object, isMethod); });
    if (found == list.end())
        found = list.insert(list.end(), THandlerEntry{code, object, isMethod});
    found->InMainThread = inMainThread;
    found->Stage = stage;
    CountEntries();
    return true;
}

bool Unregister(THandlerKind kind, TAnyProc code, void* object, bool isMethod)
{
    std::lock_guard<std::mutex> lock(gHandlerLock);
    std::vector<THandlerEntry>& list = Handlers()[kind];
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&](const THandlerEntry& entry) { return entry.Is(code, object, isMethod); });
    if (found == list.end())
        return false;
    list.erase(found);
    CountEntries();
    return true;
}

// The handler-parameter record: what one firing runs, handed to the main thread by address.
struct THandlerParams {
    THandlerKind Kind = hkException;
    IVQException* Exception = nullptr;
    TReportAction Action = raSend;
    std::vector<THandlerEntry> Entries;
    bool Handled = false;
    bool Ran = false;
};

void RunEntries(THandlerParams& params) noexcept
{
    for (const THandlerEntry& entry : params.Entries) {
        // A handler's failure is its own: the others still run and the handling goes on.
        try {
            if (params.Kind == hkAction) {
                if (entry.IsMethod)
                    reinterpret_cast<TActionHandlerMethod>(entry.Code)(entry.Object, params.Exception, params.Action,
                                                                       params.Handled);
                else
                    reinterpret_cast<TActionHandlerProc>(entry.Code)(params.Exception, params.Action, params.Handled);
            } else if (entry.IsMethod) {
                reinterpret_cast<TExceptionHandlerMethod>(entry.Code)(entry.Object, params.Exception);
            } else {
                reinterpret_cast<TExceptionHandlerProc>(entry.Code)(params.Exception);
            }
        } catch (...) {
        }
    }
    params.Ran = true;
}

// The hidden window's side: runs in the main thread, where a failure of a handler is not handled.
void RunHandlersInMainThread(LPARAM handlerParams)
{
    const DWORD previous = gHandlersRunOn.exchange(GetCurrentThreadId());
    RunEntries(*reinterpret_cast<THandlerParams*>(handlerParams));
    gHandlersRunOn = previous;
}

// The main thread must first answer a plain wake-up within this time.
constexpr UINT MainThreadProbeMs = 1500;
constexpr UINT MainThreadRunMs = 2147483646;

bool RunInMainThread(THandlerParams& params)
{
    HWND window = HandlerWindow();
    const UINT message = HandlerMessage();
    if (!window || !message || params.Exception->GetKind() == ekFreeze)
        return false;
    // A paused main thread blocks before it answers; it is let go meanwhile.
    const bool unpaused = params.Exception->GetPauseThreads() && UnpauseMainThread();
    DWORD_PTR answer = 0;
    bool answered = SendMessageTimeoutA(window, message, 1, 0, SMTO_NORMAL, MainThreadProbeMs, &answer) != 0 &&
                    answer == static_cast<DWORD_PTR>(HandlerAnswer);
    if (answered) {
        answer = 0;
        answered = SendMessageTimeoutA(window, message, 0, reinterpret_cast<LPARAM>(&params), SMTO_NORMAL,
                                       MainThreadRunMs, &answer) != 0 &&
                   answer == static_cast<DWORD_PTR>(HandlerAnswer);
    }
    if (unpaused)
        RepauseMainThread();
    return answered || params.Ran;
}

// Runs the kind's handlers (exception handlers: those of the stages given) for the exception;
// true when an action handler took the action over.
bool FireHandlers(THandlerKind kind, IVQException* exception, TReportAction action = raSend, int firstStage = 0,
                  int lastStage = 0)
{
    if (!exception->GetHandlersEnabled())
        return false;
    THandlerParams inMain{kind, exception, action, {}};
    THandlerParams here{kind, exception, action, {}};
    {
        std::lock_guard<std::mutex> lock(gHandlerLock);
        for (const THandlerEntry& entry : Handlers()[kind])
            if (kind != hkException || (entry.Stage >= firstStage && entry.Stage <= lastStage))
                (entry.InMainThread ? inMain : here).Entries.push_back(entry);
    }
    if (!inMain.Entries.empty() && !RunInMainThread(inMain))
        RunEntries(inMain);
    if (!here.Entries.empty())
        RunEntries(here);
    return inMain.Handled || here.Handled;
}

// Stage-4 handlers run once per exception: at stage 3 when the report is complete by then, else
// once the handling has waited for it. The exception whose stage-4 handlers ran on this thread.
thread_local IVQException* tStage4Fired = nullptr;

void FireStage4Handlers(IVQException* exception)
{
    if (tStage4Fired == exception || exception->GetStage() != 4)
        return;
    tStage4Fired = exception;
    FireHandlers(hkException, exception, raSend, 4, 4);
}

// The calling thread is inside EnterExceptionHandling.
thread_local int tEnteredHandling = 0;

struct TEnteredHandling {
    TEnteredHandling() noexcept { ++tEnteredHandling; }
    ~TEnteredHandling() { --tEnteredHandling; }
    TEnteredHandling(const TEnteredHandling&) = delete;
    TEnteredHandling& operator=(const TEnteredHandling&) = delete;
};

// ---- Handler thread ----

HANDLE gPipeRead = nullptr;
HANDLE gPipeWrite = nullptr;
HANDLE gHandlerThread = nullptr;

// Requests written into the pipe and not finished by the handler thread yet; the manual-reset
// event is signalled while there are none.
std::mutex gUnderWayLock;
int gRequestsUnderWay = 0;
HANDLE gNoRequestUnderWay = nullptr;

void RequestBegins()
{
    std::lock_guard<std::mutex> lock(gUnderWayLock);
    if (gRequestsUnderWay++ == 0 && gNoRequestUnderWay)
        ResetEvent(gNoRequestUnderWay);
}

void RequestEnds()
{
    std::lock_guard<std::mutex> lock(gUnderWayLock);
    if (gRequestsUnderWay > 0 && --gRequestsUnderWay == 0 && gNoRequestUnderWay)
        SetEvent(gNoRequestUnderWay);
}

// ---- History ----

std::mutex gHistoryLock;
TExceptionHistory gHistory{};

void RecordExceptionTime()
{
    std::lock_guard<std::mutex> lock(gHistoryLock);
    for (std::size_t i = gHistory.size() - 1; i > 0; --i)
        gHistory[i] = gHistory[i - 1];
    gHistory[0] = CurrentTimeSeconds();
}

// ---- Emergency memory ----

constexpr SIZE_T EmergencyReservation = 4 * 1024 * 1024;
constexpr SIZE_T EmergencyBlock = 512 * 1024;
std::array<std::atomic<void*>, 8> gEmergency{};

// ---- Message retrieval that no hook pauses ----

using TPeekMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);
using TGetMessage = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT);

// The main thread keeps its window alive while it waits; a quit message stays queued.
void PumpUntilSignalled(HANDLE event)
{
    const auto peek = SystemProc<TPeekMessage>("user32.dll", "PeekMessageA");
    for (;;) {
        const DWORD result = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT);
        if (result != WAIT_OBJECT_0 + 1)
            return;
        MSG message;
        while (peek && peek(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                return;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0)
            return;
    }
}

bool IsConsoleProgram()
{
    const IMAGE_NT_HEADERS* headers = PeNtHeaders(GetModuleHandleA(nullptr));
    return headers && headers->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

// Pausing is the executable's own reporter's business.
bool ReporterIsInExecutable()
{
    return ModuleOfAddress(reinterpret_cast<const void*>(&ProcessException)) == GetModuleHandleA(nullptr);
}

[[noreturn]] void EndProcess(UINT exitCode)
{
    TerminateProcess(GetCurrentProcess(), exitCode);
    ExitProcess(exitCode);
}

// The delivery side's routines end the process; without them it ends here.
void CloseProgram()
{
    if (const auto close = Services().CloseApplication)
        return close();
    EndProcess(1);
}

void RestartProgram()
{
    if (const auto restart = Services().RestartApplication)
        return restart();
    EndProcess(2);
}

void AutoActions(IVQException* exception, bool /*complete*/)
{
    ComPtr<IVQExceptionEx> ex;
    if (FAILED(exception->QueryInterface(IID_PPV_ARGS(&ex))) || !ex->TakeAutoActionsOnce())
        return;
    AutoSaveOnce(exception, false);
    if (exception->GetAutoSend() && !FireActionHandlers(exception, raSend, nullptr))
        if (const auto send = Services().SendBugReport)
            send(exception->GetBugReport(), exception->GetAttachScreenShot() ? exception->GetScreenShot() : nullptr,
                 nullptr, true, true, exception);
    if (exception->GetAutoClip())
        CopyTextToClipboard(exception->GetBugReport());
    else
        exception->RemoveReportCallback(AutoActions);
}

// The texts carry their own CR LF line ends: a text-mode stream would make them CR CR LF, so
// they go out through the stream in binary mode, which is put back afterwards.
void WriteConsoleText(const std::string& text)
{
    std::fflush(stdout);
    const int descriptor = _fileno(stdout);
    const int oldMode = descriptor >= 0 ? _setmode(descriptor, _O_BINARY) : -1;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputs("\r\n", stdout);
    std::fflush(stdout);
    if (oldMode != -1)
        _setmode(descriptor, oldMode);
}

bool WasShown(IVQException* exception)
{
    return exception->GetShowSetting() != 4 && !IsConsoleProgram();
}

}  // namespace

void SetHandlingServices(const THandlingServices& services) noexcept
{
    std::lock_guard<std::mutex> lock(gServicesLock);
    gServices = services;
}

THandlingServices HandlingServices() noexcept
{
    return Services();
}

// ---- History ----

TExceptionHistory ExceptionHistory() noexcept
{
    std::lock_guard<std::mutex> lock(gHistoryLock);
    return gHistory;
}

void SetExceptionHistory(const TExceptionHistory& history) noexcept
{
    std::lock_guard<std::mutex> lock(gHistoryLock);
    gHistory = history;
}

bool IsAutoActionDue(int value) noexcept
{
    if (value <= 0)
        return false;
    if (value == 1)
        return true;
    const std::uint64_t now = CurrentTimeSeconds();
    for (std::uint64_t time : ExceptionHistory())
        if (time == 0 || time + static_cast<std::uint64_t>(value) < now)
            return false;
    return true;
}

// ---- Emergency memory ----

void ReserveEmergencyMemory() noexcept
{
    for (std::size_t i = 0; i < gEmergency.size(); ++i) {
        if (gEmergency[i].load())
            continue;
        void* block = i < 4 ? VirtualAlloc(nullptr, EmergencyReservation, MEM_RESERVE, PAGE_NOACCESS)
                            : VirtualAlloc(nullptr, EmergencyBlock, MEM_COMMIT, PAGE_NOACCESS);
        void* expected = nullptr;
        // Another thread may have made this one meanwhile: the later block goes back.
        if (block && !gEmergency[i].compare_exchange_strong(expected, block))
            VirtualFree(block, 0, MEM_RELEASE);
    }
}

void ReleaseEmergencyMemory() noexcept
{
    for (std::atomic<void*>& cell : gEmergency)
        if (void* block = cell.exchange(nullptr))
            VirtualFree(block, 0, MEM_RELEASE);
}

// ---- Handler thread ----

namespace {

DWORD WINAPI HandlerThreadProc(void*)
{
    for (;;) {
        THandlingRequest request{};
        DWORD read = 0;
        if (!ReadFile(gPipeRead, &request, sizeof request, &read, nullptr) || request.Event == 0)
            return 0;
        if (read != sizeof request)
            continue;
        try {
            ProcessException(request);
        } catch (...) {
        }
        // The event is the handler's own duplicate: a waiter that stopped early closed only its own.
        SetEvent(reinterpret_cast<HANDLE>(request.Event));
        CloseHandle(reinterpret_cast<HANDLE>(request.Event));
        // A thread waiting in message retrieval wakes up.
        PostThreadMessageA(static_cast<DWORD>(request.ThreadId), 0, 0, 0);
        RequestEnds();
    }
}

}  // namespace

bool StartHandlerThread() noexcept
{
    if (gHandlerThread)
        return true;
    if (!CreatePipe(&gPipeRead, &gPipeWrite, nullptr, 0))
        return false;
    {
        std::lock_guard<std::mutex> lock(gUnderWayLock);
        if (!gNoRequestUnderWay)
            gNoRequestUnderWay = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    }
    DWORD id = 0;
    gHandlerThread = CreateThread(nullptr, 0, HandlerThreadProc, nullptr, CREATE_SUSPENDED, &id);
    if (!gHandlerThread) {
        CloseHandle(gPipeRead);
        CloseHandle(gPipeWrite);
        gPipeRead = gPipeWrite = nullptr;
        return false;
    }
    SetHandlerThreadId(id);
    SetShowExceptionBox(&ShowExceptionBox);
    SetFireHandlers(&RunHandlersInMainThread);
    SetThreadInfo(id, nullptr, "-");
    SetThreadPriority(gHandlerThread, THREAD_PRIORITY_HIGHEST);
    ResumeThread(gHandlerThread);
    return true;
}

void StopHandlerThread() noexcept
{
    if (!gHandlerThread)
        return;
    // Stopped from a thread that the handling waits for (a handler that ends the program), the
    // handler thread cannot end first: it is left where it is, with the pipe's read end, and
    // stops at the next request when it gets there.
    const bool leave = HandlingWaitsForCurrentThread();
    const bool mayWait = !IsLoaderLockHeld();
    if (!leave)
        ResumeThread(gHandlerThread);
    if (mayWait) {
        THandlingRequest stop{};
        DWORD written = 0;
        WriteFile(gPipeWrite, &stop, sizeof stop, &written, nullptr);
    }
    CloseHandle(gPipeWrite);
    gPipeWrite = nullptr;
    if (!leave && (!mayWait || WaitForSingleObject(gHandlerThread, 500) != WAIT_OBJECT_0))
        TerminateThread(gHandlerThread, 1);
    CloseHandle(gHandlerThread);
    if (!leave)
        CloseHandle(gPipeRead);
    gHandlerThread = gPipeRead = nullptr;
    {
        // Requests still in the pipe, or cut off with the thread, are not processed any more.
        std::lock_guard<std::mutex> lock(gUnderWayLock);
        gRequestsUnderWay = 0;
        if (gNoRequestUnderWay) {
            SetEvent(gNoRequestUnderWay);
            CloseHandle(gNoRequestUnderWay);
            gNoRequestUnderWay = nullptr;
        }
    }
    SetThreadInfo(HandlerThreadId());
    SetHandlerThreadId(0);
    SetFireHandlers(nullptr);
}

bool HandlingWaitsForCurrentThread() noexcept
{
    const DWORD current = GetCurrentThreadId();
    return current == HandlerThreadId() || IsReportCalculationThread() || current == gHandlersRunOn.load();
}

void WaitForHandlingToEnd() noexcept
{
    // Under the loader lock the handling could need the lock to end.
    if (HandlingWaitsForCurrentThread() || IsLoaderLockHeld())
        return;
    HANDLE idle = nullptr;
    {
        // A duplicate, so that the wait survives the event being closed with the handler thread.
        std::lock_guard<std::mutex> lock(gUnderWayLock);
        if (gRequestsUnderWay == 0 || !gNoRequestUnderWay ||
            !DuplicateHandle(GetCurrentProcess(), gNoRequestUnderWay, GetCurrentProcess(), &idle, SYNCHRONIZE, FALSE,
                             0))
            return;
    }
    WaitAnsweringSentMessages(idle);
    CloseHandle(idle);
}

// ---- Entering ----

__attribute__((noinline)) void EnterExceptionHandling(const TExceptionParams& params, std::string* reportTarget)
{
    // The handler thread, the report calculation (which the handler may be waiting for) and a main
    // thread that runs registered handlers for the handler thread cannot be handled.
    const DWORD current = GetCurrentThreadId();
    if (current == HandlerThreadId() || IsReportCalculationThread() || current == gHandlersRunOn.load())
        return;
    const TEnteredHandling entered;
    ReleaseEmergencyMemory();
    void* object = params.ExceptObject;
    void* address = params.ExceptAddress;
    CONTEXT* context = const_cast<CONTEXT*>(params.Context);
    ResolveExceptionAddress(object, address, context);
    // The object of the exception being caught here goes when its catch ends: not as a handled one.
    if (params.Kind != ekHandledException && object && object == ExceptionPtrObject(std::current_exception()))
        MarkReportedObject(object);
    if (object && IsClassNamed(object, "EAbort")) {
        ClearRecordedException();
        if (!params.CanContinue)
            CloseProgram();
        ReserveEmergencyMemory();
        return;
    }
    std::uintptr_t stackPointer = params.StackPointer;
    std::uintptr_t framePointer = params.FramePointer;
    if (!stackPointer)
        stackPointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (!framePointer)
        framePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (context) {
        const std::uintptr_t ip = ContextInstructionPointer(*context);
        const auto at = reinterpret_cast<std::uintptr_t>(address);
        if (at >= ip && at - ip <= 4) {
            stackPointer = ContextStackPointer(*context);
            framePointer = ContextFramePointer(*context);
        }
    }
    THandlingRequest request{};
    request.ThreadId = params.ThreadId ? params.ThreadId : GetCurrentThreadId();
    request.Kind = static_cast<UINT_PTR>(params.Kind);
    request.ExceptObject = reinterpret_cast<UINT_PTR>(object);
    request.ExceptAddress = reinterpret_cast<UINT_PTR>(address);
    request.CanContinue = params.CanContinue ? 1 : 0;
    request.StackPointer = stackPointer;
    request.FramePointer = framePointer;
    request.ContextRecord = reinterpret_cast<UINT_PTR>(context);
    request.ReportTarget = reinterpret_cast<UINT_PTR>(reportTarget);
    request.Source = static_cast<UINT_PTR>(params.Source);
    request.Extra1 = params.Extra1;
    request.Extra2 = params.Extra2;
    request.Reserved = params.Reserved;
    request.HeldStack = reinterpret_cast<UINT_PTR>(params.HeldStack);
    HANDLE event = IsLoaderLockHeld() || !gPipeWrite ? nullptr : CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetHandlingBusy(true);
    const TOwnHandlingWait ownHandling;
    HANDLE handlerEvent = nullptr;
    if (event && !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &handlerEvent, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS)) {
        CloseHandle(event);
        event = nullptr;
    }
    if (event) {
        request.Event = reinterpret_cast<UINT_PTR>(handlerEvent);
        DWORD written = 0;
        RequestBegins();
        if (!WriteFile(gPipeWrite, &request, sizeof request, &written, nullptr) || written != sizeof request) {
            // Not sent: the failure is not reported and nobody else holds the duplicate.
            RequestEnds();
            CloseHandle(handlerEvent);
        } else {
            if (GetCurrentThreadId() == PauseMainThreadId())
                PumpUntilSignalled(event);
            else
                WaitForSingleObject(event, INFINITE);
        }
        CloseHandle(event);
    } else {
        ProcessException(request);
    }
    SetHandlingBusy(false);
    ClearRecordedException();
    ReserveEmergencyMemory();
}

// ---- Processing ----

void ProcessException(const THandlingRequest& request)
{
    // A handled exception only tells its handlers: a send in the background may still use its
    // attachment copies there.
    if (request.Kind != ekHandledException)
        ClearReportTempFolder();
    TExceptionParams params;
    params.Kind = static_cast<int>(request.Kind);
    params.ExceptObject = reinterpret_cast<void*>(request.ExceptObject);
    params.ExceptAddress = reinterpret_cast<void*>(request.ExceptAddress);
    params.Reserved = request.Reserved;
    params.Extra1 = request.Extra1;
    params.Extra2 = request.Extra2;
    params.Source = static_cast<int>(request.Source);
    params.Context = reinterpret_cast<const CONTEXT*>(request.ContextRecord);
    params.HeldStack = reinterpret_cast<const TDAPreStackItems*>(request.HeldStack);
    params.FramePointer = request.FramePointer;
    params.StackPointer = request.StackPointer;
    params.ThreadId = static_cast<DWORD>(request.ThreadId);
    params.CanContinue = request.CanContinue != 0;
    params.Settings = params.ExceptAddress ? GetModuleSettingsOfAddress(params.ExceptAddress) : nullptr;
    if (!params.Settings)
        params.Settings = MainModuleSettings();
    if (!params.Settings)
        params.Settings = GetModuleSettings(GetModuleHandleA(nullptr));
    TExceptionPtr exception = NewExceptionObject(params);
    if (!exception)
        return;
    ComPtr<IVQExceptionEx> ex;
    exception.As(&ex);
    const bool handled = params.Kind == ekHandledException;

    tStage4Fired = nullptr;
    ex->SetStage(1);
    if (handled) {
        FireHandlers(hkHandledException, exception.Get());
    } else {
        RecordExceptionTime();
        FireHandlers(hkException, exception.Get(), raSend, 1, 1);
    }

    ex->SetStage(2);
    const bool pause = !handled && params.Kind != ekFreeze && exception->GetPauseThreads() && ReporterIsInExecutable();
    if (!handled) {
        // The report's calculation starts after the pause: no thread of it is running yet.
        if (pause)
            PauseOtherThreads(true, 0);
        if (exception->GetCreateScreenShot())
            exception->GetScreenShot();
        // Registered before the calculation starts: a report that completes at once still
        // reaches the auto actions.
        if (exception->GetAutoSave() || exception->GetAutoSend() || exception->GetAutoClip())
            exception->AddReportCallback(AutoActions, true);
        if (exception->GetCreateBugReport())
            exception->WaitForReportText(false);
        FireHandlers(hkException, exception.Get(), raSend, 2, 2);
    }

    ex->SetStage(3);
    if (!handled) {
        FireHandlers(hkException, exception.Get(), raSend, 3, 3);
        FireStage4Handlers(exception.Get());
    }
    if (!(handled && params.CanContinue)) {
        if (!handled) {
            if (auto* target = reinterpret_cast<std::string*>(request.ReportTarget))
                *target = exception->GetBugReport();
            else if (!(IsConsoleProgram() && exception->GetShowSetting() == 4))
                ShowExceptionBox(exception.Get());
        }
        if (params.CanContinue && WasShown(exception.Get())) {
            if (!handled)
                FinishExceptionHandling(exception.Get(), false);
        } else if (!IsAutoActionDue(exception->GetAutoClose()) &&
                   (params.CanContinue || IsAutoActionDue(exception->GetAutoRestart()))) {
            if (IsAutoActionDue(exception->GetAutoRestart())) {
                FireActionHandlers(exception.Get(), raRestart, nullptr);
                FinishExceptionHandling(exception.Get(), true);
                RestartProgram();
            } else {
                FireActionHandlers(exception.Get(), raContinue, nullptr);
                if (!handled)
                    FinishExceptionHandling(exception.Get(), false);
            }
        } else {
            FireActionHandlers(exception.Get(), raClose, nullptr);
            FinishExceptionHandling(exception.Get(), true);
            CloseProgram();
        }
    }
    ResetFreezeMisses();
    if (pause)
        PauseOtherThreads(false, 0);
    tStage4Fired = nullptr;
}

void FinishExceptionHandling(IVQException* exception, bool closing)
{
    if (closing)
        exception->SetAutoSend(false);
    ComPtr<IVQExceptionEx> ex;
    if ((SUCCEEDED(exception->QueryInterface(IID_PPV_ARGS(&ex))) && ex->CallbacksNeedReport()) ||
        (HandlersNeedReport() && exception->GetHandlersEnabled())) {
        exception->GetBugReport();
        FireStage4Handlers(exception);
    }
    AutoSaveOnce(exception, true);
}

// ---- Registered handlers ----

bool RegisterExceptionHandler(TExceptionHandlerProc proc, int stage, bool inMainThread)
{
    return Register(hkException, reinterpret_cast<TAnyProc>(proc), nullptr, false, inMainThread, stage);
}

bool RegisterExceptionHandler(void* object, TExceptionHandlerMethod method, int stage, bool inMainThread)
{
    return Register(hkException, reinterpret_cast<TAnyProc>(method), object, true, inMainThread, stage);
}

bool UnregisterExceptionHandler(TExceptionHandlerProc proc)
{
    return Unregister(hkException, reinterpret_cast<TAnyProc>(proc), nullptr, false);
}

bool UnregisterExceptionHandler(void* object, TExceptionHandlerMethod method)
{
    return Unregister(hkException, reinterpret_cast<TAnyProc>(method), object, true);
}

bool RegisterActionHandler(TActionHandlerProc proc, bool inMainThread)
{
    return Register(hkAction, reinterpret_cast<TAnyProc>(proc), nullptr, false, inMainThread);
}

bool RegisterActionHandler(void* object, TActionHandlerMethod method, bool inMainThread)
{
    return Register(hkAction, reinterpret_cast<TAnyProc>(method), object, true, inMainThread);
}

bool UnregisterActionHandler(TActionHandlerProc proc)
{
    return Unregister(hkAction, reinterpret_cast<TAnyProc>(proc), nullptr, false);
}

bool UnregisterActionHandler(void* object, TActionHandlerMethod method)
{
    return Unregister(hkAction, reinterpret_cast<TAnyProc>(method), object, true);
}

bool RegisterHandledExceptionHandler(TExceptionHandlerProc proc, bool inMainThread)
{
    return Register(hkHandledException, reinterpret_cast<TAnyProc>(proc), nullptr, false, inMainThread);
}

bool RegisterHandledExceptionHandler(void* object, TExceptionHandlerMethod method, bool inMainThread)
{
    return Register(hkHandledException, reinterpret_cast<TAnyProc>(method), object, true, inMainThread);
}

bool UnregisterHandledExceptionHandler(TExceptionHandlerProc proc)
{
    return Unregister(hkHandledException, reinterpret_cast<TAnyProc>(proc), nullptr, false);
}

bool UnregisterHandledExceptionHandler(void* object, TExceptionHandlerMethod method)
{
    return Unregister(hkHandledException, reinterpret_cast<TAnyProc>(method), object, true);
}

void ClearRegisteredHandlers() noexcept
{
    std::lock_guard<std::mutex> lock(gHandlerLock);
    for (std::vector<THandlerEntry>& list : Handlers())
        list.clear();
    CountEntries();
}

bool HandledExceptionHandlersRegistered() noexcept
{
    return gHandledHandlerCount.load(std::memory_order_relaxed) > 0;
}

bool InExceptionHandlingHere() noexcept
{
    return tEnteredHandling > 0;
}

bool MainThreadRunsHandlers() noexcept
{
    return gHandlersRunOn.load() != 0;
}

void AutoSaveOnce(IVQException* exception, bool final)
{
    if (!exception->GetAutoSave())
        return;
    ComPtr<IVQExceptionEx> ex;
    if (FAILED(exception->QueryInterface(IID_PPV_ARGS(&ex))))
        return;
    if (exception->GetAutoSaveIfNotSent() && (!final || ex->GetSent()))
        return;
    if (!ex->TakeAutoSaveOnce())
        return;
    if (FireActionHandlers(exception, raSave, nullptr))
        return;
    if (const auto save = Services().SaveBugReport)
        save({}, exception->GetBugReport(), nullptr, true, exception);
}

bool HandlersNeedReport() noexcept
{
    return gStage4HandlerCount.load() > 0;
}

bool FireActionHandlers(IVQException* exception, TReportAction action, HWND parent)
{
    // Restart and close handlers see the complete report when it is wanted anyway. Without action
    // handlers the closing waits for it later, after the box is gone, as it always did.
    if ((action == raRestart || action == raClose) && gActionHandlerCount.load() > 0 &&
        exception->GetHandlersEnabled()) {
        ComPtr<IVQExceptionEx> ex;
        if ((SUCCEEDED(exception->QueryInterface(IID_PPV_ARGS(&ex))) && ex->CallbacksNeedReport()) ||
            HandlersNeedReport())
            exception->GetBugReport();
    }
    if (FireHandlers(hkAction, exception, action))
        return true;
    // Send, save and print that no handler claims may have an assistant.
    if (!parent || action > raPrint || !exception->GetHandlersEnabled())
        return false;
    const std::string name = action == raSend   ? exception->GetSendAssis()
                             : action == raSave ? exception->GetSaveAssis()
                                                : exception->GetPrintAssis();
    const auto run = Services().RunAssistant;
    ComPtr<IUnknown> assistant = name.empty() ? nullptr : exception->GetAssistant(name);
    if (!assistant || !run)
        return false;
    const bool topmost = (GetWindowLongA(parent, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    if (topmost)
        SetWindowPos(parent, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    const bool ok = run(assistant.Get(), parent, exception);
    if (topmost)
        SetWindowPos(parent, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return !ok;
}

// ---- Showing ----

int RunExceptionBox(int style, bool beep, IVQException* exception)
{
    const auto create = Services().CreateExceptionBox;
    if (!create)
        return 0;
    ComPtr<IHxExceptionBox> box = create(exception, style != 0, style == 2, beep);
    if (!box)
        return 0;
    const auto get = SystemProc<TGetMessage>("user32.dll", "GetMessageA");
    HWND window = box->Window();
    MSG message;
    while (IsWindow(window)) {
        const BOOL result = get ? get(&message, nullptr, 0, 0) : FALSE;
        if (result == 0 || result == -1) {
            if (result == 0)
                PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE &&
            (message.hwnd == window || IsChild(window, message.hwnd))) {
            PostMessageA(window, WM_CLOSE, 0, 0);
            continue;
        }
        if (!box->IsDetailsControl(message.hwnd) && IsDialogMessageA(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if ((style == 0 || style == 2) && box->WantsShowAgain()) {
        exception->SetAutoShowBugRep(true);
        exception->SetAutoContinue(false);
        exception->SetAutoRestart(0);
        exception->SetAutoClose(0);
        box.Reset();
        return RunExceptionBox(0, false, exception);
    }
    return 1;
}

int ShowExceptionBox(IVQException* exception)
{
    if (IsConsoleProgram()) {
        const std::string text = exception->GetKind() == ekFreeze ? exception->GetFrozenMsg() : exception->GetExceptMsg();
        WriteConsoleText(ExpandPlaceholders(exception->Module(), text, exception->GetExceptMessage(), ""));
        if (exception->GetAutoShowBugRep() || exception->GetShowBtnVis()) {
            exception->SetPlWaitBox(false);
            WriteConsoleText(exception->GetBugReport());
        }
        return 0;
    }
    const int show = exception->GetShowSetting();
    if (show == 4)
        return 0;
    if (show == 1) {
        const auto run = Services().RunAssistant;
        const std::string name = exception->GetAssistantName();
        ComPtr<IUnknown> assistant = name.empty() ? nullptr : exception->GetAssistant(name);
        if (assistant && run) {
            run(assistant.Get(), nullptr, exception);
            return 1;
        }
        return RunExceptionBox(0, true, exception);
    }
    return RunExceptionBox(show, true, exception);
}
