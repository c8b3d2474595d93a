#include "Forms.h"
#include "GuiTestSupport.h"
#include "KvLaunch.h"
#include "KvShellCom.h"
#include "KvShellInfo.h"
#include "TestSupport.h"
#include "Thread.h"
#include "jsLinkImage.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace {

std::string HelperPath() {
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.rfind('\\') + 1) + "LaunchHelper.exe";
}

// A named event the helper waits for before it exits; opened at the latest when the gate goes.
struct TGate {
    std::string name = UniqueName("LaunchGate");
    TUniqueHandle event{CreateEventA(nullptr, TRUE, FALSE, name.c_str())};
    ~TGate() { Open(); }
    void Open() { SetEvent(event.Get()); }
};

// Waits for handle, running messages and synchronised calls meanwhile.
void PumpUntilSignalled(HANDLE handle) {
    const HANDLE handles[2] = {handle, SyncEvent()};
    while (MsgWaitForMultipleObjectsEx(2, handles, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) > WAIT_OBJECT_0)
        Application.ProcessMessages();
}

// Runs work on a thread of its own; the end of the object waits for it, pumping meanwhile.
class TBackground {
public:
    explicit TBackground(std::function<void()> work) : work_(std::move(work)) {
        thread_.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }
    ~TBackground() { PumpUntilSignalled(thread_.Get()); }

private:
    static DWORD WINAPI Run(void* data) {
        static_cast<TBackground*>(data)->work_();
        return 0;
    }
    std::function<void()> work_;
    TUniqueHandle thread_;
};

// What a launcher raised, in order.
struct TEventLog {
    std::string events;
    DWORD errorCode = 0;

    void Attach(TKvLauncher& launcher) {
        launcher.OnFinished = [this](TObject*) { events += "finished "; };
        launcher.OnTimeout = [this](TObject*) { events += "timeout "; };
        launcher.OnError = [this](TObject*, DWORD code) {
            events += "error ";
            errorCode = code;
        };
    }
};

using guitest::PumpUntil;

// The launch thread of a thread-mode launcher whose program still runs, to wait for its end.
TUniqueHandle OpenLaunchThread(const TKvLauncher& launcher) {
    return TUniqueHandle(OpenThread(SYNCHRONIZE, FALSE, launcher.LaunchThread()->ThreadID()));
}

struct TWaitMode {
    const char* name;
    bool waitUntilFinished;
    TKvWaitType waitType;
};
const TWaitMode kWaitModes[] = {
    {"full stop", true, wtFullStop},
    {"processing messages", true, wtProcessMessages},
    {"thread", false, wtFullStop},
};

class KvLauncherTest : public GuiTest {
protected:
    void Prepare(TKvLauncher& launcher, const TWaitMode& mode, const std::string& parameters) {
        launcher.SetFileName(HelperPath());
        launcher.SetParameters(parameters);
        launcher.SetWaitUntilFinished(mode.waitUntilFinished);
        launcher.SetWaitType(mode.waitType);
        log.Attach(launcher);
    }
    // Launches and waits for the launch's event; the launcher is idle again with it.
    void LaunchAndSettle(TKvLauncher& launcher) {
        const size_t before = log.events.size();
        launcher.LaunchProgram();
        PumpUntil([&] { return log.events.size() > before; });
    }

    TEventLog log;
};

TEST_F(KvLauncherTest, DefaultsAndAnEmptyFileName) {
    TKvLauncher launcher(nullptr);
    EXPECT_EQ(launcher.Action(), "Open");
    EXPECT_EQ(launcher.Timeout(), -1);
    EXPECT_EQ(launcher.WaitType(), wtFullStop);
    EXPECT_FALSE(launcher.WaitUntilFinished());
    EXPECT_EQ(launcher.ShowMode(), smNormal);
    EXPECT_FALSE(GetPropInfo(launcher, "About").Stored(launcher));
    EXPECT_TRUE(GetPropInfo(launcher, "Timeout").Stored(launcher));

    log.Attach(launcher);
    for (const TWaitMode& mode : kWaitModes) {
        launcher.SetWaitUntilFinished(mode.waitUntilFinished);
        launcher.SetWaitType(mode.waitType);
        launcher.LaunchProgram();
        EXPECT_EQ(launcher.LaunchThread(), nullptr) << mode.name;
        EXPECT_FALSE(launcher.Running()) << mode.name;
    }
    EXPECT_EQ(launcher.StartProgram(), 0);
    Application.ProcessMessages();
    EXPECT_EQ(log.events, "");
    EXPECT_EQ(launcher.InstanceHandle(), nullptr);
}

