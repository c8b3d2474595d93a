#include "FormHelpButton.h"

#include "ExtCtrls.h"
#include "FormHelpUtils.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>

// The components that hook windows, in the order they were made, with the hidden window that
// re-hooks a re-created form and the tooltip window of the caption buttons. Made with the first
// component, freed with the last.
class TacHookList {
public:
    static TacHookList* Instance() { return instance_; }

    static void Add(TfhFormHookComponent* component) {
        if (!instance_)
            instance_ = new TacHookList;
        instance_->items_.push_back(component);
    }
    static void Remove(TfhFormHookComponent* component) {
        if (!instance_)
            return;
        auto& items = instance_->items_;
        items.erase(std::remove(items.begin(), items.end(), component), items.end());
        if (items.empty()) {
            delete instance_;
            instance_ = nullptr;
        }
    }
    static bool Contains(const TfhFormHookComponent* component) {
        return instance_ && std::find(instance_->items_.begin(), instance_->items_.end(), component) !=
                                instance_->items_.end();
    }
    // The first component hooked to window, or null.
    TfhFormHookComponent* First(HWND window) const {
        for (TfhFormHookComponent* item : items_) {
            if (item->hooked_ && item->window_ == window)
                return item;
        }
        return nullptr;
    }
    HWND Utility() const { return utility_; }
    HWND Tooltip() {
        if (!tooltip_) {
            tooltip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                       GetModuleHandleA(nullptr), nullptr);
        }
        return tooltip_;
    }

private:
    TacHookList() {
        utility_ = AllocateHWnd([this](TMessage& message) { WndProc(message); });
    }
    ~TacHookList() {
        if (tooltip_)
            DestroyWindow(tooltip_);
        DeallocateHWnd(utility_);
    }

    void WndProc(TMessage& message) {
        switch (message.Msg) {
        case WM_FHREHOOK:
            Rehook(reinterpret_cast<HWND>(message.WParam));
            break;
        case WM_QUERYENDSESSION:
            message.Result = 1;
            break;
        default:
            message.Result = DefWindowProcA(utility_, message.Msg, message.WParam, message.LParam);
        }
    }

    // The window of these components was destroyed: hook them to the one their owner has now.
    void Rehook(HWND old) {
        std::vector<TfhFormHookComponent*> moved;
        for (TfhFormHookComponent* item : items_) {
            if (item->window_ == old && !item->IsDestroying() && !item->leaving_)
                moved.push_back(item);
        }
        for (TfhFormHookComponent* item : moved) {
            if (!Contains(item) || item->ownerControl_->IsDestroying() || !item->ownerControl_->HandleAllocated())
                continue;
            item->Unhook();
            item->Hook();
            item->Rehooked();
        }
    }

    static inline TacHookList* instance_ = nullptr;
    std::vector<TfhFormHookComponent*> items_;
    HWND utility_ = nullptr;
    HWND tooltip_ = nullptr;
};

namespace {

// The caption-button pictures of the themed look, one per colour; null when a picture is missing.
struct TXPBitmaps {
    HBITMAP Bitmaps[5] = {};
    TXPBitmaps() {
        const char* names[] = {"FHCB_XP_BLUE", "FHCB_XP_GREEN", "FHCB_XP_RED", "FHCB_XP_YELLOW", "FHCB_XP_BROWN"};
        for (int i = 0; i < 5; ++i)
            Bitmaps[i] = static_cast<HBITMAP>(LoadImageA(GetModuleHandleA(nullptr), names[i], IMAGE_BITMAP, 0, 0, 0));
    }
    ~TXPBitmaps() {
        for (HBITMAP bitmap : Bitmaps) {
            if (bitmap)
                DeleteObject(bitmap);
        }
    }
};

HBITMAP XPBitmap(TfhCaptionButtonXPStyleColor color) {
    static TXPBitmaps bitmaps;
    return bitmaps.Bitmaps[color];
}

// Draws bitmap stretched over rect of dc, leaving out the pixels of the transparent colour.
void DrawTransparent(HDC dc, const TRect& rect, HBITMAP bitmap, COLORREF transparent) {
    BITMAP info{};
    if (!GetObjectA(bitmap, sizeof(info), &info))
        return;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return;
    TUniqueMemoryDc source(CreateCompatibleDC(dc));
    TSelection selection(source.Get(), bitmap);
    // Sized first without blending, so that no mixed colour escapes the transparent one.
    TUniqueMemoryDc sized(CreateCompatibleDC(dc));
    TUniqueGdi<HBITMAP> sizedBitmap(CreateCompatibleBitmap(dc, width, height));
    TSelection sizedSelection(sized.Get(), sizedBitmap.Get());
    SetStretchBltMode(sized.Get(), COLORONCOLOR);
    StretchBlt(sized.Get(), 0, 0, width, height, source.Get(), 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
    TransparentBlt(dc, rect.left, rect.top, width, height, sized.Get(), 0, 0, width, height, transparent);
}

UINT_PTR NextToolId() {
    static UINT_PTR id = 0;
    return ++id;
}

}  // namespace

// ---- TfhFormHookComponent -----------------------------------------------------------------

const TClassInfo& TfhFormHookComponent::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TfhFormHookComponent, TComponent>("TfhFormHookComponent", {});
    return info;
}

