// Drives a copy of the real program from outside through a cleanup and, in the same run,
// through the undo page: what the cleanup deleted comes back with its types and data.

#include "ProgramDriver.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace driver;

const std::string kSoundsKey = "AppEvents\\Schemes\\Apps\\";

const char* const kQuestion =
    "Restore was successful, however you must restart your PC. \r\nDo you want reboot your system now?";

struct TPlant {
    std::string key, name;
    DWORD type;
    std::vector<unsigned char> data;
};

struct TRow {
    std::string key, value;
    bool checked;
    bool operator==(const TRow&) const = default;
    bool operator<(const TRow& other) const { return key + value < other.key + other.value; }
};
void PrintTo(const TRow& row, std::ostream* os) { *os << "{" << row.key << " | " << row.value << " | " << row.checked << "}"; }

std::vector<TRow> SortedRows(HANDLE process, HWND page) {
    TRemoteList list(process, FindChild(page, "SysListView32", ""));
    std::vector<TRow> rows;
    for (int i = 0; i < list.Count(); ++i)
        rows.push_back({list.Text(i, 0), list.Text(i, 1), list.Checked(i)});
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<unsigned char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The page's text of a value written as hexadecimal bytes, with prefix before them.
std::string HexText(const std::string& prefix, const std::vector<unsigned char>& data) {
    std::string text = prefix;
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        text += (i ? "," : "") + std::string(byte);
    }
    return text;
}

class CleanupUndoEndToEnd : public TProgramTest {
protected:
    void TearDown() override {
        TProgramTest::TearDown();
        RegDeleteTreeA(HKEY_CURRENT_USER, (kSoundsKey + u_).c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, (kSoundsKey + u_).c_str());
    }

