#include "KvListVw.h"
#include "KvPanel.h"
#include "KvShellInfo.h"
#include "KvStatus.h"

#include "GuiTestSupport.h"
#include "ScreenshotSupport.h"
#include "StatusBarPicture.h"
#include "Menus.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class KvListView : public guitest::GuiTestFailingOnExceptions {};

// Counts the messages a list handles, its reflected notifications included.
template <class Base>
class TCounting : public Base {
public:
    using Base::Base;
    void WndProc(TMessage& message) override {
        ++Messages;
        Base::WndProc(message);
    }
    int Messages = 0;
};

template <class List = TKvListView>
List* AddList(TTestForm& form, std::vector<std::string> items, int width = 380) {
    auto list = form.Add<List>(&form, 10, 10, width, 250);
    list->SetViewStyle(vsReport);
    for (const char* caption : {"Key", "Value", "Description"})
        list->Columns().Add()->SetCaption(caption);
    for (const std::string& caption : items)
        list->Items().Add()->SetCaption(caption);
    return list;
}

void SetStateImage(HWND list, int index, UINT image) {
    LVITEMA set{};
    set.stateMask = LVIS_STATEIMAGEMASK;
    set.state = INDEXTOSTATEIMAGEMASK(image);
    SendMessageA(list, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&set));
}

UINT StateImage(HWND list, int index) {
    return static_cast<UINT>(SendMessageA(list, LVM_GETITEMSTATE, index, LVIS_STATEIMAGEMASK)) >> 12;
}

TPoint Center(const TRect& rect) { return TPoint{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}; }

TRect HeaderItemRect(HWND header, int column) {
    TRect rect{};
    SendMessageA(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(&rect));
    return rect;
}

void Send(HWND window, std::initializer_list<UINT> messages, WPARAM wParam, LPARAM lParam = 0) {
    for (UINT message : messages)
        SendMessageA(window, message, wParam, lParam);
}

void ClickHeader(HWND header, int column) {
    const TPoint at = Center(HeaderItemRect(header, column));
    Send(header, {WM_LBUTTONDOWN, WM_LBUTTONUP}, 0, MAKELPARAM(at.x, at.y));
}

// What the check events reported, as "+a" (checked) and "-a" (unchecked).
struct TCheckLog {
    explicit TCheckLog(TKvListView& list) {
        list.OnCheckStateChanging = [this](TObject*, TListItem* item, bool checked, bool& allow) {
            Asked.push_back((checked ? "+" : "-") + item->Caption());
            allow = Allow;
        };
        list.OnCheckStateChange = [this](TObject*, TListItem* item) {
            Fired.push_back((item->Checked() ? "+" : "-") + item->Caption());
        };
    }
    std::vector<std::string> Asked;
    std::vector<std::string> Fired;
    bool Allow = true;
};

using TStrings = std::vector<std::string>;

WPARAM Wheel(int delta) { return static_cast<WPARAM>(static_cast<WORD>(static_cast<short>(delta))) << 16; }

}  // namespace

// ---- check events ----------------------------------------------------------------------

TEST_F(KvListView, MessageAndSpaceFireOnceAlsoOnASelectedItem) {
    TTestForm form;
    auto list = AddList(form, {"a", "b"});
    list->SetCheckboxes(true);
    form.Show();
    HWND window = list->Handle();
    TCheckLog log(*list);

    SetStateImage(window, 0, 2);
    EXPECT_EQ(log.Asked, TStrings{"+a"});
    EXPECT_EQ(log.Fired, TStrings{"+a"});

    // Selected and focused: the notifications carry those bits too.
    list->SetSelected(list->Items()[1]);
    list->Items()[1]->SetFocused(true);
    log.Asked = log.Fired = {};
    SetStateImage(window, 1, 2);
    Send(window, {WM_KEYDOWN, WM_KEYUP}, VK_SPACE);
    EXPECT_EQ(log.Asked, (TStrings{"+b", "-b"}));
    EXPECT_EQ(log.Fired, (TStrings{"+b", "-b"}));

    // A refusal keeps the window's and the item's state.
    log.Allow = false;
    Send(window, {WM_KEYDOWN, WM_KEYUP}, VK_SPACE);
    list->Items()[0]->SetChecked(false);
    EXPECT_EQ(log.Asked, (TStrings{"+b", "-b", "+b", "-a"}));
    EXPECT_EQ(log.Fired.size(), 2u);
    EXPECT_EQ(StateImage(window, 1), 1u);
    EXPECT_FALSE(list->Items()[1]->Checked());
    EXPECT_TRUE(list->Items()[0]->Checked());
}