TfhFormHookComponent::TfhFormHookComponent(TComponent* owner) : TComponent(owner) {
    ownerControl_ = dynamic_cast<TWinControl*>(owner);
    if (!ownerControl_)
        throw EInvalidOperation("Owner must be TWinControl or its descendant!");
    utility_ = AllocateHWnd([this](TMessage& message) { UtilityWindowProc(message); });
    TacHookList::Add(this);
    try {
        Hook();
    } catch (...) {
        // No destructor runs for a constructor that fails.
        TacHookList::Remove(this);
        DeallocateHWnd(utility_);
        throw;
    }
}

TfhFormHookComponent::~TfhFormHookComponent() {
    BeforeDestruction();
    if (utility_)
        DeallocateHWnd(utility_);
}

void TfhFormHookComponent::BeforeDestruction() {
    if (leaving_)
        return;
    leaving_ = true;
    Unhook();
    TacHookList::Remove(this);
}

void TfhFormHookComponent::Hook() {
    if (hooked_)
        return;
    window_ = ownerControl_->Handle();
    hooked_ = SetWindowSubclass(window_, HookProc, reinterpret_cast<UINT_PTR>(this), reinterpret_cast<DWORD_PTR>(this));
}

void TfhFormHookComponent::Unhook() {
    if (hooked_ && IsWindow(window_))
        RemoveWindowSubclass(window_, HookProc, reinterpret_cast<UINT_PTR>(this));
    hooked_ = false;
}

LRESULT CALLBACK TfhFormHookComponent::HookProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                                DWORD_PTR data) {
    auto self = reinterpret_cast<TfhFormHookComponent*>(data);
    TMessage message{msg, wParam, lParam, 0};
    try {
        bool handled = false;
        self->BeforeFormMessage(message, handled);
        if (!handled)
            message.Result = DefSubclassProc(window, message.Msg, message.WParam, message.LParam);
        // The form's handling may have freed the component.
        if (!TacHookList::Contains(self))
            return message.Result;
        if (msg == WM_DESTROY && !self->leaving_ && TacHookList::Instance()->First(window) == self)
            PostMessageA(TacHookList::Instance()->Utility(), WM_FHREHOOK, reinterpret_cast<WPARAM>(window), 0);
        if (msg == WM_NCDESTROY) {
            RemoveWindowSubclass(window, HookProc, reinterpret_cast<UINT_PTR>(self));
            self->hooked_ = false;
            return message.Result;
        }
        self->AfterFormMessage(message);
    } catch (...) {
        HandleWindowException(TacHookList::Contains(self) ? self : nullptr);
    }
    return message.Result;
}

TCustomForm* TfhFormHookComponent::OwnerForm() const {
    return dynamic_cast<TCustomForm*>(Owner());
}

void TfhFormHookComponent::RedrawFrame() {
    if (hooked_)
        SetWindowPos(window_, nullptr, 0, 0, 0, 0,
                     SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

DWORD TfhFormHookComponent::WindowStyle() const {
    return hooked_ ? static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE)) : 0;
}

