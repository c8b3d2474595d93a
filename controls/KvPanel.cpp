#include "KvPanel.h"

#include "Handles.h"
#include "KvGraphics.h"
#include "Themes.h"

#include <vsstyle.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// The height of text in font, measured on a screen DC.
int FontTextHeight(const TFont& font, const char* text) {
    TWindowDc dc(nullptr);
    TSelection selection(dc.Get(), font.Handle());
    SIZE size{};
    GetTextExtentPoint32A(dc.Get(), text, static_cast<int>(std::strlen(text)), &size);
    return size.cy;
}

UINT AlignmentFlag(TAlignment alignment) {
    switch (alignment) {
    case taRightJustify:
        return DT_RIGHT;
    case taCenter:
        return DT_CENTER;
    default:
        return DT_LEFT;
    }
}

TKvSizeGripCommandFunction& SizeGripCommand() {
    static TKvSizeGripCommandFunction function = [](HWND form, WPARAM command, LPARAM point) {
        SendMessageA(form, WM_SYSCOMMAND, command, point);
    };
    return function;
}

}  // namespace

TKvSizeGripCommandFunction SetSizeGripCommandHook(TKvSizeGripCommandFunction hook) {
    TKvSizeGripCommandFunction previous = std::move(SizeGripCommand());
    SizeGripCommand() = std::move(hook);
    return previous;
}

// ---- TKvCustomPanel ---------------------------------------------------------------------

const TClassInfo& TKvCustomPanel::StaticClassInfo() {
    using C = TKvCustomPanel;
    static const TPropInfo props[] = {
        Prop<&C::AlignmentVertical, &C::SetAlignmentVertical>("AlignmentVertical").WithDefault(avCenter),
        Prop<&C::BevelOuter, &C::SetBevelOuter>("BevelOuter").WithDefault(bvNone),
        Prop<&C::BorderColor, &C::SetBorderColor>("BorderColor").WithDefault(clBtnFace),
        Prop<&C::BorderInner, &C::SetBorderInner>("BorderInner").WithDefault(fsNone),
        Prop<&C::BorderOuter, &C::SetBorderOuter>("BorderOuter").WithDefault(fsRaised),
        Prop<&C::BorderSides, &C::SetBorderSides>("BorderSides").WithDefault(kAllSides.Bits()),
        Prop<&C::FlatColor, &C::SetFlatColor>("FlatColor").WithDefault(clBtnShadow),
        Prop<&C::FlatColorAdjustment, &C::SetFlatColorAdjustment>("FlatColorAdjustment").WithDefault(30),
        Prop<&C::FrameController, &C::SetFrameController>("FrameController"),
        Prop<&C::GridColor, &C::SetGridColor>("GridColor").WithDefault(clBtnShadow),
        Prop<&C::GridStyle, &C::SetGridStyle>("GridStyle").WithDefault(gsDots),
        Prop<&C::GridX, &C::SetGridX>("GridX").WithDefault(8),
        Prop<&C::GridY, &C::SetGridY>("GridY").WithDefault(8),
        Prop<&C::ShowGrid, &C::SetShowGrid>("ShowGrid").WithDefault(false),
        Prop<&C::Transparent, &C::SetTransparent>("Transparent").WithDefault(false),
        Prop<&C::ThemeAware, &C::SetThemeAware>("ThemeAware").WithDefault(true),
        Prop<&C::ShowDockClientCaptions, &C::SetShowDockClientCaptions>("ShowDockClientCaptions").WithDefault(true),
        Prop<&C::Locked, &C::SetLocked>("Locked").WithDefault(false),
        Prop<&C::OnPaint>("OnPaint"),
    };
    static const TClassInfo info = MakeClassInfo<TKvCustomPanel, TCustomPanel>("TKvCustomPanel", props);
    return info;
}

const TClassInfo& TKvPanel::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TKvPanel, TKvCustomPanel>("TKvPanel", {});
    return info;
}

TKvCustomPanel::TKvCustomPanel(TComponent* owner) : TCustomPanel(owner) { SetBevelOuter(bvNone); }

TKvCustomPanel::~TKvCustomPanel() { LinkFrameController(*this, frameController_, nullptr); }

void TKvCustomPanel::SetAlignmentVertical(TAlignmentVertical value) {
    if (SetIfChanged(alignmentVertical_, value))
        Invalidate();
}

void TKvCustomPanel::SetBorderColor(TColor value) {
    if (SetIfChanged(borderColor_, value))
        Invalidate();
}

void TKvCustomPanel::BordersChanged() {
    Realign();
    Invalidate();
}

void TKvCustomPanel::SetBorderInner(TFrameStyle value) {
    if (value == borderInner_)
        return;
    borderInner_ = value;
    BordersChanged();
}

