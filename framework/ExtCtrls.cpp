#include "ExtCtrls.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kUtilityClass[] = "TUtilityWindow";

// Kept in the window's user data from AllocateHWnd's return to WM_NCDESTROY.
struct TUtilityWindowData {
    TWndMethod method;
    int running = 0;         // calls of method on the stack
    bool destroyed = false;  // the window went while a call ran: the outermost call frees this
};

LRESULT CALLBACK UtilityWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto data = reinterpret_cast<TUtilityWindowData*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!data)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        if (data->running > 0)
            data->destroyed = true;
        else
            delete data;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    TMessage msg{message, wParam, lParam, 0};
    ++data->running;
    try {
        data->method(msg);
    } catch (...) {
        HandleWindowException(nullptr);
    }
    if (--data->running == 0 && data->destroyed)
        delete data;
    return msg.Result;
}

void RegisterUtilityClass() {
    static const bool registered = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = UtilityWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kUtilityClass;
        WNDCLASSA existing;
        if (!GetClassInfoA(wc.hInstance, kUtilityClass, &existing) && !RegisterClassA(&wc))
            RaiseLastOSError();
        return true;
    }();
    (void)registered;
}

void FillSolid(HDC dc, const TRect& rect, TColor color) {
    TUniqueGdi<HBRUSH> brush(CreateSolidBrush(ColorToRGB(color)));
    ::FillRect(dc, &rect, brush.Get());
}

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
    RegisterUtilityClass();
    auto data = std::make_unique<TUtilityWindowData>();
    data->method = std::move(method);
    HWND window = CreateWindowExA(0, kUtilityClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (!window)
        RaiseLastOSError();
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data.release()));
    return window;
}

void DeallocateHWnd(HWND window) {
    char name[sizeof(kUtilityClass) + 1] = "";
    if (window && GetClassNameA(window, name, sizeof(name)) && std::strcmp(name, kUtilityClass) == 0)
        DestroyWindow(window);
}

void Frame3D(TCanvas& canvas, TRect& rect, TColor topColor, TColor bottomColor, int width) {
    HDC dc = canvas.Handle();
    for (int ring = 0; ring < width && rect.right > rect.left && rect.bottom > rect.top; ++ring) {
        FillSolid(dc, MakeRect(rect.left, rect.top, rect.right - 1, rect.top + 1), topColor);
        FillSolid(dc, MakeRect(rect.left, rect.top, rect.left + 1, rect.bottom - 1), topColor);
        FillSolid(dc, MakeRect(rect.right - 1, rect.top, rect.right, rect.bottom), bottomColor);
        FillSolid(dc, MakeRect(rect.left, rect.bottom - 1, rect.right, rect.bottom), bottomColor);
        InflateRect(&rect, -1, -1);
    }
}

// ---- TTimer ---------------------------------------------------------------------------

const TClassInfo& TTimer::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TTimer::Enabled, &TTimer::SetEnabled>("Enabled").WithDefault(true),
        Prop<&TTimer::Interval, &TTimer::SetInterval>("Interval").WithDefault(1000),
        Prop<&TTimer::onTimer_>("OnTimer"),
    };
    static const TClassInfo info = MakeClassInfo<TTimer, TComponent>("TTimer", props);
    return info;
}

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    if (owner && owner->IsLoading())
        BeginLoading();
}

TTimer::~TTimer() {
    if (window_) {
        KillTimer(window_, kTimerId);
        DeallocateHWnd(window_);
    }
}

void TTimer::SetEnabled(bool enabled) {
    enabled_ = enabled;
    UpdateTimer();
}

void TTimer::SetInterval(unsigned interval) {
    interval_ = interval;
    UpdateTimer();
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
    onTimer_ = std::move(handler);
    UpdateTimer();
}

void TTimer::Loaded() {
    TComponent::Loaded();
    UpdateTimer();
}

void TTimer::UpdateTimer() {
    running_ = false;
    if (window_)
        KillTimer(window_, kTimerId);
    if (!enabled_ || interval_ == 0 || !onTimer_ || IsLoading())
        return;
    if (!window_)
        window_ = AllocateHWnd([this](TMessage& message) { WndProc(message); });
    if (!SetTimer(window_, kTimerId, interval_, nullptr))
        RaiseLastOSError();
    running_ = true;
}

void TTimer::WndProc(TMessage& message) {
    if (message.Msg == WM_TIMER && message.WParam == kTimerId) {
        // KillTimer leaves a WM_TIMER already in the queue there.
        if (!running_)
            return;
        try {
            Timer();
        } catch (...) {
            Application.HandleException(this);
        }
        return;  // the handler may have freed the timer
    }
    message.Result = DefWindowProcA(window_, message.Msg, message.WParam, message.LParam);
}