DWORD TfhFormHookComponent::WindowExStyle() const {
    return hooked_ ? static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_EXSTYLE)) : 0;
}

HMENU TfhFormHookComponent::GetSystemMenuHandle() {
    return hooked_ ? GetSystemMenu(window_, FALSE) : nullptr;
}

void TfhFormHookComponent::UtilityWindowProc(TMessage& message) {
    message.Result = DefWindowProcA(utility_, message.Msg, message.WParam, message.LParam);
}

void TfhFormHookComponent::BeforeFormMessage(TMessage&, bool&) {}

void TfhFormHookComponent::AfterFormMessage(TMessage&) {}

// ---- TfhCustomAppHookComponent --------------------------------------------------------------

const TClassInfo& TfhCustomAppHookComponent::StaticClassInfo() {
    static const TClassInfo info =
        MakeClassInfo<TfhCustomAppHookComponent, TfhFormHookComponent>("TfhCustomAppHookComponent", {});
    return info;
}

TfhCustomAppHookComponent::TfhCustomAppHookComponent(TComponent* owner) : TfhFormHookComponent(owner) {}

TfhCustomAppHookComponent::~TfhCustomAppHookComponent() {
    UnhookApplication();
}

void TfhCustomAppHookComponent::BeforeDestruction() {
    UnhookApplication();
    TfhFormHookComponent::BeforeDestruction();
}

void TfhCustomAppHookComponent::HookApplication() {
    if (appHooked_ || IsDestroying())
        return;
    appWindow_ = Application.Handle();
    appHooked_ = SetWindowSubclass(appWindow_, AppHookProc, reinterpret_cast<UINT_PTR>(this),
                                   reinterpret_cast<DWORD_PTR>(this));
}

void TfhCustomAppHookComponent::UnhookApplication() {
    if (appHooked_ && IsWindow(appWindow_))
        RemoveWindowSubclass(appWindow_, AppHookProc, reinterpret_cast<UINT_PTR>(this));
    appHooked_ = false;
}

LRESULT CALLBACK TfhCustomAppHookComponent::AppHookProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                                        DWORD_PTR data) {
    auto self = reinterpret_cast<TfhCustomAppHookComponent*>(data);
    TMessage message{msg, wParam, lParam, 0};
    try {
        bool handled = false;
        self->BeforeAppMessage(message, handled);
        if (!handled)
            message.Result = DefSubclassProc(window, message.Msg, message.WParam, message.LParam);
        if (!TacHookList::Contains(self))
            return message.Result;
        if (msg == WM_NCDESTROY) {
            RemoveWindowSubclass(window, AppHookProc, reinterpret_cast<UINT_PTR>(self));
            self->appHooked_ = false;
            return message.Result;
        }
        self->AfterAppMessage(message);
    } catch (...) {
        HandleWindowException(TacHookList::Contains(self) ? self : nullptr);
    }
    return message.Result;
}

void TfhCustomAppHookComponent::BeforeAppMessage(TMessage&, bool&) {}

void TfhCustomAppHookComponent::AfterAppMessage(TMessage&) {}

void TfhCustomAppHookComponent::UtilityWindowProc(TMessage& message) {
    switch (message.Msg) {
    case WM_FHHOOKAPP:
        HookApplication();
        break;
    case WM_FHCAPTIONCHANGED:
        CaptionChanged();
        break;
    default:
        TfhFormHookComponent::UtilityWindowProc(message);
    }
}

void TfhCustomAppHookComponent::AfterFormMessage(TMessage& message) {
    if (message.Msg != WM_GETTEXT || message.LParam == 0 || message.WParam == 0)
        return;
    // The text the form just returned, read within the caller's buffer (UTF-16 when the
    // hooked window is a Unicode one).
    std::string caption = MessageString(reinterpret_cast<const void*>(message.LParam),
                                        IsWindowUnicode(HookedWindow()) != FALSE, message.WParam);
    if (caption != lastCaption_) {
        lastCaption_ = caption;
        PostMessageA(UtilityWindow(), WM_FHCAPTIONCHANGED, 0, 0);
    }
}

