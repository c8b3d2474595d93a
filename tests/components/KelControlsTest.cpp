#include "GuiTestSupport.h"
#include "StdCtrls.h"
#include "kelControls.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <utility>

namespace {

// A form with a check-box group box holding an edit and a check box, and a button outside it.
class KelGroupBox : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        form = new TTestForm();
        box = form->Add<TkelGroupBox>(form, 10, 10, 250, 150);
        box->SetCaption("Clear Software Section");
        edit = form->Add<TEdit>(box, 10, 30, 100, 22);
        inner = form->Add<TCheckBox>(box, 10, 60, 100, 20);
        outside = form->Add<TButton>(form, 280, 10, 80, 25);
        box->OnCheckBoxClick = [this](TObject* sender) {
            EXPECT_EQ(sender, box);
            ++clicks;
        };
        form->Show();
        box->Repaint();
    }
    void TearDown() override {
        FreeComponent(form);
        GuiTest::TearDown();
    }

    bool ChildrenEnabled(bool enabled) {
        return edit->Enabled() == enabled && inner->Enabled() == enabled &&
               (IsWindowEnabled(edit->Handle()) != 0) == enabled && (IsWindowEnabled(inner->Handle()) != 0) == enabled;
    }
    void ClickCaption() { SendMessageA(box->CheckBox()->Handle(), BM_CLICK, 0, 0); }
    // The text's size in the box's font.
    SIZE MeasureCaption() {
        TWindowDc dc(box->Handle());
        TSelection font(dc.Get(), box->Font()->Handle());
        SIZE size{};
        const std::string caption = box->Caption();
        GetTextExtentPoint32A(dc.Get(), caption.c_str(), static_cast<int>(caption.size()), &size);
        return size;
    }

    TTestForm* form = nullptr;
    TkelGroupBox* box = nullptr;
    TEdit* edit = nullptr;
    TCheckBox* inner = nullptr;
    TButton* outside = nullptr;
    int clicks = 0;
};

}  // namespace

TEST_F(KelGroupBox, CaptionCheckSwitchesExactlyTheOtherChildren) {
    EXPECT_TRUE(box->CheckBoxChecked());
    EXPECT_TRUE(box->CheckBoxVisible());
    EXPECT_TRUE(box->AutoDisableControls());
    EXPECT_EQ(box->CheckBox()->Parent(), box);
    EXPECT_EQ(box->CheckBox()->Owner(), box);
    char text[64] = "";
    GetWindowTextA(box->CheckBox()->Handle(), text, sizeof(text));
    EXPECT_STREQ(text, "Clear Software Section");

    ClickCaption();
    EXPECT_FALSE(box->CheckBoxChecked());
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(ChildrenEnabled(false));
    EXPECT_TRUE(box->Enabled());
    EXPECT_TRUE(box->CheckBox()->Enabled());
    EXPECT_TRUE(outside->Enabled());

    ClickCaption();
    EXPECT_TRUE(box->CheckBoxChecked());
    EXPECT_EQ(clicks, 2);
    EXPECT_TRUE(ChildrenEnabled(true));
}

TEST_F(KelGroupBox, CheckedFromCodeClicksOnlyOnChange) {
    box->SetCheckBoxChecked(true);
    EXPECT_EQ(clicks, 0);
    box->SetCheckBoxChecked(false);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(ChildrenEnabled(false));
    box->SetCheckBoxChecked(false);
    EXPECT_EQ(clicks, 1);
    box->SetCheckBoxChecked(true);
    EXPECT_EQ(clicks, 2);
    EXPECT_TRUE(ChildrenEnabled(true));
    // A handler that frees the whole form leaves nothing to touch afterwards.
    box->OnCheckBoxClick = [this](TObject*) {
        ++clicks;
        FreeComponent(std::exchange(form, nullptr));
    };
    auto keep = box;
    keep->SetCheckBoxChecked(false);
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(form, nullptr);
}

TEST_F(KelGroupBox, WithoutAutoDisableOnlyTheEventFires) {
    box->SetAutoDisableControls(false);
    ClickCaption();
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(ChildrenEnabled(true));
    inner->SetEnabled(false);
    ClickCaption();
    EXPECT_EQ(clicks, 2);
    EXPECT_FALSE(inner->Enabled());
    EXPECT_TRUE(edit->Enabled());
}

