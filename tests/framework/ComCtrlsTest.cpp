#include "ComCtrls.h"

#include "Controls.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "ImgList.h"
#include "StdCtrls.h"
#include "TypInfo.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

class ComCtrlsTest : public guitest::GuiTestFailingOnExceptions {};
class ComCtrlsListView : public ComCtrlsTest {};
class ComCtrlsListViewEvents : public ComCtrlsTest {};
class ComCtrlsListColumns : public ComCtrlsTest {};
class ComCtrlsProgressBar : public ComCtrlsTest {};
class ComCtrlsUpDown : public ComCtrlsTest {};

class TTestPanel : public TCustomControl {
public:
    using TCustomControl::TCustomControl;
};

// Counts the redraw switches the list receives.
class TRedrawCountingListView : public TListView {
public:
    using TListView::TListView;
    void WndProc(TMessage& message) override {
        if (message.Msg == WM_SETREDRAW)
            Redraws.push_back(message.WParam != 0);
        TListView::WndProc(message);
    }
    std::vector<bool> Redraws;
};

// Counts the messages the list handles, its reflected notifications included.
class TCountingListView : public TListView {
public:
    using TListView::TListView;
    void WndProc(TMessage& message) override {
        ++Messages;
        TListView::WndProc(message);
    }
    int Messages = 0;
};

// What the list's events reported.
struct TEventLog {
    explicit TEventLog(TCustomListView& list) {
        list.OnChange = [this](TObject*, TListItem* item, TItemChange change) { Changes.push_back({item, change}); };
        list.OnChanging = [this](TObject*, TListItem*, TItemChange, bool& allow) {
            ++Changings;
            allow = Allow;
        };
        list.OnSelectItem = [this](TObject*, TListItem* item, bool selected) { Selections.push_back({item, selected}); };
        list.OnInsert = [this](TObject*, TListItem* item) { Inserted.push_back(item); };
        list.OnDeletion = [this](TObject*, TListItem* item) { Deleted.push_back(item); };
    }
    int StateChanges(const TListItem* item) const {
        int count = 0;
        for (const auto& [changed, change] : Changes)
            count += changed == item && change == ctState;
        return count;
    }
    void Reset() {
        Changes.clear();
        Changings = 0;
        Selections.clear();
        Inserted.clear();
        Deleted.clear();
    }

    std::vector<std::pair<TListItem*, TItemChange>> Changes;
    int Changings = 0;
    bool Allow = true;
    std::vector<std::pair<TListItem*, bool>> Selections;
    std::vector<TListItem*> Inserted;
    std::vector<TListItem*> Deleted;
};

std::string WindowText(HWND list, int index, int subItem) {
    char buffer[256] = "";
    LVITEMA get{};
    get.iSubItem = subItem;
    get.pszText = buffer;
    get.cchTextMax = sizeof(buffer);
    SendMessageA(list, LVM_GETITEMTEXTA, index, reinterpret_cast<LPARAM>(&get));
    return buffer;
}

UINT WindowState(HWND list, int index, UINT mask) {
    return static_cast<UINT>(SendMessageA(list, LVM_GETITEMSTATE, index, mask));
}

UINT StateImage(HWND list, int index) { return WindowState(list, index, LVIS_STATEIMAGEMASK) >> 12; }

void SetWindowState(HWND list, int index, UINT mask, UINT state) {
    LVITEMA set{};
    set.stateMask = mask;
    set.state = state;
    SendMessageA(list, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&set));
}

LPARAM WindowParam(HWND list, int index) {
    LVITEMA get{};
    get.mask = LVIF_PARAM;
    get.iItem = index;
    SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&get));
    return get.lParam;
}

std::string WindowColumnCaption(HWND list, int index) {
    char buffer[128] = "";
    LVCOLUMNA get{};
    get.mask = LVCF_TEXT;
    get.pszText = buffer;
    get.cchTextMax = sizeof(buffer);
    SendMessageA(list, LVM_GETCOLUMNA, index, reinterpret_cast<LPARAM>(&get));
    return buffer;
}

int WindowColumnWidth(HWND list, int index) {
    return static_cast<int>(SendMessageA(list, LVM_GETCOLUMNWIDTH, index, 0));
}

// Items in Items order and in the window's order are the same objects.
void ExpectItemsMatchWindow(TCustomListView& list) {
    HWND window = list.Handle();
    ASSERT_EQ(SendMessageA(window, LVM_GETITEMCOUNT, 0, 0), list.Items().Count());
    for (int i = 0; i < list.Items().Count(); ++i) {
        EXPECT_EQ(WindowParam(window, i), reinterpret_cast<LPARAM>(list.Items()[i])) << "item " << i;
        EXPECT_EQ(WindowText(window, i, 0), list.Items()[i]->Caption()) << "item " << i;
    }
}

TListView* AddReportList(TTestForm& form, TWinControl* parent, std::vector<std::string> captions) {
    auto list = form.Add<TListView>(parent, 10, 10, 380, 250);
    list->SetViewStyle(vsReport);
    for (const std::string& caption : captions)
        list->Columns().Add()->SetCaption(caption);
    return list;
}

TPoint Center(const TRect& rect) { return TPoint{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}; }

void Click(HWND window, TPoint point) {
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(point.x, point.y));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(point.x, point.y));
}

// Drags the header divider right of column from its place by dx, as the user would.
void DragDivider(HWND header, int column, int dx) {
    TRect item{};
    SendMessageA(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(&item));
    int y = (item.top + item.bottom) / 2;
    int x = item.right - 1;
    SendMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    SendMessageA(header, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(x + dx / 2, y));
    SendMessageA(header, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(x + dx, y));
    SendMessageA(header, WM_LBUTTONUP, 0, MAKELPARAM(x + dx, y));
}

int CompareByTag(TListItem* first, TListItem* second, intptr_t direction) {
    auto a = reinterpret_cast<intptr_t>(first->Data());
    auto b = reinterpret_cast<intptr_t>(second->Data());
    return static_cast<int>((a > b) - (a < b)) * static_cast<int>(direction);
}

}  // namespace

// ---- items and the window ---------------------------------------------------------------

