#include "Controls.h"

#include "DockTree.h"
#include "DragDrop.h"

#include "Forms.h"
#include "Handles.h"
#include "Menus.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

namespace {

constexpr UINT_PTR kSubclassId = 1;

// The control holding the mouse capture; windowless ones capture through their parent's window.
TControl* gCaptureControl = nullptr;

TShiftState ShiftFromKeys(WPARAM keys) {
    TShiftState shift;
    if (keys & MK_SHIFT)
        shift.Include(ssShift);
    if (keys & MK_CONTROL)
        shift.Include(ssCtrl);
    if (keys & MK_LBUTTON)
        shift.Include(ssLeft);
    if (keys & MK_RBUTTON)
        shift.Include(ssRight);
    if (keys & MK_MBUTTON)
        shift.Include(ssMiddle);
    if (GetKeyState(VK_MENU) < 0)
        shift.Include(ssAlt);
    return shift;
}

// The native child being made and the id it gets: a parent asks it while the child is not
// subclassed yet (WM_MEASUREITEM comes during CreateWindowEx).
thread_local TWinControl* gCreatingChild = nullptr;
thread_local UINT gCreatingChildId = 0;

TPoint PointOf(LPARAM lParam) { return TPoint{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}; }

bool IsMouseMessage(UINT message) {
    return message >= WM_MOUSEFIRST && message <= WM_MBUTTONDBLCLK && message != WM_MOUSEWHEEL;
}

void EnsureCommonControls() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX init{sizeof(init), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
        return InitCommonControlsEx(&init) != FALSE;
    }();
    (void)done;
}


}  // namespace

TShiftState KeyboardShiftState() {
    TShiftState shift;
    if (GetKeyState(VK_SHIFT) < 0)
        shift.Include(ssShift);
    if (GetKeyState(VK_CONTROL) < 0)
        shift.Include(ssCtrl);
    if (GetKeyState(VK_MENU) < 0)
        shift.Include(ssAlt);
    return shift;
}

bool IsAccel(char key, const std::string& caption) {
    for (size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&')
            continue;
        if (caption[i + 1] == '&') {
            ++i;
            continue;
        }
        char pair[2] = {caption[i + 1], key};
        CharUpperBuffA(pair, 2);
        return pair[0] == pair[1];
    }
    return false;
}

// The one list of notifications a parent reflects to the child they concern.
UINT ReflectedMessage(UINT message) {
    switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_MEASUREITEM:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return CN_BASE + message;
    default:
        return 0;
    }
}

std::string GetShortHint(const std::string& hint) {
    size_t bar = hint.find('|');
    return bar == std::string::npos ? hint : hint.substr(0, bar);
}

std::string GetLongHint(const std::string& hint) {
    size_t bar = hint.find('|');
    return bar == std::string::npos ? hint : hint.substr(bar + 1);
}

std::string MessageString(const void* text, bool wide, size_t limit) {
    if (!text)
        return {};
    size_t length = 0;
    if (!wide) {
        auto chars = static_cast<const char*>(text);
        while (length < limit && chars[length])
            ++length;
        return std::string(chars, length);
    }
    auto wchars = static_cast<const wchar_t*>(text);
    while (length < limit && wchars[length])
        ++length;
    if (length == 0)
        return {};
    const int count = static_cast<int>(length);
    const int size = WideCharToMultiByte(CP_ACP, 0, wchars, count, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(CP_ACP, 0, wchars, count, result.data(), size, nullptr, nullptr);
    return result;
}

void HandleWindowException(TObject* sender) noexcept {
    try {
        Application.HandleException(sender);
    } catch (...) {
        // The handler itself failed; nothing may unwind through the system's code.
    }
}

TCustomForm* GetParentForm(const TControl* control) {
    while (control && control->Parent())
        control = control->Parent();
    return dynamic_cast<TCustomForm*>(const_cast<TControl*>(control));
}

TControl* GetCaptureControl() { return gCaptureControl; }

// ---- TSizeConstraints -----------------------------------------------------------------

const TClassInfo& TSizeConstraints::StaticClassInfo() {
    using C = TSizeConstraints;
    static const TPropInfo props[] = {
        Prop<&C::MaxHeight, &C::SetMaxHeight>("MaxHeight").WithDefault(0),
        Prop<&C::MaxWidth, &C::SetMaxWidth>("MaxWidth").WithDefault(0),
        Prop<&C::MinHeight, &C::SetMinHeight>("MinHeight").WithDefault(0),
        Prop<&C::MinWidth, &C::SetMinWidth>("MinWidth").WithDefault(0),
    };
    static const TClassInfo info = MakeClassInfo<TSizeConstraints, TPersistent>("TSizeConstraints", props);
    return info;
}

void TSizeConstraints::SetLimits(int min, int max, int& minField, int& maxField, bool minSet) {
    min = std::max(0, min);
    max = std::max(0, max);
    if (max > 0 && min > max) {
        if (minSet)
            max = min;
        else
            min = max;
    }
    if (min == minField && max == maxField)
        return;
    minField = min;
    maxField = max;
    if (control_)
        control_->ConstraintsChanged();
}

void TSizeConstraints::Constrain(int& width, int& height) const {
    if (maxWidth_ > 0)
        width = std::min(width, maxWidth_);
    if (maxHeight_ > 0)
        height = std::min(height, maxHeight_);
    width = std::max(width, minWidth_);
    height = std::max(height, minHeight_);
}

void TSizeConstraints::Assign(const TPersistent& source) {
    auto other = dynamic_cast<const TSizeConstraints*>(&source);
    if (!other) {
        TPersistent::Assign(source);
        return;
    }
    minWidth_ = other->minWidth_;
    minHeight_ = other->minHeight_;
    maxWidth_ = other->maxWidth_;
    maxHeight_ = other->maxHeight_;
    if (control_)
        control_->ConstraintsChanged();
}

// ---- TControl -------------------------------------------------------------------------

const TClassInfo& TControl::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TControl::Left, &TControl::SetLeft>("Left"),
        Prop<&TControl::Top, &TControl::SetTop>("Top"),
        Prop<&TControl::Width, &TControl::SetWidth>("Width"),
        Prop<&TControl::Height, &TControl::SetHeight>("Height"),
        Prop<&TControl::Align, &TControl::SetAlign>("Align").WithDefault(alNone),
        Prop<&TControl::Anchors, &TControl::SetAnchors>("Anchors").WithDefault(TAnchors{akLeft, akTop}.Bits()),
        Prop<&TControl::Constraints, &TControl::SetConstraints>("Constraints"),
        Prop<&TControl::Caption, &TControl::SetCaption>("Caption"),
        Prop<&TControl::Color, &TControl::SetColor>("Color").StoredIf<&TControl::IsColorStored>(),
        Prop<&TControl::Font, &TControl::SetFont>("Font").StoredIf<&TControl::IsFontStored>(),
        Prop<&TControl::Enabled, &TControl::SetEnabled>("Enabled").WithDefault(true),
        Prop<&TControl::Visible, &TControl::SetVisible>("Visible").WithDefault(true),
        Prop<&TControl::Hint, &TControl::SetHint>("Hint"),
        Prop<&TControl::ShowHint, &TControl::SetShowHint>("ShowHint").StoredIf<&TControl::IsShowHintStored>(),
        Prop<&TControl::ParentColor, &TControl::SetParentColor>("ParentColor").WithDefault(false),
        Prop<&TControl::ParentFont, &TControl::SetParentFont>("ParentFont").WithDefault(true),
        Prop<&TControl::ParentShowHint, &TControl::SetParentShowHint>("ParentShowHint").WithDefault(true),
        Prop<&TControl::BiDiMode, &TControl::SetBiDiMode>("BiDiMode").StoredIf<&TControl::IsBiDiModeStored>(),
        Prop<&TControl::ParentBiDiMode, &TControl::SetParentBiDiMode>("ParentBiDiMode").WithDefault(true),
        Prop<&TControl::Action, &TControl::SetAction>("Action").StoredIf<&TControl::IsActionStored>(),
        Prop<&TControl::Cursor, &TControl::SetCursor>("Cursor").WithDefault(crDefault),
        Prop<&TControl::OnClick>("OnClick"),
        Prop<&TControl::OnDblClick>("OnDblClick"),
        Prop<&TControl::OnMouseDown>("OnMouseDown"),
        Prop<&TControl::OnMouseMove>("OnMouseMove"),
        Prop<&TControl::OnMouseUp>("OnMouseUp"),
        Prop<&TControl::OnMouseEnter>("OnMouseEnter"),
        Prop<&TControl::OnMouseLeave>("OnMouseLeave"),
        Prop<&TControl::PopupMenu, &TControl::SetPopupMenu>("PopupMenu"),
        Prop<&TControl::OnContextPopup>("OnContextPopup"),
        Prop<&TControl::DragCursor, &TControl::SetDragCursor>("DragCursor").WithDefault(crDrag),
        Prop<&TControl::DragKind, &TControl::SetDragKind>("DragKind").WithDefault(dkDrag),
        Prop<&TControl::DragMode, &TControl::SetDragMode>("DragMode").WithDefault(dmManual),
        Prop<&TControl::OnStartDrag>("OnStartDrag"),
        Prop<&TControl::OnDragOver>("OnDragOver"),
        Prop<&TControl::OnDragDrop>("OnDragDrop"),
        Prop<&TControl::OnEndDrag>("OnEndDrag"),
        Prop<&TControl::OnStartDock>("OnStartDock"),
        Prop<&TControl::OnEndDock>("OnEndDock"),
    };
    static const TClassInfo info = MakeClassInfo<TControl, TComponent>("TControl", props);
    return info;
}

