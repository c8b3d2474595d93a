#pragma once

// Controls: windowless (TControl, TGraphicControl) and windowed (TWinControl, TCustomControl).
//
// Tie between window and object, kept with the window itself: a window of our own class holds
// its control in its user data from WM_NCCREATE on and its class procedure dispatches; a window
// of a native class is subclassed with comctl32's SetWindowSubclass right after CreateWindowEx,
// with the control as the subclass reference data. FindControl(hwnd) asks the window.
// WM_NCDESTROY unties them and clears the control's handle. (Every subclassed message costs a
// window-property look-up, a server round trip under Wine: our own classes avoid it.)
//
// Dispatch: one trampoline per window catches every exception and hands it to the application
// (HandleWindowException); inside it, WndProc(TMessage&) is a plain switch that decodes the
// message once and calls a handler named after it; unhandled messages go to DefaultHandler
// (the native window procedure for windowed controls, nothing for windowless ones).
//
// Order of virtual handlers and events: the event fires from inside the base class's virtual
// handler (Click fires OnClick, MouseDown fires OnMouseDown ...). An override decides by where
// it calls the base whether its own work runs before or after the event.
//
// Reflection: a parent sends the notifications listed in ReflectedMessage() back to the child
// window they came from as CN_BASE + message; only children that are our controls receive them.
//
// Dragging (DragDrop.h): a control is dragged with the mouse from BeginDrag, or from a left press
// with DragMode dmAutomatic; the controls it passes over say through OnDragOver whether they take
// it, and the one it is dropped on hears OnDragDrop. A control with DragKind dkDock is docked
// instead: the dock sites it passes over answer OnDockOver, the site it leaves OnUnDock, and the
// one it is dropped on docks it (as ManualDock does) and hears OnDockDrop.
//
// Actions (ActnList.h): a control linked to an action takes its caption, enabled state, hint and
// visibility, follows their changes while it still shows the action's, and a click without an
// OnClick of its own executes the action.

#include "ActnList.h"
#include "Classes.h"
#include "Event.h"
#include "Graphics.h"
#include "TypInfo.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Internal notifications between controls.
constexpr UINT CM_BASE = 0xB000;
constexpr UINT CM_ACTIVATE = CM_BASE + 0;
constexpr UINT CM_DEACTIVATE = CM_BASE + 1;
constexpr UINT CM_DIALOGKEY = CM_BASE + 5;         // WParam: virtual key; nonzero result: taken
constexpr UINT CM_DIALOGCHAR = CM_BASE + 6;        // WParam: character; nonzero result: taken
constexpr UINT CM_FOCUSCHANGED = CM_BASE + 7;      // LParam: the newly focused control
constexpr UINT CM_PARENTFONTCHANGED = CM_BASE + 8;
constexpr UINT CM_PARENTCOLORCHANGED = CM_BASE + 9;
constexpr UINT CM_HITTEST = CM_BASE + 10;          // LParam: client point (MAKELPARAM); result 0: not here
constexpr UINT CM_VISIBLECHANGED = CM_BASE + 11;
constexpr UINT CM_ENABLEDCHANGED = CM_BASE + 12;
constexpr UINT CM_COLORCHANGED = CM_BASE + 13;
constexpr UINT CM_FONTCHANGED = CM_BASE + 14;
constexpr UINT CM_CURSORCHANGED = CM_BASE + 15;
constexpr UINT CM_CTL3DCHANGED = CM_BASE + 16;
constexpr UINT CM_PARENTCTL3DCHANGED = CM_BASE + 17;
constexpr UINT CM_TEXTCHANGED = CM_BASE + 18;
constexpr UINT CM_MOUSEENTER = CM_BASE + 19;
constexpr UINT CM_MOUSELEAVE = CM_BASE + 20;
constexpr UINT CM_SHOWHINTCHANGED = CM_BASE + 24;
constexpr UINT CM_PARENTSHOWHINTCHANGED = CM_BASE + 25;
constexpr UINT CM_ENTER = CM_BASE + 26;
constexpr UINT CM_EXIT = CM_BASE + 27;
constexpr UINT CM_RELEASE = CM_BASE + 33;          // posted to a form that frees itself
constexpr UINT CM_HINTSHOW = CM_BASE + 48;         // LParam: std::string*, the short hint, may be changed;
                                                   // nonzero result: the control shows the hint itself
constexpr UINT CM_BIDIMODECHANGED = CM_BASE + 60;
constexpr UINT CM_PARENTBIDIMODECHANGED = CM_BASE + 61;

