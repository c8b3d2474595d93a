#include "FormHelpButton.h"

#include "FormHelpUtils.h"
#include "GuiTestSupport.h"
#include "ScreenshotSupport.h"
#include "StdCtrls.h"
#include "Themes.h"

#include <gtest/gtest.h>

#include <windowsx.h>

#include <string>
#include <vector>

namespace {

constexpr UINT kProbe = WM_APP + 17;

// Writes what it sees of the probe message into a shared log.
class TRecordingHook : public TfhCustomAppHookComponent {
public:
    TRecordingHook(TComponent* owner, std::string name, std::string& log)
        : TfhCustomAppHookComponent(owner), name_(std::move(name)), log_(log) {}

    bool HandleProbe = false;
    int RehookedCount = 0;
    int CaptionChanges = 0;

protected:
    void BeforeFormMessage(TMessage& message, bool& handled) override {
        if (message.Msg == kProbe) {
            log_ += "before " + name_ + ";";
            handled = HandleProbe;
            if (handled)
                message.Result = 7;
        }
    }
    void AfterFormMessage(TMessage& message) override {
        TfhCustomAppHookComponent::AfterFormMessage(message);
        if (message.Msg == kProbe)
            log_ += "after " + name_ + ";";
    }
    void BeforeAppMessage(TMessage& message, bool&) override {
        if (message.Msg == kProbe)
            log_ += "app " + name_ + ";";
    }
    void Rehooked() override { ++RehookedCount; }
    void CaptionChanged() override { ++CaptionChanges; }

private:
    std::string name_;
    std::string& log_;
};

// A form that notes the probe when it reaches it.
class TProbeForm : public TTestForm {
public:
    std::string* Log = nullptr;
    void WndProc(TMessage& message) override {
        if (message.Msg == kProbe && Log)
            *Log += "form;";
        TTestForm::WndProc(message);
    }
};

class FormHooks : public GuiTest {};

}  // namespace

TEST_F(FormHooks, ChainOrderHandlingAndRemoval) {
    std::string log;
    TProbeForm form;
    form.Log = &log;
    auto first = new TRecordingHook(&form, "1", log);
    auto second = new TRecordingHook(&form, "2", log);
    ASSERT_TRUE(first->Hooked());
    EXPECT_EQ(first->HookedWindow(), form.Handle());

    SendMessageA(form.Handle(), kProbe, 0, 0);
    EXPECT_EQ(log, "before 2;before 1;form;after 1;after 2;");

    log.clear();
    first->HandleProbe = true;
    EXPECT_EQ(SendMessageA(form.Handle(), kProbe, 0, 0), 7);
    EXPECT_EQ(log, "before 2;before 1;after 1;after 2;");  // the form did not see it

    // Destroying the first leaves the second hooked.
    log.clear();
    FreeComponent(first);
    SendMessageA(form.Handle(), kProbe, 0, 0);
    EXPECT_EQ(log, "before 2;form;after 2;");
    FreeComponent(second);
    log.clear();
    SendMessageA(form.Handle(), kProbe, 0, 0);
    EXPECT_EQ(log, "form;");

    EXPECT_THROW(TRecordingHook(&Application, "x", log), EInvalidOperation);
}

TEST_F(FormHooks, RecreatedWindowIsHookedAgain) {
    std::string log;
    TProbeForm form;
    auto first = new TRecordingHook(&form, "1", log);
    auto second = new TRecordingHook(&form, "2", log);
    HWND old = form.Handle();
    form.RecreateWnd();
    HWND now = form.Handle();
    Application.ProcessMessages();
    ASSERT_FALSE(IsWindow(old));
    EXPECT_EQ(first->RehookedCount, 1);
    EXPECT_EQ(second->RehookedCount, 1);
    EXPECT_EQ(first->HookedWindow(), now);
    SendMessageA(now, kProbe, 0, 0);
    EXPECT_EQ(log, "before 2;before 1;after 1;after 2;");
}

