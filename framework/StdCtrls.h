#pragma once

// The standard controls: label, push button, check box, edit, combo box, list box, group box.
//
// The clickable ones are native windows ("BUTTON", "EDIT", "COMBOBOX", "LISTBOX") subclassed
// like every TWinControl: their window text is the caption, BM_CLICK clicks them, and the
// notifications they send their parent come back to them as CN_COMMAND / CN_DRAWITEM /
// CN_MEASUREITEM. The fields are the truth: a window made (or remade by RecreateWnd) is set up
// from them, and SaveWindowState reads back what the user may have changed before it goes.
//
// Events fire from the virtual handlers named after them (Change fires OnChange, Select fires
// OnSelect ...), never while the window is being created or remade.

#include "Controls.h"
#include "Forms.h"
#include "Graphics.h"
#include "StringList.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Borders of controls: bsNone, or bsSingle (a sunken client edge); the other form styles
// count as bsSingle.
using TBorderStyle = TFormBorderStyle;

// ---- TCustomLabel, TLabel ---------------------------------------------------------------

// Text drawn by the parent, sized to fit while AutoSize is on. "&x" underlines x and makes
// it the accelerator that focuses FocusControl; "&&" shows one '&'. Disabled, the text is
// embossed as the system draws disabled text. The background is the parent's colour unless
// Color is set.
class TCustomLabel : public TGraphicControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomLabel(TComponent* owner);

    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment value);
    TTextLayout Layout() const { return layout_; }
    void SetLayout(TTextLayout value);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool value);
    // False: the label fills its bounds with Color first.
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);
    bool ShowAccelChar() const { return showAccelChar_; }
    void SetShowAccelChar(bool value);
    TWinControl* FocusControl() const { return focusControl_; }
    void SetFocusControl(TWinControl* control);

    void WndProc(TMessage& message) override;
    void Loaded() override;

protected:
    void Paint() override;
    void Notification(TComponent* component, TOperation operation) override;
    // Draws the caption into rect on dc; with DT_CALCRECT in flags it only measures (rect grows).
    virtual void DoDrawText(HDC dc, TRect& rect, UINT flags);
    // Fits the bounds to the caption while AutoSize is on (a right-justified label keeps its right edge).
    virtual void AdjustBounds();
    // DrawText flags for Alignment, WordWrap and ShowAccelChar.
    UINT DrawTextFlags() const;

private:
    TAlignment alignment_ = taLeftJustify;
    TTextLayout layout_ = tlTop;
    bool autoSize_ = true;
    bool wordWrap_ = false;
    bool transparent_ = false;
    bool showAccelChar_ = true;
    TWinControl* focusControl_ = nullptr;
};

class TLabel : public TCustomLabel {
    DECLARE_CLASS_INFO()

public:
    explicit TLabel(TComponent* owner) : TCustomLabel(owner) {}
};

// ---- TButtonControl, TButton ------------------------------------------------------------

// A native "BUTTON" window. It clicks on BN_CLICKED (a user's click, the space bar, BM_CLICK)
// or when its accelerator is typed, not on the mouse messages themselves.
class TButtonControl : public TWinControl {
    DECLARE_CLASS_INFO()

public:
    explicit TButtonControl(TComponent* owner);
    void WndProc(TMessage& message) override;

protected:
    void CreateParams(TCreateParams& params) override;
    // The native button reported a click, or the accelerator was typed.
    virtual void ButtonClicked() { Click(); }
};

// A push button. Clicking sets the form's ModalResult (when not mrNone) before OnClick.
// A Default button is the form's DefaultControl (Enter clicks it), a Cancel button its
// CancelControl (Escape); a focused push button takes Enter itself. The thick default frame
// sits on the focused push button, else on the Default one.
class TButton : public TButtonControl {
    DECLARE_CLASS_INFO()

public:
    explicit TButton(TComponent* owner);

    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult value) { modalResult_ = value; }
    bool Default() const { return default_; }
    void SetDefault(bool value);
    bool Cancel() const { return cancel_; }
    void SetCancel(bool value);

    void SetParent(TWinControl* parent) override;
    void Click() override;
    void WndProc(TMessage& message) override;
    void Loaded() override;

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    // Shows or drops the default frame.
    void SetButtonStyle(bool isDefault);

