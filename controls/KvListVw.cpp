#include "KvListVw.h"

#include "Forms.h"
#include "KvShellInfo.h"
#include "Themes.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

// Check box state images.
constexpr UINT kUnchecked = 1;
constexpr UINT kChecked = 2;

// The state image a notification ticks or unticks to, 0 when it is no pure check change:
// the image must change and the selection bits must stay. Both sides carry the same kind of
// state (the whole state on some systems, only the changed bits on others).
UINT CheckToggle(const NMLISTVIEW& notify) {
    if (!(notify.uChanged & LVIF_STATE))
        return 0;
    const UINT changed = notify.uOldState ^ notify.uNewState;
    if (!(changed & LVIS_STATEIMAGEMASK) || (changed & (LVIS_SELECTED | LVIS_FOCUSED)))
        return 0;
    const UINT image = (notify.uNewState & LVIS_STATEIMAGEMASK) >> 12;
    return image == kUnchecked || image == kChecked ? image : 0;
}

TPoint CenterOf(const TRect& rect) { return TPoint{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}; }

// A DC of the whole window, from GetWindowDC.
class TWholeWindowDc {
public:
    explicit TWholeWindowDc(HWND window) : window_(window), dc_(GetWindowDC(window)) {}
    TWholeWindowDc(const TWholeWindowDc&) = delete;
    TWholeWindowDc& operator=(const TWholeWindowDc&) = delete;
    ~TWholeWindowDc() {
        if (dc_)
            ReleaseDC(window_, dc_);
    }
    HDC Get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// Saves a DC's state (clipping, selections, colours) and puts it back.
class TSavedDc {
public:
    explicit TSavedDc(HDC dc) : dc_(dc), saved_(SaveDC(dc)) {}
    TSavedDc(const TSavedDc&) = delete;
    TSavedDc& operator=(const TSavedDc&) = delete;
    ~TSavedDc() {
        if (saved_)
            RestoreDC(dc_, saved_);
    }

private:
    HDC dc_;
    int saved_;
};

// Items().BeginUpdate for a scope.
class TItemsUpdate {
public:
    explicit TItemsUpdate(TListItems& items) : items_(items) { items_.BeginUpdate(); }
    ~TItemsUpdate() { items_.EndUpdate(); }
    TItemsUpdate(const TItemsUpdate&) = delete;
    TItemsUpdate& operator=(const TItemsUpdate&) = delete;

private:
    TListItems& items_;
};

// The text a column shows for an item: the caption in column 0, else a sub-item (empty
// when the item has fewer).
std::string ColumnText(const TListItem& item, intptr_t column) {
    if (column == 0)
        return item.Caption();
    const TListSubItems& texts = item.SubItems();
    return column - 1 < texts.Count() ? texts[static_cast<int>(column - 1)] : std::string();
}

// The box the sort arrow is drawn in, for a text rectangle.
TRect ArrowBox(const TRect& text) {
    const int middle = (text.top + text.bottom) / 2;
    const int height = middle - 1;
    const int top = (text.top + text.bottom - height) / 2 - 1;
    return TRect{text.left, top, text.left + middle, top + height};
}

}  // namespace

// ---- class info ------------------------------------------------------------------------

