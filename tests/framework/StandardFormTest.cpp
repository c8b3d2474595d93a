// One form with every standard control, driven from outside the way a user or a test robot
// would: window messages to real child windows.

#include "Buttons.h"
#include "ComCtrls.h"
#include "ExtCtrls.h"
#include "GuiTestSupport.h"
#include "Menus.h"
#include "Spin.h"
#include "StdCtrls.h"
#include "Themes.h"
#include "Thread.h"
#include "ScreenshotSupport.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <vssym32.h>

#include <string>
#include <vector>

namespace {

class TStandardForm : public TTestForm {
public:
    explicit TStandardForm(TComponent* owner = nullptr) : TTestForm(owner) {
        BuildForm([this] { CreateControls(); });
    }

    TLabel* lblTitle = nullptr;
    TEdit* edtName = nullptr;
    TComboBox* cmbKind = nullptr;
    TListBox* lstAreas = nullptr;
    TSpinEdit* speDepth = nullptr;
    TGroupBox* gbOptions = nullptr;
    TCheckBox* chkFonts = nullptr;
    TCheckBox* chkSounds = nullptr;
    TPanel* pnlList = nullptr;
    TListView* lvwKeys = nullptr;
    TProgressBar* prgScan = nullptr;
    TEdit* edtCount = nullptr;
    TUpDown* udCount = nullptr;
    TSpeedButton* btnHint = nullptr;
    TImage* imgLogo = nullptr;
    TBevel* bvlLine = nullptr;
    TButton* btnOk = nullptr;
    TButton* btnCancel = nullptr;
    TPopupMenu* mnuList = nullptr;
    TMenuItem* mniTickAll = nullptr;
    TTimer* tmrPulse = nullptr;

    std::vector<std::string> Log;

private:
    template <class C>
    C* Place(TWinControl* parent, const char* name, int left, int top, int width, int height) {
        C* control = Add<C>(parent, left, top, width, height);
        control->SetName(name);
        return control;
    }

