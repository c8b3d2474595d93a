#include "hxNVPrgrAlert.h"

#include "hxGdiHandles.h"
#include "hxInterfaced.h"
#include "hxNVBitmap.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

constexpr char kClassName[] = "prgrAlertWndClass";
constexpr int kStatusId = 1, kBarId = 2, kIconId = 3;
// wParam: 0 status line, 1 caption; lParam: a std::string* the window takes over.
constexpr UINT WM_ALERT_SETTEXT = WM_APP + 1;
constexpr int kIconSize = 32;

TGdiPtr<HFONT> MakeFont() {
    HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "Tahoma");
    if (!font)
        font = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "MS Sans Serif");
    return TGdiPtr<HFONT>(font);
}

// What the window needs for itself; it lives exactly as long as the window, so the window
// never refers to the alert object, which may be gone before a posted close arrives.
struct TBoxData {
    HWND parent;
    HMODULE iconModule;
    std::string iconName;
    TGdiPtr<HFONT> font;
};

TBoxData* BoxData(HWND wnd) {
    return reinterpret_cast<TBoxData*>(GetWindowLongPtrA(wnd, 0));
}

void DrawAlertIcon(const TBoxData& data, HDC target) {
    const uint8_t* pixels = AlphaBitmapPixels(data.iconModule, data.iconName, kIconSize);
    if (!pixels)
        return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = kIconSize;
    info.bmiHeader.biHeight = kIconSize;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    TMemoryDc dc(CreateCompatibleDC(target));
    void* bits = nullptr;
    TGdiPtr<HBITMAP> section(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dc || !section || !bits)
        return;
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    const int faceBgr[3] = {GetBValue(face), GetGValue(face), GetRValue(face)};
    auto out = static_cast<uint8_t*>(bits);
    for (int i = 0; i < kIconSize * kIconSize; ++i) {
        int a = pixels[i * 4 + 3] + 1;
        for (int c = 0; c < 3; ++c)
            out[i * 4 + c] = static_cast<uint8_t>((pixels[i * 4 + c] * a + faceBgr[c] * (256 - a)) / 256);
    }
    HGDIOBJ old = SelectObject(dc.get(), section.get());
    BitBlt(target, 0, 0, kIconSize, kIconSize, dc.get(), 0, 0, SRCCOPY);
    SelectObject(dc.get(), old);
}

// Takes the box down on its own thread: the parent is enabled first so that activation
// returns to it rather than to another program.
void DestroyBox(HWND box) {
    TBoxData* data = BoxData(box);
    HWND parent = data ? data->parent : nullptr;
    if (parent)
        EnableWindow(parent, TRUE);
    DestroyWindow(box);
    if (parent)
        SetActiveWindow(parent);
}

bool CloseAllowed(HWND wnd) {
    return GetWindowLongPtrA(wnd, GWLP_USERDATA) != 0;
}

LRESULT OnCloseRequest(HWND wnd) {
    if (CloseAllowed(wnd))
        DestroyBox(wnd);
    return 0;
}

LRESULT OnSetText(HWND wnd, WPARAM target, LPARAM text) {
    std::unique_ptr<std::string> owned(reinterpret_cast<std::string*>(text));
    SetWindowTextA(target ? wnd : GetDlgItem(wnd, kStatusId), owned->c_str());
    return 0;
}

LRESULT OnDrawItem(HWND wnd, const DRAWITEMSTRUCT& item) {
    if (TBoxData* data = BoxData(wnd); data && item.CtlID == kIconId)
        DrawAlertIcon(*data, item.hDC);
    return TRUE;
}

void OnNcDestroy(HWND wnd) {
    // Texts posted but not delivered are owned by their messages.
    MSG msg;
    while (PeekMessageA(&msg, wnd, WM_ALERT_SETTEXT, WM_ALERT_SETTEXT, PM_REMOVE))
        delete reinterpret_cast<std::string*>(msg.lParam);
    delete BoxData(wnd);
    SetWindowLongPtrA(wnd, 0, 0);
}

