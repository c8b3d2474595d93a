#include "KvButton.h"

#include "ComCtrls.h"
#include "Handles.h"
#include "StdCtrls.h"
#include "KvGraphics.h"
#include "SysUtils.h"
#include "Themes.h"

#include <vssym32.h>

#include <algorithm>
#include <array>

namespace {

constexpr int kArrowPart = 14;  // the menu arrow's share of a button's width

bool ThemesOn() { return ThemeServices().ThemesEnabled(); }

TRect Inset(TRect rect, int by) {
    InflateRect(&rect, -by, -by);
    return rect;
}

TRect Shifted(TRect rect, int dx, int dy) {
    OffsetRect(&rect, dx, dy);
    return rect;
}

void FillSolid(TCanvas& canvas, const TRect& rect, TColor color) {
    canvas.Brush().SetStyle(bsSolid);
    canvas.Brush().SetColor(color);
    canvas.FillRect(rect);
}

void HLine(TCanvas& canvas, int x1, int x2, int y, TColor color) {
    if (x2 > x1)
        FillSolid(canvas, MakeRect(x1, y, x2, y + 1), color);
}

void VLine(TCanvas& canvas, int x, int y1, int y2, TColor color) {
    if (y2 > y1)
        FillSolid(canvas, MakeRect(x, y1, x + 1, y2), color);
}

// A two-colour 8 x 8 checkerboard: first where x and y have the same parity.
std::unique_ptr<TBitmap> Checkerboard(TColor first, TColor second) {
    auto pattern = std::make_unique<TBitmap>(8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            pattern->Canvas().SetPixel(x, y, (x % 2) == (y % 2) ? first : second);
    return pattern;
}

// Fills rect with the pattern, through a brush of an unselected copy that outlives the brush.
void FillPattern(TCanvas& canvas, const TRect& rect, const TBitmap& pattern) {
    TUniqueGdi<HBITMAP> copy = pattern.CopyHandle();
    TUniqueGdi<HBRUSH> brush(CreatePatternBrush(copy.Get()));
    ::FillRect(canvas.Handle(), &rect, brush.Get());
}

// Triangle pointing down with its apex at (x, y).
void DrawArrow(TCanvas& canvas, int x, int y, int halfWidth, int height, TColor color) {
    canvas.Pen().SetColor(color);
    canvas.Brush().SetStyle(bsSolid);
    canvas.Brush().SetColor(color);
    const TPoint points[] = {{x, y}, {x - halfWidth, y - height}, {x + halfWidth, y - height}};
    canvas.Polygon(points);
}

// The height DrawTextA gives text word-wrapped into width, in font (screen DC).
int MeasureTextHeight(const TFont& font, const std::string& text, int width, UINT flags) {
    if (text.empty())
        return 0;
    TWindowDc dc(nullptr);
    TSelection selection(dc.Get(), font.Handle());
    TRect box = MakeRect(0, 0, std::max(width, 1), 0);
    DrawTextA(dc.Get(), text.data(), static_cast<int>(text.size()), &box, flags | DT_CALCRECT);
    return box.bottom - box.top;
}

TColor ResolvedColor(TColor color) { return RGBToColor(ColorToRGB(color)); }

// The sibling that sent a group message, or null: LParam is trusted only when it names a child
// of the same parent (anyone may send the message to the window).
template <class C>
C* GroupSender(const TControl& receiver, LPARAM lParam) {
    TWinControl* parent = receiver.Parent();
    if (!parent)
        return nullptr;
    for (int i = 0; i < parent->ControlCount(); ++i)
        if (reinterpret_cast<LPARAM>(parent->Controls(i)) == lParam)
            return parent->Controls(i) == &receiver ? nullptr : dynamic_cast<C*>(parent->Controls(i));
    return nullptr;
}

// Points link at images: the old list forgets client, the new one tells it of its changes and
// of its end. The caller repaints.
void LinkImages(TComponent& client, TImageList*& link, TImageList* images, const TNotifyEvent& changed) {
    if (link)
        link->UnRegisterChanges(&client);
    LinkComponent(client, link, images);
    if (link)
        link->RegisterChanges(&client, changed);
}

// The linked list goes: client drops it. False when component is another one.
bool ImagesGone(TComponent& client, TImageList*& link, const TComponent* component) {
    if (!link || component != link)
        return false;
    link->UnRegisterChanges(&client);
    link = nullptr;
    return true;
}

// Sends a group message to the siblings of a grouped button.
void BroadcastToSiblings(TControl& sender, int groupIndex) {
    if (groupIndex == 0 || !sender.Parent())
        return;
    sender.Parent()->Broadcast(CM_KVBUTTONPRESSED, static_cast<WPARAM>(groupIndex), reinterpret_cast<LPARAM>(&sender));
}

}  // namespace

// ---- TKvCustomButton ------------------------------------------------------------------------

const TClassInfo& TKvCustomButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TWinControl::TabStop>("TabStop").WithDefault(true),
    };
    static const TClassInfo info = MakeClassInfo<TKvCustomButton, TCustomControl>("TKvCustomButton", props);
    return info;
}

TKvCustomButton::TKvCustomButton(TComponent* owner) : TCustomControl(owner) {
    // Clicks come from the release handling, BM_CLICK and Space, not from the base class.
    ControlStyle.Exclude(csClickEvents);
    TabStop = true;
    SetBounds(0, 0, 115, 17);
}

TKvCustomButton::~TKvCustomButton() = default;

void TKvCustomButton::CreateParams(TCreateParams& params) {
    TCustomControl::CreateParams(params);
    params.ClassStyle |= CS_HREDRAW | CS_VREDRAW;  // the content is centred
}

void TKvCustomButton::SetAlignmentVertical(TAlignmentVertical value) {
    if (SetIfChanged(alignmentVertical_, value))
        Invalidate();
}

void TKvCustomButton::SetHotTrack(bool value) {
    if (SetIfChanged(hotTrack_, value))
        Invalidate();
}

void TKvCustomButton::SetHotTrackColor(TColor value) {
    hotTrackColor_ = value;
    Invalidate();
}

void TKvCustomButton::SetHotTrackColorType(TKvHotTrackColorType value) {
    hotTrackColorType_ = value;
    Invalidate();
}

void TKvCustomButton::SetHighlightColor(TColor value) {
    highlightColor_ = value;
    Invalidate();
}

void TKvCustomButton::SetLightTextStyle(bool value) {
    lightTextStyle_ = value;
    Invalidate();
}

void TKvCustomButton::SetTextStyle(TTextStyle value) {
    textStyle_ = value;
    Invalidate();
}

void TKvCustomButton::SetTextHighlightColor(TColor value) {
    textHighlightColor_ = value;
    Invalidate();
}

void TKvCustomButton::SetTextShadowColor(TColor value) {
    textShadowColor_ = value;
    Invalidate();
}

void TKvCustomButton::SetTextShadowDepth(int value) {
    textShadowDepth_ = value;
    Invalidate();
}

void TKvCustomButton::SetTransparent(bool value) {
    if (SetIfChanged(transparent_, value))
        Invalidate();
}

void TKvCustomButton::SetPressed(bool value) {
    if (value == pressed_)
        return;
    pressed_ = value;
    Repaint();
}

bool TKvCustomButton::ReadOldProperty(const TFormProperty& property) {
    if (!SameText(property.Name, "FrameFlat"))
        return false;
    if (bool flat = false; TKvOldPropReader::ReadBool(property.Value, flat))
        SetHotTrack(flat);
    return true;
}

