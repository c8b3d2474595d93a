#include "FormHelp.h"

#include "ExtCtrls.h"
#include "GuiTestSupport.h"
#include "KvButton.h"
#include "Menus.h"
#include "ScreenshotSupport.h"
#include "StdCtrls.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

class WhatsThisHelp : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        previousTrack_ = SetTrackPopupMenuHook([this](HMENU menu, UINT, int, int, HWND) -> UINT {
            char text[64] = "";
            GetMenuStringA(menu, 0, text, sizeof(text), MF_BYPOSITION);
            Menus += std::string(text) + ";";
            return MenuChoice;
        });
    }
    void TearDown() override {
        SetTrackPopupMenuHook(previousTrack_);
        if (THelpWindow* open = THelpWindow::Current())
            open->Close();
        GuiTest::TearDown();
    }

    // Puts the mouse over the middle of control.
    static void PointAt(TControl& control) {
        TPoint middle = control.ClientToScreen(TPoint{control.Width() / 2, control.Height() / 2});
        SetCursorPos(middle.x, middle.y);
    }

    // F1 over a window, as the system reports it.
    static void PressF1(TCustomForm& form, TWinControl& over) {
        HELPINFO info{};
        info.cbSize = sizeof(info);
        info.iContextType = HELPINFO_WINDOW;
        info.hItemHandle = over.Handle();
        GetCursorPos(&info.MousePos);
        SendMessageA(form.Handle(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    }

    // Handles messages until the pop-up is gone (the test's time limit ends a hang).
    static void WaitForClose() {
        while (THelpWindow::Current()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
            Application.ProcessMessages();
        }
    }

    // Handles messages in steps of up to 20 ms until done says so, for at most rounds steps.
    static void PumpUntil(const std::function<bool()>& done, int rounds = 50) {
        for (int i = 0; i < rounds && !done(); ++i) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            Application.ProcessMessages();
        }
    }

    // Shows form, then F1 with the mouse over control; the pop-up it opened, if any.
    static THelpWindow* ShowAndPressF1(TTestForm& form, TWinControl& control) {
        form.ShowForm();
        Application.ProcessMessages();
        PointAt(control);
        PressF1(form, control);
        return THelpWindow::Current();
    }

    // The what's-this tool button at the form's top left, given to help.
    static TKvToolButton* AddWhatsThisButton(TTestForm& form, TFormHelp& help) {
        auto hint = form.Add<TKvToolButton>(&form, 4, 4, 24, 24);
        hint->SetCaption("What's this");
        help.WhatsThis()->SetToolbarButton(hint);
        return hint;
    }

    std::string Menus;
    UINT MenuChoice = 0;

private:
    TTrackPopupMenuFunction previousTrack_;
};

}  // namespace

TEST_F(WhatsThisHelp, F1ShowsTheHintRenderedAndCopyPutsThePlainText) {
    TTestForm form;
    auto help = new TFormHelp(&form);
    help->SetShowShadow(false);
    auto run = form.Add<TButton>(&form, 20, 20, 120, 30);
    run->SetCaption("Run");
    run->SetHint("Run|[B]Run[] starts the scan");
    int hides = 0;
    help->OnHide = [&](TObject*, TControl* control) {
        EXPECT_EQ(control, run);
        ++hides;
    };
    THelpWindow* popup = ShowAndPressF1(form, *run);
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->HelpControl(), run);
    EXPECT_EQ(popup->Text(), "[B]Run[] starts the scan");
    EXPECT_TRUE(IsWindowVisible(popup->Handle()));
    EXPECT_FALSE(Application.ShowHint);

    // The first word bold, the rest plain, within the margins.
    TBitmap measure(1, 1);
    measure.Canvas().Font().Assign(*form.Font());
    measure.Canvas().Font().SetStyle(TFontStyles{fsBold});
    int bold = measure.Canvas().TextWidth("Run");
    measure.Canvas().Font().SetStyle(TFontStyles{});
    int plain = measure.Canvas().TextWidth(" starts the scan");
    EXPECT_EQ(popup->Bitmap().Width(), 11 + bold + plain + 11);
    EXPECT_EQ(popup->Bitmap().Height(), measure.Canvas().TextHeight("Wj") + 14);

    MenuChoice = kHelpCopyCommand;
    SendMessageA(popup->Handle(), WM_RBUTTONDOWN, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(Menus, "&Copy;");
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_TEXT);
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(static_cast<const char*>(GlobalLock(data)), "Run starts the scan");
    GlobalUnlock(data);
    CloseClipboard();

    // A key closes it from inside its own window procedure; it goes once.
    PostMessageA(popup->Handle(), WM_KEYDOWN, VK_SPACE, 0);
    WaitForClose();
    EXPECT_EQ(hides, 1);
    EXPECT_TRUE(Application.ShowHint);
    form.Hide();
}

