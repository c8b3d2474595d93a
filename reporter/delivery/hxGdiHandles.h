#pragma once

// Owners of GDI objects and memory DCs, and a solid fill, for the delivery units (which do not
// use the window framework: the reporter runs before it and without it).

#include <windows.h>

#include <memory>
#include <type_traits>

struct TGdiDeleter {
    void operator()(void* h) const { DeleteObject(static_cast<HGDIOBJ>(h)); }
};
template <class H>
using TGdiPtr = std::unique_ptr<std::remove_pointer_t<H>, TGdiDeleter>;

struct TDcDeleter {
    void operator()(HDC h) const { DeleteDC(h); }
};
using TMemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, TDcDeleter>;

// Fills the rectangle with the colour without making a brush; the colour stays the DC's
// background colour.
inline void FillSolid(HDC dc, const RECT& r, COLORREF color)
{
    SetBkColor(dc, color);
    ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

inline void FillSolid(HDC dc, int left, int top, int right, int bottom, COLORREF color)
{
    FillSolid(dc, RECT{left, top, right, bottom}, color);
}
