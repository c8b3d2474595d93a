// Drives a copy of the real program from outside, as a user would: plants broken entries,
// walks through the cleanup wizard by window captions and classes, reads the listed rows
// from the other process and deletes only what it planted.
//
// HIVESWEEP_EXE names the program under test. It is copied into a scratch folder with an
// excluded-keys file beside it, so that nothing is written into the build tree.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr DWORD kStepMs = 20000;     // a window appears or a button changes
constexpr DWORD kScanMs = 150000;    // the whole-registry walk
constexpr DWORD kPollMs = 50;

const std::string kSoundsKey = "AppEvents\\Schemes\\Apps\\";

std::string WindowText(HWND window) {
    char text[1024] = "";
    // Cross-process WM_GETTEXT is marshalled by the system.
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    return text;
}

std::string ClassOf(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct TFind {
    DWORD process;
    std::string className, text;
    HWND found = nullptr;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM data) {
    auto* find = reinterpret_cast<TFind*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == find->process && IsWindowVisible(window) &&
        (find->className.empty() || ClassOf(window) == find->className) &&
        (find->text.empty() || WindowText(window) == find->text)) {
        find->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK MatchChild(HWND window, LPARAM data) {
    auto* find = reinterpret_cast<TFind*>(data);
    if ((find->className.empty() || lstrcmpiA(ClassOf(window).c_str(), find->className.c_str()) == 0) &&
        (find->text.empty() || WindowText(window) == find->text)) {
        find->found = window;
        return FALSE;
    }
    return TRUE;
}

// Lists rows of a list view in another process: the item structure and the text buffer
// live in memory allocated there.
class TRemoteList {
public:
    TRemoteList(HANDLE process, HWND list) : process_(process), list_(list) {
        memory_ = VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
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
        if (!WriteProcessMemory(process_, memory_, &item, sizeof item, nullptr))
            return "<unwritable>";
        const auto length = SendMessageA(list_, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(memory_));
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
        WriteProcessMemory(process_, memory_, &item, sizeof item, nullptr);
        SendMessageA(list_, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(memory_));
    }

private:
    static constexpr size_t kSize = 4096;
    HANDLE process_;
    HWND list_;
    void* memory_ = nullptr;
};

struct TRow {
    std::string key, value, description;
    bool operator==(const TRow&) const = default;
};

void PrintTo(const TRow& row, std::ostream* os) { *os << "{" << row.key << " | " << row.value << " | " << row.description << "}"; }

bool KeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool ValueExists(const std::string& path, const std::string& name) {
    return RegGetValueA(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class CleanupEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        const char* exe = std::getenv("HIVESWEEP_EXE");
        ASSERT_NE(exe, nullptr) << "HIVESWEEP_EXE names the program under test";
        exe_ = folder_.Path() + "\\hivesweep.exe";
        ASSERT_TRUE(CopyFileA(exe, exe_.c_str(), FALSE)) << exe;
    }
    void TearDown() override {
        if (process_.hProcess) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, INFINITE);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        RegDeleteTreeA(HKEY_CURRENT_USER, (kSoundsKey + u_).c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, (kSoundsKey + u_).c_str());
    }

    void Start() {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string command = "\"" + exe_ + "\"";
        ASSERT_TRUE(CreateProcessA(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   folder_.Path().c_str(), &startup, &process_));
        WaitForInputIdle(process_.hProcess, kStepMs);
    }

    // Waits until done() holds, watching that the program is still running. The program
    // gives nothing to wait on from outside, so its windows are looked at every kPollMs.
    bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        for (;;) {
            if (done())
                return true;
            if (GetTickCount64() >= end)
                return false;
            if (WaitForSingleObject(process_.hProcess, kPollMs) == WAIT_OBJECT_0)
                return done();
        }
    }

    HWND TopLevel(const std::string& className, const std::string& text = "", DWORD timeoutMs = kStepMs) {
        TFind find{process_.dwProcessId, className, text};
        WaitUntil(
            [&] {
                find.found = nullptr;
                EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&find));
                return find.found != nullptr;
            },
            timeoutMs);
        return find.found;
    }

    static HWND Child(HWND parent, const std::string& className, const std::string& text) {
        TFind find{0, className, text};
        EnumChildWindows(parent, MatchChild, reinterpret_cast<LPARAM>(&find));
        return find.found;
    }

    // A button's click may open a modal window, so it is posted, not sent.
    static void Click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

    // Sets a check box of the settings page to the wanted state by clicking it.
    static void SetBox(HWND page, const std::string& caption, bool checked) {
        // The group box carries the caption of its check box too.
        HWND box = Child(page, "Button", caption);
        ASSERT_NE(box, nullptr) << caption;
        if ((SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED) != checked)
            SendMessageA(box, BM_CLICK, 0, 0);
        EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED, checked) << caption;
    }

    static bool IsChecked(HWND page, const std::string& caption) {
        HWND box = Child(page, "Button", caption);
        return box && SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }

    // Presses a page's Back and waits for the page to go.
    void Back(HWND page) {
        Click(Child(page, "", "Back"));
        EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(page); }, kStepMs)) << WindowText(page);
    }

    // Exit on the main window; the program must end by itself, and cleanly.
    void Exit(HWND main) {
        Click(Child(main, "", "Exit                     "));
        ASSERT_EQ(WaitForSingleObject(process_.hProcess, kStepMs), WAIT_OBJECT_0) << "the program did not end";
        DWORD code = 1;
        GetExitCodeProcess(process_.hProcess, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        process_ = {};
    }

    const std::string u_ = UniqueName("e2e");
    TTempDir folder_;
    TScratchKey scratch_;
    std::string exe_;
    PROCESS_INFORMATION process_{};
};