TEST_F(ComCtrlsListView, ItemsMadeBeforeTheWindowFillItWithoutEvents) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key", "Value", "Description"});
    list->Columns()[1]->SetWidth(120);
    list->SetCheckboxes(true);
    TEventLog log(*list);
    int values[3] = {};
    for (int i = 0; i < 3; ++i) {
        TListItem* item = list->Items().Add();
        item->SetCaption("key" + std::to_string(i));
        item->SubItems().Add("value" + std::to_string(i));
        item->SubItems().Add("description" + std::to_string(i));
        item->SetData(&values[i]);
    }
    list->Items()[1]->SetChecked(true);
    list->Items()[2]->SetSelected(true);
    list->Items()[2]->SetFocused(true);
    EXPECT_EQ(log.Inserted.size(), 3u);
    EXPECT_FALSE(list->HandleAllocated());

    HWND window = list->Handle();
    ASSERT_EQ(SendMessageA(window, LVM_GETITEMCOUNT, 0, 0), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WindowText(window, i, 0), "key" + std::to_string(i));
        EXPECT_EQ(WindowText(window, i, 1), "value" + std::to_string(i));
        EXPECT_EQ(WindowText(window, i, 2), "description" + std::to_string(i));
        EXPECT_EQ(WindowParam(window, i), reinterpret_cast<LPARAM>(list->Items()[i]));
        EXPECT_EQ(list->Items()[i]->Data(), &values[i]);
    }
    EXPECT_EQ(StateImage(window, 0), 1u);
    EXPECT_EQ(StateImage(window, 1), 2u);
    EXPECT_EQ(WindowState(window, 2, LVIS_SELECTED | LVIS_FOCUSED), UINT(LVIS_SELECTED | LVIS_FOCUSED));
    EXPECT_EQ(list->Selected(), list->Items()[2]);
    EXPECT_EQ(list->ItemFocused(), list->Items()[2]);
    EXPECT_EQ(WindowColumnCaption(window, 2), "Description");
    EXPECT_EQ(WindowColumnWidth(window, 0), 50);
    EXPECT_EQ(WindowColumnWidth(window, 1), 120);
    // The wrapper's own filling of the window is no change for the program.
    EXPECT_TRUE(log.Changes.empty());
    EXPECT_EQ(log.Changings, 0);
    EXPECT_TRUE(log.Selections.empty());
}

TEST_F(ComCtrlsListView, CaptionsAndSubItemsFollowTheColumns) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"A", "B"});
    HWND window = list->Handle();
    TListItem* item = list->Items().Add();
    item->SetCaption("first");
    item->SubItems().Add("b");
    item->SubItems().Add("c");  // no column yet: kept, not shown
    EXPECT_EQ(WindowText(window, 0, 0), "first");
    EXPECT_EQ(WindowText(window, 0, 1), "b");

    list->Columns().Add()->SetCaption("C");
    EXPECT_EQ(WindowText(window, 0, 2), "c");

    // A column inserted in the middle: each column still shows its sub-item.
    list->Columns().Insert(1)->SetCaption("New");
    EXPECT_EQ(WindowColumnCaption(window, 1), "New");
    EXPECT_EQ(WindowColumnCaption(window, 3), "C");
    EXPECT_EQ(WindowText(window, 0, 1), "b");
    EXPECT_EQ(WindowText(window, 0, 2), "c");
    EXPECT_EQ(WindowText(window, 0, 3), "");

    item->SubItems().Put(0, "B2");
    item->SubItems().Delete(1);
    EXPECT_EQ(WindowText(window, 0, 1), "B2");
    EXPECT_EQ(WindowText(window, 0, 2), "");

    list->Columns().Delete(0);
    EXPECT_EQ(WindowColumnCaption(window, 0), "New");
    EXPECT_EQ(WindowText(window, 0, 0), "first");
    EXPECT_EQ(WindowText(window, 0, 1), "B2");
    item->SubItems().Clear();
    EXPECT_EQ(WindowText(window, 0, 1), "");
    EXPECT_EQ(list->Columns().Count(), 3);

    list->Columns().Clear();
    LVCOLUMNA query{};
    query.mask = LVCF_WIDTH;
    EXPECT_FALSE(SendMessageA(window, LVM_GETCOLUMNA, 0, reinterpret_cast<LPARAM>(&query)));
    list->Columns().Add()->SetCaption("Again");
    EXPECT_EQ(WindowColumnCaption(window, 0), "Again");
    EXPECT_EQ(WindowText(window, 0, 0), "first");

    // A label edited in the window comes back.
    LVITEMA set{};
    set.pszText = const_cast<char*>("edited");
    SendMessageA(window, LVM_SETITEMTEXTA, 0, reinterpret_cast<LPARAM>(&set));
    EXPECT_EQ(item->Caption(), "edited");
}

TEST_F(ComCtrlsListView, RecreateWndKeepsItemsStatesAndColumns) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key", "Value"});
    list->SetCheckboxes(true);
    list->SetMultiSelect(true);
    int tag = 7;
    for (const char* caption : {"one", "two", "three"}) {
        TListItem* item = list->Items().Add();
        item->SetCaption(caption);
        item->SubItems().Add(std::string(caption) + "-value");
    }
    list->Items()[0]->SetData(&tag);
    HWND before = list->Handle();
    // Changed in the window, as the user would.
    SetWindowState(before, 0, LVIS_STATEIMAGEMASK, INDEXTOSTATEIMAGEMASK(2));
    SetWindowState(before, 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    SetWindowState(before, 2, LVIS_SELECTED, LVIS_SELECTED);
    SendMessageA(before, LVM_SETCOLUMNWIDTH, 1, MAKELPARAM(140, 0));
    EXPECT_EQ(list->Columns()[1]->Width(), 140);

    TEventLog log(*list);
    list->SetHideSelection(false);  // a style the window is made again for
    HWND after = list->Handle();
    ASSERT_NE(after, before);
    EXPECT_FALSE(IsWindow(before));
    EXPECT_NE(GetWindowLongA(after, GWL_STYLE) & LVS_SHOWSELALWAYS, 0);
    ExpectItemsMatchWindow(*list);
    EXPECT_EQ(WindowText(after, 2, 1), "three-value");
    EXPECT_EQ(StateImage(after, 0), 2u);
    EXPECT_EQ(StateImage(after, 1), 1u);
    EXPECT_TRUE(list->Items()[0]->Checked());
    EXPECT_EQ(WindowState(after, 1, LVIS_SELECTED | LVIS_FOCUSED), UINT(LVIS_SELECTED | LVIS_FOCUSED));
    EXPECT_EQ(WindowState(after, 2, LVIS_SELECTED), UINT(LVIS_SELECTED));
    EXPECT_EQ(list->SelCount(), 2);
    EXPECT_EQ(list->Items()[0]->Data(), &tag);
    EXPECT_EQ(WindowColumnCaption(after, 1), "Value");
    EXPECT_EQ(WindowColumnWidth(after, 1), 140);
    EXPECT_TRUE(log.Changes.empty());
    EXPECT_EQ(log.Changings, 0);
    EXPECT_TRUE(log.Selections.empty());
    EXPECT_TRUE(log.Deleted.empty());
}

