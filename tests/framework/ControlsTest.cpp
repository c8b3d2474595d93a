#include "Controls.h"
#include "Forms.h"
#include "Thread.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Ends the process when a test runs past its limit, so that a stuck loop fails instead of hanging.
class TWatchdog {
public:
    explicit TWatchdog(DWORD limitMs) : limitMs_(limitMs) {
        thread_.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }
    ~TWatchdog() {
        SetEvent(stop_.Get());
        WaitForSingleObject(thread_.Get(), INFINITE);
    }
    TWatchdog(const TWatchdog&) = delete;
    TWatchdog& operator=(const TWatchdog&) = delete;

private:
    static DWORD WINAPI Run(void* data) {
        auto self = static_cast<TWatchdog*>(data);
        if (WaitForSingleObject(self->stop_.Get(), self->limitMs_) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "GUI test exceeded its time limit\n");
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 124);
        }
        return 0;
    }

    DWORD limitMs_;
    TUniqueHandle stop_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    TUniqueHandle thread_;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
    if (window == Application.Handle() || window == Application.HintWindow())
        return TRUE;
    char name[64] = "";
    GetClassNameA(window, name, sizeof(name));
    if (std::string(name) != "TThreadSyncWindow" && std::string(name) != "IME")  // the system's input window
        *reinterpret_cast<std::string*>(data) += std::string(name) + " ";
    return TRUE;
}

// The top-level windows of this thread other than the application's own.
std::string LeftoverWindows() {
    std::string names;
    EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&names));
    return names;
}

class GuiTest : public ::testing::Test {
protected:
    void TearDown() override {
        Application.OnException = {};
        EXPECT_EQ(LeftoverWindows(), "");
    }

private:
    TWatchdog watchdog_{20000};
};

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

class TTestForm : public TForm {
public:
    explicit TTestForm(TComponent* owner = nullptr) : TForm(owner) {
        SetPosition(poScreenCenter);
        SetClientSize(400, 300);
    }
    template <class C>
    C* Add(TWinControl* parent, int left, int top, int width, int height) {
        auto control = new C(this);
        control->SetParent(parent);
        control->SetBounds(left, top, width, height);
        return control;
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
    int previous = CommonControlsVersion();
    EXPECT_GT(previous, 0);
    SetCommonControlsVersion(600);
    EXPECT_EQ(CommonControlsVersion(), 600);
    SetCommonControlsVersion(previous);

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
