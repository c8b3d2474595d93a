#include "kelControls.h"

#include "Handles.h"
#include "SysUtils.h"
#include "Themes.h"
#include "kelSysUtils.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <memory>

const TClassInfo& TkelCustomGroupBox::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelCustomGroupBox::AutoDisableControls, &TkelCustomGroupBox::SetAutoDisableControls>(
            "AutoDisableControls")
            .WithDefault(true),
        Prop<&TkelCustomGroupBox::CheckBoxChecked, &TkelCustomGroupBox::SetCheckBoxChecked>("CheckBoxChecked")
            .WithDefault(true),
        Prop<&TkelCustomGroupBox::CheckBoxVisible, &TkelCustomGroupBox::SetCheckBoxVisible>("CheckBoxVisible")
            .WithDefault(true),
        Prop<&TkelCustomGroupBox::OnCheckBoxClick>("OnCheckBoxClick"),
        Prop<&TkelCustomGroupBox::About>("About").NotStored(),
    };
    static const TClassInfo info =
        MakeClassInfo<TkelCustomGroupBox, TCustomGroupBox>("TkelCustomGroupBox", props);
    return info;
}

const TClassInfo& TkelGroupBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelGroupBox, TkelCustomGroupBox>("TkelGroupBox", {});
    return info;
}

namespace {

constexpr int kCheckBoxLeft = 8;
// Between the glyph and the text, and after the text.
constexpr int kGlyphGap = 5;
constexpr int kTextTail = 1;

}  // namespace

TkelCustomGroupBox::TkelCustomGroupBox(TComponent* owner) : TCustomGroupBox(owner) {
    checkBox_ = new TCheckBox(this);
    checkBox_->SetParent(this);
    checkBox_->SetVisible(true);
    checkBox_->SetParentFont(true);
    checkBox_->SetChecked(true);
    checkBox_->OnClick = TNotifyEvent(this, &TkelCustomGroupBox::CheckBoxClick);
}

void TkelCustomGroupBox::SetAutoDisableControls(bool value) {
    autoDisableControls_ = value;
    UpdateControlsState();
}

bool TkelCustomGroupBox::CheckBoxChecked() const { return checkBox_->Checked(); }

void TkelCustomGroupBox::SetCheckBoxChecked(bool value) {
    TFreeWatch watch(*this);  // the click's handler may free the box
    checkBox_->SetChecked(value);
    if (!watch.Freed())
        UpdateControlsState();
}

bool TkelCustomGroupBox::CheckBoxVisible() const { return checkBox_->Visible(); }

void TkelCustomGroupBox::SetCheckBoxVisible(bool value) {
    checkBox_->SetVisible(value);
    AdjustCheckBox();
    Invalidate();
}

SIZE TkelCustomGroupBox::GetCheckBoxSize() const { return SIZE{13, 13}; }

void TkelCustomGroupBox::AdjustCheckBox() {
    if (!checkBox_->HandleAllocated() || !HandleAllocated())
        return;
    const std::string caption = Caption();
    if (checkBox_->Caption() != caption)
        checkBox_->SetCaption(caption);
    // Outside Paint the canvas has no DC of its own: lend it the window's.
    TCanvas& canvas = Canvas();
    std::unique_ptr<TWindowDc> windowDc;
    std::unique_ptr<TCanvasLoan> loan;
    if (!canvas.Handle()) {
        windowDc = std::make_unique<TWindowDc>(WindowHandle());
        if (!*windowDc)
            return;
        loan = std::make_unique<TCanvasLoan>(canvas, windowDc->Get());
    }
    canvas.Font().Assign(*Font());
    const SIZE text = canvas.TextExtent(caption);
    const SIZE glyph = GetCheckBoxSize();
    checkBox_->SetBounds(kCheckBoxLeft, 0, text.cx + kGlyphGap + glyph.cx + kTextTail, std::max<int>(text.cy, glyph.cy));
    // Wipe the caption text the group box painted beneath the check box.
    const TRect bounds = checkBox_->BoundsRect();
    if (ThemeServices().ThemesEnabled() && Parent()) {
        ThemeServices().DrawThemeParentBackground(WindowHandle(), canvas.Handle(), &bounds);
    } else {
        canvas.Brush().SetColor(Color());
        canvas.Brush().SetStyle(bsSolid);
        canvas.FillRect(bounds);
    }
}

void TkelCustomGroupBox::UpdateControlsState() {
    if (!autoDisableControls_)
        return;
    bool state = Enabled();
    if (CheckBoxVisible() && !CheckBoxChecked())
        state = false;
    for (int i = 0; i < ControlCount(); ++i)
        if (Controls(i) != checkBox_)
            Controls(i)->SetEnabled(state);
    Invalidate();
}

void TkelCustomGroupBox::Loaded() {
    TCustomGroupBox::Loaded();
    if (checkBox_->IsLoading())
        checkBox_->Loaded();
    UpdateControlsState();
}

void TkelCustomGroupBox::CheckBoxClick(TObject*) {
    UpdateControlsState();
    OnCheckBoxClick(this);
}

void TkelCustomGroupBox::Paint() {
    TCustomGroupBox::Paint();
    AdjustCheckBox();
}

void TkelCustomGroupBox::Update() {
    TCustomGroupBox::Update();
    AdjustCheckBox();
}

void TkelCustomGroupBox::WndProc(TMessage& message) {
    if (message.Msg == CM_TEXTCHANGED)
        AdjustCheckBox();
    TCustomGroupBox::WndProc(message);
}

// ---- Shared pieces of the edit, combo box, list box and image ------------------------------

namespace {

std::optional<bool> gEditSystemOverride;

// A DC of the whole window, non-client area included.
class TWholeWindowDc {
public:
    explicit TWholeWindowDc(HWND window) : window_(window), dc_(GetWindowDC(window)) {}
    ~TWholeWindowDc() {
        if (dc_)
            ReleaseDC(window_, dc_);
    }
    TWholeWindowDc(const TWholeWindowDc&) = delete;
    TWholeWindowDc& operator=(const TWholeWindowDc&) = delete;
    HDC Get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

void FrameWithColor(HDC dc, const TRect& rect, TColor color) {
    TUniqueGdi<HBRUSH> brush(CreateSolidBrush(ColorToRGB(color)));
    FrameRect(dc, &rect, brush.Get());
}

void FillWithColor(HDC dc, const TRect& rect, TColor color) {
    TUniqueGdi<HBRUSH> brush(CreateSolidBrush(ColorToRGB(color)));
    FillRect(dc, &rect, brush.Get());
}

// The flat frame of edits and combo boxes on 0, 0, width, height: a sunken outer edge while
// active (else a ring in the frame colour), a ring in the frame colour, a ring in clWindow.
void DrawFlatBorder(HDC dc, const TControl& control, bool active) {
    const TColor frame = control.Parent() ? control.Parent()->Brush()->Color() : clBtnFace;
    TRect rect = MakeRect(0, 0, control.Width(), control.Height());
    if (active) {
        DrawEdge(dc, &rect, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
    } else {
        FrameWithColor(dc, rect, frame);
        InflateRect(&rect, -1, -1);
    }
    FrameWithColor(dc, rect, frame);
    InflateRect(&rect, -1, -1);
    FrameWithColor(dc, rect, clWindow);
}

bool Painting(const TComponent& component) {
    return component.IsLoading() || component.IsDestroying();
}

// Points a control at another image list: leaves the old list's change listeners and joins
// the new one's; a freed list is forgotten through Notification.
void LinkImageList(TComponent& self, TImageList*& field, TImageList* list, TNotifyEvent changed) {
    if (field == list)
        return;
    if (field)
        field->UnRegisterChanges(&self);
    field = list;
    if (list) {
        list->FreeNotification(&self);
        list->RegisterChanges(&self, std::move(changed));
    }
}

// Draws an image of the list at x, y: through an icon made from it, or by the list itself.
void DrawListImage(TCanvas& canvas, const TImageList& list, int index, int x, int y, bool asIcon) {
    if (!asIcon) {
        list.Draw(canvas, x, y, index);
        return;
    }
    TUniqueIcon icon(ImageList_GetIcon(list.Handle(), index, ILD_NORMAL));
    if (icon)
        DrawIconEx(canvas.Handle(), x, y, icon.Get(), list.Width(), list.Height(), 0, nullptr, DI_NORMAL);
}

// The height of a line of text in the font.
int TextLineHeight(TFont& font) {
    TWindowDc screen(nullptr);
    TSelection selection(screen.Get(), font.Handle());
    TEXTMETRICA metrics{};
    GetTextMetricsA(screen.Get(), &metrics);
    return metrics.tmHeight;
}

}  // namespace

bool EditAlignsOnlyMultiLine() {
    if (gEditSystemOverride)
        return *gEditSystemOverride;
    const TkelOSFlags& flags = OSFlags();
    return flags.Version != wvUnknown && !flags.IsWin98orLater && !flags.IsWin2000orLater;
}

void SetEditSystemOverride(std::optional<bool> old) { gEditSystemOverride = old; }

// ---- TkelCustomEdit, TkelEdit -------------------------------------------------------------

const TClassInfo& TkelCustomEdit::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelCustomEdit::Alignment, &TkelCustomEdit::SetAlignment>("Alignment").WithDefault(taLeftJustify),
        Prop<&TkelCustomEdit::Flat, &TkelCustomEdit::SetFlat>("Flat").WithDefault(false),
        Prop<&TkelCustomEdit::FocusBorder, &TkelCustomEdit::SetFocusBorder>("FocusBorder").WithDefault(true),
    };
    static const TClassInfo info = MakeClassInfo<TkelCustomEdit, TCustomEdit>("TkelCustomEdit", props);
    return info;
}

