#pragma once

// Colour names of the utility components and small drawing helpers.

#include "Graphics.h"

#include <windows.h>

#include <string>

// The names below first ("clBrown" ...), then the framework's; case-insensitive.
bool ColorIdentToInt(const std::string& ident, int& color);
// The name of a colour, the names below first.
bool IntToColorIdent(int color, std::string& ident);

// The colour of the screen pixel under the mouse.
TColor PixelAtCursor();
// Solid brushes of a colour that may be a system colour.
void FillRectSysColor(HDC dc, const TRect& rect, TColor color);
void FrameRectSysColor(HDC dc, const TRect& rect, TColor color);

// user32's SetLayeredWindowAttributes, looked up by name; null where the system has none.
using TSetLayeredWindowAttributes = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);
TSetLayeredWindowAttributes LayeredWindowAttributesProc();
