#pragma once

// Shared pieces of the window tests: a time limit per test, a check that no window is left
// behind, and a form that places controls.

#include "Controls.h"
#include "Forms.h"
#include "Handles.h"

#include <gtest/gtest.h>

#include <string>

namespace guitest {

// Ends the process when a test runs past its limit, so that a stuck loop fails instead of hanging.
class TWatchdog {
public:
    explicit TWatchdog(DWORD limitMs) : limitMs_(limitMs) {
        thread_.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }
    ~TWatchdog() {
        SetEvent(stop_.Get());
        WaitForSingleObject(thread_.Get(), INFINITE);
    }
    TWatchdog(const TWatchdog&) = delete;
    TWatchdog& operator=(const TWatchdog&) = delete;

private:
    static DWORD WINAPI Run(void* data) {
        auto self = static_cast<TWatchdog*>(data);
        if (WaitForSingleObject(self->stop_.Get(), self->limitMs_) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "GUI test exceeded its time limit\n");
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 124);
        }
        return 0;
    }

    DWORD limitMs_;
    TUniqueHandle stop_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    TUniqueHandle thread_;
};

inline BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
    if (window == Application.Handle() || window == Application.HintWindow())
        return TRUE;
    char name[64] = "";
    GetClassNameA(window, name, sizeof(name));
    if (std::string(name) != "TThreadSyncWindow" && std::string(name) != "IME")  // the system's input window
        *reinterpret_cast<std::string*>(data) += std::string(name) + " ";
    return TRUE;
}

// The top-level windows of this thread other than the application's own.
inline std::string LeftoverWindows() {
    std::string names;
    EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&names));
    return names;
}

class GuiTest : public ::testing::Test {
protected:
    void TearDown() override {
        Application.OnException = {};
        EXPECT_EQ(LeftoverWindows(), "");
    }

private:
    TWatchdog watchdog_{20000};
};

class TTestForm : public TForm {
public:
    explicit TTestForm(TComponent* owner = nullptr) : TForm(owner) {
        SetPosition(poScreenCenter);
        SetClientSize(400, 300);
    }
    template <class C>
    C* Add(TWinControl* parent, int left, int top, int width, int height) {
        auto control = new C(this);
        control->SetParent(parent);
        control->SetBounds(left, top, width, height);
        return control;
    }
};

}  // namespace guitest

using guitest::GuiTest;
using guitest::TTestForm;
