// Drives a copy of the real program from outside, as a user would, through the undo page and
// the backup page: windows are found by caption and class, buttons clicked with BM_CLICK, list
// rows read from the other process, message boxes read and answered.
//
// HIVESWEEP_EXE names the program under test. It is copied into a scratch folder, which then
// holds its "restore" and "registrybackups" folders, so that nothing is written into the build tree.

#include "StringList.h"
#include "SysUtils.h"
#include "UndoReader.h"
#include "Undos.h"

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

constexpr DWORD kStepMs = 20000;     // a window appears or goes
constexpr DWORD kExportMs = 180000;  // the whole registry exported
constexpr DWORD kPollMs = 50;

const char* const kQuestion =
    "Restore was successful, however you must restart your PC. \r\nDo you want reboot your system now?";

std::string WindowText(HWND window) {
    char text[2048] = "";
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    return text;
}

std::string ClassOf(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct TChildFind {
    std::string className, text;
    HWND found = nullptr;
};

BOOL CALLBACK MatchChild(HWND window, LPARAM data) {
    auto* find = reinterpret_cast<TChildFind*>(data);
    if ((find->className.empty() || ClassOf(window) == find->className) &&
        (find->text.empty() || Trim(WindowText(window)) == find->text)) {
        find->found = window;
        return FALSE;
    }
    return TRUE;
}

// The first child (at any depth) whose class and trimmed text match; an empty one matches all.
HWND FindChild(HWND parent, const std::string& className, const std::string& text) {
    TChildFind find{className, text};
    EnumChildWindows(parent, MatchChild, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

struct TTopLevelFind {
    DWORD process;
    const std::function<bool(HWND)>* match;
    HWND found = nullptr;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM data) {
    auto* find = reinterpret_cast<TTopLevelFind*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == find->process && IsWindowVisible(window) && (*find->match)(window)) {
        find->found = window;
        return FALSE;
    }
    return TRUE;
}

// Reads list-view rows of another process through memory allocated there.
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
    bool Checked(int row) const { return (SendMessageA(list_, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) >> 12) == 2; }

private:
    static constexpr size_t kSize = 4096;
    HANDLE process_;
    HWND list_;
    void* memory_;
};

// The lines of a combo box of another process. The system hands the text over in wide
// characters whatever the caller asked for, so it is asked for in them.
std::vector<std::string> ComboLines(HWND combo) {
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

std::vector<unsigned char> ReadValue(const std::string& key, const std::string& name, DWORD& type) {
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

void SetFileAge(const std::string& path, double days) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value{{now.dwLowDateTime, now.dwHighDateTime}};
    value.QuadPart -= static_cast<ULONGLONG>(days * 864000000000.0);
    const FILETIME stamp{value.LowPart, value.HighPart};
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &stamp));
    CloseHandle(file);
}

class UndoEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        const char* exe = std::getenv("HIVESWEEP_EXE");
        ASSERT_NE(exe, nullptr) << "HIVESWEEP_EXE names the program under test";
        exe_ = folder_.Path() + "\\hivesweep.exe";
        ASSERT_TRUE(CopyFileA(exe, exe_.c_str(), FALSE)) << exe;
    }
    void TearDown() override { Stop(); }

    void Start() {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string command = "\"" + exe_ + "\"";
        ASSERT_TRUE(CreateProcessA(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   folder_.Path().c_str(), &startup, &process_));
        main_ = WaitForTopLevel([this](HWND window) { return FindChild(window, "", "Undo Cleanups") != nullptr; });
        ASSERT_NE(main_, nullptr) << "no main window";
    }
    // Ends the program as a user would; kills it only when that fails.
    void Stop() {
        if (!process_.hProcess)
            return;
        if (main_ && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
            PostMessageA(FindChild(main_, "", "Exit"), BM_CLICK, 0, 0);
        if (WaitForSingleObject(process_.hProcess, kStepMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the program did not end";
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, INFINITE);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        process_ = {};
        main_ = nullptr;
    }

    // The program offers nothing to wait on from outside: its windows are looked at every
    // kPollMs, while watching that it still runs.
    HWND WaitForTopLevel(const std::function<bool(HWND)>& match, DWORD timeoutMs = kStepMs) {
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        for (;;) {
            TTopLevelFind find{process_.dwProcessId, &match};
            EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&find));
            if (find.found || GetTickCount64() >= end)
                return find.found;
            if (WaitForSingleObject(process_.hProcess, kPollMs) == WAIT_OBJECT_0)
                return nullptr;
        }
    }
    HWND WaitForPage(const std::string& caption) {
        return WaitForTopLevel([&](HWND window) { return ClassOf(window) != "#32770" && WindowText(window) == caption; });
    }
    // A message box of the program whose text starts with prefix.
    HWND WaitForBox(const std::string& prefix, std::string& text, DWORD timeoutMs = kStepMs) {
        return WaitForTopLevel(
            [&](HWND window) {
                if (ClassOf(window) != "#32770")
                    return false;
                HWND label = FindChild(window, "Static", "");
                for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
                    if (ClassOf(child) == "Static" && !WindowText(child).empty())
                        label = child;
                text = label ? WindowText(label) : "";
                return text.compare(0, prefix.size(), prefix) == 0;
            },
            timeoutMs);
    }
    // Polls what cannot be waited on from outside, watching that the program still runs.
    bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = kStepMs) {
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        while (!done()) {
            if (GetTickCount64() >= end || WaitForSingleObject(process_.hProcess, kPollMs) == WAIT_OBJECT_0)
                return done();
        }
        return true;
    }
    // Answers the message box with the button captioned caption and waits for it to go.
    void Answer(HWND box, const std::string& caption) {
        HWND button = FindChild(box, "Button", caption);
        ASSERT_NE(button, nullptr) << caption;
        PostMessageA(button, BM_CLICK, 0, 0);
        const ULONGLONG end = GetTickCount64() + kStepMs;
        while (IsWindow(box) && IsWindowVisible(box) && GetTickCount64() < end)
            WaitForSingleObject(process_.hProcess, kPollMs);
        EXPECT_FALSE(IsWindow(box) && IsWindowVisible(box));
    }
    HWND OpenPage(const std::string& button, const std::string& caption) {
        PostMessageA(FindChild(main_, "", button), BM_CLICK, 0, 0);
        return WaitForPage(caption);
    }
    void ClosePage(HWND page) {
        PostMessageA(FindChild(page, "", "Back"), BM_CLICK, 0, 0);
        const ULONGLONG end = GetTickCount64() + kStepMs;
        while (IsWindowVisible(page) && GetTickCount64() < end)
            WaitForSingleObject(process_.hProcess, kPollMs);
        EXPECT_FALSE(IsWindowVisible(page));
    }
    std::string Restore() const { return folder_.Path() + "\\restore"; }

    TTempDir folder_;
    std::string exe_;
    PROCESS_INFORMATION process_{};
    HWND main_ = nullptr;
};

struct TRow {
    std::string key, value;
    bool checked;
    bool operator==(const TRow&) const = default;
};
void PrintTo(const TRow& row, std::ostream* os) { *os << "{" << row.key << " | " << row.value << " | " << row.checked << "}"; }

std::vector<TRow> Rows(HANDLE process, HWND page) {
    TRemoteList list(process, FindChild(page, "SysListView32", ""));
    std::vector<TRow> rows;
    for (int i = 0; i < list.Count(); ++i)
        rows.push_back({list.Text(i, 0), list.Text(i, 1), list.Checked(i)});
    return rows;
}

