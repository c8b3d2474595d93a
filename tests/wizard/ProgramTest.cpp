// The program itself, started as separate processes: a second copy is refused and brings the
// first one forward.

#include "KvStatus.h"
#include "SysUtils.h"
#include "TestSupport.h"

#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Well below the window tests' time limit, so that a wait that fails ends the test cleanly and
// the program copy is ended with it.
constexpr DWORD kProcessTimeoutMs = 8000;
constexpr DWORD kPollMs = 50;

std::string BuiltProgramPath() { return ExtractFilePath(Application.ExeName()) + "..\\..\\wizard\\hivesweep.exe"; }

// The program runs from a copy in a folder of its own: it writes its settings beside itself.
const std::string& ProgramPath() {
    static TTempDir folder;
    static const std::string copy = [] {
        std::string path = folder.Path() + "\\hivesweep.exe";
        CopyFileA(BuiltProgramPath().c_str(), path.c_str(), FALSE);
        return path;
    }();
    return copy;
}

// A copy of the program; killed when the test leaves it running.
class TProgram {
public:
    TProgram() {
        std::string command = "\"" + ProgramPath() + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            process_.Reset(info.hProcess);
            CloseHandle(info.hThread);
            id_ = info.dwProcessId;
        }
    }
    ~TProgram() {
        if (process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.Get(), 99);
            WaitForSingleObject(process_.Get(), kProcessTimeoutMs);
        }
    }
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    bool Started() const { return process_.Valid(); }
    bool WaitExit() { return WaitForSingleObject(process_.Get(), kProcessTimeoutMs) == WAIT_OBJECT_0; }
    DWORD ExitCode() const {
        DWORD code = 0;
        GetExitCodeProcess(process_.Get(), &code);
        return code;
    }
    // The first visible top-level window of the process of class className whose text is
    // text, waited for while the process runs; null when it ended or the time ran out.
    HWND WaitForWindow(const std::string& className, const std::string& text) {
        const DWORD started = GetTickCount();
        while (GetTickCount() - started < kProcessTimeoutMs) {
            TSearch search{id_, className, text, nullptr};
            EnumWindows(&Match, reinterpret_cast<LPARAM>(&search));
            if (search.found)
                return search.found;
            // The process ending wakes the wait early.
            if (WaitForSingleObject(process_.Get(), kPollMs) == WAIT_OBJECT_0)
                return nullptr;
        }
        return nullptr;
    }

    // Waits while the process runs until window is gone; false when the time ran out.
    // Makes window the foreground window (keys typed then reach it); false when it did not become so.
    bool BringToFront(HWND window) {
        const DWORD started = GetTickCount();
        while (GetForegroundWindow() != window) {
            SetForegroundWindow(window);
            if (GetTickCount() - started >= kProcessTimeoutMs)
                return false;
            if (WaitForSingleObject(process_.Get(), kPollMs) == WAIT_OBJECT_0)
                return false;
        }
        return true;
    }
    bool WaitForWindowGone(HWND window) {
        const DWORD started = GetTickCount();
        while (IsWindow(window) && IsWindowVisible(window)) {
            if (GetTickCount() - started >= kProcessTimeoutMs)
                return false;
            if (WaitForSingleObject(process_.Get(), kPollMs) == WAIT_OBJECT_0)
                return true;
        }
        return true;
    }

private:
    struct TSearch {
        DWORD process;
        std::string className;
        std::string text;
        HWND found;
    };
    static BOOL CALLBACK Match(HWND window, LPARAM data) {
        auto search = reinterpret_cast<TSearch*>(data);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        char name[64] = "";
        GetClassNameA(window, name, sizeof(name));
        char text[256] = "";
        GetWindowTextA(window, text, sizeof(text));
        if (process == search->process && IsWindowVisible(window) && search->className == name &&
            search->text == text) {
            search->found = window;
            return FALSE;
        }
        return TRUE;
    }

    TUniqueHandle process_;
    DWORD id_ = 0;
};

// The text of the first static child of a dialog box.
std::string DialogMessage(HWND dialog) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char name[32] = "";
        GetClassNameA(child, name, sizeof(name));
        char text[256] = "";
        GetWindowTextA(child, text, sizeof(text));
        if (std::string(name) == "Static" && text[0])
            return text;
    }
    return "";
}

// The middle of a window on the screen.
POINT Middle(HWND window) {
    RECT area;
    GetWindowRect(window, &area);
    return {(area.left + area.right) / 2, (area.top + area.bottom) / 2};
}

class WizardProgram : public GuiTest {};

