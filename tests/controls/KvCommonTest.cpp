#include "KvCommon.h"

#include "ExtCtrls.h"
#include "GuiTestSupport.h"
#include "PaintTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>

namespace {

using guitest::BoxOfColour;
using guitest::Near;
using guitest::PixelAt;
using guitest::Sys;

// A white 24-bit canvas to draw on.
struct TPaper {
    explicit TPaper(int width = 20, int height = 12) : Bitmap(width, height) {
        Bitmap.Canvas().Brush().SetColor(clWhite);
        Bitmap.Canvas().FillRect(MakeRect(0, 0, width, height));
    }
    TCanvas& Canvas() { return Bitmap.Canvas(); }
    COLORREF At(int x, int y) const { return PixelAt(Bitmap, x, y); }
    TRect All() const { return MakeRect(0, 0, Bitmap.Width(), Bitmap.Height()); }
    TBitmap Bitmap;
};

constexpr COLORREF kWhite = RGB(255, 255, 255);

bool SameRect(const TRect& a, const TRect& b) { return EqualRect(&a, &b) != 0; }

TEST(KvColors, HueLuminanceSaturationArithmetic) {
    const THls red = ColorToHls(clRed);
    EXPECT_EQ(red.Hue, 0);
    EXPECT_EQ(red.Luminance, 120);
    EXPECT_EQ(red.Saturation, 240);
    EXPECT_EQ(ColorToHls(clGray).Saturation, 0);

    // System colours resolve through the system first.
    const THls face = ColorToHls(clBtnFace);
    const THls faceRgb = ColorToHls(RGBToColor(Sys(COLOR_BTNFACE)));
    EXPECT_EQ(face.Luminance, faceRgb.Luminance);
    EXPECT_EQ(face.Hue, faceRgb.Hue);

    for (TColor color : {clRed, clLime, clBlue, clTeal, clPurple, clSkyBlue, clCream, clGray, clMoneyGreen}) {
        const THls hls = ColorToHls(color);
        EXPECT_TRUE(Near(HlsToColor(hls.Hue, hls.Saturation, hls.Luminance), ColorToRGB(color), 4))
            << std::hex << color;
    }
    EXPECT_EQ(HlsToColor(160, 240, 0), clBlack);
}

TEST(KvColors, DarkerLighterAndAdjustClampAtTheEnds) {
    EXPECT_EQ(DarkerColor(clBtnFace, 255), clBlack);
    for (TColor color : {clRed, clBtnFace, clNavy, clBlack, clWhite, clTeal})
        EXPECT_EQ(LighterColor(color, 255), clWhite) << std::hex << color;
    EXPECT_EQ(AdjustColor(clBtnShadow, 0), clBtnShadow);
    EXPECT_EQ(AdjustColor(clTeal, -30), DarkerColor(clTeal, 30));
    EXPECT_EQ(AdjustColor(clTeal, 30), LighterColor(clTeal, 30));
    // No colour of their own: they resolve to the button face and the window colour.
    EXPECT_EQ(DarkerColor(clDefault, 0), RGBToColor(Sys(COLOR_BTNFACE)));
    EXPECT_EQ(LighterColor(clNone, 0), RGBToColor(Sys(COLOR_WINDOW)));
}

TEST(KvDrawing, SidesDrawOnlyTheChosenEdges) {
    TPaper paper;
    const TRect rect = MakeRect(2, 2, 12, 10);
    const TRect inner = DrawSides(paper.Canvas(), rect, clRed, clBlue, TSides{sdLeft, sdTop});
    EXPECT_TRUE(SameRect(inner, MakeRect(3, 3, 12, 10)));
    EXPECT_EQ(paper.At(2, 5), RGB(255, 0, 0));
    EXPECT_EQ(paper.At(6, 2), RGB(255, 0, 0));
    EXPECT_EQ(paper.At(11, 5), kWhite);
    EXPECT_EQ(paper.At(6, 9), kWhite);

    TPaper all;
    const TRect ring = DrawSides(all.Canvas(), rect, clRed, clBlue, kAllSides);
    EXPECT_TRUE(SameRect(ring, MakeRect(3, 3, 11, 9)));
    EXPECT_EQ(all.At(11, 5), RGB(0, 0, 255));
    EXPECT_EQ(all.At(6, 9), RGB(0, 0, 255));
    EXPECT_EQ(all.At(11, 9), RGB(0, 0, 255));
}

TEST(KvDrawing, BevelOfNoWidthDrawsNothingAndAWideOneStopsWhenEmpty) {
    TPaper paper;
    const TRect rect = MakeRect(1, 1, 9, 9);
    EXPECT_TRUE(SameRect(DrawBevel(paper.Canvas(), rect, clRed, clRed, 0, kAllSides), rect));
    EXPECT_TRUE(SameRect(DrawBevel(paper.Canvas(), rect, clRed, clRed, -3, kAllSides), rect));
    EXPECT_EQ(paper.At(1, 1), kWhite);

    const TRect two = DrawBevel(paper.Canvas(), rect, clRed, clBlue, 2, kAllSides);
    EXPECT_TRUE(SameRect(two, MakeRect(3, 3, 7, 7)));
    EXPECT_EQ(paper.At(2, 4), RGB(255, 0, 0));
    EXPECT_EQ(paper.At(3, 4), kWhite);

    const TRect gone = DrawBevel(paper.Canvas(), rect, clRed, clBlue, 1 << 30, kAllSides);
    EXPECT_TRUE(IsRectEmpty(&gone));
}

TEST(KvDrawing, BorderStylesUseTheirSystemColours) {
    struct TRing {
        TFrameStyle Style;
        int OuterUL, OuterLR, InnerUL, InnerLR;  // -1: no inner ring
    };
    const TRing rings[] = {
        {fsFlat, COLOR_3DDKSHADOW, COLOR_3DDKSHADOW, -1, -1},
        {fsStatus, COLOR_BTNSHADOW, COLOR_BTNHIGHLIGHT, -1, -1},
        {fsPopup, COLOR_BTNHIGHLIGHT, COLOR_BTNSHADOW, -1, -1},
        {fsFlatBold, COLOR_BTNSHADOW, COLOR_BTNSHADOW, COLOR_BTNSHADOW, COLOR_BTNSHADOW},
        {fsRaised, COLOR_3DLIGHT, COLOR_3DDKSHADOW, COLOR_BTNHIGHLIGHT, COLOR_BTNSHADOW},
        {fsLowered, COLOR_BTNSHADOW, COLOR_BTNHIGHLIGHT, COLOR_3DDKSHADOW, COLOR_3DLIGHT},
        {fsButtonUp, COLOR_BTNHIGHLIGHT, COLOR_3DDKSHADOW, COLOR_3DLIGHT, COLOR_BTNSHADOW},
        {fsButtonDown, COLOR_BTNTEXT, COLOR_BTNTEXT, COLOR_BTNSHADOW, COLOR_BTNSHADOW},
        // Etched: outer and inner line swap their colours on the lower-right sides.
        {fsGroove, COLOR_BTNSHADOW, COLOR_BTNHIGHLIGHT, COLOR_BTNHIGHLIGHT, COLOR_BTNSHADOW},
        {fsBump, COLOR_BTNHIGHLIGHT, COLOR_BTNSHADOW, COLOR_BTNSHADOW, COLOR_BTNHIGHLIGHT},
    };
    for (const TRing& ring : rings) {
        TPaper paper;
        const TRect inner = DrawBorder(paper.Canvas(), paper.All(), ring.Style, kAllSides);
        const int shrink = ring.InnerUL < 0 ? 1 : 2;
        EXPECT_TRUE(SameRect(inner, MakeRect(shrink, shrink, 20 - shrink, 12 - shrink))) << ring.Style;
        EXPECT_EQ(paper.At(0, 6), Sys(ring.OuterUL)) << ring.Style;
        EXPECT_EQ(paper.At(10, 0), Sys(ring.OuterUL)) << ring.Style;
        EXPECT_EQ(paper.At(19, 6), Sys(ring.OuterLR)) << ring.Style;
        EXPECT_EQ(paper.At(10, 11), Sys(ring.OuterLR)) << ring.Style;
        if (ring.InnerUL >= 0) {
            EXPECT_EQ(paper.At(1, 6), Sys(ring.InnerUL)) << ring.Style;
            EXPECT_EQ(paper.At(18, 6), Sys(ring.InnerLR)) << ring.Style;
        }
        EXPECT_EQ(paper.At(10, 6), kWhite) << ring.Style;
    }
    TPaper none;
    EXPECT_TRUE(SameRect(DrawBorder(none.Canvas(), none.All(), fsNone, kAllSides), none.All()));
    EXPECT_EQ(none.At(0, 0), kWhite);
}

TEST(KvDrawing, EtchedBordersShrinkByTwoOnDrawnSidesAndFinishOpenEnds) {
    TPaper paper;
    const TRect inner = DrawBorder(paper.Canvas(), paper.All(), fsGroove, TSides{sdTop});
    EXPECT_TRUE(SameRect(inner, MakeRect(0, 2, 20, 12)));
    // Both lines run the whole width, the open ends included.
    for (int x : {0, 10, 19}) {
        EXPECT_EQ(paper.At(x, 0), Sys(COLOR_BTNSHADOW)) << x;
        EXPECT_EQ(paper.At(x, 1), Sys(COLOR_BTNHIGHLIGHT)) << x;
    }
    EXPECT_EQ(paper.At(10, 2), kWhite);

    TPaper closed;
    DrawBorder(closed.Canvas(), closed.All(), fsBump, kAllSides);
    EXPECT_NE(closed.At(0, 11), kWhite);
    EXPECT_NE(closed.At(19, 0), kWhite);
}

TEST(KvDrawing, ColourBordersUseShadesOfTheColour) {
    TPaper status;
    DrawColorBorder(status.Canvas(), status.All(), clTeal, fsStatus, kAllSides);
    EXPECT_EQ(status.At(0, 6), ColorToRGB(DarkerColor(clTeal, 50)));
    EXPECT_EQ(status.At(19, 6), ColorToRGB(LighterColor(clTeal, 100)));

    TPaper up;
    const TRect inside = DrawColorBorder(up.Canvas(), up.All(), clTeal, fsButtonUp, kAllSides);
    EXPECT_TRUE(SameRect(inside, MakeRect(2, 2, 18, 10)));
    EXPECT_EQ(up.At(0, 6), ColorToRGB(LighterColor(clTeal, 100)));
    EXPECT_EQ(up.At(19, 6), ColorToRGB(DarkerColor(clTeal, 100)));
    EXPECT_EQ(up.At(1, 6), ColorToRGB(LighterColor(clTeal, 40)));

    TPaper down;
    DrawBox(down.Canvas(), down.All(), clTeal, true, kAllSides);
    EXPECT_EQ(down.At(0, 6), ColorToRGB(DarkerColor(clTeal, 100)));
    EXPECT_EQ(down.At(19, 6), ColorToRGB(DarkerColor(clTeal, 100)));
    EXPECT_EQ(down.At(18, 6), ColorToRGB(DarkerColor(clTeal, 50)));
}

TEST(KvDrawing, FrameClearsTwoPixelsThenDrawsTheChosenSides) {
    TPaper paper;
    DrawFrame(paper.Canvas(), 20, 12, false, TSides{sdLeft, sdBottom}, clBlue, clRed, fsFlat);
    EXPECT_EQ(paper.At(0, 5), RGB(0, 0, 255));
    EXPECT_EQ(paper.At(10, 11), RGB(0, 0, 255));
    EXPECT_EQ(paper.At(1, 5), RGB(255, 0, 0));
    EXPECT_EQ(paper.At(19, 5), RGB(255, 0, 0));
    EXPECT_EQ(paper.At(2, 5), kWhite);

    TPaper kept;
    DrawFrame(kept.Canvas(), 20, 12, true, kAllSides, clBlue, clRed, fsFlatBold);
    EXPECT_EQ(kept.At(1, 5), RGB(0, 0, 255));
    EXPECT_EQ(kept.At(2, 5), kWhite);

    TPaper window;
    DrawFrame(window.Canvas(), 20, 12, true, kAllSides, clBlue, clWindow, fsLowered);
    EXPECT_EQ(window.At(0, 5), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(window.At(1, 5), Sys(COLOR_3DDKSHADOW));
}

TEST(KvDrawing, FocusBorderMarksEverySecondPixelInFromTheCorners) {
    TPaper paper(10, 7);
    paper.Canvas().Pen().SetColor(clBlack);
    const TRect inner = DrawFocusBorder(paper.Canvas(), paper.All());
    EXPECT_TRUE(SameRect(inner, MakeRect(1, 1, 9, 6)));
    for (int x = 0; x < 10; ++x) {
        const COLORREF expected = (x % 2 == 1 && x < 9) ? RGB(0, 0, 0) : kWhite;
        EXPECT_EQ(paper.At(x, 0), expected) << x;
        EXPECT_EQ(paper.At(x, 6), expected) << x;
    }
    for (int y = 0; y < 7; ++y) {
        const COLORREF expected = (y % 2 == 1 && y < 6) ? RGB(0, 0, 0) : kWhite;
        EXPECT_EQ(paper.At(0, y), expected) << y;
        EXPECT_EQ(paper.At(9, y), expected) << y;
    }
    EXPECT_EQ(paper.At(3, 3), kWhite);
}

TEST(KvDrawing, OpenCornerRectangleLeavesItsCornersAndInsideAlone) {
    TPaper paper(10, 7);
    DrawOpenCornerRect(paper.Canvas(), MakeRect(1, 1, 9, 6), clRed);
    const COLORREF red = RGB(255, 0, 0);
    for (int x = 2; x < 8; ++x) {
        EXPECT_EQ(paper.At(x, 1), red) << x;
        EXPECT_EQ(paper.At(x, 5), red) << x;
    }
    for (int y = 2; y < 5; ++y) {
        EXPECT_EQ(paper.At(1, y), red) << y;
        EXPECT_EQ(paper.At(8, y), red) << y;
    }
    for (TPoint corner : {TPoint{1, 1}, TPoint{8, 1}, TPoint{1, 5}, TPoint{8, 5}})
        EXPECT_EQ(paper.At(corner.x, corner.y), kWhite) << corner.x << "," << corner.y;
    EXPECT_EQ(paper.At(4, 3), kWhite);
    EXPECT_EQ(paper.At(0, 3), kWhite);
    TPaper tiny(4, 4);
    DrawOpenCornerRect(tiny.Canvas(), MakeRect(1, 1, 2, 3), clRed);
    EXPECT_EQ(BoxOfColour(tiny.Bitmap, red).right, 0) << "narrower than 2: nothing";
}

TEST(KvDrawing, TransparentStretchLeavesTheTransparentColourOut) {
    TBitmap source(2, 2);
    source.Canvas().SetPixel(0, 0, clRed);
    source.Canvas().SetPixel(1, 0, clTeal);
    source.Canvas().SetPixel(0, 1, clTeal);
    source.Canvas().SetPixel(1, 1, clBlue);
    TPaper paper(8, 8);
    StretchTransparentBitmap(paper.Canvas(), source, MakeRect(2, 2, 6, 6), clTeal, MakeRect(0, 0, 2, 2));
    EXPECT_EQ(paper.At(2, 2), RGB(255, 0, 0));
    EXPECT_EQ(paper.At(5, 2), kWhite);
    EXPECT_EQ(paper.At(2, 5), kWhite);
    EXPECT_EQ(paper.At(5, 5), RGB(0, 0, 255));
    EXPECT_EQ(paper.At(6, 6), kWhite);
    // An empty destination draws nothing.
    StretchTransparentBitmap(paper.Canvas(), source, MakeRect(0, 0, 0, 8), clTeal, MakeRect(0, 0, 2, 2));
}

TEST(KvFonts, RotatedFontCarriesTheAngleAndStyle) {
    TFont font;
    font.SetName("Arial");
    font.SetHeight(-13);
    font.SetStyle(TFontStyles{fsBold, fsUnderline});
    TUniqueGdi<HFONT> rotated = RotateFont(font, 90);
    ASSERT_TRUE(rotated);
    LOGFONTA logFont{};
    ASSERT_EQ(GetObjectA(rotated.Get(), sizeof(logFont), &logFont), static_cast<int>(sizeof(logFont)));
    EXPECT_EQ(logFont.lfEscapement, 900);
    EXPECT_EQ(logFont.lfHeight, -13);
    EXPECT_EQ(logFont.lfWeight, FW_BOLD);
    EXPECT_TRUE(logFont.lfUnderline);
    EXPECT_STREQ(logFont.lfFaceName, "Arial");
}

TEST(KvResources, GlyphStripsAndTheHandCursorAreCompiledIn) {
    HMODULE self = GetModuleHandleA(nullptr);
    for (const char* name : {"KVCOMMON_OK", "KVCOMMON_CANCEL", "KVCOMMON_HELP", "KVCOMMON_YES", "KVCOMMON_NO",
                             "KVCOMMON_CLOSE", "KVCOMMON_ABORT", "KVCOMMON_RETRY", "KVCOMMON_IGNORE", "KVCOMMON_ALL"}) {
        TBitmap glyph;
        glyph.LoadFromResourceName(self, name);
        EXPECT_GT(glyph.Height(), 0) << name;
        EXPECT_EQ(glyph.Width(), 2 * glyph.Height()) << name;
        // The transparent colour is the bottom-left pixel and marks the background only: both
        // cells have some of it and some art.
        const COLORREF transparent = ColorToRGB(glyph.TransparentColor());
        EXPECT_EQ(PixelAt(glyph, 0, glyph.Height() - 1), transparent) << name;
        for (int cell = 0; cell < 2; ++cell) {
            int art = 0;
            for (int y = 0; y < glyph.Height(); ++y)
                for (int x = 0; x < glyph.Height(); ++x)
                    art += PixelAt(glyph, cell * glyph.Height() + x, y) != transparent;
            EXPECT_GT(art, 10) << name << " cell " << cell;
            EXPECT_LT(art, glyph.Height() * glyph.Height()) << name << " cell " << cell;
        }
    }
    HCURSOR hand = static_cast<HCURSOR>(LoadImageA(self, "KVCOMMON_HANDCURSOR", IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE));
    ASSERT_NE(hand, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(hand, &info));
    EXPECT_FALSE(info.fIcon);
    EXPECT_LT(info.yHotspot, 4u);  // the finger tip at the top
    if (info.hbmMask)
        DeleteObject(info.hbmMask);
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    DestroyCursor(hand);
}

class KvParentBackground : public GuiTest {};

// Paints a red square where it lies, so the parent's painting shows through.
class TSquare : public TGraphicControl {
public:
    using TGraphicControl::TGraphicControl;

protected:
    void Paint() override {
        Canvas().Brush().SetColor(clRed);
        Canvas().FillRect(ClientRect());
    }
};

TEST_F(KvParentBackground, WindowedControlGetsWhatLiesBehindIt) {
    TTestForm form;
    form.SetColor(clTeal);
    auto square = form.Add<TSquare>(&form, 12, 8, 4, 4);
    auto windowed = form.Add<TCustomControl>(&form, 10, 6, 20, 10);
    windowed->HandleNeeded();
    TPaper paper(20, 10);
    PaintParentBackground(*windowed, paper.Canvas().Handle(), false);
    EXPECT_EQ(paper.At(0, 0), ColorToRGB(clTeal));
    EXPECT_EQ(paper.At(19, 9), ColorToRGB(clTeal));
    EXPECT_EQ(paper.At(2, 2), RGB(255, 0, 0));  // the square at 12, 8 of the form
    EXPECT_EQ(paper.At(6, 2), ColorToRGB(clTeal));

    // A windowless control lies on its parent's painting already.
    TPaper untouched(4, 4);
    PaintParentBackground(*square, untouched.Canvas().Handle(), true);
    EXPECT_EQ(untouched.At(1, 1), kWhite);
}

TEST(KvMonitors, WindowsAndPointsFindTheirMonitor) {
    RECT work{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    HWND desktop = GetDesktopWindow();
    const TRect area = MonitorWorkArea(desktop);
    EXPECT_TRUE(SameRect(area, work));
    EXPECT_EQ(MonitorWorkAreaHeight(desktop), work.bottom - work.top);
    const TRect bounds = MonitorRect(desktop);
    EXPECT_EQ(bounds.right - bounds.left, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(FindMonitor(TPoint{bounds.left + 1, bounds.top + 1}), MonitorFromWindow(desktop, MONITOR_DEFAULTTONEAREST));
    EXPECT_EQ(FindMonitor(TPoint{bounds.left - 5000, bounds.top - 5000}), nullptr);
}

// ---- Blink list -----------------------------------------------------------------------------

class TBlinker : public TGraphicControl {
public:
    using TGraphicControl::TGraphicControl;
    void WndProc(TMessage& message) override {
        if (message.Msg == CM_KVBLINKQUERY) {
            ++Queries;
            message.Result = Answer;
            if (LeaveWhenAsked)
                TKvBlinkingControlsList::Remove(this);
            return;
        }
        if (message.Msg == CM_KVBLINK) {
            Phases.push_back(static_cast<int>(message.WParam));
            return;
        }
        TGraphicControl::WndProc(message);
    }
    LRESULT Answer = 1;
    bool LeaveWhenAsked = false;
    int Queries = 0;
    std::vector<int> Phases;
};

class KvBlink : public GuiTest {};

TEST_F(KvBlink, ListLivesWhileControlsAreRegistered) {
    ASSERT_EQ(TKvBlinkingControlsList::Instance(), nullptr);
    TKvBlinkingControlsList::Remove(nullptr);  // nothing registered: harmless
    TBlinker first(nullptr), second(nullptr);
    TKvBlinkingControlsList::Add(&first);
    TKvBlinkingControlsList* list = TKvBlinkingControlsList::Instance();
    ASSERT_NE(list, nullptr);
    auto timer = dynamic_cast<const TTimer*>(list->Timer());
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 500u);
    EXPECT_TRUE(list->PhaseOn());

    TKvBlinkingControlsList::Add(&second);
    TKvBlinkingControlsList::Add(&second);
    EXPECT_EQ(list->Count(), 2);
    TKvBlinkingControlsList::Remove(&first);
    EXPECT_EQ(TKvBlinkingControlsList::Instance(), list);
    TKvBlinkingControlsList::Remove(&second);
    EXPECT_EQ(TKvBlinkingControlsList::Instance(), nullptr);
}

TEST_F(KvBlink, TickFlipsThePhaseAndTellsControlsThatAnswer) {
    TBlinker blinking(nullptr), quiet(nullptr);
    quiet.Answer = 0;
    TKvBlinkingControlsList::Add(&blinking);
    TKvBlinkingControlsList::Add(&quiet);
    TKvBlinkingControlsList* list = TKvBlinkingControlsList::Instance();
    list->SetIntervalOff(200);
    auto timer = static_cast<const TTimer*>(list->Timer());
    list->Tick();
    EXPECT_FALSE(list->PhaseOn());
    EXPECT_EQ(timer->Interval(), 200u);
    list->Tick();
    EXPECT_EQ(timer->Interval(), 500u);
    EXPECT_EQ(blinking.Phases, (std::vector<int>{0, 1}));
    EXPECT_EQ(quiet.Queries, 2);
    EXPECT_TRUE(quiet.Phases.empty());

    // The real timer reaches the controls too.
    list->SetIntervalOn(20);
    list->SetIntervalOff(20);
    const DWORD start = GetTickCount();
    while (blinking.Phases.size() < 4 && GetTickCount() - start < 5000) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        Application.ProcessMessages();
    }
    EXPECT_GE(blinking.Phases.size(), 4u);
    TKvBlinkingControlsList::Remove(&blinking);
    TKvBlinkingControlsList::Remove(&quiet);
}

TEST_F(KvBlink, LastControlLeavingDuringATickFreesTheList) {
    TBlinker leaving(nullptr), after(nullptr);
    leaving.LeaveWhenAsked = true;
    after.LeaveWhenAsked = true;
    TKvBlinkingControlsList::Add(&leaving);
    TKvBlinkingControlsList::Add(&after);
    TKvBlinkingControlsList::Instance()->Tick();
    EXPECT_EQ(TKvBlinkingControlsList::Instance(), nullptr);
    EXPECT_EQ(after.Queries, 1);
    EXPECT_TRUE(leaving.Phases.empty());
}

// ---- Frame controller -----------------------------------------------------------------------

// Publishes some of the names the controller writes (Color and ParentColor come from TControl).
class TFramed : public TGraphicControl {
    DECLARE_CLASS_INFO()

public:
    using TGraphicControl::TGraphicControl;
    TFrameStyle FrameStyle = fsNone;
    bool FrameVisible = false;
    TSides FrameSides;
    TColor FocusColor = clBlack;
    bool FrameHotTrack = false;
    std::string FlatButtons;  // a name the controller writes, of a kind it must leave alone
};

const TClassInfo& TFramed::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TFramed::FrameStyle>("FrameStyle"),       Prop<&TFramed::FrameVisible>("FrameVisible"),
        Prop<&TFramed::FrameSides>("FrameSides"),       Prop<&TFramed::FocusColor>("FocusColor"),
        Prop<&TFramed::FrameHotTrack>("FrameHotTrack"), Prop<&TFramed::FlatButtons>("FlatButtons"),
    };
    static const TClassInfo info = MakeClassInfo<TFramed, TGraphicControl>("TFramed", props);
    return info;
}

