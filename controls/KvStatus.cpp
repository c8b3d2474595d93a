#include "KvStatus.h"

#include "Handles.h"
#include "KvPanel.h"
#include "SysUtils.h"
#include "Themes.h"

#include <windows.h>

#include <vsstyle.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

const char* const kItemKeys[] = {"CompanyName",      "FileDescription",  "FileVersion", "InternalName",
                                 "LegalCopyright",   "LegalTrademarks",  "OriginalFilename",
                                 "ProductName",      "ProductVersion",   "Comments"};

const char kNotAvailable[] = "Value Not Available";

}  // namespace

const TClassInfo& TKvVersionInfo::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvVersionInfo::About, &TKvVersionInfo::SetAbout>("About").NotStored(),
        Prop<&TKvVersionInfo::FilePath, &TKvVersionInfo::SetFilePath>("FilePath"),
    };
    static const TClassInfo info = MakeClassInfo<TKvVersionInfo, TComponent>("TKvVersionInfo", props);
    return info;
}

TKvVersionInfo::TKvVersionInfo(TComponent* owner) : TComponent(owner) {
    if (!IsDesigning())
        ReadVersionBlock();
}

void TKvVersionInfo::Loaded() {
    TComponent::Loaded();
    if (!IsDesigning())
        ReadVersionBlock();
}

void TKvVersionInfo::SetFilePath(const std::string& path) {
    if (path == filePath_)
        return;
    filePath_ = path;
    if (!IsDesigning() && !IsLoading())
        ReadVersionBlock();
}

void TKvVersionInfo::ReadVersionBlock() {
    if (filePath_.empty()) {
        char module[261] = {};
        DWORD length = GetModuleFileNameA(GetModuleHandleA(nullptr), module, sizeof module);
        filePath_.assign(module, length < sizeof module ? length : sizeof module - 1);
    }
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(filePath_.c_str(), &handle);
    std::vector<char> block(size);
    // A block that cannot be read counts as no block at all.
    hasVersionInfo_ = size > 0 && GetFileVersionInfoA(filePath_.c_str(), 0, size, block.data());

    std::vector<std::string> values(std::size(kItemKeys), kNotAvailable);
    if (hasVersionInfo_) {
        std::string language, codePage;
        void* translation = nullptr;
        UINT length = 0;
        if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &translation, &length) && translation &&
            length >= sizeof(DWORD)) {
            const DWORD first = *static_cast<const DWORD*>(translation);
            language = Format("%.4x", static_cast<unsigned>(LOWORD(first)));
            codePage = Format("%.4x", static_cast<unsigned>(HIWORD(first)));
        }
        const std::string base = "StringFileInfo\\" + language + codePage + "\\";
        for (size_t i = 0; i < values.size(); ++i) {
            void* text = nullptr;
            UINT chars = 0;
            if (VerQueryValueA(block.data(), (base + kItemKeys[i]).c_str(), &text, &chars) && text)
                values[i] = static_cast<const char*>(text);
            else
                values[i].clear();
        }
    }
    items_.Clear();
    for (const std::string& value : values)
        items_.Add(value);
}

// ---- TKvCustomStatusPane ----------------------------------------------------------------