const TClassInfo& TkelEdit::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelEdit, TkelCustomEdit>("TkelEdit", {});
    return info;
}

TkelCustomEdit::TkelCustomEdit(TComponent* owner) : TCustomEdit(owner) {}

void TkelCustomEdit::CreateParams(TCreateParams& params) {
    SetCtl3D(true);
    TCustomEdit::CreateParams(params);
    // Right to left, the sides swap.
    static constexpr DWORD alignments[2][3] = {{ES_LEFT, ES_RIGHT, ES_CENTER}, {ES_RIGHT, ES_LEFT, ES_CENTER}};
    params.Style &= ~static_cast<DWORD>(ES_LEFT | ES_RIGHT | ES_CENTER);
    params.Style |= alignments[UseRightToLeftAlignment()][alignment_];
    params.Style |= WS_CLIPCHILDREN;
    createdMultiLine_ = (alignment_ != taLeftJustify || UseRightToLeftReading()) && EditAlignsOnlyMultiLine();
    if (createdMultiLine_)
        params.Style |= ES_MULTILINE;
}

void TkelCustomEdit::SetAlignment(TAlignment value) {
    if (value == alignment_)
        return;
    alignment_ = value;
    if (HandleAllocated())
        RecreateWnd();
}

void TkelCustomEdit::SetFlat(bool value) {
    if (value == flat_)
        return;
    // Toggling the enabled state around the change saves or gives back the colour.
    const bool enabled = Enabled();
    SetEnabled(true);
    flat_ = value;
    SetEnabled(enabled);
    if (HandleAllocated())
        RecreateWnd();
}

void TkelCustomEdit::SetFocusBorder(bool value) {
    if (value == focusBorder_)
        return;
    focusBorder_ = value;
    Invalidate();
    RedrawFlatFrame();
}

void TkelCustomEdit::DrawFlatFrame(HDC dc) {
    if (Painting(*this))
        return;
    DrawFlatBorder(dc, *this, (hot_ || Focused()) && focusBorder_);
}

void TkelCustomEdit::RedrawFlatFrame() {
    if (!flat_ || !HandleAllocated())
        return;
    TWholeWindowDc dc(WindowHandle());
    if (dc.Get())
        DrawFlatFrame(dc.Get());
}

void TkelCustomEdit::Update() {
    TCustomEdit::Update();
    RedrawFlatFrame();
}

void TkelCustomEdit::EnabledChanged() {
    if (!flat_)
        return;
    if (!Enabled()) {
        if (!savedColor_)
            savedColor_.emplace(Color(), ParentColor());
        SetColor(Parent() ? Parent()->Color() : clBtnFace);
    } else if (savedColor_) {
        auto [color, parentColor] = *savedColor_;
        savedColor_.reset();
        SetColor(color);
        SetParentColor(parentColor);
    }
}

void TkelCustomEdit::KeyDown(WORD& key, TShiftState shift) {
    TCustomEdit::KeyDown(key, shift);
    if (!createdMultiLine_ || (key != VK_RETURN && key != VK_ESCAPE))
        return;
    TFreeWatch watch(*this);
    if (TCustomForm* form = GetParentForm(this))
        form->Perform(CM_DIALOGKEY, key, 0);
    if (watch.Freed())
        return;
    // Both are taken: a multi-line edit would post WM_CLOSE to its parent on Escape.
    key = 0;
}

void TkelCustomEdit::KeyPress(char& key) {
    if (createdMultiLine_ && (key == '\r' || key == '\n' || key == 27)) {
        // A multi-line edit would break the line, or close its window on Escape.
        key = 0;
        return;
    }
    TCustomEdit::KeyPress(key);
}

void TkelCustomEdit::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_PAINT:
        // The frame straight after: a WM_NCPAINT sent from inside the paint makes the
        // system's edit paint its client area blank.
        TCustomEdit::WndProc(message);
        RedrawFlatFrame();
        return;
    case WM_NCPAINT:
        TCustomEdit::WndProc(message);
        RedrawFlatFrame();
        return;
    case CM_ENTER:
    case CM_EXIT:
        TCustomEdit::WndProc(message);
        RedrawFlatFrame();
        return;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        TCustomEdit::WndProc(message);
        RedrawFlatFrame();
        return;
    case CM_MOUSEENTER:
    case CM_MOUSELEAVE: {
        TFreeWatch watch(*this);
        TCustomEdit::WndProc(message);
        if (watch.Freed() || !Enabled())
            return;
        hot_ = message.Msg == CM_MOUSEENTER;
        RedrawFlatFrame();
        return;
    }
    case CM_ENABLEDCHANGED:
        EnabledChanged();
        if (!Enabled())
            hot_ = false;
        break;
    default:
        break;
    }
    TCustomEdit::WndProc(message);
}

// ---- TkelCustomComboBox, TkelComboBox ------------------------------------------------------

const TClassInfo& TkelCustomComboBox::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TkelCustomComboBox::Etched, &TkelCustomComboBox::SetEtched>("Etched").WithDefault(false),
        Prop<&TkelCustomComboBox::Flat, &TkelCustomComboBox::SetFlat>("Flat").WithDefault(false),
        Prop<&TkelCustomComboBox::FocusBorder, &TkelCustomComboBox::SetFocusBorder>("FocusBorder").WithDefault(true),
        Prop<&TkelCustomComboBox::ImageList, &TkelCustomComboBox::SetImageList>("ImageList"),
        Prop<&TkelCustomComboBox::ImageListAsIcon, &TkelCustomComboBox::SetImageListAsIcon>("ImageListAsIcon")
            .WithDefault(true),
        Prop<&TkelCustomComboBox::ListWidth, &TkelCustomComboBox::SetListWidth>("ListWidth").WithDefault(0),
    };
    static const TClassInfo info = MakeClassInfo<TkelCustomComboBox, TCustomComboBox>("TkelCustomComboBox", props);
    return info;
}

const TClassInfo& TkelComboBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelComboBox, TkelCustomComboBox>("TkelComboBox", {});
    return info;
}

TkelCustomComboBox::TkelCustomComboBox(TComponent* owner) : TCustomComboBox(owner) { AdjustItemHeight(); }

TkelCustomComboBox::~TkelCustomComboBox() {
    if (imageList_)
        imageList_->UnRegisterChanges(this);
}

