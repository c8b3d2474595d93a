#include "StdCtrls.h"

#include <algorithm>
#include <climits>
#include <numeric>
#include <utility>

namespace {

// A bordered edit or list box: a sunken client edge with Ctl3D, else a plain line.
void AddBorderStyle(TCreateParams& params, bool ctl3D) {
    if (ctl3D)
        params.ExStyle |= WS_EX_CLIENTEDGE;
    else
        params.Style |= WS_BORDER;
}

// Marks a control as being created while its new window is set up from the fields.
class TCreatingScope {
public:
    explicit TCreatingScope(TControl& control) : control_(control), old_(control.ControlState.Contains(csCreating)) {
        control_.ControlState.Include(csCreating);
    }
    ~TCreatingScope() {
        if (!old_)
            control_.ControlState.Exclude(csCreating);
    }
    TCreatingScope(const TCreatingScope&) = delete;
    TCreatingScope& operator=(const TCreatingScope&) = delete;

private:
    TControl& control_;
    bool old_;
};


// The height of a line of text in font (its cell height), on the screen.
int FontLineHeight(const TFont& font) {
    TWindowDc dc(nullptr);
    TSelection selection(dc.Get(), font.Handle());
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc.Get(), &metrics);
    return metrics.tmHeight;
}

// DrawText in the current font of dc. Disabled text is embossed as the system draws it: the
// highlight colour one pixel down and right, the shadow colour on top.
void DrawCaptionText(HDC dc, const std::string& text, TRect& rect, UINT flags, bool enabled, TColor color) {
    const int length = static_cast<int>(text.size());
    if (flags & DT_CALCRECT) {
        DrawTextA(dc, text.c_str(), length, &rect, flags);
        return;
    }
    int oldMode = SetBkMode(dc, TRANSPARENT);
    COLORREF oldColor;
    if (enabled) {
        oldColor = SetTextColor(dc, ColorToRGB(color));
        DrawTextA(dc, text.c_str(), length, &rect, flags);
    } else {
        OffsetRect(&rect, 1, 1);
        oldColor = SetTextColor(dc, ColorToRGB(clBtnHighlight));
        DrawTextA(dc, text.c_str(), length, &rect, flags);
        OffsetRect(&rect, -1, -1);
        SetTextColor(dc, ColorToRGB(clBtnShadow));
        DrawTextA(dc, text.c_str(), length, &rect, flags);
    }
    SetTextColor(dc, oldColor);
    SetBkMode(dc, oldMode);
}

// Orders lines as a sorted list or combo box does: case-insensitive, in the user's locale.
int CompareLines(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) -
           CSTR_EQUAL;
}

int ToIndex(WPARAM wParam) { return static_cast<int>(static_cast<INT_PTR>(wParam)); }

constexpr TCustomListControl::TListMessages kListBoxMessages{
    LB_ADDSTRING, LB_INSERTSTRING, LB_DELETESTRING, LB_RESETCONTENT,  LB_GETCOUNT,
    LB_GETCURSEL, LB_SETCURSEL,    LB_GETITEMHEIGHT, LB_SETITEMHEIGHT,
};

constexpr TCustomListControl::TListMessages kComboBoxMessages{
    CB_ADDSTRING, CB_INSERTSTRING, CB_DELETESTRING, CB_RESETCONTENT,  CB_GETCOUNT,
    CB_GETCURSEL, CB_SETCURSEL,    CB_GETITEMHEIGHT, CB_SETITEMHEIGHT,
};

}  // namespace

// ---- TCustomLabel, TLabel ---------------------------------------------------------------

const TClassInfo& TCustomLabel::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TCustomLabel::Alignment, &TCustomLabel::SetAlignment>("Alignment").WithDefault(taLeftJustify),
        Prop<&TCustomLabel::Layout, &TCustomLabel::SetLayout>("Layout").WithDefault(tlTop),
        Prop<&TCustomLabel::AutoSize, &TCustomLabel::SetAutoSize>("AutoSize").WithDefault(true),
        Prop<&TCustomLabel::WordWrap, &TCustomLabel::SetWordWrap>("WordWrap").WithDefault(false),
        Prop<&TCustomLabel::Transparent, &TCustomLabel::SetTransparent>("Transparent").WithDefault(false),
        Prop<&TCustomLabel::ShowAccelChar, &TCustomLabel::SetShowAccelChar>("ShowAccelChar").WithDefault(true),
        Prop<&TCustomLabel::FocusControl, &TCustomLabel::SetFocusControl>("FocusControl"),
        Prop<&TControl::ParentColor, &TControl::SetParentColor>("ParentColor").WithDefault(true),
    };
    static const TClassInfo info = MakeClassInfo<TCustomLabel, TGraphicControl>("TCustomLabel", props);
    return info;
}

const TClassInfo& TLabel::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TLabel, TCustomLabel>("TLabel", {});
    return info;
}

TCustomLabel::TCustomLabel(TComponent* owner) : TGraphicControl(owner) {
    SetParentColor(true);
    SetBounds(0, 0, 65, 17);
    AdjustBounds();
}

void TCustomLabel::SetAlignment(TAlignment value) {
    if (value == alignment_)
        return;
    alignment_ = value;
    Invalidate();
}

void TCustomLabel::SetLayout(TTextLayout value) {
    if (value == layout_)
        return;
    layout_ = value;
    Invalidate();
}

void TCustomLabel::SetAutoSize(bool value) {
    if (value == autoSize_)
        return;
    autoSize_ = value;
    AdjustBounds();
}

void TCustomLabel::SetWordWrap(bool value) {
    if (value == wordWrap_)
        return;
    wordWrap_ = value;
    AdjustBounds();
    Invalidate();
}

void TCustomLabel::SetTransparent(bool value) {
    if (value == transparent_)
        return;
    transparent_ = value;
    Invalidate();
}

void TCustomLabel::SetShowAccelChar(bool value) {
    if (value == showAccelChar_)
        return;
    showAccelChar_ = value;
    AdjustBounds();
    Invalidate();
}

void TCustomLabel::SetFocusControl(TWinControl* control) {
    if (control == focusControl_)
        return;
    if (focusControl_)
        focusControl_->RemoveFreeNotification(this);
    focusControl_ = control;
    if (control)
        control->FreeNotification(this);
}

void TCustomLabel::Notification(TComponent* component, TOperation operation) {
    TGraphicControl::Notification(component, operation);
    if (operation == opRemove && component == focusControl_)
        focusControl_ = nullptr;
}

void TCustomLabel::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_TEXTCHANGED:
    case CM_FONTCHANGED:
        TGraphicControl::WndProc(message);
        AdjustBounds();
        return;
    case CM_DIALOGCHAR:
        if (focusControl_ && Enabled() && showAccelChar_ && IsAccel(static_cast<char>(message.WParam), Caption()) &&
            focusControl_->CanFocus()) {
            focusControl_->SetFocus();
            message.Result = 1;
            return;
        }
        break;
    default:
        break;
    }
    TGraphicControl::WndProc(message);
}

