#include "HTMLabel.h"

#include "rsIniData.h"
#include "rsPropSaver.h"

#include "FormStream.h"
#include "GuiTestSupport.h"
#include "Streams.h"
#include "ScreenshotSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class HTMLLabel : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        previousShell_ = SetShellOpenHook([this](HWND, const std::string& operation, const std::string& file,
                                                 const std::string&, const std::string&, int) {
            Opened += operation + " " + file + ";";
            return true;
        });
    }
    void TearDown() override {
        SetShellOpenHook(previousShell_);
        GuiTest::TearDown();
    }

    THTMLabel* AddLabel(TTestForm& form, const std::string& text, int width = 300, int height = 120) {
        auto label = form.Add<THTMLabel>(&form, 10, 10, width, height);
        label->Font()->SetSize(10);
        label->Font()->SetColor(clBlack);
        label->SetColor(clWhite);
        label->SetHTMLText(text);
        return label;
    }

    // The form's client area as it shows now.
    static void Capture(TTestForm& form, TBitmap& shot) {
        RedrawWindow(form.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        TRect client = form.ClientRect();
        shot.SetSize(client.right, client.bottom);
        TWindowDc dc(form.Handle());
        BitBlt(shot.Canvas().Handle(), 0, 0, client.right, client.bottom, dc.Get(), 0, 0, SRCCOPY);
    }

    // Columns and rows of the label's area holding this colour; left -1 when none.
    static TRect Extent(TBitmap& shot, const THTMLabel& label, TColor color) {
        TRect found{-1, -1, -1, -1};
        const COLORREF want = ColorToRGB(color);
        for (int y = label.Top(); y < label.Top() + label.Height(); ++y) {
            for (int x = label.Left(); x < label.Left() + label.Width(); ++x) {
                if (static_cast<COLORREF>(shot.Canvas().Pixels(x, y)) != want)
                    continue;
                if (found.left < 0)
                    found = TRect{x, y, x, y};
                found.left = std::min<int>(found.left, x);
                found.right = std::max<int>(found.right, x);
                found.top = std::min<int>(found.top, y);
                found.bottom = std::max<int>(found.bottom, y);
            }
        }
        return found;
    }

    // A lime picture of this size in the container, by name.
    static void AddPicture(TPictureContainer& container, const std::string& name, int width, int height) {
        TBitmap square(width, height);
        square.Canvas().Brush().SetColor(clLime);
        square.Canvas().FillRect(MakeRect(0, 0, width, height));
        TMemoryStream stream;
        square.SaveToStream(stream);
        stream.SetPosition(0);
        auto item = container.Items()->Add();
        item->SetName(name);
        item->Picture()->LoadFromStream(stream);
    }

    // The cursor put at a point of the label and the form told; the tooltip's text then.
    static std::string MouseAt(TTestForm& form, const THTMLabel& label, int x, int y) {
        const TPoint screen = form.ClientToScreen(TPoint{label.Left() + x, label.Top() + y});
        SetCursorPos(screen.x, screen.y);
        SendMessageA(form.Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(label.Left() + x, label.Top() + y));
        char text[1024] = "";
        TTTOOLINFOA tool{};
        tool.cbSize = sizeof(tool);
        tool.hwnd = Application.Handle();
        tool.uId = 1;
        tool.lpszText = text;
        HWND tip = Application.HintWindow();
        if (tip && IsWindowVisible(tip))
            SendMessageA(tip, TTM_GETTEXTA, sizeof(text), reinterpret_cast<LPARAM>(&tool));
        return text;
    }

    static int Measure(const std::string& text, int points, TFontStyles style = {}) {
        TBitmap bitmap(1, 1);
        bitmap.Canvas().Font().SetSize(points);
        bitmap.Canvas().Font().SetStyle(style);
        return text == "Wj" ? bitmap.Canvas().TextHeight(text) : bitmap.Canvas().TextWidth(text);
    }

    std::string Opened;

private:
    TShellOpenFunction previousShell_;
};

}  // namespace