const TClassInfo& TKvCustomStatusPane::StaticClassInfo() {
    using C = TKvCustomStatusPane;
    static const TPropInfo props[] = {
        Prop<&C::Alignment, &C::SetAlignment>("Alignment").WithDefault(taLeftJustify),
        Prop<&C::AutoSize, &C::SetAutoSize>("AutoSize").WithDefault(false),
        Prop<&C::Blinking, &C::SetBlinking>("Blinking").WithDefault(false),
        Prop<&C::BlinkColor, &C::SetBlinkColor>("BlinkColor").WithDefault(clHighlight),
        Prop<&C::BlinkIntervalOff, &C::SetBlinkIntervalOff>("BlinkIntervalOff").WithDefault(500),
        Prop<&C::BlinkIntervalOn, &C::SetBlinkIntervalOn>("BlinkIntervalOn").WithDefault(500),
        Prop<&C::BorderWidth, &C::SetBorderWidth>("BorderWidth").WithDefault(1),
        Prop<&C::CaptionOffset, &C::SetCaptionOffset>("CaptionOffset").WithDefault(2),
        Prop<&C::DefaultWidth, &C::SetDefaultWidth>("DefaultWidth").WithDefault(40),
        Prop<&C::FillColor, &C::SetFillColor>("FillColor").WithDefault(clBtnFace),
        Prop<&C::FlatColor, &C::SetFlatColor>("FlatColor").WithDefault(clBtnShadow),
        Prop<&C::FlatColorAdjustment, &C::SetFlatColorAdjustment>("FlatColorAdjustment").WithDefault(30),
        Prop<&C::FrameStyle, &C::SetFrameStyle>("FrameStyle").WithDefault(fsFlat),
        Prop<&C::FrameController, &C::SetFrameController>("FrameController"),
        Prop<&C::ParentColor, &C::SetParentColor>("ParentColor").WithDefault(true),
    };
    static const TClassInfo info = MakeClassInfo<TKvCustomStatusPane, TGraphicControl>("TKvCustomStatusPane", props);
    return info;
}

const TClassInfo& TKvStatusPane::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TKvStatusPane, TKvCustomStatusPane>("TKvStatusPane", {});
    return info;
}

TKvCustomStatusPane::TKvCustomStatusPane(TComponent* owner) : TGraphicControl(owner) {
    SetBounds(0, 0, 100, 20);
    SetParentColor(true);
    normalColor_ = currentColor_ = Font()->Color();
    TKvBlinkingControlsList::Add(this);
}

TKvCustomStatusPane::~TKvCustomStatusPane() {
    TKvBlinkingControlsList::Remove(this);
    LinkFrameController(*this, frameController_, nullptr);
}

void TKvCustomStatusPane::SetAlignment(TAlignment value) {
    if (SetIfChanged(alignment_, value))
        Invalidate();
}

void TKvCustomStatusPane::SetAutoSize(bool value) {
    if (value == autoSize_)
        return;
    autoSize_ = value;
    AdjustSize();
}

void TKvCustomStatusPane::SetDefaultWidth(int value) {
    if (value == defaultWidth_)
        return;
    defaultWidth_ = value;
    AdjustSize();
}

void TKvCustomStatusPane::SetBlinking(bool value) {
    if (value == blinking_)
        return;
    blinking_ = value;
    if (!blinking_) {
        currentColor_ = normalColor_;
        Invalidate();
    }
}

void TKvCustomStatusPane::SetBlinkColor(TColor value) {
    if (SetIfChanged(blinkColor_, value))
        Invalidate();
}

int TKvCustomStatusPane::BlinkIntervalOff() const {
    TKvBlinkingControlsList* list = TKvBlinkingControlsList::Instance();
    return list ? static_cast<int>(list->IntervalOff()) : 500;
}

void TKvCustomStatusPane::SetBlinkIntervalOff(int value) {
    if (TKvBlinkingControlsList* list = TKvBlinkingControlsList::Instance(); list && value > 0)
        list->SetIntervalOff(static_cast<unsigned>(value));
}

int TKvCustomStatusPane::BlinkIntervalOn() const {
    TKvBlinkingControlsList* list = TKvBlinkingControlsList::Instance();
    return list ? static_cast<int>(list->IntervalOn()) : 500;
}

void TKvCustomStatusPane::SetBlinkIntervalOn(int value) {
    if (TKvBlinkingControlsList* list = TKvBlinkingControlsList::Instance(); list && value > 0)
        list->SetIntervalOn(static_cast<unsigned>(value));
}

void TKvCustomStatusPane::SetBorderWidth(int value) {
    value = std::max(value, 0);
    if (value == borderWidth_)
        return;
    borderWidth_ = value;
    Invalidate();
    AdjustSize();
}

