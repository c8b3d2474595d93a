#include "hxExceptBox.h"
#include "hxExceptDetails.h"
#include "hxExceptPause.h"
#include "hxExceptSave.h"

#include "hxLinkDisAsm.h"
#include "hxListModules.h"
#include "hxStackLines.h"

#include "DeliveryOutput.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

std::string WindowText(HWND window)
{
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ClassOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::vector<HWND> Children(HWND parent, const char* className = nullptr)
{
    std::vector<HWND> found;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (!className || ClassOf(child) == className)
            found.push_back(child);
    return found;
}

// The action buttons, without the picture beside the text.
std::vector<HWND> ActionButtons(HWND box)
{
    std::vector<HWND> found = Children(box, "Button");
    std::erase_if(found, [](HWND button) { return WindowText(button).empty(); });
    return found;
}

HWND ButtonWithText(HWND box, const std::string& text)
{
    for (HWND button : Children(box, "Button"))
        if (WindowText(button) == text)
            return button;
    return nullptr;
}

// Pumps until done() or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return true;
}

// The window as it shows, as a PNG for a person to look at.
bool SaveShot(HWND window, const std::string& name)
{
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    PumpUntil([] { return false; }, 100);
    RECT r;
    GetWindowRect(window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    SelectObject(memory, old);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    std::string folder;
    if (const char* out = std::getenv("SCREENSHOT_OUT"))
        folder = std::string(out) + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string bmp = folder + name + ".bmp";
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    file.bfSize = file.bfOffBits + stride * static_cast<DWORD>(height);
    {
        std::ofstream out(bmp, std::ios::binary);
        out.write(reinterpret_cast<const char*>(&file), sizeof file);
        out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
        out.write(static_cast<const char*>(bits), stride * static_cast<DWORD>(height));
    }
    DeleteObject(bitmap);
    TNVBitmapPtr loaded = LoadBitmapFile(bmp);
    const bool saved = loaded && loaded->SavePng(folder + name + ".png", 0);
    DeleteFileA(bmp.c_str());
    return saved;
}

// What the running box's timer callback does once the box shows.
std::function<void(HWND)> gOnBox;
int gTicks = 0;

void CALLBACK BoxTimer(HWND, UINT, UINT_PTR, DWORD)
{
    HWND box = FindWindowA(ExceptionBoxClassName, nullptr);
    if (box && IsWindowVisible(box) && gOnBox) {
        auto action = std::move(gOnBox);
        gOnBox = nullptr;
        action(box);
    }
    // A box nobody answers closes itself after a while, so a failing test does not hang.
    if (++gTicks > 400 && box)
        PostMessageA(box, WM_NULL, HandlerAnswer, HandlerAnswer);
}

class HxExceptBox : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = HandlingServices();
        THandlingServices services;
        services.CreateExceptionBox = &CreateExceptionBox;
        SetHandlingServices(services);
        exception_ = MakeException();
        ASSERT_TRUE(exception_);
    }
    void TearDown() override
    {
        SetHandlingServices(saved_);
        gOnBox = nullptr;
    }
    static TExceptionPtr MakeException(bool withContext = false)
    {
        TExceptionParams params;
        params.Settings = NewSettings(GetModuleHandleA(nullptr));
        params.ExceptAddress = reinterpret_cast<void*>(&MakeException);
        static CONTEXT context;
        if (withContext) {
            RtlCaptureContext(&context);
            params.Context = &context;
        }
        TExceptionPtr exception = NewExceptionObject(params);
        if (exception) {
            exception->SetPlWaitBox(false);
            exception->SetAutoClip(false);
            exception->SetAutoSave(false);
            // The system's own threads of the process come and go: only this one is reported.
            exception->SetListThreads(false);
        }
        return exception;
    }
    // Runs the box as the handling flow does; onBox acts on it once it shows.
    int Run(int style, std::function<void(HWND)> onBox)
    {
        gOnBox = std::move(onBox);
        gTicks = 0;
        const UINT_PTR timer = SetTimer(nullptr, 0, 25, BoxTimer);
        const int result = RunExceptionBox(style, false, exception_.Get());
        KillTimer(nullptr, timer);
        return result;
    }

    THandlingServices saved_;
    TExceptionPtr exception_;
};