void TKvCustomPanel::SetBorderOuter(TFrameStyle value) {
    if (value == borderOuter_)
        return;
    borderOuter_ = value;
    BordersChanged();
}

void TKvCustomPanel::SetBorderSides(TSides value) {
    if (value == borderSides_)
        return;
    borderSides_ = value;
    BordersChanged();
}

void TKvCustomPanel::SetBorderHighlight(TColor value) {
    if (SetIfChanged(borderHighlight_, value))
        Invalidate();
}

void TKvCustomPanel::SetBorderShadow(TColor value) {
    if (SetIfChanged(borderShadow_, value))
        Invalidate();
}

void TKvCustomPanel::SetFlatColor(TColor value) {
    if (SetIfChanged(flatColor_, value))
        Invalidate();
}

void TKvCustomPanel::SetFlatColorAdjustment(int value) {
    if (SetIfChanged(flatColorAdjustment_, value))
        Invalidate();
}

void TKvCustomPanel::SetFrameController(TKvFrameController* value) {
    LinkFrameController(*this, frameController_, value);
}

void TKvCustomPanel::Notification(TComponent* component, TOperation operation) {
    TCustomPanel::Notification(component, operation);
    if (operation == opRemove && component == frameController_)
        frameController_ = nullptr;
}

void TKvCustomPanel::SetGridColor(TColor value) {
    if (SetIfChanged(gridColor_, value))
        Invalidate();
}

void TKvCustomPanel::SetGridStyle(TKvGridStyle value) {
    if (SetIfChanged(gridStyle_, value))
        Invalidate();
}

void TKvCustomPanel::SetGridX(int value) {
    value = std::max(value, 1);
    if (SetIfChanged(gridX_, value))
        Invalidate();
}

void TKvCustomPanel::SetGridY(int value) {
    value = std::max(value, 1);
    if (SetIfChanged(gridY_, value))
        Invalidate();
}

void TKvCustomPanel::SetShowGrid(bool value) {
    if (SetIfChanged(showGrid_, value))
        Invalidate();
}

void TKvCustomPanel::SetTransparent(bool value) {
    if (value == transparent_)
        return;
    transparent_ = value;
    Invalidate();
    for (int i = 0; i < ControlCount(); ++i)
        Controls(i)->Invalidate();
}

void TKvCustomPanel::SetThemeAware(bool value) {
    if (SetIfChanged(themeAware_, value))
        Invalidate();
}

bool TKvCustomPanel::ThemedLook() const { return themeAware_ && ThemeServices().ThemesEnabled(); }

TPoint TKvCustomPanel::CursorPosition() const {
    POINT point{};
    GetCursorPos(&point);
    return ScreenToClient(point);
}

void TKvCustomPanel::AdjustForStyle(TRect& rect, TFrameStyle style) const {
    int width = 0;
    switch (style) {
    case fsNone:
        return;
    case fsFlat:
        width = 1;
        break;
    case fsStatus:
    case fsPopup:
        width = BevelWidth();
        break;
    default:  // fsGroove to fsButtonUp, fsFlatBold
        width = 2;
        break;
    }
    if (borderSides_.Contains(sdLeft))
        rect.left += width;
    if (borderSides_.Contains(sdTop))
        rect.top += width;
    if (borderSides_.Contains(sdRight))
        rect.right -= width;
    if (borderSides_.Contains(sdBottom))
        rect.bottom -= width;
}

void TKvCustomPanel::AdjustRect(TRect& rect, bool includeBorderWidth) const {
    if (includeBorderWidth)
        InflateRect(&rect, -BorderWidth(), -BorderWidth());
    AdjustForStyle(rect, borderOuter_);
    AdjustForStyle(rect, borderInner_);
}

void TKvCustomPanel::AdjustClientRect(TRect& rect) const {
    // The base panel's own bevel arithmetic does not apply to these borders.
    TCustomControl::AdjustClientRect(rect);
    AdjustRect(rect, true);
}

void TKvCustomPanel::ApplyFrameController(TKvFrameController& controller) {
    if (!controller.FrameVisible())
        return;
    SetBorderOuter(controller.FrameStyle());
    SetBorderSides(controller.FrameSides());
    SetFlatColor(controller.FrameColor());
    SetFlatColorAdjustment(0);
    SetColor(controller.Color());
    SetParentColor(controller.ParentColor());
    borderHighlight_ = LighterColor(Color(), 100);
    borderShadow_ = DarkerColor(Color(), 50);
    Invalidate();
}

void TKvCustomPanel::SetBounds(int left, int top, int width, int height) {
    if (Align() == alBottom && height != Height() && top == Top())
        top = Top() + Height() - height;
    if (Align() == alRight && width != Width() && left == Left())
        left = Left() + Width() - width;
    TCustomPanel::SetBounds(left, top, width, height);
}