void TkelCustomComboBox::SetEtched(bool value) {
    if (value == etched_)
        return;
    etched_ = value;
    Invalidate();
}

void TkelCustomComboBox::SetFlat(bool value) {
    if (value == flat_)
        return;
    const bool enabled = Enabled();
    SetEnabled(true);
    flat_ = value;
    SetCtl3D(!value);
    SetEnabled(enabled);
    Invalidate();
}

void TkelCustomComboBox::SetFocusBorder(bool value) {
    if (value == focusBorder_)
        return;
    focusBorder_ = value;
    Invalidate();
}

void TkelCustomComboBox::SetImageList(TImageList* list) {
    LinkImageList(*this, imageList_, list, TNotifyEvent(this, &TkelCustomComboBox::ImageListChanged));
    AdjustItemHeight();
    Invalidate();
}

void TkelCustomComboBox::ImageListChanged(TObject*) {
    AdjustItemHeight();
    Invalidate();
}

void TkelCustomComboBox::SetImageListAsIcon(bool value) {
    if (value == imageListAsIcon_)
        return;
    imageListAsIcon_ = value;
    Invalidate();
}

int TkelCustomComboBox::ListWidth() const {
    if (HandleAllocated())
        return static_cast<int>(SendMessageA(WindowHandle(), CB_GETDROPPEDWIDTH, 0, 0));
    return listWidth_;
}

void TkelCustomComboBox::SetListWidth(int value) {
    listWidth_ = value;
    if (HandleAllocated())
        SendMessageA(WindowHandle(), CB_SETDROPPEDWIDTH, static_cast<WPARAM>(std::max(value, 0)), 0);
}

void TkelCustomComboBox::CreateWnd() {
    TCustomComboBox::CreateWnd();
    if (listWidth_ > 0)
        SendMessageA(WindowHandle(), CB_SETDROPPEDWIDTH, static_cast<WPARAM>(listWidth_), 0);
}

void TkelCustomComboBox::SaveWindowState() {
    TCustomComboBox::SaveWindowState();
    listWidth_ = static_cast<int>(SendMessageA(WindowHandle(), CB_GETDROPPEDWIDTH, 0, 0));
}

void TkelCustomComboBox::AdjustItemHeight() {
    int height = std::max(TextLineHeight(*Font()) + 2, 7);
    if (imageList_)
        height = std::max(height, imageList_->Height());
    SetItemHeight(height);
}

TRect TkelCustomComboBox::ButtonRect() const {
    TRect rect = ClientRect();
    const int width = GetSystemMetrics(SM_CXVSCROLL) + 4;
    if (ButtonOnLeft())
        rect.right = rect.left + width;
    else
        rect.left = rect.right - width;
    InflateRect(&rect, -2, -2);
    return rect;
}

bool TkelCustomComboBox::ButtonOnLeft() const {
    // Right to left, some systems move the button to the left and some keep it at the right:
    // the frame goes where the window has it.
    if (!UseRightToLeftScrollBar() || !HandleAllocated())
        return false;
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    if (!GetComboBoxInfo(WindowHandle(), &info))
        return false;
    return info.rcButton.right - info.rcButton.left > 0 && info.rcButton.left < ClientWidth() / 2;
}

void TkelCustomComboBox::DrawFlatFrame(HDC dc) {
    if (Painting(*this))
        return;
    const bool focused = HandleAllocated() && (GetFocus() == WindowHandle() || IsChild(WindowHandle(), GetFocus()));
    const bool active = hot_ || focused;
    DrawFlatBorder(dc, *this, active && focusBorder_);
    if (Style() == csSimple)
        return;
    TRect button = ButtonRect();
    DrawFrameControl(dc, &button, DFC_SCROLL, DFCS_SCROLLCOMBOBOX | DFCS_FLAT);
    // Only the button's edge: its inner part keeps the arrow.
    const int saved = SaveDC(dc);
    TRect inner = button;
    InflateRect(&inner, -2, -2);
    ExcludeClipRect(dc, inner.left, inner.top, inner.right, inner.bottom);
    if (active) {
        DrawEdge(dc, &button, etched_ ? EDGE_ETCHED : EDGE_RAISED, BF_RECT);
    } else {
        FillWithColor(dc, button, clBtnFace);
        FrameWithColor(dc, button, clBtnHighlight);
    }
    RestoreDC(dc, saved);
}

void TkelCustomComboBox::RedrawFlatFrame() {
    if (!flat_ || !HandleAllocated())
        return;
    TWholeWindowDc dc(WindowHandle());
    if (dc.Get())
        DrawFlatFrame(dc.Get());
}

void TkelCustomComboBox::DrawItem(int index, const TRect& rect, TOwnerDrawState state) {
    if (OnDrawItem) {
        TCustomComboBox::DrawItem(index, rect, state);
        return;
    }
    TCanvas& canvas = *Canvas();
    canvas.FillRect(rect);
    if (index < 0 || index >= Items()->Count())
        return;
    const std::string& text = (*Items())[index];
    const int textTop = rect.top + (rect.bottom - rect.top - canvas.TextHeight(text)) / 2;
    canvas.Brush().SetStyle(bsClear);
    if (!imageList_) {
        canvas.TextOut(rect.left + 2, textTop, text);
        return;
    }
    if (index < imageList_->Count())
        DrawListImage(canvas, *imageList_, index, rect.left + 2,
                      rect.top + (rect.bottom - rect.top - imageList_->Height()) / 2, imageListAsIcon_);
    canvas.TextOut(rect.left + 2 + imageList_->Width() + 2, textTop, text);
}

void TkelCustomComboBox::DropDown() {
    TFreeWatch watch(*this);
    TCustomComboBox::DropDown();
    if (!watch.Freed() && HandleAllocated()) {
        const TRect button = ButtonRect();
        InvalidateRect(WindowHandle(), &button, FALSE);
    }
}

void TkelCustomComboBox::CloseUp() {
    TFreeWatch watch(*this);
    TCustomComboBox::CloseUp();
    if (!watch.Freed() && HandleAllocated()) {
        const TRect button = ButtonRect();
        InvalidateRect(WindowHandle(), &button, FALSE);
    }
}

void TkelCustomComboBox::Notification(TComponent* component, TOperation operation) {
    TCustomComboBox::Notification(component, operation);
    if (operation == opRemove && component == imageList_) {
        imageList_ = nullptr;  // it is going: its listeners go with it
        Invalidate();
    }
}

void TkelCustomComboBox::EnabledChanged() {
    if (!flat_)
        return;
    if (!Enabled()) {
        if (!savedColor_)
            savedColor_.emplace(Color(), ParentColor());
        SetColor(Parent() ? Parent()->Color() : clBtnFace);
    } else if (savedColor_) {
        auto [color, parentColor] = *savedColor_;
        savedColor_.reset();
        SetColor(color);
        SetParentColor(parentColor);
    }
}

void TkelCustomComboBox::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_PAINT:
        TCustomComboBox::WndProc(message);
        RedrawFlatFrame();
        return;
    case WM_NCPAINT:
    case CM_ENTER:
    case CM_EXIT:
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case CN_DRAWITEM:
        TCustomComboBox::WndProc(message);
        RedrawFlatFrame();
        return;
    case CN_COMMAND:
        TCustomComboBox::WndProc(message);
        if (HIWORD(message.WParam) == CBN_SETFOCUS || HIWORD(message.WParam) == CBN_KILLFOCUS)
            RedrawFlatFrame();
        return;
    case CM_MOUSEENTER:
    case CM_MOUSELEAVE: {
        TFreeWatch watch(*this);
        TCustomComboBox::WndProc(message);
        if (watch.Freed() || !Enabled())
            return;
        hot_ = message.Msg == CM_MOUSEENTER;
        RedrawFlatFrame();
        return;
    }
    case CM_ENABLEDCHANGED:
        EnabledChanged();
        if (!Enabled())
            hot_ = false;
        break;
    case CM_FONTCHANGED:
        TCustomComboBox::WndProc(message);
        AdjustItemHeight();
        return;
    case WM_SETTINGCHANGE:
        TCustomComboBox::WndProc(message);
        if (message.WParam == SPI_SETNONCLIENTMETRICS && HandleAllocated())
            RecreateWnd();
        return;
    default:
        break;
    }
    TCustomComboBox::WndProc(message);
}

