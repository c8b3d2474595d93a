// Dragging and docking driven by the mouse: real input (SendInput), as a user's hand gives it.

#include "Controls.h"
#include "DockTree.h"
#include "DragDrop.h"
#include "ExtCtrls.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "PaintTestSupport.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A windowless control that only takes room.
class TBox : public TGraphicControl {
public:
    using TGraphicControl::TGraphicControl;
};

using guitest::SendMouse;

class DragDockTest : public GuiTest {
protected:
    void TearDown() override {
        CancelDrag();
        SendMouse(MOUSEEVENTF_LEFTUP);
        Application.ProcessMessages();
        GuiTest::TearDown();
    }

    // The mouse moved to a point of control; handles messages until the drag has seen it there
    // (or, with no drag running, until the system has).
    static void MoveTo(const TControl& control, int x, int y) {
        const TPoint at = control.ClientToScreen(TPoint{x, y});
        SendMouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, at);
        guitest::PumpUntil([&] {
            POINT cursor;
            GetCursorPos(&cursor);
            const TDragObject* drag = DragObject();
            return drag ? drag->DragPos.x == at.x && drag->DragPos.y == at.y : cursor.x == at.x && cursor.y == at.y;
        });
        Application.ProcessMessages();
    }
    static void Press() { SendMouse(MOUSEEVENTF_LEFTDOWN); }
    static void Release() { SendMouse(MOUSEEVENTF_LEFTUP); }
};

std::string NameOf(TObject* object) {
    auto component = dynamic_cast<TComponent*>(object);
    return component ? component->Name() : "nothing";
}

const char* StateName(TDragState state) { return TEnumTraits<TDragState>::Names[state]; }

// A source with a drag cursor of its own, a target that takes the drag, one that refuses it and
// one without a handler; the log holds what each heard.
struct TDragScene {
    TTestForm form;
    TBox* source = form.Add<TBox>(&form, 10, 10, 60, 30);
    TPanel* taker = form.Add<TPanel>(&form, 100, 10, 120, 80);
    TPanel* refuser = form.Add<TPanel>(&form, 100, 120, 120, 80);
    TPanel* silent = form.Add<TPanel>(&form, 240, 10, 120, 80);
    std::vector<std::string> log;

    TDragScene() {
        source->SetName("source");
        taker->SetName("taker");
        refuser->SetName("refuser");
        source->SetDragMode(dmAutomatic);
        source->SetDragCursor(crHandPoint);
        source->OnStartDrag = [this](TObject*, TDragObject*& object) {
            log.push_back(object ? "start with an object" : "start");
        };
        source->OnEndDrag = [this](TObject*, TObject* target, int x, int y) {
            log.push_back(Format("end %s %d,%d", NameOf(target).c_str(), x, y));
        };
        auto over = [this](TObject* sender, TObject* from, int x, int y, TDragState state, bool& accept) {
            EXPECT_EQ(from, source);
            EXPECT_TRUE(accept) << "a handler starts by taking the drag";
            log.push_back(Format("%s %s %d,%d", NameOf(sender).c_str(), StateName(state), x, y));
            accept = sender == taker;
        };
        taker->OnDragOver = over;
        refuser->OnDragOver = over;
        taker->OnDragDrop = [this](TObject*, TObject* from, int x, int y) {
            EXPECT_EQ(from, source);
            log.push_back(Format("drop %d,%d", x, y));
        };
        refuser->OnDragDrop = [this](TObject*, TObject*, int, int) { log.push_back("dropped on the refuser"); };
        form.Show();
        Application.ProcessMessages();
    }
};

TEST_F(DragDockTest, AutomaticDragShowsWhereItIsTakenAndDropsThere) {
    TDragScene scene;
    MoveTo(*scene.source, 30, 15);
    Press();
    guitest::PumpUntil([&] { return scene.source->Dragging(); });
    EXPECT_EQ(scene.log, std::vector<std::string>{"start"});

    MoveTo(*scene.taker, 30, 40);
    EXPECT_EQ(scene.log.back(), "taker dsDragEnter 30,40");
    EXPECT_EQ(GetCursor(), Screen.Cursors(crHandPoint)) << "the source's drag cursor";
    MoveTo(*scene.taker, 40, 42);
    EXPECT_EQ(scene.log.back(), "taker dsDragMove 40,42");

    MoveTo(*scene.refuser, 20, 20);
    EXPECT_EQ(scene.log.end()[-2], "taker dsDragLeave 20,130");
    EXPECT_EQ(scene.log.back(), "refuser dsDragEnter 20,20");
    EXPECT_EQ(GetCursor(), Screen.Cursors(crNoDrop));
    MoveTo(*scene.silent, 20, 20);
    EXPECT_EQ(scene.log.back(), "refuser dsDragLeave 160,-90");
    EXPECT_EQ(GetCursor(), Screen.Cursors(crNoDrop)) << "no handler, no drop";

    MoveTo(*scene.taker, 50, 20);
    Release();
    guitest::PumpUntil([&] { return !scene.source->Dragging(); });
    EXPECT_EQ(std::vector<std::string>(scene.log.end() - 3, scene.log.end()),
              (std::vector<std::string>{"taker dsDragEnter 50,20", "drop 50,20", "end taker 50,20"}));
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(DragObject(), nullptr);
}