void TKvCustomPanel::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_ERASEBKGND:
        if (transparent_)
            PaintParentBackground(*this, reinterpret_cast<HDC>(message.WParam), false);
        message.Result = 1;  // Paint covers the rest
        return;
    case WM_SIZE: {
        const TRect before = sizedClient_;
        sizedClient_ = MakeRect(0, 0, LOWORD(message.LParam), HIWORD(message.LParam));
        TCustomControl::WndProc(message);
        if (FullRepaint() || Caption().empty()) {
            Invalidate();
            return;
        }
        // Only what the growth uncovered.
        if (sizedClient_.right > before.right) {
            TRect strip = MakeRect(before.right, 0, sizedClient_.right, sizedClient_.bottom);
            InvalidateRect(WindowHandle(), &strip, FALSE);
        }
        if (sizedClient_.bottom > before.bottom) {
            TRect strip = MakeRect(0, before.bottom, sizedClient_.right, sizedClient_.bottom);
            InvalidateRect(WindowHandle(), &strip, FALSE);
        }
        return;
    }
    default:
        TCustomPanel::WndProc(message);
        return;
    }
}

TRect TKvCustomPanel::PaintClientRect() const { return ClientRect(); }

TRect TKvCustomPanel::DrawPanelBorder(TRect rect, TFrameStyle style) {
    TCanvas& canvas = Canvas();
    switch (style) {
    case fsNone:
        return rect;
    case fsFlat:
    case fsFlatBold: {
        const TColor color = AdjustColor(flatColor_, flatColorAdjustment_);
        return DrawBevel(canvas, rect, color, color, style == fsFlat ? 1 : 2, borderSides_);
    }
    case fsPopup:
        return DrawBevel(canvas, rect, borderHighlight_, borderShadow_, BevelWidth(), borderSides_);
    case fsStatus:
        return DrawBevel(canvas, rect, borderShadow_, borderHighlight_, BevelWidth(), borderSides_);
    default:
        return DrawBorder(canvas, rect, style, borderSides_);
    }
}

void TKvCustomPanel::PaintPanel() {
    TCanvas& canvas = Canvas();
    TRect rect = MakeRect(0, 0, Width(), Height());
    rect = DrawPanelBorder(rect, borderOuter_);
    if (BorderWidth() > 0)
        rect = DrawBevel(canvas, rect, borderColor_, borderColor_, BorderWidth(), kAllSides);
    rect = DrawPanelBorder(rect, borderInner_);
    if (!transparent_) {
        canvas.Brush().SetStyle(bsSolid);
        canvas.Brush().SetColor(Color());
        canvas.FillRect(rect);
        if (showGrid_)
            DrawGrid(rect);
    }
    DrawCaption(rect);
}

void TKvCustomPanel::DrawGrid(const TRect& rect) {
    TCanvas& canvas = Canvas();
    if (gridStyle_ == gsDots) {
        for (int y = rect.top; y < rect.bottom; y += gridY_)
            for (int x = rect.left; x < rect.right; x += gridX_)
                canvas.SetPixel(x, y, gridColor_);
        return;
    }
    canvas.Pen().SetColor(gridColor_);
    canvas.Pen().SetWidth(1);
    canvas.Pen().SetStyle(gridStyle_ == gsDottedLines ? psDot : psSolid);
    canvas.Brush().SetStyle(bsClear);
    for (int x = rect.left; x < rect.right; x += gridX_) {
        canvas.MoveTo(x, rect.top);
        canvas.LineTo(x, rect.bottom);
    }
    for (int y = rect.top; y < rect.bottom; y += gridY_) {
        canvas.MoveTo(rect.left, y);
        canvas.LineTo(rect.right, y);
    }
    canvas.Pen().SetStyle(psSolid);
}

void TKvCustomPanel::DrawEmbossedText(const std::string& text, TRect rect, UINT flags) {
    TCanvas& canvas = Canvas();
    canvas.Font().Assign(*Font());
    canvas.RequireFont();
    HDC dc = canvas.Handle();
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    if (!Enabled()) {
        TRect raised = rect;
        OffsetRect(&raised, 1, 1);
        SetTextColor(dc, ColorToRGB(clBtnHighlight));
        DrawTextA(dc, text.data(), static_cast<int>(text.size()), &raised, flags);
        SetTextColor(dc, ColorToRGB(clBtnShadow));
    } else {
        SetTextColor(dc, ColorToRGB(Font()->Color()));
    }
    DrawTextA(dc, text.data(), static_cast<int>(text.size()), &rect, flags);
    SetBkMode(dc, oldMode);
}

