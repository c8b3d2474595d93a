#pragma once

// Push buttons of the themed library.
//
// TKvCustomButton is a window of our own class that paints itself; its text is its caption, it
// takes the focus, and BM_CLICK clicks it as a user's click does. A left press (or Space) shows it
// pressed while the mouse stays on it; the release inside (or Space going up) runs the click action.
//
// TKvButton adds groups (buttons of one GroupIndex beside each other are exclusive: one going down
// sends CM_KVBUTTONPRESSED to its siblings), Default and Cancel (Enter and Escape reach it through
// the form's CM_DIALOGKEY broadcast), ModalResult, hot tracking and embossed caption styles.
// The active-default flag follows the focus: the focused button is the active default; while
// another button has the focus none is; otherwise the Default button is.
//
// TKvBitBtn adds a glyph (a bitmap strip of NumGlyphs cells or an image of an image list) and the
// standard kinds. TKvMenuButton drops a popup menu. TKvToolButton is a small flat button with
// image indexes that never takes the focus (a window too, so that it can be driven from outside).
//
// Linked to an action, the image buttons take its image index too (unless the action is being
// loaded and the button has one of its own); a tool button takes its Checked as Down in the same
// way, and its Down and ImageIndex follow the action's Checked and ImageIndex while they equal them.

#include "Buttons.h"
#include "Controls.h"
#include "Forms.h"
#include "Graphics.h"
#include "ImgList.h"
#include "KvCommon.h"
#include "Menus.h"

#include <windows.h>

#include <memory>
#include <string>

// Sent to the siblings when a grouped button goes down or its group's AllowAllUp changes.
// WParam: the group index; LParam: the sending button.
constexpr UINT CM_KVBUTTONPRESSED = 9249;

enum TBitBtnKind { bkCustom, bkOK, bkCancel, bkHelp, bkYes, bkNo, bkClose, bkAbort, bkRetry, bkIgnore, bkAll };
enum TKvToolStyle { tsButton, tsDropDown };

class TKvCustomButton : public TCustomControl, public IKvOldProperties {
    DECLARE_CLASS_INFO()

public:
    explicit TKvCustomButton(TComponent* owner);
    ~TKvCustomButton() override;

    TAlignmentVertical AlignmentVertical() const { return alignmentVertical_; }
    virtual void SetAlignmentVertical(TAlignmentVertical value);
    bool HotTrack() const { return hotTrack_; }
    virtual void SetHotTrack(bool value);
    TColor HotTrackColor() const { return hotTrackColor_; }
    void SetHotTrackColor(TColor value);
    TKvHotTrackColorType HotTrackColorType() const { return hotTrackColorType_; }
    void SetHotTrackColorType(TKvHotTrackColorType value);
    TColor HighlightColor() const { return highlightColor_; }
    virtual void SetHighlightColor(TColor value);
    bool LightTextStyle() const { return lightTextStyle_; }
    virtual void SetLightTextStyle(bool value);
    TTextStyle TextStyle() const { return textStyle_; }
    virtual void SetTextStyle(TTextStyle value);
    TColor TextHighlightColor() const { return textHighlightColor_; }
    virtual void SetTextHighlightColor(TColor value);
    TColor TextShadowColor() const { return textShadowColor_; }
    virtual void SetTextShadowColor(TColor value);
    int TextShadowDepth() const { return textShadowDepth_; }
    virtual void SetTextShadowDepth(int value);
    // Paints what the parent shows behind the button instead of erasing it.
    bool Transparent() const { return transparent_; }
    virtual void SetTransparent(bool value);

    // The left button or Space holds the button down and the mouse is on it.
    bool Pressed() const { return pressed_; }
    bool MouseOver() const { return mouseOver_; }

    void WndProc(TMessage& message) override;
    bool ReadOldProperty(const TFormProperty& property) override;

