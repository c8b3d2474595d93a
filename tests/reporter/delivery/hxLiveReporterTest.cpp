// Runs the live test program once per failure, as a user's program would fail, and reads the
// bug-report file its reporter saved beside it.

#include "DeliveryOutput.h"
#include "hxExceptSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include <functional>
#include <string>
#include <vector>

namespace {

struct TLiveRun {
    DWORD ExitCode = 0xFFFFFFFF;
    std::string Reports;
};

// Called while the program runs with its process id until it returns true.
using TWhileRunning = std::function<bool(DWORD processId)>;

enum class TEarlierReports { Delete, Keep };

// Called with the process id of the program, started suspended, before it runs.
using TBeforeStart = std::function<void(DWORD processId)>;

TLiveRun RunLiveProgram(const std::string& failure, const TWhileRunning& whileRunning = nullptr,
                        TEarlierReports earlier = TEarlierReports::Delete, const TBeforeStart& beforeStart = nullptr)
{
    const std::string folder = TestProgramFolder();
    const std::string reports = folder + "hxLiveReports.txt";
    if (earlier == TEarlierReports::Delete)
        DeleteFileA(reports.c_str());
    const std::string program = folder + "hxLiveProgram.exe";
    std::string commandLine = "\"" + program + "\" " + failure;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    TLiveRun run;
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        folder.c_str(), &startup, &process))
        return run;
    if (beforeStart)
        beforeStart(process.dwProcessId);
    ResumeThread(process.hThread);
    const DWORD start = GetTickCount();
    bool watching = static_cast<bool>(whileRunning);
    while (WaitForSingleObject(process.hProcess, watching ? 50 : 60000) == WAIT_TIMEOUT)
        if (!watching || GetTickCount() - start > 60000) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
            break;
        } else if (whileRunning(process.dwProcessId)) {
            watching = false;
        }
    GetExitCodeProcess(process.hProcess, &run.ExitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.Reports = ReadFileBytes(reports);
    return run;
}

// The value of a header line: "name<blanks>: value".
std::string HeaderValue(const std::string& report, const std::string& name)
{
    std::size_t at = report.rfind(name, 0) == 0 ? 0 : report.find("\r\n" + name);
    if (at == std::string::npos)
        return "<none>";
    at = report.find(": ", at);
    const std::size_t end = report.find("\r\n", at);
    return report.substr(at + 2, end - at - 2);
}

int CountReports(const std::string& reports)
{
    int count = reports.rfind("date/time", 0) == 0 ? 1 : 0;
    for (std::size_t at = reports.find("\r\ndate/time"); at != std::string::npos;
         at = reports.find("\r\ndate/time", at + 1))
        ++count;
    return count;
}