TControl::TControl(TComponent* owner)
    : TComponent(owner), constraints_(std::make_unique<TSizeConstraints>(this)), font_(std::make_unique<TFont>()) {
    ControlStyle = {csCaptureMouse, csClickEvents, csDoubleClicks};
    font_->OnChange = TNotifyEvent(this, &TControl::FontChanged);
    // Controls made while their owner loads are loading too, until Loaded.
    if (owner && owner->IsLoading())
        BeginLoading();
}

TControl::~TControl() {
    if (freeWatch_)
        freeWatch_->freed_ = true;
    DragControlDestroying(this);
    if (gCaptureControl == this)
        SetMouseCapture(false);
    if (parent_)
        parent_->RemoveControl(this);
}

TComponent* TControl::GetParentComponent() const { return parent_; }

void TControl::SetParent(TWinControl* parent) {
    if (parent == parent_)
        return;
    if (parent == this)
        throw EInvalidOperation("A control cannot be its own parent");
    if (parent_)
        parent_->RemoveControl(this);
    if (parent)
        parent->InsertControl(this);
}

void TControl::SetBounds(int left, int top, int width, int height) {
    constraints_->Constrain(width, height);
    if (left == left_ && top == top_ && width == width_ && height == height_)
        return;
    Invalidate();
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    Invalidate();
    if (!parent_ || !parent_->aligning_)
        TakeAnchorRules();
    RequestAlign();
}

void TControl::SetAnchors(TAnchors value) {
    anchors_ = value;
    TakeAnchorRules();
}

// A parent without a client area yet (not sized) gives its first laid-out size instead.
void TControl::TakeAnchorRules() {
    anchorBounds_ = BoundsRect();
    anchorRulesTaken_ = false;
    if (!parent_)
        return;
    const TRect client = parent_->ClientRect();
    anchorParentSize_ = SIZE{client.right, client.bottom};
    anchorRulesTaken_ = client.right > 0 || client.bottom > 0;
}

void TControl::FollowAnchors(int parentWidth, int parentHeight) {
    if (!anchorRulesTaken_) {
        TakeAnchorRules();
        return;
    }
    if (anchors_ == TAnchors{akLeft, akTop})
        return;  // nothing moves; bounds changed meanwhile stay
    // Along one axis: the start and size from the rules for the parent's new extent.
    auto follow = [](bool nearSide, bool farSide, int start, int size, int oldExtent, int newExtent) {
        if (nearSide && farSide)
            size += newExtent - oldExtent;
        else if (farSide)
            start += newExtent - oldExtent;
        else if (!nearSide && oldExtent > 0)
            start = MulDiv(start + size / 2, newExtent, oldExtent) - size / 2;
        return std::pair{start, std::max(0, size)};
    };
    const TRect& from = anchorBounds_;
    const auto [left, width] = follow(anchors_.Contains(akLeft), anchors_.Contains(akRight), from.left,
                                      from.right - from.left, anchorParentSize_.cx, parentWidth);
    const auto [top, height] = follow(anchors_.Contains(akTop), anchors_.Contains(akBottom), from.top,
                                      from.bottom - from.top, anchorParentSize_.cy, parentHeight);
    SetBounds(left, top, width, height);
}

void TControl::ConstraintsChanged() {
    int width = width_;
    int height = height_;
    constraints_->Constrain(width, height);
    SetBounds(left_, top_, width, height);
}

TPoint TControl::ClientToScreen(TPoint point) const {
    if (IsWindowed()) {
        auto self = static_cast<const TWinControl*>(this);
        if (self->HandleAllocated()) {
            ::ClientToScreen(self->WindowHandle(), &point);
            return point;
        }
    }
    point.x += left_;
    point.y += top_;
    return parent_ ? parent_->ClientToScreen(point) : point;
}

TPoint TControl::ScreenToClient(TPoint point) const {
    TPoint origin = ClientToScreen(TPoint{0, 0});
    return TPoint{point.x - origin.x, point.y - origin.y};
}

void TControl::SetClientSize(int width, int height) {
    TRect client = ClientRect();
    SetBounds(left_, top_, width_ + width - client.right, height_ + height - client.bottom);
}

void TControl::SetAlign(TAlign align) {
    if (align == align_)
        return;
    align_ = align;
    // Leaving the alignment frees its place for the siblings too.
    if (parent_)
        parent_->Realign();
}

void TControl::RequestAlign() {
    if (parent_ && align_ != alNone)
        parent_->Realign();
}

bool TControl::Showing() const {
    if (!visible_)
        return false;
    if (parent_)
        return parent_->Showing();
    if (!IsWindowed())
        return false;
    auto self = static_cast<const TWinControl*>(this);
    return self->HandleAllocated() && IsWindowVisible(self->WindowHandle());
}

void TControl::SetVisible(bool visible) {
    if (visible == visible_)
        return;
    Invalidate();
    visible_ = visible;
    Invalidate();
    if (!visible && parent_ && parent_->mouseControl_ == this) {
        parent_->mouseControl_ = nullptr;
        Perform(CM_MOUSELEAVE);
    }
    Perform(CM_VISIBLECHANGED, visible);
    if (parent_ && (align_ != alNone || hostDockSite_))
        parent_->Realign();
}

void TControl::ManualDock(TWinControl* site) {
    if (site == hostDockSite_)
        return;
    if (site && !site->DockSite())
        throw EInvalidOperation("The control to dock into is not a dock site");
    SetParent(site);  // leaving the old site undocks
    if (!site)
        return;
    hostDockSite_ = site;
    site->dockClients_.push_back(this);
    site->dockManager_->InsertControl(this);
    site->Realign();
    site->Invalidate();
}

void TControl::SetEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    Perform(CM_ENABLEDCHANGED);
}

void TControl::SetColor(TColor color) {
    parentColor_ = false;
    if (color == color_)
        return;
    color_ = color;
    Perform(CM_COLORCHANGED);
}

void TControl::SetParentColor(bool value) {
    parentColor_ = value;
    if (value)
        ParentColorChanged();
}

void TControl::ParentColorChanged() {
    if (!parentColor_ || !parent_ || parent_->Color() == color_)
        return;
    color_ = parent_->Color();
    Perform(CM_COLORCHANGED);
}

void TControl::SetParentFont(bool value) {
    parentFont_ = value;
    if (value)
        ParentFontChanged();
}

void TControl::ParentFontChanged() {
    if (!parentFont_ || !parent_)
        return;
    updatingFont_ = true;
    try {
        font_->Assign(*parent_->Font());
    } catch (...) {
        updatingFont_ = false;
        throw;
    }
    updatingFont_ = false;
}

void TControl::FontChanged(TObject*) {
    if (!updatingFont_)
        parentFont_ = false;
    Perform(CM_FONTCHANGED);
}

