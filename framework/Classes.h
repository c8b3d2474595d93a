#pragma once

// The object model: persistent objects, components owned by components, collections
// of items, the registry of classes that can be made by name, and property paths.
//
// Ownership: a component frees the components it owns, the last inserted first.
// Components that hold references to others ask for a free notification and hear
// Notification(component, opRemove) before that component dies.
// Loading: mark loading (BeginLoading), set properties, call Loaded() on each object
// in creation order (it clears the loading mark), then fire the form's OnCreate.

#include "Object.h"
#include "TypInfo.h"

#include <cstdint>
#include <string>
#include <vector>

enum TComponentStateFlag : unsigned {
    csLoading = 0x01,
    csReading = 0x02,
    csDestroying = 0x04,
    csDesigning = 0x08,  // never set: there is no designer
};

enum TOperation { opInsert, opRemove };

class TFiler;

// An object whose state can be copied from another of a compatible class.
class TPersistent : public TObject {
    DECLARE_CLASS_INFO()

public:
    // Copies source into this object; raises EConvertError when neither side knows how.
    virtual void Assign(const TPersistent& source);

protected:
    // Copies this object into dest; called by dest.Assign when dest does not know the source.
    virtual void AssignTo(TPersistent& dest) const;
    // Names on the filer each value this object keeps in a form stream beside its published
    // properties, with its reader and writer (framework/FormStream.h). The base has none.
    virtual void DefineProperties(TFiler&) {}

private:
    friend class TFiler;
};

class TComponent : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    explicit TComponent(TComponent* owner);
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    // Tells the free-notified components, frees the owned components (the last
    // inserted first) and leaves the owner.
    ~TComponent() override;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }
    // Case-insensitive; null when absent or for an empty name.
    TComponent* FindComponent(const std::string& name) const;

    // component will hear Notification(this, opRemove) before this one is freed.
    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);

    unsigned ComponentState() const { return state_; }
    bool IsLoading() const { return state_ & csLoading; }
    bool IsDesigning() const { return state_ & csDesigning; }
    bool IsDestroying() const { return state_ & csDestroying; }
    // Marks the start of loading; Loaded() marks its end.
    void BeginLoading() { state_ |= csLoading; }
    // Called once the loading of the owner's properties is complete.
    virtual void Loaded() { state_ &= ~static_cast<unsigned>(csLoading); }
    // Runs while the object is still whole, right before it is freed by its owner or by
    // FreeComponent (a destructor of a base class cannot reach the derived parts any more).
    virtual void BeforeDestruction() {}
    // The component a form stream writes this one inside (a control's parent); null: directly
    // in its owner's object.
    virtual TComponent* GetParentComponent() const { return nullptr; }

    intptr_t Tag = 0;

protected:
    // An owned component was inserted or is going; a free-notified one is going.
    // The base passes it on to every owned component.
    virtual void Notification(TComponent* component, TOperation operation);
    // Marks this component destroying and tells the free-notified components that it goes.
    // The base destructor does so once the derived parts are gone; a component whose
    // listeners reach into those parts from Notification calls it first in its own destructor.
    void SendFreeNotifications();

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* owner_;
    std::string name_;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
    unsigned state_ = 0;
};

class TCollection;

class TCollectionItem : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    explicit TCollectionItem(TCollection* collection);
    TCollectionItem(const TCollectionItem&) = delete;
    TCollectionItem& operator=(const TCollectionItem&) = delete;
    ~TCollectionItem() override;

    TCollection* Collection() const { return collection_; }
    int Index() const;
    void SetIndex(int index);
    virtual std::string DisplayName() const { return ClassName(); }

protected:
    // Tells the collection that this item changed.
    void Changed();

private:
    friend class TCollection;
    TCollection* collection_;
};

// Items of one class, made by the collection's factory and freed with it.
class TCollection : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    using TItemFactory = TCollectionItem* (*)(TCollection&);
    template <class Item>
    static TCollectionItem* MakeItem(TCollection& collection) {
        return new Item(&collection);
    }

    TCollection(TPersistent* owner, TItemFactory factory);
    TCollection(const TCollection&) = delete;
    TCollection& operator=(const TCollection&) = delete;
    ~TCollection() override;

    TPersistent* Owner() const { return owner_; }
    int Count() const { return static_cast<int>(items_.size()); }
    TCollectionItem* Items(int index) const { return items_.at(static_cast<size_t>(index)); }
    TCollectionItem* Add() { return factory_(*this); }
    TCollectionItem* Insert(int index);
    void Delete(int index) { delete Items(index); }
    void Clear();

    // Changes between BeginUpdate and EndUpdate are reported once, at the end.
    void BeginUpdate() { ++updateCount_; }
    void EndUpdate();

protected:
    // An item changed (null: several or the list itself).
    virtual void Update(TCollectionItem* item);

private:
    friend class TCollectionItem;
    void Changed(TCollectionItem* item);

    TPersistent* owner_;
    TItemFactory factory_;
    std::vector<TCollectionItem*> items_;
    int updateCount_ = 0;
};

// The classes that can be found and made by name. Registration is explicit, from one
// place at start-up; registering a class twice is harmless.
void RegisterClass(const TClassInfo& info);
const TClassInfo* FindClass(const std::string& name);
// Raises EClassNotFound for unknown classes and classes that cannot be made by name.
TComponent* CreateComponentByName(const std::string& name, TComponent* owner);

// Frees a component the way its owner would: BeforeDestruction, then delete. Null is allowed.
void FreeComponent(TComponent* component);

class EClassNotFound : public Exception {
    using Exception::Exception;
};

// A property of one object, reached through a path.
struct TPropTarget {
    TObject* Object;
    const TPropInfo* Prop;  // null: the object as a whole (a component named by the path)
};

// Follows "a.b.c" from root: each part but the last is an object property of the current
// object, or else a component it owns; on a collection, a part that is not one of its
// properties applies the rest to every item. A one-part path that names no property
// but an owned component means that component. Empty when the path leads nowhere.
std::vector<TPropTarget> ResolvePropPath(TObject& root, const std::string& path);
