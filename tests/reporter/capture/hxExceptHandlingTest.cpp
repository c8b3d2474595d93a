#include "hxExceptHandling.h"

#include "HandlingTestSupport.h"
#include "SteppedWorker.h"

#include "hxExceptPause.h"
#include "hxExceptSettings.h"
#include "hxTools.h"
#include "hxTypes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <optional>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Found by its plain name, as the program's own abort class is.
class EAbort : public HxException {
public:
    using HxException::HxException;
};

namespace {

// What the handling flow asked of the delivery side.
struct TServiceLog {
    std::mutex Lock;
    std::vector<std::string> Saved;
    std::vector<std::string> Sent;
    int Restarts = 0;
    int Closes = 0;
    bool MainThreadPumped = false;
    HWND MainWindow = nullptr;
    HANDLE SavedEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE SaveStarted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~TServiceLog()
    {
        CloseHandle(SavedEvent);
        CloseHandle(SaveStarted);
    }
} *gLog = nullptr;

bool RecordSave(const std::string& fileName, const std::string& report, HWND, bool noDialog, IVQException*)
{
    SetEvent(gLog->SaveStarted);
    // The waiting main thread answers sent messages.
    const bool pumped = gLog->MainWindow &&
                        SendMessageTimeoutA(gLog->MainWindow, WM_NULL, 0, 0, SMTO_BLOCK, 5000, nullptr) != 0;
    // A failure on the reporter's own threads (here the report calculation) is ignored.
    TExceptionParams nested;
    EnterExceptionHandling(nested);
    std::lock_guard<std::mutex> lock(gLog->Lock);
    gLog->MainThreadPumped = pumped;
    if (fileName.empty() && noDialog)
        gLog->Saved.push_back(report);
    SetEvent(gLog->SavedEvent);
    return true;
}

bool RecordSend(const std::string& report, const TNVBitmapPtr&, HWND, bool, bool, IVQException*)
{
    std::lock_guard<std::mutex> lock(gLog->Lock);
    gLog->Sent.push_back(report);
    return true;
}

void RecordRestart()
{
    std::lock_guard<std::mutex> lock(gLog->Lock);
    ++gLog->Restarts;
}

void RecordClose()
{
    // A failure on the handler thread itself is ignored.
    if (GetCurrentThreadId() == HandlerThreadId()) {
        TExceptionParams nested;
        EnterExceptionHandling(nested);
    }
    std::lock_guard<std::mutex> lock(gLog->Lock);
    ++gLog->Closes;
}

// The real handler thread with recording services.
class HandlingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gLog = &log_;
        THandlingServices services;
        services.SaveBugReport = RecordSave;
        services.SendBugReport = RecordSend;
        services.RestartApplication = RecordRestart;
        services.CloseApplication = RecordClose;
        handler_.emplace(services);
        ASSERT_TRUE(handler_->Started());
    }
    void TearDown() override
    {
        handler_.reset();
        gLog = nullptr;
    }

    // Raises through the handling flow from a worker, as an escaping thread exception would.
    void FailInWorker(void* object, bool canContinue, int kind = ekException)
    {
        std::thread worker([&] {
            TExceptionParams params;
            params.Kind = kind;
            params.ExceptObject = object;
            params.Source = hsThreadExit;
            params.CanContinue = canContinue;
            EnterExceptionHandling(params);
        });
        worker.join();
    }

    TServiceLog log_;
    std::optional<THandlerThreadScope> handler_;
};

TExceptionHistory RecentHistory(std::size_t entries)
{
    TExceptionHistory history{};
    for (std::size_t i = 0; i < entries; ++i)
        history[i] = CurrentTimeSeconds() - 1;
    return history;
}

} // namespace