TEST_F(KelGroupBox, HiddenCheckLeavesTheBoxEnabledToDecide) {
    box->SetCheckBoxChecked(false);
    EXPECT_TRUE(ChildrenEnabled(false));
    box->SetCheckBoxVisible(false);
    EXPECT_FALSE(box->CheckBox()->Visible());
    EXPECT_FALSE(IsWindowVisible(box->CheckBox()->Handle()));
    EXPECT_TRUE(ChildrenEnabled(false));  // nothing re-runs the rule until the next update
    box->SetAutoDisableControls(true);
    EXPECT_TRUE(ChildrenEnabled(true));
    box->SetEnabled(false);
    EXPECT_TRUE(ChildrenEnabled(true));
    box->SetAutoDisableControls(true);
    EXPECT_TRUE(ChildrenEnabled(false));
}

TEST_F(KelGroupBox, CheckBoxCoversTheMeasuredCaption) {
    SIZE text = MeasureCaption();
    TRect bounds = box->CheckBox()->BoundsRect();
    EXPECT_EQ(bounds.left, 8);
    EXPECT_EQ(bounds.top, 0);
    EXPECT_EQ(bounds.right - bounds.left, text.cx + 19);
    EXPECT_EQ(bounds.bottom - bounds.top, std::max<int>(text.cy, 13));

    const int before = bounds.right - bounds.left;
    box->SetCaption("Delete Undo Files and a good deal more");
    text = MeasureCaption();
    bounds = box->CheckBox()->BoundsRect();
    EXPECT_EQ(bounds.right - bounds.left, text.cx + 19);
    EXPECT_GT(bounds.right - bounds.left, before);
    char caption[64] = "";
    GetWindowTextA(box->CheckBox()->Handle(), caption, sizeof(caption));
    EXPECT_STREQ(caption, "Delete Undo Files and a good deal more");

    // A font smaller than the glyph keeps the glyph's height.
    box->SetParentFont(false);
    box->Font()->SetName("Tahoma");  // scalable, unlike the bitmap default face
    box->Font()->SetHeight(-7);
    box->Repaint();
    text = MeasureCaption();
    ASSERT_LT(text.cy, 13);
    bounds = box->CheckBox()->BoundsRect();
    EXPECT_EQ(bounds.bottom - bounds.top, 13);
    EXPECT_EQ(bounds.right - bounds.left, text.cx + 19);
}

TEST_F(KelGroupBox, PublishesItsProperties) {
    const TClassInfo& info = box->ClassInfo();
    for (const char* name : {"AutoDisableControls", "CheckBoxChecked", "CheckBoxVisible", "OnCheckBoxClick"})
        EXPECT_NE(info.FindProp(name), nullptr) << name;
    const TPropInfo* checked = info.FindProp("CheckBoxChecked");
    ASSERT_NE(checked, nullptr);
    SetPropText(*box, *checked, "False");
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(ChildrenEnabled(false));
    EXPECT_EQ(GetPropText(*box, *checked), "False");
}

class KelGroupBoxInForm : public GuiTest {};

TEST_F(KelGroupBoxInForm, SwitchesItsChildrenAfterLoading) {
    TTestForm form;
    TkelGroupBox* built = nullptr;
    TCheckBox* child = nullptr;
    form.BuildForm([&] {
        built = form.Add<TkelGroupBox>(&form, 10, 10, 250, 150);
        built->SetCaption("Clear Software Section");
        built->SetCheckBoxChecked(false);
        child = form.Add<TCheckBox>(built, 10, 30, 100, 20);
    });
    EXPECT_FALSE(built->CheckBox()->IsLoading());
    EXPECT_FALSE(child->Enabled());
    form.Show();
    int clicks = 0;
    built->OnCheckBoxClick = [&clicks](TObject*) { ++clicks; };
    SendMessageA(built->CheckBox()->Handle(), BM_CLICK, 0, 0);
    EXPECT_TRUE(built->CheckBoxChecked());
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(child->Enabled());
    form.Hide();
}