    void CreateControls() {
        SetCaption("Standard controls");
        SetClientSize(620, 420);

        lblTitle = Place<TLabel>(this, "lblTitle", 12, 10, 0, 0);
        lblTitle->SetCaption("Choose the &name of the scan:");
        edtName = Place<TEdit>(this, "edtName", 12, 30, 180, 23);
        lblTitle->SetFocusControl(edtName);
        cmbKind = Place<TComboBox>(this, "cmbKind", 200, 30, 140, 23);
        cmbKind->SetStyle(csDropDownList);
        cmbKind->Items()->Add("Quick");
        cmbKind->Items()->Add("Thorough");
        cmbKind->SetItemIndex(0);
        lstAreas = Place<TListBox>(this, "lstAreas", 350, 30, 120, 70);
        for (const char* area : {"Classes", "Software", "File list"})
            lstAreas->Items()->Add(area);
        speDepth = Place<TSpinEdit>(this, "speDepth", 480, 30, 70, 23);
        speDepth->SetMinValue(1);
        speDepth->SetMaxValue(9);
        speDepth->SetValue(3);

        gbOptions = Place<TGroupBox>(this, "gbOptions", 12, 62, 180, 74);
        gbOptions->SetCaption("Options");
        chkFonts = Place<TCheckBox>(gbOptions, "chkFonts", 10, 20, 150, 20);
        chkFonts->SetCaption("&Fonts");
        chkSounds = Place<TCheckBox>(gbOptions, "chkSounds", 10, 44, 150, 20);
        chkSounds->SetCaption("Sounds");
        chkSounds->SetChecked(true);

        pnlList = Place<TPanel>(this, "pnlList", 12, 146, 596, 180);
        pnlList->SetBevelOuter(bvLowered);
        lvwKeys = Place<TListView>(pnlList, "lvwKeys", 0, 0, 10, 10);
        lvwKeys->SetAlign(alClient);
        lvwKeys->SetViewStyle(vsReport);
        lvwKeys->SetCheckboxes(true);
        lvwKeys->SetRowSelect(true);
        for (auto [caption, width] : {std::pair{"Key", 300}, std::pair{"Value", 152}, std::pair{"Description", 135}}) {
            TListColumn* column = lvwKeys->Columns().Add();
            column->SetCaption(caption);
            column->SetWidth(width);
        }
        const char* rows[][3] = {{"HKEY_CLASSES_ROOT\\.zzq", "", "Missing file type"},
                                 {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone", "Path", "Missing folder"},
                                 {"HKEY_CURRENT_USER\\Software\\Old", "Font", "Missing file"}};
        for (auto& row : rows) {
            TListItem* item = lvwKeys->Items().Add();
            item->SetCaption(row[0]);
            item->SubItems().Add(row[1]);
            item->SubItems().Add(row[2]);
            item->SetChecked(true);
        }
        mnuList = new TPopupMenu(this);
        mnuList->SetName("mnuList");
        mniTickAll = new TMenuItem(this);
        mniTickAll->SetCaption("Tick all");
        mnuList->Items()->Add(mniTickAll);
        lvwKeys->SetPopupMenu(mnuList);

        prgScan = Place<TProgressBar>(this, "prgScan", 12, 334, 300, 18);
        prgScan->SetPosition(40);
        edtCount = Place<TEdit>(this, "edtCount", 320, 334, 50, 23);
        udCount = Place<TUpDown>(this, "udCount", 370, 334, 17, 23);
        udCount->SetAssociate(edtCount);
        udCount->SetPosition(5);
        btnHint = Place<TSpeedButton>(this, "btnHint", 400, 332, 25, 25);
        btnHint->SetCaption("?");
        btnHint->SetGroupIndex(1);
        btnHint->SetAllowAllUp(true);
        imgLogo = Place<TImage>(this, "imgLogo", 560, 62, 48, 48);
        imgLogo->Picture()->Bitmap().SetSize(48, 48);
        imgLogo->Picture()->Bitmap().Canvas().Brush().SetColor(clNavy);
        imgLogo->Picture()->Bitmap().Canvas().FillRect(MakeRect(0, 0, 48, 48));
        bvlLine = Place<TBevel>(this, "bvlLine", 12, 368, 596, 2);
        bvlLine->SetShape(bsTopLine);

        btnOk = Place<TButton>(this, "btnOk", 452, 384, 75, 25);
        btnOk->SetCaption("OK");
        btnOk->SetDefault(true);
        btnOk->SetModalResult(mrOk);
        btnCancel = Place<TButton>(this, "btnCancel", 533, 384, 75, 25);
        btnCancel->SetCaption("Cancel");
        btnCancel->SetCancel(true);
        btnCancel->SetModalResult(mrCancel);

        tmrPulse = new TTimer(this);
        tmrPulse->SetInterval(10);
        tmrPulse->SetEnabled(false);

        btnOk->OnClick = [this](TObject*) { Log.push_back("ok"); };
        btnCancel->OnClick = [this](TObject*) { Log.push_back("cancel"); };
        chkFonts->OnClick = [this](TObject*) { Log.push_back(chkFonts->Checked() ? "fonts on" : "fonts off"); };
        btnHint->OnClick = [this](TObject*) { Log.push_back(btnHint->Down() ? "hint down" : "hint up"); };
        lvwKeys->OnChange = [this](TObject*, TListItem* item, TItemChange change) {
            if (change == ctState)
                Log.push_back("change " + std::to_string(item->Index()) + (item->Checked() ? " on" : " off"));
        };
        imgLogo->OnClick = [this](TObject*) { Log.push_back("logo"); };
        imgLogo->OnMouseEnter = [this](TObject*) { Log.push_back("logo enter"); };
        imgLogo->OnMouseLeave = [this](TObject*) { Log.push_back("logo leave"); };
    }
};

class StandardFormTest : public GuiTest {
protected:
    // Lets the form handle what was posted to it.
    static void Settle() { Application.ProcessMessages(); }

