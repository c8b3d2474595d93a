#include "Controls.h"
#include "DockTree.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "PaintTestSupport.h"
#include "Thread.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

class ControlTest : public GuiTest {};
class FormTest : public GuiTest {};
class ApplicationGuiTest : public GuiTest {};

// A native push button: it clicks on BN_CLICKED (reflected as CN_COMMAND), not on the mouse.
class TTestButton : public TWinControl {
public:
    explicit TTestButton(TComponent* owner) : TWinControl(owner) {
        ControlStyle.Exclude(csClickEvents).Exclude(csCaptureMouse);
        TabStop = true;
        SetBounds(0, 0, 75, 25);
    }
    void Click() override {
        if (Result != mrNone)
            if (TCustomForm* form = GetParentForm(this))
                form->SetModalResult(Result);
        TWinControl::Click();
    }
    void WndProc(TMessage& message) override {
        switch (message.Msg) {
        case CN_COMMAND:
            ++Commands;
            if (HIWORD(message.WParam) == BN_CLICKED)
                Click();
            return;
        case CN_NOTIFY:
            NotifyCodes.push_back(reinterpret_cast<NMHDR*>(message.LParam)->code);
            return;
        case CM_ENTER:
            Log.push_back("enter");
            break;
        case CM_EXIT:
            Log.push_back("exit");
            break;
        case CM_TEXTCHANGED:
            ++TextChanges;
            break;
        case CM_DIALOGCHAR:
            if (IsAccel(static_cast<char>(message.WParam), Caption())) {
                Click();
                message.Result = 1;
                return;
            }
            break;
        case WM_WINDOWPOSCHANGING:
        case WM_WINDOWPOSCHANGED:
        case WM_MOVE:
        case WM_SIZE:
            ++Moves;
            break;
        default:
            break;
        }
        TWinControl::WndProc(message);
    }

    TModalResult Result = mrNone;
    int Commands = 0;
    int TextChanges = 0;
    int Moves = 0;
    std::vector<UINT> NotifyCodes;
    std::vector<std::string> Log;

protected:
    void CreateParams(TCreateParams& params) override {
        TWinControl::CreateParams(params);
        params.SysClass = "BUTTON";
        params.Style |= BS_PUSHBUTTON;
    }
};

class TTestEdit : public TWinControl {
public:
    explicit TTestEdit(TComponent* owner) : TWinControl(owner) { TabStop = true; }

protected:
    void CreateParams(TCreateParams& params) override {
        TWinControl::CreateParams(params);
        params.SysClass = "EDIT";
        params.Style |= ES_AUTOHSCROLL;
    }
};

// An owner-drawn native list: it asks its parent for item heights while it is being made.
class TTestOwnerDrawList : public TWinControl {
public:
    using TWinControl::TWinControl;
    void WndProc(TMessage& message) override {
        if (message.Msg == CN_MEASUREITEM) {
            ++Measures;
            reinterpret_cast<MEASUREITEMSTRUCT*>(message.LParam)->itemHeight = 21;
            message.Result = TRUE;
            return;
        }
        TWinControl::WndProc(message);
    }
    int Measures = 0;

protected:
    void CreateParams(TCreateParams& params) override {
        TWinControl::CreateParams(params);
        params.SysClass = "LISTBOX";
        params.Style |= LBS_OWNERDRAWFIXED | LBS_HASSTRINGS;
    }
};

// A native container (a static frame) holding windowless children.
class TTestNativeFrame : public TWinControl {
public:
    using TWinControl::TWinControl;

protected:
    void CreateParams(TCreateParams& params) override {
        TWinControl::CreateParams(params);
        params.SysClass = "STATIC";
        params.Style |= SS_ETCHEDFRAME;
    }
};

class TTestPanel : public TCustomControl {
public:
    using TCustomControl::TCustomControl;
};

// A windowless control that logs its handlers next to the events.
class TTestGraphic : public TGraphicControl {
public:
    explicit TTestGraphic(TComponent* owner) : TGraphicControl(owner) {
        OnMouseDown = [this](TObject*, TMouseButton, TShiftState, int x, int y) {
            Log.push_back("OnMouseDown " + std::to_string(x) + "," + std::to_string(y));
        };
        OnMouseUp = [this](TObject*, TMouseButton, TShiftState, int, int) { Log.push_back("OnMouseUp"); };
        OnClick = [this](TObject*) { Log.push_back("OnClick"); };
        OnMouseEnter = [this](TObject*) { Log.push_back("OnMouseEnter"); };
        OnMouseLeave = [this](TObject*) { Log.push_back("OnMouseLeave"); };
    }
    void WndProc(TMessage& message) override {
        if (message.Msg == CM_TEXTCHANGED)
            ++TextChanges;
        TGraphicControl::WndProc(message);
    }

    std::vector<std::string> Log;
    int Paints = 0;
    int TextChanges = 0;
    bool FailPaint = false;

protected:
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override {
        Log.push_back("MouseDown");
        TGraphicControl::MouseDown(button, shift, x, y);
    }
    void Paint() override {
        ++Paints;
        Canvas().FillRect(ClientRect());
    }
};

class TLambdaThread : public TThread {
public:
    explicit TLambdaThread(std::function<void()> work) : work_(std::move(work)) {}
    ~TLambdaThread() override { StopAndWait(); }

protected:
    void Execute() override { work_(); }

private:
    std::function<void()> work_;
};

LPARAM At(int x, int y) { return MAKELPARAM(x, y); }

}  // namespace

TEST_F(ControlTest, ClickOnButtonEndsShowModalWithItsResult) {
    TTestForm form;
    auto ok = form.Add<TTestButton>(&form, 10, 10, 75, 25);
    ok->SetCaption("OK");
    ok->Result = mrOk;
    int clicks = 0;
    ok->OnClick = [&](TObject* sender) {
        EXPECT_EQ(sender, ok);
        ++clicks;
    };
    form.OnShow = [&](TObject*) { PostMessageA(ok->Handle(), BM_CLICK, 0, 0); };
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(IsWindowVisible(form.WindowHandle()));
    EXPECT_FALSE(form.Modal());
}