void TKvCustomPanel::DrawCaption(TRect rect) {
    const std::string text = Caption();
    if (text.empty())
        return;
    rect.left += 1;
    const UINT flags = DT_EXPANDTABS | DT_WORDBREAK | DT_VCENTER | AlignmentFlag(Alignment());
    TCanvas& canvas = Canvas();
    canvas.Font().Assign(*Font());
    canvas.RequireFont();
    TRect measured = rect;
    DrawTextA(canvas.Handle(), text.data(), static_cast<int>(text.size()), &measured, flags | DT_CALCRECT);
    const int height = measured.bottom - measured.top;
    if (alignmentVertical_ == avCenter)
        rect.top += (rect.bottom - rect.top - height) / 2;
    else if (alignmentVertical_ == avBottom)
        rect.top = rect.bottom - height - 1;
    DrawEmbossedText(text, rect, flags);
}

void TKvCustomPanel::Paint() {
    PaintPanel();
    OnPaint(this);
}

// ---- TKvCustomGroupBox ------------------------------------------------------------------

const TClassInfo& TKvCustomGroupBox::StaticClassInfo() {
    using C = TKvCustomGroupBox;
    static const TPropInfo props[] = {
        Prop<&C::Alignment, &C::SetAlignment>("Alignment").WithDefault(taLeftJustify),
        Prop<&C::BorderOuter, &C::SetBorderOuter>("BorderOuter").WithDefault(fsNone),
        Prop<&C::GroupStyle, &C::SetGroupStyle>("GroupStyle").WithDefault(gsFlat),
    };
    static const TClassInfo info = MakeClassInfo<TKvCustomGroupBox, TKvCustomPanel>("TKvCustomGroupBox", props);
    return info;
}

const TClassInfo& TKvGroupBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TKvGroupBox, TKvCustomGroupBox>("TKvGroupBox", {});
    return info;
}

TKvCustomGroupBox::TKvCustomGroupBox(TComponent* owner) : TKvCustomPanel(owner) {
    SetBorderOuter(fsNone);
    SetBorderInner(fsNone);
    SetAlignment(taLeftJustify);
    SetHeight(105);
}

void TKvCustomGroupBox::SetGroupStyle(TKvGroupBoxStyle value) {
    if (value == groupStyle_)
        return;
    groupStyle_ = value;
    BordersChanged();
}

void TKvCustomGroupBox::AdjustClientRect(TRect& rect) const {
    TKvCustomPanel::AdjustClientRect(rect);
    const int height = FontTextHeight(*Font(), "Yy");
    if (groupStyle_ == gsCustom) {
        rect.top += height;
        InflateRect(&rect, -2, -2);
        return;
    }
    // Children start below the caption line: the whole line less the border width already
    // taken, or half the line when the border is wider than that.
    rect.top += height / 2 - 1 >= BorderWidth() ? height - BorderWidth() : height / 2 - 1;
    const int inset = groupStyle_ == gsStandard ? 2 : 1;
    InflateRect(&rect, -inset, -inset);
}

TRect TKvCustomGroupBox::CaptionRect() {
    const std::string text = Caption();
    if (text.empty() || groupStyle_ == gsCustom)
        return TRect{};
    TCanvas& canvas = Canvas();
    canvas.Font().Assign(*Font());
    canvas.RequireFont();
    TRect measured{};
    DrawTextA(canvas.Handle(), text.data(), static_cast<int>(text.size()), &measured, DT_SINGLELINE | DT_CALCRECT);
    const int width = measured.right - measured.left;
    int x = groupStyle_ == gsTopLine ? 0 : 8;
    if (UseRightToLeftAlignment())
        x = Width() - x - width;
    return MakeRect(x, 0, x + width, measured.bottom - measured.top);
}

void TKvCustomGroupBox::PaintThemed(const TRect& caption, int frameTop) {
    TCanvas& canvas = Canvas();
    HDC dc = canvas.Handle();
    if (!Transparent())
        PaintParentBackground(*this, dc, false);
    TThemeData theme = ThemeServices().OpenThemeData(WindowHandle(), L"Button");
    const int state = Enabled() ? GBS_NORMAL : GBS_DISABLED;
    {
        TClipGuard clip(canvas);
        if (!IsRectEmpty(&caption))
            canvas.ExcludeClipRect(caption);
        ThemeServices().DrawThemeBackground(theme.Get(), dc, BP_GROUPBOX, state,
                                            MakeRect(0, frameTop, Width(), Height()));
    }
    if (!IsRectEmpty(&caption)) {
        canvas.Font().Assign(*Font());
        canvas.RequireFont();
        ThemeServices().DrawThemeText(theme.Get(), dc, BP_GROUPBOX, state, Caption(), DT_SINGLELINE, caption);
    }
}