// A notification that also moves the selection is no tick, in whole-state and changed-bit form.
TEST_F(KvListView, OnlyPureStateImageChangesCount) {
    TTestForm form;
    auto list = AddList(form, {"a"});
    list->SetCheckboxes(true);
    HWND window = list->Handle();
    TCheckLog log(*list);
    auto notify = [&](UINT code, UINT oldState, UINT newState) {
        NMLISTVIEW n{};
        n.hdr = NMHDR{window, 0, code};
        n.iItem = 0;
        n.uChanged = LVIF_STATE;
        n.uOldState = oldState;
        n.uNewState = newState;
        return list->Perform(CN_NOTIFY, 0, reinterpret_cast<LPARAM>(&n));
    };
    for (UINT code : {LVN_ITEMCHANGING, LVN_ITEMCHANGED}) {
        notify(code, 0x1000, 0x2003);  // selected at the same time
        notify(code, 0x1002, 0x2000);  // deselected at the same time
        notify(code, 0x1003, 0x1003);  // nothing changed
        notify(code, 0x1003, 0x2003);
        notify(code, 0x2000, 0x1000);
    }
    EXPECT_EQ(log.Asked, (TStrings{"+a", "-a"}));
    EXPECT_EQ(log.Fired.size(), 2u);

    // An item deleted by the asking handler is not changed.
    list->OnCheckStateChanging = [&](TObject*, TListItem* item, bool, bool&) { item->Delete(); };
    EXPECT_EQ(notify(LVN_ITEMCHANGING, 0x1000, 0x2000), 1);
    EXPECT_EQ(list->Items().Count(), 0);
}

