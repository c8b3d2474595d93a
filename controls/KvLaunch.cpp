#include "KvLaunch.h"

#include "Controls.h"
#include "Forms.h"
#include "KvShellCom.h"
#include "SysUtils.h"

#include <shellapi.h>

#include <algorithm>
#include <utility>

// The record the shell expects: 60 bytes on 32-bit systems.
static_assert(sizeof(void*) != 4 || sizeof(SHELLEXECUTEINFOA) == 60);

// What the launcher and its thread share. The thread keeps it after the launcher is gone.
struct TKvLaunchLink {
    // Null from the moment the launcher starts going: nothing may reach it after that.
    std::atomic<TKvLauncher*> launcher;
    // Manual reset: the launcher asks the thread to stop waiting.
    TUniqueHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    // Main thread only: one of the thread's events is being raised.
    bool inEvent = false;

    explicit TKvLaunchLink(TKvLauncher* owner) : launcher(owner) {
        if (!stop)
            RaiseLastOSError();
    }
};

namespace {

constexpr DWORD kPollMs = 100;
constexpr DWORD kWakeMask = QS_POSTMESSAGE | QS_SENDMESSAGE | QS_ALLPOSTMESSAGE;

// Milliseconds left of limit since start; INFINITE stays.
DWORD Remaining(DWORD limit, ULONGLONG start) {
    if (limit == INFINITE)
        return INFINITE;
    const ULONGLONG elapsed = GetTickCount64() - start;
    return elapsed >= limit ? 0 : static_cast<DWORD>(limit - elapsed);
}

// Waits for handles[0..count) on the main thread, running synchronised calls and delivering
// sent messages meanwhile, until one is signalled or alive() turns false.
template <class Alive>
void WaitRunningCalls(const HANDLE* handles, DWORD count, Alive alive) {
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    std::copy(handles, handles + count, all);
    all[count] = SyncEvent();
    while (alive()) {
        const DWORD rc = MsgWaitForMultipleObjects(count + 1, all, FALSE, INFINITE, QS_SENDMESSAGE);
        if (rc < WAIT_OBJECT_0 + count)
            return;
        if (rc == WAIT_OBJECT_0 + count) {
            CheckSynchronize();
        } else if (rc == WAIT_OBJECT_0 + count + 1) {
            MSG msg;  // peeking delivers messages sent from other threads
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        } else {
            return;  // a handle went bad: nothing left to wait for
        }
    }
}

}  // namespace

// ---- TKvLauncher ------------------------------------------------------------------------------

const TClassInfo& TKvLauncher::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvLauncher::About, &TKvLauncher::SetAbout>("About").NotStored(),
        Prop<&TKvLauncher::Action, &TKvLauncher::SetAction>("Action"),
        Prop<&TKvLauncher::FileName, &TKvLauncher::SetFileName>("FileName"),
        Prop<&TKvLauncher::Parameters, &TKvLauncher::SetParameters>("Parameters"),
        Prop<&TKvLauncher::ShowMode, &TKvLauncher::SetShowMode>("ShowMode").WithDefault(smNormal),
        Prop<&TKvLauncher::StartDir, &TKvLauncher::SetStartDir>("StartDir"),
        Prop<&TKvLauncher::Timeout, &TKvLauncher::SetTimeout>("Timeout"),
        Prop<&TKvLauncher::WaitType, &TKvLauncher::SetWaitType>("WaitType").WithDefault(wtFullStop),
        Prop<&TKvLauncher::WaitUntilFinished, &TKvLauncher::SetWaitUntilFinished>("WaitUntilFinished")
            .WithDefault(false),
        Prop<&TKvLauncher::OnFinished>("OnFinished"),
        Prop<&TKvLauncher::OnError>("OnError"),
        Prop<&TKvLauncher::OnTimeout>("OnTimeout"),
    };
    static const TClassInfo info = MakeClassInfo<TKvLauncher, TComponent>("TKvLauncher", props);
    return info;
}

TKvLauncher::TKvLauncher(TComponent* owner)
    : TComponent(owner), link_(std::make_shared<TKvLaunchLink>(this)) {}

TKvLauncher::~TKvLauncher() { StopThread(); }

void TKvLauncher::BeforeDestruction() {
    StopThread();
    TComponent::BeforeDestruction();
}