TEST_F(FormHooks, ApplicationWindowAndCaptionChanges) {
    std::string log;
    TProbeForm form;
    auto hook = new TRecordingHook(&form, "1", log);
    PostMessageA(hook->UtilityWindow(), WM_FHHOOKAPP, 0, 0);
    Application.ProcessMessages();
    ASSERT_TRUE(hook->AppHooked());
    SendMessageA(Application.Handle(), kProbe, 0, 0);
    EXPECT_EQ(log, "app 1;");

    form.SetCaption("First");
    char text[64];
    GetWindowTextA(form.Handle(), text, sizeof(text));
    Application.ProcessMessages();
    int changes = hook->CaptionChanges;
    EXPECT_GE(changes, 1);
    GetWindowTextA(form.Handle(), text, sizeof(text));
    Application.ProcessMessages();
    EXPECT_EQ(hook->CaptionChanges, changes);  // the same caption is no change

    FreeComponent(hook);
    log.clear();
    SendMessageA(Application.Handle(), kProbe, 0, 0);
    EXPECT_EQ(log, "");
}

TEST_F(FormHooks, CaptionButtonHitTestTooltipAndSystemMenu) {
    TTestForm form;
    auto button = new TFormHelpButton(&form);
    int clicks = 0;
    button->OnClickButton = [&](TObject*) { ++clicks; };
    button->CaptionButton()->SetHint("Help");
    form.ShowForm();
    Application.ProcessMessages();
    button->DrawButton();

    TRect rect = button->ButtonRect();
    ASSERT_GT(rect.right, rect.left);
    RECT window;
    GetWindowRect(form.Handle(), &window);
    LPARAM center = MAKELPARAM(window.left + (rect.left + rect.right) / 2, window.top + (rect.top + rect.bottom) / 2);
    EXPECT_EQ(SendMessageA(form.Handle(), WM_NCHITTEST, 0, center), static_cast<LRESULT>(kCaptionButtonId));
    EXPECT_TRUE(button->TooltipRegistered());

    // A double click presses it once; the release over it clicks.
    int downs = 0;
    button->OnMouseDown = [&](TObject*, TMouseButton, TShiftState, int, int) { ++downs; };
    SetCursorPos(GET_X_LPARAM(center), GET_Y_LPARAM(center));
    SendMessageA(form.Handle(), WM_NCLBUTTONDBLCLK, kCaptionButtonId, center);
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(GetCapture(), form.Handle());
    SendMessageA(form.Handle(), WM_LBUTTONUP, 0, 0);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(GetCapture(), nullptr);
    clicks = 0;

    // Hidden: no hit test answer and no tooltip.
    button->CaptionButton()->SetVisible(false);
    EXPECT_NE(SendMessageA(form.Handle(), WM_NCHITTEST, 0, center), static_cast<LRESULT>(kCaptionButtonId));
    EXPECT_FALSE(button->TooltipRegistered());

    // The system-menu entry: a position past the end appends it, after a separator.
    HMENU menu = GetSystemMenu(form.Handle(), FALSE);
    const int count = GetMenuItemCount(menu);
    button->SystemMenu()->SetSeparators(TfhMenuSeparators{seBefore});
    button->SystemMenu()->SetPosition(count + 5);
    button->SystemMenu()->SetApplyToMenu(true);
    ASSERT_EQ(GetMenuItemCount(menu), count + 2);
    EXPECT_EQ(GetMenuItemID(menu, count), kMenuSeparatorBeforeId);
    EXPECT_EQ(GetMenuItemID(menu, count + 1), kCaptionButtonId);
    char text[64] = "";
    GetMenuStringA(menu, kCaptionButtonId, text, sizeof(text), MF_BYCOMMAND);
    EXPECT_STREQ(text, "Help");

    // Choosing it runs the click; changing a property puts the items in again once.
    SendMessageA(form.Handle(), WM_SYSCOMMAND, kCaptionButtonId, 0);
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(button->Pressed());
    button->SystemMenu()->SetCaption("&What's This?");
    EXPECT_EQ(GetMenuItemCount(menu), count + 2);
    button->SystemMenu()->SetApplyToMenu(false);
    EXPECT_EQ(GetMenuItemCount(menu), count);
    form.Hide();
}

