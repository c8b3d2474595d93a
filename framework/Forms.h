#pragma once

// Forms, the application object and the screen.
//
// Modal loop: ShowModal disables the other enabled visible top-level windows of the thread,
// shows the form and runs Application.HandleMessage (which also runs synchronised calls) until
// ModalResult is set; then OnCloseQuery and OnClose decide (caNone keeps the form up), the
// windows are enabled again and the form hides. A WM_QUIT arriving meanwhile ends it with mrCancel
// and is posted again for the loops outside; the form being freed meanwhile ends it with mrCancel too.
//
// Event order: OnShow fires before the window appears, OnHide after it went; OnCloseQuery
// before OnClose; OnCreate after every control of a form built with BuildForm got Loaded().

#include "Controls.h"
#include "Graphics.h"

#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow };
enum TBorderIcon { biSystemMenu, biMinimize, biMaximize, biHelp };
using TBorderIcons = TSet<TBorderIcon>;
enum TPosition { poDesigned, poScreenCenter, poMainFormCenter };
enum TWindowState { wsNormal, wsMinimized, wsMaximized };
enum TCloseAction { caNone, caHide, caFree, caMinimize };

using TModalResult = int;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = IDOK;
constexpr TModalResult mrCancel = IDCANCEL;
constexpr TModalResult mrAbort = IDABORT;
constexpr TModalResult mrRetry = IDRETRY;
constexpr TModalResult mrIgnore = IDIGNORE;
constexpr TModalResult mrYes = IDYES;
constexpr TModalResult mrNo = IDNO;
constexpr TModalResult mrAll = mrNo + 1;
constexpr TModalResult mrNoToAll = mrAll + 1;
constexpr TModalResult mrYesToAll = mrNoToAll + 1;

using TCloseEvent = TEvent<void(TObject* Sender, TCloseAction& Action)>;
using TCloseQueryEvent = TEvent<void(TObject* Sender, bool& CanClose)>;
using TExceptionEvent = TEvent<void(TObject* Sender, std::exception_ptr E)>;

class TCustomForm : public TWinControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomForm(TComponent* owner);
    ~TCustomForm() override;

    // The construction protocol of a form built in code: marks the form loading, runs
    // createControls (which makes and sets up the children in declaration order), calls
    // Loaded() on each owned component in creation order and on the form, then OnCreate.
    void BuildForm(const std::function<void()>& createControls);
    // Fires OnDestroy once. The owner and FreeComponent call it while the form is whole;
    // the destructor calls it only when nobody did before.
    void BeforeDestruction() override;

    TFormBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TFormBorderStyle style);
    TBorderIcons BorderIcons() const { return borderIcons_; }
    void SetBorderIcons(TBorderIcons icons);
    TPosition Position() const { return position_; }
    void SetPosition(TPosition position) { position_ = position; }
    TWindowState WindowState() const { return windowState_; }
    void SetWindowState(TWindowState state);
    TIcon& Icon() { return icon_; }

    void SetVisible(bool visible) override;
    // Shows and activates the form.
    void ShowForm();
    int ShowModal();
    bool Modal() const { return modal_; }
    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult result) { modalResult_ = result; }
    // Modal: sets ModalResult to mrCancel. Otherwise OnCloseQuery, OnClose and the chosen action;
    // the main form's close terminates the application.
    void Close();
    bool CloseQuery();
    // Frees the form once the messages already queued for it are handled.
    void Release();

    TWinControl* ActiveControl() const { return activeControl_; }
    void SetActiveControl(TWinControl* control);
    // Focuses the next (or previous) tab stop after current, wrapping around.
    void SelectNext(TWinControl* current, bool forward);
    // Focuses the next (or previous) focusable control beside current (same parent), wrapping.
    void SelectNextSibling(TWinControl* current, bool forward);
    // Enter clicks the default control and Escape the cancel control unless a child claims
    // the key by answering CM_DIALOGKEY (the button classes fill these in).
    TControl* DefaultControl() const { return defaultControl_; }
    void SetDefaultControl(TControl* control) { defaultControl_ = control; }
    TControl* CancelControl() const { return cancelControl_; }
    void SetCancelControl(TControl* control) { cancelControl_ = control; }
    // The form hears its controls' key events before they do.
    bool KeyPreview = false;

    void WndProc(TMessage& message) override;

    TNotifyEvent OnCreate;
    TNotifyEvent OnShow;
    TNotifyEvent OnHide;
    TNotifyEvent OnActivate;
    TNotifyEvent OnDeactivate;
    TNotifyEvent OnDestroy;
    TCloseEvent OnClose;
    TCloseQueryEvent OnCloseQuery;

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    TRect ClientRectFromBounds() const override;
    // Fire the events of the same names.
    virtual void DoCreate();
    virtual void DoShow();
    virtual void DoHide();
    virtual void DoClose(TCloseAction& action);
    virtual void Activate();
    virtual void Deactivate();

