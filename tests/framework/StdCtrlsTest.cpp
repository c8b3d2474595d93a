#include "Spin.h"
#include "StdCtrls.h"

#include "Controls.h"
#include "Forms.h"
#include "GuiTestSupport.h"
#include "Handles.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

class StdCtrlsButtonTest : public GuiTest {};
class StdCtrlsCheckBoxTest : public GuiTest {};
class StdCtrlsEditTest : public GuiTest {};
class StdCtrlsListBoxTest : public GuiTest {};
class StdCtrlsComboBoxTest : public GuiTest {};
class StdCtrlsGroupBoxTest : public GuiTest {};
class StdCtrlsLabelTest : public GuiTest {};
class StdCtrlsSpinEditTest : public GuiTest {};

std::string WindowText(HWND window) {
    char text[256] = "";
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

std::vector<std::string> Lines(const TStringList& list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list.Count(); ++i)
        lines.push_back(list[i]);
    return lines;
}

// The lines a list box (or, with the CB_ messages, a combo box) window holds.
std::vector<std::string> WindowLines(HWND window, UINT getCount = LB_GETCOUNT, UINT getText = LB_GETTEXT) {
    std::vector<std::string> lines;
    const int count = static_cast<int>(SendMessageA(window, getCount, 0, 0));
    for (int i = 0; i < count; ++i) {
        char text[256] = "";
        SendMessageA(window, getText, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        lines.push_back(text);
    }
    return lines;
}

SIZE TextExtent(const TFont& font, const std::string& text) {
    TWindowDc dc(nullptr);
    TSelection selection(dc.Get(), font.Handle());
    SIZE size{};
    GetTextExtentPoint32A(dc.Get(), text.c_str(), static_cast<int>(text.size()), &size);
    return size;
}

int LineHeight(const TFont& font) {
    TWindowDc dc(nullptr);
    TSelection selection(dc.Get(), font.Handle());
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc.Get(), &metrics);
    return metrics.tmHeight;
}

void ClickAt(HWND window, POINT point, UINT down = WM_LBUTTONDOWN) {
    SendMessageA(window, down, MK_LBUTTON, MAKELPARAM(point.x, point.y));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(point.x, point.y));
}

POINT Center(const RECT& rect) { return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}; }

void Type(HWND window, const std::string& text) {
    for (char c : text)
        SendMessageA(window, WM_CHAR, static_cast<unsigned char>(c), 1);
}

// What a control paints, on a bitmap of the parent's client size.
class TPaintedImage {
public:
    TPaintedImage(TWinControl& parent, int width, int height)
        : dc_(CreateCompatibleDC(nullptr)), bitmap_(CreateBitmap(width, height, 1, 32, nullptr)),
          selection_(dc_.Get(), bitmap_.Get()) {
        parent.Perform(WM_PAINT, reinterpret_cast<WPARAM>(dc_.Get()), 0);
    }
    COLORREF Pixel(int x, int y) const { return GetPixel(dc_.Get(), x, y); }
    int Count(const RECT& area, COLORREF color) const {
        int count = 0;
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                count += Pixel(x, y) == color;
        return count;
    }

private:
    TUniqueMemoryDc dc_;
    TUniqueGdi<HBITMAP> bitmap_;
    TSelection selection_;
};

}  // namespace

// ---- buttons ----------------------------------------------------------------------------

TEST_F(StdCtrlsButtonTest, ClickFiresOnceAndEndsShowModalWithModalResult) {
    TTestForm form;
    auto ok = form.Add<TButton>(&form, 10, 10, 75, 25);
    ok->SetCaption("OK");
    ok->SetModalResult(mrOk);
    int clicks = 0;
    ok->OnClick = [&](TObject* sender) {
        EXPECT_EQ(sender, ok);
        EXPECT_EQ(form.ModalResult(), mrOk);  // set before OnClick
        ++clicks;
    };
    form.OnShow = [&](TObject*) { PostMessageA(ok->Handle(), BM_CLICK, 0, 0); };
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_EQ(clicks, 1);
    char name[32] = "";
    GetClassNameA(ok->Handle(), name, sizeof(name));
    EXPECT_STREQ(name, "Button");
    EXPECT_EQ(WindowText(ok->Handle()), "OK");
    // By name, as form streams set them.
    SetPropText(*ok, GetPropInfo(*ok, "ModalResult"), "7");
    EXPECT_EQ(ok->ModalResult(), 7);
    EXPECT_EQ(GetPropInfo(*ok, "TabStop").Default, 1);
}

TEST_F(StdCtrlsButtonTest, EnterAndEscapeInAnEditClickDefaultAndCancel) {
    for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
        TTestForm form;
        auto edit = form.Add<TEdit>(&form, 10, 10, 120, 21);
        auto ok = form.Add<TButton>(&form, 10, 50, 75, 25);
        auto cancel = form.Add<TButton>(&form, 100, 50, 75, 25);
        ok->SetModalResult(mrOk);
        ok->SetDefault(true);
        cancel->SetModalResult(mrCancel);
        cancel->SetCancel(true);
        EXPECT_EQ(form.DefaultControl(), ok);
        EXPECT_EQ(form.CancelControl(), cancel);
        form.SetActiveControl(edit);
        LONG_PTR okStyle = 0;
        ok->OnClick = [&](TObject*) { okStyle = GetWindowLongPtrA(ok->Handle(), GWL_STYLE); };
        form.OnShow = [&](TObject*) { PostMessageA(edit->Handle(), WM_KEYDOWN, key, 0); };
        EXPECT_EQ(form.ShowModal(), key == VK_RETURN ? mrOk : mrCancel);
        if (key == VK_RETURN) {
            EXPECT_EQ(okStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);  // the default frame while an edit has the focus
        }
        EXPECT_EQ(edit->GetText(), "");
    }
}