// ---- TfhACaptionButton, TfhSystemMenu --------------------------------------------------------

const TClassInfo& TfhACaptionButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TfhACaptionButton::Cursor, &TfhACaptionButton::SetCursor>("Cursor").WithDefault(0),
        Prop<&TfhACaptionButton::CursorDown, &TfhACaptionButton::SetCursorDown>("CursorDown").WithDefault(0),
        Prop<&TfhACaptionButton::Enabled, &TfhACaptionButton::SetEnabled>("Enabled").WithDefault(true),
        Prop<&TfhACaptionButton::Hint, &TfhACaptionButton::SetHint>("Hint"),
        Prop<&TfhACaptionButton::ShowHint, &TfhACaptionButton::SetShowHint>("ShowHint").WithDefault(true),
        Prop<&TfhACaptionButton::Style, &TfhACaptionButton::SetStyle>("Style").WithDefault(cbsAuto),
        Prop<&TfhACaptionButton::Visible, &TfhACaptionButton::SetVisible>("Visible").WithDefault(true),
        Prop<&TfhACaptionButton::XPStyleColor, &TfhACaptionButton::SetXPStyleColor>("XPStyleColor")
            .WithDefault(xpcBlue),
    };
    static const TClassInfo info = MakeClassInfo<TfhACaptionButton, TPersistent>("TfhACaptionButton", props);
    return info;
}

void TfhACaptionButton::SetEnabled(bool value) {
    enabled_ = value;
    button_.ButtonChanged();
}

void TfhACaptionButton::SetHint(const std::string& value) {
    hint_ = value;
    button_.ButtonChanged();
}

void TfhACaptionButton::SetShowHint(bool value) {
    showHint_ = value;
    button_.ButtonChanged();
}

void TfhACaptionButton::SetStyle(TfhCaptionButtonStyle value) {
    style_ = value;
    button_.ButtonChanged();
}

void TfhACaptionButton::SetVisible(bool value) {
    visible_ = value;
    button_.ButtonChanged();
}

void TfhACaptionButton::SetXPStyleColor(TfhCaptionButtonXPStyleColor value) {
    xpStyleColor_ = value;
    button_.ButtonChanged();
}

const TClassInfo& TfhSystemMenu::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TfhSystemMenu::ApplyToMenu, &TfhSystemMenu::SetApplyToMenu>("ApplyToMenu").WithDefault(false),
        Prop<&TfhSystemMenu::Caption, &TfhSystemMenu::SetCaption>("Caption"),
        Prop<&TfhSystemMenu::Position, &TfhSystemMenu::SetPosition>("Position").WithDefault(0),
        Prop<&TfhSystemMenu::Separators, &TfhSystemMenu::SetSeparators>("Separators"),
    };
    static const TClassInfo info = MakeClassInfo<TfhSystemMenu, TPersistent>("TfhSystemMenu", props);
    return info;
}

void TfhSystemMenu::SetApplyToMenu(bool value) {
    applyToMenu_ = value;
    Refresh();
}

void TfhSystemMenu::SetCaption(const std::string& value) {
    caption_ = value;
    Refresh();
}

void TfhSystemMenu::SetPosition(int value) {
    position_ = std::clamp(value, 0, 0xFFFF);
    Refresh();
}

void TfhSystemMenu::SetSeparators(TfhMenuSeparators value) {
    separators_ = value;
    Refresh();
}

void TfhSystemMenu::Refresh() {
    Remove();
    if (applyToMenu_ && !button_.IsLoading())
        Insert();
}

void TfhSystemMenu::Remove() {
    if (!inserted_)
        return;
    inserted_ = false;
    if (HMENU menu = button_.GetSystemMenuHandle()) {
        DeleteMenu(menu, kCaptionButtonId, MF_BYCOMMAND);
        DeleteMenu(menu, kMenuSeparatorBeforeId, MF_BYCOMMAND);
        DeleteMenu(menu, kMenuSeparatorAfterId, MF_BYCOMMAND);
    }
}

