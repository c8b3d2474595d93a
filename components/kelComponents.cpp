#include "kelComponents.h"

#include "ExtCtrls.h"
#include "Forms.h"
#include "Handles.h"
#include "SysUtils.h"
#include "kelConsts.h"
#include "kelVclUtils.h"

#include <utility>
#include <vector>

// ---- Class information ----

const TClassInfo& TkelComponent::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelComponent::About>("About").NotStored(),
    };
    static const TClassInfo info = MakeClassInfo<TkelComponent, TComponent>("TkelComponent", props);
    return info;
}

const TClassInfo& TkelOneInstance::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelOneInstance::ActivatePrevInstance>("ActivatePrevInstance").WithDefault(true),
        Prop<&TkelOneInstance::ExeNameAsIdentifier>("ExeNameAsIdentifier").WithDefault(false),
        Prop<&TkelOneInstance::Message>("Message"),
        Prop<&TkelOneInstance::Identifier>("Identifier"),
        Prop<&TkelOneInstance::ShowMessage>("ShowMessage").WithDefault(false),
        Prop<&TkelOneInstance::OnShowMessage>("OnShowMessage"),
    };
    static const TClassInfo info = MakeClassInfo<TkelOneInstance, TkelComponent>("TkelOneInstance", props);
    return info;
}

const TClassInfo& TkelAutoRun::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelAutoRun::AutoRun, &TkelAutoRun::SetAutoRun>("AutoRun").WithDefault(false),
        Prop<&TkelAutoRun::FileName, &TkelAutoRun::SetFileName>("FileName"),
        Prop<&TkelAutoRun::Kind, &TkelAutoRun::SetKind>("Kind").WithDefault(aekMachineRun),
    };
    static const TClassInfo info = MakeClassInfo<TkelAutoRun, TkelComponent>("TkelAutoRun", props);
    return info;
}

const TClassInfo& TkelShutdown::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelShutdown::ActionType>("ActionType").WithDefault(aatPowerOff),
        Prop<&TkelShutdown::Force>("Force").WithDefault(false),
        Prop<&TkelShutdown::OnQueryShutdown>("OnQueryShutdown"),
    };
    static const TClassInfo info = MakeClassInfo<TkelShutdown, TkelComponent>("TkelShutdown", props);
    return info;
}

// ---- TkelOneInstance ----

namespace {

// The "Default" mutexes this process made, kept (and owned where the wait got them) until the
// process ends. More than one only when several guards with different names run in one process.
class TDefaultMutexes {
public:
    TDefaultMutexes() = default;
    TDefaultMutexes(const TDefaultMutexes&) = delete;
    TDefaultMutexes& operator=(const TDefaultMutexes&) = delete;
    ~TDefaultMutexes() {
        for (TUniqueHandle& mutex : mutexes_)
            ReleaseMutex(mutex.Get());
    }
    HANDLE Keep(TUniqueHandle mutex) {
        mutexes_.push_back(std::move(mutex));
        return mutexes_.back().Get();
    }

private:
    std::vector<TUniqueHandle> mutexes_;
};

TDefaultMutexes& DefaultMutexes() {
    static TDefaultMutexes mutexes;
    return mutexes;
}

}  // namespace

std::string TkelOneInstance::MutexBaseName() const {
    std::string prefix;
    if (ExeNameAsIdentifier) {
        prefix = Application.ExeName();
        // The locale's upper case, as the system compares file names.
        if (!prefix.empty())
            CharUpperBuffA(prefix.data(), static_cast<DWORD>(prefix.size()));
    } else {
        prefix = Application.Title();
    }
    std::string base = prefix + Identifier + ".OneInstance.";
    ReplaceChar(base, '\\', '/');
    return base;
}

bool TkelOneInstance::IsAlreadyRunning() {
    if (IsDesigning())
        return false;
    const std::string base = MutexBaseName();
    const std::string sectionName = base + "CriticalSection";
    SetLastError(ERROR_SUCCESS);
    TUniqueHandle section(CreateMutexA(nullptr, TRUE, sectionName.c_str()));
    if (!section || GetLastError() != ERROR_SUCCESS)
        return true;  // the other copy is inside its check, or the name is unusable
    const std::string defaultName = base + "Default";
    // Without a "Default" mutex the wait fails, which counts as not running.
    bool running = false;
    TUniqueHandle created(CreateMutexA(nullptr, FALSE, defaultName.c_str()));
    if (created) {
        HANDLE mutex = DefaultMutexes().Keep(std::move(created));
        running = WaitForSingleObject(mutex, 0) == WAIT_TIMEOUT;
    }
    ReleaseMutex(section.Get());
    return running;
}

bool TkelOneInstance::CheckOneInstance() {
    if (!IsAlreadyRunning())
        return false;
    terminate_ = true;
    const bool showMainForm = Application.ShowMainForm;
    Application.ShowMainForm = false;
    if (ShowMessage)
        DoShowMessage();
    if (ActivatePrevInstance)
        DoActivatePrevInstance();
    if (terminate_)
        Application.Terminate();
    else
        Application.ShowMainForm = showMainForm;
    return true;
}

void TkelOneInstance::Loaded() {
    TkelComponent::Loaded();
    CheckOneInstance();
}

void TkelOneInstance::DoShowMessage() {
    if (OnShowMessage.Assigned()) {
        OnShowMessage(this, terminate_);
        return;
    }
    const std::string text = !Message.empty() ? Message : Format(kelconsts::SAlreadyRunning, Application.Title().c_str());
    ShowMessageBox(Application.Handle(), text, Application.Title(), MB_OK | MB_ICONEXCLAMATION);
}

void TkelOneInstance::DoActivatePrevInstance() { BringPrevInstanceToFront(); }

