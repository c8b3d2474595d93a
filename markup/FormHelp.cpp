#include "FormHelp.h"

#include "Menus.h"
#include "StdCtrls.h"
#include "SysUtils.h"

#include <windowsx.h>

#include <algorithm>
#include <utility>

namespace {

const char kPopupClass[] = "TFormHelpPopup";

// The thread's mouse hook and the component it serves; one at a time in the process.
HHOOK gMouseHook = nullptr;
TFormHelp* gHookOwner = nullptr;
THelpWindow* gCurrentHelp = nullptr;
THelpTimerFunction gHelpTimerHook;

UINT_PTR StartHelpTimer(HWND window, UINT_PTR id, UINT interval) {
    if (gHelpTimerHook)
        return gHelpTimerHook(window, id, interval);
    return SetTimer(window, id, interval, nullptr);
}

// Fixed help of standard buttons without a hint of their own.
std::string ButtonSentence(const TButton& button) {
    switch (button.ModalResult()) {
    case mrOk:
        return "Closes the dialog box and saves any changes you have made.";
    case mrCancel:
        return "Closes the dialog box without saving any changes you have made.";
    case mrYes:
        return "Closes the dialog box and confirms the question with affirmative response (i.e: allows to "
               "perform requested action).";
    case mrNo:
        return "Closes the dialog box without confirmation of the question. (Negative response, i.e: disallow "
               "to perform requested action.)";
    default:
        break;
    }
    const std::string caption = button.Caption();
    if (caption.find("Apply") != std::string::npos)
        return "Saves all the changes you have made without closing the dialog box.";
    if (caption.find("Help") != std::string::npos)
        return "Click to display an overview of the dialog box.";
    return "";
}

}  // namespace

THelpTimerFunction SetHelpTimerHook(THelpTimerFunction function) {
    return std::exchange(gHelpTimerHook, std::move(function));
}

// ---- persistent parts -----------------------------------------------------------------------

const TClassInfo& TFormHelpMargins::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TFormHelpMargins::Horizontal, &TFormHelpMargins::SetHorizontal>("Horizontal").WithDefault(11),
        Prop<&TFormHelpMargins::Vertical, &TFormHelpMargins::SetVertical>("Vertical").WithDefault(7),
    };
    static const TClassInfo info = MakeClassInfo<TFormHelpMargins, TPersistent>("TFormHelpMargins", props);
    return info;
}

const TClassInfo& TfhTextStyle::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TfhTextStyle::PlainText, &TfhTextStyle::SetPlainText>("PlainText").WithDefault(false),
        Prop<&TfhTextStyle::TagOpen, &TfhTextStyle::SetTagOpen>("TagOpen").WithDefault('['),
        Prop<&TfhTextStyle::TagClose, &TfhTextStyle::SetTagClose>("TagClose").WithDefault(']'),
    };
    static const TClassInfo info = MakeClassInfo<TfhTextStyle, TPersistent>("TTextStyle", props);
    return info;
}

void TfhTextStyle::SetPlainText(bool value) {
    plainText_ = value;
    OnChange(this);
}

void TfhTextStyle::SetTagOpen(char value) {
    tagOpen_ = value;
    OnChange(this);
}

void TfhTextStyle::SetTagClose(char value) {
    tagClose_ = value;
    OnChange(this);
}

const TClassInfo& TWhatsThis::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TWhatsThis::Enabled, &TWhatsThis::SetEnabled>("Enabled").WithDefault(true),
        Prop<&TWhatsThis::Caption, &TWhatsThis::SetCaption>("Caption"),
        Prop<&TWhatsThis::MenuItem, &TWhatsThis::SetMenuItem>("MenuItem"),
        Prop<&TWhatsThis::ToolbarButton, &TWhatsThis::SetToolbarButton>("ToolbarButton"),
    };
    static const TClassInfo info = MakeClassInfo<TWhatsThis, TPersistent>("TWhatsThis", props);
    return info;
}

