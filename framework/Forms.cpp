#include "Forms.h"

#include "DragDrop.h"

#include "Thread.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>

TApplication Application;
TScreen Screen;

namespace {

TMessageBoxFunction gMessageBox;
TShellOpenFunction gShellOpen;

constexpr UINT_PTR kHintToolId = 1;

// The enabled, visible top-level windows of this thread other than one, disabled for the
// lifetime of the object and enabled again afterwards (those that still exist).
class TTaskWindowsDisabler {
public:
    explicit TTaskWindowsDisabler(HWND keep) : keep_(keep) {
        EnumThreadWindows(GetCurrentThreadId(), &Collect, reinterpret_cast<LPARAM>(this));
        for (HWND window : windows_)
            EnableWindow(window, FALSE);
    }
    ~TTaskWindowsDisabler() {
        for (auto it = windows_.rbegin(); it != windows_.rend(); ++it)
            if (IsWindow(*it))
                EnableWindow(*it, TRUE);
    }
    TTaskWindowsDisabler(const TTaskWindowsDisabler&) = delete;
    TTaskWindowsDisabler& operator=(const TTaskWindowsDisabler&) = delete;

private:
    static BOOL CALLBACK Collect(HWND window, LPARAM data) {
        auto self = reinterpret_cast<TTaskWindowsDisabler*>(data);
        if (window != self->keep_ && IsWindowVisible(window) && IsWindowEnabled(window))
            self->windows_.push_back(window);
        return TRUE;
    }

    HWND keep_;
    std::vector<HWND> windows_;
};

}  // namespace

// ---- seams ----------------------------------------------------------------------------

TMessageBoxFunction SetMessageBoxHook(TMessageBoxFunction function) { return std::exchange(gMessageBox, std::move(function)); }

int ShowMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags) {
    if (gMessageBox)
        return gMessageBox(owner, text, caption, flags);
    return MessageBoxA(owner, text.c_str(), caption.c_str(), flags);
}

TShellOpenFunction SetShellOpenHook(TShellOpenFunction function) { return std::exchange(gShellOpen, std::move(function)); }

bool ShellOpen(HWND owner, const std::string& operation, const std::string& file, const std::string& parameters,
               const std::string& directory, int showCommand) {
    if (gShellOpen)
        return gShellOpen(owner, operation, file, parameters, directory, showCommand);
    HINSTANCE result = ShellExecuteA(owner, operation.empty() ? nullptr : operation.c_str(), file.c_str(),
                                     parameters.empty() ? nullptr : parameters.c_str(),
                                     directory.empty() ? nullptr : directory.c_str(), showCommand);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

// ---- TCustomForm ----------------------------------------------------------------------

const TClassInfo& TCustomForm::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TCustomForm::BorderStyle, &TCustomForm::SetBorderStyle>("BorderStyle").WithDefault(bsSizeable),
        Prop<&TCustomForm::BorderIcons, &TCustomForm::SetBorderIcons>("BorderIcons"),
        Prop<&TCustomForm::Position, &TCustomForm::SetPosition>("Position").WithDefault(poDesigned),
        Prop<&TCustomForm::WindowState, &TCustomForm::SetWindowState>("WindowState").WithDefault(wsNormal),
        Prop<&TCustomForm::ActiveControl, &TCustomForm::SetActiveControl>("ActiveControl"),
        Prop<&TCustomForm::KeyPreview>("KeyPreview").WithDefault(false),
        Prop<&TCustomForm::OnCreate>("OnCreate"),
        Prop<&TCustomForm::OnShow>("OnShow"),
        Prop<&TCustomForm::OnHide>("OnHide"),
        Prop<&TCustomForm::OnActivate>("OnActivate"),
        Prop<&TCustomForm::OnDeactivate>("OnDeactivate"),
        Prop<&TCustomForm::OnDestroy>("OnDestroy"),
        Prop<&TCustomForm::OnClose>("OnClose"),
        Prop<&TCustomForm::OnCloseQuery>("OnCloseQuery"),
    };
    static const TClassInfo info = MakeClassInfo<TCustomForm, TWinControl>("TCustomForm", props);
    return info;
}

