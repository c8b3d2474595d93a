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

void DrawOpenCornerRect(TCanvas& canvas, const TRect& rect, TColor color) {
    if (rect.right - rect.left < 2 || rect.bottom - rect.top < 2)
        return;
    canvas.Pen().SetColor(color);
    canvas.Pen().SetStyle(psSolid);
    canvas.Pen().SetWidth(1);
    canvas.MoveTo(rect.left, rect.top + 1);
    canvas.LineTo(rect.left, rect.bottom - 1);
    canvas.MoveTo(rect.left + 1, rect.top);
    canvas.LineTo(rect.right - 1, rect.top);
    canvas.MoveTo(rect.right - 1, rect.top + 1);
    canvas.LineTo(rect.right - 1, rect.bottom - 1);
    canvas.MoveTo(rect.left + 1, rect.bottom - 1);
    canvas.LineTo(rect.right - 1, rect.bottom - 1);
}

void DrawTextStyleCopies(TTextStyle style, bool light, TColor highlight, TColor shadow, int shadowDepth,
                         const std::function<void(int dx, int dy, TColor color)>& draw) {
    switch (style) {
    case tsRaised:
        if (!light)
            draw(1, 1, shadow);
        draw(-1, -1, highlight);
        break;
    case tsRecessed:
        draw(1, 1, highlight);
        if (!light)
            draw(-1, -1, shadow);
        break;
    case tsShadow:
        draw(shadowDepth, shadowDepth, shadow);
        break;
    case tsNormal:
        break;
    }
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

// ---- Properties of older form files --------------------------------------------------------

bool TKvOldPropReader::SkipIdent(const TFormValue& value) { return value.Type == TFormValueType::Ident; }

bool TKvOldPropReader::SkipStrings(const TFormValue& value) {
    if (value.Type != TFormValueType::List)
        return false;
    return std::all_of(value.List.begin(), value.List.end(), [](const TFormValue& item) { return item.IsString(); });
}

bool TKvOldPropReader::ReadBool(const TFormValue& value, bool& result) {
    if (value.Type != TFormValueType::True && value.Type != TFormValueType::False)
        return false;
    result = value.Type == TFormValueType::True;
    return true;
}

bool TKvOldPropReader::ReadFrameStyle(const TFormValue& value, TFrameStyle& style) {
    if (value.Type != TFormValueType::Ident)
        return false;
    const auto& names = TEnumTraits<TFrameStyle>::Names;
    for (size_t i = 0; i < std::size(names); ++i) {
        if (SameText(value.Text, names[i])) {
            style = static_cast<TFrameStyle>(i);
            return true;
        }
    }
    return false;
}

bool TKvOldPropReader::ReadFrameNames(const TFormProperty& property, const std::function<void(bool flat)>& setFlat,
                                      const std::function<void(TFrameStyle style)>& setHotStyle) {
    const TFormValue& value = property.Value;
    if (SameText(property.Name, "FrameFlat")) {
        bool flat = false;
        if (!ReadBool(value, flat))
            return false;
        setFlat(flat);
        return true;
    }
    if (SameText(property.Name, "FrameFocusStyle")) {
        TFrameStyle style = fsNone;
        if (!ReadFrameStyle(value, style))
            return false;
        setHotStyle(style);
        return true;
    }
    if (SameText(property.Name, "FrameFlatStyle"))
        return SkipIdent(value);
    return false;
}

bool ReadKvOldProperty(TObject& target, const TFormProperty& property) {
    auto reader = dynamic_cast<IKvOldProperties*>(&target);
    return reader && reader->ReadOldProperty(property);
}

// ---- Blinking -------------------------------------------------------------------------------

namespace {

TKvBlinkingControlsList* blinkingControls = nullptr;

}  // namespace

TKvBlinkingControlsList::TKvBlinkingControlsList() {
    auto timer = std::make_unique<TTimer>(nullptr);
    timer->SetInterval(intervalOn_);
    timer->SetOnTimer(TNotifyEvent(this, &TKvBlinkingControlsList::Tick));
    timer_ = std::move(timer);
}

TKvBlinkingControlsList::~TKvBlinkingControlsList() {
    if (destroyed_)
        *destroyed_ = true;
}

TKvBlinkingControlsList* TKvBlinkingControlsList::Instance() { return blinkingControls; }

void TKvBlinkingControlsList::Add(TControl* control) {
    if (!control)
        return;
    if (!blinkingControls)
        blinkingControls = new TKvBlinkingControlsList();
    std::vector<TControl*>& controls = blinkingControls->controls_;
    if (std::find(controls.begin(), controls.end(), control) == controls.end())
        controls.push_back(control);
}

void TKvBlinkingControlsList::Remove(TControl* control) {
    if (!blinkingControls)
        return;
    std::vector<TControl*>& controls = blinkingControls->controls_;
    controls.erase(std::remove(controls.begin(), controls.end(), control), controls.end());
    if (controls.empty())
        delete std::exchange(blinkingControls, nullptr);
}

void TKvBlinkingControlsList::SetIntervalOn(unsigned ms) {
    // A zero interval would stop the timer for good.
    if (ms == 0)
        return;
    intervalOn_ = ms;
    if (phaseOn_)
        static_cast<TTimer*>(timer_.get())->SetInterval(ms);
}

void TKvBlinkingControlsList::SetIntervalOff(unsigned ms) {
    if (ms == 0)
        return;
    intervalOff_ = ms;
    if (!phaseOn_)
        static_cast<TTimer*>(timer_.get())->SetInterval(ms);
}

void TKvBlinkingControlsList::Tick(TObject*) {
    phaseOn_ = !phaseOn_;
    static_cast<TTimer*>(timer_.get())->SetInterval(phaseOn_ ? intervalOn_ : intervalOff_);
    const bool phase = phaseOn_;
    bool destroyed = false;
    bool* outer = std::exchange(destroyed_, &destroyed);
    // A control may leave, or free the list, while it is told.
    const std::vector<TControl*> controls = controls_;
    for (TControl* control : controls) {
        if (std::find(controls_.begin(), controls_.end(), control) == controls_.end())
            continue;
        if (control->Perform(CM_KVBLINKQUERY) == 1) {
            if (destroyed)
                break;
            if (std::find(controls_.begin(), controls_.end(), control) != controls_.end())
                control->Perform(CM_KVBLINK, phase ? 1 : 0);
        }
        if (destroyed)
            break;
    }
    if (destroyed) {
        if (outer)
            *outer = true;
        return;
    }
    destroyed_ = outer;
}

// ---- Frame controller -----------------------------------------------------------------------

const TClassInfo& TKvFrameController::StaticClassInfo() {
    using C = TKvFrameController;
    static const TPropInfo props[] = {
        Prop<&C::Color, &C::SetColor>("Color").WithDefault(clWindow).StoredIf<&C::IsColorStored>(),
        Prop<&C::DisabledColor, &C::SetDisabledColor>("DisabledColor").WithDefault(clBtnFace),
        Prop<&C::FlatButtonColor, &C::SetFlatButtonColor>("FlatButtonColor").WithDefault(clBtnFace),
        Prop<&C::FlatButtons, &C::SetFlatButtons>("FlatButtons").WithDefault(true),
        Prop<&C::FocusColor, &C::SetFocusColor>("FocusColor").WithDefault(clWindow),
        Prop<&C::FrameColor, &C::SetFrameColor>("FrameColor").WithDefault(clBtnShadow),
        Prop<&C::FrameHotColor, &C::SetFrameHotColor>("FrameHotColor").WithDefault(clBtnShadow),
        Prop<&C::FrameHotStyle, &C::SetFrameHotStyle>("FrameHotStyle").WithDefault(fsFlatBold),
        Prop<&C::FrameHotTrack, &C::SetFrameHotTrack>("FrameHotTrack").WithDefault(false),
        Prop<&C::FrameSides, &C::SetFrameSides>("FrameSides").WithDefault(kAllSides.Bits()),
        Prop<&C::FrameStyle, &C::SetFrameStyle>("FrameStyle").WithDefault(fsFlat),
        Prop<&C::FrameVisible, &C::SetFrameVisible>("FrameVisible").WithDefault(false),
        Prop<&C::FramingPreference, &C::SetFramingPreference>("FramingPreference").WithDefault(fpXPThemes),
        Prop<&C::ParentColor, &C::SetParentColor>("ParentColor").WithDefault(false),
        Prop<&C::RegIniFile, &C::SetRegIniFile>("RegIniFile"),
    };
    static const TClassInfo info = MakeClassInfo<C, TComponent>("TKvFrameController", props);
    return info;
}

TKvFrameController::TKvFrameController(TComponent* owner) : TComponent(owner) {
    if (owner && owner->IsLoading())
        BeginLoading();
}

TKvFrameController::~TKvFrameController() {
    // The controls hear of this from the base class; they drop their pointer without calling back.
    controls_.reset();
}

namespace {

// Writes value into the published property name of control, when it has a writable
// property of an ordinal kind by that name.
void SetByName(TControl& control, const char* name, int64_t value) {
    const TPropInfo* prop = FindPropInfo(control, name);
    if (!prop || !prop->Set)
        return;
    switch (prop->Kind) {
    case TTypeKind::Integer:
    case TTypeKind::Enumeration:
    case TTypeKind::Boolean:
    case TTypeKind::Set:
    case TTypeKind::Int64:
    case TTypeKind::Colour:
        SetPropValue(control, *prop, TPropValue(value));
        break;
    default:
        break;
    }
}

}  // namespace

void TKvFrameController::UpdateControl(TControl* control, int which) {
    if (!control)
        return;
    if (auto client = dynamic_cast<IKvFrameControllerClient*>(control)) {
        client->ApplyFrameController(*this);
        return;
    }
    TControl& c = *control;
    switch (which) {
    case 0:
        SetByName(c, "ParentColor", parentColor_);
        if (!parentColor_)
            SetByName(c, "Color", color_);
        SetByName(c, "DisabledColor", disabledColor_);
        SetByName(c, "FocusColor", focusColor_);
        SetByName(c, "FlatButtonColor", flatButtonColor_);
        SetByName(c, "FlatButtons", flatButtons_);
        SetByName(c, "FrameColor", frameColor_);
        SetByName(c, "FrameHotColor", frameHotColor_);
        SetByName(c, "FrameHotTrack", frameHotTrack_);
        SetByName(c, "FrameHotStyle", frameHotStyle_);
        SetByName(c, "FrameSides", frameSides_.Bits());
        SetByName(c, "FrameStyle", frameStyle_);
        SetByName(c, "FrameVisible", frameVisible_);
        SetByName(c, "FramingPreference", framingPreference_);
        break;
    case 1: SetByName(c, "Color", color_); break;
    case 2: SetByName(c, "FocusColor", focusColor_); break;
    case 3: SetByName(c, "DisabledColor", disabledColor_); break;
    case 4: SetByName(c, "ParentColor", parentColor_); break;
    case 5: SetByName(c, "FlatButtonColor", flatButtonColor_); break;
    case 6: SetByName(c, "FlatButtons", flatButtons_); break;
    case 7: SetByName(c, "FrameColor", frameColor_); break;
    case 8: SetByName(c, "FrameHotColor", frameHotColor_); break;
    case 9: SetByName(c, "FrameHotTrack", frameHotTrack_); break;
    case 10: SetByName(c, "FrameHotStyle", frameHotStyle_); break;
    case 11: SetByName(c, "FrameSides", frameSides_.Bits()); break;
    case 12: SetByName(c, "FrameStyle", frameStyle_); break;
    case 13: SetByName(c, "FrameVisible", frameVisible_); break;
    case 14: SetByName(c, "FramingPreference", framingPreference_); break;
    default: break;
    }
}

void TKvFrameController::UpdateControls(int which) {
    if (updateCount_ > 0 || !controls_)
        return;
    // A control may unregister, or free others, while it is updated.
    const std::vector<TControl*> controls = *controls_;
    for (TControl* control : controls)
        if (controls_ && std::find(controls_->begin(), controls_->end(), control) != controls_->end())
            UpdateControl(control, which);
}

void TKvFrameController::EndUpdate() {
    if (--updateCount_ < 1) {
        updateCount_ = 0;
        UpdateControls(0);
    }
}

void TKvFrameController::RegisterControl(TControl* control) {
    if (!control)
        return;
    if (!controls_)
        controls_ = std::make_unique<std::vector<TControl*>>();
    if (std::find(controls_->begin(), controls_->end(), control) == controls_->end()) {
        controls_->push_back(control);
        control->FreeNotification(this);
    }
    UpdateControl(control, 0);
}

void TKvFrameController::UnregisterControl(TControl* control) {
    if (!controls_)
        return;
    controls_->erase(std::remove(controls_->begin(), controls_->end(), control), controls_->end());
    if (controls_->empty())
        controls_.reset();
}

void LinkFrameController(TControl& client, TKvFrameController*& link, TKvFrameController* value) {
    if (value == link)
        return;
    if (link)
        link->UnregisterControl(&client);
    LinkComponent(client, link, value);
    if (link)
        link->RegisterControl(&client);
}

void TKvFrameController::SetColor(TColor value) {
    if (value == color_)
        return;
    const bool focusFollows = focusColor_ == color_;
    if (focusFollows)
        focusColor_ = value;
    color_ = value;
    parentColor_ = false;
    UpdateControls(1);
    if (focusFollows)
        UpdateControls(2);
}

void TKvFrameController::SetParentColor(bool value) {
    if (value == parentColor_)
        return;
    parentColor_ = value;
    UpdateControls(4);
    if (!value)
        UpdateControls(1);
}

#define KV_SETTER(Name, field, which)                 \
    void TKvFrameController::Set##Name(decltype(field) value) { \
        if (value == field)                           \
            return;                                   \
        field = value;                                \
        UpdateControls(which);                        \
    }

