#include "KvButton.h"
#include "KvStatus.h"

#include "ActnList.h"
#include "ComCtrls.h"
#include "ExtCtrls.h"
#include "FormStream.h"
#include "GuiTestSupport.h"
#include "Handles.h"
#include "PaintTestSupport.h"
#include "ScreenshotSupport.h"
#include "StdCtrls.h"
#include "Themes.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

class KvButtonTest : public GuiTest {
protected:
    void TearDown() override {
        ThemeServices().SetThemesDisabledForTests(false);
        GuiTest::TearDown();
    }
};

using guitest::BoxOfColour;
using guitest::Edges;
using guitest::PixelAt;
using guitest::Render;
using guitest::SolidBitmap;
using guitest::Sys;

COLORREF Rgb(TColor color) { return ColorToRGB(color); }

bool SamePixels(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return false;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            if (PixelAt(a, x, y) != PixelAt(b, x, y))
                return false;
    return true;
}


const COLORREF kRed = RGB(255, 0, 0);

// A list of 16 x 16 solid cells, one per colour.
TImageList* ColourCells(TComponent* owner, std::initializer_list<TColor> colours) {
    auto list = new TImageList(owner);
    list->SetSize(16, 16);
    for (TColor colour : colours)
        list->AddMasked(*SolidBitmap(16, 16, colour, clFuchsia), clFuchsia);
    return list;
}

TRect Shifted(TRect rect, int dx, int dy) {
    OffsetRect(&rect, dx, dy);
    return rect;
}

// Both painting paths: visual themes as the system has them, then the classic look.
void ForBothPaths(const std::function<void(bool themed)>& check) {
    for (bool classic : {false, true}) {
        ThemeServices().SetThemesDisabledForTests(classic);
        SCOPED_TRACE(classic ? "classic" : "themes as the system has them");
        check(ThemeServices().ThemesEnabled());
    }
    ThemeServices().SetThemesDisabledForTests(false);
}

// ---- kinds, glyph cells and layout -----------------------------------------------------------

TEST_F(KvButtonTest, KindsSetCaptionResultDefaultsAndReadBackAsCustomOnceChanged) {
    TTestForm form;
    auto button = form.Add<TKvBitBtn>(&form, 10, 10, 90, 30);
    EXPECT_EQ(button->Kind(), bkCustom);
    EXPECT_EQ(button->Margin(), 2);
    EXPECT_EQ(button->Spacing(), 4);
    button->SetKind(bkOK);
    EXPECT_EQ(button->Caption(), "OK");
    EXPECT_EQ(button->ModalResult(), mrOk);
    EXPECT_TRUE(button->Default());
    EXPECT_FALSE(button->Cancel());
    EXPECT_EQ(button->NumGlyphs(), 2);
    ASSERT_FALSE(button->Glyph()->Empty());  // the program's own two-cell strip
    EXPECT_EQ(button->Glyph()->Width(), 2 * button->Glyph()->Height());
    EXPECT_EQ(button->Kind(), bkOK);
    ThemeServices().SetThemesDisabledForTests(true);
    form.Show();
    auto picture = Render(*button);
    const TRect glyphRect = button->GlyphRect();
    const COLORREF face = Sys(COLOR_BTNFACE);
    int inked = 0;
    for (int y = glyphRect.top; y < glyphRect.bottom; ++y)
        for (int x = glyphRect.left; x < glyphRect.right; ++x)
            inked += PixelAt(*picture, x, y) != face;
    EXPECT_GT(inked, 0);
    EXPECT_EQ(PixelAt(*picture, glyphRect.left, glyphRect.bottom - 1), face);  // transparent corner
    form.Hide();
    // Kind-dependent storage: what the kind gives is not stored.
    for (const char* name : {"Default", "Cancel", "ModalResult", "NumGlyphs", "Glyph", "Caption"})
        EXPECT_FALSE(GetPropInfo(*button, name).Stored(*button)) << name;
    button->SetCaption("Fine");
    EXPECT_TRUE(GetPropInfo(*button, "Caption").Stored(*button));
    EXPECT_EQ(button->Kind(), bkOK);

    button->SetModalResult(mrCancel);
    EXPECT_EQ(button->Kind(), bkCustom);
    EXPECT_TRUE(GetPropInfo(*button, "ModalResult").Stored(*button));
    button->SetKind(bkOK);
    button->SetModalResult(mrIgnore);
    button->SetDefault(false);
    button->SetKind(bkOK);  // the kind it left is applied again
    EXPECT_EQ(button->ModalResult(), mrOk);
    EXPECT_TRUE(button->Default());
    button->SetModalResult(mrCancel);

    SetPropText(*button, GetPropInfo(*button, "Kind"), "bkNo");
    EXPECT_EQ(button->Caption(), "&No");
    EXPECT_TRUE(button->Cancel());
    EXPECT_FALSE(button->Default());
    EXPECT_EQ(button->ModalResult(), mrNo);
    button->SetDefault(true);
    EXPECT_EQ(button->Kind(), bkCustom);
    button->SetKind(bkAll);
    EXPECT_EQ(button->ModalResult(), mrAll);
    auto glyph = SolidBitmap(16, 16, clRed, clFuchsia);
    button->SetGlyph(glyph.get());  // a glyph of its own
    EXPECT_EQ(button->Kind(), bkCustom);
    EXPECT_EQ(button->Caption(), "&All");
}

TEST_F(KvButtonTest, GlyphCellsFollowTheBitmapShapeAndEmptyBitmapsDivideNothing) {
    TTestForm form;
    auto button = form.Add<TKvBitBtn>(&form, 10, 10, 90, 30);
    struct {
        int width, height, cells;
    } cases[] = {{64, 16, 4}, {16, 16, 1}, {32, 16, 2}, {80, 16, 1}, {48, 16, 3}, {20, 16, 3}};
    for (auto c : cases) {
        auto glyph = SolidBitmap(c.width, c.height, clRed, clFuchsia);
        button->SetGlyph(glyph.get());
        EXPECT_EQ(button->NumGlyphs(), c.cells) << c.width << "x" << c.height;
    }
    // Not a whole multiple: the count stays; the cell is a third of the width.
    EXPECT_EQ(button->GlyphSize().cx, 20 / 3);
    button->SetNumGlyphs(0);
    EXPECT_EQ(button->NumGlyphs(), 1);
    button->SetNumGlyphs(9);
    EXPECT_EQ(button->NumGlyphs(), 4);

    form.Show();
    for (auto size : {SIZE{0, 0}, SIZE{0, 16}, SIZE{16, 0}}) {
        TBitmap empty(size.cx, size.cy);
        button->SetGlyph(&empty);
        EXPECT_EQ(button->NumGlyphs(), 4) << size.cx << "x" << size.cy;
        EXPECT_EQ(button->GlyphSize().cx, 0);
        EXPECT_EQ(Edges(button->TextRect()), Edges(MakeRect(5, 5, 85, 25)));  // no room for a glyph
        Render(*button);
    }
    button->SetGlyph(nullptr);
    EXPECT_TRUE(button->Glyph()->Empty());
    form.Hide();
}