void TfhSystemMenu::Insert() {
    HMENU menu = button_.GetSystemMenuHandle();
    if (!menu)
        return;
    int count = GetMenuItemCount(menu);
    int position = position_ > count + 1 ? count : position_;
    std::string text = caption_.empty() ? button_.CaptionButton()->Hint() : caption_;
    MENUITEMINFOA item{};
    item.cbSize = sizeof(item);
    item.fMask = MIIM_ID | MIIM_STRING | MIIM_STATE | MIIM_FTYPE;
    item.fType = MFT_STRING;
    item.fState = MFS_DEFAULT;
    item.wID = kCaptionButtonId;
    item.dwTypeData = text.data();
    InsertMenuItemA(menu, static_cast<UINT>(position), TRUE, &item);
    MENUITEMINFOA separator{};
    separator.cbSize = sizeof(separator);
    separator.fMask = MIIM_ID | MIIM_FTYPE;
    separator.fType = MFT_SEPARATOR;
    if (separators_.Contains(seBefore)) {
        separator.wID = kMenuSeparatorBeforeId;
        InsertMenuItemA(menu, static_cast<UINT>(position), TRUE, &separator);
    }
    if (separators_.Contains(seAfter)) {
        separator.wID = kMenuSeparatorAfterId;
        int count2 = GetMenuItemCount(menu);
        int entry = -1;
        for (int i = 0; i < count2; ++i) {
            if (GetMenuItemID(menu, i) == kCaptionButtonId)
                entry = i;
        }
        InsertMenuItemA(menu, static_cast<UINT>(entry + 1), TRUE, &separator);
    }
    inserted_ = true;
    UpdateState();
}

void TfhSystemMenu::UpdateState() {
    if (!inserted_)
        return;
    if (HMENU menu = button_.GetSystemMenuHandle()) {
        EnableMenuItem(menu, kCaptionButtonId, MF_BYCOMMAND | (button_.CaptionButton()->Enabled() ? MF_ENABLED : MF_GRAYED));
        CheckMenuItem(menu, kCaptionButtonId, MF_BYCOMMAND | (button_.Pressed() ? MF_CHECKED : MF_UNCHECKED));
    }
}

// ---- TFormHelpButton ------------------------------------------------------------------------

const TClassInfo& TFormHelpButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TFormHelpButton::CaptionButton>("CaptionButton"),
        Prop<&TFormHelpButton::SystemMenu>("SystemMenu"),
        Prop<&TFormHelpButton::GlyphChar, &TFormHelpButton::SetGlyphChar>("GlyphChar"),
        Prop<&TFormHelpButton::OnMouseDown>("OnMouseDown"),
        Prop<&TFormHelpButton::OnMouseUp>("OnMouseUp"),
    };
    static const TClassInfo info =
        MakeClassInfo<TFormHelpButton, TfhCustomAppHookComponent>("TFormHelpButton", props);
    return info;
}

TFormHelpButton::TFormHelpButton(TComponent* owner)
    : TfhCustomAppHookComponent(owner),
      captionButton_(std::make_unique<TfhACaptionButton>(*this)),
      systemMenu_(std::make_unique<TfhSystemMenu>(*this)) {
    glyphFont_.SetName("Arial");
    glyphFont_.SetColor(clCaptionText);
    glyphFont_.SetHeight(7 - GetSystemMetrics(SM_CYSIZE));
    glyphFont_.OnChange = TNotifyEvent(this, &TFormHelpButton::GlyphFontChanged);
    toolId_ = NextToolId();
    bool tool = WindowExStyle() & WS_EX_TOOLWINDOW;
    buttonOffset_ = GetSystemMetrics(tool ? SM_CXSMSIZE : SM_CXSIZE);
}

TFormHelpButton::~TFormHelpButton() {
    BeforeDestruction();
}

void TFormHelpButton::BeforeDestruction() {
    UnregisterTooltip();
    systemMenu_->Remove();
    TfhCustomAppHookComponent::BeforeDestruction();
}