TEST_F(UndoEndToEnd, RestoresACleanupAndAgainAfterARestartAndDeletesItsFile) {
    // A cleanup as the engine journals it: each finding exported, then removed.
    TScratchKey key;
    const std::string gone = key.Path() + "\\Gone", single = key.Path() + "\\Single";
    const std::string tricky = "C:\\Tools\\\"quoted\" name";
    key.SetString("Gone", "path", tricky);
    key.SetString("Gone", "", "default");
    key.SetDword("Gone", "count", 255);
    std::vector<unsigned char> blob(40);
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<unsigned char>(255 - i);
    key.SetValue("Single", "b", REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    std::string fileName;
    std::vector<TUndoEntry> journaled;
    {
        TRegUndoFile undo;
        undo.Folder = Restore();
        ASSERT_TRUE(undo.AddEntry(key.Root(), gone, ""));
        ASSERT_TRUE(undo.AddEntry(key.Root(), single, "b"));
        fileName = ExtractFileName(undo.FileName);
        journaled = ParseUndoLines(undo.Lines);
    }
    const auto removeFindings = [&] {
        ASSERT_EQ(RegDeleteTreeA(key.Root(), gone.c_str()), ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteKeyValueA(key.Root(), single.c_str(), "b"), ERROR_SUCCESS);
    };
    const auto expectRestored = [&] {
        DWORD type;
        std::vector<unsigned char> data = ReadValue(gone, "path", type);
        EXPECT_EQ(type, DWORD(REG_SZ));
        EXPECT_EQ(std::string(data.begin(), data.end()), tricky + '\0');
        data = ReadValue(gone, "", type);
        EXPECT_EQ(std::string(data.begin(), data.end()), std::string("default") + '\0');
        EXPECT_EQ(ReadValue(gone, "count", type), (std::vector<unsigned char>{255, 0, 0, 0}));
        EXPECT_EQ(type, DWORD(REG_DWORD));
        EXPECT_EQ(ReadValue(single, "b", type), blob);
        EXPECT_EQ(type, DWORD(REG_BINARY));
    };
    std::vector<TRow> expected;
    for (const TUndoEntry& entry : journaled)
        expected.push_back({entry.Key, entry.Text, true});
    ASSERT_EQ(expected.size(), 4u);
    EXPECT_EQ(expected[3].value.substr(0, 8), "\"b\"=hex:");

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "after the cleanup" : "after a restart");
        removeFindings();
        Start();
        HWND page = OpenPage("Undo Cleanups", "Undo Registry Cleanup");
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(ComboLines(FindChild(page, "ComboBox", "")), std::vector<std::string>{fileName});
        EXPECT_EQ(Rows(process_.hProcess, page), expected);

        PostMessageA(FindChild(page, "", "&Undo"), BM_CLICK, 0, 0);
        std::string text;
        HWND box = WaitForBox("Restore was", text);
        ASSERT_NE(box, nullptr) << "no question after the restore";
        EXPECT_EQ(text, kQuestion);
        Answer(box, "&No");
        expectRestored();
        for (const TRow& row : Rows(process_.hProcess, page))
            EXPECT_FALSE(row.checked) << row.key;
        if (run == 0) {
            ClosePage(page);
            Stop();
            continue;
        }

        // Delete asks, then removes the file and empties the page.
        PostMessageA(FindChild(page, "", "&Delete"), BM_CLICK, 0, 0);
        box = WaitForBox("Delete undo file?", text);
        ASSERT_NE(box, nullptr);
        Answer(box, "&Yes");
        EXPECT_TRUE(WaitUntil([&] { return !FileExists(Restore() + "\\" + fileName); }));
        EXPECT_TRUE(ComboLines(FindChild(page, "ComboBox", "")).empty());
        EXPECT_TRUE(Rows(process_.hProcess, page).empty());
        ClosePage(page);
        Stop();
    }
}

TEST_F(UndoEndToEnd, OldUndoFilesGoOnlyWhileTheBoxIsTicked) {
    const auto plant = [&](const std::string& name, double days) {
        const std::string path = folder_.AddFile("restore\\" + name, "REGEDIT4\r\n");
        SetFileAge(path, days);
        return path;
    };
    const std::string old = plant("20200101000000.reg", 8);
    plant("20200110000000.reg", 6);
    Start();
    HWND page = OpenPage("Undo Cleanups", "Undo Registry Cleanup");
    ASSERT_NE(page, nullptr);
    HWND box = FindChild(page, "Button", "Delete Undo Files");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(ComboLines(FindChild(page, "ComboBox", "")), std::vector<std::string>{"20200110000000.reg"});
    EXPECT_FALSE(FileExists(old));

    // Cleared, the box keeps old files, also at the next showing of the page.
    SendMessageA(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    ClosePage(page);
    plant("20200101000000.reg", 8);
    page = OpenPage("Undo Cleanups", "Undo Registry Cleanup");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(ComboLines(FindChild(page, "ComboBox", "")),
              (std::vector<std::string>{"20200101000000.reg", "20200110000000.reg"}));
    EXPECT_TRUE(FileExists(old));
    ClosePage(page);
    Stop();
}

TEST_F(UndoEndToEnd, BackupWritesTheEditorsExportBesideTheProgram) {
    Start();
    HWND page = OpenPage("Registry Backup", "Registry Backup");
    ASSERT_NE(page, nullptr);
    PostMessageA(FindChild(page, "", "Run"), BM_CLICK, 0, 0);
    std::string text;
    HWND box = WaitForBox("Registry was successfully backed up to ", text, kExportMs);
    if (!box) {
        std::string other;
        WaitForBox("", other, 0);
        FAIL() << "no success message; the program said: " << other;
    }
    const std::string name = text.substr(text.rfind(' ') + 1);
    const std::string path = folder_.Path() + "\\registrybackups\\" + name;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    // UTF-16 text that starts with the editor's header.
    ASSERT_GT(bytes.size(), 100u) << path;
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(bytes.substr(2, 6), std::string("W\0i\0n\0", 6));
    Answer(box, "OK");
    ClosePage(page);
    Stop();
}

}  // namespace
