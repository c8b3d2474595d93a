#include "hxExceptObject.h"

#include "hxExceptPause.h"
#include "hxExceptPlugins.h"
#include "hxExceptSupport.h"
#include "hxLinkDisAsm.h"
#include "hxListModules.h"
#include "hxStrings.h"
#include "hxTools.h"
#include "hxTypes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

// An exception class of the test's own, grouped by name in the settings.
class ObjectTestError : public HxException {
public:
    using HxException::HxException;
};

std::string Hex(std::uintptr_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*llx", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(value));
    return text;
}

TExceptionPtr NewTestException(void* object, DWORD threadId = 0, const CONTEXT* context = nullptr,
                               int kind = ekException, const TDAPreStackItems* heldStack = nullptr)
{
    TExceptionParams params;
    params.HeldStack = heldStack;
    params.Kind = kind;
    params.ExceptObject = object;
    params.ThreadId = threadId;
    params.Context = context;
    params.Settings = NewSettings(GetModuleHandleA(nullptr));
    TExceptionPtr exception = NewExceptionObject(params);
    if (exception) {
        exception->SetPlWaitBox(false);
        exception->SetListThreads(false);
    }
    return exception;
}

void OnlyPlugins(IVQException* exception, std::initializer_list<const char*> names)
{
    for (const char* name : {"modules", "processes", "hardware"})
        exception->SetPluginEnabled(name, false);
    for (const char* name : names)
        exception->SetPluginEnabled(name, true);
}

// A background plug-in that holds its section until the test lets it go.
struct TBlockingPlugin {
    HANDLE Entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> Calls{0};
    std::atomic<bool> Returned{false};
    std::atomic<bool> CalledCalculating{false};
} *gBlocking = nullptr;

std::string BlockingPluginText()
{
    ++gBlocking->Calls;
    gBlocking->CalledCalculating = IsReportCalculationThread();
    SetEvent(gBlocking->Entered);
    WaitForSingleObject(gBlocking->Release, 10000);
    gBlocking->Returned = true;
    return "blocked until released";
}

// Registers the blocking plug-in for one test; lets it go and removes it on every way out.
struct TBlockingPluginScope : TBlockingPlugin {
    TBlockingPluginScope()
    {
        gBlocking = this;
        AddReportPlugin("blocker", "holds its section", BlockingPluginText, true);
    }
    ~TBlockingPluginScope()
    {
        SetEvent(Release);
        RemoveReportPlugin("blocker");
        gBlocking = nullptr;
        CloseHandle(Entered);
        CloseHandle(Release);
    }
};

struct TCallbackLog {
    std::atomic<int> Changes{0};
    std::atomic<int> Complete{0};
    std::atomic<int> AutoActions{0};
} gCallbacks;

void CountChanges(IVQException*, bool complete)
{
    ++gCallbacks.Changes;
    if (complete)
        ++gCallbacks.Complete;
}

void AutoActionsOnce(IVQException* exception, bool)
{
    Microsoft::WRL::ComPtr<IVQExceptionEx> ex;
    if (SUCCEEDED(exception->QueryInterface(IID_PPV_ARGS(&ex))) && ex->TakeAutoActionsOnce())
        ++gCallbacks.AutoActions;
}

} // namespace

