#include "Buttons.h"
#include "ExtCtrls.h"
#include "GuiTestSupport.h"
#include "PaintTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// A message-only window of that class made by this process (test programs run side by side).
HWND OwnMessageWindow(const char* className) {
    for (HWND window = FindWindowExA(HWND_MESSAGE, nullptr, className, nullptr); window;
         window = FindWindowExA(HWND_MESSAGE, window, className, nullptr)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            return window;
    }
    return nullptr;
}

class ExtCtrlsTimerTest : public GuiTest {};
class ExtCtrlsPanelTest : public GuiTest {};
class ExtCtrlsImageTest : public GuiTest {};
class ExtCtrlsSpeedButtonTest : public GuiTest {};

using guitest::BoxOf;
using guitest::BoxOfColour;
using guitest::Edges;
using guitest::PixelAt;
using guitest::PumpUntil;
using guitest::Render;
using guitest::SolidBitmap;

// A native push button clicking on its reflected BN_CLICKED.
class TNativeButton : public TWinControl {
public:
    explicit TNativeButton(TComponent* owner) : TWinControl(owner) {
        ControlStyle.Exclude(csClickEvents);
        TabStop = true;
    }
    void WndProc(TMessage& message) override {
        if (message.Msg == CN_COMMAND && HIWORD(message.WParam) == BN_CLICKED) {
            Click();
            return;
        }
        TWinControl::WndProc(message);
    }

protected:
    void CreateParams(TCreateParams& params) override {
        TWinControl::CreateParams(params);
        params.SysClass = "BUTTON";
    }
};


const COLORREF kRed = RGB(255, 0, 0);
const COLORREF kBlue = RGB(0, 0, 255);
const COLORREF kMarker = RGB(255, 0, 255);  // clFuchsia, the Render background

}  // namespace

// ---- utility windows and timers --------------------------------------------------------

TEST_F(ExtCtrlsTimerTest, UtilityWindowHandsMessagesAndExceptionsOnAndMayGoFromInside) {
    HWND window = nullptr;
    window = AllocateHWnd([&](TMessage& message) {
        switch (message.Msg) {
        case WM_APP:
            message.Result = 42;
            break;
        case WM_APP + 1:
            throw std::runtime_error("utility failed");
        case WM_APP + 2:
            DeallocateHWnd(window);
            message.Result = 7;  // the method is still whole after its window went
            break;
        default:
            message.Result = DefWindowProcA(window, message.Msg, message.WParam, message.LParam);
            break;
        }
    });
    EXPECT_EQ(SendMessageA(window, WM_APP, 0, 0), 42);

    int failures = 0;
    Application.OnException = [&](TObject*, std::exception_ptr) { ++failures; };
    EXPECT_EQ(SendMessageA(window, WM_APP + 1, 0, 0), 0);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(SendMessageA(window, WM_APP + 2, 0, 0), 7);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(ExtCtrlsTimerTest, TicksOnlyWhileEnabledWithIntervalAndHandler) {
    // Without a handler there is nothing to run: no window, no system timer.
    TTimer timer(nullptr);
    timer.SetInterval(10);
    EXPECT_EQ(OwnMessageWindow("TUtilityWindow"), nullptr);

    int ticks = 0;
    timer.SetOnTimer([&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++ticks;
    });
    PumpUntil([&] { return ticks >= 3; });

    // A reference timer measures the silence of the stopped one.
    TTimer reference(nullptr);
    reference.SetInterval(10);
    int referenceTicks = 0;
    reference.SetOnTimer([&](TObject*) { ++referenceTicks; });
    auto staysSilent = [&](const char* what) {
        const int before = ticks;
        const int until = referenceTicks + 4;
        PumpUntil([&] { return referenceTicks >= until; });
        EXPECT_EQ(ticks, before) << what;
    };
    timer.SetEnabled(false);
    staysSilent("disabled");
    timer.SetEnabled(true);
    timer.SetOnTimer({});
    staysSilent("no handler");

    // Freed from inside its own handler: it never comes back.
    int selfTicks = 0;
    auto transient = new TTimer(nullptr);
    transient->SetInterval(5);
    transient->SetOnTimer([&](TObject* sender) {
        ++selfTicks;
        delete static_cast<TTimer*>(sender);
    });
    PumpUntil([&] { return selfTicks == 1; });
    const int until = referenceTicks + 4;
    PumpUntil([&] { return referenceTicks >= until; });
    EXPECT_EQ(selfTicks, 1);
}

TEST_F(ExtCtrlsTimerTest, ExceptionsFromTheHandlerGoToTheApplicationAndTheTimerGoesOn) {
    TTimer timer(nullptr);
    timer.SetInterval(10);
    timer.SetOnTimer([](TObject*) { throw std::runtime_error("tick failed"); });
    int failures = 0;
    Application.OnException = [&](TObject* sender, std::exception_ptr) {
        EXPECT_EQ(sender, &timer);
        ++failures;
    };
    PumpUntil([&] { return failures >= 2; });
}

// ---- panels and bevels -----------------------------------------------------------------

TEST_F(ExtCtrlsPanelTest, BevelsAndBorderFrameTheAreaOfAlignedChildren) {
    TTestForm form;
    auto panel = form.Add<TPanel>(&form, 10, 10, 200, 120);
    panel->SetBevelInner(bvLowered);
    panel->SetBevelWidth(2);
    panel->SetBorderWidth(3);
    panel->SetBorderStyle(bsSingle);
    auto child = form.Add<TPanel>(panel, 0, 0, 10, 10);
    child->SetAlign(alClient);
    form.Show();
    RECT client;
    GetClientRect(panel->Handle(), &client);
    EXPECT_LT(client.right, 200);  // the border lies outside the client area
    EXPECT_EQ(Edges(child->BoundsRect()), (std::vector<int>{7, 7, client.right - 7, client.bottom - 7}));

    // Raised outer bevel, the border in the panel's colour, lowered inner bevel.
    child->Hide();
    panel->SetColor(clYellow);
    auto image = Render(*panel);
    const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT), shadow = GetSysColor(COLOR_BTNSHADOW);
    const int right = client.right - 1, bottom = client.bottom - 1;
    EXPECT_EQ(PixelAt(*image, 1, 1), highlight);
    EXPECT_EQ(PixelAt(*image, right - 1, bottom - 1), shadow);
    EXPECT_EQ(PixelAt(*image, 2, 2), ColorToRGB(clYellow));
    EXPECT_EQ(PixelAt(*image, 6, 6), shadow);
    EXPECT_EQ(PixelAt(*image, right - 5, bottom - 5), highlight);
    EXPECT_EQ(PixelAt(*image, 7, 7), ColorToRGB(clYellow));

    // A thinner frame gives the children more room at once.
    child->Show();
    panel->SetBorderWidth(0);
    panel->SetBevelInner(bvNone);
    EXPECT_EQ(Edges(child->BoundsRect()), (std::vector<int>{2, 2, client.right - 2, client.bottom - 2}));
    form.Hide();
}

