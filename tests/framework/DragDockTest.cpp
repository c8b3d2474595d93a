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

#include <exception>
#include <stdexcept>
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
        guitest::ParkMouse();
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

// A handler that fails where the drag cannot go on (at its start, at the drop) ends it.
TEST_F(DragDockTest, FailingHandlersAtTheStartOrTheDropEndTheDrag) {
    TDragScene scene;
    std::vector<std::string> failures;
    Application.OnException = [&](TObject*, std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            failures.push_back(e.what());
        }
    };
    scene.source->OnStartDrag = [](TObject*, TDragObject*&) { throw std::runtime_error("no start"); };
    MoveTo(*scene.source, 30, 15);
    Press();
    guitest::PumpUntil([&] { return !failures.empty(); });
    EXPECT_FALSE(scene.source->Dragging());
    EXPECT_EQ(GetCapture(), nullptr);
    MoveTo(*scene.taker, 10, 10);
    Release();
    MoveTo(*scene.source, 30, 15);

    scene.source->OnStartDrag = {};
    scene.taker->OnDragDrop = [](TObject*, TObject*, int, int) { throw std::runtime_error("no drop"); };
    Press();
    guitest::PumpUntil([&] { return scene.source->Dragging(); });
    MoveTo(*scene.taker, 10, 10);
    Release();
    guitest::PumpUntil([&] { return failures.size() == 2; });
    EXPECT_EQ(failures, (std::vector<std::string>{"no start", "no drop"}));
    EXPECT_FALSE(scene.source->Dragging());
    EXPECT_EQ(GetCapture(), nullptr);
}

// ---- docking by dragging ----

// Two dock sites side by side: the left one holds the client to drag and another, the right
// one a resident; the log holds what the sites and the client heard.
struct TDockScene {
    TTestForm form;
    TPanel* left = Site("left", 10, 10, 150, 280);
    TPanel* right = Site("right", 200, 10, 190, 280);
    TPanel* client = Client("client", left);
    TPanel* stays = Client("stays", left);
    TPanel* resident = Client("resident", right);
    std::vector<std::string> log;
    bool rightRefuses = false;  // the right site takes no client
    bool leftKeeps = false;     // the left site lets no client go

    TDockScene() {
        client->SetDragKind(dkDock);
        client->SetDragMode(dmAutomatic);
        client->OnStartDock = [this](TObject*, TDragDockObject*& object) {
            log.push_back(object ? "start with an object" : "start");
        };
        client->OnEndDock = [this](TObject*, TObject* target, int x, int y) {
            log.push_back(Format("end %s %d,%d", NameOf(target).c_str(), x, y));
        };
        for (TPanel* site : {left, right}) {
            site->OnDockOver = [this](TObject* sender, TDragDockObject* source, int, int, TDragState state, bool& accept) {
                EXPECT_EQ(source->Control(), client);
                EXPECT_TRUE(accept);
                log.push_back(NameOf(sender) + " " + StateName(state));
                accept = !(sender == right && rightRefuses);
            };
            site->OnDockDrop = [this](TObject* sender, TDragDockObject* source, int, int) {
                EXPECT_EQ(source->Control()->HostDockSite(), sender) << "docked before the site hears of it";
                log.push_back(NameOf(sender) + " drop");
            };
            site->OnUnDock = [this](TObject* sender, TControl* leaving, TWinControl* target, bool& allow) {
                EXPECT_TRUE(allow);
                log.push_back(NameOf(sender) + " undock " + NameOf(leaving) + " to " + NameOf(target));
                allow = !(sender == left && leftKeeps);
            };
        }
        form.SetClientSize(400, 300);
        form.Show();
        Application.ProcessMessages();
    }

    TPanel* Site(const char* name, int left, int top, int width, int height) {
        auto site = form.Add<TPanel>(&form, left, top, width, height);
        site->SetName(name);
        site->SetBevelOuter(bvNone);  // the clients take the whole client area
        site->SetDockSite(true);
        return site;
    }
    TPanel* Client(const char* name, TPanel* site) {
        auto panel = new TPanel(&form);
        panel->SetName(name);
        panel->SetCaption(name);
        panel->ManualDock(site);
        return panel;
    }
};

// The dock frame the drag shows, or null.
HWND DockFrame() {
    HWND frame = FindWindowA("TDockFrame", nullptr);
    return frame && IsWindowVisible(frame) ? frame : nullptr;
}

TRect ScreenRect(const TWinControl& site, TRect rect) {
    const TPoint origin = site.ClientToScreen(TPoint{0, 0});
    OffsetRect(&rect, origin.x, origin.y);
    return rect;
}