void TControl::SetBiDiMode(TBiDiMode value) {
    parentBiDiMode_ = false;
    if (value == biDiMode_)
        return;
    biDiMode_ = value;
    Perform(CM_BIDIMODECHANGED);
}

void TControl::SetParentBiDiMode(bool value) {
    parentBiDiMode_ = value;
    if (value)
        ParentBiDiModeChanged();
}

void TControl::ParentBiDiModeChanged() {
    if (!parentBiDiMode_ || !parent_ || parent_->BiDiMode() == biDiMode_)
        return;
    biDiMode_ = parent_->BiDiMode();
    Perform(CM_BIDIMODECHANGED);
}

void TControl::SetShowHint(bool value) {
    parentShowHint_ = false;
    if (value == showHint_)
        return;
    showHint_ = value;
    Perform(CM_SHOWHINTCHANGED);
}

void TControl::SetParentShowHint(bool value) {
    parentShowHint_ = value;
    if (value)
        ParentShowHintChanged();
}

void TControl::ParentShowHintChanged() {
    if (!parentShowHint_ || !parent_ || parent_->ShowHint() == showHint_)
        return;
    showHint_ = parent_->ShowHint();
    Perform(CM_SHOWHINTCHANGED);
}

UINT TControl::DrawTextBiDiModeFlags(UINT flags) const {
    if (UseRightToLeftAlignment()) {
        if (flags & DT_RIGHT)
            flags &= ~DT_RIGHT;
        else if (!(flags & DT_CENTER))
            flags |= DT_RIGHT;
    }
    return flags | DrawTextBiDiModeFlagsReadingOnly();
}

bool TControl::IsColorStored() const { return !parentColor_; }
bool TControl::IsFontStored() const { return !parentFont_; }

std::string TControl::GetText() const { return text_; }

void TControl::SetText(const std::string& text) {
    if (text == text_)
        return;
    text_ = text;
    Perform(CM_TEXTCHANGED);
}

void TControl::SetCursor(TCursor cursor) {
    if (cursor == cursor_)
        return;
    cursor_ = cursor;
    Perform(CM_CURSORCHANGED);
}

LRESULT TControl::Perform(UINT message, WPARAM wParam, LPARAM lParam) {
    TMessage msg{message, wParam, lParam, 0};
    WndProc(msg);
    return msg.Result;
}

void TControl::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_LBUTTONDOWN:
        WMMouseDown(message, mbLeft, false);
        break;
    case WM_LBUTTONDBLCLK:
        WMMouseDown(message, mbLeft, true);
        break;
    case WM_RBUTTONDOWN:
        WMMouseDown(message, mbRight, false);
        break;
    case WM_RBUTTONDBLCLK:
        WMMouseDown(message, mbRight, true);
        break;
    case WM_MBUTTONDOWN:
        WMMouseDown(message, mbMiddle, false);
        break;
    case WM_MBUTTONDBLCLK:
        WMMouseDown(message, mbMiddle, true);
        break;
    case WM_LBUTTONUP:
        WMMouseUp(message, mbLeft);
        break;
    case WM_RBUTTONUP:
        WMMouseUp(message, mbRight);
        break;
    case WM_MBUTTONUP:
        WMMouseUp(message, mbMiddle);
        break;
    case WM_MOUSEMOVE:
        WMMouseMove(message);
        break;
    case CM_MOUSEENTER:
        CMMouseEnter(message);
        break;
    case CM_MOUSELEAVE:
        CMMouseLeave(message);
        break;
    case WM_CONTEXTMENU:
        WMContextMenu(message);
        break;
    case CM_PARENTCOLORCHANGED:
        ParentColorChanged();
        break;
    case CM_PARENTFONTCHANGED:
        ParentFontChanged();
        break;
    case CM_PARENTBIDIMODECHANGED:
        ParentBiDiModeChanged();
        break;
    case CM_PARENTSHOWHINTCHANGED:
        ParentShowHintChanged();
        break;
    case CM_BIDIMODECHANGED:
        Invalidate();
        break;
    case CM_HITTEST:
        message.Result = HTCLIENT;
        break;
    case CM_ENABLEDCHANGED:
    case CM_COLORCHANGED:
    case CM_FONTCHANGED:
    case CM_TEXTCHANGED:
        Invalidate();
        break;
    default:
        DefaultHandler(message);
        break;
    }
}

void TControl::DefaultHandler(TMessage& message) { message.Result = 0; }

void TControl::WMMouseDown(TMessage& message, TMouseButton button, bool doubleClick) {
    if (button == mbLeft && dragMode_ == dmAutomatic) {
        BeginDragAt(ClientToScreen(PointOf(message.LParam)), true);
        return;
    }
    if (!ControlStyle.Contains(csDoubleClicks))
        doubleClick = false;
    // The native procedure first: it may take the capture and the focus itself. A native
    // button clicks (and its handler may free it) inside that call.
    TFreeWatch watch(*this);
    DefaultHandler(message);
    if (watch.Freed())
        return;
    if (button == mbLeft) {
        if (ControlStyle.Contains(csCaptureMouse))
            SetMouseCapture(true);
        ControlState.Include(csLButtonDown);
        if (ControlStyle.Contains(csClickEvents) && !doubleClick)
            ControlState.Include(csClicked);
    }
    TShiftState shift = ShiftFromKeys(message.WParam);
    if (doubleClick) {
        shift.Include(ssDouble);
        DblClick();
        if (watch.Freed())
            return;
    }
    TPoint point = PointOf(message.LParam);
    MouseDown(button, shift, point.x, point.y);
}

void TControl::WMMouseUp(TMessage& message, TMouseButton button) {
    // The native procedure first: releasing the capture before it would cancel a native press.
    // A native button clicks inside it, and the click's handler may free the button.
    TFreeWatch watch(*this);
    DefaultHandler(message);
    if (watch.Freed())
        return;
    bool clicked = false;
    if (button == mbLeft) {
        clicked = ControlState.Contains(csClicked);
        ControlState.Exclude(csClicked).Exclude(csLButtonDown);
        if (MouseCapture())
            SetMouseCapture(false);
    }
    TPoint point = PointOf(message.LParam);
    TRect client = ClientRect();
    // Click (OnClick) comes before MouseUp (OnMouseUp).
    if (clicked && PtInRect(&client, point)) {
        Click();
        if (watch.Freed())
            return;
    }
    MouseUp(button, ShiftFromKeys(message.WParam), point.x, point.y);
}

void TControl::WMMouseMove(TMessage& message) {
    DefaultHandler(message);
    TPoint point = PointOf(message.LParam);
    MouseMove(ShiftFromKeys(message.WParam), point.x, point.y);
}

void TControl::CMMouseEnter(TMessage&) {
    OnMouseEnter(this);
    Application.HintMouseEnter(this);
}

// A windowless child under the point may answer first (it says so with a nonzero result);
// then OnContextPopup, then the popup menu. Unhandled requests go on to the default handler,
// which passes a child window's request to its parent window.
void TControl::WMContextMenu(TMessage& message) {
    TPoint screen = PointOf(message.LParam);
    const bool fromKeyboard = screen.x == -1 && screen.y == -1;
    if (!fromKeyboard && IsWindowed()) {
        if (TControl* child = static_cast<TWinControl*>(this)->ControlAtPos(ScreenToClient(screen))) {
            if (child->Perform(WM_CONTEXTMENU, message.WParam, message.LParam)) {
                message.Result = 1;
                return;
            }
        }
    }
    bool handled = false;
    DoContextPopup(fromKeyboard ? TPoint{-1, -1} : ScreenToClient(screen), handled);
    if (!handled && popupMenu_ && popupMenu_->AutoPopup()) {
        if (fromKeyboard) {
            TRect client = ClientRect();
            screen = ClientToScreen(TPoint{(client.left + client.right) / 2, (client.top + client.bottom) / 2});
        }
        popupMenu_->SetPopupComponent(this);
        popupMenu_->Popup(screen.x, screen.y);
        handled = true;
    }
    if (handled)
        message.Result = 1;
    else
        DefaultHandler(message);
}

void TControl::DoContextPopup(TPoint mousePos, bool& handled) { OnContextPopup(this, mousePos, handled); }

// The free-notification link may be shared with the menu's own reference to this control,
// so it stays when the reference changes; Notification compares before it clears.
void TControl::SetPopupMenu(TPopupMenu* menu) {
    popupMenu_ = menu;
    if (menu)
        menu->FreeNotification(this);
}

