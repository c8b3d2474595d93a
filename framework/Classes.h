#pragma once

// Components: named objects owned by another component and freed with it.

#include "Object.h"

#include <cstdint>
#include <string>
#include <vector>

enum TComponentStateFlag : unsigned {
    csLoading = 0x01,
    csReading = 0x02,
    csDestroying = 0x04,
    csDesigning = 0x08,  // never set: there is no designer
};

// An object whose state can be copied from another of a compatible class.
class TPersistent : public TObject {
public:
    // Copies source into this object; raises EConvertError when neither side knows how.
    virtual void Assign(const TPersistent& source);

protected:
    // Copies this object into dest; called by dest.Assign when dest does not know the source.
    virtual void AssignTo(TPersistent& dest) const;
};

class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* owner);
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    // Frees the owned components, the last inserted first.
    ~TComponent() override;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }
    // Case-insensitive; null when absent or for an empty name.
    TComponent* FindComponent(const std::string& name) const;

    unsigned ComponentState() const { return state_; }
    bool IsLoading() const { return state_ & csLoading; }
    bool IsDesigning() const { return state_ & csDesigning; }
    // Marks the start of loading; Loaded() marks its end.
    void BeginLoading() { state_ |= csLoading; }
    // Called once the loading of the owner's properties is complete.
    virtual void Loaded() { state_ &= ~static_cast<unsigned>(csLoading); }

    intptr_t Tag = 0;

private:
    void Insert(TComponent* component) { components_.push_back(component); }
    void Remove(TComponent* component);

    TComponent* owner_;
    std::string name_;
    std::vector<TComponent*> components_;
    unsigned state_ = 0;
};