void TWhatsThis::SetEnabled(bool value) {
    if (enabled_ == value)
        return;
    enabled_ = value;
    if (!help_.IsDesigning())
        help_.InstallHook(value);
}

void TWhatsThis::SetCaption(const std::string& value) {
    caption_ = value;
    help_.RebuildWhatsThisMenu();
}

void TWhatsThis::SetMenuItem(TComponent* value) {
    help_.Remember(menuItem_, value);
    if (menuItem_ && !help_.IsDesigning())
        SetMethodPropByName(*menuItem_, "OnClick", TNotifyEvent(&help_, &TFormHelp::MenuItemClick));
}

void TWhatsThis::SetToolbarButton(TComponent* value) {
    help_.Remember(toolbarButton_, value);
    if (toolbarButton_ && !help_.IsDesigning()) {
        SetIntPropByName(*toolbarButton_, "GroupIndex", kHelpButtonGroup);
        SetEnumPropByName(*toolbarButton_, "AllowAllUp", true);
        SetMethodPropByName(*toolbarButton_, "OnClick", TNotifyEvent(&help_, &TFormHelp::ToolButtonClick));
    }
}

// ---- THelpWindow ------------------------------------------------------------------------------

THelpWindow* THelpWindow::Current() {
    return gCurrentHelp;
}

THelpWindow::THelpWindow(TFormHelp& help, TControl* control, const std::string& text)
    : help_(help), control_(control), text_(text) {}

THelpWindow* THelpWindow::Show(TFormHelp& help, TControl* control, const std::string& text, TPoint position) {
    auto window = new THelpWindow(help, control, text);
    try {
        window->Open(position);
    } catch (...) {
        window->Close();  // frees it
        throw;
    }
    return window;
}

void THelpWindow::Open(TPoint position) {
    savedShowHint_ = Application.ShowHint;
    Application.ShowHint = false;

    TTaggedTextParams params;
    params.Bitmap = &bitmap_;
    TWindowDc screen(nullptr);
    params.Background = screen.Get();
    params.Flags = TRenderFlags{rfWordWrap, rfBox};
    if (help_.AdjustPopupWidth())
        params.Flags.Include(rfAdjustWidth);
    if (help_.ShowShadow())
        params.Flags.Include(rfShadow);
    if (help_.TextStyle()->PlainText())
        params.Flags.Include(rfPlainText);
    params.MarginX = help_.Margins()->Horizontal();
    params.MarginY = help_.Margins()->Vertical();
    params.TagOpen = help_.TextStyle()->TagOpen();
    params.TagClose = help_.TextStyle()->TagClose();
    params.Width = help_.PopupWidth();
    params.Color = help_.Color();
    params.ShadowColor = help_.ShadowColor();
    params.Font = help_.Font();
    params.Text = text_;
    params.Position = &position;
    RenderTaggedText(params);

    menu_ = CreatePopupMenu();
    AppendMenuA(menu_, MF_STRING, kHelpCopyCommand, "&Copy");

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &THelpWindow::WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = Screen.Cursors(help_.Cursor());
    windowClass.lpszClassName = kPopupClass;
    classRegistered_ = RegisterClassA(&windowClass) != 0;
    window_ = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kPopupClass, "", WS_POPUP | WS_VISIBLE, position.x,
                              position.y, bitmap_.Width(), bitmap_.Height(), Application.Handle(), nullptr,
                              GetModuleHandleA(nullptr), this);
    if (!window_)
        RaiseLastOSError();
    if (help_.DelayInterval() != 0 && !StartHelpTimer(window_, 1, help_.DelayInterval()))
        throw EOutOfResources(SNoTimers);
}

THelpWindow::~THelpWindow() = default;