void TKvCustomStatusPane::SetCaptionOffset(int value) {
    if (value == captionOffset_)
        return;
    captionOffset_ = value;
    Invalidate();
    AdjustSize();
}

void TKvCustomStatusPane::SetFillColor(TColor value) {
    if (SetIfChanged(fillColor_, value))
        Invalidate();
}

void TKvCustomStatusPane::SetFlatColor(TColor value) {
    if (SetIfChanged(flatColor_, value))
        Invalidate();
}

void TKvCustomStatusPane::SetFlatColorAdjustment(int value) {
    if (SetIfChanged(flatColorAdjustment_, value))
        Invalidate();
}

void TKvCustomStatusPane::SetFrameStyle(TFrameStyle value) {
    if (SetIfChanged(frameStyle_, value))
        Invalidate();
}

void TKvCustomStatusPane::SetFrameController(TKvFrameController* value) {
    LinkFrameController(*this, frameController_, value);
}

void TKvCustomStatusPane::Notification(TComponent* component, TOperation operation) {
    TGraphicControl::Notification(component, operation);
    if (operation == opRemove && component == frameController_)
        frameController_ = nullptr;
}

void TKvCustomStatusPane::ApplyFrameController(TKvFrameController& controller) {
    if (!controller.FrameVisible())
        return;
    SetFrameStyle(controller.FrameStyle());
    SetFlatColor(controller.FrameColor());
    SetFlatColorAdjustment(0);
    SetFillColor(controller.Color());
    SetParentColor(controller.ParentColor());
    Invalidate();
}

int TKvCustomStatusPane::FrameInset() const {
    switch (frameStyle_) {
    case fsNone:
        return 0;
    case fsFlat:
    case fsStatus:
    case fsPopup:
        return 1;
    default:  // fsGroove to fsButtonUp; fsFlatBold's two rings too, or the caption would cover them
        return 2;
    }
}

TRect TKvCustomStatusPane::TextRect() const {
    TRect rect = ClientRect();
    const int inset = borderWidth_ + FrameInset();
    InflateRect(&rect, -inset, -inset);
    return rect;
}

int TKvCustomStatusPane::AutoWidth() {
    const std::string text = Caption();
    if (text.empty())
        return defaultWidth_;
    TWindowDc dc(nullptr);
    TSelection font(dc.Get(), Font()->Handle());
    TRect measured{};
    DrawTextA(dc.Get(), text.data(), static_cast<int>(text.size()), &measured,
              DT_CALCRECT | DT_EXPANDTABS | DT_NOPREFIX);
    return borderWidth_ * 2 + (measured.right - measured.left) + captionOffset_ + 6;
}

void TKvCustomStatusPane::AdjustSize() {
    if (autoSize_ && !IsLoading())
        SetWidth(AutoWidth());
}

bool TKvCustomStatusPane::IsRightmostOnStatusBar() const {
    auto bar = dynamic_cast<const TKvStatusBar*>(Parent());
    if (!bar)
        return false;
    return ClientToScreen(TPoint{Width(), 0}).x >= bar->ClientToScreen(TPoint{bar->ClientWidth(), 0}).x;
}

bool TKvCustomStatusPane::ThemedOnBar() const {
    auto bar = dynamic_cast<const TKvStatusBar*>(Parent());
    return bar && bar->ThemeAware() && ThemeServices().ThemesEnabled();
}

void TKvCustomStatusPane::Loaded() {
    TGraphicControl::Loaded();
    normalColor_ = Font()->Color();
    if (!blinking_)
        currentColor_ = normalColor_;
    AdjustSize();
}

void TKvCustomStatusPane::Blink(bool on) {
    currentColor_ = on ? blinkColor_ : normalColor_;
    Invalidate();
}

