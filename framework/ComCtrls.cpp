#include "ComCtrls.h"

#include "SysUtils.h"

#include <algorithm>
#include <exception>
#include <unordered_map>

namespace {

void EnsureCommonControlClasses() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX init{sizeof(init), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_UPDOWN_CLASS};
        return InitCommonControlsEx(&init) != FALSE;
    }();
    (void)done;
}

// The item state bits the wrapper keeps.
constexpr UINT kKeptStates = LVIS_SELECTED | LVIS_FOCUSED | LVIS_STATEIMAGEMASK;

// The extended styles the wrapper manages; others are left as they are.
constexpr DWORD kManagedExStyles = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_TRACKSELECT |
                                   LVS_EX_FLATSB | LVS_EX_ONECLICKACTIVATE | LVS_EX_TWOCLICKACTIVATE |
                                   LVS_EX_UNDERLINECOLD | LVS_EX_UNDERLINEHOT;

// Check box state images.
constexpr UINT kUnchecked = 1;
constexpr UINT kChecked = 2;

UINT StateImageOf(UINT state) { return (state & LVIS_STATEIMAGEMASK) >> 12; }

// -1 (I_IMAGECALLBACK to the window) would make the list ask its parent for images.
int WindowImage(int index) { return index < 0 ? I_IMAGENONE : index; }
int ImageFromWindow(int index) { return index < 0 ? -1 : index; }

DWORD ViewFlag(TViewStyle style) {
    switch (style) {
    case vsSmallIcon:
        return LVS_SMALLICON;
    case vsList:
        return LVS_LIST;
    case vsReport:
        return LVS_REPORT;
    case vsIcon:
        break;
    }
    return LVS_ICON;
}

int ColumnFormat(TAlignment alignment) {
    switch (alignment) {
    case taRightJustify:
        return LVCFMT_RIGHT;
    case taCenter:
        return LVCFMT_CENTER;
    case taLeftJustify:
        break;
    }
    return LVCFMT_LEFT;
}

// Posted by an up-down to itself from UDN_DELTAPOS: OnClick fires once the native control
// has moved and told its buddy. WParam: the TUDBtnType.
constexpr UINT CM_UPDOWNCLICK = CM_BASE + 0x300;

}  // namespace

// Marks the wrapper's own set-up of the window: notifications fire no events meanwhile.
class TCustomListView::TSetUpGuard {
public:
    explicit TSetUpGuard(TCustomListView& view) : view_(view) { ++view_.settingUp_; }
    ~TSetUpGuard() { --view_.settingUp_; }
    TSetUpGuard(const TSetUpGuard&) = delete;
    TSetUpGuard& operator=(const TSetUpGuard&) = delete;

private:
    TCustomListView& view_;
};

struct TCustomListView::TSortContext {
    TCustomListView* View;
    TLVCompare Compare;
    intptr_t Data;
    std::exception_ptr Error;
};

// ---- TListColumn, TListColumns --------------------------------------------------------

const TClassInfo& TListColumn::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TListColumn::Caption, &TListColumn::SetCaption>("Caption"),
        Prop<&TListColumn::Width, &TListColumn::SetWidth>("Width").WithDefault(50),
        Prop<&TListColumn::MinWidth, &TListColumn::SetMinWidth>("MinWidth").WithDefault(0),
        Prop<&TListColumn::MaxWidth, &TListColumn::SetMaxWidth>("MaxWidth").WithDefault(0),
        Prop<&TListColumn::Alignment, &TListColumn::SetAlignment>("Alignment").WithDefault(taLeftJustify),
    };
    static const TClassInfo info = MakeClassInfo<TListColumn, TCollectionItem>("TListColumn", props);
    return info;
}

TListColumn::TListColumn(TCollection* collection) : TCollectionItem(TListColumns::BeginConstruction(collection)) {
    if (auto columns = dynamic_cast<TListColumns*>(Collection())) {
        --columns->constructing_;
        Changed();
    }
}

int TListColumn::ClampWidth(int width) const {
    if (maxWidth_ > 0)
        width = std::min(width, maxWidth_);
    return std::max({width, minWidth_, 0});
}

void TListColumn::SetCaption(const std::string& caption) {
    if (caption == caption_)
        return;
    caption_ = caption;
    Changed();
}

void TListColumn::SetWidth(int width) {
    width = ClampWidth(width);
    if (width == width_)
        return;
    width_ = width;
    Changed();
}

void TListColumn::SetMinWidth(int width) {
    minWidth_ = std::max(width, 0);
    SetWidth(width_);
}

void TListColumn::SetMaxWidth(int width) {
    maxWidth_ = std::max(width, 0);
    SetWidth(width_);
}

void TListColumn::SetAlignment(TAlignment alignment) {
    if (alignment == alignment_)
        return;
    alignment_ = alignment;
    Changed();
}

const TClassInfo& TListColumns::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TListColumns, TCollection>("TListColumns", {});
    return info;
}

TListColumns::TListColumns(TCustomListView* owner) : TCollection(owner, &TCollection::MakeItem<TListColumn>) {}

TCustomListView* TListColumns::ListView() const { return static_cast<TCustomListView*>(Owner()); }

TCollection* TListColumns::BeginConstruction(TCollection* collection) {
    if (auto columns = dynamic_cast<TListColumns*>(collection))
        ++columns->constructing_;
    return collection;
}

void TListColumns::Update(TCollectionItem* item) {
    TCustomListView* view = ListView();
    if (constructing_ > 0 || !view || !view->HandleAllocated())
        return;
    if (item)
        view->ColumnChanged(item->Index());
    else
        view->SyncColumns();
}

// ---- TListSubItems --------------------------------------------------------------------

void TListSubItems::Changed(int first, int count) { owner_.SubItemsChanged(first, count); }

void TListSubItems::Put(int index, const std::string& s) {
    TStringList::Put(index, s);
    Changed(index, 1);
}

int TListSubItems::AddObject(const std::string& s, TObject* object) {
    int index = TStringList::AddObject(s, object);
    Changed(index, index == Count() - 1 ? 1 : -1);
    return index;
}

void TListSubItems::InsertObject(int index, const std::string& s, TObject* object) {
    TStringList::InsertObject(index, s, object);
    Changed(index);
}

void TListSubItems::Delete(int index) {
    TStringList::Delete(index);
    Changed(index);
}

void TListSubItems::Clear() {
    TStringList::Clear();
    Changed(0);
}

void TListSubItems::AddStrings(const TStringList& other) {
    const int first = Count();
    TStringList::AddStrings(other);
    Changed(first);
}

void TListSubItems::SetText(const std::string& text) {
    TStringList::SetText(text);
    Changed(0);
}

void TListSubItems::Assign(const TPersistent& source) {
    TStringList::Assign(source);
    Changed(0);
}

void TListSubItems::LoadFromFile(const std::string& fileName) {
    TStringList::LoadFromFile(fileName);
    Changed(0);
}

// ---- TListItem ------------------------------------------------------------------------

const TClassInfo& TListItem::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TListItem::Caption, &TListItem::SetCaption>("Caption"),
        Prop<&TListItem::Checked, &TListItem::SetChecked>("Checked").WithDefault(false),
        Prop<&TListItem::ImageIndex, &TListItem::SetImageIndex>("ImageIndex").WithDefault(-1),
        Prop<&TListItem::StateIndex, &TListItem::SetStateIndex>("StateIndex").WithDefault(-1),
    };
    static const TClassInfo info = MakeClassInfo<TListItem, TPersistent>("TListItem", props);
    return info;
}

TListItem::TListItem(TListItems* owner) : owner_(owner) {}

TCustomListView* TListItem::ListView() const { return owner_ ? owner_->Owner() : nullptr; }

