#include "KvCommon.h"

#include "ExtCtrls.h"
#include "Forms.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

namespace {

bool IsEmptyRect(const TRect& rect) { return rect.right <= rect.left || rect.bottom <= rect.top; }

// A line from (x1, y1) up to but not including (x2, y2); clNone draws nothing.
void Line(TCanvas& canvas, TColor color, int x1, int y1, int x2, int y2) {
    if (color == clNone)
        return;
    TPen& pen = canvas.Pen();
    pen.SetColor(color);
    pen.SetWidth(1);
    pen.SetStyle(psSolid);
    canvas.MoveTo(x1, y1);
    canvas.LineTo(x2, y2);
}

void Dot(TCanvas& canvas, int x, int y, TColor color) {
    if (color != clNone)
        canvas.SetPixel(x, y, color);
}

struct TColorPair {
    TColor UpperLeft;
    TColor LowerRight;
};

// The border colours of the one-ring styles and of the etched styles.
TColorPair SingleColors(TFrameStyle style) {
    switch (style) {
    case fsFlat: return {cl3DDkShadow, cl3DDkShadow};
    case fsGroove: return {clBtnShadow, clBtnHighlight};
    case fsBump: return {clBtnHighlight, clBtnShadow};
    case fsStatus: return {clBtnShadow, clBtnHighlight};
    case fsPopup: return {clBtnHighlight, clBtnShadow};
    case fsFlatBold: return {clBtnShadow, clBtnShadow};
    default: return {clNone, clNone};
    }
}

// Outer ring, then inner ring, of the two-ring styles.
void RingColors(TFrameStyle style, TColorPair& outer, TColorPair& inner) {
    switch (style) {
    case fsRaised: outer = {cl3DLight, cl3DDkShadow}; inner = {clBtnHighlight, clBtnShadow}; break;
    case fsLowered: outer = {clBtnShadow, clBtnHighlight}; inner = {cl3DDkShadow, cl3DLight}; break;
    case fsButtonUp: outer = {clBtnHighlight, cl3DDkShadow}; inner = {cl3DLight, clBtnShadow}; break;
    default: outer = {clBtnText, clBtnText}; inner = {clBtnShadow, clBtnShadow}; break;
    }
}

TRect DrawRings(TCanvas& canvas, const TRect& rect, TColorPair outer, TColorPair inner, TSides sides) {
    TRect inside = DrawSides(canvas, rect, outer.UpperLeft, outer.LowerRight, sides);
    return DrawSides(canvas, inside, inner.UpperLeft, inner.LowerRight, sides);
}

// Two lines on each side: the outer one in ul on the left and top, in lr on the right and
// bottom, the inner one the other way round. Open ends get their end pixel first.
TRect DrawEtched(TCanvas& canvas, const TRect& rect, TColor ul, TColor lr, TSides sides) {
    if (rect.right - rect.left < 2 || rect.bottom - rect.top < 2)
        return rect;
    const bool left = sides.Contains(sdLeft);
    const bool top = sides.Contains(sdTop);
    const bool right = sides.Contains(sdRight);
    const bool bottom = sides.Contains(sdBottom);
    const int l = rect.left, t = rect.top, r = rect.right - 1, b = rect.bottom - 1;
    if (top && !left)
        Dot(canvas, l, t + 1, lr);
    if (top && !right)
        Dot(canvas, r, t, ul);
    if (left && !top)
        Dot(canvas, l + 1, t, lr);
    if (left && !bottom)
        Dot(canvas, l, b, ul);
    if (right && !top)
        Dot(canvas, r, t, lr);
    if (right && !bottom)
        Dot(canvas, r - 1, b, ul);
    if (bottom && !left)
        Dot(canvas, l, b, lr);
    if (bottom && !right)
        Dot(canvas, r, b - 1, ul);
    // Closed corners where the two rings leave a gap.
    if (left && bottom)
        Dot(canvas, l, b, lr);
    if (top && right)
        Dot(canvas, r, t, lr);

    DrawSides(canvas, MakeRect(rect.left + 1, rect.top + 1, rect.right, rect.bottom), lr, lr, sides);
    DrawSides(canvas, MakeRect(rect.left, rect.top, rect.right - 1, rect.bottom - 1), ul, ul, sides);
    TRect result = rect;
    if (left)
        result.left += 2;
    if (top)
        result.top += 2;
    if (right)
        result.right -= 2;
    if (bottom)
        result.bottom -= 2;
    return result;
}

}  // namespace