// The exception box of the process, once it shows.
HWND FindBox(DWORD processId)
{
    for (HWND window = FindWindowA("hxExceptWndClass", nullptr); window;
         window = FindWindowExA(nullptr, window, "hxExceptWndClass", nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

std::vector<std::string> ChildTexts(HWND box)
{
    std::vector<std::string> texts;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char text[256] = "";
        GetWindowTextA(child, text, sizeof text);
        if (text[0])
            texts.emplace_back(text);
    }
    return texts;
}

// Clicks the box's button with this text once the box shows; the texts found go to texts.
TWhileRunning ClickInBox(const std::string& button, std::vector<std::string>& texts)
{
    return [&texts, button](DWORD processId) {
        HWND box = FindBox(processId);
        if (!box)
            return false;
        texts = ChildTexts(box);
        HWND target = FindWindowExA(box, nullptr, "Button", button.c_str());
        if (target)
            SendMessageA(target, BM_CLICK, 0, 0);
        return target != nullptr;
    };
}

bool Has(const std::vector<std::string>& texts, const std::string& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

} // namespace

TEST(LiveReporter, ContinuableFailuresAreSavedAndTheProgramGoesOn)
{
    const TLiveRun worker = RunLiveProgram("worker-throw");
    EXPECT_EQ(worker.ExitCode, 0u);
    ASSERT_EQ(CountReports(worker.Reports), 1) << worker.Reports;
    EXPECT_EQ(HeaderValue(worker.Reports, "exception class"), "ELiveTestError");
    EXPECT_EQ(HeaderValue(worker.Reports, "exception message"), "Worker thread failed on purpose.");
    EXPECT_NE(worker.Reports.find("ThrowingWorker"), std::string::npos) << worker.Reports;

    const TLiveRun timer = RunLiveProgram("timer-throw");
    EXPECT_EQ(timer.ExitCode, 0u);
    ASSERT_EQ(CountReports(timer.Reports), 1) << timer.Reports;
    EXPECT_EQ(HeaderValue(timer.Reports, "exception class"), "ELiveTestError");
    EXPECT_EQ(HeaderValue(timer.Reports, "exception message"), "Timer handler failed on purpose.");
    EXPECT_NE(timer.Reports.find("\r\n\r\nmain thread ($"), std::string::npos);
}

// A system exception ends only the wrapped worker it happens in; the program goes on.
TEST(LiveReporter, SystemExceptionsInAWorkerEndOnlyTheWorker)
{
    const TLiveRun violation = RunLiveProgram("worker-av");
    EXPECT_EQ(violation.ExitCode, 0u);
    ASSERT_EQ(CountReports(violation.Reports), 1) << violation.Reports;
    EXPECT_EQ(HeaderValue(violation.Reports, "exception class"), "EAccessViolation");
    EXPECT_EQ(HeaderValue(violation.Reports, "exception message").rfind("Access violation", 0), 0u);
    EXPECT_NE(violation.Reports.find("WriteThroughNull"), std::string::npos) << violation.Reports;
    EXPECT_NE(violation.Reports.find("ViolatingWorker"), std::string::npos) << violation.Reports;

    const TLiveRun overflow = RunLiveProgram("worker-overflow");
    EXPECT_EQ(overflow.ExitCode, 0u);
    ASSERT_EQ(CountReports(overflow.Reports), 1) << overflow.Reports;
    EXPECT_EQ(HeaderValue(overflow.Reports, "exception class"), "EStackOverflow");
    EXPECT_EQ(HeaderValue(overflow.Reports, "exception message"), "Stack overflow.");
}

// A fault ends a worker by unwinding it: its destructors run, its mutex is free again, and the
// framework's thread still sends its end notice.
TEST(LiveReporter, FaultingWorkersAreUnwoundToTheirEnd)
{
    const TLiveRun run = RunLiveProgram("worker-av-unwinds");
    EXPECT_EQ(run.ExitCode, 0u) << "41: mutex left held, 42: not unwound, 43: no end notice";
    ASSERT_EQ(CountReports(run.Reports), 2) << run.Reports;
    EXPECT_EQ(HeaderValue(run.Reports, "exception class"), "EAccessViolation");
    EXPECT_NE(run.Reports.find("LockingViolatingWorker"), std::string::npos) << run.Reports;

    // Code without unwind data cannot be unwound: that worker ends in place, the program goes on.
    const TLiveRun inPlace = RunLiveProgram("worker-av-no-unwind-data");
    EXPECT_EQ(inPlace.ExitCode, 0u);
    EXPECT_EQ(CountReports(inPlace.Reports), 1) << inPlace.Reports;
}

// Each stack overflow in a run is reported; the worker's does not use up the main thread's.
// A worker that holds the loader lock cannot end alone: its fault ends the program.
TEST(LiveReporter, LaterOverflowsAndLoaderLockFaultsAreReportedAndEndTheProgram)
{
    const TLiveRun overflows = RunLiveProgram("worker-overflow-main-overflow");
    EXPECT_EQ(overflows.ExitCode, 1u);
    ASSERT_EQ(CountReports(overflows.Reports), 2) << overflows.Reports;
    EXPECT_NE(overflows.Reports.find("RecurseOnMain"), std::string::npos) << overflows.Reports;

    const TLiveRun locked = RunLiveProgram("worker-av-loader-lock");
    EXPECT_EQ(locked.ExitCode, 1u);
    ASSERT_EQ(CountReports(locked.Reports), 1) << locked.Reports;
    EXPECT_EQ(HeaderValue(locked.Reports, "exception class"), "EAccessViolation");
}

TEST(LiveReporter, FatalFailuresAreSavedAndCloseTheProgram)
{
    const TLiveRun violation = RunLiveProgram("main-av");
    EXPECT_EQ(violation.ExitCode, 1u);
    ASSERT_EQ(CountReports(violation.Reports), 1) << violation.Reports;
    EXPECT_EQ(HeaderValue(violation.Reports, "exception class"), "EAccessViolation");
    EXPECT_EQ(HeaderValue(violation.Reports, "exception message").rfind("Access violation", 0), 0u);
    EXPECT_NE(violation.Reports.find("WriteThroughNull"), std::string::npos);

    const TLiveRun aborted = RunLiveProgram("abort");
    EXPECT_EQ(aborted.ExitCode, 1u);
    ASSERT_EQ(CountReports(aborted.Reports), 1) << aborted.Reports;
    EXPECT_EQ(HeaderValue(aborted.Reports, "exception class"), "HxException");
    EXPECT_EQ(HeaderValue(aborted.Reports, "exception message"), "Abnormal program termination.");
}

TEST(LiveReporter, ARepeatedFailureIsCountedInPlaceOfASecondReport)
{
    const TLiveRun first = RunLiveProgram("main-av");
    ASSERT_EQ(CountReports(first.Reports), 1) << first.Reports;
    EXPECT_EQ(HeaderValue(first.Reports, "count"), "<none>");

    const TLiveRun again = RunLiveProgram("main-av", nullptr, TEarlierReports::Keep);
    ASSERT_EQ(CountReports(again.Reports), 1) << again.Reports;
    EXPECT_EQ(HeaderValue(again.Reports, "count"), "2");

    // Another failure is a report of its own.
    const TLiveRun other = RunLiveProgram("abort", nullptr, TEarlierReports::Keep);
    EXPECT_EQ(CountReports(other.Reports), 2) << other.Reports;
}

TEST(LiveReporter, FrozenMainThreadIsReported)
{
    const TLiveRun frozen = RunLiveProgram("freeze");
    EXPECT_EQ(frozen.ExitCode, 0u);
    ASSERT_EQ(CountReports(frozen.Reports), 1) << frozen.Reports;
    EXPECT_EQ(HeaderValue(frozen.Reports, "exception class"), "<none>");
    EXPECT_EQ(HeaderValue(frozen.Reports, "exception message"), "The application seems to be frozen.");
    const std::size_t main = frozen.Reports.find("\r\n\r\nmain thread ($");
    ASSERT_NE(main, std::string::npos);
    EXPECT_NE(frozen.Reports.find("Sleep", main), std::string::npos) << frozen.Reports;
}

TEST(LiveReporter, ProgramThatEndsDuringAFreezeReportEndsAfterIt)
{
    const TLiveRun ended = RunLiveProgram("freeze-exit");
    EXPECT_EQ(ended.ExitCode, 0u);   // 8: the program's static objects went while the report was made
    ASSERT_EQ(CountReports(ended.Reports), 1) << ended.Reports;
    EXPECT_EQ(HeaderValue(ended.Reports, "exception message"), "The application seems to be frozen.");
}

TEST(LiveReporter, PatchedSitesAreRestoredAtShutdown)
{
    EXPECT_EQ(RunLiveProgram("patches").ExitCode, 0u);
}

TEST(LiveReporter, StartUpRegistersTheAssistantsBuiltInHandlers)
{
    EXPECT_EQ(RunLiveProgram("form-handlers").ExitCode, 0u);
}

TEST(LiveReporter, ExceptionBoxCloseEndsAFatalFailure)
{
    std::vector<std::string> texts;
    const TLiveRun closed = RunLiveProgram("box main-av", ClickInBox("close bug report", texts));
    EXPECT_EQ(closed.ExitCode, 1u);
    EXPECT_TRUE(Has(texts, "An error occurred in the application.")) << texts.size();
    EXPECT_TRUE(Has(texts, "send bug report"));
    EXPECT_TRUE(Has(texts, "show bug report"));
    EXPECT_TRUE(Has(texts, "restart bug report"));
    EXPECT_EQ(CountReports(closed.Reports), 1) << closed.Reports;
}

// The program's hidden application window, found among the process's top-level windows.
struct TApplicationWindowSearch {
    DWORD ProcessId;
    HWND Found = nullptr;
};

static BOOL CALLBACK MatchApplicationWindow(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<TApplicationWindowSearch*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[32] = {};
    GetClassNameA(window, name, sizeof name);
    if (owner != search->ProcessId || std::string(name) != "TApplication")
        return TRUE;
    search->Found = window;
    return FALSE;
}

static HWND FindApplicationWindow(DWORD processId)
{
    TApplicationWindowSearch search{processId};
    EnumWindows(MatchApplicationWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

TEST(LiveReporter, FailingMainThreadAnswersMessagesWhileItsBoxIsUp)
{
    // The program pauses its other threads while it handles a failure; the failing main thread waits
    // for its own handling and still answers what is sent to its windows, while a worker of the
    // program, once it comes back to its message retrieval, stays there.
    std::vector<std::string> texts;
    bool answered = false, workerHeld = false;
    HWND worker = nullptr;
    const TWhileRunning clickClose = ClickInBox("close bug report", texts);
    const TLiveRun closed = RunLiveProgram("box main-av-worker", [&](DWORD processId) {
        if (!FindBox(processId))
            return false;
        if (!worker) {
            worker = FindWindowA("hxLiveWorkerWindow", nullptr);
            if (worker)
                PostMessageA(worker, WM_APP, 0, 0);
            return false;
        }
        // The worker took the message (its title counts it) and went back for the next one.
        char taken[8] = "";
        GetWindowTextA(worker, taken, sizeof taken);
        if (std::string(taken) != "1")
            return false;
        HWND application = FindApplicationWindow(processId);
        DWORD_PTR result = 0;
        answered = application &&
                   SendMessageTimeoutA(application, WM_NULL, 0, 0, SMTO_NORMAL, 3000, &result) != 0;
        workerHeld = SendMessageTimeoutA(worker, WM_NULL, 0, 0, SMTO_NORMAL, 500, &result) == 0;
        return clickClose(processId);
    });
    EXPECT_TRUE(answered);
    EXPECT_TRUE(workerHeld);
    EXPECT_EQ(closed.ExitCode, 1u);
    EXPECT_EQ(CountReports(closed.Reports), 1) << closed.Reports;
}

TEST(LiveReporter, ExceptionBoxContinueLetsTheProgramGoOn)
{
    std::vector<std::string> texts;
    const TLiveRun continued = RunLiveProgram("box timer-throw", ClickInBox("continue bug report", texts));
    EXPECT_EQ(continued.ExitCode, 0u);
    EXPECT_TRUE(Has(texts, "close bug report"));
    ASSERT_EQ(CountReports(continued.Reports), 1) << continued.Reports;
    EXPECT_EQ(HeaderValue(continued.Reports, "exception class"), "ELiveTestError");
}

TEST(LiveReporter, ExceptionBoxContinueAfterAWorkerFaultLetsTheProgramGoOn)
{
    std::vector<std::string> texts;
    const TLiveRun continued = RunLiveProgram("box worker-av", ClickInBox("continue bug report", texts));
    EXPECT_EQ(continued.ExitCode, 0u);
    EXPECT_TRUE(Has(texts, "close bug report"));
    ASSERT_EQ(CountReports(continued.Reports), 1) << continued.Reports;
    EXPECT_EQ(HeaderValue(continued.Reports, "exception class"), "EAccessViolation");
}

TEST(LiveReporter, ExceptionBoxRestartStartsTheProgramAgain)
{
    std::vector<std::string> texts;
    DWORD first = 0;
    const TLiveRun restarted = RunLiveProgram("box main-av", [&](DWORD processId) {
        first = processId;
        return ClickInBox("restart bug report", texts)(processId);
    });
    EXPECT_EQ(restarted.ExitCode, 2u);
    // The new copy, started with the same command line, fails the same way and shows its box.
    HWND box = nullptr;
    for (DWORD start = GetTickCount(); !box && GetTickCount() - start < 20000; Sleep(50))
        for (HWND window = FindWindowA("hxExceptWndClass", nullptr); window && !box;
             window = FindWindowExA(nullptr, window, "hxExceptWndClass", nullptr)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != first && IsWindowVisible(window))
                box = window;
        }
    ASSERT_NE(box, nullptr) << "no new program";
    DWORD successor = 0;
    GetWindowThreadProcessId(box, &successor);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, successor);
    ASSERT_NE(process, nullptr);
    SendMessageA(FindWindowExA(box, nullptr, "Button", "close bug report"), BM_CLICK, 0, 0);
    EXPECT_EQ(WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
    CloseHandle(process);
}

TEST(LiveReporter, AThreadTableThatCannotBeMadeEndsTheProgramAsAFailure)
{
    // An event holds the name of the program's thread table, so the table cannot be made.
    HANDLE squatter = nullptr;
    const auto takeTheName = [&](DWORD processId) {
        squatter = CreateEventA(nullptr, TRUE, FALSE, ThreadTableName(processId).c_str());
    };
    std::string text;
    const auto answerTheMessage = [&](DWORD processId) {
        for (HWND window = FindWindowA("#32770", "hxExcept"); window;
             window = FindWindowExA(nullptr, window, "#32770", "hxExcept")) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != processId)
                continue;
            for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
                char line[256] = "";
                GetWindowTextA(child, line, sizeof line);
                if (std::string(line).find("internal error") != std::string::npos)
                    text = line;
            }
            PostMessageA(window, WM_COMMAND, IDOK, 0);
            return true;
        }
        return false;
    };
    const TLiveRun run = RunLiveProgram("worker-throw", answerTheMessage, TEarlierReports::Delete, takeTheName);
    EXPECT_NE(squatter, nullptr);
    EXPECT_EQ(text, "internal error (opening global buffer)");
    EXPECT_EQ(run.ExitCode, 1u);
    if (squatter)
        CloseHandle(squatter);
}

