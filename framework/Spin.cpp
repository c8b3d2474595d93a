#include "Spin.h"

#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstring>

namespace {

// The whole text as a decimal number (surrounding blanks allowed).
bool ParseNumber(const std::string& text, long long& value) {
    const std::string trimmed = Trim(text);
    if (trimmed.empty())
        return false;
    const char* end = trimmed.data() + trimmed.size();
    auto [stop, error] = std::from_chars(trimmed.data(), end, value);
    return error == std::errc() && stop == end;
}

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Text that is a number or on its way to one: digits after an optional '-'.
bool IsNumberInProgress(const std::string& text, bool negative) {
    size_t start = 0;
    if (!text.empty() && text[0] == '-') {
        if (!negative)
            return false;
        start = 1;
    }
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(start), text.end(), IsDigit);
}

// The text on the clipboard; empty when there is none or it cannot be read.
std::string ClipboardText(HWND owner) {
    if (!OpenClipboard(owner))
        return {};
    struct TClose {
        ~TClose() { CloseClipboard(); }
    } close;
    HANDLE data = GetClipboardData(CF_TEXT);
    if (!data)
        return {};
    struct TLock {
        explicit TLock(HANDLE memory) : memory_(memory), text_(static_cast<const char*>(GlobalLock(memory))) {}
        ~TLock() {
            if (text_)
                GlobalUnlock(memory_);
        }
        HANDLE memory_;
        const char* text_;
    } lock(data);
    if (!lock.text_)
        return {};
    return std::string(lock.text_, strnlen(lock.text_, GlobalSize(data)));
}

}  // namespace

const TClassInfo& TSpinEdit::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TSpinEdit::Value, &TSpinEdit::SetValue>("Value").WithDefault(0),
        Prop<&TSpinEdit::MinValue, &TSpinEdit::SetMinValue>("MinValue").WithDefault(0),
        Prop<&TSpinEdit::MaxValue, &TSpinEdit::SetMaxValue>("MaxValue").WithDefault(0),
        Prop<&TSpinEdit::Increment, &TSpinEdit::SetIncrement>("Increment").WithDefault(1),
        Prop<&TSpinEdit::EditorEnabled, &TSpinEdit::SetEditorEnabled>("EditorEnabled").WithDefault(true),
    };
    static const TClassInfo info = MakeClassInfo<TSpinEdit, TCustomEdit>("TSpinEdit", props);
    return info;
}

TSpinEdit::TSpinEdit(TComponent* owner) : TCustomEdit(owner) { SetText("0"); }

int TSpinEdit::CheckValue(long long value) const {
    value = std::clamp<long long>(value, INT_MIN, INT_MAX);
    if (maxValue_ > minValue_)
        value = std::clamp<long long>(value, minValue_, maxValue_);
    return static_cast<int>(value);
}

int TSpinEdit::Value() const {
    long long value;
    if (!ParseNumber(GetText(), value))
        value = minValue_;
    return CheckValue(value);
}

void TSpinEdit::SetValue(int value) { SetText(IntToStr(CheckValue(value))); }

// The text is not rewritten here: Value reads it clamped, and the next step, SetValue or
// leaving the control writes it.
void TSpinEdit::SetMinValue(int value) { minValue_ = value; }
void TSpinEdit::SetMaxValue(int value) { maxValue_ = value; }

void TSpinEdit::UpClick() { SetValue(CheckValue(static_cast<long long>(Value()) + increment_)); }
void TSpinEdit::DownClick() { SetValue(CheckValue(static_cast<long long>(Value()) - increment_)); }

bool TSpinEdit::NegativeAllowed() const { return minValue_ < 0 || maxValue_ <= minValue_; }

bool TSpinEdit::IsValidChar(char key) const {
    const auto code = static_cast<unsigned char>(key);
    if (!editorEnabled_)
        return code == 3;  // Ctrl+C copies, nothing else edits
    if (code < ' ')
        return true;  // backspace and the editing shortcuts
    // Digits, and one sign in front: checked on the text the key would make.
    return (IsDigit(key) || key == '-') && AcceptsReplacement(std::string(1, key));
}

