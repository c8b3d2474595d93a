#pragma once

// Common controls over their comctl32 classes: the list view with its items and columns
// ("SysListView32"), the progress bar ("msctls_progress32") and the up-down ("msctls_updown32");
// and a toolbar of our own class.
//
// List view data: the wrapper's items and columns are the truth. They exist before the window,
// fill it when it is made (and made again by RecreateWnd), and take back what the user changes
// in it (check boxes, selection, focus, label text, column widths) from its notifications.
// Items[i] is always the window's item i; each window item's LPARAM is its TListItem*.
//
// List view events: OnChanging, OnChange and OnSelectItem come from the window's notifications,
// so they fire only while there is a window, whoever made the change (the user, another program,
// or code calling a setter). They do not fire for the state the wrapper sets up itself: filling a
// new window, re-applying check boxes when Checkboxes changes, the initial state of an item as it
// is inserted, and the item being deleted. OnInsert and OnDeletion fire when an item joins or
// leaves Items, with or without a window, but not while the control is being destroyed.
//
// Notification handling is virtual (CNNotify for the list's own, HeaderNotify for its header's)
// so that a derived list view calls the inherited handling and then adds its own.

#include "Classes.h"
#include "Controls.h"
#include "Graphics.h"
#include "ImgList.h"
#include "StringList.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum TViewStyle { vsIcon, vsSmallIcon, vsList, vsReport };
enum TItemChange { ctText, ctImage, ctState };
enum TDisplayCode { drBounds, drIcon, drLabel, drSelectBounds };
enum TListHotTrackStyle { htHandPoint, htUnderlineCold, htUnderlineHot };
using TListHotTrackStyles = TSet<TListHotTrackStyle>;

class TCustomListView;
class TListColumns;
class TListItem;
class TListItems;

// One column of a list view. Width stays within [MinWidth, MaxWidth] (MaxWidth 0: no upper
// limit; MinWidth wins when the two cross), whether it is set in code or dragged by the user.
class TListColumn : public TCollectionItem {
    DECLARE_CLASS_INFO()

public:
    explicit TListColumn(TCollection* collection);

    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);
    int Width() const { return width_; }
    void SetWidth(int width);
    int MinWidth() const { return minWidth_; }
    void SetMinWidth(int width);
    int MaxWidth() const { return maxWidth_; }
    void SetMaxWidth(int width);
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);

    std::string DisplayName() const override { return caption_.empty() ? ClassName() : caption_; }
    // The width this column would take for a wanted one.
    int ClampWidth(int width) const;

private:
    friend class TCustomListView;

    std::string caption_;
    int width_ = 50;
    int minWidth_ = 0;
    int maxWidth_ = 0;
    TAlignment alignment_ = taLeftJustify;
};

// The columns of one list view; changes reach its window.
class TListColumns : public TCollection {
    DECLARE_CLASS_INFO()

public:
    explicit TListColumns(TCustomListView* owner);

    TCustomListView* ListView() const;
    TListColumn* Add() { return static_cast<TListColumn*>(TCollection::Add()); }
    TListColumn* Insert(int index) { return static_cast<TListColumn*>(TCollection::Insert(index)); }
    TListColumn* Items(int index) const { return static_cast<TListColumn*>(TCollection::Items(index)); }
    TListColumn* operator[](int index) const { return Items(index); }

protected:
    void Update(TCollectionItem* item) override;

private:
    friend class TListColumn;
    // Called before a column's base part is made: its report of the new item is ignored until
    // the column itself is complete.
    static TCollection* BeginConstruction(TCollection* collection);

    int constructing_ = 0;
};

// The texts of an item's columns after the first. Every change reaches the window, also one
// made through a plain TStringList reference.
class TListSubItems : public TStringList {
public:
    explicit TListSubItems(TListItem& owner) : owner_(owner) {}
    TListSubItems(const TListSubItems&) = delete;
    TListSubItems& operator=(const TListSubItems&) = delete;

    void Put(int index, const std::string& s) override;
    int AddObject(const std::string& s, TObject* object) override;
    void InsertObject(int index, const std::string& s, TObject* object) override;
    void Delete(int index) override;
    void Clear() override;
    void AddStrings(const TStringList& other) override;
    void SetText(const std::string& text) override;
    void Assign(const TPersistent& source) override;
    void LoadFromFile(const std::string& fileName) override;

private:
    // count texts from first on changed; -1: every one from first on.
    void Changed(int first, int count = -1);