TEST(HTMLMarkup, PlainTextAndColours) {
    EXPECT_EQ(HTMLStrip("a<BR>b<Z>hidden</Z>c"), "a\r\nbc");
    EXPECT_EQ(HTMLStrip("<b>x</b><hr>y<z>no</Z>"), "x\r\ny");
    EXPECT_EQ(HTMLStrip("<FONT COLOR=\"#F97600\">Next</FONT>"), "Next");
    EXPECT_EQ(HTMLStrip("text <B"), "text ");
    EXPECT_EQ(HTMLStrip("a<Z>never closed"), "a");

    EXPECT_EQ(HTMLColor("#F97600"), static_cast<TColor>(0x0076F9));
    EXPECT_EQ(HTMLColor("clRed"), clRed);
    EXPECT_EQ(HTMLColor("cl3ddkshadow"), static_cast<TColor>(kSystemColor | 21));
    EXPECT_EQ(HTMLColor("clBackground"), static_cast<TColor>(kSystemColor | 1));
    EXPECT_EQ(HTMLColor("clInfoBk"), static_cast<TColor>(kSystemColor | 24));
    EXPECT_EQ(HTMLColor("#12"), clBlack);
    EXPECT_EQ(HTMLColor("#"), clBlack);
    EXPECT_EQ(HTMLColor("#GG0000"), clBlack);
    EXPECT_EQ(HTMLColor("nonsense"), clBlack);
}

TEST_F(HTMLLabel, BoldColouredWordAndLineBreaks) {
    TTestForm form;
    auto label = AddLabel(form, "Press <B><FONT COLOR=\"#F97600\">Next</FONT></B> to go on.<BR><BR>Last line");
    form.ShowForm();
    Application.ProcessMessages();

    // Three lines, one of them empty.
    SIZE extent = label->TextExtent(label->Width());
    EXPECT_EQ(extent.cy, 3 * Measure("Wj", 10));
    EXPECT_EQ(extent.cx, Measure("Press ", 10) + Measure("Next", 10, {fsBold}) + Measure(" to go on.", 10));

    TBitmap shot;
    Capture(form, shot);
    TRect orange = Extent(shot, *label, static_cast<TColor>(0x0076F9));
    ASSERT_GE(orange.left, 0);
    const int start = label->Left() + Measure("Press ", 10);
    EXPECT_GE(orange.left, start);
    EXPECT_LE(orange.right, start + Measure("Next", 10, {fsBold}));
    EXPECT_LT(orange.bottom, label->Top() + Measure("Wj", 10));
    TRect black = Extent(shot, *label, clBlack);
    EXPECT_GE(black.bottom, label->Top() + 2 * Measure("Wj", 10));  // the last line

    // The same word without bold is narrower.
    label->SetHTMLText("Press <FONT COLOR=\"#F97600\">Next</FONT> to go on.");
    Capture(form, shot);
    TRect plain = Extent(shot, *label, static_cast<TColor>(0x0076F9));
    EXPECT_LT(plain.right - plain.left, orange.right - orange.left);
    form.Hide();
}

