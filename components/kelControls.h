#pragma once

// Controls of the utility library: the check-box group box, the flat edit, the image combo
// box, list box and image, the arrow scroll bar and the date panel.

#include "ComCtrls.h"
#include "ExtCtrls.h"
#include "ImgList.h"
#include "StdCtrls.h"
#include "kelComponents.h"

#include <optional>
#include <string>
#include <utility>

// A group box whose caption is a check box: ticking it enables the controls inside the box,
// clearing it disables them.
class TkelCustomGroupBox : public TCustomGroupBox {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomGroupBox(TComponent* owner);

    bool AutoDisableControls() const { return autoDisableControls_; }
    void SetAutoDisableControls(bool value);
    bool CheckBoxChecked() const;
    void SetCheckBoxChecked(bool value);
    bool CheckBoxVisible() const;
    void SetCheckBoxVisible(bool value);
    // The caption check box; owned by the box.
    TCheckBox* CheckBox() const { return checkBox_; }

    void Update() override;
    void WndProc(TMessage& message) override;
    // Ends the caption check box's loading too: made while the box loaded (a form built in
    // code), it would otherwise stay loading and never fire its clicks.
    void Loaded() override;

    // Fires after every click of the check box, by the user or from CheckBoxChecked.
    TNotifyEvent OnCheckBoxClick;
    std::string About;

    // The check glyph's size.
    virtual SIZE GetCheckBoxSize() const;
    // Gives the check box the caption and places it over the caption line.
    virtual void AdjustCheckBox();
    // With AutoDisableControls: every other child is enabled exactly when the box is
    // enabled and the check box hidden or checked.
    virtual void UpdateControlsState();

protected:
    virtual void CheckBoxClick(TObject* sender);
    void Paint() override;

private:
    TCheckBox* checkBox_ = nullptr;
    bool autoDisableControls_ = true;
};

class TkelGroupBox : public TkelCustomGroupBox {
    DECLARE_CLASS_INFO()

public:
    explicit TkelGroupBox(TComponent* owner) : TkelCustomGroupBox(owner) {}
};

// ---- Flat edit, image combo box, image list box, image -----------------------------------

// True when this system aligns text only in multi-line edits (the oldest 9x and NT releases).
// Systems newer than the version table knows count as new ones.
bool EditAlignsOnlyMultiLine();
// Tests pretend to run on an old (true) or new (false) system; nullopt asks the system again.
void SetEditSystemOverride(std::optional<bool> old);

// A single-line edit that aligns its text and can be drawn flat: a thin frame in the parent's
// colour that becomes a sunken edge while the mouse is over it or it has the focus.
class TkelCustomEdit : public TCustomEdit {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomEdit(TComponent* owner);

    TAlignment Alignment() const { return alignment_; }
    virtual void SetAlignment(TAlignment value);
    bool Flat() const { return flat_; }
    virtual void SetFlat(bool value);
    bool FocusBorder() const { return focusBorder_; }
    virtual void SetFocusBorder(bool value);
    // The mouse is over the edit.
    bool Hot() const { return hot_; }
    // The window was made multi-line to align its text.
    bool CreatedMultiLine() const { return createdMultiLine_; }

    void WndProc(TMessage& message) override;
    void Update() override;

    // Draws the flat frame on a DC of the whole window.
    virtual void DrawFlatFrame(HDC dc);
    virtual void RedrawFlatFrame();

protected:
    void CreateParams(TCreateParams& params) override;
    void KeyDown(WORD& key, TShiftState shift) override;
    void KeyPress(char& key) override;

private:
    void EnabledChanged();

    TAlignment alignment_ = taLeftJustify;
    bool flat_ = false;
    bool focusBorder_ = true;
    bool hot_ = false;
    bool createdMultiLine_ = false;
    // The colour given up while a flat edit is disabled.
    std::optional<std::pair<TColor, bool>> savedColor_;
};

class TkelEdit : public TkelCustomEdit {
    DECLARE_CLASS_INFO()

public:
    explicit TkelEdit(TComponent* owner) : TkelCustomEdit(owner) {}
};

// A combo box that draws images of an image list beside its lines (owner-drawn styles) and
// can be drawn flat like the flat edit.
class TkelCustomComboBox : public TCustomComboBox {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomComboBox(TComponent* owner);
    ~TkelCustomComboBox() override;

    bool Etched() const { return etched_; }
    void SetEtched(bool value);
    bool Flat() const { return flat_; }
    void SetFlat(bool value);
    bool FocusBorder() const { return focusBorder_; }
    void SetFocusBorder(bool value);
    TImageList* ImageList() const { return imageList_; }
    void SetImageList(TImageList* list);
    bool ImageListAsIcon() const { return imageListAsIcon_; }
    void SetImageListAsIcon(bool value);
    // The open list's width; the window's own value while it exists.
    int ListWidth() const;
    void SetListWidth(int value);
    bool Hot() const { return hot_; }