    TListItem& owner_;
};

class TListItem : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    explicit TListItem(TListItems* owner);
    TListItem(const TListItem&) = delete;
    TListItem& operator=(const TListItem&) = delete;

    TListItems* Owner() const { return owner_; }
    TCustomListView* ListView() const;
    int Index() const;

    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);
    TListSubItems& SubItems() { return subItems_; }
    const TListSubItems& SubItems() const { return subItems_; }
    // The check box (state image 2 checked, 1 unchecked) while the list shows check boxes;
    // otherwise only kept.
    bool Checked() const { return checked_; }
    void SetChecked(bool checked);
    bool Selected() const { return selected_; }
    void SetSelected(bool selected);
    bool Focused() const { return focused_; }
    void SetFocused(bool focused);
    void* Data() const { return data_; }
    void SetData(void* data) { data_ = data; }
    // -1: none.
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int index);
    // The StateImages image shown while the list has no check boxes; -1: none.
    int StateIndex() const { return stateIndex_; }
    void SetStateIndex(int index);

    // Makes the window when there is none.
    TRect DisplayRect(TDisplayCode code) const;
    void MakeVisible(bool partialOK = false);
    // Removes the item from its list and frees it.
    void Delete();

private:
    friend class TCustomListView;
    friend class TListItems;
    friend class TListSubItems;
    void SubItemsChanged(int first, int count);
    // The state bits the window shows for this item.
    UINT WindowState() const;

    TListItems* owner_;
    int index_ = -1;  // kept by the owner: Index() is asked for each change of a large list
    std::string caption_;
    TListSubItems subItems_{*this};
    bool checked_ = false;
    bool selected_ = false;
    bool focused_ = false;
    void* data_ = nullptr;
    int imageIndex_ = -1;
    int stateIndex_ = -1;
    bool deleting_ = false;  // OnDeletion is running for it: a second delete does nothing
};

class TListItems : public TPersistent {
public:
    explicit TListItems(TCustomListView* owner) : owner_(owner) {}
    TListItems(const TListItems&) = delete;
    TListItems& operator=(const TListItems&) = delete;

    TCustomListView* Owner() const { return owner_; }
    int Count() const { return static_cast<int>(items_.size()); }
    // Raise EListError for a bad index.
    TListItem* Item(int index) const;
    TListItem* operator[](int index) const { return Item(index); }
    TListItem* Add() { return Insert(Count()); }
    TListItem* Insert(int index);
    void Delete(int index);
    void Clear();
    // -1 when the item is not in this list.
    int IndexOf(const TListItem* item) const;

    // Nested; the window is not redrawn until the outermost EndUpdate, which repaints it once.
    void BeginUpdate();
    void EndUpdate();
    bool Updating() const { return updateCount_ > 0; }

private:
    friend class TCustomListView;
    // Numbers the items from first on after they moved.
    void Renumber(size_t first);
    // Compares only: item may have been freed.
    bool Holds(const TListItem* item) const;

    TCustomListView* owner_;
    std::vector<std::unique_ptr<TListItem>> items_;
    int updateCount_ = 0;
    unsigned removals_ = 0;  // counts deletions, so that a handler's can be noticed
    bool clearing_ = false;  // Clear is running: a nested Clear leaves the work to it
};

// Orders two items: negative, zero or positive.
using TLVCompare = int (*)(TListItem* item1, TListItem* item2, intptr_t data);

using TLVNotifyEvent = TEvent<void(TObject* Sender, TListItem* Item)>;
using TLVDeletedEvent = TLVNotifyEvent;
using TLVChangeEvent = TEvent<void(TObject* Sender, TListItem* Item, TItemChange Change)>;
using TLVChangingEvent = TEvent<void(TObject* Sender, TListItem* Item, TItemChange Change, bool& AllowChange)>;
using TLVSelectItemEvent = TEvent<void(TObject* Sender, TListItem* Item, bool Selected)>;
using TLVColumnClickEvent = TEvent<void(TObject* Sender, TListColumn* Column)>;
using TLVCompareEvent = TEvent<void(TObject* Sender, TListItem* Item1, TListItem* Item2, intptr_t Data, int& Compare)>;