TEST_F(ExtCtrlsPanelTest, CaptionGoesWhereTheAlignmentsPutIt) {
    TTestForm form;
    auto panel = form.Add<TPanel>(&form, 0, 0, 240, 60);
    panel->SetBevelOuter(bvNone);
    panel->SetCaption("Caption text");
    form.Show();
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    auto ink = [&] {
        auto image = Render(*panel);
        return BoxOf(*image, [face](COLORREF pixel) { return pixel != face; });
    };
    TRect centred = ink();
    ASSERT_LT(centred.left, centred.right) << "no caption painted";
    EXPECT_NEAR((centred.left + centred.right) / 2, 120, 2);
    EXPECT_NEAR((centred.top + centred.bottom) / 2, 30, 3);

    SetPropText(*panel, GetPropInfo(*panel, "Alignment"), "taRightJustify");
    SetPropText(*panel, GetPropInfo(*panel, "VerticalAlignment"), "tlBottom");
    TRect bottomRight = ink();
    EXPECT_GE(bottomRight.right, 240 - 2);
    EXPECT_GE(bottomRight.bottom, 60 - 5);
    EXPECT_EQ(bottomRight.right - bottomRight.left, centred.right - centred.left);
    form.Hide();
}

TEST_F(ExtCtrlsPanelTest, ChildNotificationsReachTheChildThroughThePanel) {
    TTestForm form;
    auto panel = form.Add<TPanel>(&form, 0, 0, 300, 200);
    auto button = form.Add<TNativeButton>(panel, 20, 20, 75, 25);
    int clicks = 0;
    button->OnClick = [&](TObject*) { ++clicks; };
    form.Show();
    SendMessageA(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(clicks, 1);
    form.Hide();
}

TEST_F(ExtCtrlsPanelTest, BevelShapesAndStyles) {
    TTestForm form;
    auto bevel = form.Add<TBevel>(&form, 20, 30, 40, 20);
    form.Show();
    const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT), shadow = GetSysColor(COLOR_BTNSHADOW);
    struct TCase {
        TBevelShape shape;
        POINT first, second, untouched;  // in the bevel: its first colour, its second, the background
    };
    const TCase cases[] = {
        {bsBox, {0, 0}, {39, 19}, {20, 10}},
        {bsFrame, {0, 0}, {1, 1}, {20, 10}},
        {bsTopLine, {5, 0}, {5, 1}, {5, 2}},
        {bsLeftLine, {0, 5}, {1, 5}, {2, 5}},
        {bsRightLine, {38, 5}, {39, 5}, {37, 5}},
    };
    for (TBevelStyle style : {bsLowered, bsRaised}) {
        bevel->SetStyle(style);
        const COLORREF first = style == bsLowered ? shadow : highlight;
        const COLORREF second = style == bsLowered ? highlight : shadow;
        for (const TCase& c : cases) {
            bevel->SetShape(c.shape);
            auto image = Render(form);
            EXPECT_EQ(PixelAt(*image, 20 + c.first.x, 30 + c.first.y), first) << c.shape << " " << style;
            EXPECT_EQ(PixelAt(*image, 20 + c.second.x, 30 + c.second.y), second) << c.shape << " " << style;
            EXPECT_EQ(PixelAt(*image, 20 + c.untouched.x, 30 + c.untouched.y), kMarker) << c.shape << " " << style;
        }
    }
    form.Hide();
}