void THelpWindow::Close() {
    if (closing_)
        return;
    closing_ = true;
    if (gCurrentHelp == this)
        gCurrentHelp = nullptr;
    // The window's last messages run while the object is still needed here.
    ++depth_;
    if (window_) {
        KillTimer(window_, 1);
        HWND window = window_;
        DestroyWindow(window);
        window_ = nullptr;
    }
    if (classRegistered_)
        UnregisterClassA(kPopupClass, GetModuleHandleA(nullptr));
    if (menu_)
        DestroyMenu(menu_);
    menu_ = nullptr;
    Application.ShowHint = savedShowHint_;
    TFormHelp& help = help_;
    TControl* control = control_;
    if (--depth_ == 0)
        delete this;
    if (control && help.OnHide)
        help.OnHide(&help, control);
}

LRESULT CALLBACK THelpWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto self = reinterpret_cast<THelpWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_NCDESTROY)
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    LRESULT result = 0;
    ++self->depth_;
    try {
        if (self->window_ == nullptr && !self->closing_)
            self->window_ = window;  // messages of CreateWindowEx
        result = self->HandleMessage(message, wParam, lParam);
    } catch (...) {
        HandleWindowException(nullptr);
    }
    // The object outlives a close from inside its own procedure until here.
    if (--self->depth_ == 0 && self->closing_)
        delete self;
    return result;
}

LRESULT THelpWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = window_;
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        BitBlt(dc, 0, 0, bitmap_.Width(), bitmap_.Height(), bitmap_.Canvas().Handle(), 0, 0, SRCCOPY);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == kHelpCopyCommand) {
            ClipboardSetText(CF_TEXT,
                             StripTags(text_, help_.TextStyle()->TagOpen(), help_.TextStyle()->TagClose()));
            return 0;
        }
        break;
    case WM_RBUTTONDOWN: {
        POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ClientToScreen(window, &point);
        UINT command =
            TrackPopupMenuHandle(menu_, TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY, point.x, point.y, window);
        if (command != 0 && !closing_)
            SendMessageA(window, WM_COMMAND, command, 0);
        return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_KEYDOWN:
    case WM_TIMER:
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
    case WM_QUIT:
    case WM_KILLFOCUS:
    case WM_DESTROY:
        Close();
        return message == WM_QUERYENDSESSION ? TRUE : 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// ---- TFormHelp --------------------------------------------------------------------------------

const TClassInfo& TFormHelp::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TFormHelp::Active, &TFormHelp::SetActive>("Active").WithDefault(true),
        Prop<&TFormHelp::AdjustPopupWidth, &TFormHelp::SetAdjustPopupWidth>("AdjustPopupWidth").WithDefault(true),
        Prop<&TFormHelp::DelayInterval, &TFormHelp::SetDelayInterval>("DelayInterval").WithDefault(0),
        Prop<&TFormHelp::Color, &TFormHelp::SetColor>("Color").WithDefault(0xEEFFFF),
        Prop<&TFormHelp::Cursor, &TFormHelp::SetCursor>("Cursor").WithDefault(crDefault),
        Prop<&TFormHelp::CursorHelp, &TFormHelp::SetCursorHelp>("CursorHelp").WithDefault(crHelp),
        Prop<&TFormHelp::Font, &TFormHelp::SetFont>("Font").StoredIf<&TFormHelp::ParentFontOff>(),
        Prop<&TFormHelp::Margins>("Margins"),
        Prop<&TFormHelp::ParentFont, &TFormHelp::SetParentFont>("ParentFont").WithDefault(true),
        Prop<&TFormHelp::PopupWidth, &TFormHelp::SetPopupWidth>("PopupWidth").WithDefault(300),
        Prop<&TFormHelp::ShadowColor, &TFormHelp::SetShadowColor>("ShadowColor").WithDefault(0),
        Prop<&TFormHelp::ShowShadow, &TFormHelp::SetShowShadow>("ShowShadow").WithDefault(true),
        Prop<&TFormHelp::TextStyle>("TextStyle"),
        Prop<&TFormHelp::UseF1, &TFormHelp::SetUseF1>("UseF1").WithDefault(true),
        Prop<&TFormHelp::WhatsThis>("WhatsThis"),
        Prop<&TFormHelp::OnButtonClick>("OnButtonClick"),
        Prop<&TFormHelp::OnShow>("OnShow"),
        Prop<&TFormHelp::OnHide>("OnHide"),
        Prop<&TFormHelp::OnWhatsThis>("OnWhatsThis"),
    };
    static const TClassInfo info = MakeClassInfo<TFormHelp, TFormHelpButton>("TFormHelp", props);
    return info;
}