int TListItem::Index() const { return owner_ ? owner_->IndexOf(this) : -1; }

UINT TListItem::WindowState() const {
    UINT state = (selected_ ? LVIS_SELECTED : 0) | (focused_ ? LVIS_FOCUSED : 0);
    TCustomListView* view = ListView();
    if (view && view->Checkboxes())
        state |= INDEXTOSTATEIMAGEMASK(checked_ ? kChecked : kUnchecked);
    else if (stateIndex_ >= 0)
        state |= INDEXTOSTATEIMAGEMASK(static_cast<UINT>(stateIndex_) + 1);
    return state;
}

// With a window the setters ask it for the change and take back what it did: a handler of
// OnChanging may have refused, and a single-selection list deselects the others itself.
void TListItem::SetCaption(const std::string& caption) {
    if (caption == caption_)
        return;
    TCustomListView* view = ListView();
    if (view && view->HandleAllocated())
        view->ItemCaptionChanged(*this, caption);
    else
        caption_ = caption;
}

void TListItem::SetChecked(bool checked) {
    TCustomListView* view = ListView();
    if (view && view->HandleAllocated() && view->Checkboxes())
        view->SetWindowItemState(*this, LVIS_STATEIMAGEMASK, INDEXTOSTATEIMAGEMASK(checked ? kChecked : kUnchecked));
    else
        checked_ = checked;
}

void TListItem::SetSelected(bool selected) {
    TCustomListView* view = ListView();
    if (view && view->HandleAllocated())
        view->SetWindowItemState(*this, LVIS_SELECTED, selected ? LVIS_SELECTED : 0);
    else
        selected_ = selected;
}

void TListItem::SetFocused(bool focused) {
    TCustomListView* view = ListView();
    if (view && view->HandleAllocated())
        view->SetWindowItemState(*this, LVIS_FOCUSED, focused ? LVIS_FOCUSED : 0);
    else
        focused_ = focused;
}

void TListItem::SetImageIndex(int index) {
    index = std::max(index, -1);
    if (index == imageIndex_)
        return;
    TCustomListView* view = ListView();
    if (view && view->HandleAllocated())
        view->ItemImageChanged(*this, index);
    else
        imageIndex_ = index;
}

void TListItem::SetStateIndex(int index) {
    index = std::max(index, -1);
    TCustomListView* view = ListView();
    if (view && view->HandleAllocated() && !view->Checkboxes())
        view->SetWindowItemState(*this, LVIS_STATEIMAGEMASK, INDEXTOSTATEIMAGEMASK(static_cast<UINT>(index) + 1));
    else
        stateIndex_ = index;
}

void TListItem::SubItemsChanged(int first, int count) {
    TCustomListView* view = ListView();
    if (!view || !view->HandleAllocated())
        return;
    if (int index = Index(); index >= 0)
        view->SetWindowSubItems(index, *this, first, count, false);
}

TRect TListItem::DisplayRect(TDisplayCode code) const {
    TRect rect{};
    switch (code) {
    case drBounds:
        rect.left = LVIR_BOUNDS;
        break;
    case drIcon:
        rect.left = LVIR_ICON;
        break;
    case drLabel:
        rect.left = LVIR_LABEL;
        break;
    case drSelectBounds:
        rect.left = LVIR_SELECTBOUNDS;
        break;
    }
    TCustomListView* view = ListView();
    int index = Index();
    if (!view || index < 0 ||
        !SendMessageA(view->Handle(), LVM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rect)))
        return TRect{};
    return rect;
}

void TListItem::MakeVisible(bool partialOK) {
    TCustomListView* view = ListView();
    if (int index = Index(); view && index >= 0)
        SendMessageA(view->Handle(), LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), partialOK);
}

void TListItem::Delete() {
    if (owner_)
        owner_->Delete(Index());  // frees this item
}

// ---- TListItems -----------------------------------------------------------------------

TListItem* TListItems::Item(int index) const {
    if (index < 0 || index >= Count())
        throw EListError(Format("List index out of bounds (%d)", index));
    return items_[static_cast<size_t>(index)].get();
}

int TListItems::IndexOf(const TListItem* item) const {
    if (!item || item->owner_ != this)
        return -1;
    const auto index = static_cast<size_t>(item->index_);
    return index < items_.size() && items_[index].get() == item ? item->index_ : -1;
}

bool TListItems::Holds(const TListItem* item) const {
    return std::any_of(items_.begin(), items_.end(), [item](const auto& owned) { return owned.get() == item; });
}

void TListItems::Renumber(size_t first) {
    for (size_t i = first; i < items_.size(); ++i)
        items_[i]->index_ = static_cast<int>(i);
}

TListItem* TListItems::Insert(int index) {
    if (index < 0 || index > Count())
        throw EListError(Format("List index out of bounds (%d)", index));
    auto owned = std::make_unique<TListItem>(this);
    TListItem* item = owned.get();
    items_.insert(items_.begin() + index, std::move(owned));
    Renumber(static_cast<size_t>(index));
    if (owner_->HandleAllocated()) {
        try {
            owner_->InsertWindowItem(index, *item);
        } catch (...) {
            items_.erase(items_.begin() + index);
            Renumber(static_cast<size_t>(index));
            throw;
        }
    }
    owner_->InsertItem(item);
    return item;
}

void TListItems::Delete(int index) {
    TListItem* item = Item(index);
    if (item->deleting_)
        return;
    item->deleting_ = true;
    const unsigned removals = removals_;
    owner_->Delete(item);
    // The handler may have moved it, or cleared the list (and so freed it).
    if (removals_ != removals && !Holds(item))
        return;
    index = IndexOf(item);
    owner_->RemoveItem(index);
    items_.erase(items_.begin() + index);
    ++removals_;
    Renumber(static_cast<size_t>(index));
}

// While OnDeletion runs for the items, deleting one of them does nothing: they all go here.
void TListItems::Clear() {
    if (clearing_)
        return;
    TFlagGuard clearing(clearing_);
    std::vector<TListItem*> doomed;
    for (const auto& item : items_) {
        if (!item->deleting_) {
            item->deleting_ = true;
            doomed.push_back(item.get());
        }
    }
    for (TListItem* item : doomed)
        owner_->Delete(item);
    owner_->RemoveAllItems();
    items_.clear();
    ++removals_;
}

void TListItems::BeginUpdate() {
    if (updateCount_++ == 0)
        owner_->ItemsUpdateBegun();
}

void TListItems::EndUpdate() {
    if (updateCount_ > 0 && --updateCount_ == 0)
        owner_->ItemsUpdateEnded();
}

// ---- TCustomListView ------------------------------------------------------------------