TEST_F(ComCtrlsListView, FormPropertiesReachTheWindow) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"Checkboxes", "True"}, {"FlatScrollBars", "True"}, {"GridLines", "True"}, {"HotTrack", "True"},
             {"HotTrackStyles", "[htUnderlineHot]"}, {"HoverTime", "0"}, {"ReadOnly", "True"},
             {"RowSelect", "True"}, {"ShowWorkAreas", "True"}, {"ViewStyle", "vsReport"}})
        SetPropText(*list, GetPropInfo(*list, name), value);
    HWND window = list->Handle();
    auto exStyle = static_cast<DWORD>(SendMessageA(window, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
    for (DWORD wanted : {DWORD(LVS_EX_CHECKBOXES), DWORD(LVS_EX_GRIDLINES), DWORD(LVS_EX_TRACKSELECT),
                         DWORD(LVS_EX_UNDERLINEHOT), DWORD(LVS_EX_FULLROWSELECT)})
        EXPECT_NE(exStyle & wanted, 0u) << std::hex << wanted;
    // Underlining is shown only with an activation style.
    EXPECT_NE(exStyle & (LVS_EX_ONECLICKACTIVATE | LVS_EX_TWOCLICKACTIVATE), 0u);
    EXPECT_EQ(SendMessageA(window, LVM_GETHOVERTIME, 0, 0), 0);
    LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(style & LVS_EDITLABELS, 0);
    EXPECT_EQ(style & LVS_TYPEMASK, LVS_REPORT);
    EXPECT_EQ(GetPropText(*list, GetPropInfo(*list, "HotTrackStyles")), "[htUnderlineHot]");

    // The colours: the window's by default, the set one after.
    EXPECT_EQ(static_cast<COLORREF>(SendMessageA(window, LVM_GETBKCOLOR, 0, 0)), GetSysColor(COLOR_WINDOW));
    list->SetColor(clYellow);
    EXPECT_EQ(static_cast<COLORREF>(SendMessageA(window, LVM_GETBKCOLOR, 0, 0)), ColorToRGB(clYellow));
    EXPECT_EQ(static_cast<COLORREF>(SendMessageA(window, LVM_GETTEXTBKCOLOR, 0, 0)), ColorToRGB(clYellow));
}

TEST_F(ComCtrlsListView, ViewStyleChangesKeepItemsAndColumns) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key", "Value"});
    for (const char* caption : {"a", "b"})
        list->Items().Add()->SetCaption(caption);
    HWND window = list->Handle();
    list->SetViewStyle(vsList);
    EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & LVS_TYPEMASK, LVS_LIST);
    list->SetViewStyle(vsReport);
    EXPECT_EQ(list->Handle(), window);
    EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
    ExpectItemsMatchWindow(*list);
    EXPECT_EQ(WindowColumnCaption(window, 1), "Value");
    EXPECT_NE(list->HeaderHandle(), nullptr);
}

TEST_F(ComCtrlsListView, InsertDeleteAndClear) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    TEventLog log(*list);
    for (const char* caption : {"a", "c"})
        list->Items().Add()->SetCaption(caption);
    HWND window = list->Handle();
    TListItem* b = list->Items().Insert(1);
    b->SetCaption("b");
    ExpectItemsMatchWindow(*list);
    EXPECT_EQ(b->Index(), 1);
    EXPECT_EQ(list->Items().IndexOf(b), 1);
    EXPECT_EQ(log.Inserted.size(), 3u);
    EXPECT_THROW(list->Items().Insert(5), EListError);
    EXPECT_THROW(list->Items()[3], EListError);
    EXPECT_THROW(list->Items().Delete(-1), EListError);

    // Deleting the selected item reports the deletion, not its loss of selection.
    list->SetSelected(b);
    log.Reset();
    b->Delete();
    ASSERT_EQ(log.Deleted.size(), 1u);
    EXPECT_EQ(log.Deleted[0], b);
    EXPECT_TRUE(log.Selections.empty());
    EXPECT_TRUE(log.Changes.empty());
    ExpectItemsMatchWindow(*list);
    EXPECT_EQ(list->Items()[1]->Caption(), "c");

    TListItem* first = list->Items()[0];
    TListItem* second = list->Items()[1];
    list->Items().Clear();
    EXPECT_EQ((std::vector<TListItem*>{b, first, second}), log.Deleted);
    EXPECT_EQ(SendMessageA(window, LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(list->Items().Count(), 0);
    EXPECT_EQ(list->Selected(), nullptr);
}

TEST_F(ComCtrlsListView, NestedUpdatesSwitchRedrawOffOnceAndRepaintOnce) {
    TTestForm form;
    auto list = form.Add<TRedrawCountingListView>(&form, 0, 0, 300, 200);
    list->SetViewStyle(vsReport);
    list->Columns().Add();
    form.Show();
    HWND window = list->Handle();
    UpdateWindow(window);
    list->Redraws.clear();
    list->Items().BeginUpdate();
    list->Items().BeginUpdate();
    for (int i = 0; i < 20; ++i)
        list->Items().Add()->SetCaption("row " + std::to_string(i));
    ValidateRect(window, nullptr);
    list->Items().EndUpdate();
    EXPECT_EQ(list->Redraws, std::vector<bool>{false});
    EXPECT_TRUE(list->Items().Updating());
    list->Items().EndUpdate();
    EXPECT_EQ(list->Redraws, (std::vector<bool>{false, true}));
    EXPECT_FALSE(list->Items().Updating());
    TRect dirty{};
    EXPECT_TRUE(GetUpdateRect(window, &dirty, FALSE));
    list->Items().EndUpdate();  // unmatched: ignored
    EXPECT_EQ(list->Redraws.size(), 2u);

    // A window made during an update stays without redrawing until its end.
    list->Items().BeginUpdate();
    list->Redraws.clear();
    list->RecreateWnd();
    ASSERT_FALSE(list->Redraws.empty());
    EXPECT_FALSE(list->Redraws.back());
    list->Items().EndUpdate();
    EXPECT_TRUE(list->Redraws.back());
    ExpectItemsMatchWindow(*list);
}

// Each item finds its index at once: the setters ask for it on every change.
TEST_F(ComCtrlsListView, ItemsKnowTheirIndexWithoutAScan) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    constexpr int kCount = 100000;
    for (int i = 0; i < kCount; ++i)
        list->Items().Add();
    list->Items().Insert(0);
    list->Items().Delete(1);
    const ULONGLONG started = GetTickCount64();
    long long sum = 0;
    for (int i = 0; i < kCount; ++i)
        sum += list->Items()[i]->Index();
    EXPECT_LT(GetTickCount64() - started, 250u);
    EXPECT_EQ(sum, static_cast<long long>(kCount) * (kCount - 1) / 2);
    TListItem* other = AddReportList(form, &form, {"Key"})->Items().Add();
    EXPECT_EQ(list->Items().IndexOf(other), -1);
}

