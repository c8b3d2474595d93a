#pragma once

// Worker threads of the utility components: a thread that stops on request, a thread that runs
// a handler once, a thread that runs it at an interval, and the folder and registry watchers.
//
// Every thread here waits on a wake event of its own besides whatever it watches: Stop() sets
// the terminated flag and the event, so a wait ends at once. Nothing closes a handle that
// another thread waits on.

#include "Handles.h"
#include "Thread.h"
#include "TypInfo.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

template <>
struct TEnumTraits<TThreadPriority> {
    static constexpr const char* Names[] = {"tpIdle",   "tpLowest",  "tpLower",       "tpNormal",
                                            "tpHigher", "tpHighest", "tpTimeCritical"};
};

struct TChangeNotificationTraits {
    static HANDLE Invalid() { return nullptr; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { FindCloseChangeNotification(h); }
};
using TUniqueChangeNotification = TUniqueResource<HANDLE, TChangeNotificationTraits>;

// The system's priority value of a priority.
int SystemThreadPriority(TThreadPriority priority);

class TkelThread : public TThread {
public:
    explicit TkelThread(std::string name = "TkelThread");
    ~TkelThread() override;

    // Asks the thread to end and wakes its wait; does not wait.
    virtual void Stop();
    // Stops the thread and frees it. From outside it waits for the end; from inside the
    // thread's own work (on the thread, or in a call it runs on the main thread) it cannot,
    // so the thread is left to free itself as it ends, without its end notice.
    void Dispose();
    // Auto-reset; set by Stop and Wake.
    HANDLE WakeEvent() const { return wake_.Get(); }
    void Wake() { SetEvent(wake_.Get()); }

    // Suspension is cooperative: Suspend asks the worker to stop in its wait (WaitForWake, which
    // it may be in already, or WaitWhileSuspended) and stay there until Resume or Stop. A thread is never suspended
    // from outside: one held inside the heap lock would stop the whole program.
    void Suspend();
    void Resume();
    bool SuspendRequested() const { return suspendRequested_; }
    // Manual-reset; set while the worker is stopped in a wait for Resume.
    HANDLE ParkedEvent() const { return parked_.Get(); }

    // Worker side: waits while suspension is asked for; false when the thread was stopped.
    bool WaitWhileSuspended();
    // Worker side: waits up to timeout for the wake event, and while suspended before and after
    // it. WAIT_OBJECT_0 when woken, WAIT_TIMEOUT otherwise.
    DWORD WaitForWake(DWORD timeout);

    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority priority);

    // Synchronize, noting while the main thread runs the call: a Dispose from inside the call
    // leaves the thread to free itself once the call has returned.
    void CallOnMain(const TThreadMethod& method);

protected:
    void Execute() override {}
    // OnTerminate through CallOnMain, so that its handler may dispose of the thread.
    void DoTerminate() override;
    // For destructors of classes whose Execute uses their members: stops and waits.
    void StopAndWaitHere();

private:
    TUniqueHandle wake_;
    TUniqueHandle resume_;  // manual-reset; clear while suspension is asked for
    TUniqueHandle parked_;
    TUniqueHandle suspending_;  // manual-reset; set while suspension is asked for
    std::atomic<bool> suspendRequested_{false};
    std::atomic<bool> inMainCall_{false};
    TThreadPriority priority_ = tpNormal;
};

// Owners of worker threads free them with Dispose.
struct TkelThreadDisposer {
    void operator()(TkelThread* thread) const { thread->Dispose(); }
};
template <class T>
using TkelThreadPtr = std::unique_ptr<T, TkelThreadDisposer>;

// Runs a handler once (on the main thread when Synchronized) unless terminated first.
class TkelEventThread : public TkelThread {
public:
    using THandler = std::function<void(TkelEventThread& thread)>;

    TkelEventThread(THandler handler, bool synchronized, std::string name = "TkelEventThread");
    ~TkelEventThread() override;

    std::atomic<bool> Synchronized;

    void SetReturnValue(DWORD value) {
        returnValue_ = value;
        TThread::SetReturnValue(value);
    }
    DWORD ReturnValue() const { return returnValue_; }

protected:
    void Execute() override;
    // One run of the handler, through the main thread when Synchronized.
    void RunHandler();

private:
    THandler handler_;
    std::atomic<DWORD> returnValue_{0};
};

// Runs the handler every Interval milliseconds until stopped; an Interval of 0 does not tick.
// Each wait starts afresh when the interval changes.
class TkelTimerThread : public TkelEventThread {
public:
    TkelTimerThread(THandler handler, bool synchronized);
    ~TkelTimerThread() override;

    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned interval);

protected:
    void Execute() override;

private:
    std::atomic<unsigned> interval_{1000};
};

// ---- Change watchers ----

// Folder filter bits, in the system's FILE_NOTIFY_CHANGE_ order.
struct TkelFolderWatchSettings {
    std::string Folder;
    bool SubTree = true;
    DWORD Filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
};

// Calls onChange on the main thread for each change the system reports in the folder. New
// settings take effect at once; a folder that cannot be watched reports nothing until the
// settings change again.
class TkelFolderMonitorThread : public TkelThread {
public:
    TkelFolderMonitorThread(TkelFolderWatchSettings settings, std::function<void()> onChange);
    ~TkelFolderMonitorThread() override;

    // An empty folder means the current directory.
    void SetSettings(TkelFolderWatchSettings settings);
    TkelFolderWatchSettings Settings() const;
    // Whether the system accepted the watch of the present settings (for tests).
    bool Watching() const { return watching_; }
    // Set each time the thread has (re)opened its watch; for tests.
    HANDLE ReadyEvent() const { return ready_.Get(); }

protected:
    void Execute() override;

private:
    TUniqueChangeNotification OpenWatch(const TkelFolderWatchSettings& settings);
    void Notify();

    std::function<void()> onChange_;
    TkelFolderWatchSettings settings_;  // guarded by the unit's folder section
    bool changed_ = false;              // the same
    std::atomic<bool> watching_{false};
    TUniqueHandle ready_;
};

struct TkelRegistryWatchSettings {
    HKEY Root = HKEY_CURRENT_USER;
    std::string Key;
    bool SubTree = true;
    DWORD Filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
};

// Calls onChange on the main thread when the key changes, and when it is deleted or created
// (watched through its root).
class TkelRegistryMonitorThread : public TkelThread {
public:
    TkelRegistryMonitorThread(TkelRegistryWatchSettings settings, std::function<void()> onChange);
    ~TkelRegistryMonitorThread() override;

    void SetSettings(TkelRegistryWatchSettings settings);
    TkelRegistryWatchSettings Settings() const;
    bool KeyOpen() const { return keyOpen_; }
    HANDLE ReadyEvent() const { return ready_.Get(); }

protected:
    void Execute() override;

private:
    void Notify();

    std::function<void()> onChange_;
    TkelRegistryWatchSettings settings_;  // guarded by the unit's registry section
    bool changed_ = false;                // the same
    std::atomic<bool> keyOpen_{false};
    TUniqueHandle ready_;
};
