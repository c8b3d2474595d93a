#pragma once

// A component that starts a program or opens a document through the shell and waits for it
// in the caller, on a thread of its own, or not at all.
//
// Thread mode (WaitUntilFinished off): LaunchProgram returns once the program runs or the
// start failed; the thread waits and raises the events on the main thread through
// TThread::Synchronize. Freeing the launcher stops that waiting (the program keeps running)
// and no event reaches the launcher any more.

#include "Classes.h"
#include "Event.h"
#include "Handles.h"
#include "KvCommon.h"
#include "Thread.h"
#include "TypInfo.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

enum TShowMode { smNormal, smMaximized, smMinimized, smHide };
enum TKvWaitType { wtFullStop, wtProcessMessages };

using TKvLaunchErrorEvent = TEvent<void(TObject* Sender, DWORD ErrorCode)>;

class TKvLaunchThread;
struct TKvLaunchLink;

class TKvLauncher : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TKvLauncher(TComponent* owner);
    // Stops a thread-mode wait and waits for its thread, unless the launcher is freed from
    // inside one of its own events (the thread then ends without touching it again).
    ~TKvLauncher() override;
    void BeforeDestruction() override;

    TKvAboutInfo About() const { return aiKavrenComponents; }
    void SetAbout(TKvAboutInfo) {}
    const std::string& Action() const { return action_; }
    void SetAction(const std::string& value) { action_ = value; }
    const std::string& FileName() const { return fileName_; }
    void SetFileName(const std::string& value) { fileName_ = value; }
    const std::string& Parameters() const { return parameters_; }
    void SetParameters(const std::string& value) { parameters_ = value; }
    TShowMode ShowMode() const { return showMode_; }
    void SetShowMode(TShowMode value) { showMode_ = value; }
    const std::string& StartDir() const { return startDir_; }
    void SetStartDir(const std::string& value) { startDir_ = value; }
    // Milliseconds; a negative value means no limit.
    int Timeout() const { return timeout_; }
    void SetTimeout(int value) { timeout_ = value; }
    TKvWaitType WaitType() const { return waitType_; }
    void SetWaitType(TKvWaitType value) { waitType_ = value; }
    bool WaitUntilFinished() const { return waitUntilFinished_; }
    void SetWaitUntilFinished(bool value) { waitUntilFinished_ = value; }

    TNotifyEvent OnFinished;
    TKvLaunchErrorEvent OnError;
    TNotifyEvent OnTimeout;

    // The shell's instance value of the last start (above 32 on success).
    HINSTANCE InstanceHandle() const { return instanceHandle_; }
    // The shell's error value of a failed start, or the system error of a failed wait.
    DWORD ErrorCode() const { return errorCode_; }
    // The started program's process while the launcher waits for it.
    HANDLE ProcessHandle() const { return processHandle_; }
    DWORD ExitCode() const { return exitCode_; }
    bool Running() const { return running_; }
    // The thread of the running thread-mode launch, null otherwise; it frees itself once
    // the launch is over.
    TKvLaunchThread* LaunchThread() const { return launchThread_; }

    // Waits for the program in the caller (WaitUntilFinished) or on a TKvLaunchThread. Does
    // nothing while a launch of this launcher runs (its closing event included) or when
    // FileName is empty.
    virtual void LaunchProgram();
    // Starts without waiting: 0 on success (and for an empty FileName), else the shell's
    // error value. The process is not watched.
    virtual int StartProgram();

    // The ShellExecuteEx show command of a show mode.
    static int ShowCommand(TShowMode mode);

protected:
    // The waits of a started program: each raises one event and returns true, or returns
    // false when the waiting was stopped (or the launcher went) without an event.
    virtual bool WaitProcessingMessages();
    virtual bool WaitFullStop();
    virtual bool ThreadPoll();

    // Raise the events.
    virtual void DoFinished();
    virtual void DoTimeout();
    virtual void DoError();

private:
    friend class TKvLaunchThread;
    // Starts the program and waits for it by WaitType, or by polling when thread is set;
    // signal (when set) is set once the program runs or failed to start.
    void StartAndWait(TKvLaunchThread* thread, HANDLE signal);
    bool Execute(SHELLEXECUTEINFOA& info);
    // Raises the event that closes a launch on the main thread, and makes the launcher idle
    // right after it in the same call.
    void RaiseEvent(void (TKvLauncher::*raise)());
    // Raises what a wait on the process ended with: its end (with the exit code), the time
    // limit or a failure (with GetLastError's code). True: an event was raised.
    bool RaiseWaitOutcome(DWORD rc, HANDLE process);
    void EndRun();
    // The wait time of Timeout: INFINITE when negative.
    DWORD TimeoutMs() const;
    // Stops a running launch thread and waits for its end, unless called from inside one of
    // the thread's events.
    void StopThread();

    std::string action_ = "Open";
    std::string fileName_;
    std::string parameters_;
    TShowMode showMode_ = smNormal;
    std::string startDir_;
    int timeout_ = -1;
    TKvWaitType waitType_ = wtFullStop;
    bool waitUntilFinished_ = false;

    // Written by the launch thread, read by the caller of LaunchProgram.
    std::atomic<HINSTANCE> instanceHandle_{nullptr};
    std::atomic<DWORD> errorCode_{0};
    std::atomic<HANDLE> processHandle_{nullptr};
    std::atomic<DWORD> exitCode_{0};
    std::atomic<bool> running_{false};
    std::atomic<TKvLaunchThread*> launchThread_{nullptr};
    // From LaunchProgram until the launch's last event has run.
    std::atomic<bool> busy_{false};

    // Shared with the launch thread; outlives the launcher while the thread needs it.
    std::shared_ptr<TKvLaunchLink> link_;
    TUniqueHandle threadHandle_;  // the launch thread's, to wait for its end
};

// Runs the launcher's start-and-wait; frees itself when done.
class TKvLaunchThread : public TThread {
public:
    // Starts at once; sets signal once the program runs, failed to start, or the thread ends.
    TKvLaunchThread(TKvLauncher* launcher, std::shared_ptr<TUniqueHandle> signal);

protected:
    void Execute() override;

private:
    TKvLauncher* launcher_;
    std::shared_ptr<TKvLaunchLink> link_;
    std::shared_ptr<TUniqueHandle> signal_;
};

template <>
struct TEnumTraits<TShowMode> {
    static constexpr const char* Names[] = {"smNormal", "smMaximized", "smMinimized", "smHide"};
};
template <>
struct TEnumTraits<TKvWaitType> {
    static constexpr const char* Names[] = {"wtFullStop", "wtProcessMessages"};
};