// The program fills a shown list with tens of thousands of findings inside an update: each
// item costs a few messages, however many came before it.
TEST_F(ComCtrlsListView, FillingAShownListInsideAnUpdateStaysFast) {
    TTestForm form;
    auto list = form.Add<TCountingListView>(&form, 0, 0, 380, 250);
    list->SetViewStyle(vsReport);
    for (const char* caption : {"Key", "Value", "Data"})
        list->Columns().Add()->SetCaption(caption);
    form.Show();
    HWND window = list->Handle();
    constexpr int kCount = 20000;
    const ULONGLONG started = GetTickCount64();
    list->Messages = 0;
    list->Items().BeginUpdate();
    for (int i = 0; i < kCount; ++i) {
        TListItem* item = list->Items().Add();
        item->SetCaption("Software\\Key" + std::to_string(i));
        if (i % 100 == 0)
            item->SubItems().Add("Value" + std::to_string(i));
    }
    list->Items().EndUpdate();
    const ULONGLONG elapsed = GetTickCount64() - started;
    // Insertion and its notification, the caption and its two notifications, reading it back.
    EXPECT_LE(list->Messages, 6 * kCount + kCount / 100 + 10);
    EXPECT_LT(elapsed, 3000u);  // about 0.3 s here
    ASSERT_EQ(SendMessageA(window, LVM_GETITEMCOUNT, 0, 0), kCount);
    EXPECT_EQ(WindowText(window, kCount - 1, 0), "Software\\Key" + std::to_string(kCount - 1));
    EXPECT_EQ(WindowText(window, kCount - 100, 1), "Value" + std::to_string(kCount - 100));
    EXPECT_EQ(WindowText(window, kCount - 100, 2), "");
}

TEST_F(ComCtrlsListView, ImageListsAreSharedAndForgottenWhenFreed) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    auto small = new TImageList(&form);
    auto state = new TImageList(&form);
    list->SetSmallImages(small);
    list->SetLargeImages(small);
    list->SetStateImages(state);
    HWND window = list->Handle();
    EXPECT_EQ(SendMessageA(window, LVM_GETIMAGELIST, LVSIL_SMALL, 0), reinterpret_cast<LRESULT>(small->Handle()));
    EXPECT_EQ(SendMessageA(window, LVM_GETIMAGELIST, LVSIL_STATE, 0), reinterpret_cast<LRESULT>(state->Handle()));

    // Check boxes bring their own state images; ours return when they go.
    list->SetCheckboxes(true);
    HIMAGELIST boxes = reinterpret_cast<HIMAGELIST>(SendMessageA(window, LVM_GETIMAGELIST, LVSIL_STATE, 0));
    EXPECT_NE(boxes, nullptr);
    EXPECT_NE(boxes, state->Handle());
    list->SetCheckboxes(false);
    EXPECT_EQ(SendMessageA(window, LVM_GETIMAGELIST, LVSIL_STATE, 0), reinterpret_cast<LRESULT>(state->Handle()));
    EXPECT_EQ(ImageList_GetImageCount(state->Handle()), 0);  // still alive

    list->RecreateWnd();
    window = list->Handle();
    EXPECT_EQ(SendMessageA(window, LVM_GETIMAGELIST, LVSIL_NORMAL, 0), reinterpret_cast<LRESULT>(small->Handle()));

    list->SetLargeImages(nullptr);
    delete small;  // still the small images: the list hears of it
    EXPECT_EQ(list->SmallImages(), nullptr);
    EXPECT_EQ(SendMessageA(window, LVM_GETIMAGELIST, LVSIL_SMALL, 0), 0);
    EXPECT_EQ(list->StateImages(), state);
}

// ---- events ----------------------------------------------------------------------------