void TCustomLabel::Loaded() {
    TGraphicControl::Loaded();
    AdjustBounds();
}

UINT TCustomLabel::DrawTextFlags() const {
    UINT flags = DT_EXPANDTABS;
    if (wordWrap_)
        flags |= DT_WORDBREAK;
    if (!showAccelChar_)
        flags |= DT_NOPREFIX;
    switch (alignment_) {
    case taLeftJustify:
        flags |= DT_LEFT;
        break;
    case taRightJustify:
        flags |= DT_RIGHT;
        break;
    case taCenter:
        flags |= DT_CENTER;
        break;
    }
    return flags;
}

void TCustomLabel::DoDrawText(HDC dc, TRect& rect, UINT flags) {
    std::string text = Caption();
    // An empty caption (or a lone prefix) still measures one blank wide and one line high.
    if ((flags & DT_CALCRECT) && (text.empty() || (showAccelChar_ && text == "&")))
        text += ' ';
    DrawCaptionText(dc, text, rect, flags, Enabled(), Font()->Color());
}

void TCustomLabel::Paint() {
    TCanvas& canvas = Canvas();
    TRect rect = ClientRect();
    if (!transparent_) {
        canvas.Brush().SetStyle(bsSolid);
        canvas.FillRect(rect);
    }
    canvas.RequireFont();
    const UINT flags = DrawTextFlags();
    if (layout_ != tlTop) {
        TRect measured = rect;
        DoDrawText(canvas.Handle(), measured, flags | DT_CALCRECT);
        int height = measured.bottom - measured.top;
        rect.top = layout_ == tlBottom ? rect.bottom - height : (rect.bottom - height) / 2;
    }
    DoDrawText(canvas.Handle(), rect, flags);
}

void TCustomLabel::AdjustBounds() {
    if (!autoSize_ || IsLoading())
        return;
    TWindowDc dc(nullptr);
    TSelection selection(dc.Get(), Font()->Handle());
    TRect rect = MakeRect(0, 0, wordWrap_ ? Width() : 0, 0);
    DoDrawText(dc.Get(), rect, DrawTextFlags() | DT_CALCRECT);
    const int width = rect.right - rect.left;
    int left = Left();
    if (alignment_ == taRightJustify && !wordWrap_)
        left += Width() - width;
    SetBounds(left, Top(), width, rect.bottom - rect.top);
}

// ---- TButtonControl, TButton ------------------------------------------------------------

const TClassInfo& TButtonControl::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TWinControl::TabStop>("TabStop").WithDefault(true),
        Prop<&TControl::ParentColor, &TControl::SetParentColor>("ParentColor").WithDefault(true),
    };
    static const TClassInfo info = MakeClassInfo<TButtonControl, TWinControl>("TButtonControl", props);
    return info;
}

TButtonControl::TButtonControl(TComponent* owner) : TWinControl(owner) {
    // The native button clicks on its own notification; a press and release must not click again.
    ControlStyle.Exclude(csClickEvents).Exclude(csCaptureMouse);
    TabStop = true;
    SetParentColor(true);
}

void TButtonControl::CreateParams(TCreateParams& params) {
    TWinControl::CreateParams(params);
    params.SysClass = "BUTTON";
}

void TButtonControl::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CN_COMMAND:
        if (HIWORD(message.WParam) == BN_CLICKED)
            ButtonClicked();
        return;
    case CM_DIALOGCHAR:
        if (IsAccel(static_cast<char>(message.WParam), Caption()) && CanFocus()) {
            SetFocus();
            ButtonClicked();
            message.Result = 1;
            return;
        }
        break;
    default:
        break;
    }
    TWinControl::WndProc(message);
}

const TClassInfo& TButton::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TButton::ModalResult, &TButton::SetModalResult>("ModalResult").WithDefault(mrNone),
        Prop<&TButton::Default, &TButton::SetDefault>("Default").WithDefault(false),
        Prop<&TButton::Cancel, &TButton::SetCancel>("Cancel").WithDefault(false),
    };
    static const TClassInfo info = MakeClassInfo<TButton, TButtonControl>("TButton", props);
    return info;
}

TButton::TButton(TComponent* owner) : TButtonControl(owner) { SetBounds(0, 0, 75, 25); }

void TButton::CreateParams(TCreateParams& params) {
    TButtonControl::CreateParams(params);
    params.Style |= showsDefault_ ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
}

void TButton::CreateWnd() {
    TButtonControl::CreateWnd();
    RegisterWithForm();  // the button may have reached its form through a container
}

void TButton::SetDefault(bool value) {
    default_ = value;
    TCustomForm* form = GetParentForm(this);
    if (value)
        RegisterWithForm();
    else if (form && form->DefaultControl() == this)
        form->SetDefaultControl(nullptr);
    FocusChanged(FindControl(GetFocus()));
}

void TButton::SetCancel(bool value) {
    cancel_ = value;
    TCustomForm* form = GetParentForm(this);
    if (value)
        RegisterWithForm();
    else if (form && form->CancelControl() == this)
        form->SetCancelControl(nullptr);
}

void TButton::RegisterWithForm() {
    TCustomForm* form = GetParentForm(this);
    if (!form)
        return;
    if (default_)
        form->SetDefaultControl(this);
    if (cancel_)
        form->SetCancelControl(this);
}

// Leaving a parent clears the old form's references (TCustomForm::ControlRemoving).
void TButton::SetParent(TWinControl* parent) {
    TButtonControl::SetParent(parent);
    RegisterWithForm();
}

void TButton::Loaded() {
    TButtonControl::Loaded();
    RegisterWithForm();
}

void TButton::Click() {
    if (modalResult_ != mrNone)
        if (TCustomForm* form = GetParentForm(this))
            form->SetModalResult(modalResult_);
    TButtonControl::Click();
}

void TButton::SetButtonStyle(bool isDefault) {
    if (isDefault == showsDefault_)
        return;
    showsDefault_ = isDefault;
    if (HandleAllocated())
        SendMessageA(WindowHandle(), BM_SETSTYLE, isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
}

// The frame goes to the focused push button of the form, else to a Default one.
void TButton::FocusChanged(TControl* focused) {
    auto button = dynamic_cast<TButton*>(focused);
    SetButtonStyle(button && GetParentForm(button) == GetParentForm(this) ? button == this : default_);
}

void TButton::UpdateDefaultFrames(TControl* focused) {
    TCustomForm* form = GetParentForm(this);
    if (!form) {
        FocusChanged(focused);
        return;
    }
    std::vector<TWinControl*> controls;
    form->GetTabOrderList(controls);
    for (TWinControl* control : controls)
        if (auto button = dynamic_cast<TButton*>(control))
            button->FocusChanged(focused);
}

void TButton::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_DIALOGKEY:
        // Enter on a focused push button clicks that one, not the form's default.
        if (message.WParam == VK_RETURN && Focused()) {
            Click();
            message.Result = 1;
            return;
        }
        break;
    case WM_SETFOCUS:
        TButtonControl::WndProc(message);
        UpdateDefaultFrames(this);
        return;
    case WM_KILLFOCUS:
        TButtonControl::WndProc(message);
        UpdateDefaultFrames(FindControl(reinterpret_cast<HWND>(message.WParam)));
        return;
    default:
        break;
    }
    TButtonControl::WndProc(message);
}