// ---- TkelCustomImageListBox, TkelImageListBox ----------------------------------------------

const TClassInfo& TkelCustomImageListBox::StaticClassInfo() {
    using C = TkelCustomImageListBox;
    static const TPropInfo props[] = {
        Prop<&C::HideSelection, &C::SetHideSelection>("HideSelection").WithDefault(false),
        Prop<&C::ImageList, &C::SetImageList>("ImageList"),
        Prop<&C::ImageIndexByObject, &C::SetImageIndexByObject>("ImageIndexByObject").WithDefault(false),
        Prop<&C::ImageLayout, &C::SetImageLayout>("ImageLayout").WithDefault(tlCenter),
        Prop<&C::ImageListAsIcon, &C::SetImageListAsIcon>("ImageListAsIcon").WithDefault(true),
        Prop<&C::Margin, &C::SetMargin>("Margin").WithDefault(2),
        Prop<&C::Spacing, &C::SetSpacing>("Spacing").WithDefault(4),
        Prop<&TCustomListBox::Style, &C::KeepOwnerDrawStyle>("Style").WithDefault(lbOwnerDrawFixed),
    };
    static const TClassInfo info = MakeClassInfo<C, TCustomListBox>("TkelCustomImageListBox", props);
    return info;
}

const TClassInfo& TkelImageListBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelImageListBox, TkelCustomImageListBox>("TkelImageListBox", {});
    return info;
}

TkelCustomImageListBox::TkelCustomImageListBox(TComponent* owner) : TCustomListBox(owner) {
    SetStyle(lbOwnerDrawFixed);
}

void TkelCustomImageListBox::KeepOwnerDrawStyle(TListBoxStyle) { SetStyle(lbOwnerDrawFixed); }

TkelCustomImageListBox::~TkelCustomImageListBox() {
    if (imageList_)
        imageList_->UnRegisterChanges(this);
}

void TkelCustomImageListBox::SetHideSelection(bool value) {
    hideSelection_ = value;
    Invalidate();
}

void TkelCustomImageListBox::SetImageList(TImageList* list) {
    LinkImageList(*this, imageList_, list, TNotifyEvent(this, &TkelCustomImageListBox::ImageListChanged));
    Invalidate();
}

void TkelCustomImageListBox::ImageListChanged(TObject*) { Invalidate(); }

void TkelCustomImageListBox::SetImageIndexByObject(bool value) {
    imageIndexByObject_ = value;
    Invalidate();
}

void TkelCustomImageListBox::SetImageLayout(TTextLayout value) {
    imageLayout_ = value;
    Invalidate();
}

void TkelCustomImageListBox::SetImageListAsIcon(bool value) {
    imageListAsIcon_ = value;
    Invalidate();
}

void TkelCustomImageListBox::SetMargin(int value) {
    margin_ = value;
    Invalidate();
}

void TkelCustomImageListBox::SetSpacing(int value) {
    spacing_ = value;
    Invalidate();
}

int TkelCustomImageListBox::ImageIndexOf(int index) const {
    if (!imageList_ || index < 0 || index >= Items()->Count())
        return -1;
    int image = index;
    if (imageIndexByObject_)
        image = static_cast<int>(reinterpret_cast<intptr_t>(Items()->Objects(index)));
    return image >= 0 && image < imageList_->Count() ? image : -1;
}

void TkelCustomImageListBox::DrawItem(int index, const TRect& itemRect, TOwnerDrawState state) {
    if (OnDrawItem) {
        TCustomListBox::DrawItem(index, itemRect, state);
        return;
    }
    if (index < 0 || index >= Items()->Count())
        return;
    TCanvas& canvas = *Canvas();
    canvas.FillRect(itemRect);
    TRect rect = itemRect;
    InflateRect(&rect, -margin_, -margin_);
    const int image = ImageIndexOf(index);
    if (image >= 0) {
        const int free = rect.bottom - rect.top - imageList_->Height();
        int top = rect.top;
        if (imageLayout_ == tlCenter)
            top += free / 2;
        else if (imageLayout_ == tlBottom)
            top += free;
        DrawListImage(canvas, *imageList_, image, rect.left, top, imageListAsIcon_);
        rect.left += imageList_->Width() + spacing_;
    }
    const std::string& text = (*Items())[index];
    canvas.RequireFont();
    SetBkMode(canvas.Handle(), TRANSPARENT);
    SetTextColor(canvas.Handle(), ColorToRGB(canvas.Font().Color()));
    DrawTextA(canvas.Handle(), text.c_str(), static_cast<int>(text.size()), &rect,
              DrawTextBiDiModeFlags(DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX));
}

// As the list control draws, but HideSelection leaves out the selection colours and the
// focus rectangle.
void TkelCustomImageListBox::CNDrawItem(TMessage& message) {
    auto& item = *reinterpret_cast<DRAWITEMSTRUCT*>(message.LParam);
    TOwnerDrawState state;
    if (item.itemState & ODS_SELECTED)
        state.Include(odSelected);
    if (item.itemState & ODS_FOCUS)
        state.Include(odFocused);
    if (item.itemState & ODS_DISABLED)
        state.Include(odDisabled);
    TCanvas& canvas = *Canvas();
    TCanvasLoan loan(canvas, item.hDC);
    canvas.Font().Assign(*Font());
    canvas.Brush().SetStyle(bsSolid);
    if (state.Contains(odSelected) && !hideSelection_) {
        canvas.Brush().SetColor(clHighlight);
        canvas.Font().SetColor(clHighlightText);
    } else {
        canvas.Brush().SetColor(Color());
    }
    TRect rect = item.rcItem;
    DrawItem(static_cast<int>(item.itemID), rect, state);
    if (state.Contains(odFocused) && !hideSelection_)
        DrawFocusRect(item.hDC, &rect);
    message.Result = TRUE;
}

void TkelCustomImageListBox::WndProc(TMessage& message) {
    if (message.Msg == CN_DRAWITEM) {
        CNDrawItem(message);
        return;
    }
    TCustomListBox::WndProc(message);
}

void TkelCustomImageListBox::Notification(TComponent* component, TOperation operation) {
    TCustomListBox::Notification(component, operation);
    if (operation == opRemove && component == imageList_) {
        imageList_ = nullptr;
        Invalidate();
    }
}

// ---- TkelCustomImage, TkelImage ------------------------------------------------------------

const TClassInfo& TkelCustomImage::StaticClassInfo() {
    using C = TkelCustomImage;
    static const TPropInfo props[] = {
        Prop<&C::CaptionVisible, &C::SetCaptionVisible>("CaptionVisible").WithDefault(false),
        Prop<&C::CaptionWhenEmpty, &C::SetCaptionWhenEmpty>("CaptionWhenEmpty").WithDefault(true),
        Prop<&C::ImageList, &C::SetImageList>("ImageList"),
        Prop<&C::ImageListAsIcon, &C::SetImageListAsIcon>("ImageListAsIcon").WithDefault(true),
        Prop<&C::ImageIndex, &C::SetImageIndex>("ImageIndex").WithDefault(0),
    };
    static const TClassInfo info = MakeClassInfo<C, TImage>("TkelCustomImage", props);
    return info;
}

const TClassInfo& TkelImage::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelImage, TkelCustomImage>("TkelImage", {});
    return info;
}

TkelCustomImage::TkelCustomImage(TComponent* owner) : TImage(owner) {}

TkelCustomImage::~TkelCustomImage() {
    if (imageList_)
        imageList_->UnRegisterChanges(this);
}

void TkelCustomImage::SetCaptionVisible(bool value) {
    captionVisible_ = value;
    Invalidate();
}