    // The caption in the chosen text style inside rect (flags as for DrawTextA).
    virtual void DrawCaption(TCanvas& canvas, TRect rect, UINT flags);

protected:
    void CreateParams(TCreateParams& params) override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(WORD& key, TShiftState shift) override;
    void KeyUp(WORD& key, TShiftState shift) override;
    // What a user's click does (mouse, Space, BM_CLICK): the button's own work, then Click.
    virtual void ClickAction();
    // Click with the clicking flag set around it; false when the click freed the button.
    bool ClickWithFlag();
    // The rectangle that hot-tracking changes repaint.
    virtual TRect ContentRect() const { return ClientRect(); }
    virtual void FocusChanging() { Invalidate(); }
    // The left-button release handling, also run at once by buttons that drop menus.
    void ReleaseMouse(int x, int y);
    bool Tracking() const { return tracking_; }
    bool Clicking() const { return clicking_; }
    void SetPressed(bool value);

private:
    TAlignmentVertical alignmentVertical_ = avCenter;
    bool hotTrack_ = false;
    TColor hotTrackColor_ = clHighlight;
    TKvHotTrackColorType hotTrackColorType_ = htctComplement;
    TColor highlightColor_ = clHighlight;
    bool lightTextStyle_ = false;
    TTextStyle textStyle_ = tsNormal;
    TColor textHighlightColor_ = clBtnHighlight;
    TColor textShadowColor_ = clBtnShadow;
    int textShadowDepth_ = 2;
    bool transparent_ = false;
    bool tracking_ = false;
    bool mouseOver_ = false;
    bool pressed_ = false;
    bool keyPressed_ = false;
    bool clicking_ = false;
    bool releasing_ = false;  // inside WM_LBUTTONUP: the capture goes as expected
};

class TKvButton : public TKvCustomButton {
    DECLARE_CLASS_INFO()

public:
    explicit TKvButton(TComponent* owner);

    TAlignment Alignment() const { return alignment_; }
    virtual void SetAlignment(TAlignment value);
    bool AllowAllUp() const { return allowAllUp_; }
    virtual void SetAllowAllUp(bool value);
    bool Cancel() const { return cancel_; }
    void SetCancel(bool value) { cancel_ = value; }
    bool Default() const { return default_; }
    virtual void SetDefault(bool value);
    // Only a grouped button goes down; a down one goes up only when its group allows all up.
    bool Down() const { return down_; }
    virtual void SetDown(bool value);
    int GroupIndex() const { return groupIndex_; }
    virtual void SetGroupIndex(int value);
    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult value) { modalResult_ = value; }
    bool ShowDownPattern() const { return showDownPattern_; }
    virtual void SetShowDownPattern(bool value);
    bool ShowFocusRect() const { return showFocusRect_; }
    virtual void SetShowFocusRect(bool value);

    // On HotTrack as well.
    void SetHotTrack(bool value) override;
    // Enter clicks it: it has the focus, or it is Default and no other button has.
    bool ActiveDefault() const { return activeDefault_; }
    TButtonState State() const;
    // Where the caption goes.
    virtual TRect TextRect();

    // Sets the form's ModalResult to the button's, then fires OnClick.
    void Click() override;
    void WndProc(TMessage& message) override;

protected:
    void CreateWnd() override;
    void Paint() override;
    void ClickAction() override;
    TRect ContentRect() const override;
    // The caption (and what descendants add) on the face.
    virtual void DrawContent(TCanvas& canvas);
    // The exclusive-state checkerboard brush pattern: 8 x 8 pixels.
    virtual std::unique_ptr<TBitmap> CreateDownPattern() const;
    // Pressed look: down, exclusive or held.
    bool LooksDown() const;
    bool ThemedPaint() const;
    // The click comes from Enter or Escape.
    bool DialogKeyClick() const { return dialogKey_; }

private:
    // Each returns the rectangle inside the frame it drew.
    TRect DrawThemedFace(TCanvas& canvas);
    TRect DrawHotTrackFace(TCanvas& canvas);
    TRect DrawClassicFace(TCanvas& canvas);
    void BroadcastGroup();
    void GroupMessage(TMessage& message);
    void FocusChanged(TControl* focused);
    bool DialogKey(WPARAM key);

    TAlignment alignment_ = taCenter;
    bool allowAllUp_ = false;
    bool cancel_ = false;
    bool default_ = false;
    bool down_ = false;
    int groupIndex_ = 0;
    TModalResult modalResult_ = mrNone;
    bool showDownPattern_ = true;
    bool showFocusRect_ = true;
    bool activeDefault_ = false;
    bool dialogKey_ = false;
};

class TKvBitBtn : public TKvButton {
    DECLARE_CLASS_INFO()

public:
    explicit TKvBitBtn(TComponent* owner);
    ~TKvBitBtn() override;

