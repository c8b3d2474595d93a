#include "Forms.h"
#include "MessagePump.h"
#include "Thread.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

namespace {

// A thread whose work is a function, so each test states its own.
class TLambdaThread : public TThread {
public:
    explicit TLambdaThread(std::function<void(TLambdaThread&)> work) : work_(std::move(work)) {}
    ~TLambdaThread() override {
        StopAndWait();
        if (destroyed_)
            SetEvent(destroyed_);
    }

    using TThread::SetReturnValue;
    using TThread::Synchronize;
    HANDLE destroyed_ = nullptr;

protected:
    void Execute() override { work_(*this); }

private:
    std::function<void(TLambdaThread&)> work_;
};

class TEventHandle {
public:
    TEventHandle() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    HANDLE Get() const { return handle_.Get(); }
    bool IsSet() const { return WaitForSingleObject(handle_.Get(), 0) == WAIT_OBJECT_0; }

private:
    TUniqueHandle handle_;
};

TEST(Thread, SynchronizedCallRunsOnMainThreadWhileWorkerWaits) {
    DWORD ranOn = 0;
    bool workerPassedCall = false;
    bool workerSawResult = false;
    int result = 0;
    TEventHandle done;
    TLambdaThread thread([&](TLambdaThread& self) {
        self.Synchronize([&] {
            ranOn = GetCurrentThreadId();
            // The worker must still be inside Synchronize.
            EXPECT_FALSE(workerPassedCall);
            result = 42;
        });
        workerPassedCall = true;
        workerSawResult = result == 42;
        SetEvent(done.Get());
    });
    thread.Start();
    ASSERT_TRUE(PumpMessagesUntil(done.Get(), 10000));
    thread.WaitFor();
    EXPECT_EQ(ranOn, GetCurrentThreadId());
    EXPECT_EQ(ranOn, MainThreadID());
    EXPECT_TRUE(workerSawResult);
}

TEST(Thread, WaitForKeepsDeliveringSynchronizedCallsAndOnTerminate) {
    std::vector<DWORD> callThreads;
    DWORD terminateThread = 0;
    TLambdaThread thread([&](TLambdaThread& self) {
        for (int i = 0; i < 3; ++i)
            self.Synchronize([&] { callThreads.push_back(GetCurrentThreadId()); });
        self.SetReturnValue(7);
    });
    thread.OnTerminate = [&](TObject* sender) {
        EXPECT_EQ(sender, &thread);
        terminateThread = GetCurrentThreadId();
    };
    thread.Start();
    // No pump here: WaitFor alone must run the calls, or both threads block.
    EXPECT_EQ(thread.WaitFor(), 7u);
    ASSERT_EQ(callThreads.size(), 3u);
    for (DWORD id : callThreads)
        EXPECT_EQ(id, GetCurrentThreadId());
    EXPECT_EQ(terminateThread, GetCurrentThreadId());
    EXPECT_TRUE(thread.Finished());
}

TEST(Thread, GetMessageLoopRunsSynchronizedCalls) {
    // A plain message loop (as the application's) is woken through the sync window.
    DWORD ranOn = 0;
    TLambdaThread thread([&](TLambdaThread& self) {
        self.Synchronize([&] {
            ranOn = GetCurrentThreadId();
            PostQuitMessage(0);
        });
    });
    thread.Start();
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    thread.WaitFor();
    EXPECT_EQ(ranOn, GetCurrentThreadId());
}

TEST(Thread, CallsReachAMainThreadThatSwitchesBetweenTheApplicationsWaitAndAPlainLoop) {
    // The application's wait takes calls without the wake message; a plain loop right after it
    // must still never miss one.
    constexpr int kCalls = 2000;
    int ran = 0;
    TLambdaThread thread([&](TLambdaThread& self) {
        for (int i = 0; i < kCalls; ++i)
            self.Synchronize([&] { ++ran; });
    });
    thread.Start();
    bool stalled = false;
    for (int turn = 0; ran < kCalls && !stalled; ++turn) {
        if (turn % 2 == 0) {
            Application.HandleMessage();
            continue;
        }
        // A plain loop sees only messages: the wake message, or nothing within the limit.
        const int before = ran;
        MSG msg;
        while (ran == before && ran < kCalls) {
            if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 5000, QS_ALLINPUT) == WAIT_TIMEOUT) {
                stalled = true;
                break;
            }
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&msg);
        }
    }
    thread.WaitFor();
    EXPECT_FALSE(stalled) << "after " << ran << " calls";
    EXPECT_EQ(ran, kCalls);
}

TEST(Thread, ErrorOfSynchronizedCallIsRaisedInWorker) {
    std::string caught;
    TLambdaThread thread([&](TLambdaThread& self) {
        try {
            self.Synchronize([] { throw std::runtime_error("receiver failed"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
    });
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(caught, "receiver failed");
}

TEST(Thread, ErrorEndingExecuteIsKept) {
    TLambdaThread thread([](TLambdaThread&) { throw EThread("worker failed"); });
    thread.Start();
    thread.WaitFor();
    ASSERT_TRUE(thread.FatalException());
    try {
        std::rethrow_exception(thread.FatalException());
    } catch (const EThread& e) {
        EXPECT_STREQ(e.what(), "worker failed");
    }
}

TEST(Thread, SynchronizeOnMainThreadRunsAtOnce) {
    bool ran = false;
    TThread::Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(Thread, TerminateIsSeenByWorker) {
    TEventHandle running;
    bool sawTerminated = false;
    TLambdaThread thread([&](TLambdaThread& self) {
        SetEvent(running.Get());
        // Wait for the stop request by way of the main thread.
        while (!self.Terminated())
            self.Synchronize([] {});
        sawTerminated = true;
    });
    thread.Start();
    ASSERT_TRUE(PumpMessagesUntil(running.Get(), 10000));
    thread.Terminate();
    thread.WaitFor();
    EXPECT_TRUE(sawTerminated);
}

TEST(Thread, NeverStartedThreadNeverRuns) {
    bool ran = false;
    { TLambdaThread thread([&](TLambdaThread&) { ran = true; }); }
    EXPECT_FALSE(ran);
}

TEST(Thread, TerminatedBeforeStartSkipsExecute) {
    bool ran = false;
    TLambdaThread thread([&](TLambdaThread&) { ran = true; });
    thread.Terminate();
    thread.Start();
    thread.WaitFor();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(thread.Finished());
}

TEST(Thread, FreeOnTerminateDeletesTheObject) {
    TEventHandle destroyed;
    auto* thread = new TLambdaThread([](TLambdaThread&) {});
    thread->destroyed_ = destroyed.Get();
    thread->FreeOnTerminate = true;
    thread->Start();
    EXPECT_TRUE(PumpMessagesUntil(destroyed.Get(), 10000));
}

TEST(Thread, MisuseIsReported) {
    TLambdaThread thread([](TLambdaThread&) {});
    EXPECT_THROW(thread.WaitFor(), EThread);
    thread.Start();
    EXPECT_THROW(thread.Start(), EThread);
    thread.WaitFor();
}

TEST(Thread, PumpTimesOut) {
    TEventHandle never;
    EXPECT_FALSE(PumpMessagesUntil(never.Get(), 50));
}

}  // namespace
