#pragma once

// What's-this help: a component on a form that shows a control's long hint, written in bracket
// markup, in a small pop-up window. The user enters help mode (a tool button, a menu item, the
// system-menu command, the caption help button) and clicks a control; F1 shows the help of the
// control under the mouse; a right click on a control without its own menu offers
// "&What's This?". The pop-up closes on the next click, key or after DelayInterval, and offers
// "&Copy" (the text without its tags) on a right click.

#include "FormHelpButton.h"
#include "FormHelpUtils.h"

#include <functional>
#include <memory>
#include <string>

constexpr UINT kHelpCopyCommand = 13666;
constexpr UINT kWhatsThisCommand = 13667;
// Posted to the form by the mouse hook: a right click at the screen point in WParam (x in the
// low word, y in the high word).
constexpr UINT WM_FHWHATSTHIS = 0x3A61;
// GroupIndex given to the help tool button.
constexpr int kHelpButtonGroup = 21357;

class TFormHelp;

// Seam for tests: starts the pop-up's closing timer, as SetTimer does (0: refused). Returns the
// function it replaced; an empty function restores the system's.
using THelpTimerFunction = std::function<UINT_PTR(HWND window, UINT_PTR id, UINT interval)>;
THelpTimerFunction SetHelpTimerHook(THelpTimerFunction function);

class TFormHelpMargins : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    int Horizontal() const { return horizontal_; }
    void SetHorizontal(int value) { horizontal_ = static_cast<uint8_t>(value); }
    int Vertical() const { return vertical_; }
    void SetVertical(int value) { vertical_ = static_cast<uint8_t>(value); }

private:
    uint8_t horizontal_ = 11;
    uint8_t vertical_ = 7;
};

// The markup of the help texts. (TTextStyle names the themed controls' text look.)
class TfhTextStyle : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    bool PlainText() const { return plainText_; }
    void SetPlainText(bool value);
    char TagOpen() const { return tagOpen_; }
    void SetTagOpen(char value);
    char TagClose() const { return tagClose_; }
    void SetTagClose(char value);

    TNotifyEvent OnChange;

private:
    bool plainText_ = false;
    char tagOpen_ = '[';
    char tagClose_ = ']';
};

class TWhatsThis : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    explicit TWhatsThis(TFormHelp& help) : help_(help) {}

    // Right clicks offer the menu (a mouse hook of this thread watches them).
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& value);
    // Its OnClick enters help mode.
    TComponent* MenuItem() const { return menuItem_; }
    void SetMenuItem(TComponent* value);
    // Toggles help mode: GroupIndex 21357, AllowAllUp, its OnClick enters help mode.
    TComponent* ToolbarButton() const { return toolbarButton_; }
    void SetToolbarButton(TComponent* value);

private:
    friend class TFormHelp;
    TFormHelp& help_;
    bool enabled_ = false;
    std::string caption_ = "&What's This?";
    TComponent* menuItem_ = nullptr;
    TComponent* toolbarButton_ = nullptr;
};

using TFormHelpOnShowEvent = TEvent<void(TObject* Sender, TControl* HelpControl, std::string& HelpMessage)>;
using TFormHelpOnHideEvent = TEvent<void(TObject* Sender, TControl* HelpControl)>;
using TWhatsThisEvent =
    TEvent<void(TObject* Sender, TControl* HelpControl, TPoint MousePos, bool& ShowPopup, bool& ShowHelp)>;

// The pop-up: the text rendered once into a bitmap that painting copies. It frees itself when
// it closes; a close inside its own window procedure frees it when that procedure returns.
class THelpWindow {
public:
    // Opens a pop-up; raises the system's error when no window could be made and
    // EOutOfResources when no timer could.
    static THelpWindow* Show(TFormHelp& help, TControl* control, const std::string& text, TPoint position);
    THelpWindow(const THelpWindow&) = delete;
    THelpWindow& operator=(const THelpWindow&) = delete;

    // The open pop-up, or null.
    static THelpWindow* Current();
    HWND Handle() const { return window_; }
    TControl* HelpControl() const { return control_; }
    const std::string& Text() const { return text_; }
    TBitmap& Bitmap() { return bitmap_; }
    TFormHelp& Help() const { return help_; }
    // Closes the pop-up and frees it (later, when called from inside its window procedure).
    void Close();

private:
    THelpWindow(TFormHelp& help, TControl* control, const std::string& text);
    ~THelpWindow();
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Open(TPoint position);

    TFormHelp& help_;
    TControl* control_;
    std::string text_;
    bool savedShowHint_ = true;
    TBitmap bitmap_;
    HMENU menu_ = nullptr;
    HWND window_ = nullptr;
    bool classRegistered_ = false;
    bool closing_ = false;
    int depth_ = 0;  // window-procedure calls running on this object
};

