#include "Classes.h"

#include "SysUtils.h"

#include <algorithm>

const TClassInfo& TPersistent::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TPersistent, TObject>("TPersistent", {});
    return info;
}

void TPersistent::Assign(const TPersistent& source) { source.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& dest) const {
    throw EConvertError(Format("Cannot assign a %s to a %s", ClassName().c_str(), dest.ClassName().c_str()));
}

const TClassInfo& TComponent::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TComponent::Name, &TComponent::SetName>("Name").NotStored(),
        Prop<&TComponent::Tag>("Tag").WithDefault(0),
    };
    static const TClassInfo info = MakeClassInfo<TComponent, TPersistent>("TComponent", props);
    return info;
}

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_)
        owner_->InsertComponent(this);
}

TComponent::~TComponent() {
    SendFreeNotifications();
    while (!components_.empty()) {
        TComponent* last = components_.back();
        last->BeforeDestruction();
        delete last;  // leaves the list as it goes
    }
    if (owner_)
        owner_->RemoveComponent(this);
}

void TComponent::SendFreeNotifications() {
    state_ |= csDestroying;
    // Whoever holds a reference to this component drops it now.
    while (!freeNotifies_.empty()) {
        TComponent* listener = freeNotifies_.back();
        freeNotifies_.pop_back();
        auto& back = listener->freeNotifies_;
        back.erase(std::remove(back.begin(), back.end(), this), back.end());
        listener->Notification(this, opRemove);
    }
}

void TComponent::InsertComponent(TComponent* component) {
    components_.push_back(component);
    Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
    Notification(component, opRemove);
    components_.erase(std::remove(components_.begin(), components_.end(), component), components_.end());
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    if (operation == opRemove)
        RemoveFreeNotification(component);
    // Backwards, so that a component freeing another in its handler does no harm.
    for (size_t i = components_.size(); i-- > 0;) {
        if (i >= components_.size())
            continue;
        if (components_[i] != component)
            components_[i]->Notification(component, operation);
    }
}

void TComponent::FreeNotification(TComponent* component) {
    if (!component || component == this)
        return;
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end())
        freeNotifies_.push_back(component);
    // Either may die first: each tells the other.
    auto& back = component->freeNotifies_;
    if (std::find(back.begin(), back.end(), this) == back.end())
        back.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
    freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), component), freeNotifies_.end());
    if (component) {
        auto& back = component->freeNotifies_;
        back.erase(std::remove(back.begin(), back.end(), this), back.end());
    }
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    if (name.empty())
        return nullptr;
    for (TComponent* component : components_)
        if (SameText(component->Name(), name))
            return component;
    return nullptr;
}

const TClassInfo& TCollectionItem::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TCollectionItem, TPersistent>("TCollectionItem", {});
    return info;
}

TCollectionItem::TCollectionItem(TCollection* collection) : collection_(collection) {
    if (collection_) {
        collection_->items_.push_back(this);
        collection_->Changed(nullptr);
    }
}

TCollectionItem::~TCollectionItem() {
    if (!collection_)
        return;
    auto& items = collection_->items_;
    items.erase(std::remove(items.begin(), items.end(), this), items.end());
    collection_->Changed(nullptr);
}

int TCollectionItem::Index() const {
    if (!collection_)
        return -1;
    const auto& items = collection_->items_;
    return static_cast<int>(std::find(items.begin(), items.end(), this) - items.begin());
}

void TCollectionItem::SetIndex(int index) {
    const int current = Index();
    if (current < 0 || index == current)
        return;
    auto& items = collection_->items_;
    index = std::clamp(index, 0, static_cast<int>(items.size()) - 1);
    items.erase(items.begin() + current);
    items.insert(items.begin() + index, this);
    collection_->Changed(nullptr);
}

void TCollectionItem::Changed() {
    if (collection_)
        collection_->Changed(this);
}

const TClassInfo& TCollection::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TCollection, TPersistent>("TCollection", {});
    return info;
}

TCollection::TCollection(TPersistent* owner, TItemFactory factory) : owner_(owner), factory_(factory) {}

TCollection::~TCollection() {
    ++updateCount_;  // no change reports while dying
    Clear();
}

TCollectionItem* TCollection::Insert(int index) {
    TCollectionItem* item = Add();
    item->SetIndex(index);
    return item;
}

void TCollection::Clear() {
    if (items_.empty())
        return;
    BeginUpdate();
    while (!items_.empty())
        delete items_.back();
    EndUpdate();
}

void TCollection::EndUpdate() {
    if (updateCount_ > 0 && --updateCount_ == 0)
        Update(nullptr);
}

void TCollection::Changed(TCollectionItem* item) {
    if (updateCount_ == 0)
        Update(item);
}

void TCollection::Update(TCollectionItem*) {}

namespace {

std::vector<const TClassInfo*>& ClassRegistry() {
    static std::vector<const TClassInfo*> classes;
    return classes;
}

}  // namespace

void RegisterClass(const TClassInfo& info) {
    auto& classes = ClassRegistry();
    if (std::find(classes.begin(), classes.end(), &info) == classes.end())
        classes.push_back(&info);
}

const TClassInfo* FindClass(const std::string& name) {
    for (const TClassInfo* info : ClassRegistry())
        if (SameText(info->Name, name))
            return info;
    return nullptr;
}

TComponent* CreateComponentByName(const std::string& name, TComponent* owner) {
    const TClassInfo* info = FindClass(name);
    if (!info || !info->Create)
        throw EClassNotFound(Format("Class %s not found", name.c_str()));
    return info->Create(owner);
}

namespace {

void Resolve(TObject& current, const std::vector<std::string>& parts, size_t at, std::vector<TPropTarget>& targets) {
    const std::string& part = parts[at];
    const TPropInfo* prop = FindPropInfo(current, part);
    if (at + 1 == parts.size()) {
        if (prop) {
            targets.push_back({&current, prop});
        } else if (auto* collection = dynamic_cast<TCollection*>(&current)) {
            for (int i = 0; i < collection->Count(); ++i)
                Resolve(*collection->Items(i), parts, at, targets);
        }
        return;
    }
    if (prop && prop->Kind == TTypeKind::Class && prop->Get) {
        if (TObject* next = std::get<TObject*>(prop->Get(current)))
            Resolve(*next, parts, at + 1, targets);
        return;
    }
    if (auto* component = dynamic_cast<TComponent*>(&current)) {
        if (TComponent* child = component->FindComponent(part)) {
            Resolve(*child, parts, at + 1, targets);
            return;
        }
    }
    // The rest of the path applies to every item of a collection.
    if (auto* collection = dynamic_cast<TCollection*>(&current))
        for (int i = 0; i < collection->Count(); ++i)
            Resolve(*collection->Items(i), parts, at, targets);
}

}  // namespace

std::vector<TPropTarget> ResolvePropPath(TObject& root, const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = path.find('.', start);
        parts.push_back(path.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    std::vector<TPropTarget> targets;
    for (const std::string& part : parts)
        if (part.empty())
            return targets;
    if (parts.size() == 1 && !FindPropInfo(root, parts[0])) {
        if (auto* component = dynamic_cast<TComponent*>(&root))
            if (TComponent* child = component->FindComponent(parts[0]))
                targets.push_back({child, nullptr});
        return targets;
    }
    Resolve(root, parts, 0, targets);
    return targets;
}

void FreeComponent(TComponent* component) {
    if (!component)
        return;
    component->BeforeDestruction();
    delete component;
}