TEST(HxExceptHandling, AutoActionsAreDueAfterTenRecentExceptions)
{
    SetExceptionHistory({});
    EXPECT_FALSE(IsAutoActionDue(0));
    EXPECT_TRUE(IsAutoActionDue(1));
    EXPECT_FALSE(IsAutoActionDue(5));
    SetExceptionHistory(RecentHistory(9));
    EXPECT_FALSE(IsAutoActionDue(5));
    SetExceptionHistory(RecentHistory(10));
    EXPECT_TRUE(IsAutoActionDue(5));
    TExceptionHistory old = RecentHistory(10);
    old[9] -= 60;
    SetExceptionHistory(old);
    EXPECT_FALSE(IsAutoActionDue(5));
    EXPECT_TRUE(IsAutoActionDue(120));
    SetExceptionHistory({});
}

TEST_F(HandlingTest, ContinuableFailureIsSavedAndRecorded)
{
    HxException error("Worker lost its file");
    FailInWorker(&error, true);
    ASSERT_EQ(log_.Saved.size(), 1u);
    EXPECT_NE(log_.Saved[0].find("exception class   : HxException\r\n"), std::string::npos) << log_.Saved[0];
    EXPECT_NE(log_.Saved[0].find("exception message : Worker lost its file.\r\n"), std::string::npos);
    EXPECT_EQ(log_.Closes + log_.Restarts, 0);
    EXPECT_NE(ExceptionHistory()[0], 0u);
    EXPECT_EQ(ExceptionHistory()[1], 0u);

    // A handled exception is only told: no history, no box, no save.
    FailInWorker(&error, true, ekHandledException);
    EXPECT_EQ(log_.Saved.size(), 1u);
    EXPECT_EQ(ExceptionHistory()[1], 0u);
}

TEST_F(HandlingTest, AbortIsNeitherReportedNorCounted)
{
    EAbort abort("quiet");
    FailInWorker(&abort, true);
    EXPECT_TRUE(log_.Saved.empty());
    EXPECT_EQ(log_.Closes, 0);
    FailInWorker(&abort, false);
    EXPECT_TRUE(log_.Saved.empty());
    EXPECT_EQ(log_.Closes, 1);
    EXPECT_EQ(ExceptionHistory()[0], 0u);
}

TEST_F(HandlingTest, FatalFailureRestartsOnlyAfterTenRecentOnes)
{
    handler_->Settings->SetAutoRestart(5);
    HxException error("fatal");
    SetExceptionHistory(RecentHistory(8));
    FailInWorker(&error, false);   // the ninth
    EXPECT_EQ(log_.Restarts, 0);
    EXPECT_EQ(log_.Closes, 1);
    FailInWorker(&error, false);   // the tenth
    EXPECT_EQ(log_.Restarts, 1);
    EXPECT_EQ(log_.Closes, 1);
    EXPECT_EQ(log_.Saved.size(), 2u);

    // AutoClose wins over a due restart.
    handler_->Settings->SetAutoClose(1);
    FailInWorker(&error, false);
    EXPECT_EQ(log_.Restarts, 1);
    EXPECT_EQ(log_.Closes, 2);
}

namespace {

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

TEST_F(HandlingTest, WaitingMainThreadKeepsAnsweringMessages)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "hxExceptHandlingTestWindow";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 10, 10, nullptr, nullptr,
                                      windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    log_.MainWindow = window;
    ASSERT_EQ(PauseMainThreadId(), GetCurrentThreadId());

    HxException error("on the main thread");
    TExceptionParams params;
    params.ExceptObject = &error;
    params.Source = hsAppHandleException;
    EnterExceptionHandling(params);
    EXPECT_TRUE(log_.MainThreadPumped);
    EXPECT_EQ(log_.Saved.size(), 1u);
    ResetEvent(log_.SavedEvent);

    // A quit message that arrives meanwhile stays queued for the program's own loop.
    PostQuitMessage(3);
    log_.MainWindow = nullptr;
    EnterExceptionHandling(params);
    ASSERT_EQ(WaitForSingleObject(log_.SavedEvent, 10000), WAIT_OBJECT_0);
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 3u);
    DestroyWindow(window);
    UnregisterClassA(windowClass.lpszClassName, windowClass.hInstance);
}

