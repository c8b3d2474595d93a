#include "hxNVPrgrAlert.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

HWND FindBox(const std::string& title) {
    return FindWindowExA(nullptr, nullptr, "prgrAlertWndClass", title.c_str());
}

HWND Child(HWND box, const char* cls) {
    return FindWindowExA(box, nullptr, cls, nullptr);
}

std::string TextOf(HWND wnd) {
    char buffer[512] = {};
    GetWindowTextA(wnd, buffer, sizeof buffer);
    return buffer;
}

int BarPos(HWND box) {
    return static_cast<int>(SendMessageA(Child(box, PROGRESS_CLASSA), PBM_GETPOS, 0, 0));
}

// A child's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Text size as the box measures it: its font, word-wrapped in 420 pixels.
SIZE MeasureText(const std::string& text) {
    HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "Tahoma");
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    RECT r{0, 0, 420, 0};
    DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(font);
    return {r.right, r.bottom};
}

SIZE ExpectedBoxSize(int textWidth, int rowHeight) {
    return {textWidth + 22 + 2 * GetSystemMetrics(SM_CXFIXEDFRAME),
            rowHeight + 24 + GetSystemMetrics(SM_CYSMCAPTION) + GetSystemMetrics(SM_CYHSCROLL) + 12
                + 2 * GetSystemMetrics(SM_CYFIXEDFRAME)};
}

// A plain top-level window to act as the box's parent.
class TParentWindow {
public:
    TParentWindow() {
        wnd_ = CreateWindowExA(0, "Static", "parent", WS_OVERLAPPED | WS_VISIBLE, 10, 10, 200, 100,
                               nullptr, nullptr, nullptr, nullptr);
    }
    ~TParentWindow() { DestroyWindow(wnd_); }
    TParentWindow(const TParentWindow&) = delete;
    TParentWindow& operator=(const TParentWindow&) = delete;
    HWND Get() const { return wnd_; }

private:
    HWND wnd_;
};

}  // namespace

TEST(ProgressAlert, AreasWeightTheBar) {
    TProgressAlertPtr alert = CreateProgressAlert("Sending", nullptr, "");
    alert->AddArea("Packing", 1);
    alert->AddArea("", 3);
    ASSERT_TRUE(alert->Show(nullptr, false));
    EXPECT_FALSE(alert->Show(nullptr, false));
    HWND box = FindBox("Sending");
    ASSERT_TRUE(box);
    HWND status = Child(box, "Static");

    alert->SetPosition(500);
    EXPECT_EQ(BarPos(box), 125);
    alert->SetCurrentArea(1);
    EXPECT_EQ(alert->GetPosition(), 0);
    EXPECT_EQ(TextOf(status), "Packing") << "an empty text repeats the previous one";
    alert->SetPosition(500);
    EXPECT_EQ(BarPos(box), 625);

    alert->SetCurrentArea(2);  // finished
    EXPECT_EQ(alert->GetCurrentArea(), 1);
    EXPECT_EQ(alert->GetPosition(), 1000);
    EXPECT_EQ(BarPos(box), 1000);
    alert->AreaDone();
    alert->SetCurrentArea(7);
    alert->SetCurrentArea(-1);
    EXPECT_EQ(alert->GetCurrentArea(), 1);

    alert->SetTitle("Sent");
    EXPECT_EQ(TextOf(box), "Sent");
    EXPECT_EQ(alert->GetTitle(), "Sent");

    // Weightless areas leave the bar at 0 instead of dividing by zero.
    alert->ClearAreas();
    alert->AddArea("nothing", 0);
    alert->SetPosition(500);
    EXPECT_EQ(BarPos(box), 0);

    alert->Close();
    EXPECT_FALSE(IsWindow(box));
    alert->Close();
}

