#pragma once

// A worker thread that runs one step per go signal and then signals that it passed; it ends
// with its exit code when destroyed. Enter and Leave run on the worker at its start and end.

#include <windows.h>

#include <atomic>
#include <functional>
#include <utility>

struct TSteppedWorker {
    HANDLE Go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE Passed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> Quit{false};
    std::function<void()> Step;
    DWORD ExitCode = 0;
    std::function<void()> Enter, Leave;
    HANDLE Thread = nullptr;
    DWORD Id = 0;

    static DWORD WINAPI Run(void* p)
    {
        auto* self = static_cast<TSteppedWorker*>(p);
        if (self->Enter)
            self->Enter();
        for (;;) {
            WaitForSingleObject(self->Go, INFINITE);
            if (self->Quit) {
                if (self->Leave)
                    self->Leave();
                return self->ExitCode;
            }
            if (self->Step)
                self->Step();
            SetEvent(self->Passed);
        }
    }
    explicit TSteppedWorker(std::function<void()> step = {}, DWORD exitCode = 0, std::function<void()> enter = {},
                            std::function<void()> leave = {})
        : Step(std::move(step)), ExitCode(exitCode), Enter(std::move(enter)), Leave(std::move(leave))
    {
        Thread = CreateThread(nullptr, 0, Run, this, 0, &Id);
    }
    TSteppedWorker(const TSteppedWorker&) = delete;
    TSteppedWorker& operator=(const TSteppedWorker&) = delete;
    ~TSteppedWorker()
    {
        Quit = true;
        SetEvent(Go);
        WaitForSingleObject(Thread, INFINITE);
        for (HANDLE h : {Thread, Go, Passed})
            CloseHandle(h);
    }
    // True when the worker got through its step within the time.
    bool PassesWithin(DWORD ms)
    {
        SetEvent(Go);
        return WaitForSingleObject(Passed, ms) == WAIT_OBJECT_0;
    }
};
