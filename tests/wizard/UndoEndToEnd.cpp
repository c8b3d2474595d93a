// Drives a copy of the real program from outside, as a user would, through the undo page and
// the backup page. The scratch folder holds its "restore" and "registrybackups" folders.

#include "StringList.h"
#include "SysUtils.h"
#include "UndoReader.h"
#include "Undos.h"

#include "ProgramDriver.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace driver;

constexpr DWORD kExportMs = 180000;  // the whole registry exported

const char* const kQuestion =
    "Restore was successful, however you must restart your PC. \r\nDo you want reboot your system now?";

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

class UndoEndToEnd : public TProgramTest {
protected:
    std::string Restore() const { return folder_.Path() + "\\restore"; }
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

        Click(FindChild(page, "", "&Undo"));
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
        Click(FindChild(page, "", "&Delete"));
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
    Click(FindChild(page, "", "Run"));
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
