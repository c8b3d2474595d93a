#include "Classes.h"

#include "SysUtils.h"

#include <algorithm>

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