TEST_F(CleanupEndToEnd, ScanListsThePlantsHidesTheExcludedKeyAndDeletesOnlyTheTickedRows) {
    // Broken entries the whole-registry walk and the sound check find.
    const std::string missing = "C:\\" + u_ + "\\";
    scratch_.SetString("apps\\one", "Path", missing + "one.exe");
    scratch_.SetString("apps\\one", "Other", missing + "other.exe");
    scratch_.SetString("apps\\two", "Tool", missing + "two.exe");
    scratch_.SetString("hidden\\deep", "Tool", missing + "hidden.exe");
    {
        HKEY key = nullptr;
        const std::string current = kSoundsKey + u_ + "\\Ding\\.Current";
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, current.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        const std::string wave = missing + "ding.wav";
        RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(wave.c_str()),
                       static_cast<DWORD>(wave.size() + 1));
        RegCloseKey(key);
    }
    const std::string base = "HKEY_CURRENT_USER\\" + scratch_.Path();
    // Every finding below the excluded key is hidden, also those of deeper keys.
    {
        std::ofstream excluded(folder_.Path() + "\\ExcludedKeys.txt", std::ios::binary);
        excluded << "HKEY_LOCAL_MACHINE\\SOFTWARE\\Nothing\\Here\r\n" << base << "\\hidden\r\n";
    }

    Start();
    HWND main = TopLevel("TfrmMain");
    ASSERT_NE(main, nullptr) << "main window";
    HWND cleanup = Child(main, "", "Registry Cleanup");
    ASSERT_NE(cleanup, nullptr);
    Click(cleanup);

    // The areas: the file list and, of the software section, the sounds alone.
    HWND settings = TopLevel("", "Cleanup Settings");
    ASSERT_NE(settings, nullptr) << "settings page";
    SetBox(settings, "Clean Classes Section", false);
    SetBox(settings, "Clear File List", true);
    SetBox(settings, "Clear Software Section", true);
    for (const char* box : {"Shared DLLs", "Invalid Files Associations", "Windows Startup Run", "Application Paths",
                            "Help", "Fonts"})
        SetBox(settings, box, false);
    SetBox(settings, "Sounds", true);
    Click(Child(settings, "", "Next"));

    HWND page = TopLevel("TfrmRegistryCleanup", "Registry Cleanup");
    ASSERT_NE(page, nullptr) << "scan page";
    HWND run = Child(page, "", "Run");
    HWND del = Child(page, "", "Delete");
    HWND list = Child(page, "SysListView32", "");
    ASSERT_TRUE(run && del && list);
    EXPECT_FALSE(IsWindowEnabled(del));

    Click(run);
    ASSERT_TRUE(WaitUntil([&] { return WindowText(run) == "Stop"; }, kStepMs)) << "the scan did not start";
    // Run comes back, enabled, when the scan has fully ended ("Ready!").
    ASSERT_TRUE(WaitUntil([&] { return WindowText(run) == "Run" && IsWindowEnabled(run); }, kScanMs))
        << "the scan did not end";
    EXPECT_TRUE(IsWindowEnabled(del));

    TRemoteList rows(process_.hProcess, list);
    ASSERT_TRUE(rows.Ready());
    std::vector<TRow> ours;
    std::vector<int> ourRows;
    for (int i = 0; i < rows.Count(); ++i) {
        TRow row{rows.Text(i, 0), rows.Text(i, 1), rows.Text(i, 2)};
        EXPECT_TRUE(rows.Checked(i)) << "row " << i << " not ticked after the scan";
        if (row.key.find(u_) != std::string::npos || row.key.find(scratch_.Path()) != std::string::npos) {
            ours.push_back(row);
            ourRows.push_back(i);
        }
    }
    std::vector<TRow> expected{
        {base + "\\apps\\one", missing + "one.exe", "File not found"},
        {base + "\\apps\\one", missing + "other.exe", "File not found"},
        {base + "\\apps\\two", missing + "two.exe", "File not found"},
        {"HKEY_CURRENT_USER\\" + kSoundsKey + u_ + "\\Ding\\.Current", missing + "ding.wav",
         "Current sound file in current user settings does not exists"},
    };
    auto byKey = [](const TRow& a, const TRow& b) { return a.key + a.value < b.key + b.value; };
    std::sort(ours.begin(), ours.end(), byKey);
    std::sort(expected.begin(), expected.end(), byKey);
    EXPECT_EQ(ours, expected);

    // Untick everything but the plants of apps\one and the sound, then delete.
    for (int i = 0; i < rows.Count(); ++i) {
        const std::string key = rows.Text(i, 0);
        const bool keep = key == base + "\\apps\\one" || key.find(u_ + "\\Ding") != std::string::npos;
        rows.SetChecked(i, keep);
    }
    const int before = rows.Count();
    Click(del);
    ASSERT_TRUE(WaitUntil([&] { return rows.Count() == before - 3 && IsWindowEnabled(run); }, kStepMs))
        << rows.Count() << " rows of " << before;

    EXPECT_FALSE(ValueExists(scratch_.Path() + "\\apps\\one", "Path"));
    EXPECT_FALSE(ValueExists(scratch_.Path() + "\\apps\\one", "Other"));
    EXPECT_TRUE(ValueExists(scratch_.Path() + "\\apps\\two", "Tool"));
    EXPECT_TRUE(ValueExists(scratch_.Path() + "\\hidden\\deep", "Tool"));
    EXPECT_FALSE(KeyExists(kSoundsKey + u_ + "\\Ding\\.Current"));
    EXPECT_TRUE(KeyExists(kSoundsKey + u_ + "\\Ding"));

    // Back to the main window, then Exit: the excluded keys are saved beside the program.
    Click(Child(page, "", "Back"));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(page); }, kStepMs));
    Click(Child(main, "", "Exit                     "));
    ASSERT_EQ(WaitForSingleObject(process_.hProcess, kStepMs), WAIT_OBJECT_0) << "the program did not end";
    DWORD code = 1;
    GetExitCodeProcess(process_.hProcess, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_NE(ReadFile(folder_.Path() + "\\ExcludedKeys.txt").find(base + "\\hidden"), std::string::npos);

    // The undo file in restore\ holds what was deleted, and nothing else of ours; the
    // program keeps it open while it runs.
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((folder_.Path() + "\\restore\\*.reg").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no undo file";
    const std::string undo = ReadFile(folder_.Path() + "\\restore\\" + data.cFileName);
    EXPECT_FALSE(FindNextFileA(search, &data)) << "more than one undo file";
    FindClose(search);
    EXPECT_EQ(undo.rfind("REGEDIT4", 0), 0u) << undo;
    auto escaped = [](std::string text) {
        for (size_t at = 0; (at = text.find('\\', at)) != std::string::npos; at += 2)
            text.insert(at, 1, '\\');
        return text;
    };
    EXPECT_NE(undo.find("[" + base + "\\apps\\one]"), std::string::npos) << undo;
    EXPECT_NE(undo.find("\"Path\"=\"" + escaped(missing + "one.exe") + "\""), std::string::npos) << undo;
    EXPECT_NE(undo.find("\"Other\"=\"" + escaped(missing + "other.exe") + "\""), std::string::npos) << undo;
    EXPECT_NE(undo.find("[HKEY_CURRENT_USER\\" + kSoundsKey + u_ + "\\Ding\\.Current]"), std::string::npos) << undo;
    EXPECT_EQ(undo.find("two.exe"), std::string::npos) << undo;
    EXPECT_EQ(undo.find("hidden.exe"), std::string::npos) << undo;

}

// What the pages keep: changed in one run, back in the next. The program refuses a second
// copy of itself, so each run ends before the next starts.
TEST_F(CleanupEndToEnd, ChangedSettingsAreBackAfterARestart) {
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "first run" : "after the restart");
        Start();
        HWND main = TopLevel("TfrmMain");
        ASSERT_NE(main, nullptr) << "main window";

        Click(Child(main, "", "Registry Cleanup"));
        HWND settings = TopLevel("", "Cleanup Settings");
        ASSERT_NE(settings, nullptr) << "settings page";
        if (run == 0) {
            SetBox(settings, "Fonts", false);
            SetBox(settings, "Clear Software Section", false);
        }
        EXPECT_FALSE(IsChecked(settings, "Fonts"));
        EXPECT_FALSE(IsChecked(settings, "Clear Software Section"));
        EXPECT_TRUE(IsChecked(settings, "Sounds"));
        EXPECT_TRUE(IsChecked(settings, "Help"));
        Back(settings);

        Click(Child(main, "", "Undo Cleanups   "));
        HWND undo = TopLevel("", "Undo Registry Cleanup");
        ASSERT_NE(undo, nullptr) << "undo page";
        // The days' edit holds the up-down arrows.
        HWND arrows = Child(undo, "msctls_updown32", "");
        ASSERT_NE(arrows, nullptr);
        HWND days = GetParent(arrows);
        if (run == 0) {
            EXPECT_EQ(WindowText(days), "7");
            // Cross-process WM_SETTEXT is marshalled by the system too.
            SendMessageTimeoutA(days, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("21"), SMTO_ABORTIFHUNG, 5000, nullptr);
        }
        EXPECT_EQ(WindowText(days), "21");
        Back(undo);

        Exit(main);
        if (HasFatalFailure())
            return;
        for (const char* name : {"CleanupSettings", "RegistryCleanup", "RegistryUndo"})
            EXPECT_NE(GetFileAttributesA((folder_.Path() + "\\" + name + ".ini").c_str()), INVALID_FILE_ATTRIBUTES)
                << name;
    }
    EXPECT_NE(ReadFile(folder_.Path() + "\\RegistryUndo.ini").find("seOlderThan.Value=21\r\n"), std::string::npos);
}

}  // namespace
