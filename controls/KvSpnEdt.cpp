#include "KvSpnEdt.h"

#include "Handles.h"

#include <algorithm>

namespace {

// The system draws its scroll arrows on a square of this size; the glyph is cut from its middle.
constexpr int kArrowSource = 17;

// Where the arrow lies inside the square's frame: pixels other than the face colour; the
// whole square when there are none.
TRect ArrowBounds(TBitmap& square) {
    constexpr int frame = 2;
    const COLORREF face = ColorToRGB(square.Canvas().Pixels(frame, frame));
    TRect box{kArrowSource, kArrowSource, 0, 0};
    for (int y = frame; y < kArrowSource - frame; ++y)
        for (int x = frame; x < kArrowSource - frame; ++x)
            if (ColorToRGB(square.Canvas().Pixels(x, y)) != face)
                box = TRect{std::min<LONG>(box.left, x), std::min<LONG>(box.top, y), std::max<LONG>(box.right, x + 1),
                            std::max<LONG>(box.bottom, y + 1)};
    return box.left < box.right ? box : MakeRect(0, 0, kArrowSource, kArrowSource);
}

}  // namespace

const TClassInfo& TKvRapidFireButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvRapidFireButton::InitialDelay, &TKvRapidFireButton::SetInitialDelay>("InitialDelay").WithDefault(400),
        Prop<&TKvRapidFireButton::Delay, &TKvRapidFireButton::SetDelay>("Delay").WithDefault(100),
        Prop<&TKvRapidFireButton::ScrollStyle, &TKvRapidFireButton::SetScrollStyle>("ScrollStyle")
            .WithDefault(scsNone),
    };
    static const TClassInfo info = MakeClassInfo<TKvRapidFireButton, TSpeedButton>("TKvRapidFireButton", props);
    return info;
}

TKvRapidFireButton::TKvRapidFireButton(TComponent* owner) : TSpeedButton(owner) {}

void TKvRapidFireButton::SetScrollStyle(TKvScrollStyle value) {
    if (value == scrollStyle_)
        return;
    scrollStyle_ = value;
    UpdateScrollGlyph();
}

void TKvRapidFireButton::UpdateScrollGlyph() {
    glyphFlat_ = Flat();
    glyphEnabled_ = Enabled();
    if (scrollStyle_ == scsNone)
        return;
    UINT state = 0;
    switch (scrollStyle_) {
    case scsLeft:
        state = DFCS_SCROLLLEFT;
        break;
    case scsUp:
        state = DFCS_SCROLLUP;
        break;
    case scsRight:
        state = DFCS_SCROLLRIGHT;
        break;
    case scsDown:
        state = DFCS_SCROLLDOWN;
        break;
    case scsNone:
        return;
    }
    if (glyphFlat_)
        state |= DFCS_FLAT;
    if (!glyphEnabled_)
        state |= DFCS_INACTIVE;
    TBitmap source(kArrowSource, kArrowSource);
    TRect whole = MakeRect(0, 0, kArrowSource, kArrowSource);
    DrawFrameControl(source.Canvas().Handle(), &whole, DFC_SCROLL, state);

    const bool sideways = scrollStyle_ == scsLeft || scrollStyle_ == scsRight;
    const int width = 9, height = sideways ? 9 : 6;
    TBitmap glyph(width, height);
    // Systems place the arrow differently inside the square: the cut is centred on it.
    const TRect arrow = ArrowBounds(source);
    const int left = std::clamp(static_cast<int>(arrow.left + arrow.right - width) / 2, 0, kArrowSource - width);
    const int top = std::clamp(static_cast<int>(arrow.top + arrow.bottom - height) / 2, 0, kArrowSource - height);
    BitBlt(glyph.Canvas().Handle(), 0, 0, width, height, source.Canvas().Handle(), left, top, SRCCOPY);
    SetNumGlyphs(1);
    SetGlyph(&glyph);
}

void TKvRapidFireButton::WndProc(TMessage& message) {
    if (message.Msg == CM_ENABLEDCHANGED && scrollStyle_ != scsNone && Enabled() != glyphEnabled_)
        UpdateScrollGlyph();
    TSpeedButton::WndProc(message);
}

void TKvRapidFireButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    TFreeWatch watch(*this);
    TSpeedButton::MouseDown(button, shift, x, y);
    if (watch.Freed())
        return;
    if (!repeatTimer_) {
        repeatTimer_ = new TTimer(this);
        repeatTimer_->SetEnabled(false);
        repeatTimer_->SetOnTimer(TNotifyEvent(this, &TKvRapidFireButton::TimerExpired));
    }
    repeatTimer_->SetInterval(static_cast<unsigned>(initialDelay_ > 0 ? initialDelay_ : 1));
    repeatTimer_->SetEnabled(true);
}

void TKvRapidFireButton::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    TFreeWatch watch(*this);
    TSpeedButton::MouseUp(button, shift, x, y);
    if (watch.Freed())
        return;
    if (repeatTimer_)
        repeatTimer_->SetEnabled(false);
}

void TKvRapidFireButton::TimerExpired(TObject*) {
    repeatTimer_->SetInterval(static_cast<unsigned>(delay_ > 0 ? delay_ : 1));
    if (State() == bsDown && MouseCapture())
        Click();
}

void TKvRapidFireButton::Paint() {
    // A flat button shows a flat arrow: Flat may have changed since the glyph was made.
    if (scrollStyle_ != scsNone && Flat() != glyphFlat_)
        UpdateScrollGlyph();
    TSpeedButton::Paint();
    if (Focused()) {
        TRect rect = ClientRect();
        InflateRect(&rect, -3, -3);
        if (State() == bsDown || State() == bsExclusive)
            OffsetRect(&rect, 1, 1);
        DrawFocusRect(Canvas().Handle(), &rect);
    }
}