namespace {

std::string HandlerLogPath()
{
    return TestProgramFolder() + "hxLiveHandlers.txt";
}

// A "handlers" run: what its registered handlers wrote, one line each.
std::vector<std::string> RunWithHandlers(const std::string& failure, TLiveRun& run,
                                         const TWhileRunning& whileRunning = nullptr)
{
    const std::string log = HandlerLogPath();
    DeleteFileA(log.c_str());
    run = RunLiveProgram(failure, whileRunning);
    const std::string text = ReadFileBytes(log);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

} // namespace

TEST(LiveReporter, RegisteredHandlersSeeTheStagesInOrderOnTheThreadsTheyAskFor)
{
    // The main thread answers while a worker fails: stages 1 and 2 run there, the second with the
    // main thread held by the pause and let go for it.
    TLiveRun run;
    std::vector<std::string> seen = RunWithHandlers("handlers worker-async", run);
    EXPECT_EQ(run.ExitCode, 0u);
    EXPECT_EQ(CountReports(run.Reports), 1) << run.Reports;
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], "exception 1 at 1 main");
    EXPECT_EQ(seen[1], "exception 2 at 2 main");
    EXPECT_TRUE(seen[2] == "exception 3 at 3 other" || seen[2] == "exception 3 at 4 other") << seen[2];
    EXPECT_EQ(seen[3], "exception 4 at 4 other");

    // The main thread waits for the worker without answering: they run on the handler thread.
    seen = RunWithHandlers("handlers worker-throw", run);
    EXPECT_EQ(run.ExitCode, 0u);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], "exception 1 at 1 other");
    EXPECT_EQ(seen[1], "exception 2 at 2 other");
}

