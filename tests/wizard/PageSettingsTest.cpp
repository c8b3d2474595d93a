// The pages keep what they should between runs, in their settings files beside the program.

#include "StringList.h"
#include "rsPropSaver.h"

#include "XorEncryptor.h"

#include "WizardTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
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

// A settings file with a name too long to keep, in a key line and in a header, and with
// enciphered data that no longer deciphers: the page opens with every other setting.
TEST_F(WizardPageSettings, DamagedLinesCostOnlyThemselvesAndThePageKeepsItsOtherSettings) {
    Free(frmCleanupSettings);
    const std::string tooLong(TrsStorage::MaxNameLength + 1, 'x');
    {
        std::ofstream file(SettingsFile("CleanupSettings"), std::ios::binary);
        file << "[frmCleanupSettings]\r\nchkFonts.Checked=\"False\"\r\n" << tooLong << ".Checked=\"False\"\r\n"
             << "chkSounds.Checked=\"False\"\r\n\r\n[" << tooLong << "]\r\nchkHelp.Checked=\"False\"\r\n\r\n"
             << "[Hidden]\r\n"
             // Five sections and no keys, enciphered, then nothing where their names should be.
             << "rsEncipheredSection=hex:5F,5A,5A,5A,5A,5A,5A,5A\r\n\r\n"
             << "[frmCleanupSettings\\more]\r\nk=1\r\n\r\n"
             << "[frmCleanupSettings]\r\ngbClearSoftware.CheckBoxChecked=\"False\"\r\n";
    }
    frmCleanupSettings = new TfrmCleanupSettings(nullptr);
    auto expectOtherSettings = [] {
        EXPECT_FALSE(frmCleanupSettings->chkFonts->Checked());
        EXPECT_FALSE(frmCleanupSettings->chkSounds->Checked());
        EXPECT_FALSE(frmCleanupSettings->gbClearSoftware->CheckBoxChecked());
        EXPECT_TRUE(frmCleanupSettings->chkHelp->Checked());  // its header was the damaged one
        EXPECT_TRUE(frmCleanupSettings->chkAPPPath->Checked());
    };
    expectOtherSettings();

    // Read again through an encryptor that is to decipher the damaged section.
    TrsStorage& storage = *frmCleanupSettings->rsStorage;
    auto cipher = new TXorEncryptor(frmCleanupSettings);
    cipher->EncryptKeys().Add("\\Hidden");
    storage.SetEncryptor(cipher);
    storage.Options = {};
    storage.SetActive(false);
    frmCleanupSettings->chkFonts->SetChecked(true);
    frmCleanupSettings->chkSounds->SetChecked(true);
    frmCleanupSettings->gbClearSoftware->SetCheckBoxChecked(true);
    ASSERT_NO_THROW(storage.SetActive(true));
    EXPECT_TRUE(storage.KeyExists("\\Hidden\\rsEncipheredSection"));
    EXPECT_EQ(storage.ReadString("\\frmCleanupSettings\\more\\k", ""), "1");
    frmCleanupSettings->rsPropSaver1->LoadFromStorage();
    expectOtherSettings();
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

namespace {

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing " + path + ">";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string Golden(const std::string& name) { return FileBytes(std::string(WIZARD_GOLDEN_DIR) + "/" + name + ".ini"); }

// Each page's file after a run that changed everything it keeps, against the expected file in
// tests/wizard/golden, byte for byte. The bounds are fixed, so the placement lines are too: no
// flags, shown normally, no minimised or maximised position (-1 each), the normal rectangle in
// work-area coordinates (the test display has no task bar, so they are the screen's).
TEST_F(WizardPageSettings, SettingsFilesAreWrittenExactlyAsExpected) {
    TfrmCleanupSettings& settings = *frmCleanupSettings;
    for (TCheckBox* box : {settings.chkAPPPath, settings.chkClassesSection, settings.chkClearFileList,
                           settings.chkInvalidFileAssociations, settings.chkSharedDLL, settings.chkSounds,
                           settings.chkWinStartup})
        box->SetChecked(true);
    settings.chkFonts->SetChecked(false);
    settings.chkHelp->SetChecked(false);
    settings.gbClearSoftware->SetCheckBoxChecked(false);
    AnswerWith(&settings, settings.btnNext);
    settings.ShowModal();

    const int cleanupWidths[] = {320, 160, 140};
    for (int i = 0; i < 3; ++i)
        frmRegistryCleanup->lvwRegKeys->Columns()[i]->SetWidth(cleanupWidths[i]);
    frmRegistryCleanup->ShowForm();
    frmRegistryCleanup->SetBounds(40, 50, 660, 460);
    frmRegistryCleanup->Close();

    frmRegistryUndo->gbDeleteUndoFiles->SetCheckBoxChecked(false);
    frmRegistryUndo->seOlderThan->SetValue(21);
    frmRegistryUndo->lvwRegKeys->Columns()[0]->SetWidth(333);
    frmRegistryUndo->lvwRegKeys->Columns()[1]->SetWidth(222);
    frmRegistryUndo->ShowForm();
    frmRegistryUndo->SetBounds(60, 70, 720, 520);
    frmRegistryUndo->Close();

    // The storages write their files when the pages go.
    Free(frmCleanupSettings);
    Free(frmRegistryCleanup);
    Free(frmRegistryUndo);
    for (const char* name : {"CleanupSettings", "RegistryCleanup", "RegistryUndo"})
        EXPECT_EQ(FileBytes(SettingsFile(name)), Golden(name)) << name;
}

}  // namespace