const TClassInfo& TCustomListView::StaticClassInfo() {
    using C = TCustomListView;
    static const TPropInfo props[] = {
        Prop<&C::ColumnsObject>("Columns"),
        Prop<&C::ViewStyle, &C::SetViewStyle>("ViewStyle").WithDefault(vsIcon),
        Prop<&C::Checkboxes, &C::SetCheckboxes>("Checkboxes").WithDefault(false),
        Prop<&C::RowSelect, &C::SetRowSelect>("RowSelect").WithDefault(false),
        Prop<&C::GridLines, &C::SetGridLines>("GridLines").WithDefault(false),
        Prop<&C::HotTrack, &C::SetHotTrack>("HotTrack").WithDefault(false),
        Prop<&C::HotTrackStyles, &C::SetHotTrackStyles>("HotTrackStyles").WithDefault(0),
        Prop<&C::HoverTime, &C::SetHoverTime>("HoverTime").WithDefault(-1),
        Prop<&C::FlatScrollBars, &C::SetFlatScrollBars>("FlatScrollBars").WithDefault(false),
        Prop<&C::ReadOnly, &C::SetReadOnly>("ReadOnly").WithDefault(false),
        Prop<&C::ShowWorkAreas, &C::SetShowWorkAreas>("ShowWorkAreas").WithDefault(false),
        Prop<&C::MultiSelect, &C::SetMultiSelect>("MultiSelect").WithDefault(false),
        Prop<&C::HideSelection, &C::SetHideSelection>("HideSelection").WithDefault(true),
        Prop<&C::ShowColumnHeaders, &C::SetShowColumnHeaders>("ShowColumnHeaders").WithDefault(true),
        Prop<&C::ColumnClick, &C::SetColumnClick>("ColumnClick").WithDefault(true),
        Prop<&C::SmallImages, &C::SetSmallImages>("SmallImages"),
        Prop<&C::LargeImages, &C::SetLargeImages>("LargeImages"),
        Prop<&C::StateImages, &C::SetStateImages>("StateImages"),
        Prop<&C::OnChange>("OnChange"),
        Prop<&C::OnChanging>("OnChanging"),
        Prop<&C::OnSelectItem>("OnSelectItem"),
        Prop<&C::OnColumnClick>("OnColumnClick"),
        Prop<&C::OnDeletion>("OnDeletion"),
        Prop<&C::OnInsert>("OnInsert"),
        Prop<&C::OnCompare>("OnCompare"),
    };
    static const TClassInfo info = MakeClassInfo<TCustomListView, TWinControl>("TCustomListView", props);
    return info;
}

TCustomListView::TCustomListView(TComponent* owner) : TWinControl(owner) {
    // The native control clicks itself (NM_CLICK, NM_DBLCLK) and tracks the mouse on its own.
    ControlStyle.Exclude(csClickEvents).Exclude(csDoubleClicks).Exclude(csCaptureMouse);
    TabStop = true;
    SetColor(clWindow);
    SetBounds(0, 0, 250, 150);
}

TCustomListView::~TCustomListView() {
    destroying_ = true;
    // While this part of the object still stands: the window's last notifications reach it.
    DestroyHandle();
}

void TCustomListView::CreateParams(TCreateParams& params) {
    TWinControl::CreateParams(params);
    params.SysClass = "SysListView32";
    params.Style |= ViewFlag(viewStyle_) | LVS_AUTOARRANGE;
    if (!multiSelect_)
        params.Style |= LVS_SINGLESEL;
    if (!hideSelection_)
        params.Style |= LVS_SHOWSELALWAYS;
    if (!readOnly_)
        params.Style |= LVS_EDITLABELS;
    if (!showColumnHeaders_)
        params.Style |= LVS_NOCOLUMNHEADER;
    if (!columnClick_)
        params.Style |= LVS_NOSORTHEADER;
    params.ExStyle |= WS_EX_CLIENTEDGE;
}

void TCustomListView::CreateWnd() {
    EnsureCommonControlClasses();
    TSetUpGuard guard(*this);
    TWinControl::CreateWnd();
    HWND window = WindowHandle();
    SendMessageA(window, WM_SETREDRAW, FALSE, 0);
    ApplyExtendedStyle();
    SendMessageA(window, LVM_SETHOVERTIME, 0, static_cast<LPARAM>(static_cast<DWORD>(hoverTime_)));
    ApplyColors();
    ApplyImageList(LVSIL_NORMAL, largeImages_);
    ApplyImageList(LVSIL_SMALL, smallImages_);
    if (!checkboxes_)
        ApplyImageList(LVSIL_STATE, stateImages_);
    for (int i = 0; i < columns_.Count(); ++i)
        WriteColumn(i, true);
    SendMessageA(window, LVM_SETITEMCOUNT, static_cast<WPARAM>(items_.Count()), 0);
    for (int i = 0; i < items_.Count(); ++i)
        InsertWindowItem(i, *items_.items_[static_cast<size_t>(i)]);
    // What the window made of the states (a single-selection list keeps one selected item).
    ReadItemStates();
    if (!items_.Updating()) {
        SendMessageA(window, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(window, nullptr, TRUE);
    }
}

void TCustomListView::DestroyWnd() {
    TSetUpGuard guard(*this);
    DetachImageLists();
    TWinControl::DestroyWnd();
}

void TCustomListView::SaveWindowState() {
    TWinControl::SaveWindowState();
    if (destroying_)
        return;
    ReadItemStates();
    ReadColumnWidths();
}

void TCustomListView::Notification(TComponent* component, TOperation operation) {
    TWinControl::Notification(component, operation);
    if (operation != opRemove)
        return;
    // The image list's handle is already gone: the window only forgets it.
    if (component == smallImages_) {
        smallImages_ = nullptr;
        ApplyImageList(LVSIL_SMALL, nullptr);
    }
    if (component == largeImages_) {
        largeImages_ = nullptr;
        ApplyImageList(LVSIL_NORMAL, nullptr);
    }
    if (component == stateImages_) {
        stateImages_ = nullptr;
        if (!checkboxes_)
            ApplyImageList(LVSIL_STATE, nullptr);
    }
}

void TCustomListView::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CN_NOTIFY:
        CNNotify(message);
        return;
    case WM_NOTIFY:
        if (HandleAllocated() && reinterpret_cast<NMHDR*>(message.LParam)->hwndFrom == HeaderHandle()) {
            HeaderNotify(message);
            return;
        }
        break;
    case WM_DESTROY:
        // Also when a parent's window goes without us: the list frees the image lists it holds.
        DetachImageLists();
        break;
    case CM_COLORCHANGED:
    case CM_FONTCHANGED:
        TWinControl::WndProc(message);
        if (HandleAllocated())
            ApplyColors();
        return;
    default:
        break;
    }
    TWinControl::WndProc(message);
}

void TCustomListView::CNNotify(TMessage& message) {
    message.Result = 0;
    auto header = reinterpret_cast<NMHDR*>(message.LParam);
    switch (header->code) {
    case LVN_ITEMCHANGING:
        ItemChanging(message);
        break;
    case LVN_ITEMCHANGED:
        ItemChanged(message);
        break;
    case LVN_COLUMNCLICK: {
        int column = reinterpret_cast<NMLISTVIEW*>(message.LParam)->iSubItem;
        if (column >= 0 && column < columns_.Count())
            ColClick(columns_[column]);
        break;
    }
    case NM_CLICK:
        Click();
        break;
    case NM_DBLCLK:
        DblClick();
        break;
    case LVN_BEGINLABELEDITA:
    case LVN_BEGINLABELEDITW:
        message.Result = readOnly_ ? TRUE : FALSE;
        break;
    case LVN_ENDLABELEDITA:
    case LVN_ENDLABELEDITW:
        // The new text comes back through LVN_ITEMCHANGED.
        message.Result = EndLabelEdit(header) ? TRUE : FALSE;
        break;
    default:
        break;
    }
}

bool TCustomListView::EndLabelEdit(const NMHDR* header) {
    if (readOnly_)
        return false;
    if (header->code == LVN_ENDLABELEDITA)
        return reinterpret_cast<const NMLVDISPINFOA*>(header)->item.pszText != nullptr;
    return reinterpret_cast<const NMLVDISPINFOW*>(header)->item.pszText != nullptr;
}

void TCustomListView::ItemChanging(TMessage& message) {
    auto notify = reinterpret_cast<NMLISTVIEW*>(message.LParam);
    if (SettingUpWindow() || destroying_)
        return;
    TListItem* item = ItemAt(notify->iItem);
    if (!item || item == deletingItem_)
        return;
    TItemChange change;
    if (notify->uChanged & LVIF_STATE) {
        // Wine also asks for states that stay as they are.
        if (notify->uOldState == notify->uNewState)
            return;
        change = ctState;
    } else if (notify->uChanged & LVIF_IMAGE) {
        change = ctImage;
    } else if (notify->uChanged & LVIF_TEXT) {
        change = ctText;
    } else {
        return;
    }
    const unsigned removals = items_.removals_;
    // An item deleted by the handler must not be changed by the window.
    if (!CanChange(item, change) || ItemGone(item, removals))
        message.Result = 1;
}