    // Never null; setting copies the bitmap (null empties it) and marks the glyph replaced.
    TBitmap* Glyph() const { return glyph_.get(); }
    virtual void SetGlyph(TBitmap* value);
    // A kind reads back as bkCustom once Default, Cancel, ModalResult or the glyph left it.
    virtual TBitBtnKind Kind() const;
    virtual void SetKind(TBitBtnKind value);
    TButtonLayout Layout() const { return layout_; }
    virtual void SetLayout(TButtonLayout value);
    // Pixels between the edge and the glyph; -1 centres; smaller values are refused.
    int Margin() const { return margin_; }
    virtual void SetMargin(int value);
    int NumGlyphs() const { return numGlyphs_; }
    // 1 to 4.
    virtual void SetNumGlyphs(int value);
    int Spacing() const { return spacing_; }
    virtual void SetSpacing(int value);
    TImageList* Images() const { return images_; }
    virtual void SetImages(TImageList* value);
    int ImageIndex() const { return imageIndex_; }
    virtual void SetImageIndex(int value);
    // -1: a disabled button shows ImageIndex in the list's disabled rendering.
    int DisabledIndex() const { return disabledIndex_; }
    virtual void SetDisabledIndex(int value);

    // Scales Margin and Spacing by multiplier / divider.
    void ChangeScale(int multiplier, int divider);

    // Width and height of the glyph; zero without one.
    virtual SIZE GlyphSize() const;
    // Where the glyph goes on the face, pressed shift included.
    virtual TRect GlyphRect();
    TRect TextRect() override;

    // The kind's caption and modal result.
    static const char* KindCaption(TBitBtnKind kind);
    static TModalResult KindModalResult(TBitBtnKind kind);

    void Loaded() override;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    void ActionChange(TAction* sender, bool checkDefaults) override;
    void DrawContent(TCanvas& canvas) override;
    virtual void DrawImageListGlyph(TCanvas& canvas, const TRect& rect);
    virtual void DrawBitmapGlyph(TCanvas& canvas, const TRect& rect);
    bool HasGlyph() const;
    // The rectangles before descendants move them.
    TRect BaseTextRect();
    TRect BaseGlyphRect();
    int CaptionHeight();

private:
    bool UsesImages() const { return images_ && imageIndex_ >= 0; }
    void GlyphChanged(TObject*);
    void ImagesChanged(TObject*);
    bool KindStoredRule() const { return Kind() == bkCustom; }
    bool CaptionStored() const;

    std::unique_ptr<TBitmap> glyph_;
    mutable TBitBtnKind kind_ = bkCustom;
    TButtonLayout layout_ = blGlyphLeft;
    int margin_ = 2;
    int numGlyphs_ = 1;
    int spacing_ = 4;
    TImageList* images_ = nullptr;
    int imageIndex_ = -1;
    int disabledIndex_ = -1;
    bool glyphReplaced_ = false;
};

// A left press (or a click from the keyboard or BM_CLICK, but not Enter or Escape) drops the menu
// and releases the button at once; a press less than 100 ms after a drop-down is the one that
// closed the menu and does nothing more. F4 drops the menu too. Without a menu it is a TKvBitBtn.
class TKvMenuButton : public TKvBitBtn {
    DECLARE_CLASS_INFO()

public:
    explicit TKvMenuButton(TComponent* owner);
    ~TKvMenuButton() override;

    TPopupMenu* DropDownMenu() const { return dropDownMenu_; }
    void SetDropDownMenu(TPopupMenu* value);
    bool ShowArrow() const { return showArrow_; }
    virtual void SetShowArrow(bool value);

    // Fires OnDropDown (the menu is the sender) and pops the menu up under the button.
    virtual void DropDown();
    // Where DropDown puts the menu's top left, in screen coordinates.
    TPoint DropDownPoint();

    void Click() override;
    TRect TextRect() override;
    TRect GlyphRect() override;

    TNotifyEvent OnDropDown;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(WORD& key, TShiftState shift) override;
    void Paint() override;
    // Fires OnDropDown.
    virtual void DoDropDown();

private:
    // False when the button was freed meanwhile.
    bool LeftDown(int x, int y);
    // OnDropDown with the menu as the sender; false when it freed the button or the menu.
    bool FireDropDown();

    TPopupMenu* dropDownMenu_ = nullptr;
    bool showArrow_ = true;
    DWORD dropTime_ = 0;
    bool menuJustClosed_ = false;
};

// Grouped tool buttons are exclusive like TKvButton's; code may set Down on any of them. With
// tsDropDown the rightmost 14 pixels are an arrow part: a press there (or anywhere, without an
// OnClick) drops DropDownMenu, and a release there is no click.
// A tool button asks its parent (CM_KVTOOLBARBUTTONLAYOUT, ...SIZE, ...SHOWCAPTION); a parent that
// imposes a value answers nonzero: the layout + 1, MAKELRESULT(width, height), 1 hidden / 2 shown.
class TKvToolButton : public TGroupedButton {
    DECLARE_CLASS_INFO()

public:
    explicit TKvToolButton(TComponent* owner);
    ~TKvToolButton() override;