    void Plant(const TPlant& plant) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, plant.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS)
            << plant.key;
        EXPECT_EQ(RegSetValueExA(key, plant.name.c_str(), 0, plant.type, plant.data.data(),
                                 static_cast<DWORD>(plant.data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    const std::string u_ = UniqueName("undo");
    TScratchKey scratch_;
};

TEST_F(CleanupUndoEndToEnd, TheRunsUndoFileRestoresEveryTypeAndCannotBeDeleted) {
    // Findings of the whole-registry walk (a string and an expandable string naming missing
    // files) and of the sound check, whose whole key goes with all its values and subkeys.
    const std::string missing = "C:\\" + u_ + "\\";
    const std::string apps = scratch_.Path() + "\\apps";
    const std::string sound = kSoundsKey + u_ + "\\Ding\\.Current";
    std::vector<unsigned char> blob(60);
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<unsigned char>(i * 37);
    const std::vector<TPlant> plants{
        {apps, "Path", REG_SZ, Bytes(missing + "one.exe" + '\0')},
        {apps, "Expand", REG_EXPAND_SZ, Bytes(missing + "two.exe" + '\0')},
        {sound, "", REG_SZ, Bytes(missing + "ding.wav" + '\0')},
        {sound, "Note", REG_SZ, Bytes(std::string("a \"quoted\" \\ text") + '\0')},
        {sound, "Count", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {sound, "Blob", REG_BINARY, blob},
        {sound, "List", REG_MULTI_SZ, Bytes(std::string("one\0two\0\0", 9))},
        {sound + "\\Deeper", "Level", REG_DWORD, {7, 0, 0, 0}},
    };
    for (const TPlant& plant : plants)
        Plant(plant);
    const std::string hkcu = "HKEY_CURRENT_USER\\";
    std::vector<TRow> expected{
        {hkcu + apps, "\"Path\"=\"" + missing + "one.exe\"", true},
        {hkcu + apps, HexText("\"Expand\"=hex(2):", plants[1].data), true},
        {hkcu + sound, "@=\"" + missing + "ding.wav\"", true},
        {hkcu + sound, "\"Note\"=\"a \"quoted\" \\ text\"", true},
        {hkcu + sound, "\"Count\"=dword:12345678", true},
        {hkcu + sound, HexText("\"Blob\"=hex:", blob), true},
        {hkcu + sound, HexText("\"List\"=hex(7):", plants[6].data), true},
        {hkcu + sound + "\\Deeper", "\"Level\"=dword:00000007", true},
    };
    std::sort(expected.begin(), expected.end());

    // The cleanup deletes the plants alone.
    Start();
    HWND cleanup = ScanFileListAndSounds();
    ASSERT_NE(cleanup, nullptr);
    {
        TRemoteList rows(process_.hProcess, FindChild(cleanup, "SysListView32", ""));
        int ours = 0;
        for (int i = 0; i < rows.Count(); ++i) {
            const bool mine = rows.Text(i, 0).find(u_) != std::string::npos ||
                              rows.Text(i, 0).find(scratch_.Path()) != std::string::npos;
            rows.SetChecked(i, mine);
            ours += mine;
        }
        ASSERT_EQ(ours, 3) << "the two files and the sound";
        const int before = rows.Count();
        Click(FindChild(cleanup, "", "Delete"));
        ASSERT_TRUE(WaitUntil([&] {
            return rows.Count() == before - 3 && IsWindowEnabled(FindChild(cleanup, "", "Run"));
        })) << rows.Count() << " rows of " << before;
    }
    for (const TPlant& plant : plants) {
        DWORD type;
        EXPECT_TRUE(ReadValue(plant.key, plant.name, type).empty() && type == REG_NONE) << plant.name;
    }
    ClosePage(cleanup);

    // The undo page shows the run's file from memory, every entry ticked.
    HWND page = OpenPage("Undo Cleanups", "Undo Registry Cleanup");
    ASSERT_NE(page, nullptr);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder_.Path() + "\\restore\\*.reg").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no undo file";
    const std::string fileName = found.cFileName;
    FindClose(search);
    EXPECT_EQ(ComboLines(FindChild(page, "ComboBox", "")), std::vector<std::string>{fileName});
    EXPECT_EQ(SortedRows(process_.hProcess, page), expected);

    // Undo writes every entry back, as it was, and asks about a restart ("Restored!" is painted,
    // not a window): never answered Yes.
    Click(FindChild(page, "", "&Undo"));
    std::string text;
    HWND box = WaitForBox("Restore was", text);
    ASSERT_NE(box, nullptr) << "no question after the restore";
    EXPECT_EQ(text, kQuestion);
    Answer(box, "&No");
    for (const TPlant& plant : plants) {
        DWORD type;
        EXPECT_EQ(ReadValue(plant.key, plant.name, type), plant.data) << plant.name;
        EXPECT_EQ(type, plant.type) << plant.name;
    }
    for (TRow& row : expected)
        row.checked = false;
    EXPECT_EQ(SortedRows(process_.hProcess, page), expected);

    // The run's file is held open by the journal: deleting it is refused and it stays listed.
    Click(FindChild(page, "", "&Delete"));
    box = WaitForBox("Delete undo file?", text);
    ASSERT_NE(box, nullptr);
    Answer(box, "&Yes");
    box = WaitForBox("Error deleting undo file.", text);
    ASSERT_NE(box, nullptr) << "no refusal";
    EXPECT_EQ(text, "Error deleting undo file.");
    Answer(box, "OK");
    EXPECT_NE(GetFileAttributesA((folder_.Path() + "\\restore\\" + fileName).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ComboLines(FindChild(page, "ComboBox", "")), std::vector<std::string>{fileName});
    ClosePage(page);
    EXPECT_EQ(Exit(), 0u);
}

// A name with a line break cannot be journaled: what holds one is not deleted and its row says
// so. Nothing of it is lost across the cleanup, a restart and the undo of what was deleted.
TEST_F(CleanupUndoEndToEnd, NamesWithLineBreaksAreKeptAndTheirRowsSaySo) {
    const std::string missing = "C:\\" + u_ + "\\";
    const std::string apps = scratch_.Path() + "\\apps";
    const std::string sound = kSoundsKey + u_ + "\\Ding\\.Current";
    const std::vector<TPlant> plants{
        {apps, "Two\r\nLines", REG_SZ, Bytes(missing + "one.exe" + '\0')},
        {apps, "Plain", REG_SZ, Bytes(missing + "two.exe" + '\0')},
        {sound, "", REG_SZ, Bytes(missing + "ding.wav" + '\0')},
        {sound, "Note\nLine", REG_SZ, Bytes(std::string("kept") + '\0')},
    };
    for (const TPlant& plant : plants)
        Plant(plant);
    // Every plant as planted, but the one named deleted when it is given.
    const auto expectThere = [&](const char* when, const char* deleted = nullptr) {
        for (const TPlant& plant : plants) {
            DWORD type;
            if (deleted && plant.name == deleted) {
                EXPECT_TRUE(ReadValue(plant.key, plant.name, type).empty()) << when << ": " << plant.name;
                continue;
            }
            EXPECT_EQ(ReadValue(plant.key, plant.name, type), plant.data) << when << ": " << plant.name;
            EXPECT_EQ(type, plant.type) << when << ": " << plant.name;
        }
    };
    const std::string hkcu = "HKEY_CURRENT_USER\\";
    const std::string kept = "Not deleted: a name has a line break";

    Start();
    HWND cleanup = ScanFileListAndSounds();
    ASSERT_NE(cleanup, nullptr);
    {
        TRemoteList rows(process_.hProcess, FindChild(cleanup, "SysListView32", ""));
        int ours = 0;
        for (int i = 0; i < rows.Count(); ++i) {
            const bool mine = rows.Text(i, 0).find(u_) != std::string::npos ||
                              rows.Text(i, 0).find(scratch_.Path()) != std::string::npos;
            rows.SetChecked(i, mine);
            ours += mine;
        }
        ASSERT_EQ(ours, 3) << "the two files and the sound";
        const int before = rows.Count();
        Click(FindChild(cleanup, "", "Delete"));
        ASSERT_TRUE(WaitUntil([&] {
            return rows.Count() == before - 1 && IsWindowEnabled(FindChild(cleanup, "", "Run"));
        })) << rows.Count() << " rows of " << before;
        std::vector<std::pair<std::string, std::string>> left;
        for (int i = 0; i < rows.Count(); ++i)
            if (rows.Text(i, 0).find(u_) != std::string::npos || rows.Text(i, 0).find(scratch_.Path()) != std::string::npos)
                left.emplace_back(rows.Text(i, 0), rows.Text(i, 2));
        std::sort(left.begin(), left.end());
        std::vector<std::pair<std::string, std::string>> want{{hkcu + apps, kept}, {hkcu + sound, kept}};
        std::sort(want.begin(), want.end());
        EXPECT_EQ(left, want);
    }
    expectThere("after the cleanup", "Plain");
    ClosePage(cleanup);
    ASSERT_EQ(Exit(), 0u);

    // After a restart the undo file holds the one entry it could keep, and gives it back.
    Start();
    HWND page = OpenPage("Undo Cleanups", "Undo Registry Cleanup");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(SortedRows(process_.hProcess, page),
              (std::vector<TRow>{{hkcu + apps, "\"Plain\"=\"" + missing + "two.exe\"", true}}));
    Click(FindChild(page, "", "&Undo"));
    std::string text;
    HWND box = WaitForBox("Restore was", text);
    ASSERT_NE(box, nullptr) << "no question after the restore";
    Answer(box, "&No");
    expectThere("after the undo");
    ClosePage(page);
    EXPECT_EQ(Exit(), 0u);
}

}  // namespace
