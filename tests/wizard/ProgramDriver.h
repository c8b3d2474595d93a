#pragma once

// Drives a copy of the real program from outside, as a user would: windows are found by
// caption and class within its process, buttons clicked with BM_CLICK, list rows read from
// the other process, message boxes read and answered.
//
// HIVESWEEP_EXE names the program under test. It is copied into a scratch folder, which then
// holds whatever the program writes beside itself, so that nothing is written into the build tree.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace driver {

constexpr DWORD kStepMs = 20000;  // a window appears or goes, a button changes
constexpr DWORD kPollMs = 50;
constexpr DWORD kScanMs = 150000;  // the whole-registry walk

inline std::string WindowText(HWND window) {
    char text[2048] = "";
    // Cross-process WM_GETTEXT is marshalled by the system.
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    return text;
}

inline std::string ClassOf(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// Without leading and trailing blanks and control characters, as captions padded with spaces have them.
inline std::string Trimmed(const std::string& text) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

struct TChildFind {
    std::string className, text;
    HWND found = nullptr;
};

inline BOOL CALLBACK MatchChild(HWND window, LPARAM data) {
    auto* find = reinterpret_cast<TChildFind*>(data);
    if ((find->className.empty() || lstrcmpiA(ClassOf(window).c_str(), find->className.c_str()) == 0) &&
        (find->text.empty() || Trimmed(WindowText(window)) == find->text)) {
        find->found = window;
        return FALSE;
    }
    return TRUE;
}

// The first child (at any depth) whose class and trimmed text match; an empty one matches all.
inline HWND FindChild(HWND parent, const std::string& className, const std::string& text) {
    TChildFind find{className, text};
    EnumChildWindows(parent, MatchChild, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

// A button's click may open a modal window, so it is posted, not sent.
inline void Click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

// Sets a check box to the wanted state by clicking it.
inline void SetBox(HWND parent, const std::string& caption, bool checked) {
    // A group box may carry the caption of its check box too; the check box comes first.
    HWND box = FindChild(parent, "Button", caption);
    ASSERT_NE(box, nullptr) << caption;
    if ((SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED) != checked)
        SendMessageA(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED, checked) << caption;
}

// Rows of a list view in another process: the item structure and the text buffer live in
// memory allocated there.
class TRemoteList {
public:
    TRemoteList(HANDLE process, HWND list)
        : process_(process), list_(list),
          memory_(VirtualAllocEx(process, nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~TRemoteList() {
        if (memory_)
            VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
    }
    TRemoteList(const TRemoteList&) = delete;
    TRemoteList& operator=(const TRemoteList&) = delete;

    bool Ready() const { return memory_ != nullptr; }
    int Count() const { return static_cast<int>(SendMessageA(list_, LVM_GETITEMCOUNT, 0, 0)); }

    std::string Text(int row, int column) const {
        auto* text = static_cast<char*>(memory_) + sizeof(LVITEMA);
        LVITEMA item{};
        item.iSubItem = column;
        item.pszText = text;
        item.cchTextMax = kSize - sizeof(LVITEMA);
        if (!memory_ || !WriteProcessMemory(process_, memory_, &item, sizeof item, nullptr))
            return "<unwritable>";
        const LRESULT length = SendMessageA(list_, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(memory_));
        std::string result(static_cast<size_t>(std::max<LRESULT>(length, 0)), '\0');
        if (length > 0 && !ReadProcessMemory(process_, text, result.data(), result.size(), nullptr))
            return "<unreadable>";
        return result;
    }

    // State image 2 is a tick, 1 none.
    bool Checked(int row) const {
        return (SendMessageA(list_, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) >> 12) == 2;
    }
    void SetChecked(int row, bool checked) const {
        LVITEMA item{};
        item.stateMask = LVIS_STATEIMAGEMASK;
        item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
        if (memory_ && WriteProcessMemory(process_, memory_, &item, sizeof item, nullptr))
            SendMessageA(list_, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(memory_));
    }

private:
    static constexpr size_t kSize = 4096;
    HANDLE process_;
    HWND list_;
    void* memory_;
};

// The lines of a combo box of another process. The system hands the text over in wide
// characters whatever the caller asked for, so it is asked for in them.
inline std::vector<std::string> ComboLines(HWND combo) {
    std::vector<std::string> lines;
    const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        std::wstring line(static_cast<size_t>(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(line.data()));
        char narrow[1024] = "";
        WideCharToMultiByte(CP_ACP, 0, line.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
        lines.push_back(narrow);
    }
    return lines;
}

// A value below HKEY_CURRENT_USER as stored: its type and bytes; none when it is missing.
inline std::vector<unsigned char> ReadValue(const std::string& key, const std::string& name, DWORD& type) {
    DWORD size = 0;
    type = REG_NONE;
    if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr,
                     &size) != ERROR_SUCCESS)
        return {};
    std::vector<unsigned char> data(size);
    RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &size);
    data.resize(size);
    return data;
}

struct TTopLevelFind {
    DWORD process;
    const std::function<bool(HWND)>* match;
    HWND found = nullptr;
};

inline BOOL CALLBACK MatchTopLevel(HWND window, LPARAM data) {
    auto* find = reinterpret_cast<TTopLevelFind*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == find->process && IsWindowVisible(window) && (*find->match)(window)) {
        find->found = window;
        return FALSE;
    }
    return TRUE;
}

// A fixture that copies the program into a scratch folder, starts it there and ends it.
class TProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* exe = std::getenv("HIVESWEEP_EXE");
        ASSERT_NE(exe, nullptr) << "HIVESWEEP_EXE names the program under test";
        exe_ = folder_.Path() + "\\hivesweep.exe";
        ASSERT_TRUE(CopyFileA(exe, exe_.c_str(), FALSE)) << exe;
    }
    void TearDown() override { Stop(); }

    // Starts the program and waits for its main window.
    void Start() {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string command = "\"" + exe_ + "\"";
        ASSERT_TRUE(CreateProcessA(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   folder_.Path().c_str(), &startup, &process_));
        main_ = WaitForTopLevel([](HWND window) {
            return ClassOf(window) == "TfrmMain" && FindChild(window, "", "Undo Cleanups") != nullptr;
        });
        ASSERT_NE(main_, nullptr) << "no main window";
    }
    // Ends the program as a user would, with Exit; kills it only when that fails.
    void Stop() {
        if (!process_.hProcess)
            return;
        if (main_ && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
            Click(FindChild(main_, "", "Exit"));
        if (WaitForSingleObject(process_.hProcess, kStepMs) != WAIT_OBJECT_0) {
            // After a failed step a modal window may keep Exit from working.
            if (!HasFailure())
                ADD_FAILURE() << "the program did not end";
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, INFINITE);
        }
        Close();
    }
    // Exit on the main window; the program's exit code once it has ended by itself, after
    // which it may be started again.
    DWORD Exit() {
        Click(FindChild(main_, "", "Exit"));
        return WaitForExit();
    }
    // The exit code once the program has ended within a step; STILL_ACTIVE while it runs on
    // (TearDown then ends it).
    DWORD WaitForExit() {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process_.hProcess, kStepMs) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process_.hProcess, &code);
            Close();
        }
        return code;
    }
    void Close() {
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        process_ = {};
        main_ = nullptr;
    }

    // The program offers nothing to wait on from outside: its windows are looked at every
    // kPollMs, while watching that it still runs.
    bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = kStepMs) {
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        while (!done()) {
            if (GetTickCount64() >= end || WaitForSingleObject(process_.hProcess, kPollMs) == WAIT_OBJECT_0)
                return done();
        }
        return true;
    }
    HWND WaitForTopLevel(const std::function<bool(HWND)>& match, DWORD timeoutMs = kStepMs) {
        HWND found = nullptr;
        WaitUntil(
            [&] {
                TTopLevelFind find{process_.dwProcessId, &match};
                EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&find));
                found = find.found;
                return found != nullptr;
            },
            timeoutMs);
        return found;
    }
    // A window of the program that is no message box, by caption, and by class unless that is empty.
    HWND WaitForPage(const std::string& caption, const std::string& className = "") {
        return WaitForTopLevel([&](HWND window) {
            const std::string name = ClassOf(window);
            return name != "#32770" && (className.empty() || name == className) && WindowText(window) == caption;
        });
    }
    // The text of a message box: its last static child with text (the first may hold the icon).
    static std::string BoxText(HWND box) {
        std::string text;
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            if (ClassOf(child) == "Static" && !WindowText(child).empty())
                text = WindowText(child);
        return text;
    }
    // A message box of the program whose text starts with prefix.
    HWND WaitForBox(const std::string& prefix, std::string& text, DWORD timeoutMs = kStepMs) {
        return WaitForTopLevel(
            [&](HWND window) {
                if (ClassOf(window) != "#32770")
                    return false;
                text = BoxText(window);
                return text.compare(0, prefix.size(), prefix) == 0;
            },
            timeoutMs);
    }
    // Answers the message box with the button captioned caption and waits for it to go.
    void Answer(HWND box, const std::string& caption) {
        HWND button = FindChild(box, "Button", caption);
        ASSERT_NE(button, nullptr) << caption;
        Click(button);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); })) << caption;
    }
    // Opens a page with a button of the main window.
    HWND OpenPage(const std::string& button, const std::string& caption) {
        Click(FindChild(main_, "", button));
        return WaitForPage(caption);
    }
    void ClosePage(HWND page) {
        Click(FindChild(page, "", "Back"));
        EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(page); }));
    }

    // Through the settings page to the scan page with the file list and, of the software
    // section, the sounds alone; runs the scan and waits for its end. The scan page, or none.
    HWND ScanFileListAndSounds() {
        Click(FindChild(main_, "", "Registry Cleanup"));
        HWND settings = WaitForPage("Cleanup Settings");
        if (!settings) {
            ADD_FAILURE() << "no settings page";
            return nullptr;
        }
        SetBox(settings, "Clean Classes Section", false);
        SetBox(settings, "Clear File List", true);
        SetBox(settings, "Clear Software Section", true);
        for (const char* box : {"Shared DLLs", "Invalid Files Associations", "Windows Startup Run",
                                "Application Paths", "Help", "Fonts"})
            SetBox(settings, box, false);
        SetBox(settings, "Sounds", true);
        Click(FindChild(settings, "", "Next"));

        HWND page = WaitForPage("Registry Cleanup", "TfrmRegistryCleanup");
        HWND run = page ? FindChild(page, "", "Run") : nullptr;
        HWND del = page ? FindChild(page, "", "Delete") : nullptr;
        if (!run || !del || !FindChild(page, "SysListView32", "")) {
            ADD_FAILURE() << "no scan page";
            return nullptr;
        }
        EXPECT_FALSE(IsWindowEnabled(del));
        Click(run);
        if (!WaitUntil([&] { return WindowText(run) == "Stop"; })) {
            ADD_FAILURE() << "the scan did not start";
            return nullptr;
        }
        // Run comes back, enabled, when the scan has fully ended ("Ready!").
        if (!WaitUntil([&] { return WindowText(run) == "Run" && IsWindowEnabled(run); }, kScanMs)) {
            ADD_FAILURE() << "the scan did not end";
            return nullptr;
        }
        EXPECT_TRUE(IsWindowEnabled(del));
        return page;
    }

    TTempDir folder_;
    std::string exe_;
    PROCESS_INFORMATION process_{};
    HWND main_ = nullptr;
};

}  // namespace driver
