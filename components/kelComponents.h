#pragma once

// Non-visual utility components: a guard against a second copy of the program, a log-on
// start value and the shutdown of the computer.

#include "Classes.h"
#include "Event.h"
#include "TypInfo.h"
#include "kelSysUtils.h"

#include <windows.h>

#include <functional>
#include <string>

class EOutOfResources : public Exception {
    using Exception::Exception;
};

// The base of the utility components; About is shown by designers only.
class TkelComponent : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelComponent(TComponent* owner) : TComponent(owner) {}

    std::string About;
};

// ---- TkelOneInstance ----------------------------------------------------------------------

using TkelOneInstanceShowMessage = TEvent<void(TObject* Sender, bool& Terminate)>;

// Loaded() checks for another copy: one found, the message shows (ShowMessage), the other copy
// comes forward (ActivatePrevInstance) and this one terminates before its main form shows.
//
// Two named mutexes: "<base>CriticalSection" exists only during the check, so that two copies
// started at once exclude each other; "<base>Default" is owned by the first copy for its whole
// life (a copy that died leaves it abandoned, which counts as free). The base is the title
// (or the upper-cased executable path) + Identifier + ".OneInstance.", with every backslash
// turned into "/": a backslash in a mutex name fails on some systems.
class TkelOneInstance : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelOneInstance(TComponent* owner) : TkelComponent(owner) {}

    bool ActivatePrevInstance = true;
    bool ExeNameAsIdentifier = false;
    std::string Message;
    std::string Identifier;
    bool ShowMessage = false;
    TkelOneInstanceShowMessage OnShowMessage;

    void Loaded() override;
    virtual bool IsAlreadyRunning();
    // True when another copy runs (and the reaction has run).
    virtual bool CheckOneInstance();
    // The mutex names' common part for the present settings.
    std::string MutexBaseName() const;

protected:
    virtual void DoActivatePrevInstance();
    virtual void DoShowMessage();

private:
    bool terminate_ = false;
};

// ---- TkelAutoRun --------------------------------------------------------------------------

// Keeps a value named after FileName's last part under the Run key Kind selects: present
// exactly while AutoRun is set. Each change removes the value of the old settings first.
class TkelAutoRun : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelAutoRun(TComponent* owner);

    bool AutoRun() const { return autoRun_; }
    void SetAutoRun(bool value);
    const std::string& FileName() const { return fileName_; }
    void SetFileName(const std::string& value);
    TkelAutoExecKind Kind() const { return kind_; }
    void SetKind(TkelAutoExecKind value);

    void Loaded() override;
    virtual void ApplyAutoRun();
    virtual void RemoveAutoRun();

private:
    bool autoRun_ = false;
    std::string fileName_;
    TkelAutoExecKind kind_ = aekMachineRun;
};

// ---- TkelShutdown -------------------------------------------------------------------------

enum TkelShutdownActionType { aatPowerOff, aatShutdown, aatReboot, aatLogOff, aatSuspend, aatHibernate };

template <>
struct TEnumTraits<TkelShutdownActionType> {
    static constexpr const char* Names[] = {"aatPowerOff", "aatShutdown", "aatReboot",
                                            "aatLogOff",   "aatSuspend",  "aatHibernate"};
};

using TkelQueryShutdownEvent = TEvent<void(TObject* Sender, bool& CanShutdown)>;

// The calls that end the session or suspend the machine. Tests replace them: a real forced
// reboot ends every process.
struct TkelPowerCalls {
    std::function<BOOL(UINT flags, DWORD reason)> ExitWindowsCall;
    std::function<BOOL(BOOL suspend, BOOL force)> PowerStateCall;
};
// Returns the calls replaced; an empty member stands for the system's call.
TkelPowerCalls SetPowerCallsHook(TkelPowerCalls calls);

class TkelShutdown : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelShutdown(TComponent* owner) : TkelComponent(owner) {}

    TkelShutdownActionType ActionType = aatPowerOff;
    // Applications are not asked.
    bool Force = false;
    TkelQueryShutdownEvent OnQueryShutdown;

    virtual void DoQueryShutdown(bool& canShutdown);
    // False on a failed privilege step, a veto or a failing call.
    virtual bool Execute();
};

// ---- TkelCustomTimer ----------------------------------------------------------------------

// A timer on a hidden window of its own (made with the component, on the creating thread).
// The system timer (id 1) runs only while Enabled, Interval is not 0 and a timer handler is
// set (OnTimer, or HasTimerHandler overridden); every setter kills it and starts it afresh.
// Each WM_TIMER calls Timer(); an exception from it goes to Application.HandleException.
// A SetTimer the system refuses raises EOutOfResources.
class TkelCustomTimer : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomTimer(TComponent* owner);
    ~TkelCustomTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned value);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent handler);

    // The hidden window; it lives as long as the component.
    HWND WindowHandle() const { return window_; }
    // Whether the system timer runs now.
    bool Running() const { return running_; }

    void Loaded() override;

protected:
    // Fires OnTimer.
    virtual void Timer();
    virtual bool HasTimerHandler() const { return onTimer_.Assigned(); }
    // WM_TIMER of id 1 calls Timer(); everything else goes to DefWindowProcA.
    virtual void WndProc(TMessage& message);
    // Kills the system timer and starts it again when the settings call for it.
    void UpdateTimer();

private:
    static constexpr UINT_PTR kTimerId = 1;

    HWND window_ = nullptr;
    bool enabled_ = true;
    unsigned interval_ = 1000;
    bool running_ = false;
    TNotifyEvent onTimer_;
};
