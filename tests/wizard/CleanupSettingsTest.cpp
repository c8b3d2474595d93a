// The cleanup settings page: its check boxes, the gated group and its answers.

#include "Classes.h"

#include "WizardTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class WizardCleanupSettings : public WizardFormsTest {};

TEST_F(WizardCleanupSettings, EveryBoxIsTickedAndTheSevenSoftwareBoxesSitInTheGatedGroup) {
    TfrmCleanupSettings& page = *frmCleanupSettings;
    EXPECT_EQ(page.Caption(), "Cleanup Settings");
    EXPECT_EQ(page.BorderStyle(), bsSingle);
    EXPECT_EQ(page.BorderIcons(), TBorderIcons({biSystemMenu, biMinimize}));
    EXPECT_EQ(page.Position(), poScreenCenter);

    EXPECT_EQ(page.gbOptions->Caption(), "Options");
    EXPECT_EQ(page.gbClearSoftware->Caption(), "Clear Software Section");
    EXPECT_EQ(page.gbClearSoftware->Parent(), page.gbOptions);
    EXPECT_TRUE(page.gbClearSoftware->CheckBoxChecked());

    const std::vector<std::pair<TCheckBox*, std::string>> options = {
        {page.chkClassesSection, "Clean Classes Section"},
        {page.chkClearFileList, "Clear File List"},
    };
    const std::vector<std::pair<TCheckBox*, std::string>> software = {
        {page.chkSharedDLL, "Shared DLLs"},         {page.chkInvalidFileAssociations, "Invalid Files Associations"},
        {page.chkWinStartup, "Windows Startup Run"}, {page.chkAPPPath, "Application Paths"},
        {page.chkHelp, "Help"},                      {page.chkFonts, "Fonts"},
        {page.chkSounds, "Sounds"},
    };
    for (const auto& [box, caption] : options) {
        EXPECT_EQ(box->Caption(), caption);
        EXPECT_EQ(box->Parent(), page.gbOptions);
        EXPECT_TRUE(box->Checked()) << caption;
    }
    for (const auto& [box, caption] : software) {
        EXPECT_EQ(box->Caption(), caption);
        EXPECT_EQ(box->Parent(), page.gbClearSoftware);
        EXPECT_TRUE(box->Checked()) << caption;
    }

    // Clearing the group's box disables the seven, and only them; their ticks stay.
    page.ShowForm();
    SendMessageA(page.gbClearSoftware->CheckBox()->Handle(), BM_CLICK, 0, 0);
    EXPECT_FALSE(page.gbClearSoftware->CheckBoxChecked());
    for (const auto& [box, caption] : software) {
        EXPECT_FALSE(box->Enabled()) << caption;
        EXPECT_TRUE(box->Checked()) << caption;
    }
    for (const auto& [box, caption] : options)
        EXPECT_TRUE(box->Enabled()) << caption;
    SendMessageA(page.gbClearSoftware->CheckBox()->Handle(), BM_CLICK, 0, 0);
    for (const auto& [box, caption] : software)
        EXPECT_TRUE(box->Enabled()) << caption;
    page.Hide();

    EXPECT_EQ(page.Launcher->Action(), "Open");
    EXPECT_EQ(page.Launcher->Timeout(), -1);
    EXPECT_EQ(page.btnBack->Caption(), "Back");
    EXPECT_EQ(page.btnBack->ImageIndex(), wgBack);
    EXPECT_EQ(page.btnNext->Caption(), "Next");
    EXPECT_EQ(page.btnNext->ImageIndex(), wgNext);
    EXPECT_EQ(page.btnBack->Images()->Count(), WizardGlyphCount);
}

TEST_F(WizardCleanupSettings, EveryStoredPropertyExistsOnThePage) {
    const auto& paths = TfrmCleanupSettings::StoredProperties();
    EXPECT_EQ(paths.size(), 10u);
    for (const std::string& path : paths) {
        auto targets = ResolvePropPath(*frmCleanupSettings, path);
        ASSERT_EQ(targets.size(), 1u) << path;
        EXPECT_NE(targets[0].Prop, nullptr) << path;
        EXPECT_EQ(GetPropText(*targets[0].Object, *targets[0].Prop), "True") << path;
    }
    EXPECT_EQ(frmCleanupSettings->FindComponent("chkClearSoftware"), nullptr);
}

TEST_F(WizardCleanupSettings, BackAndNextAnswerThroughWizardResultAndClose) {
    TfrmCleanupSettings& page = *frmCleanupSettings;
    TWinControl* answer = nullptr;
    OnEachShow(&page, [&answer](TCustomForm*) { PostMessageA(answer->Handle(), BM_CLICK, 0, 0); });

    answer = page.btnNext;
    EXPECT_EQ(page.ShowModal(), mrOk);
    EXPECT_EQ(WizardResult, "Next");
    EXPECT_FALSE(page.Visible());

    answer = page.btnBack;
    EXPECT_EQ(page.ShowModal(), mrCancel);
    EXPECT_EQ(WizardResult, "Back");

    // Shown without the modal loop, the buttons close the page themselves.
    page.ShowForm();
    SendMessageA(page.btnNext->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(WizardResult, "Next");
    EXPECT_FALSE(page.Visible());
}

}  // namespace
