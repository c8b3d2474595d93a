#include "KvLabel.h"
#include "KvSpnEdt.h"

#include "../framework/GuiTestSupport.h"
#include "../framework/PaintTestSupport.h"
#include "KvGraphics.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

class KvLabelTest : public GuiTest {};
class KvURLLabelTest : public GuiTest {};
class KvRapidFireButtonTest : public GuiTest {};

// What a window paints (with its windowless children), on a DIB.
struct TPaintedImage {
    TPaintedImage(TWinControl& window, int width, int height) : bitmap(width, height, pf32bit) {
        window.Perform(WM_PAINT, reinterpret_cast<WPARAM>(bitmap.Canvas().Handle()), 0);
    }
    COLORREF Pixel(int x, int y) { return ColorToRGB(bitmap.Canvas().Pixels(x, y)); }
    // The smallest rectangle of area's pixels that are (or, with match false, are not) color.
    TRect Box(const TRect& area, COLORREF color, bool match = true) {
        TRect box{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                if ((Pixel(x, y) == color) == match)
                    box = TRect{std::min<LONG>(box.left, x), std::min<LONG>(box.top, y),
                                std::max<LONG>(box.right, x + 1), std::max<LONG>(box.bottom, y + 1)};
        return box.left == INT_MAX ? TRect{} : box;
    }
    bool Has(const TRect& area, COLORREF color) { return Box(area, color).right > 0; }
    TBitmap bitmap;
};

using guitest::Sys;

SIZE Measured(const TFont& font, const std::string& text) { return guitest::TextSize(font, text, DT_EXPANDTABS); }

}  // namespace

// ---- angle, rotation, fonts, bounds ---------------------------------------------------------

TEST_F(KvLabelTest, AnglesAreNormalisedAndRotationAndFontFollow) {
    for (auto [in, out] : std::vector<std::pair<int, int>>{{-30, 330}, {450, 90}, {-390, 330}, {-720, 0}})
        EXPECT_EQ(NormalizeAngle(in), out) << in;
    TTestForm form;
    auto label = form.Add<TKvLabel>(&form, 10, 10, 80, 20);
    EXPECT_FALSE(label->AutoSize());
    label->Font()->SetName("MS Sans Serif");
    ASSERT_FALSE(IsTrueTypeFont(*label->Font()));
    label->SetAngle(-30);
    EXPECT_EQ(std::tuple(label->Angle(), label->Rotation(), label->Font()->Name()), std::tuple(330, roFlat, "Verdana"));
    label->SetAngle(450);
    EXPECT_EQ(label->Angle(), 90);
    label->Font()->SetName("MS Sans Serif");  // a bitmap font cannot turn
    EXPECT_EQ(label->Angle(), 0);

    // While loading the font stays; Loaded turns roNone into roFlat and picks the TrueType face.
    auto loaded = new TKvLabel(&form);
    EXPECT_EQ(std::pair(loaded->Width(), loaded->Height()), std::pair(65, 17));
    loaded->BeginLoading();
    loaded->Font()->SetName("MS Sans Serif");
    loaded->SetAngle(-765);
    EXPECT_EQ(loaded->Font()->Name(), "MS Sans Serif");
    loaded->Loaded();
    EXPECT_EQ(std::tuple(loaded->Angle(), loaded->Rotation(), loaded->Font()->Name()),
              std::tuple(315, roFlat, "Verdana"));

    // Older forms' "FrameSides" (a list of strings) is read and dropped.
    TFormProperty old{"FrameSides", {}};
    old.Value.Type = TFormValueType::List;
    old.Value.List.resize(1);
    old.Value.List[0].Type = TFormValueType::String;
    EXPECT_TRUE(label->ReadOldProperty(old));
    old.Name = "FrameStyle";
    EXPECT_FALSE(label->ReadOldProperty(old));
}

