#include "kelComponents.h"

#include "ExtCtrls.h"
#include "FormStream.h"
#include "Forms.h"
#include "Handles.h"
#include "SysUtils.h"
#include "kelConsts.h"
#include "kelGraphics.h"
#include "kelVclUtils.h"

#include <commctrl.h>
#include <cxxabi.h>
#include <mmsystem.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <typeinfo>
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
        throw EOutOfResources(SNoTimers);
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

// ---- Shell calls ----

namespace {

TkelShellCalls gShellCalls;

int CallFileOperation(SHFILEOPSTRUCTA& operation) {
    if (gShellCalls.FileOperation)
        return gShellCalls.FileOperation(operation);
    return SHFileOperationA(&operation);
}

void CallChangeNotify(LONG event, UINT flags) {
    if (gShellCalls.ChangeNotify)
        gShellCalls.ChangeNotify(event, flags);
    else
        SHChangeNotify(event, flags, nullptr, nullptr);
}

BOOL CallPlaySound(const char* sound, HMODULE module, DWORD flags) {
    if (gShellCalls.PlayWave)
        return gShellCalls.PlayWave(sound, module, flags);
    return PlaySoundA(sound, module, flags);
}

BOOL CallNotifyIcon(DWORD message, NOTIFYICONDATAA& data) {
    if (gShellCalls.NotifyIcon)
        return gShellCalls.NotifyIcon(message, data);
    return Shell_NotifyIconA(message, &data);
}

HWND CallFindStartButton() {
    if (gShellCalls.FindStartButton)
        return gShellCalls.FindStartButton();
    HWND tray = FindWindowA("Shell_TrayWnd", nullptr);
    return tray ? FindWindowExA(tray, nullptr, "Button", nullptr) : nullptr;
}

TColor CallPixelAtCursor() {
    if (gShellCalls.PixelAtCursor)
        return gShellCalls.PixelAtCursor();
    return PixelAtCursor();
}

HKEY CallClassesRoot() {
    if (gShellCalls.ClassesRoot)
        return gShellCalls.ClassesRoot();
    return HKEY_CLASSES_ROOT;
}

// The readable name of an exception's class.
std::string ExceptionClassName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && name ? name.get() : mangled;
}

}  // namespace

TkelShellCalls SetShellCallsHook(TkelShellCalls calls) { return std::exchange(gShellCalls, std::move(calls)); }

// ---- TkelThreadComponent ----

const TClassInfo& TkelThreadComponent::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelThreadComponent::Priority, &TkelThreadComponent::SetPriority>("Priority").WithDefault(tpNormal),
        Prop<&TkelThreadComponent::ReturnValue, &TkelThreadComponent::SetReturnValue>("ReturnValue").WithDefault(0),
        Prop<&TkelThreadComponent::Suspended, &TkelThreadComponent::SetSuspended>("Suspended").WithDefault(true),
        Prop<&TkelThreadComponent::Synchronized, &TkelThreadComponent::SetSynchronized>("Synchronized")
            .WithDefault(false),
        Prop<&TkelThreadComponent::OnExecute>("OnExecute"),
        Prop<&TkelThreadComponent::OnException>("OnException"),
        Prop<&TkelThreadComponent::OnTerminate>("OnTerminate"),
        Prop<&TkelThreadComponent::OnFinish>("OnFinish"),
    };
    static const TClassInfo info = MakeClassInfo<TkelThreadComponent, TkelComponent>("TkelThreadComponent", props);
    return info;
}

TkelThreadComponent::TkelThreadComponent(TComponent* owner) : TkelComponent(owner) {
    if (!IsDesigning())
        MakeThread();
}

TkelThreadComponent::~TkelThreadComponent() {
    destroying_ = true;
    thread_.reset();
}

void TkelThreadComponent::MakeThread() {
    thread_.reset(new TkelEventThread([this](TkelEventThread& thread) { ThreadExecute(thread); }, synchronized_,
                                      "TkelThreadComponent"));
    thread_->SetPriority(priority_);
    // The handlers may free the component. Each runs inside the thread's call on the main
    // thread, so the thread is then left to end and free itself after the handler returned,
    // and nothing here touches the component again.
    thread_->OnTerminate = [this](TObject*) {
        if (destroying_)
            return;
        const TNotifyEvent handler = OnTerminate;
        handler(this);
    };
    started_ = false;
}

// Runs on the worker, or on the main thread when synchronised.
void TkelThreadComponent::ThreadExecute(TkelEventThread& thread) {
    try {
        const TNotifyEvent handler = OnExecute;
        handler(this);
    } catch (...) {
        ReportException(thread, std::current_exception());
        return;
    }
    if (thread.Terminated())
        return;
    thread.CallOnMain([this, &thread] {
        if (destroying_ || thread.Terminated())
            return;
        const TNotifyEvent handler = OnFinish;
        handler(this);
    });
}

void TkelThreadComponent::ReportException(TkelEventThread& thread, std::exception_ptr error) {
    if (thread.Terminated())
        return;
    thread.CallOnMain([this, &thread, error] {
        if (destroying_ || thread.Terminated())
            return;
        const TExceptionEvent handler = OnException;
        if (handler)
            handler(this, error);
        else
            ShowThreadException(error);
    });
}

void TkelThreadComponent::ShowThreadException(std::exception_ptr error) {
    std::string className = "Exception";
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        className = ExceptionClassName(e);
        message = e.what();
    } catch (...) {
        className = "unknown";
    }
    ShowMessageBox(Application.Handle(),
                   Format(kelconsts::SThreadException, Name().c_str(), className.c_str(), message.c_str()),
                   Application.Title(), MB_ICONHAND | MB_SETFOREGROUND);
}

void TkelThreadComponent::SetPriority(TThreadPriority value) {
    priority_ = value;
    if (thread_)
        thread_->SetPriority(value);
}

int TkelThreadComponent::ReturnValue() const { return thread_ ? static_cast<int>(thread_->ReturnValue()) : 0; }

void TkelThreadComponent::SetReturnValue(int value) {
    if (thread_)
        thread_->SetReturnValue(static_cast<DWORD>(value));
}

bool TkelThreadComponent::Suspended() const { return !started_ || (thread_ && thread_->SuspendRequested()); }

void TkelThreadComponent::SetSuspended(bool value) {
    if (!thread_)
        return;
    if (value) {
        if (started_)
            thread_->Suspend();
    } else if (started_) {
        thread_->Resume();
    } else {
        started_ = true;
        thread_->Start();
    }
}

void TkelThreadComponent::SetSynchronized(bool value) {
    synchronized_ = value;
    if (thread_)
        thread_->Synchronized = value;
}

void TkelThreadComponent::Restart() {
    thread_.reset();  // stops the old thread and waits for it
    MakeThread();
}

void TkelThreadComponent::Stop() {
    if (thread_)
        thread_->Stop();
}

bool TkelThreadComponent::Terminated() const { return !thread_ || thread_->Terminated(); }

bool TkelThreadComponent::Finished() const { return thread_ && thread_->Finished(); }

void TkelThreadComponent::WaitFor() {
    if (thread_ && started_)
        thread_->WaitFor();
}

// ---- TkelThreadTimer ----

const TClassInfo& TkelThreadTimer::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelThreadTimer::Interval, &TkelThreadTimer::SetInterval>("Interval").WithDefault(1000),
        Prop<&TkelThreadTimer::Priority, &TkelThreadTimer::SetPriority>("Priority").WithDefault(tpNormal),
        Prop<&TkelThreadTimer::Synchronized, &TkelThreadTimer::SetSynchronized>("Synchronized").WithDefault(false),
        Prop<&TkelThreadTimer::Enabled, &TkelThreadTimer::SetEnabled>("Enabled").WithDefault(true),
        Prop<&TkelThreadTimer::onTimer_>("OnTimer"),
    };
    static const TClassInfo info = MakeClassInfo<TkelThreadTimer, TkelComponent>("TkelThreadTimer", props);
    return info;
}

TkelThreadTimer::TkelThreadTimer(TComponent* owner) : TkelComponent(owner) {
    if (owner && owner->IsLoading())
        BeginLoading();
}

