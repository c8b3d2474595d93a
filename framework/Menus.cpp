#include "Menus.h"

#include "Forms.h"
#include "Handles.h"
#include "ImgList.h"
#include "SysUtils.h"

#include <algorithm>
#include <utility>

namespace {

class EMenuError : public Exception {
    using Exception::Exception;
};

struct TMenuHandleTraits {
    static HMENU Invalid() { return nullptr; }
    static bool Valid(HMENU h) { return h != nullptr; }
    static void Close(HMENU h) { DestroyMenu(h); }  // submenus go with it
};
using TUniqueMenu = TUniqueResource<HMENU, TMenuHandleTraits>;

TTrackPopupMenuFunction gTrackPopupMenu;

UINT TrackPopupMenuThroughHook(HMENU menu, UINT flags, int x, int y, HWND owner) {
    if (gTrackPopupMenu)
        return gTrackPopupMenu(menu, flags, x, y, owner);
    return static_cast<UINT>(TrackPopupMenuEx(menu, flags, x, y, owner, nullptr));
}

// "&File" and "File" match; "&&" stands for a literal ampersand.
std::string StripHotkey(const std::string& caption) {
    std::string text;
    for (size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size())
            ++i;
        else if (caption[i] == '&')
            continue;
        text += caption[i];
    }
    return text;
}

// A system menu made from the visible items of a tree, with the items its commands stand for
// (command n is commands_[n - 1]) and the bitmaps of its images, which outlive the menu.
class TSystemMenu {
public:
    TSystemMenu(const TMenuItem& root, TImageList* images) : images_(images), menu_(CreatePopupMenu()) {
        if (!menu_)
            RaiseLastOSError();
        Fill(menu_.Get(), root);
    }

    HMENU Handle() const { return menu_.Get(); }
    // Null for 0 and unknown commands. The item may have been freed since: compare, never use.
    TMenuItem* ItemOf(UINT command) const {
        return command >= 1 && command <= commands_.size() ? commands_[command - 1] : nullptr;
    }
    void Destroy() { menu_.Reset(); }

private:
    void Fill(HMENU menu, const TMenuItem& parent) {
        for (int i = 0; i < parent.Count(); ++i) {
            TMenuItem* item = parent.Items(i);
            if (item->Visible())
                Append(menu, *item);
        }
    }

    void Append(HMENU menu, TMenuItem& item) {
        MENUITEMINFOA info{};
        info.cbSize = sizeof(info);
        std::string caption = item.Caption();
        TUniqueMenu submenu;
        if (item.IsLine()) {
            info.fMask = MIIM_FTYPE;
            info.fType = MFT_SEPARATOR;
        } else {
            info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
            info.fType = item.RadioItem() ? MFT_RADIOCHECK : MFT_STRING;
            info.fState = (item.Checked() ? MFS_CHECKED : 0) | (item.Enabled() ? 0 : MFS_GRAYED) |
                          (item.Default() ? MFS_DEFAULT : 0);
            info.dwTypeData = caption.data();
            info.cch = static_cast<UINT>(caption.size());
            if (item.Count() > 0) {
                submenu.Reset(CreatePopupMenu());
                if (!submenu)
                    RaiseLastOSError();
                Fill(submenu.Get(), item);
                info.fMask |= MIIM_SUBMENU;
                info.hSubMenu = submenu.Get();
            } else {
                commands_.push_back(&item);
                info.fMask |= MIIM_ID;
                info.wID = static_cast<UINT>(commands_.size());
            }
            if (HBITMAP image = ImageOf(item)) {
                info.fMask |= MIIM_BITMAP;
                info.hbmpItem = image;
            }
        }
        if (!InsertMenuItemA(menu, static_cast<UINT>(GetMenuItemCount(menu)), TRUE, &info))
            RaiseLastOSError();
        submenu.Release();  // the menu owns it now
    }

