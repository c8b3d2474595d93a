#include "ExtCtrls.h"
#include "GuiTestSupport.h"
#include "ScreenshotSupport.h"
#include "StdCtrls.h"
#include "kelControls.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

namespace {

bool SameRect(const TRect& a, const TRect& b) { return EqualRect(&a, &b) != FALSE; }

COLORREF Sys(int index) { return GetSysColor(index); }

// The colour of a pixel of the window, non-client area included, after the window has painted
// itself afresh (so that a late repaint of the display cannot come between).
COLORREF WindowPixel(HWND window, int x, int y) {
    Application.ProcessMessages();
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    HDC dc = GetWindowDC(window);
    COLORREF color = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return color;
}

COLORREF ClientPixel(HWND window, int x, int y) {
    UpdateWindow(window);
    HDC dc = GetDC(window);
    COLORREF color = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return color;
}

// Our own art: 16 x 16 squares in red, green and blue with a magenta (masked) corner.
void FillArt(TImageList& list, int count) {
    const TColor colors[] = {clRed, clLime, clBlue, clYellow};
    TBitmap strip;
    strip.SetSize(16 * count, 16);
    for (int i = 0; i < count; ++i) {
        strip.Canvas().Brush().SetColor(clFuchsia);
        strip.Canvas().FillRect(MakeBounds(16 * i, 0, 16, 16));
        strip.Canvas().Brush().SetColor(colors[i % 4]);
        strip.Canvas().FillRect(MakeBounds(16 * i + 2, 2, 12, 12));
    }
    list.AddMasked(strip, clFuchsia);
}

class KelEdits : public guitest::GuiTestFailingOnExceptions {
protected:
    void SetUp() override {
        guitest::GuiTestFailingOnExceptions::SetUp();
        // The hot look follows the real mouse too: keep it off the test's controls (an earlier
        // test program may have left it anywhere).
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        form = new TTestForm();
        images = new TImageList(form);
        FillArt(*images, 3);
    }
    void TearDown() override {
        SetEditSystemOverride(std::nullopt);
        FreeComponent(form);
        guitest::GuiTestFailingOnExceptions::TearDown();
    }
    void ShowForm() {
        form->Show();
        SetForegroundWindow(form->Handle());
        Application.ProcessMessages();
    }

    TTestForm* form = nullptr;
    TImageList* images = nullptr;
};

}  // namespace

// ---- Flat edit ------------------------------------------------------------------------------