TEST_F(WhatsThisHelp, ToolButtonTogglesHelpModeAndAClickShowsTheControlsHelp) {
    TTestForm form;
    auto help = new TFormHelp(&form);
    auto hint = AddWhatsThisButton(form, *help);
    EXPECT_EQ(hint->GroupIndex(), kHelpButtonGroup);
    EXPECT_TRUE(hint->AllowAllUp());
    auto edit = form.Add<TEdit>(&form, 40, 60, 150, 24);
    edit->SetHint("Name|Type the name here.");
    form.ShowForm();
    Application.ProcessMessages();

    SendMessageA(hint->Handle(), BM_CLICK, 0, 0);
    ASSERT_TRUE(help->HelpMode());
    EXPECT_TRUE(hint->Down());
    EXPECT_EQ(GetCapture(), form.Handle());

    PointAt(*edit);
    TPoint at = form.ScreenToClient(edit->ClientToScreen(TPoint{5, 5}));
    SendMessageA(form.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(THelpWindow::Current()->Text(), "Type the name here.");
    EXPECT_FALSE(help->HelpMode());
    EXPECT_FALSE(hint->Down());

    // The button going clears the reference.
    FreeComponent(hint);
    EXPECT_EQ(help->WhatsThis()->ToolbarButton(), nullptr);
    form.Hide();
}

TEST_F(WhatsThisHelp, HelpTextComesFromParentsAndStandardButtons) {
    TTestForm form;
    new TFormHelp(&form);
    auto panel = form.Add<TPanel>(&form, 10, 10, 300, 200);
    panel->SetHint("Options|Settings of the scan.");
    auto inner = form.Add<TCheckBox>(panel, 10, 10, 120, 20);
    TControl* control = inner;
    EXPECT_TRUE(TFormHelp::GetHelpText(control));
    EXPECT_EQ(control, panel);

    auto ok = form.Add<TButton>(&form, 10, 220, 80, 25);
    ok->SetModalResult(mrOk);
    control = ok;
    EXPECT_FALSE(TFormHelp::GetHelpText(control));
    EXPECT_EQ(control, ok);
    EXPECT_EQ(ok->Hint(), "|Closes the dialog box and saves any changes you have made.");
    EXPECT_TRUE(TFormHelp::GetHelpText(control));

    auto apply = form.Add<TButton>(&form, 100, 220, 80, 25);
    apply->SetCaption("&Apply");
    control = apply;
    TFormHelp::GetHelpText(control);
    EXPECT_EQ(GetLongHint(apply->Hint()), "Saves all the changes you have made without closing the dialog box.");

    auto plain = form.Add<TEdit>(&form, 10, 250, 80, 25);
    control = plain;
    EXPECT_FALSE(TFormHelp::GetHelpText(control));
    EXPECT_EQ(control, nullptr);
}

TEST_F(WhatsThisHelp, RightClickRequestOffersTheMenuUnlessSomethingElseDecides) {
    TTestForm form;
    auto help = new TFormHelp(&form);
    // A panel: a native edit would track its own context menu.
    auto edit = form.Add<TPanel>(&form, 40, 60, 150, 24);
    edit->SetHint("Type the name here.");
    form.ShowForm();
    Application.ProcessMessages();
    PointAt(*edit);
    TPoint at = edit->ClientToScreen(TPoint{5, 5});

    // The hook's work: the control under the click is remembered and the form asked.
    SetCursorPos(at.x, at.y);
    TControl* found = help->HelpControlAtPos(at);
    ASSERT_EQ(found, edit);
    MenuChoice = kWhatsThisCommand;
    TPoint clickedAt{-1, -1};
    help->OnWhatsThis = [&](TObject*, TControl* control, TPoint point, bool& showPopup, bool&) {
        EXPECT_EQ(control, edit);
        EXPECT_TRUE(showPopup);
        clickedAt = point;
    };
    // Real right-button input through the thread's mouse hook.
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    SendInput(2, input, sizeof(INPUT));
    PumpUntil([&] { return !Menus.empty(); });
    ASSERT_EQ(Menus, "&What's This?;");
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(THelpWindow::Current()->Text(), "Type the name here.");
    THelpWindow::Current()->Close();
    EXPECT_TRUE(clickedAt.x == at.x && clickedAt.y == at.y);
    // The request carries the point in WParam, x in the low word.
    Menus.clear();
    MenuChoice = 0;
    SendMessageA(form.Handle(), WM_FHWHATSTHIS, MAKEWPARAM(at.x + 3, at.y + 2), 0);
    EXPECT_EQ(Menus, "&What's This?;");
    EXPECT_TRUE(clickedAt.x == at.x + 3 && clickedAt.y == at.y + 2);

    // OnWhatsThis may show the help at once instead of the menu.
    Menus.clear();
    help->OnWhatsThis = [&](TObject*, TControl*, TPoint, bool& showPopup, bool& showHelp) {
        showPopup = false;
        showHelp = true;
    };
    SendInput(2, input, sizeof(INPUT));
    PumpUntil([] { return THelpWindow::Current() != nullptr; });
    EXPECT_EQ(Menus, "");
    ASSERT_NE(THelpWindow::Current(), nullptr);
    THelpWindow::Current()->Close();
    help->OnWhatsThis = {};

    // While a menu is open right clicks are left alone.
    SendMessageA(form.Handle(), WM_ENTERMENULOOP, FALSE, 0);
    SendInput(2, input, sizeof(INPUT));
    PumpUntil([] { return false; }, 10);
    EXPECT_EQ(Menus, "");
    SendMessageA(form.Handle(), WM_EXITMENULOOP, FALSE, 0);

    // A control with a menu of its own shows that menu only.
    TPopupMenu own(&form);
    auto item = new TMenuItem(&own);
    item->SetCaption("Own item");
    own.Items()->Add(item);
    edit->SetPopupMenu(&own);
    MenuChoice = 0;
    SendInput(2, input, sizeof(INPUT));
    PumpUntil([&] { return !Menus.empty(); });
    PumpUntil([] { return false; }, 10);
    EXPECT_EQ(Menus, "Own item;");
    edit->SetPopupMenu(nullptr);
    form.Hide();
}

TEST_F(WhatsThisHelp, SystemCommandMenuItemAndInactiveHelp) {
    TTestForm form;
    auto help = new TFormHelp(&form);
    auto panel = form.Add<TPanel>(&form, 40, 60, 150, 40);
    panel->SetHint("Panel help.");
    form.ShowForm();
    Application.ProcessMessages();

    SendMessageA(form.Handle(), WM_SYSCOMMAND, SC_CONTEXTHELP, 0);
    EXPECT_TRUE(help->HelpMode());
    EXPECT_EQ(GetCapture(), form.Handle());
    ReleaseCapture();
    EXPECT_FALSE(help->HelpMode());

    TPopupMenu menu(&form);
    auto item = new TMenuItem(&menu);
    menu.Items()->Add(item);
    help->WhatsThis()->SetMenuItem(item);
    item->Click();
    EXPECT_TRUE(help->HelpMode());
    ReleaseCapture();
    EXPECT_FALSE(help->HelpMode());

    // Switched off, the form's help messages pass by.
    help->SetActive(false);
    PointAt(*panel);
    PressF1(form, *panel);
    EXPECT_EQ(THelpWindow::Current(), nullptr);
    help->SetActive(true);
    PressF1(form, *panel);
    EXPECT_NE(THelpWindow::Current(), nullptr);
    form.Hide();
}

TEST_F(WhatsThisHelp, DelayClosesThePopupAndSettingsKeepTheirRange) {
    TTestForm form;
    auto help = new TFormHelp(&form);
    EXPECT_EQ(help->PopupWidth(), 300);
    help->SetPopupWidth(20);
    EXPECT_EQ(help->PopupWidth(), 40);
    help->SetPopupWidth(5000);
    EXPECT_EQ(help->PopupWidth(), 1000);
    EXPECT_EQ(help->Color(), static_cast<TColor>(0xEEFFFF));
    EXPECT_EQ(help->CaptionButton()->Hint(), "Help");
    EXPECT_EQ(help->SystemMenu()->Caption(), "&What's This?");
    EXPECT_TRUE(help->ParentFont());
    help->Font()->SetSize(14);
    EXPECT_FALSE(help->ParentFont());

    // OnShow may change the text; an empty text shows nothing.
    help->OnShow = [](TObject*, TControl*, std::string& text) { text = ""; };
    help->ShowHelp(&form, TPoint{100, 100}, "Anything");
    EXPECT_EQ(THelpWindow::Current(), nullptr);
    help->OnShow = {};

    help->SetDelayInterval(50);
    help->ShowHelp(nullptr, TPoint{100, 100}, "Closes by itself");
    ASSERT_NE(THelpWindow::Current(), nullptr);
    WaitForClose();

    // A refused timer is the framework's out-of-resources error, and no pop-up stays.
    THelpTimerFunction previous = SetHelpTimerHook([](HWND, UINT_PTR, UINT) -> UINT_PTR { return 0; });
    try {
        help->ShowHelp(nullptr, TPoint{100, 100}, "No timer");
        ADD_FAILURE() << "no error";
    } catch (const EOutOfResources& error) {
        EXPECT_EQ(error.Message, SNoTimers);
    }
    SetHelpTimerHook(previous);
    EXPECT_EQ(THelpWindow::Current(), nullptr);
    EXPECT_EQ(FindWindowA("TFormHelpPopup", nullptr), nullptr);

    // A second pop-up replaces the first.
    help->SetDelayInterval(0);
    help->ShowHelp(nullptr, TPoint{100, 100}, "one");
    help->ShowHelp(nullptr, TPoint{100, 100}, "two");
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(THelpWindow::Current()->Text(), "two");
    // Freeing the component closes its pop-up.
    FreeComponent(help);
    EXPECT_EQ(THelpWindow::Current(), nullptr);
}

TEST_F(WhatsThisHelp, PictureOfAPopup) {
    TTestForm form;
    form.SetCaption("Registry cleaner");
    auto help = new TFormHelp(&form);
    // As the wizard's windows set it up.
    help->SetPopupWidth(350);
    help->SetShowShadow(false);
    auto run = form.Add<TButton>(&form, 20, 20, 120, 30);
    run->SetCaption("Scan");
    run->SetHint("Scan|[B]Scan[] looks through the registry for [BLUE]invalid entries[DEF]: missing files, "
                 "orphaned program settings and broken file associations.\nNothing is changed until you choose "
                 "[I]Clean[].");
    THelpWindow* popup = ShowAndPressF1(form, *run);
    ASSERT_NE(popup, nullptr);
    UpdateWindow(popup->Handle());
    Application.ProcessMessages();
    TBitmap shot;
    ASSERT_TRUE(guitest::CaptureWindow(popup->Handle(), shot));
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "MarkupHelpPopup"));
    EXPECT_LE(popup->Bitmap().Width(), 350);
    popup->Close();
    form.Hide();
}