bool TSpinEdit::AcceptsReplacement(const std::string& inserted) const {
    std::string text = GetText();
    const size_t start = std::min(static_cast<size_t>(SelStart()), text.size());
    const size_t length = std::min(static_cast<size_t>(SelLength()), text.size() - start);
    text.replace(start, length, inserted);
    return IsNumberInProgress(text, NegativeAllowed());
}

void TSpinEdit::CreateWnd() {
    TCustomEdit::CreateWnd();
    upDown_ = CreateWindowExA(0, UPDOWN_CLASSA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, WindowHandle(), nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    if (!upDown_)
        RaiseLastOSError();
    // Lower bound below the upper: the upper arrow reports a positive step. The position itself
    // never moves (each step is refused), Value is the truth.
    SendMessageA(upDown_, UDM_SETRANGE32, 0, 1);
    PlaceButton();
}

void TSpinEdit::PlaceButton() {
    if (!upDown_)
        return;
    TRect client;
    GetClientRect(WindowHandle(), &client);
    const int width = GetSystemMetrics(SM_CXVSCROLL);
    MoveWindow(upDown_, client.right - width, 0, width, client.bottom, TRUE);
    SendMessageA(WindowHandle(), EM_SETMARGINS, EC_RIGHTMARGIN, MAKELONG(0, width));
}

void TSpinEdit::KeyDown(WORD& key, TShiftState shift) {
    TFreeWatch watch(*this);
    TCustomEdit::KeyDown(key, shift);
    if (watch.Freed())
        return;
    switch (key) {
    case VK_UP:
    case VK_DOWN:
        if (!ReadOnly())
            key == VK_UP ? UpClick() : DownClick();
        key = 0;
        break;
    // The edit pastes on Shift+Insert and cuts on Shift+Delete without WM_PASTE or WM_CUT:
    // those messages go instead, through the checks in WndProc.
    case VK_INSERT:
        if (shift.Contains(ssShift) && !shift.Contains(ssCtrl)) {
            key = 0;
            SendMessageA(WindowHandle(), WM_PASTE, 0, 0);
        }
        break;
    case VK_DELETE:
        if (shift.Contains(ssShift)) {
            key = 0;
            SendMessageA(WindowHandle(), WM_CUT, 0, 0);
        } else if (!editorEnabled_) {
            key = 0;
        }
        break;
    default:
        break;
    }
}

void TSpinEdit::KeyPress(char& key) {
    if (!IsValidChar(key)) {
        key = 0;
        MessageBeep(0);
        return;
    }
    TCustomEdit::KeyPress(key);
}

void TSpinEdit::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_NOTIFY: {
        auto header = reinterpret_cast<const NMHDR*>(message.LParam);
        if (!upDown_ || header->hwndFrom != upDown_)
            break;
        if (header->code == UDN_DELTAPOS) {
            if (!ReadOnly())
                reinterpret_cast<const NMUPDOWN*>(message.LParam)->iDelta > 0 ? UpClick() : DownClick();
            message.Result = 1;
        }
        return;
    }
    case WM_VSCROLL:
        if (upDown_ && reinterpret_cast<HWND>(message.LParam) == upDown_) {
            message.Result = 0;
            return;
        }
        break;
    case WM_SIZE:
    case WM_SETFONT:  // a new font resets the margins
        TCustomEdit::WndProc(message);
        PlaceButton();
        return;
    case WM_DESTROY:
        upDown_ = nullptr;  // destroyed with this window
        break;
    case WM_PASTE:
        if (!editorEnabled_ || !AcceptsReplacement(ClipboardText(WindowHandle()))) {
            MessageBeep(0);
            message.Result = 0;
            return;
        }
        break;
    case WM_CUT:
    case WM_CLEAR:
        if (!editorEnabled_) {
            message.Result = 0;
            return;
        }
        break;
    case CM_EXIT: {
        TCustomEdit::WndProc(message);
        const std::string normal = IntToStr(Value());
        if (GetText() != normal)
            SetText(normal);
        return;
    }
    default:
        break;
    }
    TCustomEdit::WndProc(message);
}
