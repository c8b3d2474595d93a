// The scan and cleanup page inside the test process: scans of the real registry with planted
// findings, the page's states, the marking of findings for a fix and the registry editor action.

#include "uMain.h"
#include "uRegistryCleanup.h"

#include "GuiTestSupport.h"
#include "ScreenshotSupport.h"
#include "SysUtils.h"
#include "TestSupport.h"
#include "Undos.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <commctrl.h>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class RegistryCleanup : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        savedFolder_ = UndoFile.Folder;
        UndoFile.Folder = folder.Path() + "\\restore";
        UndoFile.FileName.clear();
        UndoFile.Stream.reset();
        // The main window sets AppPath when it is made.
        savedAppPath_ = AppPath;
        main = std::make_unique<TfrmMain>(nullptr);
        frmMain = main.get();
        AppPath = folder.Path() + "\\";
        page = std::make_unique<TfrmRegistryCleanup>(nullptr);
        page->FinishPauseMs = 0;
    }
    void TearDown() override {
        page.reset();
        frmMain = nullptr;
        main.reset();
        UndoFile.Stream.reset();
        UndoFile.FileName.clear();
        UndoFile.Folder = savedFolder_;
        AppPath = savedAppPath_;
        GuiTest::TearDown();
    }

    // Starts a scan with these checks and handles messages until the page is idle again.
    void Scan(TScanOptions options) {
        page->ReadScanOptions = [options] { return options; };
        page->btnRunClick(page->btnRun);
        while (page->Running || !page->btnRun->Enabled())
            Application.HandleMessage();
    }
    // The row showing a finding whose path and value name end as given; null when none does.
    TListItem* Row(const std::string& key, const std::string& valueName) const {
        TListItems& items = page->lvwRegKeys->Items();
        for (int i = 0; i < items.Count(); ++i) {
            auto error = static_cast<TRegistryError*>(items[i]->Data());
            if (items[i]->Caption() == base + key && error->ValueName == valueName)
                return items[i];
        }
        return nullptr;
    }
    bool ValueExists(const std::string& key, const std::string& name) const {
        return RegGetValueA(HKEY_CURRENT_USER, (scratch.Path() + key).c_str(), name.c_str(), RRF_RT_ANY, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS;
    }
    // Expects exactly one message box with this text while action runs.
    template <class Action>
    void ExpectMessage(const std::string& text, Action action) {
        std::string shown;
        auto previous = SetMessageBoxHook([&](HWND, const std::string& t, const std::string&, UINT flags) {
            shown += t;
            EXPECT_TRUE(flags & MB_ICONERROR);
            return IDOK;
        });
        action();
        SetMessageBoxHook(previous);
        EXPECT_EQ(shown, text);
    }

    TTempDir folder;
    TScratchKey scratch;
    const std::string base = "HKEY_CURRENT_USER\\" + scratch.Path();
    const std::string missing = "C:\\" + UniqueName("gone") + "\\";
    std::unique_ptr<TfrmMain> main;
    std::unique_ptr<TfrmRegistryCleanup> page;

private:
    std::string savedAppPath_, savedFolder_;
};

