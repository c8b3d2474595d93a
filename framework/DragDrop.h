#pragma once

// Dragging controls with the mouse (TControl::BeginDrag; DragMode dmAutomatic begins on a left
// press).
//
// One drag at a time. While it lasts a hidden window of the drag holds the mouse capture, so the
// dragged control and the windows under the mouse see no mouse messages of it: each move asks the
// control under the mouse whether it takes the drag (OnDragOver, as it is entered, moved over and
// left) and shows the dragged control's DragCursor over one that does, crNoDrop elsewhere. Letting
// go of the left button over a control that takes it drops there (OnDragDrop); Escape (through the
// application's message loop), the right button or a lost capture cancel. Either way the dragged
// control hears OnEndDrag, with the target or without one.
//
// A control with DragKind dkDock is docked instead: the targets are dock sites (the nearest one
// under the mouse that is neither the control nor inside it), asked through OnDockOver with the
// rectangle the site's dock manager would give the control, which a frame shows on the screen.
// A drop into a site other than the control's own asks the old site (OnUnDock), docks the control
// as ManualDock does, and tells the new site (OnDockDrop); the control hears OnEndDock.
//
// Handlers may end the drag or free any control involved: the drag checks after each event
// whether it still runs, and a freed control leaves it (a freed dragged control ends it quietly).

#include "Controls.h"

#include <windows.h>

// What is being dragged: the framework makes one for each drag of a control; OnStartDrag may hand
// over an object of its own instead (it stays the handler's and must outlive the drag).
class TDragObject : public TObject {
public:
    // What OnDragOver and OnDragDrop receive as Source.
    virtual TObject* Source() { return this; }
    // The cursor over a target that accepts the drag, or over one that does not.
    virtual TCursor GetDragCursor(bool accepted, int x, int y);

    TPoint DragPos{};                // the mouse, in screen coordinates
    TControl* DragTarget = nullptr;  // the control under the mouse, asked last
    bool Cancelling = false;         // set while the targets hear that a cancelled drag leaves
    bool Dropped = false;            // set once a target took the drop
};

// The framework's object for a dragged control: Source is the control itself, and the cursor
// over an accepting target is the control's DragCursor.
class TDragControlObject : public TDragObject {
public:
    explicit TDragControlObject(TControl* control) : control_(control) {}
    TControl* Control() const { return control_; }
    TObject* Source() override { return control_; }
    TCursor GetDragCursor(bool accepted, int x, int y) override;

private:
    TControl* control_;
};

// The object of a dock drag: the dock events receive it as Source; Control is the dragged control.
class TDragDockObject : public TDragControlObject {
public:
    using TDragControlObject::TDragControlObject;
    TObject* Source() override { return this; }

    // Where the control would go, in screen coordinates: over a site, the place its dock manager
    // gives it (OnDockOver may change it); the frame shows it while the site accepts.
    TRect DockRect{};
};

// The drag that is running, or null.
TDragObject* DragObject();
// Cancels the drag that is running; false when there is none.
bool CancelDrag();

// Called by ~TControl: the drag forgets the control (a dragged control ends its drag quietly).
void DragControlDestroying(TControl* control);