    // The item's image on the menu's background, or null.
    HBITMAP ImageOf(const TMenuItem& item) {
        if (!images_ || item.ImageIndex() < 0 || item.ImageIndex() >= images_->Count())
            return nullptr;
        TBitmap image(images_->Width(), images_->Height());
        image.Canvas().Brush().SetColor(clMenu);
        image.Canvas().FillRect(MakeRect(0, 0, image.Width(), image.Height()));
        images_->Draw(image.Canvas(), 0, 0, item.ImageIndex(), item.Enabled());
        bitmaps_.push_back(image.CopyHandle());
        return bitmaps_.back().Get();
    }

    TImageList* images_;
    std::vector<TMenuItem*> commands_;
    std::vector<TUniqueGdi<HBITMAP>> bitmaps_;  // declared before the menu: deleted after it
    TUniqueMenu menu_;
};

}  // namespace

UINT TrackPopupMenuHandle(HMENU menu, UINT flags, int x, int y, HWND owner) {
    return TrackPopupMenuThroughHook(menu, flags, x, y, owner);
}

TTrackPopupMenuFunction SetTrackPopupMenuHook(TTrackPopupMenuFunction function) {
    return std::exchange(gTrackPopupMenu, std::move(function));
}

// ---- TMenuItem ------------------------------------------------------------------------

const TClassInfo& TMenuItem::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TMenuItem::Caption, &TMenuItem::SetCaption>("Caption"),
        Prop<&TMenuItem::Checked, &TMenuItem::SetChecked>("Checked").WithDefault(false),
        Prop<&TMenuItem::Default, &TMenuItem::SetDefault>("Default").WithDefault(false),
        Prop<&TMenuItem::Enabled, &TMenuItem::SetEnabled>("Enabled").WithDefault(true),
        Prop<&TMenuItem::GroupIndex, &TMenuItem::SetGroupIndex>("GroupIndex").WithDefault(0),
        Prop<&TMenuItem::Hint, &TMenuItem::SetHint>("Hint"),
        Prop<&TMenuItem::ImageIndex, &TMenuItem::SetImageIndex>("ImageIndex").WithDefault(-1),
        Prop<&TMenuItem::RadioItem, &TMenuItem::SetRadioItem>("RadioItem").WithDefault(false),
        Prop<&TMenuItem::Visible, &TMenuItem::SetVisible>("Visible").WithDefault(true),
        Prop<&TMenuItem::OnClick>("OnClick"),
    };
    static const TClassInfo info = MakeClassInfo<TMenuItem, TComponent>("TMenuItem", props);
    return info;
}

TMenuItem::TMenuItem(TComponent* owner) : TComponent(owner) {}

TMenuItem::~TMenuItem() {
    Clear();
    if (parent_)
        parent_->Remove(this);
}

TMenu* TMenuItem::GetParentMenu() const {
    const TMenuItem* item = this;
    while (item->parent_)
        item = item->parent_;
    return item->menu_;
}

void TMenuItem::Add(TMenuItem* item) { Insert(Count(), item); }

void TMenuItem::Insert(int index, TMenuItem* item) {
    if (!item || item->menu_ || item->Contains(this))
        throw EMenuError("A menu item cannot be inserted there");
    if (index < 0 || index > Count())
        throw EMenuError("Menu index out of range");
    if (item->parent_)
        item->parent_->Remove(item);
    index = std::min(index, Count());  // one fewer when it moved within this item
    items_.insert(items_.begin() + index, item);
    item->parent_ = this;
}

void TMenuItem::Remove(TMenuItem* item) {
    auto found = std::find(items_.begin(), items_.end(), item);
    if (found == items_.end())
        return;
    items_.erase(found);
    item->parent_ = nullptr;
}

void TMenuItem::Delete(int index) { delete Items(index); }

void TMenuItem::Clear() {
    while (!items_.empty())
        delete items_.back();  // each leaves the list as it goes
}

int TMenuItem::IndexOf(const TMenuItem* item) const {
    auto found = std::find(items_.begin(), items_.end(), item);
    return found == items_.end() ? -1 : static_cast<int>(found - items_.begin());
}

TMenuItem* TMenuItem::Find(const std::string& caption) const {
    const std::string wanted = StripHotkey(caption);
    for (TMenuItem* item : items_)
        if (SameText(StripHotkey(item->caption_), wanted))
            return item;
    return nullptr;
}