void TKvCustomButton::WndProc(TMessage& message) {
    switch (message.Msg) {
    case BM_CLICK:
        if (Enabled())
            ClickAction();
        message.Result = 0;
        return;
    case WM_ERASEBKGND:
        if (transparent_) {
            PaintParentBackground(*this, reinterpret_cast<HDC>(message.WParam), false);
            message.Result = 1;
            return;
        }
        break;
    case WM_LBUTTONUP:
        // The release lets the capture go before MouseUp runs; the click's handler may free the button.
        WhileFlagged(releasing_, [&] { TCustomControl::WndProc(message); });
        return;
    case WM_CAPTURECHANGED:
        // Another window took the mouse while the button was held: no click follows.
        if (!releasing_ && tracking_) {
            tracking_ = false;
            SetPressed(false);
        }
        break;
    case WM_CANCELMODE:
        if (tracking_) {
            tracking_ = false;
            SetPressed(false);
        }
        break;
    case CM_MOUSEENTER:
    case CM_MOUSELEAVE:
        mouseOver_ = message.Msg == CM_MOUSEENTER;
        if ((hotTrack_ || ThemesOn()) && HandleAllocated()) {
            const TRect content = ContentRect();
            InvalidateRect(WindowHandle(), &content, FALSE);
        }
        break;
    case CM_ENABLEDCHANGED:
        if (!Enabled()) {
            tracking_ = false;
            keyPressed_ = false;
            pressed_ = false;
        }
        break;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
        TFreeWatch watch(*this);
        TCustomControl::WndProc(message);
        if (watch.Freed())
            return;
        if (message.Msg == WM_KILLFOCUS && keyPressed_) {
            keyPressed_ = false;
            pressed_ = false;
        }
        FocusChanging();
        return;
    }
    default:
        break;
    }
    TCustomControl::WndProc(message);
}

void TKvCustomButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    if (button == mbLeft && Enabled()) {
        TFreeWatch watch(*this);
        if (!Focused() && CanFocus())
            SetFocus();
        if (watch.Freed())
            return;
        if (Focused()) {
            tracking_ = true;
            SetPressed(true);
        }
    }
    TCustomControl::MouseDown(button, shift, x, y);
}

void TKvCustomButton::MouseMove(TShiftState shift, int x, int y) {
    if (tracking_)
        SetPressed(x >= 0 && x < ClientWidth() && y >= 0 && y <= ClientHeight());
    TCustomControl::MouseMove(shift, x, y);
}

void TKvCustomButton::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    if (button == mbLeft && tracking_) {
        TFreeWatch watch(*this);
        ReleaseMouse(x, y);
        if (watch.Freed())
            return;
    }
    TCustomControl::MouseUp(button, shift, x, y);
}

void TKvCustomButton::ReleaseMouse(int x, int y) {
    tracking_ = false;
    pressed_ = false;
    Invalidate();
    TRect client = ClientRect();
    if (PtInRect(&client, TPoint{x, y})) {
        TFreeWatch watch(*this);
        ClickAction();
        if (watch.Freed())
            return;
    }
    Repaint();
}

void TKvCustomButton::KeyDown(WORD& key, TShiftState shift) {
    TFreeWatch watch(*this);
    TCustomControl::KeyDown(key, shift);
    if (watch.Freed())
        return;
    if (key == VK_SPACE && !shift.Contains(ssAlt) && Enabled()) {
        keyPressed_ = true;
        SetPressed(true);
    }
}

void TKvCustomButton::KeyUp(WORD& key, TShiftState shift) {
    TFreeWatch watch(*this);
    TCustomControl::KeyUp(key, shift);
    if (watch.Freed() || key != VK_SPACE)
        return;
    const bool started = std::exchange(keyPressed_, false);
    pressed_ = false;
    if (started && Enabled()) {
        ClickAction();
        if (watch.Freed())
            return;
    }
    Repaint();
}

void TKvCustomButton::ClickAction() {
    Invalidate();
    ClickWithFlag();
}

bool TKvCustomButton::ClickWithFlag() {
    return WhileFlagged(clicking_, [this] { Click(); });
}

void TKvCustomButton::DrawCaption(TCanvas& canvas, TRect rect, UINT flags) {
    const std::string text = Caption();
    canvas.Font().Assign(*Font());
    canvas.Brush().SetStyle(bsClear);
    canvas.RequireFont();
    HDC dc = canvas.Handle();
    const int length = static_cast<int>(text.size());

    TRect measure = rect;
    DrawTextA(dc, text.data(), length, &measure, DT_CALCRECT | DT_EXPANDTABS | DT_WORDBREAK | DT_VCENTER | DT_CENTER);
    const int height = measure.bottom - measure.top;
    if (alignmentVertical_ == avCenter) {
        rect.top = (rect.top + rect.bottom - height) / 2;
        rect.bottom = rect.top + height;
    } else if (alignmentVertical_ == avBottom) {
        rect.top = rect.bottom - height - 1;
    }

    const bool rightToLeft = UseRightToLeftReading();
    if (rightToLeft)
        flags |= DT_RIGHT;

    const int oldMode = SetBkMode(dc, TRANSPARENT);
    auto draw = [&](int dx, int dy, TColor color) {
        TRect box = Shifted(rect, dx, dy);
        SetTextColor(dc, ColorToRGB(color));
        DrawTextA(dc, text.data(), length, &box, flags);
    };
    if (!Enabled()) {
        // Embossed: the highlight a pixel down and right, the shadow in place.
        draw(1, 1, clBtnHighlight);
        draw(0, 0, clBtnShadow);
    } else {
        // Right to left the shadow falls straight down and the face moves left of it, so
        // that the shadow still lies below and to the right.
        if (rightToLeft && textStyle_ == tsShadow)
            draw(0, textShadowDepth_, textShadowColor_);
        else
            DrawTextStyleCopies(textStyle_, lightTextStyle_, textHighlightColor_, textShadowColor_, textShadowDepth_,
                                draw);
        draw(rightToLeft ? -textShadowDepth_ : 0, 0, Font()->Color());
    }
    SetBkMode(dc, oldMode);
    canvas.Brush().SetStyle(bsSolid);
}

// ---- TKvButton ------------------------------------------------------------------------------

const TClassInfo& TKvButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvButton::Alignment, &TKvButton::SetAlignment>("Alignment").WithDefault(taCenter),
        Prop<&TKvButton::AllowAllUp, &TKvButton::SetAllowAllUp>("AllowAllUp").WithDefault(false),
        Prop<&TKvButton::Cancel, &TKvButton::SetCancel>("Cancel").WithDefault(false),
        Prop<&TKvButton::Default, &TKvButton::SetDefault>("Default").WithDefault(false),
        Prop<&TKvButton::Down, &TKvButton::SetDown>("Down").WithDefault(false),
        Prop<&TKvButton::GroupIndex, &TKvButton::SetGroupIndex>("GroupIndex").WithDefault(0),
        Prop<&TKvButton::ModalResult, &TKvButton::SetModalResult>("ModalResult").WithDefault(0),
        Prop<&TKvButton::ShowDownPattern, &TKvButton::SetShowDownPattern>("ShowDownPattern").WithDefault(true),
        Prop<&TKvButton::ShowFocusRect, &TKvButton::SetShowFocusRect>("ShowFocusRect").WithDefault(true),
        Prop<&TKvCustomButton::AlignmentVertical, &TKvCustomButton::SetAlignmentVertical>("AlignmentVertical")
            .WithDefault(avCenter),
        Prop<&TKvCustomButton::HighlightColor, &TKvCustomButton::SetHighlightColor>("HighlightColor")
            .WithDefault(clHighlight),
        Prop<&TKvCustomButton::HotTrack, &TKvButton::SetHotTrack>("HotTrack").WithDefault(false),
        Prop<&TKvCustomButton::HotTrackColor, &TKvCustomButton::SetHotTrackColor>("HotTrackColor")
            .WithDefault(clHighlight),
        Prop<&TKvCustomButton::HotTrackColorType, &TKvCustomButton::SetHotTrackColorType>("HotTrackColorType")
            .WithDefault(htctComplement),
        Prop<&TKvCustomButton::LightTextStyle, &TKvCustomButton::SetLightTextStyle>("LightTextStyle")
            .WithDefault(false),
        Prop<&TKvCustomButton::TextHighlightColor, &TKvCustomButton::SetTextHighlightColor>("TextHighlightColor")
            .WithDefault(clBtnHighlight),
        Prop<&TKvCustomButton::TextShadowColor, &TKvCustomButton::SetTextShadowColor>("TextShadowColor")
            .WithDefault(clBtnShadow),
        Prop<&TKvCustomButton::TextShadowDepth, &TKvCustomButton::SetTextShadowDepth>("TextShadowDepth")
            .WithDefault(2),
        Prop<&TKvCustomButton::TextStyle, &TKvCustomButton::SetTextStyle>("TextStyle").WithDefault(tsNormal),
    };
    static const TClassInfo info = MakeClassInfo<TKvButton, TKvCustomButton>("TKvButton", props);
    return info;
}

