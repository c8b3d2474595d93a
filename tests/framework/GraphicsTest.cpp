#include "Graphics.h"
#include "ImgList.h"
#include "Jpeg.h"
#include "Themes.h"

#include "PaintTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <vsstyle.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using guitest::MakeIcoFile;
using guitest::Near;
using guitest::PixelAt;

// A bitmap filled with one colour.
void Fill(TBitmap& bitmap, TColor color) {
    bitmap.Canvas().Brush().SetColor(color);
    bitmap.Canvas().FillRect(MakeRect(0, 0, bitmap.Width(), bitmap.Height()));
}

// The bounds of the pixels that differ from background; empty when none.
TRect InkBounds(const TBitmap& bitmap, COLORREF background) {
    TRect bounds{bitmap.Width(), bitmap.Height(), 0, 0};
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x)
            if (PixelAt(bitmap, x, y) != background) {
                bounds.left = std::min<LONG>(bounds.left, x);
                bounds.top = std::min<LONG>(bounds.top, y);
                bounds.right = std::max<LONG>(bounds.right, x + 1);
                bounds.bottom = std::max<LONG>(bounds.bottom, y + 1);
            }
    return bounds;
}

std::string StreamBytes(TMemoryStream& stream) {
    return std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
}

void LoadBytes(TMemoryStream& stream, const std::string& bytes) {
    stream.Clear();
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.SetPosition(0);
}

}  // namespace

TEST(Graphics, SystemColoursResolveThroughTheSystem) {
    const std::pair<TColor, int> system[] = {{clScrollBar, COLOR_SCROLLBAR},     {clWindow, COLOR_WINDOW},
                                             {clWindowText, COLOR_WINDOWTEXT},   {clHighlight, COLOR_HIGHLIGHT},
                                             {clBtnFace, COLOR_BTNFACE},         {clBtnShadow, COLOR_BTNSHADOW},
                                             {clBtnHighlight, COLOR_BTNHIGHLIGHT}, {clInfoBk, COLOR_INFOBK},
                                             {clMenuHighlight, COLOR_MENUHILIGHT}, {clMenuBar, COLOR_MENUBAR}};
    for (auto [color, index] : system)
        EXPECT_EQ(ColorToRGB(color), GetSysColor(index)) << ColorToString(color);
    EXPECT_EQ(ColorToRGB(clRed), RGB(255, 0, 0));
    EXPECT_EQ(ColorToRGB(clSkyBlue), RGB(0xA6, 0xCA, 0xF0));
}

TEST(Graphics, ColourNamesRoundTrip) {
    for (TColor color : {clBlack, clMaroon, clFuchsia, clMedGray, clNone, clDefault, clScrollBar, clBtnFace, clMenuBar,
                         static_cast<TColor>(0x123456)})
        EXPECT_EQ(StringToColor(ColorToString(color)), color) << ColorToString(color);
    EXPECT_EQ(ColorToString(clBtnFace), "clBtnFace");
    EXPECT_EQ(ColorToString(static_cast<TColor>(0x123456)), "$00123456");
    EXPECT_EQ(StringToColor("CLWINDOW"), clWindow);
    EXPECT_EQ(StringToColor("$80000005"), clWindow);
    EXPECT_EQ(StringToColor("255"), clRed);
    TColor color = clBlack;
    EXPECT_FALSE(IdentToColor("clNoSuchColour", color));
    EXPECT_THROW(StringToColor("clNoSuchColour"), EConvertError);
}

