#pragma once

// Non-visual utility components: a guard against a second copy of the program, a log-on
// start value and the shutdown of the computer.

#include "Classes.h"
#include "Controls.h"
#include "Event.h"
#include "Forms.h"
#include "Graphics.h"
#include "ImgList.h"
#include "Menus.h"
#include "Streams.h"
#include "StringList.h"
#include "TypInfo.h"
#include "kelClasses.h"
#include "kelSysUtils.h"

#include <shellapi.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

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

    // Set by name in form streams; takes effect at Loaded().
    TNotifyEvent onTimer_;

private:
    static constexpr UINT_PTR kTimerId = 1;

    HWND window_ = nullptr;
    bool enabled_ = true;
    unsigned interval_ = 1000;
    bool running_ = false;
};

// ---- Calls into the shell and the multimedia system ----------------------------------------

// Tests replace these: they would copy files, play sounds, touch the task bar or tell the
// desktop that file types changed. An empty member stands for the system's call.
struct TkelShellCalls {
    std::function<int(SHFILEOPSTRUCTA& operation)> FileOperation;
    std::function<void(LONG event, UINT flags)> ChangeNotify;
    std::function<BOOL(const char* sound, HMODULE module, DWORD flags)> PlayWave;
    std::function<BOOL(DWORD message, NOTIFYICONDATAA& data)> NotifyIcon;
    // The task bar's start button (0 when there is none).
    std::function<HWND()> FindStartButton;
    std::function<TColor()> PixelAtCursor;
    // Where file types are registered (HKEY_CLASSES_ROOT).
    std::function<HKEY()> ClassesRoot;
};
// Returns the calls replaced.
TkelShellCalls SetShellCallsHook(TkelShellCalls calls);

// Registers every class of the utility components by name (harmless when repeated).
void RegisterKelComponents();

// ---- TkelThreadComponent ------------------------------------------------------------------

// Runs OnExecute once on a worker thread (on the main thread when Synchronized) after Start.
// An exception from OnExecute goes to OnException, else to a message box on the main thread.
// After a normal end OnFinish runs on the main thread, then OnTerminate. The handler should
// look at Terminated(): the component asks the thread to stop and waits for it when freed or
// restarted. OnFinish, OnException and OnTerminate may free or restart the component: the old
// thread is not waited for then, it ends and frees itself once the handler has returned.
class TkelThreadComponent : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelThreadComponent(TComponent* owner);
    ~TkelThreadComponent() override;

    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority value);
    int ReturnValue() const;
    void SetReturnValue(int value);
    // True until the thread starts, and while its suspension is asked for. Setting False starts
    // or resumes it; setting True stops a running worker at its next wait (TkelThread::WaitForWake
    // or WaitWhileSuspended) until resumed.
    bool Suspended() const;
    void SetSuspended(bool value);
    bool Synchronized() const { return synchronized_; }
    void SetSynchronized(bool value);

    TNotifyEvent OnExecute;
    TExceptionEvent OnException;
    TNotifyEvent OnTerminate;
    TNotifyEvent OnFinish;

    void Start() { SetSuspended(false); }
    // A fresh, suspended thread with the same settings; the old one is stopped and waited for.
    void Restart();
    // Asks the thread to stop and wakes it; does not wait.
    void Stop();
    bool Terminated() const;
    // Waits for the end; synchronised calls keep running meanwhile.
    void WaitFor();
    bool Finished() const;
    TkelEventThread* Thread() const { return thread_.get(); }

protected:
    // Shows the box for an exception that OnException does not take. Main thread.
    virtual void ShowThreadException(std::exception_ptr error);

private:
    void MakeThread();
    void ThreadExecute(TkelEventThread& thread);
    void ReportException(TkelEventThread& thread, std::exception_ptr error);

    TkelThreadPtr<TkelEventThread> thread_;
    TThreadPriority priority_ = tpNormal;
    bool started_ = false;
    bool synchronized_ = false;
    bool destroying_ = false;
};

// ---- TkelThreadTimer ----------------------------------------------------------------------

// OnTimer every Interval milliseconds from a worker thread (through the main thread when
// Synchronized), while Enabled with OnTimer set. Disabling stops the thread and waits for it.
class TkelThreadTimer : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelThreadTimer(TComponent* owner);
    ~TkelThreadTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned value);
    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority value);
    bool Synchronized() const { return synchronized_; }
    void SetSynchronized(bool value);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    // Stops a running thread first: the worker reads the handler.
    void SetOnTimer(TNotifyEvent handler);

    bool Running() const { return thread_ != nullptr; }
    TkelTimerThread* Thread() const { return thread_.get(); }
    void Loaded() override;

