#include "hxExceptBox.h"

#include "hxExceptDetails.h"
#include "hxExceptPause.h"
#include "hxExceptSave.h"
#include "hxExceptSupport.h"
#include "hxGdiHandles.h"
#include "hxInterfaced.h"
#include "hxNVBitmap.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <array>
#include <memory>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {

constexpr int ActionCount = 7;
constexpr int CantContinueId = 7;
constexpr int TextId = 0xFFFF;
constexpr int IconId = 0xFFFE;
constexpr int DetailsHeight = 474;
constexpr int MinTextWidth = 664;
constexpr int LongestCaption = 30;
constexpr int BufferWidth = 1024;
constexpr int BufferHeight = 64;
// The big icon's place at the top left.
constexpr int IconLeft = 10;
constexpr int IconTop = 9;
constexpr int IconSize = 32;

const char* const ActionNames[] = {"send", "save", "print", "show", "continue", "restart", "close", "cantContinue"};

// A picture of size x size pixels from AlphaBitmapPixels; empty when it found none.
struct TAlphaBitmap {
    int Size = 0;
    const BYTE* Bits = nullptr;   // bottom-up BGRA, straight alpha
    explicit operator bool() const { return Bits != nullptr; }
};

int Clamp(int value)
{
    return std::clamp(value, 0, 255);
}

COLORREF Shade(COLORREF colour, int amount)
{
    return RGB(Clamp(GetRValue(colour) + amount), Clamp(GetGValue(colour) + amount), Clamp(GetBValue(colour) + amount));
}

COLORREF Mix(COLORREF a, COLORREF b, int weightOfB)
{
    auto part = [&](int x, int y) { return (x * (256 - weightOfB) + y * weightOfB) / 256; };
    return RGB(part(GetRValue(a), GetRValue(b)), part(GetGValue(a), GetGValue(b)), part(GetBValue(a), GetBValue(b)));
}

std::string Shortened(const std::string& text)
{
    return text.size() > LongestCaption ? text.substr(0, LongestCaption) : text;
}

class TExceptionBox : public TInterfaced<IHxExceptionBox> {
public:
    TExceptionBox(IVQException* exception, bool plainStyle, bool styleIsTwo);
    ~TExceptionBox() override;

    bool Create(bool beep);