private:
    // Makes this the form's DefaultControl and CancelControl as the flags say.
    void RegisterWithForm();
    void FocusChanged(TControl* focused);
    // Tells every push button of the form where the focus went.
    void UpdateDefaultFrames(TControl* focused);

    TModalResult modalResult_ = mrNone;
    bool default_ = false;
    bool cancel_ = false;
    bool showsDefault_ = false;
};

// ---- TCustomCheckBox, TCheckBox ---------------------------------------------------------

enum TCheckBoxState { cbUnchecked, cbChecked, cbGrayed };

// A check box the control toggles itself (a native BS_3STATE button): a click, BM_CLICK or
// the accelerator goes unchecked -> checked (-> grayed with AllowGrayed) -> unchecked. Every
// change of State, by the user or from code (also BM_SETCHECK from outside), fires OnClick
// once, except while loading; setting the value it already has fires nothing.
class TCustomCheckBox : public TButtonControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomCheckBox(TComponent* owner);

    TCheckBoxState State() const { return state_; }
    void SetState(TCheckBoxState value);
    bool Checked() const { return state_ == cbChecked; }
    void SetChecked(bool value) { SetState(value ? cbChecked : cbUnchecked); }
    bool AllowGrayed() const { return allowGrayed_; }
    void SetAllowGrayed(bool value) { allowGrayed_ = value; }
    // taRightJustify: the box on the left of the text; taLeftJustify: on the right.
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment value);

    void WndProc(TMessage& message) override;

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void ButtonClicked() override { Toggle(); }
    // The user's step to the next state.
    virtual void Toggle();

private:
    void ShowState();

    TCheckBoxState state_ = cbUnchecked;
    bool allowGrayed_ = false;
    TAlignment alignment_ = taRightJustify;
    bool showingState_ = false;  // our own BM_SETCHECK is on its way
};

class TCheckBox : public TCustomCheckBox {
    DECLARE_CLASS_INFO()

public:
    explicit TCheckBox(TComponent* owner) : TCustomCheckBox(owner) {}
};

// ---- TCustomEdit, TEdit -----------------------------------------------------------------

enum TEditCharCase { ecNormal, ecUpperCase, ecLowerCase };

// A single-line native "EDIT". OnChange fires when the text becomes a new one: on EN_CHANGE
// (typing, WM_SETTEXT, Text from code) and, while there is no window, when Text is set; never
// while loading or while the window is made. Text, selection, Modified and the settings
// survive RecreateWnd.
class TCustomEdit : public TWinControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomEdit(TComponent* owner);

    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle value);
    // 0: no limit. Limits typing and pasting, not Text set from code.
    int MaxLength() const { return maxLength_; }
    void SetMaxLength(int value);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value);
    // '\0': the text shows as it is.
    char PasswordChar() const { return passwordChar_; }
    void SetPasswordChar(char value);
    TEditCharCase CharCase() const { return charCase_; }
    void SetCharCase(TEditCharCase value);
    // Selects the whole text when the focus arrives other than by a mouse click.
    bool AutoSelect() const { return autoSelect_; }
    void SetAutoSelect(bool value) { autoSelect_ = value; }

    void SetText(const std::string& text) override;

    int SelStart() const;
    void SetSelStart(int value);
    int SelLength() const;
    void SetSelLength(int value);
    std::string SelText() const;
    // Replaces the selection (undoably when there is a window) and puts the caret after it.
    void SetSelText(const std::string& text);
    void SelectAll();
    void Clear() { SetText(""); }
    bool Modified() const;
    void SetModified(bool value);

    void WndProc(TMessage& message) override;

    TNotifyEvent OnChange;

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void SaveWindowState() override;
    // Fires OnChange.
    virtual void Change();