private:
    void Update();
    void Tick(TkelEventThread& thread);

    TkelThreadPtr<TkelTimerThread> thread_;
    bool enabled_ = true;
    unsigned interval_ = 1000;
    TThreadPriority priority_ = tpNormal;
    bool synchronized_ = false;
    TNotifyEvent onTimer_;
};

// ---- TkelWndProcHook ----------------------------------------------------------------------

using TkelMessageEvent = TEvent<void(TObject* Sender, TMessage& Msg, bool& Handled)>;

// Puts a window procedure of its own in front of WinControl's window while Active. Several
// hooks of one window chain in the order they were made: the window runs the last one first.
// Per message: OnMessageBefore; unless handled, AutoDrag turns a left button press into a move
// of the window, else the previous procedure runs; then OnMessageAfter. The hook lets go of a
// window that is destroyed (OnChangeHandle) and of a control that is freed.
class TkelWndProcHook : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelWndProcHook(TComponent* owner);
    ~TkelWndProcHook() override;

    bool Active() const { return active_; }
    void SetActive(bool value);
    TWinControl* WinControl() const { return winControl_; }
    void SetWinControl(TWinControl* control);
    bool AutoDrag = false;

    TNotifyEvent OnChangeHandle;
    TNotifyEvent OnChangeWinControl;
    TkelMessageEvent OnMessageBefore;
    TkelMessageEvent OnMessageAfter;

    // The window hooked now (0 when none).
    HWND HookedWindow() const { return hooked_; }
    void Loaded() override;

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend struct TkelHookTable;
    void Hook();
    void Unhook();
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    bool active_ = false;
    TWinControl* winControl_ = nullptr;
    HWND hooked_ = nullptr;
    int slot_ = -1;
    WNDPROC previous_ = nullptr;
    bool* freed_ = nullptr;  // set by the destructor while a message runs
};

// What the folder and registry monitors share: a watcher thread runs while the monitor is
// Active, has an OnChange handler and is loaded; new settings reach a running watcher at once.
// OnChange runs on the main thread and may free the monitor.
template <class Watcher, class WatchSettings>
class TkelChangeMonitor : public TkelComponent {
public:
    explicit TkelChangeMonitor(TComponent* owner) : TkelComponent(owner) {}
    ~TkelChangeMonitor() override { thread_.reset(); }

    bool Active() const { return active_; }
    void SetActive(bool value) {
        active_ = value;
        Update();
    }
    bool WatchSubTree() const { return subTree_; }
    void SetWatchSubTree(bool value) {
        subTree_ = value;
        SettingsChanged();
    }
    TNotifyEvent OnChange;

    void Loaded() override {
        TkelComponent::Loaded();
        Update();
    }
    Watcher* Thread() const { return thread_.get(); }

protected:
    virtual WatchSettings Settings() const = 0;
    void SettingsChanged() {
        if (thread_)
            thread_->SetSettings(Settings());
    }

    bool subTree_ = true;

private:
    void Update() {
        if (!active_ || !OnChange || IsLoading() || IsDesigning()) {
            thread_.reset();
            return;
        }
        if (thread_)
            return;
        thread_.reset(new Watcher(Settings(), [this] {
            const TNotifyEvent handler = OnChange;  // the handler may free the monitor
            handler(this);
        }));
        thread_->Start();
    }

    TkelThreadPtr<Watcher> thread_;
    bool active_ = false;
};

// ---- TkelFolderMonitor --------------------------------------------------------------------

enum TFolderMonitorFilter {
    fmfFileNameChange,
    fmfDirNameChange,
    fmfAttributeChange,
    fmfSizeChange,
    fmfWriteChange,
    fmfSecurityChange
};

template <>
struct TEnumTraits<TFolderMonitorFilter> {
    static constexpr const char* Names[] = {"fmfFileNameChange", "fmfDirNameChange", "fmfAttributeChange",
                                            "fmfSizeChange",     "fmfWriteChange",   "fmfSecurityChange"};
};

using TFolderMonitorFilters = TSet<TFolderMonitorFilter>;