// The themed list adds no message to a tick: the window is asked once, by the framework.
TEST_F(KvListView, ATickCostsNoMoreMessagesThanInThePlainList) {
    TTestForm form;
    auto themed = AddList<TCounting<TKvListView>>(form, {"a", "b"});
    auto plain = AddList<TCounting<TListView>>(form, {"a", "b"});
    form.SetClientSize(800, 300);
    plain->SetLeft(400);
    themed->OnCheckStateChange = [](TObject*, TListItem*) {};
    for (TCustomListView* list : {static_cast<TCustomListView*>(themed), static_cast<TCustomListView*>(plain)}) {
        list->SetCheckboxes(true);
        list->SetSelected(list->Items()[1]);
        list->Items()[1]->SetFocused(true);
    }
    form.Show();
    RedrawWindow(form.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    themed->Messages = plain->Messages = 0;
    for (HWND window : {themed->Handle(), plain->Handle()})
        SendMessageA(window, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_TRUE(themed->Items()[1]->Checked());
    EXPECT_TRUE(plain->Items()[1]->Checked());
    EXPECT_EQ(themed->Messages, plain->Messages);
}

// With whole rows selectable a label edit starts only from the label itself.
TEST_F(KvListView, RowClicksEditOnlyOnTheLabel) {
    TTestForm form;
    auto list = AddList(form, {"a"});
    list->SetReadOnly(false);
    list->SetRowSelect(true);
    form.Show();
    auto begin = [&](UINT code, TPoint client) {
        const TPoint screen = list->ClientToScreen(client);
        SetCursorPos(screen.x, screen.y);
        NMLVDISPINFOA info{};
        info.hdr = NMHDR{list->Handle(), 0, code};
        info.item.iItem = 0;
        return list->Perform(CN_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
    };
    const TRect label = list->Items()[0]->DisplayRect(drLabel);
    const TPoint onLabel = Center(label);
    const TPoint onRow{label.right + 20, onLabel.y};
    EXPECT_EQ(begin(LVN_BEGINLABELEDITA, onLabel), 0);
    EXPECT_EQ(begin(LVN_BEGINLABELEDITW, onRow), 1);
    list->SetEditOnRowClick(true);
    EXPECT_EQ(begin(LVN_BEGINLABELEDITA, onRow), 0);
    list->SetReadOnly(true);
    EXPECT_EQ(begin(LVN_BEGINLABELEDITA, onLabel), 1);
}

// ---- columns ---------------------------------------------------------------------------

TEST_F(KvListView, LastColumnTakesTheFreeWidth) {
    TTestForm form;
    form.SetClientSize(900, 300);
    auto list = AddList(form, {}, 804);
    list->Columns()[0]->SetWidth(300);
    list->Columns()[1]->SetWidth(152);
    HWND window = list->Handle();
    const int client = list->ClientWidth();
    const int scrollBar = GetSystemMetrics(SM_CXVSCROLL);
    list->SetWidth(805);
    EXPECT_EQ(list->Columns()[2]->Width(), list->ClientWidth() - 452 - scrollBar);

    list->Items().Add()->SetCaption("one");
    list->SetWidth(804);
    EXPECT_EQ(list->ClientWidth(), client);
    EXPECT_EQ(list->Columns()[2]->Width(), client - 452);
    EXPECT_EQ(SendMessageA(window, LVM_GETCOLUMNWIDTH, 2, 0), client - 452);

    // At least 5; nothing when the others use the whole width.
    list->SetWidth(452 + 2 + 804 - client);
    EXPECT_EQ(list->Columns()[2]->Width(), 5);
    list->Columns()[2]->SetWidth(40);
    list->SetWidth(300);
    EXPECT_EQ(list->Columns()[2]->Width(), 40);

    // After the user drags a divider.
    list->SetWidth(804);
    form.Show();
    HWND header = list->HeaderHandle();
    const TRect first = HeaderItemRect(header, 0);
    const int y = (first.top + first.bottom) / 2;
    SendMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(first.right - 1, y));
    SendMessageA(header, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(first.right + 20, y));
    SendMessageA(header, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(first.right + 40, y));
    SendMessageA(header, WM_LBUTTONUP, 0, MAKELPARAM(first.right + 40, y));
    EXPECT_GT(list->Columns()[0]->Width(), 300);
    EXPECT_EQ(list->Columns()[2]->Width(), client - list->Columns()[0]->Width() - 152);
    EXPECT_EQ(SendMessageA(window, LVM_GETCOLUMNWIDTH, 2, 0), list->Columns()[2]->Width());
}

TEST_F(KvListView, HeaderClicksSortUpDownUpWithEmptyCellsLast) {
    TTestForm form;
    auto list = AddList(form, {"k1", "k2", "k3", "k4"});
    const char* values[] = {"beta", "", "Alpha", "gamma"};
    for (int i = 0; i < 4; ++i)
        list->Items()[i]->SubItems().Add(values[i]);
    list->SetAlphaSortAll(true);
    std::vector<int> clicked;
    list->OnColumnClick = [&](TObject*, TListColumn* column) { clicked.push_back(column->Index()); };
    form.Show();
    HWND header = list->HeaderHandle();
    auto order = [&] {
        std::string keys;
        for (int i = 0; i < list->Items().Count(); ++i)
            keys += list->Items()[i]->Caption().substr(1);
        return keys;
    };
    ClickHeader(header, 1);
    EXPECT_EQ(order(), "3142");
    EXPECT_EQ(list->SortColumn(), 1);
    EXPECT_EQ(list->SortDirection(), lsdAscending);
    ClickHeader(header, 1);
    EXPECT_EQ(order(), "2413");
    EXPECT_EQ(list->SortDirection(), lsdDescending);
    ClickHeader(header, 1);
    EXPECT_EQ(order(), "3142");
    ClickHeader(header, 0);
    EXPECT_EQ(order(), "1234");
    EXPECT_EQ(list->SortColumn(), 0);
    EXPECT_EQ(clicked, (std::vector<int>{1, 1, 1, 0}));
}

// Native arrows from common controls 6.0 on, owner-drawn ones before; the owner-drawn arrow
// sits 5 pixels after the caption and points down while ascending.
TEST_F(KvListView, SortArrowIsNativeOrOwnerDrawnByVersion) {
    const uint64_t version = ComCtlVersion();
    TTestForm form;
    auto list = AddList(form, {"a"});
    list->Columns()[1]->SetWidth(150);
    list->HandleNeeded();
    HWND header = list->HeaderHandle();
    auto format = [&](int column) {
        HDITEMA item{};
        item.mask = HDI_FORMAT;
        SendMessageA(header, HDM_GETITEMA, column, reinterpret_cast<LPARAM>(&item));
        return item.fmt;
    };
    SetComCtlVersion(MakeFileVersion(6, 0));
    list->SetSortColumn(1);
    EXPECT_EQ(format(1) & (HDF_SORTUP | HDF_SORTDOWN | HDF_OWNERDRAW), HDF_SORTUP);
    list->SetSortDirection(lsdDescending);
    EXPECT_EQ(format(1) & (HDF_SORTUP | HDF_SORTDOWN), HDF_SORTDOWN);
    EXPECT_EQ(format(0) & (HDF_SORTUP | HDF_SORTDOWN | HDF_OWNERDRAW), 0);
    list->SetHeaderSortDisplayMode(hsdmRightAlign);
    EXPECT_TRUE(format(0) & HDF_OWNERDRAW);
    SetComCtlVersion(MakeFileVersion(4, 0));
    list->SetHeaderSortDisplayMode(hsdmRightOfText);
    EXPECT_EQ(list->HeaderSortDisplayMode(), hsdmNone);
    EXPECT_FALSE(format(2) & HDF_OWNERDRAW);
    SetComCtlVersion(MakeFileVersion(5, 81));
    list->SetHeaderSortDisplayMode(hsdmRightOfText);
    EXPECT_TRUE(format(2) & HDF_OWNERDRAW);
    SetComCtlVersion(version);

    TBitmap paper(150, 24);
    auto draw = [&] {
        paper.Canvas().Brush().SetColor(clWhite);
        paper.Canvas().FillRect(MakeRect(0, 0, 150, 24));
        DRAWITEMSTRUCT item{ODT_HEADER, 0, 1, 0, 0, header, paper.Canvas().Handle(), MakeRect(0, 0, 150, 24), 0};
        EXPECT_EQ(list->Perform(WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&item)), 1);
    };
    auto shadow = [&](int x, int y) { return paper.Canvas().Pixels(x, y) == RGBToColor(GetSysColor(COLOR_BTNSHADOW)); };
    paper.Canvas().Font().Assign(*list->Font());
    const int left = 6 + paper.Canvas().TextWidth("Value") + 5;
    // Text rectangle 6..144 x 2..22: box 12 wide from left, rows 5..15; the arrow 15 wide
    // from row 8 to row 15.
    list->SetSortDirection(lsdAscending);
    draw();
    EXPECT_TRUE(shadow(left, 8) && shadow(left + 14, 8) && shadow(left + 7, 15));
    EXPECT_FALSE(shadow(left - 1, 8) || shadow(left, 15) || shadow(left + 15, 8) || shadow(left + 7, 16));
    list->SetSortDirection(lsdDescending);
    draw();
    EXPECT_TRUE(shadow(left, 15) && shadow(left + 14, 15) && shadow(left + 7, 8));
    EXPECT_FALSE(shadow(left, 8));
    list->SetHeaderDefaultDrawing(false);
    draw();
    EXPECT_FALSE(shadow(left + 7, 8));
}

// ---- context menu ----------------------------------------------------------------------

TEST_F(KvListView, KeyboardMouseAndRightClickShowOneMenuEach) {
    TTestForm form;
    auto list = AddList(form, {"a", "b", "c"});
    TPopupMenu* menus[2];
    for (const char* caption : {"plain", "item"}) {
        TPopupMenu* menu = menus[caption[0] == 'i'] = new TPopupMenu(&form);
        menu->Items()->Add(new TMenuItem(menu));
        menu->Items()->Items(0)->SetCaption(caption);
    }
    list->SetPopupMenu(menus[0]);
    TStrings shown;  // the menu's first letter and the screen point
    auto where = [](char menu, TPoint at) { return menu + std::to_string(at.x) + "," + std::to_string(at.y); };
    auto previous = SetTrackPopupMenuHook([&](HMENU menu, UINT, int x, int y, HWND) -> UINT {
        char caption[16] = "";
        GetMenuStringA(menu, 0, caption, sizeof(caption), MF_BYPOSITION);
        shown.push_back(where(caption[0], TPoint{x, y}));
        return 0;
    });
    std::vector<TListItem*> asked;
    list->OnItemContextMenu = [&](TObject*, TListItem* item, TPoint&, TPopupMenu*& menu) {
        asked.push_back(item);
        menu = menus[1];
    };
    form.Show();
    HWND window = list->Handle();
    auto expectShown = [&](char menu, TPoint client) {
        EXPECT_EQ(shown, TStrings{where(menu, list->ClientToScreen(client))});
        shown.clear();
    };

    // Nothing selected: the plain menu, once, also when the key's own request follows.
    SendMessageA(window, WM_KEYDOWN, VK_APPS, 0);
    SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), -1);
    expectShown('p', Center(list->ClientRect()));

    // Shift+F10: at the focused item's icon, whatever the mouse does.
    list->SetSelected(list->Items()[0]);
    list->Items()[2]->SetFocused(true);
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    SendMessageA(window, WM_SYSKEYDOWN, VK_F10, 0);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    expectShown('i', Center(list->Items()[2]->DisplayRect(drIcon)));
    EXPECT_EQ(asked, std::vector<TListItem*>{list->Items()[0]});
    EXPECT_EQ(menus[1]->PopupComponent(), list);

    // A request from the mouse: at the mouse.
    const TPoint at = list->ClientToScreen(TPoint{30, 60});
    SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), MAKELPARAM(at.x, at.y));
    expectShown('i', TPoint{30, 60});

    // A right click on an item: one menu for the notification and the request after it.
    const TPoint item = Center(list->Items()[1]->DisplayRect(drLabel));
    const TPoint cursor = list->ClientToScreen(item);
    SetCursorPos(cursor.x, cursor.y);
    PostMessageA(window, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(item.x, item.y));
    PostMessageA(window, WM_RBUTTONUP, 0, MAKELPARAM(item.x, item.y));
    Application.ProcessMessages();
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(list->PopupMenu(), menus[0]);
    SetTrackPopupMenuHook(previous);
}