TEST_F(FormTest, EnterAndEscapeClickTheDefaultAndCancelControls) {
    for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
        TTestForm form;
        auto ok = form.Add<TTestButton>(&form, 10, 10, 75, 25);
        auto cancel = form.Add<TTestButton>(&form, 100, 10, 75, 25);
        ok->Result = mrOk;
        cancel->Result = mrCancel;
        form.SetDefaultControl(ok);
        form.SetCancelControl(cancel);
        form.SetActiveControl(cancel);
        form.OnShow = [&](TObject*) { PostMessageA(cancel->Handle(), WM_KEYDOWN, key, 0); };
        EXPECT_EQ(form.ShowModal(), key == VK_RETURN ? mrOk : mrCancel);
    }
}

TEST_F(FormTest, ChildMayClaimADialogKey) {
    class TClaimer : public TTestPanel {
    public:
        using TTestPanel::TTestPanel;
        void WndProc(TMessage& message) override {
            if (message.Msg == CM_DIALOGKEY && message.WParam == VK_RETURN) {
                ++Claims;
                message.Result = 1;
                return;
            }
            TTestPanel::WndProc(message);
        }
        int Claims = 0;
    };
    TTestForm form;
    auto panel = form.Add<TTestPanel>(&form, 0, 0, 200, 100);
    auto claimer = form.Add<TClaimer>(panel, 0, 0, 50, 50);  // below a container: the broadcast goes down
    auto ok = form.Add<TTestButton>(&form, 10, 150, 75, 25);
    int clicks = 0;
    ok->OnClick = [&](TObject*) { ++clicks; };
    form.SetDefaultControl(ok);
    EXPECT_EQ(form.Perform(CM_DIALOGKEY, VK_RETURN), 1);
    EXPECT_EQ(claimer->Claims, 1);
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(form.Perform(CM_DIALOGKEY, VK_ESCAPE), 0);  // no cancel control
}

TEST_F(ControlTest, NotificationsAreReflectedThroughAPanel) {
    TTestForm form;
    auto panel = form.Add<TTestPanel>(&form, 0, 0, 300, 200);
    auto button = form.Add<TTestButton>(panel, 20, 20, 75, 25);
    int clicks = 0;
    button->OnClick = [&](TObject*) { ++clicks; };
    form.Show();
    ASSERT_EQ(GetParent(button->Handle()), panel->Handle());
    SendMessageA(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(button->Commands, 1);
    EXPECT_EQ(clicks, 1);

    NMHDR header{button->Handle(), 7, static_cast<UINT>(NM_CLICK)};
    SendMessageA(panel->Handle(), WM_NOTIFY, 7, reinterpret_cast<LPARAM>(&header));
    ASSERT_EQ(button->NotifyCodes.size(), 1u);
    EXPECT_EQ(button->NotifyCodes[0], static_cast<UINT>(NM_CLICK));

    // A notification from a window that is not ours stays with the parent.
    HWND stranger = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 1, 1, panel->Handle(), nullptr, nullptr, nullptr);
    NMHDR foreign{stranger, 8, static_cast<UINT>(NM_CLICK)};
    SendMessageA(panel->Handle(), WM_NOTIFY, 8, reinterpret_cast<LPARAM>(&foreign));
    EXPECT_EQ(button->NotifyCodes.size(), 1u);

    // Colour requests come back to the child, which answers with its own brush.
    button->SetColor(clRed);
    TWindowDc dc(button->Handle());
    auto brush = reinterpret_cast<HBRUSH>(
        SendMessageA(panel->Handle(), WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc.Get()), reinterpret_cast<LPARAM>(button->Handle())));
    EXPECT_EQ(brush, button->Brush()->Handle());
    EXPECT_EQ(GetBkColor(dc.Get()), ColorToRGB(clRed));
    form.Hide();
}

TEST_F(ControlTest, WindowlessChildGetsEnterLeaveAndClicks) {
    TTestForm form;
    auto graphic = form.Add<TTestGraphic>(&form, 50, 40, 100, 60);
    form.Show();
    HWND window = form.Handle();
    SendMessageA(window, WM_MOUSEMOVE, 0, At(10, 10));
    EXPECT_TRUE(graphic->Log.empty());
    SendMessageA(window, WM_MOUSEMOVE, 0, At(60, 50));
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, At(60, 50));
    EXPECT_TRUE(graphic->MouseCapture());
    SendMessageA(window, WM_LBUTTONUP, 0, At(61, 51));
    EXPECT_FALSE(graphic->MouseCapture());
    SendMessageA(window, WM_MOUSEMOVE, 0, At(300, 250));
    // The override runs first and the event fires from inside the base handler; Click
    // comes before MouseUp. Coordinates arrive in the child's own.
    std::vector<std::string> expected = {"OnMouseEnter", "MouseDown", "OnMouseDown 10,10", "OnClick", "OnMouseUp",
                                         "OnMouseLeave"};
    EXPECT_EQ(graphic->Log, expected);

    // A release outside is no click, and the captured control still hears it. Entering
    // follows moves only, not presses.
    graphic->Log.clear();
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, At(60, 50));
    SendMessageA(window, WM_LBUTTONUP, 0, At(390, 290));
    expected = {"MouseDown", "OnMouseDown 10,10", "OnMouseUp"};
    EXPECT_EQ(graphic->Log, expected);

    // Disabled or hidden children are not hit.
    graphic->SetEnabled(false);
    EXPECT_EQ(form.ControlAtPos(TPoint{60, 50}), nullptr);
    graphic->SetEnabled(true);
    EXPECT_EQ(form.ControlAtPos(TPoint{60, 50}), graphic);

    // The parent paints it.
    form.Repaint();
    EXPECT_GT(graphic->Paints, 0);
    form.Hide();
}