TEST_F(ComCtrlsListViewEvents, EachCheckToggleFiresOnChangeOnce) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key", "Value"});
    list->SetCheckboxes(true);
    for (const char* caption : {"a", "b"})
        list->Items().Add()->SetCaption(caption);
    form.Show();
    HWND window = list->Handle();
    TListItem* a = list->Items()[0];
    TListItem* b = list->Items()[1];
    TEventLog log(*list);

    // Another program's message.
    SetWindowState(window, 0, LVIS_STATEIMAGEMASK, INDEXTOSTATEIMAGEMASK(2));
    EXPECT_TRUE(a->Checked());
    EXPECT_EQ(log.StateChanges(a), 1);
    EXPECT_EQ(log.Changings, 1);

    // A click on the state image, left of the icon.
    TRect icon{};
    icon.left = LVIR_ICON;
    SendMessageA(window, LVM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&icon));
    int stateWidth = 0, stateHeight = 0;
    ImageList_GetIconSize(reinterpret_cast<HIMAGELIST>(SendMessageA(window, LVM_GETIMAGELIST, LVSIL_STATE, 0)),
                          &stateWidth, &stateHeight);
    ASSERT_GT(stateWidth, 0);
    int clicks = 0;
    list->OnClick = [&](TObject*) { ++clicks; };
    Click(window, TPoint{icon.left - stateWidth / 2, Center(icon).y});
    EXPECT_TRUE(b->Checked());
    EXPECT_EQ(StateImage(window, 1), 2u);
    EXPECT_EQ(log.StateChanges(b), 1);
    EXPECT_EQ(clicks, 1);

    // The space bar on the focused (and only selected) item.
    list->SetSelected(a);
    a->SetFocused(true);
    log.Reset();
    SendMessageA(window, WM_KEYDOWN, VK_SPACE, 0);
    SendMessageA(window, WM_KEYUP, VK_SPACE, 0);
    EXPECT_FALSE(a->Checked());
    EXPECT_EQ(log.StateChanges(a), 1);
    EXPECT_EQ(log.StateChanges(b), 0);

    // Code after the window exists is a change like any other.
    log.Reset();
    TListItem* c = list->Items().Add();
    EXPECT_TRUE(log.Changes.empty());
    c->SetChecked(true);
    EXPECT_EQ(StateImage(window, 2), 2u);
    EXPECT_EQ(log.StateChanges(c), 1);
    c->SetChecked(true);
    EXPECT_EQ(log.StateChanges(c), 1);
}

TEST_F(ComCtrlsListViewEvents, RefusedChangesKeepTheOldState) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    list->SetCheckboxes(true);
    TListItem* item = list->Items().Add();
    item->SetCaption("kept");
    HWND window = list->Handle();
    TEventLog log(*list);
    log.Allow = false;

    SetWindowState(window, 0, LVIS_STATEIMAGEMASK, INDEXTOSTATEIMAGEMASK(2));
    EXPECT_EQ(StateImage(window, 0), 1u);
    EXPECT_FALSE(item->Checked());
    item->SetChecked(true);
    EXPECT_FALSE(item->Checked());
    item->SetSelected(true);
    EXPECT_FALSE(item->Selected());
    item->SetCaption("changed");
    EXPECT_EQ(item->Caption(), "kept");
    EXPECT_EQ(WindowText(window, 0, 0), "kept");
    EXPECT_EQ(log.Changings, 4);
    EXPECT_TRUE(log.Changes.empty());

    log.Allow = true;
    item->SetCaption("changed");
    EXPECT_EQ(WindowText(window, 0, 0), "changed");
    ASSERT_EQ(log.Changes.size(), 1u);
    EXPECT_EQ(log.Changes[0].second, ctText);
}

TEST_F(ComCtrlsListViewEvents, SelectionChangesFireOnSelectItem) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    for (const char* caption : {"a", "b", "c"})
        list->Items().Add()->SetCaption(caption);
    TListItem* a = list->Items()[0];
    TListItem* b = list->Items()[1];
    TListItem* c = list->Items()[2];
    list->SetSelected(a);  // before the window: no events
    HWND window = list->Handle();
    TEventLog log(*list);
    EXPECT_EQ(list->Selected(), a);

    list->SetSelected(b);
    using Selection = std::vector<std::pair<TListItem*, bool>>;
    EXPECT_EQ(log.Selections, (Selection{{a, false}, {b, true}}));
    EXPECT_EQ(list->SelCount(), 1);
    EXPECT_FALSE(a->Selected());

    // A single-selection list deselects the others itself.
    log.Reset();
    SetWindowState(window, 2, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(log.Selections, (Selection{{b, false}, {c, true}}));
    EXPECT_TRUE(c->Selected());
    EXPECT_FALSE(b->Selected());

    // Focus alone is a state change, not a selection.
    log.Reset();
    list->SetItemFocused(a);
    EXPECT_EQ(list->ItemFocused(), a);
    EXPECT_TRUE(log.Selections.empty());
    EXPECT_EQ(log.StateChanges(a), 1);

    list->SetSelected(nullptr);
    EXPECT_EQ(list->Selected(), nullptr);
    EXPECT_EQ(list->SelCount(), 0);
}

TEST_F(ComCtrlsListViewEvents, ItemsDeletedByTheirOwnHandlersAreLeftAlone) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    for (const char* caption : {"a", "b", "c", "d"})
        list->Items().Add()->SetCaption(caption);
    form.Show();
    HWND window = list->Handle();
    TListItem* b = list->Items()[1];
    TListItem* d = list->Items()[3];
    std::vector<TListItem*> deleted;
    std::vector<TListItem*> selected;
    list->OnDeletion = [&](TObject*, TListItem* item) { deleted.push_back(item); };
    list->OnSelectItem = [&](TObject*, TListItem* item, bool) {
        for (TListItem* gone : deleted)
            EXPECT_NE(item, gone) << "an event for a deleted item";
        selected.push_back(item);
    };

    // Selecting b: OnChange deletes it before OnSelectItem would report it.
    list->OnChange = [&](TObject*, TListItem* item, TItemChange change) {
        if (change == ctState && item == b && item->Selected())
            item->Delete();
    };
    list->SetSelected(b);
    ASSERT_EQ(deleted, std::vector<TListItem*>{b});
    EXPECT_TRUE(selected.empty());
    ExpectItemsMatchWindow(*list);
    EXPECT_EQ(list->Items().Count(), 3);
    EXPECT_EQ(SendMessageA(window, LVM_GETSELECTEDCOUNT, 0, 0), 0);

    // OnChanging deletes d: the window does not change the item that is gone.
    list->OnChange = {};
    list->OnChanging = [&](TObject*, TListItem* item, TItemChange, bool&) {
        if (item == d)
            item->Delete();
    };
    SetWindowState(window, 2, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(deleted, (std::vector<TListItem*>{b, d}));
    ExpectItemsMatchWindow(*list);
    EXPECT_EQ(list->Selected(), nullptr);

    // And a caption change that deletes its item.
    TListItem* a = list->Items()[0];
    list->OnChanging = {};
    list->OnChange = [&](TObject*, TListItem* item, TItemChange change) {
        if (change == ctText)
            item->Delete();
    };
    a->SetCaption("gone");
    EXPECT_EQ(deleted.back(), a);
    ExpectItemsMatchWindow(*list);
    EXPECT_EQ(list->Items()[0]->Caption(), "c");
}