const TClassInfo& TForm::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TForm, TCustomForm>("TForm", {});
    return info;
}

namespace {

// The screen's lists while it lives: forms owned by the application die after it.
TScreen* gLiveScreen = nullptr;

template <class T>
void Forget(std::vector<T*>& list, T* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

TCustomForm::TCustomForm(TComponent* owner) : TWinControl(owner) {
    SetVisibleField(false);
    SetBounds(0, 0, 320, 240);
    if (gLiveScreen)
        gLiveScreen->forms_.push_back(this);
}

TCustomForm::~TCustomForm() {
    BeforeDestruction();
    DestroyHandle();
    if (gLiveScreen)
        Forget(gLiveScreen->forms_, this);
}

// ---- TDataModule -----------------------------------------------------------------------

const TClassInfo& TDataModule::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TDataModule::OnCreate>("OnCreate"),
        Prop<&TDataModule::OnDestroy>("OnDestroy"),
    };
    static const TClassInfo info = MakeClassInfo<TDataModule, TComponent>("TDataModule", props);
    return info;
}

TDataModule::TDataModule(TComponent* owner) : TComponent(owner) {
    if (gLiveScreen)
        gLiveScreen->dataModules_.push_back(this);
}

TDataModule::~TDataModule() {
    BeforeDestruction();
    if (gLiveScreen)
        Forget(gLiveScreen->dataModules_, this);
}

void TDataModule::BeforeDestruction() {
    if (std::exchange(destroyFired_, true))
        return;
    OnDestroy(this);
}

void TDataModule::BuildModule(const std::function<void()>& createComponents) {
    BeginLoading();
    createComponents();
    for (int i = 0; i < ComponentCount(); ++i)
        Components(i)->Loaded();
    Loaded();
    OnCreate(this);
}

void TCustomForm::BeforeDestruction() {
    if (std::exchange(destroyFired_, true))
        return;
    OnDestroy(this);
}

void TCustomForm::BuildForm(const std::function<void()>& createControls) {
    BeginLoading();
    createControls();
    for (int i = 0; i < ComponentCount(); ++i)
        Components(i)->Loaded();
    Loaded();
    DoCreate();
}

void TCustomForm::DoCreate() { OnCreate(this); }
void TCustomForm::DoShow() { OnShow(this); }
void TCustomForm::DoHide() { OnHide(this); }
void TCustomForm::DoClose(TCloseAction& action) { OnClose(this, action); }
void TCustomForm::Activate() { OnActivate(this); }
void TCustomForm::Deactivate() { OnDeactivate(this); }

void TCustomForm::SetBorderStyle(TFormBorderStyle style) {
    if (style == borderStyle_)
        return;
    borderStyle_ = style;
    RecreateWnd();
}

void TCustomForm::SetBorderIcons(TBorderIcons icons) {
    if (icons == borderIcons_)
        return;
    borderIcons_ = icons;
    RecreateWnd();
}

void TCustomForm::SetWindowState(TWindowState state) {
    windowState_ = state;
    if (HandleAllocated() && Visible())
        ShowWindow(WindowHandle(), state == wsMinimized ? SW_MINIMIZE : state == wsMaximized ? SW_MAXIMIZE : SW_RESTORE);
}

void TCustomForm::WindowStyles(DWORD& style, DWORD& exStyle) const {
    style = 0;
    exStyle = 0;
    switch (borderStyle_) {
    case bsNone:
        style = WS_POPUP;
        break;
    case bsSingle:
        style = WS_CAPTION;
        break;
    case bsSizeable:
        style = WS_CAPTION | WS_THICKFRAME;
        break;
    case bsDialog:
        style = WS_POPUP | WS_CAPTION;
        exStyle = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE;
        break;
    case bsToolWindow:
        style = WS_CAPTION;
        exStyle = WS_EX_TOOLWINDOW;
        break;
    }
    if (borderStyle_ != bsNone && borderIcons_.Contains(biSystemMenu)) {
        style |= WS_SYSMENU;
        bool resizable = borderStyle_ == bsSingle || borderStyle_ == bsSizeable;
        if (resizable && borderIcons_.Contains(biMinimize))
            style |= WS_MINIMIZEBOX;
        if (resizable && borderIcons_.Contains(biMaximize))
            style |= WS_MAXIMIZEBOX;
        if (borderIcons_.Contains(biHelp) && !(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)))
            exStyle |= WS_EX_CONTEXTHELP;
    }
}

