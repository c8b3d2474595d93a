#include "hxExceptEntries.h"

#include "HandlingTestSupport.h"

#include "hxExceptHandling.h"
#include "hxExceptPatch.h"
#include "hxExceptSettings.h"

#include <gtest/gtest.h>

#include <optional>

#include <algorithm>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

__attribute__((noinline)) void ThrowFromHere(int value)
{
    if (value > 0)
        throw std::runtime_error("thrown " + std::to_string(value));
}

std::string PointerHex(const void* value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(value)));
    return text;
}

TEST(HxExceptEntries, ThrowRecordingGivesObjectSiteAndThrowerContext)
{
    const TExceptionSources sources = InterceptionSources();
    try {
        ThrowFromHere(7);
        FAIL() << "not thrown";
    } catch (const std::runtime_error& error) {
        const TThrowRecord* record = CurrentThrowRecord();
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->Object, static_cast<const void*>(&error));
        EXPECT_EQ(*record->Type, typeid(std::runtime_error));

        void* object = nullptr;
        void* address = nullptr;
        ASSERT_TRUE(sources.CurrentException(object, address));
        EXPECT_EQ(object, static_cast<const void*>(&error));
        EXPECT_EQ(address, record->Address);
        CONTEXT* context = nullptr;
        ASSERT_TRUE(sources.RecordedException(object, address, context));
        EXPECT_EQ(context, &record->Context);
#if defined(__x86_64__)
        // The registers are the thrower's: the instruction pointer lies in its code, as the throw site does.
        DWORD64 imageBase = 0;
        const auto thrower = reinterpret_cast<DWORD64>(&ThrowFromHere);
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(thrower, &imageBase, nullptr);
        ASSERT_NE(function, nullptr);
        ASSERT_EQ(imageBase + function->BeginAddress, thrower);
        const DWORD64 end = imageBase + function->EndAddress;
        EXPECT_GT(record->Context.Rip, thrower);
        EXPECT_LE(record->Context.Rip, end);
        EXPECT_EQ(record->Context.Rip, reinterpret_cast<DWORD64>(record->Address));
        EXPECT_GT(record->Context.Rsp, reinterpret_cast<DWORD64>(&imageBase) - 0x1000);
#endif
        sources.ClearRecordedException();
        EXPECT_EQ(CurrentThrowRecord(), nullptr);
        EXPECT_FALSE(sources.RecordedException(object, address, context));
        // The current exception is still known, its site no more.
        ASSERT_TRUE(sources.CurrentException(object, address));
        EXPECT_EQ(address, nullptr);
    }
    void* object = nullptr;
    void* address = nullptr;
    EXPECT_FALSE(sources.CurrentException(object, address));
    EXPECT_EQ(ExceptionPtrObject(std::exception_ptr()), nullptr);
}

TEST(HxExceptEntries, SystemExceptionsMapToClassesAndMessages)
{
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<void*>(&ThrowFromHere);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 1;
    record.ExceptionInformation[1] = 0;
    char path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    const std::string exe = FileNameOfPath(path);
    std::unique_ptr<HxException> mapped = MapSystemException(record);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(ObjectClassName(mapped.get()), "EAccessViolation");
    EXPECT_TRUE(IsValidObject(mapped.get()));
    EXPECT_EQ(mapped->Message(), "Access violation at address " + PointerHex(record.ExceptionAddress) +
                                     " in module '" + exe + "'. Write of address " + PointerHex(nullptr));

    // Outside every module there is no module to name; a read names its address.
    record.ExceptionAddress = reinterpret_cast<void*>(0x10);
    record.ExceptionInformation[0] = 0;
    record.ExceptionInformation[1] = 0x20;
    mapped = MapSystemException(record);
    EXPECT_EQ(mapped->Message(), "Access violation at address " + PointerHex(reinterpret_cast<void*>(0x10)) +
                                     ". Read of address " + PointerHex(reinterpret_cast<void*>(0x20)));

    const struct {
        DWORD Code;
        const char* Class;
        const char* Message;
    } cases[] = {
        {EXCEPTION_INT_DIVIDE_BY_ZERO, "EIntDivByZero", "Division by zero"},
        {EXCEPTION_FLT_DIVIDE_BY_ZERO, "EZeroDivide", "Floating point division by zero"},
        {EXCEPTION_STACK_OVERFLOW, "EStackOverflow", "Stack overflow"},
        {EXCEPTION_PRIV_INSTRUCTION, "EPrivilege", "Privileged instruction"},
        {0xE0001234, "EExternalException", "External exception E0001234"},
    };
    for (const auto& c : cases) {
        record.ExceptionCode = c.Code;
        record.NumberParameters = 0;
        mapped = MapSystemException(record);
        ASSERT_TRUE(mapped);
        EXPECT_EQ(ObjectClassName(mapped.get()), c.Class);
        EXPECT_EQ(mapped->Message(), c.Message);
        EXPECT_TRUE(IsClassNamed(mapped.get(), "HxException"));
    }
}

