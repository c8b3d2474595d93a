// Drives a copy of the real program from outside, as a user would: plants broken entries,
// walks through the cleanup wizard by window captions and classes, reads the listed rows
// from the other process and deletes only what it planted. The copy has an excluded-keys
// file beside it.

#include "ProgramDriver.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace driver;

const std::string kSoundsKey = "AppEvents\\Schemes\\Apps\\";

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

class CleanupEndToEnd : public TProgramTest {
protected:
    void TearDown() override {
        TProgramTest::TearDown();
        RegDeleteTreeA(HKEY_CURRENT_USER, (kSoundsKey + u_).c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, (kSoundsKey + u_).c_str());
    }

    static bool IsChecked(HWND page, const std::string& caption) {
        HWND box = FindChild(page, "Button", caption);
        return box && SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }

    const std::string u_ = UniqueName("e2e");
    TScratchKey scratch_;
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
    HWND page = ScanFileListAndSounds();
    ASSERT_NE(page, nullptr);
    HWND run = FindChild(page, "", "Run");
    HWND del = FindChild(page, "", "Delete");
    HWND list = FindChild(page, "SysListView32", "");

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
    ClosePage(page);
    ASSERT_EQ(Exit(), 0u) << "the program did not end well";
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
        HWND settings = OpenPage("Registry Cleanup", "Cleanup Settings");
        ASSERT_NE(settings, nullptr) << "settings page";
        if (run == 0) {
            SetBox(settings, "Fonts", false);
            SetBox(settings, "Clear Software Section", false);
        }
        EXPECT_FALSE(IsChecked(settings, "Fonts"));
        EXPECT_FALSE(IsChecked(settings, "Clear Software Section"));
        EXPECT_TRUE(IsChecked(settings, "Sounds"));
        EXPECT_TRUE(IsChecked(settings, "Help"));
        ClosePage(settings);

        HWND undo = OpenPage("Undo Cleanups", "Undo Registry Cleanup");
        ASSERT_NE(undo, nullptr) << "undo page";
        // The days' edit holds the up-down arrows.
        HWND arrows = FindChild(undo, "msctls_updown32", "");
        ASSERT_NE(arrows, nullptr);
        HWND days = GetParent(arrows);
        if (run == 0) {
            EXPECT_EQ(WindowText(days), "7");
            // Cross-process WM_SETTEXT is marshalled by the system too.
            SendMessageTimeoutA(days, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("21"), SMTO_ABORTIFHUNG, 5000, nullptr);
        }
        EXPECT_EQ(WindowText(days), "21");
        ClosePage(undo);

        ASSERT_EQ(Exit(), 0u) << "the program did not end well";
        for (const char* name : {"CleanupSettings", "RegistryCleanup", "RegistryUndo"})
            EXPECT_NE(GetFileAttributesA((folder_.Path() + "\\" + name + ".ini").c_str()), INVALID_FILE_ATTRIBUTES)
                << name;
    }
    EXPECT_NE(ReadFile(folder_.Path() + "\\RegistryUndo.ini").find("seOlderThan.Value=21\r\n"), std::string::npos);
}

}  // namespace