TEST(HxExceptObject, ClassGroupsDecideWhatTheReportGets)
{
    TSettingsPtr module = NewSettings(GetModuleHandleA(nullptr));
    const std::string oldClasses = module->GetF1Classes();
    const bool oldNoBugRep = module->GetF1NoBugRep();
    ASSERT_TRUE(module->SetF1Classes("SomethingElse, HxException"));
    ASSERT_TRUE(module->SetF1NoBugRep(true));

    ObjectTestError listedByAncestor("listed");
    TExceptionPtr grouped = NewTestException(&listedByAncestor);
    ASSERT_TRUE(grouped);
    EXPECT_FALSE(grouped->GetCreateBugReport());
    EXPECT_FALSE(grouped->GetCreateScreenShot());   // F1NoScrShot in this program's settings
    EXPECT_EQ(grouped->CalculateBugReport()->GetCount(), 0);

    ASSERT_TRUE(module->SetF1Classes("SomethingElse"));
    TExceptionPtr general = NewTestException(&listedByAncestor);
    EXPECT_TRUE(general->GetCreateBugReport());
    // Outside the group the settings' screenshot depth asks for one, and it goes along.
    EXPECT_TRUE(general->GetCreateScreenShot());
    EXPECT_TRUE(general->GetAttachScreenShot());

    // The exception's own changes stay with it.
    EXPECT_TRUE(general->SetAutoSave(!module->GetAutoSave()));
    EXPECT_NE(general->GetAutoSave(), module->GetAutoSave());
    EXPECT_FALSE(general->GetListThreads());
    EXPECT_TRUE(module->GetListThreads());

    // The screenshot is taken once, on the first request.
    TNVBitmapPtr shot = general->GetScreenShot();
    EXPECT_TRUE(shot);
    EXPECT_GT(shot ? shot->GetWidth() : 0, 0);
    EXPECT_EQ(general->GetScreenShot().Get(), shot.Get());
    EXPECT_FALSE(grouped->GetScreenShot());

    module->SetF1Classes(oldClasses);
    module->SetF1NoBugRep(oldNoBugRep);
}

TEST(HxExceptObject, TraceExportWritesTheCompleteReport)
{
    const THxTraceReportBuilder old = SetTraceReportBuilder(ProcessTraceReport);
    InitListModules();
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1 << 20, TraceMappingName);
    ASSERT_NE(mapping, nullptr);
    // Another program calls the export through a thread of its own in this process.
    DWORD mainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
    std::thread caller([] { EXPECT_EQ(hxTraceProcess(1 << 20), 0); });
    caller.join();
    ModuleThreadTable().Close();
    const char* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    const std::string report(view);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    DoneListModules();
    SetTraceReportBuilder(old);

    EXPECT_EQ(report.rfind("date/time", 0), 0u) << report.substr(0, 200);
    EXPECT_NE(report.find("\r\n\r\nmain thread ($"), std::string::npos);
    EXPECT_NE(report.find("\r\n\r\nmodules:\r\n"), std::string::npos);
    EXPECT_NE(report.find("callstack crc"), std::string::npos);
    EXPECT_EQ(report.find("will be calculated soon"), std::string::npos);
    EXPECT_EQ(report.find("exception class"), std::string::npos);
}

TEST(HxExceptObject, PendingSectionsShowPlaceholdersAndTheTextIsComputedOnce)
{
    TBlockingPluginScope blocking;
    gCallbacks.Changes = gCallbacks.Complete = gCallbacks.AutoActions = 0;

    HxException error("Nothing found!!");
    TExceptionPtr exception = NewTestException(&error);
    ASSERT_TRUE(exception);
    OnlyPlugins(exception.Get(), {"blocker"});
    exception->AddReportCallback(CountChanges, false);
    exception->AddReportCallback(AutoActionsOnce, true);

    const std::string early = exception->WaitForReportText(false);
    EXPECT_NE(early.find("blocker:\r\n>> will be calculated soon"), std::string::npos) << early;
    Microsoft::WRL::ComPtr<IVQExceptionEx> ex;
    ASSERT_TRUE(SUCCEEDED(exception.As(&ex)));
    EXPECT_NE(ex->CalculationThreadId(), 0u);
    EXPECT_EQ(gCallbacks.Complete.load(), 0);

    SetEvent(blocking.Release);
    const std::string full = exception->GetBugReport();
    EXPECT_EQ(full.find("will be calculated soon"), std::string::npos) << full;
    EXPECT_NE(full.find("blocker:\r\nblocked until released"), std::string::npos);
    EXPECT_NE(full.find("callstack crc"), std::string::npos);
    EXPECT_EQ(exception->GetBugReport(), full);
    EXPECT_EQ(exception->WaitForReportText(false), full);
    EXPECT_EQ(blocking.Calls.load(), 1);
    EXPECT_TRUE(blocking.CalledCalculating.load());
    EXPECT_FALSE(IsReportCalculationThread());
    EXPECT_GE(gCallbacks.Changes.load(), 1);
    EXPECT_EQ(gCallbacks.AutoActions.load(), 1);

    // A given text replaces the report; the change is told once more.
    const int told = gCallbacks.Changes.load();
    exception->BeginReportUse();
    exception->SetBugReport("edited");
    EXPECT_EQ(gCallbacks.Changes.load(), told);
    exception->EndReportUse();
    EXPECT_EQ(gCallbacks.Changes.load(), told + 1);
    EXPECT_EQ(gCallbacks.AutoActions.load(), 1);
    EXPECT_EQ(exception->GetBugReport(), "edited");
    EXPECT_FALSE(ex->TakeAutoActionsOnce());
    EXPECT_TRUE(ex->TakeAutoSaveOnce());
    EXPECT_FALSE(ex->TakeAutoSaveOnce());

    ex->SetStage(3);
    EXPECT_EQ(exception->GetStage(), 4);
}