const TClassInfo& TKvCustomListView::StaticClassInfo() {
    using C = TKvCustomListView;
    static const TPropInfo props[] = {
        Prop<&C::About, &C::SetAbout>("About").NotStored(),
        Prop<&C::AlphaSortAll, &C::SetAlphaSortAll>("AlphaSortAll").WithDefault(false),
        Prop<&C::GetColor, &C::SetColor>("Color").WithDefault(clWindow).StoredIf<&C::IsColorStored>(),
        Prop<&C::DisabledColor, &C::SetDisabledColor>("DisabledColor").WithDefault(clBtnFace),
        Prop<&C::EditOnRowClick, &C::SetEditOnRowClick>("EditOnRowClick").WithDefault(false),
        Prop<&C::FillLastColumn, &C::SetFillLastColumn>("FillLastColumn").WithDefault(true),
        Prop<&C::FocusColor, &C::SetFocusColor>("FocusColor")
            .WithDefault(clWindow)
            .StoredIf<&C::IsFocusColorStored>(),
        Prop<&C::FrameColor, &C::SetFrameColor>("FrameColor").WithDefault(clBtnShadow),
        Prop<&C::FrameController, &C::SetFrameController>("FrameController"),
        Prop<&C::FrameHotColor, &C::SetFrameHotColor>("FrameHotColor").WithDefault(clBtnShadow),
        Prop<&C::FrameHotTrack, &C::SetFrameHotTrack>("FrameHotTrack").WithDefault(false),
        Prop<&C::FrameHotStyle, &C::SetFrameHotStyle>("FrameHotStyle").WithDefault(fsFlatBold),
        Prop<&C::FrameSides, &C::SetFrameSides>("FrameSides").WithDefault(kAllSides.Bits()),
        Prop<&C::FrameStyle, &C::SetFrameStyle>("FrameStyle").WithDefault(fsFlat),
        Prop<&C::FrameVisible, &C::SetFrameVisible>("FrameVisible").WithDefault(false),
        Prop<&C::FramingPreference, &C::SetFramingPreference>("FramingPreference").WithDefault(fpXPThemes),
        Prop<&C::HeaderDefaultDrawing, &C::SetHeaderDefaultDrawing>("HeaderDefaultDrawing").WithDefault(true),
        Prop<&C::HeaderSortDisplayMode, &C::SetHeaderSortDisplayMode>("HeaderSortDisplayMode")
            .WithDefault(hsdmRightOfText),
        Prop<&C::OnCheckStateChanging>("OnCheckStateChanging"),
        Prop<&C::OnCheckStateChange>("OnCheckStateChange"),
        Prop<&C::OnItemContextMenu>("OnItemContextMenu"),
    };
    static const TClassInfo info = MakeClassInfo<TKvCustomListView, TCustomListView>("TKvCustomListView", props);
    return info;
}

const TClassInfo& TKvListView::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TKvListView, TKvCustomListView>("TKvListView", {});
    return info;
}

// ---- life ------------------------------------------------------------------------------

TKvCustomListView::TKvCustomListView(TComponent* owner) : TCustomListView(owner) {}

TKvCustomListView::~TKvCustomListView() { LinkFrameController(*this, frameController_, nullptr); }

void TKvCustomListView::Loaded() {
    TCustomListView::Loaded();
    UpdateColors();
    UpdateFrame(false, false);
    if (fillLastColumn_)
        DoFillLastColumn();
}

void TKvCustomListView::CreateWnd() {
    TCustomListView::CreateWnd();
    RefreshHeaderSortDisplay();
    // The header may come later than the list window itself.
    PostMessageA(WindowHandle(), WM_KVLVREFRESHHEADER, 0, 0);
}

void TKvCustomListView::Notification(TComponent* component, TOperation operation) {
    TCustomListView::Notification(component, operation);
    if (operation != opRemove)
        return;
    if (component == frameController_)
        frameController_ = nullptr;
    if (component == heldPopupMenu_)
        heldPopupMenu_ = nullptr;
}

void TKvCustomListView::Delete(TListItem* item) {
    ++removals_;
    TCustomListView::Delete(item);
}

// Compares only: item may have been freed.
bool TKvCustomListView::ItemGone(const TListItem* item, unsigned removals) const {
    if (removals == removals_)
        return false;
    for (int i = 0; i < Items().Count(); ++i)
        if (Items()[i] == item)
            return false;
    return true;
}

// ---- messages --------------------------------------------------------------------------