void TkelCustomImage::SetCaptionWhenEmpty(bool value) {
    captionWhenEmpty_ = value;
    Invalidate();
}

void TkelCustomImage::SetImageList(TImageList* list) {
    LinkImageList(*this, imageList_, list, TNotifyEvent(this, &TkelCustomImage::ImageListChanged));
    UpdatePicture();
}

void TkelCustomImage::SetImageListAsIcon(bool value) {
    if (value == imageListAsIcon_)
        return;
    imageListAsIcon_ = value;
    UpdatePicture();
}

void TkelCustomImage::SetImageIndex(int value) {
    if (value == imageIndex_)
        return;
    imageIndex_ = value;
    UpdatePicture();
}

void TkelCustomImage::UpdatePicture() {
    if (!imageList_ || imageIndex_ < 0 || imageIndex_ >= imageList_->Count())
        return;
    if (imageListAsIcon_) {
        auto icon = std::make_unique<TIcon>();
        icon->SetHandle(ImageList_GetIcon(imageList_->Handle(), imageIndex_, ILD_NORMAL));
        Picture()->SetGraphic(std::move(icon));
        return;
    }
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetSize(imageList_->Width(), imageList_->Height());
    TCanvas& canvas = bitmap->Canvas();
    canvas.Brush().SetColor(Color());
    canvas.FillRect(MakeRect(0, 0, bitmap->Width(), bitmap->Height()));
    imageList_->Draw(canvas, 0, 0, imageIndex_);
    Picture()->SetGraphic(std::move(bitmap));
}

void TkelCustomImage::Paint() {
    TImage::Paint();
    const std::string caption = Caption();
    if (caption.empty())
        return;
    const TGraphic* graphic = Picture()->Graphic();
    if (!captionVisible_ && !(captionWhenEmpty_ && (!graphic || graphic->Empty())))
        return;
    TCanvas& canvas = TGraphicControl::Canvas();
    canvas.Font().Assign(*Font());
    canvas.Brush().SetStyle(bsClear);
    const SIZE size = canvas.TextExtent(caption);
    const TRect text = AlignRect(MakeRect(0, 0, size.cx, size.cy), ClientRect(), 1, 1);
    canvas.TextOut(text.left, text.top, caption);
}

void TkelCustomImage::Notification(TComponent* component, TOperation operation) {
    TImage::Notification(component, operation);
    if (operation == opRemove && component == imageList_)
        imageList_ = nullptr;
}

// ---- TkelGraphicControl, TkelCustomScrollBar, TkelScrollBar -------------------------------

const TClassInfo& TkelGraphicControl::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelGraphicControl, TCustomControl>("TkelGraphicControl", {});
    return info;
}

const TClassInfo& TkelCustomScrollBar::StaticClassInfo() {
    using C = TkelCustomScrollBar;
    static const TPropInfo props[] = {
        Prop<&C::AutoSize, &C::SetAutoSize>("AutoSize").WithDefault(true),
        Prop<&C::HideButtons, &C::SetHideButtons>("HideButtons").WithDefault(true),
        Prop<&C::Kind, &C::SetKind>("Kind").WithDefault(sbVertical),
        Prop<&C::Margin, &C::SetMargin>("Margin").WithDefault(0),
        Prop<&C::Max, &C::SetMax>("Max").WithDefault(100),
        Prop<&C::Min, &C::SetMin>("Min").WithDefault(0),
        Prop<&C::Position, &C::SetPosition>("Position").WithDefault(0),
        Prop<&C::TimerInterval, &C::SetTimerInterval>("TimerInterval").WithDefault(100),
        Prop<&C::Transparent, &C::SetTransparent>("Transparent").WithDefault(false),
        Prop<&C::OnChange>("OnChange"),
    };
    static const TClassInfo info = MakeClassInfo<C, TkelGraphicControl>("TkelCustomScrollBar", props);
    return info;
}

const TClassInfo& TkelScrollBar::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelScrollBar, TkelCustomScrollBar>("TkelScrollBar", {});
    return info;
}

TkelCustomScrollBar::TkelCustomScrollBar(TComponent* owner) : TkelGraphicControl(owner) {
    ControlStyle.Include(csCaptureMouse);
    TabStop = true;
    SetColor(clBtnFace);
    repeatTimer_ = new TkelCustomTimer(this);
    repeatTimer_->SetEnabled(false);
    repeatTimer_->SetInterval(timerInterval_);
    repeatTimer_->SetOnTimer(TNotifyEvent(this, &TkelCustomScrollBar::TimerTick));
    SetBounds(Left(), Top(), 100, 100);
    ApplyAutoSize();
}

void TkelCustomScrollBar::CreateParams(TCreateParams& params) {
    TkelGraphicControl::CreateParams(params);
    // Repeated presses come as double clicks otherwise.
    params.ClassStyle &= ~static_cast<UINT>(CS_DBLCLKS);
}

void TkelCustomScrollBar::Loaded() {
    TkelGraphicControl::Loaded();
    ApplyAutoSize();
}

void TkelCustomScrollBar::ApplyAutoSize() {
    arrowLength_ = GetSystemMetrics(kind_ == sbVertical ? SM_CYVSCROLL : SM_CXHSCROLL);
    SetBounds(Left(), Top(), Width(), Height());
}

// With AutoSize the thickness is the system's scroll bar's, whatever is asked.
void TkelCustomScrollBar::SetBounds(int left, int top, int width, int height) {
    if (autoSize_ && !IsLoading()) {
        if (kind_ == sbVertical)
            width = GetSystemMetrics(SM_CXVSCROLL);
        else
            height = GetSystemMetrics(SM_CYHSCROLL);
    }
    TkelGraphicControl::SetBounds(left, top, width, height);
}

void TkelCustomScrollBar::SetAutoSize(bool value) {
    if (value == autoSize_)
        return;
    autoSize_ = value;
    ApplyAutoSize();
}

void TkelCustomScrollBar::SetHideButtons(bool value) {
    if (value == hideButtons_)
        return;
    hideButtons_ = value;
    Invalidate();
}

void TkelCustomScrollBar::SetKind(TScrollBarKind value) {
    if (value == kind_)
        return;
    kind_ = value;
    if (!IsLoading())
        SetBounds(Left(), Top(), Height(), Width());
    ApplyAutoSize();
    Invalidate();
}

void TkelCustomScrollBar::SetMargin(int value) {
    if (value == margin_)
        return;
    margin_ = value;
    Invalidate();
}

void TkelCustomScrollBar::SetMax(int value) {
    max_ = value;
    if (min_ > max_)
        min_ = max_;
    SetPosition(position_);
    Invalidate();
}

void TkelCustomScrollBar::SetMin(int value) {
    min_ = std::min(value, max_);
    SetPosition(position_);
    Invalidate();
}

void TkelCustomScrollBar::SetPosition(int value) {
    value = std::clamp(value, min_, max_);
    if (value == position_)
        return;
    position_ = value;
    TFreeWatch watch(*this);
    OnChange(this);
    if (!watch.Freed())
        Invalidate();
}

void TkelCustomScrollBar::SetTimerInterval(unsigned value) {
    timerInterval_ = value;
    repeatTimer_->SetInterval(value);
}

void TkelCustomScrollBar::SetTransparent(bool value) {
    if (value == transparent_)
        return;
    transparent_ = value;
    Invalidate();
}

int TkelCustomScrollBar::ButtonSize() const {
    const int length = kind_ == sbVertical ? Height() : Width();
    const int free = length - 2 * margin_;
    int size;
    if (free <= 0)
        size = 0;
    else if (free <= 2 * arrowLength_)
        size = free / 2;
    else
        size = arrowLength_;
    return size >= 1 ? size + margin_ : size;
}

TRect TkelCustomScrollBar::GetButtonRect(int button) const {
    const int size = ButtonSize();
    if (size == 0)
        return TRect{};
    const int width = Width();
    const int height = Height();
    if (button == 1)
        return kind_ == sbVertical ? MakeRect(0, margin_, width, size) : MakeRect(margin_, 0, size, height);
    return kind_ == sbVertical ? MakeRect(0, height - size, width, height - margin_)
                               : MakeRect(width - size, 0, width - margin_, height);
}