TEST_F(DragDockTest, ClientDraggedOntoAnotherSiteDocksThereAsManualDockWould) {
    TDockScene scene;
    auto& tree = static_cast<TDockTree&>(*scene.right->DockManager());
    const TRect slot = tree.DockRect(scene.client);
    EXPECT_EQ(guitest::Edges(slot), (std::vector<int>{0, 140, 190, 280})) << "after the resident";

    MoveTo(*scene.client, 20, 20);
    Press();
    guitest::PumpUntil([&] { return scene.client->Dragging(); });
    EXPECT_EQ(scene.log, (std::vector<std::string>{"start", "left dsDragEnter"})) << "over its own site";

    MoveTo(*scene.right, 50, 200);
    EXPECT_EQ(std::vector<std::string>(scene.log.end() - 2, scene.log.end()),
              (std::vector<std::string>{"left dsDragLeave", "right dsDragEnter"}));
    auto* drag = dynamic_cast<TDragDockObject*>(DragObject());
    ASSERT_NE(drag, nullptr);
    EXPECT_EQ(guitest::Edges(drag->DockRect), guitest::Edges(ScreenRect(*scene.right, slot)));
    HWND frame = DockFrame();
    ASSERT_NE(frame, nullptr);
    RECT shown;
    GetWindowRect(frame, &shown);
    EXPECT_EQ(guitest::Edges(shown), guitest::Edges(drag->DockRect));
    EXPECT_EQ(GetCursor(), Screen.Cursors(crDrag));

    Release();
    guitest::PumpUntil([&] { return !scene.client->Dragging(); });
    EXPECT_EQ(std::vector<std::string>(scene.log.end() - 3, scene.log.end()),
              (std::vector<std::string>{"left undock client to right", "right drop", "end right 50,200"}));
    EXPECT_EQ(DockFrame(), nullptr);
    EXPECT_EQ(scene.client->HostDockSite(), scene.right);
    EXPECT_EQ(scene.client->Parent(), scene.right);
    ASSERT_EQ(scene.right->DockClientCount(), 2);
    EXPECT_EQ(scene.left->DockClientCount(), 1);
    // Laid out behind its strip in the slot the frame showed; the one left behind takes its site.
    const int strip = TDockTree::GrabberSize;
    EXPECT_EQ(guitest::Edges(scene.client->BoundsRect()),
              (std::vector<int>{slot.left, slot.top + strip, slot.right, slot.bottom}));
    EXPECT_EQ(guitest::Edges(scene.stays->BoundsRect()), (std::vector<int>{0, strip, 150, 280}));
}

TEST_F(DragDockTest, SitesMayRefuseAndEscapeCancelsADock) {
    TDockScene scene;
    // The right site refuses: no frame, the no-drop cursor, and a drop there changes nothing.
    scene.rightRefuses = true;
    MoveTo(*scene.client, 20, 20);
    Press();
    MoveTo(*scene.right, 50, 200);
    EXPECT_EQ(DockFrame(), nullptr);
    EXPECT_EQ(GetCursor(), Screen.Cursors(crNoDrop));
    Release();
    guitest::PumpUntil([&] { return !scene.client->Dragging(); });
    EXPECT_EQ(scene.log.back(), "end nothing 0,0");
    EXPECT_EQ(scene.client->HostDockSite(), scene.left);

    // The site left behind keeps its client.
    scene.rightRefuses = false;
    scene.leftKeeps = true;
    scene.log.clear();
    MoveTo(*scene.client, 20, 20);
    Press();
    MoveTo(*scene.right, 50, 200);
    Release();
    guitest::PumpUntil([&] { return !scene.client->Dragging(); });
    EXPECT_EQ(std::vector<std::string>(scene.log.end() - 2, scene.log.end()),
              (std::vector<std::string>{"left undock client to right", "end nothing 0,0"}));
    EXPECT_EQ(scene.client->HostDockSite(), scene.left);
    EXPECT_EQ(scene.right->DockClientCount(), 1);

    // Escape.
    scene.leftKeeps = false;
    scene.log.clear();
    MoveTo(*scene.client, 20, 20);
    Press();
    MoveTo(*scene.right, 50, 200);
    ASSERT_NE(DockFrame(), nullptr);
    guitest::SendKey(VK_ESCAPE);
    guitest::PumpUntil([&] { return !scene.client->Dragging(); });
    EXPECT_EQ(std::vector<std::string>(scene.log.end() - 2, scene.log.end()),
              (std::vector<std::string>{"right dsDragLeave", "end nothing 0,0"}));
    EXPECT_EQ(DockFrame(), nullptr);
    EXPECT_EQ(scene.client->HostDockSite(), scene.left);
}

TEST_F(DragDockTest, GrabberStripDragsItsClientOnceTheMouseMoves) {
    TDockScene scene;
    scene.client->SetDragMode(dmManual);
    auto& tree = static_cast<TDockTree&>(*scene.left->DockManager());
    const TRect grabber = tree.GrabberRect(*scene.client);
    MoveTo(*scene.left, grabber.left + 20, grabber.top + 5);
    Press();
    guitest::PumpUntil([&] { return scene.client->Dragging(); });
    EXPECT_TRUE(scene.log.empty()) << "not before the mouse moves";
    MoveTo(*scene.right, 50, 30);
    EXPECT_EQ(scene.log.front(), "start");
    Release();
    guitest::PumpUntil([&] { return !scene.client->Dragging(); });
    EXPECT_EQ(scene.client->HostDockSite(), scene.right);
    EXPECT_EQ(scene.right->DockClients(1), scene.client) << "after the resident";
}

}  // namespace