TkelThreadTimer::~TkelThreadTimer() { thread_.reset(); }

void TkelThreadTimer::Loaded() {
    TkelComponent::Loaded();
    Update();
}

void TkelThreadTimer::Update() {
    const bool run = enabled_ && onTimer_ && !IsLoading() && !IsDesigning();
    if (!run) {
        thread_.reset();
        return;
    }
    if (thread_)
        return;
    thread_.reset(new TkelTimerThread([this](TkelEventThread& thread) { Tick(thread); }, synchronized_));
    thread_->SetInterval(interval_);
    thread_->SetPriority(priority_);
    thread_->Start();
}

// The handler may free the timer or disable it: the thread is stopped then, and nothing here
// touches the timer again.
void TkelThreadTimer::Tick(TkelEventThread& thread) {
    try {
        const TNotifyEvent handler = onTimer_;
        handler(this);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (thread.Terminated())
            return;
        TThread::Synchronize([this, &thread, error] {
            if (thread.Terminated())
                return;
            try {
                std::rethrow_exception(error);
            } catch (...) {
                Application.HandleException(this);
            }
        });
    }
}

void TkelThreadTimer::SetEnabled(bool value) {
    enabled_ = value;
    Update();
}

void TkelThreadTimer::SetInterval(unsigned value) {
    interval_ = value;
    if (thread_)
        thread_->SetInterval(value);
}

void TkelThreadTimer::SetPriority(TThreadPriority value) {
    priority_ = value;
    if (thread_)
        thread_->SetPriority(value);
}

void TkelThreadTimer::SetSynchronized(bool value) {
    synchronized_ = value;
    if (thread_)
        thread_->Synchronized = value;
}

void TkelThreadTimer::SetOnTimer(TNotifyEvent handler) {
    thread_.reset();
    onTimer_ = std::move(handler);
    Update();
}

// ---- TkelWndProcHook ----

// Every hook, in the order made; the window procedures the hooks put in front of windows are a
// fixed set of functions, one per slot, each calling the hook that holds its slot.
struct TkelHookTable {
    static constexpr int kSlots = 64;
    std::vector<TkelWndProcHook*> hooks;
    TkelWndProcHook* slots[kSlots] = {};

    static LRESULT Dispatch(int slot, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    template <int N>
    static LRESULT CALLBACK SlotProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        return Dispatch(N, window, message, wParam, lParam);
    }
    template <int... N>
    static constexpr std::array<WNDPROC, kSlots> MakeProcs(std::integer_sequence<int, N...>) {
        return {&SlotProc<N>...};
    }
    static WNDPROC Proc(int slot) {
        static constexpr std::array<WNDPROC, kSlots> procs = MakeProcs(std::make_integer_sequence<int, kSlots>());
        return procs[static_cast<size_t>(slot)];
    }

    // Puts the hooks of window in a chain from original on, in the order made.
    void Chain(HWND window, WNDPROC original) {
        WNDPROC previous = original;
        for (TkelWndProcHook* hook : hooks) {
            if (hook->hooked_ != window)
                continue;
            hook->previous_ = previous;
            previous = Proc(hook->slot_);
        }
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    }
    // The procedure the chain of window starts from; null when no hook holds window.
    WNDPROC Original(HWND window) const {
        for (TkelWndProcHook* hook : hooks)
            if (hook->hooked_ == window)
                return hook->previous_;
        return nullptr;
    }
};

namespace {

// Made with the first hook, freed with the last.
TkelHookTable* gHooks = nullptr;

}  // namespace

LRESULT TkelHookTable::Dispatch(int slot, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TkelWndProcHook* hook = gHooks ? gHooks->slots[slot] : nullptr;
    if (!hook)
        return DefWindowProcA(window, message, wParam, lParam);
    try {
        return hook->HandleMessage(window, message, wParam, lParam);
    } catch (...) {
        HandleWindowException(nullptr);
        return 0;
    }
}

const TClassInfo& TkelWndProcHook::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelWndProcHook::Active, &TkelWndProcHook::SetActive>("Active").WithDefault(false),
        Prop<&TkelWndProcHook::AutoDrag>("AutoDrag").WithDefault(false),
        Prop<&TkelWndProcHook::WinControl, &TkelWndProcHook::SetWinControl>("WinControl"),
        Prop<&TkelWndProcHook::OnChangeHandle>("OnChangeHandle"),
        Prop<&TkelWndProcHook::OnChangeWinControl>("OnChangeWinControl"),
        Prop<&TkelWndProcHook::OnMessageBefore>("OnMessageBefore"),
        Prop<&TkelWndProcHook::OnMessageAfter>("OnMessageAfter"),
    };
    static const TClassInfo info = MakeClassInfo<TkelWndProcHook, TkelComponent>("TkelWndProcHook", props);
    return info;
}

TkelWndProcHook::TkelWndProcHook(TComponent* owner) : TkelComponent(owner) {
    if (!gHooks)
        gHooks = new TkelHookTable;
    gHooks->hooks.push_back(this);
}

TkelWndProcHook::~TkelWndProcHook() {
    if (freed_)
        *freed_ = true;
    Unhook();
    if (winControl_)
        winControl_->RemoveFreeNotification(this);
    auto& hooks = gHooks->hooks;
    hooks.erase(std::remove(hooks.begin(), hooks.end(), this), hooks.end());
    if (hooks.empty()) {
        delete gHooks;
        gHooks = nullptr;
    }
}

void TkelWndProcHook::Loaded() {
    TkelComponent::Loaded();
    if (active_)
        Hook();
}

void TkelWndProcHook::SetActive(bool value) {
    active_ = value;
    if (!value)
        Unhook();
    else if (!IsLoading())
        Hook();
}

void TkelWndProcHook::SetWinControl(TWinControl* control) {
    if (control == winControl_)
        return;
    Unhook();
    if (winControl_)
        winControl_->RemoveFreeNotification(this);
    winControl_ = control;
    if (winControl_)
        winControl_->FreeNotification(this);
    if (active_ && !IsLoading())
        Hook();
    OnChangeWinControl(this);
}

void TkelWndProcHook::Notification(TComponent* component, TOperation operation) {
    TkelComponent::Notification(component, operation);
    if (operation == opRemove && component == winControl_) {
        Unhook();
        winControl_ = nullptr;
    }
}

void TkelWndProcHook::Hook() {
    if (hooked_ || !winControl_ || IsDesigning())
        return;
    int slot = 0;
    while (slot < TkelHookTable::kSlots && gHooks->slots[slot])
        ++slot;
    if (slot == TkelHookTable::kSlots)
        throw EOutOfResources("Too many window hooks");
    const HWND window = winControl_->Handle();
    WNDPROC original = gHooks->Original(window);
    if (!original)
        original = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC));
    slot_ = slot;
    gHooks->slots[slot] = this;
    hooked_ = window;
    gHooks->Chain(window, original);
}

void TkelWndProcHook::Unhook() {
    if (!hooked_)
        return;
    const HWND window = hooked_;
    const WNDPROC original = gHooks->Original(window);
    hooked_ = nullptr;
    gHooks->slots[slot_] = nullptr;
    slot_ = -1;
    if (IsWindow(window))
        gHooks->Chain(window, original);
}

LRESULT TkelWndProcHook::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    bool freed = false;
    bool* const outer = std::exchange(freed_, &freed);
    struct TRestore {
        bool*& field;
        bool* outer;
        bool& freed;
        ~TRestore() {
            if (!freed)
                field = outer;
            else if (outer)
                *outer = true;
        }
    } restore{freed_, outer, freed};

    const WNDPROC previous = previous_;
    TMessage msg{message, wParam, lParam, 0};
    bool handled = false;
    OnMessageBefore(this, msg, handled);
    if (freed)
        return msg.Result;
    if (!handled) {
        if (AutoDrag && message == WM_LBUTTONDOWN) {
            ReleaseCapture();
            SendMessageA(window, WM_SYSCOMMAND, 0xF012, 0);
        } else {
            msg.Result = CallWindowProcA(previous, window, msg.Msg, msg.WParam, msg.LParam);
            if (freed)
                return msg.Result;
        }
    }
    if (message == WM_NCDESTROY && hooked_ == window) {
        // The window is gone; each hook of its chain lets go when the message passes it.
        gHooks->slots[slot_] = nullptr;
        slot_ = -1;
        hooked_ = nullptr;
        OnChangeHandle(this);
        if (freed)
            return msg.Result;
    }
    OnMessageAfter(this, msg, handled);
    return msg.Result;
}