class TSelfFramed : public TFramed, public IKvFrameControllerClient {
public:
    using TFramed::TFramed;
    void ApplyFrameController(TKvFrameController&) override { ++Applied; }
    int Applied = 0;
};

class KvFrameController : public GuiTest {
protected:
    TKvFrameController controller{nullptr};
    TFramed framed{nullptr};
};

TEST_F(KvFrameController, RegisteringUpdatesAtOnceAndOnlyPublishedNames) {
    framed.SetColor(clRed);
    controller.RegisterControl(&framed);
    controller.RegisterControl(&framed);
    EXPECT_EQ(controller.ControlCount(), 1);
    EXPECT_EQ(framed.Color(), clWindow);
    EXPECT_EQ(framed.FrameStyle, fsFlat);
    EXPECT_EQ(framed.FrameSides, kAllSides);
    EXPECT_EQ(framed.FocusColor, clWindow);
    EXPECT_EQ(framed.FlatButtons, "");

    // Each setting reaches only its own name.
    framed.FocusColor = clBlack;
    controller.SetFrameStyle(fsGroove);
    EXPECT_EQ(framed.FrameStyle, fsGroove);
    EXPECT_EQ(framed.FocusColor, clBlack);
    framed.FrameStyle = fsNone;
    controller.UpdateControls(2);
    EXPECT_EQ(framed.FocusColor, clWindow);
    EXPECT_EQ(framed.FrameStyle, fsNone);
    controller.UpdateControl(&framed, 12);
    EXPECT_EQ(framed.FrameStyle, fsGroove);
    controller.UpdateControl(&framed, 99);

    controller.UnregisterControl(&framed);
    EXPECT_EQ(controller.ControlCount(), 0);
    controller.SetFrameStyle(fsBump);
    EXPECT_EQ(framed.FrameStyle, fsGroove);
}

