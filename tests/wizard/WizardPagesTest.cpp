// The undo, backup and help pages inside the test process: a scratch folder stands in for the
// program's folder, the journal writes into it, and message boxes, the shell and the power
// calls go through their seams.

#include "StringList.h"
#include "SysUtils.h"
#include "Undos.h"
#include "uHelp.h"
#include "uMain.h"
#include "uRegistryBackup.h"
#include "uRegistryUndo.h"

#include "GuiTestSupport.h"
#include "WizardTestSupport.h"
#include "ScreenshotSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TBox {
    std::string text, caption;
    UINT flags;
};

// The journal of the test's run, in the scratch folder; the global one's state comes back after.
class TSwappedJournal {
public:
    explicit TSwappedJournal(const std::string& folder) {
        lines_.Assign(UndoFile.Lines);
        UndoFile.Lines.Clear();
        stream_ = std::move(UndoFile.Stream);
        fileName_ = std::exchange(UndoFile.FileName, std::string());
        folder_ = std::exchange(UndoFile.Folder, folder);
    }
    ~TSwappedJournal() {
        UndoFile.Stream.reset();
        UndoFile.Lines.Assign(lines_);
        UndoFile.Stream = std::move(stream_);
        UndoFile.FileName = fileName_;
        UndoFile.Folder = folder_;
    }
    TSwappedJournal(const TSwappedJournal&) = delete;
    TSwappedJournal& operator=(const TSwappedJournal&) = delete;

private:
    TStringList lines_;
    std::unique_ptr<TFileStream> stream_;
    std::string fileName_, folder_;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void SetFileAge(const std::string& path, double days) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value{{now.dwLowDateTime, now.dwHighDateTime}};
    value.QuadPart -= static_cast<ULONGLONG>(days * 864000000000.0);
    const FILETIME stamp{value.LowPart, value.HighPart};
    TUniqueHandle file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.Valid()) << path;
    ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &stamp));
}

std::vector<unsigned char> ReadValue(HKEY root, const std::string& key, const std::string& name, DWORD& type) {
    DWORD size = 0;
    type = REG_NONE;
    if (RegGetValueA(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) !=
        ERROR_SUCCESS)
        return {};
    std::vector<unsigned char> data(size);
    RegGetValueA(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &size);
    data.resize(size);
    return data;
}