TEST_F(HxExceptBox, FullBoxShowsItsActionsAndContinueClosesIt)
{
    std::vector<std::string> texts;
    bool sawIcon = false;
    const int result = Run(0, [&](HWND box) {
        for (HWND button : Children(box, "Button")) {
            if (WindowText(button).empty() && !IsWindowEnabled(button))
                sawIcon = true;
            else
                texts.push_back(WindowText(button));
        }
        EXPECT_EQ(WindowText(box), ExpandPlaceholders(nullptr, "%appname%", "", ""));
        EXPECT_TRUE(GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
        EXPECT_FALSE(GetWindowLongA(box, GWL_STYLE) & WS_THICKFRAME);
        EXPECT_TRUE(SaveShot(box, "ExceptionBox"));
        // The caption's close box does nothing.
        SendMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(IsWindow(box));
        SendMessageA(ButtonWithText(box, exception_->GetContinueBtnTxt()), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(sawIcon);
    std::vector<std::string> expected{exception_->GetSendBtnTxt(), exception_->GetShowBtnTxt(),
                                      exception_->GetContinueBtnTxt(), exception_->GetRestartBtnTxt(),
                                      exception_->GetCloseBtnTxt()};
    std::sort(expected.begin(), expected.end());
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, expected);
    EXPECT_FALSE(FindWindowA(ExceptionBoxClassName, nullptr));
}

TEST_F(HxExceptBox, EnterTakesTheFocusedFlatButton)
{
    HWND focusedAtStart = nullptr, sendButton = nullptr;
    const int result = Run(0, [&](HWND box) {
        focusedAtStart = GetFocus();
        sendButton = ButtonWithText(box, exception_->GetSendBtnTxt());
        HWND next = ButtonWithText(box, exception_->GetContinueBtnTxt());
        SetFocus(next);
        PostMessageA(next, WM_KEYDOWN, VK_RETURN, 0);
    });
    EXPECT_EQ(result, 1);
    // "FocusedBtn" 0: the send button has the focus first.
    EXPECT_EQ(focusedAtStart, sendButton);
}

namespace {

int gPrintedPages = 0;
BOOL WINAPI PrintIntoMemory(PRINTDLGA* params)
{
    params->hDC = CreateCompatibleDC(nullptr);
    return TRUE;
}
int WINAPI StartJob(HDC, const DOCINFOA*) { return 1; }
int WINAPI CountPage(HDC) { return ++gPrintedPages; }
int WINAPI EndPart(HDC) { return 1; }

} // namespace

TEST_F(HxExceptBox, SaveAndPrintButtonsSaveAndPrintTheReport)
{
    const std::string file = TestProgramFolder() + "hxBoxSavedReport.txt";
    DeleteFileA(file.c_str());
    exception_->SetSaveBtnVis(true);
    exception_->SetPrintBtnVis(true);
    exception_->SetBugRepFile(file);
    const TPrintDialogProc oldDialog = SetPrintDialogHook(PrintIntoMemory);
    const THxPrintJobProcs oldJob = SetPrintJobHook({StartJob, CountPage, EndPart, EndPart});
    gPrintedPages = 0;
    bool saveGone = false;
    const int result = Run(0, [&](HWND box) {
        SendMessageA(ButtonWithText(box, exception_->GetSaveBtnTxt()), BM_CLICK, 0, 0);
        // Saved under its fixed name, the report needs no second save.
        saveGone = ButtonWithText(box, exception_->GetSaveBtnTxt()) == nullptr;
        SendMessageA(ButtonWithText(box, exception_->GetPrintBtnTxt()), BM_CLICK, 0, 0);
        SendMessageA(ButtonWithText(box, exception_->GetContinueBtnTxt()), BM_CLICK, 0, 0);
    });
    SetPrintJobHook(oldJob);
    SetPrintDialogHook(oldDialog);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(saveGone);
    EXPECT_GE(gPrintedPages, 1);
    const std::string text = ReadFileBytes(file);
    EXPECT_EQ(text.rfind("date/time", 0), 0u) << text.substr(0, 80);
    DeleteFileA(file.c_str());
}

TEST_F(HxExceptBox, PlainBoxHasOneButtonAndEnterOrEscapeContinue)
{
    for (const WPARAM key : {WPARAM(VK_RETURN), WPARAM(VK_ESCAPE)}) {
        int buttons = 0;
        std::string text;
        const int result = Run(1, [&](HWND box) {
            const std::vector<HWND> found = ActionButtons(box);
            buttons = static_cast<int>(found.size());
            text = found.empty() ? "" : WindowText(found[0]);
            EXPECT_EQ(GetFocus(), found.empty() ? nullptr : found[0]);
            if (key == VK_RETURN) {
                EXPECT_TRUE(SaveShot(box, "ExceptionBoxPlain"));
            }
            PostMessageA(GetFocus(), WM_KEYDOWN, key, 0);
        });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(buttons, 1);
        EXPECT_EQ(text, exception_->GetOkBtnTxt());
        EXPECT_FALSE(FindWindowA(ExceptionBoxClassName, nullptr));
    }
}

TEST_F(HxExceptBox, AnswerFromTheMainThreadClosesAndShowAsksForAnotherBox)
{
    ComPtr<IHxExceptionBox> box = CreateExceptionBox(exception_.Get(), false, false, false);
    ASSERT_TRUE(box);
    SendMessageA(box->Window(), WM_NULL, 1, 1);
    EXPECT_TRUE(IsWindow(box->Window()));
    SendMessageA(box->Window(), WM_NULL, HandlerAnswer, HandlerAnswer);
    EXPECT_FALSE(IsWindow(box->Window()));
    EXPECT_FALSE(box->WantsShowAgain());

    box = CreateExceptionBox(exception_.Get(), false, false, false);
    ASSERT_TRUE(box);
    SendMessageA(ButtonWithText(box->Window(), exception_->GetShowBtnTxt()), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindow(box->Window()));
    EXPECT_TRUE(box->WantsShowAgain());
}

TEST_F(HxExceptBox, FreezeTextsDueActionsAndButtonLooks)
{
    TExceptionParams params;
    params.Settings = NewSettings(GetModuleHandleA(nullptr));
    params.Kind = ekFreeze;
    TExceptionPtr frozen = NewExceptionObject(params);
    ASSERT_TRUE(frozen);
    frozen->SetPlWaitBox(false);
    ComPtr<IHxExceptionBox> box = CreateExceptionBox(frozen.Get(), true, true, false);
    ASSERT_TRUE(box);
    EXPECT_TRUE(ButtonWithText(box->Window(), frozen->GetDetailsBtnTxt()));
    HWND text = FindWindowExA(box->Window(), nullptr, "Static", nullptr);
    EXPECT_EQ(WindowText(text), ExpandPlaceholders(nullptr, frozen->GetFrozenMsg(), "", ""));
    SendMessageA(box->Window(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(box->Window()));

    // A due close without its button leaves the countdown to a due restart.
    exception_->SetAutoClose(1);
    exception_->SetCloseBtnVis(false);
    exception_->SetAutoRestart(1);
    exception_->SetUglyBtns(true);
    box = CreateExceptionBox(exception_.Get(), false, false, false);
    ASSERT_TRUE(box);
    HWND restart = ButtonWithText(box->Window(), exception_->GetRestartBtnTxt());
    EXPECT_EQ(GetFocus(), restart);
    EXPECT_EQ(exception_->GetFocusedBtn(), int(raRestart));
    EXPECT_FALSE(ButtonWithText(box->Window(), exception_->GetCloseBtnTxt()));
    RECT r;
    GetClientRect(restart, &r);
    EXPECT_EQ(r.bottom, 26);
    SendMessageA(box->Window(), WM_NULL, HandlerAnswer, HandlerAnswer);
    EXPECT_FALSE(IsWindow(box->Window()));
}

TEST_F(HxExceptBox, CountdownTakesTheFocusedActionUnlessTheDelayIsZero)
{
    exception_->SetAutoContinue(true);
    exception_->SetAutoDelay(1);
    const DWORD start = GetTickCount();
    bool focusedContinue = false;
    const int result = Run(0, [&](HWND box) {
        focusedContinue = GetFocus() == ButtonWithText(box, exception_->GetContinueBtnTxt());
    });
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(focusedContinue);
    EXPECT_GE(GetTickCount() - start, 900u);
    EXPECT_LT(gTicks, 400);

    TExceptionPtr waiting = MakeException();
    waiting->SetAutoContinue(true);
    waiting->SetAutoDelay(0);
    ComPtr<IHxExceptionBox> box = CreateExceptionBox(waiting.Get(), false, false, false);
    ASSERT_TRUE(box);
    HWND button = ButtonWithText(box->Window(), waiting->GetContinueBtnTxt());
    auto face = [&] {
        RECT r;
        GetWindowRect(button, &r);
        HDC screen = GetDC(nullptr);
        std::vector<COLORREF> row;
        for (int x = r.left + 2; x < r.right - 2; ++x)
            row.push_back(GetPixel(screen, x, r.top + 3));
        ReleaseDC(nullptr, screen);
        return row;
    };
    PumpUntil([] { return false; }, 100);
    const auto before = face();
    EXPECT_FALSE(PumpUntil([&] { return !IsWindow(box->Window()); }, 1200));
    EXPECT_EQ(face(), before);
    SendMessageA(box->Window(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(box->Window()));
}

// The disassembly list: left-aligned "line" (when there are line numbers), "address", "asm
// code" and "comments", the addresses as the report writes them, in lower case.
void ExpectDisassemblyListAsWritten(HWND list)
{
    std::vector<std::string> captions;
    for (int c = 0;; ++c) {
        char text[64] = "";
        LVCOLUMNA column{};
        column.mask = LVCF_TEXT | LVCF_FMT;
        column.pszText = text;
        column.cchTextMax = sizeof text;
        if (!SendMessageA(list, LVM_GETCOLUMNA, c, reinterpret_cast<LPARAM>(&column)))
            break;
        captions.emplace_back(text);
        EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT) << text;
    }
    std::vector<std::string> wanted{"address", "asm code", "comments"};
    if (captions.size() == 4)
        wanted.insert(wanted.begin(), "line");
    ASSERT_EQ(captions, wanted);
    const int addressColumn = captions.size() == 4 ? 1 : 0;
    const int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int r = 0; r < rows; ++r) {
        char text[64] = "";
        LVITEMA item{};
        item.iSubItem = addressColumn;
        item.pszText = text;
        item.cchTextMax = sizeof text;
        SendMessageA(list, LVM_GETITEMTEXTA, r, reinterpret_cast<LPARAM>(&item));
        const std::string address = text;
        EXPECT_EQ(address.find_first_of("ABCDEF"), std::string::npos) << address;
    }
}

TEST_F(HxExceptBox, DetailsViewShowsTheReportPartsAsTables)
{
    LinkDisAsm();
    InitListModules();
    TExceptionPtr exception = MakeException(true);
    exception->SetAutoShowBugRep(true);
    ComPtr<IHxExceptionBox> box = CreateExceptionBox(exception.Get(), false, false, false);
    ASSERT_TRUE(box);
    HWND window = box->Window();
    EXPECT_TRUE(GetWindowLongA(window, GWL_STYLE) & WS_THICKFRAME);
    EXPECT_FALSE(ButtonWithText(window, exception->GetShowBtnTxt()));
    exception->GetBugReport();
    HWND tabs = Children(window, WC_TABCONTROLA).empty() ? nullptr : Children(window, WC_TABCONTROLA)[0];
    ASSERT_TRUE(tabs);
    auto captions = [&] {
        std::vector<std::string> list;
        const int count = static_cast<int>(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            char text[64] = "";
            TCITEMA item{};
            item.mask = TCIF_TEXT;
            item.pszText = text;
            item.cchTextMax = sizeof text;
            SendMessageA(tabs, TCM_GETITEMA, i, reinterpret_cast<LPARAM>(&item));
            list.emplace_back(text);
        }
        return list;
    };
    const std::vector<std::string> wanted{"general", "call stack", "modules", "cpu regs", "stack dump", "disasm"};
    EXPECT_TRUE(PumpUntil(
        [&] {
            const auto list = captions();
            return std::all_of(wanted.begin(), wanted.end(),
                               [&](const std::string& c) { return std::find(list.begin(), list.end(), c) != list.end(); });
        },
        5000));
    // The last update of the complete report arrives.
    PumpUntil([] { return false; }, 300);
    const auto list = captions();
    for (const std::string& caption : wanted) {
        const auto at = std::find(list.begin(), list.end(), caption);
        std::string all;
        for (const std::string& c : list)
            all += "[" + c + "]";
        ASSERT_NE(at, list.end()) << caption << " in " << all;
        SendMessageA(tabs, TCM_SETCURSEL, static_cast<WPARAM>(at - list.begin()), 0);
        NMHDR change{tabs, static_cast<UINT_PTR>(GetDlgCtrlID(tabs)), TCN_SELCHANGE};
        SendMessageA(window, WM_NOTIFY, change.idFrom, reinterpret_cast<LPARAM>(&change));
        const std::vector<HWND> lists = Children(tabs, WC_LISTVIEWA);
        ASSERT_EQ(lists.size(), 1u) << caption;
        EXPECT_TRUE(box->IsDetailsControl(lists[0]));
        EXPECT_GT(SendMessageA(lists[0], LVM_GETITEMCOUNT, 0, 0), 0) << caption;
        // Every list shows the view's one small image list, still whole after earlier tabs.
        const auto images = reinterpret_cast<HIMAGELIST>(SendMessageA(lists[0], LVM_GETIMAGELIST, LVSIL_SMALL, 0));
        int width = 0, height = 0;
        EXPECT_TRUE(ImageList_GetIconSize(images, &width, &height)) << caption;
        EXPECT_EQ(width, 16);
        if (caption == "disasm")
            ExpectDisassemblyListAsWritten(lists[0]);
        std::string name = "ExceptionBoxTab-" + caption;
        std::replace(name.begin(), name.end(), ' ', '-');
        EXPECT_TRUE(SaveShot(window, caption == "call stack" ? "ExceptionBoxDetails" : name));
    }
    // Resizing moves the buttons under and beside the details view with the window's edges.
    auto place = [](HWND control) {
        RECT r;
        GetWindowRect(control, &r);
        return r;
    };
    HWND close = ButtonWithText(window, exception->GetCloseBtnTxt());
    HWND send = ButtonWithText(window, exception->GetSendBtnTxt());
    const RECT window0 = place(window), close0 = place(close), send0 = place(send), tabs0 = place(tabs);
    SetWindowPos(window, nullptr, 0, 0, window0.right - window0.left + 100, window0.bottom - window0.top + 50,
                 SWP_NOMOVE | SWP_NOZORDER);
    const RECT window1 = place(window), close1 = place(close), send1 = place(send), tabs1 = place(tabs);
    EXPECT_EQ(close1.left - window1.left, close0.left - window0.left + 100);
    EXPECT_EQ(close1.top - window1.top, close0.top - window0.top + 50);
    EXPECT_EQ(send1.left - window1.left, send0.left - window0.left);
    EXPECT_EQ(tabs1.bottom - tabs1.top, tabs0.bottom - tabs0.top + 50);
    SendMessageA(window, WM_NULL, HandlerAnswer, HandlerAnswer);
    DoneListModules();
    UnlinkDisAsm();
}

namespace {

// Stands in for a running development environment: its main window and, on the same thread, the
// window that takes the jump command, found by the class names the environment gives them.
class TJumpReceiver {
public:
    TJumpReceiver()
    {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, &threadId_);
        if (thread_)
            WaitForSingleObject(ready_, 10000);
    }
    ~TJumpReceiver()
    {
        if (thread_) {
            PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
            WaitForSingleObject(thread_, 10000);
            CloseHandle(thread_);
        }
        CloseHandle(ready_);
    }
    TJumpReceiver(const TJumpReceiver&) = delete;
    TJumpReceiver& operator=(const TJumpReceiver&) = delete;

    bool Started() const { return started_; }
    bool Received() const { return received_.load(); }
    // Valid once Received().
    const std::string& Text() const { return text_; }
    WPARAM ProcessId() const { return processId_; }

private:
    static LRESULT CALLBACK JumpProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == RegisterWindowMessageA("hxExceptIdeJumpCommand")) {
            auto* self = reinterpret_cast<TJumpReceiver*>(GetWindowLongPtrA(window, GWLP_USERDATA));
            self->processId_ = wParam;
            self->text_ = reinterpret_cast<const char*>(lParam);
            self->received_ = true;
            return 1;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }
    static DWORD WINAPI Run(void* parameter)
    {
        auto* self = static_cast<TJumpReceiver*>(parameter);
        char id[16];
        wsprintfA(id, "%lx", GetCurrentThreadId());
        const std::string jumpClass = std::string("hxToolsMsgHandlerWindow$") + id + "$JumpTest";
        const HINSTANCE instance = GetModuleHandleA(nullptr);
        WNDCLASSA environmentClass{};
        environmentClass.lpfnWndProc = DefWindowProcA;
        environmentClass.hInstance = instance;
        environmentClass.lpszClassName = "TAppBuilder";
        WNDCLASSA windowClass = environmentClass;
        windowClass.lpfnWndProc = JumpProc;
        windowClass.lpszClassName = jumpClass.c_str();
        RegisterClassA(&environmentClass);
        RegisterClassA(&windowClass);
        HWND environment = CreateWindowExA(0, "TAppBuilder", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, instance,
                                           nullptr);
        HWND jump = CreateWindowExA(0, jumpClass.c_str(), "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, instance,
                                    nullptr);
        if (jump)
            SetWindowLongPtrA(jump, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->started_ = environment && jump;
        SetEvent(self->ready_);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0)
            DispatchMessageA(&message);
        DestroyWindow(jump);
        DestroyWindow(environment);
        UnregisterClassA(jumpClass.c_str(), instance);
        UnregisterClassA("TAppBuilder", instance);
        return 0;
    }

    HANDLE ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    bool started_ = false;
    std::atomic<bool> received_{false};
    std::string text_;
    WPARAM processId_ = 0;
};

} // namespace

TEST_F(HxExceptBox, DoubleClickOnADetailsRowSendsItToTheDevelopmentEnvironment)
{
    TJumpReceiver environment;
    ASSERT_TRUE(environment.Started());
    exception_->SetAutoShowBugRep(true);
    exception_->GetBugReportHeader()->Insert(0, "jump test", "unit.cpp > line\t12");
    ComPtr<IHxExceptionBox> box = CreateExceptionBox(exception_.Get(), false, false, false);
    ASSERT_TRUE(box);
    HWND window = box->Window();
    // The view takes the complete report; later updates leave its unchanged list alone.
    exception_->GetBugReport();
    SendMessageA(window, ReportUpdatedMessage, ReportUpdatedWParam, ReportUpdatedLParam);
    const std::vector<HWND> tabs = Children(window, WC_TABCONTROLA);
    ASSERT_EQ(tabs.size(), 1u);
    const std::vector<HWND> lists = Children(tabs[0], WC_LISTVIEWA);
    ASSERT_EQ(lists.size(), 1u);
    HWND list = lists[0];
    LVFINDINFOA find{};
    find.flags = LVFI_STRING;
    find.psz = "jump test";
    const int row =
        static_cast<int>(SendMessageA(list, LVM_FINDITEMA, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)));
    ASSERT_GE(row, 0);
    SendMessageA(list, LVM_ENSUREVISIBLE, row, FALSE);
    RECT cell{};
    cell.left = LVIR_LABEL;
    ASSERT_TRUE(SendMessageA(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&cell)));
    const LPARAM at = MAKELPARAM((cell.left + cell.right) / 2, (cell.top + cell.bottom) / 2);
    // The mouse messages of a double click, as the system posts them.
    PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
    PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
    EXPECT_TRUE(PumpUntil([&] { return environment.Received(); }, 5000));
    if (environment.Received()) {
        EXPECT_EQ(environment.Text(), "jump test unit.cpp   line 12");
        EXPECT_EQ(environment.ProcessId(), GetCurrentProcessId());
    }
    SendMessageA(window, WM_NULL, HandlerAnswer, HandlerAnswer);
}

