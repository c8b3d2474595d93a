#include "DragDrop.h"

#include "Forms.h"

#include <windowsx.h>

#include <cstdlib>
#include <memory>
#include <utility>

TCursor TDragObject::GetDragCursor(bool accepted, int, int) { return accepted ? crDrag : crNoDrop; }

TCursor TDragControlObject::GetDragCursor(bool accepted, int, int) {
    return accepted ? control_->DragCursor() : crNoDrop;
}

namespace {

constexpr char kCaptureClass[] = "TDragCapture";

// A window of the drag's own, destroyed with its owner.
class TDragWindow {
public:
    TDragWindow() = default;
    TDragWindow(const TDragWindow&) = delete;
    TDragWindow& operator=(const TDragWindow&) = delete;
    ~TDragWindow() { Reset(); }
    HWND Get() const { return window_; }
    void Reset(HWND window = nullptr) {
        if (HWND old = std::exchange(window_, window))
            DestroyWindow(old);
    }

private:
    HWND window_ = nullptr;
};

// The drag that runs; one at a time, on the thread of the windows.
struct TDragSession {
    bool active = false;
    unsigned generation = 0;  // counts drags: code after an event sees whether its drag still runs
    TControl* source = nullptr;
    TDragKind kind = dkDrag;
    bool started = false;     // the mouse moved past the threshold, or the drag began at once
    TPoint origin{};
    int threshold = 0;
    std::unique_ptr<TDragObject> own;  // the framework's object
    TDragObject* object = nullptr;     // own, or the one OnStartDrag handed over
    TControl* target = nullptr;        // the control under the mouse
    bool accepted = false;             // ... takes the drag
    TDragWindow capture;
    HCURSOR cursor = nullptr;          // shown now
};

TDragSession gDrag;

bool Running(unsigned generation) { return gDrag.active && gDrag.generation == generation; }

bool SamePoint(TPoint a, TPoint b) { return a.x == b.x && a.y == b.y; }

TPoint ScreenPoint(HWND window, LPARAM lParam) {
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ClientToScreen(window, &point);
    return point;
}

// The control of ours under a screen point: a windowless child where there is one.
TControl* ControlAtScreen(TPoint point) {
    TWinControl* control = nullptr;
    for (HWND window = WindowFromPoint(point); window && !control; window = GetParent(window))
        control = TWinControl::FindControl(window);
    if (!control)
        return nullptr;
    if (TControl* inner = control->ControlAtPos(control->ScreenToClient(point)))
        return inner;
    return control;
}

}  // namespace

// Runs the drag: reached through the capture window's messages and the drag functions of the
// controls, and a friend of theirs for the events.
class TDragDriver {
public:
    static void Begin(TControl* source, TPoint point, bool immediate, int threshold);
    static void Move(TPoint point);
    static void Drop(TPoint point);
    static void Cancel();
    // Ends the drag without a word to anyone.
    static void Close();

private:
    static LRESULT CALLBACK CaptureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static void Start();
    static void Ask(TControl* target, TDragState state);
    static void ShowCursor();
    static void Finish(TControl* target, TPoint point);
};

void TDragDriver::Begin(TControl* source, TPoint point, bool immediate, int threshold) {
    if (gDrag.active)
        Cancel();
    static const ATOM registered = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = CaptureProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kCaptureClass;
        return RegisterClassA(&wc);
    }();
    if (!registered)
        RaiseLastOSError();
    // Hidden: only its capture counts.
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, kCaptureClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (!window)
        RaiseLastOSError();
    const unsigned generation = ++gDrag.generation;
    gDrag.capture.Reset(window);
    gDrag.active = true;
    gDrag.source = source;
    gDrag.kind = source->DragKind();
    gDrag.started = false;
    gDrag.origin = point;
    gDrag.threshold = threshold;
    gDrag.own.reset();
    gDrag.object = nullptr;
    gDrag.target = nullptr;
    gDrag.accepted = false;
    // The press belongs to the drag now: it clicks nothing.
    source->ControlState.Exclude(csLButtonDown).Exclude(csClicked);
    SetCapture(window);
    if (immediate) {
        Start();
        if (Running(generation))
            Move(point);
    }
}