TEST_F(KelEdits, FlatEditShowsTheSunkenEdgeOnlyWhileHotOrFocusedWithFocusBorder) {
    auto edit = form->Add<TkelEdit>(form, 10, 10, 120, 22);
    auto other = form->Add<TEdit>(form, 10, 50, 120, 22);
    edit->SetFlat(true);
    ShowForm();
    other->SetFocus();
    HWND window = edit->Handle();
    const COLORREF face = ColorToRGB(form->Color());
    edit->RedrawFlatFrame();
    EXPECT_EQ(WindowPixel(window, 0, 0), face);
    EXPECT_EQ(WindowPixel(window, 2, 2), Sys(COLOR_WINDOW));

    edit->Perform(CM_MOUSEENTER);
    EXPECT_TRUE(edit->Hot());
    EXPECT_EQ(WindowPixel(window, 0, 0), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(WindowPixel(window, edit->Width() - 1, edit->Height() - 1), Sys(COLOR_BTNHIGHLIGHT));
    edit->Perform(CM_MOUSELEAVE);
    EXPECT_FALSE(edit->Hot());
    EXPECT_EQ(WindowPixel(window, 0, 0), face);

    edit->SetFocus();
    Application.ProcessMessages();
    ASSERT_TRUE(edit->Focused());
    EXPECT_EQ(WindowPixel(window, 0, 0), Sys(COLOR_BTNSHADOW));
    edit->SetFocusBorder(false);
    edit->RedrawFlatFrame();
    EXPECT_EQ(WindowPixel(window, 0, 0), face);

    // Disabled, the edit takes its parent's colour and gets its own back afterwards.
    edit->SetColor(clInfoBk);
    edit->SetEnabled(false);
    EXPECT_EQ(edit->Color(), form->Color());
    edit->Perform(CM_MOUSEENTER);
    EXPECT_FALSE(edit->Hot());
    edit->SetEnabled(true);
    EXPECT_EQ(edit->Color(), clInfoBk);
    EXPECT_FALSE(edit->ParentColor());
}

TEST_F(KelEdits, EditAlignmentStylesAndOldSystemsMultiLineKeys) {
    auto edit = form->Add<TkelEdit>(form, 10, 10, 120, 22);
    edit->SetAlignment(taRightJustify);
    edit->SetText("42");
    EXPECT_FALSE(EditAlignsOnlyMultiLine());  // systems the version table does not know count as new
    EXPECT_TRUE(GetWindowLongA(edit->Handle(), GWL_STYLE) & ES_RIGHT);
    EXPECT_FALSE(GetWindowLongA(edit->Handle(), GWL_STYLE) & ES_MULTILINE);
    edit->SetAlignment(taCenter);
    EXPECT_TRUE(GetWindowLongA(edit->Handle(), GWL_STYLE) & ES_CENTER);
    EXPECT_EQ(edit->GetText(), "42");

    SetEditSystemOverride(true);
    edit->SetAlignment(taRightJustify);
    EXPECT_TRUE(edit->CreatedMultiLine());
    EXPECT_TRUE(GetWindowLongA(edit->Handle(), GWL_STYLE) & ES_MULTILINE);
    auto ok = form->Add<TButton>(form, 150, 10, 75, 25);
    auto cancel = form->Add<TButton>(form, 150, 40, 75, 25);
    int oks = 0, cancels = 0;
    ok->OnClick = [&](TObject*) { ++oks; };
    cancel->OnClick = [&](TObject*) { ++cancels; };
    form->SetDefaultControl(ok);
    form->SetCancelControl(cancel);
    ShowForm();
    edit->SetFocus();
    PostMessageA(edit->Handle(), WM_KEYDOWN, VK_RETURN, 1);
    guitest::PumpUntil([&] { return oks == 1; });
    PostMessageA(edit->Handle(), WM_KEYDOWN, VK_ESCAPE, 1);
    guitest::PumpUntil([&] { return cancels == 1; });
    Application.ProcessMessages();
    EXPECT_EQ(edit->GetText(), "42");
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
    EXPECT_EQ(oks, 1);
}

TEST_F(KelEdits, RightToLeftEditSwapsItsSidesAndIsAlwaysSunken) {
    form->SetCtl3D(false);
    auto plain = form->Add<TEdit>(form, 10, 40, 120, 22);
    auto edit = form->Add<TkelEdit>(form, 10, 10, 120, 22);
    auto style = [&] { return GetWindowLongA(edit->Handle(), GWL_STYLE); };
    auto sides = [&] { return style() & (ES_RIGHT | ES_CENTER); };
    EXPECT_FALSE(GetWindowLongA(plain->Handle(), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_TRUE(edit->Ctl3D());  // forced on, whatever the parent says
    EXPECT_TRUE(GetWindowLongA(edit->Handle(), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);

    edit->SetBiDiMode(bdRightToLeft);
    EXPECT_TRUE(GetWindowLongA(edit->Handle(), GWL_EXSTYLE) & WS_EX_RTLREADING);
    EXPECT_EQ(sides(), ES_RIGHT);
    edit->SetAlignment(taRightJustify);
    EXPECT_EQ(sides(), ES_LEFT);
    edit->SetAlignment(taCenter);
    EXPECT_EQ(sides(), ES_CENTER);
    edit->SetBiDiMode(bdRightToLeftReadingOnly);  // the text reads right to left, the sides stay
    edit->SetAlignment(taLeftJustify);
    EXPECT_EQ(sides(), ES_LEFT);
    EXPECT_FALSE(edit->CreatedMultiLine());
    // Old systems align only multi-line edits, right-to-left reading ones too.
    SetEditSystemOverride(true);
    edit->RecreateWnd();
    EXPECT_TRUE(edit->CreatedMultiLine());
    edit->SetBiDiMode(bdLeftToRight);
    EXPECT_FALSE(edit->CreatedMultiLine());
}

// ---- Image combo box, image list box, image -------------------------------------------------

TEST_F(KelEdits, ComboBoxItemHeightListWidthAndImages) {
    auto combo = form->Add<TkelComboBox>(form, 10, 10, 150, 24);
    const int textHeight = [&] {
        TWindowDc dc(nullptr);
        TSelection font(dc.Get(), combo->Font()->Handle());
        TEXTMETRICA metrics{};
        GetTextMetricsA(dc.Get(), &metrics);
        return static_cast<int>(metrics.tmHeight);
    }();
    EXPECT_EQ(combo->ItemHeight(), std::max(textHeight + 2, 7));
    images->SetSize(40, 40);  // taller than the text: the lines follow the images
    combo->SetImageList(images);
    EXPECT_EQ(combo->ItemHeight(), 40);
    images->SetSize(16, 16);
    FillArt(*images, 3);
    EXPECT_EQ(combo->ItemHeight(), std::max(textHeight + 2, 16));

    combo->SetListWidth(260);
    EXPECT_EQ(combo->ListWidth(), 260);
    EXPECT_EQ(SendMessageA(combo->Handle(), CB_GETDROPPEDWIDTH, 0, 0), 260);
    combo->SetStyle(csOwnerDrawFixed);  // remade: the width stays
    EXPECT_EQ(SendMessageA(combo->Handle(), CB_GETDROPPEDWIDTH, 0, 0), 260);

    combo->Items()->Add("Red");
    combo->Items()->Add("Green");
    combo->SetItemIndex(1);
    ShowForm();
    // The selection field shows the green image of line 1 at the left.
    const int y = combo->ClientHeight() / 2;
    bool green = false;
    for (int x = 2; x < 30 && !green; ++x)
        green = ClientPixel(combo->Handle(), x, y) == RGB(0, 255, 0);
    EXPECT_TRUE(green);

    // Flat: a frame in the parent's colour and a button with a light frame; hot, the edges.
    combo->SetFlat(true);
    Application.ProcessMessages();
    HWND window = combo->Handle();
    const TRect button = combo->ButtonRect();
    EXPECT_EQ(WindowPixel(window, 0, 0), ColorToRGB(form->Color()));
    EXPECT_EQ(WindowPixel(window, button.left, button.top + 3), Sys(COLOR_BTNHIGHLIGHT));
    combo->Perform(CM_MOUSEENTER);
    EXPECT_EQ(WindowPixel(window, 0, 0), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(WindowPixel(window, button.left, button.top + 3), Sys(COLOR_3DLIGHT));
    combo->SetEtched(true);
    combo->RedrawFlatFrame();
    EXPECT_EQ(WindowPixel(window, button.left, button.top + 3), Sys(COLOR_BTNSHADOW));
    combo->Perform(CM_MOUSELEAVE);
    EXPECT_FALSE(combo->Hot());

    FreeComponent(images);
    images = nullptr;
    EXPECT_EQ(combo->ImageList(), nullptr);
    combo->Invalidate();
    Application.ProcessMessages();  // draws without the list
}

TEST_F(KelEdits, ImageListBoxPlacesImagesByIndexOrObjectAndHidesSelection) {
    auto box = form->Add<TkelImageListBox>(form, 10, 10, 200, 120);
    EXPECT_EQ(box->Style(), lbOwnerDrawFixed);
    // Its published Style says so too, and a form cannot make it a plain list.
    const TPropInfo* style = FindPropInfo(*box, "Style");
    ASSERT_TRUE(style->HasDefault);
    EXPECT_EQ(style->Default, GetOrdProp(*box, "Style"));
    SetPropText(*box, *style, "lbStandard");
    EXPECT_EQ(box->Style(), lbOwnerDrawFixed);
    box->SetItemHeight(24);
    box->SetImageList(images);
    box->Items()->AddObject("First", reinterpret_cast<TObject*>(intptr_t{2}));
    box->Items()->AddObject("Second", reinterpret_cast<TObject*>(intptr_t{7}));
    ShowForm();
    HWND window = box->Handle();
    TRect first = box->ItemRect(0);
    const int margin = box->Margin();
    // Image 0 (red) at the left, centred in the item less the margin.
    EXPECT_EQ(ClientPixel(window, first.left + margin + 8, first.top + 12), RGB(255, 0, 0));
    EXPECT_EQ(ClientPixel(window, first.left + margin, first.top + margin + 4), Sys(COLOR_WINDOW));  // masked

    box->SetImageLayout(tlTop);
    EXPECT_EQ(ClientPixel(window, first.left + margin + 8, first.top + margin + 3), RGB(255, 0, 0));
    box->SetImageLayout(tlBottom);
    EXPECT_EQ(ClientPixel(window, first.left + margin + 8, first.bottom - margin - 3), RGB(255, 0, 0));

    box->SetImageIndexByObject(true);
    EXPECT_EQ(box->ImageIndexOf(0), 2);
    EXPECT_EQ(box->ImageIndexOf(1), -1);  // 7 is beyond the list
    EXPECT_EQ(ClientPixel(window, first.left + margin + 8, first.bottom - margin - 3), RGB(0, 0, 255));

    box->SetItemIndex(0);
    EXPECT_EQ(ClientPixel(window, first.right - 3, first.top + 3), Sys(COLOR_HIGHLIGHT));
    box->SetHideSelection(true);
    EXPECT_EQ(ClientPixel(window, first.right - 3, first.top + 3), Sys(COLOR_WINDOW));
}

TEST_F(KelEdits, ComboFlatnessSwitchesCtl3DAndRightToLeftListTextSitsAtTheRight) {
    auto combo = form->Add<TkelComboBox>(form, 10, 150, 150, 24);
    EXPECT_TRUE(combo->Ctl3D());
    combo->SetFlat(true);
    EXPECT_FALSE(combo->Ctl3D());
    combo->SetFlat(false);
    EXPECT_TRUE(combo->Ctl3D());

    auto box = form->Add<TkelImageListBox>(form, 10, 10, 200, 120);
    box->SetItemHeight(24);
    box->SetImageList(images);
    box->Items()->Add("First");
    ShowForm();
    HWND window = box->Handle();
    auto textEnd = [&] {
        const TRect item = box->ItemRect(0);
        UpdateWindow(window);
        TBitmap shot(item.right, item.bottom);
        HDC dc = GetDC(window);
        BitBlt(shot.Canvas().Handle(), 0, 0, item.right, item.bottom, dc, 0, 0, SRCCOPY);
        ReleaseDC(window, dc);
        int right = -1;
        for (int y = item.top; y < item.bottom; ++y)
            for (int x = item.left; x < item.right; ++x)
                if (shot.Canvas().Pixels(x, y) == RGBToColor(Sys(COLOR_WINDOWTEXT)))
                    right = std::max(right, x);
        return right;
    };
    const int width = box->ItemRect(0).right;
    EXPECT_LT(textEnd(), width / 2);
    box->SetBiDiMode(bdRightToLeft);
    window = box->Handle();
    EXPECT_GT(textEnd(), width - box->Margin() - 6);
    // The image stays at the left.
    EXPECT_EQ(ClientPixel(window, box->ItemRect(0).left + box->Margin() + 8, box->ItemRect(0).top + 12), RGB(255, 0, 0));
}

TEST_F(KelEdits, ImageTakesItsPictureFromTheListAndFollowsIt) {
    auto image = form->Add<TkelImage>(form, 10, 10, 64, 64);
    image->SetCaption("Empty");
    image->SetImageIndex(3);
    image->SetImageList(images);
    EXPECT_EQ(image->Picture()->Graphic(), nullptr);  // 3 lies beyond the three images
    FillArt(*images, 1);  // the fourth arrives through the change link
    ASSERT_NE(image->Picture()->Graphic(), nullptr);
    EXPECT_NE(dynamic_cast<TIcon*>(image->Picture()->Graphic()), nullptr);
    EXPECT_EQ(image->Picture()->Width(), images->Width());
    image->SetImageListAsIcon(false);
    EXPECT_NE(dynamic_cast<TBitmap*>(image->Picture()->Graphic()), nullptr);

    ShowForm();
    image->SetImageIndex(0);
    image->SetCenter(true);
    image->SetCaptionVisible(true);
    image->SetCaption("X");
    form->Update();
    FreeComponent(images);
    images = nullptr;
    EXPECT_EQ(image->ImageList(), nullptr);
    image->SetImageIndex(1);  // no list: the picture stays
    EXPECT_NE(image->Picture()->Graphic(), nullptr);
}

// ---- Arrow scroll bar ------------------------------------------------------------------------

namespace {

class TCountingScrollBar : public TkelScrollBar {
public:
    using TkelScrollBar::TkelScrollBar;
    void RepeatStep() override {
        ++Ticks;
        TkelScrollBar::RepeatStep();
    }
    int Ticks = 0;
};

LPARAM At(const TRect& rect) { return MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2); }

}  // namespace

TEST_F(KelEdits, ScrollBarSizesSplitsAndClamps) {
    auto bar = form->Add<TkelScrollBar>(form, 10, 10, 100, 100);
    const int arrow = GetSystemMetrics(SM_CYVSCROLL);
    EXPECT_EQ(bar->Kind(), sbVertical);
    EXPECT_EQ(bar->Width(), GetSystemMetrics(SM_CXVSCROLL));
    EXPECT_TRUE(SameRect(bar->GetButtonRect(1), MakeRect(0, 0, bar->Width(), arrow)));
    EXPECT_TRUE(SameRect(bar->GetButtonRect(0), MakeRect(0, 100 - arrow, bar->Width(), 100)));
    bar->SetMargin(3);
    EXPECT_TRUE(SameRect(bar->GetButtonRect(1), MakeRect(0, 3, bar->Width(), arrow + 3)));
    bar->SetMargin(0);
    bar->SetHeight(arrow + 5);  // shorter than two arrows: each button gets half
    EXPECT_EQ(bar->GetButtonRect(1).bottom, (arrow + 5) / 2);
    EXPECT_EQ(bar->GetButtonRect(0).top, arrow + 5 - (arrow + 5) / 2);
    bar->SetHeight(0);
    const TRect none = bar->GetButtonRect(0);
    EXPECT_TRUE(IsRectEmpty(&none));

    bar->SetKind(sbHorizontal);
    EXPECT_EQ(bar->Height(), GetSystemMetrics(SM_CYHSCROLL));
    int changes = 0;
    bar->OnChange = [&](TObject*) { ++changes; };
    bar->SetPosition(150);
    EXPECT_EQ(bar->Position(), 100);
    bar->SetMax(40);
    EXPECT_EQ(bar->Position(), 40);
    bar->SetMin(60);
    EXPECT_EQ(bar->Min(), 40);
    bar->SetMax(-5);
    EXPECT_EQ(bar->Min(), -5);
    EXPECT_EQ(bar->Position(), -5);
    EXPECT_EQ(changes, 3);
}

TEST_F(KelEdits, ScrollBarHoldingRepeatsOnlyOverTheButtonAndReleasingStepsOnceMore) {
    auto bar = form->Add<TCountingScrollBar>(form, 10, 10, 20, 120);
    bar->SetTimerInterval(20);
    ShowForm();
    HWND window = bar->Handle();
    const TRect decrease = bar->GetButtonRect(1);
    const TRect increase = bar->GetButtonRect(0);

    // At Min the decrease button is hidden and pressing there does nothing.
    EXPECT_EQ(ClientPixel(window, (decrease.left + decrease.right) / 2, decrease.top + 2),
              ClientPixel(window, 1, bar->Height() / 2));
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, At(decrease));
    EXPECT_EQ(bar->HeldButton(), -1);
    SendMessageA(window, WM_LBUTTONUP, 0, At(decrease));
    EXPECT_EQ(bar->Position(), 0);

    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, At(increase));
    EXPECT_EQ(bar->HeldButton(), 0);
    EXPECT_TRUE(bar->Repeating());
    guitest::PumpUntil([&] { return bar->Position() >= 3; });
    EXPECT_EQ(bar->Position(), bar->Ticks);
    // Off the button the ticks go on but step nothing.
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(200, 200));
    EXPECT_FALSE(bar->HeldPressed());
    const int position = bar->Position();
    const int ticks = bar->Ticks;
    guitest::PumpUntil([&] { return bar->Ticks >= ticks + 3; });
    EXPECT_EQ(bar->Position(), position);
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, At(increase));
    guitest::PumpUntil([&] { return bar->Position() > position; });
    const int beforeRelease = bar->Position();
    SendMessageA(window, WM_LBUTTONUP, 0, At(increase));
    EXPECT_EQ(bar->Position(), beforeRelease + 1);
    EXPECT_FALSE(bar->Repeating());
    EXPECT_EQ(bar->HeldButton(), -1);

    // Released off the button: no step.
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, At(decrease));
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(200, 200));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(200, 200));
    EXPECT_EQ(bar->Position(), beforeRelease + 1);

    // Keyboard and BM_CLICK reach it too.
    SendMessageA(window, BM_CLICK, 0, 0);
    EXPECT_EQ(bar->Position(), beforeRelease + 2);
    bar->SetFocus();
    PostMessageA(window, WM_KEYDOWN, VK_UP, 1);
    guitest::PumpUntil([&] { return bar->Position() == beforeRelease + 1; });
}