void TKvCustomListView::WndProc(TMessage& message) {
    switch (message.Msg) {
    case WM_DRAWITEM:
        if (HWND header = HeaderHandle();
            header && reinterpret_cast<const DRAWITEMSTRUCT*>(message.LParam)->hwndItem == header) {
            DrawHeaderItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(message.LParam));
            message.Result = 1;
            return;
        }
        break;
    case WM_NCPAINT:
        NCPaint(message);
        return;
    case WM_SIZE:
        TCustomListView::WndProc(message);
        if (frameVisible_ && !UseThemes())
            RepaintFrame();
        return;
    case WM_MOUSEWHEEL:
        MouseWheel(message);
        return;
    case WM_CONTEXTMENU:
        ContextMenu(message);
        return;
    case WM_RBUTTONDOWN:
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        // A new gesture: a menu shown for an earlier one no longer stands for it.
        contextMenuHandled_ = keyboardMenu_ = false;
        break;
    case WM_RBUTTONUP:
        RightButtonUp(message);
        return;
    case WM_PARENTNOTIFY: {
        TFreeWatch watch(*this);
        TCustomListView::WndProc(message);
        if (!watch.Freed())
            RefreshHeaderSortDisplay();
        return;
    }
    case WM_KVLVREFRESHHEADER:
        RefreshHeaderSortDisplay();
        return;
    case WM_SYSCOLORCHANGE:
        TCustomListView::WndProc(message);
        if (TControl::Color() & kSystemColor)
            Perform(CM_COLORCHANGED);
        return;
    case CM_COLORCHANGED:
        TCustomListView::WndProc(message);
        // A colour set past SetColor (a parent's, or through the base class) is the new normal one.
        if (!updatingColors_ && TControl::Color() != normalColor_) {
            if (focusColor_ == normalColor_)
                focusColor_ = TControl::Color();
            normalColor_ = TControl::Color();
        }
        if (frameVisible_ && !UseThemes())
            RepaintFrame();
        return;
    case CM_ENABLEDCHANGED:
        TCustomListView::WndProc(message);
        UpdateColors();
        return;
    case CM_ENTER:
        UpdateFrame(false, true);
        break;
    case CM_EXIT:
        TCustomListView::WndProc(message);
        UpdateFrame(false, false);
        return;
    case CM_MOUSEENTER:
        // The framework's handling fires OnMouseEnter: the frame is updated first.
        UpdateFrame(true, true);
        break;
    case CM_MOUSELEAVE:
        UpdateFrame(true, false);
        break;
    case CM_PARENTCOLORCHANGED:
        TCustomListView::WndProc(message);
        if (frameVisible_)
            RepaintFrame();
        return;
    default:
        break;
    }
    TCustomListView::WndProc(message);
}

void TKvCustomListView::CNNotify(TMessage& message) { HandleListNotify(message); }

void TKvCustomListView::HandleListNotify(TMessage& message) {
    message.Result = 0;
    auto header = reinterpret_cast<NMHDR*>(message.LParam);
    TFreeWatch watch(*this);
    switch (header->code) {
    case LVN_ITEMCHANGING: {
        TCustomListView::CNNotify(message);
        const auto& notify = *reinterpret_cast<const NMLISTVIEW*>(message.LParam);
        const UINT image = CheckToggle(notify);
        if (watch.Freed() || message.Result || !image || !Checkboxes() || SettingUpWindow())
            return;
        TListItem* item = ItemAt(notify.iItem);
        if (!item)
            return;
        const unsigned removals = removals_;
        const bool allow = AskCheckStateChanging(item, image == kChecked);
        // An item deleted by the handler must not be changed by the window.
        if (!allow || watch.Freed() || ItemGone(item, removals))
            message.Result = 1;
        return;
    }
    case LVN_ITEMCHANGED: {
        const auto& notify = *reinterpret_cast<const NMLISTVIEW*>(message.LParam);
        TListItem* item = ItemAt(notify.iItem);
        const unsigned removals = removals_;
        TCustomListView::CNNotify(message);
        if (watch.Freed() || !item || !Checkboxes() || SettingUpWindow() || !CheckToggle(notify) ||
            ItemGone(item, removals))
            return;
        FireCheckStateChange(item);
        return;
    }
    case LVN_BEGINLABELEDITA:
    case LVN_BEGINLABELEDITW: {
        TCustomListView::CNNotify(message);
        if (watch.Freed() || message.Result || !RowSelect() || ViewStyle() != vsReport || editOnRowClick_)
            return;
        // With whole rows selectable, only a click on the label itself starts an edit (the
        // item is at the same place in the A and W forms).
        const int index = reinterpret_cast<const NMLVDISPINFOA*>(message.LParam)->item.iItem;
        POINT cursor{};
        GetCursorPos(&cursor);
        ::ScreenToClient(WindowHandle(), &cursor);
        TRect label{};
        label.left = LVIR_LABEL;
        if (!SendToNativeWindow(LVM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&label)) ||
            !PtInRect(&label, cursor))
            message.Result = 1;
        return;
    }
    case NM_RCLICK: {
        POINT cursor{};
        GetCursorPos(&cursor);
        ::ScreenToClient(WindowHandle(), &cursor);
        ItemContextMenuAt(cursor);
        if (watch.Freed())
            return;
        TCustomListView::CNNotify(message);
        return;
    }
    default:
        TCustomListView::CNNotify(message);
        return;
    }
}