TEST_F(KvButtonTest, MarginSpacingAndLayoutPlaceTextAndGlyph) {
    TTestForm form;
    auto button = form.Add<TKvBitBtn>(&form, 10, 10, 120, 32);
    auto glyph = SolidBitmap(16, 16, clRed, clFuchsia);
    button->SetGlyph(glyph.get());
    button->SetCaption("Scan");
    form.Show();
    const int width = button->ClientWidth();
    ForBothPaths([&](bool) {
        button->SetLayout(blGlyphRight);
        button->SetMargin(8);
        button->SetSpacing(6);
        EXPECT_EQ(button->TextRect().right, width - 5 - (8 + 16 + 6));
        EXPECT_EQ(Edges(button->GlyphRect()), Edges(MakeBounds(width - 5 - 8 - 16, 5 + (22 - 16 + 1) / 2, 16, 16)));
        auto picture = Render(*button);
        EXPECT_EQ(Edges(BoxOfColour(*picture, kRed)), Edges(button->GlyphRect()));
        EXPECT_NE(PixelAt(*picture, button->GlyphRect().left, button->GlyphRect().bottom - 1), kRed);  // transparent

        button->SetLayout(blGlyphLeft);
        button->SetMargin(2);
        button->SetSpacing(4);
        EXPECT_EQ(button->TextRect().left, 5 + 2 + 16 + 4);
        EXPECT_EQ(button->GlyphRect().left, 5 + 2);
        button->SetMargin(-5);  // refused
        EXPECT_EQ(button->Margin(), 2);

        button->SetLayout(blGlyphTop);
        EXPECT_EQ(button->TextRect().top, 5 + 2 + 16 + 4);
        EXPECT_EQ(button->GlyphRect().left, 5 + (110 - 16 + 1) / 2);
    });

    // An image list takes over the glyph's size; its changes repaint; its going clears it.
    auto images = new TImageList(&form);
    images->SetSize(20, 20);
    button->SetLayout(blGlyphLeft);
    button->SetImages(images);
    button->SetImageIndex(0);
    EXPECT_EQ(button->GlyphSize().cx, 20);
    button->Update();
    RECT dirty{};
    EXPECT_FALSE(GetUpdateRect(button->Handle(), &dirty, FALSE));
    auto strip = SolidBitmap(20, 20, clBlue, clFuchsia);
    images->AddMasked(*strip, clFuchsia);
    EXPECT_TRUE(GetUpdateRect(button->Handle(), &dirty, FALSE));
    auto picture = Render(*button);
    EXPECT_EQ(Edges(BoxOfColour(*picture, RGB(0, 0, 255))), Edges(button->GlyphRect()));
    button->SetEnabled(false);  // the list's own disabled rendering, or the chosen image
    EXPECT_GE(BoxOfColour(*Render(*button), RGB(0, 0, 255)).left, button->ClientWidth());
    images->AddMasked(*SolidBitmap(20, 20, clLime, clFuchsia), clFuchsia);
    button->SetDisabledIndex(1);
    EXPECT_EQ(Edges(BoxOfColour(*Render(*button), RGB(0, 255, 0))), Edges(button->GlyphRect()));
    button->SetEnabled(true);
    FreeComponent(images);
    EXPECT_EQ(button->Images(), nullptr);
    EXPECT_EQ(button->GlyphSize().cx, 16);

    // A disabled button shows the strip's second cell.
    auto cells = SolidBitmap(32, 16, clRed, clFuchsia);
    cells->Canvas().Brush().SetColor(clBlue);
    cells->Canvas().FillRect(MakeRect(16, 0, 32, 16));
    button->SetGlyph(cells.get());
    button->SetEnabled(false);
    EXPECT_EQ(BoxOfColour(*Render(*button), kRed).left, button->ClientWidth());
    EXPECT_EQ(Edges(BoxOfColour(*Render(*button), RGB(0, 0, 255))), Edges(button->GlyphRect()));
    form.Hide();
}

// ---- painting ------------------------------------------------------------------------------