// ---- TkelFolderMonitor ----

DWORD FolderFilterFlags(TFolderMonitorFilters filters) {
    static constexpr DWORD flags[] = {FILE_NOTIFY_CHANGE_FILE_NAME,  FILE_NOTIFY_CHANGE_DIR_NAME,
                                      FILE_NOTIFY_CHANGE_ATTRIBUTES, FILE_NOTIFY_CHANGE_SIZE,
                                      FILE_NOTIFY_CHANGE_LAST_WRITE, FILE_NOTIFY_CHANGE_SECURITY};
    DWORD result = 0;
    for (int i = 0; i <= fmfSecurityChange; ++i)
        if (filters.Contains(static_cast<TFolderMonitorFilter>(i)))
            result |= flags[i];
    return result;
}

const TClassInfo& TkelFolderMonitor::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelFolderMonitor::Active, &TkelFolderMonitor::SetActive>("Active").WithDefault(false),
        Prop<&TkelFolderMonitor::Folder, &TkelFolderMonitor::SetFolder>("Folder"),
        Prop<&TkelFolderMonitor::NotifyFilters, &TkelFolderMonitor::SetNotifyFilters>("NotifyFilters")
            .WithDefault(TFolderMonitorFilters{fmfFileNameChange, fmfDirNameChange}.Bits()),
        Prop<&TkelFolderMonitor::WatchSubTree, &TkelFolderMonitor::SetWatchSubTree>("WatchSubTree").WithDefault(true),
        Prop<&TkelFolderMonitor::OnChange>("OnChange"),
    };
    static const TClassInfo info = MakeClassInfo<TkelFolderMonitor, TkelComponent>("TkelFolderMonitor", props);
    return info;
}

TkelFolderWatchSettings TkelFolderMonitor::Settings() const {
    return TkelFolderWatchSettings{folder_, subTree_, FolderFilterFlags(filters_)};
}

void TkelFolderMonitor::SetFolder(const std::string& value) {
    folder_ = value;
    SettingsChanged();
}

void TkelFolderMonitor::SetNotifyFilters(TFolderMonitorFilters value) {
    filters_ = value;
    SettingsChanged();
}

// ---- TkelRegistryMonitor ----

HKEY RegRootKeyHandle(TkelRegRootKey root) {
    switch (root) {
    case rrkClassesRoot:
        return HKEY_CLASSES_ROOT;
    case rrkCurrentUser:
        return HKEY_CURRENT_USER;
    case rrkLocalMachine:
        return HKEY_LOCAL_MACHINE;
    case rrkUsers:
        return HKEY_USERS;
    case rrkCurrentConfig:
        return HKEY_CURRENT_CONFIG;
    }
    return HKEY_CURRENT_USER;
}

DWORD RegistryFilterFlags(TkelRegistryMonitorFilters filters) {
    static constexpr DWORD flags[] = {REG_NOTIFY_CHANGE_NAME, REG_NOTIFY_CHANGE_ATTRIBUTES, REG_NOTIFY_CHANGE_LAST_SET,
                                      REG_NOTIFY_CHANGE_SECURITY};
    DWORD result = 0;
    for (int i = 0; i <= rmfSecurityChange; ++i)
        if (filters.Contains(static_cast<TkelRegistryMonitorFilter>(i)))
            result |= flags[i];
    return result;
}

const TClassInfo& TkelRegistryMonitor::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelRegistryMonitor::Active, &TkelRegistryMonitor::SetActive>("Active").WithDefault(false),
        Prop<&TkelRegistryMonitor::RegistryKey, &TkelRegistryMonitor::SetRegistryKey>("RegistryKey"),
        Prop<&TkelRegistryMonitor::RootKey, &TkelRegistryMonitor::SetRootKey>("RootKey").WithDefault(rrkCurrentUser),
        Prop<&TkelRegistryMonitor::NotifyFilters, &TkelRegistryMonitor::SetNotifyFilters>("NotifyFilters")
            .WithDefault(TkelRegistryMonitorFilters{rmfSubTreeChange, rmfValueChange}.Bits()),
        Prop<&TkelRegistryMonitor::WatchSubTree, &TkelRegistryMonitor::SetWatchSubTree>("WatchSubTree")
            .WithDefault(true),
        Prop<&TkelRegistryMonitor::OnChange>("OnChange"),
    };
    static const TClassInfo info = MakeClassInfo<TkelRegistryMonitor, TkelComponent>("TkelRegistryMonitor", props);
    return info;
}

TkelRegistryWatchSettings TkelRegistryMonitor::Settings() const {
    return TkelRegistryWatchSettings{RegRootKeyHandle(root_), key_, subTree_, RegistryFilterFlags(filters_)};
}

void TkelRegistryMonitor::SetRegistryKey(const std::string& value) {
    key_ = value;
    SettingsChanged();
}

void TkelRegistryMonitor::SetRootKey(TkelRegRootKey value) {
    root_ = value;
    SettingsChanged();
}

void TkelRegistryMonitor::SetNotifyFilters(TkelRegistryMonitorFilters value) {
    filters_ = value;
    SettingsChanged();
}

// ---- TkelFileOperation ----

FILEOP_FLAGS FileOperationFlags(TkelFileOperationFlags flags) {
    static constexpr FILEOP_FLAGS bits[] = {FOF_ALLOWUNDO,      FOF_FILESONLY,     FOF_NOCONFIRMATION,
                                            FOF_NOCONFIRMMKDIR, FOF_NOERRORUI,     FOF_RENAMEONCOLLISION,
                                            FOF_SILENT,         FOF_SIMPLEPROGRESS};
    FILEOP_FLAGS result = 0;
    for (int i = 0; i <= fofSimpleProgress; ++i)
        if (flags.Contains(static_cast<TkelFileOperationFlag>(i)))
            result |= bits[i];
    return result;
}

const TClassInfo& TkelFileOperation::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelFileOperation::FileList, &TkelFileOperation::SetFileList>("FileList"),
        Prop<&TkelFileOperation::DestFolder>("DestFolder"),
        Prop<&TkelFileOperation::ProgressTitle>("ProgressTitle"),
        Prop<&TkelFileOperation::Operation>("Operation").WithDefault(fotCopy),
        Prop<&TkelFileOperation::Options>("Options").WithDefault(
            TkelFileOperationFlags{fofAllowUndo, fofFilesOnly, fofRenameCollision}.Bits()),
        Prop<&TkelFileOperation::OnError>("OnError"),
    };
    static const TClassInfo info = MakeClassInfo<TkelFileOperation, TkelComponent>("TkelFileOperation", props);
    return info;
}

namespace {

// Names separated by zeros, the list ending in two.
std::string ZeroSeparated(const std::vector<std::string>& names) {
    std::string result;
    for (const std::string& name : names) {
        result += name;
        result += '\0';
    }
    result += '\0';
    return result;
}

}  // namespace

void TkelFileOperation::SetFileList(TStringList* value) {
    if (value)
        fileList_->Assign(*value);
    else
        fileList_->Clear();
}