bool TKvCustomListView::AskCheckStateChanging(TListItem* item, bool toBeChecked) {
    bool allow = true;
    OnCheckStateChanging(this, item, toBeChecked, allow);
    return allow;
}

void TKvCustomListView::FireCheckStateChange(TListItem* item) { OnCheckStateChange(this, item); }

// ---- header ----------------------------------------------------------------------------

void TKvCustomListView::HeaderNotify(TMessage& message) {
    const UINT code = reinterpret_cast<const NMHDR*>(message.LParam)->code;
    if (code == HDN_ITEMCLICKA || code == HDN_ITEMCLICKW)
        InvalidateRect(HeaderHandle(), nullptr, TRUE);
    TFreeWatch watch(*this);
    TCustomListView::HeaderNotify(message);
    if (watch.Freed())
        return;
    switch (code) {
    case HDN_BEGINTRACKA:
    case HDN_BEGINTRACKW:
    case HDN_ENDTRACKA:
    case HDN_ENDTRACKW:
    case HDN_ITEMCHANGEDA:
    case HDN_ITEMCHANGEDW:
        RefreshHeaderSortDisplay();
        break;
    default:
        break;
    }
    switch (code) {
    case HDN_ENDTRACKA:
    case HDN_ENDTRACKW:
    case HDN_DIVIDERDBLCLICKA:
    case HDN_DIVIDERDBLCLICKW:
        DoFillLastColumn();
        break;
    default:
        break;
    }
}

bool TKvCustomListView::OwnerDrawsHeader() const {
    return headerSortDisplayMode_ != hsdmNone &&
           (ComCtlVersion() < MakeFileVersion(6, 0) || headerSortDisplayMode_ != hsdmRightOfText);
}

void TKvCustomListView::RefreshHeaderSortDisplay() {
    HWND header = HeaderHandle();
    if (!header || ViewStyle() != vsReport || headerRefreshing_ > 0)
        return;
    // Setting an item makes the header report the change, which leads back here.
    ++headerRefreshing_;
    const bool ownerDraw = OwnerDrawsHeader();
    const int count = static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
    for (int i = count - 1; i >= 0; --i) {
        HDITEMA item{};
        item.mask = HDI_FORMAT;
        if (!SendMessageA(header, HDM_GETITEMA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item)))
            continue;
        int format = item.fmt & HDF_JUSTIFYMASK;
        if (ownerDraw) {
            format |= HDF_OWNERDRAW;
        } else {
            format |= HDF_STRING;
            if (i == sortColumn_)
                format |= sortDirection_ == lsdDescending ? HDF_SORTDOWN : HDF_SORTUP;
        }
        if (format == item.fmt)
            continue;
        item.fmt = format;
        SendMessageA(header, HDM_SETITEMA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    }
    --headerRefreshing_;
    InvalidateRect(header, nullptr, TRUE);
}

void TKvCustomListView::InvalidateHeaderItem(int column) {
    HWND header = HeaderHandle();
    if (!header || column < 0)
        return;
    TRect rect{};
    if (SendMessageA(header, HDM_GETITEMRECT, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&rect)))
        InvalidateRect(header, &rect, TRUE);
}

void TKvCustomListView::SetSortColumn(int column) {
    InvalidateHeaderItem(sortColumn_);
    InvalidateHeaderItem(column);
    sortColumn_ = column;
    if (ComCtlVersion() >= MakeFileVersion(6, 0))
        RefreshHeaderSortDisplay();
}

void TKvCustomListView::SetSortDirection(TKvLVSortDirection direction) {
    InvalidateHeaderItem(sortColumn_);
    sortDirection_ = direction;
    Invalidate();
    if (ComCtlVersion() >= MakeFileVersion(6, 0))
        RefreshHeaderSortDisplay();
}