TEST_F(ComCtrlsListViewEvents, NotificationsReachAListInsideAPanel) {
    TTestForm form;
    auto panel = form.Add<TTestPanel>(&form, 0, 0, 400, 300);
    auto list = AddReportList(form, panel, {"Key", "Value"});
    list->SetCheckboxes(true);
    list->Items().Add()->SetCaption("a");
    form.Show();
    HWND window = list->Handle();
    ASSERT_EQ(GetParent(window), panel->Handle());
    TEventLog log(*list);
    SetWindowState(window, 0, LVIS_STATEIMAGEMASK, INDEXTOSTATEIMAGEMASK(2));
    EXPECT_TRUE(list->Items()[0]->Checked());
    EXPECT_EQ(log.StateChanges(list->Items()[0]), 1);

    // A click on a column header.
    TListColumn* clicked = nullptr;
    list->OnColumnClick = [&](TObject* sender, TListColumn* column) {
        EXPECT_EQ(sender, list);
        clicked = column;
    };
    TRect item{};
    SendMessageA(list->HeaderHandle(), HDM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&item));
    Click(list->HeaderHandle(), Center(item));
    EXPECT_EQ(clicked, list->Columns()[1]);
}

TEST_F(ComCtrlsListViewEvents, ClicksAndDoubleClicksFireOnce) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    list->Items().Add()->SetCaption("a");
    form.Show();
    HWND window = list->Handle();
    int clicks = 0, doubleClicks = 0;
    list->OnClick = [&](TObject*) { ++clicks; };
    list->OnDblClick = [&](TObject*) { ++doubleClicks; };
    TPoint at = Center(list->Items()[0]->DisplayRect(drLabel));
    EXPECT_EQ(list->GetItemAt(at.x, at.y), list->Items()[0]);
    EXPECT_EQ(list->GetItemAt(at.x, list->ClientHeight() - 2), nullptr);
    Click(window, at);
    EXPECT_EQ(clicks, 1);
    SendMessageA(window, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(at.x, at.y));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    EXPECT_EQ(doubleClicks, 1);
}

// ---- sorting ---------------------------------------------------------------------------

TEST_F(ComCtrlsListView, CustomSortOrdersTheWindowAndItemsAlike) {
    for (bool withWindow : {false, true}) {
        SCOPED_TRACE(withWindow ? "with a window" : "without a window");
        TTestForm form;
        auto list = AddReportList(form, &form, {"Key"});
        const intptr_t tags[] = {3, 1, 4, 1, 5, 9, 2, 6};
        for (intptr_t tag : tags) {
            TListItem* item = list->Items().Add();
            item->SetCaption(std::to_string(tag));
            item->SetData(reinterpret_cast<void*>(tag));
        }
        list->Items()[5]->SetSelected(true);  // "9"
        if (withWindow)
            list->HandleNeeded();
        list->CustomSort(&CompareByTag, -1);
        for (int i = 1; i < list->Items().Count(); ++i)
            EXPECT_GE(reinterpret_cast<intptr_t>(list->Items()[i - 1]->Data()),
                      reinterpret_cast<intptr_t>(list->Items()[i]->Data()));
        EXPECT_EQ(list->Items()[0]->Caption(), "9");
        ExpectItemsMatchWindow(*list);
        EXPECT_EQ(list->Selected(), list->Items()[0]);
    }
}

TEST_F(ComCtrlsListView, AlphaSortIgnoresCaseOrUsesOnCompare) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    for (const char* caption : {"beta", "Alpha", "gamma", "ALPHA2"})
        list->Items().Add()->SetCaption(caption);
    list->HandleNeeded();
    EXPECT_TRUE(list->AlphaSort());
    std::vector<std::string> captions;
    for (int i = 0; i < list->Items().Count(); ++i)
        captions.push_back(list->Items()[i]->Caption());
    EXPECT_EQ(captions, (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
    ExpectItemsMatchWindow(*list);

    // By length, longest first.
    list->OnCompare = [](TObject*, TListItem* a, TListItem* b, intptr_t, int& compare) {
        compare = static_cast<int>(b->Caption().size()) - static_cast<int>(a->Caption().size());
    };
    list->AlphaSort();
    EXPECT_EQ(list->Items()[0]->Caption(), "ALPHA2");
    EXPECT_EQ(list->Items()[3]->Caption(), "beta");
    ExpectItemsMatchWindow(*list);

    // A failing comparison reaches the caller; Items still follows the window.
    list->OnCompare = [](TObject*, TListItem*, TListItem*, intptr_t, int&) { throw std::runtime_error("no order"); };
    EXPECT_THROW(list->AlphaSort(), std::runtime_error);
    EXPECT_EQ(list->Items().Count(), 4);
    ExpectItemsMatchWindow(*list);
}

// ---- columns ---------------------------------------------------------------------------

TEST_F(ComCtrlsListColumns, WidthStaysWithinItsLimitsWhenSet) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    TListColumn* column = list->Columns()[0];
    EXPECT_EQ(column->Width(), 50);
    column->SetMinWidth(100);
    EXPECT_EQ(column->Width(), 100);
    column->SetMaxWidth(300);
    column->SetWidth(500);
    EXPECT_EQ(column->Width(), 300);
    HWND window = list->Handle();
    EXPECT_EQ(WindowColumnWidth(window, 0), 300);
    column->SetMaxWidth(200);
    EXPECT_EQ(WindowColumnWidth(window, 0), 200);
    column->SetWidth(10);
    EXPECT_EQ(column->Width(), 100);
    column->SetMaxWidth(0);  // no upper limit
    column->SetWidth(1000);
    EXPECT_EQ(column->Width(), 1000);
    // Limits that cross: the minimum wins.
    column->SetMinWidth(150);
    column->SetMaxWidth(120);
    EXPECT_EQ(column->Width(), 150);
    // Another program's request is held to the limits too.
    SendMessageA(window, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(400, 0));
    EXPECT_EQ(WindowColumnWidth(window, 0), 150);
}

