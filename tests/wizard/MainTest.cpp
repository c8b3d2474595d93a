// The main window: its components, the start-up steps, the privileges and the navigation
// between the wizard's pages.

#include "SysUtils.h"
#include "TestSupport.h"
#include "kelSysUtils.h"

#include "WizardTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class WizardMain : public WizardFormsTest {};

TEST_F(WizardMain, CarriesItsComponentsAsTheProgramNeedsThem) {
    TfrmMain& form = *frmMain;
    EXPECT_EQ(form.Caption(), "  " + form.VersionInfo->GetVersionValue(viProductName) + " " +
                                  form.VersionInfo->GetVersionValue(viFileVersion));
    EXPECT_FALSE(form.VersionInfo->GetVersionValue(viProductName).empty());
    EXPECT_EQ(form.BorderStyle(), bsSingle);
    EXPECT_EQ(form.BorderIcons(), TBorderIcons({biSystemMenu, biMinimize}));
    EXPECT_EQ(form.Position(), poScreenCenter);
    // The application's icon, loaded from the program's resources.
    ASSERT_TRUE(Application.Icon().Handle());
    EXPECT_TRUE(form.Icon().Handle());

    EXPECT_EQ(form.ImageList1->Count(), WizardGlyphCount);
    EXPECT_EQ(form.ImageList1->Width(), 16);
    EXPECT_EQ(form.ImageList1->Height(), 16);

    // Every button is a window whose text is its caption.
    const std::vector<std::pair<TKvBitBtn*, std::string>> buttons = {
        {form.btnRegistryBackup, "Registry Backup "}, {form.btnRegistryCleanup, "Registry Cleanup"},
        {form.btnUndoCleanups, "Undo Cleanups   "},   {form.btnHelp, "Learn more ...    "},
        {form.btnExit, "Exit                     "},
    };
    for (const auto& [button, caption] : buttons) {
        char text[64] = "";
        GetWindowTextA(button->Handle(), text, sizeof(text));
        EXPECT_EQ(text, caption);
        EXPECT_EQ(button->NumGlyphs(), 1);
        EXPECT_EQ(button->GlyphSize().cx, 16);
        EXPECT_EQ(button->Layout(), blGlyphRight);
    }
    EXPECT_EQ(form.btnHint->Hint(), "For help click me, then click anywhere on the window.");

    EXPECT_EQ(form.kelOneInstance1->Identifier, "Quorvia Registry Cleaner");
    EXPECT_EQ(form.kelOneInstance1->Message, "The program is already running.");
    EXPECT_TRUE(form.kelOneInstance1->ShowMessage);
    EXPECT_EQ(form.ExitWin->ActionType, aatReboot);
    EXPECT_TRUE(form.ExitWin->Force);
    EXPECT_EQ(form.RunOnce->Kind(), aekMachineRunOnce);
    EXPECT_FALSE(form.RunOnce->AutoRun());
    EXPECT_EQ(form.RunOnce->FileName(), Application.ExeName());
    ASSERT_NE(form.Player, nullptr);
    EXPECT_EQ(form.Player->DataSize(), 0);
    EXPECT_FALSE(form.Player->Playing());

    // The copyright line appears when the window shows.
    EXPECT_EQ(form.urlCopyright->Caption(), "");
    form.ShowForm();
    EXPECT_EQ(form.urlCopyright->Caption(), form.VersionInfo->GetVersionValue(viLegalCopyright));
    EXPECT_FALSE(form.urlCopyright->Caption().empty());
    form.Hide();
}

TEST_F(WizardMain, LinksLeadOnlyToTheReservedExampleDomain) {
    std::vector<std::string> opened;
    TShellOpenFunction previous = SetShellOpenHook(
        [&opened](HWND, const std::string&, const std::string& file, const std::string&, const std::string&, int) {
            opened.push_back(file);
            return true;
        });
    frmMain->ShowForm();
    frmMain->urlCopyright->Click();
    const TPoint inside = frmMain->lnkWebsite->ClientToScreen({10, 10});
    const TPoint client = frmMain->ScreenToClient(inside);
    SendMessageA(frmMain->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(client.x, client.y));
    SendMessageA(frmMain->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(client.x, client.y));
    SetShellOpenHook(previous);
    frmMain->Hide();
    ASSERT_EQ(opened.size(), 2u);
    for (const std::string& url : opened)
        EXPECT_EQ(url, "http://www.example.com/hivesweep/");
}

// ---- Start-up and privileges ----

class WizardStartUp : public WizardFormsTest {
protected:
    void TearDown() override {
        SetPrivilegeHook({});
        WizardFormsTest::TearDown();
    }
    // A main window made with privilege requests answered by enable (after recording them).
    std::vector<std::string> MakeMainWindow(std::function<void(const std::string&)> enable) {
        std::vector<std::string> asked;
        SetPrivilegeHook([&asked, enable](const std::string& privilege, bool on) {
            EXPECT_TRUE(on);
            asked.push_back(privilege);
            enable(privilege);
            return true;
        });
        AppPath.clear();
        TfrmMain form(nullptr);
        return asked;
    }
    static std::string ExeFolder() { return ExtractFilePath(Application.ExeName()); }
};

TEST_F(WizardStartUp, AsksForTheFourPrivilegesInOrderAndSetsAppPath) {
    EXPECT_EQ(AppPath, ExeFolder());
    ASSERT_FALSE(AppPath.empty());
    EXPECT_EQ(AppPath.back(), '\\');

    auto asked = MakeMainWindow([](const std::string&) {});
    EXPECT_EQ(asked, (std::vector<std::string>{"SeRestorePrivilege", "SeBackupPrivilege", "SeTakeOwnershipPrivilege",
                                               "SeShutdownPrivilege"}));
    EXPECT_EQ(AppPath, ExeFolder());
}