TEST(ProgressAlert, PlainBoxSitsInTheWorkAreaCorner) {
    TProgressAlertPtr alert = CreateProgressAlert("Plain", nullptr, "");
    ASSERT_TRUE(alert->Show(nullptr, false));
    HWND box = FindBox("Plain");
    ASSERT_TRUE(box);
    HWND status = Child(box, "Static");
    EXPECT_EQ(TextOf(status), "Please wait...");

    SIZE text = MeasureText("Please wait...");
    ASSERT_LT(text.cx, 220);
    SIZE expected = ExpectedBoxSize(220, text.cy);
    RECT r, work;
    GetWindowRect(box, &r);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(r.right - r.left, expected.cx);
    EXPECT_EQ(r.bottom - r.top, expected.cy);
    EXPECT_EQ(r.right, work.right - 2);
    EXPECT_EQ(r.bottom, work.bottom - 2);

    RECT s = ChildRect(status), b = ChildRect(Child(box, PROGRESS_CLASSA));
    EXPECT_EQ(s.left, 11);
    EXPECT_EQ(s.top, 12);
    EXPECT_EQ(b.left, 11);
    EXPECT_EQ(b.top, text.cy + 24);
    EXPECT_EQ(b.right - b.left, 220);
    EXPECT_EQ(b.bottom - b.top, GetSystemMetrics(SM_CYHSCROLL));
    EXPECT_EQ(GetWindowLongA(box, GWL_EXSTYLE) & 0x89, 0x89);
    alert->Close();
}

TEST(ProgressAlert, IconBoxIsCentredAndSizedForTheLongestText) {
    const std::string wrapped = "Compressing the attachments of the bug report so that they travel "
                                "faster, which may take a little while on a slow machine.";
    TProgressAlertPtr alert = CreateProgressAlert("Icon", GetModuleHandleA(nullptr), "ALERTICON");
    alert->AddArea("short", 1);
    alert->AddArea(wrapped, 1);
    ASSERT_TRUE(alert->Show(nullptr, true));
    HWND box = FindBox("Icon");
    ASSERT_TRUE(box);

    SIZE text = MeasureText(wrapped);
    ASSERT_GT(text.cy, MeasureText("short").cy) << "the long text wraps";
    SIZE expected = ExpectedBoxSize(text.cx + 40, text.cy);
    RECT r;
    GetWindowRect(box, &r);
    EXPECT_EQ(r.right - r.left, expected.cx);
    EXPECT_EQ(r.bottom - r.top, expected.cy);
    EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - expected.cx) / 2);
    EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - expected.cy) / 2);

    HWND status = Child(box, "Static");
    EXPECT_EQ(TextOf(status), "short");
    RECT s = ChildRect(status), i = ChildRect(Child(box, "Button"));
    EXPECT_EQ(s.left, 51);
    EXPECT_EQ(s.bottom - s.top, text.cy);
    EXPECT_EQ(i.left, 9);
    EXPECT_EQ(i.top, 9);
    EXPECT_EQ(i.right - i.left, 32);

    // Opaque pixels show as they are; transparent ones take the button face.
    HWND button = Child(box, "Button");
    RedrawWindow(button, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    alert->ProcessMessages();
    HDC dc = GetDC(button);
    COLORREF opaque = GetPixel(dc, 4, 10), clear = GetPixel(dc, 28, 10);
    ReleaseDC(button, dc);
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(opaque, RGB(0, 0, 255));
    EXPECT_EQ(clear, RGB(GetRValue(face) * 255 / 256, GetGValue(face) * 255 / 256,
                         GetBValue(face) * 255 / 256));
    alert->Close();

    // A short text is centred against the icon row.
    TProgressAlertPtr small = CreateProgressAlert("Small", GetModuleHandleA(nullptr), "ALERTICON");
    ASSERT_TRUE(small->Show(nullptr, false));
    HWND smallBox = FindBox("Small");
    SIZE one = MeasureText("Please wait...");
    RECT t = ChildRect(Child(smallBox, "Static"));
    EXPECT_EQ(t.top, 12 + (26 - one.cy) / 2);
    EXPECT_EQ(ChildRect(Child(smallBox, PROGRESS_CLASSA)).top, 26 + 24);
    small->Close();
}