// ---- colours, frame, wheel --------------------------------------------------------------

TEST_F(KvListView, ColoursAndFrameFollowEnabledAndFocusedStates) {
    TTestForm form;
    auto other = form.Add<TKvListView>(&form, 10, 270, 100, 20);
    auto list = AddList(form, {"a"});
    list->SetFocusColor(clInfoBk);
    list->SetDisabledColor(clSilver);
    list->SetFramingPreference(fpCustomFraming);
    list->SetFrameColor(clRed);
    list->SetFrameHotColor(clBlue);
    list->SetFrameHotTrack(true);
    EXPECT_TRUE(list->FrameVisible());
    form.Show();
    SetWindowPos(form.Handle(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    other->SetFocus();
    HWND window = list->Handle();
    auto background = [&] { return static_cast<COLORREF>(SendMessageA(window, LVM_GETBKCOLOR, 0, 0)); };
    auto frame = [&](int x) {
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_UPDATENOW);
        HDC dc = GetWindowDC(window);
        const COLORREF color = GetPixel(dc, x, list->Height() / 2);
        ReleaseDC(window, dc);
        return color;
    };
    EXPECT_EQ(background(), GetSysColor(COLOR_WINDOW));
    EXPECT_EQ(frame(0), ColorToRGB(clRed));
    EXPECT_EQ(frame(1), GetSysColor(COLOR_WINDOW));
    list->SetFocus();
    EXPECT_EQ(background(), GetSysColor(COLOR_INFOBK));
    EXPECT_EQ(frame(0), ColorToRGB(clBlue));
    EXPECT_EQ(frame(1), ColorToRGB(clBlue));
    list->SetColor(clYellow);  // the normal colour; the focus colour stays
    EXPECT_EQ(background(), GetSysColor(COLOR_INFOBK));
    other->SetFocus();
    EXPECT_EQ(background(), ColorToRGB(clYellow));
    list->SetEnabled(false);
    EXPECT_EQ(background(), ColorToRGB(clSilver));
    list->SetEnabled(true);
    EXPECT_EQ(list->GetColor(), clYellow);
    // A focus colour equal to the normal one follows it, also for a colour read while loading.
    other->BeginLoading();
    other->SetColor(clAqua);
    other->SetEnabled(false);
    other->Loaded();
    EXPECT_EQ(other->Color(), clBtnFace);
    other->SetEnabled(true);
    other->SetFocus();
    EXPECT_EQ(other->FocusColor(), clAqua);
    EXPECT_EQ(other->Color(), clAqua);
    form.Hide();
}

// Changes a system colour for the whole session and puts it back when it goes.
class TSysColorChange {
public:
    TSysColorChange(int index, COLORREF colour) : index_(index), old_(GetSysColor(index)) {
        SetSysColors(1, &index_, &colour);
    }
    ~TSysColorChange() { SetSysColors(1, &index_, &old_); }
    TSysColorChange(const TSysColorChange&) = delete;
    TSysColorChange& operator=(const TSysColorChange&) = delete;

private:
    int index_;
    COLORREF old_;
};

TEST_F(KvListView, ColoursFollowASystemColourChangeThatReachesOnlyTheForm) {
    TTestForm form;
    auto list = AddList(form, {"a"});
    form.Show();
    HWND window = list->Handle();
    const COLORREF changed = GetSysColor(COLOR_WINDOW) ^ RGB(0, 0x40, 0x40);
    {
        TSysColorChange change(COLOR_WINDOW, changed);
        // As the system tells it: to the top-level window alone.
        SendMessageA(form.Handle(), WM_SYSCOLORCHANGE, 0, 0);
        EXPECT_EQ(static_cast<COLORREF>(SendMessageA(window, LVM_GETBKCOLOR, 0, 0)), changed);
    }
    SendMessageA(form.Handle(), WM_SYSCOLORCHANGE, 0, 0);
    EXPECT_EQ(static_cast<COLORREF>(SendMessageA(window, LVM_GETBKCOLOR, 0, 0)), GetSysColor(COLOR_WINDOW));
    form.Hide();
}

TEST_F(KvListView, WheelScrollsTheSystemsLinesBySixteenPixels) {
    TTestForm form;
    std::vector<std::string> items;
    for (int i = 0; i < 200; ++i)
        items.push_back("k" + std::to_string(i));
    auto list = AddList(form, items);
    form.Show();
    HWND window = list->Handle();
    UINT lines = 3;
    SystemParametersInfoA(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
    SendMessageA(window, LVM_SCROLL, 0, static_cast<LPARAM>(lines * 16));
    const LRESULT expected = SendMessageA(window, LVM_GETTOPINDEX, 0, 0);
    SendMessageA(window, LVM_ENSUREVISIBLE, 0, FALSE);
    ASSERT_GT(expected, 0);

    EXPECT_EQ(SendMessageA(window, WM_MOUSEWHEEL, Wheel(-WHEEL_DELTA / 2), 0), 0);
    EXPECT_EQ(SendMessageA(window, LVM_GETTOPINDEX, 0, 0), 0);
    SendMessageA(window, WM_MOUSEWHEEL, Wheel(-WHEEL_DELTA / 2), 0);
    EXPECT_EQ(SendMessageA(window, LVM_GETTOPINDEX, 0, 0), expected);
    SendMessageA(window, WM_MOUSEWHEEL, Wheel(WHEEL_DELTA), 0);
    EXPECT_EQ(SendMessageA(window, LVM_GETTOPINDEX, 0, 0), 0);
}

TEST_F(KvListView, ControllerAndOlderNamesSetTheFrame) {
    TTestForm form;
    auto list = AddList(form, {});
    auto controller = new TKvFrameController(&form);
    controller->SetFrameColor(clRed);
    list->SetFrameController(controller);
    EXPECT_EQ(list->FrameColor(), clRed);
    EXPECT_EQ(controller->ControlCount(), 1);
    EXPECT_FALSE(GetPropInfo(*list, "Color").Stored(*list));
    delete controller;
    EXPECT_EQ(list->FrameController(), nullptr);

    TFormProperty flat{"FrameFlat", {}};
    flat.Value.Type = TFormValueType::True;
    EXPECT_TRUE(list->ReadOldProperty(flat));
    EXPECT_TRUE(list->FrameHotTrack());
    EXPECT_EQ(list->FrameStyle(), fsStatus);
    EXPECT_EQ(list->FrameHotStyle(), fsLowered);
    flat.Value.Type = TFormValueType::False;
    EXPECT_TRUE(list->ReadOldProperty(flat));
    EXPECT_FALSE(list->FrameHotTrack());
    TFormProperty focus{"FrameFocusStyle", {}};
    focus.Value.Type = TFormValueType::Ident;
    focus.Value.Text = "FSBUMP";
    EXPECT_TRUE(list->ReadOldProperty(focus));
    EXPECT_EQ(list->FrameHotStyle(), fsBump);
    focus.Value.Text = "fsNothing";
    EXPECT_FALSE(list->ReadOldProperty(focus));
    flat.Value.Type = TFormValueType::Ident;
    EXPECT_FALSE(list->ReadOldProperty(flat));
    EXPECT_EQ(list->FrameHotStyle(), fsBump);
    EXPECT_FALSE(list->ReadOldProperty(TFormProperty{"Frame", {}}));
}

// Fills a shown list the way a scan does and leaves a picture of it with its status bar.
TEST_F(KvListView, FillingTwentyThousandRowsAndAScreenshot) {
    TTestForm form;
    form.SetCaption("Registry problems");
    form.SetClientSize(640, 360);
    auto list = AddList(form, {}, 620);
    list->Columns()[0]->SetWidth(260);
    list->Columns()[1]->SetWidth(152);
    list->SetAlign(alClient);
    list->SetCheckboxes(true);
    list->SetGridLines(true);
    list->SetRowSelect(true);
    list->SetSortColumn(0);
    // The status bar below it as the cleanup page has one: a glyph pane and a count.
    TImageList images(nullptr);
    guitest::AddPictureStatusBar(form, images, 300, "Total: 20000");
    form.Show();
    constexpr int kCount = 20000;
    const ULONGLONG started = GetTickCount64();
    list->Items().BeginUpdate();
    for (int i = 0; i < kCount; ++i) {
        TListItem* item = list->Items().Add();
        item->SetCaption("Software\\Classes\\Key" + std::to_string(i));
        item->SubItems().Add(i % 3 ? "Value" + std::to_string(i) : "");
        item->SubItems().Add("Missing file");
        item->SetChecked(i % 2 == 0);
    }
    list->Items().EndUpdate();
    std::printf("[ bench    ] %d rows into a shown themed list view: %llu ms\n", kCount,
                static_cast<unsigned long long>(GetTickCount64() - started));
    ASSERT_EQ(SendMessageA(list->Handle(), LVM_GETITEMCOUNT, 0, 0), kCount);
    EXPECT_EQ(list->Columns()[2]->Width(), list->ClientWidth() - 412);
    EXPECT_EQ(StateImage(list->Handle(), kCount - 2), 2u);
    list->Items()[1]->SetSelected(true);
    EXPECT_TRUE(guitest::SaveWindowScreenshot(form.Handle(), "KvListView"));
    form.Hide();
}
