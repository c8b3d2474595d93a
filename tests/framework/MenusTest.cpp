#include "ExtCtrls.h"
#include "GuiTestSupport.h"
#include "ImgList.h"
#include "Menus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

class MenusPopupTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        previous_ = SetTrackPopupMenuHook([this](HMENU menu, UINT flags, int x, int y, HWND owner) {
            Tracked.push_back({menu, flags, x, y, owner});
            return Choose ? Choose(menu) : 0;
        });
    }
    void TearDown() override {
        SetTrackPopupMenuHook(previous_);
        GuiTest::TearDown();
    }

    struct TTrackCall {
        HMENU menu;
        UINT flags;
        int x, y;
        HWND owner;
    };
    std::vector<TTrackCall> Tracked;
    // Picks the command the hook returns; none means the menu is cancelled.
    std::function<UINT(HMENU)> Choose;

private:
    TTrackPopupMenuFunction previous_;
};

class MenusContextTest : public MenusPopupTest {};

TMenuItem* AddItem(TMenuItem* parent, const std::string& caption) {
    auto item = new TMenuItem(nullptr);
    item->SetCaption(caption);
    parent->Add(item);
    return item;
}

std::string MenuString(HMENU menu, int position) {
    char text[64] = "";
    GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof(text), MF_BYPOSITION);
    return text;
}

MENUITEMINFOA MenuInfo(HMENU menu, int position) {
    MENUITEMINFOA info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_BITMAP | MIIM_SUBMENU;
    GetMenuItemInfoA(menu, static_cast<UINT>(position), TRUE, &info);
    return info;
}

// The screen point at the centre of a client rectangle of window.
POINT ScreenCentre(HWND window, const TRect& rect) {
    POINT point{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    ClientToScreen(window, &point);
    return point;
}

LPARAM ScreenParam(POINT point) { return MAKELPARAM(point.x, point.y); }

}  // namespace

TEST(MenusItemTest, TreeOperationsAndRadioGroups) {
    TComponent owner(nullptr);
    TPopupMenu menu(&owner);
    TMenuItem* root = menu.Items();
    auto file = new TMenuItem(&owner);
    file->SetCaption("&File");
    root->Add(file);
    auto open = AddItem(file, "&Open");
    auto save = AddItem(file, "Save");
    auto first = AddItem(file, "First");
    file->Insert(0, first);  // moves within the parent
    EXPECT_EQ(file->IndexOf(first), 0);
    EXPECT_EQ(open->GetParentMenu(), &menu);
    EXPECT_EQ(root->Find("file"), file);
    EXPECT_EQ(file->Find("Missing"), nullptr);
    EXPECT_THROW(file->Insert(5, AddItem(root, "Edit")), Exception);
    EXPECT_THROW(open->Add(file), Exception);  // would make a cycle
    EXPECT_THROW(file->Add(root), Exception);  // a menu's root stays one

    file->Remove(save);
    EXPECT_EQ(save->Parent(), nullptr);
    delete save;
    delete open;  // an item that goes leaves its parent
    EXPECT_EQ(file->Count(), 1);

    // A parent frees its children, also those the owner made.
    auto sub = AddItem(first, "Sub");
    auto owned = new TMenuItem(&owner);
    sub->Add(owned);
    const int components = owner.ComponentCount();
    file->Delete(0);
    EXPECT_EQ(owner.ComponentCount(), components - 1);
    EXPECT_EQ(file->Count(), 0);

    auto a = AddItem(root, "A");
    auto b = AddItem(root, "B");
    auto c = AddItem(root, "C");
    for (TMenuItem* item : {a, b, c})
        item->SetRadioItem(true);
    c->SetGroupIndex(2);
    c->SetChecked(true);
    a->SetChecked(true);
    SetPropText(*b, GetPropInfo(*b, "Checked"), "True");
    EXPECT_FALSE(a->Checked());
    EXPECT_TRUE(b->Checked());
    EXPECT_TRUE(c->Checked());  // another group
    root->Clear();
    EXPECT_EQ(root->Count(), 0);
}