// FILE_NOTIFY_CHANGE_ flags of a filter set.
DWORD FolderFilterFlags(TFolderMonitorFilters filters);

// OnChange (main thread) for each change in Folder, while Active with OnChange set.
class TkelFolderMonitor : public TkelChangeMonitor<TkelFolderMonitorThread, TkelFolderWatchSettings> {
    DECLARE_CLASS_INFO()

public:
    explicit TkelFolderMonitor(TComponent* owner) : TkelChangeMonitor(owner) {}

    const std::string& Folder() const { return folder_; }
    void SetFolder(const std::string& value);
    TFolderMonitorFilters NotifyFilters() const { return filters_; }
    void SetNotifyFilters(TFolderMonitorFilters value);

protected:
    TkelFolderWatchSettings Settings() const override;

private:
    std::string folder_ = "C:\\";
    TFolderMonitorFilters filters_{fmfFileNameChange, fmfDirNameChange};
};

// ---- TkelRegistryMonitor ------------------------------------------------------------------

enum TkelRegRootKey { rrkClassesRoot, rrkCurrentUser, rrkLocalMachine, rrkUsers, rrkCurrentConfig };

template <>
struct TEnumTraits<TkelRegRootKey> {
    static constexpr const char* Names[] = {"rrkClassesRoot", "rrkCurrentUser", "rrkLocalMachine", "rrkUsers",
                                            "rrkCurrentConfig"};
};

HKEY RegRootKeyHandle(TkelRegRootKey root);

enum TkelRegistryMonitorFilter { rmfSubTreeChange, rmfAttributeChange, rmfValueChange, rmfSecurityChange };

template <>
struct TEnumTraits<TkelRegistryMonitorFilter> {
    static constexpr const char* Names[] = {"rmfSubTreeChange", "rmfAttributeChange", "rmfValueChange",
                                            "rmfSecurityChange"};
};

using TkelRegistryMonitorFilters = TSet<TkelRegistryMonitorFilter>;

// REG_NOTIFY_CHANGE_ flags of a filter set.
DWORD RegistryFilterFlags(TkelRegistryMonitorFilters filters);

// OnChange (main thread) when RegistryKey below RootKey changes, appears or is deleted, while
// Active with OnChange set.
class TkelRegistryMonitor : public TkelChangeMonitor<TkelRegistryMonitorThread, TkelRegistryWatchSettings> {
    DECLARE_CLASS_INFO()

public:
    explicit TkelRegistryMonitor(TComponent* owner) : TkelChangeMonitor(owner) {}

    const std::string& RegistryKey() const { return key_; }
    void SetRegistryKey(const std::string& value);
    TkelRegRootKey RootKey() const { return root_; }
    void SetRootKey(TkelRegRootKey value);
    TkelRegistryMonitorFilters NotifyFilters() const { return filters_; }
    void SetNotifyFilters(TkelRegistryMonitorFilters value);

protected:
    TkelRegistryWatchSettings Settings() const override;

private:
    std::string key_;
    TkelRegRootKey root_ = rrkCurrentUser;
    TkelRegistryMonitorFilters filters_{rmfSubTreeChange, rmfValueChange};
};

// ---- TkelFileOperation --------------------------------------------------------------------

enum TkelFileOperationType { fotCopy, fotDelete, fotMove, fotRename };

template <>
struct TEnumTraits<TkelFileOperationType> {
    static constexpr const char* Names[] = {"fotCopy", "fotDelete", "fotMove", "fotRename"};
};

enum TkelFileOperationFlag {
    fofAllowUndo,
    fofFilesOnly,
    fofNoConfirmation,
    fofNoConfirmMkDir,
    fofNoErrorUI,
    fofRenameCollision,
    fofSilent,
    fofSimpleProgress
};

template <>
struct TEnumTraits<TkelFileOperationFlag> {
    static constexpr const char* Names[] = {"fofAllowUndo",      "fofFilesOnly",     "fofNoConfirmation",
                                            "fofNoConfirmMkDir", "fofNoErrorUI",     "fofRenameCollision",
                                            "fofSilent",         "fofSimpleProgress"};
};

using TkelFileOperationFlags = TSet<TkelFileOperationFlag>;
using TkelFileOperationEvent = TEvent<void(TObject* Sender, const std::string& S, bool& Handled)>;

// FOF_ flags of a flag set.
FILEOP_FLAGS FileOperationFlags(TkelFileOperationFlags flags);