// ---- images ----------------------------------------------------------------------------

TEST_F(ExtCtrlsImageTest, AutoSizeFollowsThePictureAndChangesRepaint) {
    TTestForm form;
    auto image = form.Add<TImage>(&form, 10, 10, 50, 50);
    image->SetAutoSize(true);
    form.Show();
    form.Update();
    auto red = SolidBitmap(30, 20, clRed);
    image->Picture()->Assign(*red);
    EXPECT_EQ(image->Width(), 30);
    EXPECT_EQ(image->Height(), 20);
    EXPECT_TRUE(GetUpdateRect(form.Handle(), nullptr, FALSE));

    // A change of the graphic itself counts too.
    ValidateRect(form.Handle(), nullptr);
    image->Picture()->Bitmap().SetSize(40, 25);
    EXPECT_EQ(image->Width(), 40);
    EXPECT_EQ(image->Height(), 25);
    EXPECT_TRUE(GetUpdateRect(form.Handle(), nullptr, FALSE));
    form.Hide();
}

TEST_F(ExtCtrlsImageTest, StretchCenterAndProportionalPlaceThePicture) {
    TTestForm form;
    auto image = form.Add<TImage>(&form, 10, 10, 60, 40);
    auto red = SolidBitmap(20, 10, clRed);
    image->Picture()->Assign(*red);
    form.Show();
    auto placed = [&] {
        auto canvas = Render(form);
        return Edges(BoxOfColour(*canvas, kRed));
    };
    EXPECT_EQ(placed(), (std::vector<int>{10, 10, 30, 20}));
    image->SetProportional(true);  // no stretching of a picture that fits
    EXPECT_EQ(placed(), (std::vector<int>{10, 10, 30, 20}));
    image->SetCenter(true);
    EXPECT_EQ(placed(), (std::vector<int>{30, 25, 50, 35}));
    image->SetStretch(true);  // proportional: 20x10 grows to 60x30, centred
    EXPECT_EQ(placed(), (std::vector<int>{10, 15, 70, 45}));
    image->SetProportional(false);
    EXPECT_EQ(placed(), (std::vector<int>{10, 10, 70, 50}));

    // Proportional shrinks pictures that do not fit even without Stretch.
    image->SetStretch(false);
    image->SetCenter(false);
    image->SetProportional(true);
    auto wide = SolidBitmap(120, 40, clRed);
    image->Picture()->Assign(*wide);
    EXPECT_EQ(placed(), (std::vector<int>{10, 10, 70, 30}));
    form.Hide();
}

TEST_F(ExtCtrlsImageTest, TransparentLeavesOutTheTransparentColourAndCanvasDrawsIntoTheBitmap) {
    TTestForm form;
    auto image = form.Add<TImage>(&form, 0, 0, 20, 10);
    auto halves = SolidBitmap(20, 10, clRed);
    halves->Canvas().Brush().SetColor(clLime);
    halves->Canvas().FillRect(MakeRect(0, 0, 10, 10));  // the bottom-left pixel makes lime transparent
    image->Picture()->Assign(*halves);
    form.Show();
    auto canvas = Render(form);
    EXPECT_EQ(PixelAt(*canvas, 2, 2), ColorToRGB(clLime));
    image->SetTransparent(true);
    canvas = Render(form);
    EXPECT_EQ(PixelAt(*canvas, 2, 2), kMarker);
    EXPECT_EQ(PixelAt(*canvas, 15, 2), kRed);

    // Drawing on an empty image makes a bitmap of its size.
    auto drawn = form.Add<TImage>(&form, 50, 50, 30, 20);
    TCanvas& bitmapCanvas = drawn->Canvas();
    EXPECT_EQ(drawn->Picture()->Width(), 30);
    bitmapCanvas.Brush().SetColor(clBlue);
    bitmapCanvas.FillRect(MakeRect(5, 5, 10, 10));
    canvas = Render(form);
    EXPECT_EQ(Edges(BoxOfColour(*canvas, kBlue)), (std::vector<int>{55, 55, 60, 60}));

    drawn->Picture()->SetGraphic(std::make_unique<TIcon>());
    EXPECT_THROW(drawn->Canvas(), EInvalidOperation);
    form.Hide();
}