void TCustomForm::CreateParams(TCreateParams& params) {
    TWinControl::CreateParams(params);
    DWORD style, exStyle;
    WindowStyles(style, exStyle);
    params.Style = (params.Style & ~WS_CHILD) | style;
    params.ExStyle |= exStyle;
    if (!Parent()) {
        // Owned by the application's hidden window, which stands for the program.
        params.WndParent = Application.Handle();
        if (windowState_ == wsMinimized)
            params.Style |= WS_MINIMIZE;
        else if (windowState_ == wsMaximized)
            params.Style |= WS_MAXIMIZE;
    }
}

void TCustomForm::CreateWnd() {
    TWinControl::CreateWnd();
    HICON icon = icon_.Handle() ? icon_.Handle() : Application.Icon().Handle();
    if (icon) {
        SendMessageA(WindowHandle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageA(WindowHandle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
}

TRect TCustomForm::ClientRectFromBounds() const {
    DWORD style, exStyle;
    WindowStyles(style, exStyle);
    TRect frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    return MakeRect(0, 0, std::max<int>(0, Width() - (frame.right - frame.left)),
                    std::max<int>(0, Height() - (frame.bottom - frame.top)));
}

void TCustomForm::ApplyPosition() {
    if (std::exchange(positioned_, true) || position_ == poDesigned || Parent())
        return;
    TRect area = Screen.WorkAreaRect();
    TCustomForm* main = Application.MainForm();
    if (position_ == poMainFormCenter && main && main != this && main->HandleAllocated() && main->Visible())
        area = main->BoundsRect();
    else if (position_ == poMainFormCenter && main && main != this && main->HandleAllocated())
        area = Screen.WorkAreaOf(main->WindowHandle());
    int left = area.left + (area.right - area.left - Width()) / 2;
    int top = area.top + (area.bottom - area.top - Height()) / 2;
    SetBounds(left, top, Width(), Height());
}

void TCustomForm::SetVisible(bool visible) {
    if (visible == Visible())
        return;
    TFreeWatch watch(*this);  // OnShow, OnActivate and OnHide may free the form
    if (visible) {
        HandleNeeded();
        ApplyPosition();
        SetVisibleField(true);
        DoShow();
        if (watch.Freed() || !Visible())  // freed, or hidden again by OnShow
            return;
        int command = windowState_ == wsMaximized ? SW_SHOWMAXIMIZED
                      : windowState_ == wsMinimized ? SW_SHOWMINIMIZED
                                                   : SW_SHOWNORMAL;
        ShowWindow(WindowHandle(), command);
        if (watch.Freed())
            return;
        if (activeControl_ && activeControl_->CanFocus())
            ::SetFocus(activeControl_->Handle());
    } else {
        SetVisibleField(false);
        if (HandleAllocated())
            ShowWindow(WindowHandle(), SW_HIDE);
        DoHide();
    }
    if (!watch.Freed())
        Perform(CM_VISIBLECHANGED, visible);
}

void TCustomForm::ShowForm() {
    Show();
    if (HandleAllocated())
        SetForegroundWindow(WindowHandle());
}

int TCustomForm::ShowModal() {
    if (Visible() || modal_)
        throw EInvalidOperation("Cannot make a visible window modal");
    if (HWND capture = GetCapture()) {
        SendMessageA(capture, WM_CANCELMODE, 0, 0);
        ReleaseCapture();
    }
    HWND previous = GetActiveWindow();
    HWND window = Handle();
    modalResult_ = mrNone;
    modal_ = true;
    TFreeWatch watch(*this);  // a handler or a synchronised call may free the form
    bool quit = false;
    std::exception_ptr error;
    {
        TTaskWindowsDisabler disabler(window);
        try {
            ShowForm();
            const unsigned quitsBefore = Application.quits_;
            // OnShow may have set ModalResult already.
            while (!watch.Freed()) {
                if (modalResult_ != mrNone) {
                    CloseModal();
                    if (watch.Freed() || modalResult_ != mrNone)
                        break;
                }
                Application.HandleMessage();
                quit = Application.quits_ != quitsBefore;
                if (quit)
                    break;
            }
        } catch (...) {
            error = std::current_exception();
        }
        // The other windows are enabled before this one hides, so that activation returns to them.
    }
    // The loops outside this one end too.
    if (quit)
        PostQuitMessage(static_cast<int>(Application.quitCode_));
    if (error) {
        if (!watch.Freed()) {
            modal_ = false;
            Hide();
        }
        std::rethrow_exception(error);
    }
    if (watch.Freed())
        return mrCancel;
    if (quit)
        modalResult_ = mrCancel;
    modal_ = false;
    Hide();
    if (previous && IsWindow(previous))
        SetActiveWindow(previous);
    return modalResult_;
}

void TCustomForm::CloseModal() {
    TFreeWatch watch(*this);
    TCloseAction action = caNone;
    if (CloseQuery() && !watch.Freed()) {
        action = caHide;
        DoClose(action);
    }
    if (watch.Freed())
        return;
    if (action == caNone)
        modalResult_ = mrNone;
    else if (action == caFree)
        Release();
}

bool TCustomForm::CloseQuery() {
    bool canClose = true;
    OnCloseQuery(this, canClose);
    return canClose;
}

void TCustomForm::Close() {
    if (modal_) {
        modalResult_ = mrCancel;
        return;
    }
    TFreeWatch watch(*this);  // the handlers may free the form
    if (!CloseQuery() || watch.Freed())
        return;
    const bool main = Application.MainForm() == this;
    TCloseAction action = main ? caFree : caHide;
    DoClose(action);
    if (action == caNone || watch.Freed())
        return;
    if (main) {
        Hide();
        Application.Terminate();
        return;
    }
    switch (action) {
    case caHide:
        Hide();
        break;
    case caMinimize:
        SetWindowState(wsMinimized);
        break;
    case caFree:
        Release();
        break;
    case caNone:
        break;
    }
}

void TCustomForm::Release() { PostMessageA(Handle(), CM_RELEASE, 0, 0); }

void TCustomForm::SetActiveControl(TWinControl* control) {
    if (control && !ContainsControl(control))
        throw EInvalidOperation("The control is not on this form");
    activeControl_ = control;
    if (control && HandleAllocated() && Visible() && control->CanFocus())
        ::SetFocus(control->Handle());
}

// ActiveControl may be chosen before the window has the focus; the enter and exit
// notifications follow the control that really received it.
void TCustomForm::SetFocusedControl(TWinControl* control) {
    activeControl_ = control;
    if (control == focusedControl_)
        return;
    // A handler may move the focus on (or free the control): the newer call then tells the rest.
    if (TWinControl* old = std::exchange(focusedControl_, nullptr)) {
        old->Perform(CM_EXIT);
        if (focusedControl_ || activeControl_ != control)
            return;
    }
    focusedControl_ = control;
    if (control) {
        control->Perform(CM_ENTER);
        if (focusedControl_ != control)
            return;
    }
    Perform(CM_FOCUSCHANGED, 0, reinterpret_cast<LPARAM>(control));
}

void TCustomForm::ControlRemoving(TControl* control) {
    auto inside = [control](TControl* held) {
        for (; held; held = held->Parent())
            if (held == control)
                return true;
        return false;
    };
    if (inside(activeControl_))
        activeControl_ = nullptr;
    if (inside(focusedControl_))
        focusedControl_ = nullptr;
    if (inside(defaultControl_))
        defaultControl_ = nullptr;
    if (inside(cancelControl_))
        cancelControl_ = nullptr;
}

void TCustomForm::SelectNext(TWinControl* current, bool forward) {
    std::vector<TWinControl*> all;
    GetTabOrderList(all);
    std::vector<TWinControl*> stops;
    for (TWinControl* control : all)
        if (control->TabStop && control->CanFocus())
            stops.push_back(control);
    if (stops.empty())
        return;
    auto found = std::find(stops.begin(), stops.end(), current);
    size_t count = stops.size();
    size_t next;
    if (found == stops.end())
        next = forward ? 0 : count - 1;
    else
        next = (static_cast<size_t>(found - stops.begin()) + (forward ? 1 : count - 1)) % count;
    stops[next]->SetFocus();
}

void TCustomForm::SelectNextSibling(TWinControl* current, bool forward) {
    if (!current || !current->Parent())
        return;
    std::vector<TWinControl*> all;
    current->Parent()->GetTabOrderList(all);
    std::vector<TWinControl*> siblings;
    for (TWinControl* control : all)
        if (control->Parent() == current->Parent() && (control == current || control->CanFocus()))
            siblings.push_back(control);
    auto found = std::find(siblings.begin(), siblings.end(), current);
    if (found == siblings.end() || siblings.size() < 2)
        return;
    size_t count = siblings.size();
    size_t next = (static_cast<size_t>(found - siblings.begin()) + (forward ? 1 : count - 1)) % count;
    siblings[next]->SetFocus();
}

void TCustomForm::CMDialogKey(TMessage& message) {
    switch (message.WParam) {
    case VK_LEFT:
    case VK_RIGHT:
    case VK_UP:
    case VK_DOWN:
        message.Result = Broadcast(CM_DIALOGKEY, message.WParam, message.LParam);
        if (!message.Result && activeControl_) {
            SelectNextSibling(activeControl_, message.WParam == VK_RIGHT || message.WParam == VK_DOWN);
            message.Result = 1;
        }
        return;
    case VK_TAB:
        if (GetKeyState(VK_CONTROL) < 0)
            break;
        SelectNext(activeControl_, GetKeyState(VK_SHIFT) >= 0);
        message.Result = 1;
        return;
    case VK_RETURN:
    case VK_ESCAPE: {
        message.Result = Broadcast(CM_DIALOGKEY, message.WParam, message.LParam);
        if (message.Result)
            return;
        TControl* target = message.WParam == VK_RETURN ? defaultControl_ : cancelControl_;
        if (target && target->Visible() && target->Enabled()) {
            target->Click();
            message.Result = 1;
        }
        return;
    }
    default:
        break;
    }
    TWinControl::WndProc(message);
}

void TCustomForm::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_CLOSE:
        Close();
        message.Result = 0;
        return;
    case WM_ACTIVATE: {
        TFreeWatch watch(*this);  // OnActivate and OnDeactivate may free the form
        if (LOWORD(message.WParam) == WA_INACTIVE) {
            Deactivate();
            if (!watch.Freed())
                TWinControl::WndProc(message);
            return;
        }
        Activate();
        if (watch.Freed())
            return;
        if (activeControl_ && activeControl_->HandleAllocated() && activeControl_->CanFocus()) {
            ::SetFocus(activeControl_->WindowHandle());
            message.Result = 0;
            return;
        }
        TWinControl::WndProc(message);
        return;
    }
    case WM_SIZE:
        if (message.WParam == SIZE_MINIMIZED)
            windowState_ = wsMinimized;
        else if (message.WParam == SIZE_MAXIMIZED)
            windowState_ = wsMaximized;
        else if (message.WParam == SIZE_RESTORED)
            windowState_ = wsNormal;
        TWinControl::WndProc(message);
        return;
    case CM_DIALOGKEY:
        CMDialogKey(message);
        return;
    case CM_RELEASE:
        FreeComponent(this);
        return;
    default:
        TWinControl::WndProc(message);
        return;
    }
}

// ---- TApplication ---------------------------------------------------------------------

TApplication::TApplication() : TComponent(nullptr) {
    std::string name = ExeName();
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    title_ = name;
}

TApplication::~TApplication() {
    mainForm_ = nullptr;
    while (ComponentCount() > 0)
        FreeComponent(Components(ComponentCount() - 1));
    if (hintWindow_)
        DestroyWindow(hintWindow_);
    if (handle_)
        DestroyWindow(handle_);
}

void TApplication::Initialize() {
    INITCOMMONCONTROLSEX init{sizeof(init), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&init);
    if (!icon_.Handle()) {
        auto icon = static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), "MAINICON", IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
        if (icon)
            icon_.SetHandle(icon);
    }
    Handle();
}

