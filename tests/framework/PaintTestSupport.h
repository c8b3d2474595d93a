#pragma once

// Shared pieces of the painting tests: a control painted into a bitmap, its pixels read back,
// system colours and measured text to compare them with.

#include "Controls.h"
#include "Graphics.h"
#include "Handles.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace guitest {

inline COLORREF Sys(int index) { return GetSysColor(index); }

// A pixel of a 24- or 32-bit bitmap.
inline COLORREF PixelAt(const TBitmap& bitmap, int x, int y) {
    const uint8_t* p = bitmap.ScanLine(y) + x * (bitmap.PixelFormat() == pf32bit ? 4 : 3);
    return RGB(p[2], p[1], p[0]);
}

// The control's client area painted into a bitmap first filled with background.
inline std::unique_ptr<TBitmap> Render(TWinControl& control, TColor background = clFuchsia) {
    TRect client = control.ClientRect();
    auto bitmap = std::make_unique<TBitmap>(client.right, client.bottom);
    bitmap->Canvas().Brush().SetColor(background);
    bitmap->Canvas().FillRect(client);
    control.Perform(WM_PAINT, reinterpret_cast<WPARAM>(bitmap->Canvas().Handle()), 0);
    return bitmap;
}

// The smallest rectangle holding every pixel inside area (an empty area: the whole bitmap) for
// which match holds; right <= left when none does.
inline TRect BoxOf(const TBitmap& bitmap, const std::function<bool(COLORREF)>& match, TRect area = {}) {
    if (IsRectEmpty(&area))
        area = MakeRect(0, 0, bitmap.Width(), bitmap.Height());
    TRect box{area.right, area.bottom, area.left, area.top};
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (match(PixelAt(bitmap, x, y)))
                box = TRect{std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x + 1),
                            std::max<LONG>(box.bottom, y + 1)};
    return box;
}

inline TRect BoxOfColour(const TBitmap& bitmap, COLORREF colour, TRect area = {}) {
    return BoxOf(bitmap, [colour](COLORREF pixel) { return pixel == colour; }, area);
}

inline std::vector<int> Edges(const TRect& rect) { return {rect.left, rect.top, rect.right, rect.bottom}; }

inline bool Near(COLORREF a, COLORREF b, int tolerance) {
    return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
           std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

// A solid picture; the bottom-left pixel (the transparent colour of bitmaps) may differ.
inline std::unique_ptr<TBitmap> SolidBitmap(int width, int height, TColor colour, TColor corner = clNone) {
    auto bitmap = std::make_unique<TBitmap>(width, height);
    bitmap->Canvas().Brush().SetColor(colour);
    bitmap->Canvas().FillRect(MakeRect(0, 0, width, height));
    if (corner != clNone && width > 0 && height > 0)
        bitmap->Canvas().SetPixel(0, height - 1, corner);
    return bitmap;
}

// The size DrawTextA gives text in font on the screen.
inline SIZE TextSize(const TFont& font, const std::string& text, UINT flags = DT_SINGLELINE) {
    TWindowDc dc(nullptr);
    TSelection selection(dc.Get(), font.Handle());
    TRect rect{};
    DrawTextA(dc.Get(), text.data(), static_cast<int>(text.size()), &rect, flags | DT_CALCRECT);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

// An .ico file with one 32-bit square image of one colour.
inline std::string MakeIcoFile(int size, COLORREF color) {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = size;
    header.biHeight = size * 2;  // colour and mask
    header.biPlanes = 1;
    header.biBitCount = 32;
    const size_t maskStride = ((size + 31) / 32) * 4;
    const size_t imageBytes = sizeof header + size_t(size) * size * 4 + maskStride * size;
    std::string file(6 + 16, '\0');
    const uint8_t dir[6] = {0, 0, 1, 0, 1, 0};
    std::memcpy(&file[0], dir, 6);
    const uint8_t entry[8] = {uint8_t(size), uint8_t(size), 0, 0, 1, 0, 32, 0};
    std::memcpy(&file[6], entry, 8);
    const DWORD bytes = static_cast<DWORD>(imageBytes), offset = 22;
    std::memcpy(&file[14], &bytes, 4);
    std::memcpy(&file[18], &offset, 4);
    file.append(reinterpret_cast<const char*>(&header), sizeof header);
    const DWORD pixel = 0xFF000000 | (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
    for (int i = 0; i < size * size; ++i)
        file.append(reinterpret_cast<const char*>(&pixel), 4);
    file.append(maskStride * size, '\0');  // all opaque
    return file;
}

}  // namespace guitest
