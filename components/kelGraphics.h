#pragma once

// Colour names of the utility components and small drawing helpers.

#include "Graphics.h"

#include <windows.h>

#include <string>

// Adds the library's colour names ("clBrown" ...) to the framework's conversions, tried before
// the framework's own. Called once at start-up.
void RegisterColorNames();
// The library's names first, then the framework's; case-insensitive.
bool ColorIdentToInt(const std::string& ident, int& color);
// The name of a colour, the library's names first.
bool IntToColorIdent(int color, std::string& ident);

// The colour of the screen pixel under the mouse.
TColor PixelAtCursor();
// Solid brushes of a colour that may be a system colour.
void FillRectSysColor(HDC dc, const TRect& rect, TColor color);
void FrameRectSysColor(HDC dc, const TRect& rect, TColor color);

// user32's SetLayeredWindowAttributes, looked up by name; null where the system has none.
using TSetLayeredWindowAttributes = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);
TSetLayeredWindowAttributes LayeredWindowAttributesProc();