TEST_F(KvLabelTest, AutoSizeAddsBordersShadowAndTurnsTheBox) {
    TTestForm form;
    auto label = form.Add<TKvLabel>(&form, 10, 10, 5, 5);
    label->Font()->SetName("Arial");
    label->Font()->SetSize(12);
    label->SetCaption("Registry keys");
    label->SetAutoSize(true);
    const SIZE text = Measured(*label->Font(), "Registry keys");
    auto size = [&] { return std::pair<LONG, LONG>(label->Width(), label->Height()); };
    EXPECT_EQ(size(), std::pair(text.cx, text.cy));
    // Outer fsLowered 2, inner fsFlat 1, BorderWidth 3 on the chosen sides; fsPopup counts BevelWidth.
    label->SetBorderOuter(fsLowered);
    label->SetBorderInner(fsFlat);
    label->SetBorderWidth(3);
    EXPECT_EQ(size(), std::pair(text.cx + 12, text.cy + 12));
    label->SetBorderSides({sdLeft, sdBottom});
    EXPECT_EQ(size(), std::pair(text.cx + 6, text.cy + 6));
    label->SetBorderSides(kAllSides);
    label->SetBorderInner(fsPopup);
    label->SetBevelWidth(4);
    EXPECT_EQ(label->Width(), text.cx + 18);
    label->SetBorderInner(fsNone);
    label->SetBorderOuter(fsNone);
    label->SetBorderWidth(0);
    // A shadow adds its depth, or half of it before the box turns.
    label->SetTextStyle(tsShadow);
    label->SetShadowDepth(5);
    EXPECT_EQ(size(), std::pair(text.cx + 5, text.cy + 5));
    label->SetAngle(90);
    EXPECT_EQ(size(), std::pair(text.cy + 2, text.cx + 2));
    label->SetAngle(45);
    const LONG diagonal = std::lround(std::sqrt(0.5) * (text.cx + 2 + text.cy + 2));
    EXPECT_EQ(size(), std::pair(diagonal, diagonal));
}

// ---- painting --------------------------------------------------------------------------------

TEST_F(KvLabelTest, TextStylesDrawTheirCopiesAtTheirOffsets) {
    TTestForm form;
    auto label = form.Add<TKvLabel>(&form, 20, 20, 200, 60);
    label->Font()->SetName("MS Sans Serif");
    label->Font()->SetSize(14);
    label->SetCaption("HIVE");
    label->SetColor(clBtnFace);
    const COLORREF face = Sys(COLOR_WINDOWTEXT), light = Sys(COLOR_BTNHIGHLIGHT), dark = Sys(COLOR_BTNSHADOW);
    ASSERT_TRUE(face != light && face != dark && light != dark && Sys(COLOR_BTNFACE) != light);
    const TRect area = label->BoundsRect();
    const TRect text = TPaintedImage(form, 300, 200).Box(area, face);
    ASSERT_GT(text.right, 0);

    auto expectShift = [&](TTextStyle style, bool lightStyle, COLORREF color, int shift, bool present = true) {
        label->SetTextStyle(style);
        label->SetLightTextStyle(lightStyle);
        TPaintedImage image(form, 300, 200);
        const TRect copy = image.Box(area, color);
        SCOPED_TRACE(testing::Message() << "style " << style << " light " << lightStyle << " shift " << shift);
        ASSERT_EQ(copy.right > 0, present);
        // The face covers the copy's near side; its far side shows where it went.
        if (shift > 0) {
            EXPECT_EQ(std::pair(copy.right, copy.bottom), std::pair(text.right + shift, text.bottom + shift));
        } else if (shift < 0) {
            EXPECT_EQ(std::pair(copy.left, copy.top), std::pair(text.left + shift, text.top + shift));
        }
        EXPECT_EQ(image.Box(area, face).left, text.left);
    };
    expectShift(tsRaised, false, dark, 1);
    expectShift(tsRaised, false, light, -1);
    expectShift(tsRaised, true, dark, 0, false);
    expectShift(tsRecessed, false, light, 1);
    expectShift(tsRecessed, false, dark, -1);
    label->SetShadowDepth(4);
    expectShift(tsShadow, false, dark, 4);

    // A turned label runs upward: its text is taller than wide.
    label->SetTextStyle(tsNormal);
    label->SetBounds(20, 20, 60, 150);
    label->SetAngle(90);
    const TRect turned = TPaintedImage(form, 300, 200).Box(label->BoundsRect(), Sys(COLOR_BTNFACE), false);
    EXPECT_GT(turned.bottom - turned.top, 2 * (turned.right - turned.left));
}