// The lines the box shows, asked of its window in wide characters, which it answers in
// whatever its class.
std::vector<std::string> ComboLines(TComboBox& combo) {
    std::vector<std::string> lines;
    const int count = static_cast<int>(SendMessageW(combo.Handle(), CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        std::wstring line(static_cast<size_t>(SendMessageW(combo.Handle(), CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
        SendMessageW(combo.Handle(), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(line.data()));
        char narrow[1024] = "";
        WideCharToMultiByte(CP_ACP, 0, line.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
        lines.push_back(narrow);
    }
    return lines;
}

// A scratch program folder, the message boxes answered by a script, the shell and the power
// calls recorded (a real forced reboot would end every process of the prefix).
class WizardPages : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        RemoveSettingsFiles();
        savedAppPath_ = std::exchange(AppPath, dir.Path() + "\\");
        previousBox_ = SetMessageBoxHook([this](HWND, const std::string& text, const std::string& caption, UINT flags) {
            boxes.push_back({text, caption, flags});
            return answers.empty() ? IDCANCEL : Next();
        });
        previousShell_ = SetShellOpenHook([this](HWND, const std::string& operation, const std::string& file,
                                                 const std::string&, const std::string&, int) {
            opened.push_back(operation + " " + file);
            return true;
        });
        previousPower_ = SetPowerCallsHook({[this](UINT flags, DWORD) {
                                                powerFlags.push_back(flags);
                                                return TRUE;
                                            },
                                            [this](BOOL, BOOL) {
                                                powerFlags.push_back(~0u);
                                                return TRUE;
                                            }});
    }
    void TearDown() override {
        SetPowerCallsHook(previousPower_);
        SetShellOpenHook(previousShell_);
        SetMessageBoxHook(previousBox_);
        AppPath = savedAppPath_;
        RemoveSettingsFiles();
        GuiTest::TearDown();
    }
    int Next() {
        const int answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
    static void Click(TWinControl* control) { SendMessageA(control->Handle(), BM_CLICK, 0, 0); }
    std::string Restore() const { return dir.Path() + "\\restore"; }
    std::string AddUndoFile(const std::string& name, const std::string& text) const {
        return dir.AddFile("restore\\" + name, text);
    }

    TTempDir dir;
    std::vector<TBox> boxes;
    std::vector<int> answers;
    std::vector<std::string> opened;
    std::vector<UINT> powerFlags;

private:
    std::string savedAppPath_;
    TMessageBoxFunction previousBox_;
    TShellOpenFunction previousShell_;
    TkelPowerCalls previousPower_;
};

const char* const kQuestion =
    "Restore was successful, however you must restart your PC. \r\nDo you want reboot your system now?";

// ---- Undo page ---------------------------------------------------------------------------------

TEST_F(WizardPages, UndoRestoresTheCurrentRunFromTheJournalsLinesAndOffersTheReboot) {
    TSwappedJournal journal(Restore());
    TScratchKey key;
    const std::string gone = key.Path() + "\\Gone", single = key.Path() + "\\Single";
    const std::string tricky = "C:\\Program Files\\\"quoted\" \\\\share";
    key.SetString("Gone", "path", tricky);
    key.SetString("Gone", "", "default text");
    key.SetDword("Gone", "count", 255);
    std::vector<unsigned char> blob(40);
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<unsigned char>(i * 7);
    key.SetValue("Single", "b", REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    key.SetString("Single", "keep", "kept");
    ASSERT_TRUE(UndoFile.AddEntry(key.Root(), gone, ""));
    ASSERT_TRUE(UndoFile.AddEntry(key.Root(), single, "b"));
    ASSERT_EQ(RegDeleteTreeA(key.Root(), gone.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyValueA(key.Root(), single.c_str(), "b"), ERROR_SUCCESS);
    // Lines beyond the file show that the page reads the journal, not its locked file.
    UndoFile.Lines.Add("\"memory\"=\"only in the journal's lines\"");
    AddUndoFile("20000101000000.reg", "REGEDIT4\r\n");

    TfrmRegistryUndo page(nullptr);
    page.Show();
    const std::string current = ExtractFileName(UndoFile.FileName);
    EXPECT_EQ(ComboLines(*page.cboUndoFiles), (std::vector<std::string>{"20000101000000.reg", current}));
    EXPECT_EQ(page.cboUndoFiles->ItemIndex(), 1);
    const std::vector<TUndoEntry> expected = ParseUndoLines(UndoFile.Lines);
    TListItems& items = page.lvwRegKeys->Items();
    ASSERT_EQ(items.Count(), static_cast<int>(expected.size()));
    ASSERT_EQ(items.Count(), 5);  // three values of Gone, the binary one, the line in memory
    for (int i = 0; i < items.Count(); ++i) {
        EXPECT_EQ(items[i]->Caption(), expected[i].Key);
        EXPECT_EQ(items[i]->SubItems()[0], expected[i].Text);
        EXPECT_TRUE(items[i]->Checked()) << i;
    }
    EXPECT_EQ(items[4]->SubItems()[0], "\"memory\"=\"only in the journal's lines\"");
    EXPECT_TRUE(page.gbSelected->Visible());
    EXPECT_TRUE(page.btnTick1->Enabled());
    EXPECT_TRUE(page.btnUndo->Enabled());
    EXPECT_EQ(page.Status->Caption(), "Ready!");

    // The last line would write a value the test did not plant.
    items[4]->SetChecked(false);
    answers = {IDNO};
    Click(page.btnUndo);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kQuestion);
    EXPECT_EQ(boxes[0].flags & (MB_ICONMASK | MB_TYPEMASK), UINT(MB_ICONQUESTION | MB_YESNO));
    EXPECT_EQ(page.Status->Caption(), "Restored!");
    EXPECT_TRUE(powerFlags.empty());
    for (int i = 0; i < items.Count(); ++i)
        EXPECT_FALSE(items[i]->Checked()) << i;
    EXPECT_FALSE(page.btnUndo->Enabled());

    DWORD type;
    std::vector<unsigned char> data = ReadValue(key.Root(), gone, "path", type);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(std::string(data.begin(), data.end()), tricky + '\0');
    data = ReadValue(key.Root(), gone, "", type);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("default text") + '\0');
    data = ReadValue(key.Root(), gone, "count", type);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(data, (std::vector<unsigned char>{255, 0, 0, 0}));
    data = ReadValue(key.Root(), single, "b", type);
    EXPECT_EQ(type, DWORD(REG_BINARY));
    EXPECT_EQ(data, blob);
    ReadValue(key.Root(), key.Path(), "memory", type);
    EXPECT_EQ(type, DWORD(REG_NONE));

    // Yes reboots through the shutdown component, forced.
    page.All1->Click();
    items[4]->SetChecked(false);
    answers = {IDYES};
    Click(page.btnUndo);
    ASSERT_EQ(powerFlags.size(), 1u);
    EXPECT_EQ(powerFlags[0] & (EWX_REBOOT | EWX_FORCE), UINT(EWX_REBOOT | EWX_FORCE));
    page.Hide();
}

TEST_F(WizardPages, UndoFileListFollowsTheAgeBoxAndListsOnlyRegFilesInOrder) {
    const std::string eight = AddUndoFile("20200105000000.reg", "REGEDIT4\r\n");
    const std::string six = AddUndoFile("20200107000000.reg", "REGEDIT4\r\n");
    const std::string fresh = AddUndoFile("20200103000000.reg", "REGEDIT4\r\n");
    const std::string upper = AddUndoFile("20200101000000.REG", "REGEDIT4\r\n");
    const std::string other = AddUndoFile("notes.txt", "x");
    SetFileAge(eight, 8);
    SetFileAge(six, 6);
    SetFileAge(upper, 30);
    SetFileAge(other, 30);
    dir.AddFolder("restore\\folder.reg");

    TfrmRegistryUndo page(nullptr);
    page.gbDeleteUndoFiles->SetCheckBoxChecked(false);
    EXPECT_FALSE(page.seOlderThan->Enabled());
    page.Show();
    // Unticked: nothing is deleted, whatever its age.
    EXPECT_EQ(ComboLines(*page.cboUndoFiles),
              (std::vector<std::string>{"20200103000000.reg", "20200105000000.reg", "20200107000000.reg"}));
    EXPECT_EQ(page.cboUndoFiles->ItemIndex(), 2);
    EXPECT_TRUE(FileExists(eight));

    page.cboUndoFiles->SetItemIndex(1);
    page.gbDeleteUndoFiles->SetCheckBoxChecked(true);
    EXPECT_TRUE(page.seOlderThan->Enabled());
    EXPECT_EQ(page.seOlderThan->Value(), 7);
    page.cboUndoFilesChange(page.cboUndoFiles);
    EXPECT_EQ(ComboLines(*page.cboUndoFiles), (std::vector<std::string>{"20200103000000.reg", "20200107000000.reg"}));
    EXPECT_FALSE(FileExists(eight));
    EXPECT_TRUE(FileExists(six));
    EXPECT_TRUE(FileExists(upper));
    EXPECT_TRUE(FileExists(other));
    EXPECT_TRUE(DirectoryExists(dir.Path() + "\\restore\\folder.reg"));
    // The remembered position is still in the list.
    EXPECT_EQ(page.cboUndoFiles->ItemIndex(), 1);

    page.seOlderThan->SetValue(5);
    page.cboUndoFilesChange(page.cboUndoFiles);
    EXPECT_EQ(ComboLines(*page.cboUndoFiles), (std::vector<std::string>{"20200103000000.reg"}));
    EXPECT_EQ(page.cboUndoFiles->ItemIndex(), 0);
    page.Hide();
}

TEST_F(WizardPages, UndoDeleteRefusesTheCurrentRunsFileAndRemovesOthers) {
    std::string current;
    {
        TSwappedJournal journal(Restore());
        TScratchKey key;
        key.SetString("A", "v", "w");
        ASSERT_TRUE(UndoFile.AddEntry(key.Root(), key.Path() + "\\A", ""));
        const std::string older = AddUndoFile("20000101000000.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\x]\r\n\"a\"=\"b\"\r\n");

        TfrmRegistryUndo page(nullptr);
        page.Show();
        ASSERT_EQ(page.cboUndoFiles->Items()->Count(), 2);
        answers = {IDYES};
        Click(page.btnDeleteUndoFile);
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].text, "Delete undo file?");
        EXPECT_EQ(boxes[1].text, "Error deleting undo file.");
        EXPECT_EQ(boxes[1].flags & MB_ICONMASK, UINT(MB_ICONERROR));
        EXPECT_TRUE(FileExists(UndoFile.FileName));

        boxes.clear();
        page.cboUndoFiles->SetItemIndex(0);
        page.cboUndoFilesChange(page.cboUndoFiles);
        answers = {IDNO};
        Click(page.btnDeleteUndoFile);
        EXPECT_TRUE(FileExists(older));
        answers = {IDYES};
        Click(page.btnDeleteUndoFile);
        EXPECT_FALSE(FileExists(older));
        EXPECT_EQ(page.Status->Caption(), "Deleted!");
        EXPECT_EQ(ComboLines(*page.cboUndoFiles), std::vector<std::string>{ExtractFileName(UndoFile.FileName)});
        EXPECT_TRUE(page.gbSelected->Visible());
        page.Hide();
        current = UndoFile.FileName;
    }
    // No longer the journal's: it can go now.
    ASSERT_TRUE(DeleteFileA(current.c_str()));
    // The last file going hides what works on a file.
    const std::string last = AddUndoFile("20000101000000.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\x]\r\n");
    boxes.clear();
    TfrmRegistryUndo page(nullptr);
    page.Show();
    EXPECT_EQ(page.lvwRegKeys->Items().Count(), 1);
    answers = {IDYES};
    Click(page.btnDeleteUndoFile);
    EXPECT_FALSE(FileExists(last));
    EXPECT_EQ(page.cboUndoFiles->Items()->Count(), 0);
    EXPECT_EQ(page.lvwRegKeys->Items().Count(), 0);
    EXPECT_FALSE(page.gbSelected->Visible());
    EXPECT_FALSE(page.btnTick1->Enabled());
    page.Hide();
}

TEST_F(WizardPages, UndoReportsAFailedEntryAndUnreadableFiles) {
    TScratchKey key;
    const std::string root = "[HKEY_CURRENT_USER\\" + key.Path();
    AddUndoFile("20000101000000.reg", "REGEDIT4\r\n\r\n" + root + "\\A]\r\n\"a\"=\"1\"\r\n\r\n" + root +
                                          "\\B]\r\n\"bad\"=hex:01,zz\r\n\r\n" + root + "\\C]\r\n\"c\"=\"3\"\r\n");

    TfrmRegistryUndo page(nullptr);
    page.Show();
    TListItems& items = page.lvwRegKeys->Items();
    ASSERT_EQ(items.Count(), 3);
    Click(page.btnUndo);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find(key.Path() + "\\B"), std::string::npos) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find("\"bad\"=hex:01,zz"), std::string::npos) << boxes[0].text;
    EXPECT_EQ(boxes[0].flags & MB_ICONMASK, UINT(MB_ICONERROR));
    EXPECT_NE(page.Status->Caption(), "Restored!");
    EXPECT_TRUE(key.Exists("A"));
    EXPECT_FALSE(key.Exists("C"));
    EXPECT_FALSE(items[0]->Checked());
    EXPECT_TRUE(items[1]->Checked());
    EXPECT_TRUE(items[1]->Selected());
    EXPECT_TRUE(items[2]->Checked());
    EXPECT_TRUE(powerFlags.empty());

    // A double click beside the rows asks for one; on a row it does nothing.
    boxes.clear();
    page.lvwRegKeys->SetSelected(nullptr);
    page.lvwRegKeysDblClick(page.lvwRegKeys);
    items[0]->SetSelected(true);
    page.lvwRegKeysDblClick(page.lvwRegKeys);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Please select an entry first.");
    EXPECT_EQ(boxes[0].caption, "");

    // A file another program holds locked shows no rows and says so.
    const std::string locked = AddUndoFile("20000102000000.reg", "REGEDIT4\r\n\r\n" + root + "\\D]\r\n");
    TUniqueHandle lock(CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock.Valid());
    page.cboUndoFilesChange(page.cboUndoFiles);
    page.cboUndoFiles->SetItemIndex(1);
    page.cboUndoFilesChange(page.cboUndoFiles);
    EXPECT_EQ(page.cboUndoFiles->ItemIndex(), 1);
    EXPECT_EQ(items.Count(), 0);
    EXPECT_FALSE(page.btnUndo->Enabled());
    EXPECT_EQ(page.Status->Caption(), "Error reading undo file.");
    page.Hide();
    page.Show();
    EXPECT_EQ(page.Status->Caption(), "Error reading undo file.");
    page.Hide();
}