TEST_F(StdCtrlsButtonTest, FocusedButtonTakesEnterAndTheDefaultFrame) {
    TTestForm form;
    auto ok = form.Add<TButton>(&form, 10, 10, 75, 25);
    auto retry = form.Add<TButton>(&form, 100, 10, 75, 25);
    ok->SetModalResult(mrOk);
    ok->SetDefault(true);
    retry->SetModalResult(mrRetry);
    int okClicks = 0;
    LONG_PTR okStyle = 0;
    LONG_PTR retryStyle = 0;
    ok->OnClick = [&](TObject*) { ++okClicks; };
    retry->OnClick = [&](TObject*) {
        okStyle = GetWindowLongPtrA(ok->Handle(), GWL_STYLE);
        retryStyle = GetWindowLongPtrA(retry->Handle(), GWL_STYLE);
    };
    form.SetActiveControl(retry);
    form.OnShow = [&](TObject*) { PostMessageA(retry->Handle(), WM_KEYDOWN, VK_RETURN, 0); };
    EXPECT_EQ(form.ShowModal(), mrRetry);
    EXPECT_EQ(okClicks, 0);
    EXPECT_EQ(retryStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(okStyle & BS_TYPEMASK, BS_PUSHBUTTON);
}

TEST_F(StdCtrlsButtonTest, FormReferencesFollowParentFlagsAndFreeing) {
    TTestForm form;
    auto button = new TButton(&form);
    button->SetDefault(true);
    button->SetCancel(true);
    EXPECT_EQ(form.DefaultControl(), nullptr);  // no form yet
    button->SetParent(&form);
    EXPECT_EQ(form.DefaultControl(), button);
    EXPECT_EQ(form.CancelControl(), button);
    button->SetCancel(false);
    EXPECT_EQ(form.CancelControl(), nullptr);

    // Reaching the form through a container that joins it later.
    auto group = new TGroupBox(&form);
    auto inner = form.Add<TButton>(group, 10, 20, 75, 25);
    inner->SetDefault(true);
    EXPECT_EQ(form.DefaultControl(), button);
    group->SetParent(&form);
    form.Show();
    EXPECT_EQ(form.DefaultControl(), inner);
    FreeComponent(inner);
    EXPECT_EQ(form.DefaultControl(), nullptr);
    button->SetDefault(true);
    FreeComponent(button);
    EXPECT_EQ(form.DefaultControl(), nullptr);
    form.Hide();
}

TEST_F(StdCtrlsButtonTest, AcceleratorsClickButtonsAndToggleCheckBoxes) {
    TTestForm form;
    auto apply = form.Add<TButton>(&form, 10, 10, 75, 25);
    apply->SetCaption("&Apply");
    auto verbose = form.Add<TCheckBox>(&form, 10, 50, 100, 17);
    verbose->SetCaption("&Verbose");
    int clicks = 0;
    apply->OnClick = [&](TObject*) { ++clicks; };
    form.ShowForm();
    EXPECT_NE(form.Perform(CM_DIALOGCHAR, 'a'), 0);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(apply->Focused());
    EXPECT_NE(form.Perform(CM_DIALOGCHAR, 'V'), 0);
    EXPECT_TRUE(verbose->Checked());
    EXPECT_EQ(form.Perform(CM_DIALOGCHAR, 'p'), 0);
    apply->SetEnabled(false);
    EXPECT_EQ(form.Perform(CM_DIALOGCHAR, 'a'), 0);
    EXPECT_EQ(clicks, 1);
    form.Hide();
}

// ---- check boxes ------------------------------------------------------------------------

TEST_F(StdCtrlsCheckBoxTest, UserClicksToggleAndFireOnce) {
    TTestForm form;
    auto box = form.Add<TCheckBox>(&form, 10, 10, 120, 17);
    box->SetAllowGrayed(true);
    int clicks = 0;
    box->OnClick = [&](TObject*) { ++clicks; };
    form.Show();
    HWND window = box->Handle();
    const std::vector<std::pair<TCheckBoxState, LRESULT>> cycle = {
        {cbChecked, BST_CHECKED}, {cbGrayed, BST_INDETERMINATE}, {cbUnchecked, BST_UNCHECKED}};
    for (size_t i = 0; i < cycle.size(); ++i) {
        SendMessageA(window, BM_CLICK, 0, 0);
        EXPECT_EQ(clicks, static_cast<int>(i + 1));
        EXPECT_EQ(box->State(), cycle[i].first);
        EXPECT_EQ(SendMessageA(window, BM_GETCHECK, 0, 0), cycle[i].second);
    }
    box->SetAllowGrayed(false);
    SendMessageA(window, BM_CLICK, 0, 0);
    SendMessageA(window, BM_CLICK, 0, 0);
    EXPECT_EQ(box->State(), cbUnchecked);  // checked and back, grayed skipped
    EXPECT_EQ(clicks, 5);
    form.Hide();
}

TEST_F(StdCtrlsCheckBoxTest, ChangesFromCodeFireOnlyWhenTheStateDiffers) {
    TTestForm form;
    auto box = form.Add<TCheckBox>(&form, 10, 10, 120, 17);
    int clicks = 0;
    box->OnClick = [&](TObject*) { ++clicks; };
    box->SetChecked(false);
    EXPECT_EQ(clicks, 0);
    box->SetChecked(true);  // without a window as well
    EXPECT_EQ(clicks, 1);
    form.Show();
    HWND window = box->Handle();
    EXPECT_EQ(SendMessageA(window, BM_GETCHECK, 0, 0), BST_CHECKED);
    box->SetChecked(true);
    EXPECT_EQ(clicks, 1);
    box->SetState(cbGrayed);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(SendMessageA(window, BM_GETCHECK, 0, 0), BST_INDETERMINATE);
    SetPropText(*box, GetPropInfo(*box, "State"), "cbGrayed");
    EXPECT_EQ(clicks, 2);
    // Driven from outside, the window's check goes through State.
    SendMessageA(window, BM_SETCHECK, BST_UNCHECKED, 0);
    EXPECT_EQ(box->State(), cbUnchecked);
    EXPECT_EQ(clicks, 3);
    form.Hide();
}

TEST_F(StdCtrlsCheckBoxTest, StateAndAlignmentSurviveRecreateWnd) {
    TTestForm form;
    auto box = form.Add<TCheckBox>(&form, 10, 10, 120, 17);
    box->SetCaption("Grayed");
    form.Show();
    box->SetState(cbGrayed);
    int clicks = 0;
    box->OnClick = [&](TObject*) { ++clicks; };
    HWND before = box->Handle();
    EXPECT_FALSE(GetWindowLongPtrA(before, GWL_STYLE) & BS_LEFTTEXT);
    box->SetAlignment(taLeftJustify);
    HWND after = box->Handle();
    EXPECT_NE(after, before);
    EXPECT_TRUE(GetWindowLongPtrA(after, GWL_STYLE) & BS_LEFTTEXT);
    EXPECT_EQ(SendMessageA(after, BM_GETCHECK, 0, 0), BST_INDETERMINATE);
    EXPECT_EQ(WindowText(after), "Grayed");
    EXPECT_EQ(clicks, 0);
    form.Hide();
}

// ---- edits ------------------------------------------------------------------------------

TEST_F(StdCtrlsEditTest, ChangeFiresForEveryNewText) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 150, 21);
    std::vector<std::string> seen;
    edit->OnChange = [&](TObject*) { seen.push_back(edit->GetText()); };
    edit->SetText("early");  // no window yet
    edit->SetText("early");
    form.Show();
    EXPECT_EQ(seen, std::vector<std::string>{"early"});  // making the window fired nothing
    HWND window = edit->Handle();
    EXPECT_EQ(WindowText(window), "early");
    edit->SetText("code");
    edit->SetText("code");
    SetWindowTextA(window, "outside");
    EXPECT_FALSE(edit->Modified());
    SendMessageA(window, EM_SETSEL, 7, 7);
    Type(window, "!");
    EXPECT_EQ(seen, (std::vector<std::string>{"early", "code", "outside", "outside!"}));
    EXPECT_TRUE(edit->Modified());
    edit->Clear();
    EXPECT_EQ(seen.back(), "");
    form.Hide();
}