TKvButton::TKvButton(TComponent* owner) : TKvCustomButton(owner) {
    SetBounds(0, 0, 75, 25);
    SetColor(clBtnFace);
}

void TKvButton::CreateWnd() {
    TKvCustomButton::CreateWnd();
    activeDefault_ = default_;
}

bool TKvButton::ThemedPaint() const { return ThemesOn(); }

TButtonState TKvButton::State() const {
    if (!Enabled())
        return bsDisabled;
    if (Pressed())
        return bsDown;
    return down_ ? bsExclusive : bsUp;
}

bool TKvButton::LooksDown() const { return Pressed() || down_; }

void TKvButton::SetAlignment(TAlignment value) {
    if (SetIfChanged(alignment_, value))
        Invalidate();
}

void TKvButton::SetAllowAllUp(bool value) {
    if (value == allowAllUp_)
        return;
    allowAllUp_ = value;
    BroadcastGroup();
}

void TKvButton::SetGroupIndex(int value) {
    if (value == groupIndex_)
        return;
    groupIndex_ = value;
    BroadcastGroup();
}

void TKvButton::SetDown(bool value) {
    if (groupIndex_ == 0)
        value = false;
    if (value == down_)
        return;
    if (!value && !allowAllUp_)
        return;  // the group always keeps one down
    down_ = value;
    Invalidate();
    if (down_)
        BroadcastGroup();
}

void TKvButton::SetShowDownPattern(bool value) {
    showDownPattern_ = value;
    Invalidate();
}

void TKvButton::SetShowFocusRect(bool value) {
    showFocusRect_ = value;
    Invalidate();
}

void TKvButton::SetHotTrack(bool value) {
    TKvCustomButton::SetHotTrack(value);
    SetTransparent(value);
}

void TKvButton::SetDefault(bool value) {
    default_ = value;
    if (TCustomForm* form = GetParentForm(this))
        form->Perform(CM_FOCUSCHANGED, 0, reinterpret_cast<LPARAM>(form->ActiveControl()));
    else if (activeDefault_ != value) {
        activeDefault_ = value;
        Invalidate();
    }
}

void TKvButton::BroadcastGroup() { BroadcastToSiblings(*this, groupIndex_); }

void TKvButton::GroupMessage(TMessage& message) {
    message.Result = 0;
    auto sender = GroupSender<TKvButton>(*this, message.LParam);
    if (!sender || groupIndex_ == 0 || static_cast<int>(message.WParam) != groupIndex_)
        return;
    allowAllUp_ = sender->allowAllUp_;
    if (sender->down_ && down_) {
        down_ = false;
        Invalidate();
    }
}

// The focused button is the active default; while another button has the focus none is.
void TKvButton::FocusChanged(TControl* focused) {
    bool active;
    if (focused == this)
        active = true;
    else if (dynamic_cast<TKvCustomButton*>(focused) || dynamic_cast<TButton*>(focused))
        active = false;
    else
        active = default_;
    if (active != activeDefault_) {
        activeDefault_ = active;
        Invalidate();
    }
}

bool TKvButton::DialogKey(WPARAM key) {
    const bool mine = (key == VK_RETURN && activeDefault_) || (key == VK_ESCAPE && cancel_);
    if (!mine || !KeyboardShiftState().Empty() || !CanFocus())
        return false;
    WhileFlagged(dialogKey_, [this] { Click(); });
    return true;
}

void TKvButton::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_ERASEBKGND:
        message.Result = 1;  // Paint covers the client area, the parent's background included
        return;
    case CM_KVBUTTONPRESSED:
        GroupMessage(message);
        return;
    case CM_DIALOGKEY:
        if (DialogKey(message.WParam)) {
            message.Result = 1;
            return;
        }
        break;
    case CM_DIALOGCHAR:
        // Clicks as Enter and Escape do: no group toggle, no pressed look.
        if (IsAccel(static_cast<char>(message.WParam), Caption()) && CanFocus()) {
            message.Result = 1;
            Click();
            return;
        }
        break;
    case CM_FOCUSCHANGED:
        FocusChanged(reinterpret_cast<TControl*>(message.LParam));
        message.Result = 0;
        return;
    default:
        break;
    }
    TKvCustomButton::WndProc(message);
}

void TKvButton::ClickAction() {
    if (groupIndex_ != 0)
        SetDown(!down_);
    else
        Invalidate();
    ClickWithFlag();
}

void TKvButton::Click() {
    if (TCustomForm* form = GetParentForm(this))
        form->SetModalResult(modalResult_);
    TKvCustomButton::Click();
}

// A theme element changes as a whole with the hot state; the hot-track face inside its frame.
TRect TKvButton::ContentRect() const { return ThemedPaint() ? ClientRect() : Inset(ClientRect(), 2); }

TRect TKvButton::TextRect() {
    TRect rect = Inset(ClientRect(), 5);
    if (!HotTrack() && !ThemedPaint() && (Pressed() || (groupIndex_ != 0 && down_)))
        OffsetRect(&rect, 1, 1);
    return rect;
}

std::unique_ptr<TBitmap> TKvButton::CreateDownPattern() const {
    const TColor face = ResolvedColor(Color());
    return Checkerboard(face == clSilver ? clGray : clSilver, face);
}

void TKvButton::Paint() {
    TCanvas& canvas = Canvas();
    const TRect client = ClientRect();
    const bool themed = ThemedPaint();
    TRect focusRect = Inset(client, HotTrack() || themed ? 3 : 4);
    if (groupIndex_ != 0 && LooksDown())
        OffsetRect(&focusRect, 1, 1);

    if (themed || Transparent())
        PaintParentBackground(*this, canvas.Handle(), false);
    else
        FillSolid(canvas, client, Color());

    TRect inner;
    if (themed)
        inner = DrawThemedFace(canvas);
    else if (HotTrack())
        inner = DrawHotTrackFace(canvas);
    else
        inner = DrawClassicFace(canvas);
    if (State() == bsExclusive && showDownPattern_)
        FillPattern(canvas, inner, *CreateDownPattern());

    canvas.Font().Assign(*Font());
    canvas.Brush().SetColor(Color());
    DrawContent(canvas);
    if (Focused() && showFocusRect_)
        DrawFocusBorder(canvas, focusRect);
}

TRect TKvButton::DrawThemedFace(TCanvas& canvas) {
    TThemeData theme = ThemeServices().OpenThemeData(WindowHandle(), L"BUTTON");
    if (!theme)
        return DrawClassicFace(canvas);
    int state = PBS_NORMAL;
    if (!Enabled())
        state = PBS_DISABLED;
    else if (LooksDown())
        state = PBS_PRESSED;
    else if (MouseOver())
        state = PBS_HOT;
    else if (groupIndex_ == 0 && (activeDefault_ || Focused()))
        state = PBS_DEFAULTED;
    const TRect client = ClientRect();
    ThemeServices().DrawThemeBackground(theme.Get(), canvas.Handle(), BP_PUSHBUTTON, state, client);
    return Inset(client, 2);
}

