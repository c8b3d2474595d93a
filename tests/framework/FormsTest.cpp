#include "Controls.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "Thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <utility>

namespace {

class FormLifetimeTest : public GuiTest {};
class ModalLoopTest : public GuiTest {};
class LayoutTest : public GuiTest {};

using TFreedForm = TKeptAfterFree<TTestForm>;

class TWorker : public TThread {
public:
    explicit TWorker(std::function<void()> work) : work_(std::move(work)) {}
    ~TWorker() override { StopAndWait(); }

protected:
    void Execute() override { work_(); }

private:
    std::function<void()> work_;
};

class TGraphic : public TGraphicControl {
public:
    using TGraphicControl::TGraphicControl;
};

class TPanel : public TCustomControl {
public:
    using TCustomControl::TCustomControl;
};

// Takes the WM_QUIT a modal loop posted again for the loops outside it.
bool TakeQuit() {
    MSG msg;
    return PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

// ---- modal loop ----------------------------------------------------------------------

TEST_F(ModalLoopTest, QuitEndsTheModalLoopEvenAfterAnEarlierTermination) {
    Application.Terminate();
    Application.ProcessMessages();
    ASSERT_TRUE(Application.Terminated());
    TTestForm dialog;
    dialog.OnShow = [](TObject*) { Application.Terminate(); };
    EXPECT_EQ(dialog.ShowModal(), mrCancel);
    EXPECT_FALSE(dialog.Visible());
    EXPECT_TRUE(TakeQuit());
}

TEST_F(ModalLoopTest, QuitInANestedModalLoopEndsTheOuterOneAndIsPostedAgain) {
    TTestForm owner;
    owner.Show();
    TTestForm outer;
    TTestForm inner;
    int innerResult = -1;
    bool ownerDisabledAfterInner = false;
    bool outerEnabledAfterInner = false;
    // The inner loop runs from a synchronised call, once the outer one is up.
    TWorker worker([&] {
        TThread::Synchronize([&] {
            innerResult = inner.ShowModal();
            ownerDisabledAfterInner = !IsWindowEnabled(owner.Handle());
            outerEnabledAfterInner = IsWindowEnabled(outer.Handle());
        });
    });
    outer.OnShow = [&](TObject*) { worker.Start(); };
    inner.OnShow = [](TObject*) { Application.Terminate(); };
    EXPECT_EQ(outer.ShowModal(), mrCancel);
    worker.WaitFor();
    EXPECT_EQ(innerResult, mrCancel);
    EXPECT_TRUE(ownerDisabledAfterInner);
    EXPECT_TRUE(outerEnabledAfterInner);
    EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
    EXPECT_TRUE(TakeQuit());
    owner.Hide();
}

TEST_F(ModalLoopTest, FormReleasedWhileModalEndsTheLoop) {
    TTestForm owner;
    owner.Show();
    auto dialog = new TFreedForm;
    bool destroyed = false;
    dialog->OnDestroy = [&](TObject*) { destroyed = true; };
    dialog->OnShow = [dialog](TObject*) { dialog->Release(); };
    EXPECT_EQ(dialog->ShowModal(), mrCancel);
    EXPECT_TRUE(destroyed);
    EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
    EXPECT_TRUE(TFreedForm::FreedMemoryUntouched());
    EXPECT_FALSE(TakeQuit());
    owner.Hide();
}

TEST_F(ModalLoopTest, FormFreedBySynchronisedCallWhileModalEndsTheLoop) {
    auto dialog = new TFreedForm;
    TWorker worker([&] { TThread::Synchronize([&] { FreeComponent(dialog); }); });
    dialog->OnShow = [&](TObject*) { worker.Start(); };
    EXPECT_EQ(dialog->ShowModal(), mrCancel);
    worker.WaitFor();
    EXPECT_TRUE(TFreedForm::FreedMemoryUntouched());
}

TEST_F(ModalLoopTest, FormFreedByItsOnCloseWhileModalIsNotTouchedAgain) {
    auto dialog = new TFreedForm;
    dialog->OnShow = [dialog](TObject*) { PostMessageA(dialog->Handle(), WM_CLOSE, 0, 0); };
    dialog->OnClose = [dialog](TObject*, TCloseAction& action) {
        FreeComponent(dialog);
        action = caHide;
    };
    EXPECT_EQ(dialog->ShowModal(), mrCancel);
    EXPECT_TRUE(TFreedForm::FreedMemoryUntouched());
}

TEST_F(ModalLoopTest, ExceptionOutOfTheLoopEnablesTheWindowsAndHidesTheForm) {
    TTestForm owner;
    owner.Show();
    TTestForm dialog;
    dialog.OnShow = [&](TObject*) { PostMessageA(dialog.Handle(), WM_CLOSE, 0, 0); };
    dialog.OnCloseQuery = [](TObject*, bool&) { throw std::runtime_error("refused"); };
    EXPECT_THROW(dialog.ShowModal(), std::runtime_error);
    EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
    EXPECT_FALSE(dialog.Visible());
    EXPECT_FALSE(dialog.Modal());
    owner.Hide();
}

TEST_F(ModalLoopTest, ModalResultSetByOnShowStillAsksOnCloseQuery) {
    TTestForm dialog;
    int queries = 0;
    dialog.OnShow = [&](TObject*) { dialog.SetModalResult(mrOk); };
    dialog.OnCloseQuery = [&](TObject*, bool& canClose) {
        canClose = ++queries > 1;
        if (!canClose)
            PostMessageA(dialog.Handle(), WM_CLOSE, 0, 0);
    };
    EXPECT_EQ(dialog.ShowModal(), mrCancel);
    EXPECT_EQ(queries, 2);
}

// ---- forms freed inside their own handlers -------------------------------------------

TEST_F(FormLifetimeTest, FormFreedByItsOnCloseQueryIsNotTouchedAgain) {
    auto form = new TFreedForm;
    form->Show();
    form->OnCloseQuery = [form](TObject*, bool& canClose) {
        FreeComponent(form);
        canClose = true;
    };
    form->Close();
    EXPECT_TRUE(TFreedForm::FreedMemoryUntouched());
}

TEST_F(FormLifetimeTest, FormFreedByItsOnShowIsNotTouchedAgain) {
    auto form = new TFreedForm;
    form->OnShow = [form](TObject*) { FreeComponent(form); };
    form->Show();
    EXPECT_TRUE(TFreedForm::FreedMemoryUntouched());
}

TEST_F(FormLifetimeTest, FormHiddenAgainByItsOnShowStaysOffTheScreen) {
    TTestForm form;
    form.OnShow = [&](TObject*) { form.Hide(); };
    form.Show();
    EXPECT_FALSE(form.Visible());
    EXPECT_FALSE(IsWindowVisible(form.Handle()));
}

TEST_F(FormLifetimeTest, FormFreedByItsOnActivateIsNotTouchedAgain) {
    auto form = new TFreedForm;
    form->OnActivate = [form](TObject*) { FreeComponent(form); };
    form->ShowForm();
    EXPECT_TRUE(TFreedForm::FreedMemoryUntouched());
}

TEST_F(FormLifetimeTest, FormReleasedTwiceIsFreedOnce) {
    auto form = new TFreedForm;
    int destroys = 0;
    form->OnDestroy = [&](TObject*) { ++destroys; };
    form->Show();
    form->Release();
    form->Release();
    Application.ProcessMessages();
    EXPECT_EQ(destroys, 1);
    EXPECT_TRUE(TFreedForm::FreedMemoryUntouched());
}

// ---- hints ----------------------------------------------------------------------------

// The main form's reference and the hint's share one free-notification link.
TEST_F(FormLifetimeTest, HintOfTheMainFormKeepsItsFreeNotification) {
    auto main = new TFreedForm;
    main->SetHint("Main");
    main->SetShowHint(true);
    Application.SetMainForm(main);
    Application.HintMouseEnter(main);
    Application.HintMouseLeave(main);
    FreeComponent(main);
    EXPECT_EQ(Application.MainForm(), nullptr);
    Application.SetMainForm(nullptr);
    EXPECT_TRUE(TFreedForm::FreedMemoryUntouched());
}

TEST_F(FormLifetimeTest, ControlFreedWhileItsHintShowsTakesTheHintAlong) {
    TTestForm form;
    auto button = new TPanel(&form);
    button->SetParent(&form);
    button->SetHint("Press|Presses the panel");
    button->SetShowHint(true);
    form.Show();
    Application.HintMouseEnter(button);
    EXPECT_EQ(Application.Hint(), "Presses the panel");
    ASSERT_NE(Application.HintWindow(), nullptr);
    EXPECT_TRUE(IsWindowVisible(Application.HintWindow()));
    FreeComponent(button);
    EXPECT_FALSE(IsWindowVisible(Application.HintWindow()));
    form.Hide();
}

TEST_F(FormLifetimeTest, HintGoesWithTheWindowOfItsControl) {
    TTestForm form;
    auto panel = new TPanel(&form);
    panel->SetParent(&form);
    panel->SetBounds(10, 10, 100, 50);
    panel->SetHint("Panel");
    panel->SetShowHint(true);
    form.Show();
    // The mouse enters the panel's window, which then goes while the control stays.
    SendMessageA(panel->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    ASSERT_NE(Application.HintWindow(), nullptr);
    EXPECT_TRUE(IsWindowVisible(Application.HintWindow()));
    form.Hide();
    form.RecreateWnd();
    EXPECT_FALSE(IsWindowVisible(Application.HintWindow()));
}

// ---- capture, alignment ----------------------------------------------------------------

TEST_F(FormLifetimeTest, WindowlessChildTakenOffItsParentGivesUpTheCapture) {
    TTestForm form;
    auto graphic = new TGraphic(&form);
    graphic->SetParent(&form);
    graphic->SetBounds(10, 10, 50, 50);
    form.Show();
    form.Perform(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 20));
    ASSERT_EQ(GetCaptureControl(), graphic);
    EXPECT_EQ(GetCapture(), form.Handle());
    graphic->SetParent(nullptr);
    EXPECT_EQ(GetCaptureControl(), nullptr);
    EXPECT_EQ(GetCapture(), nullptr);
    FreeComponent(graphic);
    form.Hide();
}

TEST_F(LayoutTest, ChildLeavingItsAlignmentGivesItsPlaceBack) {
    TTestForm form;
    auto top = new TPanel(&form);
    top->SetParent(&form);
    top->SetHeight(40);
    top->SetAlign(alTop);
    auto client = new TPanel(&form);
    client->SetParent(&form);
    client->SetAlign(alClient);
    EXPECT_EQ(client->Top(), 40);
    top->SetAlign(alNone);
    EXPECT_EQ(client->Top(), 0);
    EXPECT_EQ(client->Height(), form.ClientHeight());
}

}  // namespace

// A data module follows a form's protocol without a window; the screen lists both while they live.
TEST(DataModule, BuildsLikeAFormAndIsListedWhileItLives) {
    std::string log;
    auto module = new TDataModule(nullptr);
    module->OnCreate = [&](TObject*) { log += module->Components(0)->IsLoading() ? "create while loading " : "create "; };
    module->OnDestroy = [&](TObject*) { log += module->ComponentCount() ? "destroy whole " : "destroy "; };
    module->BuildModule([&] { new TComponent(module); });
    auto form = new TForm(nullptr);
    const auto& modules = Screen.DataModules();
    const auto& forms = Screen.Forms();
    EXPECT_EQ(std::count(modules.begin(), modules.end(), module), 1);
    EXPECT_EQ(std::count(forms.begin(), forms.end(), form), 1);
    FreeComponent(module);
    FreeComponent(form);
    EXPECT_EQ(log, "create destroy whole ");
    EXPECT_EQ(std::count(modules.begin(), modules.end(), module), 0);
    EXPECT_EQ(std::count(forms.begin(), forms.end(), form), 0);
}