TEST_F(HTMLLabel, FontSizesWrappingAndLists) {
    TTestForm form;
    auto label = AddLabel(form, "<FONT SIZE=\"3\">Wj</FONT>");
    EXPECT_EQ(label->TextExtent(0).cy, Measure("Wj", 12));
    label->SetHTMLText("<FONT size=\"20\">Wj</FONT>");
    EXPECT_EQ(label->TextExtent(0).cy, Measure("Wj", 20));

    // Words wrap at the width; a word that does not fit starts a new line.
    label->SetHTMLText("alpha beta gamma");
    EXPECT_EQ(label->TextExtent(Measure("alpha beta ", 10) + 2).cy, 2 * Measure("Wj", 10));

    // Lines of the list are lines of the label; a list assigned whole breaks only at <BR>.
    label->HTMLText()->Clear();
    label->HTMLText()->Add("one");
    label->HTMLText()->Add("two");
    EXPECT_EQ(label->TextExtent(0).cy, 2 * Measure("Wj", 10));
    TStringList whole;
    whole.Add("one");
    whole.Add("two");
    label->SetHTMLText(&whole);
    EXPECT_EQ(label->TextExtent(0).cy, Measure("Wj", 10));
    EXPECT_EQ(label->TextExtent(0).cx, Measure("onetwo", 10));

    // Entities and a hidden section.
    label->SetHTMLText("a&lt;b&gt;&amp;<Z>hidden</Z>");
    EXPECT_EQ(label->TextExtent(0).cx, Measure("a<b>&", 10));
    // Unterminated and unknown tags neither draw nor run past the end.
    label->SetHTMLText("x<UNKNOWN>y<FONT COLOR=\"#12");
    EXPECT_EQ(label->TextExtent(0).cx, Measure("xy", 10));
}