KV_SETTER(FocusColor, focusColor_, 2)
KV_SETTER(DisabledColor, disabledColor_, 3)
KV_SETTER(FlatButtonColor, flatButtonColor_, 5)
KV_SETTER(FlatButtons, flatButtons_, 6)
KV_SETTER(FrameColor, frameColor_, 7)
KV_SETTER(FrameHotColor, frameHotColor_, 8)
KV_SETTER(FrameHotStyle, frameHotStyle_, 10)
KV_SETTER(FrameSides, frameSides_, 11)
KV_SETTER(FrameStyle, frameStyle_, 12)
KV_SETTER(FrameVisible, frameVisible_, 13)
KV_SETTER(FramingPreference, framingPreference_, 14)

#undef KV_SETTER

void TKvFrameController::SetFrameHotTrack(bool value) {
    if (value == frameHotTrack_)
        return;
    frameHotTrack_ = value;
    const bool visibleChanged = !frameVisible_;
    frameVisible_ = true;
    const bool sidesChanged = !IsLoading() && frameSides_ != kAllSides;
    if (sidesChanged)
        frameSides_ = kAllSides;
    UpdateControls(9);
    // The controls hear the settings that followed too.
    if (visibleChanged)
        UpdateControls(13);
    if (sidesChanged)
        UpdateControls(11);
}