bool TCustomListView::ItemGone(const TListItem* item, unsigned removals) const {
    return items_.removals_ != removals && !items_.Holds(item);
}

void TCustomListView::ItemChanged(TMessage& message) {
    auto notify = reinterpret_cast<NMLISTVIEW*>(message.LParam);
    if (SettingUpWindow() || destroying_)
        return;
    if (notify->iItem < 0) {
        ReadItemStates();
        return;
    }
    TListItem* item = ItemAt(notify->iItem);
    if (!item || item == deletingItem_)
        return;
    // The handlers may delete the item.
    const unsigned removals = items_.removals_;
    if (notify->uChanged & LVIF_STATE) {
        const bool wasSelected = item->selected_;
        const UINT before = item->WindowState();
        ReadItemState(notify->iItem, *item);
        if (notify->uOldState != notify->uNewState || item->WindowState() != before) {
            Change(item, ctState);
            if (ItemGone(item, removals))
                return;
            if (item->selected_ != wasSelected)
                SelectItem(item, item->selected_);
            if (ItemGone(item, removals))
                return;
        }
    }
    if (notify->uChanged & LVIF_TEXT) {
        item->caption_ = WindowItemText(notify->iItem, 0);
        Change(item, ctText);
        if (ItemGone(item, removals))
            return;
    }
    if (notify->uChanged & LVIF_IMAGE) {
        LVITEMA query{};
        query.mask = LVIF_IMAGE;
        query.iItem = notify->iItem;
        if (SendToNativeWindow(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&query)))
            item->imageIndex_ = ImageFromWindow(query.iImage);
        Change(item, ctImage);
    }
}

// The header sends HDN_ITEMCHANGING for every width change (a drag, a double click on the
// divider, LVM_SETCOLUMNWIDTH). Under Wine it ignores a width changed in the notification, so
// an out-of-range width is refused and the nearest allowed one set instead.
void TCustomListView::HeaderNotify(TMessage& message) {
    const UINT code = reinterpret_cast<NMHDR*>(message.LParam)->code;
    const bool changing = code == HDN_ITEMCHANGINGA || code == HDN_ITEMCHANGINGW;
    const bool tracking = code == HDN_TRACKA || code == HDN_TRACKW;
    if ((changing || tracking) && !SettingUpWindow()) {
        auto notify = reinterpret_cast<NMHEADERA*>(message.LParam);  // the W form has the same layout
        const int index = notify->iItem;
        if (notify->pitem && (notify->pitem->mask & HDI_WIDTH) && index >= 0 && index < columns_.Count()) {
            const int clamped = columns_[index]->ClampWidth(notify->pitem->cxy);
            if (clamped != notify->pitem->cxy && changing) {
                message.Result = TRUE;
                if (SendToNativeWindow(LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(index), 0) != clamped)
                    SendToNativeWindow(LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(index), MAKELPARAM(clamped, 0));
                return;
            }
            notify->pitem->cxy = clamped;
        }
    }
    DefaultHandler(message);
    switch (code) {
    case HDN_ITEMCHANGEDA:
    case HDN_ITEMCHANGEDW:
    case HDN_ENDTRACKA:
    case HDN_ENDTRACKW:
    case HDN_DIVIDERDBLCLICKA:
    case HDN_DIVIDERDBLCLICKW:
        if (!SettingUpWindow())
            ReadColumnWidths();
        break;
    default:
        break;
    }
}

void TCustomListView::ColClick(TListColumn* column) { OnColumnClick(this, column); }
void TCustomListView::Change(TListItem* item, TItemChange change) { OnChange(this, item, change); }

bool TCustomListView::CanChange(TListItem* item, TItemChange change) {
    bool allow = true;
    OnChanging(this, item, change, allow);
    return allow;
}

void TCustomListView::SelectItem(TListItem* item, bool selected) { OnSelectItem(this, item, selected); }

void TCustomListView::Delete(TListItem* item) {
    if (!destroying_)
        OnDeletion(this, item);
}

void TCustomListView::InsertItem(TListItem* item) { OnInsert(this, item); }

TListItem* TCustomListView::ItemAt(int index) const {
    if (index < 0 || index >= items_.Count())
        return nullptr;
    return items_.items_[static_cast<size_t>(index)].get();
}

HWND TCustomListView::HeaderHandle() const {
    if (!HandleAllocated())
        return nullptr;
    return reinterpret_cast<HWND>(SendToNativeWindow(LVM_GETHEADER, 0, 0));
}

// ---- properties -----------------------------------------------------------------------

void TCustomListView::SetViewStyle(TViewStyle style) {
    if (style == viewStyle_)
        return;
    viewStyle_ = style;
    if (!HandleAllocated())
        return;
    // The list changes its view on WM_STYLECHANGED; items and columns stay.
    LONG_PTR windowStyle = GetWindowLongPtrA(WindowHandle(), GWL_STYLE);
    SetWindowLongPtrA(WindowHandle(), GWL_STYLE, (windowStyle & ~static_cast<LONG_PTR>(LVS_TYPEMASK)) | ViewFlag(style));
}

void TCustomListView::SetStyleFlag(bool& field, bool value) {
    if (field == value)
        return;
    field = value;
    RecreateWnd();
}

void TCustomListView::SetMultiSelect(bool value) { SetStyleFlag(multiSelect_, value); }
void TCustomListView::SetHideSelection(bool value) { SetStyleFlag(hideSelection_, value); }
void TCustomListView::SetReadOnly(bool value) { SetStyleFlag(readOnly_, value); }
void TCustomListView::SetShowColumnHeaders(bool value) { SetStyleFlag(showColumnHeaders_, value); }
void TCustomListView::SetColumnClick(bool value) { SetStyleFlag(columnClick_, value); }

DWORD TCustomListView::ExtendedStyle() const {
    DWORD style = 0;
    if (checkboxes_)
        style |= LVS_EX_CHECKBOXES;
    if (rowSelect_)
        style |= LVS_EX_FULLROWSELECT;
    if (gridLines_)
        style |= LVS_EX_GRIDLINES;
    if (hotTrack_)
        style |= LVS_EX_TRACKSELECT;
    if (flatScrollBars_)
        style |= LVS_EX_FLATSB;
    if (hotTrackStyles_.Contains(htHandPoint))
        style |= LVS_EX_ONECLICKACTIVATE;
    if (hotTrackStyles_.Contains(htUnderlineCold))
        style |= LVS_EX_UNDERLINECOLD;
    if (hotTrackStyles_.Contains(htUnderlineHot))
        style |= LVS_EX_UNDERLINEHOT;
    // Underlining needs one of the activation styles.
    if ((style & (LVS_EX_UNDERLINECOLD | LVS_EX_UNDERLINEHOT)) && !(style & LVS_EX_ONECLICKACTIVATE))
        style |= LVS_EX_TWOCLICKACTIVATE;
    return style;
}

