// The main window and the navigation between the wizard's pages.

#include "uCleanupSettings.h"
#include "uHelp.h"
#include "uMain.h"
#include "uRegistryBackup.h"
#include "uRegistryCleanup.h"
#include "uRegistryUndo.h"

#include "GuiTestSupport.h"

#include <gtest/gtest.h>

namespace {

class WizardMain : public GuiTest {};

TEST_F(WizardMain, ImageListHoldsTheTenPageGlyphs) {
    TfrmMain form(nullptr);
    EXPECT_EQ(form.ImageList1->Count(), WizardGlyphCount);
    EXPECT_EQ(form.ImageList1->Width(), 16);
    EXPECT_EQ(form.ImageList1->Height(), 16);
}

}  // namespace