bool TkelFileOperation::Execute() {
    if (fileList_->Count() == 0)
        return false;
    static constexpr UINT functions[] = {FO_COPY, FO_DELETE, FO_MOVE, FO_RENAME};
    SHFILEOPSTRUCTA operation{};
    auto control = dynamic_cast<TWinControl*>(Owner());
    operation.hwnd = control ? control->Handle() : nullptr;
    operation.wFunc = functions[Operation];
    operation.fFlags = FileOperationFlags(Options);

    bool several = false;
    for (int i = 0; i < fileList_->Count(); ++i)
        several = several || (*fileList_)[i].find('=') != std::string::npos;
    std::vector<std::string> sources;
    std::vector<std::string> targets;
    for (int i = 0; i < fileList_->Count(); ++i) {
        const std::string& line = (*fileList_)[i];
        if (line.empty())
            continue;
        if (!several) {
            sources.push_back(line);
            continue;
        }
        const size_t equals = line.find('=');
        const std::string source = AbsolutePath(AppFolder(), line.substr(0, equals));
        sources.push_back(source);
        targets.push_back(BuildTargetName(source, equals == std::string::npos ? "" : line.substr(equals + 1)));
    }
    if (sources.empty())
        return false;
    const std::string from = ZeroSeparated(sources);
    const std::string to = several ? ZeroSeparated(targets) : DestFolder + std::string(2, '\0');
    operation.pFrom = from.c_str();
    operation.pTo = Operation == fotDelete ? nullptr : to.c_str();
    if (several)
        operation.fFlags |= FOF_MULTIDESTFILES;
    operation.lpszProgressTitle = ProgressTitle.c_str();
    const int rc = CallFileOperation(operation);
    if (rc != 0) {
        bool handled = false;
        OnError(this, SysErrorMessage(static_cast<DWORD>(rc)), handled);
        return false;
    }
    return !operation.fAnyOperationsAborted;
}

// ---- TkelFileAssociation ----

namespace {

constexpr const char* kAssociationNames[atCount] = {
    "Extension",      "ExtDescription",           "FileDescription", "IconFile",
    "OpenCommand",    "OpenCommandDescription",   "OpenNewCommand",  "OpenNewCommandDescription",
    "EditCommand",    "EditCommandDescription",   "PrintCommand",    "PrintCommandDescription",
    "PrintToCommand", "PrintToCommandDescription"};

// The shell verbs: command text, description text, verb key.
struct TAssociationVerb {
    TkelAssociationText Command;
    TkelAssociationText Description;
    const char* Key;
};
constexpr TAssociationVerb kVerbs[] = {
    {atOpenCommand, atOpenCommandDescription, "shell\\open"},
    {atOpenNewCommand, atOpenNewCommandDescription, "shell\\opennew"},
    {atEditCommand, atEditCommandDescription, "shell\\edit"},
    {atPrintCommand, atPrintCommandDescription, "shell\\print"},
    {atPrintToCommand, atPrintToCommandDescription, "shell\\printto"},
};

bool WriteDefault(HKEY root, const std::string& path, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    TUniqueKey owner(key);
    return RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

// The default value of a key when it is a string; empty otherwise.
std::string ReadDefault(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    TUniqueKey owner(key);
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0)
        return "";
    std::string data(size, '\0');
    if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return "";
    data.resize(std::min<size_t>(size, data.size()));
    const size_t end = data.find('\0');  // the stored string need not be terminated
    return end == std::string::npos ? data : data.substr(0, end);
}

}  // namespace

const TClassInfo& TkelFileAssociation::StaticClassInfo() {
    using C = TkelFileAssociation;
    static const TPropInfo props[] = {
        Prop<&C::Text<atExtension>, &C::SetText<atExtension>>(kAssociationNames[atExtension]),
        Prop<&C::Text<atExtDescription>, &C::SetText<atExtDescription>>(kAssociationNames[atExtDescription]),
        Prop<&C::Text<atFileDescription>, &C::SetText<atFileDescription>>(kAssociationNames[atFileDescription]),
        Prop<&C::Text<atIconFile>, &C::SetText<atIconFile>>(kAssociationNames[atIconFile]),
        Prop<&C::IconIndex, &C::SetIconIndex>("IconIndex").WithDefault(0),
        Prop<&C::LargeIcon, &C::SetLargeIcon>("LargeIcon"),
        Prop<&C::SmallIcon, &C::SetSmallIcon>("SmallIcon"),
        Prop<&C::ReadOnly>("ReadOnly").WithDefault(true),
        Prop<&C::Text<atOpenCommand>, &C::SetText<atOpenCommand>>(kAssociationNames[atOpenCommand]),
        Prop<&C::Text<atOpenCommandDescription>, &C::SetText<atOpenCommandDescription>>(
            kAssociationNames[atOpenCommandDescription]),
        Prop<&C::Text<atOpenNewCommand>, &C::SetText<atOpenNewCommand>>(kAssociationNames[atOpenNewCommand]),
        Prop<&C::Text<atOpenNewCommandDescription>, &C::SetText<atOpenNewCommandDescription>>(
            kAssociationNames[atOpenNewCommandDescription]),
        Prop<&C::Text<atEditCommand>, &C::SetText<atEditCommand>>(kAssociationNames[atEditCommand]),
        Prop<&C::Text<atEditCommandDescription>, &C::SetText<atEditCommandDescription>>(
            kAssociationNames[atEditCommandDescription]),
        Prop<&C::Text<atPrintCommand>, &C::SetText<atPrintCommand>>(kAssociationNames[atPrintCommand]),
        Prop<&C::Text<atPrintCommandDescription>, &C::SetText<atPrintCommandDescription>>(
            kAssociationNames[atPrintCommandDescription]),
        Prop<&C::Text<atPrintToCommand>, &C::SetText<atPrintToCommand>>(kAssociationNames[atPrintToCommand]),
        Prop<&C::Text<atPrintToCommandDescription>, &C::SetText<atPrintToCommandDescription>>(
            kAssociationNames[atPrintToCommandDescription]),
    };
    static const TClassInfo info = MakeClassInfo<TkelFileAssociation, TkelComponent>("TkelFileAssociation", props);
    return info;
}

TkelFileAssociation::TkelFileAssociation(TComponent* owner) : TkelComponent(owner) {
    if (owner && owner->IsLoading())
        BeginLoading();
}

void TkelFileAssociation::SetTextAt(TkelAssociationText which, const std::string& value) {
    if (IsDesigning() && ReadOnly) {
        ShowMessageBox(Application.Handle(), kelconsts::SReadOnlyProperty, kelconsts::SWarning, MB_OK | MB_ICONWARNING);
        return;
    }
    texts_[which] = value;
    if (!IsLoading() && !IsDestroying())
        Changed();
}

void TkelFileAssociation::SetIconIndex(int value) {
    iconIndex_ = value;
    if (!IsLoading() && !IsDestroying())
        Changed();
}

namespace {

void AssignIcon(TIcon& icon, TIcon* value) {
    if (value)
        icon.Assign(*value);
    else
        icon.SetHandle(nullptr);
}

}  // namespace

void TkelFileAssociation::SetLargeIcon(TIcon* value) { AssignIcon(*largeIcon_, value); }

void TkelFileAssociation::SetSmallIcon(TIcon* value) { AssignIcon(*smallIcon_, value); }

void TkelFileAssociation::Changed() {
    if (texts_[atExtension].empty())
        return;  // nothing to write under yet: the texts wait for an extension
    if (!WriteAssociation())
        ShowMessageBox(Application.Handle(), kelconsts::SCannotWriteRegistry, kelconsts::SError, MB_OK | MB_ICONERROR);
}

bool TkelFileAssociation::WriteAssociation() {
    std::string& extension = texts_[atExtension];
    if (extension.empty())
        return false;  // nothing to write under
    if (extension[0] != '.')
        extension.insert(0, ".");
    std::string& type = texts_[atExtDescription];
    if (type.empty())
        type = extension.substr(1) + "file";
    const HKEY root = CallClassesRoot();
    if (!WriteDefault(root, extension, type) || !WriteDefault(root, type, texts_[atFileDescription]))
        return false;
    if (!texts_[atIconFile].empty() &&
        !WriteDefault(root, type + "\\DefaultIcon", texts_[atIconFile] + "," + std::to_string(iconIndex_)))
        return false;
    for (const TAssociationVerb& verb : kVerbs) {
        if (texts_[verb.Command].empty())
            continue;
        const std::string key = type + "\\" + verb.Key;
        if (!WriteDefault(root, key, texts_[verb.Description]) ||
            !WriteDefault(root, key + "\\command", texts_[verb.Command]))
            return false;
    }
    CallChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST);
    return true;
}