TEST_F(KvFrameController, ColourAndParentColourWorkTogether) {
    controller.RegisterControl(&framed);
    controller.SetColor(clAqua);
    EXPECT_EQ(controller.FocusColor(), clAqua);  // it followed the old colour
    EXPECT_EQ(framed.Color(), clAqua);
    EXPECT_EQ(framed.FocusColor, clAqua);

    controller.SetFocusColor(clYellow);
    controller.SetColor(clLime);
    EXPECT_EQ(controller.FocusColor(), clYellow);

    controller.SetParentColor(true);
    EXPECT_TRUE(framed.ParentColor());
    EXPECT_FALSE(GetPropInfo(controller, "Color").Stored(controller));
    framed.SetColor(clRed);
    controller.UpdateControls(0);
    EXPECT_TRUE(framed.ParentColor());

    controller.SetColor(clFuchsia);
    EXPECT_FALSE(controller.ParentColor());
    EXPECT_FALSE(framed.ParentColor());
    EXPECT_EQ(framed.Color(), clFuchsia);
    EXPECT_TRUE(GetPropInfo(controller, "Color").Stored(controller));
}

TEST_F(KvFrameController, HotTrackingShowsTheFrameOnAllSides) {
    controller.RegisterControl(&framed);
    controller.SetFrameSides(TSides{sdTop});
    controller.SetFrameHotTrack(true);
    EXPECT_TRUE(controller.FrameVisible());
    EXPECT_EQ(controller.FrameSides(), kAllSides);
    EXPECT_TRUE(framed.FrameHotTrack);
    EXPECT_TRUE(framed.FrameVisible);
    EXPECT_EQ(framed.FrameSides, kAllSides);

    TKvFrameController loading(nullptr);
    loading.BeginLoading();
    loading.SetFrameSides(TSides{sdLeft});
    loading.SetFrameHotTrack(true);
    EXPECT_EQ(loading.FrameSides(), TSides{sdLeft});
    loading.Loaded();
}