// Names a thread the way programs tell a debugger; on x64 the usual block packs into three cells.
void NameThroughDebugger(DWORD threadId, const char* name, bool packed)
{
    struct {
        DWORD Type;
        LPCSTR Name;
        DWORD ThreadId;
        DWORD Flags;
    } info{0x1000, name, threadId, 0};
    if (packed) {
        RaiseException(ThreadNamingCode, 0, sizeof info / sizeof(ULONG_PTR), reinterpret_cast<ULONG_PTR*>(&info));
    } else {
        const ULONG_PTR cells[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name), threadId, 0};
        RaiseException(ThreadNamingCode, 0, 4, cells);
    }
}

TEST(HxExceptEntries, DebuggerThreadNamingLandsInTheThreadTable)
{
    DWORD mainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
    void* handler = AddVectoredExceptionHandler(1, VectoredEntry);
    ASSERT_NE(handler, nullptr);

    NameThroughDebugger(0xFFFFFFFF, "entries worker", true);
    EXPECT_NE(GetThreadName(GetCurrentThreadId(), false).find("entries worker"), std::string::npos);

    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD otherId = 0;
    std::thread other([&] {
        otherId = GetCurrentThreadId();
        SetEvent(started);
        WaitForSingleObject(go, 5000);
    });
    ASSERT_EQ(WaitForSingleObject(started, 5000), WAIT_OBJECT_0);
    CloseHandle(started);
    NameThroughDebugger(otherId, "named from outside", false);
    EXPECT_NE(GetThreadName(otherId, false).find("named from outside"), std::string::npos);
    SetEvent(go);
    other.join();
    CloseHandle(go);

    // Another type is no naming.
    EXCEPTION_RECORD record{};
    record.ExceptionCode = ThreadNamingCode;
    record.NumberParameters = 4;
    record.ExceptionInformation[0] = 0x1001;
    EXPECT_FALSE(HandleThreadNaming(record));

    RemoveVectoredExceptionHandler(handler);
    AssignThreadName(GetCurrentThreadId(), "");
    ModuleThreadTable().Close();
}

LONG WINAPI OtherFilter(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

void OtherTerminate()
{
    std::abort();
}

void OtherAbort(int) {}

TEST(HxExceptEntries, RemovingRestoresWhatWasThere)
{
    const LPTOP_LEVEL_EXCEPTION_FILTER original = SetUnhandledExceptionFilter(OtherFilter);
    const std::terminate_handler originalTerminate = std::set_terminate(OtherTerminate);
    const auto originalAbort = std::signal(SIGABRT, OtherAbort);

    InstallInterceptionEntries();
    EXPECT_TRUE(InterceptionEntriesInstalled());
    EXPECT_EQ(SetUnhandledExceptionFilter(SystemExceptionFilter), SystemExceptionFilter);
    EXPECT_NE(std::get_terminate(), OtherTerminate);
    RemoveInterceptionEntries();
    EXPECT_FALSE(InterceptionEntriesInstalled());

    EXPECT_EQ(SetUnhandledExceptionFilter(original), OtherFilter);
    EXPECT_EQ(std::set_terminate(originalTerminate), OtherTerminate);
    EXPECT_EQ(std::signal(SIGABRT, originalAbort), OtherAbort);
}

// ---- Failures that end the process, in a child ----

struct TChildResult {
    DWORD ExitCode = 0;
    std::string Output;
};

TChildResult RunFailingChild(const char* mode)
{
    TChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        ADD_FAILURE() << "no pipe";
        return result;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::string command = "\"" + FolderOfPath(GetModuleFileNameStr(nullptr)) + "hxEntriesChild.exe\" " + mode;
    PROCESS_INFORMATION info{};
    const bool started =
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(outWrite);
    if (!started) {
        CloseHandle(outRead);
        ADD_FAILURE() << "child not started";
        return result;
    }
    // The output is read while the child runs (a full pipe would hold it); a watch ends a child that hangs.
    HANDLE process = info.hProcess;
    std::thread watch([process, mode] {
        if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << mode << ": the child did not end";
            TerminateProcess(process, 99);
        }
    });
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0)
        result.Output.append(buffer, got);
    watch.join();
    GetExitCodeProcess(info.hProcess, &result.ExitCode);
    CloseHandle(outRead);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return result;
}

