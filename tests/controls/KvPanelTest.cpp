#include "DragDrop.h"
#include "ExtCtrls.h"
#include "ImgList.h"
#include "KvPanel.h"
#include "KvStatus.h"
#include "StdCtrls.h"
#include "Themes.h"

#include "../framework/GuiTestSupport.h"
#include "../framework/PaintTestSupport.h"
#include "../framework/ScreenshotSupport.h"
#include "StatusBarPicture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Pixel checks need the classic look.
class KvPanelTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        ThemeServices().SetThemesDisabledForTests(true);
    }
    void TearDown() override {
        ThemeServices().SetThemesDisabledForTests(false);
        GuiTest::TearDown();
    }
};
using KvGroupBoxTest = KvPanelTest;
using KvStatusBarTest = KvPanelTest;
using KvStatusPaneTest = KvPanelTest;
class KvThemedTest : public GuiTest {};

using guitest::Edges;
using guitest::PixelAt;
using guitest::PumpUntil;
using guitest::Sys;
using guitest::TextSize;

// What control paints, on a bitmap of its size first filled with the marker colour.
std::unique_ptr<TBitmap> Render(TControl& control) {
    auto bitmap = std::make_unique<TBitmap>(control.Width(), control.Height());
    bitmap->Canvas().Brush().SetColor(clFuchsia);
    bitmap->Canvas().FillRect(MakeRect(0, 0, control.Width(), control.Height()));
    control.Perform(WM_PAINT, reinterpret_cast<WPARAM>(bitmap->Canvas().Handle()), 0);
    return bitmap;
}

// The smallest rectangle holding every pixel of colour within (an empty one: the whole bitmap);
// empty when there is none.
std::vector<int> BoxOfColour(const TBitmap& bitmap, COLORREF colour, const TRect& within = {}) {
    const TRect box = guitest::BoxOfColour(bitmap, colour, within);
    if (box.left >= box.right)
        return {};
    return Edges(box);
}

int CountColour(const TBitmap& bitmap, COLORREF colour, TRect within) {
    const TRect whole = MakeRect(0, 0, bitmap.Width(), bitmap.Height());
    IntersectRect(&within, &within, &whole);
    int count = 0;
    for (int y = within.top; y < within.bottom; ++y)
        for (int x = within.left; x < within.right; ++x)
            count += PixelAt(bitmap, x, y) == colour;
    return count;
}

// A window and its windowed children painted on dc, each at its place.
void PaintTree(TWinControl& control, HDC dc) {
    control.Perform(WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc));
    control.Perform(WM_PAINT, reinterpret_cast<WPARAM>(dc));
    for (int i = 0; i < control.ControlCount(); ++i) {
        TControl* child = control.Controls(i);
        if (!child->IsWindowed() || !child->Visible())
            continue;
        const int saved = SaveDC(dc);
        OffsetViewportOrgEx(dc, child->Left(), child->Top(), nullptr);
        IntersectClipRect(dc, 0, 0, child->Width(), child->Height());
        PaintTree(*static_cast<TWinControl*>(child), dc);
        RestoreDC(dc, saved);
    }
}


// A pane that counts its text notifications.
class TCountingPane : public TKvStatusPane {
public:
    using TKvStatusPane::TKvStatusPane;
    void WndProc(TMessage& message) override {
        textChanges += message.Msg == CM_TEXTCHANGED;
        TKvStatusPane::WndProc(message);
    }
    int textChanges = 0;
};

// The themed dock panels take a client dragged by its grabber; the frame shows where it goes.
TEST_F(KvPanelTest, ClientDraggedByItsGrabberShowsWhereAnotherSiteTakesIt) {
    TTestForm form;
    form.SetCaption("Docking by dragging");
    form.SetClientSize(440, 260);
    auto site = [&](int left, int top, int width, int height) {
        auto panel = new TKvPanel(&form);
        panel->SetParent(&form);
        panel->SetBounds(left, top, width, height);
        panel->SetBorderOuter(fsLowered);
        panel->SetDockSite(true);
        return panel;
    };
    auto dock = [&](TKvPanel* into, const char* caption) {
        auto client = new TKvPanel(&form);
        client->SetCaption(caption);
        client->ManualDock(into);
        return client;
    };
    auto stacked = site(10, 10, 160, 240);
    dock(stacked, "Tools");
    auto colours = dock(stacked, "Colours");
    colours->SetDragKind(dkDock);
    auto wide = site(180, 10, 250, 240);
    dock(wide, "Left");
    form.Show();
    Application.ProcessMessages();

    auto moveTo = [](const TControl& control, int x, int y) {
        const TPoint at = control.ClientToScreen(TPoint{x, y});
        guitest::SendMouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, at);
        PumpUntil([&] {
            POINT cursor;
            GetCursorPos(&cursor);
            const TDragObject* drag = DragObject();
            const TPoint seen = drag ? drag->DragPos : cursor;
            return seen.x == at.x && seen.y == at.y;
        });
        Application.ProcessMessages();
    };
    const TRect strip = static_cast<TDockTree&>(*stacked->DockManager()).GrabberRect(*colours);
    moveTo(*stacked, strip.left + 30, strip.top + 6);
    guitest::SendMouse(MOUSEEVENTF_LEFTDOWN);
    PumpUntil([&] { return colours->Dragging(); });
    moveTo(*wide, 190, 120);

    // Over the wide site: after its client, side by side.
    auto& tree = static_cast<TDockTree&>(*wide->DockManager());
    const TRect slot = tree.DockRect(colours);
    TRect onScreen = slot;
    const TPoint origin = wide->ClientToScreen(TPoint{0, 0});
    OffsetRect(&onScreen, origin.x, origin.y);
    auto* drag = dynamic_cast<TDragDockObject*>(DragObject());
    ASSERT_NE(drag, nullptr);
    EXPECT_EQ(Edges(drag->DockRect), Edges(onScreen));
    HWND frame = FindWindowA("TDockFrame", nullptr);
    ASSERT_TRUE(frame && IsWindowVisible(frame));
    RECT shown;
    GetWindowRect(frame, &shown);
    EXPECT_EQ(Edges(shown), Edges(onScreen));
    EXPECT_TRUE(guitest::SaveWindowScreenshot(form.Handle(), "KvPanelDockDrag"));

    guitest::SendMouse(MOUSEEVENTF_LEFTUP);
    PumpUntil([&] { return !colours->Dragging(); });
    guitest::ParkMouse();
    EXPECT_EQ(colours->HostDockSite(), wide);
    EXPECT_FALSE(IsWindow(frame));
    EXPECT_EQ(Edges(colours->BoundsRect()), (std::vector<int>{slot.left + TDockTree::GrabberSize, slot.top,
                                                               slot.right, slot.bottom}));
    EXPECT_EQ(stacked->DockClientCount(), 1);
}

}  // namespace