// ---- Date panel --------------------------------------------------------------------------------

namespace {

void TypeInto(TWinControl* edit, char c) { SendMessageA(edit->Handle(), WM_CHAR, static_cast<unsigned char>(c), 1); }

// Selects a month as a user does: the list's selection, then its notification.
void ChooseMonth(TkelDatePanel* panel, int month) {
    HWND combo = panel->MonthBox()->Handle();
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(month - 1), 0);
    SendMessageA(panel->Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

}  // namespace

TEST_F(KelEdits, DatePanelClampsTheDayToTheMonth) {
    auto panel = form->Add<TkelDatePanel>(form, 10, 10, 220, 24);
    ShowForm();
    int dates = 0, months = 0, days = 0, clicks = 0;
    panel->OnClickMonth = [&](TObject*) { ++clicks; };
    panel->OnChangeDate = [&](TObject*) { ++dates; };
    panel->OnChangeMonth = [&](TObject*) { ++months; };
    panel->OnChangeDay = [&](TObject*) { ++days; };
    panel->SetDate(EncodeKelDate(2023, 1, 31));
    EXPECT_EQ(dates, 1);
    EXPECT_EQ(panel->DayEdit()->GetText(), "31");
    EXPECT_EQ(panel->MonthBox()->ItemIndex(), 0);

    ChooseMonth(panel, 2);
    EXPECT_EQ(panel->Month(), 2);
    EXPECT_EQ(panel->DayEdit()->GetText(), "28");
    EXPECT_EQ(panel->DayUpDown()->Max(), 28);
    EXPECT_EQ(panel->Date(), EncodeKelDate(2023, 2, 28));
    EXPECT_EQ(months, 1);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(days, 0);
    EXPECT_EQ(dates, 2);

    panel->SetDate(EncodeKelDate(2024, 1, 31));
    ChooseMonth(panel, 2);
    EXPECT_EQ(panel->DayEdit()->GetText(), "29");
    panel->YearEdit()->SetText("2100");  // not a leap year
    EXPECT_EQ(panel->DayEdit()->GetText(), "28");
    EXPECT_EQ(panel->Date(), EncodeKelDate(2100, 2, 28));

    panel->DayEdit()->SetText("0");
    EXPECT_EQ(panel->Date(), KelToday());  // no valid date
}

TEST_F(KelEdits, DatePanelTakesDigitsOnly) {
    auto panel = form->Add<TkelDatePanel>(form, 10, 10, 220, 24);
    panel->SetDate(EncodeKelDate(2020, 3, 12));
    ShowForm();
    char offered = 0;
    panel->OnKeyPressDay = [&](TObject*, char& key) { offered = key; };
    TkelEdit* day = panel->DayEdit();
    SendMessageA(day->Handle(), EM_SETSEL, 2, 2);
    TypeInto(day, 'x');
    EXPECT_EQ(offered, 'x');
    EXPECT_EQ(day->GetText(), "12");
    TypeInto(day, '\b');
    EXPECT_EQ(day->GetText(), "1");
    TypeInto(day, '5');
    EXPECT_EQ(day->GetText(), "15");
    SendMessageA(panel->YearEdit()->Handle(), EM_SETSEL, 0, -1);
    TypeInto(panel->YearEdit(), '-');
    EXPECT_EQ(panel->YearEdit()->GetText(), "2020");
    EXPECT_EQ(panel->Date(), EncodeKelDate(2020, 3, 15));
}

TEST_F(KelEdits, DatePanelOrdersItsPartsAsTheLocaleWritesDates) {
    EXPECT_EQ(LayoutOfDateFormat("M/d/yyyy"), dplMDY);
    EXPECT_EQ(LayoutOfDateFormat("dd.MM.yyyy"), dplDMY);
    EXPECT_EQ(LayoutOfDateFormat("yyyy-MM-dd"), dplYMD);
    EXPECT_EQ(LayoutOfDateFormat("yy/dd/MM"), dplYDM);
    char format[80] = "";
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, format, sizeof(format));
    const TkelDatePanelLayout expected = LayoutOfDateFormat(format);