void TKvCustomGroupBox::PaintFrame(int frameTop) {
    TCanvas& canvas = Canvas();
    const TRect rect = MakeRect(0, frameTop, Width(), Height());
    const TColor flat = AdjustColor(FlatColor(), FlatColorAdjustment());
    const TFrameStyle style = BorderOuter() == fsNone ? fsGroove : BorderOuter();
    switch (groupStyle_) {
    case gsStandard:
        if (style == fsFlat || style == fsFlatBold)
            DrawBevel(canvas, rect, flat, flat, style == fsFlat ? 1 : 2, kAllSides);
        else
            DrawBorder(canvas, rect, style, kAllSides);
        break;
    case gsTopLine:
        if (style == fsFlat || style == fsFlatBold) {
            canvas.Pen().SetColor(flat);
            canvas.Pen().SetStyle(psSolid);
            canvas.Pen().SetWidth(1);
            for (int line = 0; line < (style == fsFlat ? 1 : 2); ++line) {
                canvas.MoveTo(rect.left + 2, rect.top + line);
                canvas.LineTo(rect.right - 2, rect.top + line);
            }
        } else {
            DrawBorder(canvas, rect, style, TSides{sdTop});
        }
        break;
    case gsFlat: {
        if (rect.right - rect.left < 4 || rect.bottom - rect.top < 4)
            break;
        canvas.Pen().SetColor(flat);
        canvas.Pen().SetStyle(psSolid);
        canvas.Pen().SetWidth(1);
        canvas.MoveTo(rect.left + 2, rect.top);
        canvas.LineTo(rect.right - 2, rect.top);
        canvas.MoveTo(rect.left + 2, rect.bottom - 1);
        canvas.LineTo(rect.right - 2, rect.bottom - 1);
        canvas.MoveTo(rect.left, rect.top + 2);
        canvas.LineTo(rect.left, rect.bottom - 2);
        canvas.MoveTo(rect.right - 1, rect.top + 2);
        canvas.LineTo(rect.right - 1, rect.bottom - 2);
        canvas.SetPixel(rect.left + 1, rect.top + 1, flat);
        canvas.SetPixel(rect.right - 2, rect.top + 1, flat);
        canvas.SetPixel(rect.left + 1, rect.bottom - 2, flat);
        canvas.SetPixel(rect.right - 2, rect.bottom - 2, flat);
        break;
    }
    case gsCustom:
        break;
    }
}

void TKvCustomGroupBox::Paint() {
    TCanvas& canvas = Canvas();
    canvas.Font().Assign(*Font());
    const int lineHeight = canvas.TextHeight("Pp");
    const int frameTop = lineHeight / 2 - 1;
    const TRect caption = CaptionRect();
    if (ThemedLook()) {
        PaintThemed(caption, frameTop);
    } else if (groupStyle_ == gsCustom) {
        PaintPanel();
    } else {
        {
            TClipGuard clip(canvas);
            if (!Transparent()) {
                canvas.Brush().SetStyle(bsSolid);
                canvas.Brush().SetColor(Color());
                canvas.FillRect(MakeRect(0, 0, Width(), Height()));
            } else if (!IsRectEmpty(&caption)) {
                canvas.ExcludeClipRect(caption);
            }
            PaintFrame(frameTop);
        }
        if (!IsRectEmpty(&caption)) {
            if (!Transparent()) {
                canvas.Brush().SetStyle(bsSolid);
                canvas.Brush().SetColor(Color());
                canvas.FillRect(caption);
            }
            canvas.Brush().SetStyle(bsClear);
            DrawEmbossedText(Caption(), caption, DT_SINGLELINE);
        }
    }
    OnPaint(this);
}

void TKvCustomGroupBox::DialogChar(TMessage& message) {
    if (IsAccel(static_cast<char>(message.WParam), Caption()) && CanFocus()) {
        std::vector<TWinControl*> list;
        GetTabOrderList(list);
        for (TWinControl* control : list) {
            if (control->CanFocus()) {
                control->SetFocus();
                break;
            }
        }
        message.Result = 1;
        return;
    }
    TKvCustomPanel::WndProc(message);
}

void TKvCustomGroupBox::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_DIALOGCHAR:
        DialogChar(message);
        return;
    case CM_FONTCHANGED:
    case CM_TEXTCHANGED:
        TKvCustomPanel::WndProc(message);
        Invalidate();
        Realign();  // the caption's height places the children
        return;
    default:
        TKvCustomPanel::WndProc(message);
        return;
    }
}

// ---- TKvStatusBar -----------------------------------------------------------------------

