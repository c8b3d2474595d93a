#include "uMain.h"

#include "SysUtils.h"
#include "uCleanupSettings.h"
#include "uHelp.h"
#include "uRegistryBackup.h"
#include "uRegistryCleanup.h"
#include "uRegistryUndo.h"

#include <windows.h>

#include <utility>

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

// A reserved example domain, so that nothing real is ever contacted.
const char* const MakerWebSite = "www.example.com/hivesweep/";

namespace {

TPrivilegeFunction gPrivilegeHook;

// What's-this texts of the page buttons.
constexpr const char* kBackupHelp =
    "|[B][BLUE]Registry Backup\r\n\r\n[][BLACK]Before starting the optimization take a backup copy of your "
    "egistry.\r\n\r\nTo restore the registry go to C:\\Program Files\\hsweep\\registrybackups and "
    "double-click the newest backup file.\r\n\r\nBackup files are named after the date and time of backup in "
    "the form of yyyymmddhhmmss.reg\r\n\r\nyyyy: Year\r\nmm: Month\r\ndd: day\r\nhh: Hour\r\nmm: "
    "Minute\r\nss: Second";
constexpr const char* kCleanupHelp =
    "|[B][BLUE]Registry Cleanup\r\n\r\n[][BLACK]Scan the registry database for invalid entries.";
constexpr const char* kUndoHelp =
    "|[B][BLUE]Undo Cleanups\r\n\r\n[][BLACK]If after cleanups you notice any misbehavior click this button.";
constexpr const char* kLearnMoreHelp =
    "|[B][BLUE]Help & Support\r\n\r\n[][BLACK]What is registry? How does this program speed up your "
    "computer?\r\nand other questions you might have.";
constexpr const char* kExitHelp = "|[B][BLUE]Exit\r\n\r\n[][BLACK]Close this window and end the program.";

constexpr const char* kWelcome =
    "Welcome to Quorvia Free Registry Cleaner.\r\n\r\n"
    "It finds registry entries that point at files, folders and keys that no longer exist and "
    "removes them. Every cleanup is journaled, so it can be undone.\r\n\r\n"
    "To learn what a button does, click the question mark below, then click the button.";

// Raises the system's own text for code.
[[noreturn]] void RaiseSystemError(DWORD code) { throw EOSError(SysErrorMessage(code), code); }

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
        RaiseSystemError(GetLastError());
    // Closed on every way out, the raising ones included.
    TUniqueHandle token(opened);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueA(nullptr, privilege.c_str(), &privileges.Privileges[0].Luid))
        RaiseSystemError(GetLastError());
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    // Success with ERROR_NOT_ALL_ASSIGNED means the token does not hold the privilege.
    SetLastError(ERROR_SUCCESS);
    if (!AdjustTokenPrivileges(token.Get(), FALSE, &privileges, sizeof(privileges), nullptr, nullptr))
        RaiseSystemError(GetLastError());
    if (const DWORD error = GetLastError(); error != ERROR_SUCCESS)
        RaiseSystemError(error);
    return true;
}

TPrivilegeFunction SetPrivilegeHook(TPrivilegeFunction function) {
    return std::exchange(gPrivilegeHook, std::move(function));
}

void LoadWizardGlyphs(TImageList& images) {
    images.SetSize(16, 16);
    images.LoadStripResource(GetModuleHandleA(nullptr), "WIZARD_GLYPHS");
}

TImageList* PageImages(TForm& page) {
    if (frmMain && frmMain->ImageList1)
        return frmMain->ImageList1;
    auto images = new TImageList(&page);
    images->SetName("ImageList1");
    LoadWizardGlyphs(*images);
    return images;
}

TSidePanels MakeSidePanels(TForm& page, const std::string& title) {
    TSidePanels panels;
    panels.Left = new TKvPanel(&page);
    panels.Left->SetName("pnlLeft");
    panels.Left->SetParent(&page);
    panels.Left->SetBounds(0, 0, 132, page.ClientHeight());
    panels.Left->SetAlign(alLeft);
    panels.Left->SetCaption("");

    panels.Title = new TKvLabel(&page);
    panels.Title->SetName("lblTitle");
    panels.Title->SetParent(panels.Left);
    panels.Title->Font()->SetName("Arial");
    panels.Title->Font()->SetSize(15);
    panels.Title->Font()->SetStyle({fsBold});
    panels.Title->Font()->SetColor(clNavy);
    panels.Title->SetTextStyle(tsRaised);
    panels.Title->SetAngle(90);
    panels.Title->SetAutoSize(false);
    panels.Title->SetBounds(44, 6, 44, 210);
    panels.Title->SetCaption(title);

    panels.Right = new TKvPanel(&page);
    panels.Right->SetName("pnlRight");
    panels.Right->SetParent(&page);
    panels.Right->SetAlign(alClient);
    panels.Right->SetCaption("");
    return panels;
}