// ---- Layout ----

// Widths and heights as the box's message font gives them.
class TMessageFont {
public:
    TMessageFont()
    {
        font_ = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma");
        if (!font_)
            font_ = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif");
        old_ = SelectObject(dc_, font_);
    }
    ~TMessageFont()
    {
        SelectObject(dc_, old_);
        DeleteObject(font_);
        DeleteDC(dc_);
    }
    TMessageFont(const TMessageFont&) = delete;
    TMessageFont& operator=(const TMessageFont&) = delete;

    // A button's measured width: its text + 39.
    int ButtonWidth(const std::string& text) const
    {
        SIZE size{};
        GetTextExtentPoint32A(dc_, text.c_str(), static_cast<int>(text.size()), &size);
        return size.cx + 39;
    }
    // The message wrapped into width: its width and height.
    std::pair<int, int> Text(const std::string& text, int width) const
    {
        RECT r{0, 0, width, 0};
        DrawTextA(dc_, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        return {static_cast<int>(r.right - r.left), static_cast<int>(r.bottom - r.top)};
    }

private:
    HDC dc_ = CreateCompatibleDC(nullptr);
    HFONT font_ = nullptr;
    HGDIOBJ old_ = nullptr;
};

std::string LongWindowText(HWND window)
{
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// A child's rectangle in its parent's client coordinates.
RECT Place(HWND child)
{
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

RECT Rect(int x, int y, int width, int height)
{
    return {x, y, x + width, y + height};
}

std::string Describe(const RECT& r)
{
    return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" + std::to_string(r.right) + "," +
           std::to_string(r.bottom) + ")";
}

// The big icon: the disabled button without text.
HWND IconOf(HWND box)
{
    for (HWND button : Children(box, "Button"))
        if (WindowText(button).empty() && !IsWindowEnabled(button))
            return button;
    return nullptr;
}

// No action button covers the icon, the message or another button.
void ExpectNothingOverlaps(HWND box, const std::string& where)
{
    std::vector<HWND> parts = ActionButtons(box);
    parts.push_back(FindWindowExA(box, nullptr, "Static", nullptr));
    if (HWND icon = IconOf(box))
        parts.push_back(icon);
    RECT client;
    GetClientRect(box, &client);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const RECT a = Place(parts[i]);
        RECT inside;
        IntersectRect(&inside, &a, &client);
        EXPECT_TRUE(EqualRect(&inside, &a)) << where << ": " << WindowText(parts[i]) << " " << Describe(a);
        for (std::size_t j = i + 1; j < parts.size(); ++j) {
            const RECT b = Place(parts[j]);
            RECT both;
            EXPECT_FALSE(IntersectRect(&both, &a, &b))
                << where << ": " << WindowText(parts[i]) << " " << Describe(a) << " and " << WindowText(parts[j])
                << " " << Describe(b);
        }
    }
}

TEST_F(HxExceptBox, FullBoxRowsFollowTheRightHandButtons)
{
    const TMessageFont font;
    constexpr int H = 22, RowStep = H + 4;
    // The default message is lower than the icon; the long one wraps to more lines than it is high.
    const std::string longMessage =
        "The program met a failure it did not expect. Send the report so that it can be mended, or show it to see "
        "what it holds. Closing ends the program, continuing may lose work, restarting starts it again; whatever "
        "you choose, the report stays in the file beside the program until the next failure is added to it.";
    struct TCase {
        bool Wrapped, Left, Continue, Restart, Close;
    };
    std::vector<TCase> cases;
    for (const bool wrapped : {false, true}) {
        for (int mask = 0; mask < 8; ++mask)
            cases.push_back({wrapped, true, (mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0});
        cases.push_back({wrapped, false, true, true, true});
    }
    for (const TCase& c : cases) {
        const std::string where = std::string(c.Wrapped ? "long text," : "") + (c.Left ? " send show" : "") +
                                  (c.Continue ? " continue" : "") + (c.Restart ? " restart" : "") +
                                  (c.Close ? " close" : "");
        TExceptionPtr e = MakeException();
        if (c.Wrapped)
            e->SetExceptMsg(longMessage);
        e->SetSendBtnVis(c.Left);
        e->SetShowBtnVis(c.Left);
        e->SetContinueBtnVis(c.Continue);
        e->SetRestartBtnVis(c.Restart);
        e->SetCloseBtnVis(c.Close);
        ComPtr<IHxExceptionBox> box = CreateExceptionBox(e.Get(), false, false, false);
        ASSERT_TRUE(box) << where;
        const HWND window = box->Window();
        const HWND icon = IconOf(window), text = FindWindowExA(window, nullptr, "Static", nullptr);
        ASSERT_TRUE(icon && text) << where;

        const int send = c.Left ? font.ButtonWidth(e->GetSendBtnTxt()) : 0;
        const int show = c.Left ? font.ButtonWidth(e->GetShowBtnTxt()) : 0;
        const int cont = c.Continue ? font.ButtonWidth(e->GetContinueBtnTxt()) : 0;
        const int restart = c.Restart ? font.ButtonWidth(e->GetRestartBtnTxt()) : 0;
        const int close = c.Close ? font.ButtonWidth(e->GetCloseBtnTxt()) : 0;
        const int maxB = std::max({cont, restart, close});
        const int count = c.Continue + c.Restart + c.Close;
        const int b = count == 1 ? 2 : count;
        const bool twoColumns = b > 1 && c.Left;
        const int contentWidth = twoColumns ? send + show + maxB + 14 : send + show + cont + restart + close + 8;
        const int textLeft = (twoColumns ? maxB + 40 : 26) + 40;
        const auto [textWidth, textHeight] = font.Text(LongWindowText(text), std::max(contentWidth, 664) - textLeft);
        EXPECT_EQ(textHeight >= 26, c.Wrapped) << where << ": " << textHeight;
        const int clientWidth = std::max(contentWidth, textLeft + textWidth);
        int top = textHeight < 26 ? 31 : textHeight + 5;
        if (count == 3 && twoColumns)
            top = std::max(7, top - RowStep);
        if (!twoColumns) {
            // One row under the text and the icon starts 5 below both.
            const RECT iconPlace = Place(icon), textPlace = Place(text);
            top = std::max(top, static_cast<int>(std::max(iconPlace.bottom, textPlace.bottom)) + 5);
        }
        const int rows = twoColumns ? b : 1;
        const int lastRow = top + (rows - 1) * RowStep;

        RECT client;
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, clientWidth) << where;
        EXPECT_EQ(client.bottom, RowStep * rows + top + 8) << where;
        auto expectAt = [&](const std::string& caption, const RECT& wanted) {
            HWND button = ButtonWithText(window, caption);
            ASSERT_TRUE(button) << where << ": " << caption;
            const RECT r = Place(button);
            EXPECT_TRUE(EqualRect(&r, &wanted)) << where << ": " << caption << " at " << Describe(r) << ", not "
                                                << Describe(wanted);
        };
        if (c.Left) {
            expectAt(e->GetSendBtnTxt(), Rect(6, lastRow, send - 4, H));
            expectAt(e->GetShowBtnTxt(), Rect(6 + send, lastRow, show - 4, H));
        }
        if (twoColumns) {
            const int column = clientWidth - maxB - 8;
            if (c.Continue)
                expectAt(e->GetContinueBtnTxt(), Rect(column, top, maxB - 4, H));
            if (c.Restart)
                expectAt(e->GetRestartBtnTxt(), Rect(column, top + (c.Continue ? RowStep : 0), maxB - 4, H));
            if (c.Close)
                expectAt(e->GetCloseBtnTxt(), Rect(column, lastRow, maxB - 4, H));
        } else if (count > 0) {
            int x = clientWidth - (cont + restart + close) - 8;
            expectAt(e->GetContinueBtnTxt(), Rect(x, lastRow, cont - 4, H));
            x += cont;
            expectAt(e->GetRestartBtnTxt(), Rect(x, lastRow, restart - 4, H));
            x += restart;
            expectAt(e->GetCloseBtnTxt(), Rect(x, lastRow, close - 4, H));
        }
        ExpectNothingOverlaps(window, where);
        // The program's own set of buttons, and the single row.
        if (!c.Wrapped && c.Left && !c.Continue && !c.Restart && c.Close) {
            EXPECT_TRUE(SaveShot(window, "ExceptionBoxSendShowClose"));
        }
        if (!c.Wrapped && c.Left && count == 0) {
            EXPECT_TRUE(SaveShot(window, "ExceptionBoxOneRow"));
        }
        SendMessageA(window, WM_NULL, HandlerAnswer, HandlerAnswer);
        EXPECT_FALSE(IsWindow(window)) << where;
    }
}

// Without the big icon (a module that has none) the text starts 11 pixels from the left, keeps no
// room for the icon and sets the first row's height alone.
TEST_F(HxExceptBox, BoxWithoutTheBigIconGivesItsRoomToTheText)
{
    const TMessageFont font;
    constexpr int H = 22, RowStep = H + 4;
    const HMODULE noIcon = LoadLibraryA("hxNoIconSettings.dll");
    ASSERT_TRUE(noIcon);
    TExceptionParams params;
    params.Settings = NewSettings(noIcon);
    ASSERT_TRUE(params.Settings && params.Settings->Module() == noIcon);
    TExceptionPtr e = NewExceptionObject(params);
    ASSERT_TRUE(e);
    e->SetPlWaitBox(false);
    e->SetAutoSave(false);
    e->SetListThreads(false);
    e->SetExceptMsg("The program met a failure it did not expect. Send the report so that it can be mended, or "
                    "close the program; the report stays in the file beside the program until the next failure.");
    e->SetSendBtnVis(true);
    e->SetShowBtnVis(true);
    e->SetContinueBtnVis(true);
    e->SetRestartBtnVis(false);
    e->SetCloseBtnVis(true);
    ComPtr<IHxExceptionBox> box = CreateExceptionBox(e.Get(), false, false, false);
    ASSERT_TRUE(box);
    const HWND window = box->Window();
    const HWND text = FindWindowExA(window, nullptr, "Static", nullptr);
    ASSERT_TRUE(text);
    EXPECT_FALSE(IconOf(window));

    const int send = font.ButtonWidth(e->GetSendBtnTxt()), show = font.ButtonWidth(e->GetShowBtnTxt());
    const int maxB = std::max(font.ButtonWidth(e->GetContinueBtnTxt()), font.ButtonWidth(e->GetCloseBtnTxt()));
    const int contentWidth = send + show + maxB + 14;
    const int textLeft = maxB + 40;
    const auto [textWidth, textHeight] = font.Text(LongWindowText(text), std::max(contentWidth, 664) - textLeft);
    const RECT textPlace = Place(text);
    EXPECT_EQ(textPlace.left, 11);
    EXPECT_EQ(textPlace.top, 9);
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, std::max(contentWidth, textLeft + textWidth));
    EXPECT_EQ(client.bottom, 2 * RowStep + textHeight + 5 + 8);
    ExpectNothingOverlaps(window, "without the icon");
    SendMessageA(window, WM_NULL, HandlerAnswer, HandlerAnswer);
    EXPECT_FALSE(IsWindow(window));
    box.Reset();
    e.Reset();
    params.Settings.Reset();
    FreeLibrary(noIcon);
}

TEST_F(HxExceptBox, PlainBoxButtonsStandInTheSecondRowUnderTheText)
{
    const TMessageFont font;
    constexpr int H = 23, RowStep = H + 4;
    TExceptionParams params;
    params.Settings = NewSettings(GetModuleHandleA(nullptr));
    params.Kind = ekFreeze;
    for (const bool styleIsTwo : {false, true})
        for (const char* text : {"Stuck.", "The program has not answered for a long while; it waits for a disk or a "
                                           "network share that does not answer, or it is caught in a loop and "
                                           "will not come back by itself. Wait or end it."}) {
            const std::string where = std::string(styleIsTwo ? "style 2, " : "style 1, ") + text;
            TExceptionPtr frozen = NewExceptionObject(params);
            ASSERT_TRUE(frozen);
            frozen->SetPlWaitBox(false);
            frozen->SetFrozenMsg(text);
            ComPtr<IHxExceptionBox> box = CreateExceptionBox(frozen.Get(), true, styleIsTwo, false);
            ASSERT_TRUE(box);
            const HWND window = box->Window();
            ASSERT_TRUE(IconOf(window)) << where;

            auto width = [&](const std::string& caption) {
                const int w = font.ButtonWidth(caption);
                return w < 75 ? 79 : w;
            };
            const int ok = width(frozen->GetOkBtnTxt());
            const int details = styleIsTwo ? width(frozen->GetDetailsBtnTxt()) : 0;
            const int buttons = ok + (styleIsTwo ? 2 + details : 0);
            // Style 2 meets the two-column rule: its continue counts as two, its show is visible.
            const int textLeft = (styleIsTwo ? ok + 40 : 26) + 40;
            const auto [textWidth, textHeight] = font.Text(text, std::max(buttons + 26, 664) - textLeft);
            const int top = textHeight < 26 ? 31 : textHeight + 5;

            RECT client;
            GetClientRect(window, &client);
            EXPECT_EQ(client.bottom, 2 * RowStep + top + 13) << where;
            // A short text's box is also as wide as its caption needs.
            if (textHeight >= 26) {
                EXPECT_EQ(client.right, std::max(buttons + 26, textLeft + textWidth)) << where;
            }
            const int x = (client.right - buttons) / 2;
            const std::vector<HWND> found = ActionButtons(window);
            ASSERT_EQ(found.size(), styleIsTwo ? 2u : 1u) << where;
            const RECT okPlace = Place(ButtonWithText(window, frozen->GetOkBtnTxt()));
            const RECT okWanted = Rect(x, top + RowStep, ok - 4, H);
            EXPECT_TRUE(EqualRect(&okPlace, &okWanted)) << where << ": " << Describe(okPlace);
            if (styleIsTwo) {
                const RECT place = Place(ButtonWithText(window, frozen->GetDetailsBtnTxt()));
                const RECT wanted = Rect(x + ok + 2, top + RowStep, details - 4, H);
                EXPECT_TRUE(EqualRect(&place, &wanted)) << where << ": " << Describe(place);
            }
            ExpectNothingOverlaps(window, where);
            if (styleIsTwo && textHeight >= 26) {
                EXPECT_TRUE(SaveShot(window, "ExceptionBoxPlainDetails"));
            }
            SendMessageA(window, WM_NULL, HandlerAnswer, HandlerAnswer);
            EXPECT_FALSE(IsWindow(window)) << where;
        }
}

TEST(HxExceptDetails, ColumnsAreFoundAtSharedSeparators)
{
    std::vector<std::string> registers{"eax = 00000001", "ebx = 7ffd0000", "eip = 00401000"};
    const auto starts = DetectColumnStarts(registers, true);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(CutLine(registers[1], starts), (std::vector<std::string>{"ebx", "7ffd0000"}));

    // Lines that share no separator column stay one text.
    std::vector<std::string> prose{"some free text", "and more words there", "x"};
    EXPECT_TRUE(DetectColumnStarts(prose, true).empty());

    const auto columns = ParseColumnCaptions("^handle|file name| version|");
    ASSERT_EQ(columns.size(), 4u);
    EXPECT_TRUE(columns[0].UpperCase);
    EXPECT_EQ(columns[0].Caption, "handle");
    EXPECT_TRUE(columns[2].RightAligned);
    EXPECT_EQ(columns[2].Caption, "version");
    EXPECT_EQ(columns[3].Caption, "");

    const auto lines = BuildLineTable("a b\r\n>> note\r\nc d");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].Length, -1);
    EXPECT_EQ(lines[2].Start, 14u);
}

