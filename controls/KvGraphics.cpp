#include "KvGraphics.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// clNone and clDefault carry no RGB of their own.
COLORREF ResolveRgb(TColor color) {
    if (color == clDefault)
        return ColorToRGB(clBtnFace);
    if (color == clNone)
        return ColorToRGB(clWindow);
    return ColorToRGB(color) & 0xFFFFFF;
}

uint8_t Scale240(double fraction) {
    return static_cast<uint8_t>(std::clamp(std::lround(fraction * 240.0), 0L, 255L));
}

uint8_t ToChannel(double value) {
    return static_cast<uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0));
}

}  // namespace

THls ColorToHls(TColor color) {
    const COLORREF rgb = ResolveRgb(color);
    const double r = GetRValue(rgb) / 255.0;
    const double g = GetGValue(rgb) / 255.0;
    const double b = GetBValue(rgb) / 255.0;
    const double high = std::max({r, g, b});
    const double low = std::min({r, g, b});
    const double l = (high + low) / 2;
    THls hls;
    hls.Luminance = Scale240(l);
    if (high == low)
        return hls;
    const double d = high - low;
    const double s = l < 0.5 ? d / (high + low) : d / (2 - high - low);
    double h;
    if (r == high)
        h = (g - b) / d;
    else if (g == high)
        h = 2 + (b - r) / d;
    else
        h = 4 + (r - g) / d;
    h /= 6;
    if (h < 0)
        h += 1;
    hls.Hue = Scale240(h);
    hls.Saturation = Scale240(s);
    return hls;
}

TColor HlsToColor(int hue, int saturation, int luminance) {
    const double h = hue / 239.0;
    const double s = saturation / 240.0;
    const double l = luminance / 240.0;
    const double m2 = l < 0.5 ? l * (1 + s) : l + s - l * s;
    if (m2 <= 0)
        return clBlack;
    const double m1 = 2 * l - m2;
    const double h6 = h * 6;
    const int sector = static_cast<int>(h6);
    const double f = h6 - sector;
    const double rising = m1 + (m2 - m1) * f;
    const double falling = m2 - (m2 - m1) * f;
    double r, g, b;
    switch (sector) {
    case 1: r = falling; g = m2; b = m1; break;
    case 2: r = m1; g = m2; b = rising; break;
    case 3: r = m1; g = falling; b = m2; break;
    case 4: r = rising; g = m1; b = m2; break;
    case 5: r = m2; g = m1; b = falling; break;
    default: r = m2; g = rising; b = m1; break;
    }
    return RGBToColor(RGB(ToChannel(r), ToChannel(g), ToChannel(b)));
}

TColor DarkerColor(TColor color, int amount) {
    const THls hls = ColorToHls(color);
    return HlsToColor(hls.Hue, hls.Saturation, std::max(hls.Luminance - amount, 0));
}

TColor LighterColor(TColor color, int amount) {
    const THls hls = ColorToHls(color);
    return HlsToColor(hls.Hue, hls.Saturation, std::min(hls.Luminance + amount, 255));
}

TColor AdjustColor(TColor color, int amount) {
    if (amount < 0)
        return DarkerColor(color, -amount);
    if (amount > 0)
        return LighterColor(color, amount);
    return color;
}