void TControl::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == popupMenu_)
        popupMenu_ = nullptr;
}

void TControl::CMMouseLeave(TMessage&) {
    OnMouseLeave(this);
    Application.HintMouseLeave(this);
}

void TControl::Click() {
    if (OnClick)
        OnClick(this);
    else if (actionLink_)
        actionLink_->Execute();
}

void TControl::SetAction(TAction* action) {
    if (!action) {
        actionLink_.reset();
        return;
    }
    if (!actionLink_)
        actionLink_ = CreateActionLink();
    actionLink_->SetAction(action);
    ActionChange(action, action->IsLoading());
}

std::unique_ptr<TControlActionLink> TControl::CreateActionLink() { return std::make_unique<TControlActionLink>(*this); }

void TControl::ActionChange(TAction* sender, bool checkDefaults) {
    if (!checkDefaults || Caption().empty())
        SetCaption(sender->Caption());
    if (!checkDefaults || Enabled())
        SetEnabled(sender->Enabled());
    if (!checkDefaults || Hint().empty())
        SetHint(sender->Hint());
    if (!checkDefaults || Visible())
        SetVisible(sender->Visible());
}
void TControl::DblClick() { OnDblClick(this); }
void TControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y) { OnMouseDown(this, button, shift, x, y); }
void TControl::MouseMove(TShiftState shift, int x, int y) { OnMouseMove(this, shift, x, y); }
void TControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y) { OnMouseUp(this, button, shift, x, y); }

void TControl::Invalidate() {
    if (visible_ && parent_ && parent_->HandleAllocated()) {
        TRect rect = BoundsRect();
        InvalidateRect(parent_->WindowHandle(), &rect, TRUE);
    }
}

void TControl::Repaint() {
    Invalidate();
    Update();
}

void TControl::Update() {
    if (parent_)
        parent_->Update();
}

void TControl::BringToFront() {
    if (!parent_)
        return;
    auto& list = parent_->controls_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    list.push_back(this);
    if (IsWindowed()) {
        auto self = static_cast<TWinControl*>(this);
        if (self->HandleAllocated())
            SetWindowPos(self->WindowHandle(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    } else {
        Invalidate();
    }
}

bool TControl::MouseCapture() const { return gCaptureControl == this; }

void TControl::SetMouseCapture(bool capture) {
    if (capture == MouseCapture())
        return;
    HWND window = nullptr;
    if (IsWindowed())
        window = static_cast<TWinControl*>(this)->WindowHandle();
    else if (parent_)
        window = parent_->WindowHandle();
    if (capture) {
        gCaptureControl = this;
        if (window)
            SetCapture(window);
    } else {
        gCaptureControl = nullptr;
        if (window && GetCapture() == window)
            ReleaseCapture();
    }
}

void TControl::Loaded() {
    TComponent::Loaded();
    ParentColorChanged();
    ParentFontChanged();
    ParentBiDiModeChanged();
    ParentShowHintChanged();
}

// ---- TWinControl ----------------------------------------------------------------------

const TClassInfo& TWinControl::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TWinControl::TabOrder, &TWinControl::SetTabOrder>("TabOrder"),
        Prop<&TWinControl::TabStop>("TabStop").WithDefault(false),
        Prop<&TWinControl::Ctl3D, &TWinControl::SetCtl3D>("Ctl3D").StoredIf<&TWinControl::IsCtl3DStored>(),
        Prop<&TWinControl::ParentCtl3D, &TWinControl::SetParentCtl3D>("ParentCtl3D").WithDefault(true),
        Prop<&TWinControl::DockSite, &TWinControl::SetDockSite>("DockSite").WithDefault(false),
        Prop<&TWinControl::OnKeyDown>("OnKeyDown"),
        Prop<&TWinControl::OnKeyPress>("OnKeyPress"),
        Prop<&TWinControl::OnKeyUp>("OnKeyUp"),
        Prop<&TWinControl::OnDockOver>("OnDockOver"),
        Prop<&TWinControl::OnDockDrop>("OnDockDrop"),
        Prop<&TWinControl::OnUnDock>("OnUnDock"),
    };
    static const TClassInfo info = MakeClassInfo<TWinControl, TControl>("TWinControl", props);
    return info;
}

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {
    brush_.SetColor(Color());
}

TWinControl::~TWinControl() {
    DestroyHandle();
    // The children outlive this part of the object (their owner frees them later): they
    // must not call back into it.
    for (TControl* control : controls_) {
        control->parent_ = nullptr;
        control->hostDockSite_ = nullptr;
    }
    controls_.clear();
    dockClients_.clear();
    tabList_.clear();
}

HWND TWinControl::Handle() {
    if (!handle_) {
        if (Parent())
            Parent()->HandleNeeded();  // makes this window too
        if (!handle_)
            CreateHandle();
    }
    return handle_;
}

void TWinControl::CreateHandle() {
    CreateWnd();
    for (TControl* control : controls_) {
        if (control->IsWindowed()) {
            auto child = static_cast<TWinControl*>(control);
            if (!child->handle_)
                child->CreateHandle();
        }
    }
    Realign();
}

void TWinControl::CreateParams(TCreateParams& params) {
    params.Caption = TControl::GetText();
    params.Style = WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
    if (Parent()) {
        params.Style |= WS_CHILD;
        params.WndParent = Parent()->Handle();
    }
    if (Visible())
        params.Style |= WS_VISIBLE;
    if (!Enabled())
        params.Style |= WS_DISABLED;
    if (TabStop)
        params.Style |= WS_TABSTOP;
    params.X = Left();
    params.Y = Top();
    params.Width = Width();
    params.Height = Height();
    params.WinClassName = ClassInfo().Name;
    if (UseRightToLeftReading())
        params.ExStyle |= WS_EX_RTLREADING;
    if (UseRightToLeftScrollBar())
        params.ExStyle |= WS_EX_LEFTSCROLLBAR;
}

void TWinControl::CreateWnd() {
    TCreateParams params;
    CreateParams(params);
    HINSTANCE instance = GetModuleHandleA(nullptr);
    native_ = !params.SysClass.empty();
    const char* className = nullptr;
    if (native_) {
        EnsureCommonControls();
        className = params.SysClass.c_str();
        WNDCLASSA native;
        if (!GetClassInfoA(nullptr, className, &native) && !GetClassInfoA(instance, className, &native))
            RaiseLastOSError();
        classProc_ = native.lpfnWndProc;
    } else {
        classProc_ = DefWindowProcA;
        WNDCLASSA existing;
        if (!GetClassInfoA(instance, params.WinClassName.c_str(), &existing)) {
            WNDCLASSA wc{};
            wc.style = params.ClassStyle;
            wc.lpfnWndProc = OwnClassProc;
            wc.hInstance = instance;
            wc.hCursor = params.ClassCursor ? params.ClassCursor : LoadCursorA(nullptr, IDC_ARROW);
            wc.lpszClassName = params.WinClassName.c_str();
            if (!RegisterClassA(&wc))
                RaiseLastOSError();
        }
        className = params.WinClassName.c_str();
    }
    HMENU id = nullptr;
    if ((params.Style & WS_CHILD) && Parent())
        id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(Parent()->nextChildId_++));
    ControlState.Include(csCreating);
    TWinControl* outerChild = std::exchange(gCreatingChild, native_ ? this : nullptr);
    UINT outerChildId = std::exchange(gCreatingChildId, static_cast<UINT>(reinterpret_cast<UINT_PTR>(id)));
    HWND window = CreateWindowExA(params.ExStyle, className, params.Caption.c_str(), params.Style, params.X, params.Y,
                                  params.Width, params.Height, params.WndParent, id, instance,
                                  native_ ? nullptr : this);
    gCreatingChild = outerChild;
    gCreatingChildId = outerChildId;
    ControlState.Exclude(csCreating);
    if (!window)
        RaiseLastOSError();
    if (native_)
        Attach(window);
    SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(Font()->Handle()), FALSE);
}