    int DisabledIndex() const { return disabledIndex_; }
    void SetDisabledIndex(int value);
    int DownIndex() const { return downIndex_; }
    void SetDownIndex(int value);
    int HotIndex() const { return hotIndex_; }
    void SetHotIndex(int value);
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int value);
    TPopupMenu* DropDownMenu() const { return dropDownMenu_; }
    void SetDropDownMenu(TPopupMenu* value);
    bool Flat() const { return flat_; }
    void SetFlat(bool value);
    TImageList* Images() const { return images_; }
    void SetImages(TImageList* value);
    TButtonLayout Layout() const { return layout_; }
    void SetLayout(TButtonLayout value);
    bool ShowCaption() const { return showCaption_; }
    void SetShowCaption(bool value);
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);
    bool UseToolbarButtonLayout() const { return useToolbarButtonLayout_; }
    void SetUseToolbarButtonLayout(bool value) { useToolbarButtonLayout_ = value; }
    bool UseToolbarButtonSize() const { return useToolbarButtonSize_; }
    void SetUseToolbarButtonSize(bool value) { useToolbarButtonSize_ = value; }
    bool UseToolbarShowCaption() const { return useToolbarShowCaption_; }
    void SetUseToolbarShowCaption(bool value) { useToolbarShowCaption_ = value; }
    TKvToolStyle ToolStyle() const { return toolStyle_; }
    void SetToolStyle(TKvToolStyle value);

    TButtonState State() const;
    bool Hot() const { return hot_; }

    void SetParent(TWinControl* parent) override;
    void Loaded() override;
    void WndProc(TMessage& message) override;

    TNotifyEvent OnDropDown;

protected:
    void CreateParams(TCreateParams& params) override;
    void Notification(TComponent* component, TOperation operation) override;
    std::unique_ptr<TControlActionLink> CreateActionLink() override;
    void ActionChange(TAction* sender, bool checkDefaults) override;
    void Paint() override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    // The drop-down arrow part drops the menu instead of clicking.
    bool ClicksAt(int x, int y) const override;
    // The other tool buttons of the parent hear of it through CM_KVBUTTONPRESSED.
    void GroupChanged() override;
    // Fires OnDropDown.
    virtual void DoDropDown();

private:
    bool InArrowPart(int x) const;
    bool FireDropDown();
    bool HotAllowed() const;
    void DropDown();
    void AskParent();
    void ImagesChanged(TObject*);
    int CurrentImage() const;
    // Images, or the parent toolbar's when there are none.
    TImageList* DrawnImages() const;

    int disabledIndex_ = -1;
    int downIndex_ = -1;
    int hotIndex_ = -1;
    int imageIndex_ = -1;
    TPopupMenu* dropDownMenu_ = nullptr;
    bool flat_ = true;
    TImageList* images_ = nullptr;
    TButtonLayout layout_ = blGlyphLeft;
    bool showCaption_ = false;
    bool transparent_ = true;
    bool useToolbarButtonLayout_ = true;
    bool useToolbarButtonSize_ = true;
    bool useToolbarShowCaption_ = true;
    TKvToolStyle toolStyle_ = tsButton;
    bool hot_ = false;
};

// A tool button's link: Down follows the action's Checked and ImageIndex the action's, each while
// the two are equal.
class TKvToolButtonActionLink : public TControlActionLink {
public:
    explicit TKvToolButtonActionLink(TKvToolButton& client) : TControlActionLink(client), button_(client) {}

    void SetChecked(bool value) override;
    void SetImageIndex(int value) override;

protected:
    virtual bool IsCheckedLinked() const;
    virtual bool IsImageIndexLinked() const;

private:
    TKvToolButton& button_;
};

template <>
struct TEnumTraits<TBitBtnKind> {
    static constexpr const char* Names[] = {"bkCustom", "bkOK",    "bkCancel", "bkHelp",   "bkYes", "bkNo",
                                            "bkClose",  "bkAbort", "bkRetry",  "bkIgnore", "bkAll"};
};
template <>
struct TEnumTraits<TKvToolStyle> {
    static constexpr const char* Names[] = {"tsButton", "tsDropDown"};
};