TRect TKvButton::DrawHotTrackFace(TCanvas& canvas) {
    const TRect client = ClientRect();
    const int right = client.right, bottom = client.bottom;
    const TColor face = Color();
    // Rounded outer frame.
    const TColor dark = DarkerColor(clBtnFace, 20), light = LighterColor(clBtnFace, 20);
    VLine(canvas, 0, 2, bottom - 2, dark);
    HLine(canvas, 2, right - 2, 0, dark);
    VLine(canvas, right - 1, 2, bottom - 2, light);
    HLine(canvas, 2, right - 2, bottom - 1, light);
    canvas.SetPixel(1, 1, dark);
    canvas.SetPixel(right - 2, 1, dark);
    canvas.SetPixel(1, bottom - 2, dark);
    canvas.SetPixel(right - 2, bottom - 2, light);

    TRect ring = Inset(client, 1);
    TRect inner = Inset(client, 2);
    canvas.Brush().SetStyle(bsSolid);
    if (!Enabled()) {
        canvas.Brush().SetColor(face == clBtnFace ? LighterColor(clBtnShadow, 30) : DarkerColor(face, 80));
        canvas.FrameRect(ring);
        FillSolid(canvas, inner, face);
        return inner;
    }
    canvas.Brush().SetColor(face == clBtnFace ? cl3DDkShadow : DarkerColor(face, 150));
    canvas.FrameRect(ring);

    auto twoBevels = [&](TColor c1, TColor c2) {
        TRect rect = DrawSides(canvas, inner, c1, c2, kAllSides);
        rect = DrawSides(canvas, rect, DarkerColor(c1, 10), LighterColor(c2, 10), kAllSides);
        FillSolid(canvas, rect, face);
    };
    if (LooksDown()) {
        FillSolid(canvas, inner, DarkerColor(face, 10));
    } else if (MouseOver()) {
        TColor c1;
        if (HotTrackColorType() == htctActual) {
            c1 = LighterColor(HotTrackColor(), 30);
            twoBevels(c1, DarkerColor(HotTrackColor(), 30));
        } else {
            int hue = ColorToHls(HotTrackColor()).Hue;
            hue = hue < 120 ? hue + 120 : hue - 120;
            c1 = HlsToColor(hue, 220, 180);
            twoBevels(c1, DarkerColor(c1, 30));
        }
    } else if (groupIndex_ == 0 && (activeDefault_ || Focused())) {
        const TColor c1 = HlsToColor(ColorToHls(HighlightColor()).Hue, 220, 220);
        twoBevels(c1, DarkerColor(c1, 30));
    } else {
        const int l = inner.left, t = inner.top, r = inner.right, b = inner.bottom;
        HLine(canvas, l, r, t, LighterColor(face, 20));
        HLine(canvas, l, r, t + 1, LighterColor(face, 15));
        HLine(canvas, l, r, t + 2, LighterColor(face, 10));
        FillSolid(canvas, MakeRect(l, t + 3, r - 2, b - 3), face);
        HLine(canvas, l, r - 1, b - 3, DarkerColor(face, 10));
        VLine(canvas, r - 2, t + 3, b - 2, DarkerColor(face, 10));
        HLine(canvas, l, r, b - 2, DarkerColor(face, 20));
        VLine(canvas, r - 1, t + 3, b - 1, DarkerColor(face, 20));
        HLine(canvas, l, r, b - 1, DarkerColor(face, 30));
    }
    return inner;
}

TRect TKvButton::DrawClassicFace(TCanvas& canvas) {
    TRect rect = ClientRect();
    const bool plainFace = Color() == clBtnFace;
    if (groupIndex_ == 0) {
        if (((activeDefault_ || Focused()) && !Pressed()) || Clicking()) {
            canvas.Brush().SetStyle(bsSolid);
            canvas.Brush().SetColor(clWindowFrame);
            canvas.FrameRect(rect);
            rect = Inset(rect, 1);
        }
        if (plainFace)
            rect = DrawBorder(canvas, rect, Pressed() ? fsButtonDown : fsButtonUp, kAllSides);
        else
            rect = DrawBox(canvas, rect, Color(), Pressed(), kAllSides);
    } else {
        const bool down = LooksDown();
        if (plainFace)
            rect = DrawBorder(canvas, rect, down ? fsLowered : fsButtonUp, kAllSides);
        else
            rect = down ? DrawColorBorder(canvas, rect, Color(), fsLowered, kAllSides)
                        : DrawBox(canvas, rect, Color(), false, kAllSides);
    }
    return rect;
}

void TKvButton::DrawContent(TCanvas& canvas) {
    UINT align = DT_CENTER;
    if (alignment_ == taLeftJustify)
        align = DT_LEFT;
    else if (alignment_ == taRightJustify)
        align = DT_RIGHT;
    DrawCaption(canvas, TextRect(), align | DT_EXPANDTABS | DT_WORDBREAK);
}

// ---- TKvBitBtn ------------------------------------------------------------------------------

namespace {

struct TKindInfo {
    const char* Caption;
    TModalResult Result;
    const char* Resource;
};

constexpr std::array<TKindInfo, 11> kKinds = {{
    {"", mrNone, nullptr},
    {"OK", mrOk, "KVCOMMON_OK"},
    {"Cancel", mrCancel, "KVCOMMON_CANCEL"},
    {"&Help", mrNone, "KVCOMMON_HELP"},
    {"&Yes", mrYes, "KVCOMMON_YES"},
    {"&No", mrNo, "KVCOMMON_NO"},
    {"&Close", mrNone, "KVCOMMON_CLOSE"},
    {"Abort", mrAbort, "KVCOMMON_ABORT"},
    {"&Retry", mrRetry, "KVCOMMON_RETRY"},
    {"&Ignore", mrIgnore, "KVCOMMON_IGNORE"},
    {"&All", mrAll, "KVCOMMON_ALL"},
}};

const TKindInfo& KindInfo(TBitBtnKind kind) {
    const auto index = static_cast<size_t>(kind);
    return kKinds[index < kKinds.size() ? index : 0];
}

// Loaded from the program's resources on first use and kept for the process; a missing
// resource gives an empty glyph.
const TBitmap& KindGlyph(TBitBtnKind kind) {
    static std::array<std::unique_ptr<TBitmap>, 11> cache;
    const auto index = static_cast<size_t>(kind) < cache.size() ? static_cast<size_t>(kind) : 0;
    if (!cache[index]) {
        auto bitmap = std::make_unique<TBitmap>();
        if (const char* name = kKinds[index].Resource) {
            if (FindResourceA(GetModuleHandleA(nullptr), name, MAKEINTRESOURCEA(2)))  // RT_BITMAP
                bitmap->LoadFromResourceName(GetModuleHandleA(nullptr), name);
        }
        cache[index] = std::move(bitmap);
    }
    return *cache[index];
}

}  // namespace

const TClassInfo& TKvBitBtn::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvButton::Cancel, &TKvButton::SetCancel>("Cancel").WithDefault(false).StoredIf<&TKvBitBtn::KindStoredRule>(),
        Prop<&TKvButton::Default, &TKvButton::SetDefault>("Default").WithDefault(false).StoredIf<&TKvBitBtn::KindStoredRule>(),
        Prop<&TKvButton::ModalResult, &TKvButton::SetModalResult>("ModalResult")
            .WithDefault(0)
            .StoredIf<&TKvBitBtn::KindStoredRule>(),
        Prop<&TControl::Caption, &TControl::SetCaption>("Caption").StoredIf<&TKvBitBtn::CaptionStored>(),
        Prop<&TKvBitBtn::Glyph, &TKvBitBtn::SetGlyph>("Glyph").StoredIf<&TKvBitBtn::KindStoredRule>(),
        Prop<&TKvBitBtn::Kind, &TKvBitBtn::SetKind>("Kind").WithDefault(bkCustom),
        Prop<&TKvBitBtn::Layout, &TKvBitBtn::SetLayout>("Layout").WithDefault(blGlyphLeft),
        Prop<&TKvBitBtn::Margin, &TKvBitBtn::SetMargin>("Margin").WithDefault(2),
        Prop<&TKvBitBtn::NumGlyphs, &TKvBitBtn::SetNumGlyphs>("NumGlyphs").WithDefault(1).StoredIf<&TKvBitBtn::KindStoredRule>(),
        Prop<&TKvBitBtn::Spacing, &TKvBitBtn::SetSpacing>("Spacing").WithDefault(4),
        Prop<&TKvBitBtn::Images, &TKvBitBtn::SetImages>("Images"),
        Prop<&TKvBitBtn::ImageIndex, &TKvBitBtn::SetImageIndex>("ImageIndex").WithDefault(-1),
        Prop<&TKvBitBtn::DisabledIndex, &TKvBitBtn::SetDisabledIndex>("DisabledIndex").WithDefault(-1),
    };
    static const TClassInfo info = MakeClassInfo<TKvBitBtn, TKvButton>("TKvBitBtn", props);
    return info;
}