void TWinControl::Attach(HWND window) {
    handle_ = window;
    SetWindowSubclass(window, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
}

void TWinControl::Detached() {
    handle_ = nullptr;
    // The mouse has left with the window: a hint shown for it or a windowless child goes.
    if (mouseControl_)
        Application.HintMouseLeave(mouseControl_);
    if (mouseInWindow_)
        Application.HintMouseLeave(this);
    mouseInWindow_ = false;
    mouseControl_ = nullptr;
    if (gCaptureControl && (gCaptureControl == this || gCaptureControl->parent_ == this))
        gCaptureControl = nullptr;
}

TWinControl* TWinControl::FindControl(HWND window) {
    if (!window)
        return nullptr;
    // Windows of our own classes keep their control in the user data (another copy of this
    // program has the same class procedure: only windows of this process count).
    DWORD process = 0;
    if (!GetWindowThreadProcessId(window, &process) || process != GetCurrentProcessId())
        return nullptr;
    if (GetClassLongPtrA(window, GCLP_WNDPROC) == reinterpret_cast<ULONG_PTR>(&OwnClassProc))
        return reinterpret_cast<TWinControl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    // The import library lacks GetWindowSubclass: found by name, or by its ordinal 411.
    using GetSubclass = BOOL(WINAPI*)(HWND, SUBCLASSPROC, UINT_PTR, DWORD_PTR*);
    static const GetSubclass getSubclass = [] {
        HMODULE module = GetModuleHandleA("comctl32.dll");
        FARPROC proc = GetProcAddress(module, "GetWindowSubclass");
        if (!proc)
            proc = GetProcAddress(module, MAKEINTRESOURCEA(411));
        return reinterpret_cast<GetSubclass>(reinterpret_cast<void*>(proc));
    }();
    DWORD_PTR data = 0;
    if (getSubclass && getSubclass(window, SubclassProc, kSubclassId, &data))
        return reinterpret_cast<TWinControl*>(data);
    return nullptr;
}

// The window procedure of our own classes: the control is in the user data from WM_NCCREATE
// on (messages before it get the default handling). No subclass is needed for these.
LRESULT CALLBACK TWinControl::OwnClassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto control = reinterpret_cast<TWinControl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        control = static_cast<TWinControl*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(control));
        if (control)
            control->handle_ = window;
    }
    if (!control)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        if (control->handle_ == window)
            control->Detached();
        return DefWindowProcA(window, message, wParam, lParam);
    }
    return Dispatch(control, window, message, wParam, lParam);
}

// Native classes: the subclass goes on right after CreateWindowEx.
LRESULT CALLBACK TWinControl::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                           DWORD_PTR data) {
    auto control = reinterpret_cast<TWinControl*>(data);
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(window, SubclassProc, kSubclassId);
        if (control->handle_ == window)
            control->Detached();
        return DefSubclassProc(window, message, wParam, lParam);
    }
    return Dispatch(control, window, message, wParam, lParam);
}

// The trampoline: no exception leaves it.
LRESULT TWinControl::Dispatch(TWinControl* control, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TMessage msg{message, wParam, lParam, 0};
    TFreeWatch watch(*control);  // a handler may free the control
    HWND outerWindow = std::exchange(control->dispatchingWindow_, window);
    const TMessage* outerMessage = std::exchange(control->windowMessage_, &msg);
    try {
        control->WndProc(msg);
    } catch (...) {
        HandleWindowException(watch.Freed() ? nullptr : control);
    }
    if (!watch.Freed()) {
        control->dispatchingWindow_ = outerWindow;
        control->windowMessage_ = outerMessage;
    }
    return msg.Result;
}

void TWinControl::DestroyHandle() {
    if (!handle_)
        return;
    for (TControl* control : controls_)
        if (control->IsWindowed())
            static_cast<TWinControl*>(control)->DestroyHandle();
    SaveWindowState();
    DestroyWnd();
}

void TWinControl::SaveWindowState() {
    int length = GetWindowTextLengthA(handle_);
    std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(handle_, text.data(), length + 1)));
    TControl::text_ = text;
}

void TWinControl::DestroyWnd() {
    HWND window = handle_;
    DestroyWindow(window);
    if (handle_ == window)  // a window that was not ours to destroy
        Detached();
}

void TWinControl::RecreateWnd() {
    if (!handle_)
        return;
    ControlState.Include(csRecreating);
    try {
        DestroyHandle();
        HandleNeeded();
    } catch (...) {
        ControlState.Exclude(csRecreating);
        throw;
    }
    ControlState.Exclude(csRecreating);
}

void TWinControl::InsertControl(TControl* control) {
    controls_.push_back(control);
    control->parent_ = this;
    // Before the child's window is made: the mode and the 3-D look shape its styles.
    control->ParentBiDiModeChanged();
    if (control->IsWindowed()) {
        auto child = static_cast<TWinControl*>(control);
        child->ParentCtl3DChanged();
        tabList_.push_back(child);
        if (child->handle_ && handle_)
            ::SetParent(child->handle_, handle_);
        else if (child->handle_)
            child->DestroyHandle();
        else if (handle_)
            child->CreateHandle();
    }
    control->ParentColorChanged();
    control->ParentFontChanged();
    control->ParentShowHintChanged();
    control->TakeAnchorRules();
    control->Invalidate();
    control->RequestAlign();
}

void TWinControl::RemoveControl(TControl* control) {
    auto found = std::find(controls_.begin(), controls_.end(), control);
    if (found == controls_.end())
        return;
    if (TCustomForm* form = GetParentForm(this))
        form->ControlRemoving(control);
    if (mouseControl_ == control)
        mouseControl_ = nullptr;
    // A windowless child captures through this window: released while it is still the parent.
    if (gCaptureControl == control)
        control->SetMouseCapture(false);
    control->Invalidate();
    if (control->IsWindowed()) {
        auto child = static_cast<TWinControl*>(control);
        child->DestroyHandle();
        tabList_.erase(std::remove(tabList_.begin(), tabList_.end(), child), tabList_.end());
    }
    controls_.erase(std::find(controls_.begin(), controls_.end(), control));
    control->parent_ = nullptr;
    if (control->hostDockSite_ == this) {
        control->hostDockSite_ = nullptr;
        std::erase(dockClients_, control);
        if (dockManager_)
            dockManager_->RemoveControl(control);
        Realign();
        Invalidate();
    }
    if (control->Align() != alNone)
        Realign();
}

void TWinControl::SetDockSite(bool value) {
    if (value == dockSite_)
        return;
    if (!value)
        while (!dockClients_.empty())
            dockClients_.back()->ManualDock(nullptr);
    dockSite_ = value;
    dockManager_ = value ? CreateDockManager() : nullptr;
    Invalidate();
}

std::unique_ptr<TDockManager> TWinControl::CreateDockManager() { return std::make_unique<TDockTree>(*this); }

TControl* TWinControl::ControlAtPos(TPoint point) const {
    for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
        TControl* control = *it;
        if (control->IsWindowed() || !control->Visible() || !control->Enabled())
            continue;
        TRect bounds = control->BoundsRect();
        if (!PtInRect(&bounds, point))
            continue;
        LPARAM local = MAKELPARAM(point.x - bounds.left, point.y - bounds.top);
        if (control->Perform(CM_HITTEST, 0, local) != 0)
            return control;
    }
    return nullptr;
}

bool TWinControl::ContainsControl(const TControl* control) const {
    for (; control; control = control->Parent())
        if (control == this)
            return true;
    return false;
}

LRESULT TWinControl::Broadcast(UINT message, WPARAM wParam, LPARAM lParam) {
    // A copy: a handler may add or remove children.
    std::vector<TControl*> children = controls_;
    for (TControl* control : children)
        if (LRESULT result = control->Perform(message, wParam, lParam))
            return result;
    return 0;
}

