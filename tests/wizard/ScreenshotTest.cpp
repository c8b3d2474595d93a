// Pictures of the main window and the settings page, as a user sees them.

#include "ScreenshotSupport.h"
#include "WizardTestSupport.h"

#include <gtest/gtest.h>

namespace {

class WizardPictures : public WizardFormsTest {
protected:
    static void Picture(TCustomForm& form, const std::string& name) {
        form.ShowForm();
        RedrawWindow(form.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Application.ProcessMessages();
        TBitmap shot;
        ASSERT_TRUE(guitest::CaptureWindow(form.Handle(), shot));
        EXPECT_TRUE(guitest::SaveScreenshot(shot, name));
        form.Hide();
    }
};

TEST_F(WizardPictures, MainWindowAndSettingsPage) {
    Picture(*frmMain, "WizardMain");
    Picture(*frmCleanupSettings, "WizardCleanupSettings");
}

}  // namespace