// ---- panels -------------------------------------------------------------------------------

TEST_F(KvPanelTest, ClientAreaLiesInsideBordersOnTheirSidesAndBorderWidth) {
    TTestForm form;
    auto panel = form.Add<TKvPanel>(&form, 10, 10, 200, 100);
    auto child = form.Add<TPanel>(panel, 0, 0, 10, 10);
    child->SetAlign(alClient);
    // Raised outer (2), a 3-pixel border, flat inner (1) on every side.
    panel->SetBorderWidth(3);
    panel->SetBorderInner(fsFlat);
    EXPECT_EQ(Edges(child->BoundsRect()), (std::vector<int>{6, 6, 194, 94}));
    // Status borders take the bevel width, only on the chosen sides (the border width stays all round).
    panel->SetBorderWidth(0);
    panel->SetBorderInner(fsNone);
    panel->SetBevelWidth(4);
    panel->SetBorderOuter(fsStatus);
    panel->SetBorderSides(TSides{sdLeft, sdTop});
    EXPECT_EQ(Edges(child->BoundsRect()), (std::vector<int>{4, 4, 200, 100}));
    panel->SetBorderOuter(fsFlatBold);
    EXPECT_EQ(Edges(child->BoundsRect()), (std::vector<int>{2, 2, 200, 100}));
    panel->SetBorderOuter(fsNone);
    EXPECT_EQ(Edges(child->BoundsRect()), (std::vector<int>{0, 0, 200, 100}));
}

TEST_F(KvPanelTest, PaintsFlatBorderBorderWidthFillAndEmbossedDisabledCaption) {
    TTestForm form;
    auto panel = form.Add<TKvPanel>(&form, 0, 0, 120, 40);
    panel->SetBorderOuter(fsFlat);
    panel->SetBorderWidth(2);
    panel->SetBorderColor(clRed);
    panel->SetColor(clWhite);
    auto image = Render(*panel);
    const COLORREF flat = ColorToRGB(AdjustColor(clBtnShadow, 30));
    EXPECT_EQ(PixelAt(*image, 0, 20), flat);
    EXPECT_EQ(PixelAt(*image, 60, 39), flat);
    EXPECT_EQ(PixelAt(*image, 1, 20), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(*image, 2, 20), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(*image, 3, 20), RGB(255, 255, 255));

    panel->SetColor(clYellow);  // apart from the highlight colour
    panel->SetCaption("Wide");
    panel->SetEnabled(false);
    image = Render(*panel);
    EXPECT_GT(CountColour(*image, Sys(COLOR_BTNSHADOW), MakeRect(3, 3, 117, 37)), 0);
    EXPECT_GT(CountColour(*image, Sys(COLOR_BTNHIGHLIGHT), MakeRect(3, 3, 117, 37)), 0);

    // Transparent: nothing fills the inside.
    panel->SetCaption("");
    panel->SetTransparent(true);
    image = Render(*panel);
    EXPECT_EQ(PixelAt(*image, 60, 20), RGB(255, 0, 255));
}

TEST_F(KvPanelTest, BottomAlignedPanelKeepsItsBottomEdgeWhenItsHeightChanges) {
    TKvPanel panel(nullptr);
    panel.SetAlign(alBottom);
    panel.SetBounds(0, 100, 50, 40);
    panel.SetHeight(25);
    EXPECT_EQ(panel.Top(), 115);
    panel.SetAlign(alRight);
    panel.SetWidth(30);
    EXPECT_EQ(panel.Left(), 20);
    panel.SetAlign(alNone);
    panel.SetHeight(40);
    EXPECT_EQ(panel.Top(), 115);
}