TEST_F(KvFrameController, UpdateBlocksNestAndTheLastEndUpdates) {
    TSelfFramed self(nullptr);
    controller.RegisterControl(&framed);
    controller.RegisterControl(&self);
    EXPECT_EQ(self.Applied, 1);
    EXPECT_EQ(self.FrameStyle, fsNone);  // it applies the settings itself

    controller.BeginUpdate();
    controller.BeginUpdate();
    controller.SetFrameStyle(fsRaised);
    controller.SetFrameVisible(true);
    controller.EndUpdate();
    EXPECT_EQ(framed.FrameStyle, fsFlat);
    EXPECT_EQ(self.Applied, 1);
    controller.EndUpdate();
    EXPECT_EQ(framed.FrameStyle, fsRaised);
    EXPECT_TRUE(framed.FrameVisible);
    EXPECT_EQ(self.Applied, 2);

    controller.EndUpdate();  // unmatched: updates and leaves the count at 0
    EXPECT_EQ(self.Applied, 3);
    controller.SetFrameStyle(fsBump);
    EXPECT_EQ(framed.FrameStyle, fsBump);

    TKvFrameController other(nullptr);
    other.SetFrameStyle(fsPopup);
    other.SetFrameColor(clMaroon);
    other.SetParentColor(true);
    controller.Assign(other);
    EXPECT_EQ(self.Applied, 5);  // once for the bump, once for the whole copy
    EXPECT_EQ(controller.FrameColor(), clMaroon);
    EXPECT_TRUE(controller.ParentColor());
    EXPECT_EQ(framed.FrameStyle, fsPopup);
    EXPECT_THROW(controller.Assign(framed), EConvertError);
    controller.UnregisterControl(&self);
}