TRect TWinControl::ClientRect() const {
    if (!handle_)
        return ClientRectFromBounds();
    TRect rect;
    GetClientRect(handle_, &rect);
    return rect;
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
    Constraints()->Constrain(width, height);
    if (left == Left() && top == Top() && width == Width() && height == Height())
        return;
    if (handle_) {
        // WM_WINDOWPOSCHANGED brings the fields and the layout up to date.
        SetWindowPos(handle_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
        UpdateBoundsFromWindow();
    } else {
        bool resized = width != Width() || height != Height();
        TControl::SetBounds(left, top, width, height);
        if (resized)
            Realign();
        return;
    }
    RequestAlign();
}

void TWinControl::UpdateBoundsFromWindow() {
    if (!handle_ || IsIconic(handle_))
        return;
    TRect rect;
    GetWindowRect(handle_, &rect);
    if (GetWindowLongPtrA(handle_, GWL_STYLE) & WS_CHILD)
        MapWindowPoints(nullptr, GetParent(handle_), reinterpret_cast<POINT*>(&rect), 2);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    bool resized = width != Width() || height != Height();
    bool moved = rect.left != Left() || rect.top != Top();
    left_ = rect.left;
    top_ = rect.top;
    width_ = width;
    height_ = height;
    // Placed by anything but its parent's layout (SetBounds, the window itself): the anchors
    // measure from here.
    if ((moved || resized) && (!Parent() || !Parent()->aligning_))
        TakeAnchorRules();
    if (resized)
        Realign();
}

std::string TWinControl::GetText() const {
    if (!handle_)
        return TControl::GetText();
    int length = GetWindowTextLengthA(handle_);
    std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(handle_, text.data(), length + 1)));
    return text;
}

void TWinControl::SetText(const std::string& text) {
    if (handle_)
        SetWindowTextA(handle_, text.c_str());  // WM_SETTEXT sends CM_TEXTCHANGED
    else
        TControl::SetText(text);
}

void TWinControl::WMSetText(TMessage& message) {
    std::string before = GetText();
    DefaultHandler(message);
    std::string after = GetText();
    TControl::text_ = after;
    if (after != before)
        Perform(CM_TEXTCHANGED);
}

void TWinControl::SetVisible(bool visible) {
    if (visible == Visible())
        return;
    SetVisibleField(visible);
    if (handle_)
        ShowWindow(handle_, visible ? SW_SHOWNA : SW_HIDE);
    else if (visible && Parent() && Parent()->HandleAllocated())
        HandleNeeded();
    Perform(CM_VISIBLECHANGED, visible);
    if (Parent() && (Align() != alNone || HostDockSite()))
        Parent()->Realign();
}

void TWinControl::SetCtl3D(bool value) {
    parentCtl3D_ = false;
    if (value == ctl3D_)
        return;
    ctl3D_ = value;
    Perform(CM_CTL3DCHANGED);
}

void TWinControl::SetParentCtl3D(bool value) {
    parentCtl3D_ = value;
    if (value)
        ParentCtl3DChanged();
}

void TWinControl::ParentCtl3DChanged() {
    if (!parentCtl3D_ || !Parent() || Parent()->Ctl3D() == ctl3D_)
        return;
    ctl3D_ = Parent()->Ctl3D();
    Perform(CM_CTL3DCHANGED);
}

// The system sends colour and settings changes to top-level windows only; the controls inside
// need them too (native ones refresh their cached colours and metrics), each after its parent.
void TWinControl::ForwardToControls(const TMessage& message) {
    for (TControl* control : std::vector<TControl*>(controls_))
        control->Perform(message.Msg, message.WParam, message.LParam);
}

void TWinControl::SetEnabled(bool enabled) {
    if (enabled == Enabled())
        return;
    enabled_ = enabled;
    if (handle_)
        EnableWindow(handle_, enabled);
    Perform(CM_ENABLEDCHANGED);
}

void TWinControl::Invalidate() {
    if (handle_)
        InvalidateRect(handle_, nullptr, TRUE);
}

void TWinControl::Update() {
    if (handle_)
        UpdateWindow(handle_);
}

void TWinControl::Realign() {
    if (alignDisabled_ || aligning_ || IsLoading())
        return;
    TFlagGuard guard(aligning_);
    TRect rect = ClientRect();
    AdjustClientRect(rect);
    AlignControls(nullptr, rect);
    AnchorControls();
    if (dockManager_)
        dockManager_->ResetBounds(rect);
}

void TWinControl::EnableAlign() {
    if (alignDisabled_ > 0 && --alignDisabled_ == 0)
        Realign();
}

// Each alignment in turn, and within one the children in the order they were inserted.
void TWinControl::AlignControls(TControl*, TRect& rect) {
    for (TAlign align : {alTop, alBottom, alLeft, alRight, alClient}) {
        for (TControl* control : std::vector<TControl*>(controls_)) {
            if (control->Align() != align || !control->Visible())
                continue;
            int width = std::max<int>(0, rect.right - rect.left);
            int height = std::max<int>(0, rect.bottom - rect.top);
            switch (align) {
            case alTop:
                control->SetBounds(rect.left, rect.top, width, control->Height());
                rect.top += control->Height();
                break;
            case alBottom:
                control->SetBounds(rect.left, rect.bottom - control->Height(), width, control->Height());
                rect.bottom -= control->Height();
                break;
            case alLeft:
                control->SetBounds(rect.left, rect.top, control->Width(), height);
                rect.left += control->Width();
                break;
            case alRight:
                control->SetBounds(rect.right - control->Width(), rect.top, control->Width(), height);
                rect.right -= control->Width();
                break;
            case alClient:
                control->SetBounds(rect.left, rect.top, width, height);
                break;
            case alNone:
                break;
            }
        }
    }
}

void TWinControl::AnchorControls() {
    const TRect client = ClientRect();
    for (TControl* control : std::vector<TControl*>(controls_))
        if (control->Align() == alNone && control->HostDockSite() != this)
            control->FollowAnchors(client.right, client.bottom);
}

int TWinControl::TabOrder() const {
    if (!Parent())
        return -1;
    const auto& list = Parent()->tabList_;
    auto found = std::find(list.begin(), list.end(), this);
    return found == list.end() ? -1 : static_cast<int>(found - list.begin());
}

void TWinControl::SetTabOrder(int order) {
    if (!Parent())
        return;
    auto& list = Parent()->tabList_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    order = std::clamp(order, 0, static_cast<int>(list.size()));
    list.insert(list.begin() + order, this);
}

void TWinControl::GetTabOrderList(std::vector<TWinControl*>& list) const {
    for (TWinControl* child : tabList_) {
        list.push_back(child);
        child->GetTabOrderList(list);
    }
}

bool TWinControl::CanFocus() const {
    for (const TControl* control = this; control; control = control->Parent())
        if (!control->Visible() || !control->Enabled())
            return false;
    return true;
}

bool TWinControl::Focused() const { return handle_ && GetFocus() == handle_; }

void TWinControl::SetFocus() {
    if (!CanFocus())
        throw EInvalidOperation("Cannot focus a disabled or invisible window");
    if (TCustomForm* form = GetParentForm(this); form && form != this && !form->Visible()) {
        form->SetActiveControl(this);  // focused when the form shows
        return;
    }
    ::SetFocus(Handle());
}

void TWinControl::Loaded() {
    TControl::Loaded();
    ParentCtl3DChanged();
    Realign();
}