TKvBitBtn::TKvBitBtn(TComponent* owner) : TKvButton(owner), glyph_(std::make_unique<TBitmap>()) {
    glyph_->OnChange = TNotifyEvent(this, &TKvBitBtn::GlyphChanged);
}

TKvBitBtn::~TKvBitBtn() { LinkImages(*this, images_, nullptr, {}); }

const char* TKvBitBtn::KindCaption(TBitBtnKind kind) { return KindInfo(kind).Caption; }

TModalResult TKvBitBtn::KindModalResult(TBitBtnKind kind) { return KindInfo(kind).Result; }

TBitBtnKind TKvBitBtn::Kind() const {
    if (kind_ != bkCustom) {
        const bool isDefault = kind_ == bkOK || kind_ == bkYes;
        const bool isCancel = kind_ == bkCancel || kind_ == bkNo;
        if (Default() != isDefault || Cancel() != isCancel || ModalResult() != KindModalResult(kind_) ||
            glyphReplaced_)
            kind_ = bkCustom;
    }
    return kind_;
}

void TKvBitBtn::SetKind(TBitBtnKind value) {
    if (value == Kind())  // not the field: a kind left behind reads as bkCustom first
        return;
    kind_ = value;
    if (value == bkCustom)
        return;
    SetDefault(value == bkOK || value == bkYes);
    SetCancel(value == bkCancel || value == bkNo);
    if (!IsLoading() || Caption().empty())
        SetCaption(KindCaption(value));
    SetModalResult(KindModalResult(value));
    glyph_->Assign(KindGlyph(value));
    SetNumGlyphs(2);
    glyphReplaced_ = false;
    Invalidate();
}

bool TKvBitBtn::CaptionStored() const {
    const TBitBtnKind kind = Kind();
    return kind == bkCustom || Caption() != KindCaption(kind);
}

void TKvBitBtn::SetGlyph(TBitmap* value) {
    if (value)
        glyph_->Assign(*value);
    else
        glyph_->SetSize(0, 0);
    glyphReplaced_ = true;
}

// A strip whose width is a whole multiple of its height holds that many cells (at most 4).
// An empty strip leaves the count alone.
void TKvBitBtn::GlyphChanged(TObject*) {
    const int width = glyph_->Width(), height = glyph_->Height();
    if (width > 0 && height > 0 && width % height == 0) {
        const int cells = width / height;
        numGlyphs_ = cells > 4 ? 1 : cells;
    }
    Invalidate();
}

void TKvBitBtn::SetLayout(TButtonLayout value) {
    if (SetIfChanged(layout_, value))
        Invalidate();
}

void TKvBitBtn::SetMargin(int value) {
    if (value < -1 || value == margin_)
        return;
    margin_ = value;
    Invalidate();
}

void TKvBitBtn::SetNumGlyphs(int value) {
    value = std::clamp(value, 1, 4);
    if (SetIfChanged(numGlyphs_, value))
        Invalidate();
}

void TKvBitBtn::SetSpacing(int value) {
    if (SetIfChanged(spacing_, value))
        Invalidate();
}

void TKvBitBtn::SetImageIndex(int value) {
    if (SetIfChanged(imageIndex_, value))
        Invalidate();
}

void TKvBitBtn::SetDisabledIndex(int value) {
    if (SetIfChanged(disabledIndex_, value))
        Invalidate();
}

void TKvBitBtn::SetImages(TImageList* value) {
    if (value == images_)
        return;
    LinkImages(*this, images_, value, TNotifyEvent(this, &TKvBitBtn::ImagesChanged));
    Invalidate();
}

void TKvBitBtn::ImagesChanged(TObject*) { Invalidate(); }

void TKvBitBtn::Notification(TComponent* component, TOperation operation) {
    TKvButton::Notification(component, operation);
    if (operation == opRemove && ImagesGone(*this, images_, component))
        Invalidate();
}

// The action's image, unless the action is being loaded and the button has one of its own.
void TKvBitBtn::ActionChange(TAction* sender, bool checkDefaults) {
    TKvButton::ActionChange(sender, checkDefaults);
    if (!checkDefaults || imageIndex_ == -1)
        SetImageIndex(sender->ImageIndex());
}

void TKvBitBtn::ChangeScale(int multiplier, int divider) {
    if (divider == 0 || multiplier == divider)
        return;
    if (margin_ > 0)
        margin_ = MulDiv(margin_, multiplier, divider);
    spacing_ = MulDiv(spacing_, multiplier, divider);
    Invalidate();
}

void TKvBitBtn::Loaded() {
    TKvButton::Loaded();
    Invalidate();
}

bool TKvBitBtn::HasGlyph() const {
    const SIZE size = GlyphSize();
    return size.cx > 0 && size.cy > 0;
}

SIZE TKvBitBtn::GlyphSize() const {
    if (UsesImages())
        return SIZE{images_->Width(), images_->Height()};
    if (glyph_->Empty())
        return SIZE{0, 0};
    return SIZE{glyph_->Width() / std::max(numGlyphs_, 1), glyph_->Height()};
}

int TKvBitBtn::CaptionHeight() {
    const TRect rect = TKvButton::TextRect();
    return MeasureTextHeight(*Font(), Caption(), rect.right - rect.left, DT_EXPANDTABS | DT_WORDBREAK | DT_CENTER);
}

TRect TKvBitBtn::BaseTextRect() {
    TRect rect = TKvButton::TextRect();
    if (!HasGlyph())
        return rect;
    const SIZE glyph = GlyphSize();
    const int height = Height();
    if (margin_ >= 0 || layout_ == blGlyphLeft || layout_ == blGlyphRight) {
        const int across = layout_ == blGlyphLeft || layout_ == blGlyphRight ? glyph.cx : glyph.cy;
        const int offset = margin_ + across + spacing_;
        switch (layout_) {
        case blGlyphLeft:
            rect.left += offset;
            break;
        case blGlyphRight:
            rect.right -= offset;
            break;
        case blGlyphTop:
            rect.top += offset;
            break;
        case blGlyphBottom:
            rect.bottom -= offset;
            break;
        }
        return rect;
    }
    const int h = CaptionHeight();
    const int total = glyph.cy + h + spacing_;
    if (layout_ == blGlyphTop)
        rect.top += (height - total) / 2 + glyph.cy;
    else
        rect.top += (height - total) / 2;
    rect.bottom = rect.top + h;
    return rect;
}

TRect TKvBitBtn::TextRect() { return BaseTextRect(); }

TRect TKvBitBtn::BaseGlyphRect() {
    TRect rect = Inset(ClientRect(), 5);  // the text rectangle without the pressed shift
    const SIZE glyph = GlyphSize();
    const int height = Height();
    int left = rect.left, top = rect.top;
    if (margin_ >= 0) {
        switch (layout_) {
        case blGlyphLeft:
            left = rect.left + margin_;
            break;
        case blGlyphRight:
            left = rect.right - margin_ - glyph.cx;
            break;
        case blGlyphTop:
            top = rect.top + margin_;
            break;
        case blGlyphBottom:
            top = rect.bottom - margin_ - glyph.cy;
            break;
        }
    } else {
        const int h = layout_ == blGlyphTop || layout_ == blGlyphBottom ? CaptionHeight() : 0;
        const int total = glyph.cy + h + spacing_;
        switch (layout_) {
        case blGlyphLeft:
            break;
        case blGlyphRight:
            left = rect.right - glyph.cx;
            break;
        case blGlyphTop:
            top = (height - total) / 2;
            break;
        case blGlyphBottom:
            top = rect.top + h + (height - total) / 2;
            break;
        }
    }
    if (layout_ == blGlyphTop || layout_ == blGlyphBottom)
        left = rect.left + (rect.right - rect.left - glyph.cx + 1) / 2;
    else
        top = rect.top + (rect.bottom - rect.top - glyph.cy + 1) / 2;
    TRect result = MakeBounds(left, top, glyph.cx, glyph.cy);
    if (Pressed() || (GroupIndex() != 0 && Down()))
        OffsetRect(&result, 1, ThemedPaint() ? 0 : 1);
    return result;
}