// ---- TCustomCheckBox, TCheckBox ---------------------------------------------------------

const TClassInfo& TCustomCheckBox::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TCustomCheckBox::Alignment, &TCustomCheckBox::SetAlignment>("Alignment").WithDefault(taRightJustify),
        Prop<&TCustomCheckBox::AllowGrayed, &TCustomCheckBox::SetAllowGrayed>("AllowGrayed").WithDefault(false),
        Prop<&TCustomCheckBox::Checked, &TCustomCheckBox::SetChecked>("Checked").WithDefault(false),
        Prop<&TCustomCheckBox::State, &TCustomCheckBox::SetState>("State").WithDefault(cbUnchecked),
    };
    static const TClassInfo info = MakeClassInfo<TCustomCheckBox, TButtonControl>("TCustomCheckBox", props);
    return info;
}

const TClassInfo& TCheckBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TCheckBox, TCustomCheckBox>("TCheckBox", {});
    return info;
}

TCustomCheckBox::TCustomCheckBox(TComponent* owner) : TButtonControl(owner) { SetBounds(0, 0, 97, 17); }

// BS_3STATE, not the automatic kinds: the window never changes its state behind our back.
void TCustomCheckBox::CreateParams(TCreateParams& params) {
    TButtonControl::CreateParams(params);
    params.Style |= BS_3STATE;
    if (alignment_ == taLeftJustify)
        params.Style |= BS_LEFTTEXT;
}

void TCustomCheckBox::CreateWnd() {
    TButtonControl::CreateWnd();
    ShowState();
}

void TCustomCheckBox::ShowState() {
    if (!HandleAllocated())
        return;
    TFlagGuard scope(showingState_);
    // The states share their order with BST_UNCHECKED, BST_CHECKED and BST_INDETERMINATE.
    SendMessageA(WindowHandle(), BM_SETCHECK, static_cast<WPARAM>(state_), 0);
}

void TCustomCheckBox::SetState(TCheckBoxState value) {
    if (value == state_)
        return;
    state_ = value;
    ShowState();
    if (!IsLoading())
        Click();
}

void TCustomCheckBox::Toggle() {
    switch (state_) {
    case cbUnchecked:
        SetState(cbChecked);
        break;
    case cbChecked:
        SetState(allowGrayed_ ? cbGrayed : cbUnchecked);
        break;
    case cbGrayed:
        SetState(cbUnchecked);
        break;
    }
}

void TCustomCheckBox::SetAlignment(TAlignment value) {
    if (value == alignment_)
        return;
    alignment_ = value;
    RecreateWnd();
}

void TCustomCheckBox::WndProc(TMessage& message) {
    // BM_SETCHECK from outside changes State like code does.
    if (message.Msg == BM_SETCHECK && !showingState_) {
        switch (message.WParam) {
        case BST_CHECKED:
            SetState(cbChecked);
            break;
        case BST_INDETERMINATE:
            SetState(cbGrayed);
            break;
        default:
            SetState(cbUnchecked);
            break;
        }
        message.Result = 0;
        return;
    }
    TButtonControl::WndProc(message);
}

// ---- TCustomEdit, TEdit -----------------------------------------------------------------

const TClassInfo& TCustomEdit::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TControl::GetText, &TControl::SetText>("Text"),
        Prop<&TCustomEdit::BorderStyle, &TCustomEdit::SetBorderStyle>("BorderStyle").WithDefault(bsSingle),
        Prop<&TCustomEdit::MaxLength, &TCustomEdit::SetMaxLength>("MaxLength").WithDefault(0),
        Prop<&TCustomEdit::ReadOnly, &TCustomEdit::SetReadOnly>("ReadOnly").WithDefault(false),
        Prop<&TCustomEdit::PasswordChar, &TCustomEdit::SetPasswordChar>("PasswordChar").WithDefault(0),
        Prop<&TCustomEdit::CharCase, &TCustomEdit::SetCharCase>("CharCase").WithDefault(ecNormal),
        Prop<&TCustomEdit::AutoSelect, &TCustomEdit::SetAutoSelect>("AutoSelect").WithDefault(true),
        Prop<&TWinControl::TabStop>("TabStop").WithDefault(true),
        Prop<&TCustomEdit::OnChange>("OnChange"),
    };
    static const TClassInfo info = MakeClassInfo<TCustomEdit, TWinControl>("TCustomEdit", props);
    return info;
}

const TClassInfo& TEdit::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TEdit, TCustomEdit>("TEdit", {});
    return info;
}

TCustomEdit::TCustomEdit(TComponent* owner) : TWinControl(owner) {
    TabStop = true;
    SetColor(clWindow);
    SetBounds(0, 0, 121, 21);
}

void TCustomEdit::CreateParams(TCreateParams& params) {
    TWinControl::CreateParams(params);
    params.SysClass = "EDIT";
    params.Style |= ES_LEFT | ES_AUTOHSCROLL;
    if (readOnly_)
        params.Style |= ES_READONLY;
    if (passwordChar_)
        params.Style |= ES_PASSWORD;
    if (charCase_ == ecUpperCase)
        params.Style |= ES_UPPERCASE;
    else if (charCase_ == ecLowerCase)
        params.Style |= ES_LOWERCASE;
    if (borderStyle_ != bsNone)
        AddBorderStyle(params, Ctl3D());
}

void TCustomEdit::CreateWnd() {
    TWinControl::CreateWnd();
    HWND window = WindowHandle();
    reportedText_ = GetText();
    SendMessageA(window, EM_LIMITTEXT, static_cast<WPARAM>(maxLength_), 0);
    if (passwordChar_)
        SendMessageA(window, EM_SETPASSWORDCHAR, static_cast<unsigned char>(passwordChar_), 0);
    SendMessageA(window, EM_SETSEL, static_cast<WPARAM>(selStart_), selEnd_);
    SendMessageA(window, EM_SETMODIFY, modified_, 0);
}

void TCustomEdit::SaveWindowState() {
    TWinControl::SaveWindowState();
    GetSelection(selStart_, selEnd_);
    modified_ = SendMessageA(WindowHandle(), EM_GETMODIFY, 0, 0) != 0;
}

void TCustomEdit::SetBorderStyle(TBorderStyle value) {
    if (value == borderStyle_)
        return;
    borderStyle_ = value;
    RecreateWnd();
}

void TCustomEdit::SetMaxLength(int value) {
    maxLength_ = std::max(value, 0);
    if (HandleAllocated())
        SendMessageA(WindowHandle(), EM_LIMITTEXT, static_cast<WPARAM>(maxLength_), 0);
}

