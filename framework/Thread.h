#pragma once

// Worker threads created suspended, with calls marshalled synchronously to the main thread.
//
// Synchronize queues a call for the main thread and blocks until it has run there. The
// main thread runs queued calls from CheckSynchronize, which the sync window, the message
// pump and WaitFor call; a main thread that does none of these blocks its workers.

#include "Event.h"
#include "Handles.h"
#include "Object.h"
#include "SysUtils.h"

#include <atomic>
#include <exception>
#include <functional>
#include <string>

class EThread : public Exception {
    using Exception::Exception;
};

using TThreadMethod = std::function<void()>;

// The thread that started the program.
DWORD MainThreadID();
// Runs the calls waiting for the main thread; true when any ran. Main thread only.
bool CheckSynchronize();
// Auto-reset event, signalled when calls were queued for the main thread.
HANDLE SyncEvent();

// While one lives, the main thread waits on SyncEvent() itself, so a worker's Synchronize only
// signals the event and posts no wake message. Run CheckSynchronize after it ends.
class TSyncEventWait {
public:
    TSyncEventWait();
    ~TSyncEventWait();
    TSyncEventWait(const TSyncEventWait&) = delete;
    TSyncEventWait& operator=(const TSyncEventWait&) = delete;
};

class TThread : public TObject {
public:
    // The system thread exists from here on but runs nothing before Start.
    explicit TThread(std::string name = "TThread");
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // A running thread is asked to stop and waited for; a never started one never runs.
    ~TThread() override;

    void Start();
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }
    bool Finished() const { return finished_; }
    // Waits for the end; on the main thread it keeps running synchronised calls and
    // delivering sent messages meanwhile. Returns the thread's exit code.
    DWORD WaitFor();

    HANDLE Handle() const { return handle_.Get(); }
    DWORD ThreadID() const { return threadId_; }
    // The exception that ended Execute, if any.
    std::exception_ptr FatalException() const { return fatalException_; }

    // Deletes the object when the thread ends; set before Start.
    bool FreeOnTerminate = false;
    // Runs on the main thread after Execute ends.
    TNotifyEvent OnTerminate;

    // Runs method on the main thread and waits for it; an exception it raises is
    // raised again in the caller. On the main thread the method runs at once.
    static void Synchronize(const TThreadMethod& method);

protected:
    virtual void Execute() = 0;
    virtual void DoTerminate();
    void SetReturnValue(DWORD value) { returnValue_ = value; }
    // For destructors of derived classes whose Execute uses their members.
    void StopAndWait();

private:
    static DWORD WINAPI ThreadProc(void* parameter);
    bool Exited() const;

    std::string name_;
    TUniqueHandle handle_;
    DWORD threadId_ = 0;
    std::atomic<bool> started_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> abandoned_{false};
    DWORD returnValue_ = 0;
    std::exception_ptr fatalException_;
};