void TKvCustomStatusPane::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_KVBLINKQUERY:
        message.Result = blinking_ ? 1 : 0;
        return;
    case CM_KVBLINK:
        if (blinking_)
            Blink(message.WParam != 0);
        message.Result = 0;
        return;
    case CM_TEXTCHANGED:
        Invalidate();
        AdjustSize();
        return;
    case CM_FONTCHANGED:
        TGraphicControl::WndProc(message);
        if (!IsLoading()) {
            normalColor_ = Font()->Color();
            if (!blinking_)
                currentColor_ = normalColor_;
            AdjustSize();
        }
        return;
    case CM_HITTEST:
        // Over the bar's size grip the bar answers, so the window can be sized from there.
        if (IsRightmostOnStatusBar()) {
            auto bar = static_cast<TKvStatusBar*>(Parent());
            const TPoint point{Left() + GET_X_LPARAM(message.LParam), Top() + GET_Y_LPARAM(message.LParam)};
            if (point.x >= bar->ClientWidth() - 12 && bar->InSizeGrip(point)) {
                message.Result = 0;
                return;
            }
        }
        break;
    default:
        break;
    }
    TGraphicControl::WndProc(message);
}

void TKvCustomStatusPane::DrawFrame() {
    TCanvas& canvas = Canvas();
    TRect rect = ClientRect();
    canvas.Brush().SetStyle(bsSolid);
    canvas.Brush().SetColor(Color());
    canvas.FillRect(rect);
    InflateRect(&rect, -borderWidth_, -borderWidth_);
    if (frameStyle_ != fsFlat) {
        DrawBorder(canvas, rect, frameStyle_, kAllSides);
        return;
    }
    DrawOpenCornerRect(canvas, rect, AdjustColor(flatColor_, flatColorAdjustment_));
}

void TKvCustomStatusPane::PaintThemedBackground(const TRect& textRect) {
    TCanvas& canvas = Canvas();
    auto bar = static_cast<TKvStatusBar*>(Parent());
    TThemeData theme = ThemeServices().OpenThemeData(bar->Handle(), L"Status");
    ThemeServices().DrawThemeBackground(theme.Get(), canvas.Handle(), SP_PANE, 0, ClientRect());
    // What the bar shows behind the text.
    TBitmap background(std::max(bar->Width(), 1), std::max(bar->Height(), 1));
    ThemeServices().DrawThemeBackground(theme.Get(), background.Canvas().Handle(), 0, 0,
                                        MakeRect(0, 0, bar->Width(), bar->Height()));
    BitBlt(canvas.Handle(), textRect.left, textRect.top, textRect.right - textRect.left,
           textRect.bottom - textRect.top, background.Canvas().Handle(), Left() + textRect.left,
           Top() + textRect.top, SRCCOPY);
}

void TKvCustomStatusPane::DrawCaption(const std::string& caption) {
    TCanvas& canvas = Canvas();
    const TRect rect = TextRect();
    if (ThemedOnBar()) {
        PaintThemedBackground(rect);
    } else {
        canvas.Brush().SetStyle(bsSolid);
        canvas.Brush().SetColor(fillColor_);
        canvas.FillRect(rect);
    }
    if (caption.empty())
        return;
    canvas.Font().Assign(*Font());
    canvas.Font().SetColor(currentColor_);
    canvas.Brush().SetStyle(bsClear);
    int x = rect.left + captionOffset_ + 1;
    UINT align = TA_LEFT;
    if (alignment_ == taRightJustify) {
        x = rect.right - captionOffset_ - 1;
        align = TA_RIGHT;
    } else if (alignment_ == taCenter) {
        x = (rect.left + rect.right) / 2;
        align = TA_CENTER;
    }
    const int y = rect.top + (rect.bottom - rect.top - canvas.TextHeight("Pp")) / 2;
    const UINT oldAlign = SetTextAlign(canvas.Handle(), align | TA_TOP);
    if (!Enabled()) {
        canvas.Font().SetColor(clBtnHighlight);
        canvas.TextRect(rect, x + 1, y + 1, caption);
        canvas.Font().SetColor(clBtnShadow);
    }
    canvas.TextRect(rect, x, y, caption);
    SetTextAlign(canvas.Handle(), oldAlign);
}

void TKvCustomStatusPane::Paint() {
    if (ThemedOnBar()) {
        // The theme's pane goes under the caption (drawn with it).
    } else {
        DrawFrame();
    }
    DrawCaption(Caption());
}