TEST_F(HTMLLabel, AnchorsOpenAddressesOrFireTheEvent) {
    TTestForm form;
    auto label = AddLabel(form, "<A href=\"mailto:help@example.invalid\">Mail</A> or <A href=\"details\">details</A>");
    std::string clicked;
    label->OnAnchorClick = [&](TObject*, const std::string& anchor) { clicked += anchor + ";"; };
    std::string entered;
    label->OnAnchorEnter = [&](TObject*, const std::string& anchor) { entered += anchor + ";"; };
    form.ShowForm();
    Application.ProcessMessages();
    TBitmap shot;
    Capture(form, shot);
    // Anchors are drawn in URLColor.
    EXPECT_GE(Extent(shot, *label, clBlue).left, 0);

    auto click = [&](int x, int y) {
        LPARAM at = MAKELPARAM(label->Left() + x, label->Top() + y);
        SendMessageA(form.Handle(), WM_MOUSEMOVE, 0, at);
        SendMessageA(form.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageA(form.Handle(), WM_LBUTTONUP, 0, at);
    };
    const int line = Measure("Wj", 10) / 2;
    EXPECT_EQ(label->AnchorAt(3, line), "mailto:help@example.invalid");
    click(3, line);
    EXPECT_EQ(Opened, "open mailto:help@example.invalid;");
    EXPECT_EQ(clicked, "");
    const int details = Measure("Mail or ", 10) + 3;
    click(details, line);
    EXPECT_EQ(clicked, "details;");
    EXPECT_EQ(entered, "mailto:help@example.invalid;details;");
    EXPECT_EQ(label->Cursor(), crHandPoint);
    // Any button's release acts on the anchor.
    SendMessageA(form.Handle(), WM_RBUTTONUP, 0, MAKELPARAM(label->Left() + details, label->Top() + line));
    EXPECT_EQ(clicked, "details;details;");
    // Between the anchors nothing happens.
    click(Measure("Mail o", 10), line);
    EXPECT_EQ(clicked, "details;details;");
    EXPECT_EQ(label->Cursor(), crDefault);
    form.Hide();
}

TEST_F(HTMLLabel, ImagesFromTheContainerAndTheCache) {
    TTestForm form;
    TBitmap square(12, 9);
    square.Canvas().Brush().SetColor(clLime);
    square.Canvas().FillRect(MakeRect(0, 0, 12, 9));
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    const std::string file = std::string(folder) + "markup_label_image.bmp";
    square.SaveToFile(file);

    auto label = AddLabel(form, "a<IMG SRC=\"file://" + file + "\">b");
    EXPECT_EQ(label->TextExtent(0).cx, Measure("ab", 10) + 12);
    EXPECT_EQ(label->TextExtent(0).cx, Measure("ab", 10) + 12);
    EXPECT_EQ(label->PictureCache().Count(), 1);  // loaded once, found again by its address

    auto container = new TPictureContainer(&form);
    auto item = container->Items()->Add();
    item->SetName("Logo");
    item->Picture()->LoadFromURL("FILE://" + file);
    label->SetPictureContainer(container);
    label->SetHTMLText("<IMG SRC=\"LOGO\" WIDTH=\"30\" HEIGHT=\"20\"><IMG SRC=\"missing\">");
    EXPECT_EQ(label->TextExtent(0).cx, 30);
    form.Show();
    Application.ProcessMessages();
    TBitmap shot;
    Capture(form, shot);
    EXPECT_GE(Extent(shot, *label, clLime).left, 0);
    FreeComponent(container);
    EXPECT_EQ(label->PictureContainer(), nullptr);
    DeleteFileA(file.c_str());
    form.Hide();
}

TEST_F(HTMLLabel, BiDiModeIsPublishedAndFollowsTheParent) {
    TTestForm form;
    auto label = AddLabel(form, "Text");
    const TPropInfo& mode = GetPropInfo(*label, "BiDiMode");
    const TPropInfo& parentMode = GetPropInfo(*label, "ParentBiDiMode");
    EXPECT_FALSE(mode.Stored(*label));
    form.SetBiDiMode(bdRightToLeft);
    EXPECT_EQ(GetPropText(*label, mode), "bdRightToLeft");
    SetPropText(*label, mode, "bdRightToLeftReadingOnly");
    EXPECT_TRUE(label->UseRightToLeftReading());
    EXPECT_EQ(GetPropText(*label, parentMode), "False");
    EXPECT_TRUE(mode.Stored(*label));
}

// What the framework label publishes reaches the marked-up label and comes back from a form stream.
TEST_F(HTMLLabel, FrameworkLabelPropertiesAndEventsArePublished) {
    for (const char* name : {"Align", "Anchors", "BiDiMode", "Color", "Constraints", "DragCursor", "DragKind",
                             "DragMode", "Enabled", "Font", "Hint", "ParentBiDiMode", "ParentColor", "ParentFont",
                             "ParentShowHint", "PopupMenu", "ShowHint", "Transparent", "Visible", "OnClick",
                             "OnDblClick", "OnMouseDown", "OnMouseMove", "OnMouseUp", "OnStartDrag", "OnDragOver",
                             "OnDragDrop", "OnEndDrag"})
        EXPECT_NE(THTMLabel::StaticClassInfo().FindProp(name), nullptr) << name;

    TTestForm form;
    auto label = AddLabel(form, "Text");
    label->SetName("lblText");
    label->SetAnchors({akLeft, akTop, akRight});
    label->Constraints()->SetMaxWidth(300);
    label->SetDragMode(dmAutomatic);
    label->SetDragKind(dkDock);
    label->SetDragCursor(crHandPoint);
    label->SetParentShowHint(false);
    TMemoryStream stream;
    WriteComponent(stream, *label);
    stream.SetPosition(0);
    THTMLabel copy(nullptr);
    ReadComponent(stream, copy);
    EXPECT_EQ(copy.Anchors(), label->Anchors());
    EXPECT_EQ(copy.Constraints()->MaxWidth(), 300);
    EXPECT_EQ(copy.DragMode(), dmAutomatic);
    EXPECT_EQ(copy.DragKind(), dkDock);
    EXPECT_EQ(copy.DragCursor(), crHandPoint);
    EXPECT_FALSE(copy.ParentShowHint());
    EXPECT_EQ(copy.HTMLText()->Text(), label->HTMLText()->Text());
}

TEST_F(HTMLLabel, AutoSizingFitsTheText) {
    TTestForm form;
    auto label = AddLabel(form, "Short<BR>text", 200, 100);
    label->SetAutoSizing(true);
    form.ShowForm();
    Application.ProcessMessages();
    RedrawWindow(form.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Application.ProcessMessages();
    EXPECT_EQ(label->Height(), 2 * Measure("Wj", 10) + 6);
    EXPECT_EQ(label->Width(), 200);
    form.Hide();
}

TEST_F(HTMLLabel, PictureOfALabel) {
    TTestForm form;
    form.SetCaption("Cleanup settings");
    form.SetClientSize(460, 150);
    auto label = AddLabel(form,
                          "Choose the sections to scan, then press <B><FONT COLOR=\"#F97600\">Next</FONT></B>. "
                          "The scan only reads the registry.<BR><BR><B>Tip:</B> sections you leave out are "
                          "remembered for the next time.",
                          440, 130);
    label->SetColor(clBtnFace);
    form.ShowForm();
    Application.ProcessMessages();
    TBitmap shot;
    ASSERT_TRUE(guitest::CaptureWindow(form.Handle(), shot));
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "MarkupHTMLabel"));
    form.Hide();
}