TRect TKvBitBtn::GlyphRect() { return BaseGlyphRect(); }

void TKvBitBtn::DrawContent(TCanvas& canvas) {
    TKvButton::DrawContent(canvas);
    if (!HasGlyph())
        return;
    const TRect rect = GlyphRect();
    if (Kind() == bkCustom && UsesImages())
        DrawImageListGlyph(canvas, rect);
    else
        DrawBitmapGlyph(canvas, rect);
}

void TKvBitBtn::DrawImageListGlyph(TCanvas& canvas, const TRect& rect) {
    if (Enabled())
        images_->Draw(canvas, rect.left, rect.top, imageIndex_, true);
    else if (disabledIndex_ == -1)
        images_->Draw(canvas, rect.left, rect.top, imageIndex_, false);
    else
        images_->Draw(canvas, rect.left, rect.top, disabledIndex_, true);
}

void TKvBitBtn::DrawBitmapGlyph(TCanvas& canvas, const TRect& rect) {
    if (glyph_->Empty())
        return;
    const int cellWidth = glyph_->Width() / std::max(numGlyphs_, 1);
    if (cellWidth <= 0)
        return;
    const int cell = !Enabled() && numGlyphs_ >= 2 ? 1 : 0;
    const TRect source = MakeBounds(cell * cellWidth, 0, cellWidth, glyph_->Height());
    const TColor transparent = RGBToColor(ColorToRGB(glyph_->Canvas().Pixels(0, glyph_->Height() - 1)));
    StretchTransparentBitmap(canvas, *glyph_, rect, transparent, source);
}

// ---- TKvMenuButton --------------------------------------------------------------------------

const TClassInfo& TKvMenuButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvMenuButton::DropDownMenu, &TKvMenuButton::SetDropDownMenu>("DropDownMenu"),
        Prop<&TKvMenuButton::ShowArrow, &TKvMenuButton::SetShowArrow>("ShowArrow").WithDefault(true),
        Prop<&TKvMenuButton::OnDropDown>("OnDropDown"),
    };
    static const TClassInfo info = MakeClassInfo<TKvMenuButton, TKvBitBtn>("TKvMenuButton", props);
    return info;
}

TKvMenuButton::TKvMenuButton(TComponent* owner) : TKvBitBtn(owner) {
    ControlStyle.Exclude(csDoubleClicks);
    SetWidth(110);
}

TKvMenuButton::~TKvMenuButton() { LinkComponent(*this, dropDownMenu_, nullptr); }

void TKvMenuButton::SetDropDownMenu(TPopupMenu* value) { LinkComponent(*this, dropDownMenu_, value); }

void TKvMenuButton::Notification(TComponent* component, TOperation operation) {
    TKvBitBtn::Notification(component, operation);
    if (operation == opRemove && component == dropDownMenu_)
        dropDownMenu_ = nullptr;
}

void TKvMenuButton::SetShowArrow(bool value) {
    if (SetIfChanged(showArrow_, value))
        Invalidate();
}

TPoint TKvMenuButton::DropDownPoint() {
    TPoint point = ClientToScreen(TPoint{0, Height()});
    int widest = 0;
    if (dropDownMenu_) {
        NONCLIENTMETRICSA metrics{};
        metrics.cbSize = sizeof(metrics);
        TUniqueGdi<HFONT> menuFont;
        if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
            menuFont.Reset(CreateFontIndirectA(&metrics.lfMenuFont));
        TWindowDc dc(nullptr);
        TSelection selection(dc.Get(), menuFont ? menuFont.Get() : GetStockObject(DEFAULT_GUI_FONT));
        TMenuItem* items = dropDownMenu_->Items();
        for (int i = 0; i < items->Count(); ++i) {
            const std::string& caption = items->Items(i)->Caption();
            TRect box = MakeRect(0, 0, 0, 0);
            DrawTextA(dc.Get(), caption.data(), static_cast<int>(caption.size()), &box, DT_CALCRECT | DT_SINGLELINE);
            widest = std::max<int>(widest, box.right - box.left);
        }
    }
    const int width = widest + 56;
    int right = Screen.Width();
    if (HMONITOR monitor = FindMonitor(point)) {
        MONITORINFO info{};
        info.cbSize = sizeof(info);
        if (GetMonitorInfoA(monitor, &info))
            right = info.rcMonitor.right;
    }
    if (point.x + width > right)
        point.x -= width - Width();
    return point;
}

void TKvMenuButton::DropDown() {
    if (!dropDownMenu_)
        return;
    if (!FireDropDown())
        return;  // the handler freed the button or the menu
    const TPoint point = DropDownPoint();
    dropDownMenu_->SetPopupComponent(this);
    dropDownMenu_->Popup(point.x, point.y);
}

bool TKvMenuButton::LeftDown(int x, int y) {
    TFreeWatch watch(*this);
    if (dropTime_ != 0 && GetTickCount() - dropTime_ < 100) {
        // The press that closed the menu just now: it only closes it.
        menuJustClosed_ = true;
        dropTime_ = 0;
        if (MouseCapture())
            SetMouseCapture(false);
    } else {
        DropDown();
        if (watch.Freed())
            return false;
        menuJustClosed_ = true;
        dropTime_ = GetTickCount();
    }
    ReleaseMouse(x, y);
    return !watch.Freed();
}

void TKvMenuButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    TFreeWatch watch(*this);
    TKvBitBtn::MouseDown(button, shift, x, y);
    if (watch.Freed())
        return;
    const bool onlyLeft = button == mbLeft && !shift.Contains(ssRight) && !shift.Contains(ssMiddle);
    if (onlyLeft && Enabled() && dropDownMenu_)
        LeftDown(x, y);
}

void TKvMenuButton::KeyDown(WORD& key, TShiftState shift) {
    TFreeWatch watch(*this);
    TKvBitBtn::KeyDown(key, shift);
    if (!watch.Freed() && key == VK_F4)
        DropDown();
}

void TKvMenuButton::Click() {
    if (menuJustClosed_) {
        menuJustClosed_ = false;
        return;
    }
    if (dropDownMenu_ && !DialogKeyClick())
        LeftDown(0, 0);
    else
        TKvBitBtn::Click();
}

TRect TKvMenuButton::TextRect() {
    TRect rect = TKvBitBtn::TextRect();
    if (showArrow_)
        rect.right -= kArrowPart;
    return rect;
}

TRect TKvMenuButton::GlyphRect() {
    TRect rect = TKvBitBtn::GlyphRect();
    if (showArrow_) {
        if (Layout() == blGlyphRight)
            OffsetRect(&rect, -kArrowPart, 0);
        else if (Layout() == blGlyphTop || Layout() == blGlyphBottom)
            OffsetRect(&rect, -kArrowPart / 2, 0);
    }
    return rect;
}

void TKvMenuButton::Paint() {
    TKvBitBtn::Paint();
    if (!showArrow_)
        return;
    const TRect content = ClientRect();
    const int shift = Pressed() ? 1 : 0;
    const int x = content.right - 12 + shift;
    const int y = content.top + (content.bottom - content.top) / 2 + 2 + shift;
    DrawArrow(Canvas(), x, y, 3, 3, Enabled() ? clWindowText : clBtnShadow);
}

// ---- TKvToolButton --------------------------------------------------------------------------