private:
    // The selection as [start, end) of the window, or of the fields without one.
    void GetSelection(int& start, int& end) const;
    void SetSelection(int start, int end);
    // Fires Change when text differs from the text it last reported.
    void TextChanged(const std::string& text);

    TBorderStyle borderStyle_ = bsSingle;
    int maxLength_ = 0;
    bool readOnly_ = false;
    char passwordChar_ = '\0';
    TEditCharCase charCase_ = ecNormal;
    bool autoSelect_ = true;
    bool modified_ = false;
    int selStart_ = 0;
    int selEnd_ = 0;
    std::string reportedText_;
};

class TEdit : public TCustomEdit {
    DECLARE_CLASS_INFO()

public:
    explicit TEdit(TComponent* owner) : TCustomEdit(owner) {}
};

// ---- lines of list and combo boxes ------------------------------------------------------

class TCustomListControl;

// The lines of a list box or combo box, kept in step with its window: while the window exists
// every change goes through the window's own messages (so a sorted box places an added line
// itself) and changes made to the window from outside (LB_ADDSTRING, CB_DELETESTRING ...)
// show here. Objects stay with the lines here only. Changes made through a plain TStringList
// reference reach the window too.
class TListControlItems : public TStringList {
public:
    explicit TListControlItems(TCustomListControl& control) : control_(control) {}

    // In a sorted box the line goes to its place (also through Add); the index where it went is returned.
    int AddObject(const std::string& s, TObject* object) override;
    // At index also in a sorted box.
    void InsertObject(int index, const std::string& s, TObject* object) override;
    void Delete(int index) override;
    void Clear() override;
    // Replaces a line in place, keeping its object and the box's current line.
    void Put(int index, const std::string& s) override;
    void AddStrings(const TStringList& other) override;
    void SetText(const std::string& text) override;
    void LoadFromFile(const std::string& fileName) override;
    void Assign(const TPersistent& source) override;

private:
    friend class TCustomListControl;
    void CheckIndex(int index, int limit) const;

    TCustomListControl& control_;
};

enum TOwnerDrawStateFlag { odSelected, odGrayed, odDisabled, odChecked, odFocused, odDefault, odComboBoxEdit };
using TOwnerDrawState = TSet<TOwnerDrawStateFlag>;

// Index -1 is the selection field of a combo box.
using TDrawItemEvent = TEvent<void(TObject* Sender, int Index, TRect Rect, TOwnerDrawState State)>;
using TMeasureItemEvent = TEvent<void(TObject* Sender, int Index, int& Height)>;

// What list boxes and combo boxes share: the lines, the current line, sorting and owner
// drawing. Owner-drawn boxes keep their strings (LBS_HASSTRINGS / CBS_HASSTRINGS).
class TCustomListControl : public TWinControl {
    DECLARE_CLASS_INFO()

public:
    ~TCustomListControl() override;

    TListControlItems* Items() const { return items_.get(); }
    // Copies the lines and objects of items.
    void SetItems(TStringList* items);
    // -1: none.
    virtual int ItemIndex() const;
    virtual void SetItemIndex(int index);
    // Case-insensitive, in the user's locale, as the window sorts.
    bool Sorted() const { return sorted_; }
    void SetSorted(bool value);
    // The height of a line; owner-drawn fixed boxes use the set value, the others measure the font.
    int ItemHeight() const;
    void SetItemHeight(int value);
    void Clear() { items_->Clear(); }

    // The item's DC while DrawItem runs (OnDrawItem draws on it).
    TCanvas* Canvas() { return &canvas_; }

    void WndProc(TMessage& message) override;

    // Without OnDrawItem the line's text is drawn.
    TDrawItemEvent OnDrawItem;
    // Variable-height owner-drawn boxes only; Height starts at ItemHeight.
    TMeasureItemEvent OnMeasureItem;