// Notifications reflected by the parent to the child they concern.
constexpr UINT CN_BASE = 0xBC00;
constexpr UINT CN_KEYDOWN = CN_BASE + WM_KEYDOWN;      // from the message loop; nonzero: taken
constexpr UINT CN_SYSKEYDOWN = CN_BASE + WM_SYSKEYDOWN;
constexpr UINT CN_CHAR = CN_BASE + WM_CHAR;             // from the message loop; nonzero: taken
constexpr UINT CN_SYSCHAR = CN_BASE + WM_SYSCHAR;
constexpr UINT CN_COMMAND = CN_BASE + WM_COMMAND;
constexpr UINT CN_NOTIFY = CN_BASE + WM_NOTIFY;
constexpr UINT CN_DRAWITEM = CN_BASE + WM_DRAWITEM;
constexpr UINT CN_MEASUREITEM = CN_BASE + WM_MEASUREITEM;
constexpr UINT CN_CTLCOLORMSGBOX = CN_BASE + WM_CTLCOLORMSGBOX;
constexpr UINT CN_CTLCOLOREDIT = CN_BASE + WM_CTLCOLOREDIT;
constexpr UINT CN_CTLCOLORLISTBOX = CN_BASE + WM_CTLCOLORLISTBOX;
constexpr UINT CN_CTLCOLORBTN = CN_BASE + WM_CTLCOLORBTN;
constexpr UINT CN_CTLCOLORDLG = CN_BASE + WM_CTLCOLORDLG;
constexpr UINT CN_CTLCOLORSCROLLBAR = CN_BASE + WM_CTLCOLORSCROLLBAR;
constexpr UINT CN_CTLCOLORSTATIC = CN_BASE + WM_CTLCOLORSTATIC;

// The CN_ message a parent sends for message, 0 when message is not reflected.
UINT ReflectedMessage(UINT message);

struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
// Horizontal placement of text in its box, and the vertical one.
enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TTextLayout { tlTop, tlCenter, tlBottom };
enum TMouseButton { mbLeft, mbRight, mbMiddle };
// Reading order and alignment of a control's text: bdRightToLeft reads right to left, mirrors
// the alignment and puts the scroll bar on the left; NoAlign keeps the alignment; ReadingOnly
// changes the reading order alone.
enum TBiDiMode { bdLeftToRight, bdRightToLeft, bdRightToLeftNoAlign, bdRightToLeftReadingOnly };
// The sides of its parent a control keeps its distance to when the parent changes size.
enum TAnchorKind { akLeft, akTop, akRight, akBottom };
using TAnchors = TSet<TAnchorKind>;
enum TShiftStateFlag { ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble };
using TShiftState = TSet<TShiftStateFlag>;

// A native window class that clicks on its own notification (a "BUTTON" on BN_CLICKED) clears
// csClickEvents, else a press and release would click twice.
enum TControlStyleFlag {
    csCaptureMouse,   // captures the mouse while the left button is down
    csClickEvents,    // a left press and release inside is a Click
    csDoubleClicks,   // receives double clicks (else they are presses)
};
using TControlStyle = TSet<TControlStyleFlag>;

enum TControlStateFlag {
    csLButtonDown,  // the left button went down on this control
    csClicked,      // ... and the press counts as the start of a click
    csCreating,     // the window is being created
    csRecreating,   // RecreateWnd is running
};
using TControlState = TSet<TControlStateFlag>;

// Cursor identifiers: negative ones are the system's, positive ones are set through TScreen.
using TCursor = int;
constexpr TCursor crDefault = 0;
constexpr TCursor crNone = -1;
constexpr TCursor crArrow = -2;
constexpr TCursor crCross = -3;
constexpr TCursor crIBeam = -4;
constexpr TCursor crSizeAll = -22;
constexpr TCursor crSizeNESW = -6;
constexpr TCursor crSizeNS = -7;
constexpr TCursor crSizeNWSE = -8;
constexpr TCursor crSizeWE = -9;
constexpr TCursor crUpArrow = -10;
constexpr TCursor crHourGlass = -11;
constexpr TCursor crDrag = -12;
constexpr TCursor crNoDrop = -13;
constexpr TCursor crNo = -18;
constexpr TCursor crAppStart = -19;
constexpr TCursor crHelp = -20;
constexpr TCursor crHandPoint = -21;

using TMouseEvent = TEvent<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = TEvent<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
// A handler that sets Key to 0 takes the key: the window never sees it.
using TKeyEvent = TEvent<void(TObject* Sender, WORD& Key, TShiftState Shift)>;
using TKeyPressEvent = TEvent<void(TObject* Sender, char& Key)>;