TEST_F(StdCtrlsEditTest, MaxLengthAndReadOnlyLimitTyping) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 150, 21);
    edit->SetMaxLength(3);
    int changes = 0;
    edit->OnChange = [&](TObject*) { ++changes; };
    form.Show();
    HWND window = edit->Handle();
    Type(window, "abcd");
    EXPECT_EQ(edit->GetText(), "abc");
    EXPECT_EQ(changes, 3);
    edit->SetText("longer from code");  // the limit is for typing
    EXPECT_EQ(edit->GetText(), "longer from code");
    edit->SetReadOnly(true);
    changes = 0;
    Type(window, "x");
    EXPECT_EQ(edit->GetText(), "longer from code");
    EXPECT_EQ(changes, 0);
    edit->SetMaxLength(0);
    edit->SetReadOnly(false);
    SendMessageA(window, EM_SETSEL, 0, -1);
    Type(window, "12345");
    EXPECT_EQ(edit->GetText(), "12345");
    form.Hide();
}

TEST_F(StdCtrlsEditTest, TextSelectionAndSettingsSurviveRecreateWnd) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 150, 21);
    form.Show();
    HWND before = edit->Handle();
    SetWindowTextA(before, "secret");
    edit->SetMaxLength(10);
    edit->SetReadOnly(true);
    edit->SetPasswordChar('*');
    edit->SetSelStart(1);
    edit->SetSelLength(3);
    edit->SetModified(true);
    int changes = 0;
    edit->OnChange = [&](TObject*) { ++changes; };
    EXPECT_TRUE(GetWindowLongPtrA(before, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    edit->SetBorderStyle(bsNone);
    HWND after = edit->Handle();
    ASSERT_NE(after, before);
    EXPECT_FALSE(GetWindowLongPtrA(after, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_EQ(WindowText(after), "secret");
    EXPECT_EQ(SendMessageA(after, EM_GETLIMITTEXT, 0, 0), 10);
    EXPECT_TRUE(GetWindowLongPtrA(after, GWL_STYLE) & ES_READONLY);
    EXPECT_EQ(SendMessageA(after, EM_GETPASSWORDCHAR, 0, 0), '*');
    EXPECT_EQ(edit->SelStart(), 1);
    EXPECT_EQ(edit->SelText(), "ecr");
    EXPECT_TRUE(edit->Modified());
    EXPECT_EQ(changes, 0);
    form.Hide();
}

TEST_F(StdCtrlsEditTest, Ctl3DFollowsTheParentAndChoosesTheBorderOfEditsAndListBoxes) {
    TTestForm form;
    auto group = form.Add<TGroupBox>(&form, 0, 0, 300, 200);
    auto edit = form.Add<TEdit>(group, 10, 20, 150, 21);
    auto list = form.Add<TListBox>(group, 10, 50, 150, 80);
    form.Show();
    auto sunken = [](TWinControl* control) {
        return (GetWindowLongPtrA(control->Handle(), GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0;
    };
    EXPECT_TRUE(sunken(edit));
    EXPECT_TRUE(sunken(list));
    form.SetCtl3D(false);
    EXPECT_FALSE(edit->Ctl3D());  // through the group box
    EXPECT_TRUE(edit->ParentCtl3D());
    EXPECT_FALSE(sunken(edit));
    EXPECT_FALSE(sunken(list));
    // A plain line instead (an edit takes WS_BORDER off its style and draws the line itself).
    EXPECT_TRUE(GetWindowLongPtrA(list->Handle(), GWL_STYLE) & WS_BORDER);
    edit->SetCtl3D(true);
    form.SetCtl3D(true);
    form.SetCtl3D(false);
    EXPECT_FALSE(edit->ParentCtl3D());
    EXPECT_TRUE(sunken(edit));
    form.Hide();
}

TEST_F(StdCtrlsEditTest, SelectionWithAndWithoutWindowAndAutoSelect) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 150, 21);
    auto other = form.Add<TEdit>(&form, 10, 40, 150, 21);
    edit->SetText("hello world");
    edit->SetSelStart(6);
    edit->SetSelLength(99);  // clipped to the text
    EXPECT_EQ(edit->SelText(), "world");
    edit->SetSelText("there");
    EXPECT_EQ(edit->GetText(), "hello there");
    EXPECT_EQ(edit->SelStart(), 11);
    EXPECT_EQ(edit->SelLength(), 0);

    form.ShowForm();
    other->SetFocus();
    edit->SetSelStart(0);
    edit->SetFocus();  // not by the mouse: AutoSelect selects everything
    EXPECT_EQ(edit->SelLength(), 11);
    edit->SetSelStart(6);
    edit->SetSelLength(5);
    edit->SetSelText("friend");
    EXPECT_EQ(edit->GetText(), "hello friend");
    other->SetAutoSelect(false);
    other->SetText("kept");
    other->SetSelStart(2);
    other->SetFocus();
    EXPECT_EQ(other->SelLength(), 0);
    form.Hide();
}

// Typed characters reach KeyPress in the ANSI code page, and a changed key reaches the window,
// whichever form the window takes its characters in.
TEST_F(StdCtrlsEditTest, KeyPressSeesAnsiCharactersInEitherForm) {
    const wchar_t wideSign = L'\u20AC';
    char sign = 0;
    BOOL lost = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &wideSign, 1, &sign, 1, nullptr, &lost) != 1 || lost)
        GTEST_SKIP() << "the ANSI code page has no such character";
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 150, 21);
    std::string seen;
    edit->OnKeyPress = [&](TObject*, char& key) {
        seen += key;
        if (key == 'a')
            key = sign;  // the window gets the changed key
        else if (key == 'x')
            key = 0;  // taken
    };
    form.Show();
    HWND window = edit->Handle();
    SendMessageW(window, WM_CHAR, wideSign, 0);
    SendMessageA(window, WM_CHAR, static_cast<unsigned char>(sign), 0);
    SendMessageW(window, WM_CHAR, L'a', 0);
    SendMessageA(window, WM_CHAR, 'a', 0);
    SendMessageW(window, WM_CHAR, L'x', 0);
    SendMessageW(window, WM_CHAR, L'b', 0);
    EXPECT_EQ(seen, std::string{sign} + sign + "aaxb");
    EXPECT_EQ(edit->GetText(), std::string(4, sign) + "b");
    // A character the code page lacks reaches a Unicode window without KeyPress (an ANSI one
    // gets it from the system already replaced).
    if (IsWindowUnicode(window)) {
        seen.clear();
        SendMessageW(window, WM_CHAR, 0x4E2D, 0);
        EXPECT_EQ(seen, "");
        wchar_t text[16] = L"";
        GetWindowTextW(window, text, 16);
        EXPECT_EQ(std::wstring(text).back(), L'\u4E2D');
    }
    form.Hide();
}