// ---- speed buttons ---------------------------------------------------------------------

TEST_F(ExtCtrlsSpeedButtonTest, ClicksFromOutsideAndFromTheMouseWithoutTakingTheFocus) {
    TTestForm form;
    auto focused = form.Add<TNativeButton>(&form, 10, 10, 75, 25);
    auto button = form.Add<TSpeedButton>(&form, 100, 10, 40, 30);
    button->SetCaption("&Go");
    int clicks = 0;
    button->OnClick = [&](TObject*) { ++clicks; };
    form.ShowForm();
    focused->SetFocus();
    HWND window = button->Handle();
    EXPECT_EQ(GetWindowLongPtrA(window, GWL_STYLE) & WS_TABSTOP, 0);

    EXPECT_EQ(SendMessageA(window, BM_CLICK, 0, 0), 0);
    EXPECT_EQ(clicks, 1);

    // Pressed while the mouse holds it on the button; a release outside is no click.
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(button->State(), bsDown);
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(80, 5));
    EXPECT_EQ(button->State(), bsUp);
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(80, 5));
    EXPECT_EQ(clicks, 1);
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(6, 6));
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(button->State(), bsUp);
    EXPECT_EQ(button->Perform(CM_DIALOGCHAR, 'g'), 1);
    EXPECT_EQ(button->Perform(CM_DIALOGCHAR, 'o'), 0);
    EXPECT_EQ(clicks, 3);
    EXPECT_TRUE(focused->Focused());

    button->SetEnabled(false);
    SendMessageA(window, BM_CLICK, 0, 0);
    EXPECT_EQ(clicks, 3);
    form.Hide();
}

