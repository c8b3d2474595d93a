#include "hxNVAssistantWindow.h"

#include "hxNVAssistant.h"

#include <algorithm>
#include <array>
#include <cstdlib>

using Microsoft::WRL::ComPtr;

namespace {

HINSTANCE Instance()
{
    return GetModuleHandleA(nullptr);
}

COLORREF Sys(int index)
{
    return GetSysColor(index);
}

RECT Shrunk(RECT r, int by)
{
    InflateRect(&r, -by, -by);
    return r;
}

// Each channel of the colour less the step's channel, floored at 0.
COLORREF Darker(COLORREF color, COLORREF step)
{
    auto channel = [](COLORREF c, COLORREF s, int shift) {
        const int v = static_cast<int>((c >> shift) & 0xFF) - static_cast<int>((s >> shift) & 0xFF);
        return static_cast<COLORREF>(std::max(v, 0)) << shift;
    };
    return channel(color, step, 0) | channel(color, step, 8) | channel(color, step, 16);
}

SIZE TextSize(HDC dc, const std::string& text)
{
    SIZE size{0, 0};
    if (!GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size))
        size = {0, 0};
    return size;
}

// The text in white at the eight neighbouring offsets, then in its colour.
void HaloText(HDC dc, int x, int y, const std::string& text, COLORREF color, bool halo)
{
    SetBkMode(dc, TRANSPARENT);
    const int n = static_cast<int>(text.size());
    if (halo) {
        SetTextColor(dc, RGB(255, 255, 255));
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (dx || dy)
                    TextOutA(dc, x + dx, y + dy, text.c_str(), n);
    }
    SetTextColor(dc, color);
    TextOutA(dc, x, y, text.c_str(), n);
}

void CentredText(HDC dc, const RECT& r, const std::string& text, COLORREF color, bool halo)
{
    const SIZE size = TextSize(dc, text);
    HaloText(dc, r.left + (r.right - r.left - size.cx) / 2, r.top + (r.bottom - r.top - size.cy) / 2, text, color,
             halo);
}

void DottedFrame(HDC dc, const RECT& r, COLORREF color, COLORREF background)
{
    TGdiPtr<HPEN> pen(CreatePen(PS_DOT, 1, color));
    const HGDIOBJ oldPen = SelectObject(dc, pen.get());
    const HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, background);
    Rectangle(dc, r.left, r.top, r.right, r.bottom);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
}

LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto form = reinterpret_cast<TNVForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!form || form->Window != window)
        return DefWindowProcA(window, message, wParam, lParam);
    try {
        return form->WindowProc(message, wParam, lParam);
    } catch (...) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool IsStandardButton(const TNVItem* item)
{
    return item && item->Index < 3;
}

bool IsFieldCaption(const TNVItem* item)
{
    return item && item->Kind() == TNVItemKind::Label && static_cast<const TNVLabel*>(item)->IsFieldCaption();
}

}  // namespace

COLORREF ShiftFaceColor(COLORREF face, COLORREF d, bool add) noexcept
{
    auto apply = [&](bool plus, int& bounded) {
        COLORREF result = 0;
        bounded = 0;
        for (int shift = 0; shift <= 16; shift += 8) {
            int v = static_cast<int>((face >> shift) & 0xFF);
            const int dv = static_cast<int>((d >> shift) & 0xFF);
            v = plus ? v + dv : v - dv;
            if (v >= 255 || v <= 0)
                ++bounded;
            result |= static_cast<COLORREF>(std::clamp(v, 0, 255)) << shift;
        }
        return result;
    };
    int bounded = 0;
    const COLORREF result = apply(add, bounded);
    if (bounded < 2)
        return result;
    return apply(!add, bounded);
}

COLORREF LightFace(COLORREF face) noexcept
{
    return 0xFFFFFF - ((0xFFFFFF - (face & 0xFFFFFF)) & 0xFEFEFE) / 2;
}

HFONT CreateAssistantFont(const char* name, int size, bool bold) noexcept
{
    return CreateFontA(-size, 0, 0, 0, bold ? 700 : 400, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, name);
}

// ---- Items: controls and layout ----