void TKvFrameController::SetRegIniFile(TKvRegIniFile* value) { LinkComponent(*this, regIniFile_, value); }

void TKvFrameController::Assign(const TPersistent& source) {
    auto other = dynamic_cast<const TKvFrameController*>(&source);
    if (!other) {
        TComponent::Assign(source);
        return;
    }
    BeginUpdate();
    // Color first: it moves FocusColor and clears ParentColor, which are copied after it.
    SetColor(other->color_);
    SetParentColor(other->parentColor_);
    SetFocusColor(other->focusColor_);
    SetDisabledColor(other->disabledColor_);
    SetFlatButtonColor(other->flatButtonColor_);
    SetFlatButtons(other->flatButtons_);
    SetFrameColor(other->frameColor_);
    SetFrameHotColor(other->frameHotColor_);
    SetFrameHotTrack(other->frameHotTrack_);
    SetFrameHotStyle(other->frameHotStyle_);
    SetFrameSides(other->frameSides_);
    SetFrameStyle(other->frameStyle_);
    SetFrameVisible(other->frameVisible_);
    SetFramingPreference(other->framingPreference_);
    SetRegIniFile(other->regIniFile_);
    EndUpdate();
}

void TKvFrameController::Loaded() {
    TComponent::Loaded();
    UpdateControls(0);
}

