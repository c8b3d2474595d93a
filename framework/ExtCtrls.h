#pragma once

// Panels, bevels, images and timers, and the hidden utility windows timers run on.
//
// Utility windows: AllocateHWnd makes a message-only window of the calling thread whose
// messages all go to one function. The function sets message.Result itself and calls
// DefWindowProcA(window, ...) for what it leaves alone; messages sent while the window is being
// created (before AllocateHWnd returns its handle) get the default processing. An exception
// leaving the function goes to the application like any other window procedure's. The window
// may be deallocated from inside its own function.

#include "Controls.h"
#include "Forms.h"
#include "Graphics.h"

#include <functional>
#include <memory>
#include <string>

using TWndMethod = std::function<void(TMessage& message)>;

HWND AllocateHWnd(TWndMethod method);
void DeallocateHWnd(HWND window);

// Draws width rings just inside rect: top and left in topColor, bottom and right in
// bottomColor; rect shrinks by the rings drawn.
void Frame3D(TCanvas& canvas, TRect& rect, TColor topColor, TColor bottomColor, int width);

// ---- TTimer ---------------------------------------------------------------------------

// Fires OnTimer every Interval milliseconds while Enabled. The system timer (id 1 on a utility
// window of the timer's own) runs only while Enabled, Interval is not 0 and OnTimer is assigned;
// each setter restarts it. OnTimer is set through SetOnTimer: assigning the field by name (form
// streams) takes effect at Loaded().
class TTimer : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned interval);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent handler);

    void Loaded() override;

protected:
    // Fires OnTimer; an exception from it goes to Application.HandleException.
    virtual void Timer();

private:
    static constexpr UINT_PTR kTimerId = 1;
    void UpdateTimer();
    void WndProc(TMessage& message);

    bool enabled_ = true;
    unsigned interval_ = 1000;
    TNotifyEvent onTimer_;
    HWND window_ = nullptr;  // made when the timer first runs
    bool running_ = false;
};

// ---- TCustomPanel, TPanel -------------------------------------------------------------

enum TPanelBevel { bvNone, bvLowered, bvRaised, bvSpace };
// bsNone and bsSingle are the only border styles of controls; the other form styles count as bsSingle.
using TBorderStyle = TFormBorderStyle;

// A container of its own window class: an outer bevel, a border of BorderWidth pixels in
// Color, an inner bevel, then the client area where aligned children go and the caption shows.
class TCustomPanel : public TCustomControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomPanel(TComponent* owner);

    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);
    TTextLayout VerticalAlignment() const { return verticalAlignment_; }
    void SetVerticalAlignment(TTextLayout layout);
    TPanelBevel BevelInner() const { return bevelInner_; }
    void SetBevelInner(TPanelBevel bevel);
    TPanelBevel BevelOuter() const { return bevelOuter_; }
    void SetBevelOuter(TPanelBevel bevel);
    int BevelWidth() const { return bevelWidth_; }
    void SetBevelWidth(int width);
    int BorderWidth() const { return borderWidth_; }
    void SetBorderWidth(int width);
    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle style);
    // Repaint everything on a resize, not only the frame.
    bool FullRepaint() const { return fullRepaint_; }
    void SetFullRepaint(bool value) { fullRepaint_ = value; }

    void WndProc(TMessage& message) override;

protected:
    void CreateParams(TCreateParams& params) override;
    // Inside the bevels and the border.
    void AdjustClientRect(TRect& rect) const override;
    void Paint() override;
    // The frame's width on each side: bevels and border.
    int FrameWidth() const;
    // Draws the bevels and the border on the canvas; rect becomes the area inside them.
    void PaintFrame(TRect& rect);
    // The caption in the font, placed by Alignment and VerticalAlignment inside rect.
    void PaintCaption(const TRect& rect);

private:
    void FrameChanged();
    void InvalidateFrame(const TRect& client);

    TAlignment alignment_ = taCenter;
    TTextLayout verticalAlignment_ = tlCenter;
    TPanelBevel bevelInner_ = bvNone;
    TPanelBevel bevelOuter_ = bvRaised;
    int bevelWidth_ = 1;
    int borderWidth_ = 0;
    TBorderStyle borderStyle_ = bsNone;
    bool fullRepaint_ = true;
    TRect sizedClient_{};  // the client area at the last WM_SIZE
};

class TPanel : public TCustomPanel {
    DECLARE_CLASS_INFO()

public:
    explicit TPanel(TComponent* owner) : TCustomPanel(owner) {}
};

// ---- TBevel ---------------------------------------------------------------------------

enum TBevelShape { bsBox, bsFrame, bsTopLine, bsBottomLine, bsLeftLine, bsRightLine, bsSpacer };
enum TBevelStyle { bsLowered, bsRaised };

// A windowless box, frame or line in the button shadow and highlight colours.
class TBevel : public TGraphicControl {
    DECLARE_CLASS_INFO()

public:
    explicit TBevel(TComponent* owner);

    TBevelShape Shape() const { return shape_; }
    void SetShape(TBevelShape shape);
    TBevelStyle Style() const { return style_; }
    void SetStyle(TBevelStyle style);

protected:
    void Paint() override;

private:
    TBevelShape shape_ = bsBox;
    TBevelStyle style_ = bsLowered;
};

// ---- TImage ---------------------------------------------------------------------------

// A windowless control showing a picture, painted by its parent. Placement: at the top left;
// Stretch fills the control; Proportional keeps the aspect ratio while stretching and also
// shrinks pictures larger than the control; Center centres what is drawn. AutoSize gives the
// control the picture's size. Transparent draws bitmaps without their transparent colour.
class TImage : public TGraphicControl {
    DECLARE_CLASS_INFO()

public:
    explicit TImage(TComponent* owner);

    TPicture* Picture() const { return picture_.get(); }
    // Copies the picture.
    void SetPicture(TPicture* picture);
    // Draws into the picture's bitmap (an empty picture gets one of the control's size);
    // raises EInvalidOperation when the picture holds another kind of graphic. Asking for it
    // invalidates the image, so what is drawn next shows at the next paint.
    TCanvas& Canvas();

    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);
    bool Center() const { return center_; }
    void SetCenter(bool value);
    bool Proportional() const { return proportional_; }
    void SetProportional(bool value);
    bool Stretch() const { return stretch_; }
    void SetStretch(bool value);
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);

    // Where the picture goes, in the control's coordinates.
    TRect DestRect() const;

protected:
    void Paint() override;
    // Resizes for AutoSize, passes Transparent on, repaints.
    virtual void PictureChanged(TObject* sender);

private:
    void AdjustSize();

    std::unique_ptr<TPicture> picture_;
    bool autoSize_ = false;
    bool center_ = false;
    bool proportional_ = false;
    bool stretch_ = false;
    bool transparent_ = false;
};

template <>
struct TEnumTraits<TPanelBevel> {
    static constexpr const char* Names[] = {"bvNone", "bvLowered", "bvRaised", "bvSpace"};
};
template <>
struct TEnumTraits<TBevelShape> {
    static constexpr const char* Names[] = {"bsBox",       "bsFrame",     "bsTopLine", "bsBottomLine",
                                            "bsLeftLine",  "bsRightLine", "bsSpacer"};
};
template <>
struct TEnumTraits<TBevelStyle> {
    static constexpr const char* Names[] = {"bsLowered", "bsRaised"};
};