    HWND Window() override { return window_; }
    bool IsDetailsControl(HWND window) override { return details_ && details_->IsControl(window); }
    bool WantsShowAgain() override { return showAgain_; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static void ReportChanged(void* object, IVQException* exception, bool complete);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    std::string ButtonText(int action) const;
    int MeasureText(const std::string& text) const;
    void Layout();
    void AddButton(int action, int x, int y, int width, bool defaultButton);
    void DrawButton(HDC target, HWND button, int id, UINT state, const RECT& bounds);
    void DrawIcon(HDC target, const RECT& bounds);
    void BlendBitmap(const TAlphaBitmap& bitmap, int x, int y, bool disabled);
    void Timer();
    void StopCountdown();
    void Command(int id, HWND button);
    void ShowPressed(int id, HWND button);
    void CloseRequested();
    void CloseBox();
    void Action(int action);
    void Resized(int width, int height);

    ComPtr<IVQException> exception_;
    bool plain_ = false;
    bool styleIsTwo_ = false;
    bool showAgain_ = false;
    bool closed_ = false;
    bool ugly_ = false;
    bool resizable_ = false;
    TMemoryDc dc_;
    TGdiPtr<HFONT> messageFont_, fixedFont_, smallFont_;
    TGdiPtr<HBITMAP> buffer_;
    HGDIOBJ oldBitmap_ = nullptr;
    HGDIOBJ oldFont_ = nullptr;
    DWORD* bufferBits_ = nullptr;
    HWND window_ = nullptr;
    HWND text_ = nullptr;
    std::unique_ptr<TDetailsView> details_;
    std::array<HWND, ActionCount> buttons_{};
    std::array<bool, ActionCount> defaults_{};   // owner-drawn buttons cannot carry the style
    std::array<DWORD, ActionCount + 1> lastPressed_{};
    HWND countdown_ = nullptr;
    DWORD countdownStart_ = 0;
    int countdownPos_ = -1;
    int buttonHeight_ = 22;
    std::string message_, title_;
    TAlphaBitmap bigIcon_;
    std::array<TAlphaBitmap, ActionCount + 1> actionBitmaps_{};
    SIZE created_{};
    SIZE lastClient_{};
};

TExceptionBox::TExceptionBox(IVQException* exception, bool plainStyle, bool styleIsTwo)
    : exception_(exception), plain_(plainStyle), styleIsTwo_(styleIsTwo)
{
    ugly_ = exception->GetUglyBtns();
    buttonHeight_ = plain_ ? 23 : ugly_ ? 26 : 22;
    dc_.reset(CreateCompatibleDC(nullptr));
    auto font = [](const char* face, int height) {
        return CreateFontA(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
    };
    messageFont_.reset(font("Tahoma", -11));
    if (!messageFont_)
        messageFont_.reset(font("MS Sans Serif", -12));
    fixedFont_.reset(font("Courier New", -11));
    smallFont_.reset(font("Small Fonts", -8));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = BufferWidth;
    info.bmiHeader.biHeight = -BufferHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    buffer_.reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    bufferBits_ = static_cast<DWORD*>(bits);
    if (dc_ && buffer_) {
        oldBitmap_ = SelectObject(dc_.get(), buffer_.get());
        oldFont_ = SelectObject(dc_.get(), messageFont_.get());
        SetBkMode(dc_.get(), TRANSPARENT);
    }
    const HMODULE module = exception->Module();
    // A big icon of any other size than its 32 x 32 (a zero-sized one among them) is not drawn and,
    // read as missing, gives the text no icon room: the reading of "not drawn" and "missing".
    bigIcon_ = {32, AlphaBitmapPixels(module, "VQIBIG", 32)};
    for (int i = 0; i <= ActionCount; ++i) {
        const std::string name = std::string("VQI") + ActionNames[i];
        actionBitmaps_[static_cast<std::size_t>(i)] = {16, AlphaBitmapPixels(module, name, 16)};
    }
}

TExceptionBox::~TExceptionBox()
{
    exception_->RemoveReportCallback(window_, &ReportChanged);
    details_.reset();
    if (window_ && IsWindow(window_)) {
        SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
    if (dc_ && oldBitmap_) {
        SelectObject(dc_.get(), oldBitmap_);
        SelectObject(dc_.get(), oldFont_);
    }
}

std::string TExceptionBox::ButtonText(int action) const
{
    IVQException* e = exception_.Get();
    switch (action) {
    case raSend: return e->GetSendBtnTxt();
    case raSave: return e->GetSaveBtnTxt();
    case raPrint: return e->GetPrintBtnTxt();
    case raShow: return plain_ ? e->GetDetailsBtnTxt() : e->GetShowBtnTxt();
    case raContinue: return plain_ ? e->GetOkBtnTxt() : e->GetContinueBtnTxt();
    case raRestart: return e->GetRestartBtnTxt();
    default: return e->GetCloseBtnTxt();
    }
}

int TExceptionBox::MeasureText(const std::string& text) const
{
    SIZE size{};
    if (dc_)
        GetTextExtentPoint32A(dc_.get(), text.c_str(), static_cast<int>(text.size()), &size);
    return size.cx;
}

bool TExceptionBox::Create(bool beep)
{
    IVQException* e = exception_.Get();
    const bool freeze = e->GetKind() == ekFreeze;
    const bool canContinue = e->GetCanContinue();
    if (!plain_ && e->GetAutoShowBugRep())
        e->SetShowBtnVis(false);
    // The action due by itself, if any, takes the focus and, in the full box, the countdown.
    int autoAction = -1;
    if (IsAutoActionDue(e->GetAutoClose()) && e->GetCloseBtnVis())
        autoAction = raClose;
    else if (IsAutoActionDue(e->GetAutoRestart()) && e->GetRestartBtnVis())
        autoAction = raRestart;
    else if (e->GetAutoContinue() && e->GetContinueBtnVis() && canContinue)
        autoAction = raContinue;
    if (autoAction >= 0)
        e->SetFocusedBtn(autoAction);

    const HMODULE module = e->Module();
    if (plain_) {
        message_ = freeze ? ExpandPlaceholders(module, e->GetFrozenMsg(), e->GetExceptMessage(), "")
                          : e->GetExceptMessage();
        title_ = StripFileExtension(FileNameOfPath(GetModuleFileNameStr(nullptr)));
    } else {
        message_ =
            ExpandPlaceholders(module, freeze ? e->GetFrozenMsg() : e->GetExceptMsg(), e->GetExceptMessage(), "");
        title_ = e->GetTitleBar();
    }

    WNDCLASSA windowClass{};
    windowClass.style = CS_CLASSDC | CS_PARENTDC;
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = ExceptionBoxClassName;
    RegisterClassA(&windowClass);

    resizable_ = !plain_ && e->GetAutoShowBugRep();
    DWORD style = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    if (resizable_)
        style |= WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    window_ = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, ExceptionBoxClassName, title_.c_str(), style, 0, 0,
                              100, 100, nullptr, nullptr, GetModuleHandleA(nullptr), this);
    if (!window_)
        return false;
    if (!resizable_) {
        HMENU menu = GetSystemMenu(window_, FALSE);
        for (UINT item : {SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE, SC_SIZE})
            DeleteMenu(menu, item, MF_BYCOMMAND);
    }
    Layout();

    if (!plain_ && autoAction >= 0) {
        countdown_ = buttons_[static_cast<std::size_t>(autoAction)];
        if (countdown_) {
            countdownStart_ = GetTickCount();
            if (countdownStart_ == 0)
                countdownStart_ = 1;
            // Without a delay the countdown waits for the user: no tick would move it.
            if (e->GetAutoDelay() > 0)
                SetTimer(window_, CountdownTimerId, 10, nullptr);
        }
    }

    if (beep)
        MessageBeep(MB_ICONHAND);
    ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOWNORMAL);
    BringWindowToTop(window_);
    SetForegroundWindow(window_);
    if (freeze)
        if (HWND handler = HandlerWindow())
            PostMessageA(handler, RegisterWindowMessageA("hxExceptFreezePing"), reinterpret_cast<WPARAM>(window_), 0);
    // The window handle is the callback's object: a late call posts to a window that is gone.
    e->AddReportCallback(window_, &ReportChanged, false);
    return true;
}

void TExceptionBox::ReportChanged(void* object, IVQException*, bool)
{
    PostMessageA(static_cast<HWND>(object), ReportUpdatedMessage, ReportUpdatedWParam, ReportUpdatedLParam);
}

void TExceptionBox::Layout()
{
    IVQException* e = exception_.Get();
    const int h = buttonHeight_;
    const int rowStep = h + 4;
    const bool canContinue = e->GetCanContinue();
    std::array<bool, ActionCount> visible{};
    if (plain_) {
        visible[raContinue] = true;
        visible[raShow] = styleIsTwo_;
    } else {
        visible = {e->GetSendBtnVis(), e->GetSaveBtnVis(), e->GetPrintBtnVis(), e->GetShowBtnVis(),
                   e->GetContinueBtnVis(), e->GetRestartBtnVis(), e->GetCloseBtnVis()};
    }
    std::array<int, ActionCount> widths{};
    for (int i = 0; i < ActionCount; ++i)
        if (visible[static_cast<std::size_t>(i)])
            widths[static_cast<std::size_t>(i)] = MeasureText(Shortened(ButtonText(i))) + 39;
    if (plain_)
        for (int i : {int(raShow), int(raContinue)})
            if (visible[static_cast<std::size_t>(i)] && widths[static_cast<std::size_t>(i)] < 75)
                widths[static_cast<std::size_t>(i)] = 79;

    // The right-hand buttons (continue, restart, close); a single one takes two rows like a pair.
    int rightCount = 0, maxB = 0;
    for (int i = raContinue; i <= raClose; ++i)
        if (visible[static_cast<std::size_t>(i)]) {
            ++rightCount;
            maxB = std::max(maxB, widths[static_cast<std::size_t>(i)]);
        }
    const int rightRows = rightCount == 1 ? 2 : rightCount;
    const bool anyLeft = visible[raSend] || visible[raSave] || visible[raPrint] || visible[raShow];
    // The rule holds for the plain box of style 2 too (its continue counts as two, its show is
    // visible): its text keeps the right-hand column's room, while its buttons stay centred below.
    const bool twoColumnRule = rightRows > 1 && anyLeft;
    const bool twoColumns = !plain_ && twoColumnRule;

    int contentWidth = 8;
    if (plain_)
        contentWidth = widths[raContinue] + 26 + (styleIsTwo_ ? 2 + widths[raShow] : 0);
    else if (twoColumns)
        contentWidth = widths[raSend] + widths[raSave] + widths[raPrint] + widths[raShow] + maxB + 14;
    else
        for (int w : widths)
            contentWidth += w;

    // The text leaves room for the big icon and, beside it, for the right-hand column.
    const int iconRoom = bigIcon_ ? 40 : 0;
    const int reserved = (twoColumnRule ? maxB + 40 : 26) + iconRoom;
    const int textLeft = 11 + iconRoom;
    RECT textRect{0, 0, std::max(contentWidth, MinTextWidth) - reserved, 0};
    DrawTextA(dc_.get(), message_.c_str(), static_cast<int>(message_.size()), &textRect,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    const int textWidth = textRect.right - textRect.left, textHeight = textRect.bottom - textRect.top;
    int clientWidth = std::max(contentWidth, reserved + textWidth);
    const bool withDetails = resizable_;
    if (withDetails) {
        const int screen = GetSystemMetrics(SM_CXSCREEN) - 5 * GetSystemMetrics(SM_CYCAPTION);
        clientWidth = std::max(clientWidth, std::min(MinTextWidth, screen));
    }
    // The caption shows whole, beside the close box.
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        if (const TGdiPtr<HFONT> captionFont{CreateFontIndirectA(&metrics.lfCaptionFont)}) {
            HGDIOBJ old = SelectObject(dc_.get(), captionFont.get());
            clientWidth = std::max(clientWidth, MeasureText(title_) + 2 * GetSystemMetrics(SM_CXSIZE) + 16);
            SelectObject(dc_.get(), old);
        }

    // A short text stands in the middle of the big icon's height.
    const int textTop = bigIcon_ && textHeight < IconSize ? IconTop + (IconSize - textHeight) / 2 : IconTop;
    const int aboveRows = std::max(textTop + textHeight, bigIcon_ ? IconTop + IconSize : 0);
    // The rows start below the text block; with all three right-hand buttons the column starts
    // one row higher, beside the text.
    int textBlock = bigIcon_ && textHeight < 26 ? 31 : textHeight + 5;
    if (twoColumns && rightCount == 3)
        textBlock = std::max(7, textBlock - rowStep);
    // A single row has buttons under the text and the icon, which the block alone would let the
    // row overlap: it goes below both.
    if (!plain_ && !twoColumns)
        textBlock = std::max(textBlock, aboveRows + 5);
    const int rows = twoColumns ? rightRows : 1;
    // The details view takes the place of the last row, which moves down.
    auto rowTop = [&](int row) {
        return textBlock + row * rowStep + (withDetails && row == rows - 1 ? DetailsHeight : 0);
    };

    text_ = CreateWindowExA(0, "Static", message_.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, textLeft,
                            textTop, textWidth + 2, textHeight, window_, reinterpret_cast<HMENU>(TextId),
                            GetModuleHandleA(nullptr), nullptr);
    SendMessageA(text_, WM_SETFONT, reinterpret_cast<WPARAM>(messageFont_.get()), FALSE);
    if (bigIcon_)
        CreateWindowExA(0, "Button", "", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_OWNERDRAW, IconLeft, IconTop,
                        IconSize, IconSize, window_, reinterpret_cast<HMENU>(IconId), GetModuleHandleA(nullptr),
                        nullptr);

    const int focused = e->GetFocusedBtn() & 0x7F;
    auto isDefault = [&](int action) { return action == focused || (plain_ && action == raContinue); };
    int clientHeight = 0;
    if (plain_) {
        const int total = widths[raContinue] + (styleIsTwo_ ? 2 + widths[raShow] : 0);
        const int x = (clientWidth - total) / 2;
        AddButton(raContinue, x, rowTop(1), widths[raContinue], true);
        if (styleIsTwo_)
            AddButton(raShow, x + widths[raContinue] + 2, rowTop(1), widths[raShow], isDefault(raShow));
        clientHeight = 2 * rowStep + textBlock + 13;
    } else {
        const int lastRow = rowTop(rows - 1);
        int x = 6;
        for (int i = raSend; i <= raShow; ++i)
            if (visible[static_cast<std::size_t>(i)]) {
                AddButton(i, x, lastRow, widths[static_cast<std::size_t>(i)], isDefault(i));
                x += widths[static_cast<std::size_t>(i)];
            }
        if (twoColumns) {
            const int column = clientWidth - maxB - 8;
            if (visible[raContinue])
                AddButton(raContinue, column, rowTop(0), maxB, isDefault(raContinue));
            if (visible[raRestart])
                AddButton(raRestart, column, rowTop(visible[raContinue] ? 1 : 0), maxB, isDefault(raRestart));
            if (visible[raClose])
                AddButton(raClose, column, lastRow, maxB, isDefault(raClose));
        } else {
            int right = 0;
            for (int i = raContinue; i <= raClose; ++i)
                right += widths[static_cast<std::size_t>(i)];
            x = clientWidth - right - 8;
            for (int i = raContinue; i <= raClose; ++i)
                if (visible[static_cast<std::size_t>(i)]) {
                    AddButton(i, x, lastRow, widths[static_cast<std::size_t>(i)], isDefault(i));
                    x += widths[static_cast<std::size_t>(i)];
                }
        }
        clientHeight = rows * rowStep + textBlock + 8 + (withDetails ? DetailsHeight : 0);
        if (withDetails) {
            const int detailsTop = std::max(aboveRows + 8, lastRow - DetailsHeight);
            const RECT area{6, detailsTop, clientWidth - 6, lastRow - 6};
            details_ = std::make_unique<TDetailsView>(window_, e, area, messageFont_.get());
        }
    }
    // The continue button of a failure that cannot continue is disabled and changes its id.
    if (!canContinue && buttons_[raContinue] && (buttons_[raRestart] || buttons_[raClose])) {
        EnableWindow(buttons_[raContinue], FALSE);
        SetWindowLongPtrA(buttons_[raContinue], GWLP_ID, CantContinueId);
    }
    for (int i = 0; i < ActionCount; ++i)
        if (HWND button = buttons_[static_cast<std::size_t>(i)];
            button && defaults_[static_cast<std::size_t>(i)] && IsWindowEnabled(button)) {
            SetFocus(button);
            break;
        }

    RECT frame{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongA(window_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongA(window_, GWL_EXSTYLE)));
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    created_ = {width, height};
    lastClient_ = {clientWidth, clientHeight};
    SetWindowPos(window_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TExceptionBox::AddButton(int action, int x, int y, int width, bool defaultButton)
{
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    if (plain_)
        style |= defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
    else
        style |= BS_OWNERDRAW | (defaultButton ? BS_DEFPUSHBUTTON : 0);
    const std::string text = Shortened(ButtonText(action));
    HWND button = CreateWindowExA(0, "Button", text.c_str(), style, x, y, width - 4, buttonHeight_, window_,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(action)), GetModuleHandleA(nullptr),
                                  nullptr);
    if (button)
        SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(messageFont_.get()), FALSE);
    buttons_[static_cast<std::size_t>(action)] = button;
    defaults_[static_cast<std::size_t>(action)] = defaultButton;
}

// ---- Drawing ----

void TExceptionBox::BlendBitmap(const TAlphaBitmap& bitmap, int x, int y, bool disabled)
{
    if (!bitmap || !bufferBits_)
        return;
    for (int row = 0; row < bitmap.Size; ++row) {
        const int ty = y + row;
        if (ty < 0 || ty >= BufferHeight)
            continue;
        const BYTE* source = bitmap.Bits + static_cast<std::size_t>(bitmap.Size - 1 - row) * bitmap.Size * 4;
        for (int column = 0; column < bitmap.Size; ++column, source += 4) {
            const int tx = x + column;
            if (tx < 0 || tx >= BufferWidth)
                continue;
            int alpha = source[3];
            if (disabled)
                alpha /= 3;
            DWORD& pixel = bufferBits_[ty * BufferWidth + tx];
            auto blend = [&](int shift, int value) {
                const int under = static_cast<int>((pixel >> shift) & 0xFF);
                return static_cast<DWORD>((value * alpha + under * (255 - alpha)) / 255) << shift;
            };
            pixel = blend(0, source[0]) | blend(8, source[1]) | blend(16, source[2]);
        }
    }
}

void TExceptionBox::DrawIcon(HDC target, const RECT& bounds)
{
    if (!dc_ || !bufferBits_)
        return;
    const int width = bounds.right - bounds.left, height = bounds.bottom - bounds.top;
    RECT area{0, 0, width, height};
    FillRect(dc_.get(), &area, GetSysColorBrush(COLOR_BTNFACE));
    GdiFlush();
    BlendBitmap(bigIcon_, 0, 0, false);
    BitBlt(target, bounds.left, bounds.top, width, height, dc_.get(), 0, 0, SRCCOPY);
}

void TExceptionBox::DrawButton(HDC target, HWND button, int id, UINT state, const RECT& bounds)
{
    if (!dc_ || !bufferBits_)
        return;
    HDC dc = dc_.get();
    const int width = std::min<int>(bounds.right - bounds.left, BufferWidth);
    const int height = std::min<int>(bounds.bottom - bounds.top, BufferHeight);
    RECT area{0, 0, width, height};
    const COLORREF background = GetBkColor(dc);
    const bool pressed = (state & ODS_SELECTED) != 0;
    const bool disabled = (state & ODS_DISABLED) != 0;
    const bool focused = (state & ODS_FOCUS) != 0;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    if (ugly_) {
        FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
        DrawFrameControl(dc, &area, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0));
    } else {
        // A flat face, shaded from top to bottom for the state, with a hand-drawn frame.
        const bool shaded = GetDeviceCaps(target, BITSPIXEL) * GetDeviceCaps(target, PLANES) >= 15;
        int amount = pressed ? -18 : 14;
        if (disabled)
            amount /= 2;
        for (int y = 0; y < height; ++y) {
            const int step = shaded ? amount - (amount * 2 * y) / std::max(height, 1) / 2 : 0;
            FillSolid(dc, 0, y, width, y + 1, Shade(face, step));
        }
        const TGdiPtr<HBRUSH> frame{CreateSolidBrush(Shade(GetSysColor(COLOR_BTNSHADOW), focused && !disabled ? -40 : 0))};
        FrameRect(dc, &area, frame.get());
        if (!pressed) {
            RECT inner = area;
            InflateRect(&inner, -1, -1);
            const TGdiPtr<HPEN> pen{CreatePen(PS_SOLID, 1, Shade(face, 40))};
            HGDIOBJ oldPen = SelectObject(dc, pen.get());
            MoveToEx(dc, inner.left, inner.bottom - 1, nullptr);
            LineTo(dc, inner.left, inner.top);
            LineTo(dc, inner.right, inner.top);
            SelectObject(dc, oldPen);
        }
    }
    // The countdown line with its fade on both sides.
    if (button == countdown_ && countdownPos_ >= 0) {
        const COLORREF line = GetSysColor(COLOR_HIGHLIGHT);
        for (int step = -4; step <= 4; ++step) {
            const int x = countdownPos_ + step;
            if (x < 1 || x >= width - 1)
                continue;
            const int weight = 256 - std::abs(step) * 56;
            FillSolid(dc, x, 1, x + 1, height - 1, Mix(Shade(face, 0), line, weight));
        }
    }
    // The fills set the background colour; the focus rectangle's pattern takes it.
    SetBkColor(dc, background);
    GdiFlush();
    const int shift = pressed ? 1 : 0;
    const TAlphaBitmap& bitmap = actionBitmaps_[static_cast<std::size_t>(std::clamp(id, 0, ActionCount))];
    const int picture = bitmap ? 16 : 0;
    BlendBitmap(bitmap, 4 + shift, (height - 16) / 2 + shift, disabled);

    char caption[LongestCaption + 2] = "";
    GetWindowTextA(button, caption, sizeof caption);
    const std::string text = Shortened(caption);
    RECT textArea{4 + picture + shift, shift, width - 2 + shift, height + shift};
    const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    SelectObject(dc, messageFont_.get());
    if (disabled) {
        RECT light = textArea;
        OffsetRect(&light, 1, 1);
        SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
        DrawTextA(dc, text.c_str(), -1, &light, format);
        SetTextColor(dc, GetSysColor(COLOR_3DDKSHADOW));
        DrawTextA(dc, text.c_str(), -1, &textArea, format);
    } else {
        if (ugly_) {
            RECT shadow = textArea;
            OffsetRect(&shadow, 1, 1);
            SetTextColor(dc, Mix(face, GetSysColor(COLOR_3DDKSHADOW), 96));
            DrawTextA(dc, text.c_str(), -1, &shadow, format);
        }
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        DrawTextA(dc, text.c_str(), -1, &textArea, format);
    }
    if (focused) {
        RECT focus = area;
        InflateRect(&focus, -3, -3);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        DrawFocusRect(dc, &focus);
    }
    BitBlt(target, bounds.left, bounds.top, width, height, dc, 0, 0, SRCCOPY);
}

// ---- Countdown and commands ----

void TExceptionBox::StopCountdown()
{
    if (!countdownStart_)
        return;
    countdownStart_ = 0;
    KillTimer(window_, CountdownTimerId);
    countdownPos_ = -1;
    if (countdown_)
        InvalidateRect(countdown_, nullptr, FALSE);
}

void TExceptionBox::Timer()
{
    const int delay = exception_->GetAutoDelay();
    // Without a delay the countdown waits for the user.
    if (!countdownStart_ || !countdown_ || delay <= 0)
        return;
    RECT bounds;
    GetClientRect(countdown_, &bounds);
    const int width = bounds.right;
    const double elapsed = static_cast<double>(GetTickCount() - countdownStart_);
    const double total = delay * 1000.0;
    const int position = ugly_ ? static_cast<int>(elapsed * (width - 11) / total + 0.5) + 5
                               : static_cast<int>(elapsed * width / total + 0.5);
    if (position != countdownPos_) {
        countdownPos_ = position;
        InvalidateRect(countdown_, nullptr, FALSE);
    }
    if (position > (ugly_ ? width - 6 : width)) {
        HWND button = countdown_;
        StopCountdown();
        PostMessageA(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    }
}

void TExceptionBox::ShowPressed(int id, HWND button)
{
    if (plain_ || ugly_ || !button || !IsWindow(button))
        return;
    if (GetTickCount() - lastPressed_[static_cast<std::size_t>(id)] < 200)
        return;
    RECT bounds;
    GetClientRect(button, &bounds);
    HDC dc = GetDC(button);
    const UINT focus = GetFocus() == button ? ODS_FOCUS : 0;
    DrawButton(dc, button, id, ODS_SELECTED | focus, bounds);
    if (id != raShow) {
        GdiFlush();
        Sleep(10);   // long enough for the press to show
        DrawButton(dc, button, id, focus, bounds);
    }
    ReleaseDC(button, dc);
}

void TExceptionBox::Command(int id, HWND button)
{
    StopCountdown();
    if (id < 0 || id > CantContinueId)
        return;
    ShowPressed(id, button);
    switch (id) {
    case raContinue:
        Action(exception_->GetCanContinue() ? raContinue : raClose);
        break;
    case CantContinueId:
        Action(raClose);
        break;
    default:
        Action(id);
    }
}

void TExceptionBox::CloseRequested()
{
    const int focused = exception_->GetFocusedBtn() & 0x7F;
    if (focused >= raContinue && focused <= raClose)
        return Command(focused, buttons_[static_cast<std::size_t>(focused)]);
    StopCountdown();
    if (buttons_[raContinue] && exception_->GetCanContinue())
        Action(raContinue);
    else if (buttons_[raClose])
        Action(raClose);
    else if (buttons_[raRestart])
        Action(raRestart);
    else if (plain_)
        Action(raClose);
}

void TExceptionBox::CloseBox()
{
    if (closed_)
        return;
    closed_ = true;
    StopCountdown();
    if (details_)
        details_->Release();
    DestroyWindow(window_);
    // The modal loop waits for a message before it looks at the window again.
    PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0);
}

void TExceptionBox::Action(int action)
{
    // The box may be released by what an action runs: it lives until the action is done.
    ComPtr<IHxExceptionBox> keep(this);
    IVQException* e = exception_.Get();
    const bool claimed = FireActionHandlers(e, static_cast<TReportAction>(action), window_);
    switch (action) {
    case raSend:
        if (!claimed) {
            TNVBitmapPtr shot = e->GetAttachScreenShot() ? e->GetScreenShot() : nullptr;
            const std::string report = e->GetBugReport();
            if (const auto send = HandlingServices().SendBugReport)
                send(report, shot, window_, false, e->GetSendInBackgr(), e);
            SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));
        }
        break;
    case raSave:
        if (!claimed && SaveBugReport({}, e->GetBugReport(), window_, false, e) &&
            IsAbsoluteFileName(e->GetBugRepFile()) && buttons_[raSave]) {
            HWND save = buttons_[raSave];
            buttons_[raSave] = nullptr;
            DestroyWindow(save);
        }
        break;
    case raPrint:
        if (!claimed)
            PrintBugReport(e->GetBugReport(), window_, e);
        break;
    case raShow:
        showAgain_ = true;
        CloseBox();
        break;
    case raContinue:
        CloseBox();
        break;
    case raRestart:
        if (!claimed) {
            CloseBox();
            FinishExceptionHandling(e, true);
            RestartApplication();
        }
        break;
    case raClose:
        if (!claimed) {
            CloseBox();
            FinishExceptionHandling(e, true);
            CloseApplication();
        }
        break;
    }
}