void TCustomEdit::SetReadOnly(bool value) {
    readOnly_ = value;
    if (HandleAllocated())
        SendMessageA(WindowHandle(), EM_SETREADONLY, value, 0);
}

void TCustomEdit::SetPasswordChar(char value) {
    if (value == passwordChar_)
        return;
    passwordChar_ = value;
    if (HandleAllocated()) {
        SendMessageA(WindowHandle(), EM_SETPASSWORDCHAR, static_cast<unsigned char>(value), 0);
        Invalidate();
    }
}

void TCustomEdit::SetCharCase(TEditCharCase value) {
    if (value == charCase_)
        return;
    charCase_ = value;
    RecreateWnd();  // the new window converts the text
}

void TCustomEdit::SetText(const std::string& text) {
    if (text == GetText())
        return;
    TWinControl::SetText(text);
}

void TCustomEdit::GetSelection(int& start, int& end) const {
    if (HandleAllocated()) {
        DWORD first = 0;
        DWORD last = 0;
        SendMessageA(WindowHandle(), EM_GETSEL, reinterpret_cast<WPARAM>(&first), reinterpret_cast<LPARAM>(&last));
        start = static_cast<int>(first);
        end = static_cast<int>(last);
        return;
    }
    const int length = static_cast<int>(TControl::GetText().size());
    start = std::clamp(selStart_, 0, length);
    end = std::clamp(selEnd_, start, length);
}

void TCustomEdit::SetSelection(int start, int end) {
    if (HandleAllocated()) {
        SendMessageA(WindowHandle(), EM_SETSEL, static_cast<WPARAM>(start), end);
        SendMessageA(WindowHandle(), EM_SCROLLCARET, 0, 0);
        return;
    }
    selStart_ = std::max(start, 0);
    selEnd_ = std::max(end, selStart_);
}

int TCustomEdit::SelStart() const {
    int start, end;
    GetSelection(start, end);
    return start;
}

void TCustomEdit::SetSelStart(int value) { SetSelection(value, value); }

int TCustomEdit::SelLength() const {
    int start, end;
    GetSelection(start, end);
    return end - start;
}

void TCustomEdit::SetSelLength(int value) {
    const int start = SelStart();
    SetSelection(start, static_cast<int>(std::min<long long>(static_cast<long long>(start) + std::max(value, 0), INT_MAX)));
}

std::string TCustomEdit::SelText() const {
    int start, end;
    GetSelection(start, end);
    std::string text = GetText();
    end = std::min(end, static_cast<int>(text.size()));
    return start < end ? text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)) : std::string();
}

void TCustomEdit::SetSelText(const std::string& text) {
    if (HandleAllocated()) {
        SendMessageA(WindowHandle(), EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
        return;
    }
    int start, end;
    GetSelection(start, end);
    std::string whole = GetText();
    whole.replace(static_cast<size_t>(start), static_cast<size_t>(end - start), text);
    SetText(whole);
    selStart_ = selEnd_ = start + static_cast<int>(text.size());
}

void TCustomEdit::SelectAll() {
    if (HandleAllocated())
        SetSelection(0, -1);
    else
        SetSelection(0, static_cast<int>(TControl::GetText().size()));
}

bool TCustomEdit::Modified() const {
    if (HandleAllocated())
        return SendMessageA(WindowHandle(), EM_GETMODIFY, 0, 0) != 0;
    return modified_;
}

void TCustomEdit::SetModified(bool value) {
    modified_ = value;
    if (HandleAllocated())
        SendMessageA(WindowHandle(), EM_SETMODIFY, value, 0);
}

void TCustomEdit::Change() { OnChange(this); }

// Wine sends EN_CHANGE also for a keystroke that MaxLength refused: only a new text counts.
void TCustomEdit::TextChanged(const std::string& text) {
    if (text == reportedText_)
        return;
    reportedText_ = text;
    Change();
}

void TCustomEdit::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CN_COMMAND:
        if (HIWORD(message.WParam) == EN_CHANGE && !ControlState.Contains(csCreating) &&
            !ControlState.Contains(csRecreating))
            TextChanged(GetText());
        return;
    case CM_TEXTCHANGED:
        // With a window EN_CHANGE tells; without one the text changed in the field (a loaded
        // text is only noted, so that a change after loading compares with it).
        if (HandleAllocated() || ControlState.Contains(csRecreating))
            break;
        if (IsLoading())
            reportedText_ = TControl::GetText();
        else
            TextChanged(TControl::GetText());
        break;
    case CM_ENTER:
        if (autoSelect_ && GetKeyState(VK_LBUTTON) >= 0)
            SelectAll();
        break;
    case CM_CTL3DCHANGED:
        if (borderStyle_ != bsNone)
            RecreateWnd();
        break;
    default:
        break;
    }
    TWinControl::WndProc(message);
}

// ---- TListControlItems ------------------------------------------------------------------

void TListControlItems::CheckIndex(int index, int limit) const {
    if (index < 0 || index >= limit)
        throw EListError(Format("List index out of bounds (%d)", index));
}

int TListControlItems::AddObject(const std::string& s, TObject* object) {
    if (control_.HandleAllocated()) {
        // The window places the line (sorted or at the end); WindowLinesMessage puts it here too.
        int index = control_.SendToWindow(control_.messages_.AddString, 0, reinterpret_cast<LPARAM>(s.c_str()));
        if (index < 0)
            throw EListError("The window refused the line");
        TStringList::PutObject(index, object);
        return index;
    }
    int index = control_.Sorted() ? control_.SortedIndex(s) : Count();
    TStringList::InsertObject(index, s, object);
    control_.MapSavedSelection([index](int i) { return i >= index ? i + 1 : i; });
    return index;
}

void TListControlItems::InsertObject(int index, const std::string& s, TObject* object) {
    CheckIndex(index, Count() + 1);
    if (control_.HandleAllocated()) {
        if (control_.SendToWindow(control_.messages_.InsertString, static_cast<WPARAM>(index),
                                  reinterpret_cast<LPARAM>(s.c_str())) < 0)
            throw EListError("The window refused the line");
        TStringList::PutObject(index, object);
        return;
    }
    TStringList::InsertObject(index, s, object);
    control_.MapSavedSelection([index](int i) { return i >= index ? i + 1 : i; });
}

void TListControlItems::Delete(int index) {
    CheckIndex(index, Count());
    if (control_.HandleAllocated()) {
        control_.SendToWindow(control_.messages_.DeleteString, static_cast<WPARAM>(index));
        return;
    }
    TStringList::Delete(index);
    control_.MapSavedSelection([index](int i) { return i == index ? -1 : i > index ? i - 1 : i; });
}

void TListControlItems::Clear() {
    if (control_.HandleAllocated()) {
        control_.SendToWindow(control_.messages_.ResetContent);
        return;
    }
    TStringList::Clear();
    control_.MapSavedSelection([](int) { return -1; });
}