    // The window messages of one kind of box.
    struct TListMessages {
        UINT AddString, InsertString, DeleteString, ResetContent, GetCount;
        UINT GetCurSel, SetCurSel, GetItemHeight, SetItemHeight;
    };

protected:
    TCustomListControl(TComponent* owner, const TListMessages& messages);

    void CreateWnd() override;
    void SaveWindowState() override;
    // Not pure: the window may still send messages here while a derived class is already gone.
    virtual bool OwnerDrawn() const { return false; }
    virtual bool OwnerDrawVariable() const { return false; }
    // Fire OnDrawItem (or draw the text) and OnMeasureItem.
    virtual void DrawItem(int index, const TRect& rect, TOwnerDrawState state);
    virtual void MeasureItem(int index, int& height);
    // Between a window and the next: the current line (and more in the derived boxes).
    virtual void SaveSelection();
    virtual void RestoreSelection();
    // The saved selection follows the lines while there is no window: each saved index i
    // becomes newIndex(i); -1 drops it.
    virtual void MapSavedSelection(const std::function<int(int)>& newIndex);
    int SendToWindow(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    const TListMessages& messages_;
    int savedItemIndex_ = -1;

private:
    friend class TListControlItems;
    // Where a line goes in the sorted list.
    int SortedIndex(const std::string& s) const;
    // Sorts the lines themselves (not the window).
    void SortLines();
    // The window changes its lines: the same change here.
    void WindowLinesMessage(TMessage& message);
    void CNDrawItem(TMessage& message);
    void CNMeasureItem(TMessage& message);

    std::unique_ptr<TListControlItems> items_;
    bool sorted_ = false;
    int itemHeight_ = 0;      // 0: from the font
    bool fillingWindow_ = false;
    TCanvas canvas_;
};

// ---- TCustomComboBox, TComboBox ---------------------------------------------------------

enum TComboBoxStyle { csDropDown, csDropDownList, csSimple, csOwnerDrawFixed, csOwnerDrawVariable };

// A native "COMBOBOX". Owner-drawn styles are drop-down lists. OnChange fires when the user
// edits the text (CBN_EDITCHANGE) and when the selection changes (CBN_SELCHANGE, after
// OnSelect); ItemIndex set from code fires nothing. Height is the closed height; the open
// list shows DropDownCount lines.
class TCustomComboBox : public TCustomListControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomComboBox(TComponent* owner);

    TComboBoxStyle Style() const { return style_; }
    void SetStyle(TComboBoxStyle value);
    int DropDownCount() const { return dropDownCount_; }
    void SetDropDownCount(int value);
    bool DroppedDown() const;
    void SetDroppedDown(bool value);

    std::string GetText() const override;
    // Without a text field: selects the line with this text (none when there is no such line).
    void SetText(const std::string& text) override;

    void WndProc(TMessage& message) override;

    TNotifyEvent OnChange;
    TNotifyEvent OnSelect;
    TNotifyEvent OnDropDown;
    TNotifyEvent OnCloseUp;

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void RestoreSelection() override;
    bool OwnerDrawn() const override { return style_ == csOwnerDrawFixed || style_ == csOwnerDrawVariable; }
    bool OwnerDrawVariable() const override { return style_ == csOwnerDrawVariable; }
    // True for the styles with a text field the user types into.
    bool HasEdit() const { return style_ == csDropDown || style_ == csSimple; }
    virtual void Change();
    virtual void Select();
    virtual void DropDown();
    virtual void CloseUp();

private:
    void CNCommand(TMessage& message);
    // The open list's height in pixels.
    int DropDownHeight() const;
    // A drop-down box takes the height asked for beyond its closed one as its open list's.
    void ApplyDropDownHeight();

    TComboBoxStyle style_ = csDropDown;
    int dropDownCount_ = 8;
};

class TComboBox : public TCustomComboBox {
    DECLARE_CLASS_INFO()

public:
    explicit TComboBox(TComponent* owner) : TCustomComboBox(owner) {}
};

// ---- TCustomListBox, TListBox -----------------------------------------------------------

enum TListBoxStyle { lbStandard, lbOwnerDrawFixed, lbOwnerDrawVariable };

