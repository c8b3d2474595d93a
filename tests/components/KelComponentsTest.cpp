#include "Forms.h"
#include "Handles.h"
#include "Registry.h"
#include "SysUtils.h"
#include "TestSupport.h"
#include "kelComponents.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace {

constexpr DWORD kProcessTimeoutMs = 30000;

std::string ReadValue(HKEY root, const std::string& key, const std::string& name, DWORD* type = nullptr) {
    char data[1024] = {};
    DWORD size = sizeof(data) - 1;
    DWORD found = REG_NONE;
    if (RegGetValueA(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &found, data, &size) != ERROR_SUCCESS)
        return "<missing>";
    if (type)
        *type = found;
    return data;
}

void WriteValue(HKEY root, const std::string& key, const std::string& name, const std::string& data) {
    TRegistry registry;
    registry.SetRootKey(root);
    ASSERT_TRUE(registry.OpenKey(key, true));
    registry.WriteString(name, data);
}

void DeleteValue(HKEY root, const std::string& key, const std::string& name) {
    TRegistry registry;
    registry.SetRootKey(root);
    if (registry.OpenKey(key, false))
        registry.DeleteValue(name);
}

const std::string kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kRunOnceKey = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// Values the test may leave under the Run keys, removed whatever happens.
class TRunValues {
public:
    ~TRunValues() {
        for (const auto& [root, key, name] : values_)
            DeleteValue(root, key, name);
    }
    void Add(HKEY root, const std::string& key, const std::string& name) { values_.push_back({root, key, name}); }

private:
    struct TValue {
        HKEY root;
        std::string key;
        std::string name;
    };
    std::vector<TValue> values_;
};

}  // namespace

// ---- Auto-run ----

TEST(KelAutoRun, KeepsItsValueAndLeavesOthersAlone) {
    const std::string name1 = UniqueName("kelauto") + ".exe";
    const std::string name2 = UniqueName("kelauto") + ".exe";
    const std::string other = UniqueName("kelother");
    TRunValues cleanup;
    for (const std::string& name : {name1, name2, other}) {
        cleanup.Add(HKEY_CURRENT_USER, kRunKey, name);
        cleanup.Add(HKEY_CURRENT_USER, kRunOnceKey, name);
    }
    WriteValue(HKEY_CURRENT_USER, kRunKey, other, "c:\\other.exe");

    auto autoRun = std::make_unique<TkelAutoRun>(nullptr);
    EXPECT_EQ(autoRun->FileName(), Application.ExeName());
    EXPECT_EQ(autoRun->Kind(), aekMachineRun);
    EXPECT_FALSE(autoRun->AutoRun());
    autoRun->SetKind(aekUserRun);

    // With AutoRun off, naming a file deletes a value of that name and writes nothing.
    WriteValue(HKEY_CURRENT_USER, kRunKey, name1, "stale");
    autoRun->SetFileName("c:\\app folder\\" + name1);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, name1), "<missing>");

    DWORD type = 0;
    autoRun->SetAutoRun(true);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, name1, &type), "c:\\app folder\\" + name1);
    EXPECT_EQ(type, DWORD(REG_SZ));

    // A new file name moves the value; a new kind moves it to the other key.
    autoRun->SetFileName("%ProgramFiles%\\" + name2);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, name1), "<missing>");
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, name2, &type), "%ProgramFiles%\\" + name2);
    EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
    autoRun->SetKind(aekUserRunOnce);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, name2), "<missing>");
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunOnceKey, name2), "%ProgramFiles%\\" + name2);

    autoRun->SetAutoRun(false);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunOnceKey, name2), "<missing>");
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, other), "c:\\other.exe");

    // Service keys are refused here: nothing is written.
    autoRun->SetKind(aekServiceRun);
    autoRun->SetAutoRun(true);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices", name2),
              "<missing>");
    autoRun.reset();

    // Settings made while loading act at once and Loaded applies them again.
    auto loading = std::make_unique<TkelAutoRun>(nullptr);
    loading->BeginLoading();
    loading->SetKind(aekUserRun);
    loading->SetFileName("c:\\" + name1);
    loading->SetAutoRun(true);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, name1), "c:\\" + name1);
    DeleteValue(HKEY_CURRENT_USER, kRunKey, name1);
    loading->Loaded();
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, name1), "c:\\" + name1);
    loading->RemoveAutoRun();
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, name1), "<missing>");
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRunKey, other), "c:\\other.exe");
}

// ---- Shutdown ----

