#include "DragDrop.h"

#include "Forms.h"
#include "Handles.h"

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
constexpr char kFrameClass[] = "TDockFrame";
// The dock frame's thickness.
constexpr int kFrameWidth = 3;

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
    TDragWindow frame;                 // shows the dock rectangle
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

// The control of ours under a screen point: a windowless child where there is one. A native
// window inside one of ours (a combo box's edit) stands for it.
TControl* ControlAtScreen(TPoint point) {
    TWinControl* control = nullptr;
    for (HWND window = WindowFromPoint(point); window && !control; window = GetAncestor(window, GA_PARENT)) {
        control = TWinControl::FindControl(window);
        if (!(GetWindowLongPtrA(window, GWL_STYLE) & WS_CHILD))
            break;  // not into the owner of a top-level window
    }
    if (!control)
        return nullptr;
    if (TControl* inner = control->ControlAtPos(control->ScreenToClient(point)))
        return inner;
    return control;
}

// The dock site under a screen point for docking client: the nearest one that is neither the
// client nor inside it.
TWinControl* DockSiteAtScreen(TPoint point, TControl* client) {
    const auto* container = client->IsWindowed() ? static_cast<TWinControl*>(client) : nullptr;
    for (TControl* control = ControlAtScreen(point); control; control = control->Parent()) {
        if (!control->IsWindowed() || control == client)
            continue;
        auto* site = static_cast<TWinControl*>(control);
        if (site->DockSite() && site->DockManager() && !(container && container->ContainsControl(site)))
            return site;
    }
    return nullptr;
}

// A checkered brush, as the system draws moving frames with.
HBRUSH FrameBrush() {
    struct TBrushes {
        TUniqueGdi<HBITMAP> pattern;
        TUniqueGdi<HBRUSH> brush;
    };
    static const TBrushes brushes = [] {
        static constexpr WORD rows[8] = {0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA};
        TBrushes made;
        made.pattern.Reset(CreateBitmap(8, 8, 1, 1, rows));
        made.brush.Reset(CreatePatternBrush(made.pattern.Get()));
        return made;
    }();
    return brushes.brush.Get();
}

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT rect;
        GetClientRect(window, &rect);
        SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        FillRect(dc, &rect, FrameBrush());
        EndPaint(window, &paint);
        return 0;
    }
    case WM_NCHITTEST:
        return HTTRANSPARENT;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// Shows the frame round rect (screen coordinates), or hides it for an empty one.
void ShowFrame(const TRect& rect) {
    if (IsRectEmpty(&rect)) {
        if (gDrag.frame.Get())
            ShowWindow(gDrag.frame.Get(), SW_HIDE);
        return;
    }
    if (!gDrag.frame.Get()) {
        static const ATOM registered = [] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = FrameProc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = kFrameClass;
            return RegisterClassA(&wc);
        }();
        if (!registered)
            return;  // the drag goes on without its frame
        // Disabled and transparent to the mouse: the windows beneath stay the targets.
        gDrag.frame.Reset(CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE | WS_EX_TRANSPARENT,
                                          kFrameClass, "", WS_POPUP | WS_DISABLED, 0, 0, 0, 0, nullptr, nullptr,
                                          GetModuleHandleA(nullptr), nullptr));
        if (!gDrag.frame.Get())
            return;
    }
    HWND frame = gDrag.frame.Get();
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    // Only the edge: the inside shows what lies beneath.
    HRGN edge = CreateRectRgn(0, 0, width, height);
    HRGN inside = CreateRectRgn(kFrameWidth, kFrameWidth, width - kFrameWidth, height - kFrameWidth);
    CombineRgn(edge, edge, inside, RGN_DIFF);
    DeleteObject(inside);
    if (!SetWindowRgn(frame, edge, FALSE))  // on success the window owns the region
        DeleteObject(edge);
    SetWindowPos(frame, HWND_TOPMOST, rect.left, rect.top, width, height, SWP_NOACTIVATE | SWP_SHOWWINDOW);
    InvalidateRect(frame, nullptr, TRUE);
    UpdateWindow(frame);
}