TEST_F(WizardProgram, ASecondStartIsRefusedWithTheMessageAndTheFirstWindowComesForward) {
    TKvVersionInfo version(nullptr);
    version.SetFilePath(ProgramPath());
    ASSERT_TRUE(version.HasVersionInfo());
    const std::string caption =
        "  " + version.GetVersionValue(viProductName) + " " + version.GetVersionValue(viFileVersion);

    TProgram first;
    ASSERT_TRUE(first.Started());
    HWND firstWindow = first.WaitForWindow("TfrmMain", caption);
    ASSERT_TRUE(firstWindow);

    // Another window takes the foreground meanwhile.
    TTestForm other;
    other.SetCaption("Elsewhere");
    other.ShowForm();
    SetForegroundWindow(other.Handle());
    ASSERT_EQ(GetForegroundWindow(), other.Handle());

    TProgram second;
    ASSERT_TRUE(second.Started());
    // The message box carries the application's title.
    HWND box = second.WaitForWindow("#32770", "Quorvia Free Registry Cleaner");
    ASSERT_TRUE(box);
    EXPECT_EQ(DialogMessage(box), "The program is already running.");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(second.WaitExit());
    EXPECT_EQ(second.ExitCode(), 0u);

    EXPECT_EQ(GetForegroundWindow(), firstWindow);
    EXPECT_TRUE(IsWindowVisible(firstWindow));
    other.Hide();

    // The first copy ends with its main window.
    PostMessageA(firstWindow, WM_CLOSE, 0, 0);
    ASSERT_TRUE(first.WaitExit());
    EXPECT_EQ(first.ExitCode(), 0u);
}

TEST_F(WizardProgram, F1AndTheQuestionMarkShowTheWhatsThisPopupOfTheControlUnderTheMouseOnEveryWindow) {
    TProgram program;
    ASSERT_TRUE(program.Started());
    TKvVersionInfo version(nullptr);
    version.SetFilePath(ProgramPath());
    HWND main = program.WaitForWindow(
        "TfrmMain", "  " + version.GetVersionValue(viProductName) + " " + version.GetVersionValue(viFileVersion));
    ASSERT_TRUE(main);
    HWND undo = FindWindowExA(main, nullptr, "TKvBitBtn", "Undo Cleanups   ");
    HWND cleanup = FindWindowExA(main, nullptr, "TKvBitBtn", "Registry Cleanup");
    HWND hint = FindWindowExA(main, nullptr, "TKvToolButton", nullptr);
    ASSERT_TRUE(undo && cleanup && hint);

    // F1 from the keyboard with the mouse over a button.
    ASSERT_TRUE(program.BringToFront(main));
    const POINT overUndo = Middle(undo);
    SetCursorPos(overUndo.x, overUndo.y);
    keybd_event(VK_F1, 0, 0, 0);
    keybd_event(VK_F1, 0, KEYEVENTF_KEYUP, 0);
    HWND popup = program.WaitForWindow("TFormHelpPopup", "");
    ASSERT_TRUE(popup);
    RECT area;
    GetWindowRect(popup, &area);
    // At the mouse.
    EXPECT_LE(area.left, overUndo.x);
    EXPECT_GE(area.right, overUndo.x);
    // A key closes it.
    PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(program.WaitForWindowGone(popup));

    // The question mark, then a click on another button.
    // Sent, not posted: the help mode is on before the click arrives.
    SendMessageA(hint, BM_CLICK, 0, 0);
    const POINT overCleanup = Middle(cleanup);
    SetCursorPos(overCleanup.x, overCleanup.y);
    POINT client = overCleanup;
    ScreenToClient(main, &client);
    PostMessageA(main, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(client.x, client.y));
    popup = program.WaitForWindow("TFormHelpPopup", "");
    ASSERT_TRUE(popup);
    GetWindowRect(popup, &area);
    EXPECT_LE(area.left, overCleanup.x);
    EXPECT_GE(area.right, overCleanup.x);
    PostMessageA(popup, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    ASSERT_TRUE(program.WaitForWindowGone(popup));

    // On a page too: F1 over the settings page's question mark.
    PostMessageA(cleanup, BM_CLICK, 0, 0);
    HWND settings = program.WaitForWindow("TfrmCleanupSettings", "Cleanup Settings");
    ASSERT_TRUE(settings);
    HWND pageHint = FindWindowExA(settings, nullptr, "TKvToolButton", nullptr);
    HWND back = FindWindowExA(settings, nullptr, "TKvBitBtn", "Back");
    ASSERT_TRUE(pageHint && back);
    ASSERT_TRUE(program.BringToFront(settings));
    const POINT overPageHint = Middle(pageHint);
    SetCursorPos(overPageHint.x, overPageHint.y);
    keybd_event(VK_F1, 0, 0, 0);
    keybd_event(VK_F1, 0, KEYEVENTF_KEYUP, 0);
    popup = program.WaitForWindow("TFormHelpPopup", "");
    ASSERT_TRUE(popup);
    PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(program.WaitForWindowGone(popup));
    PostMessageA(back, BM_CLICK, 0, 0);
    ASSERT_TRUE(program.WaitForWindowGone(settings));

    PostMessageA(main, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program.WaitExit());
    EXPECT_EQ(program.ExitCode(), 0u);
}

}  // namespace