TEST_F(KvButtonTest, ClassicFaceShowsDefaultPressedDownAndDisabledStates) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 200, 10, 80, 22);
    auto button = form.Add<TKvButton>(&form, 10, 10, 80, 30);
    button->SetCaption("Go");
    form.ShowForm();
    edit->SetFocus();
    const COLORREF face = Sys(COLOR_BTNFACE);
    auto up = Render(*button);
    EXPECT_EQ(PixelAt(*up, 0, 0), Sys(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(PixelAt(*up, 79, 29), Sys(COLOR_3DDKSHADOW));
    EXPECT_EQ(PixelAt(*up, 6, 15), face);
    const TRect inside = MakeRect(3, 3, 77, 27);
    TRect text = BoxOfColour(*up, Sys(COLOR_BTNTEXT), inside);
    const TRect inner = button->TextRect();
    EXPECT_GE(text.left, inner.left);
    EXPECT_LE(text.right, inner.right);
    EXPECT_GT(text.right, text.left);

    // Default: the window frame around it.
    button->SetDefault(true);
    EXPECT_TRUE(button->ActiveDefault());
    auto framed = Render(*button);
    EXPECT_EQ(PixelAt(*framed, 0, 0), Sys(COLOR_WINDOWFRAME));
    EXPECT_EQ(PixelAt(*framed, 1, 1), Sys(COLOR_BTNHIGHLIGHT));

    // Disabled: the caption embossed, no text colour left.
    button->SetDefault(false);
    button->SetEnabled(false);
    auto disabled = Render(*button);
    EXPECT_FALSE(IsWindowEnabled(button->Handle()));
    const TRect shadow = BoxOfColour(*disabled, Sys(COLOR_BTNSHADOW), inside);
    EXPECT_EQ(Edges(BoxOfColour(*disabled, Sys(COLOR_BTNHIGHLIGHT), inside)), Edges(Shifted(shadow, 1, 1)));
    EXPECT_LT(shadow.left, shadow.right);
    const TRect dark = BoxOfColour(*disabled, Sys(COLOR_BTNTEXT), inside);
    EXPECT_GE(dark.left, dark.right);  // no caption in the text colour
    button->SetEnabled(true);

    // Down in a group: lowered with the checkerboard inside.
    button->SetGroupIndex(1);
    button->SetDown(true);
    auto down = Render(*button);
    EXPECT_EQ(PixelAt(*down, 0, 0), Sys(COLOR_BTNSHADOW));
    const COLORREF dots = Sys(COLOR_BTNFACE) == RGB(192, 192, 192) ? RGB(128, 128, 128) : RGB(192, 192, 192);
    EXPECT_EQ(PixelAt(*down, 4, 4), dots);
    EXPECT_EQ(PixelAt(*down, 5, 4), face);
    button->SetShowDownPattern(false);
    EXPECT_EQ(PixelAt(*Render(*button), 4, 4), face);
    form.Hide();
}

TEST_F(KvButtonTest, CaptionStylesAlignmentsAndFocusBorder) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 200, 10, 80, 22);
    auto button = form.Add<TKvButton>(&form, 10, 10, 120, 60);
    button->SetCaption("Wide");
    form.ShowForm();
    edit->SetFocus();
    const TRect inside = MakeRect(5, 5, 115, 55);
    auto ink = [&](COLORREF colour) { return BoxOfColour(*Render(*button), colour, inside); };
    const COLORREF text = Sys(COLOR_BTNTEXT);
    const TRect centred = ink(text);
    ASSERT_LT(centred.left, centred.right);

    button->SetAlignment(taLeftJustify);
    const TRect left = ink(text);
    button->SetAlignment(taRightJustify);
    const TRect right = ink(text);
    EXPECT_LT(left.left, centred.left);
    EXPECT_LT(centred.left, right.left);
    EXPECT_LE(right.right, button->TextRect().right);
    button->SetAlignment(taCenter);
    button->SetAlignmentVertical(avTop);
    const TRect top = ink(text);
    button->SetAlignmentVertical(avBottom);
    const TRect bottom = ink(text);
    EXPECT_LT(top.top, centred.top);
    EXPECT_LT(centred.top, bottom.top);
    EXPECT_LE(bottom.bottom, button->TextRect().bottom);
    button->SetAlignmentVertical(avCenter);

    // Shadow copies behind the face, in their own colours.
    button->SetTextShadowColor(clRed);
    button->SetTextHighlightColor(clBlue);
    button->SetTextStyle(tsShadow);
    const TRect shadow = ink(RGB(255, 0, 0));
    EXPECT_EQ(shadow.right, centred.right + 2);
    EXPECT_EQ(shadow.bottom, centred.bottom + 2);
    button->SetTextStyle(tsRaised);
    EXPECT_EQ(ink(RGB(0, 0, 255)).left, centred.left - 1);
    EXPECT_EQ(ink(RGB(255, 0, 0)).right, centred.right + 1);
    button->SetLightTextStyle(true);
    EXPECT_GE(ink(RGB(255, 0, 0)).left, ink(RGB(255, 0, 0)).right);  // no shadow copy
    button->SetTextStyle(tsRecessed);
    EXPECT_EQ(ink(RGB(0, 0, 255)).right, centred.right + 1);
    button->SetTextStyle(tsNormal);

    // The dotted border of the focused button lies on the focus rectangle (inset by 4).
    button->SetFocus();
    auto focused = Render(*button);
    button->SetShowFocusRect(false);
    auto plain = Render(*button);
    int changed = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 120; ++x)
            if (PixelAt(*focused, x, y) != PixelAt(*plain, x, y)) {
                ++changed;
                EXPECT_TRUE(x == 4 || x == 115 || y == 4 || y == 55) << x << "," << y;
            }
    EXPECT_GT(changed, 50);
    form.Hide();
}

TEST_F(KvButtonTest, RightToLeftCaptionsGoRightAndCastTheirShadowStraightDown) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    auto button = form.Add<TKvButton>(&form, 10, 10, 120, 60);
    button->SetCaption("Wide");
    button->SetTextShadowColor(clRed);
    form.ShowForm();
    const TRect inside = MakeRect(5, 5, 115, 55);
    auto ink = [&](COLORREF colour) { return BoxOfColour(*Render(*button), colour, inside); };
    const COLORREF text = Sys(COLOR_BTNTEXT);
    const int depth = button->TextShadowDepth();
    button->SetAlignment(taRightJustify);
    const TRect right = ink(text);
    button->SetAlignment(taLeftJustify);
    const TRect left = ink(text);
    ASSERT_LT(left.right, right.left);

    // Right to left the caption goes right, its face moved left by the shadow depth.
    button->SetBiDiMode(bdRightToLeftReadingOnly);
    EXPECT_EQ(Edges(ink(text)), Edges(Shifted(right, -depth, 0)));
    button->SetTextStyle(tsShadow);
    EXPECT_EQ(Edges(ink(text)), Edges(Shifted(right, -depth, 0)));
    EXPECT_EQ(Edges(ink(RGB(255, 0, 0))), Edges(Shifted(right, 0, depth)));
    button->SetBiDiMode(bdLeftToRight);
    EXPECT_EQ(Edges(ink(RGB(255, 0, 0))), Edges(Shifted(left, depth, depth)));
    form.Hide();
}