bool TkelCustomScrollBar::ButtonShown(int button) const {
    if (!hideButtons_)
        return true;
    return button == 1 ? position_ > min_ : position_ < max_;
}

bool TkelCustomScrollBar::OverButton(int button, int x, int y) const {
    const TRect rect = GetButtonRect(button);
    const POINT point{x, y};
    return PtInRect(&rect, point) != FALSE;
}

void TkelCustomScrollBar::DrawButtonOn(TCanvas& canvas, int button, bool pressed) {
    TRect rect = GetButtonRect(button);
    if (IsRectEmpty(&rect))
        return;
    UINT state;
    if (kind_ == sbVertical)
        state = button == 0 ? DFCS_SCROLLDOWN : DFCS_SCROLLUP;
    else
        state = button == 0 ? DFCS_SCROLLRIGHT : DFCS_SCROLLLEFT;
    if (pressed)
        state |= DFCS_PUSHED;
    DrawFrameControl(canvas.Handle(), &rect, DFC_SCROLL, state);
}

void TkelCustomScrollBar::DrawButton(int button, bool pressed) {
    TCanvas& canvas = Canvas();
    if (canvas.Handle()) {
        DrawButtonOn(canvas, button, pressed);
        return;
    }
    if (!HandleAllocated())
        return;
    TWindowDc dc(WindowHandle());
    if (!dc.Get())
        return;
    TCanvasLoan loan(canvas, dc.Get());
    DrawButtonOn(canvas, button, pressed);
}

void TkelCustomScrollBar::RepaintButton(int button) {
    if (!HandleAllocated())
        return;
    const TRect rect = GetButtonRect(button);
    InvalidateRect(WindowHandle(), &rect, FALSE);
}

void TkelCustomScrollBar::Paint() {
    TCanvas& canvas = Canvas();
    // Transparent: what shows behind the bar is its parent's colour.
    canvas.Brush().SetColor(transparent_ && Parent() ? Parent()->Color() : Color());
    canvas.Brush().SetStyle(bsSolid);
    canvas.FillRect(ClientRect());
    if (IsDesigning()) {
        DrawButton(0, false);
        DrawButton(1, false);
        return;
    }
    const bool capturing = MouseCapture();
    for (int button : {1, 0})
        if (ButtonShown(button))
            DrawButton(button, capturing && held_ == button && pressed_);
}

bool TkelCustomScrollBar::StepPosition() {
    if (held_ == 1) {
        if (position_ <= min_)
            return false;
        SetPosition(position_ - 1);
        return true;
    }
    if (held_ == 0) {
        if (position_ >= max_)
            return false;
        SetPosition(position_ + 1);
        return true;
    }
    return false;
}

void TkelCustomScrollBar::RepeatStep() {
    if (held_ >= 0 && pressed_)
        StepPosition();
}

void TkelCustomScrollBar::StepOnce(int button) {
    const int held = std::exchange(held_, button);
    TFreeWatch watch(*this);
    StepPosition();
    if (!watch.Freed())
        held_ = held;
}

void TkelCustomScrollBar::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    if (button == mbLeft && held_ < 0) {
        if (OverButton(1, x, y) && position_ > min_)
            held_ = 1;
        else if (OverButton(0, x, y) && position_ < max_)
            held_ = 0;
        if (held_ >= 0) {
            pressed_ = true;
            RepaintButton(held_);
            repeatTimer_->SetInterval(timerInterval_);
            repeatTimer_->SetEnabled(true);
        }
    }
    TkelGraphicControl::MouseDown(button, shift, x, y);
}

void TkelCustomScrollBar::MouseMove(TShiftState shift, int x, int y) {
    if (held_ >= 0 && MouseCapture()) {
        const bool over = OverButton(held_, x, y);
        if (over != pressed_) {
            pressed_ = over;
            if (position_ > min_ && position_ < max_)
                RepaintButton(held_);
        }
    }
    TkelGraphicControl::MouseMove(shift, x, y);
}

// Before the base class sees the release: it lets the capture go first, which ends a press.
void TkelCustomScrollBar::FinishPress(int x, int y) {
    if (held_ < 0)
        return;
    repeatTimer_->SetEnabled(false);
    const int held = held_;
    TFreeWatch watch(*this);
    if (OverButton(held, x, y))
        StepPosition();
    if (watch.Freed())
        return;
    held_ = -1;
    pressed_ = false;
    if (ButtonShown(held))
        RepaintButton(held);
}

void TkelCustomScrollBar::KeyDown(WORD& key, TShiftState shift) {
    TFreeWatch watch(*this);
    TkelGraphicControl::KeyDown(key, shift);
    if (watch.Freed())
        return;
    const bool vertical = kind_ == sbVertical;
    if (key == (vertical ? VK_UP : VK_LEFT)) {
        StepOnce(1);
        key = 0;
    } else if (key == (vertical ? VK_DOWN : VK_RIGHT)) {
        StepOnce(0);
        key = 0;
    }
}

void TkelCustomScrollBar::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_GETDLGCODE:
        message.Result = DLGC_WANTARROWS;
        return;
    case WM_LBUTTONUP: {
        TFreeWatch watch(*this);
        FinishPress(static_cast<short>(LOWORD(message.LParam)), static_cast<short>(HIWORD(message.LParam)));
        if (watch.Freed())
            return;
        break;
    }
    case BM_CLICK:
        StepOnce(0);
        message.Result = 0;
        return;
    case WM_SIZE:
        TkelGraphicControl::WndProc(message);
        ApplyAutoSize();
        return;
    case WM_SETTINGCHANGE:
        TkelGraphicControl::WndProc(message);
        if (message.WParam == SPI_SETNONCLIENTMETRICS)
            ApplyAutoSize();
        return;
    case WM_CANCELMODE:
    case WM_CAPTURECHANGED:
        // The press ends without a step when the capture goes elsewhere.
        if (message.Msg == WM_CANCELMODE || reinterpret_cast<HWND>(message.LParam) != WindowHandle()) {
            repeatTimer_->SetEnabled(false);
            if (held_ >= 0) {
                held_ = -1;
                pressed_ = false;
                Invalidate();
            }
        }
        break;
    default:
        break;
    }
    TkelGraphicControl::WndProc(message);
}

// ---- Dates ----------------------------------------------------------------------------------

namespace {

// Days from 1 January 1970 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2));
}

const int64_t kDateBase = DaysFromCivil(1899, 12, 30);

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2)
        return IsLeapYear(year) ? 29 : 28;
    return kDays[(month - 1) % 12];
}

std::string LocaleText(LCTYPE type) {
    char text[128] = "";
    if (!GetLocaleInfoA(LOCALE_USER_DEFAULT, type, text, sizeof(text)))
        return "";
    return text;
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

bool IsValidKelDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

TkelDate EncodeKelDate(int year, int month, int day) {
    if (!IsValidKelDate(year, month, day))
        throw EConvertError(Format("Invalid date %04d-%02d-%02d", year, month, day));
    return static_cast<TkelDate>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kDateBase);
}

void DecodeKelDate(TkelDate date, int& year, int& month, int& day) {
    CivilFromDays(static_cast<int64_t>(std::floor(date)) + kDateBase, year, month, day);
}

TkelDate KelToday() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return EncodeKelDate(now.wYear, now.wMonth, now.wDay);
}

TkelDatePanelLayout LayoutOfDateFormat(const std::string& shortDateFormat) {
    std::string order;
    for (char c : LowerCase(shortDateFormat))
        if (c == 'd' || c == 'm' || c == 'y')
            order += c;
    ReplaceAll(order, "dd", "d");
    ReplaceAll(order, "mm", "m");
    ReplaceAll(order, "yy", "y");
    ReplaceAll(order, "yy", "y");
    if (order == "mdy")
        return dplMDY;
    if (order == "ymd")
        return dplYMD;
    if (order == "ydm")
        return dplYDM;
    return dplDMY;
}