TEST_F(KvLabelTest, BordersAndCurvedTextStayInsideEvenWhenTooNarrow) {
    TTestForm form;
    auto label = form.Add<TKvLabel>(&form, 20, 20, 120, 120);
    label->SetCaption("Curved text");
    label->SetColor(clWindow);
    label->SetBorderOuter(fsFlat);
    label->SetFlatColor(clBtnShadow);
    label->SetRotation(roCurve);
    label->SetAngle(60);
    TPaintedImage image(form, 300, 200);
    EXPECT_EQ(std::pair(image.Pixel(20, 20), image.Pixel(139, 139)),
              std::pair(Sys(COLOR_BTNSHADOW), Sys(COLOR_BTNSHADOW)));
    EXPECT_TRUE(image.Has(MakeRect(22, 22, 138, 138), Sys(COLOR_WINDOWTEXT)));
    // Narrower than its borders: no radius to walk along, nothing is drawn, nothing hangs.
    for (TCenterPoint point : {cpCenter, cpUpperLeft, cpLowerCenter}) {
        label->SetCenterPoint(point);
        label->SetBounds(20, 20, 6, 40);
        label->SetBorderWidth(3);
        EXPECT_FALSE(TPaintedImage(form, 300, 200).Has(label->BoundsRect(), Sys(COLOR_WINDOWTEXT))) << point;
    }
}

TEST_F(KvLabelTest, BlinkingPaintsThePhaseColourAndRegistrationFollowsLifetime) {
    ASSERT_EQ(TKvBlinkingControlsList::Instance(), nullptr);
    {
        TTestForm form;
        auto label = form.Add<TKvLabel>(&form, 10, 10, 120, 30);
        auto still = form.Add<TKvLabel>(&form, 10, 60, 120, 30);
        TKvBlinkingControlsList* list = TKvBlinkingControlsList::Instance();
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->Count(), 2);
        label->SetCaption("WWWW");
        label->Font()->SetName("MS Sans Serif");
        label->SetBlinking(true);
        EXPECT_EQ(label->Perform(CM_KVBLINKQUERY), 1);
        EXPECT_EQ(still->Perform(CM_KVBLINKQUERY), 0);

        const TRect area = label->BoundsRect();
        for (int i = 0; i < 2; ++i) {
            list->Tick();
            TPaintedImage image(form, 200, 100);
            const bool on = list->PhaseOn();
            EXPECT_EQ(image.Has(area, Sys(COLOR_HIGHLIGHT)), on);
            EXPECT_EQ(image.Has(area, Sys(COLOR_WINDOWTEXT)), !on);
        }
        if (!list->PhaseOn())
            list->Tick();
        label->SetBlinking(false);
        EXPECT_EQ(label->ColorInUse(), label->Font()->Color());
    }
    EXPECT_EQ(TKvBlinkingControlsList::Instance(), nullptr);
}