TEST_F(HTMLLabel, ImagesScaleAndMiddleCentres) {
    TTestForm form;
    auto container = new TPictureContainer(&form);
    AddPicture(*container, "Square", 12, 9);
    AddPicture(*container, "Tall", 10, 40);
    auto label = AddLabel(form, "<IMG SRC=\"Square\" WIDTH=\"30\" HEIGHT=\"20\">");
    label->SetPictureContainer(container);
    form.ShowForm();
    TBitmap shot;
    Capture(form, shot);
    TRect lime = Extent(shot, *label, clLime);
    EXPECT_EQ(lime.right - lime.left + 1, 30);
    EXPECT_EQ(lime.bottom - lime.top + 1, 20);
    auto images = new TImageList(&form);
    images->SetSize(12, 9);
    TBitmap strip(12, 9);
    strip.Canvas().Brush().SetColor(clLime);
    strip.Canvas().FillRect(MakeRect(0, 0, 12, 9));
    images->AddMasked(strip, clFuchsia);
    label->SetImages(images);
    label->SetHTMLText("<IMG SRC=\"IDX:0\" WIDTH=\"24\" HEIGHT=\"18\">");
    Capture(form, shot);
    lime = Extent(shot, *label, clLime);
    EXPECT_EQ(lime.right - lime.left + 1, 24);
    EXPECT_EQ(lime.bottom - lime.top + 1, 18);

    // MIDDLE puts the text's middle on the image's.
    label->SetHTMLText("<IMG SRC=\"Tall\" ALIGN=\"MIDDLE\">Wj");
    Capture(form, shot);
    lime = Extent(shot, *label, clLime);
    TRect text = Extent(shot, *label, clBlack);
    EXPECT_EQ(lime.top, label->Top());
    EXPECT_NEAR(text.top + text.bottom, lime.top + lime.bottom, 6);
}

TEST_F(HTMLLabel, EllipsisFramesAndGradientLine) {
    TTestForm form;
    auto label = AddLabel(form, "alpha beta gamma", Measure("alpha beta...", 10) + 2, Measure("Wj", 10) + 4);
    label->SetEllipsis(true);
    EXPECT_EQ(label->TextExtent(label->Width()).cy, 2 * Measure("Wj", 10));  // still wraps
    form.ShowForm();
    // The second line does not show: the first one ends with the ellipsis after "beta".
    TBitmap shot;
    Capture(form, shot);
    EXPECT_GT(Extent(shot, *label, clBlack).right, label->Left() + Measure("alpha beta", 10) + 1);

    // The text keeps clear of one bevel width and of the single border.
    label->SetHTMLText("<FONT COLOR=\"clRed\">Wj</FONT>");
    Capture(form, shot);
    const int plain = Extent(shot, *label, clRed).left;
    label->SetBevelOuter(bvRaised);
    label->SetBevelInner(bvLowered);
    label->SetBevelWidth(2);
    label->SetBorderWidth(3);
    Capture(form, shot);
    EXPECT_EQ(Extent(shot, *label, clRed).left - plain, 2);
    label->SetBorderStyle(bsSingle);
    Capture(form, shot);
    EXPECT_EQ(Extent(shot, *label, clRed).left - plain, 5);
    EXPECT_EQ(shot.Canvas().Pixels(label->Left(), label->Top() + 5), clBlack);

    // A gradient line is two rows high unless LineWidth says otherwise.
    label->SetBevelOuter(bvNone);
    label->SetBevelInner(bvNone);
    label->SetBorderWidth(0);
    label->SetColorTo(clBlue);
    label->SetGradientType(gtTopLine);
    for (int width : {0, 5}) {
        label->SetLineWidth(width);
        Capture(form, shot);
        int rows = 0;
        while (shot.Canvas().Pixels(label->Left() + label->Width() - 4, label->Top() + rows) != clWhite)
            ++rows;
        EXPECT_EQ(rows, width == 0 ? 2 : 5);
    }
}