TEST_F(KvPanelTest, ResizeRepaintsAllOrOnlyTheUncoveredStripOfACaptionedPanel) {
    TTestForm form;
    auto panel = form.Add<TKvPanel>(&form, 0, 0, 100, 40);
    form.ShowForm();
    HWND window = panel->Handle();
    auto updateRect = [&] {
        TRect rect{};
        GetUpdateRect(window, &rect, FALSE);
        return Edges(rect);
    };
    ValidateRect(window, nullptr);
    panel->SetWidth(150);
    EXPECT_EQ(updateRect(), (std::vector<int>{0, 0, 150, 40}));
    panel->SetFullRepaint(false);
    panel->SetCaption("Caption");
    ValidateRect(window, nullptr);
    panel->SetWidth(170);
    EXPECT_EQ(updateRect(), (std::vector<int>{150, 0, 170, 40}));
}

TEST_F(KvPanelTest, FrameControllerSettingsReachPanelsAndPanesAndItsGoingIsHeard) {
    TTestForm form;
    auto panel = form.Add<TKvPanel>(&form, 0, 0, 100, 40);
    auto pane = new TKvStatusPane(&form);
    pane->SetParent(&form);
    auto controller = new TKvFrameController(nullptr);
    controller->SetFrameStyle(fsLowered);
    controller->SetFrameColor(clRed);
    panel->SetFrameController(controller);
    pane->SetFrameController(controller);
    EXPECT_EQ(panel->BorderOuter(), fsRaised) << "frames not shown: nothing applied";
    controller->SetFrameVisible(true);
    EXPECT_EQ(panel->BorderOuter(), fsLowered);
    EXPECT_EQ(panel->FlatColor(), clRed);
    EXPECT_EQ(panel->FlatColorAdjustment(), 0);
    EXPECT_EQ(panel->BorderHighlight(), LighterColor(panel->Color(), 100));
    EXPECT_EQ(pane->FrameStyle(), fsLowered);
    EXPECT_EQ(pane->FillColor(), controller->Color());
    controller->SetFrameStyle(fsGroove);
    EXPECT_EQ(panel->BorderOuter(), fsGroove);
    EXPECT_EQ(pane->FrameStyle(), fsGroove);
    EXPECT_EQ(controller->ControlCount(), 2);
    FreeComponent(pane);
    EXPECT_EQ(controller->ControlCount(), 1);
    FreeComponent(controller);
    EXPECT_EQ(panel->FrameController(), nullptr);
}

// ---- group box ------------------------------------------------------------------------------

TEST_F(KvGroupBoxTest, ChildrenStayBelowTheCaptionLineInEveryStyle) {
    TTestForm form;
    auto box = form.Add<TKvGroupBox>(&form, 0, 0, 200, 120);
    box->SetCaption("Options");
    auto child = form.Add<TPanel>(box, 0, 0, 10, 10);
    child->SetAlign(alClient);
    const int line = TextSize(*box->Font(), "Yy").cy;
    EXPECT_EQ(box->GroupStyle(), gsFlat);
    for (int borderWidth : {0, 1, 3, 12}) {
        box->SetBorderWidth(borderWidth);
        for (TKvGroupBoxStyle style : {gsStandard, gsTopLine, gsFlat}) {
            box->SetGroupStyle(style);
            const int inset = style == gsStandard ? 2 : 1;
            EXPECT_GE(child->Top(), line + inset) << "style " << style << ", border " << borderWidth;
            EXPECT_EQ(child->Left(), borderWidth + inset);
        }
    }
    box->SetBorderWidth(0);
    box->SetGroupStyle(gsCustom);
    EXPECT_EQ(child->Top(), line + 2);
}

TEST_F(KvGroupBoxTest, FlatFrameIsUnbrokenWithoutCaptionAndOpensForOne) {
    TTestForm form;
    auto box = form.Add<TKvGroupBox>(&form, 0, 0, 160, 80);
    box->SetColor(clWhite);
    const COLORREF flat = ColorToRGB(AdjustColor(box->FlatColor(), box->FlatColorAdjustment()));
    auto image = Render(*box);
    const int top = TextSize(*box->Font(), "Pp").cy / 2 - 1;
    EXPECT_EQ(BoxOfColour(*image, flat, MakeRect(0, top, 160, top + 1)), (std::vector<int>{2, top, 158, top + 1}));
    EXPECT_EQ(CountColour(*image, flat, MakeRect(0, top, 160, top + 1)), 156);
    EXPECT_EQ(PixelAt(*image, 1, top + 1), flat);  // the rounded corner
    EXPECT_EQ(PixelAt(*image, 0, top), RGB(255, 255, 255));

    box->SetCaption("Caption");
    image = Render(*box);
    const SIZE text = TextSize(*box->Font(), "Caption");
    EXPECT_EQ(CountColour(*image, flat, MakeRect(8, top, 8 + text.cx, top + 1)), 0);
    EXPECT_EQ(PixelAt(*image, 7, top), flat);
    EXPECT_EQ(PixelAt(*image, 8 + text.cx, top), flat);
    EXPECT_GT(CountColour(*image, ColorToRGB(box->Font()->Color()), MakeRect(8, 0, 8 + text.cx, text.cy)), 0);

    // Standard: an etched frame in the system colours.
    box->SetGroupStyle(gsStandard);
    image = Render(*box);
    EXPECT_GT(CountColour(*image, Sys(COLOR_BTNSHADOW), MakeRect(0, 0, 160, 80)), 100);
    EXPECT_GT(CountColour(*image, Sys(COLOR_BTNHIGHLIGHT), MakeRect(0, 0, 160, 80)), 100);
}