TEST(HxExceptEntries, FailuresThatEndTheProcessAreHandledFirst)
{
    const struct {
        const char* Mode;
        std::string Line;
        DWORD ExitCode;
    } cases[] = {
        {"write", "handled 14 EAccessViolation same Access violation at address ", EXCEPTION_ACCESS_VIOLATION},
        {"abort", "handled 11 HxException same Abnormal program termination", 3},
        {"overflow", "handled 14 EStackOverflow same Stack overflow", EXCEPTION_STACK_OVERFLOW},
        {"worker-overflow", "handled 14 EStackOverflow same Stack overflow", EXCEPTION_STACK_OVERFLOW},
    };
    for (const auto& c : cases) {
        const TChildResult result = RunFailingChild(c.Mode);
        EXPECT_NE(result.Output.find(c.Line), std::string::npos) << c.Mode << ":\n" << result.Output;
        EXPECT_NE(result.Output.find("closing"), std::string::npos) << c.Mode << ":\n" << result.Output;
        EXPECT_EQ(result.ExitCode, c.ExitCode) << c.Mode;
    }
    const TChildResult written = RunFailingChild("write");
    EXPECT_NE(written.Output.find("in module 'hxEntriesChild.exe'. Write of address " + PointerHex(nullptr)),
              std::string::npos)
        << written.Output;

    // An exception that escapes, or a plain terminate: the current exception, when there is one.
    const TChildResult escaped = RunFailingChild("escape");
    EXPECT_NE(escaped.Output.find("handled 14 std.runtime_error same"), std::string::npos) << escaped.Output;
    EXPECT_NE(escaped.Output.find("closing"), std::string::npos) << escaped.Output;
    const TChildResult terminated = RunFailingChild("terminate");
    EXPECT_NE(terminated.Output.find("handled 14"), std::string::npos) << terminated.Output;
    EXPECT_EQ(terminated.ExitCode, 3u);
}

TEST(HxExceptEntries, ThreadNamingUnderADebuggerOnlyStoresTheName)
{
    const TChildResult result = RunFailingChild("name-debugged");
    EXPECT_NE(result.Output.find("named named while debugged ($"), std::string::npos) << result.Output;
    EXPECT_EQ(result.ExitCode, 0u) << result.Output;
}

// ---- Through the handling flow ----

struct THandled {
    int Source = 0;
    std::uintptr_t Extra1 = 0;
    void* Object = nullptr;
    std::string Class;
    bool CanContinue = false;
};

std::mutex gHandledLock;
std::vector<THandled>* gHandled = nullptr;
int gCloses = 0;

void RecordClose()
{
    std::lock_guard<std::mutex> lock(gHandledLock);
    ++gCloses;
}

bool RecordHandled(const std::string&, const std::string&, HWND, bool, IVQException* exception)
{
    std::lock_guard<std::mutex> lock(gHandledLock);
    if (gHandled)
        gHandled->push_back({exception->GetSource(), exception->GetExtra1(), exception->GetExceptObject(),
                             exception->GetExceptClass(), exception->GetCanContinue()});
    return true;
}