TEST_F(WizardStartUp, AFailedPrivilegeSkipsTheRestButAppPathIsStillSet) {
    auto asked = MakeMainWindow([](const std::string&) { RaiseLastOSError(ERROR_PRIVILEGE_NOT_HELD); });
    EXPECT_EQ(asked, std::vector<std::string>{"SeRestorePrivilege"});
    EXPECT_EQ(AppPath, ExeFolder());

    asked = MakeMainWindow([](const std::string& privilege) {
        if (privilege == "SeTakeOwnershipPrivilege")
            throw std::runtime_error("refused");
    });
    EXPECT_EQ(asked.size(), 3u);
    EXPECT_EQ(AppPath, ExeFolder());
}

TEST_F(WizardStartUp, RemovesTheMachineRunOnceEntryNamedAfterTheProgram) {
    const char* const runOnce = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    HKEY opened = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, runOnce, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened, nullptr),
              ERROR_SUCCESS);
    TUniqueKey key(opened);
    const std::string exe = Application.ExeName();
    const std::string own = FileNameOf(exe);
    const std::string other = UniqueName("OtherProgram");
    for (const std::string& name : {own, other})
        ASSERT_EQ(RegSetValueExA(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(exe.c_str()),
                                 static_cast<DWORD>(exe.size() + 1)),
                  ERROR_SUCCESS);

    MakeMainWindow([](const std::string&) {});
    EXPECT_EQ(RegQueryValueExA(key.Get(), own.c_str(), nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key.Get(), other.c_str(), nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegDeleteValueA(key.Get(), other.c_str());
}

TEST(WizardPrivileges, NTSetPrivilegeEnablesClearsAndReportsFailuresWithoutLeakingTheToken) {
    EXPECT_TRUE(NTSetPrivilege("SeShutdownPrivilege", true));
    EXPECT_TRUE(NTSetPrivilege("SeShutdownPrivilege", false));
    EXPECT_TRUE(NTSetPrivilege("SeShutdownPrivilege", true));

    try {
        NTSetPrivilege("SeNoSuchThingPrivilege", true);
        ADD_FAILURE() << "an unknown privilege was accepted";
    } catch (const EOSError& error) {
        EXPECT_EQ(error.Message, SysErrorMessage(ERROR_NO_SUCH_PRIVILEGE));
    }

    // The token is closed on the raising path too.
    DWORD before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    for (int i = 0; i < 100; ++i)
        EXPECT_THROW(NTSetPrivilege("SeNoSuchThingPrivilege", true), EOSError);
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_LT(after, before + 10);
}

// ---- Navigation ----

TEST_F(WizardMain, TheCleanupButtonOpensTheScanPageOnlyAfterNext) {
    TWinControl* answer = nullptr;
    OnEachShow(frmCleanupSettings, [&answer](TCustomForm* shown) {
        PostMessageA(answer ? answer->Handle() : shown->Handle(), answer ? BM_CLICK : WM_CLOSE, 0, 0);
    });
    int scans = 0;
    OnEachShow(frmRegistryCleanup, [&scans](TCustomForm* shown) {
        ++scans;
        PostMessageA(shown->Handle(), WM_CLOSE, 0, 0);
    });
    frmMain->ShowForm();
    auto cleanup = [] { SendMessageA(frmMain->btnRegistryCleanup->Handle(), BM_CLICK, 0, 0); };

    answer = frmCleanupSettings->btnBack;
    cleanup();
    EXPECT_EQ(WizardResult, "Back");
    EXPECT_EQ(scans, 0);

    answer = frmCleanupSettings->btnNext;
    cleanup();
    EXPECT_EQ(WizardResult, "Next");
    EXPECT_EQ(scans, 1);

    // The window's close button leaves the previous answer in place.
    answer = nullptr;
    cleanup();
    EXPECT_EQ(WizardResult, "Next");
    EXPECT_EQ(scans, 2);

    answer = frmCleanupSettings->btnBack;
    cleanup();
    answer = nullptr;
    cleanup();
    EXPECT_EQ(WizardResult, "Back");
    EXPECT_EQ(scans, 2);

    EXPECT_FALSE(frmCleanupSettings->Visible());
    EXPECT_TRUE(frmMain->Visible());
    EXPECT_TRUE(IsWindowEnabled(frmMain->Handle()));
    frmMain->Hide();
}

TEST_F(WizardMain, EachPageButtonShowsItsPageModallyAndExitClosesTheWindow) {
    std::string shown;
    auto record = [&shown](TCustomForm* form) {
        shown += form->Name() + (form->Modal() ? "(modal) " : " ");
        PostMessageA(form->Handle(), WM_CLOSE, 0, 0);
    };
    OnEachShow(frmRegistryBackup, record);
    OnEachShow(frmRegistryUndo, record);
    OnEachShow(frmHelp, record);
    frmMain->ShowForm();
    SendMessageA(frmMain->btnRegistryBackup->Handle(), BM_CLICK, 0, 0);
    SendMessageA(frmMain->btnUndoCleanups->Handle(), BM_CLICK, 0, 0);
    SendMessageA(frmMain->btnHelp->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(shown, "frmRegistryBackup(modal) frmRegistryUndo(modal) frmHelp(modal) ");
    EXPECT_EQ(WizardResult, "");

    SendMessageA(frmMain->btnExit->Handle(), BM_CLICK, 0, 0);
    EXPECT_FALSE(frmMain->Visible());
}

}  // namespace
