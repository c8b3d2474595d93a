#include "Forms.h"
#include "Handles.h"
#include "GuiTestSupport.h"
#include "kelComponents.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace guitest;

namespace {

class KelCustomTimerTest : public GuiTestFailingOnExceptions {};

TEST_F(KelCustomTimerTest, RunsOnlyWithHandlerIntervalAndEnabled) {
    TkelCustomTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_FALSE(timer.Running());  // no handler yet
    int ticks = 0;
    timer.SetInterval(10);
    timer.SetOnTimer([&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++ticks;
    });
    EXPECT_TRUE(timer.Running());
    PumpUntil([&] { return ticks >= 3; });
    timer.SetInterval(0);
    EXPECT_FALSE(timer.Running());
    timer.SetInterval(10);
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.Running());
    // A tick queued before the timer was killed is not delivered.
    const int before = ticks;
    MSG msg;
    while (PeekMessageA(&msg, timer.WindowHandle(), 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    EXPECT_EQ(ticks, before);
}

TEST_F(KelCustomTimerTest, HandlerMayFreeTheTimerAndWindowGoesWithIt) {
    auto timer = new TkelCustomTimer(nullptr);
    const HWND window = timer->WindowHandle();
    ASSERT_TRUE(IsWindow(window));
    bool freed = false;
    timer->SetInterval(5);
    timer->SetOnTimer([&](TObject*) {
        delete timer;
        freed = true;
    });
    PumpUntil([&] { return freed; });
    EXPECT_FALSE(IsWindow(window));
}

// ---- Worker threads ----

constexpr DWORD kStopLimitMs = 1000;

class KelThreadComponentTest : public GuiTestFailingOnExceptions {};

TEST_F(KelThreadComponentTest, RunsOnAWorkerThenFinishesAndTerminatesOnTheMainThread) {
    TkelThreadComponent component(nullptr);
    EXPECT_TRUE(component.Suspended());
    DWORD workerId = 0;
    std::string events;
    component.OnExecute = [&](TObject* sender) {
        workerId = GetCurrentThreadId();
        static_cast<TkelThreadComponent*>(sender)->SetReturnValue(7);
    };
    component.OnFinish = [&](TObject*) { events += GetCurrentThreadId() == MainThreadID() ? "finish " : "finish? "; };
    component.OnTerminate = [&](TObject*) { events += GetCurrentThreadId() == MainThreadID() ? "end" : "end?"; };
    component.SetPriority(tpLower);
    EXPECT_EQ(GetThreadPriority(component.Thread()->Handle()), THREAD_PRIORITY_BELOW_NORMAL);
    component.Start();
    EXPECT_FALSE(component.Suspended());
    component.WaitFor();
    EXPECT_NE(workerId, 0u);
    EXPECT_NE(workerId, MainThreadID());
    EXPECT_EQ(events, "finish end");
    EXPECT_EQ(component.ReturnValue(), 7);
}

TEST_F(KelThreadComponentTest, SynchronizedRunsTheHandlerOnTheMainThread) {
    TkelThreadComponent component(nullptr);
    component.SetSynchronized(true);
    DWORD ranOn = 0;
    component.OnExecute = [&](TObject*) { ranOn = GetCurrentThreadId(); };
    component.Start();
    component.WaitFor();
    EXPECT_EQ(ranOn, MainThreadID());
}

TEST_F(KelThreadComponentTest, AnExceptionGoesToOnExceptionOrElseToABox) {
    TkelThreadComponent component(nullptr);
    component.SetName("Worker1");
    component.OnExecute = [](TObject*) { throw EConvertError("bad value"); };
    std::string boxes;
    SetMessageBoxHook([&](HWND owner, const std::string& text, const std::string& caption, UINT flags) {
        EXPECT_EQ(owner, Application.Handle());
        EXPECT_EQ(caption, Application.Title());
        EXPECT_EQ(flags, static_cast<UINT>(MB_ICONHAND | MB_SETFOREGROUND));
        boxes += text;
        return IDOK;
    });
    bool finished = false;
    component.OnFinish = [&](TObject*) { finished = true; };
    component.Start();
    component.WaitFor();
    EXPECT_EQ(boxes, "Thread Worker1 raised exception class EConvertError with message \"bad value\".");
    EXPECT_FALSE(finished);

    boxes.clear();
    component.Restart();
    std::string caught;
    component.OnException = [&](TObject* sender, std::exception_ptr error) {
        EXPECT_EQ(sender, &component);
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            caught = e.what();
        }
    };
    component.Start();
    component.WaitFor();
    EXPECT_EQ(caught, "bad value");
    EXPECT_EQ(boxes, "");
}

TEST_F(KelThreadComponentTest, FreeingOrRestartingStopsAWorkerThatWatchesTerminated) {
    auto component = std::make_unique<TkelThreadComponent>(nullptr);
    TUniqueHandle running(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    component->OnExecute = [&](TObject* sender) {
        SetEvent(running.Get());
        auto self = static_cast<TkelThreadComponent*>(sender);
        while (!self->Terminated())
            WaitForSingleObject(self->Thread()->WakeEvent(), INFINITE);
    };
    component->Start();
    ASSERT_EQ(WaitForSingleObject(running.Get(), 5000), WAIT_OBJECT_0);
    HANDLE old = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), component->Thread()->Handle(), GetCurrentProcess(), &old, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    TUniqueHandle oldThread(old);
    DWORD start = GetTickCount();
    component->Restart();
    EXPECT_LT(GetTickCount() - start, kStopLimitMs);
    EXPECT_EQ(WaitForSingleObject(oldThread.Get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(component->Suspended());

    ResetEvent(running.Get());
    component->Start();
    ASSERT_EQ(WaitForSingleObject(running.Get(), 5000), WAIT_OBJECT_0);
    start = GetTickCount();
    component.reset();
    EXPECT_LT(GetTickCount() - start, kStopLimitMs);
}

TEST_F(KelThreadComponentTest, SuspendingStopsTheWorkerAtItsNextWaitUntilResumedOrFreed) {
    auto component = std::make_unique<TkelThreadComponent>(nullptr);
    TUniqueHandle first(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    TUniqueHandle roundDone(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    std::atomic<int> rounds{0};
    component->OnExecute = [&](TObject* sender) {
        TkelEventThread& thread = *static_cast<TkelThreadComponent*>(sender)->Thread();
        SetEvent(first.Get());
        while (thread.WaitForWake(INFINITE) == WAIT_OBJECT_0 && !thread.Terminated()) {
            ++rounds;
            SetEvent(roundDone.Get());
        }
    };
    component->Start();
    ASSERT_EQ(WaitForSingleObject(first.Get(), 5000), WAIT_OBJECT_0);
    TkelEventThread& thread = *component->Thread();
    component->SetSuspended(true);  // the worker is in its wait already
    EXPECT_TRUE(component->Suspended());
    ASSERT_EQ(WaitForSingleObject(thread.ParkedEvent(), 5000), WAIT_OBJECT_0);
    const int parkedAt = rounds;
    thread.Wake();  // a wake does not end the suspension
    EXPECT_EQ(WaitForSingleObject(thread.ParkedEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(rounds, parkedAt);

    component->SetSuspended(false);
    EXPECT_FALSE(component->Suspended());
    ASSERT_EQ(WaitForSingleObject(roundDone.Get(), 5000), WAIT_OBJECT_0);  // the stored wake's round
    EXPECT_EQ(rounds, parkedAt + 1);

    // A worker stopped in its wait ends at once when the component goes.
    component->SetSuspended(true);
    ASSERT_EQ(WaitForSingleObject(thread.ParkedEvent(), 5000), WAIT_OBJECT_0);
    const DWORD start = GetTickCount();
    component.reset();
    EXPECT_LT(GetTickCount() - start, kStopLimitMs);
}

class KelThreadTimerTest : public GuiTestFailingOnExceptions {};

TEST_F(KelThreadTimerTest, TicksOnAWorkerAndStopsWhenDisabled) {
    TkelThreadTimer timer(nullptr);
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_FALSE(timer.Running());  // no handler
    std::atomic<int> ticks{0};
    std::atomic<DWORD> ranOn{0};
    TUniqueHandle ticked(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    timer.SetInterval(10);
    timer.SetOnTimer([&](TObject*) {
        ranOn = GetCurrentThreadId();
        if (++ticks >= 3)
            SetEvent(ticked.Get());
    });
    ASSERT_TRUE(timer.Running());
    ASSERT_EQ(WaitForSingleObject(ticked.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_NE(ranOn.load(), MainThreadID());
    const DWORD start = GetTickCount();
    timer.SetEnabled(false);
    EXPECT_LT(GetTickCount() - start, kStopLimitMs);
    EXPECT_FALSE(timer.Running());
    const int stopped = ticks;
    EXPECT_EQ(WaitForSingleObject(ticked.Get(), 50), WAIT_TIMEOUT);
    EXPECT_EQ(ticks.load(), stopped);
}

TEST_F(KelThreadTimerTest, ANewIntervalEndsTheWaitUnderway) {
    TkelThreadTimer timer(nullptr);
    TUniqueHandle ticked(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    timer.SetInterval(0);  // no ticks at all, rather than ticks without pause
    timer.SetOnTimer([&](TObject*) { SetEvent(ticked.Get()); });
    EXPECT_EQ(WaitForSingleObject(ticked.Get(), 50), WAIT_TIMEOUT);
    timer.SetInterval(60000);
    const DWORD start = GetTickCount();
    timer.SetInterval(20);
    ASSERT_EQ(WaitForSingleObject(ticked.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_LT(GetTickCount() - start, kStopLimitMs);
}

TEST_F(KelThreadTimerTest, SynchronizedTicksRunOnTheMainThreadAndEndWithTheTimer) {
    auto timer = std::make_unique<TkelThreadTimer>(nullptr);
    timer->SetSynchronized(true);
    timer->SetInterval(10);
    int ticks = 0;
    bool otherThread = false;
    timer->SetOnTimer([&](TObject*) {
        otherThread = otherThread || GetCurrentThreadId() != MainThreadID();
        ++ticks;
    });
    PumpUntil([&] { return ticks >= 3; });
    EXPECT_FALSE(otherThread);
    const DWORD start = GetTickCount();
    timer.reset();
    EXPECT_LT(GetTickCount() - start, kStopLimitMs);
    const int after = ticks;
    Application.ProcessMessages();
    EXPECT_EQ(ticks, after);
}

// A copy of a thread's handle, to see it end after its owner let go of it.
TUniqueHandle ThreadHandleCopy(TThread& thread) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), thread.Handle(), GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return TUniqueHandle(copy);
}

// Runs synchronised calls and messages until handle is signalled; false after limitMs.
bool PumpUntilSignalled(HANDLE handle, DWORD limitMs) {
    const DWORD start = GetTickCount();
    HANDLE handles[2] = {handle, SyncEvent()};
    while (GetTickCount() - start < limitMs) {
        const DWORD rc = MsgWaitForMultipleObjects(2, handles, FALSE, 50, QS_ALLINPUT);
        if (rc == WAIT_OBJECT_0)
            return true;
        Application.ProcessMessages();
    }
    return false;
}

TEST_F(KelThreadTimerTest, AHandlerMayFreeItsTimerOnEitherThread) {
    for (bool synchronized : {false, true}) {
        SCOPED_TRACE(synchronized ? "synchronized" : "on the worker");
        auto timer = new TkelThreadTimer(nullptr);
        timer->SetSynchronized(synchronized);
        timer->SetInterval(60000);
        std::atomic<int> ticks{0};
        timer->SetOnTimer([&](TObject* sender) {
            if (++ticks == 1)
                delete static_cast<TkelThreadTimer*>(sender);
        });
        TUniqueHandle thread = ThreadHandleCopy(*timer->Thread());
        timer->SetInterval(10);
        EXPECT_TRUE(PumpUntilSignalled(thread.Get(), kStopLimitMs));
        EXPECT_EQ(ticks.load(), 1);
    }
}

// Ends the process with a message when the steps in its scope do not return in time: a
// deadlock of the main thread cannot be broken from inside it, and must fail, not hang the run.
class THangLimit {
public:
    THangLimit(const char* what, DWORD limitMs) : what_(what), limitMs_(limitMs) {
        thread_.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }
    ~THangLimit() {
        SetEvent(done_.Get());
        WaitForSingleObject(thread_.Get(), INFINITE);
    }
    THangLimit(const THangLimit&) = delete;
    THangLimit& operator=(const THangLimit&) = delete;

private:
    static DWORD WINAPI Run(void* data) {
        auto self = static_cast<THangLimit*>(data);
        if (WaitForSingleObject(self->done_.Get(), self->limitMs_) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "%s did not return within %lu ms\n", self->what_, self->limitMs_);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 125);
        }
        return 0;
    }

    const char* what_;
    DWORD limitMs_;
    TUniqueHandle done_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    TUniqueHandle thread_;
};

// A component freed by its own OnFinish, OnException or OnTerminate handler: the handler returns,
// no later event runs, and the thread ends and frees itself, on a worker and synchronised.
TEST_F(KelThreadComponentTest, AnEventMayFreeItsComponent) {
    const std::string freeingEvents[] = {"finish", "exception", "terminate"};
    for (bool synchronized : {false, true}) {
        for (const std::string& freeing : freeingEvents) {
            SCOPED_TRACE((synchronized ? "synchronized, freed in " : "on the worker, freed in ") + freeing);
            auto component = new TkelThreadComponent(nullptr);
            component->SetSynchronized(synchronized);
            std::string events;
            auto event = [&](TObject* sender, const std::string& name) {
                events += name;
                if (GetCurrentThreadId() != MainThreadID())
                    events += " (not on the main thread)";
                if (name == freeing) {
                    FreeComponent(static_cast<TComponent*>(sender));
                    events += " freed";
                }
                events += ";";
            };
            component->OnExecute = [&](TObject*) {
                if (freeing == "exception")
                    throw EConvertError("bad value");
            };
            component->OnFinish = [&](TObject* sender) { event(sender, "finish"); };
            component->OnException = [&](TObject* sender, std::exception_ptr) { event(sender, "exception"); };
            component->OnTerminate = [&](TObject* sender) { event(sender, "terminate"); };
            TUniqueHandle thread = ThreadHandleCopy(*component->Thread());
            const HANDLE threadsOwn = component->Thread()->Handle();
            {
                const THangLimit limit("freeing a thread component from its own event", 10000);
                component->Start();
                EXPECT_TRUE(PumpUntilSignalled(thread.Get(), 5000));
            }
            const std::string expected = freeing == "finish"      ? "finish freed;"
                                         : freeing == "exception" ? "exception freed;"
                                                                  : "finish;terminate freed;";
            EXPECT_EQ(events, expected);
            DWORD flags = 0;
            EXPECT_FALSE(GetHandleInformation(threadsOwn, &flags)) << "the thread object is freed";
        }
    }
}

// ---- Window hooks ----

class KelWndProcHookTest : public GuiTestFailingOnExceptions {};

constexpr UINT WM_PROBE = WM_APP + 40;

TEST_F(KelWndProcHookTest, HooksChainInOrderAndLetGoAgain) {
    TTestForm form;
    const HWND window = form.Handle();
    const LONG_PTR original = GetWindowLongPtrA(window, GWLP_WNDPROC);
    std::string trace;
    TkelWndProcHook first(nullptr);
    TkelWndProcHook second(nullptr);
    auto watch = [&](TkelWndProcHook& hook, const char* name) {
        hook.OnMessageBefore = [&trace, name](TObject*, TMessage& msg, bool&) {
            if (msg.Msg == WM_PROBE)
                trace += std::string(name) + "< ";
        };
        hook.OnMessageAfter = [&trace, name](TObject*, TMessage& msg, bool&) {
            if (msg.Msg == WM_PROBE)
                trace += std::string(name) + "> ";
        };
        hook.SetWinControl(&form);
    };
    watch(first, "1");
    watch(second, "2");
    first.SetActive(true);
    second.SetActive(true);
    EXPECT_EQ(first.HookedWindow(), window);
    SendMessageA(window, WM_PROBE, 0, 0);
    EXPECT_EQ(trace, "2< 1< 1> 2> ");

    // Handled in the outer hook: the inner one and the window never see it.
    trace.clear();
    second.OnMessageBefore = [&](TObject*, TMessage& msg, bool& handled) {
        if (msg.Msg == WM_PROBE) {
            handled = true;
            msg.Result = 42;
        }
    };
    EXPECT_EQ(SendMessageA(window, WM_PROBE, 0, 0), 42);
    EXPECT_EQ(trace, "2> ");

    // The first made lets go: the second keeps working and starts from the window's own.
    trace.clear();
    first.SetActive(false);
    second.OnMessageBefore = {};
    SendMessageA(window, WM_PROBE, 0, 0);
    EXPECT_EQ(trace, "2> ");
    second.SetActive(false);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_WNDPROC), original);
    EXPECT_EQ(second.HookedWindow(), nullptr);
}

TEST_F(KelWndProcHookTest, AutoDragTurnsAPressIntoAMoveRequest) {
    TTestForm form;
    TkelWndProcHook drag(nullptr);
    drag.SetWinControl(&form);
    drag.AutoDrag = true;
    drag.SetActive(true);
    // A later hook sees the request first and keeps the system's move loop out of the test.
    TkelWndProcHook spy(nullptr);
    spy.SetWinControl(&form);
    WPARAM request = 0;
    spy.OnMessageBefore = [&](TObject*, TMessage& msg, bool& handled) {
        if (msg.Msg == WM_SYSCOMMAND) {
            request = msg.WParam;
            handled = true;
        }
    };
    spy.SetActive(true);
    SendMessageA(form.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(request, 0xF012u);
}

TEST_F(KelWndProcHookTest, ForgetsAControlThatIsFreedOrADestroyedWindow) {
    auto form = new TTestForm;
    TkelWndProcHook hook(nullptr);
    int changes = 0;
    hook.OnChangeWinControl = [&](TObject*) { ++changes; };
    hook.SetWinControl(form);
    hook.SetActive(true);
    EXPECT_EQ(changes, 1);
    // A new window for the form: the hook lets go of the old one as it dies.
    bool handleGone = false;
    hook.OnChangeHandle = [&](TObject*) { handleGone = true; };
    const HWND old = form->Handle();
    form->SetBorderStyle(bsDialog);
    EXPECT_NE(form->Handle(), old);
    EXPECT_TRUE(handleGone);
    EXPECT_EQ(hook.HookedWindow(), nullptr);
    hook.SetActive(true);
    EXPECT_EQ(hook.HookedWindow(), form->Handle());
    FreeComponent(form);
    EXPECT_EQ(hook.WinControl(), nullptr);
    EXPECT_EQ(hook.HookedWindow(), nullptr);
    EXPECT_EQ(changes, 1);
}

// ---- Change monitors ----

constexpr DWORD kReportLimitMs = 1000;

// A fresh folder below the temporary folder, removed with what the test put in it.
class TTempFolder {
public:
    explicit TTempFolder(const std::string& name) {
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof(temp), temp);
        path_ = std::string(temp) + "hivesweep-" + std::to_string(GetCurrentProcessId()) + "-" + name;
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~TTempFolder() {
        for (const std::string& file : files_)
            DeleteFileA(file.c_str());
        RemoveDirectoryA(path_.c_str());
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    const std::string& Path() const { return path_; }
    void MakeFile(const std::string& name) {
        const std::string file = path_ + "\\" + name;
        files_.push_back(file);
        TUniqueHandle handle(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(handle.Valid());
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

// Pumps until count reaches target or the limit passes; returns the milliseconds taken.
DWORD PumpForChanges(const int& count, int target, DWORD limitMs = 5000) {
    const DWORD start = GetTickCount();
    while (count < target && GetTickCount() - start < limitMs) {
        HANDLE sync = SyncEvent();
        MsgWaitForMultipleObjects(1, &sync, FALSE, 50, QS_ALLINPUT);
        Application.ProcessMessages();
    }
    return GetTickCount() - start;
}

class KelMonitorTest : public GuiTestFailingOnExceptions {};

TEST_F(KelMonitorTest, FolderMonitorReportsAChangeAndFollowsANewFolder) {
    TTempFolder first("first");
    TTempFolder second("second");
    TkelFolderMonitor monitor(nullptr);
    EXPECT_EQ(monitor.Folder(), "C:\\");
    EXPECT_EQ(FolderFilterFlags(monitor.NotifyFilters()),
              static_cast<DWORD>(FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME));
    monitor.SetFolder(first.Path());
    monitor.SetActive(true);
    EXPECT_EQ(monitor.Thread(), nullptr);  // no handler yet
    int changes = 0;
    monitor.OnChange = [&](TObject* sender) {
        EXPECT_EQ(GetCurrentThreadId(), MainThreadID());
        EXPECT_EQ(sender, &monitor);
        ++changes;
    };
    monitor.SetActive(true);
    ASSERT_NE(monitor.Thread(), nullptr);
    ASSERT_EQ(WaitForSingleObject(monitor.Thread()->ReadyEvent(), 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(monitor.Thread()->Watching());
    first.MakeFile("a.txt");
    EXPECT_LT(PumpForChanges(changes, 1), kReportLimitMs);

    monitor.SetFolder(second.Path());
    ASSERT_EQ(WaitForSingleObject(monitor.Thread()->ReadyEvent(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(monitor.Thread()->Settings().Folder, second.Path());
    PumpForChanges(changes, 1000, 100);  // whatever the first folder still reports
    const int before = changes;
    second.MakeFile("b.txt");
    EXPECT_LT(PumpForChanges(changes, before + 1), kReportLimitMs);

    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), monitor.Thread()->Handle(), GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    TUniqueHandle thread(copy);
    const DWORD start = GetTickCount();
    monitor.SetActive(false);
    EXPECT_LT(GetTickCount() - start, kStopLimitMs);
    EXPECT_EQ(WaitForSingleObject(thread.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(monitor.Thread(), nullptr);
}

TEST_F(KelMonitorTest, AFolderThatCannotBeWatchedReportsNothingAndStillStops) {
    TkelFolderMonitor monitor(nullptr);
    monitor.SetFolder("Q:\\no\\such\\folder");
    int changes = 0;
    monitor.OnChange = [&](TObject*) { ++changes; };
    monitor.SetActive(true);
    ASSERT_EQ(WaitForSingleObject(monitor.Thread()->ReadyEvent(), 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(monitor.Thread()->Watching());
    const DWORD start = GetTickCount();
    monitor.SetActive(false);
    EXPECT_LT(GetTickCount() - start, kStopLimitMs);
    EXPECT_EQ(changes, 0);
}

// A key of the test's own below HKEY_CURRENT_USER, deleted at the end.
class TTestKey {
public:
    TTestKey() : path_("Software\\HivesweepTest-" + std::to_string(GetCurrentProcessId())) {}
    ~TTestKey() { RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str()); }
    TTestKey(const TTestKey&) = delete;
    TTestKey& operator=(const TTestKey&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

void CreateKey(const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetValue(const std::string& path, const std::string& data) {
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, path.c_str(), "Probe", REG_SZ, data.c_str(),
                              static_cast<DWORD>(data.size() + 1)),
              ERROR_SUCCESS);
}

TEST_F(KelMonitorTest, RegistryMonitorReportsValuesAndTheKeyGoingAndComing) {
    TTestKey test;
    const std::string watched = test.Path() + "\\Watched";
    CreateKey(watched);
    TkelRegistryMonitor monitor(nullptr);
    EXPECT_EQ(monitor.RootKey(), rrkCurrentUser);
    monitor.SetRegistryKey(watched);
    int changes = 0;
    monitor.OnChange = [&](TObject*) {
        EXPECT_EQ(GetCurrentThreadId(), MainThreadID());
        ++changes;
    };
    monitor.SetActive(true);
    ASSERT_NE(monitor.Thread(), nullptr);
    ASSERT_EQ(WaitForSingleObject(monitor.Thread()->ReadyEvent(), 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(monitor.Thread()->KeyOpen());

    SetValue(watched, "one");
    EXPECT_LT(PumpForChanges(changes, 1), kReportLimitMs);

    int before = changes;
    ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, watched.c_str()), ERROR_SUCCESS);
    EXPECT_LT(PumpForChanges(changes, before + 1), kReportLimitMs);
    const DWORD start = GetTickCount();
    while (monitor.Thread()->KeyOpen() && GetTickCount() - start < 5000)
        PumpForChanges(changes, 1000, 20);
    EXPECT_FALSE(monitor.Thread()->KeyOpen());

    before = changes;
    CreateKey(watched);
    EXPECT_LT(PumpForChanges(changes, before + 1), kReportLimitMs);
    while (!monitor.Thread()->KeyOpen() && GetTickCount() - start < 10000)
        PumpForChanges(changes, 1000, 20);
    EXPECT_TRUE(monitor.Thread()->KeyOpen());
    PumpForChanges(changes, 1000, 100);
    before = changes;
    SetValue(watched, "two");
    EXPECT_LT(PumpForChanges(changes, before + 1), kReportLimitMs);

    const DWORD stopStart = GetTickCount();
    monitor.SetActive(false);
    EXPECT_LT(GetTickCount() - stopStart, kStopLimitMs);
    EXPECT_EQ(monitor.Thread(), nullptr);
}

TEST_F(KelMonitorTest, AChangeHandlerMayFreeItsMonitor) {
    TTestKey test;
    CreateKey(test.Path());
    auto monitor = new TkelRegistryMonitor(nullptr);
    monitor->SetRegistryKey(test.Path());
    int changes = 0;
    monitor->OnChange = [&](TObject* sender) {
        ++changes;
        delete static_cast<TkelRegistryMonitor*>(sender);
    };
    monitor->SetActive(true);
    ASSERT_EQ(WaitForSingleObject(monitor->Thread()->ReadyEvent(), 5000), WAIT_OBJECT_0);
    TUniqueHandle thread = ThreadHandleCopy(*monitor->Thread());
    SetValue(test.Path(), "bye");
    EXPECT_TRUE(PumpUntilSignalled(thread.Get(), kReportLimitMs + kStopLimitMs));
    EXPECT_EQ(changes, 1);
}

TEST_F(KelMonitorTest, RegistryMonitorFollowsANewKey) {
    TTestKey test;
    const std::string a = test.Path() + "\\A";
    const std::string b = test.Path() + "\\B";
    CreateKey(a);
    CreateKey(b);
    TkelRegistryMonitor monitor(nullptr);
    EXPECT_EQ(RegistryFilterFlags(TkelRegistryMonitorFilters{rmfValueChange}),
              static_cast<DWORD>(REG_NOTIFY_CHANGE_LAST_SET));
    monitor.SetRegistryKey(a);
    int changes = 0;
    monitor.OnChange = [&](TObject*) { ++changes; };
    monitor.SetActive(true);
    ASSERT_EQ(WaitForSingleObject(monitor.Thread()->ReadyEvent(), 5000), WAIT_OBJECT_0);
    monitor.SetRegistryKey(b);
    ASSERT_EQ(WaitForSingleObject(monitor.Thread()->ReadyEvent(), 5000), WAIT_OBJECT_0);
    PumpForChanges(changes, 1000, 100);
    int before = changes;
    SetValue(a, "ignored");
    PumpForChanges(changes, before + 1, 300);
    EXPECT_EQ(changes, before);
    SetValue(b, "seen");
    EXPECT_LT(PumpForChanges(changes, before + 1), kReportLimitMs);
}

}  // namespace