TEST(Canvas, LinesFillsFramesAndShapesLandOnTheirPixels) {
    TBitmap bitmap(40, 30);
    TCanvas& canvas = bitmap.Canvas();
    Fill(bitmap, clWhite);
    const COLORREF white = RGB(255, 255, 255);

    // A line includes its start and leaves out its end point.
    canvas.Pen().SetColor(clBtnShadow);
    canvas.MoveTo(2, 2);
    canvas.LineTo(10, 2);
    EXPECT_EQ(PixelAt(bitmap, 2, 2), GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(PixelAt(bitmap, 9, 2), GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(PixelAt(bitmap, 10, 2), white);
    EXPECT_EQ(canvas.PenPos().x, 10);

    // A new pen colour reaches the DC although the old pen is still selected.
    canvas.Pen().SetColor(clRed);
    canvas.LineTo(10, 6);
    EXPECT_EQ(PixelAt(bitmap, 10, 4), RGB(255, 0, 0));

    canvas.Brush().SetColor(clHighlight);
    canvas.FillRect(MakeRect(20, 2, 25, 6));
    EXPECT_EQ(PixelAt(bitmap, 20, 2), GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(PixelAt(bitmap, 24, 5), GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(PixelAt(bitmap, 25, 5), white);

    canvas.Brush().SetColor(clBlue);
    canvas.FrameRect(MakeRect(28, 2, 34, 8));
    EXPECT_EQ(PixelAt(bitmap, 28, 5), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(bitmap, 33, 7), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(bitmap, 30, 5), white);

    // Outline in the pen, inside in the brush.
    canvas.Pen().SetColor(clBlack);
    canvas.Brush().SetColor(clLime);
    canvas.Rectangle(2, 10, 8, 16);
    EXPECT_EQ(PixelAt(bitmap, 2, 10), RGB(0, 0, 0));
    EXPECT_EQ(PixelAt(bitmap, 7, 15), RGB(0, 0, 0));
    EXPECT_EQ(PixelAt(bitmap, 4, 12), RGB(0, 255, 0));
    EXPECT_EQ(PixelAt(bitmap, 8, 12), white);

    canvas.Brush().SetStyle(bsClear);
    canvas.Rectangle(10, 10, 16, 16);
    EXPECT_EQ(PixelAt(bitmap, 12, 12), white);

    const TPoint triangle[] = {{20, 10}, {38, 10}, {20, 28}};
    canvas.Pen().SetColor(clNavy);
    canvas.Brush().SetColor(clYellow);
    canvas.Polygon(triangle);
    EXPECT_EQ(PixelAt(bitmap, 23, 13), RGB(255, 255, 0));
    EXPECT_EQ(PixelAt(bitmap, 20, 20), RGB(0, 0, 0x80));
    EXPECT_EQ(PixelAt(bitmap, 36, 26), white);

    const TPoint zigzag[] = {{2, 20}, {6, 20}, {6, 26}};
    canvas.Pen().SetColor(clPurple);
    canvas.Polyline(zigzag);
    EXPECT_EQ(PixelAt(bitmap, 4, 20), RGB(0x80, 0, 0x80));
    EXPECT_EQ(PixelAt(bitmap, 6, 23), RGB(0x80, 0, 0x80));
    EXPECT_EQ(PixelAt(bitmap, 3, 23), white);

    canvas.SetPixel(39, 29, clTeal);
    EXPECT_EQ(canvas.Pixels(39, 29), clTeal);
    EXPECT_EQ(PixelAt(bitmap, 39, 29), RGB(0, 0x80, 0x80));
}

TEST(Canvas, TextFollowsTheMeasuredExtent) {
    TBitmap bitmap(200, 60);
    TCanvas& canvas = bitmap.Canvas();
    Fill(bitmap, clWhite);
    canvas.Font().SetName("Tahoma");
    canvas.Font().SetHeight(-13);
    canvas.Font().SetColor(clBlack);

    // Measured apart with the same font made by hand.
    LOGFONTA logFont{};
    logFont.lfHeight = -13;
    logFont.lfWeight = FW_NORMAL;
    logFont.lfCharSet = DEFAULT_CHARSET;
    std::strcpy(logFont.lfFaceName, "Tahoma");
    TUniqueGdi<HFONT> font(CreateFontIndirectA(&logFont));
    TUniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    SIZE expected{};
    {
        TSelection selection(dc.Get(), font.Get());
        GetTextExtentPoint32A(dc.Get(), "Hello, world", 12, &expected);
    }
    const SIZE extent = canvas.TextExtent("Hello, world");
    EXPECT_EQ(extent.cx, expected.cx);
    EXPECT_EQ(extent.cy, expected.cy);

    canvas.Brush().SetStyle(bsClear);
    canvas.TextOut(5, 5, "Hello, world");
    const TRect ink = InkBounds(bitmap, RGB(255, 255, 255));
    EXPECT_GE(ink.left, 5);
    EXPECT_GE(ink.top, 5);
    EXPECT_LE(ink.right, 5 + extent.cx);
    EXPECT_LE(ink.bottom, 5 + extent.cy);
    EXPECT_GT(ink.right - ink.left, extent.cx / 2);

    // Bold is wider; the changed font is selected before the next measurement.
    canvas.Font().SetStyle({fsBold});
    EXPECT_GT(canvas.TextWidth("Hello, world"), extent.cx);
    canvas.Font().SetStyle({});

    // An opaque brush paints the text cell; TextRect clips to its rectangle.
    Fill(bitmap, clWhite);
    canvas.Brush().SetColor(clInfoBk);
    canvas.TextOut(0, 0, "Hi");
    const SIZE hi = canvas.TextExtent("Hi");
    EXPECT_EQ(PixelAt(bitmap, hi.cx - 1, 0), GetSysColor(COLOR_INFOBK));
    EXPECT_EQ(PixelAt(bitmap, hi.cx, 0), RGB(255, 255, 255));

    Fill(bitmap, clWhite);
    canvas.Brush().SetColor(clAqua);
    canvas.TextRect(MakeRect(10, 30, 40, 50), 10, 30, "A long line that does not fit");
    EXPECT_EQ(PixelAt(bitmap, 39, 49), RGB(0, 255, 255));
    const TRect clipped = InkBounds(bitmap, RGB(255, 255, 255));
    EXPECT_EQ(clipped.left, 10);
    EXPECT_EQ(clipped.right, 40);
    EXPECT_EQ(clipped.bottom, 50);
}

TEST(Canvas, ClippingAndItsGuard) {
    TBitmap bitmap(20, 20);
    TCanvas& canvas = bitmap.Canvas();
    Fill(bitmap, clWhite);
    {
        TClipGuard guard(canvas);
        canvas.IntersectClipRect(MakeRect(5, 5, 15, 15));
        canvas.ExcludeClipRect(MakeRect(8, 8, 10, 10));
        EXPECT_EQ(canvas.ClipRect().left, 5);
        EXPECT_EQ(canvas.ClipRect().right, 15);
        Fill(bitmap, clRed);
    }
    EXPECT_EQ(PixelAt(bitmap, 5, 5), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(bitmap, 14, 14), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(bitmap, 8, 8), RGB(255, 255, 255));
    EXPECT_EQ(PixelAt(bitmap, 4, 4), RGB(255, 255, 255));
    EXPECT_EQ(PixelAt(bitmap, 15, 15), RGB(255, 255, 255));
    // The guard put the unclipped state back.
    EXPECT_EQ(canvas.ClipRect().right, 20);
    Fill(bitmap, clBlue);
    EXPECT_EQ(PixelAt(bitmap, 0, 0), RGB(0, 0, 255));
}

TEST(Canvas, DrawStretchCopyAndTransparency) {
    TBitmap tile(2, 2);
    tile.Canvas().SetPixel(0, 0, clRed);
    tile.Canvas().SetPixel(1, 0, clLime);
    tile.Canvas().SetPixel(0, 1, clFuchsia);  // bottom-left: the transparent colour
    tile.Canvas().SetPixel(1, 1, clBlue);
    EXPECT_EQ(tile.TransparentColor(), clFuchsia);

    TBitmap target(10, 10);
    Fill(target, clWhite);
    target.Canvas().StretchDraw(MakeRect(0, 0, 4, 4), tile);
    EXPECT_EQ(PixelAt(target, 1, 1), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(target, 2, 1), RGB(0, 255, 0));
    EXPECT_EQ(PixelAt(target, 3, 3), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(target, 4, 4), RGB(255, 255, 255));

    tile.SetTransparent(true);
    target.Canvas().Draw(6, 6, tile);
    EXPECT_EQ(PixelAt(target, 6, 6), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(target, 6, 7), RGB(255, 255, 255));  // left out
    EXPECT_EQ(PixelAt(target, 7, 7), RGB(0, 0, 255));

    TBitmap copy(4, 4);
    copy.Canvas().CopyRect(MakeRect(0, 0, 2, 2), target.Canvas(), MakeRect(2, 0, 4, 2));
    EXPECT_EQ(PixelAt(copy, 0, 0), RGB(0, 255, 0));
}

TEST(Graphics, BitmapFilesRoundTripAndDamageIsRefused) {
    for (TPixelFormat format : {pf24bit, pf32bit}) {
        TBitmap source(7, 5, format);  // rows need padding in 24 bits
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x)
                source.Canvas().SetPixel(x, y, static_cast<TColor>(RGB(x * 30, y * 50, 200)));
        TMemoryStream stream;
        source.SaveToStream(stream);
        stream.SetPosition(0);
        TBitmap loaded;
        loaded.LoadFromStream(stream);
        ASSERT_EQ(loaded.Width(), 7);
        ASSERT_EQ(loaded.Height(), 5);
        EXPECT_EQ(loaded.PixelFormat(), format);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x)
                EXPECT_EQ(PixelAt(loaded, x, y), RGB(x * 30, y * 50, 200)) << x << "," << y;

        // Every cut through the headers or pixels is refused and leaves the bitmap as it was.
        const std::string bytes = StreamBytes(stream);
        for (size_t length = 0; length < bytes.size(); length += 7) {
            TMemoryStream cut;
            LoadBytes(cut, bytes.substr(0, length));
            EXPECT_THROW(loaded.LoadFromStream(cut), EInvalidGraphic) << length;
        }
        EXPECT_EQ(loaded.Width(), 7);
    }

    // Resizing keeps the overlapping pixels.
    TBitmap bitmap(4, 4);
    bitmap.Canvas().SetPixel(1, 1, clRed);
    bitmap.SetSize(9, 3);
    EXPECT_EQ(PixelAt(bitmap, 1, 1), RGB(255, 0, 0));
    bitmap.SetSize(0, 0);
    EXPECT_TRUE(bitmap.Empty());
}

TEST(Graphics, BitmapAndIconFromResources) {
    // The system's own bitmap and icon resources stand in for ours.
    HMODULE user32 = GetModuleHandleA("user32.dll");
    const int id = 32754;  // OBM_CLOSE
    TUniqueGdi<HBITMAP> system(static_cast<HBITMAP>(LoadImageA(user32, MAKEINTRESOURCEA(id), IMAGE_BITMAP, 0, 0, 0)));
    ASSERT_TRUE(system);
    BITMAP info{};
    GetObjectA(system.Get(), sizeof info, &info);
    TBitmap bitmap;
    bitmap.LoadFromResourceID(user32, id);
    ASSERT_EQ(bitmap.Width(), info.bmWidth);
    ASSERT_EQ(bitmap.Height(), info.bmHeight);
    TBitmap expected(info.bmWidth, info.bmHeight);
    TUniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    {
        TSelection selection(dc.Get(), system.Get());
        BitBlt(expected.Canvas().Handle(), 0, 0, info.bmWidth, info.bmHeight, dc.Get(), 0, 0, SRCCOPY);
    }
    for (int y = 0; y < info.bmHeight; ++y)
        EXPECT_EQ(std::memcmp(bitmap.ScanLine(y), expected.ScanLine(y), size_t(info.bmWidth) * 3), 0) << y;
    EXPECT_THROW(bitmap.LoadFromResourceName(user32, "NoSuchBitmap"), EResNotFound);
}

TEST(Jpeg, CompressedImageDecodesToItsSizeAndColours) {
    TBitmap source(64, 48);
    const TColor quadrants[] = {clRed, clLime, clBlue, clYellow};
    for (int i = 0; i < 4; ++i) {
        source.Canvas().Brush().SetColor(quadrants[i]);
        source.Canvas().FillRect(MakeBounds((i % 2) * 32, (i / 2) * 24, 32, 24));
    }
    TJPEGImage jpeg;
    jpeg.CompressionQuality = 95;
    jpeg.Assign(source);
    TMemoryStream stream;
    jpeg.SaveToStream(stream);
    const std::string bytes = StreamBytes(stream);
    ASSERT_GT(bytes.size(), 100u);
    EXPECT_EQ(bytes.substr(0, 3), "\xFF\xD8\xFF");

    TJPEGImage loaded;
    stream.SetPosition(0);
    loaded.LoadFromStream(stream);
    EXPECT_EQ(loaded.Width(), 64);
    EXPECT_EQ(loaded.Height(), 48);
    TBitmap decoded;
    decoded.Assign(loaded);
    ASSERT_EQ(decoded.Width(), 64);
    ASSERT_EQ(decoded.Height(), 48);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Near(PixelAt(decoded, (i % 2) * 32 + 16, (i / 2) * 24 + 12), ColorToRGB(quadrants[i]), 16)) << i;

    // Drawn through a canvas, stretched to twice its size.
    TBitmap target(128, 96);
    target.Canvas().StretchDraw(MakeRect(0, 0, 128, 96), loaded);
    EXPECT_TRUE(Near(PixelAt(target, 96, 72), RGB(255, 255, 0), 16));

    // Damage raises EJPEG instead of ending the process.
    std::string damaged = bytes;
    for (size_t i = 20; i < damaged.size() - 2; ++i)
        damaged[i] = '\xFF';
    TMemoryStream bad;
    LoadBytes(bad, damaged);
    TJPEGImage broken;
    EXPECT_THROW(
        {
            broken.LoadFromStream(bad);
            broken.Bitmap();
        },
        EJPEG);
    LoadBytes(bad, bytes.substr(0, 10));
    EXPECT_THROW(broken.LoadFromStream(bad), EJPEG);
    LoadBytes(bad, "");
    EXPECT_THROW(broken.LoadFromStream(bad), EJPEG);
}

TEST(Graphics, PictureChoosesItsGraphicByContent) {
    TBitmap bitmap(6, 4);
    Fill(bitmap, clGreen);
    TMemoryStream bmp;
    bitmap.SaveToStream(bmp);
    TJPEGImage jpeg;
    jpeg.Assign(bitmap);
    TMemoryStream jpg;
    jpeg.SaveToStream(jpg);
    TMemoryStream ico;
    LoadBytes(ico, MakeIcoFile(32, RGB(0, 0, 255)));

    TTempDir temp;
    TPicture picture;
    int changes = 0;
    picture.OnChange = [&](TObject*) { ++changes; };
    // File names say nothing: the content decides.
    picture.LoadFromFile(temp.AddFile("a.dat", StreamBytes(jpg)));
    EXPECT_NE(dynamic_cast<TJPEGImage*>(picture.Graphic()), nullptr);
    EXPECT_EQ(picture.Width(), 6);
    picture.LoadFromFile(temp.AddFile("b.jpg", StreamBytes(bmp)));
    EXPECT_NE(dynamic_cast<TBitmap*>(picture.Graphic()), nullptr);
    EXPECT_EQ(picture.Height(), 4);
    picture.LoadFromStream(ico);
    ASSERT_NE(dynamic_cast<TIcon*>(picture.Graphic()), nullptr);
    EXPECT_EQ(picture.Width(), 32);
    EXPECT_EQ(changes, 3);

    TBitmap target(40, 40);
    Fill(target, clWhite);
    target.Canvas().Draw(4, 4, *picture.Graphic());
    EXPECT_EQ(PixelAt(target, 20, 20), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(target, 2, 2), RGB(255, 255, 255));

    // Assign copies the graphic.
    TPicture copy;
    copy.Assign(picture);
    ASSERT_NE(copy.Graphic(), nullptr);
    EXPECT_NE(copy.Graphic(), picture.Graphic());
    EXPECT_EQ(copy.Width(), 32);

    TMemoryStream unknown;
    LoadBytes(unknown, "GIF89a....");
    EXPECT_THROW(picture.LoadFromStream(unknown), EInvalidGraphic);
    EXPECT_NE(dynamic_cast<TIcon*>(picture.Graphic()), nullptr);
}

TEST(ImageList, ChangesReachEveryListenerUntilItUnregisters) {
    TImageList images(nullptr);
    std::string heard;
    int first = 0, second = 0;
    images.OnChange = [&](TObject*) { heard += "o"; };
    images.RegisterChanges(&first, [&](TObject* sender) {
        EXPECT_EQ(sender, &images);
        heard += "1";
        images.UnRegisterChanges(&second);  // the other one is not told any more
    });
    images.RegisterChanges(&second, [&](TObject*) { heard += "2"; });
    images.SetSize(8, 8);
    EXPECT_EQ(heard, "o1");
    images.RegisterChanges(&second, [&](TObject*) { heard += "2"; });
    images.RegisterChanges(&first, [&](TObject*) { heard += "f"; });  // one registration per client
    heard.clear();
    images.SetSize(4, 4);
    EXPECT_EQ(heard, "o2f");
    images.UnRegisterChanges(&first);
    images.UnRegisterChanges(&second);
    heard.clear();
    images.SetSize(6, 6);
    EXPECT_EQ(heard, "o");
}

TEST(ImageList, DisabledDrawingDiffersAndMaskedPixelsStayUntouched) {
    // Two 8x8 images on a fuchsia mask: a black square at 2..5, a red square at 0..3.
    TBitmap strip(16, 8);
    Fill(strip, clFuchsia);
    strip.Canvas().Brush().SetColor(clBlack);
    strip.Canvas().FillRect(MakeRect(2, 2, 6, 6));
    strip.Canvas().Brush().SetColor(clRed);
    strip.Canvas().FillRect(MakeRect(8, 0, 12, 4));

    TImageList images(nullptr);
    images.SetSize(8, 8);
    EXPECT_EQ(images.AddMasked(strip, clFuchsia), 0);
    EXPECT_EQ(images.Count(), 2);
    EXPECT_EQ(PixelAt(strip, 0, 0), RGB(255, 0, 255));  // the caller's strip is unchanged

    const COLORREF background = RGB(0, 255, 255);
    TBitmap enabled(8, 8), disabled(8, 8);
    Fill(enabled, clAqua);
    Fill(disabled, clAqua);
    images.Draw(enabled.Canvas(), 0, 0, 0, true);
    images.Draw(disabled.Canvas(), 0, 0, 0, false);

    EXPECT_EQ(PixelAt(enabled, 3, 3), RGB(0, 0, 0));
    EXPECT_EQ(PixelAt(disabled, 3, 3), GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(PixelAt(disabled, 6, 6), GetSysColor(COLOR_BTNHIGHLIGHT));  // the relief's lit edge
    for (const TBitmap* drawn : {&enabled, &disabled})
        for (TPoint masked : {TPoint{0, 0}, TPoint{7, 0}, TPoint{0, 7}, TPoint{7, 7}})
            EXPECT_EQ(PixelAt(*drawn, masked.x, masked.y), background);

    TBitmap second(8, 8);
    Fill(second, clAqua);
    images.Draw(second.Canvas(), 0, 0, 1);
    EXPECT_EQ(PixelAt(second, 1, 1), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(second, 5, 5), background);

    images.Draw(second.Canvas(), 0, 0, 2);  // out of range: nothing
    images.Draw(second.Canvas(), 0, 0, -1);
    EXPECT_EQ(PixelAt(second, 5, 5), background);

    images.Clear();
    EXPECT_EQ(images.Count(), 0);
}

TEST(Graphics, ThemeSwitchForcesTheClassicLook) {
    TThemeServices& themes = ThemeServices();
    ASSERT_TRUE(themes.Available());
    HMODULE uxtheme = GetModuleHandleA("uxtheme.dll");
    ASSERT_NE(uxtheme, nullptr);
    auto isThemeActive = reinterpret_cast<BOOL(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(uxtheme, "IsThemeActive")));
    auto isAppThemed = reinterpret_cast<BOOL(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(uxtheme, "IsAppThemed")));
    const bool systemThemed = isThemeActive() && isAppThemed();
    EXPECT_EQ(themes.ThemesEnabled(), systemThemed);
    if (systemThemed) {
        TThemeData button = themes.OpenThemeData(nullptr, L"BUTTON");
        ASSERT_TRUE(button);
        SIZE size{};
        EXPECT_EQ(themes.GetThemePartSize(button.Get(), nullptr, BP_CHECKBOX, CBS_UNCHECKEDNORMAL, nullptr, TS_TRUE,
                                          size),
                  S_OK);
        EXPECT_GT(size.cx, 0);
    }

    themes.SetThemesDisabledForTests(true);
    EXPECT_FALSE(themes.ThemesEnabled());
    EXPECT_FALSE(themes.OpenThemeData(nullptr, L"BUTTON"));
    themes.SetThemesDisabledForTests(false);
    EXPECT_EQ(themes.ThemesEnabled(), systemThemed);
}