void TCustomListView::ApplyExtendedStyle() {
    if (!HandleAllocated())
        return;
    TSetUpGuard guard(*this);
    HWND window = WindowHandle();
    const DWORD wanted = ExtendedStyle();
    const DWORD current = static_cast<DWORD>(SendMessageA(window, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
    const bool checkboxesChange = ((current ^ wanted) & LVS_EX_CHECKBOXES) != 0;
    // Turning check boxes on destroys the state image list the window held.
    if (checkboxesChange && checkboxes_ && stateImages_ &&
        SendMessageA(window, LVM_GETIMAGELIST, LVSIL_STATE, 0) == reinterpret_cast<LRESULT>(stateImages_->Handle()))
        SendMessageA(window, LVM_SETIMAGELIST, LVSIL_STATE, 0);
    SendMessageA(window, LVM_SETEXTENDEDLISTVIEWSTYLE, kManagedExStyles, static_cast<LPARAM>(wanted));
    if (checkboxesChange) {
        if (!checkboxes_)
            ApplyImageList(LVSIL_STATE, stateImages_);
        // The window reset every item's state image.
        ApplyCheckStates();
    }
}

void TCustomListView::SetCheckboxes(bool value) {
    if (value == checkboxes_)
        return;
    checkboxes_ = value;
    ApplyExtendedStyle();
}

void TCustomListView::SetRowSelect(bool value) {
    rowSelect_ = value;
    ApplyExtendedStyle();
}

void TCustomListView::SetGridLines(bool value) {
    gridLines_ = value;
    ApplyExtendedStyle();
}

void TCustomListView::SetHotTrack(bool value) {
    hotTrack_ = value;
    ApplyExtendedStyle();
}

void TCustomListView::SetHotTrackStyles(TListHotTrackStyles styles) {
    hotTrackStyles_ = styles;
    ApplyExtendedStyle();
}

void TCustomListView::SetFlatScrollBars(bool value) {
    flatScrollBars_ = value;
    ApplyExtendedStyle();
}

int TCustomListView::HoverTime() const { return hoverTime_; }

void TCustomListView::SetHoverTime(int milliseconds) {
    hoverTime_ = milliseconds;
    if (HandleAllocated())
        SendToNativeWindow(LVM_SETHOVERTIME, 0, static_cast<LPARAM>(static_cast<DWORD>(milliseconds)));
}

void TCustomListView::ApplyColors() {
    HWND window = WindowHandle();
    const COLORREF background = ColorToRGB(Color());
    SendMessageA(window, LVM_SETBKCOLOR, 0, static_cast<LPARAM>(background));
    SendMessageA(window, LVM_SETTEXTBKCOLOR, 0, static_cast<LPARAM>(background));
    SendMessageA(window, LVM_SETTEXTCOLOR, 0, static_cast<LPARAM>(ColorToRGB(Font()->Color())));
}

void TCustomListView::ApplyImageList(int slot, TImageList* images) {
    if (HandleAllocated())
        SendToNativeWindow(LVM_SETIMAGELIST, static_cast<WPARAM>(slot),
                     reinterpret_cast<LPARAM>(images ? images->Handle() : nullptr));
}

// The window would destroy the image lists it holds (they are not marked shared, so that it
// frees the check box list it makes itself): ours leave it first.
void TCustomListView::DetachImageLists() {
    if (!HandleAllocated())
        return;
    const std::pair<int, TImageList*> slots[] = {
        {LVSIL_NORMAL, largeImages_}, {LVSIL_SMALL, smallImages_}, {LVSIL_STATE, stateImages_}};
    for (const auto& [slot, images] : slots) {
        if (images && SendToNativeWindow(LVM_GETIMAGELIST, static_cast<WPARAM>(slot), 0) ==
                          reinterpret_cast<LRESULT>(images->Handle()))
            SendToNativeWindow(LVM_SETIMAGELIST, static_cast<WPARAM>(slot), 0);
    }
}

void TCustomListView::SetImageListField(TImageList*& field, TImageList* images, int slot) {
    if (field == images)
        return;
    TImageList* old = field;
    field = images;
    // One image list may serve several slots: the notification stays while any uses it.
    if (old && old != smallImages_ && old != largeImages_ && old != stateImages_)
        RemoveFreeNotification(old);
    if (images)
        images->FreeNotification(this);
    if (slot != LVSIL_STATE || !checkboxes_)
        ApplyImageList(slot, images);
}

void TCustomListView::SetSmallImages(TImageList* images) { SetImageListField(smallImages_, images, LVSIL_SMALL); }
void TCustomListView::SetLargeImages(TImageList* images) { SetImageListField(largeImages_, images, LVSIL_NORMAL); }
void TCustomListView::SetStateImages(TImageList* images) { SetImageListField(stateImages_, images, LVSIL_STATE); }

// ---- selection and position -----------------------------------------------------------

TListItem* TCustomListView::Selected() const {
    if (HandleAllocated())
        return ItemAt(static_cast<int>(SendToNativeWindow(LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                                    MAKELPARAM(LVNI_SELECTED, 0))));
    for (const auto& item : items_.items_)
        if (item->selected_)
            return item.get();
    return nullptr;
}

void TCustomListView::SetSelected(TListItem* item) {
    const unsigned removals = items_.removals_;
    for (int i = 0; i < items_.Count(); ++i) {
        TListItem* other = items_.items_[static_cast<size_t>(i)].get();
        if (other != item && other->selected_)
            other->SetSelected(false);
    }
    if (item && !ItemGone(item, removals))
        item->SetSelected(true);
}

TListItem* TCustomListView::ItemFocused() const {
    if (HandleAllocated())
        return ItemAt(static_cast<int>(SendToNativeWindow(LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                                    MAKELPARAM(LVNI_FOCUSED, 0))));
    for (const auto& item : items_.items_)
        if (item->focused_)
            return item.get();
    return nullptr;
}

void TCustomListView::SetItemFocused(TListItem* item) {
    if (item) {
        item->SetFocused(true);
    } else if (TListItem* focused = ItemFocused()) {
        focused->SetFocused(false);
    }
}

int TCustomListView::SelCount() const {
    if (HandleAllocated())
        return static_cast<int>(SendToNativeWindow(LVM_GETSELECTEDCOUNT, 0, 0));
    return static_cast<int>(std::count_if(items_.items_.begin(), items_.items_.end(),
                                          [](const auto& item) { return item->selected_; }));
}

TListItem* TCustomListView::TopItem() {
    return ItemAt(static_cast<int>(SendMessageA(Handle(), LVM_GETTOPINDEX, 0, 0)));
}

int TCustomListView::VisibleRowCount() { return static_cast<int>(SendMessageA(Handle(), LVM_GETCOUNTPERPAGE, 0, 0)); }

TListItem* TCustomListView::GetItemAt(int x, int y) {
    LVHITTESTINFO hit{};
    hit.pt = TPoint{x, y};
    int index = static_cast<int>(SendMessageA(Handle(), LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
    return (hit.flags & LVHT_ONITEM) ? ItemAt(index) : nullptr;
}

void TCustomListView::Scroll(int dx, int dy) { SendMessageA(Handle(), LVM_SCROLL, static_cast<WPARAM>(dx), dy); }

// ---- sorting --------------------------------------------------------------------------

int TCustomListView::DefaultCompare(TListItem* item1, TListItem* item2, intptr_t data) {
    if (!OnCompare)
        return CompareText(item1->caption_, item2->caption_);
    int compare = 0;
    OnCompare(this, item1, item2, data, compare);
    return compare;
}

// No exception may unwind through comctl32: it is kept and thrown once the sort is over.
int CALLBACK TCustomListView::SortCallback(LPARAM item1, LPARAM item2, LPARAM context) {
    auto sort = reinterpret_cast<TSortContext*>(context);
    if (sort->Error)
        return 0;
    try {
        auto first = reinterpret_cast<TListItem*>(item1);
        auto second = reinterpret_cast<TListItem*>(item2);
        return sort->Compare ? sort->Compare(first, second, sort->Data) : sort->View->DefaultCompare(first, second, sort->Data);
    } catch (...) {
        sort->Error = std::current_exception();
        return 0;
    }
}

void TCustomListView::CustomSort(TLVCompare compare, intptr_t data) {
    auto& owned = items_.items_;
    std::vector<TListItem*> order;
    order.reserve(owned.size());
    TSortContext sort{this, compare, data, nullptr};
    if (HandleAllocated()) {
        SendToNativeWindow(LVM_SORTITEMS, static_cast<WPARAM>(reinterpret_cast<LPARAM>(&sort)),
                     reinterpret_cast<LPARAM>(&SortCallback));
        // Items takes the window's order, also after a failed comparison.
        for (int i = 0; i < items_.Count(); ++i) {
            LVITEMA query{};
            query.mask = LVIF_PARAM;
            query.iItem = i;
            SendToNativeWindow(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&query));
            order.push_back(reinterpret_cast<TListItem*>(query.lParam));
        }
    } else {
        for (const auto& item : owned)
            order.push_back(item.get());
        std::stable_sort(order.begin(), order.end(), [&sort](TListItem* first, TListItem* second) {
            return (sort.Compare ? sort.Compare(first, second, sort.Data)
                                 : sort.View->DefaultCompare(first, second, sort.Data)) < 0;
        });
    }
    std::unordered_map<const TListItem*, size_t> positions;
    for (size_t i = 0; i < owned.size(); ++i)
        positions.emplace(owned[i].get(), i);
    std::vector<size_t> sources;
    for (TListItem* item : order) {
        auto found = positions.find(item);
        if (found == positions.end())
            throw EInvalidOperation("The list view holds an item that is not in Items");
        sources.push_back(found->second);
        positions.erase(found);
    }
    std::vector<std::unique_ptr<TListItem>> sorted;
    sorted.reserve(owned.size());
    for (size_t source : sources)
        sorted.push_back(std::move(owned[source]));
    owned = std::move(sorted);
    items_.Renumber(0);
    if (sort.Error)
        std::rethrow_exception(sort.Error);
}

bool TCustomListView::AlphaSort() {
    CustomSort(nullptr, 0);
    return true;
}

// ---- the window side of items ----------------------------------------------------------

void TCustomListView::InsertWindowItem(int index, TListItem& item) {
    TSetUpGuard guard(*this);
    LVITEMA insert{};
    insert.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
    insert.iItem = index;
    insert.pszText = const_cast<char*>(item.caption_.c_str());
    insert.iImage = WindowImage(item.imageIndex_);
    insert.lParam = reinterpret_cast<LPARAM>(&item);
    if (SendToNativeWindow(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)) != index)
        throw EInvalidOperation("The list view did not take an item");
    if (item.WindowState() != 0)  // a new window item has none
        ApplyItemState(index, item);
    SetWindowSubItems(index, item, 0, -1, true);
}

// The window keeps sub-item texts only for columns that exist.
void TCustomListView::SetWindowSubItems(int index, const TListItem& item, int first, int count, bool fresh) {
    const TListSubItems& texts = item.subItems_;
    const int end = count < 0 ? columns_.Count() : std::min(columns_.Count(), first + 1 + count);
    for (int column = first + 1; column < end; ++column) {
        const std::string text = column - 1 < texts.Count() ? texts[column - 1] : std::string();
        if (fresh && text.empty())
            continue;
        LVITEMA set{};
        set.iSubItem = column;
        set.pszText = const_cast<char*>(text.c_str());
        SendToNativeWindow(LVM_SETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&set));
    }
}

std::string TCustomListView::WindowItemText(int index, int subItem) const {
    std::string text(256, '\0');
    for (;;) {
        LVITEMA get{};
        get.iSubItem = subItem;
        get.pszText = text.data();
        get.cchTextMax = static_cast<int>(text.size());
        auto length = static_cast<size_t>(
            SendToNativeWindow(LVM_GETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&get)));
        if (length + 1 < text.size()) {
            text.resize(length);
            return text;
        }
        text.resize(text.size() * 2);
    }
}