    void WndProc(TMessage& message) override;

    // The drop-down button's area in client coordinates: at the right, or at the left where a
    // right-to-left window has it there.
    TRect ButtonRect() const;
    virtual void DrawFlatFrame(HDC dc);
    void RedrawFlatFrame();

protected:
    void CreateWnd() override;
    void SaveWindowState() override;
    void DrawItem(int index, const TRect& rect, TOwnerDrawState state) override;
    void DropDown() override;
    void CloseUp() override;
    void Notification(TComponent* component, TOperation operation) override;
    // The larger of the font's height + 2 and 7, and at least the images' height.
    void AdjustItemHeight();

private:
    void ImageListChanged(TObject*);
    void EnabledChanged();
    bool ButtonOnLeft() const;

    bool etched_ = false;
    bool flat_ = false;
    bool focusBorder_ = true;
    bool imageListAsIcon_ = true;
    bool hot_ = false;
    int listWidth_ = 0;
    TImageList* imageList_ = nullptr;
    std::optional<std::pair<TColor, bool>> savedColor_;
};

class TkelComboBox : public TkelCustomComboBox {
    DECLARE_CLASS_INFO()

public:
    explicit TkelComboBox(TComponent* owner) : TkelCustomComboBox(owner) {}
};

// An owner-drawn list box that shows an image of an image list before each line.
class TkelCustomImageListBox : public TCustomListBox {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomImageListBox(TComponent* owner);
    ~TkelCustomImageListBox() override;

    // No selection colours and no focus rectangle.
    bool HideSelection() const { return hideSelection_; }
    void SetHideSelection(bool value);
    TImageList* ImageList() const { return imageList_; }
    void SetImageList(TImageList* list);
    // The image index is the number stored as the line's object instead of the line's index.
    bool ImageIndexByObject() const { return imageIndexByObject_; }
    void SetImageIndexByObject(bool value);
    TTextLayout ImageLayout() const { return imageLayout_; }
    void SetImageLayout(TTextLayout value);
    bool ImageListAsIcon() const { return imageListAsIcon_; }
    void SetImageListAsIcon(bool value);
    int Margin() const { return margin_; }
    void SetMargin(int value);
    int Spacing() const { return spacing_; }
    void SetSpacing(int value);
    // The published Style: the list is always owner-drawn with a fixed item height.
    void KeepOwnerDrawStyle(TListBoxStyle);

    // The image of a line, -1 when it has none.
    int ImageIndexOf(int index) const;

    void WndProc(TMessage& message) override;

protected:
    void DrawItem(int index, const TRect& rect, TOwnerDrawState state) override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    void ImageListChanged(TObject*);
    void CNDrawItem(TMessage& message);

    bool hideSelection_ = false;
    TImageList* imageList_ = nullptr;
    bool imageIndexByObject_ = false;
    TTextLayout imageLayout_ = tlCenter;
    bool imageListAsIcon_ = true;
    int margin_ = 2;
    int spacing_ = 4;
};

class TkelImageListBox : public TkelCustomImageListBox {
    DECLARE_CLASS_INFO()

public:
    explicit TkelImageListBox(TComponent* owner) : TkelCustomImageListBox(owner) {}
};

// An image whose picture can come from an image list, with a caption drawn over it.
class TkelCustomImage : public TImage {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomImage(TComponent* owner);
    ~TkelCustomImage() override;

    bool CaptionVisible() const { return captionVisible_; }
    void SetCaptionVisible(bool value);
    // Shows the caption while the picture is empty.
    bool CaptionWhenEmpty() const { return captionWhenEmpty_; }
    void SetCaptionWhenEmpty(bool value);
    TImageList* ImageList() const { return imageList_; }
    void SetImageList(TImageList* list);
    bool ImageListAsIcon() const { return imageListAsIcon_; }
    void SetImageListAsIcon(bool value);
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int value);

protected:
    void Paint() override;
    void Notification(TComponent* component, TOperation operation) override;
    // Takes the picture from the image list when ImageIndex lies within it.
    virtual void UpdatePicture();

private:
    void ImageListChanged(TObject*) { UpdatePicture(); }

    bool captionVisible_ = false;
    bool captionWhenEmpty_ = true;
    TImageList* imageList_ = nullptr;
    bool imageListAsIcon_ = true;
    int imageIndex_ = 0;
};