// ---- Borders and frames -------------------------------------------------------------------

TRect DrawSides(TCanvas& canvas, const TRect& rect, TColor ulColor, TColor lrColor, TSides sides) {
    TRect result = rect;
    if (IsEmptyRect(rect))
        return result;
    if (sides.Contains(sdLeft)) {
        Line(canvas, ulColor, rect.left, rect.top, rect.left, rect.bottom);
        ++result.left;
    }
    if (sides.Contains(sdTop)) {
        Line(canvas, ulColor, rect.left, rect.top, rect.right, rect.top);
        ++result.top;
    }
    if (sides.Contains(sdRight)) {
        Line(canvas, lrColor, rect.right - 1, rect.top, rect.right - 1, rect.bottom);
        --result.right;
    }
    if (sides.Contains(sdBottom)) {
        Line(canvas, lrColor, rect.left, rect.bottom - 1, rect.right, rect.bottom - 1);
        --result.bottom;
    }
    return result;
}

TRect DrawBevel(TCanvas& canvas, const TRect& rect, TColor ulColor, TColor lrColor, int width, TSides sides) {
    TRect result = rect;
    for (int i = 0; i < width && !IsEmptyRect(result); ++i)
        result = DrawSides(canvas, result, ulColor, lrColor, sides);
    return result;
}

TRect DrawBorder(TCanvas& canvas, const TRect& rect, TFrameStyle style, TSides sides) {
    switch (style) {
    case fsNone:
        return rect;
    case fsFlat:
    case fsStatus:
    case fsPopup: {
        const TColorPair colors = SingleColors(style);
        return DrawSides(canvas, rect, colors.UpperLeft, colors.LowerRight, sides);
    }
    case fsFlatBold: {
        const TColorPair colors = SingleColors(style);
        return DrawBevel(canvas, rect, colors.UpperLeft, colors.LowerRight, 2, sides);
    }
    case fsGroove:
    case fsBump: {
        const TColorPair colors = SingleColors(style);
        return DrawEtched(canvas, rect, colors.UpperLeft, colors.LowerRight, sides);
    }
    case fsRaised:
    case fsLowered:
    case fsButtonUp:
    case fsButtonDown: {
        TColorPair outer, inner;
        RingColors(style, outer, inner);
        return DrawRings(canvas, rect, outer, inner, sides);
    }
    }
    return rect;
}

TRect DrawColorBorder(TCanvas& canvas, const TRect& rect, TColor color, TFrameStyle style, TSides sides) {
    auto darker = [color](int amount) { return DarkerColor(color, amount); };
    auto lighter = [color](int amount) { return LighterColor(color, amount); };
    switch (style) {
    case fsNone:
        return rect;
    case fsFlat:
        return DrawSides(canvas, rect, darker(50), darker(50), sides);
    case fsStatus:
        return DrawSides(canvas, rect, darker(50), lighter(100), sides);
    case fsPopup:
        return DrawSides(canvas, rect, lighter(100), darker(50), sides);
    case fsFlatBold:
        return DrawBevel(canvas, rect, darker(50), darker(50), 2, sides);
    case fsLowered:
        return DrawRings(canvas, rect, {darker(50), lighter(100)}, {darker(100), lighter(50)}, sides);
    case fsRaised:
        return DrawRings(canvas, rect, {lighter(50), darker(100)}, {lighter(100), darker(50)}, sides);
    case fsButtonUp:
    case fsButtonDown:
        return DrawBox(canvas, rect, color, style == fsButtonDown, sides);
    case fsGroove:
        return DrawEtched(canvas, rect, darker(50), lighter(100), sides);
    case fsBump:
        return DrawEtched(canvas, rect, lighter(100), darker(50), sides);
    }
    return rect;
}

TRect DrawBox(TCanvas& canvas, const TRect& rect, TColor color, bool down, TSides sides) {
    if (down) {
        const TColor outer = DarkerColor(color, 100);
        const TColor inner = DarkerColor(color, 50);
        return DrawRings(canvas, rect, {outer, outer}, {inner, inner}, sides);
    }
    return DrawRings(canvas, rect, {LighterColor(color, 100), DarkerColor(color, 100)},
                     {LighterColor(color, 40), DarkerColor(color, 50)}, sides);
}