LRESULT CALLBACK BoxProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    try {
        switch (msg) {
        case WM_NCCREATE:
            SetWindowLongPtrA(wnd, 0, reinterpret_cast<LONG_PTR>(
                                          reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
            break;
        case WM_CLOSE:
            return OnCloseRequest(wnd);
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_CLOSE)
                return OnCloseRequest(wnd);
            break;
        case WM_ALERT_SETTEXT:
            return OnSetText(wnd, wParam, lParam);
        case WM_DRAWITEM:
            return OnDrawItem(wnd, *reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
        case WM_NCDESTROY:
            OnNcDestroy(wnd);
            break;
        }
    } catch (...) {
        // Nothing may unwind through the system's dispatch; drawing errors are swallowed.
    }
    return DefWindowProcA(wnd, msg, wParam, lParam);
}

HINSTANCE ThisModule() {
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

bool RegisterBoxClass() {
    WNDCLASSA cls{};
    if (GetClassInfoA(ThisModule(), kClassName, &cls))
        return true;
    cls.style = 0xC0;
    cls.lpfnWndProc = BoxProc;
    cls.cbWndExtra = sizeof(TBoxData*);
    cls.hInstance = ThisModule();
    cls.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /* IDC_ARROW */);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    cls.lpszClassName = kClassName;
    return RegisterClassA(&cls) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

struct TArea {
    int64_t start;
    int64_t weight;
    std::string text;
};

class TIProgressAlert final : public TInterfaced<IProgressAlert> {
public:
    TIProgressAlert(const std::string& title, HMODULE iconModule, const std::string& iconName)
        : title_(title), iconModule_(iconModule), iconName_(iconName) {}
    ~TIProgressAlert() { Close(); }


    std::string GetTitle() override;
    void SetTitle(const std::string& text) override;
    int GetPosition() override;
    void SetPosition(int value) override;
    void AddArea(const std::string& text, int64_t weight) override;
    void ClearAreas() override;
    void AreaDone() override;
    int GetCurrentArea() override;
    void SetCurrentArea(int index) override;
    void ProcessMessages() override;
    bool Show(HWND parent, bool centred) override;
    void Close() override;

private:
    // Caller holds mutex_.
    int BarPosition() const;
    bool OnWindowThread() const { return ownerThread_ == GetCurrentThreadId(); }
    // Window calls run without the lock: a sent message may come back into this object.
    void ApplyBar(HWND bar, int position, bool own);
    void ApplyText(HWND box, HWND target, int which, const std::string& text, bool own);
    bool CreateBox(HWND parent, bool centred);

    std::mutex mutex_;
    std::string title_;
    HMODULE iconModule_;
    std::string iconName_;
    std::vector<TArea> areas_;
    int64_t total_ = 0;
    int current_ = 0;
    int position_ = 0;
    bool showing_ = false;
    HWND box_ = nullptr, status_ = nullptr, bar_ = nullptr;
    DWORD ownerThread_ = 0;
};

int TIProgressAlert::BarPosition() const {
    if (areas_.empty() || total_ <= 0)
        return 0;
    const TArea& area = areas_[current_];
    // (weight * position div 1000 + start) * 1000 div total, without losing the fraction of
    // the first division: small weights would otherwise move the bar in whole areas. This follows
    // the documented example (areas of weights 1 and 3, position 500 in the second gives 625),
    // which the formula's integer division would make 500.
    long double scaled = (static_cast<long double>(area.weight) * position_
                          + static_cast<long double>(area.start) * 1000) / total_;
    return static_cast<int>(std::clamp<long double>(scaled, 0, 1000));
}

void TIProgressAlert::ApplyBar(HWND bar, int position, bool own) {
    if (!bar)
        return;
    if (own) {
        SendMessageA(bar, PBM_SETPOS, position, 0);
        ProcessMessages();
    } else {
        PostMessageA(bar, PBM_SETPOS, position, 0);
    }
}

void TIProgressAlert::ApplyText(HWND box, HWND target, int which, const std::string& text, bool own) {
    if (!box)
        return;
    if (own) {
        SetWindowTextA(target, text.c_str());
        return;
    }
    auto copy = std::make_unique<std::string>(text);
    if (PostMessageA(box, WM_ALERT_SETTEXT, which, reinterpret_cast<LPARAM>(copy.get())))
        copy.release();
}

std::string TIProgressAlert::GetTitle() {
    std::lock_guard lock(mutex_);
    return title_;
}

void TIProgressAlert::SetTitle(const std::string& text) {
    std::unique_lock lock(mutex_);
    if (text == title_)
        return;
    title_ = text;
    HWND box = box_;
    bool own = OnWindowThread();
    lock.unlock();
    ApplyText(box, box, 1, text, own);
}

int TIProgressAlert::GetPosition() {
    std::lock_guard lock(mutex_);
    return position_;
}

void TIProgressAlert::SetPosition(int value) {
    std::unique_lock lock(mutex_);
    position_ = std::clamp(value, 0, 1000);
    int bar = BarPosition();
    HWND barWnd = bar_;
    bool own = OnWindowThread();
    lock.unlock();
    ApplyBar(barWnd, bar, own);
}

void TIProgressAlert::AddArea(const std::string& text, int64_t weight) {
    std::lock_guard lock(mutex_);
    weight = std::max<int64_t>(weight, 0);
    std::string shown = text.empty() && !areas_.empty() ? areas_.back().text : text;
    areas_.push_back({total_, weight, std::move(shown)});
    total_ += weight;
}

void TIProgressAlert::ClearAreas() {
    std::lock_guard lock(mutex_);
    areas_.clear();
    total_ = 0;
    current_ = 0;
}

void TIProgressAlert::AreaDone() {
    int next;
    {
        std::lock_guard lock(mutex_);
        next = current_ + 1;
    }
    SetCurrentArea(next);
}

int TIProgressAlert::GetCurrentArea() {
    std::lock_guard lock(mutex_);
    return current_;
}

void TIProgressAlert::SetCurrentArea(int index) {
    std::unique_lock lock(mutex_);
    int count = static_cast<int>(areas_.size());
    if (index == current_ || index < 0 || index > count || count == 0)
        return;
    if (index == count) {
        current_ = count - 1;
        position_ = 1000;
    } else {
        current_ = index;
        position_ = 0;
    }
    std::string text = areas_[current_].text;
    int bar = BarPosition();
    HWND box = box_, status = status_, barWnd = bar_;
    bool own = OnWindowThread();
    lock.unlock();
    ApplyText(box, status, 0, text, own);
    ApplyBar(barWnd, bar, own);
}

void TIProgressAlert::ProcessMessages() {
    {
        std::lock_guard lock(mutex_);
        if (!box_ || !OnWindowThread())
            return;
    }
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Leave the quit request to the thread's own loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool TIProgressAlert::Show(HWND parent, bool centred) {
    {
        std::lock_guard lock(mutex_);
        if (box_ || showing_)
            return false;
        showing_ = true;
        if (areas_.empty()) {
            areas_.push_back({0, 1000, "Please wait..."});
            total_ = 1000;
            current_ = 0;
        }
    }
    bool shown = false;
    try {
        shown = CreateBox(parent, centred);
    } catch (...) {
        shown = false;
    }
    std::unique_lock lock(mutex_);
    showing_ = false;
    if (!shown)
        return false;
    int bar = BarPosition();
    HWND barWnd = bar_;
    lock.unlock();
    ApplyBar(barWnd, bar, true);
    return true;
}

bool TIProgressAlert::CreateBox(HWND parent, bool centred) {
    std::string title, text;
    std::vector<std::string> texts;
    {
        std::lock_guard lock(mutex_);
        title = title_;
        text = areas_[current_].text;
        for (size_t i = current_; i < areas_.size(); ++i)
            texts.push_back(areas_[i].text);
    }
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    if (!RegisterBoxClass())
        return false;

    auto data = std::make_unique<TBoxData>(TBoxData{parent, iconModule_, iconName_, MakeFont()});
    TGdiPtr<HFONT> measureFont = MakeFont();
    TMemoryDc measureDc(CreateCompatibleDC(nullptr));
    if (!data->font || !measureFont || !measureDc)
        return false;

    // The status line is as large as the largest text still to come.
    HGDIOBJ old = SelectObject(measureDc.get(), measureFont.get());
    SIZE textSize{0, 0};
    for (const std::string& t : texts) {
        RECT r{0, 0, 420, 0};
        DrawTextA(measureDc.get(), t.c_str(), -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        textSize.cx = std::max<LONG>(textSize.cx, r.right);
        textSize.cy = std::max<LONG>(textSize.cy, r.bottom);
    }
    SelectObject(measureDc.get(), old);

    bool icon = AlphaBitmapPixels(iconModule_, iconName_, kIconSize) != nullptr;
    int shift = icon ? 40 : 0;
    int textRight = std::max<int>(textSize.cx + shift, 220);
    int textTop = 12, rowHeight = textSize.cy;
    if (icon && rowHeight < 26) {
        textTop += (26 - rowHeight) / 2;
        rowHeight = 26;
    }
    int width = textRight + 22 + 2 * GetSystemMetrics(SM_CXFIXEDFRAME);
    int height = rowHeight + 24 + GetSystemMetrics(SM_CYSMCAPTION) + GetSystemMetrics(SM_CYHSCROLL)
                 + 12 + 2 * GetSystemMetrics(SM_CYFIXEDFRAME);

    if (parent)
        EnableWindow(parent, FALSE);
    HFONT font = data->font.get();
    HWND box = CreateWindowExA(0x89, kClassName, title.c_str(), WS_CAPTION, 0, 0, width, height,
                               parent, nullptr, ThisModule(), data.get());
    if (!box) {
        if (parent)
            EnableWindow(parent, TRUE);
        return false;
    }
    data.release();  // owned by the window from here on
    HMENU menu = GetSystemMenu(box, FALSE);
    for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE})
        DeleteMenu(menu, command, MF_BYCOMMAND);

    if (icon)
        CreateWindowExA(0, "Button", "", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_OWNERDRAW, 9, 9,
                        kIconSize, kIconSize, box, reinterpret_cast<HMENU>(kIconId), ThisModule(),
                        nullptr);
    HWND status = CreateWindowExA(0, "Static", text.c_str(), WS_CHILD | WS_VISIBLE | SS_NOPREFIX,
                                  11 + shift, textTop, textRight - shift, textSize.cy, box,
                                  reinterpret_cast<HMENU>(kStatusId), ThisModule(), nullptr);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 11, rowHeight + 24,
                               textRight, GetSystemMetrics(SM_CYHSCROLL), box,
                               reinterpret_cast<HMENU>(kBarId), ThisModule(), nullptr);
    if (status)
        SendMessageA(status, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (bar)
        SendMessageA(bar, PBM_SETRANGE32, 0, 1000);
    if (IsIconic(box))
        ShowWindow(box, SW_RESTORE);

    if (centred) {
        SetWindowPos(box, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                     (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        ShowWindow(box, SW_SHOWNORMAL);
        BringWindowToTop(box);
        SetForegroundWindow(box);
    } else {
        RECT work;
        if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0))
            work = {0, 0, GetSystemMetrics(SM_CXFULLSCREEN),
                    GetSystemMetrics(SM_CYFULLSCREEN) + GetSystemMetrics(SM_CYCAPTION)};
        SetWindowPos(box, nullptr, work.right - width - 2, work.bottom - height - 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        ShowWindow(box, SW_SHOWNOACTIVATE);
    }

    std::lock_guard lock(mutex_);
    box_ = box;
    status_ = status;
    bar_ = bar;
    ownerThread_ = GetCurrentThreadId();
    return true;
}

void TIProgressAlert::Close() {
    HWND box;
    bool own;
    {
        std::lock_guard lock(mutex_);
        box = std::exchange(box_, nullptr);
        status_ = bar_ = nullptr;
        own = OnWindowThread();
        ownerThread_ = 0;
    }
    if (!box)
        return;
    if (own) {
        DestroyBox(box);
        return;
    }
    // Posted, not sent: the window's thread may be busy or waiting for the caller.
    SetWindowLongPtrA(box, GWLP_USERDATA, 1);
    PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
}

}  // namespace

TProgressAlertPtr CreateProgressAlert(const std::string& title, HMODULE iconModule,
                                      const std::string& iconName) {
    try {
        return TProgressAlertPtr(new TIProgressAlert(title, iconModule, iconName));
    } catch (...) {
        return nullptr;
    }
}