bool TkelFileAssociation::ReadAssociation() {
    std::string& extension = texts_[atExtension];
    if (!extension.empty() && extension[0] != '.')
        extension.insert(0, ".");
    for (int i = atExtDescription; i < atCount; ++i)
        texts_[i].clear();
    iconIndex_ = 0;
    largeIcon_->SetHandle(nullptr);
    smallIcon_->SetHandle(nullptr);
    if (extension.empty() || CompareText(extension, ".exe") == 0)
        return false;  // programs have no association
    const HKEY root = CallClassesRoot();
    HKEY probe = nullptr;
    if (RegOpenKeyExA(root, extension.c_str(), 0, KEY_READ, &probe) != ERROR_SUCCESS)
        return false;
    RegCloseKey(probe);
    const std::string type = ReadDefault(root, extension);
    texts_[atExtDescription] = type;
    if (type.empty())
        return true;
    texts_[atFileDescription] = ReadDefault(root, type);
    const std::string icon = ReadDefault(root, type + "\\DefaultIcon");
    const size_t comma = icon.rfind(',');
    if (comma != std::string::npos) {
        texts_[atIconFile] = icon.substr(0, comma);
        iconIndex_ = StrToIntDef(Trim(icon.substr(comma + 1)), 0);
    } else {
        texts_[atIconFile] = icon;
    }
    if (!texts_[atIconFile].empty()) {
        HICON large = nullptr;
        HICON small = nullptr;
        if (ExtractIconExA(texts_[atIconFile].c_str(), iconIndex_, &large, &small, 1) > 0) {
            largeIcon_->SetHandle(large);
            smallIcon_->SetHandle(small);
        }
    }
    for (const TAssociationVerb& verb : kVerbs) {
        const std::string key = type + "\\" + verb.Key;
        texts_[verb.Description] = ReadDefault(root, key);
        texts_[verb.Command] = ReadDefault(root, key + "\\command");
    }
    return true;
}

bool TkelFileAssociation::RemoveAssociation() {
    std::string& extension = texts_[atExtension];
    if (extension.empty())
        return false;
    if (extension[0] != '.')
        extension.insert(0, ".");
    const HKEY root = CallClassesRoot();
    HKEY probe = nullptr;
    if (RegOpenKeyExA(root, extension.c_str(), 0, KEY_READ, &probe) == ERROR_SUCCESS) {
        RegCloseKey(probe);
        if (RegDeleteTreeA(root, extension.c_str()) != ERROR_SUCCESS)
            return false;
        CallChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST);
    }
    ReadAssociation();
    return true;
}

// ---- TkelCustomFileStorage ----

const TClassInfo& TkelCustomFileStorage::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelCustomFileStorage, TkelComponent>("TkelCustomFileStorage", {});
    return info;
}

const TClassInfo& TkelFileStorage::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelFileStorage::FileName, &TkelFileStorage::SetFileName>("FileName"),
        Prop<&TkelFileStorage::SaveName>("SaveName"),
        Prop<&TkelFileStorage::AutoSave, &TkelFileStorage::SetAutoSave>("AutoSave").WithDefault(false),
        Prop<&TkelFileStorage::OnLoad>("OnLoad"),
        Prop<&TkelFileStorage::OnSave>("OnSave"),
        Prop<&TkelFileStorage::OnConfirmOverride>("OnConfirmOverride"),
    };
    static const TClassInfo info = MakeClassInfo<TkelFileStorage, TkelCustomFileStorage>("TkelFileStorage", props);
    return info;
}

TkelCustomFileStorage::TkelCustomFileStorage(TComponent* owner) : TkelComponent(owner) {
    if (owner && owner->IsLoading())
        BeginLoading();
}

void TkelCustomFileStorage::SetFileName(const std::string& value) {
    fileName_ = value;
    if (!IsLoading() && !IsDesigning())
        LoadFromFile(value);
    FileNameChanged();
}

void TkelCustomFileStorage::SetAutoSave(bool value) {
    if (value && IsDesigning() && !CanCreateFile(SaveName)) {
        ShowMessageBox(Application.Handle(), kelconsts::SWrongAutoSaveName, kelconsts::SWarning,
                       MB_OK | MB_ICONWARNING);
        value = false;
    }
    autoSave_ = value;
}

void TkelCustomFileStorage::Loaded() {
    TkelComponent::Loaded();
    if (autoSave_ && !IsDesigning())
        SaveToFile(SaveName);
}

void TkelCustomFileStorage::LoadFromFile(const std::string& fileName) {
    data_.Clear();
    const DWORD attributes = fileName.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(fileName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    try {
        data_.LoadFromFile(fileName);
    } catch (const std::exception&) {
        data_.Clear();
        OnLoad(this, false);
        throw EkelFileStorage(Format(kelconsts::SCannotLoadData, fileName.c_str()));
    }
    OnLoad(this, true);
}

void TkelCustomFileStorage::SaveToFile(const std::string& fileName) {
    if (!fileName.empty() && GetFileAttributesA(fileName.c_str()) != INVALID_FILE_ATTRIBUTES && OnConfirmOverride) {
        bool overrideFile = true;
        OnConfirmOverride(this, overrideFile);
        if (!overrideFile)
            return;
    }
    try {
        if (fileName.empty())
            throw EkelFileStorage("");
        data_.SaveToFile(fileName);
    } catch (const std::exception&) {
        OnSave(this, false);
        throw EkelFileStorage(Format(kelconsts::SCannotSaveData, fileName.c_str()));
    }
    OnSave(this, true);
}

void TkelCustomFileStorage::ReadData(TStream& stream) {
    unsigned char count[4] = {};
    if (stream.Read(count, 4) != 4)
        throw EReadError("FileData: the byte count is missing");
    const uint32_t size = count[0] | (count[1] << 8) | (count[2] << 16) | (static_cast<uint32_t>(count[3]) << 24);
    if (static_cast<int64_t>(size) > stream.Size() - stream.Position())
        throw EReadError("FileData: the byte count runs past the data");
    std::vector<unsigned char> bytes(size);
    if (size && stream.Read(bytes.data(), size) != size)
        throw EReadError("FileData: the data is cut short");
    data_.Clear();
    if (size)
        data_.Write(bytes.data(), size);
    data_.SetPosition(0);
}

void TkelCustomFileStorage::WriteData(TStream& stream) const {
    const uint32_t size = static_cast<uint32_t>(data_.Size());
    const unsigned char count[4] = {static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
                                    static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
    stream.Write(count, 4);
    if (size)
        stream.Write(data_.Memory(), size);
}

void TkelCustomFileStorage::DefineProperties(TFiler& filer) {
    TkelComponent::DefineProperties(filer);
    filer.DefineBinaryProperty(
        "FileData", [this](TStream& stream) { ReadData(stream); }, [this](TStream& stream) { WriteData(stream); }, true);
}

// ---- TkelWav ----

const TClassInfo& TkelWav::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelWav::AsyncPlay, &TkelWav::SetAsyncPlay>("AsyncPlay").WithDefault(true),
        Prop<&TkelWav::Looped>("Looped").WithDefault(false),
        Prop<&TkelWav::NoDefaultSound>("NoDefaultSound").WithDefault(true),
        Prop<&TkelWav::NoStopSound>("NoStopSound").WithDefault(false),
        Prop<&TkelWav::NoWaitIfBusy>("NoWaitIfBusy").WithDefault(true),
        Prop<&TkelWav::PlayFrom, &TkelWav::SetPlayFrom>("PlayFrom").WithDefault(pfFile),
        Prop<&TkelWav::FileName, &TkelWav::SetFileName>("FileName"),
        Prop<&TkelWav::ResourceName, &TkelWav::SetResourceName>("ResourceName"),
        Prop<&TkelWav::EventAlias, &TkelWav::SetEventAlias>("EventAlias"),
        Prop<&TkelWav::OnPlayBefore>("OnPlayBefore"),
        Prop<&TkelWav::OnPlayAfter>("OnPlayAfter"),
    };
    static const TClassInfo info = MakeClassInfo<TkelWav, TkelCustomFileStorage>("TkelWav", props);
    return info;
}