TEST_F(ControlTest, RecreateWndKeepsCaptionBoundsAndLookup) {
    TTestForm form;
    auto button = form.Add<TTestButton>(&form, 30, 40, 90, 28);
    form.Show();
    HWND before = button->Handle();
    SetWindowTextA(before, "Typed into the window");
    EXPECT_EQ(button->TextChanges, 1);
    button->RecreateWnd();
    HWND after = button->Handle();
    EXPECT_NE(after, before);
    EXPECT_FALSE(IsWindow(before));
    EXPECT_EQ(TWinControl::FindControl(after), button);
    EXPECT_EQ(button->Caption(), "Typed into the window");
    char text[64] = "";
    GetWindowTextA(after, text, sizeof(text));
    EXPECT_STREQ(text, "Typed into the window");
    RECT rect;
    GetWindowRect(after, &rect);
    MapWindowPoints(nullptr, form.Handle(), reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, 30);
    EXPECT_EQ(rect.top, 40);
    EXPECT_EQ(rect.right - rect.left, 90);
    EXPECT_EQ(rect.bottom - rect.top, 28);
    EXPECT_EQ(button->BoundsRect().right, 120);
    EXPECT_TRUE(IsWindowVisible(after));

    // The form itself, with its children.
    HWND formBefore = form.Handle();
    form.SetBorderStyle(bsDialog);
    EXPECT_NE(form.Handle(), formBefore);
    EXPECT_TRUE(IsWindowVisible(form.Handle()));
    EXPECT_EQ(GetParent(button->Handle()), form.Handle());
    EXPECT_EQ(button->Caption(), "Typed into the window");
    EXPECT_EQ(TWinControl::FindControl(GetDesktopWindow()), nullptr);
    form.Hide();
}

TEST_F(FormTest, SynchronisedCallRunsWhileModal) {
    TTestForm form;
    DWORD ranOn = 0;
    TLambdaThread worker([&] {
        TThread::Synchronize([&] {
            ranOn = GetCurrentThreadId();
            form.SetModalResult(mrYes);
        });
    });
    form.OnShow = [&](TObject*) { worker.Start(); };
    EXPECT_EQ(form.ShowModal(), mrYes);
    worker.WaitFor();
    EXPECT_EQ(ranOn, GetCurrentThreadId());
}

TEST_F(FormTest, ModalDisablesOtherWindowsAndCloseQueryCanRefuse) {
    TTestForm owner;
    owner.Show();
    TTestForm dialog;
    int queries = 0;
    int closes = 0;
    bool ownerEnabledWhileModal = true;
    dialog.OnCloseQuery = [&](TObject*, bool& canClose) { canClose = ++queries > 1; };
    dialog.OnClose = [&](TObject*, TCloseAction& action) {
        EXPECT_EQ(action, caHide);
        ++closes;
    };
    dialog.OnShow = [&](TObject*) {
        ownerEnabledWhileModal = IsWindowEnabled(owner.Handle());
        PostMessageA(dialog.Handle(), WM_CLOSE, 0, 0);
        PostMessageA(dialog.Handle(), WM_CLOSE, 0, 0);
    };
    EXPECT_EQ(dialog.ShowModal(), mrCancel);
    EXPECT_FALSE(ownerEnabledWhileModal);
    EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
    EXPECT_EQ(queries, 2);
    EXPECT_EQ(closes, 1);
    EXPECT_THROW(owner.ShowModal(), EInvalidOperation);  // already visible
    owner.Hide();
}

TEST_F(ControlTest, SetBoundsWithUnchangedBoundsSendsNothing) {
    TTestForm form;
    auto button = form.Add<TTestButton>(&form, 10, 10, 80, 24);
    auto graphic = form.Add<TTestGraphic>(&form, 100, 100, 40, 40);
    form.Show();
    form.Update();
    button->Moves = 0;
    button->SetBounds(10, 10, 80, 24);
    EXPECT_EQ(button->Moves, 0);
    ValidateRect(form.Handle(), nullptr);
    graphic->SetBounds(100, 100, 40, 40);
    EXPECT_FALSE(GetUpdateRect(form.Handle(), nullptr, FALSE));

    button->SetBounds(12, 10, 80, 24);
    EXPECT_GT(button->Moves, 0);
    EXPECT_EQ(button->Left(), 12);
    graphic->SetBounds(101, 100, 40, 40);
    EXPECT_TRUE(GetUpdateRect(form.Handle(), nullptr, FALSE));
    form.Hide();
}

TEST_F(ControlTest, AlignLaysOutChildren) {
    TTestForm form;
    TTestPanel* top = nullptr;
    TTestPanel* bottom = nullptr;
    TTestPanel* left = nullptr;
    TTestPanel* client = nullptr;
    std::vector<std::string> order;
    form.OnCreate = [&](TObject*) {
        order.push_back("OnCreate");
        // Alignment waited for the end of loading.
        EXPECT_EQ(client->Width(), 400 - 50);
    };
    form.BuildForm([&] {
        top = form.Add<TTestPanel>(&form, 0, 0, 10, 30);
        bottom = form.Add<TTestPanel>(&form, 0, 0, 10, 20);
        left = form.Add<TTestPanel>(&form, 0, 0, 50, 10);
        client = form.Add<TTestPanel>(&form, 0, 0, 10, 10);
        client->SetAlign(alClient);  // set first: the layout order is by kind, not by the order of setting
        top->SetAlign(alTop);
        bottom->SetAlign(alBottom);
        left->SetAlign(alLeft);
        EXPECT_TRUE(top->IsLoading());
        EXPECT_EQ(top->Width(), 10);
        order.push_back("built");
    });
    EXPECT_FALSE(top->IsLoading());
    EXPECT_EQ(order, (std::vector<std::string>{"built", "OnCreate"}));
    auto bounds = [](TControl* c) {
        return std::vector<int>{c->Left(), c->Top(), c->Width(), c->Height()};
    };
    EXPECT_EQ(bounds(top), (std::vector<int>{0, 0, 400, 30}));
    EXPECT_EQ(bounds(bottom), (std::vector<int>{0, 280, 400, 20}));
    EXPECT_EQ(bounds(left), (std::vector<int>{0, 30, 50, 250}));
    EXPECT_EQ(bounds(client), (std::vector<int>{50, 30, 350, 250}));

    form.Show();
    EXPECT_EQ(form.ClientWidth(), 400);
    form.SetClientSize(500, 200);
    EXPECT_EQ(bounds(client), (std::vector<int>{50, 30, 450, 150}));
    bottom->Hide();
    EXPECT_EQ(bounds(client), (std::vector<int>{50, 30, 450, 170}));
    form.Hide();
}