TkelDatePanelLayout SystemDateLayout() { return LayoutOfDateFormat(LocaleText(LOCALE_SSHORTDATE)); }

// ---- TkelCustomDatePanel, TkelDatePanel -----------------------------------------------------

const TClassInfo& TkelCustomDatePanel::StaticClassInfo() {
    using C = TkelCustomDatePanel;
    static const TPropInfo props[] = {
        Prop<&C::Date, &C::SetDate>("Date"),
        Prop<&C::EditDay, &C::SetEditDay>("EditDay").WithDefault(true),
        Prop<&C::EditMonth, &C::SetEditMonth>("EditMonth").WithDefault(true),
        Prop<&C::EditYear, &C::SetEditYear>("EditYear").WithDefault(true),
        Prop<&C::Etched, &C::SetEtched>("Etched").WithDefault(false),
        Prop<&C::Flat, &C::SetFlat>("Flat").WithDefault(false),
        Prop<&C::FocusBorder, &C::SetFocusBorder>("FocusBorder").WithDefault(true),
        Prop<&C::MonthNames, &C::SetMonthNames>("MonthNames"),
        Prop<&C::ControlsSpace, &C::SetControlsSpace>("ControlsSpace").WithDefault(8),
        Prop<&C::ControlsLayout, &C::SetControlsLayout>("ControlsLayout").WithDefault(dplSystemDefault),
        Prop<&C::Locked, &C::SetLocked>("Locked").WithDefault(false),
        Prop<&C::OnChangeDate>("OnChangeDate"),
        Prop<&C::OnChangeDay>("OnChangeDay"),
        Prop<&C::OnChangeMonth>("OnChangeMonth"),
        Prop<&C::OnChangeYear>("OnChangeYear"),
        Prop<&C::OnClickMonth>("OnClickMonth"),
        Prop<&C::OnKeyPressDay>("OnKeyPressDay"),
        Prop<&C::OnKeyPressYear>("OnKeyPressYear"),
    };
    static const TClassInfo info = MakeClassInfo<C, TCustomPanel>("TkelCustomDatePanel", props);
    return info;
}

const TClassInfo& TkelDatePanel::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TkelDatePanel, TkelCustomDatePanel>("TkelDatePanel", {});
    return info;
}

TkelCustomDatePanel::TkelCustomDatePanel(TComponent* owner) : TCustomPanel(owner) {
    TFlagGuard updating(updating_);
    SetBevelOuter(bvNone);
    SetBevelInner(bvNone);
    SetCaption("");
    SetBounds(Left(), Top(), 200, Font()->Size() + 5);
    dayEdit_ = new TkelEdit(this);
    dayUpDown_ = new TUpDown(this);
    monthBox_ = new TkelComboBox(this);
    yearEdit_ = new TkelEdit(this);
    yearUpDown_ = new TUpDown(this);
    // Children of a panel built in code are set up at once; a loading form does it again
    // harmlessly at Loaded.
    CreateChildren();
    SetDate(KelToday());
}

void TkelCustomDatePanel::CreateChildren() {
    if (childrenCreated_)
        return;
    childrenCreated_ = true;
    for (TControl* child : std::initializer_list<TControl*>{dayEdit_, dayUpDown_, monthBox_, yearEdit_, yearUpDown_})
        child->SetParent(this);
    dayEdit_->SetMaxLength(2);
    dayUpDown_->SetMin(1);
    dayUpDown_->SetMax(31);
    dayUpDown_->SetThousands(false);
    monthBox_->SetStyle(csDropDownList);
    monthBox_->SetDropDownCount(12);
    yearEdit_->SetMaxLength(4);
    yearUpDown_->SetMin(0);
    yearUpDown_->SetMax(9999);
    yearUpDown_->SetThousands(false);
    FillMonthNames();
    SizeChildren();
    SetControlsLayout(controlsLayout_);
    dayUpDown_->SetAssociate(dayEdit_);
    yearUpDown_->SetAssociate(yearEdit_);
    monthBox_->SetItemIndex(month_ - 1);
    dayEdit_->OnChange = TNotifyEvent(this, &TkelCustomDatePanel::DayChange);
    yearEdit_->OnChange = TNotifyEvent(this, &TkelCustomDatePanel::YearChange);
    monthBox_->OnChange = TNotifyEvent(this, &TkelCustomDatePanel::MonthChange);
    // The box's click is the user's choice of a line; it comes before the change.
    monthBox_->OnSelect = TNotifyEvent(this, &TkelCustomDatePanel::MonthClick);
    dayEdit_->OnKeyPress = TKeyPressEvent(this, &TkelCustomDatePanel::DayKeyPress);
    yearEdit_->OnKeyPress = TKeyPressEvent(this, &TkelCustomDatePanel::YearKeyPress);
}

void TkelCustomDatePanel::Loaded() {
    TFlagGuard updating(updating_);
    TCustomPanel::Loaded();
    for (TControl* child : std::initializer_list<TControl*>{dayEdit_, dayUpDown_, monthBox_, yearEdit_, yearUpDown_})
        if (child->IsLoading())
            child->Loaded();
    CreateChildren();
    FillMonthNames();
    monthBox_->SetItemIndex(month_ - 1);
    SizeChildren();
    LayoutChildren();
}

void TkelCustomDatePanel::FillMonthNames() {
    if (IsDesigning())
        return;
    TStringList* items = monthBox_->Items();
    for (int month = items->Count() + 1; month <= 12; ++month)
        items->Add(LocaleText(LOCALE_SMONTHNAME1 + static_cast<LCTYPE>(month - 1)));
}

void TkelCustomDatePanel::SizeChildren() {
    TWindowDc screen(nullptr);
    TSelection font(screen.Get(), Font()->Handle());
    SIZE two{}, four{};
    GetTextExtentPoint32A(screen.Get(), "88", 2, &two);
    GetTextExtentPoint32A(screen.Get(), "8888", 4, &four);
    // Kept here: an up-down given its edit shrinks the edit to make room for itself.
    dayWidth_ = two.cx + 10;
    yearWidth_ = four.cx + 10;
    upDownWidth_ = GetSystemMetrics(SM_CXVSCROLL);
    LayoutChildren();
}

void TkelCustomDatePanel::SetControlsLayout(TkelDatePanelLayout value) {
    controlsLayout_ = value;
    effectiveLayout_ = value == dplSystemDefault ? SystemDateLayout() : value;
    LayoutChildren();
}

void TkelCustomDatePanel::SetControlsSpace(int value) {
    controlsSpace_ = value;
    LayoutChildren();
}