TEST_F(KvFrameController, FreedComponentsAreForgotten) {
    auto doomed = new TKeptAfterFree<TFramed>(nullptr);
    controller.RegisterControl(&framed);
    controller.RegisterControl(doomed);
    FreeComponent(doomed);
    EXPECT_EQ(controller.ControlCount(), 1);
    controller.SetFrameStyle(fsStatus);
    EXPECT_TRUE(TKeptAfterFree<TFramed>::FreedMemoryUntouched());
    EXPECT_EQ(framed.FrameStyle, fsStatus);

    auto ini = new TKvRegIniFile(nullptr);
    controller.SetRegIniFile(ini);
    EXPECT_EQ(GetObjectProp(controller, "RegIniFile"), ini);
    FreeComponent(ini);
    EXPECT_EQ(controller.RegIniFile(), nullptr);
}

TEST_F(KvFrameController, OlderFormNamesAreReadOrDiscarded) {
    TFormProperty flat{"FrameFlat", {}};
    flat.Value.Type = TFormValueType::True;
    EXPECT_TRUE(ReadKvOldProperty(controller, flat));
    EXPECT_TRUE(controller.FrameHotTrack());
    EXPECT_EQ(controller.FrameStyle(), fsStatus);
    EXPECT_EQ(controller.FrameHotStyle(), fsLowered);

    TFormProperty focus{"FrameFocusStyle", {}};
    focus.Value.Type = TFormValueType::Ident;
    focus.Value.Text = "fsbump";
    EXPECT_TRUE(ReadKvOldProperty(controller, focus));
    EXPECT_EQ(controller.FrameHotStyle(), fsBump);
    focus.Value.Text = "fsNowhere";
    EXPECT_FALSE(ReadKvOldProperty(controller, focus));

    TFormProperty flatStyle{"FrameFlatStyle", {}};
    flatStyle.Value.Type = TFormValueType::Ident;
    flatStyle.Value.Text = "fsLowered";
    EXPECT_TRUE(ReadKvOldProperty(controller, flatStyle));
    EXPECT_EQ(controller.FrameHotStyle(), fsBump);

    EXPECT_FALSE(ReadKvOldProperty(controller, TFormProperty{"Unheard", {}}));
    EXPECT_FALSE(ReadKvOldProperty(framed, flat));

    TFormValue strings;
    strings.Type = TFormValueType::List;
    strings.List.resize(2);
    strings.List[0].Type = strings.List[1].Type = TFormValueType::String;
    EXPECT_TRUE(TKvOldPropReader::SkipStrings(strings));
    strings.List[1].Type = TFormValueType::Int8;
    EXPECT_FALSE(TKvOldPropReader::SkipStrings(strings));
    EXPECT_FALSE(TKvOldPropReader::SkipIdent(strings));

    // Through the form reader, old names beside current ones.
    TFormObject form{"TKvFrameController", "fc", {}, {}};
    form.Properties.push_back(flat);
    TFormProperty style{"FrameStyle", {}};
    style.Value.Type = TFormValueType::Ident;
    style.Value.Text = "fsGroove";
    form.Properties.push_back(style);
    TKvFrameController read(nullptr);
    TFormReadOptions options;
    options.ReadExtraProperty = ReadKvOldProperty;
    ReadComponent(form, read, options);
    EXPECT_TRUE(read.FrameHotTrack());
    EXPECT_EQ(read.FrameStyle(), fsGroove);
}

TEST(KvRegIniFile, PublishesItsDefaultsAndStoresChanges) {
    TKvRegIniFile ini(nullptr);
    EXPECT_EQ(GetPropText(ini, GetPropInfo(ini, "RegAccess")), "[keyAllAccess]");
    SetPropText(ini, GetPropInfo(ini, "RegKey"), "hkeyLocalMachine");
    EXPECT_EQ(ini.RegKey(), hkeyLocalMachine);

    TKvFrameController controller(nullptr);
    EXPECT_EQ(GetPropInfo(controller, "FrameHotStyle").Default, fsFlatBold);
    EXPECT_EQ(GetPropInfo(controller, "FrameSides").Default, 15);
    EXPECT_EQ(GetPropText(controller, GetPropInfo(controller, "FramingPreference")), "fpXPThemes");
}

}  // namespace
