#include "uCleanupSettings.h"

#include "uMain.h"

namespace {

// The words to look for on the pages are bold orange.
constexpr const char* kInstructions =
    "Close all other programs, pick the options on the left and press "
    "<B><FONT COLOR=\"#F97600\">Next</FONT></B>.<BR><BR>"
    "On the next page press <B><FONT COLOR=\"#F97600\">Run</FONT></B> to scan the registry.<BR><BR>"
    "Delete all findings with <B><FONT COLOR=\"#F97600\">Delete</FONT></B>, or view and delete them one by one "
    "through the list's right-click menu.<BR><BR>"
    "After a cleanup restart the computer. Should anything misbehave, restore the registry through "
    "<B><FONT COLOR=\"#F97600\">Undo Cleanups</FONT></B> and deselect "
    "<B><FONT COLOR=\"#F97600\">Clear File List</FONT></B> in future cleanups.<BR><BR>"
    "Finally, defragment the registry.";

}  // namespace

// The window class takes this name.
const TClassInfo& TfrmCleanupSettings::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TfrmCleanupSettings, TForm>("TfrmCleanupSettings", {});
    return info;
}

TfrmCleanupSettings::TfrmCleanupSettings(TComponent* owner) : TForm(owner) {
    SetName("frmCleanupSettings");
    OnShow = TNotifyEvent(this, &TfrmCleanupSettings::FormShow);
    BuildForm([this] { CreateControls(); });
}

const std::vector<std::string>& TfrmCleanupSettings::StoredProperties() {
    // The page has no "chkClearSoftware": the group box's caption check box stands for it.
    static const std::vector<std::string> properties = {
        "chkAPPPath.Checked",    "chkClassesSection.Checked", "chkClearFileList.Checked",
        "chkFonts.Checked",      "chkHelp.Checked",           "chkInvalidFileAssociations.Checked",
        "chkSharedDLL.Checked",  "chkSounds.Checked",         "chkWinStartup.Checked",
        "gbClearSoftware.CheckBoxChecked",
    };
    return properties;
}

void TfrmCleanupSettings::CreateControls() {
    SetCaption("Cleanup Settings");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu, biMinimize});
    SetPosition(poScreenCenter);
    SetClientSize(520, 346);

    ImageList1 = new TImageList(this);
    ImageList1->SetName("ImageList1");
    LoadWizardGlyphs(*ImageList1);

    Launcher = new TKvLauncher(this);
    Launcher->SetName("Launcher");
    Launcher->SetAction("Open");
    Launcher->SetTimeout(-1);

    gbOptions = new TGroupBox(this);
    gbOptions->SetName("gbOptions");
    gbOptions->SetParent(this);
    gbOptions->SetBounds(12, 8, 248, 284);
    gbOptions->SetCaption("Options");

    auto check = [this](TWinControl* parent, const char* name, const char* caption, int top) {
        auto box = new TCheckBox(this);
        box->SetName(name);
        box->SetParent(parent);
        box->SetBounds(14, top, 200, 20);
        box->SetCaption(caption);
        box->SetChecked(true);
        return box;
    };
    chkClassesSection = check(gbOptions, "chkClassesSection", "Clean Classes Section", 22);
    chkClearFileList = check(gbOptions, "chkClearFileList", "Clear File List", 46);

    gbClearSoftware = new TkelGroupBox(this);
    gbClearSoftware->SetName("gbClearSoftware");
    gbClearSoftware->SetParent(gbOptions);
    gbClearSoftware->SetBounds(12, 76, 224, 196);
    gbClearSoftware->SetCaption("Clear Software Section");
    gbClearSoftware->SetCheckBoxChecked(true);

    chkSharedDLL = check(gbClearSoftware, "chkSharedDLL", "Shared DLLs", 24);
    chkInvalidFileAssociations = check(gbClearSoftware, "chkInvalidFileAssociations", "Invalid Files Associations", 48);
    chkWinStartup = check(gbClearSoftware, "chkWinStartup", "Windows Startup Run", 72);
    chkAPPPath = check(gbClearSoftware, "chkAPPPath", "Application Paths", 96);
    chkHelp = check(gbClearSoftware, "chkHelp", "Help", 120);
    chkFonts = check(gbClearSoftware, "chkFonts", "Fonts", 144);
    chkSounds = check(gbClearSoftware, "chkSounds", "Sounds", 168);

    HTMLabel1 = new THTMLabel(this);
    HTMLabel1->SetName("HTMLabel1");
    HTMLabel1->SetParent(this);
    HTMLabel1->SetBounds(276, 14, 232, 278);
    HTMLabel1->SetHTMLText(kInstructions);

    auto bevel = new TBevel(this);
    bevel->SetParent(this);
    bevel->SetShape(bsTopLine);
    bevel->SetBounds(12, 302, 496, 2);

    btnHint = new TKvToolButton(this);
    btnHint->SetName("btnHint");
    btnHint->SetParent(this);
    btnHint->SetBounds(12, 312, 24, 24);
    btnHint->SetImages(ImageList1);
    btnHint->SetImageIndex(wgHelp);
    btnHint->SetHint("For help click me, then click anywhere on the window.");
    btnHint->SetShowHint(true);

    auto button = [this](const char* name, const char* caption, int left, TWizardGlyph glyph, TModalResult result,
                         void (TfrmCleanupSettings::*handler)(TObject*)) {
        auto b = new TKvBitBtn(this);
        b->SetName(name);
        b->SetParent(this);
        b->SetBounds(left, 310, 100, 28);
        b->SetCaption(caption);
        b->SetImages(ImageList1);
        b->SetImageIndex(glyph);
        b->SetModalResult(result);
        b->OnClick = TNotifyEvent(this, handler);
        return b;
    };
    btnBack = button("btnBack", "Back", 296, wgBack, mrCancel, &TfrmCleanupSettings::btnBackClick);
    btnNext = button("btnNext", "Next", 408, wgNext, mrOk, &TfrmCleanupSettings::btnNextClick);
    btnNext->SetLayout(blGlyphRight);
    btnNext->SetDefault(true);

    FormHelp1 = MakeFormHelp(*this, btnHint, 350);

    TPageSettings settings =
        MakePageSettings(*this, "CleanupSettings", "frmCleanupSettings", StoredProperties(), {poStoreDefValues});
    rsStorage = settings.Storage;
    rsIniData = settings.IniData;
    rsPropSaver1 = settings.PropSaver;
}

void TfrmCleanupSettings::FormShow(TObject*) {
    // Lays the caption check box out again for the font the box has now.
    gbClearSoftware->AdjustCheckBox();
    gbClearSoftware->Repaint();
}

// Shown modally, the button's own modal result closes the page; Close would replace it with
// mrCancel.
void TfrmCleanupSettings::btnBackClick(TObject*) {
    WizardResult = "Back";
    if (!Modal())
        Close();
}

void TfrmCleanupSettings::btnNextClick(TObject*) {
    WizardResult = "Next";
    if (!Modal())
        Close();
}