TEST_F(ApplicationGuiTest, OnExceptionReceivesExceptionsFromHandlers) {
    TTestForm form;
    auto button = form.Add<TTestButton>(&form, 10, 10, 75, 25);
    button->OnClick = [](TObject*) { throw std::runtime_error("click failed"); };
    TObject* sender = nullptr;
    std::string text;
    Application.OnException = [&](TObject* s, std::exception_ptr e) {
        sender = s;
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            text = x.what();
        }
    };
    form.Show();
    SendMessageA(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(text, "click failed");
    EXPECT_EQ(sender, &form);  // the window whose procedure the exception reached: the reflecting parent

    // Without OnException the message goes to the (replaced) message box.
    Application.OnException = {};
    std::string shown;
    auto previous = SetMessageBoxHook([&](HWND, const std::string& t, const std::string& caption, UINT flags) {
        shown = t;
        EXPECT_EQ(caption, Application.Title());
        EXPECT_TRUE(flags & MB_ICONSTOP);
        return IDOK;
    });
    SendMessageA(button->Handle(), BM_CLICK, 0, 0);
    SetMessageBoxHook(previous);
    EXPECT_EQ(shown, "click failed.");
    form.Hide();
}

TEST_F(FormTest, TabMovesFocusAndSendsEnterExit) {
    TTestForm form;
    auto first = form.Add<TTestButton>(&form, 10, 10, 75, 25);
    auto panel = form.Add<TTestPanel>(&form, 0, 50, 200, 60);
    auto second = form.Add<TTestButton>(panel, 10, 10, 75, 25);
    auto third = form.Add<TTestButton>(&form, 10, 150, 75, 25);
    std::vector<TControl*> focusSeen;
    form.ShowForm();
    first->SetFocus();
    EXPECT_TRUE(first->Focused());
    EXPECT_EQ(form.ActiveControl(), first);
    form.Perform(CM_DIALOGKEY, VK_TAB);
    EXPECT_EQ(form.ActiveControl(), second);  // into the container, in tab order
    EXPECT_TRUE(second->Focused());
    form.Perform(CM_DIALOGKEY, VK_TAB);
    EXPECT_EQ(form.ActiveControl(), third);
    form.Perform(CM_DIALOGKEY, VK_TAB);
    EXPECT_EQ(form.ActiveControl(), first);  // wraps around
    EXPECT_EQ(first->Log, (std::vector<std::string>{"enter", "exit", "enter"}));
    EXPECT_EQ(second->Log, (std::vector<std::string>{"enter", "exit"}));
    third->SetTabOrder(0);
    EXPECT_EQ(third->TabOrder(), 0);
    form.Hide();
}

TEST_F(ControlTest, TextColourAndFontNotifications) {
    TTestForm form;
    auto panel = form.Add<TTestPanel>(&form, 0, 0, 100, 100);
    auto graphic = form.Add<TTestGraphic>(panel, 0, 0, 10, 10);
    graphic->SetCaption("a");
    graphic->SetCaption("a");
    graphic->SetCaption("b");
    EXPECT_EQ(graphic->TextChanges, 2);
    EXPECT_EQ(GetPropText(*graphic, GetPropInfo(*graphic, "Caption")), "b");

    graphic->SetParentColor(true);
    form.SetColor(clYellow);
    panel->SetParentColor(true);
    EXPECT_EQ(graphic->Color(), clYellow);  // through the panel
    graphic->SetColor(clRed);
    EXPECT_FALSE(graphic->ParentColor());
    form.SetColor(clGreen);
    EXPECT_EQ(graphic->Color(), clRed);

    form.Font()->SetSize(14);
    EXPECT_EQ(graphic->Font()->Size(), 14);
    EXPECT_TRUE(graphic->ParentFont());
    SetPropText(*graphic, GetPropInfo(*graphic, "Align"), "alClient");
    EXPECT_EQ(graphic->Width(), 100);
}

TEST_F(ControlTest, BiDiModeFollowsTheParentAndShapesWindowsAndTextFlags) {
    TTestForm form;
    auto panel = form.Add<TTestPanel>(&form, 0, 0, 200, 100);
    auto edit = form.Add<TTestEdit>(panel, 10, 10, 100, 22);
    auto graphic = form.Add<TTestGraphic>(panel, 0, 50, 10, 10);
    auto exStyle = [](TWinControl* control) { return GetWindowLongA(control->Handle(), GWL_EXSTYLE); };
    EXPECT_EQ(edit->BiDiMode(), bdLeftToRight);
    EXPECT_TRUE(edit->ParentBiDiMode());
    EXPECT_EQ(exStyle(edit) & (WS_EX_RTLREADING | WS_EX_LEFTSCROLLBAR), 0);

    form.SetBiDiMode(bdRightToLeft);
    EXPECT_FALSE(form.ParentBiDiMode());
    EXPECT_EQ(graphic->BiDiMode(), bdRightToLeft);  // through the panel
    EXPECT_EQ(exStyle(edit) & (WS_EX_RTLREADING | WS_EX_LEFTSCROLLBAR), WS_EX_RTLREADING | WS_EX_LEFTSCROLLBAR);
    EXPECT_EQ(TWinControl::FindControl(edit->Handle()), edit);
    // A child placed on a right-to-left parent has its window made that way at once.
    auto late = form.Add<TTestEdit>(panel, 10, 40, 100, 22);
    EXPECT_NE(exStyle(late) & WS_EX_RTLREADING, 0);

    // Mirrored alignment swaps left and right and leaves centred text alone.
    EXPECT_EQ(graphic->DrawTextBiDiModeFlags(DT_RIGHT | DT_SINGLELINE), static_cast<UINT>(DT_SINGLELINE | DT_RTLREADING));
    EXPECT_EQ(graphic->DrawTextBiDiModeFlags(DT_CENTER), static_cast<UINT>(DT_CENTER | DT_RTLREADING));
    struct Expected {
        TBiDiMode mode;
        bool alignment, reading, scrollBar;
    };
    for (const Expected& e : {Expected{bdLeftToRight, false, false, false}, Expected{bdRightToLeft, true, true, true},
                              Expected{bdRightToLeftNoAlign, false, true, true},
                              Expected{bdRightToLeftReadingOnly, false, true, false}}) {
        panel->SetBiDiMode(e.mode);
        SCOPED_TRACE(e.mode);
        EXPECT_EQ(graphic->UseRightToLeftAlignment(), e.alignment);
        EXPECT_EQ(graphic->UseRightToLeftReading(), e.reading);
        EXPECT_EQ(graphic->UseRightToLeftScrollBar(), e.scrollBar);
        EXPECT_EQ(graphic->DrawTextBiDiModeFlags(DT_LEFT), (e.alignment ? DT_RIGHT : DT_LEFT) | (e.reading ? DT_RTLREADING : 0u));
        EXPECT_EQ(exStyle(edit) & WS_EX_LEFTSCROLLBAR, e.scrollBar ? WS_EX_LEFTSCROLLBAR : 0);
    }

    // A mode of its own holds until the control follows its parent again.
    graphic->SetBiDiMode(bdLeftToRight);
    panel->SetBiDiMode(bdRightToLeft);
    EXPECT_EQ(graphic->BiDiMode(), bdLeftToRight);
    graphic->SetParentBiDiMode(true);
    EXPECT_EQ(graphic->BiDiMode(), bdRightToLeft);
}