// Copies, moves, renames or deletes the files of FileList through the shell. A line
// "source=target" names its own target (relative sources lie in the program's folder);
// otherwise every line is a source and DestFolder the destination.
class TkelFileOperation : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelFileOperation(TComponent* owner) : TkelComponent(owner) {}

    TStringList* FileList() const { return fileList_.get(); }
    // Copies the lines; null empties the list.
    void SetFileList(TStringList* value);
    std::string DestFolder;
    std::string ProgressTitle;
    TkelFileOperationType Operation = fotCopy;
    TkelFileOperationFlags Options{fofAllowUndo, fofFilesOnly, fofRenameCollision};
    TkelFileOperationEvent OnError;

    // False for an empty list, a failure or an operation the user aborted.
    virtual bool Execute();

private:
    const std::unique_ptr<TStringList> fileList_ = std::make_unique<TStringList>();
};

// ---- TkelFileAssociation ------------------------------------------------------------------

enum TkelAssociationText {
    atExtension,
    atExtDescription,
    atFileDescription,
    atIconFile,
    atOpenCommand,
    atOpenCommandDescription,
    atOpenNewCommand,
    atOpenNewCommandDescription,
    atEditCommand,
    atEditCommandDescription,
    atPrintCommand,
    atPrintCommandDescription,
    atPrintToCommand,
    atPrintToCommandDescription,
    atCount
};

// A file type in HKEY_CLASSES_ROOT: the extension's key names the type key, which holds the
// description, the icon and the shell commands. At run time every change, the extension's too,
// is written at once; ReadAssociation reads what is registered.
class TkelFileAssociation : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelFileAssociation(TComponent* owner);

    template <TkelAssociationText T>
    const std::string& Text() const {
        return texts_[T];
    }
    template <TkelAssociationText T>
    void SetText(const std::string& value) {
        SetTextAt(T, value);
    }
    const std::string& Extension() const { return texts_[atExtension]; }
    void SetExtension(const std::string& value) { SetTextAt(atExtension, value); }
    int IconIndex() const { return iconIndex_; }
    void SetIconIndex(int value);
    bool ReadOnly = true;
    TIcon* LargeIcon() const { return largeIcon_.get(); }
    TIcon* SmallIcon() const { return smallIcon_.get(); }
    // Copy the icon; null clears it.
    void SetLargeIcon(TIcon* value);
    void SetSmallIcon(TIcon* value);

    // False when a key cannot be opened.
    virtual bool WriteAssociation();
    virtual bool ReadAssociation();
    // Deletes the extension's key with everything below it, then reads again.
    virtual bool RemoveAssociation();

protected:
    void SetTextAt(TkelAssociationText which, const std::string& value);
    // A changed property at run time: written at once, a failure shown in a box.
    void Changed();

private:
    std::string texts_[atCount];
    int iconIndex_ = 0;
    const std::unique_ptr<TIcon> largeIcon_ = std::make_unique<TIcon>();
    const std::unique_ptr<TIcon> smallIcon_ = std::make_unique<TIcon>();
};

// ---- TkelCustomFileStorage, TkelFileStorage -----------------------------------------------

class EkelFileStorage : public Exception {
    using Exception::Exception;
};

using TkelFileStorageOnFileOperation = TEvent<void(TObject* Sender, bool Successful)>;
using TkelConfirmOverrideEvent = TEvent<void(TObject* Sender, bool& OverrideFile)>;

// The bytes of a file kept with the form. In a form stream they are the binary property
// "FileData": a 32-bit little-endian count, then that many bytes.
class TkelCustomFileStorage : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomFileStorage(TComponent* owner);

    TMemoryStream& Data() { return data_; }
    int DataSize() const { return static_cast<int>(data_.Size()); }
    const std::string& FileName() const { return fileName_; }
    // At run time (not while loading) the file is read into the data.
    void SetFileName(const std::string& value);
    std::string SaveName;
    bool AutoSave() const { return autoSave_; }
    void SetAutoSave(bool value);
    TkelFileStorageOnFileOperation OnLoad;
    TkelFileStorageOnFileOperation OnSave;
    TkelConfirmOverrideEvent OnConfirmOverride;

    // Clears the data and reads the file, if it exists. Raises EkelFileStorage on failure.
    void LoadFromFile(const std::string& fileName);
    // Writes the data to a new file (asking OnConfirmOverride first when it exists). Raises
    // EkelFileStorage on failure.
    void SaveToFile(const std::string& fileName);

    // The "FileData" form: count, then bytes. Reading refuses a count beyond the stream.
    void ReadData(TStream& stream);
    void WriteData(TStream& stream) const;

    void Loaded() override;

