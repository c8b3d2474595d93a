#include "ActnList.h"

#include "Controls.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "StdCtrls.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

class ActnListTest : public GuiTest {};

TEST_F(ActnListTest, LinkedControlTakesTheActionsValuesAndFollowsOnlyWhileItShowsThem) {
    TTestForm form;
    auto action = new TAction(&form);
    action->SetCaption("&Run");
    action->SetHint("Runs it");
    action->SetEnabled(false);
    auto button = form.Add<TButton>(&form, 10, 10, 75, 25);
    auto other = form.Add<TButton>(&form, 100, 10, 75, 25);
    button->SetCaption("Old");
    button->SetAction(action);
    other->SetAction(action);
    EXPECT_EQ(button->Caption(), "&Run");
    EXPECT_EQ(button->Hint(), "Runs it");
    EXPECT_FALSE(button->Enabled());

    action->SetEnabled(true);
    action->SetCaption("&Stop");
    EXPECT_TRUE(button->Enabled());
    EXPECT_EQ(button->Caption(), "&Stop");
    // A value of the control's own is kept; the other values still follow.
    other->SetCaption("Mine");
    action->SetCaption("&Go");
    action->SetHint("Goes");
    action->SetVisible(false);
    EXPECT_EQ(other->Caption(), "Mine");
    EXPECT_EQ(other->Hint(), "Goes");
    EXPECT_FALSE(other->Visible());
    EXPECT_EQ(button->Caption(), "&Go");
    button->SetAction(nullptr);  // unlinked: no longer follows
    action->SetCaption("After");
    EXPECT_EQ(button->Caption(), "&Go");

    // An action being loaded leaves what the control set itself.
    auto loading = new TAction(&form);
    loading->BeginLoading();
    loading->SetCaption("Loaded");
    loading->SetEnabled(false);
    auto own = form.Add<TButton>(&form, 10, 50, 75, 25);
    own->SetCaption("Own");
    own->SetAction(loading);
    EXPECT_EQ(own->Caption(), "Own");
    EXPECT_FALSE(own->Enabled());  // still the default: taken
}

TEST_F(ActnListTest, ClickWithoutOnClickExecutesTheActionAndEitherSideMayGoFirst) {
    TTestForm form;
    auto action = new TAction(&form);
    TObject* sender = nullptr;
    int executed = 0;
    action->OnExecute = [&](TObject* s) {
        sender = s;
        ++executed;
    };
    auto button = form.Add<TButton>(&form, 10, 10, 75, 25);
    button->SetAction(action);
    form.ShowForm();
    SendMessageA(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(executed, 1);
    EXPECT_EQ(sender, action);

    int clicks = 0;
    button->OnClick = [&](TObject*) { ++clicks; };  // a handler of its own wins
    SendMessageA(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(executed, 1);
    button->OnClick = {};

    action->SetEnabled(false);  // a disabled action does nothing
    button->Click();
    EXPECT_EQ(executed, 1);
    action->SetEnabled(true);

    // The action goes first: the control forgets it; the control goes first: the action forgets it.
    auto lasting = new TAction(&form);
    auto shortLived = form.Add<TButton>(&form, 100, 10, 75, 25);
    shortLived->SetAction(lasting);
    FreeComponent(shortLived);
    lasting->SetCaption("No one hears");
    FreeComponent(action);
    EXPECT_EQ(button->Action(), nullptr);
    SendMessageA(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(executed, 1);
    form.Hide();
}

}  // namespace