// ---- Backup and help pages ------------------------------------------------------------------------

TEST_F(WizardPages, BackupExportsTheRegistryIntoATimeStampedFileAndSaysSo) {
    TfrmRegistryBackup page(nullptr);
    page.Show();
    Click(page.btnRun);
    ASSERT_EQ(boxes.size(), 1u);
    const std::string prefix = "Registry was successfully backed up to ";
    ASSERT_EQ(boxes[0].text.compare(0, prefix.size(), prefix), 0) << boxes[0].text;
    const std::string name = boxes[0].text.substr(prefix.size());
    EXPECT_EQ(name.size(), 18u) << name;
    EXPECT_EQ(ExtractFileExt(name), ".reg");
    EXPECT_EQ(name.find_first_not_of("0123456789"), 14u);
    const std::string text = ReadAll(dir.Path() + "\\registrybackups\\" + name);
    // The editor's own export format: UTF-16 with its header line.
    const std::string header = "Windows Registry Editor";
    ASSERT_GT(text.size(), 2 + 2 * header.size());
    std::string narrow;
    for (size_t i = 2; i < text.size(); i += 2)
        narrow += text[i];
    EXPECT_EQ(narrow.substr(0, header.size()), header);
    // The whole registry, not one key.
    EXPECT_NE(narrow.find("\r\n[HKEY_LOCAL_MACHINE\\"), std::string::npos);
    EXPECT_NE(narrow.find("\r\n[HKEY_USERS\\"), std::string::npos);
    EXPECT_TRUE(page.btnRun->Enabled());
    EXPECT_TRUE(page.btnBack->Enabled());

    // No folder can be made where a file stands: the failure is told, not a success.
    ASSERT_TRUE(DeleteFileA((dir.Path() + "\\registrybackups\\" + name).c_str()));
    ASSERT_TRUE(RemoveDirectoryA((dir.Path() + "\\registrybackups").c_str()));
    dir.AddFile("registrybackups", "in the way");
    boxes.clear();
    Click(page.btnRun);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Error backing up the registry!");
    EXPECT_EQ(boxes[0].flags & MB_ICONMASK, UINT(MB_ICONERROR));
    page.Hide();
}

