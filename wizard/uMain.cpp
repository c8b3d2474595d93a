#include "uMain.h"

#include "SysUtils.h"
#include "uCleanupSettings.h"
#include "uHelp.h"
#include "uRegistryBackup.h"
#include "uRegistryCleanup.h"
#include "uRegistryUndo.h"

#include <windows.h>

// ---- The program's globals -------------------------------------------------------------------
std::string AppPath;
std::string WizardResult;
TfrmMain* frmMain = nullptr;
TfrmCleanupSettings* frmCleanupSettings = nullptr;
TfrmHelp* frmHelp = nullptr;
TfrmRegistryBackup* frmRegistryBackup = nullptr;
TfrmRegistryCleanup* frmRegistryCleanup = nullptr;
TfrmRegistryUndo* frmRegistryUndo = nullptr;
// ------------------------------------------------------------------------------------------------

const char* const WizardPrivileges[4] = {"SeRestorePrivilege", "SeBackupPrivilege", "SeTakeOwnershipPrivilege",
                                         "SeShutdownPrivilege"};

namespace {

// The maker's pages; a reserved example domain, so that nothing real is ever contacted.
constexpr const char* kWebSite = "www.example.com/hivesweep/";

bool IsWindowsNT() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace

bool NTSetPrivilege(const std::string& privilege, bool enable) {
    if (!IsWindowsNT())
        return true;
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened))
        RaiseLastOSError();
    // Closed on every way out, the raising ones included.
    TUniqueHandle token(opened);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueA(nullptr, privilege.c_str(), &privileges.Privileges[0].Luid))
        RaiseLastOSError();
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    // Success with ERROR_NOT_ALL_ASSIGNED means the token does not hold the privilege.
    SetLastError(ERROR_SUCCESS);
    if (!AdjustTokenPrivileges(token.Get(), FALSE, &privileges, sizeof(privileges), nullptr, nullptr))
        RaiseLastOSError();
    if (const DWORD error = GetLastError(); error != ERROR_SUCCESS)
        RaiseLastOSError(error);
    return true;
}

void LoadWizardGlyphs(TImageList& images) {
    images.SetSize(16, 16);
    images.LoadStripResource(GetModuleHandleA(nullptr), "WIZARD_GLYPHS");
}

TfrmMain::TfrmMain(TComponent* owner) : TForm(owner) {
    SetName("frmMain");
    OnCreate = TNotifyEvent(this, &TfrmMain::FormCreate);
    OnShow = TNotifyEvent(this, &TfrmMain::FormShow);
    BuildForm([this] { CreateControls(); });
}

void TfrmMain::CreateControls() {
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu, biMinimize});
    SetPosition(poScreenCenter);
    SetClientSize(480, 330);

    ImageList1 = new TImageList(this);
    ImageList1->SetName("ImageList1");
    LoadWizardGlyphs(*ImageList1);

    VersionInfo = new TKvVersionInfo(this);
    VersionInfo->SetName("VersionInfo");

    ExitWin = new TkelShutdown(this);
    ExitWin->SetName("ExitWin");
    ExitWin->ActionType = aatReboot;
    ExitWin->Force = true;

    RunOnce = new TkelAutoRun(this);
    RunOnce->SetName("RunOnce");
    RunOnce->SetKind(aekMachineRunOnce);

    kelOneInstance1 = new TkelOneInstance(this);
    kelOneInstance1->SetName("kelOneInstance1");
    kelOneInstance1->Identifier = "Quorvia Registry Cleaner";
    kelOneInstance1->Message = "The program is already running.";
    kelOneInstance1->ShowMessage = true;

    auto button = [this](const char* name, const char* caption, int top, TWizardGlyph glyph,
                         void (TfrmMain::*handler)(TObject*)) {
        auto result = new TKvBitBtn(this);
        result->SetName(name);
        result->SetParent(this);
        result->SetBounds(306, top, 158, 32);
        result->SetCaption(caption);
        result->SetImages(ImageList1);
        result->SetImageIndex(glyph);
        result->SetMargin(10);
        result->SetSpacing(8);
        result->OnClick = TNotifyEvent(this, handler);
        return result;
    };
    btnRegistryBackup = button("btnRegistryBackup", "Registry Backup ", 80, wgRun, &TfrmMain::btnRegistryBackupClick);
    btnRegistryCleanup =
        button("btnRegistryCleanup", "Registry Cleanup", 118, wgDelete, &TfrmMain::btnRegistryCleanupClick);
    btnUndoCleanups = button("btnUndoCleanups", "Undo Cleanups   ", 156, wgUndo, &TfrmMain::btnUndoCleanupsClick);
    btnHelp = button("btnHelp", "Learn more ...    ", 194, wgHelp, &TfrmMain::btnHelpClick);
    btnExit = button("btnExit", "Exit                     ", 244, wgStop, &TfrmMain::btnExitClick);
}

void TfrmMain::FormCreate(TObject*) {}

void TfrmMain::FormShow(TObject*) {}

void TfrmMain::btnRegistryBackupClick(TObject*) { frmRegistryBackup->ShowModal(); }

void TfrmMain::btnRegistryCleanupClick(TObject*) {
    frmCleanupSettings->ShowModal();
    if (WizardResult == "Next")
        frmRegistryCleanup->ShowModal();
}

void TfrmMain::btnUndoCleanupsClick(TObject*) { frmRegistryUndo->ShowModal(); }

void TfrmMain::btnHelpClick(TObject*) { frmHelp->ShowModal(); }

void TfrmMain::btnExitClick(TObject*) { Close(); }