void TFormHelpButton::Loaded() {
    TfhCustomAppHookComponent::Loaded();
    bool tool = WindowExStyle() & WS_EX_TOOLWINDOW;
    buttonOffset_ = GetSystemMetrics(tool ? SM_CXSMSIZE : SM_CXSIZE);
    ComputeGeometry();
    RegisterTooltip();
    systemMenu_->Refresh();
}

void TFormHelpButton::Rehooked() {
    bool tool = WindowExStyle() & WS_EX_TOOLWINDOW;
    buttonOffset_ = GetSystemMetrics(tool ? SM_CXSMSIZE : SM_CXSIZE);
    toolRegistered_ = false;  // the tool went with the old window
    ComputeGeometry();
    RegisterTooltip();
    if (systemMenu_->Inserted() || systemMenu_->ApplyToMenu()) {
        // The new window has a fresh system menu.
        systemMenu_->Refresh();
    }
}

void TFormHelpButton::GlyphFontChanged(TObject*) {
    if (updatingFont_)
        return;
    TFlagGuard guard(updatingFont_);
    glyphFont_.SetHeight(7 - GetSystemMetrics(SM_CYSIZE));
    DrawButton();
}

void TFormHelpButton::SetGlyphChar(const std::string& value) {
    glyphChar_ = value;
    DrawButton();
}

void TFormHelpButton::SetPressed(bool value) {
    if (pressed_ == value)
        return;
    pressed_ = value;
    drawnDown_ = value;
    systemMenu_->UpdateState();
    DrawButton();
}

void TFormHelpButton::ButtonChanged() {
    if (!captionButton_ || !systemMenu_)
        return;
    ComputeGeometry();
    RegisterTooltip();
    systemMenu_->UpdateState();
    if (Hooked() && !IsLoading())
        RedrawFrame();
}

bool TFormHelpButton::HasCaption() const {
    return Hooked() && (WindowStyle() & WS_CAPTION) == WS_CAPTION;
}

bool TFormHelpButton::Shown() const {
    return captionButton_->Visible() && HasCaption() && !IsLoading();
}

bool TFormHelpButton::ComputeGeometry() {
    buttonRect_ = TRect{0, 0, 0, 0};
    if (IsLoading() || !HasCaption())
        return false;
    RECT window;
    GetWindowRect(HookedWindow(), &window);
    const DWORD style = WindowStyle();
    const bool tool = WindowExStyle() & WS_EX_TOOLWINDOW;
    const int buttonWidth = GetSystemMetrics(tool ? SM_CXSMSIZE : SM_CXSIZE);
    const int buttonHeight = GetSystemMetrics(tool ? SM_CYSMSIZE : SM_CYSIZE);
    int space = 0;
    if (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX))
        space = 2 * buttonWidth;
    else if (WindowExStyle() & WS_EX_CONTEXTHELP)
        space = buttonWidth;
    if (style & WS_SYSMENU)
        space += buttonWidth;
    const bool sizable = style & WS_THICKFRAME;
    const int frameX = GetSystemMetrics(sizable ? SM_CXSIZEFRAME : SM_CXFIXEDFRAME);
    const int frameY = GetSystemMetrics(sizable ? SM_CYSIZEFRAME : SM_CYFIXEDFRAME);
    const int x = (window.right - window.left) - space - buttonOffset_ - 2 * frameX + frameY + 2;
    const int y = frameY + 2;
    // The hit rectangle is the drawn one, one pixel wider.
    buttonRect_ = TRect{x, y, x + buttonWidth - 2 + 1, y + buttonHeight - 4};
    return true;
}

bool TFormHelpButton::PointOnButton(TPoint screen) const {
    if (!Shown() || buttonRect_.right <= buttonRect_.left)
        return false;
    RECT window;
    GetWindowRect(HookedWindow(), &window);
    TPoint point{screen.x - window.left, screen.y - window.top};
    const bool tool = WindowExStyle() & WS_EX_TOOLWINDOW;
    const int captionBottom = GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(tool ? SM_CYSMCAPTION : SM_CYCAPTION) + 2;
    return PtInRect(&buttonRect_, point) && point.y < captionBottom;
}

