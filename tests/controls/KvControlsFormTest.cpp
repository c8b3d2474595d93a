// One form with every button, label and link of the themed controls in each of its states,
// pictured with visual themes and in the classic look.

#include "ImgList.h"
#include "KvButton.h"
#include "KvLabel.h"
#include "KvPanel.h"
#include "KvSpnEdt.h"
#include "Menus.h"
#include "Themes.h"
#include "jsLinkImage.h"

#include "GuiTestSupport.h"
#include "ScreenshotSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A small picture of our own: a blue disc with a white ring on a teal field.
void DrawDisc(TBitmap& bitmap, int size) {
    bitmap.SetSize(size, size);
    TCanvas& canvas = bitmap.Canvas();
    canvas.Brush().SetColor(clTeal);
    canvas.FillRect(MakeRect(0, 0, size, size));
    canvas.Brush().SetColor(clNavy);
    canvas.Pen().SetColor(clWhite);
    canvas.Ellipse(1, 1, size - 1, size - 1);
}

class TControlsForm : public TTestForm {
public:
    TControlsForm() {
        SetCaption("Themed controls");
        SetClientSize(620, 330);
        BuildForm([this] { CreateControls(); });
    }

    TImageList* Images = nullptr;
    TKvButton* btnPlain = nullptr;
    TKvButton* btnDefault = nullptr;
    TKvButton* btnDisabled = nullptr;
    TKvButton* btnDown = nullptr;
    TKvButton* btnHot = nullptr;
    TKvButton* btnPressed = nullptr;
    TKvBitBtn* btnOk = nullptr;
    TKvBitBtn* btnCancel = nullptr;
    TKvBitBtn* btnNext = nullptr;
    TKvBitBtn* btnRunDisabled = nullptr;
    TKvMenuButton* btnTick = nullptr;
    TKvToolButton* tbUp = nullptr;
    TKvToolButton* tbDown = nullptr;
    TKvToolButton* tbDisabled = nullptr;
    TKvToolButton* tbDropDown = nullptr;
    TKvURLLabel* urlVisited = nullptr;

private:
    template <class C>
    C* Place(int left, int top, int width, int height, const char* caption = nullptr) {
        C* control = Add<C>(this, left, top, width, height);
        if (caption)
            control->SetCaption(caption);
        return control;
    }

    void CreateControls() {
        Images = new TImageList(this);
        Images->SetSize(16, 16);
        TBitmap disc;
        DrawDisc(disc, 16);
        Images->AddMasked(disc, clTeal);

        // Push buttons: plain, default, disabled, down in a group, hot-tracked, pressed.
        btnPlain = Place<TKvButton>(8, 8, 90, 25, "&Plain");
        btnDefault = Place<TKvButton>(106, 8, 90, 25, "&Default");
        btnDefault->SetDefault(true);
        btnDisabled = Place<TKvButton>(204, 8, 90, 25, "Disabled");
        btnDisabled->SetEnabled(false);
        btnDown = Place<TKvButton>(302, 8, 90, 25, "Down");
        btnDown->SetGroupIndex(1);
        btnDown->SetDown(true);
        btnHot = Place<TKvButton>(400, 8, 90, 25, "Hot track");
        btnHot->SetHotTrack(true);
        btnPressed = Place<TKvButton>(498, 8, 90, 25, "Pressed");
        auto raised = Place<TKvButton>(8, 40, 90, 25, "Raised");
        raised->SetTextStyle(tsRaised);
        auto recessed = Place<TKvButton>(106, 40, 90, 25, "Recessed");
        recessed->SetTextStyle(tsRecessed);
        auto shadow = Place<TKvButton>(204, 40, 90, 25, "Shadow");
        shadow->SetTextStyle(tsShadow);

        // Glyph buttons: two kinds, an image-list glyph on the right, a disabled one.
        btnOk = Place<TKvBitBtn>(8, 80, 90, 28);
        btnOk->SetKind(bkOK);
        btnCancel = Place<TKvBitBtn>(106, 80, 90, 28);
        btnCancel->SetKind(bkCancel);
        btnNext = Place<TKvBitBtn>(204, 80, 110, 28, "&Next");
        btnNext->SetImages(Images);
        btnNext->SetImageIndex(0);
        btnNext->SetLayout(blGlyphRight);
        btnNext->SetMargin(8);
        btnNext->SetSpacing(6);
        btnRunDisabled = Place<TKvBitBtn>(322, 80, 90, 28, "Run");
        btnRunDisabled->SetImages(Images);
        btnRunDisabled->SetImageIndex(0);
        btnRunDisabled->SetEnabled(false);
        auto menu = new TPopupMenu(this);
        btnTick = Place<TKvMenuButton>(420, 80, 110, 28, "Tick all");
        btnTick->SetDropDownMenu(menu);

        // Tool buttons: up, down, disabled, drop-down.
        tbUp = Place<TKvToolButton>(8, 120, 25, 25);
        tbDown = Place<TKvToolButton>(38, 120, 25, 25);
        tbDown->SetGroupIndex(2);
        tbDown->SetDown(true);
        tbDisabled = Place<TKvToolButton>(68, 120, 25, 25);
        tbDisabled->SetEnabled(false);
        tbDropDown = Place<TKvToolButton>(98, 120, 40, 25);
        tbDropDown->SetToolStyle(tsDropDown);
        tbDropDown->SetDropDownMenu(menu);
        for (TKvToolButton* button : {tbUp, tbDown, tbDisabled, tbDropDown}) {
            button->SetImages(Images);
            button->SetImageIndex(0);
        }

        // Rapid-fire buttons with the four scroll arrows.
        int left = 160;
        for (TKvScrollStyle style : {scsLeft, scsUp, scsRight, scsDown}) {
            auto arrow = Place<TKvRapidFireButton>(left, 120, 23, 22);
            arrow->SetScrollStyle(style);
            left += 28;
        }

        // Labels: the text styles, a border, a turned and a curved caption.
        auto label = Place<TKvLabel>(8, 160, 110, 20, "Raised label");
        label->SetTextStyle(tsRaised);
        label = Place<TKvLabel>(8, 184, 110, 20, "Recessed label");
        label->SetTextStyle(tsRecessed);
        label = Place<TKvLabel>(8, 208, 110, 20, "Shadow label");
        label->SetTextStyle(tsShadow);
        label = Place<TKvLabel>(8, 236, 130, 30, "Framed");
        label->SetBorderOuter(fsLowered);
        label->SetBorderInner(fsRaised);
        label->SetBorderWidth(2);
        label->SetAlignment(taCenter);
        label->SetLayout(tlCenter);
        label = Place<TKvLabel>(150, 160, 30, 110, "Turned");
        label->Font()->SetName("Arial");
        label->Font()->SetStyle({fsBold});
        label->SetTextStyle(tsRaised);
        label->SetAngle(90);
        label = Place<TKvLabel>(190, 160, 150, 150, "Curved text around");
        label->Font()->SetName("Arial");
        label->SetRotation(roCurve);
        label->SetAngle(90);
        label = Place<TKvLabel>(350, 160, 120, 20, "Disabled label");
        label->SetEnabled(false);

        // Links: unvisited and visited, and a picture link.
        auto url = Place<TKvURLLabel>(350, 190, 120, 20, "Unvisited link");
        url->SetURL("http://www.example.com");
        urlVisited = Place<TKvURLLabel>(350, 214, 120, 20, "Visited link");
        urlVisited->SetVisited(true);
        auto link = new TjsLinkImage(this);
        link->SetBounds(350, 244, 32, 32);
        DrawDisc(link->Picture()->Bitmap(), 32);
        link->SetHyperLink("www.example.com");
    }
};