void TListControlItems::Put(int index, const std::string& s) {
    CheckIndex(index, Count());
    if (!control_.HandleAllocated()) {
        TStringList::Put(index, s);
        return;
    }
    const int current = control_.ItemIndex();
    TObject* object = Objects(index);
    Delete(index);
    InsertObject(index, s, object);
    control_.SetItemIndex(current);
}

void TListControlItems::AddStrings(const TStringList& other) {
    TStringList copy;
    copy.Assign(other);  // other may be this list
    for (int i = 0; i < copy.Count(); ++i)
        AddObject(copy[i], copy.Objects(i));
}

void TListControlItems::SetText(const std::string& text) {
    TStringList lines;
    lines.SetText(text);
    Assign(lines);
}

void TListControlItems::LoadFromFile(const std::string& fileName) {
    TStringList lines;
    lines.LoadFromFile(fileName);
    Assign(lines);
}

void TListControlItems::Assign(const TPersistent& source) {
    auto lines = dynamic_cast<const TStringList*>(&source);
    if (!lines) {
        TStringList::Assign(source);  // raises for what it cannot copy
        return;
    }
    if (lines == this)
        return;
    TStringList copy;
    copy.Assign(*lines);
    Clear();
    AddStrings(copy);
}

// ---- TCustomListControl -----------------------------------------------------------------

const TClassInfo& TCustomListControl::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TCustomListControl::Items, &TCustomListControl::SetItems>("Items"),
        Prop<&TCustomListControl::ItemIndex, &TCustomListControl::SetItemIndex>("ItemIndex").WithDefault(-1),
        Prop<&TCustomListControl::Sorted, &TCustomListControl::SetSorted>("Sorted").WithDefault(false),
        Prop<&TCustomListControl::ItemHeight, &TCustomListControl::SetItemHeight>("ItemHeight"),
        Prop<&TWinControl::TabStop>("TabStop").WithDefault(true),
        Prop<&TCustomListControl::OnDrawItem>("OnDrawItem"),
        Prop<&TCustomListControl::OnMeasureItem>("OnMeasureItem"),
    };
    static const TClassInfo info = MakeClassInfo<TCustomListControl, TWinControl>("TCustomListControl", props);
    return info;
}

TCustomListControl::TCustomListControl(TComponent* owner, const TListMessages& messages)
    : TWinControl(owner), messages_(messages), items_(std::make_unique<TListControlItems>(*this)) {
    // The native box clicks and double-clicks through its notifications.
    ControlStyle.Exclude(csClickEvents).Exclude(csCaptureMouse).Exclude(csDoubleClicks);
    TabStop = true;
    SetColor(clWindow);
}

// The window goes while the lines still exist: it may send messages here on its way.
TCustomListControl::~TCustomListControl() { DestroyHandle(); }

int TCustomListControl::SendToWindow(UINT message, WPARAM wParam, LPARAM lParam) const {
    return static_cast<int>(SendMessageA(WindowHandle(), message, wParam, lParam));
}

void TCustomListControl::SetItems(TStringList* items) {
    if (items)
        items_->Assign(*items);
    else
        items_->Clear();
}

int TCustomListControl::ItemIndex() const {
    return HandleAllocated() ? SendToWindow(messages_.GetCurSel) : savedItemIndex_;
}

void TCustomListControl::SetItemIndex(int index) {
    if (HandleAllocated())
        SendToWindow(messages_.SetCurSel, static_cast<WPARAM>(index));
    else
        savedItemIndex_ = index;
}

