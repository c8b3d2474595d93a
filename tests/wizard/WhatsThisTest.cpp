// What's-this help on the wizard's windows and the marked-up instructions of the pages.

#include "HTMLabel.h"
#include "ScreenshotSupport.h"

#include "WizardTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

class WizardWhatsThis : public WizardFormsTest {
protected:
    void TearDown() override {
        if (THelpWindow* open = THelpWindow::Current())
            open->Close();
        if (GetCapture())
            ReleaseCapture();
        WizardFormsTest::TearDown();
    }

    static void PointAt(TControl& control) {
        const TPoint middle = control.ClientToScreen(TPoint{control.Width() / 2, control.Height() / 2});
        SetCursorPos(middle.x, middle.y);
    }

    // F1 over control, as the system reports it to the form.
    static void PressF1(TCustomForm& form, TWinControl& control) {
        PointAt(control);
        HELPINFO info{};
        info.cbSize = sizeof(info);
        info.iContextType = HELPINFO_WINDOW;
        info.hItemHandle = control.Handle();
        GetCursorPos(&info.MousePos);
        SendMessageA(form.Handle(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    }

    // A right click from the mouse in the middle of control.
    static void RightClick(TControl& control) {
        PointAt(control);
        INPUT input[2]{};
        input[0].type = input[1].type = INPUT_MOUSE;
        input[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
        input[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
        SendInput(2, input, sizeof(INPUT));
    }

    // Handles messages until done says so (the test's time limit ends a hang).
    static void WaitFor(const std::function<bool()>& done) {
        const DWORD started = GetTickCount();
        while (!done() && GetTickCount() - started < 5000) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
            Application.ProcessMessages();
        }
    }

    // The open pop-up's "&Copy": its text without the tags, from the clipboard.
    static std::string CopiedText() {
        THelpWindow* popup = THelpWindow::Current();
        if (!popup)
            return "(no pop-up)";
        SendMessageA(popup->Handle(), WM_COMMAND, kHelpCopyCommand, 0);
        std::string text;
        if (OpenClipboard(nullptr)) {
            if (HANDLE data = GetClipboardData(CF_TEXT)) {
                text = static_cast<const char*>(GlobalLock(data));
                GlobalUnlock(data);
            }
            CloseClipboard();
        }
        return text;
    }

    static void ExpectWiredAsThePagesWant(TForm& form, TFormHelp* help, TKvToolButton* button, int popupWidth) {
        ASSERT_NE(help, nullptr);
        EXPECT_EQ(help->PopupWidth(), popupWidth);
        EXPECT_EQ(help->WhatsThis()->ToolbarButton(), button);
        EXPECT_EQ(button->GroupIndex(), kHelpButtonGroup);
        EXPECT_TRUE(button->AllowAllUp());
        EXPECT_FALSE(help->CaptionButton()->Visible());
        EXPECT_EQ(help->SystemMenu()->Caption(), "&What's This?");
        EXPECT_EQ(help->SystemMenu()->Position(), 7);
        EXPECT_TRUE(help->SystemMenu()->Separators().Contains(seBefore));
        // The entry is configured but not put into the system menu.
        EXPECT_FALSE(help->SystemMenu()->ApplyToMenu());
        HMENU menu = GetSystemMenu(form.Handle(), FALSE);
        EXPECT_EQ(GetMenuState(menu, kCaptionButtonId, MF_BYCOMMAND), static_cast<UINT>(-1));
    }

    // Pixels of control, painted into a bitmap, that are close to colour. Painted rather than read
    // from the screen: a window that was just shown may not be on the screen yet.
    static int PixelsNear(TControl& control, TColor colour) {
        TBitmap shot(control.Width(), control.Height());
        shot.Canvas().Brush().SetColor(clWhite);
        shot.Canvas().FillRect(MakeRect(0, 0, shot.Width(), shot.Height()));
        if (auto* windowed = dynamic_cast<TWinControl*>(&control))
            PrintWindow(windowed->Handle(), shot.Canvas().Handle(), PW_CLIENTONLY);
        else
            control.Perform(WM_PAINT, reinterpret_cast<WPARAM>(shot.Canvas().Handle()), 0);
        const COLORREF want = ColorToRGB(colour);
        int count = 0;
        for (int y = 0; y < shot.Height(); ++y)
            for (int x = 0; x < shot.Width(); ++x) {
                const COLORREF got = ColorToRGB(shot.Canvas().Pixels(x, y));
                if (std::abs(GetRValue(got) - GetRValue(want)) < 24 &&
                    std::abs(GetGValue(got) - GetGValue(want)) < 24 && std::abs(GetBValue(got) - GetBValue(want)) < 24)
                    ++count;
            }
        return count;
    }
};

TEST_F(WizardWhatsThis, EachWizardWindowCarriesItsHelpOnItsQuestionMarkButton) {
    ExpectWiredAsThePagesWant(*frmMain, frmMain->FormHelp1, frmMain->btnHint, 500);
    ExpectWiredAsThePagesWant(*frmCleanupSettings, frmCleanupSettings->FormHelp1, frmCleanupSettings->btnHint, 350);
    ExpectWiredAsThePagesWant(*frmRegistryCleanup, frmRegistryCleanup->FormHelp1, frmRegistryCleanup->btnHint, 400);
    ExpectWiredAsThePagesWant(*frmRegistryUndo, frmRegistryUndo->FormHelp1, frmRegistryUndo->btnHint, 430);
    // The backup and help pages have none.
    EXPECT_EQ(FindFormHelp(frmRegistryBackup), nullptr);
    EXPECT_EQ(FindFormHelp(frmHelp), nullptr);
}

TEST_F(WizardWhatsThis, F1OverAMainWindowButtonShowsItsTextAndCopyGivesItPlain) {
    frmMain->ShowForm();
    Application.ProcessMessages();
    PressF1(*frmMain, *frmMain->btnUndoCleanups);
    THelpWindow* popup = THelpWindow::Current();
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->HelpControl(), frmMain->btnUndoCleanups);
    EXPECT_TRUE(IsWindowVisible(popup->Handle()));
    EXPECT_EQ(CopiedText(), "Undo Cleanups\r\n\r\nIf after cleanups you notice any misbehavior click this button.");
    // Wrapped within the main window's width, the longest text stays on the screen.
    popup->Close();
    PressF1(*frmMain, *frmMain->btnRegistryBackup);
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_LE(THelpWindow::Current()->Bitmap().Width(), 500);
    RECT area;
    GetWindowRect(THelpWindow::Current()->Handle(), &area);
    EXPECT_GE(area.left, 0);
    EXPECT_LE(area.right, GetSystemMetrics(SM_CXSCREEN));
    const std::string backup = CopiedText();
    EXPECT_EQ(backup.rfind("Registry Backup\r\n\r\nBefore starting the optimization", 0), 0u) << backup;
    EXPECT_NE(backup.find("C:\\Program Files\\hsweep\\registrybackups"), std::string::npos);
    THelpWindow::Current()->Close();

    // The learn-more button's text keeps its ampersand; Exit has its own text too.
    PressF1(*frmMain, *frmMain->btnHelp);
    EXPECT_EQ(CopiedText(), "Help & Support\r\n\r\nWhat is registry? How does this program speed up your computer?\r\n"
                            "and other questions you might have.");
    THelpWindow::Current()->Close();
    PressF1(*frmMain, *frmMain->btnExit);
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(THelpWindow::Current()->HelpControl(), frmMain->btnExit);
    EXPECT_EQ(CopiedText(), "Exit\r\n\r\nClose this window and end the program.");
    THelpWindow::Current()->Close();
    frmMain->Hide();
}

TEST_F(WizardWhatsThis, TheQuestionMarkTogglesHelpModeAndTheNextClickShowsThatControlsHelp) {
    frmMain->ShowForm();
    Application.ProcessMessages();
    SendMessageA(frmMain->btnHint->Handle(), BM_CLICK, 0, 0);
    ASSERT_TRUE(frmMain->FormHelp1->HelpMode());
    EXPECT_TRUE(frmMain->btnHint->Down());
    EXPECT_EQ(GetCapture(), frmMain->Handle());

    PointAt(*frmMain->btnRegistryCleanup);
    const TPoint at = frmMain->ScreenToClient(frmMain->btnRegistryCleanup->ClientToScreen(TPoint{8, 8}));
    SendMessageA(frmMain->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(THelpWindow::Current()->HelpControl(), frmMain->btnRegistryCleanup);
    EXPECT_EQ(CopiedText(), "Registry Cleanup\r\n\r\nScan the registry database for invalid entries.");
    EXPECT_FALSE(frmMain->FormHelp1->HelpMode());
    EXPECT_FALSE(frmMain->btnHint->Down());
    THelpWindow::Current()->Close();

    // Entered and left without a click: the button comes up again.
    SendMessageA(frmMain->btnHint->Handle(), BM_CLICK, 0, 0);
    ASSERT_TRUE(frmMain->FormHelp1->HelpMode());
    ReleaseCapture();
    EXPECT_FALSE(frmMain->FormHelp1->HelpMode());
    EXPECT_FALSE(frmMain->btnHint->Down());
    EXPECT_EQ(THelpWindow::Current(), nullptr);
    frmMain->Hide();
}

TEST_F(WizardWhatsThis, PagesShowTheirButtonsTextAndNothingForControlsWithoutOne) {
    frmCleanupSettings->ShowForm();
    Application.ProcessMessages();
    PressF1(*frmCleanupSettings, *frmCleanupSettings->btnHint);
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(CopiedText(), "For help click me, then click anywhere on the window.");
    THelpWindow::Current()->Close();
    // No hint on the control or any of its parents.
    PressF1(*frmCleanupSettings, *frmCleanupSettings->chkClassesSection);
    EXPECT_EQ(THelpWindow::Current(), nullptr);
    frmCleanupSettings->Hide();

    frmRegistryUndo->ShowForm();
    Application.ProcessMessages();
    for (TWinControl* plain :
         std::initializer_list<TWinControl*>{frmRegistryUndo->btnHint, frmRegistryUndo->lvwRegKeys}) {
        PressF1(*frmRegistryUndo, *plain);
        EXPECT_EQ(THelpWindow::Current(), nullptr) << plain->Name();
    }
    frmRegistryUndo->Hide();
}

TEST_F(WizardWhatsThis, ARightClickOffersWhatsThisOnlyOnControlsWithoutAMenuOfTheirOwn) {
    std::vector<std::string> menus;
    UINT choice = kWhatsThisCommand;
    TTrackPopupMenuFunction previous = SetTrackPopupMenuHook([&](HMENU menu, UINT, int, int, HWND) -> UINT {
        char text[64] = "";
        GetMenuStringA(menu, 0, text, sizeof(text), MF_BYPOSITION);
        menus.push_back(text);
        return choice;
    });
    frmMain->ShowForm();
    Application.ProcessMessages();
    RightClick(*frmMain->btnHelp);
    WaitFor([&] { return THelpWindow::Current() != nullptr; });
    ASSERT_EQ(menus, std::vector<std::string>{"&What's This?"});
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(THelpWindow::Current()->HelpControl(), frmMain->btnHelp);
    THelpWindow::Current()->Close();

    // The scan page's list has its own menu, and only that one shows.
    menus.clear();
    choice = 0;
    frmRegistryCleanup->ShowForm();
    Application.ProcessMessages();
    RightClick(*frmRegistryCleanup->lvwRegKeys);
    WaitFor([&] { return !menus.empty(); });
    Application.ProcessMessages();
    ASSERT_EQ(menus.size(), 1u);
    EXPECT_NE(menus[0], "&What's This?");
    EXPECT_EQ(THelpWindow::Current(), nullptr);
    frmRegistryCleanup->Hide();
    frmMain->Hide();
    SetTrackPopupMenuHook(previous);
}

TEST_F(WizardWhatsThis, InstructionsSetTheirKeyWordsInBoldOrange) {
    const std::string settings = HTMLStrip(frmCleanupSettings->HTMLabel1->HTMLText()->Text());
    EXPECT_EQ(settings.rfind("Close all other programs", 0), 0u);
    for (const char* word : {" Next.", " Run ", " Delete,", " Undo Cleanups ", " Clear File List "})
        EXPECT_NE(settings.find(word), std::string::npos) << word;
    const std::string markup = frmCleanupSettings->HTMLabel1->HTMLText()->Text();
    EXPECT_NE(markup.find("<B><FONT COLOR=\"#F97600\">Clear File List</FONT></B>"), std::string::npos);

    frmCleanupSettings->ShowForm();
    Application.ProcessMessages();
    frmCleanupSettings->Repaint();
    const TColor orange = static_cast<TColor>(RGB(0xF9, 0x76, 0x00));
    EXPECT_GT(PixelsNear(*frmCleanupSettings->HTMLabel1, orange), 20);
    EXPECT_EQ(PixelsNear(*frmCleanupSettings->gbOptions, orange), 0);
    frmCleanupSettings->Hide();

    // The backup folder in the instructions survives an ampersand in the path.
    AppPath = "C:\\Tools & More\\";
    TfrmRegistryBackup backup(nullptr);
    // Drawn as "&", not taken for an accelerator.
    const std::string text = backup.lblInstructions->HTMLText()->Text();
    EXPECT_NE(text.find("C:\\Tools &amp; More\\registrybackups\\"), std::string::npos) << text;
    backup.ShowForm();
    Application.ProcessMessages();
    backup.Repaint();
    EXPECT_GT(PixelsNear(*backup.lblInstructions, orange), 5);
    EXPECT_GT(PixelsNear(*backup.lblInstructions, static_cast<TColor>(RGB(0x80, 0x80, 0xFF))), 20);
    backup.Hide();
}

TEST_F(WizardWhatsThis, PicturesOfPopupsOverTheMainWindow) {
    frmMain->ShowForm();
    Application.ProcessMessages();
    const std::pair<TWinControl*, const char*> kPictures[] = {{frmMain->btnRegistryBackup, "WizardHelpPopup"},
                                                              {frmMain->btnExit, "WizardExitHelpPopup"}};
    for (const auto& [button, picture] : kPictures) {
        PressF1(*frmMain, *button);
        ASSERT_NE(THelpWindow::Current(), nullptr) << picture;
        RedrawWindow(frmMain->Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Application.ProcessMessages();
        RECT form, popup, both;
        GetWindowRect(frmMain->Handle(), &form);
        GetWindowRect(THelpWindow::Current()->Handle(), &popup);
        UnionRect(&both, &form, &popup);
        TBitmap shot(both.right - both.left, both.bottom - both.top);
        HDC screen = GetDC(nullptr);
        EXPECT_TRUE(
            BitBlt(shot.Canvas().Handle(), 0, 0, shot.Width(), shot.Height(), screen, both.left, both.top, SRCCOPY));
        ReleaseDC(nullptr, screen);
        EXPECT_TRUE(guitest::SaveScreenshot(shot, picture));
        THelpWindow::Current()->Close();
    }
    frmMain->Hide();
}

}  // namespace