void TKvCustomListView::SetHeaderSortDisplayMode(TKvLVHeaderSortDisplayMode mode) {
    headerSortDisplayMode_ = ComCtlVersion() >= MakeFileVersion(4, 70) ? mode : hsdmNone;
    RefreshHeaderSortDisplay();
    if (HWND header = HeaderHandle())
        InvalidateRect(header, nullptr, TRUE);
}

void TKvCustomListView::SetHeaderDefaultDrawing(bool value) {
    headerDefaultDrawing_ = value;
    if (HWND header = HeaderHandle())
        InvalidateRect(header, nullptr, TRUE);
}

// An owner-drawn header item: the caption in the column's alignment and, on the sort column,
// an arrow beside it (pointing down while ascending, up while descending).
void TKvCustomListView::DrawHeaderItem(const DRAWITEMSTRUCT& draw) {
    if (!headerDefaultDrawing_)
        return;
    const int column = static_cast<int>(draw.itemID);
    const TListColumn* listColumn = column >= 0 && column < Columns().Count() ? Columns()[column] : nullptr;
    const std::string caption = listColumn ? listColumn->Caption() : std::string();
    const TAlignment alignment = listColumn ? listColumn->Alignment() : taLeftJustify;
    const int columnWidth = draw.rcItem.right - draw.rcItem.left;
    const bool sorted = column == sortColumn_;

    TSavedDc saved(draw.hDC);
    TCanvasLoan loan(headerCanvas_, draw.hDC);
    headerCanvas_.Font().Assign(*Font());
    headerCanvas_.Brush().SetColor(clBtnFace);
    TRect rect = draw.rcItem;
    InflateRect(&rect, -2, -2);
    headerCanvas_.IntersectClipRect(rect);
    headerCanvas_.RequireFont();
    SetBkMode(draw.hDC, TRANSPARENT);
    SetTextColor(draw.hDC, ColorToRGB(Font()->Color()));

    TRect text = rect;
    text.left += 4;
    text.right -= 4;
    UINT format = DT_SINGLELINE | DT_END_ELLIPSIS;
    if (alignment == taRightJustify)
        format |= DT_RIGHT;
    else if (alignment == taCenter)
        format |= DT_CENTER;
    auto drawText = [&](TRect& where, UINT extra) {
        DrawTextA(draw.hDC, caption.c_str(), static_cast<int>(caption.size()), &where, format | extra);
    };
    TRect box = ArrowBox(text);
    const int boxWidth = box.right - box.left;
    switch (headerSortDisplayMode_) {
    case hsdmLeftAlign:
        if (sorted && columnWidth > 15)
            text.left = box.right + 5;
        drawText(text, 0);
        break;
    case hsdmRightOfText:
        if (alignment != taRightJustify) {
            drawText(text, 0);
            TRect measured = text;
            drawText(measured, DT_CALCRECT);
            OffsetRect(&box, measured.right - measured.left + 5, 0);
            break;
        }
        [[fallthrough]];
    case hsdmRightAlign:
        OffsetRect(&box, text.right - text.left - boxWidth - 5, 0);
        if (sorted)
            text.right = box.left - 4;
        drawText(text, 0);
        break;
    case hsdmNone:
        drawText(text, 0);
        break;
    }
    if (!sorted || columnWidth <= 2 * boxWidth)
        return;
    const int a = (box.bottom - box.top) * 3 / 4;
    if (a <= 0)
        return;
    const int w = 2 * a - 1;
    const int top = box.bottom - a;
    const int left = box.left;
    headerCanvas_.Pen().SetColor(clBtnShadow);
    headerCanvas_.Brush().SetColor(clBtnShadow);
    if (sortDirection_ == lsdAscending) {
        const TPoint points[] = {{left, top}, {left + w - 1, top}, {left + a - 1, top + a - 1}};
        headerCanvas_.Polygon(points);
    } else {
        const TPoint points[] = {{left, top + a - 1}, {left + w - 1, top + a - 1}, {left + a - 1, top}};
        headerCanvas_.Polygon(points);
    }
}

// ---- sorting by column ------------------------------------------------------------------