// A class laid out as the framework's application: its two handlers get patched to the entries.
class TProbeApplication {
public:
    __attribute__((noinline, noipa, patchable_function_entry(16, 0))) void HandleException(void* sender);
    __attribute__((noinline, noipa, patchable_function_entry(16, 0))) void ShowException(std::exception_ptr error);
    int Unpatched = 0;
};

void TProbeApplication::HandleException(void*)
{
    ++Unpatched;
}

void TProbeApplication::ShowException(std::exception_ptr)
{
    ++Unpatched;
}

template <class Method>
void* MethodAddress(Method method)
{
    void* address = nullptr;
    std::memcpy(&address, &method, sizeof address);
    return address;
}

class HxExceptEntriesHandling : public ::testing::Test {
protected:
    void SetUp() override
    {
        gHandled = &handled_;
        THandlingServices services;
        services.SaveBugReport = RecordHandled;
        services.CloseApplication = RecordClose;
        services.RestartApplication = RecordClose;
        gCloses = 0;
        handler_.emplace(services, InterceptionSources());
        ASSERT_TRUE(handler_->Started());
    }
    void TearDown() override
    {
        handler_.reset();
        std::lock_guard<std::mutex> lock(gHandledLock);
        gHandled = nullptr;
    }

    std::vector<THandled> handled_;
    std::optional<THandlerThreadScope> handler_;
};

TEST_F(HxExceptEntriesHandling, ApplicationEntriesAndThreadExitReachTheHandling)
{
    TProbeApplication application;
    void* handleSite = MethodAddress(&TProbeApplication::HandleException);
    void* showSite = MethodAddress(&TProbeApplication::ShowException);
    ASSERT_TRUE(PatchJump(handleSite, reinterpret_cast<const void*>(&AppHandleExceptionEntry)));
    ASSERT_TRUE(PatchJump(showSite, reinterpret_cast<const void*>(&AppShowExceptionEntry)));

    // A window that holds the mouse capture is told to cancel its mode first.
    HWND captured = CreateWindowExA(0, "STATIC", "captured", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                    GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(captured, nullptr);
    SetCapture(captured);
    ASSERT_EQ(GetCapture(), captured);

    int sender = 0;
    void* handledObject = nullptr;
    try {
        ThrowFromHere(1);
    } catch (const std::exception& error) {
        handledObject = const_cast<std::exception*>(&error);
        application.HandleException(&sender);
    }
    EXPECT_EQ(GetCapture(), nullptr);
    DestroyWindow(captured);

    const std::exception_ptr shown = std::make_exception_ptr(HxException("shown"));
    application.ShowException(shown);

    std::thread worker([] {
        try {
            ThrowFromHere(2);
        } catch (...) {
            ThreadExitEntry(ExceptionPtrObject(std::current_exception()), false);
        }
    });
    worker.join();
    UndoPatches();
    EXPECT_EQ(application.Unpatched, 0);

    std::lock_guard<std::mutex> lock(gHandledLock);
    ASSERT_EQ(handled_.size(), 3u);
    EXPECT_EQ(handled_[0].Source, hsAppHandleException);
    EXPECT_EQ(handled_[0].Extra1, reinterpret_cast<std::uintptr_t>(&sender));
    EXPECT_EQ(handled_[0].Object, handledObject);
    EXPECT_NE(handled_[0].Class.find("runtime_error"), std::string::npos) << handled_[0].Class;
    EXPECT_TRUE(handled_[0].CanContinue);
    EXPECT_EQ(handled_[1].Source, hsAppShowException);
    EXPECT_EQ(handled_[1].Object, ExceptionPtrObject(shown));
    EXPECT_EQ(handled_[1].Class, "HxException");
    EXPECT_TRUE(handled_[1].CanContinue);
    EXPECT_EQ(handled_[2].Source, hsThreadExit);
    EXPECT_NE(handled_[2].Class.find("runtime_error"), std::string::npos) << handled_[2].Class;
    EXPECT_FALSE(handled_[2].CanContinue);
    // The thread-exit failure could not go on: the program would have been closed.
    EXPECT_EQ(gCloses, 1);
}

// What the handled-exception handler heard: "<kind> <source> <message>", on which thread.
std::mutex gHeardLock;
std::vector<std::pair<std::string, DWORD>> gHeard;

void HearHandled(IVQException* exception)
{
    std::lock_guard<std::mutex> lock(gHeardLock);
    gHeard.emplace_back(std::to_string(exception->GetKind()) + " " + std::to_string(exception->GetSource()) + " " +
                            exception->GetExceptMessage(),
                        exception->GetExceptThreadId());
}

std::vector<std::pair<std::string, DWORD>> TakeHeard()
{
    std::lock_guard<std::mutex> lock(gHeardLock);
    return std::move(gHeard);
}

__attribute__((noinline)) void ThrowHandled(const char* message)
{
    throw HxException(message);
}

// Milliseconds per round of throw and catch, the best of five batches (other work only adds time).
double ThrowCatchRoundMs(int rounds, int batches = 5)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    double best = 1e30;
    for (int batch = 0; batch < batches; ++batch) {
        QueryPerformanceCounter(&start);
        for (int i = 0; i < rounds; ++i)
            try {
                ThrowHandled("round");
            } catch (const HxException&) {
            }
        QueryPerformanceCounter(&end);
        best = std::min(best, 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                                  static_cast<double>(frequency.QuadPart) / rounds);
    }
    return best;
}