void DrawFrame(TCanvas& canvas, int width, int height, bool keepBackground, TSides sides, TColor frameColor,
               TColor color, TFrameStyle style) {
    const TRect rect = MakeRect(0, 0, width, height);
    if (IsEmptyRect(rect))
        return;
    if (!keepBackground)
        DrawBevel(canvas, rect, color, color, 2, kAllSides);
    if (style == fsFlat)
        DrawSides(canvas, rect, frameColor, frameColor, sides);
    else if (style == fsFlatBold)
        DrawBevel(canvas, rect, frameColor, frameColor, 2, sides);
    else if (color == clWindow)
        DrawBorder(canvas, rect, style, sides);
    else
        DrawColorBorder(canvas, rect, color, style, sides);
}

TRect DrawFocusBorder(TCanvas& canvas, const TRect& rect) {
    if (IsEmptyRect(rect))
        return rect;
    const TColor color = canvas.Pen().Color();
    const int l = rect.left, t = rect.top, r = rect.right - 1, b = rect.bottom - 1;
    for (int x = l + 1; x < r; x += 2) {
        Dot(canvas, x, t, color);
        Dot(canvas, x, b, color);
    }
    for (int y = t + 1; y < b; y += 2) {
        Dot(canvas, l, y, color);
        Dot(canvas, r, y, color);
    }
    return MakeRect(rect.left + 1, rect.top + 1, rect.right - 1, rect.bottom - 1);
}

void PaintParentBackground(TControl& control, HDC dc, bool invalidateParent) {
    // A windowless control lies on its parent's own painting already; asking the parent to
    // paint again from inside the control's paint would paint the control within itself.
    static thread_local const TControl* painting = nullptr;
    TWinControl* parent = control.Parent();
    if (!parent || !dc || !control.IsWindowed() || painting == &control || !parent->HandleAllocated())
        return;
    HWND parentWindow = parent->WindowHandle();
    {
        const TControl* outer = std::exchange(painting, &control);
        const int saved = SaveDC(dc);
        OffsetViewportOrgEx(dc, -control.Left(), -control.Top(), nullptr);
        RECT client{};
        GetClientRect(parentWindow, &client);
        IntersectClipRect(dc, client.left, client.top, client.right, client.bottom);
        SendMessageA(parentWindow, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        SendMessageA(parentWindow, WM_PAINT, reinterpret_cast<WPARAM>(dc), 0);
        RestoreDC(dc, saved);
        painting = outer;
    }
    if (!invalidateParent || dynamic_cast<TCustomControl*>(parent) || dynamic_cast<TCustomForm*>(parent))
        return;
    char className[64] = "";
    GetClassNameA(parentWindow, className, sizeof(className));
    if (lstrcmpiA(className, TOOLBARCLASSNAMEA) != 0)
        parent->Invalidate();
}

// ---- Monitors -------------------------------------------------------------------------------

namespace {

MONITORINFO WindowMonitorInfo(HWND window) {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    static_assert(sizeof(MONITORINFO) == 40);
    HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    if (!monitor || !GetMonitorInfoA(monitor, &info)) {
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &info.rcWork, 0);
        info.rcMonitor = MakeRect(0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    }
    return info;
}

struct TMonitorSearch {
    TPoint Point;
    HMONITOR Found = nullptr;
};

BOOL CALLBACK FindMonitorAt(HMONITOR monitor, HDC, LPRECT bounds, LPARAM data) {
    auto search = reinterpret_cast<TMonitorSearch*>(data);
    if (PtInRect(bounds, search->Point)) {
        search->Found = monitor;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

TRect MonitorWorkArea(HWND window) { return WindowMonitorInfo(window).rcWork; }

TRect MonitorRect(HWND window) { return WindowMonitorInfo(window).rcMonitor; }

int MonitorWorkAreaHeight(HWND window) {
    const TRect area = MonitorWorkArea(window);
    return area.bottom - area.top;
}

HMONITOR FindMonitor(TPoint point) {
    TMonitorSearch search{point};
    EnumDisplayMonitors(nullptr, nullptr, FindMonitorAt, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}
