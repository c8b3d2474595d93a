#pragma once

// The themed list view: the framework's list view with check events that can refuse a tick,
// an item context menu from mouse and keyboard, a last column that takes the free width, a
// non-client frame in the library's styles with hot tracking, separate colours while disabled
// and focused, click-to-sort by column with arrows in the header, and wheel scrolling by
// pixels. All logic lives in TKvCustomListView; TKvListView only publishes.
//
// Check events: a notification counts as a tick or an untick when its state-image bits change
// to checked or unchecked and its selection bits (selected, focused) stay as they were. Some
// systems send the item's whole state, others only the changed bits: both are read alike.
// Header notifications are matched in both their A and W forms.

#include "ComCtrls.h"
#include "KvCommon.h"
#include "Menus.h"

#include <windows.h>

enum TKvLVHeaderSortDisplayMode { hsdmNone, hsdmLeftAlign, hsdmRightOfText, hsdmRightAlign };
enum TKvLVSortDirection { lsdAscending, lsdDescending };

using TKvLVCheckStateChanging =
    TEvent<void(TObject* Sender, TListItem* Item, bool ToBeChecked, bool& AllowChange)>;
using TKvLVOnItemContextMenuEvent =
    TEvent<void(TObject* Sender, TListItem* Item, TPoint& Pos, TPopupMenu*& Menu)>;

// Posted to itself at window creation: the header exists by the time it arrives.
constexpr UINT WM_KVLVREFRESHHEADER = WM_USER + 100;

class TKvCustomListView : public TCustomListView, public IKvOldProperties {
    DECLARE_CLASS_INFO()

public:
    explicit TKvCustomListView(TComponent* owner);
    ~TKvCustomListView() override;

    TKvAboutInfo About() const { return aiKavrenComponents; }
    void SetAbout(TKvAboutInfo) {}
    bool AlphaSortAll() const { return alphaSortAll_; }
    void SetAlphaSortAll(bool value) { alphaSortAll_ = value; }
    bool EditOnRowClick() const { return editOnRowClick_; }
    void SetEditOnRowClick(bool value) { editOnRowClick_ = value; }
    bool HeaderDefaultDrawing() const { return headerDefaultDrawing_; }
    void SetHeaderDefaultDrawing(bool value);
    TKvLVHeaderSortDisplayMode HeaderSortDisplayMode() const { return headerSortDisplayMode_; }
    // Needs common controls 4.70; older ones keep hsdmNone.
    void SetHeaderSortDisplayMode(TKvLVHeaderSortDisplayMode mode);

    // The displayed background: DisabledColor, FocusColor or the normal colour.
    virtual TColor GetColor() const { return TControl::Color(); }
    // Sets the normal colour (shown at once unless disabled or focused).
    virtual void SetColor(TColor color);
    TColor NormalColor() const { return normalColor_; }

    bool FillLastColumn() const { return fillLastColumn_; }
    virtual void SetFillLastColumn(bool value);
    TColor DisabledColor() const { return disabledColor_; }
    virtual void SetDisabledColor(TColor value);
    TColor FocusColor() const { return focusColor_; }
    virtual void SetFocusColor(TColor value);
    TColor FrameColor() const { return frameColor_; }
    virtual void SetFrameColor(TColor value);
    TKvFrameController* FrameController() const { return frameController_; }
    virtual void SetFrameController(TKvFrameController* value);
    TColor FrameHotColor() const { return frameHotColor_; }
    virtual void SetFrameHotColor(TColor value);
    bool FrameHotTrack() const { return frameHotTrack_; }
    virtual void SetFrameHotTrack(bool value);
    TFrameStyle FrameHotStyle() const { return frameHotStyle_; }
    virtual void SetFrameHotStyle(TFrameStyle value);
    TSides FrameSides() const { return frameSides_; }
    virtual void SetFrameSides(TSides value);
    TFrameStyle FrameStyle() const { return frameStyle_; }
    virtual void SetFrameStyle(TFrameStyle value);
    bool FrameVisible() const { return frameVisible_; }
    virtual void SetFrameVisible(bool value);
    TFramingPreference FramingPreference() const { return framingPreference_; }
    virtual void SetFramingPreference(TFramingPreference value);
    // The theme draws the frame: fpXPThemes while visual themes are active.
    virtual bool UseThemes() const;

    // The column whose header shows the sort arrow (-1: none) and the arrow's direction.
    int SortColumn() const { return sortColumn_; }
    void SetSortColumn(int column);
    TKvLVSortDirection SortDirection() const { return sortDirection_; }
    void SetSortDirection(TKvLVSortDirection direction);

    void SetViewStyle(TViewStyle style) override;
    void SetBounds(int left, int top, int width, int height) override;
    void Loaded() override;
    void WndProc(TMessage& message) override;
    bool ReadOldProperty(const TFormProperty& property) override;