TEST_F(HxExceptEntriesHandling, CaughtExceptionReachesHandledExceptionHandlersOnceAndIdleCatchesCostNothing)
{
    const double idle = ThrowCatchRoundMs(200);
    ASSERT_TRUE(RegisterHandledExceptionHandler(HearHandled));
    DWORD worker = 0;
    std::thread([&worker] {
        worker = GetCurrentThreadId();
        try {
            ThrowHandled("caught once");
        } catch (const HxException&) {
        }
        // Rethrown and caught again: only the last catch finishes it.
        try {
            try {
                ThrowHandled("rethrown");
            } catch (...) {
                throw;
            }
        } catch (const HxException&) {
        }
        // A catch inside the catch of another exception ends only its own.
        try {
            ThrowHandled("outer");
        } catch (const HxException&) {
            try {
                ThrowHandled("inner");
            } catch (const HxException&) {
            }
        }
    }).join();
    using THeard = std::pair<std::string, DWORD>;
    EXPECT_EQ(TakeHeard(), (std::vector<THeard>{{"2 15 caught once.", worker}, {"2 15 rethrown.", worker},
                                                {"2 15 inner.", worker}, {"2 15 outer.", worker}}));
    // Only told: no report saved, no history.
    EXPECT_TRUE(handled_.empty());
    EXPECT_EQ(ExceptionHistory()[0], 0u);

    // Each catch end goes to the handling: the work an idle catch end skips.
    const double armed = ThrowCatchRoundMs(20, 1);
    EXPECT_EQ(TakeHeard().size(), 20u);
    ASSERT_TRUE(UnregisterHandledExceptionHandler(HearHandled));
    const double idleAgain = ThrowCatchRoundMs(200);
    EXPECT_TRUE(TakeHeard().empty());
    std::printf("ms per throw and catch: %.4f idle, %.4f idle after unregistering, %.4f with a handler\n", idle,
                idleAgain, armed);
    EXPECT_LT(idle * 10, armed);
    // Generous: an idle catch end is one flag test.
    EXPECT_LT(idleAgain, idle * 1.5 + 0.01);
}

// Reported by the handling, kept by an exception pointer, or caught inside the reporter's own work:
// none of these is a handled exception of the program.
TEST_F(HxExceptEntriesHandling, OnlyCatchesThatFreeAnUnreportedObjectAreHandledExceptions)
{
    ASSERT_TRUE(RegisterHandledExceptionHandler(HearHandled));
    int sender = 0;
    try {
        ThrowHandled("reported by the application");
    } catch (const HxException&) {
        AppHandleExceptionEntry(nullptr, &sender);
    }
    std::thread([] {
        try {
            ThrowHandled("reported as the thread's end");
        } catch (...) {
            ThreadExitEntry(ExceptionPtrObject(std::current_exception()), true);
        }
    }).join();
    std::exception_ptr kept;
    try {
        ThrowHandled("kept");
    } catch (...) {
        kept = std::current_exception();
    }
    kept = nullptr;
    try {
        ThrowHandled("plain");
    } catch (const HxException&) {
    }
    std::vector<std::string> heard;
    for (const auto& [text, thread] : TakeHeard())
        heard.push_back(text);
    EXPECT_EQ(heard, (std::vector<std::string>{"2 15 plain."}));
    {
        std::lock_guard<std::mutex> lock(gHandledLock);
        ASSERT_EQ(handled_.size(), 2u);
        EXPECT_EQ(handled_[0].Source, hsAppHandleException);
        EXPECT_EQ(handled_[1].Source, hsThreadExit);
    }
    EXPECT_TRUE(UnregisterHandledExceptionHandler(HearHandled));
}