class TCustomListView : public TWinControl {
    DECLARE_CLASS_INFO()

public:
    explicit TCustomListView(TComponent* owner);
    ~TCustomListView() override;

    TListItems& Items() { return items_; }
    const TListItems& Items() const { return items_; }
    TListColumns& Columns() { return columns_; }
    const TListColumns& Columns() const { return columns_; }

    TViewStyle ViewStyle() const { return viewStyle_; }
    virtual void SetViewStyle(TViewStyle style);
    bool Checkboxes() const { return checkboxes_; }
    void SetCheckboxes(bool value);
    bool RowSelect() const { return rowSelect_; }
    void SetRowSelect(bool value);
    bool GridLines() const { return gridLines_; }
    void SetGridLines(bool value);
    bool HotTrack() const { return hotTrack_; }
    void SetHotTrack(bool value);
    TListHotTrackStyles HotTrackStyles() const { return hotTrackStyles_; }
    void SetHotTrackStyles(TListHotTrackStyles styles);
    // Milliseconds before hover selection; -1: the system's default.
    int HoverTime() const;
    void SetHoverTime(int milliseconds);
    bool FlatScrollBars() const { return flatScrollBars_; }
    void SetFlatScrollBars(bool value);
    // False lets the user edit item labels.
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value);
    // Kept for the forms that set it; the control draws no work areas.
    bool ShowWorkAreas() const { return showWorkAreas_; }
    void SetShowWorkAreas(bool value) { showWorkAreas_ = value; }
    bool MultiSelect() const { return multiSelect_; }
    void SetMultiSelect(bool value);
    bool HideSelection() const { return hideSelection_; }
    void SetHideSelection(bool value);
    bool ShowColumnHeaders() const { return showColumnHeaders_; }
    void SetShowColumnHeaders(bool value);
    // Column headers act as buttons (LVN_COLUMNCLICK).
    bool ColumnClick() const { return columnClick_; }
    void SetColumnClick(bool value);

    // Not owned; cleared when the image list goes.
    TImageList* SmallImages() const { return smallImages_; }
    void SetSmallImages(TImageList* images);
    TImageList* LargeImages() const { return largeImages_; }
    void SetLargeImages(TImageList* images);
    // Shown only while the list has no check boxes (they use the state images themselves).
    TImageList* StateImages() const { return stateImages_; }
    void SetStateImages(TImageList* images);

    // The first selected item or null; setting selects that item alone (null: none).
    TListItem* Selected() const;
    void SetSelected(TListItem* item);
    TListItem* ItemFocused() const;
    void SetItemFocused(TListItem* item);
    int SelCount() const;

    // These ask the window and make it when there is none.
    TListItem* TopItem();
    int VisibleRowCount();
    TListItem* GetItemAt(int x, int y);
    void Scroll(int dx, int dy);

    // Orders Items and the window alike. A null compare uses the default order: OnCompare when
    // assigned, else the captions without regard to case. Exceptions from compare propagate.
    void CustomSort(TLVCompare compare, intptr_t data);
    bool AlphaSort();

    // The list's header window (report view); null without a window.
    HWND HeaderHandle() const;

    void WndProc(TMessage& message) override;

    TLVChangeEvent OnChange;
    TLVChangingEvent OnChanging;
    TLVSelectItemEvent OnSelectItem;
    TLVColumnClickEvent OnColumnClick;
    TLVDeletedEvent OnDeletion;
    TLVNotifyEvent OnInsert;
    TLVCompareEvent OnCompare;

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void DestroyWnd() override;
    void SaveWindowState() override;
    void Notification(TComponent* component, TOperation operation) override;

    // WM_NOTIFY from the list, reflected by the parent. Result 0 unless a handler refuses.
    virtual void CNNotify(TMessage& message);
    // WM_NOTIFY from the header child (A and W codes). Keeps column widths in their limits.
    virtual void HeaderNotify(TMessage& message);
    // Fire OnColumnClick, OnChange, OnChanging (returning AllowChange), OnSelectItem,
    // OnDeletion and OnInsert.
    virtual void ColClick(TListColumn* column);
    virtual void Change(TListItem* item, TItemChange change);
    virtual bool CanChange(TListItem* item, TItemChange change);
    virtual void SelectItem(TListItem* item, bool selected);
    virtual void Delete(TListItem* item);
    virtual void InsertItem(TListItem* item);

    // Null for an index outside Items.
    TListItem* ItemAt(int index) const;
    // Nonzero while the wrapper itself sets the window up; notifications fire no events then.
    bool SettingUpWindow() const { return settingUp_ > 0; }