TEST(HxExceptDetails, ReportSplitsIntoTabsAndThreadsShareOne)
{
    const std::string one = "date/time : now\r\nversion   : 1\r\n\r\n"
                            "main thread ($10):\r\n00401000 +010 prog.exe prog.cpp 12 +2 Main\r\n"
                            "00401100 +020 prog.exe prog.cpp 30 +1 Start\r\n\r\n"
                            "hardware:\r\nsome free text\r\nand more words there";
    auto tables = BuildDetailsTables(one, nullptr);
    ASSERT_EQ(tables.size(), 3u);
    EXPECT_EQ(tables[0].Caption, "general");
    EXPECT_EQ(tables[0].Rows.size(), 2u);
    EXPECT_EQ(tables[1].Caption, "call stack");
    ASSERT_EQ(tables[1].Rows.size(), 2u);
    EXPECT_EQ(tables[1].Rows[0],
              (std::vector<std::string>{"00401000", "+010", "prog.exe", "prog.cpp", "12", "+2", "Main"}));
    EXPECT_EQ(tables[2].Caption, "hardware");
    EXPECT_TRUE(tables[2].AsText);

    const std::string two = one + "\r\n\r\nworker ($20): <suspended>\r\n00402000 +004 prog.exe prog.cpp 7 +1 Work\r\n"
                                  ">> created by main thread at:";
    tables = BuildDetailsTables(two, nullptr);
    ASSERT_GE(tables.size(), 2u);
    EXPECT_EQ(tables[1].Caption, "call stacks");
    const auto notes = std::count(tables[1].Notes.begin(), tables[1].Notes.end(), true);
    EXPECT_EQ(notes, 3);  // two thread headlines and the creator line
}