// The handled exception leaves the reporter's temporary folder alone, where a send in the
// background may still read its attachment copies.
TEST_F(HxExceptEntriesHandling, HandledExceptionLeavesTheTemporaryFolder)
{
    const std::string folder = GetReportTempFolder();
    ASSERT_FALSE(folder.empty());
    const std::string attachment = folder + "attachment.zip";
    HANDLE file = CreateFileA(attachment.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    ASSERT_TRUE(RegisterHandledExceptionHandler(HearHandled));
    try {
        ThrowHandled("beside a send");
    } catch (const HxException&) {
    }
    EXPECT_EQ(TakeHeard().size(), 1u);
    EXPECT_NE(GetFileAttributesA(attachment.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(UnregisterHandledExceptionHandler(HearHandled));
    ClearReportTempFolder();
}

// A catch inside the handling's own work on the failing thread (a symbol look-up that holds its
// cache's lock, say) does not enter the handling again on that thread.
int gLookups = 0;
int gLookupDepth = 0;
bool gLookupReentered = false;

std::uintptr_t CatchingFunctionEntry(std::uintptr_t)
{
    ++gLookups;
    gLookupReentered = gLookupReentered || ++gLookupDepth > 1;
    try {
        ThrowHandled("inside the look-up");
    } catch (const HxException&) {
    }
    --gLookupDepth;
    return 0;
}

TEST_F(HxExceptEntriesHandling, CatchInsideTheHandlingsOwnWorkIsNotHandledAgain)
{
    SetExceptionSources(InterceptionSources(&CatchingFunctionEntry));
    ASSERT_TRUE(RegisterHandledExceptionHandler(HearHandled));
    gLookups = 0;
    gLookupReentered = false;
    // An address without unwind data sends the look-up to the symbols, as on the i686 build.
    static const char noCode[16] = {};
    try {
        ThrowHandled("reported");
    } catch (const HxException&) {
        TExceptionParams params;
        params.Kind = ekException;
        params.ExceptObject = ExceptionPtrObject(std::current_exception());
        params.ExceptAddress = const_cast<char*>(noCode + 8);
        params.Source = hsAppHandleException;
        params.CanContinue = true;
        EnterExceptionHandling(params);
    }
    EXPECT_TRUE(UnregisterHandledExceptionHandler(HearHandled));
    SetExceptionSources(InterceptionSources());
    EXPECT_GT(gLookups, 0);
    EXPECT_FALSE(gLookupReentered);
    EXPECT_TRUE(TakeHeard().empty());
}

// A cell that was never made reads empty, whatever the first TLS slot (someone else's) holds.
TEST(HxExceptSupport, ThreadCellIsEmptyUntilSetAndKeepsOneValuePerThread)
{
    static constinit TThreadCell cell;
    const DWORD own = TlsAlloc();
    ASSERT_NE(own, TLS_OUT_OF_INDEXES);
    if (own != 0) {   // the first slot is in use: it must not be read as the cell
        EXPECT_EQ(cell.Get(), nullptr);
    }
    ASSERT_TRUE(cell.Set(reinterpret_cast<void*>(7)));
    EXPECT_EQ(cell.Get(), reinterpret_cast<void*>(7));
    void* seenElsewhere = reinterpret_cast<void*>(1);
    std::thread([&] { seenElsewhere = cell.Get(); }).join();
    EXPECT_EQ(seenElsewhere, nullptr);
    TlsFree(own);
}

}  // namespace