std::string TApplication::ExeName() const {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void TApplication::SetTitle(const std::string& title) {
    title_ = title;
    if (handle_)
        SetWindowTextA(handle_, title_.c_str());
}

HWND TApplication::Handle() {
    if (handle_)
        return handle_;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = icon_.Handle();
    wc.lpszClassName = "TApplication";
    WNDCLASSA existing;
    if (!GetClassInfoA(instance, wc.lpszClassName, &existing) && !RegisterClassA(&wc))
        RaiseLastOSError();
    HWND window = CreateWindowExA(0, wc.lpszClassName, title_.c_str(),
                                  WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX,
                                  GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0,
                                  nullptr, nullptr, instance, this);
    if (!window)
        RaiseLastOSError();
    return handle_;
}

LRESULT CALLBACK TApplication::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto self = static_cast<TApplication*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->handle_ = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto self = reinterpret_cast<TApplication*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self || message == WM_NCCREATE)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        self->handle_ = nullptr;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    TMessage msg{message, wParam, lParam, 0};
    try {
        self->WndProc(msg);
    } catch (...) {
        HandleWindowException(self);
    }
    return msg.Result;
}

// Restoring or activating the hidden window brings up the form the user works with.
void TApplication::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_SYSCOMMAND:
        if ((message.WParam & 0xFFF0) == SC_RESTORE && mainForm_) {
            if (mainForm_->HandleAllocated() && IsIconic(mainForm_->WindowHandle()))
                ShowWindow(mainForm_->WindowHandle(), SW_RESTORE);
            mainForm_->ShowForm();
            return;
        }
        break;
    case WM_ACTIVATE:
        if (LOWORD(message.WParam) != WA_INACTIVE) {
            HWND popup = GetLastActivePopup(handle_);
            if (popup && popup != handle_ && IsWindowVisible(popup) && IsWindowEnabled(popup))
                SetActiveWindow(popup);
            else if (mainForm_)
                mainForm_->ShowForm();
            return;
        }
        break;
    case WM_CLOSE:
        if (mainForm_)
            mainForm_->Close();
        return;
    default:
        break;
    }
    message.Result = DefWindowProcA(handle_, message.Msg, message.WParam, message.LParam);
}