    auto panel = form->Add<TkelDatePanel>(form, 10, 10, 240, 24);
    ShowForm();
    EXPECT_EQ(panel->EffectiveLayout(), expected);
    const int border = panel->BorderWidth();
    auto leftOf = [&](TkelDatePanelLayout layout) -> TControl* {
        switch (layout) {
        case dplMDY:
            return panel->MonthBox();
        case dplYMD:
        case dplYDM:
            return panel->YearEdit();
        default:
            return panel->DayEdit();
        }
    };
    EXPECT_EQ(leftOf(expected)->Left(), border);

    panel->SetControlsLayout(dplMDY);
    EXPECT_EQ(panel->MonthBox()->Left(), 0);
    EXPECT_EQ(panel->DayEdit()->Left(), panel->MonthBox()->Width() + panel->ControlsSpace());
    EXPECT_EQ(panel->DayUpDown()->Left(), panel->DayEdit()->Left() + panel->DayEdit()->Width());
    EXPECT_EQ(panel->YearUpDown()->Left() + panel->YearUpDown()->Width(), panel->Width());

    panel->SetControlsLayout(dplDMY);
    panel->SetEditDay(false);
    EXPECT_EQ(panel->MonthBox()->Left(), 0);
    EXPECT_FALSE(panel->DayEdit()->Visible());
    EXPECT_EQ(panel->YearUpDown()->Left() + panel->YearUpDown()->Width(), panel->Width());