TUniqueGdi<HFONT> RotateFont(const TFont& font, int angle) {
    LOGFONTA logFont{};
    logFont.lfHeight = font.Height();
    logFont.lfWidth = 0;
    logFont.lfEscapement = (angle % 360) * 10;
    logFont.lfOrientation = 0;
    const TFontStyles style = font.Style();
    logFont.lfWeight = style.Contains(fsBold) ? FW_BOLD : FW_NORMAL;
    logFont.lfItalic = style.Contains(fsItalic);
    logFont.lfUnderline = style.Contains(fsUnderline);
    logFont.lfStrikeOut = style.Contains(fsStrikeOut);
    logFont.lfCharSet = DEFAULT_CHARSET;
    logFont.lfOutPrecision = OUT_DEFAULT_PRECIS;
    logFont.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    logFont.lfQuality = DEFAULT_QUALITY;
    switch (font.Pitch()) {
    case fpVariable: logFont.lfPitchAndFamily = VARIABLE_PITCH; break;
    case fpFixed: logFont.lfPitchAndFamily = FIXED_PITCH; break;
    default: logFont.lfPitchAndFamily = DEFAULT_PITCH; break;
    }
    const std::string& face = font.Name();
    std::memcpy(logFont.lfFaceName, face.data(), std::min(face.size(), sizeof(logFont.lfFaceName) - 1));
    return TUniqueGdi<HFONT>(CreateFontIndirectA(&logFont));
}

bool IsTrueTypeFont(const TFont& font) {
    TWindowDc screen(nullptr);
    if (!screen)
        return false;
    TSelection selection(screen.Get(), font.Handle());
    TEXTMETRICA metrics{};
    if (!GetTextMetricsA(screen.Get(), &metrics))
        return false;
    return (metrics.tmPitchAndFamily & TMPF_TRUETYPE) != 0;
}

void StretchTransparentBitmap(TCanvas& canvas, TBitmap& bitmap, const TRect& destRect, TColor transparentColor,
                              const TRect& sourceRect) {
    const int width = destRect.right - destRect.left;
    const int height = destRect.bottom - destRect.top;
    const int sourceWidth = sourceRect.right - sourceRect.left;
    const int sourceHeight = sourceRect.bottom - sourceRect.top;
    HDC dest = canvas.Handle();
    if (!dest || width <= 0 || height <= 0 || sourceWidth <= 0 || sourceHeight <= 0 || bitmap.Empty())
        return;
    const COLORREF transparent =
        ResolveRgb(transparentColor == clDefault ? bitmap.TransparentColor() : transparentColor);

    // The stretched copy, then a mask that is white where the copy shows the transparent colour.
    TUniqueMemoryDc copyDc(CreateCompatibleDC(dest));
    TUniqueGdi<HBITMAP> copy(CreateCompatibleBitmap(dest, width, height));
    TUniqueMemoryDc maskDc(CreateCompatibleDC(dest));
    TUniqueGdi<HBITMAP> mask(CreateBitmap(width, height, 1, 1, nullptr));
    if (!copyDc || !copy || !maskDc || !mask)
        return;
    TSelection copySelection(copyDc.Get(), copy.Get());
    TSelection maskSelection(maskDc.Get(), mask.Get());
    SetStretchBltMode(copyDc.Get(), COLORONCOLOR);
    StretchBlt(copyDc.Get(), 0, 0, width, height, bitmap.Canvas().Handle(), sourceRect.left, sourceRect.top,
               sourceWidth, sourceHeight, SRCCOPY);
    SetBkColor(copyDc.Get(), transparent);
    BitBlt(maskDc.Get(), 0, 0, width, height, copyDc.Get(), 0, 0, SRCCOPY);

    // Transparent pixels of the copy to black, the destination cleared where the copy shows,
    // then the two merged.
    SetBkColor(copyDc.Get(), RGB(0, 0, 0));
    SetTextColor(copyDc.Get(), RGB(255, 255, 255));
    BitBlt(copyDc.Get(), 0, 0, width, height, maskDc.Get(), 0, 0, SRCAND);
    const COLORREF oldBack = SetBkColor(dest, RGB(255, 255, 255));
    const COLORREF oldText = SetTextColor(dest, RGB(0, 0, 0));
    BitBlt(dest, destRect.left, destRect.top, width, height, maskDc.Get(), 0, 0, SRCAND);
    BitBlt(dest, destRect.left, destRect.top, width, height, copyDc.Get(), 0, 0, SRCPAINT);
    SetBkColor(dest, oldBack);
    SetTextColor(dest, oldText);
}