void TWinControl::WndProc(TMessage& message) {
    if (ReflectedMessage(message.Msg) && ReflectNotification(message))
        return;
    if (IsMouseMessage(message.Msg)) {
        if (message.Msg == WM_MOUSEMOVE && !TrackMouse(message))
            return;
        if (message.Msg == WM_LBUTTONDOWN && dockManager_ &&
            dockManager_->MouseDown(TPoint{GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam)}))
            return;
        RouteMouse(message);
        return;
    }
    switch (message.Msg) {
    case WM_PAINT:
        WMPaint(message);
        return;
    case WM_ERASEBKGND:
        WMEraseBkgnd(message);
        return;
    case WM_SETCURSOR:
        WMSetCursor(message);
        return;
    case WM_SETTEXT:
        WMSetText(message);
        return;
    case WM_SETFOCUS:
        WMFocus(message, true);
        return;
    case WM_WINDOWPOSCHANGED:
        DefaultHandler(message);
        UpdateBoundsFromWindow();
        return;
    case WM_GETMINMAXINFO:
        DefaultHandler(message);
        WMGetMinMaxInfo(*reinterpret_cast<MINMAXINFO*>(message.LParam));
        return;
    case WM_MOUSELEAVE:
        mouseInWindow_ = false;
        if (TControl* inner = std::exchange(mouseControl_, nullptr))
            inner->Perform(CM_MOUSELEAVE);
        Perform(CM_MOUSELEAVE);
        return;
    case WM_CAPTURECHANGED:
        if (gCaptureControl && (gCaptureControl == this || gCaptureControl->parent_ == this) &&
            reinterpret_cast<HWND>(message.LParam) != handle_)
            gCaptureControl = nullptr;
        DefaultHandler(message);
        return;
    case CN_KEYDOWN:
    case CN_SYSKEYDOWN:
        CNKeyDown(message);
        return;
    case CN_CHAR:
    case CN_SYSCHAR:
        CNChar(message);
        return;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP:
        WMKey(message);
        return;
    case WM_CHAR:
        WMChar(message);
        return;
    case CN_CTLCOLORMSGBOX:
    case CN_CTLCOLOREDIT:
    case CN_CTLCOLORLISTBOX:
    case CN_CTLCOLORBTN:
    case CN_CTLCOLORDLG:
    case CN_CTLCOLORSCROLLBAR:
    case CN_CTLCOLORSTATIC:
        CNCtlColor(message);
        return;
    case CM_COLORCHANGED:
        brush_.SetColor(Color());
        Invalidate();
        for (TControl* control : std::vector<TControl*>(controls_))
            control->Perform(CM_PARENTCOLORCHANGED);
        return;
    case CM_FONTCHANGED:
        if (handle_)
            SendMessageA(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(Font()->Handle()), TRUE);
        for (TControl* control : std::vector<TControl*>(controls_))
            control->Perform(CM_PARENTFONTCHANGED);
        return;
    case CM_BIDIMODECHANGED:
        // The reading order and the scroll bar's side are window styles.
        RecreateWnd();
        Invalidate();
        for (TControl* control : std::vector<TControl*>(controls_))
            control->Perform(CM_PARENTBIDIMODECHANGED);
        return;
    case CM_CTL3DCHANGED:
        for (TControl* control : std::vector<TControl*>(controls_))
            control->Perform(CM_PARENTCTL3DCHANGED);
        return;
    case CM_SHOWHINTCHANGED:
        for (TControl* control : std::vector<TControl*>(controls_))
            control->Perform(CM_PARENTSHOWHINTCHANGED);
        return;
    case CM_PARENTCTL3DCHANGED:
        ParentCtl3DChanged();
        return;
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
        DefaultHandler(message);
        ForwardToControls(message);
        return;
    case CM_DIALOGKEY:
    case CM_DIALOGCHAR:
    case CM_FOCUSCHANGED:
        message.Result = Broadcast(message.Msg, message.WParam, message.LParam);
        return;
    default:
        TControl::WndProc(message);
        return;
    }
}

void TWinControl::DefaultHandler(TMessage& message) {
    // Our own messages have no default; the window must exist for the others.
    if (!handle_ || (message.Msg >= CM_BASE && message.Msg <= 0xBFFF)) {
        message.Result = 0;
        return;
    }
    // DefSubclassProc only works inside this window's own subclass call, and passes the message
    // on in the form it came in; a Perform from elsewhere, or one in ANSI form to a Unicode
    // window, goes straight to the class's procedure (CallWindowProcA converts).
    if (!native_)
        message.Result = DefWindowProcA(handle_, message.Msg, message.WParam, message.LParam);
    else if (dispatchingWindow_ == handle_ && (&message == windowMessage_ || !IsWindowUnicode(handle_)))
        message.Result = DefSubclassProc(handle_, message.Msg, message.WParam, message.LParam);
    else
        message.Result = CallWindowProcA(classProc_, handle_, message.Msg, message.WParam, message.LParam);
}

bool TWinControl::ReflectNotification(TMessage& message) {
    HWND from = nullptr;
    switch (message.Msg) {
    case WM_COMMAND:
        from = reinterpret_cast<HWND>(message.LParam);
        break;
    case WM_NOTIFY:
        from = reinterpret_cast<NMHDR*>(message.LParam)->hwndFrom;
        break;
    case WM_DRAWITEM: {
        auto item = reinterpret_cast<DRAWITEMSTRUCT*>(message.LParam);
        if (item->CtlType != ODT_MENU)
            from = item->hwndItem;
        break;
    }
    case WM_MEASUREITEM: {
        auto item = reinterpret_cast<MEASUREITEMSTRUCT*>(message.LParam);
        if (item->CtlType == ODT_MENU || !handle_)
            break;
        // A native child asks while CreateWindowEx is still making it, before it is ours.
        if (gCreatingChild && gCreatingChild->Parent() == this && gCreatingChildId == item->CtlID) {
            message.Result = gCreatingChild->Perform(CN_MEASUREITEM, message.WParam, message.LParam);
            return true;
        }
        from = GetDlgItem(handle_, static_cast<int>(item->CtlID));
        break;
    }
    default:  // WM_CTLCOLOR*
        from = reinterpret_cast<HWND>(message.LParam);
        break;
    }
    TWinControl* child = from && from != handle_ ? ChildWithWindow(from) : nullptr;
    if (!child)
        return false;
    message.Result = child->Perform(ReflectedMessage(message.Msg), message.WParam, message.LParam);
    return true;
}

LRESULT TWinControl::SendToNativeWindow(UINT message, WPARAM wParam, LPARAM lParam) const {
    if (!handle_)
        return 0;
    if (!native_)
        return SendMessageA(handle_, message, wParam, lParam);
    return CallWindowProcA(classProc_, handle_, message, wParam, lParam);
}

bool TWinControl::IsWideMessage(const TMessage& message) const {
    return native_ && &message == windowMessage_ && dispatchingWindow_ && IsWindowUnicode(dispatchingWindow_);
}

// Notifications nearly always come from a direct child: found in the list, else by asking the window.
TWinControl* TWinControl::ChildWithWindow(HWND window) const {
    for (TControl* control : controls_)
        if (control->IsWindowed() && static_cast<TWinControl*>(control)->handle_ == window)
            return static_cast<TWinControl*>(control);
    return FindControl(window);
}

// False when an enter or leave handler freed this control. A child freed by a handler leaves
// mouseControl_ (RemoveControl clears it), so it is not entered afterwards.
bool TWinControl::TrackMouse(TMessage& message) {
    TFreeWatch watch(*this);
    if (handle_ && !mouseInWindow_) {
        mouseInWindow_ = true;
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, handle_, 0};
        TrackMouseEvent(&track);
        Perform(CM_MOUSEENTER);
        if (watch.Freed())
            return false;
    }
    TControl* hover = ControlAtPos(PointOf(message.LParam));
    if (hover == mouseControl_)
        return true;
    if (TControl* old = std::exchange(mouseControl_, hover)) {
        old->Perform(CM_MOUSELEAVE);
        if (watch.Freed())
            return false;
    }
    if (hover && mouseControl_ == hover)
        hover->Perform(CM_MOUSEENTER);
    return !watch.Freed();
}

// A windowless child under the point (or holding the capture) gets the message in its own
// coordinates instead of this control.
void TWinControl::RouteMouse(TMessage& message) {
    TPoint point = PointOf(message.LParam);
    TControl* target = nullptr;
    if (gCaptureControl && gCaptureControl->parent_ == this && !gCaptureControl->IsWindowed())
        target = gCaptureControl;
    else if (gCaptureControl != this)
        target = ControlAtPos(point);
    if (!target) {
        TControl::WndProc(message);
        return;
    }
    LPARAM local = MAKELPARAM(point.x - target->Left(), point.y - target->Top());
    message.Result = target->Perform(message.Msg, message.WParam, local);
}

// The system sizes a top-level window (the user's dragging, a maximised form) within these.
void TWinControl::WMGetMinMaxInfo(MINMAXINFO& info) const {
    const TSizeConstraints& limits = *Constraints();
    if (limits.MinWidth() > 0)
        info.ptMinTrackSize.x = limits.MinWidth();
    if (limits.MinHeight() > 0)
        info.ptMinTrackSize.y = limits.MinHeight();
    if (limits.MaxWidth() > 0)
        info.ptMaxTrackSize.x = info.ptMaxSize.x = limits.MaxWidth();
    if (limits.MaxHeight() > 0)
        info.ptMaxTrackSize.y = info.ptMaxSize.y = limits.MaxHeight();
}