TEST(MessageStringTest, ReadsEitherFormUpToTheZeroOrTheLimit) {
    EXPECT_EQ(MessageString(nullptr, true), "");
    EXPECT_EQ(MessageString(L"", true), "");
    EXPECT_EQ(MessageString(L"caption", true), "caption");
    const char unended[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(MessageString(unended, false, 3), "abc");
    const wchar_t wideUnended[4] = {L'a', L'b', L'c', L'd'};
    EXPECT_EQ(MessageString(wideUnended, true, 2), "ab");
    EXPECT_EQ(MessageString(L"ab\0cd", true, 5), "ab");
}

// ---- list boxes -------------------------------------------------------------------------

TEST_F(StdCtrlsListBoxTest, LinesStayInStepWithTheWindowBothWays) {
    TTestForm form;
    auto list = form.Add<TListBox>(&form, 10, 10, 150, 120);
    list->Items()->Add("beta");
    list->Items()->Add("alpha");
    list->SetItemIndex(1);
    form.Show();
    HWND window = list->Handle();
    EXPECT_EQ(WindowLines(window), Lines(*list->Items()));
    EXPECT_EQ(SendMessageA(window, LB_GETCURSEL, 0, 0), 1);

    list->Items()->Add("gamma");
    SendMessageA(window, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("delta"));
    SendMessageA(window, LB_INSERTSTRING, 0, reinterpret_cast<LPARAM>("first"));
    SendMessageA(window, LB_DELETESTRING, 1, 0);
    EXPECT_EQ(Lines(*list->Items()), (std::vector<std::string>{"first", "alpha", "gamma", "delta"}));
    EXPECT_EQ(list->ItemIndex(), 1);
    list->Items()->Put(0, "zero");
    EXPECT_EQ(list->ItemIndex(), 1);
    list->Items()->Delete(0);
    EXPECT_THROW(list->Items()->Delete(5), EListError);
    EXPECT_EQ(WindowLines(window), (std::vector<std::string>{"alpha", "gamma", "delta"}));

    // Sorted: the lines sort, the selection follows its line, the window places new ones.
    list->SetSorted(true);
    window = list->Handle();
    EXPECT_EQ(Lines(*list->Items()), (std::vector<std::string>{"alpha", "delta", "gamma"}));
    EXPECT_EQ(list->ItemIndex(), 0);
    SendMessageA(window, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Beta"));
    EXPECT_EQ(list->Items()->Add("epsilon"), 3);
    EXPECT_EQ(Lines(*list->Items()), (std::vector<std::string>{"alpha", "Beta", "delta", "epsilon", "gamma"}));
    EXPECT_EQ(WindowLines(window), Lines(*list->Items()));
    list->Clear();
    EXPECT_EQ(SendMessageA(window, LB_GETCOUNT, 0, 0), 0);

    // Without a window the same order.
    TListBox loose(nullptr);
    loose.SetSorted(true);
    for (const char* line : {"b", "C", "a"})
        loose.Items()->Add(line);
    TStringList copy;
    copy.Add("y");
    copy.Add("x");
    loose.Items()->AddStrings(copy);
    EXPECT_EQ(Lines(*loose.Items()), (std::vector<std::string>{"a", "b", "C", "x", "y"}));
    form.Hide();
}

TEST_F(StdCtrlsListBoxTest, UserSelectionFiresClickAndDoubleClick) {
    TTestForm form;
    auto list = form.Add<TListBox>(&form, 10, 10, 150, 120);
    for (const char* line : {"one", "two", "three"})
        list->Items()->Add(line);
    int clicks = 0;
    int doubleClicks = 0;
    list->OnClick = [&](TObject*) { ++clicks; };
    list->OnDblClick = [&](TObject*) { ++doubleClicks; };
    form.Show();
    HWND window = list->Handle();
    const POINT second = Center(list->ItemRect(1));
    EXPECT_EQ(list->ItemAtPos(second, true), 1);
    ClickAt(window, second);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(list->ItemIndex(), 1);
    SendMessageA(window, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(list->ItemIndex(), 2);
    list->SetItemIndex(0);  // from code: no event
    EXPECT_EQ(clicks, 2);
    SendMessageA(window, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(second.x, second.y));
    SendMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(second.x, second.y));
    EXPECT_EQ(doubleClicks, 1);

    // Below the last line there is none.
    const RECT last = list->ItemRect(2);
    const POINT below{last.left + 5, last.bottom + 5};
    EXPECT_EQ(list->ItemAtPos(below, true), -1);
    EXPECT_EQ(list->ItemAtPos(below, false), 3);
    EXPECT_EQ(list->ItemRect(3).bottom, 0);
    form.Hide();
}

TEST_F(StdCtrlsListBoxTest, MultiSelectionAndTopLineSurviveRecreateWnd) {
    TTestForm form;
    auto list = form.Add<TListBox>(&form, 10, 10, 150, 100);
    list->SetMultiSelect(true);
    for (int i = 0; i < 30; ++i)
        list->Items()->Add("line " + std::to_string(i));
    list->SetSelected(3, true);
    list->SetSelected(5, true);
    list->Items()->Delete(0);  // the selection moves with its lines
    EXPECT_TRUE(list->Selected(2));
    EXPECT_TRUE(list->Selected(4));
    EXPECT_EQ(list->SelCount(), 2);
    EXPECT_THROW(list->Selected(29), EListError);

    form.Show();
    HWND before = list->Handle();
    EXPECT_EQ(SendMessageA(before, LB_GETSELCOUNT, 0, 0), 2);
    EXPECT_GT(SendMessageA(before, LB_GETSEL, 4, 0), 0);
    list->SetSelected(10, true);
    list->SetSelected(2, false);
    list->SetTopIndex(8);
    list->SetItemIndex(10);
    list->SetBorderStyle(bsNone);
    HWND after = list->Handle();
    ASSERT_NE(after, before);
    EXPECT_EQ(list->SelCount(), 2);
    EXPECT_TRUE(list->Selected(4));
    EXPECT_TRUE(list->Selected(10));
    EXPECT_EQ(list->TopIndex(), 8);
    EXPECT_EQ(list->ItemIndex(), 10);
    EXPECT_EQ(list->Items()->Count(), 29);

    list->SetMultiSelect(false);  // one selected line remains: the current one
    EXPECT_EQ(list->ItemIndex(), 10);
    EXPECT_EQ(list->SelCount(), 1);
    form.Hide();
}

TEST_F(StdCtrlsListBoxTest, OwnerDrawnLinesAreMeasuredAndDrawn) {
    TTestForm form;
    auto fixed = form.Add<TListBox>(&form, 10, 10, 150, 120);
    fixed->SetStyle(lbOwnerDrawFixed);
    fixed->SetItemHeight(30);
    fixed->Items()->Add("tall");
    fixed->Items()->Add("taller");
    fixed->SetItemIndex(1);
    std::vector<std::pair<int, int>> drawn;  // index, height
    bool selectedDrawn = false;
    fixed->OnDrawItem = [&](TObject* sender, int index, TRect rect, TOwnerDrawState state) {
        EXPECT_EQ(sender, fixed);
        EXPECT_NE(fixed->Canvas()->Handle(), nullptr);
        fixed->Canvas()->FillRect(rect);
        drawn.emplace_back(index, rect.bottom - rect.top);
        selectedDrawn |= index == 1 && state.Contains(odSelected);
    };
    auto variable = form.Add<TListBox>(&form, 200, 10, 150, 120);
    variable->SetStyle(lbOwnerDrawVariable);
    std::vector<int> measured;
    variable->OnMeasureItem = [&](TObject*, int index, int& height) {
        measured.push_back(index);
        height = 10 + 5 * index;
    };
    variable->Items()->Add("a");
    variable->Items()->Add("b");
    form.Show();
    // The fixed height was asked for while the window was being made.
    EXPECT_EQ(SendMessageA(fixed->Handle(), LB_GETITEMHEIGHT, 0, 0), 30);
    UpdateWindow(fixed->Handle());
    ASSERT_FALSE(drawn.empty());
    EXPECT_EQ(drawn[0].second, 30);
    EXPECT_TRUE(selectedDrawn);

    variable->Items()->Add("c");
    EXPECT_EQ(measured, (std::vector<int>{0, 1, 2}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(SendMessageA(variable->Handle(), LB_GETITEMHEIGHT, static_cast<WPARAM>(i), 0), 10 + 5 * i);
    form.Hide();
}

// ---- combo boxes ------------------------------------------------------------------------

TEST_F(StdCtrlsComboBoxTest, LinesTextAndItemIndex) {
    TTestForm form;
    auto combo = form.Add<TComboBox>(&form, 10, 10, 150, 21);
    combo->SetStyle(csDropDownList);
    for (const char* line : {"red", "green", "blue"})
        combo->Items()->Add(line);
    combo->SetText("GREEN");  // a list without a text field selects the line
    EXPECT_EQ(combo->ItemIndex(), 1);
    EXPECT_EQ(combo->GetText(), "green");
    form.Show();
    HWND window = combo->Handle();
    EXPECT_EQ(WindowLines(window, CB_GETCOUNT, CB_GETLBTEXT), Lines(*combo->Items()));
    EXPECT_EQ(SendMessageA(window, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(combo->GetText(), "green");
    SendMessageA(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("cyan"));
    EXPECT_EQ(combo->Items()->Count(), 4);
    EXPECT_EQ((*combo->Items())[3], "cyan");
    combo->SetText("none of them");
    EXPECT_EQ(combo->ItemIndex(), -1);
    combo->SetItemIndex(3);
    EXPECT_EQ(combo->GetText(), "cyan");

    // Height is the closed box; each line more of DropDownCount makes the open list a line taller.
    RECT rect;
    GetWindowRect(window, &rect);
    EXPECT_EQ(combo->Height(), rect.bottom - rect.top);
    auto droppedHeight = [&] {
        RECT dropped;
        SendMessageA(window, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
        return dropped.bottom - dropped.top;
    };
    const LONG eightLines = droppedHeight();
    combo->SetDropDownCount(5);
    EXPECT_EQ(eightLines - droppedHeight(), 3 * SendMessageA(window, CB_GETITEMHEIGHT, 0, 0));
    EXPECT_EQ(combo->Height(), rect.bottom - rect.top);
    combo->SetDroppedDown(true);
    EXPECT_TRUE(combo->DroppedDown());
    combo->SetDroppedDown(false);
    form.Hide();
}

// A native window may be a Unicode one (common controls 6): its subclass then sees the text of
// every message as UTF-16, whichever form the sender used.
TEST_F(StdCtrlsComboBoxTest, LinesArriveWholeInEitherCharacterForm) {
    // A line beyond ASCII, as this system's ANSI code page writes it.
    const wchar_t wideAccented[] = L"Gr\u00FC\u00DFe";
    char accented[32] = "";
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wideAccented, -1, accented, sizeof accented, nullptr, &lost);
    if (lost)
        GTEST_SKIP() << "the ANSI code page has no such characters";

    // Sends an ANSI line from code while the window is handling a message of its own.
    constexpr UINT kAddNested = WM_APP + 1;
    class TNestingComboBox : public TComboBox {
    public:
        using TComboBox::TComboBox;

    protected:
        void WndProc(TMessage& message) override {
            if (message.Msg == kAddNested)
                message.Result = Perform(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("nested"));
            else
                TComboBox::WndProc(message);
        }
    };
    TTestForm form;
    auto combo = form.Add<TNestingComboBox>(&form, 10, 10, 150, 21);
    combo->Items()->Add("kept");
    form.Show();
    const HWND window = combo->Handle();
    SendMessageW(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"20261209101737.reg"));
    SendMessageA(window, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(accented));
    SendMessageW(window, CB_INSERTSTRING, 1, reinterpret_cast<LPARAM>(wideAccented));
    combo->Perform(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("performed"));
    EXPECT_EQ(SendMessageW(window, kAddNested, 0, 0), 5);
    combo->Items()->Add("added");
    const std::vector<std::string> expected{accented, accented, "kept", "20261209101737.reg", "performed",
                                            "nested", "added"};
    EXPECT_EQ(Lines(*combo->Items()), expected);
    EXPECT_EQ(WindowLines(window, CB_GETCOUNT, CB_GETLBTEXT), expected);
    form.Hide();
}

TEST_F(StdCtrlsComboBoxTest, UserChangesFireSelectChangeDropDownAndCloseUp) {
    TTestForm form;
    auto list = form.Add<TComboBox>(&form, 10, 10, 150, 21);
    list->SetStyle(csDropDownList);
    auto edit = form.Add<TComboBox>(&form, 10, 50, 150, 21);
    std::vector<std::string> log;
    for (TComboBox* combo : {list, edit}) {
        for (const char* line : {"one", "two", "three"})
            combo->Items()->Add(line);
        combo->OnSelect = [&log, combo](TObject*) { log.push_back("select " + combo->GetText()); };
        combo->OnChange = [&log, combo](TObject*) { log.push_back("change " + combo->GetText()); };
        combo->OnDropDown = [&log](TObject*) { log.push_back("dropdown"); };
        combo->OnCloseUp = [&log](TObject*) { log.push_back("closeup"); };
    }
    form.Show();
    list->SetItemIndex(0);  // from code: nothing
    SendMessageA(list->Handle(), WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(log, (std::vector<std::string>{"select two", "change two"}));

    log.clear();
    HWND field = FindWindowExA(edit->Handle(), nullptr, "Edit", nullptr);
    ASSERT_NE(field, nullptr);
    Type(field, "x");
    EXPECT_EQ(log, (std::vector<std::string>{"change x"}));
    log.clear();
    edit->SetDroppedDown(true);
    edit->SetDroppedDown(false);
    EXPECT_EQ(log, (std::vector<std::string>{"dropdown", "closeup"}));
    // The parent hears CBN_SELCHANGE as the box sends it; the text field follows the selection first.
    log.clear();
    SendMessageA(edit->Handle(), CB_SETCURSEL, 2, 0);
    SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(edit->Handle()), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(edit->Handle()));
    EXPECT_EQ(log, (std::vector<std::string>{"select three", "change three"}));
    form.Hide();
}

TEST_F(StdCtrlsComboBoxTest, OwnerDrawnBoxesAreMeasuredFromTheirCreationOn) {
    TTestForm form;
    auto variable = form.Add<TComboBox>(&form, 10, 10, 150, 21);
    variable->SetStyle(csOwnerDrawVariable);
    variable->Items()->Add("first");
    variable->Items()->Add("second");
    variable->SetItemIndex(1);
    std::vector<int> measuredWhileCreating;
    std::vector<int> measured;
    variable->OnMeasureItem = [&](TObject*, int index, int& height) {
        (variable->HandleAllocated() ? measured : measuredWhileCreating).push_back(index);
        height = index < 0 ? 20 : 16 + 4 * index;
    };
    std::vector<std::pair<int, bool>> drawn;  // index, in the selection field
    variable->OnDrawItem = [&](TObject*, int index, TRect rect, TOwnerDrawState state) {
        variable->Canvas()->FillRect(rect);
        drawn.emplace_back(index, state.Contains(odComboBoxEdit));
    };
    auto fixed = form.Add<TComboBox>(&form, 200, 10, 150, 21);
    fixed->SetStyle(csOwnerDrawFixed);
    fixed->SetItemHeight(24);
    fixed->Items()->Add("fixed");
    form.Show();
    EXPECT_NE(std::find(measuredWhileCreating.begin(), measuredWhileCreating.end(), -1), measuredWhileCreating.end());
    EXPECT_EQ(measured, (std::vector<int>{0, 1}));
    EXPECT_EQ(SendMessageA(variable->Handle(), CB_GETITEMHEIGHT, 1, 0), 20);
    EXPECT_EQ(SendMessageA(fixed->Handle(), CB_GETITEMHEIGHT, 0, 0), 24);
    InvalidateRect(variable->Handle(), nullptr, TRUE);
    UpdateWindow(variable->Handle());
    EXPECT_NE(std::find(drawn.begin(), drawn.end(), std::make_pair(1, true)), drawn.end());
    // The lines of the open list are drawn through the box as well.
    drawn.clear();
    variable->SetDroppedDown(true);
    COMBOBOXINFO info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetComboBoxInfo(variable->Handle(), &info));
    UpdateWindow(info.hwndList);
    variable->SetDroppedDown(false);
    EXPECT_NE(std::find(drawn.begin(), drawn.end(), std::make_pair(0, false)), drawn.end());
    form.Hide();
}

TEST_F(StdCtrlsComboBoxTest, TextAndSelectionSurviveRecreateWnd) {
    TTestForm form;
    auto combo = form.Add<TComboBox>(&form, 10, 10, 150, 21);
    for (const char* line : {"one", "two"})
        combo->Items()->Add(line);
    int changes = 0;
    combo->OnChange = [&](TObject*) { ++changes; };
    form.Show();
    combo->SetItemIndex(1);
    EXPECT_EQ(combo->GetText(), "two");
    combo->SetSorted(true);
    EXPECT_EQ(combo->GetText(), "two");
    EXPECT_EQ(combo->ItemIndex(), 1);
    combo->SetText("typed, no line");
    combo->SetStyle(csSimple);
    EXPECT_EQ(combo->GetText(), "typed, no line");
    EXPECT_EQ(WindowLines(combo->Handle(), CB_GETCOUNT, CB_GETLBTEXT), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(changes, 0);
    form.Hide();
}

// ---- group boxes ------------------------------------------------------------------------

TEST_F(StdCtrlsGroupBoxTest, ChildrenSitInsideTheFrameBelowTheCaption) {
    TTestForm form;
    auto group = form.Add<TGroupBox>(&form, 10, 10, 200, 150);
    group->SetCaption("Options");
    auto button = form.Add<TButton>(group, 0, 0, 10, 10);
    button->SetAlign(alClient);
    int clicks = 0;
    button->OnClick = [&](TObject*) { ++clicks; };
    form.Show();
    const int edgeX = GetSystemMetrics(SM_CXEDGE);
    const int edgeY = GetSystemMetrics(SM_CYEDGE);
    auto expectInside = [&] {
        const int caption = LineHeight(*group->Font());
        const TRect client = group->ClientRect();
        EXPECT_EQ(button->Left(), edgeX);
        EXPECT_EQ(button->Top(), caption);
        EXPECT_EQ(button->Width(), client.right - 2 * edgeX);
        EXPECT_EQ(button->Height(), client.bottom - caption - edgeY);
    };
    expectInside();
    const int smallTop = button->Top();
    group->Font()->SetSize(group->Font()->Size() * 2);
    EXPECT_GT(button->Top(), smallTop);
    expectInside();

    // Notifications of a child come back to it through the group box.
    ASSERT_EQ(GetParent(button->Handle()), group->Handle());
    SendMessageA(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(clicks, 1);

    // The etched line runs along the top and the caption covers it.
    TPaintedImage image(*group, group->Width(), group->Height());
    const int line = LineHeight(*group->Font()) / 2;
    const COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
    EXPECT_EQ(image.Pixel(group->Width() - 20, line), shadow);
    EXPECT_EQ(image.Count(MakeRect(0, line, 6, line + 1), shadow), 6);
    const int captionWidth = TextExtent(*group->Font(), "Options").cx;
    EXPECT_EQ(image.Count(MakeRect(6, line, 8 + captionWidth, line + 1), shadow), 0);
    form.Hide();
}

// ---- labels -----------------------------------------------------------------------------

TEST_F(StdCtrlsLabelTest, AutoSizeFitsTheMeasuredText) {
    TTestForm form;
    auto label = form.Add<TLabel>(&form, 100, 10, 5, 5);
    label->SetCaption("&Name");
    SIZE size = TextExtent(*label->Font(), "Name");
    EXPECT_EQ(label->Width(), size.cx);
    EXPECT_EQ(label->Height(), size.cy);
    label->SetCaption("A && B");
    EXPECT_EQ(label->Width(), TextExtent(*label->Font(), "A & B").cx);
    label->SetShowAccelChar(false);
    EXPECT_EQ(label->Width(), TextExtent(*label->Font(), "A && B").cx);
    label->Font()->SetSize(label->Font()->Size() * 2);
    EXPECT_EQ(label->Height(), TextExtent(*label->Font(), "A && B").cy);

    // Right-justified labels grow to the left.
    label->SetAlignment(taRightJustify);
    const int right = label->Left() + label->Width();
    label->SetCaption("A much longer caption");
    EXPECT_EQ(label->Left() + label->Width(), right);
    EXPECT_EQ(label->Width(), TextExtent(*label->Font(), "A much longer caption").cx);

    label->SetAutoSize(false);
    label->SetCaption("x");
    EXPECT_EQ(label->Width(), TextExtent(*label->Font(), "A much longer caption").cx);
}

TEST_F(StdCtrlsLabelTest, AcceleratorFocusesFocusControl) {
    TTestForm form;
    auto label = form.Add<TLabel>(&form, 10, 10, 0, 0);
    label->SetCaption("&Name:");
    auto edit = form.Add<TEdit>(&form, 60, 10, 120, 21);
    auto button = form.Add<TButton>(&form, 10, 50, 75, 25);
    label->SetFocusControl(edit);
    form.ShowForm();
    button->SetFocus();
    // Alt+N where the button has the focus goes through the message loop as WM_SYSCHAR.
    PostMessageA(button->Handle(), WM_SYSCHAR, 'n', 1 << 29);
    Application.ProcessMessages();
    EXPECT_TRUE(edit->Focused());

    button->SetFocus();
    label->SetShowAccelChar(false);
    EXPECT_EQ(form.Perform(CM_DIALOGCHAR, 'n'), 0);
    label->SetShowAccelChar(true);
    edit->SetEnabled(false);
    EXPECT_EQ(form.Perform(CM_DIALOGCHAR, 'n'), 0);
    EXPECT_TRUE(button->Focused());
    FreeComponent(edit);
    EXPECT_EQ(label->FocusControl(), nullptr);
    EXPECT_EQ(form.Perform(CM_DIALOGCHAR, 'n'), 0);
    form.Hide();
}

TEST_F(StdCtrlsLabelTest, PaintsBackgroundAndEmbossesWhenDisabled) {
    TTestForm form;
    auto label = form.Add<TLabel>(&form, 10, 10, 0, 0);
    label->Font()->SetSize(16);
    label->Font()->SetStyle({fsBold});
    label->SetCaption("WWW");
    label->SetColor(clYellow);
    const TRect bounds = label->BoundsRect();
    const COLORREF text = ColorToRGB(label->Font()->Color());
    {
        TPaintedImage image(form, 400, 300);
        EXPECT_EQ(image.Pixel(bounds.left, bounds.top), ColorToRGB(clYellow));
        EXPECT_GT(image.Count(bounds, text), 0);
    }
    label->SetEnabled(false);
    label->SetColor(clBtnFace);
    {
        TPaintedImage image(form, 400, 300);
        EXPECT_EQ(image.Count(bounds, text), 0);
        EXPECT_GT(image.Count(bounds, GetSysColor(COLOR_BTNSHADOW)), 0);
        EXPECT_GT(image.Count(bounds, GetSysColor(COLOR_BTNHIGHLIGHT)), 0);
    }
    label->SetTransparent(true);
    {
        TPaintedImage image(form, 400, 300);
        EXPECT_EQ(image.Pixel(bounds.left, bounds.top), RGB(0, 0, 0));  // the bitmap's own black shows
    }
}

// ---- spin edits -------------------------------------------------------------------------

TEST_F(StdCtrlsSpinEditTest, ValueClampsToTheRangeAndParsesTheText) {
    TTestForm form;
    auto spin = form.Add<TSpinEdit>(&form, 10, 10, 100, 21);
    EXPECT_EQ(spin->GetText(), "0");
    spin->SetValue(-50);  // no range: any value
    EXPECT_EQ(spin->Value(), -50);
    spin->SetMinValue(1);
    spin->SetMaxValue(10);
    EXPECT_EQ(spin->Value(), 1);
    spin->SetValue(15);
    EXPECT_EQ(spin->GetText(), "10");
    spin->SetText("7");
    EXPECT_EQ(spin->Value(), 7);
    spin->SetText("seven");
    EXPECT_EQ(spin->Value(), 1);
    spin->SetText("99999999999999");  // a number, beyond int: the top of the range
    EXPECT_EQ(spin->Value(), 10);
    spin->SetText("99999999999999999999");  // no number at all
    EXPECT_EQ(spin->Value(), 1);
    SetPropText(*spin, GetPropInfo(*spin, "Value"), "4");
    EXPECT_EQ(spin->GetText(), "4");
}

TEST_F(StdCtrlsSpinEditTest, ArrowsAndKeysStepByIncrement) {
    TTestForm form;
    auto spin = form.Add<TSpinEdit>(&form, 10, 10, 100, 24);
    spin->SetMaxValue(20);
    spin->SetIncrement(5);
    spin->SetValue(10);
    std::vector<int> values;
    spin->OnChange = [&](TObject*) { values.push_back(spin->Value()); };
    form.Show();
    HWND window = spin->Handle();
    HWND arrows = spin->ButtonHandle();
    ASSERT_NE(arrows, nullptr);
    EXPECT_EQ(GetParent(arrows), window);
    RECT client;
    RECT button;
    GetClientRect(window, &client);
    GetWindowRect(arrows, &button);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&button), 2);
    EXPECT_EQ(button.right, client.right);
    EXPECT_EQ(HIWORD(SendMessageA(window, EM_GETMARGINS, 0, 0)), button.right - button.left);

    SendMessageA(window, WM_KEYDOWN, VK_UP, 0);
    SendMessageA(window, WM_KEYDOWN, VK_UP, 0);
    SendMessageA(window, WM_KEYDOWN, VK_UP, 0);  // stops at MaxValue
    SendMessageA(window, WM_KEYDOWN, VK_DOWN, 0);
    RECT arrowsClient;
    GetClientRect(arrows, &arrowsClient);
    ClickAt(arrows, POINT{arrowsClient.right / 2, arrowsClient.bottom / 4});
    ClickAt(arrows, POINT{arrowsClient.right / 2, arrowsClient.bottom * 3 / 4});
    ClickAt(arrows, POINT{arrowsClient.right / 2, arrowsClient.bottom * 3 / 4});
    EXPECT_EQ(values, (std::vector<int>{15, 20, 15, 20, 15, 10}));
    spin->SetReadOnly(true);
    SendMessageA(window, WM_KEYDOWN, VK_UP, 0);
    EXPECT_EQ(spin->Value(), 10);

    // The arrows stay inside across RecreateWnd.
    spin->SetBorderStyle(bsNone);
    ASSERT_NE(spin->ButtonHandle(), nullptr);
    EXPECT_EQ(GetParent(spin->ButtonHandle()), spin->Handle());
    form.Hide();
}

TEST_F(StdCtrlsSpinEditTest, OnlyNumbersCanBeTypedOrPasted) {
    TTestForm form;
    auto spin = form.Add<TSpinEdit>(&form, 10, 10, 100, 21);
    form.Show();
    HWND window = spin->Handle();
    SendMessageA(window, EM_SETSEL, 0, -1);
    Type(window, "-4x2-");
    EXPECT_EQ(spin->GetText(), "-42");
    EXPECT_EQ(spin->Value(), -42);
    SendMessageA(window, EM_SETSEL, 0, 0);
    Type(window, "-");  // one sign only
    EXPECT_EQ(spin->GetText(), "-42");

    spin->SetMinValue(0);
    spin->SetMaxValue(100);
    SendMessageA(window, EM_SETSEL, 0, -1);
    Type(window, "-5");
    EXPECT_EQ(spin->GetText(), "5");

    // Pasting is checked as a whole.
    auto paste = [&](const std::string& text) {
        ASSERT_TRUE(OpenClipboard(window));
        EmptyClipboard();
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
        std::memcpy(GlobalLock(memory), text.c_str(), text.size() + 1);
        GlobalUnlock(memory);
        SetClipboardData(CF_TEXT, memory);
        CloseClipboard();
        SendMessageA(window, WM_PASTE, 0, 0);
    };
    SendMessageA(window, EM_SETSEL, 1, 1);
    paste("2a");
    EXPECT_EQ(spin->GetText(), "5");
    paste("25");
    EXPECT_EQ(spin->GetText(), "525");

    spin->SetEditorEnabled(false);
    SendMessageA(window, EM_SETSEL, 0, -1);
    Type(window, "1\b");
    EXPECT_EQ(spin->GetText(), "525");
    SendMessageA(window, WM_KEYDOWN, VK_DOWN, 0);  // stepping still works, within the range
    EXPECT_EQ(spin->GetText(), "99");
    form.Hide();
}

TEST_F(StdCtrlsSpinEditTest, TypedCharactersKeepTheTextANumber) {
    TTestForm form;
    auto spin = form.Add<TSpinEdit>(&form, 10, 10, 100, 21);
    form.Show();
    HWND window = spin->Handle();
    spin->SetText("-5");
    SendMessageA(window, EM_SETSEL, 0, 0);
    Type(window, "3");  // a digit in front of the sign would make no number
    EXPECT_EQ(spin->GetText(), "-5");
    SendMessageA(window, EM_SETSEL, 0, 1);
    Type(window, "3");  // the sign selected: the digit replaces it
    EXPECT_EQ(spin->GetText(), "35");
    form.Hide();
}

TEST_F(StdCtrlsSpinEditTest, WithoutTheEditorKeysDoNotEditTheText) {
    TTestForm form;
    auto spin = form.Add<TSpinEdit>(&form, 10, 10, 100, 21);
    spin->SetEditorEnabled(false);
    spin->SetValue(123);
    form.Show();
    HWND window = spin->Handle();
    ASSERT_TRUE(OpenClipboard(window));
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, 3);
    std::memcpy(GlobalLock(memory), "77", 3);
    GlobalUnlock(memory);
    SetClipboardData(CF_TEXT, memory);
    CloseClipboard();

    SendMessageA(window, EM_SETSEL, 0, 1);
    SendMessageA(window, WM_KEYDOWN, VK_DELETE, 0);
    EXPECT_EQ(spin->GetText(), "123");
    BYTE keys[256];
    GetKeyboardState(keys);
    const BYTE shift = keys[VK_SHIFT];
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    SendMessageA(window, WM_KEYDOWN, VK_INSERT, 0);  // Shift+Insert pastes
    SendMessageA(window, WM_KEYDOWN, VK_DELETE, 0);  // Shift+Delete cuts
    EXPECT_EQ(spin->GetText(), "123");

    // With the editor, Shift+Insert pastes numbers only, as Ctrl+V does.
    spin->SetEditorEnabled(true);
    SendMessageA(window, EM_SETSEL, 3, 3);
    SendMessageA(window, WM_KEYDOWN, VK_INSERT, 0);
    EXPECT_EQ(spin->GetText(), "12377");
    ASSERT_TRUE(OpenClipboard(window));
    EmptyClipboard();
    memory = GlobalAlloc(GMEM_MOVEABLE, 3);
    std::memcpy(GlobalLock(memory), "ab", 3);
    GlobalUnlock(memory);
    SetClipboardData(CF_TEXT, memory);
    CloseClipboard();
    SendMessageA(window, WM_KEYDOWN, VK_INSERT, 0);
    keys[VK_SHIFT] = shift;
    SetKeyboardState(keys);
    EXPECT_EQ(spin->GetText(), "12377");
    form.Hide();
}

TEST_F(StdCtrlsComboBoxTest, BoxFreedBySelectFiresNoChange) {
    TTestForm form;
    using TBox = TKeptAfterFree<TComboBox>;
    auto combo = form.Add<TBox>(&form, 10, 10, 150, 21);
    for (const char* line : {"one", "two"})
        combo->Items()->Add(line);
    std::vector<std::string> log;
    combo->OnSelect = [&](TObject* sender) {
        log.push_back("select");
        FreeComponent(static_cast<TComponent*>(sender));
    };
    combo->OnChange = [&](TObject*) { log.push_back("change"); };
    form.Show();
    HWND window = combo->Handle();
    SendMessageA(window, CB_SETCURSEL, 1, 0);
    SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(window), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(window));
    EXPECT_EQ(log, std::vector<std::string>{"select"});
    EXPECT_EQ(form.ControlCount(), 0);
    EXPECT_TRUE(TBox::FreedMemoryUntouched());
    form.Hide();
}

TEST_F(StdCtrlsEditTest, ChangeAfterLoadingComparesWithTheLoadedText) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 150, 21);
    int changes = 0;
    edit->OnChange = [&](TObject*) { ++changes; };
    edit->BeginLoading();
    edit->SetText("loaded");
    edit->Loaded();
    EXPECT_EQ(changes, 0);
    edit->SetText("");  // the text it had before loading, but a new one now
    EXPECT_EQ(changes, 1);
}