TFormHelp::TFormHelp(TComponent* owner)
    : TFormHelpButton(owner),
      font_(std::make_unique<TFont>()),
      margins_(std::make_unique<TFormHelpMargins>()),
      textStyle_(std::make_unique<TfhTextStyle>()),
      whatsThis_(std::make_unique<TWhatsThis>(*this)) {
    CopyParentFont();
    font_->OnChange = TNotifyEvent(this, &TFormHelp::FontChanged);
    GlyphFont().SetName("Marlett");
    SetGlyphChar("s");
    CaptionButton()->SetHint("Help");
    SystemMenu()->SetCaption("&What's This?");
    if (HMENU menu = GetSystemMenuHandle())
        SystemMenu()->SetPosition(GetMenuItemCount(menu));
    SystemMenu()->SetSeparators(TfhMenuSeparators{seBefore});
    whatsThisMenu_ = CreatePopupMenu();
    RebuildWhatsThisMenu();
    whatsThis_->SetEnabled(true);
}

TFormHelp::~TFormHelp() {
    BeforeDestruction();
}

void TFormHelp::BeforeDestruction() {
    whatsThis_->SetEnabled(false);
    if (gCurrentHelp && &gCurrentHelp->Help() == this)
        gCurrentHelp->Close();
    if (whatsThisMenu_) {
        DestroyMenu(whatsThisMenu_);
        whatsThisMenu_ = nullptr;
    }
    Remember(heldButton_, nullptr);
    Remember(rightClickControl_, nullptr);
    Remember(whatsThis_->menuItem_, nullptr);
    Remember(whatsThis_->toolbarButton_, nullptr);
    TFormHelpButton::BeforeDestruction();
}

bool TFormHelp::ParentFontOff() const {
    return !parentFont_;
}

void TFormHelp::SetParentFont(bool value) {
    parentFont_ = value;
    if (value)
        CopyParentFont();
}

void TFormHelp::SetPopupWidth(int value) {
    popupWidth_ = std::clamp(value, 40, 1000);
}

void TFormHelp::CopyParentFont() {
    TCustomForm* form = OwnerForm();
    if (!form)
        return;
    TFlagGuard guard(copyingFont_);
    font_->Assign(*form->Font());
}

void TFormHelp::FontChanged(TObject*) {
    if (!copyingFont_)
        parentFont_ = false;
}

void TFormHelp::Remember(TComponent*& field, TComponent* value) {
    if (field == value)
        return;
    TComponent* old = field;
    field = value;
    // Another field may still refer to the old component.
    if (old && old != heldButton_ && old != rightClickControl_ && old != whatsThis_->menuItem_ &&
        old != whatsThis_->toolbarButton_)
        old->RemoveFreeNotification(this);
    if (value)
        value->FreeNotification(this);
}

void TFormHelp::Notification(TComponent* component, TOperation operation) {
    TFormHelpButton::Notification(component, operation);
    if (operation != opRemove)
        return;
    if (component == heldButton_)
        heldButton_ = nullptr;
    if (component == rightClickControl_)
        rightClickControl_ = nullptr;
    if (component == whatsThis_->menuItem_)
        whatsThis_->menuItem_ = nullptr;
    if (component == whatsThis_->toolbarButton_)
        whatsThis_->toolbarButton_ = nullptr;
}

void TFormHelp::RebuildWhatsThisMenu() {
    if (!whatsThisMenu_)
        return;
    DeleteMenu(whatsThisMenu_, kWhatsThisCommand, MF_BYCOMMAND);
    AppendMenuA(whatsThisMenu_, MF_STRING, kWhatsThisCommand, whatsThis_->Caption().c_str());
}