DWORD TkelWav::PlayFlags() const {
    DWORD flags = 0;
    if (asyncPlay_)
        flags |= SND_ASYNC;
    if (Looped)
        flags |= SND_LOOP;
    if (NoDefaultSound)
        flags |= SND_NODEFAULT;
    if (NoStopSound)
        flags |= SND_NOSTOP;
    if (NoWaitIfBusy)
        flags |= SND_NOWAIT;
    switch (playFrom_) {
    case pfFile:
        flags |= SND_FILENAME;
        break;
    case pfResource:
        flags |= SND_RESOURCE;
        break;
    case pfDFM:
        flags |= SND_MEMORY;
        break;
    case pfSystemEvent:
        flags |= SND_ALIAS;
        break;
    }
    return flags;
}

bool TkelWav::Play() {
    const char* sound = nullptr;
    HMODULE module = nullptr;
    switch (playFrom_) {
    case pfFile:
        sound = FileName().c_str();
        break;
    case pfResource:
        sound = resourceName_.c_str();
        module = GetModuleHandleA(nullptr);
        break;
    case pfDFM:
        // The system would read a wave header from an empty buffer.
        if (DataSize() == 0)
            return false;
        sound = reinterpret_cast<const char*>(Data().Memory());
        break;
    case pfSystemEvent:
        sound = eventAlias_.c_str();
        break;
    }
    playing_ = true;
    OnPlayBefore(this);
    const bool played = CallPlaySound(sound, module, PlayFlags()) != 0;
    if (!asyncPlay_ || !played)
        playing_ = false;
    OnPlayAfter(this);
    return played;
}

void TkelWav::Stop() {
    CallPlaySound(nullptr, nullptr, 0);
    playing_ = false;
}

void TkelWav::SourceChanged() {
    if (playing_) {
        Stop();
        Play();
    }
}

void TkelWav::SetAsyncPlay(bool value) {
    const bool switchedOn = value && !asyncPlay_;
    asyncPlay_ = value;
    if (switchedOn && playing_)
        Stop();
}

void TkelWav::SetPlayFrom(TkelWavPlayFrom value) {
    playFrom_ = value;
    SourceChanged();
}

void TkelWav::SetResourceName(const std::string& value) {
    resourceName_ = value;
    SourceChanged();
}

void TkelWav::SetEventAlias(const std::string& value) {
    eventAlias_ = value;
    SourceChanged();
}

// ---- TkelTrayIcon ----

UINT TaskbarCreatedMessage() {
    static const UINT message = RegisterWindowMessageA("TaskbarCreated");
    return message;
}

namespace {

// Balloons need the shell of version 5 or later.
bool ShellHasBalloons() {
    static const bool has = [] {
        HMODULE shell = GetModuleHandleA("shell32.dll");
        using TDllGetVersion = HRESULT(CALLBACK*)(DLLVERSIONINFO*);
        auto getVersion =
            shell ? reinterpret_cast<TDllGetVersion>(reinterpret_cast<void*>(GetProcAddress(shell, "DllGetVersion")))
                  : nullptr;
        DLLVERSIONINFO info{};
        info.cbSize = sizeof(info);
        return getVersion && SUCCEEDED(getVersion(&info)) && info.dwMajorVersion >= 5;
    }();
    return has;
}

// Copies at most limit characters of text into a fixed field, always terminated.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text, size_t limit) {
    const size_t length = std::min({text.size(), N - 1, limit});
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

// Marks a flag while an event runs, so that the caller learns whether the object was freed.
class TFreedFlag {
public:
    explicit TFreedFlag(bool*& slot) : slot_(slot), outer_(std::exchange(slot, &freed_)) {}
    ~TFreedFlag() {
        if (!freed_)
            slot_ = outer_;
        else if (outer_)
            *outer_ = true;
    }
    TFreedFlag(const TFreedFlag&) = delete;
    TFreedFlag& operator=(const TFreedFlag&) = delete;
    bool Freed() const { return freed_; }

private:
    bool*& slot_;
    bool* outer_;
    bool freed_ = false;
};

}  // namespace

const TClassInfo& TkelTrayIcon::StaticClassInfo() {
    using C = TkelTrayIcon;
    static const TPropInfo props[] = {
        Prop<&C::CycleIcons, &C::SetCycleIcons>("CycleIcons").WithDefault(false),
        Prop<&C::CycleInterval, &C::SetCycleInterval>("CycleInterval").WithDefault(200),
        Prop<&C::Icon, &C::SetIcon>("Icon"),
        Prop<&C::ImageList, &C::SetImageList>("ImageList"),
        Prop<&C::ImageIndex, &C::SetImageIndex>("ImageIndex").WithDefault(0),
        Prop<&C::IconID, &C::SetIconID>("IconID").WithDefault(0),
        Prop<&C::MinimizeToTray, &C::SetMinimizeToTray>("MinimizeToTray").WithDefault(false),
        Prop<&C::MinimizeOnStart>("MinimizeOnStart").WithDefault(false),
        Prop<&C::PopupByLeft>("PopupByLeft").WithDefault(false),
        Prop<&C::PopupMenu, &C::SetPopupMenu>("PopupMenu"),
        Prop<&C::Hint, &C::SetHint>("Hint"),
        Prop<&C::ShowHint, &C::SetShowHint>("ShowHint").WithDefault(true),
        Prop<&C::Visible, &C::SetVisible>("Visible").WithDefault(false),
        Prop<&C::VisibleOnDesigning>("VisibleOnDesigning").WithDefault(false),
        Prop<&C::Enabled, &C::SetEnabled>("Enabled").WithDefault(true),
        Prop<&C::InfoText>("InfoText"),
        Prop<&C::InfoTitle>("InfoTitle"),
        Prop<&C::InfoTimeout>("InfoTimeout").WithDefault(10000),
        Prop<&C::InfoType>("InfoType").WithDefault(tiiNone),
        Prop<&C::OnMinimize>("OnMinimize"),
        Prop<&C::OnPopupMenu>("OnPopupMenu"),
        Prop<&C::OnShow>("OnShow"),
        Prop<&C::OnHide>("OnHide"),
        Prop<&C::OnCycleIcons>("OnCycleIcons"),
        Prop<&C::OnBalloonShow>("OnBalloonShow"),
        Prop<&C::OnBalloonTimeout>("OnBalloonTimeout"),
        Prop<&C::OnBalloonClick>("OnBalloonClick"),
        Prop<&C::OnClick>("OnClick"),
        Prop<&C::OnDblClick>("OnDblClick"),
        Prop<&C::OnMouseDown>("OnMouseDown"),
        Prop<&C::OnMouseUp>("OnMouseUp"),
        Prop<&C::OnMouseMove>("OnMouseMove"),
    };
    static const TClassInfo info = MakeClassInfo<TkelTrayIcon, TkelCustomTimer>("TkelTrayIcon", props);
    return info;
}

namespace {

constexpr char kTrayWindowClass[] = "TkelTrayIconWindow";

}  // namespace

LRESULT CALLBACK TkelTrayIcon::IconWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto tray = reinterpret_cast<TkelTrayIcon*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!tray)
        return DefWindowProcA(window, message, wParam, lParam);
    TMessage msg{message, wParam, lParam, 0};
    try {
        tray->IconWndProc(msg);  // may free the tray
    } catch (...) {
        HandleWindowException(nullptr);
    }
    return msg.Result;
}

