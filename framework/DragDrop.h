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

// The drag that is running, or null.
TDragObject* DragObject();
// Cancels the drag that is running; false when there is none.
bool CancelDrag();

// Called by ~TControl: the drag forgets the control (a dragged control ends its drag quietly).
void DragControlDestroying(TControl* control);
