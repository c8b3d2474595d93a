// A window program that carries the reporter and fails on request: the first argument names the
// failure. It never calls the reporter, except the "patches" run, which ends the reporter early
// and checks that every patched site holds its old bytes again, the "form-handlers" run, which
// asks for the assistants' built-in handlers, the "freeze-exit" run, which holds the saving of
// its freeze report until the program ends, a leading "box " that makes
// the reporter show its exception box instead of only saving the report, and a leading
// "handlers " (with "claim ", "close ", "exit-main " or "exit-other ") that registers handlers
// writing what they see to hxLiveHandlers.txt.

#include "Controls.h"
#include "ExtCtrls.h"
#include "Forms.h"
#include "SysUtils.h"
#include "Thread.h"

#include "hxExcept.h"
#include "hxExceptHandling.h"
#include "hxExceptPatch.h"
#include "hxExceptSettings.h"
#include "hxNVAssistant.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

// Reported by its plain class name.
class ELiveTestError : public Exception {
public:
    using Exception::Exception;
};

namespace {

DWORD WINAPI ThrowingWorker(void*)
{
    throw ELiveTestError("Worker thread failed on purpose");
}

// Ends only when the stack does (depth never becomes negative).
__attribute__((noinline, noipa)) int Recurse(int depth)
{
    volatile char filler[512];
    filler[0] = static_cast<char>(depth);
    if (depth < 0)
        return 0;
    return Recurse(depth + 1) + filler[0];
}

DWORD WINAPI OverflowingWorker(void*)
{
    return static_cast<DWORD>(Recurse(0));
}

__attribute__((noinline, noipa)) void WriteThroughNull(volatile int* target)
{
    *target = 1;
}

DWORD WINAPI ViolatingWorker(void*)
{
    WriteThroughNull(nullptr);
    return 0;
}

void RunWorker(LPTHREAD_START_ROUTINE routine)
{
    HANDLE worker = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
    if (!worker)
        std::exit(4);
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
}

// The main thread's own overflow, in a function of its own (its report is no repeat of a worker's).
__attribute__((noinline, noipa)) int RecurseOnMain(int depth)
{
    volatile char filler[512];
    filler[0] = static_cast<char>(depth);
    if (depth < 0)
        return 0;
    return RecurseOnMain(depth + 1) + filler[0];
}

// A worker that faults while a scoped lock holds a mutex and an object waits for its destructor:
// unwound, the thread leaves neither behind.
std::mutex gWorkerLock;
std::atomic<bool> gWorkerUnwound{false};

struct TUnwindWitness {
    ~TUnwindWitness() { gWorkerUnwound = true; }
};

DWORD WINAPI LockingViolatingWorker(void*)
{
    const TUnwindWitness witness;
    const std::lock_guard<std::mutex> lock(gWorkerLock);
    WriteThroughNull(nullptr);
    return 0;
}

// The framework's thread whose work faults still ends through its end notice.
class TFaultingThread : public TThread {
public:
    TFaultingThread() : TThread("TFaultingThread") {}

protected:
    void Execute() override { WriteThroughNull(nullptr); }
};

// Exit codes of the unwinding run: what the faulting workers left behind.
constexpr int MutexLeftHeld = 41;
constexpr int NotUnwound = 42;
constexpr int NoEndNotice = 43;

void CheckFaultingWorkersUnwind()
{
    RunWorker(LockingViolatingWorker);
    if (!gWorkerLock.try_lock())
        std::exit(MutexLeftHeld);
    gWorkerLock.unlock();
    if (!gWorkerUnwound)
        std::exit(NotUnwound);
    TFaultingThread thread;
    bool ended = false;
    thread.OnTerminate = [&ended](TObject*) { ended = true; };
    thread.Start();
    thread.WaitFor();
    if (!ended)
        std::exit(NoEndNotice);
}

// A worker that faults in code without unwind data: it cannot be unwound and ends in place.
DWORD WINAPI ViolatingWithoutUnwindData(void*)
{
    // mov dword ptr [0], 0; ret
    static const unsigned char code[] = {0xC7, 0x04, 0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0xC3};
    void* memory = VirtualAlloc(nullptr, sizeof code, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    if (!memory)
        std::exit(45);
    std::memcpy(memory, code, sizeof code);
    reinterpret_cast<void (*)()>(memory)();
    return 0;
}

using TLdrLockLoaderLock = LONG(WINAPI*)(ULONG flags, ULONG* state, ULONG_PTR* cookie);

// A worker that faults while it holds the loader lock.
DWORD WINAPI LoaderLockViolatingWorker(void*)
{
    const auto lockLoader = reinterpret_cast<TLdrLockLoaderLock>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrLockLoaderLock")));
    ULONG_PTR cookie = 0;
    if (!lockLoader || lockLoader(0, nullptr, &cookie) != 0)
        std::exit(44);
    WriteThroughNull(nullptr);
    return 0;
}

// A worker with a window of its own, for the run whose main thread fails while it runs: each
// WM_APP it takes is counted in the window's title, so the test sees where it stopped.
LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    static int taken = 0;
    if (message == WM_APP) {
        SetWindowTextA(window, std::to_string(++taken).c_str());
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI WindowWorker(void* ready)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = CountingWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "hxLiveWorkerWindow";
    RegisterClassA(&windowClass);
    CreateWindowExA(0, windowClass.lpszClassName, "0", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                    windowClass.hInstance, nullptr);
    SetEvent(ready);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}

void StartWindowWorker()
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE worker = CreateThread(nullptr, 0, WindowWorker, ready, 0, nullptr);
    if (!ready || !worker)
        std::exit(4);
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(worker);
    CloseHandle(ready);
}

// The sites hold their old bytes again once the reporter has ended.
int CheckPatchesUndone()
{
    const std::vector<TPatchRecord> log = PatchLog();
    if (log.empty())
        return 6;
    DoneExceptionHooks();
    for (const TPatchRecord& patch : log)
        if (std::memcmp(patch.Address, patch.OldBytes.data(), patch.OldBytes.size()) != 0)
            return 5;
    return 0;
}

// The "freeze-exit" run: the main thread stays frozen until its freeze report is being saved and
// then ends the program. The save goes on once the program's static objects start to go (its
// exit handler says so), or after a while when the reporter holds the end back meanwhile.
constexpr DWORD SaveHoldMs = 3000;
// Ended while a report was still being made.
constexpr UINT EndedDuringReport = 8;

struct TExitDuringReport {
    HANDLE Saving = nullptr;
    HANDLE Ending = nullptr;
    std::atomic<bool> Saved{false};
    decltype(THandlingServices::SaveBugReport) Save = nullptr;
} gExitDuringReport;

bool SaveWhileEnding(const std::string& fileName, const std::string& report, HWND owner, bool noDialog,
                     IVQException* exception)
{
    SetEvent(gExitDuringReport.Saving);
    WaitForSingleObject(gExitDuringReport.Ending, SaveHoldMs);
    const bool saved = gExitDuringReport.Save(fileName, report, owner, noDialog, exception);
    gExitDuringReport.Saved = true;
    return saved;
}

void CheckNoReportUnderWay()
{
    SetEvent(gExitDuringReport.Ending);
    if (!gExitDuringReport.Saved)
        TerminateProcess(GetCurrentProcess(), EndedDuringReport);
    CloseHandle(gExitDuringReport.Saving);
    CloseHandle(gExitDuringReport.Ending);
}

void HoldSavingUntilExit()
{
    gExitDuringReport.Saving = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    gExitDuringReport.Ending = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    THandlingServices services = HandlingServices();
    gExitDuringReport.Save = services.SaveBugReport;
    services.SaveBugReport = SaveWhileEnding;
    SetHandlingServices(services);
    // Registered after every static object was made: runs before any of them goes.
    std::atexit(CheckNoReportUnderWay);
}

// ---- Registered handlers ----

DWORD gMainThreadId = 0;
std::mutex gHandlerLogLock;
std::atomic<bool> gSaveClaimed{false};

// One line per call: what the handler saw and whether it ran on the main thread.
void LogHandler(const std::string& seen)
{
    const std::string line = seen + (GetCurrentThreadId() == gMainThreadId ? " main" : " other") + "\r\n";
    std::lock_guard<std::mutex> lock(gHandlerLogLock);
    HANDLE file = CreateFileA("hxLiveHandlers.txt", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

// One object per registered stage: the same method is registered once for each.
struct TStageHandler {
    int Stage;
} gStageHandlers[] = {{1}, {2}, {3}, {4}};

void LogStage(void* object, IVQException* exception)
{
    LogHandler("exception " + std::to_string(static_cast<TStageHandler*>(object)->Stage) + " at " +
               std::to_string(exception->GetStage()));
}

void ClaimAction(IVQException*, TReportAction action, bool& handled)
{
    LogHandler("action " + std::to_string(action));
    handled = true;
    if (action == raSave)
        gSaveClaimed = true;
}

// The program ends itself when the reporter is about to close it, and only then.
constexpr int ExitFromCloseHandler = 3;
bool gEndsFromCloseHandler = false;

void ExitOnClose(IVQException*, TReportAction action, bool&)
{
    LogHandler("action " + std::to_string(action));
    if (action == raClose)
        std::exit(ExitFromCloseHandler);
}

// Stages 1 and 2 ask for the main thread; claim: every action is taken over; close: nothing is
// saved, so only the stage-4 handler makes the close wait for the complete report; exit-main and
// exit-other: every failure closes, and the close handler, on the main thread or off it, calls exit.
void RegisterStageHandlers(std::string& failure)
{
    gMainThreadId = GetCurrentThreadId();
    for (TStageHandler& handler : gStageHandlers)
        RegisterExceptionHandler(&handler, LogStage, handler.Stage, handler.Stage <= 2);
    if (failure.rfind("claim ", 0) == 0) {
        failure.erase(0, 6);
        RegisterActionHandler(ClaimAction);
    } else if (failure.rfind("exit-main ", 0) == 0 || failure.rfind("exit-other ", 0) == 0) {
        const bool inMainThread = failure[5] == 'm';
        failure.erase(0, failure.find(' ') + 1);
        RegisterActionHandler(ExitOnClose, inMainThread);
        gEndsFromCloseHandler = true;
        // A worker's failure closes the program as well.
        if (TSettingsPtr settings = NewSettings(GetModuleHandleA(nullptr)))
            settings->SetAutoClose(1);
    } else if (failure.rfind("close ", 0) == 0) {
        failure.erase(0, 6);
        if (TSettingsPtr settings = NewSettings(GetModuleHandleA(nullptr)))
            settings->SetAutoSave(false);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    std::string failure = commandLine ? commandLine : "";
    if (failure.rfind("box ", 0) == 0) {
        failure.erase(0, 4);
        if (TSettingsPtr settings = NewSettings(GetModuleHandleA(nullptr)))
            settings->SetGnShowCfg(0);
    }
    if (failure.rfind("handlers ", 0) == 0) {
        failure.erase(0, 9);
        RegisterStageHandlers(failure);
    }
    try {
        Application.Initialize();
        Application.SetTitle("Live reporter test");
        if (failure == "patches")
            return CheckPatchesUndone();
        if (failure == "form-handlers")
            return ResolveAssistantHandler("hxExcept.HandleContactForm") &&
                           ResolveAssistantHandler("hxExcept.HandleScreenshotForm")
                       ? 0
                       : 7;
        if (failure == "worker-throw")
            RunWorker(ThrowingWorker);
        else if (failure == "worker-overflow")
            RunWorker(OverflowingWorker);
        else if (failure == "worker-av")
            RunWorker(ViolatingWorker);
        else if (failure == "worker-av-unwinds")
            CheckFaultingWorkersUnwind();
        else if (failure == "worker-av-no-unwind-data")
            RunWorker(ViolatingWithoutUnwindData);
        else if (failure == "worker-av-loader-lock")
            RunWorker(LoaderLockViolatingWorker);
        else if (failure == "worker-overflow-main-overflow") {
            RunWorker(OverflowingWorker);
            RecurseOnMain(0);
        }
        else if (failure == "main-av")
            WriteThroughNull(nullptr);
        else if (failure == "main-av-worker") {
            StartWindowWorker();
            WriteThroughNull(nullptr);
        }
        else if (failure == "abort")
            std::abort();
        else if (failure == "freeze-exit")
            HoldSavingUntilExit();
        TTimer timer(nullptr);
        timer.SetInterval(50);
        bool thrown = false;
        timer.SetOnTimer([&](TObject*) {
            if (failure == "timer-throw" && !thrown) {
                thrown = true;
                throw ELiveTestError("Timer handler failed on purpose");
            }
            // A worker that fails while this thread goes on with its messages.
            if (failure == "worker-async" && !thrown) {
                thrown = true;
                if (HANDLE worker = CreateThread(nullptr, 0, ThrowingWorker, nullptr, 0, nullptr))
                    CloseHandle(worker);
                return;
            }
            // After a failure the program goes on until its report is saved (or a handler took the
            // save over).
            if (thrown && GetFileAttributesA("hxLiveReports.txt") == INVALID_FILE_ATTRIBUTES && !gSaveClaimed)
                return;
            timer.SetEnabled(false);
            if (failure == "freeze")
                Sleep(6000);   // no messages for three times the freeze timeout
            else if (failure == "freeze-exit")
                WaitForSingleObject(gExitDuringReport.Saving, 30000);
            if (!gEndsFromCloseHandler)
                PostQuitMessage(0);
        });
        Application.Run();
    } catch (...) {
        Application.HandleException(nullptr);
    }
    return 0;
}