TEST_F(DragDockTest, EscapeARefusingTargetOrTheRightButtonEndWithoutADrop) {
    TDragScene scene;
    // Escape, through the message loop.
    MoveTo(*scene.source, 30, 15);
    Press();
    MoveTo(*scene.taker, 30, 40);
    guitest::SendKey(VK_ESCAPE);
    guitest::PumpUntil([&] { return !scene.source->Dragging(); });
    EXPECT_EQ(std::vector<std::string>(scene.log.end() - 2, scene.log.end()),
              (std::vector<std::string>{"taker dsDragLeave 30,40", "end nothing 0,0"}));
    Release();
    MoveTo(scene.form, 5, 5);

    // Let go over a target that refuses: it hears the drag leave, and nothing drops.
    scene.log.clear();
    MoveTo(*scene.source, 30, 15);
    Press();
    MoveTo(*scene.refuser, 10, 10);
    Release();
    guitest::PumpUntil([&] { return !scene.source->Dragging(); });
    EXPECT_EQ(scene.log, (std::vector<std::string>{"start", "refuser dsDragEnter 10,10", "refuser dsDragLeave 10,10",
                                                   "end nothing 0,0"}));

    // The right button cancels too.
    scene.log.clear();
    MoveTo(*scene.source, 30, 15);
    Press();
    MoveTo(*scene.taker, 10, 10);
    SendMouse(MOUSEEVENTF_RIGHTDOWN);
    guitest::PumpUntil([&] { return !scene.source->Dragging(); });
    SendMouse(MOUSEEVENTF_RIGHTUP);
    Release();
    Application.ProcessMessages();
    EXPECT_EQ(scene.log.back(), "end nothing 0,0");
    EXPECT_EQ(GetCapture(), nullptr);
}

TEST_F(DragDockTest, ManualDragStartsPastTheThresholdAndAPlainPressStillClicks) {
    TDragScene scene;
    int clicks = 0;
    scene.source->SetDragMode(dmManual);
    scene.source->OnClick = [&](TObject*) { ++clicks; };
    MoveTo(*scene.source, 30, 15);
    Press();
    Release();
    guitest::PumpUntil([&] { return clicks == 1; });
    EXPECT_TRUE(scene.log.empty());

    // Begun from the press, waiting for the mouse to move: a release before that is no drag.
    scene.source->OnMouseDown = [&](TObject*, TMouseButton, TShiftState, int, int) { scene.source->BeginDrag(false, 8); };
    Press();
    guitest::PumpUntil([&] { return scene.source->Dragging(); });
    MoveTo(*scene.source, 35, 20);
    EXPECT_TRUE(scene.log.empty()) << "within the threshold";
    Release();
    guitest::PumpUntil([&] { return !scene.source->Dragging(); });
    EXPECT_TRUE(scene.log.empty());
    EXPECT_EQ(clicks, 1) << "the press belonged to the drag";

    Press();
    guitest::PumpUntil([&] { return scene.source->Dragging(); });
    MoveTo(*scene.source, 50, 15);
    EXPECT_EQ(scene.log, std::vector<std::string>{"start"});
    MoveTo(*scene.taker, 5, 5);
    Release();
    guitest::PumpUntil([&] { return !scene.source->Dragging(); });
    EXPECT_EQ(scene.log.back(), "end taker 5,5");
}

TEST_F(DragDockTest, ControlsFreedByTheirHandlersLeaveTheDrag) {
    TDragScene scene;
    // A target that frees itself on entering: the drag goes on without it.
    scene.refuser->OnDragOver = [&](TObject*, TObject*, int, int, TDragState, bool&) { FreeComponent(scene.refuser); };
    MoveTo(*scene.source, 30, 15);
    Press();
    const TPoint gone = scene.refuser->ClientToScreen(TPoint{10, 10});
    SendMouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, gone);
    guitest::PumpUntil([&] { return scene.form.ControlCount() == 3; });
    MoveTo(*scene.taker, 10, 10);
    EXPECT_EQ(scene.log.back(), "taker dsDragEnter 10,10");

    // The dragged control freed while it is dragged: the drag ends without a word.
    scene.taker->OnDragOver = [&](TObject*, TObject*, int, int, TDragState, bool& accept) {
        accept = false;
        FreeComponent(scene.source);
    };
    MoveTo(*scene.taker, 20, 10);
    EXPECT_EQ(DragObject(), nullptr);
    EXPECT_EQ(GetCapture(), nullptr);
    Release();
    Application.ProcessMessages();
    EXPECT_EQ(scene.log.back(), "taker dsDragEnter 10,10");
}

}  // namespace