void TDragDriver::Start() {
    const unsigned generation = gDrag.generation;
    gDrag.started = true;
    TDragObject* supplied = nullptr;
    gDrag.source->DoStartDrag(supplied);
    if (!Running(generation))
        return;
    if (!supplied) {
        gDrag.own = std::make_unique<TDragControlObject>(gDrag.source);
        supplied = gDrag.own.get();
    }
    gDrag.object = supplied;
    gDrag.object->DragPos = gDrag.origin;
}

void TDragDriver::Move(TPoint point) {
    if (!gDrag.started) {
        if (std::abs(point.x - gDrag.origin.x) <= gDrag.threshold &&
            std::abs(point.y - gDrag.origin.y) <= gDrag.threshold)
            return;
        const unsigned generation = gDrag.generation;
        Start();
        if (!Running(generation))
            return;
    }
    const unsigned generation = gDrag.generation;
    gDrag.object->DragPos = point;
    TControl* found = ControlAtScreen(point);
    if (found != gDrag.target) {
        if (TControl* left = std::exchange(gDrag.target, nullptr)) {
            Ask(left, dsDragLeave);
            if (!Running(generation))
                return;
        }
        gDrag.target = found;
        gDrag.accepted = false;
        if (found)
            Ask(found, dsDragEnter);
    } else if (found) {
        Ask(found, dsDragMove);
    }
    if (Running(generation))
        ShowCursor();
}

// Asks target whether it takes the drag where the mouse is.
void TDragDriver::Ask(TControl* target, TDragState state) {
    const unsigned generation = gDrag.generation;
    TDragObject& object = *gDrag.object;
    object.DragTarget = target;
    const TPoint at = target->ScreenToClient(object.DragPos);
    bool accept = false;
    target->DragOver(object.Source(), at.x, at.y, state, accept);
    if (state != dsDragLeave && Running(generation) && gDrag.target == target)
        gDrag.accepted = accept;
}

void TDragDriver::ShowCursor() {
    TDragObject& object = *gDrag.object;
    TPoint at = object.DragPos;
    if (gDrag.target)
        at = gDrag.target->ScreenToClient(at);
    gDrag.cursor = Screen.Cursors(object.GetDragCursor(gDrag.target && gDrag.accepted, at.x, at.y));
    ::SetCursor(gDrag.cursor);
}

void TDragDriver::Drop(TPoint point) {
    if (!gDrag.started) {  // a press that never became a drag
        Close();
        return;
    }
    const unsigned generation = gDrag.generation;
    if (!SamePoint(point, gDrag.object->DragPos)) {
        Move(point);
        if (!Running(generation))
            return;
    }
    TControl* target = gDrag.target;
    if (target && !gDrag.accepted) {
        // Left without the drop it would not take.
        gDrag.target = nullptr;
        Ask(target, dsDragLeave);
        if (!Running(generation))
            return;
        target = nullptr;
    }
    TPoint at{};
    if (target) {
        at = target->ScreenToClient(point);
        gDrag.object->Dropped = true;
        target->DragDrop(gDrag.object->Source(), at.x, at.y);
        if (!Running(generation))
            return;
        if (gDrag.target != target) {  // freed by its own handler
            target = nullptr;
            at = {};
        }
    }
    Finish(target, at);
}

void TDragDriver::Cancel() {
    if (!gDrag.started) {
        Close();
        return;
    }
    const unsigned generation = gDrag.generation;
    gDrag.object->Cancelling = true;
    if (TControl* left = std::exchange(gDrag.target, nullptr)) {
        Ask(left, dsDragLeave);
        if (!Running(generation))
            return;
    }
    Finish(nullptr, {});
}

// The drag is over before the dragged control hears it, so that its handler may start another.
void TDragDriver::Finish(TControl* target, TPoint point) {
    TControl* source = gDrag.source;
    Close();
    source->DoEndDrag(target, point.x, point.y);
}