int TCustomListControl::SortedIndex(const std::string& s) const {
    // After the equal lines, as the window adds them.
    int low = 0;
    int high = items_->Count();
    while (low < high) {
        int middle = low + (high - low) / 2;
        if (CompareLines((*items_)[middle], s) <= 0)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

void TCustomListControl::SortLines() {
    const int count = items_->Count();
    std::vector<int> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [this](int a, int b) { return CompareLines((*items_)[a], (*items_)[b]) < 0; });
    TStringList sorted;
    std::vector<int> newIndex(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        sorted.AddObject((*items_)[order[i]], items_->Objects(order[i]));
        newIndex[static_cast<size_t>(order[i])] = i;
    }
    items_->TStringList::Assign(sorted);
    MapSavedSelection([&newIndex](int i) {
        return i >= 0 && i < static_cast<int>(newIndex.size()) ? newIndex[static_cast<size_t>(i)] : -1;
    });
}

void TCustomListControl::SetSorted(bool value) {
    if (value == sorted_)
        return;
    sorted_ = value;
    if (!value) {
        RecreateWnd();  // the style only: the order stays
        return;
    }
    // The window goes first so that its selection is saved against the old order.
    const bool hadWindow = HandleAllocated();
    if (hadWindow)
        DestroyHandle();
    SortLines();
    if (hadWindow)
        HandleNeeded();
}

int TCustomListControl::ItemHeight() const {
    if (itemHeight_ > 0)
        return itemHeight_;
    if (HandleAllocated())
        return SendToWindow(messages_.GetItemHeight);
    return FontLineHeight(*Font());
}

void TCustomListControl::SetItemHeight(int value) {
    if (value <= 0 || value == itemHeight_)
        return;
    itemHeight_ = value;
    if (HandleAllocated() && !OwnerDrawVariable()) {
        SendToWindow(messages_.SetItemHeight, 0, value);
        Invalidate();
    }
}

void TCustomListControl::MapSavedSelection(const std::function<int(int)>& newIndex) {
    if (savedItemIndex_ >= 0)
        savedItemIndex_ = newIndex(savedItemIndex_);
}

void TCustomListControl::SaveSelection() { savedItemIndex_ = SendToWindow(messages_.GetCurSel); }

void TCustomListControl::RestoreSelection() {
    if (savedItemIndex_ >= 0)
        SendToWindow(messages_.SetCurSel, static_cast<WPARAM>(savedItemIndex_));
}

void TCustomListControl::CreateWnd() {
    TWinControl::CreateWnd();
    TCreatingScope creating(*this);
    {
        // At their indexes, also in a sorted box: the lines here are the truth.
        TFlagGuard filling(fillingWindow_);
        for (int i = 0; i < items_->Count(); ++i)
            if (SendToWindow(messages_.InsertString, static_cast<WPARAM>(i),
                             reinterpret_cast<LPARAM>((*items_)[i].c_str())) < 0)
                throw EListError("The window refused the lines");
    }
    RestoreSelection();
}

void TCustomListControl::SaveWindowState() {
    TWinControl::SaveWindowState();
    SaveSelection();
}

void TCustomListControl::WndProc(TMessage& message) {
    const UINT msg = message.Msg;
    if (msg == messages_.AddString || msg == messages_.InsertString || msg == messages_.DeleteString ||
        msg == messages_.ResetContent) {
        WindowLinesMessage(message);
        return;
    }
    switch (msg) {
    case CN_DRAWITEM:
        CNDrawItem(message);
        return;
    case CN_MEASUREITEM:
        CNMeasureItem(message);
        return;
    default:
        TWinControl::WndProc(message);
        return;
    }
}

// An added line goes in here before the window takes it, so that the measuring and drawing
// the window asks for meanwhile find it; the window's answer then says where it really went.
void TCustomListControl::WindowLinesMessage(TMessage& message) {
    const UINT msg = message.Msg;
    if (fillingWindow_) {
        DefaultHandler(message);
        return;
    }
    if (msg == messages_.ResetContent) {
        DefaultHandler(message);
        items_->TStringList::Clear();
        return;
    }
    if (msg == messages_.DeleteString) {
        const int index = ToIndex(message.WParam);
        DefaultHandler(message);
        if (static_cast<int>(message.Result) >= 0 && index >= 0 && index < items_->Count())
            items_->TStringList::Delete(index);
        return;
    }
    const std::string text = MessageString(reinterpret_cast<const void*>(message.LParam), IsWideMessage(message));
    const int count = items_->Count();
    int index;
    if (msg == messages_.InsertString)
        index = ToIndex(message.WParam) == -1 ? count : ToIndex(message.WParam);
    else
        index = sorted_ ? SortedIndex(text) : count;
    if (index < 0 || index > count) {
        DefaultHandler(message);  // the window refuses it as well
        return;
    }
    items_->TStringList::InsertObject(index, text, nullptr);
    DefaultHandler(message);
    const int placed = static_cast<int>(message.Result);
    if (placed == index)
        return;
    items_->TStringList::Delete(index);
    if (placed >= 0 && placed <= items_->Count())
        items_->TStringList::InsertObject(placed, text, nullptr);
}

void TCustomListControl::DrawItem(int index, const TRect& rect, TOwnerDrawState state) {
    if (OnDrawItem) {
        OnDrawItem(this, index, rect, state);
        return;
    }
    canvas_.FillRect(rect);
    if (index >= 0 && index < items_->Count())
        canvas_.TextOut(rect.left + 2, rect.top, (*items_)[index]);
}

void TCustomListControl::MeasureItem(int index, int& height) { OnMeasureItem(this, index, height); }

void TCustomListControl::CNDrawItem(TMessage& message) {
    auto& item = *reinterpret_cast<DRAWITEMSTRUCT*>(message.LParam);
    TOwnerDrawState state;
    const std::pair<UINT, TOwnerDrawStateFlag> flags[] = {
        {ODS_SELECTED, odSelected}, {ODS_GRAYED, odGrayed},   {ODS_DISABLED, odDisabled},
        {ODS_CHECKED, odChecked},   {ODS_FOCUS, odFocused},   {ODS_DEFAULT, odDefault},
        {ODS_COMBOBOXEDIT, odComboBoxEdit},
    };
    for (const auto& [bit, flag] : flags)
        if (item.itemState & bit)
            state.Include(flag);
    TCanvasLoan loan(canvas_, item.hDC);
    canvas_.Font().Assign(*Font());
    canvas_.Brush().SetStyle(bsSolid);
    if (state.Contains(odSelected)) {
        canvas_.Brush().SetColor(clHighlight);
        canvas_.Font().SetColor(clHighlightText);
    } else {
        canvas_.Brush().SetColor(Color());
    }
    TRect rect = item.rcItem;
    DrawItem(static_cast<int>(item.itemID), rect, state);
    if (state.Contains(odFocused))
        DrawFocusRect(item.hDC, &rect);
    message.Result = TRUE;
}

// Index -1 (the selection field of a combo box, or a fixed list box asking once) measures too.
void TCustomListControl::CNMeasureItem(TMessage& message) {
    auto& item = *reinterpret_cast<MEASUREITEMSTRUCT*>(message.LParam);
    int height = ItemHeight();
    if (OwnerDrawVariable())
        MeasureItem(static_cast<int>(item.itemID), height);
    item.itemHeight = static_cast<UINT>(std::max(height, 1));
    message.Result = TRUE;
}

// ---- TCustomComboBox, TComboBox ---------------------------------------------------------

const TClassInfo& TCustomComboBox::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TCustomComboBox::Style, &TCustomComboBox::SetStyle>("Style").WithDefault(csDropDown),
        Prop<&TControl::GetText, &TControl::SetText>("Text"),
        Prop<&TCustomComboBox::DropDownCount, &TCustomComboBox::SetDropDownCount>("DropDownCount").WithDefault(8),
        Prop<&TCustomComboBox::OnChange>("OnChange"),
        Prop<&TCustomComboBox::OnSelect>("OnSelect"),
        Prop<&TCustomComboBox::OnDropDown>("OnDropDown"),
        Prop<&TCustomComboBox::OnCloseUp>("OnCloseUp"),
    };
    static const TClassInfo info = MakeClassInfo<TCustomComboBox, TCustomListControl>("TCustomComboBox", props);
    return info;
}

const TClassInfo& TComboBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TComboBox, TCustomComboBox>("TComboBox", {});
    return info;
}

TCustomComboBox::TCustomComboBox(TComponent* owner) : TCustomListControl(owner, kComboBoxMessages) {
    SetBounds(0, 0, 145, 21);
}

int TCustomComboBox::DropDownHeight() const { return ItemHeight() * dropDownCount_ + 2; }

void TCustomComboBox::CreateParams(TCreateParams& params) {
    TCustomListControl::CreateParams(params);
    params.SysClass = "COMBOBOX";
    params.Style |= WS_VSCROLL;
    switch (style_) {
    case csDropDown:
        params.Style |= CBS_DROPDOWN | CBS_AUTOHSCROLL;
        break;
    case csSimple:
        params.Style |= CBS_SIMPLE | CBS_AUTOHSCROLL;
        break;
    case csDropDownList:
        params.Style |= CBS_DROPDOWNLIST;
        break;
    case csOwnerDrawFixed:
        params.Style |= CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS;
        break;
    case csOwnerDrawVariable:
        params.Style |= CBS_DROPDOWNLIST | CBS_OWNERDRAWVARIABLE | CBS_HASSTRINGS;
        break;
    }
    if (Sorted())
        params.Style |= CBS_SORT;
    // A drop-down combo box takes the height beyond its closed one as the open list's.
    if (style_ != csSimple)
        params.Height = Height() + DropDownHeight();
}

void TCustomComboBox::CreateWnd() {
    TCustomListControl::CreateWnd();
    // The window gave itself its closed height before it was ours: the bounds follow it.
    TRect rect;
    GetWindowRect(WindowHandle(), &rect);
    SetBounds(Left(), Top(), Width(), rect.bottom - rect.top);
    ApplyDropDownHeight();  // exactly: at creation the borders took their share of the height
}