TEST_F(FormHooks, TooltipUnderAMenuBarAndTheAutomaticStyle) {
    TTestForm form;
    auto button = new TFormHelpButton(&form);
    button->CaptionButton()->SetHint("Help");
    form.ShowForm();
    HMENU bar = CreateMenu();  // the window destroys it
    AppendMenuA(bar, MF_STRING, 100, "&File");
    ASSERT_TRUE(SetMenu(form.Handle(), bar));
    RedrawWindow(form.Handle(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
    Application.ProcessMessages();
    ASSERT_TRUE(button->TooltipRegistered());

    // On the screen the tooltip's rectangle covers the button, above the menu bar.
    RECT window;
    GetWindowRect(form.Handle(), &window);
    TRect tool = button->TooltipRect();
    MapWindowPoints(form.Handle(), nullptr, reinterpret_cast<POINT*>(&tool), 2);
    TRect drawn = button->ButtonRect();
    OffsetRect(&drawn, window.left, window.top);
    EXPECT_TRUE(tool.left == drawn.left && tool.top == drawn.top) << tool.top << " " << drawn.top;

    // The automatic style follows the theme library's own answer, which the framework's switch
    // for tests does not reach: it draws the themed face while a theme is active.
    ASSERT_TRUE(LoadThemeLibrary() && ThemeIsActive()) << "the test prefix has themes on";
    // Read from the window itself: the screen shows a repainted caption only some time later.
    auto buttonPixels = [&] {
        RedrawWindow(form.Handle(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
        std::vector<COLORREF> pixels;
        HDC dc = GetWindowDC(form.Handle());
        TRect rect = button->ButtonRect();
        for (int y = rect.top; y < rect.bottom; ++y)
            for (int x = rect.left; x < rect.right - 1; ++x)
                pixels.push_back(GetPixel(dc, x, y));
        ReleaseDC(form.Handle(), dc);
        return pixels;
    };
    button->CaptionButton()->SetStyle(cbsWinXP);
    const std::vector<COLORREF> themed = buttonPixels();
    button->CaptionButton()->SetStyle(cbsWin9x);
    ASSERT_NE(buttonPixels(), themed);
    ThemeServices().SetThemesDisabledForTests(true);
    button->CaptionButton()->SetStyle(cbsAuto);
    const std::vector<COLORREF> automatic = buttonPixels();
    EXPECT_EQ(automatic, themed);

    // The automatic face over a menu bar, copied from the window itself.
    RedrawWindow(form.Handle(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
    TBitmap shot;
    shot.SetSize(window.right - window.left, window.bottom - window.top);
    HDC dc = GetWindowDC(form.Handle());
    BitBlt(shot.Canvas().Handle(), 0, 0, shot.Width(), shot.Height(), dc, 0, 0, SRCCOPY);
    ReleaseDC(form.Handle(), dc);
    ThemeServices().SetThemesDisabledForTests(false);
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "MarkupCaptionButtonMenu"));
    form.Hide();
}

TEST_F(FormHooks, PictureOfCaptionButtons) {
    // The classic face, drawn in the caption bar left of the standard buttons.
    TTestForm plain;
    auto classic = new TFormHelpButton(&plain);
    classic->CaptionButton()->SetStyle(cbsWin9x);
    plain.ShowForm();
    Application.ProcessMessages();
    RedrawWindow(plain.Handle(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
    TBitmap shot;
    ASSERT_TRUE(guitest::CaptureWindow(plain.Handle(), shot));
    TRect rect = classic->ButtonRect();
    EXPECT_EQ(shot.Canvas().Pixels(rect.left + 3, rect.top + 3), static_cast<TColor>(GetSysColor(COLOR_BTNFACE)));
    plain.Hide();

    // The themed red face as the main window would show it.
    TTestForm form;
    form.SetCaption("Caption help button");
    form.SetClientSize(320, 60);
    auto themed = new TFormHelpButton(&form);
    themed->CaptionButton()->SetStyle(cbsWinXP);
    themed->CaptionButton()->SetXPStyleColor(xpcRed);
    themed->SetGlyphChar("?");
    themed->GlyphFont().SetName("Arial");
    themed->GlyphFont().SetStyle(TFontStyles{fsBold});
    form.ShowForm();
    Application.ProcessMessages();
    RedrawWindow(form.Handle(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
    ASSERT_TRUE(guitest::CaptureWindow(form.Handle(), shot));
    rect = themed->ButtonRect();
    // No colour of the picture's transparent corners reaches the caption bar.
    for (int y = rect.top; y < rect.bottom; ++y) {
        for (int x = rect.left; x < rect.right; ++x)
            ASSERT_NE(shot.Canvas().Pixels(x, y), clFuchsia) << x << "," << y;
    }
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "MarkupCaptionButton"));
    form.Hide();
}