void TKvLauncher::StopThread() {
    if (!link_->launcher.exchange(nullptr))
        return;
    SetEvent(link_->stop.Get());
    // Inside one of the thread's events the thread waits for this very call to return: it
    // sees the launcher gone afterwards and ends on its own.
    if (!threadHandle_ || link_->inEvent)
        return;
    const HANDLE thread = threadHandle_.Get();
    WaitRunningCalls(&thread, 1, [] { return true; });
}

int TKvLauncher::ShowCommand(TShowMode mode) {
    switch (mode) {
    case smMaximized:
        return SW_SHOWMAXIMIZED;
    case smMinimized:
        return SW_SHOWMINIMIZED;
    case smHide:
        return SW_HIDE;
    case smNormal:
        break;
    }
    return SW_SHOWNORMAL;
}

DWORD TKvLauncher::TimeoutMs() const { return timeout_ < 0 ? INFINITE : static_cast<DWORD>(timeout_); }

bool TKvLauncher::Execute(SHELLEXECUTEINFOA& info) {
    info = SHELLEXECUTEINFOA{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = action_.empty() ? nullptr : action_.c_str();
    info.lpFile = fileName_.c_str();
    info.lpParameters = parameters_.empty() ? nullptr : parameters_.c_str();
    info.lpDirectory = startDir_.empty() ? nullptr : startDir_.c_str();
    info.nShow = ShowCommand(showMode_);
    const bool started = ShellExecuteExA(&info);
    instanceHandle_ = info.hInstApp;
    return started;
}

int TKvLauncher::StartProgram() {
    if (fileName_.empty())
        return 0;
    instanceHandle_ = nullptr;
    if (!running_)
        exitCode_ = 0;
    SHELLEXECUTEINFOA info;
    const bool started = Execute(info);
    // Nobody watches this process.
    TUniqueHandle process(info.hProcess);
    if (started)
        return 0;
    const auto code = static_cast<int>(reinterpret_cast<INT_PTR>(info.hInstApp));
    return code > 0 && code <= 32 ? code : static_cast<int>(GetLastError());
}

void TKvLauncher::LaunchProgram() {
    if (busy_ || fileName_.empty())
        return;
    busy_ = true;
    if (waitUntilFinished_) {
        StartAndWait(nullptr, nullptr);
        return;
    }
    // A thread of an earlier launch may still be on its way out; it touches nothing of the
    // launcher any more, but it may still set its own signal: each launch gets a new one.
    auto signal = std::make_shared<TUniqueHandle>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ResetEvent(link_->stop.Get());
    try {
        if (!*signal)
            RaiseLastOSError();
        new TKvLaunchThread(this, signal);  // frees itself
    } catch (...) {
        busy_ = false;
        throw;
    }
    const std::shared_ptr<TKvLaunchLink> link = link_;
    const HANDLE handles[2] = {signal->Get(), threadHandle_.Get()};
    WaitRunningCalls(handles, 2, [&link] { return link->launcher != nullptr; });
}

void TKvLauncher::EndRun() {
    processHandle_ = nullptr;
    running_ = false;
    launchThread_ = nullptr;
    busy_ = false;
}

void TKvLauncher::StartAndWait(TKvLaunchThread* thread, HANDLE signal) {
    const std::shared_ptr<TKvLaunchLink> link = link_;
    errorCode_ = 0;
    processHandle_ = nullptr;
    exitCode_ = 0;
    try {
        SHELLEXECUTEINFOA info;
        if (!Execute(info)) {
            const auto code = static_cast<DWORD>(reinterpret_cast<INT_PTR>(info.hInstApp));
            errorCode_ = code > 0 && code <= 32 ? code : GetLastError();
            if (signal)
                SetEvent(signal);
            RaiseEvent(&TKvLauncher::DoError);
            return;
        }
        TUniqueHandle process(info.hProcess);
        if (process) {
            processHandle_ = process.Get();
            running_ = true;
        }
        if (signal)
            SetEvent(signal);
        // A document handed to a program that was already running leaves no process to wait for.
        bool raised = false;
        if (process)
            raised = thread ? ThreadPoll() : waitType_ == wtProcessMessages ? WaitProcessingMessages() : WaitFullStop();
        if (!raised && link->launcher)
            EndRun();
    } catch (...) {
        if (link->launcher)
            EndRun();
        throw;
    }
}

void TKvLauncher::RaiseEvent(void (TKvLauncher::*raise)()) {
    const std::shared_ptr<TKvLaunchLink> link = link_;
    const bool fromThread = GetCurrentThreadId() != MainThreadID();
    TThread::Synchronize([&link, raise, fromThread] {
        TKvLauncher* launcher = link->launcher;
        if (!launcher)
            return;
        // The launcher is idle again right after the event, before anything else can run.
        const bool outer = std::exchange(link->inEvent, true);
        try {
            (launcher->*raise)();
        } catch (...) {
            link->inEvent = outer;
            if (link->launcher)
                launcher->EndRun();
            if (!fromThread)
                throw;
            // The waiting thread has nowhere to put it: the application shows it.
            HandleWindowException(link->launcher.load());
            return;
        }
        link->inEvent = outer;
        if (link->launcher)
            launcher->EndRun();
    });
}

bool TKvLauncher::ThreadPoll() {
    const std::shared_ptr<TKvLaunchLink> link = link_;
    TKvLaunchThread* thread = launchThread_;
    const HANDLE handles[2] = {processHandle_, link->stop.Get()};
    const DWORD limit = TimeoutMs();
    const ULONGLONG start = GetTickCount64();
    while (!(thread && thread->Terminated())) {
        const DWORD rc = WaitForMultipleObjects(2, handles, FALSE, std::min(kPollMs, Remaining(limit, start)));
        if (rc == WAIT_OBJECT_0 || rc == WAIT_FAILED)
            return RaiseWaitOutcome(rc, handles[0]);
        if (rc == WAIT_OBJECT_0 + 1)
            return false;
        if (Remaining(limit, start) == 0) {
            RaiseEvent(&TKvLauncher::DoTimeout);
            return true;
        }
    }
    return false;
}

bool TKvLauncher::WaitProcessingMessages() {
    const std::shared_ptr<TKvLaunchLink> link = link_;
    const HANDLE process = processHandle_;
    // Calls of worker threads are waited for too: they need no window of their own to arrive.
    const HANDLE handles[2] = {process, SyncEvent()};
    const DWORD limit = TimeoutMs();
    const ULONGLONG start = GetTickCount64();
    // The time limit counts from the start, however many messages come in between.
    for (;;) {
        const DWORD rc =
            MsgWaitForMultipleObjectsEx(2, handles, Remaining(limit, start), kWakeMask, MWMO_INPUTAVAILABLE);
        if (rc != WAIT_OBJECT_0 + 1 && rc != WAIT_OBJECT_0 + 2)
            return RaiseWaitOutcome(rc, process);
        Application.ProcessMessages();
        if (!link->launcher)
            return false;
    }
}

bool TKvLauncher::WaitFullStop() {
    const HANDLE process = processHandle_;
    return RaiseWaitOutcome(WaitForSingleObject(process, TimeoutMs()), process);
}

bool TKvLauncher::RaiseWaitOutcome(DWORD rc, HANDLE process) {
    if (rc == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        exitCode_ = code;
        RaiseEvent(&TKvLauncher::DoFinished);
    } else if (rc == WAIT_TIMEOUT) {
        RaiseEvent(&TKvLauncher::DoTimeout);
    } else {
        errorCode_ = GetLastError();
        RaiseEvent(&TKvLauncher::DoError);
    }
    return true;
}

void TKvLauncher::DoFinished() { OnFinished(this); }

void TKvLauncher::DoTimeout() { OnTimeout(this); }

void TKvLauncher::DoError() { OnError(this, errorCode_); }

// ---- TKvLaunchThread --------------------------------------------------------------------------

TKvLaunchThread::TKvLaunchThread(TKvLauncher* launcher, std::shared_ptr<TUniqueHandle> signal)
    : TThread("TKvLaunchThread"), launcher_(launcher), link_(launcher->link_), signal_(std::move(signal)) {
    FreeOnTerminate = true;
    // The launcher waits on a handle of its own: this object frees itself with its handle.
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), Handle(), GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
        RaiseLastOSError();
    launcher->threadHandle_.Reset(copy);
    launcher->launchThread_ = this;
    Start();
}

void TKvLaunchThread::Execute() {
    struct TSignalAtEnd {
        HANDLE event;
        ~TSignalAtEnd() { SetEvent(event); }
    } signalAtEnd{signal_->Get()};
    // The shell wants COM on the threads that call it.
    TKvShellCom com;
    if (link_->launcher)
        launcher_->StartAndWait(this, signal_->Get());
}
