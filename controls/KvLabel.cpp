#include "KvLabel.h"

#include "Forms.h"
#include "Handles.h"
#include "KvGraphics.h"
#include "SysUtils.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace {

TKvRunCommandFunction gRunCommand;

constexpr double kPi = std::numbers::pi;

// Text drawn one way, restoring the DC's text settings afterwards.
class TTextSettings {
public:
    TTextSettings(HDC dc, UINT align)
        : dc_(dc), align_(SetTextAlign(dc, align)), mode_(SetBkMode(dc, TRANSPARENT)), color_(GetTextColor(dc)) {}
    ~TTextSettings() {
        SetTextColor(dc_, color_);
        SetBkMode(dc_, mode_);
        SetTextAlign(dc_, align_);
    }
    TTextSettings(const TTextSettings&) = delete;
    TTextSettings& operator=(const TTextSettings&) = delete;

private:
    HDC dc_;
    UINT align_;
    int mode_;
    COLORREF color_;
};

SIZE Extent(HDC dc, const std::string& text) {
    SIZE size{0, 0};
    GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
    return size;
}

void TextAt(HDC dc, int x, int y, const std::string& text, TColor color) {
    SetTextColor(dc, ColorToRGB(color));
    TextOutA(dc, x, y, text.data(), static_cast<int>(text.size()));
}

}  // namespace

int NormalizeAngle(int angle) {
    const int rest = angle % 360;
    return rest < 0 ? rest + 360 : rest;
}

TKvRunCommandFunction SetKvRunCommandHook(TKvRunCommandFunction function) {
    return std::exchange(gRunCommand, std::move(function));
}

UINT KvRunCommand(const std::string& commandLine, UINT showCommand) {
    if (gRunCommand)
        return gRunCommand(commandLine, showCommand);
    return WinExec(commandLine.c_str(), showCommand);
}

// ---- TKvLabel -------------------------------------------------------------------------

const TClassInfo& TKvLabel::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvLabel::Angle, &TKvLabel::SetAngle>("Angle").WithDefault(0),
        Prop<&TKvLabel::Rotation, &TKvLabel::SetRotation>("Rotation").WithDefault(roNone),
        Prop<&TKvLabel::CenterPoint, &TKvLabel::SetCenterPoint>("CenterPoint").WithDefault(cpCenter),
        Prop<&TKvLabel::TextStyle, &TKvLabel::SetTextStyle>("TextStyle").WithDefault(tsNormal),
        Prop<&TKvLabel::LightTextStyle, &TKvLabel::SetLightTextStyle>("LightTextStyle").WithDefault(false),
        Prop<&TKvLabel::HighlightColor, &TKvLabel::SetHighlightColor>("HighlightColor").WithDefault(clBtnHighlight),
        Prop<&TKvLabel::ShadowColor, &TKvLabel::SetShadowColor>("ShadowColor").WithDefault(clBtnShadow),
        Prop<&TKvLabel::ShadowDepth, &TKvLabel::SetShadowDepth>("ShadowDepth").WithDefault(2),
        Prop<&TKvLabel::Blinking, &TKvLabel::SetBlinking>("Blinking").WithDefault(false),
        Prop<&TKvLabel::BlinkColor, &TKvLabel::SetBlinkColor>("BlinkColor").WithDefault(clHighlight),
        Prop<&TKvLabel::BlinkIntervalOff, &TKvLabel::SetBlinkIntervalOff>("BlinkIntervalOff").WithDefault(500),
        Prop<&TKvLabel::BlinkIntervalOn, &TKvLabel::SetBlinkIntervalOn>("BlinkIntervalOn").WithDefault(500),
        Prop<&TKvLabel::BevelWidth, &TKvLabel::SetBevelWidth>("BevelWidth").WithDefault(1),
        Prop<&TKvLabel::BorderInner, &TKvLabel::SetBorderInner>("BorderInner").WithDefault(fsNone),
        Prop<&TKvLabel::BorderOuter, &TKvLabel::SetBorderOuter>("BorderOuter").WithDefault(fsNone),
        Prop<&TKvLabel::BorderSides, &TKvLabel::SetBorderSides>("BorderSides").WithDefault(kAllSides.Bits()),
        Prop<&TKvLabel::BorderColor, &TKvLabel::SetBorderColor>("BorderColor").WithDefault(clBtnFace),
        Prop<&TKvLabel::BorderHighlight, &TKvLabel::SetBorderHighlight>("BorderHighlight").WithDefault(clBtnHighlight),
        Prop<&TKvLabel::BorderShadow, &TKvLabel::SetBorderShadow>("BorderShadow").WithDefault(clBtnShadow),
        Prop<&TKvLabel::BorderWidth, &TKvLabel::SetBorderWidth>("BorderWidth").WithDefault(0),
        Prop<&TKvLabel::FlatColor, &TKvLabel::SetFlatColor>("FlatColor").WithDefault(clBtnShadow),
        Prop<&TKvLabel::FlyByEnabled, &TKvLabel::SetFlyByEnabled>("FlyByEnabled").WithDefault(false),
        Prop<&TKvLabel::FlyByColor, &TKvLabel::SetFlyByColor>("FlyByColor").WithDefault(clHighlight),
        Prop<&TCustomLabel::AutoSize, &TCustomLabel::SetAutoSize>("AutoSize").WithDefault(false),
    };
    static const TClassInfo info = MakeClassInfo<TKvLabel, TLabel>("TKvLabel", props);
    return info;
}