TEST_F(MenusPopupTest, SystemMenuHoldsTheVisibleItemsWithTheirStates) {
    TTestForm form;
    auto menu = new TPopupMenu(&form);
    TMenuItem* root = menu->Items();
    AddItem(root, "&Open")->SetDefault(true);
    AddItem(root, "-");
    AddItem(root, "Checked")->SetChecked(true);
    auto radio = AddItem(root, "Radio");
    radio->SetRadioItem(true);
    radio->SetChecked(true);
    AddItem(root, "Disabled")->SetEnabled(false);
    AddItem(root, "Hidden")->SetVisible(false);
    auto sub = AddItem(root, "More");
    AddItem(sub, "Inner");
    AddItem(sub, "Hidden inner")->SetVisible(false);
    auto images = new TImageList(&form);
    auto red = std::make_unique<TBitmap>(16, 16);
    red->Canvas().Brush().SetColor(clRed);
    red->Canvas().FillRect(MakeRect(0, 0, 16, 16));
    images->AddMasked(*red, clFuchsia);
    menu->SetImages(images);
    root->Items(2)->SetImageIndex(0);

    std::vector<std::string> captions;
    Choose = [&](HMENU handle) -> UINT {
        for (int i = 0; i < GetMenuItemCount(handle); ++i)
            captions.push_back(MenuString(handle, i));
        EXPECT_TRUE(MenuInfo(handle, 0).fState & MFS_DEFAULT);
        EXPECT_TRUE(MenuInfo(handle, 1).fType & MFT_SEPARATOR);
        EXPECT_TRUE(GetMenuState(handle, 2, MF_BYPOSITION) & MF_CHECKED);
        EXPECT_NE(MenuInfo(handle, 2).hbmpItem, nullptr);
        EXPECT_TRUE(MenuInfo(handle, 3).fType & MFT_RADIOCHECK);
        EXPECT_TRUE(GetMenuState(handle, 3, MF_BYPOSITION) & MF_CHECKED);
        EXPECT_TRUE(GetMenuState(handle, 4, MF_BYPOSITION) & MF_GRAYED);
        HMENU inner = GetSubMenu(handle, 5);
        EXPECT_NE(inner, nullptr);
        EXPECT_EQ(GetMenuItemCount(inner), 1);
        EXPECT_EQ(MenuString(inner, 0), "Inner");
        return 0;
    };
    menu->Popup(100, 120);
    EXPECT_EQ(captions, (std::vector<std::string>{"&Open", "", "Checked", "Radio", "Disabled", "More"}));
    ASSERT_EQ(Tracked.size(), 1u);
    EXPECT_EQ(Tracked[0].x, 100);
    EXPECT_EQ(Tracked[0].y, 120);
    EXPECT_EQ(Tracked[0].owner, Application.Handle());
    EXPECT_EQ(Tracked[0].flags & (TPM_RETURNCMD | TPM_NONOTIFY), UINT(TPM_RETURNCMD | TPM_NONOTIFY));
    EXPECT_FALSE(IsMenu(Tracked[0].menu));  // gone after the popup

    // Freed images leave the menu without them.
    delete images;
    EXPECT_EQ(menu->Images(), nullptr);
    Choose = [&](HMENU handle) -> UINT {
        EXPECT_EQ(MenuInfo(handle, 2).hbmpItem, nullptr);
        return 0;
    };
    menu->Popup(0, 0);
}

TEST_F(MenusPopupTest, ChosenItemIsClickedOnceAfterTheMenuIsGone) {
    TTestForm form;
    auto menu = new TPopupMenu(&form);
    auto first = AddItem(menu->Items(), "First");
    auto sub = AddItem(menu->Items(), "Sub");
    auto inner = AddItem(sub, "Inner");
    std::vector<std::string> log;
    menu->OnPopup = [&](TObject* sender) {
        EXPECT_EQ(sender, menu);
        log.push_back("popup");
    };
    first->OnClick = [&](TObject*) { log.push_back("first"); };
    inner->OnClick = [&](TObject* sender) {
        EXPECT_EQ(sender, inner);
        EXPECT_FALSE(IsMenu(Tracked.back().menu));
        log.push_back("inner");
    };
    Choose = [&](HMENU handle) {
        log.push_back("track");
        return GetMenuItemID(GetSubMenu(handle, 1), 0);
    };
    menu->Popup(10, 10);
    EXPECT_EQ(log, (std::vector<std::string>{"popup", "track", "inner"}));

    log.clear();
    Choose = nullptr;  // cancelled
    menu->Popup(10, 10);
    EXPECT_EQ(log, (std::vector<std::string>{"popup"}));

    // An item freed while the menu is up is not clicked.
    log.clear();
    Choose = [&](HMENU handle) {
        UINT command = GetMenuItemID(handle, 0);
        delete first;
        return command;
    };
    menu->Popup(10, 10);
    EXPECT_EQ(log, (std::vector<std::string>{"popup"}));
    EXPECT_EQ(menu->Items()->Count(), 1);

    Choose = nullptr;
    menu->SetAlignment(paRight);
    menu->Popup(10, 10);
    EXPECT_TRUE(Tracked.back().flags & TPM_RIGHTALIGN);
}

