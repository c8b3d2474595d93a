#include "kelClasses.h"

#include "SysUtils.h"
#include "kelSysUtils.h"

#include <utility>

namespace {

// The two sections that hand new settings to running watchers.
class TSection {
public:
    TSection() { InitializeCriticalSection(&section_); }
    ~TSection() { DeleteCriticalSection(&section_); }
    TSection(const TSection&) = delete;
    TSection& operator=(const TSection&) = delete;
    void Enter() { EnterCriticalSection(&section_); }
    void Leave() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class TSectionLock {
public:
    explicit TSectionLock(TSection& section) : section_(section) { section_.Enter(); }
    ~TSectionLock() { section_.Leave(); }
    TSectionLock(const TSectionLock&) = delete;
    TSectionLock& operator=(const TSectionLock&) = delete;

private:
    TSection& section_;
};

TSection gFolderSection;
TSection gRegistrySection;

std::string CurrentFolder() {
    char buffer[MAX_PATH + 1] = "";
    const DWORD length = GetCurrentDirectoryA(sizeof(buffer), buffer);
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

}  // namespace

int SystemThreadPriority(TThreadPriority priority) {
    switch (priority) {
    case tpIdle:
        return THREAD_PRIORITY_IDLE;
    case tpLowest:
        return THREAD_PRIORITY_LOWEST;
    case tpLower:
        return THREAD_PRIORITY_BELOW_NORMAL;
    case tpNormal:
        return THREAD_PRIORITY_NORMAL;
    case tpHigher:
        return THREAD_PRIORITY_ABOVE_NORMAL;
    case tpHighest:
        return THREAD_PRIORITY_HIGHEST;
    case tpTimeCritical:
        return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

// ---- TkelThread ----

TkelThread::TkelThread(std::string name)
    : TThread(std::move(name)),
      wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      resume_(CreateEventA(nullptr, TRUE, TRUE, nullptr)),
      parked_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      suspending_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (!wake_ || !resume_ || !parked_ || !suspending_)
        RaiseLastOSError();
}

TkelThread::~TkelThread() { StopAndWaitHere(); }

void TkelThread::Stop() {
    Terminate();
    Wake();
    SetEvent(resume_.Get());
}

void TkelThread::Suspend() {
    ResetEvent(resume_.Get());
    suspendRequested_ = true;
    SetEvent(suspending_.Get());
}

void TkelThread::Resume() {
    ResetEvent(suspending_.Get());
    suspendRequested_ = false;
    SetEvent(resume_.Get());
}

bool TkelThread::WaitWhileSuspended() {
    while (suspendRequested_ && !Terminated()) {
        SetEvent(parked_.Get());
        const DWORD rc = WaitForSingleObject(resume_.Get(), INFINITE);
        ResetEvent(parked_.Get());
        if (rc == WAIT_FAILED)
            RaiseLastOSError();
    }
    return !Terminated();
}

DWORD TkelThread::WaitForWake(DWORD timeout) {
    const ULONGLONG end = GetTickCount64() + timeout;
    for (;;) {
        if (!WaitWhileSuspended())
            return WAIT_OBJECT_0;
        DWORD left = timeout;
        if (timeout != INFINITE) {
            const ULONGLONG now = GetTickCount64();
            left = now >= end ? 0 : static_cast<DWORD>(end - now);
        }
        // A suspension asked for during the wait stops the worker there.
        const HANDLE handles[] = {WakeEvent(), suspending_.Get()};
        const DWORD rc = WaitForMultipleObjects(2, handles, FALSE, left);
        if (rc == WAIT_FAILED)
            RaiseLastOSError();
        if (rc == WAIT_OBJECT_0 + 1)
            continue;
        WaitWhileSuspended();
        return rc == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
}

void TkelThread::Dispose() {
    if (GetCurrentThreadId() == ThreadID() || inMainCall_) {
        OnTerminate = {};
        FreeOnTerminate = true;  // read once Execute has returned
        Stop();
        return;
    }
    delete this;
}

void TkelThread::CallOnMain(const TThreadMethod& method) {
    // Set and cleared on the main thread, where Dispose looks at it. A synchronised handler's
    // own calls run inside its call and leave the mark as they found it.
    Synchronize([this, &method] {
        const bool outer = inMainCall_.exchange(true);
        try {
            method();
        } catch (...) {
            inMainCall_ = outer;
            throw;
        }
        inMainCall_ = outer;
    });
}

// The thread read FreeOnTerminate before its end notice: a Dispose from the handler frees it here,
// after the call has returned.
void TkelThread::DoTerminate() {
    if (!OnTerminate)
        return;
    const bool freedAlready = FreeOnTerminate;
    std::exception_ptr error;
    try {
        CallOnMain([this] {
            const TNotifyEvent handler = OnTerminate;  // Dispose clears it
            handler(this);
        });
    } catch (...) {
        error = std::current_exception();
    }
    if (FreeOnTerminate && !freedAlready)
        delete this;
    if (error)
        std::rethrow_exception(error);
}

void TkelThread::StopAndWaitHere() {
    if (!Handle() || GetCurrentThreadId() == ThreadID())
        return;
    Stop();
    if (!Finished() && WaitForSingleObject(Handle(), 0) != WAIT_OBJECT_0) {
        try {
            StopAndWait();
        } catch (...) {
            // A failed wait has nowhere to go from a destructor.
        }
    }
}

void TkelThread::SetPriority(TThreadPriority priority) {
    priority_ = priority;
    SetThreadPriority(Handle(), SystemThreadPriority(priority));
}

// ---- TkelEventThread ----

TkelEventThread::TkelEventThread(THandler handler, bool synchronized, std::string name)
    : TkelThread(std::move(name)), Synchronized(synchronized), handler_(std::move(handler)) {}

TkelEventThread::~TkelEventThread() { StopAndWaitHere(); }

void TkelEventThread::Execute() {
    if (!Terminated())
        RunHandler();
}

void TkelEventThread::RunHandler() {
    if (!handler_)
        return;
    if (Synchronized) {
        // The owner may be stopping this thread from the main thread meanwhile.
        CallOnMain([this] {
            if (!Terminated())
                handler_(*this);
        });
    } else {
        handler_(*this);
    }
}

// ---- TkelTimerThread ----

TkelTimerThread::TkelTimerThread(THandler handler, bool synchronized)
    : TkelEventThread(std::move(handler), synchronized, "TkelTimerThread") {}

TkelTimerThread::~TkelTimerThread() { StopAndWaitHere(); }

void TkelTimerThread::SetInterval(unsigned interval) {
    interval_ = interval;
    Wake();  // the wait starts again with the new interval
}

void TkelTimerThread::Execute() {
    while (!Terminated()) {
        // An interval of 0 would tick without pause: it waits for a new interval instead.
        const unsigned interval = interval_;
        const DWORD rc = WaitForWake(interval == 0 ? INFINITE : interval);
        if (rc == WAIT_TIMEOUT && !Terminated())
            RunHandler();
    }
}

// ---- TkelFolderMonitorThread ----

TkelFolderMonitorThread::TkelFolderMonitorThread(TkelFolderWatchSettings settings, std::function<void()> onChange)
    : TkelThread("TkelFolderMonitorThread"),
      onChange_(std::move(onChange)),
      ready_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (settings.Folder.empty())
        settings.Folder = CurrentFolder();
    settings_ = std::move(settings);
}

TkelFolderMonitorThread::~TkelFolderMonitorThread() { StopAndWaitHere(); }

void TkelFolderMonitorThread::SetSettings(TkelFolderWatchSettings settings) {
    if (settings.Folder.empty())
        settings.Folder = CurrentFolder();
    {
        TSectionLock lock(gFolderSection);
        settings_ = std::move(settings);
        changed_ = true;
    }
    Wake();
}

TkelFolderWatchSettings TkelFolderMonitorThread::Settings() const {
    TSectionLock lock(gFolderSection);
    return settings_;
}

TUniqueChangeNotification TkelFolderMonitorThread::OpenWatch(const TkelFolderWatchSettings& settings) {
    TUniqueChangeNotification watch(
        FindFirstChangeNotificationA(settings.Folder.c_str(), settings.SubTree, settings.Filter));
    watching_ = watch.Valid();
    SetEvent(ready_.Get());
    return watch;
}

void TkelFolderMonitorThread::Notify() {
    CallOnMain([this] {
        if (!Terminated() && onChange_)
            onChange_();
    });
}

void TkelFolderMonitorThread::Execute() {
    TkelFolderWatchSettings settings;
    {
        TSectionLock lock(gFolderSection);
        settings = settings_;
        changed_ = false;
    }
    TUniqueChangeNotification watch = OpenWatch(settings);
    while (!Terminated()) {
        HANDLE handles[2] = {WakeEvent(), watch.Get()};
        const DWORD rc = WaitForMultipleObjects(watch ? 2 : 1, handles, FALSE, INFINITE);
        if (rc == WAIT_FAILED || Terminated())
            break;
        if (rc == WAIT_OBJECT_0 + 1) {
            Notify();
            if (!FindNextChangeNotification(watch.Get()))
                watch.Reset();
        }
        bool changed = false;
        {
            TSectionLock lock(gFolderSection);
            if (changed_) {
                settings = settings_;
                changed_ = false;
                changed = true;
            }
        }
        if (changed) {
            watch.Reset();
            watch = OpenWatch(settings);
        }
    }
}

// ---- TkelRegistryMonitorThread ----

TkelRegistryMonitorThread::TkelRegistryMonitorThread(TkelRegistryWatchSettings settings, std::function<void()> onChange)
    : TkelThread("TkelRegistryMonitorThread"),
      onChange_(std::move(onChange)),
      settings_(std::move(settings)),
      ready_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

TkelRegistryMonitorThread::~TkelRegistryMonitorThread() { StopAndWaitHere(); }

void TkelRegistryMonitorThread::SetSettings(TkelRegistryWatchSettings settings) {
    {
        TSectionLock lock(gRegistrySection);
        settings_ = std::move(settings);
        changed_ = true;
    }
    Wake();
}

TkelRegistryWatchSettings TkelRegistryMonitorThread::Settings() const {
    TSectionLock lock(gRegistrySection);
    return settings_;
}

void TkelRegistryMonitorThread::Notify() {
    CallOnMain([this] {
        if (!Terminated() && onChange_)
            onChange_();
    });
}

namespace {

TUniqueKey OpenWatchedKey(const TkelRegistryWatchSettings& settings) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(settings.Root, settings.Key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return TUniqueKey();
    return TUniqueKey(key);
}

}  // namespace

void TkelRegistryMonitorThread::Execute() {
    TkelRegistryWatchSettings settings;
    {
        TSectionLock lock(gRegistrySection);
        settings = settings_;
        changed_ = false;
    }
    TUniqueKey key;
    TUniqueHandle keyWatch;
    TUniqueHandle rootWatch;
    TkelRegWatch keyRequest;
    TkelRegWatch rootRequest;
    auto open = [&] {
        keyWatch.Reset();
        rootWatch.Reset();
        key = OpenWatchedKey(settings);
        keyOpen_ = key.Valid();
        keyRequest = TkelRegWatch{key.Get(), settings.SubTree, settings.Filter};
        if (key)
            keyWatch.Reset(BeginRegWatch(keyRequest));
        // Keys appearing or going below the root.
        rootRequest = TkelRegWatch{settings.Root, true, REG_NOTIFY_CHANGE_NAME};
        rootWatch.Reset(BeginRegWatch(rootRequest));
        SetEvent(ready_.Get());
    };
    open();
    while (!Terminated()) {
        HANDLE handles[3] = {WakeEvent()};
        DWORD count = 1;
        int rootIndex = -1;
        int keyIndex = -1;
        if (rootWatch) {
            rootIndex = static_cast<int>(count);
            handles[count++] = rootWatch.Get();
        }
        if (keyWatch) {
            keyIndex = static_cast<int>(count);
            handles[count++] = keyWatch.Get();
        }
        const DWORD rc = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (rc == WAIT_FAILED || Terminated())
            break;
        const int index = static_cast<int>(rc - WAIT_OBJECT_0);
        // Each watch is renewed before anything is reported: a change made in reply to the
        // report must not fall between the two.
        if (index == rootIndex) {
            if (!RenewRegWatch(rootWatch.Get(), rootRequest))
                rootWatch.Reset();
            TUniqueKey probe = OpenWatchedKey(settings);
            if (!probe && keyOpen_) {
                keyWatch.Reset();
                key.Reset();
                keyOpen_ = false;
                Notify();  // the key was deleted
            } else if (probe && !keyOpen_) {
                key = std::move(probe);
                keyRequest.Key = key.Get();
                keyWatch.Reset(BeginRegWatch(keyRequest));
                keyOpen_ = true;
                Notify();  // the key appeared
            }
        } else if (index == keyIndex) {
            if (!RenewRegWatch(keyWatch.Get(), keyRequest))
                keyWatch.Reset();
            Notify();
        }
        bool changed = false;
        {
            TSectionLock lock(gRegistrySection);
            if (changed_) {
                settings = settings_;
                changed_ = false;
                changed = true;
            }
        }
        if (changed)
            open();
    }
}