void TFormHelpButton::DrawButton() {
    if (!ComputeGeometry() || !Shown())
        return;
    HDC dc = GetWindowDC(HookedWindow());
    if (!dc)
        return;
    PaintButton(dc, drawnDown_);
    ReleaseDC(HookedWindow(), dc);
}

void TFormHelpButton::PaintButton(HDC dc, bool down) {
    TRect rect{buttonRect_.left, buttonRect_.top, buttonRect_.right - 1, buttonRect_.bottom};
    const TfhCaptionButtonStyle style = captionButton_->Style();
    HBITMAP xp = XPBitmap(captionButton_->XPStyleColor());
    const bool xpStyle = xp && (style == cbsWinXP || (style == cbsAuto && LoadThemeLibrary() && ThemeIsActive()));
    TRect inner = rect;
    if (xpStyle) {
        DrawTransparent(dc, rect, xp, RGB(255, 0, 255));
    } else {
        FillRect(dc, &inner, GetSysColorBrush(COLOR_BTNFACE));
        DrawPushFrame(dc, inner, down);
    }
    const bool enabled = captionButton_->Enabled();
    TBitmap& picture = down && !glyphDown_.Empty() ? glyphDown_ : glyph_;
    if (!picture.Empty()) {
        int left = (rect.left + rect.right - picture.Width()) / 2 + (down ? 1 : 0);
        int top = (rect.top + rect.bottom - picture.Height()) / 2 + (down ? 1 : 0);
        TUniqueGdi<HBITMAP> copy = picture.CopyHandle();
        TRect target = MakeBounds(left, top, picture.Width(), picture.Height());
        if (enabled) {
            DrawTransparent(dc, target, copy.Get(), ColorToRGB(picture.TransparentColor()));
        } else {
            DrawStateA(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(copy.Get()), 0, left, top, 0, 0,
                       DST_BITMAP | DSS_DISABLED);
        }
        return;
    }
    TSelection font(dc, glyphFont_.Handle());
    SetBkMode(dc, TRANSPARENT);
    TRect text = rect;
    if (down)
        OffsetRect(&text, 1, 1);
    const UINT flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
    std::string glyph = glyphChar_;
    if (!enabled) {
        TRect shifted = text;
        OffsetRect(&shifted, 1, 1);
        SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
        DrawTextA(dc, glyph.c_str(), -1, &shifted, flags);
        SetTextColor(dc, GetSysColor(COLOR_BTNSHADOW));
    } else {
        // The caption-text default would vanish on a classic button face: button text there.
        TColor color = glyphFont_.Color() == clCaptionText ? clBtnText : glyphFont_.Color();
        SetTextColor(dc, xpStyle ? RGB(255, 255, 255) : ColorToRGB(color));
    }
    DrawTextA(dc, glyph.c_str(), -1, &text, flags);
}

void TFormHelpButton::RegisterTooltip() {
    TacHookList* list = TacHookList::Instance();
    const bool wanted = Shown() && captionButton_->Enabled() && captionButton_->ShowHint() &&
                        !captionButton_->Hint().empty() && buttonRect_.right > buttonRect_.left;
    if (!wanted || !list) {
        UnregisterTooltip();
        return;
    }
    HWND tooltip = list->Tooltip();
    if (!tooltip)
        return;
    // The button's rectangle in client coordinates of the form. The client area starts below
    // the menu bar, so this already moves the rectangle up by the menu bar's height.
    RECT window;
    GetWindowRect(HookedWindow(), &window);
    POINT origin{0, 0};
    ClientToScreen(HookedWindow(), &origin);
    TRect rect = buttonRect_;
    OffsetRect(&rect, window.left - origin.x, window.top - origin.y);
    std::string hint = captionButton_->Hint();
    TOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = HookedWindow();
    tool.uId = toolId_;
    tool.rect = rect;
    tool.lpszText = hint.data();
    if (toolRegistered_) {
        SendMessageA(tooltip, TTM_NEWTOOLRECTA, 0, reinterpret_cast<LPARAM>(&tool));
        SendMessageA(tooltip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
    } else {
        toolRegistered_ = SendMessageA(tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool)) != 0;
    }
    toolRect_ = rect;
}

