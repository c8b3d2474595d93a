#pragma once

// Shared pieces of the window tests: a time limit per test, a check that no window is left
// behind, and a form that places controls.

#include "Controls.h"
#include "Forms.h"
#include "Handles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace guitest {

// Ends the process when a test runs past its limit, so that a stuck loop fails instead of
// hanging, and closes system dialog boxes of this process that nobody answers (a message box
// shown past the seam would otherwise wait for a user). What it closed is reported.
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

    // The titles of the dialog boxes closed so far.
    std::string ClosedDialogs() {
        std::lock_guard<std::mutex> lock(lock_);
        return closed_;
    }

private:
    static constexpr DWORD kScanMs = 250;
    // A dialog box stays up this long before it counts as stray.
    static constexpr DWORD kPatienceMs = 1000;

    static DWORD WINAPI Run(void* data) {
        auto self = static_cast<TWatchdog*>(data);
        DWORD started = GetTickCount();
        while (WaitForSingleObject(self->stop_.Get(), kScanMs) == WAIT_TIMEOUT) {
            self->CloseStrayDialogs();
            if (GetTickCount() - started >= self->limitMs_) {
                std::fprintf(stderr, "GUI test exceeded its time limit\n");
                std::fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 124);
            }
        }
        return 0;
    }

    static BOOL CALLBACK FindDialog(HWND window, LPARAM data) {
        auto self = reinterpret_cast<TWatchdog*>(data);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        char name[16] = "";
        GetClassNameA(window, name, sizeof(name));
        if (process == GetCurrentProcessId() && std::string(name) == "#32770" && IsWindowVisible(window))
            self->dialogs_.push_back(window);
        return TRUE;
    }

    void CloseStrayDialogs() {
        dialogs_.clear();
        EnumWindows(FindDialog, reinterpret_cast<LPARAM>(this));
        for (HWND dialog : dialogs_) {
            if (seen_.count(dialog) == 0) {
                seen_[dialog] = GetTickCount();
                continue;
            }
            if (GetTickCount() - seen_[dialog] < kPatienceMs)
                continue;
            char title[128] = "";
            GetWindowTextA(dialog, title, sizeof(title));
            {
                std::lock_guard<std::mutex> lock(lock_);
                closed_ += std::string("[") + title + "] ";
            }
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
            PostMessageA(dialog, WM_CLOSE, 0, 0);
            seen_.erase(dialog);
        }
    }

    DWORD limitMs_;
    std::mutex lock_;
    std::string closed_;
    std::vector<HWND> dialogs_;        // the watchdog thread's own
    std::map<HWND, DWORD> seen_;       // when each open dialog box was first seen
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

// Real input, as the user's hand gives it: the mouse moved to a screen point (with
// MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE) or a button pressed or released where it is.
inline void SendMouse(DWORD flags, POINT at = {}) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    if (flags & MOUSEEVENTF_ABSOLUTE) {
        input.mi.dx = (at.x * 65536 + 32768) / GetSystemMetrics(SM_CXSCREEN);
        input.mi.dy = (at.y * 65536 + 32768) / GetSystemMetrics(SM_CYSCREEN);
    }
    SendInput(1, &input, sizeof(input));
}

// The mouse off every test window, in the screen's bottom-right corner: hot looks follow the
// real mouse, and the next test program's windows open where this one's were.
inline void ParkMouse() {
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
}

// A key pressed and released, to the window with the keyboard focus.
inline void SendKey(WORD key) {
    INPUT input[2]{};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = key;
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
}

// Handles messages until done() holds; the fixture's time limit ends a wait that never does.
inline void PumpUntil(const std::function<bool()>& done) {
    while (!done())
        Application.HandleMessage();
}

// Every window test: a time limit, no message box through the seam unless the test expects
// one (they are answered with Cancel and reported), no stray dialog box, no window left behind.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousMessageBox_ = SetMessageBoxHook([this](HWND, const std::string& text, const std::string& caption, UINT) {
            UnexpectedMessageBoxes += "[" + caption + ": " + text + "] ";
            return IDCANCEL;
        });
    }
    void TearDown() override {
        SetMessageBoxHook(previousMessageBox_);
        Application.OnException = {};
        EXPECT_EQ(UnexpectedMessageBoxes, "");
        EXPECT_EQ(watchdog_.ClosedDialogs(), "");
        EXPECT_EQ(LeftoverWindows(), "");
    }

    std::string UnexpectedMessageBoxes;

private:
    TWatchdog watchdog_{20000};
    TMessageBoxFunction previousMessageBox_;
};

// For windows whose procedures must not throw: an exception that reaches the application fails
// the test.
class GuiTestFailingOnExceptions : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        Application.OnException = [](TObject*, std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "exception in a window procedure: " << e.what();
            }
        };
    }
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

// A control whose memory, once it is freed, stays reserved with the bytes it had then, so that
// a handler running after the control was freed finds its old state and a write to it shows.
template <class Base>
class TKeptAfterFree : public Base {
public:
    using Base::Base;
    // Not inlined: the compiler would take the pair for a mismatched one.
    __attribute__((noinline)) static void* operator new(size_t size) { return ::operator new(size); }
    static void operator delete(void* memory, size_t size) {
        Kept().push_back({static_cast<unsigned char*>(memory),
                          std::vector<unsigned char>(static_cast<unsigned char*>(memory),
                                                     static_cast<unsigned char*>(memory) + size)});
    }
    // True when no freed control was written to since it was freed; releases their memory.
    static bool FreedMemoryUntouched() {
        bool untouched = true;
        for (auto& [memory, bytes] : Kept()) {
            untouched = untouched && std::memcmp(memory, bytes.data(), bytes.size()) == 0;
            ::operator delete(memory);
        }
        Kept().clear();
        return untouched;
    }

private:
    struct TBlock {
        unsigned char* memory;
        std::vector<unsigned char> bytes;
    };
    static std::vector<TBlock>& Kept() {
        static std::vector<TBlock> kept;
        return kept;
    }
};

}  // namespace guitest

using guitest::GuiTest;
using guitest::TKeptAfterFree;
using guitest::TTestForm;