// Records the colour and settings changes it hears.
class TChangeListener : public TWinControl {
public:
    using TWinControl::TWinControl;
    void WndProc(TMessage& message) override {
        if (message.Msg == WM_SYSCOLORCHANGE || message.Msg == WM_SETTINGCHANGE)
            Heard.push_back({message.Msg, message.WParam});
        TWinControl::WndProc(message);
    }
    std::vector<std::pair<UINT, WPARAM>> Heard;
};

TEST_F(FormTest, ColourAndSettingsChangesReachEveryControlThroughTheForm) {
    TTestForm form;
    auto panel = form.Add<TTestPanel>(&form, 0, 0, 200, 100);
    auto inner = form.Add<TChangeListener>(panel, 10, 10, 50, 20);
    form.Show();
    // The system sends both to top-level windows only.
    SendMessageA(form.Handle(), WM_SYSCOLORCHANGE, 0, 0);
    SendMessageA(form.Handle(), WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS, reinterpret_cast<LPARAM>("WindowMetrics"));
    EXPECT_EQ(inner->Heard, (std::vector<std::pair<UINT, WPARAM>>{{WM_SYSCOLORCHANGE, 0},
                                                                  {WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS}}));
    form.Hide();
}

TEST_F(ApplicationGuiTest, WindowAndRunLoop) {
    Application.SetTitle("Hidden title");
    HWND app = Application.Handle();
    char text[64] = "";
    GetWindowTextA(app, text, sizeof(text));
    EXPECT_STREQ(text, "Hidden title");
    GetClassNameA(app, text, sizeof(text));
    EXPECT_STREQ(text, "TApplication");
    EXPECT_FALSE(IsWindowVisible(app));

    TTestForm main;
    Application.SetMainForm(&main);
    SendMessageA(app, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_TRUE(IsWindowVisible(main.Handle()));
    EXPECT_EQ(GetWindow(main.Handle(), GW_OWNER), app);
    main.Hide();

    // Run shows the main form and returns once it closes.
    int closes = 0;
    main.OnClose = [&](TObject*, TCloseAction&) { ++closes; };
    main.OnShow = [&](TObject*) { PostMessageA(main.Handle(), WM_CLOSE, 0, 0); };
    Application.Run();
    EXPECT_TRUE(Application.Terminated());
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(main.Visible());
    Application.SetMainForm(nullptr);
}

TEST_F(FormTest, CaFreeReleasesTheForm) {
    auto form = new TTestForm;
    bool destroyed = false;
    form->OnDestroy = [&](TObject*) { destroyed = true; };
    form->OnClose = [](TObject*, TCloseAction& action) { action = caFree; };
    form->Show();
    form->Close();
    EXPECT_FALSE(destroyed);
    Application.ProcessMessages();
    EXPECT_TRUE(destroyed);
}

TEST(ScreenTest, CursorsMonitorsAndFonts) {
    EXPECT_EQ(Screen.Cursors(crHandPoint), LoadCursorA(nullptr, IDC_HAND));
    EXPECT_EQ(Screen.Cursors(crHelp), LoadCursorA(nullptr, IDC_HELP));
    EXPECT_EQ(Screen.Cursors(5), LoadCursorA(nullptr, IDC_ARROW));
    HCURSOR custom = LoadCursorA(nullptr, IDC_CROSS);
    Screen.SetCursors(5, custom);
    EXPECT_EQ(Screen.Cursors(5), custom);
    Screen.SetCursors(5, nullptr);
    TRect area = Screen.WorkAreaRect();
    EXPECT_GT(area.right - area.left, 0);
    EXPECT_GE(Screen.MonitorCount(), 1);
    EXPECT_FALSE(Screen.Fonts().empty());
}

TEST(ApplicationTest, SeamsAndHints) {
    std::string opened;
    auto old = SetShellOpenHook([&](HWND, const std::string& operation, const std::string& file, const std::string&,
                                    const std::string&, int) {
        opened = operation + " " + file;
        return true;
    });
    EXPECT_TRUE(ShellOpen(nullptr, "open", "http://example.invalid/"));
    SetShellOpenHook(old);
    EXPECT_EQ(opened, "open http://example.invalid/");

    EXPECT_EQ(GetShortHint("Short|Long text"), "Short");
    EXPECT_EQ(GetLongHint("Short|Long text"), "Long text");
    EXPECT_EQ(GetLongHint("Only"), "Only");
}

TEST(ControlsText, AcceleratorMarks) {
    EXPECT_TRUE(IsAccel('g', "&Go"));
    EXPECT_TRUE(IsAccel('G', "&go"));
    EXPECT_FALSE(IsAccel('o', "&Go"));
    EXPECT_FALSE(IsAccel('a', "&&a&b"));
    EXPECT_TRUE(IsAccel('b', "&&a&b"));
    EXPECT_FALSE(IsAccel('x', "x&"));
    EXPECT_FALSE(IsAccel('x', ""));
}

// Keys travel through the message loop as the user's would: posted, then handled.
class KeyboardTest : public GuiTest {
protected:
    static void Type(TWinControl* control, UINT message, WPARAM key) {
        PostMessageA(control->Handle(), message, key, 1);
        Application.ProcessMessages();
    }
};

TEST_F(KeyboardTest, KeyEventsSeeKeysFirstAndMaySwallowThem) {
    TTestForm form;
    auto edit = form.Add<TTestEdit>(&form, 10, 10, 200, 24);
    std::vector<std::string> log;
    edit->OnKeyDown = [&](TObject*, WORD& key, TShiftState) {
        log.push_back("down " + std::to_string(key));
        if (key == VK_DELETE)
            key = 0;
    };
    edit->OnKeyPress = [&](TObject*, char& key) {
        log.push_back(std::string("press ") + key);
        if (key == 'b')
            key = 0;
        else if (key == 'c')
            key = 'C';
    };
    edit->OnKeyUp = [&](TObject*, WORD& key, TShiftState) { log.push_back("up " + std::to_string(key)); };
    form.ShowForm();
    edit->SetFocus();
    Type(edit, WM_KEYDOWN, 'A');
    Type(edit, WM_KEYUP, 'A');
    Type(edit, WM_CHAR, 'b');
    Type(edit, WM_CHAR, 'c');
    EXPECT_EQ(edit->Caption(), "aC");
    EXPECT_EQ(log, (std::vector<std::string>{"down 65", "press a", "up 65", "press b", "press c"}));

    // A swallowed Delete never reaches the edit.
    SendMessageA(edit->Handle(), EM_SETSEL, 0, 0);
    Type(edit, WM_KEYDOWN, VK_DELETE);
    EXPECT_EQ(edit->Caption(), "aC");

    // With KeyPreview the form decides first.
    form.KeyPreview = true;
    form.OnKeyPress = [&](TObject*, char& key) {
        log.push_back(std::string("form ") + key);
        if (key == 'x')
            key = 0;
    };
    log.clear();
    Type(edit, WM_CHAR, 'x');
    Type(edit, WM_CHAR, 'y');
    EXPECT_EQ(log, (std::vector<std::string>{"form x", "form y", "press y"}));
    EXPECT_EQ(edit->Caption(), "yaC");
    form.Hide();
}

TEST_F(KeyboardTest, AcceleratorsReachTheirControl) {
    TTestForm form;
    auto edit = form.Add<TTestEdit>(&form, 10, 10, 200, 24);
    auto go = form.Add<TTestButton>(&form, 10, 50, 75, 25);
    go->SetCaption("&Go");
    int clicks = 0;
    go->OnClick = [&](TObject*) { ++clicks; };
    form.ShowForm();

    // The edit takes plain characters; Alt+G is the accelerator wherever the focus is.
    edit->SetFocus();
    Type(edit, WM_CHAR, 'g');
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(edit->Caption(), "g");
    Type(edit, WM_SYSCHAR, 'g');
    EXPECT_EQ(clicks, 1);

    // A button wants no characters: the plain letter works there, other letters do nothing.
    go->SetFocus();
    Type(go, WM_CHAR, 'G');
    Type(go, WM_CHAR, 'q');
    EXPECT_EQ(clicks, 2);
    form.Hide();
}

TEST_F(KeyboardTest, ArrowsMoveAmongSiblingsUnlessTheWindowWantsThem) {
    TTestForm form;
    auto panel = form.Add<TTestPanel>(&form, 0, 0, 300, 100);
    auto first = form.Add<TTestButton>(panel, 10, 10, 75, 25);
    auto second = form.Add<TTestButton>(panel, 100, 10, 75, 25);
    auto third = form.Add<TTestButton>(panel, 190, 10, 75, 25);
    auto edit = form.Add<TTestEdit>(&form, 10, 150, 200, 24);
    form.ShowForm();
    first->SetFocus();
    Type(first, WM_KEYDOWN, VK_RIGHT);
    EXPECT_TRUE(second->Focused());
    Type(second, WM_KEYDOWN, VK_UP);
    EXPECT_TRUE(first->Focused());
    Type(first, WM_KEYDOWN, VK_LEFT);
    EXPECT_TRUE(third->Focused());  // wraps, and stays inside the panel
    third->SetEnabled(false);
    first->SetFocus();
    Type(first, WM_KEYDOWN, VK_LEFT);
    EXPECT_TRUE(second->Focused());  // disabled ones are skipped

    edit->SetFocus();
    Type(edit, WM_KEYDOWN, VK_DOWN);
    EXPECT_TRUE(edit->Focused());
    form.Hide();
}

TEST_F(ControlTest, NativeChildrenAreReachedDuringCreationAndFromOutside) {
    TTestForm form;
    auto list = form.Add<TTestOwnerDrawList>(&form, 10, 10, 150, 100);
    list->HandleNeeded();
    EXPECT_GE(list->Measures, 1);  // asked while CreateWindowEx was still running
    EXPECT_EQ(SendMessageA(list->Handle(), LB_GETITEMHEIGHT, 0, 0), 21);

    // Perform from plain code (not inside the window's own procedure) reaches the native class.
    auto button = form.Add<TTestButton>(&form, 10, 150, 75, 25);
    button->Perform(WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Fresh"));
    EXPECT_EQ(button->Perform(WM_GETTEXTLENGTH), 5);
    char text[16] = "";
    GetWindowTextA(button->Handle(), text, sizeof(text));
    EXPECT_STREQ(text, "Fresh");
}

TEST_F(ControlTest, WindowlessChildrenPaintOverNativeParents) {
    TTestForm form;
    auto frame = form.Add<TTestNativeFrame>(&form, 10, 10, 200, 100);
    auto graphic = form.Add<TTestGraphic>(frame, 20, 20, 50, 30);
    form.ShowForm();
    graphic->Paints = 0;
    RedrawWindow(frame->Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    EXPECT_GE(graphic->Paints, 1);
    form.Hide();
}

namespace {

class TDescribedForm : public TTestForm {
public:
    using TTestForm::TTestForm;
    virtual std::string Describe() const { return "form"; }
};

class TRegistrationForm : public TDescribedForm {
public:
    using TDescribedForm::TDescribedForm;
    std::string Describe() const override { return "registration " + step_; }

private:
    std::string step_ = "page";
};

}  // namespace

TEST_F(FormTest, OnDestroyRunsWhileTheFormIsWhole) {
    std::string seen;
    auto owner = std::make_unique<TComponent>(nullptr);
    auto form = new TRegistrationForm(owner.get());
    form->OnDestroy = [&](TObject* sender) { seen = static_cast<TDescribedForm*>(sender)->Describe(); };
    owner.reset();
    EXPECT_EQ(seen, "registration page");

    seen.clear();
    auto alone = new TRegistrationForm(nullptr);
    alone->OnDestroy = [&](TObject* sender) { seen = static_cast<TDescribedForm*>(sender)->Describe(); };
    FreeComponent(alone);
    EXPECT_EQ(seen, "registration page");
}

TEST(GuiTestWatchdog, ClosesAStrayDialogBoxAndReportsIt) {
    guitest::TWatchdog watchdog(20000);
    int answer = MessageBoxA(nullptr, "Nobody reads this", "Stray box", MB_OKCANCEL);
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_EQ(watchdog.ClosedDialogs(), "[Stray box] ");
}

TEST_F(ApplicationGuiTest, MessageBoxesThroughTheSeamAreCaughtInTests) {
    EXPECT_EQ(ShowMessageBox(nullptr, "Disk full", "Saving", MB_OK), IDCANCEL);
    EXPECT_EQ(UnexpectedMessageBoxes, "[Saving: Disk full] ");
    UnexpectedMessageBoxes.clear();
}

TEST_F(FormTest, ActiveControlChosenBeforeShowingIsEnteredOnce) {
    TTestForm form;
    auto first = form.Add<TTestButton>(&form, 10, 10, 75, 25);
    auto second = form.Add<TTestButton>(&form, 100, 10, 75, 25);
    form.SetActiveControl(second);
    form.ShowForm();
    EXPECT_TRUE(second->Focused());
    EXPECT_EQ(second->Log, std::vector<std::string>{"enter"});
    first->SetFocus();
    EXPECT_EQ(second->Log, (std::vector<std::string>{"enter", "exit"}));
    EXPECT_EQ(first->Log, std::vector<std::string>{"enter"});
    form.Hide();
}

namespace {

// An edit that frees itself when told to, from inside its own window procedure.
class TSelfFreeingEdit : public TTestEdit {
public:
    using TTestEdit::TTestEdit;
    void WndProc(TMessage& message) override {
        if (message.Msg == WM_APP) {
            message.Result = 7;
            FreeComponent(this);
            return;
        }
        TTestEdit::WndProc(message);
    }
};

// A button that takes the focus back the first time it loses it.
class TStickyButton : public TTestButton {
public:
    using TTestButton::TTestButton;
    void WndProc(TMessage& message) override {
        TTestButton::WndProc(message);
        if (message.Msg == CM_EXIT && std::exchange(Sticky, false))
            SetFocus();
    }
    bool Sticky = true;
};

}  // namespace

TEST_F(ControlTest, ControlFreedInsideItsWindowProcedureIsNotTouchedAgain) {
    TTestForm form;
    auto edit = form.Add<TKeptAfterFree<TSelfFreeingEdit>>(&form, 10, 10, 200, 24);
    HWND window = edit->Handle();
    EXPECT_EQ(SendMessageA(window, WM_APP, 0, 0), 7);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(form.ControlCount(), 0);
    EXPECT_TRUE(TKeptAfterFree<TSelfFreeingEdit>::FreedMemoryUntouched());
}

TEST_F(KeyboardTest, ControlFreedByAKeyHandlerHearsNoMore) {
    TTestForm form;
    using TEdit = TKeptAfterFree<TTestEdit>;
    std::vector<std::string> log;
    auto edit = form.Add<TEdit>(&form, 10, 10, 200, 24);
    edit->OnKeyDown = [&](TObject* sender, WORD&, TShiftState) {
        log.push_back("down");
        FreeComponent(static_cast<TComponent*>(sender));
    };
    form.ShowForm();
    edit->SetFocus();
    Type(edit, WM_KEYDOWN, 'A');
    EXPECT_EQ(form.ControlCount(), 0);
    EXPECT_TRUE(TEdit::FreedMemoryUntouched());

    // The form's preview frees the focused control: the control's own handler does not run.
    edit = form.Add<TEdit>(&form, 10, 10, 200, 24);
    edit->OnKeyPress = [&](TObject*, char&) { log.push_back("press"); };
    form.KeyPreview = true;
    form.OnKeyPress = [&](TObject*, char&) {
        log.push_back("form");
        FreeComponent(edit);
    };
    edit->SetFocus();
    Type(edit, WM_CHAR, 'a');
    EXPECT_EQ(form.ControlCount(), 0);
    EXPECT_TRUE(TEdit::FreedMemoryUntouched());
    EXPECT_EQ(log, (std::vector<std::string>{"down", "form"}));
    form.Hide();
}

TEST_F(FormTest, FocusTakenBackDuringExitEntersOnlyTheControlThatHasIt) {
    TTestForm form;
    auto first = form.Add<TStickyButton>(&form, 10, 10, 75, 25);
    auto second = form.Add<TTestButton>(&form, 100, 10, 75, 25);
    form.ShowForm();
    first->SetFocus();
    second->SetFocus();
    EXPECT_TRUE(first->Focused());
    EXPECT_EQ(form.ActiveControl(), first);
    EXPECT_EQ(first->Log, (std::vector<std::string>{"enter", "exit", "enter"}));
    EXPECT_EQ(second->Log, std::vector<std::string>{});
    form.Hide();
}

TEST_F(ControlTest, ButtonFreedByItsClickHandlerHearsNoMore) {
    TTestForm form;
    using TButton = TKeptAfterFree<TTestButton>;
    auto button = form.Add<TButton>(&form, 10, 10, 75, 25);
    int mouseUps = 0;
    button->OnMouseUp = [&](TObject*, TMouseButton, TShiftState, int, int) { ++mouseUps; };
    button->OnClick = [&](TObject* sender) { FreeComponent(static_cast<TComponent*>(sender)); };
    form.ShowForm();
    HWND window = button->Handle();
    // The native button clicks inside its own handling of the release.
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    Application.ProcessMessages();
    EXPECT_EQ(form.ControlCount(), 0);
    EXPECT_EQ(mouseUps, 0);
    EXPECT_TRUE(TButton::FreedMemoryUntouched());
    form.Hide();
}

TEST_F(ControlTest, FindControlKnowsOnlyOurWindows) {
    TTestForm form;
    auto panel = form.Add<TTestPanel>(&form, 0, 0, 100, 100);
    auto button = form.Add<TTestButton>(panel, 10, 10, 75, 25);
    EXPECT_EQ(TWinControl::FindControl(form.Handle()), &form);
    EXPECT_EQ(TWinControl::FindControl(panel->Handle()), panel);
    EXPECT_EQ(TWinControl::FindControl(button->Handle()), button);
    EXPECT_EQ(TWinControl::FindControl(nullptr), nullptr);
    EXPECT_EQ(TWinControl::FindControl(GetDesktopWindow()), nullptr);
    HWND stranger = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 10, 10, form.Handle(), nullptr, nullptr, nullptr);
    SetWindowLongPtrA(stranger, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&form));
    EXPECT_EQ(TWinControl::FindControl(stranger), nullptr);
    DestroyWindow(stranger);
    HWND panelWindow = panel->Handle();
    panel->RecreateWnd();
    EXPECT_EQ(TWinControl::FindControl(panel->Handle()), panel);
    EXPECT_FALSE(IsWindow(panelWindow));
}

TEST_F(ControlTest, EnterAndLeaveHandlersMayFreeControls) {
    TTestForm form;
    auto left = form.Add<TTestGraphic>(&form, 10, 10, 50, 50);
    auto right = form.Add<TTestGraphic>(&form, 60, 10, 50, 50);
    // Leaving the left child frees the right one, which the mouse is moving onto.
    left->OnMouseLeave = [&](TObject*) { FreeComponent(right); };
    form.ShowForm();
    HWND window = form.Handle();
    SendMessageA(window, WM_MOUSEMOVE, 0, MAKELPARAM(20, 20));
    SendMessageA(window, WM_MOUSEMOVE, 0, MAKELPARAM(80, 20));
    EXPECT_EQ(form.ControlCount(), 1);
    SendMessageA(window, WM_MOUSEMOVE, 0, MAKELPARAM(20, 20));

    // A window whose own enter handler frees it hears nothing more of the move.
    using TPanel = TKeptAfterFree<TTestPanel>;
    auto panel = form.Add<TPanel>(&form, 200, 10, 100, 100);
    panel->OnMouseEnter = [](TObject* sender) { FreeComponent(static_cast<TComponent*>(sender)); };
    SendMessageA(panel->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(form.ControlCount(), 1);
    EXPECT_TRUE(TPanel::FreedMemoryUntouched());
    form.Hide();
}

// ---- docking ----

TEST_F(ControlTest, DockSiteStacksItsClientsBehindGrabbersAndTheCloseButtonHidesOne) {
    using guitest::Edges;
    TTestForm form;
    auto site = form.Add<TTestPanel>(&form, 0, 0, 160, 240);
    auto plain = form.Add<TTestPanel>(&form, 200, 0, 50, 50);
    auto first = form.Add<TTestPanel>(&form, 0, 0, 10, 10);
    auto second = form.Add<TTestPanel>(&form, 0, 0, 10, 10);
    EXPECT_THROW(first->ManualDock(plain), EInvalidOperation);
    site->SetDockSite(true);
    first->ManualDock(site);
    second->ManualDock(site);
    ASSERT_EQ(site->DockClientCount(), 2);
    EXPECT_EQ(second->HostDockSite(), site);
    EXPECT_EQ(second->Parent(), site);
    // Taller than wide: stacked, each below a strip along its top.
    const int strip = TDockTree::GrabberSize;
    EXPECT_EQ(Edges(first->BoundsRect()), (std::vector<int>{0, strip, 160, 120}));
    EXPECT_EQ(Edges(second->BoundsRect()), (std::vector<int>{0, 120 + strip, 160, 240}));
    auto& tree = static_cast<TDockTree&>(*site->DockManager());
    EXPECT_EQ(Edges(tree.CloseButtonRect(*second)), (std::vector<int>{160 - strip, 120, 160, 120 + strip}));

    // The plain frame: the close button and raised bars in the strip, nothing over the client.
    form.Show();
    auto picture = guitest::Render(*site);
    auto found = [](const TRect& box) { return box.left < box.right; };
    const TRect bars = MakeRect(2, 3, 160 - strip - 2, 9);
    EXPECT_TRUE(found(guitest::BoxOfColour(*picture, guitest::Sys(COLOR_BTNHIGHLIGHT), bars)));
    EXPECT_TRUE(found(guitest::BoxOfColour(*picture, RGB(0, 0, 0), MakeRect(160 - strip, 0, 160, strip))));

    // A press on the close button hides that client; the other takes the whole site.
    const TRect close = tree.CloseButtonRect(*first);
    SendMessageA(site->Handle(), WM_LBUTTONDOWN, MK_LBUTTON,
                 MAKELPARAM((close.left + close.right) / 2, (close.top + close.bottom) / 2));
    EXPECT_FALSE(first->Visible());
    EXPECT_EQ(Edges(second->BoundsRect()), (std::vector<int>{0, strip, 160, 240}));
    EXPECT_FALSE(found(tree.GrabberRect(*first)));

    // Wider than tall: side by side, strips on the left; a freed client leaves the site.
    first->Show();
    site->SetBounds(0, 0, 300, 100);
    EXPECT_EQ(Edges(first->BoundsRect()), (std::vector<int>{strip, 0, 150, 100}));
    EXPECT_EQ(Edges(second->BoundsRect()), (std::vector<int>{150 + strip, 0, 300, 100}));
    delete first;
    EXPECT_EQ(site->DockClientCount(), 1);
    EXPECT_EQ(Edges(second->BoundsRect()), (std::vector<int>{strip, 0, 300, 100}));
    second->ManualDock(nullptr);
    EXPECT_EQ(second->Parent(), nullptr);
    EXPECT_EQ(site->DockClientCount(), 0);
    delete second;
}