TEST_F(RegistryCleanup, ScanListsTicksExcludesAndFixesOnlyWhatIsMarkedNow) {
    for (const char* name : {"P1", "P2"})
        scratch.SetString("apps\\one", name, missing + name + ".exe");
    scratch.SetString("apps\\two", "T", missing + "t.exe");
    scratch.SetString("solo", "S", missing + "s.exe");
    scratch.SetString("hidden\\deep", "H", missing + "h.exe");
    // Equal ignoring case hides; a line inside the path hides deeper keys, but only in its case.
    std::ofstream(folder.Path() + "\\ExcludedKeys.txt")
        << "\n" << UpperCase(base + "\\solo") << "\n" << base << "\\hid\n" << LowerCase(base) << "\\apps\n";

    page->ShowForm();
    EXPECT_EQ(page->Status->Caption(), "Ready!");
    EXPECT_FALSE(page->btnDeleteInvalidEntries->Enabled());
    Scan(soFileList);
    EXPECT_EQ(page->Status->Caption(), "Ready!");
    EXPECT_EQ(page->btnRun->Caption(), "Run");
    ASSERT_TRUE(Row("\\apps\\one", "P1") && Row("\\apps\\one", "P2") && Row("\\apps\\two", "T"));
    EXPECT_EQ(Row("\\apps\\two", "T")->SubItems()[0], missing + "t.exe");
    EXPECT_EQ(Row("\\apps\\two", "T")->SubItems()[1], "File not found");
    EXPECT_FALSE(Row("\\solo", "S"));
    EXPECT_FALSE(Row("\\hidden\\deep", "H"));
    TListItems& items = page->lvwRegKeys->Items();
    EXPECT_EQ(page->lblTotal->Caption(), "Total: " + std::to_string(page->Thread()->Errors.Count()));
    EXPECT_GE(page->Thread()->Errors.Count(), items.Count() + 2);
    for (int i = 0; i < items.Count(); ++i)
        EXPECT_TRUE(items[i]->Checked()) << i;
    EXPECT_TRUE(page->btnDeleteInvalidEntries->Enabled());

    TBitmap shot;
    Row("\\apps\\one", "P1")->SetSelected(true);
    Row("\\apps\\one", "P1")->MakeVisible();
    RedrawWindow(page->Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Application.ProcessMessages();
    ASSERT_TRUE(guitest::CaptureWindow(page->Handle(), shot));
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "RegistryCleanupPage"));

    // Unticking every row disables Delete; ticking one enables it.
    page->None1Click(nullptr);
    EXPECT_FALSE(page->btnDeleteInvalidEntries->Enabled());
    Row("\\apps\\one", "P1")->SetChecked(true);
    EXPECT_TRUE(page->btnDeleteInvalidEntries->Enabled());
    Row("\\apps\\one", "P2")->SetChecked(true);
    TListItem* t = Row("\\apps\\two", "T");
    auto tFinding = static_cast<TRegistryError*>(t->Data());
    t->SetChecked(true);

    // The journal cannot be made: nothing is deleted, the page is usable again.
    UndoFile.Folder = folder.AddFile("blocker") + "\\restore";
    ExpectMessage("Can not save logfile.", [&] { page->btnDeleteInvalidEntriesClick(nullptr); });
    EXPECT_TRUE(ValueExists("\\apps\\one", "P1") && ValueExists("\\apps\\one", "P2"));
    EXPECT_TRUE(page->btnRun->Enabled() && page->btnDeleteInvalidEntries->Enabled());
    UndoFile.Folder = folder.Path() + "\\restore";

    // Excluding forgets the row; the finding no longer points at it.
    const int rows = items.Count();
    page->lvwRegKeys->SetSelected(t);
    page->mnuExcludeSelectedClick(nullptr);
    EXPECT_EQ(tFinding->ListItem, nullptr);
    EXPECT_EQ(items.Count(), rows - 1);
    EXPECT_EQ(page->lblTotal->Caption(), std::to_string(rows - 1));

    // P2 unticked and T excluded since the failed attempt: both stay.
    Row("\\apps\\one", "P2")->SetChecked(false);
    page->btnDeleteInvalidEntriesClick(nullptr);
    EXPECT_EQ(page->Status->Caption(), "Deleted!");
    EXPECT_FALSE(ValueExists("\\apps\\one", "P1"));
    EXPECT_TRUE(ValueExists("\\apps\\one", "P2"));
    EXPECT_TRUE(ValueExists("\\apps\\two", "T"));
    EXPECT_EQ(items.Count(), rows - 2);
    EXPECT_EQ(page->lblTotal->Caption(), std::to_string(rows - 2));

    // Delete Selected fixes the selected row alone.
    page->lvwRegKeys->SetSelected(Row("\\apps\\one", "P2"));
    page->mnuDeleteSelectedClick(nullptr);
    EXPECT_FALSE(ValueExists("\\apps\\one", "P2"));
    EXPECT_TRUE(ValueExists("\\apps\\two", "T"));
    // The journal holds both, in the restore folder; it is closed to be read.
    UndoFile.Stream.reset();
    const std::string undo = ReadText(folder.Path() + "\\restore\\" + ExtractFileName(UndoFile.FileName));
    EXPECT_LT(undo.find("\"P1\""), undo.find("\"P2\"")) << undo;
    EXPECT_EQ(undo.find("\"T\""), std::string::npos) << undo;

    page->Close();
    EXPECT_NE(ReadText(folder.Path() + "\\ExcludedKeys.txt").find(base + "\\apps\\two\r\n"), std::string::npos);
    EXPECT_EQ(ExcludedKeys, nullptr);
}