void TApplication::SetMainForm(TCustomForm* form) {
    DropReference(std::exchange(mainForm_, form));
    if (form && form->Owner() != this)
        form->FreeNotification(this);
}

// One free-notification link serves both references: it goes when neither needs it.
void TApplication::DropReference(TComponent* component) {
    if (component && component != mainForm_ && component != hintControl_)
        component->RemoveFreeNotification(this);
}

void TApplication::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation != opRemove)
        return;
    if (component == mainForm_)
        mainForm_ = nullptr;
    if (component == hintControl_)
        CancelHint();
}

void TApplication::Run() {
    terminated_ = false;
    if (mainForm_ && ShowMainForm)
        mainForm_->ShowForm();
    while (!terminated_)
        HandleMessage();
}

void TApplication::Terminate() { PostQuitMessage(0); }

void TApplication::ProcessMessages() {
    MSG msg;
    while (ProcessMessage(msg)) {
    }
    CheckSynchronize();
}

void TApplication::HandleMessage() {
    MSG msg;
    if (!ProcessMessage(msg))
        Idle();
}

bool TApplication::ProcessMessage(MSG& msg) {
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        return false;
    if (msg.message == WM_QUIT) {
        terminated_ = true;
        ++quits_;
        quitCode_ = msg.wParam;
        return true;
    }
    try {
        if (!PreprocessKey(msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    } catch (...) {
        HandleException(this);
    }
    return true;
}

// Key presses meet their control as CN_KEYDOWN first; a taken key is neither translated
// nor dispatched (so no WM_CHAR follows a dialog key).
bool TApplication::PreprocessKey(const MSG& msg) {
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE && CancelDrag())
        return true;
    if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN && msg.message != WM_CHAR &&
        msg.message != WM_SYSCHAR)
        return false;
    for (HWND window = msg.hwnd; window; window = GetParent(window)) {
        if (TWinControl* control = TWinControl::FindControl(window))
            return control->Perform(CN_BASE + msg.message, msg.wParam, msg.lParam) != 0;
    }
    return false;
}