// ---- TKvCustomGlyphStatus ---------------------------------------------------------------

const TClassInfo& TKvCustomGlyphStatus::StaticClassInfo() {
    using C = TKvCustomGlyphStatus;
    static const TPropInfo props[] = {
        Prop<&C::DisabledIndex, &C::SetDisabledIndex>("DisabledIndex").WithDefault(-1),
        Prop<&C::Glyph, &C::SetGlyph>("Glyph"),
        Prop<&C::GlyphAlignment, &C::SetGlyphAlignment>("GlyphAlignment").WithDefault(gaLeft),
        Prop<&C::GlyphOffset, &C::SetGlyphOffset>("GlyphOffset").WithDefault(2),
        Prop<&C::ImageIndex, &C::SetImageIndex>("ImageIndex").WithDefault(-1),
        Prop<&C::Images, &C::SetImages>("Images"),
        Prop<&C::NumGlyphs, &C::SetNumGlyphs>("NumGlyphs").WithDefault(1),
        Prop<&C::ShowGlyph, &C::SetShowGlyph>("ShowGlyph").WithDefault(true),
    };
    static const TClassInfo info =
        MakeClassInfo<TKvCustomGlyphStatus, TKvCustomStatusPane>("TKvCustomGlyphStatus", props);
    return info;
}

const TClassInfo& TKvGlyphStatus::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TKvGlyphStatus, TKvCustomGlyphStatus>("TKvGlyphStatus", {});
    return info;
}

TKvCustomGlyphStatus::TKvCustomGlyphStatus(TComponent* owner)
    : TKvCustomStatusPane(owner), glyph_(std::make_unique<TBitmap>()) {
    glyph_->OnChange = TNotifyEvent(this, &TKvCustomGlyphStatus::GlyphChanged);
}

TKvCustomGlyphStatus::~TKvCustomGlyphStatus() {
    if (images_)
        images_->UnRegisterChanges(this);
    LinkComponent(*this, images_, nullptr);
}

void TKvCustomGlyphStatus::SetNumGlyphs(int value) {
    value = std::max(value, 1);
    if (SetIfChanged(numGlyphs_, value))
        Invalidate();
}

void TKvCustomGlyphStatus::SetGlyph(TBitmap* value) {
    if (value)
        glyph_->Assign(*value);
    else
        glyph_->SetSize(0, 0);
}

void TKvCustomGlyphStatus::GlyphChanged(TObject*) {
    const int width = glyph_->Width();
    const int height = glyph_->Height();
    // An empty or zero-high bitmap has no cells to count.
    if (width > 0 && height > 0 && width % height == 0) {
        const int count = width / height;
        numGlyphs_ = count > 4 ? 1 : count;
    }
    Invalidate();
    AdjustSize();
}

void TKvCustomGlyphStatus::SetGlyphAlignment(TGlyphAlignment value) {
    if (SetIfChanged(glyphAlignment_, value))
        Invalidate();
}

void TKvCustomGlyphStatus::SetGlyphOffset(int value) {
    if (value == glyphOffset_)
        return;
    glyphOffset_ = value;
    Invalidate();
    AdjustSize();
}

void TKvCustomGlyphStatus::SetShowGlyph(bool value) {
    if (value == showGlyph_)
        return;
    showGlyph_ = value;
    Invalidate();
    AdjustSize();
}

void TKvCustomGlyphStatus::SetImageIndex(int value) {
    if (SetIfChanged(imageIndex_, value))
        Invalidate();
}

void TKvCustomGlyphStatus::SetDisabledIndex(int value) {
    if (SetIfChanged(disabledIndex_, value))
        Invalidate();
}

void TKvCustomGlyphStatus::SetImages(TImageList* value) {
    if (value == images_)
        return;
    if (images_)
        images_->UnRegisterChanges(this);
    LinkComponent(*this, images_, value);
    if (images_)
        images_->RegisterChanges(this, TNotifyEvent(this, &TKvCustomGlyphStatus::ImagesChanged));
    Invalidate();
}