private:
    friend class TListItem;
    friend class TListItems;
    friend class TListColumns;
    class TSetUpGuard;
    struct TSortContext;

    static int CALLBACK SortCallback(LPARAM item1, LPARAM item2, LPARAM context);
    int DefaultCompare(TListItem* item1, TListItem* item2, intptr_t data);

    TListColumns* ColumnsObject() const { return const_cast<TListColumns*>(&columns_); }
    DWORD ExtendedStyle() const;
    void ApplyExtendedStyle();
    void ApplyColors();
    void ApplyImageList(int slot, TImageList* images);
    void DetachImageLists();
    void SetImageListField(TImageList*& field, TImageList* images, int slot);
    void ApplyCheckStates();
    void ApplyItemState(int index, const TListItem& item);
    void ReadItemState(int index, TListItem& item);
    void ReadItemStates();
    void ReadColumnWidths();
    void SetStyleFlag(bool& field, bool value);

    // Window side of items and columns.
    void InsertWindowItem(int index, TListItem& item);
    // Writes count sub-items from first on (-1: all of them); a fresh window item has no
    // texts to clear.
    void SetWindowSubItems(int index, const TListItem& item, int first, int count, bool fresh);
    std::string WindowItemText(int index, int subItem) const;
    // Ask the window for a change of an item; what it did comes back with LVN_ITEMCHANGED.
    void ItemCaptionChanged(TListItem& item, const std::string& caption);
    void ItemImageChanged(TListItem& item, int imageIndex);
    void SetWindowItemState(TListItem& item, UINT mask, UINT state);
    int WindowColumnCount() const;
    void WriteColumn(int index, bool insert);
    void SyncColumns();
    void ColumnChanged(int index);
    void ItemsUpdateBegun();
    void ItemsUpdateEnded();
    void RemoveItem(int index);
    void RemoveAllItems();

    void ItemChanging(TMessage& message);
    void ItemChanged(TMessage& message);
    bool EndLabelEdit(const NMHDR* header);
    // A handler called since removals was read deleted the item.
    bool ItemGone(const TListItem* item, unsigned removals) const;

    TListItems items_{this};
    TListColumns columns_{this};
    TViewStyle viewStyle_ = vsIcon;
    bool checkboxes_ = false;
    bool rowSelect_ = false;
    bool gridLines_ = false;
    bool hotTrack_ = false;
    TListHotTrackStyles hotTrackStyles_;
    int hoverTime_ = -1;
    bool flatScrollBars_ = false;
    bool readOnly_ = false;
    bool showWorkAreas_ = false;
    bool multiSelect_ = false;
    bool hideSelection_ = true;
    bool showColumnHeaders_ = true;
    bool columnClick_ = true;
    TImageList* smallImages_ = nullptr;
    TImageList* largeImages_ = nullptr;
    TImageList* stateImages_ = nullptr;
    int settingUp_ = 0;
    const TListItem* deletingItem_ = nullptr;
    bool destroying_ = false;
};

class TListView : public TCustomListView {
    DECLARE_CLASS_INFO()

public:
    explicit TListView(TComponent* owner) : TCustomListView(owner) {}
};

enum TProgressBarOrientation { pbHorizontal, pbVertical };

// Position stays within [Min, Max]; StepIt wraps past Max the way the native control does.
class TProgressBar : public TWinControl {
    DECLARE_CLASS_INFO()

public:
    explicit TProgressBar(TComponent* owner);

    int Min() const { return min_; }
    void SetMin(int value);
    int Max() const { return max_; }
    void SetMax(int value);
    int Position() const;
    void SetPosition(int value);
    int Step() const { return step_; }
    void SetStep(int value);
    // Advances by Step; past Max it starts again from Min (and past Min from Max).
    void StepIt();
    // Advances by delta, stopping at Min or Max.
    void StepBy(int delta);
    bool Smooth() const { return smooth_; }
    void SetSmooth(bool value);
    TProgressBarOrientation Orientation() const { return orientation_; }
    void SetOrientation(TProgressBarOrientation orientation);

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void SaveWindowState() override;

private:
    int Clamp(int value) const;

    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
    int step_ = 10;
    bool smooth_ = false;
    TProgressBarOrientation orientation_ = pbHorizontal;
};