void TkelCustomDatePanel::LayoutChildren() {
    if (layingOut_ || !childrenCreated_ || IsLoading())
        return;
    TFlagGuard guard(layingOut_);
    // Widened once at most: an aligned panel gets its width back from its parent, and
    // asking again would never end.
    bool widened = false;
    for (;;) {
        const int border = BorderWidth();
        int rowHeight = Height() - 2 * border;
        if (monthBox_->Height() > rowHeight) {
            rowHeight = monthBox_->Height();
            SetHeight(rowHeight + 2 * border);
        }
        const int dayGroup = dayWidth_ + upDownWidth_;
        const int yearGroup = yearWidth_ + upDownWidth_;
        int monthWidth = Width() - 2 * border;
        if (editDay_)
            monthWidth -= dayGroup + controlsSpace_;
        if (editYear_)
            monthWidth -= yearGroup + controlsSpace_;
        const int least = GetSystemMetrics(SM_CXVSCROLL) + 20;
        if (editMonth_ && monthWidth < least && !widened) {
            widened = true;
            SetWidth(Width() + least - monthWidth);
            continue;
        }
        monthWidth = std::max(monthWidth, 0);
        enum { Day, Month, Year };
        int order[3];
        switch (effectiveLayout_) {
        case dplMDY:
            order[0] = Month, order[1] = Day, order[2] = Year;
            break;
        case dplYMD:
            order[0] = Year, order[1] = Month, order[2] = Day;
            break;
        case dplYDM:
            order[0] = Year, order[1] = Day, order[2] = Month;
            break;
        default:
            order[0] = Day, order[1] = Month, order[2] = Year;
            break;
        }
        dayEdit_->SetVisible(editDay_);
        dayUpDown_->SetVisible(editDay_);
        monthBox_->SetVisible(editMonth_);
        yearEdit_->SetVisible(editYear_);
        yearUpDown_->SetVisible(editYear_);
        int x = border;
        for (int part : order) {
            if (part == Month) {
                if (!editMonth_)
                    continue;
                monthBox_->SetBounds(x, border, monthWidth, monthBox_->Height());
                x += monthWidth + controlsSpace_;
                continue;
            }
            const bool shown = part == Day ? editDay_ : editYear_;
            if (!shown)
                continue;
            TkelEdit* edit = part == Day ? dayEdit_ : yearEdit_;
            TUpDown* upDown = part == Day ? dayUpDown_ : yearUpDown_;
            const int editWidth = part == Day ? dayWidth_ : yearWidth_;
            edit->SetBounds(x, border, editWidth, rowHeight);
            upDown->SetBounds(x + editWidth, border, upDownWidth_, rowHeight);
            x += editWidth + upDownWidth_ + controlsSpace_;
        }
        return;
    }
}

void TkelCustomDatePanel::AlignControls(TControl* control, TRect& rect) {
    TCustomPanel::AlignControls(control, rect);
    LayoutChildren();
}

int TkelCustomDatePanel::DayNumber() const {
    int day = 0;
    return TryStrToInt(dayEdit_->GetText(), day) ? day : dayUpDown_->Position();
}

int TkelCustomDatePanel::YearNumber() const {
    int year = 0;
    return TryStrToInt(yearEdit_->GetText(), year) ? year : yearUpDown_->Position();
}

void TkelCustomDatePanel::SetDayText(int day) {
    if (dayEdit_->GetText() != IntToStr(day))
        dayEdit_->SetText(IntToStr(day));
    dayUpDown_->SetPosition(day);
}

void TkelCustomDatePanel::ClampDay() {
    int day = DayNumber();
    int most = 31;
    if (month_ == 4 || month_ == 6 || month_ == 9 || month_ == 11)
        most = 30;
    else if (month_ == 2)
        most = IsLeapYear(YearNumber()) ? 29 : 28;
    dayUpDown_->SetMax(most);
    if (day > most) {
        TFlagGuard clamping(clampingDay_);
        SetDayText(most);
    }
}

void TkelCustomDatePanel::DoChangeDate() {
    if (!Updating())
        OnChangeDate(this);
}

// GCC 12 takes the watch's registration for a dangling pointer here; its destructor removes it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
void TkelCustomDatePanel::PartChanged(const TNotifyEvent& event) {
    TFreeWatch watch(*this);
    if (!Updating())
        event(this);
    if (!watch.Freed())
        DoChangeDate();
}
#pragma GCC diagnostic pop

void TkelCustomDatePanel::DayChange(TObject*) {
    if (clampingDay_)
        return;  // the day written back by ClampDay: the change that lowered it reports
    ClampDay();
    PartChanged(OnChangeDay);
}

void TkelCustomDatePanel::YearChange(TObject*) {
    ClampDay();
    PartChanged(OnChangeYear);
}

void TkelCustomDatePanel::MonthChange(TObject*) {
    if (monthBox_->ItemIndex() >= 0)
        month_ = monthBox_->ItemIndex() + 1;
    ClampDay();
    PartChanged(OnChangeMonth);
}

void TkelCustomDatePanel::MonthClick(TObject*) {
    ClampDay();
    OnClickMonth(this);
}

void TkelCustomDatePanel::FilterDigit(char& key) {
    const auto c = static_cast<unsigned char>(key);
    if (c >= 32 && (c < '0' || c > '9'))
        key = 0;
}

void TkelCustomDatePanel::DayKeyPress(TObject*, char& key) {
    if (IsLoading())
        return;
    TFreeWatch watch(*this);
    OnKeyPressDay(this, key);
    if (!watch.Freed())
        FilterDigit(key);
}

void TkelCustomDatePanel::YearKeyPress(TObject*, char& key) {
    if (IsLoading())
        return;
    TFreeWatch watch(*this);
    OnKeyPressYear(this, key);
    if (!watch.Freed())
        FilterDigit(key);
}

TkelDate TkelCustomDatePanel::Date() const {
    const int year = YearNumber();
    const int day = DayNumber();
    if (!IsValidKelDate(year, month_, day))
        return KelToday();
    return EncodeKelDate(year, month_, day);
}

void TkelCustomDatePanel::SetDate(TkelDate value) {
    int year = 0, month = 0, day = 0;
    DecodeKelDate(value, year, month, day);
    {
        // Month and year first: the day is clamped to them as it goes in.
        TFlagGuard updating(updating_);
        month_ = month;
        monthBox_->SetItemIndex(month - 1);
        if (yearEdit_->GetText() != IntToStr(year))
            yearEdit_->SetText(IntToStr(year));
        yearUpDown_->SetPosition(year);
        dayUpDown_->SetMax(31);
        SetDayText(day);
        ClampDay();
    }
    DoChangeDate();
}

void TkelCustomDatePanel::SetEditDay(bool value) {
    editDay_ = value;
    LayoutChildren();
}

void TkelCustomDatePanel::SetEditMonth(bool value) {
    editMonth_ = value;
    LayoutChildren();
}

void TkelCustomDatePanel::SetEditYear(bool value) {
    editYear_ = value;
    LayoutChildren();
}

void TkelCustomDatePanel::ApplyChildLooks() {
    dayEdit_->SetFlat(flat_);
    yearEdit_->SetFlat(flat_);
    monthBox_->SetFlat(flat_);
    dayEdit_->SetFocusBorder(focusBorder_);
    yearEdit_->SetFocusBorder(focusBorder_);
    monthBox_->SetFocusBorder(focusBorder_);
    monthBox_->SetEtched(etched_);
}

void TkelCustomDatePanel::SetEtched(bool value) {
    etched_ = value;
    ApplyChildLooks();
}

void TkelCustomDatePanel::SetFlat(bool value) {
    flat_ = value;
    ApplyChildLooks();
}

void TkelCustomDatePanel::SetFocusBorder(bool value) {
    focusBorder_ = value;
    ApplyChildLooks();
}

void TkelCustomDatePanel::SetMonthNames(TStringList* names) {
    monthBox_->SetItems(names);
    FillMonthNames();
    monthBox_->SetItemIndex(month_ - 1);
}

void TkelCustomDatePanel::SetEnabled(bool enabled) {
    TCustomPanel::SetEnabled(enabled);
    for (TControl* child : std::initializer_list<TControl*>{dayEdit_, dayUpDown_, monthBox_, yearEdit_, yearUpDown_})
        child->SetEnabled(enabled);
    const TColor color = enabled ? clWindow : Color();
    dayEdit_->SetColor(color);
    monthBox_->SetColor(color);
    yearEdit_->SetColor(color);
}

void TkelCustomDatePanel::WndProc(TMessage& message) {
    if (message.Msg == CM_FONTCHANGED) {
        TCustomPanel::WndProc(message);
        SizeChildren();
        LayoutChildren();
        return;
    }
    TCustomPanel::WndProc(message);
}

// ---- Registration -------------------------------------------------------------------------

void RegisterKelControls() {
    RegisterClassesSafe({
        &TkelGroupBox::StaticClassInfo(),
        &TkelEdit::StaticClassInfo(),
        &TkelComboBox::StaticClassInfo(),
        &TkelImageListBox::StaticClassInfo(),
        &TkelImage::StaticClassInfo(),
        &TkelScrollBar::StaticClassInfo(),
        &TkelDatePanel::StaticClassInfo(),
    });
}