// Waits for input or for calls from worker threads.
void TApplication::Idle() {
    {
        const TSyncEventWait waiting;
        CheckSynchronize();
        HANDLE sync = SyncEvent();
        MsgWaitForMultipleObjectsEx(1, &sync, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    CheckSynchronize();
}

void TApplication::HandleException(TObject* sender) {
    std::exception_ptr error = std::current_exception();
    if (!error)
        return;
    if (OnException)
        OnException(sender, error);
    else
        ShowException(error);
}

void TApplication::ShowException(std::exception_ptr error) {
    std::string text = "Unknown exception";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    if (!text.empty() && text.back() != '.')
        text += '.';
    ShowMessageBox(GetActiveWindow(), text, title_, MB_OK | MB_ICONSTOP);
}

void TApplication::HintMouseEnter(TControl* control) {
    if (control->IsDestroying())
        return;
    hint_ = GetLongHint(control->Hint());
    OnHint(this);
    std::string text = GetShortHint(control->Hint());
    if (!ShowHint || !control->ShowHint())
        return;
    if (control->Perform(CM_HINTSHOW, 0, reinterpret_cast<LPARAM>(&text)) != 0 || text.empty())
        return;
    if (!hintWindow_) {
        hintWindow_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                                      0, 0, 0, 0, Handle(), nullptr, GetModuleHandleA(nullptr), nullptr);
        if (!hintWindow_)
            return;
        TTTOOLINFOA tool{};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
        tool.hwnd = Handle();
        tool.uId = kHintToolId;
        tool.lpszText = const_cast<char*>("");
        SendMessageA(hintWindow_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    }
    DropReference(std::exchange(hintControl_, control));
    control->FreeNotification(this);
    TTTOOLINFOA tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = Handle();
    tool.uId = kHintToolId;
    tool.lpszText = text.data();
    SendMessageA(hintWindow_, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
    POINT cursor;
    GetCursorPos(&cursor);
    SendMessageA(hintWindow_, TTM_TRACKPOSITION, 0, MAKELPARAM(cursor.x, cursor.y + 20));
    SendMessageA(hintWindow_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
}

void TApplication::HintMouseLeave(TControl* control) {
    if (control == hintControl_)
        CancelHint();
}

void TApplication::CancelHint() {
    DropReference(std::exchange(hintControl_, nullptr));
    if (!hintWindow_ || !handle_)
        return;
    TTTOOLINFOA tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = handle_;
    tool.uId = kHintToolId;
    SendMessageA(hintWindow_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
}

// ---- TScreen --------------------------------------------------------------------------

namespace {

// The system has no cursor for dragging: an arrow over a page, made once.
HCURSOR DragCursorHandle() {
    struct TOwnedCursor {
        HCURSOR handle = nullptr;
        ~TOwnedCursor() {
            if (handle)
                DestroyCursor(handle);
        }
    };
    static const TOwnedCursor cursor = [] {
        const int width = GetSystemMetrics(SM_CXCURSOR);
        const int height = GetSystemMetrics(SM_CYCURSOR);
        const int stride = (width + 15) / 16 * 2;
        // A pixel is black with its AND bit clear, white with its XOR bit set too; the rest shows through.
        std::vector<BYTE> andPlane(static_cast<size_t>(stride * height), 0xFF);
        std::vector<BYTE> xorPlane(andPlane.size(), 0);
        auto set = [&](int x, int y, bool white) {
            if (x >= width || y >= height)
                return;
            const size_t at = static_cast<size_t>(y * stride + x / 8);
            const BYTE bit = static_cast<BYTE>(0x80 >> (x % 8));
            andPlane[at] &= static_cast<BYTE>(~bit);
            if (white)
                xorPlane[at] |= bit;
        };
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x <= y; ++x)
                set(x, y, x != 0 && x != y && y != 11);
        for (int y = 14; y < 24; ++y)
            for (int x = 6; x < 18; ++x)
                set(x, y, x != 6 && x != 17 && y != 14 && y != 23);
        return TOwnedCursor{CreateCursor(GetModuleHandleA(nullptr), 0, 0, width, height, andPlane.data(),
                                         xorPlane.data())};
    }();
    return cursor.handle;
}

}  // namespace

HCURSOR TScreen::Cursors(TCursor cursor) const {
    if (auto found = cursors_.find(cursor); found != cursors_.end())
        return found->second;
    const char* id = IDC_ARROW;
    switch (cursor) {
    case crNone:
        return nullptr;
    case crDrag:
        if (HCURSOR drag = DragCursorHandle())
            return drag;
        break;
    case crNoDrop: id = IDC_NO; break;
    case crCross: id = IDC_CROSS; break;
    case crIBeam: id = IDC_IBEAM; break;
    case crSizeAll: id = IDC_SIZEALL; break;
    case crSizeNESW: id = IDC_SIZENESW; break;
    case crSizeNS: id = IDC_SIZENS; break;
    case crSizeNWSE: id = IDC_SIZENWSE; break;
    case crSizeWE: id = IDC_SIZEWE; break;
    case crUpArrow: id = IDC_UPARROW; break;
    case crHourGlass: id = IDC_WAIT; break;
    case crNo: id = IDC_NO; break;
    case crAppStart: id = IDC_APPSTARTING; break;
    case crHelp: id = IDC_HELP; break;
    case crHandPoint: id = IDC_HAND; break;
    default: break;
    }
    return LoadCursorA(nullptr, id);
}

void TScreen::SetCursors(TCursor cursor, HCURSOR handle) {
    if (handle)
        cursors_[cursor] = handle;
    else
        cursors_.erase(cursor);
}

void TScreen::SetCursor(TCursor cursor) {
    if (cursor == cursor_)
        return;
    cursor_ = cursor;
    POINT point;
    GetCursorPos(&point);
    if (HWND window = WindowFromPoint(point))
        SendMessageA(window, WM_SETCURSOR, reinterpret_cast<WPARAM>(window), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
}

TRect TScreen::WorkAreaRect() const {
    TRect area{};
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0))
        area = MakeRect(0, 0, Width(), Height());
    return area;
}

TRect TScreen::WorkAreaOf(HWND window) const {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info))
        return info.rcWork;
    return WorkAreaRect();
}

namespace {
int CALLBACK CollectFont(const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM data) {
    if (font->lfFaceName[0] != '@')
        reinterpret_cast<std::vector<std::string>*>(data)->push_back(font->lfFaceName);
    return 1;
}
}  // namespace

const std::vector<std::string>& TScreen::Fonts() const {
    if (!fonts_.empty())
        return fonts_;
    TWindowDc dc(nullptr);
    LOGFONTA query{};
    query.lfCharSet = DEFAULT_CHARSET;
    EnumFontFamiliesExA(dc.Get(), &query, CollectFont, reinterpret_cast<LPARAM>(&fonts_), 0);
    std::sort(fonts_.begin(), fonts_.end(), [](const std::string& a, const std::string& b) {
        return lstrcmpiA(a.c_str(), b.c_str()) < 0;
    });
    fonts_.erase(std::unique(fonts_.begin(), fonts_.end(),
                             [](const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }),
                 fonts_.end());
    return fonts_;
}

TScreen::TScreen() : TComponent(nullptr) { gLiveScreen = this; }

TScreen::~TScreen() { gLiveScreen = nullptr; }

TCustomForm* TScreen::ActiveForm() const {
    TWinControl* control = TWinControl::FindControl(GetActiveWindow());
    return dynamic_cast<TCustomForm*>(control);
}