    // Too narrow for the month list: the panel widens.
    panel->SetEditDay(true);
    panel->SetWidth(60);
    EXPECT_GE(panel->MonthBox()->Width(), GetSystemMetrics(SM_CXVSCROLL) + 20);
    EXPECT_GE(panel->Height(), panel->MonthBox()->Height());

    // Filling a narrow parent, it cannot widen: the layout gives up instead of asking forever.
    auto holder = form->Add<TPanel>(form, 10, 60, 60, 30);
    auto filling = form->Add<TkelDatePanel>(holder, 0, 0, 60, 30);
    filling->SetAlign(alClient);
    filling->SetWidth(10);
    EXPECT_LE(filling->Width(), holder->ClientWidth());

    panel->SetEnabled(false);
    EXPECT_FALSE(panel->DayEdit()->Enabled());
    EXPECT_FALSE(panel->YearUpDown()->Enabled());
    EXPECT_EQ(panel->MonthBox()->Color(), panel->Color());
    panel->SetEnabled(true);
    EXPECT_EQ(panel->YearEdit()->Color(), clWindow);
}

// ---- A form of them all -------------------------------------------------------------------------

TEST_F(KelEdits, Screenshot) {
    form->SetCaption("Edits and pictures");
    form->SetClientSize(430, 250);
    auto label = [&](int left, int top, const char* text) {
        auto l = form->Add<TLabel>(form, left, top, 100, 16);
        l->SetCaption(text);
    };
    label(12, 14, "Flat edit:");
    auto flat = form->Add<TkelEdit>(form, 110, 10, 120, 22);
    flat->SetFlat(true);
    flat->SetText("Flat and focused");
    label(12, 44, "Right aligned:");
    auto right = form->Add<TkelEdit>(form, 110, 40, 120, 22);
    right->SetFlat(true);
    right->SetAlignment(taRightJustify);
    right->SetText("1234");
    label(12, 74, "Image combo:");
    auto combo = form->Add<TkelComboBox>(form, 110, 70, 120, 24);
    combo->SetStyle(csOwnerDrawFixed);
    combo->SetImageList(images);
    combo->SetFlat(true);
    for (const char* text : {"Red", "Green", "Blue"})
        combo->Items()->Add(text);
    combo->SetItemIndex(2);
    label(12, 106, "Date:");
    auto date = form->Add<TkelDatePanel>(form, 110, 102, 220, 24);
    date->SetDate(EncodeKelDate(2024, 2, 29));
    auto list = form->Add<TkelImageListBox>(form, 12, 140, 150, 96);
    list->SetItemHeight(24);
    list->SetImageList(images);
    for (const char* text : {"Red square", "Green square", "Blue square"})
        list->Items()->Add(text);
    list->SetItemIndex(1);
    auto image = form->Add<TkelImage>(form, 180, 150, 64, 64);
    image->SetCenter(true);
    image->SetCaption("No picture");
    auto vertical = form->Add<TkelScrollBar>(form, 380, 140, 20, 96);
    vertical->SetPosition(50);
    auto horizontal = form->Add<TkelScrollBar>(form, 260, 210, 110, 20);
    horizontal->SetKind(sbHorizontal);
    horizontal->SetWidth(110);
    horizontal->SetHideButtons(false);
    ShowForm();
    flat->SetFocus();
    Application.ProcessMessages();
    EXPECT_TRUE(guitest::SaveWindowScreenshot(form->Handle(), "KelEditControls"));
}

