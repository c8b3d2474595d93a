// The properties controls take from the framework: read from a form stream made by the form
// converter, written back by the component writer, and their behaviour.

#include "ActnList.h"
#include "Controls.h"
#include "DragDrop.h"
#include "ExtCtrls.h"
#include "FormStream.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "StdCtrls.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class InheritedProps : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        for (const TClassInfo* info : {&TAction::StaticClassInfo(), &TLabel::StaticClassInfo(),
                                       &TPanel::StaticClassInfo(), &TEdit::StaticClassInfo(),
                                       &TGroupBox::StaticClassInfo(), &TComboBox::StaticClassInfo(),
                                       &TButton::StaticClassInfo()})
            RegisterClass(*info);
    }

    // Each control goes into the control it appears in; each handler named is bound to one that
    // does nothing.
    static TFormReadOptions Options() {
        TFormReadOptions options;
        options.FindMethod = [](TObject& target, const TPropInfo& prop, const std::string&) {
            return BindEvent(target, prop, TMouseEvent([](TObject*, TMouseButton, TShiftState, int, int) {})) ||
                   BindEvent(target, prop, TStartDragEvent([](TObject*, TDragObject*&) {})) ||
                   BindEvent(target, prop, TDragOverEvent([](TObject*, TObject*, int, int, TDragState, bool&) {})) ||
                   BindEvent(target, prop, TDragDropEvent([](TObject*, TObject*, int, int) {})) ||
                   BindEvent(target, prop, TEndDragEvent([](TObject*, TObject*, int, int) {})) ||
                   BindEvent(target, prop, TStartDockEvent([](TObject*, TDragDockObject*&) {})) ||
                   BindEvent(target, prop,
                             TDockOverEvent([](TObject*, TDragDockObject*, int, int, TDragState, bool&) {})) ||
                   BindEvent(target, prop, TDockDropEvent([](TObject*, TDragDockObject*, int, int) {})) ||
                   BindEvent(target, prop, TUnDockEvent([](TObject*, TControl*, TWinControl*, bool&) {}));
        };
        options.SetParent = [](TComponent& child, TComponent& container) {
            auto* control = dynamic_cast<TControl*>(&child);
            auto* parent = dynamic_cast<TWinControl*>(&container);
            if (control && parent)
                control->SetParent(parent);
        };
        return options;
    }

    static void ReadResource(TForm& form) {
        TResourceStream stream(GetModuleHandleA(nullptr), "FORMINHERITED", RT_RCDATA);
        ReadComponent(stream, form, Options());
    }

    template <class C>
    static C* Find(TComponent& form, const char* name) {
        auto* found = dynamic_cast<C*>(form.FindComponent(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
};

// What the stream sets, and what follows from the parents after loading.
void ExpectLoaded(TForm& form) {
    auto* label = dynamic_cast<TLabel*>(form.FindComponent("lblName"));
    auto* panel = dynamic_cast<TPanel*>(form.FindComponent("pnlSite"));
    auto* edit = dynamic_cast<TEdit*>(form.FindComponent("edtName"));
    auto* group = dynamic_cast<TGroupBox*>(form.FindComponent("grpOptions"));
    auto* combo = dynamic_cast<TComboBox*>(form.FindComponent("cmbKind"));
    auto* button = dynamic_cast<TButton*>(form.FindComponent("btnGo"));
    ASSERT_TRUE(label && panel && edit && group && combo && button);

    EXPECT_EQ(label->BiDiMode(), bdRightToLeft);
    EXPECT_FALSE(label->ParentBiDiMode());
    EXPECT_EQ(combo->BiDiMode(), bdRightToLeftReadingOnly);
    EXPECT_EQ(edit->BiDiMode(), bdLeftToRight);
    EXPECT_TRUE(edit->ParentBiDiMode());

    EXPECT_FALSE(panel->Ctl3D());
    EXPECT_FALSE(panel->ParentCtl3D());
    EXPECT_FALSE(edit->Ctl3D()) << "from the panel";
    EXPECT_TRUE(edit->ParentCtl3D());
    EXPECT_TRUE(group->Ctl3D());
    EXPECT_FALSE(group->ParentCtl3D());

    EXPECT_TRUE(panel->DockSite());
    EXPECT_NE(panel->DockManager(), nullptr);
    EXPECT_FALSE(group->DockSite());

    EXPECT_TRUE(label->ShowHint());
    EXPECT_FALSE(label->ParentShowHint());
    EXPECT_TRUE(edit->ShowHint()) << "from the panel";
    EXPECT_TRUE(edit->ParentShowHint());
    EXPECT_FALSE(group->ShowHint());
    EXPECT_FALSE(combo->ShowHint()) << "from the group box";

    EXPECT_EQ(label->DragMode(), dmAutomatic);
    EXPECT_EQ(label->DragCursor(), crHandPoint);
    EXPECT_EQ(label->DragKind(), dkDrag);
    EXPECT_EQ(combo->DragKind(), dkDock);
    EXPECT_EQ(combo->DragMode(), dmManual);
    EXPECT_EQ(edit->DragCursor(), crDrag);

    EXPECT_EQ(edit->Anchors(), (TAnchors{akLeft, akTop, akRight}));
    EXPECT_EQ(label->Anchors(), (TAnchors{akLeft, akTop}));
    EXPECT_EQ(panel->Constraints()->MinWidth(), 150);
    EXPECT_EQ(panel->Constraints()->MaxHeight(), 200);
    EXPECT_EQ(panel->Constraints()->MaxWidth(), 0);

    EXPECT_EQ(button->Action(), form.FindComponent("actGo"));
    EXPECT_EQ(button->Caption(), "Go");
}

TEST_F(InheritedProps, ConverterOutputLoadsAndTheWriterGivesItBack) {
    TTestForm form;
    ReadResource(form);
    {
        SCOPED_TRACE("read");
        ExpectLoaded(form);
    }
    {
        // The handlers the stream names (the writer has no names for them).
        auto* label = Find<TLabel>(form, "lblName");
        auto* panel = Find<TPanel>(form, "pnlSite");
        ASSERT_TRUE(label && panel);
        EXPECT_TRUE(label->OnMouseDown.Assigned());
        EXPECT_TRUE(label->OnStartDrag.Assigned());
        EXPECT_TRUE(label->OnEndDrag.Assigned());
        EXPECT_TRUE(panel->OnDragOver.Assigned());
        EXPECT_TRUE(panel->OnDragDrop.Assigned());
        auto* group = Find<TGroupBox>(form, "grpOptions");
        auto* combo = Find<TComboBox>(form, "cmbKind");
        ASSERT_TRUE(group && combo);
        EXPECT_TRUE(group->OnDockOver.Assigned());
        EXPECT_TRUE(group->OnDockDrop.Assigned());
        EXPECT_TRUE(group->OnUnDock.Assigned());
        EXPECT_TRUE(combo->OnStartDock.Assigned());
        EXPECT_TRUE(combo->OnEndDock.Assigned());
    }

    // Written as set: values of their own, nothing a control takes from its parent.
    const TFormObject described = DescribeComponent(form);
    auto child = [&](const std::string& name) -> const TFormObject& {
        for (const TFormObject& object : described.Children)
            if (object.Name == name)
                return object;
        ADD_FAILURE() << name;
        return described;
    };
    const TFormObject& label = child("lblName");
    for (const char* name : {"BiDiMode", "ParentBiDiMode", "ShowHint", "ParentShowHint", "DragMode", "DragCursor"})
        EXPECT_NE(label.FindProperty(name), nullptr) << name;
    const TFormObject& panel = child("pnlSite");
    ASSERT_EQ(panel.Children.size(), 1u) << "the edit inside its panel";
    EXPECT_EQ(panel.Children[0].Name, "edtName");
    for (const char* name : {"Ctl3D", "ParentCtl3D", "DockSite", "ShowHint", "Constraints.MinWidth", "Constraints.MaxHeight"})
        EXPECT_NE(panel.FindProperty(name), nullptr) << name;
    EXPECT_EQ(panel.FindProperty("Constraints.MaxWidth"), nullptr);
    EXPECT_EQ(panel.FindProperty("Anchors"), nullptr) << "the default";
    ASSERT_NE(panel.Children[0].FindProperty("Anchors"), nullptr);
    EXPECT_EQ(panel.Children[0].FindProperty("Anchors")->Value.Elements,
              (std::vector<std::string>{"akLeft", "akTop", "akRight"}));
    EXPECT_EQ(panel.FindProperty("BiDiMode"), nullptr);
    EXPECT_EQ(panel.FindProperty("ParentShowHint")->Value.Type, TFormValueType::False);
    ASSERT_NE(child("btnGo").FindProperty("Action"), nullptr);
    EXPECT_EQ(child("btnGo").FindProperty("Action")->Value.Text, "actGo");
    EXPECT_EQ(child("lblName").FindProperty("Action"), nullptr) << "no action, nothing written";

    TMemoryStream stream;
    WriteComponent(stream, form);
    stream.SetPosition(0);
    TTestForm copy;
    ReadComponent(stream, copy, Options());
    SCOPED_TRACE("written and read back");
    ExpectLoaded(copy);
}

TEST_F(InheritedProps, ShowHintFollowsTheParentUntilSetItself) {
    TTestForm form;
    auto panel = form.Add<TPanel>(&form, 0, 0, 200, 100);
    auto edit = form.Add<TEdit>(panel, 0, 0, 80, 21);
    auto label = form.Add<TLabel>(panel, 0, 40, 80, 21);
    EXPECT_TRUE(label->ParentShowHint());
    form.SetShowHint(true);
    EXPECT_TRUE(edit->ShowHint()) << "through the panel";
    EXPECT_TRUE(label->ShowHint());

    label->SetShowHint(false);
    EXPECT_FALSE(label->ParentShowHint());
    form.SetShowHint(false);
    form.SetShowHint(true);
    EXPECT_FALSE(label->ShowHint()) << "its own value stays";
    label->SetParentShowHint(true);
    EXPECT_TRUE(label->ShowHint());

    // A control put into a parent takes the parent's value.
    auto late = new TLabel(&form);
    late->SetParent(&form);
    EXPECT_TRUE(late->ShowHint());
}

// A windowless control that only takes room.
class TBox : public TGraphicControl {
public:
    using TGraphicControl::TGraphicControl;
};

std::vector<int> Edges(const TControl& control) {
    const TRect r = control.BoundsRect();
    return {r.left, r.top, r.right, r.bottom};
}

TEST_F(InheritedProps, AnchoredSidesKeepTheirDistanceWhenTheParentResizes) {
    TTestForm form;
    auto panel = form.Add<TPanel>(&form, 0, 0, 200, 100);
    auto box = [&](int left, int top, int width, int height, TAnchors anchors) {
        auto control = form.Add<TBox>(panel, left, top, width, height);
        control->SetAnchors(anchors);
        return control;
    };
    auto fixed = box(10, 10, 40, 20, {akLeft, akTop});
    auto stretched = box(10, 40, 100, 20, {akLeft, akTop, akRight});
    auto right = box(150, 10, 40, 20, {akTop, akRight});
    auto corner = box(150, 70, 40, 20, {akRight, akBottom});
    auto centred = box(80, 40, 40, 20, {});
    auto filling = form.Add<TPanel>(panel, 60, 60, 80, 30);
    filling->SetAnchors({akLeft, akTop, akRight, akBottom});

    panel->SetBounds(0, 0, 300, 160);
    EXPECT_EQ(Edges(*fixed), (std::vector<int>{10, 10, 50, 30}));
    EXPECT_EQ(Edges(*stretched), (std::vector<int>{10, 40, 210, 60}));
    EXPECT_EQ(Edges(*right), (std::vector<int>{250, 10, 290, 30}));
    EXPECT_EQ(Edges(*corner), (std::vector<int>{250, 130, 290, 150}));
    EXPECT_EQ(Edges(*centred), (std::vector<int>{130, 70, 170, 90})) << "the centre in proportion";
    EXPECT_EQ(Edges(*filling), (std::vector<int>{60, 60, 240, 150}));

    // Back to the first size: back to the first places, however small the panel was meanwhile.
    panel->SetBounds(0, 0, 20, 20);
    panel->SetBounds(0, 0, 200, 100);
    EXPECT_EQ(Edges(*stretched), (std::vector<int>{10, 40, 110, 60}));
    EXPECT_EQ(Edges(*corner), (std::vector<int>{150, 70, 190, 90}));

    // A control placed anew keeps its new distances.
    right->SetLeft(100);
    panel->SetBounds(0, 0, 250, 100);
    EXPECT_EQ(right->Left(), 150);

    // The window resized by the system, as the user's sizing does: the same rules.
    form.Show();
    SetWindowPos(panel->Handle(), nullptr, 0, 0, 300, 160, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(Edges(*corner), (std::vector<int>{250, 130, 290, 150}));
    RECT window;
    GetWindowRect(filling->Handle(), &window);
    EXPECT_EQ(window.right - window.left, 180);
    EXPECT_EQ(window.bottom - window.top, 90);

    // In a parent without a size yet, the distances count from its first size.
    auto late = new TPanel(&form);
    late->SetBounds(0, 0, 0, 0);
    auto anchored = form.Add<TBox>(late, 10, 10, 20, 20);
    anchored->SetAnchors({akTop, akRight});
    late->SetParent(&form);
    late->SetBounds(0, 200, 100, 50);
    EXPECT_EQ(anchored->Left(), 10);
    late->SetWidth(150);
    EXPECT_EQ(anchored->Left(), 60);
    form.Hide();
}

TEST_F(InheritedProps, ConstraintsBoundEveryResize) {
    TTestForm form;
    auto box = form.Add<TBox>(&form, 10, 10, 100, 50);
    TSizeConstraints& limits = *box->Constraints();
    limits.SetMinWidth(60);
    limits.SetMaxWidth(120);
    limits.SetMinHeight(30);
    limits.SetMaxHeight(80);
    box->SetBounds(10, 10, 20, 10);
    EXPECT_EQ(Edges(*box), (std::vector<int>{10, 10, 70, 40}));
    box->SetWidth(500);
    box->SetHeight(500);
    EXPECT_EQ(Edges(*box), (std::vector<int>{10, 10, 130, 90}));
    // A limit set past the other side moves it along, and the control follows at once.
    limits.SetMinWidth(150);
    EXPECT_EQ(limits.MaxWidth(), 150);
    EXPECT_EQ(box->Width(), 150);
    limits.SetMaxHeight(20);
    EXPECT_EQ(limits.MinHeight(), 20);
    EXPECT_EQ(box->Height(), 20);

    // Alignment and anchors stay within the limits too.
    auto panel = form.Add<TPanel>(&form, 0, 100, 300, 150);
    panel->SetBevelOuter(bvNone);
    auto top = form.Add<TPanel>(panel, 0, 0, 10, 10);
    top->Constraints()->SetMinHeight(40);
    top->SetAlign(alTop);
    auto rest = form.Add<TPanel>(panel, 0, 0, 10, 10);
    rest->Constraints()->SetMaxWidth(100);
    rest->SetAlign(alClient);
    EXPECT_EQ(Edges(*top), (std::vector<int>{0, 0, 300, 40}));
    EXPECT_EQ(Edges(*rest), (std::vector<int>{0, 40, 100, 150}));
    auto stretched = form.Add<TBox>(&form, 0, 260, 100, 20);
    stretched->SetAnchors({akLeft, akTop, akRight});
    stretched->Constraints()->SetMaxWidth(150);
    form.SetClientSize(600, 300);
    EXPECT_EQ(stretched->Width(), 150);

    // A form: the system sizes its window within the limits as well.
    form.Constraints()->SetMaxWidth(500);
    form.Constraints()->SetMinHeight(200);
    EXPECT_EQ(form.Width(), 500);
    form.Show();
    MINMAXINFO info{};
    SendMessageA(form.Handle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMaxTrackSize.x, 500);
    EXPECT_EQ(info.ptMinTrackSize.y, 200);
    SetWindowPos(form.Handle(), nullptr, 0, 0, 900, 100, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(form.Width(), 500);
    EXPECT_EQ(form.Height(), 200);
    form.Hide();
}

}  // namespace