void TCustomListView::ItemCaptionChanged(TListItem& item, const std::string& caption) {
    int index = items_.IndexOf(&item);
    if (index < 0)  // -1 would address every item
        return;
    LVITEMA set{};
    set.pszText = const_cast<char*>(caption.c_str());
    SendToNativeWindow(LVM_SETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&set));
}

void TCustomListView::ItemImageChanged(TListItem& item, int imageIndex) {
    LVITEMA set{};
    set.mask = LVIF_IMAGE;
    set.iItem = items_.IndexOf(&item);
    if (set.iItem < 0)
        return;
    set.iImage = WindowImage(imageIndex);
    SendToNativeWindow(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&set));
}

void TCustomListView::SetWindowItemState(TListItem& item, UINT mask, UINT state) {
    int index = items_.IndexOf(&item);
    if (index < 0)  // -1 would address every item
        return;
    LVITEMA set{};
    set.stateMask = mask;
    set.state = state;
    const unsigned removals = items_.removals_;
    SendToNativeWindow(LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&set));
    if (!ItemGone(&item, removals))
        ReadItemState(item.index_, item);  // the handlers may have moved it
}

void TCustomListView::ApplyItemState(int index, const TListItem& item) {
    LVITEMA set{};
    set.stateMask = kKeptStates;
    set.state = item.WindowState();
    SendToNativeWindow(LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&set));
}

void TCustomListView::ApplyCheckStates() {
    for (int i = 0; i < items_.Count(); ++i) {
        LVITEMA set{};
        set.stateMask = LVIS_STATEIMAGEMASK;
        set.state = items_.items_[static_cast<size_t>(i)]->WindowState() & LVIS_STATEIMAGEMASK;
        SendToNativeWindow(LVM_SETITEMSTATE, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&set));
    }
}

void TCustomListView::ReadItemState(int index, TListItem& item) {
    const UINT state =
        static_cast<UINT>(SendToNativeWindow(LVM_GETITEMSTATE, static_cast<WPARAM>(index), kKeptStates));
    item.selected_ = (state & LVIS_SELECTED) != 0;
    item.focused_ = (state & LVIS_FOCUSED) != 0;
    const UINT image = StateImageOf(state);
    if (checkboxes_)
        item.checked_ = image == kChecked;
    else
        item.stateIndex_ = static_cast<int>(image) - 1;
}

void TCustomListView::ReadItemStates() {
    if (!HandleAllocated())
        return;
    const int count = std::min(items_.Count(), static_cast<int>(SendToNativeWindow(LVM_GETITEMCOUNT, 0, 0)));
    for (int i = 0; i < count; ++i)
        ReadItemState(i, *items_.items_[static_cast<size_t>(i)]);
}

void TCustomListView::RemoveItem(int index) {
    if (!HandleAllocated())
        return;
    // The window's last notifications about the item fire no events.
    deletingItem_ = ItemAt(index);
    SendToNativeWindow(LVM_DELETEITEM, static_cast<WPARAM>(index), 0);
    deletingItem_ = nullptr;
}

void TCustomListView::RemoveAllItems() {
    if (!HandleAllocated())
        return;
    TSetUpGuard guard(*this);
    SendToNativeWindow(LVM_DELETEALLITEMS, 0, 0);
}

void TCustomListView::ItemsUpdateBegun() {
    if (HandleAllocated())
        SendMessageA(WindowHandle(), WM_SETREDRAW, FALSE, 0);
}

void TCustomListView::ItemsUpdateEnded() {
    if (!HandleAllocated())
        return;
    SendMessageA(WindowHandle(), WM_SETREDRAW, TRUE, 0);
    InvalidateRect(WindowHandle(), nullptr, TRUE);
}

// ---- the window side of columns --------------------------------------------------------