TEST_F(KvLabelTest, FlyByColourReplacesTheFontColourAroundTheEvents) {
    TTestForm form;
    auto label = form.Add<TKvLabel>(&form, 50, 40, 100, 30);
    label->Font()->SetColor(clGreen);
    std::vector<std::string> log;
    label->OnMouseEnter = [&](TObject*) { log.push_back("enter " + ColorToString(label->Font()->Color())); };
    label->OnMouseLeave = [&](TObject*) { log.push_back("leave " + ColorToString(label->Font()->Color())); };
    form.ShowForm();
    HWND window = form.Handle();
    auto pass = [&] {
        SendMessageA(window, WM_MOUSEMOVE, 0, MAKELPARAM(60, 50));
        SendMessageA(window, WM_MOUSEMOVE, 0, MAKELPARAM(300, 250));
    };
    pass();
    label->SetFlyByEnabled(true);
    label->SetFlyByColor(clRed);
    pass();
    const std::vector<std::string> expected = {"enter clGreen", "leave clGreen", "enter clRed", "leave clGreen"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(label->ColorInUse(), clGreen);
    form.Hide();
}

// ---- address label ---------------------------------------------------------------------------

namespace {

// Records shell opens (answered with succeed) and commands run, through the two seams.
struct TShellRecorder {
    bool succeed = true;
    std::vector<std::string> opened, run;
    TShellOpenFunction previousShell = SetShellOpenHook(
        [this](HWND, const std::string& verb, const std::string& file, const std::string& parameters,
               const std::string&, int show) {
            opened.push_back(verb + " " + file + "|" + parameters + "|" + std::to_string(show));
            return succeed;
        });
    TKvRunCommandFunction previousRun = SetKvRunCommandHook([this](const std::string& command, UINT show) {
        run.push_back(command + "|" + std::to_string(show));
        return 33u;
    });
    ~TShellRecorder() { SetShellOpenHook(previousShell), SetKvRunCommandHook(previousRun); }
};

}  // namespace

TEST_F(KvURLLabelTest, ClickOpensTrimmedTargetAndMarksItVisited) {
    TShellRecorder shell;
    TTestForm form;
    auto label = form.Add<TKvURLLabel>(&form, 50, 40, 100, 20);
    EXPECT_TRUE(label->Font()->Style().Contains(fsUnderline));
    EXPECT_EQ(label->Font()->Color(), clHighlight);
    EXPECT_EQ(label->Cursor(), crKvHandCursor);  // the test program carries the hand cursor
    EXPECT_EQ(Screen.Cursors(crKvHandCursor), LoadCursorA(GetModuleHandleA(nullptr), "KVCOMMON_HANDCURSOR"));
    EXPECT_NE(Screen.Cursors(crKvHandCursor), nullptr);
    size_t clicks = 0;
    label->OnClick = [&](TObject*) { EXPECT_EQ(shell.opened.size(), clicks++); };  // before the open
    form.ShowForm();
    auto click = [&] {
        SendMessageA(form.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(60, 45));
        SendMessageA(form.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(60, 45));
    };

    label->SetCaption("  caption.example  ");
    click();
    label->SetURL(" \thttp://127.0.0.1/page ");
    click();
    const std::vector<std::string> opened = {"Open caption.example||1", "Open http://127.0.0.1/page||1"};
    EXPECT_EQ(shell.opened, opened);
    EXPECT_EQ(std::pair(label->Visited(), label->Font()->Color()), std::pair(true, clPurple));
    label->SetVisitedColor(clGreen);
    EXPECT_EQ(label->Font()->Color(), clGreen);
    label->SetVisited(false);
    label->SetUnvisitedColor(clRed);
    EXPECT_EQ(label->Font()->Color(), clRed);

    // Nothing to open: only the event.
    label->SetURL("   ");
    label->SetCaption("  ");
    click();
    EXPECT_EQ(std::pair(shell.opened.size(), clicks), std::pair(size_t{2}, size_t{3}));
    form.Hide();
}

TEST_F(KvURLLabelTest, FailedOpenOfAPageOffersOpenWithOnlyForHtm) {
    TShellRecorder shell;
    shell.succeed = false;
    TTestForm form;
    auto label = form.Add<TKvURLLabel>(&form, 0, 0, 10, 10);
    for (const char* target : {"help\\index.htm", "PAGE.HtM ", "page.html", "notes.txt", "http://127.0.0.1/x"}) {
        label->SetURL(target);
        label->Click();
    }
    const std::string command = "RunDLL32.exe Shell32.dll,OpenAs_RunDLL *.htm|" + std::to_string(SW_SHOWNORMAL);
    EXPECT_EQ(shell.run, (std::vector<std::string>{command, command}));
    EXPECT_EQ(shell.opened.size(), 5u);
    EXPECT_EQ(std::pair(label->Visited(), label->Font()->Color()), std::pair(false, clHighlight));
}

// ---- rapid-fire button -----------------------------------------------------------------------

namespace {

class TTestRapidFire : public TKvRapidFireButton {
public:
    using TKvRapidFireButton::RepeatTimer;
    using TKvRapidFireButton::TimerExpired;
    using TKvRapidFireButton::TKvRapidFireButton;
};

}  // namespace

TEST_F(KvRapidFireButtonTest, RepeatsAfterTheInitialDelayAndClicksOnRelease) {
    TTestForm form;
    auto button = form.Add<TTestRapidFire>(&form, 10, 10, 40, 30);
    int clicks = 0;
    button->OnClick = [&](TObject*) { ++clicks; };
    form.ShowForm();
    HWND window = button->Handle();
    EXPECT_EQ(button->RepeatTimer(), nullptr);
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    ASSERT_NE(button->RepeatTimer(), nullptr);
    EXPECT_EQ(std::tuple(button->RepeatTimer()->Enabled(), button->RepeatTimer()->Interval(), clicks),
              std::tuple(true, 400u, 0));
    for (int i = 1; i <= 3; ++i) {
        button->TimerExpired(nullptr);
        EXPECT_EQ(std::pair(clicks, button->RepeatTimer()->Interval()), std::pair(i, 100u));
    }
    // Off the button (the capture stays) it holds its fire.
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(100, 100));
    button->TimerExpired(nullptr);
    EXPECT_EQ(clicks, 3);
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(clicks, 4);
    EXPECT_FALSE(button->RepeatTimer()->Enabled());
    button->TimerExpired(nullptr);  // a tick already queued after the release
    EXPECT_EQ(clicks, 4);

    // With the real timer: short delays, messages pumped until the clicks came. The pointer
    // rests on the button, since the system's own moves reach the captured window too.
    const TPoint inside = button->ClientToScreen(TPoint{5, 5});
    SetCursorPos(inside.x, inside.y);
    clicks = 0;
    button->SetInitialDelay(30);
    button->SetDelay(10);
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    guitest::PumpUntil([&] { return clicks >= 3; });
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(500, 500));
    EXPECT_EQ(clicks, 3);
    EXPECT_FALSE(button->RepeatTimer()->Enabled());
    form.Hide();
}