void TDragDriver::Close() {
    if (!gDrag.active)
        return;
    gDrag.active = false;
    gDrag.source = nullptr;
    gDrag.target = nullptr;
    gDrag.object = nullptr;
    gDrag.own.reset();
    gDrag.cursor = nullptr;
    // Inactive first: losing the capture now is no cancel.
    if (GetCapture() == gDrag.capture.Get())
        ReleaseCapture();
    gDrag.capture.Reset();
    // The window under the mouse shows its own cursor again.
    POINT cursor;
    GetCursorPos(&cursor);
    HWND window = WindowFromPoint(cursor);
    if (window && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        SendMessageA(window, WM_SETCURSOR, reinterpret_cast<WPARAM>(window), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    else
        ::SetCursor(LoadCursorA(nullptr, IDC_ARROW));
}

// No exception leaves it; messages of a window the drag no longer holds pass by.
LRESULT CALLBACK TDragDriver::CaptureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const bool ours = gDrag.active && gDrag.capture.Get() == window;
    try {
        switch (message) {
        case WM_MOUSEMOVE:
            // The system also reports a mouse that did not move.
            if (ours && !(gDrag.object && SamePoint(gDrag.object->DragPos, ScreenPoint(window, lParam))))
                Move(ScreenPoint(window, lParam));
            return 0;
        case WM_LBUTTONUP:
            if (ours)
                Drop(ScreenPoint(window, lParam));
            return 0;
        case WM_RBUTTONDOWN:
        case WM_CANCELMODE:
            if (ours)
                Cancel();
            return 0;
        case WM_CAPTURECHANGED:
            if (ours && reinterpret_cast<HWND>(lParam) != window)
                Cancel();
            return 0;
        case WM_SETCURSOR:
            if (ours && gDrag.cursor) {
                ::SetCursor(gDrag.cursor);
                return TRUE;
            }
            break;
        default:
            break;
        }
    } catch (...) {
        HandleWindowException(nullptr);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TDragObject* DragObject() { return gDrag.active ? gDrag.object : nullptr; }

bool CancelDrag() {
    if (!gDrag.active)
        return false;
    TDragDriver::Cancel();
    return true;
}

void DragControlDestroying(TControl* control) {
    if (!gDrag.active)
        return;
    if (gDrag.object && gDrag.object->DragTarget == control)
        gDrag.object->DragTarget = nullptr;
    if (gDrag.target == control) {
        gDrag.target = nullptr;
        gDrag.accepted = false;
    }
    if (gDrag.source == control)
        TDragDriver::Close();
}

// ---- the controls' side ------------------------------------------------------------------

// From where the mouse was at the message being handled (the press), not where it is now.
void TControl::BeginDrag(bool immediate, int threshold) {
    const DWORD at = GetMessagePos();
    BeginDragAt(TPoint{GET_X_LPARAM(at), GET_Y_LPARAM(at)}, immediate, threshold);
}

void TControl::BeginDragAt(TPoint screenPoint, bool immediate, int threshold) {
    if (threshold < 0)
        threshold = GetSystemMetrics(SM_CXDRAG);
    TDragDriver::Begin(this, screenPoint, immediate, threshold);
}

bool TControl::Dragging() const { return gDrag.active && gDrag.source == this; }

void TControl::EndDrag(bool drop) {
    if (!Dragging())
        return;
    if (drop && gDrag.object)
        TDragDriver::Drop(gDrag.object->DragPos);
    else
        TDragDriver::Cancel();
}

// The handlers run from copies: a handler may free its control, and its event with it.

void TControl::DoStartDrag(TDragObject*& dragObject) {
    const TStartDragEvent handler = OnStartDrag;
    handler(this, dragObject);
}

void TControl::DragOver(TObject* source, int x, int y, TDragState state, bool& accept) {
    const TDragOverEvent handler = OnDragOver;
    if (!handler)
        return;
    accept = true;
    handler(this, source, x, y, state, accept);
}

void TControl::DragDrop(TObject* source, int x, int y) {
    const TDragDropEvent handler = OnDragDrop;
    handler(this, source, x, y);
}

void TControl::DoEndDrag(TObject* target, int x, int y) {
    const TEndDragEvent handler = OnEndDrag;
    handler(this, target, x, y);
}