TEST(ProgressAlert, UserCannotCloseItAndTheParentComesBack) {
    TParentWindow parent;
    TProgressAlertPtr alert = CreateProgressAlert("Busy", nullptr, "");
    ASSERT_TRUE(alert->Show(parent.Get(), true));
    HWND box = FindBox("Busy");
    ASSERT_TRUE(box);
    EXPECT_EQ(GetWindow(box, GW_OWNER), parent.Get());
    EXPECT_FALSE(IsWindowEnabled(parent.Get()));

    SendMessageA(box, WM_CLOSE, 0, 0);
    SendMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    alert->ProcessMessages();
    EXPECT_TRUE(IsWindow(box));
    HMENU menu = GetSystemMenu(box, FALSE);
    EXPECT_EQ(GetMenuState(menu, SC_SIZE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_EQ(GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND), static_cast<UINT>(-1));

    alert.Reset();  // releasing the last reference closes the box
    EXPECT_FALSE(IsWindow(box));
    EXPECT_TRUE(IsWindowEnabled(parent.Get()));
}

namespace {

// Waits without pumping, the way a thread blocked in a wait or a long computation does.
bool WaitUnpumped(HANDLE event) {
    return WaitForSingleObject(event, 10000) == WAIT_OBJECT_0;
}

// Pumps until the window is gone or the deadline passes.
bool PumpUntilDestroyed(HWND wnd, DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (IsWindow(wnd)) {
        DWORD spent = GetTickCount() - start;
        if (spent >= milliseconds)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - spent, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    return true;
}

struct TEvent {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~TEvent() { CloseHandle(h); }
};

}  // namespace

// The box's thread waits without pumping while another thread drives and closes the box; no
// call of that thread may wait for it.
TEST(ProgressAlert, OtherThreadsNeverWaitForTheWindowThread) {
    TProgressAlertPtr alert = CreateProgressAlert("Remote", nullptr, "");
    alert->AddArea("first", 1);
    alert->AddArea("second", 1);
    TEvent shown, updated, checked, closed;
    HWND box = nullptr;
    std::string seenStatus, seenTitle;
    int seenBar = -1;
    bool parentDisabled = false, parentEnabledAfter = false, destroyed = false;

    std::thread windowThread([&] {
        TParentWindow parent;
        if (!alert->Show(parent.Get(), false))
            return;
        box = FindBox("Remote");
        parentDisabled = !IsWindowEnabled(parent.Get());
        SetEvent(shown.h);
        WaitUnpumped(updated.h);
        alert->ProcessMessages();
        seenStatus = TextOf(Child(box, "Static"));
        seenTitle = TextOf(box);
        seenBar = BarPos(box);
        SetEvent(checked.h);
        WaitUnpumped(closed.h);
        destroyed = PumpUntilDestroyed(box, 10000);
        parentEnabledAfter = IsWindowEnabled(parent.Get());
    });

    if (!WaitUnpumped(shown.h)) {
        windowThread.join();
        FAIL() << "the box did not come up";
    }
    auto start = std::chrono::steady_clock::now();
    alert->SetCurrentArea(1);
    alert->SetPosition(500);
    alert->SetTitle("Remote title");
    SetEvent(updated.h);
    EXPECT_TRUE(WaitUnpumped(checked.h));
    alert->Close();
    alert.Reset();  // the window outlives the object until its thread pumps
    auto spent = std::chrono::steady_clock::now() - start;
    SetEvent(closed.h);
    windowThread.join();

    EXPECT_LT(spent, std::chrono::seconds(5)) << "a call waited for the unpumped window thread";
    EXPECT_TRUE(parentDisabled);
    EXPECT_EQ(seenStatus, "second");
    EXPECT_EQ(seenTitle, "Remote title");
    EXPECT_EQ(seenBar, 750);
    EXPECT_TRUE(destroyed);
    EXPECT_TRUE(parentEnabledAfter);
}