// The undo file cannot keep a name with a line break: its finding is not deleted, and its row
// says so in the Description column while the other rows go.
TEST_F(RegistryCleanup, AFindingTheUndoFileCannotKeepStaysAndItsRowSaysSo) {
    scratch.SetString("lines", "Two\r\nLines", missing + "one.exe");
    scratch.SetString("lines", "Plain", missing + "two.exe");
    page->ShowForm();
    Scan(soFileList);
    ASSERT_TRUE(Row("\\lines", "Two\r\nLines") && Row("\\lines", "Plain"));
    page->None1Click(nullptr);
    Row("\\lines", "Two\r\nLines")->SetChecked(true);
    Row("\\lines", "Plain")->SetChecked(true);
    page->btnDeleteInvalidEntriesClick(nullptr);
    EXPECT_EQ(page->Status->Caption(), "Deleted!");
    EXPECT_FALSE(ValueExists("\\lines", "Plain"));
    EXPECT_FALSE(Row("\\lines", "Plain"));
    EXPECT_TRUE(ValueExists("\\lines", "Two\r\nLines"));
    TListItem* kept = Row("\\lines", "Two\r\nLines");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->SubItems()[0], missing + "one.exe");
    EXPECT_EQ(kept->SubItems()[1], "Not deleted: a name has a line break");

    // The Value column narrowed and Description widened, as a user would, to read the whole text.
    page->lvwRegKeys->Columns()[1]->SetWidth(100);
    page->lvwRegKeys->Columns()[2]->SetWidth(200);
    kept->SetSelected(true);
    kept->MakeVisible();
    RedrawWindow(page->Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Application.ProcessMessages();
    TBitmap shot;
    ASSERT_TRUE(guitest::CaptureWindow(page->Handle(), shot));
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "RegistryCleanupKeptRow"));
    page->Close();
}

// Clicks Run once, from a timer, while ScanFinished pauses.
TfrmRegistryCleanup* gPausing = nullptr;
bool gClickedInPause = false, gRunEnabledInPause = true;
void CALLBACK ClickRunInPause(HWND, UINT, UINT_PTR, DWORD) {
    if (gClickedInPause || gPausing->Running || gPausing->Status->Caption() != "Working ...")
        return;
    gClickedInPause = true;
    gRunEnabledInPause = gPausing->btnRun->Enabled();
    SendMessageA(gPausing->btnRun->Handle(), BM_CLICK, 0, 0);
}

// Sends the page a message every 20 ms and keeps the longest answer time of the sends that
// began and ended while measuring was on.
struct TProbe {
    HWND window;
    TUniqueHandle done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> measuring{true};
    DWORD slowest = 0;
    static DWORD WINAPI Run(void* data) {
        auto* self = static_cast<TProbe*>(data);
        do {
            const bool measured = self->measuring;
            const ULONGLONG sent = GetTickCount64();
            DWORD_PTR result;
            SendMessageTimeoutA(self->window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
            if (measured && self->measuring)
                self->slowest = std::max(self->slowest, static_cast<DWORD>(GetTickCount64() - sent));
        } while (WaitForSingleObject(self->done.Get(), 20) == WAIT_TIMEOUT);
        return 0;
    }
};

TEST_F(RegistryCleanup, RunWaitsForTheThreadAndStopEndsAWholeRegistryScanQuickly) {
    page->ShowForm();
    page->FinishPauseMs = 400;
    gPausing = page.get();
    gClickedInPause = false;
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, ClickRunInPause);
    Scan(soSounds);
    KillTimer(nullptr, timer);
    TRegistryCheckThread* first = page->Thread();
    EXPECT_TRUE(gClickedInPause);
    EXPECT_FALSE(gRunEnabledInPause);
    EXPECT_EQ(page->Thread(), first);
    EXPECT_EQ(page->Status->Caption(), "Ready!");

