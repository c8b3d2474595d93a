#pragma once

// Menu items, menus and popup menus.
//
// Items form a tree. A parent frees its children when it goes; a child that goes leaves its
// parent. Add and Insert take an item (moving it from a parent it had), Remove and Delete take
// one out (Delete frees it), Clear frees them all.
//
// A popup menu makes a fresh system menu from its visible items each time it pops up: "-" is a
// separator, items with children are submenus, Checked shows a check (a bullet for RadioItem),
// disabled items are greyed, the Default item is bold, and an item of Images shows beside its
// caption. The menu is tracked through a replaceable function (SetTrackPopupMenuHook); the
// chosen item is clicked after the system menu is gone, and only if it still belongs to the menu.

#include "Classes.h"
#include "Event.h"
#include "TypInfo.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TImageList;
class TMenu;

class TMenuItem : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TMenuItem(TComponent* owner);
    ~TMenuItem() override;

    int Count() const { return static_cast<int>(items_.size()); }
    TMenuItem* Items(int index) const { return items_.at(static_cast<size_t>(index)); }
    TMenuItem* Parent() const { return parent_; }
    // The position among the parent's items; -1 without a parent.
    int MenuIndex() const { return parent_ ? parent_->IndexOf(this) : -1; }
    // The menu whose tree this item belongs to, or null.
    TMenu* GetParentMenu() const;

    void Add(TMenuItem* item);
    // index may be Count (appends).
    void Insert(int index, TMenuItem* item);
    // Takes the item out without freeing it.
    void Remove(TMenuItem* item);
    // Takes the item out and frees it.
    void Delete(int index);
    // Frees every child.
    void Clear();
    int IndexOf(const TMenuItem* item) const;
    // The first child whose caption matches, ignoring case and '&'; null when none does.
    TMenuItem* Find(const std::string& caption) const;
    // This item or one below it.
    bool Contains(const TMenuItem* item) const;

    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption) { caption_ = caption; }
    bool IsLine() const { return caption_ == "-"; }
    // Checking a radio item unchecks the radio items of its GroupIndex beside it.
    bool Checked() const { return checked_; }
    void SetChecked(bool value);
    bool RadioItem() const { return radioItem_; }
    void SetRadioItem(bool value) { radioItem_ = value; }
    int GroupIndex() const { return groupIndex_; }
    void SetGroupIndex(int index) { groupIndex_ = index; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value) { enabled_ = value; }
    bool Visible() const { return visible_; }
    void SetVisible(bool value) { visible_ = value; }
    bool Default() const { return default_; }
    void SetDefault(bool value) { default_ = value; }
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int index) { imageIndex_ = index; }
    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& hint) { hint_ = hint; }

    // Fires OnClick.
    virtual void Click();
    TNotifyEvent OnClick;

private:
    friend class TMenu;
    void TurnSiblingsOff();

    TMenuItem* parent_ = nullptr;
    TMenu* menu_ = nullptr;  // set on a menu's root item only
    std::vector<TMenuItem*> items_;
    std::string caption_;
    bool checked_ = false;
    bool radioItem_ = false;
    int groupIndex_ = 0;
    bool enabled_ = true;
    bool visible_ = true;
    bool default_ = false;
    int imageIndex_ = -1;
    std::string hint_;
};

class TMenu : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TMenu(TComponent* owner);
    ~TMenu() override;

    // The root of the tree; its children are the menu's items.
    TMenuItem* Items() const { return items_.get(); }
    TImageList* Images() const { return images_; }
    void SetImages(TImageList* images);

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    std::unique_ptr<TMenuItem> items_;
    TImageList* images_ = nullptr;
};

// Tracks a popup menu: returns the chosen command, 0 when the menu was cancelled.
using TTrackPopupMenuFunction = std::function<UINT(HMENU menu, UINT flags, int x, int y, HWND owner)>;
// Returns the function it replaced; an empty function restores the system's TrackPopupMenuEx.
TTrackPopupMenuFunction SetTrackPopupMenuHook(TTrackPopupMenuFunction function);
// Tracks a menu of raw handles through the seam (the replacement when set, else TrackPopupMenuEx).
UINT TrackPopupMenuHandle(HMENU menu, UINT flags, int x, int y, HWND owner);

enum TPopupAlignment { paLeft, paRight, paCenter };

class TPopupMenu : public TMenu {
    DECLARE_CLASS_INFO()

public:
    explicit TPopupMenu(TComponent* owner);
    ~TPopupMenu() override;

    // Controls pop the menu up on a context-menu request when set.
    bool AutoPopup() const { return autoPopup_; }
    void SetAutoPopup(bool value) { autoPopup_ = value; }
    // Where the menu stands relative to the point.
    TPopupAlignment Alignment() const { return alignment_; }
    void SetAlignment(TPopupAlignment alignment) { alignment_ = alignment; }
    // The control the menu popped up for last.
    TComponent* PopupComponent() const { return popupComponent_; }
    void SetPopupComponent(TComponent* component);

    // Fires OnPopup, shows the menu at the screen point and waits for the choice; the chosen
    // item's Click runs after the menu is gone. The menu may be freed meanwhile (by OnPopup or
    // while it is up): nothing is clicked then.
    virtual void Popup(int x, int y);
    TNotifyEvent OnPopup;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    // Fires OnPopup.
    virtual void DoPopup();

private:
    bool autoPopup_ = true;
    TPopupAlignment alignment_ = paLeft;
    TComponent* popupComponent_ = nullptr;
    bool* freed_ = nullptr;  // set by the destructor while Popup runs
};

template <>
struct TEnumTraits<TPopupAlignment> {
    static constexpr const char* Names[] = {"paLeft", "paRight", "paCenter"};
};