const TClassInfo& TKvStatusBar::StaticClassInfo() {
    using C = TKvStatusBar;
    static const TPropInfo props[] = {
        Prop<&C::Align, &C::SetAlign>("Align").WithDefault(alBottom),
        Prop<&C::AutoStyle, &C::SetAutoStyle>("AutoStyle").WithDefault(true),
        Prop<&C::AutoScalePanes, &C::SetAutoScalePanes>("AutoScalePanes").WithDefault(false),
        Prop<&C::BorderInner, &C::SetBorderInner>("BorderInner"),
        Prop<&C::BorderOuter, &C::SetBorderOuter>("BorderOuter"),
        Prop<&C::BorderSides, &C::SetBorderSides>("BorderSides"),
        Prop<&C::BorderWidth, &C::SetBorderWidth>("BorderWidth"),
        Prop<&C::ShowSizeGrip, &C::SetShowSizeGrip>("ShowSizeGrip").WithDefault(true),
        Prop<&C::SimpleCaption, &C::SetSimpleCaption>("SimpleCaption"),
        Prop<&C::SimpleStatus, &C::SetSimpleStatus>("SimpleStatus").WithDefault(false),
        Prop<&C::SimpleFrameStyle, &C::SetSimpleFrameStyle>("SimpleFrameStyle").WithDefault(fsFlat),
    };
    static const TClassInfo info = MakeClassInfo<TKvStatusBar, TKvCustomPanel>("TKvStatusBar", props);
    return info;
}

TKvStatusBar::TKvStatusBar(TComponent* owner) : TKvCustomPanel(owner) {
    SetAlign(alBottom);
    ApplyAutoStyle();
}

TKvStatusBar::~TKvStatusBar() = default;

void TKvStatusBar::ApplyAutoStyle() {
    SetBorderInner(fsNone);
    SetBorderOuter(fsNone);
    SetBorderSides(kAllSides);
    SetHeight(19);
    SetBorderWidth(0);
    autoStyle_ = true;
}

void TKvStatusBar::SetBorderInner(TFrameStyle value) {
    if (value != BorderInner() && !IsLoading())
        autoStyle_ = false;
    TKvCustomPanel::SetBorderInner(value);
}

void TKvStatusBar::SetBorderOuter(TFrameStyle value) {
    if (value != BorderOuter() && !IsLoading())
        autoStyle_ = false;
    TKvCustomPanel::SetBorderOuter(value);
}

void TKvStatusBar::SetBorderSides(TSides value) {
    if (value != BorderSides() && !IsLoading())
        autoStyle_ = false;
    TKvCustomPanel::SetBorderSides(value);
}

void TKvStatusBar::Loaded() {
    TKvCustomPanel::Loaded();
    if (autoStyle_)
        ApplyAutoStyle();
}

void TKvStatusBar::SetShowSizeGrip(bool value) {
    if (SetIfChanged(showSizeGrip_, value))
        Invalidate();
}

void TKvStatusBar::SetSimpleCaption(const std::string& value) {
    if (SetIfChanged(simpleCaption_, value))
        Invalidate();
}

void TKvStatusBar::SetSimpleStatus(bool value) {
    if (value == simpleStatus_)
        return;
    simpleStatus_ = value;
    DisableAlign();
    try {
        for (int i = 0; i < ControlCount(); ++i)
            Controls(i)->SetVisible(!simpleStatus_);
    } catch (...) {
        EnableAlign();
        throw;
    }
    EnableAlign();
    Realign();  // the client area differs in simple mode
    Invalidate();
}

void TKvStatusBar::SetSimpleFrameStyle(TFrameStyle value) {
    if (SetIfChanged(simpleFrameStyle_, value))
        Invalidate();
}

bool TKvStatusBar::GripAllowed() const {
    TCustomForm* form = GetParentForm(this);
    if (!form || form->BorderStyle() != bsSizeable)
        return false;
    if (form->WindowState() == wsMaximized)
        return false;
    return !(form->HandleAllocated() && IsZoomed(form->WindowHandle()));
}

bool TKvStatusBar::InSizeGrip(TPoint point) const {
    if (!showSizeGrip_ || !GripAllowed())
        return false;
    const int right = Width();
    return point.x >= right - kGripWidth && point.x < right && point.y >= 0 && point.y < Height();
}

void TKvStatusBar::SetBounds(int left, int top, int width, int height) {
    const int oldWidth = Width();
    TKvCustomPanel::SetBounds(left, top, width, height);
    if (Width() == oldWidth)
        return;
    if (firstResize_) {
        firstResize_ = false;
        lastWidth_ = Width();
        return;
    }
    // A bar that was 0 wide has no proportions to keep.
    if (autoScalePanes_ && ControlCount() > 0 && lastWidth_ > 0)
        ScalePanes(lastWidth_, Width());
    lastWidth_ = Width();
}