TEST_F(ComCtrlsListColumns, HeaderDragStaysWithinTheLimits) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key", "Value"});
    TListColumn* column = list->Columns()[0];
    column->SetMinWidth(60);
    column->SetMaxWidth(150);
    column->SetWidth(100);
    form.Show();
    HWND window = list->Handle();
    HWND header = list->HeaderHandle();
    ASSERT_NE(header, nullptr);

    DragDivider(header, 0, 20);
    int dragged = WindowColumnWidth(window, 0);
    EXPECT_GT(dragged, 100);
    EXPECT_LE(dragged, 150);
    EXPECT_EQ(column->Width(), dragged);

    DragDivider(header, 0, 200);
    EXPECT_EQ(WindowColumnWidth(window, 0), 150);
    EXPECT_EQ(column->Width(), 150);

    DragDivider(header, 0, -140);
    EXPECT_EQ(WindowColumnWidth(window, 0), 60);
    EXPECT_EQ(column->Width(), 60);
    EXPECT_EQ(list->Columns()[1]->Width(), WindowColumnWidth(window, 1));
}

TEST_F(ComCtrlsListColumns, WidthsCanBeSetByPropertyPath) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key", "Value", "Description"});
    list->SetName("lvwRegKeys");
    list->Columns()[2]->SetMaxWidth(70);
    std::vector<TPropTarget> targets = ResolvePropPath(form, "lvwRegKeys.Columns.Width");
    ASSERT_EQ(targets.size(), 3u);
    for (const TPropTarget& target : targets)
        SetPropValue(*target.Object, *target.Prop, int64_t{80});
    HWND window = list->Handle();
    EXPECT_EQ(WindowColumnWidth(window, 0), 80);
    EXPECT_EQ(WindowColumnWidth(window, 1), 80);
    EXPECT_EQ(WindowColumnWidth(window, 2), 70);
}

// ---- progress bar ----------------------------------------------------------------------

TEST_F(ComCtrlsProgressBar, PositionStaysInTheRange) {
    TTestForm form;
    auto bar = form.Add<TProgressBar>(&form, 10, 10, 200, 20);
    for (bool withWindow : {false, true}) {
        SCOPED_TRACE(withWindow ? "with a window" : "without a window");
        if (withWindow)
            bar->HandleNeeded();
        bar->SetMin(0);
        bar->SetMax(100);
        bar->SetPosition(150);
        EXPECT_EQ(bar->Position(), 100);
        bar->SetPosition(-5);
        EXPECT_EQ(bar->Position(), 0);
        bar->SetPosition(40);
        bar->SetMin(50);
        EXPECT_EQ(bar->Position(), 50);
        bar->SetPosition(90);
        bar->SetMax(70);
        EXPECT_EQ(bar->Position(), 70);
        bar->StepBy(-100);
        EXPECT_EQ(bar->Position(), 50);
        bar->StepBy(15);
        EXPECT_EQ(bar->Position(), 65);
        bar->StepBy(1000);
        EXPECT_EQ(bar->Position(), 70);
    }
    EXPECT_EQ(SendMessageA(bar->Handle(), PBM_GETPOS, 0, 0), 70);
}

TEST_F(ComCtrlsProgressBar, StepItWrapsLikeTheNativeControl) {
    struct TCase {
        int min, max, position, step;
    };
    const TCase cases[] = {{0, 100, 95, 10},  {0, 100, 90, 10},  {0, 100, 100, 10}, {0, 100, 0, 250},
                           {20, 50, 45, 40},  {20, 50, 25, -10}, {20, 50, 20, -30}, {10, 10, 10, 5},
                           {-50, 50, 45, 12}, {0, 100, 50, 0}};
    TTestForm form;
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.min << ".." << c.max << " at " << c.position << " step " << c.step);
        auto native = form.Add<TProgressBar>(&form, 0, 0, 100, 10);
        auto own = new TProgressBar(&form);  // no parent: never gets a window
        for (TProgressBar* bar : {native, own}) {
            bar->SetMax(c.max);
            bar->SetMin(c.min);
            bar->SetPosition(c.position);
            bar->SetStep(c.step);
        }
        native->HandleNeeded();
        for (int i = 0; i < 3; ++i) {
            native->StepIt();
            own->StepIt();
            EXPECT_EQ(own->Position(), native->Position()) << "step " << i;
            EXPECT_EQ(SendMessageA(native->Handle(), PBM_GETPOS, 0, 0), native->Position());
        }
    }
}

TEST_F(ComCtrlsProgressBar, ValuesSurviveRecreateWnd) {
    TTestForm form;
    auto bar = form.Add<TProgressBar>(&form, 10, 10, 200, 20);
    EXPECT_EQ(bar->Max(), 100);
    EXPECT_EQ(bar->Step(), 10);
    bar->SetMin(10);
    bar->SetMax(60);
    bar->SetStep(7);
    bar->SetPosition(30);
    HWND before = bar->Handle();
    bar->StepIt();
    bar->SetSmooth(true);
    bar->SetOrientation(pbVertical);
    HWND window = bar->Handle();
    ASSERT_NE(window, before);
    EXPECT_NE(GetWindowLongA(window, GWL_STYLE) & PBS_SMOOTH, 0);
    EXPECT_NE(GetWindowLongA(window, GWL_STYLE) & PBS_VERTICAL, 0);
    EXPECT_EQ(SendMessageA(window, PBM_GETRANGE, TRUE, 0), 10);
    EXPECT_EQ(SendMessageA(window, PBM_GETRANGE, FALSE, 0), 60);
    EXPECT_EQ(SendMessageA(window, PBM_GETPOS, 0, 0), 37);
    bar->StepIt();
    EXPECT_EQ(bar->Position(), 44);
}

// ---- up-down ---------------------------------------------------------------------------