TEST(HxExceptObject, ReleasedWhileCalculatingWaitsForTheCalculation)
{
    TBlockingPluginScope blocking;
    HxException error("gone early");
    TExceptionPtr exception = NewTestException(&error);
    OnlyPlugins(exception.Get(), {"blocker"});
    exception->CalculateBugReport();
    ASSERT_EQ(WaitForSingleObject(blocking.Entered, 10000), WAIT_OBJECT_0);
    // The last release waits while the plug-in still runs, and ends only after it returned.
    std::atomic<bool> returnedFirst{false};
    HANDLE released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread releasing([&] {
        exception.Reset();
        returnedFirst = blocking.Returned.load();
        SetEvent(released);
    });
    EXPECT_EQ(WaitForSingleObject(released, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(blocking.Release);
    releasing.join();
    CloseHandle(released);
    EXPECT_TRUE(returnedFirst);
    EXPECT_EQ(blocking.Calls.load(), 1);
}

namespace {

BOOL CALLBACK FirstVisibleWindow(HWND window, LPARAM param)
{
    if (!IsWindowVisible(window))
        return TRUE;
    *reinterpret_cast<HWND*>(param) = window;
    return FALSE;
}

HWND VisibleWindowOf(DWORD threadId)
{
    HWND found = nullptr;
    EnumThreadWindows(threadId, FirstVisibleWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

} // namespace

TEST(HxExceptObject, WaitingForTheReportShowsThePleaseWaitBox)
{
    TBlockingPluginScope blocking;
    HxException error("slow report");
    TExceptionPtr exception = NewTestException(&error);
    OnlyPlugins(exception.Get(), {"blocker"});
    exception->SetPlWaitBox(true);
    std::atomic<DWORD> waiter{0};
    std::string report;
    std::thread waiting([&] {
        waiter = GetCurrentThreadId();
        report = exception->GetBugReport();
    });
    // The box belongs to the waiting thread and carries the setting's title.
    HWND box = nullptr;
    for (DWORD start = GetTickCount(); !box && TicksSince(start) < 10000; Sleep(10))
        box = waiter ? VisibleWindowOf(waiter) : nullptr;
    char title[128] = "";
    if (box)
        GetWindowTextA(box, title, sizeof title);
    SetEvent(blocking.Release);
    waiting.join();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(std::string(title), exception->GetPlWaitTitle());
    EXPECT_FALSE(IsWindow(box));
    EXPECT_NE(report.find("blocked until released"), std::string::npos);
}

// ---- A failing worker, reported from another thread ----

namespace {

struct TFault {
    HANDLE Faulted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE Reported = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD ThreadId = 0;
    CONTEXT Context{};
    std::uintptr_t Address = 0;
    ~TFault()
    {
        CloseHandle(Faulted);
        CloseHandle(Reported);
    }
} *gFault = nullptr;

[[noreturn]] void EndFaultedWorker()
{
    ExitThread(0);
}

LONG CALLBACK WorkerFaultHandler(EXCEPTION_POINTERS* pointers)
{
    if (!gFault || GetCurrentThreadId() != gFault->ThreadId ||
        pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    gFault->Context = *pointers->ContextRecord;
    gFault->Address = reinterpret_cast<std::uintptr_t>(pointers->ExceptionRecord->ExceptionAddress);
    SetEvent(gFault->Faulted);
    WaitForSingleObject(gFault->Reported, 30000);
    // The worker ends instead of repeating the fault.
#ifdef _WIN64
    pointers->ContextRecord->Rip = reinterpret_cast<DWORD64>(&EndFaultedWorker);
    pointers->ContextRecord->Rsp = (pointers->ContextRecord->Rsp & ~DWORD64(15)) - 8;
#else
    pointers->ContextRecord->Eip = reinterpret_cast<DWORD>(&EndFaultedWorker);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

__attribute__((noinline, noipa)) int WriteThroughNull(volatile int* target)
{
    *target = 42;
    return *target;
}

DWORD WINAPI FaultingWorker(void*)
{
    const int result = WriteThroughNull(nullptr);
    asm volatile("" ::: "memory");   // keeps this frame on the stack (no tail call)
    return static_cast<DWORD>(result);
}

std::vector<std::string> SectionNames(IVQException* exception)
{
    std::vector<std::string> names;
    TFieldsPtr sections = exception->CalculateBugReport();
    for (int i = 0; i < sections->GetCount(); ++i)
        names.push_back(sections->GetName(i));
    return names;
}

} // namespace

TEST(HxExceptObject, FailingWorkerGetsAFullReport)
{
    DWORD mainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
    LinkDisAsm();
    InitListModules();
    TFault fault;
    gFault = &fault;
    PVOID handler = AddVectoredExceptionHandler(1, WorkerFaultHandler);
    HANDLE worker = CreateThread(nullptr, 0, FaultingWorker, nullptr, CREATE_SUSPENDED, &fault.ThreadId);
    ASSERT_NE(worker, nullptr);
    AssignThreadName(fault.ThreadId, "faulting worker");
    ResumeThread(worker);
    ASSERT_EQ(WaitForSingleObject(fault.Faulted, 10000), WAIT_OBJECT_0);

    // Another thread reports, as the handler thread would; the main thread waits for it.
    HxException error("Access violation at a test address");
    TExceptionPtr exception;
    std::string report;
    std::thread reporter([&] {
        SetHandlerThreadId(GetCurrentThreadId());
        exception = NewTestException(&error, fault.ThreadId, &fault.Context);
        if (!exception)
            return;
        OnlyPlugins(exception.Get(), {"modules"});
        report = exception->GetBugReport();
    });
    reporter.join();
    SetHandlerThreadId(0);
    SetEvent(fault.Reported);
    ASSERT_TRUE(exception);
    WaitForSingleObject(worker, 10000);
    CloseHandle(worker);
    RemoveVectoredExceptionHandler(handler);
    gFault = nullptr;

    EXPECT_EQ(exception->GetExceptThreadId(), fault.ThreadId);
    EXPECT_EQ(exception->GetExceptClass(), "HxException");
    EXPECT_NE(report.find("exception class   : HxException\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find(": Access violation at a test address."), std::string::npos);

    // The failing thread first, then the main thread; plug-in, registers, dump, disassembly.
    const std::vector<std::string> names = SectionNames(exception.Get());
    ASSERT_GE(names.size(), 6u);
    EXPECT_EQ(names[0], "faulting worker ($" + CardinalToHex(fault.ThreadId) + "):");
    EXPECT_EQ(names[1].rfind("main thread ($", 0), 0u) << names[1];
    const std::vector<std::string> tail(names.end() - 4, names.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"modules", "cpu registers", "stack dump", "disassembling"}));

    // The worker's stack shows the faulting function and its line.
    const std::size_t workerSection = report.find("faulting worker ($");
    const std::size_t workerEnd = report.find("\r\n\r\n", workerSection);
    const std::string workerText = report.substr(workerSection, workerEnd - workerSection);
    EXPECT_NE(workerText.find("WriteThroughNull"), std::string::npos) << workerText;
    EXPECT_NE(workerText.find("FaultingWorker"), std::string::npos) << workerText;

#ifdef _WIN64
    const std::string ripLine = "rip = " + Hex(fault.Address);
    const std::string dumpStart = "stack dump:\r\n" + Hex(fault.Context.Rsp) + "  ";
#else
    const std::string ripLine = "eip = " + Hex(fault.Address);
    const std::string dumpStart = "stack dump:\r\n" + Hex(fault.Context.Esp) + "  ";
#endif
    EXPECT_NE(report.find(ripLine), std::string::npos) << report;
    EXPECT_NE(report.find(dumpStart), std::string::npos);
    const std::size_t disasm = report.find("disassembling:\r\n");
    ASSERT_NE(disasm, std::string::npos);
    EXPECT_NE(report.find('>', disasm), std::string::npos);
    const std::size_t modules = report.find("modules:\r\n");
    ASSERT_NE(modules, std::string::npos);
    EXPECT_NE(report.find("ReporterCaptureTests.exe", modules), std::string::npos);
    EXPECT_NE(report.find("ntdll.dll", modules), std::string::npos);
    EXPECT_NE(report.find("callstack crc"), std::string::npos);
    EXPECT_NE(exception->GetCallstackCrc(0), 0u);
    EXPECT_EQ(exception->GetCallstackCrc(3), 0u);

    DoneListModules();
    UnlinkDisAsm();
    ModuleThreadTable().Close();
}

// ---- A frozen main thread ----

namespace {

struct TFrozenReport {
    HANDLE Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::string Text;
    std::vector<std::string> Sections;
    void* Address = nullptr;
    bool HasContext = false;
    DWORD Tick = 0;
    ~TFrozenReport() { CloseHandle(Done); }
} *gFrozen = nullptr;

void ReportFreeze(const TFreezeInfo& freeze)
{
    if (!gFrozen || WaitForSingleObject(gFrozen->Done, 0) == WAIT_OBJECT_0)
        return;
    gFrozen->Tick = GetTickCount();
    TExceptionPtr exception =
        NewTestException(nullptr, freeze.ThreadId, freeze.ContextValid ? &freeze.Context : nullptr, ekFreeze,
                         &freeze.StackItems);
    OnlyPlugins(exception.Get(), {});
    gFrozen->Text = exception->GetBugReport();
    gFrozen->Sections = SectionNames(exception.Get());
    gFrozen->Address = exception->GetExceptAddress();
    gFrozen->HasContext = freeze.ContextValid;
    SetEvent(gFrozen->Done);
}

void BusyHandler(HWND, UINT, WPARAM, LRESULT& result, LPARAM)
{
    // Frozen until the report is made (or ten seconds pass).
    WaitForSingleObject(gFrozen->Done, 10000);
    result = 0;
}

} // namespace

TEST(HxExceptObject, FrozenMainThreadIsReportedAfterTheTimeout)
{
    DWORD mainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
    TFrozenReport frozen;
    gFrozen = &frozen;
    SetFreezeHandler(ReportFreeze);
    ASSERT_TRUE(StartFreezeWatch(1000));
    const UINT busyMessage = RegisterWindowMessageA("hxExceptObjectTestBusy");
    HWND window = AddMsgHandler(busyMessage, BusyHandler);
    ASSERT_NE(window, nullptr);
    const DWORD sent = GetTickCount();
    SendMessageA(window, busyMessage, 0, 0);
    StopFreezeWatch();
    SetFreezeHandler(nullptr);
    RemoveMsgHandler(busyMessage, BusyHandler);
    gFrozen = nullptr;

    ASSERT_EQ(WaitForSingleObject(frozen.Done, 0), WAIT_OBJECT_0);
    EXPECT_GE(TicksSince(sent, frozen.Tick), 980u);
    // The frozen thread's registers are there, but a freeze has no failure address.
    EXPECT_TRUE(frozen.HasContext);
    EXPECT_EQ(frozen.Address, nullptr);
    ASSERT_FALSE(frozen.Sections.empty());
    EXPECT_EQ(frozen.Sections[0].rfind("main thread ($" + CardinalToHex(GetCurrentThreadId()) + ")", 0), 0u)
        << frozen.Sections[0];
    const std::size_t mainSection = frozen.Text.find("main thread ($");
    EXPECT_NE(frozen.Text.find("BusyHandler", mainSection), std::string::npos) << frozen.Text;
    EXPECT_EQ(frozen.Text.find("exception class"), std::string::npos);
    TSettingsPtr module = NewSettings(GetModuleHandleA(nullptr));
    EXPECT_NE(frozen.Text.find(": " + module->GetFrozenMsg() + "\r\n"), std::string::npos) << frozen.Text;
    ModuleThreadTable().Close();
}