void TKvStatusBar::ScalePanes(int oldWidth, int newWidth) {
    const int delta = newWidth - oldWidth;
    DisableAlign();
    try {
        for (int i = 0; i < ControlCount(); ++i) {
            TControl* pane = Controls(i);
            const double growth = static_cast<double>(delta) * pane->Width() / oldWidth;
            pane->SetWidth(pane->Width() + static_cast<int>(std::lround(growth)));
        }
    } catch (...) {
        EnableAlign();
        throw;
    }
    EnableAlign();
}

bool TKvStatusBar::Themed() const { return ThemedLook(); }

void TKvStatusBar::AdjustClientRect(TRect& rect) const {
    TKvCustomPanel::AdjustClientRect(rect);
    if (!ThemeServices().ThemesEnabled()) {
        rect.bottom += 1;
        if (!simpleStatus_) {
            rect.left -= 1;
            rect.right += 1;
            rect.top = 1;
        } else {
            rect.top = 2;
        }
    } else if (simpleStatus_) {
        rect.left += 1;
        rect.top += 1;
        rect.right -= 1;
    }
}

TRect TKvStatusBar::PaintClientRect() const {
    TRect rect = ClientRect();
    AdjustClientRect(rect);
    return rect;
}

void TKvStatusBar::CreateWnd() {
    TKvCustomPanel::CreateWnd();
    gripAllowed_ = GripAllowed();
}

void TKvStatusBar::DrawSimpleFrame(TRect rect) {
    if (simpleFrameStyle_ == fsFlat)
        DrawOpenCornerRect(Canvas(), rect, AdjustColor(FlatColor(), FlatColorAdjustment()));
    else
        DrawBorder(Canvas(), rect, simpleFrameStyle_, kAllSides);
}

void TKvStatusBar::PaintSimpleCaption() {
    TRect rect = PaintClientRect();
    rect.bottom -= 1;
    DrawSimpleFrame(rect);
    InflateRect(&rect, -1, -1);
    TCanvas& canvas = Canvas();
    canvas.Font().Assign(*Font());
    canvas.Brush().SetStyle(bsClear);
    const int y = rect.top + (rect.bottom - rect.top - canvas.TextHeight("Pp")) / 2;
    canvas.TextRect(rect, rect.left + 2, y, simpleCaption_);
}

void TKvStatusBar::Paint() {
    if (Themed()) {
        TCanvas& canvas = Canvas();
        TThemeData theme = ThemeServices().OpenThemeData(WindowHandle(), L"Status");
        ThemeServices().DrawThemeBackground(theme.Get(), canvas.Handle(), 0, 0, MakeRect(0, 0, Width(), Height()));
        if (simpleStatus_ && !simpleCaption_.empty()) {
            canvas.Font().Assign(*Font());
            canvas.RequireFont();
            ThemeServices().DrawThemeText(theme.Get(), canvas.Handle(), 0, 0, simpleCaption_,
                                          DT_SINGLELINE | DT_VCENTER | DT_LEFT, PaintClientRect());
        }
    } else {
        PaintPanel();
        if (simpleStatus_)
            PaintSimpleCaption();
    }
    OnPaint(this);
}

void TKvStatusBar::PaintGrip(HDC dc) {
    gripAllowed_ = GripAllowed();
    if (!showSizeGrip_ || !gripAllowed_)
        return;
    TCanvasLoan loan(gripCanvas_, dc);
    const int width = Width();
    const int height = Height();
    if (Themed()) {
        TThemeData theme = ThemeServices().OpenThemeData(WindowHandle(), L"Status");
        ThemeServices().DrawThemeBackground(theme.Get(), dc, SP_GRIPPER, 0,
                                            MakeRect(width - 20, 0, width, height));
        return;
    }
    // Six squares in a triangle: three in the right column, two beside them, one at the bottom.
    static constexpr POINT kSquares[] = {{4, 12}, {4, 8}, {4, 4}, {8, 8}, {8, 4}, {12, 4}};
    gripCanvas_.Brush().SetStyle(bsSolid);
    for (const auto& [colour, shift] : {std::pair{clBtnHighlight, 0}, std::pair{clBtnShadow, 1}}) {
        gripCanvas_.Brush().SetColor(colour);
        for (const POINT& square : kSquares) {
            const int x = width - square.x - shift;
            const int y = height - square.y - shift;
            gripCanvas_.FillRect(MakeRect(x, y, x + 2, y + 2));
        }
    }
}