TEST_F(HTMLLabel, PropertySaverKeepsTheText) {
    TTestForm form;
    auto label = AddLabel(form, "first <B>line</B>\r\nsecond");
    label->SetName("lblText");
    auto storage = new TrsStorage(&form);
    auto saver = new TrsPropSaver(&form);
    saver->SetStorage(storage);
    saver->Properties().Add("lblText.HTMLText");
    saver->SaveToStorage();
    label->SetHTMLText("changed");
    saver->LoadFromStorage();
    EXPECT_EQ(label->HTMLText()->Text(), "first <B>line</B>\r\nsecond\r\n");
}

TEST_F(HTMLLabel, HintsOfAnchorsImagesAndCutText) {
    TTestForm form;
    auto container = new TPictureContainer(&form);
    AddPicture(*container, "Logo", 20, 12);
    const std::string text = "<A href=\"details\">details</A> <IMG SRC=\"Logo\" ALT=\"The logo\"> <B>end</B>";
    auto label = AddLabel(form, text, 300, Measure("Wj", 10) + 2);
    label->SetPictureContainer(container);
    label->SetHint("Plain|Long");
    label->SetShowHint(true);
    label->SetAnchorHint(true);
    label->OnAnchorHint = [](TObject*, std::string& anchor) { anchor = "Go to " + anchor; };
    form.ShowForm();
    Application.ProcessMessages();
    const int line = Measure("Wj", 10) / 2;
    const int image = Measure("details ", 10) + 5;
    const int end = Measure("details ", 10) + 20 + Measure(" e", 10);
    // The tooltip follows the mouse.
    EXPECT_EQ(MouseAt(form, *label, end, line), "Plain");
    EXPECT_EQ(MouseAt(form, *label, image, line), "The logo");
    EXPECT_EQ(MouseAt(form, *label, 3, line), "Go to details");
    EXPECT_EQ(MouseAt(form, *label, end, line), "Plain");

    // Cut text: the whole of it, plain or as markup in a pop-up of the label's.
    label->SetHintShowFull(true);
    label->HTMLText()->Add("a <FONT COLOR=\"#F97600\">second</FONT> line");
    TBitmap shot;
    Capture(form, shot);
    EXPECT_EQ(label->HintAt(end, line), "details  end\r\na second line");
    label->SetHTMLHint(true);
    EXPECT_EQ(label->HintAt(end, line), text + "\r\na <FONT COLOR=\"#F97600\">second</FONT> line");
    MouseAt(form, *label, 3, 150);
    EXPECT_EQ(MouseAt(form, *label, end, line), "");
    ASSERT_NE(label->HintPopup(), nullptr);
    EXPECT_TRUE(IsWindowVisible(label->HintPopup()));
    RedrawWindow(label->HintPopup(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    Application.ProcessMessages();
    ASSERT_TRUE(guitest::CaptureWindow(label->HintPopup(), shot));
    EXPECT_EQ(shot.Height(), 2 * Measure("Wj", 10) + 6);
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "MarkupHTMLHint"));
    MouseAt(form, *label, 3, 150);
    EXPECT_EQ(label->HintPopup(), nullptr);
}