class KvControlsForm : public GuiTest {
protected:
    void TearDown() override {
        ThemeServices().SetThemesDisabledForTests(false);
        GuiTest::TearDown();
    }

    // Shows the form with one button pressed and one hot, and leaves its picture.
    static void Picture(const std::string& name) {
        TControlsForm form;
        form.ShowForm();
        form.btnPlain->SetFocus();
        form.btnHot->Perform(CM_MOUSEENTER);
        SendMessageA(form.btnPressed->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        EXPECT_TRUE(guitest::SaveWindowScreenshot(form.Handle(), name));

        // Released outside: no click.
        SendMessageA(form.btnPressed->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(-20, -20));
        form.Hide();
    }
};

TEST_F(KvControlsForm, PicturesWithThemesAndInTheClassicLook) {
    Picture("KvControlsThemed");
    ThemeServices().SetThemesDisabledForTests(true);
    Picture("KvControlsClassic");
}

// Buttons and group boxes left to right beside their right-to-left twins.
TEST_F(KvControlsForm, RightToLeftPicture) {
    ThemeServices().SetThemesDisabledForTests(true);
    TTestForm form;
    form.SetCaption("Right to left");
    form.SetClientSize(420, 250);
    auto column = [&](int left, TBiDiMode mode, const char* heading) {
        auto panel = form.Add<TKvPanel>(&form, left, 0, 210, 250);
        panel->SetBorderOuter(fsNone);
        panel->SetBiDiMode(mode);
        auto box = form.Add<TKvGroupBox>(panel, 10, 10, 190, 230);
        box->SetCaption(heading);
        box->SetGroupStyle(gsStandard);
        auto shadow = form.Add<TKvButton>(box, 15, 30, 160, 30);
        shadow->SetCaption("Shadowed caption");
        shadow->SetAlignment(taLeftJustify);
        shadow->SetTextStyle(tsShadow);
        shadow->SetTextShadowColor(clGray);
        auto raised = form.Add<TKvButton>(box, 15, 70, 160, 30);
        raised->SetCaption("Raised caption");
        raised->SetAlignment(taLeftJustify);
        raised->SetTextStyle(tsRaised);
        auto bit = form.Add<TKvBitBtn>(box, 15, 110, 160, 30);
        bit->SetKind(bkOK);
        auto menu = form.Add<TKvMenuButton>(box, 15, 150, 160, 30);
        menu->SetCaption("Menu");
        auto flat = form.Add<TKvGroupBox>(box, 15, 190, 160, 30);
        flat->SetCaption("Flat group");
    };
    column(0, bdLeftToRight, "Left to right");
    column(210, bdRightToLeft, "Right to left");
    form.ShowForm();
    EXPECT_TRUE(guitest::SaveWindowScreenshot(form.Handle(), "KvControlsRightToLeft"));
    form.Hide();
}

// Every button of the form is a real window titled with its caption that a robot can click.
TEST_F(KvControlsForm, ButtonsAreWindowsTitledWithTheirCaptions) {
    TControlsForm form;
    form.ShowForm();
    char text[64] = "";
    GetWindowTextA(form.btnOk->Handle(), text, sizeof(text));
    EXPECT_STREQ(text, "OK");
    int clicks = 0;
    form.btnNext->OnClick = [&](TObject*) { ++clicks; };
    SendMessageA(form.btnNext->Handle(), BM_CLICK, 0, 0);
    form.tbUp->OnClick = [&](TObject*) { ++clicks; };
    SendMessageA(form.tbUp->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(clicks, 2);
    form.Hide();
}

}  // namespace