TEST_F(WizardPages, BackupIntoAFolderWithBlanksAndAFailedStart) {
    AppPath = dir.AddFolder("with blank") + "\\";
    TfrmRegistryBackup page(nullptr);
    page.Show();
    Click(page.btnRun);
    ASSERT_EQ(boxes.size(), 1u);
    const std::string name = boxes[0].text.substr(boxes[0].text.rfind(' ') + 1);
    EXPECT_TRUE(FileExists(dir.Path() + "\\with blank\\registrybackups\\" + name)) << boxes[0].text;
    page.Hide();
    EXPECT_FALSE(TfrmRegistryBackup::RunApp("no-such-program-here.exe", "").Valid());
}

TEST_F(WizardPages, HelpOpensTheProductFaqOncePerPress) {
    TfrmHelp page(nullptr);
    page.Show();
    EXPECT_EQ(page.btnFAQ->Hint(), ProductFaqAddress);
    EXPECT_EQ(std::string(ProductFaqAddress).rfind("http://www.example.com/", 0), 0u);
    Click(page.btnFAQ);
    EXPECT_EQ(opened, std::vector<std::string>{std::string("open ") + ProductFaqAddress});

    // Held down past the repeat delay, the button repeats its click; the page opens once.
    opened.clear();
    SendMessageA(page.btnFAQ->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    const DWORD until = GetTickCount() + 700;
    while (GetTickCount() < until) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, until - GetTickCount(), QS_ALLINPUT);
        Application.ProcessMessages();
    }
    SendMessageA(page.btnFAQ->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(opened.size(), 1u);
    page.Hide();
}