class TkelImage : public TkelCustomImage {
    DECLARE_CLASS_INFO()

public:
    explicit TkelImage(TComponent* owner) : TkelCustomImage(owner) {}
};

// ---- Arrow scroll bar ---------------------------------------------------------------------

// The base of the library's small painted controls. A child window of its own class (not a
// windowless control) so that it takes the focus and can be driven from outside.
class TkelGraphicControl : public TCustomControl {
    DECLARE_CLASS_INFO()

public:
    explicit TkelGraphicControl(TComponent* owner) : TCustomControl(owner) {}
};

enum TScrollBarKind { sbHorizontal, sbVertical };

// Two arrow buttons without a thumb, stepping Position by one between Min and Max, repeating
// while a button is held. Keyboard: the arrow keys step; BM_CLICK steps towards Max.
class TkelCustomScrollBar : public TkelGraphicControl {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomScrollBar(TComponent* owner);

    bool AutoSize() const { return autoSize_; }
    virtual void SetAutoSize(bool value);
    // At Min the decrease button is not drawn, at Max the increase button.
    bool HideButtons() const { return hideButtons_; }
    void SetHideButtons(bool value);
    TScrollBarKind Kind() const { return kind_; }
    void SetKind(TScrollBarKind value);
    int Margin() const { return margin_; }
    void SetMargin(int value);
    int Max() const { return max_; }
    void SetMax(int value);
    int Min() const { return min_; }
    void SetMin(int value);
    int Position() const { return position_; }
    void SetPosition(int value);
    unsigned TimerInterval() const { return timerInterval_; }
    void SetTimerInterval(unsigned value);
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);
    // The held button (0 increase, 1 decrease), -1 when none.
    int HeldButton() const { return held_; }
    bool HeldPressed() const { return pressed_; }
    // The repeat timer runs.
    bool Repeating() const { return repeatTimer_->Enabled(); }

    void SetBounds(int left, int top, int width, int height) override;
    void WndProc(TMessage& message) override;
    void Loaded() override;

    TNotifyEvent OnChange;

    virtual void ApplyAutoSize();
    // Button 0 increases, 1 decreases.
    virtual TRect GetButtonRect(int button) const;
    virtual void DrawButton(int button, bool pressed);
    virtual bool StepPosition();
    // A tick of the repeat timer.
    virtual void RepeatStep();

protected:
    void CreateParams(TCreateParams& params) override;
    void Paint() override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void KeyDown(WORD& key, TShiftState shift) override;

private:
    void FinishPress(int x, int y);
    int ButtonSize() const;
    bool ButtonShown(int button) const;
    bool OverButton(int button, int x, int y) const;
    bool CursorOverHeld() const;
    void DrawButtonOn(TCanvas& canvas, int button, bool pressed);
    void RepaintButton(int button);
    void TimerTick(TObject*) { RepeatStep(); }
    // Steps once in a direction, as a release over that button does.
    void StepOnce(int button);

    bool autoSize_ = true;
    bool hideButtons_ = true;
    TScrollBarKind kind_ = sbVertical;
    int margin_ = 0;
    int max_ = 100;
    int min_ = 0;
    int position_ = 0;
    unsigned timerInterval_ = 100;
    bool transparent_ = false;
    int arrowLength_ = 0;
    int held_ = -1;
    bool pressed_ = false;
    // The repeat timer, owned by the bar.
    TkelCustomTimer* repeatTimer_ = nullptr;
};

class TkelScrollBar : public TkelCustomScrollBar {
    DECLARE_CLASS_INFO()

public:
    explicit TkelScrollBar(TComponent* owner) : TkelCustomScrollBar(owner) {}
};

// ---- Date panel -------------------------------------------------------------------------

// Days since 30 December 1899; the fraction is the time of day.
using TkelDate = double;
TkelDate EncodeKelDate(int year, int month, int day);
void DecodeKelDate(TkelDate date, int& year, int& month, int& day);
bool IsValidKelDate(int year, int month, int day);
bool IsLeapYear(int year);
// Today at midnight.
TkelDate KelToday();

enum TkelDatePanelLayout { dplSystemDefault, dplDMY, dplMDY, dplYMD, dplYDM };

// The order a short date format writes day, month and year in ("M/d/yyyy" gives dplMDY).
TkelDatePanelLayout LayoutOfDateFormat(const std::string& shortDateFormat);
// The order of the user's locale.
TkelDatePanelLayout SystemDateLayout();

// Edits a date with a day edit and up-down, a month list and a year edit and up-down in one
// row, ordered as the locale writes dates unless a fixed order is chosen.
class TkelCustomDatePanel : public TCustomPanel {
    DECLARE_CLASS_INFO()

public:
    explicit TkelCustomDatePanel(TComponent* owner);