TEST(GraphicsProperties, FontPenAndBrushArePublished) {
    TFont font;
    int changes = 0;
    font.OnChange = [&](TObject*) { ++changes; };
    SetStrProp(font, "Color", "clRed");
    SetStrProp(font, "Style", "[fsBold,fsUnderline]");
    SetStrProp(font, "Name", "Tahoma");
    EXPECT_EQ(font.Color(), clRed);
    EXPECT_EQ(font.Style(), (TFontStyles{fsBold, fsUnderline}));
    EXPECT_EQ(font.Name(), "Tahoma");
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(GetStrProp(font, "color"), "clRed");
    EXPECT_EQ(GetStrProp(font, "Style"), "[fsBold,fsUnderline]");
    SetStrProp(font, "Color", "$00FF8000");
    EXPECT_EQ(ColorToRGB(font.Color()), RGB(0x00, 0x80, 0xFF));

    TPen pen;
    SetStrProp(pen, "Style", "psDot");
    SetOrdProp(pen, "Width", 3);
    EXPECT_EQ(pen.Style(), psDot);
    EXPECT_EQ(pen.Width(), 3);
    TBrush brush;
    SetStrProp(brush, "Color", "clBtnFace");
    EXPECT_EQ(ColorToRGB(brush.Color()), GetSysColor(COLOR_BTNFACE));
    EXPECT_THROW(SetStrProp(brush, "Style", "bsPolka"), EPropertyError);
}
