#pragma once

// Components that watch their form's messages, and the caption help button.
//
// Hook chain: every TfhFormHookComponent subclasses its owner's window with SetWindowSubclass.
// The components of one window form one chain in the order they were made: the last one made
// sees a message first (BeforeFormMessage), passes it on unless it handled it, and sees it again
// after the form (AfterFormMessage). When the form's window is made again (RecreateWnd), every
// component of that window is hooked to the new one and hears Rehooked.
// TfhCustomAppHookComponent also hooks the application window. TFormHelpButton draws a button
// into the form's caption bar with a tooltip and can add an entry to the system menu.

#include "Classes.h"
#include "Controls.h"
#include "Forms.h"
#include "Graphics.h"

#include <memory>
#include <string>
#include <vector>

// Identifiers of the caption button (hit-test code and system command) and its menu items.
constexpr UINT kCaptionButtonId = 5712;
constexpr UINT kMenuSeparatorBeforeId = 6712;
constexpr UINT kMenuSeparatorAfterId = 7712;
// Messages of the hook list's and the components' utility windows.
constexpr UINT WM_FHREHOOK = 1325;
constexpr UINT WM_FHHOOKAPP = 0x3A54;
constexpr UINT WM_FHCAPTIONCHANGED = 0x3A59;
constexpr UINT WM_FHINSERTMENU = 0x3A60;

class TfhFormHookComponent : public TComponent {
    DECLARE_CLASS_INFO()

public:
    // Raises EInvalidOperation when owner is not a windowed control.
    explicit TfhFormHookComponent(TComponent* owner);
    ~TfhFormHookComponent() override;
    void BeforeDestruction() override;

    // The owner when it is a form.
    TCustomForm* OwnerForm() const;
    TWinControl* OwnerControl() const { return ownerControl_; }
    HWND HookedWindow() const { return window_; }
    bool Hooked() const { return hooked_; }
    HWND UtilityWindow() const { return utility_; }
    // Frame change of the hooked window, without moving, sizing or activating it.
    void RedrawFrame();
    DWORD WindowStyle() const;
    DWORD WindowExStyle() const;

protected:
    // The form's system menu (not reverted).
    virtual HMENU GetSystemMenuHandle();
    virtual void UtilityWindowProc(TMessage& message);
    virtual void BeforeFormMessage(TMessage& message, bool& handled);
    virtual void AfterFormMessage(TMessage& message);
    virtual void Rehooked() {}

private:
    friend class TacHookList;
    static LRESULT CALLBACK HookProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    void Hook();
    void Unhook();

    TWinControl* ownerControl_ = nullptr;
    HWND window_ = nullptr;
    bool hooked_ = false;
    bool leaving_ = false;
    HWND utility_ = nullptr;
};

class TfhCustomAppHookComponent : public TfhFormHookComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TfhCustomAppHookComponent(TComponent* owner);
    ~TfhCustomAppHookComponent() override;
    void BeforeDestruction() override;

    // Subclasses the application window (not while destroying).
    void HookApplication();
    void UnhookApplication();
    bool AppHooked() const { return appHooked_; }

protected:
    void UtilityWindowProc(TMessage& message) override;
    void AfterFormMessage(TMessage& message) override;
    virtual void BeforeAppMessage(TMessage& message, bool& handled);
    virtual void AfterAppMessage(TMessage& message);
    virtual void CaptionChanged() {}

private:
    static LRESULT CALLBACK AppHookProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);

    bool appHooked_ = false;
    HWND appWindow_ = nullptr;
    std::string lastCaption_;
};

enum TfhCaptionButtonStyle { cbsAuto, cbsWin9x, cbsWinXP };
enum TfhCaptionButtonXPStyleColor { xpcBlue, xpcGreen, xpcRed, xpcYellow, xpcBrown };
enum TfhMenuSeparator { seBefore, seAfter };
using TfhMenuSeparators = TSet<TfhMenuSeparator>;

class TFormHelpButton;

// The caption button's published settings.
class TfhACaptionButton : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    explicit TfhACaptionButton(TFormHelpButton& button) : button_(button) {}

    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor value) { cursor_ = value; }
    TCursor CursorDown() const { return cursorDown_; }
    void SetCursorDown(TCursor value) { cursorDown_ = value; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& value);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool value);
    TfhCaptionButtonStyle Style() const { return style_; }
    void SetStyle(TfhCaptionButtonStyle value);
    bool Visible() const { return visible_; }
    void SetVisible(bool value);
    TfhCaptionButtonXPStyleColor XPStyleColor() const { return xpStyleColor_; }
    void SetXPStyleColor(TfhCaptionButtonXPStyleColor value);