TEST_F(MenusPopupTest, MenuFreedWhileItPopsUpIsLeftAlone) {
    TTestForm form;
    int clicks = 0;
    auto makeMenu = [&] {
        auto menu = new TPopupMenu(&form);
        AddItem(menu->Items(), "First")->OnClick = [&](TObject*) { ++clicks; };
        return menu;
    };
    // Freed while it is up, with an item chosen.
    TPopupMenu* menu = makeMenu();
    Choose = [&](HMENU handle) {
        UINT command = GetMenuItemID(handle, 0);
        delete menu;
        return command;
    };
    menu->Popup(10, 10);
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(form.ComponentCount(), 0);

    // Freed by OnPopup: nothing is tracked.
    menu = makeMenu();
    menu->OnPopup = [&](TObject*) { delete menu; };
    Tracked.clear();
    menu->Popup(10, 10);
    EXPECT_TRUE(Tracked.empty());
    EXPECT_EQ(clicks, 0);

    // A menu popped up again while it is up, then freed inside: both calls leave it alone.
    menu = makeMenu();
    int depth = 0;
    Choose = [&](HMENU handle) {
        UINT command = GetMenuItemID(handle, 0);
        if (++depth == 1)
            menu->Popup(10, 10);
        else
            delete menu;
        return command;
    };
    menu->Popup(10, 10);
    EXPECT_EQ(clicks, 0);

    // A menu that stays still clicks.
    menu = makeMenu();
    Choose = [&](HMENU handle) { return GetMenuItemID(handle, 0); };
    menu->Popup(10, 10);
    EXPECT_EQ(clicks, 1);
}

TEST_F(MenusPopupTest, FreedMenusAndComponentsClearTheReferencesToThem) {
    TTestForm form;
    auto menu = new TPopupMenu(&form);
    auto other = new TPopupMenu(&form);
    auto panel = form.Add<TPanel>(&form, 0, 0, 50, 50);
    auto image = form.Add<TImage>(&form, 60, 0, 50, 50);
    panel->SetPopupMenu(menu);
    SetObjectProp(*image, "PopupMenu", menu);
    menu->SetPopupComponent(panel);
    menu->SetPopupComponent(image);  // the panel's link to the menu stays
    other->SetPopupComponent(panel);
    panel->SetPopupMenu(other);
    panel->SetPopupMenu(menu);
    delete image;
    EXPECT_EQ(menu->PopupComponent(), nullptr);
    delete menu;
    EXPECT_EQ(panel->PopupMenu(), nullptr);
    delete panel;
    EXPECT_EQ(other->PopupComponent(), nullptr);
}

TEST_F(MenusContextTest, ContextMenuRequestPopsUpTheControlsMenu) {
    TTestForm form;
    auto formMenu = new TPopupMenu(&form);
    auto panelMenu = new TPopupMenu(&form);
    auto panel = form.Add<TPanel>(&form, 20, 20, 200, 100);
    auto image = form.Add<TImage>(&form, 250, 20, 60, 60);
    auto bare = form.Add<TBevel>(&form, 250, 150, 60, 60);
    form.SetPopupMenu(formMenu);
    panel->SetPopupMenu(panelMenu);
    form.Show();
    HWND window = panel->Handle();

    POINT inside = ScreenCentre(window, MakeRect(0, 0, 40, 40));
    SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), ScreenParam(inside));
    ASSERT_EQ(Tracked.size(), 1u);
    EXPECT_EQ(Tracked[0].x, inside.x);
    EXPECT_EQ(Tracked[0].y, inside.y);
    EXPECT_EQ(panelMenu->PopupComponent(), panel);

    // From the keyboard: at the centre of the client area.
    SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), -1);
    POINT centre = ScreenCentre(window, panel->ClientRect());
    ASSERT_EQ(Tracked.size(), 2u);
    EXPECT_EQ(Tracked[1].x, centre.x);
    EXPECT_EQ(Tracked[1].y, centre.y);

    // A handler may take the request; without AutoPopup the parent's menu shows instead.
    TPoint seen{};
    panel->OnContextPopup = [&](TObject*, TPoint mousePos, bool& handled) {
        seen = mousePos;
        handled = true;
    };
    SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), ScreenParam(inside));
    EXPECT_EQ(Tracked.size(), 2u);
    EXPECT_EQ(seen.x, 20);
    EXPECT_EQ(seen.y, 20);
    panel->OnContextPopup = {};
    panelMenu->SetAutoPopup(false);
    SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), ScreenParam(inside));
    ASSERT_EQ(Tracked.size(), 3u);
    EXPECT_EQ(formMenu->PopupComponent(), &form);

    // Windowless children are found under the point in their parent's window.
    HWND formWindow = form.Handle();
    image->SetPopupMenu(panelMenu);
    panelMenu->SetAutoPopup(true);
    SendMessageA(formWindow, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(formWindow),
                 ScreenParam(ScreenCentre(formWindow, image->BoundsRect())));
    ASSERT_EQ(Tracked.size(), 4u);
    EXPECT_EQ(panelMenu->PopupComponent(), image);
    formMenu->SetPopupComponent(nullptr);
    SendMessageA(formWindow, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(formWindow),
                 ScreenParam(ScreenCentre(formWindow, bare->BoundsRect())));
    ASSERT_EQ(Tracked.size(), 5u);
    EXPECT_EQ(formMenu->PopupComponent(), &form);
    form.Hide();
}