void TNVItem::CreateControl(const char* className, const std::string& text, DWORD style)
{
    if (!Form || !Form->Window)
        return;
    const DWORD fullStyle = WS_CHILD | style | (TabStop ? WS_TABSTOP : 0);
    Handle = CreateWindowExA(0, className, text.c_str(), fullStyle, Bounds.left, Bounds.top,
                             Bounds.right - Bounds.left, Bounds.bottom - Bounds.top, Form->Window,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstItemId + Index)), Instance(), nullptr);
    if (Handle && (!Enabled || Locked))
        EnableWindow(Handle, FALSE);
}

void TNVItem::Layout(int, int& y, HDC)
{
    y = Bounds.bottom;
    if (Handle && Form) {
        SendMessageA(Handle, WM_SETFONT, reinterpret_cast<WPARAM>(Form->Font.get()), FALSE);
        ShowWindow(Handle, SW_SHOWNA);
    }
    if (Spacing != 0) {
        y += Spacing;
        return;
    }
    if (!Form || Index == static_cast<int>(Form->Items.size()) - 1)
        return;
    if (IsFieldCaption(this)) {
        y += 4;
        return;
    }
    const TNVItemKind kind = Kind();
    if (Next && Next->Kind() == kind) {
        y += kind == TNVItemKind::Button ? 4 : kind == TNVItemKind::Edit ? 6 : 8;
        return;
    }
    if (Next && IsFieldCaption(Next) && IsFieldCaption(Prev) && Next->Next && Next->Next->Kind() == kind &&
        Next->Next->Index > Index) {
        y += 8;
        return;
    }
    y += 12;
}

void TNVButton::Layout(int x, int& y, HDC dc)
{
    SIZE size = TextSize(dc, GetCaption());
    if (size.cy == 0)
        size.cy = 13;
    Bounds = {x, y, x + std::max<int>(size.cx + 32, MinWidth), y + size.cy + 12};
    TabStop = true;
    CreateControl("Button", GetCaption(), BS_NOTIFY | (NoOwnerDraw ? 0 : BS_OWNERDRAW));
    TNVItem::Layout(x, y, dc);
}

void TNVLabel::Layout(int x, int& y, HDC dc)
{
    y -= 2;
    const std::string caption = GetCaption();
    RECT r{0, 0, Form ? Form->Width - 46 : 100, 0};
    DrawTextA(dc, caption.c_str(), -1, &r, DT_CALCRECT | DT_WORDBREAK);
    RECT line{0, 0, 0, 0};
    DrawTextA(dc, caption.c_str(), -1, &line, DT_CALCRECT | DT_SINGLELINE);
    const char last = caption.empty() ? '\0' : caption.back();
    fieldCaption_ = (last == ':' || last == '?') && r.bottom == line.bottom;
    Bounds = {x, y, x + r.right, y + r.bottom};
    TabStop = false;
    CreateControl("Static", caption, 0);
    TNVItem::Layout(x, y, dc);
}

void TNVEdit::Layout(int x, int& y, HDC dc)
{
    const int width = Form ? Form->Width - 46 : 100;
    int line = TextSize(dc, "Gg").cy;
    if (line <= 0)
        line = 13;
    const int height = (Lines > 1 ? line * Lines : line) + 2;
    Bounds = {x + 2, y + 2, x + 2 + width, y + 2 + height};
    TabStop = true;
    CreateControl("Edit", Text,
                  Lines > 1 ? ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL : ES_AUTOHSCROLL);
    InflateRect(&Bounds, 2, 2);
    TNVItem::Layout(x, y, dc);
}

void TNVCheckBox::Layout(int x, int& y, HDC dc)
{
    const SIZE size = TextSize(dc, Caption);
    Bounds = {x, y, x + size.cx + GetSystemMetrics(SM_CXMENUCHECK) + 8,
              y + std::max<int>(size.cy, GetSystemMetrics(SM_CYMENUCHECK))};
    TabStop = true;
    CreateControl("Button", Caption, BS_NOTIFY | BS_OWNERDRAW);
    if (Handle && Checked)
        SendMessageA(Handle, BM_SETCHECK, 1, 0);
    TNVItem::Layout(x, y, dc);
}

