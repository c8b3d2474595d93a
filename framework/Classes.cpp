#include "Classes.h"

#include "SysUtils.h"

#include <algorithm>
#include <typeinfo>

void TPersistent::Assign(const TPersistent& source) { source.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& dest) const {
    throw EConvertError(Format("Cannot assign a %s to a %s", typeid(*this).name(), typeid(dest).name()));
}

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_)
        owner_->Insert(this);
}

TComponent::~TComponent() {
    state_ |= csDestroying;
    while (!components_.empty())
        delete components_.back();  // each removes itself from the list
    if (owner_)
        owner_->Remove(this);
}

void TComponent::Remove(TComponent* component) {
    auto at = std::find(components_.begin(), components_.end(), component);
    if (at != components_.end())
        components_.erase(at);
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    if (name.empty())
        return nullptr;
    for (TComponent* component : components_)
        if (SameText(component->Name(), name))
            return component;
    return nullptr;
}