void TFormHelpButton::UnregisterTooltip() {
    TacHookList* list = TacHookList::Instance();
    if (!toolRegistered_ || !list)
        return;
    toolRegistered_ = false;
    TOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.hwnd = HookedWindow();
    tool.uId = toolId_;
    SendMessageA(list->Tooltip(), TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

void TFormHelpButton::BeforeFormMessage(TMessage& message, bool& handled) {
    switch (message.Msg) {
    case WM_SETCURSOR:
        if (LOWORD(message.LParam) == kCaptionButtonId) {
            ::SetCursor(Screen.Cursors(pressed_ ? captionButton_->CursorDown() : captionButton_->Cursor()));
            message.Result = TRUE;
            handled = true;
        }
        break;
    case WM_NCLBUTTONDBLCLK:
        // A double click presses the button like a single one; the form never sees it.
        if (message.WParam == kCaptionButtonId) {
            message.Msg = WM_NCLBUTTONDOWN;
            handled = true;
        }
        break;
    case WM_NCRBUTTONDOWN:
    case WM_NCRBUTTONUP:
        if (message.WParam == kCaptionButtonId)
            handled = true;
        break;
    default:
        break;
    }
}

void TFormHelpButton::AfterFormMessage(TMessage& message) {
    TfhCustomAppHookComponent::AfterFormMessage(message);
    switch (message.Msg) {
    case WM_NCHITTEST: {
        bool over = PointOnButton(TPoint{GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam)});
        if (over)
            message.Result = kCaptionButtonId;
        if (over != hot_) {
            hot_ = over;
            if (over) {
                DrawButton();
                ButtonEnter();
            } else {
                ButtonLeave();
            }
        }
        break;
    }
    case WM_NCPAINT:
    case WM_NCACTIVATE:
        DrawButton();
        RegisterTooltip();
        break;
    case WM_NCLBUTTONDOWN:
        if (message.WParam == kCaptionButtonId && captionButton_->Enabled() && Shown()) {
            drawnDown_ = true;
            DrawButton();
            SetCapture(HookedWindow());
            captured_ = true;
            mouseDown_ = true;
            ButtonMouseDown();
        }
        break;
    case WM_MOUSEMOVE:
        if (captured_) {
            POINT cursor;
            GetCursorPos(&cursor);
            bool down = PointOnButton(cursor) || pressed_;
            if (down != drawnDown_) {
                drawnDown_ = down;
                DrawButton();
            }
        }
        break;
    case WM_LBUTTONUP:
        if (captured_) {
            captured_ = false;
            mouseDown_ = false;
            ReleaseCapture();
            POINT cursor;
            GetCursorPos(&cursor);
            if (PointOnButton(cursor))
                ClickSequence(true);
            drawnDown_ = pressed_;
            DrawButton();
        }
        break;
    case WM_SYSCOMMAND:
        if ((message.WParam & 0xFFFF) == kCaptionButtonId)
            ClickSequence(false);
        break;
    case WM_FHINSERTMENU:
        systemMenu_->Refresh();
        break;
    default:
        break;
    }
}

void TFormHelpButton::UtilityWindowProc(TMessage& message) {
    TfhCustomAppHookComponent::UtilityWindowProc(message);
}

void TFormHelpButton::ClickSequence(bool fromMouseDown) {
    ButtonMouseUp();
    bool nowPressed = toggle_ ? !pressed_ : true;
    pressed_ = nowPressed;
    drawnDown_ = nowPressed;
    systemMenu_->UpdateState();
    if (nowPressed) {
        ButtonPress(fromMouseDown);
        ButtonClick();
    } else {
        ButtonRelease();
    }
}

void TFormHelpButton::ButtonMouseDown() {
    OnMouseDown(this, mbLeft, TShiftState(), 0, 0);
}

void TFormHelpButton::ButtonPress(bool) {}

void TFormHelpButton::ButtonMouseUp() {
    OnMouseUp(this, mbLeft, TShiftState(), 0, 0);
}

void TFormHelpButton::ButtonClick() {
    OnClickButton(this);
    if (!toggle_)
        SetPressed(false);
}

void TFormHelpButton::ButtonRelease() {}