protected:
    virtual void FileNameChanged() {}
    // "FileData", written even when empty (the count 0 alone).
    void DefineProperties(TFiler& filer) override;

private:
    mutable TMemoryStream data_;  // the stream's size is not const
    std::string fileName_;
    bool autoSave_ = false;
};

class TkelFileStorage : public TkelCustomFileStorage {
    DECLARE_CLASS_INFO()

public:
    explicit TkelFileStorage(TComponent* owner) : TkelCustomFileStorage(owner) {}
};

// ---- TkelWav ------------------------------------------------------------------------------

enum TkelWavPlayFrom { pfFile, pfResource, pfDFM, pfSystemEvent };

template <>
struct TEnumTraits<TkelWavPlayFrom> {
    static constexpr const char* Names[] = {"pfFile", "pfResource", "pfDFM", "pfSystemEvent"};
};

// Plays a wave sound from a file, a resource, its stored data or a system event.
class TkelWav : public TkelCustomFileStorage {
    DECLARE_CLASS_INFO()

public:
    explicit TkelWav(TComponent* owner) : TkelCustomFileStorage(owner) {}

    bool AsyncPlay() const { return asyncPlay_; }
    void SetAsyncPlay(bool value);
    bool Looped = false;
    bool NoDefaultSound = true;
    bool NoStopSound = false;
    bool NoWaitIfBusy = true;
    TkelWavPlayFrom PlayFrom() const { return playFrom_; }
    void SetPlayFrom(TkelWavPlayFrom value);
    const std::string& ResourceName() const { return resourceName_; }
    void SetResourceName(const std::string& value);
    const std::string& EventAlias() const { return eventAlias_; }
    void SetEventAlias(const std::string& value);
    TNotifyEvent OnPlayBefore;
    TNotifyEvent OnPlayAfter;

    // The flags Play passes for the present settings.
    DWORD PlayFlags() const;
    // False when the system refuses, and when the stored data is to be played but is empty.
    virtual bool Play();
    virtual void Stop();
    bool Playing() const { return playing_; }

protected:
    void FileNameChanged() override { SourceChanged(); }

private:
    void SourceChanged();

    bool asyncPlay_ = true;
    TkelWavPlayFrom playFrom_ = pfFile;
    std::string resourceName_ = "WAVE1";
    std::string eventAlias_ = ".Default";
    bool playing_ = false;
};

// ---- TkelTrayIcon -------------------------------------------------------------------------

enum TkelTrayIconInfoType { tiiNone, tiiInfo, tiiWarning, tiiError };

template <>
struct TEnumTraits<TkelTrayIconInfoType> {
    static constexpr const char* Names[] = {"tiiNone", "tiiInfo", "tiiWarning", "tiiError"};
};

class EkelTrayIcon : public Exception {
    using Exception::Exception;
};

// The message the shell sends the icon's window for mouse actions and balloon notices.
inline constexpr UINT WM_KELTRAYICON = WM_USER + 211;
// "TaskbarCreated": the shell (re)started; registered once.
UINT TaskbarCreatedMessage();

// An icon in the notification area. The icon shown is ImageList's image ImageIndex when
// there is one, else Icon, else the application's. Mouse actions on it fire the mouse events
// while Enabled; the right button (the left one with PopupByLeft) opens PopupMenu. With
// CycleIcons the images of ImageList take turns every CycleInterval milliseconds. With
// MinimizeToTray, minimising the owner form hides the application and shows the icon.
class TkelTrayIcon : public TkelCustomTimer {
    DECLARE_CLASS_INFO()

public:
    explicit TkelTrayIcon(TComponent* owner);
    ~TkelTrayIcon() override;