TEST_F(KvLauncherTest, ReportsTheExitCodeInEveryWaitMode) {
    const std::pair<TShowMode, int> shows[] = {{smMinimized, SW_SHOWMINIMIZED}, {smMaximized, SW_SHOWMAXIMIZED},
                                               {smHide, SW_HIDE}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(kWaitModes[i].name);
        TKvLauncher launcher(nullptr);
        log = TEventLog{};
        Prepare(launcher, kWaitModes[i], std::to_string(40 + i));
        LaunchAndSettle(launcher);
        EXPECT_EQ(log.events, "finished ");
        EXPECT_EQ(launcher.ExitCode(), static_cast<DWORD>(40 + i));
        EXPECT_GT(reinterpret_cast<INT_PTR>(launcher.InstanceHandle()), 32);
        EXPECT_FALSE(launcher.Running());
        EXPECT_EQ(launcher.ProcessHandle(), nullptr);
        EXPECT_EQ(launcher.LaunchThread(), nullptr);

        // Idle again: a second launch runs, and the program sees the show mode.
        launcher.SetParameters("show");
        launcher.SetShowMode(shows[i].first);
        LaunchAndSettle(launcher);
        EXPECT_EQ(log.events, "finished finished ");
        EXPECT_EQ(launcher.ExitCode(), static_cast<DWORD>(shows[i].second));

        // Started without waiting: nothing watched, nothing reported.
        EXPECT_EQ(launcher.StartProgram(), 0);
        EXPECT_EQ(launcher.ProcessHandle(), nullptr);
        Application.ProcessMessages();
        EXPECT_EQ(log.events, "finished finished ");
    }
}

TEST_F(KvLauncherTest, TimeoutRaisesOnTimeoutAndNegativeWaitsWithoutLimit) {
    for (const TWaitMode& mode : kWaitModes) {
        SCOPED_TRACE(mode.name);
        TGate gate;
        TKvLauncher launcher(nullptr);
        log = TEventLog{};
        Prepare(launcher, mode, "5 " + gate.name);
        launcher.SetTimeout(150);
        LaunchAndSettle(launcher);
        EXPECT_EQ(log.events, "timeout ");
        EXPECT_FALSE(launcher.Running());
        EXPECT_EQ(launcher.ProcessHandle(), nullptr);
    }
    // Any negative limit is none, the thread's counter included.
    for (const TWaitMode& mode : kWaitModes) {
        for (int timeout : {-1, -5}) {
            SCOPED_TRACE(std::string(mode.name) + " " + std::to_string(timeout));
            TGate gate;
            TKvLauncher launcher(nullptr);
            log = TEventLog{};
            Prepare(launcher, mode, "6 " + gate.name);
            launcher.SetTimeout(timeout);
            // Opened once the launcher's 100 ms polling step has passed a few times.
            TBackground opener([&] {
                Sleep(400);
                gate.Open();
            });
            LaunchAndSettle(launcher);
            EXPECT_EQ(log.events, "finished ");
            EXPECT_EQ(launcher.ExitCode(), 6u);
        }
    }
}

TEST_F(KvLauncherTest, ProcessingMessagesRunsCallsAndKeepsItsDeadline) {
    // Calls of other threads run while the launcher waits; here one lets the program end.
    TGate gate;
    TKvLauncher launcher(nullptr);
    Prepare(launcher, kWaitModes[1], "8 " + gate.name);
    launcher.SetTimeout(10000);
    int callsWhileRunning = 0;
    std::atomic<bool> stop = false;
    const auto callUntilStopped = [&stop](const TThreadMethod& call) {
        return [&stop, call] {
            while (!stop)
                TThread::Synchronize(call);
        };
    };
    {
        TBackground caller(callUntilStopped([&] {
            callsWhileRunning += launcher.Running();
            gate.Open();
        }));
        launcher.LaunchProgram();
        stop = true;
    }
    EXPECT_EQ(log.events, "finished ");
    EXPECT_EQ(launcher.ExitCode(), 8u);
    EXPECT_GT(callsWhileRunning, 0);

    // A stream of calls does not put the time limit off.
    TGate closed;
    log = TEventLog{};
    launcher.SetParameters("9 " + closed.name);
    launcher.SetTimeout(200);
    stop = false;
    {
        TBackground caller(callUntilStopped([] {}));
        launcher.LaunchProgram();
        stop = true;
    }
    EXPECT_EQ(log.events, "timeout ");
}