// Whether a left press starts dragging a control (dmAutomatic) or only BeginDrag does, and what
// its drop does: hand it to the target (dkDrag) or dock the control (dkDock).
enum TDragMode { dmManual, dmAutomatic };
enum TDragKind { dkDrag, dkDock };
// The mouse entering a target of a drag, moving over it or leaving it.
enum TDragState { dsDragEnter, dsDragLeave, dsDragMove };

class TControl;
class TWinControl;
class TDragObject;
class TDragDockObject;

// DragObject is null on entry; a handler may hand over an object of its own.
using TStartDragEvent = TEvent<void(TObject* Sender, TDragObject*& DragObject)>;
// Source: the dragged control (or the object OnStartDrag handed over); X, Y: the mouse in the
// target's client coordinates. Accept starts true; it counts on entering and moving.
using TDragOverEvent = TEvent<void(TObject* Sender, TObject* Source, int X, int Y, TDragState State, bool& Accept)>;
using TDragDropEvent = TEvent<void(TObject* Sender, TObject* Source, int X, int Y)>;
// Target: the control that took the drop; null (and X, Y 0) when nothing took it.
using TEndDragEvent = TEvent<void(TObject* Sender, TObject* Target, int X, int Y)>;

// DragObject is null on entry; a handler may hand over an object of its own.
using TStartDockEvent = TEvent<void(TObject* Sender, TDragDockObject*& DragObject)>;
// Sender: the dock site; X, Y: the mouse in its client coordinates; Accept starts true.
using TDockOverEvent =
    TEvent<void(TObject* Sender, TDragDockObject* Source, int X, int Y, TDragState State, bool& Accept)>;
using TDockDropEvent = TEvent<void(TObject* Sender, TDragDockObject* Source, int X, int Y)>;
// Sender: the site Client is dragged out of, into NewTarget. Allow starts true; false keeps the
// client where it is.
using TUnDockEvent = TEvent<void(TObject* Sender, TControl* Client, TWinControl* NewTarget, bool& Allow)>;

// The keyboard's Shift, Ctrl and Alt state now.
TShiftState KeyboardShiftState();
// True when caption marks key as its accelerator ("&x", not "&&").
bool IsAccel(char key, const std::string& caption);

// The short part of a hint ("short|long"), and the long part (the whole hint when there is no bar).
std::string GetShortHint(const std::string& hint);
std::string GetLongHint(const std::string& hint);

// The string a message points at, in the ANSI code page or as UTF-16 (wide) as the message
// carried it, read up to a zero or limit characters; null reads as empty.
std::string MessageString(const void* text, bool wide, size_t limit = SIZE_MAX);


class TControl;
class TWinControl;

// Lays out and frames the clients docked in a dock site (TWinControl::SetDockSite).
class TDockManager {
public:
    virtual ~TDockManager() = default;
    virtual void InsertControl(TControl* control) = 0;
    virtual void RemoveControl(TControl* control) = 0;
    // Places the visible docked clients inside area: the site's client area less its borders
    // and aligned children.
    virtual void ResetBounds(const TRect& area) = 0;
    // Paints what the site shows around its clients (their grabbers).
    virtual void PaintSite(HDC dc) = 0;
    // A left-button press on the site itself, in client coordinates; true when taken.
    virtual bool MouseDown(TPoint point) = 0;
    // Where control would go if it were docked now (where it is when it is a visible client),
    // in the site's client coordinates.
    virtual TRect DockRect(TControl* control) const = 0;
};
class TCustomForm;
class TPopupMenu;

// Limits of a control's size; 0 leaves a limit open. A minimum set above the maximum raises the
// maximum with it, a maximum set below the minimum lowers the minimum. The control applies every
// change to its present size at once.
class TSizeConstraints : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    explicit TSizeConstraints(TControl* control = nullptr) : control_(control) {}

    int MinWidth() const { return minWidth_; }
    int MinHeight() const { return minHeight_; }
    int MaxWidth() const { return maxWidth_; }
    int MaxHeight() const { return maxHeight_; }
    void SetMinWidth(int value) { SetLimits(value, maxWidth_, minWidth_, maxWidth_, true); }
    void SetMaxWidth(int value) { SetLimits(minWidth_, value, minWidth_, maxWidth_, false); }
    void SetMinHeight(int value) { SetLimits(value, maxHeight_, minHeight_, maxHeight_, true); }
    void SetMaxHeight(int value) { SetLimits(minHeight_, value, minHeight_, maxHeight_, false); }
    // Brings width and height within the limits.
    void Constrain(int& width, int& height) const;
    void Assign(const TPersistent& source) override;

private:
    void SetLimits(int min, int max, int& minField, int& maxField, bool minSet);

    TControl* control_;
    int minWidth_ = 0;
    int minHeight_ = 0;
    int maxWidth_ = 0;
    int maxHeight_ = 0;
};