private:
    friend class TWinControl;
    void WindowStyles(DWORD& style, DWORD& exStyle) const;
    void ApplyPosition();
    void CloseModal();
    void CMDialogKey(TMessage& message);
    // A control of the form took the focus.
    void SetFocusedControl(TWinControl* control);
    // control leaves the form: references to it and to what it contains go.
    void ControlRemoving(TControl* control);

    TFormBorderStyle borderStyle_ = bsSizeable;
    TBorderIcons borderIcons_ = {biSystemMenu, biMinimize, biMaximize};
    TPosition position_ = poDesigned;
    TWindowState windowState_ = wsNormal;
    TIcon icon_;
    bool modal_ = false;
    bool positioned_ = false;
    bool destroyFired_ = false;
    TModalResult modalResult_ = mrNone;
    TWinControl* activeControl_ = nullptr;
    TWinControl* focusedControl_ = nullptr;  // the last control that received the focus
    TControl* defaultControl_ = nullptr;
    TControl* cancelControl_ = nullptr;
};

class TForm : public TCustomForm {
    DECLARE_CLASS_INFO()

public:
    explicit TForm(TComponent* owner) : TCustomForm(owner) {}
};

// The program as a whole: its hidden window, the message loop and the exception handling.
class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    void Initialize();
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title);
    // The hidden top-level window of class "TApplication", titled with Title; made on first use.
    HWND Handle();
    std::string ExeName() const;
    TIcon& Icon() { return icon_; }

    // The first form created becomes the main form.
    template <class F>
    F* CreateForm(F*& reference) {
        reference = new F(this);
        if (!mainForm_)
            SetMainForm(reference);
        return reference;
    }
    TCustomForm* MainForm() const { return mainForm_; }
    void SetMainForm(TCustomForm* form);

    // Shows the main form (unless ShowMainForm is off) and handles messages until the
    // application terminates.
    void Run();
    bool ShowMainForm = true;
    // Posts WM_QUIT; the loop that receives it sets Terminated.
    void Terminate();
    bool Terminated() const { return terminated_; }
    // Handles every waiting message and synchronised call, then returns.
    void ProcessMessages();
    // Handles one message, or waits for a message or a synchronised call and runs the calls.
    void HandleMessage();

    // Call from inside a catch block: OnException when assigned, else ShowException.
    // Not inlined and with 16 bytes of padding at the entry (patchable_function_entry) so
    // that a later layer can redirect them.
    __attribute__((noinline, noipa, patchable_function_entry(16, 0))) void HandleException(TObject* sender);
    __attribute__((noinline, noipa, patchable_function_entry(16, 0))) void ShowException(std::exception_ptr error);
    TExceptionEvent OnException;

    // Hints: the long part goes to Hint and OnHint, the short part into a tooltip window.
    bool ShowHint = true;
    const std::string& Hint() const { return hint_; }
    TNotifyEvent OnHint;
    HWND HintWindow() const { return hintWindow_; }
    void HintMouseEnter(TControl* control);
    void HintMouseLeave(TControl* control);
    void CancelHint();

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void WndProc(TMessage& message);
    bool ProcessMessage(MSG& msg);
    bool PreprocessKey(const MSG& msg);
    void Idle();
    void DropReference(TComponent* component);

    friend class TCustomForm;  // its modal loop counts the quits
    std::string title_;
    HWND handle_ = nullptr;
    HWND hintWindow_ = nullptr;
    TControl* hintControl_ = nullptr;
    std::string hint_;
    TIcon icon_;
    TCustomForm* mainForm_ = nullptr;
    bool terminated_ = false;
    unsigned quits_ = 0;  // WM_QUIT messages received
    WPARAM quitCode_ = 0;
};