// The user's way: F1 over a control, then the tool button and a click on a control.
TEST_F(WhatsThisHelp, RealKeyAndClicks) {
    TTestForm form;
    auto help = new TFormHelp(&form);
    auto hint = AddWhatsThisButton(form, *help);
    auto panel = form.Add<TPanel>(&form, 40, 60, 150, 40);
    panel->SetHint("Panel|Panel help.");
    auto edit = form.Add<TEdit>(&form, 40, 120, 150, 24);
    edit->SetHint("Edit help.");
    form.ShowForm();
    SetForegroundWindow(form.Handle());
    edit->SetFocus();
    Application.ProcessMessages();

    // F1 shows the help of the control under the mouse, not of the focused one.
    PointAt(*panel);
    INPUT key[2] = {};
    key[0].type = key[1].type = INPUT_KEYBOARD;
    key[0].ki.wVk = key[1].ki.wVk = VK_F1;
    key[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, key, sizeof(INPUT));
    PumpUntil([] { return THelpWindow::Current() != nullptr; }, 100);
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(THelpWindow::Current()->Text(), "Panel help.");
    THelpWindow::Current()->Close();

    PointAt(*hint);
    INPUT click[2] = {};
    click[0].type = click[1].type = INPUT_MOUSE;
    click[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    click[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, click, sizeof(INPUT));
    PumpUntil([&] { return help->HelpMode(); }, 100);
    ASSERT_TRUE(help->HelpMode());
    EXPECT_TRUE(hint->Down());
    EXPECT_EQ(GetCapture(), form.Handle());

    PointAt(*edit);
    SendInput(2, click, sizeof(INPUT));
    PumpUntil([] { return THelpWindow::Current() != nullptr; }, 100);
    ASSERT_NE(THelpWindow::Current(), nullptr);
    EXPECT_EQ(THelpWindow::Current()->Text(), "Edit help.");
    EXPECT_FALSE(help->HelpMode());
    EXPECT_FALSE(hint->Down());
    // The next click anywhere closes the pop-up.
    PointAt(*THelpWindow::Current()->HelpControl());
    SendInput(2, click, sizeof(INPUT));
    PumpUntil([] { return THelpWindow::Current() == nullptr; }, 100);
    form.Hide();
}