TEST_F(KvButtonTest, HotTrackFaceFollowsTheMouseAndIsTransparent) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    form.SetColor(clTeal);
    auto button = form.Add<TKvButton>(&form, 10, 10, 80, 30);
    SetPropText(*button, GetPropInfo(*button, "HotTrack"), "True");
    EXPECT_TRUE(button->Transparent());
    form.Show();
    auto plain = Render(*button);
    EXPECT_EQ(PixelAt(*plain, 0, 0), Rgb(clTeal));  // the parent shows in the rounded corner
    EXPECT_EQ(PixelAt(*plain, 0, 10), Rgb(DarkerColor(clBtnFace, 20)));
    EXPECT_EQ(PixelAt(*plain, 79, 10), Rgb(LighterColor(clBtnFace, 20)));
    EXPECT_EQ(PixelAt(*plain, 1, 10), Sys(COLOR_3DDKSHADOW));
    EXPECT_EQ(PixelAt(*plain, 10, 2), Rgb(LighterColor(clBtnFace, 20)));
    EXPECT_EQ(PixelAt(*plain, 10, 27), Rgb(DarkerColor(clBtnFace, 30)));

    button->Perform(CM_MOUSEENTER);
    EXPECT_TRUE(button->MouseOver());
    int hue = ColorToHls(clHighlight).Hue;
    hue = hue < 120 ? hue + 120 : hue - 120;
    const TColor c1 = HlsToColor(hue, 220, 180);
    auto hot = Render(*button);
    EXPECT_EQ(PixelAt(*hot, 2, 10), Rgb(c1));
    EXPECT_EQ(PixelAt(*hot, 77, 10), Rgb(DarkerColor(c1, 30)));
    button->SetHotTrackColorType(htctActual);
    button->SetHotTrackColor(clRed);
    EXPECT_EQ(PixelAt(*Render(*button), 2, 10), Rgb(LighterColor(clRed, 30)));
    button->Perform(CM_MOUSELEAVE);
    EXPECT_EQ(PixelAt(*Render(*button), 2, 10), Sys(COLOR_BTNFACE));

    // Older form files name it FrameFlat.
    TFormProperty old{"FrameFlat", {}};
    old.Value.Type = TFormValueType::False;
    EXPECT_TRUE(button->ReadOldProperty(old));
    EXPECT_FALSE(button->HotTrack());
    EXPECT_FALSE(button->Transparent());
    old.Name = "FrameColor";
    EXPECT_FALSE(button->ReadOldProperty(old));
    form.Hide();
}

// ---- input ---------------------------------------------------------------------------------

TEST_F(KvButtonTest, PressMovingOutAndBackTogglesThePressedLookAndClicksOnlyInside) {
    ForBothPaths([&](bool themed) {
        TTestForm form;
        auto button = form.Add<TKvButton>(&form, 10, 10, 80, 30);
        button->SetCaption("&Go");
        int clicks = 0;
        button->OnClick = [&](TObject*) { ++clicks; };
        form.ShowForm();
        HWND window = button->Handle();
        button->SetFocus();
        SendMessageA(window, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));  // the mouse is over it from here on
        auto up = Render(*button);
        SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        EXPECT_TRUE(button->Pressed());
        EXPECT_EQ(button->State(), bsDown);
        auto pressed = Render(*button);
        EXPECT_FALSE(SamePixels(*up, *pressed));
        if (!themed) {
            EXPECT_EQ(PixelAt(*up, 1, 1), Sys(COLOR_BTNHIGHLIGHT));
            EXPECT_EQ(PixelAt(*pressed, 1, 1), Sys(COLOR_BTNSHADOW));
        }
        SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(85, 5));
        EXPECT_FALSE(button->Pressed());
        EXPECT_TRUE(SamePixels(*Render(*button), *up));
        SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(40, 29));
        EXPECT_TRUE(button->Pressed());
        EXPECT_TRUE(SamePixels(*Render(*button), *pressed));
        EXPECT_EQ(clicks, 0);
        SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(40, 20));
        EXPECT_EQ(clicks, 1);
        EXPECT_FALSE(button->Pressed());

        SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(-3, 5));
        SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(-3, 5));
        EXPECT_EQ(clicks, 1);

        // Space, BM_CLICK and the accelerator.
        SendMessageA(window, WM_KEYDOWN, VK_SPACE, 0);
        EXPECT_TRUE(button->Pressed());
        SendMessageA(window, WM_KEYUP, VK_SPACE, 0);
        EXPECT_EQ(clicks, 2);
        EXPECT_EQ(SendMessageA(window, BM_CLICK, 0, 0), 0);
        EXPECT_EQ(button->Perform(CM_DIALOGCHAR, 'g'), 1);
        EXPECT_EQ(button->Perform(CM_DIALOGCHAR, 'o'), 0);
        EXPECT_EQ(clicks, 4);
        button->SetEnabled(false);
        SendMessageA(window, BM_CLICK, 0, 0);
        EXPECT_EQ(clicks, 4);
        EXPECT_EQ(GetWindowTextLengthA(window), 3);
        form.Hide();
    });
}