// MousePos: the client point of the request, (-1, -1) when it came from the keyboard.
// A handler that sets Handled keeps the popup menu from showing.
using TContextPopupEvent = TEvent<void(TObject* Sender, TPoint MousePos, bool& Handled)>;

// Called by the window trampolines from inside a catch block: hands the exception to
// Application.HandleException and never throws.
void HandleWindowException(TObject* sender) noexcept;

class EInvalidOperation : public Exception {
    using Exception::Exception;
};

class TControl : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TControl(TComponent* owner);
    ~TControl() override;

    TWinControl* Parent() const { return parent_; }
    virtual void SetParent(TWinControl* parent);
    TComponent* GetParentComponent() const override;
    // True for TWinControl and its descendants.
    virtual bool IsWindowed() const { return false; }

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetLeft(int value) { SetBounds(value, top_, width_, height_); }
    void SetTop(int value) { SetBounds(left_, value, width_, height_); }
    void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
    void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
    TRect BoundsRect() const { return MakeBounds(left_, top_, width_, height_); }
    // Does nothing when the bounds are unchanged; otherwise moves the window or invalidates
    // the old and new area, and asks the parent to realign.
    virtual void SetBounds(int left, int top, int width, int height);
    virtual TRect ClientRect() const { return MakeRect(0, 0, width_, height_); }
    int ClientWidth() const { return ClientRect().right; }
    int ClientHeight() const { return ClientRect().bottom; }
    TPoint ClientToScreen(TPoint point) const;
    TPoint ScreenToClient(TPoint point) const;
    // Changes the outer size so that the client area gets this size.
    void SetClientSize(int width, int height);

    TAlign Align() const { return align_; }
    void SetAlign(TAlign align);
    // The parent's sides whose distance the control keeps when the parent's client area changes
    // size (aligned and docked controls follow their layout instead): with both sides of a pair
    // the control stretches, with neither its centre keeps its place in proportion. The
    // distances are taken when the bounds, the anchors or the parent are set.
    TAnchors Anchors() const { return anchors_; }
    void SetAnchors(TAnchors value);
    // Bound every change of the size.
    TSizeConstraints* Constraints() const { return constraints_.get(); }
    void SetConstraints(TSizeConstraints* value) { constraints_->Assign(*value); }
    bool Visible() const { return visible_; }
    virtual void SetVisible(bool visible);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    // Visible itself and every parent up to a top-level window that is shown.
    bool Showing() const;
    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool enabled);

    TColor Color() const { return color_; }
    void SetColor(TColor color);
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool value);
    TFont* Font() const { return font_.get(); }
    void SetFont(TFont* font) { font_->Assign(*font); }
    bool ParentFont() const { return parentFont_; }
    void SetParentFont(bool value);
    // Stored in form streams only when not taken from the parent.
    bool IsColorStored() const;
    bool IsFontStored() const;

    // With ParentBiDiMode (the default) the parent's mode; setting the mode clears it. A change
    // sends CM_BIDIMODECHANGED (windowed controls remake their window and tell their children).
    TBiDiMode BiDiMode() const { return biDiMode_; }
    void SetBiDiMode(TBiDiMode value);
    bool ParentBiDiMode() const { return parentBiDiMode_; }
    void SetParentBiDiMode(bool value);
    bool IsBiDiModeStored() const { return !parentBiDiMode_; }
    // bdRightToLeft only.
    bool UseRightToLeftAlignment() const { return biDiMode_ == bdRightToLeft; }
    // Every mode but bdLeftToRight.
    bool UseRightToLeftReading() const { return biDiMode_ != bdLeftToRight; }
    // bdRightToLeft and bdRightToLeftNoAlign.
    bool UseRightToLeftScrollBar() const { return biDiMode_ == bdRightToLeft || biDiMode_ == bdRightToLeftNoAlign; }
    // DrawText flags for this mode: with mirrored alignment left and right swap (centred stays),
    // with right-to-left reading DT_RTLREADING is added.
    UINT DrawTextBiDiModeFlags(UINT flags) const;
    UINT DrawTextBiDiModeFlagsReadingOnly() const { return UseRightToLeftReading() ? DT_RTLREADING : 0; }

    // The caption and the text are one string: a windowed control keeps it in its window.
    std::string Caption() const { return GetText(); }
    void SetCaption(const std::string& text) { SetText(text); }
    virtual std::string GetText() const;
    // Sends CM_TEXTCHANGED when the text changes.
    virtual void SetText(const std::string& text);

    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& hint) { hint_ = hint; }
    // With ParentShowHint (the default) the parent's ShowHint; setting ShowHint clears it, and
    // a windowed control's change reaches the children that follow it.
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool value);
    bool ParentShowHint() const { return parentShowHint_; }
    void SetParentShowHint(bool value);
    bool IsShowHintStored() const { return !parentShowHint_; }
    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor cursor);
    // Shown on WM_CONTEXTMENU (windowless controls get it from their parent's window) unless
    // OnContextPopup handles the request or the menu's AutoPopup is off; cleared when the menu goes.
    TPopupMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(TPopupMenu* menu);

    TControlStyle ControlStyle;
    TControlState ControlState;

    // The dock site this control is docked in, or null.
    TWinControl* HostDockSite() const { return hostDockSite_; }
    // Docks the control into site (which must be a dock site); null undocks it, leaving it
    // without a parent.
    void ManualDock(TWinControl* site);

    // Sends a message to WndProc now and returns its result.
    LRESULT Perform(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    virtual void WndProc(TMessage& message);
    virtual void DefaultHandler(TMessage& message);

    virtual void Invalidate();
    // Invalidate and Update.
    void Repaint();
    // Paints what is invalid now.
    virtual void Update();
    void BringToFront();

    bool MouseCapture() const;
    void SetMouseCapture(bool capture);

    // Fires OnClick; without one, executes the linked action.
    virtual void Click();

    // A left press on a control with dmAutomatic starts dragging it at once (the press does
    // nothing else); DragCursor shows over targets that take the drag.
    TDragMode DragMode() const { return dragMode_; }
    void SetDragMode(TDragMode value) { dragMode_ = value; }
    TDragKind DragKind() const { return dragKind_; }
    void SetDragKind(TDragKind value) { dragKind_ = value; }
    TCursor DragCursor() const { return dragCursor_; }
    void SetDragCursor(TCursor value) { dragCursor_ = value; }
    // Drags the control with the left button from where the mouse was at the message being
    // handled (the press), or from screenPoint: at once when immediate, else once the mouse has
    // moved more than threshold pixels (the system's drag distance when negative); a release
    // before that ends it unnoticed.
    void BeginDrag(bool immediate, int threshold = -1);
    void BeginDragAt(TPoint screenPoint, bool immediate, int threshold = -1);
    // The control is being dragged (also while the threshold is not passed yet).
    bool Dragging() const;
    // Drops the control where the mouse was last, or cancels the drag.
    void EndDrag(bool drop);

    // Links the control to action (null unlinks): it takes the action's values at once.
    TAction* Action() const { return actionLink_ ? actionLink_->Action() : nullptr; }
    void SetAction(TAction* action);
    bool IsActionStored() const { return Action() != nullptr; }

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;
    TNotifyEvent OnMouseEnter;
    TNotifyEvent OnMouseLeave;
    TContextPopupEvent OnContextPopup;
    TStartDragEvent OnStartDrag;
    TDragOverEvent OnDragOver;
    TDragDropEvent OnDragDrop;
    TEndDragEvent OnEndDrag;
    TStartDockEvent OnStartDock;
    // Target: the site the control was docked into.
    TEndDragEvent OnEndDock;

    void Loaded() override;

protected:
    // Says whether the control was freed while the watch lived: an event handler may free the
    // control whose handler runs, and the code after the event must not touch it then.
    class TFreeWatch {
    public:
        explicit TFreeWatch(TControl& control) : control_(control), outer_(std::exchange(control.freeWatch_, this)) {}
        ~TFreeWatch() {
            if (!freed_)
                control_.freeWatch_ = outer_;
            else if (outer_)
                outer_->freed_ = true;
        }
        TFreeWatch(const TFreeWatch&) = delete;
        TFreeWatch& operator=(const TFreeWatch&) = delete;
        bool Freed() const { return freed_; }

    private:
        friend class TControl;
        TControl& control_;
        TFreeWatch* outer_;
        bool freed_ = false;
    };

    // Runs work with flag set and clears it afterwards, also when work throws, unless work freed
    // the control (the flag went with it). False when it did.
    template <class Work>
    bool WhileFlagged(bool& flag, Work&& work) {
        TFreeWatch watch(*this);
        flag = true;
        try {
            work();
        } catch (...) {
            if (!watch.Freed())
                flag = false;
            throw;
        }
        if (watch.Freed())
            return false;
        flag = false;
        return true;
    }

    // Fires OnContextPopup; mousePos as there.
    virtual void DoContextPopup(TPoint mousePos, bool& handled);
    // Fire OnStartDrag, OnDragOver (without a handler the control takes no drag), OnDragDrop and
    // OnEndDrag.
    virtual void DoStartDrag(TDragObject*& dragObject);
    virtual void DragOver(TObject* source, int x, int y, TDragState state, bool& accept);
    virtual void DragDrop(TObject* source, int x, int y);
    virtual void DoEndDrag(TObject* target, int x, int y);
    // Fire OnStartDock and OnEndDock.
    virtual void DoStartDock(TDragDockObject*& dragObject);
    virtual void DoEndDock(TObject* target, int x, int y);
    TControlActionLink* ActionLink() const { return actionLink_.get(); }
    // The link SetAction makes; a control that follows more of the action makes its own.
    virtual std::unique_ptr<TControlActionLink> CreateActionLink();
    // Takes the action's values on linking; with checkDefaults (the action is being loaded) only
    // where the control still has its default.
    virtual void ActionChange(TAction* sender, bool checkDefaults);
    void Notification(TComponent* component, TOperation operation) override;
    // Fire OnDblClick, OnMouseDown, OnMouseMove, OnMouseUp.
    virtual void DblClick();
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseMove(TShiftState shift, int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
    // After a realignment of the parent or a change of its own alignment.
    void RequestAlign();
    // The parent's colour or font changed.
    void ParentColorChanged();
    void ParentFontChanged();
    void ParentBiDiModeChanged();
    void ParentShowHintChanged();
    void SetVisibleField(bool visible) { visible_ = visible; }

private:
    friend class TWinControl;
    friend class TSizeConstraints;
    friend class TDragDriver;
    // The bounds and the parent's client size the anchors measure from.
    void TakeAnchorRules();
    // Places the control by its anchors for the parent's client size.
    void FollowAnchors(int parentWidth, int parentHeight);
    void ConstraintsChanged();
    void WMMouseDown(TMessage& message, TMouseButton button, bool doubleClick);
    void WMMouseUp(TMessage& message, TMouseButton button);
    void WMMouseMove(TMessage& message);
    void CMMouseEnter(TMessage& message);
    void CMMouseLeave(TMessage& message);
    void WMContextMenu(TMessage& message);
    void FontChanged(TObject* sender);

    TWinControl* parent_ = nullptr;
    int left_ = 0;
    int top_ = 0;
    int width_ = 0;
    int height_ = 0;
    TAlign align_ = alNone;
    TAnchors anchors_{akLeft, akTop};
    std::unique_ptr<TSizeConstraints> constraints_;
    TRect anchorBounds_{};       // the bounds when the rules were taken
    SIZE anchorParentSize_{};    // the parent's client size then
    bool anchorRulesTaken_ = false;
    bool visible_ = true;
    bool enabled_ = true;
    TColor color_ = clBtnFace;
    bool parentColor_ = false;
    std::unique_ptr<TFont> font_;
    bool parentFont_ = true;
    bool updatingFont_ = false;
    TBiDiMode biDiMode_ = bdLeftToRight;
    bool parentBiDiMode_ = true;
    std::string text_;
    std::string hint_;
    bool showHint_ = false;
    bool parentShowHint_ = true;
    TCursor cursor_ = crDefault;
    TPopupMenu* popupMenu_ = nullptr;
    TDragMode dragMode_ = dmManual;
    TDragKind dragKind_ = dkDrag;
    TCursor dragCursor_ = crDrag;
    TFreeWatch* freeWatch_ = nullptr;  // the innermost watch on this control
    TWinControl* hostDockSite_ = nullptr;
    std::unique_ptr<TControlActionLink> actionLink_;
};

// What CreateWnd passes to CreateWindowEx.
struct TCreateParams {
    std::string Caption;
    DWORD Style = 0;
    DWORD ExStyle = 0;
    int X = 0, Y = 0, Width = 0, Height = 0;
    HWND WndParent = nullptr;
    // Registered by the framework with its own starting procedure unless SysClass is set.
    std::string WinClassName;
    UINT ClassStyle = CS_DBLCLKS;
    HCURSOR ClassCursor = nullptr;
    // A native class ("BUTTON", "EDIT", "SysListView32" ...) to create and subclass instead.
    std::string SysClass;
};

class TWinControl : public TControl {
    DECLARE_CLASS_INFO()

public:
    explicit TWinControl(TComponent* owner);
    ~TWinControl() override;

    bool IsWindowed() const override { return true; }

    // The window, created on first use (with the parent's first).
    HWND Handle();
    HWND WindowHandle() const { return handle_; }
    bool HandleAllocated() const { return handle_ != nullptr; }
    void HandleNeeded() { Handle(); }
    // Destroys the window and makes it again with the same caption, bounds and state.
    void RecreateWnd();
    // The control whose window this is; null for other windows. Works from the window itself.
    static TWinControl* FindControl(HWND window);

    int ControlCount() const { return static_cast<int>(controls_.size()); }
    TControl* Controls(int index) const { return controls_.at(static_cast<size_t>(index)); }
    void InsertControl(TControl* control);
    void RemoveControl(TControl* control);
    // The visible, enabled windowless child at a client point, or null.
    TControl* ControlAtPos(TPoint point) const;
    bool ContainsControl(const TControl* control) const;
    // Sends message to every child until one answers nonzero; returns that answer.
    LRESULT Broadcast(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    TRect ClientRect() const override;
    void SetBounds(int left, int top, int width, int height) override;
    void SetText(const std::string& text) override;
    std::string GetText() const override;
    void SetVisible(bool visible) override;
    void SetEnabled(bool enabled) override;
    void Invalidate() override;
    void Update() override;

    // Lays out the aligned children (top, bottom, left, right, client; each kind in child order).
    void Realign();
    void DisableAlign() { ++alignDisabled_; }
    void EnableAlign();

    int TabOrder() const;
    void SetTabOrder(int order);
    bool TabStop = false;
    // Windowed children in tab order, descending into containers.
    void GetTabOrderList(std::vector<TWinControl*>& list) const;

    bool CanFocus() const;
    bool Focused() const;
    virtual void SetFocus();

    void WndProc(TMessage& message) override;
    void DefaultHandler(TMessage& message) override;

    void Loaded() override;

    // The brush a native child paints its background with (Color).
    TBrush* Brush() { return &brush_; }

    // A dock site holds docked clients (TControl::ManualDock), which its dock manager lays out
    // one after another and frames.
    bool DockSite() const { return dockSite_; }
    void SetDockSite(bool value);
    int DockClientCount() const { return static_cast<int>(dockClients_.size()); }
    TControl* DockClients(int index) const { return dockClients_.at(static_cast<size_t>(index)); }
    TDockManager* DockManager() const { return dockManager_.get(); }

    // Sunken client edges (on, the default) or plain lines round the controls that have a
    // border; with ParentCtl3D (the default) the parent's value. Setting it clears ParentCtl3D;
    // a change sends CM_CTL3DCHANGED and tells the children.
    bool Ctl3D() const { return ctl3D_; }
    void SetCtl3D(bool value);
    bool ParentCtl3D() const { return parentCtl3D_; }
    void SetParentCtl3D(bool value);
    bool IsCtl3DStored() const { return !parentCtl3D_; }

    // Fire while the control has the focus; a form with KeyPreview hears them first.
    TKeyEvent OnKeyDown;
    TKeyPressEvent OnKeyPress;
    TKeyEvent OnKeyUp;
    // A dock site's side of docking by dragging.
    TDockOverEvent OnDockOver;
    TDockDropEvent OnDockDrop;
    TUnDockEvent OnUnDock;

protected:
    // Fire OnDockOver, OnDockDrop and OnUnDock (false: the client stays).
    virtual void DockOver(TDragDockObject* source, int x, int y, TDragState state, bool& accept);
    virtual void DockDrop(TDragDockObject* source, int x, int y);
    virtual bool DoUnDock(TWinControl* newTarget, TControl* client);
    // Fire OnKeyDown, OnKeyPress, OnKeyUp.
    virtual void KeyDown(WORD& key, TShiftState shift);
    virtual void KeyPress(char& key);
    virtual void KeyUp(WORD& key, TShiftState shift);
    virtual void CreateParams(TCreateParams& params);
    virtual void CreateWnd();
    virtual void DestroyWnd();
    void DestroyHandle();
    // Asks the window's state back into fields before it goes.
    virtual void SaveWindowState();
    virtual void AlignControls(TControl* control, TRect& rect);
    // Places the children that are neither aligned nor docked by their anchors.
    void AnchorControls();
    virtual void AdjustClientRect(TRect& /*rect*/) const {}
    // The client size from the outer size while there is no window.
    virtual TRect ClientRectFromBounds() const { return MakeRect(0, 0, Width(), Height()); }
    // Paints the window itself on dc (windowless children come after it).
    virtual void PaintWindow(HDC dc);
    // Paints the visible windowless children that intersect the dc's clip area.
    void PaintControls(HDC dc);
    // The manager a new dock site gets.
    virtual std::unique_ptr<TDockManager> CreateDockManager();

    void CreateHandle();
    // Hands a message of our own straight to the native class's procedure, past WndProc and
    // the subclass (which costs a window-property look-up per message under Wine): for bulk
    // messages that no handler of ours watches. Windows of our own classes get SendMessage;
    // without a window nothing is sent and the result is 0.
    LRESULT SendToNativeWindow(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    // True when message came through the subclass of a Unicode window (a native class under
    // common controls 6): its text is UTF-16. Messages of our own (Perform) carry ANSI text.
    bool IsWideMessage(const TMessage& message) const;

private:
    friend class TControl;
    friend class TDragDriver;
    static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    static LRESULT CALLBACK OwnClassProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT Dispatch(TWinControl* control, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Attach(HWND window);
    void Detached();
    void UpdateBoundsFromWindow();
    bool ReflectNotification(TMessage& message);
    TWinControl* ChildWithWindow(HWND window) const;
    void RouteMouse(TMessage& message);
    bool TrackMouse(TMessage& message);
    void WMPaint(TMessage& message);
    void WMGetMinMaxInfo(MINMAXINFO& info) const;
    void WMEraseBkgnd(TMessage& message);
    void WMSetCursor(TMessage& message);
    void CNKeyDown(TMessage& message);
    void CNChar(TMessage& message);
    void WMKey(TMessage& message);
    void WMChar(TMessage& message);
    LRESULT DialogCode(WPARAM key, UINT message);
    void WMSetText(TMessage& message);
    void WMFocus(TMessage& message, bool gained);
    void CNCtlColor(TMessage& message);
    void ColorChanged(TObject*);
    void ParentCtl3DChanged();
    // Passes a message the system sends to top-level windows only on to every child.
    void ForwardToControls(const TMessage& message);

    HWND handle_ = nullptr;
    bool native_ = false;
    WNDPROC classProc_ = nullptr;  // the window procedure of the class, for calls outside the window's own
    HWND dispatchingWindow_ = nullptr;  // the window whose message is being handled, innermost
    const TMessage* windowMessage_ = nullptr;  // that message, as it came through the window
    std::vector<TControl*> controls_;  // all children, windowless and windowed, in insertion order
    std::vector<TWinControl*> tabList_;
    TControl* mouseControl_ = nullptr;  // windowless child under the cursor
    bool mouseInWindow_ = false;
    int alignDisabled_ = 0;
    bool aligning_ = false;
    int nextChildId_ = 100;
    TBrush brush_;
    bool dockSite_ = false;
    std::vector<TControl*> dockClients_;
    std::unique_ptr<TDockManager> dockManager_;
    bool ctl3D_ = true;
    bool parentCtl3D_ = true;
};

// A windowless control drawn by its parent: Canvas is the parent's DC while Paint runs.
class TGraphicControl : public TControl {
    DECLARE_CLASS_INFO()

public:
    explicit TGraphicControl(TComponent* owner);
    void WndProc(TMessage& message) override;

protected:
    TCanvas& Canvas() { return canvas_; }
    virtual void Paint() {}

private:
    TCanvas canvas_;
};

// A windowed control of our own class that paints itself on Canvas in Paint.
class TCustomControl : public TWinControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomControl(TComponent* owner);

protected:
    TCanvas& Canvas() { return canvas_; }
    virtual void Paint() {}
    void PaintWindow(HDC dc) override;

private:
    TCanvas canvas_;
};

// The form that contains control, or null.
TCustomForm* GetParentForm(const TControl* control);

// The control that holds the mouse capture (windowless ones through their parent's window).
TControl* GetCaptureControl();

template <>
struct TEnumTraits<TAlign> {
    static constexpr const char* Names[] = {"alNone", "alTop", "alBottom", "alLeft", "alRight", "alClient"};
};
template <>
struct TEnumTraits<TAlignment> {
    static constexpr const char* Names[] = {"taLeftJustify", "taRightJustify", "taCenter"};
};
template <>
struct TEnumTraits<TBiDiMode> {
    static constexpr const char* Names[] = {"bdLeftToRight", "bdRightToLeft", "bdRightToLeftNoAlign",
                                            "bdRightToLeftReadingOnly"};
};
template <>
struct TEnumTraits<TTextLayout> {
    static constexpr const char* Names[] = {"tlTop", "tlCenter", "tlBottom"};
};
template <>
struct TEnumTraits<TDragMode> {
    static constexpr const char* Names[] = {"dmManual", "dmAutomatic"};
};
template <>
struct TEnumTraits<TDragKind> {
    static constexpr const char* Names[] = {"dkDrag", "dkDock"};
};
template <>
struct TEnumTraits<TDragState> {
    static constexpr const char* Names[] = {"dsDragEnter", "dsDragLeave", "dsDragMove"};
};
template <>
struct TEnumTraits<TAnchorKind> {
    static constexpr const char* Names[] = {"akLeft", "akTop", "akRight", "akBottom"};
};
template <>
struct TEnumTraits<TShiftStateFlag> {
    static constexpr const char* Names[] = {"ssShift", "ssAlt", "ssCtrl", "ssLeft", "ssRight", "ssMiddle", "ssDouble"};
};