// Case-insensitive; an empty text comes after every other one.
int TKvCustomListView::CompareColumn(TListItem* item1, TListItem* item2, intptr_t column) {
    if (!item1 || !item2 || column < 0)
        return 0;
    const std::string first = ColumnText(*item1, column);
    const std::string second = ColumnText(*item2, column);
    if (!first.empty() && second.empty())
        return -1;
    if (first.empty() && !second.empty())
        return 1;
    const int compare = CompareText(first, second);
    return (compare > 0) - (compare < 0);
}

int TKvCustomListView::CompareColumnDescending(TListItem* item1, TListItem* item2, intptr_t column) {
    return -CompareColumn(item1, item2, column);
}

// A first click sorts ascending, a second one on the same column descending, a third
// ascending again.
void TKvCustomListView::ColClick(TListColumn* column) {
    if (alphaSortAll_ && column) {
        const int index = column->Index();
        SetSortColumn(index);
        if (index != lastClickedColumn_) {
            SetSortDirection(lsdAscending);
            CustomSort(&CompareColumn, index);
            lastClickedColumn_ = index;
        } else {
            SetSortDirection(lsdDescending);
            CustomSort(&CompareColumnDescending, index);
            lastClickedColumn_ = -1;
        }
    }
    TCustomListView::ColClick(column);
}

// ---- last column -----------------------------------------------------------------------

void TKvCustomListView::DoFillLastColumn() {
    if (!fillLastColumn_ || ViewStyle() != vsReport || IsDestroying())
        return;
    const int count = Columns().Count();
    if (count == 0)
        return;
    TItemsUpdate update(Items());
    int sum = 0;
    for (int i = 0; i < count - 1; ++i)
        sum += Columns()[i]->Width();
    int available = ClientWidth();
    // Without items there is no scroll bar yet; the first ones may bring it.
    if (Items().Count() == 0)
        available -= GetSystemMetrics(SM_CXVSCROLL);
    if (available > sum)
        Columns()[count - 1]->SetWidth(std::max(available - sum, 5));
}

TRect TKvCustomListView::ClientRectFromBounds() const {
    TRect edges = MakeRect(0, 0, 0, 0);
    AdjustWindowRectEx(&edges, WS_CHILD, FALSE, WS_EX_CLIENTEDGE);
    const int width = Width() - static_cast<int>(edges.right - edges.left);
    const int height = Height() - static_cast<int>(edges.bottom - edges.top);
    return MakeRect(0, 0, std::max(0, width), std::max(0, height));
}

void TKvCustomListView::SetFillLastColumn(bool value) {
    fillLastColumn_ = value;
    if (value && !IsLoading())
        DoFillLastColumn();
}

void TKvCustomListView::SetBounds(int left, int top, int width, int height) {
    const bool changed = left != Left() || top != Top() || width != Width() || height != Height();
    TCustomListView::SetBounds(left, top, width, height);
    if (changed)
        DoFillLastColumn();
}

void TKvCustomListView::SetViewStyle(TViewStyle style) {
    if (style == ViewStyle())
        return;
    TCustomListView::SetViewStyle(style);
    if (style == vsReport)
        RefreshHeaderSortDisplay();
}

// ---- colours ---------------------------------------------------------------------------

bool TKvCustomListView::IsColorStored() const { return !frameController_ && Enabled() && TControl::IsColorStored(); }

bool TKvCustomListView::IsFocusColorStored() const { return !frameController_ && focusColor_ != normalColor_; }

void TKvCustomListView::UpdateColors() {
    if (IsLoading())
        return;
    TFlagGuard updating(updatingColors_);
    if (!Enabled())
        SetColor(disabledColor_);
    else if (Focused())
        SetColor(focusColor_);
    else
        SetColor(normalColor_);
}

// The normal colour; a focus colour that matched it follows it. What shows depends on the
// state (UpdateColors).
void TKvCustomListView::SetColor(TColor color) {
    if (!updatingColors_) {
        if (focusColor_ == normalColor_)
            focusColor_ = color;
        normalColor_ = color;
        if (!IsLoading()) {
            UpdateColors();
            return;
        }
    }
    TControl::SetColor(color);
}

void TKvCustomListView::SetDisabledColor(TColor value) {
    disabledColor_ = value;
    if (!Enabled())
        UpdateColors();
}