void TExceptionBox::Resized(int width, int height)
{
    const int dx = width - lastClient_.cx, dy = height - lastClient_.cy;
    if ((!dx && !dy) || !details_)
        return;
    lastClient_ = {width, height};
    RECT area;
    GetWindowRect(details_->Tabs(), &area);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&area), 2);
    // Buttons below the details view follow the bottom edge, those right of it the right edge.
    for (HWND button : buttons_) {
        if (!button)
            continue;
        RECT r;
        GetWindowRect(button, &r);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
        const int moveX = r.left > (area.left + area.right) / 2 ? dx : 0;
        const int moveY = r.top >= area.bottom ? dy : 0;
        SetWindowPos(button, nullptr, r.left + moveX, r.top + moveY, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    area.right += dx;
    area.bottom += dy;
    details_->Move(area);
    InvalidateRect(window_, nullptr, TRUE);
}

// ---- Messages ----

LRESULT CALLBACK TExceptionBox::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        static_cast<TExceptionBox*>(create->lpCreateParams)->window_ = window;
    }
    auto* box = reinterpret_cast<TExceptionBox*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!box)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_NCDESTROY)
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    return box->Handle(message, wParam, lParam);
}

LRESULT TExceptionBox::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NULL:
        if (wParam == static_cast<WPARAM>(HandlerAnswer) && lParam == HandlerAnswer)
            CloseBox();
        return 0;
    case WM_CLOSE:
        CloseRequested();
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE)
            return 0;
        break;
    case DM_GETDEFID: {
        // Enter takes the focused button, else the default one.
        HWND focus = GetFocus();
        for (int i = 0; i < ActionCount; ++i)
            if (buttons_[static_cast<std::size_t>(i)] && buttons_[static_cast<std::size_t>(i)] == focus)
                return MAKELRESULT(GetDlgCtrlID(focus), DC_HASDEFID);
        const int focused = exception_->GetFocusedBtn() & 0x7F;
        if (plain_ || focused >= ActionCount || !buttons_[static_cast<std::size_t>(focused)])
            return MAKELRESULT(buttons_[raContinue] ? GetDlgCtrlID(buttons_[raContinue]) : raContinue, DC_HASDEFID);
        return MAKELRESULT(GetDlgCtrlID(buttons_[static_cast<std::size_t>(focused)]), DC_HASDEFID);
    }
    case WM_COMMAND: {
        if (closed_)
            return 0;
        HWND from = reinterpret_cast<HWND>(lParam);
        if (!from && LOWORD(wParam) == IDOK) {
            from = GetFocus();
            if (!from || GetParent(from) != window_)
                return 0;
        } else if (!from && LOWORD(wParam) == IDCANCEL) {
            CloseRequested();
            return 0;
        }
        if (HIWORD(wParam) != BN_CLICKED || !from || GetParent(from) != window_)
            return 0;
        const int id = GetDlgCtrlID(from);
        if (id >= 0 && id <= CantContinueId)
            Command(id, from);
        return 0;
    }
    case WM_TIMER:
        if (wParam == CountdownTimerId)
            Timer();
        return 0;
    case WM_DRAWITEM: {
        const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item.CtlID == IconId) {
            DrawIcon(item.hDC, item.rcItem);
            return TRUE;
        }
        const int id = static_cast<int>(item.CtlID);
        if (id > CantContinueId)
            break;
        if (item.itemState & ODS_SELECTED) {
            // A press by the mouse: the command that follows shows no extra press.
            lastPressed_[static_cast<std::size_t>(std::min(id, ActionCount))] = GetTickCount();
            StopCountdown();
        }
        DrawButton(item.hDC, item.hwndItem, id, item.itemState, item.rcItem);
        return TRUE;
    }
    case WM_NOTIFY:
        if (details_) {
            LRESULT result = 0;
            if (details_->Notify(*reinterpret_cast<const NMHDR*>(lParam), result))
                return result;
        }
        return 0;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        if (created_.cx > 0) {
            info->ptMinTrackSize.x = created_.cx;
            info->ptMinTrackSize.y = created_.cy;
        }
        return 0;
    }
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED)
            Resized(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_CTLCOLORSTATIC:
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case ReportUpdatedMessage:
        if (wParam == ReportUpdatedWParam && lParam == ReportUpdatedLParam && details_ && !closed_)
            details_->UpdateDetailsTabs();
        return 0;
    }
    return DefWindowProcA(window_, message, wParam, lParam);
}

}  // namespace

ComPtr<IHxExceptionBox> CreateExceptionBox(IVQException* exception, bool plainStyle, bool styleIsTwo, bool beep)
{
    if (!exception)
        return nullptr;
    ComPtr<TExceptionBox> box;
    try {
        box = new TExceptionBox(exception, plainStyle, styleIsTwo);
    } catch (...) {
        return nullptr;
    }
    if (!box->Create(beep))
        return nullptr;
    return box;
}