// The edits and image boxes left to right beside their right-to-left twins.
TEST_F(KelEdits, RightToLeftScreenshot) {
    form->SetCaption("Right to left");
    form->SetClientSize(420, 230);
    auto column = [&](int left, TBiDiMode mode) {
        auto panel = form->Add<TPanel>(form, left, 0, 210, 230);
        panel->SetBevelOuter(bvNone);
        panel->SetBiDiMode(mode);
        int top = 10;
        for (TAlignment alignment : {taLeftJustify, taRightJustify, taCenter}) {
            auto edit = form->Add<TkelEdit>(panel, 10, top, 190, 22);
            edit->SetFlat(alignment != taCenter);
            edit->SetAlignment(alignment);
            edit->SetText(TEnumTraits<TAlignment>::Names[alignment]);
            top += 28;
        }
        auto combo = form->Add<TkelComboBox>(panel, 10, top, 190, 24);
        combo->SetStyle(csOwnerDrawFixed);
        combo->SetImageList(images);
        combo->SetFlat(true);
        for (const char* text : {"Red", "Green", "Blue"})
            combo->Items()->Add(text);
        combo->SetItemIndex(1);
        auto list = form->Add<TkelImageListBox>(panel, 10, top + 34, 190, 96);
        list->SetItemHeight(24);
        list->SetImageList(images);
        for (const char* text : {"Red square", "Green square", "Blue square"})
            list->Items()->Add(text);
        list->SetItemIndex(1);
    };
    column(0, bdLeftToRight);
    column(210, bdRightToLeft);
    ShowForm();
    EXPECT_TRUE(guitest::SaveWindowScreenshot(form->Handle(), "KelEditsRightToLeft"));
}