TPageSettings MakePageSettings(TForm& page, const std::string& fileName, const std::string& section,
                               const std::vector<std::string>& properties, TrsPropSaverOptions options) {
    TPageSettings settings;
    settings.IniData = new TrsIniData(&page);
    settings.IniData->SetName("rsIniData");
    settings.IniData->FileName = fileName;
    settings.IniData->Options = {};
    settings.Storage = new TrsStorage(&page);
    settings.Storage->SetName("rsStorage");
    settings.Storage->SetStorageData(settings.IniData);
    settings.Storage->SetActive(true);
    settings.PropSaver = new TrsPropSaver(&page);
    settings.PropSaver->SetName("rsPropSaver1");
    settings.PropSaver->SetStorage(settings.Storage);
    settings.PropSaver->RootSection = section;
    settings.PropSaver->SetOptions(options);
    for (const std::string& property : properties)
        settings.PropSaver->Properties().Add(property);
    settings.PropSaver->SetWhenLoad(wlOnCreate);
    settings.PropSaver->SetWhenSave(wsOnClose);
    return settings;
}

TFormHelp* MakeFormHelp(TForm& form, TKvToolButton* button, int popupWidth) {
    auto help = new TFormHelp(&form);
    help->SetName("FormHelp1");
    help->CaptionButton()->SetVisible(false);
    help->CaptionButton()->SetCursorDown(crHelp);
    help->CaptionButton()->SetHint("Help");
    help->SystemMenu()->SetApplyToMenu(false);
    help->SystemMenu()->SetCaption("&What's This?");
    help->SystemMenu()->SetPosition(7);
    help->SystemMenu()->SetSeparators(TfhMenuSeparators{seBefore});
    help->SetShowShadow(false);
    help->WhatsThis()->SetCaption("&What's This?");
    // Takes over the button's OnClick.
    help->WhatsThis()->SetToolbarButton(button);
    help->SetPopupWidth(popupWidth);
    return help;
}

