#include "kelGraphics.h"

#include "Handles.h"
#include "SysUtils.h"

namespace {

constexpr TColorIdent kColorNames[] = {
    {"clBrown", 0x003090},      {"clOliveGreen", 0x003030}, {"clDarkGreen", 0x003000},
    {"clDarkTeal", 0x603000},   {"clIndigo", 0x903030},     {"clNight", 0x303030},
    {"clOrange", 0x0068FF},     {"clBlueGray", 0x906060},   {"clLightOrange", 0x0098FF},
    {"clSeaGreen", 0x609830},   {"clLightBlue", 0xFF6830},  {"clMetal", 0x909090},
    {"clGold", 0x00C8FF},       {"clPlum", 0x603090},       {"clRose", 0xD098FF},
    {"clTan", 0xA0C8FF},        {"clLightYellow", 0x90FFFF}, {"clLightGreen", 0xD0FFD0},
    {"clLightTurquoise", 0xFFFFC0}, {"clPaleBlue", 0xFFC890}, {"clLavender", 0xFF98C0},
};

void PaintRect(HDC dc, const TRect& rect, TColor color, bool frame) {
    TUniqueGdi<HBRUSH> brush(CreateSolidBrush(ColorToRGB(color)));
    if (!brush)
        return;
    if (frame)
        FrameRect(dc, &rect, brush.Get());
    else
        FillRect(dc, &rect, brush.Get());
}

}  // namespace

void RegisterColorNames() { RegisterColorIdents(kColorNames); }

bool ColorIdentToInt(const std::string& ident, int& color) {
    for (const TColorIdent& entry : kColorNames)
        if (SameText(entry.Name, ident)) {
            color = entry.Color;
            return true;
        }
    TColor framework;
    if (!IdentToColor(ident, framework))
        return false;
    color = static_cast<int>(framework);
    return true;
}

bool IntToColorIdent(int color, std::string& ident) {
    for (const TColorIdent& entry : kColorNames)
        if (entry.Color == color) {
            ident = entry.Name;
            return true;
        }
    return ColorToIdent(static_cast<TColor>(color), ident);
}

TColor PixelAtCursor() {
    POINT point{};
    if (!GetCursorPos(&point))
        return clBlack;
    HWND desktop = GetDesktopWindow();
    TWindowDc dc(desktop);
    if (!dc)
        return clBlack;
    COLORREF pixel = GetPixel(dc.Get(), point.x, point.y);
    return pixel == CLR_INVALID ? clBlack : RGBToColor(pixel);
}

void FillRectSysColor(HDC dc, const TRect& rect, TColor color) { PaintRect(dc, rect, color, false); }

void FrameRectSysColor(HDC dc, const TRect& rect, TColor color) { PaintRect(dc, rect, color, true); }

TSetLayeredWindowAttributes LayeredWindowAttributesProc() {
    static const TSetLayeredWindowAttributes proc = [] {
        HMODULE user32 = GetModuleHandleA("user32.dll");
        return user32 ? reinterpret_cast<TSetLayeredWindowAttributes>(
                            reinterpret_cast<void*>(GetProcAddress(user32, "SetLayeredWindowAttributes")))
                      : nullptr;
    }();
    return proc;
}