    virtual TkelDate Date() const;
    virtual void SetDate(TkelDate value);
    bool EditDay() const { return editDay_; }
    void SetEditDay(bool value);
    bool EditMonth() const { return editMonth_; }
    void SetEditMonth(bool value);
    bool EditYear() const { return editYear_; }
    void SetEditYear(bool value);
    bool Etched() const { return etched_; }
    void SetEtched(bool value);
    bool Flat() const { return flat_; }
    void SetFlat(bool value);
    bool FocusBorder() const { return focusBorder_; }
    void SetFocusBorder(bool value);
    TStringList* MonthNames() const { return monthBox_->Items(); }
    void SetMonthNames(TStringList* names);
    int ControlsSpace() const { return controlsSpace_; }
    virtual void SetControlsSpace(int value);
    TkelDatePanelLayout ControlsLayout() const { return controlsLayout_; }
    virtual void SetControlsLayout(TkelDatePanelLayout value);
    // The order in use: ControlsLayout, with the locale's for dplSystemDefault.
    TkelDatePanelLayout EffectiveLayout() const { return effectiveLayout_; }
    bool Locked() const { return locked_; }
    void SetLocked(bool value) { locked_ = value; }

    TkelEdit* DayEdit() const { return dayEdit_; }
    TUpDown* DayUpDown() const { return dayUpDown_; }
    TkelComboBox* MonthBox() const { return monthBox_; }
    TkelEdit* YearEdit() const { return yearEdit_; }
    TUpDown* YearUpDown() const { return yearUpDown_; }
    int Month() const { return month_; }

    void SetEnabled(bool enabled) override;
    void WndProc(TMessage& message) override;
    void Loaded() override;

    TNotifyEvent OnChangeDate;
    TNotifyEvent OnChangeDay;
    TNotifyEvent OnChangeMonth;
    TNotifyEvent OnChangeYear;
    TNotifyEvent OnClickMonth;
    TKeyPressEvent OnKeyPressDay;
    TKeyPressEvent OnKeyPressYear;

    virtual void FillMonthNames();
    virtual void CreateChildren();
    virtual void LayoutChildren();
    virtual void SizeChildren();
    virtual void ClampDay();
    virtual void DoChangeDate();

protected:
    virtual void DayChange(TObject* sender);
    virtual void MonthChange(TObject* sender);
    virtual void YearChange(TObject* sender);
    virtual void MonthClick(TObject* sender);
    virtual void DayKeyPress(TObject* sender, char& key);
    virtual void YearKeyPress(TObject* sender, char& key);
    void AlignControls(TControl* control, TRect& rect) override;

private:
    int DayNumber() const;
    int YearNumber() const;
    void SetDayText(int day);
    // Change events are kept back while loading and while Date is set.
    bool Updating() const { return updating_ || IsLoading(); }
    // A part's event unless updating, then DoChangeDate.
    void PartChanged(const TNotifyEvent& event);
    // Drops what is neither a control character nor a digit.
    static void FilterDigit(char& key);
    void ApplyChildLooks();

    TkelEdit* dayEdit_ = nullptr;
    TUpDown* dayUpDown_ = nullptr;
    TkelComboBox* monthBox_ = nullptr;
    TkelEdit* yearEdit_ = nullptr;
    TUpDown* yearUpDown_ = nullptr;
    int month_ = 1;
    bool editDay_ = true;
    bool editMonth_ = true;
    bool editYear_ = true;
    bool etched_ = false;
    bool flat_ = false;
    bool focusBorder_ = true;
    int controlsSpace_ = 8;
    TkelDatePanelLayout controlsLayout_ = dplSystemDefault;
    TkelDatePanelLayout effectiveLayout_ = dplDMY;
    bool locked_ = false;
    bool childrenCreated_ = false;
    bool updating_ = false;
    bool layingOut_ = false;
    bool clampingDay_ = false;
    int dayWidth_ = 0;
    int yearWidth_ = 0;
    int upDownWidth_ = 0;
};

class TkelDatePanel : public TkelCustomDatePanel {
    DECLARE_CLASS_INFO()

public:
    explicit TkelDatePanel(TComponent* owner) : TkelCustomDatePanel(owner) {}
};

// Registers every control class of this unit by name (once per class).
void RegisterKelControls();

template <>
struct TEnumTraits<TScrollBarKind> {
    static constexpr const char* Names[] = {"sbHorizontal", "sbVertical"};
};
template <>
struct TEnumTraits<TkelDatePanelLayout> {
    static constexpr const char* Names[] = {"dplSystemDefault", "dplDMY", "dplMDY", "dplYMD", "dplYDM"};
};