// A non-visual container of components: the streaming protocol of a form without a window.
class TDataModule : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TDataModule(TComponent* owner);
    ~TDataModule() override;
    // Fires OnDestroy once, while the module is whole.
    void BeforeDestruction() override;
    // Marks loading, creates the components, calls Loaded() on each in creation order and on
    // the module, then fires OnCreate.
    void BuildModule(const std::function<void()>& createComponents);

    TNotifyEvent OnCreate, OnDestroy;

private:
    bool destroyFired_ = false;
};

// The display: cursors, monitors, fonts.
class TScreen : public TComponent {
public:
    TScreen();
    ~TScreen() override;

    // Every form and data module alive, in creation order.
    const std::vector<TCustomForm*>& Forms() const { return forms_; }
    const std::vector<TDataModule*>& DataModules() const { return dataModules_; }

    // System cursors for the negative identifiers, the set ones for the others; the arrow
    // for identifiers never set.
    HCURSOR Cursors(TCursor cursor) const;
    // Not owned: the caller keeps the cursor alive while it is set.
    void SetCursors(TCursor cursor, HCURSOR handle);
    // Not crDefault: overrides every control's cursor.
    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor cursor);

    int Width() const { return GetSystemMetrics(SM_CXSCREEN); }
    int Height() const { return GetSystemMetrics(SM_CYSCREEN); }
    int MonitorCount() const { return GetSystemMetrics(SM_CMONITORS); }
    // The work area of the primary monitor, or of the monitor nearest a window.
    TRect WorkAreaRect() const;
    TRect WorkAreaOf(HWND window) const;
    // Font family names, sorted, read on first use.
    const std::vector<std::string>& Fonts() const;
    // The form of the active window, or null.
    TCustomForm* ActiveForm() const;

private:
    std::map<TCursor, HCURSOR> cursors_;
    TCursor cursor_ = crDefault;
    mutable std::vector<std::string> fonts_;
    friend class TCustomForm;
    friend class TDataModule;
    std::vector<TCustomForm*> forms_;
    std::vector<TDataModule*> dataModules_;
};

// The documented globals of the window layer: the program and its display.
extern TApplication Application;
extern TScreen Screen;

// Seams for tests: the message box and shell-open functions can be replaced. Each setter
// returns the function it replaced; an empty function restores the system's.
using TMessageBoxFunction = std::function<int(HWND owner, const std::string& text, const std::string& caption, UINT flags)>;
TMessageBoxFunction SetMessageBoxHook(TMessageBoxFunction function);
int ShowMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags);

using TShellOpenFunction = std::function<bool(HWND owner, const std::string& operation, const std::string& file,
                                              const std::string& parameters, const std::string& directory,
                                              int showCommand)>;
TShellOpenFunction SetShellOpenHook(TShellOpenFunction function);
// True when the system accepted the request.
bool ShellOpen(HWND owner, const std::string& operation, const std::string& file, const std::string& parameters = "",
               const std::string& directory = "", int showCommand = SW_SHOWNORMAL);

template <>
struct TEnumTraits<TFormBorderStyle> {
    static constexpr const char* Names[] = {"bsNone", "bsSingle", "bsSizeable", "bsDialog", "bsToolWindow"};
};
template <>
struct TEnumTraits<TBorderIcon> {
    static constexpr const char* Names[] = {"biSystemMenu", "biMinimize", "biMaximize", "biHelp"};
};
template <>
struct TEnumTraits<TPosition> {
    static constexpr const char* Names[] = {"poDesigned", "poScreenCenter", "poMainFormCenter"};
};
template <>
struct TEnumTraits<TWindowState> {
    static constexpr const char* Names[] = {"wsNormal", "wsMinimized", "wsMaximized"};
};