// The window class takes this name.
const TClassInfo& TfrmMain::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TfrmMain, TForm>("TfrmMain", {});
    return info;
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

    Player = new TkelWav(this);
    Player->SetName("Player");

    // The product picture across the top; FormCreate writes the product name on it.
    Image1 = new TImage(this);
    Image1->SetName("Image1");
    Image1->SetParent(this);
    Image1->SetBounds(0, 0, 480, 64);
    Image1->Picture()->Bitmap().LoadFromResourceName(GetModuleHandleA(nullptr), "WIZARD_BANNER");

    lnkWebsite = new TjsLinkImage(this);
    lnkWebsite->SetName("lnkWebsite");
    lnkWebsite->SetBounds(16, 80, 96, 96);
    lnkWebsite->Picture()->Bitmap().LoadFromResourceName(GetModuleHandleA(nullptr), "WIZARD_LOGO");
    lnkWebsite->SetLinkType(lthttp);
    lnkWebsite->SetHyperLink(MakerWebSite);
    lnkWebsite->SetShowHint(true);
    // The picture's corner colour is its background.
    lnkWebsite->SetTransparent(true);

    Label1 = new TLabel(this);
    Label1->SetName("Label1");
    Label1->SetParent(this);
    Label1->SetWordWrap(true);
    Label1->SetBounds(128, 80, 162, 196);
    Label1->SetCaption(kWelcome);

    btnHint = new TKvToolButton(this);
    btnHint->SetName("btnHint");
    btnHint->SetParent(this);
    btnHint->SetBounds(16, 252, 24, 24);
    btnHint->SetImages(ImageList1);
    btnHint->SetImageIndex(wgHelp);
    btnHint->SetHint("For help click me, then click anywhere on the window.");
    btnHint->SetShowHint(true);

    kelOneInstance1 = new TkelOneInstance(this);
    kelOneInstance1->SetName("kelOneInstance1");
    kelOneInstance1->Identifier = "Quorvia Registry Cleaner";
    kelOneInstance1->Message = "The program is already running.";
    kelOneInstance1->ShowMessage = true;

    auto button = [this](const char* name, const char* caption, int top, TWizardGlyph glyph,
                         void (TfrmMain::*handler)(TObject*), const char* help) {
        auto result = new TKvBitBtn(this);
        result->SetName(name);
        result->SetParent(this);
        result->SetBounds(306, top, 158, 32);
        result->SetCaption(caption);
        // One bitmap glyph each, right of the caption; the corner pixel is the transparent colour.
        TBitmap picture(16, 16);
        picture.Canvas().Brush().SetColor(clFuchsia);
        picture.Canvas().FillRect(MakeRect(0, 0, 16, 16));
        ImageList1->Draw(picture.Canvas(), 0, 0, glyph);
        picture.Canvas().SetPixel(0, 15, clFuchsia);
        result->SetGlyph(&picture);
        result->SetLayout(blGlyphRight);
        result->SetMargin(8);
        result->SetSpacing(6);
        result->OnClick = TNotifyEvent(this, handler);
        result->SetHint(help);
        return result;
    };
    btnRegistryBackup =
        button("btnRegistryBackup", "Registry Backup ", 80, wgRun, &TfrmMain::btnRegistryBackupClick, kBackupHelp);
    btnRegistryCleanup = button("btnRegistryCleanup", "Registry Cleanup", 118, wgDelete,
                                &TfrmMain::btnRegistryCleanupClick, kCleanupHelp);
    btnUndoCleanups =
        button("btnUndoCleanups", "Undo Cleanups   ", 156, wgUndo, &TfrmMain::btnUndoCleanupsClick, kUndoHelp);
    btnHelp = button("btnHelp", "Learn more ...    ", 194, wgHelp, &TfrmMain::btnHelpClick, kLearnMoreHelp);
    btnExit = button("btnExit", "Exit                     ", 244, wgStop, &TfrmMain::btnExitClick, kExitHelp);

    FormHelp1 = MakeFormHelp(*this, btnHint, 500);
    FormHelp1->CaptionButton()->SetStyle(cbsWinXP);
    FormHelp1->CaptionButton()->SetXPStyleColor(xpcRed);
    FormHelp1->SetShadowColor(static_cast<TColor>(0xEBEBEB));

    auto bevel = new TBevel(this);
    bevel->SetParent(this);
    bevel->SetShape(bsTopLine);
    bevel->SetBounds(16, 292, 448, 2);

    urlCopyright = new TKvURLLabel(this);
    urlCopyright->SetName("urlCopyright");
    urlCopyright->SetParent(this);
    urlCopyright->SetBounds(16, 302, 300, 16);
    urlCopyright->SetURL(std::string("http://") + MakerWebSite);
}

void TfrmMain::FormCreate(TObject*) {
    Icon().Assign(Application.Icon());
    SetCaption("  " + VersionInfo->GetVersionValue(viProductName) + " " + VersionInfo->GetVersionValue(viFileVersion));
    PaintProductName();
    RunOnce->SetFileName(Application.ExeName());
    try {
        const TPrivilegeFunction& enable = gPrivilegeHook ? gPrivilegeHook : TPrivilegeFunction(NTSetPrivilege);
        for (const char* privilege : WizardPrivileges)
            enable(privilege, true);
    } catch (...) {
        // Without administrator rights the program runs on; writes that need them fail later.
    }
    AppPath = ExtractFilePath(Application.ExeName());
}

void TfrmMain::PaintProductName() {
    const std::string name = VersionInfo->GetVersionValue(viProductName);
    TCanvas& canvas = Image1->Canvas();
    canvas.Font().SetName("Arial");
    canvas.Font().SetSize(16);
    canvas.Font().SetStyle({fsBold});
    canvas.Brush().SetStyle(bsClear);
    const int top = (Image1->Height() - 3 - canvas.TextHeight(name)) / 2;
    // A soft shadow, then the name.
    canvas.Font().SetColor(static_cast<TColor>(RGB(255, 255, 255)));
    canvas.TextOut(17, top + 1, name);
    canvas.Font().SetColor(static_cast<TColor>(RGB(110, 60, 0)));
    canvas.TextOut(16, top, name);
}

void TfrmMain::FormShow(TObject*) { urlCopyright->SetCaption(VersionInfo->GetVersionValue(viLegalCopyright)); }

void TfrmMain::btnRegistryBackupClick(TObject*) { frmRegistryBackup->ShowModal(); }

void TfrmMain::btnRegistryCleanupClick(TObject*) {
    frmCleanupSettings->ShowModal();
    if (WizardResult == "Next")
        frmRegistryCleanup->ShowModal();
}

void TfrmMain::btnUndoCleanupsClick(TObject*) { frmRegistryUndo->ShowModal(); }

void TfrmMain::btnHelpClick(TObject*) { frmHelp->ShowModal(); }

void TfrmMain::btnExitClick(TObject*) { Close(); }