    bool CycleIcons() const { return cycleIcons_; }
    void SetCycleIcons(bool value);
    unsigned CycleInterval() const { return Interval(); }
    void SetCycleInterval(unsigned value) { SetInterval(value); }
    TIcon* Icon() const { return icon_.get(); }
    // Copies the icon; null clears it.
    void SetIcon(TIcon* value);
    TImageList* ImageList() const { return imageList_; }
    void SetImageList(TImageList* value);
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int value);
    int IconID() const { return iconId_; }
    void SetIconID(int value);
    bool MinimizeToTray() const { return minimizeToTray_; }
    void SetMinimizeToTray(bool value);
    bool MinimizeOnStart = false;
    bool PopupByLeft = false;
    TPopupMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(TPopupMenu* value);
    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& value);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool value);
    bool Visible() const { return visible_; }
    void SetVisible(bool value);
    bool VisibleOnDesigning = false;
    std::string InfoText;
    std::string InfoTitle;
    unsigned InfoTimeout = 10000;
    TkelTrayIconInfoType InfoType = tiiNone;

    TNotifyEvent OnMinimize;
    TNotifyEvent OnPopupMenu;
    TNotifyEvent OnShow;
    TNotifyEvent OnHide;
    TNotifyEvent OnCycleIcons;
    TNotifyEvent OnBalloonShow;
    TNotifyEvent OnBalloonTimeout;
    TNotifyEvent OnBalloonClick;
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    TMouseMoveEvent OnMouseMove;

    // Shows InfoText in a balloon; false when the shell has no balloons or refuses.
    bool ShowBalloon();
    // Hides the application and shows the icon; Restore undoes it.
    void Minimize();
    void Restore();
    // The record last sent to the shell.
    const NOTIFYICONDATAA& IconData() const { return data_; }
    // The hidden top-level window the shell talks to (a message-only window would miss the
    // shell's broadcast when it restarts).
    HWND IconWindow() const { return iconWindow_; }

    void Loaded() override;

protected:
    void Timer() override;
    bool HasTimerHandler() const override { return cycleIcons_; }
    // The icon window's messages: the shell's notices, "TaskbarCreated", WM_QUERYENDSESSION.
    virtual void IconWndProc(TMessage& message);
    void Notification(TComponent* component, TOperation operation) override;

private:
    static LRESULT CALLBACK IconWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    void InsertToTray();
    void DeleteFromTray();
    // NIM_MODIFY with the present icon and tip while shown.
    void ModifyTray();
    void FillIconData();
    void TrayMessage(UINT mouseMessage);
    void Popup();
    bool ShownNow() const;

    HWND iconWindow_ = nullptr;
    const std::unique_ptr<TIcon> icon_ = std::make_unique<TIcon>();
    TUniqueIcon listIcon_;  // the image list's icon now shown
    TImageList* imageList_ = nullptr;
    TPopupMenu* popupMenu_ = nullptr;
    std::unique_ptr<TkelWndProcHook> minimizeHook_;
    NOTIFYICONDATAA data_{};
    std::string hint_;
    int imageIndex_ = 0;
    int iconId_ = 0;
    bool cycleIcons_ = false;
    bool minimizeToTray_ = false;
    bool showHint_ = true;
    bool visible_ = false;
    bool inTray_ = false;
    bool* freed_ = nullptr;  // set by the destructor while an event runs
};

// ---- TkelStartButtonProperties ------------------------------------------------------------

// The task bar's start button, found when the component is made: each bound read asks the
// button for its place, each changed bound moves it.
class TkelStartButtonProperties : public TkelComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TkelStartButtonProperties(TComponent* owner);

    int ButtonLeft() const;
    void SetButtonLeft(int value);
    int ButtonTop() const;
    void SetButtonTop(int value);
    int ButtonWidth() const;
    void SetButtonWidth(int value);
    int ButtonHeight() const;
    void SetButtonHeight(int value);
    bool Enabled() const;
    void SetEnabled(bool value);
    bool Visible() const;
    void SetVisible(bool value);

    // 0 when the desktop has no start button.
    HWND ButtonHandle() const { return button_; }

private:
    // Left, top, width and height from the button's placement.
    TRect Bounds() const;
    void SetBoundsOf(int left, int top, int width, int height);

    HWND button_ = nullptr;
};

// ---- TkelColorPicker ----------------------------------------------------------------------

// OnTimer every Interval milliseconds while Enabled; Color() is the screen pixel under the mouse.
class TkelColorPicker : public TkelCustomTimer {
    DECLARE_CLASS_INFO()

public:
    explicit TkelColorPicker(TComponent* owner);

    TColor Color() const;
    TCursor Cursor() const { return cursor_; }
    // Shows that screen cursor.
    void SetCursor(TCursor value);

private:
    TCursor cursor_ = crDefault;
};
