// The properties controls take from the framework: read from a form stream made by the form
// converter, written back by the component writer, and their behaviour.

#include "ActnList.h"
#include "Controls.h"
#include "ExtCtrls.h"
#include "FormStream.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "StdCtrls.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <string>

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

    // Each control goes into the control it appears in.
    static TFormReadOptions Options() {
        TFormReadOptions options;
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
    for (const char* name : {"BiDiMode", "ParentBiDiMode", "ShowHint", "ParentShowHint"})
        EXPECT_NE(label.FindProperty(name), nullptr) << name;
    const TFormObject& panel = child("pnlSite");
    ASSERT_EQ(panel.Children.size(), 1u) << "the edit inside its panel";
    EXPECT_EQ(panel.Children[0].Name, "edtName");
    for (const char* name : {"Ctl3D", "ParentCtl3D", "DockSite", "ShowHint"})
        EXPECT_NE(panel.FindProperty(name), nullptr) << name;
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

}  // namespace