TEST_F(StdCtrlsEditTest, SelLengthBeyondTheTextReachesItsEnd) {
    TTestForm form;
    auto edit = form.Add<TEdit>(&form, 10, 10, 150, 21);
    edit->SetText("hello world");
    edit->SetSelStart(6);
    edit->SetSelLength(INT_MAX);
    EXPECT_EQ(edit->SelText(), "world");
    edit->HandleNeeded();
    edit->SetSelStart(6);
    edit->SetSelLength(INT_MAX);
    EXPECT_EQ(edit->SelText(), "world");
}

// Code that fills any string list (a registry key's names, a file) may be handed the lines of a box.
TEST_F(StdCtrlsListBoxTest, LinesChangedThroughAPlainStringListReachTheWindow) {
    TTestForm form;
    auto list = form.Add<TListBox>(&form, 10, 10, 150, 100);
    list->SetSorted(true);
    HWND window = list->Handle();
    TStringList& lines = *list->Items();
    lines.Add("pear");
    lines.Add("apple");
    lines.Insert(0, "fig");
    EXPECT_EQ(WindowLines(window), Lines(lines));
    lines.Delete(0);
    lines.Put(0, "plum");
    EXPECT_EQ(WindowLines(window), Lines(lines));
    lines.SetText("b\r\na\r\n");
    EXPECT_EQ(WindowLines(window), (std::vector<std::string>{"a", "b"}));
    lines.Clear();
    EXPECT_EQ(SendMessageA(window, LB_GETCOUNT, 0, 0), 0);
}