// A native "LISTBOX". OnClick fires on LBN_SELCHANGE (the user's selection), OnDblClick on
// LBN_DBLCLK. With MultiSelect, ItemIndex is the line with the focus rectangle and Selected
// tells each line; ExtendedSelect picks ranges with Shift and Ctrl. Lines, selection and top
// line survive RecreateWnd.
class TCustomListBox : public TCustomListControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomListBox(TComponent* owner);

    TListBoxStyle Style() const { return style_; }
    void SetStyle(TListBoxStyle value);
    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle value);
    bool MultiSelect() const { return multiSelect_; }
    void SetMultiSelect(bool value);
    bool ExtendedSelect() const { return extendedSelect_; }
    void SetExtendedSelect(bool value);

    int ItemIndex() const override;
    void SetItemIndex(int index) override;
    bool Selected(int index) const;
    void SetSelected(int index, bool value);
    // The number of selected lines (0 or 1 without MultiSelect).
    int SelCount() const;
    int TopIndex() const;
    void SetTopIndex(int index);
    // The line at a client point; when none: -1 if existing, else Count.
    int ItemAtPos(TPoint point, bool existing) const;
    // Client coordinates; empty for an index without a line or without a window.
    TRect ItemRect(int index) const;

    void WndProc(TMessage& message) override;

protected:
    void CreateParams(TCreateParams& params) override;
    bool OwnerDrawn() const override { return style_ != lbStandard; }
    bool OwnerDrawVariable() const override { return style_ == lbOwnerDrawVariable; }
    void SaveSelection() override;
    void RestoreSelection() override;
    void MapSavedSelection(const std::function<int(int)>& newIndex) override;

private:
    void CheckIndex(int index) const;

    TListBoxStyle style_ = lbStandard;
    TBorderStyle borderStyle_ = bsSingle;
    bool multiSelect_ = false;
    bool extendedSelect_ = true;
    std::vector<int> savedSelected_;  // multi-selection lines while there is no window
    int savedTopIndex_ = 0;
};

class TListBox : public TCustomListBox {
    DECLARE_CLASS_INFO()

public:
    explicit TListBox(TComponent* owner) : TCustomListBox(owner) {}
};

// ---- TCustomGroupBox, TGroupBox ---------------------------------------------------------

// An etched frame with the caption on its top edge, in a window of its own class. Aligned
// children go inside the frame, below the caption.
class TCustomGroupBox : public TCustomControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomGroupBox(TComponent* owner);

    void WndProc(TMessage& message) override;

protected:
    void CreateParams(TCreateParams& params) override;
    void AdjustClientRect(TRect& rect) const override;
    void Paint() override;
    // The height of the caption line in Font.
    int CaptionHeight() const;
};

class TGroupBox : public TCustomGroupBox {
    DECLARE_CLASS_INFO()

public:
    explicit TGroupBox(TComponent* owner) : TCustomGroupBox(owner) {}
};

template <>
struct TEnumTraits<TCheckBoxState> {
    static constexpr const char* Names[] = {"cbUnchecked", "cbChecked", "cbGrayed"};
};
template <>
struct TEnumTraits<TEditCharCase> {
    static constexpr const char* Names[] = {"ecNormal", "ecUpperCase", "ecLowerCase"};
};
template <>
struct TEnumTraits<TOwnerDrawStateFlag> {
    static constexpr const char* Names[] = {"odSelected", "odGrayed",  "odDisabled",    "odChecked",
                                            "odFocused",  "odDefault", "odComboBoxEdit"};
};
template <>
struct TEnumTraits<TComboBoxStyle> {
    static constexpr const char* Names[] = {"csDropDown", "csDropDownList", "csSimple", "csOwnerDrawFixed",
                                            "csOwnerDrawVariable"};
};
template <>
struct TEnumTraits<TListBoxStyle> {
    static constexpr const char* Names[] = {"lbStandard", "lbOwnerDrawFixed", "lbOwnerDrawVariable"};
};