void TCustomComboBox::ApplyDropDownHeight() {
    if (HandleAllocated() && style_ != csSimple)
        SetWindowPos(WindowHandle(), nullptr, 0, 0, Width(), Height() + DropDownHeight(),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TCustomComboBox::RestoreSelection() {
    TCustomListControl::RestoreSelection();
    // The text field may hold text that is no line, or differ from the selected one.
    const std::string saved = TControl::GetText();
    if (HasEdit() && TWinControl::GetText() != saved)
        SetWindowTextA(WindowHandle(), saved.c_str());
}

void TCustomComboBox::SetStyle(TComboBoxStyle value) {
    if (value == style_)
        return;
    style_ = value;
    RecreateWnd();
}

void TCustomComboBox::SetDropDownCount(int value) {
    dropDownCount_ = std::max(value, 1);
    ApplyDropDownHeight();
}

bool TCustomComboBox::DroppedDown() const {
    return HandleAllocated() && SendToWindow(CB_GETDROPPEDSTATE) != 0;
}

void TCustomComboBox::SetDroppedDown(bool value) {
    if (HandleAllocated())
        SendToWindow(CB_SHOWDROPDOWN, value);
}

std::string TCustomComboBox::GetText() const {
    if (!HandleAllocated() && !HasEdit()) {
        const int index = savedItemIndex_;
        return index >= 0 && index < Items()->Count() ? (*Items())[index] : std::string();
    }
    return TCustomListControl::GetText();
}

void TCustomComboBox::SetText(const std::string& text) {
    if (HasEdit())
        TCustomListControl::SetText(text);
    else
        SetItemIndex(text.empty() ? -1 : Items()->IndexOf(text));
}

void TCustomComboBox::Change() { OnChange(this); }
void TCustomComboBox::Select() { OnSelect(this); }
void TCustomComboBox::DropDown() { OnDropDown(this); }
void TCustomComboBox::CloseUp() { OnCloseUp(this); }

void TCustomComboBox::CNCommand(TMessage& message) {
    if (ControlState.Contains(csCreating) || ControlState.Contains(csRecreating))
        return;
    switch (HIWORD(message.WParam)) {
    case CBN_SELCHANGE: {
        // The text field shows the new line before the handlers look at Text.
        const int index = ItemIndex();
        if (HasEdit() && index >= 0 && index < Items()->Count() && TWinControl::GetText() != (*Items())[index]) {
            TCreatingScope quiet(*this);
            SetWindowTextA(WindowHandle(), (*Items())[index].c_str());
        }
        TFreeWatch watch(*this);
        Select();
        if (!watch.Freed())
            Change();
        break;
    }
    case CBN_EDITCHANGE:
        Change();
        break;
    case CBN_DROPDOWN:
        DropDown();
        break;
    case CBN_CLOSEUP:
        CloseUp();
        break;
    default:
        break;
    }
}

void TCustomComboBox::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CN_COMMAND:
        CNCommand(message);
        return;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        // From the box's own text field and list: coloured like the box.
        message.Result = Perform(CN_BASE + message.Msg, message.WParam, message.LParam);
        return;
    default:
        TCustomListControl::WndProc(message);
        return;
    }
}

// ---- TCustomListBox, TListBox -----------------------------------------------------------

const TClassInfo& TCustomListBox::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TCustomListBox::Style, &TCustomListBox::SetStyle>("Style").WithDefault(lbStandard),
        Prop<&TCustomListBox::BorderStyle, &TCustomListBox::SetBorderStyle>("BorderStyle").WithDefault(bsSingle),
        Prop<&TCustomListBox::MultiSelect, &TCustomListBox::SetMultiSelect>("MultiSelect").WithDefault(false),
        Prop<&TCustomListBox::ExtendedSelect, &TCustomListBox::SetExtendedSelect>("ExtendedSelect").WithDefault(true),
    };
    static const TClassInfo info = MakeClassInfo<TCustomListBox, TCustomListControl>("TCustomListBox", props);
    return info;
}

const TClassInfo& TListBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TListBox, TCustomListBox>("TListBox", {});
    return info;
}

TCustomListBox::TCustomListBox(TComponent* owner) : TCustomListControl(owner, kListBoxMessages) {
    SetBounds(0, 0, 121, 97);
}

void TCustomListBox::CreateParams(TCreateParams& params) {
    TCustomListControl::CreateParams(params);
    params.SysClass = "LISTBOX";
    params.Style |= WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT;
    if (Sorted())
        params.Style |= LBS_SORT;
    if (multiSelect_)
        params.Style |= extendedSelect_ ? LBS_EXTENDEDSEL : LBS_MULTIPLESEL;
    if (style_ == lbOwnerDrawFixed)
        params.Style |= LBS_OWNERDRAWFIXED | LBS_HASSTRINGS;
    else if (style_ == lbOwnerDrawVariable)
        params.Style |= LBS_OWNERDRAWVARIABLE | LBS_HASSTRINGS;
    if (borderStyle_ != bsNone)
        AddBorderStyle(params, Ctl3D());
}

void TCustomListBox::SetStyle(TListBoxStyle value) {
    if (value == style_)
        return;
    style_ = value;
    RecreateWnd();
}

void TCustomListBox::SetBorderStyle(TBorderStyle value) {
    if (value == borderStyle_)
        return;
    borderStyle_ = value;
    RecreateWnd();
}

void TCustomListBox::SetMultiSelect(bool value) {
    if (value == multiSelect_)
        return;
    if (value && !HandleAllocated()) {
        savedSelected_.clear();
        if (savedItemIndex_ >= 0)
            savedSelected_.push_back(savedItemIndex_);
    }
    multiSelect_ = value;
    RecreateWnd();
}

void TCustomListBox::SetExtendedSelect(bool value) {
    if (value == extendedSelect_)
        return;
    extendedSelect_ = value;
    if (multiSelect_)
        RecreateWnd();
}

void TCustomListBox::CheckIndex(int index) const {
    if (index < 0 || index >= Items()->Count())
        throw EListError(Format("List index out of bounds (%d)", index));
}

int TCustomListBox::ItemIndex() const {
    if (!multiSelect_ || !HandleAllocated())
        return TCustomListControl::ItemIndex();
    return Items()->Count() > 0 ? SendToWindow(LB_GETCARETINDEX) : -1;
}

void TCustomListBox::SetItemIndex(int index) {
    if (!multiSelect_ || !HandleAllocated())
        TCustomListControl::SetItemIndex(index);
    else
        SendToWindow(LB_SETCARETINDEX, static_cast<WPARAM>(index), FALSE);
}

bool TCustomListBox::Selected(int index) const {
    CheckIndex(index);
    if (!multiSelect_)
        return ItemIndex() == index;
    if (HandleAllocated())
        return SendToWindow(LB_GETSEL, static_cast<WPARAM>(index)) > 0;
    return std::find(savedSelected_.begin(), savedSelected_.end(), index) != savedSelected_.end();
}

void TCustomListBox::SetSelected(int index, bool value) {
    CheckIndex(index);
    if (!multiSelect_) {
        if (value)
            SetItemIndex(index);
        else if (ItemIndex() == index)
            SetItemIndex(-1);
        return;
    }
    if (HandleAllocated()) {
        SendToWindow(LB_SETSEL, value, index);
        return;
    }
    savedSelected_.erase(std::remove(savedSelected_.begin(), savedSelected_.end(), index), savedSelected_.end());
    if (value) {
        savedSelected_.push_back(index);
        std::sort(savedSelected_.begin(), savedSelected_.end());
    }
}