// Walks down and only compares: item may be a pointer to an item that is gone.
bool TMenuItem::Contains(const TMenuItem* item) const {
    if (item == this)
        return true;
    for (const TMenuItem* child : items_)
        if (child->Contains(item))
            return true;
    return false;
}

void TMenuItem::SetChecked(bool value) {
    checked_ = value;
    if (value && radioItem_)
        TurnSiblingsOff();
}

void TMenuItem::TurnSiblingsOff() {
    if (!parent_)
        return;
    for (TMenuItem* sibling : parent_->items_)
        if (sibling != this && sibling->radioItem_ && sibling->groupIndex_ == groupIndex_)
            sibling->checked_ = false;
}

void TMenuItem::Click() { OnClick(this); }

// ---- TMenu ----------------------------------------------------------------------------

const TClassInfo& TMenu::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TMenu::Images, &TMenu::SetImages>("Images"),
    };
    static const TClassInfo info = MakeClassInfo<TMenu, TComponent>("TMenu", props);
    return info;
}

TMenu::TMenu(TComponent* owner) : TComponent(owner), items_(std::make_unique<TMenuItem>(nullptr)) {
    items_->menu_ = this;
}

TMenu::~TMenu() { items_.reset(); }

// A free-notification link is shared with any other reference between the two components,
// so dropping a reference leaves it in place; Notification compares before it clears.
void TMenu::SetImages(TImageList* images) {
    images_ = images;
    if (images)
        images->FreeNotification(this);
}

void TMenu::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == images_)
        images_ = nullptr;
}

// ---- TPopupMenu -----------------------------------------------------------------------

const TClassInfo& TPopupMenu::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TPopupMenu::Alignment, &TPopupMenu::SetAlignment>("Alignment").WithDefault(paLeft),
        Prop<&TPopupMenu::AutoPopup, &TPopupMenu::SetAutoPopup>("AutoPopup").WithDefault(true),
        Prop<&TPopupMenu::OnPopup>("OnPopup"),
    };
    static const TClassInfo info = MakeClassInfo<TPopupMenu, TMenu>("TPopupMenu", props);
    return info;
}

TPopupMenu::TPopupMenu(TComponent* owner) : TMenu(owner) {}

TPopupMenu::~TPopupMenu() {
    if (freed_)
        *freed_ = true;
}

void TPopupMenu::SetPopupComponent(TComponent* component) {
    popupComponent_ = component;
    if (component)
        component->FreeNotification(this);
}

void TPopupMenu::Notification(TComponent* component, TOperation operation) {
    TMenu::Notification(component, operation);
    if (operation == opRemove && component == popupComponent_)
        popupComponent_ = nullptr;
}

void TPopupMenu::DoPopup() { OnPopup(this); }

void TPopupMenu::Popup(int x, int y) {
    // Tells this call, and the calls it runs inside, whether the menu was freed meanwhile.
    class TFreeWatch {
    public:
        explicit TFreeWatch(TPopupMenu& menu) : menu_(menu), outer_(std::exchange(menu.freed_, &freed_)) {}
        ~TFreeWatch() {
            if (!freed_)
                menu_.freed_ = outer_;
            else if (outer_)
                *outer_ = true;
        }
        TFreeWatch(const TFreeWatch&) = delete;
        TFreeWatch& operator=(const TFreeWatch&) = delete;
        bool Freed() const { return freed_; }

    private:
        TPopupMenu& menu_;
        bool freed_ = false;
        bool* outer_;
    };
    TFreeWatch watch(*this);
    DoPopup();
    if (watch.Freed())
        return;
    TMenuItem* chosen = nullptr;
    {
        TSystemMenu menu(*Items(), Images());
        static constexpr UINT kAlignments[] = {TPM_LEFTALIGN, TPM_RIGHTALIGN, TPM_CENTERALIGN};
        const UINT flags = TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON | kAlignments[alignment_];
        chosen = menu.ItemOf(TrackPopupMenuThroughHook(menu.Handle(), flags, x, y, Application.Handle()));
    }
    // Whatever ran while the menu was up may have freed the item or the whole menu.
    if (!watch.Freed() && chosen && Items()->Contains(chosen))
        chosen->Click();
}