namespace {

struct TPowerCall {
    std::string what;
    unsigned flags;
    unsigned force;
    bool operator==(const TPowerCall&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TPowerCall& call) {
    return out << call.what << "(" << call.flags << ", " << call.force << ")";
}

// Records every power call instead of making it.
class KelShutdown : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = SetPowerCallsHook({
            [this](UINT flags, DWORD reason) {
                calls.push_back({"ExitWindowsEx", flags, reason});
                return result;
            },
            [this](BOOL suspend, BOOL force) {
                calls.push_back({"SetSystemPowerState", unsigned(suspend), unsigned(force)});
                return result;
            },
        });
    }
    void TearDown() override { SetPowerCallsHook(previous_); }

    std::vector<TPowerCall> calls;
    BOOL result = TRUE;

private:
    TkelPowerCalls previous_;
};

}  // namespace

TEST_F(KelShutdown, EveryActionMakesItsCall) {
    struct TCase {
        TkelShutdownActionType action;
        TPowerCall plain;
        TPowerCall forced;
    };
    const TCase cases[] = {
        {aatPowerOff, {"ExitWindowsEx", 8, 0}, {"ExitWindowsEx", 12, 0}},
        {aatShutdown, {"ExitWindowsEx", 1, 0}, {"ExitWindowsEx", 5, 0}},
        {aatReboot, {"ExitWindowsEx", 2, 0}, {"ExitWindowsEx", 6, 0}},
        {aatLogOff, {"ExitWindowsEx", 0, 0}, {"ExitWindowsEx", 4, 0}},
        {aatSuspend, {"SetSystemPowerState", 1, 0}, {"SetSystemPowerState", 1, 1}},
        {aatHibernate, {"SetSystemPowerState", 0, 0}, {"SetSystemPowerState", 0, 1}},
    };
    TkelShutdown shutdown(nullptr);
    EXPECT_EQ(shutdown.ActionType, aatPowerOff);
    EXPECT_FALSE(shutdown.Force);
    for (const TCase& c : cases) {
        shutdown.ActionType = c.action;
        for (bool force : {false, true}) {
            shutdown.Force = force;
            calls.clear();
            EXPECT_TRUE(shutdown.Execute());
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0], force ? c.forced : c.plain) << "action " << c.action;
        }
    }
}