    static void SetCheckState(TListView* list, int index, bool checked) {
        LVITEMA item{};
        item.stateMask = LVIS_STATEIMAGEMASK;
        item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
        SendMessageA(list->Handle(), LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    }

    static std::string WindowText(HWND window) {
        char text[256] = "";
        GetWindowTextA(window, text, sizeof(text));
        return text;
    }
};

}  // namespace

TEST_F(StandardFormTest, ClickableControlsAreChildWindowsWithTheirCaptions) {
    TStandardForm form;
    form.ShowForm();
    for (TWinControl* control : std::vector<TWinControl*>{form.btnOk, form.btnCancel, form.chkFonts, form.chkSounds,
                                                          form.btnHint}) {
        HWND window = control->Handle();
        EXPECT_TRUE(GetWindowLongPtrA(window, GWL_STYLE) & WS_CHILD) << control->Name();
        EXPECT_TRUE(IsWindowVisible(window)) << control->Name();
        EXPECT_EQ(WindowText(window), control->Caption()) << control->Name();
        EXPECT_EQ(TWinControl::FindControl(window), control);
    }
    form.Hide();
}

TEST_F(StandardFormTest, ButtonsEndShowModalWithTheirResult) {
    struct TCase {
        const char* how;
        TModalResult expected;
        const char* logged;
    };
    for (TCase c : {TCase{"click ok", mrOk, "ok"}, TCase{"click cancel", mrCancel, "cancel"},
                    TCase{"enter", mrOk, "ok"}, TCase{"escape", mrCancel, "cancel"}}) {
        TStandardForm form;
        std::string how = c.how;
        form.OnShow = [&](TObject*) {
            if (how == "click ok")
                PostMessageA(form.btnOk->Handle(), BM_CLICK, 0, 0);
            else if (how == "click cancel")
                PostMessageA(form.btnCancel->Handle(), BM_CLICK, 0, 0);
            else
                PostMessageA(form.edtName->Handle(), WM_KEYDOWN, how == "enter" ? VK_RETURN : VK_ESCAPE, 1);
        };
        form.SetActiveControl(form.edtName);
        EXPECT_EQ(form.ShowModal(), c.expected) << how;
        EXPECT_EQ(form.Log, std::vector<std::string>{c.logged}) << how;
    }
}

TEST_F(StandardFormTest, CheckBoxAndSpeedButtonClicksToggleOnce) {
    TStandardForm form;
    form.ShowForm();
    SendMessageA(form.chkFonts->Handle(), BM_CLICK, 0, 0);
    EXPECT_TRUE(form.chkFonts->Checked());
    EXPECT_EQ(SendMessageA(form.chkFonts->Handle(), BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageA(form.chkFonts->Handle(), BM_CLICK, 0, 0);
    SendMessageA(form.btnHint->Handle(), BM_CLICK, 0, 0);
    SendMessageA(form.btnHint->Handle(), BM_CLICK, 0, 0);
    Settle();
    EXPECT_EQ(form.Log, (std::vector<std::string>{"fonts on", "fonts off", "hint down", "hint up"}));
    form.Hide();
}

TEST_F(StandardFormTest, ListViewInAPanelRaisesCheckEventsOncePerChange) {
    TStandardForm form;
    form.ShowForm();
    form.Log.clear();
    SetCheckState(form.lvwKeys, 1, false);
    SetCheckState(form.lvwKeys, 1, false);  // no change, no event
    SetCheckState(form.lvwKeys, 2, false);
    SetCheckState(form.lvwKeys, 1, true);
    EXPECT_EQ(form.Log, (std::vector<std::string>{"change 1 off", "change 2 off", "change 1 on"}));
    EXPECT_TRUE(form.lvwKeys->Items()[0]->Checked());
    EXPECT_TRUE(form.lvwKeys->Items()[1]->Checked());
    EXPECT_FALSE(form.lvwKeys->Items()[2]->Checked());
    form.Hide();
}

TEST_F(StandardFormTest, RecreatingTheListViewKeepsItsItems) {
    TStandardForm form;
    form.ShowForm();
    form.lvwKeys->Items()[2]->SetChecked(false);
    form.lvwKeys->Items()[1]->SetSelected(true);
    int data = 7;
    form.lvwKeys->Items()[0]->SetData(&data);
    HWND before = form.lvwKeys->Handle();
    form.Log.clear();
    form.lvwKeys->RecreateWnd();
    EXPECT_NE(form.lvwKeys->Handle(), before);
    EXPECT_TRUE(form.Log.empty());  // rebuilding the window is no user change
    HWND list = form.lvwKeys->Handle();
    ASSERT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 3);
    char text[128] = "";
    LVITEMA item{};
    item.iSubItem = 2;
    item.pszText = text;
    item.cchTextMax = sizeof(text);
    SendMessageA(list, LVM_GETITEMTEXTA, 1, reinterpret_cast<LPARAM>(&item));
    EXPECT_STREQ(text, "Missing folder");
    EXPECT_EQ(SendMessageA(list, LVM_GETITEMSTATE, 2, LVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(1));
    EXPECT_EQ(SendMessageA(list, LVM_GETITEMSTATE, 0, LVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(2));
    EXPECT_EQ(form.lvwKeys->Selected(), form.lvwKeys->Items()[1]);
    EXPECT_EQ(form.lvwKeys->Items()[0]->Data(), &data);
    EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, 0, 0), 300);
    form.Hide();
}

TEST_F(StandardFormTest, WindowlessImageHearsTheMouse) {
    TStandardForm form;
    form.ShowForm();
    HWND window = form.Handle();
    auto at = [](int x, int y) { return MAKELPARAM(x, y); };
    SendMessageA(window, WM_MOUSEMOVE, 0, at(570, 70));
    SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, at(570, 70));
    SendMessageA(window, WM_LBUTTONUP, 0, at(571, 71));
    SendMessageA(window, WM_MOUSEMOVE, 0, at(300, 20));
    EXPECT_EQ(form.Log, (std::vector<std::string>{"logo enter", "logo", "logo leave"}));
    form.Hide();
}

TEST_F(StandardFormTest, PopupMenuOfTheListViewPicksAnItem) {
    TStandardForm form;
    int ticked = 0;
    form.mniTickAll->OnClick = [&](TObject* sender) {
        EXPECT_EQ(sender, form.mniTickAll);
        ++ticked;
    };
    std::string shown;
    auto previous = SetTrackPopupMenuHook([&](HMENU menu, UINT, int, int, HWND) -> UINT {
        char caption[64] = "";
        GetMenuStringA(menu, 0, caption, sizeof(caption), MF_BYPOSITION);
        shown = caption;
        return GetMenuItemID(menu, 0);
    });
    form.ShowForm();
    SendMessageA(form.lvwKeys->Handle(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(form.lvwKeys->Handle()),
                 static_cast<LPARAM>(-1));
    SetTrackPopupMenuHook(previous);
    EXPECT_EQ(shown, "Tick all");
    EXPECT_EQ(ticked, 1);
    EXPECT_EQ(form.mnuList->PopupComponent(), form.lvwKeys);
    form.Hide();
}

TEST_F(StandardFormTest, WorkerCallsRunWhileTheFormIsModal) {
    TStandardForm form;
    class TStepper : public TThread {
    public:
        explicit TStepper(TStandardForm& form) : form_(form) {}
        ~TStepper() override { StopAndWait(); }

    protected:
        void Execute() override {
            for (int step = 1; step <= 5; ++step)
                Synchronize([&] { form_.prgScan->SetPosition(step * 20); });
            Synchronize([&] { PostMessageA(form_.btnOk->Handle(), BM_CLICK, 0, 0); });
        }

    private:
        TStandardForm& form_;
    };
    TStepper stepper(form);
    form.OnShow = [&](TObject*) { stepper.Start(); };
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_EQ(form.prgScan->Position(), 100);
    EXPECT_EQ(SendMessageA(form.prgScan->Handle(), PBM_GETPOS, 0, 0), 100);
}

// Leaves a picture of the form in the build tree for a person to look at.
TEST_F(StandardFormTest, ScreenshotOfTheForm) {
    TStandardForm form;
    form.lvwKeys->Items()[1]->SetSelected(true);
    form.ShowForm();
    RedrawWindow(form.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Settle();
    TBitmap shot;
    ASSERT_TRUE(guitest::CaptureWindow(form.Handle(), shot));
    RECT bounds;
    GetWindowRect(form.Handle(), &bounds);

    // The OK button shows on the picture with the face the system draws for a default button:
    // its theme's where the window took one (common controls 6), else the button face colour.
    const TPoint okPoint{10, 3};
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    using GetTheme = HTHEME(WINAPI*)(HWND);
    auto getWindowTheme = reinterpret_cast<GetTheme>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("uxtheme.dll"), "GetWindowTheme")));
    if (HTHEME theme = getWindowTheme ? getWindowTheme(form.btnOk->Handle()) : nullptr) {
        TBitmap expected;
        expected.SetSize(form.btnOk->Width(), form.btnOk->Height());
        const RECT rect{0, 0, form.btnOk->Width(), form.btnOk->Height()};
        ASSERT_EQ(ThemeServices().DrawThemeBackground(theme, expected.Canvas().Handle(), BP_PUSHBUTTON,
                                                      PBS_DEFAULTED, rect),
                  S_OK);
        face = GetPixel(expected.Canvas().Handle(), okPoint.x, okPoint.y);
    }
    TPoint okCentre = form.btnOk->ClientToScreen(okPoint);
    EXPECT_EQ(GetPixel(shot.Canvas().Handle(), okCentre.x - bounds.left, okCentre.y - bounds.top), face);
    EXPECT_TRUE(guitest::SaveScreenshot(shot, "StandardControls"));
    form.Hide();
}