// ---- TkelAutoRun ----

TkelAutoRun::TkelAutoRun(TComponent* owner) : TkelComponent(owner) {
    if (!IsDesigning())
        fileName_ = Application.ExeName();
}

void TkelAutoRun::RemoveAutoRun() {
    if (!IsDesigning())
        UnregisterAutoRun(kind_, fileName_);
}

void TkelAutoRun::ApplyAutoRun() {
    if (IsDesigning())
        return;
    RemoveAutoRun();
    if (autoRun_)
        RegisterAutoRun(kind_, fileName_);
}

void TkelAutoRun::Loaded() {
    TkelComponent::Loaded();
    ApplyAutoRun();
}

void TkelAutoRun::SetAutoRun(bool value) {
    if (value == autoRun_)
        return;
    RemoveAutoRun();
    autoRun_ = value;
    ApplyAutoRun();
}

void TkelAutoRun::SetFileName(const std::string& value) {
    if (value == fileName_)
        return;
    RemoveAutoRun();
    fileName_ = value;
    ApplyAutoRun();
}

void TkelAutoRun::SetKind(TkelAutoExecKind value) {
    if (value == kind_)
        return;
    RemoveAutoRun();
    kind_ = value;
    ApplyAutoRun();
}

// ---- TkelShutdown ----

namespace {

TkelPowerCalls gPowerCalls;

BOOL CallExitWindows(UINT flags, DWORD reason) {
    if (gPowerCalls.ExitWindowsCall)
        return gPowerCalls.ExitWindowsCall(flags, reason);
    return ExitWindowsEx(flags, reason);
}

BOOL CallSetPowerState(BOOL suspend, BOOL force) {
    if (gPowerCalls.PowerStateCall)
        return gPowerCalls.PowerStateCall(suspend, force);
    return SetSystemPowerState(suspend, force);
}

// Enables the shutdown privilege in this process's token. Every handle is closed on every path.
bool EnableShutdownPrivilege() {
    TUniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, TRUE, GetCurrentProcessId()));
    HANDLE token = nullptr;
    if (!OpenProcessToken(process.Get(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TUniqueHandle tokenOwner(token);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid))
        return false;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    TOKEN_PRIVILEGES previous{};
    DWORD previousSize = sizeof(previous);
    // Success counts even when the privilege is not granted (ERROR_NOT_ALL_ASSIGNED).
    return AdjustTokenPrivileges(tokenOwner.Get(), FALSE, &privileges, sizeof(previous), &previous, &previousSize) != 0;
}

}  // namespace

TkelPowerCalls SetPowerCallsHook(TkelPowerCalls calls) { return std::exchange(gPowerCalls, std::move(calls)); }

void TkelShutdown::DoQueryShutdown(bool& canShutdown) { OnQueryShutdown(this, canShutdown); }

bool TkelShutdown::Execute() {
    if (OSFlags().IsWinNT && !EnableShutdownPrivilege())
        return false;
    bool canShutdown = true;
    DoQueryShutdown(canShutdown);
    if (!canShutdown)
        return false;
    const UINT force = Force ? EWX_FORCE : 0;
    switch (ActionType) {
    case aatPowerOff:
        return CallExitWindows(EWX_POWEROFF | force, 0) != 0;
    case aatShutdown:
        return CallExitWindows(EWX_SHUTDOWN | force, 0) != 0;
    case aatReboot:
        return CallExitWindows(EWX_REBOOT | force, 0) != 0;
    case aatLogOff:
        return CallExitWindows(EWX_LOGOFF | force, 0) != 0;
    case aatSuspend:
        return CallSetPowerState(TRUE, Force) != 0;
    case aatHibernate:
        return CallSetPowerState(FALSE, Force) != 0;
    }
    return false;
}

// ---- TkelCustomTimer ----

const TClassInfo& TkelCustomTimer::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelCustomTimer, TkelComponent>("TkelCustomTimer", {});
    return info;
}

TkelCustomTimer::TkelCustomTimer(TComponent* owner) : TkelComponent(owner) {
    window_ = AllocateHWnd([this](TMessage& message) { WndProc(message); });
}

TkelCustomTimer::~TkelCustomTimer() {
    running_ = false;
    KillTimer(window_, kTimerId);
    DeallocateHWnd(window_);
}

void TkelCustomTimer::SetEnabled(bool value) {
    enabled_ = value;
    UpdateTimer();
}

void TkelCustomTimer::SetInterval(unsigned value) {
    interval_ = value;
    UpdateTimer();
}

void TkelCustomTimer::SetOnTimer(TNotifyEvent handler) {
    onTimer_ = std::move(handler);
    UpdateTimer();
}

void TkelCustomTimer::Loaded() {
    TkelComponent::Loaded();
    UpdateTimer();
}

void TkelCustomTimer::UpdateTimer() {
    running_ = false;
    KillTimer(window_, kTimerId);
    if (!enabled_ || interval_ == 0 || !HasTimerHandler())
        return;
    if (!SetTimer(window_, kTimerId, interval_, nullptr))
        throw EOutOfResources("Not enough timers available");
    running_ = true;
}

void TkelCustomTimer::WndProc(TMessage& message) {
    if (message.Msg == WM_TIMER && message.WParam == kTimerId) {
        // KillTimer leaves a WM_TIMER already queued there.
        if (!running_)
            return;
        try {
            Timer();
        } catch (...) {
            Application.HandleException(this);
        }
        return;  // the handler may have freed the component
    }
    message.Result = DefWindowProcA(window_, message.Msg, message.WParam, message.LParam);
}

void TkelCustomTimer::Timer() {
    const TNotifyEvent handler = onTimer_;  // the handler may free the component
    handler(this);
}