int TCustomListView::WindowColumnCount() const {
    int count = 0;
    for (;;) {
        LVCOLUMNA query{};
        query.mask = LVCF_WIDTH;
        if (!SendToNativeWindow(LVM_GETCOLUMNA, static_cast<WPARAM>(count), reinterpret_cast<LPARAM>(&query)))
            return count;
        ++count;
    }
}

void TCustomListView::WriteColumn(int index, bool insert) {
    const TListColumn& column = *columns_[index];
    LVCOLUMNA write{};
    write.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    write.fmt = ColumnFormat(column.alignment_);
    write.cx = column.width_;
    write.pszText = const_cast<char*>(column.caption_.c_str());
    LRESULT result = SendMessageA(WindowHandle(), insert ? LVM_INSERTCOLUMNA : LVM_SETCOLUMNA, static_cast<WPARAM>(index),
                                  reinterpret_cast<LPARAM>(&write));
    if (insert && result != index)
        throw EInvalidOperation("The list view did not take a column");
}

void TCustomListView::ColumnChanged(int index) {
    if (WindowColumnCount() != columns_.Count()) {
        SyncColumns();
        return;
    }
    TSetUpGuard guard(*this);
    WriteColumn(index, false);
}

// Columns that were added, removed or moved: the window's columns are rewritten in place,
// the surplus removed from the end, and every item's sub-items written again.
void TCustomListView::SyncColumns() {
    TSetUpGuard guard(*this);
    const int have = WindowColumnCount();
    const int want = columns_.Count();
    for (int i = have - 1; i >= want; --i)
        SendToNativeWindow(LVM_DELETECOLUMN, static_cast<WPARAM>(i), 0);
    for (int i = 0; i < want; ++i)
        WriteColumn(i, i >= have);
    for (int i = 0; i < items_.Count(); ++i)
        SetWindowSubItems(i, *items_.items_[static_cast<size_t>(i)], 0, -1, false);
}

void TCustomListView::ReadColumnWidths() {
    if (!HandleAllocated())
        return;
    for (int i = 0; i < columns_.Count(); ++i) {
        LVCOLUMNA query{};
        query.mask = LVCF_WIDTH;
        if (SendToNativeWindow(LVM_GETCOLUMNA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&query)))
            columns_[i]->width_ = query.cx;
    }
}

const TClassInfo& TListView::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TListView, TCustomListView>("TListView", {});
    return info;
}

// ---- TProgressBar ---------------------------------------------------------------------

const TClassInfo& TProgressBar::StaticClassInfo() {
    using C = TProgressBar;
    static const TPropInfo props[] = {
        Prop<&C::Min, &C::SetMin>("Min").WithDefault(0),
        Prop<&C::Max, &C::SetMax>("Max").WithDefault(100),
        Prop<&C::Position, &C::SetPosition>("Position").WithDefault(0),
        Prop<&C::Step, &C::SetStep>("Step").WithDefault(10),
        Prop<&C::Smooth, &C::SetSmooth>("Smooth").WithDefault(false),
        Prop<&C::Orientation, &C::SetOrientation>("Orientation").WithDefault(pbHorizontal),
    };
    static const TClassInfo info = MakeClassInfo<TProgressBar, TWinControl>("TProgressBar", props);
    return info;
}

TProgressBar::TProgressBar(TComponent* owner) : TWinControl(owner) { SetBounds(0, 0, 150, 16); }

void TProgressBar::CreateParams(TCreateParams& params) {
    TWinControl::CreateParams(params);
    params.SysClass = "msctls_progress32";
    if (smooth_)
        params.Style |= PBS_SMOOTH;
    if (orientation_ == pbVertical)
        params.Style |= PBS_VERTICAL;
}

void TProgressBar::CreateWnd() {
    EnsureCommonControlClasses();
    TWinControl::CreateWnd();
    SendMessageA(WindowHandle(), PBM_SETRANGE32, static_cast<WPARAM>(min_), max_);
    SendMessageA(WindowHandle(), PBM_SETSTEP, static_cast<WPARAM>(step_), 0);
    SendMessageA(WindowHandle(), PBM_SETPOS, static_cast<WPARAM>(position_), 0);
}

void TProgressBar::SaveWindowState() {
    TWinControl::SaveWindowState();
    position_ = Position();
}

// Written without std::clamp: Min may lie above Max for a moment while both are being set.
int TProgressBar::Clamp(int value) const { return std::max(min_, std::min(value, max_)); }

int TProgressBar::Position() const {
    if (HandleAllocated())
        return static_cast<int>(SendMessageA(WindowHandle(), PBM_GETPOS, 0, 0));
    return position_;
}

void TProgressBar::SetMin(int value) {
    min_ = value;
    position_ = Clamp(Position());
    if (HandleAllocated()) {
        SendMessageA(WindowHandle(), PBM_SETRANGE32, static_cast<WPARAM>(min_), max_);
        SendMessageA(WindowHandle(), PBM_SETPOS, static_cast<WPARAM>(position_), 0);
    }
}

void TProgressBar::SetMax(int value) {
    max_ = value;
    position_ = Clamp(Position());
    if (HandleAllocated()) {
        SendMessageA(WindowHandle(), PBM_SETRANGE32, static_cast<WPARAM>(min_), max_);
        SendMessageA(WindowHandle(), PBM_SETPOS, static_cast<WPARAM>(position_), 0);
    }
}

void TProgressBar::SetPosition(int value) {
    position_ = Clamp(value);
    if (HandleAllocated())
        SendMessageA(WindowHandle(), PBM_SETPOS, static_cast<WPARAM>(position_), 0);
}

void TProgressBar::SetStep(int value) {
    step_ = value;
    if (HandleAllocated())
        SendMessageA(WindowHandle(), PBM_SETSTEP, static_cast<WPARAM>(step_), 0);
}

// Without a window the native control's rule: past Max the surplus counts on from Min, and
// below Min the shortfall counts back from Max (modulo the range).
void TProgressBar::StepIt() {
    if (HandleAllocated()) {
        SendMessageA(WindowHandle(), PBM_STEPIT, 0, 0);
        position_ = Position();
        return;
    }
    if (max_ <= min_) {
        position_ = min_;
        return;
    }
    const int64_t range = int64_t{max_} - min_;
    int64_t next = int64_t{position_} + step_;
    if (next > max_)
        next = (next - min_) % range + min_;
    if (next < min_)
        next = (next - min_) % range + max_;
    position_ = static_cast<int>(next);
}

void TProgressBar::StepBy(int delta) {
    if (HandleAllocated()) {
        SendMessageA(WindowHandle(), PBM_DELTAPOS, static_cast<WPARAM>(delta), 0);
        position_ = Position();
        return;
    }
    const int64_t next = std::clamp<int64_t>(int64_t{position_} + delta, INT32_MIN, INT32_MAX);
    position_ = Clamp(static_cast<int>(next));
}

void TProgressBar::SetSmooth(bool value) {
    if (value == smooth_)
        return;
    smooth_ = value;
    RecreateWnd();
}

void TProgressBar::SetOrientation(TProgressBarOrientation orientation) {
    if (orientation == orientation_)
        return;
    orientation_ = orientation;
    RecreateWnd();
}

// ---- TUpDown --------------------------------------------------------------------------