bool TKvFrameController::ReadOldProperty(const TFormProperty& property) {
    return TKvOldPropReader::ReadFrameNames(
        property,
        [this](bool flat) {
            if (flat) {
                SetFrameHotTrack(true);
                SetFrameStyle(fsStatus);
                SetFrameHotStyle(fsLowered);
            }
        },
        [this](TFrameStyle style) { SetFrameHotStyle(style); });
}

void TKvFrameController::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation != opRemove)
        return;
    if (component == regIniFile_)
        regIniFile_ = nullptr;
    if (controls_) {
        auto found = std::find_if(controls_->begin(), controls_->end(),
                                  [component](TControl* c) { return static_cast<TComponent*>(c) == component; });
        if (found != controls_->end())
            UnregisterControl(*found);
    }
}

// ---- Storage location -----------------------------------------------------------------------

const TClassInfo& TKvRegIniFile::StaticClassInfo() {
    using C = TKvRegIniFile;
    static const TPropInfo props[] = {
        Prop<&C::Path, &C::SetPath>("Path"),
        Prop<&C::PathType, &C::SetPathType>("PathType").WithDefault(ptIniFile),
        Prop<&C::RegKey, &C::SetRegKey>("RegKey").WithDefault(hkeyCurrentUser),
        Prop<&C::RegAccess, &C::SetRegAccess>("RegAccess").WithDefault(TKvRegAccess{keyAllAccess}.Bits()),
    };
    static const TClassInfo info = MakeClassInfo<C, TComponent>("TKvRegIniFile", props);
    return info;
}

TKvRegIniFile::TKvRegIniFile(TComponent* owner) : TComponent(owner) {}

TKvRegIniFile::~TKvRegIniFile() = default;

void TKvRegIniFile::SetPath(const std::string& value) {
    if (value != path_) {
        path_ = value;
        needsRecreate_ = true;
    }
}

void TKvRegIniFile::SetPathType(TKvPathType value) {
    if (value != pathType_) {
        pathType_ = value;
        needsRecreate_ = true;
    }
}

void TKvRegIniFile::SetRegKey(TKvRegKey value) {
    if (value != regKey_) {
        regKey_ = value;
        needsRecreate_ = true;
    }
}

void TKvRegIniFile::SetRegAccess(TKvRegAccess value) {
    if (value != regAccess_) {
        regAccess_ = value;
        needsRecreate_ = true;
    }
}
