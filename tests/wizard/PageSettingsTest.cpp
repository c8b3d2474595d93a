// The pages keep what they should between runs, in their settings files beside the program.

#include "StringList.h"

#include "WizardTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class WizardPageSettings : public WizardFormsTest {};

// Ten lines in "CleanupSettings.ini": the page has no "chkClearSoftware" box, so no line names it.
TEST_F(WizardPageSettings, CleanupChoicesComeBackInTheNextRun) {
    AnswerWith(frmCleanupSettings, frmCleanupSettings->btnNext);
    OnEachShow(frmCleanupSettings, [](TCustomForm*) {
        SendMessageA(frmCleanupSettings->chkFonts->Handle(), BM_CLICK, 0, 0);
        SendMessageA(frmCleanupSettings->gbClearSoftware->CheckBox()->Handle(), BM_CLICK, 0, 0);
    });
    frmCleanupSettings->ShowModal();
    Free(frmCleanupSettings);

    TStringList lines;
    lines.LoadFromFile(SettingsFile("CleanupSettings"));
    int keys = 0;
    for (int i = 0; i < lines.Count(); ++i)
        keys += lines[i].find('=') != std::string::npos;
    EXPECT_EQ(keys, 10);
    EXPECT_EQ(lines.Text().find("chkClearSoftware"), std::string::npos);

    frmCleanupSettings = new TfrmCleanupSettings(nullptr);
    EXPECT_FALSE(frmCleanupSettings->chkFonts->Checked());
    EXPECT_FALSE(frmCleanupSettings->gbClearSoftware->CheckBoxChecked());
    EXPECT_TRUE(frmCleanupSettings->chkSounds->Checked());
}

// Column widths, the ageing box and its days.
TEST_F(WizardPageSettings, UndoPageSettingsComeBackInTheNextRun) {
    frmRegistryUndo->gbDeleteUndoFiles->SetCheckBoxChecked(false);
    frmRegistryUndo->seOlderThan->SetValue(21);
    frmRegistryUndo->lvwRegKeys->Columns()[0]->SetWidth(333);
    frmRegistryUndo->ShowForm();
    frmRegistryUndo->Close();
    Free(frmRegistryUndo);
    EXPECT_NE(GetFileAttributesA(SettingsFile("RegistryUndo").c_str()), INVALID_FILE_ATTRIBUTES);

    frmRegistryUndo = new TfrmRegistryUndo(nullptr);
    EXPECT_FALSE(frmRegistryUndo->gbDeleteUndoFiles->CheckBoxChecked());
    EXPECT_EQ(frmRegistryUndo->seOlderThan->Value(), 21);
    EXPECT_EQ(frmRegistryUndo->lvwRegKeys->Columns()[0]->Width(), 333);
}

}  // namespace

namespace {

// Column widths and the window's placement.
TEST_F(WizardPageSettings, CleanupPageColumnsAndPlacementComeBackInTheNextRun) {
    frmRegistryCleanup->lvwRegKeys->Columns()[1]->SetWidth(222);
    frmRegistryCleanup->ShowForm();
    frmRegistryCleanup->SetBounds(40, 50, frmRegistryCleanup->Width(), frmRegistryCleanup->Height());
    frmRegistryCleanup->Close();
    Free(frmRegistryCleanup);

    frmRegistryCleanup = new TfrmRegistryCleanup(nullptr);
    EXPECT_EQ(frmRegistryCleanup->lvwRegKeys->Columns()[1]->Width(), 222);
    frmRegistryCleanup->ShowForm();
    EXPECT_EQ(frmRegistryCleanup->Left(), 40);
    EXPECT_EQ(frmRegistryCleanup->Top(), 50);
    frmRegistryCleanup->Hide();
}

}  // namespace