TEST(HxExceptDetails, DisassemblyColumnsShowAddressesAsWritten)
{
    const std::string zeros(std::size_t(StackAddressDigits) - 6, '0');
    const std::string first = zeros + "4010ab", failing = zeros + "4010af";
    const std::string report = "date/time : now\r\n\r\ndisassembling:\r\n" + first + " 0042 mov eax, ebx ; copy\r\n" +
                               failing + ">     ret\r\n";
    const auto tables = BuildDetailsTables(report, nullptr);
    const auto disasm =
        std::find_if(tables.begin(), tables.end(), [](const TDetailsTable& t) { return t.Caption == "disasm"; });
    ASSERT_NE(disasm, tables.end());
    std::vector<std::string> captions;
    for (const TDetailsColumn& column : disasm->Columns) {
        captions.push_back(column.Caption);
        EXPECT_FALSE(column.RightAligned) << column.Caption;
        EXPECT_FALSE(column.UpperCase) << column.Caption;
    }
    EXPECT_EQ(captions, (std::vector<std::string>{"line", "address", "asm code", "comments"}));
    ASSERT_EQ(disasm->Rows.size(), 2u);
    EXPECT_EQ(disasm->Rows[0], (std::vector<std::string>{"42", first, "mov eax, ebx", "; copy"}));
    EXPECT_EQ(disasm->Rows[1][1], failing + " >");
}

}  // namespace