TEST_F(HandlingTest, AutoActionsReachAReportThatCompletesAtOnce)
{
    // Without a listed thread, a plug-in, registers or a stack dump the report has no section to wait for: it
    // is complete the moment its calculation starts.
    DWORD tableMainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(tableMainThread), TThreadTableResult::Opened);
    SetThreadInfo(PauseMainThreadId(), nullptr, "-");
    handler_->Settings->SetAutoSend(true);
    handler_->Settings->SetShowDisAsm(false);
    handler_->Settings->SetCpuRegs(false);
    handler_->Settings->SetStackDump(false);
    handler_->Settings->SetPluginEnabled("modules", false);
    std::thread worker([] {
        SetThreadInfo(GetCurrentThreadId(), nullptr, "-");
        HxException error("quick");
        TExceptionParams params;
        params.ExceptObject = &error;
        params.Source = hsThreadExit;
        params.CanContinue = true;
        EnterExceptionHandling(params);
        SetThreadInfo(GetCurrentThreadId());
    });
    worker.join();
    handler_->Settings->SetAutoSend(false);
    handler_->Settings->SetShowDisAsm(true);
    handler_->Settings->SetCpuRegs(true);
    handler_->Settings->SetStackDump(true);
    handler_->Settings->SetPluginEnabled("modules", true);
    ModuleThreadTable().Close();
    ASSERT_EQ(log_.Sent.size(), 1u);
    EXPECT_NE(log_.Sent[0].find("exception message : quick.\r\n"), std::string::npos) << log_.Sent[0];
    EXPECT_EQ(log_.Saved.size(), 1u);
}

TEST_F(HandlingTest, EndingProgramWaitsForHandlingUnderWayAndAnswersIt)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "hxExceptHandlingTestEndWindow";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 10, 10, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    log_.MainWindow = window;

    // A worker's failure whose save needs this thread's window.
    HxException error("on a worker");
    std::thread worker([&] {
        TExceptionParams params;
        params.ExceptObject = &error;
        params.Source = hsThreadExit;
        params.CanContinue = true;
        EnterExceptionHandling(params);
    });
    EXPECT_EQ(WaitForSingleObject(log_.SaveStarted, 10000), WAIT_OBJECT_0);
    WaitForHandlingToEnd();
    {
        std::lock_guard<std::mutex> lock(log_.Lock);
        EXPECT_TRUE(log_.MainThreadPumped);
        EXPECT_EQ(log_.Saved.size(), 1u);
    }
    worker.join();

    // With nothing under way it returns at once.
    const DWORD start = GetTickCount();
    WaitForHandlingToEnd();
    EXPECT_LT(TicksSince(start), 1000u);
    log_.MainWindow = nullptr;
    DestroyWindow(window);
    UnregisterClassA(windowClass.lpszClassName, windowClass.hInstance);
}

namespace {

std::atomic<DWORD> gStoppedFrom{0};

// As the reporter's end does when a handler on the main thread ends the program.
void StopTheHandlerThread(IVQException*)
{
    gStoppedFrom = GetCurrentThreadId();
    StopHandlerThread();
}

DWORD WINAPI FailContinuably(void*)
{
    HxException error("stops the reporter");
    TExceptionParams params;
    params.ExceptObject = &error;
    params.Source = hsThreadExit;
    params.CanContinue = true;
    EnterExceptionHandling(params);
    return 0;
}

// Answers what is sent to this thread until the handle is signalled or the time is up.
bool PumpUntil(HANDLE handle, DWORD ms)
{
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < ms; elapsed = TicksSince(start)) {
        if (MsgWaitForMultipleObjects(1, &handle, FALSE, ms - elapsed, QS_ALLINPUT) == WAIT_OBJECT_0)
            return true;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    return false;
}

} // namespace