const TClassInfo& TKvToolButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvToolButton::AllowAllUp, &TKvToolButton::SetAllowAllUp>("AllowAllUp").WithDefault(false),
        Prop<&TKvToolButton::DisabledIndex, &TKvToolButton::SetDisabledIndex>("DisabledIndex").WithDefault(-1),
        Prop<&TKvToolButton::DownIndex, &TKvToolButton::SetDownIndex>("DownIndex").WithDefault(-1),
        Prop<&TKvToolButton::HotIndex, &TKvToolButton::SetHotIndex>("HotIndex").WithDefault(-1),
        Prop<&TKvToolButton::ImageIndex, &TKvToolButton::SetImageIndex>("ImageIndex").WithDefault(-1),
        Prop<&TKvToolButton::Down, &TKvToolButton::SetDown>("Down").WithDefault(false),
        Prop<&TKvToolButton::DropDownMenu, &TKvToolButton::SetDropDownMenu>("DropDownMenu"),
        Prop<&TKvToolButton::Flat, &TKvToolButton::SetFlat>("Flat").WithDefault(true),
        Prop<&TKvToolButton::GroupIndex, &TKvToolButton::SetGroupIndex>("GroupIndex").WithDefault(0),
        Prop<&TKvToolButton::Images, &TKvToolButton::SetImages>("Images"),
        Prop<&TKvToolButton::Layout, &TKvToolButton::SetLayout>("Layout").WithDefault(blGlyphLeft),
        Prop<&TKvToolButton::ShowCaption, &TKvToolButton::SetShowCaption>("ShowCaption").WithDefault(false),
        Prop<&TKvToolButton::Transparent, &TKvToolButton::SetTransparent>("Transparent").WithDefault(true),
        Prop<&TKvToolButton::UseToolbarButtonLayout, &TKvToolButton::SetUseToolbarButtonLayout>(
            "UseToolbarButtonLayout")
            .WithDefault(true),
        Prop<&TKvToolButton::UseToolbarButtonSize, &TKvToolButton::SetUseToolbarButtonSize>("UseToolbarButtonSize")
            .WithDefault(true),
        Prop<&TKvToolButton::UseToolbarShowCaption, &TKvToolButton::SetUseToolbarShowCaption>(
            "UseToolbarShowCaption")
            .WithDefault(true),
        Prop<&TKvToolButton::ToolStyle, &TKvToolButton::SetToolStyle>("ToolStyle").WithDefault(tsButton),
        Prop<&TKvToolButton::OnDropDown>("OnDropDown"),
    };
    static const TClassInfo info = MakeClassInfo<TKvToolButton, TCustomControl>("TKvToolButton", props);
    return info;
}

TKvToolButton::TKvToolButton(TComponent* owner) : TGroupedButton(owner) {
    SetBounds(0, 0, 25, 25);
    SetColor(clBtnFace);
}

TKvToolButton::~TKvToolButton() {
    LinkImages(*this, images_, nullptr, {});
    LinkComponent(*this, dropDownMenu_, nullptr);
}

void TKvToolButton::CreateParams(TCreateParams& params) {
    TCustomControl::CreateParams(params);
    params.ClassStyle |= CS_HREDRAW | CS_VREDRAW;
}

TButtonState TKvToolButton::State() const {
    if (!Enabled())
        return bsDisabled;
    if (Press().Inside())
        return Down() ? bsExclusive : bsDown;
    return Down() ? bsExclusive : bsUp;
}

void TKvToolButton::SetDisabledIndex(int value) {
    disabledIndex_ = value;
    Invalidate();
}

void TKvToolButton::SetDownIndex(int value) {
    downIndex_ = value;
    Invalidate();
}

void TKvToolButton::SetHotIndex(int value) {
    hotIndex_ = value;
    Invalidate();
}

void TKvToolButton::SetImageIndex(int value) {
    imageIndex_ = value;
    Invalidate();
}

void TKvToolButton::SetDropDownMenu(TPopupMenu* value) { LinkComponent(*this, dropDownMenu_, value); }

void TKvToolButton::SetFlat(bool value) {
    flat_ = value;
    Invalidate();
}

void TKvToolButton::SetImages(TImageList* value) {
    if (value == images_)
        return;
    LinkImages(*this, images_, value, TNotifyEvent(this, &TKvToolButton::ImagesChanged));
    Invalidate();
}

void TKvToolButton::ImagesChanged(TObject*) { Invalidate(); }

void TKvToolButton::SetLayout(TButtonLayout value) {
    layout_ = value;
    Invalidate();
}

void TKvToolButton::SetShowCaption(bool value) {
    showCaption_ = value;
    Invalidate();
}

void TKvToolButton::SetTransparent(bool value) {
    transparent_ = value;
    Invalidate();
}

void TKvToolButton::SetToolStyle(TKvToolStyle value) {
    toolStyle_ = value;
    Invalidate();
}

void TKvToolButton::Notification(TComponent* component, TOperation operation) {
    TCustomControl::Notification(component, operation);
    if (operation != opRemove)
        return;
    if (ImagesGone(*this, images_, component))
        Invalidate();
    if (component == dropDownMenu_)
        dropDownMenu_ = nullptr;
}

std::unique_ptr<TControlActionLink> TKvToolButton::CreateActionLink() {
    return std::make_unique<TKvToolButtonActionLink>(*this);
}

// The action's image and check mark, so that the link starts out with both in step (a loading
// action leaves what the button has of its own).
void TKvToolButton::ActionChange(TAction* sender, bool checkDefaults) {
    TGroupedButton::ActionChange(sender, checkDefaults);
    if (!checkDefaults || imageIndex_ == -1)
        SetImageIndex(sender->ImageIndex());
    if (!checkDefaults || !Down())
        SetDown(sender->Checked());
}

bool TKvToolButtonActionLink::IsCheckedLinked() const { return Action() && button_.Down() == Action()->Checked(); }

bool TKvToolButtonActionLink::IsImageIndexLinked() const {
    return Action() && button_.ImageIndex() == Action()->ImageIndex();
}

void TKvToolButtonActionLink::SetChecked(bool value) {
    if (IsCheckedLinked())
        button_.SetDown(value);
}

void TKvToolButtonActionLink::SetImageIndex(int value) {
    if (IsImageIndexLinked())
        button_.SetImageIndex(value);
}

void TKvToolButton::GroupChanged() { BroadcastToSiblings(*this, GroupIndex()); }

void TKvToolButton::SetParent(TWinControl* parent) {
    TCustomControl::SetParent(parent);
    AskParent();
}

void TKvToolButton::Loaded() {
    TCustomControl::Loaded();
    AskParent();
}

// A toolbar parent may impose the layout, the size and whether captions show.
void TKvToolButton::AskParent() {
    TWinControl* parent = Parent();
    if (!parent)
        return;
    const LRESULT layout = parent->Perform(CM_KVTOOLBARBUTTONLAYOUT, 0, reinterpret_cast<LPARAM>(this));
    if (useToolbarButtonLayout_ && layout >= 1 && layout <= 4)
        SetLayout(static_cast<TButtonLayout>(layout - 1));
    const LRESULT size = parent->Perform(CM_KVTOOLBARBUTTONSIZE, 0, reinterpret_cast<LPARAM>(this));
    if (useToolbarButtonSize_ && size != 0)
        SetBounds(Left(), Top(), LOWORD(size), HIWORD(size));
    const LRESULT caption = parent->Perform(CM_KVTOOLBARSHOWCAPTION, 0, reinterpret_cast<LPARAM>(this));
    if (useToolbarShowCaption_ && (caption == 1 || caption == 2))
        SetShowCaption(caption == 2);
}

bool TKvToolButton::HotAllowed() const { return (flat_ || ThemesOn()) && Enabled(); }

bool TKvToolButton::InArrowPart(int x) const { return toolStyle_ == tsDropDown && x >= ClientWidth() - kArrowPart; }

bool TKvToolButton::ClicksAt(int x, int) const { return !InArrowPart(x); }

void TKvToolButton::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_KVBUTTONPRESSED:
        message.Result = 0;
        if (auto sender = GroupSender<TKvToolButton>(*this, message.LParam);
            sender && static_cast<int>(message.WParam) == GroupIndex())
            FollowGroup(*sender);
        return;
    case CM_MOUSEENTER:
    case CM_MOUSELEAVE: {
        const bool hot = message.Msg == CM_MOUSEENTER && HotAllowed();
        if (hot != hot_) {
            hot_ = hot;
            Invalidate();
        }
        break;
    }
    case CM_ENABLEDCHANGED:
        // Disabled it stops tracking; enabled again it shows Down (exclusive) or up.
        if (!Enabled())
            hot_ = false;
        Invalidate();
        break;
    default:
        break;
    }
    TGroupedButton::WndProc(message);
}