// A site's dock rectangle for the client, in screen coordinates.
TRect ScreenDockRect(TWinControl& site, TControl* client) {
    TRect rect = site.DockManager()->DockRect(client);
    const TPoint origin = site.ClientToScreen(TPoint{0, 0});
    OffsetRect(&rect, origin.x, origin.y);
    return rect;
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
    static void StartWithObject();
    static void Ask(TControl* target, TDragState state);
    static void ShowCursor();
    static void DropAt(TPoint point);
    static void Finish(TControl* target, TPoint point);
    static void DockInto(TWinControl* site, TPoint point);
    static TDragDockObject& DockObject() { return static_cast<TDragDockObject&>(*gDrag.object); }
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

// A handler that fails ends the drag: it has no object to go on with.
void TDragDriver::Start() {
    const unsigned generation = gDrag.generation;
    gDrag.started = true;
    try {
        StartWithObject();
    } catch (...) {
        if (Running(generation))
            Close();
        throw;
    }
}

void TDragDriver::StartWithObject() {
    const unsigned generation = gDrag.generation;
    TDragObject* supplied = nullptr;
    if (gDrag.kind == dkDock) {
        TDragDockObject* dock = nullptr;
        gDrag.source->DoStartDock(dock);
        if (!Running(generation))
            return;
        if (!dock) {
            gDrag.own = std::make_unique<TDragDockObject>(gDrag.source);
            dock = static_cast<TDragDockObject*>(gDrag.own.get());
        }
        supplied = dock;
    } else {
        gDrag.source->DoStartDrag(supplied);
        if (!Running(generation))
            return;
        if (!supplied) {
            gDrag.own = std::make_unique<TDragControlObject>(gDrag.source);
            supplied = gDrag.own.get();
        }
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
    if (!gDrag.object)
        return;  // OnStartDrag is still running (and handling messages)
    const unsigned generation = gDrag.generation;
    gDrag.object->DragPos = point;
    TControl* found = gDrag.kind == dkDock ? DockSiteAtScreen(point, gDrag.source) : ControlAtScreen(point);
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
    if (gDrag.kind == dkDock) {
        auto& site = static_cast<TWinControl&>(*target);
        TDragDockObject& dock = DockObject();
        dock.DockRect = ScreenDockRect(site, gDrag.source);
        accept = true;
        site.DockOver(&dock, at.x, at.y, state, accept);
    } else {
        target->DragOver(object.Source(), at.x, at.y, state, accept);
    }
    if (state != dsDragLeave && Running(generation) && gDrag.target == target)
        gDrag.accepted = accept;
}

void TDragDriver::ShowCursor() {
    TDragObject& object = *gDrag.object;
    TPoint at = object.DragPos;
    if (gDrag.target)
        at = gDrag.target->ScreenToClient(at);
    const bool accepted = gDrag.target && gDrag.accepted;
    gDrag.cursor = Screen.Cursors(object.GetDragCursor(accepted, at.x, at.y));
    ::SetCursor(gDrag.cursor);
    if (gDrag.kind == dkDock)
        ShowFrame(accepted ? DockObject().DockRect : TRect{});
}

// A handler that fails ends the drag with it: the button is up.
void TDragDriver::Drop(TPoint point) {
    if (!gDrag.started || !gDrag.object) {  // a press that never became a drag
        Close();
        return;
    }
    const unsigned generation = gDrag.generation;
    try {
        DropAt(point);
    } catch (...) {
        if (Running(generation))
            Close();
        throw;
    }
}

void TDragDriver::DropAt(TPoint point) {
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
    if (target && gDrag.kind == dkDock) {
        DockInto(static_cast<TWinControl*>(target), point);
        return;
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

// The old site may keep the client; the client docks as ManualDock docks it, then the site hears
// of it. Dropped into its own site, the client stays where it is.
void TDragDriver::DockInto(TWinControl* site, TPoint point) {
    const unsigned generation = gDrag.generation;
    TControl* client = gDrag.source;
    const TPoint at = site->ScreenToClient(point);
    TWinControl* old = client->HostDockSite();
    if (old && old != site) {
        const bool allow = old->DoUnDock(site, client);
        if (!Running(generation))
            return;
        if (!allow) {
            Finish(nullptr, {});
            return;
        }
    }
    gDrag.object->Dropped = true;
    if (old != site)
        client->ManualDock(site);
    site->DockDrop(&DockObject(), at.x, at.y);
    if (!Running(generation))
        return;
    if (gDrag.target != site) {  // freed by its own handler
        Finish(nullptr, {});
        return;
    }
    Finish(site, at);
}

void TDragDriver::Cancel() {
    if (!gDrag.started || !gDrag.object) {
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
    const TDragKind kind = gDrag.kind;
    Close();
    if (kind == dkDock)
        source->DoEndDock(target, point.x, point.y);
    else
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
    gDrag.frame.Reset();
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

void TControl::DoEndDrag(TObject* target, int x, int y) { OnEndDrag(this, target, x, y); }

void TControl::DoStartDock(TDragDockObject*& dragObject) {
    const TStartDockEvent handler = OnStartDock;
    handler(this, dragObject);
}

void TControl::DoEndDock(TObject* target, int x, int y) {
    const TEndDragEvent handler = OnEndDock;
    handler(this, target, x, y);
}

void TWinControl::DockOver(TDragDockObject* source, int x, int y, TDragState state, bool& accept) {
    const TDockOverEvent handler = OnDockOver;
    handler(this, source, x, y, state, accept);
}

void TWinControl::DockDrop(TDragDockObject* source, int x, int y) {
    const TDockDropEvent handler = OnDockDrop;
    handler(this, source, x, y);
}

bool TWinControl::DoUnDock(TWinControl* newTarget, TControl* client) {
    const TUnDockEvent handler = OnUnDock;
    bool allow = true;
    handler(this, client, newTarget, allow);
    return allow;
}