TEST_F(KvGroupBoxTest, RightToLeftCaptionSitsAsFarFromTheRightEdgeAsItWouldFromTheLeft) {
    TTestForm form;
    auto box = form.Add<TKvGroupBox>(&form, 0, 0, 160, 80);
    box->SetColor(clWhite);
    box->SetCaption("Caption");
    const COLORREF flat = ColorToRGB(AdjustColor(box->FlatColor(), box->FlatColorAdjustment()));
    const int top = TextSize(*box->Font(), "Pp").cy / 2 - 1;
    const SIZE text = TextSize(*box->Font(), "Caption");
    auto gapAt = [&](int x) {
        auto image = Render(*box);
        return CountColour(*image, flat, MakeRect(x, top, x + text.cx, top + 1)) == 0 &&
               PixelAt(*image, x - 1, top) == flat && PixelAt(*image, x + text.cx, top) == flat;
    };
    box->SetAlignment(taRightJustify);  // the alignment does not move it
    EXPECT_TRUE(gapAt(8));
    box->SetBiDiMode(bdRightToLeft);
    EXPECT_TRUE(gapAt(160 - 8 - text.cx));
    box->SetBiDiMode(bdRightToLeftReadingOnly);
    EXPECT_TRUE(gapAt(8));
    box->SetGroupStyle(gsTopLine);
    box->SetBiDiMode(bdRightToLeft);
    auto image = Render(*box);
    EXPECT_GT(CountColour(*image, ColorToRGB(box->Font()->Color()), MakeRect(160 - text.cx, 0, 160, text.cy)), 0);
}

TEST_F(KvGroupBoxTest, AcceleratorFocusesTheFirstChild) {
    TTestForm form;
    auto box = form.Add<TKvGroupBox>(&form, 0, 0, 160, 100);
    box->SetCaption("&Options");
    auto edit = form.Add<TEdit>(box, 10, 30, 100, 20);
    auto other = form.Add<TEdit>(&form, 10, 110, 100, 20);
    form.ShowForm();
    other->SetFocus();
    EXPECT_EQ(box->Perform(CM_DIALOGCHAR, 'x'), 0);
    EXPECT_TRUE(other->Focused());
    EXPECT_EQ(box->Perform(CM_DIALOGCHAR, 'o'), 1);
    EXPECT_TRUE(edit->Focused());
}

// ---- status bar -----------------------------------------------------------------------------

TEST_F(KvStatusBarTest, AutoStyleWinsOverStreamedBordersUntilABorderIsSetLater) {
    TKvStatusBar bar(nullptr);
    EXPECT_EQ(bar.Align(), alBottom);
    EXPECT_EQ(bar.Height(), 19);
    EXPECT_TRUE(bar.AutoStyle());
    bar.BeginLoading();
    SetPropText(bar, *FindPropInfo(bar, "BorderOuter"), "fsRaised");
    SetPropText(bar, *FindPropInfo(bar, "BorderInner"), "fsLowered");
    SetOrdProp(bar, "BorderWidth", 4);
    bar.SetHeight(30);
    bar.Loaded();
    EXPECT_TRUE(bar.AutoStyle());
    EXPECT_EQ(bar.BorderOuter(), fsNone);
    EXPECT_EQ(bar.BorderInner(), fsNone);
    EXPECT_EQ(bar.BorderWidth(), 0);
    EXPECT_EQ(bar.Height(), 19);
    bar.SetBorderOuter(fsNone);
    EXPECT_TRUE(bar.AutoStyle()) << "an unchanged value keeps it";
    bar.SetBorderOuter(fsLowered);
    EXPECT_FALSE(bar.AutoStyle());
}