int TCustomListBox::SelCount() const {
    if (!multiSelect_)
        return ItemIndex() >= 0 ? 1 : 0;
    if (HandleAllocated())
        return SendToWindow(LB_GETSELCOUNT);
    return static_cast<int>(savedSelected_.size());
}

int TCustomListBox::TopIndex() const { return HandleAllocated() ? SendToWindow(LB_GETTOPINDEX) : savedTopIndex_; }

void TCustomListBox::SetTopIndex(int index) {
    if (HandleAllocated())
        SendToWindow(LB_SETTOPINDEX, static_cast<WPARAM>(index));
    else
        savedTopIndex_ = std::max(index, 0);
}

TRect TCustomListBox::ItemRect(int index) const {
    TRect rect{};
    if (HandleAllocated() && index >= 0 && index < Items()->Count())
        SendToWindow(LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rect));
    return rect;
}

int TCustomListBox::ItemAtPos(TPoint point, bool existing) const {
    const int count = Items()->Count();
    if (HandleAllocated()) {
        TRect client = ClientRect();
        if (PtInRect(&client, point)) {
            for (int i = std::max(TopIndex(), 0); i < count; ++i) {
                TRect rect = ItemRect(i);
                if (rect.top >= client.bottom)
                    break;
                if (PtInRect(&rect, point))
                    return i;
            }
        }
    }
    return existing ? -1 : count;
}

// Read from the window's style: the flag may already have changed for the next window.
void TCustomListBox::SaveSelection() {
    savedTopIndex_ = SendToWindow(LB_GETTOPINDEX);
    savedSelected_.clear();
    const LONG_PTR style = GetWindowLongPtrA(WindowHandle(), GWL_STYLE);
    if (style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) {
        const int count = SendToWindow(LB_GETSELCOUNT);
        if (count > 0) {
            savedSelected_.resize(static_cast<size_t>(count));
            const int got = SendToWindow(LB_GETSELITEMS, static_cast<WPARAM>(count),
                                         reinterpret_cast<LPARAM>(savedSelected_.data()));
            savedSelected_.resize(static_cast<size_t>(std::max(got, 0)));
        }
        savedItemIndex_ = Items()->Count() > 0 ? SendToWindow(LB_GETCARETINDEX) : -1;
    } else {
        savedItemIndex_ = SendToWindow(LB_GETCURSEL);
        if (savedItemIndex_ >= 0)
            savedSelected_.push_back(savedItemIndex_);
    }
}

void TCustomListBox::RestoreSelection() {
    if (multiSelect_) {
        for (int index : savedSelected_)
            SendToWindow(LB_SETSEL, TRUE, index);
        if (savedItemIndex_ >= 0)
            SendToWindow(LB_SETCARETINDEX, static_cast<WPARAM>(savedItemIndex_), FALSE);
    } else if (savedItemIndex_ >= 0) {
        SendToWindow(LB_SETCURSEL, static_cast<WPARAM>(savedItemIndex_));
    }
    SendToWindow(LB_SETTOPINDEX, static_cast<WPARAM>(savedTopIndex_));
}

void TCustomListBox::MapSavedSelection(const std::function<int(int)>& newIndex) {
    TCustomListControl::MapSavedSelection(newIndex);
    std::vector<int> mapped;
    for (int index : savedSelected_)
        if (int moved = newIndex(index); moved >= 0)
            mapped.push_back(moved);
    std::sort(mapped.begin(), mapped.end());
    savedSelected_ = std::move(mapped);
}

void TCustomListBox::WndProc(TMessage& message) {
    if (message.Msg == CN_COMMAND) {
        switch (HIWORD(message.WParam)) {
        case LBN_SELCHANGE:
            Click();
            break;
        case LBN_DBLCLK:
            DblClick();
            break;
        default:
            break;
        }
        return;
    }
    if (message.Msg == CM_CTL3DCHANGED && borderStyle_ != bsNone)
        RecreateWnd();
    TCustomListControl::WndProc(message);
}

// ---- TCustomGroupBox, TGroupBox ---------------------------------------------------------

const TClassInfo& TCustomGroupBox::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TControl::ParentColor, &TControl::SetParentColor>("ParentColor").WithDefault(true),
    };
    static const TClassInfo info = MakeClassInfo<TCustomGroupBox, TCustomControl>("TCustomGroupBox", props);
    return info;
}

const TClassInfo& TGroupBox::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TGroupBox, TCustomGroupBox>("TGroupBox", {});
    return info;
}

TCustomGroupBox::TCustomGroupBox(TComponent* owner) : TCustomControl(owner) {
    SetParentColor(true);
    SetBounds(0, 0, 185, 105);
}

void TCustomGroupBox::CreateParams(TCreateParams& params) {
    TCustomControl::CreateParams(params);
    // The frame follows the edges: a new size paints the whole box.
    params.ClassStyle |= CS_HREDRAW | CS_VREDRAW;
}

int TCustomGroupBox::CaptionHeight() const { return FontLineHeight(*Font()); }

void TCustomGroupBox::AdjustClientRect(TRect& rect) const {
    const int edgeX = GetSystemMetrics(SM_CXEDGE);
    const int edgeY = GetSystemMetrics(SM_CYEDGE);
    rect.left += edgeX;
    rect.top += std::max(CaptionHeight(), edgeY);
    rect.right -= edgeX;
    rect.bottom -= edgeY;
}

void TCustomGroupBox::Paint() {
    TCanvas& canvas = Canvas();
    HDC dc = canvas.Handle();
    const int captionHeight = CaptionHeight();
    TRect frame = ClientRect();
    frame.top += captionHeight / 2;
    DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
    const std::string caption = Caption();
    if (caption.empty())
        return;
    canvas.RequireFont();
    constexpr int kIndent = 8;
    constexpr UINT kFlags = DT_SINGLELINE | DT_LEFT | DT_TOP;
    TRect text = MakeRect(kIndent, 0, kIndent, captionHeight);
    DrawCaptionText(dc, caption, text, kFlags | DT_CALCRECT, true, Font()->Color());
    text.right = std::min<LONG>(text.right, std::max(ClientWidth() - kIndent, kIndent));
    text.bottom = captionHeight;
    TRect background = text;
    InflateRect(&background, 2, 0);
    canvas.Brush().SetStyle(bsSolid);
    canvas.FillRect(background);
    DrawCaptionText(dc, caption, text, kFlags, Enabled(), Font()->Color());
}

void TCustomGroupBox::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CM_TEXTCHANGED:
        Invalidate();
        Realign();
        return;
    case CM_FONTCHANGED:
        TCustomControl::WndProc(message);
        Invalidate();
        Realign();  // the caption's height moves the children
        return;
    default:
        TCustomControl::WndProc(message);
        return;
    }
}
