#include "hxExceptPause.h"

#include "hxExceptSupport.h"
#include "hxTools.h"
#include "hxTypes.h"

#include "HandlingTestSupport.h"
#include "SteppedWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

std::atomic<int> gRetrievalHooks{0};
std::atomic<LPARAM> gFiredWith{0};
std::atomic<int> gFired{0};

void PumpFor(DWORD ms)
{
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < ms; elapsed = TicksSince(start)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
}

} // namespace

TEST(HxExceptPause, GatesBlockAndReleaseListedWorkers)
{
    DWORD mainThread = 0;
    ASSERT_EQ(ModuleThreadTable().Open(mainThread), TThreadTableResult::Opened);
    ASSERT_TRUE(StartHandlerWindow());
    EXPECT_EQ(PauseMainThreadId(), GetCurrentThreadId());
    SetHookMessageRetrieval([] { ++gRetrievalHooks; });
    SetFireHandlers([](LPARAM params) {
        ++gFired;
        gFiredWith = params;
    });

    TSteppedWorker reporterWorker(WaitIfPaused), plainWorker(WaitIfPaused);
    SetThreadInfo(reporterWorker.Id, nullptr, "worker", mainThread, reinterpret_cast<const void*>(&TSteppedWorker::Run));
    SetThreadInfo(plainWorker.Id, nullptr, "plain", mainThread, reinterpret_cast<const void*>(&GetTickCount));
    EXPECT_TRUE(IsReporterThread(reporterWorker.Id));
    EXPECT_FALSE(IsReporterThread(plainWorker.Id));     // created from a module without the resource
    EXPECT_FALSE(IsReporterThread(GetCurrentThreadId() + 4000000));

    EXPECT_TRUE(reporterWorker.PassesWithin(2000));     // before the first pause nothing blocks
    EXPECT_FALSE(UnpauseMainThread());

    PauseOtherThreads(true, 0);
    EXPECT_FALSE(reporterWorker.PassesWithin(300));
    EXPECT_TRUE(plainWorker.PassesWithin(2000));        // not listed: runs on while the gates are closed
    EXPECT_TRUE(UnpauseMainThread());
    EXPECT_TRUE(UnpauseMainThread());                   // joins the first
    RepauseMainThread();
    RepauseMainThread();
    EXPECT_TRUE(UnpauseMainThread());                   // the main gate is open again from here

    PauseOtherThreads(false, 0);
    EXPECT_EQ(WaitForSingleObject(reporterWorker.Passed, 2000), WAIT_OBJECT_0);
    RepauseMainThread();                                // the pause has ended: nothing to close again
    EXPECT_FALSE(UnpauseMainThread());

    // A paused run that keeps the worker going; the retrieval hook came with the first pause only.
    PauseOtherThreads(true, reporterWorker.Id);
    EXPECT_TRUE(reporterWorker.PassesWithin(2000));
    EXPECT_TRUE(UnpauseMainThread());
    SetLastError(1234);
    WaitIfPaused();
    EXPECT_EQ(GetLastError(), 1234u);
    PauseOtherThreads(false, 0);
    EXPECT_EQ(gRetrievalHooks.load(), 1);

    // The wake-ups queued meanwhile pass; a record runs the handlers, a wake-up does not.
    PumpFor(50);
    int record = 5;
    const LPARAM recordParam = reinterpret_cast<LPARAM>(&record);
    const int firedBefore = gFired;
    EXPECT_EQ(SendMessageA(HandlerWindow(), HandlerMessage(), 1, recordParam), HandlerAnswer);
    EXPECT_EQ(gFired.load(), firedBefore);
    EXPECT_EQ(SendMessageA(HandlerWindow(), HandlerMessage(), 0, recordParam), HandlerAnswer);
    EXPECT_EQ(gFired.load(), firedBefore + 1);
    EXPECT_EQ(gFiredWith.load(), recordParam);

    // Finalisation leaves nothing blocked.
    PauseOtherThreads(true, 0);
    FinalizePause();
    EXPECT_TRUE(reporterWorker.PassesWithin(2000));

    SetFireHandlers(nullptr);
    SetHookMessageRetrieval(nullptr);
    StopHandlerWindow();
    SetThreadInfo(reporterWorker.Id);
    SetThreadInfo(plainWorker.Id);
    ModuleThreadTable().Close();
}