TEST_F(KvStatusBarTest, SizeGripShowsSizingCursorAndAsksTheFormToSize) {
    std::vector<std::pair<HWND, WPARAM>> commands;
    auto previous = SetSizeGripCommandHook([&](HWND form, WPARAM command, LPARAM) {
        commands.emplace_back(form, command);
    });
    {
        TTestForm form;
        auto bar = new TKvStatusBar(&form);
        bar->SetParent(&form);
        auto pane = new TKvStatusPane(&form);
        pane->SetParent(bar);
        pane->SetAlign(alClient);
        form.ShowForm();
        PumpUntil([&] { return IsWindowVisible(form.Handle()) != FALSE; });
        const int w = bar->Width(), h = bar->Height();

        // The grip's squares: highlight with shadow one pixel up and left.
        auto image = Render(*bar);
        EXPECT_EQ(PixelAt(*image, w - 3, h - 3), Sys(COLOR_BTNHIGHLIGHT));
        EXPECT_EQ(PixelAt(*image, w - 5, h - 5), Sys(COLOR_BTNSHADOW));
        EXPECT_EQ(PixelAt(*image, w - 3, h - 11), Sys(COLOR_BTNHIGHLIGHT));
        EXPECT_EQ(PixelAt(*image, w - 11, h - 3), Sys(COLOR_BTNHIGHLIGHT));

        // The pane at the right end leaves the grip to the bar.
        EXPECT_EQ(bar->ControlAtPos(TPoint{w - 5, h / 2}), nullptr);
        EXPECT_EQ(bar->ControlAtPos(TPoint{w - 40, h / 2}), pane);

        const TPoint grip = bar->ClientToScreen(TPoint{w - 4, h - 4});
        SetCursorPos(grip.x, grip.y);
        EXPECT_EQ(bar->Perform(WM_SETCURSOR, reinterpret_cast<WPARAM>(bar->Handle()), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
                  TRUE);
        EXPECT_EQ(GetCursor(), Screen.Cursors(crSizeNWSE));

        bar->Perform(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(w - 4, h - 4));
        ASSERT_EQ(commands.size(), 1u);
        EXPECT_EQ(commands[0].first, form.Handle());
        EXPECT_EQ(commands[0].second, WPARAM{61448});
        bar->Perform(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(w - 20, h - 4));
        bar->Perform(WM_LBUTTONUP, 0, MAKELPARAM(w - 20, h - 4));
        EXPECT_EQ(commands.size(), 1u);

        // No grip on a maximized form, nor when switched off.
        form.SetWindowState(wsMaximized);
        image = Render(*bar);
        EXPECT_EQ(PixelAt(*image, bar->Width() - 3, bar->Height() - 3), Sys(COLOR_BTNFACE));
        bar->Perform(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(bar->Width() - 4, bar->Height() - 4));
        EXPECT_EQ(commands.size(), 1u);
        form.SetWindowState(wsNormal);
        bar->SetShowSizeGrip(false);
        EXPECT_FALSE(bar->InSizeGrip(TPoint{bar->Width() - 4, bar->Height() - 4}));
        bar->SetShowSizeGrip(true);
        form.SetBorderStyle(bsSingle);
        EXPECT_FALSE(bar->InSizeGrip(TPoint{bar->Width() - 4, bar->Height() - 4}));
    }
    SetSizeGripCommandHook(previous);
}

TEST_F(KvStatusBarTest, AutoScalePanesKeepsProportionsAndSurvivesAZeroWidthStart) {
    TTestForm form;
    form.SetClientSize(400, 300);
    auto bar = new TKvStatusBar(&form);
    bar->SetParent(&form);
    bar->SetAutoScalePanes(true);
    auto pane = new TKvStatusPane(&form);
    pane->SetParent(bar);
    pane->SetAlign(alLeft);
    pane->SetWidth(100);
    ASSERT_EQ(bar->Width(), 400);
    form.SetClientSize(500, 300);
    EXPECT_EQ(pane->Width(), 125);

    // A bar first made 0 wide keeps its panes when it grows from there, then scales.
    TKvStatusBar lone(nullptr);
    lone.SetAutoScalePanes(true);
    lone.SetBounds(0, 0, 0, 19);
    auto other = new TKvStatusPane(&form);
    other->SetParent(&lone);
    other->SetWidth(100);
    lone.SetBounds(0, 0, 400, 19);
    EXPECT_EQ(other->Width(), 100);
    lone.SetBounds(0, 0, 500, 19);
    EXPECT_EQ(other->Width(), 125);
    FreeComponent(other);
}

TEST_F(KvStatusBarTest, SimpleStatusHidesPanesAndShowsItsCaptionInAFrame) {
    TTestForm form;
    auto bar = form.Add<TKvStatusBar>(&form, 0, 0, 200, 19);
    auto pane = new TKvStatusPane(&form);
    pane->SetParent(bar);
    bar->SetSimpleCaption("Simple");
    bar->SetSimpleStatus(true);
    EXPECT_FALSE(pane->Visible());
    auto image = Render(*bar);
    const COLORREF flat = ColorToRGB(AdjustColor(bar->FlatColor(), bar->FlatColorAdjustment()));
    EXPECT_EQ(PixelAt(*image, 0, 5), flat);
    EXPECT_NE(PixelAt(*image, 0, 2), flat) << "corners stay open";
    const SIZE text = TextSize(*bar->Font(), "Simple");
    EXPECT_GT(CountColour(*image, ColorToRGB(bar->Font()->Color()), MakeRect(3, 3, 3 + text.cx, 18)), 0);
    bar->SetSimpleStatus(false);
    EXPECT_TRUE(pane->Visible());
}

// ---- status panes ---------------------------------------------------------------------------

TEST_F(KvStatusPaneTest, AutoSizeFollowsCaptionAndGlyphAndSameCaptionIsNoChange) {
    TTestForm form;
    auto pane = new TCountingPane(&form);
    pane->SetParent(&form);
    pane->SetAutoSize(true);
    EXPECT_EQ(pane->Width(), 40) << "no caption: the default width";
    pane->SetCaption("Total: 12");
    EXPECT_EQ(pane->textChanges, 1);
    const int text = TextSize(*pane->Font(), "Total: 12", DT_EXPANDTABS | DT_NOPREFIX).cx;
    EXPECT_EQ(pane->Width(), 2 * 1 + text + 2 + 6);
    pane->SetCaption("Total: 12");
    EXPECT_EQ(pane->textChanges, 1);
    pane->SetBorderWidth(3);
    pane->SetCaptionOffset(5);
    EXPECT_EQ(pane->Width(), 2 * 3 + text + 5 + 6);
    pane->SetCaption("");
    EXPECT_EQ(pane->Width(), 40);

    auto glyph = new TKvGlyphStatus(&form);
    glyph->SetParent(&form);
    glyph->SetCaption("Ready!");
    glyph->SetAutoSize(true);
    TBitmap strip(32, 16);
    glyph->SetGlyph(&strip);
    EXPECT_EQ(glyph->NumGlyphs(), 2);
    const int ready = TextSize(*glyph->Font(), "Ready!", DT_EXPANDTABS | DT_NOPREFIX).cx;
    EXPECT_EQ(glyph->Width(), 2 + ready + 2 + 6 + 2 + 16);
    glyph->SetShowGlyph(false);
    EXPECT_EQ(glyph->Width(), 2 + ready + 2 + 6 + 2);
}

TEST_F(KvStatusPaneTest, BitmapGlyphSitsBesideTheFrameAndEmptyGlyphsAreHarmless) {
    TTestForm form;
    auto pane = new TKvGlyphStatus(&form);
    pane->SetParent(&form);
    pane->SetBounds(0, 0, 100, 20);
    TBitmap strip(32, 16);
    strip.Canvas().Brush().SetColor(clRed);
    strip.Canvas().FillRect(MakeRect(0, 0, 16, 16));
    strip.Canvas().Brush().SetColor(clBlue);
    strip.Canvas().FillRect(MakeRect(16, 0, 32, 16));
    strip.Canvas().SetPixel(0, 15, clLime);  // the transparent colour
    pane->SetGlyph(&strip);
    // x: offset 2 + border 1 + flat frame 1; y: border 1 + |20 - 16 - 1 - 1| / 2.
    EXPECT_EQ(pane->GlyphPosition().x, 4);
    EXPECT_EQ(pane->GlyphPosition().y, 2);
    auto image = Render(*pane);
    EXPECT_EQ(BoxOfColour(*image, RGB(255, 0, 0)), (std::vector<int>{4, 2, 20, 18}));
    EXPECT_EQ(PixelAt(*image, 4, 17), ColorToRGB(pane->FillColor()));
    EXPECT_EQ(BoxOfColour(*image, RGB(0, 255, 0)), std::vector<int>{});

    pane->SetEnabled(false);
    image = Render(*pane);
    EXPECT_EQ(BoxOfColour(*image, RGB(0, 0, 255)), (std::vector<int>{4, 2, 20, 18}));
    pane->SetEnabled(true);

    pane->SetGlyphAlignment(gaRight);
    EXPECT_EQ(pane->GlyphPosition().x, 100 - (2 + 16 + 1 + 2) + 1);
    image = Render(*pane);
    EXPECT_EQ(BoxOfColour(*image, RGB(255, 0, 0)), (std::vector<int>{80, 2, 96, 18}));

    // A glyph taller than the text area is cut to it.
    pane->SetHeight(12);
    image = Render(*pane);
    EXPECT_EQ(BoxOfColour(*image, RGB(255, 0, 0)), (std::vector<int>{80, 2, 96, 10}));

    TBitmap empty;
    pane->SetGlyph(&empty);
    EXPECT_EQ(pane->NumGlyphs(), 2);
    EXPECT_EQ(pane->GlyphSize().cx, 0);
    image = Render(*pane);
    EXPECT_EQ(BoxOfColour(*image, RGB(255, 0, 0)), std::vector<int>{});

    // The caption's background stays inside both rings of a bold frame.
    pane->SetFrameStyle(fsFlatBold);
    pane->SetCaption("Bold");
    image = Render(*pane);
    EXPECT_EQ(PixelAt(*image, 1, 6), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(PixelAt(*image, 2, 6), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(pane->TextRect().top, 3);
}

TEST_F(KvStatusPaneTest, ImageListGlyphAndEmbossedDisabledCaption) {
    TTestForm form;
    TImageList images(&form);
    images.SetSize(16, 16);
    TBitmap red(16, 16);
    red.Canvas().Brush().SetColor(clRed);
    red.Canvas().FillRect(MakeRect(0, 0, 16, 16));
    images.AddMasked(red, clLime);
    auto pane = new TKvGlyphStatus(&form);
    pane->SetParent(&form);
    pane->SetBounds(0, 0, 120, 22);
    pane->SetImages(&images);
    pane->SetImageIndex(0);
    pane->SetCaption("Ready!");
    auto image = Render(*pane);
    const TPoint at = pane->GlyphPosition();
    EXPECT_EQ(BoxOfColour(*image, RGB(255, 0, 0)), (std::vector<int>{at.x, at.y, at.x + 16, at.y + 16}));
    const TRect text = pane->TextRect();
    EXPECT_EQ(text.left, 1 + 1 + 16 + 2);
    EXPECT_GT(CountColour(*image, ColorToRGB(pane->Font()->Color()), text), 0);

    pane->SetEnabled(false);
    image = Render(*pane);
    EXPECT_EQ(BoxOfColour(*image, RGB(255, 0, 0)), std::vector<int>{}) << "the list's disabled look";
    EXPECT_GT(CountColour(*image, Sys(COLOR_BTNHIGHLIGHT), text), 0);
    EXPECT_GT(CountColour(*image, Sys(COLOR_BTNSHADOW), text), 0);
    EXPECT_EQ(CountColour(*image, ColorToRGB(pane->Font()->Color()), text), 0);

    // A change of the attached list repaints the pane; a list let go no longer does.
    pane->SetEnabled(true);
    form.Show();
    UpdateWindow(form.Handle());
    RECT dirty{};
    EXPECT_FALSE(GetUpdateRect(form.Handle(), &dirty, FALSE));
    images.AddMasked(red, clLime);
    ASSERT_TRUE(GetUpdateRect(form.Handle(), &dirty, FALSE));
    EXPECT_EQ(Edges(dirty), Edges(pane->BoundsRect()));
    pane->SetImages(nullptr);
    UpdateWindow(form.Handle());
    images.AddMasked(red, clLime);
    EXPECT_FALSE(GetUpdateRect(form.Handle(), &dirty, FALSE));
    pane->SetImages(&images);
    FreeComponent(pane);
    images.AddMasked(red, clLime);
}

TEST_F(KvStatusPaneTest, BlinkingUsesTheSharedIntervalsAndRestoresTheColour) {
    TTestForm form;
    auto first = new TKvStatusPane(&form);
    auto second = new TKvStatusPane(&form);
    first->SetParent(&form);
    second->SetParent(&form);
    first->SetBlinkIntervalOn(300);
    EXPECT_EQ(second->BlinkIntervalOn(), 300);
    first->SetBlinkIntervalOn(500);

    first->SetBlinking(true);
    EXPECT_EQ(first->Perform(CM_KVBLINKQUERY), 1);
    EXPECT_EQ(second->Perform(CM_KVBLINKQUERY), 0);
    const TColor normal = first->CurrentColor();
    first->Perform(CM_KVBLINK, 1);
    EXPECT_EQ(first->CurrentColor(), clHighlight);
    first->Perform(CM_KVBLINK, 0);
    EXPECT_EQ(first->CurrentColor(), normal);
    second->Perform(CM_KVBLINK, 1);
    EXPECT_EQ(second->CurrentColor(), normal);

    TKvBlinkingControlsList* list = TKvBlinkingControlsList::Instance();
    ASSERT_NE(list, nullptr);
    while (!list->PhaseOn())
        list->Tick();
    list->Tick();
    list->Tick();
    EXPECT_EQ(first->CurrentColor(), clHighlight);
    first->SetBlinking(false);
    EXPECT_EQ(first->CurrentColor(), normal);
}

// ---- a form to look at ----------------------------------------------------------------------

TEST_F(KvStatusBarTest, FormWithStatusBarAndPanesPaintsAndCanBeSaved) {
    TTestForm form;
    form.SetCaption("Status bar");
    form.SetClientSize(360, 160);
    TImageList images(&form);
    auto box = form.Add<TKvGroupBox>(&form, 8, 8, 344, 110);
    box->SetCaption("Group");
    const auto [bar, status, total] = guitest::AddPictureStatusBar(form, images, 200, "Total: 12");
    form.ShowForm();
    PumpUntil([&] { return IsWindowVisible(form.Handle()) != FALSE; });
    form.Update();

    // The client area with every window in it, saved beside the test program for a look.
    TBitmap shot(form.ClientWidth(), form.ClientHeight());
    PaintTree(form, shot.Canvas().Handle());
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "KvStatusBarForm"));
    EXPECT_EQ(PixelAt(shot, bar->Left() + bar->Width() - 3, bar->Top() + bar->Height() - 3),
              Sys(COLOR_BTNHIGHLIGHT));

    auto image = Render(*bar);
    EXPECT_EQ(PixelAt(*image, bar->Width() - 3, bar->Height() - 3), Sys(COLOR_BTNHIGHLIGHT));
    const TPoint at = status->GlyphPosition();
    EXPECT_EQ(PixelAt(*image, status->Left() + at.x + 8, status->Top() + at.y + 8), RGB(0, 128, 0));
    EXPECT_GT(CountColour(*image, ColorToRGB(total->Font()->Color()), total->BoundsRect()), 0);
}

// ---- the visual theme ----------------------------------------------------------------------

TEST_F(KvThemedTest, ThemedBarPaneAndGroupBoxCoverTheirAreaAndShowTheirText) {
    if (!ThemeServices().ThemesEnabled())
        GTEST_SKIP() << "no visual theme active";
    TTestForm form;
    auto box = form.Add<TKvGroupBox>(&form, 8, 8, 200, 80);
    box->SetCaption("Group");
    auto bar = new TKvStatusBar(&form);
    bar->SetParent(&form);
    auto pane = new TKvStatusPane(&form);
    pane->SetParent(bar);
    pane->SetAlign(alClient);
    pane->SetCaption("Total: 12");
    form.ShowForm();
    auto image = Render(*bar);
    EXPECT_EQ(CountColour(*image, RGB(255, 0, 255), MakeRect(0, 0, bar->Width(), bar->Height())), 0);
    EXPECT_GT(CountColour(*image, ColorToRGB(pane->Font()->Color()), pane->BoundsRect()), 0);
    image = Render(*box);
    const SIZE text = TextSize(*box->Font(), "Group");
    EXPECT_GT(CountColour(*image, ColorToRGB(box->Font()->Color()), MakeRect(8, 0, 8 + text.cx, text.cy)), 0);
}

TEST_F(KvPanelTest, DockedClientsShowTheirCaptionsInGrabbersWithACloseGlyph) {
    ASSERT_NE(Sys(COLOR_ACTIVECAPTION), Sys(COLOR_INACTIVECAPTION));
    TTestForm form;
    form.SetCaption("Dock sites");
    form.SetClientSize(440, 260);
    auto site = [&](int left, int top, int width, int height) {
        auto panel = new TKvPanel(&form);
        panel->SetParent(&form);
        panel->SetBounds(left, top, width, height);
        panel->SetBorderOuter(fsLowered);
        panel->SetDockSite(true);
        return panel;
    };
    auto dock = [&](TKvPanel* into, const char* caption) {
        auto client = new TKvPanel(&form);
        client->SetCaption(caption);
        client->ManualDock(into);
        return client;
    };
    auto stacked = site(10, 10, 160, 240);
    auto tools = dock(stacked, "Tools");
    auto colours = dock(stacked, "Colours");
    auto edit = new TEdit(&form);
    edit->SetParent(colours);
    edit->SetBounds(8, 8, 100, 22);
    auto wide = site(180, 10, 250, 110);
    auto left = dock(wide, "Left");
    dock(wide, "Right");
    auto plainSite = site(180, 130, 250, 120);
    plainSite->SetShowDockClientCaptions(false);
    auto plain = dock(plainSite, "Plain");
    form.Show();
    edit->SetFocus();
    Application.ProcessMessages();

    // Stacked: strips along the top; the client holding the focus in the active colours.
    auto& tree = static_cast<TDockTree&>(*stacked->DockManager());
    ASSERT_TRUE(tree.HorizontalGrabbers());
    EXPECT_EQ(tools->Top() - TDockTree::GrabberSize, 2);  // inside the lowered border
    auto image = Render(*stacked);
    const TRect toolsStrip = tree.GrabberRect(*tools);
    const TRect coloursStrip = tree.GrabberRect(*colours);
    EXPECT_GT(CountColour(*image, Sys(COLOR_INACTIVECAPTION), toolsStrip), 0);
    EXPECT_EQ(CountColour(*image, Sys(COLOR_ACTIVECAPTION), toolsStrip), 0);
    EXPECT_GT(CountColour(*image, Sys(COLOR_ACTIVECAPTION), coloursStrip), 0);
    TRect toolsText = toolsStrip;
    toolsText.right = tree.CloseButtonRect(*tools).left;
    const std::vector<int> text = BoxOfColour(*image, Sys(COLOR_INACTIVECAPTIONTEXT), toolsText);
    ASSERT_FALSE(text.empty()) << "the caption";
    EXPECT_GT(text[2] - text[0], text[3] - text[1]) << "written along the strip";
    EXPECT_GT(CountColour(*image, Sys(COLOR_CAPTIONTEXT), tree.CloseButtonRect(*colours)), 0) << "the close glyph";

    // Side by side: strips on the left, the caption turned to run up along them.
    auto& wideTree = static_cast<TDockTree&>(*wide->DockManager());
    ASSERT_FALSE(wideTree.HorizontalGrabbers());
    image = Render(*wide);
    TRect leftText = wideTree.GrabberRect(*left);
    leftText.top = wideTree.CloseButtonRect(*left).bottom;
    const std::vector<int> turned = BoxOfColour(*image, Sys(COLOR_INACTIVECAPTIONTEXT), leftText);
    ASSERT_FALSE(turned.empty());
    EXPECT_GT(turned[3] - turned[1], turned[2] - turned[0]);

    // Without client captions: the plain frame.
    auto& plainTree = static_cast<TDockTree&>(*plainSite->DockManager());
    image = Render(*plainSite);
    const TRect plainStrip = plainTree.GrabberRect(*plain);
    EXPECT_EQ(CountColour(*image, Sys(COLOR_ACTIVECAPTION), plainStrip), 0);
    EXPECT_EQ(CountColour(*image, Sys(COLOR_INACTIVECAPTION), plainStrip), 0);
    EXPECT_GT(CountColour(*image, Sys(COLOR_BTNHIGHLIGHT), plainStrip), 0);

    EXPECT_TRUE(guitest::SaveWindowScreenshot(form.Handle(), "KvPanelDockSites"));
}