void TKvStatusBar::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_PAINT: {
        if (message.WParam) {
            TKvCustomPanel::WndProc(message);
            PaintGrip(reinterpret_cast<HDC>(message.WParam));
            return;
        }
        // The grip goes over the panes, so it comes after the children are painted.
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(WindowHandle(), &paint);
        try {
            message.WParam = reinterpret_cast<WPARAM>(dc);
            TKvCustomPanel::WndProc(message);
            PaintGrip(dc);
        } catch (...) {
            EndPaint(WindowHandle(), &paint);
            throw;
        }
        EndPaint(WindowHandle(), &paint);
        message.Result = 0;
        return;
    }
    case WM_SETCURSOR:
        if (LOWORD(message.LParam) == HTCLIENT && reinterpret_cast<HWND>(message.WParam) == WindowHandle() &&
            InSizeGrip(CursorPosition())) {
            ::SetCursor(Screen.Cursors(crSizeNWSE));
            message.Result = TRUE;
            return;
        }
        break;
    case WM_LBUTTONDOWN: {
        const TPoint point{static_cast<short>(LOWORD(message.LParam)), static_cast<short>(HIWORD(message.LParam))};
        if (InSizeGrip(point)) {
            TCustomForm* form = GetParentForm(this);
            ReleaseCapture();
            const TPoint screen = ClientToScreen(point);
            SizeGripCommand()(form->Handle(), kGripCommand, MAKELPARAM(screen.x, screen.y));
            message.Result = 0;
            return;
        }
        break;
    }
    default:
        break;
    }
    TKvCustomPanel::WndProc(message);
}

// ---- TKvPanelDockManager -------------------------------------------------------------------

void TKvCustomPanel::SetShowDockClientCaptions(bool value) {
    if (value == showDockClientCaptions_)
        return;
    showDockClientCaptions_ = value;
    Invalidate();
}

std::unique_ptr<TDockManager> TKvCustomPanel::CreateDockManager() {
    return std::make_unique<TKvPanelDockManager>(*this);
}

namespace {

bool HoldsFocus(TControl& client) {
    if (!client.IsWindowed())
        return true;  // a windowless client counts as active
    auto& windowed = static_cast<TWinControl&>(client);
    if (!windowed.HandleAllocated())
        return false;
    const HWND focus = GetFocus();
    return focus && (focus == windowed.WindowHandle() || IsChild(windowed.WindowHandle(), focus));
}

}  // namespace

void TKvPanelDockManager::PaintDockFrame(HDC dc, TControl& client, const TRect& grabber) {
    if (!panel_.ShowDockClientCaptions()) {
        TDockTree::PaintDockFrame(dc, client, grabber);
        return;
    }
    const bool active = HoldsFocus(client);
    TUniqueGdi<HBRUSH> back(CreateSolidBrush(ColorToRGB(active ? clActiveCaption : clInactiveCaption)));
    FillRect(dc, &grabber, back.Get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, ColorToRGB(active ? clCaptionText : clInactiveCaptionText));

    // The caption in the panel's font, made small enough for the strip.
    TFont font;
    font.Assign(*panel_.Font());
    if (std::abs(font.Height()) > GrabberSize - 1)
        font.SetHeight(-(GrabberSize - 1));
    const std::string caption = client.Caption();
    const TRect close = CloseButtonRect(client);
    const int saved = SaveDC(dc);
    if (HorizontalGrabbers()) {
        TUniqueGdi<HFONT> upright = RotateFont(font, 0);
        SelectObject(dc, upright.Get());
        TRect text = MakeRect(grabber.left + 2, grabber.top, close.left, grabber.bottom);
        DrawTextA(dc, caption.data(), static_cast<int>(caption.size()), &text,
                  DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
        RestoreDC(dc, saved);
    } else {
        // Only outline fonts turn: a bitmap font gives way to the small caption font's face.
        if (!IsTrueTypeFont(font)) {
            NONCLIENTMETRICSA metrics{};
            metrics.cbSize = sizeof(metrics);
            if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
                font.SetName(metrics.lfSmCaptionFont.lfFaceName);
        }
        TUniqueGdi<HFONT> turned = RotateFont(font, 90);
        SelectObject(dc, turned.Get());
        SetTextAlign(dc, TA_BOTTOM | TA_LEFT);
        IntersectClipRect(dc, grabber.left, close.bottom, grabber.right, grabber.bottom);
        TextOutA(dc, grabber.right, grabber.bottom - 2, caption.data(), static_cast<int>(caption.size()));
        RestoreDC(dc, saved);
    }

    // The close glyph: "r" of the symbol font the system draws its caption buttons with.
    TUniqueGdi<HFONT> marlett(CreateFontA(-(GrabberSize - 2), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SYMBOL_CHARSET,
                                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                          DEFAULT_PITCH, "Marlett"));
    const int beforeGlyph = SaveDC(dc);
    SelectObject(dc, marlett.Get());
    TRect glyph = close;
    DrawTextA(dc, "r", 1, &glyph, DT_SINGLELINE | DT_CENTER | DT_VCENTER | DT_NOPREFIX);
    RestoreDC(dc, beforeGlyph);
}