TEST_F(HandlingTest, HandlerOnTheMainThreadThatStopsTheHandlerThreadLetsItFinish)
{
    // The handler thread waits for the handler: it is left to finish the request and then ends.
    ASSERT_TRUE(StartHandlerWindow());
    const struct TUnregister {
        ~TUnregister()
        {
            ClearRegisteredHandlers();
            StopHandlerWindow();
        }
    } unregister;
    ASSERT_TRUE(RegisterExceptionHandler(StopTheHandlerThread, 1, true));
    HANDLE handlerThread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, HandlerThreadId());
    ASSERT_NE(handlerThread, nullptr);

    HANDLE worker = CreateThread(nullptr, 0, FailContinuably, nullptr, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    EXPECT_TRUE(PumpUntil(worker, 10000));
    EXPECT_EQ(gStoppedFrom.load(), GetCurrentThreadId());
    EXPECT_EQ(log_.Saved.size(), 1u);
    EXPECT_EQ(WaitForSingleObject(handlerThread, 5000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeThread(handlerThread, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(handlerThread);
    CloseHandle(worker);
}

namespace {

// A close that waits until the test lets it go.
HANDLE gCloseStarted = nullptr, gCloseRelease = nullptr;

void HoldClose()
{
    SetEvent(gCloseStarted);
    WaitForSingleObject(gCloseRelease, INFINITE);
}

} // namespace

TEST_F(HandlingTest, EndingUnderTheLoaderLockDoesNotWaitForHandlingUnderWay)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const auto lock = reinterpret_cast<LONG(WINAPI*)(ULONG, ULONG*, ULONG_PTR*)>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    const auto unlock = reinterpret_cast<LONG(WINAPI*)(ULONG, ULONG_PTR)>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    ASSERT_TRUE(lock && unlock);
    // Started before the lock is taken: a new thread waits for it.
    TSteppedWorker ending([&] {
        ULONG_PTR cookie = 0;
        lock(0, nullptr, &cookie);
        WaitForHandlingToEnd();
        unlock(0, cookie);
    });

    // A fatal failure whose close is held; nothing of it needs the loader lock meanwhile: no report
    // is made (no calculation thread) and nothing is shown.
    gCloseStarted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    gCloseRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    THandlingServices services = HandlingServices();
    services.CloseApplication = HoldClose;
    SetHandlingServices(services);
    const struct TPutBack {
        IVQModuleSettings* Settings;
        int Show = Settings->GetGnShowCfg();
        ~TPutBack()
        {
            Settings->SetGnNoBugRep(false);
            Settings->SetGnShowCfg(Show);
        }
    } putBack{handler_->Settings.operator->()};
    handler_->Settings->SetGnNoBugRep(true);
    handler_->Settings->SetGnShowCfg(4);
    handler_->Settings->SetAutoSave(false);

    HxException error("held close");
    std::thread worker([&] {
        TExceptionParams params;
        params.ExceptObject = &error;
        params.Source = hsThreadExit;
        params.CanContinue = false;
        EnterExceptionHandling(params);
    });
    EXPECT_EQ(WaitForSingleObject(gCloseStarted, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(ending.PassesWithin(2000));
    SetEvent(gCloseRelease);
    worker.join();
    CloseHandle(gCloseStarted);
    CloseHandle(gCloseRelease);
}

namespace {

// The program's standard output goes to a text-mode file for the scope, as a console's would.
class TCapturedOutput {
public:
    TCapturedOutput()
        : path_(TempFolder() + "hxCapturedOutput.txt")
    {
        std::fflush(stdout);
        const int file = _open(path_.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_TEXT, _S_IREAD | _S_IWRITE);
        saved_ = _dup(_fileno(stdout));
        if (file >= 0) {
            _dup2(file, _fileno(stdout));
            _close(file);
        }
    }
    ~TCapturedOutput() { Restore(); DeleteFileA(path_.c_str()); }
    TCapturedOutput(const TCapturedOutput&) = delete;
    TCapturedOutput& operator=(const TCapturedOutput&) = delete;

    // Ends the capture and gives what was written.
    std::string Text()
    {
        Restore();
        return ReadFileText(path_);
    }

private:
    static std::string TempFolder()
    {
        char folder[MAX_PATH] = "";
        GetTempPathA(MAX_PATH, folder);
        return folder;
    }
    static std::string ReadFileText(const std::string& path)
    {
        std::string text;
        if (FILE* file = std::fopen(path.c_str(), "rb")) {
            char buffer[4096];
            for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
                text.append(buffer, got);
            std::fclose(file);
        }
        return text;
    }
    void Restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stdout);
        _dup2(saved_, _fileno(stdout));
        _close(saved_);
        saved_ = -1;
    }

    std::string path_;
    int saved_ = -1;
};

} // namespace

TEST_F(HandlingTest, ConsoleProgramWritesItsMessageWithPlainLineEndsUnlessToldToShowNothing)
{
    HxException error("console");
    const std::string message = handler_->Settings->GetExceptMsg();
    ASSERT_FALSE(message.empty());
    {
        TCapturedOutput output;
        FailInWorker(&error, true);
        const std::string text = output.Text();
        EXPECT_NE(text.find(message + "\r\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("\r\r\n"), std::string::npos) << text;
    }
    const int show = handler_->Settings->GetGnShowCfg();
    handler_->Settings->SetGnShowCfg(4);
    {
        TCapturedOutput output;
        FailInWorker(&error, true);
        EXPECT_EQ(output.Text(), "");
    }
    handler_->Settings->SetGnShowCfg(show);
    EXPECT_EQ(log_.Saved.size(), 2u);
}

namespace {

// What the registered handlers saw: "<who> <stage>".
std::mutex gStagesLock;
std::vector<std::string> gStages;

void StageProc(IVQException* exception)
{
    std::lock_guard<std::mutex> lock(gStagesLock);
    gStages.push_back("proc " + std::to_string(exception->GetStage()));
}

void StageMethod(void* who, IVQException* exception)
{
    std::lock_guard<std::mutex> lock(gStagesLock);
    gStages.push_back(static_cast<const char*>(who) + std::to_string(exception->GetStage()));
}

std::vector<std::string> TakeStages()
{
    std::lock_guard<std::mutex> lock(gStagesLock);
    return std::move(gStages);
}

} // namespace

TEST_F(HandlingTest, ExceptionHandlersRunAtTheirStagesWhileEnabled)
{
    const struct TUnregister {
        ~TUnregister() { ClearRegisteredHandlers(); }
    } unregister;
    char method[] = "method ";
    EXPECT_FALSE(RegisterExceptionHandler(StageProc, 5));
    ASSERT_TRUE(RegisterExceptionHandler(StageProc, 1));
    ASSERT_TRUE(RegisterExceptionHandler(StageProc, 3));   // again: now at stage 3 only
    EXPECT_FALSE(HandlersNeedReport());
    ASSERT_TRUE(RegisterExceptionHandler(method, StageMethod, 4));
    EXPECT_TRUE(HandlersNeedReport());

    HxException error("staged");
    FailInWorker(&error, true);
    // The stage-4 handler saw the complete report, which the handling waited for; a report complete
    // by stage 3 already shows stage 4 there.
    std::vector<std::string> stages = TakeStages();
    ASSERT_EQ(stages.size(), 2u);
    EXPECT_TRUE(stages[0] == "proc 3" || stages[0] == "proc 4") << stages[0];
    EXPECT_EQ(stages[1], "method 4");

    // The exception's class group switches its handlers off; a handled exception has a list of its own.
    handler_->Settings->SetGnNoHandlers(true);
    FailInWorker(&error, true);
    handler_->Settings->SetGnNoHandlers(false);
    FailInWorker(&error, true, ekHandledException);
    EXPECT_TRUE(TakeStages().empty());
    EXPECT_TRUE(UnregisterExceptionHandler(method, StageMethod));
    EXPECT_FALSE(HandlersNeedReport());
    EXPECT_TRUE(UnregisterExceptionHandler(StageProc));
    EXPECT_FALSE(UnregisterExceptionHandler(StageProc));
}