TEST(LiveReporter, ClaimingActionHandlerStopsTheBuiltInSave)
{
    TLiveRun run;
    const std::vector<std::string> seen = RunWithHandlers("handlers claim timer-throw", run);
    EXPECT_EQ(run.ExitCode, 0u);
    EXPECT_TRUE(Has(seen, "action 1 other"));
    EXPECT_EQ(CountReports(run.Reports), 0) << run.Reports;
}

TEST(LiveReporter, StageFourHandlerMakesClosingWaitForTheCompleteReport)
{
    // Nothing is saved: only the stage-4 handler asks for the complete report before the close.
    TLiveRun run;
    const std::vector<std::string> seen = RunWithHandlers("handlers close main-av", run);
    EXPECT_EQ(run.ExitCode, 1u);
    EXPECT_EQ(CountReports(run.Reports), 0) << run.Reports;
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), "exception 1 at 1 main");
    EXPECT_EQ(seen.back(), "exception 4 at 4 other");
}

TEST(LiveReporter, CloseHandlerThatCallsExitEndsTheProgramWithItsReportSaved)
{
    // The handler runs while the handling waits for it; exit then finishes the program from there:
    // on the main thread, which answers while its own failure is handled or is let go by the pause
    // while a worker's is, and on the handler thread, also for a freeze, whose report the freeze
    // watch waits for.
    const struct {
        const char* Failure;
        std::string Where;
    } runs[] = {{"main-av", "main"}, {"main-av", "other"}, {"worker-async", "main"}, {"worker-async", "other"},
                {"freeze", "other"}};
    for (const auto& [failure, where] : runs) {
        const std::string run = "exit-" + where + " " + failure;
        DWORD calledAt = 0;
        const auto exitCalled = [&](DWORD) {
            if (ReadFileBytes(HandlerLogPath()).find("action 6 ") == std::string::npos)
                return false;
            calledAt = GetTickCount();
            return true;
        };
        TLiveRun ended;
        const std::vector<std::string> seen = RunWithHandlers("handlers " + run, ended, exitCalled);
        const DWORD endedAt = GetTickCount();
        EXPECT_EQ(ended.ExitCode, 3u) << run;
        EXPECT_EQ(CountReports(ended.Reports), 1) << run << ended.Reports;
        EXPECT_TRUE(Has(seen, "action 6 " + where)) << run;
        // Not seen while the program ran: it ended within one look.
        EXPECT_TRUE(calledAt == 0 || endedAt - calledAt < 5000) << run << ": " << endedAt - calledAt << " ms";
    }
}