private:
    TFormHelpButton& button_;
    TCursor cursor_ = crDefault;
    TCursor cursorDown_ = crDefault;
    bool enabled_ = true;
    std::string hint_;
    bool showHint_ = true;
    TfhCaptionButtonStyle style_ = cbsAuto;
    bool visible_ = true;
    TfhCaptionButtonXPStyleColor xpStyleColor_ = xpcBlue;
};

// The system-menu entry of the caption button.
class TfhSystemMenu : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    explicit TfhSystemMenu(TFormHelpButton& button) : button_(button) {}

    bool ApplyToMenu() const { return applyToMenu_; }
    void SetApplyToMenu(bool value);
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& value);
    int Position() const { return position_; }
    void SetPosition(int value);
    TfhMenuSeparators Separators() const { return separators_; }
    void SetSeparators(TfhMenuSeparators value);
    bool Inserted() const { return inserted_; }

    // Removes the items and inserts them again while ApplyToMenu is on.
    void Refresh();
    void Remove();
    // Greys and checks the entry after the button's state.
    void UpdateState();

private:
    void Insert();

    TFormHelpButton& button_;
    bool applyToMenu_ = false;
    std::string caption_;
    int position_ = 0;
    TfhMenuSeparators separators_;
    bool inserted_ = false;
};

class TFormHelpButton : public TfhCustomAppHookComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TFormHelpButton(TComponent* owner);
    ~TFormHelpButton() override;
    void BeforeDestruction() override;
    void Loaded() override;

    TfhACaptionButton* CaptionButton() const { return captionButton_.get(); }
    TfhSystemMenu* SystemMenu() const { return systemMenu_.get(); }
    // The font of the glyph character; its height follows the caption-button size.
    TFont& GlyphFont() { return glyphFont_; }
    const std::string& GlyphChar() const { return glyphChar_; }
    void SetGlyphChar(const std::string& value);
    TBitmap& Glyph() { return glyph_; }
    TBitmap& GlyphDown() { return glyphDown_; }
    // A toggling button stays pressed after a click until pressed again.
    bool Toggle() const { return toggle_; }
    void SetToggle(bool value) { toggle_ = value; }
    bool Pressed() const { return pressed_; }
    void SetPressed(bool value);
    // The hit rectangle in window coordinates (empty while not shown).
    TRect ButtonRect() const { return buttonRect_; }
    // Recomputes the geometry and draws the button into the caption bar.
    void DrawButton();
    bool TooltipRegistered() const { return toolRegistered_; }
    // The tooltip's rectangle in client coordinates of the form.
    TRect TooltipRect() const { return toolRect_; }

    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    TNotifyEvent OnClickButton;

    // Called by the persistent parts when a setting changed.
    void ButtonChanged();

protected:
    void BeforeFormMessage(TMessage& message, bool& handled) override;
    void AfterFormMessage(TMessage& message) override;
    void UtilityWindowProc(TMessage& message) override;
    void Rehooked() override;

    // Notifications of the caption button, in the order a click runs them.
    virtual void ButtonMouseDown();
    virtual void ButtonPress(bool fromMouseDown);
    virtual void ButtonMouseUp();
    virtual void ButtonClick();
    virtual void ButtonRelease();
    virtual void ButtonEnter() {}
    virtual void ButtonLeave() {}

private:
    friend class TfhSystemMenu;
    bool ComputeGeometry();
    bool HasCaption() const;
    bool Shown() const;
    bool PointOnButton(TPoint screen) const;
    void PaintButton(HDC dc, bool down);
    void RegisterTooltip();
    void UnregisterTooltip();
    void ClickSequence(bool fromMouseDown);
    void GlyphFontChanged(TObject*);

    std::unique_ptr<TfhACaptionButton> captionButton_;
    std::unique_ptr<TfhSystemMenu> systemMenu_;
    TFont glyphFont_;
    std::string glyphChar_ = "A";
    TBitmap glyph_;
    TBitmap glyphDown_;
    bool toggle_ = false;
    bool pressed_ = false;
    bool mouseDown_ = false;
    bool captured_ = false;
    bool drawnDown_ = false;
    bool hot_ = false;
    TRect buttonRect_{0, 0, 0, 0};
    int buttonOffset_ = 0;
    bool toolRegistered_ = false;
    UINT_PTR toolId_ = 0;
    TRect toolRect_{0, 0, 0, 0};
    bool updatingFont_ = false;
};

template <>
struct TEnumTraits<TfhCaptionButtonStyle> {
    static constexpr const char* Names[] = {"cbsAuto", "cbsWin9x", "cbsWinXP"};
};
template <>
struct TEnumTraits<TfhCaptionButtonXPStyleColor> {
    static constexpr const char* Names[] = {"xpcBlue", "xpcGreen", "xpcRed", "xpcYellow", "xpcBrown"};
};
template <>
struct TEnumTraits<TfhMenuSeparator> {
    static constexpr const char* Names[] = {"seBefore", "seAfter"};
};