void TKvCustomGlyphStatus::ImagesChanged(TObject*) { Invalidate(); }

void TKvCustomGlyphStatus::Notification(TComponent* component, TOperation operation) {
    TKvCustomStatusPane::Notification(component, operation);
    if (operation == opRemove && component == images_) {
        images_->UnRegisterChanges(this);
        images_ = nullptr;
        Invalidate();
    }
}

SIZE TKvCustomGlyphStatus::GlyphSize() const {
    if (images_ && imageIndex_ >= 0)
        return SIZE{images_->Width(), images_->Height()};
    if (glyph_->Empty())
        return SIZE{0, 0};
    return SIZE{glyph_->Width() / numGlyphs_, glyph_->Height()};
}

int TKvCustomGlyphStatus::DrawnGlyphHeight() const {
    const TRect text = TKvCustomStatusPane::TextRect();
    return std::clamp(static_cast<int>(GlyphSize().cy), 0, std::max<int>(text.bottom - text.top, 0));
}

TPoint TKvCustomGlyphStatus::GlyphPosition() const {
    const int width = GlyphSize().cx;
    const int height = DrawnGlyphHeight();
    int x = glyphAlignment_ == gaLeft ? glyphOffset_ + BorderWidth()
                                      : Width() - (glyphOffset_ + width + BorderWidth() + 2);
    x += FrameInset();
    const int y = BorderWidth() + std::abs(Height() - height - BorderWidth() - 1) / 2;
    return TPoint{x, y};
}

TRect TKvCustomGlyphStatus::TextRect() const {
    TRect rect = TKvCustomStatusPane::TextRect();
    if (showGlyph_) {
        const int room = GlyphSize().cx + glyphOffset_;
        if (glyphAlignment_ == gaLeft)
            rect.left += room;
        else
            rect.right -= room;
    }
    return rect;
}

int TKvCustomGlyphStatus::AutoWidth() {
    return TKvCustomStatusPane::AutoWidth() + glyphOffset_ + (showGlyph_ ? GlyphSize().cx : 0);
}

void TKvCustomGlyphStatus::Paint() {
    TKvCustomStatusPane::Paint();
    if (!showGlyph_)
        return;
    const SIZE size = GlyphSize();
    const int height = DrawnGlyphHeight();
    if (size.cx <= 0 || height <= 0)
        return;
    const TPoint at = GlyphPosition();
    const TRect area = MakeRect(at.x, at.y, at.x + size.cx, at.y + height);
    if (!ThemedOnBar()) {
        Canvas().Brush().SetStyle(bsSolid);
        Canvas().Brush().SetColor(FillColor());
        Canvas().FillRect(area);
    }
    if (images_ && imageIndex_ >= 0)
        DrawImageListGlyph(area);
    else
        DrawBitmapGlyph(area);
}

void TKvCustomGlyphStatus::DrawImageListGlyph(const TRect& area) {
    TClipGuard clip(Canvas());
    Canvas().IntersectClipRect(area);
    if (disabledIndex_ == -1)
        images_->Draw(Canvas(), area.left, area.top, imageIndex_, Enabled());
    else
        images_->Draw(Canvas(), area.left, area.top, Enabled() ? imageIndex_ : disabledIndex_);
}

void TKvCustomGlyphStatus::DrawBitmapGlyph(const TRect& area) {
    if (glyph_->Empty())
        return;
    const int cellWidth = glyph_->Width() / numGlyphs_;
    const int cell = !Enabled() && numGlyphs_ >= 2 ? 1 : 0;
    const TColor transparent = glyph_->Canvas().Pixels(0, glyph_->Height() - 1);
    TransparentBlt(Canvas().Handle(), area.left, area.top, area.right - area.left, area.bottom - area.top,
                   glyph_->Canvas().Handle(), cell * cellWidth, 0, area.right - area.left,
                   area.bottom - area.top, ColorToRGB(transparent));
}