TEST_F(KvLauncherTest, FailedStartReportsTheShellErrorWithoutException) {
    TTempDir dir;
    const std::string missing = dir.Path() + "\\missing.exe";
    for (const TWaitMode& mode : kWaitModes) {
        SCOPED_TRACE(mode.name);
        TKvLauncher launcher(nullptr);
        log = TEventLog{};
        Prepare(launcher, mode, "");
        launcher.SetFileName(missing);
        EXPECT_NO_THROW(LaunchAndSettle(launcher));
        EXPECT_EQ(log.events, "error ");
        EXPECT_EQ(log.errorCode, static_cast<DWORD>(SE_ERR_FNF));
        EXPECT_EQ(launcher.ErrorCode(), static_cast<DWORD>(SE_ERR_FNF));
        EXPECT_FALSE(launcher.Running());
        EXPECT_EQ(launcher.StartProgram(), SE_ERR_FNF);
    }
}

TEST_F(KvLauncherTest, FreeingTheLauncherStopsItsThread) {
    TGate gate;
    auto launcher = std::make_unique<TKvLauncher>(nullptr);
    Prepare(*launcher, kWaitModes[2], "1 " + gate.name);
    launcher->LaunchProgram();
    ASSERT_TRUE(launcher->Running());
    TUniqueHandle thread = OpenLaunchThread(*launcher);
    launcher.reset();
    EXPECT_EQ(WaitForSingleObject(thread.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    gate.Open();
    Application.ProcessMessages();
    EXPECT_EQ(log.events, "");

    // Freed by its owner while the program's end is being reported.
    using TKeptLauncher = TKeptAfterFree<TKvLauncher>;
    auto owner = std::make_unique<TComponent>(nullptr);
    auto kept = new TKeptLauncher(owner.get());
    Prepare(*kept, kWaitModes[2], "2");
    kept->OnFinished = [&](TObject*) {
        log.events += "finished ";
        owner.reset();
    };
    kept->LaunchProgram();
    ASSERT_NE(kept->LaunchThread(), nullptr);
    thread = OpenLaunchThread(*kept);
    PumpUntil([&] { return !owner; });
    // The thread carries on alone, touching nothing of the launcher.
    PumpUntilSignalled(thread.Get());
    EXPECT_EQ(log.events, "finished ");
    EXPECT_TRUE(TKeptLauncher::FreedMemoryUntouched());
}

TEST_F(KvLauncherTest, ThreadEventErrorsGoToTheApplication) {
    std::string handled;
    Application.OnException = [&](TObject*, std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const Exception& e) {
            handled += e.Message;
        }
    };
    TKvLauncher launcher(nullptr);
    Prepare(launcher, kWaitModes[2], "4");
    launcher.OnFinished = [&](TObject*) {
        log.events += "finished ";
        launcher.LaunchProgram();  // still busy with this launch: nothing happens
        throw Exception("handler failed");
    };
    LaunchAndSettle(launcher);
    EXPECT_EQ(handled, "handler failed");
    EXPECT_FALSE(launcher.Running());
    LaunchAndSettle(launcher);
    EXPECT_EQ(log.events, "finished finished ");
}

// ---- Link image ---------------------------------------------------------------------------

class JsLinkImageTest : public GuiTest {};

TEST_F(JsLinkImageTest, BuiltOnAFormOnly) {
    TTestForm form;
    auto image = new TjsLinkImage(&form);
    EXPECT_EQ(image->Parent(), &form);
    EXPECT_EQ(image->LinkType(), lthttp);
    EXPECT_EQ(image->Cursor(), crHandPoint);
    EXPECT_TRUE(image->Font()->Style().Contains(fsUnderline));
    EXPECT_EQ(ColorToRGB(image->Font()->Color()), RGB(0, 0, 255));

    TComponent plain(nullptr);
    EXPECT_THROW(TjsLinkImage{&plain}, EInvalidCast);
    EXPECT_EQ(plain.ComponentCount(), 0);
    TjsLinkImage loose(nullptr);
    EXPECT_EQ(loose.Parent(), nullptr);
}

TEST_F(JsLinkImageTest, HyperLinkFillsOnlyAnEmptyHint) {
    TTestForm form;
    auto kept = new TjsLinkImage(&form);
    kept->SetHint("Our site");
    kept->SetHyperLink("www.example.org");
    EXPECT_EQ(kept->Hint(), "Our site");
    EXPECT_TRUE(kept->ShowHint());

    auto filled = new TjsLinkImage(&form);
    filled->SetHyperLink("www.example.org");
    EXPECT_EQ(filled->Hint(), "www.example.org");
    EXPECT_TRUE(filled->ShowHint());

    auto empty = new TjsLinkImage(&form);
    empty->SetHyperLink("");
    EXPECT_FALSE(empty->ShowHint());
}

TEST_F(JsLinkImageTest, LeftClickOpensTheLinkThroughTheShell) {
    std::string opened;
    HWND openedOwner = nullptr;
    TShellOpenFunction previous = SetShellOpenHook([&](HWND owner, const std::string& operation, const std::string& file,
                                                       const std::string& parameters, const std::string& directory,
                                                       int show) {
        openedOwner = owner;
        opened += operation + "|" + file + "|" + parameters + "|" + directory + "|" + std::to_string(show) + " ";
        return true;
    });
    TTestForm form;
    auto image = new TjsLinkImage(&form);
    image->SetBounds(20, 30, 50, 40);
    image->SetLinkType(ltmailto);
    image->SetHyperLink("someone@example.org");
    std::string mouse;
    image->OnMouseDown = [&](TObject*, TMouseButton, TShiftState, int, int) { mouse += "down "; };
    form.Show();

    SendMessageA(form.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(25, 35));
    SendMessageA(form.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(25, 35));
    EXPECT_EQ(opened, "Open|mailto:someone@example.org|||" + std::to_string(SW_SHOWNORMAL) + " ");
    EXPECT_EQ(openedOwner, form.Handle());
    EXPECT_EQ(mouse, "");
    // Other buttons are not links.
    SendMessageA(form.Handle(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(25, 35));
    EXPECT_EQ(mouse, "down ");

    const char* const urls[] = {"file://x", "ftp://x", "gopher://x", "http://x", "https://x",
                                "mailto:x", "news:x",  "telnet:x",   "wais:x"};
    image->SetHyperLink("x");
    for (int type = ltfile; type <= ltwais; ++type) {
        image->SetLinkType(static_cast<tLinkType>(type));
        EXPECT_EQ(image->Url(), urls[type]);
    }
    SetShellOpenHook(previous);
}

// ---- Shell support ------------------------------------------------------------------------

TEST(KvShellCom, EntersAndLeavesOnlyWhatItEntered) {
    HRESULT result = E_FAIL, after = E_FAIL;
    TBackground([&] {
        {
            TKvShellCom com;
            result = com.Result();
        }
        after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // succeeds only outside an apartment
        if (SUCCEEDED(after))
            CoUninitialize();
    });
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(after, S_OK);

    TBackground([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            TKvShellCom com;
            result = com.Result();
            EXPECT_FALSE(com.Initialized());
        }
        after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // still in it: S_FALSE
        CoUninitialize();
        CoUninitialize();
    });
    EXPECT_EQ(result, RPC_E_CHANGED_MODE);
    EXPECT_EQ(after, S_FALSE);
}

TEST(KvShellInfo, ReadsVersionsAndHoldsTheAllocator) {
    {
        TKvShellInfo info;
        EXPECT_EQ(OsVersionInfo().dwOSVersionInfoSize, 148u);
        const DWORD version = GetVersion();
        EXPECT_EQ(OsVersionInfo().dwMajorVersion, LOBYTE(LOWORD(version)));
        EXPECT_EQ(OsVersionInfo().dwMinorVersion, HIBYTE(LOWORD(version)));
        ASSERT_NE(ShellMalloc(), nullptr);
        void* block = ShellMalloc()->Alloc(16);
        EXPECT_NE(block, nullptr);
        ShellMalloc()->Free(block);

        uint64_t comctl = 0;
        ASSERT_TRUE(GetFileVersion("comctl32.dll", comctl));
        EXPECT_EQ(ComCtlVersion(), comctl);
        EXPECT_GE(ComCtlVersion(), MakeFileVersion(4, 70));
    }
    EXPECT_EQ(ShellMalloc(), nullptr);

    TTempDir dir;
    uint64_t version = 1;
    EXPECT_FALSE(GetFileVersion(dir.AddFile("plain.txt", "text"), version));
    EXPECT_FALSE(GetFileVersion(dir.Path() + "\\missing.dll", version));

    const uint64_t read = ComCtlVersion();
    SetComCtlVersion(MakeFileVersion(6, 0));
    EXPECT_EQ(ComCtlVersion(), MakeFileVersion(6, 0));
    SetComCtlVersion(0);
    EXPECT_EQ(ComCtlVersion(), read);
}

}  // namespace