TEST_F(KvButtonTest, GroupedButtonsAreExclusiveAndShareAllowAllUp) {
    TTestForm form;
    auto panel = form.Add<TPanel>(&form, 0, 200, 200, 50);
    TKvButton* group[3];
    for (int i = 0; i < 3; ++i) {
        group[i] = form.Add<TKvButton>(&form, 10 + 80 * i, 10, 75, 25);
        SetPropText(*group[i], GetPropInfo(*group[i], "GroupIndex"), "1");
    }
    auto elsewhere = form.Add<TKvButton>(panel, 10, 10, 75, 25);  // same index, other parent
    elsewhere->SetGroupIndex(1);
    elsewhere->SetDown(true);
    auto single = form.Add<TKvButton>(&form, 10, 100, 75, 25);
    single->SetDown(true);  // only grouped buttons go down
    EXPECT_FALSE(single->Down());
    form.Show();
    auto downs = [&] {
        std::string state;
        for (TKvButton* button : {group[0], group[1], group[2], elsewhere})
            state += button->Down() ? 'D' : '-';
        return state;
    };
    SendMessageA(group[0]->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(downs(), "D--D");
    EXPECT_EQ(group[0]->State(), bsExclusive);
    SendMessageA(group[1]->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(downs(), "-D-D");
    SendMessageA(group[1]->Handle(), BM_CLICK, 0, 0);  // without AllowAllUp it stays down
    group[1]->SetDown(false);
    EXPECT_EQ(downs(), "-D-D");

    group[2]->SetAllowAllUp(true);
    EXPECT_TRUE(group[0]->AllowAllUp());
    EXPECT_TRUE(group[1]->AllowAllUp());
    EXPECT_FALSE(elsewhere->AllowAllUp());
    SendMessageA(group[1]->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(downs(), "---D");
    group[2]->SetDown(true);
    EXPECT_EQ(downs(), "--DD");
    // Only a sibling's message counts; anything else sent to the window is ignored.
    SendMessageA(group[2]->Handle(), CM_KVBUTTONPRESSED, 1, 12345);
    group[0]->Perform(CM_KVBUTTONPRESSED, 1, reinterpret_cast<LPARAM>(elsewhere));
    EXPECT_EQ(downs(), "--DD");
    form.Hide();
}

TEST_F(KvButtonTest, EnterAndEscapeEndShowModalThroughDefaultAndCancel) {
    for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
        TTestForm form;
        auto edit = form.Add<TEdit>(&form, 10, 10, 100, 22);
        auto ok = form.Add<TKvButton>(&form, 10, 50, 75, 25);
        auto cancel = form.Add<TKvButton>(&form, 100, 50, 75, 25);
        ok->SetModalResult(mrOk);
        ok->SetDefault(true);
        cancel->SetModalResult(mrCancel);
        cancel->SetCancel(true);
        int clicks = 0;
        ok->OnClick = cancel->OnClick = [&](TObject*) { ++clicks; };
        form.SetActiveControl(edit);
        form.OnShow = [&](TObject*) { PostMessageA(edit->Handle(), WM_KEYDOWN, key, 0); };
        EXPECT_EQ(form.ShowModal(), key == VK_RETURN ? mrOk : mrCancel);
        EXPECT_EQ(clicks, 1);
    }
}

TEST_F(KvButtonTest, FocusedButtonIsTheActiveDefaultAndTakesEnter) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 100, 22);
    auto ok = form.Add<TKvButton>(&form, 10, 50, 75, 25);
    auto retry = form.Add<TKvBitBtn>(&form, 100, 50, 75, 25);
    auto native = form.Add<TButton>(&form, 200, 50, 75, 25);
    ok->SetModalResult(mrOk);
    ok->SetDefault(true);
    retry->SetKind(bkRetry);
    int okClicks = 0;
    ok->OnClick = [&](TObject*) { ++okClicks; };
    form.ShowForm();
    edit->SetFocus();
    EXPECT_TRUE(ok->ActiveDefault());
    retry->SetFocus();
    EXPECT_FALSE(ok->ActiveDefault());
    EXPECT_TRUE(retry->ActiveDefault());
    native->SetFocus();
    EXPECT_FALSE(ok->ActiveDefault());
    EXPECT_FALSE(retry->ActiveDefault());
    edit->SetFocus();
    ok->SetDefault(false);
    EXPECT_FALSE(ok->ActiveDefault());
    ok->SetDefault(true);
    EXPECT_TRUE(ok->ActiveDefault());
    form.Hide();

    form.SetActiveControl(retry);
    form.OnShow = [&](TObject*) { PostMessageA(retry->Handle(), WM_KEYDOWN, VK_RETURN, 0); };
    EXPECT_EQ(form.ShowModal(), mrRetry);
    EXPECT_EQ(okClicks, 0);
}

TEST_F(KvButtonTest, AcceleratorClicksAsEnterDoesWithoutTogglingTheGroupOrThePressedFrame) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 100, 22);
    auto grouped = form.Add<TKvButton>(&form, 10, 50, 75, 25);
    grouped->SetCaption("&Grouped");
    grouped->SetGroupIndex(1);
    auto plain = form.Add<TKvButton>(&form, 100, 50, 75, 25);
    plain->SetCaption("&Plain");
    plain->SetModalResult(mrRetry);
    int groupedClicks = 0;
    COLORREF cornerWhileClicking = 0;
    grouped->OnClick = [&](TObject*) { ++groupedClicks; };
    plain->OnClick = [&](TObject*) { cornerWhileClicking = PixelAt(*Render(*plain), 0, 0); };
    form.ShowForm();
    edit->SetFocus();
    auto altKey = [&](char key) {
        PostMessageA(edit->Handle(), WM_SYSCHAR, static_cast<WPARAM>(key), 1 << 29);
        Application.ProcessMessages();
    };
    altKey('g');
    EXPECT_EQ(groupedClicks, 1);
    EXPECT_FALSE(grouped->Down());
    altKey('p');
    EXPECT_EQ(form.ModalResult(), mrRetry);
    EXPECT_EQ(cornerWhileClicking, Sys(COLOR_BTNHIGHLIGHT));  // the face as it was, no click frame
    EXPECT_TRUE(edit->Focused());
    form.Hide();
}

// ---- actions -------------------------------------------------------------------------------

TEST_F(KvButtonTest, ToolButtonFollowsItsActionsCheckedAndImageWhileLinked) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    auto action = new TAction(&form);
    action->SetImageIndex(1);
    action->SetChecked(true);
    int executed = 0;
    action->OnExecute = [&](TObject*) { ++executed; };
    auto tool = form.Add<TKvToolButton>(&form, 10, 10, 25, 25);
    tool->SetImages(ColourCells(&form, {clRed, clLime, clBlue}));
    tool->SetTransparent(false);
    tool->SetAction(action);
    EXPECT_TRUE(tool->Down());  // in step from the start
    form.ShowForm();
    auto centre = [&] { return PixelAt(*Render(*tool), 12, 12); };
    EXPECT_EQ(centre(), RGB(0, 255, 0));

    action->SetChecked(false);
    EXPECT_FALSE(tool->Down());
    action->SetChecked(true);
    EXPECT_EQ(tool->State(), bsExclusive);
    action->SetChecked(false);
    EXPECT_FALSE(tool->Down());
    action->SetImageIndex(2);
    EXPECT_EQ(centre(), RGB(0, 0, 255));
    SendMessageA(tool->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(executed, 1);
    // An image of the button's own unlinks the image; Checked still follows.
    tool->SetImageIndex(0);
    action->SetImageIndex(1);
    action->SetChecked(true);
    EXPECT_EQ(tool->ImageIndex(), 0);
    EXPECT_TRUE(tool->Down());

    // A loading action leaves an image and Down the button has; a button without one takes the action's.
    auto loading = new TAction(&form);
    loading->BeginLoading();
    loading->SetImageIndex(2);
    tool->SetAction(loading);
    EXPECT_EQ(tool->ImageIndex(), 0);
    EXPECT_TRUE(tool->Down());
    auto bit = form.Add<TKvBitBtn>(&form, 50, 10, 75, 25);
    bit->SetImageIndex(1);
    bit->SetAction(loading);
    EXPECT_EQ(bit->ImageIndex(), 1);
    bit->SetImageIndex(-1);
    bit->SetAction(loading);
    EXPECT_EQ(bit->ImageIndex(), 2);
    form.Hide();
}