void TNVImage::Layout(int x, int& y, HDC dc)
{
    const int m = Margin();
    if (!Bitmap && !File.empty())
        Bitmap = LoadBitmapFile(File);
    int w = Bounds.right - Bounds.left, h = Bounds.bottom - Bounds.top;
    if (w <= 0)
        w = Bitmap ? Bitmap->GetWidth() : 32;
    if (h <= 0)
        h = Bitmap ? Bitmap->GetHeight() : 32;
    w = std::max(1, std::min(w, (Form ? Form->Width : 315) - 42 - m));
    h = std::max(1, std::min(h, GetSystemMetrics(SM_CYSCREEN) / 3));
    if (Bitmap && (Bitmap->GetWidth() != w || Bitmap->GetHeight() != h)) {
        if (TNVBitmapPtr resized = Bitmap->Resize(w, h)) {
            Bitmap = resized;
            w = Bitmap->GetWidth();
            h = Bitmap->GetHeight();
        }
    }
    Bounds = {x, y, x + w + m, y + h + m};
    TabStop = false;
    TNVItem::Layout(x, y, dc);
}

// ---- Items: painting ----

void TNVEdit::Paint(HDC dc)
{
    const COLORREF face = Sys(COLOR_BTNFACE);
    if (!Handle || GetFocus() != Handle) {
        FillSolid(dc, Bounds, LightFace(face));
        return;
    }
    RECT grown = Bounds;
    InflateRect(&grown, 1, 1);
    FillSolid(dc, grown, Sys(COLOR_BTNSHADOW));
    FillSolid(dc, grown.left, grown.bottom - 1, grown.right, grown.bottom, Sys(COLOR_WINDOW));
    FillSolid(dc, grown.right - 1, grown.top, grown.right, grown.bottom, Sys(COLOR_WINDOW));
    FillSolid(dc, Bounds, face);
    FillSolid(dc, Shrunk(Bounds, 1), Sys(COLOR_WINDOW));
}

void TNVImage::Paint(HDC dc)
{
    const COLORREF face = Sys(COLOR_BTNFACE);
    RECT r = Bounds;
    if (Clickable) {
        const COLORREF light = LightFace(face);
        FillSolid(dc, r.left, r.top, r.right, r.top + 2, light);
        FillSolid(dc, r.left, r.bottom - 2, r.right, r.bottom, light);
        FillSolid(dc, r.left, r.top, r.left + 2, r.bottom, light);
        FillSolid(dc, r.right - 2, r.top, r.right, r.bottom, light);
        r = Shrunk(r, 3);
    }
    if (!Bitmap) {
        FillSolid(dc, r, face);
        return;
    }
    if (Border) {
        TGdiPtr<HBRUSH> brush(CreateSolidBrush(Sys(COLOR_WINDOWTEXT)));
        FrameRect(dc, &r, brush.get());
        r = Shrunk(r, 1);
    }
    const int right = r.left + Bitmap->GetWidth(), bottom = r.top + Bitmap->GetHeight();
    if (right < r.right)
        FillSolid(dc, right, r.top, r.right, r.bottom, face);
    if (bottom < r.bottom)
        FillSolid(dc, r.left, bottom, std::min<int>(right, r.right), r.bottom, face);
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
    Bitmap->Draw(dc, r.left, r.top);
    RestoreDC(dc, saved);
}