class TFormHelp : public TFormHelpButton {
    DECLARE_CLASS_INFO()

public:
    explicit TFormHelp(TComponent* owner);
    ~TFormHelp() override;
    void BeforeDestruction() override;

    bool Active() const { return active_; }
    void SetActive(bool value) { active_ = value; }
    bool AdjustPopupWidth() const { return adjustPopupWidth_; }
    void SetAdjustPopupWidth(bool value) { adjustPopupWidth_ = value; }
    int DelayInterval() const { return delayInterval_; }
    void SetDelayInterval(int value) { delayInterval_ = static_cast<uint16_t>(value); }
    TColor Color() const { return color_; }
    void SetColor(TColor value) { color_ = value; }
    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor value) { cursor_ = value; }
    TCursor CursorHelp() const { return cursorHelp_; }
    void SetCursorHelp(TCursor value) { cursorHelp_ = value; }
    TFont* Font() const { return font_.get(); }
    void SetFont(TFont* value) { font_->Assign(*value); }
    TFormHelpMargins* Margins() const { return margins_.get(); }
    bool ParentFont() const { return parentFont_; }
    bool ParentFontOff() const;
    void SetParentFont(bool value);
    // 40 to 1000; values outside are brought into that range.
    int PopupWidth() const { return popupWidth_; }
    void SetPopupWidth(int value);
    TColor ShadowColor() const { return shadowColor_; }
    void SetShadowColor(TColor value) { shadowColor_ = value; }
    bool ShowShadow() const { return showShadow_; }
    void SetShowShadow(bool value) { showShadow_ = value; }
    TfhTextStyle* TextStyle() const { return textStyle_.get(); }
    bool UseF1() const { return useF1_; }
    void SetUseF1(bool value) { useF1_ = value; }
    TWhatsThis* WhatsThis() const { return whatsThis_.get(); }

    TNotifyEvent OnButtonClick;
    TFormHelpOnShowEvent OnShow;
    TFormHelpOnHideEvent OnHide;
    TWhatsThisEvent OnWhatsThis;

    // Shows the pop-up for control at a screen position ((-1, -1): the mouse); an empty text
    // means the control's long hint.
    virtual void ShowHelp(TControl* control, TPoint position, const std::string& text);
    // With a control: its form's help shows it; without: the help control under the mouse.
    void ShowHelpFor(TControl* control);
    void EnterHelpMode();
    bool HelpMode() const { return helpMode_; }
    // The control whose long hint a click at the screen point shows, or null.
    TControl* HelpControlAtPos(TPoint point);
    // Moves control to the control whose long hint is shown; false when none has one.
    static bool GetHelpText(TControl*& control);
    // The right-click menu (one item, kWhatsThisCommand).
    HMENU WhatsThisMenu() const { return whatsThisMenu_; }

protected:
    void BeforeFormMessage(TMessage& message, bool& handled) override;
    void Notification(TComponent* component, TOperation operation) override;
    void ButtonPress(bool fromMouseDown) override;
    void ButtonClick() override;

private:
    friend class TWhatsThis;
    friend class THelpWindow;
    static LRESULT CALLBACK MouseHook(int code, WPARAM wParam, LPARAM lParam);
    void InstallHook(bool install);
    void ToolButtonClick(TObject* sender);
    void MenuItemClick(TObject* sender);
    void FontChanged(TObject* sender);
    void CopyParentFont();
    void RightClick(TPoint point);
    void CaptureLost();
    void Remember(TComponent*& field, TComponent* value);
    void RebuildWhatsThisMenu();

    bool active_ = true;
    bool adjustPopupWidth_ = true;
    uint16_t delayInterval_ = 0;
    TColor color_ = static_cast<TColor>(0xEEFFFF);
    TCursor cursor_ = crDefault;
    TCursor cursorHelp_ = crHelp;
    std::unique_ptr<TFont> font_;
    std::unique_ptr<TFormHelpMargins> margins_;
    bool parentFont_ = true;
    bool copyingFont_ = false;
    int popupWidth_ = 300;
    TColor shadowColor_ = clBlack;
    bool showShadow_ = true;
    std::unique_ptr<TfhTextStyle> textStyle_;
    bool useF1_ = true;
    std::unique_ptr<TWhatsThis> whatsThis_;

    bool helpMode_ = false;
    bool bySysCommand_ = false;
    TComponent* heldButton_ = nullptr;
    TComponent* rightClickControl_ = nullptr;
    bool inMenuLoop_ = false;
    bool pressedByMouseDown_ = false;
    HMENU whatsThisMenu_ = nullptr;
};