    TKvLVCheckStateChanging OnCheckStateChanging;
    TLVNotifyEvent OnCheckStateChange;
    TKvLVOnItemContextMenuEvent OnItemContextMenu;

protected:
    virtual void UpdateColors();
    virtual void UpdateFrame(bool viaMouse, bool inControl);
    virtual void RepaintFrame();
    // Gives the last column the client width the others leave (report view only).
    virtual void DoFillLastColumn();

    // The list's own notifications: check events, label editing on row clicks, the menu.
    virtual void HandleListNotify(TMessage& message);
    virtual void FireCheckStateChange(TListItem* item);
    virtual bool AskCheckStateChanging(TListItem* item, bool toBeChecked);
    // The menu for a client point: the plain popup menu without a selection, else the
    // item menu at the centre of the focused item's icon.
    virtual void ItemContextMenuAt(TPoint pos);
    // Fires OnItemContextMenu and pops up the menu it leaves at pos (client point).
    virtual void ItemContextMenuForItem(TPoint pos);
    virtual void DoItemContextMenu(TListItem* item, TPoint& pos, TPopupMenu*& menu);

    void CNNotify(TMessage& message) override;
    void HeaderNotify(TMessage& message) override;
    void ColClick(TListColumn* column) override;
    void Delete(TListItem* item) override;
    void CreateWnd() override;
    void KeyDown(WORD& key, TShiftState shift) override;
    void Notification(TComponent* component, TOperation operation) override;
    // Inside the sunken edge, also before the window exists (the last column is filled then).
    TRect ClientRectFromBounds() const override;

    // Puts the sort arrow (native flags or owner drawing) on the header items.
    void RefreshHeaderSortDisplay();

private:
    bool IsColorStored() const;
    bool IsFocusColorStored() const;
    void InvalidateHeaderItem(int column);
    bool OwnerDrawsHeader() const;
    void DrawHeaderItem(const DRAWITEMSTRUCT& draw);
    void NCPaint(TMessage& message);
    void MouseWheel(TMessage& message);
    void ContextMenu(TMessage& message);
    void RightButtonUp(TMessage& message);
    void PopupAt(TPopupMenu* menu, TPoint pos);
    bool ItemGone(const TListItem* item, unsigned removals) const;

    static int CompareColumn(TListItem* item1, TListItem* item2, intptr_t column);
    static int CompareColumnDescending(TListItem* item1, TListItem* item2, intptr_t column);

    bool alphaSortAll_ = false;
    TColor normalColor_ = clWindow;
    TColor disabledColor_ = clBtnFace;
    bool editOnRowClick_ = false;
    bool fillLastColumn_ = true;
    TColor focusColor_ = clWindow;
    TColor frameColor_ = clBtnShadow;
    TKvFrameController* frameController_ = nullptr;
    TColor frameHotColor_ = clBtnShadow;
    bool frameHotTrack_ = false;
    TFrameStyle frameHotStyle_ = fsFlatBold;
    TSides frameSides_ = kAllSides;
    TFrameStyle frameStyle_ = fsFlat;
    bool frameVisible_ = false;
    TFramingPreference framingPreference_ = fpXPThemes;
    bool headerDefaultDrawing_ = true;
    TKvLVHeaderSortDisplayMode headerSortDisplayMode_ = hsdmRightOfText;

    bool updatingColors_ = false;
    bool mouseOver_ = false;
    bool controllerUpdate_ = false;
    int lastClickedColumn_ = -1;
    int sortColumn_ = -1;
    TKvLVSortDirection sortDirection_ = lsdAscending;
    bool contextMenuHandled_ = false;  // a menu was shown for the current gesture
    bool keyboardMenu_ = false;        // ... and the gesture was a key
    int headerRefreshing_ = 0;
    unsigned removals_ = 0;  // counts deletions, so that a handler's can be noticed
    int wheelDelta_ = 0;     // the part of a wheel turn not scrolled yet
    TPopupMenu* heldPopupMenu_ = nullptr;  // PopupMenu, set aside while a right click ends
    TCanvas frameCanvas_;
    TCanvas headerCanvas_;
};

class TKvListView : public TKvCustomListView {
    DECLARE_CLASS_INFO()

public:
    explicit TKvListView(TComponent* owner) : TKvCustomListView(owner) {}
};

template <>
struct TEnumTraits<TKvLVHeaderSortDisplayMode> {
    static constexpr const char* Names[] = {"hsdmNone", "hsdmLeftAlign", "hsdmRightOfText", "hsdmRightAlign"};
};
template <>
struct TEnumTraits<TKvLVSortDirection> {
    static constexpr const char* Names[] = {"lsdAscending", "lsdDescending"};
};