TEST_F(KelShutdown, VetoAndFailureReportFalse) {
    TkelShutdown shutdown(nullptr);
    shutdown.ActionType = aatReboot;
    shutdown.Force = true;
    int asked = 0;
    shutdown.OnQueryShutdown = [&](TObject* sender, bool& canShutdown) {
        EXPECT_EQ(sender, &shutdown);
        EXPECT_TRUE(canShutdown);
        ++asked;
        canShutdown = false;
    };
    EXPECT_FALSE(shutdown.Execute());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(calls.empty());

    shutdown.OnQueryShutdown = {};
    result = FALSE;
    EXPECT_FALSE(shutdown.Execute());
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(KelShutdown, PrivilegeStepClosesItsHandles) {
    // Free handle slots are handed out again: with nothing leaked, the same ones come back.
    auto takeSlots = [] {
        std::vector<HANDLE> slots;
        for (int i = 0; i < 8; ++i)
            slots.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        for (HANDLE slot : slots)
            CloseHandle(slot);
        std::sort(slots.begin(), slots.end());
        return slots;
    };
    TkelShutdown shutdown(nullptr);
    const std::vector<HANDLE> before = takeSlots();
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(shutdown.Execute());
    EXPECT_EQ(takeSlots(), before);
    EXPECT_EQ(calls.size(), 4u);
}

// ---- Single instance, inside this process ----

namespace {

DWORD WINAPI CheckOnOtherThread(void* data) {
    auto guard = static_cast<TkelOneInstance*>(data);
    return guard->IsAlreadyRunning() ? 1 : 0;
}

DWORD RunningSeenByAnotherThread(TkelOneInstance& guard) {
    TUniqueHandle thread(CreateThread(nullptr, 0, CheckOnOtherThread, &guard, 0, nullptr));
    EXPECT_TRUE(thread.Valid());
    EXPECT_EQ(WaitForSingleObject(thread.Get(), kProcessTimeoutMs), DWORD(WAIT_OBJECT_0));
    DWORD code = 2;
    GetExitCodeThread(thread.Get(), &code);
    return code;
}

DWORD WINAPI OwnAndEnd(void* data) {
    auto guard = static_cast<TkelOneInstance*>(data);
    // Takes "Default" and ends without releasing it: the mutex is abandoned.
    return guard->IsAlreadyRunning() ? 1 : 0;
}

}  // namespace

TEST(KelOneInstance, MutexNamesCarryNoBackslash) {
    TkelOneInstance guard(nullptr);
    EXPECT_TRUE(guard.ActivatePrevInstance);
    EXPECT_FALSE(guard.ExeNameAsIdentifier);
    EXPECT_FALSE(guard.ShowMessage);
    guard.Identifier = "Some\\Thing";
    EXPECT_EQ(guard.MutexBaseName(), Application.Title() + "Some/Thing.OneInstance.");
    guard.ExeNameAsIdentifier = true;
    std::string path = Application.ExeName();
    CharUpperBuffA(path.data(), static_cast<DWORD>(path.size()));
    ReplaceAll(path, "\\", "/");
    EXPECT_EQ(guard.MutexBaseName(), path + "Some/Thing.OneInstance.");
    EXPECT_EQ(guard.MutexBaseName().find('\\'), std::string::npos);
}

TEST(KelOneInstance, MutexesDecideWhoRuns) {
    TkelOneInstance guard(nullptr);
    guard.Identifier = UniqueName("kelguard");
    const std::string base = guard.MutexBaseName();

    // Another copy inside its own check holds "CriticalSection".
    {
        TUniqueHandle section(CreateMutexA(nullptr, TRUE, (base + "CriticalSection").c_str()));
        ASSERT_TRUE(section.Valid());
        EXPECT_TRUE(guard.IsAlreadyRunning());
        ReleaseMutex(section.Get());
    }

    // The first check takes "Default"; a check of another owner then times out.
    EXPECT_FALSE(guard.IsAlreadyRunning());
    EXPECT_EQ(RunningSeenByAnotherThread(guard), 1u);
    // The check left no "CriticalSection" behind.
    TUniqueHandle probe(OpenMutexA(SYNCHRONIZE, FALSE, (base + "CriticalSection").c_str()));
    EXPECT_FALSE(probe.Valid());

    // A "Default" abandoned by an owner that ended counts as free.
    TkelOneInstance other(nullptr);
    other.Identifier = UniqueName("kelguard");
    TUniqueHandle thread(CreateThread(nullptr, 0, OwnAndEnd, &other, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(thread.Get(), kProcessTimeoutMs), DWORD(WAIT_OBJECT_0));
    DWORD code = 2;
    GetExitCodeThread(thread.Get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(other.IsAlreadyRunning());
}

TEST(KelOneInstance, AHandlerKeepsTheCopyRunning) {
    TkelOneInstance guard(nullptr);
    guard.Identifier = UniqueName("kelguard");
    guard.ShowMessage = true;
    guard.ActivatePrevInstance = false;
    ASSERT_FALSE(guard.CheckOneInstance());  // this thread owns "Default" now

    int shown = 0;
    guard.OnShowMessage = [&](TObject* sender, bool& terminate) {
        EXPECT_EQ(sender, &guard);
        EXPECT_TRUE(terminate);
        EXPECT_FALSE(Application.ShowMainForm);
        ++shown;
        terminate = false;
    };
    struct TCheckThread {
        static DWORD WINAPI Run(void* data) { return static_cast<TkelOneInstance*>(data)->CheckOneInstance() ? 1 : 0; }
    };
    // Another thread's check finds this one; the handler runs there and nothing terminates.
    TUniqueHandle thread(CreateThread(nullptr, 0, TCheckThread::Run, &guard, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(thread.Get(), kProcessTimeoutMs), DWORD(WAIT_OBJECT_0));
    DWORD code = 2;
    GetExitCodeThread(thread.Get(), &code);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(Application.ShowMainForm);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

// ---- Single instance, across processes ----

namespace {

std::string ProbePath() {
    std::string exe = Application.ExeName();
    return ExtractFilePath(exe) + "OneInstanceProbe.exe";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A copy of the probe program; killed when the test leaves it running.
class TProbe {
public:
    TProbe(const std::string& title, const std::string& identifier, const std::string& report, const std::string& mode)
        : readyName_(UniqueName("kelprobe-ready")),
          ready_(CreateEventA(nullptr, TRUE, FALSE, readyName_.c_str())),
          caption_(title + " " + mode) {
        std::string command = "\"" + ProbePath() + "\" \"" + title + "\" \"" + identifier + "\" \"" + report +
                              "\" \"" + readyName_ + "\" " + mode;
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            process_.Reset(info.hProcess);
            CloseHandle(info.hThread);
        } else {
            startError_ = GetLastError();
        }
    }
    ~TProbe() {
        if (process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.Get(), 99);
            WaitForSingleObject(process_.Get(), kProcessTimeoutMs);
        }
    }
    TProbe(const TProbe&) = delete;
    TProbe& operator=(const TProbe&) = delete;

    bool Started() const { return process_.Valid(); }
    DWORD StartError() const { return startError_; }
    // Waits until the main form is up (true) or the process ended first (false).
    bool WaitReady() {
        HANDLE handles[] = {ready_.Get(), process_.Get()};
        return WaitForMultipleObjects(2, handles, FALSE, kProcessTimeoutMs) == WAIT_OBJECT_0;
    }
    bool WaitExit() { return WaitForSingleObject(process_.Get(), kProcessTimeoutMs) == WAIT_OBJECT_0; }
    DWORD ExitCode() const {
        DWORD code = 0;
        GetExitCodeProcess(process_.Get(), &code);
        return code;
    }
    void Kill() {
        TerminateProcess(process_.Get(), 9);
        WaitExit();
    }
    HWND MainWindow() const { return FindWindowA(nullptr, caption_.c_str()); }
    // Closes the main form, which ends the program.
    bool Close() {
        HWND window = MainWindow();
        return window && PostMessageA(window, WM_CLOSE, 0, 0) && WaitExit();
    }

private:
    std::string readyName_;
    TUniqueHandle ready_;
    std::string caption_;
    TUniqueHandle process_;
    DWORD startError_ = 0;
};

}  // namespace

TEST(KelOneInstanceProcesses, ASecondCopyShowsTheMessageAndBringsTheFirstBack) {
    TTempDir dir;
    const std::string title = UniqueName("KelProbe");
    const std::string identifier = "Quorvia Registry Cleaner";
    const std::string firstReport = dir.Path() + "\\first.txt";
    const std::string secondReport = dir.Path() + "\\second.txt";

    TProbe first(title, identifier, firstReport, "message");
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(first.WaitReady());
    HWND firstWindow = first.MainWindow();
    ASSERT_TRUE(firstWindow);
    ShowWindow(firstWindow, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(firstWindow));

    TProbe second(title, identifier, secondReport, "message");
    ASSERT_TRUE(second.Started()) << "error " << second.StartError();
    ASSERT_TRUE(second.WaitExit());
    EXPECT_EQ(second.ExitCode(), 0u);
    EXPECT_EQ(ReadFile(secondReport),
              "box|" + title + "|The program is already running.|" + std::to_string(MB_OK | MB_ICONEXCLAMATION) +
                  "\nshown|0\n");
    // The first copy is restored.
    EXPECT_FALSE(IsIconic(firstWindow));
    EXPECT_TRUE(IsWindowVisible(firstWindow));

    // Once the first copy died without ending cleanly, a new copy starts normally.
    first.Kill();
    TProbe third(title, identifier, dir.Path() + "\\third.txt", "message");
    ASSERT_TRUE(third.Started());
    EXPECT_TRUE(third.WaitReady());
    EXPECT_TRUE(third.Close());
    EXPECT_EQ(ReadFile(dir.Path() + "\\third.txt"), "shown|1\n");
    EXPECT_EQ(ReadFile(firstReport), "");
}

TEST(KelOneInstanceProcesses, EmptyMessageNamesTheTitleAndAHandlerKeepsTheCopy) {
    TTempDir dir;
    const std::string title = UniqueName("KelProbe");
    const std::string identifier = UniqueName("id");
    TProbe first(title, identifier, dir.Path() + "\\first.txt", "empty");
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(first.WaitReady());

    const std::string emptyReport = dir.Path() + "\\empty.txt";
    TProbe second(title, identifier, emptyReport, "empty");
    ASSERT_TRUE(second.WaitExit());
    EXPECT_EQ(ReadFile(emptyReport), "box|" + title + "|Application \"" + title + "\" is already running.|" +
                                         std::to_string(MB_OK | MB_ICONEXCLAMATION) + "\nshown|0\n");

    // A handler that clears Terminate keeps the copy, with its main form shown.
    const std::string keepReport = dir.Path() + "\\keep.txt";
    TProbe kept(title, identifier, keepReport, "keep");
    ASSERT_TRUE(kept.Started());
    ASSERT_TRUE(kept.WaitReady()) << "exit code " << kept.ExitCode() << ", report: " << ReadFile(keepReport);
    EXPECT_TRUE(IsWindowVisible(kept.MainWindow()));
    EXPECT_TRUE(kept.Close());
    EXPECT_EQ(ReadFile(keepReport), "handler\nshown|1\n");
    EXPECT_TRUE(first.Close());
}