enum TUDOrientation { udHorizontal, udVertical };
enum TUDBtnType { btNext, btPrev };

using TUDClickEvent = TEvent<void(TObject* Sender, TUDBtnType Button)>;
using TUDChangingEvent = TEvent<void(TObject* Sender, bool& AllowChange)>;

// An up-down that shows its position in the Associate control's text and sits at its right.
// OnChanging fires before the position moves (AllowChange false keeps it); OnClick (which hides
// the control's plain OnClick) fires once the move is complete, from a posted message.
class TUpDown : public TWinControl {
    DECLARE_CLASS_INFO()

public:
    explicit TUpDown(TComponent* owner);

    int Min() const { return min_; }
    void SetMin(int value);
    int Max() const { return max_; }
    void SetMax(int value);
    // Clamped to the range on set.
    int Position() const;
    void SetPosition(int value);
    int Increment() const { return increment_; }
    void SetIncrement(int value);
    // Not owned; cleared when the control goes.
    TWinControl* Associate() const { return associate_; }
    void SetAssociate(TWinControl* control);
    TUDOrientation Orientation() const { return orientation_; }
    void SetOrientation(TUDOrientation orientation);
    bool Wrap() const { return wrap_; }
    void SetWrap(bool value);
    bool ArrowKeys() const { return arrowKeys_; }
    void SetArrowKeys(bool value);
    bool Thousands() const { return thousands_; }
    void SetThousands(bool value);

    using TWinControl::Click;
    void WndProc(TMessage& message) override;

    TUDClickEvent OnClick;
    TUDChangingEvent OnChanging;

protected:
    void CreateParams(TCreateParams& params) override;
    void CreateWnd() override;
    void SaveWindowState() override;
    void Notification(TComponent* component, TOperation operation) override;

    // Fire OnClick and OnChanging (returning AllowChange).
    virtual void Click(TUDBtnType button);
    virtual bool CanChange();

private:
    void SetStyleFlag(bool& field, bool value);
    void ApplyAccel();
    void CNNotify(TMessage& message);

    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
    int increment_ = 1;
    TWinControl* associate_ = nullptr;
    TUDOrientation orientation_ = udVertical;
    bool wrap_ = false;
    bool arrowKeys_ = true;
    bool thousands_ = true;
};

// A bar that holds tool buttons and offers them its image list: a button without images of its
// own draws from the bar's. Only a container with a background (buttons bring their own look);
// a change of the list, or of the list it names, repaints the buttons.
class TToolBar : public TCustomControl {
    DECLARE_CLASS_INFO()

public:
    explicit TToolBar(TComponent* owner);
    ~TToolBar() override;

    // Not owned; cleared when the list goes.
    TImageList* Images() const { return images_; }
    void SetImages(TImageList* value);

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    void ImagesChanged(TObject*);

    TImageList* images_ = nullptr;
};

template <>
struct TEnumTraits<TViewStyle> {
    static constexpr const char* Names[] = {"vsIcon", "vsSmallIcon", "vsList", "vsReport"};
};
template <>
struct TEnumTraits<TItemChange> {
    static constexpr const char* Names[] = {"ctText", "ctImage", "ctState"};
};
template <>
struct TEnumTraits<TDisplayCode> {
    static constexpr const char* Names[] = {"drBounds", "drIcon", "drLabel", "drSelectBounds"};
};
template <>
struct TEnumTraits<TListHotTrackStyle> {
    static constexpr const char* Names[] = {"htHandPoint", "htUnderlineCold", "htUnderlineHot"};
};
template <>
struct TEnumTraits<TProgressBarOrientation> {
    static constexpr const char* Names[] = {"pbHorizontal", "pbVertical"};
};
template <>
struct TEnumTraits<TUDOrientation> {
    static constexpr const char* Names[] = {"udHorizontal", "udVertical"};
};
template <>
struct TEnumTraits<TUDBtnType> {
    static constexpr const char* Names[] = {"btNext", "btPrev"};
};