TEST_F(ComCtrlsUpDown, AssociateShowsThePosition) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 100, 24);
    auto upDown = form.Add<TUpDown>(&form, 120, 10, 17, 24);
    upDown->SetAssociate(edit);
    upDown->SetPosition(42);
    HWND window = upDown->Handle();
    EXPECT_EQ(reinterpret_cast<HWND>(SendMessageA(window, UDM_GETBUDDY, 0, 0)), edit->Handle());
    EXPECT_EQ(edit->GetText(), "42");
    // Placed at the right of its associate.
    EXPECT_EQ(upDown->Top(), edit->Top());
    EXPECT_GE(upDown->Left(), edit->Left());
    EXPECT_LE(upDown->Left(), edit->Left() + edit->Width() + 2);

    upDown->SetPosition(1000);
    EXPECT_EQ(upDown->Position(), 100);
    EXPECT_EQ(edit->GetText(), "100");

    char separator[8] = "";
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, separator, sizeof(separator));
    upDown->SetMax(5000);
    upDown->SetPosition(1500);
    EXPECT_EQ(edit->GetText(), std::string("1") + separator + "500");
    upDown->SetThousands(false);
    EXPECT_NE(upDown->Handle(), window);
    EXPECT_EQ(upDown->Position(), 1500);
    EXPECT_EQ(edit->GetText(), "1500");

    // The text typed into the associate is the position.
    edit->SetText("77");
    EXPECT_EQ(upDown->Position(), 77);

    delete edit;
    EXPECT_EQ(upDown->Associate(), nullptr);
    EXPECT_EQ(SendMessageA(upDown->Handle(), UDM_GETBUDDY, 0, 0), 0);
}

TEST_F(ComCtrlsUpDown, ArrowsStepFireEventsAndCanBeRefused) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 100, 24);
    auto upDown = form.Add<TUpDown>(&form, 120, 10, 17, 24);
    upDown->SetAssociate(edit);
    upDown->SetIncrement(5);
    upDown->SetPosition(50);
    form.Show();
    HWND window = upDown->Handle();
    int changings = 0;
    bool allow = true;
    std::vector<TUDBtnType> clicks;
    upDown->OnChanging = [&](TObject*, bool& allowChange) {
        ++changings;
        allowChange = allow;
    };
    upDown->OnClick = [&](TObject*, TUDBtnType button) {
        clicks.push_back(button);
        EXPECT_EQ(upDown->Position(), StrToInt(edit->GetText()));  // the move is complete
    };
    TRect client{};
    GetClientRect(window, &client);
    const TPoint upArrow{client.right / 2, client.bottom / 4};
    const TPoint downArrow{client.right / 2, client.bottom * 3 / 4};

    Click(window, upArrow);
    EXPECT_EQ(upDown->Position(), 55);
    EXPECT_EQ(edit->GetText(), "55");
    EXPECT_EQ(changings, 1);
    EXPECT_TRUE(clicks.empty());  // fires once the native control is done
    Application.ProcessMessages();
    EXPECT_EQ(clicks, std::vector<TUDBtnType>{btNext});

    Click(window, downArrow);
    Application.ProcessMessages();
    EXPECT_EQ(upDown->Position(), 50);
    EXPECT_EQ(clicks, (std::vector<TUDBtnType>{btNext, btPrev}));

    allow = false;
    Click(window, upArrow);
    Application.ProcessMessages();
    EXPECT_EQ(upDown->Position(), 50);
    EXPECT_EQ(edit->GetText(), "50");
    EXPECT_EQ(changings, 3);
    EXPECT_EQ(clicks.size(), 2u);

    // A range that runs downwards: the upper arrow still means "next".
    allow = true;
    upDown->SetMin(100);
    upDown->SetMax(0);
    upDown->SetPosition(50);
    Click(window, upArrow);
    Application.ProcessMessages();
    EXPECT_EQ(upDown->Position(), 45);
    EXPECT_EQ(clicks.back(), btNext);
}

TEST_F(ComCtrlsListViewEvents, DeletingInsideOnDeletionEndsCleanly) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key"});
    for (const char* caption : {"a", "b", "c", "d"})
        list->Items().Add()->SetCaption(caption);
    list->HandleNeeded();
    std::vector<std::string> deleted;

    // An item that deletes itself again in its own OnDeletion goes once.
    list->OnDeletion = [&](TObject*, TListItem* item) {
        deleted.push_back(item->Caption());
        item->Delete();
    };
    list->Items()[0]->Delete();
    EXPECT_EQ(deleted, std::vector<std::string>{"a"});
    ExpectItemsMatchWindow(*list);

    // While the list is cleared, a handler deleting another item changes nothing.
    deleted.clear();
    list->OnDeletion = [&](TObject*, TListItem* item) {
        deleted.push_back(item->Caption());
        if (list->Items().Count() > 2)
            list->Items().Delete(2);
    };
    list->Items().Clear();
    EXPECT_EQ(deleted, (std::vector<std::string>{"b", "c", "d"}));
    EXPECT_EQ(list->Items().Count(), 0);
    EXPECT_EQ(SendMessageA(list->Handle(), LVM_GETITEMCOUNT, 0, 0), 0);

    // A handler that clears the list again while it is being cleared.
    for (const char* caption : {"x", "y", "z"})
        list->Items().Add()->SetCaption(caption);
    deleted.clear();
    list->OnDeletion = [&](TObject*, TListItem* item) {
        deleted.push_back(item->Caption());
        list->Items().Clear();
    };
    list->Items().Clear();
    EXPECT_EQ(deleted, (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(list->Items().Count(), 0);

    // A deletion whose handler clears the whole list.
    for (const char* caption : {"e", "f"})
        list->Items().Add()->SetCaption(caption);
    deleted.clear();
    list->OnDeletion = [&](TObject*, TListItem* item) {
        deleted.push_back(item->Caption());
        list->Items().Clear();
    };
    list->Items()[0]->Delete();
    EXPECT_EQ(deleted, (std::vector<std::string>{"e", "f"}));
    EXPECT_EQ(list->Items().Count(), 0);
    ExpectItemsMatchWindow(*list);
}

TEST_F(ComCtrlsListView, SubItemsChangedThroughAPlainStringListReachTheWindow) {
    TTestForm form;
    auto list = AddReportList(form, &form, {"Key", "Value", "Data"});
    TListItem* item = list->Items().Add();
    item->SetCaption("key");
    HWND window = list->Handle();
    TStringList& texts = item->SubItems();
    texts.Add("value");
    texts.Add("data");
    EXPECT_EQ(WindowText(window, 0, 2), "data");
    texts.Put(0, "other");
    EXPECT_EQ(WindowText(window, 0, 1), "other");
    texts.Delete(0);
    EXPECT_EQ(WindowText(window, 0, 1), "data");
    EXPECT_EQ(WindowText(window, 0, 2), "");
    texts.Clear();
    EXPECT_EQ(WindowText(window, 0, 1), "");
}