void TFormHelp::InstallHook(bool install) {
    if (install) {
        if (gMouseHook)
            return;
        gMouseHook = SetWindowsHookExA(WH_MOUSE, &TFormHelp::MouseHook, nullptr, GetCurrentThreadId());
        if (gMouseHook)
            gHookOwner = this;
    } else if (gHookOwner == this) {
        UnhookWindowsHookEx(gMouseHook);
        gMouseHook = nullptr;
        gHookOwner = nullptr;
    }
}

LRESULT CALLBACK TFormHelp::MouseHook(int code, WPARAM wParam, LPARAM lParam) {
    HHOOK hook = gMouseHook;
    if (code >= 0 && wParam == WM_RBUTTONUP && gHookOwner && !gHookOwner->inMenuLoop_) {
        TFormHelp* help = gHookOwner;
        TPoint point = reinterpret_cast<MOUSEHOOKSTRUCT*>(lParam)->pt;
        TControl* control = help->HelpControlAtPos(point);
        help->Remember(help->rightClickControl_, control);
        if (control && !control->PopupMenu() && !control->OnMouseDown && !control->OnMouseUp && help->Hooked())
            PostMessageA(help->HookedWindow(), WM_FHWHATSTHIS, MAKEWPARAM(point.x, point.y), 0);
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

TControl* TFormHelp::HelpControlAtPos(TPoint point) {
    TWinControl* found = ControlAtPos(point, true, false, false);
    if (found && found->HandleAllocated()) {
        char name[32] = "";
        GetClassNameA(found->Handle(), name, sizeof(name));
        if (SameText(name, "TTBToolbar") || SameText(name, "TTBXToolbar")) {
            TPoint client = point;
            ScreenToClient(found->Handle(), &client);
            SendMessageA(found->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(client.x, client.y));
        }
    }
    TControl* control = found;
    GetHelpText(control);
    return control;
}

bool TFormHelp::GetHelpText(TControl*& control) {
    if (!control)
        return false;
    if (GetLongHint(control->Hint()).empty() && control->Tag == 666) {
        if (auto owner = dynamic_cast<TControl*>(control->Owner()))
            control = owner;
    }
    while (control) {
        if (!GetLongHint(control->Hint()).empty())
            return true;
        if (auto button = dynamic_cast<TButton*>(control)) {
            std::string sentence = ButtonSentence(*button);
            if (!sentence.empty()) {
                button->SetHint(GetShortHint(button->Hint()) + "|" + sentence);
                return false;
            }
        }
        control = control->Parent();
    }
    return false;
}

void TFormHelp::ShowHelp(TControl* control, TPoint position, const std::string& text) {
    if (position.x == -1 && position.y == -1)
        GetCursorPos(&position);
    std::string message = text;
    if (message.empty() && control)
        message = GetLongHint(control->Hint());
    if (parentFont_)
        CopyParentFont();
    if (gCurrentHelp)
        gCurrentHelp->Close();
    if (control && OnShow)
        OnShow(this, control, message);
    // Nothing to show: no pop-up.
    if (message.empty())
        return;
    gCurrentHelp = THelpWindow::Show(*this, control, message, position);
}

void TFormHelp::ShowHelpFor(TControl* control) {
    if (control) {
        if (TFormHelp* help = FindFormHelp(control))
            help->ShowHelp(control, TPoint{-1, -1}, "");
        return;
    }
    POINT mouse;
    GetCursorPos(&mouse);
    if (TControl* found = HelpControlAtPos(mouse))
        ShowHelp(found, TPoint{-1, -1}, "");
}

void TFormHelp::EnterHelpMode() {
    if (!Hooked())
        return;
    helpMode_ = true;
    bySysCommand_ = false;
    SetCapture(HookedWindow());
    ::SetCursor(Screen.Cursors(cursorHelp_));
}

void TFormHelp::ToolButtonClick(TObject* sender) {
    auto button = dynamic_cast<TComponent*>(sender);
    if (!button)
        return;
    Remember(heldButton_, button);
    SetDown(*button, true);
    Application.ProcessMessages();
    EnterHelpMode();
}

void TFormHelp::MenuItemClick(TObject*) {
    EnterHelpMode();
}

void TFormHelp::ButtonPress(bool fromMouseDown) {
    pressedByMouseDown_ = fromMouseDown;
}

void TFormHelp::ButtonClick() {
    OnButtonClick(this);
    if (pressedByMouseDown_)
        SetPressed(false);
    if (active_)
        EnterHelpMode();
}

void TFormHelp::CaptureLost() {
    if (bySysCommand_) {
        RedrawFrame();
        bySysCommand_ = false;
    }
    if (heldButton_) {
        TComponent* button = heldButton_;
        Remember(heldButton_, nullptr);
        SetDown(*button, false);
    }
    if (CaptionButton()->Visible() && Pressed())
        SetPressed(false);
    helpMode_ = false;
}

void TFormHelp::RightClick(TPoint point) {
    auto control = dynamic_cast<TControl*>(rightClickControl_);
    if (!control)
        return;
    // A pop-up menu in the way takes the click.
    const TPoint offsets[] = {{6, 6}, {-6, -6}, {6, -6}, {-6, 6}};
    for (TPoint offset : offsets) {
        HWND window = WindowFromPoint(TPoint{point.x + offset.x, point.y + offset.y});
        char name[64] = "";
        if (window && GetClassNameA(window, name, sizeof(name)) && LowerCase(name).find("popup") != std::string::npos)
            return;
    }
    bool showPopup = true;
    bool showHelp = false;
    OnWhatsThis(this, control, point, showPopup, showHelp);
    if (showPopup) {
        UINT command = TrackPopupMenuHandle(whatsThisMenu_, TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY, point.x,
                                            point.y, HookedWindow());
        if (command != 0 && Hooked())
            SendMessageA(HookedWindow(), WM_COMMAND, command, 0);
    } else if (showHelp) {
        ShowHelpFor(control);
    }
}

void TFormHelp::BeforeFormMessage(TMessage& message, bool& handled) {
    TFormHelpButton::BeforeFormMessage(message, handled);
    if (handled || !active_)
        return;
    switch (message.Msg) {
    case WM_ENTERMENULOOP:
        inMenuLoop_ = true;
        break;
    case WM_EXITMENULOOP:
        inMenuLoop_ = false;
        break;
    case WM_SYSCOMMAND:
        if ((message.WParam & 0xFFF0) == SC_CONTEXTHELP) {
            EnterHelpMode();
            bySysCommand_ = true;
            handled = true;
        }
        break;
    case WM_CAPTURECHANGED:
        if (helpMode_)
            CaptureLost();
        break;
    case WM_HELP:
        if (useF1_) {
            SetPressed(false);
            auto info = reinterpret_cast<const HELPINFO*>(message.LParam);
            if (info && info->iContextType == HELPINFO_WINDOW)
                ShowHelpFor(nullptr);
            message.Result = TRUE;
            handled = true;
        }
        break;
    case WM_COMMAND:
        if (LOWORD(message.WParam) == kWhatsThisCommand && message.LParam == 0) {
            ShowHelpFor(dynamic_cast<TControl*>(rightClickControl_));
            handled = true;
        }
        break;
    case WM_LBUTTONDOWN:
        if (helpMode_) {
            ShowHelpFor(nullptr);
            if (GetCapture() == HookedWindow())
                ReleaseCapture();
            handled = true;
        }
        break;
    case WM_FHWHATSTHIS:
        // Signed words: screens left of or above the primary one have negative coordinates.
        RightClick(TPoint{static_cast<short>(LOWORD(message.WParam)), static_cast<short>(HIWORD(message.WParam))});
        handled = true;
        break;
    default:
        break;
    }
}