TEST(HxExceptPause, MainGateHoldsTheMainThreadUntilItOpens)
{
    // A worker that owns the handler window is the pause's main thread.
    TSteppedWorker mainWorker(WaitIfPaused, 0, [] { StartHandlerWindow(); }, StopHandlerWindow);
    ASSERT_TRUE(mainWorker.PassesWithin(2000));
    ASSERT_EQ(PauseMainThreadId(), mainWorker.Id);

    PauseOtherThreads(true, 0);
    EXPECT_FALSE(mainWorker.PassesWithin(300));
    EXPECT_TRUE(UnpauseMainThread());
    EXPECT_EQ(WaitForSingleObject(mainWorker.Passed, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(mainWorker.PassesWithin(2000));

    RepauseMainThread();
    EXPECT_FALSE(mainWorker.PassesWithin(300));
    PauseOtherThreads(false, 0);
    EXPECT_EQ(WaitForSingleObject(mainWorker.Passed, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(mainWorker.PassesWithin(2000));

    PauseOtherThreads(true, 0);
    EXPECT_FALSE(mainWorker.PassesWithin(300));
    FinalizePause();
    EXPECT_EQ(WaitForSingleObject(mainWorker.Passed, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(mainWorker.PassesWithin(2000));
}

namespace {

// Lets the main thread go at its odd steps and holds it again at its even ones, as the handler
// thread, a background send and the auto actions each do around what needs the main thread.
struct TUnpauser {
    bool Unpaused = false;
    int Steps = 0;
    TSteppedWorker Worker{[this] {
        if (Steps++ % 2 == 0)
            Unpaused = UnpauseMainThread();
        else if (Unpaused)
            RepauseMainThread();
    }};
};

} // namespace

TEST(HxExceptPause, MainGateStaysOpenUntilItsLastUnpauserRepauses)
{
    TSteppedWorker mainWorker(WaitIfPaused, 0, [] { StartHandlerWindow(); }, StopHandlerWindow);
    ASSERT_TRUE(mainWorker.PassesWithin(2000));
    ASSERT_EQ(PauseMainThreadId(), mainWorker.Id);
    const struct TRelease {
        ~TRelease() { PauseOtherThreads(false, 0); }
    } release;
    TUnpauser first, second;

    // The first repauses between the second's unpause and its use of the main thread.
    PauseOtherThreads(true, 0);
    EXPECT_FALSE(mainWorker.PassesWithin(300));
    EXPECT_TRUE(first.Worker.PassesWithin(2000));
    EXPECT_TRUE(first.Unpaused);
    EXPECT_EQ(WaitForSingleObject(mainWorker.Passed, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(second.Worker.PassesWithin(2000));
    EXPECT_TRUE(second.Unpaused);
    EXPECT_TRUE(first.Worker.PassesWithin(2000));
    EXPECT_TRUE(mainWorker.PassesWithin(2000));
    EXPECT_TRUE(second.Worker.PassesWithin(2000));
    EXPECT_FALSE(mainWorker.PassesWithin(300));

    // The first's pause ends while it holds the gate open, and another begins: it stays open for the
    // first and for the second, which unpauses in the new pause, until both have repaused.
    EXPECT_TRUE(first.Worker.PassesWithin(2000));
    EXPECT_EQ(WaitForSingleObject(mainWorker.Passed, 2000), WAIT_OBJECT_0);
    PauseOtherThreads(false, 0);
    PauseOtherThreads(true, 0);
    EXPECT_TRUE(mainWorker.PassesWithin(2000));
    EXPECT_TRUE(second.Worker.PassesWithin(2000));
    EXPECT_TRUE(second.Unpaused);
    EXPECT_TRUE(first.Worker.PassesWithin(2000));
    EXPECT_TRUE(mainWorker.PassesWithin(2000));
    EXPECT_TRUE(second.Worker.PassesWithin(2000));
    EXPECT_FALSE(mainWorker.PassesWithin(300));

    // Without a pause there is nothing to unpause.
    PauseOtherThreads(false, 0);
    EXPECT_EQ(WaitForSingleObject(mainWorker.Passed, 2000), WAIT_OBJECT_0);
    EXPECT_FALSE(UnpauseMainThread());
}

TEST(HxExceptPause, FreezeTimeoutBelowThousandCountsAsSeconds)
{
    EXPECT_EQ(FreezeTimeoutMs(5), 5000);
    EXPECT_EQ(FreezeTimeoutMs(999), 999000);
    EXPECT_EQ(FreezeTimeoutMs(1000), 1000);
    EXPECT_EQ(FreezeTimeoutMs(60000), 60000);
    EXPECT_EQ(FreezeTimeoutMs(0), 60000);
    EXPECT_EQ(FreezeTimeoutMs(-3), 60000);
}

namespace {

struct TFreezeLog {
    std::mutex Lock;
    std::vector<DWORD> Ticks;
    DWORD ThreadId = 0;
    bool ContextValid = false;
    bool StackRead = false;
};
TFreezeLog gFreezes;

void RecordFreeze(const TFreezeInfo& freeze)
{
    std::lock_guard<std::mutex> lock(gFreezes.Lock);
    gFreezes.Ticks.push_back(GetTickCount());
    gFreezes.ThreadId = freeze.ThreadId;
    gFreezes.ContextValid = freeze.ContextValid;
    gFreezes.StackRead = freeze.StackTop > freeze.StackBottom && freeze.StackBottom != 0;
}

void SleepingHandler(HWND, UINT, WPARAM wParam, LRESULT& result, LPARAM)
{
    Sleep(static_cast<DWORD>(wParam));   // the hang under test
    result = 1;
}

std::size_t FreezeCount()
{
    std::lock_guard<std::mutex> lock(gFreezes.Lock);
    return gFreezes.Ticks.size();
}

} // namespace

TEST(HxExceptPause, HungMainThreadIsReportedOnceAfterTheTimeout)
{
    constexpr int timeout = 1000;   // pings every 100 ms
    SetFreezeHandler(RecordFreeze);
    ASSERT_TRUE(StartFreezeWatch(timeout));
    EXPECT_FALSE(StartFreezeWatch(timeout));
    EXPECT_TRUE(FreezeWatchRunning());

    // Answering every ping never reports.
    PumpFor(1500);
    EXPECT_EQ(FreezeCount(), 0u);

    const UINT sleepMessage = RegisterWindowMessageA("hxExceptPauseTestSleep");
    HWND window = AddMsgHandler(sleepMessage, SleepingHandler);
    ASSERT_NE(window, nullptr);
    const DWORD posted = GetTickCount();
    ASSERT_TRUE(PostMessageA(window, sleepMessage, 1800, 0));
    PumpFor(2300);
    {
        std::lock_guard<std::mutex> lock(gFreezes.Lock);
        ASSERT_EQ(gFreezes.Ticks.size(), 1u);
        EXPECT_GE(TicksSince(posted, gFreezes.Ticks[0]), static_cast<DWORD>(timeout - 20));
        EXPECT_LT(TicksSince(posted, gFreezes.Ticks[0]), 1800u);
        EXPECT_EQ(gFreezes.ThreadId, GetCurrentThreadId());
        EXPECT_TRUE(gFreezes.ContextValid);
        EXPECT_TRUE(gFreezes.StackRead);
    }

    // While an exception is handled there is no ping and no report.
    SetHandlingBusy(true);
    Sleep(1500);
    EXPECT_EQ(FreezeCount(), 1u);
    SetHandlingBusy(false);
    PumpFor(300);
    EXPECT_EQ(FreezeCount(), 1u);

    const DWORD stopping = GetTickCount();
    StopFreezeWatch();
    EXPECT_LT(TicksSince(stopping), 1000u);
    EXPECT_FALSE(FreezeWatchRunning());
    RemoveMsgHandler(sleepMessage, SleepingHandler);
    SetFreezeHandler(nullptr);
}

namespace {

// A freeze report that needs the thread that stops the watch: it sends to that thread's window.
struct TReportUnderWay {
    HANDLE Started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HWND StopperWindow = nullptr;
    std::atomic<bool> Answered{false};
    std::atomic<bool> Finished{false};
    ~TReportUnderWay() { CloseHandle(Started); }
} *gReportUnderWay = nullptr;

void ReportNeedingTheStopper(const TFreezeInfo&)
{
    if (WaitForSingleObject(gReportUnderWay->Started, 0) == WAIT_OBJECT_0)
        return;   // the first report only
    SetEvent(gReportUnderWay->Started);
    gReportUnderWay->Answered =
        SendMessageTimeoutA(gReportUnderWay->StopperWindow, WM_NULL, 0, 0, SMTO_BLOCK, 5000, nullptr) != 0;
    gReportUnderWay->Finished = true;
}

} // namespace

TEST(HxExceptPause, StopFinishesAReportUnderWayAndAnswersIt)
{
    TReportUnderWay report;
    gReportUnderWay = &report;
    SetFreezeHandler(ReportNeedingTheStopper);
    ASSERT_TRUE(StartFreezeWatch(1000));
    report.StopperWindow = GetMsgHandlerWindow();
    ASSERT_NE(report.StopperWindow, nullptr);

    // This thread answers no ping until the report has started.
    ASSERT_EQ(WaitForSingleObject(report.Started, 5000), WAIT_OBJECT_0);
    const DWORD stopping = GetTickCount();
    StopFreezeWatch();
    EXPECT_LT(TicksSince(stopping), 3000u);
    EXPECT_TRUE(report.Answered);
    EXPECT_TRUE(report.Finished);
    EXPECT_FALSE(FreezeWatchRunning());

    SetFreezeHandler(nullptr);
    gReportUnderWay = nullptr;
    PumpFor(50);   // the pings queued meanwhile
}

namespace {

// A freeze report that waits until the test lets it go, as one queued behind a handling does.
struct THeldReport {
    HANDLE Started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE Finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~THeldReport()
    {
        for (HANDLE h : {Started, Release, Finished})
            CloseHandle(h);
    }
} *gHeldReport = nullptr;

void HeldReport(const TFreezeInfo&)
{
    if (WaitForSingleObject(gHeldReport->Started, 0) == WAIT_OBJECT_0)
        return;   // the first report only
    SetEvent(gHeldReport->Started);
    WaitForSingleObject(gHeldReport->Release, INFINITE);
    SetEvent(gHeldReport->Finished);
}

} // namespace

TEST(HxExceptPause, StopThatCannotWaitLeavesAReportUnderWayToFinish)
{
    // The handling the report waits for waits for the stopping thread: the stop returns, and the
    // report, left where it is, finishes when the handling lets it.
    THeldReport report;
    gHeldReport = &report;
    SetFreezeHandler(HeldReport);
    ASSERT_TRUE(StartFreezeWatch(1000));
    HANDLE watchThread = OpenThread(SYNCHRONIZE, FALSE, FreezeWatchThreadId());
    ASSERT_NE(watchThread, nullptr);

    // This thread answers no ping until the report has started.
    ASSERT_EQ(WaitForSingleObject(report.Started, 5000), WAIT_OBJECT_0);
    StopFreezeWatch(false);
    EXPECT_FALSE(FreezeWatchRunning());
    SetEvent(report.Release);
    EXPECT_EQ(WaitForSingleObject(report.Finished, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(watchThread, 5000), WAIT_OBJECT_0);
    CloseHandle(watchThread);

    SetFreezeHandler(nullptr);
    gHeldReport = nullptr;
    PumpFor(50);   // the pings queued meanwhile
}

namespace {

// A save that needs the main thread: it sends to the main thread's handler window.
std::atomic<bool> gSaveAnswered{false};
std::atomic<int> gSaves{0};

bool SaveNeedingTheMainThread(const std::string&, const std::string&, HWND, bool, IVQException*)
{
    gSaveAnswered = SendMessageTimeoutA(HandlerWindow(), WM_NULL, 0, 0, SMTO_BLOCK, 5000, nullptr) != 0;
    ++gSaves;
    return true;
}

} // namespace

// Runs after the gate tests above: the first pause of the process hooks message retrieval.
TEST(HxExceptPause, FailingMainThreadKeepsAnsweringWhileOthersArePaused)
{
    ASSERT_TRUE(StartHandlerWindow());
    ASSERT_EQ(PauseMainThreadId(), GetCurrentThreadId());
    THandlingServices services;
    services.SaveBugReport = SaveNeedingTheMainThread;
    services.RestartApplication = [] {};
    services.CloseApplication = [] {};
    {
        THandlerThreadScope handler(services);
        ASSERT_TRUE(handler.Started());
        handler.Settings->SetPauseThreads(true);

        // The pause's wake-up reaches this thread's waiting loop, which must not hold there.
        HxException error("on the paused main thread");
        TExceptionParams params;
        params.ExceptObject = &error;
        params.Source = hsAppHandleException;
        const DWORD start = GetTickCount();
        EnterExceptionHandling(params);
        EXPECT_LT(TicksSince(start), 4000u);
        EXPECT_TRUE(gSaveAnswered.load());
        EXPECT_EQ(gSaves.load(), 1);
    }

    FinalizePause();
    StopHandlerWindow();
}