void TWinControl::WMPaint(TMessage& message) {
    if (native_) {
        DefaultHandler(message);
        // The native class painted and validated its area: windowless children go on top.
        bool hasGraphicChildren = std::any_of(controls_.begin(), controls_.end(),
                                              [](TControl* c) { return !c->IsWindowed() && c->Visible(); });
        if (hasGraphicChildren && !message.WParam) {
            TWindowDc dc(handle_);
            PaintControls(dc.Get());
        } else if (hasGraphicChildren) {
            PaintControls(reinterpret_cast<HDC>(message.WParam));
        }
        return;
    }
    if (message.WParam) {
        HDC dc = reinterpret_cast<HDC>(message.WParam);
        PaintWindow(dc);
        PaintControls(dc);
        if (dockManager_)
            dockManager_->PaintSite(dc);
        return;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(handle_, &paint);
    try {
        PaintWindow(dc);
        PaintControls(dc);
        if (dockManager_)
            dockManager_->PaintSite(dc);
    } catch (...) {
        EndPaint(handle_, &paint);
        throw;
    }
    EndPaint(handle_, &paint);
}

void TWinControl::PaintWindow(HDC) {}

void TWinControl::PaintControls(HDC dc) {
    TRect clip;
    if (GetClipBox(dc, &clip) == ERROR)
        return;
    for (TControl* control : controls_) {
        if (control->IsWindowed() || !control->Visible())
            continue;
        TRect bounds = control->BoundsRect();
        TRect overlap;
        if (!IntersectRect(&overlap, &bounds, &clip))
            continue;
        int saved = SaveDC(dc);
        IntersectClipRect(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
        OffsetViewportOrgEx(dc, bounds.left, bounds.top, nullptr);
        try {
            control->Perform(WM_PAINT, reinterpret_cast<WPARAM>(dc), 0);
        } catch (...) {
            RestoreDC(dc, saved);
            throw;
        }
        RestoreDC(dc, saved);
    }
}

void TWinControl::WMEraseBkgnd(TMessage& message) {
    if (native_) {
        DefaultHandler(message);
        return;
    }
    TRect rect = ClientRect();
    FillRect(reinterpret_cast<HDC>(message.WParam), &rect, brush_.Handle());
    message.Result = 1;
}

void TWinControl::WMSetCursor(TMessage& message) {
    if (LOWORD(message.LParam) == HTCLIENT && reinterpret_cast<HWND>(message.WParam) == handle_) {
        TCursor cursor = Screen.Cursor();
        if (cursor == crDefault) {
            POINT point;
            GetCursorPos(&point);
            ::ScreenToClient(handle_, &point);
            TControl* inner = ControlAtPos(point);
            cursor = inner && inner->Cursor() != crDefault ? inner->Cursor() : Cursor();
        }
        if (cursor != crDefault) {
            ::SetCursor(Screen.Cursors(cursor));
            message.Result = TRUE;
            return;
        }
    }
    DefaultHandler(message);
}

LRESULT TWinControl::DialogCode(WPARAM key, UINT message) {
    MSG msg{handle_, message, key, 0, 0, {0, 0}};
    return Perform(WM_GETDLGCODE, key, reinterpret_cast<LPARAM>(&msg));
}

// Tab, Enter, Escape and the arrows go to the form as CM_DIALOGKEY unless the window asks for them.
void TWinControl::CNKeyDown(TMessage& message) {
    WPARAM key = message.WParam;
    bool arrow = key == VK_LEFT || key == VK_RIGHT || key == VK_UP || key == VK_DOWN;
    if (key != VK_TAB && key != VK_RETURN && key != VK_ESCAPE && !arrow)
        return;
    LRESULT code = DialogCode(key, WM_KEYDOWN);
    if ((code & DLGC_WANTALLKEYS) || (key == VK_TAB && (code & DLGC_WANTTAB)) || (arrow && (code & DLGC_WANTARROWS)))
        return;
    if (TCustomForm* form = GetParentForm(this))
        message.Result = form->Perform(CM_DIALOGKEY, key, message.LParam);
}

// Alt+character, or a character the focused window does not take, may be an accelerator.
void TWinControl::CNChar(TMessage& message) {
    TCustomForm* form = GetParentForm(this);
    if (!form)
        return;
    if (message.Msg == CN_CHAR) {
        if (static_cast<unsigned char>(message.WParam) < ' ')
            return;
        if (DialogCode(message.WParam, WM_CHAR) & (DLGC_WANTCHARS | DLGC_WANTALLKEYS))
            return;
    }
    message.Result = form->Perform(CM_DIALOGCHAR, message.WParam, message.LParam);
}

void TWinControl::WMKey(TMessage& message) {
    WORD key = static_cast<WORD>(message.WParam);
    TShiftState shift = KeyboardShiftState();
    bool down = message.Msg == WM_KEYDOWN || message.Msg == WM_SYSKEYDOWN;
    TFreeWatch watch(*this);
    TWinControl* form = GetParentForm(this);
    if (form && form != this && static_cast<TCustomForm*>(form)->KeyPreview)
        down ? form->KeyDown(key, shift) : form->KeyUp(key, shift);
    if (key && !watch.Freed())
        down ? KeyDown(key, shift) : KeyUp(key, shift);
    if (!key || watch.Freed()) {  // taken, or gone with its window
        message.Result = 0;
        return;
    }
    message.WParam = key;
    DefaultHandler(message);
}

void TWinControl::WMChar(TMessage& message) {
    // A Unicode window's character goes to KeyPress in the ANSI code page; one without an
    // ANSI character of its own passes untouched.
    const bool wide = IsWideMessage(message);
    char key = static_cast<char>(message.WParam);
    if (wide) {
        const wchar_t unit = static_cast<wchar_t>(message.WParam);
        BOOL lost = FALSE;
        if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &unit, 1, &key, 1, nullptr, &lost) != 1 || lost) {
            DefaultHandler(message);
            return;
        }
    }
    const char typed = key;
    TFreeWatch watch(*this);
    TWinControl* form = GetParentForm(this);
    if (form && form != this && static_cast<TCustomForm*>(form)->KeyPreview)
        form->KeyPress(key);
    if (key && !watch.Freed())
        KeyPress(key);
    if (!key || watch.Freed()) {  // taken, or gone with its window
        message.Result = 0;
        return;
    }
    if (!wide) {
        message.WParam = static_cast<unsigned char>(key);
    } else if (key != typed) {
        wchar_t unit = 0;
        MultiByteToWideChar(CP_ACP, 0, &key, 1, &unit, 1);
        message.WParam = unit;
    }
    DefaultHandler(message);
}

void TWinControl::KeyDown(WORD& key, TShiftState shift) { OnKeyDown(this, key, shift); }
void TWinControl::KeyPress(char& key) { OnKeyPress(this, key); }
void TWinControl::KeyUp(WORD& key, TShiftState shift) { OnKeyUp(this, key, shift); }

void TWinControl::WMFocus(TMessage& message, bool gained) {
    if (gained)
        if (TCustomForm* form = GetParentForm(this); form && form != this)
            form->SetFocusedControl(this);
    DefaultHandler(message);
}

void TWinControl::CNCtlColor(TMessage& message) {
    HDC dc = reinterpret_cast<HDC>(message.WParam);
    SetTextColor(dc, ColorToRGB(Font()->Color()));
    SetBkColor(dc, ColorToRGB(Color()));
    message.Result = reinterpret_cast<LRESULT>(brush_.Handle());
}

// ---- TGraphicControl, TCustomControl ------------------------------------------------

const TClassInfo& TGraphicControl::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TGraphicControl, TControl>("TGraphicControl", {});
    return info;
}

TGraphicControl::TGraphicControl(TComponent* owner) : TControl(owner) {}

void TGraphicControl::WndProc(TMessage& message) {
    if (message.Msg != WM_PAINT || !message.WParam) {
        TControl::WndProc(message);
        return;
    }
    TCanvasLoan guard(canvas_, reinterpret_cast<HDC>(message.WParam));
    canvas_.Font().Assign(*Font());
    canvas_.Brush().SetColor(Color());
    Paint();
}

const TClassInfo& TCustomControl::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TCustomControl, TWinControl>("TCustomControl", {});
    return info;
}

TCustomControl::TCustomControl(TComponent* owner) : TWinControl(owner) {}

void TCustomControl::PaintWindow(HDC dc) {
    TCanvasLoan guard(canvas_, dc);
    canvas_.Font().Assign(*Font());
    canvas_.Brush().SetColor(Color());
    Paint();
}