const TClassInfo& TUpDown::StaticClassInfo() {
    using C = TUpDown;
    static const TPropInfo props[] = {
        Prop<&C::Min, &C::SetMin>("Min").WithDefault(0),
        Prop<&C::Max, &C::SetMax>("Max").WithDefault(100),
        Prop<&C::Position, &C::SetPosition>("Position").WithDefault(0),
        Prop<&C::Increment, &C::SetIncrement>("Increment").WithDefault(1),
        Prop<&C::Associate, &C::SetAssociate>("Associate"),
        Prop<&C::Orientation, &C::SetOrientation>("Orientation").WithDefault(udVertical),
        Prop<&C::Wrap, &C::SetWrap>("Wrap").WithDefault(false),
        Prop<&C::ArrowKeys, &C::SetArrowKeys>("ArrowKeys").WithDefault(true),
        Prop<&C::Thousands, &C::SetThousands>("Thousands").WithDefault(true),
        Prop<&C::OnClick>("OnClick"),
        Prop<&C::OnChanging>("OnChanging"),
    };
    static const TClassInfo info = MakeClassInfo<TUpDown, TWinControl>("TUpDown", props);
    return info;
}

TUpDown::TUpDown(TComponent* owner) : TWinControl(owner) {
    // The native control clicks on its own (UDN_DELTAPOS).
    ControlStyle.Exclude(csClickEvents).Exclude(csCaptureMouse);
    SetBounds(0, 0, GetSystemMetrics(SM_CXVSCROLL), 2 * GetSystemMetrics(SM_CYVSCROLL));
}

void TUpDown::CreateParams(TCreateParams& params) {
    TWinControl::CreateParams(params);
    params.SysClass = "msctls_updown32";
    params.Style |= UDS_SETBUDDYINT | UDS_ALIGNRIGHT;
    if (orientation_ == udHorizontal)
        params.Style |= UDS_HORZ;
    if (wrap_)
        params.Style |= UDS_WRAP;
    if (arrowKeys_)
        params.Style |= UDS_ARROWKEYS;
    if (!thousands_)
        params.Style |= UDS_NOTHOUSANDS;
}

void TUpDown::CreateWnd() {
    EnsureCommonControlClasses();
    TWinControl::CreateWnd();
    HWND window = WindowHandle();
    SendMessageA(window, UDM_SETRANGE32, static_cast<WPARAM>(min_), max_);
    ApplyAccel();
    if (associate_)
        SendMessageA(window, UDM_SETBUDDY, reinterpret_cast<WPARAM>(associate_->Handle()), 0);
    // Also writes the buddy's text.
    SendMessageA(window, UDM_SETPOS32, 0, position_);
}

void TUpDown::SaveWindowState() {
    TWinControl::SaveWindowState();
    position_ = Position();
}

void TUpDown::Notification(TComponent* component, TOperation operation) {
    TWinControl::Notification(component, operation);
    if (operation == opRemove && component == associate_) {
        associate_ = nullptr;
        if (HandleAllocated())
            SendMessageA(WindowHandle(), UDM_SETBUDDY, 0, 0);
    }
}

void TUpDown::WndProc(TMessage& message) {
    switch (message.Msg) {
    case CN_NOTIFY:
        CNNotify(message);
        return;
    case CM_UPDOWNCLICK:
        Click(static_cast<TUDBtnType>(message.WParam));
        return;
    default:
        TWinControl::WndProc(message);
        return;
    }
}

void TUpDown::CNNotify(TMessage& message) {
    message.Result = 0;
    auto notify = reinterpret_cast<NMUPDOWN*>(message.LParam);
    if (notify->hdr.code != UDN_DELTAPOS)
        return;
    if (!CanChange()) {
        message.Result = 1;
        return;
    }
    if (notify->iDelta == 0)
        return;
    // The native control turns the step round when Max lies below Min: the button is
    // told by the direction relative to the range.
    const bool next = (notify->iDelta > 0) == (max_ >= min_);
    PostMessageA(WindowHandle(), CM_UPDOWNCLICK, next ? btNext : btPrev, 0);
}

void TUpDown::Click(TUDBtnType button) { OnClick(this, button); }

bool TUpDown::CanChange() {
    bool allow = true;
    OnChanging(this, allow);
    return allow;
}

int TUpDown::Position() const {
    if (!HandleAllocated())
        return position_;
    BOOL failed = FALSE;
    return static_cast<int>(SendMessageA(WindowHandle(), UDM_GETPOS32, 0, reinterpret_cast<LPARAM>(&failed)));
}

void TUpDown::SetPosition(int value) {
    position_ = std::max(std::min(min_, max_), std::min(value, std::max(min_, max_)));
    if (HandleAllocated())
        SendMessageA(WindowHandle(), UDM_SETPOS32, 0, position_);
}

void TUpDown::SetMin(int value) {
    min_ = value;
    if (HandleAllocated())
        SendMessageA(WindowHandle(), UDM_SETRANGE32, static_cast<WPARAM>(min_), max_);
}

void TUpDown::SetMax(int value) {
    max_ = value;
    if (HandleAllocated())
        SendMessageA(WindowHandle(), UDM_SETRANGE32, static_cast<WPARAM>(min_), max_);
}

void TUpDown::ApplyAccel() {
    UDACCEL accel{0, static_cast<UINT>(increment_)};
    SendMessageA(WindowHandle(), UDM_SETACCEL, 1, reinterpret_cast<LPARAM>(&accel));
}

void TUpDown::SetIncrement(int value) {
    increment_ = std::max(value, 1);
    if (HandleAllocated())
        ApplyAccel();
}

void TUpDown::SetAssociate(TWinControl* control) {
    if (control == associate_)
        return;
    if (control == this)
        throw EInvalidOperation("An up-down cannot be its own associate");
    const int position = Position();
    if (associate_)
        RemoveFreeNotification(associate_);
    associate_ = control;
    if (control)
        control->FreeNotification(this);
    if (!HandleAllocated())
        return;
    SendMessageA(WindowHandle(), UDM_SETBUDDY, reinterpret_cast<WPARAM>(control ? control->Handle() : nullptr), 0);
    SendMessageA(WindowHandle(), UDM_SETPOS32, 0, position);
}

void TUpDown::SetStyleFlag(bool& field, bool value) {
    if (field == value)
        return;
    field = value;
    RecreateWnd();
}

void TUpDown::SetWrap(bool value) { SetStyleFlag(wrap_, value); }
void TUpDown::SetArrowKeys(bool value) { SetStyleFlag(arrowKeys_, value); }
void TUpDown::SetThousands(bool value) { SetStyleFlag(thousands_, value); }

void TUpDown::SetOrientation(TUDOrientation orientation) {
    if (orientation == orientation_)
        return;
    orientation_ = orientation;
    RecreateWnd();
}

// ---- TToolBar ---------------------------------------------------------------------------

const TClassInfo& TToolBar::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TToolBar::Images, &TToolBar::SetImages>("Images"),
    };
    static const TClassInfo info = MakeClassInfo<TToolBar, TCustomControl>("TToolBar", props);
    return info;
}

TToolBar::TToolBar(TComponent* owner) : TCustomControl(owner) { SetBounds(0, 0, 150, 29); }

TToolBar::~TToolBar() {
    if (images_)
        images_->UnRegisterChanges(this);
}

void TToolBar::SetImages(TImageList* value) {
    if (value == images_)
        return;
    if (images_) {
        images_->UnRegisterChanges(this);
        images_->RemoveFreeNotification(this);
    }
    images_ = value;
    if (images_) {
        images_->FreeNotification(this);
        images_->RegisterChanges(this, TNotifyEvent(this, &TToolBar::ImagesChanged));
    }
    ImagesChanged(nullptr);
}

// The buttons are windows of their own: each repaints.
void TToolBar::ImagesChanged(TObject*) {
    for (int i = 0; i < ControlCount(); ++i)
        Controls(i)->Invalidate();
}

void TToolBar::Notification(TComponent* component, TOperation operation) {
    TCustomControl::Notification(component, operation);
    if (operation == opRemove && component == images_) {
        images_ = nullptr;
        ImagesChanged(nullptr);
    }
}