    // A whole-registry scan: the window answers within a tenth of a second meanwhile.
    TProbe probe{page->Handle()};
    page->FinishPauseMs = 0;
    page->ReadScanOptions = [] { return TScanOptions(0x1FF); };
    page->btnRunClick(page->btnRun);
    TUniqueHandle prober(CreateThread(nullptr, 0, TProbe::Run, &probe, 0, nullptr));
    const ULONGLONG until = GetTickCount64() + 300;
    while (GetTickCount64() < until && page->Running)
        Application.HandleMessage();
    ASSERT_TRUE(page->Running) << "the scan ended before it could be stopped";
    // Only the scan's answer times count; a send caught by the stop's wait does not.
    probe.measuring = false;
    const ULONGLONG stopping = GetTickCount64();
    page->btnRunClick(page->btnRun);
    EXPECT_LT(GetTickCount64() - stopping, 1000u);
    SetEvent(probe.done.Get());
    // The probe may be inside a send to this thread: keep answering until it ends.
    HANDLE proberHandle = prober.Get();
    while (MsgWaitForMultipleObjects(1, &proberHandle, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        Application.ProcessMessages();
    EXPECT_LT(probe.slowest, 100u);
    EXPECT_EQ(page->Status->Caption(), "Stopped!");
    EXPECT_EQ(page->btnRun->Caption(), "Run");
    EXPECT_TRUE(page->btnRun->Enabled());
    for (int i = 0; i < page->lvwRegKeys->Items().Count(); ++i)
        EXPECT_TRUE(page->lvwRegKeys->Items()[i]->Checked());
    page->Hide();
}

// Records the key strokes a window gets.
LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR log) {
    if (message == WM_KEYDOWN)
        *reinterpret_cast<std::string*>(log) += wParam == VK_HOME ? "<home>" : wParam == VK_RIGHT ? "<right>" : "<?>";
    else if (message == WM_CHAR)
        *reinterpret_cast<std::string*>(log) += static_cast<char>(wParam);
    return DefSubclassProc(window, message, wParam, lParam);
}

TEST_F(RegistryCleanup, RegistryEditorIsDrivenByKeyStrokesOrReportedMissing) {
    int starts = 0;
    bool startMakesEditor = false;
    HWND editor = nullptr;
    std::string tree, list;
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "RegEdit_RegEdit";
    RegisterClassA(&wc);
    // The tree and the list sit one level down, as in the real editor.
    auto makeEditor = [&] {
        editor = CreateWindowExA(0, "RegEdit_RegEdit", "", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                                 wc.hInstance, nullptr);
        HWND frame = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 300, 200, editor, nullptr, wc.hInstance, nullptr);
        HWND t = CreateWindowExA(0, WC_TREEVIEWA, "", WS_CHILD, 0, 0, 100, 100, frame, nullptr, wc.hInstance, nullptr);
        HWND l = CreateWindowExA(0, WC_LISTVIEWA, "", WS_CHILD, 100, 0, 100, 100, frame, nullptr, wc.hInstance, nullptr);
        SetWindowSubclass(t, Record, 1, reinterpret_cast<DWORD_PTR>(&tree));
        SetWindowSubclass(l, Record, 1, reinterpret_cast<DWORD_PTR>(&list));
    };
    auto previous = SetRegEditStarter([&] {
        ++starts;
        if (startMakesEditor)
            makeEditor();
        return startMakesEditor;
    });

    OpenRegEditWithKey("  ", "v");
    EXPECT_EQ(starts, 0);
    ExpectMessage("Can't run Regedit.", [] { OpenRegEditWithKey("HKEY_CURRENT_USER\\Software", ""); });
    EXPECT_EQ(starts, 1);

    startMakesEditor = true;
    OpenRegEditWithKey(" HKEY_CURRENT_USER\\Software\\Ab ", " My Val ");
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(tree, "<home>hkey_current_user<right>software<right>ab");
    EXPECT_EQ(list, "<home>my val");
    // An editor that runs already is used as it is.
    tree.clear();
    OpenRegEditWithKey("HKEY_USERS\\x", "");
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(tree, "<home>hkey_users<right>x");
    SetRegEditStarter(previous);
    DestroyWindow(editor);
    UnregisterClassA("RegEdit_RegEdit", wc.hInstance);

    page->ShowForm();
    ExpectMessage("Please select an entry first.", [&] { page->mnuViewSelectedClick(nullptr); });
    ExpectMessage("Please select an entry first.",
                  [&] { SendMessageA(page->lvwRegKeys->Handle(), WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(40, 40)); });
    page->Hide();
}

}  // namespace