TEST_F(ExtCtrlsSpeedButtonTest, GroupedButtonsAreExclusiveOnTheirParent) {
    TTestForm form;
    auto panel = form.Add<TPanel>(&form, 0, 100, 200, 50);
    TSpeedButton* group[3];
    for (int i = 0; i < 3; ++i) {
        group[i] = form.Add<TSpeedButton>(&form, 10 + 30 * i, 10, 25, 25);
        SetPropText(*group[i], GetPropInfo(*group[i], "GroupIndex"), "1");
    }
    auto elsewhere = form.Add<TSpeedButton>(panel, 10, 10, 25, 25);  // same index, other parent
    elsewhere->SetGroupIndex(1);
    elsewhere->SetDown(true);
    auto otherGroup = form.Add<TSpeedButton>(&form, 100, 10, 25, 25);
    otherGroup->SetGroupIndex(2);
    otherGroup->SetDown(true);
    int clicks = 0;
    group[1]->OnClick = [&](TObject*) { ++clicks; };
    form.Show();
    auto downs = [&] {
        std::string state;
        for (TSpeedButton* button : {group[0], group[1], group[2], elsewhere, otherGroup})
            state += SendMessageA(button->Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED ? 'D' : '-';
        return state;
    };
    SendMessageA(group[0]->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(downs(), "D--DD");
    SendMessageA(group[1]->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(downs(), "-D-DD");
    SendMessageA(group[1]->Handle(), BM_CLICK, 0, 0);  // not AllowAllUp: stays down
    EXPECT_EQ(downs(), "-D-DD");
    EXPECT_EQ(clicks, 2);

    group[2]->SetAllowAllUp(true);  // the whole group shares it
    EXPECT_TRUE(group[1]->AllowAllUp());
    SendMessageA(group[1]->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(downs(), "---DD");

    SetPropText(*group[2], GetPropInfo(*group[2], "Down"), "True");
    EXPECT_EQ(downs(), "--DDD");
    SendMessageA(group[0]->Handle(), BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(downs(), "D--DD");
    group[0]->SetDown(false);  // code may release any button
    EXPECT_EQ(downs(), "---DD");
    form.Hide();
}

TEST_F(ExtCtrlsSpeedButtonTest, GlyphPlacementStatesAndFlatFrame) {
    TTestForm form;
    auto button = form.Add<TSpeedButton>(&form, 10, 10, 60, 30);
    auto glyph = SolidBitmap(16, 16, clRed, clFuchsia);
    button->SetGlyph(glyph.get());
    button->SetMargin(4);
    form.Show();
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    auto glyphBox = [&](COLORREF colour) { return Edges(BoxOfColour(*Render(*button), colour)); };
    EXPECT_EQ(glyphBox(kRed), (std::vector<int>{4, 7, 20, 23}));
    EXPECT_EQ(PixelAt(*Render(*button), 4, 22), face);  // the transparent corner
    button->SetLayout(blGlyphTop);
    EXPECT_EQ(glyphBox(kRed), (std::vector<int>{22, 4, 38, 20}));
    button->SetMargin(-1);
    EXPECT_EQ(glyphBox(kRed), (std::vector<int>{22, 7, 38, 23}));
    button->SetGroupIndex(1);
    button->SetDown(true);  // the face and what is on it go down by a pixel
    EXPECT_EQ(glyphBox(kRed), (std::vector<int>{23, 8, 39, 24}));
    button->SetDown(false);

    // A second image for the disabled state; without one the glyph is embossed.
    auto strip = SolidBitmap(32, 16, clRed, clFuchsia);
    strip->Canvas().Brush().SetColor(clBlue);
    strip->Canvas().FillRect(MakeRect(16, 0, 32, 16));
    button->SetGlyph(strip.get());
    EXPECT_EQ(button->NumGlyphs(), 2);
    button->SetEnabled(false);
    EXPECT_EQ(glyphBox(kBlue), (std::vector<int>{22, 7, 38, 23}));
    EXPECT_EQ(glyphBox(kRed), (std::vector<int>{60, 30, 0, 0}));
    button->SetNumGlyphs(1);  // one 32 pixels wide image, embossed
    EXPECT_EQ(glyphBox(kRed), (std::vector<int>{60, 30, 0, 0}));
    EXPECT_EQ(PixelAt(*Render(*button), 20, 10), GetSysColor(COLOR_BTNSHADOW));
    button->SetEnabled(true);

    // Flat: no frame until the mouse comes.
    button->SetFlat(true);
    EXPECT_EQ(PixelAt(*Render(*button), 0, 0), face);
    button->Perform(CM_MOUSEENTER);
    auto hot = Render(*button);
    EXPECT_EQ(PixelAt(*hot, 0, 0), GetSysColor(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(PixelAt(*hot, 59, 29), GetSysColor(COLOR_BTNSHADOW));
    button->Perform(CM_MOUSELEAVE);
    EXPECT_EQ(PixelAt(*Render(*button), 0, 0), face);
    form.Hide();
}

TEST_F(ExtCtrlsSpeedButtonTest, APressCancelledOrLostToAnotherWindowDoesNotClick) {
    TTestForm form;
    auto button = form.Add<TSpeedButton>(&form, 10, 10, 25, 25);
    auto other = form.Add<TPanel>(&form, 50, 10, 25, 25);
    int clicks = 0;
    button->OnClick = [&](TObject*) { ++clicks; };
    form.ShowForm();
    HWND window = button->Handle();
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(button->State(), bsDown);
    SendMessageA(window, WM_CANCELMODE, 0, 0);
    EXPECT_EQ(button->State(), bsUp);
    SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(6, 5));
    EXPECT_EQ(button->State(), bsUp);
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(6, 5));

    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SetCapture(other->Handle());
    EXPECT_EQ(button->State(), bsUp);
    ReleaseCapture();
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(clicks, 0);

    // Its own release lets the capture go too; that press still clicks.
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(clicks, 1);
    form.Hide();
}

TEST_F(ExtCtrlsSpeedButtonTest, FreedByItsClickIsNotTouchedAgain) {
    TTestForm form;
    using TButton = TKeptAfterFree<TSpeedButton>;
    auto button = form.Add<TButton>(&form, 10, 10, 25, 25);
    int mouseUps = 0;
    button->OnMouseUp = [&](TObject*, TMouseButton, TShiftState, int, int) { ++mouseUps; };
    button->OnClick = [](TObject* sender) { FreeComponent(static_cast<TComponent*>(sender)); };
    form.ShowForm();
    HWND window = button->Handle();
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(form.ControlCount(), 0);
    EXPECT_EQ(mouseUps, 0);
    EXPECT_TRUE(TButton::FreedMemoryUntouched());
    form.Hide();
}