void TNVButton::Draw(HDC dc, UINT state, const RECT& rect)
{
    COLORREF frame = 0x8080A0, step = 0x020201;
    if (Index == 0) {
        frame = 0x80A080;
        step = 0x020102;
    } else if (Index == 1) {
        frame = 0xA08080;
        step = 0x010202;
    }
    const COLORREF face = Sys(COLOR_BTNFACE);
    const HGDIOBJ oldFont = SelectObject(dc, Form->ButtonFont.get());
    if (state & ODS_DISABLED) {
        const COLORREF inner = ShiftFaceColor(face, 0x101010, true);
        COLORREF caption = ShiftFaceColor(face, 0x141414, false);
        // On a light face both shifts turn dark and the caption vanishes in the fill.
        if (std::abs(static_cast<int>(GetGValue(caption)) - static_cast<int>(GetGValue(inner))) < 0x30)
            caption = Sys(COLOR_GRAYTEXT);
        FillSolid(dc, rect, face);
        FillSolid(dc, Shrunk(rect, 2), inner);
        CentredText(dc, rect, GetCaption(), caption, false);
    } else if (state & ODS_FOCUS) {
        FillSolid(dc, rect, Sys(COLOR_WINDOWTEXT));
        const COLORREF growth = 3 * (0x020202 - step);
        COLORREF c = 0;
        for (int y = rect.bottom - 3; y >= rect.top + 2; --y) {
            FillSolid(dc, rect.left + 2, y, rect.right - 2, y + 1, c);
            c = std::min<COLORREF>(c + growth, 0xFFFFFF);  // no channel carries over in a button's height
        }
        DottedFrame(dc, Shrunk(rect, 3), frame, c);
        CentredText(dc, rect, GetCaption(), Sys(COLOR_WINDOW), false);
    } else {
        FillSolid(dc, rect, Sys(COLOR_BTNSHADOW));
        FillSolid(dc, Shrunk(rect, 2), face);
        COLORREF c = 0xFFFFFF;
        for (int y = rect.top + 3; y <= rect.bottom - 4; ++y) {
            FillSolid(dc, rect.left + 3, y, rect.right - 3, y + 1, c);
            if (y % 2 != 0)
                c = Darker(c, step);
        }
        CentredText(dc, rect, GetCaption(), Sys(COLOR_WINDOWTEXT), true);
    }
    SelectObject(dc, oldFont);
}

void TNVCheckBox::Draw(HDC dc, UINT state, const RECT& rect)
{
    const COLORREF face = Sys(COLOR_BTNFACE);
    const bool disabled = (state & ODS_DISABLED) != 0;
    FillSolid(dc, rect, face);
    const int side = rect.bottom - rect.top;
    const RECT box{rect.left, rect.top, rect.left + side, rect.bottom};
    const RECT text{box.right + 4, rect.top, rect.right - 2, rect.bottom};
    FillSolid(dc, box, LightFace(face));
    FillSolid(dc, Shrunk(box, 2), (state & ODS_SELECTED) || disabled ? face : Sys(COLOR_WINDOW));
    SetBkMode(dc, TRANSPARENT);
    if (Checked) {
        const HGDIOBJ old = SelectObject(dc, Form->MarkFont.get());
        SetTextColor(dc, Sys(disabled ? COLOR_BTNSHADOW : COLOR_WINDOWTEXT));
        TextOutA(dc, box.left + (side - 13) / 2 + 1, box.top + (side - 13) / 2, "a", 1);
        SelectObject(dc, old);
    }
    const HGDIOBJ old = SelectObject(dc, Form->Font.get());
    const int top = rect.top + (side - TextSize(dc, Caption).cy) / 2;
    if (disabled) {
        HaloText(dc, text.left + 2, top + 1, Caption, Sys(COLOR_WINDOW), false);
        HaloText(dc, text.left + 1, top, Caption, Sys(COLOR_BTNSHADOW), false);
    } else {
        HaloText(dc, text.left + 1, top, Caption, Sys(COLOR_WINDOWTEXT), false);
    }
    SelectObject(dc, old);
    if (state & ODS_FOCUS) {
        SetBkColor(dc, face);
        SetTextColor(dc, Sys(COLOR_WINDOWTEXT));
        DrawFocusRect(dc, &text);
    }
}

// ---- The form window ----

namespace {

void MeasureButton(TNVButton* button, HDC dc)
{
    const int height = button->NoOwnerDraw ? 28 : 32;
    const int width = std::max<int>(TextSize(dc, button->GetCaption()).cx + 20, 85);
    button->Bounds = {0, 0, width, height};
}

}  // namespace

void TNVButton::CreateStandard(int x)
{
    const int width = Bounds.right - Bounds.left, height = Bounds.bottom - Bounds.top;
    Bounds = {x, Form->Height - height - 9, x + width, Form->Height - 9};
    TabStop = true;
    Locked = false;
    CreateControl("Button", GetCaption(), WS_VISIBLE | BS_NOTIFY | (NoOwnerDraw ? 0 : BS_OWNERDRAW));
    if (Handle)
        SendMessageA(Handle, WM_SETFONT, reinterpret_cast<WPARAM>(Form->Font.get()), FALSE);
}

