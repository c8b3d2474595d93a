#pragma once

// Graphics routines of the themed controls: colour arithmetic in hue, luminance and
// saturation (each 0..240 in a byte), rotated fonts and transparent stretching.

#include "Graphics.h"

#include <windows.h>

#include <cstdint>

struct THls {
    uint8_t Hue = 0;
    uint8_t Saturation = 0;
    uint8_t Luminance = 0;
};

// System colours are resolved first; clDefault reads as the button face, clNone as the window
// colour. Pure red gives hue 0, luminance 120, saturation 240.
THls ColorToHls(TColor color);
// The hue is read as a fraction of 239; a result of luminance 0 (m2 = 0) is black.
TColor HlsToColor(int hue, int saturation, int luminance);
// Luminance moved down by amount (not below 0) or up (clamped: 240 and above is white).
TColor DarkerColor(TColor color, int amount);
TColor LighterColor(TColor color, int amount);
// Darker for negative amounts, lighter for positive ones, unchanged for 0.
TColor AdjustColor(TColor color, int amount);

// A logical font like font, turned by angle degrees counter-clockwise. The caller owns it.
TUniqueGdi<HFONT> RotateFont(const TFont& font, int angle);
// Whether the font's face is TrueType (asked of a screen DC).
bool IsTrueTypeFont(const TFont& font);

// Stretches sourceRect of bitmap over destRect of canvas, leaving out transparentColor
// (clDefault: the bitmap's own transparent colour).
void StretchTransparentBitmap(TCanvas& canvas, TBitmap& bitmap, const TRect& destRect, TColor transparentColor,
                              const TRect& sourceRect);