void TKvCustomListView::SetFocusColor(TColor value) {
    focusColor_ = value;
    if (Focused())
        UpdateColors();
}

// ---- frame -----------------------------------------------------------------------------

bool TKvCustomListView::UseThemes() const {
    return framingPreference_ == fpXPThemes && ThemeServices().ThemesEnabled();
}

void TKvCustomListView::NCPaint(TMessage& message) {
    TCustomListView::WndProc(message);
    if (!frameVisible_ || UseThemes() || !HandleAllocated())
        return;
    TWholeWindowDc dc(WindowHandle());
    if (!dc.Get())
        return;
    TRect bounds{};
    GetWindowRect(WindowHandle(), &bounds);
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    TCanvasLoan loan(frameCanvas_, dc.Get());
    if (frameHotTrack_ && (Focused() || mouseOver_))
        DrawFrame(frameCanvas_, width, height, false, frameSides_, frameHotColor_, TControl::Color(), frameHotStyle_);
    else
        DrawFrame(frameCanvas_, width, height, false, frameSides_, frameColor_, TControl::Color(), frameStyle_);
    message.Result = 0;
}

// The whole window: a rectangle would have to reach into the frame to repaint it.
void TKvCustomListView::RepaintFrame() {
    if (IsLoading() || !HandleAllocated())
        return;
    RedrawWindow(WindowHandle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_FRAME);
}

void TKvCustomListView::UpdateFrame(bool viaMouse, bool inControl) {
    if (viaMouse)
        mouseOver_ = inControl;
    if (frameHotTrack_)
        RepaintFrame();
    UpdateColors();
}

void TKvCustomListView::SetFrameColor(TColor value) {
    frameColor_ = value;
    RepaintFrame();
}

void TKvCustomListView::SetFrameController(TKvFrameController* value) {
    if (value == frameController_)
        return;
    TFlagGuard updating(controllerUpdate_);
    LinkFrameController(*this, frameController_, value);
}

void TKvCustomListView::SetFrameHotColor(TColor value) {
    frameHotColor_ = value;
    RepaintFrame();
}

void TKvCustomListView::SetFrameHotTrack(bool value) {
    frameHotTrack_ = value;
    if (value) {
        SetFrameVisible(true);
        if (!IsLoading())
            SetFrameSides(kAllSides);
    }
    RepaintFrame();
}

void TKvCustomListView::SetFrameHotStyle(TFrameStyle value) {
    frameHotStyle_ = value;
    RepaintFrame();
}

void TKvCustomListView::SetFrameSides(TSides value) {
    frameSides_ = value;
    RepaintFrame();
}

void TKvCustomListView::SetFrameStyle(TFrameStyle value) {
    frameStyle_ = value;
    RepaintFrame();
}

void TKvCustomListView::SetFrameVisible(bool value) {
    if (value == frameVisible_)
        return;
    frameVisible_ = value;
    if (!controllerUpdate_)
        RecreateWnd();
}

void TKvCustomListView::SetFramingPreference(TFramingPreference value) {
    if (value == framingPreference_)
        return;
    framingPreference_ = value;
    RepaintFrame();
}

// ---- context menu ----------------------------------------------------------------------

void TKvCustomListView::PopupAt(TPopupMenu* menu, TPoint pos) {
    contextMenuHandled_ = true;
    menu->SetPopupComponent(this);
    const TPoint screen = ClientToScreen(pos);
    menu->Popup(screen.x, screen.y);  // a chosen item's handler may free this control
}

void TKvCustomListView::ItemContextMenuAt(TPoint pos) {
    TListItem* selected = Selected();
    if (!selected) {
        if (TPopupMenu* menu = PopupMenu())
            PopupAt(menu, pos);
        return;
    }
    TListItem* target = selected->Focused() ? selected : ItemFocused();
    if (target)
        pos = CenterOf(target->DisplayRect(drIcon));
    ItemContextMenuForItem(pos);
}

void TKvCustomListView::ItemContextMenuForItem(TPoint pos) {
    TPopupMenu* menu = PopupMenu();
    TFreeWatch watch(*this);
    DoItemContextMenu(Selected(), pos, menu);
    if (watch.Freed())
        return;
    contextMenuHandled_ = true;
    if (menu)
        PopupAt(menu, pos);
}

