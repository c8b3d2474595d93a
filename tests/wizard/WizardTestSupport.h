#pragma once

// The six forms of the program, made as the program makes them and freed after each test.

#include "uCleanupSettings.h"
#include "uHelp.h"
#include "uMain.h"
#include "uRegistryBackup.h"
#include "uRegistryCleanup.h"
#include "uRegistryUndo.h"

#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

class WizardFormsTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        // As the program does before it makes its forms: the application's icon and window.
        Application.Initialize();
        AppPath.clear();
        WizardResult.clear();
        frmMain = new TfrmMain(nullptr);
        frmCleanupSettings = new TfrmCleanupSettings(nullptr);
        frmHelp = new TfrmHelp(nullptr);
        frmRegistryBackup = new TfrmRegistryBackup(nullptr);
        frmRegistryCleanup = new TfrmRegistryCleanup(nullptr);
        frmRegistryUndo = new TfrmRegistryUndo(nullptr);
    }
    void TearDown() override {
        Free(frmRegistryUndo);
        Free(frmRegistryCleanup);
        Free(frmRegistryBackup);
        Free(frmHelp);
        Free(frmCleanupSettings);
        Free(frmMain);
        AppPath.clear();
        WizardResult.clear();
        GuiTest::TearDown();
    }

    template <class F>
    static void Free(F*& form) {
        FreeComponent(form);
        form = nullptr;
    }

    // Runs action whenever form shows (after the form's own OnShow), for the rest of the test.
    static void OnEachShow(TCustomForm* form, std::function<void(TCustomForm*)> action) {
        TNotifyEvent previous = form->OnShow;
        form->OnShow = [form, previous, action](TObject* sender) {
            if (previous.Assigned())
                previous(sender);
            action(form);
        };
    }
    // Shown modally, the form answers with a click of button (or a close when null) as soon
    // as its loop runs.
    static void AnswerWith(TCustomForm* form, TWinControl* button) {
        OnEachShow(form, [button](TCustomForm* shown) {
            if (button)
                PostMessageA(button->Handle(), BM_CLICK, 0, 0);
            else
                PostMessageA(shown->Handle(), WM_CLOSE, 0, 0);
        });
    }
};