void TTimer::Timer() {
    const TNotifyEvent handler = onTimer_;  // the handler may free the timer and its event
    handler(this);
}

// ---- TCustomPanel ---------------------------------------------------------------------

const TClassInfo& TCustomPanel::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TCustomPanel::Alignment, &TCustomPanel::SetAlignment>("Alignment").WithDefault(taCenter),
        Prop<&TCustomPanel::BevelInner, &TCustomPanel::SetBevelInner>("BevelInner").WithDefault(bvNone),
        Prop<&TCustomPanel::BevelOuter, &TCustomPanel::SetBevelOuter>("BevelOuter").WithDefault(bvRaised),
        Prop<&TCustomPanel::BevelWidth, &TCustomPanel::SetBevelWidth>("BevelWidth").WithDefault(1),
        Prop<&TCustomPanel::BorderStyle, &TCustomPanel::SetBorderStyle>("BorderStyle").WithDefault(bsNone),
        Prop<&TCustomPanel::BorderWidth, &TCustomPanel::SetBorderWidth>("BorderWidth").WithDefault(0),
        Prop<&TCustomPanel::FullRepaint, &TCustomPanel::SetFullRepaint>("FullRepaint").WithDefault(true),
        Prop<&TCustomPanel::VerticalAlignment, &TCustomPanel::SetVerticalAlignment>("VerticalAlignment")
            .WithDefault(tlCenter),
    };
    static const TClassInfo info = MakeClassInfo<TCustomPanel, TCustomControl>("TCustomPanel", props);
    return info;
}

const TClassInfo& TPanel::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TPanel, TCustomPanel>("TPanel", {});
    return info;
}

TCustomPanel::TCustomPanel(TComponent* owner) : TCustomControl(owner) { SetBounds(0, 0, 185, 41); }

void TCustomPanel::SetAlignment(TAlignment alignment) {
    if (alignment == alignment_)
        return;
    alignment_ = alignment;
    Invalidate();
}

void TCustomPanel::SetVerticalAlignment(TTextLayout layout) {
    if (layout == verticalAlignment_)
        return;
    verticalAlignment_ = layout;
    Invalidate();
}

void TCustomPanel::SetBevelInner(TPanelBevel bevel) {
    if (bevel == bevelInner_)
        return;
    bevelInner_ = bevel;
    FrameChanged();
}

void TCustomPanel::SetBevelOuter(TPanelBevel bevel) {
    if (bevel == bevelOuter_)
        return;
    bevelOuter_ = bevel;
    FrameChanged();
}

void TCustomPanel::SetBevelWidth(int width) {
    width = std::max(width, 1);
    if (width == bevelWidth_)
        return;
    bevelWidth_ = width;
    FrameChanged();
}

void TCustomPanel::SetBorderWidth(int width) {
    width = std::max(width, 0);
    if (width == borderWidth_)
        return;
    borderWidth_ = width;
    FrameChanged();
}

void TCustomPanel::SetBorderStyle(TBorderStyle style) {
    if (style == borderStyle_)
        return;
    borderStyle_ = style;
    RecreateWnd();
}

void TCustomPanel::FrameChanged() {
    Realign();
    Invalidate();
}

void TCustomPanel::CreateParams(TCreateParams& params) {
    TCustomControl::CreateParams(params);
    if (borderStyle_ != bsNone)
        params.Style |= WS_BORDER;
}

int TCustomPanel::FrameWidth() const {
    int width = borderWidth_;
    if (bevelOuter_ != bvNone)
        width += bevelWidth_;
    if (bevelInner_ != bvNone)
        width += bevelWidth_;
    return width;
}

void TCustomPanel::AdjustClientRect(TRect& rect) const {
    TCustomControl::AdjustClientRect(rect);
    const int frame = FrameWidth();
    InflateRect(&rect, -frame, -frame);
}

void TCustomPanel::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_ERASEBKGND:
        message.Result = 1;  // Paint covers the whole client area
        return;
    case WM_SIZE:
        if (fullRepaint_) {
            Invalidate();
        } else {
            // Without a full repaint only the frame moves: where it was and where it goes.
            InvalidateFrame(sizedClient_);
            InvalidateFrame(MakeRect(0, 0, LOWORD(message.LParam), HIWORD(message.LParam)));
        }
        sizedClient_ = MakeRect(0, 0, LOWORD(message.LParam), HIWORD(message.LParam));
        break;
    default:
        break;
    }
    TCustomControl::WndProc(message);
}

