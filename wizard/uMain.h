#pragma once

// The wizard's main window: five buttons leading to the modal pages, the product pictures and
// the components the pages share (the glyph list, the version reader, the shutdown).

#include "ExtCtrls.h"
#include "FormHelp.h"
#include "Forms.h"
#include "ImgList.h"
#include "KvButton.h"
#include "KvLabel.h"
#include "KvPanel.h"
#include "KvStatus.h"
#include "StdCtrls.h"
#include "jsLinkImage.h"
#include "kelComponents.h"
#include "rsIniData.h"
#include "rsPropSaver.h"
#include "rsStorage.h"

#include <functional>
#include <string>
#include <vector>

class TfrmCleanupSettings;
class TfrmHelp;
class TfrmRegistryBackup;
class TfrmRegistryCleanup;
class TfrmRegistryUndo;

// ---- The program's globals -------------------------------------------------------------------
// Folder of the executable with a trailing backslash; set by the main window's FormCreate.
// "restore\", "registrybackups\" and "ExcludedKeys.txt" lie below it.
extern std::string AppPath;
// The settings page's answer to the main window: "Back" or "Next" (empty at start).
extern std::string WizardResult;
// One form of each window class, made at start-up in this order and kept for the whole run.
class TfrmMain;
extern TfrmMain* frmMain;
extern TfrmCleanupSettings* frmCleanupSettings;
extern TfrmHelp* frmHelp;
extern TfrmRegistryBackup* frmRegistryBackup;
extern TfrmRegistryCleanup* frmRegistryCleanup;
extern TfrmRegistryUndo* frmRegistryUndo;
// ------------------------------------------------------------------------------------------------

// Enables (or clears) one privilege of the process token. True at once on systems without
// privileges; raises EOSError with the system's text when the look-up or adjustment fails or
// the privilege is not held.
bool NTSetPrivilege(const std::string& privilege, bool enable);

// The privileges the program asks for at start, in the order it asks.
extern const char* const WizardPrivileges[4];

// Seam for tests: FormCreate enables the privileges through this function (NTSetPrivilege
// unless replaced). Returns the function replaced; an empty one restores NTSetPrivilege.
using TPrivilegeFunction = std::function<bool(const std::string& privilege, bool enable)>;
TPrivilegeFunction SetPrivilegeHook(TPrivilegeFunction function);

// The maker's web site that the link image and the copyright line open (without its scheme).
extern const char* const MakerWebSite;

// Glyphs of ImageList1, shared by every page.
enum TWizardGlyph {
    wgBusy,
    wgIdle,
    wgDelete,
    wgRun,
    wgStop,
    wgBack,
    wgNext,
    wgTick,
    wgUndo,
    wgHelp,
    WizardGlyphCount
};

// Fills images with the ten 16 x 16 page glyphs of the program's resources.
void LoadWizardGlyphs(TImageList& images);

// The glyph list of a page: the main window's ImageList1, or when there is none a list of the
// page's own named "ImageList1".
TImageList* PageImages(TForm& page);

// The side panels of the small pages: pnlLeft with the title turned upright in navy, and
// pnlRight filling the rest of the page.
struct TSidePanels {
    TKvPanel* Left = nullptr;
    TKvLabel* Title = nullptr;
    TKvPanel* Right = nullptr;
};
TSidePanels MakeSidePanels(TForm& page, const std::string& title);

// What a page keeps between runs: the properties at these paths, in fileName + ".ini" beside
// the program under section, loaded when the page is made and saved when it closes. Made
// inside the page's BuildForm, after its controls and its own OnCreate/OnClose handlers.
struct TPageSettings {
    TrsStorage* Storage = nullptr;
    TrsIniData* IniData = nullptr;
    TrsPropSaver* PropSaver = nullptr;
};
TPageSettings MakePageSettings(TForm& page, const std::string& fileName, const std::string& section,
                               const std::vector<std::string>& properties, TrsPropSaverOptions options);

// The what's-this help of a wizard window: button starts it, the pop-up wraps at popupWidth.
// The texts are the controls' hints in bracket markup.
TFormHelp* MakeFormHelp(TForm& form, TKvToolButton* button, int popupWidth);

class TfrmMain : public TForm {
    DECLARE_CLASS_INFO()

public:
    explicit TfrmMain(TComponent* owner);

    TKvBitBtn* btnRegistryBackup = nullptr;
    TKvBitBtn* btnRegistryCleanup = nullptr;
    TKvBitBtn* btnUndoCleanups = nullptr;
    TKvBitBtn* btnHelp = nullptr;
    TKvBitBtn* btnExit = nullptr;
    TKvToolButton* btnHint = nullptr;
    TkelOneInstance* kelOneInstance1 = nullptr;
    TkelShutdown* ExitWin = nullptr;
    TkelAutoRun* RunOnce = nullptr;
    TKvVersionInfo* VersionInfo = nullptr;
    TKvURLLabel* urlCopyright = nullptr;
    TjsLinkImage* lnkWebsite = nullptr;
    TImage* Image1 = nullptr;
    TLabel* Label1 = nullptr;
    TImageList* ImageList1 = nullptr;
    // Holds no sound and is never played.
    TkelWav* Player = nullptr;
    TFormHelp* FormHelp1 = nullptr;

    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    void btnRegistryBackupClick(TObject* Sender);
    void btnRegistryCleanupClick(TObject* Sender);
    void btnUndoCleanupsClick(TObject* Sender);
    void btnHelpClick(TObject* Sender);
    void btnExitClick(TObject* Sender);

private:
    void CreateControls();
    // Writes the product name on the picture across the top.
    void PaintProductName();
};