// ---- menu button -----------------------------------------------------------------------------

class TPopupRecorder {
public:
    TPopupRecorder() {
        previous_ = SetTrackPopupMenuHook([this](HMENU, UINT, int x, int y, HWND) -> UINT {
            Points.push_back(TPoint{x, y});
            return 0;
        });
    }
    ~TPopupRecorder() { SetTrackPopupMenuHook(previous_); }
    TPopupRecorder(const TPopupRecorder&) = delete;
    TPopupRecorder& operator=(const TPopupRecorder&) = delete;
    std::vector<TPoint> Points;

private:
    TTrackPopupMenuFunction previous_;
};

int MenuTextWidth(const std::string& text) {
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    TUniqueGdi<HFONT> font(CreateFontIndirectA(&metrics.lfMenuFont));
    TWindowDc dc(nullptr);
    TSelection selection(dc.Get(), font.Get());
    RECT box{};
    DrawTextA(dc.Get(), text.data(), static_cast<int>(text.size()), &box, DT_CALCRECT | DT_SINGLELINE);
    return box.right - box.left;
}

TEST_F(KvButtonTest, MenuButtonDropsItsMenuAndASecondPressSoonAfterOnlyClosesIt) {
    TPopupRecorder popups;
    TTestForm form;
    auto menu = new TPopupMenu(&form);
    for (const char* caption : {"Tick all", "Tick the selected keys of this list"}) {
        auto item = new TMenuItem(&form);
        item->SetCaption(caption);
        menu->Items()->Add(item);
    }
    auto button = form.Add<TKvMenuButton>(&form, 10, 10, 110, 25);
    EXPECT_EQ(button->Width(), 110);
    button->SetDropDownMenu(menu);
    int clicks = 0;
    std::vector<TObject*> dropSenders;
    button->OnClick = [&](TObject*) { ++clicks; };
    button->OnDropDown = [&](TObject* sender) { dropSenders.push_back(sender); };
    form.ShowForm();
    HWND window = button->Handle();

    auto press = [&] {
        SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    };
    const DWORD start = GetTickCount();
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    ASSERT_EQ(popups.Points.size(), 1u);
    EXPECT_EQ(menu->PopupComponent(), button);
    const TPoint corner = button->ClientToScreen(TPoint{0, 25});
    EXPECT_EQ(popups.Points[0].x, corner.x);
    EXPECT_EQ(popups.Points[0].y, corner.y);
    EXPECT_FALSE(button->Pressed());  // released at once
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    press();  // within 100 ms: closes only
    const size_t afterSecond = popups.Points.size();
    const bool quick = GetTickCount() - start < 100;  // a stalled machine proves nothing here
    press();  // the closing press cleared the time: drops again
    if (quick) {
        EXPECT_EQ(afterSecond, 1u);
        EXPECT_EQ(popups.Points.size(), 2u);
    }
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(dropSenders, std::vector<TObject*>(popups.Points.size(), menu));

    // F4 drops it too; near the monitor's right edge it aligns with the button's right edge.
    const int menuWidth = MenuTextWidth("Tick the selected keys of this list") + 56;
    form.SetLeft(Screen.Width() - 150);
    const TPoint moved = button->ClientToScreen(TPoint{0, 25});
    const size_t before = popups.Points.size();
    SendMessageA(window, WM_KEYDOWN, VK_F4, 0);
    ASSERT_EQ(popups.Points.size(), before + 1);
    ASSERT_GT(moved.x + menuWidth, Screen.Width());
    EXPECT_EQ(popups.Points.back().x, moved.x - (menuWidth - 110));

    // The arrow: a triangle 12 pixels from the right, the caption kept clear of it.
    ThemeServices().SetThemesDisabledForTests(true);
    const COLORREF arrow = Sys(COLOR_WINDOWTEXT);
    EXPECT_EQ(PixelAt(*Render(*button), 110 - 12, 25 / 2 + 1), arrow);
    EXPECT_EQ(button->TextRect().right, 110 - 5 - 14);
    button->SetShowArrow(false);
    EXPECT_EQ(button->TextRect().right, 110 - 5);
    EXPECT_NE(PixelAt(*Render(*button), 110 - 12, 25 / 2 + 1), arrow);

    // Without a menu it is a plain button; the menu going clears the reference.
    FreeComponent(menu);
    EXPECT_EQ(button->DropDownMenu(), nullptr);
    SendMessageA(window, BM_CLICK, 0, 0);
    SendMessageA(window, BM_CLICK, 0, 0);
    EXPECT_EQ(clicks, 2);
    form.Hide();
}

// ---- tool button -----------------------------------------------------------------------------