void TNVForm::MoveFocus(TNVItem* start, bool backwards)
{
    if (!start)
        return;
    for (TNVItem* item = backwards ? start->Prev : start->Next; item && item != start;
         item = backwards ? item->Prev : item->Next) {
        if (item->TabStop && item->Enabled && item->Handle && IsWindowEnabled(item->Handle)) {
            item->SetFocus();
            return;
        }
    }
}

void TNVForm::UpdateContinueLock()
{
    bool locked = false;
    for (std::size_t i = 3; i < Items.size() && !locked; ++i)
        locked = !Items[i]->IsValid();
    TNVButton* continueButton = StandardButton(0);
    continueButton->Locked = locked;
    continueButton->UpdateWindowEnabled();
}

int TNVForm::ShowModal(HWND parent)
{
    if (Window)
        return 0;  // already showing
    ComPtr<INVForm> self(this);
    const bool disabledParent = parent && IsWindowEnabled(parent);
    if (disabledParent)
        EnableWindow(parent, FALSE);

    WNDCLASSA cls{};
    cls.style = 0xC0;
    cls.lpfnWndProc = DefWindowProcA;
    cls.hInstance = Instance();
    cls.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = kAssistantWindowClass;
    RegisterClassA(&cls);  // fails harmlessly when it exists

    ModalResult = 0;
    HWND window = CreateWindowExA(WS_EX_DLGMODALFRAME, kAssistantWindowClass, Title.c_str(), WS_CAPTION | WS_SYSMENU,
                                  0, 0, 200, 200, parent, nullptr, Instance(), nullptr);
    if (!window) {
        if (disabledParent)
            EnableWindow(parent, TRUE);
        return 0;
    }
    Window = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FormWindowProc));
    if (HMENU menu = GetSystemMenu(window, FALSE))
        for (UINT command : {SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE, SC_SIZE})
            DeleteMenu(menu, command, MF_BYCOMMAND);

    ButtonFont.reset(CreateAssistantFont("Arial", 15, false));
    BoldFont.reset(CreateAssistantFont("Arial", 15, true));
    Font.reset(CreateAssistantFont("MS Sans Serif", 12, false));
    MarkFont.reset(CreateAssistantFont("Marlett", 13, false));

    TMemoryDc dc(CreateCompatibleDC(nullptr));
    const HGDIOBJ originalFont = SelectObject(dc.get(), ButtonFont.get());
    int buttons = 0;
    for (int i = 0; i < 3; ++i) {
        MeasureButton(StandardButton(i), dc.get());
        buttons += StandardButton(i)->Bounds.right;
    }
    SelectObject(dc.get(), BoldFont.get());
    const int header = TextSize(dc.get(), Message).cx + StepCount * 19 + 36;
    Width = std::max({buttons + 32, 315, MinWidth, header});

    SelectObject(dc.get(), Font.get());
    int y = kFirstItemTop;
    for (std::size_t i = 3; i < Items.size() && Window; ++i) {
        ComPtr<TNVItem> item = Items[i];
        item->Layout(kItemLeft, y, dc.get());
    }
    SelectObject(dc.get(), originalFont);
    dc.reset();

    TNVButton* continueButton = StandardButton(0);
    TNVButton* skipButton = StandardButton(1);
    TNVButton* abortButton = StandardButton(2);
    Height = continueButton->Bounds.bottom + y + 33;
    continueButton->CreateStandard(8);
    skipButton->CreateStandard(continueButton->Bounds.right + 8);
    abortButton->CreateStandard(Width - 8 - (abortButton->Bounds.right - abortButton->Bounds.left));
    UpdateContinueLock();

    TNVItem* active = nullptr;
    for (const auto& item : Items)
        if (!ActiveControl.empty() && item->Name == ActiveControl) {
            active = item.Get();
            break;
        }
    if (active)
        active->SetFocus();
    else
        MoveFocus(abortButton, false);
    SavedFocus = GetFocus();

    RECT windowRect, clientRect;
    GetWindowRect(window, &windowRect);
    GetClientRect(window, &clientRect);
    const int frameWidth = (windowRect.right - windowRect.left) - (clientRect.right - clientRect.left);
    const int frameHeight = (windowRect.bottom - windowRect.top) - (clientRect.bottom - clientRect.top);
    SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - Width - frameWidth) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - Height - frameHeight) / 2, Width + frameWidth, Height + frameHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);

    FireAction(nvaShow, nullptr);
    if (Window) {
        ShowWindow(window, SW_SHOWNORMAL);
        if (IsIconic(window))
            ShowWindow(window, SW_RESTORE);
        BringWindowToTop(window);
        SetForegroundWindow(window);
        if (Timer != 0)
            SetTimer(window, kAssistantTimerId, static_cast<UINT>(Timer), nullptr);
    }

    MSG msg;
    while (Window && IsWindow(Window)) {
        const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1)
            break;
        if (got == 0) {
            // The program is ending: leave the quit message for its own loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        const bool ours = msg.hwnd == Window || IsChild(Window, msg.hwnd);
        TNVItem* source = ItemOfWindow(msg.hwnd);
        if (ours && msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
            TNVButton* abort = StandardButton(2);
            if (abort->Handle && IsWindowEnabled(abort->Handle)) {
                ModalResult = 3;
                msg.hwnd = Window;
                msg.message = WM_CLOSE;
                msg.wParam = 0;
                msg.lParam = 0;
                DispatchMessageA(&msg);
                continue;
            }
            // Without Abort, Escape must not end the form: a multi-line edit would close it.
            continue;
        }
        if (ours && ((msg.message == WM_CHAR && msg.wParam == '\t') ||
                     (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB))) {
            MoveFocus(source ? source : StandardButton(2), GetKeyState(VK_SHIFT) < 0);
            continue;
        }
        if (source && msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN && source->Kind() != TNVItemKind::Button &&
            !(source->Kind() == TNVItemKind::Edit && static_cast<TNVEdit*>(source)->Lines > 1)) {
            MoveFocus(source, false);
            continue;
        }
        if (!IsDialogMessageA(Window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (Window && IsWindow(Window))
        DestroyWindow(Window);  // the loop ended early: the window goes with it
    if (disabledParent) {
        EnableWindow(parent, TRUE);
        SetActiveWindow(parent);
    }
    return ModalResult;
}

LRESULT TNVForm::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND window = Window;
    switch (message) {
    case WM_ERASEBKGND: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const COLORREF face = Sys(COLOR_BTNFACE);
        RECT client;
        GetClientRect(window, &client);
        FillSolid(dc, client, ShiftFaceColor(face, 0x080808, true));
        const int panelBottom = StandardButton(0)->Bounds.top - 9;
        FillSolid(dc, 8, 25, Width - 8, panelBottom, face);
        DottedFrame(dc, RECT{8, 25, Width - 8, panelBottom}, ShiftFaceColor(face, 0x101010, false), face);
        const HGDIOBJ old = SelectObject(dc, BoldFont.get());
        HaloText(dc, 11, 6, Message, Sys(COLOR_3DDKSHADOW), true);
        const int x0 = Width - 29 - (StepCount - StepIndex) * 19;
        FillSolid(dc, x0, 2, x0 + 21, 23, Sys(COLOR_BTNSHADOW));
        FillSolid(dc, x0 + 2, 4, x0 + 19, 8, Sys(COLOR_WINDOW));
        for (int r = 7; r <= 19; ++r)
            FillSolid(dc, x0 + 2, r, x0 + 19, r + 2,
                      Darker(Sys(COLOR_WINDOW), static_cast<COLORREF>(r - 7) * 0x020202));
        for (int step = 1; step <= StepCount; ++step) {
            const int x = Width - 3 - StepCount * 19 + (step - 1) * 19;
            const bool current = step == StepIndex;
            HaloText(dc, x, 4, std::to_string(step), Sys(current ? COLOR_WINDOWTEXT : COLOR_BTNSHADOW), current);
        }
        SelectObject(dc, old);
        return 1;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        for (const auto& item : Items)
            item->Paint(dc);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_DRAWITEM: {
        const auto* draw = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        TNVItem* item = draw ? ItemOfWindow(draw->hwndItem) : nullptr;
        if (!item)
            break;
        item->Draw(draw->hDC, draw->itemState, draw->rcItem);
        return TRUE;
    }
    case WM_CTLCOLOREDIT: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, 0x008000);
        SetBkColor(dc, Sys(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_COMMAND: {
        const LRESULT result = DefWindowProcA(window, message, wParam, lParam);
        const WORD code = HIWORD(wParam);
        HWND control = reinterpret_cast<HWND>(lParam);
        TNVItem* item = ItemOfWindow(control);
        if (item && (code == EN_SETFOCUS || code == EN_KILLFOCUS)) {
            RECT r;
            GetWindowRect(control, &r);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
            InflateRect(&r, 3, 3);
            const std::array<RECT, 4> strips{RECT{r.left, r.top, r.right, r.top + 3},
                                             RECT{r.left, r.bottom - 3, r.right, r.bottom},
                                             RECT{r.left, r.top, r.left + 3, r.bottom},
                                             RECT{r.right - 3, r.top, r.right, r.bottom}};
            for (const RECT& strip : strips)
                InvalidateRect(window, &strip, TRUE);
        } else if (item && code == BN_SETFOCUS) {
            const LONG style = GetWindowLongA(control, GWL_STYLE) & 0xFFFF;
            PostMessageA(control, BM_SETSTYLE, static_cast<WPARAM>(style | BS_DEFPUSHBUTTON), TRUE);
        } else if (item && code == EN_CHANGE) {
            ComPtr<INVItem> held(item);
            FireAction(nvaItemEvent, item);
            UpdateContinueLock();
        } else if ((item && code == BN_CLICKED) || (!control && wParam == IDOK)) {
            if (!control) {
                TNVItem* focused = ItemOfWindow(GetFocus());
                item = IsStandardButton(focused) ? focused : nullptr;
            }
            if (!item || (item->Handle && !IsWindowEnabled(item->Handle)))
                return result;
            ComPtr<INVItem> held(item);
            if (item->Kind() == TNVItemKind::CheckBox) {
                auto box = static_cast<TNVCheckBox*>(item);
                box->SetChecked(!box->Checked);
            }
            FireAction(nvaItemEvent, item);
            if (IsStandardButton(item) && Window) {
                KillTimer(Window, kAssistantTimerId);
                ModalResult = static_cast<std::uint8_t>(item->Index + 1);
                if (item->Index == 0)
                    for (const auto& each : Items)
                        if (each->Kind() == TNVItemKind::Edit) {
                            static_cast<TNVEdit*>(each.Get())->GetText();
                            each->Handle = nullptr;
                        }
                FireAction(nvaClose, nullptr);
                if (Window)
                    DestroyWindow(Window);
            }
        }
        return result;
    }
    case WM_TIMER:
        if (wParam == kAssistantTimerId) {
            FireAction(nvaItemEvent, nullptr);
            return 0;
        }
        break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_SETCURSOR: {
        POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (message == WM_SETCURSOR) {
            if (LOWORD(lParam) != HTCLIENT || !IsWindowEnabled(window))
                break;
            GetCursorPos(&p);
            ScreenToClient(window, &p);
        }
        TNVItem* hit = nullptr;
        for (const auto& item : Items)
            if (item->Kind() == TNVItemKind::Image && static_cast<TNVImage*>(item.Get())->Clickable &&
                item->Bounds.left < p.x && p.x <= item->Bounds.right && item->Bounds.top < p.y &&
                p.y <= item->Bounds.bottom)
                hit = item.Get();
        if (message == WM_SETCURSOR) {
            if (!hit)
                break;
            SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND)));
            return TRUE;
        }
        if (message == WM_LBUTTONDOWN) {
            if (hit) {
                SetCapture(window);
                CapturedItem = hit;
            }
            return 0;
        }
        TNVItem* captured = CapturedItem;
        CapturedItem = nullptr;
        if (captured) {
            ReleaseCapture();
            if (hit == captured) {
                ComPtr<INVItem> held(captured);
                FireAction(nvaItemEvent, captured);
            }
        }
        return 0;
    }
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(window, focus))
                SavedFocus = focus;
        } else if (SavedFocus && IsWindow(SavedFocus) && IsChild(window, SavedFocus)) {
            ::SetFocus(SavedFocus);
        }
        return 0;
    case WM_CLOSE:
        KillTimer(window, kAssistantTimerId);
        break;
    case WM_NCDESTROY:
        for (const auto& item : Items)
            item->Handle = nullptr;
        CapturedItem = nullptr;
        SavedFocus = nullptr;
        Window = nullptr;
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