void TCustomPanel::InvalidateFrame(const TRect& client) {
    const int frame = FrameWidth();
    if (frame == 0)
        return;
    const TRect strips[] = {
        MakeRect(client.left, client.top, client.right, client.top + frame),
        MakeRect(client.left, client.bottom - frame, client.right, client.bottom),
        MakeRect(client.left, client.top, client.left + frame, client.bottom),
        MakeRect(client.right - frame, client.top, client.right, client.bottom),
    };
    for (const TRect& strip : strips)
        InvalidateRect(WindowHandle(), &strip, FALSE);
}

void TCustomPanel::Paint() {
    TRect rect = ClientRect();
    PaintFrame(rect);
    FillSolid(Canvas().Handle(), rect, Color());
    PaintCaption(rect);
}

void TCustomPanel::PaintFrame(TRect& rect) {
    auto bevel = [&](TPanelBevel kind) {
        switch (kind) {
        case bvNone:
            break;
        case bvLowered:
            Frame3D(Canvas(), rect, clBtnShadow, clBtnHighlight, bevelWidth_);
            break;
        case bvRaised:
            Frame3D(Canvas(), rect, clBtnHighlight, clBtnShadow, bevelWidth_);
            break;
        case bvSpace:
            Frame3D(Canvas(), rect, Color(), Color(), bevelWidth_);
            break;
        }
    };
    bevel(bevelOuter_);
    Frame3D(Canvas(), rect, Color(), Color(), borderWidth_);
    bevel(bevelInner_);
}

void TCustomPanel::PaintCaption(const TRect& rect) {
    const std::string text = Caption();
    if (text.empty())
        return;
    TCanvas& canvas = Canvas();
    canvas.RequireFont();
    HDC dc = canvas.Handle();
    if (!Enabled())
        SetTextColor(dc, ColorToRGB(clGrayText));
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    UINT flags = DT_SINGLELINE | DT_EXPANDTABS;
    flags |= alignment_ == taLeftJustify ? DT_LEFT : alignment_ == taRightJustify ? DT_RIGHT : DT_CENTER;
    flags |= verticalAlignment_ == tlTop ? DT_TOP : verticalAlignment_ == tlBottom ? DT_BOTTOM : DT_VCENTER;
    TRect box = rect;
    DrawTextA(dc, text.data(), static_cast<int>(text.size()), &box, flags);
    SetBkMode(dc, oldMode);
}

// ---- TBevel ---------------------------------------------------------------------------

const TClassInfo& TBevel::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TBevel::Shape, &TBevel::SetShape>("Shape").WithDefault(bsBox),
        Prop<&TBevel::Style, &TBevel::SetStyle>("Style").WithDefault(bsLowered),
    };
    static const TClassInfo info = MakeClassInfo<TBevel, TGraphicControl>("TBevel", props);
    return info;
}

TBevel::TBevel(TComponent* owner) : TGraphicControl(owner) { SetBounds(0, 0, 50, 50); }

void TBevel::SetShape(TBevelShape shape) {
    if (shape == shape_)
        return;
    shape_ = shape;
    Invalidate();
}

void TBevel::SetStyle(TBevelStyle style) {
    if (style == style_)
        return;
    style_ = style;
    Invalidate();
}

void TBevel::Paint() {
    // Lowered: shadow on the first line, highlight on the second; raised the other way round.
    const TColor first = style_ == bsLowered ? clBtnShadow : clBtnHighlight;
    const TColor second = style_ == bsLowered ? clBtnHighlight : clBtnShadow;
    HDC dc = Canvas().Handle();
    const int w = Width(), h = Height();
    switch (shape_) {
    case bsBox: {
        TRect rect = MakeRect(0, 0, w, h);
        Frame3D(Canvas(), rect, first, second, 1);
        break;
    }
    case bsFrame: {
        // An etched (or embossed) outline: the second colour one pixel down and right.
        TRect outer = MakeRect(1, 1, w, h);
        Frame3D(Canvas(), outer, second, second, 1);
        TRect inner = MakeRect(0, 0, w - 1, h - 1);
        Frame3D(Canvas(), inner, first, first, 1);
        break;
    }
    case bsTopLine:
        FillSolid(dc, MakeRect(0, 0, w, 1), first);
        FillSolid(dc, MakeRect(0, 1, w, 2), second);
        break;
    case bsBottomLine:
        FillSolid(dc, MakeRect(0, h - 2, w, h - 1), first);
        FillSolid(dc, MakeRect(0, h - 1, w, h), second);
        break;
    case bsLeftLine:
        FillSolid(dc, MakeRect(0, 0, 1, h), first);
        FillSolid(dc, MakeRect(1, 0, 2, h), second);
        break;
    case bsRightLine:
        FillSolid(dc, MakeRect(w - 2, 0, w - 1, h), first);
        FillSolid(dc, MakeRect(w - 1, 0, w, h), second);
        break;
    case bsSpacer:
        break;
    }
}