void TKvToolButton::DropDown() {
    if (!dropDownMenu_)
        return;
    if (!FireDropDown())
        return;
    const TPoint point = ClientToScreen(TPoint{0, Height()});
    dropDownMenu_->SetPopupComponent(this);
    dropDownMenu_->Popup(point.x, point.y);
}

void TKvToolButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    // The arrow part (or a button without a click of its own) drops the menu.
    if (StartPress(button) && toolStyle_ == tsDropDown && dropDownMenu_ && (InArrowPart(x) || !OnClick)) {
        TFreeWatch watch(*this);
        DropDown();
        if (watch.Freed())
            return;
        CancelPress();
    }
    TCustomControl::MouseDown(button, shift, x, y);
}

TImageList* TKvToolButton::DrawnImages() const {
    if (images_)
        return images_;
    const auto toolbar = dynamic_cast<const TToolBar*>(Parent());
    return toolbar ? toolbar->Images() : nullptr;
}

int TKvToolButton::CurrentImage() const {
    switch (State()) {
    case bsDown:
    case bsExclusive:
        if (downIndex_ >= 0)
            return downIndex_;
        break;
    case bsDisabled:
        return disabledIndex_ >= 0 ? disabledIndex_ : imageIndex_;
    case bsUp:
        break;
    }
    if (hot_ && hotIndex_ >= 0)
        return hotIndex_;
    return imageIndex_;
}

void TKvToolButton::Paint() {
    TCanvas& canvas = Canvas();
    const TRect client = ClientRect();
    const TButtonState state = State();
    const bool themed = ThemesOn();
    const bool pushed = state == bsDown || state == bsExclusive;
    const bool dropStyle = toolStyle_ == tsDropDown;

    if (transparent_)
        PaintParentBackground(*this, canvas.Handle(), false);
    else
        FillSolid(canvas, client, Color());
    if (state == bsExclusive && !(flat_ && hot_)) {
        FillPattern(canvas, client,
                    *(transparent_ ? Checkerboard(clBtnFace, clBtnHighlight)
                                   : Checkerboard(Color(), LighterColor(Color(), 20))));
    }

    TRect buttonPart = client;
    if (dropStyle)
        buttonPart.right -= kArrowPart;
    bool framed = false;
    TThemeData theme;
    if (themed)
        theme = ThemeServices().OpenThemeData(WindowHandle(), flat_ ? L"TOOLBAR" : L"BUTTON");
    if (theme) {
        framed = true;
        if (flat_) {
            int themeState = TS_NORMAL;
            if (state == bsDisabled)
                themeState = TS_DISABLED;
            else if (state == bsDown)
                themeState = TS_PRESSED;
            else if (state == bsExclusive)
                themeState = hot_ ? TS_HOTCHECKED : TS_CHECKED;
            else if (hot_)
                themeState = TS_HOT;
            ThemeServices().DrawThemeBackground(theme.Get(), canvas.Handle(), dropStyle ? TP_SPLITBUTTON : TP_BUTTON,
                                                themeState, buttonPart);
            if (dropStyle) {
                const TRect arrowPart = MakeRect(buttonPart.right, client.top, client.right, client.bottom);
                ThemeServices().DrawThemeBackground(theme.Get(), canvas.Handle(), TP_SPLITBUTTONDROPDOWN, themeState,
                                                    arrowPart);
            }
        } else {
            int themeState = PBS_NORMAL;
            if (state == bsDisabled)
                themeState = PBS_DISABLED;
            else if (pushed)
                themeState = PBS_PRESSED;
            else if (hot_)
                themeState = PBS_HOT;
            ThemeServices().DrawThemeBackground(theme.Get(), canvas.Handle(), BP_PUSHBUTTON, themeState, client);
        }
    } else if (flat_) {
        if (state != bsDisabled && pushed) {
            DrawBorder(canvas, client, fsStatus, kAllSides);
            framed = true;
        } else if (state != bsDisabled && hot_) {
            DrawBorder(canvas, client, fsPopup, kAllSides);
            framed = true;
        }
    } else {
        DrawBorder(canvas, client, pushed ? fsLowered : fsButtonUp, kAllSides);
        framed = true;
    }

    const int shiftX = pushed || (dropStyle && Press().Held() && Press().Inside() && !OnClick) ? 1 : 0;
    const int shiftY = themed ? 0 : shiftX;
    if (dropStyle) {
        const int x = client.right - 8 + shiftX;
        const int y = (client.top + client.bottom) / 2 + 1 + shiftX;
        DrawArrow(canvas, x, y, 2, 2, state == bsDisabled ? clBtnShadow : clWindowText);
        if (framed && OnClick)
            VLine(canvas, buttonPart.right, client.top + 2, client.bottom - 2, clBtnShadow);
    }

    // Image and caption inside the button part.
    const TRect content = Inset(buttonPart, 2);
    const int image = CurrentImage();
    TImageList* images = DrawnImages();
    const bool hasImage = images && image >= 0;
    const int w = hasImage ? images->Width() : 0, h = hasImage ? images->Height() : 0;
    const std::string text = showCaption_ ? Caption() : std::string();
    SIZE textSize{0, 0};
    if (!text.empty()) {
        canvas.Font().Assign(*Font());
        textSize = canvas.TextExtent(text);
    }
    const int gap = hasImage && !text.empty() ? 4 : 0;
    TPoint imageAt{content.left, content.top};
    TRect textBox = content;
    const int contentW = content.right - content.left, contentH = content.bottom - content.top;
    switch (layout_) {
    case blGlyphLeft:
        imageAt = {content.left + 2, content.top + (contentH - h) / 2};
        textBox = MakeBounds(imageAt.x + w + gap, content.top + (contentH - textSize.cy) / 2, textSize.cx, textSize.cy);
        break;
    case blGlyphRight:
        imageAt = {content.right - 2 - w, content.top + (contentH - h) / 2};
        textBox = MakeBounds(imageAt.x - gap - textSize.cx, content.top + (contentH - textSize.cy) / 2, textSize.cx,
                             textSize.cy);
        break;
    case blGlyphTop:
    case blGlyphBottom: {
        const int total = h + gap + textSize.cy;
        const int top = content.top + (contentH - total) / 2;
        const int imageTop = layout_ == blGlyphTop ? top : top + textSize.cy + gap;
        const int textTop = layout_ == blGlyphTop ? top + h + gap : top;
        imageAt = {content.left + (contentW - w) / 2, imageTop};
        textBox = MakeBounds(content.left + (contentW - textSize.cx) / 2, textTop, textSize.cx, textSize.cy);
        break;
    }
    }
    imageAt.x += shiftX;
    imageAt.y += shiftY;
    OffsetRect(&textBox, shiftX, shiftY);
    if (hasImage) {
        const bool embossed = state == bsDisabled && disabledIndex_ < 0;
        images->Draw(canvas, imageAt.x, imageAt.y, image, !embossed);
    }
    if (!text.empty()) {
        HDC dc = canvas.Handle();
        canvas.RequireFont();
        const int oldMode = SetBkMode(dc, TRANSPARENT);
        const UINT flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
        if (state == bsDisabled) {
            TRect box = Shifted(textBox, 1, 1);
            SetTextColor(dc, ColorToRGB(clBtnHighlight));
            DrawTextA(dc, text.data(), static_cast<int>(text.size()), &box, flags);
            SetTextColor(dc, ColorToRGB(clBtnShadow));
        } else {
            SetTextColor(dc, ColorToRGB(Font()->Color()));
        }
        DrawTextA(dc, text.data(), static_cast<int>(text.size()), &textBox, flags);
        SetBkMode(dc, oldMode);
    }
}

void TKvMenuButton::DoDropDown() { OnDropDown(dropDownMenu_); }

bool TKvMenuButton::FireDropDown() {
    TFreeWatch watch(*this);
    DoDropDown();
    return !watch.Freed() && dropDownMenu_;
}

void TKvToolButton::DoDropDown() { OnDropDown(dropDownMenu_); }

bool TKvToolButton::FireDropDown() {
    TFreeWatch watch(*this);
    DoDropDown();
    return !watch.Freed() && dropDownMenu_;
}