TkelTrayIcon::TkelTrayIcon(TComponent* owner) : TkelCustomTimer(owner) {
    if (owner && owner->IsLoading())
        BeginLoading();
    TaskbarCreatedMessage();
    static const bool registered = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = IconWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kTrayWindowClass;
        WNDCLASSA existing;
        if (!GetClassInfoA(wc.hInstance, kTrayWindowClass, &existing) && !RegisterClassA(&wc))
            RaiseLastOSError();
        return true;
    }();
    (void)registered;
    iconWindow_ = CreateWindowExA(WS_EX_TOOLWINDOW, kTrayWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (!iconWindow_)
        RaiseLastOSError();
    SetWindowLongPtrA(iconWindow_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetInterval(200);
    icon_->OnChange = [this](TObject*) { ModifyTray(); };
}

TkelTrayIcon::~TkelTrayIcon() {
    if (freed_)
        *freed_ = true;
    minimizeHook_.reset();
    if (inTray_) {
        FillIconData();
        CallNotifyIcon(NIM_DELETE, data_);  // nowhere to report a failure to
        inTray_ = false;
    }
    if (imageList_)
        imageList_->RemoveFreeNotification(this);
    if (popupMenu_)
        popupMenu_->RemoveFreeNotification(this);
    SetWindowLongPtrA(iconWindow_, GWLP_USERDATA, 0);
    DestroyWindow(iconWindow_);
}

void TkelTrayIcon::Loaded() {
    TkelCustomTimer::Loaded();
    SetMinimizeToTray(minimizeToTray_);
    if (visible_ && !inTray_ && ShownNow())
        InsertToTray();
    if (MinimizeOnStart && !IsDesigning()) {
        Application.ShowMainForm = false;
        Minimize();
    }
}

bool TkelTrayIcon::ShownNow() const { return !IsLoading() && (!IsDesigning() || VisibleOnDesigning); }

void TkelTrayIcon::Notification(TComponent* component, TOperation operation) {
    TkelCustomTimer::Notification(component, operation);
    if (operation != opRemove)
        return;
    if (component == imageList_) {
        imageList_ = nullptr;
        ModifyTray();
    }
    if (component == popupMenu_)
        popupMenu_ = nullptr;
}

void TkelTrayIcon::FillIconData() {
    data_ = NOTIFYICONDATAA{};
    data_.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data_.hWnd = iconWindow_;
    data_.uID = static_cast<UINT>(iconId_);
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data_.uCallbackMessage = WM_KELTRAYICON;
    listIcon_.Reset();
    if (imageList_ && imageIndex_ >= 0 && imageIndex_ < imageList_->Count())
        listIcon_.Reset(ImageList_GetIcon(imageList_->Handle(), imageIndex_, ILD_NORMAL));
    if (listIcon_)
        data_.hIcon = listIcon_.Get();
    else if (icon_->Handle())
        data_.hIcon = icon_->Handle();
    else if (Application.Icon().Handle())
        data_.hIcon = Application.Icon().Handle();
    else
        data_.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    if (showHint_)
        CopyField(data_.szTip, hint_, 63);
}

void TkelTrayIcon::InsertToTray() {
    FillIconData();
    if (!CallNotifyIcon(NIM_ADD, data_))
        throw EkelTrayIcon(Format(kelconsts::SInsertToTrayFailed, Name().c_str()));
    inTray_ = true;
}

void TkelTrayIcon::DeleteFromTray() {
    FillIconData();
    inTray_ = false;
    if (!CallNotifyIcon(NIM_DELETE, data_))
        throw EkelTrayIcon(Format(kelconsts::SDeleteFromTrayFailed, Name().c_str()));
}

void TkelTrayIcon::ModifyTray() {
    if (!inTray_)
        return;
    FillIconData();
    CallNotifyIcon(NIM_MODIFY, data_);
}

void TkelTrayIcon::SetVisible(bool value) {
    if (value == visible_)
        return;
    visible_ = value;
    if (!ShownNow())
        return;
    TFreedFlag flag(freed_);
    if (value) {
        try {
            InsertToTray();
        } catch (...) {
            visible_ = false;  // so that showing may be tried again
            throw;
        }
        OnShow(this);
        return;
    }
    if (inTray_)
        DeleteFromTray();
    OnHide(this);
    if (flag.Freed() || !minimizeToTray_)
        return;
    ShowApplication();
    // An owner form other than the main form comes back as well.
    auto owner = dynamic_cast<TWinControl*>(Owner());
    if (owner && owner->Visible() && owner->HandleAllocated())
        ShowWindow(owner->Handle(), SW_SHOW);
}

void TkelTrayIcon::SetCycleIcons(bool value) {
    cycleIcons_ = value;
    UpdateTimer();
}

void TkelTrayIcon::SetIcon(TIcon* value) { AssignIcon(*icon_, value); }

void TkelTrayIcon::SetImageList(TImageList* value) {
    if (value == imageList_)
        return;
    if (imageList_)
        imageList_->RemoveFreeNotification(this);
    imageList_ = value;
    if (imageList_)
        imageList_->FreeNotification(this);
    ModifyTray();
}

void TkelTrayIcon::SetImageIndex(int value) {
    imageIndex_ = value;
    ModifyTray();
}

void TkelTrayIcon::SetIconID(int value) {
    if (value == iconId_)
        return;
    // The shell knows the icon by its number: the old one goes, the new one comes.
    const bool shown = inTray_;
    if (shown) {
        FillIconData();
        CallNotifyIcon(NIM_DELETE, data_);
        inTray_ = false;
    }
    iconId_ = value;
    if (shown)
        InsertToTray();
}

void TkelTrayIcon::SetHint(const std::string& value) {
    hint_ = value;
    ModifyTray();
}

void TkelTrayIcon::SetShowHint(bool value) {
    showHint_ = value;
    ModifyTray();
}

void TkelTrayIcon::SetPopupMenu(TPopupMenu* value) {
    if (value == popupMenu_)
        return;
    if (popupMenu_)
        popupMenu_->RemoveFreeNotification(this);
    popupMenu_ = value;
    if (popupMenu_)
        popupMenu_->FreeNotification(this);
}

void TkelTrayIcon::SetMinimizeToTray(bool value) {
    minimizeToTray_ = value;
    auto form = dynamic_cast<TCustomForm*>(Owner());
    if (!value || !form || IsLoading() || IsDesigning()) {
        minimizeHook_.reset();
        return;
    }
    if (minimizeHook_)
        return;
    // Minimising the form becomes minimising to the tray.
    minimizeHook_ = std::make_unique<TkelWndProcHook>(nullptr);
    minimizeHook_->SetWinControl(form);
    minimizeHook_->OnMessageBefore = [this](TObject*, TMessage& msg, bool& handled) {
        if (msg.Msg == WM_SYSCOMMAND && (msg.WParam & 0xFFF0) == SC_MINIMIZE) {
            handled = true;
            Minimize();
        }
    };
    minimizeHook_->SetActive(true);
}

bool TkelTrayIcon::ShowBalloon() {
    if (!ShellHasBalloons() || !inTray_)
        return false;
    static constexpr DWORD infoFlags[] = {NIIF_NONE, NIIF_INFO, NIIF_WARNING, NIIF_ERROR};
    FillIconData();
    data_.uFlags |= NIF_INFO;
    CopyField(data_.szInfo, InfoText, 255);
    CopyField(data_.szInfoTitle, InfoTitle, 63);
    data_.uTimeout = InfoTimeout;
    data_.dwInfoFlags = infoFlags[InfoType];
    return CallNotifyIcon(NIM_MODIFY, data_) != 0;
}

void TkelTrayIcon::Minimize() {
    TFreedFlag flag(freed_);
    HideApplication();
    SetVisible(true);
    if (!flag.Freed())
        OnMinimize(this);
}

void TkelTrayIcon::Restore() {
    if (minimizeToTray_ && visible_)
        SetVisible(false);  // shows the application
    else
        ShowApplication();
}

void TkelTrayIcon::Timer() {
    if (imageList_ && imageList_->Count() > 0) {
        imageIndex_ = imageIndex_ + 1 >= imageList_->Count() || imageIndex_ < 0 ? 0 : imageIndex_ + 1;
        ModifyTray();
    }
    OnCycleIcons(this);
}

void TkelTrayIcon::IconWndProc(TMessage& message) {
    if (message.Msg == WM_KELTRAYICON) {
        if (message.WParam == static_cast<WPARAM>(iconId_) && Enabled() && !IsDesigning())
            TrayMessage(static_cast<UINT>(message.LParam));
        return;
    }
    if (message.Msg == TaskbarCreatedMessage()) {
        if (visible_ && ShownNow())
            InsertToTray();
        return;
    }
    if (message.Msg == WM_QUERYENDSESSION) {
        message.Result = TRUE;
        return;
    }
    message.Result = DefWindowProcA(iconWindow_, message.Msg, message.WParam, message.LParam);
}

void TkelTrayIcon::TrayMessage(UINT mouseMessage) {
    POINT point{};
    GetCursorPos(&point);
    const TShiftState shift = GetShiftStateNow();
    TFreedFlag flag(freed_);
    switch (mouseMessage) {
    case WM_MOUSEMOVE:
        OnMouseMove(this, shift, point.x, point.y);
        break;
    case WM_LBUTTONDOWN:
        OnMouseDown(this, mbLeft, shift | TShiftState{ssLeft}, point.x, point.y);
        break;
    case WM_LBUTTONUP:
        OnMouseUp(this, mbLeft, shift, point.x, point.y);
        if (!flag.Freed())
            OnClick(this);
        if (!flag.Freed() && PopupByLeft)
            Popup();
        break;
    case WM_LBUTTONDBLCLK:
        OnDblClick(this);
        break;
    case WM_RBUTTONDOWN:
        OnMouseDown(this, mbRight, shift | TShiftState{ssRight}, point.x, point.y);
        break;
    case WM_RBUTTONUP:
        OnMouseUp(this, mbRight, shift, point.x, point.y);
        if (!flag.Freed() && !PopupByLeft)
            Popup();
        break;
    case WM_MBUTTONDOWN:
        OnMouseDown(this, mbMiddle, shift | TShiftState{ssMiddle}, point.x, point.y);
        break;
    case WM_MBUTTONUP:
        OnMouseUp(this, mbMiddle, shift, point.x, point.y);
        break;
    case NIN_BALLOONSHOW:
        OnBalloonShow(this);
        break;
    case NIN_BALLOONTIMEOUT:
        OnBalloonTimeout(this);
        break;
    case NIN_BALLOONUSERCLICK:
        OnBalloonClick(this);
        break;
    default:
        break;
    }
}

void TkelTrayIcon::Popup() {
    if (!popupMenu_ || !popupMenu_->AutoPopup())
        return;
    POINT point{};
    GetCursorPos(&point);
    TFreedFlag flag(freed_);
    Application.ProcessMessages();
    if (flag.Freed() || !popupMenu_)
        return;
    auto form = dynamic_cast<TCustomForm*>(Owner());
    const HWND owner = form ? form->Handle() : nullptr;
    if (owner)
        SetForegroundWindow(owner);
    popupMenu_->SetPopupComponent(this);
    popupMenu_->Popup(point.x, point.y);
    if (flag.Freed())
        return;
    // Without it the menu does not close when the user clicks elsewhere.
    if (owner)
        PostMessageA(owner, WM_NULL, 0, 0);
    OnPopupMenu(this);
}

// ---- TkelStartButtonProperties ----

const TClassInfo& TkelStartButtonProperties::StaticClassInfo() {
    using C = TkelStartButtonProperties;
    static const TPropInfo props[] = {
        Prop<&C::ButtonLeft, &C::SetButtonLeft>("ButtonLeft").NotStored(),
        Prop<&C::ButtonTop, &C::SetButtonTop>("ButtonTop").NotStored(),
        Prop<&C::ButtonWidth, &C::SetButtonWidth>("ButtonWidth").NotStored(),
        Prop<&C::ButtonHeight, &C::SetButtonHeight>("ButtonHeight").NotStored(),
        Prop<&C::Enabled, &C::SetEnabled>("Enabled").NotStored(),
        Prop<&C::Visible, &C::SetVisible>("Visible").NotStored(),
    };
    static const TClassInfo info =
        MakeClassInfo<TkelStartButtonProperties, TkelComponent>("TkelStartButtonProperties", props);
    return info;
}

TkelStartButtonProperties::TkelStartButtonProperties(TComponent* owner)
    : TkelComponent(owner), button_(CallFindStartButton()) {}

TRect TkelStartButtonProperties::Bounds() const {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    if (!button_ || !GetWindowPlacement(button_, &placement))
        return TRect{};
    const RECT& r = placement.rcNormalPosition;
    return MakeRect(r.left, r.top, r.right - r.left, r.bottom - r.top);  // left, top, width, height
}

void TkelStartButtonProperties::SetBoundsOf(int left, int top, int width, int height) {
    const TRect now = Bounds();
    if (!button_ || (now.left == left && now.top == top && now.right == width && now.bottom == height))
        return;
    SetWindowPos(button_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

int TkelStartButtonProperties::ButtonLeft() const { return Bounds().left; }
int TkelStartButtonProperties::ButtonTop() const { return Bounds().top; }
int TkelStartButtonProperties::ButtonWidth() const { return Bounds().right; }
int TkelStartButtonProperties::ButtonHeight() const { return Bounds().bottom; }

void TkelStartButtonProperties::SetButtonLeft(int value) {
    const TRect b = Bounds();
    SetBoundsOf(value, b.top, b.right, b.bottom);
}

void TkelStartButtonProperties::SetButtonTop(int value) {
    const TRect b = Bounds();
    SetBoundsOf(b.left, value, b.right, b.bottom);
}

void TkelStartButtonProperties::SetButtonWidth(int value) {
    const TRect b = Bounds();
    SetBoundsOf(b.left, b.top, value, b.bottom);
}

void TkelStartButtonProperties::SetButtonHeight(int value) {
    const TRect b = Bounds();
    SetBoundsOf(b.left, b.top, b.right, value);
}

bool TkelStartButtonProperties::Enabled() const { return button_ && IsWindowEnabled(button_); }

void TkelStartButtonProperties::SetEnabled(bool value) {
    if (button_)
        EnableWindow(button_, value);
}

bool TkelStartButtonProperties::Visible() const { return button_ && IsWindowVisible(button_); }

void TkelStartButtonProperties::SetVisible(bool value) {
    if (button_)
        ShowWindow(button_, value ? SW_SHOW : SW_HIDE);
}

// ---- TkelColorPicker ----

const TClassInfo& TkelColorPicker::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelColorPicker::Interval, &TkelColorPicker::SetInterval>("Interval").WithDefault(100),
        Prop<&TkelColorPicker::Enabled, &TkelColorPicker::SetEnabled>("Enabled").WithDefault(true),
        Prop<&TkelColorPicker::onTimer_>("OnTimer"),
    };
    static const TClassInfo info = MakeClassInfo<TkelColorPicker, TkelCustomTimer>("TkelColorPicker", props);
    return info;
}

TkelColorPicker::TkelColorPicker(TComponent* owner) : TkelCustomTimer(owner) {
    if (owner && owner->IsLoading())
        BeginLoading();
    SetInterval(100);
}

TColor TkelColorPicker::Color() const { return CallPixelAtCursor(); }

void TkelColorPicker::SetCursor(TCursor value) {
    cursor_ = value;
    Screen.SetCursor(value);
}

// ---- Registration ----

void RegisterKelComponents() {
    RegisterClassesSafe({
        &TkelComponent::StaticClassInfo(),
        &TkelOneInstance::StaticClassInfo(),
        &TkelAutoRun::StaticClassInfo(),
        &TkelShutdown::StaticClassInfo(),
        &TkelCustomTimer::StaticClassInfo(),
        &TkelThreadComponent::StaticClassInfo(),
        &TkelThreadTimer::StaticClassInfo(),
        &TkelWndProcHook::StaticClassInfo(),
        &TkelFolderMonitor::StaticClassInfo(),
        &TkelRegistryMonitor::StaticClassInfo(),
        &TkelFileOperation::StaticClassInfo(),
        &TkelFileAssociation::StaticClassInfo(),
        &TkelCustomFileStorage::StaticClassInfo(),
        &TkelFileStorage::StaticClassInfo(),
        &TkelWav::StaticClassInfo(),
        &TkelTrayIcon::StaticClassInfo(),
        &TkelStartButtonProperties::StaticClassInfo(),
        &TkelColorPicker::StaticClassInfo(),
    });
}