TEST_F(KvButtonTest, ToolButtonsClickGroupAndPickImagesWithoutTakingTheFocus) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 100, 100, 80, 22);
    auto images = new TImageList(&form);
    images->SetSize(16, 16);
    for (TColor colour : {clRed, clLime, clBlue, clYellow})
        images->AddMasked(*SolidBitmap(16, 16, colour, clFuchsia), clFuchsia);
    auto tool = form.Add<TKvToolButton>(&form, 10, 10, 25, 25);
    auto other = form.Add<TKvToolButton>(&form, 40, 10, 25, 25);
    tool->SetImages(images);
    tool->SetImageIndex(0);
    tool->SetHotIndex(1);
    tool->SetDownIndex(2);
    tool->SetDisabledIndex(3);
    tool->SetTransparent(false);
    int clicks = 0;
    tool->OnClick = [&](TObject*) { ++clicks; };
    form.ShowForm();
    edit->SetFocus();
    HWND window = tool->Handle();
    EXPECT_EQ(GetWindowLongPtrA(window, GWL_STYLE) & WS_TABSTOP, 0);
    auto centre = [&] { return PixelAt(*Render(*tool), 12, 12); };
    EXPECT_EQ(centre(), kRed);
    EXPECT_EQ(PixelAt(*Render(*tool), 0, 0), Sys(COLOR_BTNFACE));  // flat: no frame while up
    tool->Perform(CM_MOUSEENTER);
    EXPECT_TRUE(tool->Hot());
    EXPECT_EQ(centre(), RGB(0, 255, 0));
    EXPECT_EQ(PixelAt(*Render(*tool), 0, 0), Sys(COLOR_BTNHIGHLIGHT));
    tool->Perform(CM_MOUSELEAVE);

    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(tool->State(), bsDown);
    EXPECT_EQ(centre(), RGB(0, 0, 255));
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(30, 5));
    EXPECT_EQ(tool->State(), bsUp);
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(6, 5));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(6, 5));
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(edit->Focused());

    tool->SetGroupIndex(3);
    other->SetGroupIndex(3);
    SendMessageA(window, BM_CLICK, 0, 0);
    EXPECT_TRUE(tool->Down());
    EXPECT_EQ(tool->State(), bsExclusive);
    SendMessageA(other->Handle(), BM_CLICK, 0, 0);
    EXPECT_FALSE(tool->Down());
    EXPECT_TRUE(other->Down());
    EXPECT_EQ(clicks, 2);

    // A press lost to another window does not click.
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(tool->State(), bsDown);
    SetCapture(edit->Handle());
    EXPECT_EQ(tool->State(), bsUp);
    ReleaseCapture();
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_FALSE(tool->Down());
    EXPECT_EQ(clicks, 2);

    tool->SetEnabled(false);
    EXPECT_EQ(centre(), RGB(255, 255, 0));
    FreeComponent(images);
    EXPECT_EQ(tool->Images(), nullptr);
    form.Hide();
}

// A parent that imposes layout, size and captions on its tool buttons.
class TToolbarLike : public TCustomControl {
public:
    using TCustomControl::TCustomControl;
    void WndProc(TMessage& message) override {
        switch (message.Msg) {
        case CM_KVTOOLBARBUTTONLAYOUT:
            message.Result = blGlyphTop + 1;
            return;
        case CM_KVTOOLBARBUTTONSIZE:
            message.Result = MAKELRESULT(40, 36);
            return;
        case CM_KVTOOLBARSHOWCAPTION:
            message.Result = 2;
            return;
        default:
            TCustomControl::WndProc(message);
        }
    }
};

TEST_F(KvButtonTest, ToolButtonsTakeWhatTheirToolbarImposesUnlessTheyOptOut) {
    TTestForm form;
    auto bar = form.Add<TToolbarLike>(&form, 0, 0, 300, 40);
    auto plain = form.Add<TKvToolButton>(&form, 0, 50, 25, 25);
    EXPECT_EQ(plain->Layout(), blGlyphLeft);
    EXPECT_FALSE(plain->ShowCaption());
    auto imposed = form.Add<TKvToolButton>(bar, 0, 0, 25, 25);
    EXPECT_EQ(imposed->Layout(), blGlyphTop);
    EXPECT_TRUE(imposed->ShowCaption());
    imposed->SetBounds(0, 0, 25, 25);
    imposed->Loaded();
    EXPECT_EQ(imposed->Width(), 40);
    EXPECT_EQ(imposed->Height(), 36);
    auto own = new TKvToolButton(&form);
    own->SetUseToolbarButtonSize(false);
    own->SetUseToolbarButtonLayout(false);
    own->SetParent(bar);
    EXPECT_EQ(own->Width(), 25);
    EXPECT_EQ(own->Layout(), blGlyphLeft);
    EXPECT_TRUE(own->ShowCaption());
}

TEST_F(KvButtonTest, ToolButtonWithoutImagesOfItsOwnDrawsFromItsToolbar) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    auto barImages = ColourCells(&form, {clRed});
    auto ownImages = ColourCells(&form, {clBlue});
    auto bar = form.Add<TToolBar>(&form, 0, 0, 300, 30);
    bar->SetImages(barImages);
    auto tool = form.Add<TKvToolButton>(bar, 2, 2, 25, 25);
    auto loose = form.Add<TKvToolButton>(&form, 10, 50, 25, 25);
    for (TKvToolButton* button : {tool, loose}) {
        button->SetImageIndex(0);
        button->SetTransparent(false);
    }
    form.ShowForm();
    auto centre = [](TKvToolButton* button) { return PixelAt(*Render(*button), 12, 12); };
    EXPECT_EQ(centre(tool), kRed);
    EXPECT_EQ(centre(loose), Sys(COLOR_BTNFACE));
    tool->SetImages(ownImages);
    EXPECT_EQ(centre(tool), RGB(0, 0, 255));
    tool->SetImages(nullptr);
    EXPECT_EQ(centre(tool), kRed);

    // A change of the bar's list repaints its buttons.
    auto invalid = [&] { return GetUpdateRect(tool->Handle(), nullptr, FALSE) != FALSE; };
    ValidateRect(tool->Handle(), nullptr);
    barImages->AddMasked(*SolidBitmap(16, 16, clLime, clFuchsia), clFuchsia);
    EXPECT_TRUE(invalid());
    ValidateRect(tool->Handle(), nullptr);
    bar->SetImages(ownImages);
    EXPECT_TRUE(invalid());
    EXPECT_EQ(centre(tool), RGB(0, 0, 255));
    FreeComponent(ownImages);
    EXPECT_EQ(bar->Images(), nullptr);
    EXPECT_EQ(centre(tool), Sys(COLOR_BTNFACE));
    form.Hide();
}

// A toolbar of captioned tool buttons drawing from the bar's images: up, down through its action,
// hot, and disabled (embossed).
TEST_F(KvButtonTest, ToolbarPicture) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    form.SetClientSize(320, 80);
    auto bar = form.Add<TToolBar>(&form, 0, 0, 320, 30);
    bar->SetImages(ColourCells(&form, {clRed, clGreen, clBlue, clPurple}));
    auto checked = new TAction(&form);
    checked->SetCaption("Undo");
    checked->SetImageIndex(1);
    TKvToolButton* buttons[4];
    const char* captions[] = {"Scan", nullptr, "Help", "Close"};
    for (int i = 0; i < 4; ++i) {
        buttons[i] = form.Add<TKvToolButton>(bar, 2 + 76 * i, 2, 74, 26);
        buttons[i]->SetShowCaption(true);
        if (captions[i]) {
            buttons[i]->SetCaption(captions[i]);
            buttons[i]->SetImageIndex(i);
        } else {
            buttons[i]->SetAction(checked);
        }
    }
    checked->SetChecked(true);
    buttons[3]->SetEnabled(false);
    form.ShowForm();
    buttons[2]->Perform(CM_MOUSEENTER);
    EXPECT_TRUE(buttons[1]->Down());
    EXPECT_TRUE(guitest::SaveWindowScreenshot(form.Handle(), "KvToolBar"));
    form.Hide();
}