// ---- Pictures ---------------------------------------------------------------------------------------

void Picture(TForm& page, const std::string& name) {
    page.Show();
    RedrawWindow(page.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Application.ProcessMessages();
    TBitmap shot;
    ASSERT_TRUE(guitest::CaptureWindow(page.Handle(), shot));
    EXPECT_TRUE(guitest::SaveScreenshot(shot, name));
    page.Hide();
}

TEST_F(WizardPages, PicturesOfThePages) {
    std::string text = "REGEDIT4\r\n\r\n";
    for (int i = 0; i < 12; ++i)
        text += "[HKEY_CURRENT_USER\\Software\\Example Vendor\\Tool " + IntToStr(i) +
                "]\r\n\"InstallPath\"=\"C:\\\\Program Files\\\\Example Tool " + IntToStr(i) + "\\\\tool.exe\"\r\n";
    AddUndoFile("20261208093015.reg", text);
    AddUndoFile("20261209101502.reg", text);
    {
        TfrmRegistryUndo undo(nullptr);
        Picture(undo, "WizardUndoPage");
    }
    {
        // As installed: the folder named in the instructions is the program's.
        AppPath = "C:\\Program Files\\hsweep\\";
        TfrmRegistryBackup backup(nullptr);
        Picture(backup, "WizardBackupPage");
    }
    {
        TfrmHelp help(nullptr);
        Picture(help, "WizardHelpPage");
    }
}

}  // namespace