void TKvCustomListView::DoItemContextMenu(TListItem* item, TPoint& pos, TPopupMenu*& menu) {
    OnItemContextMenu(this, item, pos, menu);
}

// A request that follows a menu already shown for the same gesture (after a key, a request
// from the keyboard) is taken without a second menu. With a selection the item menu shows (at the mouse, or for the keyboard at the focused
// item); otherwise the framework's handling shows the plain popup menu.
void TKvCustomListView::ContextMenu(TMessage& message) {
    const TPoint screen = TPoint{GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam)};
    const bool fromKeyboard = screen.x == -1 && screen.y == -1;
    const bool followUp = contextMenuHandled_ && (!keyboardMenu_ || fromKeyboard);
    contextMenuHandled_ = keyboardMenu_ = false;
    if (followUp) {
        message.Result = 1;
        return;
    }
    if (SelCount() == 0 || !Selected()) {
        TCustomListView::WndProc(message);
        return;
    }
    message.Result = 1;
    TFreeWatch watch(*this);
    if (fromKeyboard)
        ItemContextMenuAt(CenterOf(ClientRect()));
    else
        ItemContextMenuForItem(ScreenToClient(screen));
    if (!watch.Freed())
        contextMenuHandled_ = false;
}

// After a menu shown for this click the framework's own popup must not follow: the popup menu
// is set aside while the window ends the click.
void TKvCustomListView::RightButtonUp(TMessage& message) {
    TFreeWatch watch(*this);
    if (!contextMenuHandled_ || !PopupMenu()) {
        TCustomListView::WndProc(message);
        if (!watch.Freed())
            contextMenuHandled_ = keyboardMenu_ = false;
        return;
    }
    heldPopupMenu_ = PopupMenu();
    SetPopupMenu(nullptr);
    TCustomListView::WndProc(message);
    if (watch.Freed())
        return;
    if (heldPopupMenu_ && !PopupMenu())
        SetPopupMenu(heldPopupMenu_);
    heldPopupMenu_ = nullptr;
    contextMenuHandled_ = keyboardMenu_ = false;
}

void TKvCustomListView::KeyDown(WORD& key, TShiftState shift) {
    const TShiftState keys = shift & TShiftState{ssShift, ssCtrl, ssAlt};
    if ((key == VK_APPS && keys.Empty()) || (key == VK_F10 && keys == TShiftState{ssShift})) {
        key = 0;
        TFreeWatch watch(*this);
        ItemContextMenuAt(CenterOf(ClientRect()));
        if (watch.Freed())
            return;
        keyboardMenu_ = contextMenuHandled_;
    }
    TCustomListView::KeyDown(key, shift);
}

// ---- wheel -----------------------------------------------------------------------------

// Each notch scrolls the system's wheel lines by 16 pixels (32 in icon view); a page when the
// system asks for pages. Parts of a notch add up.
void TKvCustomListView::MouseWheel(TMessage& message) {
    message.Result = 0;
    wheelDelta_ += GET_WHEEL_DELTA_WPARAM(message.WParam);
    const int notches = wheelDelta_ / WHEEL_DELTA;
    wheelDelta_ %= WHEEL_DELTA;
    if (notches == 0)
        return;
    UINT lines = 3;
    SystemParametersInfoA(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
    const int64_t step = ViewStyle() == vsIcon ? 32 : 16;
    const int64_t pixels = lines == WHEEL_PAGESCROLL ? ClientHeight() : static_cast<int64_t>(lines) * step;
    const int dy = static_cast<int>(std::clamp<int64_t>(-notches * pixels, -INT32_MAX / 2, INT32_MAX / 2));
    if (dy != 0)
        SendToNativeWindow(LVM_SCROLL, 0, dy);
}

// ---- older property names ----------------------------------------------------------------

bool TKvCustomListView::ReadOldProperty(const TFormProperty& property) {
    return TKvOldPropReader::ReadFrameNames(
        property,
        [this](bool flat) {
            SetFrameHotTrack(flat);
            if (flat) {
                SetFrameStyle(fsStatus);
                SetFrameHotStyle(fsLowered);
            }
        },
        [this](TFrameStyle style) { SetFrameHotStyle(style); });
}