TEST_F(KvButtonTest, DropDownToolButtonOpensItsMenuFromTheArrowWithoutClicking) {
    TPopupRecorder popups;
    TTestForm form;
    auto menu = new TPopupMenu(&form);
    auto tool = form.Add<TKvToolButton>(&form, 10, 10, 40, 25);
    tool->SetToolStyle(tsDropDown);
    tool->SetDropDownMenu(menu);
    int clicks = 0;
    tool->OnClick = [&](TObject*) { ++clicks; };
    form.ShowForm();
    HWND window = tool->Handle();
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(35, 5));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(35, 5));
    EXPECT_EQ(popups.Points.size(), 1u);
    EXPECT_EQ(clicks, 0);
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(popups.Points.size(), 1u);
    EXPECT_EQ(clicks, 1);
    form.Hide();
}

// ---- freed by their own handlers -------------------------------------------------------------

template <class C>
void CheckFreedByItsClick(const std::function<void(HWND)>& press) {
    using TKept = TKeptAfterFree<C>;
    TTestForm form;
    auto button = form.Add<TKept>(&form, 10, 10, 75, 25);
    int mouseUps = 0;
    button->OnMouseUp = [&](TObject*, TMouseButton, TShiftState, int, int) { ++mouseUps; };
    button->OnClick = [](TObject* sender) { FreeComponent(static_cast<TComponent*>(sender)); };
    form.ShowForm();
    press(button->Handle());
    EXPECT_EQ(form.ControlCount(), 0);
    EXPECT_EQ(mouseUps, 0);
    EXPECT_TRUE(TKept::FreedMemoryUntouched());
    form.Hide();
}

TEST_F(KvButtonTest, AButtonFreedByItsOwnClickIsNotTouchedAgain) {
    auto mouse = [](HWND window) {
        SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    };
    auto space = [](HWND window) {
        SendMessageA(window, WM_KEYDOWN, VK_SPACE, 0);
        SendMessageA(window, WM_KEYUP, VK_SPACE, 0);
    };
    auto enter = [](HWND window) {
        auto button = static_cast<TKvButton*>(TWinControl::FindControl(window));
        button->SetDefault(true);
        GetParentForm(button)->Perform(CM_DIALOGKEY, VK_RETURN, 0);
    };
    CheckFreedByItsClick<TKvButton>(mouse);
    CheckFreedByItsClick<TKvButton>(space);
    CheckFreedByItsClick<TKvButton>(enter);
    CheckFreedByItsClick<TKvBitBtn>(mouse);
    CheckFreedByItsClick<TKvMenuButton>(mouse);
    CheckFreedByItsClick<TKvToolButton>(mouse);
}

// ---- an image list freed under its users -----------------------------------------------------

// Shows a list's images the way the controls do, and notes what the list looks like when it
// tells of its end.
class TImagesUser : public TComponent {
public:
    TImagesUser(TComponent* owner, TImageList* list) : TComponent(owner), list_(list) {
        list_->FreeNotification(this);
        list_->RegisterChanges(this, [this](TObject*) { ++changes; });
    }
    int changes = 0;
    int countAtEnd = -1;
    bool destroyingAtEnd = false;

protected:
    void Notification(TComponent* component, TOperation operation) override {
        TComponent::Notification(component, operation);
        if (operation != opRemove || component != list_)
            return;
        countAtEnd = list_->Count();
        destroyingAtEnd = list_->IsDestroying();
        list_->UnRegisterChanges(this);
        list_ = nullptr;
    }

private:
    TImageList* list_;
};

// Each user unregisters from the list while it is told of the end: the list is still whole
// then (its images and listeners), so nothing reaches freed memory (run under warn+heap to see).
TEST_F(KvButtonTest, AnImageListFreedUnderAPaneAndButtonsTellsThemWhileWhole) {
    TTestForm form;
    auto pane = form.Add<TKvGlyphStatus>(&form, 10, 10, 120, 22);
    auto bitBtn = form.Add<TKvBitBtn>(&form, 10, 40, 90, 25);
    auto tool = form.Add<TKvToolButton>(&form, 110, 40, 25, 25);
    auto images = ColourCells(&form, {clRed, clLime, clBlue});
    auto first = new TImagesUser(&form, images);
    pane->SetImages(images);
    pane->SetImageIndex(0);
    bitBtn->SetImages(images);
    bitBtn->SetImageIndex(1);
    tool->SetImages(images);
    tool->SetImageIndex(2);
    auto last = new TImagesUser(&form, images);
    form.ShowForm();
    images->AddMasked(*SolidBitmap(16, 16, clYellow, clFuchsia), clFuchsia);
    EXPECT_EQ(first->changes, 1);
    EXPECT_EQ(last->changes, 1);

    FreeComponent(images);
    for (TImagesUser* user : {first, last}) {
        EXPECT_EQ(user->countAtEnd, 4);
        EXPECT_TRUE(user->destroyingAtEnd);
    }
    EXPECT_EQ(pane->Images(), nullptr);
    EXPECT_EQ(bitBtn->Images(), nullptr);
    EXPECT_EQ(tool->Images(), nullptr);
    // They paint without the list.
    EXPECT_GE(BoxOfColour(*Render(*bitBtn), RGB(0, 255, 0)).left, bitBtn->ClientWidth());
    Render(*tool);
    pane->Invalidate();
    UpdateWindow(form.Handle());

    // A list the form frees before its users (made after them) tells them the same way.
    auto shared = ColourCells(&form, {clRed});
    pane->SetImages(shared);
    bitBtn->SetImages(shared);
    tool->SetImages(shared);
    form.Hide();
}

}  // namespace