TKvLabel::TKvLabel(TComponent* owner)
    : TLabel(owner), normalColor_(Font()->Color()), colorInUse_(Font()->Color()) {
    // The base fitted itself to an empty caption while it was auto-sizing; a label that does
    // not auto-size keeps the usual label size.
    SetAutoSize(false);
    SetBounds(Left(), Top(), 65, 17);
    TKvBlinkingControlsList::Add(this);
}

TKvLabel::~TKvLabel() { TKvBlinkingControlsList::Remove(this); }

void TKvLabel::SwitchToTrueTypeFont() {
    // The font is chosen on purpose here: the font-change rule must not undo the angle.
    TFlagGuard guard(switchingFont_);
    Font()->SetName("Verdana");
}

void TKvLabel::SetAngle(int value) {
    value = NormalizeAngle(value);
    if (value == angle_)
        return;
    angle_ = value;
    if (!IsLoading() && angle_ != 0 && !IsTrueTypeFont(*Font()))
        SwitchToTrueTypeFont();
    if (angle_ != 0 && rotation_ == roNone)
        rotation_ = roFlat;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetRotation(TRotation value) {
    if (value == rotation_)
        return;
    rotation_ = value;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetCenterPoint(TCenterPoint value) {
    if (SetIfChanged(centerPoint_, value))
        Invalidate();
}

void TKvLabel::SetTextStyle(TTextStyle value) {
    if (value == textStyle_)
        return;
    textStyle_ = value;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetLightTextStyle(bool value) {
    if (SetIfChanged(lightTextStyle_, value))
        Invalidate();
}

void TKvLabel::SetHighlightColor(TColor value) {
    if (SetIfChanged(highlightColor_, value))
        Invalidate();
}

void TKvLabel::SetShadowColor(TColor value) {
    if (SetIfChanged(shadowColor_, value))
        Invalidate();
}

void TKvLabel::SetShadowDepth(int value) {
    if (value == shadowDepth_)
        return;
    shadowDepth_ = value;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetBlinking(bool value) {
    if (value == blinking_)
        return;
    blinking_ = value;
    if (!blinking_)
        colorInUse_ = normalColor_;
    Invalidate();
}

void TKvLabel::SetBlinkColor(TColor value) {
    if (SetIfChanged(blinkColor_, value))
        Invalidate();
}

int TKvLabel::BlinkIntervalOff() const {
    auto list = TKvBlinkingControlsList::Instance();
    return list ? static_cast<int>(list->IntervalOff()) : 500;
}

void TKvLabel::SetBlinkIntervalOff(int value) {
    if (auto list = TKvBlinkingControlsList::Instance(); list && value > 0)
        list->SetIntervalOff(static_cast<unsigned>(value));
}

int TKvLabel::BlinkIntervalOn() const {
    auto list = TKvBlinkingControlsList::Instance();
    return list ? static_cast<int>(list->IntervalOn()) : 500;
}

void TKvLabel::SetBlinkIntervalOn(int value) {
    if (auto list = TKvBlinkingControlsList::Instance(); list && value > 0)
        list->SetIntervalOn(static_cast<unsigned>(value));
}

void TKvLabel::SetBevelWidth(int value) {
    if (value == bevelWidth_)
        return;
    bevelWidth_ = value;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetBorderInner(TFrameStyle value) {
    if (value == borderInner_)
        return;
    borderInner_ = value;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetBorderOuter(TFrameStyle value) {
    if (value == borderOuter_)
        return;
    borderOuter_ = value;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetBorderSides(TSides value) {
    if (value == borderSides_)
        return;
    borderSides_ = value;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetBorderColor(TColor value) {
    if (SetIfChanged(borderColor_, value))
        Invalidate();
}

void TKvLabel::SetBorderHighlight(TColor value) {
    if (SetIfChanged(borderHighlight_, value))
        Invalidate();
}

void TKvLabel::SetBorderShadow(TColor value) {
    if (SetIfChanged(borderShadow_, value))
        Invalidate();
}

void TKvLabel::SetBorderWidth(int value) {
    if (value == borderWidth_)
        return;
    borderWidth_ = value;
    AdjustBounds();
    Invalidate();
}

void TKvLabel::SetFlatColor(TColor value) {
    if (SetIfChanged(flatColor_, value))
        Invalidate();
}

void TKvLabel::SetFlyByEnabled(bool value) { flyByEnabled_ = value; }

void TKvLabel::SetFlyByColor(TColor value) { flyByColor_ = value; }

void TKvLabel::UpdateColors() {
    normalColor_ = Font()->Color();
    colorInUse_ = normalColor_;
}

void TKvLabel::Blink(bool on) {
    colorInUse_ = on ? blinkColor_ : normalColor_;
    Invalidate();
}

std::string TKvLabel::GetLabelText() const { return Caption(); }

void TKvLabel::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_FONTCHANGED:
        if (!IsLoading()) {
            if (!blinking_)
                UpdateColors();
            if (angle_ != 0 && !switchingFont_ && !IsTrueTypeFont(*Font()))
                angle_ = 0;
        }
        break;
    case CM_KVBLINKQUERY:
        message.Result = blinking_ ? 1 : 0;
        return;
    case CM_KVBLINK:
        Blink(message.WParam == 1);
        message.Result = 0;
        return;
    case CM_MOUSEENTER:
        if (!IsDesigning() && flyByEnabled_ && !flyingBy_) {
            savedFlyByColor_ = Font()->Color();
            flyingBy_ = true;
            Font()->SetColor(flyByColor_);
        }
        break;
    case CM_MOUSELEAVE:
        if (flyingBy_) {
            flyingBy_ = false;
            Font()->SetColor(savedFlyByColor_);
        }
        break;
    default:
        break;
    }
    TLabel::WndProc(message);
}

void TKvLabel::Loaded() {
    TLabel::Loaded();
    if (rotation_ == roNone && angle_ != 0)
        rotation_ = roFlat;
    if (rotation_ != roNone && !IsTrueTypeFont(*Font()))
        SwitchToTrueTypeFont();
    normalColor_ = Font()->Color();
    if (!blinking_)
        colorInUse_ = normalColor_;
    AdjustBounds();
}

bool TKvLabel::ReadOldProperty(const TFormProperty& property) {
    if (SameText(property.Name, "FrameSides"))
        return TKvOldPropReader::SkipStrings(property.Value);
    return false;
}

int TKvLabel::BorderStyleWidth(TFrameStyle style) const {
    switch (style) {
    case fsFlat:
        return 1;
    case fsStatus:
    case fsPopup:
        return bevelWidth_;
    case fsGroove:
    case fsBump:
    case fsLowered:
    case fsButtonDown:
    case fsRaised:
    case fsButtonUp:
        return 2;
    default:
        return 0;
    }
}

SIZE TKvLabel::MeasureText(HDC dc) const {
    std::string text = GetLabelText();
    // An empty caption still measures one blank wide and one line high.
    if (text.empty() || (ShowAccelChar() && text == "&"))
        text += ' ';
    TRect rect = MakeRect(0, 0, WordWrap() ? Width() : 0, 0);
    DrawTextA(dc, text.data(), static_cast<int>(text.size()), &rect, DrawTextFlags() | DT_CALCRECT);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

void TKvLabel::AdjustBounds() {
    if (!AutoSize() || IsLoading())
        return;
    SIZE size;
    {
        TWindowDc dc(nullptr);
        TSelection selection(dc.Get(), Font()->Handle());
        size = MeasureText(dc.Get());
    }
    double width = size.cx, height = size.cy;
    const int border = BorderStyleWidth(borderOuter_) + BorderStyleWidth(borderInner_) + borderWidth_;
    width += border * (borderSides_.Contains(sdLeft) + borderSides_.Contains(sdRight));
    height += border * (borderSides_.Contains(sdTop) + borderSides_.Contains(sdBottom));
    if (rotation_ == roFlat && angle_ != 0 && angle_ != 180) {
        if (textStyle_ == tsShadow) {
            width += shadowDepth_ / 2;
            height += shadowDepth_ / 2;
        }
        double a = (angle_ % 90) * kPi / 180;
        if (angle_ == 90 || angle_ == 270)
            a += kPi / 2;
        const double turnedWidth = std::sin(a) * height + std::cos(a) * width;
        const double turnedHeight = std::cos(a) * height + std::sin(a) * width;
        width = turnedWidth;
        height = turnedHeight;
    } else if (textStyle_ == tsShadow) {
        width += shadowDepth_;
        height += shadowDepth_;
    }
    const int newWidth = static_cast<int>(std::lround(width));
    const int newHeight = static_cast<int>(std::lround(height));
    int left = Left();
    if (Alignment() == taRightJustify && !WordWrap())
        left += Width() - newWidth;
    SetBounds(left, Top(), newWidth, newHeight);
}

TRect TKvLabel::DrawLabelBorder(TCanvas& canvas, const TRect& rect, TFrameStyle style) {
    switch (style) {
    case fsNone:
        return rect;
    case fsFlat:
        return DrawBevel(canvas, rect, flatColor_, flatColor_, 1, borderSides_);
    case fsPopup:
        return DrawBevel(canvas, rect, borderHighlight_, borderShadow_, bevelWidth_, borderSides_);
    case fsStatus:
        return DrawBevel(canvas, rect, borderShadow_, borderHighlight_, bevelWidth_, borderSides_);
    default:
        return DrawBorder(canvas, rect, style, borderSides_);
    }
}

void TKvLabel::DrawStyled(const std::function<void(int dx, int dy, TColor color)>& draw) {
    DrawTextStyleCopies(textStyle_, lightTextStyle_, highlightColor_, shadowColor_, shadowDepth_, draw);
    if (Enabled()) {
        draw(0, 0, colorInUse_);
    } else {
        draw(1, 1, clBtnHighlight);
        draw(0, 0, clBtnShadow);
    }
}

void TKvLabel::Paint() {
    TCanvas& canvas = Canvas();
    TRect rect = ClientRect();
    rect = DrawLabelBorder(canvas, rect, borderOuter_);
    if (borderWidth_ > 0)
        rect = DrawBevel(canvas, rect, borderColor_, borderColor_, borderWidth_, borderSides_);
    rect = DrawLabelBorder(canvas, rect, borderInner_);
    if (!Transparent()) {
        canvas.Brush().SetStyle(bsSolid);
        canvas.Brush().SetColor(Color());
        canvas.FillRect(rect);
    }
    canvas.Brush().SetStyle(bsClear);
    canvas.RequireFont();
    if (rotation_ == roCurve)
        DrawCurvedText(canvas, rect);
    else
        DrawFlatText(canvas, rect);
}

void TKvLabel::DrawFlatText(TCanvas& canvas, const TRect& rect) {
    HDC dc = canvas.Handle();
    const std::string text = GetLabelText();
    const int length = static_cast<int>(text.size());
    if (rotation_ == roNone) {
        const UINT flags = DrawTextFlags();
        TRect box = rect;
        if (Layout() != tlTop) {
            TRect measured = box;
            DrawTextA(dc, text.data(), length, &measured, flags | DT_CALCRECT);
            const int height = measured.bottom - measured.top;
            const int room = box.bottom - box.top;
            box.top += Layout() == tlBottom ? room - height : (room - height) / 2;
        }
        TTextSettings settings(dc, TA_LEFT | TA_TOP);
        DrawStyled([&](int dx, int dy, TColor color) {
            TRect moved = box;
            OffsetRect(&moved, dx, dy);
            SetTextColor(dc, ColorToRGB(color));
            DrawTextA(dc, text.data(), length, &moved, flags);
        });
        return;
    }

    TUniqueGdi<HFONT> font = RotateFont(*Font(), angle_);
    TSelection selection(dc, font.Get());
    const int shift = textStyle_ == tsShadow ? shadowDepth_ / 2 : 0;
    const int th = Extent(dc, "Pp").cy + shift;
    const int tw = Extent(dc, text).cx + shift;
    const int cx = (rect.left + rect.right) / 2;
    const int cy = (rect.top + rect.bottom) / 2;
    const TAlignment alignment = Alignment();
    UINT align = TA_BASELINE | TA_LEFT;
    int x = cx, y = cy;
    switch (angle_) {
    case 0:
        align = TA_TOP | TA_LEFT;
        if (alignment == taCenter) {
            align = TA_TOP | TA_CENTER;
            x = cx;
        } else if (alignment == taRightJustify) {
            x = rect.right - tw - shift;
        } else {
            x = rect.left + shift;
        }
        y = cy - th / 2;
        break;
    case 90:
        x = cx + th / 4;
        y = alignment == taLeftJustify ? rect.bottom - shift
            : alignment == taCenter    ? (rect.bottom + tw) / 2
                                       : rect.top + tw + shift;
        break;
    case 180:
        x = alignment == taLeftJustify ? rect.right - shift
            : alignment == taCenter    ? rect.right - (rect.right - tw) / 2
                                       : rect.left + tw;
        y = cy - th / 4;
        break;
    case 270:
        x = cx - th / 4;
        y = alignment == taLeftJustify ? rect.top + shift
            : alignment == taCenter    ? (rect.bottom - tw) / 2
                                       : rect.bottom - tw - shift;
        break;
    default: {
        align = TA_BASELINE | TA_CENTER;
        const double b = (angle_ + 90) * kPi / 180;
        x = static_cast<int>(std::lround(cx - std::cos(b) * th / 4));
        y = static_cast<int>(std::lround(cy + std::sin(b) * th / 4));
        break;
    }
    }
    TTextSettings settings(dc, align);
    DrawStyled([&](int dx, int dy, TColor color) { TextAt(dc, x + dx, y + dy, text, color); });
}

void TKvLabel::DrawCurvedText(TCanvas& canvas, const TRect&) {
    HDC dc = canvas.Handle();
    const int inset = borderWidth_;
    const int width = Width(), height = Height();
    int cx = width / 2, cy = height / 2;
    int rx = width - 2 * inset, ry = height - 2 * inset;
    const int halfWidth = width / 2 - 2 * inset, halfHeight = height / 2 - 2 * inset;
    switch (centerPoint_) {
    case cpUpperLeft:
        cx = inset, cy = inset;
        break;
    case cpUpperRight:
        cx = width - inset, cy = inset;
        break;
    case cpLowerLeft:
        cx = inset, cy = height - inset;
        break;
    case cpLowerRight:
        cx = width - inset, cy = height - inset;
        break;
    case cpUpperCenter:
        cy = inset, rx = halfWidth;
        break;
    case cpLowerCenter:
        cy = height - inset, rx = halfWidth;
        break;
    case cpLeftCenter:
        cx = inset, ry = halfHeight;
        break;
    case cpRightCenter:
        cx = width - inset, ry = halfHeight;
        break;
    case cpCenter:
        rx = halfWidth, ry = halfHeight;
        break;
    }
    // The step along the curve divides by the radius: a label narrower than its borders has
    // no curve to follow.
    if (rx <= 0)
        return;

    const std::string text = GetLabelText();
    const int th = Extent(dc, "Yy").cy;
    const double step = (Extent(dc, "w").cx + 2) / static_cast<double>(rx);
    TUniqueGdi<HFONT> upright = RotateFont(*Font(), 0);
    LOGFONTA logFont{};
    if (!GetObjectA(upright.Get(), sizeof(logFont), &logFont))
        return;
    TTextSettings settings(dc, TA_TOP | TA_CENTER);
    double a = angle_ * kPi / 180;
    for (char c : text) {
        const int x = static_cast<int>(std::lround(cx - std::sin(a) * (rx - th)));
        const int y = static_cast<int>(std::lround(cy - std::cos(a) * (ry - th)));
        logFont.lfEscapement = static_cast<LONG>(std::lround(a * 1800 / kPi));
        TUniqueGdi<HFONT> font(CreateFontIndirectA(&logFont));
        if (!font)
            return;
        TSelection selection(dc, font.Get());
        const std::string one(1, c);
        DrawStyled([&](int dx, int dy, TColor color) { TextAt(dc, x + dx, y + dy, one, color); });
        a -= step;
    }
}

// ---- TKvURLLabel ----------------------------------------------------------------------

const TClassInfo& TKvURLLabel::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvURLLabel::URL, &TKvURLLabel::SetURL>("URL"),
        Prop<&TKvURLLabel::Visited, &TKvURLLabel::SetVisited>("Visited").WithDefault(false),
        Prop<&TKvURLLabel::VisitedColor, &TKvURLLabel::SetVisitedColor>("VisitedColor").WithDefault(clPurple),
        Prop<&TKvURLLabel::UnvisitedColor, &TKvURLLabel::SetUnvisitedColor>("UnvisitedColor").WithDefault(clHighlight),
    };
    static const TClassInfo info = MakeClassInfo<TKvURLLabel, TKvLabel>("TKvURLLabel", props);
    return info;
}

TKvURLLabel::TKvURLLabel(TComponent* owner) : TKvLabel(owner) {
    Font()->SetColor(clHighlight);
    Font()->SetStyle(TFontStyles{fsUnderline});
    SetTextStyle(tsNormal);
    // Loaded resources stay with the module: the screen may keep the handle.
    if (HCURSOR hand = LoadCursorA(GetModuleHandleA(nullptr), "KVCOMMON_HANDCURSOR")) {
        Screen.SetCursors(crKvHandCursor, hand);
        SetCursor(crKvHandCursor);
    } else {
        SetCursor(crHandPoint);
    }
}

void TKvURLLabel::ApplyVisitedColor() {
    Font()->SetColor(visited_ ? visitedColor_ : unvisitedColor_);
    Invalidate();
}

void TKvURLLabel::SetVisited(bool value) {
    visited_ = value;
    ApplyVisitedColor();
}

void TKvURLLabel::SetVisitedColor(TColor value) {
    visitedColor_ = value;
    ApplyVisitedColor();
}

void TKvURLLabel::SetUnvisitedColor(TColor value) {
    unvisitedColor_ = value;
    ApplyVisitedColor();
}

void TKvURLLabel::Click() {
    {
        // OnClick may free the label.
        TFreeWatch watch(*this);
        TKvLabel::Click();
        if (watch.Freed())
            return;
    }
    std::string target = Trim(url_);
    if (target.empty())
        target = Trim(Caption());
    if (target.empty())
        return;
    if (ShellOpen(nullptr, "Open", target, "", "", SW_SHOWNORMAL))
        SetVisited(true);
    else if (UpperCase(ExtractFileExt(target)) == ".HTM")
        KvRunCommand("RunDLL32.exe Shell32.dll,OpenAs_RunDLL *.htm", SW_SHOWNORMAL);
}