TEST_F(KvRapidFireButtonTest, ScrollArrowGlyphsAndFocusRectangle) {
    TTestForm form;
    auto button = form.Add<TTestRapidFire>(&form, 10, 10, 40, 30);
    const COLORREF arrow = Sys(COLOR_BTNTEXT);
    // Pixels of arrow colour in a row or column of the glyph.
    auto count = [&](bool column, int at) {
        TBitmap* glyph = button->Glyph();
        int n = 0;
        const int length = column ? glyph->Height() : glyph->Width();
        for (int i = 0; i < length; ++i)
            n += ColorToRGB(column ? glyph->Canvas().Pixels(at, i) : glyph->Canvas().Pixels(i, at)) == arrow;
        return n;
    };
    // The arrow narrows along columns (left, right) or rows (up, down), towards the start or end.
    for (auto [style, column, pointsToStart] : {std::tuple(scsLeft, true, true), std::tuple(scsRight, true, false),
                                                std::tuple(scsUp, false, true), std::tuple(scsDown, false, false)}) {
        button->SetScrollStyle(style);
        SCOPED_TRACE(style);
        ASSERT_EQ(std::pair(button->Glyph()->Width(), button->Glyph()->Height()), std::pair(9, column ? 9 : 6));
        std::vector<int> counts;
        for (int i = 0; i < (column ? 9 : 6); ++i)
            if (int n = count(column, i))
                counts.push_back(n);
        ASSERT_GE(counts.size(), 2u);
        EXPECT_EQ(counts.front() < counts.back(), pointsToStart);
        // A whole triangle was cut: from its point of one pixel to a base as wide as it is long.
        EXPECT_EQ(std::min(counts.front(), counts.back()), 1);
        EXPECT_EQ(std::max(counts.front(), counts.back()), static_cast<int>(2 * counts.size() - 1));
    }
    button->SetEnabled(false);
    EXPECT_EQ(count(true, 4), 0);  // the inactive arrow is greyed

    button->SetEnabled(true);
    form.ShowForm();
    const TRect client = button->ClientRect();
    TPaintedImage plain(*button, client.right, client.bottom);
    SetFocus(button->Handle());
    ASSERT_TRUE(button->Focused());
    TPaintedImage focused(*button, client.right, client.bottom);
    // Only the outline of the client area less 3 pixels changes.
    const int right = client.right - 4, bottom = client.bottom - 4;
    int changed = 0, elsewhere = 0;
    for (int y = 0; y < client.bottom; ++y)
        for (int x = 0; x < client.right; ++x) {
            const bool outline =
                (x == 3 || y == 3 || x == right || y == bottom) && x >= 3 && y >= 3 && x <= right && y <= bottom;
            if (plain.Pixel(x, y) != focused.Pixel(x, y))
                ++(outline ? changed : elsewhere);
        }
    EXPECT_GT(changed, 0);
    EXPECT_EQ(elsewhere, 0);
    form.Hide();
}