// ---- TImage ---------------------------------------------------------------------------

const TClassInfo& TImage::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TImage::AutoSize, &TImage::SetAutoSize>("AutoSize").WithDefault(false),
        Prop<&TImage::Center, &TImage::SetCenter>("Center").WithDefault(false),
        Prop<&TImage::Picture, &TImage::SetPicture>("Picture"),
        Prop<&TImage::Proportional, &TImage::SetProportional>("Proportional").WithDefault(false),
        Prop<&TImage::Stretch, &TImage::SetStretch>("Stretch").WithDefault(false),
        Prop<&TImage::Transparent, &TImage::SetTransparent>("Transparent").WithDefault(false),
    };
    static const TClassInfo info = MakeClassInfo<TImage, TGraphicControl>("TImage", props);
    return info;
}

TImage::TImage(TComponent* owner) : TGraphicControl(owner), picture_(std::make_unique<TPicture>()) {
    picture_->OnChange = TNotifyEvent(this, &TImage::PictureChanged);
    SetBounds(0, 0, 105, 105);
}

void TImage::SetPicture(TPicture* picture) {
    if (picture)
        picture_->Assign(*picture);
    else
        picture_->SetGraphic(nullptr);
}

TCanvas& TImage::Canvas() {
    TGraphic* graphic = picture_->Graphic();
    if (graphic && !dynamic_cast<TBitmap*>(graphic))
        throw EInvalidOperation("Only an image holding a bitmap can be drawn on");
    TBitmap& bitmap = picture_->Bitmap();
    if (!graphic) {
        bitmap.SetSize(Width(), Height());
        bitmap.Canvas().Brush().SetColor(clWhite);
        bitmap.Canvas().FillRect(MakeRect(0, 0, bitmap.Width(), bitmap.Height()));
    }
    Invalidate();
    return bitmap.Canvas();
}

void TImage::SetAutoSize(bool value) {
    autoSize_ = value;
    AdjustSize();
}

void TImage::SetCenter(bool value) {
    if (value == center_)
        return;
    center_ = value;
    Invalidate();
}

void TImage::SetProportional(bool value) {
    if (value == proportional_)
        return;
    proportional_ = value;
    Invalidate();
}

void TImage::SetStretch(bool value) {
    if (value == stretch_)
        return;
    stretch_ = value;
    Invalidate();
}

void TImage::SetTransparent(bool value) {
    if (value == transparent_)
        return;
    transparent_ = value;
    PictureChanged(this);
}

void TImage::PictureChanged(TObject*) {
    if (TGraphic* graphic = picture_->Graphic(); graphic && graphic->Transparent() != transparent_)
        graphic->SetTransparent(transparent_);  // comes back here once through OnChange
    AdjustSize();
    Invalidate();
}

void TImage::AdjustSize() {
    if (autoSize_ && picture_->Width() > 0 && picture_->Height() > 0)
        SetBounds(Left(), Top(), picture_->Width(), picture_->Height());
}

TRect TImage::DestRect() const {
    int width = picture_->Width();
    int height = picture_->Height();
    const int clientWidth = Width();
    const int clientHeight = Height();
    if (width > 0 && height > 0 &&
        (stretch_ || (proportional_ && (width > clientWidth || height > clientHeight)))) {
        if (proportional_) {
            // The side that runs out of room first sets the scale.
            if (int64_t{clientWidth} * height <= int64_t{clientHeight} * width) {
                height = MulDiv(height, clientWidth, width);
                width = clientWidth;
            } else {
                width = MulDiv(width, clientHeight, height);
                height = clientHeight;
            }
        } else {
            width = clientWidth;
            height = clientHeight;
        }
    }
    int left = 0, top = 0;
    if (center_) {
        left = (clientWidth - width) / 2;
        top = (clientHeight - height) / 2;
    }
    return MakeBounds(left, top, width, height);
}

void TImage::Paint() {
    TGraphic* graphic = picture_->Graphic();
    if (!graphic || graphic->Empty())
        return;
    TCanvas& canvas = TGraphicControl::Canvas();
    // The default mode ANDs rows together when shrinking, which darkens colour pictures.
    const int oldMode = SetStretchBltMode(canvas.Handle(), COLORONCOLOR);
    canvas.StretchDraw(DestRect(), *graphic);
    SetStretchBltMode(canvas.Handle(), oldMode);
}