TEST_F(KelEdits, ClassesAreMadeByNameWithTheirDefaults) {
    RegisterKelControls();
    RegisterKelControls();  // twice is harmless
    for (const char* name : {"TkelGroupBox", "TkelEdit", "TkelComboBox", "TkelImageListBox", "TkelImage",
                             "TkelScrollBar", "TkelDatePanel"}) {
        TComponent* made = CreateComponentByName(name, form);
        ASSERT_NE(made, nullptr) << name;
        EXPECT_EQ(made->ClassInfo().Name, std::string(name));
    }
    auto panel = static_cast<TkelDatePanel*>(CreateComponentByName("TkelDatePanel", form));
    SetPropText(*panel, *FindPropInfo(*panel, "ControlsLayout"), "dplYMD");
    EXPECT_EQ(panel->ControlsLayout(), dplYMD);
    EXPECT_EQ(GetOrdProp(*panel, "ControlsSpace"), 8);
    SetFloatProp(*panel, "Date", EncodeKelDate(1999, 12, 31));
    EXPECT_EQ(panel->YearEdit()->GetText(), "1999");
    auto bar = static_cast<TkelScrollBar*>(CreateComponentByName("TkelScrollBar", form));
    EXPECT_EQ(GetPropText(*bar, *FindPropInfo(*bar, "Kind")), "sbVertical");
    EXPECT_EQ(GetOrdProp(*bar, "TimerInterval"), 100);
}
